// SPDX-License-Identifier: MPL-2.0
// The receive side of a secured channel against a mirror channel that plays the server: the
// mirror holds the server's key and certificate, and its nonces are ours swapped, so what it
// sends is what a real server would send. Chunks are then tampered with on their way to us.
#include <gtest/gtest.h>

#include <thread>

#include "platform/random.h"
#include "support/capture_connection.h"
#include "support/test_certs.h"
#include "ua/encoding/service_types.h"
#include "ua/security/native_provider.h"
#include "ua/transport/stack_client.h"

namespace varo::ua {
namespace {

using test::CaptureConnection;

void Install(uaChannel& ch, const test::TestIdentity& own, const test::TestIdentity& peer, TuaSecureMode mode,
             TuaSecurePolicy policy) {
  RegisterNativeSecurityLib();
  ch.SetSecurity(SecurityLibClasses::Create(uaSNative));
  ch.SetLocalPrivateKey(own.keyPem);
  ch.SetLocalCertificate(own.certDer);
  ch.SetRemoteCertificate(peer.certDer);
  ch.ChangeSecurityProtocol(mode, policy);
  uaMessageAck ack;
  ack.fReceiveBufferSize = 65535;
  ack.fSendBufferSize = 65535;
  ch.UpdateMaxSize(ack);
}

class ChannelSecurity : public testing::Test {
 protected:
  void Prepare(TuaSecureMode mode, TuaSecurePolicy policy, uint32_t lifetime = 600000) {
    const auto& client = test::ClientIdentity(2048);
    const auto& server = test::ClientIdentity(3072);
    Install(fClient.TcpChannel(), client, server, mode, policy);
    Install(fServer, server, client, mode, policy);
    fClient.fOnReceivedMessage = [this](uaChannel&, uint32_t id, ByteSpan) { fDelivered.push_back(id); };
    fNonceClient = SecureRandomBytes(32);
    fNonceServer = SecureRandomBytes(32);
    fLifetime = lifetime;
  }
  // Both sides take token aTokenId; the channel id is 7.
  void Activate(uint32_t aTokenId) {
    uaChannel& c = fClient.TcpChannel();
    c.SetSecureChannelId(7);
    fServer.SetSecureChannelId(7);
    c.ConnectionData().fLocalNonce = fNonceClient;
    c.ActivateToken(aTokenId, fNonceServer, fLifetime);
    fServer.ConnectionData().fLocalNonce = fNonceServer;
    fServer.ActivateToken(aTokenId, fNonceClient, fLifetime);
  }
  ByteArray ServerMessage(uint32_t aRequestId) {
    fWire.fChunks.clear();
    uaGetEndpointsResponse r;
    fServer.SendMessage(aRequestId, r);
    EXPECT_EQ(fWire.fChunks.size(), 1u);
    return fWire.fChunks.at(0);
  }
  ByteArray ServerOpen(uint32_t aRequestId) {
    fWire.fChunks.clear();
    uaOpenSecureChannelResponse r;
    fServer.SendOpenSecureChannel(aRequestId, r);
    return fWire.fChunks.at(0);
  }
  // The status the receive path raises for aChunk, 0 when it is accepted.
  uaStatusCode Receive(const ByteArray& aChunk) {
    try {
      fClient.HandleInputMessage(aChunk);
    } catch (const EuaStatusError& e) {
      return e.Status();
    }
    return 0;
  }

