// SPDX-License-Identifier: MPL-2.0
#include "ua/encoding/binary_codec.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "platform/strings.h"

namespace varo::ua {

// ---------------------------------------------------------------------------------------
// DateTime ticks

namespace {
constexpr double kTicksPerDay = 8.64e11;
constexpr int64_t kTicks1899 = 94353120000000000LL;  // 109205 days from 1601-01-01 to 1899-12-30
constexpr int64_t kMaxTicks = 0x7FFFFFFFFFFFFFFFLL;
}  // namespace

int64_t DateTimeToUaTicks(TDateTime d) {
  if (std::isnan(d)) return 0;
  if (d >= varo::kMaxDateTime) return kMaxTicks;
  double linear = d;
  if (d < 0) {
    double t = std::trunc(d);
    linear = t + std::fabs(d - t);
  }
  double ticks = std::trunc(linear * kTicksPerDay) + static_cast<double>(kTicks1899);
  if (ticks <= 0) return 0;
  return static_cast<int64_t>(ticks);
}

TDateTime UaTicksToDateTime(int64_t ticks) {
  if (ticks <= 0) return varo::kNullDateTime;
  if (ticks == kMaxTicks) return varo::kMaxDateTime;
  double linear = static_cast<double>(ticks - kTicks1899) / kTicksPerDay;
  // Ticks past the end of year 9999 have no date-time; they read as the largest one, which
  // is also what such a date encodes to.
  if (linear >= 2958466.0) return varo::kMaxDateTime;
  if (linear < 0) {
    double f = std::floor(linear);
    return f - (linear - f);
  }
  return linear;
}

// ---------------------------------------------------------------------------------------
// Encoder

namespace {
constexpr double kMin1601 = -109205.0;  // 1601-01-01 as a date-time

[[noreturn]] void EncodeFail(const std::string& detail) {
  throw EuaEncodeError(detail);
}
}  // namespace

void TuaBinaryEncoder::count(size_t n, bool emptyAsMinusOne) {
  if (fContext.maxArrayLength != 0 && n > fContext.maxArrayLength) {
    EncodeFail(varo::Format("array length %zu exceeds the limit %u", n, fContext.maxArrayLength));
  }
  if (n > static_cast<size_t>(std::numeric_limits<int32_t>::max())) EncodeFail("array too long");
  raw<int32_t>(n == 0 && emptyAsMinusOne ? -1 : static_cast<int32_t>(n));
}

void TuaBinaryEncoder::str(std::string_view s) {
  if (s.empty()) {
    raw<int32_t>(-1);
    return;
  }
  if (fContext.maxStringLength != 0 && s.size() > fContext.maxStringLength) {
    EncodeFail(varo::Format("string length %zu exceeds the limit %u", s.size(), fContext.maxStringLength));
  }
  if (s.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) EncodeFail("string too long");
  raw<int32_t>(static_cast<int32_t>(s.size()));
  fBuf->write(s.data(), s.size());
}

void TuaBinaryEncoder::bytes(varo::ByteSpan b) {
  if (b.empty()) {
    raw<int32_t>(-1);
    return;
  }
  if (fContext.maxByteStringLength != 0 && b.size() > fContext.maxByteStringLength) {
    EncodeFail(
        varo::Format("byte string length %zu exceeds the limit %u", b.size(), fContext.maxByteStringLength));
  }
  if (b.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) EncodeFail("byte string too long");
  raw<int32_t>(static_cast<int32_t>(b.size()));
  fBuf->write(b);
}

void TuaBinaryEncoder::guid(const TGUID& g) {
  raw<uint32_t>(g.Data1);
  raw<uint16_t>(g.Data2);
  raw<uint16_t>(g.Data3);
  fBuf->write(g.Data4.data(), g.Data4.size());
}

void TuaBinaryEncoder::nodeId(const uaNodeId* n, uint8_t flags) {
  if (!n) {
    raw<uint8_t>(flags);
    raw<uint8_t>(0);
    return;
  }
  uint16_t ns = n->NamespaceIndex();
  const auto& id = n->Value();
  switch (n->IdentifierType()) {
    case itNumeric: {
      uint32_t v = std::get<uint32_t>(id);
      if (v <= 255 && ns == 0) {
        raw<uint8_t>(0x00 | flags);
        raw<uint8_t>(static_cast<uint8_t>(v));
      } else if (v <= 65535 && ns <= 255) {
        raw<uint8_t>(0x01 | flags);
        raw<uint8_t>(static_cast<uint8_t>(ns));
        raw<uint16_t>(static_cast<uint16_t>(v));
      } else {
        raw<uint8_t>(0x02 | flags);
        raw<uint16_t>(ns);
        raw<uint32_t>(v);
      }
      break;
    }
    case itString:
      raw<uint8_t>(0x03 | flags);
      raw<uint16_t>(ns);
      str(std::get<std::string>(id));
      break;
    case itGuid:
      raw<uint8_t>(0x04 | flags);
      raw<uint16_t>(ns);
      guid(std::get<TGUID>(id));
      break;
    case itOpaque:
      raw<uint8_t>(0x05 | flags);
      raw<uint16_t>(ns);
      bytes(std::get<ByteArray>(id));
      break;
  }
}

void TuaBinaryEncoder::expandedNodeId(const uaExpandedNodeId* n) {
  if (!n) {
    nodeId(nullptr, 0);
    return;
  }
  uint8_t flags = (n->NamespaceUri.empty() ? 0 : 0x80) | (n->ServerIndex == 0 ? 0 : 0x40);
  nodeId(&n->NodeId, flags);
  if (flags & 0x80) str(n->NamespaceUri);
  if (flags & 0x40) raw<uint32_t>(n->ServerIndex);
}

void TuaBinaryEncoder::qualifiedName(const uaQualifiedName* q) {
  if (!q) {
    raw<uint16_t>(0);
    raw<int32_t>(-1);
    return;
  }
  raw<uint16_t>(q->NamespaceIndex);
  str(q->Name);
}

void TuaBinaryEncoder::localizedText(const uaLocalizedText* t) {
  if (!t) {
    raw<uint8_t>(0);
    return;
  }
  uint8_t mask = (t->Locale.empty() ? 0 : 0x01) | (t->Text.empty() ? 0 : 0x02);
  raw<uint8_t>(mask);
  if (mask & 0x01) str(t->Locale);
  if (mask & 0x02) str(t->Text);
}

void TuaBinaryEncoder::structure(const TuaObj* o) {
  if (!o) EncodeFail("nil");
  o->Encode(*this);
}

void TuaBinaryEncoder::extensionObject(const uaExtensionObject* e) {
  if (!e) {
    nodeId(nullptr, 0);
    raw<uint8_t>(0);
    return;
  }
  switch (e->Encoding) {
    case uaExtensionObject::eo_None:
      expandedNodeId(e->TypeId.get());
      raw<uint8_t>(0);
      break;
    case uaExtensionObject::eo_BinaryBody:
      expandedNodeId(e->TypeId.get());
      raw<uint8_t>(1);
      bytes(e->BinaryBody);
      break;
    case uaExtensionObject::eo_XmlBody:
      expandedNodeId(e->TypeId.get());
      raw<uint8_t>(2);
      str(e->XmlBody);
      break;
    case uaExtensionObject::eo_EncodeableObject: {
      if (!e->Object) EncodeFail("nil");
      uaNodeId id(static_cast<uint32_t>(e->Object->ObjNo), e->Object->NamespaceIndex);
      nodeId(&id, 0);
      raw<uint8_t>(1);
      size_t lengthAt = fBuf->position();
      raw<int32_t>(-1);
      e->Object->Encode(*this);
      size_t end = fBuf->position();
      size_t length = end - lengthAt - 4;
      if (length > static_cast<size_t>(std::numeric_limits<int32_t>::max())) EncodeFail("body too long");
      fBuf->patchU32(lengthAt, static_cast<uint32_t>(length));
      break;
    }
    default:
      EncodeFail("invalid extension object encoding");
  }
}

void TuaBinaryEncoder::dataValue(const uaDataValue* d) {
  if (!d) {
    raw<uint8_t>(0);
    return;
  }
  bool src = d->SourceTimestamp != varo::kNullDateTime && d->SourceTimestamp >= kMin1601;
  bool srv = d->ServerTimestamp >= kMin1601;
  uint8_t mask = (d->Value ? 0x01 : 0) | (d->StatusCode != 0 ? 0x02 : 0) | (src ? 0x04 : 0) |
                 (d->SourcePicoSeconds != 0 ? 0x10 : 0) | (srv ? 0x08 : 0) |
                 (d->ServerPicoSeconds != 0 ? 0x20 : 0);
  raw<uint8_t>(mask);
  if (mask & 0x01) variant(d->Value.get());
  if (mask & 0x02) raw<uint32_t>(d->StatusCode);
  if (mask & 0x04) raw<int64_t>(DateTimeToUaTicks(d->SourceTimestamp));
  if (mask & 0x10) raw<uint16_t>(d->SourcePicoSeconds);
  if (mask & 0x08) raw<int64_t>(DateTimeToUaTicks(d->ServerTimestamp));
  if (mask & 0x20) raw<uint16_t>(d->ServerPicoSeconds);
}

void TuaBinaryEncoder::diagnosticInfo(const uaDiagnosticInfo* d) {
  if (!d) {
    raw<uint8_t>(0);
    return;
  }
  for (; d; d = d->InnerDiagnosticInfo.get()) {
    uint8_t mask = (d->SymbolicId >= 0 ? 0x01 : 0) | (d->NamespaceUri >= 0 ? 0x02 : 0) |
                   (d->Locale >= 0 ? 0x08 : 0) | (d->LocalizedText >= 0 ? 0x04 : 0) |
                   (d->AdditionalInfo.empty() ? 0 : 0x10) | (d->InnerStatusCode != 0 ? 0x20 : 0) |
                   (d->InnerDiagnosticInfo ? 0x40 : 0);
    raw<uint8_t>(mask);
    if (mask & 0x01) raw<int32_t>(d->SymbolicId);
    if (mask & 0x02) raw<int32_t>(d->NamespaceUri);
    if (mask & 0x08) raw<int32_t>(d->Locale);
    if (mask & 0x04) raw<int32_t>(d->LocalizedText);
    if (mask & 0x10) str(d->AdditionalInfo);
    if (mask & 0x20) raw<uint32_t>(d->InnerStatusCode);
  }
}

namespace {
template <class T>
struct IsVec : std::false_type {};
template <class T>
struct IsVec<std::vector<T>> : std::true_type {};
}  // namespace

void TuaBinaryEncoder::variantBody(const uaVariant& v) {
  const uaBuildInType t = v.BuildInType();
  auto one = [&](const auto& e) {
    using E = std::decay_t<decltype(e)>;
    if constexpr (std::is_same_v<E, bool>) {
      raw<uint8_t>(e ? 1 : 0);
    } else if constexpr (std::is_same_v<E, double>) {
      if (t == bit_DateTime) {
        raw<int64_t>(DateTimeToUaTicks(e));
      } else {
        raw<double>(e);
      }
    } else if constexpr (std::is_arithmetic_v<E>) {
      raw<E>(e);
    } else if constexpr (std::is_same_v<E, std::string>) {
      str(e);
    } else if constexpr (std::is_same_v<E, TGUID>) {
      guid(e);
    } else if constexpr (std::is_same_v<E, ByteArray>) {
      bytes(e);
    } else if constexpr (std::is_same_v<E, std::unique_ptr<uaNodeId>>) {
      nodeId(e.get(), 0);
    } else if constexpr (std::is_same_v<E, std::unique_ptr<uaExpandedNodeId>>) {
      expandedNodeId(e.get());
    } else if constexpr (std::is_same_v<E, std::unique_ptr<uaQualifiedName>>) {
      qualifiedName(e.get());
    } else if constexpr (std::is_same_v<E, std::unique_ptr<uaLocalizedText>>) {
      localizedText(e.get());
    } else if constexpr (std::is_same_v<E, std::unique_ptr<uaExtensionObject>>) {
      extensionObject(e.get());
    } else if constexpr (std::is_same_v<E, std::unique_ptr<uaDataValue>>) {
      dataValue(e.get());
    } else if constexpr (std::is_same_v<E, std::unique_ptr<uaVariant>>) {
      variant(e.get());
    } else if constexpr (std::is_same_v<E, std::unique_ptr<uaDiagnosticInfo>>) {
      diagnosticInfo(e.get());
    }
  };
  std::visit(
      [&](const auto& x) {
        using X = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<X, std::monostate>) {
          if (v.IsArray()) raw<int32_t>(-1);
        } else if constexpr (std::is_same_v<X, ByteArray>) {
          bytes(x);  // ByteString scalar and Byte[] share the wire form
        } else if constexpr (IsVec<X>::value) {
          count(x.size());
          if constexpr (std::is_same_v<X, std::vector<bool>>) {
            for (bool b : x) raw<uint8_t>(b ? 1 : 0);
          } else {
            for (const auto& e : x) one(e);
          }
        } else {
          one(x);
        }
      },
      v.Value());
}

