#pragma once

struct AppSettings;
class FailureAlert;
class Log;
class SMTPClient;

// The mail keys beyond server, recipients, port and time-out, taken from the INI file once it
// has been read. A value that cannot be used is logged with its key and left off; start-up goes
// on. The password itself is never written anywhere.
namespace MailSettings {

void apply(const AppSettings& settings, SMTPClient& mail, FailureAlert& alert, Log& log);

} // namespace MailSettings
