#pragma once

#include <QAbstractListModel>
#include <QFile>
#include <QHash>
#include <QStringList>
#include <functional>
#include <vector>

// The lines of one log file for the viewer, read from the file as they are shown. Only where
// every 64th line begins is kept, so a file of a million lines costs some kilobytes here, and the
// file is read in pieces, never held whole.
class LogLines final : public QAbstractListModel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LogLines)

  public:
    explicit LogLines(QObject* parent = nullptr);

    // Indexes the file piece by piece; keepGoing runs between the pieces and may let events run.
    // When it says stop, this returns false at once and touches nothing more: the model may be
    // gone by then. A file that cannot be read shows no lines.
    [[nodiscard]] bool open(const QString& path, const std::function<bool()>& keepGoing);
    // Lines of a text held in memory, such as the words for a day without a file.
    void setText(const QString& text);
    // Takes in what was written to the file since it was indexed (a log grows while it is read).
    void follow();
    // Lets go of the file and everything read from it.
    void clear();

    QString line(int row) const;
    // The longest line's length in bytes, for the width of the view.
    qint64 longestLine() const { return longest_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    // The lines can be edited, as in a text box; the edits go nowhere and end with the viewer.
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;

    static constexpr int linesPerBlock = 64;

  private:
    struct Position {
        qint64 scanned = 0;      // bytes indexed
        qint64 pendingStart = 0; // where the line that no line feed has ended yet begins
        int complete = 0;        // lines ended by a line feed
        qint64 longest = 0;
        int rows() const { return complete + (scanned > pendingStart ? 1 : 0); }
    };
    bool scan(Position& position, const std::function<bool()>& keepGoing);
    void commit(const Position& position);
    const QStringList& block(int number) const;

    QFile file_;
    std::vector<qint64> blockStarts_;
    Position position_;
    qint64 longest_ = 0;
    QStringList fixed_;
    bool fromFile_ = false;
    QHash<int, QString> edits_;
    mutable int cachedBlock_ = -1;
    mutable QStringList cached_;
};
