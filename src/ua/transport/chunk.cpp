// SPDX-License-Identifier: MPL-2.0
#include "ua/transport/chunk.h"

#include <algorithm>
#include <limits>

#include "platform/strings.h"
#include "ua/encoding/binary_codec.h"
#include "ua/encoding/status_codes.h"

namespace varo::ua {

EuaStatusError::EuaStatusError(uaStatusCode aStatus, const std::string& aDetail)
    : EuaTcpError(varo::Format("UA Error ($%x) %s", aStatus, Statuscodes::ToString(aStatus).c_str()) +
                  (aDetail.empty() ? std::string() : ": " + aDetail)),
      fStatus(aStatus) {}

// ---------------------------------------------------------------------------------------
// Delegate sizes

void uaChunkHandler::uaDelegate::SetSecurity(bool aSigned, bool aEncrypted, uint32_t aPlainBlockSize,
                                             uint32_t aCipherTextBlockSize, uint32_t aCipherBlockSize,
                                             uint32_t aSignatureSize, bool aExtraPadding) {
  fsigend = aSigned;
  fencrypted = aEncrypted;
  fPlainBlockSize = std::max<uint32_t>(aPlainBlockSize, 1);
  fKeySize = std::max<uint32_t>(aCipherTextBlockSize, 1);
  fCipherBlockSize = std::max<uint32_t>(aCipherBlockSize, 1);
  fSignatureSize = aSignatureSize;
  fExtraPadding = aExtraPadding;
}

uint32_t uaChunkHandler::uaDelegate::getPaddingSize(uint64_t aEncryptSize) const {
  if (!fencrypted) return 0;
  const uint64_t r = (aEncryptSize + PaddingOverHead()) % fCipherBlockSize;
  return r == 0 ? 0 : static_cast<uint32_t>(fCipherBlockSize - r);
}

uint32_t uaChunkHandler::uaDelegate::CalcMaxBodySize(uint32_t aSendBufferSize,
                                                     uint32_t aSecurityHeaderSize) const {
  if (fencrypted && fPlainBlockSize % fCipherBlockSize != 0)
    throw EuaStatusError(uaBadTcpInternalError,
                         varo::Format("cipher block size %u does not divide the plaintext block size %u",
                                      fCipherBlockSize, fPlainBlockSize));
  const int64_t avail = int64_t{aSendBufferSize} - uaChunkPrefixSize - aSecurityHeaderSize;
  int64_t m = 0;
  if (avail > 0) {
    const int64_t overhead =
        int64_t{uaSequenceHeaderSize} + (fsigend ? fSignatureSize : 0) + PaddingOverHead();
    if (fencrypted)
      m = avail / fKeySize * fPlainBlockSize - overhead;
    else
      m = avail - overhead;
  }
  if (m <= 0)
    throw EuaStatusError(uaBadTcpInternalError,
                         varo::Format("a security header of %u bytes leaves no room for a body in the send "
                                      "buffer of %u bytes",
                                      aSecurityHeaderSize, aSendBufferSize));
  return static_cast<uint32_t>(m);
}

// ---------------------------------------------------------------------------------------
// Encoder

namespace {

void writeHeaders(uaTcpMessageWriter& aWriter, const uaMsgSymmetricHeader& aHeader) {
  aWriter.WriteSymmetricMessage(aHeader);
}
void writeHeaders(uaTcpMessageWriter& aWriter, const uaMsgAsymmetricHeader& aHeader) {
  aWriter.WriteAsymmetricMessage(aHeader);
}

uint32_t toU32(uint64_t n) {
  if (n > std::numeric_limits<uint32_t>::max())
    throw EuaStatusError(uaBadTcpInternalError, "chunk larger than 4 GiB");
  return static_cast<uint32_t>(n);
}

bool isSecureConversationType(uint32_t aType) {
  return aType == uaTcpOpenSecureChannel || aType == uaTcpMessage || aType == uaTcpCloseSecureChannel;
}

}  // namespace

void uaChunkEncoder::FinishChunk(uaTcpMessageWriter& aWriter, uaDelegate& aDelegate) {
  varo::ByteBuffer& buf = aWriter.buffer;
  const size_t unc = aWriter.fUncryptHeaderSize;
  const uint32_t sig = aDelegate.signed_() ? aDelegate.SignatureSize() : 0;
  uint64_t total = 0;
  if (aDelegate.encrypted()) {
    const uint64_t x = sig + (buf.position() - unc);
    const uint32_t p = aDelegate.getPaddingSize(x);
    const uint8_t low = static_cast<uint8_t>(p & 0xFF);
    for (uint32_t i = 0; i < p; ++i) buf.writeU8(low);
    buf.writeU8(low);
    if (aDelegate.ExtraPadding()) buf.writeU8(static_cast<uint8_t>(p >> 8));
    total = unc + aDelegate.CalcEncryptSize(x + p + aDelegate.PaddingOverHead());
  } else {
    total = buf.position() + sig;
  }
  // The size is part of what is signed.
  aWriter.UpdateMessageSize(toU32(total));
  if (aDelegate.signed_()) {
    const ByteArray s = aDelegate.SignChunk(buf.view().first(buf.position()));
    if (s.size() != sig)
      throw EuaStatusError(uaBadTcpInternalError,
                           varo::Format("signature of %zu bytes where %u were expected", s.size(), sig));
    buf.write(s);
  }
  if (aDelegate.encrypted()) {
    const ByteArray c = aDelegate.EncryptChunk(buf.view().subspan(unc, buf.position() - unc));
    if (c.size() != total - unc)
      throw EuaStatusError(uaBadTcpInternalError,
                           varo::Format("ciphertext of %zu bytes where %llu were expected", c.size(),
                                        static_cast<unsigned long long>(total - unc)));
    buf.seek(unc);
    buf.write(c);
    buf.truncate();
  }
  if (buf.size() != total)
    throw EuaStatusError(uaBadTcpInternalError, "chunk size does not match its header");
}

template <class THeader>
void uaChunkEncoder::writeChunks(uint32_t aMessageType, uaDelegate& aDelegate,
                                 const uaChunkSendCallback& aSend, uint32_t aRequestId, ByteSpan aMessage,
                                 uaTcpConnectionData& aConnectionData, uaTcpMessageWriter& aWriter,
                                 THeader& aHeader) {
  const uint32_t type = uaTcp::getMessageType(aMessageType);
  if (!isSecureConversationType(type))
    throw EuaStatusError(uaBadTcpMessageTypeInvalid,
                         varo::Format("cannot send message type %06x in chunks", type));
  const uaDirectionLimits limits = aConnectionData.fLimits.SendLimits();

  // Measure the security header with the headers of the first chunk.
  aHeader.fHeader.fBaseHeader = {type | uaTcpChunkIntermediate, 0};
  aHeader.fSequencHeader = {0, aRequestId};
  aWriter.buffer.clear();
  writeHeaders(aWriter, aHeader);
  const size_t headerEnd = aWriter.fUncryptHeaderSize;
  const uint32_t maxBody = aDelegate.CalcMaxBodySize(limits.BufferSize, toU32(headerEnd - uaChunkPrefixSize));

  const size_t len = aMessage.size();
  const size_t chunks = len == 0 ? 1 : (len - 1) / maxBody + 1;
  if (limits.MaxMessageSize != 0 && len > limits.MaxMessageSize)
    throw EuaStatusError(uaBadRequestTooLarge,
                         varo::Format("message of %zu bytes exceeds the server's limit of %u bytes", len,
                                      limits.MaxMessageSize));
  if (limits.MaxChunkCount != 0 && chunks > limits.MaxChunkCount)
    throw EuaStatusError(uaBadRequestTooLarge,
                         varo::Format("message of %zu bytes needs %zu chunks, the server takes at most %u",
                                      len, chunks, limits.MaxChunkCount));

  for (size_t i = 0; i < chunks; ++i) {
    const size_t off = i * size_t{maxBody};
    const size_t n = std::min<size_t>(maxBody, len - off);
    const bool last = i + 1 == chunks;
    aHeader.fHeader.fBaseHeader = {type | (last ? uaTcpChunkFinal : uaTcpChunkIntermediate), 0};
    aHeader.fSequencHeader = {aConnectionData.getNextSequenceNumber(), aRequestId};
    aWriter.buffer.clear();
    writeHeaders(aWriter, aHeader);
    aWriter.buffer.write(aMessage.subspan(off, n));
    FinishChunk(aWriter, aDelegate);
    if (aWriter.buffer.size() > limits.BufferSize)
      throw EuaStatusError(uaBadTcpInternalError, "chunk larger than the send buffer");
    aSend(aWriter.View());
  }
}

void uaChunkEncoder::WriteMessageChunks(uint32_t aMessageType, uaDelegate& aDelegate,
                                        const uaChunkSendCallback& aSend, uint32_t aRequestId,
                                        ByteSpan aMessage, uaTcpConnectionData& aConnectionData,
                                        uaTcpMessageWriter& aWriter, uaMsgSymmetricHeader& aHeader) {
  writeChunks(aMessageType, aDelegate, aSend, aRequestId, aMessage, aConnectionData, aWriter, aHeader);
}

void uaChunkEncoder::WriteMessageChunks(uint32_t aMessageType, uaDelegate& aDelegate,
                                        const uaChunkSendCallback& aSend, uint32_t aRequestId,
                                        ByteSpan aMessage, uaTcpConnectionData& aConnectionData,
                                        uaTcpMessageWriter& aWriter, uaMsgAsymmetricHeader& aHeader) {
  writeChunks(aMessageType, aDelegate, aSend, aRequestId, aMessage, aConnectionData, aWriter, aHeader);
}

void uaChunkEncoder::WriteMessageChunks(uint32_t aMessageType, uaDelegate& aDelegate,
                                        const uaChunkSendCallback& aSend, uint32_t aRequestId,
                                        const TuaObj& aMessage, uaTcpConnectionData& aConnectionData,
                                        uaTcpMessageWriter& aWriter, uaMsgSymmetricHeader& aHeader) {
  fChunkBuffer.clear();
  TuaBinaryEncoder enc(fChunkBuffer);
  enc.WriteMessage(aMessage, "Message");
  writeChunks(aMessageType, aDelegate, aSend, aRequestId, fChunkBuffer.view(), aConnectionData, aWriter,
              aHeader);
}

void uaChunkEncoder::WriteMessageChunks(uint32_t aMessageType, uaDelegate& aDelegate,
                                        const uaChunkSendCallback& aSend, uint32_t aRequestId,
                                        const TuaObj& aMessage, uaTcpConnectionData& aConnectionData,
                                        uaTcpMessageWriter& aWriter, uaMsgAsymmetricHeader& aHeader) {
  fChunkBuffer.clear();
  TuaBinaryEncoder enc(fChunkBuffer);
  enc.WriteMessage(aMessage, "Message");
  writeChunks(aMessageType, aDelegate, aSend, aRequestId, fChunkBuffer.view(), aConnectionData, aWriter,
              aHeader);
}

// ---------------------------------------------------------------------------------------
// Decoder

void uaChunkDecoder::Clear() {
  fCollecting = false;
  fDiscarding = false;
  fRequestId = 0;
  fMessageType = 0;
  fChunkCount = 0;
  fResult.clear();
}

uaChunkDecoder::Unwrapped uaChunkDecoder::UnwrapChunk(ByteSpan aChunk, size_t aOffset,
                                                      uaDelegate& aDelegate) {
  ByteSpan work = aChunk;
  if (aDelegate.encrypted()) {
    const ByteSpan enc = aChunk.subspan(aOffset);
    const uint32_t bc = aDelegate.CipherTextBlockSize();
    if (enc.empty() || enc.size() % bc != 0)
      throw EuaStatusError(
          uaBadSecurityChecksFailed,
          varo::Format("encrypted part of %zu bytes is not a multiple of the %u-byte block", enc.size(), bc));
    const ByteArray plain = aDelegate.DecryptChunk(enc);
    if (plain.size() != enc.size() / bc * aDelegate.PlainTextBlockSize())
      throw EuaStatusError(uaBadSecurityChecksFailed,
                           varo::Format("decryption gave %zu bytes for %zu", plain.size(), enc.size()));
    fPlain.assign(aChunk.begin(), aChunk.begin() + static_cast<std::ptrdiff_t>(aOffset));
    fPlain.insert(fPlain.end(), plain.begin(), plain.end());
    work = fPlain;
  }
  const size_t sig = aDelegate.signed_() ? aDelegate.SignatureSize() : 0;
  const size_t overhead = aDelegate.PaddingOverHead();
  const size_t end = work.size();
  if (end < aOffset + uaSequenceHeaderSize + sig + overhead)
    throw EuaStatusError(uaBadDecodingError,
                         varo::Format("chunk of %zu bytes is too short for its headers and footer", end));
  // The signature covers everything in front of it; nothing of the body is used before it
  // has been checked.
  if (aDelegate.signed_() && !aDelegate.VerifyChunk(work.first(end - sig), work.subspan(end - sig)))
    throw EuaStatusError(uaBadSecurityChecksFailed, EuaStatusError::ExactText{}, uaSignatureErrorText);
  size_t bodyEnd = end - sig;
  if (aDelegate.encrypted()) {
    bodyEnd -= overhead;
    size_t p = work[bodyEnd];
    if (aDelegate.ExtraPadding()) p += size_t{work[bodyEnd + 1]} << 8;
    if (p > bodyEnd - aOffset - uaSequenceHeaderSize)
      throw EuaStatusError(uaBadSecurityChecksFailed, EuaStatusError::ExactText{}, uaPaddingErrorText);
    const uint8_t low = static_cast<uint8_t>(p & 0xFF);
    for (size_t i = bodyEnd - p; i < bodyEnd; ++i)
      if (work[i] != low)
        throw EuaStatusError(uaBadSecurityChecksFailed, EuaStatusError::ExactText{}, uaPaddingErrorText);
    bodyEnd -= p;
  }
  varo::ByteReader seq(work.subspan(aOffset, uaSequenceHeaderSize));
  Unwrapped u;
  u.fSequence.fSequenceNumber = seq.readU32();
  u.fSequence.fRequestId = seq.readU32();
  const size_t bodyStart = aOffset + uaSequenceHeaderSize;
  u.fBody = work.subspan(bodyStart, bodyEnd - bodyStart);
  return u;
}

void uaChunkDecoder::CheckSequence(uint32_t aSequenceNumber) {
  if (!fCheckSequence) return;
  if (fHaveSequence) {
    const bool next = fLastSequence != 0xFFFFFFFFu && aSequenceNumber == fLastSequence + 1;
    const bool wrapped = fLastSequence >= uaMaxSequenceNumber && aSequenceNumber < 1024;
    if (!next && !wrapped)
      throw EuaStatusError(uaBadSequenceNumberInvalid,
                           varo::Format("sequence number %u follows %u", aSequenceNumber, fLastSequence));
  }
  fHaveSequence = true;
  fLastSequence = aSequenceNumber;
}

uaReceivedMessage uaChunkDecoder::fail(uaStatusCode aStatus, bool aFinal, const Unwrapped& aChunk,
                                       uint32_t aType, const std::string& aDetail) {
  uaReceivedMessage r;
  r.fKind = uaReceivedMessage::rmFailed;
  r.fMessageType = aType;
  r.fRequestId = aChunk.fSequence.fRequestId;
  r.fSequenceNumber = aChunk.fSequence.fSequenceNumber;
  r.fError.fError = aStatus;
  r.fError.fReason = aDetail;
  r.fError.fType = et_Abort;
  Clear();
  fResult.shrink_to_fit();
  if (!aFinal) {
    // Drop the rest of this message as it comes in.
    fCollecting = true;
    fDiscarding = true;
    fRequestId = aChunk.fSequence.fRequestId;
    fMessageType = aType;
  }
  return r;
}

std::optional<uaReceivedMessage> uaChunkDecoder::readMessageChunk(uaTcpMessageReader& aReader,
                                                                  const uaMsgHeader& aHeader,
                                                                  uaDelegate& aDelegate) {
  try {
    const ByteSpan all = aReader.Buffer().view();
    const size_t n = aHeader.fMessageSize;
    if (n > all.size())
      throw EuaStatusError(uaBadDecodingError,
                           varo::Format("chunk size %zu exceeds the %zu bytes received", n, all.size()));
    const uint32_t chunkType = uaTcp::getChunkType(aHeader.fMessageType);
    if (chunkType != uaTcpChunkFinal && chunkType != uaTcpChunkIntermediate && chunkType != uaTcpChunkAbort)
      throw EuaStatusError(uaBadTcpMessageTypeInvalid,
                           varo::Format("unknown chunk type %02x", static_cast<unsigned>(chunkType >> 24)));
    if (fLimits.BufferSize != 0 && n > fLimits.BufferSize)
      throw EuaStatusError(
          uaBadTcpMessageTooLarge,
          varo::Format("chunk of %zu bytes exceeds the buffer of %u bytes", n, fLimits.BufferSize));
    const size_t offset = aReader.Position();
    if (offset > n) throw EuaStatusError(uaBadDecodingError, "security header extends beyond the chunk");

    const Unwrapped u = UnwrapChunk(all.first(n), offset, aDelegate);
    CheckSequence(u.fSequence.fSequenceNumber);
    const uint32_t type = uaTcp::getMessageType(aHeader.fMessageType);
    if (fCollecting && (u.fSequence.fRequestId != fRequestId || type != fMessageType))
      throw EuaStatusError(uaBadDecodingError,
                           varo::Format("chunk of request %u arrived while request %u was being assembled",
                                        u.fSequence.fRequestId, fRequestId));

    if (chunkType == uaTcpChunkAbort) {
      const bool reported = fCollecting && fDiscarding;
      Clear();
      uaReceivedMessage r;
      r.fKind = uaReceivedMessage::rmAborted;
      r.fMessageType = type;
      r.fRequestId = u.fSequence.fRequestId;
      r.fSequenceNumber = u.fSequence.fSequenceNumber;
      try {
        uaTcpMessageReader body;
        body.SetInputStreamData(u.fBody);
        body.ReadErrorBody(r.fError);
      } catch (const varo::EVaroError& e) {
        throw EuaStatusError(uaBadDecodingError, std::string("malformed abort chunk: ") + e.what());
      }
      r.fError.fType = et_Abort;
      if (reported) return std::nullopt;
      return r;
    }

    const bool last = chunkType == uaTcpChunkFinal;
    if (fDiscarding) {
      if (last) Clear();
      return std::nullopt;
    }
    const uint32_t count = fChunkCount + 1;
    if (fLimits.MaxChunkCount != 0 && count > fLimits.MaxChunkCount)
      return fail(uaBadTcpMessageTooLarge, last, u, type,
                  varo::Format("message has more than %u chunks", fLimits.MaxChunkCount));
    // fResult never holds more than the limit, so the subtraction cannot wrap.
    if (fLimits.MaxMessageSize != 0 && u.fBody.size() > fLimits.MaxMessageSize - fResult.size())
      return fail(uaBadResponseTooLarge, last, u, type,
                  varo::Format("message exceeds the limit of %u bytes", fLimits.MaxMessageSize));
    fResult.insert(fResult.end(), u.fBody.begin(), u.fBody.end());
    if (last) {
      uaReceivedMessage r;
      r.fKind = uaReceivedMessage::rmComplete;
      r.fMessageType = type;
      r.fRequestId = u.fSequence.fRequestId;
      r.fSequenceNumber = u.fSequence.fSequenceNumber;
      r.fBody = std::move(fResult);
      Clear();
      return r;
    }
    fCollecting = true;
    fRequestId = u.fSequence.fRequestId;
    fMessageType = type;
    fChunkCount = count;
    return std::nullopt;
  } catch (...) {
    Clear();
    throw;
  }
}

std::optional<uaReceivedMessage> uaChunkDecoder::ProcessChunk(ByteSpan aChunk, uaDelegate& aDelegate) {
  uaMsgHeader h;
  try {
    fReader.SetInputStreamData(aChunk);
    fReader.SetMaxMessageSize(0);
    h = fReader.ReadMessageHeader_();
    if (h.fMessageSize != aChunk.size())
      throw EuaStatusError(uaBadDecodingError, varo::Format("chunk announces %u bytes but has %zu",
                                                            h.fMessageSize, aChunk.size()));
    uint32_t channelId = 0;
    fReader.Decoder().Read(channelId, "SecureChannelId");
    const uint32_t type = uaTcp::getMessageType(h.fMessageType);
    if (type == uaTcpOpenSecureChannel) {
      uaMsgAsymmetricSecurityHeader sh;
      fReader.ReadAsymmetricSecurityHeader(sh);
    } else if (type == uaTcpMessage || type == uaTcpCloseSecureChannel) {
      uint32_t tokenId = 0;
      fReader.Decoder().Read(tokenId, "TokenId");
    } else {
      throw EuaStatusError(uaBadTcpMessageTypeInvalid,
                           varo::Format("message type %06x is not chunked", type));
    }
  } catch (const EuaStatusError&) {
    Clear();
    throw;
  } catch (const varo::EVaroError& e) {
    Clear();
    throw EuaStatusError(uaBadDecodingError, e.what());
  }
  return readMessageChunk(fReader, h, aDelegate);
}

}  // namespace varo::ua
