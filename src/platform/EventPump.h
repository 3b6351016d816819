#pragma once

// "Let pending events run": a handler that works through a long loop (reading a log file,
// splitting a list) calls it between steps, so that ticks, socket events and commands keep being
// handled meanwhile. Waits for time to pass are timers on the Clock, never a loop here.
namespace EventPump {

// Runs the events that are pending now and returns.
void letEventsRun();

} // namespace EventPump
