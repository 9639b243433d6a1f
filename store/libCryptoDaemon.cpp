// libCryptoDaemon.cpp: the CDlib client of the CryptoDaemon and the codecs
// of its state file and TCP messages.
//
// Every call that talks to the daemon finds it through the state file
// (credential block and port; re-read only when the file is newer than the
// process's copy), connects to 127.0.0.1 and exchanges fixed-layout
// messages. SIGPIPE is caught by an empty handler around each exchange so
// that a vanished daemon shows as a failed write instead of ending the
// process.
#include "store/libCryptoDaemon.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "lib/handles.h"
#include "lib/logger.h"
#include "lib/syspath.h"
#include "store/crypto.h"

// ---- codecs --------------------------------------------------------------

void putCDu32(uint8_t *at, uint32_t v) {
  for (int i = 0; i < 4; i++) at[i] = (uint8_t)(v >> (8 * i));
}

uint32_t getCDu32(const uint8_t *at) {
  return (uint32_t)at[0] | (uint32_t)at[1] << 8 | (uint32_t)at[2] << 16 | (uint32_t)at[3] << 24;
}

static void putU64(uint8_t *at, uint64_t v) {
  for (int i = 0; i < 8; i++) at[i] = (uint8_t)(v >> (8 * i));
}

static uint64_t getU64(const uint8_t *at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = v << 8 | at[i];
  return v;
}

void encodeCDstate(const CDstate &s, uint8_t out[kCDStateFileSize]) {
  memset(out, 0, kCDStateFileSize);
  memcpy(out + kCDStateCredentialOffset, s.credential, kCDCredentialSize);
  out[kCDStatePortOffset] = (uint8_t)(s.port >> 8);  // network byte order
  out[kCDStatePortOffset + 1] = (uint8_t)s.port;
}

void decodeCDstate(const uint8_t in[kCDStateFileSize], CDstate *s) {
  memcpy(s->credential, in + kCDStateCredentialOffset, kCDCredentialSize);
  s->port = (uint16_t)(in[kCDStatePortOffset] << 8 | in[kCDStatePortOffset + 1]);
}

void encodeCDresult(const CDresult &r, uint8_t out[kCDResultSize]) {
  memset(out, 0, kCDResultSize);
  putU64(out, r.reserved);
  putU64(out + kCDResultCodeOffset, (uint64_t)r.code);
  size_t n = strnlen(r.message, kCDMessageTextSize - 1);
  memcpy(out + kCDResultTextOffset, r.message, n);
}

void decodeCDresult(const uint8_t in[kCDResultSize], CDresult *r) {
  r->reserved = getU64(in);
  r->code = (int64_t)getU64(in + kCDResultCodeOffset);
  memcpy(r->message, in + kCDResultTextOffset, kCDMessageTextSize);
  r->message[kCDMessageTextSize - 1] = '\0';
}

void setCDresult(CDresult *r, int64_t code, const char *format, ...) {
  if (r == nullptr) return;
  r->reserved = 0;
  r->code = code;
  va_list ap;
  va_start(ap, format);
  vsnprintf(r->message, sizeof r->message, format, ap);
  va_end(ap);
}

void encodeCDop(uint32_t op, uint8_t *request) { putU64(request + kCDOpOffset, op); }

uint32_t decodeCDop(const uint8_t *request) { return (uint32_t)getU64(request + kCDOpOffset); }

void encodeCDcryptHeader(const CDcryptHeader &h, uint8_t out[kCDCryptHeaderSize]) {
  memset(out, 0, kCDCryptHeaderSize);
  encodeCDop(h.op, out);
  putCDu32(out + kCDCryptSeqOffset, h.sequence);
  putCDu32(out + kCDCryptLengthOffset, h.length);
}

