// SPDX-License-Identifier: MPL-2.0
#include "platform/variant.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "platform/error.h"
#include "platform/strings.h"

namespace varo {

namespace {

const char* BaseTypeName(uint16_t vt) {
  switch (vt) {
    case VT_EMPTY:
      return "VT_EMPTY";
    case VT_NULL:
      return "VT_NULL";
    case VT_I2:
      return "VT_I2";
    case VT_I4:
      return "VT_I4";
    case VT_R4:
      return "VT_R4";
    case VT_R8:
      return "VT_R8";
    case VT_CY:
      return "VT_CY";
    case VT_DATE:
      return "VT_DATE";
    case VT_BSTR:
      return "VT_BSTR";
    case VT_DISPATCH:
      return "VT_DISPATCH";
    case VT_ERROR:
      return "VT_ERROR";
    case VT_BOOL:
      return "VT_BOOL";
    case VT_VARIANT:
      return "VT_VARIANT";
    case VT_UNKNOWN:
      return "VT_UNKNOWN";
    case VT_I1:
      return "VT_I1";
    case VT_UI1:
      return "VT_UI1";
    case VT_UI2:
      return "VT_UI2";
    case VT_UI4:
      return "VT_UI4";
    case VT_I8:
      return "VT_I8";
    case VT_UI8:
      return "VT_UI8";
    default:
      return nullptr;
  }
}

bool IsSigned(uint16_t vt) {
  return vt == VT_I1 || vt == VT_I2 || vt == VT_I4 || vt == VT_I8;
}
bool IsUnsigned(uint16_t vt) {
  return vt == VT_UI1 || vt == VT_UI2 || vt == VT_UI4 || vt == VT_UI8;
}
bool IsFloating(uint16_t vt) {
  return vt == VT_R4 || vt == VT_R8 || vt == VT_DATE;
}

// Element types a variant array may have.
bool IsArrayElementType(uint16_t vt) {
  return IsSigned(vt) || IsUnsigned(vt) || IsFloating(vt) || vt == VT_CY || vt == VT_BSTR || vt == VT_ERROR ||
         vt == VT_BOOL || vt == VT_VARIANT;
}

[[noreturn]] void CannotConvert(uint16_t from, uint16_t to) {
  throw EVariantError("Could not convert variant of type (" + VarTypeName(from) + ") into type (" +
                      VarTypeName(to) + ")");
}

[[noreturn]] void Overflow(uint16_t from, uint16_t to) {
  throw EVariantError("Overflow while converting variant of type (" + VarTypeName(from) + ") into type (" +
                      VarTypeName(to) + ")");
}

double RoundHalfEven(double x) {
  double f = std::floor(x);
  double diff = x - f;
  if (diff > 0.5) return f + 1;
  if (diff < 0.5) return f;
  return std::fmod(f, 2.0) == 0 ? f : f + 1;
}

// 2^63 and 2^64 are exact doubles; every double below them converts without overflow.
constexpr double kTwo63 = 9223372036854775808.0;
constexpr double kTwo64 = 18446744073709551616.0;

int64_t DoubleToI64(double d, uint16_t from, uint16_t to) {
  if (std::isnan(d)) Overflow(from, to);
  double r = RoundHalfEven(d);
  if (!(r >= -kTwo63 && r < kTwo63)) Overflow(from, to);
  return static_cast<int64_t>(r);
}

uint64_t DoubleToU64(double d, uint16_t from, uint16_t to) {
  if (std::isnan(d)) Overflow(from, to);
  double r = RoundHalfEven(d);
  if (!(r >= 0 && r < kTwo64)) Overflow(from, to);
  return static_cast<uint64_t>(r);
}

// Currency (scaled by 10000) to a whole number, half to even.
int64_t CurrencyToI64(int64_t c) {
  int64_t q = c / 10000, r = c % 10000;
  int64_t sign = c < 0 ? -1 : 1;
  int64_t ar = r < 0 ? -r : r;
  if (ar > 5000 || (ar == 5000 && (q % 2) != 0)) q += sign;
  return q;
}

std::string CurrencyToStr(int64_t c) {
  uint64_t mag = c < 0 ? 0 - static_cast<uint64_t>(c) : static_cast<uint64_t>(c);
  std::string s = c < 0 ? "-" : "";
  s += UIntToStr(mag / 10000);
  uint64_t frac = mag % 10000;
  if (frac) {
    char buf[5] = {static_cast<char>('0' + frac / 1000), static_cast<char>('0' + frac / 100 % 10),
                   static_cast<char>('0' + frac / 10 % 10), static_cast<char>('0' + frac % 10), 0};
    std::string f(buf, 4);
    while (!f.empty() && f.back() == '0') f.pop_back();
    s += '.';
    s += f;
  }
  return s;
}

enum class Parse { ok, overflow, invalid };

bool BoolText(std::string_view t, bool* v) {
  if (SameText(t, "True")) return *v = true, true;
  if (SameText(t, "False")) return *v = false, true;
  return false;
}

// Floating text: an overflowing but well-formed number reports overflow.
Parse ParseFloat(std::string_view t, double* v) {
  if (auto d = TryStrToFloat(t)) {
    *v = *d;
    return Parse::ok;
  }
  std::string_view u = t;
  if (u.size() >= 2 && u[0] == '+' && u[1] != '-') u.remove_prefix(1);
  double tmp;
  auto [p, ec] = std::from_chars(u.data(), u.data() + u.size(), tmp);
  if (ec == std::errc::result_out_of_range && p == u.data() + u.size()) return Parse::overflow;
  return Parse::invalid;
}

// Exact decimal text to currency: [+|-]digits[.digits], rounded half to even at 4 places.
Parse ParseCurrency(std::string_view t, int64_t* v) {
  size_t i = 0;
  bool neg = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';
  unsigned __int128 mag = 0;
  constexpr unsigned __int128 kLimit = static_cast<unsigned __int128>(1) << 64;
  size_t digits = 0;
  while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
    mag = mag * 10 + static_cast<unsigned>(t[i++] - '0');
    if (mag > kLimit) return Parse::overflow;
    ++digits;
  }
  mag *= 10000;
  int fracDigits = 0;
  int roundDigit = -1;
  bool restNonZero = false;
  if (i < t.size() && t[i] == '.') {
    ++i;
    unsigned __int128 frac = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
      int d = t[i++] - '0';
      if (fracDigits < 4) {
        frac = frac * 10 + static_cast<unsigned>(d);
      } else if (fracDigits == 4) {
        roundDigit = d;
      } else if (d != 0) {
        restNonZero = true;
      }
      ++fracDigits;
      ++digits;
    }
    for (int k = fracDigits; k < 4; ++k) frac *= 10;
    mag += frac;
  }
  if (digits == 0 || i != t.size()) return Parse::invalid;
  if (roundDigit > 5 || (roundDigit == 5 && (restNonZero || (mag % 2) != 0))) ++mag;
  if (neg ? mag > (static_cast<unsigned __int128>(1) << 63)
          : mag >= (static_cast<unsigned __int128>(1) << 63)) {
    return Parse::overflow;
  }
  *v = neg ? static_cast<int64_t>(0 - static_cast<uint64_t>(mag)) : static_cast<int64_t>(mag);
  return Parse::ok;
}

