#include "tasks/TaskList.h"

void TaskList::insertTop(const QString& text, qint32 taskId) {
    beginInsertRows({}, 0, 0);
    entries_.prepend(Entry{text, taskId});
    endInsertRows();
}

void TaskList::removeTask(qint32 taskId) {
    for (int i = count() - 1; i >= 0; --i) {
        if (entries_.at(i).taskId != taskId)
            continue;
        beginRemoveRows({}, i, i);
        entries_.removeAt(i);
        endRemoveRows();
    }
}

int TaskList::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : count();
}

QVariant TaskList::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= count())
        return {};
    const Entry& entry = at(index.row());
    if (role == Qt::DisplayRole)
        return entry.text;
    if (role == TaskIdRole)
        return entry.taskId;
    return {};
}
