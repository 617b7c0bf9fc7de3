// SPDX-License-Identifier: MPL-2.0
#include "platform/strings.h"

#include <locale.h>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "platform/error.h"

namespace varo {

namespace {

char AsciiUpper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}
char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
bool IsBlank(char c) {
  return static_cast<unsigned char>(c) <= 32;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

[[noreturn]] void InvalidInteger(std::string_view s) {
  throw EConvertError("'" + std::string(s) + "' is not a valid integer value");
}
[[noreturn]] void InvalidFloat(std::string_view s) {
  throw EConvertError("'" + std::string(s) + "' is not a valid floating point value");
}

// Drops one leading '+' when a digit follows; from_chars itself accepts only '-'.
std::string_view SkipPlus(std::string_view s) {
  if (s.size() >= 2 && s[0] == '+' && s[1] != '-' && s[1] != '+') return s.substr(1);
  return s;
}

template <typename T>
std::optional<T> ParseInteger(std::string_view s) {
  std::string_view t = SkipPlus(s);
  if (t.empty()) return std::nullopt;
  T v{};
  auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v, 10);
  if (ec != std::errc() || p != t.data() + t.size()) return std::nullopt;
  return v;
}

// The C locale, for the rare second look at a floating text that was out of range.
locale_t CLocale() {
  static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return loc;
}

}  // namespace

std::string_view TrimLeft(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && IsBlank(s[i])) ++i;
  return s.substr(i);
}

std::string_view TrimRight(std::string_view s) {
  size_t n = s.size();
  while (n > 0 && IsBlank(s[n - 1])) --n;
  return s.substr(0, n);
}

std::string_view Trim(std::string_view s) {
  return TrimRight(TrimLeft(s));
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.starts_with(prefix);
}
bool EndsWith(std::string_view s, std::string_view suffix) {
  return s.ends_with(suffix);
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

bool StartsWithText(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && SameText(s.substr(0, prefix.size()), prefix);
}

std::string ToUpperAscii(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = AsciiUpper(c);
  return r;
}

std::string ToLowerAscii(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = AsciiLower(c);
  return r;
}

std::vector<std::string> Split(std::string_view s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t pos = s.find(sep, start);
    if (pos == std::string_view::npos) {
      parts.emplace_back(s.substr(start));
      break;
    }
    parts.emplace_back(s.substr(start, pos - start));
    start = pos + 1;
  }
  return parts;
}

std::string Join(const std::vector<std::string>& parts, std::string_view sep) {
  std::string r;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) r += sep;
    r += parts[i];
  }
  return r;
}

std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(s);
  std::string r;
  size_t start = 0;
  for (;;) {
    size_t pos = s.find(from, start);
    if (pos == std::string_view::npos) break;
    r.append(s.substr(start, pos - start));
    r.append(to);
    start = pos + from.size();
  }
  r.append(s.substr(start));
  return r;
}

std::string Format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string r;
  if (n > 0) {
    r.resize(static_cast<size_t>(n));
    std::vsnprintf(r.data(), r.size() + 1, fmt, args);
  }
  va_end(args);
  return r;
}

std::string IntToStr(int64_t v) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

std::string UIntToStr(uint64_t v) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

