// cryptodaemon.cpp: a stand-in for the appliance's CryptoDaemon.
//
// It keeps one archive key (read from a key file, created with 32 random
// bytes when missing), listens on 127.0.0.1, writes the 536-byte state file
// "/var/run/cryptoDaemonState" (under RPD_SYSROOT) with a fresh random
// credential block and its port, and answers the CDlib requests:
//   4/5  encrypt/decrypt whole 32-byte units with AES-256-ECB and the key;
//   6    init with the archive key (credential checked);
//   7    a new token: a tar header with type flag 'E' and a payload naming
//        the key (magic, nonce, SHA-256 of the key);
//   8    init with a token (credential checked, the token must name our key);
//   9    the archive key;
//   10   status bits (running, initialised, ready).
// Ops 4, 5, 7 and 9 need a connection initialised by op 6 or 8.
//
// Usage: cryptodaemon -k keyfile [-p port] [-F seq]
//   -p 0 (the default) takes a free port. -F seq answers crypt requests with
//   a wrong sequence number (for clients' fault tests). Once listening it
//   prints "cryptodaemon listening on 127.0.0.1:<port>" on standard output.
//   SIGTERM or SIGINT removes the state file and ends the daemon.
#include <arpa/inet.h>
#include <fcntl.h>
#include <pthread.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/fdio.h"
#include "lib/handles.h"
#include "lib/syspath.h"
#include "store/crypto.h"
#include "store/libCryptoDaemon.h"

namespace {

constexpr size_t kTokenPayloadSize = 64;
constexpr const char kTokenMagic[8] = {'C', 'D', 'T', 'O', 'K', 'E', 'N', '1'};
constexpr size_t kTokenNonceOffset = 8;
constexpr size_t kTokenDigestOffset = 32;
constexpr size_t kMaxTokenPayload = 1 << 20;

// Set once at start-up, read by the connection threads.
std::vector<uint8_t> g_key;
uint8_t g_credential[kCDCredentialSize];
uint8_t g_keyDigest[32];
bool g_badSequence = false;
char g_statePath[4096];

void onTerminate(int) {
  unlink(g_statePath);
  _exit(0);
}

void usage() {
  fprintf(stderr, "usage: cryptodaemon -k keyfile [-p port] [-F seq]\n");
}

int loadKey(const char *path) {
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) {
    if (errno != ENOENT) {
      fprintf(stderr, "cryptodaemon: %s: %s\n", path, strerror(errno));
      return -1;
    }
    uint8_t fresh[32];
    RAND_bytes(fresh, sizeof fresh);
    UniqueFd out(open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!out || writeAll(out.get(), fresh, sizeof fresh) != (ssize_t)sizeof fresh || out.close() != 0) {
      fprintf(stderr, "cryptodaemon: cannot create key file %s: %s\n", path, strerror(errno));
      return -1;
    }
    g_key.assign(fresh, fresh + sizeof fresh);
    return 0;
  }
  uint8_t buf[kCDMaxKeySize + 1];
  ssize_t n = readFull(fd.get(), buf, sizeof buf);
  if (n < 32 || n > (ssize_t)kCDMaxKeySize) {
    fprintf(stderr, "cryptodaemon: key file %s must hold 32 to 512 bytes\n", path);
    return -1;
  }
  g_key.assign(buf, buf + n);
  return 0;
}

