// SPDX-License-Identifier: MPL-2.0
// The client side of a secure channel: the security policy and mode, the channel tokens with
// their keys, the security headers of the chunks we send and receive, sequence numbers, and
// the sending of OpenSecureChannel, service and CloseSecureChannel messages. The cryptography
// is done by the installed security provider.
//
// Locking: every send and every token activation run under the channel's send lock, so that a
// renewal never changes keys or the token id while a message is being cut into chunks. The
// receive side (one thread) takes the token lock around each chunk it unwraps; the activation
// takes it too, so the read keys never change under a chunk being decrypted.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bytes.h"
#include "platform/datetime.h"
#include "ua/security/policy.h"
#include "ua/security/policy_keys.h"
#include "ua/security/provider.h"
#include "ua/transport/chunk.h"
#include "ua/transport/tcp_connection.h"
#include "ua/transport/tcp_message_io.h"
#include "ua/transport/tcp_messages.h"

namespace varo::ua {

inline constexpr uaStatusCode uaBadSecureChannelIdInvalid = 0x80220000u;
inline constexpr uaStatusCode uaBadSecureChannelTokenUnknown = 0x80870000u;
inline constexpr uaStatusCode uaBadCertificateInvalid = 0x80120000u;
inline constexpr uaStatusCode uaBadSecurityPolicyRejected = 0x80550000u;

// Policy names and URIs.
struct uaSecurityPolicies {
  // The policy's URI; empty for uaSPNULL.
  static std::string uaSecurityPolicyToString(TuaSecurePolicy aPolicy);
  // The secured policy whose URI is exactly aUri; anything else gives uaSPNone.
  static TuaSecurePolicy StringToUaSecurityPolicy(std::string_view aUri);
  static bool HasNoSecurity(std::string_view aUri);
  static bool HasSecurityPolicy(TuaSecurePolicy aPolicy) { return aPolicy > uaSPNone; }
  static std::string SelectPolicy(std::string_view aPolicy, std::string_view aDefault) {
    return std::string(aPolicy.empty() ? aDefault : aPolicy);
  }
  // The name part of the URI ("Basic256Sha256"), empty for uaSPNULL.
  static std::string PolicyName(TuaSecurePolicy aPolicy);
};

// "None", "Sign", "SignAndEncrypt"; empty for other values.
std::string SecureModeToString(TuaSecureMode aMode);

// Milliseconds of a monotonic clock.
int64_t uaMonotonicMs();

struct uaSymmetricAlgorithm {
  ByteArray fSigningKey;
  ByteArray fEncryptingKey;
  ByteArray fInitializationVector;
  void Clear() {
    fSigningKey.clear();
    fEncryptingKey.clear();
    fInitializationVector.clear();
  }
};

struct uaChannelToken {
  uint32_t fchannelId = 0;
  uint32_t ftokenId = 0;
  TDateTime fcreatedAt = kNullDateTime;  // wall time of the activation, for display
  int64_t fcreatedAtMs = 0;              // monotonic time of the activation
  uint32_t flifetime = 0;                // milliseconds
  uaSymmetricAlgorithm fLocal;           // the client's keys
  uaSymmetricAlgorithm fRemote;          // the server's keys

  // Wall time at which the server lets the token lapse.
  TDateTime TokenExpiry() const;
  // True until 1.25 x the lifetime has passed since the activation (monotonic).
  bool TokenIsUsable(int64_t aNowMs) const;
  bool TokenIsUsable() const { return TokenIsUsable(uaMonotonicMs()); }
  void ResetToken();
};

struct uaChannelSecurity {
  std::unique_ptr<uaChannelToken> currentToken = std::make_unique<uaChannelToken>();
  std::unique_ptr<uaChannelToken> previousToken = std::make_unique<uaChannelToken>();
  void SwapToken() { currentToken.swap(previousToken); }
};

using uaReportErrorEvent = std::function<void(const std::string& aText)>;

class uaChannel;

// Security delegates of the channel: they call the provider and hold the security headers.
class uaChannelDelegates {
 public:
  // OpenSecureChannel chunks: RSA with the server's key when writing, with ours when reading.
  class uaAsymmetricDelegate final : public uaChunkHandler::uaDelegate {
   public:
    uaAsymmetricDelegate(uaChannel& aChannel, bool aIsWrite) : fChannel(aChannel), fIsWrite(aIsWrite) {}

