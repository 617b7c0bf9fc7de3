// SPDX-License-Identifier: MPL-2.0
#include "ua/security/native_provider.h"

#include <algorithm>
#include <string_view>

#include "ua/security/pem.h"
#include "ua/security/security_error.h"
#include "ua/security/x509.h"

namespace varo::ua {

namespace {

void CheckUsage(TCertificateUsage usage) {
  if (usage != cuUseRemoteKey && usage != cuUseLocalKey) throw NativeSecurityError("unknown Certificate");
}

TRSAHashType TranslateHash(THashAlgorithm hash) {
  switch (hash) {
    case THashAlgorithm::SHA1:
      return TRSAHashType::rsahfSHA1;
    case THashAlgorithm::SHA256:
      return TRSAHashType::rsahfSHA256;
  }
  throw NativeSecurityError("unknown HashFunction");
}

bool SameKey(const TRsaPublicKey& a, const TRsaPublicKey& b) {
  return Compare(a.Modulus(), b.Modulus()) == 0 && Compare(a.Exponent(), b.Exponent()) == 0;
}

ByteArray Sign(const TRsaPrivateKey& key, TRSAPadding padding, THashAlgorithm hash, ByteSpan data) {
  const TRSAHashType h = TranslateHash(hash);
  switch (padding) {
    case rpPKCS:
      return RSASignPKCS1v15(key, data, h);
    case rpPSS:
      return RSASignPSS(key, RsaHash(h, data), h, RsaHashSize(h));
    default:
      throw NativeSecurityError("unknown Sign padding");
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Keys and certificates

TMSKey TAsym_Native::Translate(TRSAPadding padding, THashAlgorithm hash) {
  TMSKey m;
  switch (padding) {
    case rpPKCS:
      m.fEncType = TRSAEncryptionType::sbePKCS;
      break;
    case rpOAEP:
      m.fEncType = TRSAEncryptionType::sbeOAEP;
      break;
    default:
      throw NativeSecurityError("unknown padding");
  }
  m.fHashFunction = TranslateHash(hash);
  return m;
}

void TAsym_Native::initRSADecrypt(TCertificateUsage, TRSAPadding padding, THashAlgorithm hash) {
  fPrivate = Translate(padding, hash);
}

void TAsym_Native::initRSAEncrypt(TCertificateUsage, TRSAPadding padding, THashAlgorithm hash) {
  setRSAEncryptMode(padding, hash);
}

void TAsym_Native::setRSAEncryptMode(TRSAPadding padding, THashAlgorithm hash) {
  fRemote = Translate(padding, hash);
}

TRsaPrivateKey TAsym_Native::ReadPrivateKey(ByteSpan bytes) {
  // DER starts with the SEQUENCE tag; PEM text never does.
  const TFileFormat format = !bytes.empty() && bytes[0] == 0x30 ? TFileFormat::DER : TFileFormat::PEM;
  const TRSAPrivateKey k = varo::ua::LoadPrivateKey(bytes, format);
  return TRsaPrivateKey::FromCrt(k.n, k.e, k.d, k.p, k.q, k.dp, k.dq, k.qinv);
}

void TAsym_Native::LoadPrivateKey(ByteSpan bytes, std::string_view) {
  TRsaPrivateKey key = ReadPrivateKey(bytes);
  if (fLocalCert && !SameKey(fLocalCert->key, key.PublicKey())) fLocalCert.reset();
  fLocalPrivateKey = std::move(key);
}

void TAsym_Native::LoadPublicCertificate(ByteSpan der, TCertificateUsage usage) {
  CheckUsage(usage);
  TX509Certificate cert;
  cert.Load(der);
  const TRSAPublicKey pub = cert.PublicKey();
  Certificate loaded{TRsaPublicKey(pub.n, pub.e), cert.ApplicationUri()};
  if (usage == cuUseRemoteKey) {
    fRemoteCert = std::move(loaded);
    return;
  }
  if (fLocalPrivateKey && !SameKey(loaded.key, fLocalPrivateKey->PublicKey())) {
    throw NativeSecurityError("the client certificate does not belong to the loaded private key");
  }
  fLocalCert = std::move(loaded);
}

size_t TAsym_Native::RSASize(TCertificateUsage usage) const {
  CheckUsage(usage);
  if (usage == cuUseRemoteKey) return fRemoteCert ? fRemoteCert->key.ByteLength() : 0;
  if (fLocalPrivateKey) return fLocalPrivateKey->ByteLength();
  return fLocalCert ? fLocalCert->key.ByteLength() : 0;
}

std::string TAsym_Native::getCertificateApplicationName(TCertificateUsage usage) const {
  CheckUsage(usage);
  const std::optional<Certificate>& c = usage == cuUseRemoteKey ? fRemoteCert : fLocalCert;
  return c ? c->uri : std::string();
}

const TRsaPublicKey& TAsym_Native::RemoteKey(const char* operation) const {
  if (!fRemoteCert) throw NativeSecurityError(std::string(operation) + ": no server certificate loaded");
  return fRemoteCert->key;
}

const TRsaPrivateKey& TAsym_Native::PrivateKey(const char* operation) const {
  if (!fLocalPrivateKey) throw NativeSecurityError(std::string(operation) + ": no private key loaded");
  return *fLocalPrivateKey;
}

// ---------------------------------------------------------------------------------------
// RSA

void TAsym_Native::Encrypt(const TMSKey& mode, ByteSpan plain, size_t offset, size_t end,
                           std::span<uint8_t> result, size_t p, size_t k) const {
  CheckSecurityRange(plain.size(), offset, end);
  const TRsaPublicKey& key = RemoteKey("encrypt error");
  // The block sizes must be the key's and the padding's, and the result must hold k bytes
  // per started plain block.
  if (k != key.ByteLength() || p == 0 || p > RSAPlainBlockSize(k, mode.fEncType, mode.fHashFunction) ||
      result.size() / k < RsaBlockCount(end - offset, p)) {
    throw NativeSecurityError("encrypt error");
  }
  for (size_t out = 0; offset < end; offset += std::min(p, end - offset), out += k) {
    const ByteSpan block = plain.subspan(offset, std::min(p, end - offset));
    const ByteArray c = mode.fEncType == TRSAEncryptionType::sbeOAEP
                            ? RSAEncryptOAEP(key, block, mode.fHashFunction)
                            : RSAEncryptPKCS(key, block);
    if (c.size() != k) throw NativeSecurityError("encrypt error");
    std::copy(c.begin(), c.end(), result.begin() + static_cast<std::ptrdiff_t>(out));
  }
}

void TAsym_Native::EncryptRsa(ByteSpan plain, size_t offset, size_t end, std::span<uint8_t> result, size_t p,
                              size_t k) {
  Encrypt(fRemote, plain, offset, end, result, p, k);
}

void TAsym_Native::EncryptRsaSecret(TRSAPadding padding, THashAlgorithm hash, ByteSpan plain, size_t offset,
                                    size_t end, std::span<uint8_t> result, size_t p, size_t k) {
  Encrypt(Translate(padding, hash), plain, offset, end, result, p, k);
}

size_t TAsym_Native::DecryptRsa(ByteSpan cipher, size_t offset, size_t end, std::span<uint8_t> result,
                                size_t p, size_t k) {
  CheckSecurityRange(cipher.size(), offset, end);
  const TRsaPrivateKey& key = PrivateKey("decrypt error");
  if (k != key.ByteLength() || (end - offset) % k != 0) throw NativeSecurityError("decrypt error");
  // The decrypted messages follow one another without gaps; each is at most p bytes.
  size_t pos = 0;
  for (; offset < end; offset += k) {
    const ByteSpan block = cipher.subspan(offset, k);
    const ByteArray m = fPrivate.fEncType == TRSAEncryptionType::sbeOAEP
                            ? RSADecryptOAEP(key, block, fPrivate.fHashFunction)
                            : RSADecryptPKCS(key, block);
    if (m.size() > p || m.size() > result.size() - pos) throw NativeSecurityError("decrypt error");
    std::copy(m.begin(), m.end(), result.begin() + static_cast<std::ptrdiff_t>(pos));
    pos += m.size();
  }
  return pos;
}

ByteArray TAsym_Native::Sign_Rsa(TRSAPadding padding, THashAlgorithm hash, ByteSpan data, size_t offset,
                                 size_t end) {
  CheckSecurityRange(data.size(), offset, end);
  return Sign(PrivateKey("sign error"), padding, hash, data.subspan(offset, end - offset));
}

ByteArray TAsym_Native::Sign_Rsa(TRSAPadding padding, THashAlgorithm hash, ByteSpan data, size_t offset,
                                 size_t end, ByteSpan key, std::string_view) {
  CheckSecurityRange(data.size(), offset, end);
  return Sign(ReadPrivateKey(key), padding, hash, data.subspan(offset, end - offset));
}

bool TAsym_Native::Verify_Rsa(TRSAPadding padding, THashAlgorithm hash, ByteSpan data, size_t offset,
                              size_t end, ByteSpan signature) {
  CheckSecurityRange(data.size(), offset, end);
  TranslateHash(hash);
  return VerifyRsaSignature(RemoteKey("verify error"), padding, hash, data.subspan(offset, end - offset),
                            signature);
}

// ---------------------------------------------------------------------------------------
// Provider and registration

TSecurityNative::TSecurityNative()
    : fasymImpl(std::make_unique<TAsym_Native>()), fsymImpl(std::make_unique<TSym_Native>()) {
  fasym = fasymImpl.get();
  fsym = fsymImpl.get();
}

TSecurityNative::~TSecurityNative() {
  fasym = nullptr;
  fsym = nullptr;
}

std::unique_ptr<uaMessageSecurityImpl> TSecurityNative::Create() const {
  return std::make_unique<TSecurityNative>();
}

void RegisterNativeSecurityLib() {
  if (SecurityLibClasses::IsRegistered(uaSNative)) return;
  SecurityLibClasses::Register(uaSNative, [] { return std::make_unique<TSecurityNative>(); });
}

}  // namespace varo::ua
