// SPDX-License-Identifier: MPL-2.0
// The OPC UA binary encoding of the built-in types: the field-by-field interfaces IuaEncoder
// and IuaDecoder through which every structured type encodes itself, and their binary
// implementations TuaBinaryEncoder and TuaBinaryDecoder.
//
// Overloads: Write(x, aFieldName) / Read(x, aFieldName) per built-in type. Types that share a
// C++ type with another have the same wire form and use the same overload: StatusCode is a
// uint32_t, XmlElement a std::string, Byte[] and ByteString a ByteArray. DateTime (a double
// in memory) has its own names WriteDateTime / ReadDateTime. Object types are passed as
// pointers, null meaning absent; on reading, "no object" leaves the unique_ptr null.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.h"
#include "platform/error.h"
#include "ua/encoding/builtin_types.h"

namespace varo::ua {

// Base of the codec errors; the message is "Error Message: " followed by the detail.
class EuaCodecError : public varo::EVaroError {
 public:
  explicit EuaCodecError(const std::string& aDetail) : EVaroError("Error Message: " + aDetail) {}
};
// Decoding failed; the whole message is to be dropped.
class EuaDecodeError : public EuaCodecError {
 public:
  using EuaCodecError::EuaCodecError;
};
// A value cannot be encoded (null structure, a limit of the context exceeded).
class EuaEncodeError : public EuaCodecError {
 public:
  using EuaCodecError::EuaCodecError;
};

// Deepest nesting of Variant, DataValue, ExtensionObject, DiagnosticInfo and structures the
// decoder accepts.
inline constexpr int kMaxDecodeDepth = 100;

// DateTime wire form: 100 ns ticks since 1601-01-01 00:00 (0 for earlier dates and the null
// date-time, 0x7FFFFFFFFFFFFFFF for the largest date-time and later).
int64_t DateTimeToUaTicks(TDateTime d);
TDateTime UaTicksToDateTime(int64_t ticks);

class IuaEncoder {
 public:
  virtual ~IuaEncoder() = default;

  virtual void Write(bool aValue, const char* aFieldName) = 0;
  virtual void Write(int8_t aValue, const char* aFieldName) = 0;
  virtual void Write(uint8_t aValue, const char* aFieldName) = 0;
  virtual void Write(int16_t aValue, const char* aFieldName) = 0;
  virtual void Write(uint16_t aValue, const char* aFieldName) = 0;
  virtual void Write(int32_t aValue, const char* aFieldName) = 0;
  virtual void Write(uint32_t aValue, const char* aFieldName) = 0;  // also StatusCode
  virtual void Write(int64_t aValue, const char* aFieldName) = 0;
  virtual void Write(uint64_t aValue, const char* aFieldName) = 0;
  virtual void Write(float aValue, const char* aFieldName) = 0;
  virtual void Write(double aValue, const char* aFieldName) = 0;
  virtual void Write(std::string_view aValue, const char* aFieldName) = 0;  // also XmlElement
  virtual void WriteDateTime(TDateTime aValue, const char* aFieldName) = 0;
  virtual void Write(const TGUID& aValue, const char* aFieldName) = 0;
  virtual void Write(const ByteArray& aValue, const char* aFieldName) = 0;  // ByteString / Byte[]
  virtual void Write(const uaNodeId* aValue, const char* aFieldName) = 0;
  virtual void Write(const uaExpandedNodeId* aValue, const char* aFieldName) = 0;
  virtual void Write(const uaQualifiedName* aValue, const char* aFieldName) = 0;
  virtual void Write(const uaLocalizedText* aValue, const char* aFieldName) = 0;
  virtual void Write(const uaExtensionObject* aValue, const char* aFieldName) = 0;
  virtual void Write(const uaVariant* aValue, const char* aFieldName) = 0;
  virtual void Write(const uaDataValue* aValue, const char* aFieldName) = 0;
  virtual void Write(const uaDiagnosticInfo* aValue, const char* aFieldName) = 0;