int64_t ToI64(const Variant& v, uint16_t to) {
  uint16_t vt = v.type();
  if (v.isArray()) CannotConvert(vt, to);
  switch (vt) {
    case VT_EMPTY:
      return 0;
    case VT_BOOL:
      return v.rawBool() ? -1 : 0;
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
      return v.rawInt();
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
      if (v.rawUInt() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) Overflow(vt, to);
      return static_cast<int64_t>(v.rawUInt());
    case VT_R4:
    case VT_R8:
    case VT_DATE:
      return DoubleToI64(v.rawDouble(), vt, to);
    case VT_CY:
      return CurrencyToI64(v.rawInt());
    case VT_BSTR: {
      std::string_view t = Trim(v.rawString());
      if (auto i = TryStrToInt64(t)) return *i;
      if (TryStrToUInt64(t)) Overflow(vt, to);
      double d;
      switch (ParseFloat(t, &d)) {
        case Parse::ok:
          return DoubleToI64(d, vt, to);
        case Parse::overflow:
          Overflow(vt, to);
        case Parse::invalid:
          break;
      }
      bool b;
      if (BoolText(t, &b)) return b ? -1 : 0;
      CannotConvert(vt, to);
    }
    default:
      CannotConvert(vt, to);
  }
}

uint64_t ToU64(const Variant& v, uint16_t to) {
  uint16_t vt = v.type();
  if (v.isArray()) CannotConvert(vt, to);
  switch (vt) {
    case VT_EMPTY:
      return 0;
    case VT_BOOL:
      // true is -1, which no unsigned type holds.
      if (v.rawBool()) Overflow(vt, to);
      return 0;
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
      if (v.rawInt() < 0) Overflow(vt, to);
      return static_cast<uint64_t>(v.rawInt());
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
      return v.rawUInt();
    case VT_R4:
    case VT_R8:
    case VT_DATE:
      return DoubleToU64(v.rawDouble(), vt, to);
    case VT_CY: {
      int64_t i = CurrencyToI64(v.rawInt());
      if (i < 0) Overflow(vt, to);
      return static_cast<uint64_t>(i);
    }
    case VT_BSTR: {
      std::string_view t = Trim(v.rawString());
      if (auto u = TryStrToUInt64(t)) return *u;
      if (TryStrToInt64(t)) Overflow(vt, to);  // negative
      double d;
      switch (ParseFloat(t, &d)) {
        case Parse::ok:
          return DoubleToU64(d, vt, to);
        case Parse::overflow:
          Overflow(vt, to);
        case Parse::invalid:
          break;
      }
      bool b;
      if (BoolText(t, &b)) {
        if (b) Overflow(vt, to);
        return 0;
      }
      CannotConvert(vt, to);
    }
    default:
      CannotConvert(vt, to);
  }
}

