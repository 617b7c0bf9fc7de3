// SPDX-License-Identifier: MPL-2.0
// P_SHA1 / P_SHA256 key expansion (the P_hash construction of TLS) used to derive the
// symmetric channel keys from the two nonces.
#pragma once

#include <string_view>

#include "platform/bytes.h"
#include "ua/security/hash.h"

namespace varo::ua {

// `length` bytes of the P_hash stream of `secret` over `seed`.
ByteArray PSha(THashAlg alg, ByteSpan secret, ByteSpan seed, size_t length);

// Bytes [offset, offset + length) of the P_hash stream of `secret` over label ‖ seed (the
// label's UTF-8 bytes; an empty label means the seed alone). An offset or length that would
// overflow raises EuaSecurityError.
ByteArray PSHA_impl(THashAlg alg, std::string_view label, ByteSpan secret, ByteSpan seed, size_t offset,
                    size_t length);

}  // namespace varo::ua