void decodeCDcryptHeader(const uint8_t in[kCDCryptHeaderSize], CDcryptHeader *h) {
  h->op = decodeCDop(in);
  h->sequence = getCDu32(in + kCDCryptSeqOffset);
  h->length = getCDu32(in + kCDCryptLengthOffset);
}

void encodeCDcredentialRequest(uint32_t op, const uint8_t credential[kCDCredentialSize],
                               uint8_t out[kCDCredentialRequestSize]) {
  memset(out, 0, kCDCredentialRequestSize);
  encodeCDop(op, out);
  memcpy(out + kCDCredentialOffset, credential, kCDCredentialSize);
}

void encodeCDtokenInit(const uint8_t credential[kCDCredentialSize], uint32_t payloadLength,
                       const uint8_t header[kCDTokenHeaderSize], uint8_t out[kCDTokenInitSize]) {
  memset(out, 0, kCDTokenInitSize);
  encodeCDop(CD_OP_INIT_TOKEN, out);
  memcpy(out + kCDCredentialOffset, credential, kCDCredentialSize);
  putCDu32(out + kCDTokenInitLengthOffset, payloadLength);
  memcpy(out + kCDTokenInitHeaderOffset, header, kCDTokenHeaderSize);
}

void decodeCDtokenInit(const uint8_t in[kCDTokenInitSize], uint8_t credential[kCDCredentialSize],
                       uint32_t *payloadLength, uint8_t header[kCDTokenHeaderSize]) {
  memcpy(credential, in + kCDCredentialOffset, kCDCredentialSize);
  *payloadLength = getCDu32(in + kCDTokenInitLengthOffset);
  memcpy(header, in + kCDTokenInitHeaderOffset, kCDTokenHeaderSize);
}

// ---- the process-wide state copy and the connection ----------------------

namespace {

// Guards g_state, g_stateTime and g_haveState.
std::mutex g_stateMutex;
CDstate g_state;
timespec g_stateTime = {0, 0};
bool g_haveState = false;

// Guards the SIGPIPE guard's depth and the saved action.
std::mutex g_pipeMutex;
int g_pipeDepth = 0;
struct sigaction g_savedPipeAction;

void ignorePipe(int) {}

// Catches SIGPIPE with an empty handler for its lifetime; the action in
// place before the outermost guard is restored after it.
struct PipeGuard {
  PipeGuard() {
    std::lock_guard<std::mutex> lock(g_pipeMutex);
    if (g_pipeDepth++ == 0) {
      struct sigaction sa;
      memset(&sa, 0, sizeof sa);
      sa.sa_handler = ignorePipe;
      sigemptyset(&sa.sa_mask);
      sigaction(SIGPIPE, &sa, &g_savedPipeAction);
    }
  }
  ~PipeGuard() {
    std::lock_guard<std::mutex> lock(g_pipeMutex);
    if (--g_pipeDepth == 0) sigaction(SIGPIPE, &g_savedPipeAction, nullptr);
  }
  PipeGuard(const PipeGuard &) = delete;
  PipeGuard &operator=(const PipeGuard &) = delete;
};

bool newer(const timespec &a, const timespec &b) {
  return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

// Copies the daemon's state (credential, port) into *out, reading the
// state file when it is newer than the process's copy. 0 or -1.
int loadState(CDstate *out, CDresult *result) {
  std::string path = sysPath(kCDStateFile);
  struct stat sb;
  if (stat(path.c_str(), &sb) != 0) {
    setCDresult(result, -1, "CryptoDaemon's not running or we're unprivileged");
    return -1;
  }
  std::lock_guard<std::mutex> lock(g_stateMutex);
  if (!g_haveState || newer(sb.st_mtim, g_stateTime)) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
      setCDresult(result, -1, "Can't read CryptoDaemon's state: %s", strerror(errno));
      return -1;
    }
    uint8_t bytes[kCDStateFileSize + 1];
    size_t got = 0;
    for (;;) {
      ssize_t r = read(fd.get(), bytes + got, sizeof bytes - got);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        setCDresult(result, -1, "Can't read CryptoDaemon's state: %s", strerror(errno));
        return -1;
      }
      if (r == 0 || (got += (size_t)r) == sizeof bytes) break;
    }
    if (got != kCDStateFileSize) {
      setCDresult(result, -1, "state size %d != %d", (int)got, (int)kCDStateFileSize);
      return -1;
    }
    decodeCDstate(bytes, &g_state);
    g_stateTime = sb.st_mtim;
    g_haveState = true;
  }
  *out = g_state;
  return 0;
}

