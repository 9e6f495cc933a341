#include "utc_time.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

namespace {

bool IsLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int64_t y, int m) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian calendar).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// Reads n decimal digits at text[pos].
bool Digits(const std::string& text, size_t pos, size_t n, int64_t* out) {
  int64_t v = 0;
  for (size_t i = pos; i < pos + n; i++) {
    if (text[i] < '0' || text[i] > '9') return false;
    v = v * 10 + (text[i] - '0');
  }
  *out = v;
  return true;
}

// Seconds since the epoch of a date and time whose fields are checked here.
bool CivilSeconds(int64_t y, int64_t mo, int64_t d, int64_t h, int64_t mi, int64_t s,
                  int64_t* seconds) {
  if (mo < 1 || mo > 12 || d < 1 || d > DaysInMonth(y, static_cast<int>(mo)) || h > 23 || mi > 59 ||
      s > 59) {
    return false;
  }
  *seconds =
      DaysFromCivil(y, static_cast<int>(mo), static_cast<int>(d)) * 86400 + h * 3600 + mi * 60 + s;
  return true;
}

}  // namespace

std::string FormatUtcTime(int64_t seconds) {
  time_t t = static_cast<time_t>(seconds);
  struct tm tm;
  if (!gmtime_r(&t, &tm) || tm.tm_year + 1900 < 1000 || tm.tm_year + 1900 > 9999) return "";
  // Room for any int in every field, so the compiler can see that nothing is cut.
  char buf[80];
  snprintf(buf, sizeof(buf), "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1,
           tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

bool ParseUtcTime(const std::string& text, int64_t* seconds) {
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z') {
    return false;
  }
  int64_t y, mo, d, h, mi, s;
  if (!Digits(text, 0, 4, &y) || !Digits(text, 5, 2, &mo) || !Digits(text, 8, 2, &d) ||
      !Digits(text, 11, 2, &h) || !Digits(text, 14, 2, &mi) || !Digits(text, 17, 2, &s)) {
    return false;
  }
  return CivilSeconds(y, mo, d, h, mi, s, seconds);
}

bool ParseHttpDate(const std::string& text, int64_t* seconds) {
  // "Sun, 06 Nov 1994 08:49:37 GMT": every field at a fixed place.
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  if (text.size() != 29 || text.compare(3, 2, ", ") != 0 || text[7] != ' ' || text[11] != ' ' ||
      text[16] != ' ' || text[19] != ':' || text[22] != ':' || text.compare(25, 4, " GMT") != 0) {
    return false;
  }
  const std::string month = text.substr(8, 3);
  const char* at = strstr(kMonths, month.c_str());
  if (!at || (at - kMonths) % 3 != 0) return false;
  int64_t y, d, h, mi, s;
  if (!Digits(text, 5, 2, &d) || !Digits(text, 12, 4, &y) || !Digits(text, 17, 2, &h) ||
      !Digits(text, 20, 2, &mi) || !Digits(text, 23, 2, &s)) {
    return false;
  }
  return CivilSeconds(y, (at - kMonths) / 3 + 1, d, h, mi, s, seconds);
}
