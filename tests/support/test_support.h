// SPDX-License-Identifier: MPL-2.0
// Helpers shared by the test binaries.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.h"

namespace varo::test {

// Absolute path of a file in the source tree, from a path relative to its root.
std::string SourcePath(std::string_view relative);
// Reads a whole file; raises std::runtime_error when it cannot be read.
std::string ReadTextFile(const std::string& path);
// Bytes from hex text; white space between pairs is ignored ("86 02 00" or "860200").
ByteArray Hex(std::string_view hex);
// Upper-case hex with a space between bytes, for readable test failures.
std::string ToHex(ByteSpan bytes);

// One case of a golden fixture file: lines "name hex", '#' lines and blank lines skipped.
struct GoldenCase {
  std::string name;
  ByteArray bytes;
};
// Reads a golden fixture from a path relative to the source tree; a malformed line raises.
std::vector<GoldenCase> LoadGoldenCases(std::string_view relative);

}  // namespace varo::test