// Opens a TCP connection to the daemon; the socket or -1.
int connectDaemon(const CDstate &state, CDresult *result) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    setCDresult(result, -1, "Can't create socket to CryptoDaemon: %s", strerror(errno));
    return -1;
  }
  sockaddr_in addr;
  memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(state.port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int rc;
  do {
    rc = connect(fd, (const sockaddr *)&addr, sizeof addr);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    setCDresult(result, -1, "Can't connect to CryptoDaemon: %s", strerror(errno));
    close(fd);
    return -1;
  }
  // Requests are small and answered at once: no Nagle delays.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  setCDresult(result, 0, "connection opened");
  return fd;
}

// Writes a whole request; a failed or zero-length write ends it.
int writeWhole(int fd, const void *bytes, size_t n, CDresult *result) {
  const char *p = (const char *)bytes;
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      setCDresult(result, -1, "short write");
      return -1;
    }
    p += w;
    n -= (size_t)w;
  }
  return 0;
}

// Reads until n bytes or end of file; the count, or -1 on an error.
ssize_t readUpTo(int fd, void *bytes, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = read(fd, (char *)bytes + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return got > 0 ? (ssize_t)got : -1;
    if (r == 0) break;
    got += (size_t)r;
  }
  return (ssize_t)got;
}

// Reads an 80-byte result record reply. 0 when it reports success.
int readResult(int fd, CDresult *result) {
  uint8_t reply[kCDResultSize];
  ssize_t got = readUpTo(fd, reply, sizeof reply);
  if (got < (ssize_t)kCDResultSize) {
    setCDresult(result, -1, "short response");
    return -1;
  }
  decodeCDresult(reply, result);
  return result->code == 0 ? 0 : -1;
}

// Asks for the archive key (op 9) and keeps it in `data`.
int fetchArchiveKey(CDlibData *data, CDresult *result) {
  uint8_t request[kCDShortRequestSize] = {};
  encodeCDop(CD_OP_GET_ARCHIVE_KEY, request);
  if (writeWhole(data->socket, request, sizeof request, result) != 0) return -1;
  uint8_t reply[kCDKeyReplySize];
  if (readUpTo(data->socket, reply, sizeof reply) < (ssize_t)kCDKeyReplySize) {
    setCDresult(result, -1, "can't get archive key");
    return -1;
  }
  decodeCDresult(reply, result);
  if (result->code != 0) {
    setCDresult(result, -1, "can't get archive key");
    return -1;
  }
  uint32_t length = getCDu32(reply + kCDKeyReplyLengthOffset);
  if (length > kCDMaxKeySize) {
    setCDresult(result, -1, "key too long");
    return -1;
  }
  memset(data->archiveKey, 0, sizeof data->archiveKey);
  if (readUpTo(data->socket, data->archiveKey, length) != (ssize_t)length) {
    setCDresult(result, -1, "short read");
    return -1;
  }
  data->archiveKeyLength = (int32_t)length;
  return 0;
}

// Allocates the context's CDlibData, decides own cryption and connects.
CDlibData *openContext(CDcryptCtx *ctx, CDstate *state, CDresult *result) {
  auto *data = (CDlibData *)calloc(1, sizeof(CDlibData));
  if (data == nullptr) {
    setCDresult(result, -1, "Can't malloc(%d)", (int)sizeof(CDlibData));
    return nullptr;
  }
  data->socket = -1;
  ctx->cryptUnitSize = (int32_t)kCDUnitSize;
  CDlibInit(data);
  if (loadState(state, result) != 0 || (data->socket = connectDaemon(*state, result)) < 0) {
    free(data);
    return nullptr;
  }
  return data;
}

