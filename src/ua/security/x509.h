// SPDX-License-Identifier: MPL-2.0
// X.509 certificate reader and RSA keys in DER (PKCS#1 RSAPrivateKey, PKCS#8 PrivateKeyInfo,
// RSAPublicKey). Read-only: nothing here writes DER or verifies signatures or validity dates.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/bytes.h"
#include "platform/datetime.h"
#include "ua/security/der.h"

namespace varo::ua {

enum class TFileFormat { DER = 0, PEM = 1 };

// RSA public key as big-endian magnitudes without sign bytes.
struct TRSAPublicKey {
  ByteArray n;  // modulus
  ByteArray e;  // public exponent

  // Modulus length in bytes and bits.
  size_t KeySize() const { return n.size(); }
  size_t KeyBitSize() const { return 8 * n.size(); }
  std::string ModulusHEX() const { return DerHex(n); }
  std::string PublicExponentHEX() const { return DerHex(e); }
  // "Modulus: <hex>\r\nPublicExponent: <hex>"
  std::string ToString() const;

  // Reads an RSAPublicKey SEQUENCE { modulus, publicExponent } filling the whole input.
  static TRSAPublicKey Load(ByteSpan der);
};

// RSA private key (two primes) as big-endian magnitudes without sign bytes.
struct TRSAPrivateKey {
  int version = 0;
  ByteArray n;     // modulus
  ByteArray e;     // public exponent
  ByteArray d;     // private exponent
  ByteArray p;     // prime1
  ByteArray q;     // prime2
  ByteArray dp;    // exponent1 = d mod (p-1)
  ByteArray dq;    // exponent2 = d mod (q-1)
  ByteArray qinv;  // coefficient = q^-1 mod p

  size_t KeySize() const { return n.size(); }
  size_t KeyBitSize() const { return 8 * n.size(); }
  TRSAPublicKey PublicKey() const { return {n, e}; }
  std::string ToString() const;

  // DER of a PKCS#1 RSAPrivateKey or a PKCS#8 PrivateKeyInfo (told apart by their layout).
  // A PKCS#8 key of another algorithm raises "no RSA private key: ...".
  static TRSAPrivateKey LoadDer(ByteSpan der);
  static TRSAPrivateKey LoadPkcs1(ByteSpan der);
  static TRSAPrivateKey LoadPkcs8(ByteSpan der);
};

class AlgorithmIdentifier {
 public:
  ASN1ObjectIdentifier algorithm;
  // Raw parameters element (tag 0 when absent).
  ASN1Value parameters;
  void Load(DERReader& r);
  // Dotted OID, then "\r\n" and the parameters in hex when present.
  std::string ToString() const;
};

class TRDN {
 public:
  ASN1ObjectIdentifier fOid;
  ASN1StringType fValue;
  // Short name (or dotted OID) "=" value.
  std::string ToString() const;
};

class X500Name {
 public:
  std::vector<TRDN> rdns;
  // Renders one RDN; TRDN::ToString when empty.
  std::function<std::string(const TRDN&)> fStyle;

  void Load(DERReader& r);
  // The RDNs last first, joined by "\r\n" / by ", ".
  std::string ToString() const;
  std::string ToOnLineString() const;
  bool Comparex500Name(const X500Name* other) const;

 private:
  std::string Join(const char* sep) const;
};

class Validity {
 public:
  ASN1Time notBefore;
  ASN1Time notAfter;
  std::string ToString() const;
};

class SubjectPublicKeyInfo {
 public:
  AlgorithmIdentifier algorithm;
  DERBitString subjectPublicKey;
  std::string ToString() const;
};

class TExtension {
 public:
  ASN1ObjectIdentifier fextnID;
  bool fcritical = false;
  ASN1OctetString fextnValue;
  std::string ToString() const;
};

class TExtensions {
 public:
  std::vector<TExtension> items;
  // The first extension with this OID, or null.
  const TExtension* Find(ByteSpan oidContent) const;
  std::string ToString() const;
};

// The entries of a subjectAltName extension, in their order.
struct GeneralName {
  std::vector<std::string> rfc822Name;
  std::vector<std::string> dNSName;
  std::vector<std::string> uniformResourceIdentifier;
  std::vector<ByteArray> iPAddress;  // 4 or 16 bytes each
  std::vector<std::string> registeredID;

