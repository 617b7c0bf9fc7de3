// SPDX-License-Identifier: MPL-2.0
// AES-128/192/256 with CBC chaining. Every call takes its IV explicitly and starts the chain
// from it; no padding is added. Runs on the CPU's AES instructions when present and on a
// constant-time bitsliced implementation otherwise.
#pragma once

#include <cstdint>
#include <span>

#include "platform/bytes.h"

namespace varo::ua {

class TAes {
 public:
  static constexpr size_t kBlockSize = 16;

  // Expands a 16-, 24- or 32-byte key; any other length raises EuaSecurityError.
  explicit TAes(ByteSpan key);
  TAes(const TAes&) = default;
  TAes& operator=(const TAes&) = default;
  ~TAes();  // the round keys are wiped

  size_t keySize() const { return keySize_; }
  int rounds() const { return rounds_; }

  // CBC over whole blocks. `out` must have the size of `in` and may be the very same buffer
  // (in place) but must not overlap it otherwise. An IV that is not 16 bytes, data that is
  // not a multiple of 16 bytes or a mismatched output raises EuaSecurityError and writes
  // nothing.
  void encryptCbc(ByteSpan iv, ByteSpan in, std::span<uint8_t> out) const;
  void decryptCbc(ByteSpan iv, ByteSpan in, std::span<uint8_t> out) const;
  void encryptCbc(ByteSpan iv, std::span<uint8_t> data) const { encryptCbc(iv, data, data); }
  void decryptCbc(ByteSpan iv, std::span<uint8_t> data) const { decryptCbc(iv, data, data); }

  // One block with no chaining (16 bytes in, 16 bytes out; may be the same buffer).
  void encryptBlock(ByteSpan in, std::span<uint8_t> out) const;
  void decryptBlock(ByteSpan in, std::span<uint8_t> out) const;

 private:
  int rounds_ = 0;
  size_t keySize_ = 0;
  uint8_t enc_[15][16] = {};     // round keys, byte order of the cipher state
  uint8_t dec_[15][16] = {};     // AES-instruction decryption keys (InvMixColumns applied)
  uint64_t sliced_[15][8] = {};  // round keys in the bitsliced layout of the portable code
};

ByteArray AesCbcEncrypt(ByteSpan key, ByteSpan iv, ByteSpan data);
ByteArray AesCbcDecrypt(ByteSpan key, ByteSpan iv, ByteSpan data);

// True when the CPU offers the AES instructions.
bool AesAccelerationAvailable();
// Selects the AES instructions (when `on` and available) or the portable code for every
// operation started afterwards; returns whether the AES instructions are now in use. Meant
// for tests and benchmarks; the default is to use them when present.
bool SetAesAcceleration(bool on);
bool AesAccelerationEnabled();

}  // namespace varo::ua
