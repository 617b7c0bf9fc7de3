// SPDX-License-Identifier: MPL-2.0
// The OPC UA built-in types in memory: node ids, qualified names, localized texts,
// diagnostic infos, extension objects, data values and variants, the bases of the structured
// types (TuaObj, TuaObjs, uaEnum) and the conversions between uaVariant and varo::Variant.
//
// Every type is a value class. Copies are deep; moves are cheap. A sub-object that may be
// absent is a std::unique_ptr (null = absent). A variant always owns what it holds.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/bytes.h"
#include "platform/datetime.h"
#include "platform/error.h"
#include "platform/guid.h"
#include "platform/variant.h"

namespace varo::ua {

using varo::ByteArray;
using varo::TDateTime;
using varo::TGUID;

using uaByte = uint8_t;
// Unsigned 32-bit status code; Good when the two top bits are 0.
using uaStatusCode = uint32_t;
// A string holding an XML fragment.
using uaXmlElement = std::string;

// The ordinal is the built-in type id (low six bits of a variant's encoding mask).
enum uaBuildInType : uint8_t {
  bit_null = 0,
  bit_Boolean = 1,
  bit_SByte = 2,
  bit_Byte = 3,
  bit_Int16 = 4,
  bit_UInt16 = 5,
  bit_Int32 = 6,
  bit_UInt32 = 7,
  bit_Int64 = 8,
  bit_UInt64 = 9,
  bit_Float = 10,
  bit_Double = 11,
  bit_String = 12,
  bit_DateTime = 13,
  bit_Guid = 14,
  bit_ByteString = 15,
  bit_XmlElement = 16,
  bit_NodeId = 17,
  bit_ExpandedNodeId = 18,
  bit_StatusCode = 19,
  bit_QualifiedName = 20,
  bit_LocalizedText = 21,
  bit_ExtensionObject = 22,
  bit_DataValue = 23,
  bit_Variant = 24,
  bit_DiagnosticInfo = 25,
};
inline constexpr uint8_t kMaxBuildInType = bit_DiagnosticInfo;

enum uaIdType : uint8_t { itNumeric = 0, itString = 1, itGuid = 2, itOpaque = 3 };

class IuaEncoder;
class IuaDecoder;
class uaVariant;
class uaDataValue;

// ---------------------------------------------------------------------------------------
// Node ids

class uaNodeId {
 public:
  // The identifier; its alternative index is the uaIdType.
  using Identifier = std::variant<uint32_t, std::string, TGUID, ByteArray>;

  // Numeric 0 in namespace 0.
  uaNodeId() = default;
  uaNodeId(uint32_t aValue, uint16_t aNameSpaceIndex) : fNamespaceIndex(aNameSpaceIndex), fId(aValue) {}
  explicit uaNodeId(uint32_t aValue) : fId(aValue) {}
  uaNodeId(std::string aValue, uint16_t aNameSpaceIndex)
      : fNamespaceIndex(aNameSpaceIndex), fId(std::move(aValue)) {}
  uaNodeId(const TGUID& aValue, uint16_t aNameSpaceIndex) : fNamespaceIndex(aNameSpaceIndex), fId(aValue) {}
  uaNodeId(ByteArray aValue, uint16_t aNameSpaceIndex)
      : fNamespaceIndex(aNameSpaceIndex), fId(std::move(aValue)) {}
  // Parses the text form (see NodeIdFromString; the text is not trimmed first).
  explicit uaNodeId(std::string_view aText);

  uint16_t NamespaceIndex() const { return fNamespaceIndex; }
  void SetNamespaceIndex(uint16_t v) { fNamespaceIndex = v; }
  uaIdType IdentifierType() const { return static_cast<uaIdType>(fId.index()); }
  const Identifier& Value() const { return fId; }
  void SetValue(Identifier v) { fId = std::move(v); }

  // The numeric identifier; raises EConvertError "Object type is not numeric" otherwise.
  uint32_t IdAsNumber() const;
  // The other identifier kinds; each raises EConvertError when the kind differs.
  const std::string& IdAsString() const;
  const TGUID& IdAsGuid() const;
  const ByteArray& IdAsOpaque() const;

