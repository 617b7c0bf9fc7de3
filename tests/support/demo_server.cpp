// SPDX-License-Identifier: MPL-2.0
#include "support/demo_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/strings.h"
#include "support/test_support.h"

extern char** environ;

namespace varo::test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kReadyPrefix = "READY ";
constexpr std::string_view kUrlPrefix = "opc.tcp://127.0.0.1:";
// Bytes of stdout kept while waiting for READY, and of the log shown in a failure.
constexpr size_t kMaxStdoutBytes = 64 * 1024;
constexpr size_t kMaxLogBytes = 64 * 1024;
constexpr size_t kFailureLogBytes = 8 * 1024;

std::string ErrnoText(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The first executable called `name` in PATH, empty when there is none.
std::string FindInPath(std::string_view name) {
  const char* path = std::getenv("PATH");
  if (path == nullptr) return {};
  for (const std::string& dir : varo::Split(path, ':')) {
    std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + std::string(name);
    if (IsExecutableFile(candidate)) return candidate;
  }
  return {};
}

std::string DescribeStatus(int status) {
  if (WIFEXITED(status)) return "exit code " + varo::IntToStr(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + varo::IntToStr(WTERMSIG(status));
  return "status " + varo::IntToStr(status);
}

// waitpid that retries on EINTR; returns its result.
pid_t WaitPid(pid_t pid, int* status, int flags) {
  for (;;) {
    pid_t r = ::waitpid(pid, status, flags);
    if (r >= 0 || errno != EINTR) return r;
  }
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Parses "opc.tcp://127.0.0.1:PORT"; 0 when the text is not such a URL.
uint16_t PortOfUrl(std::string_view url) {
  if (!varo::StartsWith(url, kUrlPrefix)) return 0;
  std::string_view digits = url.substr(kUrlPrefix.size());
  unsigned value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size() || value == 0 || value > 65535) {
    return 0;
  }
  return static_cast<uint16_t>(value);
}

class SpawnActions {
 public:
  SpawnActions() {
    if (posix_spawn_file_actions_init(&fActions) != 0)
      throw std::runtime_error("posix_spawn_file_actions_init failed");
  }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&fActions); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  void Dup2(int fd, int target) {
    if (posix_spawn_file_actions_adddup2(&fActions, fd, target) != 0) {
      throw std::runtime_error("posix_spawn_file_actions_adddup2 failed");
    }
  }
  posix_spawn_file_actions_t* get() { return &fActions; }

 private:
  posix_spawn_file_actions_t fActions;
};

}  // namespace

DemoServer::DemoServer(DemoServerOptions options) : fOptions(options) {}

DemoServer::~DemoServer() {
  Stop();
}

DemoServer& DemoServer::Shared() {
  static DemoServer server;
  server.Start();
  return server;
}

bool DemoServer::Running() {
  if (fPid == 0) return false;
  int status = 0;
  if (WaitPid(fPid, &status, WNOHANG) == 0) return true;
  fPid = 0;
  fUrl.clear();
  fPort = 0;
  closeFds();
  return false;
}

void DemoServer::closeFds() {
  CloseFd(fStdinFd);
  CloseFd(fStdoutFd);
}

