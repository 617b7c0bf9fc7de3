// SPDX-License-Identifier: MPL-2.0
#include "platform/variant.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <locale>
#include <ostream>

#include "platform/error.h"
#include "support/test_support.h"

namespace varo {

// Readable failures: type and text of a value.
void PrintTo(const Variant& v, std::ostream* os) {
  *os << VarTypeName(v.type());
  if (v.isArray()) {
    *os << "[";
    for (size_t i = 0; i < v.length(); ++i) {
      if (i) *os << ", ";
      PrintTo(v.elements()[i], os);
    }
    *os << "]";
    return;
  }
  try {
    *os << " '" << v.toString() << "'";
  } catch (const std::exception&) {
    *os << " (no text)";
  }
}

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
constexpr int64_t kI64Min = std::numeric_limits<int64_t>::min();
constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();

Variant Arr(VarType t, std::vector<Variant> e) {
  return Variant::Array(t, std::move(e));
}

TEST(Variant, TypeNames) {
  EXPECT_EQ(VarTypeName(VT_I4), "VT_I4");
  EXPECT_EQ(VarTypeName(VT_BSTR), "VT_BSTR");
  EXPECT_EQ(VarTypeName(VT_ARRAY | VT_UI1), "VT_ARRAY|VT_UI1");
  EXPECT_EQ(VarTypeName(VT_ARRAY | VT_VARIANT), "VT_ARRAY|VT_VARIANT");
  EXPECT_EQ(VarTypeName(256), "VT_256");
}

TEST(Variant, ConstructorsPickTheTypeCode) {
  EXPECT_EQ(Variant().type(), VT_EMPTY);
  EXPECT_EQ(Variant::Null().type(), VT_NULL);
  EXPECT_EQ(Variant(true).type(), VT_BOOL);
  EXPECT_EQ(Variant(int8_t{1}).type(), VT_I1);
  EXPECT_EQ(Variant(uint8_t{1}).type(), VT_UI1);
  EXPECT_EQ(Variant(int16_t{1}).type(), VT_I2);
  EXPECT_EQ(Variant(uint16_t{1}).type(), VT_UI2);
  EXPECT_EQ(Variant(1).type(), VT_I4);
  EXPECT_EQ(Variant(1u).type(), VT_UI4);
  EXPECT_EQ(Variant(int64_t{1}).type(), VT_I8);
  EXPECT_EQ(Variant(uint64_t{1}).type(), VT_UI8);
  EXPECT_EQ(Variant(1.0f).type(), VT_R4);
  EXPECT_EQ(Variant(1.0).type(), VT_R8);
  EXPECT_EQ(Variant("x").type(), VT_BSTR);
  EXPECT_EQ(Variant(std::string_view("x")).type(), VT_BSTR);
  EXPECT_EQ(Variant::FromDate(1.0).type(), VT_DATE);
  EXPECT_EQ(Variant::FromCurrency(1).type(), VT_CY);
  EXPECT_EQ(Variant::FromError(1).type(), VT_ERROR);
  EXPECT_EQ(Variant::FromBytes(test::Hex("01 02")).type(), VT_ARRAY | VT_UI1);
}

TEST(Variant, ConversionsThatSucceed) {
  struct Case {
    Variant in;
    uint16_t to;
    Variant want;
  };
  const Case cases[] = {
      // integers between widths
      {Variant(5), VT_I2, Variant(int16_t{5})},
      {Variant(-1), VT_I8, Variant(int64_t{-1})},
      {Variant(int8_t{-128}), VT_I4, Variant(-128)},
      {Variant(uint16_t{65535}), VT_I4, Variant(65535)},
      {Variant(127), VT_I1, Variant(int8_t{127})},
      {Variant(255u), VT_UI1, Variant(uint8_t{255})},
      {Variant(kU64Max), VT_BSTR, Variant("18446744073709551615")},
      {Variant("18446744073709551615"), VT_UI8, Variant(kU64Max)},
      {Variant("-9223372036854775808"), VT_I8, Variant(kI64Min)},
      {Variant(kI64Min), VT_BSTR, Variant("-9223372036854775808")},
      {Variant(" 42 "), VT_I4, Variant(42)},
      {Variant("+7"), VT_I1, Variant(int8_t{7})},
      {Variant("1e3"), VT_I4, Variant(1000)},
      // floating to integer: half to even
      {Variant(2.5), VT_I4, Variant(2)},
      {Variant(3.5), VT_I4, Variant(4)},
      {Variant(-2.5), VT_I4, Variant(-2)},
      {Variant(-3.5), VT_I4, Variant(-4)},
      {Variant(0.5), VT_I4, Variant(0)},
      {Variant(1.5), VT_UI1, Variant(uint8_t{2})},
      {Variant(2.4999), VT_I4, Variant(2)},
      {Variant(-0.4), VT_UI4, Variant(0u)},
      {Variant(255.4f), VT_UI1, Variant(uint8_t{255})},
      {Variant("2.5"), VT_I2, Variant(int16_t{2})},
      {Variant(-9223372036854775808.0), VT_I8, Variant(kI64Min)},
      {Variant(18446744073709549568.0), VT_UI8, Variant(uint64_t{18446744073709549568u})},
      // floating text
      {Variant(1.5), VT_BSTR, Variant("1.5")},
      {Variant(0.1f), VT_BSTR, Variant("0.1")},
      {Variant(kNaN), VT_BSTR, Variant("NaN")},
      {Variant(-kInf), VT_BSTR, Variant("-INF")},
      {Variant("1.5"), VT_R8, Variant(1.5)},
      {Variant("0.1"), VT_R4, Variant(0.1f)},
      {Variant(3.0e38), VT_R4, Variant(3.0e38f)},
      {Variant(kInf), VT_R4, Variant(std::numeric_limits<float>::infinity())},
      {Variant("3.4028235e+38"), VT_R4, Variant(std::numeric_limits<float>::max())},
      {Variant(int64_t{1} << 53), VT_R8, Variant(9007199254740992.0)},
      // booleans: true is -1
      {Variant(true), VT_I4, Variant(-1)},
      {Variant(false), VT_I4, Variant(0)},
      {Variant(true), VT_R8, Variant(-1.0)},
      {Variant(false), VT_UI1, Variant(uint8_t{0})},
      {Variant(true), VT_BSTR, Variant("True")},
      {Variant(false), VT_BSTR, Variant("False")},
      {Variant("true"), VT_BOOL, Variant(true)},
      {Variant("FALSE"), VT_BOOL, Variant(false)},
      {Variant(" True "), VT_BOOL, Variant(true)},
      {Variant("0"), VT_BOOL, Variant(false)},
      {Variant("2.5"), VT_BOOL, Variant(true)},
      {Variant("True"), VT_I2, Variant(int16_t{-1})},
      {Variant(0), VT_BOOL, Variant(false)},
      {Variant(7), VT_BOOL, Variant(true)},
      {Variant(uint64_t{1} << 40), VT_BOOL, Variant(true)},
      {Variant(0.0), VT_BOOL, Variant(false)},
      // empty
      {Variant(), VT_I4, Variant(0)},
      {Variant(), VT_UI8, Variant(uint64_t{0})},
      {Variant(), VT_R8, Variant(0.0)},
      {Variant(), VT_BSTR, Variant("")},
      {Variant(), VT_BOOL, Variant(false)},
      {Variant(), VT_CY, Variant::FromCurrency(0)},
      {Variant(), VT_DATE, Variant::FromDate(0.0)},
      {Variant(5), VT_EMPTY, Variant()},
      {Variant(5), VT_NULL, Variant::Null()},
      // currency
      {Variant::FromCurrency(12345), VT_BSTR, Variant("1.2345")},
      {Variant::FromCurrency(-5000), VT_BSTR, Variant("-0.5")},
      {Variant::FromCurrency(10000), VT_BSTR, Variant("1")},
      {Variant::FromCurrency(kI64Min), VT_BSTR, Variant("-922337203685477.5808")},
      {Variant::FromCurrency(25000), VT_I4, Variant(2)},
      {Variant::FromCurrency(35000), VT_I4, Variant(4)},
      {Variant::FromCurrency(-25000), VT_I4, Variant(-2)},
      {Variant::FromCurrency(25001), VT_I4, Variant(3)},
      {Variant::FromCurrency(15000), VT_R8, Variant(1.5)},
      {Variant("1.23456"), VT_CY, Variant::FromCurrency(12346)},
      {Variant("1.23455"), VT_CY, Variant::FromCurrency(12346)},
      {Variant("1.23445"), VT_CY, Variant::FromCurrency(12344)},
      {Variant("1.234450001"), VT_CY, Variant::FromCurrency(12345)},
      {Variant("-922337203685477.5808"), VT_CY, Variant::FromCurrency(kI64Min)},
      {Variant("922337203685477.5807"), VT_CY, Variant::FromCurrency(kI64Max)},
      {Variant("1e2"), VT_CY, Variant::FromCurrency(1000000)},
      {Variant(3), VT_CY, Variant::FromCurrency(30000)},
      {Variant(1.5), VT_CY, Variant::FromCurrency(15000)},
      {Variant(true), VT_CY, Variant::FromCurrency(-10000)},
      // dates
      {Variant::FromDate(EncodeDateTime({2024, 2, 29, 12, 30, 0, 0})), VT_BSTR,
       Variant("2024-02-29 12:30:00")},
      {Variant::FromDate(-1.25), VT_BSTR, Variant("1899-12-29 06:00:00")},
      {Variant("2024-02-29 12:30:00"), VT_DATE,
       Variant::FromDate(EncodeDateTime({2024, 2, 29, 12, 30, 0, 0}))},
      {Variant("2024-02-29T12:30:00Z"), VT_DATE,
       Variant::FromDate(EncodeDateTime({2024, 2, 29, 12, 30, 0, 0}))},
      {Variant("36585.5"), VT_DATE, Variant::FromDate(36585.5)},
      {Variant(0.25), VT_DATE, Variant::FromDate(0.25)},
      {Variant(kNullDateTime), VT_DATE, Variant::FromDate(kNullDateTime)},
      {Variant::FromDate(2.75), VT_R8, Variant(2.75)},
      {Variant::FromDate(2.5), VT_I4, Variant(2)},
      // error codes
      {Variant::FromError(0x80004005u), VT_BSTR, Variant("2147500037")},
      {Variant(5u), VT_ERROR, Variant::FromError(5)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.in) + " -> " + VarTypeName(c.to));
    Variant got = c.in.changeType(c.to);
    EXPECT_EQ(got, c.want);
    EXPECT_EQ(got.type(), c.to);
  }
}

