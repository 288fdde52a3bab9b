#pragma once

#include "Common/Export.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include <cstdint>
#include <ostream>
#include <string>

namespace Halvora {
namespace Common {

// A point in time as a Windows file time: 100-ns ticks since 1601-01-01 UTC.
class HALVORA_COMMON_API DateTime {
public:
    // The tick value of an empty DateTime.
    static constexpr int64_t EmptyTicks = static_cast<int64_t>(0xE88664B37B544000ULL);
    // File time of 1970-01-01 00:00:00 UTC.
    static constexpr int64_t UnixEpochTicks = 116444736000000000LL;
    static constexpr int64_t TicksPerSecond = 10000000LL;

    DateTime() = default;
    explicit DateTime(int64_t fileTime) : m_ticks(fileTime) {}

    static DateTime Now();     // local wall time as a file time
    static DateTime NowUTC();  // UTC
    static DateTime FromUnixSeconds(int64_t seconds) { return DateTime(UnixEpochTicks + seconds * TicksPerSecond); }
    // A UTC calendar date and time of day (proleptic Gregorian), `ticks` 100-ns units past the second.
    static DateTime FromCivil(int64_t year, unsigned month, unsigned day, int hour = 0, int minute = 0, int second = 0,
                              int64_t ticks = 0);

    bool IsEmpty() const { return m_ticks == EmptyTicks; }
    int64_t GetFileTime() const { return m_ticks; }
    boost::posix_time::ptime toStandardTime() const;
    // ISO 8601 "YYYY-MM-DDTHH:MM:SS" with the 7-digit fraction when `withFraction`; "empty" when empty.
    std::string toString(bool withFraction = true) const;

    bool operator==(const DateTime& o) const { return m_ticks == o.m_ticks; }
    bool operator!=(const DateTime& o) const { return m_ticks != o.m_ticks; }
    bool operator<(const DateTime& o) const { return m_ticks < o.m_ticks; }

private:
    int64_t m_ticks = EmptyTicks;
};

HALVORA_COMMON_API std::ostream& operator<<(std::ostream& os, const DateTime& t);
HALVORA_COMMON_API std::wostream& operator<<(std::wostream& os, const DateTime& t);

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
HALVORA_COMMON_API int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day);
HALVORA_COMMON_API void CivilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day);

// A duration of `fileTimeTicks` 100-ns ticks.
HALVORA_COMMON_API boost::posix_time::time_duration FileTimeToDuration(int64_t fileTimeTicks);

}  // namespace Common
}  // namespace Halvora
