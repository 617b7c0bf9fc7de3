// SPDX-License-Identifier: MPL-2.0
// Certificates made by the openssl command line at test time, read back and compared with
// what openssl reports about them.
#include "ua/security/x509.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>

#include "platform/datetime.h"
#include "platform/strings.h"
#include "support/test_files.h"
#include "support/test_support.h"
#include "ua/security/pem.h"

namespace varo::ua {
namespace {

namespace fs = std::filesystem;

using test::ReadFileBytes;
using test::RunShell;

// "Dec 11 11:34:17 2026 GMT" as printed by openssl.
TDateTime OpensslDate(std::string_view s) {
  static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  DateTimeParts p;
  for (int m = 0; m < 12; ++m) {
    if (s.substr(0, 3) == months[m]) p.month = m + 1;
  }
  std::vector<std::string> parts;
  for (auto& w : Split(s.substr(4), ' ')) {
    if (!w.empty()) parts.push_back(w);
  }
  if (parts.size() != 4) throw std::runtime_error("bad openssl date " + std::string(s));
  p.day = StrToInt(parts[0]);
  auto hms = Split(parts[1], ':');
  p.hour = StrToInt(hms.at(0));
  p.minute = StrToInt(hms.at(1));
  p.second = StrToInt(hms.at(2));
  p.year = StrToInt(parts[2]);
  return EncodeDateTime(p);
}

// What `openssl x509 -noout -modulus -fingerprint -sha1 -dates -ext subjectAltName` prints.
struct OpensslFacts {
  std::string modulus, sha1, notBefore, notAfter, san;
};

OpensslFacts Facts(const fs::path& der) {
  const std::string text = RunShell("openssl x509 -inform DER -in " + test::ShellQuote(der.string()) +
                                    " -noout -modulus -fingerprint -sha1 -dates -ext subjectAltName");
  OpensslFacts f;
  bool sanNext = false;
  for (const std::string& line : Split(text, '\n')) {
    auto value = [&](std::string_view key) { return line.substr(key.size()); };
    if (StartsWith(line, "Modulus=")) f.modulus = value("Modulus=");
    if (StartsWithText(line, "sha1 Fingerprint=")) f.sha1 = ReplaceAll(value("sha1 Fingerprint="), ":", "");
    if (StartsWith(line, "notBefore=")) f.notBefore = value("notBefore=");
    if (StartsWith(line, "notAfter=")) f.notAfter = value("notAfter=");
    if (sanNext) f.san = std::string(Trim(line));
    sanNext = StartsWith(line, "X509v3 Subject Alternative Name");
  }
  return f;
}

void ExpectSameDate(TDateTime actual, const std::string& opensslText) {
  // One millisecond in days.
  EXPECT_NEAR(actual, OpensslDate(opensslText), 1.0 / 86400000.0) << opensslText;
}

class X509Test : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { dir_ = std::make_unique<test::TempDir>("varo_x509"); }
  static void TearDownTestSuite() { dir_.reset(); }
  static fs::path Path(const std::string& name) { return dir_->Path(name); }
  static std::string Q(const std::string& name) { return dir_->Quoted(name); }

  // A self-signed certificate in DER; returns its path.
  static fs::path SelfSigned(const std::string& name, const std::string& newkey, int days,
                             const std::string& san = "") {
    std::string cmd = "openssl req -x509 -newkey " + newkey + " -nodes -keyout " + Q(name + ".key") +
                      " -out " + Q(name + ".der") + " -outform DER -days " + std::to_string(days) +
                      " -subj '/CN=VaroTest/O=Varo Test/C=DE'";
    if (!san.empty()) cmd += " -addext 'subjectAltName=" + san + "'";
    RunShell(cmd);
    return Path(name + ".der");
  }

