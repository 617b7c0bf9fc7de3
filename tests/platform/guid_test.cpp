// SPDX-License-Identifier: MPL-2.0
#include "platform/guid.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/error.h"
#include "platform/random.h"

namespace varo {
namespace {

TEST(Guid, RegistryFormRoundTrip) {
  TGUID g = StringToGUID("{12345678-9abc-DEF0-0123-456789abcdef}");
  EXPECT_EQ(g.Data1, 0x12345678u);
  EXPECT_EQ(g.Data2, 0x9ABC);
  EXPECT_EQ(g.Data3, 0xDEF0);
  EXPECT_EQ(g.Data4, (std::array<uint8_t, 8>{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}));
  EXPECT_EQ(GUIDToString(g), "{12345678-9ABC-DEF0-0123-456789ABCDEF}");
  EXPECT_EQ(StringToGUID(GUIDToString(g)), g);

  TGUID zero = StringToGUID("{00000000-0000-0000-0000-000000000000}");
  EXPECT_TRUE(zero.isNull());
  EXPECT_EQ(GUIDToString(TGUID{}), "{00000000-0000-0000-0000-000000000000}");
  TGUID ones = StringToGUID("{FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF}");
  EXPECT_EQ(ones.Data1, 0xFFFFFFFFu);
  EXPECT_FALSE(ones.isNull());
}

TEST(Guid, RejectsAnythingButTheRegistryForm) {
  const char* bad[] = {
      "",
      "12345678-9ABC-DEF0-0123-456789ABCDEF",
      "{12345678-9ABC-DEF0-0123-456789ABCDEF",
      "12345678-9ABC-DEF0-0123-456789ABCDEF}",
      "{12345678-9ABC-DEF0-0123-456789ABCDEF} ",
      " {12345678-9ABC-DEF0-0123-456789ABCDEF}",
      "{123456789ABCDEF00123456789ABCDEF}",
      "{12345678-9ABC-DEF0-0123-456789ABCDEG}",
      "{1234567-89ABC-DEF0-0123-456789ABCDEF}",
      "{12345678-9ABC-DEF0-0123-456789ABCDE}",
      "{12345678-9ABC-DEF0-0123-456789ABCDEF0}",
      "{12345678+9ABC-DEF0-0123-456789ABCDEF}",
      "{+2345678-9ABC-DEF0-0123-456789ABCDEF}",
      "{ 2345678-9ABC-DEF0-0123-456789ABCDEF}",
      "(12345678-9ABC-DEF0-0123-456789ABCDEF)",
  };
  for (const char* s : bad) EXPECT_THROW(StringToGUID(s), EConvertError) << s;
  try {
    StringToGUID("{xyz}");
    FAIL();
  } catch (const EConvertError& e) {
    EXPECT_STREQ(e.what(), "'{xyz}' is not a valid GUID value");
  }
}

TEST(Guid, NewGuidIsRandomVersion4) {
  TGUID a = NewGUID(), b = NewGUID();
  EXPECT_NE(a, b);
  for (const TGUID& g : {a, b}) {
    EXPECT_EQ(g.Data3 >> 12, 4);
    EXPECT_EQ(g.Data4[0] & 0xC0, 0x80);
    EXPECT_EQ(StringToGUID(GUIDToString(g)), g);
  }
}

TEST(SecureRandom, FillsBuffersOfEverySize) {
  EXPECT_TRUE(SecureRandomBytes(0).empty());
  SecureRandom(nullptr, 0);
  for (size_t n : {1u, 16u, 255u, 4096u, 1u << 20}) {
    ByteArray a = SecureRandomBytes(n), b = SecureRandomBytes(n);
    ASSERT_EQ(a.size(), n);
    if (n >= 16) {
      EXPECT_NE(a, b) << n;
      // A megabyte of zeros or a stuck byte would show here.
      EXPECT_GT(std::count_if(a.begin(), a.end(), [&](uint8_t x) { return x != a[0]; }), 0);
    }
  }
}

}  // namespace
}  // namespace varo
