// SPDX-License-Identifier: MPL-2.0
// A 64 KiB service message through the whole send path of a secure channel under
// Basic256Sha256 SignAndEncrypt: encoding, cutting into chunks, padding, HMAC-SHA256 and
// AES-256-CBC of every chunk. The native provider against the OpenSSL provider in the same
// run; after the runs the ratio time(native)/time(OpenSSL) is printed.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "bench_support.h"
#include "platform/random.h"
#include "support/capture_connection.h"
#include "support/test_certs.h"
#include "ua/encoding/service_types.h"
#include "ua/security/native_provider.h"
#include "ua/security/openssl_provider.h"
#include "ua/transport/channel.h"

namespace {

using namespace varo;
using namespace varo::ua;

ByteArray Random(size_t n) {
  ByteArray b(n);
  SecureRandom(b.data(), b.size());
  return b;
}

void SendPath(benchmark::State& state, TuaSecurityLib lib) {
  RegisterNativeSecurityLib();
  RegisterOpenSSLSecurityLib();
  std::string why;
  if (lib == uaSOpenSSL && !OpenSSLSecurityAvailable(&why)) {
    state.SkipWithError(why.c_str());
    return;
  }
  const test::TestIdentity& client = test::ClientIdentity(2048);
  const test::TestIdentity& server = test::ClientIdentity(3072);
  test::CaptureConnection sink(/*aKeep*/ false);
  uaChannel ch(sink);
  ch.SetSecurity(SecurityLibClasses::Create(lib));
  ch.SetLocalPrivateKey(client.keyPem);
  ch.SetLocalCertificate(client.certDer);
  ch.SetRemoteCertificate(server.certDer);
  ch.ChangeSecurityProtocol(uaSSignAndEncrypt, uaSPBasic256Sha256);
  uaMessageAck ack;
  ack.fReceiveBufferSize = 65535;
  ack.fSendBufferSize = 65535;
  ack.fMaxMessageSize = 0;
  ch.UpdateMaxSize(ack);
  ch.ConnectionData().fLocalNonce = Random(32);
  ch.ActivateToken(1, Random(32), 600000);

  uaGetEndpointsRequest msg;
  msg.EndpointUrl = "opc.tcp://127.0.0.1:4840";
  for (size_t n = 0; n < 64 * 1024; n += 100) msg.ProfileUris.push_back(std::string(96, 'p'));
  uint32_t id = 0;
  for (auto _ : state) ch.SendMessage(++id, msg);
  state.SetBytesProcessed(static_cast<int64_t>(sink.fBytes));
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark("Basic256Sha256_SignAndEncrypt_64KiB/native", SendPath, uaSNative);
  benchmark::RegisterBenchmark("Basic256Sha256_SignAndEncrypt_64KiB/openssl", SendPath, uaSOpenSSL);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  varo::bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  const double ours = reporter.time("Basic256Sha256_SignAndEncrypt_64KiB/native");
  const double ref = reporter.time("Basic256Sha256_SignAndEncrypt_64KiB/openssl");
  if (ours > 0 && ref > 0)
    std::printf("\ncpu time(native provider)/time(OpenSSL provider), 64 KiB message send path: %.2f\n",
                ours / ref);
  return 0;
}
