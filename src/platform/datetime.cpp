// SPDX-License-Identifier: MPL-2.0
#include "platform/datetime.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <ctime>

#include "platform/error.h"

namespace varo {

namespace {

constexpr int64_t kMsPerDay = 86400000;
// Day number of 1899-12-30 counted from 1970-01-01.
constexpr int64_t kOleEpochDays = -25569;
// Beyond this many days from the epoch the millisecond count would not fit 64 bits.
constexpr double kMaxAbsDays = 1.0e11;

// Days since 1970-01-01 of a proleptic Gregorian date (any year).
constexpr int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

struct Civil {
  int64_t year;
  int month, day;
};

constexpr Civil CivilFromDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t y = yoe + era * 400;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return {y + (m <= 2), m, d};
}

static_assert(DaysFromCivil(1970, 1, 1) == 0);
static_assert(DaysFromCivil(1899, 12, 30) == kOleEpochDays);

bool IsLeap(int64_t y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int64_t y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

[[noreturn]] void BadDateTime() {
  throw EConvertError("Invalid date-time value");
}

// Milliseconds since 1899-12-30 00:00 of a date-time, rounded to the nearest millisecond.
int64_t ToOleMs(TDateTime d) {
  if (!std::isfinite(d) || std::fabs(d) > kMaxAbsDays) BadDateTime();
  double day = std::trunc(d);
  int64_t ms = std::llround(std::fabs(d - day) * static_cast<double>(kMsPerDay));
  return static_cast<int64_t>(day) * kMsPerDay + ms;
}

// The date-time of a millisecond count since 1899-12-30 00:00.
TDateTime FromOleMs(int64_t ms) {
  int64_t day = FloorDiv(ms, kMsPerDay);
  double frac = static_cast<double>(ms - day * kMsPerDay) / static_cast<double>(kMsPerDay);
  return day >= 0 ? static_cast<double>(day) + frac : static_cast<double>(day) - frac;
}

// Milliseconds since 1899-12-30 of checked parts; extra milliseconds may be added by the caller.
int64_t PartsToOleMs(const DateTimeParts& p) {
  if (p.year < 1 || p.year > 9999 || p.month < 1 || p.month > 12 || p.day < 1 ||
      p.day > DaysInMonth(p.year, p.month) || p.hour < 0 || p.hour > 23 || p.minute < 0 || p.minute > 59 ||
      p.second < 0 || p.second > 59 || p.millisecond < 0 || p.millisecond > 999) {
    throw EConvertError("Invalid argument to date encode");
  }
  int64_t days = DaysFromCivil(p.year, p.month, p.day) - kOleEpochDays;
  int64_t tod = ((p.hour * 60LL + p.minute) * 60 + p.second) * 1000 + p.millisecond;
  return days * kMsPerDay + tod;
}

DateTimeParts OleMsToParts(int64_t ms) {
  int64_t day = FloorDiv(ms, kMsPerDay);
  int64_t tod = ms - day * kMsPerDay;
  Civil c = CivilFromDays(day + kOleEpochDays);
  if (c.year < 1 || c.year > 9999) BadDateTime();
  DateTimeParts p;
  p.year = static_cast<int>(c.year);
  p.month = c.month;
  p.day = c.day;
  p.hour = static_cast<int>(tod / 3600000);
  p.minute = static_cast<int>(tod / 60000 % 60);
  p.second = static_cast<int>(tod / 1000 % 60);
  p.millisecond = static_cast<int>(tod % 1000);
  return p;
}

void Put(std::string& out, int v, int digits) {
  char buf[8];
  for (int i = digits - 1; i >= 0; --i) {
    buf[i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  out.append(buf, static_cast<size_t>(digits));
}

// Strict reader of the date-time texts.
class Scanner {
 public:
  explicit Scanner(std::string_view s) : s_(s) {}
  bool atEnd() const { return i_ == s_.size(); }
  char peek() const { return atEnd() ? '\0' : s_[i_]; }
  bool accept(char c) {
    if (peek() != c || atEnd()) return false;
    ++i_;
    return true;
  }
  void expect(char c) {
    if (!accept(c)) fail();
  }
  // Exactly n decimal digits.
  int digits(int n) {
    int v = 0;
    for (int k = 0; k < n; ++k) {
      char c = peek();
      if (atEnd() || c < '0' || c > '9') fail();
      v = v * 10 + (c - '0');
      ++i_;
    }
    return v;
  }
  // One or more fraction digits, rounded to milliseconds (0..1000).
  int fractionMs() {
    int ms = 0, n = 0;
    bool roundUp = false;
    while (!atEnd() && peek() >= '0' && peek() <= '9') {
      int d = peek() - '0';
      if (n < 3) {
        ms = ms * 10 + d;
      } else if (n == 3) {
        roundUp = d >= 5;
      }
      ++n;
      ++i_;
    }
    if (n == 0) fail();
    for (int k = n; k < 3; ++k) ms *= 10;
    return ms + (roundUp ? 1 : 0);
  }
  [[noreturn]] void fail() const {
    throw EConvertError("'" + std::string(s_) + "' is not a valid date and time");
  }

 private:
  std::string_view s_;
  size_t i_ = 0;
};

// Reads "YYYY-MM-DD[<sep>hh:mm[:ss[.fff]]][Z|+hh:mm|-hh:mm]"; sep is 'T', or also ' ' when
// allowSpace. A zone turns the value into UTC.
TDateTime ParseDateTime(std::string_view text, bool allowSpace) {
  Scanner sc(text);
  DateTimeParts p;
  p.year = sc.digits(4);
  sc.expect('-');
  p.month = sc.digits(2);
  sc.expect('-');
  p.day = sc.digits(2);
  p.hour = p.minute = p.second = p.millisecond = 0;
  int extraMs = 0;
  int64_t offsetMs = 0;
  if (!sc.atEnd()) {
    if (!sc.accept('T') && !(allowSpace && sc.accept(' '))) sc.fail();
    p.hour = sc.digits(2);
    sc.expect(':');
    p.minute = sc.digits(2);
    if (sc.accept(':')) {
      p.second = sc.digits(2);
      if (sc.accept('.')) extraMs = sc.fractionMs();
    }
    if (sc.accept('Z')) {
    } else if (sc.peek() == '+' || sc.peek() == '-') {
      int sign = sc.peek() == '-' ? -1 : 1;
      sc.accept(sc.peek());
      int oh = sc.digits(2);
      sc.expect(':');
      int om = sc.digits(2);
      if (oh > 23 || om > 59) sc.fail();
      offsetMs = sign * ((oh * 60LL + om) * 60000);
    }
    if (!sc.atEnd()) sc.fail();
  }
  int64_t ms;
  try {
    ms = PartsToOleMs(p);
  } catch (const EConvertError&) {
    sc.fail();
  }
  ms += extraMs - offsetMs;
  // Rounding and the zone offset may not leave the years 1 to 9999.
  static const int64_t kFirst = PartsToOleMs({1, 1, 1, 0, 0, 0, 0});
  static const int64_t kLast = PartsToOleMs({9999, 12, 31, 23, 59, 59, 999});
  if (ms < kFirst || ms > kLast) sc.fail();
  return FromOleMs(ms);
}

}  // namespace

TDateTime EncodeDateTime(const DateTimeParts& p) {
  return FromOleMs(PartsToOleMs(p));
}

DateTimeParts DecodeDateTime(TDateTime d) {
  return OleMsToParts(ToOleMs(d));
}

TDateTime NowUtc() {
  auto now = std::chrono::system_clock::now();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  return UnixMsToDateTime(ms);
}

TDateTime UtcToLocal(TDateTime utc) {
  int64_t ms = DateTimeToUnixMs(utc);
  time_t t = static_cast<time_t>(FloorDiv(ms, 1000));
  struct tm tm {};
  if (!localtime_r(&t, &tm)) return utc;
  return UnixMsToDateTime(ms + static_cast<int64_t>(tm.tm_gmtoff) * 1000);
}

TDateTime LocalToUtc(TDateTime local) {
  int64_t ms = DateTimeToUnixMs(local);
  int64_t secs = FloorDiv(ms, 1000);
  int64_t rest = ms - secs * 1000;
  // Break the local wall-clock time into fields (read as if it were UTC) and let mktime
  // apply the zone rules of that moment.
  time_t t = static_cast<time_t>(secs);
  struct tm tm {};
  if (!gmtime_r(&t, &tm)) return local;
  tm.tm_isdst = -1;
  errno = 0;
  time_t u = mktime(&tm);
  if (u == static_cast<time_t>(-1) && errno != 0) return local;
  return UnixMsToDateTime(static_cast<int64_t>(u) * 1000 + rest);
}

int64_t DateTimeToUnixMs(TDateTime d) {
  return ToOleMs(d) + kOleEpochDays * kMsPerDay;
}

TDateTime UnixMsToDateTime(int64_t ms) {
  // Keep the sum inside 64 bits for counts near the limits.
  constexpr int64_t kShift = -kOleEpochDays * kMsPerDay;
  if (ms > INT64_MAX - kShift) return static_cast<double>(ms) / kMsPerDay + 25569.0;
  return FromOleMs(ms + kShift);
}

std::string DateTimeToIso8601(TDateTime utc) {
  DateTimeParts p = DecodeDateTime(utc);
  std::string s;
  s.reserve(24);
  Put(s, p.year, 4);
  s += '-';
  Put(s, p.month, 2);
  s += '-';
  Put(s, p.day, 2);
  s += 'T';
  Put(s, p.hour, 2);
  s += ':';
  Put(s, p.minute, 2);
  s += ':';
  Put(s, p.second, 2);
  s += '.';
  Put(s, p.millisecond, 3);
  s += 'Z';
  return s;
}

TDateTime Iso8601ToDateTime(std::string_view text) {
  return ParseDateTime(text, false);
}

std::string DateTimeToString(TDateTime d) {
  DateTimeParts p = DecodeDateTime(d);
  std::string s;
  s.reserve(23);
  Put(s, p.year, 4);
  s += '-';
  Put(s, p.month, 2);
  s += '-';
  Put(s, p.day, 2);
  if (p.hour == 0 && p.minute == 0 && p.second == 0 && p.millisecond == 0) return s;
  s += ' ';
  Put(s, p.hour, 2);
  s += ':';
  Put(s, p.minute, 2);
  s += ':';
  Put(s, p.second, 2);
  if (p.millisecond != 0) {
    s += '.';
    Put(s, p.millisecond, 3);
  }
  return s;
}

TDateTime StrToDateTime(std::string_view text) {
  return ParseDateTime(text, true);
}

}  // namespace varo
