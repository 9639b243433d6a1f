// rest.cpp: the Vault requests: URL and headers, body layout, reply checks
// and result codes. Carrying the bytes is the transfer engine's job.
#include "vault/rest.h"

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>
#include <zlib.h>

#include <openssl/evp.h>

#include "lib/config.h"
#include "lib/ini.h"
#include "lib/logger.h"

namespace {

// Room for "/cgi-bin/vaultServer/" plus the longest endpoint: a block name
// or "f-" with a local path of up to PATH_MAX.
constexpr size_t URL_MARGIN = 4352;
constexpr size_t HEADER_BUF = 256;
constexpr size_t PROTOCOL_HEADER_BUF = 32;
constexpr size_t UUID_HEADER_BUF = 512;

struct CurlDeleter {
  void operator()(CURL *h) const { curl_easy_cleanup(h); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;

struct SlistDeleter {
  void operator()(curl_slist *l) const { curl_slist_free_all(l); }
};

void putLE32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}
void putLE64(uint8_t *p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = (uint8_t)(v >> (8 * i));
}
uint32_t getLE32(const uint8_t *p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; i--) v = v << 8 | p[i];
  return v;
}
uint64_t getLE64(const uint8_t *p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = v << 8 | p[i];
  return v;
}

// Request headers, formatted into bounded buffers and kept in order.
class HeaderList {
 public:
  ~HeaderList() { curl_slist_free_all(list_); }
  // Formats one header into a buffer of bufSize bytes and appends it.
  // -1 after logging "Message too long for buffer" when it does not fit.
  int add(size_t bufSize, const char *fmt, ...) __attribute__((format(printf, 3, 4))) {
    char buf[UUID_HEADER_BUF];
    if (bufSize > sizeof buf) bufSize = sizeof buf;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, bufSize, fmt, ap);
    va_end(ap);
    if (n < 0 || (size_t)n >= bufSize) {
      LOG(0, "Message too long for buffer");
      return -1;
    }
    curl_slist *grown = curl_slist_append(list_, buf);
    if (!grown) {
      LOG(0, "Failed to allocate memory");
      return -1;
    }
    list_ = grown;
    texts_.emplace_back(buf);
    return 0;
  }
  int protocol() { return add(PROTOCOL_HEADER_BUF, "X-Protocol: %d", VAULT_PROTOCOL_VERSION); }
  curl_slist *get() const { return list_; }
  const std::vector<std::string> &texts() const { return texts_; }

 private:
  curl_slist *list_ = nullptr;
  std::vector<std::string> texts_;
};

