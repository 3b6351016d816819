#include "platform/Pidfd.h"

#include <cerrno>
#include <sys/syscall.h>
#include <unistd.h>

int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

bool signalThroughPidfd(int pidfd, int signal) {
#ifdef SYS_pidfd_send_signal
    return ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) == 0;
#else
    (void)pidfd;
    (void)signal;
    return false;
#endif
}
