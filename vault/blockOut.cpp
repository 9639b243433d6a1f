// blockOut.cpp: the shared bandwidth table, its per-thread handles and the
// BlockOutPeriods parser.
#include "vault/blockOut.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/ipc.h>
#include <sys/shm.h>

#include "lib/logger.h"
#include "lib/syspath.h"

namespace {

// Built-in table of the process: unlimited until a thread that is not
// attached parses periods into it. Entries are read and written with
// relaxed atomics because readers take no lock (a reader may see a table
// half rewritten, which is accepted).
uint64_t g_defaultTable[BANDWIDTH_ENTRIES] = {};
struct DefaultTableInit {
  DefaultTableInit() {
    for (auto &e : g_defaultTable) e = BANDWIDTH_UNLIMITED;
  }
} g_defaultTableInit;

// One per thread. Being thread_local it exists from first use and its
// destructor detaches when the thread ends; no key or allocation can fail.
struct BandwidthHandle {
  void *attachment = nullptr;        // shmat address, or null
  uint64_t *table = g_defaultTable;  // attachment or the built-in table
  int segmentId = -1;
  int readOnly = 0;
  ~BandwidthHandle() {
    if (attachment) shmdt(attachment);
  }
};
thread_local BandwidthHandle t_handle;

uint64_t loadEntry(const uint64_t *table, int i) {
  return __atomic_load_n(&table[i], __ATOMIC_RELAXED);
}
void storeEntry(uint64_t *table, int i, uint64_t v) {
  __atomic_store_n(&table[i], v, __ATOMIC_RELAXED);
}

void storeTable(const uint64_t *work) {
  for (int i = 0; i < BANDWIDTH_ENTRIES; i++) storeEntry(t_handle.table, i, work[i]);
}

void fillTable(uint64_t *work, uint64_t value) {
  for (int i = 0; i < BANDWIDTH_ENTRIES; i++) work[i] = value;
}

// One attempt of createBandwidthTable. 0 or -1 (logged).
int createOnce() {
  std::string path = sysPath("/etc/default/vx.ini");
  key_t key = ftok(path.c_str(), 's');
  if (key == (key_t)-1) {
    LOG(0, "Can't get shared memory key: %s, %s\n", path.c_str(), strerror(errno));
    return -1;
  }
  bool created = true;
  int id = shmget(key, BANDWIDTH_TABLE_BYTES, IPC_CREAT | IPC_EXCL | 0600);
  if (id < 0 && errno == EEXIST) {
    created = false;
    id = shmget(key, BANDWIDTH_TABLE_BYTES, IPC_CREAT | 0600);
  }
  if (id < 0) {
    LOG(0, "Can't get shared memory id for key %d: %s\n", (int)key, strerror(errno));
    return -1;
  }
  if (t_handle.segmentId == id && t_handle.attachment) return 0;
  void *addr = shmat(id, nullptr, 0);
  if (addr == (void *)-1) {
    LOG(0, "Can't attach to shared memory %d: %s\n", id, strerror(errno));
    return -1;
  }
  uint64_t *shared = (uint64_t *)addr;
  // A fresh segment is all zeros, which would read as the minimum rate
  // everywhere: start it from what this thread uses now.
  if (created)
    for (int i = 0; i < BANDWIDTH_ENTRIES; i++) storeEntry(shared, i, loadEntry(t_handle.table, i));
  if (t_handle.attachment) shmdt(t_handle.attachment);
  t_handle.attachment = addr;
  t_handle.table = shared;
  t_handle.segmentId = id;
  t_handle.readOnly = 0;
  // Removed by the kernel when the last process detaches.
  if (shmctl(id, IPC_RMID, nullptr) < 0)
    LOG(3, "Can't mark shared memory %d to be destroyed: %s\n", id, strerror(errno));
  return 0;
}

// ---- BlockOutPeriods scanner -------------------------------------------------

struct Scanner {
  const char *p;
  void skipSpace() {
    while (*p && isspace((unsigned char)*p)) p++;
  }
  void skipSeparators() {
    while (*p && (isspace((unsigned char)*p) || *p == ',')) p++;
  }
};

// Reads a number as strtoul base 0 would (leading whitespace allowed).
// False when no digits are there or it overflows.
bool readNumber(Scanner &s, unsigned long *out) {
  s.skipSpace();
  if (!isdigit((unsigned char)*s.p)) return false;
  char *end = nullptr;
  errno = 0;
  unsigned long v = strtoul(s.p, &end, 0);
  if (end == s.p || errno == ERANGE) return false;
  s.p = end;
  *out = v;
  return true;
}

// Reads "=" number [kKmMgG]; the scanner stands on '='. The rate must end
// at a separator or the end of the text. Raised to the minimum rate.
bool readRate(Scanner &s, uint64_t *rate) {
  if (*s.p != '=') return false;
  s.p++;
  unsigned long v;
  if (!readNumber(s, &v)) return false;
  uint64_t mult = 1;
  switch (*s.p) {
    case 'k': case 'K': mult = 1024ull; s.p++; break;
    case 'm': case 'M': mult = 1048576ull; s.p++; break;
    case 'g': case 'G': mult = 1073741824ull; s.p++; break;
    default: break;
  }
  if (*s.p && !isspace((unsigned char)*s.p) && *s.p != ',') return false;
  if (v > UINT64_MAX / mult) return false;
  uint64_t r = v * mult;
  *rate = r < BANDWIDTH_MIN_RATE ? BANDWIDTH_MIN_RATE : r;
  return true;
}

// Reads "a" or "a-b" (whitespace allowed around the hyphen).
bool readRange(Scanner &s, unsigned long *first, unsigned long *last) {
  if (!readNumber(s, first)) return false;
  Scanner look = s;
  look.skipSpace();
  if (*look.p == '-') {
    look.p++;
    if (!readNumber(look, last)) return false;
    s = look;
  } else {
    *last = *first;
  }
  return true;
}

void setEntries(uint64_t *work, unsigned long d0, unsigned long d1, unsigned long h0,
                unsigned long h1, uint64_t limit) {
  for (unsigned long d = d0;; d = (d + 1) % BANDWIDTH_DAYS) {
    for (unsigned long h = h0;; h = (h + 1) % BANDWIDTH_HOURS) {
      work[d * BANDWIDTH_HOURS + h] = limit;
      if (h == h1) break;
    }
    if (d == d1) break;
  }
}

// Fails the parse: the whole table becomes unlimited.
int failParse(uint64_t *work) {
  fillTable(work, BANDWIDTH_UNLIMITED);
  storeTable(work);
  return -1;
}

}  // namespace

