// SPDX-License-Identifier: MPL-2.0
#include "ua/transport/tcp_message_io.h"

#include <algorithm>
#include <limits>

#include "platform/strings.h"

namespace varo::ua {

// ---------------------------------------------------------------------------------------
// Writer

uint32_t uaTcpMessageWriter::checkedSize(size_t n) {
  if (n > std::numeric_limits<uint32_t>::max()) throw EuaTcpError("UA TCP message larger than 4 GiB");
  return static_cast<uint32_t>(n);
}

void uaTcpMessageWriter::UpdateMessageValue(ByteArray& aBytes, size_t aOffset, uint32_t aValue) {
  if (aOffset > aBytes.size() || aBytes.size() - aOffset < 4)
    throw varo::EReadError("Stream patch beyond end");
  std::memcpy(aBytes.data() + aOffset, &aValue, 4);
}

void uaTcpMessageWriter::writeHeader(uint32_t aType) {
  encoder.Write(aType, "MessageType");
  encoder.Write(uint32_t{0}, "MessageSize");
}

void uaTcpMessageWriter::writeLimits(const uaMessageLimits& aLimits) {
  encoder.Write(uint32_t{0}, "ProtocolVersion");
  encoder.Write(aLimits.fReceiveBufferSize, "ReceiveBufferSize");
  encoder.Write(aLimits.fSendBufferSize, "SendBufferSize");
  encoder.Write(aLimits.fMaxMessageSize, "MaxMessageSize");
  encoder.Write(aLimits.fMaxChunkCount, "MaxChunkCount");
}

void uaTcpMessageWriter::WriteMessageHello(const uaMessageHello& aHelloData) {
  if (aHelloData.fEndpointUrl.size() > uaTcpMaxUrlLength)
    throw EuaTcpError(varo::Format("Endpoint URL longer than %u bytes", uaTcpMaxUrlLength));
  buffer.clear();
  writeHeader(uaTcpHello);
  writeLimits(aHelloData);
  encoder.Write(std::string_view(aHelloData.fEndpointUrl), "EndpointUrl");
  UpdateMessageSize();
}

void uaTcpMessageWriter::WriteMessageAcknowledge(const uaMessageAck& aConnectionData) {
  buffer.clear();
  writeHeader(uaTcpAcknowledge);
  writeLimits(aConnectionData);
  UpdateMessageSize();
}

void uaTcpMessageWriter::WriteMessageError(const uaMessageError& aErrorData) {
  buffer.clear();
  writeHeader(uaTcpError);
  encoder.Write(static_cast<uint32_t>(aErrorData.fError), "Error");
  std::string_view reason(aErrorData.fReason);
  encoder.Write(reason.substr(0, uaTcpMaxReasonLength), "Reason");
  UpdateMessageSize();
}

void uaTcpMessageWriter::writeConversationHeader(const uaConversationMsgHeader& aHeader) {
  encoder.Write(aHeader.fBaseHeader.fMessageType, "MessageType");
  encoder.Write(aHeader.fBaseHeader.fMessageSize, "MessageSize");
  encoder.Write(aHeader.fSecureChannelId, "SecureChannelId");
}

void uaTcpMessageWriter::writeSequenceHeader(const uaMsgSequencHeader& aHeader) {
  fUncryptHeaderSize = buffer.position();
  encoder.Write(aHeader.fSequenceNumber, "SequenceNumber");
  encoder.Write(aHeader.fRequestId, "RequestId");
}

void uaTcpMessageWriter::WriteAsymmetricMessage(const uaMsgAsymmetricHeader& aHeader) {
  writeConversationHeader(aHeader.fHeader);
  encoder.Write(std::string_view(aHeader.fSecureHeader.fSecurityPolicyUri), "SecurityPolicyUri");
  encoder.Write(aHeader.fSecureHeader.fSenderCertificate, "SenderCertificate");
  encoder.Write(aHeader.fSecureHeader.fReceiverCertificateThumbprint, "ReceiverCertificateThumbprint");
  writeSequenceHeader(aHeader.fSequencHeader);
}

void uaTcpMessageWriter::WriteSymmetricMessage(const uaMsgSymmetricHeader& aHeader) {
  writeConversationHeader(aHeader.fHeader);
  encoder.Write(aHeader.fSecureHeader.ftokenId, "TokenId");
  writeSequenceHeader(aHeader.fSequencHeader);
}

// ---------------------------------------------------------------------------------------
// Reader

void uaTcpMessageReader::SetInputStreamData(varo::ByteSpan aBytes) {
  fBuffer_.assign(aBytes);
  fIn = varo::ByteReader(fBuffer_.view());
}

uint32_t uaTcpMessageReader::u32() {
  uint32_t v = 0;
  fDecoder.Read(v, "");
  return v;
}

void uaTcpMessageReader::CheckMessageHeader(const uaMsgHeader& aHeader, uint32_t aMaxSize) {
  if (aHeader.fMessageSize < uaTcpHeaderSize)
    throw EuaTcpError(
        varo::Format("UA TCP message size %u is smaller than its header", aHeader.fMessageSize));
  if (aMaxSize != 0 && aHeader.fMessageSize > aMaxSize)
    throw EuaTcpError(
        varo::Format("UA TCP message size %u exceeds the limit of %u bytes", aHeader.fMessageSize, aMaxSize));
}

uaMsgHeader uaTcpMessageReader::ReadMessageHeader_() {
  const size_t start = fIn.position();
  uaMsgHeader h;
  h.fMessageType = u32();
  h.fMessageSize = u32();
  CheckMessageHeader(h, fMaxMessageSize);
  if (h.fMessageSize > fIn.size() - start)
    throw EuaTcpError(varo::Format("UA TCP message size %u exceeds the %zu bytes received", h.fMessageSize,
                                   fIn.size() - start));
  return h;
}

void uaTcpMessageReader::ReadMessageAcknowledge(uaMessageAck& aAck) {
  aAck.fProtocolVersion = u32();
  aAck.fReceiveBufferSize = u32();
  aAck.fSendBufferSize = u32();
  aAck.fMaxMessageSize = u32();
  aAck.fMaxChunkCount = u32();
}

void uaTcpMessageReader::ReadMessageHello(uaMessageHello& aHello) {
  ReadMessageAcknowledge(aHello);
  int32_t len = 0;
  fDecoder.Read(len, "EndpointUrl");
  if (len > static_cast<int32_t>(uaTcpMaxUrlLength))
    throw EuaTcpError(
        varo::Format("Hello endpoint URL of %d bytes is longer than %u", len, uaTcpMaxUrlLength));
  if (len <= 0) {
    aHello.fEndpointUrl.clear();
    return;
  }
  if (static_cast<size_t>(len) > fIn.remaining())
    throw EuaTcpError("Hello endpoint URL extends beyond the message");
  varo::ByteSpan s = fIn.take(static_cast<size_t>(len));
  aHello.fEndpointUrl.assign(s.begin(), s.end());
}

void uaTcpMessageReader::ReadErrorBody(uaMessageError& aError) {
  aError.fError = u32();
  int32_t len = 0;
  fDecoder.Read(len, "Reason");
  aError.fReason.clear();
  if (len <= 0) return;
  if (static_cast<size_t>(len) > fIn.remaining())
    throw EuaTcpError(varo::Format("Error reason of %d bytes extends beyond the message", len));
  const size_t keep = std::min<size_t>(static_cast<size_t>(len), uaTcpMaxReasonLength);
  varo::ByteSpan s = fIn.take(keep);
  aError.fReason.assign(s.begin(), s.end());
  fIn.skip(static_cast<size_t>(len) - keep);
}

void uaTcpMessageReader::ReadConversationHeader(uaConversationMsgHeader& aHeader) {
  aHeader.fBaseHeader = ReadMessageHeader_();
  aHeader.fSecureChannelId = u32();
}

void uaTcpMessageReader::ReadAsymmetricSecurityHeader(uaMsgAsymmetricSecurityHeader& aHeader) {
  fDecoder.Read(aHeader.fSecurityPolicyUri, "SecurityPolicyUri");
  fDecoder.Read(aHeader.fSenderCertificate, "SenderCertificate");
  fDecoder.Read(aHeader.fReceiverCertificateThumbprint, "ReceiverCertificateThumbprint");
}

void uaTcpMessageReader::ReadSequencHeader(uaMsgSequencHeader& aHeader) {
  aHeader.fSequenceNumber = u32();
  aHeader.fRequestId = u32();
}

void uaTcpMessageReader::ReadRequestSymetricMessageHeader(uaMsgSymmetricHeader& aHeader) {
  aHeader.fHeader.fSecureChannelId = u32();
  aHeader.fSecureHeader.ftokenId = u32();
  ReadSequencHeader(aHeader.fSequencHeader);
}

void uaTcpMessageReader::ReadRequestAsymmetricMessageHeader(uaMsgAsymmetricHeader& aHeader) {
  aHeader.fHeader.fSecureChannelId = u32();
  ReadAsymmetricSecurityHeader(aHeader.fSecureHeader);
  ReadSequencHeader(aHeader.fSequencHeader);
}

void uaTcpMessageReader::WriteRawBytes(varo::ByteBuffer& aStream, varo::ByteSpan aBytes) {
  aStream.write(aBytes);
  aStream.truncate();
}

// ---------------------------------------------------------------------------------------

ByteArray BuildHelloMessage(const uaMessageHello& aHello) {
  uaTcpMessageWriter w;
  w.WriteMessageHello(aHello);
  return w.buffer.release();
}

ByteArray BuildHelloMessage(std::string_view aEndpointUrl) {
  uaMessageHello hello;
  hello.fEndpointUrl = std::string(aEndpointUrl);
  return BuildHelloMessage(hello);
}

}  // namespace varo::ua