  virtual void Write(const std::vector<bool>& aValue, const char* aFieldName) = 0;
  virtual void Write(const std::vector<int8_t>& aValue, const char* aFieldName) = 0;
  virtual void Write(const std::vector<int16_t>& aValue, const char* aFieldName) = 0;
  virtual void Write(const std::vector<uint16_t>& aValue, const char* aFieldName) = 0;
  virtual void Write(const std::vector<int32_t>& aValue, const char* aFieldName) = 0;
  virtual void Write(const std::vector<uint32_t>& aValue, const char* aFieldName) = 0;
  virtual void Write(const std::vector<int64_t>& aValue, const char* aFieldName) = 0;
  virtual void Write(const std::vector<uint64_t>& aValue, const char* aFieldName) = 0;
  virtual void Write(const std::vector<float>& aValue, const char* aFieldName) = 0;
  virtual void Write(const std::vector<double>& aValue, const char* aFieldName) = 0;
  virtual void Write(const std::vector<std::string>& aValue, const char* aFieldName) = 0;
  virtual void WriteDateTimeArray(const std::vector<TDateTime>& aValue, const char* aFieldName) = 0;
  virtual void Write(const std::vector<TGUID>& aValue, const char* aFieldName) = 0;
  virtual void Write(const std::vector<ByteArray>& aValue, const char* aFieldName) = 0;
  virtual void Write(const std::vector<std::unique_ptr<uaNodeId>>& aValue, const char* aFieldName) = 0;
  virtual void Write(const std::vector<std::unique_ptr<uaExpandedNodeId>>& aValue,
                     const char* aFieldName) = 0;
  virtual void Write(const std::vector<std::unique_ptr<uaQualifiedName>>& aValue, const char* aFieldName) = 0;
  virtual void Write(const std::vector<std::unique_ptr<uaLocalizedText>>& aValue, const char* aFieldName) = 0;
  virtual void Write(const std::vector<std::unique_ptr<uaExtensionObject>>& aValue,
                     const char* aFieldName) = 0;
  virtual void Write(const std::vector<std::unique_ptr<uaDataValue>>& aValue, const char* aFieldName) = 0;
  virtual void Write(const std::vector<std::unique_ptr<uaVariant>>& aValue, const char* aFieldName) = 0;
  virtual void Write(const std::vector<std::unique_ptr<uaDiagnosticInfo>>& aValue,
                     const char* aFieldName) = 0;

  // An enumeration as Int32; null writes 0.
  virtual void Write(const uaEnum* aValue, const char* aFieldName) = 0;
  virtual void Write(const std::vector<std::unique_ptr<uaEnum>>& aValue, const char* aFieldName) = 0;
  // A nested structure inline (no type id, no length); null raises EuaEncodeError "nil".
  virtual void Write(const TuaObj* aValue, const char* aFieldName) = 0;
  // Count, then each structure inline; a null element raises EuaEncodeError "nil".
  virtual void Write(const std::vector<std::unique_ptr<TuaObj>>& aValue, const char* aFieldName) = 0;
  virtual void Write(const TuaObjs& aValue, const char* aFieldName) = 0;
  // A service message: the numeric encoding node id (ObjNo, NamespaceIndex), then the body.
  virtual void WriteMessage(const TuaObj& aObj, const char* aFieldName) = 0;

  // --- conveniences (not virtual) ---
  // A string literal is a String, not a Boolean.
  void Write(const char* aValue, const char* aFieldName) {
    Write(std::string_view(aValue ? aValue : ""), aFieldName);
  }
  void Write(const std::string& aValue, const char* aFieldName) {
    Write(std::string_view(aValue), aFieldName);
  }
  void WriteStatusCode(uaStatusCode aValue, const char* aFieldName) {
    Write(static_cast<uint32_t>(aValue), aFieldName);
  }
  void WriteXmlElement(std::string_view aValue, const char* aFieldName) { Write(aValue, aFieldName); }
  // Objects held by unique_ptr or by reference.
  template <class T>
  void Write(const std::unique_ptr<T>& aValue, const char* aFieldName) {
    Write(static_cast<const T*>(aValue.get()), aFieldName);
  }
  void Write(const uaNodeId& aValue, const char* aFieldName) { Write(&aValue, aFieldName); }
  void Write(const uaExpandedNodeId& aValue, const char* aFieldName) { Write(&aValue, aFieldName); }
  void Write(const uaQualifiedName& aValue, const char* aFieldName) { Write(&aValue, aFieldName); }
  void Write(const uaLocalizedText& aValue, const char* aFieldName) { Write(&aValue, aFieldName); }
  void Write(const uaExtensionObject& aValue, const char* aFieldName) { Write(&aValue, aFieldName); }
  void Write(const uaVariant& aValue, const char* aFieldName) { Write(&aValue, aFieldName); }
  void Write(const uaDataValue& aValue, const char* aFieldName) { Write(&aValue, aFieldName); }
  void Write(const uaDiagnosticInfo& aValue, const char* aFieldName) { Write(&aValue, aFieldName); }
  void Write(const TuaObj& aValue, const char* aFieldName) { Write(&aValue, aFieldName); }
  // An array of a structured type held with its own element class.
  template <class T>
  requires std::derived_from<T, TuaObj>
  void WriteObjArray(const std::vector<std::unique_ptr<T>>& aValue, const char* aFieldName) {
    Write(aValue.empty() ? int32_t{-1} : static_cast<int32_t>(aValue.size()), aFieldName);
    for (const auto& e : aValue) Write(static_cast<const TuaObj*>(e.get()), aFieldName);
  }
};

class IuaDecoder {
 public:
  virtual ~IuaDecoder() = default;

