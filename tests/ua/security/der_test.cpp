// SPDX-License-Identifier: MPL-2.0
#include "ua/security/der.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/datetime.h"
#include "support/security_helpers.h"
#include "support/test_support.h"

namespace varo::ua {
namespace {

using test::Hex;

using test::SecurityErrorOf;

struct HostileCase {
  const char* name;
  const char* hex;
  // Reads the bytes the way a certificate reader would.
  std::function<void(DERReader&)> read;
  const char* message;  // expected full error text
};

void ReadSequenceOfIntegers(DERReader& r) {
  DERReader s = r.ReadHeader(kDerSequence);
  while (!s.AtEnd()) {
    ASN1Integer i;
    s.ReadInteger(i);
  }
}

void ReadInteger(DERReader& r) {
  ASN1Integer i;
  r.ReadInteger(i);
}

void ReadOid(DERReader& r) {
  ASN1ObjectIdentifier o;
  r.ReadOID(o);
}

TEST(DerHostile, EveryMalformedInputRaisesWithItsPosition) {
  const HostileCase cases[] = {
      {"indefinite length", "30 80 02 01 01 00 00", ReadSequenceOfIntegers,
       "Certificate Error: indefinite length is not allowed at [1]"},
      {"five length bytes", "30 85 00 00 00 00 03 02 01 01", ReadSequenceOfIntegers,
       "Certificate Error: length too long at [1]"},
      {"length past parent", "30 03 02 04 01 02 03 04", ReadSequenceOfIntegers,
       "Certificate Error: length exceeds the enclosing element at [2]"},
      {"length past end of input", "30 84 7F FF FF FF 02 01 01", ReadSequenceOfIntegers,
       "Certificate Error: length exceeds the enclosing element at [0]"},
      {"long length bytes missing", "30 82 01", ReadSequenceOfIntegers,
       "Certificate Error: unexpected end of data at [2]"},
      {"truncated header", "30", ReadSequenceOfIntegers, "Certificate Error: unexpected end of data at [1]"},
      {"empty input", "", ReadSequenceOfIntegers, "Certificate Error: unexpected end of data at [0]"},
      {"truncated content", "30 06 02 01 01 02 01", ReadSequenceOfIntegers,
       "Certificate Error: length exceeds the enclosing element at [0]"},
      {"truncated inner content", "30 05 02 01 01 02 01", ReadSequenceOfIntegers,
       "Certificate Error: length exceeds the enclosing element at [5]"},
      {"first tag not SEQUENCE", "31 03 02 01 01", ReadSequenceOfIntegers,
       "Certificate Error: Type Error: at [0]"},
      // 0x03 has every bit of 0x02 set: the tag must still match exactly.
      {"BIT STRING for INTEGER", "03 01 00", ReadInteger, "Certificate Error: Type Error: at [0]"},
      {"constructed SEQUENCE for SET", "30 00", [](DERReader& r) { r.ReadHeader(kDerSet); },
       "Certificate Error: Type Error: at [0]"},
      {"multi-byte tag", "1F 81 01 00", [](DERReader& r) { r.ReadItem(); },
       "Certificate Error: multi-byte tags are not supported at [0]"},
      {"empty INTEGER", "02 00", ReadInteger, "Certificate Error: Wrong encoding at [0]"},
      {"OID arc overflow", "06 0B 2A 82 80 80 80 80 80 80 80 80 00", ReadOid,
       "Certificate Error: OID arc overflow at [12]"},
      {"OID ends inside an arc", "06 02 2A 86", ReadOid, "Certificate Error: Wrong encoding at [2]"},
      {"OID arc not minimal", "06 03 2A 80 01", ReadOid, "Certificate Error: Wrong encoding at [3]"},
      {"empty OID", "06 00", ReadOid, "Certificate Error: Wrong encoding at [2]"},
      {"BIT STRING without pad byte", "03 00",
       [](DERReader& r) {
         DERBitString b;
         r.ReadBitString(b);
       },
       "Certificate Error: Wrong encoding at [0]"},
      {"BIT STRING pad bits > 7", "03 02 08 FF",
       [](DERReader& r) {
         DERBitString b;
         r.ReadBitString(b);
       },
       "Certificate Error: Wrong encoding at [0]"},
      {"BOOLEAN of two bytes", "01 02 FF FF", [](DERReader& r) { r.ReadBoolean(); },
       "Certificate Error: Wrong encoding at [0]"},
      {"constructed element as string", "30 00",
       [](DERReader& r) {
         ASN1StringType s;
         r.ReadString(s);
       },
       "Certificate Error: Type Error: at [0]"},
      {"trailing bytes", "30 03 02 01 01 05 00",
       [](DERReader& r) {
         r.ReadItem();
         r.ExpectEnd();
       },
       "Certificate Error: Wrong encoding at [5]"},
  };
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.name);
    const ByteArray bytes = Hex(c.hex);
    EXPECT_EQ(SecurityErrorOf([&] {
                DERReader r(bytes);
                c.read(r);
              }),
              c.message);
  }
}

