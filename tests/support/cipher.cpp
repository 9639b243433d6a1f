// cipher.cpp: reference AES and the CryptoDaemon stand-in (see cipher.h).
#include "cipher.h"

#include <openssl/evp.h>

#include <cstdlib>

namespace rpd::test {

Bytes aes(bool encrypt, const Bytes &key, const uint8_t *in, size_t n) {
  Bytes out(n + 32);
  EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
  int a = 0, b = 0;
  EVP_CipherInit_ex(c, EVP_aes_256_ecb(), nullptr, key.data(), nullptr, encrypt ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(c, 0);
  EVP_CipherUpdate(c, out.data(), &a, in, (int)n);
  EVP_CipherFinal_ex(c, out.data() + a, &b);
  EVP_CIPHER_CTX_free(c);
  out.resize((size_t)(a + b));
  return out;
}

static std::vector<std::string> cryptoArgs(const std::string &keyFile, const std::vector<std::string> &extra) {
  std::vector<std::string> argv{program("appliance/cryptodaemon"), "-k", keyFile, "-p", "0"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return argv;
}

CryptoDaemon::CryptoDaemon(const std::string &keyFile, const std::vector<std::string> &extraArgs)
    : Child(cryptoArgs(keyFile, extraArgs)) {}

int CryptoDaemon::port() const {
  size_t colon = line().rfind(':');
  return colon == std::string::npos ? 0 : atoi(line().c_str() + colon + 1);
}

}  // namespace rpd::test
