// SPDX-License-Identifier: MPL-2.0
// Command table of the varo-ua tool. Each command lives in its own source file and registers
// itself with a static VaroCommand object:
//
//   static varo::tool::VaroCommand cmd{"nodeid", "nodeid TEXT", "parses and prints a node id",
//                                     [](varo::tool::Args& a) { ... return 0; }};
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace varo::tool {

// Global options that come before the command, and the command's own arguments.
struct Args {
  std::string mode = "None";
  std::string policy = "None";
  std::string user, password, certFile, keyFile, proxy;
  bool openssl = false;
  int timeoutMs = 10000;
  std::vector<std::string> positional;  // arguments after the command name
};

using CommandFn = std::function<int(Args&)>;

struct CommandInfo {
  std::string name;
  std::string usage;
  std::string help;
  CommandFn run;
};

std::vector<CommandInfo>& Commands();

struct VaroCommand {
  VaroCommand(std::string name, std::string usage, std::string help, CommandFn run) {
    Commands().push_back({std::move(name), std::move(usage), std::move(help), std::move(run)});
  }
};

// Thrown by a command for a usage error; main prints the usage and exits with 1.
struct UsageError {
  std::string text;
};

}  // namespace varo::tool
