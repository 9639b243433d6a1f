// crypto.cpp: own cryption for CDlib clients: whether this process does
// AES itself, and the OpenSSL AES-256-ECB engine it then uses.
//
// The decision has two halves: the inlineCryption switch of master.ini,
// and what the platform offers (a crypto card that the daemon drives, or
// enough CPU threads / the "encryption" platform capability for software).
// Both the capability and the OpenSSL set-up are made once per process.
#include "store/crypto.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "lib/config.h"
#include "lib/handles.h"
#include "lib/ini.h"
#include "lib/logger.h"
#include "lib/syspath.h"
#include "store/hardcompress.h"

namespace {

constexpr int kRequiredThreads = 2;
constexpr int kAesKeyBytes = 32;

// Guards g_capability, g_cardFd and g_opensslReady.
std::mutex g_cryptoMutex;
int g_capability = -1;  // -1 undecided, else cryptoLocalCapability()'s answer
int g_cardFd = -1;      // the card, kept open while it is in use
bool g_opensslReady = false;

// The number of "CPU" columns in the first line of the interrupt table.
int countCpuThreads() {
  UniqueFile f(fopen(sysPath("/proc/interrupts").c_str(), "r"));
  if (!f) return 0;
  char line[8192];
  if (fgets(line, sizeof line, f.get()) == nullptr) return 0;
  int n = 0;
  for (const char *p = line; (p = strstr(p, "CPU")) != nullptr; p += 3) n++;
  return n;
}

// 1 when the platform capability file lists "encryption" as a whole line.
bool platformListsEncryption() {
  UniqueFile f(fopen(sysPath("/var/opt/kestrelon/platform_capabilities").c_str(), "r"));
  if (!f) return false;
  char line[256];
  while (fgets(line, sizeof line, f.get())) {
    line[strcspn(line, "\r\n")] = '\0';
    if (strcmp(line, "encryption") == 0) return true;
  }
  return false;
}

// Sets up OpenSSL once. The default provider uses the processor's AES
// instructions by itself, so no separate engine has to be loaded.
void initOpenssl() {
  std::lock_guard<std::mutex> lock(g_cryptoMutex);
  if (g_opensslReady) return;
  vxLog(3, "CD pid %d encrypt initializing openssl.", (int)getpid());
  OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  g_opensslReady = true;
}

const char *opensslText() {
  static thread_local char text[256];
  unsigned long e = ERR_get_error();
  if (e == 0) return "unknown error";
  ERR_error_string_n(e, text, sizeof text);
  return text;
}

// AES-256-ECB over whole units in one direction.
int aesChunk(bool encrypt, const uint8_t *key, int keyLength, const void *in, void *out, int length) {
  const char *who = encrypt ? "softwareEncryptChunk" : "softwareDecryptChunk";
  initOpenssl();
  if (key == nullptr || keyLength < kAesKeyBytes) {
    vxLog(0, "%s: bad key length %d\n", who, keyLength);
    return -1;
  }
  if (length <= 0 || length % 16 != 0) {
    vxLog(0, "%s: bad data length %d\n", who, length);
    return -1;
  }
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  if (ctx == nullptr) {
    vxLog(0, "%s: EVP_CIPHER_CTX_new: %s", who, opensslText());
    return -1;
  }
  int produced = -1, n = 0, tail = 0;
  int ok = encrypt ? EVP_EncryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key, nullptr)
                   : EVP_DecryptInit_ex(ctx, EVP_aes_256_ecb(), nullptr, key, nullptr);
  if (ok != 1) {
    vxLog(0, "%s: %s: %s", who, encrypt ? "EVP_EncryptInit_ex" : "EVP_DecryptInit_ex", opensslText());
  } else {
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    ok = encrypt ? EVP_EncryptUpdate(ctx, (unsigned char *)out, &n, (const unsigned char *)in, length)
                 : EVP_DecryptUpdate(ctx, (unsigned char *)out, &n, (const unsigned char *)in, length);
    if (ok != 1) {
      vxLog(0, "%s: %s: %s", who, encrypt ? "EVP_EncryptUpdate" : "EVP_DecryptUpdate", opensslText());
    } else {
      ok = encrypt ? EVP_EncryptFinal_ex(ctx, (unsigned char *)out + n, &tail)
                   : EVP_DecryptFinal_ex(ctx, (unsigned char *)out + n, &tail);
      if (ok != 1)
        vxLog(0, "%s: %s: %s", who, encrypt ? "EVP_EncryptFinal_ex" : "EVP_DecryptFinal_ex", opensslText());
      else
        produced = n + tail;
    }
  }
  EVP_CIPHER_CTX_free(ctx);
  return produced;
}

}  // namespace

int cryptoInlineCryptionEnabled() {
  if (g_master_ini[0] != '\0') {
    uint8_t on = 1;
    iniGetBool("Configuration Options", "inlineCryption", 1, &on, g_master_ini);
    return on ? 1 : 0;
  }
  // This process has not loaded its configuration: ask the appliance.
  std::string vxutil = sysPath("/usr/vx/bin/vxutil");
  if (access(vxutil.c_str(), X_OK) != 0) return 1;
  std::string master = sysPath("/usr/vx/vxinit/master.ini");
  char cmd[1024];
  snprintf(cmd, sizeof cmd, "%s -g \"Configuration Options\" \"inlineCryption\" x %s", vxutil.c_str(),
           master.c_str());
  UniquePipe p(popen(cmd, "r"));
  if (!p) return 1;
  char line[256] = "";
  if (fgets(line, sizeof line, p.get()) == nullptr) return 0;
  line[strcspn(line, "\r\n")] = '\0';
  return (strcmp(line, "true") == 0 || line[0] == '1') ? 1 : 0;
}

int cryptoLocalCapability() {
  std::lock_guard<std::mutex> lock(g_cryptoMutex);
  if (g_capability >= 0) return g_capability;
  int fd = rx9Open();
  if (fd >= 0) {
    uint32_t version = 0, caps = 0;
    if (rx9QueryCapabilities(fd, &version, &caps) == 0 && (caps & kRx9CapAes256Ecb)) {
      vxLog(1, "using rx9 version: 0x%X (0x%X)\n", version, caps);
      vxLog(1, "Using hardware:  found card");
      g_cardFd = fd;
      return g_capability = 2;
    }
    vxLog(1, "/dev/rx9 can't do 256-bit, AES ECB encryption/decryption\n");
    close(fd);
  }
  int threads = countCpuThreads();
  if (threads >= kRequiredThreads) {
    vxLog(1, "Using software:  found %d threads", threads);
    return g_capability = 1;
  }
  if (platformListsEncryption()) {
    vxLog(1, "Using software: enabled");
    return g_capability = 1;
  }
  vxLog(0, "No hardware and no software; only %d of %d required threads", threads, kRequiredThreads);
  return g_capability = 0;
}

int cryptoDecideOwnCryption() {
  if (!cryptoInlineCryptionEnabled()) return 0;
  return cryptoLocalCapability() == 1 ? 1 : 0;
}

int softwareEncryptChunk(const uint8_t *key, int keyLength, const void *in, void *out, int length) {
  return aesChunk(true, key, keyLength, in, out, length);
}

int softwareDecryptChunk(const uint8_t *key, int keyLength, const void *in, void *out, int length) {
  return aesChunk(false, key, keyLength, in, out, length);
}

void cryptoResetProcessState() {
  std::lock_guard<std::mutex> lock(g_cryptoMutex);
  g_capability = -1;
  if (g_cardFd >= 0) close(g_cardFd);
  g_cardFd = -1;
}
