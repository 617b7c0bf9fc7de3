// SPDX-License-Identifier: MPL-2.0
// SHA-1, SHA-256, HMAC-SHA256 and AES-256-CBC over 64 KiB: our accelerated and portable code
// against OpenSSL's EVP in the same run. After the runs a table gives time(ours)/time(OpenSSL).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdio>
#include <string>

#include "bench_support.h"
#include "ua/security/aes.h"
#include "ua/security/hash.h"

namespace {

using varo::ByteArray;
using namespace varo::ua;

constexpr size_t kSize = 64 * 1024;

const ByteArray& Data() {
  static const ByteArray data = [] {
    ByteArray d(kSize);
    for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<uint8_t>(i * 131 + 7);
    return d;
  }();
  return data;
}

const ByteArray kKey32(32, 0x5a);
const ByteArray kIv(16, 0xa5);

enum Impl { kAccelerated, kPortable };

bool Select(benchmark::State& state, Impl impl) {
  const bool want = impl == kAccelerated;
  const bool sha = SetShaAcceleration(want);
  const bool aes = SetAesAcceleration(want);
  if (want && !(sha && aes)) {
    state.SkipWithError("CPU lacks the SHA or AES instructions");
    return false;
  }
  return true;
}

void Finish(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kSize));
  SetShaAcceleration(true);
  SetAesAcceleration(true);
}

void OursSha256(benchmark::State& state, Impl impl) {
  if (!Select(state, impl)) return;
  for (auto _ : state) benchmark::DoNotOptimize(Sha256(Data()));
  Finish(state);
}

void OursSha1(benchmark::State& state, Impl impl) {
  if (!Select(state, impl)) return;
  for (auto _ : state) benchmark::DoNotOptimize(Sha1(Data()));
  Finish(state);
}

void OursHmacSha256(benchmark::State& state, Impl impl) {
  if (!Select(state, impl)) return;
  for (auto _ : state) benchmark::DoNotOptimize(HmacSha256(kKey32, Data()));
  Finish(state);
}

void OursAesEncrypt(benchmark::State& state, Impl impl) {
  if (!Select(state, impl)) return;
  const TAes aes(kKey32);
  ByteArray buf = Data();
  for (auto _ : state) {
    aes.encryptCbc(kIv, buf);
    benchmark::ClobberMemory();
  }
  Finish(state);
}

void OursAesDecrypt(benchmark::State& state, Impl impl) {
  if (!Select(state, impl)) return;
  const TAes aes(kKey32);
  ByteArray buf = Data();
  for (auto _ : state) {
    aes.decryptCbc(kIv, buf);
    benchmark::ClobberMemory();
  }
  Finish(state);
}

void OpenSslDigest(benchmark::State& state, const EVP_MD* md) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  for (auto _ : state) {
    EVP_Digest(Data().data(), Data().size(), out, &len, md, nullptr);
    benchmark::DoNotOptimize(out);
  }
  Finish(state);
}

void OpenSslSha256(benchmark::State& state) {
  OpenSslDigest(state, EVP_sha256());
}
void OpenSslSha1(benchmark::State& state) {
  OpenSslDigest(state, EVP_sha1());
}

void OpenSslHmacSha256(benchmark::State& state) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  for (auto _ : state) {
    HMAC(EVP_sha256(), kKey32.data(), static_cast<int>(kKey32.size()), Data().data(), Data().size(), out,
         &len);
    benchmark::DoNotOptimize(out);
  }
  Finish(state);
}

void OpenSslAes(benchmark::State& state, int encrypt) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  EVP_CipherInit_ex(ctx, EVP_aes_256_cbc(), nullptr, kKey32.data(), kIv.data(), encrypt);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  ByteArray buf = Data();
  int len = 0;
  for (auto _ : state) {
    EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, kIv.data(), -1);  // restart from the IV
    EVP_CipherUpdate(ctx, buf.data(), &len, buf.data(), static_cast<int>(buf.size()));
    benchmark::ClobberMemory();
  }
  EVP_CIPHER_CTX_free(ctx);
  Finish(state);
}

void OpenSslAesEncrypt(benchmark::State& state) {
  OpenSslAes(state, 1);
}
void OpenSslAesDecrypt(benchmark::State& state) {
  OpenSslAes(state, 0);
}

struct Group {
  const char* name;
  void (*ours)(benchmark::State&, Impl);
  void (*openssl)(benchmark::State&);
};

const Group kGroups[] = {
    {"SHA256_64KiB", OursSha256, OpenSslSha256},
    {"SHA1_64KiB", OursSha1, OpenSslSha1},
    {"HMAC_SHA256_64KiB", OursHmacSha256, OpenSslHmacSha256},
    {"AES256_CBC_encrypt_64KiB", OursAesEncrypt, OpenSslAesEncrypt},
    {"AES256_CBC_decrypt_64KiB", OursAesDecrypt, OpenSslAesDecrypt},
};

}  // namespace

int main(int argc, char** argv) {
  for (const auto& g : kGroups) {
    const std::string base = g.name;
    benchmark::RegisterBenchmark((base + "/ours_accelerated").c_str(), g.ours, kAccelerated);
    benchmark::RegisterBenchmark((base + "/ours_portable").c_str(), g.ours, kPortable);
    benchmark::RegisterBenchmark((base + "/openssl").c_str(), g.openssl);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  varo::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  std::printf("\n%-28s %22s %18s\n", "cpu time(ours)/time(OpenSSL)", "accelerated", "portable");
  for (const auto& g : kGroups) {
    const std::string base = g.name;
    const double ref = reporter.time(base + "/openssl");
    if (ref <= 0) continue;
    const double acc = reporter.time(base + "/ours_accelerated");
    const double por = reporter.time(base + "/ours_portable");
    std::printf("%-28s %22.2f %18.2f\n", g.name, acc / ref, por / ref);
  }
  return 0;
}
