// SPDX-License-Identifier: MPL-2.0
#include "ua/security/x509.h"

#include <charconv>
#include <fstream>

#include "ua/security/hash.h"

namespace varo::ua {

namespace {

constexpr uint8_t kTagVersion = 0xA0;
constexpr uint8_t kTagIssuerUid = 0x81;
constexpr uint8_t kTagSubjectUid = 0x82;
constexpr uint8_t kTagExtensions = 0xA3;
constexpr uint8_t kTagRfc822Name = 0x81;
constexpr uint8_t kTagDnsName = 0x82;
constexpr uint8_t kTagUri = 0x86;
constexpr uint8_t kTagIpAddress = 0x87;
constexpr uint8_t kTagRegisteredId = 0x88;

std::string AlgorithmText(const ASN1ObjectIdentifier& oid) {
  std::string text = oid.ToString();
  const std::string name = PublicKeyAlgorithmName(oid);
  if (!name.empty()) text += " (" + name + ")";
  return text;
}

// A non-negative INTEGER of a key as its magnitude.
ByteArray KeyNumber(DERReader& r) {
  const size_t at = r.Position();
  ASN1Integer v;
  r.ReadInteger(v);
  if (v.IsNegative()) ASN1Exception("negative RSA key number", at);
  return v.getValue();
}

bool IsZero(const ByteArray& v) {
  for (uint8_t b : v) {
    if (b) return false;
  }
  return true;
}

std::string HexDigits16(int64_t v) {
  static const char* digits = "0123456789ABCDEF";
  std::string s(16, '0');
  uint64_t u = static_cast<uint64_t>(v);
  for (int i = 15; i >= 0; --i, u >>= 4) s[static_cast<size_t>(i)] = digits[u & 15];
  return s;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Keys

std::string TRSAPublicKey::ToString() const {
  return "Modulus: " + ModulusHEX() + "\r\nPublicExponent: " + PublicExponentHEX();
}

TRSAPublicKey TRSAPublicKey::Load(ByteSpan der) {
  DERReader r(der);
  DERReader k = r.ReadHeader(kDerSequence);
  r.ExpectEnd();
  TRSAPublicKey key;
  key.n = KeyNumber(k);
  key.e = KeyNumber(k);
  k.ExpectEnd();
  if (IsZero(key.n) || IsZero(key.e)) ASN1Exception("RSA key number is zero", 0);
  return key;
}

std::string TRSAPrivateKey::ToString() const {
  std::string s = "Version: " + DerHex(ByteArray{static_cast<uint8_t>(version)}) + "\r\n";
  s += PublicKey().ToString() + "\r\n";
  s += "PrivateExponent: " + DerHex(d) + "\r\n";
  s += "Prime1: " + DerHex(p) + "\r\n";
  s += "Prime2: " + DerHex(q) + "\r\n";
  s += "Exponent1: " + DerHex(dp) + "\r\n";
  s += "Exponent2: " + DerHex(dq) + "\r\n";
  s += "Coefficient: " + DerHex(qinv) + "\r\n";
  return s;
}

TRSAPrivateKey TRSAPrivateKey::LoadDer(ByteSpan der) {
  DERReader r(der);
  DERReader k = r.ReadHeader(kDerSequence);
  ASN1Integer version;
  k.ReadInteger(version);
  // PrivateKeyInfo has an AlgorithmIdentifier SEQUENCE after the version, RSAPrivateKey an INTEGER.
  if (k.isNext(kDerSequence)) return LoadPkcs8(der);
  if (k.isNext(kDerInteger)) return LoadPkcs1(der);
  ASN1Exception("no RSA private key: unknown key format", k.Position());
}

TRSAPrivateKey TRSAPrivateKey::LoadPkcs1(ByteSpan der) {
  DERReader r(der);
  DERReader k = r.ReadHeader(kDerSequence);
  r.ExpectEnd();
  const size_t at = k.Position();
  ASN1Integer version;
  k.ReadInteger(version);
  const int64_t v = version.ToInt64();
  if (v == 1) ASN1Exception("multi-prime RSA keys are not supported", at);
  if (v != 0) ASN1Exception("unknown RSA private key version", at);
  TRSAPrivateKey key;
  key.version = 0;
  key.n = KeyNumber(k);
  key.e = KeyNumber(k);
  key.d = KeyNumber(k);
  key.p = KeyNumber(k);
  key.q = KeyNumber(k);
  key.dp = KeyNumber(k);
  key.dq = KeyNumber(k);
  key.qinv = KeyNumber(k);
  k.ExpectEnd();
  if (IsZero(key.n) || IsZero(key.e) || IsZero(key.d)) ASN1Exception("RSA key number is zero", 0);
  return key;
}

TRSAPrivateKey TRSAPrivateKey::LoadPkcs8(ByteSpan der) {
  DERReader r(der);
  DERReader k = r.ReadHeader(kDerSequence);
  r.ExpectEnd();
  const size_t at = k.Position();
  ASN1Integer version;
  k.ReadInteger(version);
  const int64_t v = version.ToInt64();
  if (v != 0 && v != 1) ASN1Exception("unknown private key version", at);
  const size_t algAt = k.Position();
  AlgorithmIdentifier alg;
  alg.Load(k);
  if (!OIDNames::CompareOid(alg.algorithm, oid::kRsaEncryption)) {
    ASN1Exception("no RSA private key: " + AlgorithmText(alg.algorithm), algAt);
  }
  ASN1OctetString pk;
  k.ReadOctetString(pk);
  // Optional attributes [0] and public key [1]: well-formed, otherwise not used.
  while (!k.AtEnd()) k.ReadItem();
  return LoadPkcs1(pk.getValue());
}

// ---------------------------------------------------------------------------------------------
// Certificate parts

void AlgorithmIdentifier::Load(DERReader& r) {
  DERReader a = r.ReadHeader(kDerSequence);
  a.ReadOID(algorithm);
  if (!a.AtEnd()) a.ReadValue(parameters);
  a.ExpectEnd();
}

std::string AlgorithmIdentifier::ToString() const {
  std::string s = algorithm.ToString();
  if (parameters.ValueLength() > 0) s += "\r\n" + parameters.ToString();
  return s;
}

std::string TRDN::ToString() const {
  return OIDNames::getTagForOid(fOid) + "=" + fValue.ToString();
}

void X500Name::Load(DERReader& r) {
  DERReader name = r.ReadHeader(kDerSequence);
  while (!name.AtEnd()) {
    const size_t at = name.Position();
    DERReader set = name.ReadHeader(kDerSet);
    if (set.AtEnd()) ASN1Exception("Wrong encoding", at);
    while (!set.AtEnd()) {
      DERReader atv = set.ReadHeader(kDerSequence);
      TRDN rdn;
      atv.ReadOID(rdn.fOid);
      atv.ReadString(rdn.fValue);
      atv.ExpectEnd();
      rdns.push_back(std::move(rdn));
    }
  }
}

std::string X500Name::Join(const char* sep) const {
  std::string s;
  for (auto it = rdns.rbegin(); it != rdns.rend(); ++it) {
    if (it != rdns.rbegin()) s += sep;
    s += fStyle ? fStyle(*it) : it->ToString();
  }
  return s;
}

std::string X500Name::ToString() const {
  return Join("\r\n");
}
std::string X500Name::ToOnLineString() const {
  return Join(", ");
}

bool X500Name::Comparex500Name(const X500Name* other) const {
  if (!other || other->rdns.size() != rdns.size()) return false;
  for (size_t i = 0; i < rdns.size(); ++i) {
    if (!rdns[i].fOid.Compare(other->rdns[i].fOid) || !rdns[i].fValue.Compare(other->rdns[i].fValue))
      return false;
  }
  return true;
}

std::string Validity::ToString() const {
  return "\r\n  notBefore: " + notBefore.ToString() + "\r\n  notAfter: " + notAfter.ToString();
}

std::string SubjectPublicKeyInfo::ToString() const {
  return algorithm.ToString() + "\r\n" + subjectPublicKey.ToString();
}

std::string TExtension::ToString() const {
  return "  extnID: " + fextnID.ToString() + "\r\n  critical: " + (fcritical ? "-1" : "0") +
         "\r\n  extnValue: " + fextnValue.ToString();
}

const TExtension* TExtensions::Find(ByteSpan oidContent) const {
  for (const auto& e : items) {
    if (OIDNames::CompareOid(e.fextnID, oidContent)) return &e;
  }
  return nullptr;
}

std::string TExtensions::ToString() const {
  std::string s;
  for (const auto& e : items) s += "\r\n" + e.ToString();
  return s;
}

GeneralName GeneralName::Load(ByteSpan der) {
  DERReader r(der);
  GeneralName g;
  {
    DERReader names = r.ReadHeader(kDerSequence);
    r.ExpectEnd();
    while (!names.AtEnd()) {
      const DERHeader h = names.ReadItem();
      ByteSpan c = der.subspan(h.contentPos, h.length);
      std::string text(c.begin(), c.end());
      switch (h.tag) {
        case kTagRfc822Name:
          g.rfc822Name.push_back(std::move(text));
          break;
        case kTagDnsName:
          g.dNSName.push_back(std::move(text));
          break;
        case kTagUri:
          g.uniformResourceIdentifier.push_back(std::move(text));
          break;
        case kTagIpAddress:
          g.iPAddress.emplace_back(c.begin(), c.end());
          break;
        case kTagRegisteredId: {
          ASN1ObjectIdentifier oid;
          DERReader::decodeOID(c, h.contentPos);
          oid.Assign(kDerOid, c);
          g.registeredID.push_back(oid.ToString());
          break;
        }
        default:
          break;  // otherName, x400Address, directoryName, ediPartyName: not used
      }
    }
  }
  return g;
}

std::string IpAddressToString(ByteSpan a) {
  std::string s;
  char buf[8];
  if (a.size() == 4) {
    for (size_t i = 0; i < 4; ++i) {
      if (i) s += '.';
      auto r = std::to_chars(buf, buf + sizeof buf, a[i]);
      s.append(buf, r.ptr);
    }
    return s;
  }
  if (a.size() == 16) {
    for (size_t i = 0; i < 16; i += 2) {
      if (i) s += ':';
      auto r = std::to_chars(buf, buf + sizeof buf, (a[i] << 8) | a[i + 1], 16);
      for (char* c = buf; c < r.ptr; ++c) s += static_cast<char>(*c >= 'a' ? *c - 'a' + 'A' : *c);
    }
    return s;
  }
  return DerHex(a);
}

// ---------------------------------------------------------------------------------------------
// TBSCertificate

void TBSCertificate::Load(DERReader& r) {
  if (r.isNext(kTagVersion)) {
    DERReader v = r.ReadHeader(kTagVersion);
    v.ReadInteger(fVersion);
    v.ExpectEnd();
  } else {
    const uint8_t v1 = 0;
    fVersion.Assign(kDerInteger, ByteSpan(&v1, 1));
  }
  r.ReadInteger(fSerialNumber);
  fSignature.Load(r);
  fIssuer.Load(r);
  DERReader validity = r.ReadHeader(kDerSequence);
  validity.ReadTime(fValidity.notBefore);
  validity.ReadTime(fValidity.notAfter);
  validity.ExpectEnd();
  fSubject.Load(r);
  DERReader spki = r.ReadHeader(kDerSequence);
  fSubjectPublicKeyInfo.algorithm.Load(spki);
  spki.ReadBitString(fSubjectPublicKeyInfo.subjectPublicKey);
  spki.ExpectEnd();

  while (!r.AtEnd()) {
    const size_t at = r.Position();
    const int tag = r.PeekTag();
    if (tag == kTagIssuerUid || tag == kTagSubjectUid) {
      ByteSpan c = r.ReadContent(static_cast<uint8_t>(tag));
      if (c.empty() || c[0] > 7) ASN1Exception("Wrong encoding", at);
      (tag == kTagIssuerUid ? fissuerUniqueId : fsubjectUniqueId).Assign(static_cast<uint8_t>(tag), c);
    } else if (tag == kTagExtensions) {
      DERReader wrapper = r.ReadHeader(kTagExtensions);
      DERReader list = wrapper.ReadHeader(kDerSequence);
      wrapper.ExpectEnd();
      while (!list.AtEnd()) {
        DERReader e = list.ReadHeader(kDerSequence);
        TExtension ext;
        e.ReadOID(ext.fextnID);
        if (e.isNext(kDerBoolean)) ext.fcritical = e.ReadBoolean();
        e.ReadOctetString(ext.fextnValue);
        e.ExpectEnd();
        fextensions.items.push_back(std::move(ext));
      }
    } else {
      ASN1Exception("Type Error:", at);
    }
  }
}

int TBSCertificate::Version() const {
  return fVersion.ToInt() + 1;
}

std::string TBSCertificate::SerialNumber() const {
  std::string s = fSerialNumber.ToBigIntegerHex();
  if (fSerialNumber.fstart + fSerialNumber.ValueLength() <= 8)
    s += " int: " + HexDigits16(fSerialNumber.ToInt64());
  return s;
}

TRSAPublicKey TBSCertificate::getRSAPublicKey() const {
  const ASN1ObjectIdentifier& alg = fSubjectPublicKeyInfo.algorithm.algorithm;
  if (!OIDNames::CompareOid(alg, oid::kRsaEncryption))
    ASN1Exception("no RSA public key: " + AlgorithmText(alg), 0);
  if (fSubjectPublicKeyInfo.subjectPublicKey.fpadBits != 0) ASN1Exception("Wrong encoding", 0);
  return TRSAPublicKey::Load(fSubjectPublicKeyInfo.subjectPublicKey.getValue());
}

std::string TBSCertificate::ToString() const {
  std::string s = "Version: " + fVersion.ToString() + "\r\n";
  s += "SerialNumber: " + SerialNumber() + "\r\n";
  s += "Signature: " + fSignature.ToString() + "\r\n";
  s += "Issuer: " + Issuer() + "\r\n";
  s += "Validity: " + fValidity.ToString() + "\r\n";
  s += "Subject: " + Subject() + "\r\n";
  s += "SubjectPublicKeyInfo: " + fSubjectPublicKeyInfo.ToString();
  if (!fextensions.items.empty()) s += "\r\nExtensions: " + fextensions.ToString();
  return s;
}

// ---------------------------------------------------------------------------------------------
// Certificate

std::vector<ByteSpan> SplitCertificateChain(ByteSpan bytes) {
  if (bytes.empty()) ASN1Exception("no certificate data", 0);
  std::vector<ByteSpan> certs;
  DERReader r(bytes);
  while (!r.AtEnd()) {
    const size_t at = r.Position();
    const DERHeader h = r.ReadItem(kDerSequence);
    certs.push_back(bytes.subspan(at, h.endPos() - at));
  }
  return certs;
}

ByteSpan LeafCertificate(ByteSpan bytes) {
  return SplitCertificateChain(bytes).front();
}

void TX509Certificate::Load(ByteSpan bytes) {
  ByteSpan leaf = LeafCertificate(bytes);
  *this = TX509Certificate();
  fRawData.assign(leaf.begin(), leaf.end());
  DERReader r(fRawData);
  DERReader cert = r.ReadHeader(kDerSequence);
  DERReader tbs = cert.ReadHeader(kDerSequence);
  fTbsCert.Load(tbs);
  fSigAlgId.Load(cert);
  cert.ReadBitString(fSig);
  cert.ExpectEnd();
  fThumbPrint = TTools::createThumbprint(fRawData);
}

void TX509Certificate::LoadFromFile(const std::string& path) {
  Load(TTools::LoadDERFile(path));
}

GeneralName TX509Certificate::SubjectAltNames() const {
  const TExtension* ext = fTbsCert.fextensions.Find(oid::kSubjectAltName);
  if (!ext) return {};
  return GeneralName::Load(ext->fextnValue.getValue());
}

std::string TX509Certificate::ApplicationUri() const {
  for (const auto& uri : SubjectAltNames().uniformResourceIdentifier) {
    if (!uri.empty()) return uri;
  }
  return {};
}

std::string TX509Certificate::ToString() const {
  return fTbsCert.ToString() + "\r\nThumbprint: " + ThumbprintHEX();
}

ByteArray TTools::LoadDERFile(const std::string& path, size_t maxSize) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw EuaSecurityError("Certificate Error: cannot open file " + path);
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  if (size < 0 || static_cast<uint64_t>(size) > maxSize)
    throw EuaSecurityError("Certificate Error: file too large " + path);
  in.seekg(0, std::ios::beg);
  ByteArray data(static_cast<size_t>(size));
  if (size > 0 && !in.read(reinterpret_cast<char*>(data.data()), size)) {
    throw EuaSecurityError("Certificate Error: cannot read file " + path);
  }
  return data;
}

ByteArray TTools::createThumbprint(ByteSpan bytes) {
  return Sha1(bytes);
}

}  // namespace varo::ua
