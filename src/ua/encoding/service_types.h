// SPDX-License-Identifier: MPL-2.0
// The structured OPC UA service types (requests, responses and the structures nested in them,
// node classes, identity tokens, filters, notifications) and their enumerations. All of them
// are built from the description table in service_types.def.
//
// Fields are public members named exactly like the field (uaReadRequest::NodesToRead). Their
// in-memory form by kind:
//   Boolean bool, Byte uaByte, UInt16 uint16_t, Int32 int32_t, UInt32 uint32_t, Double double,
//   DateTime TDateTime, StatusCode uaStatusCode, String std::string, ByteString ByteArray;
//   NodeId ... DiagnosticInfo: std::unique_ptr of the built-in type, null = absent;
//   enumeration: std::unique_ptr<uaEnum>, null = absent (decoding gives a plain uaEnum);
//   nested structure: std::unique_ptr of the type, created by the constructor;
//   arrays: std::vector of the value or of std::unique_ptr of the object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ua/encoding/builtin_types.h"

namespace varo::ua {

class uaRequestHeader;
class uaResponseHeader;

// Base of every request message.
class TuaRequestObj : public TuaObj {
 public:
  using TuaObj::TuaObj;
  // The request's RequestHeader field (null when it was cleared).
  virtual uaRequestHeader* GetRequestHeader() const = 0;
};

// Base of every response message.
class TuaResponseObj : public TuaObj {
 public:
  using TuaObj::TuaObj;
  // The response's ResponseHeader field (null when it was cleared).
  virtual uaResponseHeader* GetResponseHeader() const = 0;
};

// ---------------------------------------------------------------------------------------
// Enumerations. The virtual ToString inherited from uaEnum gives the decimal value; the class
// function ToString (Value) and the instance ValueName give the name, "NONE <n>" for a value
// without name.

#define UA_ENUM(Enum)                                                                        \
  class Enum : public uaEnum {                                                               \
   public:                                                                                   \
    using uaEnum::uaEnum;                                                                    \
    using uaEnum::ToString;                                                                  \
    static std::string ToString(int32_t aValue);                                             \
    std::string ValueName() const { return ToString(Value); }                                \
    std::unique_ptr<uaEnum> Clone() const override { return std::make_unique<Enum>(Value); } \
  };
#define UA_SKIP_TYPES
#include "ua/encoding/service_types.def"
#undef UA_SKIP_TYPES

// ---------------------------------------------------------------------------------------
// Structured types

// Member types by field kind.
#define UA_ELEM_Boolean bool
#define UA_ELEM_Byte uaByte
#define UA_ELEM_UInt16 uint16_t
#define UA_ELEM_Int32 int32_t
#define UA_ELEM_UInt32 uint32_t
#define UA_ELEM_Double double
#define UA_ELEM_DateTime TDateTime
#define UA_ELEM_StatusCode uaStatusCode
#define UA_ELEM_String std::string
#define UA_ELEM_ByteString ByteArray
#define UA_ELEM_NodeId std::unique_ptr<uaNodeId>
#define UA_ELEM_ExpandedNodeId std::unique_ptr<uaExpandedNodeId>
#define UA_ELEM_QualifiedName std::unique_ptr<uaQualifiedName>
#define UA_ELEM_LocalizedText std::unique_ptr<uaLocalizedText>
#define UA_ELEM_ExtensionObject std::unique_ptr<uaExtensionObject>
#define UA_ELEM_DataValue std::unique_ptr<uaDataValue>
#define UA_ELEM_Variant std::unique_ptr<uaVariant>
#define UA_ELEM_DiagnosticInfo std::unique_ptr<uaDiagnosticInfo>

#define UA_MEMBER_Boolean(Field, Arg) bool Field = false;
#define UA_MEMBER_Byte(Field, Arg) uaByte Field = 0;
#define UA_MEMBER_UInt16(Field, Arg) uint16_t Field = 0;
#define UA_MEMBER_Int32(Field, Arg) int32_t Field = 0;
#define UA_MEMBER_UInt32(Field, Arg) uint32_t Field = 0;
#define UA_MEMBER_Double(Field, Arg) double Field = 0;
#define UA_MEMBER_DateTime(Field, Arg) TDateTime Field = 0;
#define UA_MEMBER_StatusCode(Field, Arg) uaStatusCode Field = 0;
#define UA_MEMBER_String(Field, Arg) std::string Field;
#define UA_MEMBER_ByteString(Field, Arg) ByteArray Field;
#define UA_MEMBER_NodeId(Field, Arg) UA_ELEM_NodeId Field;
#define UA_MEMBER_ExpandedNodeId(Field, Arg) UA_ELEM_ExpandedNodeId Field;
#define UA_MEMBER_QualifiedName(Field, Arg) UA_ELEM_QualifiedName Field;
#define UA_MEMBER_LocalizedText(Field, Arg) UA_ELEM_LocalizedText Field;
#define UA_MEMBER_ExtensionObject(Field, Arg) UA_ELEM_ExtensionObject Field;
#define UA_MEMBER_DataValue(Field, Arg) UA_ELEM_DataValue Field;
#define UA_MEMBER_Variant(Field, Arg) UA_ELEM_Variant Field;
#define UA_MEMBER_DiagnosticInfo(Field, Arg) UA_ELEM_DiagnosticInfo Field;
#define UA_MEMBER_Enum(Field, Arg) std::unique_ptr<uaEnum> Field;
#define UA_MEMBER_Struct(Field, Arg) std::unique_ptr<Arg> Field;
#define UA_MEMBER_Array(Field, Arg) std::vector<UA_ELEM_##Arg> Field;
// Arrays of structures also get <Field>_Setlength; new slots get new default objects.
#define UA_MEMBER_StructArray(Field, Arg)  \
  std::vector<std::unique_ptr<Arg>> Field; \
  void Field##_Setlength(size_t aLength);

// Operations that depend on the category of the type.
#define UA_CATEGORY_Structure
#define UA_CATEGORY_Derived
#define UA_CATEGORY_Request uaRequestHeader* GetRequestHeader() const override;
#define UA_CATEGORY_Response uaResponseHeader* GetResponseHeader() const override;

#define UA_TYPE(Class, ObjNo_, Category, Base) class Class;
#define UA_SKIP_ENUMS
#include "ua/encoding/service_types.def"

#define UA_TYPE(Class, ObjNo_, Category, Base)                                       \
  class Class : public Base {                                                        \
   public:                                                                           \
    static constexpr int32_t kObjNo = ObjNo_;                                        \
    static constexpr const char* kClassName = #Class;                                \
    Class();                                                                         \
    ~Class() override;                                                               \
    Class(const Class&) = delete;                                                    \
    Class& operator=(const Class&) = delete;                                         \
    std::unique_ptr<TuaObj> Create() const override;                                 \
    void Encode(IuaEncoder& aEncoder) const override;                                \
    void Decode(IuaDecoder& aDecoder) override;                                      \
    std::string ToString() const override;                                           \
    UA_CATEGORY_##Category /* The fields of this class and its bases, base first. */ \
        void                                                                         \
        EncodeFields(IuaEncoder& aEncoder) const;                                    \
    void DecodeFields(IuaDecoder& aDecoder);                                         \
                                                                                     \
   protected:                                                                        \
    /* For derived types: builds the fields with the derived ObjNo. */               \
    explicit Class(int32_t aObjNo);                                                  \
                                                                                     \
   public:
#define UA_FIELD(Class, Field, Kind, Arg) UA_MEMBER_##Kind(Field, Arg)
#define UA_END(Class) \
  }                   \
  ;
#define UA_SKIP_ENUMS
#include "ua/encoding/service_types.def"
#undef UA_SKIP_ENUMS

// ---------------------------------------------------------------------------------------
// The table at run time, the registry of message classes and the service table

struct ServiceFieldInfo {
  const char* name;
  const char* kind;  // the Kind column of the table: "UInt32", "Array", "StructArray", ...
  const char* arg;   // element kind, enumeration or structure name; "_" for built-in scalars
};

struct ServiceTypeInfo {
  const char* name;
  int32_t objNo;
  const char* category;  // "Structure", "Request", "Response" or "Derived"
  const char* base;
  std::vector<ServiceFieldInfo> fields;  // own fields only, in wire order
  std::unique_ptr<TuaObj> (*create)();
};

struct ServiceEnumInfo {
  const char* name;
  std::vector<std::pair<int32_t, const char*>> values;
};

// Every structured type, in table order.
const std::vector<ServiceTypeInfo>& ServiceTypeTable();
// Every enumeration, in table order.
const std::vector<ServiceEnumInfo>& ServiceEnumTable();
// The entry for a binary encoding id; null when unknown.
const ServiceTypeInfo* FindServiceType(int32_t aObjNo);
// A new object of the class whose binary encoding id is aObjNo; null when unknown.
std::unique_ptr<TuaObj> CreateServiceObject(int32_t aObjNo);

struct ServiceInfo {
  std::string name;  // "Read" for uaReadRequest / uaReadResponse
  int32_t requestId;
  int32_t responseId;
};
// Every request of the table with its response.
const std::vector<ServiceInfo>& ServiceInfoTable();
// The binary encoding id of the response to a request; 0 when unknown.
int32_t ResponseIdForRequest(int32_t aRequestId);

// Writes a service message: the encoding node id of the object, then its body.
void WriteServiceMessage(IuaEncoder& aEncoder, const TuaObj& aObj);
// Reads a service message: the encoding node id (ReadMessageId), a new object of that class,
// then its body. Raises EuaDecodeError for an unknown id.
std::unique_ptr<TuaObj> ReadServiceMessage(IuaDecoder& aDecoder);
// The same over a byte buffer; with aRequireEnd, bytes left after the body are an error.
std::unique_ptr<TuaObj> DecodeServiceMessage(ByteSpan aBytes, bool aRequireEnd = true);
ByteArray EncodeServiceMessage(const TuaObj& aObj);

}  // namespace varo::ua
