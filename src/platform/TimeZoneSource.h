#pragma once

#include <QtGlobal>

// The zone rules in force now, in the form mail headers are computed from: Greenwich time is
// local time plus the bias, in minutes; zones west of Greenwich have positive biases.
struct TimeZoneInformation {
    qint32 Bias = 0;
    qint32 StandardBias = 0;
    qint32 DaylightBias = 0;
};

namespace TimeZoneSource {

inline constexpr quint32 TIME_ZONE_ID_UNKNOWN = 0; // the zone has no daylight-saving rules
inline constexpr quint32 TIME_ZONE_ID_STANDARD = 1;
inline constexpr quint32 TIME_ZONE_ID_DAYLIGHT = 2; // daylight-saving time is in effect now

// Fills the record from the C library's zone at this moment and returns the daylight state.
quint32 GetTimeZoneInformation(TimeZoneInformation& zone);

} // namespace TimeZoneSource
