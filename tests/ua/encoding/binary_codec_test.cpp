// SPDX-License-Identifier: MPL-2.0
// Wire forms of the built-in types in both directions, hostile input and round trips.
#include "ua/encoding/binary_codec.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>

#include "platform/datetime.h"
#include "support/test_support.h"

// Records the largest single allocation, so the hostile-input cases can show that a huge
// announced length never turns into an allocation of that size.
namespace {
std::atomic<size_t> gLargestAllocation{0};
void* CountedAlloc(size_t n) {
  size_t seen = gLargestAllocation.load(std::memory_order_relaxed);
  while (n > seen && !gLargestAllocation.compare_exchange_weak(seen, n, std::memory_order_relaxed)) {
  }
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}
}  // namespace
void* operator new(size_t n) {
  return CountedAlloc(n);
}
void* operator new[](size_t n) {
  return CountedAlloc(n);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
  std::free(p);
}

namespace varo::ua {
namespace {

using test::Hex;
using test::ToHex;

// A small structure: an Int32 and a String.
class TTestObj : public TuaObj {
 public:
  TTestObj() : TuaObj(1234) {}
  std::unique_ptr<TuaObj> Create() const override { return std::make_unique<TTestObj>(); }
  void Encode(IuaEncoder& e) const override {
    e.Write(Number, "Number");
    e.Write(Text, "Text");
  }
  void Decode(IuaDecoder& d) override {
    d.Read(Number, "Number");
    d.Read(Text, "Text");
  }
  int32_t Number = 0;
  std::string Text;
};

// A structure that holds one more of itself (or not), for nesting depth.
class TNestObj : public TuaObj {
 public:
  TNestObj() : TuaObj(77) {}
  std::unique_ptr<TuaObj> Create() const override { return std::make_unique<TNestObj>(); }
  void Encode(IuaEncoder& e) const override {
    e.Write(static_cast<bool>(Inner), "HasInner");
    if (Inner) e.Write(Inner.get(), "Inner");
  }
  void Decode(IuaDecoder& d) override {
    bool has = false;
    d.Read(has, "HasInner");
    if (has) {
      Inner = std::make_unique<TNestObj>();
      d.Read(*Inner, "Inner");
    }
  }
  std::unique_ptr<TNestObj> Inner;
};

TDateTime Date(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return EncodeDateTime({y, mo, d, h, mi, s, ms});
}

template <class T>
std::unique_ptr<T> Box(T v) {
  return std::make_unique<T>(std::move(v));
}

std::unique_ptr<uaVariant> VBox(uaVariant v) {
  return std::make_unique<uaVariant>(std::move(v));
}

// One wire example: how to write the value, the bytes, and how to read them back and check
// the result.
struct WireCase {
  std::string name;
  std::function<void(TuaBinaryEncoder&)> write;
  std::string hex;
  std::function<void(TuaBinaryDecoder&)> readAndCheck;  // null: encode-only case
};

// A value type: Write(v) then Read(T&) == decoded.
template <class T>
WireCase Val(std::string name, T v, std::string hex, std::optional<T> decoded = std::nullopt) {
  T expect = decoded ? *decoded : v;
  return {name, [v](TuaBinaryEncoder& e) { e.Write(v, "f"); }, hex,
          [expect](TuaBinaryDecoder& d) {
            T got{};
            d.Read(got, "f");
            EXPECT_EQ(got, expect);
          }};
}

// An object type: Write(&v) then Read(unique_ptr<T>&) equal to the value (null = no object).
template <class T>
WireCase Obj(std::string name, std::shared_ptr<const T> v, std::string hex,
             std::shared_ptr<const T> decoded = nullptr, bool decodedIsNull = false) {
  std::shared_ptr<const T> expect = decoded ? decoded : v;
  return {name, [v](TuaBinaryEncoder& e) { e.Write(v.get(), "f"); }, hex,
          [expect, decodedIsNull](TuaBinaryDecoder& d) {
            std::unique_ptr<T> got;
            d.Read(got, "f");
            if (decodedIsNull || !expect) {
              EXPECT_EQ(got, nullptr);
            } else {
              ASSERT_NE(got, nullptr);
              EXPECT_TRUE(*got == *expect) << "decoded value differs";
            }
          }};
}

template <class T>
std::shared_ptr<const T> S(T v) {
  return std::make_shared<const T>(std::move(v));
}

WireCase Date(std::string name, TDateTime v, std::string hex, TDateTime decoded) {
  return {name, [v](TuaBinaryEncoder& e) { e.WriteDateTime(v, "f"); }, hex,
          [decoded](TuaBinaryDecoder& d) {
            TDateTime got = 0;
            d.ReadDateTime(got, "f");
            EXPECT_NEAR(got, decoded, 1e-9);
          }};
}

uaVariant Dims(uaVariant v, std::vector<int32_t> dims) {
  v.SetDimensions(std::move(dims));
  return v;
}

uaDataValue Dv(std::unique_ptr<uaVariant> v, uaStatusCode st, TDateTime src, uint16_t srcPs, TDateTime srv,
               uint16_t srvPs) {
  uaDataValue d(std::move(v));
  d.StatusCode = st;
  d.SourceTimestamp = src;
  d.SourcePicoSeconds = srcPs;
  d.ServerTimestamp = srv;
  d.ServerPicoSeconds = srvPs;
  return d;
}

uaDiagnosticInfo Diag() {
  uaDiagnosticInfo d;
  d.SymbolicId = 1;
  d.Locale = 2;
  d.AdditionalInfo = "x";
  d.InnerDiagnosticInfo = std::make_unique<uaDiagnosticInfo>();
  d.InnerDiagnosticInfo->InnerStatusCode = 0x80010000;
  return d;
}

const char* const kTs2024 = "00 C0 89 76 45 3C DA 01";    // 2024-01-01 00:00
const char* const kDouble15 = "00 00 00 00 00 00 F8 3F";  // 1.5

std::vector<WireCase> WireCases() {
  const TDateTime ts = Date(2024, 1, 1);
  std::string t = kTs2024, d15 = kDouble15;
  uaVariant dbl(1.5);
  return {
      Val<bool>("Boolean true", true, "01"),
      Val<int16_t>("Int16", -2, "FE FF"),
      Val<uint32_t>("UInt32", 0x01020304, "04 03 02 01"),
      Val<int64_t>("Int64", -1, "FF FF FF FF FF FF FF FF"),
      Val<double>("Double", 1.5, d15),
      Val<std::string>("String", "Abc", "03 00 00 00 41 62 63"),
      Val<std::string>("empty String", "", "FF FF FF FF"),
      Val<ByteArray>("ByteString", ByteArray{1, 2}, "02 00 00 00 01 02"),
      Val<ByteArray>("empty ByteString", ByteArray{}, "FF FF FF FF"),
      Val<TGUID>("Guid", StringToGUID("{01020304-0506-0708-090A-0B0C0D0E0F10}"),
                 "04 03 02 01 06 05 08 07 09 0A 0B 0C 0D 0E 0F 10"),
      Val<std::vector<int32_t>>("empty Int32 array", {}, "FF FF FF FF"),
      Date("DateTime 2024-01-01", ts, t, ts),
      Date("DateTime 1601-01-01", Date(1601, 1, 1), "00 00 00 00 00 00 00 00", kNullDateTime),
      Date("DateTime before 1601", Date(1500, 6, 1), "00 00 00 00 00 00 00 00", kNullDateTime),
      Date("DateTime null", kNullDateTime, "00 00 00 00 00 00 00 00", kNullDateTime),
      Date("DateTime largest", kMaxDateTime, "FF FF FF FF FF FF FF 7F", kMaxDateTime),
      Date("DateTime after largest", kMaxDateTime + 1, "FF FF FF FF FF FF FF 7F", kMaxDateTime),
      Date("DateTime 1899-12-29 06:00", -1.25, "00 70 3D C9 12 35 4F 01", -1.25),
      Obj<uaNodeId>("NodeId two-byte", S(uaNodeId(85, 0)), "00 55"),
      Obj<uaNodeId>("NodeId four-byte", S(uaNodeId(85, 2)), "01 02 55 00"),
      Obj<uaNodeId>("NodeId numeric", S(uaNodeId(70000, 0)), "02 00 00 70 11 01 00"),
      Obj<uaNodeId>("NodeId numeric ns 256", S(uaNodeId(1, 256)), "02 00 01 01 00 00 00"),
      Obj<uaNodeId>("NodeId null pointer", nullptr, "00 00", S(uaNodeId())),
      Obj<uaNodeId>("NodeId string", S(uaNodeId("Abc", 1)), "03 01 00 03 00 00 00 41 62 63"),
      Obj<uaNodeId>("NodeId guid", S(uaNodeId(StringToGUID("{01020304-0506-0708-090A-0B0C0D0E0F10}"), 3)),
                    "04 03 00 04 03 02 01 06 05 08 07 09 0A 0B 0C 0D 0E 0F 10"),
      Obj<uaNodeId>("NodeId opaque", S(uaNodeId(ByteArray{0x0A, 0xFF}, 4)), "05 04 00 02 00 00 00 0A FF"),
      Obj<uaExpandedNodeId>("ExpandedNodeId server index", S(uaExpandedNodeId(uaNodeId(85, 0), "", 1)),
                            "40 55 01 00 00 00"),
      Obj<uaExpandedNodeId>("ExpandedNodeId uri", S(uaExpandedNodeId(uaNodeId(5, 0), "urn:a", 2)),
                            "C0 05 05 00 00 00 75 72 6E 3A 61 02 00 00 00"),
      Obj<uaExpandedNodeId>("ExpandedNodeId null pointer", nullptr, "00 00", S(uaExpandedNodeId())),
      Obj<uaQualifiedName>("QualifiedName", S(uaQualifiedName("Ab", 2)), "02 00 02 00 00 00 41 62"),
      Obj<uaQualifiedName>("QualifiedName null pointer", nullptr, "00 00 FF FF FF FF"),
      Obj<uaQualifiedName>("QualifiedName empty name", S(uaQualifiedName("", 3)), "03 00 FF FF FF FF",
                           nullptr, true),
      Obj<uaLocalizedText>("LocalizedText text and locale", S(uaLocalizedText("Hallo", "de")),
                           "03 02 00 00 00 64 65 05 00 00 00 48 61 6C 6C 6F"),
      Obj<uaLocalizedText>("LocalizedText text only", S(uaLocalizedText("A", "")), "02 01 00 00 00 41"),
      Obj<uaLocalizedText>("LocalizedText empty", S(uaLocalizedText()), "00", nullptr, true),
      Obj<uaDiagnosticInfo>("DiagnosticInfo chain", S(Diag()),
                            "59 01 00 00 00 02 00 00 00 01 00 00 00 78 20 00 00 01 80"),
      Obj<uaDiagnosticInfo>("DiagnosticInfo null pointer", nullptr, "00"),
      Obj<uaExtensionObject>("ExtensionObject null pointer", nullptr, "00 00 00",
                             S(uaExtensionObject(Box(uaExpandedNodeId())))),
      Obj<uaExtensionObject>("ExtensionObject binary",
                             S(uaExtensionObject(Box(uaExpandedNodeId(uaNodeId(300, 0))), ByteArray{9, 8})),
                             "01 00 2C 01 01 02 00 00 00 09 08"),
      Obj<uaExtensionObject>(
          "ExtensionObject xml",
          S(uaExtensionObject(Box(uaExpandedNodeId(uaNodeId(7, 0))), uaXmlElement("<a/>"))),
          "00 07 02 04 00 00 00 3C 61 2F 3E"),
      Obj<uaVariant>("Variant null pointer", nullptr, "00"),
      Obj<uaVariant>("Variant Boolean", S(uaVariant(true)), "01 01"),
      Obj<uaVariant>("Variant Double", S(uaVariant(1.5)), "0B " + d15),
      Obj<uaVariant>("Variant StatusCode", S(uaVariant::FromStatusCode(0x80340000)), "13 00 00 34 80"),
      Obj<uaVariant>("Variant DateTime", S(uaVariant::FromDateTime(ts)), "0D " + t),
      Obj<uaVariant>("Variant Int32 array", S(uaVariant(std::vector<int32_t>{1, 2})),
                     "86 02 00 00 00 01 00 00 00 02 00 00 00"),
      Obj<uaVariant>("Variant Int32 array with dimensions",
                     S(Dims(uaVariant(std::vector<int32_t>{1, 2}), {2})),
                     "C6 02 00 00 00 01 00 00 00 02 00 00 00 01 00 00 00 02 00 00 00"),
      Obj<uaVariant>("Variant Byte array", S(uaVariant::FromByteValues({1, 2})), "83 02 00 00 00 01 02"),
      Obj<uaVariant>("Variant empty NodeId array keeps its type",
                     S(uaVariant(std::vector<std::unique_ptr<uaNodeId>>{})), "91 FF FF FF FF"),
      Obj<uaVariant>("Variant in Variant", S(uaVariant::CreateWrapper(VBox(uaVariant(int8_t{-1})))),
                     "18 02 FF"),
      Obj<uaVariant>("Variant DiagnosticInfo", S(uaVariant(Box(uaDiagnosticInfo(Diag())))),
                     "19 59 01 00 00 00 02 00 00 00 01 00 00 00 78 20 00 00 01 80"),
      Obj<uaDataValue>("DataValue null pointer", nullptr, "00"),
      Obj<uaDataValue>("DataValue value and source timestamp",
                       S(uaDataValue(VBox(uaVariant(1.5)), ts, 0, kNullDateTime)), "05 0B " + d15 + " " + t),
      Obj<uaDataValue>("DataValue everything", S(Dv(VBox(uaVariant(1.5)), 0x80000000, ts, 10, ts, 20)),
                       "3F 0B " + d15 + " 00 00 00 80 " + t + " 0A 00 " + t + " 14 00"),
      Obj<uaDataValue>("DataValue both stamps and picoseconds", S(Dv(VBox(uaVariant(1.5)), 0, ts, 1, ts, 2)),
                       "3D 0B " + d15 + " " + t + " 01 00 " + t + " 02 00"),
      Obj<uaDataValue>("DataValue status only",
                       S(Dv(nullptr, 0x80000000, kNullDateTime, 0, kNullDateTime, 0)), "02 00 00 00 80"),
  };
}

class WireForms : public ::testing::TestWithParam<WireCase> {};

TEST_P(WireForms, EncodesAndDecodes) {
  const WireCase& c = GetParam();
  TuaBinaryEncoder enc;
  c.write(enc);
  EXPECT_EQ(ToHex(enc.View()), ToHex(Hex(c.hex)));
  ByteArray wire = Hex(c.hex);
  TuaBinaryDecoder dec{ByteSpan(wire)};
  c.readAndCheck(dec);
  EXPECT_TRUE(dec.AtEnd()) << dec.Remaining() << " bytes left";
}

INSTANTIATE_TEST_SUITE_P(Examples, WireForms, ::testing::ValuesIn(WireCases()),
                         [](const ::testing::TestParamInfo<WireCase>& i) {
                           std::string n;
                           for (char ch : i.param.name)
                             n += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           return n;
                         });

TEST(BinaryCodec, EncodeableExtensionObjectHasBackPatchedLength) {
  auto obj = std::make_shared<TTestObj>();
  obj->Number = 5;
  obj->Text = "ab";
  obj->NamespaceIndex = 0;
  uaExtensionObject eo{std::shared_ptr<TuaObj>(obj)};
  TuaBinaryEncoder enc;
  enc.Write(uint8_t{0xAA}, "prefix");
  enc.Write(eo, "eo");
  // 1234 = 0x04D2: four-byte form; body: Int32 5, String "ab" = 10 bytes.
  EXPECT_EQ(ToHex(enc.View()), ToHex(Hex("AA 01 00 D2 04 01 0A 00 00 00 05 00 00 00 02 00 00 00 61 62")));

  // The decoder gives a binary body that the reader turns back into the structure.
  TuaBinaryDecoder dec(enc.Buffer());
  uint8_t prefix = 0;
  dec.Read(prefix, "prefix");
  std::unique_ptr<uaExtensionObject> got;
  dec.Read(got, "eo");
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->Encoding, uaExtensionObject::eo_BinaryBody);
  EXPECT_EQ(got->ObjNo(), 1234);
  TTestObj back;
  TExtensionObjReader::ReadObject(*got, back);
  EXPECT_EQ(back.Number, 5);
  EXPECT_EQ(back.Text, "ab");
}

TEST(BinaryCodec, ExtensionObjectReaderErrors) {
  TTestObj target;
  uaExtensionObject xml(std::make_unique<uaExpandedNodeId>(uaNodeId(1234, 0)), uaXmlElement("<a/>"));
  EXPECT_THROW(
      {
        try {
          TExtensionObjReader::ReadObject(xml, target);
        } catch (const EuaDecodeError& e) {
          EXPECT_STREQ(e.what(), "Error Message: can only handle binary data");
          throw;
        }
      },
      EuaDecodeError);
  uaExtensionObject other(std::make_unique<uaExpandedNodeId>(uaNodeId(99, 0)), ByteArray{1});
  try {
    TExtensionObjReader::ReadObject(other, target);
    FAIL() << "no error";
  } catch (const EuaDecodeError& e) {
    EXPECT_STREQ(e.what(), "Error Message: wrong extension object types (99 <> 1234)");
  }
}

TEST(BinaryCodec, NullStructureRaisesNil) {
  TuaBinaryEncoder enc;
  try {
    enc.Write(static_cast<const TuaObj*>(nullptr), "x");
    FAIL() << "no error";
  } catch (const EuaEncodeError& e) {
    EXPECT_STREQ(e.what(), "Error Message: nil");
  }
}

TEST(BinaryCodec, MessageIdAndBody) {
  TTestObj obj;
  obj.Number = 1;
  TuaBinaryEncoder enc;
  enc.WriteMessage(obj, "msg");
  EXPECT_EQ(ToHex(enc.View()), ToHex(Hex("01 00 D2 04 01 00 00 00 FF FF FF FF")));
  TuaBinaryDecoder dec(enc.Buffer());
  uint32_t id = 0;
  dec.ReadMessageId(id, "id");
  EXPECT_EQ(id, 1234u);
  TTestObj back;
  dec.Read(back, "body");
  EXPECT_EQ(back.Number, 1);
  EXPECT_TRUE(dec.AtEnd());
}

TEST(BinaryCodec, NaNBecomesCanonical) {
  ByteArray wire = Hex("01 00 80 7F  0B 01 00 00 00 00 F0 7F");  // float and double signalling NaN
  TuaBinaryDecoder dec{ByteSpan(wire)};
  float f = 0;
  dec.Read(f, "f");
  uint32_t fb;
  std::memcpy(&fb, &f, 4);
  EXPECT_EQ(fb, 0xFFC00000u);
  double d = 0;
  dec.Read(d, "d");
  uint64_t db;
  std::memcpy(&db, &d, 8);
  EXPECT_EQ(db, 0xFFF8000000000000ull);
}

TEST(BinaryCodec, SoftNoObjectCasesKeepTheStreamInStep) {
  // Variant of type 0, DataValue mask 0, LocalizedText mask 0, null QualifiedName, then a marker.
  ByteArray wire = Hex("00 00 00 00 00 FF FF FF FF 2A");
  TuaBinaryDecoder dec{ByteSpan(wire)};
  std::unique_ptr<uaVariant> v;
  std::unique_ptr<uaDataValue> dv;
  std::unique_ptr<uaLocalizedText> lt;
  std::unique_ptr<uaQualifiedName> qn;
  dec.Read(v, "v");
  dec.Read(dv, "dv");
  dec.Read(lt, "lt");
  dec.Read(qn, "qn");
  EXPECT_FALSE(v || dv || lt || qn);
  uint8_t marker = 0;
  dec.Read(marker, "m");
  EXPECT_EQ(marker, 0x2A);
}

TEST(BinaryCodec, DimensionsFlagOnAScalarIsReadAndDropped) {
  // ExpandedNodeId scalar (0x12) with the dimensions bit but no array bit: the dimensions are
  // consumed, the value stays a scalar, and our re-encoding decodes again.
  ByteArray wire = Hex("52 01 00 00 00 F7 FF FF FF 2A");
  TuaBinaryDecoder dec{ByteSpan(wire)};
  std::unique_ptr<uaVariant> v;
  dec.Read(v, "v");
  ASSERT_TRUE(v);
  EXPECT_FALSE(v->IsArray());
  uint8_t marker = 0;
  dec.Read(marker, "m");
  EXPECT_EQ(marker, 0x2A);
  TuaBinaryEncoder enc;
  enc.Write(v.get(), "v");
  TuaBinaryDecoder again{enc.Buffer().view()};
  std::unique_ptr<uaVariant> back;
  again.Read(back, "v");
  ASSERT_TRUE(back);
  EXPECT_FALSE(back->IsArray());
}

TEST(BinaryCodec, EncoderAppendsToAGivenBuffer) {
  ByteBuffer buf;
  buf.write(Hex("AB"));
  TuaBinaryEncoder enc(buf);
  enc.Write(uint16_t{1}, "x");
  EXPECT_EQ(ToHex(buf.view()), "AB 01 00");
}

TEST(BinaryCodec, DecoderAdvancesAGivenReader) {
  ByteArray wire = Hex("01 02");
  ByteReader r{ByteSpan(wire)};
  {
    TuaBinaryDecoder dec(r);
    uint8_t b = 0;
    dec.Read(b, "b");
  }
  EXPECT_EQ(r.position(), 1u);
}

TEST(BinaryCodec, DataValuesByValue) {
  std::vector<uaDataValue> values;
  values.emplace_back(VBox(uaVariant(2.5)), Date(2024, 1, 1), 0, kNullDateTime);
  values.emplace_back();
  TuaBinaryEncoder enc;
  enc.Write(values, "values");
  TuaBinaryDecoder dec(enc.Buffer());
  std::vector<uaDataValue> back;
  dec.Read(back, "values");
  ASSERT_EQ(back.size(), 2u);
  EXPECT_TRUE(back[0] == values[0]);
  EXPECT_TRUE(back[1] == values[1]);
}

// ---------------------------------------------------------------------------------------
// Hostile input

struct HostileCase {
  const char* name;
  const char* hex;
  std::function<void(TuaBinaryDecoder&)> read;
  const char* message;  // part of the error text
};

template <class T>
std::function<void(TuaBinaryDecoder&)> ReadAs() {
  return [](TuaBinaryDecoder& d) {
    T v{};
    d.Read(v, "f");
  };
}

std::string NestedVariants(int depth) {
  std::string s;
  for (int i = 0; i < depth; ++i) s += "18 ";
  return s + "06 01 00 00 00";
}

std::string NestedDiagnosticInfos(int depth) {
  std::string s;
  for (int i = 0; i < depth; ++i) s += "40 ";
  return s + "01 01 00 00 00";
}

std::string NestedDataValues(int depth) {
  std::string s;
  for (int i = 0; i < depth; ++i) s += "01 17 ";
  return s + "00";
}

std::string NestedStructures(int depth) {
  std::string s;
  for (int i = 0; i < depth; ++i) s += "01 ";
  return s + "00";
}

const std::vector<HostileCase>& HostileCases() {
  static const std::string deepVariant = NestedVariants(150);
  static const std::string deepDiag = NestedDiagnosticInfos(150);
  static const std::string deepDv = NestedDataValues(120);
  static const std::string deepObj = NestedStructures(150);
  static const std::vector<HostileCase> cases = {
      {"string length beyond data", "FF FF FF 7F 41 42", ReadAs<std::string>(), "exceeds"},
      {"byte string length beyond data", "00 00 00 40 01", ReadAs<ByteArray>(), "exceeds"},
      {"Int32 array count beyond data", "FF FF FF 7F 01 00 00 00", ReadAs<std::vector<int32_t>>(), "exceeds"},
      {"string array count beyond data", "00 00 00 10", ReadAs<std::vector<std::string>>(), "exceeds"},
      {"variant array count beyond data", "00 00 00 10 00", ReadAs<std::vector<std::unique_ptr<uaVariant>>>(),
       "exceeds"},
      {"variant Double array count beyond data", "8B FF FF FF 7F 00", ReadAs<std::unique_ptr<uaVariant>>(),
       "exceeds"},
      {"variant String array count beyond data", "8C 00 00 01 00", ReadAs<std::unique_ptr<uaVariant>>(),
       "exceeds"},
      {"variant dimensions count beyond data", "C6 01 00 00 00 01 00 00 00 FF FF FF 7F",
       ReadAs<std::unique_ptr<uaVariant>>(), "exceeds"},
      {"truncated Int32", "01 02 03", ReadAs<int32_t>(), "Stream read error"},
      {"truncated Double", "01 02 03 04", ReadAs<double>(), "Stream read error"},
      {"truncated Guid", "01 02 03 04 05", ReadAs<TGUID>(), "Stream read error"},
      {"truncated NodeId", "01 02", ReadAs<std::unique_ptr<uaNodeId>>(), "Stream read error"},
      {"truncated DataValue", "05 0B 00 00", ReadAs<std::unique_ptr<uaDataValue>>(), "Stream read error"},
      {"empty input for a variant", "", ReadAs<std::unique_ptr<uaVariant>>(), "Stream read error"},
      {"unknown NodeId form", "06 00 00", ReadAs<std::unique_ptr<uaNodeId>>(),
       "Invalid NodeId encoding form (0x06)"},
      {"unknown ExpandedNodeId form", "47 00", ReadAs<std::unique_ptr<uaExpandedNodeId>>(), "encoding form"},
      {"variant type 26", "1A 00 00 00 00", ReadAs<std::unique_ptr<uaVariant>>(),
       "Invalid variant type (26)"},
      {"variant type 63 array", "BF 00 00 00 00", ReadAs<std::unique_ptr<uaVariant>>(),
       "Invalid variant type"},
      {"variant type 0 with array bit", "80 01 00 00 00", ReadAs<std::unique_ptr<uaVariant>>(),
       "mask (0x80)"},
      {"extension object encoding byte 3", "00 00 03", ReadAs<std::unique_ptr<uaExtensionObject>>(),
       "Invalid encoding byte (0x03) for uaExtensionObject."},
      {"variant nested 150 deep", deepVariant.c_str(), ReadAs<std::unique_ptr<uaVariant>>(), "nesting"},
      {"diagnostic info chain 150 deep", deepDiag.c_str(), ReadAs<std::unique_ptr<uaDiagnosticInfo>>(),
       "nesting"},
      {"data value in variant 120 deep", deepDv.c_str(), ReadAs<std::unique_ptr<uaDataValue>>(), "nesting"},
      {"structure nested 150 deep", deepObj.c_str(),
       [](TuaBinaryDecoder& d) {
         TNestObj o;
         d.Read(o, "o");
       },
       "nesting"},
      {"structure array count beyond data", "00 00 00 01 00",
       [](TuaBinaryDecoder& d) {
         std::vector<std::unique_ptr<TuaObj>> v;
         d.Read(v, TTestObj(), "a");
       },
       "exceeds"},
  };
  return cases;
}

class HostileInput : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileInput, RaisesDecodeErrorWithoutBigAllocation) {
  const HostileCase& c = GetParam();
  ByteArray wire = Hex(c.hex);
  TuaBinaryDecoder dec{ByteSpan(wire)};
  gLargestAllocation = 0;
  try {
    c.read(dec);
    FAIL() << "no error raised";
  } catch (const EuaDecodeError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("Error Message: ", 0), 0u) << e.what();
    EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
  }
  EXPECT_LT(gLargestAllocation.load(), 64u * 1024u) << "allocation sized by an untrusted length";
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileInput, ::testing::ValuesIn(HostileCases()),
                         [](const ::testing::TestParamInfo<HostileCase>& i) {
                           std::string n;
                           for (const char* p = i.param.name; *p; ++p) {
                             n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           }
                           return n;
                         });