  virtual void Read(bool& aValue, const char* aFieldName) = 0;
  virtual void Read(int8_t& aValue, const char* aFieldName) = 0;
  virtual void Read(uint8_t& aValue, const char* aFieldName) = 0;
  virtual void Read(int16_t& aValue, const char* aFieldName) = 0;
  virtual void Read(uint16_t& aValue, const char* aFieldName) = 0;
  virtual void Read(int32_t& aValue, const char* aFieldName) = 0;
  virtual void Read(uint32_t& aValue, const char* aFieldName) = 0;  // also StatusCode
  virtual void Read(int64_t& aValue, const char* aFieldName) = 0;
  virtual void Read(uint64_t& aValue, const char* aFieldName) = 0;
  virtual void Read(float& aValue, const char* aFieldName) = 0;
  virtual void Read(double& aValue, const char* aFieldName) = 0;
  virtual void Read(std::string& aValue, const char* aFieldName) = 0;  // also XmlElement
  virtual void ReadDateTime(TDateTime& aValue, const char* aFieldName) = 0;
  virtual void Read(TGUID& aValue, const char* aFieldName) = 0;
  virtual void Read(ByteArray& aValue, const char* aFieldName) = 0;  // ByteString / Byte[]
  virtual void Read(std::unique_ptr<uaNodeId>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::unique_ptr<uaExpandedNodeId>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::unique_ptr<uaQualifiedName>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::unique_ptr<uaLocalizedText>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::unique_ptr<uaExtensionObject>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::unique_ptr<uaDataValue>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::unique_ptr<uaVariant>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::unique_ptr<uaDiagnosticInfo>& aValue, const char* aFieldName) = 0;

  virtual void Read(std::vector<bool>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::vector<int8_t>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::vector<int16_t>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::vector<uint16_t>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::vector<int32_t>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::vector<uint32_t>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::vector<int64_t>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::vector<uint64_t>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::vector<float>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::vector<double>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::vector<std::string>& aValue, const char* aFieldName) = 0;
  virtual void ReadDateTimeArray(std::vector<TDateTime>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::vector<TGUID>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::vector<ByteArray>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::vector<std::unique_ptr<uaNodeId>>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::vector<std::unique_ptr<uaExpandedNodeId>>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::vector<std::unique_ptr<uaQualifiedName>>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::vector<std::unique_ptr<uaLocalizedText>>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::vector<std::unique_ptr<uaExtensionObject>>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::vector<std::unique_ptr<uaDataValue>>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::vector<std::unique_ptr<uaVariant>>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::vector<std::unique_ptr<uaDiagnosticInfo>>& aValue, const char* aFieldName) = 0;

  // Decodes into an existing structure.
  virtual void Read(TuaObj& aValue, const char* aFieldName) = 0;
  // A new plain uaEnum holding the number.
  virtual void Read(std::unique_ptr<uaEnum>& aValue, const char* aFieldName) = 0;
  virtual void Read(std::vector<std::unique_ptr<uaEnum>>& aValue, const char* aFieldName) = 0;
  // Count, then that many new objects from aClass, each decoded.
  virtual void Read(std::vector<std::unique_ptr<TuaObj>>& aValue, const TuaObjFactory& aClass,
                    const char* aFieldName) = 0;
  virtual void Read(TuaObjs& aValue, const TuaObjFactory& aClass, const char* aFieldName) = 0;
  // The numeric identifier of a message's encoding node id (0 for a non-numeric form).
  virtual void ReadMessageId(uint32_t& aValue, const char* aFieldName) = 0;

