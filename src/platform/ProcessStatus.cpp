#include "platform/ProcessStatus.h"

#include <cstring>
#include <sys/wait.h>

int ProcessStatus::exitCode() const {
    return known() && WIFEXITED(waitStatus_) ? WEXITSTATUS(waitStatus_) : -1;
}

int ProcessStatus::signal() const {
    return known() && WIFSIGNALED(waitStatus_) ? WTERMSIG(waitStatus_) : 0;
}

QString ProcessStatus::exitText() const {
    if (isRunning())
        return {};
    if (!known())
        return QStringLiteral("unknown (not started by this monitor)");
    if (WIFEXITED(waitStatus_))
        return QStringLiteral("exited with status %1").arg(WEXITSTATUS(waitStatus_));
    const int number = WTERMSIG(waitStatus_);
    const char* abbreviation = ::sigabbrev_np(number);
    QString text = QStringLiteral("killed by signal %1 (SIG%2)")
                       .arg(number)
                       .arg(QLatin1String(abbreviation != nullptr ? abbreviation : "UNKNOWN"));
    if (WCOREDUMP(waitStatus_))
        text += QStringLiteral(", core dumped");
    return text;
}