double ToR8(const Variant& v, uint16_t to) {
  uint16_t vt = v.type();
  if (v.isArray()) CannotConvert(vt, to);
  switch (vt) {
    case VT_EMPTY:
      return 0;
    case VT_BOOL:
      return v.rawBool() ? -1.0 : 0.0;
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
      return static_cast<double>(v.rawInt());
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
      return static_cast<double>(v.rawUInt());
    case VT_R4:
    case VT_R8:
    case VT_DATE:
      return v.rawDouble();
    case VT_CY:
      return static_cast<double>(v.rawInt()) / 10000.0;
    case VT_BSTR: {
      std::string_view t = Trim(v.rawString());
      double d;
      switch (ParseFloat(t, &d)) {
        case Parse::ok:
          return d;
        case Parse::overflow:
          Overflow(vt, to);
        case Parse::invalid:
          break;
      }
      bool b;
      if (BoolText(t, &b)) return b ? -1.0 : 0.0;
      CannotConvert(vt, to);
    }
    default:
      CannotConvert(vt, to);
  }
}

int64_t ToCY(const Variant& v, uint16_t to) {
  uint16_t vt = v.type();
  if (v.isArray()) CannotConvert(vt, to);
  constexpr int64_t kMaxWhole = std::numeric_limits<int64_t>::max() / 10000;
  switch (vt) {
    case VT_CY:
      return v.rawInt();
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
      if (v.rawInt() > kMaxWhole || v.rawInt() < -kMaxWhole) Overflow(vt, to);
      return v.rawInt() * 10000;
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
      if (v.rawUInt() > static_cast<uint64_t>(kMaxWhole)) Overflow(vt, to);
      return static_cast<int64_t>(v.rawUInt()) * 10000;
    case VT_BSTR: {
      std::string_view t = Trim(v.rawString());
      int64_t c;
      switch (ParseCurrency(t, &c)) {
        case Parse::ok:
          return c;
        case Parse::overflow:
          Overflow(vt, to);
        case Parse::invalid:
          break;
      }
      break;  // exponent forms and True/False below
    }
    default:
      break;
  }
  return DoubleToI64(ToR8(v, to) * 10000.0, vt, to);
}

// Range of an OLE date: 0100-01-01 00:00 to 9999-12-31 23:59:59.999.
TDateTime CheckDate(double d, uint16_t from, uint16_t to) {
  if (!(d > kNullDateTime - 1.0 && d < 2958466.0)) Overflow(from, to);
  return d;
}

TDateTime ToDate(const Variant& v, uint16_t to) {
  uint16_t vt = v.type();
  if (vt == VT_DATE) return v.rawDouble();
  if (vt == VT_BSTR) {
    std::string_view t = Trim(v.rawString());
    try {
      return StrToDateTime(t);
    } catch (const EConvertError&) {
    }
  }
  return CheckDate(ToR8(v, to), vt, to);
}

