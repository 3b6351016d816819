#include "platform/ProcReader.h"

#include "base/SystemText.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <cerrno>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

namespace {

// The whole of a small /proc file, at most limit bytes; nothing when it cannot be opened.
std::optional<QByteArray> readSmall(const QByteArray& path, qsizetype limit) {
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return std::nullopt;
    QByteArray bytes;
    char buffer[4096];
    while (bytes.size() < limit) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        bytes.append(buffer, n);
    }
    ::close(fd);
    return bytes;
}

QByteArray procPath(qint32 pid, const char* file) {
    return "/proc/" + QByteArray::number(pid) + '/' + file;
}

} // namespace

std::optional<quint64> ProcReader::startTime(qint32 pid) const {
    if (pid <= 0)
        return std::nullopt;
    const auto stat = readSmall(procPath(pid, "stat"), 4096);
    if (!stat)
        return std::nullopt;
    // The name in parentheses may hold blanks and parentheses: fields are counted after the last.
    const qsizetype close = stat->lastIndexOf(')');
    if (close < 0)
        return std::nullopt;
    const QList<QByteArray> fields = stat->mid(close + 2).split(' ');
    constexpr qsizetype startField = 22 - 3; // the state, field 3, comes first after the name
    if (fields.size() <= startField)
        return std::nullopt;
    bool ok = false;
    const quint64 value = fields[startField].toULongLong(&ok);
    return ok ? std::optional<quint64>(value) : std::nullopt;
}

std::optional<QStringList> ProcReader::commandLine(qint32 pid) const {
    if (pid <= 0)
        return std::nullopt;
    const auto bytes = readSmall(procPath(pid, "cmdline"), 1 << 20);
    if (!bytes || bytes->isEmpty())
        return std::nullopt;
    QByteArray text = *bytes;
    if (text.endsWith('\0'))
        text.chop(1);
    QStringList arguments;
    for (const QByteArray& argument : text.split('\0'))
        arguments.append(fromSystemBytes(argument));
    return arguments;
}

QString ProcReader::bootId() const {
    const auto bytes = readSmall("/proc/sys/kernel/random/boot_id", 128);
    return bytes ? QString::fromLatin1(bytes->trimmed()) : QString();
}

qint64 ProcReader::startedMs(quint64 startTime) const {
    const long ticks = ::sysconf(_SC_CLK_TCK);
    timespec sinceBoot{};
    if (ticks <= 0 || ::clock_gettime(CLOCK_BOOTTIME, &sinceBoot) != 0)
        return QDateTime::currentMSecsSinceEpoch();
    const qint64 bootMs =
        QDateTime::currentMSecsSinceEpoch() - sinceBoot.tv_sec * 1000 - sinceBoot.tv_nsec / 1000000;
    return bootMs + static_cast<qint64>(startTime) * 1000 / ticks;
}

quint64 ProcReader::ticksNow() const {
    const long ticks = ::sysconf(_SC_CLK_TCK);
    timespec sinceBoot{};
    if (ticks <= 0 || ::clock_gettime(CLOCK_BOOTTIME, &sinceBoot) != 0)
        return 0;
    return static_cast<quint64>(sinceBoot.tv_sec) * static_cast<quint64>(ticks) +
           static_cast<quint64>(sinceBoot.tv_nsec) * static_cast<quint64>(ticks) / 1000000000ULL;
}

QList<qint32> ProcReader::processes() const {
    QList<qint32> pids;
    for (const QString& name : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const int pid = name.toInt(&number);
        if (number && pid > 0)
            pids.append(pid);
    }
    return pids;
}

bool ProcReader::orphanedTask(qint32 pid) const {
    const auto stat = readSmall(procPath(pid, "stat"), 4096);
    if (!stat)
        return false;
    const qsizetype close = stat->lastIndexOf(')');
    const QList<QByteArray> fields = stat->mid(close + 2).split(' ');
    if (close < 0 || fields.size() < 4 || fields[3].toInt() != pid)
        return false; // field 6, the session, is the fourth after the name
    const int parent = fields[1].toInt();
    if (parent <= 1)
        return true;
    const QString parentExe = QFileInfo(QStringLiteral("/proc/%1/exe").arg(parent)).symLinkTarget();
    return parentExe.isEmpty() ||
           parentExe != QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
}

const ProcReader& ProcReader::system() {
    static const ProcReader reader;
    return reader;
}
