#!/usr/bin/env node
// SPDX-License-Identifier: MPL-2.0
//
// Writes builtin_vectors.txt: the UA binary form of built-in values and UA TCP messages as an
// independent OPC UA stack (node-opcua) encodes them. The C++ golden test builds the same
// values under the same case names, encodes and decodes them and compares with these bytes,
// so case names must stay stable.
//
//   node tests/golden/generate.js           rewrite the fixture
//   node tests/golden/generate.js --check   exit 1 (and print the difference) when the
//                                           committed fixture differs from a fresh run
"use strict";

const fs = require("fs");
const path = require("path");
const { BinaryStream } = require("node-opcua-binary-stream");
const bt = require("node-opcua-basic-types");
const dm = require("node-opcua-data-model");
const { Variant, DataType, VariantArrayType, encodeVariant } = require("node-opcua-variant");
const { DataValue, encodeDataValue } = require("node-opcua-data-value");
const { NodeId, NodeIdType, ExpandedNodeId } = require("node-opcua-nodeid");
const { OpaqueStructure, encodeExtensionObject } = require("node-opcua-extension-object");
const { StatusCode } = require("node-opcua-status-code");
const transport = require("node-opcua-transport");

const FIXTURE = path.join(__dirname, "builtin_vectors.txt");

const cases = [];
function add(name, encode) {
  if (!/^[A-Za-z0-9_]+$/.test(name)) throw new Error(`bad case name ${name}`);
  if (cases.some((c) => c.name === name)) throw new Error(`duplicate case ${name}`);
  const stream = new BinaryStream(1 << 16);
  encode(stream);
  cases.push({ name, hex: Buffer.from(stream.buffer.subarray(0, stream.length)).toString("hex") });
}
// A complete message as node-opcua frames it (raw bytes, no length prefix).
function addBuffer(name, buffer) {
  add(name, (s) => {
    for (const byte of buffer) s.writeUInt8(byte);
  });
}

const status = (code) => StatusCode.makeStatusCode(code);
const scalar = (dataType, value) => new Variant({ dataType, arrayType: VariantArrayType.Scalar, value });
const array = (dataType, value) => new Variant({ dataType, arrayType: VariantArrayType.Array, value });
const matrix = (dataType, value, dimensions) =>
  new Variant({ dataType, arrayType: VariantArrayType.Matrix, value, dimensions });
const numeric = (id, ns) => new NodeId(NodeIdType.NUMERIC, id, ns);
const utc = (y, mo, d, h = 0, mi = 0, s = 0, ms = 0) => new Date(Date.UTC(y, mo - 1, d, h, mi, s, ms));

const GUID = "72962B91-FA75-4AE6-8D28-B404DC7DAF63";
const UTF8 = "Grüße €😀"; // 2-, 3- and 4-byte UTF-8 sequences
// 2024-05-17 06:00:00 UTC: a whole quarter day, exactly representable as a day count.
const NORMAL_DATE = utc(2024, 5, 17, 6);

