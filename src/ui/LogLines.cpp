#include "ui/LogLines.h"

#include <algorithm>
#include <cstring>

namespace {
// Large enough that a scan makes few calls, small enough to cost nothing resident.
constexpr qint64 pieceBytes = 1 << 20;
// One block is 64 lines; a longer read than this means lines no one can read on a screen.
constexpr qint64 blockLimit = 8 << 20;
} // namespace

LogLines::LogLines(QObject* parent) : QAbstractListModel(parent) {}

void LogLines::clear() {
    beginResetModel();
    file_.close();
    std::vector<qint64>().swap(blockStarts_);
    position_ = {};
    longest_ = 0;
    fixed_.clear();
    fromFile_ = false;
    edits_.clear();
    edits_.squeeze();
    cachedBlock_ = -1;
    cached_.clear();
    endResetModel();
}

bool LogLines::open(const QString& path, const std::function<bool()>& keepGoing) {
    clear();
    file_.setFileName(path);
    if (!file_.open(QIODevice::ReadOnly))
        return true;
    fromFile_ = true;
    blockStarts_.push_back(0);
    Position position;
    if (!scan(position, keepGoing))
        return false;
    commit(position);
    return true;
}

void LogLines::setText(const QString& text) {
    clear();
    QStringList lines = QString(text).remove(QLatin1Char('\r')).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.back().isEmpty())
        lines.removeLast();
    beginInsertRows({}, 0, static_cast<int>(lines.size()) - 1);
    fixed_ = lines;
    for (const QString& line : fixed_)
        longest_ = std::max<qint64>(longest_, line.size());
    endInsertRows();
}

bool LogLines::scan(Position& position, const std::function<bool()>& keepGoing) {
    QByteArray piece(pieceBytes, Qt::Uninitialized);
    if (!file_.seek(position.scanned))
        return true;
    for (;;) {
        const qint64 got = file_.read(piece.data(), pieceBytes);
        if (got <= 0)
            return true;
        const char* const begin = piece.constData();
        const char* at = begin;
        const char* const end = begin + got;
        while (const auto* feed = static_cast<const char*>(std::memchr(at, '\n', end - at))) {
            const qint64 next = position.scanned + (feed - begin) + 1;
            position.longest = std::max(position.longest, next - 1 - position.pendingStart);
            position.pendingStart = next;
            if (++position.complete % linesPerBlock == 0)
                blockStarts_.push_back(next);
            at = feed + 1;
        }
        position.scanned += got;
        position.longest = std::max(position.longest, position.scanned - position.pendingStart);
        if (keepGoing && !keepGoing())
            return false;
    }
}

void LogLines::commit(const Position& position) {
    const int before = position_.rows();
    const int after = position.rows();
    // The last row may have been a line still being written: it reads anew.
    const bool lastGrew = before > 0 && position_.scanned > position_.pendingStart &&
                          position.scanned > position_.scanned;
    cachedBlock_ = -1;
    if (after > before)
        beginInsertRows({}, before, after - 1);
    position_ = position;
    longest_ = position.longest;
    if (after > before)
        endInsertRows();
    if (lastGrew)
        Q_EMIT dataChanged(index(before - 1), index(before - 1));
}

void LogLines::follow() {
    cachedBlock_ = -1; // the file may have changed under what was read
    if (!fromFile_ || !file_.isOpen() || file_.size() <= position_.scanned)
        return; // nothing new, or the file was cut short: keep what was read
    Position position = position_;
    (void)scan(position, {});
    commit(position);
}

const QStringList& LogLines::block(int number) const {
    if (number == cachedBlock_)
        return cached_;
    cached_.clear();
    cachedBlock_ = number;
    const qint64 from = blockStarts_[static_cast<std::size_t>(number)];
    qint64 to = static_cast<std::size_t>(number) + 1 < blockStarts_.size()
                    ? blockStarts_[static_cast<std::size_t>(number) + 1]
                    : position_.scanned;
    to = std::min({to, position_.scanned, from + blockLimit});
    auto& file = const_cast<QFile&>(file_);
    if (to <= from || !file.seek(from))
        return cached_;
    const QByteArray bytes = file.read(to - from);
    qsizetype start = 0;
    while (start < bytes.size() && cached_.size() < linesPerBlock) {
        qsizetype feed = bytes.indexOf('\n', start);
        if (feed < 0)
            feed = bytes.size();
        qsizetype stop = feed;
        if (stop > start && bytes[stop - 1] == '\r')
            --stop;
        cached_.append(QString::fromLocal8Bit(bytes.constData() + start, stop - start));
        start = feed + 1;
    }
    return cached_;
}

QString LogLines::line(int row) const {
    if (row < 0 || row >= rowCount())
        return {};
    if (const auto edit = edits_.constFind(row); edit != edits_.constEnd())
        return *edit;
    if (!fromFile_)
        return fixed_.at(row);
    const QStringList& lines = block(row / linesPerBlock);
    const int within = row % linesPerBlock;
    // A file cut short since it was indexed reads as empty lines.
    return within < lines.size() ? lines.at(within) : QString();
}

int LogLines::rowCount(const QModelIndex& parent) const {
    if (parent.isValid())
        return 0;
    return fromFile_ ? position_.rows() : static_cast<int>(fixed_.size());
}

QVariant LogLines::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::EditRole))
        return {};
    return line(index.row());
}

Qt::ItemFlags LogLines::flags(const QModelIndex& index) const {
    return QAbstractListModel::flags(index) | Qt::ItemIsEditable;
}

bool LogLines::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::EditRole)
        return false;
    edits_.insert(index.row(), value.toString());
    Q_EMIT dataChanged(index, index);
    return true;
}