TEST(BinaryCodec, NestingUpToTheLimitIsAccepted) {
  ByteArray wire = Hex(NestedVariants(kMaxDecodeDepth - 1));
  TuaBinaryDecoder dec{ByteSpan(wire)};
  std::unique_ptr<uaVariant> v;
  dec.Read(v, "v");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->ToString(), "1");
}

TEST(BinaryCodec, ContextLimitsAreEnforced) {
  struct Limit {
    const char* name;
    uint32_t TuaEncoderContext::*field;
    const char* hex;
    std::function<void(TuaBinaryDecoder&)> read;
  };
  const Limit limits[] = {
      {"string", &TuaEncoderContext::maxStringLength, "03 00 00 00 41 42 43", ReadAs<std::string>()},
      {"byte string", &TuaEncoderContext::maxByteStringLength, "03 00 00 00 01 02 03", ReadAs<ByteArray>()},
      {"array", &TuaEncoderContext::maxArrayLength, "03 00 00 00 01 02 03", ReadAs<std::vector<int8_t>>()},
  };
  for (const Limit& l : limits) {
    SCOPED_TRACE(l.name);
    ByteArray wire = Hex(l.hex);
    {
      TuaBinaryDecoder dec{ByteSpan(wire)};
      dec.Context().*l.field = 2;
      EXPECT_THROW(l.read(dec), EuaDecodeError);
    }
    {
      TuaBinaryDecoder dec{ByteSpan(wire)};
      dec.Context().*l.field = 3;  // exactly at the limit
      EXPECT_NO_THROW(l.read(dec));
    }
  }
  TuaBinaryEncoder enc;
  enc.Context().maxStringLength = 2;
  EXPECT_THROW(enc.Write("abc", "s"), EuaEncodeError);
  enc.Context().maxArrayLength = 1;
  EXPECT_THROW(enc.Write(std::vector<int32_t>{1, 2}, "a"), EuaEncodeError);
}

