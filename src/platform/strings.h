// SPDX-License-Identifier: MPL-2.0
// String helpers. Numbers are formatted and parsed independently of the C locale, so a
// decimal comma never reaches the wire or a file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.h"

namespace varo {

// Removes characters with codes up to 32 at both ends.
std::string_view Trim(std::string_view s);
std::string_view TrimLeft(std::string_view s);
std::string_view TrimRight(std::string_view s);
bool StartsWith(std::string_view s, std::string_view prefix);
bool EndsWith(std::string_view s, std::string_view suffix);
// ASCII case-insensitive comparison.
bool SameText(std::string_view a, std::string_view b);
bool StartsWithText(std::string_view s, std::string_view prefix);
std::string ToUpperAscii(std::string_view s);
std::string ToLowerAscii(std::string_view s);
std::vector<std::string> Split(std::string_view s, char sep);
std::string Join(const std::vector<std::string>& parts, std::string_view sep);
std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to);

// printf-style formatting for %d %u %x %s %c and friends. Never use it for floating point:
// use FloatToStr, which ignores the locale.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

std::string IntToStr(int64_t v);
std::string UIntToStr(uint64_t v);
// Shortest text that reads back to the same double; "NaN", "INF", "-INF" for the specials.
std::string FloatToStr(double v);
// Shortest text that reads back to the same float.
std::string SingleToStr(float v);

// Parsers take the whole (untrimmed) text and raise EConvertError with the text
// "'<text>' is not a valid integer value" / "... floating point value" on failure or overflow.
int64_t StrToInt64(std::string_view s);
uint64_t StrToUInt64(std::string_view s);
int32_t StrToInt(std::string_view s);
double StrToFloat(std::string_view s);
std::optional<int64_t> TryStrToInt64(std::string_view s);
std::optional<uint64_t> TryStrToUInt64(std::string_view s);
std::optional<double> TryStrToFloat(std::string_view s);

// Two upper-case hex digits per byte, no separator.
std::string BytesToHex(ByteSpan bytes);
// Pairs of hex digits of either case; a trailing odd digit is ignored. Raises EConvertError
// on a character that is not a hex digit.
ByteArray HexToBytes(std::string_view hex);

// UTF-8 helpers. Text from the network keeps its bytes; only its display form is sanitised.
bool IsValidUtf8(std::string_view s);
// Replaces every invalid sequence by U+FFFD (EF BF BD).
std::string SanitizeUtf8(std::string_view s);

}  // namespace varo
