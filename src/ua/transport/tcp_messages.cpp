// SPDX-License-Identifier: MPL-2.0
#include "ua/transport/tcp_messages.h"

#include <algorithm>

#include "platform/strings.h"

namespace varo::ua {

void CheckAcknowledge(const uaMessageAck& aAck) {
  if (aAck.fReceiveBufferSize < uaTcpMinBufferSize)
    throw EuaTcpError(
        varo::Format("Acknowledge rejected: ReceiveBufferSize %u is below the minimum of %u bytes",
                     aAck.fReceiveBufferSize, uaTcpMinBufferSize));
  if (aAck.fSendBufferSize < uaTcpMinBufferSize)
    throw EuaTcpError(varo::Format("Acknowledge rejected: SendBufferSize %u is below the minimum of %u bytes",
                                   aAck.fSendBufferSize, uaTcpMinBufferSize));
}

void uaTcpConnectionLimits::UpdateMaxSize(const uaMessageAck& aRemote) {
  CheckAcknowledge(aRemote);
  const uaMessageLimits& local = fRequest;
  uaMessageAck negotiated;
  negotiated.fProtocolVersion = aRemote.fProtocolVersion;
  // Buffer sizes are never 0 here (checked above), so a plain minimum is right.
  negotiated.fSendBufferSize = std::min(local.fSendBufferSize, aRemote.fReceiveBufferSize);
  negotiated.fReceiveBufferSize = std::min(local.fReceiveBufferSize, aRemote.fSendBufferSize);
  // Sending: the server's message size and chunk count bound what we may send.
  negotiated.fMaxMessageSize = MinLimit(local.fMaxMessageSize, aRemote.fMaxMessageSize);
  negotiated.fMaxChunkCount = MinLimit(local.fMaxChunkCount, aRemote.fMaxChunkCount);
  fresponse = aRemote;
  fHandShakeLimits = negotiated;
  // Receiving: what we announced in the Hello.
  fReceiveMaxMessageSize = local.fMaxMessageSize;
  fReceiveMaxChunkCount = local.fMaxChunkCount;
}

void uaTcpConnectionLimits::UpdateMaxSize(const uaMessageLimits& aLocal, const uaMessageAck& aRemote) {
  CheckAcknowledge(aRemote);
  fRequest.Assign(aLocal);
  UpdateMaxSize(aRemote);
}

uint32_t uaTcpConnectionData::getNextSequenceNumber() {
  uint32_t& n = fSequenceHeader.fSequenceNumber;
  n = n >= uaMaxSequenceNumber ? 1 : n + 1;
  return n;
}

uint32_t uaTcpConnectionData::GetNonceLength() const {
  switch (fSecurityPolicy) {
    case uaSPNone:
      return 0;
    case uaSPBasic128Rsa15:
      return 16;
    default:
      return 32;
  }
}

}  // namespace varo::ua
