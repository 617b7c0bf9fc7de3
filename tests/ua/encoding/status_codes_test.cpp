// SPDX-License-Identifier: MPL-2.0
// Status-code texts and data-type names: the lookups, and both tables checked against the
// OPC Foundation's published status codes and data type ids (tests/typesdata, installed by
// scripts/deps).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "support/test_support.h"
#include "ua/encoding/datatype_names.h"
#include "ua/encoding/status_codes.h"

namespace varo::ua {
namespace {

std::string TypesDataFile(const std::string& relative) {
  std::string path = test::SourcePath("tests/typesdata/node_modules/" + relative);
  if (!std::filesystem::exists(path)) {
    ADD_FAILURE() << "missing " << path << " (scripts/deps installs tests/typesdata)";
    return {};
  }
  return test::ReadTextFile(path);
}

// The text after `key` up to the closing quote, starting at pos; advances pos.
std::string QuotedAfter(const std::string& src, size_t& pos, const std::string& key) {
  pos = src.find(key, pos);
  if (pos == std::string::npos) return {};
  pos += key.size();
  std::string out;
  for (; pos < src.size() && src[pos] != '"'; ++pos) {
    if (src[pos] == '\\' && pos + 1 < src.size()) ++pos;
    out += src[pos];
  }
  return out;
}

struct PublishedStatusCode {
  std::string name;
  std::string description;
};

// code -> symbol and description, from the published status code list.
std::map<uint32_t, PublishedStatusCode> PublishedStatusCodes() {
  std::string src = TypesDataFile("node-opcua-status-code/source/_generated_status_codes.ts");
  std::map<uint32_t, PublishedStatusCode> codes;
  size_t pos = 0;
  while (true) {
    std::string name = QuotedAfter(src, pos, "name: \"");
    if (pos == std::string::npos) break;
    size_t v = src.find("value: ", pos);
    size_t d = src.find("description:", pos);
    if (v == std::string::npos || d == std::string::npos) break;
    uint32_t code = static_cast<uint32_t>(std::stoul(src.substr(v + 7, 12), nullptr, 16));
    pos = d;
    std::string description = QuotedAfter(src, pos, "\"");  // the text may start on the next line
    codes[code] = {name, description};
  }
  return codes;
}

// name -> id of one "export enum <section>" block of the published node id list.
std::map<std::string, uint32_t> PublishedNodeIds(const std::string& section) {
  std::string src = TypesDataFile("node-opcua-constants/source/opcua_node_ids.ts");
  std::map<std::string, uint32_t> ids;
  size_t start = src.find("export enum " + section + " {");
  if (start == std::string::npos) return ids;
  size_t end = src.find('}', start);
  std::string body = src.substr(start, end - start);
  size_t pos = body.find('{') + 1;
  while (true) {
    size_t eq = body.find('=', pos);
    if (eq == std::string::npos) break;
    size_t nameStart = body.find_last_of(" \n\t", eq - 1) + 1;
    size_t comma = body.find(',', eq);
    ids[body.substr(nameStart, eq - nameStart)] =
        static_cast<uint32_t>(std::stoul(body.substr(eq + 1, comma - eq - 1)));
    pos = comma == std::string::npos ? body.size() : comma + 1;
  }
  return ids;
}

TEST(StatusCodes, TextsOfCodes) {
  struct Case {
    uint32_t code;
    std::string text;
  } cases[] = {
      {0x80010000u, "An unexpected error occurred."},
      {0x800A0000u, "The operation timed out."},
      {0x80340000u, "The node id refers to a node that does not exist in the server address space."},
      {0x80AB0000u, "One or more arguments are invalid."},
      {0x002D0000u, "The subscription was transferred to another session."},
      {0x00A90000u, "The operation is not finished and needs to be called again."},
      // Not in the table: info bits set, Good itself, an unknown code, the largest value.
      {0x80AB0400u, "Unknown error code: 2158691328"},
      {0u, "Unknown error code: 0"},
      {0x80000000u, "Unknown error code: 2147483648"},
      {0xFFFFFFFFu, "Unknown error code: 4294967295"},
  };
  for (const auto& c : cases) EXPECT_EQ(Statuscodes::ToString(c.code), c.text) << std::hex << c.code;
}

TEST(StatusCodes, TableHasTheCodesWithoutInfoBits) {
  auto table = Statuscodes::Table();
  EXPECT_EQ(table.size(), 234u);
  for (const auto& e : table) {
    EXPECT_EQ(e.code & 0xFFFFu, 0u) << std::hex << e.code;
    EXPECT_EQ(Statuscodes::ToString(e.code), e.text);
  }
  EXPECT_EQ(table.front().code, 0x002D0000u);
  EXPECT_EQ(table.back().code, 0x81150000u);
}

TEST(StatusCodes, TextsMatchThePublishedDescriptions) {
  auto published = PublishedStatusCodes();
  ASSERT_GT(published.size(), 234u);
  for (const auto& e : Statuscodes::Table()) {
    auto it = published.find(e.code);
    ASSERT_NE(it, published.end()) << std::hex << e.code << " is not a published status code";
    EXPECT_EQ(e.text, it->second.description) << it->second.name;
  }
}

TEST(DataTypeNames, IdLookup) {
  EXPECT_EQ(DataTypeIdToName(12, false), "String");
  EXPECT_EQ(DataTypeIdToName(11, true), "Array Double");
  EXPECT_EQ(DataTypeIdToName(1, false), "Boolean");
  EXPECT_EQ(DataTypeIdToName(20999, false), "SessionlessInvokeResponseType");
  EXPECT_EQ(DataTypeIdToName(999999, true), "");
  EXPECT_EQ(DataTypeIdToName(0, false), "");
  EXPECT_EQ(DataTypeNameTable().size(), 384u);
}

TEST(DataTypeNames, TextLookup) {
  struct Case {
    const char* text;
    bool isArray;
    std::string name;
  } cases[] = {
      {"11", false, "Double"},
      {"ns=0;i=11", true, "Array Double"},
      {"i=12", false, "String"},
      {"ns=2;i=11", false, "ns=2;i=11"},
      {"ns=2;i=11", true, "Array ns=2;i=11"},
      {"70000", false, ""},
      {"70000", true, ""},
      {"-5", false, ""},
      {"99999999999", false, ""},
      {"ns=0;i=70000", true, "Array "},  // unknown numeric id: prefix on the empty name
      {"s=Temperature", false, "s=Temperature"},
      {"Demo.Static", false, "Demo.Static"},
  };
  for (const auto& c : cases) EXPECT_EQ(DataTypeToName(c.text, c.isArray), c.name) << c.text;
}

TEST(DataTypeNames, BadNodeIdTextRaisesTheParseErrors) {
  EXPECT_THROW(DataTypeToName("ns=1", false), EVaroError);
  EXPECT_THROW(DataTypeToName("i=-1", false), EVaroError);
  EXPECT_THROW(DataTypeToName("i=4294967296", true), EVaroError);
}

TEST(DataTypeNames, NamesMatchThePublishedDataTypeIds) {
  auto published = PublishedNodeIds("DataTypeIds");
  ASSERT_GT(published.size(), 384u);
  // Entries of this system's table that the current published list no longer has in this
  // form: Time and Date were withdrawn, ProgramDiagnostic2DataType was given a new id (24033).
  const std::set<std::string> differs = {"Time", "Date", "ProgramDiagnostic2DataType"};
  for (const auto& e : DataTypeNameTable()) {
    if (differs.count(e.name)) {
      auto it = published.find(e.name);
      EXPECT_TRUE(it == published.end() || it->second != e.id)
          << e.name << " now matches: drop the exception";
      continue;
    }
    auto it = published.find(e.name);
    if (it != published.end()) {
      EXPECT_EQ(it->second, e.id) << e.name;
    } else {
      ADD_FAILURE() << e.name << " (" << e.id << ") is not a published data type name";
    }
  }
}

}  // namespace
}  // namespace varo::ua
