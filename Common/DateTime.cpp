#include "Common/DateTime.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <ctime>

namespace Halvora {
namespace Common {

namespace {

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = FloorDiv(y, 400);
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = FloorDiv(z, 146097);
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) ++y;
}

DateTime DateTime::FromCivil(int64_t year, unsigned month, unsigned day, int hour, int minute, int second,
                             int64_t ticks) {
    const int64_t seconds = ((DaysFromCivil(year, month, day) * 24 + hour) * 60 + minute) * 60 + second;
    return DateTime(UnixEpochTicks + seconds * TicksPerSecond + ticks);
}

DateTime DateTime::NowUTC() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    int64_t ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100;
    return DateTime(UnixEpochTicks + ticks);
}

DateTime DateTime::Now() {
    DateTime utc = NowUTC();
    std::time_t t = static_cast<std::time_t>(FloorDiv(utc.m_ticks - UnixEpochTicks, TicksPerSecond));
    std::tm local{};
    localtime_r(&t, &local);
    return DateTime(utc.m_ticks + static_cast<int64_t>(local.tm_gmtoff) * TicksPerSecond);
}

boost::posix_time::ptime DateTime::toStandardTime() const {
    if (IsEmpty()) return boost::posix_time::ptime(boost::posix_time::not_a_date_time);
    static const boost::posix_time::ptime epoch(boost::gregorian::date(1601, 1, 1));
    return epoch + FileTimeToDuration(m_ticks);
}

std::string DateTime::toString(bool withFraction) const {
    if (IsEmpty()) return "empty";
    int64_t unixTicks = m_ticks - UnixEpochTicks;
    int64_t secs = FloorDiv(unixTicks, TicksPerSecond);
    int64_t frac = unixTicks - secs * TicksPerSecond;
    int64_t days = FloorDiv(secs, 86400);
    int64_t sod = secs - days * 86400;
    int64_t y;
    unsigned m, d;
    CivilFromDays(days, y, m, d);
    char buf[64];
    if (withFraction)
        std::snprintf(buf, sizeof buf, "%04" PRId64 "-%02u-%02uT%02d:%02d:%02d.%07" PRId64 "Z", y, m, d,
                      static_cast<int>(sod / 3600), static_cast<int>(sod / 60 % 60), static_cast<int>(sod % 60), frac);
    else
        std::snprintf(buf, sizeof buf, "%04" PRId64 "-%02u-%02uT%02d:%02d:%02dZ", y, m, d,
                      static_cast<int>(sod / 3600), static_cast<int>(sod / 60 % 60), static_cast<int>(sod % 60));
    return buf;
}

std::ostream& operator<<(std::ostream& os, const DateTime& t) { return os << t.toString(true); }

std::wostream& operator<<(std::wostream& os, const DateTime& t) {
    std::string s = t.toString(true);
    return os << std::wstring(s.begin(), s.end());
}

boost::posix_time::time_duration FileTimeToDuration(int64_t ticks) {
    // Split to stay within the range of each unit.
    int64_t secs = ticks / DateTime::TicksPerSecond;
    int64_t rest = ticks % DateTime::TicksPerSecond;
    return boost::posix_time::seconds(static_cast<long>(secs)) +
           boost::posix_time::microseconds(rest / 10) +
#if defined(BOOST_DATE_TIME_HAS_NANOSECONDS)
           boost::posix_time::nanoseconds((rest % 10) * 100);
#else
           boost::posix_time::microseconds(0);
#endif
}

}  // namespace Common
}  // namespace Halvora
