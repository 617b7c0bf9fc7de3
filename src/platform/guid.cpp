// SPDX-License-Identifier: MPL-2.0
#include "platform/guid.h"

#include "platform/error.h"
#include "platform/random.h"

namespace varo {

namespace {

constexpr char kDigits[] = "0123456789ABCDEF";

void PutHex(std::string& out, uint64_t v, int digits) {
  for (int i = digits - 1; i >= 0; --i) out += kDigits[(v >> (4 * i)) & 15];
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string GUIDToString(const TGUID& g) {
  std::string s;
  s.reserve(38);
  s += '{';
  PutHex(s, g.Data1, 8);
  s += '-';
  PutHex(s, g.Data2, 4);
  s += '-';
  PutHex(s, g.Data3, 4);
  s += '-';
  PutHex(s, g.Data4[0], 2);
  PutHex(s, g.Data4[1], 2);
  s += '-';
  for (size_t i = 2; i < 8; ++i) PutHex(s, g.Data4[i], 2);
  s += '}';
  return s;
}

TGUID StringToGUID(std::string_view s) {
  auto fail = [&]() -> TGUID { throw EConvertError("'" + std::string(s) + "' is not a valid GUID value"); };
  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}: 38 characters.
  if (s.size() != 38 || s[0] != '{' || s[37] != '}' || s[9] != '-' || s[14] != '-' || s[19] != '-' ||
      s[24] != '-') {
    return fail();
  }
  uint8_t bytes[16];
  size_t n = 0;
  int hi = -1;
  for (size_t i = 1; i < 37; ++i) {
    if (i == 9 || i == 14 || i == 19 || i == 24) continue;
    int d = HexValue(s[i]);
    if (d < 0) return fail();
    if (hi < 0) {
      hi = d;
    } else {
      bytes[n++] = static_cast<uint8_t>(hi * 16 + d);
      hi = -1;
    }
  }
  TGUID g;
  g.Data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
  g.Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  g.Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  for (size_t i = 0; i < 8; ++i) g.Data4[i] = bytes[8 + i];
  return g;
}

TGUID NewGUID() {
  uint8_t r[16];
  SecureRandom(r, sizeof r);
  TGUID g;
  g.Data1 = (uint32_t{r[0]} << 24) | (uint32_t{r[1]} << 16) | (uint32_t{r[2]} << 8) | r[3];
  g.Data2 = static_cast<uint16_t>((r[4] << 8) | r[5]);
  // Version 4 (random) in the top nibble of Data3, the RFC 4122 variant in Data4[0].
  g.Data3 = static_cast<uint16_t>((((r[6] << 8) | r[7]) & 0x0FFF) | 0x4000);
  for (size_t i = 0; i < 8; ++i) g.Data4[i] = r[8 + i];
  g.Data4[0] = static_cast<uint8_t>((g.Data4[0] & 0x3F) | 0x80);
  return g;
}

}  // namespace varo
