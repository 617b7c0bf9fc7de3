// SPDX-License-Identifier: MPL-2.0
// SHA-1, SHA-256 and HMAC. The block compression runs on the CPU's SHA instructions when
// they are present and on portable code otherwise.
#include "ua/security/hash.h"

#include <atomic>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define VARO_HAVE_X86_SHA 1
#else
#define VARO_HAVE_X86_SHA 0
#endif

namespace varo::ua {

namespace {

using CompressFn = void (*)(uint32_t* state, const uint8_t* data, size_t blocks);

inline uint32_t Rotl(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}
inline uint32_t Rotr(uint32_t x, int n) {
  return (x >> n) | (x << (32 - n));
}
inline uint32_t LoadBE32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
inline void StoreBE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

constexpr uint32_t kSha256K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// ---------------------------------------------------------------------------------------------
// Portable compression

void Sha1CompressPortable(uint32_t* state, const uint8_t* data, size_t blocks) {
  for (; blocks > 0; --blocks, data += 64) {
    uint32_t w[80];
    for (int t = 0; t < 16; ++t) w[t] = LoadBE32(data + 4 * t);
    for (int t = 16; t < 80; ++t) w[t] = Rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    auto step = [&](uint32_t f, uint32_t k, uint32_t wt) {
      const uint32_t tmp = Rotl(a, 5) + f + e + k + wt;
      e = d;
      d = c;
      c = Rotl(b, 30);
      b = a;
      a = tmp;
    };
    for (int t = 0; t < 20; ++t) step((b & c) | (~b & d), 0x5a827999, w[t]);
    for (int t = 20; t < 40; ++t) step(b ^ c ^ d, 0x6ed9eba1, w[t]);
    for (int t = 40; t < 60; ++t) step((b & c) | (b & d) | (c & d), 0x8f1bbcdc, w[t]);
    for (int t = 60; t < 80; ++t) step(b ^ c ^ d, 0xca62c1d6, w[t]);
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
  }
}

void Sha256CompressPortable(uint32_t* state, const uint8_t* data, size_t blocks) {
  for (; blocks > 0; --blocks, data += 64) {
    uint32_t w[64];
    for (int t = 0; t < 16; ++t) w[t] = LoadBE32(data + 4 * t);
    for (int t = 16; t < 64; ++t) {
      const uint32_t s0 = Rotr(w[t - 15], 7) ^ Rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
      const uint32_t s1 = Rotr(w[t - 2], 17) ^ Rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 64; ++t) {
      const uint32_t t1 =
          h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kSha256K[t] + w[t];
      const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }
}

// ---------------------------------------------------------------------------------------------
// SHA instructions

#if VARO_HAVE_X86_SHA

__attribute__((target("sha,sse4.1"))) void Sha1CompressShaNi(uint32_t* state, const uint8_t* data,
                                                             size_t blocks) {
  const __m128i mask = _mm_set_epi64x(0x0001020304050607LL, 0x08090a0b0c0d0e0fLL);
  __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0x1B);
  __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
  for (; blocks > 0; --blocks, data += 64) {
    const __m128i abcdSave = abcd;
    const __m128i eSave = e0;
    __m128i m[4];
    __m128i e[2] = {e0, _mm_setzero_si128()};
#pragma GCC unroll 20
    for (int g = 0; g < 20; ++g) {
      if (g < 4) {
        m[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * g)), mask);
      }
      const int cur = g & 1;
      if (g == 0) {
        e[0] = _mm_add_epi32(e[0], m[0]);
      } else {
        e[cur] = _mm_sha1nexte_epu32(e[cur], m[g & 3]);
      }
      e[cur ^ 1] = abcd;
      if (g >= 3 && g <= 18) m[(g + 1) & 3] = _mm_sha1msg2_epu32(m[(g + 1) & 3], m[g & 3]);
      switch (g / 5) {
        case 0:
          abcd = _mm_sha1rnds4_epu32(abcd, e[cur], 0);
          break;
        case 1:
          abcd = _mm_sha1rnds4_epu32(abcd, e[cur], 1);
          break;
        case 2:
          abcd = _mm_sha1rnds4_epu32(abcd, e[cur], 2);
          break;
        default:
          abcd = _mm_sha1rnds4_epu32(abcd, e[cur], 3);
          break;
      }
      if (g >= 1 && g <= 16) m[(g + 3) & 3] = _mm_sha1msg1_epu32(m[(g + 3) & 3], m[g & 3]);
      if (g >= 2 && g <= 17) m[(g + 2) & 3] = _mm_xor_si128(m[(g + 2) & 3], m[g & 3]);
    }
    // After the last group e[0] holds the chaining A of round 76, whose rotation gives E.
    e0 = _mm_sha1nexte_epu32(e[0], eSave);
    abcd = _mm_add_epi32(abcd, abcdSave);
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_shuffle_epi32(abcd, 0x1B));
  state[4] = static_cast<uint32_t>(_mm_extract_epi32(e0, 3));
}

