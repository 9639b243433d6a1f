// cipher.h: encryption helpers of the tests: a reference AES-256-ECB (no
// padding) straight from OpenSSL, and the CryptoDaemon stand-in run as a
// child process for the scope.
#pragma once

#include <string>
#include <vector>

#include "files.h"
#include "process.h"

namespace rpd::test {

// AES-256-ECB of n bytes without padding (n a multiple of 16).
Bytes aes(bool encrypt, const Bytes &key, const uint8_t *in, size_t n);
inline Bytes aes(bool encrypt, const Bytes &key, const Bytes &in) { return aes(encrypt, key, in.data(), in.size()); }

// The cryptodaemon stand-in with the key in `keyFile`, on a free port; it
// writes its state file under RPD_SYSROOT. Ready once it printed its port.
class CryptoDaemon : public Child {
 public:
  explicit CryptoDaemon(const std::string &keyFile, const std::vector<std::string> &extraArgs = {});
  int port() const;
};

}  // namespace rpd::test