void dropContext(CDlibData *data) {
  if (data == nullptr) return;
  if (data->socket >= 0) close(data->socket);
  explicit_bzero(data, sizeof *data);
  free(data);
}

}  // namespace

// ---- the calls -------------------------------------------------------

int CDlibInit(CDlibData *data) {
  int own = cryptoDecideOwnCryption();
  if (data) data->doOurOwnCryption = own;
  vxLog(3, "CDlibInit returned with doOurOwnCryption set at: %d\n", own);
  return own;
}

int CDlibInitCryptWithToken(const void *token, int tokenLength, CDcryptCtx *ctx, CDresult *result) {
  if (result == nullptr) return -1;
  if (token == nullptr || ctx == nullptr) {
    setCDresult(result, -1, "NULL pointer");
    return -1;
  }
  ctx->cdlibData = nullptr;
  if (tokenLength < (int)kCDTokenHeaderSize + 1) {
    setCDresult(result, -1, "length too small");
    return -1;
  }
  CDstate state;
  PipeGuard guard;
  CDlibData *data = openContext(ctx, &state, result);
  if (data == nullptr) return -1;
  const uint8_t *t = (const uint8_t *)token;
  uint32_t payload = (uint32_t)tokenLength - (uint32_t)kCDTokenHeaderSize;
  std::vector<uint8_t> request(kCDTokenInitSize + payload);
  encodeCDtokenInit(state.credential, payload, t, request.data());
  memcpy(request.data() + kCDTokenInitSize, t + kCDTokenHeaderSize, payload);
  explicit_bzero(state.credential, sizeof state.credential);
  int rc = writeWhole(data->socket, request.data(), request.size(), result);
  explicit_bzero(request.data(), kCDTokenInitSize);
  if (rc == 0) rc = readResult(data->socket, result);
  if (rc == 0) rc = fetchArchiveKey(data, result);
  if (rc != 0) {
    dropContext(data);
    return -1;
  }
  ctx->cdlibData = data;
  return 0;
}

int CDlibInitCryptWithArchiveKey(CDcryptCtx *ctx, CDresult *result) {
  if (result == nullptr) return -1;
  if (ctx == nullptr) {
    setCDresult(result, -1, "NULL pointer");
    return -1;
  }
  ctx->cdlibData = nullptr;
  CDstate state;
  PipeGuard guard;
  CDlibData *data = openContext(ctx, &state, result);
  if (data == nullptr) return -1;
  uint8_t request[kCDCredentialRequestSize];
  encodeCDcredentialRequest(CD_OP_INIT_ARCHIVE_KEY, state.credential, request);
  explicit_bzero(state.credential, sizeof state.credential);
  int rc = writeWhole(data->socket, request, sizeof request, result);
  explicit_bzero(request, sizeof request);
  if (rc == 0) rc = readResult(data->socket, result);
  if (rc == 0) rc = fetchArchiveKey(data, result);
  if (rc != 0) {
    dropContext(data);
    return -1;
  }
  ctx->cdlibData = data;
  return 0;
}

