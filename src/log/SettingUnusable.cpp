#include "log/SettingUnusable.h"

QString settingUnusable(const QString& key, const QString& value, const QString& reason,
                        const QString& consequence) {
    return QStringLiteral("ERROR: ") + key + QLatin1Char('=') + value + QStringLiteral(": ") +
           reason + QStringLiteral("; ") + consequence;
}
