// SPDX-License-Identifier: MPL-2.0
// A connection without a socket for channel tests and benchmarks: everything sent is counted
// and, unless told otherwise, kept chunk by chunk.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/bytes.h"
#include "ua/transport/tcp_connection.h"

namespace varo::test {

class CaptureConnection final : public ua::uaConnection {
 public:
  explicit CaptureConnection(bool aKeep = true) : fKeep(aKeep) {}
  void SetReceiveBufferSize(uint32_t) override {}
  void SetSendBufferSize(uint32_t) override {}
  uint32_t GetReceiveBufferSize() const override { return 65535; }
  uint32_t GetSendBufferSize() const override { return 65535; }
  bool SendMessage(ByteSpan aBytes, size_t aLength, size_t aOffset) override {
    fBytes += aLength;
    if (fKeep)
      fChunks.emplace_back(aBytes.begin() + static_cast<std::ptrdiff_t>(aOffset),
                           aBytes.begin() + static_cast<std::ptrdiff_t>(aOffset + aLength));
    return true;
  }
  using ua::uaConnection::SendMessage;
  void Close() override {}

  bool fKeep;
  size_t fBytes = 0;
  std::vector<ByteArray> fChunks;
};

}  // namespace varo::test
