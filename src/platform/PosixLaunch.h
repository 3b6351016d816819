#pragma once

#include "LaunchSpec.h"

#include <sys/types.h>

// Starts a task's process on Linux in a session of its own, with default signal dispositions,
// nothing blocked, standard input from /dev/null, and the launch's user, directory, environment,
// mask and output. Returns its process identifier; throws RuntimeError with the reason when a
// value cannot be used or the program cannot be run (nothing is left running then).
pid_t spawnTask(const LaunchSpec& spec);
