// SPDX-License-Identifier: MPL-2.0
#include "support/test_files.h"

#include <stdio.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "support/test_support.h"

namespace varo::test {

ByteArray ReadFileBytes(const std::filesystem::path& path) {
  return ToBytes(ReadTextFile(path.string()));
}

std::string ShellQuote(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  out += '\'';
  return out;
}

std::string RunShell(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen((command + " 2>/dev/null").c_str(), "r"), ::pclose);
  if (!pipe) throw std::runtime_error("popen failed: " + command);
  std::string out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe.get())) > 0) out.append(buf, n);
  if (::pclose(pipe.release()) != 0) throw std::runtime_error("command failed: " + command);
  return out;
}

TempDir::TempDir(std::string_view prefix) {
  std::string tmpl = (std::filesystem::temp_directory_path() / (std::string(prefix) + "_XXXXXX")).string();
  if (::mkdtemp(tmpl.data()) == nullptr) {
    const int error = errno;
    throw std::runtime_error("mkdtemp failed for " + tmpl + ": " + std::strerror(error));
  }
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Text(std::string_view name) const {
  return ReadTextFile(Path(name).string());
}

}  // namespace varo::test