  static inline std::unique_ptr<test::TempDir> dir_;
};

constexpr const char* kSan =
    "URI:urn:varo:test:client,DNS:host.example,DNS:alt.example,IP:192.168.10.20,IP:::1";

struct RsaCertCase {
  int bits;
  int days;  // 10000 days reach past 2050: notAfter is a GeneralizedTime
};

class X509RsaCertTest : public X509Test, public ::testing::WithParamInterface<RsaCertCase> {};

TEST_P(X509RsaCertTest, MatchesOpenssl) {
  const RsaCertCase c = GetParam();
  const fs::path der = SelfSigned("rsa" + std::to_string(c.bits) + "_" + std::to_string(c.days),
                                  "rsa:" + std::to_string(c.bits), c.days, kSan);
  const OpensslFacts facts = Facts(der);

  TX509Certificate cert;
  cert.Load(ReadFileBytes(der));
  const TRSAPublicKey key = cert.PublicKey();
  EXPECT_EQ(key.ModulusHEX(), facts.modulus);
  EXPECT_EQ(key.KeyBitSize(), static_cast<size_t>(c.bits));
  EXPECT_EQ(key.e, (ByteArray{0x01, 0x00, 0x01}));
  EXPECT_EQ(cert.ThumbprintHEX(), facts.sha1);
  EXPECT_EQ(cert.Thumbprint().size(), 20u);
  ExpectSameDate(cert.Certificate().NotBefore(), facts.notBefore);
  ExpectSameDate(cert.Certificate().NotAfter(), facts.notAfter);
  EXPECT_EQ(cert.Certificate().fValidity.notAfter.Tag(), c.days > 8000 ? kDerGeneralizedTime : kDerUtcTime);

  EXPECT_EQ(facts.san,
            "URI:urn:varo:test:client, DNS:host.example, DNS:alt.example, IP Address:192.168.10.20, "
            "IP Address:0:0:0:0:0:0:0:1");
  EXPECT_EQ(cert.ApplicationUri(), "urn:varo:test:client");
  EXPECT_EQ(X509ExtensionReader::getapplicationUri(cert), "urn:varo:test:client");
  const GeneralName san = cert.SubjectAltNames();
  EXPECT_EQ(san.dNSName, (std::vector<std::string>{"host.example", "alt.example"}));
  ASSERT_EQ(san.iPAddress.size(), 2u);
  EXPECT_EQ(IpAddressToString(san.iPAddress[0]), "192.168.10.20");
  EXPECT_EQ(IpAddressToString(san.iPAddress[1]), "0:0:0:0:0:0:0:1");

  EXPECT_EQ(cert.Certificate().Version(), 3);
  EXPECT_EQ(cert.Certificate().Subject(), "C=DE, O=Varo Test, CN=VaroTest");
  EXPECT_EQ(cert.Certificate().Issuer(), cert.Certificate().Subject());
  EXPECT_TRUE(cert.isSelfIssued());
  EXPECT_EQ(cert.SignatureAlgorithm().algorithm.ToString(), "1.2.840.113549.1.1.11");
  EXPECT_EQ(cert.RawData(), ReadFileBytes(der));

  // The key file written with the certificate holds the same modulus.
  const TRSAPrivateKey priv =
      LoadPrivateKeyPem(test::ReadTextFile(Path(der.stem().string() + ".key").string()));
  EXPECT_EQ(priv.n, key.n);
}

INSTANTIATE_TEST_SUITE_P(X509Keys, X509RsaCertTest,
                         ::testing::Values(RsaCertCase{1024, 365}, RsaCertCase{2048, 365},
                                           RsaCertCase{2048, 10000}, RsaCertCase{4096, 10000}),
                         [](const auto& info) {
                           return "rsa" + std::to_string(info.param.bits) + "_" +
                                  std::to_string(info.param.days) + "days";
                         });

TEST_F(X509Test, EveryKindOfAltNameIsCollectedAndTheFirstUriWins) {
  const fs::path der = SelfSigned("kinds", "rsa:1024", 30,
                                  "email:ops@example.org,URI:urn:first,DNS:a.example,URI:urn:second,"
                                  "RID:1.2.3.4,otherName:1.2.3.5;UTF8:skipped");
  TX509Certificate cert;
  cert.Load(ReadFileBytes(der));
  const GeneralName san = cert.SubjectAltNames();
  EXPECT_EQ(san.rfc822Name, (std::vector<std::string>{"ops@example.org"}));
  EXPECT_EQ(san.uniformResourceIdentifier, (std::vector<std::string>{"urn:first", "urn:second"}));
  EXPECT_EQ(san.registeredID, (std::vector<std::string>{"1.2.3.4"}));
  EXPECT_EQ(cert.ApplicationUri(), "urn:first");
}

TEST_F(X509Test, NonRsaKeysAreRejectedWithTheirAlgorithm) {
  struct Case {
    const char* name;
    const char* newkey;
    const char* message;
  };
  const Case cases[] = {
      {"ec", "ec -pkeyopt ec_paramgen_curve:prime256v1", "no RSA public key: 1.2.840.10045.2.1 (EC)"},
      {"ed25519", "ed25519", "no RSA public key: 1.3.101.112 (Ed25519)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path der = SelfSigned(c.name, c.newkey, 30, "URI:urn:varo:ec");
    TX509Certificate cert;
    cert.Load(ReadFileBytes(der));  // the certificate itself reads fine
    EXPECT_EQ(cert.ThumbprintHEX(), Facts(der).sha1);
    EXPECT_EQ(cert.ApplicationUri(), "urn:varo:ec");
    try {
      cert.PublicKey();
      ADD_FAILURE() << "non-RSA key accepted";
    } catch (const EuaSecurityError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

TEST_F(X509Test, ChainLoadsTheLeafAndItsThumbprint) {
  RunShell("openssl req -x509 -newkey rsa:1024 -nodes -keyout " + Q("ca.key") + " -out " + Q("ca.pem") +
           " -days 30 -subj /CN=VaroCA");
  RunShell("openssl x509 -in " + Q("ca.pem") + " -outform DER -out " + Q("ca.der"));
  RunShell("openssl req -new -newkey rsa:1024 -nodes -keyout " + Q("leaf.key") + " -out " + Q("leaf.csr") +
           " -subj /CN=VaroLeaf");
  // Signed without an extension file: a version 1 certificate without extensions.
  RunShell("openssl x509 -req -in " + Q("leaf.csr") + " -CA " + Q("ca.pem") + " -CAkey " + Q("ca.key") +
           " -set_serial 0x0102 -days 30 -outform DER -out " + Q("leaf.der"));
  const ByteArray leaf = ReadFileBytes(Path("leaf.der"));
  const ByteArray ca = ReadFileBytes(Path("ca.der"));
  ByteArray chain = leaf;
  chain.insert(chain.end(), ca.begin(), ca.end());

  const auto parts = SplitCertificateChain(chain);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(ByteArray(parts[0].begin(), parts[0].end()), leaf);
  EXPECT_EQ(ByteArray(parts[1].begin(), parts[1].end()), ca);

  TX509Certificate cert;
  cert.Load(chain);
  EXPECT_EQ(cert.RawData(), leaf);
  EXPECT_EQ(cert.ThumbprintHEX(), Facts(Path("leaf.der")).sha1);
  EXPECT_EQ(cert.PublicKey().ModulusHEX(), Facts(Path("leaf.der")).modulus);
  EXPECT_EQ(cert.Certificate().Version(), 1);
  EXPECT_EQ(cert.Certificate().SerialNumber(), "0102 int: 0000000000000102");
  EXPECT_EQ(cert.Certificate().Subject(), "CN=VaroLeaf");
  EXPECT_EQ(cert.Certificate().Issuer(), "CN=VaroCA");
  EXPECT_FALSE(cert.isSelfIssued());
  EXPECT_EQ(cert.ApplicationUri(), "");  // no subjectAltName extension
  EXPECT_TRUE(cert.SubjectAltNames().dNSName.empty());

  // The same chain in PEM form.
  const std::string pem =
      RunShell("openssl x509 -inform DER -in " + Q("leaf.der")) + test::ReadTextFile(Path("ca.pem"));
  EXPECT_EQ(LoadCertificatePem(pem), chain);
  EXPECT_EQ(CertificateBytesToDer(ToBytes(pem)), chain);
  EXPECT_EQ(CertificateBytesToDer(chain), chain);

  // Trailing bytes that are not a certificate are refused.
  ByteArray junk = leaf;
  junk.push_back(0x00);
  EXPECT_THROW(cert.Load(junk), EuaSecurityError);
  EXPECT_THROW(SplitCertificateChain({}), EuaSecurityError);
}

TEST_F(X509Test, OpensslSerialNumbersOfTwentyBytesRenderWithoutRaising) {
  const fs::path der = SelfSigned("serial", "rsa:1024", 30);
  TX509Certificate cert;
  cert.Load(ReadFileBytes(der));
  const std::string expected =
      ToUpperAscii(Trim(RunShell("openssl x509 -inform DER -in '" + der.string() + "' -noout -serial"))
                       .substr(7));                        // "serial="
  EXPECT_EQ(cert.Certificate().SerialNumber(), expected);  // too long for the " int: " form
  EXPECT_THROW(cert.Certificate().fSerialNumber.ToInt64(), EuaSecurityError);
  // The text rendering walks every part.
  const std::string text = cert.ToString();
  EXPECT_NE(text.find("Subject: C=DE, O=Varo Test, CN=VaroTest\r\n"), std::string::npos);
  EXPECT_NE(text.find("\r\nThumbprint: " + cert.ThumbprintHEX()), std::string::npos);
  EXPECT_NE(text.find("\r\nExtensions: \r\n  extnID: 2.5.29.14\r\n  critical: 0\r\n"), std::string::npos);
}

TEST_F(X509Test, DamagedCertificatesRaise) {
  const ByteArray good = ReadFileBytes(SelfSigned("damage", "rsa:1024", 30, kSan));
  // Every truncation of a valid certificate is refused.
  for (size_t len = 0; len < good.size(); len += (len < 64 ? 1 : 37)) {
    TX509Certificate cert;
    EXPECT_THROW(cert.Load(ByteSpan(good.data(), len)), EuaSecurityError) << len;
  }
  // A first tag other than SEQUENCE.
  ByteArray wrong = good;
  wrong[0] = 0x31;
  TX509Certificate cert;
  EXPECT_THROW(cert.Load(wrong), EuaSecurityError);
  // The TBSCertificate length reaching past the certificate.
  ByteArray longer = good;
  ASSERT_EQ(longer[4], 0x30);
  ASSERT_EQ(longer[5], 0x82);
  longer[6] = 0xFF;
  EXPECT_THROW(cert.Load(longer), EuaSecurityError);
}

TEST(X509Names, ComparisonAndIpText) {
  auto rdn = [](std::string_view oidHex, std::string_view value) {
    TRDN r;
    r.fOid.Assign(kDerOid, test::Hex(oidHex));
    r.fValue.Assign(kDerUtf8String, ToBytes(value));
    return r;
  };
  X500Name a, b;
  a.rdns = {rdn("550406", "DE"), rdn("550403", "one")};
  b.rdns = {rdn("550406", "DE"), rdn("550403", "two")};
  EXPECT_FALSE(a.Comparex500Name(&b));  // differ only in the last RDN
  EXPECT_FALSE(a.Comparex500Name(nullptr));
  b.rdns[1] = rdn("550403", "one");
  EXPECT_TRUE(a.Comparex500Name(&b));
  EXPECT_EQ(a.ToString(), "CN=one\r\nC=DE");
  a.fStyle = [](const TRDN& r) { return r.fValue.ToString(); };
  EXPECT_EQ(a.ToOnLineString(), "one, DE");

  EXPECT_EQ(IpAddressToString(test::Hex("FE80 0000 0000 0000 0000 0000 0000 00AB")), "FE80:0:0:0:0:0:0:AB");
  EXPECT_EQ(IpAddressToString(test::Hex("0A000001")), "10.0.0.1");
}

TEST(X509Files, MissingFileRaises) {
  TX509Certificate cert;
  EXPECT_THROW(cert.LoadFromFile("/nonexistent/varo/cert.der"), EuaSecurityError);
}

}  // namespace
}  // namespace varo::ua