TEST(DerReader, ChildReaderStaysInsideItsParent) {
  // SEQUENCE { SEQUENCE { INTEGER 5 }, INTEGER 7 }
  const ByteArray bytes = Hex("30 08 30 03 02 01 05 02 01 07");
  DERReader r(bytes);
  DERHeader h;
  DERReader outer = r.ReadHeader(kDerSequence, h);
  EXPECT_EQ(h.contentPos, 2u);
  EXPECT_EQ(h.length, 8u);
  EXPECT_TRUE(r.AtEnd());
  DERReader inner = outer.ReadHeader(kDerSequence);
  EXPECT_EQ(outer.Position(), 7u);
  ASN1Integer five, seven;
  inner.ReadInteger(five);
  EXPECT_TRUE(inner.AtEnd());
  EXPECT_THROW(inner.ReadInteger(seven), EuaSecurityError);  // the 7 belongs to the parent
  outer.ReadInteger(seven);
  EXPECT_EQ(five.ToInt(), 5);
  EXPECT_EQ(seven.ToInt(), 7);

  // Long-form lengths up to four bytes are read.
  ByteArray big = Hex("04 82 01 00");
  big.resize(4 + 256, 0xAB);
  DERReader br(big);
  ASN1OctetString os;
  br.ReadOctetString(os);
  EXPECT_EQ(os.ValueLength(), 256u);
  EXPECT_TRUE(br.AtEnd());
  EXPECT_THROW(DERReader(big, 5, 4), EuaSecurityError);
}

TEST(DerInteger, SignByteAndRanges) {
  struct Case {
    const char* hex;
    int fstart;
    const char* stored;
    const char* decimal;
  };
  const Case cases[] = {
      {"00 FF", 1, "FF", "255"},
      {"00 7F", 0, "007F", "127"},
      {"00", 0, "00", "0"},
      {"FF 7F", 0, "FF7F", "-129"},
      {"80", 0, "80", "-128"},
      {"01 00 00 00 00 00 00 00 00", 0, "010000000000000000", "18446744073709551616"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hex);
    ASN1Integer i;
    i.SetValue(Hex(c.hex));
    EXPECT_EQ(i.fstart, c.fstart);
    EXPECT_EQ(i.ToString(), c.stored);
    EXPECT_EQ(i.ToStringDecimal(), c.decimal);
  }

  ASN1Integer v;
  v.SetValue(Hex("FF 7F"));
  EXPECT_EQ(v.ToInt64(), -129);
  EXPECT_EQ(v.ToInt(), -129);
  v.SetValue(Hex("00 80 00 00 00"));  // 2^31 does not fit in 32 bits
  EXPECT_EQ(v.ToInt64(), 2147483648);
  EXPECT_EQ(SecurityErrorOf([&] { v.ToInt(); }),
            "Certificate Error: ASN.1 Integer out of range 32bit at [0]");
  v.SetValue(Hex("7F FF FF FF FF FF FF FF"));
  EXPECT_EQ(v.ToInt64(), INT64_MAX);
  // Nine bytes, and eight magnitude bytes behind a sign byte, are out of range: never truncated.
  for (const char* hex : {"01 00 00 00 00 00 00 00 00", "00 80 00 00 00 00 00 00 00"}) {
    v.SetValue(Hex(hex));
    EXPECT_EQ(SecurityErrorOf([&] { v.ToInt64(); }),
              "Certificate Error: ASN.1 Integer out of range 64bit at [0]")
        << hex;
  }
  EXPECT_EQ(ASN1Integer::StrToInt("0042"), 42);
  EXPECT_EQ(SecurityErrorOf([] { ASN1Integer::StrToInt("4a"); }),
            "Certificate Error: encoding has invalid char at [0]");
  EXPECT_EQ(SecurityErrorOf([] { ASN1Integer::StrToInt("99999999999999999999"); }),
            "Certificate Error: ASN.1 Integer out of range 64bit at [0]");
}

