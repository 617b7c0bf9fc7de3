// SPDX-License-Identifier: MPL-2.0
// The framing of the UA TCP transport as the client speaks it: message type words and chunk
// markers, the 8-byte message header, the Hello / Acknowledge / Error bodies, the headers of
// secure conversation chunks, the transport limits with their negotiation, and the per-channel
// connection data.
#pragma once

#include <cstdint>
#include <string>

#include "platform/bytes.h"
#include "platform/error.h"
#include "ua/encoding/builtin_types.h"
#include "ua/security/policy.h"

namespace varo::ua {

// A UA TCP message or header that is malformed, hostile or outside the negotiated limits.
class EuaTcpError : public varo::EVaroError {
 public:
  using EVaroError::EVaroError;
};

// ---------------------------------------------------------------------------------------
// Message type words. The four bytes in stream order are three letters naming the message
// and one chunk letter; read as a little-endian UInt32 the low 24 bits are the message type
// and the high byte the chunk type.

inline constexpr uint32_t uaTcpHello = 0x464C4548;               // "HELF"
inline constexpr uint32_t uaTcpAcknowledge = 0x464B4341;         // "ACKF"
inline constexpr uint32_t uaTcpError = 0x46525245;               // "ERRF"
inline constexpr uint32_t uaTcpOpenSecureChannel = 0x004E504F;   // "OPN" + chunk
inline constexpr uint32_t uaTcpMessage = 0x0047534D;             // "MSG" + chunk
inline constexpr uint32_t uaTcpCloseSecureChannel = 0x004F4C43;  // "CLO" + chunk

inline constexpr uint32_t uaTcpChunkFinal = 0x46000000;         // 'F'
inline constexpr uint32_t uaTcpChunkIntermediate = 0x43000000;  // 'C'
inline constexpr uint32_t uaTcpChunkAbort = 0x41000000;         // 'A'

inline constexpr uint32_t uaTcpMessageTypeMask = 0x00FFFFFF;
inline constexpr uint32_t uaTcpChunkTypeMask = 0xFF000000;

// Size of the message header (type word and size) every message starts with.
inline constexpr uint32_t uaTcpHeaderSize = 8;
// The smallest send or receive buffer a peer may announce.
inline constexpr uint32_t uaTcpMinBufferSize = 8192;
// The longest endpoint URL a Hello may carry and the most reason bytes kept from an Error.
inline constexpr uint32_t uaTcpMaxUrlLength = 4096;
inline constexpr uint32_t uaTcpMaxReasonLength = 4096;

// Static operations on a message type word.
struct uaTcp {
  static constexpr uint32_t getChunkType(uint32_t aType) { return aType & uaTcpChunkTypeMask; }
  static constexpr uint32_t getMessageType(uint32_t aType) { return aType & uaTcpMessageTypeMask; }
  static constexpr bool isFinal(uint32_t aType) { return getChunkType(aType) == uaTcpChunkFinal; }
  static constexpr bool IsIntermediate(uint32_t aType) {
    return getChunkType(aType) == uaTcpChunkIntermediate;
  }
  static constexpr bool isAbort(uint32_t aType) { return getChunkType(aType) == uaTcpChunkAbort; }
  // Compares the message types (low 24 bits) only.
  static constexpr bool isMessageType(uint32_t aActualType, uint32_t aExpectedType) {
    return getMessageType(aActualType) == getMessageType(aExpectedType);
  }
  static constexpr bool isType(uint32_t aActualType, uint32_t aExpectedType) {
    return aActualType == aExpectedType;
  }
};

// ---------------------------------------------------------------------------------------
// Headers

struct uaMsgHeader {
  uint32_t fMessageType = 0;
  // Total length of the message or chunk in bytes, this header included.
  uint32_t fMessageSize = 0;
  friend bool operator==(const uaMsgHeader&, const uaMsgHeader&) = default;
};

struct uaConversationMsgHeader {
  uaMsgHeader fBaseHeader;
  uint32_t fSecureChannelId = 0;
  friend bool operator==(const uaConversationMsgHeader&, const uaConversationMsgHeader&) = default;
};

struct uaMsgAsymmetricSecurityHeader {
  std::string fSecurityPolicyUri;
  ByteArray fSenderCertificate;  // DER
  ByteArray fReceiverCertificateThumbprint;
  friend bool operator==(const uaMsgAsymmetricSecurityHeader&,
                         const uaMsgAsymmetricSecurityHeader&) = default;
};

struct uaMsgSymmetricSecurityHeader {
  uint32_t ftokenId = 0;
  friend bool operator==(const uaMsgSymmetricSecurityHeader&, const uaMsgSymmetricSecurityHeader&) = default;
};

struct uaMsgSequencHeader {
  uint32_t fSequenceNumber = 0;
  uint32_t fRequestId = 0;
  friend bool operator==(const uaMsgSequencHeader&, const uaMsgSequencHeader&) = default;
};

// The headers in front of a secure conversation chunk's body.
struct uaMsgChunkHeader {
  uaConversationMsgHeader fHeader;
  uaMsgSequencHeader fSequencHeader;
  friend bool operator==(const uaMsgChunkHeader&, const uaMsgChunkHeader&) = default;
};

// MSG and CLO chunks.
struct uaMsgSymmetricHeader : uaMsgChunkHeader {
  uaMsgSymmetricSecurityHeader fSecureHeader;
  friend bool operator==(const uaMsgSymmetricHeader&, const uaMsgSymmetricHeader&) = default;
};

// OPN chunks.
struct uaMsgAsymmetricHeader : uaMsgChunkHeader {
  uaMsgAsymmetricSecurityHeader fSecureHeader;
  friend bool operator==(const uaMsgAsymmetricHeader&, const uaMsgAsymmetricHeader&) = default;
};

// ---------------------------------------------------------------------------------------
// Hello, Acknowledge, Error

struct uaMessageLimits {
  uint32_t fReceiveBufferSize = 0xFFFF;
  uint32_t fSendBufferSize = 0xFFFF;
  uint32_t fMaxMessageSize = 0x1000000;  // 0 = no limit
  uint32_t fMaxChunkCount = 0;           // 0 = no limit

