// transfer.cpp: per-thread transfer records, socket options, throttled
// body readers and reply collectors for the Vault requests.
#include "vault/transfer.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "lib/ini.h"
#include "lib/logger.h"
#include "vault/blockOut.h"

namespace {

// Socket settings: written only by loadSocketSettings (daemon pass or
// worker start), read by the socket-option callback on any thread; atomics
// keep those reads well defined.
std::atomic<int> g_socketTimeout{0};
std::atomic<int> g_socketKeepalive{1};
std::atomic<int> g_tcpKeepcnt{6};
std::atomic<int> g_tcpKeepidle{600};
std::atomic<int> g_tcpKeepintvl{300};
std::atomic<int> g_applyKeepalive{0};

int debugLevel() {
  if (log_level >= 200) return -1;
  if (log_level >= 100) return log_level - 100;
  return log_level;
}

// Thread record holder: created on first use, freed at thread end.
struct ThreadCurlHolder {
  ThreadCurlData *data = nullptr;
  ~ThreadCurlHolder() { free(data); }
};
thread_local ThreadCurlHolder t_curl;

void logKeepaliveValue(int fd, int level, int name, const char *label) {
  int val = 0;
  socklen_t len = sizeof val;
  if (getsockopt(fd, level, name, &val, &len) < 0)
    LOG(4, "%s getsockopt failed, %s\n", label, strerror(errno));
  else if (len != sizeof val)
    LOG(4, "%s unexpected optvallen %d\n", label, (int)len);
  else
    LOG(4, "%s getsockopt val %d\n", label, val);
}

void setKeepaliveOption(int fd, int level, int name, int value, const char *label) {
  bool trace = debugLevel() > 3;
  if (trace) logKeepaliveValue(fd, level, name, label);
  if (setsockopt(fd, level, name, &value, sizeof value) < 0)
    LOG(0, "%s setsockopt failed, %s", label, strerror(errno));
  if (trace) logKeepaliveValue(fd, level, name, label);
}

void sleepMicros(long usec) {
  struct timespec ts;
  ts.tv_sec = usec / 1000000;
  ts.tv_nsec = (usec % 1000000) * 1000;
  while (nanosleep(&ts, &ts) < 0 && errno == EINTR) {
  }
}

void realTimeOfDay(struct timeval *tv) { gettimeofday(tv, nullptr); }

// The throttle's clock; replaced only by tests, before any transfer runs.
const ThrottleClock kRealClock = {realTimeOfDay, sleepMicros};
const ThrottleClock *g_throttleClock = &kRealClock;

}  // namespace

// ---- Socket settings ---------------------------------------------------------

void loadSocketSettings(const char *path) {
  int timeout = (int)iniGetInt("Replication", "SOCKET_TIMEOUT", g_socketTimeout.load(), path);
  uint8_t keep = (uint8_t)g_socketKeepalive.load();
  iniGetBool("Replication", "SOCKET_KEEPALIVE", keep, &keep, path);
  g_socketTimeout = timeout;
  g_socketKeepalive = keep ? 1 : 0;
  if (timeout > 0) LOG(4, "SOCKET_TIMEOUT %d", timeout);
  if (keep) {
    LOG(4, "SOCKET_KEEPALIVE %d", (int)keep);
    int cnt = (int)iniGetInt("Replication", "TCP_KEEPCNT", g_tcpKeepcnt.load(), path);
    int idle = (int)iniGetInt("Replication", "TCP_KEEPIDLE", g_tcpKeepidle.load(), path);
    int intvl = (int)iniGetInt("Replication", "TCP_KEEPINTVL", g_tcpKeepintvl.load(), path);
    g_tcpKeepcnt = cnt;
    g_tcpKeepidle = idle;
    g_tcpKeepintvl = intvl;
    if (cnt > 0) LOG(4, "TCP_KEEPCNT %d", cnt);
    if (idle > 0) LOG(4, "TCP_KEEPIDLE %d", idle);
    if (intvl > 0) LOG(4, "TCP_KEEPINTVL %d", intvl);
    g_applyKeepalive = (cnt > 0 || idle > 0 || intvl > 0) ? 1 : 0;
  }
}

SocketSettings currentSocketSettings() {
  return SocketSettings{g_socketTimeout.load(), g_socketKeepalive.load(), g_tcpKeepcnt.load(),
                        g_tcpKeepidle.load(),   g_tcpKeepintvl.load(),   g_applyKeepalive.load()};
}

