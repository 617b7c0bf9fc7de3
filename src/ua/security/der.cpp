// SPDX-License-Identifier: MPL-2.0
#include "ua/security/der.h"

#include <charconv>
#include <cstring>
#include <limits>

namespace varo::ua {

namespace {

std::string SizeText(size_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Days from 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool IsLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : days[m - 1];
}

// Parses a UTCTime or GeneralizedTime content; raises with position 0 on bad text.
DateTimeParts ParseTime(uint8_t tag, ByteSpan bytes) {
  std::string_view s(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  auto num = [&](size_t at, size_t n) { return static_cast<int>(ASN1Integer::StrToInt(s.substr(at, n))); };
  DateTimeParts p;
  size_t at = 0;
  if (tag == kDerUtcTime) {
    if (s.size() == 15 || s.size() == 17)
      ASN1Exception("ASN.1 UTCTime: local time format is not supported", 0);
    if (s.size() != 11 && s.size() != 13) ASN1Exception("ASN.1 UTCTime: wrong length, identifier", 0);
    if (s.back() != 'Z') ASN1Exception("ASN.1 UTCTime wrongly encoded", 0);
    const int yy = num(0, 2);
    p.year = yy < 50 ? 2000 + yy : 1900 + yy;
    at = 2;
  } else if (tag == kDerGeneralizedTime) {
    if (s.size() < 13) ASN1Exception("ASN.1 GeneralizedTime: wrong length", 0);
    if (s.back() != 'Z') ASN1Exception("ASN.1 GeneralizedTime: local time format is not supported", 0);
    p.year = num(0, 4);
    at = 4;
  } else {
    ASN1Exception("Type Error:", 0);
  }
  p.month = num(at, 2);
  p.day = num(at + 2, 2);
  p.hour = num(at + 4, 2);
  p.minute = num(at + 6, 2);
  at += 8;
  const size_t zpos = s.size() - 1;
  if (at + 2 <= zpos) {
    p.second = num(at, 2);
    at += 2;
  }
  if (tag == kDerGeneralizedTime && at < zpos && s[at] == '.') {
    // Fractional seconds: keep the milliseconds.
    std::string_view frac = s.substr(at + 1, zpos - at - 1);
    if (frac.empty()) ASN1Exception("ASN.1 GeneralizedTime wrongly encoded", 0);
    ASN1Integer::StrToInt(frac);
    int ms = 0;
    for (size_t i = 0; i < 3; ++i) ms = ms * 10 + (i < frac.size() ? frac[i] - '0' : 0);
    p.millisecond = ms;
    at = zpos;
  }
  if (at != zpos)
    ASN1Exception(
        tag == kDerUtcTime ? "ASN.1 UTCTime wrongly encoded" : "ASN.1 GeneralizedTime wrongly encoded", 0);
  if (p.year < 1 || p.month < 1 || p.month > 12 || p.day < 1 || p.day > DaysInMonth(p.year, p.month) ||
      p.hour > 23 || p.minute > 59 || p.second > 59) {
    ASN1Exception("ASN.1 time out of range", 0);
  }
  return p;
}

}  // namespace

void ASN1Exception(std::string_view message, size_t pos) {
  throw EuaSecurityError("Certificate Error: " + std::string(message) + " at [" + SizeText(pos) + "]");
}

std::string DerHex(ByteSpan bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string s;
  s.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

// ---------------------------------------------------------------------------------------------
// Values

std::string ASN1Value::BytesToString(ByteSpan bytes) const {
  return DerHex(bytes);
}

void ASN1Value::SetValue(ByteSpan content) {
  if (content.empty()) return;
  fValue.assign(content.begin(), content.end());
}

void ASN1Value::Assign(uint8_t tag, ByteSpan content) {
  fTag = tag;
  SetValue(content);
}

bool ASN1Value::CompareByteString(ByteSpan a, ByteSpan b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

void ASN1Integer::SetValue(ByteSpan content) {
  if (content.empty()) return;
  fstart = 0;
  if (content.size() > 1 && content[0] == 0x00 && (content[1] & 0x80)) {
    fstart = 1;
    content = content.subspan(1);
  }
  fValue.assign(content.begin(), content.end());
}

int64_t ASN1Integer::BytesToInt64(ByteSpan content, size_t size) {
  if (content.empty()) return 0;
  if (content.size() > size) ASN1Exception("ASN.1 Integer out of range " + SizeText(8 * size) + "bit", 0);
  uint64_t v = (content[0] & 0x80) ? ~uint64_t{0} : 0;
  for (uint8_t b : content) v = (v << 8) | b;
  return static_cast<int64_t>(v);
}

int32_t ASN1Integer::ToInt() const {
  ByteArray raw(static_cast<size_t>(fstart), 0);
  raw.insert(raw.end(), fValue.begin(), fValue.end());
  return static_cast<int32_t>(BytesToInt64(raw, 4));
}

int64_t ASN1Integer::ToInt64() const {
  ByteArray raw(static_cast<size_t>(fstart), 0);
  raw.insert(raw.end(), fValue.begin(), fValue.end());
  return BytesToInt64(raw, 8);
}

std::string ASN1Integer::ToStringDecimal() const {
  if (fValue.empty()) return "0";
  ByteArray mag = fValue;
  const bool negative = IsNegative();
  if (negative) {
    // Two's complement negation: invert and add one.
    for (auto& b : mag) b = static_cast<uint8_t>(~b);
    for (size_t i = mag.size(); i-- > 0;) {
      if (++mag[i] != 0) break;
    }
  }
  std::string digits;
  size_t first = 0;
  while (first < mag.size()) {
    unsigned rem = 0;
    for (size_t i = first; i < mag.size(); ++i) {
      unsigned cur = (rem << 8) | mag[i];
      mag[i] = static_cast<uint8_t>(cur / 10);
      rem = cur % 10;
    }
    digits += static_cast<char>('0' + rem);
    while (first < mag.size() && mag[first] == 0) ++first;
  }
  if (digits.empty()) digits = "0";
  if (negative) digits += '-';
  return std::string(digits.rbegin(), digits.rend());
}

int64_t ASN1Integer::StrToInt(std::string_view digits) {
  if (digits.empty()) ASN1Exception("encoding has invalid char", 0);
  int64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') ASN1Exception("encoding has invalid char", 0);
    if (v > (std::numeric_limits<int64_t>::max() - (c - '0')) / 10)
      ASN1Exception("ASN.1 Integer out of range 64bit", 0);
    v = v * 10 + (c - '0');
  }
  return v;
}

std::string ASN1ObjectIdentifier::BytesToString(ByteSpan bytes) const {
  std::string s;
  for (uint64_t arc : DERReader::decodeOID(bytes)) {
    if (!s.empty()) s += '.';
    s += SizeText(arc);
  }
  return s;
}

std::string ASN1StringType::BytesToString(ByteSpan bytes) const {
  if (fTag == kDerBmpString || fTag == kDerUniversalString) {
    const size_t unit = fTag == kDerBmpString ? 2 : 4;
    std::string out;
    for (size_t i = 0; i + unit <= bytes.size(); i += unit) {
      uint32_t cp = 0;
      for (size_t k = 0; k < unit; ++k) cp = (cp << 8) | bytes[i + k];
      // Surrogate pairs in BMPString.
      if (unit == 2 && cp >= 0xD800 && cp < 0xDC00 && i + 4 <= bytes.size()) {
        uint32_t lo = (uint32_t{bytes[i + 2]} << 8) | bytes[i + 3];
        if (lo >= 0xDC00 && lo < 0xE000) {
          cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
          i += 2;
        }
      }
      AppendUtf8(out, cp);
    }
    return out;
  }
  return std::string(bytes.begin(), bytes.end());
}

std::string ASN1BitString::BytesToString(ByteSpan bytes) const {
  std::string s;
  s.reserve(bytes.size() * 8);
  for (uint8_t b : bytes) {
    for (int bit = 7; bit >= 0; --bit) s += (b >> bit) & 1 ? '1' : '0';
  }
  return s;
}

void DERBitString::SetValue(ByteSpan content) {
  if (content.empty()) return;
  fpadBits = content[0];
  fValue.assign(content.begin() + 1, content.end());
}

DateTimeParts ASN1Time::Parts() const {
  return ParseTime(fTag, fValue);
}

TDateTime ASN1Time::Time() const {
  const DateTimeParts p = Parts();
  const int64_t days = DaysFromCivil(p.year, static_cast<unsigned>(p.month), static_cast<unsigned>(p.day)) -
                       DaysFromCivil(1899, 12, 30);
  const double dayMs = ((p.hour * 60.0 + p.minute) * 60.0 + p.second) * 1000.0 + p.millisecond;
  // Before 1899-12-30 the fraction still counts forward from the date.
  const double frac = dayMs / 86400000.0;
  return days >= 0 ? static_cast<double>(days) + frac : static_cast<double>(days) - frac;
}

std::string ASN1Time::BytesToString(ByteSpan bytes) const {
  try {
    const DateTimeParts p = ParseTime(fTag, bytes);
    char buf[32];
    auto two = [](char* at, int v) {
      at[0] = static_cast<char>('0' + v / 10);
      at[1] = static_cast<char>('0' + v % 10);
    };
    two(buf, p.year / 100);
    two(buf + 2, p.year % 100);
    buf[4] = '-';
    two(buf + 5, p.month);
    buf[7] = '-';
    two(buf + 8, p.day);
    buf[10] = ' ';
    two(buf + 11, p.hour);
    buf[13] = ':';
    two(buf + 14, p.minute);
    buf[16] = ':';
    two(buf + 17, p.second);
    return std::string(buf, 19);
  } catch (const EuaSecurityError&) {
    return std::string(bytes.begin(), bytes.end());
  }
}

// ---------------------------------------------------------------------------------------------
// Reader

DERReader::DERReader(ByteSpan data, size_t pos, size_t end) : data_(data), pos_(pos), end_(end) {
  if (end_ > data_.size() || pos_ > end_) ASN1Exception("Wrong encoding", pos);
}

size_t DERReader::ReadEncodingLength() {
  if (pos_ >= end_) ASN1Exception("unexpected end of data", pos_);
  const uint8_t first = data_[pos_];
  const size_t at = pos_++;
  if (first < 0x80) return first;
  if (first == 0x80) ASN1Exception("indefinite length is not allowed", at);
  const size_t n = first & 0x7F;
  if (n > kDerMaxLengthBytes) ASN1Exception("length too long", at);
  if (n > end_ - pos_) ASN1Exception("unexpected end of data", pos_);
  size_t len = 0;
  for (size_t i = 0; i < n; ++i) len = (len << 8) | data_[pos_++];
  return len;
}

DERHeader DERReader::ReadTag() {
  if (pos_ >= end_) ASN1Exception("unexpected end of data", pos_);
  DERHeader h;
  h.headerPos = pos_;
  h.tag = data_[pos_++];
  if ((h.tag & 0x1F) == 0x1F) ASN1Exception("multi-byte tags are not supported", h.headerPos);
  h.length = ReadEncodingLength();
  h.contentPos = pos_;
  if (h.length > end_ - pos_) ASN1Exception("length exceeds the enclosing element", h.headerPos);
  return h;
}

DERReader DERReader::ReadHeader(uint8_t tag, DERHeader& header) {
  if (pos_ < end_ && data_[pos_] != tag) ASN1Exception("Type Error:", pos_);
  header = ReadTag();
  pos_ = header.endPos();
  return DERReader(data_, header.contentPos, header.endPos());
}

DERReader DERReader::ReadHeader(uint8_t tag) {
  DERHeader h;
  return ReadHeader(tag, h);
}

DERHeader DERReader::ReadItem() {
  DERHeader h = ReadTag();
  pos_ = h.endPos();
  return h;
}

DERHeader DERReader::ReadItem(uint8_t tag) {
  if (pos_ < end_ && data_[pos_] != tag) ASN1Exception("Type Error:", pos_);
  return ReadItem();
}

ByteSpan DERReader::ReadContent(uint8_t tag) {
  DERHeader h = ReadItem(tag);
  return data_.subspan(h.contentPos, h.length);
}

void DERReader::ReadInteger(ASN1Integer& result) {
  const size_t at = pos_;
  ByteSpan c = ReadContent(kDerInteger);
  if (c.empty()) ASN1Exception("Wrong encoding", at);
  result.Assign(kDerInteger, c);
}

void DERReader::ReadOID(ASN1ObjectIdentifier& result) {
  DERHeader h = ReadItem(kDerOid);
  ByteSpan c = data_.subspan(h.contentPos, h.length);
  decodeOID(c, h.contentPos);
  result.Assign(kDerOid, c);
}

void DERReader::ReadValue(ASN1Value& result) {
  DERHeader h = ReadItem();
  result.Assign(h.tag, data_.subspan(h.contentPos, h.length));
}

void DERReader::ReadTime(ASN1Time& result) {
  const uint8_t tag = isNext(kDerUtcTime) ? kDerUtcTime : kDerGeneralizedTime;
  result.Assign(tag, ReadContent(tag));
}

void DERReader::ReadBitString(DERBitString& result) {
  DERHeader h = ReadItem(kDerBitString);
  ByteSpan c = data_.subspan(h.contentPos, h.length);
  if (c.empty() || c[0] > 7 || (c.size() == 1 && c[0] != 0)) ASN1Exception("Wrong encoding", h.headerPos);
  result.Assign(kDerBitString, c);
}

void DERReader::ReadOctetString(ASN1OctetString& result) {
  result.Assign(kDerOctetString, ReadContent(kDerOctetString));
}

void DERReader::ReadString(ASN1StringType& result) {
  if (pos_ < end_ && (data_[pos_] & 0x20)) ASN1Exception("Type Error:", pos_);
  ReadValue(result);
}

bool DERReader::ReadBoolean() {
  const size_t at = pos_;
  ByteSpan c = ReadContent(kDerBoolean);
  if (c.size() != 1) ASN1Exception("Wrong encoding", at);
  return c[0] != 0;
}

void DERReader::ExpectEnd() const {
  if (pos_ != end_) ASN1Exception("Wrong encoding", pos_);
}

uint64_t DERReader::DecodeOIDValue(ByteSpan content, size_t& pos, size_t basePos) {
  if (pos >= content.size()) ASN1Exception("Wrong encoding", basePos + pos);
  if (content[pos] == 0x80) ASN1Exception("Wrong encoding", basePos + pos);  // not minimal
  uint64_t v = 0;
  while (true) {
    if (pos >= content.size()) ASN1Exception("Wrong encoding", basePos + pos);
    const uint8_t b = content[pos];
    if (v > (std::numeric_limits<uint64_t>::max() >> 7)) ASN1Exception("OID arc overflow", basePos + pos);
    v = (v << 7) | (b & 0x7F);
    ++pos;
    if (!(b & 0x80)) return v;
  }
}

std::vector<uint64_t> DERReader::decodeOID(ByteSpan content, size_t pos) {
  if (content.empty() || (content.back() & 0x80)) ASN1Exception("Wrong encoding", pos);
  std::vector<uint64_t> arcs;
  size_t at = 0;
  const uint64_t first = DecodeOIDValue(content, at, pos);
  if (first < 80) {
    arcs.push_back(first / 40);
    arcs.push_back(first % 40);
  } else {
    arcs.push_back(2);
    arcs.push_back(first - 80);
  }
  while (at < content.size()) arcs.push_back(DecodeOIDValue(content, at, pos));
  return arcs;
}

// ---------------------------------------------------------------------------------------------
// OID names

namespace {

struct KnownOid {
  const char* dotted;
  const char* type;
  const char* description;
};

const KnownOid kNameOids[] = {
    {"2.5.4.3", "CN", "commonName"},
    {"2.5.4.6", "C", "countryName"},
    {"2.5.4.7", "L", "localityName"},
    {"2.5.4.8", "ST", "stateOrProvinceName"},
    {"2.5.4.9", "STREET", "streetAddress"},
    {"2.5.4.10", "O", "organizationName"},
    {"2.5.4.11", "OU", "organizationalUnitName"},
    {"0.9.2342.19200300.100.1.25", "DC", "domainComponent"},
    {"0.9.2342.19200300.100.1.1", "UID", "userid"},
};

const KnownOid kKeyOids[] = {
    {"1.2.840.113549.1.1.1", "RSA", ""}, {"1.2.840.113549.1.1.10", "RSASSA-PSS", ""},
    {"1.2.840.10045.2.1", "EC", ""},     {"1.2.840.10040.4.1", "DSA", ""},
    {"1.3.101.110", "X25519", ""},       {"1.3.101.111", "X448", ""},
    {"1.3.101.112", "Ed25519", ""},      {"1.3.101.113", "Ed448", ""},
    {"1.2.840.10046.2.1", "DH", ""},     {"1.2.840.113549.1.3.1", "DH", ""},
};

std::string DottedOrEmpty(const ASN1ObjectIdentifier& oid) {
  try {
    return oid.ToString();
  } catch (const EuaSecurityError&) {
    return {};
  }
}

}  // namespace

oidNameMap OIDNames::getNameForOid(const ASN1ObjectIdentifier& oid) {
  const std::string dotted = DottedOrEmpty(oid);
  for (const auto& k : kNameOids) {
    if (dotted == k.dotted) return {k.type, k.description};
  }
  return {};
}

std::string OIDNames::getTagForOid(const ASN1ObjectIdentifier& oid) {
  oidNameMap m = getNameForOid(oid);
  return m.ftype.empty() ? DottedOrEmpty(oid) : m.ftype;
}

bool OIDNames::CompareOid(const ASN1ObjectIdentifier& oid, ByteSpan expected) {
  return ASN1Value::CompareByteString(oid.getValue(), expected);
}

std::string PublicKeyAlgorithmName(const ASN1ObjectIdentifier& oid) {
  const std::string dotted = DottedOrEmpty(oid);
  for (const auto& k : kKeyOids) {
    if (dotted == k.dotted) return k.type;
  }
  return {};
}

}  // namespace varo::ua
