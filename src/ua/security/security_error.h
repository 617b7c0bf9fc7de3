// SPDX-License-Identifier: MPL-2.0
// Exception type of the security library: certificate and key parsing, the security providers.
#pragma once

#include "platform/error.h"

namespace varo::ua {

class EuaSecurityError : public varo::EVaroError {
 public:
  using EVaroError::EVaroError;
};

}  // namespace varo::ua
