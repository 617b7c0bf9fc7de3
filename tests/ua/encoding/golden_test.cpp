// SPDX-License-Identifier: MPL-2.0
// Golden vectors: the bytes an independent OPC UA stack (node-opcua, see tests/golden/) writes
// for built-in values. For each case of tests/golden/builtin_vectors.txt the same value is
// built here; it must encode to those bytes, and those bytes must decode to the value (and
// re-encode identically). Where our encoder legitimately writes another valid form, the case
// says so in `ours` and the test checks that we decode their form correctly.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/datetime.h"
#include "support/test_support.h"
#include "ua/encoding/binary_codec.h"
#include "ua/encoding/builtin_types.h"

namespace varo::ua {
namespace {

using varo::test::Hex;
using varo::test::ToHex;

// ---------------------------------------------------------------------------------------
// The fixture

using Vector = varo::test::GoldenCase;

std::vector<Vector> LoadVectors() {
  return varo::test::LoadGoldenCases("tests/golden/builtin_vectors.txt");
}

// ---------------------------------------------------------------------------------------
// Writing and reading one value of a C++ type

struct DateTimeValue {
  TDateTime d;
  friend bool operator==(const DateTimeValue&, const DateTimeValue&) = default;
};

template <class T>
void Put(TuaBinaryEncoder& e, const T& v) {
  e.Write(v, "");
}
template <class X>
void Put(TuaBinaryEncoder& e, const std::unique_ptr<X>& v) {
  e.Write(static_cast<const X*>(v.get()), "");
}
void Put(TuaBinaryEncoder& e, const DateTimeValue& v) {
  e.WriteDateTime(v.d, "");
}

template <class T>
void Get(TuaBinaryDecoder& d, T& v) {
  d.Read(v, "");
}
void Get(TuaBinaryDecoder& d, DateTimeValue& v) {
  d.ReadDateTime(v.d, "");
}

template <class T>
bool Same(const T& a, const T& b) {
  return a == b;
}
template <class X>
bool Same(const std::unique_ptr<X>& a, const std::unique_ptr<X>& b) {
  return (!a && !b) || (a && b && *a == *b);
}

// Extension objects have no equality of their own; compare what the wire carries.
bool Same(const uaExtensionObject& a, const uaExtensionObject& b) {
  const bool sameType = (!a.TypeId && !b.TypeId) || (a.TypeId && b.TypeId && *a.TypeId == *b.TypeId);
  return sameType && a.Encoding == b.Encoding && a.BinaryBody == b.BinaryBody && a.XmlBody == b.XmlBody;
}
bool Same(const std::unique_ptr<uaExtensionObject>& a, const std::unique_ptr<uaExtensionObject>& b) {
  return (!a && !b) || (a && b && Same(*a, *b));
}

template <class T>
ByteArray EncodeOne(const T& v) {
  TuaBinaryEncoder e;
  Put(e, v);
  return e.TakeBytes();
}

// ---------------------------------------------------------------------------------------
// A case: how to build, encode and decode the value of one fixture line

struct Case {
  // Our encoding of the value built here.
  std::function<ByteArray()> encode;
  // Decodes the bytes (all of them must be consumed), checks the value, and returns the
  // re-encoding of what was decoded.
  std::function<ByteArray(ByteSpan)> decode;
  // Our wire form when it differs from node-opcua's (null: the same bytes).
  const char* ours = nullptr;
  // The re-encoding of the decoded value when it differs from `ours`.
  const char* again = nullptr;
};

template <class T>
struct Opt {
  const char* ours = nullptr;
  const char* again = nullptr;
  // Whether the decoded value must equal the built one (off where the decoder normalises).
  bool same = true;
  std::function<void(const T&)> check = nullptr;
};

template <class T>
Case Val(T value, Opt<T> o = {}) {
  auto built = std::make_shared<T>(std::move(value));
  Case c;
  c.ours = o.ours;
  c.again = o.again;
  c.encode = [built] { return EncodeOne(*built); };
  c.decode = [built, o](ByteSpan bytes) {
    TuaBinaryDecoder d(bytes);
    T decoded{};
    Get(d, decoded);
    EXPECT_TRUE(d.AtEnd()) << d.Remaining() << " bytes left over";
    if (o.same) {
      EXPECT_TRUE(Same(decoded, *built)) << "decoded value differs from the built one";
    }
    if (o.check) o.check(decoded);
    return EncodeOne(decoded);
  };
  return c;
}

// Messages of the UA TCP layer: compared byte for byte by the transport's golden test; here
// only their frame is checked (type word, size equal to the length).
Case TcpMessage(uint32_t type) {
  Case c;
  c.encode = nullptr;
  c.decode = [type](ByteSpan bytes) {
    TuaBinaryDecoder d(bytes);
    uint32_t t = 0, size = 0;
    d.Read(t, "");
    d.Read(size, "");
    EXPECT_EQ(t, type);
    EXPECT_EQ(size, bytes.size());
    return ByteArray(bytes.begin(), bytes.end());
  };
  return c;
}

template <class X, class... A>
std::unique_ptr<X> P(A&&... a) {
  return std::make_unique<X>(std::forward<A>(a)...);
}

template <class X>
std::vector<std::unique_ptr<X>> Ptrs(std::vector<X> items) {
  std::vector<std::unique_ptr<X>> out;
  for (auto& i : items) out.push_back(std::make_unique<X>(std::move(i)));
  return out;
}

std::unique_ptr<uaVariant> V(uaVariant v) {
  return std::make_unique<uaVariant>(std::move(v));
}
uaVariant WithDims(uaVariant v, std::vector<int32_t> dims) {
  v.SetDimensions(std::move(dims));
  return v;
}

// Grüße €😀: 2-, 3- and 4-byte UTF-8 sequences.
const std::string kUtf8 =
    "Gr\xC3\xBC\xC3\x9F"
    "e \xE2\x82\xAC\xF0\x9F\x98\x80";
const TGUID kGuid{0x72962B91, 0xFA75, 0x4AE6, {0x8D, 0x28, 0xB4, 0x04, 0xDC, 0x7D, 0xAF, 0x63}};
TDateTime Date(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  return varo::EncodeDateTime({y, mo, d, h, mi, s, ms});
}
// 2024-05-17 06:00:00, exactly representable as a day count.
const TDateTime kNormal = Date(2024, 5, 17, 6);

template <class F>
void ExpectNaN(F v, bool negative) {
  EXPECT_TRUE(std::isnan(v));
  EXPECT_EQ(std::signbit(v), negative) << "the decoder writes the canonical quiet NaN";
}

std::unique_ptr<uaExtensionObject> BinaryExt() {
  return P<uaExtensionObject>(P<uaExpandedNodeId>(uaNodeId(1234, 2)), Hex("010203"));
}

std::unique_ptr<uaDiagnosticInfo> NestedDiagnostics() {
  auto deepest = P<uaDiagnosticInfo>();
  deepest->AdditionalInfo = "deepest";
  auto inner = P<uaDiagnosticInfo>();
  inner->SymbolicId = 5;
  inner->InnerStatusCode = 0x80000000;
  inner->InnerDiagnosticInfo = std::move(deepest);
  auto outer = P<uaDiagnosticInfo>();
  outer->SymbolicId = 1;
  outer->NamespaceUri = 2;
  outer->Locale = 3;
  outer->LocalizedText = 4;
  outer->AdditionalInfo = "outer";
  outer->InnerStatusCode = 0x80340000;
  outer->InnerDiagnosticInfo = std::move(inner);
  return outer;
}

std::unique_ptr<uaDataValue> DataValue(std::unique_ptr<uaVariant> value, uaStatusCode status = 0,
                                       TDateTime source = varo::kNullDateTime, uint16_t sourcePico = 0,
                                       TDateTime server = varo::kNullDateTime, uint16_t serverPico = 0) {
  auto dv = P<uaDataValue>(std::move(value));
  dv->StatusCode = status;
  dv->SourceTimestamp = source;
  dv->SourcePicoSeconds = sourcePico;
  dv->ServerTimestamp = server;
  dv->ServerPicoSeconds = serverPico;
  return dv;
}

using VariantPtr = std::unique_ptr<uaVariant>;
using DatePartsCheck = std::function<void(const DateTimeValue&)>;
DatePartsCheck HasParts(varo::DateTimeParts parts) {
  return [parts](const DateTimeValue& v) { EXPECT_EQ(varo::DecodeDateTime(v.d), parts); };
}

std::map<std::string, Case> BuildCases() {
  std::map<std::string, Case> m;
  // Fixed-size numbers.
  m["Boolean_False"] = Val(false);
  m["Boolean_True"] = Val(true);
  m["SByte_Min"] = Val(int8_t{-128});
  m["SByte_Max"] = Val(int8_t{127});
  m["Byte_Max"] = Val(uint8_t{255});
  m["Int16_Min"] = Val(int16_t{-32768});
  m["Int16_Max"] = Val(int16_t{32767});
  m["UInt16_Max"] = Val(uint16_t{65535});
  m["Int32_Min"] = Val(std::numeric_limits<int32_t>::min());
  m["Int32_Max"] = Val(std::numeric_limits<int32_t>::max());
  m["Int32_MinusOne"] = Val(int32_t{-1});
  m["UInt32_Max"] = Val(std::numeric_limits<uint32_t>::max());
  m["Int64_Min"] = Val(std::numeric_limits<int64_t>::min());
  m["Int64_Max"] = Val(std::numeric_limits<int64_t>::max());
  m["Int64_MinusOne"] = Val(int64_t{-1});
  m["UInt64_Max"] = Val(std::numeric_limits<uint64_t>::max());
  m["UInt64_Above2p63"] = Val(uint64_t{0x8000000000000001});
  m["Float_OnePointFive"] = Val(1.5f);
  m["Float_MinusZero"] = Val(-0.0f, {.check = [](const float& v) { EXPECT_TRUE(std::signbit(v)); }});
  m["Float_Infinity"] = Val(std::numeric_limits<float>::infinity());
  m["Double_Pi"] = Val(3.141592653589793);
  m["Double_MinusZero"] = Val(-0.0, {.check = [](const double& v) { EXPECT_TRUE(std::signbit(v)); }});
  m["Double_MinusInfinity"] = Val(-std::numeric_limits<double>::infinity());
  m["Double_Max"] = Val(std::numeric_limits<double>::max());
  m["Double_MinSubnormal"] = Val(std::numeric_limits<double>::denorm_min());
  // node-opcua writes the positive quiet NaN, as we do for std::numeric_limits' quiet NaN;
  // our decoder turns every NaN into the canonical negative quiet NaN.
  m["Float_NaN"] =
      Val(std::numeric_limits<float>::quiet_NaN(),
          {.again = "0000c0ff", .same = false, .check = [](const float& v) { ExpectNaN(v, true); }});
  m["Double_NaN"] =
      Val(std::numeric_limits<double>::quiet_NaN(),
          {.again = "000000000000f8ff", .same = false, .check = [](const double& v) { ExpectNaN(v, true); }});
  m["StatusCode_BadNodeIdUnknown"] = Val(uint32_t{0x80340000});
  m["StatusCode_Good"] = Val(uint32_t{0});

  // Strings, byte strings, GUID.
  m["String_Ascii"] = Val(std::string("Hello"));
  m["String_Null"] = Val(std::string());
  // node-opcua writes an empty string as length 0; we write -1 (null) for it, and decode
  // their 0 to the empty string.
  m["String_Empty"] = Val(std::string(), {.ours = "ffffffff"});
  m["String_Utf8"] = Val(kUtf8);
  m["ByteString_Bytes"] = Val(Hex("0001feff"));
  m["ByteString_Null"] = Val(ByteArray{});
  // As for strings: their empty byte string has length 0, ours -1.
  m["ByteString_Empty"] = Val(ByteArray{}, {.ours = "ffffffff"});
  m["XmlElement_Simple"] = Val(std::string("<a b=\"1\">x</a>"));
  m["Guid_Sample"] = Val(kGuid);
  m["Guid_Null"] = Val(TGUID{});

  // DateTime.
  // 1601-01-01 is tick 0, which reads back as the null date-time.
  m["DateTime_1601"] =
      Val(DateTimeValue{Date(1601, 1, 1)},
          {.same = false, .check = [](const DateTimeValue& v) { EXPECT_EQ(v.d, varo::kNullDateTime); }});
  // node-opcua writes negative ticks for dates before 1601; we write 0. Their negative ticks
  // decode to the null date-time.
  m["DateTime_Before1601"] =
      Val(DateTimeValue{Date(1500, 1, 1)},
          {.ours = "0000000000000000", .same = false, .check = [](const DateTimeValue& v) {
             EXPECT_EQ(v.d, varo::kNullDateTime);
           }});
  m["DateTime_Epoch1899"] = Val(DateTimeValue{0.0});
  m["DateTime_Normal"] = Val(DateTimeValue{kNormal});
  // 2024-05-17 12:34:56.789: a day fraction that a double holds only approximately; it must
  // still land on the exact millisecond tick.
  m["DateTime_Millis"] = Val(DateTimeValue{Date(2024, 5, 17, 12, 34, 56, 789)},
                             {.same = false, .check = HasParts({2024, 5, 17, 12, 34, 56, 789})});
  // 9999-12-31 23:59:59.999: node-opcua writes its exact ticks; we write the "no end" marker
  // for the largest date-time and later, and read their ticks back as that date.
  m["DateTime_Max9999"] =
      Val(DateTimeValue{Date(9999, 12, 31, 23, 59, 59, 999)},
          {.ours = "ffffffffffffff7f", .same = false, .check = HasParts({9999, 12, 31, 23, 59, 59, 999})});
  m["DateTime_MaxTicks"] = Val(DateTimeValue{varo::kMaxDateTime});

  // NodeId forms.
  m["NodeId_Null"] = Val(P<uaNodeId>());
  m["NodeId_TwoByte"] = Val(P<uaNodeId>(85u, uint16_t{0}));
  m["NodeId_FourByte"] = Val(P<uaNodeId>(85u, uint16_t{2}));
  m["NodeId_FourByteMax"] = Val(P<uaNodeId>(65535u, uint16_t{255}));
  m["NodeId_Numeric"] = Val(P<uaNodeId>(70000u, uint16_t{0}));
  m["NodeId_NumericWideNs"] = Val(P<uaNodeId>(1u, uint16_t{256}));
  m["NodeId_NumericMax"] = Val(P<uaNodeId>(4294967295u, uint16_t{65535}));
  m["NodeId_String"] = Val(P<uaNodeId>(std::string("Abc"), uint16_t{1}));
  m["NodeId_StringUtf8"] = Val(P<uaNodeId>(kUtf8, uint16_t{3}));
  m["NodeId_Guid"] = Val(P<uaNodeId>(kGuid, uint16_t{4}));
  m["NodeId_Opaque"] = Val(P<uaNodeId>(Hex("0aff"), uint16_t{5}));

  // ExpandedNodeId flags.
  m["ExpandedNodeId_Uri"] = Val(P<uaExpandedNodeId>(uaNodeId(70000u, 0), "urn:a", 0));
  m["ExpandedNodeId_ServerIndex"] = Val(P<uaExpandedNodeId>(uaNodeId(1u, 256), "", 1));
  m["ExpandedNodeId_Both"] = Val(P<uaExpandedNodeId>(uaNodeId("Abc", 0), "urn:a", 2));
  // ns=2;i=85 with server index 1: node-opcua uses the full numeric form, we the four-byte
  // form (0x41); both are valid and we read theirs.
  m["ExpandedNodeId_SmallServerIndex"] =
      Val(P<uaExpandedNodeId>(uaNodeId(85u, 2), "", 1), {.ours = "4102550001000000"});
  m["ExpandedNodeId_Null"] = Val(P<uaExpandedNodeId>());

  // QualifiedName, LocalizedText.
  m["QualifiedName_Sample"] = Val(P<uaQualifiedName>("Abc", 3));
  // A null qualified name is namespace 0 with a null name, and reads back as no object.
  m["QualifiedName_Null"] = Val(std::unique_ptr<uaQualifiedName>());
  m["LocalizedText_Both"] = Val(P<uaLocalizedText>("Hallo", "de"));
  m["LocalizedText_TextOnly"] = Val(P<uaLocalizedText>("Hallo", ""));
  m["LocalizedText_LocaleOnly"] = Val(P<uaLocalizedText>("", "en-US"));
  m["LocalizedText_Empty"] = Val(std::unique_ptr<uaLocalizedText>());

  // ExtensionObject.
  m["ExtensionObject_Binary"] = Val(BinaryExt());
  // No extension object: null type id and encoding 0. The null node id reads as an object,
  // so the result is an extension object without body around ns=0;i=0.
  m["ExtensionObject_Null"] = Val(std::unique_ptr<uaExtensionObject>(), {.same = false});
  m["ExtensionObject_NoBody"] = Val(P<uaExtensionObject>(P<uaExpandedNodeId>(uaNodeId(5000u, 0))));
  m["ExtensionObject_Xml"] =
      Val(P<uaExtensionObject>(P<uaExpandedNodeId>(uaNodeId(7u, 1)), uaXmlElement("<a/>")));

  // DiagnosticInfo.
  m["DiagnosticInfo_Empty"] = Val(std::unique_ptr<uaDiagnosticInfo>());
  m["DiagnosticInfo_AdditionalInfo"] = Val([] {
    auto d = P<uaDiagnosticInfo>();
    d->AdditionalInfo = "details";
    return d;
  }());
  m["DiagnosticInfo_Nested"] = Val(NestedDiagnostics());

  // DataValue masks; picoseconds are the raw 10 ps counts of the wire.
  m["DataValue_Empty"] = Val(std::unique_ptr<uaDataValue>());
  m["DataValue_ValueOnly"] = Val(DataValue(V(uaVariant(1.5))));
  m["DataValue_StatusOnly"] = Val(DataValue(nullptr, 0x80340000));
  m["DataValue_SourceTimestampOnly"] = Val(DataValue(nullptr, 0, kNormal));
  m["DataValue_SourcePicosecondsOnly"] = Val(DataValue(nullptr, 0, varo::kNullDateTime, 5));
  m["DataValue_ServerTimestampOnly"] = Val(DataValue(nullptr, 0, varo::kNullDateTime, 0, kNormal));
  m["DataValue_ServerPicosecondsOnly"] =
      Val(DataValue(nullptr, 0, varo::kNullDateTime, 0, varo::kNullDateTime, 7));
  m["DataValue_ValueAndSource"] = Val(DataValue(V(uaVariant(1.5)), 0, kNormal));
  m["DataValue_All"] = Val(DataValue(V(uaVariant(int32_t{-7})), 0x40000000, kNormal, 11, kNormal, 22));

  // Variant scalars.
  m["Variant_Null"] =
      Val(V(uaVariant()), {.same = false, .check = [](const VariantPtr& v) { EXPECT_TRUE(v == nullptr); }});
  m["Variant_Boolean"] = Val(V(uaVariant(true)));
  m["Variant_SByte"] = Val(V(uaVariant(int8_t{-5})));
  m["Variant_Byte"] = Val(V(uaVariant(uint8_t{200})));
  m["Variant_Int16"] = Val(V(uaVariant(int16_t{-300})));
  m["Variant_UInt16"] = Val(V(uaVariant(uint16_t{60000})));
  m["Variant_Int32"] = Val(V(uaVariant(int32_t{-123456})));
  m["Variant_UInt32"] = Val(V(uaVariant(uint32_t{3000000000})));
  m["Variant_Int64"] = Val(V(uaVariant(int64_t{-8589934592})));
  m["Variant_UInt64"] = Val(V(uaVariant(uint64_t{0x8000000000000000})));
  m["Variant_Float"] = Val(V(uaVariant(-2.25f)));
  m["Variant_Double"] = Val(V(uaVariant(1e300)));
  m["Variant_String"] = Val(V(uaVariant(kUtf8)));
  m["Variant_DateTime"] = Val(V(uaVariant::FromDateTime(kNormal)));
  m["Variant_Guid"] = Val(V(uaVariant(kGuid)));
  m["Variant_ByteString"] = Val(V(uaVariant(Hex("deadbeef"))));
  m["Variant_XmlElement"] = Val(V(uaVariant::FromXmlElement("<a/>")));
  m["Variant_NodeId"] = Val(V(uaVariant(uaNodeId("Demo.Static", 2))));
  m["Variant_ExpandedNodeId"] = Val(V(uaVariant(uaExpandedNodeId(uaNodeId("Abc", 0), "urn:a", 2))));
  m["Variant_StatusCode"] = Val(V(uaVariant::FromStatusCode(0x80340000)));
  m["Variant_QualifiedName"] = Val(V(uaVariant(uaQualifiedName("Abc", 3))));
  m["Variant_LocalizedText"] = Val(V(uaVariant(uaLocalizedText("Hallo", "de"))));
  m["Variant_ExtensionObject"] = Val(V(uaVariant(BinaryExt())));
  m["Variant_DataValue"] = Val(V(uaVariant(DataValue(V(uaVariant(int32_t{7}))))));

  // Variant arrays and matrices.
  m["Variant_Int32_Array"] = Val(V(uaVariant(std::vector<int32_t>{1, 2})));
  // node-opcua writes an empty array with count 0; we write -1 and read their 0 as an empty
  // Int32 array.
  m["Variant_Int32_EmptyArray"] =
      Val(V(uaVariant(std::vector<int32_t>{})), {.ours = "86ffffffff", .check = [](const VariantPtr& v) {
                                                   ASSERT_TRUE(v != nullptr);
                                                   EXPECT_EQ(v->BuildInType(), bit_Int32);
                                                   EXPECT_TRUE(v->IsArray());
                                                   EXPECT_EQ(v->ArrayLength(), 0u);
                                                 }});
  m["Variant_Int32_Dims1"] = Val(V(WithDims(uaVariant(std::vector<int32_t>{1, 2}), {2})));
  m["Variant_Int32_Matrix"] = Val(V(WithDims(uaVariant(std::vector<int32_t>{1, 2, 3, 4, 5, 6}), {2, 3})));
  m["Variant_Double_Matrix"] =
      Val(V(WithDims(uaVariant(std::vector<double>{0.5, -0.5, 1e-3, 1e-300, 0, -0.0, 2, 3}), {2, 2, 2})));
  m["Variant_String_Matrix"] =
      Val(V(WithDims(uaVariant(std::vector<std::string>{"a", "b", "c", "d"}), {2, 2})));
  m["Variant_Boolean_Array"] = Val(V(uaVariant(std::vector<bool>{true, false, true})));
  m["Variant_Byte_Array"] = Val(V(uaVariant::FromByteValues(Hex("007fff"))));
  m["Variant_UInt64_Array"] =
      Val(V(uaVariant(std::vector<uint64_t>{1, std::numeric_limits<uint64_t>::max()})));
  // Their null element (length -1) is our empty string, which we write as -1 too.
  m["Variant_String_Array"] = Val(V(uaVariant(std::vector<std::string>{"a", "", "\xC3\xBC"})));
  m["Variant_ByteString_Array"] = Val(V(uaVariant(std::vector<ByteArray>{Hex("01"), Hex("0203")})));
  // The 1601 element reads back as the null date-time, which writes tick 0 again.
  m["Variant_DateTime_Array"] = Val(V(uaVariant::FromDateTimeArray({Date(1601, 1, 1), kNormal})),
                                    {.same = false, .check = [](const VariantPtr& v) {
                                       ASSERT_TRUE(v != nullptr);
                                       const auto& a = v->Get<std::vector<double>>();
                                       ASSERT_EQ(a.size(), 2u);
                                       EXPECT_EQ(a[0], varo::kNullDateTime);
                                       EXPECT_EQ(a[1], kNormal);
                                     }});
  m["Variant_Guid_Array"] = Val(V(uaVariant(std::vector<TGUID>{kGuid, TGUID{}})));
  m["Variant_NodeId_Array"] = Val(V(uaVariant(Ptrs<uaNodeId>({uaNodeId(85u, 0), uaNodeId("Abc", 1)}))));
  m["Variant_StatusCode_Array"] = Val(V(uaVariant::FromStatusCodeArray({0, 0x80340000})));
  m["Variant_QualifiedName_Array"] =
      Val(V(uaVariant(Ptrs<uaQualifiedName>({uaQualifiedName("A", 1), uaQualifiedName("B", 0)}))));
  m["Variant_LocalizedText_Array"] =
      Val(V(uaVariant(Ptrs<uaLocalizedText>({uaLocalizedText("A", ""), uaLocalizedText("B", "de")}))));
  m["Variant_Variant_Array"] = Val(V(uaVariant(Ptrs<uaVariant>({uaVariant(int32_t{1}), uaVariant("x")}))));
  m["Variant_DataValue_Array"] = Val(V(uaVariant([] {
    std::vector<std::unique_ptr<uaDataValue>> a;
    a.push_back(DataValue(V(uaVariant(1.5))));
    a.push_back(DataValue(nullptr, 0x80340000));
    return a;
  }())));

  // UA TCP messages (byte-compared in tests/ua/transport).
  m["Hello_Short"] = TcpMessage(0x464C4548);
  m["Hello_Long"] = TcpMessage(0x464C4548);
  m["Acknowledge"] = TcpMessage(0x464B4341);
  m["Error"] = TcpMessage(0x46525245);
  return m;
}

class Golden : public ::testing::Test {
 protected:
  static const std::vector<Vector>& Vectors() {
    static const std::vector<Vector> vectors = LoadVectors();
    return vectors;
  }
  static const std::map<std::string, Case>& Cases() {
    static const std::map<std::string, Case> cases = BuildCases();
    return cases;
  }
  const std::vector<Vector>* vectors_ = &Vectors();
  const std::map<std::string, Case>* cases_ = &Cases();
};

TEST_F(Golden, FixtureIsPresentAndEveryCaseIsKnown) {
  ASSERT_FALSE(vectors_->empty());
  std::map<std::string, int> seen;
  for (const Vector& v : *vectors_) {
    EXPECT_EQ(++seen[v.name], 1) << "duplicate case " << v.name;
    EXPECT_TRUE(cases_->count(v.name)) << "fixture case without a C++ counterpart: " << v.name;
  }
  for (const auto& [name, c] : *cases_)
    EXPECT_TRUE(seen.count(name)) << "case missing from the fixture: " << name;
}

TEST_F(Golden, EncodeMatchesTheirBytes) {
  for (const Vector& v : *vectors_) {
    auto it = cases_->find(v.name);
    if (it == cases_->end() || !it->second.encode) continue;
    SCOPED_TRACE(v.name);
    const ByteArray expected = it->second.ours ? Hex(it->second.ours) : v.bytes;
    EXPECT_EQ(ToHex(it->second.encode()), ToHex(expected));
  }
}

TEST_F(Golden, DecodeTheirBytesAndEncodeAgain) {
  for (const Vector& v : *vectors_) {
    auto it = cases_->find(v.name);
    if (it == cases_->end()) continue;
    SCOPED_TRACE(v.name);
    const Case& c = it->second;
    const ByteArray expected = c.again ? Hex(c.again) : c.ours ? Hex(c.ours) : v.bytes;
    try {
      EXPECT_EQ(ToHex(c.decode(v.bytes)), ToHex(expected));
    } catch (const std::exception& e) {
      ADD_FAILURE() << "decoding raised: " << e.what();
    }
  }
}

// Every proper prefix of a golden vector is truncated data: the decoder must raise, never
// read past the end or return silently with bytes missing.
TEST_F(Golden, TruncatedVectorsRaise) {
  for (const Vector& v : *vectors_) {
    auto it = cases_->find(v.name);
    if (it == cases_->end() || !it->second.encode) continue;
    SCOPED_TRACE(v.name);
    for (size_t n = 0; n < v.bytes.size(); ++n) {
      EXPECT_THROW(it->second.decode(ByteSpan(v.bytes.data(), n)), EuaDecodeError)
          << "prefix of " << n << " bytes";
    }
  }
}

}  // namespace
}  // namespace varo::ua
