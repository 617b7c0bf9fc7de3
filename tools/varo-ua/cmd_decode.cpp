// SPDX-License-Identifier: MPL-2.0
// varo-ua decode [--roundtrip] FILE|-: decodes one service message (encoding node id, then the
// body) from a file or standard input, given as raw bytes or as hex text, and prints its text
// form. With --roundtrip it encodes the message again and compares the bytes.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "commands.h"
#include "platform/error.h"
#include "platform/strings.h"
#include "ua/encoding/service_types.h"

namespace {

using varo::tool::Args;

// Input beyond this size is refused rather than read on.
constexpr size_t kMaxInput = 64u << 20;

std::string ReadAll(std::istream& in, const std::string& name) {
  std::string data;
  char buf[65536];
  while (in) {
    in.read(buf, sizeof buf);
    data.append(buf, static_cast<size_t>(in.gcount()));
    if (data.size() > kMaxInput) {
      throw varo::EVaroError(varo::Format("%s: input larger than %zu bytes", name.c_str(), kMaxInput));
    }
  }
  if (in.bad()) throw varo::EVaroError(name + ": read error");
  return data;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}
bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Hex text is only hex digits and white space (and at least one digit); anything else is raw.
bool IsHexText(const std::string& data) {
  bool digit = false;
  for (char c : data) {
    if (IsHexDigit(c)) {
      digit = true;
    } else if (!IsSpace(c)) {
      return false;
    }
  }
  return digit;
}

varo::ByteArray HexTextToBytes(const std::string& data) {
  std::string digits;
  for (char c : data) {
    if (!IsSpace(c)) digits += c;
  }
  if (digits.size() % 2 != 0) throw varo::EVaroError("hex input has an odd number of digits");
  return varo::HexToBytes(digits);
}

int RunDecode(Args& a) {
  bool roundtrip = false;
  std::string file;
  for (const auto& p : a.positional) {
    if (p == "--roundtrip") {
      roundtrip = true;
    } else if (file.empty()) {
      file = p;
    } else {
      throw varo::tool::UsageError{"decode takes one FILE or -"};
    }
  }
  if (file.empty()) throw varo::tool::UsageError{"decode needs a FILE or - for standard input"};

  std::string data;
  if (file == "-") {
    data = ReadAll(std::cin, "stdin");
  } else {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw varo::EVaroError("cannot open " + file);
    data = ReadAll(in, file);
  }
  if (data.empty()) throw varo::EVaroError("no input");
  varo::ByteArray bytes = IsHexText(data) ? HexTextToBytes(data) : varo::ByteArray(data.begin(), data.end());

  auto msg = varo::ua::DecodeServiceMessage(bytes);
  const auto* info = varo::ua::FindServiceType(msg->ObjNo);
  std::printf("%s (%d), %zu bytes\n", info ? info->name : "?", msg->ObjNo, bytes.size());
  std::fputs(msg->ToString().c_str(), stdout);
  if (!roundtrip) return 0;

  varo::ByteArray again = varo::ua::EncodeServiceMessage(*msg);
  if (again == bytes) {
    std::printf("roundtrip: identical (%zu bytes)\n", again.size());
    return 0;
  }
  size_t at = 0;
  while (at < again.size() && at < bytes.size() && again[at] == bytes[at]) ++at;
  std::printf("roundtrip: differs at byte %zu (%zu bytes read, %zu bytes written)\n", at, bytes.size(),
              again.size());
  return 1;
}

varo::tool::VaroCommand cmd{"decode", "decode [--roundtrip] FILE|-",
                            "decodes a service message (raw or hex) and prints it", RunDecode};

}  // namespace