  uaStackClient fClient;
  CaptureConnection fWire;
  uaChannel fServer{fWire};
  ByteArray fNonceClient, fNonceServer;
  uint32_t fLifetime = 0;
  std::vector<uint32_t> fDelivered;
};

struct Tamper {
  const char* name;
  TuaSecureMode mode;
  bool open;          // an OpenSecureChannel chunk rather than a service chunk
  ptrdiff_t offset;   // byte to flip, from the end when negative; 0 = none
  uaStatusCode want;  // 0 = delivered
};

class ChannelTamper : public ChannelSecurity, public testing::WithParamInterface<Tamper> {};

TEST_P(ChannelTamper, FlippedBytesCloseWithSecurityChecksFailed) {
  const Tamper t = GetParam();
  Prepare(t.mode, uaSPBasic256Sha256);
  if (!t.open) Activate(1);
  ByteArray chunk = t.open ? ServerOpen(3) : ServerMessage(3);
  if (t.offset != 0) {
    const size_t at =
        t.offset > 0 ? static_cast<size_t>(t.offset) : chunk.size() - static_cast<size_t>(-t.offset);
    chunk.at(at) ^= 0x01;
  }
  EXPECT_EQ(Receive(chunk), t.want) << t.name;
  EXPECT_EQ(fDelivered.size(), t.want == 0 ? 1u : 0u) << t.name;
}

// A service chunk: 8 bytes of message header, 4 of channel id, 4 of token id, then the
// encrypted part (sequence header from offset 16). An OpenSecureChannel chunk's security header is much
// longer, so its flips go far behind it or to its last bytes (signature / ciphertext).
INSTANTIATE_TEST_SUITE_P(
    Cases, ChannelTamper,
    testing::Values(Tamper{"intact MSG, SignAndEncrypt", uaSSignAndEncrypt, false, 0, 0},
                    Tamper{"intact MSG, Sign", uaSSign, false, 0, 0},
                    Tamper{"ciphertext of the body", uaSSignAndEncrypt, false, 20, uaBadSecurityChecksFailed},
                    Tamper{"last byte (encrypted signature)", uaSSignAndEncrypt, false, -1,
                           uaBadSecurityChecksFailed},
                    Tamper{"signed body, Sign", uaSSign, false, 20, uaBadSecurityChecksFailed},
                    Tamper{"signature, Sign", uaSSign, false, -1, uaBadSecurityChecksFailed},
                    Tamper{"intact OPN", uaSSignAndEncrypt, true, 0, 0},
                    Tamper{"OPN ciphertext", uaSSignAndEncrypt, true, -100, uaBadSecurityChecksFailed},
                    Tamper{"OPN last byte", uaSSign, true, -1, uaBadSecurityChecksFailed}),
    [](const testing::TestParamInfo<Tamper>& info) {
      std::string n;
      for (const char* p = info.param.name; *p; ++p)
        n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
      return n;
    });

TEST_F(ChannelSecurity, PreviousTokenIsAcceptedAfterARenewalAndUnknownTokensAreRefused) {
  Prepare(uaSSignAndEncrypt, uaSPAes256_Sha256_RsaPss);
  Activate(1);
  const ByteArray oldToken = ServerMessage(1);
  // Renewal on our side only: the server still answers with token 1 for a while.
  uaChannel& c = fClient.TcpChannel();
  const ByteArray newNonce = SecureRandomBytes(32);
  c.ConnectionData().fLocalNonce = SecureRandomBytes(32);
  c.ActivateToken(2, newNonce, fLifetime);
  EXPECT_EQ(Receive(oldToken), 0u);
  // Now the server moves to token 2 with the new nonces.
  fServer.ConnectionData().fLocalNonce = newNonce;
  fServer.ActivateToken(2, c.ConnectionData().fLocalNonce, fLifetime);
  EXPECT_EQ(Receive(ServerMessage(2)), 0u);
  EXPECT_EQ(fDelivered, (std::vector<uint32_t>{1, 2}));
  // A token id neither side knows. Its report reaches the handler once the receive path has
  // let go of the channel's locks.
  std::vector<std::string> reports;
  bool lockFree = true;
  c.fOnReportError = [&](const std::string& text) {
    std::unique_lock probe(c.TokenLock(), std::try_to_lock);
    lockFree = lockFree && probe.owns_lock();
    reports.push_back(text);
  };
  fServer.ActivateToken(9, c.ConnectionData().fLocalNonce, fLifetime);
  EXPECT_EQ(Receive(ServerMessage(3)), uaBadSecureChannelTokenUnknown);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].rfind("SecurityTokenId is not known. ", 0), 0u) << reports[0];
  EXPECT_TRUE(lockFree);
}

TEST_F(ChannelSecurity, ExpiredTokenIsRefused) {
  Prepare(uaSSign, uaSPBasic256Sha256, /*lifetime*/ 40);
  Activate(1);
  const ByteArray chunk = ServerMessage(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(80));  // past 1.25 x the lifetime
  EXPECT_EQ(Receive(chunk), uaBadSecureChannelTokenUnknown);
}

TEST_F(ChannelSecurity, LoadingACertificateKeepsTheRunningToken) {
  // Secured: the server's certificate given again (a reconnect does this) must not drop the
  // token or its keys.
  Prepare(uaSSign, uaSPBasic256Sha256);
  Activate(1);
  fClient.TcpChannel().SetRemoteCertificate(test::ClientIdentity(3072).certDer);
  EXPECT_EQ(fClient.TcpChannel().TokenId(), 1u);
  EXPECT_EQ(Receive(ServerMessage(1)), 0u);

  // Unsecured: the same for a None channel that learns the endpoint's certificate.
  CaptureConnection wire;
  uaChannel plain(wire);
  plain.ActivateToken(5, {}, 600000);
  plain.SetRemoteCertificate(test::ClientIdentity(3072).certDer);
  EXPECT_EQ(plain.TokenId(), 5u);
  EXPECT_EQ(plain.SymmDelegate().fChannelSecurity.currentToken->ftokenId, 5u);
}

