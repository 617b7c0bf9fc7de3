// SPDX-License-Identifier: MPL-2.0
#include "ua/encoding/builtin_types.h"

#include <cfloat>
#include <cmath>
#include <limits>
#include <type_traits>

#include "platform/strings.h"
#include "ua/encoding/binary_codec.h"

namespace varo::ua {

using varo::EConvertError;
using varo::EVariantError;
using varo::Variant;

namespace {

template <class T>
struct IsUniquePtr : std::false_type {};
template <class T>
struct IsUniquePtr<std::unique_ptr<T>> : std::true_type {};
template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {};

[[noreturn]] void NotSupported() {
  throw EVariantError("data type not supported as variant");
}

}  // namespace

// ---------------------------------------------------------------------------------------
// uaNodeId

namespace {

uaNodeId ParseNodeId(std::string_view text) {
  uint16_t ns = 0;
  if (varo::StartsWith(text, "ns=")) {
    size_t semi = text.find(';');
    if (semi == std::string_view::npos) throw EConvertError("delimiter (;) not found.");
    int64_t n = varo::StrToInt64(text.substr(3, semi - 3));
    if (n < 0 || n > 65535) {
      throw EConvertError(varo::Format("Namespace index %lld out of range", static_cast<long long>(n)));
    }
    ns = static_cast<uint16_t>(n);
    text = varo::Trim(text.substr(semi + 1));
  }
  std::string_view prefix = text.substr(0, 2);
  std::string_view rest = text.size() >= 2 ? text.substr(2) : std::string_view();
  if (prefix == "s=") return uaNodeId(std::string(rest), ns);
  if (prefix == "i=") {
    auto v = varo::TryStrToInt64(rest);
    if (!v || *v < 0 || *v > 4294967295LL) throw EConvertError("Invalid Integer");
    return uaNodeId(static_cast<uint32_t>(*v), ns);
  }
  if (prefix == "g=") return uaNodeId(varo::StringToGUID(rest), ns);
  if (prefix == "b=") return uaNodeId(varo::HexToBytes(rest), ns);
  return uaNodeId(std::string(text), ns);
}

}  // namespace

uaNodeId::uaNodeId(std::string_view aText) : uaNodeId(ParseNodeId(aText)) {}

uaNodeId NodeIdFromString(std::string_view aText) {
  return ParseNodeId(varo::Trim(aText));
}

uint32_t uaNodeId::IdAsNumber() const {
  if (auto p = std::get_if<uint32_t>(&fId)) return *p;
  throw EConvertError("Object type is not numeric");
}
const std::string& uaNodeId::IdAsString() const {
  if (auto p = std::get_if<std::string>(&fId)) return *p;
  throw EConvertError("Object type is not string");
}
const TGUID& uaNodeId::IdAsGuid() const {
  if (auto p = std::get_if<TGUID>(&fId)) return *p;
  throw EConvertError("Object type is not GUID");
}
const ByteArray& uaNodeId::IdAsOpaque() const {
  if (auto p = std::get_if<ByteArray>(&fId)) return *p;
  throw EConvertError("Object type is not opaque");
}

bool uaNodeId::IsNullNodeId() const {
  if (fNamespaceIndex != 0) return false;
  switch (IdentifierType()) {
    case itNumeric:
      return std::get<uint32_t>(fId) == 0;
    case itString:
      return std::get<std::string>(fId).empty();
    case itGuid:
      return std::get<TGUID>(fId).isNull();
    case itOpaque:
      return std::get<ByteArray>(fId).empty();
  }
  return false;
}

std::string uaNodeId::ToString() const {
  std::string s = "ns=" + varo::UIntToStr(fNamespaceIndex) + ";";
  switch (IdentifierType()) {
    case itNumeric:
      return s + "i=" + varo::UIntToStr(std::get<uint32_t>(fId));
    case itString:
      return s + "s=" + varo::SanitizeUtf8(std::get<std::string>(fId));
    case itGuid:
      return s + "g=" + varo::GUIDToString(std::get<TGUID>(fId));
    case itOpaque:
      return s + "b=" + varo::BytesToHex(std::get<ByteArray>(fId));
  }
  return s;
}

// ---------------------------------------------------------------------------------------
// uaExpandedNodeId

uaExpandedNodeId::uaExpandedNodeId(std::string_view aText)
    : uaExpandedNodeId(ExpandedNodeIdFromString(aText)) {}

uaExpandedNodeId ExpandedNodeIdFromString(std::string_view aText) {
  uaExpandedNodeId r;
  std::vector<std::string> rest;
  for (const std::string& part : varo::Split(aText, ';')) {
    std::string_view p = varo::Trim(part);
    if (varo::StartsWith(p, "svr=")) {
      auto v = varo::TryStrToUInt64(p.substr(4));
      r.ServerIndex = (v && *v <= 0xFFFFFFFFu) ? static_cast<uint32_t>(*v) : 0;
    } else if (varo::StartsWith(p, "nsu=")) {
      r.NamespaceUri = std::string(p.substr(4));
    } else {
      rest.emplace_back(p);
    }
  }
  r.NodeId = uaNodeId(std::string_view(varo::Join(rest, ";")));
  return r;
}

std::string uaExpandedNodeId::ToString() const {
  std::string s = NodeId.ToString();
  if (!NamespaceUri.empty()) s += ";nsu=" + varo::SanitizeUtf8(NamespaceUri);
  if (ServerIndex != 0) s += ";svr=" + varo::UIntToStr(ServerIndex);
  return s;
}

// ---------------------------------------------------------------------------------------
// Names, texts, diagnostic infos

std::string uaQualifiedName::ToString() const {
  return varo::SanitizeUtf8(Name);
}

std::string uaLocalizedText::ToString() const {
  if (Locale.empty()) return varo::SanitizeUtf8(Text);
  return varo::SanitizeUtf8(Text) + ":l=" + varo::SanitizeUtf8(Locale);
}

namespace {
void CopyDiagFields(uaDiagnosticInfo& d, const uaDiagnosticInfo& s) {
  d.SymbolicId = s.SymbolicId;
  d.NamespaceUri = s.NamespaceUri;
  d.Locale = s.Locale;
  d.LocalizedText = s.LocalizedText;
  d.AdditionalInfo = s.AdditionalInfo;
  d.InnerStatusCode = s.InnerStatusCode;
}
}  // namespace

// Copying and destroying walk the inner chain in a loop, so a long chain cannot exhaust the stack.
uaDiagnosticInfo::uaDiagnosticInfo(const uaDiagnosticInfo& other) {
  *this = other;
}

uaDiagnosticInfo& uaDiagnosticInfo::operator=(const uaDiagnosticInfo& other) {
  if (this == &other) return *this;
  std::unique_ptr<uaDiagnosticInfo> chain;
  uaDiagnosticInfo* dst = this;
  CopyDiagFields(*this, other);
  for (const uaDiagnosticInfo* src = other.InnerDiagnosticInfo.get(); src;
       src = src->InnerDiagnosticInfo.get()) {
    auto next = std::make_unique<uaDiagnosticInfo>();
    CopyDiagFields(*next, *src);
    uaDiagnosticInfo* raw = next.get();
    if (dst == this) {
      chain = std::move(next);
    } else {
      dst->InnerDiagnosticInfo = std::move(next);
    }
    dst = raw;
  }
  InnerDiagnosticInfo = std::move(chain);
  return *this;
}

uaDiagnosticInfo::~uaDiagnosticInfo() {
  std::unique_ptr<uaDiagnosticInfo> p = std::move(InnerDiagnosticInfo);
  while (p) {
    std::unique_ptr<uaDiagnosticInfo> next = std::move(p->InnerDiagnosticInfo);
    p = std::move(next);
  }
}

bool uaDiagnosticInfo::operator==(const uaDiagnosticInfo& other) const {
  const uaDiagnosticInfo* a = this;
  const uaDiagnosticInfo* b = &other;
  while (a && b) {
    if (a->SymbolicId != b->SymbolicId || a->NamespaceUri != b->NamespaceUri || a->Locale != b->Locale ||
        a->LocalizedText != b->LocalizedText || a->AdditionalInfo != b->AdditionalInfo ||
        a->InnerStatusCode != b->InnerStatusCode) {
      return false;
    }
    a = a->InnerDiagnosticInfo.get();
    b = b->InnerDiagnosticInfo.get();
  }
  return a == nullptr && b == nullptr;
}

// ---------------------------------------------------------------------------------------
// TuaObj, TuaObjs, uaEnum

std::string TuaObj::ToString() const {
  return "TuaObj-" + varo::IntToStr(ObjNo);
}

std::unique_ptr<TuaObj> TuaObj::Clone() const {
  std::unique_ptr<TuaObj> copy = Create();
  TuaBinaryEncoder enc;
  Encode(enc);
  TuaBinaryDecoder dec(enc.View());
  copy->Decode(dec);
  copy->ReqId = ReqId;
  copy->ObjNo = ObjNo;
  copy->NamespaceIndex = NamespaceIndex;
  return copy;
}

TuaObjs::TuaObjs(const TuaObjs& other) {
  *this = other;
}

TuaObjs& TuaObjs::operator=(const TuaObjs& other) {
  if (this == &other) return *this;
  std::vector<std::unique_ptr<TuaObj>> items;
  items.reserve(other.Items.size());
  for (const auto& e : other.Items) items.push_back(e ? e->Clone() : nullptr);
  Items = std::move(items);
  return *this;
}

std::string TuaObjs::ToString() const {
  std::string s;
  for (const auto& e : Items) {
    if (e) s += e->ToString();
  }
  return s;
}

std::string uaEnum::ToString() const {
  return varo::IntToStr(Value);
}

// ---------------------------------------------------------------------------------------
// uaExtensionObject

uaExtensionObject::uaExtensionObject(const uaExtensionObject& other)
    : TypeId(other.TypeId ? std::make_unique<uaExpandedNodeId>(*other.TypeId) : nullptr),
      Encoding(other.Encoding),
      BinaryBody(other.BinaryBody),
      XmlBody(other.XmlBody),
      Object(other.Object) {}

uaExtensionObject& uaExtensionObject::operator=(const uaExtensionObject& other) {
  if (this != &other) *this = uaExtensionObject(other);
  return *this;
}

void uaExtensionObject::SetBody(ByteArray aBody) {
  BinaryBody = std::move(aBody);
  XmlBody.clear();
  Object.reset();
  Encoding = eo_BinaryBody;
}

void uaExtensionObject::SetBody(const TuaObj& aObj, ByteArray aBody) {
  if (!TypeId) {
    TypeId =
        std::make_unique<uaExpandedNodeId>(uaNodeId(static_cast<uint32_t>(aObj.ObjNo), aObj.NamespaceIndex));
  }
  SetBody(std::move(aBody));
}

int32_t uaExtensionObject::ObjNo() const {
  if (!TypeId) return 0;
  if (auto p = std::get_if<uint32_t>(&TypeId->NodeId.Value())) return static_cast<int32_t>(*p);
  return 0;
}

std::string uaExtensionObject::ToString() const {
  if (Encoding == eo_None || !TypeId) return {};
  static const char* const kNames[] = {"None", "Binary", "Xml", "Object"};
  const char* name = Encoding <= eo_EncodeableObject ? kNames[Encoding] : "unknown";
  return TypeId->NodeId.ToString() + "," + name + "," + varo::SanitizeUtf8(TypeId->NamespaceUri) + "," +
         varo::UIntToStr(TypeId->ServerIndex);
}

bool uaExtensionObject::operator==(const uaExtensionObject& b) const {
  bool sameType = (!TypeId && !b.TypeId) || (TypeId && b.TypeId && *TypeId == *b.TypeId);
  return sameType && Encoding == b.Encoding && BinaryBody == b.BinaryBody && XmlBody == b.XmlBody &&
         Object == b.Object;
}

// ---------------------------------------------------------------------------------------
// uaVariant: construction, copy, comparison

namespace {

template <class T>
T CloneValue(const T& v) {
  return v;
}
template <class T>
std::unique_ptr<T> CloneValue(const std::unique_ptr<T>& p) {
  return p ? std::make_unique<T>(*p) : nullptr;
}
template <class T>
std::vector<std::unique_ptr<T>> CloneValue(const std::vector<std::unique_ptr<T>>& v) {
  std::vector<std::unique_ptr<T>> r;
  r.reserve(v.size());
  for (const auto& e : v) r.push_back(CloneValue(e));
  return r;
}

uaVariant::Storage CloneStorage(const uaVariant::Storage& s) {
  return std::visit([](const auto& x) -> uaVariant::Storage { return CloneValue(x); }, s);
}

template <class T>
bool SameObj(const T& a, const T& b) {
  return a == b;
}
template <class T>
bool SameValue(const T& a, const T& b) {
  return a == b;
}
template <class T>
bool SameValue(const std::unique_ptr<T>& a, const std::unique_ptr<T>& b) {
  if (!a || !b) return !a && !b;
  return SameObj(*a, *b);
}
template <class T>
bool SameValue(const std::vector<std::unique_ptr<T>>& a, const std::vector<std::unique_ptr<T>>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (!SameValue(a[i], b[i])) return false;
  }
  return true;
}

// Whether a storage alternative fits a type and rank.
bool StorageFits(uaBuildInType t, bool array, const uaVariant::Storage& s) {
  if (s.index() == 0) return true;
#define VARO_FIT(scalar, arr) \
  return array ? std::holds_alternative<arr>(s) : std::holds_alternative<scalar>(s)
  switch (t) {
    case bit_null:
      return false;
    case bit_Boolean:
      VARO_FIT(bool, std::vector<bool>);
    case bit_SByte:
      VARO_FIT(int8_t, std::vector<int8_t>);
    case bit_Byte:
      VARO_FIT(uint8_t, ByteArray);
    case bit_Int16:
      VARO_FIT(int16_t, std::vector<int16_t>);
    case bit_UInt16:
      VARO_FIT(uint16_t, std::vector<uint16_t>);
    case bit_Int32:
      VARO_FIT(int32_t, std::vector<int32_t>);
    case bit_UInt32:
    case bit_StatusCode:
      VARO_FIT(uint32_t, std::vector<uint32_t>);
    case bit_Int64:
      VARO_FIT(int64_t, std::vector<int64_t>);
    case bit_UInt64:
      VARO_FIT(uint64_t, std::vector<uint64_t>);
    case bit_Float:
      VARO_FIT(float, std::vector<float>);
    case bit_Double:
    case bit_DateTime:
      VARO_FIT(double, std::vector<double>);
    case bit_String:
    case bit_XmlElement:
      VARO_FIT(std::string, std::vector<std::string>);
    case bit_Guid:
      VARO_FIT(TGUID, std::vector<TGUID>);
    case bit_ByteString:
      VARO_FIT(ByteArray, std::vector<ByteArray>);
    case bit_NodeId:
      VARO_FIT(std::unique_ptr<uaNodeId>, std::vector<std::unique_ptr<uaNodeId>>);
    case bit_ExpandedNodeId:
      VARO_FIT(std::unique_ptr<uaExpandedNodeId>, std::vector<std::unique_ptr<uaExpandedNodeId>>);
    case bit_QualifiedName:
      VARO_FIT(std::unique_ptr<uaQualifiedName>, std::vector<std::unique_ptr<uaQualifiedName>>);
    case bit_LocalizedText:
      VARO_FIT(std::unique_ptr<uaLocalizedText>, std::vector<std::unique_ptr<uaLocalizedText>>);
    case bit_ExtensionObject:
      VARO_FIT(std::unique_ptr<uaExtensionObject>, std::vector<std::unique_ptr<uaExtensionObject>>);
    case bit_DataValue:
      VARO_FIT(std::unique_ptr<uaDataValue>, std::vector<std::unique_ptr<uaDataValue>>);
    case bit_Variant:
      VARO_FIT(std::unique_ptr<uaVariant>, std::vector<std::unique_ptr<uaVariant>>);
    case bit_DiagnosticInfo:
      VARO_FIT(std::unique_ptr<uaDiagnosticInfo>, std::vector<std::unique_ptr<uaDiagnosticInfo>>);
  }
#undef VARO_FIT
  return false;
}

}  // namespace