    uaMsgAsymmetricHeader fHeader;
    TRSAPadding fRSACryptPaddingMode = rpPKCS;
    THashAlgorithm fRSACryptHash = THashAlgorithm::SHA1;
    TRSAPadding fRSASignPaddingMode = rpPKCS;
    THashAlgorithm fSignHash = THashAlgorithm::SHA1;
    uaReportErrorEvent fOnReportError;

    // Paddings and hashes of the policy, sizes from the provider.
    void UpdatePolicyParameters(TuaSecurePolicy aPolicy);
    // Signed and encrypted exactly when the policy is secured; certificates in the header.
    void updateSecurityInfo();
    // Bytes of the security header as sent.
    uint32_t SecurityHeaderSize() const;
    bool IsWrite() const { return fIsWrite; }

    ByteArray SignChunk(ByteSpan aData) override;
    bool VerifyChunk(ByteSpan aData, ByteSpan aSignature) override;
    ByteArray EncryptChunk(ByteSpan aPlain) override;
    ByteArray DecryptChunk(ByteSpan aCipher) override;

   private:
    uaMessageSecurityImpl& Security() const;
    uaChannel& fChannel;
    bool fIsWrite;
    bool fSecured = false;
    uaAsymmetricSizes fSizes;
    std::string fSizesError;  // why the sizes could not be taken (key or certificate missing)
  };

  // Service and CloseSecureChannel chunks in both directions: HMAC and AES-CBC with the keys
  // of the channel tokens.
  class uaSymmetricDelegate final : public uaChunkHandler::uaDelegate {
   public:
    explicit uaSymmetricDelegate(uaChannel& aChannel) : fChannel(aChannel) {}

    uaMsgSymmetricHeader fWriteHeader;
    uaMsgSymmetricHeader fReadHeader;
    uaChannelSecurity fChannelSecurity;
    uaReportErrorEvent fOnReportError;

    void UpdatePolicyParameters(TuaSecurePolicy aPolicy);
    void updateSecurityInfo();

    // Picks the token whose keys check and decrypt a received chunk with aTokenId. Raises
    // EuaStatusError (BadSecureChannelTokenUnknown) for an id that is neither the current nor
    // the previous token, and for a token past its usable time.
    void SelectReadToken(uint32_t aTokenId);
    // Keys of the newly activated current token.
    void DeriveKeys();
    const uaChannelToken* LastUsedReadToken() const { return fLastUsedReadTokenRef; }

    ByteArray SignChunk(ByteSpan aData) override;
    bool VerifyChunk(ByteSpan aData, ByteSpan aSignature) override;
    ByteArray EncryptChunk(ByteSpan aPlain) override;
    ByteArray DecryptChunk(ByteSpan aCipher) override;

   private:
    friend class ::varo::ua::uaChannel;
    uaMessageSecurityImpl& Security() const;
    std::string Details(uint32_t aTokenId) const;
    uaChannel& fChannel;
    uint32_t fsignatureKeySize = 0;
    uint32_t fKeySize = 0;
    TSymmAlgorithm fEncryptMode = saAES128;
    THashAlgorithm fSignHash = THashAlgorithm::SHA1;
    uint32_t fSignatureSize = 0;
    TuaSecurePolicy fPolicy = uaSPNULL;
    const uaChannelToken* fLastUsedReadTokenRef = nullptr;
  };
};

class uaChannel : public IuaSecurityChannel {
 public:
  explicit uaChannel(uaConnection& aConnection);
  ~uaChannel() override;
  uaChannel(const uaChannel&) = delete;
  uaChannel& operator=(const uaChannel&) = delete;

  // Channel ids, token id and sequence number 0, state Connecting, nothing collected.
  void init();

  void ChangeSecurityProtocol(TuaSecureMode aMode, TuaSecurePolicy aSecurityPolicy);
  void ChangeSecurityPolicy(TuaSecurePolicy aPolicy);
  void ChangeSecurityMode(TuaSecureMode aMode);
  TuaSecurePolicy SecurityPolicy() const { return fConnectionData.fSecurityPolicy; }
  TuaSecureMode SecurityMode() const { return fConnectionData.fMessageSecurityMode; }

