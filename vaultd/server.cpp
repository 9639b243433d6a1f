// server.cpp: request handling of the Vault stand-in (see server.h).
//
// libmicrohttpd runs one thread per connection and calls the access
// handler several times per request: once when the headers are in (the
// request is classified, counted against the fault rules and its headers
// checked), once per piece of body (bodies are consumed as they stream in:
// blocks are hashed and written straight to temporary files), and a last
// time with no data, when the reply is made.
#include "vaultd/server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <string>
#include <vector>

#include "vaultd/faults.h"
#include "vaultd/hactar.h"
#include "vaultd/state.h"
#include "vaultd/vdlog.h"

namespace {

constexpr const char *kPrefix = "/cgi-bin/vaultServer/";
constexpr const char *kControlPrefix = "/vaultd/";
// Largest body kept in memory (check-offset batches, metadata documents).
constexpr size_t kMaxSmallBody = 64u << 20;
constexpr size_t kMultiHeadSize = 84;

const char *const kWarnOutOfOrder =
    "Failed to process metaData, tried to insert out of order backup sequence.";
const char *const kWarnRefused = "Failed to process metaData";

MHD_Daemon *g_daemon = nullptr;  // set once by serverStart

// Blocks held when a test last asked for a mark (POST /vaultd/mark); the
// "resent" count is of blocks in this set. Before any mark, every block
// held when it arrives counts.
std::mutex g_markLock;  // guards the two below
bool g_marked = false;
std::vector<uint8_t> g_heldAtMark;  // block id -> held at the mark

void markHeld() {
  std::vector<uint8_t> held;
  {
    std::lock_guard<std::mutex> g(g_vault.lock);
    held = g_vault.held;
  }
  std::lock_guard<std::mutex> g(g_markLock);
  g_heldAtMark.swap(held);
  g_marked = true;
}

bool heldBefore(const BlockKey &key) {
  {
    std::lock_guard<std::mutex> g(g_markLock);
    if (!g_marked) return vaultHasBlock(key);
  }
  uint32_t id;
  {
    std::lock_guard<std::mutex> g(g_vault.lock);
    auto it = g_vault.ids.find(key);
    if (it == g_vault.ids.end()) return false;
    id = it->second;
  }
  std::lock_guard<std::mutex> g(g_markLock);
  return id < g_heldAtMark.size() && g_heldAtMark[id];
}
bool g_strict = true;            // set once by serverStart

struct Expected {
  const char *name;
  bool optional;
};

// The X- headers of each endpoint, in the order the client sends them.
std::vector<Expected> expectedHeaders(Endpoint e) {
  switch (e) {
    case Endpoint::BlockCount: return {{"X-Protocol", false}, {"X-BackupNo", true}};
    case Endpoint::CheckOffset:
      return {{"X-Expect", false}, {"X-BackupNo", true}, {"X-Protocol", false}};
    case Endpoint::StartBackup:
      return {{"X-Time", false}, {"X-Amt", false}, {"X-Protocol", false},
              {"X-ReserveSize", false}, {"X-Force", true}};
    case Endpoint::EndBackup:
      // An empty identity (a first replication that failed before the
      // instance had one) arrives as no header at all: libcurl drops a
      // header whose value is empty.
      return {{"X-Amt", false}, {"X-BackupUUID", true}, {"X-Protocol", false}};
    case Endpoint::BackupCheck:
      return {{"X-Amt", false}, {"X-Protocol", false}, {"X-BackupNo", true}};
    case Endpoint::MultiBlock:
      return {{"X-Offset", false}, {"X-Time", false}, {"X-BackupNo", false},
              {"X-BackupSize", false}, {"X-ClusterAmt", false}, {"X-Protocol", false}};
    case Endpoint::Block:
      return {{"X-Protocol", false}, {"X-Offset", false}, {"X-Time", false}, {"X-BackupNo", false}};
    case Endpoint::File:
      return {{"X-Protocol", false}, {"X-SRCENC", true}, {"X-BackupNo", false},
              {"X-ElapsedTime", false}};
    default: return {};
  }
}

struct Request {
  Endpoint endpoint = Endpoint::Unknown;
  bool control = false;
  std::string url;
  std::string method;
  FaultAction fault;
  bool process = true;     // false: the fault says the Vault does not act on it
  std::string badRequest;  // set: refuse with 405 once the body is read
  uint64_t bodyBytes = 0;
  std::string body;        // small bodies

