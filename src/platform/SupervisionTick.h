#pragma once

#include <QtGlobal>

// The supervision tick's interval. A launch is left to the tick for this long before its end is
// taken from its descriptor, and a restarted task must have run this long before the all-clear:
// one interval, so that each is settled by one tick.
constexpr int supervisionTickMs = 100;
