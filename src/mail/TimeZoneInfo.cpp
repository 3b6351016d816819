#include "TimeZoneInfo.h"

TimeZoneInfo::TimeZoneInfo()
    : zoneSource(&TimeZoneSource::GetTimeZoneInformation),
      localClock([] { return QDateTime::currentDateTime(); }) {}

void TimeZoneInfo::LoadTimeZone() {
    const quint32 state = zoneSource(zone);
    TimeZoneBias = zone.Bias + (state == TimeZoneSource::TIME_ZONE_ID_DAYLIGHT ? zone.DaylightBias
                                                                               : zone.StandardBias);
    // Plain calendar arithmetic on the wall-clock reading: taken as UTC, no zone rule of this
    // machine can shift it a second time.
    const QDateTime local = localClock();
    const QDateTime wall(local.date(),
                         QTime(local.time().hour(), local.time().minute(), local.time().second()),
                         Qt::UTC);
    GMTNow = wall.addSecs(qint64{TimeZoneBias} * 60);
}

QString TimeZoneInfo::GMTDateText() {
    static const char* const days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    LoadTimeZone();
    const QDate date = GMTNow.date();
    const QTime time = GMTNow.time();
    return QString::asprintf("%s, %02d %s %04d %02d:%02d:%02d +0000", days[date.dayOfWeek() - 1],
                             date.day(), months[date.month() - 1], date.year(), time.hour(),
                             time.minute(), time.second());
}
