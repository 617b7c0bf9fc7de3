// SPDX-License-Identifier: MPL-2.0
// The varo-ua command line against the demo server: output lines, error texts on stderr and
// exit status, as scripts see them.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/strings.h"
#include "support/demo_server.h"
#include "support/test_certs.h"

namespace {

using varo::test::DemoServer;

struct ToolResult {
  int status = -1;
  std::string out;
  std::string err;
};

std::string Quote(const std::string& aArg) {
  return "'" + varo::ReplaceAll(aArg, "'", "'\\''") + "'";
}

std::string ReadAll(const std::string& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs varo-ua with the arguments; "URL" is replaced by the demo server's URL.
ToolResult RunTool(const std::vector<std::string>& aArgs) {
  const std::string base = ::testing::TempDir() + "varo_ua_tool_" + varo::IntToStr(::getpid());
  std::string cmd = Quote(VARO_UA_TOOL);
  for (const std::string& a : aArgs) cmd += " " + Quote(a == "URL" ? DemoServer::Shared().Url() : a);
  cmd += " >" + Quote(base + ".out") + " 2>" + Quote(base + ".err") + " </dev/null";
  ToolResult r;
  const int raw = std::system(cmd.c_str());
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.out = ReadAll(base + ".out");
  r.err = ReadAll(base + ".err");
  std::remove((base + ".out").c_str());
  std::remove((base + ".err").c_str());
  return r;
}

std::vector<std::string> Lines(const std::string& aText) {
  std::vector<std::string> lines = varo::Split(aText, '\n');
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

size_t CountMatching(const std::vector<std::string>& aLines, const std::string& aPattern) {
  const std::regex re(aPattern);
  size_t n = 0;
  for (const std::string& l : aLines) n += std::regex_match(l, re) ? 1 : 0;
  return n;
}

const char* const kIso = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)";

struct ToolCase {
  const char* name;
  std::vector<std::string> args;
  int status;
  // Each pattern must match at least one whole stdout line.
  std::vector<std::string> outLines;
  // Text the first stderr line must start with (empty: stderr must be empty).
  std::string errStart;
};

class VaroUaTool : public ::testing::Test {
 protected:
  void SetUp() override { VARO_REQUIRE_DEMO_SERVER(DemoServer::Shared()); }
};

TEST_F(VaroUaTool, OutputFormatsAndFailures) {
  const std::string url = std::regex_replace(DemoServer::Shared().Url(), std::regex(R"([.])"), R"(\.)");
  const std::string iso = kIso;
  const std::vector<ToolCase> cases = {
      {"endpoints",
       {"endpoints", "URL"},
       0,
       {url + R"(\tNone\thttp://opcfoundation\.org/UA/SecurityPolicy#None\t.*Anonymous.*)",
        url +
            R"(\tSignAndEncrypt\thttp://opcfoundation\.org/UA/SecurityPolicy#Basic256Sha256\t.*UserName.*)"},
       ""},
      {"servers",
       {"servers", "URL"},
       0,
       {R"(urn:varo:demo-server\tVaro Demo Server\tServer\t.*)" + url + ".*"},
       ""},
      {"browse default",
       {"browse", "URL"},
       0,
       {R"(ns=1;s=Demo\tDemo\tDemo\tObject)", R"(ns=0;i=2253\tServer\tServer\tObject)"},
       ""},
      {"browse folder",
       {"browse", "URL", "ns=1;s=Demo"},
       0,
       {R"(ns=1;s=Demo\.Methods\tMethods\tMethods\tObject)", R"(ns=1;s=Demo\.Big\tBig\tBig\tObject)"},
       ""},
      {"browse method object",
       {"browse", "URL", "ns=1;s=Demo.Methods"},
       0,
       {R"(ns=1;s=Demo\.Methods\.Add\tAdd\tAdd\tMethod)"},
       ""},
      {"read",
       {"read", "URL", "ns=1;s=Demo.ReadOnly.Int32", "ns=1;s=Demo.Static.Array.Double"},
       0,
       {R"(ns=1;s=Demo\.ReadOnly\.Int32 = 42\tGood\t)" + iso,
        R"(ns=1;s=Demo\.Static\.Array\.Double = \[-1e\+300 \| 0 \| 3\.141592653589793\]\tGood\t)" + iso},
       ""},
      {"read unknown node",
       {"read", "URL", "ns=1;s=Demo.ReadOnly.Int32", "ns=1;s=Nope"},
       1,
       {R"(ns=1;s=Demo\.ReadOnly\.Int32 = 42\tGood\t.*)",
        R"(ns=1;s=Nope = \tThe node id refers to a node that does not exist in the server address space\.\t)"},
       "UA Error ($80340000) The node id refers to a node that does not exist in the server address space."},
      {"write read-only",
       {"write", "URL", "ns=1;s=Demo.ReadOnly.Int32", "5"},
       1,
       {},
       "UA Error ($803b0000) The access level does not allow writing to the Node."},
      {"write bad text", {"write", "URL", "ns=1;s=Demo.ReadOnly.Int32", "five"}, 1, {}, "Could not convert"},
      {"call",
       {"call", "URL", "ns=1;s=Demo.Methods", "ns=1;s=Demo.Methods.Add", "1.5", "2.25"},
       0,
       {"3.75"},
       ""},
      {"call missing argument",
       {"call", "URL", "ns=1;s=Demo.Methods", "ns=1;s=Demo.Methods.Add", "1.5"},
       1,
       {},
       "UA Error ($80760000)"},
      {"status",
       {"status", "URL"},
       0,
       {"StartTime: " + iso, "CurrentTime: " + iso, "State: Running", "ProductName: Varo Demo Server",
        "ManufacturerName: Varo", "SecondsTillShutdown: 0"},
       ""},
      {"status as user",
       {"--user", "demo", "--password", "demo-password", "status", "URL"},
       0,
       {"State: Running"},
       ""},
      {"status with a wrong password",
       {"--user", "demo", "--password", "wrong", "status", "URL"},
       1,
       {},
       "UA Error ("},
      {"bad node id text",
       {"read", "URL", "ns=x;i=1"},
       1,
       {},
       "$80330000 Cannot parse node id text (ns=x;i=1) "},
      {"not an opc.tcp URL", {"status", "http://127.0.0.1:1"}, 1, {}, "wrong endpoint URL for OPC UA server"},
      {"secured without a key",
       {"--mode", "Sign", "--policy", "Basic256Sha256", "status", "URL"},
       1,
       {},
       "OPC UA security: public or private key not defined"},
      {"no such security mode",
       {"--mode", "Signed", "status", "URL"},
       1,
       {},
       "varo-ua: unknown security mode Signed"},
      {"unknown command", {"frobnicate", "URL"}, 1, {}, "varo-ua: unknown command frobnicate"},
      {"help",
       {"--help"},
       0,
       {R"(  endpoints URL +.*)", R"(  browse URL \[NODEID\] +.*)", R"(  read URL NODEID\.\.\. +.*)",
        R"(  write URL NODEID VALUE +.*)", R"(  call URL OBJECTID METHODID \[ARG\.\.\.\] +.*)",
        R"(  status URL +.*)", R"(  servers URL +.*)"},
       ""},
  };
  for (const ToolCase& c : cases) {
    SCOPED_TRACE(c.name);
    const ToolResult r = RunTool(c.args);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    const std::vector<std::string> out = Lines(r.out);
    for (const std::string& pattern : c.outLines) {
      EXPECT_GE(CountMatching(out, pattern), 1u) << "no line matches " << pattern << " in:\n" << r.out;
    }
    if (c.errStart.empty()) {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_TRUE(varo::StartsWith(r.err, c.errStart)) << "stderr: " << r.err;
    }
  }
}

TEST_F(VaroUaTool, BrowseListsEveryChildPastTheServerCap) {
  const ToolResult r = RunTool({"browse", "URL", "ns=1;s=Demo.Big"});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<std::string> out = Lines(r.out);
  EXPECT_EQ(CountMatching(out, R"(ns=1;s=Demo\.Big\.\d+\tItem\d{4}\tItem\d{4}\tVariable)"), 1200u);
  EXPECT_EQ(CountMatching(out, R"(ns=1;s=Demo\.Big\.1199\tItem1199\tItem1199\tVariable)"), 1u);
}

TEST_F(VaroUaTool, WritesTakeTheTypeOfTheNode) {
  const struct {
    const char* node;
    const char* text;
    const char* readBack;
  } cases[] = {
      {"ns=1;s=Demo.Static.UInt64", "18446744073709551615", "18446744073709551615"},
      {"ns=1;s=Demo.Static.Int16", "-32768", "-32768"},
      {"ns=1;s=Demo.Static.Boolean", "false", "False"},
      {"ns=1;s=Demo.Static.DateTime", "2030-01-02T03:04:05.678Z", "2030-01-02 03:04:05.678"},
      {"ns=1;s=Demo.Static.Guid", "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0",
       "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}"},
      {"ns=1;s=Demo.Static.ByteString", "00ff10", "[0 | 255 | 16]"},
      {"ns=1;s=Demo.Static.LocalizedText", "Hallo:l=de", "Hallo"},
      {"ns=1;s=Demo.Static.NodeId", "ns=1;s=X", "ns=1;s=X"},
      {"ns=1;s=Demo.Static.Variant", "12.5", "12.5"},
      {"ns=1;s=Demo.Static.Array.Int32", "1;2;3", "[1 | 2 | 3]"},
      {"ns=1;s=Demo.Static.Array.UInt64", "18446744073709551615;0", "[18446744073709551615 | 0]"},
      {"ns=1;s=Demo.Static.Array.String", "a;;c", "[a |  | c]"},
      {"ns=1;s=Demo.Static.Array.Variant", "1;x;2.5", "[1 | x | 2.5]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.node);
    const ToolResult w = RunTool({"write", "URL", c.node, c.text});
    EXPECT_EQ(w.status, 0) << w.err;
    EXPECT_EQ(w.out, "Good\n");
    const ToolResult r = RunTool({"read", "URL", c.node});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(varo::StartsWith(r.out, std::string(c.node) + " = " + c.readBack + "\tGood\t")) << r.out;
  }
}

// --mode, --policy, --cert, --key and --openssl with every policy and mode through both
// providers, PKCS#8 and PKCS#1 keys; user sessions that write and call; the option errors.
TEST_F(VaroUaTool, SecuredOptionsForEveryPolicyAndMode) {
  const varo::test::TestIdentity& id = varo::test::ClientIdentity(2048);
  const std::string pkcs1 = ::testing::TempDir() + "varo_ua_tool_key_pkcs1.pem";
  const std::string garbage = ::testing::TempDir() + "varo_ua_tool_key_garbage.pem";
  std::ofstream(pkcs1, std::ios::binary)
      .write(reinterpret_cast<const char*>(id.keyPkcs1Pem.data()),
             static_cast<std::streamsize>(id.keyPkcs1Pem.size()));
  std::ofstream(garbage, std::ios::binary) << "not a key\n";
  const char* const policies[] = {"Basic128Rsa15", "Basic256", "Basic256Sha256", "Aes128_Sha256_RsaOaep",
                                  "Aes256_Sha256_RsaPss"};
  const char* const modes[] = {"Sign", "SignAndEncrypt"};
  auto secured = [&](const std::string& aPolicy, const std::string& aMode, const std::string& aKey,
                     bool aOpenSSL) {
    std::vector<std::string> args = {"--mode", aMode,       "--policy", aPolicy,
                                     "--cert", id.certPath, "--key",    aKey};
    if (aOpenSSL) args.emplace_back("--openssl");
    return args;
  };
  auto with = [](std::vector<std::string> aArgs, const std::vector<std::string>& aMore) {
    aArgs.insert(aArgs.end(), aMore.begin(), aMore.end());
    return aArgs;
  };

  for (size_t p = 0; p < std::size(policies); ++p) {
    for (size_t m = 0; m < std::size(modes); ++m) {
      const std::string key = (p + m) % 2 ? pkcs1 : id.keyPath;
      for (bool openssl : {false, true}) {
        SCOPED_TRACE(std::string(policies[p]) + " " + modes[m] + (openssl ? " --openssl " : " ") + key);
        const ToolResult r = RunTool(with(secured(policies[p], modes[m], key, openssl),
                                          {"read", "URL", "ns=1;s=Demo.ReadOnly.Int32"}));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(varo::StartsWith(r.out, "ns=1;s=Demo.ReadOnly.Int32 = 42\tGood\t")) << r.out;
        EXPECT_EQ(r.err, "");
      }
    }
  }

  const std::vector<std::string> user = {"--user", "demo", "--password", "demo-password"};
  for (const auto& [policy, openssl] :
       {std::pair{"Basic256", true}, std::pair{"Aes256_Sha256_RsaPss", false},
        std::pair{"Basic128Rsa15", false}, std::pair{"Aes128_Sha256_RsaOaep", true}}) {
    SCOPED_TRACE(std::string(policy) + (openssl ? " --openssl" : ""));
    const std::vector<std::string> args = with(secured(policy, "SignAndEncrypt", pkcs1, openssl), user);
    ToolResult r = RunTool(with(args, {"write", "URL", "ns=1;s=Demo.Static.Int32", "-123456"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Good\n");
    r = RunTool(with(args, {"call", "URL", "ns=1;s=Demo.Methods", "ns=1;s=Demo.Methods.Add", "1.5", "2.25"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "3.75\n");
  }

  const std::vector<ToolCase> failures = {
      // The key is read by the provider that --openssl selects: their errors differ.
      {"native provider, bad key",
       with(secured("Basic256Sha256", "Sign", garbage, false), {"status", "URL"}),
       1,
       {},
       "Certificate Error: "},
      {"OpenSSL provider, bad key",
       with(secured("Basic256Sha256", "Sign", garbage, true), {"status", "URL"}),
       1,
       {},
       "Could not load RSA private key"},
      {"mode without a policy",
       with(secured("None", "Sign", id.keyPath, false), {"status", "URL"}),
       1,
       {},
       "Can't find right Security Mode: Sign with Policy: http://opcfoundation.org/UA/SecurityPolicy#None\n"
       "Possible security modes for opc.tcp:// are:\n"},
      {"certificate without key",
       {"--mode", "Sign", "--policy", "Basic256", "--cert", id.certPath, "status", "URL"},
       1,
       {},
       "varo-ua: --cert and --key go together"},
      {"unknown policy",
       {"--mode", "Sign", "--policy", "Basic512", "status", "URL"},
       1,
       {},
       "varo-ua: unknown security policy Basic512"},
  };
  for (const ToolCase& c : failures) {
    SCOPED_TRACE(c.name);
    const ToolResult r = RunTool(c.args);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_TRUE(varo::StartsWith(r.err, c.errStart)) << "stderr: " << r.err;
  }
  std::remove(pkcs1.c_str());
  std::remove(garbage.c_str());
}

}  // namespace