__attribute__((target("sha,sse4.1"))) void Sha256CompressShaNi(uint32_t* state, const uint8_t* data,
                                                               size_t blocks) {
  const __m128i mask = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
  __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);     // CDAB
  __m128i s1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);  // EFGH
  __m128i s0 = _mm_alignr_epi8(tmp, s1, 8);                                                            // ABEF
  s1 = _mm_blend_epi16(s1, tmp, 0xF0);                                                                 // CDGH
  for (; blocks > 0; --blocks, data += 64) {
    const __m128i s0Save = s0;
    const __m128i s1Save = s1;
    __m128i m[4];
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
      if (g < 4) {
        m[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * g)), mask);
      }
      const __m128i cur = m[g & 3];
      __m128i msg = _mm_add_epi32(cur, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSha256K + 4 * g)));
      s1 = _mm_sha256rnds2_epu32(s1, s0, msg);
      if (g >= 3 && g <= 14) {
        __m128i& next = m[(g + 1) & 3];
        next = _mm_add_epi32(next, _mm_alignr_epi8(cur, m[(g + 3) & 3], 4));
        next = _mm_sha256msg2_epu32(next, cur);
      }
      msg = _mm_shuffle_epi32(msg, 0x0E);
      s0 = _mm_sha256rnds2_epu32(s0, s1, msg);
      if (g >= 1 && g <= 12) m[(g + 3) & 3] = _mm_sha256msg1_epu32(m[(g + 3) & 3], cur);
    }
    s0 = _mm_add_epi32(s0, s0Save);
    s1 = _mm_add_epi32(s1, s1Save);
  }
  tmp = _mm_shuffle_epi32(s0, 0x1B);    // FEBA
  s1 = _mm_shuffle_epi32(s1, 0xB1);     // DCHG
  s0 = _mm_blend_epi16(tmp, s1, 0xF0);  // DCBA
  s1 = _mm_alignr_epi8(s1, tmp, 8);     // HGFE
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), s0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), s1);
}

// CPUID: leaf 7 EBX bit 29 is SHA; leaf 1 ECX bit 9 SSSE3, bit 19 SSE4.1.
bool DetectSha() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  const bool sse = (c & (1u << 9)) && (c & (1u << 19));
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return sse && (b & (1u << 29));
}

#else

bool DetectSha() {
  return false;
}

#endif

bool ShaAvailable() {
  static const bool available = DetectSha();
  return available;
}

// Set by tests and benchmarks to run the portable code on a CPU with SHA instructions.
std::atomic<bool> gShaOff{false};

bool UseSha() {
  return !gShaOff.load(std::memory_order_relaxed) && ShaAvailable();
}

CompressFn Sha1Compress() {
#if VARO_HAVE_X86_SHA
  if (UseSha()) return Sha1CompressShaNi;
#endif
  return Sha1CompressPortable;
}

CompressFn Sha256Compress() {
#if VARO_HAVE_X86_SHA
  if (UseSha()) return Sha256CompressShaNi;
#endif
  return Sha256CompressPortable;
}

// Shared streaming logic: whole blocks go straight from the caller's data to the compression.
void StreamUpdate(CompressFn compress, uint32_t* h, uint64_t& length, uint8_t* block, size_t& used,
                  ByteSpan data) {
  const uint8_t* p = data.data();
  size_t n = data.size();
  length += n;
  if (used > 0) {
    const size_t take = std::min(n, size_t{64} - used);
    std::memcpy(block + used, p, take);
    used += take;
    p += take;
    n -= take;
    if (used < 64) return;
    compress(h, block, 1);
    used = 0;
  }
  if (n >= 64) {
    compress(h, p, n / 64);
    p += n / 64 * 64;
    n %= 64;
  }
  if (n > 0) {
    std::memcpy(block, p, n);
    used = n;
  }
}

