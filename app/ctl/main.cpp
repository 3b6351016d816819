// prowlixctl: the operator's command for a running monitor, over its control socket.

#include "MonitorConnection.h"
#include "StatusTable.h"
#include "platform/Version.h"

#include <QCoreApplication>
#include <QDate>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

namespace {

// As `systemctl is-active` and LSB scripts give them.
enum Exit { Ok = 0, Error = 1, NoMonitor = 2, NotUp = 3, NoSuchTask = 4 };

const char* const usage =
    "Usage: prowlixctl [-c INI-FILE | -p PID | -s SOCKET] COMMAND [ARGUMENTS]\n"
    "Shows and steers a running prowlix monitor through its control socket.\n"
    "\n"
    "Commands (TASK is a name, #id or all):\n"
    "  list                        the monitors that answer, with their sockets\n"
    "  status [TASK...] [--json]   the tasks' state, process, uptime, failures, last exit;\n"
    "                              tasks named also with their options\n"
    "  start TASK...               start a task that is down (clears its restart limit)\n"
    "  stop TASK...                stop a task: no failure, no alert, no automatic restart\n"
    "  restart TASK...             stop, then start once its process has ended\n"
    "  log [-f] [-n N]             the day's event log (-f follows it, -n the last N lines)\n"
    "  output TASK [-f] [-n N]     the task's captured output\n"
    "\n"
    "Options:\n"
    "  -c INI-FILE   the monitor of this configuration\n"
    "  -p PID        the monitor with this process id\n"
    "  -s SOCKET     the monitor listening on this control socket\n"
    "  -h, --help    show this text;  --version  show the version\n"
    "\n"
    "Exit status: 0 done (status: every listed task up), 3 a listed task is not up, 4 no such\n"
    "task, 2 no monitor answers, 1 any other error. More: man prowlixctl\n";

void out(const QString& text) {
    std::fputs(text.toLocal8Bit().constData(), stdout);
}
int fail(int status, const QString& text) {
    std::fflush(stdout);
    std::fputs(("prowlixctl: " + text + '\n').toLocal8Bit().constData(), stderr);
    return status;
}

struct Options {
    QString ini, socket;
    qint64 pid = 0;
    bool json = false, follow = false;
    int lines = -1; // all
    QString verb;
    QStringList tasks;
};

QString taskList(const QJsonArray& known) {
    QStringList names;
    for (const QJsonValue& task : known)
        names.append(task[QLatin1String("name")].toString() + QStringLiteral(" (#") +
                     QString::number(task[QLatin1String("id")].toInt()) + QLatin1Char(')'));
    return names.join(QStringLiteral(", "));
}

// The exit status and message of a reply that is not a plain success; Ok when it is one.
int problemOf(const Reply& reply, const QString& socket) {
    switch (reply.outcome) {
    case Reply::Outcome::NoMonitor:
        return fail(NoMonitor, QStringLiteral("no monitor answers on ") + reply.error);
    case Reply::Outcome::Refused:
        return fail(Error,
                    QStringLiteral("permission denied: ") +
                        (reply.error.isEmpty() ? socket + QStringLiteral(": ") +
                                                     reply.object[QLatin1String("error")].toString()
                                               : reply.error) +
                        QStringLiteral(" (root, the monitor's user and its CONTROL_GROUP "
                                       "may control it)"));
    case Reply::Outcome::Failed:
        return fail(Error, reply.error);
    case Reply::Outcome::Answered:
        break;
    }
    const QJsonObject& object = reply.object;
    if (object[QLatin1String("ok")].toBool() || object.contains(QLatin1String("results")))
        return Ok;
    const int code = object[QLatin1String("code")].toInt(Error);
    QString text = object[QLatin1String("error")].toString();
    if (object.contains(QLatin1String("known")))
        text += QStringLiteral("\ntasks: ") + taskList(object[QLatin1String("known")].toArray());
    return fail(code == NoSuchTask ? NoSuchTask : Error, text);
}

// The one monitor these options name; its socket, or the exit status in status.
QString chooseMonitor(const Options& options, int& status) {
    status = Ok;
    if (!options.socket.isEmpty())
        return options.socket;
    const Search search = findMonitors();
    QList<Found> matching;
    const QString configuration =
        options.ini.isEmpty() ? QString() : QFileInfo(options.ini).absoluteFilePath();
    for (const Found& found : search.answering) {
        if (!configuration.isEmpty() &&
            found.info[QLatin1String("configuration")].toString() != configuration)
            continue;
        if (options.pid != 0 && found.info[QLatin1String("pid")].toInteger() != options.pid)
            continue;
        matching.append(found);
    }
    if (matching.size() == 1)
        return matching.first().socket;
    if (matching.isEmpty()) {
        if (!search.refused.isEmpty() && search.answering.isEmpty()) {
            status = fail(Error, QStringLiteral("permission denied: ") +
                                     search.refused.join(QStringLiteral(", ")) +
                                     QStringLiteral(" (root, the monitor's user and its "
                                                    "CONTROL_GROUP may control it)"));
            return {};
        }
        QString which = QStringLiteral("no monitor answers");
        if (!configuration.isEmpty())
            which += QStringLiteral(" for ") + configuration;
        if (options.pid != 0)
            which += QStringLiteral(" with process id ") + QString::number(options.pid);
        status =
            fail(NoMonitor, which + QStringLiteral(" (looked in ") +
                                search.looked.join(QStringLiteral(", ")) + QStringLiteral(")"));
        return {};
    }
    QString text = QStringLiteral("several monitors run; name one with -c INI-FILE, -p PID or -s "
                                  "SOCKET:");
    for (const Found& found : matching)
        text += QStringLiteral("\n  pid ") +
                QString::number(found.info[QLatin1String("pid")].toInteger()) +
                QStringLiteral("  ") + found.socket + QStringLiteral("  ") +
                found.info[QLatin1String("configuration")].toString();
    status = fail(Error, text);
    return {};
}

int list() {
    const Search search = findMonitors();
    if (search.answering.isEmpty())
        return fail(NoMonitor, QStringLiteral("no monitor answers (looked in ") +
                                   search.looked.join(QStringLiteral(", ")) + QLatin1Char(')'));
    for (const Found& found : search.answering)
        out(QString::number(found.info[QLatin1String("pid")].toInteger()).rightJustified(7) +
            QStringLiteral("  ") +
            QString::number(found.info[QLatin1String("tasks")].toInt()).rightJustified(5) +
            QStringLiteral(" tasks  ") + found.socket + QStringLiteral("  ") +
            found.info[QLatin1String("configuration")].toString() + QLatin1Char('\n'));
    return Ok;
}

QJsonObject request(const QString& cmd, const QStringList& tasks = {}) {
    QJsonObject object{{QStringLiteral("cmd"), cmd}};
    if (!tasks.isEmpty())
        object.insert(QStringLiteral("tasks"), QJsonArray::fromStringList(tasks));
    return object;
}

int status(const QString& socket, const Options& options) {
    const Reply reply = ask(socket, request(QStringLiteral("status"), options.tasks));
    if (const int problem = problemOf(reply, socket))
        return problem;
    const QJsonArray tasks = reply.object[QLatin1String("tasks")].toArray();
    if (options.json)
        out(QString::fromUtf8(QJsonDocument(reply.object).toJson(QJsonDocument::Compact)) +
            QLatin1Char('\n'));
    else
        out(statusTable(tasks) + (options.tasks.isEmpty() ? QString() : statusDetails(tasks)));
    for (const QJsonValue& task : tasks) {
        if (task[QLatin1String("state")].toString() != QLatin1String("up"))
            return NotUp;
    }
    return Ok;
}

int act(const QString& socket, const Options& options) {
    if (options.tasks.isEmpty())
        return fail(Error, options.verb + QStringLiteral(" needs a task: a name, #id or all"));
    const Reply reply = ask(socket, request(options.verb, options.tasks));
    if (const int problem = problemOf(reply, socket))
        return problem;
    QStringList waiting;
    for (const QJsonValue& result : reply.object[QLatin1String("results")].toArray()) {
        const QString id = QLatin1Char('#') + QString::number(result[QLatin1String("id")].toInt());
        out(result[QLatin1String("name")].toString() + QStringLiteral(" (") + id +
            QStringLiteral("): ") + result[QLatin1String("result")].toString() + QLatin1Char('\n'));
        if (result[QLatin1String("result")].toString().startsWith(QLatin1String("starts once")))
            waiting.append(id);
    }
    // A restart is done when the task is up again: a script may go on to use it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!waiting.isEmpty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const Reply now = ask(socket, request(QStringLiteral("status"), waiting));
        if (now.outcome != Reply::Outcome::Answered)
            break;
        for (const QJsonValue& task : now.object[QLatin1String("tasks")].toArray()) {
            if (task[QLatin1String("state")].toString() != QLatin1String("up"))
                continue;
            const QString id =
                QLatin1Char('#') + QString::number(task[QLatin1String("id")].toInt());
            out(task[QLatin1String("name")].toString() + QStringLiteral(" (") + id +
                QStringLiteral("): started\n"));
            waiting.removeAll(id);
        }
    }
    for (const QString& id : waiting)
        out(id + QStringLiteral(": its process has not ended yet; it starts when it does\n"));
    return reply.object[QLatin1String("ok")].toBool() ? Ok : Error;
}

