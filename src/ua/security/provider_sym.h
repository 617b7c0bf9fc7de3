// SPDX-License-Identifier: MPL-2.0
// A symmetric provider part built from the system's own HMAC and AES-CBC, for providers
// that do not bring their own.
#pragma once

#include <optional>

#include "ua/security/aes.h"
#include "ua/security/hash.h"
#include "ua/security/provider.h"

namespace varo::ua {

// Separate contexts per direction: signing and encryption for what the client sends,
// checking and decryption for what it receives, so the two directions share no mutable
// state. The HMAC key blocks and AES round keys are computed once per token.
class TuaSymmetricContext : public uaMessageSecuritySym {
 public:
  void InitSymmetricSign(THashAlgorithm hash, ByteSpan key) override;
  ByteArray SymmetricSign(ByteSpan data, size_t offset, size_t length) override;
  // The key must fit the algorithm (16, 24 or 32 bytes) and the IV be 16 bytes.
  void InitEncryptSymm(TSymmAlgorithm algorithm, ByteSpan key, ByteSpan iv) override;
  void encryptSymm(ByteSpan input, size_t offset, std::span<uint8_t> output, size_t length) override;
  void InitDecryptSymm(TSymmAlgorithm algorithm, ByteSpan key, ByteSpan iv) override;
  void DecryptSymm(ByteSpan input, size_t offset, std::span<uint8_t> output, size_t length) override;
  void InitSymmetricVerify(THashAlgorithm hash, ByteSpan key) override;
  bool SymmetricVerify(ByteSpan data, size_t offset, size_t length, ByteSpan signature) override;

 private:
  struct Cipher {
    TAes aes;
    ByteArray iv;
  };
  static Cipher MakeCipher(TSymmAlgorithm algorithm, ByteSpan key, ByteSpan iv);
  static void Check(const std::optional<Cipher>& c, ByteSpan input, size_t offset, std::span<uint8_t> output,
                    size_t length);

  std::optional<THmac> fSign, fVerify;
  std::optional<Cipher> fEncrypt, fDecrypt;
};

}  // namespace varo::ua
