#!/usr/bin/env node
// SPDX-License-Identifier: MPL-2.0
//
// Writes service_messages.txt: complete service messages (binary encoding node id, then the
// body) as an independent OPC UA stack (node-opcua) encodes them. The C++ test
// tests/ua/encoding/service_golden_test.cpp decodes every line with our message registry,
// checks key fields and re-encodes it byte for byte, so message names must stay stable.
//
// All values are fixed: fixed dates (whole quarter days, exact in our day-count form), fixed
// nonces. String and ByteString fields that carry no value are left null, so node-opcua
// writes length -1 like our encoder does (it writes "" as length 0).
//
//   node tests/typesdata/generate_messages.js           rewrite the fixture
//   node tests/typesdata/generate_messages.js --check   exit 1 (and print the difference) when
//                                                       the committed fixture differs
"use strict";

const fs = require("fs");
const path = require("path");
const { BinaryStream } = require("node-opcua-binary-stream");
const bt = require("node-opcua-basic-types");
const t = require("node-opcua-types");
const { BrowseDirection } = require("node-opcua-data-model");
const { Variant, DataType, VariantArrayType } = require("node-opcua-variant");
const { DataValue } = require("node-opcua-data-value");
const { NodeId, NodeIdType, ExpandedNodeId } = require("node-opcua-nodeid");
const { StatusCode } = require("node-opcua-status-code");

const FIXTURE = path.join(__dirname, "service_messages.txt");

// node-opcua's constructors turn absent arrays into [] and absent strings into "" and write
// them with length 0; our encoder writes an empty array, string or byte string as -1 (null),
// also valid. In structures (objects with a schema), nested ones included, empty arrays,
// strings and byte strings are set back to null so both write -1. Variants and data values
// are left alone.
function nullEmpty(obj) {
  if (!obj || typeof obj !== "object" || !obj.schema) return;
  for (const key of Object.keys(obj)) {
    const value = obj[key];
    if (value === "" || (Buffer.isBuffer(value) && value.length === 0)) {
      obj[key] = null;
    } else if (Array.isArray(value)) {
      if (value.length === 0) obj[key] = null;
      else value.forEach(nullEmpty);
    } else {
      nullEmpty(value);
    }
  }
}

const messages = [];
function add(name, message) {
  nullEmpty(message);
  if (!/^[A-Za-z0-9_]+$/.test(name)) throw new Error(`bad message name ${name}`);
  if (messages.some((m) => m.name === name)) throw new Error(`duplicate message ${name}`);
  const encodingId = message.constructor.encodingDefaultBinary;
  if (!encodingId) throw new Error(`${name}: no binary encoding id`);
  const stream = new BinaryStream(1 << 16);
  bt.encodeNodeId(new NodeId(NodeIdType.NUMERIC, encodingId.value, encodingId.namespace), stream);
  message.encode(stream);
  messages.push({ name, hex: Buffer.from(stream.buffer.subarray(0, stream.length)).toString("hex") });
}

// The enumeration as it is on the wire (node-opcua-types does not export it).
const TimestampsToReturn = { Source: 0, Server: 1, Both: 2, Neither: 3 };

const status = (code) => StatusCode.makeStatusCode(code);
const numeric = (id, ns = 0) => new NodeId(NodeIdType.NUMERIC, id, ns);
const str = (id, ns) => new NodeId(NodeIdType.STRING, id, ns);
const utc = (y, mo, d, h = 0) => new Date(Date.UTC(y, mo - 1, d, h));
const bytes = (...b) => Buffer.from(b);
const scalar = (dataType, value) => new Variant({ dataType, arrayType: VariantArrayType.Scalar, value });

// 2024-05-17 06:00 / 12:00 / 18:00 UTC.
const T1 = utc(2024, 5, 17, 6);
const T2 = utc(2024, 5, 17, 12);
const T3 = utc(2024, 5, 17, 18);

const requestHeader = (handle, extra = {}) => ({
  authenticationToken: numeric(0),
  timestamp: T1,
  requestHandle: handle,
  returnDiagnostics: 0,
  auditEntryId: null,
  timeoutHint: 10000,
  ...extra,
});
const responseHeader = (handle, extra = {}) => ({
  timestamp: T2,
  requestHandle: handle,
  serviceResult: status(0),
  stringTable: null,
  ...extra,
});
const SESSION_TOKEN = new NodeId(NodeIdType.BYTESTRING, bytes(0xa1, 0xb2, 0xc3, 0xd4), 1);