  bool IsNullNodeId() const;
  static bool IsNull(const uaNodeId* aNodeId) { return aNodeId == nullptr || aNodeId->IsNullNodeId(); }
  static bool IsNull(uint32_t aValue, uint16_t aNameSpaceIndex) {
    return aValue == 0 && aNameSpaceIndex == 0;
  }
  static bool IsNull(std::string_view aValue, uint16_t aNameSpaceIndex) {
    return aValue.empty() && aNameSpaceIndex == 0;
  }
  static bool IsNull(const TGUID& aValue, uint16_t aNameSpaceIndex) {
    return aValue.isNull() && aNameSpaceIndex == 0;
  }
  static bool IsNull(const ByteArray& aValue, uint16_t aNameSpaceIndex) {
    return aValue.empty() && aNameSpaceIndex == 0;
  }

  // "ns=<index>;" then "i=", "s=", "g=" or "b=" and the identifier. A string identifier that
  // is not valid UTF-8 shows U+FFFD for the bad bytes.
  std::string ToString() const;

  friend bool operator==(const uaNodeId&, const uaNodeId&) = default;

 private:
  uint16_t fNamespaceIndex = 0;
  Identifier fId{uint32_t{0}};
};

// Trims the text and parses "ns=<n>;i=<n>" / "s=" / "g={...}" / "b=<hex>"; text without a
// known prefix is a string id. Raises "delimiter (;) not found.", "Invalid Integer", the
// platform's conversion errors, and EConvertError for a namespace index above 65535 or a bad
// hex digit after "b=".
uaNodeId NodeIdFromString(std::string_view aText);

class uaExpandedNodeId {
 public:
  uaExpandedNodeId() = default;
  explicit uaExpandedNodeId(uaNodeId aNodeId, std::string aNamespaceUri = {}, uint32_t aServerIndex = 0)
      : NodeId(std::move(aNodeId)), NamespaceUri(std::move(aNamespaceUri)), ServerIndex(aServerIndex) {}
  // A node id of namespace 0 with the given identifier.
  uaExpandedNodeId(uint32_t aValue, std::string aNamespaceUri, uint32_t aServerIndex)
      : uaExpandedNodeId(uaNodeId(aValue, 0), std::move(aNamespaceUri), aServerIndex) {}
  uaExpandedNodeId(std::string aValue, std::string aNamespaceUri, uint32_t aServerIndex)
      : uaExpandedNodeId(uaNodeId(std::move(aValue), 0), std::move(aNamespaceUri), aServerIndex) {}
  uaExpandedNodeId(const TGUID& aValue, std::string aNamespaceUri, uint32_t aServerIndex)
      : uaExpandedNodeId(uaNodeId(aValue, 0), std::move(aNamespaceUri), aServerIndex) {}
  uaExpandedNodeId(ByteArray aValue, std::string aNamespaceUri, uint32_t aServerIndex)
      : uaExpandedNodeId(uaNodeId(std::move(aValue), 0), std::move(aNamespaceUri), aServerIndex) {}
  // Parses the text form (see ExpandedNodeIdFromString).
  explicit uaExpandedNodeId(std::string_view aText);

  uint16_t NamespaceIndex() const { return NodeId.NamespaceIndex(); }
  void SetNamespaceIndex(uint16_t v) { NodeId.SetNamespaceIndex(v); }

  // Node id text, then ";nsu=<uri>" when the URI is set, then ";svr=<n>" when not 0.
  std::string ToString() const;

  friend bool operator==(const uaExpandedNodeId&, const uaExpandedNodeId&) = default;

  uaNodeId NodeId;
  std::string NamespaceUri;  // empty when absent
  uint32_t ServerIndex = 0;  // 0 when absent
};

// Splits at ";": "svr=<n>" sets the server index (invalid number gives 0), "nsu=<uri>" the
// URI; the other parts, joined with ";", are parsed as the node id.
uaExpandedNodeId ExpandedNodeIdFromString(std::string_view aText);

// ---------------------------------------------------------------------------------------
// Names and texts

class uaQualifiedName {
 public:
  uaQualifiedName() = default;
  uaQualifiedName(std::string aName, uint16_t aNameSpaceIndex)
      : NamespaceIndex(aNameSpaceIndex), Name(std::move(aName)) {}
  // The name only (invalid UTF-8 shown as U+FFFD).
  std::string ToString() const;
  friend bool operator==(const uaQualifiedName&, const uaQualifiedName&) = default;