bool ToBool(const Variant& v, uint16_t to) {
  uint16_t vt = v.type();
  if (v.isArray()) CannotConvert(vt, to);
  switch (vt) {
    case VT_EMPTY:
      return false;
    case VT_BOOL:
      return v.rawBool();
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_CY:
      return v.rawInt() != 0;
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
      return v.rawUInt() != 0;
    case VT_R4:
    case VT_R8:
    case VT_DATE:
      return v.rawDouble() != 0;
    case VT_BSTR: {
      std::string_view t = Trim(v.rawString());
      bool b;
      if (BoolText(t, &b)) return b;
      double d;
      switch (ParseFloat(t, &d)) {
        case Parse::ok:
          return d != 0;
        case Parse::overflow:
          return true;
        case Parse::invalid:
          break;
      }
      CannotConvert(vt, to);
    }
    default:
      CannotConvert(vt, to);
  }
}

std::string ToStr(const Variant& v, uint16_t to) {
  uint16_t vt = v.type();
  if (v.isArray()) CannotConvert(vt, to);
  switch (vt) {
    case VT_EMPTY:
    case VT_NULL:
      return "";
    case VT_BOOL:
      return v.rawBool() ? "True" : "False";
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
      return IntToStr(v.rawInt());
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_ERROR:
      return UIntToStr(v.rawUInt());
    case VT_R4:
      return SingleToStr(static_cast<float>(v.rawDouble()));
    case VT_R8:
      return FloatToStr(v.rawDouble());
    case VT_CY:
      return CurrencyToStr(v.rawInt());
    case VT_DATE:
      try {
        return DateTimeToString(v.rawDouble());
      } catch (const EConvertError&) {
        Overflow(vt, to);
      }
    case VT_BSTR:
      return v.rawString();
    default:
      CannotConvert(vt, to);
  }
}

template <typename T>
T Narrow(int64_t i, uint16_t from, uint16_t to) {
  if (i < std::numeric_limits<T>::min() || i > std::numeric_limits<T>::max()) Overflow(from, to);
  return static_cast<T>(i);
}

template <typename T>
T NarrowU(uint64_t u, uint16_t from, uint16_t to) {
  if (u > std::numeric_limits<T>::max()) Overflow(from, to);
  return static_cast<T>(u);
}

}  // namespace

std::string VarTypeName(uint16_t vt) {
  std::string prefix = (vt & VT_ARRAY) ? "VT_ARRAY|" : "";
  uint16_t base = static_cast<uint16_t>(vt & ~VT_ARRAY);
  if (const char* name = BaseTypeName(base)) return prefix + name;
  return prefix + "VT_" + UIntToStr(base);
}

Variant Variant::Null() {
  Variant v;
  v.vt_ = VT_NULL;
  return v;
}

Variant Variant::FromDate(TDateTime d) {
  Variant v;
  v.vt_ = VT_DATE;
  v.u_.d = d;
  return v;
}

Variant Variant::FromCurrency(int64_t scaledBy10000) {
  Variant v;
  v.vt_ = VT_CY;
  v.u_.i = scaledBy10000;
  return v;
}

Variant Variant::FromError(uint32_t scode) {
  Variant v;
  v.vt_ = VT_ERROR;
  v.u_.u = scode;
  return v;
}

Variant Variant::Array(VarType elemType, std::vector<Variant> elements) {
  if (!IsArrayElementType(elemType)) {
    throw EVariantError("Invalid variant array type (" + VarTypeName(elemType) + ")");
  }
  if (elemType != VT_VARIANT) {
    for (const Variant& e : elements) {
      if (e.type() != elemType) CannotConvert(e.type(), elemType);
    }
  }
  Variant v;
  v.vt_ = static_cast<uint16_t>(VT_ARRAY | elemType);
  v.arr_ = std::move(elements);
  return v;
}

Variant Variant::FromBytes(ByteSpan bytes) {
  Variant v;
  v.vt_ = VT_ARRAY | VT_UI1;
  v.arr_.reserve(bytes.size());
  for (uint8_t b : bytes) v.arr_.emplace_back(b);
  return v;
}

const std::vector<Variant>& Variant::elements() const {
  if (!isArray()) throw EVariantError("Variant is not an array");
  return arr_;
}

std::vector<Variant>& Variant::elements() {
  if (!isArray()) throw EVariantError("Variant is not an array");
  return arr_;
}

