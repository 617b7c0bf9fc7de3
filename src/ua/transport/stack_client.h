// SPDX-License-Identifier: MPL-2.0
// The top of the UA stack as the client sees it: one transport client and its secure channel,
// with callbacks for received responses, errors and transport failures. Received messages are
// dispatched by type; secure conversation chunks are checked (channel id, sequence number,
// token, security header, signature) and joined into messages. Matching a response to its
// request is the caller's work; this layer delivers the request id and the message.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/bytes.h"
#include "ua/transport/channel.h"
#include "ua/transport/tcp_connection.h"

namespace varo::ua {

struct uaEncryptedData {
  ByteArray Data;
  std::string Algorithm;
};

// Text raised by the security operations without a provider, and for a policy without
// security.
inline constexpr const char* uaNoCryptInstanceText = "noCryptInstance";
inline constexpr const char* uaUnsupportedPolicyText = "Unsupported security policy: ";
// Text raised when a received message's length differs from its header.
inline constexpr const char* uaStreamSizeText = "Error Message: Stream Size ";

class uaStackClient;

// A complete OpenSecureChannel, service or CloseSecureChannel response: the message starts
// with its encoding node id. The bytes are valid during the call only.
using TResponseMessage = std::function<void(uaChannel& aSender, uint32_t aRequestId, ByteSpan aMessage)>;
// An Error message (et_Critical, request id 0), or a message of aRequestId that the server
// aborted or that broke our receive limits (et_Abort).
using TErrorMessage =
    std::function<void(uaStackClient& aSender, const uaMessageError& aMsg, uint32_t aRequestId)>;
using THandleCriticalError = std::function<void(const std::string& aReason)>;
using TAckMessage = std::function<void(uaStackClient& aSender, const uaMessageAck& aMsg)>;

class uaStackClient final : public IuaMessageHandler {
 public:
  uaStackClient();
  // Closes the connection and joins the receive thread before the channel goes. Must not run
  // on the receive thread.
  ~uaStackClient() override;
  uaStackClient(const uaStackClient&) = delete;
  uaStackClient& operator=(const uaStackClient&) = delete;

  // Set before Connect; they run on the receive thread (critical errors of a failed send on
  // the sending thread). A callback must not wait for another response.
  TResponseMessage fOnReceivedMessage;
  TErrorMessage fOnErrorMessage;
  THandleCriticalError fHandleCriticalException;
  TAckMessage fOnAckMessage;

  // The limits offered in the Hello.
  uaMessageHello& MessageLimits() { return fChannel->ConnectionData().fLimits.fRequest; }

  // Resets the channel, opens the connection (connect errors propagate) and sends the Hello.
  // The Acknowledge arrives later, on the receive thread.
  bool Connect(std::string_view aUrl, std::string_view aProxy = {}, int aTimeOut = 0);
  void Disconnect();

  void SendOpenSecureChannelRequest(uint32_t aRequestId, const TuaObj& aObj) {
    fChannel->SendOpenSecureChannel(aRequestId, aObj);
  }
  void SendMessage(uint32_t aRequestId, const TuaObj& aObj) { fChannel->SendMessage(aRequestId, aObj); }
  void CloseSecureChannel(uint32_t aRequestId, const TuaObj& aObj) {
    fChannel->SendCloseSecureChannel(aRequestId, aObj);
  }

  // The user password of ActivateSession, encrypted with the server's key by the user-token
  // policy: UInt32 length, then the bytes.
  void SessionEncryptPassword(ByteSpan aDataToEncrypt, uaEncryptedData& aencryptedData,
                              std::string_view aSecurityPolicyUri);
  // The client signature of ActivateSession (with the channel's private key when
  // aserverCertificate is empty, else with aserverCertificate as key bytes and aPassword).
  void SessionSign(ByteSpan aDataToSign, uaEncryptedData& aSignData, std::string_view aSecurityPolicyUri,
                   ByteSpan aserverCertificate = {}, std::string_view aPassword = {});

  uaChannel& TcpChannel() { return *fChannel; }
  uaTcpClient& Client() { return *fClient; }

  // IuaMessageHandler
  void HandleInputMessage(ByteSpan aMessage) override;
  void OnCriticalError(const std::string& aReason) override;

 private:
  void ProcessAcknowledgeMessage();
  void ProcessErrorMessage();
  void ProcessMessage(const uaMsgHeader& aHeader, bool aAsymmetric);
  void CheckAsymmetricHeader(const uaMsgAsymmetricSecurityHeader& aHeader, uint32_t aChannelId);

  std::unique_ptr<uaTcpClient> fClient;
  std::unique_ptr<uaChannel> fChannel;
};

}  // namespace varo::ua
