// SPDX-License-Identifier: MPL-2.0
//
// OPC UA demo server for the interoperability tests of the Varo UA client stack, built on
// node-opcua. It is a test peer only: it listens on 127.0.0.1 and trusts every client.
//
// Launching
//   node --security-revert=CVE-2023-46809 tools/demo-server/server.js [options]
//
//   Basic128Rsa15 needs RSA PKCS#1 v1.5 decryption, which Node 20 refuses unless the process
//   is started with --security-revert=CVE-2023-46809. Node does not accept that flag in
//   NODE_OPTIONS, so it has to be on the command line (the C++ test fixture passes it). When
//   the flag is missing the server prints a warning on stderr and leaves Basic128Rsa15 out.
//
// Options
//   --port N                   TCP port; 0 or absent picks a free port
//   --max-channel-lifetime MS  longest secure channel token lifetime granted (default 600000);
//                              short values make clients renew their token often
//   --max-notifications N      cap on notifications in one PublishResponse (default 1000)
//   --max-references-per-node N  cap on references in one Browse result (default 1000), so
//                              that the 1,200 children of Demo.Big need BrowseNext
//   --load-count N             number of load variables (default: $DEMO_LOAD_COUNT or 10000)
//   --pki-dir DIR              PKI folder (server certificate, trusted and rejected client
//                              certificates); default: a fresh temporary folder removed at exit
//   --exit-on-stdin-close      exit when standard input reaches end of file, so that a crashed
//                              test runner that held the other end does not leave us behind
//   --chain                    use a leaf certificate signed by a test CA instead of the
//                              self-signed one; the certificate file holds leaf and CA, so the
//                              server sends both (endpoints, CreateSession). Needs the openssl
//                              command line tool.
//
// Once listening it prints exactly one line "READY opc.tcp://127.0.0.1:PORT" on stdout (Node
// itself may print a "SECURITY WARNING" line there before, for the flag above).
// Errors go to stderr and end the process with exit code 1. SIGTERM and SIGINT stop it
// cleanly (exit code 0).
//
// Security: policies None, Basic128Rsa15, Basic256, Basic256Sha256, Aes128_Sha256_RsaOaep
// and Aes256_Sha256_RsaPss, each with Sign and SignAndEncrypt (None only with None).
// Client certificates are accepted automatically. The server certificate is self-signed,
// application URI "urn:varo:demo-server", subject alternative names DNS localhost (and the
// machine's host name) and IP 127.0.0.1, created at first start in the PKI folder.
//
// Users: anonymous, and user name "demo" with password "demo-password".
//
// Address space (the server's own namespace has index 1; every id below is in ns=1):
//   s=Demo                         folder below Objects
//   s=Demo.Static                  folder of writable scalars of every built-in type:
//     s=Demo.Static.<Type>         Type = Boolean SByte Byte Int16 UInt16 Int32 UInt32 Int64
//                                  UInt64 Float Double String DateTime Guid ByteString
//                                  XmlElement NodeId ExpandedNodeId StatusCode QualifiedName
//                                  LocalizedText ExtensionObject DataValue Variant
//                                  DiagnosticInfo (Variant: data type BaseDataType, holding
//                                  an Int32 at start; ExtensionObject: data type Structure,
//                                  holding an Argument)
//   s=Demo.Static.Array            folder of writable one-dimensional arrays (3 elements):
//     s=Demo.Static.Array.<Type>   same types as the scalars
//   s=Demo.Dynamic                 folder
//     s=Demo.Dynamic.Double        Double, sine wave, changes every 100 ms
//     s=Demo.Dynamic.Counter       UInt32, incremented every 100 ms
//   s=Demo.Load                    folder
//     s=Demo.Load.0 .. s=Demo.Load.<N-1>  Int32, all change every second (value = tick + index)
//   s=Demo.Methods                 object holding
//     s=Demo.Methods.Add           method: inputs a, b (Double), output sum (Double)
//   s=Demo.ReadOnly                folder
//     s=Demo.ReadOnly.Int32        Int32 42, read-only (write gives BadNotWritable)
//   s=Demo.Big                     folder with 1,200 Int32 variables
//     s=Demo.Big.0 .. s=Demo.Big.1199  value = index
"use strict";

