// SPDX-License-Identifier: MPL-2.0
// TVaroUAClient against node-opcua's own client, both talking to the same node-opcua demo
// server in the same run, security None, anonymous:
//   read_100x1000   1,000 Reads of the Value of ns=1;s=Demo.Load.0 .. 99
//   read_10000x1    one Read of the Value of ns=1;s=Demo.Load.0 .. 9999
//   connect         connect with session (CreateSession and ActivateSession), per connect
// Every figure is the CPU time of the client's process (all its threads, from
// CLOCK_PROCESS_CPUTIME_ID; the server is another process) and the wall time. Both clients
// ask for the same thing: string node ids parsed on every call, both time stamps, max age 0.
// Before the measured work each side connects once and reads once of each size unmeasured,
// so the figures are steady-state for both (node-opcua's JIT warm-up is left out).
//
// The rounds alternate: our client, then bench/client_node.js as a child process; the median
// of the rounds is reported, and the ratio ours/node-opcua of the medians.
//
//   bench_client [--url=opc.tcp://...] [--rounds=N] [--reads=N] [--connects=N]
//                [--node-client=PATH | --no-node]
// Without --url the demo server (tools/demo-server) is started for the run.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bench_support.h"
#include "support/demo_server.h"
#include "support/test_files.h"
#include "support/test_support.h"
#include "ua/client/ua_client.h"
#include "ua/security/native_provider.h"

namespace {

using varo::bench::ProcessCpuNs;

using namespace varo;
using namespace varo::ua;

constexpr int32_t kAttributeValue = 13;
constexpr int32_t kTimestampsBoth = 2;
constexpr int kBigCount = 10000;
constexpr int kSmallCount = 100;

struct Sample {
  double cpuNs = 0;
  double wallNs = 0;
};

int64_t WallNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class Stopwatch {
 public:
  Stopwatch() : fCpu(ProcessCpuNs()), fWall(WallNs()) {}
  Sample Elapsed(double aDivisor = 1) const {
    return {static_cast<double>(ProcessCpuNs() - fCpu) / aDivisor,
            static_cast<double>(WallNs() - fWall) / aDivisor};
  }

 private:
  int64_t fCpu;
  int64_t fWall;
};

std::vector<std::string> LoadNodeIds(int aCount) {
  std::vector<std::string> ids;
  ids.reserve(static_cast<size_t>(aCount));
  for (int i = 0; i < aCount; ++i) ids.push_back("ns=1;s=Demo.Load." + std::to_string(i));
  return ids;
}

struct Options {
  std::string url;
  int rounds = 3;
  int reads = 1000;
  int connects = 5;
  std::string nodeClient;  // empty: the default script
  bool node = true;
};

void Configure(TVaroUAClient& aClient, const std::string& aUrl) {
  aClient.SetUrl(aUrl);
  aClient.SetSecurityMode(uaSNone);
  aClient.SetSecurityPolicy(uaSPNone);
  aClient.UserLogin().SetAnonymous();
}

// Every value must have come back Good, or the figures would measure error paths.
void CheckValues(const std::vector<std::unique_ptr<uaDataValue>>& aValues, size_t aCount) {
  if (aValues.size() != aCount) {
    throw std::runtime_error("read gave " + std::to_string(aValues.size()) + " values for " +
                             std::to_string(aCount));
  }
  for (const auto& v : aValues) {
    if (!v || v->StatusCode != 0) {
      throw std::runtime_error("read gave a bad value: status " +
                               std::to_string(v ? v->StatusCode : 0xFFFFFFFFu));
    }
  }
}

std::map<std::string, Sample> RunOurs(const Options& aOpt) {
  std::map<std::string, Sample> out;
  const std::vector<std::string> small = LoadNodeIds(kSmallCount);
  const std::vector<std::string> big = LoadNodeIds(kBigCount);
  const std::vector<int32_t> attrs = {kAttributeValue};

  {  // Warm-up connect, not measured.
    TVaroUAClient c;
    Configure(c, aOpt.url);
    c.SetActive(true);
    c.SetActive(false);
  }
  {
    double cpu = 0, wall = 0;
    for (int i = 0; i < aOpt.connects; ++i) {
      TVaroUAClient c;
      Configure(c, aOpt.url);
      const Stopwatch sw;
      c.SetActive(true);
      const Sample s = sw.Elapsed();
      cpu += s.cpuNs;
      wall += s.wallNs;
      c.SetActive(false);
    }
    out["connect"] = {cpu / aOpt.connects, wall / aOpt.connects};
  }

  TVaroUAClient c;
  Configure(c, aOpt.url);
  c.SetActive(true);
  CheckValues(c.ReadNodeAttributes(small, attrs, kTimestampsBoth), small.size());
  CheckValues(c.ReadNodeAttributes(big, attrs, kTimestampsBoth), big.size());
  {
    const Stopwatch sw;
    for (int i = 0; i < aOpt.reads; ++i) {
      auto values = c.ReadNodeAttributes(small, attrs, kTimestampsBoth);
      if (values.size() != small.size()) throw std::runtime_error("short read");
    }
    out["read_100x" + std::to_string(aOpt.reads)] = sw.Elapsed();
  }
  {
    const Stopwatch sw;
    auto values = c.ReadNodeAttributes(big, attrs, kTimestampsBoth);
    out["read_10000x1"] = sw.Elapsed();
    CheckValues(values, big.size());
  }
  c.SetActive(false);
  return out;
}

// Runs the node-opcua client; its result lines read "result <task> <cpu_ns> <wall_ns>".
std::map<std::string, Sample> RunNode(const Options& aOpt, const std::string& aScript) {
  const std::string cmd = "node " + test::ShellQuote(aScript) + " --url " + test::ShellQuote(aOpt.url) +
                          " --reads " + std::to_string(aOpt.reads) + " --connects " +
                          std::to_string(aOpt.connects);
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(cmd.c_str(), "r"), pclose);
  if (!pipe) throw std::runtime_error("cannot run " + cmd);
  std::map<std::string, Sample> out;
  char line[512];
  while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
    char task[128];
    double cpu = 0, wall = 0;
    if (std::sscanf(line, "result %127s %lf %lf", task, &cpu, &wall) == 3) {
      out[task] = {cpu, wall};
    } else {
      std::fputs(line, stderr);
    }
  }
  const int status = pclose(pipe.release());
  if (status != 0) throw std::runtime_error("node client failed (status " + std::to_string(status) + ")");
  return out;
}

