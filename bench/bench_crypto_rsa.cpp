// SPDX-License-Identifier: MPL-2.0
// RSA-2048 private (sign, decrypt) and public (verify, encrypt) operations of the native code
// against OpenSSL's libcrypto on the same key in the same run. The "ratio" counters report
// time(native) / time(OpenSSL) in CPU time of the benchmark thread, OpenSSL measured right
// before in the same process.
#include <benchmark/benchmark.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <time.h>

#include <memory>
#include <stdexcept>

#include "platform/random.h"
#include "ua/security/rsa.h"

namespace {

using varo::ByteArray;
using varo::ByteSpan;
using namespace varo::ua;

struct PkeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct CtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyCtx = std::unique_ptr<EVP_PKEY_CTX, CtxFree>;

ByteArray BnParam(EVP_PKEY* pkey, const char* name) {
  BIGNUM* bn = nullptr;
  if (EVP_PKEY_get_bn_param(pkey, name, &bn) != 1) throw std::runtime_error(name);
  ByteArray out(static_cast<size_t>(BN_num_bytes(bn)));
  BN_bn2bin(bn, out.data());
  BN_free(bn);
  return out;
}

struct Fixture {
  Pkey ossl;
  std::unique_ptr<TRsaPrivateKey> ours;
  ByteArray digest;     // SHA-256 of the message, for the raw OpenSSL signature
  ByteArray message;    // what is signed
  ByteArray plain;      // what is encrypted
  ByteArray signature;  // PKCS#1 v1.5 SHA-256
  ByteArray cipher;     // OAEP SHA-1

  Fixture() {
    PkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* raw = nullptr;
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), 2048) != 1 || EVP_PKEY_keygen(ctx.get(), &raw) != 1) {
      throw std::runtime_error("key generation failed");
    }
    ossl.reset(raw);
    ours = std::make_unique<TRsaPrivateKey>(TRsaPrivateKey::FromCrt(
        BnParam(raw, OSSL_PKEY_PARAM_RSA_N), BnParam(raw, OSSL_PKEY_PARAM_RSA_E),
        BnParam(raw, OSSL_PKEY_PARAM_RSA_D), BnParam(raw, OSSL_PKEY_PARAM_RSA_FACTOR1),
        BnParam(raw, OSSL_PKEY_PARAM_RSA_FACTOR2), BnParam(raw, OSSL_PKEY_PARAM_RSA_EXPONENT1),
        BnParam(raw, OSSL_PKEY_PARAM_RSA_EXPONENT2), BnParam(raw, OSSL_PKEY_PARAM_RSA_COEFFICIENT1)));
    message = varo::SecureRandomBytes(512);
    digest = Sha256(message);
    plain = varo::SecureRandomBytes(32);
    signature = RSASignPKCS1v15(*ours, message, TRSAHashType::rsahfSHA256);
    cipher = RSAEncryptOAEP(ours->PublicKey(), plain, TRSAHashType::rsahfSHA1);
  }
};

Fixture& F() {
  static Fixture f;
  return f;
}

// The OpenSSL side of each pair works on the same key and the same padding.
PkeyCtx SignCtx(bool verify) {
  PkeyCtx ctx(EVP_PKEY_CTX_new(F().ossl.get(), nullptr));
  if (verify) {
    EVP_PKEY_verify_init(ctx.get());
  } else {
    EVP_PKEY_sign_init(ctx.get());
  }
  EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING);
  EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256());
  return ctx;
}
PkeyCtx CryptCtx(bool decrypt) {
  PkeyCtx ctx(EVP_PKEY_CTX_new(F().ossl.get(), nullptr));
  if (decrypt) {
    EVP_PKEY_decrypt_init(ctx.get());
  } else {
    EVP_PKEY_encrypt_init(ctx.get());
  }
  EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING);
  EVP_PKEY_CTX_set_rsa_oaep_md(ctx.get(), EVP_sha1());
  return ctx;
}

enum Op { kSign, kDecrypt, kVerify, kEncrypt };

