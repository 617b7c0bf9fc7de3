// SPDX-License-Identifier: MPL-2.0
// Native SHA-1, SHA-256 and HMAC.
#pragma once

#include <array>
#include <cstdint>

#include "platform/bytes.h"

namespace varo::ua {

class TSha1 {
 public:
  static constexpr size_t kDigestSize = 20;
  static constexpr size_t kBlockSize = 64;
  TSha1();
  void update(ByteSpan data);
  std::array<uint8_t, kDigestSize> final();

 private:
  uint32_t h_[5];
  uint64_t length_ = 0;
  uint8_t block_[kBlockSize];
  size_t used_ = 0;
};

class TSha256 {
 public:
  static constexpr size_t kDigestSize = 32;
  static constexpr size_t kBlockSize = 64;
  TSha256();
  void update(ByteSpan data);
  std::array<uint8_t, kDigestSize> final();

 private:
  uint32_t h_[8];
  uint64_t length_ = 0;
  uint8_t block_[kBlockSize];
  size_t used_ = 0;
};

enum class THashAlg { Sha1, Sha256 };

ByteArray Sha1(ByteSpan data);
ByteArray Sha256(ByteSpan data);
ByteArray Hash(THashAlg alg, ByteSpan data);
size_t HashSize(THashAlg alg);
ByteArray HmacSha1(ByteSpan key, ByteSpan data);
ByteArray HmacSha256(ByteSpan key, ByteSpan data);
ByteArray Hmac(THashAlg alg, ByteSpan key, ByteSpan data);
// Constant-time comparison of two byte strings (length is not secret).
bool ConstantTimeEqual(ByteSpan a, ByteSpan b);

// Keyed HMAC context (SHA-1 or SHA-256). The key blocks are hashed once when the object is
// made; copy the keyed object to compute several MACs under the same key.
class THmac {
 public:
  THmac(THashAlg alg, ByteSpan key);
  THashAlg alg() const { return alg_; }
  size_t size() const { return HashSize(alg_); }
  void update(ByteSpan data);
  // The MAC of everything fed since keying; the object must be re-keyed (or a keyed copy
  // used) for the next message.
  ByteArray final();

 private:
  THashAlg alg_;
  TSha1 inner1_, outer1_;
  TSha256 inner256_, outer256_;
};

// True when the CPU offers the SHA instructions.
bool ShaAccelerationAvailable();
// Selects the SHA instructions (when `on` and available) or the portable code for every
// hash computed afterwards; returns whether the SHA instructions are now in use. Meant for
// tests and benchmarks; the default is to use them when present.
bool SetShaAcceleration(bool on);
bool ShaAccelerationEnabled();

}  // namespace varo::ua
