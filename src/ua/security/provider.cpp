// SPDX-License-Identifier: MPL-2.0
#include "ua/security/provider.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <istream>
#include <mutex>

#include "ua/security/psha.h"
#include "ua/security/security_error.h"

namespace varo::ua {

namespace {

// One of a side's derived keys against the length the policy gives it.
void CheckKeyLength(const ByteArray& key, size_t expected, std::string_view side, std::string_view what) {
  if (key.size() != expected) {
    throw EuaSecurityError(std::string(side) + " " + std::string(what) + " has " +
                           std::to_string(key.size()) + " bytes, " + std::to_string(expected) + " expected");
  }
}

void CheckDerivedKeys(const uaSecurityPolicyInfo& info, const uaDerivedKeys& keys, std::string_view side) {
  CheckKeyLength(keys.fSigningKey, info.fSigningKeyLength, side, "signing key");
  CheckKeyLength(keys.fEncryptingKey, info.fEncryptingKeyLength, side, "encrypting key");
  CheckKeyLength(keys.fInitVector, info.fInitVectorLength, side, "IV");
}

void CheckKeyBits(const uaSecurityPolicyInfo& info, size_t k, const char* which) {
  if (k == 0) throw EuaSecurityError(std::string("No ") + which + " key loaded");
  if (!info.AsymmetricKeySizeAllowed(8 * k)) {
    throw EuaSecurityError(std::string("The ") + which + " key has " + std::to_string(8 * k) +
                           " bits; security policy " + std::string(info.fName) + " allows " +
                           std::to_string(info.fMinAsymmetricKeyBits) + " to " +
                           std::to_string(info.fMaxAsymmetricKeyBits));
  }
}

size_t EncryptionBlockSize(size_t k, TRSAPadding padding, THashAlgorithm hash) {
  if (k == 0) throw EuaSecurityError("No RSA key loaded");
  const size_t p = RsaPlainBlockSize(k, padding, hash);
  if (p == 0) throw EuaSecurityError("The RSA padding has no encryption block for this key");
  return p;
}

}  // namespace

void CheckSecurityRange(size_t size, size_t offset, size_t end) {
  if (offset > end || end > size) {
    throw EuaSecurityError("Range " + std::to_string(offset) + ".." + std::to_string(end) + " outside " +
                           std::to_string(size) + " bytes");
  }
}

TRSAHashType ToRsaHashType(THashAlgorithm hash) {
  return hash == THashAlgorithm::SHA256 ? TRSAHashType::rsahfSHA256 : TRSAHashType::rsahfSHA1;
}

bool VerifyRsaSignature(const TRsaPublicKey& key, TRSAPadding padding, THashAlgorithm hash, ByteSpan data,
                        ByteSpan signature) {
  const TRSAHashType h = ToRsaHashType(hash);
  switch (padding) {
    case rpPKCS:
      return RSAVerifyPKCS1v15(key, data, signature, h);
    case rpPSS:
      return RSAVerifyPSS(key, RsaHash(h, data), signature, h, HashAlgorithmSize(hash));
    default:
      return false;
  }
}

bool VerifyMac(const THmac& keyed, ByteSpan data, size_t offset, size_t length, ByteSpan signature) {
  if (offset > data.size() || length > data.size() - offset) return false;
  THmac mac = keyed;
  mac.update(data.subspan(offset, length));
  return ConstantTimeEqual(mac.final(), signature);
}

// ---------------------------------------------------------------------------------------

uaMessageSecurityAsym& uaMessageSecurityImpl::asym() const {
  if (fasym == nullptr) throw EuaSecurityError("Security provider without asymmetric interface");
  return *fasym;
}

uaMessageSecuritySym& uaMessageSecurityImpl::sym() const {
  if (fsym == nullptr) throw EuaSecurityError("Security provider without symmetric interface");
  return *fsym;
}

ByteArray uaMessageSecurityImpl::LoadDERFromStream(std::istream& stream) {
  ByteArray out;
  std::array<char, 4096> buf;
  while (stream) {
    stream.read(buf.data(), buf.size());
    const auto got = static_cast<size_t>(stream.gcount());
    if (got > kMaxKeyFileSize - out.size()) throw EuaSecurityError("Key or certificate file too large");
    out.insert(out.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(got));
  }
  if (stream.bad()) throw EuaSecurityError("Key or certificate file could not be read");
  return out;
}

ByteArray uaMessageSecurityImpl::LoadDERFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw EuaSecurityError("Cannot open file " + path.string());
  return LoadDERFromStream(in);
}

