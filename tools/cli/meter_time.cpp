#include "meter_time.h"

#include <cstdio>

namespace vb::cli {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's
// days_from_civil).
int64_t daysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

struct CivilDate {
  int64_t year;
  unsigned month;
  unsigned day;
};

CivilDate civilFromDays(int64_t days) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
  const unsigned day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  const unsigned month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  const int64_t year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2);
  return {year, month, day};
}

bool isLeapYear(int64_t year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

unsigned daysInMonth(int64_t year, unsigned month) {
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// Reads exactly `width` decimal digits at text[pos].
bool readDigits(const std::string& text, size_t pos, size_t width, unsigned* value) {
  if (pos + width > text.size()) return false;
  unsigned result = 0;
  for (size_t i = pos; i < pos + width; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    result = result * 10 + static_cast<unsigned>(text[i] - '0');
  }
  *value = result;
  return true;
}

}  // namespace

std::optional<uint32_t> parseMeterTime(const std::string& text) {
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!readDigits(text, 0, 4, &year) || text.size() < 10 || text[4] != '-' ||
      !readDigits(text, 5, 2, &month) || text[7] != '-' || !readDigits(text, 8, 2, &day)) {
    return std::nullopt;
  }
  if (text.size() > 10) {
    if ((text[10] != 'T' && text[10] != ' ') || !readDigits(text, 11, 2, &hour) ||
        text.size() < 16 || text[13] != ':' || !readDigits(text, 14, 2, &minute)) {
      return std::nullopt;
    }
    if (text.size() > 16 && (text.size() != 19 || text[16] != ':' ||
                             !readDigits(text, 17, 2, &second))) {
      return std::nullopt;
    }
  }
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return std::nullopt;
  }
  int64_t seconds = daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  if (seconds < kEarliestMeterTime || seconds > kLatestMeterTime) return std::nullopt;
  return static_cast<uint32_t>(seconds);
}

std::string formatMeterTime(uint32_t hostTime) {
  const int64_t days = hostTime / 86400;
  const unsigned secondOfDay = hostTime % 86400;
  CivilDate date = civilFromDays(days);
  char text[32];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02u",
                static_cast<long long>(date.year), date.month, date.day, secondOfDay / 3600,
                secondOfDay / 60 % 60, secondOfDay % 60);
  return text;
}

}  // namespace vb::cli
