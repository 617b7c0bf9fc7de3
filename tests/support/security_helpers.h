// SPDX-License-Identifier: MPL-2.0
// Helpers of the security tests: the text of a security error, and a provider slot restored
// when a test that re-registers it ends.
#pragma once

#include <string>
#include <utility>

#include "ua/security/provider.h"
#include "ua/security/security_error.h"

namespace varo::test {

// The message of the EuaSecurityError that f raises, or "" when it raises none.
template <class F>
std::string SecurityErrorOf(F&& f) {
  try {
    std::forward<F>(f)();
  } catch (const ua::EuaSecurityError& e) {
    return e.what();
  }
  return "";
}

// Restores a slot's factory when the test ends, so that providers registered by their
// modules stay in place.
class SavedSlot {
 public:
  explicit SavedSlot(ua::TuaSecurityLib lib) : lib_(lib), saved_(ua::SecurityLibClasses::Factory(lib)) {}
  ~SavedSlot() { ua::SecurityLibClasses::Register(lib_, saved_); }
  SavedSlot(const SavedSlot&) = delete;
  SavedSlot& operator=(const SavedSlot&) = delete;

 private:
  ua::TuaSecurityLib lib_;
  ua::uaSecurityFactory saved_;
};

}  // namespace varo::test
