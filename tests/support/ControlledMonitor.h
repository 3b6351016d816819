#pragma once

// A real monitor with a control socket, and the real prowlixctl; include from tests that link the
// test support only.

#include "MonitorProcess.h"
#include "TestSupport.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

namespace testsupport {

struct CtlResult {
    int status = -1;
    QString out, err;
};

// Runs the built prowlixctl; prefix runs it through another program (setpriv, for a user).
inline CtlResult
prowlixctl(const QStringList& arguments, const QStringList& prefix = {},
           const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) {
    const QString program = qEnvironmentVariable("PROWLIX_BINARY_DIR") + "/prowlixctl";
    QProcess process;
    process.setProcessEnvironment(environment);
    if (prefix.isEmpty())
        process.start(program, arguments);
    else
        process.start(prefix.first(), prefix.mid(1) + QStringList{program} + arguments);
    CtlResult result;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.status = process.exitCode();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

// A monitor of an INI file holding these lines, its status port free, its control socket in its
// own directory unless the lines name one (or say CONTROL_SOCKET= with nothing, for the runtime
// directory). Started when built; ready once its socket answers.
class ControlledMonitor final {
  public:
    explicit ControlledMonitor(const QStringList& lines, const QProcessEnvironment& environment =
                                                             MonitorProcess::headlessEnvironment())
        : port(freePort()), ini(monitor.dir() + "/tasks.ini"), socket(monitor.dir() + "/c.sock") {
        QByteArray text = "port=" + QByteArray::number(port) + "\nkill=True\n";
        bool named = false;
        for (const QString& line : lines) {
            named = named || line.startsWith("CONTROL_SOCKET=");
            text += line.toUtf8() + '\n';
        }
        if (!named)
            text += "CONTROL_SOCKET=" + socket.toUtf8() + '\n';
        writeFile(ini, text);
        monitor.start({"/NOGUI", "/I:" + ini}, environment);
        if (!named)
            ready = waitUntil([&] { return QFileInfo::exists(socket) || !monitor.running(); }) &&
                    monitor.running();
    }
    ~ControlledMonitor() { monitor.stop(); }
    ControlledMonitor(const ControlledMonitor&) = delete;
    ControlledMonitor& operator=(const ControlledMonitor&) = delete;

    CtlResult ctl(const QStringList& arguments) {
        return prowlixctl(QStringList{"-s", socket} + arguments);
    }
    // The tasks of `status --json`, by name.
    QJsonObject task(const QString& name) {
        const CtlResult r = ctl({"status", name, "--json"});
        return QJsonDocument::fromJson(r.out.toUtf8())["tasks"][0].toObject();
    }

    MonitorProcess monitor;
    quint16 port;
    QString ini, socket;
    bool ready = false;
};

} // namespace testsupport
