// SPDX-License-Identifier: MPL-2.0
#include "ua/transport/channel.h"

#include <algorithm>
#include <chrono>

#include "platform/strings.h"
#include "ua/security/security_error.h"
#include "ua/security/x509.h"

namespace varo::ua {

// ---------------------------------------------------------------------------------------
// Policies and modes

std::string uaSecurityPolicies::uaSecurityPolicyToString(TuaSecurePolicy aPolicy) {
  if (aPolicy == uaSPNULL || aPolicy > uaSPAes256_Sha256_RsaPss) return {};
  return std::string(SecurityPolicyUri(aPolicy));
}

TuaSecurePolicy uaSecurityPolicies::StringToUaSecurityPolicy(std::string_view aUri) {
  for (const uaSecurityPolicyInfo& p : SecurityPolicies())
    if (p.HasSecurity() && p.fUri == aUri) return p.fPolicy;
  return uaSPNone;
}

bool uaSecurityPolicies::HasNoSecurity(std::string_view aUri) {
  return aUri.empty() || aUri == SecurityPolicyUri(uaSPNone);
}

std::string uaSecurityPolicies::PolicyName(TuaSecurePolicy aPolicy) {
  if (aPolicy == uaSPNULL || aPolicy > uaSPAes256_Sha256_RsaPss) return {};
  return std::string(SecurityPolicyInfo(aPolicy).fName);
}

std::string SecureModeToString(TuaSecureMode aMode) {
  switch (aMode) {
    case uaSNone:
      return "None";
    case uaSSign:
      return "Sign";
    case uaSSignAndEncrypt:
      return "SignAndEncrypt";
    default:
      return {};
  }
}

int64_t uaMonotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// ---------------------------------------------------------------------------------------
// Tokens

TDateTime uaChannelToken::TokenExpiry() const {
  return fcreatedAt + static_cast<double>(flifetime) / 86400000.0;
}

bool uaChannelToken::TokenIsUsable(int64_t aNowMs) const {
  // Lifetime plus a grace of a quarter of it.
  const int64_t usable = int64_t{flifetime} + int64_t{flifetime} / 4;
  return aNowMs - fcreatedAtMs < usable;
}

void uaChannelToken::ResetToken() {
  ftokenId = 0;
  fcreatedAt = NowUtc();
  fcreatedAtMs = uaMonotonicMs();
  flifetime = 0;
  fLocal.Clear();
  fRemote.Clear();
}

// ---------------------------------------------------------------------------------------
// Asymmetric delegate

using AsymDelegate = uaChannelDelegates::uaAsymmetricDelegate;

constexpr const char* kNoProviderText = "No security provider is installed in the channel";
using SymDelegate = uaChannelDelegates::uaSymmetricDelegate;

uaMessageSecurityImpl& AsymDelegate::Security() const {
  uaMessageSecurityImpl* s = fChannel.Security();
  if (!s) throw EuaSecurityError(kNoProviderText);
  if (!fSizesError.empty()) throw EuaSecurityError(fSizesError);
  return *s;
}

void AsymDelegate::UpdatePolicyParameters(TuaSecurePolicy aPolicy) {
  fSecured = uaSecurityPolicies::HasSecurityPolicy(aPolicy);
  fSizes = {};
  fSizesError.clear();
  if (!fSecured) return;
  const uaSecurityPolicyInfo& info = SecurityPolicyInfo(aPolicy);
  fRSACryptPaddingMode = info.fAsymmetricEncryptionPadding;
  fRSACryptHash = info.fAsymmetricEncryptionHash;
  fRSASignPaddingMode = info.fAsymmetricSignaturePadding;
  fSignHash = info.fAsymmetricSignatureHash;
  uaMessageSecurityImpl* s = fChannel.Security();
  if (!s) {
    fSizesError = kNoProviderText;
    return;
  }
  // Keys may be loaded after the policy is chosen; the sizes are taken again then.
  try {
    fSizes = fIsWrite ? s->AsymmetricSendSizes(aPolicy) : s->AsymmetricReceiveSizes(aPolicy);
  } catch (const std::exception& e) {
    fSizesError = e.what();
  }
}

uint32_t AsymDelegate::SecurityHeaderSize() const {
  return static_cast<uint32_t>(fHeader.fSecureHeader.fSecurityPolicyUri.size() +
                               fHeader.fSecureHeader.fSenderCertificate.size() +
                               fHeader.fSecureHeader.fReceiverCertificateThumbprint.size() + 12);
}

void AsymDelegate::updateSecurityInfo() {
  const uaTcpConnectionData& cd = fChannel.ConnectionData();
  if (fIsWrite) {
    if (fSecured) {
      fHeader.fSecureHeader.fSenderCertificate = cd.fLocalCertificate;
      fHeader.fSecureHeader.fReceiverCertificateThumbprint =
          cd.fRemoteCertificate.empty() ? ByteArray{}
                                        : TTools::createThumbprint(LeafCertificate(cd.fRemoteCertificate));
    } else {
      fHeader.fSecureHeader.fSenderCertificate.clear();
      fHeader.fSecureHeader.fReceiverCertificateThumbprint.clear();
    }
  }
  // RSA: the padded plaintext is a multiple of the plain block, each block becomes k bytes.
  SetSecurity(fSecured, fSecured, static_cast<uint32_t>(fSizes.fPlainBlockSize),
              static_cast<uint32_t>(fSizes.fKeySize), static_cast<uint32_t>(fSizes.fPlainBlockSize),
              static_cast<uint32_t>(fSizes.fSignatureSize), fSizes.fExtraPaddingByte);
  if (fIsWrite && fSecured && fSizesError.empty()) {
    const uint32_t s = cd.SendBufferSize();
    const uint64_t h = SecurityHeaderSize();
    if (s != 0 && h >= uint64_t{s} - std::min<uint64_t>(s, SignatureSize() + PaddingOverHead() + 8)) {
      const std::string text = varo::Format(
          "AsymmetricSecurityHeader is %d bytes which is too large for the send buffer size of %d bytes.",
          static_cast<int>(h), static_cast<int>(s));
      if (fOnReportError) fOnReportError(text);
    }
  }
}

ByteArray AsymDelegate::SignChunk(ByteSpan aData) {
  return Security().asym().Sign_Rsa(fRSASignPaddingMode, fSignHash, aData, 0, aData.size());
}

bool AsymDelegate::VerifyChunk(ByteSpan aData, ByteSpan aSignature) {
  return Security().asym().Verify_Rsa(fRSASignPaddingMode, fSignHash, aData, 0, aData.size(), aSignature);
}

ByteArray AsymDelegate::EncryptChunk(ByteSpan aPlain) {
  return Security().EncryptRsaBlocks(fRSACryptPaddingMode, fRSACryptHash, aPlain, 0, aPlain.size());
}

ByteArray AsymDelegate::DecryptChunk(ByteSpan aCipher) {
  return Security().DecryptRsaBlocks(fRSACryptPaddingMode, fRSACryptHash, aCipher, 0, aCipher.size());
}

// ---------------------------------------------------------------------------------------
// Symmetric delegate

uaMessageSecurityImpl& SymDelegate::Security() const {
  uaMessageSecurityImpl* s = fChannel.Security();
  if (!s) throw EuaSecurityError(kNoProviderText);
  return *s;
}

void SymDelegate::UpdatePolicyParameters(TuaSecurePolicy aPolicy) {
  fPolicy = aPolicy;
  if (!uaSecurityPolicies::HasSecurityPolicy(aPolicy)) {
    fSignatureSize = 0;
    fsignatureKeySize = 0;
    fKeySize = 0;
    fChannelSecurity.currentToken->ResetToken();
    return;
  }
  const uaSecurityPolicyInfo& info = SecurityPolicyInfo(aPolicy);
  fSignatureSize = static_cast<uint32_t>(info.fSymmetricSignatureSize);
  fsignatureKeySize = static_cast<uint32_t>(info.fSigningKeyLength);
  fKeySize = static_cast<uint32_t>(info.fEncryptingKeyLength);
  fEncryptMode = info.fSymmetricAlgorithm;
  fSignHash = info.fSymmetricSignatureHash;
}

void SymDelegate::updateSecurityInfo() {
  const TuaSecureMode mode = fChannel.SecurityMode();
  const bool secured = uaSecurityPolicies::HasSecurityPolicy(fPolicy);
  const bool sign = secured && (mode == uaSSign || mode == uaSSignAndEncrypt);
  const bool encrypt = secured && mode == uaSSignAndEncrypt;
  const uint32_t block = secured ? 16 : 1;
  SetSecurity(sign, encrypt, block, block, block, fSignatureSize, false);
}

std::string SymDelegate::Details(uint32_t aTokenId) const {
  return varo::Format("ChanneId=%u, TokenId=%u, CurrentTokenId=%u, PreviousTokenId=%u",
                      fReadHeader.fHeader.fSecureChannelId, aTokenId, fChannelSecurity.currentToken->ftokenId,
                      fChannelSecurity.previousToken->ftokenId);
}

void SymDelegate::SelectReadToken(uint32_t aTokenId) {
  fReadHeader.fSecureHeader.ftokenId = aTokenId;
  const uaChannelToken* cur = fChannelSecurity.currentToken.get();
  const uaChannelToken* prev = fChannelSecurity.previousToken.get();
  const uaChannelToken* pick = nullptr;
  if (fLastUsedReadTokenRef && fLastUsedReadTokenRef->ftokenId == aTokenId &&
      (fLastUsedReadTokenRef == cur || fLastUsedReadTokenRef == prev))
    pick = fLastUsedReadTokenRef;
  else if (cur->ftokenId == aTokenId)
    pick = cur;
  else if (prev->ftokenId == aTokenId && prev->flifetime != 0)
    pick = prev;
  if (!pick) {
    const std::string text = "SecurityTokenId is not known. " + Details(aTokenId);
    if (fOnReportError) fOnReportError(text);
    throw EuaStatusError(uaBadSecureChannelTokenUnknown, text);
  }
  // A token with lifetime 0 is the unsecured start-up token (id 0 before the first response
  // is never accepted above, except on a None channel where no keys exist).
  if (pick->flifetime != 0 && !pick->TokenIsUsable()) {
    const std::string text = "SecurityToken has timeouted. " + Details(aTokenId);
    if (fOnReportError) fOnReportError(text);
    throw EuaStatusError(uaBadSecureChannelTokenUnknown, text);
  }
  if (pick != fLastUsedReadTokenRef) {
    if (uaSecurityPolicies::HasSecurityPolicy(fPolicy)) {
      uaDerivedKeys server{pick->fRemote.fSigningKey, pick->fRemote.fEncryptingKey,
                           pick->fRemote.fInitializationVector};
      Security().SwitchReceiveKeys(fPolicy, fChannel.SecurityMode(), server);
    }
    fLastUsedReadTokenRef = pick;
  }
}

void SymDelegate::DeriveKeys() {
  uaChannelToken& t = *fChannelSecurity.currentToken;
  const uaTcpConnectionData& cd = fChannel.ConnectionData();
  const uaChannelKeys keys = DeriveChannelKeys(fPolicy, cd.fLocalNonce, cd.fRemoteNonce);
  t.fLocal = {keys.fClient.fSigningKey, keys.fClient.fEncryptingKey, keys.fClient.fInitVector};
  t.fRemote = {keys.fServer.fSigningKey, keys.fServer.fEncryptingKey, keys.fServer.fInitVector};
  Security().ActivateKeys(fPolicy, fChannel.SecurityMode(), keys);
  fLastUsedReadTokenRef = &t;
}

ByteArray SymDelegate::SignChunk(ByteSpan aData) {
  return Security().sym().SymmetricSign(aData, 0, aData.size());
}

bool SymDelegate::VerifyChunk(ByteSpan aData, ByteSpan aSignature) {
  return Security().sym().SymmetricVerify(aData, 0, aData.size(), aSignature);
}

ByteArray SymDelegate::EncryptChunk(ByteSpan aPlain) {
  ByteArray out(aPlain.size());
  Security().sym().encryptSymm(aPlain, 0, out, aPlain.size());
  return out;
}

ByteArray SymDelegate::DecryptChunk(ByteSpan aCipher) {
  ByteArray out(aCipher.size());
  Security().sym().DecryptSymm(aCipher, 0, out, aCipher.size());
  return out;
}

// ---------------------------------------------------------------------------------------
// Channel

uaChannel::uaChannel(uaConnection& aConnection)
    : fConnection(aConnection),
      fAsymDelegateRead_(std::make_unique<AsymDelegate>(*this, false)),
      fAsymDelegateWrite_(std::make_unique<AsymDelegate>(*this, true)),
      fSymmDelegate(std::make_unique<SymDelegate>(*this)) {
  auto report = [this](const std::string& text) {
    std::lock_guard lock(fReportLock);
    fReports.push_back(text);
  };
  fAsymDelegateRead_->fOnReportError = report;
  fAsymDelegateWrite_->fOnReportError = report;
  fSymmDelegate->fOnReportError = report;
  ChangeSecurityProtocol(uaSNone, uaSPNone);
  fChunkDecoder.SetLimits(fConnectionData.fLimits.ReceiveLimits());
  fChunkDecoder.SetSequenceCheck(true);
}

uaChannel::~uaChannel() {
  if (fcrypt) fcrypt->setChannel(nullptr);
}

void uaChannel::init() {
  std::scoped_lock lock(fSendLock, fTokenLock);
  SetSecureChannelId(0);
  fSymmDelegate->fWriteHeader.fSecureHeader.ftokenId = 0;
  fSymmDelegate->fReadHeader = {};
  fAsymDelegateRead_->fHeader = {};
  fConnectionData.ResetSequenceNumber();
  fConnectionData.fLocalNonce.clear();
  fConnectionData.fRemoteNonce.clear();
  uaChannelSecurity& cs = fSymmDelegate->fChannelSecurity;
  cs.currentToken->ResetToken();
  cs.previousToken->ResetToken();
  cs.currentToken->fchannelId = 0;
  cs.previousToken->fchannelId = 0;
  fSymmDelegate->fLastUsedReadTokenRef = cs.previousToken.get();
  fChunkDecoder.Clear();
  fChunkDecoder.ResetSequence();
  fConnection.SetState(uaCS_Connecting);
}

void uaChannel::ChangeSecurityProtocol(TuaSecureMode aMode, TuaSecurePolicy aSecurityPolicy) {
  ChangeSecurityPolicy(aSecurityPolicy);
  ChangeSecurityMode(aMode);
}

void uaChannel::ChangeSecurityPolicy(TuaSecurePolicy aPolicy) {
  // The symmetric side (and with it the running token) changes only with the policy; the
  // asymmetric sizes are taken again every time, since they follow the loaded keys.
  const bool changed = aPolicy != fConnectionData.fSecurityPolicy || aPolicy != fSymmDelegate->fPolicy;
  fConnectionData.fSecurityPolicy = aPolicy;
  if (changed) {
    fSymmDelegate->UpdatePolicyParameters(aPolicy);
    fSymmDelegate->updateSecurityInfo();
  }
  fAsymDelegateRead_->UpdatePolicyParameters(aPolicy);
  fAsymDelegateWrite_->UpdatePolicyParameters(aPolicy);
  fAsymDelegateWrite_->fHeader.fSecureHeader.fSecurityPolicyUri =
      uaSecurityPolicies::uaSecurityPolicyToString(aPolicy == uaSPNULL ? uaSPNone : aPolicy);
  fAsymDelegateRead_->updateSecurityInfo();
  fAsymDelegateWrite_->updateSecurityInfo();
  DeliverReports();
}

void uaChannel::ChangeSecurityMode(TuaSecureMode aMode) {
  fConnectionData.fMessageSecurityMode = aMode;
  fSymmDelegate->updateSecurityInfo();
}

void uaChannel::SetSecurity(std::unique_ptr<uaMessageSecurityImpl> aProvider) {
  if (fcrypt) fcrypt->setChannel(nullptr);
  fcrypt = std::move(aProvider);
  fConnectionData.fMessageSecurityMode = uaSNULL;
  fConnectionData.fSecurityPolicy = uaSPNULL;
  if (fcrypt) fcrypt->setChannel(this);
  ChangeSecurityPolicy(uaSPNULL);
  ChangeSecurityMode(uaSNULL);
}

uint32_t uaChannel::SecureChannelId() const {
  return fAsymDelegateWrite_->fHeader.fHeader.fSecureChannelId;
}

void uaChannel::SetSecureChannelId(uint32_t aId) {
  fAsymDelegateWrite_->fHeader.fHeader.fSecureChannelId = aId;
  fSymmDelegate->fWriteHeader.fHeader.fSecureChannelId = aId;
}

uint32_t uaChannel::TokenId() const {
  return fSymmDelegate->fWriteHeader.fSecureHeader.ftokenId;
}

void uaChannel::SetCertificate(TCertificateUsage usage, ByteArray der) {
  fConnectionData.setCertificate(usage, std::move(der));
}

void uaChannel::LoadRemoteCertificate() {
  if (fcrypt && !fConnectionData.fRemoteCertificate.empty())
    fcrypt->asym().LoadPublicCertificate(LeafCertificate(fConnectionData.fRemoteCertificate), cuUseRemoteKey);
  ChangeSecurityPolicy(fConnectionData.fSecurityPolicy);
}

void uaChannel::SetRemoteCertificate(ByteArray aDer) {
  fConnectionData.fRemoteCertificate = std::move(aDer);
  LoadRemoteCertificate();
}

void uaChannel::SetLocalCertificate(ByteArray aDer) {
  fConnectionData.fLocalCertificate = std::move(aDer);
  if (fcrypt && !fConnectionData.fLocalCertificate.empty())
    fcrypt->asym().LoadPublicCertificate(LeafCertificate(fConnectionData.fLocalCertificate), cuUseLocalKey);
  ChangeSecurityPolicy(fConnectionData.fSecurityPolicy);
}

void uaChannel::SetLocalPrivateKey(ByteSpan aKey) {
  if (!fcrypt) throw EuaSecurityError(kNoProviderText);
  fcrypt->LoadPrivateKey(aKey, "");
  ChangeSecurityPolicy(fConnectionData.fSecurityPolicy);
}

void uaChannel::UpdateMaxSize(const uaMessageAck& aRemote) {
  {
    std::scoped_lock lock(fSendLock, fTokenLock);
    fConnectionData.fLimits.UpdateMaxSize(aRemote);
    fChunkDecoder.SetLimits(fConnectionData.fLimits.ReceiveLimits());
    fConnection.SetReceiveBufferSize(fConnectionData.fLimits.fHandShakeLimits.fReceiveBufferSize);
    fConnection.SetSendBufferSize(fConnectionData.fLimits.fHandShakeLimits.fSendBufferSize);
    // The header-size check depends on the send buffer.
    fAsymDelegateWrite_->updateSecurityInfo();
  }
  DeliverReports();
}

void uaChannel::DeliverReports() {
  std::vector<std::string> reports;
  {
    std::lock_guard lock(fReportLock);
    reports.swap(fReports);
  }
  if (fOnReportError)
    for (const std::string& text : reports) fOnReportError(text);
}

void uaChannel::SendHelloMessage(std::string_view aUrl) {
  std::lock_guard lock(fSendLock);
  uaMessageHello hello = fConnectionData.fLimits.fRequest;
  hello.fEndpointUrl = std::string(aUrl);
  fConnectionData.fLimits.fRequest.fEndpointUrl = hello.fEndpointUrl;
  fWriter.WriteMessageHello(hello);
  if (!fConnection.SendMessage(fWriter.View()))
    throw EuaTcpError("The Hello message could not be sent: the connection is not open");
}

void uaChannel::sendChunks(uint32_t aType, uaChunkHandler::uaDelegate& aDelegate, uint32_t aRequestId,
                           const TuaObj& aObj, bool aAsymmetric) {
  // Stop at the first chunk that cannot be sent: the connection is faulted by then and has
  // reported it, so the rest of the message is dropped and the caller learns at once.
  const uaChunkSendCallback send = [this](ByteSpan chunk) {
    if (!fConnection.SendMessage(chunk))
      throw EuaTcpError("The message could not be sent: the connection is closed or faulted");
  };
  if (aAsymmetric)
    fChunkEncoder.WriteMessageChunks(aType, aDelegate, send, aRequestId, aObj, fConnectionData, fWriter,
                                     fAsymDelegateWrite_->fHeader);
  else
    fChunkEncoder.WriteMessageChunks(aType, aDelegate, send, aRequestId, aObj, fConnectionData, fWriter,
                                     fSymmDelegate->fWriteHeader);
}

void uaChannel::SendOpenSecureChannel(uint32_t aRequestId, const TuaObj& aObj) {
  std::lock_guard lock(fSendLock);
  sendChunks(uaTcpOpenSecureChannel, *fAsymDelegateWrite_, aRequestId, aObj, true);
}

void uaChannel::SendMessage(uint32_t aRequestId, const TuaObj& aObj) {
  std::lock_guard lock(fSendLock);
  sendChunks(uaTcpMessage, *fSymmDelegate, aRequestId, aObj, false);
}

void uaChannel::SendCloseSecureChannel(uint32_t aRequestId, const TuaObj& aObj) {
  std::lock_guard lock(fSendLock);
  fConnection.MarkClose();
  sendChunks(uaTcpCloseSecureChannel, *fSymmDelegate, aRequestId, aObj, false);
}

void uaChannel::ActivateToken(uint32_t aTokenId, ByteSpan aRemoteNonce, uint32_t aTokenLifetime) {
  std::scoped_lock lock(fSendLock, fTokenLock);
  const bool secured = uaSecurityPolicies::HasSecurityPolicy(fConnectionData.fSecurityPolicy);
  if (secured && aRemoteNonce.size() < SecurityPolicyNonceLength(fConnectionData.fSecurityPolicy))
    throw EuaStatusError(
        uaBadSecurityChecksFailed,
        varo::Format("the server nonce has %zu bytes, the policy needs %zu", aRemoteNonce.size(),
                     SecurityPolicyNonceLength(fConnectionData.fSecurityPolicy)));
  fConnectionData.fRemoteNonce.assign(aRemoteNonce.begin(), aRemoteNonce.end());
  uaChannelSecurity& cs = fSymmDelegate->fChannelSecurity;
  const uaChannelToken* lastRead = fSymmDelegate->fLastUsedReadTokenRef;
  cs.SwapToken();
  uaChannelToken& t = *cs.currentToken;
  // The reused object may have been the token the receive side reads with; should the key
  // derivation below fail, no chunk is read with keys that no longer match it.
  if (lastRead == &t) fSymmDelegate->fLastUsedReadTokenRef = nullptr;
  t.fchannelId = SecureChannelId();
  t.ftokenId = aTokenId;
  t.fcreatedAt = NowUtc();
  t.fcreatedAtMs = uaMonotonicMs();
  t.flifetime = aTokenLifetime;
  t.fLocal.Clear();
  t.fRemote.Clear();
  if (secured) {
    fSymmDelegate->DeriveKeys();
  } else {
    fSymmDelegate->fLastUsedReadTokenRef = &t;
  }
  fSymmDelegate->fWriteHeader.fSecureHeader.ftokenId = aTokenId;
}

}  // namespace varo::ua