int sockoptCallback(void *, curl_socket_t fd, curlsocktype purpose) {
  LOG(4, "Starting sockopt_callback\n");
  if (purpose != CURLSOCKTYPE_IPCXN) return CURL_SOCKOPT_OK;
  int timeout = g_socketTimeout.load();
  if (timeout > 0) {
    struct timeval tv;
    tv.tv_sec = timeout;
    tv.tv_usec = 0;
    LOG(4, "setsockopt SO_RCVTIMEO\n");
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0) {
      LOG(0, "SO_RECVTIMEO setsockopt failed, %s", strerror(errno));
      return CURL_SOCKOPT_ERROR;
    }
    LOG(4, "setsockopt SO_SNDTIMEO\n");
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) < 0) {
      LOG(0, "SO_SNDTIMEO setsockopt failed, %s", strerror(errno));
      return CURL_SOCKOPT_ERROR;
    }
  }
  if (g_socketKeepalive.load()) setKeepaliveOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1, "SO_KEEPALIVE");
  if (g_applyKeepalive.load()) {
    int idle = g_tcpKeepidle.load(), cnt = g_tcpKeepcnt.load(), intvl = g_tcpKeepintvl.load();
    if (idle > 0) setKeepaliveOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, idle, "TCP_KEEPIDLE");
    if (cnt > 0) setKeepaliveOption(fd, IPPROTO_TCP, TCP_KEEPCNT, cnt, "TCP_KEEPCNT");
    if (intvl > 0) setKeepaliveOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, intvl, "TCP_KEEPINTVL");
  }
  return CURL_SOCKOPT_OK;
}

int installSockoptCallback(CURL *h) {
  if (g_socketTimeout.load() == 0 && !g_socketKeepalive.load()) return 0;
  CURLcode rc = curl_easy_setopt(h, CURLOPT_SOCKOPTFUNCTION, sockoptCallback);
  if (rc != CURLE_OK) {
    LOG(0, "CURLOPT_SOCKOPTFUNCTION curl_easy_setup failed, %d\n", (int)rc);
    return 0;
  }
  return 1;
}

// ---- Thread record -----------------------------------------------------------------

ThreadCurlData *getThreadCurlData() {
  if (!t_curl.data) {
    t_curl.data = (ThreadCurlData *)calloc(1, sizeof(ThreadCurlData));
    if (!t_curl.data) {
      LOG(0, "Failed to malloc thread curl data value.");
      return nullptr;
    }
  }
  return t_curl.data;
}

CURLcode performTransfer(CURL *h, ThreadCurlData *data) {
  (void)data;
  if (!h) return CURLE_BAD_FUNCTION_ARGUMENT;
  return curl_easy_perform(h);
}

// ---- Throttle and readers -------------------------------------------------------------

void setThrottleClock(const ThrottleClock *clock) { g_throttleClock = clock ? clock : &kRealClock; }

uint64_t throttleAllowance(ThreadCurlData *data, long *usec) {
  struct timeval now;
  g_throttleClock->now(&now);
  *usec = now.tv_usec;
  if ((uint64_t)now.tv_sec != data->second) {
    data->second = (uint64_t)now.tv_sec;
    data->allowance = getBandwidthAllowance(now.tv_sec);
  } else if (data->allowance == BANDWIDTH_UNLIMITED) {
    // An unlimited second is not charged, so it would last to the second's
    // end even when a limit comes into force in the meantime (a settings
    // reload, a blockout hour beginning, the table attached), and a fast
    // sender could push a whole second of unlimited traffic past the new
    // limit. The table is therefore read again on every call while the
    // second is unlimited; a limit found mid-second allows the share of it
    // that the rest of the second is worth.
    uint64_t rate = getBandwidthAllowance(now.tv_sec);
    if (rate != BANDWIDTH_UNLIMITED) {
      uint64_t left = 1000000 - (uint64_t)now.tv_usec;
      unsigned __int128 share = (unsigned __int128)rate * left / 1000000;
      data->allowance = share > 0 ? (uint64_t)share : 1;
    }
  }
  return data->allowance;
}

void throttleCharge(ThreadCurlData *data, uint64_t n, long usec) {
  if (data->allowance == BANDWIDTH_UNLIMITED) return;  // no limit: never charged, never sleeps
  data->allowance = n >= data->allowance ? 0 : data->allowance - n;
  if (data->allowance != 0) return;
  // The second's share is used up: wait for the next second.
  for (;;) {
    g_throttleClock->sleepMicros(1000000 - usec);
    struct timeval now;
    g_throttleClock->now(&now);
    if ((uint64_t)now.tv_sec != data->second) break;
  }
}