#define VARO_OBJ_CTOR(T, BIT)                                                      \
  uaVariant::uaVariant(std::unique_ptr<T> v) : fTypeInfo{v ? BIT : bit_null, -1} { \
    if (v) fValue = std::move(v);                                                  \
  }                                                                                \
  uaVariant::uaVariant(std::vector<std::unique_ptr<T>> v) : fTypeInfo{BIT, 1}, fValue(std::move(v)) {}
VARO_OBJ_CTOR(uaNodeId, bit_NodeId)
VARO_OBJ_CTOR(uaExpandedNodeId, bit_ExpandedNodeId)
VARO_OBJ_CTOR(uaQualifiedName, bit_QualifiedName)
VARO_OBJ_CTOR(uaLocalizedText, bit_LocalizedText)
VARO_OBJ_CTOR(uaExtensionObject, bit_ExtensionObject)
VARO_OBJ_CTOR(uaDataValue, bit_DataValue)
VARO_OBJ_CTOR(uaDiagnosticInfo, bit_DiagnosticInfo)
#undef VARO_OBJ_CTOR

uaVariant::uaVariant(std::vector<std::unique_ptr<uaVariant>> v)
    : fTypeInfo{bit_Variant, 1}, fValue(std::move(v)) {}

uaVariant uaVariant::CreateWrapper(std::unique_ptr<uaVariant> v) {
  if (!v) return uaVariant(bit_null, -1, std::monostate{});
  return uaVariant(bit_Variant, -1, std::move(v));
}
uaVariant uaVariant::FromDateTime(TDateTime v) {
  return uaVariant(bit_DateTime, -1, v);
}
uaVariant uaVariant::FromStatusCode(uaStatusCode v) {
  return uaVariant(bit_StatusCode, -1, v);
}
uaVariant uaVariant::FromXmlElement(uaXmlElement v) {
  return uaVariant(bit_XmlElement, -1, std::move(v));
}
uaVariant uaVariant::FromByteValues(ByteArray v) {
  return uaVariant(bit_Byte, 1, std::move(v));
}
uaVariant uaVariant::FromDateTimeArray(std::vector<TDateTime> v) {
  return uaVariant(bit_DateTime, 1, std::move(v));
}
uaVariant uaVariant::FromStatusCodeArray(std::vector<uaStatusCode> v) {
  return uaVariant(bit_StatusCode, 1, std::move(v));
}
uaVariant uaVariant::FromXmlElementArray(std::vector<uaXmlElement> v) {
  return uaVariant(bit_XmlElement, 1, std::move(v));
}