const serverDescription = {
  applicationUri: "urn:varo:test:server",
  productUri: "urn:varo:test",
  applicationName: { text: "Test Server", locale: "en" },
  applicationType: t.ApplicationType.Server,
  gatewayServerUri: null,
  discoveryProfileUri: null,
  discoveryUrls: ["opc.tcp://localhost:4840"],
};
const endpoints = [
  new t.EndpointDescription({
    endpointUrl: "opc.tcp://localhost:4840",
    server: serverDescription,
    serverCertificate: null,
    securityMode: t.MessageSecurityMode.None,
    securityPolicyUri: "http://opcfoundation.org/UA/SecurityPolicy#None",
    userIdentityTokens: [
      { policyId: "anonymous", tokenType: t.UserTokenType.Anonymous },
      {
        policyId: "username_basic256",
        tokenType: t.UserTokenType.UserName,
        securityPolicyUri: "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256",
      },
    ],
    transportProfileUri: "http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary",
    securityLevel: 1,
  }),
  new t.EndpointDescription({
    endpointUrl: "opc.tcp://localhost:4840",
    server: serverDescription,
    serverCertificate: bytes(0x30, 0x82, 0x01, 0x0a),
    securityMode: t.MessageSecurityMode.SignAndEncrypt,
    securityPolicyUri: "http://opcfoundation.org/UA/SecurityPolicy#Basic256Sha256",
    userIdentityTokens: [{ policyId: "certificate", tokenType: t.UserTokenType.Certificate }],
    transportProfileUri: "http://opcfoundation.org/UA-Profile/Transport/uatcp-uasc-uabinary",
    securityLevel: 3,
  }),
];

// ---- Discovery and secure channel ----
add(
  "GetEndpointsRequest",
  new t.GetEndpointsRequest({
    requestHeader: requestHeader(1),
    endpointUrl: "opc.tcp://localhost:4840",
    localeIds: ["en", "de"],
    profileUris: null,
  })
);
add("GetEndpointsResponse", new t.GetEndpointsResponse({ responseHeader: responseHeader(1), endpoints }));
add(
  "OpenSecureChannelRequest",
  new t.OpenSecureChannelRequest({
    requestHeader: requestHeader(2),
    clientProtocolVersion: 0,
    requestType: t.SecurityTokenRequestType.Renew,
    securityMode: t.MessageSecurityMode.Sign,
    clientNonce: bytes(0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08),
    requestedLifetime: 3600000,
  })
);
add(
  "OpenSecureChannelResponse",
  new t.OpenSecureChannelResponse({
    responseHeader: responseHeader(2),
    serverProtocolVersion: 0,
    securityToken: { channelId: 17, tokenId: 2, createdAt: T2, revisedLifetime: 600000 },
    serverNonce: bytes(0xf0, 0xe1, 0xd2, 0xc3),
  })
);

// ---- Session ----
add(
  "CreateSessionRequest",
  new t.CreateSessionRequest({
    requestHeader: requestHeader(3),
    clientDescription: {
      applicationUri: "urn:varo:explorer",
      productUri: "urn:varo",
      applicationName: { text: "Varo Explorer" },
      applicationType: t.ApplicationType.Client,
      gatewayServerUri: null,
      discoveryProfileUri: null,
      discoveryUrls: null,
    },
    serverUri: null,
    endpointUrl: "opc.tcp://localhost:4840",
    sessionName: "Session 1",
    clientNonce: bytes(0x11, 0x22, 0x33, 0x44),
    clientCertificate: null,
    requestedSessionTimeout: 1200000,
    maxResponseMessageSize: 16777216,
  })
);
add(
  "CreateSessionResponse",
  new t.CreateSessionResponse({
    responseHeader: responseHeader(3),
    sessionId: numeric(70001, 1),
    authenticationToken: SESSION_TOKEN,
    revisedSessionTimeout: 600000,
    serverNonce: bytes(0x55, 0x66, 0x77, 0x88),
    serverCertificate: null,
    serverEndpoints: [endpoints[0]],
    serverSoftwareCertificates: null,
    serverSignature: { algorithm: null, signature: null },
    maxRequestMessageSize: 0,
  })
);
add(
  "ActivateSessionRequest",
  new t.ActivateSessionRequest({
    requestHeader: requestHeader(4, { authenticationToken: SESSION_TOKEN }),
    clientSignature: { algorithm: null, signature: null },
    clientSoftwareCertificates: null,
    localeIds: ["en"],
    userIdentityToken: new t.UserNameIdentityToken({
      policyId: "username_basic256",
      userName: "operator",
      password: bytes(0x70, 0x61, 0x73, 0x73),
      encryptionAlgorithm: null,
    }),
    userTokenSignature: { algorithm: null, signature: null },
  })
);