size_t memoryReader(char *buf, size_t size, size_t count, void *userdata) {
  ThreadCurlData *data = (ThreadCurlData *)userdata;
  MemorySource *src = (MemorySource *)data->source;
  long usec;
  uint64_t allowed = throttleAllowance(data, &usec);
  uint64_t n = (uint64_t)size * count;
  if (src->remaining < n) n = src->remaining;
  if (allowed < n) n = allowed;
  if (n == 0) return 0;
  memcpy(buf, src->data, n);
  src->data += n;
  src->remaining -= n;
  throttleCharge(data, n, usec);
  return n;
}

size_t fileReader(char *buf, size_t size, size_t count, void *userdata) {
  ThreadCurlData *data = (ThreadCurlData *)userdata;
  FileSource *src = (FileSource *)data->source;
  long usec;
  uint64_t allowed = throttleAllowance(data, &usec);
  LOG(2, "remainingB:%lu", (unsigned long)allowed);
  LOG(6, "curl_size:%zd", (ssize_t)(size * count));
  uint64_t want = (uint64_t)size * count;
  if (allowed < want) want = allowed;
  size_t n = fread(buf, 1, want, src->fp);
  if (n > 0) throttleCharge(data, n, usec);
  return n;
}

size_t largeBlockReader(char *buf, size_t size, size_t count, void *userdata) {
  ThreadCurlData *data = (ThreadCurlData *)userdata;
  LargeBlockSource *src = data ? (LargeBlockSource *)data->source : nullptr;
  if (!src) {
    LOG(0, "userData NULL confirmed, failure immenent");
    return 0;
  }
  long usec;
  uint64_t allowed = throttleAllowance(data, &usec);
  HashValue &rec = src->entry->value;
  if (src->buffered == 0) {
    if (src->sent >= rec.hashedLength) return 0;
    uint64_t piece = rec.hashedLength - src->sent;
    if (piece > src->bufferSize) piece = src->bufferSize;
    // The piece ends exactly at the buffer's end.
    uint8_t *dest = src->buffer + (src->bufferSize - piece);
    long got;
    if (data->storeLock) {
      std::lock_guard<std::mutex> lock(*data->storeLock);
      got = src->blocks->readBlock(src->entry, dest, piece, src->sent);
    } else {
      got = src->blocks->readBlock(src->entry, dest, piece, src->sent);
    }
    if (got < 1) {
      LOG(0, "readHashedContents failed");
      LOG(0, "Sent: %d", (int)src->sent);
      LOG(0, "TotalSize:%lu", (unsigned long)rec.hashedLength);
      LOG(0, "Max: %lu", (unsigned long)src->bufferSize);
      LOG(0, "hashID %lu", (unsigned long)rec.hashID);
      LOG(0, "SISoffset: %lu", (unsigned long)rec.SISoffset);
      return 0;
    }
    if ((uint64_t)got < piece) {
      // A short piece still has to end at the buffer's end to be found.
      memmove(src->buffer + (src->bufferSize - got), dest, got);
    }
    src->buffered = (uint64_t)got;
  }
  uint64_t n = src->buffered;
  if ((uint64_t)size * count < n) n = (uint64_t)size * count;
  if (allowed < n) n = allowed;
  memcpy(buf, src->buffer + (src->bufferSize - src->buffered), n);
  src->buffered -= n;
  src->sent += (uint32_t)n;
  throttleCharge(data, n, usec);
  return n;
}

