#include "tasks/StateFile.h"

#include "base/SystemText.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMultiHash>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace StateFile {

QByteArray encodeEntry(const StateEntry& entry) {
    const QJsonObject object{{QStringLiteral("id"), entry.id},
                             {QStringLiteral("name"), entry.name},
                             {QStringLiteral("command"), entry.command},
                             {QStringLiteral("pid"), entry.pid},
                             // As text: a JSON number is not exact beyond 2^53.
                             {QStringLiteral("startTime"), QString::number(entry.startTime)}};
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray assemble(const QString& bootId, qint64 monitorPid, quint64 monitorStart,
                    const std::vector<QByteArray>& entries,
                    const std::vector<QByteArray>& launching, const QString& journal) {
    // A JSON string of any text: the array's one element, without its brackets.
    const auto quoted = [](const QString& text) {
        return QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
    };
    QByteArray text = "{\"version\":" + QByteArray::number(version) +
                      ",\"bootId\":" + quoted(bootId) +
                      ",\"monitorPid\":" + QByteArray::number(monitorPid) + ",\"monitorStart\":\"" +
                      QByteArray::number(monitorStart) + "\",\"tasks\":[";
    qsizetype size = text.size() + 4;
    for (const QByteArray& entry : entries)
        size += entry.size() + 1;
    text.reserve(size);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i != 0)
            text += ',';
        text += entries[i];
    }
    text += "],\"launching\":[";
    for (size_t i = 0; i < launching.size(); ++i) {
        if (i != 0)
            text += ',';
        text += launching[i];
    }
    text += ']';
    if (!journal.isEmpty())
        text += ",\"journal\":" + quoted(journal);
    return text + "}\n";
}

QByteArray encode(const StateRecord& record) {
    std::vector<QByteArray> entries;
    for (const StateEntry& entry : record.tasks)
        entries.push_back(encodeEntry(entry));
    std::vector<QByteArray> launching;
    for (const StateEntry& entry : record.launching)
        launching.push_back(encodeEntry(entry));
    return assemble(record.bootId, record.monitorPid, record.monitorStart, entries, launching,
                    record.journal);
}

namespace {

bool wholeNumber(const QJsonValue& value, qint64 min, qint64 max, qint64* out) {
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    if (number < static_cast<double>(min) || number > static_cast<double>(max) ||
        number != static_cast<double>(static_cast<qint64>(number)))
        return false;
    *out = static_cast<qint64>(number);
    return true;
}

bool decodeEntry(const QJsonObject& object, qint64 minPid, StateEntry* entry) {
    qint64 id = 0, pid = 0;
    bool ok = false;
    entry->name = object.value(QStringLiteral("name")).toString();
    entry->command = object.value(QStringLiteral("command")).toString();
    entry->startTime = object.value(QStringLiteral("startTime")).toString().toULongLong(&ok);
    if (!ok || entry->command.isEmpty() ||
        !wholeNumber(object.value(QStringLiteral("id")), 1, 0x7fffffff, &id) ||
        !wholeNumber(object.value(QStringLiteral("pid")), minPid, 0x7fffffff, &pid))
        return false;
    entry->id = static_cast<qint32>(id);
    entry->pid = static_cast<qint32>(pid);
    return true;
}

} // namespace

std::optional<StateRecord> decode(const QByteArray& bytes, QString* problem) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        *problem = QStringLiteral("not a state file (") + error.errorString() + QLatin1Char(')');
        return std::nullopt;
    }
    const QJsonObject root = document.object();
    qint64 number = 0;
    if (!wholeNumber(root.value(QStringLiteral("version")), 0, 1 << 30, &number) ||
        number != version) {
        *problem = QStringLiteral("not a state file of this version");
        return std::nullopt;
    }
    StateRecord record;
    record.bootId = root.value(QStringLiteral("bootId")).toString();
    const QJsonValue tasks = root.value(QStringLiteral("tasks"));
    if (record.bootId.isEmpty() ||
        !wholeNumber(root.value(QStringLiteral("monitorPid")), 1, 0x7fffffff, &record.monitorPid) ||
        !tasks.isArray()) {
        *problem = QStringLiteral("incomplete");
        return std::nullopt;
    }
    record.monitorStart = root.value(QStringLiteral("monitorStart")).toString().toULongLong();
    const auto entries = [](const QJsonArray& array, qint64 minPid, std::vector<StateEntry>* out) {
        for (const QJsonValue& value : array) {
            if (!decodeEntry(value.toObject(), minPid, &out->emplace_back()))
                return false;
        }
        return true;
    };
    if (!entries(tasks.toArray(), 1, &record.tasks) ||
        !entries(root.value(QStringLiteral("launching")).toArray(), 0, &record.launching)) {
        *problem = QStringLiteral("incomplete task entry");
        return std::nullopt;
    }
    record.journal = root.value(QStringLiteral("journal")).toString();
    return record;
}

QString journalPath(const QString& statePath) {
    return statePath + QStringLiteral(".journal");
}