  uint16_t NamespaceIndex = 0;
  std::string Name;
};

class uaLocalizedText {
 public:
  uaLocalizedText() = default;
  uaLocalizedText(std::string aText, std::string aLocale)
      : Locale(std::move(aLocale)), Text(std::move(aText)) {}
  // The text, plus ":l=" and the locale when the locale is set (invalid UTF-8 as U+FFFD).
  std::string ToString() const;
  friend bool operator==(const uaLocalizedText&, const uaLocalizedText&) = default;

  std::string Locale;
  std::string Text;
};

class uaDiagnosticInfo {
 public:
  uaDiagnosticInfo() = default;
  uaDiagnosticInfo(const uaDiagnosticInfo& other);
  uaDiagnosticInfo& operator=(const uaDiagnosticInfo& other);
  uaDiagnosticInfo(uaDiagnosticInfo&&) noexcept = default;
  uaDiagnosticInfo& operator=(uaDiagnosticInfo&&) noexcept = default;
  ~uaDiagnosticInfo();

  // "uaDiagnosticInfo": the type has no text form of its own.
  std::string ToString() const { return "uaDiagnosticInfo"; }
  bool operator==(const uaDiagnosticInfo& other) const;

  // Indexes into the response's string table; -1 = absent.
  int32_t SymbolicId = -1;
  int32_t NamespaceUri = -1;
  int32_t Locale = -1;
  int32_t LocalizedText = -1;
  std::string AdditionalInfo;
  uaStatusCode InnerStatusCode = 0;  // 0 = absent
  std::unique_ptr<uaDiagnosticInfo> InnerDiagnosticInfo;
};

// ---------------------------------------------------------------------------------------
// Bases of the structured types

// Base of every structured UA type. ObjNo is the numeric id of the type's default binary
// encoding node, set by each subclass's constructor.
class TuaObj {
 public:
  TuaObj() = default;
  explicit TuaObj(int32_t aObjNo) : ObjNo(aObjNo) {}
  virtual ~TuaObj() = default;

  // Virtual constructor: a new default object of the same class.
  virtual std::unique_ptr<TuaObj> Create() const = 0;
  virtual void Encode(IuaEncoder& aEncoder) const = 0;
  virtual void Decode(IuaDecoder& aDecoder) = 0;
  virtual std::string ToString() const;
  // A deep copy. The default goes through the binary encoding (Create, Encode, Decode) and
  // copies ReqId, ObjNo and NamespaceIndex.
  virtual std::unique_ptr<TuaObj> Clone() const;

  int32_t ReqId = 0;
  int32_t ObjNo = 0;
  uint16_t NamespaceIndex = 0;

 protected:
  TuaObj(const TuaObj&) = default;
  TuaObj& operator=(const TuaObj&) = default;
};

// Makes a new structured object (used to decode arrays of a given class).
using TuaObjFactory = std::function<std::unique_ptr<TuaObj>()>;

class TuaObjs {
 public:
  TuaObjs() = default;
  TuaObjs(const TuaObjs& other);
  TuaObjs& operator=(const TuaObjs& other);
  TuaObjs(TuaObjs&&) noexcept = default;
  TuaObjs& operator=(TuaObjs&&) noexcept = default;

  // Resizes; new slots are null.
  void Setlength(size_t aLength) { Items.resize(aLength); }
  void FreeArray() { Items.clear(); }
  // The items' ToString texts without separator (null items give nothing).
  std::string ToString() const;

  std::vector<std::unique_ptr<TuaObj>> Items;
};

// Base of every enumerated field; on the wire an Int32.
class uaEnum {
 public:
  uaEnum() = default;
  explicit uaEnum(int32_t aValue) : Value(aValue) {}
  virtual ~uaEnum() = default;
  // The decimal value.
  virtual std::string ToString() const;
  // A copy; subclasses override it to keep their class.
  virtual std::unique_ptr<uaEnum> Clone() const { return std::make_unique<uaEnum>(Value); }

  int32_t Value = 0;
};

// Limits of an encoder or decoder; 0 = unlimited. The decoder rejects a longer string, byte
// string or array with EuaDecodeError; the encoder refuses to write one (EuaEncodeError).
struct TuaEncoderContext {
  uint32_t maxStringLength = 0;
  uint32_t maxByteStringLength = 0;
  uint32_t maxArrayLength = 0;
};

// ---------------------------------------------------------------------------------------
// Extension objects

class uaExtensionObject {
 public:
  enum EncodeType : uint8_t { eo_None = 0, eo_BinaryBody = 1, eo_XmlBody = 2, eo_EncodeableObject = 3 };

