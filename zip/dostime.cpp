#include "zip/dostime.h"

#include <algorithm>

namespace lumbrella {

namespace {

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace

uint32_t TimeToDosDateTime(std::time_t t) {
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) return (1u << 21 | 1u << 16);  // 1980-01-01
  int year = local.tm_year + 1900;
  if (year < 1980) return 1u << 21 | 1u << 16;
  if (year > 2107) return 127u << 25 | 12u << 21 | 31u << 16 | 23u << 11 | 59u << 5 | 29u;
  uint32_t date =
      static_cast<uint32_t>((year - 1980) << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
  // A leap second (tm_sec 60) stays within the minute.
  int seconds = local.tm_sec > 59 ? 59 : local.tm_sec;
  uint32_t time = static_cast<uint32_t>(local.tm_hour << 11 | local.tm_min << 5 | seconds / 2);
  return date << 16 | time;
}

std::optional<std::time_t> DosDateTimeToTime(uint32_t dos) {
  int year = static_cast<int>(dos >> 25) + 1980;
  int month = static_cast<int>(dos >> 21 & 0x0F);
  int day = static_cast<int>(dos >> 16 & 0x1F);
  int hour = static_cast<int>(dos >> 11 & 0x1F);
  int minute = static_cast<int>(dos >> 5 & 0x3F);
  int second = static_cast<int>(dos & 0x1F) * 2;
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return std::nullopt;
  }
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;  // let the time zone rules decide
  std::time_t t = std::mktime(&local);
  if (t == static_cast<std::time_t>(-1)) return std::nullopt;
  return t;
}

uint32_t SanitizeDosDateTime(uint32_t dos) {
  uint32_t seconds2 = std::min(dos & 0x1F, 29u);
  uint32_t minutes = std::min(dos >> 5 & 0x3F, 59u);
  uint32_t hours = std::min(dos >> 11 & 0x1F, 23u);
  uint32_t day = std::max(dos >> 16 & 0x1F, 1u);
  uint32_t month = std::clamp(dos >> 21 & 0x0F, 1u, 12u);
  uint32_t year = std::min(dos >> 25 & 0x7F, 119u);
  return seconds2 | minutes << 5 | hours << 11 | day << 16 | month << 21 | year << 25;
}

}  // namespace lumbrella