uaVariant uaVariant::Make(uaBuildInType aType, int8_t aValueRank, Storage aValue) {
  if (aType > kMaxBuildInType || (aType == bit_null && aValue.index() != 0) ||
      (aType != bit_null && !StorageFits(aType, aValueRank >= 0, aValue))) {
    throw EConvertError("variant value does not fit its type");
  }
  return uaVariant(aType, aValueRank, std::move(aValue));
}

std::unique_ptr<uaVariant> uaVariant::New(uaBuildInType t, int8_t rank, Storage v) {
  auto r = std::make_unique<uaVariant>();
  r->fTypeInfo = {t, rank};
  r->fValue = std::move(v);
  return r;
}

void uaVariant::ThrowWrongType() {
  throw EConvertError("variant holds another type");
}

uaVariant::uaVariant(const uaVariant& other)
    : fTypeInfo(other.fTypeInfo), fValue(CloneStorage(other.fValue)), fDimensions(other.fDimensions) {}

uaVariant& uaVariant::operator=(const uaVariant& other) {
  if (this != &other) *this = uaVariant(other);
  return *this;
}

bool uaVariant::operator==(const uaVariant& other) const {
  if (fTypeInfo != other.fTypeInfo || fDimensions != other.fDimensions) return false;
  if (fValue.index() != other.fValue.index()) return false;
  return std::visit(
      [&](const auto& a) {
        using T = std::decay_t<decltype(a)>;
        return SameValue(a, std::get<T>(other.fValue));
      },
      fValue);
}

