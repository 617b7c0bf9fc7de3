// SPDX-License-Identifier: MPL-2.0
// Client identities for tests that connect with security: an RSA key and a self-signed X.509
// certificate made with the openssl command line, with the application URI as first SAN URI
// (as OPC UA wants it). Made once per process and size, in a temporary folder removed at exit.
#pragma once

#include <cstddef>
#include <string>

#include "platform/bytes.h"

namespace varo::test {

struct TestIdentity {
  size_t bits = 0;
  std::string applicationUri;
  std::string certPath;  // DER certificate
  std::string keyPath;   // PKCS#8 PEM private key, unencrypted
  ByteArray certDer;
  ByteArray keyPem;       // PKCS#8 PEM
  ByteArray keyPkcs1Pem;  // the same key as PKCS#1 ("RSA PRIVATE KEY")
};

// The identity of aBits bits (1024, 2048, 3072, 4096) for application URI
// "urn:varo:test-client"; raises std::runtime_error when openssl fails.
const TestIdentity& ClientIdentity(size_t aBits = 2048);

}  // namespace varo::test