ByteArray Variant::toBytes() const {
  constexpr uint16_t kTarget = VT_ARRAY | VT_UI1;
  if (!isArray()) CannotConvert(vt_, kTarget);
  ByteArray out;
  out.reserve(arr_.size());
  for (const Variant& e : arr_) {
    if (e.vt_ == VT_UI1) {
      out.push_back(static_cast<uint8_t>(e.u_.u));
    } else {
      out.push_back(NarrowU<uint8_t>(ToU64(e, VT_UI1), e.vt_, VT_UI1));
    }
  }
  return out;
}

bool Variant::toBool() const {
  return ToBool(*this, VT_BOOL);
}
int64_t Variant::toInt64() const {
  return ToI64(*this, VT_I8);
}
uint64_t Variant::toUInt64() const {
  return ToU64(*this, VT_UI8);
}
double Variant::toDouble() const {
  return ToR8(*this, VT_R8);
}
TDateTime Variant::toDate() const {
  return ToDate(*this, VT_DATE);
}
int64_t Variant::toCurrency() const {
  return ToCY(*this, VT_CY);
}
std::string Variant::toString() const {
  return ToStr(*this, VT_BSTR);
}

Variant Variant::changeType(uint16_t vt) const {
  if (vt == vt_) return *this;
  if (vt & VT_ARRAY) {
    uint16_t elem = static_cast<uint16_t>(vt & ~VT_ARRAY);
    if (!isArray() || !IsArrayElementType(elem)) CannotConvert(vt_, vt);
    if (elem == VT_VARIANT) return Array(VT_VARIANT, arr_);
    std::vector<Variant> out;
    out.reserve(arr_.size());
    for (const Variant& e : arr_) out.push_back(e.changeType(elem));
    return Array(static_cast<VarType>(elem), std::move(out));
  }
  switch (vt) {
    case VT_EMPTY:
      return Variant();
    case VT_NULL:
      return Null();
    case VT_VARIANT:
      return *this;
    default:
      break;
  }
  if (isArray() || vt_ == VT_NULL) CannotConvert(vt_, vt);
  switch (vt) {
    case VT_I1:
      return Variant(Narrow<int8_t>(ToI64(*this, vt), vt_, vt));
    case VT_I2:
      return Variant(Narrow<int16_t>(ToI64(*this, vt), vt_, vt));
    case VT_I4:
      return Variant(Narrow<int32_t>(ToI64(*this, vt), vt_, vt));
    case VT_I8:
      return Variant(ToI64(*this, vt));
    case VT_UI1:
      return Variant(NarrowU<uint8_t>(ToU64(*this, vt), vt_, vt));
    case VT_UI2:
      return Variant(NarrowU<uint16_t>(ToU64(*this, vt), vt_, vt));
    case VT_UI4:
      return Variant(NarrowU<uint32_t>(ToU64(*this, vt), vt_, vt));
    case VT_UI8:
      return Variant(ToU64(*this, vt));
    case VT_ERROR:
      return FromError(NarrowU<uint32_t>(ToU64(*this, vt), vt_, vt));
    case VT_R4: {
      double d = ToR8(*this, vt);
      // Values up to half a unit above the largest float still round to it.
      const double limit = static_cast<double>(std::numeric_limits<float>::max()) + std::ldexp(1.0, 103);
      if (std::isfinite(d) && std::fabs(d) >= limit) Overflow(vt_, vt);
      return Variant(static_cast<float>(d));
    }
    case VT_R8:
      return Variant(ToR8(*this, vt));
    case VT_CY:
      return FromCurrency(ToCY(*this, vt));
    case VT_DATE:
      return FromDate(ToDate(*this, vt));
    case VT_BSTR:
      return Variant(ToStr(*this, vt));
    case VT_BOOL:
      return Variant(ToBool(*this, vt));
    default:
      CannotConvert(vt_, vt);
  }
}

bool Variant::operator==(const Variant& other) const {
  if (vt_ != other.vt_) return false;
  if (isArray()) return arr_ == other.arr_;
  switch (vt_) {
    case VT_EMPTY:
    case VT_NULL:
      return true;
    case VT_BOOL:
      return u_.b == other.u_.b;
    case VT_R4:
    case VT_R8:
    case VT_DATE:
      return u_.d == other.u_.d;
    case VT_BSTR:
      return s_ == other.s_;
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UI8:
    case VT_ERROR:
      return u_.u == other.u_.u;
    default:
      return u_.i == other.u_.i;
  }
}

}  // namespace varo
