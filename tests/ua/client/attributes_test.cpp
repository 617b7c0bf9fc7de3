// SPDX-License-Identifier: MPL-2.0
#include "ua/client/ua_attributes.h"

#include <gtest/gtest.h>

#include "platform/error.h"

namespace varo::ua {
namespace {

TEST(TuaAttributes, NamesOfEveryIdAndUnknownOutside) {
  const struct {
    int32_t id;
    const char* name;
  } cases[] = {
      {1, "Node Id"},
      {2, "Node Class"},
      {4, "Display Name"},
      {6, "WriteMask"},
      {7, "User Write Mask"},
      {12, "EventNotifier"},
      {13, "Value"},
      {14, "Data Type"},
      {19, "Minimum Sampling Interval"},
      {22, "UserExecutable"},
      {23, "DataTypeDefinition"},
      {24, "RolePermissions"},
      {25, "User Role Permissions"},
      {27, "Access Level Ex"},
      {0, "unknown"},
      {28, "unknown"},
      {-1, "unknown"},
  };
  for (const auto& c : cases) EXPECT_EQ(TuaAttributes::ToString(c.id), c.name) << c.id;
  for (int32_t id = 1; id <= 27; ++id) EXPECT_NE(TuaAttributes::ToString(id), "unknown") << id;
}

TEST(TuaAttributes, RangesAndBackwardRangeRefused) {
  const std::vector<int32_t> all = TuaAttributes::ToArray(1, 27);
  ASSERT_EQ(all.size(), 27u);
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], static_cast<int32_t>(i + 1));
  EXPECT_EQ(TuaAttributes::ToArray(5, 5), std::vector<int32_t>{5});
  try {
    TuaAttributes::ToArray(6, 5);
    FAIL() << "no exception";
  } catch (const EVaroError& e) {
    EXPECT_STREQ(e.what(), "Wrong parameter FromAttr or ToAttr in method TuaAttributes.ToArray");
  }
}

}  // namespace
}  // namespace varo::ua
