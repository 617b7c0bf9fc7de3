// SPDX-License-Identifier: MPL-2.0
// Feeds arbitrary bytes, split into chunks, to the chunk decoder, and checks that assembly
// stays within its limits: nothing collected or delivered is larger than the message size
// limit, failures are the decoder's own status errors, and a failure leaves nothing
// collected. The first chunk's bytes are also sent through the encoder and must assemble
// back to the same message.
//
// Input: one setup byte (security kind, message size limit, chunk count limit), then
// records of a 16-bit little-endian length and that many chunk bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "ua/transport/chunk.h"

namespace {

using namespace varo::ua;

void Check(bool ok) {
  if (!ok) std::abort();
}

// Signs with a checksum and "encrypts" by XOR, so that fuzzed bytes can pass the checks and
// reach the padding and body handling.
class FuzzDelegate final : public uaChunkHandler::uaDelegate {
 public:
  FuzzDelegate(bool aSigned, bool aEncrypted, uint32_t aBlock, uint32_t aSignatureSize) {
    SetSecurity(aSigned, aEncrypted, aBlock, aBlock, aBlock, aSignatureSize, aBlock > 256);
  }
  varo::ByteArray SignChunk(varo::ByteSpan aData) override { return Sum(aData); }
  bool VerifyChunk(varo::ByteSpan aData, varo::ByteSpan aSignature) override {
    const varo::ByteArray s = Sum(aData);
    return aSignature.size() == s.size() && std::memcmp(s.data(), aSignature.data(), s.size()) == 0;
  }
  varo::ByteArray EncryptChunk(varo::ByteSpan aPlain) override { return Xor(aPlain); }
  varo::ByteArray DecryptChunk(varo::ByteSpan aCipher) override { return Xor(aCipher); }

 private:
  varo::ByteArray Sum(varo::ByteSpan aData) const {
    varo::ByteArray s(SignatureSize());
    uint8_t acc = 0x3C;
    for (uint8_t b : aData) acc = static_cast<uint8_t>(acc * 31 + b);
    for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<uint8_t>(acc + i);
    return s;
  }
  static varo::ByteArray Xor(varo::ByteSpan aIn) {
    varo::ByteArray out(aIn.begin(), aIn.end());
    for (uint8_t& b : out) b ^= 0x5A;
    return out;
  }
};

std::unique_ptr<uaChunkHandler::uaDelegate> MakeDelegate(uint8_t aKind) {
  switch (aKind & 3) {
    case 0:
      return std::make_unique<uaNoneDelegate>();
    case 1:
      return std::make_unique<FuzzDelegate>(true, false, 1, 2);
    case 2:
      return std::make_unique<FuzzDelegate>(true, true, 16, 2);
    default:
      return std::make_unique<FuzzDelegate>(true, true, 470, 4);  // two padding-size bytes
  }
}

void RoundTrip(uaChunkHandler::uaDelegate& d, varo::ByteSpan aMessage, uint32_t aMaxMessage,
               uint32_t aMaxChunks) {
  uaTcpConnectionData cd;
  cd.fLimits.fHandShakeLimits.fSendBufferSize = uaTcpMinBufferSize;
  cd.fLimits.fHandShakeLimits.fMaxMessageSize = aMaxMessage;
  cd.fLimits.fHandShakeLimits.fMaxChunkCount = aMaxChunks;
  uaChunkEncoder enc;
  uaChunkDecoder dec;
  dec.SetLimits({uaTcpMinBufferSize, 0, 0});
  uaTcpMessageWriter w;
  uaMsgSymmetricHeader h;
  std::optional<uaReceivedMessage> got;
  size_t chunks = 0;
  try {
    enc.WriteMessageChunks(
        uaTcpMessage, d,
        [&](varo::ByteSpan c) {
          Check(c.size() <= uaTcpMinBufferSize);
          Check(!got.has_value());
          ++chunks;
          got = dec.ProcessChunk(c, d);
        },
        5, aMessage, cd, w, h);
  } catch (const EuaStatusError& e) {
    Check(e.Status() == uaBadRequestTooLarge && chunks == 0);
    Check((aMaxMessage != 0 && aMessage.size() > aMaxMessage) || aMaxChunks != 0);
    return;
  }
  Check(got.has_value() && got->fKind == uaReceivedMessage::rmComplete && got->fRequestId == 5);
  Check(got->fBody.size() == aMessage.size() &&
        (aMessage.empty() || std::memcmp(got->fBody.data(), aMessage.data(), aMessage.size()) == 0));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t setup = data[0];
  const uint32_t maxMessage = 256u << ((setup >> 2) & 7);  // 256 bytes to 32 KiB
  const uint32_t maxChunks = (setup >> 5) & 7;             // 0 = no limit
  std::unique_ptr<uaChunkHandler::uaDelegate> d = MakeDelegate(setup);

  uaChunkDecoder dec;
  dec.SetLimits({0xFFFF, maxMessage, maxChunks});
  size_t pos = 1;
  bool first = true;
  while (pos + 2 <= size) {
    size_t len = data[pos] | (size_t{data[pos + 1]} << 8);
    pos += 2;
    if (len > size - pos) len = size - pos;
    const varo::ByteSpan chunk(data + pos, len);
    pos += len;
    if (first) {
      RoundTrip(*d, chunk, maxMessage, maxChunks);
      first = false;
    }
    try {
      const std::optional<uaReceivedMessage> r = dec.ProcessChunk(chunk, *d);
      Check(dec.CollectedBytes() <= maxMessage);
      if (r) {
        Check(r->fBody.size() <= maxMessage);
        Check(r->fKind == uaReceivedMessage::rmComplete || r->fBody.empty());
        Check(!dec.Collecting() || r->fKind == uaReceivedMessage::rmFailed);
      }
    } catch (const EuaStatusError&) {
      // Every failure is a status error and drops the message being collected.
      Check(!dec.Collecting() && dec.CollectedBytes() == 0);
    }
  }
  return 0;
}