TEST_F(ChannelSecurity, ChannelIdAndSequenceAreChecked) {
  Prepare(uaSSign, uaSPBasic256Sha256);
  Activate(1);
  const ByteArray first = ServerMessage(1);
  ServerMessage(2);  // sent, never delivered: the next one is out of order
  const ByteArray third = ServerMessage(3);
  EXPECT_EQ(Receive(first), 0u);
  // A replayed chunk and a gap are both refused.
  EXPECT_EQ(Receive(first), uaBadSequenceNumberInvalid);
  EXPECT_EQ(Receive(third), uaBadSequenceNumberInvalid);
  fServer.SetSecureChannelId(8);
  EXPECT_EQ(Receive(ServerMessage(4)), uaBadSecureChannelIdInvalid);
}

TEST_F(ChannelSecurity, ServiceChunkBeforeTheOpenResponseIsRefused) {
  Prepare(uaSSign, uaSPBasic256Sha256);
  fServer.SetSecureChannelId(7);
  fServer.ConnectionData().fLocalNonce = fNonceServer;
  fServer.ActivateToken(1, fNonceClient, fLifetime);
  EXPECT_EQ(Receive(ServerMessage(1)), uaBadSecureChannelIdInvalid);
  EXPECT_TRUE(fDelivered.empty());
}

TEST_F(ChannelSecurity, OpenResponseForAnotherCertificateIsRefused) {
  Prepare(uaSSignAndEncrypt, uaSPBasic256Sha256);
  // We expect the server to sign with a certificate other than the one it sends.
  fClient.TcpChannel().SetRemoteCertificate(test::ClientIdentity(4096).certDer);
  EXPECT_EQ(Receive(ServerOpen(1)), uaBadCertificateInvalid);
}

// The two security operations of ActivateSession, checked by the mirror side that holds the
// server's private key.
TEST_F(ChannelSecurity, SessionPasswordAndSignatureFollowTheUserTokenPolicy) {
  uaStackClient bare;
  uaEncryptedData out;
  const std::string none(SecurityPolicyUri(uaSPNone));
  EXPECT_THROW(
      {
        try {
          bare.SessionEncryptPassword(ByteArray{1}, out, none);
        } catch (const EuaSecurityError& e) {
          EXPECT_STREQ(e.what(), uaNoCryptInstanceText);
          throw;
        }
      },
      EuaSecurityError);

  Prepare(uaSSignAndEncrypt, uaSPBasic256Sha256);
  try {
    fClient.SessionEncryptPassword(ByteArray{1}, out, none);
    ADD_FAILURE() << "None encrypted a password";
  } catch (const EuaSecurityError& e) {
    EXPECT_EQ(std::string(e.what()), uaUnsupportedPolicyText + none);
  }

  const ByteArray password = {'d', 'e', 'm', 'o', '-', 'p', 'w'};
  struct Case {
    TuaSecurePolicy policy;
    std::string_view encryption, signature;
  };
  for (const Case& c :
       {Case{uaSPBasic128Rsa15, uaAlgorithmUri::kRsa15, uaAlgorithmUri::kRsaSha1},
        Case{uaSPBasic256Sha256, uaAlgorithmUri::kRsaOaep, uaAlgorithmUri::kRsaSha256},
        Case{uaSPAes256_Sha256_RsaPss, uaAlgorithmUri::kRsaOaepSha256, uaAlgorithmUri::kRsaPssSha256}}) {
    const uaSecurityPolicyInfo& info = SecurityPolicyInfo(c.policy);
    fClient.SessionEncryptPassword(password, out, info.fUri);
    EXPECT_EQ(out.Algorithm, c.encryption) << info.fName;
    // The server decrypts a UInt32 length, then the password, then zero fill.
    fServer.Security()->asym().initRSADecrypt(cuUseLocalKey, info.fAsymmetricEncryptionPadding,
                                              info.fAsymmetricEncryptionHash);
    const ByteArray plain = fServer.Security()->DecryptRsaBlocks(
        info.fAsymmetricEncryptionPadding, info.fAsymmetricEncryptionHash, out.Data, 0, out.Data.size());
    ASSERT_GE(plain.size(), 4 + password.size()) << info.fName;
    EXPECT_EQ(plain[0], password.size());
    EXPECT_EQ(ByteArray(plain.begin() + 4, plain.begin() + 4 + static_cast<std::ptrdiff_t>(password.size())),
              password);

    const ByteArray data = SecureRandomBytes(64);
    uaEncryptedData sig;
    fClient.SessionSign(data, sig, info.fUri);
    EXPECT_EQ(sig.Algorithm, c.signature) << info.fName;
    // Checked with the client's certificate, as the server does.
    EXPECT_TRUE(fServer.Security()->Verify_Rsa(info.fAsymmetricSignaturePadding,
                                               info.fAsymmetricSignatureHash, data, sig.Data))
        << info.fName;
  }
}

}  // namespace
}  // namespace varo::ua
