#pragma once

#include <QString>

// The one event text for a setting whose value cannot be used:
// "ERROR: KEY=value: reason; consequence", the consequence saying what the monitor does instead.
QString settingUnusable(const QString& key, const QString& value, const QString& reason,
                        const QString& consequence);