// ---- View ----
add(
  "BrowseRequest",
  new t.BrowseRequest({
    requestHeader: requestHeader(5, { authenticationToken: SESSION_TOKEN }),
    view: { viewId: numeric(0), timestamp: T1, viewVersion: 0 },
    requestedMaxReferencesPerNode: 100,
    nodesToBrowse: [
      {
        nodeId: numeric(85),
        browseDirection: BrowseDirection.Forward,
        referenceTypeId: numeric(33),
        includeSubtypes: true,
        nodeClassMask: 0,
        resultMask: 63,
      },
      {
        nodeId: str("Machine.Line1", 2),
        browseDirection: BrowseDirection.Both,
        referenceTypeId: numeric(0),
        includeSubtypes: false,
        nodeClassMask: 3,
        resultMask: 1,
      },
    ],
  })
);
add(
  "BrowseResponse",
  new t.BrowseResponse({
    responseHeader: responseHeader(5),
    results: [
      {
        statusCode: status(0),
        continuationPoint: bytes(0x0c, 0x0d),
        references: [
          {
            referenceTypeId: numeric(35),
            isForward: true,
            nodeId: new ExpandedNodeId(NodeIdType.NUMERIC, 2253, 0, null, 0),
            browseName: { namespaceIndex: 0, name: "Server" },
            displayName: { text: "Server" },
            nodeClass: t.NodeClass.Object,
            typeDefinition: new ExpandedNodeId(NodeIdType.NUMERIC, 2004, 0, null, 0),
          },
          {
            referenceTypeId: numeric(47),
            isForward: true,
            nodeId: new ExpandedNodeId(NodeIdType.STRING, "Temperature", 2, null, 0),
            browseName: { namespaceIndex: 2, name: "Temperature" },
            displayName: { text: "Temperatur", locale: "de" },
            nodeClass: t.NodeClass.Variable,
            typeDefinition: new ExpandedNodeId(NodeIdType.NUMERIC, 63, 0, null, 0),
          },
        ],
      },
      { statusCode: status(0x80340000), continuationPoint: null, references: null },
    ],
    diagnosticInfos: null,
  })
);
add(
  "BrowseNextRequest",
  new t.BrowseNextRequest({
    requestHeader: requestHeader(6, { authenticationToken: SESSION_TOKEN }),
    releaseContinuationPoints: false,
    continuationPoints: [bytes(0x0c, 0x0d), bytes(0xff)],
  })
);

// ---- Attributes ----
add(
  "ReadRequest",
  new t.ReadRequest({
    requestHeader: requestHeader(7, { authenticationToken: SESSION_TOKEN }),
    maxAge: 500,
    timestampsToReturn: TimestampsToReturn.Both,
    nodesToRead: [
      { nodeId: numeric(2258), attributeId: 13 },
      { nodeId: str("Temperature", 2), attributeId: 13 },
      { nodeId: str("Temperature", 2), attributeId: 4 },
    ],
  })
);
add(
  "ReadResponse",
  new t.ReadResponse({
    responseHeader: responseHeader(7),
    results: [
      new DataValue({ value: scalar(DataType.DateTime, T3), statusCode: status(0), sourceTimestamp: T3, serverTimestamp: T3 }),
      new DataValue({ value: scalar(DataType.Double, 21.5), statusCode: status(0), sourceTimestamp: T2 }),
      new DataValue({ statusCode: status(0x80340000) }),
    ],
    diagnosticInfos: null,
  })
);
add(
  "WriteRequest",
  new t.WriteRequest({
    requestHeader: requestHeader(8, { authenticationToken: SESSION_TOKEN }),
    nodesToWrite: [
      {
        nodeId: str("Setpoint", 2),
        attributeId: 13,
        value: new DataValue({ value: scalar(DataType.Float, 42.25) }),
      },
      {
        nodeId: str("Label", 2),
        attributeId: 13,
        value: new DataValue({ value: scalar(DataType.String, "Line 1") }),
      },
    ],
  })
);

