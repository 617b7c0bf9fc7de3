// SPDX-License-Identifier: MPL-2.0
// Symmetric channel keys derived from the two nonces, and nonce generation.
#pragma once

#include "platform/bytes.h"
#include "ua/security/policy.h"

namespace varo::ua {

// One side's key set.
struct uaDerivedKeys {
  ByteArray fSigningKey;
  ByteArray fEncryptingKey;
  ByteArray fInitVector;
};

// The keys of one channel token. The client signs and encrypts with fClient and checks and
// decrypts what the server sends with fServer.
struct uaChannelKeys {
  uaDerivedKeys fClient;
  uaDerivedKeys fServer;
};

// One side's key set from the P_SHA stream of `secret` over `seed`: signing key = bytes
// [0, s), encrypting key = [s, s + e), IV = [s + e, s + e + 16), with s and e of the policy.
uaDerivedKeys DeriveKeys(const uaSecurityPolicyInfo& info, ByteSpan secret, ByteSpan seed);

// Both key sets: the client's with secret = server nonce and seed = client nonce, the
// server's the other way round. Raises EuaSecurityError for None and uaSPNULL and when a
// nonce is shorter than the policy's nonce length (an empty or short nonce would give keys
// an attacker can predict).
uaChannelKeys DeriveChannelKeys(TuaSecurePolicy policy, ByteSpan clientNonce, ByteSpan serverNonce);

// A fresh client nonce of the policy's length from the operating system's secure random
// source; empty for None.
ByteArray CreateClientNonce(TuaSecurePolicy policy);

}  // namespace varo::ua