int CDlibCrypt(int operation, CDcryptCtx *ctx, CDresult *result) {
  if (result == nullptr) return -1;
  if (ctx == nullptr) {
    setCDresult(result, -1, "NULL pointer");
    return -1;
  }
  CDlibData *data = ctx->cdlibData;
  if (data == nullptr || data->socket < 0) {
    setCDresult(result, -1, "CDlibData not initialized");
    return -1;
  }
  if (ctx->nextDataInPtr == nullptr) {
    setCDresult(result, -1, "nextDataInPtr == NULL");
    return -1;
  }
  if (ctx->dataInBytes < (int)kCDUnitSize) {
    setCDresult(result, -1, "dataInBytes < %d", (int)kCDUnitSize);
    return -1;
  }
  if (ctx->nextDataOutPtr == nullptr) {
    setCDresult(result, -1, "nextDataOutPtr == NULL");
    return -1;
  }
  if (ctx->dataOutBytes <= 0) {
    setCDresult(result, -1, "dataOutBytes <= 0");
    return -1;
  }
  if (operation != (int)CD_OP_ENCRYPT && operation != (int)CD_OP_DECRYPT) {
    setCDresult(result, -1, "confused about what to do");
    return -1;
  }
  const bool encrypt = operation == (int)CD_OP_ENCRYPT;
  PipeGuard guard;
  setCDresult(result, 0, "%s", "");
  while (ctx->dataInBytes >= (int)kCDUnitSize && ctx->dataOutBytes > 0) {
    // Whole units of the input that also fit the output.
    size_t n = (size_t)ctx->dataInBytes / kCDUnitSize * kCDUnitSize;
    size_t outUnits = (size_t)ctx->dataOutBytes / kCDUnitSize * kCDUnitSize;
    if (outUnits < n) n = outUnits;
    if (n == 0) break;
    if (data->doOurOwnCryption) {
      int made = encrypt ? softwareEncryptChunk(data->archiveKey, data->archiveKeyLength,
                                                ctx->nextDataInPtr, ctx->nextDataOutPtr, (int)n)
                         : softwareDecryptChunk(data->archiveKey, data->archiveKeyLength,
                                                ctx->nextDataInPtr, ctx->nextDataOutPtr, (int)n);
      if (made != (int)n) {
        setCDresult(result, -1, "%scryption failed", encrypt ? "en" : "de");
        return -1;
      }
      ctx->nextDataInPtr += n;
      ctx->dataInBytes -= (int32_t)n;
      ctx->nextDataOutPtr += n;
      ctx->dataOutBytes -= (int32_t)n;
      continue;
    }
    if (n > kCDMaxCryptData) n = kCDMaxCryptData;
    CDcryptHeader h;
    h.op = (uint32_t)operation;
    h.sequence = getCDu32(data->lastReply + kCDCryptSeqOffset) + 1;
    h.length = (uint32_t)n;
    std::vector<uint8_t> request(kCDCryptHeaderSize + n);
    encodeCDcryptHeader(h, request.data());
    memcpy(request.data() + kCDCryptHeaderSize, ctx->nextDataInPtr, n);
    if (writeWhole(data->socket, request.data(), request.size(), result) != 0) return -1;
    uint8_t reply[kCDCryptHeaderSize];
    ssize_t got = readUpTo(data->socket, reply, sizeof reply);
    if (got < (ssize_t)kCDResultSize) {
      setCDresult(result, -1, "short read");
      return -1;
    }
    decodeCDresult(reply, result);
    if (got < (ssize_t)kCDCryptHeaderSize) return result->code == 0 ? 0 : -1;
    if (result->code != 0) return -1;
    CDcryptHeader rh;
    decodeCDcryptHeader(reply, &rh);
    if (rh.sequence != h.sequence) {
      setCDresult(result, -1, "outta sync: 0x%X != 0x%X", rh.sequence, h.sequence);
      return -1;
    }
    if (rh.length == 0) {
      setCDresult(result, -1, "no data");
      return -1;
    }
    if (rh.length > (uint32_t)ctx->dataOutBytes) {
      setCDresult(result, -1, "confused about what to do");
      return -1;
    }
    if (readUpTo(data->socket, ctx->nextDataOutPtr, rh.length) != (ssize_t)rh.length) {
      setCDresult(result, -1, "short read");
      return -1;
    }
    memcpy(data->lastReply, reply, sizeof reply);
    ctx->nextDataInPtr += n;
    ctx->dataInBytes -= (int32_t)n;
    ctx->nextDataOutPtr += rh.length;
    ctx->dataOutBytes -= (int32_t)rh.length;
  }
  return 0;
}