// ---- Fixed-size numbers (raw, not in a variant) ----
add("Boolean_False", (s) => bt.encodeBoolean(false, s));
add("Boolean_True", (s) => bt.encodeBoolean(true, s));
add("SByte_Min", (s) => bt.encodeSByte(-128, s));
add("SByte_Max", (s) => bt.encodeSByte(127, s));
add("Byte_Max", (s) => bt.encodeByte(255, s));
add("Int16_Min", (s) => bt.encodeInt16(-32768, s));
add("Int16_Max", (s) => bt.encodeInt16(32767, s));
add("UInt16_Max", (s) => bt.encodeUInt16(65535, s));
add("Int32_Min", (s) => bt.encodeInt32(-2147483648, s));
add("Int32_Max", (s) => bt.encodeInt32(2147483647, s));
add("Int32_MinusOne", (s) => bt.encodeInt32(-1, s));
add("UInt32_Max", (s) => bt.encodeUInt32(4294967295, s));
// 64-bit values are given to node-opcua as [high 32 bits, low 32 bits].
add("Int64_Min", (s) => bt.encodeInt64([0x80000000, 0], s)); // -2^63
add("Int64_Max", (s) => bt.encodeInt64([0x7fffffff, 0xffffffff], s)); // 2^63-1
add("Int64_MinusOne", (s) => bt.encodeInt64([0xffffffff, 0xffffffff], s));
add("UInt64_Max", (s) => bt.encodeUInt64([0xffffffff, 0xffffffff], s)); // 2^64-1
add("UInt64_Above2p63", (s) => bt.encodeUInt64([0x80000000, 0x00000001], s)); // 2^63+1
add("Float_OnePointFive", (s) => bt.encodeFloat(1.5, s));
add("Float_MinusZero", (s) => bt.encodeFloat(-0.0, s));
add("Float_NaN", (s) => bt.encodeFloat(NaN, s)); // node-opcua writes the positive quiet NaN
add("Float_Infinity", (s) => bt.encodeFloat(Infinity, s));
add("Double_Pi", (s) => bt.encodeDouble(Math.PI, s));
add("Double_MinusZero", (s) => bt.encodeDouble(-0.0, s));
add("Double_NaN", (s) => bt.encodeDouble(NaN, s)); // positive quiet NaN 0x7FF8000000000000
add("Double_MinusInfinity", (s) => bt.encodeDouble(-Infinity, s));
add("Double_Max", (s) => bt.encodeDouble(Number.MAX_VALUE, s));
add("Double_MinSubnormal", (s) => bt.encodeDouble(Number.MIN_VALUE, s)); // 4.9e-324
add("StatusCode_BadNodeIdUnknown", (s) => bt.encodeStatusCode(status(0x80340000), s));
add("StatusCode_Good", (s) => bt.encodeStatusCode(status(0), s));

// ---- Strings, byte strings, GUID ----
add("String_Ascii", (s) => bt.encodeString("Hello", s));
add("String_Null", (s) => bt.encodeString(null, s)); // length -1
add("String_Empty", (s) => bt.encodeString("", s)); // node-opcua writes length 0
add("String_Utf8", (s) => bt.encodeString(UTF8, s));
add("ByteString_Bytes", (s) => bt.encodeByteString(Buffer.from([0x00, 0x01, 0xfe, 0xff]), s));
add("ByteString_Null", (s) => bt.encodeByteString(null, s)); // length -1
add("ByteString_Empty", (s) => bt.encodeByteString(Buffer.alloc(0), s)); // node-opcua: length 0
add("XmlElement_Simple", (s) => bt.encodeString("<a b=\"1\">x</a>", s));
add("Guid_Sample", (s) => bt.encodeGuid(GUID, s)); // {72962B91-FA75-4AE6-8D28-B404DC7DAF63}
add("Guid_Null", (s) => bt.encodeGuid("00000000-0000-0000-0000-000000000000", s));

// ---- DateTime ----
add("DateTime_1601", (s) => bt.encodeDateTime(utc(1601, 1, 1), s)); // ticks 0
add("DateTime_Before1601", (s) => bt.encodeDateTime(utc(1500, 1, 1), s)); // node-opcua: negative ticks
add("DateTime_Epoch1899", (s) => bt.encodeDateTime(utc(1899, 12, 30), s)); // day count 0
add("DateTime_Normal", (s) => bt.encodeDateTime(NORMAL_DATE, s)); // 2024-05-17 06:00:00
add("DateTime_Millis", (s) => bt.encodeDateTime(utc(2024, 5, 17, 12, 34, 56, 789), s));
add("DateTime_Max9999", (s) => bt.encodeDateTime(utc(9999, 12, 31, 23, 59, 59, 999), s));
add("DateTime_MaxTicks", (s) => bt.encodeInt64([0x7fffffff, 0xffffffff], s)); // the "no end" marker

