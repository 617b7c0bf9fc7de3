// SPDX-License-Identifier: MPL-2.0
// Chunking of secure conversation messages (OpenSecureChannel, service messages and
// CloseSecureChannel): cutting one message into chunks that fit the negotiated send buffer,
// padding, signing and encrypting each chunk, and on the receive side decrypting, verifying
// and joining the chunks of one message into its body.
//
// The cryptography is reached through a delegate per direction and security kind
// (uaChunkHandler::uaDelegate); the channel supplies implementations that call its security
// provider. uaNoneDelegate serves channels without message security.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/bytes.h"
#include "ua/encoding/builtin_types.h"
#include "ua/transport/tcp_message_io.h"
#include "ua/transport/tcp_messages.h"

namespace varo::ua {

// Status codes raised by the chunk layer.
inline constexpr uaStatusCode uaBadDecodingError = 0x80070000u;
inline constexpr uaStatusCode uaBadSecurityChecksFailed = 0x80130000u;
inline constexpr uaStatusCode uaBadTcpMessageTypeInvalid = 0x807E0000u;
inline constexpr uaStatusCode uaBadTcpMessageTooLarge = 0x80800000u;
inline constexpr uaStatusCode uaBadTcpInternalError = 0x80820000u;
inline constexpr uaStatusCode uaBadRequestTooLarge = 0x80B80000u;
inline constexpr uaStatusCode uaBadSequenceNumberInvalid = 0x80880000u;
inline constexpr uaStatusCode uaBadResponseTooLarge = 0x80B90000u;

// A chunk-layer failure carrying an OPC UA status code. Without an explicit text the message
// reads "UA Error ($%x) %s" with the code and its status text, followed by the detail.
class EuaStatusError : public EuaTcpError {
 public:
  EuaStatusError(uaStatusCode aStatus, const std::string& aDetail);
  // The message is exactly aText.
  struct ExactText {};
  EuaStatusError(uaStatusCode aStatus, ExactText, const std::string& aText)
      : EuaTcpError(aText), fStatus(aStatus) {}
  uaStatusCode Status() const { return fStatus; }

 private:
  uaStatusCode fStatus;
};

// Text raised when the padding of a decrypted chunk is malformed.
inline constexpr const char* uaPaddingErrorText = "Could not verify the padding in the message.";
// Text raised when the signature of a received chunk does not match.
inline constexpr const char* uaSignatureErrorText = "Could not verify the signature of the message.";

// Bytes of message header and secure channel id in front of the security header.
inline constexpr uint32_t uaChunkPrefixSize = 12;
// Bytes of the sequence header (sequence number, request id).
inline constexpr uint32_t uaSequenceHeaderSize = 8;

class uaChunkHandler {
 public:
  // What chunking needs from the security of one direction and one security kind: the sizes
  // that shape a chunk, and the sign / verify / encrypt / decrypt operations on chunk ranges.
  class uaDelegate {
   public:
    virtual ~uaDelegate() = default;

    bool signed_() const { return fsigend; }
    bool encrypted() const { return fencrypted; }
    // Bp: plaintext bytes per cipher operation block (16 for AES, k - 42 for RSA-OAEP-SHA1...).
    uint32_t PlainTextBlockSize() const { return fPlainBlockSize; }
    // Bc: ciphertext bytes produced per plaintext block (16 for AES, the key size for RSA).
    uint32_t CipherTextBlockSize() const { return fKeySize; }
    // B: the padded plaintext is a multiple of it; it must divide Bp.
    uint32_t CipherBlockSize() const { return fCipherBlockSize; }
    uint32_t SignatureSize() const { return fSignatureSize; }
    bool ExtraPadding() const { return fExtraPadding; }
    // O: padding-size bytes in an encrypted chunk (2 with extra padding, else 1); 0 when the
    // chunks are not encrypted.
    uint32_t PaddingOverHead() const { return fencrypted ? (fExtraPadding ? 2u : 1u) : 0u; }
    // Ciphertext size of aPlainSize bytes (a multiple of Bp when encrypted).
    uint64_t CalcEncryptSize(uint64_t aPlainSize) const {
      return fencrypted ? aPlainSize / fPlainBlockSize * fKeySize : aPlainSize;
    }
    // P for X bytes to be encrypted besides the padding: the smallest P >= 0 that makes
    // X + O + P a multiple of B. 0 when not encrypted.
    uint32_t getPaddingSize(uint64_t aEncryptSize) const;
    // The largest body per chunk for a send buffer of aSendBufferSize bytes and a security
    // header of aSecurityHeaderSize bytes, such that the whole chunk (headers, padding and
    // signature included) fits the buffer. Raises EuaStatusError (BadTcpInternalError) when
    // no body byte fits or the block sizes are unusable.
    uint32_t CalcMaxBodySize(uint32_t aSendBufferSize, uint32_t aSecurityHeaderSize) const;

