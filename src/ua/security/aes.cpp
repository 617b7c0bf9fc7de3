// SPDX-License-Identifier: MPL-2.0
// AES key schedule and CBC chaining.
//
// Portable code: the state is bitsliced. Up to four blocks (64 bytes) are held in eight
// 64-bit words, word b holding bit b of every byte, so that SubBytes is computed for all
// bytes at once with logic operations: the S-box is the inverse in GF(2^8), taken as x^254
// with bitsliced multiplications and squarings, followed by the affine map. No table is
// indexed by secret data and no branch depends on it. CBC decryption fills all four lanes,
// CBC encryption (inherently sequential) one.
//
// AES instructions: the same key schedule, loaded into the AESENC/AESDEC rounds; CBC
// decryption runs eight blocks interleaved.
#include "ua/security/aes.h"

#include <atomic>
#include <cstring>

#include "ua/security/security_error.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define VARO_HAVE_X86_AES 1
#else
#define VARO_HAVE_X86_AES 0
#endif

namespace varo::ua {

namespace {

// ---------------------------------------------------------------------------------------------
// Bitsliced primitives. Byte j of the 64-byte group (block j / 16, state byte j % 16, which is
// row (j % 4) and column (j % 16) / 4) is bit j of every word.

using Slice = uint64_t[8];

inline uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

inline void Store64(uint8_t* p, uint64_t v) {
  std::memcpy(p, &v, 8);
}

// Transposes the 8x8 bit matrix whose rows are the bytes of x.
inline uint64_t Transpose8(uint64_t x) {
  uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAULL;
  x = x ^ t ^ (t << 7);
  t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCULL;
  x = x ^ t ^ (t << 14);
  t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ULL;
  x = x ^ t ^ (t << 28);
  return x;
}

// Bytes [0, 8 * chunks) of `in` into the slice; the other bytes read as zero.
inline void ToSlice(const uint8_t* in, size_t chunks, Slice q) {
  for (int b = 0; b < 8; ++b) q[b] = 0;
  for (size_t k = 0; k < chunks; ++k) {
    const uint64_t t = Transpose8(Load64(in + 8 * k));
    for (int b = 0; b < 8; ++b) q[b] |= ((t >> (8 * b)) & 0xFF) << (8 * k);
  }
}

inline void FromSlice(const Slice q, size_t chunks, uint8_t* out) {
  for (size_t k = 0; k < chunks; ++k) {
    uint64_t t = 0;
    for (int b = 0; b < 8; ++b) t |= ((q[b] >> (8 * k)) & 0xFF) << (8 * b);
    Store64(out + 8 * k, Transpose8(t));
  }
}

// Multiplication in GF(2^8) modulo x^8 + x^4 + x^3 + x + 1.
inline void GfMul(const uint64_t* a, const uint64_t* b, uint64_t* out) {
  uint64_t c[15] = {};
#pragma GCC unroll 16
  for (int i = 0; i < 8; ++i) {
#pragma GCC unroll 16
    for (int j = 0; j < 8; ++j) c[i + j] ^= a[i] & b[j];
  }
#pragma GCC unroll 16
  for (int k = 14; k >= 8; --k) {
    c[k - 4] ^= c[k];
    c[k - 5] ^= c[k];
    c[k - 7] ^= c[k];
    c[k - 8] ^= c[k];
  }
#pragma GCC unroll 16
  for (int i = 0; i < 8; ++i) out[i] = c[i];
}

// Squaring is linear: coefficient i moves to 2i, then the same reduction.
inline void GfSquare(const uint64_t* a, uint64_t* out) {
  uint64_t c[15] = {};
#pragma GCC unroll 16
  for (int i = 0; i < 8; ++i) c[2 * i] = a[i];
#pragma GCC unroll 16
  for (int k = 14; k >= 8; --k) {
    c[k - 4] ^= c[k];
    c[k - 5] ^= c[k];
    c[k - 7] ^= c[k];
    c[k - 8] ^= c[k];
  }
#pragma GCC unroll 16
  for (int i = 0; i < 8; ++i) out[i] = c[i];
}

// x^254, the multiplicative inverse (0 maps to 0).
inline void GfInverse(uint64_t* x) {
  uint64_t x2[8], x3[8], x12[8], x15[8], t[8];
  GfSquare(x, x2);      // x^2
  GfMul(x2, x, x3);     // x^3
  GfSquare(x3, t);      // x^6
  GfSquare(t, x12);     // x^12
  GfMul(x12, x3, x15);  // x^15
  GfSquare(x15, t);     // x^30
  GfSquare(t, t);       // x^60
  GfSquare(t, t);       // x^120
  GfSquare(t, t);       // x^240
  GfMul(t, x12, x15);   // x^252
  GfMul(x15, x2, x);    // x^254
}

inline void SubBytes(Slice q) {
  GfInverse(q);
  uint64_t y[8];
#pragma GCC unroll 16
  for (int i = 0; i < 8; ++i) y[i] = q[i] ^ q[(i + 4) & 7] ^ q[(i + 5) & 7] ^ q[(i + 6) & 7] ^ q[(i + 7) & 7];
  // constant 0x63: bits 0, 1, 5, 6
  q[0] = ~y[0];
  q[1] = ~y[1];
  q[2] = y[2];
  q[3] = y[3];
  q[4] = y[4];
  q[5] = ~y[5];
  q[6] = ~y[6];
  q[7] = y[7];
}

inline void InvSubBytes(Slice q) {
  uint64_t y[8];
#pragma GCC unroll 16
  for (int i = 0; i < 8; ++i) y[i] = q[(i + 2) & 7] ^ q[(i + 5) & 7] ^ q[(i + 7) & 7];
  // constant 0x05: bits 0, 2
  y[0] = ~y[0];
  y[2] = ~y[2];
  std::memcpy(q, y, sizeof y);
  GfInverse(q);
}

constexpr uint64_t Replicate(uint16_t lane) {
  return lane * 0x0001000100010001ULL;
}

// Positions 4c + r of one 16-bit lane for the given row and columns [from, to).
constexpr uint16_t RowBits(int r, int from, int to) {
  uint16_t m = 0;
#pragma GCC unroll 16
  for (int c = from; c < to; ++c) m = static_cast<uint16_t>(m | (1u << (4 * c + r)));
  return m;
}

// Row r moves r columns to the left: new[r][c] = old[r][c + r].
inline uint64_t ShiftRowsWord(uint64_t x) {
  uint64_t out = x & Replicate(RowBits(0, 0, 4));
  out |= ((x >> 4) & Replicate(RowBits(1, 0, 3))) | ((x << 12) & Replicate(RowBits(1, 3, 4)));
  out |= ((x >> 8) & Replicate(RowBits(2, 0, 2))) | ((x << 8) & Replicate(RowBits(2, 2, 4)));
  out |= ((x >> 12) & Replicate(RowBits(3, 0, 1))) | ((x << 4) & Replicate(RowBits(3, 1, 4)));
  return out;
}

// new[r][c] = old[r][c - r].
inline uint64_t InvShiftRowsWord(uint64_t x) {
  uint64_t out = x & Replicate(RowBits(0, 0, 4));
  out |= ((x << 4) & Replicate(RowBits(1, 1, 4))) | ((x >> 12) & Replicate(RowBits(1, 0, 1)));
  out |= ((x << 8) & Replicate(RowBits(2, 2, 4))) | ((x >> 8) & Replicate(RowBits(2, 0, 2)));
  out |= ((x << 12) & Replicate(RowBits(3, 3, 4))) | ((x >> 4) & Replicate(RowBits(3, 0, 3)));
  return out;
}

// Row r of the result holds row (r + k) mod 4 of the same column.
inline uint64_t Rot1(uint64_t x) {
  return ((x >> 1) & 0x7777777777777777ULL) | ((x << 3) & 0x8888888888888888ULL);
}
inline uint64_t Rot2(uint64_t x) {
  return ((x >> 2) & 0x3333333333333333ULL) | ((x << 2) & 0xCCCCCCCCCCCCCCCCULL);
}
inline uint64_t Rot3(uint64_t x) {
  return ((x >> 3) & 0x1111111111111111ULL) | ((x << 1) & 0xEEEEEEEEEEEEEEEEULL);
}

// Multiplication by x (0x02) of every byte.
inline void XTime(const uint64_t* t, uint64_t* out) {
  out[0] = t[7];
  out[1] = t[0] ^ t[7];
  out[2] = t[1];
  out[3] = t[2] ^ t[7];
  out[4] = t[3] ^ t[7];
  out[5] = t[4];
  out[6] = t[5];
  out[7] = t[6];
}

// new[r] = 2 old[r] + 3 old[r+1] + old[r+2] + old[r+3] = 2 (old[r] + old[r+1]) + old[r+1] + ...
inline void MixColumns(Slice q) {
  uint64_t t[8], x[8], rest[8];
#pragma GCC unroll 16
  for (int i = 0; i < 8; ++i) {
    const uint64_t a1 = Rot1(q[i]);
    t[i] = q[i] ^ a1;
    rest[i] = a1 ^ Rot2(q[i]) ^ Rot3(q[i]);
  }
  XTime(t, x);
#pragma GCC unroll 16
  for (int i = 0; i < 8; ++i) q[i] = x[i] ^ rest[i];
}

// The inverse matrix factors into MixColumns after adding 4 (old[r] + old[r+2]) to every row.
inline void InvMixColumns(Slice q) {
  uint64_t w[8], x2[8], x4[8];
#pragma GCC unroll 16
  for (int i = 0; i < 8; ++i) w[i] = q[i] ^ Rot2(q[i]);
  XTime(w, x2);
  XTime(x2, x4);
#pragma GCC unroll 16
  for (int i = 0; i < 8; ++i) q[i] ^= x4[i];
  MixColumns(q);
}

inline void AddRoundKey(Slice q, const uint64_t* k) {
#pragma GCC unroll 16
  for (int i = 0; i < 8; ++i) q[i] ^= k[i];
}

void EncryptSlice(Slice q, const uint64_t (*rk)[8], int rounds) {
  AddRoundKey(q, rk[0]);
  for (int r = 1; r < rounds; ++r) {
    SubBytes(q);
    for (int i = 0; i < 8; ++i) q[i] = ShiftRowsWord(q[i]);
    MixColumns(q);
    AddRoundKey(q, rk[r]);
  }
  SubBytes(q);
  for (int i = 0; i < 8; ++i) q[i] = ShiftRowsWord(q[i]);
  AddRoundKey(q, rk[rounds]);
}

void DecryptSlice(Slice q, const uint64_t (*rk)[8], int rounds) {
  AddRoundKey(q, rk[rounds]);
  for (int r = rounds - 1; r >= 1; --r) {
    for (int i = 0; i < 8; ++i) q[i] = InvShiftRowsWord(q[i]);
    InvSubBytes(q);
    AddRoundKey(q, rk[r]);
    InvMixColumns(q);
  }
  for (int i = 0; i < 8; ++i) q[i] = InvShiftRowsWord(q[i]);
  InvSubBytes(q);
  AddRoundKey(q, rk[0]);
}

// S-box on up to 64 bytes, for the key schedule.
void SubBytesOf(uint8_t* bytes, size_t n) {
  uint8_t buf[64] = {};
  std::memcpy(buf, bytes, n);
  Slice q;
  const size_t chunks = (n + 7) / 8;
  ToSlice(buf, chunks, q);
  SubBytes(q);
  FromSlice(q, chunks, buf);
  std::memcpy(bytes, buf, n);
}

inline void XorBlock(uint8_t* dst, const uint8_t* a, const uint8_t* b) {
  Store64(dst, Load64(a) ^ Load64(b));
  Store64(dst + 8, Load64(a + 8) ^ Load64(b + 8));
}

void Wipe(void* p, size_t n) {
  volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
  while (n--) *v++ = 0;
}

void EncryptCbcPortable(const uint64_t (*rk)[8], int rounds, const uint8_t* iv, const uint8_t* in,
                        uint8_t* out, size_t blocks) {
  uint8_t prev[16];
  std::memcpy(prev, iv, 16);
  for (size_t i = 0; i < blocks; ++i) {
    uint8_t x[16];
    XorBlock(x, in + 16 * i, prev);
    Slice q;
    ToSlice(x, 2, q);
    EncryptSlice(q, rk, rounds);
    FromSlice(q, 2, prev);
    std::memcpy(out + 16 * i, prev, 16);
  }
}

void DecryptCbcPortable(const uint64_t (*rk)[8], int rounds, const uint8_t* iv, const uint8_t* in,
                        uint8_t* out, size_t blocks) {
  uint8_t prev[16];
  std::memcpy(prev, iv, 16);
  for (size_t i = 0; i < blocks; i += 4) {
    const size_t n = std::min<size_t>(4, blocks - i);
    uint8_t cipher[64];  // kept: `out` may be `in`
    std::memcpy(cipher, in + 16 * i, 16 * n);
    Slice q;
    ToSlice(cipher, 2 * n, q);
    DecryptSlice(q, rk, rounds);
    uint8_t plain[64];
    FromSlice(q, 2 * n, plain);
    for (size_t j = 0; j < n; ++j) {
      XorBlock(out + 16 * (i + j), plain + 16 * j, j == 0 ? prev : cipher + 16 * (j - 1));
    }
    std::memcpy(prev, cipher + 16 * (n - 1), 16);
  }
}

// ---------------------------------------------------------------------------------------------
// AES instructions

#if VARO_HAVE_X86_AES

#define VARO_AES_TARGET __attribute__((target("aes,sse4.1")))

template <int Nr>
VARO_AES_TARGET void EncryptCbcNi(const uint8_t (*rk)[16], const uint8_t* iv, const uint8_t* in, uint8_t* out,
                                  size_t blocks) {
  __m128i k[Nr + 1];
#pragma GCC unroll 16
  for (int r = 0; r <= Nr; ++r) k[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rk[r]));
  __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(iv));
  for (size_t i = 0; i < blocks; ++i) {
    x = _mm_xor_si128(x, _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * i)));
    x = _mm_xor_si128(x, k[0]);