void TuaBinaryEncoder::variant(const uaVariant* v) {
  const uaBuildInType t = v ? v->BuildInType() : bit_null;
  if (t == bit_null || t > kMaxBuildInType || (!v->HasValue() && !v->IsArray())) {
    raw<uint8_t>(0);
    return;
  }
  uint8_t mask = static_cast<uint8_t>(t) | (v->ValueRank() >= 0 ? 0x80 : 0) | (v->ValueRank() > 1 ? 0x40 : 0);
  raw<uint8_t>(mask);
  variantBody(*v);
  if (mask & 0x40) {
    const auto& dims = v->Dimensions();
    count(dims.size());
    for (int32_t d : dims) raw<int32_t>(d);
  }
}

void TuaBinaryEncoder::Write(bool aValue, const char*) {
  raw<uint8_t>(aValue ? 1 : 0);
}
void TuaBinaryEncoder::Write(int8_t aValue, const char*) {
  raw(aValue);
}
void TuaBinaryEncoder::Write(uint8_t aValue, const char*) {
  raw(aValue);
}
void TuaBinaryEncoder::Write(int16_t aValue, const char*) {
  raw(aValue);
}
void TuaBinaryEncoder::Write(uint16_t aValue, const char*) {
  raw(aValue);
}
void TuaBinaryEncoder::Write(int32_t aValue, const char*) {
  raw(aValue);
}
void TuaBinaryEncoder::Write(uint32_t aValue, const char*) {
  raw(aValue);
}
void TuaBinaryEncoder::Write(int64_t aValue, const char*) {
  raw(aValue);
}
void TuaBinaryEncoder::Write(uint64_t aValue, const char*) {
  raw(aValue);
}
void TuaBinaryEncoder::Write(float aValue, const char*) {
  raw(aValue);
}
void TuaBinaryEncoder::Write(double aValue, const char*) {
  raw(aValue);
}
void TuaBinaryEncoder::Write(std::string_view aValue, const char*) {
  str(aValue);
}
void TuaBinaryEncoder::WriteDateTime(TDateTime aValue, const char*) {
  raw<int64_t>(DateTimeToUaTicks(aValue));
}
void TuaBinaryEncoder::Write(const TGUID& aValue, const char*) {
  guid(aValue);
}
void TuaBinaryEncoder::Write(const ByteArray& aValue, const char*) {
  bytes(aValue);
}
void TuaBinaryEncoder::Write(const uaNodeId* aValue, const char*) {
  nodeId(aValue, 0);
}
void TuaBinaryEncoder::Write(const uaExpandedNodeId* aValue, const char*) {
  expandedNodeId(aValue);
}
void TuaBinaryEncoder::Write(const uaQualifiedName* aValue, const char*) {
  qualifiedName(aValue);
}
void TuaBinaryEncoder::Write(const uaLocalizedText* aValue, const char*) {
  localizedText(aValue);
}
void TuaBinaryEncoder::Write(const uaExtensionObject* aValue, const char*) {
  extensionObject(aValue);
}
void TuaBinaryEncoder::Write(const uaVariant* aValue, const char*) {
  variant(aValue);
}
void TuaBinaryEncoder::Write(const uaDataValue* aValue, const char*) {
  dataValue(aValue);
}
void TuaBinaryEncoder::Write(const uaDiagnosticInfo* aValue, const char*) {
  diagnosticInfo(aValue);
}