// ---- NodeId, every form ----
add("NodeId_Null", (s) => bt.encodeNodeId(numeric(0, 0), s)); // ns=0;i=0
add("NodeId_TwoByte", (s) => bt.encodeNodeId(numeric(85, 0), s)); // ns=0;i=85
add("NodeId_FourByte", (s) => bt.encodeNodeId(numeric(85, 2), s)); // ns=2;i=85
add("NodeId_FourByteMax", (s) => bt.encodeNodeId(numeric(65535, 255), s)); // ns=255;i=65535
add("NodeId_Numeric", (s) => bt.encodeNodeId(numeric(70000, 0), s)); // ns=0;i=70000
add("NodeId_NumericWideNs", (s) => bt.encodeNodeId(numeric(1, 256), s)); // ns=256;i=1
add("NodeId_NumericMax", (s) => bt.encodeNodeId(numeric(4294967295, 65535), s)); // ns=65535;i=4294967295
add("NodeId_String", (s) => bt.encodeNodeId(new NodeId(NodeIdType.STRING, "Abc", 1), s)); // ns=1;s=Abc
add("NodeId_StringUtf8", (s) => bt.encodeNodeId(new NodeId(NodeIdType.STRING, UTF8, 3), s)); // ns=3
add("NodeId_Guid", (s) => bt.encodeNodeId(new NodeId(NodeIdType.GUID, GUID, 4), s)); // ns=4;g=GUID
add("NodeId_Opaque", (s) => bt.encodeNodeId(new NodeId(NodeIdType.BYTESTRING, Buffer.from([0x0a, 0xff]), 5), s)); // ns=5;b=0AFF

// ---- ExpandedNodeId flags ----
// ns=0;i=70000 with URI "urn:a" (flag 0x80).
add("ExpandedNodeId_Uri", (s) => bt.encodeExpandedNodeId(new ExpandedNodeId(NodeIdType.NUMERIC, 70000, 0, "urn:a", 0), s));
// ns=256;i=1 with server index 1 (flag 0x40).
add("ExpandedNodeId_ServerIndex", (s) => bt.encodeExpandedNodeId(new ExpandedNodeId(NodeIdType.NUMERIC, 1, 256, null, 1), s));
// ns=0;s=Abc with URI "urn:a" and server index 2 (flags 0xC0).
add("ExpandedNodeId_Both", (s) => bt.encodeExpandedNodeId(new ExpandedNodeId(NodeIdType.STRING, "Abc", 0, "urn:a", 2), s));
// ns=2;i=85 with server index 1: node-opcua writes the full numeric form where a four-byte one fits.
add("ExpandedNodeId_SmallServerIndex", (s) => bt.encodeExpandedNodeId(new ExpandedNodeId(NodeIdType.NUMERIC, 85, 2, null, 1), s));
// ns=0;i=0 without flags.
add("ExpandedNodeId_Null", (s) => bt.encodeExpandedNodeId(new ExpandedNodeId(NodeIdType.NUMERIC, 0, 0, null, 0), s));

// ---- QualifiedName, LocalizedText ----
add("QualifiedName_Sample", (s) => dm.encodeQualifiedName(new dm.QualifiedName({ name: "Abc", namespaceIndex: 3 }), s));
add("QualifiedName_Null", (s) => dm.encodeQualifiedName(new dm.QualifiedName({}), s)); // ns 0, name -1
add("LocalizedText_Both", (s) => dm.encodeLocalizedText(new dm.LocalizedText({ text: "Hallo", locale: "de" }), s));
add("LocalizedText_TextOnly", (s) => dm.encodeLocalizedText(new dm.LocalizedText({ text: "Hallo" }), s));
add("LocalizedText_LocaleOnly", (s) => dm.encodeLocalizedText(new dm.LocalizedText({ locale: "en-US" }), s));
add("LocalizedText_Empty", (s) => dm.encodeLocalizedText(new dm.LocalizedText({}), s)); // mask 0

