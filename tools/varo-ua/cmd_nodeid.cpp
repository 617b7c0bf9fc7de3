// SPDX-License-Identifier: MPL-2.0
// varo-ua nodeid TEXT: parses a node id and prints its text form.
#include <cstdio>

#include "commands.h"
#include "ua/encoding/builtin_types.h"

namespace {

varo::tool::VaroCommand cmd{
    "nodeid", "nodeid TEXT", "parses a node id and prints it", [](varo::tool::Args& a) {
      if (a.positional.size() != 1) throw varo::tool::UsageError{"nodeid needs one TEXT"};
      std::printf("%s\n", varo::ua::NodeIdFromString(a.positional[0]).ToString().c_str());
      return 0;
    }};

}  // namespace
