// SPDX-License-Identifier: MPL-2.0
#include "ua/client/ua_attributes.h"

#include <array>

#include "platform/error.h"

namespace varo::ua {

namespace {

constexpr std::array<const char*, kLastAttribute> kNames = {
    "Node Id",
    "Node Class",
    "Browse Name",
    "Display Name",
    "Description",
    "WriteMask",
    "User Write Mask",
    "Is Abstract",
    "Symmetric",
    "Inverse Name",
    "Contains No Loops",
    "EventNotifier",
    "Value",
    "Data Type",
    "Value Rank",
    "Array Dimensions",
    "Access Level",
    "User Access Level",
    "Minimum Sampling Interval",
    "Historizing",
    "Executable",
    "UserExecutable",
    "DataTypeDefinition",
    "RolePermissions",
    "User Role Permissions",
    "Access Restrictions",
    "Access Level Ex",
};

}  // namespace

std::string TuaAttributes::ToString(int32_t Attribut) {
  if (Attribut < kFirstAttribute || Attribut > kLastAttribute) return "unknown";
  return kNames[static_cast<size_t>(Attribut - kFirstAttribute)];
}

std::vector<int32_t> TuaAttributes::ToArray(int32_t FromAttr, int32_t ToAttr) {
  // The count is taken as an unsigned difference, so a range that runs backwards shows up
  // as a huge count; it is refused before anything is allocated.
  const uint32_t span = static_cast<uint32_t>(ToAttr) - static_cast<uint32_t>(FromAttr);
  if (span > 0x7FFFFFFEu) {
    throw EVaroError("Wrong parameter FromAttr or ToAttr in method TuaAttributes.ToArray");
  }
  std::vector<int32_t> ids;
  ids.reserve(static_cast<size_t>(span) + 1);
  for (uint32_t i = 0; i <= span; ++i)
    ids.push_back(static_cast<int32_t>(static_cast<uint32_t>(FromAttr) + i));
  return ids;
}

}  // namespace varo::ua
