#pragma once

#include "TimeZoneSource.h"

#include <QDateTime>
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

    TimeZoneInformation zone;
    qint32 TimeZoneBias = 0; // minutes to add to local time to get Greenwich time
    QDateTime GMTNow;

    void LoadTimeZone();
    // "Sun, 06 Dec 2026 21:44:56 +0000": the form mail programs parse, with English names
    // whatever the locale, since a localised month name makes the header unreadable to them.
    QString GMTDateText();
};