  uaExtensionObject() = default;
  // Encoding none, no body.
  explicit uaExtensionObject(std::unique_ptr<uaExpandedNodeId> aNode) : TypeId(std::move(aNode)) {}
  uaExtensionObject(std::unique_ptr<uaExpandedNodeId> aNode, uaXmlElement aBody)
      : TypeId(std::move(aNode)), Encoding(eo_XmlBody), XmlBody(std::move(aBody)) {}
  uaExtensionObject(std::unique_ptr<uaExpandedNodeId> aNode, ByteArray aBody)
      : TypeId(std::move(aNode)), Encoding(eo_BinaryBody), BinaryBody(std::move(aBody)) {}
  // A structured object encoded on the fly (no type id: the object's ObjNo is used).
  explicit uaExtensionObject(std::shared_ptr<TuaObj> aBody)
      : Encoding(eo_EncodeableObject), Object(std::move(aBody)) {}
  uaExtensionObject(std::unique_ptr<uaExpandedNodeId> aNode, std::shared_ptr<TuaObj> aBody)
      : TypeId(std::move(aNode)), Encoding(eo_EncodeableObject), Object(std::move(aBody)) {}

  // Copies share the structured object (it is released once, with the last copy).
  uaExtensionObject(const uaExtensionObject& other);
  uaExtensionObject& operator=(const uaExtensionObject& other);
  uaExtensionObject(uaExtensionObject&&) noexcept = default;
  uaExtensionObject& operator=(uaExtensionObject&&) noexcept = default;

  // Replaces the body by the bytes; encoding becomes eo_BinaryBody.
  void SetBody(ByteArray aBody);
  // As above; first sets TypeId to the numeric id aObj.ObjNo in aObj.NamespaceIndex when no
  // type id is set.
  void SetBody(const TuaObj& aObj, ByteArray aBody);

  // The numeric identifier of TypeId's node id; 0 when there is none or it is not numeric.
  int32_t ObjNo() const;
  // Empty for eo_None or without type id; else "<node id>,<None|Binary|Xml|Object>,<uri>,<svr>".
  std::string ToString() const;
  // Same type id, encoding and body; a structured body compares by identity.
  bool operator==(const uaExtensionObject& other) const;

  std::unique_ptr<uaExpandedNodeId> TypeId;
  EncodeType Encoding = eo_None;
  ByteArray BinaryBody;            // eo_BinaryBody
  uaXmlElement XmlBody;            // eo_XmlBody
  std::shared_ptr<TuaObj> Object;  // eo_EncodeableObject
};

// ---------------------------------------------------------------------------------------
// Variants

struct uaTypeInfo {
  uaBuildInType BuildInType = bit_null;
  // -2 not set, -1 scalar, 1 one-dimensional array, 2 array with dimensions.
  int8_t ValueRank = -2;
  friend bool operator==(const uaTypeInfo&, const uaTypeInfo&) = default;
};

class uaVariant {
 public:
  // The stored value. Several built-in types share a storage type: DateTime is a double,
  // StatusCode a uint32_t, XmlElement a std::string, ByteString and Byte[] a ByteArray; the
  // type info tells them apart.
  using Storage = std::variant<
      std::monostate,  // no value
      bool, int8_t, uint8_t, int16_t, uint16_t, int32_t, uint32_t, int64_t, uint64_t, float, double,
      std::string, TGUID, ByteArray,  //
      std::unique_ptr<uaNodeId>, std::unique_ptr<uaExpandedNodeId>, std::unique_ptr<uaQualifiedName>,
      std::unique_ptr<uaLocalizedText>, std::unique_ptr<uaExtensionObject>, std::unique_ptr<uaDataValue>,
      std::unique_ptr<uaVariant>, std::unique_ptr<uaDiagnosticInfo>,  //
      std::vector<bool>, std::vector<int8_t>, std::vector<int16_t>, std::vector<uint16_t>,
      std::vector<int32_t>, std::vector<uint32_t>, std::vector<int64_t>, std::vector<uint64_t>,
      std::vector<float>, std::vector<double>, std::vector<std::string>, std::vector<TGUID>,
      std::vector<ByteArray>,  //
      std::vector<std::unique_ptr<uaNodeId>>, std::vector<std::unique_ptr<uaExpandedNodeId>>,
      std::vector<std::unique_ptr<uaQualifiedName>>, std::vector<std::unique_ptr<uaLocalizedText>>,
      std::vector<std::unique_ptr<uaExtensionObject>>, std::vector<std::unique_ptr<uaDataValue>>,
      std::vector<std::unique_ptr<uaVariant>>, std::vector<std::unique_ptr<uaDiagnosticInfo>>>;