// The token this daemon hands out: tar header (type 'E', size = payload
// length in octal) and the payload naming the key.
void makeToken(uint8_t header[kCDTokenHeaderSize], uint8_t payload[kTokenPayloadSize]) {
  memset(header, 0, kCDTokenHeaderSize);
  snprintf((char *)header, 100, "cryptoToken");
  snprintf((char *)header + 100, 8, "%07o", 0600);
  snprintf((char *)header + 108, 8, "%07o", 0);
  snprintf((char *)header + 116, 8, "%07o", 0);
  snprintf((char *)header + 124, 12, "%011o", (unsigned)kTokenPayloadSize);
  snprintf((char *)header + 136, 12, "%011lo", (unsigned long)time(nullptr));
  header[156] = 'E';
  memcpy(header + 257, "ustar", 6);
  memcpy(header + 263, "00", 2);
  memset(header + 148, ' ', 8);
  unsigned sum = 0;
  for (size_t i = 0; i < kCDTokenHeaderSize; i++) sum += header[i];
  snprintf((char *)header + 148, 8, "%06o", sum);
  memcpy(payload, kTokenMagic, sizeof kTokenMagic);
  RAND_bytes(payload + kTokenNonceOffset, (int)(kTokenDigestOffset - kTokenNonceOffset));
  memcpy(payload + kTokenDigestOffset, g_keyDigest, sizeof g_keyDigest);
}

// The token's header declares its payload size (octal, as a tar header
// does). A token embedded in a fixed-size file header arrives with zero
// padding after the payload, which is not part of it.
bool tokenNamesOurKey(const uint8_t header[kCDTokenHeaderSize], const std::vector<uint8_t> &payload) {
  char size[13] = {};
  memcpy(size, header + 124, 12);
  if (header[156] != 'E' || strtoul(size, nullptr, 8) != kTokenPayloadSize || payload.size() < kTokenPayloadSize)
    return false;
  for (size_t i = kTokenPayloadSize; i < payload.size(); i++)
    if (payload[i] != 0) return false;
  if (memcmp(payload.data(), kTokenMagic, sizeof kTokenMagic) != 0) return false;
  return memcmp(payload.data() + kTokenDigestOffset, g_keyDigest, sizeof g_keyDigest) == 0;
}

bool sendResult(int fd, int64_t code, const char *message, size_t replySize,
                const uint8_t *extra = nullptr, size_t extraSize = 0) {
  std::vector<uint8_t> reply(replySize, 0);
  CDresult r;
  setCDresult(&r, code, "%s", message);
  encodeCDresult(r, reply.data());
  if (extra) memcpy(reply.data() + kCDResultSize, extra, extraSize);
  return writeAll(fd, reply.data(), reply.size()) == (ssize_t)reply.size();
}

bool readRest(int fd, uint8_t *buf, size_t have, size_t total) {
  return readFull(fd, buf + have, total - have) == (ssize_t)(total - have);
}

