// SPDX-License-Identifier: MPL-2.0
// The writer and reader that put UA TCP messages and secure conversation headers into and
// take them out of a byte buffer. Both reuse their buffer for every message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/bytes.h"
#include "ua/encoding/binary_codec.h"
#include "ua/transport/tcp_messages.h"

namespace varo::ua {

class uaTcpMessageWriter {
 public:
  uaTcpMessageWriter() = default;
  uaTcpMessageWriter(const uaTcpMessageWriter&) = delete;
  uaTcpMessageWriter& operator=(const uaTcpMessageWriter&) = delete;

  // Complete messages; each first empties the buffer. ProtocolVersion is always written as 0.
  void WriteMessageHello(const uaMessageHello& aHelloData);
  void WriteMessageAcknowledge(const uaMessageAck& aConnectionData);
  void WriteMessageError(const uaMessageError& aErrorData);

  // Chunk headers, appended at the buffer's position: message header (size 0, patched later
  // by UpdateMessageSize), secure channel id, security header, sequence header.
  // fUncryptHeaderSize becomes the offset of the sequence header, where the part that may be
  // encrypted starts.
  void WriteAsymmetricMessage(const uaMsgAsymmetricHeader& aHeader);
  void WriteSymmetricMessage(const uaMsgSymmetricHeader& aHeader);

  // Patch the size at offset 4 with the buffer size or aSize, the type word at offset 0, or a
  // little-endian UInt32 at any offset. Raise EReadError for an offset beyond the data.
  void UpdateMessageSize() { UpdateMessageSize(checkedSize(buffer.size())); }
  void UpdateMessageSize(uint32_t aSize) { UpdateMessageValue(4, aSize); }
  void UpdateMessageType(uint32_t aType) { UpdateMessageValue(0, aType); }
  void UpdateMessageValue(size_t aOffset, uint32_t aValue) { buffer.patchU32(aOffset, aValue); }
  static void UpdateMessageValue(ByteArray& aBytes, size_t aOffset, uint32_t aValue);

  const varo::ByteBuffer& Buffer() const { return buffer; }
  varo::ByteSpan View() const { return buffer.view(); }
  TuaBinaryEncoder& Encoder() { return encoder; }
  size_t UncryptHeaderSize() const { return fUncryptHeaderSize; }

  // The growable buffer and the encoder writing into it (declared in this order).
  varo::ByteBuffer buffer;
  TuaBinaryEncoder encoder{buffer};
  size_t fUncryptHeaderSize = 0;

 private:
  static uint32_t checkedSize(size_t n);
  void writeHeader(uint32_t aType);
  void writeLimits(const uaMessageLimits& aLimits);
  void writeConversationHeader(const uaConversationMsgHeader& aHeader);
  void writeSequenceHeader(const uaMsgSequencHeader& aHeader);
};

// Reads from its own buffer, which the socket layer fills with one received message at a
// time. Every read is bounds-checked: a read past the end raises EuaDecodeError, a header or
// field that is malformed or outside the limits raises EuaTcpError.
class uaTcpMessageReader {
 public:
  uaTcpMessageReader() = default;
  uaTcpMessageReader(const uaTcpMessageReader&) = delete;
  uaTcpMessageReader& operator=(const uaTcpMessageReader&) = delete;

  // Replaces the buffer's content by aBytes and rewinds.
  void SetInputStreamData(varo::ByteSpan aBytes);
  void SetInputStreamData(const varo::ByteBuffer& aStream) { SetInputStreamData(aStream.view()); }

  // The largest message size a header may announce (the receive buffer size; 0 = no limit).
  void SetMaxMessageSize(uint32_t aMaxSize) { fMaxMessageSize = aMaxSize; }
  uint32_t MaxMessageSize() const { return fMaxMessageSize; }

  // Type word and size. Raises EuaTcpError when the size is below 8, above the limit, or
  // larger than the bytes in the buffer.
  uaMsgHeader ReadMessageHeader_();
  void ReadMessageHeader_(uaMsgHeader& aHeader) { aHeader = ReadMessageHeader_(); }
  // Checks an announced header against a size limit (0 = no limit) before the rest of the
  // message has been received; raises EuaTcpError.
  static void CheckMessageHeader(const uaMsgHeader& aHeader, uint32_t aMaxSize);

  // Bodies after the 8-byte header.
  void ReadMessageAcknowledge(uaMessageAck& aAck);
  // A Hello whose endpoint URL is longer than 4096 bytes raises EuaTcpError.
  void ReadMessageHello(uaMessageHello& aHello);
  // Keeps at most 4096 bytes of the reason and skips the rest; a negative length is an empty
  // reason, a length beyond the message raises.
  void ReadErrorBody(uaMessageError& aError);

  void ReadConversationHeader(uaConversationMsgHeader& aHeader);
  void ReadAsymmetricSecurityHeader(uaMsgAsymmetricSecurityHeader& aHeader);
  void ReadSequencHeader(uaMsgSequencHeader& aHeader);
  // Secure channel id, token id and sequence header (after the message header).
  void ReadRequestSymetricMessageHeader(uaMsgSymmetricHeader& aHeader);
  // Secure channel id, asymmetric security header and sequence header.
  void ReadRequestAsymmetricMessageHeader(uaMsgAsymmetricHeader& aHeader);

  // Writes aBytes at the buffer's position and cuts the buffer there.
  static void WriteRawBytes(varo::ByteBuffer& aStream, varo::ByteSpan aBytes);

  TuaBinaryDecoder& Decoder() { return fDecoder; }
  const varo::ByteBuffer& Buffer() const { return fBuffer_; }
  size_t Position() const { return fIn.position(); }
  size_t Remaining() const { return fIn.remaining(); }
  // Moves the read position (raises EReadError beyond the end).
  void Seek(size_t aPos) { fIn.seek(aPos); }

 private:
  uint32_t u32();

  varo::ByteBuffer fBuffer_;
  varo::ByteReader fIn;
  TuaBinaryDecoder fDecoder{fIn};
  uint32_t fMaxMessageSize = uaMessageLimits{}.fReceiveBufferSize;
};

// The Hello with the default limits for an endpoint URL such as "opc.tcp://host:4840/path",
// byte for byte as the client sends it. Raises EuaTcpError for a URL longer than 4096 bytes.
ByteArray BuildHelloMessage(std::string_view aEndpointUrl);
ByteArray BuildHelloMessage(const uaMessageHello& aHello);

}  // namespace varo::ua