void StreamFinal(CompressFn compress, uint32_t* h, uint64_t length, uint8_t* block, size_t used) {
  block[used++] = 0x80;
  if (used > 56) {
    std::memset(block + used, 0, 64 - used);
    compress(h, block, 1);
    used = 0;
  }
  std::memset(block + used, 0, 56 - used);
  const uint64_t bits = length * 8;
  for (int i = 0; i < 8; ++i) block[56 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  compress(h, block, 1);
}

constexpr uint32_t kSha1Init[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
constexpr uint32_t kSha256Init[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// Overwrites secret material in a way the optimiser keeps.
void Wipe(void* p, size_t n) {
  volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
  while (n--) *v++ = 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

TSha1::TSha1() : block_{} {
  std::memcpy(h_, kSha1Init, sizeof h_);
}

void TSha1::update(ByteSpan data) {
  StreamUpdate(Sha1Compress(), h_, length_, block_, used_, data);
}

std::array<uint8_t, TSha1::kDigestSize> TSha1::final() {
  StreamFinal(Sha1Compress(), h_, length_, block_, used_);
  std::array<uint8_t, kDigestSize> out;
  for (int i = 0; i < 5; ++i) StoreBE32(out.data() + 4 * i, h_[i]);
  // Ready for the next message.
  Wipe(block_, sizeof block_);
  std::memcpy(h_, kSha1Init, sizeof h_);
  length_ = 0;
  used_ = 0;
  return out;
}

TSha256::TSha256() : block_{} {
  std::memcpy(h_, kSha256Init, sizeof h_);
}

void TSha256::update(ByteSpan data) {
  StreamUpdate(Sha256Compress(), h_, length_, block_, used_, data);
}

std::array<uint8_t, TSha256::kDigestSize> TSha256::final() {
  StreamFinal(Sha256Compress(), h_, length_, block_, used_);
  std::array<uint8_t, kDigestSize> out;
  for (int i = 0; i < 8; ++i) StoreBE32(out.data() + 4 * i, h_[i]);
  Wipe(block_, sizeof block_);
  std::memcpy(h_, kSha256Init, sizeof h_);
  length_ = 0;
  used_ = 0;
  return out;
}

ByteArray Sha1(ByteSpan data) {
  TSha1 ctx;
  ctx.update(data);
  const auto d = ctx.final();
  return ByteArray(d.begin(), d.end());
}

ByteArray Sha256(ByteSpan data) {
  TSha256 ctx;
  ctx.update(data);
  const auto d = ctx.final();
  return ByteArray(d.begin(), d.end());
}

ByteArray Hash(THashAlg alg, ByteSpan data) {
  return alg == THashAlg::Sha1 ? Sha1(data) : Sha256(data);
}

size_t HashSize(THashAlg alg) {
  return alg == THashAlg::Sha1 ? TSha1::kDigestSize : TSha256::kDigestSize;
}

// ---------------------------------------------------------------------------------------------
// HMAC

namespace {

template <typename H>
void KeyHmac(ByteSpan key, H& inner, H& outer) {
  uint8_t k[H::kBlockSize] = {};
  if (key.size() > H::kBlockSize) {
    H kh;
    kh.update(key);
    const auto d = kh.final();
    std::memcpy(k, d.data(), d.size());
  } else if (!key.empty()) {
    std::memcpy(k, key.data(), key.size());
  }
  uint8_t pad[H::kBlockSize];
  for (size_t i = 0; i < H::kBlockSize; ++i) pad[i] = k[i] ^ 0x36;
  inner.update(pad);
  for (size_t i = 0; i < H::kBlockSize; ++i) pad[i] = k[i] ^ 0x5c;
  outer.update(pad);
  Wipe(k, sizeof k);
  Wipe(pad, sizeof pad);
}

template <typename H>
ByteArray FinishHmac(H& inner, H& outer) {
  const auto innerDigest = inner.final();
  outer.update(innerDigest);
  const auto d = outer.final();
  return ByteArray(d.begin(), d.end());
}

}  // namespace

THmac::THmac(THashAlg alg, ByteSpan key) : alg_(alg) {
  if (alg_ == THashAlg::Sha1) {
    KeyHmac(key, inner1_, outer1_);
  } else {
    KeyHmac(key, inner256_, outer256_);
  }
}

void THmac::update(ByteSpan data) {
  if (alg_ == THashAlg::Sha1) {
    inner1_.update(data);
  } else {
    inner256_.update(data);
  }
}

ByteArray THmac::final() {
  return alg_ == THashAlg::Sha1 ? FinishHmac(inner1_, outer1_) : FinishHmac(inner256_, outer256_);
}

ByteArray Hmac(THashAlg alg, ByteSpan key, ByteSpan data) {
  THmac mac(alg, key);
  mac.update(data);
  return mac.final();
}

ByteArray HmacSha1(ByteSpan key, ByteSpan data) {
  return Hmac(THashAlg::Sha1, key, data);
}
ByteArray HmacSha256(ByteSpan key, ByteSpan data) {
  return Hmac(THashAlg::Sha256, key, data);
}

bool ConstantTimeEqual(ByteSpan a, ByteSpan b) {
  if (a.size() != b.size()) return false;
  volatile uint8_t diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff = diff | (a[i] ^ b[i]);
  return diff == 0;
}

bool ShaAccelerationAvailable() {
  return ShaAvailable();
}

bool SetShaAcceleration(bool on) {
  gShaOff.store(!on);
  return UseSha();
}

bool ShaAccelerationEnabled() {
  return UseSha();
}

}  // namespace varo::ua