TEST(Variant, ConversionsThatFail) {
  enum Kind { kOverflow, kImpossible };
  struct Case {
    Variant in;
    uint16_t to;
    Kind kind;
  };
  const Case cases[] = {
      {Variant(70000), VT_UI2, kOverflow},
      {Variant(-1), VT_UI4, kOverflow},
      {Variant(-1), VT_UI8, kOverflow},
      {Variant(128), VT_I1, kOverflow},
      {Variant(-129), VT_I1, kOverflow},
      {Variant(256), VT_UI1, kOverflow},
      {Variant(int64_t{1} << 31), VT_I4, kOverflow},
      {Variant(kU64Max), VT_I8, kOverflow},
      {Variant(9223372036854775808.0), VT_I8, kOverflow},
      {Variant(18446744073709551615.0), VT_UI8, kOverflow},  // the double is 2^64
      {Variant(-0.5000001), VT_UI1, kOverflow},
      {Variant(kNaN), VT_I4, kOverflow},
      {Variant(kNaN), VT_UI8, kOverflow},
      {Variant(kInf), VT_I8, kOverflow},
      {Variant(-kInf), VT_I2, kOverflow},
      {Variant(32767.5), VT_I2, kOverflow},  // rounds to 32768
      {Variant("9223372036854775808"), VT_I8, kOverflow},
      {Variant("18446744073709551616"), VT_UI8, kOverflow},
      {Variant("-1"), VT_UI1, kOverflow},
      {Variant("1e400"), VT_R8, kOverflow},
      {Variant("1e400"), VT_I4, kOverflow},
      {Variant(1e39), VT_R4, kOverflow},
      {Variant(3.4028236e38), VT_R4, kOverflow},
      {Variant(true), VT_UI1, kOverflow},  // true is -1
      {Variant(int64_t{922337203685478}), VT_CY, kOverflow},
      {Variant(1e20), VT_CY, kOverflow},
      {Variant("922337203685477.5808"), VT_CY, kOverflow},
      {Variant::FromCurrency(-10000), VT_UI4, kOverflow},
      {Variant(1e10), VT_DATE, kOverflow},
      {Variant(-700000.0), VT_DATE, kOverflow},
      {Variant(kNaN), VT_DATE, kOverflow},
      {Variant::FromDate(kNaN), VT_BSTR, kOverflow},
      {Variant(-1), VT_ERROR, kOverflow},
      {Variant("abc"), VT_I4, kImpossible},
      {Variant(""), VT_I4, kImpossible},
      {Variant("abc"), VT_BOOL, kImpossible},
      {Variant("1,5"), VT_R8, kImpossible},
      {Variant("12abc"), VT_UI8, kImpossible},
      {Variant("2024-02-30"), VT_DATE, kImpossible},
      {Variant("abc"), VT_CY, kImpossible},
      {Variant::Null(), VT_I4, kImpossible},
      {Variant::Null(), VT_BSTR, kImpossible},
      {Variant::Null(), VT_BOOL, kImpossible},
      {Variant::Null(), VT_R8, kImpossible},
      {Variant::FromError(5), VT_I4, kImpossible},
      {Variant(5), VT_DISPATCH, kImpossible},
      {Variant(5), VT_UNKNOWN, kImpossible},
      {Variant(5), 99, kImpossible},
      {Variant(5), VT_ARRAY | VT_I4, kImpossible},
      {Arr(VT_I4, {Variant(1)}), VT_I4, kImpossible},
      {Arr(VT_I4, {Variant(1)}), VT_BSTR, kImpossible},
      {Arr(VT_BSTR, {Variant("1"), Variant("x")}), VT_ARRAY | VT_I4, kImpossible},
      {Arr(VT_I4, {Variant(1)}), VT_ARRAY | VT_NULL, kImpossible},
      {Arr(VT_I4, {Variant(300)}), VT_ARRAY | VT_UI1, kOverflow},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.in) + " -> " + VarTypeName(c.to));
    try {
      Variant v = c.in.changeType(c.to);
      ADD_FAILURE() << "converted to " << ::testing::PrintToString(v);
    } catch (const EVariantError& e) {
      std::string prefix = c.kind == kOverflow ? "Overflow while converting" : "Could not convert";
      EXPECT_EQ(std::string(e.what()).substr(0, prefix.size()), prefix) << e.what();
    }
  }
}