// ---- ExtensionObject ----
// Type id ns=2;i=1234, binary body 01 02 03.
add("ExtensionObject_Binary", (s) => encodeExtensionObject(new OpaqueStructure(numeric(1234, 2), Buffer.from([1, 2, 3])), s));
// No extension object at all: null type id, encoding byte 0.
add("ExtensionObject_Null", (s) => encodeExtensionObject(null, s));
// Type id ns=0;i=5000 and no body (encoding byte 0).
add("ExtensionObject_NoBody", (s) => {
  bt.encodeExpandedNodeId(new ExpandedNodeId(NodeIdType.NUMERIC, 5000, 0, null, 0), s);
  bt.encodeByte(0, s);
});
// Type id ns=1;i=7, XML body "<a/>" (encoding byte 2).
add("ExtensionObject_Xml", (s) => {
  bt.encodeExpandedNodeId(new ExpandedNodeId(NodeIdType.NUMERIC, 7, 1, null, 0), s);
  bt.encodeByte(2, s);
  bt.encodeString("<a/>", s);
});

// ---- DiagnosticInfo ----
add("DiagnosticInfo_Empty", (s) => dm.encodeDiagnosticInfo(new dm.DiagnosticInfo({}), s));
add("DiagnosticInfo_AdditionalInfo", (s) => dm.encodeDiagnosticInfo(new dm.DiagnosticInfo({ additionalInfo: "details" }), s));
// symbolicId 1, namespaceUri 2, locale 3, localizedText 4, "outer", inner status 0x80340000,
// inner { symbolicId 5, inner status 0x80000000, inner { additionalInfo "deepest" } }.
add("DiagnosticInfo_Nested", (s) =>
  dm.encodeDiagnosticInfo(
    new dm.DiagnosticInfo({
      symbolicId: 1,
      namespaceURI: 2,
      locale: 3,
      localizedText: 4,
      additionalInfo: "outer",
      innerStatusCode: status(0x80340000),
      innerDiagnosticInfo: new dm.DiagnosticInfo({
        symbolicId: 5,
        innerStatusCode: status(0x80000000),
        innerDiagnosticInfo: new dm.DiagnosticInfo({ additionalInfo: "deepest" }),
      }),
    }),
    s
  )
);

// ---- DataValue masks ----
// node-opcua counts picoseconds in ps and writes them in 10 ps units: 10 * n goes on the wire as n.
add("DataValue_Empty", (s) => encodeDataValue(new DataValue({}), s));
add("DataValue_ValueOnly", (s) => encodeDataValue(new DataValue({ value: scalar(DataType.Double, 1.5) }), s));
add("DataValue_StatusOnly", (s) => encodeDataValue(new DataValue({ statusCode: status(0x80340000) }), s));
add("DataValue_SourceTimestampOnly", (s) => encodeDataValue(new DataValue({ sourceTimestamp: NORMAL_DATE }), s));
add("DataValue_SourcePicosecondsOnly", (s) => encodeDataValue(new DataValue({ sourcePicoseconds: 10 * 5 }), s));
add("DataValue_ServerTimestampOnly", (s) => encodeDataValue(new DataValue({ serverTimestamp: NORMAL_DATE }), s));
add("DataValue_ServerPicosecondsOnly", (s) => encodeDataValue(new DataValue({ serverPicoseconds: 10 * 7 }), s));
// Double 1.5 and source timestamp 2024-05-17 06:00 (mask 0x05).
add("DataValue_ValueAndSource", (s) =>
  encodeDataValue(new DataValue({ value: scalar(DataType.Double, 1.5), sourceTimestamp: NORMAL_DATE }), s)
);
// Int32 -7, status 0x40000000 (Uncertain), source 2024-05-17 06:00 + 11 (x10 ps),
// server 2024-05-17 06:00 + 22 (x10 ps): mask 0x3F.
add("DataValue_All", (s) =>
  encodeDataValue(
    new DataValue({
      value: scalar(DataType.Int32, -7),
      statusCode: status(0x40000000),
      sourceTimestamp: NORMAL_DATE,
      sourcePicoseconds: 10 * 11,
      serverTimestamp: NORMAL_DATE,
      serverPicoseconds: 10 * 22,
    }),
    s
  )
);

