// SPDX-License-Identifier: MPL-2.0
#include "ua/security/provider_sym.h"

#include "ua/security/security_error.h"

namespace varo::ua {

namespace {
size_t AlgorithmKeySize(TSymmAlgorithm algorithm) {
  switch (algorithm) {
    case saAES128:
      return 16;
    case saAES192:
      return 24;
    case saAES256:
      return 32;
  }
  throw EuaSecurityError("unknown symmetric algorithm");
}
}  // namespace

void TuaSymmetricContext::InitSymmetricSign(THashAlgorithm hash, ByteSpan key) {
  fSign.emplace(ToHashAlg(hash), key);
}

ByteArray TuaSymmetricContext::SymmetricSign(ByteSpan data, size_t offset, size_t length) {
  if (!fSign) throw EuaSecurityError("Symmetric signing key not set");
  if (offset > data.size() || length > data.size() - offset) {
    throw EuaSecurityError("Symmetric data range outside the buffer");
  }
  THmac mac = *fSign;  // the keyed context stays as it is
  mac.update(data.subspan(offset, length));
  return mac.final();
}

void TuaSymmetricContext::InitSymmetricVerify(THashAlgorithm hash, ByteSpan key) {
  fVerify.emplace(ToHashAlg(hash), key);
}

bool TuaSymmetricContext::SymmetricVerify(ByteSpan data, size_t offset, size_t length, ByteSpan signature) {
  return fVerify && VerifyMac(*fVerify, data, offset, length, signature);
}

TuaSymmetricContext::Cipher TuaSymmetricContext::MakeCipher(TSymmAlgorithm algorithm, ByteSpan key,
                                                            ByteSpan iv) {
  if (key.size() != AlgorithmKeySize(algorithm))
    throw EuaSecurityError("Symmetric key does not fit the algorithm");
  if (iv.size() != TAes::kBlockSize) throw EuaSecurityError("Symmetric IV must be 16 bytes");
  return Cipher{TAes(key), ByteArray(iv.begin(), iv.end())};
}

void TuaSymmetricContext::Check(const std::optional<Cipher>& c, ByteSpan input, size_t offset,
                                std::span<uint8_t> output, size_t length) {
  if (!c) throw EuaSecurityError("Symmetric key not set");
  if (offset > input.size() || length > input.size() - offset || length > output.size()) {
    throw EuaSecurityError("Symmetric data range outside the buffers");
  }
  if (length % TAes::kBlockSize != 0)
    throw EuaSecurityError("Symmetric data is not a whole number of blocks");
}

void TuaSymmetricContext::InitEncryptSymm(TSymmAlgorithm algorithm, ByteSpan key, ByteSpan iv) {
  fEncrypt.emplace(MakeCipher(algorithm, key, iv));
}

void TuaSymmetricContext::encryptSymm(ByteSpan input, size_t offset, std::span<uint8_t> output,
                                      size_t length) {
  Check(fEncrypt, input, offset, output, length);
  fEncrypt->aes.encryptCbc(fEncrypt->iv, input.subspan(offset, length), output.first(length));
}

void TuaSymmetricContext::InitDecryptSymm(TSymmAlgorithm algorithm, ByteSpan key, ByteSpan iv) {
  fDecrypt.emplace(MakeCipher(algorithm, key, iv));
}

void TuaSymmetricContext::DecryptSymm(ByteSpan input, size_t offset, std::span<uint8_t> output,
                                      size_t length) {
  Check(fDecrypt, input, offset, output, length);
  fDecrypt->aes.decryptCbc(fDecrypt->iv, input.subspan(offset, length), output.first(length));
}

}  // namespace varo::ua