void TuaBinaryEncoder::Write(const std::vector<bool>& aValue, const char*) {
  count(aValue.size());
  for (bool b : aValue) raw<uint8_t>(b ? 1 : 0);
}

#define VARO_WRITE_ARRAY(T, ONE)                                            \
  void TuaBinaryEncoder::Write(const std::vector<T>& aValue, const char*) { \
    count(aValue.size());                                                   \
    for (const auto& e : aValue) ONE;                                       \
  }
VARO_WRITE_ARRAY(int8_t, raw(e))
VARO_WRITE_ARRAY(int16_t, raw(e))
VARO_WRITE_ARRAY(uint16_t, raw(e))
VARO_WRITE_ARRAY(int32_t, raw(e))
VARO_WRITE_ARRAY(uint32_t, raw(e))
VARO_WRITE_ARRAY(int64_t, raw(e))
VARO_WRITE_ARRAY(uint64_t, raw(e))
VARO_WRITE_ARRAY(float, raw(e))
VARO_WRITE_ARRAY(double, raw(e))
VARO_WRITE_ARRAY(std::string, str(e))
VARO_WRITE_ARRAY(TGUID, guid(e))
VARO_WRITE_ARRAY(ByteArray, bytes(e))
VARO_WRITE_ARRAY(std::unique_ptr<uaNodeId>, nodeId(e.get(), 0))
VARO_WRITE_ARRAY(std::unique_ptr<uaExpandedNodeId>, expandedNodeId(e.get()))
VARO_WRITE_ARRAY(std::unique_ptr<uaQualifiedName>, qualifiedName(e.get()))
VARO_WRITE_ARRAY(std::unique_ptr<uaLocalizedText>, localizedText(e.get()))
VARO_WRITE_ARRAY(std::unique_ptr<uaExtensionObject>, extensionObject(e.get()))
VARO_WRITE_ARRAY(std::unique_ptr<uaDataValue>, dataValue(e.get()))
VARO_WRITE_ARRAY(std::unique_ptr<uaVariant>, variant(e.get()))
VARO_WRITE_ARRAY(std::unique_ptr<uaDiagnosticInfo>, diagnosticInfo(e.get()))
VARO_WRITE_ARRAY(std::unique_ptr<uaEnum>, raw<int32_t>(e ? e->Value : 0))
VARO_WRITE_ARRAY(std::unique_ptr<TuaObj>, structure(e.get()))
VARO_WRITE_ARRAY(uaDataValue, dataValue(&e))
#undef VARO_WRITE_ARRAY