const fs = require("node:fs");
const net = require("node:net");
const os = require("node:os");
const path = require("node:path");
const crypto = require("node:crypto");

function fail(message) {
  process.stderr.write(`demo-server: ${message}\n`);
  process.exit(1);
}

function parseArgs(argv) {
  const envLoad = process.env.DEMO_LOAD_COUNT;
  const opts = {
    port: 0,
    maxChannelLifetime: 600000,
    maxNotifications: 1000,
    maxReferencesPerNode: 1000,
    loadCount: envLoad === undefined || envLoad === "" ? 10000 : envLoad,
    pkiDir: "",
    exitOnStdinClose: false,
    chain: false,
  };
  const numeric = {
    "--port": "port",
    "--max-channel-lifetime": "maxChannelLifetime",
    "--max-notifications": "maxNotifications",
    "--max-references-per-node": "maxReferencesPerNode",
    "--load-count": "loadCount",
  };
  for (let i = 0; i < argv.length; ++i) {
    const arg = argv[i];
    if (arg === "--exit-on-stdin-close") {
      opts.exitOnStdinClose = true;
    } else if (arg === "--chain") {
      opts.chain = true;
    } else if (arg === "--pki-dir") {
      if (i + 1 >= argv.length) fail("--pki-dir needs a value");
      opts.pkiDir = argv[++i];
    } else if (Object.hasOwn(numeric, arg)) {
      if (i + 1 >= argv.length) fail(`${arg} needs a value`);
      opts[numeric[arg]] = argv[++i];
    } else {
      fail(`unknown option ${arg}`);
    }
  }
  for (const [flag, key] of Object.entries(numeric)) {
    const text = String(opts[key]);
    if (!/^[0-9]+$/.test(text)) fail(`${flag} must be a non-negative integer, got "${text}"`);
    opts[key] = Number(text);
  }
  if (opts.port > 65535) fail("--port must be at most 65535");
  if (opts.maxChannelLifetime < 1) fail("--max-channel-lifetime must be at least 1");
  if (opts.maxNotifications < 1) fail("--max-notifications must be at least 1");
  if (opts.loadCount > 1000000) fail("--load-count must be at most 1000000");
  return opts;
}

const opts = parseArgs(process.argv.slice(2));

// Loaded after the argument check so that a bad command line fails fast.
let opcua;
try {
  opcua = require("node-opcua");
} catch (err) {
  fail(`cannot load node-opcua (run "npm ci" in tools/demo-server): ${err.message}`);
}
const {
  OPCUAServer,
  OPCUACertificateManager,
  SecurityPolicy,
  MessageSecurityMode,
  DataType,
  Variant,
  VariantArrayType,
  StatusCodes,
  StatusCode,
  NodeId,
  ExpandedNodeId,
  QualifiedName,
  LocalizedText,
  DataValue,
  DiagnosticInfo,
  Argument,
  Subscription,
  coerceNodeId,
} = opcua;

// Library diagnostics go to stderr: stdout carries the READY line for the test fixture.
{
  const toStderr = (...args) => process.stderr.write(`${require("node:util").format(...args)}\n`);
  opcua.setWarningLogger(toStderr);
  opcua.setErrorLogger(toStderr);
  opcua.setDebugLogger(toStderr);
}

const APPLICATION_URI = "urn:varo:demo-server";
const HOST = "127.0.0.1";

// True when this Node may decrypt RSA PKCS#1 v1.5 (see "Launching" above).
function pkcs1v15DecryptionAllowed() {
  try {
    const { publicKey, privateKey } = crypto.generateKeyPairSync("rsa", { modulusLength: 1024 });
    const padding = crypto.constants.RSA_PKCS1_PADDING;
    const sealed = crypto.publicEncrypt({ key: publicKey, padding }, Buffer.from("probe"));
    return crypto.privateDecrypt({ key: privateKey, padding }, sealed).toString() === "probe";
  } catch {
    return false;
  }
}