#pragma GCC unroll 16
    for (int r = 1; r < Nr; ++r) x = _mm_aesenc_si128(x, k[r]);
    x = _mm_aesenclast_si128(x, k[Nr]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * i), x);
  }
}

template <int Nr>
VARO_AES_TARGET void DecryptCbcNi(const uint8_t (*dk)[16], const uint8_t* iv, const uint8_t* in, uint8_t* out,
                                  size_t blocks) {
  __m128i k[Nr + 1];
#pragma GCC unroll 16
  for (int r = 0; r <= Nr; ++r) k[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dk[r]));
  __m128i prev = _mm_loadu_si128(reinterpret_cast<const __m128i*>(iv));
  size_t i = 0;
  for (; i + 8 <= blocks; i += 8) {
    __m128i c[8], x[8];
#pragma GCC unroll 16
    for (int j = 0; j < 8; ++j) {
      c[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * (i + j)));
      x[j] = _mm_xor_si128(c[j], k[0]);
    }
#pragma GCC unroll 16
    for (int r = 1; r < Nr; ++r) {
#pragma GCC unroll 16
      for (int j = 0; j < 8; ++j) x[j] = _mm_aesdec_si128(x[j], k[r]);
    }
#pragma GCC unroll 16
    for (int j = 0; j < 8; ++j) x[j] = _mm_aesdeclast_si128(x[j], k[Nr]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * i), _mm_xor_si128(x[0], prev));