size_t uaVariant::ArrayLength() const {
  if (!IsArray()) return 0;
  return std::visit(
      [](const auto& a) -> size_t {
        using T = std::decay_t<decltype(a)>;
        if constexpr (IsVector<T>::value) {
          return a.size();
        } else {
          return 0;
        }
      },
      fValue);
}

// ---------------------------------------------------------------------------------------
// uaDataValue

uaDataValue::uaDataValue(uaBuildInType aType) : Value(uaVariant::createNullScalar(aType)) {}

uaDataValue::uaDataValue(const uaDataValue& other)
    : Value(other.Value ? std::make_unique<uaVariant>(*other.Value) : nullptr),
      StatusCode(other.StatusCode),
      SourceTimestamp(other.SourceTimestamp),
      SourcePicoSeconds(other.SourcePicoSeconds),
      ServerTimestamp(other.ServerTimestamp),
      ServerPicoSeconds(other.ServerPicoSeconds) {}

uaDataValue& uaDataValue::operator=(const uaDataValue& other) {
  if (this != &other) *this = uaDataValue(other);
  return *this;
}

bool uaDataValue::operator==(const uaDataValue& other) const {
  bool sameValue = (!Value && !other.Value) || (Value && other.Value && *Value == *other.Value);
  return sameValue && StatusCode == other.StatusCode && SourceTimestamp == other.SourceTimestamp &&
         SourcePicoSeconds == other.SourcePicoSeconds && ServerTimestamp == other.ServerTimestamp &&
         ServerPicoSeconds == other.ServerPicoSeconds;
}