int createBandwidthTable() {
  for (int attempt = 0; attempt < 2; attempt++)
    if (createOnce() == 0) return 0;
  detachBandwidthTable();
  return -1;
}

int getBandwidthTableId() { return t_handle.segmentId; }

int attachBandwidthTable(int shmid) {
  if (t_handle.segmentId == shmid && t_handle.attachment) return 0;
  detachBandwidthTable();
  void *addr = shmat(shmid, nullptr, SHM_RDONLY);
  if (addr == (void *)-1) {
    LOG(0, "Can't attach to shared memory %d: %s\n", shmid, strerror(errno));
    return -1;
  }
  t_handle.attachment = addr;
  t_handle.table = (uint64_t *)addr;
  t_handle.segmentId = shmid;
  t_handle.readOnly = 1;
  return 0;
}

void detachBandwidthTable() {
  t_handle.segmentId = -1;
  t_handle.readOnly = 0;
  t_handle.table = g_defaultTable;
  if (t_handle.attachment) {
    shmdt(t_handle.attachment);
    t_handle.attachment = nullptr;
  }
}

int parseBlockOutPeriods(const char *text) {
  uint64_t work[BANDWIDTH_ENTRIES];
  if (!text) text = "";
  Scanner s{text};
  s.skipSpace();

  if (strncmp(s.p, "attach:", 7) == 0) {
    const char *idText = s.p + 7;
    char *end = nullptr;
    errno = 0;
    long id = strtol(idText, &end, 10);
    while (end && *end && isspace((unsigned char)*end)) end++;
    bool ok = end != idText && errno == 0 && *end == '\0' && id >= 0 && id <= INT_MAX;
    if (!ok) {
      LOG(0, "Shared memory id (integer) must follow attach: '%s'\n", idText);
      detachBandwidthTable();
    } else if (attachBandwidthTable((int)id) == 0) {
      return 0;
    }
    // Failed: the thread runs on its own table, without limits.
    return failParse(work);
  }

  if (t_handle.readOnly) return -1;
  if (strlen(text) > BLOCKOUT_TEXT_MAX) {
    LOG(0, "Bad blockout token: '%.32s...' (value longer than %zu characters)\n", text,
        BLOCKOUT_TEXT_MAX);
    return failParse(work);
  }

  uint64_t defaultRate = BANDWIDTH_UNLIMITED;
  if (*s.p == '=') {
    if (!readRate(s, &defaultRate)) {
      LOG(0, "Bad default bandwidth: '%s'\n", text);
      return failParse(work);
    }
  }
  fillTable(work, defaultRate);
  Scanner rest = s;
  rest.skipSeparators();
  if (strncmp(s.p, "default", 7) == 0 || *rest.p == '\0') {
    storeTable(work);
    return 0;
  }

  // Tokens. A rate that stands alone sets the running limit for the tokens
  // after it; a rate written directly after a token (no blank or comma in
  // between) applies to that token only.
  uint64_t running = BANDWIDTH_MIN_RATE;
  for (;;) {
    s.skipSeparators();
    if (!*s.p) break;
    const char *tokenStart = s.p;
    if (*s.p == '=') {
      if (!readRate(s, &running)) {
        LOG(0, "Bandwidth limit must follow '=': '%s'\n", tokenStart);
        return failParse(work);
      }
      continue;
    }
    unsigned long a0, a1, h0 = 0, h1 = BANDWIDTH_HOURS - 1, d0 = 0, d1 = BANDWIDTH_DAYS - 1;
    if (!readRange(s, &a0, &a1)) {
      LOG(0, "Bad blockout token: '%s'\n", tokenStart);
      return failParse(work);
    }
    Scanner look = s;
    look.skipSpace();
    bool hasDays = *look.p == ':';
    const char *daysEnd = s.p;
    if (hasDays) {
      d0 = a0;
      d1 = a1;
      s = look;
      s.p++;
      Scanner hours = s;
      hours.skipSpace();
      if (isdigit((unsigned char)*hours.p)) {
        if (!readRange(s, &h0, &h1)) {
          LOG(0, "Bad blockout token: '%s'\n", tokenStart);
          return failParse(work);
        }
      }
      if (d0 >= BANDWIDTH_DAYS || d1 >= BANDWIDTH_DAYS) {
        LOG(0, "Weekdays '%.*s' must be 0-%d\n", (int)(daysEnd - tokenStart), tokenStart,
            BANDWIDTH_DAYS - 1);
        return failParse(work);
      }
    } else {
      h0 = a0;
      h1 = a1;
    }
    if (h0 >= (unsigned long)BANDWIDTH_HOURS || h1 >= (unsigned long)BANDWIDTH_HOURS) {
      LOG(0, "Hours '%.*s' must be 0-%d\n", (int)(s.p - tokenStart), tokenStart,
          BANDWIDTH_HOURS - 1);
      return failParse(work);
    }
    uint64_t limit = running;
    if (*s.p == '=') {
      const char *rateStart = s.p;
      if (!readRate(s, &limit)) {
        LOG(0, "Bandwidth limit must follow '=': '%s'\n", rateStart);
        return failParse(work);
      }
    } else if (*s.p && !isspace((unsigned char)*s.p) && *s.p != ',') {
      LOG(0, "Bad blockout token: '%s'\n", tokenStart);
      return failParse(work);
    }
    setEntries(work, d0, d1, h0, h1, limit);
  }
  storeTable(work);
  return 0;
}

