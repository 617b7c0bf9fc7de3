// SPDX-License-Identifier: MPL-2.0
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace varo {

struct TGUID {
  uint32_t Data1 = 0;
  uint16_t Data2 = 0;
  uint16_t Data3 = 0;
  std::array<uint8_t, 8> Data4{};

  bool isNull() const { return *this == TGUID{}; }
  friend bool operator==(const TGUID&, const TGUID&) = default;
};

// Registry form with braces and upper-case hex: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}.
std::string GUIDToString(const TGUID& g);
// Parses the registry form (braces required, hex of either case). Raises EConvertError
// "'<text>' is not a valid GUID value" on bad input.
TGUID StringToGUID(std::string_view s);
// A random (version 4) GUID from the OS random source.
TGUID NewGUID();

}  // namespace varo
