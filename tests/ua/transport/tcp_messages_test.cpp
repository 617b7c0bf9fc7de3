// SPDX-License-Identifier: MPL-2.0
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"
#include "ua/transport/tcp_message_io.h"
#include "ua/transport/tcp_messages.h"

namespace varo::ua {
namespace {

using varo::test::Hex;
using varo::test::ToHex;

// ---------------------------------------------------------------------------------------
// Type words

TEST(UaTcpTypeWord, LettersAndMasks) {
  struct Case {
    const char* letters;
    uint32_t word;
    uint32_t messageType;
    uint32_t chunkType;
  };
  const Case cases[] = {
      {"HELF", uaTcpHello, 0x004C4548, uaTcpChunkFinal},
      {"ACKF", uaTcpAcknowledge, 0x004B4341, uaTcpChunkFinal},
      {"ERRF", uaTcpError, 0x00525245, uaTcpChunkFinal},
      {"OPNF", uaTcpOpenSecureChannel | uaTcpChunkFinal, uaTcpOpenSecureChannel, uaTcpChunkFinal},
      {"MSGC", uaTcpMessage | uaTcpChunkIntermediate, uaTcpMessage, uaTcpChunkIntermediate},
      {"MSGA", uaTcpMessage | uaTcpChunkAbort, uaTcpMessage, uaTcpChunkAbort},
      {"CLOF", uaTcpCloseSecureChannel | uaTcpChunkFinal, uaTcpCloseSecureChannel, uaTcpChunkFinal},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.letters);
    uint32_t fromBytes = 0;
    std::memcpy(&fromBytes, c.letters, 4);
    EXPECT_EQ(fromBytes, c.word);
    EXPECT_EQ(uaTcp::getMessageType(c.word), c.messageType);
    EXPECT_EQ(uaTcp::getChunkType(c.word), c.chunkType);
    EXPECT_EQ(uaTcp::isFinal(c.word), c.chunkType == uaTcpChunkFinal);
    EXPECT_EQ(uaTcp::IsIntermediate(c.word), c.chunkType == uaTcpChunkIntermediate);
    EXPECT_EQ(uaTcp::isAbort(c.word), c.chunkType == uaTcpChunkAbort);
    EXPECT_TRUE(uaTcp::isMessageType(c.word, c.messageType | uaTcpChunkAbort));
  }
  EXPECT_FALSE(uaTcp::isMessageType(uaTcpMessage | uaTcpChunkFinal, uaTcpOpenSecureChannel));
  EXPECT_TRUE(uaTcp::isType(uaTcpHello, uaTcpHello));
  EXPECT_FALSE(uaTcp::isType(uaTcpMessage | uaTcpChunkFinal, uaTcpMessage | uaTcpChunkIntermediate));
}

// ---------------------------------------------------------------------------------------
// Hello, Acknowledge, Error writers

TEST(UaTcpWriter, HelloForShortUrlIs48Bytes) {
  const ByteArray hello = BuildHelloMessage("opc.tcp://h:4840");
  ASSERT_EQ(hello.size(), 48u);
  EXPECT_EQ(ToHex(hello), ToHex(Hex("48454C46 30000000 00000000 FFFF0000 FFFF0000 00000001 00000000"
                                    "10000000 6F70632E7463703A2F2F683A34383430")));
}

TEST(UaTcpWriter, HelloAlwaysSendsProtocolVersionZeroAndItsLimits) {
  uaMessageHello hello;
  hello.fProtocolVersion = 7;  // not used on the wire
  hello.fReceiveBufferSize = 8192;
  hello.fSendBufferSize = 16384;
  hello.fMaxMessageSize = 0;
  hello.fMaxChunkCount = 3;
  hello.fEndpointUrl = "opc.tcp://plc:4840/UA/Server";
  uaTcpMessageWriter w;
  w.WriteMessageHello(hello);

  uaTcpMessageReader r;
  r.SetInputStreamData(w.View());
  const uaMsgHeader h = r.ReadMessageHeader_();
  EXPECT_EQ(h.fMessageType, uaTcpHello);
  EXPECT_EQ(h.fMessageSize, w.Buffer().size());
  uaMessageHello back;
  r.ReadMessageHello(back);
  EXPECT_EQ(back.fProtocolVersion, 0u);
  hello.fProtocolVersion = 0;
  EXPECT_EQ(back, hello);
  EXPECT_EQ(r.Remaining(), 0u);
}

TEST(UaTcpWriter, EachCompleteMessageStartsFromAnEmptyBuffer) {
  uaTcpMessageWriter w;
  w.WriteMessageHello(uaMessageHello{});
  uaMessageAck ack;
  ack.fProtocolVersion = 5;
  w.WriteMessageAcknowledge(ack);
  EXPECT_EQ(ToHex(w.View()), ToHex(Hex("41434B46 1C000000 00000000 FFFF0000 FFFF0000 00000001 00000000")));
  uaMessageError err;
  err.fError = 0x80820000;
  err.fReason = "bad url";
  w.WriteMessageError(err);
  EXPECT_EQ(ToHex(w.View()), ToHex(Hex("45525246 17000000 00008280 07000000 6261642075726C")));
}

TEST(UaTcpWriter, UrlLongerThan4096BytesIsRefused) {
  EXPECT_NO_THROW(BuildHelloMessage(std::string(uaTcpMaxUrlLength, 'u')));
  EXPECT_THROW(BuildHelloMessage(std::string(uaTcpMaxUrlLength + 1, 'u')), EuaTcpError);
}

TEST(UaTcpWriter, PatchHelpers) {
  uaTcpMessageWriter w;
  w.WriteMessageAcknowledge(uaMessageAck{});
  w.UpdateMessageType(uaTcpError);
  w.UpdateMessageSize(0x01020304);
  w.UpdateMessageValue(8, 0xAABBCCDD);
  EXPECT_EQ(ToHex(ByteSpan(w.View().data(), 12)), ToHex(Hex("45525246 04030201 DDCCBBAA")));
  EXPECT_THROW(w.UpdateMessageValue(w.Buffer().size() - 3, 1), EReadError);

  ByteArray bytes = Hex("00000000 00");
  uaTcpMessageWriter::UpdateMessageValue(bytes, 1, 0x11223344);
  EXPECT_EQ(ToHex(bytes), ToHex(Hex("00 44332211")));
  EXPECT_THROW(uaTcpMessageWriter::UpdateMessageValue(bytes, 2, 1), EReadError);
  EXPECT_THROW(uaTcpMessageWriter::UpdateMessageValue(bytes, SIZE_MAX - 1, 1), EReadError);
}

// ---------------------------------------------------------------------------------------
// Secure conversation headers

uaMsgAsymmetricHeader SampleAsymmetric() {
  uaMsgAsymmetricHeader h;
  h.fHeader.fBaseHeader.fMessageType = uaTcpOpenSecureChannel | uaTcpChunkFinal;
  h.fHeader.fSecureChannelId = 0;
  h.fSecureHeader.fSecurityPolicyUri = "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256";
  h.fSecureHeader.fSenderCertificate = Hex("30820101 0203");
  h.fSecureHeader.fReceiverCertificateThumbprint = ByteArray(20, 0xAB);
  h.fSequencHeader.fSequenceNumber = 51;
  h.fSequencHeader.fRequestId = 1;
  return h;
}

TEST(UaTcpHeaders, AsymmetricRoundTrip) {
  uaTcpMessageWriter w;
  uaMsgAsymmetricHeader h = SampleAsymmetric();
  w.WriteAsymmetricMessage(h);
  w.encoder.WriteRawBytes(Hex("DEADBEEF"));  // body
  w.UpdateMessageSize();
  // 8 header + 4 channel id + (4 + n) uri + (4 + 6) cert + (4 + 20) thumbprint.
  EXPECT_EQ(w.UncryptHeaderSize(), 8u + 4 + 4 + h.fSecureHeader.fSecurityPolicyUri.size() + 10 + 24);

  uaTcpMessageReader r;
  r.SetInputStreamData(w.View());
  uaMsgAsymmetricHeader back;
  back.fHeader.fBaseHeader = r.ReadMessageHeader_();
  r.ReadRequestAsymmetricMessageHeader(back);
  h.fHeader.fBaseHeader.fMessageSize = static_cast<uint32_t>(w.Buffer().size());
  EXPECT_EQ(back, h);
  EXPECT_EQ(r.Position(), w.UncryptHeaderSize() + 8);
  EXPECT_EQ(r.Remaining(), 4u);
}

TEST(UaTcpHeaders, AsymmetricPolicyNoneWritesNullCertificates) {
  uaMsgAsymmetricHeader h;
  h.fHeader.fBaseHeader.fMessageType = uaTcpOpenSecureChannel | uaTcpChunkFinal;
  h.fSecureHeader.fSecurityPolicyUri = "P";
  h.fSequencHeader = {1, 2};
  uaTcpMessageWriter w;
  w.WriteAsymmetricMessage(h);
  w.UpdateMessageSize();
  EXPECT_EQ(ToHex(w.View()), ToHex(Hex("4F504E46 21000000 00000000 01000000 50 FFFFFFFF FFFFFFFF"
                                       "01000000 02000000")));
}

TEST(UaTcpHeaders, SymmetricRoundTrip) {
  uaMsgSymmetricHeader h;
  h.fHeader.fBaseHeader.fMessageType = uaTcpMessage | uaTcpChunkIntermediate;
  h.fHeader.fSecureChannelId = 0x01020304;
  h.fSecureHeader.ftokenId = 9;
  h.fSequencHeader = {0xFFFFFBFF, 77};
  uaTcpMessageWriter w;
  w.WriteSymmetricMessage(h);
  w.UpdateMessageSize();
  EXPECT_EQ(ToHex(w.View()), ToHex(Hex("4D534743 18000000 04030201 09000000 FFFBFFFF 4D000000")));
  EXPECT_EQ(w.UncryptHeaderSize(), 16u);

  uaTcpMessageReader r;
  r.SetInputStreamData(w.View());
  uaMsgSymmetricHeader back;
  back.fHeader.fBaseHeader = r.ReadMessageHeader_();
  r.ReadRequestSymetricMessageHeader(back);
  h.fHeader.fBaseHeader.fMessageSize = 24;
  EXPECT_EQ(back, h);
  EXPECT_EQ(r.Remaining(), 0u);
}

TEST(UaTcpHeaders, EveryTruncationOfAnAsymmetricChunkRaises) {
  uaTcpMessageWriter w;
  w.WriteAsymmetricMessage(SampleAsymmetric());
  w.UpdateMessageSize();
  const ByteArray full(w.View().begin(), w.View().end());
  for (size_t n = 0; n < full.size(); ++n) {
    SCOPED_TRACE(n);
    uaTcpMessageReader r;
    r.SetMaxMessageSize(0);
    r.SetInputStreamData(ByteSpan(full.data(), n));
    uaMsgAsymmetricHeader back;
    // The header announces the full size, so the reader refuses it already; when the header
    // is skipped, the fields themselves must not read past the end.
    EXPECT_THROW(r.ReadMessageHeader_(), EVaroError);
    if (n >= 8) {
      r.Seek(8);
      EXPECT_THROW(r.ReadRequestAsymmetricMessageHeader(back), EVaroError);
    }
  }
}

TEST(UaTcpHeaders, HostileCertificateLengthIsAnErrorNotAnAllocation) {
  // Channel id, policy "P", then a certificate announcing 2 GiB.
  uaTcpMessageReader r;
  r.SetInputStreamData(Hex("00000000 01000000 50 FFFFFF7F 0102"));
  uaMsgAsymmetricHeader h;
  EXPECT_THROW(r.ReadRequestAsymmetricMessageHeader(h), EVaroError);
}

// ---------------------------------------------------------------------------------------
// Header checks of the reader

TEST(UaTcpReader, MessageHeaderChecks) {
  struct Case {
    const char* name;
    const char* bytes;
    uint32_t limit;
    bool ok;
  };
  const Case cases[] = {
      {"exactly the header", "41434B46 08000000", 65535, true},
      {"size 0", "41434B46 00000000", 65535, false},
      {"size 7", "41434B46 07000000", 65535, false},
      {"size beyond the bytes", "41434B46 09000000", 65535, false},
      {"size 4 GiB", "41434B46 FFFFFFFF", 0, false},
      {"above the limit", "41434B46 0C000000 00000000", 11, false},
      {"at the limit", "41434B46 0C000000 00000000", 12, true},
      {"no limit", "41434B46 0C000000 00000000", 0, true},
      {"truncated header", "41434B46 0800", 65535, false},
      {"nothing", "", 65535, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uaTcpMessageReader r;
    r.SetMaxMessageSize(c.limit);
    r.SetInputStreamData(Hex(c.bytes));
    if (c.ok) {
      EXPECT_NO_THROW(r.ReadMessageHeader_());
    } else {
      EXPECT_THROW(r.ReadMessageHeader_(), EVaroError);
    }
  }
}

TEST(UaTcpReader, CheckMessageHeaderBeforeTheBodyArrives) {
  EXPECT_NO_THROW(uaTcpMessageReader::CheckMessageHeader({uaTcpAcknowledge, 28}, 65535));
  EXPECT_THROW(uaTcpMessageReader::CheckMessageHeader({uaTcpAcknowledge, 3}, 65535), EuaTcpError);
  EXPECT_THROW(uaTcpMessageReader::CheckMessageHeader({uaTcpAcknowledge, 65536}, 65535), EuaTcpError);
  EXPECT_NO_THROW(uaTcpMessageReader::CheckMessageHeader({uaTcpAcknowledge, 0xFFFFFFFF}, 0));
}

TEST(UaTcpReader, ReaderBufferIsReplacedByEachMessage) {
  uaTcpMessageReader r;
  r.SetInputStreamData(Hex("41434B46 1C000000 00000000 00000100 00200000 00000001 40000000"));
  EXPECT_EQ(r.ReadMessageHeader_().fMessageSize, 28u);
  uaMessageAck ack;
  r.ReadMessageAcknowledge(ack);
  EXPECT_EQ(ack.fReceiveBufferSize, 65536u);
  EXPECT_EQ(ack.fSendBufferSize, 8192u);
  EXPECT_EQ(ack.fMaxMessageSize, 16777216u);
  EXPECT_EQ(ack.fMaxChunkCount, 64u);
  r.SetInputStreamData(Hex("45525246 08000000"));
  EXPECT_EQ(r.Position(), 0u);
  EXPECT_EQ(r.ReadMessageHeader_().fMessageType, uaTcpError);
  EXPECT_THROW(r.ReadMessageHeader_(), EVaroError);
}

TEST(UaTcpReader, AcknowledgeBodyTruncated) {
  uaTcpMessageReader r;
  r.SetInputStreamData(Hex("00000000 00000100 00200000 000000"));
  uaMessageAck ack;
  EXPECT_THROW(r.ReadMessageAcknowledge(ack), EVaroError);
}

TEST(UaTcpReader, HelloUrlChecks) {
  const ByteArray limits = Hex("00000000 FFFF0000 FFFF0000 00000001 00000000");
  auto read = [&](const ByteArray& tail) {
    ByteArray body = limits;
    body.insert(body.end(), tail.begin(), tail.end());
    uaTcpMessageReader r;
    r.SetInputStreamData(body);
    uaMessageHello hello;
    r.ReadMessageHello(hello);
    return hello.fEndpointUrl;
  };
  EXPECT_EQ(read(Hex("01000000 41")), "A");
  EXPECT_EQ(read(Hex("FFFFFFFF")), "");
  EXPECT_THROW(read(Hex("05000000 41")), EuaTcpError);  // beyond the message
  EXPECT_THROW(read(Hex("FFFFFF7F 41")), EuaTcpError);  // 2 GiB
  EXPECT_THROW(read(Hex("01100000")), EuaTcpError);     // 4097 bytes announced
  ByteArray longUrl = Hex("00100000");
  longUrl.resize(4 + 4096, 'x');
  EXPECT_EQ(read(longUrl).size(), 4096u);
}

// ---------------------------------------------------------------------------------------
// Error body

ByteArray ErrorBody(uint32_t code, int32_t announced, size_t present) {
  ByteArray b(8);
  std::memcpy(b.data(), &code, 4);
  std::memcpy(b.data() + 4, &announced, 4);
  b.resize(8 + present, 'r');
  return b;
}

TEST(UaTcpReader, ErrorBodyReason) {
  struct Case {
    const char* name;
    int32_t announced;
    size_t present;
    bool ok;
    size_t reasonSize;
  };
  const Case cases[] = {
      {"short reason", 7, 7, true, 7},
      {"null reason", -1, 0, true, 0},
      {"negative length", -100, 0, true, 0},
      {"exactly 4096", 4096, 4096, true, 4096},
      {"longer than 4096 is cut", 5000, 5000, true, 4096},
      {"beyond the message", 100, 99, false, 0},
      {"2 GiB announced", 0x7FFFFFFF, 10, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uaTcpMessageReader r;
    r.SetInputStreamData(ErrorBody(0x80820000, c.announced, c.present));
    uaMessageError err;
    err.fReason = "stale";
    if (!c.ok) {
      EXPECT_THROW(r.ReadErrorBody(err), EuaTcpError);
      continue;
    }
    r.ReadErrorBody(err);
    EXPECT_EQ(err.fError, 0x80820000u);
    EXPECT_EQ(err.fReason, std::string(c.reasonSize, 'r'));
    EXPECT_EQ(r.Remaining(), 0u) << "the rest of a long reason is skipped";
  }
}

TEST(UaTcpReader, ErrorRoundTripAndWriterCut) {
  uaMessageError err;
  err.fError = 0x80010000;
  err.fReason = std::string(5000, 'z');
  uaTcpMessageWriter w;
  w.WriteMessageError(err);
  EXPECT_EQ(w.Buffer().size(), 8u + 8 + 4096);
  uaTcpMessageReader r;
  r.SetInputStreamData(w.View());
  EXPECT_EQ(r.ReadMessageHeader_().fMessageType, uaTcpError);
  uaMessageError back;
  r.ReadErrorBody(back);
  EXPECT_EQ(back.fError, err.fError);
  EXPECT_EQ(back.fReason, std::string(4096, 'z'));
  EXPECT_TRUE(back.isCritical());
}

// ---------------------------------------------------------------------------------------
// Negotiation

uaMessageAck Ack(uint32_t recv, uint32_t send, uint32_t maxMessage, uint32_t maxChunks) {
  uaMessageAck a;
  a.fReceiveBufferSize = recv;
  a.fSendBufferSize = send;
  a.fMaxMessageSize = maxMessage;
  a.fMaxChunkCount = maxChunks;
  return a;
}

TEST(UaTcpNegotiation, MinLimitTreatsZeroAsNoLimit) {
  EXPECT_EQ(MinLimit(0, 0), 0u);
  EXPECT_EQ(MinLimit(0, 64), 64u);
  EXPECT_EQ(MinLimit(64, 0), 64u);
  EXPECT_EQ(MinLimit(64, 65), 64u);
  EXPECT_EQ(MinLimit(0xFFFFFFFF, 1), 1u);
}

TEST(UaTcpNegotiation, PerDirectionTable) {
  struct Case {
    const char* name;
    uaMessageAck ack;
    uaDirectionLimits send;
    uaDirectionLimits receive;
  };
  const Case cases[] = {
      {"8192 buffers, no message or chunk limit",
       Ack(8192, 8192, 0, 0),
       {8192, 16777216, 0},
       {8192, 16777216, 0}},
      {"larger buffers than ours", Ack(1048576, 1048576, 0, 0), {65535, 16777216, 0}, {65535, 16777216, 0}},
      {"buffers differ per direction", Ack(16384, 32768, 0, 0), {16384, 16777216, 0}, {32768, 16777216, 0}},
      {"server takes smaller messages",
       Ack(65535, 65535, 1000000, 0),
       {65535, 1000000, 0},
       {65535, 16777216, 0}},
      {"server takes larger messages",
       Ack(65535, 65535, 0x7FFFFFFF, 0),
       {65535, 16777216, 0},
       {65535, 16777216, 0}},
      // We announced no chunk limit; the server's limit still bounds what we send.
      {"server chunk limit", Ack(65535, 65535, 0, 64), {65535, 16777216, 64}, {65535, 16777216, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uaTcpConnectionLimits limits;
    limits.UpdateMaxSize(c.ack);
    EXPECT_EQ(limits.SendLimits(), c.send);
    EXPECT_EQ(limits.ReceiveLimits(), c.receive);
    EXPECT_EQ(limits.fresponse, c.ack);
  }
}

TEST(UaTcpNegotiation, ExplicitLocalLimits) {
  uaTcpConnectionLimits limits;
  uaMessageLimits local;
  local.fReceiveBufferSize = 1 << 20;
  local.fSendBufferSize = 1 << 20;
  local.fMaxMessageSize = 0;
  local.fMaxChunkCount = 10;
  limits.UpdateMaxSize(local, Ack(1 << 18, 1 << 19, 0, 0));
  EXPECT_EQ(limits.SendLimits(), (uaDirectionLimits{1 << 18, 0, 10}));
  EXPECT_EQ(limits.ReceiveLimits(), (uaDirectionLimits{1 << 19, 0, 10}));
}

TEST(UaTcpNegotiation, BuffersBelow8192AreRejectedAndChangeNothing) {
  struct Case {
    const char* name;
    uaMessageAck ack;
    const char* field;
  };
  const Case cases[] = {
      {"all zero", Ack(0, 0, 0, 0), "ReceiveBufferSize 0"},
      {"receive 4096", Ack(4096, 8192, 0, 0), "ReceiveBufferSize 4096"},
      {"send 8191", Ack(8192, 8191, 0, 0), "SendBufferSize 8191"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uaTcpConnectionLimits limits;
    try {
      limits.UpdateMaxSize(c.ack);
      ADD_FAILURE() << "accepted";
    } catch (const EuaTcpError& e) {
      EXPECT_NE(std::string(e.what()).find(c.field), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("8192"), std::string::npos) << e.what();
    }
    // Until a valid Acknowledge arrives the defaults stay.
    EXPECT_EQ(limits.fHandShakeLimits, uaMessageAck{});
    EXPECT_EQ(limits.fresponse, uaMessageAck{});
  }
}

TEST(UaTcpNegotiation, DefaultsBeforeAnyAcknowledge) {
  uaTcpConnectionData data;
  EXPECT_EQ(data.SendBufferSize(), 65535u);
  EXPECT_EQ(data.fLimits.ReceiveLimits(), (uaDirectionLimits{65535, 16777216, 0}));
  EXPECT_EQ(data.fLimits.fRequest.fEndpointUrl, "");
}

// ---------------------------------------------------------------------------------------
// Connection data

TEST(UaTcpConnectionData, SequenceNumbersStartAtOneAndWrapBelow1024) {
  uaTcpConnectionData d;
  EXPECT_EQ(d.getNextSequenceNumber(), 1u);
  EXPECT_EQ(d.getNextSequenceNumber(), 2u);
  EXPECT_EQ(d.fSequenceHeader.fSequenceNumber, 2u);
  d.ResetSequenceNumber();
  EXPECT_EQ(d.getNextSequenceNumber(), 1u);
  d.fSequenceHeader.fSequenceNumber = uaMaxSequenceNumber - 1;
  EXPECT_EQ(d.getNextSequenceNumber(), uaMaxSequenceNumber);
  EXPECT_EQ(d.getNextSequenceNumber(), 1u);
  d.fSequenceHeader.fSequenceNumber = 0xFFFFFFFF;
  EXPECT_EQ(d.getNextSequenceNumber(), 1u) << "never 0";
}

TEST(UaTcpConnectionData, SecurityModeAndPolicy) {
  struct ModeCase {
    TuaSecureMode mode;
    bool sign, encrypt;
  };
  for (const ModeCase& c : {ModeCase{uaSNULL, false, false}, ModeCase{uaSNone, false, false},
                            ModeCase{uaSSign, true, false}, ModeCase{uaSSignAndEncrypt, true, true}}) {
    uaTcpConnectionData d;
    d.fMessageSecurityMode = c.mode;
    EXPECT_EQ(d.IsMessageSecurity(), c.sign) << int(c.mode);
    EXPECT_EQ(d.IsMessageSecuritySign(), c.sign) << int(c.mode);
    EXPECT_EQ(d.IsMessageSecurityEncrypt(), c.encrypt) << int(c.mode);
  }
  struct PolicyCase {
    TuaSecurePolicy policy;
    uint32_t nonce;
  };
  for (const PolicyCase& c :
       {PolicyCase{uaSPNone, 0}, PolicyCase{uaSPBasic128Rsa15, 16}, PolicyCase{uaSPBasic256, 32},
        PolicyCase{uaSPBasic256Sha256, 32}, PolicyCase{uaSPAes128_Sha256_RsaOaep, 32},
        PolicyCase{uaSPAes256_Sha256_RsaPss, 32}}) {
    uaTcpConnectionData d;
    d.fSecurityPolicy = c.policy;
    EXPECT_EQ(d.GetNonceLength(), c.nonce) << int(c.policy);
  }
}

TEST(UaTcpConnectionData, CertificatesByUsage) {
  uaTcpConnectionData d;
  d.setCertificate(cuUseRemoteKey, Hex("0102"));
  d.setCertificate(cuUseLocalKey, Hex("0304"));
  EXPECT_EQ(d.fRemoteCertificate, Hex("0102"));
  EXPECT_EQ(d.fLocalCertificate, Hex("0304"));
  EXPECT_EQ(d.getCertificate(cuUseRemoteKey), Hex("0102"));
  EXPECT_EQ(d.getCertificate(cuUseLocalKey), Hex("0304"));
}

TEST(UaTcpReader, WriteRawBytesCutsTheStream) {
  ByteBuffer b(Hex("0102030405"));
  b.seek(2);
  uaTcpMessageReader::WriteRawBytes(b, Hex("AA"));
  EXPECT_EQ(ToHex(b.view()), ToHex(Hex("0102AA")));
}

}  // namespace
}  // namespace varo::ua