  // Bytes not read yet.
  virtual size_t Remaining() const = 0;

  // --- conveniences (not virtual) ---
  void ReadStatusCode(uaStatusCode& aValue, const char* aFieldName) {
    Read(static_cast<uint32_t&>(aValue), aFieldName);
  }
  void ReadXmlElement(uaXmlElement& aValue, const char* aFieldName) {
    Read(static_cast<std::string&>(aValue), aFieldName);
  }
  // Arrays of a class given by a prototype object.
  void Read(std::vector<std::unique_ptr<TuaObj>>& aValue, const TuaObj& aPrototype, const char* aFieldName) {
    Read(aValue, TuaObjFactory([&aPrototype] { return aPrototype.Create(); }), aFieldName);
  }
  // An array of a structured type held with its own element class (default-constructible).
  template <class T>
  requires std::derived_from<T, TuaObj>
  void ReadObjArray(std::vector<std::unique_ptr<T>>& aValue, const char* aFieldName) {
    std::vector<std::unique_ptr<TuaObj>> items;
    Read(items, TuaObjFactory([] { return std::make_unique<T>(); }), aFieldName);
    aValue.clear();
    aValue.reserve(items.size());
    for (auto& e : items) aValue.emplace_back(static_cast<T*>(e.release()));
  }
};

// Writes the binary encoding into a ByteBuffer: its own, or one it is given by reference
// (which must outlive the encoder). Writes append at the buffer's position.
class TuaBinaryEncoder final : public IuaEncoder {
 public:
  TuaBinaryEncoder() : fBuf(&fOwnBuffer) {}
  explicit TuaBinaryEncoder(varo::ByteBuffer& aTarget) : fBuf(&aTarget) {}
  TuaBinaryEncoder(const TuaBinaryEncoder&) = delete;
  TuaBinaryEncoder& operator=(const TuaBinaryEncoder&) = delete;

  varo::ByteBuffer& Buffer() { return *fBuf; }
  const varo::ByteBuffer& Buffer() const { return *fBuf; }
  varo::ByteSpan View() const { return fBuf->view(); }
  // The written bytes; the buffer is left empty.
  ByteArray TakeBytes() { return fBuf->release(); }
  TuaEncoderContext& Context() { return fContext; }
  void WriteRawBytes(varo::ByteSpan aBytes) { fBuf->write(aBytes); }