void TuaBinaryEncoder::WriteDateTimeArray(const std::vector<TDateTime>& aValue, const char*) {
  count(aValue.size());
  for (TDateTime d : aValue) raw<int64_t>(DateTimeToUaTicks(d));
}

void TuaBinaryEncoder::Write(const uaEnum* aValue, const char*) {
  raw<int32_t>(aValue ? aValue->Value : 0);
}
void TuaBinaryEncoder::Write(const TuaObj* aValue, const char*) {
  structure(aValue);
}
void TuaBinaryEncoder::Write(const TuaObjs& aValue, const char* aFieldName) {
  Write(aValue.Items, aFieldName);
}

void TuaBinaryEncoder::WriteMessage(const TuaObj& aObj, const char*) {
  uaNodeId id(static_cast<uint32_t>(aObj.ObjNo), aObj.NamespaceIndex);
  nodeId(&id, 0);
  aObj.Encode(*this);
}

// ---------------------------------------------------------------------------------------
// Decoder

class TuaBinaryDecoder::DepthGuard {
 public:
  explicit DepthGuard(TuaBinaryDecoder& d) : d_(d) {
    if (++d_.fDepth > kMaxDecodeDepth) {
      --d_.fDepth;
      fail(varo::Format("nesting deeper than %d levels", kMaxDecodeDepth));
    }
  }
  ~DepthGuard() { --d_.fDepth; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;

 private:
  TuaBinaryDecoder& d_;
};

void TuaBinaryDecoder::fail(const std::string& detail) {
  throw EuaDecodeError(detail);
}

size_t TuaBinaryDecoder::count(size_t aMinSize) {
  int32_t n = raw<int32_t>();
  if (n <= 0) return 0;
  size_t un = static_cast<size_t>(n);
  if (fContext.maxArrayLength != 0 && un > fContext.maxArrayLength) {
    fail(varo::Format("array length %d exceeds the limit %u", n, fContext.maxArrayLength));
  }
  if (un > fReader->remaining() / (aMinSize ? aMinSize : 1)) {
    fail(varo::Format("array length %d exceeds the %zu bytes left", n, fReader->remaining()));
  }
  return un;
}

void TuaBinaryDecoder::str(std::string& out, uint32_t aLimit) {
  int32_t n = raw<int32_t>();
  if (n <= 0) {
    out.clear();
    return;
  }
  if (aLimit != 0 && static_cast<uint32_t>(n) > aLimit) {
    fail(varo::Format("string length %d exceeds the limit %u", n, aLimit));
  }
  if (static_cast<size_t>(n) > fReader->remaining()) {
    fail(varo::Format("string length %d exceeds the %zu bytes left", n, fReader->remaining()));
  }
  varo::ByteSpan s = fReader->take(static_cast<size_t>(n));
  out.assign(reinterpret_cast<const char*>(s.data()), s.size());
}

void TuaBinaryDecoder::bytes(ByteArray& out) {
  int32_t n = raw<int32_t>();
  if (n <= 0) {
    out.clear();
    return;
  }
  if (fContext.maxByteStringLength != 0 && static_cast<uint32_t>(n) > fContext.maxByteStringLength) {
    fail(varo::Format("byte string length %d exceeds the limit %u", n, fContext.maxByteStringLength));
  }
  if (static_cast<size_t>(n) > fReader->remaining()) {
    fail(varo::Format("byte string length %d exceeds the %zu bytes left", n, fReader->remaining()));
  }
  varo::ByteSpan s = fReader->take(static_cast<size_t>(n));
  out.assign(s.begin(), s.end());
}

TGUID TuaBinaryDecoder::guid() {
  need(16);
  TGUID g;
  g.Data1 = fReader->readLE<uint32_t>();
  g.Data2 = fReader->readLE<uint16_t>();
  g.Data3 = fReader->readLE<uint16_t>();
  fReader->read(g.Data4.data(), 8);
  return g;
}

double TuaBinaryDecoder::dbl() {
  double d = raw<double>();
  if (std::isnan(d)) {
    uint64_t bits = 0xFFF8000000000000ULL;
    std::memcpy(&d, &bits, 8);
  }
  return d;
}

float TuaBinaryDecoder::flt() {
  float f = raw<float>();
  if (std::isnan(f)) {
    uint32_t bits = 0xFFC00000u;
    std::memcpy(&f, &bits, 4);
  }
  return f;
}

TDateTime TuaBinaryDecoder::dateTime() {
  return UaTicksToDateTime(raw<int64_t>());
}

std::unique_ptr<uaNodeId> TuaBinaryDecoder::nodeId(uint8_t* flags) {
  uint8_t b = raw<uint8_t>();
  if (flags) *flags = b & 0xC0;
  switch (b & 0x3F) {
    case 0x00:
      return std::make_unique<uaNodeId>(uint32_t{raw<uint8_t>()}, uint16_t{0});
    case 0x01: {
      uint16_t ns = raw<uint8_t>();
      return std::make_unique<uaNodeId>(uint32_t{raw<uint16_t>()}, ns);
    }
    case 0x02: {
      uint16_t ns = raw<uint16_t>();
      return std::make_unique<uaNodeId>(raw<uint32_t>(), ns);
    }
    case 0x03: {
      uint16_t ns = raw<uint16_t>();
      std::string s;
      str(s, fContext.maxStringLength);
      return std::make_unique<uaNodeId>(std::move(s), ns);
    }
    case 0x04: {
      uint16_t ns = raw<uint16_t>();
      return std::make_unique<uaNodeId>(guid(), ns);
    }
    case 0x05: {
      uint16_t ns = raw<uint16_t>();
      ByteArray a;
      bytes(a);
      return std::make_unique<uaNodeId>(std::move(a), ns);
    }
    default:
      fail(varo::Format("Invalid NodeId encoding form (0x%.2x).", b & 0x3F));
  }
}

std::unique_ptr<uaExpandedNodeId> TuaBinaryDecoder::expandedNodeId() {
  uint8_t flags = 0;
  std::unique_ptr<uaNodeId> id = nodeId(&flags);
  auto r = std::make_unique<uaExpandedNodeId>(std::move(*id));
  if (flags & 0x80) str(r->NamespaceUri, fContext.maxStringLength);
  if (flags & 0x40) r->ServerIndex = raw<uint32_t>();
  return r;
}

std::unique_ptr<uaQualifiedName> TuaBinaryDecoder::qualifiedName() {
  uint16_t ns = raw<uint16_t>();
  std::string name;
  str(name, fContext.maxStringLength);
  if (name.empty()) return nullptr;
  return std::make_unique<uaQualifiedName>(std::move(name), ns);
}

std::unique_ptr<uaLocalizedText> TuaBinaryDecoder::localizedText() {
  uint8_t mask = raw<uint8_t>();
  if (mask == 0) return nullptr;
  auto t = std::make_unique<uaLocalizedText>();
  if (mask & 0x01) str(t->Locale, fContext.maxStringLength);
  if (mask & 0x02) str(t->Text, fContext.maxStringLength);
  return t;
}

std::unique_ptr<uaExtensionObject> TuaBinaryDecoder::extensionObject() {
  DepthGuard guard(*this);
  auto e = std::make_unique<uaExtensionObject>();
  e->TypeId = expandedNodeId();
  uint8_t enc = raw<uint8_t>();
  switch (enc) {
    case 0:
      break;
    case 1:
      e->Encoding = uaExtensionObject::eo_BinaryBody;
      bytes(e->BinaryBody);
      break;
    case 2:
      e->Encoding = uaExtensionObject::eo_XmlBody;
      str(e->XmlBody, fContext.maxStringLength);
      break;
    default:
      fail(varo::Format("Invalid encoding byte (0x%.2x) for uaExtensionObject.", enc));
  }
  return e;
}

bool TuaBinaryDecoder::dataValueInto(uaDataValue& d) {
  uint8_t mask = raw<uint8_t>();
  if (mask == 0) return false;
  DepthGuard guard(*this);
  if (mask & 0x01) d.Value = variant();
  if (mask & 0x02) d.StatusCode = raw<uint32_t>();
  if (mask & 0x04) d.SourceTimestamp = dateTime();
  if (mask & 0x10) d.SourcePicoSeconds = raw<uint16_t>();
  if (mask & 0x08) d.ServerTimestamp = dateTime();
  if (mask & 0x20) d.ServerPicoSeconds = raw<uint16_t>();
  return true;
}

std::unique_ptr<uaDataValue> TuaBinaryDecoder::dataValue() {
  auto d = std::make_unique<uaDataValue>();
  if (!dataValueInto(*d)) return nullptr;
  return d;
}

std::unique_ptr<uaDiagnosticInfo> TuaBinaryDecoder::diagnosticInfo() {
  std::unique_ptr<uaDiagnosticInfo> head;
  uaDiagnosticInfo* tail = nullptr;
  for (int level = 0;; ++level) {
    uint8_t mask = raw<uint8_t>();
    if (mask == 0) break;
    if (fDepth + level >= kMaxDecodeDepth)
      fail(varo::Format("nesting deeper than %d levels", kMaxDecodeDepth));
    auto d = std::make_unique<uaDiagnosticInfo>();
    if (mask & 0x01) d->SymbolicId = raw<int32_t>();
    if (mask & 0x02) d->NamespaceUri = raw<int32_t>();
    if (mask & 0x08) d->Locale = raw<int32_t>();
    if (mask & 0x04) d->LocalizedText = raw<int32_t>();
    if (mask & 0x10) str(d->AdditionalInfo, fContext.maxStringLength);
    if (mask & 0x20) d->InnerStatusCode = raw<uint32_t>();
    uaDiagnosticInfo* raw_ = d.get();
    if (tail) {
      tail->InnerDiagnosticInfo = std::move(d);
    } else {
      head = std::move(d);
    }
    tail = raw_;
    if (!(mask & 0x40)) break;
  }
  return head;
}

template <class T, class F>
void TuaBinaryDecoder::valArray(std::vector<T>& out, size_t minSize, F&& one) {
  size_t n = count(minSize);
  out.clear();
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) out.push_back(one());
}

