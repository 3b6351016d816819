#include "TimeZoneInfo.h"

#include <ctime>
#include <gtest/gtest.h>

TEST(TimeZoneInfoTest, GreenwichTextFromLocalTimeAndTheChosenBias) {
    const quint32 unknown = TimeZoneSource::TIME_ZONE_ID_UNKNOWN,
                  standard = TimeZoneSource::TIME_ZONE_ID_STANDARD,
                  daylight = TimeZoneSource::TIME_ZONE_ID_DAYLIGHT;
    const struct {
        const char* local;
        TimeZoneInformation rules;
        quint32 state;
        const char* text;
    } rows[] = {
        // The worked examples.
        {"2026-12-05T07:33:28", {-60, 0, -60}, standard, "Sat, 05 Dec 2026 06:33:28 +0000"},
        {"2026-12-05T07:33:28", {300, 0, -60}, daylight, "Sat, 05 Dec 2026 11:33:28 +0000"},
        // Year and leap-day roll-over, a half-hour zone.
        {"2026-12-31T23:30:00", {60, 0, 0}, unknown, "Fri, 01 Jan 2027 00:30:00 +0000"},
        {"2024-03-01T00:15:00", {-330, 0, 0}, unknown, "Thu, 29 Feb 2024 18:45:00 +0000"},
        // Unknown and standard states take Bias + StandardBias; only daylight the other.
        {"2026-06-01T12:00:00", {300, 15, -60}, unknown, "Mon, 01 Jun 2026 17:15:00 +0000"},
        {"2026-06-01T12:00:00", {300, 15, -60}, daylight, "Mon, 01 Jun 2026 16:00:00 +0000"},
    };
    for (const auto& row : rows) {
        TimeZoneInfo info;
        info.localClock = [&row] {
            return QDateTime::fromString(QLatin1String(row.local), Qt::ISODate);
        };
        info.zoneSource = [&row](TimeZoneInformation& zone) {
            zone = row.rules;
            return row.state;
        };
        EXPECT_EQ(info.GMTDateText(), QLatin1String(row.text));
    }
}

// The system source splits the offset into bias and daylight state.
TEST(TimeZoneInfoTest, SystemSourceSplitsTheZoneOffset) {
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
    saved.isNull() ? qunsetenv("TZ") : qputenv("TZ", saved);
    tzset();
}