  using IuaEncoder::Write;
  void Write(bool aValue, const char* aFieldName) override;
  void Write(int8_t aValue, const char* aFieldName) override;
  void Write(uint8_t aValue, const char* aFieldName) override;
  void Write(int16_t aValue, const char* aFieldName) override;
  void Write(uint16_t aValue, const char* aFieldName) override;
  void Write(int32_t aValue, const char* aFieldName) override;
  void Write(uint32_t aValue, const char* aFieldName) override;
  void Write(int64_t aValue, const char* aFieldName) override;
  void Write(uint64_t aValue, const char* aFieldName) override;
  void Write(float aValue, const char* aFieldName) override;
  void Write(double aValue, const char* aFieldName) override;
  void Write(std::string_view aValue, const char* aFieldName) override;
  void WriteDateTime(TDateTime aValue, const char* aFieldName) override;
  void Write(const TGUID& aValue, const char* aFieldName) override;
  void Write(const ByteArray& aValue, const char* aFieldName) override;
  void Write(const uaNodeId* aValue, const char* aFieldName) override;
  void Write(const uaExpandedNodeId* aValue, const char* aFieldName) override;
  void Write(const uaQualifiedName* aValue, const char* aFieldName) override;
  void Write(const uaLocalizedText* aValue, const char* aFieldName) override;
  void Write(const uaExtensionObject* aValue, const char* aFieldName) override;
  void Write(const uaVariant* aValue, const char* aFieldName) override;
  void Write(const uaDataValue* aValue, const char* aFieldName) override;
  void Write(const uaDiagnosticInfo* aValue, const char* aFieldName) override;
  void Write(const std::vector<bool>& aValue, const char* aFieldName) override;
  void Write(const std::vector<int8_t>& aValue, const char* aFieldName) override;
  void Write(const std::vector<int16_t>& aValue, const char* aFieldName) override;
  void Write(const std::vector<uint16_t>& aValue, const char* aFieldName) override;
  void Write(const std::vector<int32_t>& aValue, const char* aFieldName) override;
  void Write(const std::vector<uint32_t>& aValue, const char* aFieldName) override;
  void Write(const std::vector<int64_t>& aValue, const char* aFieldName) override;
  void Write(const std::vector<uint64_t>& aValue, const char* aFieldName) override;
  void Write(const std::vector<float>& aValue, const char* aFieldName) override;
  void Write(const std::vector<double>& aValue, const char* aFieldName) override;
  void Write(const std::vector<std::string>& aValue, const char* aFieldName) override;
  void WriteDateTimeArray(const std::vector<TDateTime>& aValue, const char* aFieldName) override;
  void Write(const std::vector<TGUID>& aValue, const char* aFieldName) override;
  void Write(const std::vector<ByteArray>& aValue, const char* aFieldName) override;
  void Write(const std::vector<std::unique_ptr<uaNodeId>>& aValue, const char* aFieldName) override;
  void Write(const std::vector<std::unique_ptr<uaExpandedNodeId>>& aValue, const char* aFieldName) override;
  void Write(const std::vector<std::unique_ptr<uaQualifiedName>>& aValue, const char* aFieldName) override;
  void Write(const std::vector<std::unique_ptr<uaLocalizedText>>& aValue, const char* aFieldName) override;
  void Write(const std::vector<std::unique_ptr<uaExtensionObject>>& aValue, const char* aFieldName) override;
  void Write(const std::vector<std::unique_ptr<uaDataValue>>& aValue, const char* aFieldName) override;
  void Write(const std::vector<std::unique_ptr<uaVariant>>& aValue, const char* aFieldName) override;
  void Write(const std::vector<std::unique_ptr<uaDiagnosticInfo>>& aValue, const char* aFieldName) override;
  void Write(const uaEnum* aValue, const char* aFieldName) override;
  void Write(const std::vector<std::unique_ptr<uaEnum>>& aValue, const char* aFieldName) override;
  void Write(const TuaObj* aValue, const char* aFieldName) override;
  void Write(const std::vector<std::unique_ptr<TuaObj>>& aValue, const char* aFieldName) override;
  void Write(const TuaObjs& aValue, const char* aFieldName) override;
  void WriteMessage(const TuaObj& aObj, const char* aFieldName) override;
  // An array of data values held by value.
  void Write(const std::vector<uaDataValue>& aValue, const char* aFieldName);

 private:
  // Inner routines (not virtual).
  template <class T>
  void raw(T v) {
    fBuf->writeLE(v);
  }
  void count(size_t n, bool emptyAsMinusOne = true);
  void str(std::string_view s);
  void bytes(varo::ByteSpan b);
  void guid(const TGUID& g);
  void nodeId(const uaNodeId* n, uint8_t flags);
  void expandedNodeId(const uaExpandedNodeId* n);
  void qualifiedName(const uaQualifiedName* q);
  void localizedText(const uaLocalizedText* t);
  void extensionObject(const uaExtensionObject* e);
  void variant(const uaVariant* v);
  void variantBody(const uaVariant& v);
  void dataValue(const uaDataValue* d);
  void diagnosticInfo(const uaDiagnosticInfo* d);
  void structure(const TuaObj* o);

