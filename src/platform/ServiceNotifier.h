#pragma once

#include <QByteArray>

// Tells the service manager how the monitor's life goes (READY=1 once start-up has ended,
// STOPPING=1 when shutdown begins) through the datagram socket that $NOTIFY_SOCKET names: a path,
// or an abstract name written with a leading "@". Outside a service, or with a socket that
// nobody reads, every call does nothing.
namespace ServiceNotifier {

// Takes the socket's address from the environment and removes the variable, so that the tasks
// the monitor launches do not report to the manager in its name. Call once, before any task.
// The watchdog's interval (WATCHDOG_USEC, meant for this process when WATCHDOG_PID names it or is
// absent) is taken and removed the same way.
void takeFromEnvironment();

// How often to send WATCHDOG=1: half the interval the manager asked for; 0 when it asked for none
// (then nothing wakes the monitor for it).
int watchdogIntervalMs();

// Sends one state text; failures are ignored (the manager may be gone, the monitor is not).
void notify(const QByteArray& state);

} // namespace ServiceNotifier
