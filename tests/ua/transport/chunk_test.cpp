// SPDX-License-Identifier: MPL-2.0
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "ua/encoding/binary_codec.h"
#include "ua/encoding/service_types.h"
#include "ua/transport/chunk.h"
#include "ua/transport/tcp_message_io.h"

namespace varo::ua {
namespace {

// ---------------------------------------------------------------------------------------
// Fake security with realistic sizes. The "signature" is a keyed 64-bit FNV hash spread over
// the signature size; the "cipher" XORs a position-dependent key stream and, for the
// asymmetric kind, appends Bc - Bp check bytes to every block, which decryption verifies.
// Every call is recorded so the tests can see what the chunk layer asked for.

uint64_t Fnv(ByteSpan data, uint64_t seed) {
  uint64_t h = 1469598103934665603ull ^ seed;
  for (uint8_t b : data) {
    h ^= b;
    h *= 1099511628211ull;
  }
  return h;
}

class FakeDelegate final : public uaChunkHandler::uaDelegate {
 public:
  // Symmetric: AES-like 16-byte blocks and a 32-byte HMAC-SHA256-like signature.
  static FakeDelegate Symmetric(bool aEncrypt, uint32_t aSignatureSize = 32) {
    FakeDelegate d;
    d.SetSecurity(true, aEncrypt, 16, 16, 16, aSignatureSize, false);
    return d;
  }
  // Asymmetric with a k-byte RSA key and OAEP-SHA1 blocks: Bp = k - 42, Bc = k, signature k.
  static FakeDelegate Asymmetric(uint32_t aKeyBytes) {
    FakeDelegate d;
    d.SetSecurity(true, true, aKeyBytes - 42, aKeyBytes, aKeyBytes - 42, aKeyBytes, aKeyBytes > 256);
    return d;
  }

  ByteArray SignChunk(ByteSpan aData) override {
    ++signCalls;
    return Signature(aData);
  }
  bool VerifyChunk(ByteSpan aData, ByteSpan aSignature) override {
    ++verifyCalls;
    lastVerifiedSize = aData.size();
    const ByteArray s = Signature(aData);
    return !rejectAll && aSignature.size() == s.size() && std::equal(s.begin(), s.end(), aSignature.begin());
  }
  ByteArray EncryptChunk(ByteSpan aPlain) override {
    const uint32_t bp = PlainTextBlockSize(), bc = CipherTextBlockSize();
    if (aPlain.size() % bp != 0) throw std::logic_error("plaintext is not a whole number of blocks");
    plaintexts.emplace_back(aPlain.begin(), aPlain.end());
    ByteArray out;
    for (size_t b = 0; b < aPlain.size(); b += bp) {
      for (size_t i = 0; i < bp; ++i) out.push_back(aPlain[b + i] ^ Key(b + i));
      out.insert(out.end(), bc - bp, 0xA5);
    }
    return out;
  }
  ByteArray DecryptChunk(ByteSpan aCipher) override {
    const uint32_t bp = PlainTextBlockSize(), bc = CipherTextBlockSize();
    if (aCipher.size() % bc != 0) throw std::logic_error("ciphertext is not a whole number of blocks");
    ByteArray out;
    size_t pos = 0;
    for (size_t b = 0; b < aCipher.size(); b += bc) {
      for (size_t i = 0; i < bp; ++i, ++pos) out.push_back(aCipher[b + i] ^ Key(pos));
      for (size_t i = bp; i < bc; ++i)
        if (aCipher[b + i] != 0xA5) throw EuaTcpError("block does not decrypt");
    }
    return out;
  }

  ByteArray Signature(ByteSpan aData) const {
    ByteArray s(SignatureSize());
    uint64_t h = 0;
    for (size_t i = 0; i < s.size(); ++i) {
      if (i % 8 == 0) h = Fnv(aData, i / 8);
      s[i] = static_cast<uint8_t>(h >> (8 * (i % 8)));
    }
    return s;
  }
  static uint8_t Key(size_t i) { return static_cast<uint8_t>(0x5C + i * 31); }