  varo::ByteBuffer fOwnBuffer;
  varo::ByteBuffer* fBuf;
  TuaEncoderContext fContext;
};

// Reads the binary encoding from bytes it does not own: a span, a ByteBuffer's content, or a
// ByteReader (whose position advances with the decoder). A read past the end, a length or
// count larger than the bytes left, nesting deeper than kMaxDecodeDepth, or a form that would
// leave the stream out of step raises EuaDecodeError.
class TuaBinaryDecoder final : public IuaDecoder {
 public:
  explicit TuaBinaryDecoder(varo::ByteSpan aBytes) : fOwnReader(aBytes), fReader(&fOwnReader) {}
  explicit TuaBinaryDecoder(const varo::ByteBuffer& aBuffer) : TuaBinaryDecoder(aBuffer.view()) {}
  explicit TuaBinaryDecoder(const varo::ByteBuffer&&) = delete;
  explicit TuaBinaryDecoder(varo::ByteReader& aReader) : fReader(&aReader) {}
  TuaBinaryDecoder(const TuaBinaryDecoder&) = delete;
  TuaBinaryDecoder& operator=(const TuaBinaryDecoder&) = delete;

  TuaEncoderContext& Context() { return fContext; }
  // Whether soft errors (a null structure to decode into) raise; false by default.
  bool ReportError = false;
  size_t Position() const { return fReader->position(); }
  size_t Remaining() const override { return fReader->remaining(); }
  bool AtEnd() const { return fReader->atEnd(); }
  // Reads a String and keeps at most aMaxLength of its bytes.
  void ReadString(std::string& aValue, size_t aMaxLength);
  // A data value into an existing object, without allocating the object itself (mask 0
  // leaves the defaults); the fast path for large arrays of values.
  void Read(uaDataValue& aValue, const char* aFieldName);
  // An array of data values held by value (a null element on the wire gives the defaults).
  void Read(std::vector<uaDataValue>& aValue, const char* aFieldName);

  using IuaDecoder::Read;
  void Read(bool& aValue, const char* aFieldName) override;
  void Read(int8_t& aValue, const char* aFieldName) override;
  void Read(uint8_t& aValue, const char* aFieldName) override;
  void Read(int16_t& aValue, const char* aFieldName) override;
  void Read(uint16_t& aValue, const char* aFieldName) override;
  void Read(int32_t& aValue, const char* aFieldName) override;
  void Read(uint32_t& aValue, const char* aFieldName) override;
  void Read(int64_t& aValue, const char* aFieldName) override;
  void Read(uint64_t& aValue, const char* aFieldName) override;
  void Read(float& aValue, const char* aFieldName) override;
  void Read(double& aValue, const char* aFieldName) override;
  void Read(std::string& aValue, const char* aFieldName) override;
  void ReadDateTime(TDateTime& aValue, const char* aFieldName) override;
  void Read(TGUID& aValue, const char* aFieldName) override;
  void Read(ByteArray& aValue, const char* aFieldName) override;
  void Read(std::unique_ptr<uaNodeId>& aValue, const char* aFieldName) override;
  void Read(std::unique_ptr<uaExpandedNodeId>& aValue, const char* aFieldName) override;
  void Read(std::unique_ptr<uaQualifiedName>& aValue, const char* aFieldName) override;
  void Read(std::unique_ptr<uaLocalizedText>& aValue, const char* aFieldName) override;
  void Read(std::unique_ptr<uaExtensionObject>& aValue, const char* aFieldName) override;
  void Read(std::unique_ptr<uaDataValue>& aValue, const char* aFieldName) override;
  void Read(std::unique_ptr<uaVariant>& aValue, const char* aFieldName) override;
  void Read(std::unique_ptr<uaDiagnosticInfo>& aValue, const char* aFieldName) override;
  void Read(std::vector<bool>& aValue, const char* aFieldName) override;
  void Read(std::vector<int8_t>& aValue, const char* aFieldName) override;
  void Read(std::vector<int16_t>& aValue, const char* aFieldName) override;
  void Read(std::vector<uint16_t>& aValue, const char* aFieldName) override;
  void Read(std::vector<int32_t>& aValue, const char* aFieldName) override;
  void Read(std::vector<uint32_t>& aValue, const char* aFieldName) override;
  void Read(std::vector<int64_t>& aValue, const char* aFieldName) override;
  void Read(std::vector<uint64_t>& aValue, const char* aFieldName) override;
  void Read(std::vector<float>& aValue, const char* aFieldName) override;
  void Read(std::vector<double>& aValue, const char* aFieldName) override;
  void Read(std::vector<std::string>& aValue, const char* aFieldName) override;
  void ReadDateTimeArray(std::vector<TDateTime>& aValue, const char* aFieldName) override;
  void Read(std::vector<TGUID>& aValue, const char* aFieldName) override;
  void Read(std::vector<ByteArray>& aValue, const char* aFieldName) override;
  void Read(std::vector<std::unique_ptr<uaNodeId>>& aValue, const char* aFieldName) override;
  void Read(std::vector<std::unique_ptr<uaExpandedNodeId>>& aValue, const char* aFieldName) override;
  void Read(std::vector<std::unique_ptr<uaQualifiedName>>& aValue, const char* aFieldName) override;
  void Read(std::vector<std::unique_ptr<uaLocalizedText>>& aValue, const char* aFieldName) override;
  void Read(std::vector<std::unique_ptr<uaExtensionObject>>& aValue, const char* aFieldName) override;
  void Read(std::vector<std::unique_ptr<uaDataValue>>& aValue, const char* aFieldName) override;
  void Read(std::vector<std::unique_ptr<uaVariant>>& aValue, const char* aFieldName) override;
  void Read(std::vector<std::unique_ptr<uaDiagnosticInfo>>& aValue, const char* aFieldName) override;
  void Read(TuaObj& aValue, const char* aFieldName) override;
  void Read(std::unique_ptr<uaEnum>& aValue, const char* aFieldName) override;
  void Read(std::vector<std::unique_ptr<uaEnum>>& aValue, const char* aFieldName) override;
  void Read(std::vector<std::unique_ptr<TuaObj>>& aValue, const TuaObjFactory& aClass,
            const char* aFieldName) override;
  void Read(TuaObjs& aValue, const TuaObjFactory& aClass, const char* aFieldName) override;
  void ReadMessageId(uint32_t& aValue, const char* aFieldName) override;

