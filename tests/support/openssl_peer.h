// SPDX-License-Identifier: MPL-2.0
// libcrypto as the reference the security tests and benchmarks compare against: owning
// handles, and RSA keys made by libcrypto handed to our RSA code. Header-only: only binaries
// that include it link libcrypto.
#pragma once

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>

#include <memory>
#include <stdexcept>

#include "platform/bytes.h"
#include "ua/security/rsa.h"

namespace varo::test {

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

// A number of a key (OSSL_PKEY_PARAM_RSA_N, ...) as a big-endian magnitude.
inline ByteArray BnParam(EVP_PKEY* pkey, const char* name) {
  BIGNUM* bn = nullptr;
  if (EVP_PKEY_get_bn_param(pkey, name, &bn) != 1) throw std::runtime_error(name);
  ByteArray out(static_cast<size_t>(BN_num_bytes(bn)));
  BN_bn2bin(bn, out.data());
  BN_free(bn);
  return out;
}

// A new RSA key of that many bits made by libcrypto; raises std::runtime_error when it fails.
inline Pkey GenerateRsaKey(int bits) {
  PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  EVP_PKEY* raw = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) != 1 || EVP_PKEY_keygen(ctx.get(), &raw) != 1) {
    throw std::runtime_error("OpenSSL key generation failed");
  }
  return Pkey(raw);
}

// The libcrypto RSA key as our private key, with its CRT numbers.
inline ua::TRsaPrivateKey NativeRsaKey(EVP_PKEY* key) {
  return ua::TRsaPrivateKey::FromCrt(
      BnParam(key, OSSL_PKEY_PARAM_RSA_N), BnParam(key, OSSL_PKEY_PARAM_RSA_E),
      BnParam(key, OSSL_PKEY_PARAM_RSA_D), BnParam(key, OSSL_PKEY_PARAM_RSA_FACTOR1),
      BnParam(key, OSSL_PKEY_PARAM_RSA_FACTOR2), BnParam(key, OSSL_PKEY_PARAM_RSA_EXPONENT1),
      BnParam(key, OSSL_PKEY_PARAM_RSA_EXPONENT2), BnParam(key, OSSL_PKEY_PARAM_RSA_COEFFICIENT1));
}

}  // namespace varo::test