template <class T, class F>
void TuaBinaryDecoder::objArray(std::vector<std::unique_ptr<T>>& out, size_t minSize, F&& one) {
  size_t n = count(minSize);
  out.clear();
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) out.push_back(one());
}

namespace {
// Smallest wire size of one element, for the count check.
constexpr size_t kMinNodeId = 2, kMinQualifiedName = 6, kMinExtensionObject = 3;
}  // namespace

std::unique_ptr<uaVariant> TuaBinaryDecoder::variant() {
  uint8_t mask = raw<uint8_t>();
  if (mask == 0) return nullptr;
  const uint8_t type = mask & 0x3F;
  if (type == 0) fail(varo::Format("Invalid variant encoding mask (0x%.2x).", mask));
  if (type > kMaxBuildInType) fail(varo::Format("Invalid variant type (%d).", type));
  DepthGuard guard(*this);
  const bool isArray = (mask & 0x80) != 0;
  const auto t = static_cast<uaBuildInType>(type);
  auto v = std::make_unique<uaVariant>();
  v->fTypeInfo = {t, static_cast<int8_t>(isArray ? 1 : -1)};
  uaVariant::Storage& s = v->fValue;
  bool noObject = false;
  // A scalar object that decodes to no object gives no variant.
  auto obj = [&](auto p) {
    if (!p) {
      noObject = true;
    } else {
      s = std::move(p);
    }
  };
  const uint32_t sl = fContext.maxStringLength;
  if (!isArray) {
    switch (t) {
      case bit_Boolean:
        s = raw<uint8_t>() != 0;
        break;
      case bit_SByte:
        s = raw<int8_t>();
        break;
      case bit_Byte:
        s = raw<uint8_t>();
        break;
      case bit_Int16:
        s = raw<int16_t>();
        break;
      case bit_UInt16:
        s = raw<uint16_t>();
        break;
      case bit_Int32:
        s = raw<int32_t>();
        break;
      case bit_UInt32:
      case bit_StatusCode:
        s = raw<uint32_t>();
        break;
      case bit_Int64:
        s = raw<int64_t>();
        break;
      case bit_UInt64:
        s = raw<uint64_t>();
        break;
      case bit_Float:
        s = flt();
        break;
      case bit_Double:
        s = dbl();
        break;
      case bit_DateTime:
        s = dateTime();
        break;
      case bit_String:
      case bit_XmlElement:
        str(s.emplace<std::string>(), sl);
        break;
      case bit_Guid:
        s = guid();
        break;
      case bit_ByteString:
        bytes(s.emplace<ByteArray>());
        break;
      case bit_NodeId:
        obj(nodeId(nullptr));
        break;
      case bit_ExpandedNodeId:
        obj(expandedNodeId());
        break;
      case bit_QualifiedName:
        obj(qualifiedName());
        break;
      case bit_LocalizedText:
        obj(localizedText());
        break;
      case bit_ExtensionObject:
        obj(extensionObject());
        break;
      case bit_DataValue:
        obj(dataValue());
        break;
      case bit_Variant:
        obj(variant());
        break;
      case bit_DiagnosticInfo:
        obj(diagnosticInfo());
        break;
      case bit_null:
        break;
    }
  } else {
    switch (t) {
      case bit_Boolean: {
        auto& a = s.emplace<std::vector<bool>>();
        size_t n = count(1);
        a.reserve(n);
        for (size_t i = 0; i < n; ++i) a.push_back(raw<uint8_t>() != 0);
        break;
      }
      case bit_SByte:
        valArray(s.emplace<std::vector<int8_t>>(), 1, [&] { return raw<int8_t>(); });
        break;
      case bit_Byte:
        bytes(s.emplace<ByteArray>());
        break;
      case bit_Int16:
        valArray(s.emplace<std::vector<int16_t>>(), 2, [&] { return raw<int16_t>(); });
        break;
      case bit_UInt16:
        valArray(s.emplace<std::vector<uint16_t>>(), 2, [&] { return raw<uint16_t>(); });
        break;
      case bit_Int32:
        valArray(s.emplace<std::vector<int32_t>>(), 4, [&] { return raw<int32_t>(); });
        break;
      case bit_UInt32:
      case bit_StatusCode:
        valArray(s.emplace<std::vector<uint32_t>>(), 4, [&] { return raw<uint32_t>(); });
        break;
      case bit_Int64:
        valArray(s.emplace<std::vector<int64_t>>(), 8, [&] { return raw<int64_t>(); });
        break;
      case bit_UInt64:
        valArray(s.emplace<std::vector<uint64_t>>(), 8, [&] { return raw<uint64_t>(); });
        break;
      case bit_Float:
        valArray(s.emplace<std::vector<float>>(), 4, [&] { return flt(); });
        break;
      case bit_Double:
        valArray(s.emplace<std::vector<double>>(), 8, [&] { return dbl(); });
        break;
      case bit_DateTime:
        valArray(s.emplace<std::vector<double>>(), 8, [&] { return dateTime(); });
        break;
      case bit_String:
      case bit_XmlElement:
        valArray(s.emplace<std::vector<std::string>>(), 4, [&] {
          std::string x;
          str(x, sl);
          return x;
        });
        break;
      case bit_Guid:
        valArray(s.emplace<std::vector<TGUID>>(), 16, [&] { return guid(); });
        break;
      case bit_ByteString:
        valArray(s.emplace<std::vector<ByteArray>>(), 4, [&] {
          ByteArray x;
          bytes(x);
          return x;
        });
        break;
      case bit_NodeId:
        objArray(s.emplace<std::vector<std::unique_ptr<uaNodeId>>>(), kMinNodeId,
                 [&] { return nodeId(nullptr); });
        break;
      case bit_ExpandedNodeId:
        objArray(s.emplace<std::vector<std::unique_ptr<uaExpandedNodeId>>>(), kMinNodeId,
                 [&] { return expandedNodeId(); });
        break;
      case bit_QualifiedName:
        objArray(s.emplace<std::vector<std::unique_ptr<uaQualifiedName>>>(), kMinQualifiedName,
                 [&] { return qualifiedName(); });
        break;
      case bit_LocalizedText:
        objArray(s.emplace<std::vector<std::unique_ptr<uaLocalizedText>>>(), 1,
                 [&] { return localizedText(); });
        break;
      case bit_ExtensionObject:
        objArray(s.emplace<std::vector<std::unique_ptr<uaExtensionObject>>>(), kMinExtensionObject,
                 [&] { return extensionObject(); });
        break;
      case bit_DataValue:
        objArray(s.emplace<std::vector<std::unique_ptr<uaDataValue>>>(), 1, [&] { return dataValue(); });
        break;
      case bit_Variant:
        objArray(s.emplace<std::vector<std::unique_ptr<uaVariant>>>(), 1, [&] { return variant(); });
        break;
      case bit_DiagnosticInfo:
        objArray(s.emplace<std::vector<std::unique_ptr<uaDiagnosticInfo>>>(), 1,
                 [&] { return diagnosticInfo(); });
        break;
      case bit_null:
        break;
    }
  }
  if (mask & 0x40) {
    std::vector<int32_t> dims;
    valArray(dims, 4, [&] { return raw<int32_t>(); });
    // Dimensions belong to arrays only; on a scalar they are read to stay in step and dropped.
    if (isArray) v->SetDimensions(std::move(dims));
  }
  if (noObject) return nullptr;
  return v;
}