void uaMessageSecurityImpl::LoadPrivateKey(const std::filesystem::path& path, std::string_view password) {
  const ByteArray bytes = LoadDERFile(path);
  LoadPrivateKey(ByteSpan(bytes), password);
}

void uaMessageSecurityImpl::LoadPrivateKey(std::istream& stream, std::string_view password) {
  const ByteArray bytes = LoadDERFromStream(stream);
  LoadPrivateKey(ByteSpan(bytes), password);
}

void uaMessageSecurityImpl::LoadPrivateKey(ByteSpan bytes, std::string_view password) {
  asym().LoadPrivateKey(bytes, password);
}

void uaMessageSecurityImpl::LoadPublicCertifitace(const std::filesystem::path& path,
                                                  TCertificateUsage usage) {
  const ByteArray bytes = LoadDERFile(path);
  LoadPublicCertifitace(ByteSpan(bytes), usage);
}

void uaMessageSecurityImpl::LoadPublicCertifitace(std::istream& stream, TCertificateUsage usage) {
  const ByteArray bytes = LoadDERFromStream(stream);
  LoadPublicCertifitace(ByteSpan(bytes), usage);
}

void uaMessageSecurityImpl::LoadPublicCertifitace(ByteSpan der, TCertificateUsage usage) {
  if (fuaChannel == nullptr) throw EuaSecurityError("Security provider is not installed in a channel");
  if (usage != cuUseRemoteKey && usage != cuUseLocalKey) throw EuaSecurityError("unknown Certificate");
  fuaChannel->SetCertificate(usage, ByteArray(der.begin(), der.end()));
  if (!der.empty()) asym().LoadPublicCertificate(der, usage);
}

uaAsymmetricSizes uaMessageSecurityImpl::AsymmetricSendSizes(TuaSecurePolicy policy) {
  const uaSecurityPolicyInfo& info = SecurityPolicyInfo(policy);
  if (!info.HasSecurity()) return {};
  asym().initRSAEncrypt(cuUseRemoteKey, info.fAsymmetricEncryptionPadding, info.fAsymmetricEncryptionHash);
  return AsymmetricSizes(info, cuUseRemoteKey, cuUseLocalKey);
}

uaAsymmetricSizes uaMessageSecurityImpl::AsymmetricReceiveSizes(TuaSecurePolicy policy) {
  const uaSecurityPolicyInfo& info = SecurityPolicyInfo(policy);
  if (!info.HasSecurity()) return {};
  asym().initRSADecrypt(cuUseLocalKey, info.fAsymmetricEncryptionPadding, info.fAsymmetricEncryptionHash);
  return AsymmetricSizes(info, cuUseLocalKey, cuUseRemoteKey);
}

uaAsymmetricSizes uaMessageSecurityImpl::AsymmetricSizes(const uaSecurityPolicyInfo& info,
                                                         TCertificateUsage encrypting,
                                                         TCertificateUsage signing) const {
  const auto name = [](TCertificateUsage usage) { return usage == cuUseRemoteKey ? "server" : "client"; };
  const uaMessageSecurityAsym& a = asym();
  uaAsymmetricSizes s;
  s.fKeySize = a.RSASize(encrypting);
  s.fSignatureSize = a.RSASize(signing);
  CheckKeyBits(info, s.fKeySize, name(encrypting));
  CheckKeyBits(info, s.fSignatureSize, name(signing));
  s.fPlainBlockSize =
      EncryptionBlockSize(s.fKeySize, info.fAsymmetricEncryptionPadding, info.fAsymmetricEncryptionHash);
  s.fExtraPaddingByte = RsaNeedsExtraPaddingByte(s.fKeySize);
  return s;
}