  // Header values.
  long backupNo = 0;
  uint64_t fileOffset = 0;
  long expect = 0;
  uint64_t amt = 0;
  uint64_t reserveSize = 0;
  bool force = false;
  long clusterAmt = 0;
  uint64_t backupSize = 0;
  std::string backupUuid;

  // Block bodies (PUT b-..., each multiblock entry).
  BlockSink sink;
  BlockKey key;
  // Multiblock stream parser.
  uint8_t head[kMultiHeadSize] = {};
  size_t headHave = 0;
  bool inEntry = false;
  uint64_t entryLeft = 0;
  uint64_t entryOffset = 0;
  long entries = 0;
  bool blockHeld = false;  // the block now arriving was held before it came
  // HaCTAR upload.
  int fileFd = -1;
  std::string filePath;

  ~Request() {
    if (fileFd >= 0) {
      close(fileFd);
      unlink(filePath.c_str());
    }
  }
  void refuse(const std::string &why) {
    if (badRequest.empty()) badRequest = why;
  }
  bool lose() const { return fault.kind == FaultKind::Lose; }
};

// ---- header helpers ----

struct HeaderList {
  std::vector<std::pair<std::string, std::string>> items;
};

MHD_Result collectHeader(void *cls, MHD_ValueKind, const char *key, const char *value) {
  auto *h = static_cast<HeaderList *>(cls);
  h->items.emplace_back(key, value ? value : "");
  return MHD_YES;
}

const char *headerValue(const HeaderList &h, const char *name) {
  for (const auto &[k, v] : h.items)
    if (strcasecmp(k.c_str(), name) == 0) return v.c_str();
  return nullptr;
}

bool parseU64(const char *s, uint64_t *out) {
  if (!s || !*s) return false;
  char *end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(s, &end, 10);
  if (errno || *end || *s == '-') return false;
  *out = v;
  return true;
}

bool parseLongValue(const char *s, long *out) {
  if (!s || !*s) return false;
  char *end = nullptr;
  errno = 0;
  long v = strtol(s, &end, 10);
  if (errno || *end) return false;
  *out = v;
  return true;
}

// Checks the X- headers (names in order when strict; values always) and
// reads the ones the endpoint uses.
void readHeaders(Request *rq, MHD_Connection *c) {
  HeaderList h;
  MHD_get_connection_values(c, MHD_HEADER_KIND, collectHeader, &h);
  if (g_strict) {
    std::vector<std::string> got;
    for (const auto &[k, v] : h.items)
      if (strncasecmp(k.c_str(), "X-", 2) == 0) got.push_back(k);
    std::vector<Expected> want = expectedHeaders(rq->endpoint);
    size_t i = 0, j = 0;
    bool ok = true;
    while (j < want.size()) {
      if (i < got.size() && got[i] == want[j].name) {
        i++;
        j++;
      } else if (want[j].optional) {
        j++;
      } else {
        ok = false;
        break;
      }
    }
    if (!ok || i != got.size()) {
      std::string list;
      for (const std::string &g : got) list += (list.empty() ? "" : ", ") + g;
      rq->refuse("X- headers out of protocol order or unexpected: " + list);
      return;
    }
  }
  const char *protocol = headerValue(h, "X-Protocol");
  if (!protocol || strcmp(protocol, "1") != 0) {
    rq->refuse("missing or wrong X-Protocol");
    return;
  }
  const char *t = headerValue(h, "X-Time");
  if (t && g_strict && strcmp(t, "5") != 0) rq->refuse("X-Time is not 5");
  const char *v;
  if ((v = headerValue(h, "X-BackupNo")) && !parseLongValue(v, &rq->backupNo))
    rq->refuse("bad X-BackupNo");
  if ((v = headerValue(h, "X-Offset")) && !parseU64(v, &rq->fileOffset)) rq->refuse("bad X-Offset");
  if ((v = headerValue(h, "X-Expect")) && !parseLongValue(v, &rq->expect)) rq->refuse("bad X-Expect");
  if ((v = headerValue(h, "X-Amt")) && !parseU64(v, &rq->amt)) rq->refuse("bad X-Amt");
  if ((v = headerValue(h, "X-ReserveSize")) && !parseU64(v, &rq->reserveSize))
    rq->refuse("bad X-ReserveSize");
  if ((v = headerValue(h, "X-ClusterAmt")) && !parseLongValue(v, &rq->clusterAmt))
    rq->refuse("bad X-ClusterAmt");
  if ((v = headerValue(h, "X-BackupSize")) && !parseU64(v, &rq->backupSize))
    rq->refuse("bad X-BackupSize");
  if ((v = headerValue(h, "X-Force"))) rq->force = strcmp(v, "FORCE") == 0;
  if ((v = headerValue(h, "X-BackupUUID"))) rq->backupUuid = v;
  if (rq->endpoint == Endpoint::MultiBlock && g_strict && rq->fileOffset != 1)
    rq->refuse("multiblock X-Offset is not 1");
}

// ---- classification ----

void classify(Request *rq) {
  const std::string &u = rq->url;
  if (u.rfind(kControlPrefix, 0) == 0) {
    rq->control = true;
    return;
  }
  if (u.rfind(kPrefix, 0) != 0) return;
  std::string ep = u.substr(strlen(kPrefix));
  bool post = rq->method == "POST", put = rq->method == "PUT";
  if (post && ep == "backup-block-count") rq->endpoint = Endpoint::BlockCount;
  else if (post && ep == "post-check-offset") rq->endpoint = Endpoint::CheckOffset;
  else if (post && ep == "start-backup") rq->endpoint = Endpoint::StartBackup;
  else if (post && ep == "end-backup") rq->endpoint = Endpoint::EndBackup;
  else if (post && ep == "backup-check") rq->endpoint = Endpoint::BackupCheck;
  else if (put && ep == "multiblock") rq->endpoint = Endpoint::MultiBlock;
  else if (put && ep.rfind("b-", 0) == 0) rq->endpoint = Endpoint::Block;
  else if (put && ep.rfind("f-", 0) == 0) rq->endpoint = Endpoint::File;
}

bool skipsProcessing(FaultKind k) {
  return k == FaultKind::Status503 || k == FaultKind::Status500 || k == FaultKind::Raw405 ||
         k == FaultKind::Drop || k == FaultKind::RefuseOrder || k == FaultKind::Refuse ||
         k == FaultKind::Stall;
}

void setUp(Request *rq, MHD_Connection *c) {
  classify(rq);
  if (rq->control) return;
  if (rq->endpoint == Endpoint::Unknown) {
    rq->refuse("unknown request " + rq->method + " " + rq->url);
    return;
  }
  rq->fault = faultForRequest(rq->endpoint);
  rq->process = !skipsProcessing(rq->fault.kind);
  readHeaders(rq, c);
  if (!rq->process || !rq->badRequest.empty()) return;
  if (rq->endpoint == Endpoint::Block) {
    std::string name = rq->url.substr(strlen(kPrefix));
    if (parseBlockKeyName(name.c_str(), &rq->key) < 0) {
      rq->refuse("malformed block name " + name);
      return;
    }
    rq->blockHeld = heldBefore(rq->key);
    if (rq->sink.begin(rq->key, rq->lose()) < 0) rq->refuse(rq->sink.error());
  } else if (rq->endpoint == Endpoint::File) {
    rq->filePath = vaultTempPath();
    rq->fileFd = open(rq->filePath.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (rq->fileFd < 0) rq->refuse(std::string("cannot create temporary file: ") + strerror(errno));
  }
}

// ---- body consumption ----

void finishEntry(Request *rq) {
  rq->inEntry = false;
  rq->headHave = 0;
  if (rq->sink.commit() < 0) {
    rq->refuse("multiblock entry " + std::to_string(rq->entries) + ": " + rq->sink.error());
    return;
  }
  if (!rq->lose()) vaultAddReference(rq->backupNo, rq->entryOffset, rq->key);
}

void consumeMulti(Request *rq, const uint8_t *p, size_t n) {
  while (n > 0 && rq->badRequest.empty()) {
    if (!rq->inEntry) {
      size_t take = std::min(kMultiHeadSize - rq->headHave, n);
      memcpy(rq->head + rq->headHave, p, take);
      rq->headHave += take;
      p += take;
      n -= take;
      if (rq->headHave < kMultiHeadSize) return;
      // Entry head: hash type 8, hashed length u32, hash value 64, offset u64.
      rq->key = BlockKey{};
      memcpy(rq->key.hashType, rq->head, 8);
      rq->key.hashedLength = hactar::decodeFixed32(rq->head + 8);
      memcpy(rq->key.hashValue, rq->head + 12, 64);
      rq->entryOffset = hactar::decodeFixed64(rq->head + 76);
      rq->entries++;
      rq->blockHeld = heldBefore(rq->key);
      if (rq->sink.begin(rq->key, rq->lose()) < 0) {
        rq->refuse("multiblock entry " + std::to_string(rq->entries) + ": " + rq->sink.error());
        return;
      }
      rq->inEntry = true;
      rq->entryLeft = rq->key.hashedLength;
      if (rq->entryLeft == 0) finishEntry(rq);
      continue;
    }
    size_t take = rq->entryLeft < n ? static_cast<size_t>(rq->entryLeft) : n;
    faultCountBlock(take, rq->blockHeld);
    if (rq->sink.write(p, take) < 0) {
      rq->refuse(rq->sink.error());
      return;
    }
    p += take;
    n -= take;
    rq->entryLeft -= take;
    if (rq->entryLeft == 0) finishEntry(rq);
  }
}

void consumeBody(Request *rq, const char *data, size_t n) {
  rq->bodyBytes += n;
  if (rq->fault.kind == FaultKind::SlowRead)
    usleep(static_cast<useconds_t>((rq->fault.arg < 0 ? 50 : rq->fault.arg) * 1000));
  if (!rq->badRequest.empty() || (!rq->control && !rq->process)) return;
  const uint8_t *p = reinterpret_cast<const uint8_t *>(data);
  switch (rq->endpoint) {
    case Endpoint::MultiBlock: consumeMulti(rq, p, n); return;
    case Endpoint::Block:
      faultCountBlock(n, rq->blockHeld);
      if (rq->sink.write(p, n) < 0) rq->refuse(rq->sink.error());
      return;
    case Endpoint::File:
      faultCountFile(n);
      while (n > 0) {
        ssize_t w = write(rq->fileFd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) {
          rq->refuse(std::string("cannot write HaCTAR: ") + strerror(errno));
          return;
        }
        p += w;
        n -= static_cast<size_t>(w);
      }
      return;
    default:
      if (rq->body.size() + n > kMaxSmallBody) {
        rq->refuse("body too large");
        return;
      }
      rq->body.append(data, n);
  }
}

// ---- replies ----

struct SlowBody {
  std::string data;
  long delayMs;
};

ssize_t slowReader(void *cls, uint64_t pos, char *buf, size_t max) {
  auto *s = static_cast<SlowBody *>(cls);
  if (pos >= s->data.size()) return MHD_CONTENT_READER_END_OF_STREAM;
  if (max == 0) return 0;
  usleep(static_cast<useconds_t>(s->delayMs * 1000));
  buf[0] = s->data[pos];
  return 1;
}

void slowFree(void *cls) { delete static_cast<SlowBody *>(cls); }

MHD_Result rawReply(MHD_Connection *c, const char *statusLine, const std::string &body) {
  const MHD_ConnectionInfo *ci = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (!ci) return MHD_NO;
  int fd = ci->connect_fd;
  std::string msg = std::string(statusLine) +
                    "\r\nContent-Type: text/plain\r\nConnection: close\r\nContent-Length: " +
                    std::to_string(body.size()) + "\r\n\r\n" + body;
  size_t off = 0;
  while (off < msg.size()) {
    ssize_t w = send(fd, msg.data() + off, msg.size() - off, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      struct pollfd pfd = {fd, POLLOUT, 0};
      if (poll(&pfd, 1, 10000) <= 0) break;
      continue;
    }
    if (w <= 0) break;
    off += static_cast<size_t>(w);
  }
  // Returning MHD_NO closes the connection after what was written.
  return MHD_NO;
}

MHD_Result badRequestReply(Request *rq, MHD_Connection *c) {
  VDLOG(0, "405 Bad Request for %s %s: %s", rq->method.c_str(), rq->url.c_str(),
        rq->badRequest.c_str());
  return rawReply(c, "HTTP/1.1 405 Bad Request", rq->badRequest + "\n");
}

MHD_Result plainReply(MHD_Connection *c, unsigned int status, const std::string &body,
                      const char *warning = nullptr) {
  MHD_Response *r = MHD_create_response_from_buffer(body.size(), const_cast<char *>(body.data()),
                                                    MHD_RESPMEM_MUST_COPY);
  if (!r) return MHD_NO;
  if (warning) MHD_add_response_header(r, "Warning", warning);
  MHD_add_response_header(r, "Content-Type", "application/octet-stream");
  MHD_Result ret = MHD_queue_response(c, status, r);
  MHD_destroy_response(r);
  return ret;
}

// Sends the reply of a processed request, applying the reply faults.
MHD_Result protocolReply(Request *rq, MHD_Connection *c, std::string body,
                         const char *warning = nullptr) {
  const FaultAction &f = rq->fault;
  std::string injected;
  if (f.kind == FaultKind::Warning && !warning) {
    injected = f.text.empty() ? "vaultd injected warning" : f.text;
    warning = injected.c_str();
  }
  if (f.kind == FaultKind::DropAfter) {
    VDLOG(1, "dropping the connection after processing %s", rq->url.c_str());
    return MHD_NO;
  }
  if (f.kind == FaultKind::Truncate && f.arg >= 0 && static_cast<size_t>(f.arg) < body.size())
    body.resize(static_cast<size_t>(f.arg));
  if (f.kind == FaultKind::Delay) usleep(static_cast<useconds_t>((f.arg < 0 ? 1000 : f.arg) * 1000));
  if (f.kind == FaultKind::Slow && !body.empty()) {
    auto *s = new SlowBody{body, f.arg < 0 ? 50 : f.arg};
    MHD_Response *r = MHD_create_response_from_callback(s->data.size(), 1, slowReader, s, slowFree);
    if (!r) {
      delete s;
      return MHD_NO;
    }
    if (warning) MHD_add_response_header(r, "Warning", warning);
    MHD_Result ret = MHD_queue_response(c, MHD_HTTP_OK, r);
    MHD_destroy_response(r);
    return ret;
  }
  return plainReply(c, MHD_HTTP_OK, body, warning);
}

std::string u64le(uint64_t v) {
  uint8_t b[8];
  hactar::encodeFixed64(b, v);
  return std::string(reinterpret_cast<char *>(b), 8);
}

MHD_Result answerBackupCheck(Request *rq, MHD_Connection *c) {
  std::string identity = rq->body.substr(0, rq->body.find('\0'));
  uint64_t status = 0, properties = 0;
  long result = vaultCheckBackup(identity, rq->backupNo > 0 ? rq->backupNo : 0, &status, &properties);
  VDLOG(2, "backup-check \"%s\" no %ld: %ld status 0x%" PRIx64 " properties 0x%" PRIx64,
        identity.c_str(), rq->backupNo, result, status, properties);
  // result, status, properties, the request body echoed into A bytes, then
  // the CRC-32 of everything before it.
  std::string reply = u64le(static_cast<uint64_t>(result)) + u64le(status) + u64le(properties);
  std::string echo = rq->body;
  echo.resize(rq->amt, '\0');
  reply += echo;
  uint32_t crc = hactar::crc32Update(0, reply.data(), reply.size());
  if (rq->fault.kind == FaultKind::BadCrc) crc ^= 0xFFFFFFFFu;
  uint8_t cb[4];
  hactar::encodeFixed32(cb, crc);
  reply.append(reinterpret_cast<char *>(cb), 4);
  return protocolReply(rq, c, reply);
}

MHD_Result answer(Request *rq, MHD_Connection *c) {
  switch (rq->endpoint) {
    case Endpoint::BlockCount: {
      uint64_t n = vaultBlockCount(rq->backupNo > 0 ? rq->backupNo : 0);
      VDLOG(2, "backup-block-count %ld: %" PRIu64, rq->backupNo, n);
      return protocolReply(rq, c, u64le(n));
    }
    case Endpoint::CheckOffset: {
      if (rq->expect < 0 || rq->body.size() != static_cast<size_t>(rq->expect) * 88) {
        rq->refuse("post-check-offset body of " + std::to_string(rq->body.size()) +
                   " bytes for X-Expect " + std::to_string(rq->expect));
        return badRequestReply(rq, c);
      }
      std::string reply;
      if (vaultCheckOffsets(rq->backupNo, reinterpret_cast<const uint8_t *>(rq->body.data()),
                            static_cast<size_t>(rq->expect), &reply) < 0)
        return plainReply(c, MHD_HTTP_INTERNAL_SERVER_ERROR, "cannot record references\n");
      return protocolReply(rq, c, reply);
    }
    case Endpoint::StartBackup: {
      long number = 0;
      int r = vaultStartBackup(rq->body, rq->reserveSize, rq->force, &number);
      if (r == -5) return protocolReply(rq, c, "-5", kWarnOutOfOrder);
      if (r != 0) return protocolReply(rq, c, "-6", kWarnRefused);
      return protocolReply(rq, c, std::to_string(number));
    }
    case Endpoint::EndBackup: {
      std::string message = rq->body.substr(0, rq->body.find('\0'));
      faultNotice(message);
      vaultEndBackup(rq->backupUuid, message);
      // Replies that the client reads only for their status carry no body:
      // libcurl would copy one to the client's standard output.
      return protocolReply(rq, c, "");
    }
    case Endpoint::BackupCheck: return answerBackupCheck(rq, c);
    case Endpoint::MultiBlock:
      if (rq->inEntry || rq->headHave) {
        rq->refuse("multiblock body ends inside entry " + std::to_string(rq->entries));
        return badRequestReply(rq, c);
      }
      if (rq->entries != rq->clusterAmt) {
        rq->refuse("multiblock holds " + std::to_string(rq->entries) + " entries, X-ClusterAmt " +
                   std::to_string(rq->clusterAmt));
        return badRequestReply(rq, c);
      }
      if (g_strict && rq->backupSize != rq->bodyBytes) {
        rq->refuse("X-BackupSize differs from the body length");
        return badRequestReply(rq, c);
      }
      VDLOG(2, "multiblock: %ld blocks for backup %ld%s", rq->entries, rq->backupNo,
            rq->lose() ? " (lost)" : "");
      return protocolReply(rq, c, "");
    case Endpoint::Block:
      if (rq->sink.commit() < 0) {
        rq->refuse(rq->sink.error());
        return badRequestReply(rq, c);
      }
      return protocolReply(rq, c, "");
    case Endpoint::File: {
      close(rq->fileFd);
      rq->fileFd = -1;
      BuildOutcome outcome = rq->fault.kind == FaultKind::BuildFail     ? BuildOutcome::Fail
                             : rq->fault.kind == FaultKind::BuildCancel ? BuildOutcome::Cancel
                                                                        : BuildOutcome::Normal;
      int polls = rq->fault.kind == FaultKind::BuildWait ? static_cast<int>(rq->fault.arg < 0 ? 3 : rq->fault.arg) : 0;
      if (vaultReceiveHactar(rq->backupNo, rq->filePath, outcome, polls) < 0) {
        rq->refuse("HaCTAR refused for backup " + std::to_string(rq->backupNo));
        return badRequestReply(rq, c);
      }
      return protocolReply(rq, c, "");
    }
    default: return badRequestReply(rq, c);
  }
}

MHD_Result answerControl(Request *rq, MHD_Connection *c) {
  std::string ep = rq->url.substr(strlen(kControlPrefix));
  if (rq->method == "POST" && ep == "fault") {
    std::string error;
    if (faultAdd(rq->body, &error) < 0) return plainReply(c, MHD_HTTP_BAD_REQUEST, error + "\n");
    return plainReply(c, MHD_HTTP_OK, "OK\n");
  }
  if (rq->method == "POST" && ep == "mark") {
    markHeld();
    return plainReply(c, MHD_HTTP_OK, "OK\n");
  }
  if (rq->method == "POST" && ep == "clear-faults") {
    faultClear();
    return plainReply(c, MHD_HTTP_OK, "OK\n");
  }
  if (rq->method == "GET" && ep == "counters") return plainReply(c, MHD_HTTP_OK, faultCounters());
  if (rq->method == "GET" && ep == "received") return plainReply(c, MHD_HTTP_OK, faultReceived());
  if (rq->method == "GET" && ep == "backup") {
    const char *no = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "no");
    std::string d = no ? vaultDescribe(strtol(no, nullptr, 10)) : "";
    if (d.empty()) return plainReply(c, MHD_HTTP_NOT_FOUND, "no such backup\n");
    return plainReply(c, MHD_HTTP_OK, d);
  }
  if (rq->method == "GET" && ep == "blocks") return plainReply(c, MHD_HTTP_OK, std::to_string(vaultBlockCount(0)));
  if (rq->method == "GET" && ep == "block") {
    const char *name = MHD_lookup_connection_value(c, MHD_GET_ARGUMENT_KIND, "name");
    BlockKey key;
    if (!name || parseBlockKeyName(name, &key) < 0)
      return plainReply(c, MHD_HTTP_BAD_REQUEST, "bad block name\n");
    return plainReply(c, MHD_HTTP_OK, vaultHasBlock(key) ? "1" : "0");
  }
  return plainReply(c, MHD_HTTP_NOT_FOUND, "unknown control request\n");
}

MHD_Result finish(Request *rq, MHD_Connection *c) {
  if (rq->control) return answerControl(rq, c);
  switch (rq->fault.kind) {
    case FaultKind::Drop:
      VDLOG(1, "dropping the connection of %s", rq->url.c_str());
      return MHD_NO;
    case FaultKind::Status503:
      return plainReply(c, MHD_HTTP_SERVICE_UNAVAILABLE, "service unavailable (injected)\n");
    case FaultKind::Status500:
      return plainReply(c, MHD_HTTP_INTERNAL_SERVER_ERROR, "internal error (injected)\n");
    case FaultKind::Raw405:
      return rawReply(c, "HTTP/1.1 405 Bad Request", "bad request (injected)\n");
    case FaultKind::RefuseOrder: return plainReply(c, MHD_HTTP_OK, "-5", kWarnOutOfOrder);
    case FaultKind::Refuse: return plainReply(c, MHD_HTTP_OK, "-6", kWarnRefused);
    default: break;
  }
  if (!rq->badRequest.empty()) return badRequestReply(rq, c);
  return answer(rq, c);
}

// The "kill" fault: the process ends as a killed Vault would, with no
// clean stop, mid-request.
[[noreturn]] void dieNow(Request *rq) {
  VDLOG(0, "killed (injected) during %s after %" PRIu64 " body bytes", rq->url.c_str(), rq->bodyBytes);
  kill(getpid(), SIGKILL);
  _exit(137);
}

MHD_Result accessHandler(void *, MHD_Connection *c, const char *url, const char *method,
                         const char *, const char *upload, size_t *uploadSize, void **ctx) {
  auto *rq = static_cast<Request *>(*ctx);
  if (!rq) {
    rq = new Request;
    rq->url = url;
    rq->method = method;
    *ctx = rq;
    setUp(rq, c);
    VDLOG(3, "%s %s", method, url);
    if (rq->fault.kind == FaultKind::Stall) {
      VDLOG(1, "stalling %s for %ld ms", url, rq->fault.arg < 0 ? 30000 : rq->fault.arg);
      usleep(static_cast<useconds_t>((rq->fault.arg < 0 ? 30000 : rq->fault.arg) * 1000));
      return MHD_NO;
    }
    if (rq->fault.kind == FaultKind::Kill && rq->fault.arg <= 0) dieNow(rq);
    return MHD_YES;
  }
  if (*uploadSize) {
    consumeBody(rq, upload, *uploadSize);
    *uploadSize = 0;
    if (rq->fault.kind == FaultKind::Kill && rq->bodyBytes >= static_cast<uint64_t>(rq->fault.arg)) dieNow(rq);
    if (rq->fault.kind == FaultKind::Cut && rq->bodyBytes >= static_cast<uint64_t>(rq->fault.arg < 0 ? 1 : rq->fault.arg)) {
      VDLOG(1, "cutting the connection of %s after %" PRIu64 " body bytes", rq->url.c_str(), rq->bodyBytes);
      return MHD_NO;
    }
    return MHD_YES;
  }
  return finish(rq, c);
}

void requestDone(void *, MHD_Connection *, void **ctx, MHD_RequestTerminationCode) {
  delete static_cast<Request *>(*ctx);
  *ctx = nullptr;
}

}  // namespace

int serverStart(const ServerOptions &options) {
  g_strict = options.strictHeaders;
  struct sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(options.port));
  if (inet_pton(AF_INET, options.listenAddress, &addr.sin_addr) != 1) {
    VDLOG(0, "bad listen address %s", options.listenAddress);
    return -1;
  }
  g_daemon = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL, 0, nullptr,
      nullptr, accessHandler, nullptr, MHD_OPTION_SOCK_ADDR, &addr, MHD_OPTION_NOTIFY_COMPLETED,
      requestDone, nullptr, MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(128 << 10),
      MHD_OPTION_CONNECTION_TIMEOUT, 600u, MHD_OPTION_END);
  if (!g_daemon) {
    VDLOG(0, "cannot listen on %s:%d", options.listenAddress, options.port);
    return -1;
  }
  const MHD_DaemonInfo *info = MHD_get_daemon_info(g_daemon, MHD_DAEMON_INFO_BIND_PORT);
  return info ? info->port : options.port;
}

void serverStop() {
  if (g_daemon) MHD_stop_daemon(g_daemon);
  g_daemon = nullptr;
}
