// SPDX-License-Identifier: MPL-2.0
// Read-only ASN.1 DER reader and the value objects it fills.
//
// Every element is checked against its parent: a tag must match exactly, a length must fit
// in the bytes of the enclosing element, long-form lengths have at most four length bytes and
// indefinite lengths are rejected. Errors raise EuaSecurityError with the text
// "Certificate Error: <message> at [<absolute byte position>]".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.h"
#include "platform/datetime.h"
#include "ua/security/security_error.h"

namespace varo::ua {

// Universal tag bytes.
inline constexpr uint8_t kDerBoolean = 0x01;
inline constexpr uint8_t kDerInteger = 0x02;
inline constexpr uint8_t kDerBitString = 0x03;
inline constexpr uint8_t kDerOctetString = 0x04;
inline constexpr uint8_t kDerNull = 0x05;
inline constexpr uint8_t kDerOid = 0x06;
inline constexpr uint8_t kDerUtf8String = 0x0C;
inline constexpr uint8_t kDerPrintableString = 0x13;
inline constexpr uint8_t kDerIa5String = 0x16;
inline constexpr uint8_t kDerUtcTime = 0x17;
inline constexpr uint8_t kDerGeneralizedTime = 0x18;
inline constexpr uint8_t kDerUniversalString = 0x1C;
inline constexpr uint8_t kDerBmpString = 0x1E;
inline constexpr uint8_t kDerSequence = 0x30;
inline constexpr uint8_t kDerSet = 0x31;
// Longest long-form length accepted: four length bytes.
inline constexpr size_t kDerMaxLengthBytes = 4;

// Raises EuaSecurityError "Certificate Error: " + message + " at [" + pos + "]".
[[noreturn]] void ASN1Exception(std::string_view message, size_t pos);

// Upper-case hex pairs without separators.
std::string DerHex(ByteSpan bytes);

// Content bytes of one element.
class ASN1Value {
 public:
  virtual ~ASN1Value() = default;
  // Text of the given content bytes in the form of this class (hex for the base class).
  virtual std::string BytesToString(ByteSpan bytes) const;
  // Stores the content; empty content leaves the value unchanged.
  virtual void SetValue(ByteSpan content);
  const ByteArray& getValue() const { return fValue; }
  size_t ValueLength() const { return fValue.size(); }
  // The tag byte the value was read with (0 when never read).
  uint8_t Tag() const { return fTag; }
  // Sets the tag and stores the content through SetValue.
  void Assign(uint8_t tag, ByteSpan content);

  std::string ToString() const { return BytesToString(fValue); }
  bool Compare(const ASN1Value& other) const { return CompareByteString(fValue, other.fValue); }
  static bool CompareByteString(ByteSpan a, ByteSpan b);
  size_t BitSize() const { return 8 * ValueLength(); }

 protected:
  ByteArray fValue;
  uint8_t fTag = 0;
};

class ASN1Integer : public ASN1Value {
 public:
  // Drops one leading 0x00 that only carries the sign (0x00 followed by a byte >= 0x80).
  void SetValue(ByteSpan content) override;
  // Number of sign bytes dropped (0 or 1).
  int fstart = 0;

  bool IsNegative() const { return fstart == 0 && !fValue.empty() && (fValue[0] & 0x80); }
  // Raise "ASN.1 Integer out of range 32bit" / "... 64bit" when the value does not fit.
  int32_t ToInt() const;
  int64_t ToInt64() const;
  // Hex of the stored bytes (the magnitude of a non-negative number).
  std::string ToBigIntegerHex() const { return DerHex(fValue); }
  std::string ToStringDecimal() const;