TEST(Variant, ErrorMessagesNameBothTypes) {
  try {
    Variant(70000).changeType(VT_UI2);
    FAIL();
  } catch (const EVariantError& e) {
    EXPECT_STREQ(e.what(), "Overflow while converting variant of type (VT_I4) into type (VT_UI2)");
  }
  try {
    Variant("abc").toInt64();
    FAIL();
  } catch (const EVariantError& e) {
    EXPECT_STREQ(e.what(), "Could not convert variant of type (VT_BSTR) into type (VT_I8)");
  }
  // Every variant error is also a conversion error.
  EXPECT_THROW(Variant::Null().toDouble(), EConvertError);
}

TEST(Variant, ScalarAccessors) {
  EXPECT_EQ(Variant(5).changeType(VT_VARIANT).type(), VT_I4);  // a scalar is its own variant
  EXPECT_EQ(Variant(int16_t{-5}).toInt64(), -5);
  EXPECT_EQ(Variant("18446744073709551615").toUInt64(), kU64Max);
  EXPECT_EQ(Variant("1.25").toDouble(), 1.25);
  EXPECT_EQ(Variant(3).toDate(), 3.0);
  EXPECT_EQ(Variant("2.5").toCurrency(), 25000);
  EXPECT_TRUE(Variant("TRUE").toBool());
  EXPECT_EQ(Variant::Null().toString(), "");
  EXPECT_EQ(Variant().toString(), "");
  EXPECT_EQ(Variant(-1.25).toString(), "-1.25");
  EXPECT_THROW(Arr(VT_I4, {Variant(1)}).toString(), EVariantError);
  EXPECT_THROW(Variant(kU64Max).toInt64(), EVariantError);
  EXPECT_THROW(Variant(-1).toUInt64(), EVariantError);
}