std::string DemoServer::LogTail() const {
  if (!fTempDir) return {};
  std::ifstream in(fTempDir->Path("server.log"), std::ios::binary | std::ios::ate);
  if (!in) return {};
  const std::streamoff size = in.tellg();
  const std::streamoff from =
      size > static_cast<std::streamoff>(kMaxLogBytes) ? size - static_cast<std::streamoff>(kMaxLogBytes) : 0;
  in.seekg(from);
  std::string text(static_cast<size_t>(size - from), '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  return text;
}

std::string DemoServer::describeFailure(const std::string& what) const {
  std::string log = LogTail();
  if (log.size() > kFailureLogBytes) log.erase(0, log.size() - kFailureLogBytes);
  std::string text = "demo server: " + what;
  text +=
      log.empty() ? "\n(the server wrote nothing to stderr)" : "\n--- end of the server's stderr ---\n" + log;
  return text;
}

void DemoServer::Start() {
  if (Running()) return;

  const std::string node = FindInPath("node");
  if (node.empty()) {
    throw std::runtime_error(
        "demo server: no `node` in PATH; install Node.js (scripts/deps) to run the "
        "interoperability tests, or set VARO_NO_DEMO_SERVER=1 to skip them");
  }
  const std::string script = SourcePath("tools/demo-server/server.js");
  if (!std::filesystem::exists(script)) throw std::runtime_error("demo server: missing " + script);
  if (!std::filesystem::exists(SourcePath("tools/demo-server/node_modules/node-opcua/package.json"))) {
    throw std::runtime_error(
        "demo server: node-opcua is not installed; run scripts/deps (it runs `npm ci` in "
        "tools/demo-server), or set VARO_NO_DEMO_SERVER=1 to skip these tests");
  }

  if (!fTempDir) fTempDir = std::make_unique<TempDir>("varo-demo");

  std::vector<std::string> args = {node,
                                   // Basic128Rsa15 needs RSA PKCS#1 v1.5 decryption, which
                                   // Node refuses without this flag (not allowed in
                                   // NODE_OPTIONS).
                                   "--security-revert=CVE-2023-46809", script, "--port", "0",
                                   "--exit-on-stdin-close", "--pki-dir", fTempDir->Path("pki").string()};
  auto addOption = [&](const char* flag, uint64_t value) {
    args.emplace_back(flag);
    args.push_back(varo::UIntToStr(value));
  };
  if (fOptions.maxChannelLifetimeMs != 0) addOption("--max-channel-lifetime", fOptions.maxChannelLifetimeMs);
  if (fOptions.maxNotifications != 0) addOption("--max-notifications", fOptions.maxNotifications);
  if (fOptions.loadCount >= 0) addOption("--load-count", static_cast<uint64_t>(fOptions.loadCount));
  if (fOptions.maxReferencesPerNode != 0)
    addOption("--max-references-per-node", fOptions.maxReferencesPerNode);
  if (fOptions.certificateChain) args.emplace_back("--chain");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int inPipe[2] = {-1, -1};
  int outPipe[2] = {-1, -1};
  if (::pipe2(inPipe, O_CLOEXEC) != 0) throw std::runtime_error(ErrnoText("demo server: pipe"));
  if (::pipe2(outPipe, O_CLOEXEC) != 0) {
    ::close(inPipe[0]);
    ::close(inPipe[1]);
    throw std::runtime_error(ErrnoText("demo server: pipe"));
  }
  const std::string logPath = fTempDir->Path("server.log").string();
  int logFd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  auto closeAll = [&] {
    for (int* fd : {&inPipe[0], &inPipe[1], &outPipe[0], &outPipe[1], &logFd}) CloseFd(*fd);
  };
  if (logFd < 0) {
    std::string err = ErrnoText(("demo server: cannot open " + logPath).c_str());
    closeAll();
    throw std::runtime_error(err);
  }

  pid_t pid = 0;
  int rc = 0;
  try {
    SpawnActions actions;
    actions.Dup2(inPipe[0], 0);
    actions.Dup2(outPipe[1], 1);
    actions.Dup2(logFd, 2);
    rc = ::posix_spawn(&pid, node.c_str(), actions.get(), nullptr, argv.data(), environ);
  } catch (...) {
    closeAll();
    throw;
  }
  CloseFd(inPipe[0]);
  CloseFd(outPipe[1]);
  CloseFd(logFd);
  if (rc != 0) {
    closeAll();
    throw std::runtime_error(std::string("demo server: posix_spawn ") + node + ": " + std::strerror(rc));
  }
  fPid = pid;
  fStdinFd = inPipe[1];
  fStdoutFd = outPipe[0];

  // Wait for the READY line; Node may print other lines before it.
  const auto deadline = Clock::now() + fOptions.startTimeout;
  std::string pending;
  for (;;) {
    size_t eol;
    while ((eol = pending.find('\n')) != std::string::npos) {
      std::string_view line = varo::TrimRight(std::string_view(pending).substr(0, eol));
      if (varo::StartsWith(line, kReadyPrefix)) {
        std::string url(line.substr(kReadyPrefix.size()));
        const uint16_t port = PortOfUrl(url);
        if (port == 0) {
          Kill();
          throw std::runtime_error(describeFailure("unexpected READY line \"" + std::string(line) + "\""));
        }
        fUrl = std::move(url);
        fPort = port;
        return;
      }
      pending.erase(0, eol + 1);
    }
    if (pending.size() > kMaxStdoutBytes) pending.clear();  // an endless line is not READY

    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      Kill();
      throw std::runtime_error(
          describeFailure("no READY line within " + varo::IntToStr(fOptions.startTimeout.count()) + " ms"));
    }
    pollfd pfd{fStdoutFd, POLLIN, 0};
    const int pr = ::poll(&pfd, 1, static_cast<int>(left.count()));
    if (pr < 0) {
      if (errno == EINTR) continue;
      const std::string err = ErrnoText("poll");
      Kill();
      throw std::runtime_error(describeFailure(err));
    }
    if (pr == 0) continue;
    char chunk[4096];
    const ssize_t n = ::read(fStdoutFd, chunk, sizeof chunk);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      const std::string err = ErrnoText("read");
      Kill();
      throw std::runtime_error(describeFailure(err));
    }
    if (n == 0) {
      // stdout closed before READY: the server has ended or is ending.
      int status = 0;
      std::string how = "closed its output";
      const auto until = Clock::now() + std::chrono::seconds(2);
      while (Clock::now() < until) {
        if (WaitPid(fPid, &status, WNOHANG) == fPid) {
          how = "exited with " + DescribeStatus(status);
          fPid = 0;
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (fPid != 0) Kill();
      closeFds();
      throw std::runtime_error(describeFailure("the server " + how + " before it was ready"));
    }
    pending.append(chunk, static_cast<size_t>(n));
  }
}

void DemoServer::reap(std::chrono::milliseconds wait) {
  if (fPid == 0) return;
  int status = 0;
  const auto until = Clock::now() + wait;
  while (WaitPid(fPid, &status, WNOHANG) == 0) {
    if (Clock::now() >= until) {
      ::kill(fPid, SIGKILL);
      WaitPid(fPid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  fPid = 0;
  fUrl.clear();
  fPort = 0;
  closeFds();
}

void DemoServer::Stop() {
  if (fPid == 0) return;
  ::kill(fPid, SIGTERM);
  reap(std::chrono::seconds(5));
}

void DemoServer::Kill() {
  if (fPid == 0) return;
  ::kill(fPid, SIGKILL);
  reap(std::chrono::seconds(5));
}

void DemoServer::Restart() {
  Stop();
  Start();
}

bool DemoServerDisabled() {
  const char* v = std::getenv("VARO_NO_DEMO_SERVER");
  return v != nullptr && *v != '\0';
}

::testing::AssertionResult EnsureDemoServer(DemoServer& server) {
  try {
    server.Start();
    return ::testing::AssertionSuccess();
  } catch (const std::exception& e) {
    return ::testing::AssertionFailure() << e.what();
  }
}

}  // namespace varo::test