#pragma GCC unroll 16
    for (int j = 1; j < 8; ++j) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * (i + j)), _mm_xor_si128(x[j], c[j - 1]));
    }
    prev = c[7];
  }
  for (; i < blocks; ++i) {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * i));
    __m128i x = _mm_xor_si128(c, k[0]);
#pragma GCC unroll 16
    for (int r = 1; r < Nr; ++r) x = _mm_aesdec_si128(x, k[r]);
    x = _mm_aesdeclast_si128(x, k[Nr]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * i), _mm_xor_si128(x, prev));
    prev = c;
  }
}

VARO_AES_TARGET void MakeDecryptionKeysNi(const uint8_t (*enc)[16], int rounds, uint8_t (*dec)[16]) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dec[0]),
                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(enc[rounds])));
  for (int r = 1; r < rounds; ++r) {
    const __m128i k = _mm_loadu_si128(reinterpret_cast<const __m128i*>(enc[rounds - r]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dec[r]), _mm_aesimc_si128(k));
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dec[rounds]),
                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(enc[0])));
}

// CPUID leaf 1 ECX: bit 19 SSE4.1, bit 25 AES.
bool DetectAes() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  return (c & (1u << 19)) && (c & (1u << 25));
}

#else

bool DetectAes() {
  return false;
}