TEST(Variant, TextRoundTripKeepsTheValue) {
  const Variant values[] = {
      Variant(int8_t{-128}),
      Variant(uint8_t{255}),
      Variant(int16_t{-32768}),
      Variant(uint16_t{65535}),
      Variant(std::numeric_limits<int32_t>::min()),
      Variant(std::numeric_limits<uint32_t>::max()),
      Variant(kI64Min),
      Variant(kI64Max),
      Variant(kU64Max),
      Variant(0.1),
      Variant(1.0 / 3.0),
      Variant(std::numeric_limits<double>::max()),
      Variant(std::numeric_limits<double>::denorm_min()),
      Variant(-0.0),
      Variant(kInf),
      Variant(0.1f),
      Variant(std::numeric_limits<float>::max()),
      Variant(std::numeric_limits<float>::denorm_min()),
      Variant(true),
      Variant(false),
      Variant::FromCurrency(kI64Min),
      Variant::FromCurrency(kI64Max),
      Variant::FromCurrency(1),
      Variant::FromDate(EncodeDateTime({2024, 2, 29, 12, 30, 15, 250})),
      Variant::FromDate(EncodeDateTime({9999, 12, 31, 23, 59, 59, 999})),
      Variant::FromDate(kNullDateTime),
      Variant::FromDate(-1.25),
  };
  for (const Variant& v : values) {
    SCOPED_TRACE(::testing::PrintToString(v));
    EXPECT_EQ(v.changeType(VT_BSTR).changeType(v.type()), v);
  }
}

