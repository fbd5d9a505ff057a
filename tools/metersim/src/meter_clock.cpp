#include "metersim/meter_clock.h"

namespace vb::metersim {
namespace {

// Days from 1990-01-01, where CDTF counts from, to 1970-01-01.
constexpr int64_t kCdtfEpochDays = 7305;
constexpr int64_t kSecondsPerDay = 86400;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's
// days_from_civil).
int64_t daysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

unsigned daysInMonth(unsigned year, unsigned month) {
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
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

bool parseMeterClock(const std::string& text, int32_t* cdtf) {
  unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (text.size() < 10 || !readDigits(text, 0, 4, &year) || text[4] != '-' ||
      !readDigits(text, 5, 2, &month) || text[7] != '-' || !readDigits(text, 8, 2, &day)) {
    return false;
  }
  if (text.size() > 10) {
    if ((text[10] != 'T' && text[10] != ' ') || text.size() < 16 ||
        !readDigits(text, 11, 2, &hour) || text[13] != ':' || !readDigits(text, 14, 2, &minute)) {
      return false;
    }
    if (text.size() > 16 &&
        (text.size() != 19 || text[16] != ':' || !readDigits(text, 17, 2, &second))) {
      return false;
    }
  }
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return false;
  }
  const int64_t seconds = (daysFromCivil(year, month, day) - kCdtfEpochDays) * kSecondsPerDay +
                          hour * 3600 + minute * 60 + second;
  if (seconds <= 0 || seconds > INT32_MAX) return false;
  *cdtf = static_cast<int32_t>(seconds);
  return true;
}

}  // namespace vb::metersim
