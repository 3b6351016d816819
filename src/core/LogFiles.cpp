#include "core/LogFiles.h"

#include "log/Log.h"
#include "log/LogDirectory.h"
#include "mail/SMTPClient.h"
#include "platform/StandardError.h"

#include <memory>

void settleLogDirectory(const QString& option, Log& eventLog, SMTPClient& mail) {
    const LogDirectoryInputs inputs = LogDirectoryInputs::current(option, eventLog.program().dir);
    const QString dir = chooseLogDirectory(inputs);
    // A user's own state directory is private, as the XDG base directory convention asks.
    const bool personal = option.isEmpty() && inputs.uid != 0 && dir != inputs.programDir;
    if (withoutHome(inputs))
        writeStandardError(QStringLiteral("no home directory (HOME, nor the account's entry): log "
                                          "files go to the program's directory %1; /D: chooses "
                                          "another")
                               .arg(dir));
    const QString problem = prepareLogDirectory(dir, personal ? 0700 : 0755);
    if (!problem.isEmpty())
        writeStandardError(QStringLiteral("cannot write log files in %1: %2").arg(dir, problem));
    eventLog.setDirectory(dir, !problem.isEmpty());
    if (!mail.ErrorLog)
        mail.ErrorLog = std::make_unique<Log>(eventLog.program());
    mail.ErrorLog->setDirectory(dir, !problem.isEmpty());
}
