#include "engine/common/CalendarTime.h"

#include <ctime>

namespace tamsel {

namespace {

std::optional<std::tm> toTm(const CalendarTime& t) {
    static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t.year < 1970 || t.year > 2200 || t.month < 1 || t.month > 12 || t.day < 1 || t.hour > 23 ||
        t.minute > 59 || t.second > 59 || t.hour < 0 || t.minute < 0 || t.second < 0)
        return std::nullopt;
    const bool leap = (t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0;
    if (t.day > kDays[t.month - 1] || (t.month == 2 && !leap && t.day > 28)) return std::nullopt;
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    return tm;
}

}  // namespace

std::optional<std::int64_t> localTimeToEpoch(const CalendarTime& t) {
    auto tm = toTm(t);
    if (!tm) return std::nullopt;
    return static_cast<std::int64_t>(std::mktime(&*tm));
}

std::optional<std::int64_t> utcTimeToEpoch(const CalendarTime& t) {
    auto tm = toTm(t);
    if (!tm) return std::nullopt;
    return static_cast<std::int64_t>(::timegm(&*tm));
}

std::optional<std::int64_t> toEpoch(const CalendarTime& t, std::optional<int> offsetMinutes) {
    if (!offsetMinutes) return localTimeToEpoch(t);
    if (*offsetMinutes < -16 * 60 || *offsetMinutes > 16 * 60) return std::nullopt;
    auto utc = utcTimeToEpoch(t);
    if (!utc) return std::nullopt;
    return *utc - std::int64_t{*offsetMinutes} * 60;
}

}  // namespace tamsel