  // Type bit_null, rank -2, no value.
  uaVariant() = default;
  // Scalars (rank -1).
  explicit uaVariant(bool v) : fTypeInfo{bit_Boolean, -1}, fValue(v) {}
  explicit uaVariant(int8_t v) : fTypeInfo{bit_SByte, -1}, fValue(v) {}
  explicit uaVariant(uint8_t v) : fTypeInfo{bit_Byte, -1}, fValue(v) {}
  explicit uaVariant(int16_t v) : fTypeInfo{bit_Int16, -1}, fValue(v) {}
  explicit uaVariant(uint16_t v) : fTypeInfo{bit_UInt16, -1}, fValue(v) {}
  explicit uaVariant(int32_t v) : fTypeInfo{bit_Int32, -1}, fValue(v) {}
  explicit uaVariant(uint32_t v) : fTypeInfo{bit_UInt32, -1}, fValue(v) {}
  explicit uaVariant(int64_t v) : fTypeInfo{bit_Int64, -1}, fValue(v) {}
  explicit uaVariant(uint64_t v) : fTypeInfo{bit_UInt64, -1}, fValue(v) {}
  explicit uaVariant(float v) : fTypeInfo{bit_Float, -1}, fValue(v) {}
  explicit uaVariant(double v) : fTypeInfo{bit_Double, -1}, fValue(v) {}
  explicit uaVariant(std::string v) : fTypeInfo{bit_String, -1}, fValue(std::move(v)) {}
  explicit uaVariant(const char* v) : uaVariant(std::string(v)) {}
  explicit uaVariant(const TGUID& v) : fTypeInfo{bit_Guid, -1}, fValue(v) {}
  // A ByteString scalar (for a Byte[] array use FromByteValues).
  explicit uaVariant(ByteArray v) : fTypeInfo{bit_ByteString, -1}, fValue(std::move(v)) {}
  static uaVariant FromDateTime(TDateTime v);
  static uaVariant FromStatusCode(uaStatusCode v);
  static uaVariant FromXmlElement(uaXmlElement v);
  // Objects (rank -1; a null pointer gives type bit_null).
  explicit uaVariant(std::unique_ptr<uaNodeId> v);
  explicit uaVariant(std::unique_ptr<uaExpandedNodeId> v);
  explicit uaVariant(std::unique_ptr<uaQualifiedName> v);
  explicit uaVariant(std::unique_ptr<uaLocalizedText> v);
  explicit uaVariant(std::unique_ptr<uaExtensionObject> v);
  explicit uaVariant(std::unique_ptr<uaDataValue> v);
  explicit uaVariant(std::unique_ptr<uaDiagnosticInfo> v);
  // A variant of type bit_Variant holding another variant.
  static uaVariant CreateWrapper(std::unique_ptr<uaVariant> v);
  explicit uaVariant(const uaNodeId& v) : uaVariant(std::make_unique<uaNodeId>(v)) {}
  explicit uaVariant(const uaExpandedNodeId& v) : uaVariant(std::make_unique<uaExpandedNodeId>(v)) {}
  explicit uaVariant(const uaQualifiedName& v) : uaVariant(std::make_unique<uaQualifiedName>(v)) {}
  explicit uaVariant(const uaLocalizedText& v) : uaVariant(std::make_unique<uaLocalizedText>(v)) {}
  explicit uaVariant(const uaExtensionObject& v) : uaVariant(std::make_unique<uaExtensionObject>(v)) {}

