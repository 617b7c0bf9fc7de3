// SPDX-License-Identifier: MPL-2.0
// OpenSSL 3 provider. The OpenSSL headers are included for the types and the prototypes
// only: every function is called through a pointer resolved with dlsym, so nothing here
// links against libcrypto.
#include "ua/security/openssl_provider.h"

#include <dlfcn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "ua/security/security_error.h"

namespace varo::ua {

namespace openssl_detail {

// Every libcrypto function the provider calls.
#define VARO_OPENSSL_FUNCTIONS(X)     \
  X(OpenSSL_version_num)              \
  X(OpenSSL_version)                  \
  X(OPENSSL_init_crypto)              \
  X(ERR_get_error)                    \
  X(ERR_error_string_n)               \
  X(ERR_clear_error)                  \
  X(CRYPTO_memcmp)                    \
  X(OPENSSL_cleanse)                  \
  X(BIO_new_mem_buf)                  \
  X(BIO_free)                         \
  X(PEM_read_bio_PrivateKey)          \
  X(d2i_AutoPrivateKey)               \
  X(EVP_PKEY_free)                    \
  X(EVP_PKEY_get_size)                \
  X(EVP_PKEY_get_base_id)             \
  X(EVP_PKEY_eq)                      \
  X(d2i_X509)                         \
  X(X509_free)                        \
  X(X509_get_pubkey)                  \
  X(X509_get_ext_d2i)                 \
  X(GENERAL_NAMES_free)               \
  X(OPENSSL_sk_num)                   \
  X(OPENSSL_sk_value)                 \
  X(ASN1_STRING_get0_data)            \
  X(ASN1_STRING_length)               \
  X(EVP_PKEY_CTX_new)                 \
  X(EVP_PKEY_CTX_free)                \
  X(EVP_PKEY_encrypt_init)            \
  X(EVP_PKEY_encrypt)                 \
  X(EVP_PKEY_decrypt_init)            \
  X(EVP_PKEY_decrypt)                 \
  X(EVP_PKEY_CTX_set_rsa_padding)     \
  X(EVP_PKEY_CTX_set_rsa_oaep_md)     \
  X(EVP_PKEY_CTX_set_rsa_mgf1_md)     \
  X(EVP_PKEY_CTX_set_rsa_pss_saltlen) \
  X(EVP_sha1)                         \
  X(EVP_sha256)                       \
  X(EVP_MD_CTX_new)                   \
  X(EVP_MD_CTX_free)                  \
  X(EVP_DigestSignInit)               \
  X(EVP_DigestSignUpdate)             \
  X(EVP_DigestSignFinal)              \
  X(EVP_DigestVerifyInit)             \
  X(EVP_DigestVerifyUpdate)           \
  X(EVP_DigestVerifyFinal)            \
  X(EVP_MAC_fetch)                    \
  X(EVP_MAC_free)                     \
  X(EVP_MAC_CTX_new)                  \
  X(EVP_MAC_CTX_free)                 \
  X(EVP_MAC_CTX_dup)                  \
  X(EVP_MAC_init)                     \
  X(EVP_MAC_update)                   \
  X(EVP_MAC_final)                    \
  X(OSSL_PARAM_construct_utf8_string) \
  X(OSSL_PARAM_construct_end)         \
  X(EVP_CIPHER_CTX_new)               \
  X(EVP_CIPHER_CTX_free)              \
  X(EVP_CIPHER_CTX_set_padding)       \
  X(EVP_aes_128_cbc)                  \
  X(EVP_aes_192_cbc)                  \
  X(EVP_aes_256_cbc)                  \
  X(EVP_EncryptInit_ex)               \
  X(EVP_EncryptUpdate)                \
  X(EVP_EncryptFinal_ex)              \
  X(EVP_DecryptInit_ex)               \
  X(EVP_DecryptUpdate)                \
  X(EVP_DecryptFinal_ex)

struct TOpenSSLApi {
#define VARO_OPENSSL_POINTER(name) decltype(&::name) name = nullptr;
  VARO_OPENSSL_FUNCTIONS(VARO_OPENSSL_POINTER)
#undef VARO_OPENSSL_POINTER
  void* handle = nullptr;
  EVP_MAC* hmac = nullptr;