TEST(DerOid, DecodingAndRendering) {
  struct Case {
    const char* hex;
    const char* dotted;
  };
  const Case cases[] = {
      {"2A 86 48 86 F7 0D 01 01 01", "1.2.840.113549.1.1.1"},
      {"55 1D 11", "2.5.29.17"},
      {"55", "2.5"},  // first sub-identifier 85
      {"00", "0.0"},
      {"88 37", "2.999"},
      {"2B 65 70", "1.3.101.112"},
      {"09 92 26 89 93 F2 2C 64 01 19", "0.9.2342.19200300.100.1.25"},
      // The largest arc that fits: 64 bits.
      {"2A 81 FF FF FF FF FF FF FF FF 7F", "1.2.18446744073709551615"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hex);
    ASN1ObjectIdentifier oid;
    oid.SetValue(Hex(c.hex));
    EXPECT_EQ(oid.ToString(), c.dotted);
  }
  ASN1ObjectIdentifier cn;
  cn.SetValue(Hex("55 04 03"));
  EXPECT_EQ(OIDNames::getNameForOid(cn).fdescription, "commonName");
  EXPECT_EQ(OIDNames::getTagForOid(cn), "CN");
  ASN1ObjectIdentifier unknown;
  unknown.SetValue(Hex("55 04 63"));
  EXPECT_EQ(OIDNames::getNameForOid(unknown).ftype, "");
  EXPECT_EQ(OIDNames::getTagForOid(unknown), "2.5.4.99");
  EXPECT_TRUE(OIDNames::CompareOid(cn, Hex("55 04 03")));
  EXPECT_FALSE(OIDNames::CompareOid(cn, Hex("55 04")));
}