void TuaBinaryDecoder::ReadString(std::string& aValue, size_t aMaxLength) {
  int32_t n = raw<int32_t>();
  if (n <= 0) {
    aValue.clear();
    return;
  }
  if (static_cast<size_t>(n) > fReader->remaining()) {
    fail(varo::Format("string length %d exceeds the %zu bytes left", n, fReader->remaining()));
  }
  varo::ByteSpan s = fReader->take(static_cast<size_t>(n));
  size_t keep = std::min(s.size(), aMaxLength);
  aValue.assign(reinterpret_cast<const char*>(s.data()), keep);
}

void TuaBinaryDecoder::Read(bool& aValue, const char*) {
  aValue = raw<uint8_t>() != 0;
}
void TuaBinaryDecoder::Read(int8_t& aValue, const char*) {
  aValue = raw<int8_t>();
}
void TuaBinaryDecoder::Read(uint8_t& aValue, const char*) {
  aValue = raw<uint8_t>();
}
void TuaBinaryDecoder::Read(int16_t& aValue, const char*) {
  aValue = raw<int16_t>();
}
void TuaBinaryDecoder::Read(uint16_t& aValue, const char*) {
  aValue = raw<uint16_t>();
}
void TuaBinaryDecoder::Read(int32_t& aValue, const char*) {
  aValue = raw<int32_t>();
}
void TuaBinaryDecoder::Read(uint32_t& aValue, const char*) {
  aValue = raw<uint32_t>();
}
void TuaBinaryDecoder::Read(int64_t& aValue, const char*) {
  aValue = raw<int64_t>();
}
void TuaBinaryDecoder::Read(uint64_t& aValue, const char*) {
  aValue = raw<uint64_t>();
}
void TuaBinaryDecoder::Read(float& aValue, const char*) {
  aValue = flt();
}
void TuaBinaryDecoder::Read(double& aValue, const char*) {
  aValue = dbl();
}
void TuaBinaryDecoder::Read(std::string& aValue, const char*) {
  str(aValue, fContext.maxStringLength);
}
void TuaBinaryDecoder::ReadDateTime(TDateTime& aValue, const char*) {
  aValue = dateTime();
}
void TuaBinaryDecoder::Read(TGUID& aValue, const char*) {
  aValue = guid();
}
void TuaBinaryDecoder::Read(ByteArray& aValue, const char*) {
  bytes(aValue);
}
void TuaBinaryDecoder::Read(std::unique_ptr<uaNodeId>& aValue, const char*) {
  aValue = nodeId(nullptr);
}
void TuaBinaryDecoder::Read(std::unique_ptr<uaExpandedNodeId>& aValue, const char*) {
  aValue = expandedNodeId();
}
void TuaBinaryDecoder::Read(std::unique_ptr<uaQualifiedName>& aValue, const char*) {
  aValue = qualifiedName();
}
void TuaBinaryDecoder::Read(std::unique_ptr<uaLocalizedText>& aValue, const char*) {
  aValue = localizedText();
}
void TuaBinaryDecoder::Read(std::unique_ptr<uaExtensionObject>& aValue, const char*) {
  aValue = extensionObject();
}
void TuaBinaryDecoder::Read(std::unique_ptr<uaDataValue>& aValue, const char*) {
  aValue = dataValue();
}
void TuaBinaryDecoder::Read(std::unique_ptr<uaVariant>& aValue, const char*) {
  aValue = variant();
}
void TuaBinaryDecoder::Read(std::unique_ptr<uaDiagnosticInfo>& aValue, const char*) {
  aValue = diagnosticInfo();
}