  TOpenSSLApi() = default;
  TOpenSSLApi(const TOpenSSLApi&) = delete;
  TOpenSSLApi& operator=(const TOpenSSLApi&) = delete;
  ~TOpenSSLApi() {
    if (hmac != nullptr) EVP_MAC_free(hmac);
  }
};

namespace {

// ---- Ownership of OpenSSL objects ----

template <class T>
struct TFree {
  void (*free)(T*) = nullptr;
  void operator()(T* p) const {
    if (p != nullptr) free(p);
  }
};
template <class T>
using TOwned = std::unique_ptr<T, TFree<T>>;

template <class T>
TOwned<T> Own(T* p, void (*free)(T*)) {
  return TOwned<T>(p, TFree<T>{free});
}

using PkeyPtr = TOwned<EVP_PKEY>;
using PkeyCtxPtr = TOwned<EVP_PKEY_CTX>;
using X509Ptr = TOwned<X509>;

// ---- Errors ----

// The texts of OpenSSL's error queue of this thread, oldest first, "; "-separated; the
// queue is empty afterwards.
std::string TakeErrors(const TOpenSSLApi& a) {
  std::string out;
  for (unsigned long e = a.ERR_get_error(); e != 0; e = a.ERR_get_error()) {
    char buf[256] = {};
    a.ERR_error_string_n(e, buf, sizeof buf);
    if (!out.empty()) out += "; ";
    out.append(buf, strnlen(buf, sizeof buf));
  }
  return out;
}

// Raises `what`, followed by OpenSSL's reasons in brackets when it gave any.
[[noreturn]] void Fail(const TOpenSSLApi& a, const std::string& what) {
  const std::string reasons = TakeErrors(a);
  throw EuaSecurityError(reasons.empty() ? what : what + " (" + reasons + ")");
}

// Raises `what` alone; OpenSSL's reasons are dropped. For decryption, where the reason
// would tell which part of the padding was wrong.
[[noreturn]] void FailQuietly(const TOpenSSLApi& a, const std::string& what) {
  a.ERR_clear_error();
  throw EuaSecurityError(what);
}

std::string VersionText(const TOpenSSLApi& a) {
  char num[16];
  std::snprintf(num, sizeof num, "%09lX", a.OpenSSL_version_num());
  const char* text = a.OpenSSL_version(OPENSSL_VERSION);
  return std::string(text != nullptr ? text : "OpenSSL") + " (" + num + ")";
}

void Wipe(const TOpenSSLApi& a, ByteArray& b) {
  if (!b.empty()) a.OPENSSL_cleanse(b.data(), b.size());
  b.clear();
}

// ---- Algorithms ----

const EVP_MD* Digest(const TOpenSSLApi& a, THashAlgorithm hash) {
  switch (hash) {
    case THashAlgorithm::SHA1:
      return a.EVP_sha1();
    case THashAlgorithm::SHA256:
      return a.EVP_sha256();
  }
  throw EuaSecurityError("unknown HashFunction");
}

const char* DigestName(THashAlgorithm hash) {
  switch (hash) {
    case THashAlgorithm::SHA1:
      return "SHA1";
    case THashAlgorithm::SHA256:
      return "SHA256";
  }
  throw EuaSecurityError("unknown HashFunction");
}

struct TCipherChoice {
  const EVP_CIPHER* cipher;
  size_t keySize;
};

TCipherChoice Cipher(const TOpenSSLApi& a, TSymmAlgorithm algorithm) {
  switch (algorithm) {
    case saAES128:
      return {a.EVP_aes_128_cbc(), 16};
    case saAES192:
      return {a.EVP_aes_192_cbc(), 24};
    case saAES256:
      return {a.EVP_aes_256_cbc(), 32};
  }
  throw EuaSecurityError("unknown AES function");
}

int CheckedInt(size_t n, const char* what) {
  if (n > static_cast<size_t>(INT_MAX)) throw EuaSecurityError(std::string(what) + ": data too large");
  return static_cast<int>(n);
}

// Encryption padding and, for OAEP, the OAEP and MGF1 digests, both set explicitly.
void SetRsaPadding(const TOpenSSLApi& a, EVP_PKEY_CTX* ctx, TRSAPadding padding, THashAlgorithm hash) {
  int pad = 0;
  switch (padding) {
    case rpPKCS:
      pad = RSA_PKCS1_PADDING;
      break;
    case rpOAEP:
      pad = RSA_PKCS1_OAEP_PADDING;
      break;
    default:
      throw EuaSecurityError("cannot set padding");
  }
  if (a.EVP_PKEY_CTX_set_rsa_padding(ctx, pad) <= 0) Fail(a, "cannot set padding");
  if (padding != rpOAEP) return;
  const EVP_MD* md = Digest(a, hash);
  if (a.EVP_PKEY_CTX_set_rsa_oaep_md(ctx, md) <= 0 || a.EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, md) <= 0) {
    Fail(a, "cannot set Hash: found " + VersionText(a) +
                " Aes256_Sha256_RsaPss requires OpenSSL 1.0.2 or newer");
  }
}

// Signature padding: PKCS#1 v1.5, or PSS with MGF1 of the same digest and a salt as long
// as the digest.
void SetSignaturePadding(const TOpenSSLApi& a, EVP_PKEY_CTX* ctx, TRSAPadding padding, const EVP_MD* md) {
  const int pad = padding == rpPSS ? RSA_PKCS1_PSS_PADDING : RSA_PKCS1_PADDING;
  if (a.EVP_PKEY_CTX_set_rsa_padding(ctx, pad) <= 0) Fail(a, "cannot set padding");
  if (padding != rpPSS) return;
  if (a.EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx, RSA_PSS_SALTLEN_DIGEST) <= 0) Fail(a, "cannot set saltlen");
  if (a.EVP_PKEY_CTX_set_rsa_mgf1_md(ctx, md) <= 0) Fail(a, "cannot set Hash");
}

bool IsRsaKey(const TOpenSSLApi& a, EVP_PKEY* key) {
  return a.EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA;
}

// ---- Keys and certificates ----

struct TPassword {
  std::string_view text;
};

// Hands the password to OpenSSL's PEM reader; never prompts. A password that does not fit
// the buffer fails the load instead of being cut short.
int PasswordCallback(char* buf, int size, int /*rwflag*/, void* u) {
  const auto* pw = static_cast<const TPassword*>(u);
  if (pw == nullptr || size < 0 || pw->text.size() > static_cast<size_t>(size)) return -1;
  std::memcpy(buf, pw->text.data(), pw->text.size());
  return static_cast<int>(pw->text.size());
}

bool LooksLikePem(ByteSpan bytes) {
  static constexpr std::string_view kBegin = "-----BEGIN";
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return text.find(kBegin) != std::string_view::npos;
}

// A private RSA key from PEM text (PKCS#1, PKCS#8, encrypted with the password) or DER
// (PKCS#1 or PKCS#8).
PkeyPtr LoadPrivateRsaKey(const TOpenSSLApi& a, ByteSpan bytes, std::string_view password) {
  if (bytes.empty()) throw EuaSecurityError("Can not load the buffer");
  const int len = CheckedInt(bytes.size(), "Can not load the buffer");
  a.ERR_clear_error();
  EVP_PKEY* raw = nullptr;
  if (bytes[0] != 0x30 && LooksLikePem(bytes)) {
    BIO* bio = a.BIO_new_mem_buf(bytes.data(), len);
    if (bio == nullptr) Fail(a, "Can not load the buffer");
    TPassword pw{password};
    raw = a.PEM_read_bio_PrivateKey(bio, nullptr, PasswordCallback, &pw);
    a.BIO_free(bio);
  } else {
    const unsigned char* p = bytes.data();
    raw = a.d2i_AutoPrivateKey(nullptr, &p, len);
  }
  PkeyPtr key = Own(raw, a.EVP_PKEY_free);
  if (!key) Fail(a, "Could not load RSA private key");
  if (!IsRsaKey(a, key.get())) throw EuaSecurityError("Could not load RSA private key: not an RSA key");
  return key;
}

// The first URI of the subject alternative names, or "".
std::string ApplicationUri(const TOpenSSLApi& a, X509* cert) {
  auto* names = static_cast<GENERAL_NAMES*>(a.X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
  a.ERR_clear_error();
  if (names == nullptr) return {};
  std::string uri;
  const auto* stack = reinterpret_cast<const OPENSSL_STACK*>(names);
  const int n = a.OPENSSL_sk_num(stack);
  for (int i = 0; i < n; ++i) {
    const auto* gn = static_cast<const GENERAL_NAME*>(a.OPENSSL_sk_value(stack, i));
    if (gn == nullptr || gn->type != GEN_URI || gn->d.uniformResourceIdentifier == nullptr) continue;
    const ASN1_STRING* s = gn->d.uniformResourceIdentifier;
    const int len = a.ASN1_STRING_length(s);
    const unsigned char* data = a.ASN1_STRING_get0_data(s);
    if (data != nullptr && len > 0) uri.assign(reinterpret_cast<const char*>(data), static_cast<size_t>(len));
    break;
  }
  a.GENERAL_NAMES_free(names);
  return uri;
}

struct TCertificate {
  X509Ptr x509;
  PkeyPtr key;
  std::string applicationUri;
};

TCertificate LoadCertificate(const TOpenSSLApi& a, ByteSpan der) {
  if (der.empty()) throw EuaSecurityError("Could not load X509 buffer");
  a.ERR_clear_error();
  const unsigned char* p = der.data();
  TCertificate c{
      Own(a.d2i_X509(nullptr, &p, CheckedInt(der.size(), "Could not load X509 buffer")), a.X509_free),
      Own<EVP_PKEY>(nullptr, a.EVP_PKEY_free),
      {}};
  if (!c.x509) Fail(a, "Could not load X509 certificate");
  c.key = Own(a.X509_get_pubkey(c.x509.get()), a.EVP_PKEY_free);
  if (!c.key) Fail(a, "Could not load public key X509");
  if (!IsRsaKey(a, c.key.get())) throw EuaSecurityError("Could not load RSA public key");
  c.applicationUri = ApplicationUri(a, c.x509.get());
  return c;
}

size_t KeySize(const TOpenSSLApi& a, const EVP_PKEY* key) {
  if (key == nullptr) return 0;
  const int s = a.EVP_PKEY_get_size(key);
  return s > 0 ? static_cast<size_t>(s) : 0;
}

// ---- RSA operations ----

PkeyCtxPtr NewEncryptContext(const TOpenSSLApi& a, EVP_PKEY* key) {
  if (key == nullptr) throw EuaSecurityError("init encrypt: no public key loaded");
  PkeyCtxPtr ctx = Own(a.EVP_PKEY_CTX_new(key, nullptr), a.EVP_PKEY_CTX_free);
  if (!ctx || a.EVP_PKEY_encrypt_init(ctx.get()) != 1) Fail(a, "init encrypt");
  return ctx;
}

void EncryptBlocks(const TOpenSSLApi& a, EVP_PKEY_CTX* ctx, ByteSpan plain, size_t offset, size_t end,
                   std::span<uint8_t> result, size_t p, size_t k) {
  if (ctx == nullptr) throw EuaSecurityError("encrypt error: encryption is not initialised");
  CheckSecurityRange(plain.size(), offset, end);
  if (p == 0 || k == 0) throw EuaSecurityError("encrypt error: block size 0");
  size_t pos = 0;
  while (offset < end) {
    // The last block may be shorter than p; only its own bytes are read.
    const size_t n = std::min(p, end - offset);
    if (k > result.size() - pos) throw EuaSecurityError("encrypt error: result buffer too small");
    size_t outLength = k;
    if (a.EVP_PKEY_encrypt(ctx, result.data() + pos, &outLength, plain.data() + offset, n) <= 0) {
      Fail(a, "encrypt error");
    }
    if (outLength != k) throw EuaSecurityError("encrypt error: key size does not match the block size");
    offset += n;
    pos += outLength;
  }
}

ByteArray DigestSign(const TOpenSSLApi& a, EVP_PKEY* key, TRSAPadding padding, THashAlgorithm hash,
                     ByteSpan data) {
  if (key == nullptr) throw EuaSecurityError("signing failed: no private key loaded");
  if (padding != rpPKCS && padding != rpPSS) throw EuaSecurityError("cannot set padding");
  const EVP_MD* md = Digest(a, hash);
  const size_t s = KeySize(a, key);
  if (s == 0) throw EuaSecurityError("signing failed: key without size");
  a.ERR_clear_error();
  TOwned<EVP_MD_CTX> ctx = Own(a.EVP_MD_CTX_new(), a.EVP_MD_CTX_free);
  EVP_PKEY_CTX* pctx = nullptr;  // belongs to ctx
  if (!ctx || a.EVP_DigestSignInit(ctx.get(), &pctx, md, nullptr, key) != 1 || pctx == nullptr) {
    Fail(a, "cannot initialize signing context");
  }
  SetSignaturePadding(a, pctx, padding, md);
  if (a.EVP_DigestSignUpdate(ctx.get(), data.data(), data.size()) != 1) Fail(a, "signing failed");
  ByteArray sig(s);
  size_t sigLength = sig.size();
  if (a.EVP_DigestSignFinal(ctx.get(), sig.data(), &sigLength) != 1) Fail(a, "signing failed");
  if (sigLength != s)
    throw EuaSecurityError("signing failed: signature of " + std::to_string(sigLength) + " bytes");
  return sig;
}

bool DigestVerify(const TOpenSSLApi& a, EVP_PKEY* key, TRSAPadding padding, THashAlgorithm hash,
                  ByteSpan data, ByteSpan signature) {
  if (key == nullptr) throw EuaSecurityError("Signature check without a server key");
  if (padding != rpPKCS && padding != rpPSS) return false;
  if (signature.size() != KeySize(a, key)) return false;
  const EVP_MD* md = Digest(a, hash);
  a.ERR_clear_error();
  TOwned<EVP_MD_CTX> ctx = Own(a.EVP_MD_CTX_new(), a.EVP_MD_CTX_free);
  EVP_PKEY_CTX* pctx = nullptr;
  if (!ctx || a.EVP_DigestVerifyInit(ctx.get(), &pctx, md, nullptr, key) != 1 || pctx == nullptr) {
    Fail(a, "cannot initialize verification context");
  }
  SetSignaturePadding(a, pctx, padding, md);
  if (a.EVP_DigestVerifyUpdate(ctx.get(), data.data(), data.size()) != 1) Fail(a, "verification failed");
  const int r = a.EVP_DigestVerifyFinal(ctx.get(), signature.data(), signature.size());
  a.ERR_clear_error();
  return r == 1;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Asymmetric part

class TOpenSSLAsym : public uaMessageSecurityAsym {
 public:
  explicit TOpenSSLAsym(const TOpenSSLApi& api) : a(api) {}

  void initRSADecrypt(TCertificateUsage /*usage*/, TRSAPadding padding, THashAlgorithm hash) override {
    // Decryption always uses the client's private key.
    fAsymDeCtx.reset();
    if (!fPrivateKey) throw EuaSecurityError("init decrypt: no private key loaded");
    PkeyCtxPtr ctx = Own(a.EVP_PKEY_CTX_new(fPrivateKey.get(), nullptr), a.EVP_PKEY_CTX_free);
    if (!ctx || a.EVP_PKEY_decrypt_init(ctx.get()) != 1) Fail(a, "init decrypt");
    SetRsaPadding(a, ctx.get(), padding, hash);
    fAsymDeCtx = std::move(ctx);
  }

  void initRSAEncrypt(TCertificateUsage usage, TRSAPadding padding, THashAlgorithm hash) override {
    fAsymEnCtx.reset();
    fEncryptMode.reset();
    fEncryptUsage = usage;
    PkeyCtxPtr ctx = NewEncryptContext(a, Cert(usage).key.get());
    SetRsaPadding(a, ctx.get(), padding, hash);
    fAsymEnCtx = std::move(ctx);
    fEncryptMode = TMode{padding, hash};
  }

  void setRSAEncryptMode(TRSAPadding padding, THashAlgorithm hash) override {
    if (!fAsymEnCtx) {
      initRSAEncrypt(cuUseRemoteKey, padding, hash);
      return;
    }
    fEncryptMode.reset();
    SetRsaPadding(a, fAsymEnCtx.get(), padding, hash);
    fEncryptMode = TMode{padding, hash};
  }

  void LoadPublicCertificate(ByteSpan der, TCertificateUsage usage) override {
    TCertificate& slot = Cert(usage);
    TCertificate loaded = LoadCertificate(a, der);
    if (usage == cuUseLocalKey && fPrivateKey && a.EVP_PKEY_eq(fPrivateKey.get(), loaded.key.get()) != 1) {
      a.ERR_clear_error();
      throw EuaSecurityError("the client certificate does not belong to the loaded private key");
    }
    slot = std::move(loaded);
    if (usage == cuUseRemoteKey && fEncryptUsage == cuUseRemoteKey) {
      // The encryption context follows the new key, with the padding selected before.
      fAsymEnCtx.reset();
      fAsymEnCtx = NewEncryptContext(a, slot.key.get());
      if (fEncryptMode) SetRsaPadding(a, fAsymEnCtx.get(), fEncryptMode->padding, fEncryptMode->hash);
    }
  }

  void LoadPrivateKey(ByteSpan bytes, std::string_view password) override {
    fAsymDeCtx.reset();
    fPrivateKey.reset();
    fPrivateKey = LoadPrivateRsaKey(a, bytes, password);
    // A local certificate of another key no longer describes the client.
    if (fLocalCert.key && a.EVP_PKEY_eq(fPrivateKey.get(), fLocalCert.key.get()) != 1) {
      a.ERR_clear_error();
      fLocalCert.x509.reset();
      fLocalCert.key.reset();
      fLocalCert.applicationUri.clear();
    }
  }

  size_t RSASize(TCertificateUsage usage) const override {
    switch (usage) {
      case cuUseRemoteKey:
        return KeySize(a, fRemoteCert.key.get());
      case cuUseLocalKey:
        return KeySize(a, fPrivateKey.get());
    }
    return 0;
  }

  std::string getCertificateApplicationName(TCertificateUsage usage) const override {
    switch (usage) {
      case cuUseRemoteKey:
        return fRemoteCert.applicationUri;
      case cuUseLocalKey:
        return fLocalCert.applicationUri;
    }
    throw EuaSecurityError("unknown Certificate");
  }

  void EncryptRsa(ByteSpan plain, size_t offset, size_t end, std::span<uint8_t> result, size_t p,
                  size_t k) override {
    EncryptBlocks(a, fAsymEnCtx.get(), plain, offset, end, result, p, k);
  }

  size_t DecryptRsa(ByteSpan cipher, size_t offset, size_t end, std::span<uint8_t> result, size_t /*p*/,
                    size_t k) override {
    if (!fAsymDeCtx) throw EuaSecurityError("decrypt error: decryption is not initialised");
    CheckSecurityRange(cipher.size(), offset, end);
    if (k == 0) throw EuaSecurityError("decrypt error: key size 0");
    ByteArray block(k);
    size_t pos = 0;
    try {
      while (offset < end) {
        if (end - offset < k) throw EuaSecurityError("decrypt error: incomplete RSA block");
        size_t outLength = block.size();
        if (a.EVP_PKEY_decrypt(fAsymDeCtx.get(), block.data(), &outLength, cipher.data() + offset, k) <= 0) {
          FailQuietly(a, "decrypt error pos " + std::to_string(pos) + " keySize: " + std::to_string(k) +
                             " text length: " + std::to_string(TextLength(cipher, offset, end)));
        }
        if (outLength > result.size() - pos) throw EuaSecurityError("decrypt error: result buffer too small");
        std::copy_n(block.begin(), outLength, result.begin() + static_cast<std::ptrdiff_t>(pos));
        pos += outLength;
        offset += k;
      }
    } catch (...) {
      Wipe(a, block);
      throw;
    }
    Wipe(a, block);
    return pos;
  }

  ByteArray Sign_Rsa(TRSAPadding padding, THashAlgorithm hash, ByteSpan data, size_t offset,
                     size_t end) override {
    CheckSecurityRange(data.size(), offset, end);
    return DigestSign(a, fPrivateKey.get(), padding, hash, data.subspan(offset, end - offset));
  }

  ByteArray Sign_Rsa(TRSAPadding padding, THashAlgorithm hash, ByteSpan data, size_t offset, size_t end,
                     ByteSpan key, std::string_view password) override {
    CheckSecurityRange(data.size(), offset, end);
    PkeyPtr k = LoadPrivateRsaKey(a, key, password);
    return DigestSign(a, k.get(), padding, hash, data.subspan(offset, end - offset));
  }

  bool Verify_Rsa(TRSAPadding padding, THashAlgorithm hash, ByteSpan data, size_t offset, size_t end,
                  ByteSpan signature) override {
    CheckSecurityRange(data.size(), offset, end);
    return DigestVerify(a, fRemoteCert.key.get(), padding, hash, data.subspan(offset, end - offset),
                        signature);
  }

  void EncryptRsaSecret(TRSAPadding padding, THashAlgorithm hash, ByteSpan plain, size_t offset, size_t end,
                        std::span<uint8_t> result, size_t p, size_t k) override {
    // A context of its own, so that the channel's encryption settings stay as they are.
    PkeyCtxPtr ctx = NewEncryptContext(a, fRemoteCert.key.get());
    SetRsaPadding(a, ctx.get(), padding, hash);
    EncryptBlocks(a, ctx.get(), plain, offset, end, result, p, k);
  }

 private:
  struct TMode {
    TRSAPadding padding;
    THashAlgorithm hash;
  };

  TCertificate& Cert(TCertificateUsage usage) {
    switch (usage) {
      case cuUseRemoteKey:
        return fRemoteCert;
      case cuUseLocalKey:
        return fLocalCert;
    }
    throw EuaSecurityError("unknown Certificate");
  }

  // Bytes from `offset` up to the next zero byte, within the data.
  static size_t TextLength(ByteSpan data, size_t offset, size_t end) {
    size_t n = 0;
    while (offset + n < end && data[offset + n] != 0) ++n;
    return n;
  }

  const TOpenSSLApi& a;
  PkeyPtr fPrivateKey = Own<EVP_PKEY>(nullptr, a.EVP_PKEY_free);
  TCertificate fLocalCert{Own<X509>(nullptr, a.X509_free), Own<EVP_PKEY>(nullptr, a.EVP_PKEY_free), {}};
  TCertificate fRemoteCert{Own<X509>(nullptr, a.X509_free), Own<EVP_PKEY>(nullptr, a.EVP_PKEY_free), {}};
  PkeyCtxPtr fAsymEnCtx = Own<EVP_PKEY_CTX>(nullptr, a.EVP_PKEY_CTX_free);
  PkeyCtxPtr fAsymDeCtx = Own<EVP_PKEY_CTX>(nullptr, a.EVP_PKEY_CTX_free);
  TCertificateUsage fEncryptUsage = cuUseRemoteKey;
  std::optional<TMode> fEncryptMode;
};

// ---------------------------------------------------------------------------------------
// Symmetric part

class TOpenSSLSym : public uaMessageSecuritySym {
 public:
  explicit TOpenSSLSym(const TOpenSSLApi& api) : a(api) {}
  ~TOpenSSLSym() override {
    Clear(fEncrypt);
    Clear(fDecrypt);
  }

  void InitSymmetricSign(THashAlgorithm hash, ByteSpan key) override { fSign = NewMac(hash, key); }

  ByteArray SymmetricSign(ByteSpan data, size_t offset, size_t length) override {
    if (!fSign) throw EuaSecurityError("Symmetric signing key not set");
    if (offset > data.size() || length > data.size() - offset) {
      throw EuaSecurityError("Symmetric data range outside the buffer");
    }
    return Mac(*fSign, data.subspan(offset, length));
  }

  void InitSymmetricVerify(THashAlgorithm hash, ByteSpan key) override { fVerify = NewMac(hash, key); }

  bool SymmetricVerify(ByteSpan data, size_t offset, size_t length, ByteSpan signature) override {
    if (!fVerify) return false;
    if (offset > data.size() || length > data.size() - offset) return false;
    const ByteArray expected = Mac(*fVerify, data.subspan(offset, length));
    // The lengths are public; the bytes are compared in constant time.
    return signature.size() == expected.size() &&
           a.CRYPTO_memcmp(expected.data(), signature.data(), expected.size()) == 0;
  }

  void InitEncryptSymm(TSymmAlgorithm algorithm, ByteSpan key, ByteSpan iv) override {
    Init(fEncrypt, algorithm, key, iv);
  }
  void encryptSymm(ByteSpan input, size_t offset, std::span<uint8_t> output, size_t length) override {
    Crypt(fEncrypt, true, input, offset, output, length);
  }
  void InitDecryptSymm(TSymmAlgorithm algorithm, ByteSpan key, ByteSpan iv) override {
    Init(fDecrypt, algorithm, key, iv);
  }
  void DecryptSymm(ByteSpan input, size_t offset, std::span<uint8_t> output, size_t length) override {
    Crypt(fDecrypt, false, input, offset, output, length);
  }

 private:
  struct TMac {
    TOwned<EVP_MAC_CTX> ctx;
    size_t size;
  };
  // The key and IV are kept and handed to OpenSSL for every call, so that every call
  // starts from the IV of the last initialisation.
  struct TCipher {
    const EVP_CIPHER* cipher = nullptr;
    ByteArray key;
    ByteArray iv;
    TOwned<EVP_CIPHER_CTX> ctx;
  };

  TMac NewMac(THashAlgorithm hash, ByteSpan key) {
    const size_t size = HashAlgorithmSize(hash);
    char digest[16];
    std::snprintf(digest, sizeof digest, "%s", DigestName(hash));
    a.ERR_clear_error();
    TMac m{Own(a.EVP_MAC_CTX_new(a.hmac), a.EVP_MAC_CTX_free), size};
    if (!m.ctx) Fail(a, "cannot create HMAC");
    const OSSL_PARAM params[] = {a.OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                 a.OSSL_PARAM_construct_end()};
    static const unsigned char kNoKey = 0;  // OpenSSL wants a pointer even for an empty key
    if (a.EVP_MAC_init(m.ctx.get(), key.empty() ? &kNoKey : key.data(), key.size(), params) != 1) {
      Fail(a, "cannot initialize HMAC");
    }
    return m;
  }

  ByteArray Mac(const TMac& keyed, ByteSpan data) {
    TOwned<EVP_MAC_CTX> ctx = Own(a.EVP_MAC_CTX_dup(keyed.ctx.get()), a.EVP_MAC_CTX_free);
    if (!ctx) Fail(a, "HMAC failed");
    if (a.EVP_MAC_update(ctx.get(), data.data(), data.size()) != 1) Fail(a, "HMAC failed");
    ByteArray out(keyed.size);
    size_t outLength = 0;
    if (a.EVP_MAC_final(ctx.get(), out.data(), &outLength, out.size()) != 1) Fail(a, "HMAC failed");
    if (outLength != keyed.size) throw EuaSecurityError("HMAC failed: wrong length");
    return out;
  }

  void Clear(std::optional<TCipher>& c) {
    if (!c) return;
    Wipe(a, c->key);
    Wipe(a, c->iv);
    c.reset();
  }

  void Init(std::optional<TCipher>& slot, TSymmAlgorithm algorithm, ByteSpan key, ByteSpan iv) {
    const TCipherChoice choice = Cipher(a, algorithm);
    Clear(slot);
    if (key.size() != choice.keySize) throw EuaSecurityError("Symmetric key does not fit the algorithm");
    if (iv.size() != 16) throw EuaSecurityError("Symmetric IV must be 16 bytes");
    TCipher c{choice.cipher, ByteArray(key.begin(), key.end()), ByteArray(iv.begin(), iv.end()),
              Own(a.EVP_CIPHER_CTX_new(), a.EVP_CIPHER_CTX_free)};
    if (!c.ctx) Fail(a, "cannot create cipher context");
    slot = std::move(c);
  }

  void Crypt(std::optional<TCipher>& c, bool encrypt, ByteSpan input, size_t offset,
             std::span<uint8_t> output, size_t length) {
    if (!c) throw EuaSecurityError("Symmetric key not set");
    if (offset > input.size() || length > input.size() - offset || length > output.size()) {
      throw EuaSecurityError("Symmetric data range outside the buffers");
    }
    if (length % 16 != 0) throw EuaSecurityError("Symmetric data is not a whole number of blocks");
    const int n = CheckedInt(length, "Symmetric data");
    EVP_CIPHER_CTX* ctx = c->ctx.get();
    const uint8_t* in = input.data() + offset;
    int outLength = 0, finalLength = 0;
    if (encrypt) {
      if (a.EVP_EncryptInit_ex(ctx, c->cipher, nullptr, c->key.data(), c->iv.data()) != 1)
        Fail(a, "EncryptInit");
      a.EVP_CIPHER_CTX_set_padding(ctx, 0);
      if (a.EVP_EncryptUpdate(ctx, output.data(), &outLength, in, n) != 1) Fail(a, "EncryptUpdate");
      if (a.EVP_EncryptFinal_ex(ctx, output.data() + outLength, &finalLength) != 1) Fail(a, "EncryptFinal");
    } else {
      if (a.EVP_DecryptInit_ex(ctx, c->cipher, nullptr, c->key.data(), c->iv.data()) != 1) {
        Fail(a, "EVP_DecryptInit");
      }
      a.EVP_CIPHER_CTX_set_padding(ctx, 0);
      if (a.EVP_DecryptUpdate(ctx, output.data(), &outLength, in, n) != 1) Fail(a, "EVP_DecryptUpdate");
      if (a.EVP_DecryptFinal_ex(ctx, output.data() + outLength, &finalLength) != 1)
        Fail(a, "EVP_DecryptFinal");
    }
    if (outLength + finalLength != n) throw EuaSecurityError("Symmetric cipher returned a wrong length");
  }

  const TOpenSSLApi& a;
  std::optional<TMac> fSign, fVerify;
  std::optional<TCipher> fEncrypt, fDecrypt;
};

// ---------------------------------------------------------------------------------------
// Loading the library

namespace {
std::shared_ptr<TOpenSSLApi> Load(std::span<const char* const> names, std::string& why);
}  // namespace

std::shared_ptr<const TOpenSSLApi> LoadCryptoLibrary(std::span<const char* const> names, std::string& why) {
  return Load(names, why);
}

namespace {

std::shared_ptr<TOpenSSLApi> Load(std::span<const char* const> names, std::string& why) {
  const std::string kPrefix = "Could not load OpenSSL : ";
  why.clear();
  void* handle = nullptr;
  std::string tried;
  for (const char* name : names) {
    handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (handle != nullptr) break;
    const char* err = dlerror();
    if (!tried.empty()) tried += ", ";
    tried += err != nullptr ? std::string(err) : std::string(name);
  }
  if (handle == nullptr) {
    why = kPrefix + (tried.empty() ? std::string("no library name given") : tried);
    return nullptr;
  }

  auto api = std::make_shared<TOpenSSLApi>();
  std::string missing;
#define VARO_OPENSSL_RESOLVE(name)                                         \
  api->name = reinterpret_cast<decltype(api->name)>(dlsym(handle, #name)); \
  if (api->name == nullptr) missing += (missing.empty() ? "" : ", ") + std::string(#name);
  VARO_OPENSSL_FUNCTIONS(VARO_OPENSSL_RESOLVE)
#undef VARO_OPENSSL_RESOLVE
  if (!missing.empty()) {
    dlclose(handle);
    why = kPrefix + missing;
    return nullptr;
  }
  if (api->OpenSSL_version_num() < 0x30000000UL) {
    why = kPrefix + VersionText(*api) + " found, OpenSSL 3.0 or newer is needed";
    dlclose(handle);
    return nullptr;
  }
  api->handle = handle;
  api->OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  api->hmac = api->EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  if (api->hmac == nullptr) {
    why = kPrefix + "HMAC is not available (" + TakeErrors(*api) + ")";
    return nullptr;  // the library stays loaded: OpenSSL may have registered exit handlers
  }
  return api;
}

struct TProcessLibrary {
  std::shared_ptr<const TOpenSSLApi> api;
  std::string why;
};

TProcessLibrary LoadProcessLibrary() {
  static constexpr const char* kNames[] = {"libcrypto.so.3", "libcrypto.so"};
  TProcessLibrary lib;
  lib.api = Load(kNames, lib.why);
  return lib;
}

// Made on first use. Its construction ends after OpenSSL's initialisation registered its
// exit handler, so the table is destroyed before OpenSSL cleans up.
const TProcessLibrary& ProcessLibrary() {
  static const TProcessLibrary lib = LoadProcessLibrary();
  return lib;
}

}  // namespace
}  // namespace openssl_detail

// ---------------------------------------------------------------------------------------

bool OpenSSLSecurityAvailable(std::string* why) {
  const openssl_detail::TProcessLibrary& lib = openssl_detail::ProcessLibrary();
  if (why != nullptr) *why = lib.why;
  return lib.api != nullptr;
}

void RegisterOpenSSLSecurityLib() {
  SecurityLibClasses::Register(uaSOpenSSL, [] { return std::make_unique<TIndy_OpenSSL>(); });
}

TIndy_OpenSSL::TIndy_OpenSSL() {
  const openssl_detail::TProcessLibrary& lib = openssl_detail::ProcessLibrary();
  if (!lib.api) throw EuaSecurityError(lib.why);
  fApi = lib.api;
  fAsymImpl = std::make_unique<openssl_detail::TOpenSSLAsym>(*fApi);
  fSymImpl = std::make_unique<openssl_detail::TOpenSSLSym>(*fApi);
  fasym = fAsymImpl.get();
  fsym = fSymImpl.get();
}

TIndy_OpenSSL::~TIndy_OpenSSL() = default;

std::unique_ptr<uaMessageSecurityImpl> TIndy_OpenSSL::Create() const {
  return std::make_unique<TIndy_OpenSSL>();
}

std::string TIndy_OpenSSL::LibraryVersion() const {
  return openssl_detail::VersionText(*fApi);
}

}  // namespace varo::ua
