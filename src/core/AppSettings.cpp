#include "core/AppSettings.h"

QString AppSettings::GetINIValue(const QString& name) const {
    QString value;
    for (const INIEntry& entry : INIEntries) {
        if (entry.Key.compare(name, Qt::CaseInsensitive) == 0)
            value = entry.Value;
    }
    return value;
}