// ---- Methods ----
add(
  "CallRequest",
  new t.CallRequest({
    requestHeader: requestHeader(9, { authenticationToken: SESSION_TOKEN }),
    methodsToCall: [
      {
        objectId: str("Pump", 2),
        methodId: str("Pump.Start", 2),
        inputArguments: [scalar(DataType.UInt32, 1500), scalar(DataType.Boolean, true)],
      },
    ],
  })
);
add(
  "CallResponse",
  new t.CallResponse({
    responseHeader: responseHeader(9),
    results: [
      {
        statusCode: status(0),
        inputArgumentResults: [status(0), status(0)],
        inputArgumentDiagnosticInfos: null,
        outputArguments: [scalar(DataType.String, "started")],
      },
    ],
    diagnosticInfos: null,
  })
);

// ---- Subscriptions ----
add(
  "CreateSubscriptionRequest",
  new t.CreateSubscriptionRequest({
    requestHeader: requestHeader(10, { authenticationToken: SESSION_TOKEN }),
    requestedPublishingInterval: 1000,
    requestedLifetimeCount: 600,
    requestedMaxKeepAliveCount: 20,
    maxNotificationsPerPublish: 0,
    publishingEnabled: true,
    priority: 5,
  })
);
add(
  "CreateMonitoredItemsRequest",
  new t.CreateMonitoredItemsRequest({
    requestHeader: requestHeader(11, { authenticationToken: SESSION_TOKEN }),
    subscriptionId: 7,
    timestampsToReturn: TimestampsToReturn.Source,
    itemsToCreate: [
      {
        itemToMonitor: { nodeId: str("Temperature", 2), attributeId: 13 },
        monitoringMode: t.MonitoringMode.Reporting,
        requestedParameters: {
          clientHandle: 101,
          samplingInterval: 250,
          filter: new t.DataChangeFilter({
            trigger: t.DataChangeTrigger.StatusValueTimestamp,
            deadbandType: 1,
            deadbandValue: 0.5,
          }),
          queueSize: 10,
          discardOldest: true,
        },
      },
    ],
  })
);
add(
  "PublishRequest",
  new t.PublishRequest({
    requestHeader: requestHeader(12, { authenticationToken: SESSION_TOKEN }),
    subscriptionAcknowledgements: [
      { subscriptionId: 7, sequenceNumber: 3 },
      { subscriptionId: 7, sequenceNumber: 4 },
    ],
  })
);
add(
  "PublishResponse",
  new t.PublishResponse({
    responseHeader: responseHeader(12),
    subscriptionId: 7,
    availableSequenceNumbers: [5, 6],
    moreNotifications: false,
    notificationMessage: {
      sequenceNumber: 6,
      publishTime: T3,
      notificationData: [
        new t.DataChangeNotification({
          monitoredItems: [
            {
              clientHandle: 101,
              value: new DataValue({ value: scalar(DataType.Double, 22.75), statusCode: status(0), sourceTimestamp: T3 }),
            },
            { clientHandle: 102, value: new DataValue({ value: scalar(DataType.Int32, -5) }) },
          ],
          diagnosticInfos: null,
        }),
        new t.StatusChangeNotification({ status: status(0x800d0000) }),
      ],
    },
    results: [status(0), status(0x80790000)],
    diagnosticInfos: null,
  })
);

// ---- Faults ----
add("ServiceFault", new t.ServiceFault({ responseHeader: responseHeader(13, { serviceResult: status(0x80280000) }) }));

// ---- output ----
const versions = ["node-opcua-types", "node-opcua-binary-stream"]
  .map((p) => {
    const manifest = JSON.parse(fs.readFileSync(path.join(__dirname, "node_modules", p, "package.json"), "utf8"));
    return `${p}@${manifest.version}`;
  })
  .join(" ");
const text =
  `# Service messages (encoding node id + body), one "name hex" per line, generated by tests/typesdata/generate_messages.js with ${versions}\n` +
  messages.map((m) => `${m.name} ${m.hex}`).join("\n") +
  "\n";

if (process.argv.includes("--check")) {
  const committed = fs.existsSync(FIXTURE) ? fs.readFileSync(FIXTURE, "utf8") : "";
  if (committed === text) {
    console.log(`${path.basename(FIXTURE)} is up to date (${messages.length} messages)`);
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
console.log(`wrote ${messages.length} messages to ${FIXTURE}`);
