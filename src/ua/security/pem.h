// SPDX-License-Identifier: MPL-2.0
// PEM text: blocks between "-----BEGIN <label>-----" and "-----END <label>-----" lines with
// strictly checked Base64 bodies. Private keys are read by their label ("RSA PRIVATE KEY" is
// PKCS#1, "PRIVATE KEY" is PKCS#8); encrypted keys are refused.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/bytes.h"
#include "ua/security/x509.h"

namespace varo::ua {

struct TPemBlock {
  std::string label;
  // Header lines ("Proc-Type", "DEK-Info") in their order, names as written.
  std::vector<std::pair<std::string, std::string>> headers;
  ByteArray data;
  // True for an "ENCRYPTED PRIVATE KEY" block or a "Proc-Type: 4,ENCRYPTED" header.
  bool IsEncrypted() const;
};

// Base64 with the standard alphabet; white space (space, tab, CR, LF) is skipped, anything
// else outside the alphabet, misplaced or missing padding and non-zero unused bits raise.
// `basePos` is added to the positions reported.
ByteArray Base64DecodeStrict(std::string_view text, size_t basePos = 0);

// Every block of the text, in order; text outside the blocks is ignored. Raises when there
// is no block, a block has no matching END line, or a body is not valid Base64.
std::vector<TPemBlock> ParsePem(std::string_view text);
inline std::vector<TPemBlock> ParsePem(ByteSpan bytes) {
  return ParsePem(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// The first private key of a PEM text.
TRSAPrivateKey LoadPrivateKeyPem(std::string_view text);
// DER (PKCS#1 or PKCS#8) or PEM bytes.
TRSAPrivateKey LoadPrivateKey(ByteSpan bytes, TFileFormat format);

// The DER bytes of every "CERTIFICATE" block, concatenated (a chain when there are several).
ByteArray LoadCertificatePem(std::string_view text);
// DER bytes as given (when they start with a SEQUENCE tag) or the certificates of PEM text.
ByteArray CertificateBytesToDer(ByteSpan bytes);

}  // namespace varo::ua