// Prints the file (its last `lines` lines when not negative) and, following, what is added to
// it; pathNow gives the path again, since the event log moves to a new file each day.
int showFile(QString path, int lines, bool follow, const std::function<QString()>& pathNow) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (!follow || file.exists())
            return fail(Error, path + QStringLiteral(": ") + file.errorString());
    }
    QByteArray text = file.readAll();
    if (lines >= 0) {
        QList<QByteArray> all = text.split('\n');
        if (text.endsWith('\n'))
            all.removeLast();
        text = all.mid(std::max<qsizetype>(0, all.size() - lines)).join('\n');
        if (!text.isEmpty())
            text += '\n';
    }
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
    std::fflush(stdout);
    qint64 position = file.isOpen() ? file.pos() : 0;
    while (follow) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        const QString current = pathNow();
        if (!current.isEmpty() && current != path) {
            path = current;
            file.close();
            position = 0;
        }
        if (!file.isOpen()) {
            file.setFileName(path);
            if (!file.open(QIODevice::ReadOnly))
                continue;
        }
        if (file.size() < position)
            position = 0; // truncated, as rotation does
        file.seek(position);
        const QByteArray added = file.readAll();
        position = file.pos();
        std::fwrite(added.constData(), 1, static_cast<size_t>(added.size()), stdout);
        std::fflush(stdout);
    }
    return Ok;
}

