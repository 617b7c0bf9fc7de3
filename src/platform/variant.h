// SPDX-License-Identifier: MPL-2.0
// The variant value type: a tagged value over the VARIANT type codes with one-dimensional
// arrays. Item values of every protocol travel in it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.h"
#include "platform/datetime.h"

namespace varo {

enum VarType : uint16_t {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_R4 = 4,
  VT_R8 = 5,
  VT_CY = 6,  // currency: a 64-bit integer scaled by 10000
  VT_DATE = 7,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,  // an SCODE (unsigned 32-bit)
  VT_BOOL = 11,
  VT_VARIANT = 12,  // only as the element type of an array
  VT_UNKNOWN = 13,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_TYPEMASK = 0x0FFF,
  VT_ARRAY = 0x2000,
};

// Name of a type code ("VT_I4", "VT_ARRAY|VT_UI1"), for messages.
std::string VarTypeName(uint16_t vt);

class Variant {
 public:
  Variant() = default;  // VT_EMPTY
  static Variant Null();

  Variant(bool v) : vt_(VT_BOOL) { u_.b = v; }
  Variant(int8_t v) : vt_(VT_I1) { u_.i = v; }
  Variant(uint8_t v) : vt_(VT_UI1) { u_.u = v; }
  Variant(int16_t v) : vt_(VT_I2) { u_.i = v; }
  Variant(uint16_t v) : vt_(VT_UI2) { u_.u = v; }
  Variant(int32_t v) : vt_(VT_I4) { u_.i = v; }
  Variant(uint32_t v) : vt_(VT_UI4) { u_.u = v; }
  Variant(int64_t v) : vt_(VT_I8) { u_.i = v; }
  Variant(uint64_t v) : vt_(VT_UI8) { u_.u = v; }
  Variant(float v) : vt_(VT_R4) { u_.d = v; }
  Variant(double v) : vt_(VT_R8) { u_.d = v; }
  Variant(std::string v) : vt_(VT_BSTR), s_(std::move(v)) {}
  Variant(std::string_view v) : vt_(VT_BSTR), s_(v) {}
  Variant(const char* v) : vt_(VT_BSTR), s_(v) {}

  static Variant FromDate(TDateTime d);
  static Variant FromCurrency(int64_t scaledBy10000);
  static Variant FromError(uint32_t scode);
  // A one-dimensional array; elements must be of elemType unless elemType is VT_VARIANT.
  // Raises EVariantError when an element does not match.
  static Variant Array(VarType elemType, std::vector<Variant> elements);
  // VT_ARRAY|VT_UI1 from bytes.
  static Variant FromBytes(ByteSpan bytes);

  uint16_t type() const { return vt_; }
  VarType elementType() const { return static_cast<VarType>(vt_ & VT_TYPEMASK); }
  bool isArray() const { return (vt_ & VT_ARRAY) != 0; }
  bool isEmpty() const { return vt_ == VT_EMPTY; }
  bool isNull() const { return vt_ == VT_NULL; }
  bool isEmptyOrNull() const { return vt_ == VT_EMPTY || vt_ == VT_NULL; }

  // Array access; raises EVariantError when the value is not an array.
  const std::vector<Variant>& elements() const;
  std::vector<Variant>& elements();
  size_t length() const { return isArray() ? arr_.size() : 0; }
  // The bytes of a VT_ARRAY|VT_UI1 array (other integer arrays convert element-wise).
  ByteArray toBytes() const;

  // Conversions with range checks. An impossible conversion raises EVariantError
  // "Could not convert variant of type (X) into type (Y)"; a value out of the target range
  // raises EVariantError "Overflow while converting variant of type (X) into type (Y)".
  // Floating values convert to integers with round-half-to-even. Strings are parsed
  // independently of the locale. Empty converts to 0 / "" / false; Null raises.
  bool toBool() const;
  int64_t toInt64() const;
  uint64_t toUInt64() const;
  double toDouble() const;
  TDateTime toDate() const;
  int64_t toCurrency() const;
  // Text conversion of a scalar: integers in decimal, floats in the shortest round-trip form,
  // booleans "True"/"False", dates by DateTimeToString, currency with a period, VT_ERROR as
  // the unsigned code, Empty and Null as "". Raises for arrays.
  std::string toString() const;
  // Converts to another scalar type code (or to an array type element by element).
  Variant changeType(uint16_t vt) const;

  // Raw access for the exact type (no conversion); meaningful only for the matching type.
  int64_t rawInt() const { return u_.i; }
  uint64_t rawUInt() const { return u_.u; }
  double rawDouble() const { return u_.d; }
  bool rawBool() const { return u_.b; }
  const std::string& rawString() const { return s_; }

  // Same type code and same value (arrays element by element).
  bool operator==(const Variant& other) const;

 private:
  uint16_t vt_ = VT_EMPTY;
  union {
    bool b;
    int64_t i;  // VT_I1, VT_I2, VT_I4, VT_I8, VT_CY (scaled)
    uint64_t u;  // VT_UI1, VT_UI2, VT_UI4, VT_UI8, VT_ERROR
    double d;  // VT_R4, VT_R8, VT_DATE
  } u_{.i = 0};
  std::string s_;  // VT_BSTR
  std::vector<Variant> arr_;  // arrays
};

}  // namespace varo
