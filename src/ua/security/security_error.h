// SPDX-License-Identifier: MPL-2.0
// Exception type of the security library.
#pragma once

#include <string>

#include "platform/error.h"

namespace varo::ua {

// A cryptographic operation failed or was given unusable parameters.
class EuaSecurityError : public varo::EVaroError {
 public:
  using varo::EVaroError::EVaroError;
};

// Prefix of every message raised by the native cryptography.
inline constexpr const char* kNativeSecurityErrorPrefix = "Native Security Error: ";

// An EuaSecurityError whose message is the native prefix followed by `what`.
inline EuaSecurityError NativeSecurityError(const std::string& what) {
  return EuaSecurityError(kNativeSecurityErrorPrefix + what);
}

}  // namespace varo::ua