void TuaBinaryDecoder::Read(uaDataValue& aValue, const char*) {
  aValue = uaDataValue();
  dataValueInto(aValue);
}

void TuaBinaryDecoder::Read(std::vector<uaDataValue>& aValue, const char*) {
  size_t n = count(1);
  aValue.clear();
  aValue.resize(n);
  for (size_t i = 0; i < n; ++i) dataValueInto(aValue[i]);
}

void TuaBinaryDecoder::Read(std::vector<bool>& aValue, const char*) {
  size_t n = count(1);
  aValue.clear();
  aValue.reserve(n);
  for (size_t i = 0; i < n; ++i) aValue.push_back(raw<uint8_t>() != 0);
}

#define VARO_READ_ARRAY(T, MIN, ONE)                                 \
  void TuaBinaryDecoder::Read(std::vector<T>& aValue, const char*) { \
    valArray(aValue, MIN, [&] { return ONE; });                      \
  }
VARO_READ_ARRAY(int8_t, 1, raw<int8_t>())
VARO_READ_ARRAY(int16_t, 2, raw<int16_t>())
VARO_READ_ARRAY(uint16_t, 2, raw<uint16_t>())
VARO_READ_ARRAY(int32_t, 4, raw<int32_t>())
VARO_READ_ARRAY(uint32_t, 4, raw<uint32_t>())
VARO_READ_ARRAY(int64_t, 8, raw<int64_t>())
VARO_READ_ARRAY(uint64_t, 8, raw<uint64_t>())
VARO_READ_ARRAY(float, 4, flt())
VARO_READ_ARRAY(double, 8, dbl())
VARO_READ_ARRAY(TGUID, 16, guid())
VARO_READ_ARRAY(std::unique_ptr<uaNodeId>, kMinNodeId, nodeId(nullptr))
VARO_READ_ARRAY(std::unique_ptr<uaExpandedNodeId>, kMinNodeId, expandedNodeId())
VARO_READ_ARRAY(std::unique_ptr<uaQualifiedName>, kMinQualifiedName, qualifiedName())
VARO_READ_ARRAY(std::unique_ptr<uaLocalizedText>, 1, localizedText())
VARO_READ_ARRAY(std::unique_ptr<uaExtensionObject>, kMinExtensionObject, extensionObject())
VARO_READ_ARRAY(std::unique_ptr<uaDataValue>, 1, dataValue())
VARO_READ_ARRAY(std::unique_ptr<uaVariant>, 1, variant())
VARO_READ_ARRAY(std::unique_ptr<uaDiagnosticInfo>, 1, diagnosticInfo())
VARO_READ_ARRAY(std::unique_ptr<uaEnum>, 4, std::make_unique<uaEnum>(raw<int32_t>()))
#undef VARO_READ_ARRAY

