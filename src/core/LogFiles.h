#pragma once

#include <QString>

class Log;
class SMTPClient;

// Settles the directory of the monitor's log files before the first entry: /D: or the default
// rule (see chooseLogDirectory), created when missing, and shared by the event log (so by the
// log viewer, Delete Current and Purge All) and the mail sender's stage log. A directory that
// cannot be used gets one warning on standard error; its lines are then lost, as with any
// unwritable log, and supervision goes on.
void settleLogDirectory(const QString& option, Log& eventLog, SMTPClient& mail);
