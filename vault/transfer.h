// transfer.h: the engine that carries Vault requests over libcurl.
//
// It owns what every request shares: the per-thread transfer record (with
// the bandwidth allowance of the current second), the socket options
// applied to every new connection (loaded from master.ini at each settings
// load), the throttled body readers (memory, file, large block from the
// store, decrypted file), the reply collector and the reply header callback
// that turns the Vault's status and warning lines into a result code.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include <curl/curl.h>

#include "pipeline/common.h"

// ---- Interfaces the data-access layers fill -------------------------------

// Reads the data of a hashed block (the store's block reader behind it).
class BlockSource {
 public:
  virtual ~BlockSource() = default;
  // Reads up to len bytes of the block's data, starting offset bytes into
  // the block, into buf. Returns the bytes delivered; 0 or -1 on failure
  // (the reader has logged why). May complete the entry's record.
  virtual long readBlock(HashListEntry *entry, uint8_t *buf, size_t len, uint64_t offset) = 0;
};

// Decrypts an encrypted file whose first 1536 bytes hold the encryption
// header (the token the data encryption layer turns into a context).
class FileDecryptor {
 public:
  virtual ~FileDecryptor() = default;
  // Sets up decryption from the header bytes. 0, or -1 with a reason.
  virtual int initWithToken(const uint8_t *header, size_t len, std::string *error) = 0;
  // Bytes per cipher unit; callers hand whole units.
  virtual int unitSize() const = 0;
  // Decrypts from in into out. On entry *inBytes is the input count and
  // *outBytes the room in out; on return they hold the input left
  // unconsumed and the room left. 0, or -1 with a reason.
  virtual int decrypt(const uint8_t *in, int *inBytes, uint8_t *out, int *outBytes,
                      std::string *error) = 0;
};

// Size of the encryption header in front of an encrypted file's content.
constexpr size_t ENCRYPTION_HEADER_BYTES = 1536;

// ---- Socket settings --------------------------------------------------------

struct SocketSettings {
  int socketTimeout;     // SOCKET_TIMEOUT, seconds; > 0 sets SO_RCVTIMEO/SO_SNDTIMEO
  int socketKeepalive;   // SOCKET_KEEPALIVE
  int tcpKeepcnt;        // TCP_KEEPCNT
  int tcpKeepidle;       // TCP_KEEPIDLE
  int tcpKeepintvl;      // TCP_KEEPINTVL
  int applyKeepalive;    // set keepalive parameters on each socket
};

// Reads the socket settings from section Replication of the INI file at
// path; each key's default is the value currently held, so removed keys
// keep their last value. Called at every load of the replication settings.
void loadSocketSettings(const char *path);
// The settings now in force.
SocketSettings currentSocketSettings();
// Installs the socket-option callback on h when SOCKET_TIMEOUT is not 0 or
// SOCKET_KEEPALIVE is true. Returns 1 when installed, 0 when not needed or
// when libcurl refused (logged).
int installSockoptCallback(CURL *h);
// The socket-option callback itself (libcurl signature); exposed so it can
// be applied to any socket.
int sockoptCallback(void *clientp, curl_socket_t fd, curlsocktype purpose);

// ---- Per-thread transfer record ----------------------------------------------

// One per thread, created on first use, freed when the thread ends. The
// record outlives requests, so consecutive requests of a thread share the
// allowance of a second. Only its own thread touches it.
struct ThreadCurlData {
  uint64_t allowance;     // bytes still allowed in the current second
  uint64_t second;        // wall-clock second the allowance belongs to
  std::mutex *storeLock;  // taken around store reads, may be null
  void *source;           // body source of the request being performed
};

// The calling thread's record, created zero-filled on first use; null on
// failure (logged).
ThreadCurlData *getThreadCurlData();
// Performs a prepared request. CURLE_BAD_FUNCTION_ARGUMENT for a null handle.
CURLcode performTransfer(CURL *h, ThreadCurlData *data);

// ---- Body sources and readers ---------------------------------------------------

struct MemorySource {
  const uint8_t *data;
  uint64_t remaining;
};

struct FileSource {
  FILE *fp;
  uint64_t size;
};

struct LargeBlockSource {
  HashListEntry *entry;
  uint8_t *buffer;      // caller's piece buffer
  uint64_t bufferSize;  // largest piece
  uint32_t sent;        // bytes handed to libcurl so far
  uint64_t buffered;    // bytes read from the store, not yet handed over
  BlockSource *blocks;
};

struct DecryptSource {
  FILE *fp;
  uint8_t *buffer;
  size_t bufferSize;
  FileDecryptor *cipher;
  const uint8_t *header;  // the encryption header, for failure reports
  uint64_t sent;
  uint64_t total;
};

// libcurl read callbacks; userdata is the ThreadCurlData whose source
// points at the matching source record.
size_t memoryReader(char *buf, size_t size, size_t count, void *userdata);
size_t fileReader(char *buf, size_t size, size_t count, void *userdata);
size_t largeBlockReader(char *buf, size_t size, size_t count, void *userdata);
size_t decryptReader(char *buf, size_t size, size_t count, void *userdata);

// The clock the throttle reads and sleeps on. The real one is the time of
// day and nanosleep; tests install a simulated one so that throttled
// transfers run through many seconds without waiting for them. Not
// synchronised: set it before transfers start. Null restores the real one.
struct ThrottleClock {
  void (*now)(struct timeval *tv);
  void (*sleepMicros)(long usec);
};
void setThrottleClock(const ThrottleClock *clock);

// Throttle hook shared by the readers: returns the bytes allowed now,
// refreshing the allowance when a new second has begun; *usec receives the
// microseconds of the clock reading.
uint64_t throttleAllowance(ThreadCurlData *data, long *usec);
// Charges n bytes; sleeps into the next second when the allowance is used
// up exactly.
void throttleCharge(ThreadCurlData *data, uint64_t n, long usec);

// ---- Replies ------------------------------------------------------------------------

// Growing reply body; always NUL-terminated after len bytes.
struct ReplyBuffer {
  char *data = nullptr;
  size_t len = 0;
  ReplyBuffer();
  ~ReplyBuffer();
  ReplyBuffer(const ReplyBuffer &) = delete;
  ReplyBuffer &operator=(const ReplyBuffer &) = delete;
  // Hands the buffer to the caller (free() it); the collector is emptied.
  char *release();
};
size_t replyCollector(char *chunk, size_t size, size_t count, void *userdata);

// Reply status of one request: starts at 1, set by the reply header lines.
struct ReplyStatus {
  int errorCode = 1;
  int interim = 0;  // inside an interim (1xx) response, whose lines do not count
};
// Code of one header line: 0 ordinary, -3..-6 Vault errors, 1 for the
// internal-server-error line (abort). Exposed for tests.
int headerLineCode(const char *line, size_t len);
size_t replyHeaderCallback(char *line, size_t size, size_t count, void *userdata);
// Operation result from the final status: 1 -> -1, 0 and -3..-6 as they are.
int operationResult(int errorCode);