ByteArray uaMessageSecurityImpl::EncryptRsaBlocks(TRSAPadding padding, THashAlgorithm hash, ByteSpan data,
                                                  size_t offset, size_t end, bool fill) {
  CheckSecurityRange(data.size(), offset, end);
  uaMessageSecurityAsym& a = asym();
  const size_t k = a.RSASize(cuUseRemoteKey);
  const size_t p = EncryptionBlockSize(k, padding, hash);
  const size_t n = RsaBlockCount(end - offset, p);
  ByteArray result(k * n);
  if (fill) {
    ByteArray copy(p * n, 0);
    std::copy(data.begin() + static_cast<std::ptrdiff_t>(offset),
              data.begin() + static_cast<std::ptrdiff_t>(end), copy.begin());
    a.EncryptRsa(copy, 0, copy.size(), result, p, k);
  } else {
    a.EncryptRsa(data, offset, end, result, p, k);
  }
  return result;
}

ByteArray uaMessageSecurityImpl::DecryptRsaBlocks(TRSAPadding padding, THashAlgorithm hash, ByteSpan data,
                                                  size_t offset, size_t end) {
  CheckSecurityRange(data.size(), offset, end);
  uaMessageSecurityAsym& a = asym();
  const size_t k = a.RSASize(cuUseLocalKey);
  const size_t p = EncryptionBlockSize(k, padding, hash);
  const size_t len = end - offset;
  if (len % k != 0) {
    throw EuaSecurityError("Encrypted data of " + std::to_string(len) + " bytes is not a whole number of " +
                           std::to_string(k) + "-byte RSA blocks");
  }
  ByteArray result(p * (len / k));
  const size_t written = a.DecryptRsa(data, offset, end, result, p, k);
  if (written > result.size()) throw EuaSecurityError("decrypt error");
  result.resize(written);
  return result;
}

ByteArray uaMessageSecurityImpl::EncryptRsaPlainBlockSize(TRSAPadding padding, THashAlgorithm hash,
                                                          ByteSpan plain) {
  uaMessageSecurityAsym& a = asym();
  const size_t k = a.RSASize(cuUseRemoteKey);
  const size_t p = EncryptionBlockSize(k, padding, hash);
  const size_t n = RsaBlockCount(plain.size(), p);
  ByteArray copy(p * n, 0);
  std::copy(plain.begin(), plain.end(), copy.begin());
  ByteArray result(k * n);
  a.EncryptRsaSecret(padding, hash, copy, 0, copy.size(), result, p, k);
  return result;
}

ByteArray uaMessageSecurityImpl::Sign_Rsa(TRSAPadding padding, THashAlgorithm hash, ByteSpan data) {
  return asym().Sign_Rsa(padding, hash, data, 0, data.size());
}

ByteArray uaMessageSecurityImpl::Sign_Rsa(TRSAPadding padding, THashAlgorithm hash, ByteSpan data,
                                          ByteSpan key, std::string_view password) {
  return asym().Sign_Rsa(padding, hash, data, 0, data.size(), key, password);
}

bool uaMessageSecurityImpl::Verify_Rsa(TRSAPadding padding, THashAlgorithm hash, ByteSpan data,
                                       ByteSpan signature) {
  return asym().Verify_Rsa(padding, hash, data, 0, data.size(), signature);
}

void uaMessageSecurityImpl::ActivateKeys(TuaSecurePolicy policy, TuaSecureMode mode,
                                         const uaChannelKeys& keys) {
  const uaSecurityPolicyInfo& info = SecurityPolicyInfo(policy);
  if (!info.HasSecurity()) return;
  CheckDerivedKeys(info, keys.fClient, "Client");
  uaMessageSecuritySym& s = sym();
  s.InitSymmetricSign(info.fSymmetricSignatureHash, keys.fClient.fSigningKey);
  if (mode == uaSSign || mode == uaSSignAndEncrypt) {
    s.InitEncryptSymm(info.fSymmetricAlgorithm, keys.fClient.fEncryptingKey, keys.fClient.fInitVector);
  }
  SwitchReceiveKeys(policy, mode, keys.fServer);
}

