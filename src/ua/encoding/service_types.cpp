// SPDX-License-Identifier: MPL-2.0
// Every operation of the structured service types, generated from service_types.def: one
// pass of the table per operation, each field handled by the routine of its kind.
#include "ua/encoding/service_types.h"

#include <string>
#include <unordered_map>

#include "platform/datetime.h"
#include "platform/error.h"
#include "platform/strings.h"
#include "ua/encoding/binary_codec.h"

namespace varo::ua {
namespace {

// ---------------------------------------------------------------------------------------
// Text pieces of ToString

const char kCrLf[] = "\r\n";

std::string Quote(std::string_view s) {
  std::string r;
  r.reserve(s.size() + 2);
  r += '"';
  r += s;
  r += '"';
  return r;
}

std::string TxtBool(bool v) {
  return Quote(v ? "-1" : "0");
}
std::string TxtInt(int64_t v) {
  return Quote(IntToStr(v));
}
std::string TxtUInt(uint64_t v) {
  return Quote(UIntToStr(v));
}
std::string TxtDouble(double v) {
  return Quote(FloatToStr(v));
}
// A date-time from the wire may lie outside the range the display text covers (beyond
// 9999-12-31); the text form then shows the raw day count instead of failing.
std::string TxtDateTime(TDateTime v) {
  try {
    return Quote(DateTimeToString(v));
  } catch (const EConvertError&) {
    return Quote(FloatToStr(v));
  }
}
std::string TxtString(const std::string& v) {
  return Quote(v);
}
std::string TxtBytes(const ByteArray& v) {
  std::string r = "\"";
  for (uint8_t b : v) r += UIntToStr(b);
  r += '"';
  return r;
}
// An object: its own text, quoted unless it starts with "{"; null gives two double quotes.
template <class T>
std::string TxtObj(const T* p) {
  if (p == nullptr) return "\"\"";
  std::string s;
  try {
    s = p->ToString();
  } catch (const EConvertError& e) {
    // A value from the wire without a text form (a date beyond 9999-12-31 in a variant):
    // the conversion error takes its place, the rest of the message still prints.
    s = std::string("(") + e.what() + ")";
  }
  if (!s.empty() && s.front() == '{') return s;
  return Quote(s);
}
template <class T>
std::string TxtObj(const std::unique_ptr<T>& p) {
  return TxtObj(p.get());
}
template <class E>
std::string TxtEnum(const std::unique_ptr<uaEnum>& p) {
  if (!p) return "\"\"";
  return Quote(E::ToString(p->Value));
}
template <class V, class F>
std::string TxtArray(const std::vector<V>& v, F&& one) {
  if (v.empty()) return "[\"\"]";
  std::string r = "[";
  bool first = true;
  for (const auto& e : v) {
    if (!first) {
      r += ',';
      r += kCrLf;
    }
    first = false;
    r += one(e);
  }
  r += ']';
  return r;
}

// The first line of a type's text; aTypeText is the class name or the base type's text.
std::string TextHead(std::string_view aTypeText, int32_t aObjNo) {
  std::string r = "{\"ClassId\":\"";
  r += aTypeText;
  r += '-';
  r += IntToStr(aObjNo);
  r += "\",";
  r += kCrLf;
  return r;
}

void AddField(std::string& out, bool& first, const char* name, const std::string& value) {
  if (!first) {
    out += ',';
    out += kCrLf;
  }
  first = false;
  out += '"';
  out += name;
  out += "\":";
  out += value;
}

template <class T>
std::unique_ptr<TuaObj> CreateOne() {
  return std::make_unique<T>();
}

// Resizes an array of structures; new slots get new default objects.
template <class T>
void SetLength(std::vector<std::unique_ptr<T>>& v, size_t n) {
  size_t old = v.size();
  v.resize(n);
  for (size_t i = old; i < n; ++i) v[i] = std::make_unique<T>();
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Enumerations

#define UA_ENUM(Enum)                          \
  std::string Enum::ToString(int32_t aValue) { \
    switch (aValue) {
#define UA_ENUM_VALUE(Enum, Value, Name) \
  case Value:                            \
    return Name;
#define UA_ENUM_END(Enum)              \
  default:                             \
    break;                             \
    }                                  \
    return "NONE " + IntToStr(aValue); \
    }
#define UA_SKIP_TYPES
#include "ua/encoding/service_types.def"
#undef UA_SKIP_TYPES

// ---------------------------------------------------------------------------------------
// Constructors, virtual constructor, destructor, header access

#define UA_CTOR_Boolean(Field, Arg)
#define UA_CTOR_Byte(Field, Arg)
#define UA_CTOR_UInt16(Field, Arg)
#define UA_CTOR_Int32(Field, Arg)
#define UA_CTOR_UInt32(Field, Arg)
#define UA_CTOR_Double(Field, Arg)
#define UA_CTOR_DateTime(Field, Arg)
#define UA_CTOR_StatusCode(Field, Arg)
#define UA_CTOR_String(Field, Arg)
#define UA_CTOR_ByteString(Field, Arg)
#define UA_CTOR_NodeId(Field, Arg)
#define UA_CTOR_ExpandedNodeId(Field, Arg)
#define UA_CTOR_QualifiedName(Field, Arg)
#define UA_CTOR_LocalizedText(Field, Arg)
#define UA_CTOR_ExtensionObject(Field, Arg)
#define UA_CTOR_DataValue(Field, Arg)
#define UA_CTOR_Variant(Field, Arg)
#define UA_CTOR_DiagnosticInfo(Field, Arg)
#define UA_CTOR_Enum(Field, Arg)
#define UA_CTOR_Struct(Field, Arg) Field = std::make_unique<Arg>();
#define UA_CTOR_Array(Field, Arg)
#define UA_CTOR_StructArray(Field, Arg)

#define UA_HEADER_Structure(Class)
#define UA_HEADER_Derived(Class)
#define UA_HEADER_Request(Class)                     \
  uaRequestHeader* Class::GetRequestHeader() const { \
    return RequestHeader.get();                      \
  }
#define UA_HEADER_Response(Class)                      \
  uaResponseHeader* Class::GetResponseHeader() const { \
    return ResponseHeader.get();                       \
  }

#define UA_TYPE(Class, ObjNo_, Category, Base)                  \
  Class::~Class() = default;                                    \
  std::unique_ptr<TuaObj> Class::Create() const {               \
    return std::make_unique<Class>();                           \
  }                                                             \
  void Class::Encode(IuaEncoder& aEncoder) const {              \
    EncodeFields(aEncoder);                                     \
  }                                                             \
  void Class::Decode(IuaDecoder& aDecoder) {                    \
    DecodeFields(aDecoder);                                     \
  }                                                             \
  UA_HEADER_##Category(Class) Class::Class() : Class(kObjNo) {} \
  Class::Class(int32_t aObjNo) : Base(aObjNo) {
#define UA_FIELD(Class, Field, Kind, Arg) UA_CTOR_##Kind(Field, Arg)
#define UA_END(Class) }
#define UA_SKIP_ENUMS
#include "ua/encoding/service_types.def"

// ---------------------------------------------------------------------------------------
// Resizing of arrays of structures

#define UA_FIELD(Class, Field, Kind, Arg) UA_SETLEN_##Kind(Class, Field, Arg)
#define UA_SETLEN_StructArray(Class, Field, Arg)  \
  void Class::Field##_Setlength(size_t aLength) { \
    SetLength(Field, aLength);                    \
  }
#define UA_SETLEN_Boolean(Class, Field, Arg)
#define UA_SETLEN_Byte(Class, Field, Arg)
#define UA_SETLEN_UInt16(Class, Field, Arg)
#define UA_SETLEN_Int32(Class, Field, Arg)
#define UA_SETLEN_UInt32(Class, Field, Arg)
#define UA_SETLEN_Double(Class, Field, Arg)
#define UA_SETLEN_DateTime(Class, Field, Arg)
#define UA_SETLEN_StatusCode(Class, Field, Arg)
#define UA_SETLEN_String(Class, Field, Arg)
#define UA_SETLEN_ByteString(Class, Field, Arg)
#define UA_SETLEN_NodeId(Class, Field, Arg)
#define UA_SETLEN_ExpandedNodeId(Class, Field, Arg)
#define UA_SETLEN_QualifiedName(Class, Field, Arg)
#define UA_SETLEN_LocalizedText(Class, Field, Arg)
#define UA_SETLEN_ExtensionObject(Class, Field, Arg)
#define UA_SETLEN_DataValue(Class, Field, Arg)
#define UA_SETLEN_Variant(Class, Field, Arg)
#define UA_SETLEN_DiagnosticInfo(Class, Field, Arg)
#define UA_SETLEN_Enum(Class, Field, Arg)
#define UA_SETLEN_Struct(Class, Field, Arg)
#define UA_SETLEN_Array(Class, Field, Arg)
#define UA_SKIP_ENUMS
#include "ua/encoding/service_types.def"

// ---------------------------------------------------------------------------------------
// Encoding: the base type's fields first (derived types), then the own fields in order

#define UA_ENC_SCALAR(Field) aEncoder.Write(Field, #Field);
#define UA_ENC_Boolean(Field, Arg) UA_ENC_SCALAR(Field)
#define UA_ENC_Byte(Field, Arg) UA_ENC_SCALAR(Field)
#define UA_ENC_UInt16(Field, Arg) UA_ENC_SCALAR(Field)
#define UA_ENC_Int32(Field, Arg) UA_ENC_SCALAR(Field)
#define UA_ENC_UInt32(Field, Arg) UA_ENC_SCALAR(Field)
#define UA_ENC_Double(Field, Arg) UA_ENC_SCALAR(Field)
#define UA_ENC_DateTime(Field, Arg) aEncoder.WriteDateTime(Field, #Field);
#define UA_ENC_StatusCode(Field, Arg) aEncoder.WriteStatusCode(Field, #Field);
#define UA_ENC_String(Field, Arg) UA_ENC_SCALAR(Field)
#define UA_ENC_ByteString(Field, Arg) UA_ENC_SCALAR(Field)
#define UA_ENC_NodeId(Field, Arg) UA_ENC_SCALAR(Field)
#define UA_ENC_ExpandedNodeId(Field, Arg) UA_ENC_SCALAR(Field)
#define UA_ENC_QualifiedName(Field, Arg) UA_ENC_SCALAR(Field)
#define UA_ENC_LocalizedText(Field, Arg) UA_ENC_SCALAR(Field)
#define UA_ENC_ExtensionObject(Field, Arg) UA_ENC_SCALAR(Field)
#define UA_ENC_DataValue(Field, Arg) UA_ENC_SCALAR(Field)
#define UA_ENC_Variant(Field, Arg) UA_ENC_SCALAR(Field)
#define UA_ENC_DiagnosticInfo(Field, Arg) UA_ENC_SCALAR(Field)
#define UA_ENC_Enum(Field, Arg) UA_ENC_SCALAR(Field)
#define UA_ENC_Struct(Field, Arg) aEncoder.Write(static_cast<const TuaObj*>(Field.get()), #Field);
#define UA_ENC_Array(Field, Arg) UA_ENC_SCALAR(Field)
#define UA_ENC_StructArray(Field, Arg) aEncoder.WriteObjArray(Field, #Field);

#define UA_ENCBASE_Structure(Base)
#define UA_ENCBASE_Request(Base)
#define UA_ENCBASE_Response(Base)
#define UA_ENCBASE_Derived(Base) Base::EncodeFields(aEncoder);

#define UA_TYPE(Class, ObjNo_, Category, Base)                            \
  void Class::EncodeFields([[maybe_unused]] IuaEncoder& aEncoder) const { \
    UA_ENCBASE_##Category(Base)
#define UA_FIELD(Class, Field, Kind, Arg) UA_ENC_##Kind(Field, Arg)
#define UA_END(Class) }
#define UA_SKIP_ENUMS
#include "ua/encoding/service_types.def"

// ---------------------------------------------------------------------------------------
// Decoding, in the same order. Every array goes through the decoder's array readers, which
// bound the count by the bytes left; nothing is allocated by an announced count.

#define UA_DEC_SCALAR(Field) aDecoder.Read(Field, #Field);
#define UA_DEC_Boolean(Field, Arg) UA_DEC_SCALAR(Field)
#define UA_DEC_Byte(Field, Arg) UA_DEC_SCALAR(Field)
#define UA_DEC_UInt16(Field, Arg) UA_DEC_SCALAR(Field)
#define UA_DEC_Int32(Field, Arg) UA_DEC_SCALAR(Field)
#define UA_DEC_UInt32(Field, Arg) UA_DEC_SCALAR(Field)
#define UA_DEC_Double(Field, Arg) UA_DEC_SCALAR(Field)
#define UA_DEC_DateTime(Field, Arg) aDecoder.ReadDateTime(Field, #Field);
#define UA_DEC_StatusCode(Field, Arg) aDecoder.ReadStatusCode(Field, #Field);
#define UA_DEC_String(Field, Arg) UA_DEC_SCALAR(Field)
#define UA_DEC_ByteString(Field, Arg) UA_DEC_SCALAR(Field)
#define UA_DEC_NodeId(Field, Arg) UA_DEC_SCALAR(Field)
#define UA_DEC_ExpandedNodeId(Field, Arg) UA_DEC_SCALAR(Field)
#define UA_DEC_QualifiedName(Field, Arg) UA_DEC_SCALAR(Field)
#define UA_DEC_LocalizedText(Field, Arg) UA_DEC_SCALAR(Field)
#define UA_DEC_ExtensionObject(Field, Arg) UA_DEC_SCALAR(Field)
#define UA_DEC_DataValue(Field, Arg) UA_DEC_SCALAR(Field)
#define UA_DEC_Variant(Field, Arg) UA_DEC_SCALAR(Field)
#define UA_DEC_DiagnosticInfo(Field, Arg) UA_DEC_SCALAR(Field)
#define UA_DEC_Enum(Field, Arg) UA_DEC_SCALAR(Field)
// A nested structure decodes into the object the constructor made (made anew when cleared).
#define UA_DEC_Struct(Field, Arg)              \
  if (!Field) Field = std::make_unique<Arg>(); \
  aDecoder.Read(static_cast<TuaObj&>(*Field), #Field);
#define UA_DEC_Array(Field, Arg) UA_DEC_SCALAR(Field)
#define UA_DEC_StructArray(Field, Arg) aDecoder.ReadObjArray(Field, #Field);

#define UA_DECBASE_Structure(Base)
#define UA_DECBASE_Request(Base)
#define UA_DECBASE_Response(Base)
#define UA_DECBASE_Derived(Base) Base::DecodeFields(aDecoder);

#define UA_TYPE(Class, ObjNo_, Category, Base)                      \
  void Class::DecodeFields([[maybe_unused]] IuaDecoder& aDecoder) { \
    UA_DECBASE_##Category(Base)
#define UA_FIELD(Class, Field, Kind, Arg) UA_DEC_##Kind(Field, Arg)
#define UA_END(Class) }
#define UA_SKIP_ENUMS
#include "ua/encoding/service_types.def"

// ---------------------------------------------------------------------------------------
// Text form

#define UA_TXT_Boolean(v) TxtBool(v)
#define UA_TXT_Byte(v) TxtInt(v)
#define UA_TXT_UInt16(v) TxtInt(v)
#define UA_TXT_Int32(v) TxtInt(v)
#define UA_TXT_UInt32(v) TxtUInt(v)
#define UA_TXT_Double(v) TxtDouble(v)
#define UA_TXT_DateTime(v) TxtDateTime(v)
#define UA_TXT_StatusCode(v) TxtUInt(v)
#define UA_TXT_String(v) TxtString(v)
#define UA_TXT_ByteString(v) TxtBytes(v)
#define UA_TXT_NodeId(v) TxtObj(v)
#define UA_TXT_ExpandedNodeId(v) TxtObj(v)
#define UA_TXT_QualifiedName(v) TxtObj(v)
#define UA_TXT_LocalizedText(v) TxtObj(v)
#define UA_TXT_ExtensionObject(v) TxtObj(v)
#define UA_TXT_DataValue(v) TxtObj(v)
#define UA_TXT_Variant(v) TxtObj(v)
#define UA_TXT_DiagnosticInfo(v) TxtObj(v)

#define UA_TXTF_SCALAR(Field, Kind) AddField(r, first, #Field, UA_TXT_##Kind(Field));
#define UA_TXTF_Boolean(Field, Arg) UA_TXTF_SCALAR(Field, Boolean)
#define UA_TXTF_Byte(Field, Arg) UA_TXTF_SCALAR(Field, Byte)
#define UA_TXTF_UInt16(Field, Arg) UA_TXTF_SCALAR(Field, UInt16)
#define UA_TXTF_Int32(Field, Arg) UA_TXTF_SCALAR(Field, Int32)
#define UA_TXTF_UInt32(Field, Arg) UA_TXTF_SCALAR(Field, UInt32)
#define UA_TXTF_Double(Field, Arg) UA_TXTF_SCALAR(Field, Double)
#define UA_TXTF_DateTime(Field, Arg) UA_TXTF_SCALAR(Field, DateTime)
#define UA_TXTF_StatusCode(Field, Arg) UA_TXTF_SCALAR(Field, StatusCode)
#define UA_TXTF_String(Field, Arg) UA_TXTF_SCALAR(Field, String)
#define UA_TXTF_ByteString(Field, Arg) UA_TXTF_SCALAR(Field, ByteString)
#define UA_TXTF_NodeId(Field, Arg) UA_TXTF_SCALAR(Field, NodeId)
#define UA_TXTF_ExpandedNodeId(Field, Arg) UA_TXTF_SCALAR(Field, ExpandedNodeId)
#define UA_TXTF_QualifiedName(Field, Arg) UA_TXTF_SCALAR(Field, QualifiedName)
#define UA_TXTF_LocalizedText(Field, Arg) UA_TXTF_SCALAR(Field, LocalizedText)
#define UA_TXTF_ExtensionObject(Field, Arg) UA_TXTF_SCALAR(Field, ExtensionObject)
#define UA_TXTF_DataValue(Field, Arg) UA_TXTF_SCALAR(Field, DataValue)
#define UA_TXTF_Variant(Field, Arg) UA_TXTF_SCALAR(Field, Variant)
#define UA_TXTF_DiagnosticInfo(Field, Arg) UA_TXTF_SCALAR(Field, DiagnosticInfo)
#define UA_TXTF_Enum(Field, Arg) AddField(r, first, #Field, TxtEnum<Arg>(Field));
#define UA_TXTF_Struct(Field, Arg) AddField(r, first, #Field, TxtObj(Field));
#define UA_TXTF_Array(Field, Arg) \
  AddField(r, first, #Field, TxtArray(Field, [](const auto& e) { return UA_TXT_##Arg(e); }));
#define UA_TXTF_StructArray(Field, Arg) \
  AddField(r, first, #Field, TxtArray(Field, [](const auto& e) { return TxtObj(e); }));

// The type text: the class name, or for a derived type the whole text of its base part.
#define UA_TYPETEXT_Structure(Base) std::string(kClassName)
#define UA_TYPETEXT_Request(Base) std::string(kClassName)
#define UA_TYPETEXT_Response(Base) std::string(kClassName)
#define UA_TYPETEXT_Derived(Base) Base::ToString()

#define UA_TYPE(Class, ObjNo_, Category, Base)                     \
  std::string Class::ToString() const {                            \
    std::string r = TextHead(UA_TYPETEXT_##Category(Base), ObjNo); \
    [[maybe_unused]] bool first = true;
#define UA_FIELD(Class, Field, Kind, Arg) UA_TXTF_##Kind(Field, Arg)
#define UA_END(Class)     \
  if (!first) r += kCrLf; \
  r += '}';               \
  r += kCrLf;             \
  return r;               \
  }
#define UA_SKIP_ENUMS
#include "ua/encoding/service_types.def"

// ---------------------------------------------------------------------------------------
// The table at run time

const std::vector<ServiceTypeInfo>& ServiceTypeTable() {
  static const std::vector<ServiceTypeInfo> table = {
#define UA_TYPE(Class, ObjNo_, Category, Base) {#Class, ObjNo_, #Category, #Base, {
#define UA_FIELD(Class, Field, Kind, Arg) {#Field, #Kind, #Arg},
#define UA_END(Class) \
  }                   \
  , &CreateOne<Class> \
  }                   \
  ,
#define UA_SKIP_ENUMS
#include "ua/encoding/service_types.def"
  };
  return table;
}

const std::vector<ServiceEnumInfo>& ServiceEnumTable() {
  static const std::vector<ServiceEnumInfo> table = {
#define UA_ENUM(Enum) {#Enum, {
#define UA_ENUM_VALUE(Enum, Value, Name) {Value, Name},
#define UA_ENUM_END(Enum) \
  }                       \
  }                       \
  ,
#define UA_SKIP_TYPES
#include "ua/encoding/service_types.def"
#undef UA_SKIP_TYPES
  };
  return table;
}

const ServiceTypeInfo* FindServiceType(int32_t aObjNo) {
  static const std::unordered_map<int32_t, const ServiceTypeInfo*> byId = [] {
    std::unordered_map<int32_t, const ServiceTypeInfo*> m;
    for (const auto& t : ServiceTypeTable()) m.emplace(t.objNo, &t);
    return m;
  }();
  auto it = byId.find(aObjNo);
  return it == byId.end() ? nullptr : it->second;
}

std::unique_ptr<TuaObj> CreateServiceObject(int32_t aObjNo) {
  const ServiceTypeInfo* t = FindServiceType(aObjNo);
  return t ? t->create() : nullptr;
}

const std::vector<ServiceInfo>& ServiceInfoTable() {
  static const std::vector<ServiceInfo> table = [] {
    std::vector<ServiceInfo> v;
    std::unordered_map<std::string, int32_t> responses;
    for (const auto& t : ServiceTypeTable()) {
      if (std::string_view(t.category) == "Response") responses.emplace(t.name, t.objNo);
    }
    for (const auto& t : ServiceTypeTable()) {
      std::string_view n = t.name;
      if (std::string_view(t.category) != "Request" || !EndsWith(n, "Request")) continue;
      std::string stem(n.substr(2, n.size() - 2 - 7));  // without "ua" and "Request"
      auto it = responses.find("ua" + stem + "Response");
      if (it == responses.end()) continue;
      v.push_back({stem, t.objNo, it->second});
    }
    return v;
  }();
  return table;
}

int32_t ResponseIdForRequest(int32_t aRequestId) {
  for (const auto& s : ServiceInfoTable()) {
    if (s.requestId == aRequestId) return s.responseId;
  }
  return 0;
}

// ---------------------------------------------------------------------------------------
// Service messages

void WriteServiceMessage(IuaEncoder& aEncoder, const TuaObj& aObj) {
  aEncoder.WriteMessage(aObj, "Message");
}

std::unique_ptr<TuaObj> ReadServiceMessage(IuaDecoder& aDecoder) {
  uint32_t id = 0;
  aDecoder.ReadMessageId(id, "TypeId");
  std::unique_ptr<TuaObj> obj = id <= INT32_MAX ? CreateServiceObject(static_cast<int32_t>(id)) : nullptr;
  if (!obj) throw EuaDecodeError(Format("unknown message type (encoding id %u)", id));
  aDecoder.Read(*obj, "Body");
  return obj;
}

std::unique_ptr<TuaObj> DecodeServiceMessage(ByteSpan aBytes, bool aRequireEnd) {
  TuaBinaryDecoder decoder(aBytes);
  auto obj = ReadServiceMessage(decoder);
  if (aRequireEnd && !decoder.AtEnd()) {
    throw EuaDecodeError(Format("%zu bytes left after the message body", decoder.Remaining()));
  }
  return obj;
}

ByteArray EncodeServiceMessage(const TuaObj& aObj) {
  TuaBinaryEncoder encoder;
  WriteServiceMessage(encoder, aObj);
  return encoder.TakeBytes();
}

}  // namespace varo::ua