// Serves one connection until the client closes it or breaks the protocol.
void serve(int raw) {
  UniqueFd fd(raw);
  bool initialised = false;
  std::vector<uint8_t> buf(kCDTokenInitSize);
  for (;;) {
    if (readFull(fd.get(), buf.data(), kCDShortRequestSize) != (ssize_t)kCDShortRequestSize) return;
    uint32_t op = decodeCDop(buf.data());
    switch (op) {
      case CD_OP_ENCRYPT:
      case CD_OP_DECRYPT: {
        if (!readRest(fd.get(), buf.data(), kCDShortRequestSize, kCDCryptHeaderSize)) return;
        CDcryptHeader h;
        decodeCDcryptHeader(buf.data(), &h);
        CDcryptHeader rh{op, g_badSequence ? h.sequence + 1 : h.sequence, 0};
        uint8_t reply[kCDCryptHeaderSize];
        if (!initialised || h.length == 0 || h.length % kCDUnitSize != 0 || h.length > kCDMaxCryptData) {
          encodeCDcryptHeader(rh, reply);
          CDresult r;
          setCDresult(&r, -1, "%s", initialised ? "bad data length" : "not initialized");
          encodeCDresult(r, reply);
          writeAll(fd.get(), reply, sizeof reply);
          return;
        }
        std::vector<uint8_t> in(h.length), out(h.length);
        if (readFull(fd.get(), in.data(), in.size()) != (ssize_t)in.size()) return;
        int made = op == CD_OP_ENCRYPT
                       ? softwareEncryptChunk(g_key.data(), (int)g_key.size(), in.data(), out.data(), (int)h.length)
                       : softwareDecryptChunk(g_key.data(), (int)g_key.size(), in.data(), out.data(), (int)h.length);
        rh.length = made == (int)h.length ? h.length : 0;
        encodeCDcryptHeader(rh, reply);
        CDresult r;
        setCDresult(&r, made == (int)h.length ? 0 : -1, "%s", made == (int)h.length ? "" : "AES failed");
        encodeCDresult(r, reply);
        if (writeAll(fd.get(), reply, sizeof reply) != (ssize_t)sizeof reply) return;
        if (rh.length && writeAll(fd.get(), out.data(), rh.length) != (ssize_t)rh.length) return;
        break;
      }
      case CD_OP_INIT_ARCHIVE_KEY:
      case CD_OP_STATUS: {
        if (!readRest(fd.get(), buf.data(), kCDShortRequestSize, kCDCredentialRequestSize)) return;
        bool ok = memcmp(buf.data() + kCDCredentialOffset, g_credential, kCDCredentialSize) == 0;
        if (!ok) {
          sendResult(fd.get(), -1, "bad credential", kCDResultSize);
          return;
        }
        if (op == CD_OP_INIT_ARCHIVE_KEY) {
          initialised = true;
          if (!sendResult(fd.get(), 0, "initialized with archive key", kCDResultSize)) return;
        } else {
          uint8_t bits[4];
          putCDu32(bits, CD_STATUS_RUNNING | CD_STATUS_INITIALISED | CD_STATUS_READY);
          if (!sendResult(fd.get(), 0, "", kCDStatusReplySize, bits, sizeof bits)) return;
        }
        break;
      }
      case CD_OP_INIT_TOKEN: {
        if (!readRest(fd.get(), buf.data(), kCDShortRequestSize, kCDTokenInitSize)) return;
        uint8_t credential[kCDCredentialSize], header[kCDTokenHeaderSize];
        uint32_t length = 0;
        decodeCDtokenInit(buf.data(), credential, &length, header);
        if (length > kMaxTokenPayload) {
          sendResult(fd.get(), -1, "token too large", kCDResultSize);
          return;
        }
        std::vector<uint8_t> payload(length);
        if (readFull(fd.get(), payload.data(), length) != (ssize_t)length) return;
        if (memcmp(credential, g_credential, kCDCredentialSize) != 0) {
          sendResult(fd.get(), -1, "bad credential", kCDResultSize);
          return;
        }
        if (!tokenNamesOurKey(header, payload)) {
          if (!sendResult(fd.get(), -1, "unknown token", kCDResultSize)) return;
          break;
        }
        initialised = true;
        if (!sendResult(fd.get(), 0, "initialized with token", kCDResultSize)) return;
        break;
      }
      case CD_OP_GET_TOKEN: {
        if (!initialised) {
          sendResult(fd.get(), -1, "not initialized", kCDTokenReplySize);
          return;
        }
        uint8_t extra[kCDTokenReplySize - kCDResultSize] = {};
        uint8_t payload[kTokenPayloadSize];
        putCDu32(extra, (uint32_t)kTokenPayloadSize);
        makeToken(extra + (kCDTokenReplyHeaderOffset - kCDResultSize), payload);
        if (!sendResult(fd.get(), 0, "", kCDTokenReplySize, extra, sizeof extra)) return;
        if (writeAll(fd.get(), payload, sizeof payload) != (ssize_t)sizeof payload) return;
        break;
      }
      case CD_OP_GET_ARCHIVE_KEY: {
        if (!initialised) {
          sendResult(fd.get(), -1, "not initialized", kCDKeyReplySize);
          return;
        }
        uint8_t length[4];
        putCDu32(length, (uint32_t)g_key.size());
        if (!sendResult(fd.get(), 0, "", kCDKeyReplySize, length, sizeof length)) return;
        if (writeAll(fd.get(), g_key.data(), g_key.size()) != (ssize_t)g_key.size()) return;
        break;
      }
      default: {
        char text[64];
        snprintf(text, sizeof text, "unknown operation %u", op);
        sendResult(fd.get(), -1, text, kCDResultSize);
        return;
      }
    }
  }
}