  int signCalls = 0;
  int verifyCalls = 0;
  size_t lastVerifiedSize = 0;
  bool rejectAll = false;
  std::vector<ByteArray> plaintexts;  // what was handed to EncryptChunk
};

// ---------------------------------------------------------------------------------------
// Helpers

ByteArray Pattern(size_t n) {
  ByteArray b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return b;
}

uint32_t U32At(ByteSpan b, size_t off) {
  uint32_t v = 0;
  std::memcpy(&v, b.data() + off, 4);
  return v;
}

// Connection data with a negotiated send buffer and send limits.
uaTcpConnectionData Connection(uint32_t aSendBuffer, uint32_t aMaxMessage = 0, uint32_t aMaxChunks = 0) {
  uaTcpConnectionData cd;
  cd.fLimits.fHandShakeLimits.fSendBufferSize = aSendBuffer;
  cd.fLimits.fHandShakeLimits.fMaxMessageSize = aMaxMessage;
  cd.fLimits.fHandShakeLimits.fMaxChunkCount = aMaxChunks;
  return cd;
}

uaMsgAsymmetricHeader AsymHeader(size_t aCertSize) {
  uaMsgAsymmetricHeader h;
  h.fSecureHeader.fSecurityPolicyUri = "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256";
  h.fSecureHeader.fSenderCertificate = Pattern(aCertSize);
  h.fSecureHeader.fReceiverCertificateThumbprint = ByteArray(20, 0x11);
  return h;
}

uint32_t AsymHeaderSize(const uaMsgAsymmetricHeader& h) {
  return static_cast<uint32_t>(12 + h.fSecureHeader.fSecurityPolicyUri.size() +
                               h.fSecureHeader.fSenderCertificate.size() +
                               h.fSecureHeader.fReceiverCertificateThumbprint.size());
}

// A message type word from its letters, e.g. "MSGF".
uint32_t Word(const char* letters) {
  uint32_t w = 0;
  std::memcpy(&w, letters, 4);
  return w;
}

// Builds one chunk by hand: message header, channel id, token id (or the asymmetric header
// for OPN), sequence header, body, then padding of exactly aPadding bytes when encrypted,
// signature and encryption. aTamper may change the plaintext before it is signed.
ByteArray Seal(FakeDelegate& d, const char* aLetters, uint32_t aSeq, uint32_t aRequestId, ByteSpan aBody,
               uint32_t aPadding, const std::function<void(ByteArray&, size_t)>& aTamper = {}) {
  uaTcpMessageWriter w;
  uaMsgSymmetricHeader h;
  h.fHeader.fBaseHeader.fMessageType = Word(aLetters);
  h.fHeader.fSecureChannelId = 7;
  h.fSecureHeader.ftokenId = 3;
  h.fSequencHeader = {aSeq, aRequestId};
  w.WriteSymmetricMessage(h);
  w.buffer.write(aBody);
  ByteArray c = w.buffer.release();
  const size_t unc = w.fUncryptHeaderSize;
  const uint32_t sig = d.signed_() ? d.SignatureSize() : 0;
  if (d.encrypted()) {
    c.insert(c.end(), aPadding, static_cast<uint8_t>(aPadding));
    c.push_back(static_cast<uint8_t>(aPadding));
    if (d.ExtraPadding()) c.push_back(static_cast<uint8_t>(aPadding >> 8));
  }
  const size_t total = d.encrypted() ? unc + d.CalcEncryptSize(c.size() - unc + sig) : c.size() + sig;
  uaTcpMessageWriter::UpdateMessageValue(c, 4, static_cast<uint32_t>(total));
  if (aTamper) aTamper(c, unc);
  if (d.signed_()) {
    const ByteArray s = d.Signature(c);
    c.insert(c.end(), s.begin(), s.end());
  }
  if (d.encrypted()) {
    const ByteArray e = d.EncryptChunk(ByteSpan(c).subspan(unc));
    c.resize(unc);
    c.insert(c.end(), e.begin(), e.end());
  }
  return c;
}

// Seal with the smallest padding.
ByteArray SealMin(FakeDelegate& d, const char* aLetters, uint32_t aSeq, uint32_t aRequestId, ByteSpan aBody) {
  return Seal(d, aLetters, aSeq, aRequestId, aBody,
              d.getPaddingSize(8 + aBody.size() + (d.signed_() ? d.SignatureSize() : 0)));
}

ByteArray ErrorBody(uaStatusCode aStatus, const std::string& aReason) {
  varo::ByteBuffer b;
  TuaBinaryEncoder e(b);
  e.Write(static_cast<uint32_t>(aStatus), "Error");
  e.Write(aReason, "Reason");
  return b.release();
}

struct Sent {
  std::vector<ByteArray> chunks;
  uaChunkSendCallback Callback() {
    return [this](ByteSpan c) { chunks.emplace_back(c.begin(), c.end()); };
  }
};

template <class F>
uaStatusCode StatusOf(F&& f) {
  try {
    f();
  } catch (const EuaStatusError& e) {
    return e.Status();
  }
  return 0;
}

// ---------------------------------------------------------------------------------------
// Body size and padding arithmetic

TEST(UaChunkSizes, MaxBodySize) {
  FakeDelegate signOnly = FakeDelegate::Symmetric(false);
  FakeDelegate sae = FakeDelegate::Symmetric(true);
  FakeDelegate sae20 = FakeDelegate::Symmetric(true, 20);
  FakeDelegate rsa2048 = FakeDelegate::Asymmetric(256);
  FakeDelegate rsa4096 = FakeDelegate::Asymmetric(512);
  uaNoneDelegate none;
  struct Case {
    const char* name;
    uaChunkHandler::uaDelegate* d;
    uint32_t s, h, expected;
  };
  const Case cases[] = {
      {"none 8192", &none, 8192, 4, 8168},
      {"none 65535", &none, 65535, 4, 65511},
      {"sign 8192", &signOnly, 8192, 4, 8192 - 12 - 4 - 8 - 32},
      // floor(8176 / 16) * 16 - 8 - 32 - 1
      {"sign+encrypt 8192", &sae, 8192, 4, 8135},
      // floor(65519 / 16) * 16 - 8 - 32 - 1: the full chunk is 65520 bytes, never 65536
      {"sign+encrypt 65535", &sae, 65535, 4, 65463},
      {"sign+encrypt sha1 65535", &sae20, 65535, 4, 65504 - 8 - 20 - 1},
      // floor((65535 - 12 - 1100) / 256) * 214 - 8 - 256 - 1
      {"rsa2048 65535", &rsa2048, 65535, 1100, 251 * 214 - 265},
      // two padding-size bytes: floor((8192 - 12 - 1100) / 512) * 470 - 8 - 512 - 2
      {"rsa4096 8192", &rsa4096, 8192, 1100, 13 * 470 - 522},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.d->CalcMaxBodySize(c.s, c.h), c.expected);
  }
}

TEST(UaChunkSizes, NoRoomForABodyRaises) {
  FakeDelegate rsa = FakeDelegate::Asymmetric(256);
  uaNoneDelegate none;
  EXPECT_EQ(StatusOf([&] { none.CalcMaxBodySize(8192, 8192 - 20); }), uaBadTcpInternalError);
  EXPECT_EQ(none.CalcMaxBodySize(8192, 8192 - 21), 1u);
  EXPECT_EQ(StatusOf([&] { none.CalcMaxBodySize(100, 200); }), uaBadTcpInternalError);
  // One 256-byte block leaves 214 - 265 bytes: nothing.
  EXPECT_EQ(StatusOf([&] { rsa.CalcMaxBodySize(12 + 40 + 300, 40); }), uaBadTcpInternalError);
}

TEST(UaChunkSizes, PaddingIsTheSmallestThatFillsTheBlock) {
  FakeDelegate sae = FakeDelegate::Symmetric(true);
  FakeDelegate rsa4096 = FakeDelegate::Asymmetric(512);
  for (uint64_t x = 0; x < 64; ++x) {
    const uint32_t p = sae.getPaddingSize(x);
    EXPECT_LT(p, 16u) << x;
    EXPECT_EQ((x + 1 + p) % 16, 0u) << x;
  }
  for (uint64_t x : {0u, 1u, 467u, 468u, 469u, 1000u}) {
    const uint32_t p = rsa4096.getPaddingSize(x);
    EXPECT_LT(p, 470u) << x;
    EXPECT_EQ((x + 2 + p) % 470, 0u) << x;
  }
  uaNoneDelegate none;
  EXPECT_EQ(none.getPaddingSize(5), 0u);
}

// ---------------------------------------------------------------------------------------
// Split and assemble round trips

struct RoundTripSetup {
  const char* name;
  std::function<FakeDelegate()> make;  // empty: no security
  uint32_t sendBuffer;
  size_t certSize;  // > 0: asymmetric header with a certificate of this size (OPN)
};

class UaChunkRoundTrip : public ::testing::TestWithParam<RoundTripSetup> {};

// Splits a message of each interesting size, checks every chunk on the wire (size field,
// chunk letter, limits, sequence numbers, padding) and joins the chunks back.
TEST_P(UaChunkRoundTrip, SizesAroundTheBoundaries) {
  const RoundTripSetup& setup = GetParam();
  FakeDelegate fake = setup.make ? setup.make() : FakeDelegate();
  uaNoneDelegate none;
  uaChunkHandler::uaDelegate& d = setup.make ? static_cast<uaChunkHandler::uaDelegate&>(fake) : none;
  const bool asym = setup.certSize > 0;
  uaMsgAsymmetricHeader ah = AsymHeader(setup.certSize);
  uaMsgSymmetricHeader sh;
  sh.fHeader.fSecureChannelId = 9;
  sh.fSecureHeader.ftokenId = 4;
  const uint32_t h = asym ? AsymHeaderSize(ah) : 4;
  const uint32_t maxBody = d.CalcMaxBodySize(setup.sendBuffer, h);
  const uint32_t type = asym ? uaTcpOpenSecureChannel : uaTcpMessage;

  const size_t sizes[] = {0,
                          1,
                          maxBody - 1,
                          maxBody,
                          maxBody + 1,
                          2 * size_t{maxBody},
                          2 * size_t{maxBody} + 1,
                          5 * size_t{maxBody} + 7};
  uaTcpConnectionData cd = Connection(setup.sendBuffer);
  uaChunkEncoder enc;
  uaChunkDecoder dec;
  dec.SetLimits({setup.sendBuffer, 0, 0});
  uaTcpMessageWriter w;
  uint32_t expectedSeq = 1;
  for (size_t len : sizes) {
    SCOPED_TRACE(len);
    const ByteArray msg = Pattern(len);
    Sent sent;
    fake.plaintexts.clear();
    if (asym)
      enc.WriteMessageChunks(type, d, sent.Callback(), 77, msg, cd, w, ah);
    else
      enc.WriteMessageChunks(type, d, sent.Callback(), 77, msg, cd, w, sh);
    const size_t expectedChunks = len == 0 ? 1 : (len + maxBody - 1) / maxBody;
    ASSERT_EQ(sent.chunks.size(), expectedChunks);

    std::optional<uaReceivedMessage> got;
    for (size_t i = 0; i < sent.chunks.size(); ++i) {
      const ByteArray& c = sent.chunks[i];
      const bool last = i + 1 == sent.chunks.size();
      EXPECT_LE(c.size(), setup.sendBuffer);
      EXPECT_EQ(U32At(c, 4), c.size());
      EXPECT_EQ(U32At(c, 0), type | (last ? uaTcpChunkFinal : uaTcpChunkIntermediate));
      EXPECT_EQ(U32At(c, 8), asym ? 0u : 9u);
      // Without encryption the sequence header is readable on the wire.
      if (!d.encrypted()) {
        EXPECT_EQ(U32At(c, 12 + h), expectedSeq);
        EXPECT_EQ(U32At(c, 16 + h), 77u);
      }
      // A full intermediate chunk with no security fills the buffer exactly.
      if (!d.signed_() && !last) {
        EXPECT_EQ(c.size(), setup.sendBuffer);
      }
      ++expectedSeq;
      ASSERT_FALSE(got.has_value());
      got = dec.ProcessChunk(c, d);
      EXPECT_EQ(got.has_value(), last);
    }
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->fKind, uaReceivedMessage::rmComplete);
    EXPECT_EQ(got->fRequestId, 77u);
    EXPECT_EQ(got->fMessageType, type);
    EXPECT_EQ(got->fSequenceNumber, expectedSeq - 1);
    EXPECT_EQ(got->fBody, msg);
    EXPECT_FALSE(dec.Collecting());

    // The plaintexts handed to the cipher: whole blocks, minimal padding, every padding
    // byte equal to the size.
    if (d.encrypted()) {
      ASSERT_EQ(fake.plaintexts.size(), sent.chunks.size());
      const uint32_t b = d.CipherBlockSize(), o = d.PaddingOverHead(), sig = d.SignatureSize();
      for (const ByteArray& pt : fake.plaintexts) {
        ASSERT_EQ(pt.size() % b, 0u);
        const size_t sizeAt = pt.size() - sig - o;
        const uint32_t p = pt[sizeAt] + (o == 2 ? 256u * pt[sizeAt + 1] : 0u);
        const size_t x = pt.size() - p - o;  // sequence header, body and signature
        EXPECT_EQ(p, (b - (x + o) % b) % b);
        for (size_t i = sizeAt - p; i < sizeAt; ++i) ASSERT_EQ(pt[i], static_cast<uint8_t>(p));
      }
    }
  }
  if (d.signed_()) {
    EXPECT_EQ(fake.verifyCalls, fake.signCalls);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Security, UaChunkRoundTrip,
    ::testing::Values(
        RoundTripSetup{"None8192", {}, 8192, 0}, RoundTripSetup{"None65535", {}, 65535, 0},
        RoundTripSetup{"Sign8192", [] { return FakeDelegate::Symmetric(false); }, 8192, 0},
        RoundTripSetup{"SignAndEncrypt8192", [] { return FakeDelegate::Symmetric(true); }, 8192, 0},
        RoundTripSetup{"SignAndEncrypt65535", [] { return FakeDelegate::Symmetric(true); }, 65535, 0},
        RoundTripSetup{"SignAndEncryptSha1_65535", [] { return FakeDelegate::Symmetric(true, 20); }, 65535,
                       0},
        RoundTripSetup{"None_Opn", {}, 8192, 0 + 1},
        RoundTripSetup{"Rsa2048_Opn", [] { return FakeDelegate::Asymmetric(256); }, 65535, 1100},
        RoundTripSetup{"Rsa2048_Opn8192", [] { return FakeDelegate::Asymmetric(256); }, 8192, 1100},
        RoundTripSetup{"Rsa4096_Opn", [] { return FakeDelegate::Asymmetric(512); }, 8192, 1400}),
    [](const ::testing::TestParamInfo<RoundTripSetup>& i) { return std::string(i.param.name); });

TEST(UaChunkEncoder, NoSecurityEdgeSizes) {
  // 8192-byte buffer, no security: 8168 body bytes make one 8192-byte chunk; 8169 make a
  // full 'C' chunk and a 25-byte 'F' chunk.
  uaNoneDelegate none;
  uaChunkEncoder enc;
  uaTcpMessageWriter w;
  uaMsgSymmetricHeader h;
  for (auto [len, sizes] :
       std::vector<std::pair<size_t, std::vector<size_t>>>{{8168, {8192}}, {8169, {8192, 25}}}) {
    uaTcpConnectionData cd = Connection(8192);
    Sent sent;
    enc.WriteMessageChunks(uaTcpMessage, none, sent.Callback(), 1, Pattern(len), cd, w, h);
    ASSERT_EQ(sent.chunks.size(), sizes.size());
    for (size_t i = 0; i < sizes.size(); ++i) EXPECT_EQ(sent.chunks[i].size(), sizes[i]);
  }
}

TEST(UaChunkEncoder, ObjectIsEncodedWithItsEncodingId) {
  uaCloseSecureChannelRequest req;
  varo::ByteBuffer expected;
  TuaBinaryEncoder e(expected);
  e.WriteMessage(req, "Message");

  uaNoneDelegate none;
  uaChunkEncoder enc;
  uaTcpMessageWriter w;
  uaMsgSymmetricHeader h;
  uaTcpConnectionData cd = Connection(8192);
  Sent sent;
  enc.WriteMessageChunks(uaTcpCloseSecureChannel, none, sent.Callback(), 5, req, cd, w, h);
  ASSERT_EQ(sent.chunks.size(), 1u);
  EXPECT_EQ(U32At(sent.chunks[0], 0), Word("CLOF"));
  const ByteSpan body = ByteSpan(sent.chunks[0]).subspan(24);
  EXPECT_EQ(ByteArray(body.begin(), body.end()), expected.bytes());
}

TEST(UaChunkEncoder, SignatureCoversTheHeaderWithItsFinalSize) {
  FakeDelegate d = FakeDelegate::Symmetric(false);
  uaChunkEncoder enc;
  uaTcpMessageWriter w;
  uaMsgSymmetricHeader h;
  uaTcpConnectionData cd = Connection(8192);
  Sent sent;
  enc.WriteMessageChunks(uaTcpMessage, d, sent.Callback(), 5, Pattern(100), cd, w, h);
  ASSERT_EQ(sent.chunks.size(), 1u);
  const ByteArray& c = sent.chunks[0];
  ASSERT_EQ(c.size(), 24u + 100 + 32);
  const ByteArray s = d.Signature(ByteSpan(c).first(c.size() - 32));
  EXPECT_TRUE(std::equal(s.begin(), s.end(), c.end() - 32));
}

TEST(UaChunkEncoder, UnknownMessageTypeRaises) {
  uaNoneDelegate none;
  uaChunkEncoder enc;
  uaTcpMessageWriter w;
  uaMsgSymmetricHeader h;
  uaTcpConnectionData cd = Connection(8192);
  Sent sent;
  EXPECT_EQ(
      StatusOf([&] { enc.WriteMessageChunks(uaTcpHello, none, sent.Callback(), 1, Pattern(4), cd, w, h); }),
      uaBadTcpMessageTypeInvalid);
  EXPECT_TRUE(sent.chunks.empty());
}

// ---------------------------------------------------------------------------------------
// Send limits

TEST(UaChunkEncoder, SendLimits) {
  uaNoneDelegate none;
  const uint32_t maxBody = 8168;
  struct Case {
    const char* name;
    uint32_t maxMessage, maxChunks;
    size_t len;
    bool ok;
  };
  const Case cases[] = {
      {"no limits", 0, 0, 20 * maxBody, true},
      {"message at the limit", 1000, 0, 1000, true},
      {"message one byte over", 1000, 0, 1001, false},
      {"chunks at the limit", 0, 2, 2 * maxBody, true},
      {"one chunk too many", 0, 2, 2 * maxBody + 1, false},
      {"single chunk limit", 0, 1, maxBody + 1, false},
      {"empty message", 1, 1, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uaTcpConnectionData cd = Connection(8192, c.maxMessage, c.maxChunks);
    uaChunkEncoder enc;
    uaTcpMessageWriter w;
    uaMsgSymmetricHeader h;
    Sent sent;
    const uaStatusCode st = StatusOf(
        [&] { enc.WriteMessageChunks(uaTcpMessage, none, sent.Callback(), 1, Pattern(c.len), cd, w, h); });
    if (c.ok) {
      EXPECT_EQ(st, 0u);
      EXPECT_FALSE(sent.chunks.empty());
    } else {
      EXPECT_EQ(st, uaBadRequestTooLarge);
      EXPECT_TRUE(sent.chunks.empty());
      // No sequence number was used up.
      EXPECT_EQ(cd.getNextSequenceNumber(), 1u);
    }
  }
}

TEST(UaChunkEncoder, SizeMismatchOfTheProviderRaises) {
  // A provider whose signature is shorter than it announced would make chunks with a wrong
  // size field.
  struct ShortSign : uaChunkHandler::uaDelegate {
    ShortSign() { SetSecurity(true, false, 1, 1, 1, 32, false); }
    ByteArray SignChunk(ByteSpan) override { return ByteArray(20); }
    bool VerifyChunk(ByteSpan, ByteSpan) override { return true; }
    ByteArray EncryptChunk(ByteSpan p) override { return ByteArray(p.begin(), p.end()); }
    ByteArray DecryptChunk(ByteSpan p) override { return ByteArray(p.begin(), p.end()); }
  } d;
  uaChunkEncoder enc;
  uaTcpMessageWriter w;
  uaMsgSymmetricHeader h;
  uaTcpConnectionData cd = Connection(8192);
  Sent sent;
  EXPECT_EQ(
      StatusOf([&] { enc.WriteMessageChunks(uaTcpMessage, d, sent.Callback(), 1, Pattern(10), cd, w, h); }),
      uaBadTcpInternalError);
  EXPECT_TRUE(sent.chunks.empty());
}

// ---------------------------------------------------------------------------------------
// Assembly of hostile and unusual input

TEST(UaChunkDecoder, ReceiveLimitsFailOnlyThatMessage) {
  FakeDelegate plain;  // no security
  struct Case {
    const char* name;
    uint32_t maxMessage, maxChunks;
    size_t chunkBody;
    int chunks;   // chunks in the message, the last one final
    int failsAt;  // index of the chunk that yields the failure, -1 = none
    uaStatusCode status;
  };
  const Case cases[] = {
      {"chunk count at the limit", 0, 4, 100, 4, -1, 0},
      {"one chunk too many", 0, 4, 100, 5, 4, uaBadTcpMessageTooLarge},
      {"too many, fails at the first extra", 0, 2, 100, 7, 2, uaBadTcpMessageTooLarge},
      {"size at the limit", 1000, 0, 250, 4, -1, 0},
      {"size one byte over", 999, 0, 250, 4, 3, uaBadResponseTooLarge},
      {"single final chunk over", 10, 0, 11, 1, 0, uaBadResponseTooLarge},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uaChunkDecoder dec;
    dec.SetLimits({8192, c.maxMessage, c.maxChunks});
    for (int i = 0; i < c.chunks; ++i) {
      const bool last = i + 1 == c.chunks;
      const ByteArray chunk = Seal(plain, last ? "MSGF" : "MSGC", i + 1, 42, Pattern(c.chunkBody), 0);
      const std::optional<uaReceivedMessage> r = dec.ProcessChunk(chunk, plain);
      if (c.maxMessage != 0) {
        EXPECT_LE(dec.CollectedBytes(), c.maxMessage);
      }
      if (i == c.failsAt) {
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(r->fKind, uaReceivedMessage::rmFailed);
        EXPECT_EQ(r->fError.fError, c.status);
        EXPECT_EQ(r->fRequestId, 42u);
        EXPECT_TRUE(r->fBody.empty());
      } else if (last && c.failsAt < 0) {
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(r->fKind, uaReceivedMessage::rmComplete);
        EXPECT_EQ(r->fBody.size(), c.chunks * c.chunkBody);
      } else {
        // Intermediate chunks, and the rest of a failed message, yield nothing.
        EXPECT_FALSE(r.has_value());
      }
    }
    EXPECT_FALSE(dec.Collecting());
    EXPECT_EQ(dec.CollectedBytes(), 0u);
    // The next message is assembled from scratch.
    const auto next = dec.ProcessChunk(Seal(plain, "MSGF", 100, 43, Pattern(5), 0), plain);
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(next->fKind, uaReceivedMessage::rmComplete);
    EXPECT_EQ(next->fBody, Pattern(5));
  }
}

TEST(UaChunkDecoder, AbortChunk) {
  FakeDelegate plain;
  FakeDelegate sae = FakeDelegate::Symmetric(true);
  for (FakeDelegate* d : {&plain, &sae}) {
    SCOPED_TRACE(d->encrypted() ? "encrypted" : "plain");
    const ByteArray err = ErrorBody(0x80B90000u, "too much");
    for (int before : {0, 2}) {
      SCOPED_TRACE(before);
      uaChunkDecoder dec;
      for (int i = 0; i < before; ++i)
        EXPECT_FALSE(dec.ProcessChunk(SealMin(*d, "MSGC", i + 1, 8, Pattern(300)), *d).has_value());
      EXPECT_EQ(dec.Collecting(), before > 0);
      const auto r = dec.ProcessChunk(SealMin(*d, "MSGA", 10, 8, err), *d);
      ASSERT_TRUE(r.has_value());
      EXPECT_EQ(r->fKind, uaReceivedMessage::rmAborted);
      EXPECT_EQ(r->fRequestId, 8u);
      EXPECT_EQ(r->fError.fError, 0x80B90000u);
      EXPECT_EQ(r->fError.fReason, "too much");
      EXPECT_EQ(r->fError.fType, et_Abort);
      EXPECT_FALSE(r->fError.isCritical());
      EXPECT_FALSE(dec.Collecting());
      EXPECT_EQ(dec.CollectedBytes(), 0u);
      const auto next = dec.ProcessChunk(SealMin(*d, "MSGF", 11, 9, Pattern(3)), *d);
      ASSERT_TRUE(next.has_value());
      EXPECT_EQ(next->fBody, Pattern(3));
    }
  }
}

TEST(UaChunkDecoder, MalformedAbortBodyRaises) {
  FakeDelegate plain;
  uaChunkDecoder dec;
  // A reason length beyond the chunk.
  ByteArray err = ErrorBody(0x80000000u, "abc");
  err[4] = 50;
  EXPECT_EQ(StatusOf([&] { dec.ProcessChunk(Seal(plain, "MSGA", 1, 1, err, 0), plain); }),
            uaBadDecodingError);
  EXPECT_EQ(StatusOf([&] { dec.ProcessChunk(Seal(plain, "MSGA", 1, 1, Pattern(3), 0), plain); }),
            uaBadDecodingError);
}

TEST(UaChunkDecoder, ChunksOfAnotherMessageWhileCollectingRaise) {
  FakeDelegate plain;
  struct Case {
    const char* name;
    const char* letters;
    uint32_t requestId;
  };
  const Case cases[] = {
      {"final of another request", "MSGF", 6},
      {"intermediate of another request", "MSGC", 6},
      {"abort of another request", "MSGA", 6},
      {"same request, other message type", "CLOF", 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uaChunkDecoder dec;
    EXPECT_FALSE(dec.ProcessChunk(Seal(plain, "MSGC", 1, 5, Pattern(10), 0), plain).has_value());
    EXPECT_EQ(StatusOf([&] {
                dec.ProcessChunk(Seal(plain, c.letters, 2, c.requestId, ErrorBody(0x80000000u, ""), 0),
                                 plain);
              }),
              uaBadDecodingError);
    EXPECT_FALSE(dec.Collecting());
    EXPECT_EQ(dec.CollectedBytes(), 0u);
  }
}

TEST(UaChunkDecoder, MalformedChunksRaise) {
  FakeDelegate plain;
  FakeDelegate sae = FakeDelegate::Symmetric(true);
  const ByteArray good = Seal(plain, "MSGF", 1, 1, Pattern(20), 0);
  const ByteArray goodSae = SealMin(sae, "MSGF", 1, 1, Pattern(20));
  auto withSize = [](ByteArray c, uint32_t size) {
    uaTcpMessageWriter::UpdateMessageValue(c, 4, size);
    return c;
  };
  auto cut = [](ByteArray c, size_t n) {
    c.resize(c.size() - n);
    return c;
  };
  auto cutAndFix = [&](ByteArray c, size_t n) {
    return withSize(cut(c, n), static_cast<uint32_t>(c.size() - n));
  };
  ByteArray xChunk = good;
  xChunk[3] = 'X';
  ByteArray hel = good;
  std::memcpy(hel.data(), "HELF", 4);
  struct Case {
    const char* name;
    ByteArray chunk;
    FakeDelegate* d;
    uaStatusCode status;
  };
  const Case cases[] = {
      {"size field larger than the chunk", withSize(good, static_cast<uint32_t>(good.size() + 1)), &plain,
       uaBadDecodingError},
      {"size field smaller than the chunk", withSize(good, static_cast<uint32_t>(good.size() - 1)), &plain,
       uaBadDecodingError},
      {"size field huge", withSize(good, 0xFFFFFFF0u), &plain, uaBadDecodingError},
      {"size field below the header", withSize(good, 4), &plain, uaBadDecodingError},
      {"truncated, size kept", cut(good, 5), &plain, uaBadDecodingError},
      {"only the message header", withSize(ByteArray(good.begin(), good.begin() + 8), 8), &plain,
       uaBadDecodingError},
      {"no room for the sequence header", cutAndFix(good, 20 + 5), &plain, uaBadDecodingError},
      {"unknown chunk letter", xChunk, &plain, uaBadTcpMessageTypeInvalid},
      {"not a chunked message type", hel, &plain, uaBadTcpMessageTypeInvalid},
      {"encrypted part not whole blocks", cutAndFix(goodSae, 3), &sae, uaBadSecurityChecksFailed},
      {"encrypted chunk cut by a block", cutAndFix(goodSae, 16), &sae, uaBadSecurityChecksFailed},
      {"chunk over the receive buffer", Seal(plain, "MSGF", 1, 1, Pattern(9000), 0), &plain,
       uaBadTcpMessageTooLarge},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uaChunkDecoder dec;
    dec.SetLimits({8192, 0, 0});
    // A message in progress is dropped by the failure.
    EXPECT_FALSE(dec.ProcessChunk(SealMin(*c.d, "MSGC", 1, 1, Pattern(32)), *c.d));
    EXPECT_EQ(StatusOf([&] { dec.ProcessChunk(c.chunk, *c.d); }), c.status);
    EXPECT_FALSE(dec.Collecting());
  }
}

TEST(UaChunkDecoder, SignatureIsVerifiedBeforeTheBodyIsUsed) {
  for (bool encrypt : {false, true}) {
    SCOPED_TRACE(encrypt);
    FakeDelegate d = FakeDelegate::Symmetric(encrypt);
    const uint32_t p = d.getPaddingSize(8 + 40 + 32);
    const ByteArray good = Seal(d, "MSGF", 1, 1, Pattern(40), p);
    {
      uaChunkDecoder dec;
      const auto r = dec.ProcessChunk(good, d);
      ASSERT_TRUE(r.has_value());
      EXPECT_EQ(r->fBody, Pattern(40));
      EXPECT_EQ(d.verifyCalls, 1);
      // The whole chunk in front of the signature, headers and padding included.
      EXPECT_EQ(d.lastVerifiedSize, good.size() - 32);
    }
    // A body byte changed on the way (the fake cipher is a stream cipher, so the flip
    // reaches the plaintext when encrypted as well).
    ByteArray wire = good;
    wire[30] ^= 1;
    uaChunkDecoder dec;
    try {
      dec.ProcessChunk(wire, d);
      ADD_FAILURE() << "tampered chunk accepted";
    } catch (const EuaStatusError& e) {
      EXPECT_EQ(e.Status(), uaBadSecurityChecksFailed);
      EXPECT_STREQ(e.what(), uaSignatureErrorText);
    }
    // A provider that rejects every signature: nothing is collected, even for 'C'.
    d.rejectAll = true;
    EXPECT_EQ(StatusOf([&] { dec.ProcessChunk(Seal(d, "MSGC", 1, 1, Pattern(40), p), d); }),
              uaBadSecurityChecksFailed);
    EXPECT_EQ(dec.CollectedBytes(), 0u);
    EXPECT_FALSE(dec.Collecting());
  }
}

TEST(UaChunkDecoder, Padding) {
  FakeDelegate sae = FakeDelegate::Symmetric(true);
  FakeDelegate rsa4096 = FakeDelegate::Asymmetric(512);
  struct Case {
    const char* name;
    FakeDelegate* d;
    size_t body;
    int extraBlocks;  // padding longer than needed by whole blocks
    std::function<void(ByteArray&, size_t)> tamper;
    bool ok;
  };
  // The padding sits in front of the size byte(s); the hook gets the plaintext with its
  // padding and size bytes but before the signature.
  auto flipFirstPad = [](ByteArray& c, size_t) { c[c.size() - 2] ^= 0x40; };
  auto sizeTooLarge = [](ByteArray& c, size_t) { c[c.size() - 1] = 0xFF; };
  auto extraTooLarge = [](ByteArray& c, size_t) { c[c.size() - 1] = 0x7F; };
  const Case cases[] = {
      {"minimal", &sae, 40, 0, {}, true},
      {"no padding needed", &sae, 16 - 9 + 32 - 32, 0, {}, true},
      {"a full extra block, as some peers send", &sae, 40, 1, {}, true},
      {"padding byte differs", &sae, 40, 0, flipFirstPad, false},
      {"size larger than the chunk", &sae, 3, 0, sizeTooLarge, false},
      {"two size bytes, minimal", &rsa4096, 100, 0, {}, true},
      {"two size bytes, padding over 255", &rsa4096, 10, 0, {}, true},
      {"two size bytes, extra byte too large", &rsa4096, 100, 0, extraTooLarge, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDelegate& d = *c.d;
    const uint32_t p = d.getPaddingSize(8 + c.body + d.SignatureSize()) + c.extraBlocks * d.CipherBlockSize();
    const ByteArray chunk = Seal(d, "MSGF", 1, 1, Pattern(c.body), p, c.tamper);
    uaChunkDecoder dec;
    dec.SetLimits({0, 0, 0});
    if (c.ok) {
      const auto r = dec.ProcessChunk(chunk, d);
      ASSERT_TRUE(r.has_value());
      EXPECT_EQ(r->fBody, Pattern(c.body));
    } else {
      try {
        dec.ProcessChunk(chunk, d);
        ADD_FAILURE() << "bad padding accepted";
      } catch (const EuaStatusError& e) {
        EXPECT_EQ(e.Status(), uaBadSecurityChecksFailed);
        EXPECT_STREQ(e.what(), uaPaddingErrorText);
      }
    }
  }
}

TEST(UaChunkDecoder, UndecryptableChunkRaisesAndClears) {
  FakeDelegate rsa = FakeDelegate::Asymmetric(256);
  uaChunkDecoder dec;
  dec.SetLimits({0, 0, 0});
  ByteArray c = SealMin(rsa, "MSGF", 1, 1, Pattern(50));
  c[c.size() - 1] ^= 1;  // a check byte of the last block
  EXPECT_THROW(dec.ProcessChunk(c, rsa), EuaTcpError);
  EXPECT_FALSE(dec.Collecting());
}

}  // namespace
}  // namespace varo::ua
