#pragma once

#include <QStringList>
#include <functional>

class Monitor;
class View;

// Builds the engine around a view and runs the event loop until shutdown: the one place that
// both modes share. attach runs after the monitor exists and before its start-up; notices are
// what was found before it (an unusable display), logged as start-up begins.
int runMonitor(View& view, const QStringList& arguments,
               const std::function<void(Monitor&)>& attach = {}, const QStringList& notices = {});
