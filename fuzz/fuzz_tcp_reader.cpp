// SPDX-License-Identifier: MPL-2.0
// Feeds arbitrary bytes to the UA TCP message reader as one received message: the message
// header, then by type the Hello, Acknowledge (and the negotiation), Error, or secure
// conversation headers and the message id of the body. What the reader accepts is written
// back with the writer and must read back to the same values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/error.h"
#include "ua/transport/tcp_message_io.h"

namespace {

using namespace varo::ua;

void Check(bool ok) {
  if (!ok) std::abort();
}

void Hello(uaTcpMessageReader& r) {
  uaMessageHello hello;
  r.ReadMessageHello(hello);
  Check(hello.fEndpointUrl.size() <= uaTcpMaxUrlLength);
  uaTcpMessageWriter w;
  w.WriteMessageHello(hello);
  uaTcpMessageReader again;
  again.SetInputStreamData(w.View());
  again.ReadMessageHeader_();
  uaMessageHello back;
  again.ReadMessageHello(back);
  hello.fProtocolVersion = 0;
  Check(back == hello);
}

void Acknowledge(uaTcpMessageReader& r) {
  uaMessageAck ack;
  r.ReadMessageAcknowledge(ack);
  uaTcpConnectionLimits limits;
  try {
    limits.UpdateMaxSize(ack);
  } catch (const EuaTcpError&) {
    Check(ack.fReceiveBufferSize < uaTcpMinBufferSize || ack.fSendBufferSize < uaTcpMinBufferSize);
    return;
  }
  const uaDirectionLimits send = limits.SendLimits();
  const uaDirectionLimits receive = limits.ReceiveLimits();
  // Never more than either side allows.
  Check(send.BufferSize >= uaTcpMinBufferSize && send.BufferSize <= ack.fReceiveBufferSize &&
        send.BufferSize <= limits.fRequest.fSendBufferSize);
  Check(receive.BufferSize <= limits.fRequest.fReceiveBufferSize);
  Check(ack.fMaxMessageSize == 0 || (send.MaxMessageSize != 0 && send.MaxMessageSize <= ack.fMaxMessageSize));
  Check(ack.fMaxChunkCount == 0 || (send.MaxChunkCount != 0 && send.MaxChunkCount <= ack.fMaxChunkCount));
  Check(receive.MaxMessageSize == limits.fRequest.fMaxMessageSize);
}

void Error(uaTcpMessageReader& r) {
  uaMessageError err;
  r.ReadErrorBody(err);
  Check(err.fReason.size() <= uaTcpMaxReasonLength);
  uaTcpMessageWriter w;
  w.WriteMessageError(err);
  uaTcpMessageReader again;
  again.SetInputStreamData(w.View());
  again.ReadMessageHeader_();
  uaMessageError back;
  again.ReadErrorBody(back);
  Check(back == err);
}

void Body(uaTcpMessageReader& r) {
  uint32_t id = 0;
  r.Decoder().ReadMessageId(id, "");
}

void Asymmetric(uaTcpMessageReader& r, const uaMsgHeader& h) {
  uaMsgAsymmetricHeader hdr;
  hdr.fHeader.fBaseHeader = h;
  r.ReadRequestAsymmetricMessageHeader(hdr);
  uaTcpMessageWriter w;
  w.WriteAsymmetricMessage(hdr);
  uaTcpMessageReader again;
  again.SetInputStreamData(w.View());
  uaMsgAsymmetricHeader back;
  again.Seek(8);
  again.ReadRequestAsymmetricMessageHeader(back);
  back.fHeader.fBaseHeader = h;
  Check(back == hdr);
  Body(r);
}

void Symmetric(uaTcpMessageReader& r, const uaMsgHeader& h) {
  uaMsgSymmetricHeader hdr;
  hdr.fHeader.fBaseHeader = h;
  r.ReadRequestSymetricMessageHeader(hdr);
  uaTcpMessageWriter w;
  w.WriteSymmetricMessage(hdr);
  Check(w.UncryptHeaderSize() == 16);
  uaTcpMessageReader again;
  again.SetInputStreamData(w.View());
  again.Seek(8);
  uaMsgSymmetricHeader back;
  again.ReadRequestSymetricMessageHeader(back);
  back.fHeader.fBaseHeader = h;
  Check(back == hdr);
  Body(r);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uaTcpMessageReader r;
  r.SetInputStreamData(varo::ByteSpan(data, size));
  try {
    const uaMsgHeader h = r.ReadMessageHeader_();
    Check(h.fMessageSize >= uaTcpHeaderSize && h.fMessageSize <= size &&
          h.fMessageSize <= r.MaxMessageSize());
    switch (uaTcp::getMessageType(h.fMessageType)) {
      case uaTcp::getMessageType(uaTcpHello):
        Hello(r);
        break;
      case uaTcp::getMessageType(uaTcpAcknowledge):
        Acknowledge(r);
        break;
      case uaTcp::getMessageType(uaTcpError):
        Error(r);
        break;
      case uaTcpOpenSecureChannel:
        Asymmetric(r, h);
        break;
      case uaTcpMessage:
      case uaTcpCloseSecureChannel:
        Symmetric(r, h);
        break;
      default:
        break;
    }
  } catch (const varo::EVaroError&) {
  }
  return 0;
}