void RunOurs(Op op) {
  Fixture& f = F();
  switch (op) {
    case kSign:
      benchmark::DoNotOptimize(RSASignPKCS1v15(*f.ours, f.message, TRSAHashType::rsahfSHA256));
      break;
    case kDecrypt:
      benchmark::DoNotOptimize(RSADecryptOAEP(*f.ours, f.cipher, TRSAHashType::rsahfSHA1));
      break;
    case kVerify:
      benchmark::DoNotOptimize(
          RSAVerifyPKCS1v15(f.ours->PublicKey(), f.message, f.signature, TRSAHashType::rsahfSHA256));
      break;
    case kEncrypt:
      benchmark::DoNotOptimize(RSAEncryptOAEP(f.ours->PublicKey(), f.plain, TRSAHashType::rsahfSHA1));
      break;
  }
}

void RunOpenSsl(Op op, EVP_PKEY_CTX* ctx) {
  Fixture& f = F();
  uint8_t out[512];
  size_t len = sizeof out;
  int rc = 0;
  switch (op) {
    case kSign: {
      ByteArray d = Sha256(f.message);  // hash like the native side does
      rc = EVP_PKEY_sign(ctx, out, &len, d.data(), d.size());
      break;
    }
    case kDecrypt:
      rc = EVP_PKEY_decrypt(ctx, out, &len, f.cipher.data(), f.cipher.size());
      break;
    case kVerify: {
      ByteArray d = Sha256(f.message);
      rc = EVP_PKEY_verify(ctx, f.signature.data(), f.signature.size(), d.data(), d.size());
      break;
    }
    case kEncrypt:
      rc = EVP_PKEY_encrypt(ctx, out, &len, f.plain.data(), f.plain.size());
      break;
  }
  if (rc != 1) throw std::runtime_error("OpenSSL operation failed");
  benchmark::DoNotOptimize(out);
}

PkeyCtx ContextFor(Op op) {
  switch (op) {
    case kSign:
      return SignCtx(false);
    case kVerify:
      return SignCtx(true);
    case kDecrypt:
      return CryptCtx(true);
    case kEncrypt:
      return CryptCtx(false);
  }
  return nullptr;
}

// CPU time of this thread: the ratios stay meaningful on a loaded machine.
double ThreadSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// CPU seconds per operation of OpenSSL, measured over a fixed slice of CPU time.
double OpenSslSecondsPerOp(Op op) {
  PkeyCtx ctx = ContextFor(op);
  const double start = ThreadSeconds();
  size_t n = 0;
  while (ThreadSeconds() - start < 0.3) {
    RunOpenSsl(op, ctx.get());
    ++n;
  }
  return (ThreadSeconds() - start) / static_cast<double>(n);
}

void BM_OpenSsl(benchmark::State& state, Op op) {
  PkeyCtx ctx = ContextFor(op);
  for (auto _ : state) RunOpenSsl(op, ctx.get());
}

void BM_Native(benchmark::State& state, Op op) {
  const double reference = OpenSslSecondsPerOp(op);
  const double start = ThreadSeconds();
  for (auto _ : state) RunOurs(op);
  const double elapsed = ThreadSeconds() - start;
  state.counters["ratio"] = elapsed / static_cast<double>(state.iterations()) / reference;
  // Which Montgomery product served the modulus: the ratios differ a lot between the two.
  state.SetLabel(F().ours->PublicKey().Mont().FastKernel() ? "mulx/adx" : "portable");
}

BENCHMARK_CAPTURE(BM_OpenSsl, sign_pkcs1_sha256, kSign)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Native, sign_pkcs1_sha256, kSign)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_OpenSsl, decrypt_oaep_sha1, kDecrypt)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Native, decrypt_oaep_sha1, kDecrypt)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_OpenSsl, verify_pkcs1_sha256, kVerify)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Native, verify_pkcs1_sha256, kVerify)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_OpenSsl, encrypt_oaep_sha1, kEncrypt)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Native, encrypt_oaep_sha1, kEncrypt)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