TEST(BinaryCodec, InvalidUtf8IsKeptAndShownAsReplacement) {
  // A LocalizedText "A\xFF" must not abort decoding.
  ByteArray wire = Hex("02 02 00 00 00 41 FF");
  TuaBinaryDecoder dec{ByteSpan(wire)};
  std::unique_ptr<uaLocalizedText> t;
  dec.Read(t, "t");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->Text, std::string("A\xFF"));
  EXPECT_EQ(t->ToString(), "A\xEF\xBF\xBD");
}

// ---------------------------------------------------------------------------------------
// Round trips

uaVariant RoundTrip(const uaVariant& v) {
  TuaBinaryEncoder enc;
  enc.Write(v, "v");
  TuaBinaryDecoder dec(enc.Buffer());
  std::unique_ptr<uaVariant> back;
  dec.Read(back, "v");
  EXPECT_TRUE(dec.AtEnd());
  return back ? *back : uaVariant();
}

template <class T>
std::vector<std::unique_ptr<T>> Objs(std::vector<T> values, bool withNull = false) {
  std::vector<std::unique_ptr<T>> r;
  for (auto& v : values) r.push_back(std::make_unique<T>(std::move(v)));
  if (withNull) r.push_back(nullptr);
  return r;
}

std::vector<std::pair<std::string, uaVariant>> RoundTripVariants() {
  const TGUID g = StringToGUID("{01020304-0506-0708-090A-0B0C0D0E0F10}");
  const TDateTime ts = Date(2020, 2, 29, 13, 14, 15, 16);
  std::vector<std::pair<std::string, uaVariant>> v;
  v.emplace_back("Boolean", uaVariant(false));
  v.emplace_back("SByte", uaVariant(int8_t{-128}));
  v.emplace_back("Byte", uaVariant(uint8_t{255}));
  v.emplace_back("Int16", uaVariant(int16_t{-32768}));
  v.emplace_back("UInt16", uaVariant(uint16_t{65535}));
  v.emplace_back("Int32", uaVariant(int32_t{-2147483647 - 1}));
  v.emplace_back("UInt32", uaVariant(uint32_t{4294967295u}));
  v.emplace_back("Int64", uaVariant(int64_t{INT64_MIN}));
  v.emplace_back("UInt64", uaVariant(uint64_t{UINT64_MAX}));
  v.emplace_back("Float", uaVariant(-1.25f));
  v.emplace_back("Double", uaVariant(3.141592653589793));
  v.emplace_back("String", uaVariant("Grüße"));
  v.emplace_back("DateTime", uaVariant::FromDateTime(ts));
  v.emplace_back("Guid", uaVariant(g));
  v.emplace_back("ByteString", uaVariant(ByteArray{0, 1, 255}));
  v.emplace_back("XmlElement", uaVariant::FromXmlElement("<x>1</x>"));
  v.emplace_back("NodeId", uaVariant(uaNodeId("Demo.Static", 2)));
  v.emplace_back("ExpandedNodeId", uaVariant(uaExpandedNodeId(uaNodeId(g, 1), "urn:x", 3)));
  v.emplace_back("StatusCode", uaVariant::FromStatusCode(0x80AB0000));
  v.emplace_back("QualifiedName", uaVariant(uaQualifiedName("Name", 4)));
  v.emplace_back("LocalizedText", uaVariant(uaLocalizedText("Text", "en")));
  v.emplace_back("ExtensionObject",
                 uaVariant(uaExtensionObject(Box(uaExpandedNodeId(uaNodeId(1, 1))), ByteArray{1, 2, 3})));
  v.emplace_back("DataValue", uaVariant(Box(Dv(VBox(uaVariant(int32_t{7})), 0x40000000, ts, 1, ts, 2))));
  v.emplace_back("Variant", uaVariant::CreateWrapper(VBox(uaVariant("inner"))));
  v.emplace_back("DiagnosticInfo", uaVariant(Box(Diag())));
  v.emplace_back("Boolean array", uaVariant(std::vector<bool>{true, false, true}));
  v.emplace_back("SByte array", uaVariant(std::vector<int8_t>{-1, 2}));
  v.emplace_back("Byte array", uaVariant::FromByteValues({3, 4}));
  v.emplace_back("Int16 array", uaVariant(std::vector<int16_t>{-1, 2}));
  v.emplace_back("UInt16 array", uaVariant(std::vector<uint16_t>{1, 2}));
  v.emplace_back("UInt32 array", uaVariant(std::vector<uint32_t>{1, 2}));
  v.emplace_back("Int64 array", uaVariant(std::vector<int64_t>{-1, 2}));
  v.emplace_back("UInt64 array", uaVariant(std::vector<uint64_t>{1, 2}));
  v.emplace_back("Float array", uaVariant(std::vector<float>{0.5f}));
  v.emplace_back("Double array", uaVariant(std::vector<double>{0.5, -2}));
  v.emplace_back("String array", uaVariant(std::vector<std::string>{"a", "b"}));
  v.emplace_back("DateTime array", uaVariant::FromDateTimeArray({ts, ts}));
  v.emplace_back("Guid array", uaVariant(std::vector<TGUID>{g, TGUID{}}));
  v.emplace_back("ByteString array", uaVariant(std::vector<ByteArray>{{1}, {2, 3}}));
  v.emplace_back("XmlElement array", uaVariant::FromXmlElementArray({"<a/>"}));
  v.emplace_back("StatusCode array", uaVariant::FromStatusCodeArray({0, 0x80000000}));
  v.emplace_back("NodeId array", uaVariant(Objs<uaNodeId>({uaNodeId(1, 0), uaNodeId("s", 1)})));
  v.emplace_back("ExpandedNodeId array",
                 uaVariant(Objs<uaExpandedNodeId>({uaExpandedNodeId(uaNodeId(1, 0))})));
  v.emplace_back("QualifiedName array with a null",
                 uaVariant(Objs<uaQualifiedName>({uaQualifiedName("q", 1)}, true)));
  v.emplace_back("LocalizedText array with a null",
                 uaVariant(Objs<uaLocalizedText>({uaLocalizedText("t", "")}, true)));
  v.emplace_back(
      "ExtensionObject array",
      uaVariant(Objs<uaExtensionObject>({uaExtensionObject(Box(uaExpandedNodeId(uaNodeId(5, 0))))})));
  {
    std::vector<std::unique_ptr<uaDataValue>> dvs;
    dvs.push_back(Box(Dv(VBox(uaVariant(1.0)), 0, ts, 0, kNullDateTime, 0)));
    dvs.push_back(nullptr);
    v.emplace_back("DataValue array with a null", uaVariant(std::move(dvs)));
  }
  {
    std::vector<std::unique_ptr<uaVariant>> vs;
    vs.push_back(VBox(uaVariant(int32_t{1})));
    vs.push_back(VBox(uaVariant("two")));
    vs.push_back(nullptr);
    v.emplace_back("Variant array with a null", uaVariant(std::move(vs)));
  }
  v.emplace_back("DiagnosticInfo array", uaVariant(Objs<uaDiagnosticInfo>({Diag()}, true)));
  v.emplace_back("empty Double array", uaVariant(std::vector<double>{}));
  v.emplace_back("empty Variant array", uaVariant(std::vector<std::unique_ptr<uaVariant>>{}));
  v.emplace_back("matrix 2x3", Dims(uaVariant(std::vector<int32_t>{1, 2, 3, 4, 5, 6}), {2, 3}));
  v.emplace_back("String matrix 1x2", Dims(uaVariant(std::vector<std::string>{"a", "b"}), {1, 2}));
  return v;
}

