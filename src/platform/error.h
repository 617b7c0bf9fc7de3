// SPDX-License-Identifier: MPL-2.0
// Exception types of the platform layer. Every failure of the system is an exception that
// carries the message text the user sees.
#pragma once

#include <stdexcept>
#include <string>

namespace varo {

// Base of all exceptions raised by the system's own code.
class EVaroError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A text, number, GUID or date-time conversion failed (bad text, value out of range).
class EConvertError : public EVaroError {
 public:
  using EVaroError::EVaroError;
};

// A variant value could not be converted to the requested type.
class EVariantError : public EConvertError {
 public:
  using EConvertError::EConvertError;
};

// A read past the end of a byte stream.
class EReadError : public EVaroError {
 public:
  using EVaroError::EVaroError;
};

}  // namespace varo