  void Assign(const uaMessageLimits& aSrc) { *this = aSrc; }
  friend bool operator==(const uaMessageLimits&, const uaMessageLimits&) = default;
};

struct uaMessageAck : uaMessageLimits {
  uint32_t fProtocolVersion = 0;
  friend bool operator==(const uaMessageAck&, const uaMessageAck&) = default;
};

struct uaMessageHello : uaMessageAck {
  std::string fEndpointUrl;
  friend bool operator==(const uaMessageHello&, const uaMessageHello&) = default;
};

enum TUaErrorType : uint8_t { et_Critical = 0, et_Abort = 1 };

struct uaMessageError {
  uaStatusCode fError = 0;
  std::string fReason;
  TUaErrorType fType = et_Critical;

  bool isCritical() const { return fType == et_Critical; }
  friend bool operator==(const uaMessageError&, const uaMessageError&) = default;
};

// The limits of one direction of the connection.
struct uaDirectionLimits {
  uint32_t BufferSize = 0;      // largest chunk in bytes
  uint32_t MaxMessageSize = 0;  // 0 = no limit
  uint32_t MaxChunkCount = 0;   // 0 = no limit
  friend bool operator==(const uaDirectionLimits&, const uaDirectionLimits&) = default;
};

// The limit two peers can both live with when 0 stands for "no limit".
constexpr uint32_t MinLimit(uint32_t a, uint32_t b) {
  if (a == 0) return b;
  if (b == 0) return a;
  return a < b ? a : b;
}

// The limits the client offers, the last Acknowledge and the negotiated result.
//
// Negotiation is per direction. What we receive is bounded by what we announced in the
// Hello (the server must not send larger chunks or messages), further lowered by the server's
// send buffer. What we send is bounded by what the server acknowledged it can receive, and
// by our own send buffer. For message size and chunk count 0 means no limit on either side.
struct uaTcpConnectionLimits {
  uaMessageHello fRequest;        // the limits the client offers in its Hello
  uaMessageAck fresponse;         // the last Acknowledge received
  uaMessageAck fHandShakeLimits;  // negotiated: buffer sizes per direction, message size and
                                  // chunk count of the send direction
  uaMessageError fError;
  // Receive direction message size and chunk count (the Hello's values once negotiated).
  uint32_t fReceiveMaxMessageSize = uaMessageLimits{}.fMaxMessageSize;
  uint32_t fReceiveMaxChunkCount = uaMessageLimits{}.fMaxChunkCount;

