#include "TimeZoneInfo.h"

#include <ctime>
#include <gtest/gtest.h>

namespace {

TimeZoneInfo zoneAt(const QDateTime& local, TimeZoneInformation rules, quint32 state) {
    TimeZoneInfo info;
    info.locale = QLocale(QLocale::English, QLocale::UnitedKingdom);
    info.localClock = [local] { return local; };
    info.zoneSource = [rules, state](TimeZoneInformation& zone) {
        zone = rules;
        return state;
    };
    return info;
}

QDateTime at(int y, int m, int d, int h, int min, int s) {
    return QDateTime(QDate(y, m, d), QTime(h, min, s));
}

} // namespace

TEST(TimeZoneInfoTest, WorkedExamples) {
    TimeZoneInfo east =
        zoneAt(at(2026, 12, 5, 7, 33, 28), {-60, 0, -60}, TimeZoneSource::TIME_ZONE_ID_STANDARD);
    EXPECT_EQ(east.GMTDateText(), QStringLiteral("05-Dec-2026 06:33:28 GMT"));
    EXPECT_EQ(east.TimeZoneBias, -60);

    TimeZoneInfo westDaylight =
        zoneAt(at(2026, 12, 5, 7, 33, 28), {300, 0, -60}, TimeZoneSource::TIME_ZONE_ID_DAYLIGHT);
    EXPECT_EQ(westDaylight.GMTDateText(), QStringLiteral("05-Dec-2026 11:33:28 GMT"));
    EXPECT_EQ(westDaylight.TimeZoneBias, 240);
}

TEST(TimeZoneInfoTest, CalendarRollsOverYearsAndLeapDays) {
    EXPECT_EQ(zoneAt(at(2026, 12, 31, 23, 30, 0), {60, 0, 0}, 0).GMTDateText(),
              QStringLiteral("01-Jan-2027 00:30:00 GMT"));
    EXPECT_EQ(zoneAt(at(2024, 3, 1, 0, 15, 0), {-120, 0, 0}, 0).GMTDateText(),
              QStringLiteral("29-Feb-2024 22:15:00 GMT"));
    EXPECT_EQ(zoneAt(at(2025, 3, 1, 0, 15, 0), {-120, 0, 0}, 0).GMTDateText(),
              QStringLiteral("28-Feb-2025 22:15:00 GMT"));
}

TEST(TimeZoneInfoTest, HalfHourZonesAndDaylightStateChooseTheBias) {
    EXPECT_EQ(zoneAt(at(2026, 6, 1, 12, 0, 5), {-330, 0, 0}, 0).GMTDateText(),
              QStringLiteral("01-Jun-2026 06:30:05 GMT"));
    // Unknown and standard states both take Bias + StandardBias; only daylight takes the other.
    const TimeZoneInformation rules{300, 15, -60};
    EXPECT_EQ(
        zoneAt(at(2026, 6, 1, 12, 0, 0), rules, TimeZoneSource::TIME_ZONE_ID_UNKNOWN).GMTDateText(),
        QStringLiteral("01-Jun-2026 17:15:00 GMT"));
    EXPECT_EQ(zoneAt(at(2026, 6, 1, 12, 0, 0), rules, 0xFFFFFFFF).GMTDateText(),
              QStringLiteral("01-Jun-2026 17:15:00 GMT"));
    EXPECT_EQ(zoneAt(at(2026, 6, 1, 12, 0, 0), rules, TimeZoneSource::TIME_ZONE_ID_DAYLIGHT)
                  .GMTDateText(),
              QStringLiteral("01-Jun-2026 16:00:00 GMT"));
}

TEST(TimeZoneInfoTest, SystemZoneMatchesTheClock) {
    // The real zone source and clock together must give the true Greenwich time.
    TimeZoneInfo info;
    info.LoadTimeZone();
    const qint64 drift = info.GMTNow.secsTo(QDateTime::currentDateTimeUtc());
    EXPECT_LE(std::abs(drift), 2);
}

TEST(TimeZoneInfoTest, SystemSourceSplitsTheOffsetIntoBiasAndDaylightState) {
    const QByteArray saved = qgetenv("TZ");
    const auto zoneFor = [](const char* tz, TimeZoneInformation& zone) {
        qputenv("TZ", tz);
        return TimeZoneSource::GetTimeZoneInformation(zone);
    };
    TimeZoneInformation zone;
    EXPECT_EQ(zoneFor("IST-5:30", zone), TimeZoneSource::TIME_ZONE_ID_UNKNOWN);
    EXPECT_EQ(zone.Bias + zone.StandardBias, -330);
    // Daylight-saving time the whole year round, one hour ahead of UTC-5.
    EXPECT_EQ(zoneFor("EST5EDT,J1/0,J365/25", zone), TimeZoneSource::TIME_ZONE_ID_DAYLIGHT);
    EXPECT_EQ(zone.Bias, 300);
    EXPECT_EQ(zone.DaylightBias, -60);
    if (saved.isNull()) {
        qunsetenv("TZ");
    } else {
        qputenv("TZ", saved);
    }
    tzset();
}
