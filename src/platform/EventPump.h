#pragma once

// "Let pending events run": every wait of the monitor goes through here, so that ticks,
// socket events and commands keep being handled while a handler waits.
namespace EventPump {

// Runs the events that are pending now and returns.
void letEventsRun();

// Sleeps in the event loop until at least one event has been handled or maxMs have passed,
// so that a wait costs no processor time while nothing happens.
void waitForEvents(int maxMs);

} // namespace EventPump