// ---------------------------------------------------------------------------------------
// uaVariant -> Variant

namespace {

Variant ExtensionObjectToVariant(const uaExtensionObject* e) {
  if (!e) return Variant(std::string());
  switch (e->Encoding) {
    case uaExtensionObject::eo_None:
      return Variant("none body");
    case uaExtensionObject::eo_BinaryBody:
      return Variant::FromBytes(e->BinaryBody);
    case uaExtensionObject::eo_XmlBody:
      return Variant(e->XmlBody);
    default:
      return Variant(std::string());
  }
}

// The variant-value conversion of one element (or scalar) held as storage type T.
template <class T>
Variant ElementToVariant(uaBuildInType t, const T& v) {
  if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, int8_t> || std::is_same_v<T, uint8_t> ||
                std::is_same_v<T, int16_t> || std::is_same_v<T, uint16_t> || std::is_same_v<T, int32_t> ||
                std::is_same_v<T, uint32_t> || std::is_same_v<T, int64_t> || std::is_same_v<T, uint64_t> ||
                std::is_same_v<T, float>) {
    return Variant(v);
  } else if constexpr (std::is_same_v<T, double>) {
    return t == bit_DateTime ? Variant::FromDate(v) : Variant(v);
  } else if constexpr (std::is_same_v<T, std::string>) {
    return Variant(v);
  } else if constexpr (std::is_same_v<T, TGUID>) {
    return Variant(varo::GUIDToString(v));
  } else if constexpr (std::is_same_v<T, ByteArray>) {
    return Variant::FromBytes(v);
  } else if constexpr (std::is_same_v<T, std::unique_ptr<uaNodeId>> ||
                       std::is_same_v<T, std::unique_ptr<uaExpandedNodeId>>) {
    return Variant(v ? v->ToString() : std::string());
  } else if constexpr (std::is_same_v<T, std::unique_ptr<uaQualifiedName>>) {
    return Variant(v ? v->Name : std::string());
  } else if constexpr (std::is_same_v<T, std::unique_ptr<uaLocalizedText>>) {
    return Variant(v ? v->Text : std::string());
  } else if constexpr (std::is_same_v<T, std::unique_ptr<uaExtensionObject>>) {
    return ExtensionObjectToVariant(v.get());
  } else if constexpr (std::is_same_v<T, std::unique_ptr<uaDataValue>>) {
    return v ? v->ValueToVariant() : Variant::Null();
  } else if constexpr (std::is_same_v<T, std::unique_ptr<uaVariant>>) {
    return ToVariant(v.get());
  } else {
    return Variant::Null();  // DiagnosticInfo is not converted
  }
}

std::string VariantText(const Variant& v) {
  if (!v.isArray()) return v.toString();
  std::string s = "[";
  bool first = true;
  for (const Variant& e : v.elements()) {
    if (!first) s += " | ";
    first = false;
    s += VariantText(e);
  }
  return s + "]";
}

// Element type of the variant array made from a UA array.
varo::VarType ArrayElementType(uaBuildInType t) {
  switch (t) {
    case bit_Boolean:
      return varo::VT_BOOL;
    case bit_SByte:
      return varo::VT_I1;
    case bit_Byte:
      return varo::VT_UI1;
    case bit_Int16:
      return varo::VT_I2;
    case bit_UInt16:
      return varo::VT_UI2;
    case bit_Int32:
      return varo::VT_I4;
    case bit_UInt32:
    case bit_StatusCode:
      return varo::VT_UI4;
    case bit_Int64:
      return varo::VT_I8;
    case bit_UInt64:
      return varo::VT_UI8;
    case bit_Float:
      return varo::VT_R4;
    case bit_Double:
      return varo::VT_R8;
    case bit_DateTime:
      return varo::VT_DATE;
    case bit_ByteString:
    case bit_ExtensionObject:
    case bit_Variant:
      return varo::VT_VARIANT;
    default:
      return varo::VT_BSTR;
  }
}

}  // namespace

