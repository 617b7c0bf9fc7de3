// SPDX-License-Identifier: MPL-2.0
// Names of the namespace-0 OPC UA data types, for the data type of items on the screens.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace varo::ua {

struct DataTypeNameEntry {
  uint32_t id;
  const char* name;
};

// The name of the data type id; empty when the id is unknown. With isArray and a known id the
// name gets "Array " in front.
std::string DataTypeIdToName(uint32_t id, bool isArray);
// The data type given as text: a decimal number, or a node id text. A numeric node id in
// namespace 0 gives its name; any other node id gives the text unchanged. With isArray,
// "Array " is put in front of that result (also of an empty one). Text that is neither a
// number nor a node id raises the node id parse errors.
std::string DataTypeToName(std::string_view text, bool isArray);
// The whole table, sorted by id.
std::span<const DataTypeNameEntry> DataTypeNameTable();

}  // namespace varo::ua
