// DOS date-time, the timestamp format of archive entries: time in the low 16 bits
// (hour << 11 | minute << 5 | second / 2), date in the high 16 bits
// ((year - 1980) << 9 | month << 5 | day), all in local time.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>

namespace lumbrella {

// The local time of t in DOS form, at two-second resolution (odd seconds round down).
// Times before 1980 give 1980-01-01 00:00:00, times after 2107 give 2107-12-31 23:59:58:
// the nearest values the format holds.
uint32_t TimeToDosDateTime(std::time_t t);

// The moment a DOS date-time names in local time, or nothing when it names no calendar
// day or time of day (month 0 or 13, 30 February, hour 24, ...).
std::optional<std::time_t> DosDateTimeToTime(uint32_t dos);

// A value read from an archive with each part clamped into its range (hours above 23 to 23,
// minutes to 59, two-second counts to 29, years from 2100 on to 2099, day and month 0 to
// 1, months above 12 to 12); a value already in range is kept, even one that names no day.
uint32_t SanitizeDosDateTime(uint32_t dos);

}  // namespace lumbrella