Variant uaVariant::ToVariant() const {
  uaBuildInType t = fTypeInfo.BuildInType;
  if (t == bit_null || t == bit_DiagnosticInfo || !HasValue()) return Variant::Null();
  if (!IsArray()) {
    return std::visit(
        [t](const auto& v) -> Variant {
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<T, std::monostate> || IsVector<T>::value) {
            if constexpr (std::is_same_v<T, ByteArray>) {
              return Variant::FromBytes(v);
            } else {
              return Variant::Null();
            }
          } else {
            return ElementToVariant(t, v);
          }
        },
        fValue);
  }
  varo::VarType et = ArrayElementType(t);
  std::vector<Variant> out;
  std::visit(
      [&](const auto& arr) {
        using A = std::decay_t<decltype(arr)>;
        if constexpr (IsVector<A>::value) {
          out.reserve(arr.size());
          for (const auto& e : arr) {
            using E = std::decay_t<decltype(e)>;
            Variant x = ElementToVariant(t, static_cast<const E&>(e));
            if (et == varo::VT_BSTR && x.type() != varo::VT_BSTR) x = Variant(VariantText(x));
            out.push_back(std::move(x));
          }
        }
      },
      fValue);
  return Variant::Array(et, std::move(out));
}

Variant ToVariant(const uaVariant* aValue) {
  return aValue ? aValue->ToVariant() : Variant::Null();
}

std::string uaVariant::ToString() const {
  return varo::SanitizeUtf8(VariantText(ToVariant()));
}

// ---------------------------------------------------------------------------------------
// Variant -> uaVariant

uaBuildInType uaVariant::VariantToUADatatype(const Variant& aValue) {
  switch (aValue.type() & varo::VT_TYPEMASK) {
    case varo::VT_EMPTY:
    case varo::VT_NULL:
    case varo::VT_UNKNOWN:
      return bit_null;
    case varo::VT_I2:
      return bit_Int16;
    case varo::VT_I4:
      return bit_Int32;
    case varo::VT_R4:
      return bit_Float;
    case varo::VT_R8:
    case varo::VT_CY:
      return bit_Double;
    case varo::VT_DATE:
      return bit_DateTime;
    case varo::VT_BSTR:
    case varo::VT_DISPATCH:
    case varo::VT_ERROR:
    case 256:
    case 258:
      return bit_String;
    case varo::VT_BOOL:
      return bit_Boolean;
    case varo::VT_VARIANT:
    case 257:
      return bit_Variant;
    case varo::VT_I1:
      return bit_SByte;
    case varo::VT_UI1:
      return bit_Byte;
    case varo::VT_UI2:
      return bit_UInt16;
    case varo::VT_UI4:
      return bit_UInt32;
    case varo::VT_I8:
      return bit_Int64;
    case varo::VT_UI8:
      return bit_UInt64;
    default:
      NotSupported();
  }
}

std::unique_ptr<uaVariant> uaVariant::VariantToUaVariant(const Variant& aValue) {
  return Create(aValue, VariantToUADatatype(aValue));
}

std::unique_ptr<uaVariant> uaVariant::Create(const Variant& aValue, uaBuildInType atype) {
  if (atype == bit_null || aValue.isEmptyOrNull()) return nullptr;
  bool isArray =
      atype == bit_ByteString ? aValue.type() == (varo::VT_ARRAY | varo::VT_VARIANT) : aValue.isArray();
  return isArray ? createArray(aValue, atype) : createScalar(aValue, atype);
}

