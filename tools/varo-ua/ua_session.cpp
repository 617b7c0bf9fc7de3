// SPDX-License-Identifier: MPL-2.0
#include "ua_session.h"

#include <fstream>
#include <iterator>

#include "platform/strings.h"

namespace varo::tool {

namespace {

ua::TuaSecureMode ModeFromName(const std::string& aName) {
  if (SameText(aName, "None")) return ua::uaSNone;
  if (SameText(aName, "Sign")) return ua::uaSSign;
  if (SameText(aName, "SignAndEncrypt")) return ua::uaSSignAndEncrypt;
  throw UsageError{"unknown security mode " + aName};
}

ua::TuaSecurePolicy PolicyFromName(const std::string& aName) {
  static const std::pair<const char*, ua::TuaSecurePolicy> kPolicies[] = {
      {"None", ua::uaSPNone},
      {"Basic128Rsa15", ua::uaSPBasic128Rsa15},
      {"Basic256", ua::uaSPBasic256},
      {"Basic256Sha256", ua::uaSPBasic256Sha256},
      {"Aes128_Sha256_RsaOaep", ua::uaSPAes128_Sha256_RsaOaep},
      {"Aes256_Sha256_RsaPss", ua::uaSPAes256_Sha256_RsaPss},
  };
  for (const auto& [name, policy] : kPolicies) {
    if (SameText(aName, name)) return policy;
  }
  throw UsageError{"unknown security policy " + aName};
}

ByteArray ReadFileBytes(const std::string& aPath) {
  std::ifstream in(aPath, std::ios::binary);
  if (!in) throw EVaroError("cannot open " + aPath);
  return ByteArray(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

std::unique_ptr<ua::TVaroUAClient> ConnectClient(const Args& aArgs, const std::string& aUrl,
                                                 bool aSessionLess) {
  auto client = std::make_unique<ua::TVaroUAClient>();
  client->SetUrl(aUrl);
  client->SetSessionLess(aSessionLess);
  client->SetSecurityMode(ModeFromName(aArgs.mode));
  client->SetSecurityPolicy(PolicyFromName(aArgs.policy));
  client->SetSecurityLib(aArgs.openssl ? ua::uaSOpenSSL : ua::uaSNative);
  client->SetProxy(aArgs.proxy);
  client->SetTimeout(aArgs.timeoutMs);
  client->SetTimeoutConnect(aArgs.timeoutMs);
  if (!aArgs.user.empty()) client->UserLogin().SetUser(aArgs.user, aArgs.password);
  if (aArgs.certFile.empty() != aArgs.keyFile.empty()) {
    throw UsageError{"--cert and --key go together"};
  }
  if (!aArgs.certFile.empty()) {
    client->SetPublicKey(ReadFileBytes(aArgs.certFile));
    client->SetPrivateKey(ReadFileBytes(aArgs.keyFile));
  }
  client->SetActive(true);
  if (!client->Active()) throw EVaroError("not connected to " + aUrl);
  return client;
}

void CloseClient(ua::TVaroUAClient& aClient) noexcept {
  try {
    aClient.SetActive(false);
  } catch (...) {
  }
}

std::string SecurityModeName(int32_t aMode) {
  switch (aMode) {
    case ua::uaSNone:
      return "None";
    case ua::uaSSign:
      return "Sign";
    case ua::uaSSignAndEncrypt:
      return "SignAndEncrypt";
    default:
      return IntToStr(aMode);
  }
}

std::string NodeClassName(int32_t aNodeClass) {
  switch (aNodeClass) {
    case 1:
      return "Object";
    case 2:
      return "Variable";
    case 4:
      return "Method";
    case 8:
      return "ObjectType";
    case 16:
      return "VariableType";
    case 32:
      return "ReferenceType";
    case 64:
      return "DataType";
    case 128:
      return "View";
    default:
      return IntToStr(aNodeClass);
  }
}

std::string TimestampText(TDateTime aUtc) {
  if (aUtc == kNullDateTime) return {};
  return DateTimeToIso8601(aUtc);
}

}  // namespace varo::tool