// Builds "<target>/cgi-bin/vaultServer/<endpoint>". -1 (logged) when it does
// not fit the URL buffer.
int buildUrl(std::string *url, const char *target, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
int buildUrl(std::string *url, const char *target, const char *fmt, ...) {
  size_t size = strlen(target) + URL_MARGIN;
  std::vector<char> buf(size);
  int n = snprintf(buf.data(), size, "%s/cgi-bin/vaultServer/", target);
  if (n < 0 || (size_t)n >= size) {
    LOG(0, "Message too long for buffer");
    return -1;
  }
  va_list ap;
  va_start(ap, fmt);
  int m = vsnprintf(buf.data() + n, size - n, fmt, ap);
  va_end(ap);
  if (m < 0 || (size_t)(n + m) >= size) {
    LOG(0, "Message too long for buffer");
    return -1;
  }
  url->assign(buf.data());
  LOG(4, "Query: %s\n", url->c_str());
  return 0;
}

constexpr long kUploadBufferSize = 512 * 1024;

// What one request needs from the transfer engine.
struct Call {
  ThreadCurlData *td = nullptr;
  CurlPtr h;
  ReplyStatus stat;
};

// Gets the thread record and a fresh handle. -1 (logged) on failure.
int openCall(Call *call) {
  call->td = getThreadCurlData();
  if (!call->td) {
    LOG(0, "Failed to get thread specific curl data.");
    return -1;
  }
  call->h.reset(curl_easy_init());
  if (!call->h) {
    LOG(0, "Failed curl_easy_init()");
    return -1;
  }
  return 0;
}

enum class Method { Post, Put };

// Sets the options every request shares and performs it. body/reader may
// be null for a request without a body; reply may be null when the reply
// body is not read (libcurl then writes it to standard output).
CURLcode perform(Call *call, Method method, const std::string &url, HeaderList *headers,
                 void *source, curl_read_callback reader, uint64_t bodyLength, ReplyBuffer *reply) {
  CURL *h = call->h.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  // Senders run in threads: no signals from libcurl (its sends use
  // MSG_NOSIGNAL), which also spares a pair of sigaction calls per read
  // callback.
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  // Bodies run to megabytes: read and send them in large pieces.
  curl_easy_setopt(h, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferSize);
  if (method == Method::Post) {
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    if (reader) {
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)bodyLength);
    } else {
      // No body: an empty field list, so libcurl reads nothing.
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, "");
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)0);
    }
  } else {
    // CURLOPT_UPLOAD makes libcurl's HTTP method PUT.
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, (curl_off_t)bodyLength);
  }
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers->get());
  if (reader) {
    curl_easy_setopt(h, CURLOPT_READFUNCTION, reader);
    curl_easy_setopt(h, CURLOPT_READDATA, call->td);
  }
  if (reply) {
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, replyCollector);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, reply);
  }
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, replyHeaderCallback);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &call->stat);
  installSockoptCallback(h);

  call->stat.errorCode = 1;
  call->stat.interim = 0;
  call->td->source = source;
  CURLcode res = performTransfer(h, call->td);
  call->td->source = nullptr;
  if (res != CURLE_OK) LOG(4, "curl_easy_perform res:%d, %s", (int)res, curl_easy_strerror(res));
  return res;
}

void setCurl(CURLcode *out, CURLcode v) {
  if (out) *out = v;
}

// Opens, stats and closes a file to learn its size. -1 (logged).
int fileSize(const char *path, uint64_t *size) {
  FILE *fp = fopen(path, "rb");
  if (!fp) {
    LOG(0, "Failed to open:%s", path);
    LOG(0, "Error opening: %s", strerror(errno));
    return -1;
  }
  struct stat st;
  if (fstat(fileno(fp), &st) < 0) {
    LOG(0, "Failed to stat:%s", path);
    LOG(0, "Error checking: %s", strerror(errno));
    fclose(fp);
    return -1;
  }
  if (fclose(fp) != 0) {
    LOG(0, "Failed to close:%s", path);
    LOG(0, "Error closing: %s", strerror(errno));
    return -1;
  }
  *size = (uint64_t)st.st_size;
  return 0;
}

// Upper-case hex of the 64 hash bytes. Kept here rather than using the
// pipeline's toHex because the pipeline library links against this one.
std::string hashHex(const uint8_t *bytes, size_t count = HASH_VALUE_SIZE) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out(2 * count, '0');
  for (size_t i = 0; i < count; i++) {
    out[2 * i] = digits[bytes[i] >> 4];
    out[2 * i + 1] = digits[bytes[i] & 0xF];
  }
  return out;
}

bool isSha512(const char *hashType) { return strncmp(hashType, "sha512", HASH_TYPE_SIZE) == 0; }

