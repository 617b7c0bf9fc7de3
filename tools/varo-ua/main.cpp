// SPDX-License-Identifier: MPL-2.0
#include <cstdio>

int main(int argc, char** argv) {
  (void)argc;
  (void)argv;
  std::fprintf(stderr, "usage: varo-ua COMMAND ...\n");
  return 1;
}