    // Signature (SignatureSize bytes) over aData: chunk start to the end of the padding.
    virtual ByteArray SignChunk(ByteSpan aData) = 0;
    // True when aSignature is the signature of aData.
    virtual bool VerifyChunk(ByteSpan aData, ByteSpan aSignature) = 0;
    // Ciphertext of aPlain (a multiple of Bp bytes): CalcEncryptSize(aPlain.size()) bytes.
    virtual ByteArray EncryptChunk(ByteSpan aPlain) = 0;
    // Plaintext of aCipher (a multiple of Bc bytes): Bp bytes per Bc block. Raises on
    // ciphertext it cannot decrypt.
    virtual ByteArray DecryptChunk(ByteSpan aCipher) = 0;

   protected:
    // Applies new sizes (policy or mode changed). Block sizes of 0 count as 1.
    void SetSecurity(bool aSigned, bool aEncrypted, uint32_t aPlainBlockSize, uint32_t aCipherTextBlockSize,
                     uint32_t aCipherBlockSize, uint32_t aSignatureSize, bool aExtraPadding);

   private:
    bool fsigend = false;
    bool fencrypted = false;
    uint32_t fPlainBlockSize = 1;
    uint32_t fKeySize = 1;
    uint32_t fCipherBlockSize = 1;
    uint32_t fSignatureSize = 0;
    bool fExtraPadding = false;
  };
};

// No message security: chunks are neither signed nor encrypted.
class uaNoneDelegate final : public uaChunkHandler::uaDelegate {
 public:
  ByteArray SignChunk(ByteSpan) override { return {}; }
  bool VerifyChunk(ByteSpan, ByteSpan aSignature) override { return aSignature.empty(); }
  ByteArray EncryptChunk(ByteSpan aPlain) override { return ByteArray(aPlain.begin(), aPlain.end()); }
  ByteArray DecryptChunk(ByteSpan aCipher) override { return ByteArray(aCipher.begin(), aCipher.end()); }
};

// Receives each finished chunk (all of its bytes) for the connection.
using uaChunkSendCallback = std::function<void(ByteSpan aChunk)>;

// Cuts outgoing messages into chunks. One sender at a time (the client's send lock).
class uaChunkEncoder : public uaChunkHandler {
 public:
  // Sends one message whose encoding (encoding node id and body) is aMessage. aMessageType is
  // OPN, MSG or CLO (the chunk letter is set here); aHeader gives the secure channel id and the
  // security header and receives the sequence header of each chunk. Each chunk takes the next
  // sequence number of aConnectionData and carries aRequestId.
  //
  // Before anything is sent (and before a sequence number is taken) the message is checked
  // against the send limits of aConnectionData: a body above MaxMessageSize or more chunks
  // than MaxChunkCount (0 = no limit) raise EuaStatusError with BadRequestTooLarge.
  // Every chunk is at most the negotiated send buffer size.
  void WriteMessageChunks(uint32_t aMessageType, uaDelegate& aDelegate, const uaChunkSendCallback& aSend,
                          uint32_t aRequestId, ByteSpan aMessage, uaTcpConnectionData& aConnectionData,
                          uaTcpMessageWriter& aWriter, uaMsgSymmetricHeader& aHeader);
  void WriteMessageChunks(uint32_t aMessageType, uaDelegate& aDelegate, const uaChunkSendCallback& aSend,
                          uint32_t aRequestId, ByteSpan aMessage, uaTcpConnectionData& aConnectionData,
                          uaTcpMessageWriter& aWriter, uaMsgAsymmetricHeader& aHeader);
  // The same for a message object, encoded with its encoding node id first.
  void WriteMessageChunks(uint32_t aMessageType, uaDelegate& aDelegate, const uaChunkSendCallback& aSend,
                          uint32_t aRequestId, const TuaObj& aMessage, uaTcpConnectionData& aConnectionData,
                          uaTcpMessageWriter& aWriter, uaMsgSymmetricHeader& aHeader);
  void WriteMessageChunks(uint32_t aMessageType, uaDelegate& aDelegate, const uaChunkSendCallback& aSend,
                          uint32_t aRequestId, const TuaObj& aMessage, uaTcpConnectionData& aConnectionData,
                          uaTcpMessageWriter& aWriter, uaMsgAsymmetricHeader& aHeader);

  // Pads, signs and encrypts the chunk in aWriter (position at the end of the body) and
  // patches its message size.
  static void FinishChunk(uaTcpMessageWriter& aWriter, uaDelegate& aDelegate);