size_t decryptReader(char *buf, size_t size, size_t count, void *userdata) {
  ThreadCurlData *data = (ThreadCurlData *)userdata;
  DecryptSource *src = (DecryptSource *)data->source;
  if (src->sent >= src->total) return 0;
  long usec;
  uint64_t allowed = throttleAllowance(data, &usec);
  size_t unit = (size_t)src->cipher->unitSize();
  if (unit == 0) unit = 1;
  // Whole cipher units only. A piece is also held to the second's allowance
  // (rounded down to whole units), but always at least one unit so the body
  // progresses; the overshoot ends the second's allowance.
  size_t want = size * count;
  if (want > allowed) want = allowed < unit ? unit : (size_t)allowed;
  want -= want % unit;
  if (want > src->bufferSize) want = src->bufferSize - src->bufferSize % unit;
  if (want == 0) return 0;
  size_t got = fread(src->buffer, 1, want, src->fp);
  if (got < want) LOG(4, "short read, requested %zu, returned %zu", want, got);
  if (got == 0) {
    if (feof(src->fp))
      LOG(4, "EOF");
    else
      LOG(0, "Error: fread returned 0 but not at EOF");
    return 0;
  }
  int inBytes = (int)got, outBytes = (int)got;
  std::string error;
  if (src->cipher->decrypt(src->buffer, &inBytes, (uint8_t *)buf, &outBytes, &error) != 0) {
    LOG(0, "Failed to decrypt");
    LOG(0, "dataInBytes: %d dataOutBytes: %d", inBytes, outBytes);
    if (src->header)
      LOG(0, "input encryption header: %.*s\n", 64, (const char *)src->header);
    else
      LOG(0, "input encryption header: %.*s\n", 64, "error return");
    LOG(0, "data->sent: %lu ", (unsigned long)src->sent);
    return 0;
  }
  if (inBytes != 0) {
    LOG(0, "dataInBytes not zero; decrypt failed");
    return 0;
  }
  src->sent += got;
  throttleCharge(data, got, usec);
  return got;
}

// ---- Replies -----------------------------------------------------------------------------

ReplyBuffer::ReplyBuffer() {
  data = (char *)calloc(1, 8);
}

ReplyBuffer::~ReplyBuffer() { free(data); }

char *ReplyBuffer::release() {
  char *d = data;
  data = nullptr;
  len = 0;
  return d;
}

size_t replyCollector(char *chunk, size_t size, size_t count, void *userdata) {
  ReplyBuffer *reply = (ReplyBuffer *)userdata;
  size_t n = size * count;
  char *grown = (char *)realloc(reply->data, reply->len + n + 1);
  if (!grown) {
    LOG(0, "Failed to allocate memory");
    return n + 1;  // any other count than n makes libcurl abort
  }
  reply->data = grown;
  memcpy(grown + reply->len, chunk, n);
  reply->len += n;
  grown[reply->len] = '\0';
  return n;
}

int headerLineCode(const char *line, size_t len) {
  // Compared as a C string: bytes up to the first NUL, if any.
  std::string_view l(line, strnlen(line, len));
  if (l == "HTTP/1.1 500 Internal Server Error\r\n") return 1;
  if (l == "HTTP/1.1 405 Bad Request\r\n") return -3;
  if (l == "HTTP/1.1 503 Service Unavailable\r\n") return -4;
  if (l == "Warning: Failed to process metaData, tried to insert out of order backup sequence.\r\n")
    return -5;
  if (l == "Warning: Failed to process metaData\r\n") return -6;
  return 0;
}

size_t replyHeaderCallback(char *line, size_t size, size_t count, void *userdata) {
  ReplyStatus *stat = (ReplyStatus *)userdata;
  size_t n = size * count;
  std::string_view l(line, strnlen(line, n));
  // Interim responses (e.g. "HTTP/1.1 100 Continue" answering the Expect
  // header libcurl adds to uploads) are not the Vault's reply: their lines,
  // up to the blank line that ends them, leave the status alone. Otherwise
  // a 100 followed by a 500 would read as accepted.
  size_t space = l.find(' ');
  if (l.substr(0, 5) == "HTTP/" && space != std::string_view::npos && space + 1 < l.size() &&
      l[space + 1] == '1') {
    stat->interim = 1;
    return n;
  }
  if (stat->interim) {
    if (l == "\r\n" || l == "\n") stat->interim = 0;
    return n;
  }
  int code = headerLineCode(line, n);
  if (code == 1) {
    LOG(0, "Failed Query");
    LOG(3, "HTTP/1.1 500 Internal Server Error");
    return 0;  // abort the transfer; the status stays as it is
  }
  if (code == -3) {
    LOG(0, "Failed Query");
    LOG(3, "HTTP/1.1 405 Bad Request\r\n");
  } else if (code == -4) {
    LOG(0, "Failed Query");
    LOG(3, "HTTP/1.1 503 Service Unavailable\r\n");
    LOG(0, "%.*s", (int)l.size(), l.data());
  } else if (code == -5 || code == -6) {
    LOG(0, "%.*s", (int)l.size(), l.data());
  } else if (l.size() > 7 && l.substr(0, 8) == "Warning:") {
    LOG(0, "%.*s", (int)l.size(), l.data());
  }
  if (stat->errorCode == 1)
    stat->errorCode = code;
  else if (stat->errorCode == 0 && code < 0)
    stat->errorCode = code;
  return n;
}

int operationResult(int errorCode) { return errorCode > 0 ? -1 : errorCode; }