 private:
  class DepthGuard;
  [[noreturn]] static void fail(const std::string& detail);
  void need(size_t n) const {
    if (n > fReader->remaining()) fail("Stream read error");
  }
  template <class T>
  T raw() {
    need(sizeof(T));
    return fReader->readLE<T>();
  }
  // Element count of an array: negative gives 0; more than the bytes left allow (at
  // aMinSize bytes per element) or than the context allows raises.
  size_t count(size_t aMinSize);
  void str(std::string& out, uint32_t aLimit);
  void bytes(ByteArray& out);
  TGUID guid();
  double dbl();
  float flt();
  TDateTime dateTime();
  std::unique_ptr<uaNodeId> nodeId(uint8_t* flags);
  std::unique_ptr<uaExpandedNodeId> expandedNodeId();
  std::unique_ptr<uaQualifiedName> qualifiedName();
  std::unique_ptr<uaLocalizedText> localizedText();
  std::unique_ptr<uaExtensionObject> extensionObject();
  std::unique_ptr<uaVariant> variant();
  std::unique_ptr<uaDataValue> dataValue();
  bool dataValueInto(uaDataValue& d);
  std::unique_ptr<uaDiagnosticInfo> diagnosticInfo();
  template <class T, class F>
  void objArray(std::vector<std::unique_ptr<T>>& out, size_t minSize, F&& one);
  template <class T, class F>
  void valArray(std::vector<T>& out, size_t minSize, F&& one);

  varo::ByteReader fOwnReader;
  varo::ByteReader* fReader;
  TuaEncoderContext fContext;
  int fDepth = 0;
};

// Decodes the binary body of an extension object into a given structure.
class TExtensionObjReader {
 public:
  // Raises EuaDecodeError "can only handle binary data" for another encoding and "wrong
  // extension object types (<found> <> <expected>)" when the type id's number differs from
  // aEncItem.ObjNo; aEncItem.NamespaceIndex becomes the type id's namespace.
  void ReadExtensionObj(const uaExtensionObject& aObj, TuaObj& aEncItem);
  // The extension object held by a scalar ExtensionObject variant.
  void ReadExtensionObj(const uaVariant& aObj, TuaObj& aEncItem);
  static void ReadObject(const uaExtensionObject& aObj, TuaObj& aEncItem) {
    TExtensionObjReader().ReadExtensionObj(aObj, aEncItem);
  }
  static void ReadObject(const uaVariant& aObj, TuaObj& aEncItem) {
    TExtensionObjReader().ReadExtensionObj(aObj, aEncItem);
  }
};

}  // namespace varo::ua