 private:
  template <class THeader>
  void writeChunks(uint32_t aMessageType, uaDelegate& aDelegate, const uaChunkSendCallback& aSend,
                   uint32_t aRequestId, ByteSpan aMessage, uaTcpConnectionData& aConnectionData,
                   uaTcpMessageWriter& aWriter, THeader& aHeader);

  varo::ByteBuffer fChunkBuffer;  // the encoded message of the object overloads
};

// One received message, complete or ended early.
struct uaReceivedMessage {
  enum TKind : uint8_t {
    rmComplete = 0,  // fBody holds the joined body (starting with the encoding node id)
    rmAborted = 1,   // the server sent an abort chunk: fError holds its status and reason
    rmFailed = 2,    // the message broke a receive limit: fError.fError holds the status
  };
  TKind fKind = rmComplete;
  uint32_t fMessageType = 0;  // OPN, MSG or CLO (no chunk letter)
  uint32_t fRequestId = 0;
  uint32_t fSequenceNumber = 0;  // of the last chunk taken
  ByteArray fBody;
  uaMessageError fError;
};

// Collects received chunks and joins them. It assembles one message at a time: the chunks of
// a message must arrive back to back. Used by the receive thread only.
class uaChunkDecoder : public uaChunkHandler {
 public:
  // Limits of the receive direction: largest chunk, largest message body, most chunks per
  // message (0 = no limit).
  void SetLimits(const uaDirectionLimits& aLimits) { fLimits = aLimits; }
  const uaDirectionLimits& Limits() const { return fLimits; }

  // One received chunk. The reader holds the chunk from offset 0, aHeader is its message
  // header, and the reader's position is just behind its security header. The chunk is
  // decrypted and its signature verified before any of its body is used.
  //
  // Returns the message when this chunk ends one: complete (final chunk), aborted (abort
  // chunk), or failed (the chunk count or the message size went over the limits; the rest of
  // that message is then verified and dropped). Returns nothing for an intermediate chunk.
  //
  // Raises EuaStatusError, leaving nothing collected, for chunks that the channel cannot go on
  // after: a bad chunk letter, a chunk over the buffer size, a malformed or truncated chunk,
  // a wrong signature or padding, or a chunk of another request or message type while a
  // message is being collected.
  std::optional<uaReceivedMessage> readMessageChunk(uaTcpMessageReader& aReader, const uaMsgHeader& aHeader,
                                                    uaDelegate& aDelegate);

  // A whole chunk as received: reads the message header, the secure channel id and the
  // security header (asymmetric for OPN, symmetric for MSG and CLO) first. Other message
  // types raise EuaStatusError (BadTcpMessageTypeInvalid).
  std::optional<uaReceivedMessage> ProcessChunk(ByteSpan aChunk, uaDelegate& aDelegate);

  // Drops whatever is collected.
  void Clear();
  // Forgets the sequence numbers received so far (a new connection). With the check on (the
  // channel turns it on; off by default for tests of single chunks), every verified chunk's
  // sequence number must be one above the last one's; after uaMaxSequenceNumber or above it
  // may wrap to a number below 1024. A violation raises BadSequenceNumberInvalid.
  void ResetSequence() { fHaveSequence = false; }
  void SetSequenceCheck(bool aCheck) { fCheckSequence = aCheck; }
  bool Collecting() const { return fCollecting; }
  uint32_t CollectedChunks() const { return fChunkCount; }
  size_t CollectedBytes() const { return fResult.size(); }

 private:
  struct Unwrapped {
    uaMsgSequencHeader fSequence;
    ByteSpan fBody;
  };
  Unwrapped UnwrapChunk(ByteSpan aChunk, size_t aOffset, uaDelegate& aDelegate);
  void CheckSequence(uint32_t aSequenceNumber);
  uaReceivedMessage fail(uaStatusCode aStatus, bool aFinal, const Unwrapped& aChunk, uint32_t aType,
                         const std::string& aDetail);

  uaDirectionLimits fLimits{uaMessageLimits{}.fReceiveBufferSize, uaMessageLimits{}.fMaxMessageSize,
                            uaMessageLimits{}.fMaxChunkCount};
  bool fCheckSequence = false;
  bool fHaveSequence = false;
  uint32_t fLastSequence = 0;
  bool fCollecting = false;  // a message is being collected (or dropped)
  bool fDiscarding = false;  // the message broke a limit: its remaining chunks are dropped
  uint32_t fRequestId = 0;
  uint32_t fMessageType = 0;
  uint32_t fChunkCount = 0;
  ByteArray fResult;           // the joined body so far
  ByteArray fPlain;            // working copy of a decrypted chunk
  uaTcpMessageReader fReader;  // for ProcessChunk
};

}  // namespace varo::ua
