// SPDX-License-Identifier: MPL-2.0
#include "ua/security/pem.h"

namespace varo::ua {

namespace {

constexpr std::string_view kBegin = "-----BEGIN ";
constexpr std::string_view kEnd = "-----END ";
constexpr std::string_view kDashes = "-----";

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view TrimSpace(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

// One line of the text with its start position; the line break is not included.
struct Line {
  std::string_view text;
  size_t pos;
};

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  size_t start = 0;
  while (start <= text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) nl = text.size();
    std::string_view l = text.substr(start, nl - start);
    if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
    lines.push_back({l, start});
    if (nl == text.size()) break;
    start = nl + 1;
  }
  return lines;
}

// The label of a "-----BEGIN x-----" / "-----END x-----" line, or false.
bool MarkerLabel(std::string_view line, std::string_view marker, std::string& label) {
  line = TrimSpace(line);
  if (line.size() < marker.size() + kDashes.size() || line.substr(0, marker.size()) != marker ||
      line.substr(line.size() - kDashes.size()) != kDashes) {
    return false;
  }
  label = std::string(line.substr(marker.size(), line.size() - marker.size() - kDashes.size()));
  return true;
}

[[noreturn]] void EncryptedKey(size_t pos) {
  ASN1Exception("encrypted private keys are not supported (the key must be stored without a password)", pos);
}

}  // namespace

bool TPemBlock::IsEncrypted() const {
  if (label == "ENCRYPTED PRIVATE KEY") return true;
  for (const auto& [name, value] : headers) {
    if (name == "Proc-Type" && value.find("ENCRYPTED") != std::string::npos) return true;
  }
  return false;
}

ByteArray Base64DecodeStrict(std::string_view text, size_t basePos) {
  ByteArray out;
  out.reserve(text.size() / 4 * 3 + 3);
  uint32_t acc = 0;
  int have = 0;     // characters in the current quantum
  int padding = 0;  // '=' seen
  size_t lastPos = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (IsSpace(c)) continue;
    lastPos = i;
    if (c == '=') {
      if (have < 2) ASN1Exception("invalid Base64 padding", basePos + i);
      ++padding;
      ++have;
      if (have == 4) {
        // "xx==" or "xxx=": the unused bits must be zero.
        if (padding == 2) {
          if (acc & 0x0F) ASN1Exception("invalid Base64 padding", basePos + i);
          out.push_back(static_cast<uint8_t>(acc >> 4));
        } else {
          if (acc & 0x03) ASN1Exception("invalid Base64 padding", basePos + i);
          out.push_back(static_cast<uint8_t>(acc >> 10));
          out.push_back(static_cast<uint8_t>(acc >> 2));
        }
        have = 0;
        acc = 0;
      }
      continue;
    }
    const int v = Base64Value(c);
    if (v < 0) ASN1Exception("invalid Base64 character", basePos + i);
    if (padding) ASN1Exception("Base64 data after padding", basePos + i);
    acc = (acc << 6) | static_cast<uint32_t>(v);
    if (++have == 4) {
      out.push_back(static_cast<uint8_t>(acc >> 16));
      out.push_back(static_cast<uint8_t>(acc >> 8));
      out.push_back(static_cast<uint8_t>(acc));
      have = 0;
      acc = 0;
    }
  }
  if (have != 0) ASN1Exception("truncated Base64 data", basePos + lastPos);
  return out;
}

std::vector<TPemBlock> ParsePem(std::string_view text) {
  const std::vector<Line> lines = SplitLines(text);
  std::vector<TPemBlock> blocks;
  for (size_t i = 0; i < lines.size(); ++i) {
    TPemBlock block;
    if (!MarkerLabel(lines[i].text, kBegin, block.label)) continue;
    const size_t beginPos = lines[i].pos;
    size_t j = i + 1;
    // Optional header lines, ended by an empty line.
    if (j < lines.size() && lines[j].text.find(':') != std::string_view::npos) {
      while (j < lines.size() && !TrimSpace(lines[j].text).empty()) {
        std::string_view h = lines[j].text;
        if (h.substr(0, kEnd.size()) == kEnd) break;
        const size_t colon = h.find(':');
        if (colon == std::string_view::npos) ASN1Exception("invalid PEM header line", lines[j].pos);
        block.headers.emplace_back(std::string(TrimSpace(h.substr(0, colon))),
                                   std::string(TrimSpace(h.substr(colon + 1))));
        ++j;
      }
    }
    const size_t bodyStart = j < lines.size() ? lines[j].pos : text.size();
    std::string endLabel;
    while (j < lines.size() && !MarkerLabel(lines[j].text, kEnd, endLabel)) {
      if (MarkerLabel(lines[j].text, kBegin, endLabel)) ASN1Exception("PEM block without END line", beginPos);
      ++j;
    }
    if (j >= lines.size()) ASN1Exception("PEM block without END line", beginPos);
    if (endLabel != block.label) ASN1Exception("PEM END label does not match BEGIN label", lines[j].pos);
    const size_t bodyEnd = lines[j].pos;
    if (block.IsEncrypted()) {
      block.data.clear();  // encrypted bodies are never decoded
    } else {
      block.data = Base64DecodeStrict(text.substr(bodyStart, bodyEnd - bodyStart), bodyStart);
    }
    blocks.push_back(std::move(block));
    i = j;
  }
  if (blocks.empty()) ASN1Exception("no PEM data", 0);
  return blocks;
}

TRSAPrivateKey LoadPrivateKeyPem(std::string_view text) {
  for (const TPemBlock& b : ParsePem(text)) {
    if (b.label == "ENCRYPTED PRIVATE KEY") EncryptedKey(0);
    if (b.label == "RSA PRIVATE KEY") {
      if (b.IsEncrypted()) EncryptedKey(0);
      return TRSAPrivateKey::LoadPkcs1(b.data);
    }
    if (b.label == "PRIVATE KEY") return TRSAPrivateKey::LoadPkcs8(b.data);
    if (b.label == "EC PRIVATE KEY") ASN1Exception("no RSA private key: EC", 0);
    if (b.label == "DSA PRIVATE KEY") ASN1Exception("no RSA private key: DSA", 0);
  }
  ASN1Exception("no private key in the PEM data", 0);
}

TRSAPrivateKey LoadPrivateKey(ByteSpan bytes, TFileFormat format) {
  if (format == TFileFormat::DER) return TRSAPrivateKey::LoadDer(bytes);
  return LoadPrivateKeyPem(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

ByteArray LoadCertificatePem(std::string_view text) {
  ByteArray der;
  for (const TPemBlock& b : ParsePem(text)) {
    if (b.label == "CERTIFICATE") der.insert(der.end(), b.data.begin(), b.data.end());
  }
  if (der.empty()) ASN1Exception("no certificate in the PEM data", 0);
  return der;
}

ByteArray TTools::LoadPEM(ByteSpan bytes) {
  std::vector<TPemBlock> blocks = ParsePem(bytes);
  if (blocks.front().IsEncrypted()) EncryptedKey(0);
  return std::move(blocks.front().data);
}

ByteArray CertificateBytesToDer(ByteSpan bytes) {
  if (!bytes.empty() && bytes[0] == kDerSequence) return ByteArray(bytes.begin(), bytes.end());
  return LoadCertificatePem(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

}  // namespace varo::ua
