#pragma once

#include <functional>

class Log;
class TaskFunctions;
class TaskList;
class TaskTable;

// Why the main window is asked to close: the user, the code, the system shutting down or the
// task manager.
enum class CloseReason { User, Code, SystemShutdown, TaskManager };

// What the desktop's windows see of a running monitor: the task table and its two lists, the
// Restart, the event log, and the two ways to end the monitor. Narrow on purpose: a window never
// reaches the engine's other parts.
struct MonitorModel {
    TaskTable& tasks;
    TaskList& upList;
    TaskList& downList;
    TaskFunctions& taskFunctions; // the details window's Restart
    Log& eventLog;
    std::function<bool(CloseReason)> closeRule; // true when the close may go ahead
    std::function<void()> shutDown;
};