// ---- Variant: a scalar of every type ----
const v = (name, variant) => add(name, (s) => encodeVariant(variant, s));
v("Variant_Null", new Variant({ dataType: DataType.Null }));
v("Variant_Boolean", scalar(DataType.Boolean, true));
v("Variant_SByte", scalar(DataType.SByte, -5));
v("Variant_Byte", scalar(DataType.Byte, 200));
v("Variant_Int16", scalar(DataType.Int16, -300));
v("Variant_UInt16", scalar(DataType.UInt16, 60000));
v("Variant_Int32", scalar(DataType.Int32, -123456));
v("Variant_UInt32", scalar(DataType.UInt32, 3000000000));
v("Variant_Int64", scalar(DataType.Int64, [0xfffffffe, 0x00000000])); // -2^33
v("Variant_UInt64", scalar(DataType.UInt64, [0x80000000, 0x00000000])); // 2^63
v("Variant_Float", scalar(DataType.Float, -2.25));
v("Variant_Double", scalar(DataType.Double, 1e300));
v("Variant_String", scalar(DataType.String, UTF8));
v("Variant_DateTime", scalar(DataType.DateTime, NORMAL_DATE));
v("Variant_Guid", scalar(DataType.Guid, GUID));
v("Variant_ByteString", scalar(DataType.ByteString, Buffer.from([0xde, 0xad, 0xbe, 0xef])));
v("Variant_XmlElement", scalar(DataType.XmlElement, "<a/>"));
v("Variant_NodeId", scalar(DataType.NodeId, new NodeId(NodeIdType.STRING, "Demo.Static", 2)));
v("Variant_ExpandedNodeId", scalar(DataType.ExpandedNodeId, new ExpandedNodeId(NodeIdType.STRING, "Abc", 0, "urn:a", 2)));
v("Variant_StatusCode", scalar(DataType.StatusCode, status(0x80340000)));
v("Variant_QualifiedName", scalar(DataType.QualifiedName, new dm.QualifiedName({ name: "Abc", namespaceIndex: 3 })));
v("Variant_LocalizedText", scalar(DataType.LocalizedText, new dm.LocalizedText({ text: "Hallo", locale: "de" })));
v("Variant_ExtensionObject", scalar(DataType.ExtensionObject, new OpaqueStructure(numeric(1234, 2), Buffer.from([1, 2, 3]))));
v("Variant_DataValue", scalar(DataType.DataValue, new DataValue({ value: scalar(DataType.Int32, 7) })));

// ---- Variant: arrays and matrices ----
v("Variant_Int32_Array", array(DataType.Int32, [1, 2])); // 86 02000000 01000000 02000000
v("Variant_Int32_EmptyArray", array(DataType.Int32, [])); // node-opcua writes count 0
v("Variant_Int32_Dims1", matrix(DataType.Int32, [1, 2], [2])); // C6, then dimensions [2]
v("Variant_Int32_Matrix", matrix(DataType.Int32, [1, 2, 3, 4, 5, 6], [2, 3]));
v("Variant_Double_Matrix", matrix(DataType.Double, [0.5, -0.5, 1e-3, 1e-300, 0, -0.0, 2, 3], [2, 2, 2]));
v("Variant_String_Matrix", matrix(DataType.String, ["a", "b", "c", "d"], [2, 2]));
v("Variant_Boolean_Array", array(DataType.Boolean, [true, false, true]));
v("Variant_Byte_Array", array(DataType.Byte, [0, 127, 255]));
v("Variant_UInt64_Array", array(DataType.UInt64, [[0, 1], [0xffffffff, 0xffffffff]]));
v("Variant_String_Array", array(DataType.String, ["a", null, "ü"])); // null element: length -1
v("Variant_ByteString_Array", array(DataType.ByteString, [Buffer.from([1]), Buffer.from([2, 3])]));
v("Variant_DateTime_Array", array(DataType.DateTime, [utc(1601, 1, 1), NORMAL_DATE]));
v("Variant_Guid_Array", array(DataType.Guid, [GUID, "00000000-0000-0000-0000-000000000000"]));
v("Variant_NodeId_Array", array(DataType.NodeId, [numeric(85, 0), new NodeId(NodeIdType.STRING, "Abc", 1)]));
v("Variant_StatusCode_Array", array(DataType.StatusCode, [status(0), status(0x80340000)]));
v("Variant_QualifiedName_Array", array(DataType.QualifiedName, [new dm.QualifiedName({ name: "A", namespaceIndex: 1 }), new dm.QualifiedName({ name: "B", namespaceIndex: 0 })]));
v("Variant_LocalizedText_Array", array(DataType.LocalizedText, [new dm.LocalizedText({ text: "A" }), new dm.LocalizedText({ text: "B", locale: "de" })]));
v("Variant_Variant_Array", array(DataType.Variant, [scalar(DataType.Int32, 1), scalar(DataType.String, "x")]));
v("Variant_DataValue_Array", array(DataType.DataValue, [new DataValue({ value: scalar(DataType.Double, 1.5) }), new DataValue({ statusCode: status(0x80340000) })]));

