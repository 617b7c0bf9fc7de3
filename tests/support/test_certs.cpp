// SPDX-License-Identifier: MPL-2.0
#include "support/test_certs.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace varo::test {
namespace {

namespace fs = std::filesystem;

class IdentityStore {
 public:
  ~IdentityStore() {
    std::error_code ec;
    if (!fDir.empty()) fs::remove_all(fDir, ec);
  }

  const TestIdentity& Get(size_t bits) {
    std::lock_guard lock(fLock);
    auto it = fIds.find(bits);
    if (it != fIds.end()) return it->second;
    if (fDir.empty()) {
      std::string tmpl = (fs::temp_directory_path() / "varo-certs-XXXXXX").string();
      if (!::mkdtemp(tmpl.data())) throw std::runtime_error("cannot create a temporary folder");
      fDir = tmpl;
    }
    const std::string base = (fDir / ("client" + std::to_string(bits))).string();
    TestIdentity id;
    id.bits = bits;
    id.applicationUri = "urn:varo:test-client";
    id.certPath = base + ".der";
    id.keyPath = base + ".key";
    Shell("openssl req -x509 -newkey rsa:" + std::to_string(bits) + " -nodes -sha256 -keyout '" + id.keyPath +
          "' -outform DER -out '" + id.certPath + "' -days 30 -subj '/CN=Varo Test Client/O=Varo' -addext " +
          "'subjectAltName=URI:" + id.applicationUri + ",DNS:localhost' -addext " +
          "'keyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment' -addext " +
          "'extendedKeyUsage=clientAuth,serverAuth'");
    Shell("openssl pkey -in '" + id.keyPath + "' -traditional -out '" + base + ".pkcs1.pem'");
    id.certDer = Read(id.certPath);
    id.keyPem = Read(id.keyPath);
    id.keyPkcs1Pem = Read(base + ".pkcs1.pem");
    return fIds.emplace(bits, std::move(id)).first->second;
  }

 private:
  static void Shell(const std::string& cmd) {
    const std::string quiet = cmd + " >/dev/null 2>&1";
    if (std::system(quiet.c_str()) != 0) throw std::runtime_error("command failed: " + cmd);
  }
  static ByteArray Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return ByteArray(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  std::mutex fLock;
  fs::path fDir;
  std::map<size_t, TestIdentity> fIds;
};

IdentityStore& Store() {
  static IdentityStore store;
  return store;
}

}  // namespace

const TestIdentity& ClientIdentity(size_t aBits) {
  return Store().Get(aBits);
}

}  // namespace varo::test
