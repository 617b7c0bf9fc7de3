// SPDX-License-Identifier: MPL-2.0
// Decodes arbitrary bytes as one built-in type (the first byte selects it: the built-in type
// id 1..25, 0 for a message id, 26.. for arrays) and re-encodes what decoded. The re-encoding
// must decode again and never grows when encoded once more.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"
#include "ua/encoding/binary_codec.h"
#include "ua/encoding/builtin_types.h"

namespace {

using namespace varo::ua;
using varo::ByteArray;
using varo::ByteSpan;

struct DateTimeValue {
  varo::TDateTime d = 0;
};

template <class T>
void Put(TuaBinaryEncoder& e, const T& v) {
  e.Write(v, "");
}
template <class X>
void Put(TuaBinaryEncoder& e, const std::unique_ptr<X>& v) {
  e.Write(static_cast<const X*>(v.get()), "");
}
void Put(TuaBinaryEncoder& e, const DateTimeValue& v) {
  e.WriteDateTime(v.d, "");
}

template <class T>
void Get(TuaBinaryDecoder& d, T& v) {
  d.Read(v, "");
}
void Get(TuaBinaryDecoder& d, DateTimeValue& v) {
  d.ReadDateTime(v.d, "");
}

template <class T>
ByteArray Encode(const T& v) {
  TuaBinaryEncoder e;
  Put(e, v);
  return e.TakeBytes();
}

// Decodes one T; when that succeeds, our encoding of it must decode again, consuming every
// byte, and re-encoding must never grow. (It need not be a fixed point: an empty object
// collapses to "no object" once encoded, an empty localized text inside a variant to no
// variant, and a chain of nested empty diagnostic infos loses one level per round.)
template <class T>
ByteArray Again(const ByteArray& bytes) {
  T value{};
  TuaBinaryDecoder d(bytes);
  Get(d, value);  // raises (and so aborts the run) when our own encoding does not decode
  if (!d.AtEnd()) std::abort();
  return Encode(value);
}

template <class T>
void RoundTrip(ByteSpan in) {
  T first{};
  try {
    TuaBinaryDecoder d(in);
    Get(d, first);
  } catch (const varo::EVaroError&) {
    return;  // rejected input
  }
  const ByteArray once = Encode(first);
  const ByteArray twice = Again<T>(once);
  const ByteArray thrice = Again<T>(twice);
  if (twice.size() > once.size() || thrice.size() > twice.size()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const ByteSpan in(data + 1, size - 1);
  switch (data[0] % 34) {
    case 0: {
      try {
        TuaBinaryDecoder d(in);
        uint32_t id = 0;
        d.ReadMessageId(id, "");
      } catch (const varo::EVaroError&) {
      }
      break;
    }
    case bit_Boolean:
      RoundTrip<bool>(in);
      break;
    case bit_SByte:
      RoundTrip<int8_t>(in);
      break;
    case bit_Byte:
      RoundTrip<uint8_t>(in);
      break;
    case bit_Int16:
      RoundTrip<int16_t>(in);
      break;
    case bit_UInt16:
      RoundTrip<uint16_t>(in);
      break;
    case bit_Int32:
      RoundTrip<int32_t>(in);
      break;
    case bit_UInt32:
      RoundTrip<uint32_t>(in);
      break;
    case bit_Int64:
      RoundTrip<int64_t>(in);
      break;
    case bit_UInt64:
      RoundTrip<uint64_t>(in);
      break;
    case bit_Float:
      RoundTrip<float>(in);
      break;
    case bit_Double:
      RoundTrip<double>(in);
      break;
    case bit_String:
      RoundTrip<std::string>(in);
      break;
    case bit_DateTime:
      RoundTrip<DateTimeValue>(in);
      break;
    case bit_Guid:
      RoundTrip<varo::TGUID>(in);
      break;
    case bit_ByteString:
      RoundTrip<ByteArray>(in);
      break;
    case bit_XmlElement:
      RoundTrip<std::string>(in);
      break;
    case bit_NodeId:
      RoundTrip<std::unique_ptr<uaNodeId>>(in);
      break;
    case bit_ExpandedNodeId:
      RoundTrip<std::unique_ptr<uaExpandedNodeId>>(in);
      break;
    case bit_StatusCode:
      RoundTrip<uint32_t>(in);
      break;
    case bit_QualifiedName:
      RoundTrip<std::unique_ptr<uaQualifiedName>>(in);
      break;
    case bit_LocalizedText:
      RoundTrip<std::unique_ptr<uaLocalizedText>>(in);
      break;
    case bit_ExtensionObject:
      RoundTrip<std::unique_ptr<uaExtensionObject>>(in);
      break;
    case bit_DataValue:
      RoundTrip<std::unique_ptr<uaDataValue>>(in);
      break;
    case bit_Variant:
      RoundTrip<std::unique_ptr<uaVariant>>(in);
      break;
    case bit_DiagnosticInfo:
      RoundTrip<std::unique_ptr<uaDiagnosticInfo>>(in);
      break;
    case 26:
      RoundTrip<std::vector<std::unique_ptr<uaVariant>>>(in);
      break;
    case 27:
      RoundTrip<std::vector<std::unique_ptr<uaDataValue>>>(in);
      break;
    case 28:
      RoundTrip<std::vector<std::string>>(in);
      break;
    case 29:
      RoundTrip<std::vector<ByteArray>>(in);
      break;
    case 30:
      RoundTrip<std::vector<std::unique_ptr<uaNodeId>>>(in);
      break;
    case 31:
      RoundTrip<std::vector<std::unique_ptr<uaExtensionObject>>>(in);
      break;
    case 32:
      RoundTrip<std::vector<std::unique_ptr<uaDiagnosticInfo>>>(in);
      break;
    case 33:
      RoundTrip<std::vector<bool>>(in);
      break;
  }
  return 0;
}