#endif

bool AesAvailable() {
  static const bool available = DetectAes();
  return available;
}

// Set by tests and benchmarks to run the portable code on a CPU with AES instructions.
std::atomic<bool> gAesOff{false};

bool UseAesNi() {
  return !gAesOff.load(std::memory_order_relaxed) && AesAvailable();
}

void CheckCbcArgs(ByteSpan iv, ByteSpan in, std::span<uint8_t> out) {
  if (iv.size() != 16) throw NativeSecurityError("AES IV must be 16 bytes");
  if (in.size() % 16 != 0) throw NativeSecurityError("AES data length is not a multiple of 16 bytes");
  if (out.size() != in.size()) throw NativeSecurityError("AES output size does not match the input");
  if (in.empty() || in.data() == out.data()) return;
  const auto* ib = in.data();
  const auto* ob = out.data();
  if (ob < ib + in.size() && ib < ob + out.size()) throw NativeSecurityError("AES buffers overlap");
}

}  // namespace

// ---------------------------------------------------------------------------------------------

TAes::TAes(ByteSpan key) {
  const size_t nk = key.size() / 4;
  if (key.size() != 16 && key.size() != 24 && key.size() != 32) {
    throw NativeSecurityError("unsupported AES key length " + std::to_string(key.size()));
  }
  keySize_ = key.size();
  rounds_ = static_cast<int>(nk) + 6;
  const size_t words = 4 * (static_cast<size_t>(rounds_) + 1);
  uint8_t w[60][4];
  std::memcpy(w, key.data(), key.size());
  uint8_t rcon = 1;
  for (size_t i = nk; i < words; ++i) {
    uint8_t t[4];
    std::memcpy(t, w[i - 1], 4);
    if (i % nk == 0) {
      const uint8_t first = t[0];
      t[0] = t[1];
      t[1] = t[2];
      t[2] = t[3];
      t[3] = first;
      SubBytesOf(t, 4);
      t[0] ^= rcon;
      rcon = static_cast<uint8_t>((rcon << 1) ^ ((rcon >> 7) * 0x1b));
    } else if (nk > 6 && i % nk == 4) {
      SubBytesOf(t, 4);
    }
    for (int j = 0; j < 4; ++j) w[i][j] = w[i - nk][j] ^ t[j];
  }
  std::memcpy(enc_, w, words * 4);
  Wipe(w, sizeof w);
  for (int r = 0; r <= rounds_; ++r) {
    uint8_t four[64];
    for (int j = 0; j < 4; ++j) std::memcpy(four + 16 * j, enc_[r], 16);
    ToSlice(four, 8, sliced_[r]);
    Wipe(four, sizeof four);
  }
#if VARO_HAVE_X86_AES
  if (AesAvailable()) MakeDecryptionKeysNi(enc_, rounds_, dec_);
#endif
}

