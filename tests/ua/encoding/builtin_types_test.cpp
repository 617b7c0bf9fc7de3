// SPDX-License-Identifier: MPL-2.0
// Text forms of the built-in types and the conversions between uaVariant and Variant.
#include "ua/encoding/builtin_types.h"

#include <gtest/gtest.h>

#include "platform/datetime.h"

namespace varo::ua {
namespace {

TEST(NodeIdText, ParsesAndPrints) {
  struct Case {
    const char* text;
    const char* printed;
  };
  const Case cases[] = {
      {"ns=0;i=85", "ns=0;i=85"},
      {"i=85", "ns=0;i=85"},
      {"  ns=2;s=Demo.Static ", "ns=2;s=Demo.Static"},
      {"Demo.Static", "ns=0;s=Demo.Static"},
      {"ns=3; Demo", "ns=3;s=Demo"},
      {"i=4294967295", "ns=0;i=4294967295"},
      {"ns=65535;i=1", "ns=65535;i=1"},
      {"b=0aFF", "ns=0;b=0AFF"},
      {"b=0aF", "ns=0;b=0A"},
      {"ns=1;g={01020304-0506-0708-090a-0B0C0D0E0F10}", "ns=1;g={01020304-0506-0708-090A-0B0C0D0E0F10}"},
      {"s=a;b", "ns=0;s=a;b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(NodeIdFromString(c.text).ToString(), c.printed);
  }
  EXPECT_EQ(NodeIdFromString("ns=0;i=85"), NodeIdFromString("i=85"));
  EXPECT_EQ(NodeIdFromString("ns=2;s=Demo.Static").IdAsString(), "Demo.Static");
  EXPECT_EQ(NodeIdFromString("b=0aFF").IdAsOpaque(), (ByteArray{0x0A, 0xFF}));
}

TEST(NodeIdText, RejectsBadText) {
  struct Case {
    const char* text;
    const char* message;  // empty: any conversion error
  };
  const Case cases[] = {
      {"ns=1", "delimiter (;) not found."},
      {"i=-1", "Invalid Integer"},
      {"i=4294967296", "Invalid Integer"},
      {"i=12x", "Invalid Integer"},
      {"ns=65536;i=1", ""},
      {"ns=-1;i=1", ""},
      {"ns=x;i=1", ""},
      {"b=0G", ""},
      {"g={nonsense}", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      NodeIdFromString(c.text);
      ADD_FAILURE() << "no error";
    } catch (const EConvertError& e) {
      if (*c.message) {
        EXPECT_STREQ(e.what(), c.message);
      }
    }
  }
}

TEST(NodeIdText, IdentifierAccessAndNullness) {
  EXPECT_THROW(uaNodeId("x", 0).IdAsNumber(), EConvertError);
  EXPECT_TRUE(uaNodeId().IsNullNodeId());
  EXPECT_TRUE(uaNodeId::IsNull(nullptr));
  EXPECT_TRUE(uaNodeId(ByteArray{}, 0).IsNullNodeId());
  EXPECT_FALSE(uaNodeId(0, 1).IsNullNodeId());
  EXPECT_FALSE(uaNodeId("a", 0).IsNullNodeId());
  EXPECT_EQ(uaNodeId("A\xFF", 0).ToString(), "ns=0;s=A\xEF\xBF\xBD");
}

TEST(ExpandedNodeIdText, PrintsAndParsesBack) {
  uaExpandedNodeId e(uaNodeId(5, 0), "urn:a", 2);
  EXPECT_EQ(e.ToString(), "ns=0;i=5;nsu=urn:a;svr=2");
  uaExpandedNodeId back = ExpandedNodeIdFromString(e.ToString());
  EXPECT_EQ(back, e);
  EXPECT_EQ(ExpandedNodeIdFromString("svr=x;i=1").ServerIndex, 0u);
  EXPECT_EQ(ExpandedNodeIdFromString("ns=1;s=a").ToString(), "ns=1;s=a");
  EXPECT_EQ(uaExpandedNodeId("ns=4;i=9").NamespaceIndex(), 4);
}

TEST(OtherTextForms, NamesTextsExtensionObjectsAndVariants) {
  EXPECT_EQ(uaLocalizedText("Hallo", "").ToString(), "Hallo");
  EXPECT_EQ(uaLocalizedText("Hallo", "de").ToString(), "Hallo:l=de");
  EXPECT_EQ(uaQualifiedName("Name", 3).ToString(), "Name");
  EXPECT_EQ(uaDiagnosticInfo().ToString(), "uaDiagnosticInfo");
  EXPECT_EQ(uaEnum(-7).ToString(), "-7");

  uaExtensionObject none(std::make_unique<uaExpandedNodeId>(uaNodeId(1, 0)));
  EXPECT_EQ(none.ToString(), "");
  uaExtensionObject bin(std::make_unique<uaExpandedNodeId>(uaNodeId(1, 0), "urn:x", 3), ByteArray{1});
  EXPECT_EQ(bin.ToString(), "ns=0;i=1,Binary,urn:x,3");

  EXPECT_EQ(uaVariant(std::vector<int32_t>{1, 2, 3}).ToString(), "[1 | 2 | 3]");
  EXPECT_EQ(uaVariant(std::vector<int32_t>{}).ToString(), "[]");
  EXPECT_EQ(uaVariant(uaLocalizedText("T", "en")).ToString(), "T");
  EXPECT_EQ(uaVariant(true).ToString(), "True");
  EXPECT_EQ(uaVariant().ToString(), "");
  EXPECT_EQ(uaDataValue().ToString(), "");
}

TEST(VariantCopies, AreDeepAndExtensionObjectsShareTheirStructure) {
  uaVariant a(uaNodeId("x", 1));
  uaVariant b = a;
  b.GetIf<std::unique_ptr<uaNodeId>>()->get()->SetNamespaceIndex(2);
  EXPECT_EQ(a.ToString(), "ns=1;s=x");
  EXPECT_EQ(b.ToString(), "ns=2;s=x");

  uaDiagnosticInfo d;
  d.InnerDiagnosticInfo = std::make_unique<uaDiagnosticInfo>();
  d.InnerDiagnosticInfo->SymbolicId = 5;
  uaDiagnosticInfo c = d;
  c.InnerDiagnosticInfo->SymbolicId = 6;
  EXPECT_EQ(d.InnerDiagnosticInfo->SymbolicId, 5);

  // A very long inner chain is copied and destroyed without deep recursion.
  uaDiagnosticInfo longChain;
  uaDiagnosticInfo* tail = &longChain;
  for (int i = 0; i < 200000; ++i) {
    tail->InnerDiagnosticInfo = std::make_unique<uaDiagnosticInfo>();
    tail = tail->InnerDiagnosticInfo.get();
  }
  uaDiagnosticInfo copy = longChain;
  EXPECT_TRUE(copy == longChain);
}

TEST(VariantSetters, DimensionsSetTheRank) {
  uaVariant v(std::vector<int32_t>{1, 2});
  v.SetDimensions({2});
  EXPECT_EQ(v.ValueRank(), 2);
  EXPECT_TRUE(v.IsArray2d());
  v.SetDimensions({});
  EXPECT_EQ(v.ValueRank(), 1);
  EXPECT_THROW(uaVariant::Make(bit_Int32, -1, std::string("x")), EConvertError);
  EXPECT_EQ(uaVariant(std::unique_ptr<uaNodeId>()).BuildInType(), bit_null);
}

// ---------------------------------------------------------------------------------------
// uaVariant -> Variant

TEST(ToVariant, ScalarsAndArrays) {
  struct Case {
    const char* name;
    uaVariant value;
    Variant expected;
  };
  std::vector<Case> cases;
  cases.push_back({"Boolean", uaVariant(true), Variant(true)});
  cases.push_back({"SByte", uaVariant(int8_t{-3}), Variant(int8_t{-3})});
  cases.push_back({"UInt16", uaVariant(uint16_t{7}), Variant(uint16_t{7})});
  cases.push_back({"Int64", uaVariant(int64_t{-9}), Variant(int64_t{-9})});
  cases.push_back({"Float", uaVariant(0.5f), Variant(0.5f)});
  cases.push_back({"String", uaVariant("s"), Variant("s")});
  cases.push_back({"XmlElement", uaVariant::FromXmlElement("<a/>"), Variant("<a/>")});
  cases.push_back({"DateTime", uaVariant::FromDateTime(45000.5), Variant::FromDate(45000.5)});
  cases.push_back({"Guid", uaVariant(TGUID{}), Variant("{00000000-0000-0000-0000-000000000000}")});
  cases.push_back({"ByteString", uaVariant(ByteArray{1, 2}), Variant::FromBytes(ByteArray{1, 2})});
  cases.push_back({"NodeId", uaVariant(uaNodeId(85, 0)), Variant("ns=0;i=85")});
  cases.push_back({"StatusCode", uaVariant::FromStatusCode(0x80000000), Variant(uint32_t{0x80000000})});
  cases.push_back({"QualifiedName", uaVariant(uaQualifiedName("q", 2)), Variant("q")});
  cases.push_back({"LocalizedText", uaVariant(uaLocalizedText("t", "de")), Variant("t")});
  cases.push_back({"ExtensionObject none", uaVariant(uaExtensionObject()), Variant("none body")});
  cases.push_back({"ExtensionObject binary",
                   uaVariant(uaExtensionObject(std::make_unique<uaExpandedNodeId>(), ByteArray{5})),
                   Variant::FromBytes(ByteArray{5})});
  cases.push_back({"DataValue without value", uaVariant(std::make_unique<uaDataValue>()), Variant::Null()});
  cases.push_back({"DataValue",
                   uaVariant(std::make_unique<uaDataValue>(std::make_unique<uaVariant>(int32_t{4}))),
                   Variant(4)});
  cases.push_back({"Variant", uaVariant::CreateWrapper(std::make_unique<uaVariant>(2.5)), Variant(2.5)});
  cases.push_back({"null", uaVariant(), Variant::Null()});
  cases.push_back({"Double array", uaVariant(std::vector<double>{1, 2}),
                   Variant::Array(VT_R8, {Variant(1.0), Variant(2.0)})});
  cases.push_back({"DateTime array", uaVariant::FromDateTimeArray({1.0}),
                   Variant::Array(VT_DATE, {Variant::FromDate(1.0)})});
  cases.push_back({"StatusCode array", uaVariant::FromStatusCodeArray({1}),
                   Variant::Array(VT_UI4, {Variant(uint32_t{1})})});
  {
    std::vector<std::unique_ptr<uaNodeId>> ids;
    ids.push_back(std::make_unique<uaNodeId>(1, 0));
    cases.push_back(
        {"NodeId array", uaVariant(std::move(ids)), Variant::Array(VT_BSTR, {Variant("ns=0;i=1")})});
  }
  cases.push_back({"ByteString array", uaVariant(std::vector<ByteArray>{{7}}),
                   Variant::Array(VT_VARIANT, {Variant::FromBytes(ByteArray{7})})});
  {
    std::vector<std::unique_ptr<uaVariant>> vs;
    vs.push_back(std::make_unique<uaVariant>(int32_t{1}));
    vs.push_back(std::make_unique<uaVariant>("a"));
    cases.push_back(
        {"Variant array", uaVariant(std::move(vs)), Variant::Array(VT_VARIANT, {Variant(1), Variant("a")})});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(c.value.ToVariant() == c.expected) << VarTypeName(c.value.ToVariant().type());
  }
  EXPECT_TRUE(ToVariant(nullptr).isNull());
}

// ---------------------------------------------------------------------------------------
// Variant -> uaVariant

TEST(FromVariant, DataTypesOfVariants) {
  struct Case {
    Variant value;
    uaBuildInType type;
  };
  const Case cases[] = {
      {Variant(), bit_null},
      {Variant::Null(), bit_null},
      {Variant(int16_t{1}), bit_Int16},
      {Variant(1), bit_Int32},
      {Variant(1.0f), bit_Float},
      {Variant(1.0), bit_Double},
      {Variant::FromCurrency(1), bit_Double},
      {Variant::FromDate(1), bit_DateTime},
      {Variant("x"), bit_String},
      {Variant::FromError(1), bit_String},
      {Variant(true), bit_Boolean},
      {Variant(int8_t{1}), bit_SByte},
      {Variant(uint8_t{1}), bit_Byte},
      {Variant(uint16_t{1}), bit_UInt16},
      {Variant(1u), bit_UInt32},
      {Variant(int64_t{1}), bit_Int64},
      {Variant(uint64_t{1}), bit_UInt64},
      {Variant::Array(VT_I4, {Variant(1)}), bit_Int32},
      {Variant::Array(VT_VARIANT, {}), bit_Variant},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(VarTypeName(c.value.type()));
    EXPECT_EQ(uaVariant::VariantToUADatatype(c.value), c.type);
  }
}

TEST(FromVariant, ScalarsArraysAndNulls) {
  EXPECT_EQ(uaVariant::Create(Variant::Null(), bit_Int32), nullptr);
  EXPECT_EQ(uaVariant::VariantToUaVariant(Variant()), nullptr);

  auto bs = uaVariant::Create(Variant::FromBytes(ByteArray{1, 2}), bit_ByteString);
  ASSERT_NE(bs, nullptr);
  EXPECT_FALSE(bs->IsArray());
  EXPECT_EQ(bs->Get<ByteArray>(), (ByteArray{1, 2}));

  auto arr = uaVariant::VariantToUaVariant(Variant::Array(VT_I4, {Variant(1), Variant(2)}));
  ASSERT_NE(arr, nullptr);
  EXPECT_EQ(arr->ToString(), "[1 | 2]");
  EXPECT_EQ(arr->BuildInType(), bit_Int32);

  auto nid = uaVariant::createScalar(Variant("ns=2;i=5"), bit_NodeId);
  EXPECT_EQ(nid->ToString(), "ns=2;i=5");
  auto qn = uaVariant::createScalar(Variant("q"), bit_QualifiedName);
  EXPECT_EQ(qn->Get<std::unique_ptr<uaQualifiedName>>()->NamespaceIndex, 0);
  auto wrapped = uaVariant::createScalar(Variant(3), bit_Variant);
  EXPECT_EQ(wrapped->BuildInType(), bit_Variant);
  EXPECT_EQ(wrapped->ToString(), "3");
  auto d = uaVariant::createScalar(Variant(2.5), bit_Int32);  // round half to even
  EXPECT_EQ(d->Get<int32_t>(), 2);

  for (uaBuildInType t : {bit_ExtensionObject, bit_DataValue, bit_DiagnosticInfo}) {
    try {
      uaVariant::createScalar(Variant(1), t);
      ADD_FAILURE() << "no error for type " << int(t);
    } catch (const EVariantError& e) {
      EXPECT_STREQ(e.what(), "data type not supported as variant");
    }
  }
}

TEST(FromVariant, NarrowingOutOfRangeRaises) {
  struct Case {
    Variant value;
    uaBuildInType type;
  };
  const Case cases[] = {
      {Variant(70000), bit_UInt16},
      {Variant(-1), bit_UInt32},
      {Variant(-1), bit_StatusCode},
      {Variant(128), bit_SByte},
      {Variant(256), bit_Byte},
      {Variant(40000), bit_Int16},
      {Variant(int64_t{1} << 32), bit_Int32},
      {Variant(int64_t{1} << 32), bit_UInt32},
      {Variant(1e300), bit_Float},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.toString() + " into type " + std::to_string(int(c.type)));
    EXPECT_THROW(uaVariant::createScalar(c.value, c.type), EConvertError);
  }
  EXPECT_EQ(uaVariant::createScalar(Variant(65535), bit_UInt16)->Get<uint16_t>(), 65535);
  EXPECT_EQ(uaVariant::createScalar(Variant(uint32_t{4294967295u}), bit_UInt32)->Get<uint32_t>(),
            4294967295u);
  EXPECT_THROW(uaVariant::createArray(Variant::Array(VT_I4, {Variant(1), Variant(-5)}), bit_Byte),
               EConvertError);
}

TEST(FromVariant, DefaultsAndArrayHelpers) {
  EXPECT_EQ(uaVariant::createNullScalar(bit_null), nullptr);
  EXPECT_EQ(uaVariant::createNullScalar(bit_Double)->Get<double>(), 0.0);
  EXPECT_EQ(uaVariant::createNullScalar(bit_NodeId)->ToString(), "ns=0;s=0");
  EXPECT_EQ(uaVariant::createNullScalar(bit_Guid)->Get<TGUID>(), TGUID{});
  EXPECT_EQ(uaVariant::createNullScalar(bit_ExtensionObject)->ToString(), "none body");
  EXPECT_THROW(uaVariant::createNullScalar(bit_Variant), EVariantError);

  auto zeros = uaVariant::createNullArray(3, bit_Int16);
  EXPECT_EQ(zeros->ToString(), "[0 | 0 | 0]");
  EXPECT_THROW(uaVariant::createNullArray(1, uaTypeInfo{bit_Int16, -1}), EVariantError);
  EXPECT_NE(uaVariant::createNullArray(1, uaTypeInfo{bit_Int16, 1}), nullptr);

  auto fromText = uaVariant::createArrayFromString({"1.5", "2"}, bit_Double);
  EXPECT_EQ(fromText->ToString(), "[1.5 | 2]");
  EXPECT_THROW(uaVariant::createArrayFromString({"x"}, bit_NodeId), EVariantError);

  uaVariant::uaSetArray(*zeros, 1, Variant(9));
  EXPECT_EQ(zeros->ToString(), "[0 | 9 | 0]");
  EXPECT_THROW(uaVariant::uaSetArray(*zeros, 3, Variant(1)), EVariantError);
  EXPECT_THROW(uaVariant::uaSetArray(*zeros, 0, Variant(70000)), EConvertError);

  std::vector<std::unique_ptr<uaVariant>> vs;
  vs.push_back(std::make_unique<uaVariant>(int32_t{1}));
  vs.push_back(nullptr);
  Variant loop = uaVariant::uaVariantArrayToVariantArrayLoop(vs);
  ASSERT_EQ(loop.length(), 2u);
  EXPECT_TRUE(loop.elements()[1].isNull());
}

}  // namespace
}  // namespace varo::ua