  // Reads a GeneralNames SEQUENCE (the extension value).
  static GeneralName Load(ByteSpan der);
};

// "192.168.0.1"; IPv6 as eight upper-case hex groups "FE80:0:0:0:0:0:0:1"; other sizes hex.
std::string IpAddressToString(ByteSpan address);

class TBSCertificate {
 public:
  ASN1Integer fVersion;
  ASN1Integer fSerialNumber;
  AlgorithmIdentifier fSignature;
  X500Name fIssuer;
  Validity fValidity;
  X500Name fSubject;
  SubjectPublicKeyInfo fSubjectPublicKeyInfo;
  DERBitString fissuerUniqueId;
  DERBitString fsubjectUniqueId;
  TExtensions fextensions;

  void Load(DERReader& r);
  // Stored value + 1 (1 for a v1 certificate).
  int Version() const;
  // Hex of the serial number, plus " int: " and 16 hex digits when it fits in 64 bits.
  std::string SerialNumber() const;
  std::string Issuer() const { return fIssuer.ToOnLineString(); }
  std::string Subject() const { return fSubject.ToOnLineString(); }
  TDateTime NotBefore() const { return fValidity.notBefore.Time(); }
  TDateTime NotAfter() const { return fValidity.notAfter.Time(); }
  // The subject's RSA key; another key algorithm raises "no RSA public key: ...".
  TRSAPublicKey getRSAPublicKey() const;
  std::string ToString() const;
};

class TX509Certificate {
 public:
  // Loads the first certificate of the bytes (a single DER certificate or a chain of them).
  void Load(ByteSpan bytes);
  void LoadFromFile(const std::string& path);

  const TBSCertificate& Certificate() const { return fTbsCert; }
  // SHA-1 of the certificate's DER bytes (20 bytes).
  const ByteArray& Thumbprint() const { return fThumbPrint; }
  std::string ThumbprintHEX() const { return DerHex(fThumbPrint); }
  // The DER bytes of this certificate (the leaf of a chain).
  const ByteArray& RawData() const { return fRawData; }
  const AlgorithmIdentifier& SignatureAlgorithm() const { return fSigAlgId; }
  const DERBitString& Signature() const { return fSig; }
  bool isSelfIssued() const { return fTbsCert.fSubject.Comparex500Name(&fTbsCert.fIssuer); }
  TRSAPublicKey PublicKey() const { return fTbsCert.getRSAPublicKey(); }
  // Entries of the subjectAltName extension (empty without it).
  GeneralName SubjectAltNames() const;
  // The first URI of the subjectAltName extension, or "".
  std::string ApplicationUri() const;
  std::string ToString() const;

 private:
  ByteArray fRawData;
  TBSCertificate fTbsCert;
  AlgorithmIdentifier fSigAlgId;
  DERBitString fSig;
  ByteArray fThumbPrint;
};

class X509ExtensionReader {
 public:
  static std::string getapplicationUri(const TX509Certificate& cert) { return cert.ApplicationUri(); }
};

// Splits concatenated DER certificates into their elements (each must be a SEQUENCE; nothing
// may follow the last one). Raises on an empty input.
std::vector<ByteSpan> SplitCertificateChain(ByteSpan bytes);
// The first certificate of a chain.
ByteSpan LeafCertificate(ByteSpan bytes);

class TTools {
 public:
  // Whole file; raises EuaSecurityError when it cannot be read or is larger than maxSize.
  static ByteArray LoadDERFile(const std::string& path, size_t maxSize = 16 * 1024 * 1024);
  static ByteArray createThumbprint(ByteSpan bytes);
  // DER bytes of the first block of a PEM text; an encrypted block raises.
  static ByteArray LoadPEM(ByteSpan bytes);
};

}  // namespace varo::ua
