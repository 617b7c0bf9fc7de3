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
#include "support/openssl_peer.h"
#include "ua/security/rsa.h"

namespace {

using varo::ByteArray;
using varo::ByteSpan;
using namespace varo::ua;

using varo::test::Pkey;
using varo::test::PkeyCtx;

struct Fixture {
  Pkey ossl;
  std::unique_ptr<TRsaPrivateKey> ours;
  ByteArray digest;     // SHA-256 of the message, for the raw OpenSSL signature
  ByteArray message;    // what is signed
  ByteArray plain;      // what is encrypted
  ByteArray signature;  // PKCS#1 v1.5 SHA-256
  ByteArray cipher;     // OAEP SHA-1

  Fixture() {
    ossl = varo::test::GenerateRsaKey(2048);
    ours = std::make_unique<TRsaPrivateKey>(varo::test::NativeRsaKey(ossl.get()));
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
