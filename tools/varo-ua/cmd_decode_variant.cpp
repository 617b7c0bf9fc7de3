// SPDX-License-Identifier: MPL-2.0
// varo-ua decode-variant HEX: decodes hex text (spaces allowed) as one variant and prints it.
#include <cstdio>
#include <string>

#include "commands.h"
#include "platform/strings.h"
#include "ua/encoding/binary_codec.h"

namespace {

int DecodeVariant(varo::tool::Args& a) {
  if (a.positional.empty()) throw varo::tool::UsageError{"decode-variant needs HEX"};
  std::string hex;
  for (const std::string& part : a.positional) {
    for (char c : part) {
      if (static_cast<unsigned char>(c) > ' ') hex += c;
    }
  }
  if (hex.size() % 2 != 0) throw varo::EConvertError("odd number of hex digits");
  varo::ByteArray bytes = varo::HexToBytes(hex);
  varo::ua::TuaBinaryDecoder dec{varo::ByteSpan(bytes)};
  std::unique_ptr<varo::ua::uaVariant> v;
  dec.Read(v, "Value");
  if (!dec.AtEnd()) {
    throw varo::ua::EuaDecodeError(varo::Format("%zu trailing bytes after the variant", dec.Remaining()));
  }
  std::printf("%s\n", v ? v->ToString().c_str() : "");
  return 0;
}

varo::tool::VaroCommand cmd{"decode-variant", "decode-variant HEX", "decodes a binary variant and prints it",
                            DecodeVariant};

}  // namespace