QByteArray journalHeader(const QString& token) {
    return "journal " + token.toLatin1() + '\n';
}

QByteArray journalLaunching(const StateEntry& entry) {
    return "launching " + encodeEntry(entry) + '\n';
}

QByteArray journalUp(const StateEntry& entry) {
    return "up " + encodeEntry(entry) + '\n';
}

QByteArray journalDown(qint32 id) {
    return "down " + QByteArray::number(id) + '\n';
}

bool replay(StateRecord& record, const QByteArray& journal, QString* problem) {
    QList<QByteArray> lines = journal.split('\n');
    lines.removeLast(); // empty after a whole last line; otherwise a write that was cut short
    if (lines.isEmpty() || record.journal.isEmpty() ||
        lines.front() != journalHeader(record.journal).chopped(1))
        return true;
    // Each task's entries by id; one removed keeps its place until the end (pid 0).
    QMultiHash<qint32, size_t> byId;
    for (size_t i = 0; i < record.tasks.size(); ++i)
        byId.insert(record.tasks[i].id, i);
    const auto drop = [&](qint32 id) {
        for (auto it = byId.find(id); it != byId.end() && it.key() == id; it = byId.erase(it))
            record.tasks[*it].pid = 0;
        std::erase_if(record.launching, [id](const StateEntry& entry) { return entry.id == id; });
    };
    for (qsizetype n = 1; n < lines.size(); ++n) {
        const QByteArray& line = lines[n];
        const qsizetype space = line.indexOf(' ');
        const QByteArray verb = line.left(space), rest = line.mid(space + 1);
        StateEntry entry;
        bool ok = space > 0;
        if (ok && verb == "down") {
            entry.id = rest.toInt(&ok);
        } else if (ok && (verb == "up" || verb == "launching")) {
            const QJsonDocument document = QJsonDocument::fromJson(rest);
            ok =
                document.isObject() && decodeEntry(document.object(), verb == "up" ? 1 : 0, &entry);
        } else {
            ok = false;
        }
        if (!ok) {
            *problem = QStringLiteral("journal line %1 unreadable").arg(n + 1);
            break;
        }
        drop(entry.id);
        if (verb == "launching") {
            record.launching.push_back(entry);
        } else if (verb == "up") {
            byId.insert(entry.id, record.tasks.size());
            record.tasks.push_back(entry);
        }
    }
    std::erase_if(record.tasks, [](const StateEntry& entry) { return entry.pid == 0; });
    // In task order, as a snapshot has them: equals are claimed in recorded order.
    std::stable_sort(record.tasks.begin(), record.tasks.end(),
                     [](const StateEntry& a, const StateEntry& b) { return a.id < b.id; });
    return problem->isEmpty();
}

namespace {

// The whole file when it is a regular file of this user, not a symbolic link, and not too big.
// Nothing with an empty problem when there is no file.
std::optional<QByteArray> readOwnFile(const QString& path, QString* problem) {
    problem->clear();
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno != ENOENT)
            *problem = errno == ELOOP ? QStringLiteral("a symbolic link") : systemErrorText(errno);
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        *problem = QStringLiteral("not a regular file");
    else if (info.st_uid != ::geteuid())
        *problem = QStringLiteral("written by another user");
    else if (info.st_size > maxBytes)
        *problem = QStringLiteral("too big");
    QByteArray bytes;
    if (problem->isEmpty()) {
        // One more byte than it had tells a file that grew after fstat.
        bytes.resize(static_cast<qsizetype>(info.st_size) + 1);
        qint64 have = 0;
        while (have < bytes.size()) {
            const ssize_t n =
                ::read(fd, bytes.data() + have, static_cast<size_t>(bytes.size() - have));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            have += n;
        }
        bytes.truncate(have);
        if (have > info.st_size)
            *problem = QStringLiteral("changed while read");
    }
    ::close(fd);
    if (!problem->isEmpty())
        return std::nullopt;
    return bytes;
}

} // namespace

std::optional<StateRecord> read(const QString& path, QString* problem, QString* journalProblem) {
    const std::optional<QByteArray> bytes = readOwnFile(path, problem);
    if (!bytes)
        return std::nullopt;
    std::optional<StateRecord> record = decode(*bytes, problem);
    if (!record || record->journal.isEmpty())
        return record;
    QString journalIssue;
    if (const auto journal = readOwnFile(journalPath(path), &journalIssue))
        replay(*record, *journal, &journalIssue);
    if (journalProblem != nullptr)
        *journalProblem = journalIssue;
    return record;
}

bool write(const QString& path, const QByteArray& bytes, QString* error) {
    QByteArray temporary = QFile::encodeName(path) + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = systemErrorText(errno);
        return false;
    }
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    const int cause = done == bytes.size() ? 0 : (errno != 0 ? errno : ENOSPC);
    ::close(fd);
    if (cause != 0 || ::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0) {
        *error = systemErrorText(cause != 0 ? cause : errno);
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

} // namespace StateFile
