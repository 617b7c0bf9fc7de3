// SPDX-License-Identifier: MPL-2.0
#include "support/test_certs.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "support/test_files.h"

namespace varo::test {
namespace {

class IdentityStore {
 public:
  const TestIdentity& Get(size_t bits) {
    std::lock_guard lock(fLock);
    auto it = fIds.find(bits);
    if (it != fIds.end()) return it->second;
    if (!fDir) fDir = std::make_unique<TempDir>("varo-certs");
    const std::string name = "client" + std::to_string(bits);
    TestIdentity id;
    id.bits = bits;
    id.applicationUri = "urn:varo:test-client";
    id.certPath = fDir->Path(name + ".der").string();
    id.keyPath = fDir->Path(name + ".key").string();
    RunShell("openssl req -x509 -newkey rsa:" + std::to_string(bits) + " -nodes -sha256 -keyout " +
             ShellQuote(id.keyPath) + " -outform DER -out " + ShellQuote(id.certPath) +
             " -days 30 -subj '/CN=Varo Test Client/O=Varo' -addext " +
             "'subjectAltName=URI:" + id.applicationUri + ",DNS:localhost' -addext " +
             "'keyUsage=critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment' -addext " +
             "'extendedKeyUsage=clientAuth,serverAuth'");
    RunShell("openssl pkey -in " + ShellQuote(id.keyPath) + " -traditional -out " +
             fDir->Quoted(name + ".pkcs1.pem"));
    id.certDer = ReadFileBytes(id.certPath);
    id.keyPem = ReadFileBytes(id.keyPath);
    id.keyPkcs1Pem = fDir->Bytes(name + ".pkcs1.pem");
    return fIds.emplace(bits, std::move(id)).first->second;
  }

 private:
  std::mutex fLock;
  std::unique_ptr<TempDir> fDir;
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
