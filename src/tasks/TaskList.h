#pragma once

#include <QAbstractListModel>

// One of the two lists of tasks (Up or Down): entries of a display text and a task id.
// A Qt model, so that the desktop shows it directly while the engine stays free of widgets.
class TaskList final : public QAbstractListModel {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TaskList)

  public:
    static constexpr int TaskIdRole = Qt::UserRole;

    struct Entry {
        QString text;
        qint32 taskId = 0;
    };

    using QAbstractListModel::QAbstractListModel;

    // New entries go in at the top.
    void insertTop(const QString& text, qint32 taskId);
    // Removes every entry of the task, scanning from the last entry to the first.
    void removeTask(qint32 taskId);

    int count() const { return static_cast<int>(entries_.size()); }
    const Entry& at(int index) const { return entries_.at(index); }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

  private:
    // A QList: it prepends without moving the rest, and moves relocatable entries as bytes, so a
    // restart among thousands of tasks costs a copy of memory, not a move of every entry.
    QList<Entry> entries_;
};

Q_DECLARE_TYPEINFO(TaskList::Entry, Q_RELOCATABLE_TYPE);