TEST(BinaryCodec, EveryBuiltInTypeRoundTrips) {
  for (const auto& [name, v] : RoundTripVariants()) {
    SCOPED_TRACE(name);
    uaVariant back = RoundTrip(v);
    EXPECT_EQ(back.TypeInfo(), v.TypeInfo());
    EXPECT_TRUE(back == v) << back.ToString() << " vs " << v.ToString();
  }
}

TEST(BinaryCodec, EmptyArraysDecodeWithTheirType) {
  uaVariant back = RoundTrip(uaVariant(std::vector<std::unique_ptr<uaLocalizedText>>{}));
  EXPECT_EQ(back.BuildInType(), bit_LocalizedText);
  EXPECT_TRUE(back.IsArray());
  EXPECT_EQ(back.ArrayLength(), 0u);
}

TEST(BinaryCodec, NullVariantRoundTripsAsNoObject) {
  TuaBinaryEncoder enc;
  enc.Write(uaVariant(), "v");
  EXPECT_EQ(ToHex(enc.View()), "00");
  TuaBinaryDecoder dec(enc.Buffer());
  std::unique_ptr<uaVariant> back;
  dec.Read(back, "v");
  EXPECT_EQ(back, nullptr);
}

TEST(BinaryCodec, StructureArraysAndEnumsRoundTrip) {
  std::vector<std::unique_ptr<TTestObj>> objs;
  for (int i = 0; i < 3; ++i) {
    objs.push_back(std::make_unique<TTestObj>());
    objs.back()->Number = i;
    objs.back()->Text = std::string(static_cast<size_t>(i), 'x');
  }
  std::vector<std::unique_ptr<uaEnum>> enums;
  enums.push_back(std::make_unique<uaEnum>(3));
  enums.push_back(nullptr);  // written as 0
  TuaBinaryEncoder enc;
  enc.WriteObjArray(objs, "objs");
  enc.Write(enums, "enums");
  TuaBinaryDecoder dec(enc.Buffer());
  std::vector<std::unique_ptr<TTestObj>> back;
  dec.ReadObjArray(back, "objs");
  std::vector<std::unique_ptr<uaEnum>> enumsBack;
  dec.Read(enumsBack, "enums");
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back[2]->Number, 2);
  EXPECT_EQ(back[2]->Text, "xx");
  ASSERT_EQ(enumsBack.size(), 2u);
  EXPECT_EQ(enumsBack[0]->Value, 3);
  EXPECT_EQ(enumsBack[1]->Value, 0);
  EXPECT_TRUE(dec.AtEnd());
}