  // Checks the Acknowledge and negotiates with the offered limits. Raises EuaTcpError, and
  // changes nothing, when a buffer size of the Acknowledge is below 8192 bytes.
  void UpdateMaxSize(const uaMessageAck& aRemote);
  // The same with explicit local limits: they become fRequest's limits.
  void UpdateMaxSize(const uaMessageLimits& aLocal, const uaMessageAck& aRemote);
  // Does nothing (kept for the channel's close path).
  void CloseUpdateMaxSize() {}

  uaDirectionLimits SendLimits() const {
    return {fHandShakeLimits.fSendBufferSize, fHandShakeLimits.fMaxMessageSize,
            fHandShakeLimits.fMaxChunkCount};
  }
  uaDirectionLimits ReceiveLimits() const {
    return {fHandShakeLimits.fReceiveBufferSize, fReceiveMaxMessageSize, fReceiveMaxChunkCount};
  }
};

// Raises EuaTcpError when a buffer size of the Acknowledge is below 8192 bytes.
void CheckAcknowledge(const uaMessageAck& aAck);

// ---------------------------------------------------------------------------------------
// Connection data of a channel

// TuaSecureMode, TuaSecurePolicy and TCertificateUsage come from ua/security/policy.h.

// Sequence numbers wrap to 1 once they pass this value, so that a wrapped number stays below
// 1024 as peers expect.
inline constexpr uint32_t uaMaxSequenceNumber = 0xFFFFFFFFu - 1024u;

struct uaTcpConnectionData {
  uaMsgSequencHeader fSequenceHeader;  // holds the last sequence number sent
  TuaSecureMode fMessageSecurityMode = uaSNULL;
  TuaSecurePolicy fSecurityPolicy = uaSPNULL;
  ByteArray fLocalCertificate;
  ByteArray fRemoteCertificate;
  ByteArray fLocalNonce;
  ByteArray fRemoteNonce;
  uaTcpConnectionLimits fLimits;

  // The next sequence number to send: 1 after a reset, then counting up, and back to 1 after
  // uaMaxSequenceNumber.
  uint32_t getNextSequenceNumber();
  void ResetSequenceNumber() { fSequenceHeader.fSequenceNumber = 0; }

  bool IsMessageSecurity() const { return IsMessageSecuritySign(); }
  bool IsMessageSecuritySign() const {
    return fMessageSecurityMode == uaSSign || fMessageSecurityMode == uaSSignAndEncrypt;
  }
  bool IsMessageSecurityEncrypt() const { return fMessageSecurityMode == uaSSignAndEncrypt; }
  // The negotiated send buffer size: the chunk size of everything the client sends.
  uint32_t SendBufferSize() const { return fLimits.fHandShakeLimits.fSendBufferSize; }

  const ByteArray& getCertificate(TCertificateUsage aUsage) const {
    return aUsage == cuUseRemoteKey ? fRemoteCertificate : fLocalCertificate;
  }
  void setCertificate(TCertificateUsage aUsage, ByteArray aCertificate) {
    (aUsage == cuUseRemoteKey ? fRemoteCertificate : fLocalCertificate) = std::move(aCertificate);
  }
  // Nonce length of the policy: 0 for None, 16 for Basic128Rsa15, 32 for every other value.
  uint32_t GetNonceLength() const;
};

}  // namespace varo::ua