void uaMessageSecurityImpl::SwitchReceiveKeys(TuaSecurePolicy policy, TuaSecureMode mode,
                                              const uaDerivedKeys& server) {
  const uaSecurityPolicyInfo& info = SecurityPolicyInfo(policy);
  if (!info.HasSecurity()) return;
  CheckDerivedKeys(info, server, "Server");
  uaMessageSecuritySym& s = sym();
  s.InitSymmetricVerify(info.fSymmetricSignatureHash, server.fSigningKey);
  if (mode == uaSSign || mode == uaSSignAndEncrypt) {
    s.InitDecryptSymm(info.fSymmetricAlgorithm, server.fEncryptingKey, server.fInitVector);
  }
}

ByteArray uaMessageSecurityImpl::PSHA_impl(const THMAC& hmac, std::string_view label, ByteSpan secret,
                                           ByteSpan seed, size_t offset, size_t length) {
  return varo::ua::PSHA_impl(ToHashAlg(hmac.fMode), label, secret, seed, offset, length);
}

// ---------------------------------------------------------------------------------------
// Registry

namespace {

struct Registry {
  std::mutex lock;
  std::array<uaSecurityFactory, 2> slots;
};

Registry& TheRegistry() {
  static Registry r;
  return r;
}

size_t Slot(TuaSecurityLib lib) {
  const auto i = static_cast<size_t>(lib);
  if (i >= 2) throw EuaSecurityError("Unknown security library " + std::to_string(i));
  return i;
}

}  // namespace

void SecurityLibClasses::Register(TuaSecurityLib lib, uaSecurityFactory factory) {
  const size_t i = Slot(lib);
  Registry& r = TheRegistry();
  std::lock_guard guard(r.lock);
  r.slots[i] = std::move(factory);
}

void SecurityLibClasses::Unregister(TuaSecurityLib lib) {
  Register(lib, nullptr);
}

bool SecurityLibClasses::IsRegistered(TuaSecurityLib lib) {
  const size_t i = Slot(lib);
  Registry& r = TheRegistry();
  std::lock_guard guard(r.lock);
  return static_cast<bool>(r.slots[i]);
}

uaSecurityFactory SecurityLibClasses::Factory(TuaSecurityLib lib) {
  const size_t i = Slot(lib);
  Registry& r = TheRegistry();
  std::lock_guard guard(r.lock);
  return r.slots[i];
}

std::unique_ptr<uaMessageSecurityImpl> SecurityLibClasses::Create(TuaSecurityLib lib) {
  // Called outside the lock, so that a factory may use the registry itself.
  const uaSecurityFactory factory = Factory(lib);
  if (!factory) throw EuaSecurityError(kSecurityNotSupported);
  std::unique_ptr<uaMessageSecurityImpl> p = factory();
  if (!p) throw EuaSecurityError(kSecurityNotSupported);
  return p;
}

std::unique_ptr<uaMessageSecurityImpl> SecurityLibClasses::Select(
    std::unique_ptr<uaMessageSecurityImpl> current, TuaSecurityLib lib) {
  if (current && current->SecurityLib() == lib) return current;
  return Create(lib);
}

std::string_view SecurityLibClasses::Name(TuaSecurityLib lib) {
  switch (lib) {
    case uaSOpenSSL:
      return "uaSOpenSSL";
    case uaSNative:
      return "uaSNative";
  }
  return {};
}

bool SecurityLibClasses::FromName(std::string_view name, TuaSecurityLib& lib) {
  for (TuaSecurityLib l : {uaSOpenSSL, uaSNative}) {
    if (Name(l) == name) {
      lib = l;
      return true;
    }
  }
  return false;
}

}  // namespace varo::ua
