// SPDX-License-Identifier: MPL-2.0
//
// node-opcua's own client doing the work of bench_get_endpoints, the reference of its ratio.
//
//   node bench/getendpoints_node_client.js --url opc.tcp://127.0.0.1:PORT [--requests N]
//
// Connects without a session over security None, asks GetEndpoints 100 times unmeasured (the
// JIT warmed up), then N times measured, one request after the other on the open channel.
//
// Output: one line on stdout,
//   "result getendpoints <requests> <cpu_ns> <wall_ns> <requests_per_s> <cpu_ms_per_1000>"
// where the CPU time is process.cpuUsage() (user + system, every thread of this process).
"use strict";

const os = require("node:os");
const path = require("node:path");
const { OPCUAClient, OPCUACertificateManager, MessageSecurityMode, SecurityPolicy } = require("node-opcua");

function parseArgs(argv) {
  const opts = { url: "", requests: 2000 };
  for (let i = 0; i < argv.length; i++) {
    const a = argv[i];
    if (a === "--url" && i + 1 < argv.length) opts.url = argv[++i];
    else if (a === "--requests" && i + 1 < argv.length) opts.requests = Math.max(1, parseInt(argv[++i], 10));
    else throw new Error(`unknown argument ${a}`);
  }
  if (!opts.url) throw new Error("--url is required");
  return opts;
}

async function main() {
  const opts = parseArgs(process.argv.slice(2));
  // A private PKI folder: security None needs no certificate exchange, but the client wants one.
  const pki = path.join(os.tmpdir(), `varo-bench-getendpoints-${process.pid}`);
  const clientCertificateManager = new OPCUACertificateManager({ rootFolder: pki, automaticallyAcceptUnknownCertificate: true });
  const client = OPCUAClient.create({
    applicationName: "varo-bench-getendpoints",
    endpointMustExist: false,
    securityMode: MessageSecurityMode.None,
    securityPolicy: SecurityPolicy.None,
    connectionStrategy: { maxRetry: 0 },
    clientCertificateManager,
  });
  await client.connect(opts.url);
  const ask = () => client.getEndpoints({ endpointUrl: opts.url });
  for (let i = 0; i < 100; i++) await ask();
  const endpoints = (await ask()).length;
  if (endpoints === 0) throw new Error("the server listed no endpoints");

  const cpu0 = process.cpuUsage();
  const t0 = process.hrtime.bigint();
  for (let i = 0; i < opts.requests; i++) await ask();
  const wallNs = Number(process.hrtime.bigint() - t0);
  const cpu = process.cpuUsage(cpu0);
  const cpuNs = (cpu.user + cpu.system) * 1000;

  await client.disconnect();
  const perSecond = opts.requests / (wallNs / 1e9);
  const cpuMsPer1000 = cpuNs / 1e6 / (opts.requests / 1000);
  console.log(
    `result getendpoints ${opts.requests} ${cpuNs} ${wallNs} ${perSecond.toFixed(1)} ${cpuMsPer1000.toFixed(2)}`,
  );
}

main().then(
  () => process.exit(0),
  (err) => {
    console.error(err && err.stack ? err.stack : String(err));
    process.exit(1);
  },
);
