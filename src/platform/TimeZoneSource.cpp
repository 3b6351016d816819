#include "TimeZoneSource.h"

#include <ctime>

namespace TimeZoneSource {

quint32 GetTimeZoneInformation(TimeZoneInformation& zone) {
    tzset();
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    // tm_gmtoff already holds any daylight shift; split it so Bias + DaylightBias (or
    // StandardBias) is exactly the offset in force now.
    const qint32 currentBias = static_cast<qint32>(-local.tm_gmtoff / 60);
    if (local.tm_isdst > 0) {
        zone.Bias = static_cast<qint32>(timezone / 60);
        zone.StandardBias = 0;
        zone.DaylightBias = currentBias - zone.Bias;
        return TIME_ZONE_ID_DAYLIGHT;
    }
    zone.Bias = currentBias;
    zone.StandardBias = 0;
    zone.DaylightBias = daylight ? -60 : 0;
    return daylight ? TIME_ZONE_ID_STANDARD : TIME_ZONE_ID_UNKNOWN;
}

} // namespace TimeZoneSource
