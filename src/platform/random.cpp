// SPDX-License-Identifier: MPL-2.0
#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>
#include <system_error>

#include "platform/error.h"

namespace varo {

void SecureRandom(void* dst, size_t n) {
  auto* p = static_cast<uint8_t*>(dst);
  size_t done = 0;
  while (done < n) {
    ssize_t got = getrandom(p + done, n - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw EVaroError("Secure random source failed: " + std::system_category().message(errno));
    }
    if (got == 0) throw EVaroError("Secure random source failed: no data");
    done += static_cast<size_t>(got);
  }
}

ByteArray SecureRandomBytes(size_t n) {
  ByteArray r(n);
  SecureRandom(r.data(), n);
  return r;
}

}  // namespace varo