struct FileCloser {
  void operator()(FILE *f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

}  // namespace

void encodeCheckOffsetEntry(const HashListEntry *e, uint8_t *out) {
  memset(out, 0, CHECK_OFFSET_ENTRY_BYTES);
  memcpy(out, e->value.hashType, strnlen(e->value.hashType, HASH_TYPE_SIZE));
  putLE64(out + 8, e->value.hashedLength);
  memcpy(out + 16, e->value.hashValue, HASH_VALUE_SIZE);
  putLE64(out + 80, e->location.fileOffset);
}

void encodeMultiBlockHeader(const HashListEntry *e, uint8_t *out) {
  memset(out, 0, MULTI_BLOCK_HEADER_BYTES);
  memcpy(out, e->value.hashType, strnlen(e->value.hashType, HASH_TYPE_SIZE));
  putLE32(out + 8, (uint32_t)e->value.hashedLength);
  memcpy(out + 12, e->value.hashValue, HASH_VALUE_SIZE);
  putLE64(out + 76, e->location.fileOffset);
}

int wireBlockName(const HashValue *record, char *out, size_t size) {
  std::string hex = hashHex(record->hashValue);
  int n = snprintf(out, size, "b-%.*s-%d-%s", (int)HASH_TYPE_SIZE, record->hashType,
                   (int)(int32_t)record->hashedLength, hex.c_str());
  if (n < 0 || (size_t)n >= size) {
    LOG(0, "Message too long for buffer");
    return -1;
  }
  return 0;
}

int postBlockCount(const char *target, uint64_t backupNo, uint64_t *count, CURLcode *curlResult) {
  LOG(6, "postBlockCount");
  setCurl(curlResult, CURLE_OK);
  std::string url;
  HeaderList headers;
  if (buildUrl(&url, target, "backup-block-count") < 0 || headers.protocol() < 0 ||
      (backupNo != 0 && headers.add(HEADER_BUF, "X-BackupNo: %lu", (unsigned long)backupNo) < 0))
    return -1;
  Call call;
  if (openCall(&call) < 0) return -1;
  ReplyBuffer reply;
  CURLcode res = perform(&call, Method::Post, url, &headers, nullptr, nullptr, 0, &reply);
  setCurl(curlResult, res);
  int ret;
  if (call.stat.errorCode != 0) {
    LOG(0, "Curl failure: curl_easy_perform:%d, stat.errorCode:%d, response payload size:%zd",
        (int)res, call.stat.errorCode, (ssize_t)reply.len);
    ret = operationResult(call.stat.errorCode);
  } else if (reply.len < 8) {
    LOG(0, "ERROR: Unexpected response payload size:%zd, expected size>=%lu, curl_easy_perform:%d.\n",
        (ssize_t)reply.len, 8ul, (int)res);
    ret = -1;
  } else {
    if (count) *count = getLE64((const uint8_t *)reply.data);
    ret = 0;
  }
  LOG(6, "Return:%d", ret);
  return ret;
}

int postCheckOffset(const char *target, const HashListEntry *entries, int count, char **reply,
                    long backupNo, CURLcode *curlResult) {
  setCurl(curlResult, CURLE_OK);
  if (reply) *reply = nullptr;
  if (!entries || count < 0 || !reply) {
    LOG(0, "postCheckOffset: invalid arguments");
    return -1;
  }
  std::string url;
  HeaderList headers;
  if (buildUrl(&url, target, "post-check-offset") < 0 ||
      headers.add(HEADER_BUF, "X-Expect:%d", count) < 0 ||
      (backupNo > 0 && headers.add(HEADER_BUF, "X-BackupNo: %ld", backupNo) < 0) ||
      headers.protocol() < 0)
    return -1;
  std::vector<uint8_t> body;
  try {
    body.resize((size_t)count * CHECK_OFFSET_ENTRY_BYTES);
  } catch (const std::bad_alloc &) {
    LOG(0, "Failed to allocate memory");
    return -1;
  }
  for (int i = 0; i < count; i++)
    encodeCheckOffsetEntry(&entries[i], body.data() + (size_t)i * CHECK_OFFSET_ENTRY_BYTES);
  Call call;
  if (openCall(&call) < 0) return -1;
  MemorySource src{body.data(), body.size()};
  ReplyBuffer answer;
  CURLcode res = perform(&call, Method::Post, url, &headers, &src, memoryReader, body.size(), &answer);
  setCurl(curlResult, res);
  if (call.stat.errorCode != 0) {
    LOG(0, "Curl failure: curl_easy_perform:%d, stat.errorCode:%d, response payload size:%zd, num:%d",
        (int)res, call.stat.errorCode, (ssize_t)answer.len, count);
    return operationResult(call.stat.errorCode);
  }
  if (answer.len != (size_t)count) {
    LOG(0, "ERROR: Unexpected response payload size:%zd, expected size:%d, curl_easy_perform:%d.\n",
        (ssize_t)answer.len, count, (int)res);
    return -1;
  }
  *reply = answer.release();
  return 0;
}

long postStartBackup(const char *target, const char *metadata, size_t length,
                     uint64_t reserveSize, CURLcode *curlResult, int force) {
  setCurl(curlResult, CURLE_OK);
  std::string url;
  HeaderList headers;
  if (buildUrl(&url, target, "start-backup") < 0 ||
      headers.add(HEADER_BUF, "X-Time: %d", VAULT_X_TIME) < 0 ||
      headers.add(HEADER_BUF, "X-Amt:%lu", (unsigned long)length) < 0 || headers.protocol() < 0 ||
      headers.add(HEADER_BUF, "X-ReserveSize:%lu", (unsigned long)reserveSize) < 0 ||
      (force && headers.add(HEADER_BUF, "X-Force: FORCE") < 0))
    return -1;
  Call call;
  if (openCall(&call) < 0) return -1;
  MemorySource src{(const uint8_t *)metadata, metadata ? length : 0};
  ReplyBuffer reply;
  CURLcode res = perform(&call, Method::Post, url, &headers, &src, memoryReader, src.remaining, &reply);
  setCurl(curlResult, res);
  long ret;
  if (call.stat.errorCode != 0) {
    LOG(0, "Curl failure: curl_easy_perform:%d, stat.errorCode:%d, response payload size:%zd",
        (int)res, call.stat.errorCode, (ssize_t)reply.len);
    ret = operationResult(call.stat.errorCode);
  } else if (reply.len == 0) {
    LOG(0, "ERROR: Unexpected response payload size:%zd, expected size>0, curl_easy_perform:%d.\n",
        (ssize_t)reply.len, (int)res);
    ret = -1;
  } else {
    ret = 0;
    if (sscanf(reply.data, "%ld", &ret) != 1) ret = 0;
  }
  LOG(4, "Return:%ld", ret);
  return ret;
}

int postEndBackup(const char *target, const char *identity, const char *message, size_t length,
                  CURLcode *curlResult) {
  setCurl(curlResult, CURLE_OK);
  std::string url;
  HeaderList headers;
  if (buildUrl(&url, target, "end-backup") < 0 ||
      headers.add(HEADER_BUF, "X-Amt:%lu", (unsigned long)length) < 0 ||
      headers.add(UUID_HEADER_BUF, "X-BackupUUID: %s", identity ? identity : "") < 0 ||
      headers.protocol() < 0)
    return -1;
  Call call;
  if (openCall(&call) < 0) return -1;
  MemorySource src{(const uint8_t *)message, message ? length : 0};
  ReplyBuffer reply;  // collected and discarded
  CURLcode res = perform(&call, Method::Post, url, &headers, &src, memoryReader, src.remaining, &reply);
  setCurl(curlResult, res);
  return operationResult(call.stat.errorCode);
}

long postBackupCheck(const char *target, const char *identity, size_t identityLength,
                     uint64_t backupNo, uint64_t *status, uint64_t *properties,
                     CURLcode *curlResult) {
  setCurl(curlResult, CURLE_OK);
  std::string url;
  HeaderList headers;
  if (buildUrl(&url, target, "backup-check") < 0 ||
      headers.add(HEADER_BUF, "X-Amt:%lu", (unsigned long)identityLength) < 0 ||
      headers.protocol() < 0 ||
      (backupNo != 0 && headers.add(HEADER_BUF, "X-BackupNo: %lu", (unsigned long)backupNo) < 0))
    return -1;
  Call call;
  if (openCall(&call) < 0) return -1;
  MemorySource src{(const uint8_t *)identity, identity ? identityLength : 0};
  ReplyBuffer reply;
  CURLcode res = perform(&call, Method::Post, url, &headers, &src, memoryReader, src.remaining, &reply);
  setCurl(curlResult, res);
  if (call.stat.errorCode != 0) {
    LOG(0, "Curl failure: curl_easy_perform:%d, stat.errorCode:%d, response payload size:%zd",
        (int)res, call.stat.errorCode, (ssize_t)reply.len);
    return -1;
  }
  long result = -1;
  if (parseBackupCheckReply((const uint8_t *)reply.data, reply.len, identityLength,
                            iniGetInt("Replication", "RequireChecksum", 0, g_master_ini) == 1,
                            &result, status, properties) < 0)
    return -1;
  return result;
}

int parseBackupCheckReply(const uint8_t *d, size_t len, uint64_t amt, bool requireChecksum,
                          long *result, uint64_t *status, uint64_t *properties) {
  LOG(6, "Amt size:%lu", (unsigned long)amt);
  LOG(5, "Protocol Three Size:%lu", (unsigned long)(amt + 28));
  LOG(4, "response payload size: %zd", (ssize_t)len);
  if (requireChecksum) {
    if (len < amt + 28) {
      LOG(0, "Checksum required, but the response is too small to contain one. Set [Replication] "
             "RequireChecksum=0 if querying a system that does not support checksumed responses.");
      return -1;
    }
    uint32_t sent = getLE32(d + amt + 24);
    uint32_t calculated = (uint32_t)crc32(0L, d, (uInt)(amt + 24));
    LOG(4, "Checksum results. Sent: %u Calculated: %u", sent, calculated);
    if (sent != calculated) {
      LOG(0, "Checksum does not match in response. Sent: %u Calculated: %u", sent, calculated);
      return -1;
    }
  }
  if (len < BACKUP_CHECK_MIN_REPLY) {
    LOG(0, "Response from target is too small for any supported protocol version. Size: %zd",
        (ssize_t)len);
    return -1;
  }
  *result = (long)getLE64(d);
  if (status) *status = getLE64(d + 8);
  if (len < BACKUP_CHECK_PROPS_REPLY) {
    if (properties) *properties = 0;
    LOG(0, "Target does not support providing backup properties, local block elimination is not "
           "supported.");
  } else {
    uint64_t props = getLE64(d + 16);
    if (properties) *properties = props;
    LOG(1, "Backup properties on target is %lu", (unsigned long)props);
  }
  return 0;
}

int putMultiBlocks(const char *target, const uint8_t *buffer, size_t used, long count,
                   long backupNo, CURLcode *curlResult) {
  setCurl(curlResult, CURLE_OK);
  if (!buffer || used == 0 || count <= 0) {
    LOG(0, "putMultiBlocks: nothing to send");
    return -1;
  }
  LOG(4, "Starting putMultiBlocks(5)\n");
  std::string url;
  HeaderList headers;
  if (buildUrl(&url, target, "multiblock") < 0 || headers.add(HEADER_BUF, "X-Offset: %d", 1) < 0 ||
      headers.add(HEADER_BUF, "X-Time: %d", VAULT_X_TIME) < 0 ||
      headers.add(HEADER_BUF, "X-BackupNo: %ld", backupNo) < 0 ||
      headers.add(HEADER_BUF, "X-BackupSize: %lu", (unsigned long)used) < 0 ||
      headers.add(HEADER_BUF, "X-ClusterAmt: %ld", count) < 0 || headers.protocol() < 0)
    return -1;
  const auto &t = headers.texts();
  LOG(4, "Options:\n%s\n%s\n%s\n%s\n%s\n%s\n", t[0].c_str(), t[1].c_str(), t[2].c_str(),
      t[3].c_str(), t[4].c_str(), t[5].c_str());
  Call call;
  if (openCall(&call) < 0) return -1;
  MemorySource src{buffer, used};
  CURLcode res = perform(&call, Method::Put, url, &headers, &src, memoryReader, used, nullptr);
  setCurl(curlResult, res);
  return operationResult(call.stat.errorCode);
}

namespace {

// SHA-512 of data rendered in hex; the same digest as the store's hash
// contexts. Null (logged) on failure.
char *sha512Hex(const uint8_t *data, size_t len) {
  EVP_MD_CTX *ctx = EVP_MD_CTX_new();
  if (!ctx || EVP_DigestInit_ex(ctx, EVP_sha512(), nullptr) != 1) {
    EVP_MD_CTX_free(ctx);
    LOG(0, "initializeHashContext failed\n");
    return nullptr;
  }
  if (EVP_DigestUpdate(ctx, data, len) != 1) {
    EVP_MD_CTX_free(ctx);
    LOG(0, "failed to add data to hash context\n");
    return nullptr;
  }
  uint8_t digest[HASH_VALUE_SIZE];
  unsigned int dlen = 0;
  int ok = EVP_DigestFinal_ex(ctx, digest, &dlen);
  EVP_MD_CTX_free(ctx);
  if (ok != 1 || dlen != HASH_VALUE_SIZE) {
    LOG(0, "failed to calculate hash\n");
    return nullptr;
  }
  return strdup(hashHex(digest).c_str());
}

}  // namespace

int putBlocks(const char *target, SendTableSlot *slots, const HashListEntry *entries, int count,
              int verify, long backupNo, CURLcode *curlResult) {
  LOG(4, "Starting putBlocks(5)\n");
  setCurl(curlResult, CURLE_OK);
  if (!slots || !entries) return 0;
  ThreadCurlData *td = getThreadCurlData();
  if (!td) {
    LOG(0, "Failed to get thread specific curl data.");
    return 0;
  }
  int i = 0;
  for (; i < count; i++) {
    const HashValue &rec = entries[i].value;
    if (slots[i].length == 0) {
      LOG(4, "No need to send block\n");
      continue;
    }
    std::string hexText;
    try {
      hexText = hashHex(rec.hashValue);
    } catch (const std::bad_alloc &) {
      LOG(0, "Failed to get hex value");
      break;
    }
    const char *hex = hexText.c_str();
    if (verify == 1) {
      if (!isSha512(rec.hashType)) {
        LOG(0, "initializeHashContext failed\n");
        break;
      }
      char *calc = sha512Hex(slots[i].data, slots[i].length);
      if (!calc) break;
      bool same = strcmp(calc, hex) == 0;
      free(calc);
      if (!same) {
        LOG(0, "Hash given does not match calculated hash\n");
        break;
      }
    }
    std::string url;
    HeaderList headers;
    if (buildUrl(&url, target, "b-%.*s-%d-%s", (int)HASH_TYPE_SIZE, rec.hashType,
                 (int)(int32_t)rec.hashedLength, hex) < 0 ||
        headers.protocol() < 0 ||
        headers.add(HEADER_BUF, "X-Offset: %lu", (unsigned long)entries[i].location.fileOffset) < 0 ||
        headers.add(HEADER_BUF, "X-Time: %d", VAULT_X_TIME) < 0 ||
        headers.add(HEADER_BUF, "X-BackupNo: %ld", backupNo) < 0)
      break;
    Call call;
    if (openCall(&call) < 0) break;
    // The slot itself is left pointing at the block's start.
    MemorySource src{slots[i].data, slots[i].length};
    CURLcode res = perform(&call, Method::Put, url, &headers, &src, memoryReader, slots[i].length,
                           nullptr);
    if (res != CURLE_OK) setCurl(curlResult, res);
  }
  LOG(4, "Return from putBlocks(5)\n");
  return i;
}

int putLargeBlock(const char *target, HashListEntry *entry, uint8_t *buffer, size_t bufferSize,
                  long backupNo, std::mutex *storeLock, BlockSource *source, CURLcode *curlResult) {
  LOG(4, "Starting putLargeBlock(4)\n");
  setCurl(curlResult, CURLE_OK);
  if (!entry || !buffer || bufferSize == 0 || !source) {
    LOG(0, "putLargeBlock: invalid arguments");
    return -1;
  }
  const HashValue &rec = entry->value;
  std::string url;
  HeaderList headers;
  std::string hex = hashHex(rec.hashValue);
  int built = buildUrl(&url, target, "b-%.*s-%d-%s", (int)HASH_TYPE_SIZE, rec.hashType,
                       (int)(int32_t)rec.hashedLength, hex.c_str());
  if (built < 0 || headers.protocol() < 0 || headers.add(HEADER_BUF, "X-Offset: %d", 1) < 0 ||
      headers.add(HEADER_BUF, "X-Time: %d", VAULT_X_TIME) < 0 ||
      headers.add(HEADER_BUF, "X-BackupNo: %ld", backupNo) < 0)
    return -1;
  LOG(4, "Max:%d", (int)bufferSize);
  LOG(4, "Remaining:%d", (int)rec.hashedLength);
  Call call;
  if (openCall(&call) < 0) return -1;
  LargeBlockSource src{entry, buffer, bufferSize, 0, 0, source};
  call.td->storeLock = storeLock;
  CURLcode res = perform(&call, Method::Put, url, &headers, &src, largeBlockReader,
                         rec.hashedLength, nullptr);
  call.td->storeLock = nullptr;
  setCurl(curlResult, res);
  LOG(6, "Return from putLargeBlock(4)\n");
  return operationResult(call.stat.errorCode);
}

int putFiles(const char *target, const char *path, long backupNo, CURLcode *curlResult,
             uint64_t elapsed) {
  LOG(6, "Starting putFiles(3)\n");
  setCurl(curlResult, CURLE_OK);
  uint64_t size;
  if (!path || fileSize(path, &size) < 0) return -1;
  std::string url;
  HeaderList headers;
  if (buildUrl(&url, target, "f-%s", path) < 0 || headers.protocol() < 0 ||
      headers.add(HEADER_BUF, "X-BackupNo: %ld", backupNo) < 0 ||
      headers.add(HEADER_BUF, "X-ElapsedTime: %lu", (unsigned long)elapsed) < 0)
    return -1;
  FilePtr fp(fopen(path, "rb"));
  if (!fp) {
    LOG(0, "Failed to open:%s", path);
    LOG(0, "Error opening: %s", strerror(errno));
    return -1;
  }
  Call call;
  if (openCall(&call) < 0) return -1;
  FileSource src{fp.get(), size};
  CURLcode res = perform(&call, Method::Put, url, &headers, &src, fileReader, size, nullptr);
  setCurl(curlResult, res);
  LOG(6, "Exiting putFiles(3)\n");
  return operationResult(call.stat.errorCode);
}

int putEncryptedFiles(const char *target, const char *path, long backupNo, CURLcode *curlResult,
                      uint64_t elapsed, FileDecryptor *cipher) {
  LOG(4, "Starting putEncryptedFiles(3) num: %ld", backupNo);
  setCurl(curlResult, CURLE_OK);
  uint64_t size;
  if (!path || !cipher || fileSize(path, &size) < 0) return -1;
  FilePtr fp(fopen(path, "rb"));
  if (!fp) {
    LOG(0, "Failed to open:%s", path);
    LOG(0, "Error opening: %s", strerror(errno));
    return -1;
  }
  uint8_t header[ENCRYPTION_HEADER_BYTES];
  if (fread(header, 1, sizeof header, fp.get()) != sizeof header) {
    LOG(0, "read failed");
    return -1;
  }
  std::string error;
  if (cipher->initWithToken(header, sizeof header, &error) != 0) {
    LOG(0, "Failed CDlibInitCryptWithToken");
    LOG(0, "Error:%s", error.c_str());
    return -1;
  }
  uint64_t toSend = size - ENCRYPTION_HEADER_BYTES;
  LOG(4, "toSend: %lu", (unsigned long)toSend);
  int unit = cipher->unitSize();
  if (unit <= 0) unit = 1;
  std::vector<uint8_t> readBuf((size_t)unit * 5000);
  std::string url;
  HeaderList headers;
  if (buildUrl(&url, target, "f-%s", path) < 0 || headers.protocol() < 0 ||
      headers.add(HEADER_BUF, "X-SRCENC: %d", 1) < 0 ||
      headers.add(HEADER_BUF, "X-BackupNo: %ld", backupNo) < 0 ||
      headers.add(HEADER_BUF, "X-ElapsedTime: %lu", (unsigned long)elapsed) < 0)
    return -1;
  Call call;
  if (openCall(&call) < 0) return -1;
  DecryptSource src{fp.get(), readBuf.data(), readBuf.size(), cipher, header, 0, toSend};
  CURLcode res = perform(&call, Method::Put, url, &headers, &src, decryptReader, toSend, nullptr);
  setCurl(curlResult, res);
  LOG(6, "Exiting putFiles(3)\n");
  return operationResult(call.stat.errorCode);
}