double Median(std::vector<double> aValues) {
  if (aValues.empty()) return 0;
  std::sort(aValues.begin(), aValues.end());
  const size_t n = aValues.size();
  return n % 2 ? aValues[n / 2] : (aValues[n / 2 - 1] + aValues[n / 2]) / 2;
}

bool TakeArg(std::string_view aArg, std::string_view aName, std::string& aValue) {
  if (aArg.size() <= aName.size() + 1 || aArg.substr(0, aName.size()) != aName || aArg[aName.size()] != '=')
    return false;
  aValue = std::string(aArg.substr(aName.size() + 1));
  return true;
}

int Usage() {
  std::fprintf(stderr,
               "usage: bench_client [--url=opc.tcp://HOST:PORT] [--rounds=N] [--reads=N] "
               "[--connects=N] [--node-client=PATH | --no-node]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    std::string v;
    if (TakeArg(arg, "--url", v)) {
      opt.url = v;
    } else if (TakeArg(arg, "--rounds", v)) {
      opt.rounds = std::max(1, std::atoi(v.c_str()));
    } else if (TakeArg(arg, "--reads", v)) {
      opt.reads = std::max(1, std::atoi(v.c_str()));
    } else if (TakeArg(arg, "--connects", v)) {
      opt.connects = std::max(1, std::atoi(v.c_str()));
    } else if (TakeArg(arg, "--node-client", v)) {
      opt.nodeClient = v;
    } else if (arg == "--no-node") {
      opt.node = false;
    } else {
      return Usage();
    }
  }

  try {
    RegisterNativeSecurityLib();
    std::optional<test::DemoServer> server;
    if (opt.url.empty()) {
      server.emplace();
      server->Start();
      opt.url = server->Url();
    }
    const std::string script =
        opt.nodeClient.empty() ? test::SourcePath("bench/client_node.js") : opt.nodeClient;
    if (opt.node && !std::filesystem::exists(script)) {
      std::fprintf(stderr, "no node client at %s\n", script.c_str());
      return 1;
    }
    std::printf("server %s, %d rounds, %d reads of %d nodes, one read of %d nodes, %d connects\n",
                opt.url.c_str(), opt.rounds, opt.reads, kSmallCount, kBigCount, opt.connects);

    std::map<std::string, std::vector<Sample>> ours, node;
    for (int r = 0; r < opt.rounds; ++r) {
      for (const auto& [task, s] : RunOurs(opt)) {
        ours[task].push_back(s);
        std::printf("round %d ours     %-16s cpu %10.3f ms  wall %10.3f ms\n", r + 1, task.c_str(),
                    s.cpuNs / 1e6, s.wallNs / 1e6);
      }
      if (!opt.node) continue;
      for (const auto& [task, s] : RunNode(opt, script)) {
        node[task].push_back(s);
        std::printf("round %d node     %-16s cpu %10.3f ms  wall %10.3f ms\n", r + 1, task.c_str(),
                    s.cpuNs / 1e6, s.wallNs / 1e6);
      }
      std::fflush(stdout);
    }

    // Medians of the rounds; the last column is the ratio of the best rounds (least disturbed
    // by other load on the machine).
    std::printf("\n%-16s %11s %11s %11s %11s %10s %10s %10s\n", "ms", "ours cpu", "node cpu", "ours wall",
                "node wall", "cpu ratio", "wall ratio", "best cpu");
    for (const auto& [task, samples] : ours) {
      std::vector<double> cpu, wall, ncpu, nwall;
      for (const Sample& s : samples) {
        cpu.push_back(s.cpuNs);
        wall.push_back(s.wallNs);
      }
      if (const auto it = node.find(task); it != node.end()) {
        for (const Sample& s : it->second) {
          ncpu.push_back(s.cpuNs);
          nwall.push_back(s.wallNs);
        }
      }
      const double oc = Median(cpu), ow = Median(wall), nc = Median(ncpu), nw = Median(nwall);
      const double ocBest = *std::min_element(cpu.begin(), cpu.end());
      const double ncBest = ncpu.empty() ? 0.0 : *std::min_element(ncpu.begin(), ncpu.end());
      auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
      std::printf("%-16s %11.3f %11.3f %11.3f %11.3f %10.3f %10.3f %10.3f\n", task.c_str(), oc / 1e6,
                  nc / 1e6, ow / 1e6, nw / 1e6, ratio(oc, nc), ratio(ow, nw), ratio(ocBest, ncBest));
    }
    std::printf("(ratio = ours/node-opcua; goal: cpu ratio at most 0.200)\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_client: %s\n", e.what());
    return 1;
  }
  return 0;
}