  // Two's complement content bytes as a signed number of `size` bytes (4 or 8).
  static int64_t BytesToInt64(ByteSpan content, size_t size);
  // ASCII decimal digits only; another character raises "encoding has invalid char".
  static int64_t StrToInt(std::string_view digits);
};

class ASN1ObjectIdentifier : public ASN1Value {
 public:
  // Dotted decimal ("1.2.840.113549.1.1.1").
  std::string BytesToString(ByteSpan bytes) const override;
};

class ASN1StringType : public ASN1Value {
 public:
  // The bytes as text; BMPString and UniversalString are converted to UTF-8.
  std::string BytesToString(ByteSpan bytes) const override;
};

class ASN1BitString : public ASN1Value {
 public:
  // Eight characters 0/1 per byte, most significant bit first.
  std::string BytesToString(ByteSpan bytes) const override;
  int fpadBits = 0;
};

class DERBitString : public ASN1BitString {
 public:
  // First content byte is the unused-bit count, the rest the bits.
  void SetValue(ByteSpan content) override;
};

class ASN1OctetString : public ASN1Value {};

class ASN1Time : public ASN1Value {
 public:
  // "YYYY-MM-DD hh:mm:ss" (UTC), or the raw text when it is not a valid time.
  std::string BytesToString(ByteSpan bytes) const override;
  // The time as a UTC date-time. UTCTime (YYMMDDHHMM[SS]Z, YY < 50 is 20YY) and
  // GeneralizedTime (YYYYMMDDHHMM[SS[.fff]]Z); raises for local times and bad text.
  TDateTime Time() const;
  DateTimeParts Parts() const;
};

class ASN1TaggedObject : public ASN1Value {
 public:
  // Tag number of a low-tag-number tag byte.
  static int getTagNo(uint8_t tag) { return tag & 0x1F; }
};

// Header of one element: absolute positions inside the input.
struct DERHeader {
  uint8_t tag = 0;
  size_t headerPos = 0;   // position of the tag byte
  size_t contentPos = 0;  // first content byte
  size_t length = 0;      // content length
  size_t endPos() const { return contentPos + length; }
};

// Cursor over the elements between a position and an end inside one input buffer. A reader
// for the content of a constructed element is bounded by that element, so nothing read
// through it can leave its parent.
class DERReader {
 public:
  explicit DERReader(ByteSpan data) : data_(data), pos_(0), end_(data.size()) {}
  DERReader(ByteSpan data, size_t pos, size_t end);

  ByteSpan Data() const { return data_; }
  size_t Position() const { return pos_; }
  size_t End() const { return end_; }
  bool AtEnd() const { return pos_ >= end_; }
  // Tests the next tag byte without moving; false at the end.
  bool isNext(uint8_t tag) const { return pos_ < end_ && data_[pos_] == tag; }
  // The next tag byte, or -1 at the end.
  int PeekTag() const { return pos_ < end_ ? data_[pos_] : -1; }

  // One tag byte and the length; the content must fit before the end. The position is left
  // at the start of the content.
  DERHeader ReadTag();
  size_t ReadEncodingLength();
  // A constructed element with exactly this tag: returns a reader over its content and moves
  // this reader past the element.
  DERReader ReadHeader(uint8_t tag);
  DERReader ReadHeader(uint8_t tag, DERHeader& header);
  // Any element (or one with exactly this tag), skipped with its content.
  DERHeader ReadItem();
  DERHeader ReadItem(uint8_t tag);
  // Content bytes of the next element, whose tag must be exactly `tag`.
  ByteSpan ReadContent(uint8_t tag);

  void ReadInteger(ASN1Integer& result);
  void ReadOID(ASN1ObjectIdentifier& result);
  // An element of any tag.
  void ReadValue(ASN1Value& result);
  // UTCTime or GeneralizedTime.
  void ReadTime(ASN1Time& result);
  void ReadBitString(DERBitString& result);
  void ReadOctetString(ASN1OctetString& result);
  // An element of any primitive tag, read as text.
  void ReadString(ASN1StringType& result);
  bool ReadBoolean();
  // Raises "Wrong encoding" unless every byte of the element was read.
  void ExpectEnd() const;

  // Arcs of an OID content; raises "Wrong encoding" for a malformed encoding and
  // "OID arc overflow" for an arc above 64 bits. `pos` is the position reported.
  static std::vector<uint64_t> decodeOID(ByteSpan content, size_t pos = 0);
  // One base-128 sub-identifier at pos inside content (pos advances).
  static uint64_t DecodeOIDValue(ByteSpan content, size_t& pos, size_t basePos = 0);

 private:
  ByteSpan data_;
  size_t pos_;
  size_t end_;
};

// Names of the attribute types used in distinguished names.
struct oidNameMap {
  std::string ftype;
  std::string fdescription;
};

class OIDNames {
 public:
  // Empty fields when the OID is not known.
  static oidNameMap getNameForOid(const ASN1ObjectIdentifier& oid);
  // The short name, or the dotted OID when there is none.
  static std::string getTagForOid(const ASN1ObjectIdentifier& oid);
  static bool CompareOid(const ASN1ObjectIdentifier& oid, ByteSpan expected);
};

// Content bytes of object identifiers used by the certificate and key readers.
namespace oid {
inline constexpr uint8_t kRsaEncryption[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
inline constexpr uint8_t kSubjectAltName[] = {0x55, 0x1D, 0x11};
}  // namespace oid

// Name of a well-known public-key algorithm ("EC", "DSA", "Ed25519", ...) or "".
std::string PublicKeyAlgorithmName(const ASN1ObjectIdentifier& oid);

}  // namespace varo::ua