// A numpunct facet with a decimal comma.
struct CommaPunct : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
};

TEST(Variant, ConversionsIgnoreTheLocale) {
  std::locale saved =
      std::locale::global(std::locale(std::locale::classic(), new CommaPunct));  // owned by the locale
  std::string savedC = std::setlocale(LC_ALL, nullptr);
  std::setlocale(LC_ALL, "de_DE.UTF-8");  // used when installed
  EXPECT_EQ(Variant(1.5).toString(), "1.5");
  EXPECT_EQ(Variant("1.5").toDouble(), 1.5);
  EXPECT_EQ(Variant::FromCurrency(15000).toString(), "1.5");
  EXPECT_THROW(Variant("1,5").toDouble(), EVariantError);
  std::setlocale(LC_ALL, savedC.c_str());
  std::locale::global(saved);
}

TEST(Variant, NaNSurvivesFloatingConversions) {
  EXPECT_TRUE(std::isnan(Variant(kNaN).changeType(VT_R4).toDouble()));
  EXPECT_TRUE(std::isnan(Variant("NaN").toDouble()));
  EXPECT_TRUE(Variant(kNaN).toBool());
}

TEST(Variant, ArraysCheckTheirElements) {
  Variant a = Arr(VT_I4, {Variant(1), Variant(2), Variant(3)});
  EXPECT_EQ(a.type(), VT_ARRAY | VT_I4);
  EXPECT_TRUE(a.isArray());
  EXPECT_EQ(a.elementType(), VT_I4);
  EXPECT_EQ(a.length(), 3u);
  EXPECT_EQ(a.elements()[2], Variant(3));

  EXPECT_THROW(Arr(VT_I4, {Variant(1), Variant(int16_t{2})}), EVariantError);
  EXPECT_THROW(Arr(VT_I4, {Arr(VT_I4, {Variant(1)})}), EVariantError);
  EXPECT_THROW(Arr(VT_EMPTY, {}), EVariantError);
  EXPECT_THROW(Arr(VT_NULL, {}), EVariantError);
  EXPECT_THROW(Arr(VT_ARRAY, {}), EVariantError);
  Variant mixed = Arr(VT_VARIANT, {Variant(1), Variant("x"), Arr(VT_BOOL, {Variant(true)}), Variant()});
  EXPECT_EQ(mixed.type(), VT_ARRAY | VT_VARIANT);
  EXPECT_EQ(mixed.length(), 4u);
  EXPECT_EQ(Arr(VT_BSTR, {}).length(), 0u);

  Variant scalar(5);
  EXPECT_EQ(scalar.length(), 0u);
  EXPECT_THROW(scalar.elements(), EVariantError);
  const Variant& cscalar = scalar;
  EXPECT_THROW(cscalar.elements(), EVariantError);
}

