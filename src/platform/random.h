// SPDX-License-Identifier: MPL-2.0
#pragma once

#include <cstddef>

#include "platform/bytes.h"

namespace varo {

// Fills the buffer from the operating system's cryptographically secure random source
// (getrandom). Raises EVaroError when the source fails; never falls back to a weaker one.
void SecureRandom(void* dst, size_t n);
ByteArray SecureRandomBytes(size_t n);

}  // namespace varo
