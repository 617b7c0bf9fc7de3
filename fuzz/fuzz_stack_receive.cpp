// SPDX-License-Identifier: MPL-2.0
// The whole receive path of the stack client over an unsecured channel: arbitrary messages
// (Acknowledge, Error, OpenSecureChannel, service and close chunks, anything else) go to
// HandleInputMessage one after another, and complete responses are decoded. Every failure
// must be one of the system's own errors; nothing may crash, read out of bounds or allocate
// by a length the bytes do not back.
//
// Input: one setup byte (bit 0: the channel already has id 7 and token 1), then records of a
// 16-bit little-endian length and that many message bytes.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/error.h"
#include "ua/encoding/service_types.h"
#include "ua/transport/stack_client.h"

namespace {

using namespace varo::ua;

uaStackClient& Client() {
  static uaStackClient* client = [] {
    // Lives for the whole run; its receive thread stays paused.
    static uaStackClient c;
    c.fOnReceivedMessage = [](uaChannel&, uint32_t, varo::ByteSpan aMessage) {
      try {
        (void)DecodeServiceMessage(aMessage);
      } catch (const varo::EVaroError&) {
      }
    };
    return &c;
  }();
  return *client;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  uaStackClient& client = Client();
  uaChannel& ch = client.TcpChannel();
  ch.init();
  if (data[0] & 1) {
    ch.SetSecureChannelId(7);
    ch.ActivateToken(1, {}, 600000);
  }
  size_t at = 1;
  while (at + 2 <= size) {
    const size_t n = data[at] | (size_t{data[at + 1]} << 8);
    at += 2;
    if (n > size - at) break;
    try {
      client.HandleInputMessage(varo::ByteSpan(data + at, n));
    } catch (const varo::EVaroError&) {
      // A message the connection would be closed for; go on with the next input record as a
      // fresh message on the same objects, to also exercise what state a failure leaves.
    }
    at += n;
  }
  return 0;
}