int CDlibGetToken(void *buffer, int *size, CDcryptCtx *ctx, CDresult *result) {
  if (result == nullptr) return -1;
  if (buffer == nullptr || size == nullptr || ctx == nullptr) {
    setCDresult(result, -1, "NULL pointer");
    return -1;
  }
  CDlibData *data = ctx->cdlibData;
  if (data == nullptr || data->socket < 0) {
    setCDresult(result, -1, "CDlibData not initialized");
    return -1;
  }
  PipeGuard guard;
  uint8_t request[kCDShortRequestSize] = {};
  encodeCDop(CD_OP_GET_TOKEN, request);
  if (writeWhole(data->socket, request, sizeof request, result) != 0) return -1;
  uint8_t reply[kCDTokenReplySize];
  ssize_t got = readUpTo(data->socket, reply, sizeof reply);
  if (got < (ssize_t)kCDResultSize) {
    setCDresult(result, -1, "short read");
    return -1;
  }
  decodeCDresult(reply, result);
  if (result->code != 0) return -1;
  if (got < (ssize_t)kCDTokenReplySize) {
    setCDresult(result, -1, "short response");
    return -1;
  }
  uint32_t payload = getCDu32(reply + kCDTokenReplyLengthOffset);
  if (*size < 0 || (uint64_t)payload + kCDTokenHeaderSize > (uint64_t)*size) {
    setCDresult(result, -1, "length too small");
    return -1;
  }
  uint8_t *out = (uint8_t *)buffer;
  memcpy(out, reply + kCDTokenReplyHeaderOffset, kCDTokenHeaderSize);
  if (readUpTo(data->socket, out + kCDTokenHeaderSize, payload) != (ssize_t)payload) {
    setCDresult(result, -1, "short read");
    return -1;
  }
  *size = (int)(kCDTokenHeaderSize + payload);
  return 0;
}

int CDgetStatusBitmask(uint32_t *bits, CDresult *result) {
  if (result == nullptr) return -1;
  if (bits == nullptr) {
    setCDresult(result, -1, "NULL pointer");
    return -1;
  }
  CDstate state;
  if (loadState(&state, result) != 0) return -1;
  PipeGuard guard;
  UniqueFd fd(connectDaemon(state, result));
  if (!fd) return -1;
  uint8_t request[kCDCredentialRequestSize];
  encodeCDcredentialRequest(CD_OP_STATUS, state.credential, request);
  explicit_bzero(state.credential, sizeof state.credential);
  int rc = writeWhole(fd.get(), request, sizeof request, result);
  explicit_bzero(request, sizeof request);
  if (rc != 0) return -1;
  uint8_t reply[kCDStatusReplySize];
  ssize_t got = readUpTo(fd.get(), reply, sizeof reply);
  if (got < (ssize_t)kCDResultSize) {
    setCDresult(result, -1, "short read");
    return -1;
  }
  decodeCDresult(reply, result);
  if (result->code != 0) return -1;
  if (got < (ssize_t)kCDStatusReplySize) {
    setCDresult(result, -1, "short response");
    return -1;
  }
  *bits = getCDu32(reply + kCDStatusReplyBitsOffset);
  return 0;
}

void CDlibReleaseCtx(CDcryptCtx *ctx) {
  if (ctx == nullptr) return;
  dropContext(ctx->cdlibData);
  ctx->cdlibData = nullptr;
}

void CDlibForgetState() {
  std::lock_guard<std::mutex> lock(g_stateMutex);
  g_haveState = false;
  g_stateTime = {0, 0};
  explicit_bzero(&g_state, sizeof g_state);
}
