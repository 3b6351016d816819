#include "LogFiles.h"

#include "Log.h"
#include "LogDirectory.h"
#include "SMTPClient.h"

#include <cstdio>
#include <memory>

void settleLogDirectory(const QString& option, Log& eventLog, SMTPClient& mail) {
    const LogDirectoryInputs inputs = LogDirectoryInputs::current(option, eventLog.program().dir);
    const QString dir = chooseLogDirectory(inputs);
    // A user's own state directory is private, as the XDG base directory convention asks.
    const bool personal = option.isEmpty() && inputs.uid != 0 && dir != inputs.programDir;
    const QString problem = prepareLogDirectory(dir, personal ? 0700 : 0755);
    if (!problem.isEmpty())
        std::fprintf(stderr, "Prowlix: cannot write log files in %s: %s\n", qPrintable(dir),
                     qPrintable(problem));
    eventLog.setDirectory(dir, !problem.isEmpty());
    if (!mail.ErrorLog)
        mail.ErrorLog = std::make_unique<Log>(eventLog.program());
    mail.ErrorLog->setDirectory(dir, !problem.isEmpty());
}