TAes::~TAes() {
  Wipe(enc_, sizeof enc_);
  Wipe(dec_, sizeof dec_);
  Wipe(sliced_, sizeof sliced_);
}

void TAes::encryptCbc(ByteSpan iv, ByteSpan in, std::span<uint8_t> out) const {
  CheckCbcArgs(iv, in, out);
  const size_t blocks = in.size() / 16;
  if (blocks == 0) return;
#if VARO_HAVE_X86_AES
  if (UseAesNi()) {
    switch (rounds_) {
      case 10:
        return EncryptCbcNi<10>(enc_, iv.data(), in.data(), out.data(), blocks);
      case 12:
        return EncryptCbcNi<12>(enc_, iv.data(), in.data(), out.data(), blocks);
      default:
        return EncryptCbcNi<14>(enc_, iv.data(), in.data(), out.data(), blocks);
    }
  }
#endif
  EncryptCbcPortable(sliced_, rounds_, iv.data(), in.data(), out.data(), blocks);
}

void TAes::decryptCbc(ByteSpan iv, ByteSpan in, std::span<uint8_t> out) const {
  CheckCbcArgs(iv, in, out);
  const size_t blocks = in.size() / 16;
  if (blocks == 0) return;
#if VARO_HAVE_X86_AES
  if (UseAesNi()) {
    switch (rounds_) {
      case 10:
        return DecryptCbcNi<10>(dec_, iv.data(), in.data(), out.data(), blocks);
      case 12:
        return DecryptCbcNi<12>(dec_, iv.data(), in.data(), out.data(), blocks);
      default:
        return DecryptCbcNi<14>(dec_, iv.data(), in.data(), out.data(), blocks);
    }
  }
#endif
  DecryptCbcPortable(sliced_, rounds_, iv.data(), in.data(), out.data(), blocks);
}

namespace {
constexpr uint8_t kZeroIv[16] = {};

void CheckBlockArgs(ByteSpan in, std::span<uint8_t> out) {
  if (in.size() != 16 || out.size() != 16) throw NativeSecurityError("AES block must be 16 bytes");
}
}  // namespace

// A single block is CBC with a zero IV.
void TAes::encryptBlock(ByteSpan in, std::span<uint8_t> out) const {
  CheckBlockArgs(in, out);
  encryptCbc(kZeroIv, in, out);
}

void TAes::decryptBlock(ByteSpan in, std::span<uint8_t> out) const {
  CheckBlockArgs(in, out);
  decryptCbc(kZeroIv, in, out);
}

ByteArray AesCbcEncrypt(ByteSpan key, ByteSpan iv, ByteSpan data) {
  const TAes aes(key);
  ByteArray out(data.size());
  aes.encryptCbc(iv, data, out);
  return out;
}

ByteArray AesCbcDecrypt(ByteSpan key, ByteSpan iv, ByteSpan data) {
  const TAes aes(key);
  ByteArray out(data.size());
  aes.decryptCbc(iv, data, out);
  return out;
}

bool AesAccelerationAvailable() {
  return AesAvailable();
}

bool SetAesAcceleration(bool on) {
  gAesOff.store(!on);
  return UseAesNi();
}

bool AesAccelerationEnabled() {
  return UseAesNi();
}

}  // namespace varo::ua
