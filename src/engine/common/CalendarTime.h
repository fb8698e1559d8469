#pragma once
// A date and time as a card or a file states it, and the seconds since the
// epoch it stands for.

#include <cstdint>
#include <optional>

namespace tamsel {

struct CalendarTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// Read in this machine's time zone, or in UTC; nothing for a field out of range.
std::optional<std::int64_t> localTimeToEpoch(const CalendarTime& t);
std::optional<std::int64_t> utcTimeToEpoch(const CalendarTime& t);
// With its offset from UTC when it is stated, else in this machine's time zone.
std::optional<std::int64_t> toEpoch(const CalendarTime& t, std::optional<int> offsetMinutes);

}  // namespace tamsel