// ---- UA TCP messages ----
const limits = (endpointUrl) => ({
  protocolVersion: 0,
  receiveBufferSize: 65535,
  sendBufferSize: 65535,
  maxMessageSize: 16777216,
  maxChunkCount: 0,
  endpointUrl,
});
addBuffer("Hello_Short", transport.packTcpMessage("HEL", new transport.HelloMessage(limits("opc.tcp://h:4840"))));
addBuffer(
  "Hello_Long",
  transport.packTcpMessage("HEL", new transport.HelloMessage(limits("opc.tcp://plc-line-7.factory.example.com:48010/UA/DemoServer")))
);
// Acknowledge: version 0, receive 65536, send 8192, max message 16777216, max chunks 64.
addBuffer(
  "Acknowledge",
  transport.packTcpMessage(
    "ACK",
    new transport.AcknowledgeMessage({
      protocolVersion: 0,
      receiveBufferSize: 65536,
      sendBufferSize: 8192,
      maxMessageSize: 16777216,
      maxChunkCount: 64,
    })
  )
);
// Error: 0x80820000 (BadTcpEndpointUrlInvalid), reason "bad url".
addBuffer(
  "Error",
  transport.packTcpMessage("ERR", new transport.TCPErrorMessage({ statusCode: status(0x80820000), reason: "bad url" }))
);

// ---- output ----
const versions = ["node-opcua-basic-types", "node-opcua-variant", "node-opcua-transport"]
  .map((p) => {
    const manifest = JSON.parse(fs.readFileSync(path.join(__dirname, "node_modules", p, "package.json"), "utf8"));
    return `${p}@${manifest.version}`;
  })
  .join(" ");
const text =
  `# UA binary golden vectors, one "name hex" per line, generated by tests/golden/generate.js with ${versions}\n` +
  cases.map((c) => `${c.name} ${c.hex}`).join("\n") +
  "\n";

if (process.argv.includes("--check")) {
  const committed = fs.existsSync(FIXTURE) ? fs.readFileSync(FIXTURE, "utf8") : "";
  if (committed === text) {
    console.log(`${path.basename(FIXTURE)} is up to date (${cases.length} cases)`);
    process.exit(0);
  }
  const a = committed.split("\n");
  const b = text.split("\n");
  console.error(`${path.basename(FIXTURE)} differs from a fresh run:`);
  for (let i = 0; i < Math.max(a.length, b.length); ++i) {
    if (a[i] !== b[i]) {
      if (a[i] !== undefined) console.error(`- ${a[i]}`);
      if (b[i] !== undefined) console.error(`+ ${b[i]}`);
    }
  }
  process.exit(1);
}
fs.writeFileSync(FIXTURE, text);
console.log(`wrote ${cases.length} cases to ${FIXTURE}`);