uint64_t getBandwidthAllowance(time_t t) {
  const uint64_t *table = t_handle.table;
  if (!table) return BANDWIDTH_UNLIMITED;
  struct tm tmv;
  if (!localtime_r(&t, &tmv)) return BANDWIDTH_UNLIMITED;
  if (tmv.tm_wday < 0 || tmv.tm_wday >= BANDWIDTH_DAYS || tmv.tm_hour < 0 ||
      tmv.tm_hour >= BANDWIDTH_HOURS)
    return BANDWIDTH_UNLIMITED;
  uint64_t rate = loadEntry(table, tmv.tm_wday * BANDWIDTH_HOURS + tmv.tm_hour);
  if (rate == BANDWIDTH_UNLIMITED) return rate;
  // The daemon holds one attachment that is not a sender.
  uint64_t divisor = 1;
  struct shmid_ds ds;
  if (t_handle.segmentId >= 0 && shmctl(t_handle.segmentId, IPC_STAT, &ds) == 0) {
    divisor = ds.shm_nattch > 1 ? ds.shm_nattch - 1 : ds.shm_nattch;
    if (divisor == 0) divisor = 1;
  }
  uint64_t share = rate / divisor;
  return share < BANDWIDTH_MIN_RATE ? BANDWIDTH_MIN_RATE : share;
}

void copyBandwidthTable(uint64_t out[BANDWIDTH_ENTRIES]) {
  for (int i = 0; i < BANDWIDTH_ENTRIES; i++) out[i] = loadEntry(t_handle.table, i);
}
