// SPDX-License-Identifier: MPL-2.0
// Texts of the OPC UA status codes, for error messages and item error texts.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace varo::ua {

struct StatusCodeEntry {
  uint32_t code;
  const char* text;
};

class Statuscodes {
 public:
  // The text of the code, looked up as a whole 32-bit number; "Unknown error code: " and the
  // unsigned decimal value when the code is not in the table (codes with info bits set and
  // Good itself are not).
  static std::string ToString(uint32_t value);
  // The whole table, sorted by code.
  static std::span<const StatusCodeEntry> Table();
};

}  // namespace varo::ua
