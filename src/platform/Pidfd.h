#pragma once

#include <sys/types.h>

// Process descriptors: a descriptor that names one process for as long as it is open, so a
// signal through it cannot reach a stranger that reused the number, and that polls readable once
// the process has ended.

// A descriptor for pid, or -1 with errno set (ENOSYS where the system has none).
int openPidfd(pid_t pid);

// Sends signal to the process the descriptor names; false when it could not be sent.
bool signalThroughPidfd(int pidfd, int signal);
