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

// What a client of 127.0.0.1:port receives before the peer closes, or "refused". It runs the
// event loop, so the server may live in this thread.
QByteArray askPort(quint16 port, std::chrono::milliseconds deadline = std::chrono::seconds(10));
// Whether the port answers "SERVICES UP" before the default deadline.
bool answers(quint16 port);

// A plain loopback client descriptor, connected or connecting (the caller closes it): for
// peers that misbehave in ways QTcpSocket will not, such as flooding or resetting.
int connectRaw(quint16 port, bool nonBlocking = false);

QString readFile(const QString& path); // empty when missing
bool processGone(qint64 pid);          // ended and reaped: no /proc entry left
bool writeFile(const QString& path, const QByteArray& content = {});

// A day's log file name: <base>.<program><yyyy-MM-dd>.txt.
QString logFileName(const QString& base, const QString& program,
                    const QDate& date = QDate::currentDate());

QString sourceDir();

// Lives for the whole test program: it adopts the orphans of what the tests start (the tasks of
// a monitor that has ended) and at the end kills every process below it, so that no task holds
// CTest's output pipes open. The monitors of the program keep their locks and state files in a
// runtime directory of its own, never in the machine's.
class ChildGuard final {
  public:
    ChildGuard();
    ~ChildGuard();
    ChildGuard(const ChildGuard&) = delete;
    ChildGuard& operator=(const ChildGuard&) = delete;

  private:
    QTemporaryDir runtimeDir_;
};

} // namespace testsupport