TEST(DerTime, UtcAndGeneralizedTimes) {
  struct Case {
    uint8_t tag;
    const char* text;
    DateTimeParts expected;
  };
  const Case cases[] = {
      {kDerUtcTime, "491231235959Z", {2049, 12, 31, 23, 59, 59, 0}},
      {kDerUtcTime, "500101000000Z", {1950, 1, 1, 0, 0, 0, 0}},
      {kDerUtcTime, "2402291230Z", {2024, 2, 29, 12, 30, 0, 0}},
      {kDerGeneralizedTime, "20510101120000Z", {2051, 1, 1, 12, 0, 0, 0}},
      {kDerGeneralizedTime, "99991231235959Z", {9999, 12, 31, 23, 59, 59, 0}},
      {kDerGeneralizedTime, "20510101120000.25Z", {2051, 1, 1, 12, 0, 0, 250}},
      {kDerGeneralizedTime, "18000101000000Z", {1800, 1, 1, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ASN1Time t;
    t.Assign(c.tag, ToBytes(c.text));
    EXPECT_EQ(t.Parts(), c.expected);
    EXPECT_NEAR(t.Time(), EncodeDateTime(c.expected), 1e-9);
  }
  ASN1Time shown;
  shown.Assign(kDerGeneralizedTime, ToBytes("20510304050607Z"));
  EXPECT_EQ(shown.ToString(), "2051-03-04 05:06:07");

  struct Bad {
    uint8_t tag;
    const char* text;
    const char* message;
  };
  const Bad bad[] = {
      {kDerUtcTime, "2401010000+0100", "ASN.1 UTCTime: local time format is not supported"},
      {kDerUtcTime, "240101000000", "ASN.1 UTCTime: wrong length, identifier"},
      {kDerUtcTime, "24010100000", "ASN.1 UTCTime wrongly encoded"},
      {kDerUtcTime, "2401010000000Z", "ASN.1 UTCTime: wrong length, identifier"},
      {kDerUtcTime, "2413010000Z", "ASN.1 time out of range"},
      {kDerUtcTime, "2302290000Z", "ASN.1 time out of range"},
      {kDerUtcTime, "240101240000Z", "ASN.1 time out of range"},
      {kDerUtcTime, "24o1010000Z", "encoding has invalid char"},
      {kDerGeneralizedTime, "20510101120000", "ASN.1 GeneralizedTime: local time format is not supported"},
      {kDerGeneralizedTime, "2051010112Z", "ASN.1 GeneralizedTime: wrong length"},
      {kDerGeneralizedTime, "20510101120000.Z", "ASN.1 GeneralizedTime wrongly encoded"},
      {kDerGeneralizedTime, "20510101126000Z", "ASN.1 time out of range"},
      {kDerOctetString, "20510101120000Z", "Type Error:"},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.text);
    ASN1Time t;
    t.Assign(b.tag, ToBytes(b.text));
    EXPECT_EQ(SecurityErrorOf([&] { t.Time(); }), std::string("Certificate Error: ") + b.message + " at [0]");
  }

  // The reader takes either time tag and nothing else.
  const ByteArray der = Hex("17 0D 3234303130313030303030305A 18 0F 32303531303130313030303030305A 04 00");
  DERReader r(der);
  ASN1Time a, g, x;
  r.ReadTime(a);
  r.ReadTime(g);
  EXPECT_EQ(a.Parts().year, 2024);
  EXPECT_EQ(g.Parts().year, 2051);
  EXPECT_THROW(r.ReadTime(x), EuaSecurityError);
}

TEST(DerValues, StringsBitsAndComparison) {
  ASN1StringType bmp;
  bmp.Assign(kDerBmpString, Hex("00 56 00 E4 D8 3D DE 00"));  // "V", a-umlaut, U+1F600
  EXPECT_EQ(bmp.ToString(), "V\xC3\xA4\xF0\x9F\x98\x80");
  ASN1StringType utf8;
  utf8.Assign(kDerUtf8String, ToBytes("urn:x"));
  EXPECT_EQ(utf8.ToString(), "urn:x");

  const ByteArray der = Hex("03 03 04 A5 F0");
  DERReader r(der);
  DERBitString bits;
  r.ReadBitString(bits);
  EXPECT_EQ(bits.fpadBits, 4);
  EXPECT_EQ(bits.ToString(), "1010010111110000");
  EXPECT_EQ(bits.BitSize(), 16u);

  ASN1Value a, b;
  a.SetValue(Hex("01 02"));
  b.SetValue(Hex("01 02"));
  EXPECT_TRUE(a.Compare(b));
  b.SetValue(Hex("01 03"));
  EXPECT_FALSE(a.Compare(b));
  b.SetValue({});  // empty content keeps the old value
  EXPECT_EQ(b.ToString(), "0103");
  EXPECT_EQ(ASN1TaggedObject::getTagNo(0xA3), 3);
  EXPECT_EQ(ASN1TaggedObject::getTagNo(0x86), 6);
}

}  // namespace
}  // namespace varo::ua
