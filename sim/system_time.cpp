// kernel32: the system clock. The machine booted at a fixed moment and its wall clock runs
// with virtual time, so runs on one machine see time pass in order and tests can name the
// exact time a run sees.
#include "sim/machine.h"

using namespace sim;

namespace sim {
// 2024-05-06 07:30:00 UTC, in milliseconds since 1970-01-01.
constexpr uint64_t kBootUnixMs = 1714980600000ull;
}  // namespace sim

void WINAPI GetSystemTime(LPSYSTEMTIME time) {
  Enter("GetSystemTime");
  const uint64_t ms = kBootUnixMs + M().now;
  const uint64_t seconds = ms / 1000;
  const int64_t days = int64_t(seconds / 86400);
  const uint64_t ofDay = seconds % 86400;
  // Civil date from days since 1970-01-01 (proleptic Gregorian calendar).
  const int64_t z = days + 719468;
  const int64_t era = z / 146097;
  const int64_t dayOfEra = z - era * 146097;
  const int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t mp = (5 * dayOfYear + 2) / 153;
  const int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  time->wYear = WORD(year);
  time->wMonth = WORD(month);
  time->wDay = WORD(day);
  time->wDayOfWeek = WORD((days + 4) % 7);  // 1970-01-01 was a Thursday
  time->wHour = WORD(ofDay / 3600);
  time->wMinute = WORD(ofDay / 60 % 60);
  time->wSecond = WORD(ofDay % 60);
  time->wMilliseconds = WORD(ms % 1000);
}
