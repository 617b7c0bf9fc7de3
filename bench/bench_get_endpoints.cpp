// SPDX-License-Identifier: MPL-2.0
// GetEndpoints round trips over an open secure channel with security None, against the
// node-opcua demo server: requests per second (wall time) and the client's CPU time per 1,000
// requests (CLOCK_PROCESS_CPUTIME_ID: every thread of this process, the receive thread
// included; the server is another process and is not counted). One request is in flight at a
// time, as a synchronous caller sends them.
//
// After the benchmark, node-opcua's own client (bench/getendpoints_node_client.js) does the
// same work against the same server in the same run, and both figures are printed with the
// ratio ours/node-opcua.
//
//   bench_get_endpoints [--url=opc.tcp://...] [--node-requests=N] [--no-node] [benchmark flags]
// Without --url the demo server (tools/demo-server) is started for the run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.h"
#include "support/demo_server.h"
#include "support/stack_session.h"
#include "support/test_files.h"
#include "support/test_support.h"
#include "ua/encoding/service_types.h"

namespace {

using varo::bench::ProcessCpuNs;

using varo::test::StackSession;
using namespace varo::ua;

std::string gUrl;

struct Figures {
  double requestsPerSecond = 0;
  double cpuMsPer1000 = 0;
};
Figures gOurs;

void BM_GetEndpoints(benchmark::State& state) {
  StackSession s;
  try {
    s.Connect(gUrl);
    s.Open();
  } catch (const std::exception& e) {
    state.SkipWithError(e.what());
    return;
  }
  uaGetEndpointsRequest req;
  req.EndpointUrl = gUrl;
  for (int i = 0; i < 100; ++i) s.Call<uaGetEndpointsResponse>(req);  // warm-up, unmeasured

  size_t endpoints = 0;
  const auto wall0 = std::chrono::steady_clock::now();
  const int64_t cpu0 = ProcessCpuNs();
  for (auto _ : state) {
    auto resp = s.Call<uaGetEndpointsResponse>(req);
    endpoints = resp->Endpoints.size();
    benchmark::DoNotOptimize(endpoints);
  }
  const double cpuNs = static_cast<double>(ProcessCpuNs() - cpu0);
  const double wallS = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  s.Close();
  const double n = static_cast<double>(state.iterations());
  state.counters["req_per_s"] = n / wallS;
  state.counters["cpu_ms_per_1000"] = cpuNs / 1e6 / (n / 1000.0);
  state.counters["endpoints"] = static_cast<double>(endpoints);
  // The last run is the measured one (earlier runs only size the iteration count).
  gOurs.cpuMsPer1000 = cpuNs / 1e6 / (n / 1000.0);
  gOurs.requestsPerSecond = n / wallS;
}
BENCHMARK(BM_GetEndpoints)->UseRealTime()->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// Runs the node-opcua client; false (with the reason printed) when it cannot.
bool RunNodeReference(int aRequests, Figures& aOut) {
  const std::string script = varo::test::SourcePath("bench/getendpoints_node_client.js");
  if (!std::filesystem::exists(varo::test::SourcePath("bench/node_modules/node-opcua/package.json"))) {
    std::fprintf(stderr, "node-opcua reference skipped: run scripts/deps (npm ci in bench/)\n");
    return false;
  }
  const std::string cmd = "node " + varo::test::ShellQuote(script) + " --url " +
                          varo::test::ShellQuote(gUrl) + " --requests " + std::to_string(aRequests) + " 2>&1";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) {
    std::perror("popen");
    return false;
  }
  std::string out;
  char buf[4096];
  size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int rc = ::pclose(p);
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream f(line);
    std::string word, task;
    long long requests = 0, cpuNs = 0, wallNs = 0;
    if (f >> word >> task >> requests >> cpuNs >> wallNs && word == "result" && task == "getendpoints" &&
        requests > 0 && wallNs > 0) {
      aOut.requestsPerSecond = static_cast<double>(requests) / (static_cast<double>(wallNs) / 1e9);
      aOut.cpuMsPer1000 = static_cast<double>(cpuNs) / 1e6 / (static_cast<double>(requests) / 1000.0);
      return true;
    }
  }
  std::fprintf(stderr, "node-opcua reference failed (status %d):\n%s\n", rc, out.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  bool node = true;
  int nodeRequests = 3000;
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    const std::string a = argv[i];
    if (a.rfind("--url=", 0) == 0)
      gUrl = a.substr(6);
    else if (a == "--no-node")
      node = false;
    else if (a.rfind("--node-requests=", 0) == 0)
      nodeRequests = std::max(1, std::atoi(a.c_str() + 16));
    else
      rest.push_back(argv[i]);
  }
  std::unique_ptr<varo::test::DemoServer> server;
  if (gUrl.empty()) {
    server = std::make_unique<varo::test::DemoServer>();
    try {
      server->Start();
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
      return 1;
    }
    gUrl = server->Url();
  }

  int restc = static_cast<int>(rest.size());
  benchmark::Initialize(&restc, rest.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  if (!node || gOurs.requestsPerSecond <= 0) return 0;
  Figures ref;
  if (!RunNodeReference(nodeRequests, ref)) return 0;
  std::printf("\nGetEndpoints over security None, same server, one request at a time:\n");
  std::printf("  %-12s %10.0f requests/s  %8.2f ms client CPU per 1,000 requests\n", "ours",
              gOurs.requestsPerSecond, gOurs.cpuMsPer1000);
  std::printf("  %-12s %10.0f requests/s  %8.2f ms client CPU per 1,000 requests\n", "node-opcua",
              ref.requestsPerSecond, ref.cpuMsPer1000);
  std::printf("  ratio ours/node-opcua: requests/s %.2f, CPU per request %.2f\n",
              gOurs.requestsPerSecond / ref.requestsPerSecond, gOurs.cpuMsPer1000 / ref.cpuMsPer1000);
  return 0;
}
