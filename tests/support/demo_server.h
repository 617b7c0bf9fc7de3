// SPDX-License-Identifier: MPL-2.0
// Runs the node-opcua demo server (tools/demo-server/server.js) as a child process for the
// interoperability tests.
//
// The server is started with `node` from PATH, listens on a free loopback port and announces
// itself with a "READY opc.tcp://127.0.0.1:PORT" line on stdout. Its stdin is a pipe held by
// this process, so the server also ends when the test binary dies without cleaning up. Its
// stderr goes to a log file in a private temporary folder, which also holds the server's PKI
// folder; a failed start reports the end of that log.
//
// A DemoServer is used from one thread (the test's main thread).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/test_files.h"

namespace varo::test {

struct DemoServerOptions {
  // Longest secure channel token lifetime the server grants, in ms (0: server default).
  uint32_t maxChannelLifetimeMs = 0;
  // Cap on notifications per PublishResponse (0: server default, 1000).
  uint32_t maxNotifications = 0;
  // Number of load variables ns=1;s=Demo.Load.<i> (-1: server default, DEMO_LOAD_COUNT or
  // 10000).
  int32_t loadCount = -1;
  // Cap on references per Browse result (0: server default, 1000).
  uint32_t maxReferencesPerNode = 0;
  // Serve a CA-signed leaf certificate and send it with its CA (server.js --chain).
  bool certificateChain = false;
  // How long to wait for the READY line.
  std::chrono::milliseconds startTimeout{20000};
};

class DemoServer {
 public:
  explicit DemoServer(DemoServerOptions options = {});
  ~DemoServer();  // stops the server and removes its temporary folder
  DemoServer(const DemoServer&) = delete;
  DemoServer& operator=(const DemoServer&) = delete;

  // Starts the server unless it is running. Raises std::runtime_error, with what the server
  // printed, when node or the installed packages are missing, the server exits, or no READY
  // line arrives in time.
  void Start();
  // SIGTERM, up to 5 s to exit, then SIGKILL; the child is always reaped.
  void Stop();
  // SIGKILL and reap, as a crash of the server would look to a client.
  void Kill();
  // Stop() then Start(); the server keeps its certificate (same PKI folder).
  void Restart();
  // True while the child has not exited (reaps it when it has).
  bool Running();

  // Endpoint URL ("opc.tcp://127.0.0.1:PORT") and port of the running server.
  const std::string& Url() const { return fUrl; }
  uint16_t Port() const { return fPort; }
  // Process id of the running server, 0 when none.
  pid_t Pid() const { return fPid; }
  const DemoServerOptions& Options() const { return fOptions; }
  // The server's stderr so far (bounded to the last 64 KiB).
  std::string LogTail() const;

  // The instance shared by a test binary, created with default options on first use and
  // started there; it is stopped when the program exits.
  static DemoServer& Shared();

 private:
  void closeFds();
  void reap(std::chrono::milliseconds wait);
  std::string describeFailure(const std::string& what) const;

  DemoServerOptions fOptions;
  std::unique_ptr<TempDir> fTempDir;  // log file and PKI folder, made on the first start
  std::string fUrl;
  uint16_t fPort = 0;
  pid_t fPid = 0;
  int fStdinFd = -1;   // write end of the child's stdin
  int fStdoutFd = -1;  // read end of the child's stdout
};

// True when VARO_NO_DEMO_SERVER is set (non-empty): tests that need the server skip.
bool DemoServerDisabled();

// Starts the server if needed; the failure text tells why it could not.
::testing::AssertionResult EnsureDemoServer(DemoServer& server);

}  // namespace varo::test

// In a test body: skips when VARO_NO_DEMO_SERVER is set, otherwise fails the test unless the
// server is running.
#define VARO_REQUIRE_DEMO_SERVER(server)                                                  \
  do {                                                                                    \
    if (::varo::test::DemoServerDisabled()) GTEST_SKIP() << "VARO_NO_DEMO_SERVER is set"; \
    ASSERT_TRUE(::varo::test::EnsureDemoServer(server));                                  \
  } while (0)