  // Installs a provider (null removes it). Mode and policy are reset to uaSNULL / uaSPNULL.
  void SetSecurity(std::unique_ptr<uaMessageSecurityImpl> aProvider);
  uaMessageSecurityImpl* Security() const { return fcrypt.get(); }

  uint32_t SecureChannelId() const;
  void SetSecureChannelId(uint32_t aId);
  uint32_t TokenId() const;

  // Certificates: stored in the connection data and, when a provider is installed and the
  // bytes are not empty, loaded into it. A chain is kept as given; keys come from its leaf.
  void SetLocalCertificate(ByteArray aDer);
  void SetRemoteCertificate(ByteArray aDer);
  const ByteArray& LocalCertificate() const { return fConnectionData.fLocalCertificate; }
  const ByteArray& RemoteCertificate() const { return fConnectionData.fRemoteCertificate; }
  void SetLocalPrivateKey(ByteSpan aKey);
  void LoadRemoteCertificate();
  void SetCertificate(TCertificateUsage usage, ByteArray der) override;

  uaTcpConnectionData& ConnectionData() { return fConnectionData; }
  const uaTcpConnectionData& ConnectionData() const { return fConnectionData; }
  uaConnection& Connection() { return fConnection; }
  uaTcpMessageReader& Reader() { return fReader; }
  uaChunkDecoder& ChunkDecoder() { return fChunkDecoder; }
  uaChannelDelegates::uaAsymmetricDelegate& AsymDelegateRead() { return *fAsymDelegateRead_; }
  uaChannelDelegates::uaAsymmetricDelegate& AsymDelegateWrite() { return *fAsymDelegateWrite_; }
  uaChannelDelegates::uaSymmetricDelegate& SymmDelegate() { return *fSymmDelegate; }

  // Negotiated limits from an Acknowledge: send and receive sizes of chunks and messages.
  void UpdateMaxSize(const uaMessageAck& aRemote);
  void SendHelloMessage(std::string_view aUrl);

  // Send operations (each under the send lock). Raise EuaStatusError (BadRequestTooLarge)
  // before anything is sent when the message breaks the server's limits, and EuaTcpError when
  // the connection could not send; after a failed send the connection is faulted and the
  // rest of the message is not sent.
  void SendOpenSecureChannel(uint32_t aRequestId, const TuaObj& aObj);
  void SendMessage(uint32_t aRequestId, const TuaObj& aObj);
  void SendCloseSecureChannel(uint32_t aRequestId, const TuaObj& aObj);

  // The values of an OpenSecureChannel response: new token, the server's nonce, the revised
  // lifetime. Derives the token's keys when secured.
  void ActivateToken(uint32_t aTokenId, ByteSpan aRemoteNonce, uint32_t aTokenLifetime);

  void Close() { fConnection.Close(); }

  // The lock of the receive side around token selection and decryption.
  std::mutex& TokenLock() { return fTokenLock; }
  std::mutex& SendLock() { return fSendLock; }

  // Reports of the delegates (unknown or expired token, oversized security header). They are
  // collected while channel locks are held and passed to fOnReportError by DeliverReports,
  // which the channel and the stack client call with no channel lock held.
  uaReportErrorEvent fOnReportError;
  void DeliverReports();

 private:
  void sendChunks(uint32_t aType, uaChunkHandler::uaDelegate& aDelegate, uint32_t aRequestId,
                  const TuaObj& aObj, bool aAsymmetric);

  uaConnection& fConnection;
  uaTcpConnectionData fConnectionData;
  uaTcpMessageWriter fWriter;
  uaTcpMessageReader fReader;
  uaChunkEncoder fChunkEncoder;
  uaChunkDecoder fChunkDecoder;
  std::unique_ptr<uaMessageSecurityImpl> fcrypt;
  std::unique_ptr<uaChannelDelegates::uaAsymmetricDelegate> fAsymDelegateRead_;
  std::unique_ptr<uaChannelDelegates::uaAsymmetricDelegate> fAsymDelegateWrite_;
  std::unique_ptr<uaChannelDelegates::uaSymmetricDelegate> fSymmDelegate;
  std::mutex fSendLock;
  std::mutex fTokenLock;
  std::mutex fReportLock;
  std::vector<std::string> fReports;
};

}  // namespace varo::ua