void TuaBinaryDecoder::Read(std::vector<std::string>& aValue, const char*) {
  valArray(aValue, 4, [&] {
    std::string x;
    str(x, fContext.maxStringLength);
    return x;
  });
}

void TuaBinaryDecoder::ReadDateTimeArray(std::vector<TDateTime>& aValue, const char*) {
  valArray(aValue, 8, [&] { return dateTime(); });
}

void TuaBinaryDecoder::Read(std::vector<ByteArray>& aValue, const char*) {
  valArray(aValue, 4, [&] {
    ByteArray x;
    bytes(x);
    return x;
  });
}

void TuaBinaryDecoder::Read(TuaObj& aValue, const char*) {
  DepthGuard guard(*this);
  aValue.Decode(*this);
}

void TuaBinaryDecoder::Read(std::unique_ptr<uaEnum>& aValue, const char*) {
  aValue = std::make_unique<uaEnum>(raw<int32_t>());
}

void TuaBinaryDecoder::Read(std::vector<std::unique_ptr<TuaObj>>& aValue, const TuaObjFactory& aClass,
                            const char* aFieldName) {
  size_t n = count(1);
  aValue.clear();
  aValue.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    std::unique_ptr<TuaObj> o = aClass ? aClass() : nullptr;
    if (!o) fail("ReadDecode avalue is nil");
    Read(*o, aFieldName);
    aValue.push_back(std::move(o));
  }
}

void TuaBinaryDecoder::Read(TuaObjs& aValue, const TuaObjFactory& aClass, const char* aFieldName) {
  Read(aValue.Items, aClass, aFieldName);
}

void TuaBinaryDecoder::ReadMessageId(uint32_t& aValue, const char*) {
  uint8_t b = raw<uint8_t>();
  switch (b & 0x3F) {
    case 0x00:
      aValue = raw<uint8_t>();
      break;
    case 0x01:
      raw<uint8_t>();
      aValue = raw<uint16_t>();
      break;
    case 0x02:
      raw<uint16_t>();
      aValue = raw<uint32_t>();
      break;
    default:
      aValue = 0;
      break;
  }
}

// ---------------------------------------------------------------------------------------
// TExtensionObjReader

void TExtensionObjReader::ReadExtensionObj(const uaExtensionObject& aObj, TuaObj& aEncItem) {
  if (aObj.Encoding != uaExtensionObject::eo_BinaryBody) throw EuaDecodeError("can only handle binary data");
  if (aObj.TypeId) {
    int32_t found = aObj.ObjNo();
    if (found != aEncItem.ObjNo) {
      throw EuaDecodeError(varo::Format("wrong extension object types (%d <> %d)", found, aEncItem.ObjNo));
    }
    aEncItem.NamespaceIndex = aObj.TypeId->NamespaceIndex();
  }
  TuaBinaryDecoder dec(varo::ByteSpan(aObj.BinaryBody));
  dec.Read(aEncItem, "");
}

void TExtensionObjReader::ReadExtensionObj(const uaVariant& aObj, TuaObj& aEncItem) {
  const auto* e = aObj.GetIf<std::unique_ptr<uaExtensionObject>>();
  if (!e || !*e) throw EuaDecodeError("can only handle binary data");
  ReadExtensionObj(**e, aEncItem);
}

}  // namespace varo::ua
