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
    LoadTimeZone();
    const QDate date = GMTNow.date();
    const QTime time = GMTNow.time();
    const auto two = [](int n) { return QStringLiteral("%1").arg(n, 2, 10, QChar(u'0')); };
    return two(date.day()) + u'-' + locale.monthName(date.month(), QLocale::ShortFormat) + u'-' +
           QStringLiteral("%1").arg(date.year(), 4, 10, QChar(u'0')) + u' ' + two(time.hour()) +
           u':' + two(time.minute()) + u':' + two(time.second()) + QStringLiteral(" GMT");
}
