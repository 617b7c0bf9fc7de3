// SPDX-License-Identifier: MPL-2.0
// Files and shell commands for the tests that make their keys and certificates with the
// openssl command line: a temporary folder removed with its contents, a command's output,
// a file's bytes.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/bytes.h"

namespace varo::test {

// The whole file; raises std::runtime_error when it cannot be read.
ByteArray ReadFileBytes(const std::filesystem::path& path);

// The text in single quotes for /bin/sh; a single quote inside is closed, escaped and reopened.
std::string ShellQuote(std::string_view text);

// Runs the command with /bin/sh, its standard error discarded, and returns its standard output;
// raises std::runtime_error when it cannot be started or exits with anything but 0.
std::string RunShell(const std::string& command);

// A new folder "<prefix>_XXXXXX" in the temporary directory ($TMPDIR or /tmp), removed with everything in it
// when the object goes.
class TempDir {
 public:
  // Raises std::runtime_error when the folder cannot be made.
  explicit TempDir(std::string_view prefix);
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The path of a file in the folder; the file need not exist.
  std::filesystem::path Path(std::string_view name) const { return path_ / name; }
  // That path quoted for the shell.
  std::string Quoted(std::string_view name) const { return ShellQuote(Path(name).string()); }
  ByteArray Bytes(std::string_view name) const { return ReadFileBytes(Path(name)); }
  std::string Text(std::string_view name) const;

 private:
  std::filesystem::path path_;
};

}  // namespace varo::test