  // Arrays (rank 1). An empty array keeps its element type.
  explicit uaVariant(std::vector<bool> v) : fTypeInfo{bit_Boolean, 1}, fValue(std::move(v)) {}
  explicit uaVariant(std::vector<int8_t> v) : fTypeInfo{bit_SByte, 1}, fValue(std::move(v)) {}
  explicit uaVariant(std::vector<int16_t> v) : fTypeInfo{bit_Int16, 1}, fValue(std::move(v)) {}
  explicit uaVariant(std::vector<uint16_t> v) : fTypeInfo{bit_UInt16, 1}, fValue(std::move(v)) {}
  explicit uaVariant(std::vector<int32_t> v) : fTypeInfo{bit_Int32, 1}, fValue(std::move(v)) {}
  explicit uaVariant(std::vector<uint32_t> v) : fTypeInfo{bit_UInt32, 1}, fValue(std::move(v)) {}
  explicit uaVariant(std::vector<int64_t> v) : fTypeInfo{bit_Int64, 1}, fValue(std::move(v)) {}
  explicit uaVariant(std::vector<uint64_t> v) : fTypeInfo{bit_UInt64, 1}, fValue(std::move(v)) {}
  explicit uaVariant(std::vector<float> v) : fTypeInfo{bit_Float, 1}, fValue(std::move(v)) {}
  explicit uaVariant(std::vector<double> v) : fTypeInfo{bit_Double, 1}, fValue(std::move(v)) {}
  explicit uaVariant(std::vector<std::string> v) : fTypeInfo{bit_String, 1}, fValue(std::move(v)) {}
  explicit uaVariant(std::vector<TGUID> v) : fTypeInfo{bit_Guid, 1}, fValue(std::move(v)) {}
  explicit uaVariant(std::vector<ByteArray> v) : fTypeInfo{bit_ByteString, 1}, fValue(std::move(v)) {}
  explicit uaVariant(std::vector<std::unique_ptr<uaNodeId>> v);
  explicit uaVariant(std::vector<std::unique_ptr<uaExpandedNodeId>> v);
  explicit uaVariant(std::vector<std::unique_ptr<uaQualifiedName>> v);
  explicit uaVariant(std::vector<std::unique_ptr<uaLocalizedText>> v);
  explicit uaVariant(std::vector<std::unique_ptr<uaExtensionObject>> v);
  explicit uaVariant(std::vector<std::unique_ptr<uaDataValue>> v);
  explicit uaVariant(std::vector<std::unique_ptr<uaVariant>> v);
  explicit uaVariant(std::vector<std::unique_ptr<uaDiagnosticInfo>> v);
  static uaVariant FromByteValues(ByteArray v);  // Byte[]
  static uaVariant FromDateTimeArray(std::vector<TDateTime> v);
  static uaVariant FromStatusCodeArray(std::vector<uaStatusCode> v);
  static uaVariant FromXmlElementArray(std::vector<uaXmlElement> v);

  // Any type and rank; raises EConvertError when the storage does not fit the type and rank
  // (an empty Storage is allowed for every type: a variant without value).
  static uaVariant Make(uaBuildInType aType, int8_t aValueRank, Storage aValue);

  uaVariant(const uaVariant& other);  // deep copy
  uaVariant& operator=(const uaVariant& other);
  uaVariant(uaVariant&&) noexcept;
  uaVariant& operator=(uaVariant&&) noexcept;
  ~uaVariant();

  const uaTypeInfo& TypeInfo() const { return fTypeInfo; }
  uaBuildInType BuildInType() const { return fTypeInfo.BuildInType; }
  int8_t ValueRank() const { return fTypeInfo.ValueRank; }
  bool IsArray() const { return fTypeInfo.ValueRank >= 0; }
  bool IsArray2d() const { return fTypeInfo.ValueRank > 1; }
  bool IsExtensionObject() const { return fTypeInfo.BuildInType == bit_ExtensionObject; }
  bool HasValue() const { return fValue.index() != 0; }
  bool IsNull() const { return fTypeInfo.BuildInType == bit_null; }

  const Storage& Value() const { return fValue; }
  Storage& Value() { return fValue; }
  // The value as storage type T, or null when it holds another type.
  template <class T>
  const T* GetIf() const {
    return std::get_if<T>(&fValue);
  }
  template <class T>
  T* GetIf() {
    return std::get_if<T>(&fValue);
  }
  // The value as storage type T; raises EConvertError when it holds another type.
  template <class T>
  const T& Get() const {
    if (const T* p = std::get_if<T>(&fValue)) return *p;
    ThrowWrongType();
  }
  // Number of array elements (0 for scalars).
  size_t ArrayLength() const;

  // Setting dimensions sets rank 2 when not empty, else 1.
  const std::vector<int32_t>& Dimensions() const { return fDimensions; }
  void SetDimensions(std::vector<int32_t> aDims) {
    fDimensions = std::move(aDims);
    fTypeInfo.ValueRank = fDimensions.empty() ? 1 : 2;
  }

  // Conversion to the variant value type (VT_NULL for bit_null).
  varo::Variant ToVariant() const;
  // Text form: the converted value as text, arrays as "[a | b]", "[]" when empty.
  std::string ToString() const;

