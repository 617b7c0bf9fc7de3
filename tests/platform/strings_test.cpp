// SPDX-License-Identifier: MPL-2.0
#include "platform/strings.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>
#include <locale>

#include "platform/error.h"
#include "support/test_support.h"

namespace varo {
namespace {

using test::Hex;
using test::ToHex;

TEST(Strings, TrimRemovesControlCharactersAndSpacesOnly) {
  struct Case {
    std::string in, both, left, right;
  };
  const Case cases[] = {
      {"", "", "", ""},
      {"   ", "", "", ""},
      {"abc", "abc", "abc", "abc"},
      {" \t\r\na b\x01", "a b", "a b\x01", " \t\r\na b"},
      {std::string("\0x\0", 3), "x", std::string("x\0", 2), std::string("\0x", 2)},
      // Bytes of multi-byte characters are above 32 and stay.
      {"\xC2\xA0x\xC2\xA0", "\xC2\xA0x\xC2\xA0", "\xC2\xA0x\xC2\xA0", "\xC2\xA0x\xC2\xA0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(ToHex(ToBytes(c.in)));
    EXPECT_EQ(Trim(c.in), c.both);
    EXPECT_EQ(TrimLeft(c.in), c.left);
    EXPECT_EQ(TrimRight(c.in), c.right);
  }
}

TEST(Strings, CaseHelpersAreAsciiOnly) {
  EXPECT_TRUE(SameText("OPC.tcp://Host", "opc.TCP://host"));
  EXPECT_FALSE(SameText("abc", "abd"));
  EXPECT_FALSE(SameText("abc", "ab"));
  EXPECT_TRUE(StartsWithText("OPC.TCP://x", "opc.tcp://"));
  EXPECT_FALSE(StartsWithText("opc", "opc.tcp://"));
  EXPECT_TRUE(StartsWith("ua-user", "ua-"));
  EXPECT_FALSE(StartsWith("UA-user", "ua-"));
  EXPECT_TRUE(EndsWith("file.dat", ".dat"));
  EXPECT_EQ(ToUpperAscii("aZ09\xC3\xA4"), "AZ09\xC3\xA4");
  EXPECT_EQ(ToLowerAscii("AZ09\xC3\x84"), "az09\xC3\x84");
}

TEST(Strings, SplitKeepsEmptyPartsAndJoinInverts) {
  struct Case {
    std::string text;
    std::vector<std::string> parts;
  };
  const Case cases[] = {
      {"", {""}},
      {"a", {"a"}},
      {"a;b", {"a", "b"}},
      {";a;;b;", {"", "a", "", "b", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Split(c.text, ';'), c.parts);
    EXPECT_EQ(Join(c.parts, ";"), c.text);
  }
  EXPECT_EQ(Join({}, ", "), "");
  EXPECT_EQ(Join({"1", "2", "3"}, " | "), "1 | 2 | 3");
}

TEST(Strings, ReplaceAll) {
  EXPECT_EQ(ReplaceAll("a.b.c", ".", "::"), "a::b::c");
  EXPECT_EQ(ReplaceAll("aaa", "aa", "b"), "ba");
  EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
  EXPECT_EQ(ReplaceAll("abc", "abc", ""), "");
}

TEST(Strings, FormatHandlesLongOutput) {
  EXPECT_EQ(Format("UA Error ($%X) %s", 0x80010000u, "Bad"), "UA Error ($80010000) Bad");
  EXPECT_EQ(Format("%s", ""), "");
  std::string big(5000, 'x');
  EXPECT_EQ(Format("<%s>%d", big.c_str(), 7), "<" + big + ">7");
}

TEST(Strings, IntegerTextExtremes) {
  EXPECT_EQ(IntToStr(std::numeric_limits<int64_t>::min()), "-9223372036854775808");
  EXPECT_EQ(IntToStr(0), "0");
  EXPECT_EQ(UIntToStr(std::numeric_limits<uint64_t>::max()), "18446744073709551615");
}

TEST(Strings, FloatTextIsShortestRoundTrip) {
  struct Case {
    double v;
    const char* text;
  };
  const Case cases[] = {
      {1.5, "1.5"},
      {0.1, "0.1"},
      {-2.0, "-2"},
      {0.0, "0"},
      {-0.0, "-0"},
      {1e21, "1e+21"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {std::numeric_limits<double>::infinity(), "INF"},
      {-std::numeric_limits<double>::infinity(), "-INF"},
  };
  for (const auto& c : cases) EXPECT_EQ(FloatToStr(c.v), c.text);
  EXPECT_EQ(SingleToStr(0.1f), "0.1");
  EXPECT_EQ(SingleToStr(16777216.0f), "16777216");

  const double values[] = {0.1 + 0.2,
                           1.0 / 3.0,
                           std::numeric_limits<double>::max(),
                           std::numeric_limits<double>::min(),
                           std::numeric_limits<double>::denorm_min(),
                           -123456.789e-200};
  for (double v : values) EXPECT_EQ(StrToFloat(FloatToStr(v)), v) << FloatToStr(v);
  const float singles[] = {std::numeric_limits<float>::max(), std::numeric_limits<float>::denorm_min(),
                           3.14159f};
  for (float v : singles) {
    EXPECT_EQ(static_cast<float>(StrToFloat(SingleToStr(v))), v) << SingleToStr(v);
  }
}

TEST(Strings, IntegerParsingIsStrict) {
  struct Case {
    const char* text;
    std::optional<int64_t> value;
  };
  const Case cases[] = {
      {"0", 0},
      {"+5", 5},
      {"-0", 0},
      {"9223372036854775807", std::numeric_limits<int64_t>::max()},
      {"-9223372036854775808", std::numeric_limits<int64_t>::min()},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"+-1", std::nullopt},
      {"++1", std::nullopt},
      {" 1", std::nullopt},
      {"1 ", std::nullopt},
      {"1.0", std::nullopt},
      {"0x10", std::nullopt},
      {"12a", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(TryStrToInt64(c.text), c.value);
    if (c.value) {
      EXPECT_EQ(StrToInt64(c.text), *c.value);
    } else {
      EXPECT_THROW(StrToInt64(c.text), EConvertError);
    }
  }
  try {
    StrToInt64("12a");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'12a' is not a valid integer value");
  }
}

TEST(Strings, UnsignedAndInt32Ranges) {
  EXPECT_EQ(StrToUInt64("18446744073709551615"), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(StrToUInt64("+1"), 1u);
  EXPECT_THROW(StrToUInt64("18446744073709551616"), EConvertError);
  EXPECT_THROW(StrToUInt64("-1"), EConvertError);
  EXPECT_FALSE(TryStrToUInt64("-0"));
  EXPECT_EQ(StrToInt("-2147483648"), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(StrToInt("2147483647"), std::numeric_limits<int32_t>::max());
  EXPECT_THROW(StrToInt("2147483648"), EConvertError);
  EXPECT_THROW(StrToInt("-2147483649"), EConvertError);
}

TEST(Strings, FloatParsing) {
  struct Case {
    const char* text;
    std::optional<double> value;
  };
  const Case cases[] = {
      {"1.5", 1.5},
      {"+1.5", 1.5},
      {"-1e-3", -0.001},
      {"1E3", 1000.0},
      {".5", 0.5},
      {"5.", 5.0},
      {"42", 42.0},
      {"INF", std::numeric_limits<double>::infinity()},
      {"-inf", -std::numeric_limits<double>::infinity()},
      {"1e-400", 0.0},  // underflow reads as zero
      {"1e400", std::nullopt},
      {"-1e400", std::nullopt},
      {"1,5", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"e5", std::nullopt},
      {" 1.5", std::nullopt},
      {"1.5 ", std::nullopt},
      {"0x1p3", std::nullopt},
      {"infinity", std::nullopt},
      {"nan(1)", std::nullopt},
      {"+-1", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(TryStrToFloat(c.text), c.value);
  }
  EXPECT_TRUE(std::isnan(StrToFloat("NaN")));
  try {
    StrToFloat("1,5");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'1,5' is not a valid floating point value");
  }
}

// A numpunct facet with a decimal comma, as a German user locale would have.
struct CommaPunct : std::numpunct<char> {
  char do_decimal_point() const override { return ','; }
  char do_thousands_sep() const override { return '.'; }
  std::string do_grouping() const override { return "\3"; }
};

TEST(Strings, NumbersIgnoreTheLocale) {
  std::locale saved =
      std::locale::global(std::locale(std::locale::classic(), new CommaPunct));  // owned by the locale
  std::string savedC = std::setlocale(LC_ALL, nullptr);
  std::setlocale(LC_ALL, "de_DE.UTF-8");  // used when installed
  EXPECT_EQ(FloatToStr(1.5), "1.5");
  EXPECT_EQ(SingleToStr(2.25f), "2.25");
  EXPECT_EQ(StrToFloat("1.5"), 1.5);
  EXPECT_FALSE(TryStrToFloat("1,5"));
  EXPECT_EQ(IntToStr(1234567), "1234567");
  EXPECT_EQ(TryStrToFloat("1e-400"), 0.0);
  std::setlocale(LC_ALL, savedC.c_str());
  std::locale::global(saved);
}

TEST(Strings, Hex) {
  EXPECT_EQ(BytesToHex(Hex("00 0a ff 7E")), "000AFF7E");
  EXPECT_EQ(BytesToHex({}), "");
  struct Case {
    const char* text;
    const char* bytes;
  };
  const Case ok[] = {{"", ""}, {"0aFF", "0A FF"}, {"abc", "AB"}, {"0", ""}, {"DEADbeef", "DE AD BE EF"}};
  for (const auto& c : ok) EXPECT_EQ(HexToBytes(c.text), Hex(c.bytes)) << c.text;
  for (const char* bad : {"0g", "zz", "0a g", "0ag", " 0a", "0x0a"}) {
    EXPECT_THROW(HexToBytes(bad), EConvertError) << bad;
  }
}

TEST(Strings, Utf8ValidationAndSanitising) {
  struct Case {
    const char* in;  // hex
    bool valid;
    const char* sanitised;  // hex; R stands for the replacement character
  };
  const Case cases[] = {
      {"", true, ""},
      {"41 7F", true, "41 7F"},
      {"C3 A9", true, "C3 A9"},
      {"E2 82 AC", true, "E2 82 AC"},
      {"EF BF BF", true, "EF BF BF"},
      {"F0 9F 98 80", true, "F0 9F 98 80"},
      {"F4 8F BF BF", true, "F4 8F BF BF"},  // U+10FFFF
      {"F4 90 80 80", false, "R R R R"},     // above U+10FFFF
      {"C0 80", false, "R R"},               // overlong NUL
      {"C1 BF", false, "R R"},
      {"E0 80 80", false, "R R R"},       // overlong
      {"E0 9F BF", false, "R R R"},       // overlong
      {"F0 8F BF BF", false, "R R R R"},  // overlong
      {"ED A0 80", false, "R R R"},       // high surrogate
      {"ED BF BF", false, "R R R"},       // low surrogate
      {"ED 9F BF", true, "ED 9F BF"},     // U+D7FF
      {"E2 82", false, "R"},              // truncated at the end
      {"F0 9F 98", false, "R"},
      {"C3", false, "R"},
      {"E2 82 41", false, "R 41"},
      {"80", false, "R"},
      {"BF 41", false, "R 41"},
      {"FE FF", false, "R R"},
      {"F8 88 80 80 80", false, "R R R R R"},
      // One replacement per maximal invalid subpart.
      {"61 F1 80 80 E1 80 C2 62 80 63 80 BF 64", false, "61 R R R 62 R 63 R R 64"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    ByteArray in = Hex(c.in);
    std::string text(in.begin(), in.end());
    EXPECT_EQ(IsValidUtf8(text), c.valid);
    std::string want = ReplaceAll(c.sanitised, "R", "EF BF BD");
    std::string got = SanitizeUtf8(text);
    EXPECT_EQ(ToHex(ToBytes(got)), ToHex(Hex(want)));
    EXPECT_TRUE(IsValidUtf8(got));
  }
}

}  // namespace
}  // namespace varo
