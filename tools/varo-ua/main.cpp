// SPDX-License-Identifier: MPL-2.0
// varo-ua: the command-line tool over the OPC UA stack.
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "commands.h"

namespace varo::tool {

std::vector<CommandInfo>& Commands() {
  static std::vector<CommandInfo> commands;
  return commands;
}

}  // namespace varo::tool

namespace {

using varo::tool::Args;
using varo::tool::Commands;

void PrintUsage(FILE* out) {
  std::fprintf(out,
               "usage: varo-ua [--mode None|Sign|SignAndEncrypt]\n"
               "               [--policy None|Basic128Rsa15|Basic256|Basic256Sha256|"
               "Aes128_Sha256_RsaOaep|Aes256_Sha256_RsaPss]\n"
               "               [--user NAME --password PASS] [--cert FILE.der --key FILE.pem] [--openssl]\n"
               "               [--proxy SPEC] [--timeout MS] COMMAND [ARGS...]\n\ncommands:\n");
  for (const auto& c : Commands()) {
    std::fprintf(out, "  %-36s %s\n", c.usage.c_str(), c.help.c_str());
  }
  std::fprintf(
      out,
      "\nFields of an output line are separated by tabs. Node ids are written ns=<n>;i=|s=|g=|b=...\n"
      "Exit status 0 on success; on failure the error text goes to stderr and the status is 1.\n");
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  int i = 1;
  auto value = [&](const char* opt) -> std::string {
    if (i + 1 >= argc) throw varo::tool::UsageError{std::string("missing value for ") + opt};
    return argv[++i];
  };
  try {
    for (; i < argc; ++i) {
      std::string_view a = argv[i];
      if (a == "--help" || a == "-h") {
        PrintUsage(stdout);
        return 0;
      } else if (a == "--mode") {
        args.mode = value("--mode");
      } else if (a == "--policy") {
        args.policy = value("--policy");
      } else if (a == "--user") {
        args.user = value("--user");
      } else if (a == "--password") {
        args.password = value("--password");
      } else if (a == "--cert") {
        args.certFile = value("--cert");
      } else if (a == "--key") {
        args.keyFile = value("--key");
      } else if (a == "--proxy") {
        args.proxy = value("--proxy");
      } else if (a == "--openssl") {
        args.openssl = true;
      } else if (a == "--timeout") {
        args.timeoutMs = std::stoi(value("--timeout"));
      } else if (a.size() > 2 && a.substr(0, 2) == "--") {
        throw varo::tool::UsageError{"unknown option " + std::string(a)};
      } else {
        break;
      }
    }
    if (i >= argc) throw varo::tool::UsageError{"no command given"};
    std::string_view name = argv[i++];
    for (; i < argc; ++i) args.positional.emplace_back(argv[i]);
    for (const auto& c : Commands()) {
      if (c.name == name) return c.run(args);
    }
    throw varo::tool::UsageError{"unknown command " + std::string(name)};
  } catch (const varo::tool::UsageError& e) {
    std::fprintf(stderr, "varo-ua: %s\n", e.text.c_str());
    PrintUsage(stderr);
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
