// SPDX-License-Identifier: MPL-2.0
// Decodes arbitrary bytes as one service message. The first two bytes (little-endian) pick
// the encoding id: a known id is used as it is, any other selects a type of the table by its
// remainder. The rest is the body. Only the codec's and the platform's errors may escape the
// decoder; a decoded message must print, and what it encodes to must decode again. (The bytes
// need not be identical: an object whose parts are all absent, such as an empty inner
// diagnostic info, is written in the short form that reads back as absent.)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "platform/error.h"
#include "ua/encoding/binary_codec.h"
#include "ua/encoding/service_types.h"

using namespace varo;
using namespace varo::ua;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const auto& table = ServiceTypeTable();
  int32_t id = data[0] | (data[1] << 8);
  const ServiceTypeInfo* info = FindServiceType(id);
  if (info == nullptr) info = &table[static_cast<size_t>(id) % table.size()];
  std::unique_ptr<TuaObj> obj = info->create();
  try {
    TuaBinaryDecoder decoder(ByteSpan(data + 2, size - 2));
    decoder.Read(*obj, "Body");
  } catch (const EVaroError&) {
    return 0;
  }
  (void)obj->ToString();
  ByteArray first = EncodeServiceMessage(*obj);
  std::unique_ptr<TuaObj> again = DecodeServiceMessage(first);
  if (again->ObjNo != obj->ObjNo) std::abort();
  (void)EncodeServiceMessage(*again);
  return 0;
}
