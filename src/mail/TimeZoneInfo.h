#pragma once

#include "TimeZoneSource.h"

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <functional>

// Greenwich time for the Date header of a mail, from the local clock and the zone's bias. The
// zone is read again for every message, so a daylight-saving change is picked up at once.
class TimeZoneInfo final {
  public:
    TimeZoneInfo();

    // Both injectable so that tests choose the zone and the moment.
    std::function<quint32(TimeZoneInformation&)> zoneSource;
    std::function<QDateTime()> localClock; // local date and time of day, to the second
    QLocale locale = QLocale::system();    // gives the month's abbreviated name

    TimeZoneInformation zone;
    qint32 TimeZoneBias = 0; // minutes to add to local time to get Greenwich time
    QDateTime GMTNow;

    void LoadTimeZone();
    // "dd-mmm-yyyy hh:mm:ss GMT"
    QString GMTDateText();
};
