// SPDX-License-Identifier: MPL-2.0
#include "ua/security/policy_keys.h"

#include <string>

#include "platform/random.h"
#include "ua/security/psha.h"

namespace varo::ua {

uaDerivedKeys DeriveKeys(const uaSecurityPolicyInfo& info, ByteSpan secret, ByteSpan seed) {
  const THashAlg alg = ToHashAlg(info.fKeyDerivationHash);
  const size_t s = info.fSigningKeyLength;
  const size_t e = info.fEncryptingKeyLength;
  uaDerivedKeys keys;
  keys.fSigningKey = PSHA_impl(alg, {}, secret, seed, 0, s);
  keys.fEncryptingKey = PSHA_impl(alg, {}, secret, seed, s, e);
  keys.fInitVector = PSHA_impl(alg, {}, secret, seed, s + e, info.fInitVectorLength);
  return keys;
}

uaChannelKeys DeriveChannelKeys(TuaSecurePolicy policy, ByteSpan clientNonce, ByteSpan serverNonce) {
  const uaSecurityPolicyInfo& info = SecurityPolicyInfo(policy);
  if (!info.HasSecurity()) throw EuaSecurityError("No keys are derived for security policy None");
  if (clientNonce.size() < info.fNonceLength || serverNonce.size() < info.fNonceLength) {
    throw EuaSecurityError("Nonce too short for security policy " + std::string(info.fName) + ": client " +
                           std::to_string(clientNonce.size()) + ", server " +
                           std::to_string(serverNonce.size()) + " bytes, " +
                           std::to_string(info.fNonceLength) + " needed");
  }
  uaChannelKeys keys;
  keys.fClient = DeriveKeys(info, serverNonce, clientNonce);
  keys.fServer = DeriveKeys(info, clientNonce, serverNonce);
  return keys;
}

ByteArray CreateClientNonce(TuaSecurePolicy policy) {
  const size_t n = SecurityPolicyNonceLength(policy);
  return n == 0 ? ByteArray{} : SecureRandomBytes(n);
}

}  // namespace varo::ua