TEST(Variant, ArraysConvertElementByElement) {
  Variant a = Arr(VT_I4, {Variant(1), Variant(-2), Variant(3)});
  EXPECT_EQ(a.changeType(VT_ARRAY | VT_BSTR), Arr(VT_BSTR, {Variant("1"), Variant("-2"), Variant("3")}));
  EXPECT_EQ(a.changeType(VT_ARRAY | VT_VARIANT), Arr(VT_VARIANT, {Variant(1), Variant(-2), Variant(3)}));
  EXPECT_EQ(Arr(VT_VARIANT, {Variant(1), Variant("2")}).changeType(VT_ARRAY | VT_I2),
            Arr(VT_I2, {Variant(int16_t{1}), Variant(int16_t{2})}));
  EXPECT_EQ(Arr(VT_BSTR, {}).changeType(VT_ARRAY | VT_R8), Arr(VT_R8, {}));
  EXPECT_THROW(a.changeType(VT_ARRAY | VT_UI4), EVariantError);  // -2
  EXPECT_THROW(Arr(VT_VARIANT, {Arr(VT_I4, {Variant(1)})}).changeType(VT_ARRAY | VT_I4), EVariantError);
}

TEST(Variant, Bytes) {
  ByteArray bytes = test::Hex("00 01 7F 80 FF");
  Variant v = Variant::FromBytes(bytes);
  EXPECT_EQ(v.length(), bytes.size());
  EXPECT_EQ(v.elements()[4], Variant(uint8_t{255}));
  EXPECT_EQ(v.toBytes(), bytes);
  EXPECT_TRUE(Variant::FromBytes({}).toBytes().empty());
  EXPECT_EQ(Arr(VT_I4, {Variant(1), Variant(255)}).toBytes(), test::Hex("01 FF"));
  EXPECT_EQ(Arr(VT_VARIANT, {Variant("16"), Variant(2.0)}).toBytes(), test::Hex("10 02"));
  EXPECT_THROW(Arr(VT_I4, {Variant(256)}).toBytes(), EVariantError);
  EXPECT_THROW(Arr(VT_I4, {Variant(-1)}).toBytes(), EVariantError);
  EXPECT_THROW(Variant(5).toBytes(), EVariantError);
  EXPECT_THROW(Variant("01").toBytes(), EVariantError);
}

TEST(Variant, EqualityComparesTypeAndValue) {
  EXPECT_EQ(Variant(1), Variant(1));
  EXPECT_NE(Variant(1), Variant(int64_t{1}));
  EXPECT_NE(Variant(1), Variant(1u));
  EXPECT_NE(Variant(1.0), Variant::FromDate(1.0));
  EXPECT_NE(Variant(1.0f), Variant(1.0));
  EXPECT_NE(Variant(int64_t{10000}), Variant::FromCurrency(10000));
  EXPECT_EQ(Variant("a"), Variant(std::string("a")));
  EXPECT_NE(Variant("a"), Variant("A"));
  EXPECT_EQ(Variant(), Variant());
  EXPECT_EQ(Variant::Null(), Variant::Null());
  EXPECT_NE(Variant(), Variant::Null());
  EXPECT_NE(Variant(true), Variant(false));
  EXPECT_NE(Variant(kNaN), Variant(kNaN));
  EXPECT_EQ(Arr(VT_I4, {Variant(1)}), Arr(VT_I4, {Variant(1)}));
  EXPECT_NE(Arr(VT_I4, {Variant(1)}), Arr(VT_I4, {Variant(2)}));
  EXPECT_NE(Arr(VT_I4, {Variant(1)}), Arr(VT_I4, {Variant(1), Variant(1)}));
  EXPECT_NE(Arr(VT_I4, {Variant(1)}), Arr(VT_VARIANT, {Variant(1)}));
  EXPECT_NE(Arr(VT_I4, {}), Variant());
}

}  // namespace
}  // namespace varo
