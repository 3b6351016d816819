#include "core/Usage.h"

#include "platform/Version.h"

namespace {

const char* const usage =
    "Usage: prowlix [options] [program ...]\n"
    "Starts the named programs (tasks), watches them (sleeping until one ends), logs and mails\n"
    "their failures, restarts them, and answers on a status port while all are up.\n"
    "\n"
    "Options (any letter case; the first of each counts):\n"
    "  /I:path        read the tasks and settings from this INI file\n"
    "  /P:port        status port (default 180)\n"
    "  /D:directory   where the daily log files go\n"
    "  /L:OFF         log only the start and stop entries\n"
    "  /W:MIN|MAX     start with the main window hidden or maximised\n"
    "  /KILL          ask the tasks to close (each with its stop signal, forced after\n"
    "                 STOP_TIMEOUT) when the monitor stops\n"
    "  /NOGUI         run headless even when a display is available\n"
    "  -h, --help     show this text and exit\n"
    "  --version      show the version and exit\n"
    "\n"
    "Without /I: every argument that is not an option is started as a task, for example\n"
    "  prowlix /P:8180 \"sleep 3600\" \"sh -c 'exec my-server --port 9000'\"\n"
    "An argument cannot hold a double quote: one that does is refused and logged.\n"
    "prowlixctl shows and steers a running monitor: status, start, stop, restart, log,\n"
    "output.\n"
    "In the INI file, START=command,name,mode,restart,option,... runs a task with its own\n"
    "user=, dir=, env=, umask=, stop=, output=, restart_delay=, restart_limit= and a\n"
    "health check (check=tcp:PORT, check=http://HOST:PORT/path or check=exec:COMMAND).\n"
    "The INI keys, the log files, the signals and the exit status: man prowlix\n";

} // namespace

std::optional<QString> informationRequested(const QStringList& arguments) {
    for (const QString& argument : arguments) {
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h"))
            return QString::fromLatin1(usage);
        if (argument == QLatin1String("--version"))
            return QStringLiteral("prowlix ") + QString::fromLatin1(Version::text) +
                   QLatin1Char('\n');
    }
    return std::nullopt;
}