// Writes the state file whole (temporary file, then rename) so a client
// never reads half of it.
int writeState(uint16_t port) {
  std::string path = sysPath(kCDStateFile);
  snprintf(g_statePath, sizeof g_statePath, "%s", path.c_str());
  std::string dir = path.substr(0, path.rfind('/'));
  for (size_t i = 1; i <= dir.size(); i++)
    if (i == dir.size() || dir[i] == '/') mkdir(dir.substr(0, i).c_str(), 0755);
  CDstate s;
  memcpy(s.credential, g_credential, sizeof s.credential);
  s.port = port;
  uint8_t bytes[kCDStateFileSize];
  encodeCDstate(s, bytes);
  std::string tmp = path + ".tmp";
  UniqueFd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd || writeAll(fd.get(), bytes, sizeof bytes) != (ssize_t)sizeof bytes || fd.close() != 0 ||
      rename(tmp.c_str(), path.c_str()) != 0) {
    fprintf(stderr, "cryptodaemon: cannot write %s: %s\n", path.c_str(), strerror(errno));
    return -1;
  }
  return 0;
}

// Thread body of one connection: the descriptor travels in the argument.
void *serveThread(void *arg) {
  serve((int)(intptr_t)arg);
  return nullptr;
}

}  // namespace

int main(int argc, char **argv) {
  const char *keyFile = nullptr;
  long port = 0;
  int c;
  while ((c = getopt(argc, argv, "k:p:F:h")) != -1) {
    switch (c) {
      case 'k':
        keyFile = optarg;
        break;
      case 'p':
        port = strtol(optarg, nullptr, 10);
        break;
      case 'F':
        if (strcmp(optarg, "seq") != 0) {
          usage();
          return 2;
        }
        g_badSequence = true;
        break;
      default:
        usage();
        return 2;
    }
  }
  if (keyFile == nullptr || port < 0 || port > 65535) {
    usage();
    return 2;
  }
  if (loadKey(keyFile) != 0) return 1;
  unsigned int digestLength = 0;
  EVP_Digest(g_key.data(), g_key.size(), g_keyDigest, &digestLength, EVP_sha256(), nullptr);
  RAND_bytes(g_credential, sizeof g_credential);

  UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  int one = 1;
  setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons((uint16_t)port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (!listener || bind(listener.get(), (sockaddr *)&addr, sizeof addr) != 0 ||
      listen(listener.get(), 64) != 0 || getsockname(listener.get(), (sockaddr *)&addr, &len) != 0) {
    fprintf(stderr, "cryptodaemon: cannot listen on 127.0.0.1:%ld: %s\n", port, strerror(errno));
    return 1;
  }
  uint16_t bound = ntohs(addr.sin_port);
  if (writeState(bound) != 0) return 1;

  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = onTerminate;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  pthread_attr_t detached;
  pthread_attr_init(&detached);
  pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);

  printf("cryptodaemon listening on 127.0.0.1:%u\n", bound);
  fflush(stdout);
  for (;;) {
    int fd = accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      fprintf(stderr, "cryptodaemon: accept: %s\n", strerror(errno));
      unlink(g_statePath);
      return 1;
    }
    // Each connection's thread is created detached: a thread created
    // joinable and detached afterwards could end, and a termination signal
    // end the process, before the detach, leaving a finished thread never
    // reclaimed.
    pthread_t thread;
    if (pthread_create(&thread, &detached, serveThread, (void *)(intptr_t)fd) != 0) {
      fprintf(stderr, "cryptodaemon: cannot start a connection thread\n");
      close(fd);
    }
  }
}
