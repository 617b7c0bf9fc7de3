// SPDX-License-Identifier: MPL-2.0
#include "support/test_support.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace varo::test {

std::string SourcePath(std::string_view relative) {
  return std::string(VARO_SOURCE_DIR) + "/" + std::string(relative);
}

std::string ReadTextFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

static int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

ByteArray Hex(std::string_view hex) {
  ByteArray out;
  int hi = -1;
  for (char c : hex) {
    if (c == ' ' || c == '\n' || c == '\t' || c == '\r') continue;
    int d = HexDigit(c);
    if (d < 0) throw std::runtime_error("bad hex digit in test data");
    if (hi < 0) {
      hi = d;
    } else {
      out.push_back(static_cast<uint8_t>(hi * 16 + d));
      hi = -1;
    }
  }
  if (hi >= 0) throw std::runtime_error("odd number of hex digits in test data");
  return out;
}

std::string ToHex(ByteSpan bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i) s += ' ';
    s += digits[bytes[i] >> 4];
    s += digits[bytes[i] & 15];
  }
  return s;
}

std::vector<GoldenCase> LoadGoldenCases(std::string_view relative) {
  const std::string text = ReadTextFile(SourcePath(relative));
  std::vector<GoldenCase> out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const size_t sp = line.find(' ');
    if (sp == std::string::npos) throw std::runtime_error("bad fixture line: " + line);
    out.push_back({line.substr(0, sp), Hex(line.substr(sp + 1))});
  }
  return out;
}

}  // namespace varo::test