// Asks the kernel for a free port on the loopback address. node-opcua writes the port into
// its endpoint descriptions before it listens, so it must be known in advance.
function findFreePort() {
  return new Promise((resolve, reject) => {
    const probe = net.createServer();
    probe.unref();
    probe.once("error", reject);
    probe.listen({ host: HOST, port: 0 }, () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

function int64(big) {
  const u = BigInt.asUintN(64, BigInt(big));
  return [Number(u >> 32n), Number(u & 0xffffffffn)];
}

// Built-in types of the Static folder: data type name, DataType, sample scalar, sample array.
function builtInSamples() {
  return [
    ["Boolean", DataType.Boolean, true, [true, false, true]],
    ["SByte", DataType.SByte, -5, [-128, 0, 127]],
    ["Byte", DataType.Byte, 200, [0, 1, 255]],
    ["Int16", DataType.Int16, -1234, [-32768, 0, 32767]],
    ["UInt16", DataType.UInt16, 54321, [0, 1, 65535]],
    ["Int32", DataType.Int32, -123456, [-2147483648, 0, 2147483647]],
    ["UInt32", DataType.UInt32, 4000000000, [0, 1, 4294967295]],
    ["Int64", DataType.Int64, int64(-1234567890123n), [int64(-1n), int64(0n), int64(1n << 40n)]],
    ["UInt64", DataType.UInt64, int64(1n << 40n), [int64(0n), int64(1n), int64((1n << 64n) - 1n)]],
    ["Float", DataType.Float, 3.5, [-1.5, 0, 2.25]],
    ["Double", DataType.Double, 2.718281828459045, [-1e300, 0, 3.141592653589793]],
    ["String", DataType.String, "Hello Varo", ["one", "", "three"]],
    [
      "DateTime",
      DataType.DateTime,
      new Date(Date.UTC(2024, 0, 2, 3, 4, 5, 6)),
      [new Date(Date.UTC(2000, 0, 1)), new Date(Date.UTC(2024, 5, 30, 12)), new Date(Date.UTC(2038, 0, 19))],
    ],
    [
      "Guid",
      DataType.Guid,
      "72962B91-FA75-4AE6-8D28-B404DC7DAF63",
      ["00000000-0000-0000-0000-000000000000", "72962B91-FA75-4AE6-8D28-B404DC7DAF63", "FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF"],
    ],
    ["ByteString", DataType.ByteString, Buffer.from([1, 2, 3, 0xff]), [Buffer.from([0]), Buffer.alloc(0), Buffer.from("abc")]],
    ["XmlElement", DataType.XmlElement, "<Demo>1</Demo>", ["<a/>", "<b>2</b>", "<c x=\"3\"/>"]],
    ["NodeId", DataType.NodeId, coerceNodeId("ns=1;s=Demo"), [coerceNodeId("i=85"), coerceNodeId("ns=1;i=7"), coerceNodeId("ns=1;s=Demo.Static")]],
    [
      "ExpandedNodeId",
      DataType.ExpandedNodeId,
      new ExpandedNodeId(NodeId.NodeIdType.NUMERIC, 2253, 0),
      [
        new ExpandedNodeId(NodeId.NodeIdType.NUMERIC, 85, 0),
        new ExpandedNodeId(NodeId.NodeIdType.STRING, "Demo", 1),
        new ExpandedNodeId(NodeId.NodeIdType.NUMERIC, 1, 0, "urn:varo:other", 2),
      ],
    ],
    ["StatusCode", DataType.StatusCode, StatusCodes.BadNodeIdUnknown, [StatusCodes.Good, StatusCodes.Uncertain, StatusCodes.BadTimeout]],
    [
      "QualifiedName",
      DataType.QualifiedName,
      new QualifiedName({ namespaceIndex: 1, name: "Demo" }),
      [new QualifiedName({ name: "A" }), new QualifiedName({ namespaceIndex: 1, name: "B" }), new QualifiedName({ namespaceIndex: 2, name: "C" })],
    ],
    [
      "LocalizedText",
      DataType.LocalizedText,
      new LocalizedText({ locale: "en", text: "Demo text" }),
      [new LocalizedText({ text: "no locale" }), new LocalizedText({ locale: "de", text: "Text" }), new LocalizedText({ locale: "en-US", text: "" })],
    ],
    [
      "ExtensionObject",
      DataType.ExtensionObject,
      new Argument({ name: "x", dataType: coerceNodeId("i=11"), valueRank: -1 }),
      [
        new Argument({ name: "a", dataType: coerceNodeId("i=6"), valueRank: -1 }),
        new Argument({ name: "b", dataType: coerceNodeId("i=12"), valueRank: 1, arrayDimensions: [3] }),
        new Argument({ name: "c", dataType: coerceNodeId("i=1"), valueRank: -1 }),
      ],
    ],
    [
      "DataValue",
      DataType.DataValue,
      new DataValue({ value: new Variant({ dataType: DataType.Int32, value: 7 }), statusCode: StatusCodes.Good }),
      [
        new DataValue({ value: new Variant({ dataType: DataType.Double, value: 1.5 }) }),
        new DataValue({ statusCode: StatusCodes.BadNoData }),
        new DataValue({ value: new Variant({ dataType: DataType.String, value: "x" }), sourceTimestamp: new Date(Date.UTC(2024, 0, 1)) }),
      ],
    ],
    [
      "Variant",
      DataType.Variant,
      new Variant({ dataType: DataType.Int32, value: 7 }),
      [new Variant({ dataType: DataType.Int32, value: 1 }), new Variant({ dataType: DataType.String, value: "two" }), new Variant({ dataType: DataType.Double, value: 3.5 })],
    ],
    [
      "DiagnosticInfo",
      DataType.DiagnosticInfo,
      new DiagnosticInfo({ symbolicId: 1, localizedText: 2, additionalInfo: "demo" }),
      [new DiagnosticInfo({ symbolicId: 3 }), new DiagnosticInfo({ additionalInfo: "b" }), new DiagnosticInfo({ innerStatusCode: StatusCodes.BadTimeout })],
    ],
  ];
}

// The server's certificate manager with automatic trust of unknown client certificates, and
// the self-signed server certificate with the loopback names.
async function preparePki(pkiDir) {
  const certificateManager = new OPCUACertificateManager({
    rootFolder: pkiDir,
    automaticallyAcceptUnknownCertificate: true,
  });
  await certificateManager.initialize();
  const certificateFile = path.join(pkiDir, "own", "certs", "demo_server_certificate.pem");
  if (!fs.existsSync(certificateFile)) {
    await certificateManager.createSelfSignedCertificate({
      outputFile: certificateFile,
      subject: "/CN=Varo Demo Server/O=Varo",
      applicationUri: APPLICATION_URI,
      // The host name too: the library checks that every name it advertises is in the SAN.
      dns: [...new Set(["localhost", os.hostname()])],
      ip: ["127.0.0.1"],
      startDate: new Date(Date.now() - 24 * 3600 * 1000),
      validity: 3650,
    });
  }
  return { certificateManager, certificateFile, privateKeyFile: certificateManager.privateKey };
}

// For --chain: a test CA and a leaf certificate it signed (same names as the self-signed one),
// made once per PKI folder with openssl. The certificate file holds the leaf, then the CA.
function prepareChain(pkiDir) {
  const dir = path.join(pkiDir, "own", "chain");
  const chainFile = path.join(dir, "demo_server_chain.pem");
  const leafKey = path.join(dir, "demo_server_leaf_key.pem");
  if (fs.existsSync(chainFile) && fs.existsSync(leafKey)) return { certificateFile: chainFile, privateKeyFile: leafKey };
  fs.mkdirSync(dir, { recursive: true });
  const { execFileSync } = require("node:child_process");
  // node-opcua may leave OPENSSL_CONF set to the text "undefined".
  const env = { ...process.env };
  if (env.OPENSSL_CONF === "undefined") delete env.OPENSSL_CONF;
  const openssl = (...args) => {
    try {
      execFileSync("openssl", args, { env, stdio: ["ignore", "ignore", "pipe"] });
    } catch (err) {
      throw new Error(`openssl ${args[0]} failed: ${err.stderr ? err.stderr.toString() : err.message}`);
    }
  };
  const file = (name) => path.join(dir, name);
  const serial = () => `0x${crypto.randomBytes(8).toString("hex")}`;
  openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", file("ca_key.pem"), "-out", file("ca_cert.pem"),
    "-days", "3650", "-set_serial", serial(), "-subj", "/CN=Varo Demo CA/O=Varo",
    "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign");
  openssl("req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", leafKey, "-out", file("leaf.csr"),
    "-subj", "/CN=Varo Demo Server/O=Varo");
  const names = [...new Set(["localhost", os.hostname()])].map((n) => `DNS:${n}`);
  fs.writeFileSync(file("leaf_ext.cnf"), [
    "basicConstraints=critical,CA:FALSE",
    "keyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment",
    "extendedKeyUsage=serverAuth,clientAuth",
    `subjectAltName=URI:${APPLICATION_URI},${names.join(",")},IP:127.0.0.1`,
    "subjectKeyIdentifier=hash",
    "authorityKeyIdentifier=keyid",
    "",
  ].join("\n"));
  openssl("x509", "-req", "-in", file("leaf.csr"), "-CA", file("ca_cert.pem"), "-CAkey", file("ca_key.pem"),
    "-set_serial", serial(), "-days", "3650", "-extfile", file("leaf_ext.cnf"), "-out", file("leaf_cert.pem"));
  fs.writeFileSync(chainFile, fs.readFileSync(file("leaf_cert.pem"), "utf8") + fs.readFileSync(file("ca_cert.pem"), "utf8"));
  return { certificateFile: chainFile, privateKeyFile: leafKey };
}

function buildAddressSpace(server, loadCount, timers) {
  const addressSpace = server.engine.addressSpace;
  const namespace = addressSpace.getOwnNamespace();
  if (namespace.index !== 1) throw new Error(`own namespace has index ${namespace.index}, expected 1`);
  const objects = addressSpace.rootFolder.objects;
  const ns = (id) => `ns=1;s=${id}`;
  const folder = (id, name, parent) => namespace.addFolder(parent, { nodeId: ns(id), browseName: name });

  const demo = folder("Demo", "Demo", objects);

  const readWrite = "CurrentRead | CurrentWrite";
  const staticFolder = folder("Demo.Static", "Static", demo);
  const arrayFolder = folder("Demo.Static.Array", "Array", staticFolder);
  for (const [name, dataType, scalar, array] of builtInSamples()) {
    // A Variant variable is typed BaseDataType: it accepts a value of any type. Extension
    // objects are typed Structure, the base of every structured type.
    const typeName = { Variant: "BaseDataType", ExtensionObject: "Structure" }[name] || name;
    const valueType = dataType === DataType.Variant ? scalar.dataType : dataType;
    namespace.addVariable({
      componentOf: staticFolder,
      nodeId: ns(`Demo.Static.${name}`),
      browseName: name,
      dataType: typeName,
      accessLevel: readWrite,
      userAccessLevel: readWrite,
      value: dataType === DataType.Variant ? scalar : new Variant({ dataType: valueType, arrayType: VariantArrayType.Scalar, value: scalar }),
    });
    namespace.addVariable({
      componentOf: arrayFolder,
      nodeId: ns(`Demo.Static.Array.${name}`),
      browseName: name,
      dataType: typeName,
      valueRank: 1,
      arrayDimensions: [0],
      accessLevel: readWrite,
      userAccessLevel: readWrite,
      value:
        dataType === DataType.Variant
          ? new Variant({ dataType: DataType.Variant, arrayType: VariantArrayType.Array, value: array })
          : new Variant({ dataType, arrayType: VariantArrayType.Array, value: array }),
    });
  }

  const dynamicFolder = folder("Demo.Dynamic", "Dynamic", demo);
  const dynDouble = namespace.addVariable({
    componentOf: dynamicFolder,
    nodeId: ns("Demo.Dynamic.Double"),
    browseName: "Double",
    dataType: "Double",
    minimumSamplingInterval: 100,
    value: new Variant({ dataType: DataType.Double, value: 0 }),
  });
  const counter = namespace.addVariable({
    componentOf: dynamicFolder,
    nodeId: ns("Demo.Dynamic.Counter"),
    browseName: "Counter",
    dataType: "UInt32",
    minimumSamplingInterval: 100,
    value: new Variant({ dataType: DataType.UInt32, value: 0 }),
  });
  let count = 0;
  const started = Date.now();
  timers.push(
    setInterval(() => {
      count = (count + 1) >>> 0;
      const t = (Date.now() - started) / 1000;
      dynDouble.setValueFromSource(new Variant({ dataType: DataType.Double, value: Math.sin(t) * 100 }));
      counter.setValueFromSource(new Variant({ dataType: DataType.UInt32, value: count }));
    }, 100),
  );

  const loadFolder = folder("Demo.Load", "Load", demo);
  const loads = new Array(loadCount);
  for (let i = 0; i < loadCount; ++i) {
    loads[i] = namespace.addVariable({
      componentOf: loadFolder,
      nodeId: ns(`Demo.Load.${i}`),
      browseName: `Load${i}`,
      dataType: "Int32",
      minimumSamplingInterval: 1000,
      value: new Variant({ dataType: DataType.Int32, value: i }),
    });
  }
  let tick = 0;
  timers.push(
    setInterval(() => {
      tick += 1;
      for (let i = 0; i < loads.length; ++i) {
        loads[i].setValueFromSource(new Variant({ dataType: DataType.Int32, value: (tick + i) | 0 }));
      }
    }, 1000),
  );

  const methods = namespace.addObject({ organizedBy: demo, nodeId: ns("Demo.Methods"), browseName: "Methods" });
  const add = namespace.addMethod(methods, {
    nodeId: ns("Demo.Methods.Add"),
    browseName: "Add",
    inputArguments: [
      { name: "a", description: { text: "first addend" }, dataType: DataType.Double },
      { name: "b", description: { text: "second addend" }, dataType: DataType.Double },
    ],
    outputArguments: [{ name: "sum", description: { text: "a + b" }, dataType: DataType.Double }],
  });
  add.bindMethod((inputArguments, _context, callback) => {
    const sum = inputArguments[0].value + inputArguments[1].value;
    callback(null, {
      statusCode: StatusCodes.Good,
      outputArguments: [{ dataType: DataType.Double, value: sum }],
    });
  });

  const readOnlyFolder = folder("Demo.ReadOnly", "ReadOnly", demo);
  namespace.addVariable({
    componentOf: readOnlyFolder,
    nodeId: ns("Demo.ReadOnly.Int32"),
    browseName: "Int32",
    dataType: "Int32",
    accessLevel: "CurrentRead",
    userAccessLevel: "CurrentRead",
    value: new Variant({ dataType: DataType.Int32, value: 42 }),
  });

  const big = folder("Demo.Big", "Big", demo);
  for (let i = 0; i < 1200; ++i) {
    namespace.addVariable({
      organizedBy: big,
      nodeId: ns(`Demo.Big.${i}`),
      browseName: `Item${String(i).padStart(4, "0")}`,
      dataType: "Int32",
      value: new Variant({ dataType: DataType.Int32, value: i }),
    });
  }
}

async function main() {
  const timers = [];
  let server = null;
  let pkiDir = opts.pkiDir;
  const ownPki = pkiDir === "";
  if (ownPki) pkiDir = fs.mkdtempSync(path.join(os.tmpdir(), "varo-demo-pki-"));

  const removePki = () => {
    if (!ownPki) return;
    try {
      fs.rmSync(pkiDir, { recursive: true, force: true, maxRetries: 3 });
    } catch (err) {
      process.stderr.write(`demo-server: cannot remove ${pkiDir}: ${err.message}\n`);
    }
  };

  let stopping = false;
  const stop = async (code) => {
    if (stopping) return;
    stopping = true;
    for (const t of timers) clearInterval(t);
    try {
      if (server) await server.shutdown(0);
    } catch (err) {
      process.stderr.write(`demo-server: shutdown: ${err.message}\n`);
    }
    removePki();
    process.exit(code);
  };
  process.on("SIGTERM", () => stop(0));
  process.on("SIGINT", () => stop(0));
  if (opts.exitOnStdinClose) {
    process.stdin.on("end", () => stop(0));
    process.stdin.on("error", () => stop(0));
    process.stdin.resume();
  }

  try {
    const policies = [
      SecurityPolicy.None,
      SecurityPolicy.Basic128Rsa15,
      SecurityPolicy.Basic256,
      SecurityPolicy.Basic256Sha256,
      SecurityPolicy.Aes128_Sha256_RsaOaep,
      SecurityPolicy.Aes256_Sha256_RsaPss,
    ];
    const securityPolicies = pkcs1v15DecryptionAllowed()
      ? policies
      : (process.stderr.write(
          "demo-server: warning: RSA PKCS#1 v1.5 decryption is disabled in this Node; " +
            "Basic128Rsa15 is left out (start node with --security-revert=CVE-2023-46809)\n",
        ),
        policies.filter((p) => p !== SecurityPolicy.Basic128Rsa15));

    // Tokens shorter than the library's floor must be allowed for the renewal tests.
    try {
      const { ServerSecureChannelLayer } = require("node-opcua-secure-channel");
      if (ServerSecureChannelLayer.g_MinimumSecureTokenLifetime > opts.maxChannelLifetime) {
        ServerSecureChannelLayer.g_MinimumSecureTokenLifetime = opts.maxChannelLifetime;
      }
    } catch {
      // Older layouts keep the default floor.
    }
    Subscription.maxNotificationPerPublishHighLimit = opts.maxNotifications;
    // The library waits a second before it answers a bad Hello with an Error message; a test
    // peer answers at once.
    try {
      require("node-opcua-transport").ServerTCP_transport.throttleTime = 10;
    } catch {
      // Keep the library's delay.
    }

    const pki = await preparePki(pkiDir);
    const { certificateManager } = pki;
    const { certificateFile, privateKeyFile } = opts.chain ? prepareChain(pkiDir) : pki;
    const userCertificateManager = new OPCUACertificateManager({
      rootFolder: path.join(pkiDir, "user"),
      automaticallyAcceptUnknownCertificate: true,
    });
    await userCertificateManager.initialize();

    let port = opts.port;
    for (let attempt = 0; ; ++attempt) {
      const chosen = port !== 0 ? port : await findFreePort();
      server = new OPCUAServer({
        port: chosen,
        host: HOST,
        hostname: HOST,
        securityPolicies,
        securityModes: [MessageSecurityMode.None, MessageSecurityMode.Sign, MessageSecurityMode.SignAndEncrypt],
        allowAnonymous: true,
        userManager: {
          isValidUser: (userName, password) => userName === "demo" && password === "demo-password",
        },
        serverCertificateManager: certificateManager,
        userCertificateManager,
        certificateFile,
        privateKeyFile,
        defaultSecureTokenLifetime: opts.maxChannelLifetime,
        serverInfo: {
          applicationUri: APPLICATION_URI,
          productUri: "urn:varo:demo-server:product",
          applicationName: { text: "Varo Demo Server", locale: "en" },
        },
        buildInfo: { productName: "Varo Demo Server", manufacturerName: "Varo" },
        registerServerMethod: opcua.RegisterServerMethod.HIDDEN,
        disableDiscovery: false,
      });
      await server.initialize();
      buildAddressSpace(server, opts.loadCount, timers);
      try {
        await server.start();
        port = chosen;
        break;
      } catch (err) {
        // A free port taken by someone else between probe and listen: try another one.
        if (opts.port !== 0 || attempt >= 4) throw err;
        timers.forEach(clearInterval);
        timers.length = 0;
        await server.shutdown(0).catch(() => {});
        server = null;
      }
    }

    // Clients that ask for everything in one Browse still get at most this many references.
    server.on("request", (request) => {
      if (request.schema && request.schema.name === "BrowseRequest") {
        const asked = request.requestedMaxReferencesPerNode;
        if (opts.maxReferencesPerNode > 0 && (asked === 0 || asked > opts.maxReferencesPerNode)) {
          request.requestedMaxReferencesPerNode = opts.maxReferencesPerNode;
        }
      }
    });

    process.stdout.write(`READY opc.tcp://${HOST}:${port}\n`);
    // Nothing else goes to stdout: a fixture that stops reading the pipe after READY must
    // never see the server block on a full pipe.
    process.stdout.write = process.stderr.write.bind(process.stderr);
  } catch (err) {
    process.stderr.write(`demo-server: ${err && err.stack ? err.stack : err}\n`);
    for (const t of timers) clearInterval(t);
    removePki();
    process.exit(1);
  }
}

main();
