// SPDX-License-Identifier: MPL-2.0
// Browsing helpers over TVaroUAClient: one Browse and as many BrowseNext calls as the
// server's continuation points ask for.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ua/client/ua_client.h"

namespace varo::ua {

// Well-known nodes and reference types of namespace 0 used by the node helpers.
inline constexpr uint32_t uaObjectsFolder = 85;
inline constexpr uint32_t uaHierarchicalReferences = 33;
inline constexpr uint32_t uaHasProperty = 46;
inline constexpr uint32_t uaServerNamespaceArray = 2255;
inline constexpr uint32_t uaServerStatusNode = 2256;

// Result mask bits of a browse description.
inline constexpr uint32_t uaBrowseResultAll = 0x3F;

// What to browse: the node and the filter of one browse description.
struct TuaBrowseFilter {
  int32_t Direction = 0;         // 0 Forward, 1 Inverse, 2 Both
  uint32_t ReferenceTypeId = 0;  // namespace-0 reference type; 0: every reference
  bool IncludeSubtypes = true;
  uint32_t NodeClassMask = 0;  // 0: every node class
  uint32_t ResultMask = uaBrowseResultAll;
  uint32_t MaxReferencesPerNode = 0;  // 0: as many as the server hands out per call
};

// Every reference of the node, following continuation points with BrowseNext until the
// server has none left. A result status that is not 0 raises (CheckStatusCode), as do a
// missing response or a missing result. A continuation point that brings no references
// several times in a row is released and raises, so a server cannot keep the client in a
// loop. When a failure leaves a continuation point open it is released (best effort).
std::vector<std::unique_ptr<uaReferenceDescription>> BrowseAll(TVaroUAClient& aClient,
                                                               const uaNodeId& aNodeId,
                                                               const TuaBrowseFilter& aFilter = {});

// Node id text as the client's node helpers parse it; raises EVaroError
// "$80330000 Cannot parse node id text (<text>) " followed by the parser's message.
uaNodeId uaParseNodeId(const std::string& aText);

// The text of a status code, "Good" for 0.
std::string uaStatusText(uaStatusCode aCode);

}  // namespace varo::ua
