// SPDX-License-Identifier: MPL-2.0
#include "ua/transport/stack_client.h"

#include "platform/strings.h"
#include "ua/security/security_error.h"
#include "ua/security/x509.h"

namespace varo::ua {

uaStackClient::uaStackClient()
    : fClient(std::make_unique<uaTcpClient>()), fChannel(std::make_unique<uaChannel>(fClient->getSocket())) {
  fClient->getSocket().SetHandler(this);
}

uaStackClient::~uaStackClient() {
  // Closing wakes a sender blocked in the socket; it then leaves the channel under the send
  // lock, which we take once so that neither the connection nor the channel goes while a
  // sender is still inside. The receive thread calls into the channel: stop it first too.
  fClient->Close();
  { std::lock_guard lock(fChannel->SendLock()); }
  fClient.reset();
  fChannel.reset();
}

bool uaStackClient::Connect(std::string_view aUrl, std::string_view aProxy, int aTimeOut) {
  fChannel->init();
  // A peer may not send more than we announce.
  fClient->getSocket().SetMaxReceiveSize(MessageLimits().fReceiveBufferSize);
  fClient->Connect(aUrl, aProxy, aTimeOut);
  fChannel->SendHelloMessage(aUrl);
  return true;
}

void uaStackClient::Disconnect() {
  fClient->Close();
}

void uaStackClient::OnCriticalError(const std::string& aReason) {
  // After CloseSecureChannel the server ends the connection: that is the expected end, not a
  // failure to report.
  if (fClient->getSocket().State() == uaCS_Close) return;
  if (fHandleCriticalException) fHandleCriticalException(aReason);
}

void uaStackClient::HandleInputMessage(ByteSpan aMessage) {
  uaTcpMessageReader& reader = fChannel->Reader();
  reader.SetInputStreamData(aMessage);
  reader.SetMaxMessageSize(0);
  const uaMsgHeader header = reader.ReadMessageHeader_();
  if (header.fMessageSize != aMessage.size()) throw EuaTcpError(uaStreamSizeText);
  const uint32_t type = uaTcp::getMessageType(header.fMessageType);
  if (header.fMessageType == uaTcpAcknowledge) {
    ProcessAcknowledgeMessage();
  } else if (header.fMessageType == uaTcpError) {
    ProcessErrorMessage();
  } else if (type == uaTcpOpenSecureChannel) {
    ProcessMessage(header, true);
  } else if (type == uaTcpMessage || type == uaTcpCloseSecureChannel) {
    ProcessMessage(header, false);
  } else if (type == uaTcp::getMessageType(uaTcpAcknowledge) || type == uaTcp::getMessageType(uaTcpError)) {
    // An Acknowledge or Error with another chunk letter: not meant for us, nothing to do.
  } else {
    // Whatever this is, the stream is no longer one we understand.
    throw EuaStatusError(uaBadTcpMessageTypeInvalid,
                         varo::Format("unknown message type %08x from the server", header.fMessageType));
  }
}

void uaStackClient::ProcessAcknowledgeMessage() {
  uaTcpConnectionLimits& limits = fChannel->ConnectionData().fLimits;
  uaMessageAck ack;
  fChannel->Reader().ReadMessageAcknowledge(ack);
  limits.fresponse = ack;
  fChannel->UpdateMaxSize(ack);
  if (fOnAckMessage) fOnAckMessage(*this, limits.fresponse);
}

void uaStackClient::ProcessErrorMessage() {
  uaMessageError error;
  fChannel->Reader().ReadErrorBody(error);
  error.fType = et_Critical;
  if (fOnErrorMessage) fOnErrorMessage(*this, error, 0);
}

void uaStackClient::CheckAsymmetricHeader(const uaMsgAsymmetricSecurityHeader& aHeader, uint32_t aChannelId) {
  uaChannel& ch = *fChannel;
  const uint32_t own = ch.SecureChannelId();
  if (own != 0 && aChannelId != own)
    throw EuaStatusError(
        uaBadSecureChannelIdInvalid,
        varo::Format("OpenSecureChannel response for channel %u on channel %u", aChannelId, own));
  const TuaSecurePolicy policy = ch.SecurityPolicy();
  const std::string expected =
      uaSecurityPolicies::uaSecurityPolicyToString(policy == uaSPNULL ? uaSPNone : policy);
  if (aHeader.fSecurityPolicyUri != expected)
    throw EuaStatusError(uaBadSecurityPolicyRejected, "the response uses security policy \"" +
                                                          aHeader.fSecurityPolicyUri + "\" instead of \"" +
                                                          expected + "\"");
  if (!uaSecurityPolicies::HasSecurityPolicy(policy)) return;
  const ByteArray& local = ch.LocalCertificate();
  if (local.empty() ||
      aHeader.fReceiverCertificateThumbprint != TTools::createThumbprint(LeafCertificate(local)))
    throw EuaStatusError(uaBadCertificateInvalid, "the response is not encrypted for our certificate");
  const ByteArray& remote = ch.RemoteCertificate();
  if (aHeader.fSenderCertificate.empty())
    throw EuaStatusError(uaBadCertificateInvalid, "the response carries no sender certificate");
  if (!remote.empty()) {
    const ByteSpan got = LeafCertificate(aHeader.fSenderCertificate);
    const ByteSpan want = LeafCertificate(remote);
    if (!std::equal(got.begin(), got.end(), want.begin(), want.end()))
      throw EuaStatusError(uaBadCertificateInvalid,
                           "the response is signed by another certificate than the server's");
  }
}

namespace {

// Passes the channel's reports on when the receive path leaves, after its locks are gone.
struct ReportsOnExit {
  uaChannel& fChannel;
  ~ReportsOnExit() {
    try {
      fChannel.DeliverReports();
    } catch (...) {
      // A report handler that raises must not replace the error being handled.
    }
  }
};

}  // namespace

void uaStackClient::ProcessMessage(const uaMsgHeader& aHeader, bool aAsymmetric) {
  uaChannel& ch = *fChannel;
  const ReportsOnExit reports{ch};
  uaTcpMessageReader& reader = ch.Reader();
  std::optional<uaReceivedMessage> msg;
  uint32_t channelId = 0;
  try {
    reader.Decoder().Read(channelId, "SecureChannelId");
    std::lock_guard lock(ch.TokenLock());
    if (aAsymmetric) {
      auto& d = ch.AsymDelegateRead();
      d.fHeader.fHeader.fBaseHeader = aHeader;
      d.fHeader.fHeader.fSecureChannelId = channelId;
      reader.ReadAsymmetricSecurityHeader(d.fHeader.fSecureHeader);
      CheckAsymmetricHeader(d.fHeader.fSecureHeader, channelId);
      msg = ch.ChunkDecoder().readMessageChunk(reader, aHeader, d);
    } else {
      auto& d = ch.SymmDelegate();
      if (ch.SecureChannelId() == 0)
        throw EuaStatusError(
            uaBadSecureChannelIdInvalid,
            varo::Format("service chunk for channel %u before the channel was opened", channelId));
      if (channelId != ch.SecureChannelId())
        throw EuaStatusError(uaBadSecureChannelIdInvalid, varo::Format("chunk for channel %u on channel %u",
                                                                       channelId, ch.SecureChannelId()));
      d.fReadHeader.fHeader.fBaseHeader = aHeader;
      d.fReadHeader.fHeader.fSecureChannelId = channelId;
      uint32_t tokenId = 0;
      reader.Decoder().Read(tokenId, "TokenId");
      d.SelectReadToken(tokenId);
      msg = ch.ChunkDecoder().readMessageChunk(reader, aHeader, d);
    }
  } catch (const EuaStatusError&) {
    ch.ChunkDecoder().Clear();
    throw;
  } catch (const EuaSecurityError& e) {
    ch.ChunkDecoder().Clear();
    throw EuaStatusError(uaBadSecurityChecksFailed, e.what());
  } catch (const varo::EVaroError& e) {
    ch.ChunkDecoder().Clear();
    throw EuaStatusError(uaBadDecodingError, e.what());
  }
  if (!msg) return;
  if (msg->fKind == uaReceivedMessage::rmComplete) {
    // The first response gives the channel its id.
    if (aAsymmetric && ch.SecureChannelId() == 0) {
      std::lock_guard lock(ch.SendLock());
      ch.SetSecureChannelId(channelId);
    }
    if (fOnReceivedMessage) fOnReceivedMessage(ch, msg->fRequestId, msg->fBody);
  } else {
    if (fOnErrorMessage) fOnErrorMessage(*this, msg->fError, msg->fRequestId);
    // A message over our limits fails its request at once and ends the connection: the
    // server has broken what it acknowledged.
    if (msg->fKind == uaReceivedMessage::rmFailed)
      throw EuaStatusError(msg->fError.fError, msg->fError.fReason);
  }
}

// ---------------------------------------------------------------------------------------
// Security operations of ActivateSession

namespace {

// The secured policy of a user-token or session policy URI, with its algorithms.
const uaSecurityPolicyInfo& SecuredPolicy(std::string_view aSecurityPolicyUri) {
  const TuaSecurePolicy policy = uaSecurityPolicies::StringToUaSecurityPolicy(aSecurityPolicyUri);
  if (!uaSecurityPolicies::HasSecurityPolicy(policy))
    throw EuaSecurityError(uaUnsupportedPolicyText + std::string(aSecurityPolicyUri));
  return SecurityPolicyInfo(policy);
}

}  // namespace

void uaStackClient::SessionEncryptPassword(ByteSpan aDataToEncrypt, uaEncryptedData& aencryptedData,
                                           std::string_view aSecurityPolicyUri) {
  uaMessageSecurityImpl* s = fChannel->Security();
  if (!s) throw EuaSecurityError(uaNoCryptInstanceText);
  const uaSecurityPolicyInfo& info = SecuredPolicy(aSecurityPolicyUri);
  ByteBuffer plain;
  plain.writeLE<uint32_t>(static_cast<uint32_t>(aDataToEncrypt.size()));
  plain.write(aDataToEncrypt);
  aencryptedData.Data = s->EncryptRsaPlainBlockSize(info.fAsymmetricEncryptionPadding,
                                                    info.fAsymmetricEncryptionHash, plain.view());
  aencryptedData.Algorithm = std::string(info.fAsymmetricEncryptionUri);
}

void uaStackClient::SessionSign(ByteSpan aDataToSign, uaEncryptedData& aSignData,
                                std::string_view aSecurityPolicyUri, ByteSpan aserverCertificate,
                                std::string_view aPassword) {
  uaMessageSecurityImpl* s = fChannel->Security();
  if (!s) throw EuaSecurityError(uaNoCryptInstanceText);
  // PSS signatures carry the standard's own URI (the policy table has it).
  const uaSecurityPolicyInfo& info = SecuredPolicy(aSecurityPolicyUri);
  const TRSAPadding padding = info.fAsymmetricSignaturePadding;
  const THashAlgorithm hash = info.fAsymmetricSignatureHash;
  aSignData.Data = aserverCertificate.empty()
                       ? s->Sign_Rsa(padding, hash, aDataToSign)
                       : s->Sign_Rsa(padding, hash, aDataToSign, aserverCertificate, aPassword);
  if (aSignData.Data.empty()) throw EuaSecurityError("The signature could not be created");
  aSignData.Algorithm = std::string(info.fAsymmetricSignatureUri);
}

}  // namespace varo::ua