int showLog(const QString& socket, const Options& options) {
    const Reply reply = ask(socket, request(QStringLiteral("log")));
    if (const int problem = problemOf(reply, socket))
        return problem;
    QDate day = QDate::currentDate();
    return showFile(reply.object[QLatin1String("path")].toString(), options.lines, options.follow,
                    [&]() -> QString {
                        if (QDate::currentDate() == day)
                            return {};
                        day = QDate::currentDate();
                        return ask(socket, request(QStringLiteral("log")))
                            .object[QLatin1String("path")]
                            .toString();
                    });
}

int showOutput(const QString& socket, const Options& options) {
    if (options.tasks.size() != 1)
        return fail(Error, QStringLiteral("output takes one task: a name or #id"));
    const Reply reply = ask(socket, request(QStringLiteral("output"), options.tasks));
    if (const int problem = problemOf(reply, socket))
        return problem;
    const QJsonValue path = reply.object[QLatin1String("path")];
    if (!path.isString())
        return fail(Error, QStringLiteral("the output of ") + options.tasks.first() +
                               QStringLiteral(" is not captured: the monitor runs without "
                                              "OUTPUT_DIR, so its tasks write where the "
                                              "monitor's own output goes"));
    return showFile(path.toString(), options.lines, options.follow, [] { return QString(); });
}

int names(const QString& socket) {
    const Reply reply = ask(socket, request(QStringLiteral("status")));
    if (const int problem = problemOf(reply, socket))
        return problem;
    for (const QJsonValue& task : reply.object[QLatin1String("tasks")].toArray())
        out(task[QLatin1String("name")].toString() + QLatin1Char('\n'));
    return Ok;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication application(argc, argv);
    QStringList arguments = QCoreApplication::arguments().mid(1);
    Options options;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        const auto value = [&](QString& into) {
            if (i + 1 >= arguments.size())
                return false;
            into = arguments[++i];
            return true;
        };
        QString text;
        if (a == QLatin1String("-h") || a == QLatin1String("--help")) {
            out(QString::fromLatin1(usage));
            return Ok;
        }
        if (a == QLatin1String("--version")) {
            out(QStringLiteral("prowlixctl ") + QString::fromLatin1(Version::text) +
                QLatin1Char('\n'));
            return Ok;
        }
        if (a == QLatin1String("--json"))
            options.json = true;
        else if (a == QLatin1String("-f"))
            options.follow = true;
        else if (a == QLatin1String("-c")) {
            if (!value(options.ini))
                return fail(Error, QStringLiteral("-c needs an INI file"));
        } else if (a == QLatin1String("-s")) {
            if (!value(options.socket))
                return fail(Error, QStringLiteral("-s needs a socket path"));
        } else if (a == QLatin1String("-p") || a == QLatin1String("-n")) {
            bool number = false;
            const qint64 n = value(text) ? text.toLongLong(&number) : 0;
            if (!number || n < 0 || n > 0x7fffffff)
                return fail(Error, a + QStringLiteral(" needs a number"));
            if (a == QLatin1String("-p"))
                options.pid = n;
            else
                options.lines = static_cast<int>(n);
        } else if (a.startsWith(QLatin1Char('-')) && a.size() > 1 && a != QLatin1String("-")) {
            return fail(Error, QStringLiteral("unknown option ") + a +
                                   QStringLiteral(" (prowlixctl --help lists them)"));
        } else if (options.verb.isEmpty()) {
            options.verb = a;
        } else {
            options.tasks.append(a);
        }
    }
    static const QStringList verbs{QStringLiteral("list"),    QStringLiteral("status"),
                                   QStringLiteral("start"),   QStringLiteral("stop"),
                                   QStringLiteral("restart"), QStringLiteral("log"),
                                   QStringLiteral("output"),  QStringLiteral("names")};
    if (options.verb.isEmpty() || !verbs.contains(options.verb)) {
        std::fputs(usage, stderr);
        return options.verb.isEmpty()
                   ? Error
                   : fail(Error, QStringLiteral("unknown command ") + options.verb);
    }
    if (options.verb == QLatin1String("list"))
        return list();
    int chosen = Ok;
    const QString socket = chooseMonitor(options, chosen);
    if (socket.isEmpty())
        return chosen;
    if (options.verb == QLatin1String("status"))
        return status(socket, options);
    if (options.verb == QLatin1String("log"))
        return showLog(socket, options);
    if (options.verb == QLatin1String("output"))
        return showOutput(socket, options);
    if (options.verb == QLatin1String("names"))
        return names(socket);
    return act(socket, options);
}
