// SPDX-License-Identifier: MPL-2.0
// Names and ranges of the node attributes (the standard attribute ids 1 to 27).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace varo::ua {

// Attribute ids used by the client's node helpers.
enum TuaAttributeId : uint32_t {
  attrNodeId = 1,
  attrNodeClass = 2,
  attrBrowseName = 3,
  attrDisplayName = 4,
  attrDescription = 5,
  attrWriteMask = 6,
  attrUserWriteMask = 7,
  attrIsAbstract = 8,
  attrSymmetric = 9,
  attrInverseName = 10,
  attrContainsNoLoops = 11,
  attrEventNotifier = 12,
  attrValue = 13,
  attrDataType = 14,
  attrValueRank = 15,
  attrArrayDimensions = 16,
  attrAccessLevel = 17,
  attrUserAccessLevel = 18,
  attrMinimumSamplingInterval = 19,
  attrHistorizing = 20,
  attrExecutable = 21,
  attrUserExecutable = 22,
  attrDataTypeDefinition = 23,
  attrRolePermissions = 24,
  attrUserRolePermissions = 25,
  attrAccessRestrictions = 26,
  attrAccessLevelEx = 27,
};

inline constexpr int32_t kFirstAttribute = attrNodeId;
inline constexpr int32_t kLastAttribute = attrAccessLevelEx;

class TuaAttributes {
 public:
  TuaAttributes() = delete;
  // The display name of an attribute id ("Node Id", "Value", ...); "unknown" for any other id.
  static std::string ToString(int32_t Attribut);
  // The ids FromAttr, FromAttr + 1, ..., ToAttr. Raises EVaroError when ToAttr is below
  // FromAttr.
  static std::vector<int32_t> ToArray(int32_t FromAttr, int32_t ToAttr);
};

}  // namespace varo::ua
