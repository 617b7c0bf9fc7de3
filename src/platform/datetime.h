// SPDX-License-Identifier: MPL-2.0
// Date-time as an OLE Automation date: days since 1899-12-30 00:00 as a double, the time of
// day in the fraction. For negative values the fraction is the time of day after the date
// (-1.25 is 1899-12-29 06:00).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace varo {

using TDateTime = double;

// 0100-01-01 00:00, the null date-time.
inline constexpr TDateTime kNullDateTime = -657434.0;
// The conventional largest date-time, 9999-12-31 23:59:59 and a fraction (the value decodes to
// 23:59:59.136; 9999-12-31 23:59:59.999 itself still encodes and decodes).
inline constexpr TDateTime kMaxDateTime = 2958465.99999;

struct DateTimeParts {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  friend bool operator==(const DateTimeParts&, const DateTimeParts&) = default;
};

// Raises EConvertError for parts out of range (year 1..9999).
TDateTime EncodeDateTime(const DateTimeParts& p);
// Rounds to the nearest millisecond.
DateTimeParts DecodeDateTime(TDateTime d);

TDateTime NowUtc();
// Conversion between UTC and the machine's local time zone (TZ rules of that date).
TDateTime UtcToLocal(TDateTime utc);
TDateTime LocalToUtc(TDateTime local);

// Milliseconds since 1970-01-01 00:00 UTC and back.
int64_t DateTimeToUnixMs(TDateTime d);
TDateTime UnixMsToDateTime(int64_t ms);

// "YYYY-MM-DDThh:mm:ss.zzzZ" (the value taken as UTC).
std::string DateTimeToIso8601(TDateTime utc);
// Accepts "YYYY-MM-DD", "YYYY-MM-DDThh:mm[:ss[.fraction]]" with an optional "Z" or "+hh:mm" /
// "-hh:mm" offset; the result is UTC. Raises EConvertError on bad text.
TDateTime Iso8601ToDateTime(std::string_view text);

// Display text "YYYY-MM-DD hh:mm:ss" (".zzz" added when the milliseconds are not 0); a value
// without time of day prints the date only. Independent of the locale.
std::string DateTimeToString(TDateTime d);
// Parses the display text and the ISO 8601 form. Raises EConvertError on bad text.
TDateTime StrToDateTime(std::string_view text);

}  // namespace varo