  bool operator==(const uaVariant& other) const;

  // --- conversions from the variant value type ---------------------------------------
  // Null result = no object.
  static uaBuildInType VariantToUADatatype(const varo::Variant& aValue);
  static std::unique_ptr<uaVariant> VariantToUaVariant(const varo::Variant& aValue);
  static std::unique_ptr<uaVariant> Create(const varo::Variant& aValue, uaBuildInType atype);
  static std::unique_ptr<uaVariant> createScalar(const varo::Variant& aValue, uaBuildInType atype);
  static std::unique_ptr<uaVariant> createArray(const varo::Variant& aValue, uaBuildInType atype);
  static std::unique_ptr<uaVariant> createNullScalar(uaBuildInType atype);
  static std::unique_ptr<uaVariant> createNullScalar(const uaTypeInfo& atype) {
    return createNullScalar(atype.BuildInType);
  }
  static std::unique_ptr<uaVariant> createNullArray(int32_t aLength, uaBuildInType atype);
  static std::unique_ptr<uaVariant> createNullArray(int32_t aLength, const uaTypeInfo& atype);
  static std::unique_ptr<uaVariant> createArrayFromString(const std::vector<std::string>& aValues,
                                                          uaBuildInType atype);
  // Replaces element aIndex of an array variant by aNewValue converted to the element type.
  // Raises EConvertError for a scalar or an index out of range.
  static void uaSetArray(uaVariant& aValue, int32_t aIndex, const varo::Variant& aNewValue);
  // An array of variants (type bit_Variant) to a VT_VARIANT array, element by element.
  static varo::Variant uaVariantToVariantArrayLoop(const uaVariant& aValue);
  static varo::Variant uaVariantArrayToVariantArrayLoop(
      const std::vector<std::unique_ptr<uaVariant>>& aValue);

 private:
  friend class TuaBinaryDecoder;
  [[noreturn]] static void ThrowWrongType();
  static std::unique_ptr<uaVariant> New(uaBuildInType t, int8_t rank, Storage v);
  uaVariant(uaBuildInType t, int8_t rank, Storage v) : fTypeInfo{t, rank}, fValue(std::move(v)) {}

  uaTypeInfo fTypeInfo;
  Storage fValue;
  std::vector<int32_t> fDimensions;
};

// ToVariant of a possibly absent variant (null gives VT_NULL).
varo::Variant ToVariant(const uaVariant* aValue);

// ---------------------------------------------------------------------------------------
// Data values

class uaDataValue {
 public:
  uaDataValue() = default;
  explicit uaDataValue(std::unique_ptr<uaVariant> aValue) : Value(std::move(aValue)) {}
  uaDataValue(std::unique_ptr<uaVariant> aValue, TDateTime aSourceTimestamp, uaStatusCode aStatusCode,
              TDateTime aServerTimestamp)
      : Value(std::move(aValue)),
        StatusCode(aStatusCode),
        SourceTimestamp(aSourceTimestamp),
        ServerTimestamp(aServerTimestamp) {}
  // A default scalar of the type (see uaVariant::createNullScalar).
  explicit uaDataValue(uaBuildInType aType);

  uaDataValue(const uaDataValue& other);
  uaDataValue& operator=(const uaDataValue& other);
  uaDataValue(uaDataValue&&) noexcept = default;
  uaDataValue& operator=(uaDataValue&&) noexcept = default;

  // ToVariant of the value; VT_NULL when there is none.
  varo::Variant ValueToVariant() const { return ua::ToVariant(Value.get()); }
  // The value's text form; empty when there is none.
  std::string ToString() const { return Value ? Value->ToString() : std::string(); }
  bool operator==(const uaDataValue& other) const;

  std::unique_ptr<uaVariant> Value;
  uaStatusCode StatusCode = 0;
  TDateTime SourceTimestamp = varo::kNullDateTime;
  uint16_t SourcePicoSeconds = 0;
  TDateTime ServerTimestamp = varo::kNullDateTime;
  uint16_t ServerPicoSeconds = 0;
};

// uaVariant members that need uaDataValue complete.
inline uaVariant::uaVariant(uaVariant&&) noexcept = default;
inline uaVariant& uaVariant::operator=(uaVariant&&) noexcept = default;
inline uaVariant::~uaVariant() = default;

}  // namespace varo::ua