std::string FloatToStr(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

std::string SingleToStr(float v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

std::optional<int64_t> TryStrToInt64(std::string_view s) {
  return ParseInteger<int64_t>(s);
}
std::optional<uint64_t> TryStrToUInt64(std::string_view s) {
  return ParseInteger<uint64_t>(s);
}

int64_t StrToInt64(std::string_view s) {
  auto v = TryStrToInt64(s);
  if (!v) InvalidInteger(s);
  return *v;
}

uint64_t StrToUInt64(std::string_view s) {
  auto v = TryStrToUInt64(s);
  if (!v) InvalidInteger(s);
  return *v;
}

int32_t StrToInt(std::string_view s) {
  auto v = TryStrToInt64(s);
  if (!v || *v < std::numeric_limits<int32_t>::min() || *v > std::numeric_limits<int32_t>::max()) {
    InvalidInteger(s);
  }
  return static_cast<int32_t>(*v);
}

std::optional<double> TryStrToFloat(std::string_view s) {
  std::string_view t = SkipPlus(s);
  if (t.empty()) return std::nullopt;
  // from_chars would read "infinity" and "nan(...)" too; only the forms FloatToStr writes
  // are taken as specials.
  if (t == "NaN" || t == "nan" || t == "NAN") return std::numeric_limits<double>::quiet_NaN();
  if (SameText(t, "INF")) return std::numeric_limits<double>::infinity();
  if (SameText(t, "-INF")) return -std::numeric_limits<double>::infinity();
  char c0 = t[0] == '-' && t.size() > 1 ? t[1] : t[0];
  if (!((c0 >= '0' && c0 <= '9') || c0 == '.')) return std::nullopt;
  double v = 0;
  auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), v, std::chars_format::general);
  if (p != t.data() + t.size()) return std::nullopt;
  if (ec == std::errc()) return v;
  if (ec != std::errc::result_out_of_range) return std::nullopt;
  // Out of range: an overflow is an error, an underflow reads as the nearest tiny value or 0.
  locale_t loc = CLocale();
  if (loc == static_cast<locale_t>(nullptr)) return std::nullopt;
  std::string copy(t);
  double w = strtod_l(copy.c_str(), nullptr, loc);
  if (std::isinf(w)) return std::nullopt;
  return w;
}

double StrToFloat(std::string_view s) {
  auto v = TryStrToFloat(s);
  if (!v) InvalidFloat(s);
  return *v;
}

std::string BytesToHex(ByteSpan bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string r;
  r.resize(bytes.size() * 2);
  for (size_t i = 0; i < bytes.size(); ++i) {
    r[2 * i] = kDigits[bytes[i] >> 4];
    r[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  return r;
}

ByteArray HexToBytes(std::string_view hex) {
  ByteArray r;
  r.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); ++i) {
    int d = HexValue(hex[i]);
    if (d < 0) throw EConvertError("'" + std::string(hex) + "' is not a valid hexadecimal value");
    if (i % 2 == 1) r.push_back(static_cast<uint8_t>(HexValue(hex[i - 1]) * 16 + d));
  }
  return r;
}

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 with *bad set to the length of the maximal
// invalid subpart (at least 1) that is replaced as one unit.
size_t Utf8SequenceAt(std::string_view s, size_t i, size_t* bad) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned c = b(i);
  if (c < 0x80) return 1;
  size_t need;
  unsigned lo = 0x80, hi = 0xBF;  // range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    need = 1;
  } else if (c == 0xE0) {
    need = 2, lo = 0xA0;
  } else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF) {
    need = 2;
  } else if (c == 0xED) {
    need = 2, hi = 0x9F;  // no surrogates
  } else if (c == 0xF0) {
    need = 3, lo = 0x90;  // no overlongs
  } else if (c >= 0xF1 && c <= 0xF3) {
    need = 3;
  } else if (c == 0xF4) {
    need = 3, hi = 0x8F;  // nothing above U+10FFFF
  } else {
    *bad = 1;
    return 0;
  }
  size_t k = 1;
  for (; k <= need; ++k) {
    if (i + k >= s.size()) break;
    unsigned x = b(i + k);
    unsigned l = k == 1 ? lo : 0x80, h = k == 1 ? hi : 0xBF;
    if (x < l || x > h) break;
  }
  if (k == need + 1) return need + 1;
  *bad = k;
  return 0;
}

}  // namespace

bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    size_t bad = 0;
    size_t n = Utf8SequenceAt(s, i, &bad);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string SanitizeUtf8(std::string_view s) {
  std::string r;
  r.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    size_t bad = 0;
    size_t n = Utf8SequenceAt(s, i, &bad);
    if (n) {
      r.append(s.substr(i, n));
      i += n;
    } else {
      r.append("\xEF\xBF\xBD");
      i += bad;
    }
  }
  return r;
}

}  // namespace varo