namespace {

[[noreturn]] void Overflow(const Variant& v, const char* target) {
  throw EVariantError("Overflow while converting variant of type (" + varo::VarTypeName(v.type()) +
                      ") into type (" + target + ")");
}

template <class T>
T IntIn(const Variant& v, const char* target) {
  int64_t x = v.toInt64();
  if (x < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
      x > static_cast<int64_t>(std::numeric_limits<T>::max())) {
    Overflow(v, target);
  }
  return static_cast<T>(x);
}

uint32_t UInt32In(const Variant& v, const char* target) {
  if (v.type() == varo::VT_UI8 || v.type() == varo::VT_UI4 || v.type() == varo::VT_ERROR) {
    uint64_t x = v.toUInt64();
    if (x > 0xFFFFFFFFu) Overflow(v, target);
    return static_cast<uint32_t>(x);
  }
  int64_t x = v.toInt64();
  if (x < 0 || x > 0xFFFFFFFFLL) Overflow(v, target);
  return static_cast<uint32_t>(x);
}

// The scalar of a type as storage (monostate for "no object").
uaVariant::Storage ScalarStorage(const Variant& v, uaBuildInType t) {
  switch (t) {
    case bit_null:
      return std::monostate{};
    case bit_Boolean:
      return v.toBool();
    case bit_SByte:
      return IntIn<int8_t>(v, "VT_I1");
    case bit_Byte:
      return IntIn<uint8_t>(v, "VT_UI1");
    case bit_Int16:
      return IntIn<int16_t>(v, "VT_I2");
    case bit_UInt16:
      return IntIn<uint16_t>(v, "VT_UI2");
    case bit_Int32:
      return IntIn<int32_t>(v, "VT_I4");
    case bit_UInt32:
      return UInt32In(v, "VT_UI4");
    case bit_StatusCode:
      return UInt32In(v, "VT_UI4");
    case bit_Int64:
      return v.toInt64();
    case bit_UInt64:
      return v.toUInt64();
    case bit_Float: {
      double d = v.toDouble();
      if (std::isfinite(d) && std::fabs(d) > FLT_MAX) Overflow(v, "VT_R4");
      return static_cast<float>(d);
    }
    case bit_Double:
      return v.toDouble();
    case bit_DateTime:
      return v.toDate();
    case bit_String:
    case bit_XmlElement:
      return v.toString();
    case bit_Guid:
      return varo::StringToGUID(v.toString());
    case bit_ByteString:
      return v.toBytes();
    case bit_NodeId:
      return std::make_unique<uaNodeId>(NodeIdFromString(v.toString()));
    case bit_ExpandedNodeId:
      return std::make_unique<uaExpandedNodeId>(ExpandedNodeIdFromString(v.toString()));
    case bit_QualifiedName:
      return std::make_unique<uaQualifiedName>(v.toString(), 0);
    case bit_LocalizedText:
      return std::make_unique<uaLocalizedText>(v.toString(), "");
    case bit_Variant: {
      std::unique_ptr<uaVariant> inner = uaVariant::VariantToUaVariant(v);
      if (!inner) return std::monostate{};
      return inner;
    }
    default:
      NotSupported();
  }
}

uaVariant::Storage DefaultStorage(uaBuildInType t) {
  switch (t) {
    case bit_null:
      return std::monostate{};
    case bit_Boolean:
      return false;
    case bit_SByte:
      return int8_t{0};
    case bit_Byte:
      return uint8_t{0};
    case bit_Int16:
      return int16_t{0};
    case bit_UInt16:
      return uint16_t{0};
    case bit_Int32:
      return int32_t{0};
    case bit_UInt32:
    case bit_StatusCode:
      return uint32_t{0};
    case bit_Int64:
      return int64_t{0};
    case bit_UInt64:
      return uint64_t{0};
    case bit_Float:
      return 0.0f;
    case bit_Double:
    case bit_DateTime:
      return 0.0;
    case bit_String:
    case bit_XmlElement:
      return std::string();
    case bit_Guid:
      return TGUID{};
    case bit_ByteString:
      return ByteArray();
    case bit_NodeId:
      return std::make_unique<uaNodeId>(NodeIdFromString("0"));
    case bit_ExpandedNodeId:
      return std::make_unique<uaExpandedNodeId>(ExpandedNodeIdFromString("0"));
    case bit_QualifiedName:
      return std::make_unique<uaQualifiedName>();
    case bit_LocalizedText:
      return std::make_unique<uaLocalizedText>();
    case bit_ExtensionObject:
      return std::make_unique<uaExtensionObject>();
    default:
      NotSupported();
  }
}

bool ArraySupported(uaBuildInType t) {
  return t != bit_null && t != bit_ExtensionObject && t != bit_DataValue && t != bit_DiagnosticInfo &&
         t <= kMaxBuildInType;
}

// The empty array storage of a type.
uaVariant::Storage EmptyArrayStorage(uaBuildInType t) {
  switch (t) {
    case bit_Boolean:
      return std::vector<bool>();
    case bit_SByte:
      return std::vector<int8_t>();
    case bit_Byte:
      return ByteArray();
    case bit_Int16:
      return std::vector<int16_t>();
    case bit_UInt16:
      return std::vector<uint16_t>();
    case bit_Int32:
      return std::vector<int32_t>();
    case bit_UInt32:
    case bit_StatusCode:
      return std::vector<uint32_t>();
    case bit_Int64:
      return std::vector<int64_t>();
    case bit_UInt64:
      return std::vector<uint64_t>();
    case bit_Float:
      return std::vector<float>();
    case bit_Double:
    case bit_DateTime:
      return std::vector<double>();
    case bit_String:
    case bit_XmlElement:
      return std::vector<std::string>();
    case bit_Guid:
      return std::vector<TGUID>();
    case bit_ByteString:
      return std::vector<ByteArray>();
    case bit_NodeId:
      return std::vector<std::unique_ptr<uaNodeId>>();
    case bit_ExpandedNodeId:
      return std::vector<std::unique_ptr<uaExpandedNodeId>>();
    case bit_QualifiedName:
      return std::vector<std::unique_ptr<uaQualifiedName>>();
    case bit_LocalizedText:
      return std::vector<std::unique_ptr<uaLocalizedText>>();
    case bit_ExtensionObject:
      return std::vector<std::unique_ptr<uaExtensionObject>>();
    case bit_DataValue:
      return std::vector<std::unique_ptr<uaDataValue>>();
    case bit_Variant:
      return std::vector<std::unique_ptr<uaVariant>>();
    case bit_DiagnosticInfo:
      return std::vector<std::unique_ptr<uaDiagnosticInfo>>();
    default:
      return std::monostate{};
  }
}

// Appends a scalar storage to an array storage of the matching element type.
void AppendElement(uaVariant::Storage& arr, uaVariant::Storage&& elem) {
  std::visit(
      [&](auto& a) {
        using A = std::decay_t<decltype(a)>;
        if constexpr (IsVector<A>::value) {
          using E = typename A::value_type;
          if (E* p = std::get_if<E>(&elem)) {
            a.push_back(std::move(*p));
          } else if constexpr (IsUniquePtr<E>::value) {
            a.push_back(nullptr);  // no object
          } else {
            throw EVariantError("data type not supported as array");
          }
        }
      },
      arr);
}

}  // namespace

