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

}  // namespace varo::ua
