// SPDX-License-Identifier: MPL-2.0
//
// node-opcua's own client doing the work of bench_client, the reference of its ratios.
//
//   node bench/client_node.js --url opc.tcp://127.0.0.1:PORT [--reads N] [--connects N]
//
// Security None, anonymous. Tasks, measured after one unmeasured connect and one
// unmeasured read of each size (steady state, the JIT warmed up):
//   read_100x<N>   N session.read calls of the Value of ns=1;s=Demo.Load.0 .. 99
//   read_10000x1   one session.read of the Value of ns=1;s=Demo.Load.0 .. 9999
//   connect        client.connect plus createSession, averaged over the connects
// Node ids are given as text, so they are parsed on every call (as bench_client does), and
// session.read asks for both time stamps with max age 0.
//
// Output: one line per task on stdout, "result <task> <cpu_ns> <wall_ns>", where the CPU
// time is process.cpuUsage() (user + system, every thread of this process).
"use strict";

const os = require("node:os");
const path = require("node:path");
const {
  OPCUAClient,
  OPCUACertificateManager,
  MessageSecurityMode,
  SecurityPolicy,
  AttributeIds,
  StatusCodes,
} = require("node-opcua");

function parseArgs(argv) {
  const opts = { url: "", reads: 1000, connects: 5 };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    const next = () => {
      if (i + 1 >= argv.length) throw new Error(`${a} needs a value`);
      return argv[++i];
    };
    if (a === "--url") opts.url = next();
    else if (a === "--reads") opts.reads = Math.max(1, parseInt(next(), 10));
    else if (a === "--connects") opts.connects = Math.max(1, parseInt(next(), 10));
    else throw new Error(`unknown option ${a}`);
  }
  if (!opts.url) throw new Error("--url is required");
  return opts;
}

// The client's own certificate store (made on first use, kept for later runs) lives in the
// temporary folder rather than in the user's configuration folder.
const certificateManager = new OPCUACertificateManager({
  rootFolder: path.join(os.tmpdir(), "varo-bench-node-client-pki"),
  automaticallyAcceptUnknownCertificate: true,
});

function newClient() {
  return OPCUAClient.create({
    applicationName: "varo-bench-node-client",
    securityMode: MessageSecurityMode.None,
    securityPolicy: SecurityPolicy.None,
    connectionStrategy: { maxRetry: 0, initialDelay: 100, maxDelay: 200 },
    clientCertificateManager: certificateManager,
  });
}

function cpuNs() {
  const u = process.cpuUsage();
  return (u.user + u.system) * 1000;
}

function wallNs() {
  return Number(process.hrtime.bigint());
}

function report(task, cpu, wall) {
  process.stdout.write(`result ${task} ${Math.round(cpu)} ${Math.round(wall)}\n`);
}

const loadIds = (count) => Array.from({ length: count }, (_, i) => `ns=1;s=Demo.Load.${i}`);

// A fresh request list each call: session.read resolves the node ids of what it is given.
const readList = (ids) => ids.map((nodeId) => ({ nodeId, attributeId: AttributeIds.Value }));

function check(values, count) {
  if (values.length !== count) throw new Error(`read gave ${values.length} values for ${count}`);
  for (const v of values) {
    if (v.statusCode !== StatusCodes.Good) throw new Error(`read gave a bad value: ${v.statusCode.toString()}`);
  }
}

async function connectSession(url) {
  const client = newClient();
  await client.connect(url);
  const session = await client.createSession();
  return { client, session };
}

async function close({ client, session }) {
  await session.close();
  await client.disconnect();
}

async function main() {
  const opts = parseArgs(process.argv.slice(2));
  const small = loadIds(100);
  const big = loadIds(10000);

  await close(await connectSession(opts.url)); // warm-up

  let cpu = 0;
  let wall = 0;
  for (let i = 0; i < opts.connects; i++) {
    const c0 = cpuNs();
    const w0 = wallNs();
    const pair = await connectSession(opts.url);
    cpu += cpuNs() - c0;
    wall += wallNs() - w0;
    await close(pair);
  }
  report("connect", cpu / opts.connects, wall / opts.connects);

  const pair = await connectSession(opts.url);
  const { session } = pair;
  check(await session.read(readList(small)), small.length);
  check(await session.read(readList(big)), big.length);

  {
    const c0 = cpuNs();
    const w0 = wallNs();
    for (let i = 0; i < opts.reads; i++) {
      const values = await session.read(readList(small));
      if (values.length !== small.length) throw new Error("short read");
    }
    report(`read_100x${opts.reads}`, cpuNs() - c0, wallNs() - w0);
  }
  {
    const c0 = cpuNs();
    const w0 = wallNs();
    const values = await session.read(readList(big));
    report("read_10000x1", cpuNs() - c0, wallNs() - w0);
    check(values, big.length);
  }
  await close(pair);
}

main().then(
  () => process.exit(0),
  (err) => {
    process.stderr.write(`client_node: ${err && err.stack ? err.stack : err}\n`);
    process.exit(1);
  },
);