std::unique_ptr<uaVariant> uaVariant::createScalar(const Variant& aValue, uaBuildInType atype) {
  if (atype == bit_null) return nullptr;
  Storage s = ScalarStorage(aValue, atype);
  if (s.index() == 0) return nullptr;
  return New(atype, -1, std::move(s));
}

std::unique_ptr<uaVariant> uaVariant::createArray(const Variant& aValue, uaBuildInType atype) {
  if (!ArraySupported(atype)) throw EVariantError("data type not supported as array");
  if (!aValue.isArray()) throw EVariantError("data type not an array");
  Storage arr = EmptyArrayStorage(atype);
  for (const Variant& e : aValue.elements()) AppendElement(arr, ScalarStorage(e, atype));
  return New(atype, 1, std::move(arr));
}

std::unique_ptr<uaVariant> uaVariant::createNullScalar(uaBuildInType atype) {
  if (atype == bit_null) return nullptr;
  return New(atype, -1, DefaultStorage(atype));
}

std::unique_ptr<uaVariant> uaVariant::createNullArray(int32_t aLength, uaBuildInType atype) {
  if (atype == bit_null) return nullptr;
  if (atype == bit_DataValue || atype == bit_Variant || atype == bit_DiagnosticInfo ||
      atype > kMaxBuildInType) {
    throw EVariantError("data type not supported as array");
  }
  Storage arr = EmptyArrayStorage(atype);
  for (int32_t i = 0; i < aLength; ++i) AppendElement(arr, DefaultStorage(atype));
  return New(atype, 1, std::move(arr));
}

std::unique_ptr<uaVariant> uaVariant::createNullArray(int32_t aLength, const uaTypeInfo& atype) {
  if (atype.ValueRank < 0) throw EVariantError("data type not an array");
  return createNullArray(aLength, atype.BuildInType);
}

std::unique_ptr<uaVariant> uaVariant::createArrayFromString(const std::vector<std::string>& aValues,
                                                            uaBuildInType atype) {
  varo::VarType vt;
  switch (atype) {
    case bit_null:
      return nullptr;
    case bit_Boolean:
      vt = varo::VT_BOOL;
      break;
    case bit_SByte:
      vt = varo::VT_I1;
      break;
    case bit_Byte:
    case bit_ByteString:
      vt = varo::VT_UI1;
      break;
    case bit_Int16:
      vt = varo::VT_I2;
      break;
    case bit_UInt16:
      vt = varo::VT_UI2;
      break;
    case bit_Int32:
      vt = varo::VT_I4;
      break;
    case bit_UInt32:
      vt = varo::VT_UI4;
      break;
    case bit_Int64:
      vt = varo::VT_I8;
      break;
    case bit_UInt64:
      vt = varo::VT_UI8;
      break;
    case bit_Float:
      vt = varo::VT_R4;
      break;
    case bit_Double:
      vt = varo::VT_R8;
      break;
    case bit_String:
      vt = varo::VT_BSTR;
      break;
    case bit_DateTime:
      vt = varo::VT_DATE;
      break;
    case bit_Variant:
      vt = varo::VT_VARIANT;
      break;
    default:
      NotSupported();
  }
  std::vector<Variant> elements;
  elements.reserve(aValues.size());
  for (const std::string& s : aValues) {
    elements.push_back(vt == varo::VT_VARIANT ? Variant(s) : Variant(s).changeType(vt));
  }
  return createArray(Variant::Array(vt, std::move(elements)), atype);
}

void uaVariant::uaSetArray(uaVariant& aValue, int32_t aIndex, const Variant& aNewValue) {
  if (!aValue.IsArray()) throw EVariantError("data type not an array");
  if (aIndex < 0 || static_cast<size_t>(aIndex) >= aValue.ArrayLength()) {
    throw EVariantError("array index out of range");
  }
  Storage elem = ScalarStorage(aNewValue, aValue.BuildInType());
  std::visit(
      [&](auto& a) {
        using A = std::decay_t<decltype(a)>;
        if constexpr (IsVector<A>::value) {
          using E = typename A::value_type;
          if (E* p = std::get_if<E>(&elem)) {
            a[static_cast<size_t>(aIndex)] = std::move(*p);
          } else if constexpr (IsUniquePtr<E>::value) {
            a[static_cast<size_t>(aIndex)] = nullptr;
          } else {
            throw EVariantError("data type not supported as array");
          }
        }
      },
      aValue.fValue);
}

Variant uaVariant::uaVariantArrayToVariantArrayLoop(const std::vector<std::unique_ptr<uaVariant>>& aValue) {
  std::vector<Variant> out;
  out.reserve(aValue.size());
  for (const auto& e : aValue) out.push_back(ua::ToVariant(e.get()));
  return Variant::Array(varo::VT_VARIANT, std::move(out));
}

Variant uaVariant::uaVariantToVariantArrayLoop(const uaVariant& aValue) {
  if (auto p = aValue.GetIf<std::vector<std::unique_ptr<uaVariant>>>())
    return uaVariantArrayToVariantArrayLoop(*p);
  return aValue.ToVariant();
}

}  // namespace varo::ua