TEST(BinaryCodec, CloneOfAStructureIsDeep) {
  TTestObj o;
  o.Number = 9;
  o.Text = "t";
  o.ReqId = 4;
  std::unique_ptr<TuaObj> c = o.Clone();
  auto* t = dynamic_cast<TTestObj*>(c.get());
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->Number, 9);
  EXPECT_EQ(t->Text, "t");
  EXPECT_EQ(t->ReqId, 4);
}

TEST(BinaryCodec, DateTimeTicksAreExactForMilliseconds) {
  const TDateTime values[] = {Date(1601, 1, 2), Date(1899, 12, 30, 12), Date(1970, 1, 1),
                              Date(2024, 6, 30, 23, 59, 59, 999)};
  for (TDateTime d : values) {
    EXPECT_EQ(DecodeDateTime(UaTicksToDateTime(DateTimeToUaTicks(d))), DecodeDateTime(d));
  }
  EXPECT_EQ(DateTimeToUaTicks(Date(1970, 1, 1)), 116444736000000000LL);
}

TEST(BinaryCodec, TicksBeyondYear9999ReadAsTheLargestDateTime) {
  // A server may send any tick count below the max marker; years 10000 and later have no
  // date-time, and the value must still print.
  constexpr int64_t kTicksPerDay = 864'000'000'000LL;
  constexpr int64_t kTicks1899 = 94'353'120'000'000'000LL;  // 1601-01-01 to 1899-12-30
  const int64_t year10000 = 2958466 * kTicksPerDay + kTicks1899;
  for (int64_t ticks : {year10000, int64_t{0x7FFFFFFFFFFFFFFE}}) {
    ByteBuffer wire;
    wire.writeLE<int64_t>(ticks);
    TuaBinaryDecoder dec{wire.view()};
    TDateTime d = 0;
    dec.ReadDateTime(d, "t");
    EXPECT_EQ(d, varo::kMaxDateTime);
    EXPECT_NO_THROW(uaVariant::FromDateTime(d).ToString());
  }
  // The last millisecond of 9999 still reads as itself.
  const TDateTime last = Date(9999, 12, 31, 23, 59, 59, 999);
  const int64_t lastTicks = year10000 - 10'000;  // one millisecond before the year 10000
  EXPECT_EQ(DecodeDateTime(UaTicksToDateTime(lastTicks)), DecodeDateTime(last));
}

}  // namespace
}  // namespace varo::ua
