#pragma once

#include <QByteArray>
#include <QDate>
#include <QDir>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <chrono>
#include <functional>

namespace testsupport {

// Runs the event loop until the condition holds or the deadline passes; returns the condition.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));

// A TCP port on loopback that nobody listens on right now.
quint16 freePort();

// Connects to 127.0.0.1:port and reads until the peer closes. Returns nullopt-like
// {refused=true} when the connection is refused.
struct ProbeResult {
    bool refused = false;
    QByteArray data;
};
ProbeResult probePort(quint16 port, int timeoutMs = 5000);

// The status-port option for a port, and whether the port answers "SERVICES UP" before the
// default deadline.
QString portArgument(quint16 port);
bool answers(quint16 port);

// The same through the event loop, for a server in this thread: what the peer sent before
// closing, or "refused".
QByteArray askPort(quint16 port);

// A plain loopback client descriptor, connected or connecting (the caller closes it): for
// peers that misbehave in ways QTcpSocket will not, such as flooding or resetting.
int connectRaw(quint16 port, bool nonBlocking = false);

// Reads a whole text file (empty when missing).
QString readFile(const QString& path);
// Writes a whole file, replacing what was there; false when it cannot be written.
bool writeFile(const QString& path, const QByteArray& content = {});

// A day's log file name: <base>.<program><yyyy-MM-dd>.txt.
QString logFileName(const QString& base, const QString& program,
                    const QDate& date = QDate::currentDate());

// Directory of the built executables, and of the sources.
QString binaryDir();
QString sourceDir();

} // namespace testsupport

namespace testsupport {

// Lives for the whole test program: it adopts the orphans of what the tests start (the tasks of
// a monitor binary that has ended) and, at the end, ends every process still below it, so that
// no task outlives its test and holds CTest's output pipes open.
class ChildGuard final {
  public:
    ChildGuard();
    ~ChildGuard();
    ChildGuard(const ChildGuard&) = delete;
    ChildGuard& operator=(const ChildGuard&) = delete;
};

} // namespace testsupport
