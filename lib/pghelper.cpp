// pghelper.cpp: the catalogue helper (connections, prepared statements,
// results, transactions) on top of libpq.
//
// A process holds up to 30 connection resources, one per service name; the
// current one serves every call. Query formats are parsed once per session
// into a statement with $n placeholders, prepared on the server under its
// cache index written in decimal ("0", "1", ...) and executed by name with
// the arguments as text parameters. Every entry point that talks to the
// server blocks the daemon's signals (nesting-aware) so that no handler
// runs in the middle of a libpq call.
//
// None of this state is locked: a process uses the helper from one thread.
#include "lib/pghelper.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "lib/logger.h"
#include "lib/smartbuffer.h"
#include "lib/syspath.h"

namespace {

// ---------------------------------------------------------------------------
// Records

// Conversion codes of a statement, one per conversion of its format; a
// nullable conversion is preceded by PGC_NULLFLAG.
enum : unsigned char {
  PGC_STRING = 0,
  PGC_CHAR = 1,
  PGC_SHORT = 3,
  PGC_USHORT = 4,
  PGC_INT = 5,
  PGC_UINT = 6,
  PGC_LONG = 7,
  PGC_ULONG = 8,
  PGC_FLOAT = 10,
  PGC_DOUBLE = 11,
  PGC_LLONG = 12,
  PGC_ULLONG = 13,
  PGC_NULLFLAG = 14,
  PGC_SKIP = 15,
  // "%Z": skips one double argument. Only the null-comparison rewrite emits
  // it, in place of a floating-point value, because on this ABI a double is
  // not fetched from the same place as an int and skipping it as an int
  // would shift every later argument.
  PGC_SKIPDOUBLE = 16,
};

constexpr int kInitialStatements = 16;
constexpr int kInitialParams = 32;
constexpr int kParamBufferSize = 2048;
constexpr int kScratchSize = 256;
constexpr int kConnectAttempts = 2;
constexpr time_t kProbeInterval = 15;
constexpr time_t kEvictSlack = 60;
constexpr const char *kConnectOptions =
    "options='-c search_path=vx,public -c client_encoding=UTF8'";

struct pgStatement {
  char *key;                 // format after null rewriting: the cache key
  char *text;                // SQL with $1, $2, ... placeholders
  unsigned char *typeCodes;  // one PGC_* per conversion
  int typeCodeCount;
  int paramCount;
};

struct pgCECEntry {
  char *table;  // tableLength 0 marks a free entry
  int tableLength;
  char *column;
  int columnLength;
  int exists;
};

struct pgResource {
  char *hostname;
  time_t connectTime;
  PGconn *conn;
  pgStatement *statements;
  time_t lastChecked;
  int statementCount;
  int statementCapacity;
  int preparedStatements;
  int savepointCount;
  heapQueryBuffer paramBuffer;  // parameter texts, each NUL-terminated
  const char **paramValues;     // into paramBuffer; null = SQL NULL
  int *paramOffsets;            // -1 = SQL NULL
  int *paramFlags;
  int paramCount;
  int paramCapacity;
  pid_t ownerPid;
  int serverVersion;
  pgCECEntry *columnCache;
};

struct pgFieldMapEntry {
  const char *name;  // points into the libpq result
  int number;
};

}  // namespace

struct pgResult {
  PGresult *res;
  pgFieldMapEntry *fieldMap;
  int nFields;
  int error;
  char *queryText;
};

namespace {

// ---------------------------------------------------------------------------
// Process state

pgResource *pgResourceArray[PG_RESOURCE_SLOTS];
pgResource *pgResourcePtr;
PgStatementRunner statementRunner;  // set: statements go here, not to a server
void *runnerContext;
char *lastHost;
bool openedBefore;

// ---------------------------------------------------------------------------
// Signal masking
//
// The blocked set is built once per process; the depth and the saved mask
// belong to the calling thread, since signal masks are per thread.

struct SignalMasker {
  sigset_t blocked;
  bool built;
  bool failureLogged;
  int lastErrno;
};
SignalMasker masker;

thread_local int maskDepth;
thread_local bool maskActive;  // the outermost level really blocked
thread_local sigset_t savedMask;

void buildMaskSet() {
  if (masker.built || masker.failureLogged) return;
  const int signals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGCHLD, SIGALRM, SIGUSR1, SIGUSR2};
  bool ok = sigemptyset(&masker.blocked) == 0;
  for (int s : signals) ok = ok && sigaddset(&masker.blocked, s) == 0;
  if (!ok) {
    masker.lastErrno = errno;
    masker.failureLogged = true;
    LOG(0, "Failed to initialize pghelper signal masker, errno %d", masker.lastErrno);
    return;
  }
  masker.built = true;
  LOG(2, "Successfully initialized pghelper signal masker");
}

void maskSignals() {
  buildMaskSet();
  if (maskDepth++ > 0 || !masker.built) return;
  int rc = pthread_sigmask(SIG_BLOCK, &masker.blocked, &savedMask);
  if (rc != 0) {
    masker.lastErrno = rc;
    LOG(0, "Failed to mask signals, errno %d", rc);
    return;
  }
  maskActive = true;
}

void unmaskSignals() {
  if (maskDepth <= 0) return;
  if (--maskDepth > 0 || !maskActive) return;
  maskActive = false;
  int rc = pthread_sigmask(SIG_SETMASK, &savedMask, nullptr);
  if (rc != 0) {
    masker.lastErrno = rc;
    LOG(0, "Failed to unmask signals, errno %d", rc);
  }
}

// Blocks the daemon's signals for the lifetime of the guard.
class MaskGuard {
 public:
  MaskGuard() { maskSignals(); }
  ~MaskGuard() { unmaskSignals(); }
  MaskGuard(const MaskGuard &) = delete;
  MaskGuard &operator=(const MaskGuard &) = delete;
};

// Sleeps with the caller's own signal mask in force, so that a signal
// arriving during a connect retry is handled at once.
void sleepUnmasked(unsigned seconds) {
  if (maskActive) pthread_sigmask(SIG_SETMASK, &savedMask, nullptr);
  sleep(seconds);
  if (maskActive) pthread_sigmask(SIG_BLOCK, &masker.blocked, nullptr);
}

// ---------------------------------------------------------------------------
// Small helpers

// libpq messages end with a newline; the log adds its own.
std::string trimmed(const char *message) {
  std::string s = message ? message : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

std::string resultError(PGconn *conn, const PGresult *res) {
  const char *m = res ? PQresultErrorMessage(res) : nullptr;
  if (!m || !*m) m = conn ? PQerrorMessage(conn) : "no connection";
  return trimmed(m);
}

bool commandSucceeded(const PGresult *res) {
  if (!res) return false;
  ExecStatusType st = PQresultStatus(res);
  return st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
}

int *currentSavepointCount() {
  return pgResourcePtr ? &pgResourcePtr->savepointCount : nullptr;
}

void setSavepointCount(int n) {
  if (pgResourcePtr) pgResourcePtr->savepointCount = n;
}

int savepointCount() { return pgResourcePtr ? pgResourcePtr->savepointCount : 0; }

// Drops a session inherited from the parent process without the protocol
// goodbye: the socket descriptor is replaced by /dev/null before libpq
// finishes the connection, so its Terminate message goes nowhere and the
// parent's session on the shared socket is untouched, while libpq still
// frees its memory.
void dropInheritedSession(PGconn *conn) {
  int fd = PQsocket(conn);
  if (fd < 0) {
    PQfinish(conn);
    return;
  }
  int devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (devnull < 0) {
    // No way to neutralise the descriptor: close it and leak the small
    // connection record rather than risk writing to the parent's socket.
    close(fd);
    return;
  }
  if (dup2(devnull, fd) < 0) {
    close(devnull);
    close(fd);
    return;
  }
  close(devnull);
  PQfinish(conn);
}

// Set when the server's FATAL notice arrives: it ends the session.
bool farewellSeen = false;

void noticeProcessor(void *, const char *message) {
  int level = 3;
  if (strstr(message, "FATAL")) {
    level = 0;
    farewellSeen = true;
  } else if (strstr(message, "WARNING"))
    level = 2;
  LOG(level, "From libpq: %s", trimmed(message).c_str());
}

// ---------------------------------------------------------------------------
// Resources

void freeStatements(pgResource *r) {
  for (int i = 0; i < r->statementCount; i++) {
    free(r->statements[i].key);
    free(r->statements[i].text);
    free(r->statements[i].typeCodes);
  }
  free(r->statements);
  r->statements = nullptr;
  r->statementCount = r->statementCapacity = 0;
}

void freeColumnCache(pgResource *r) {
  if (!r->columnCache) return;
  for (int i = 0; i < PG_CEC_ENTRIES; i++) {
    free(r->columnCache[i].table);
    free(r->columnCache[i].column);
  }
  free(r->columnCache);
  r->columnCache = nullptr;
}

void freeResource(pgResource *r) {
  if (!r) return;
  freeStatements(r);
  freeColumnCache(r);
  r->paramBuffer.free();
  free(r->paramValues);
  free(r->paramOffsets);
  free(r->paramFlags);
  free(r->hostname);
  delete r;
}

// Makes a resource for `hostname` with its initial caches; null (logged)
// on allocation failure.
pgResource *newResource(const char *hostname) {
  auto *r = new (std::nothrow) pgResource{};
  if (!r) {
    LOG(0, "Could not allocate pgResource");
    return nullptr;
  }
  r->hostname = strdup(hostname);
  if (!r->hostname) {
    LOG(0, "Could not allocate memory to store connection hostname");
    delete r;
    return nullptr;
  }
  r->statements = static_cast<pgStatement *>(calloc(kInitialStatements, sizeof(pgStatement)));
  r->paramValues = static_cast<const char **>(calloc(kInitialParams, sizeof(char *)));
  r->paramOffsets = static_cast<int *>(calloc(kInitialParams, sizeof(int)));
  r->paramFlags = static_cast<int *>(calloc(kInitialParams, sizeof(int)));
  bool ok = r->paramBuffer.create() == 0;
  if (!ok || !r->statements || !r->paramValues || !r->paramOffsets || !r->paramFlags) {
    LOG(0, "Could not allocate and initialize pgResourcePtr");
    freeResource(r);
    return nullptr;
  }
  r->statementCapacity = kInitialStatements;
  r->paramCapacity = kInitialParams;
  for (int i = 0; i < kInitialParams; i++) r->paramFlags[i] = 1;
  r->ownerPid = getpid();
  return r;
}

int slotOf(const pgResource *r) {
  for (int i = 0; i < PG_RESOURCE_SLOTS; i++)
    if (pgResourceArray[i] == r) return i;
  return -1;
}

// Closes the session of `r` (if any), frees it and empties its slot.
void closeResource(pgResource *r) {
  if (!r) return;
  if (r->conn) {
    if (r->ownerPid == getpid())
      PQfinish(r->conn);
    else
      dropInheritedSession(r->conn);
    r->conn = nullptr;
    LOG(3, "Connection closed");
  }
  int slot = slotOf(r);
  if (slot >= 0) pgResourceArray[slot] = nullptr;
  if (pgResourcePtr == r) pgResourcePtr = nullptr;
  freeResource(r);
}

// Picks the slot for a new resource: the first empty one, else the
// resource outside any transaction that connected first, which is closed.
// -1 (logged) when every resource holds an open transaction.
int claimSlot() {
  for (int i = 0; i < PG_RESOURCE_SLOTS; i++) {
    if (!pgResourceArray[i]) {
      LOG(4, "Found an empty pgResourceArray slot for connection resource");
      return i;
    }
  }
  LOG(4, "Look for the oldest entry with no savepoints and replace it");
  time_t limit = time(nullptr) + kEvictSlack;
  int best = -1;
  for (int i = 0; i < PG_RESOURCE_SLOTS; i++) {
    pgResource *r = pgResourceArray[i];
    if (r->savepointCount != 0 || r->connectTime >= limit) continue;
    if (best < 0 || r->connectTime < pgResourceArray[best]->connectTime) best = i;
  }
  if (best < 0) {
    LOG(0, "No connection resource slots available");
    return -1;
  }
  LOG(4, "Closing old connection resource to %s", pgResourceArray[best]->hostname);
  closeResource(pgResourceArray[best]);
  return best;
}

// Builds the connection string of service `host` into `conninfo`. 0 / -1.
int connectionString(char *conninfo, size_t size, const char *host) {
  int n = snprintf(conninfo, size, "service=%s dbname=%s %s", host, catalogueDbName(), kConnectOptions);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    LOG(0, "Could not generate connection string");
    return -1;
  }
  return 0;
}

// Connects `r` with `conninfo`, two attempts one second apart. 0 / -1.
int connectResource(pgResource *r, const char *conninfo) {
  for (int attempt = 1; attempt <= kConnectAttempts; attempt++) {
    PGconn *conn = PQconnectdb(conninfo);
    if (!conn) {
      LOG(0, "Can't allocate pgsql connection structure");
      return -1;
    }
    if (PQstatus(conn) == CONNECTION_OK) {
      r->conn = conn;
      return 0;
    }
    LOG(0, "Connection failed, error: %s", trimmed(PQerrorMessage(conn)).c_str());
    PQfinish(conn);
    if (attempt < kConnectAttempts) {
      LOG(3, "Retrying connection (try %d of %d)", attempt + 1, kConnectAttempts);
      sleepUnmasked(1);
    }
  }
  LOG(0, "Tried connecting %d times", kConnectAttempts);
  return -1;
}

// ---------------------------------------------------------------------------
// Format parsing

struct Conversion {
  bool literal;   // "%%"
  bool nullable;  // "%n..."
  char modifier;  // 0, 'h' or 'l' (also for "ll")
  char letter;
  int code;       // PGC_* or -1 for an unknown letter
  size_t length;  // characters of the conversion, including the '%'
};

// Parses the conversion starting at p[0] == '%'.
Conversion parseConversion(const char *p) {
  Conversion c{};
  size_t i = 1;
  if (p[i] == '%') {
    c.literal = true;
    c.length = 2;
    return c;
  }
  if (p[i] == 'n') {
    c.nullable = true;
    i++;
  }
  int longs = 0;
  if (p[i] == 'h') {
    c.modifier = 'h';
    i++;
  } else if (p[i] == 'l') {
    c.modifier = 'l';
    longs = 1;
    i++;
    if (p[i] == 'l') {
      longs = 2;
      i++;
    }
  }
  c.letter = p[i];
  if (p[i] != '\0') i++;
  c.length = i;
  switch (c.letter) {
    case 's': c.code = PGC_STRING; break;
    case 'c': c.code = PGC_CHAR; break;
    case 'd':
      c.code = c.modifier == 'h' ? PGC_SHORT : longs == 1 ? PGC_LONG : longs == 2 ? PGC_LLONG : PGC_INT;
      break;
    case 'u':
      c.code = c.modifier == 'h' ? PGC_USHORT : longs == 1 ? PGC_ULONG : longs == 2 ? PGC_ULLONG : PGC_UINT;
      break;
    case 'f':
    case 'g': c.code = longs ? PGC_DOUBLE : PGC_FLOAT; break;
    case 'z': c.code = PGC_SKIP; break;
    case 'Z': c.code = PGC_SKIPDOUBLE; break;
    default: c.code = -1; break;
  }
  return c;
}

void logInvalidConversion(const Conversion &c) {
  LOG(0, "Invalid format code: %%%c", c.letter);
  if (c.modifier)
    LOG(0, "Modifier was: %c", c.modifier);
  else
    LOG(0, "No modifier for format code");
}

bool isFloating(int code) { return code == PGC_FLOAT || code == PGC_DOUBLE; }

// A va_list that can be handed down by pointer.
struct ArgList {
  va_list ap;
};

// Consumes the argument of a value conversion without using it.
void skipArgument(ArgList *args, int code) {
  switch (code) {
    case PGC_STRING: (void)va_arg(args->ap, const char *); break;
    case PGC_LONG:
    case PGC_ULONG: (void)va_arg(args->ap, long); break;
    case PGC_LLONG:
    case PGC_ULLONG: (void)va_arg(args->ap, long long); break;
    case PGC_FLOAT:
    case PGC_DOUBLE:
    case PGC_SKIPDOUBLE: (void)va_arg(args->ap, double); break;
    default: (void)va_arg(args->ap, int); break;
  }
}

// ---------------------------------------------------------------------------
// Statements and parameters

int findStatement(const pgResource *r, const char *key) {
  for (int i = r->statementCount - 1; i >= 0; i--)
    if (strcmp(r->statements[i].key, key) == 0) return i;
  return -1;
}

int growParams(pgResource *r, int needed) {
  if (needed <= r->paramCapacity) return 0;
  int capacity = (needed + 31) / 32 * 32;
  auto *values = static_cast<const char **>(realloc(r->paramValues, capacity * sizeof(char *)));
  if (values) r->paramValues = values;
  auto *offsets = static_cast<int *>(realloc(r->paramOffsets, capacity * sizeof(int)));
  if (offsets) r->paramOffsets = offsets;
  auto *flags = static_cast<int *>(realloc(r->paramFlags, capacity * sizeof(int)));
  if (flags) r->paramFlags = flags;
  if (!values || !offsets || !flags) {
    LOG(0, "Cannot allocate memory in query buffer");
    return -1;
  }
  for (int i = 0; i < capacity; i++) r->paramFlags[i] = 1;
  r->paramCapacity = capacity;
  return 0;
}

// Formats the value of conversion `code` from `args` into `scratch`; for a
// string, points *text at the argument instead. A null string pointer is
// taken as SQL NULL.
void fetchValue(ArgList *args, int code, char *scratch, const char **text) {
  *text = scratch;
  switch (code) {
    case PGC_STRING: *text = va_arg(args->ap, const char *); return;
    case PGC_CHAR: snprintf(scratch, kScratchSize, "%c", va_arg(args->ap, int)); return;
    case PGC_SHORT: snprintf(scratch, kScratchSize, "%hd", static_cast<short>(va_arg(args->ap, int))); return;
    case PGC_USHORT:
      snprintf(scratch, kScratchSize, "%hu", static_cast<unsigned short>(va_arg(args->ap, int)));
      return;
    case PGC_INT: snprintf(scratch, kScratchSize, "%d", va_arg(args->ap, int)); return;
    case PGC_UINT: snprintf(scratch, kScratchSize, "%u", va_arg(args->ap, unsigned int)); return;
    case PGC_LONG: snprintf(scratch, kScratchSize, "%ld", va_arg(args->ap, long)); return;
    case PGC_ULONG: snprintf(scratch, kScratchSize, "%lu", va_arg(args->ap, unsigned long)); return;
    case PGC_FLOAT:
      snprintf(scratch, kScratchSize, "%f", static_cast<double>(static_cast<float>(va_arg(args->ap, double))));
      return;
    case PGC_DOUBLE: snprintf(scratch, kScratchSize, "%lf", va_arg(args->ap, double)); return;
    case PGC_LLONG: snprintf(scratch, kScratchSize, "%lld", va_arg(args->ap, long long)); return;
    case PGC_ULLONG: snprintf(scratch, kScratchSize, "%llu", va_arg(args->ap, unsigned long long)); return;
    default: *text = nullptr; return;
  }
}

// Fills the resource's parameter arrays from the arguments, following the
// statement's conversion codes. 0 / -1.
int parseStoreParams(pgResource *r, const pgStatement *st, ArgList *args) {
  r->paramBuffer.reset();
  r->paramCount = 0;
  if (growParams(r, st->paramCount) != 0) return -1;
  bool nextIsNull = false;
  char scratch[kScratchSize];
  for (int i = 0; i < st->typeCodeCount; i++) {
    int code = st->typeCodes[i];
    if (code == PGC_NULLFLAG) {
      nextIsNull = va_arg(args->ap, int) > 0;
      continue;
    }
    if (code == PGC_SKIP || code == PGC_SKIPDOUBLE) {
      skipArgument(args, code);
      continue;
    }
    if (r->paramCount >= st->paramCount) return -1;  // codes and text disagree
    const char *text = nullptr;
    fetchValue(args, code, scratch, &text);
    int p = r->paramCount++;
    if (nextIsNull || !text) {
      r->paramOffsets[p] = -1;
    } else {
      r->paramOffsets[p] = r->paramBuffer.length();
      r->paramBuffer.append(text, -1);
      r->paramBuffer.append("", 1);  // the terminating NUL
    }
    nextIsNull = false;
  }
  if (r->paramBuffer.failed() || r->paramCount != st->paramCount) return -1;
  const char *base = r->paramBuffer.text();
  for (int p = 0; p < r->paramCount; p++)
    r->paramValues[p] = r->paramOffsets[p] < 0 ? nullptr : base + r->paramOffsets[p];
  return 0;
}

// Writes the current parameters to the log at `level`.
void logParams(const pgResource *r, int level) {
  heapQueryBuffer line;
  if (line.create() != 0) {
    LOG(0, "Error creating query parameter log entry");
    return;
  }
  line.appendf("Query parameters [%d]: ", r->paramCount);
  for (int p = 0; p < r->paramCount; p++) {
    if (r->paramValues[p])
      line.appendf("$%d: \"%s\"  ", p + 1, r->paramValues[p]);
    else
      line.appendf("$%d: (null)  ", p + 1);
  }
  if (line.failed())
    LOG(0, "Error creating query parameter log entry");
  else
    vxLog(level, "%s:%d: %s\n", __FILE_NAME__, __LINE__, line.text());
  line.free();
}

// Wraps a successful libpq result; frees it and returns null on failure.
pgResult *makeResult(PGresult *res) {
  auto *result = static_cast<pgResult *>(calloc(1, sizeof(pgResult)));
  if (!result) {
    LOG(0, "Could not allocate pgResult");
    PQclear(res);
    return nullptr;
  }
  result->res = res;
  result->nFields = PQnfields(res);
  if (result->nFields > 0) {
    result->fieldMap = static_cast<pgFieldMapEntry *>(calloc(result->nFields, sizeof(pgFieldMapEntry)));
    if (!result->fieldMap) {
      LOG(0, "Could not allocate fieldMap");
      PQclear(res);
      free(result);
      return nullptr;
    }
    for (int i = 0; i < result->nFields; i++) result->fieldMap[i] = {PQfname(res, i), i};
  }
  return result;
}

// Runs statement `index` of the current resource with its parameters.
pgResult *executePrepared(pgResource *r, int index) {
  const pgStatement *st = &r->statements[index];
  PGresult *res;
  if (r->preparedStatements) {
    char name[16];
    snprintf(name, sizeof name, "%d", index);
    res = PQexecPrepared(r->conn, name, r->paramCount, r->paramValues, nullptr, nullptr, 0);
  } else if (statementRunner) {
    res = statementRunner(runnerContext, st->text, r->paramCount, r->paramValues);
  } else {
    res = PQexecParams(r->conn, st->text, r->paramCount, nullptr, r->paramValues, nullptr, nullptr, 0);
  }
  if (!commandSucceeded(res)) {
    LOG(0, "Execution of statement with index %d failed: %s.", index, resultError(r->conn, res).c_str());
    if (index >= 0 && index < r->statementCount)
      LOG(0, "Query string was: %s", st->key);
    else
      LOG(0, "Query string was: [unknown]");
    PQclear(res);
    LOG(0, "executePrepared returned null result");
    if (log_level >= 0 && log_level <= 3) logParams(r, 0);
    return nullptr;
  }
  return makeResult(res);
}

// Looks up the value cell of (row, column); -1 (logged, result marked) when
// there is none. `trace` adds the level-4 trace line.
int locateValue(pgResult *result, int row, const char *column, int *col, bool trace, const char **text) {
  if (!result) {
    LOG(0, "Cannot fetch value for null query result!");
    return -1;
  }
  if (!column) {
    LOG(0, "Invalid null column name");
    result->error = -1;
    return -1;
  }
  *col = pgColumnNumber(result, column);
  if (*col < 0) {
    LOG(0, "Invalid column name: '%s'", column);
    result->error = -1;
    return -1;
  }
  int rows = PQntuples(result->res);
  if (row < 0 || row >= rows) {
    LOG(0, "Postgres error: row number %d is out of range 0..%d.", row, rows - 1);
    result->error = -1;
    return -1;
  }
  if (text) {
    *text = PQgetvalue(result->res, row, *col);
    if (trace) LOG(4, "row %d, col %d(%.32s): '%s'", row, *col, column, *text ? *text : "");
  }
  return 0;
}

// Shared front of the converting getters: the value text, or null when the
// getter must return its default (the result is then marked; an SQL NULL
// or empty value is not logged).
const char *convertibleText(pgResult *result, int row, const char *column) {
  const char *text = nullptr;
  if (getTextValue(&text, result, row, column) != 0) {
    LOG(0, "Could not retrieve value for row %d, col %s: getTextValue() failed", row,
        column ? column : "(null)");
    return nullptr;
  }
  if (!text) {
    LOG(0, "Could not retrieve value for row %d, col %s: getTextValue() returned null text string", row,
        column);
    result->error = -1;
    return nullptr;
  }
  if (*text == '\0') {
    result->error = -1;
    return nullptr;
  }
  return text;
}

// strtol-family conversion with the getters' failure rule: errno set or no
// character consumed.
template <typename T, typename Convert>
T convertNumber(pgResult *result, int row, const char *column, const char *function, Convert convert) {
  const char *text = convertibleText(result, row, column);
  if (!text) return 0;
  char *end = nullptr;
  errno = 0;
  T value = convert(text, &end);
  int e = errno;
  if (e != 0 || end == text) {
    LOG(0, "Could not retrieve value for row %d, col %s: %s(%.32s) failed with errno %d: %s", row, column,
        function, text, e, strerror(e));
    result->error = -1;
    return 0;
  }
  return value;
}

// Column-existence cache of the current resource, made on first use.
pgCECEntry *columnCache(bool create) {
  if (!pgResourcePtr) return nullptr;
  if (!pgResourcePtr->columnCache && create)
    pgResourcePtr->columnCache = static_cast<pgCECEntry *>(calloc(PG_CEC_ENTRIES, sizeof(pgCECEntry)));
  return pgResourcePtr->columnCache;
}

bool cecMatches(const pgCECEntry &e, const char *table, int tableLength, const char *column,
                int columnLength) {
  return e.tableLength == tableLength && e.columnLength == columnLength &&
         memcmp(e.table, table, tableLength) == 0 && memcmp(e.column, column, columnLength) == 0;
}

// True when the server has ended an idle session (a restart,
// pg_terminate_backend). Its FATAL farewell, then end-of-file, wait on the
// socket, and libpq learns of them only by reading. Reading what is pending
// costs no round trip, and it keeps the next statement from going into a
// session that is already gone, which the probe, run at most every
// kProbeInterval seconds, would not. An idle session is sent nothing else
// unasked, so the farewell alone condemns it even before its end-of-file.
bool sessionEnded(PGconn *conn) {
  farewellSeen = false;
  for (;;) {
    struct pollfd p = {PQsocket(conn), POLLIN, 0};
    if (p.fd < 0) return true;
    if (poll(&p, 1, 0) <= 0) break;    // nothing pending
    if (!PQconsumeInput(conn)) break;  // end-of-file: libpq marks the session bad
    PQisBusy(conn);                    // hands an unasked error to the notice processor
    if (farewellSeen || PQstatus(conn) != CONNECTION_OK) break;
  }
  return farewellSeen || PQstatus(conn) != CONNECTION_OK;
}

}  // namespace

// ---------------------------------------------------------------------------
// Connections

int pgOpen(const char *hostname, int usePrepared) {
  MaskGuard guard;
  if (!openedBefore) {
    openedBefore = true;
    atexit(pgCloseAll);
    lastHost = strdup(hostname ? hostname : "localhost");
    if (!lastHost) {
      LOG(0, "Could not allocate memory for hostname");
      return -1;
    }
  } else if (hostname && (!lastHost || strcmp(hostname, lastHost) != 0)) {
    char *copy = strdup(hostname);
    if (!copy) {
      LOG(0, "Could not allocate memory for hostname");
      return -1;
    }
    free(lastHost);
    lastHost = copy;
  }
  if (!lastHost) {
    LOG(0, "hostname must be supplied");
    return -1;
  }
  LOG(4, "lastHost is %s", lastHost);
  if (hostname)
    LOG(3, "Connecting using hostname: %s", hostname);
  else
    LOG(3, "Connecting using lastHost: %s", lastHost);
  if (usePrepared)
    LOG(2, "Prepared statements currently enabled");
  else
    LOG(2, "Prepared statements currently disabled");
  // A local copy: lastHost is the only owner and must outlive this call.
  std::string host = lastHost;

  int oldSavepoints = 0;
  for (int i = 0; i < PG_RESOURCE_SLOTS; i++) {
    pgResource *r = pgResourceArray[i];
    if (!r || strcmp(r->hostname, host.c_str()) != 0) continue;
    pgResourcePtr = r;
    LOG(1, "Found a connection to %s, checking status...", host.c_str());
    if (pgConnectionGood()) {
      LOG(1, "Connection good");
      return 0;
    }
    LOG(1, "Connection bad, will attempt reconnect.");
    oldSavepoints = r->savepointCount;
    if (oldSavepoints > 0) LOG(4, "Old savepoint count is %d.", oldSavepoints);
    pgClose();
    break;
  }

  int slot = claimSlot();
  if (slot < 0) return -1;
  pgResource *r = newResource(host.c_str());
  if (!r) return -1;
  pgResourceArray[slot] = r;
  pgResourcePtr = r;
  if (statementRunner) return 0;  // no session: the runner answers

  LOG(4, "Connecting to database, hostname: %s", host.c_str());
  char conninfo[1024];
  if (connectionString(conninfo, sizeof conninfo, host.c_str()) != 0) {
    LOG(0, "Could not get connection string");
    closeResource(r);
    return -1;
  }
  if (connectResource(r, conninfo) != 0) {
    closeResource(r);
    return -1;
  }
  time_t now = time(nullptr);
  r->preparedStatements = 1;
  r->connectTime = r->lastChecked = now;
  r->serverVersion = 0;
  LOG(2, "connected to: %s", conninfo);
  LOG(2, "Connection attributes: dbname='%s', user='%s', options = '%s'", PQdb(r->conn), PQuser(r->conn),
      PQoptions(r->conn));
  LOG(2, "Postgres backend pid: %d", PQbackendPID(r->conn));
  if (oldSavepoints > 0) {
    LOG(1, "Restoring old savepoint count: %d.", oldSavepoints);
    r->savepointCount = oldSavepoints;
  }
  int fd = PQsocket(r->conn);
  if (fd >= 0) fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
  r->ownerPid = getpid();
  PQsetNoticeProcessor(r->conn, noticeProcessor, nullptr);
  return 0;
}

void pgSetStatementRunner(PgStatementRunner runner, void *context) {
  pgCloseAll();
  statementRunner = runner;
  runnerContext = context;
}

int pgConnectionGood() {
  pgResource *r = pgResourcePtr;
  if (!r) return 0;
  if (statementRunner) return 1;
  if (r->ownerPid != getpid() && r->conn) {
    LOG(5, "Reinitializing child process connection to database");
    dropInheritedSession(r->conn);
    r->conn = nullptr;
    // Any open transaction belongs to the parent's session; the child has
    // none, so it must be free to open a session of its own.
    r->savepointCount = 0;
    return 0;
  }
  if (!r->conn || PQstatus(r->conn) != CONNECTION_OK) return 0;
  if (sessionEnded(r->conn)) {
    LOG(4, "Verified connection state: %s", "bad");
    return 0;
  }
  time_t now = time(nullptr);
  if (now - kProbeInterval <= r->lastChecked && r->lastChecked <= now) return 1;
  pgResult *probe = executeTextQuery("SELECT TRUE");
  int good = pgStatus(probe) == 0;
  pgClear(probe);
  r->lastChecked = now;
  LOG(4, "Verified connection state: %s", good ? "good" : "bad");
  return good;
}

int pgEnsureConnection() {
  if (pgConnectionGood()) return 0;
  LOG(1, "Not connected to Postgres or connection bad, reconnecting...");
  if (savepointCount() > 0) {
    LOG(0, "Connection bad; reset not attempted from within a transaction block");
    return -1;
  }
  pgClose();
  if (pgOpen(nullptr, 1) != 0) {
    LOG(0, "pgOpen failed, cannot open connection");
    return -1;
  }
  return 0;
}

void pgClose() {
  MaskGuard guard;
  closeResource(pgResourcePtr);
}

void pgCloseAll() {
  MaskGuard guard;
  for (int i = 0; i < PG_RESOURCE_SLOTS; i++) {
    if (!pgResourceArray[i]) continue;
    pgResourcePtr = pgResourceArray[i];
    pgClose();
  }
  pgResourcePtr = nullptr;
}

PGconn *pgConnection() {
  MaskGuard guard;
  if (pgEnsureConnection() != 0) return nullptr;
  return pgResourcePtr->conn;
}

// ---------------------------------------------------------------------------
// Query formats

char *transformNullComparisons(const char *format, va_list args) {
  if (!format) return nullptr;
  size_t length = strlen(format);
  auto *out = static_cast<char *>(malloc(4 * length + 4));
  if (!out) return nullptr;
  ArgList list;
  va_copy(list.ap, args);
  size_t o = 0;
  size_t i = 0;
  while (format[i]) {
    if (format[i] != '%') {
      out[o++] = format[i++];
      continue;
    }
    Conversion c = parseConversion(format + i);
    if (c.literal || c.code < 0) {
      // An unknown conversion stops the walk: its argument size is unknown,
      // and the statement is refused later anyway.
      size_t n = c.literal ? c.length : length - i;
      memcpy(out + o, format + i, n);
      o += n;
      i += n;
      continue;
    }
    bool isValue = c.code != PGC_SKIP && c.code != PGC_SKIPDOUBLE;
    int flag = 0;
    if (c.nullable && isValue) flag = va_arg(list.ap, int);
    skipArgument(&list, c.code);
    if (c.nullable && isValue && flag >= 1) {
      // Is the conversion the right side of "=" or "!=" (blanks between)?
      size_t j = o;
      while (j > 0 && (out[j - 1] == ' ' || out[j - 1] == '\t' || out[j - 1] == '\n' || out[j - 1] == '\r'))
        j--;
      if (j > 0 && out[j - 1] == '=') {
        size_t op = j - 1;
        bool negated = false;
        bool equality = true;
        if (op > 0 && out[op - 1] == '!') {
          negated = true;
          op--;
        } else if (op > 0 && (out[op - 1] == '<' || out[op - 1] == '>' || out[op - 1] == '=')) {
          equality = false;
        }
        if (equality) {
          o = op;
          // "a=%nd" must not become "aIS NULL".
          if (o > 0 && out[o - 1] != ' ' && out[o - 1] != '\t' && out[o - 1] != '\n' && out[o - 1] != '(')
            out[o++] = ' ';
          o += sprintf(out + o, "IS %sNULL %%z%%%c", negated ? "NOT " : "", isFloating(c.code) ? 'Z' : 'z');
          i += c.length;
          continue;
        }
      }
    }
    memcpy(out + o, format + i, c.length);
    o += c.length;
    i += c.length;
  }
  out[o] = '\0';
  va_end(list.ap);
  LOG(5, "Input format string:  %s", format);
  LOG(5, "Output format string: %s", out);
  return out;
}

// Refusing a format with an unknown conversion (rather than preparing the
// text converted so far) is deliberate: a cut statement such as
// "DELETE FROM t " could otherwise run with a meaning the caller never
// wrote.
int prepareQuery(const char *key) {
  pgResource *r = pgResourcePtr;
  if (!r || (!r->conn && !statementRunner) || !key) return -1;
  size_t length = strlen(key);
  heapQueryBuffer text;
  if (text.create() != 0) {
    LOG(0, "Cannot allocate memory in query buffer");
    return -1;
  }
  // At most two codes per conversion, and a conversion takes two or more
  // characters of the key.
  auto *codes = static_cast<unsigned char *>(malloc(length + 1));
  if (!codes) {
    LOG(0, "Cannot allocate memory in query buffer");
    text.free();
    return -1;
  }
  int codeCount = 0;
  int paramCount = 0;
  size_t i = 0;
  while (key[i]) {
    size_t run = strcspn(key + i, "%");
    if (run > 0) {
      text.append(key + i, static_cast<int>(run));
      i += run;
      continue;
    }
    Conversion c = parseConversion(key + i);
    i += c.length;
    if (c.literal) {
      text.append("%", 1);
      continue;
    }
    if (c.code < 0) {
      logInvalidConversion(c);
      free(codes);
      text.free();
      return -1;
    }
    if (c.code == PGC_SKIP || c.code == PGC_SKIPDOUBLE) {
      codes[codeCount++] = static_cast<unsigned char>(c.code);
      continue;
    }
    if (c.nullable) codes[codeCount++] = PGC_NULLFLAG;
    codes[codeCount++] = static_cast<unsigned char>(c.code);
    text.appendf("$%d", ++paramCount);
  }
  if (text.failed()) {
    LOG(0, "Could not append to query buffers");
    free(codes);
    text.free();
    return -1;
  }
  LOG(5, "Parameter count: %d, query string: %s", paramCount, text.text());
  int index = r->statementCount;
  if (r->preparedStatements) {
    LOG(5, "Storing as a prepared statement");
    char name[16];
    snprintf(name, sizeof name, "%d", index);
    PGresult *res = PQprepare(r->conn, name, text.text(), 0, nullptr);
    if (!commandSucceeded(res)) {
      LOG(0, "Postgres error: %s.", resultError(r->conn, res).c_str());
      PQclear(res);
      free(codes);
      text.free();
      return -1;
    }
    PQclear(res);
  }
  LOG(5, "Query parsing ok, storing in query buffer");
  if (r->statementCount >= r->statementCapacity) {
    int capacity = (r->statementCount + 1 + 15) / 16 * 16;
    auto *grown = static_cast<pgStatement *>(realloc(r->statements, capacity * sizeof(pgStatement)));
    if (!grown) {
      LOG(0, "Could not grow query buffer size");
      free(codes);
      text.free();
      return -1;
    }
    r->statements = grown;
    r->statementCapacity = capacity;
  }
  pgStatement st{strdup(key), strdup(text.text()), codes, codeCount, paramCount};
  text.free();
  if (!st.key || !st.text) {
    LOG(0, "Cannot allocate memory in query buffer");
    free(st.key);
    free(st.text);
    free(codes);
    return -1;
  }
  r->statements[r->statementCount++] = st;
  LOG(5, "Query parsed and stored successfully, index '%d'", index);
  return index;
}

// ---------------------------------------------------------------------------
// Queries

pgResult *pgQuery(const char *format, ...) {
  va_list args;
  va_start(args, format);
  pgResult *result = pgVQuery(format, args);
  va_end(args);
  return result;
}

pgResult *pgVQuery(const char *format, va_list args) {
  if (!format || !*format) {
    LOG(0, "Null format string");
    return nullptr;
  }
  MaskGuard guard;
  if (pgEnsureConnection() != 0) return nullptr;
  pgResource *r = pgResourcePtr;

  va_list walk;
  va_copy(walk, args);
  char *key = transformNullComparisons(format, walk);
  va_end(walk);
  if (!key) {
    LOG(0, "transformNullComparisons returned null");
    LOG(0, "Query was: %s", format);
    return nullptr;
  }
  int index = findStatement(r, key);
  if (index < 0) {
    LOG(4, "Query not in cache, preparing...");
    index = prepareQuery(key);
    if (index < 0) {
      LOG(0, "Call to prepareQuery failed");
      LOG(0, "Query was: %s", format);
      free(key);
      return nullptr;
    }
  }
  free(key);
  const pgStatement *st = &r->statements[index];
  LOG(4, "Executing query with index %d, text: %s", index, st->text);

  ArgList list;
  va_copy(list.ap, args);
  int rc = parseStoreParams(r, st, &list);
  va_end(list.ap);
  if (rc != 0) {
    LOG(0, "parseStoreParams returned failure");
    return nullptr;
  }
  if (log_level >= 4 && log_level <= 10) logParams(r, 4);
  return executePrepared(r, index);
}

pgResult *pgVExec(const char *format, ...) {
  va_list args;
  va_start(args, format);
  char *text = nullptr;
  int n = vasprintf(&text, format, args);
  va_end(args);
  if (n < 0 || !text) {
    LOG(0, "Out of memory");
    return nullptr;
  }
  pgResult *result = pgExec(text);
  free(text);
  return result;
}

pgResult *pgExec(const char *text) {
  MaskGuard guard;
  if (pgEnsureConnection() != 0) return nullptr;
  LOG(4, "Executing query with text: %s", text ? text : "[null]");
  pgResult *result = executeTextQuery(text);
  if (!result) LOG(0, "executeTextQuery returned null result");
  return result;
}

pgResult *executeTextQuery(const char *text) {
  PGconn *conn = pgResourcePtr ? pgResourcePtr->conn : nullptr;
  PGresult *res = !text            ? nullptr
                  : statementRunner ? statementRunner(runnerContext, text, 0, nullptr)
                  : conn            ? PQexec(conn, text)
                                    : nullptr;
  ExecStatusType st = res ? PQresultStatus(res) : PGRES_FATAL_ERROR;
  if (!res || (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK && st != PGRES_COPY_IN)) {
    LOG(0, "Execution of statement failed: %s.",
        text ? resultError(conn, res).c_str() : "no statement text");
    if (text)
      LOG(0, "Query string was: %s", text);
    else
      LOG(0, "Query string was: [null]");
    PQclear(res);
    return nullptr;
  }
  return makeResult(res);
}

// ---------------------------------------------------------------------------
// Results

int pgStatus(const pgResult *result) {
  MaskGuard guard;
  if (!result || !result->res) return -1;
  ExecStatusType st = PQresultStatus(result->res);
  return (st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK || st == PGRES_COPY_IN) ? 0 : -1;
}

long pgTuples(const pgResult *result) {
  if (!result) {
    LOG(0, "Cannot return tuple count for null query result!");
    return 0;
  }
  return static_cast<long>(PQntuples(result->res));
}

long pgAffectedRows(const pgResult *result) {
  if (!result) {
    LOG(0, "Cannot return affected row count for null query result!");
    return 0;
  }
  const char *count = PQcmdTuples(result->res);
  return (count && *count) ? strtol(count, nullptr, 10) : 0;
}

void pgClear(pgResult *result) {
  if (!result) return;
  PQclear(result->res);
  free(result->fieldMap);
  free(result->queryText);
  free(result);
}

void pgClearPtr(pgResult **result) {
  if (!result) return;
  pgClear(*result);
  *result = nullptr;
}

int pgColumnNumber(const pgResult *result, const char *name) {
  if (!result) {
    LOG(0, "Cannot fetch column numbers for null query result!");
    return -1;
  }
  if (!name) return -1;
  for (int i = 0; i < result->nFields; i++)
    if (strcmp(result->fieldMap[i].name, name) == 0) return result->fieldMap[i].number;
  return -1;
}

int pgResultError(const pgResult *result) { return result ? result->error : -1; }

PGresult *pgRawResult(const pgResult *result) { return result ? result->res : nullptr; }

int getTextValue(const char **text, pgResult *result, int row, const char *column) {
  int col = -1;
  const char *value = nullptr;
  if (locateValue(result, row, column, &col, true, &value) != 0) {
    if (text) *text = nullptr;
    return -1;
  }
  if (text) *text = value;
  return 0;
}

const char *pgSVal(pgResult *result, int row, const char *column) {
  const char *text = nullptr;
  if (getTextValue(&text, result, row, column) != 0) {
    LOG(0, "Could not retrieve value for row %d, col %s: getTextValue() failed", row,
        column ? column : "(null)");
    return nullptr;
  }
  return text;
}

char *pgSValDup(pgResult *result, int row, const char *column) {
  const char *text = pgSVal(result, row, column);
  if (!text) return nullptr;
  char *copy = strdup(text);
  if (!copy) {
    LOG(0, "Could not allocate memory to duplicate string for row %d, col %s", row, column);
    result->error = -1;
  }
  return copy;
}

int pgBVal(pgResult *result, int row, const char *column) {
  const char *text = convertibleText(result, row, column);
  if (!text) return 0;
  if (text[0] == 't') return 1;
  if (text[0] == 'f') return 0;
  LOG(0, "Could not retrieve value for row %d, col %s: invalid value(%.32s) in result", row, column, text);
  result->error = -1;
  return 0;
}

long pgLVal(pgResult *result, int row, const char *column) {
  return convertNumber<long>(result, row, column, "strtol",
                             [](const char *s, char **e) { return strtol(s, e, 10); });
}

long long pgLLVal(pgResult *result, int row, const char *column) {
  return convertNumber<long long>(result, row, column, "strtoll",
                                  [](const char *s, char **e) { return strtoll(s, e, 10); });
}

unsigned long pgULVal(pgResult *result, int row, const char *column) {
  return convertNumber<unsigned long>(result, row, column, "strtoul",
                                      [](const char *s, char **e) { return strtoul(s, e, 10); });
}

double pgDVal(pgResult *result, int row, const char *column) {
  return convertNumber<double>(result, row, column, "strtod",
                               [](const char *s, char **e) { return strtod(s, e); });
}

int pgIsNull(pgResult *result, int row, const char *column) {
  int col = -1;
  if (locateValue(result, row, column, &col, false, nullptr) != 0) return -1;
  return PQgetisnull(result->res, row, col);
}

// ---------------------------------------------------------------------------
// Transactions

int pgBegin() {
  MaskGuard guard;
  if (pgEnsureConnection() != 0) {
    LOG(0, "Failed to start transaction");
    return -1;
  }
  pgResult *r = executeTextQuery("BEGIN;");
  bool ok = r != nullptr;
  pgClear(r);
  if (!ok) {
    LOG(0, "Failed to start transaction");
    return -1;
  }
  if (pgResourcePtr->savepointCount < 1) pgResourcePtr->savepointCount = 1;
  LOG(3, "Successfully started a transaction");
  return 0;
}

// A COMMIT of a transaction that an earlier error aborted is answered with
// the tag "ROLLBACK" and a success status; it is reported as the failure
// it is, since nothing was committed.
int pgCommit() {
  MaskGuard guard;
  if (pgEnsureConnection() != 0) {
    LOG(0, "Resetting savepoint count to 0");
    setSavepointCount(0);
    return -1;
  }
  pgResult *r = executeTextQuery("COMMIT;");
  bool ok = r && strcmp(PQcmdStatus(r->res), "ROLLBACK") != 0;
  pgClear(r);
  setSavepointCount(0);
  if (!ok) {
    pgClear(executeTextQuery("ROLLBACK;"));
    LOG(0, "Failed to commit transaction; rollback performed");
    return -1;
  }
  LOG(3, "Successfully committed transaction");
  return 0;
}

int pgRollback() {
  MaskGuard guard;
  if (pgEnsureConnection() != 0) {
    setSavepointCount(0);
    LOG(0, "Resetting savepoint count to 0");
    return -1;
  }
  pgResult *r = executeTextQuery("ROLLBACK;");
  bool ok = r != nullptr;
  pgClear(r);
  setSavepointCount(0);
  if (!ok) {
    LOG(0, "Failed to roll back transaction");
    return -1;
  }
  LOG(3, "Transaction rolled back successfully");
  return 0;
}

int pgPushTransaction(int *savepointId) {
  MaskGuard guard;
  if (pgEnsureConnection() != 0) {
    LOG(0, "Failed to start transaction or set savepoint");
    return -1;
  }
  pgResource *r = pgResourcePtr;
  if (r->savepointCount == 0) {
    if (pgBegin() != 0) {
      LOG(0, "Failed to start transaction or set savepoint");
      return -1;
    }
    if (savepointId) *savepointId = 1;
    LOG(3, "pgPushTransaction was successful; savepoint id %d", 1);
    return 0;
  }
  int id = r->savepointCount + 1;
  char sql[64];
  snprintf(sql, sizeof sql, "SAVEPOINT pghelper_savepoint_%d;", id);
  pgResult *res = executeTextQuery(sql);
  bool ok = res != nullptr;
  pgClear(res);
  if (!ok) {
    LOG(0, "Failed to start transaction or set savepoint");
    return -1;
  }
  r->savepointCount = id;
  if (savepointId) *savepointId = id;
  LOG(3, "pgPushTransaction was successful; savepoint id %d", id);
  return 0;
}

int pgPopTransaction(int commit, int savepointId) {
  MaskGuard guard;
  if (pgEnsureConnection() != 0) {
    int *count = currentSavepointCount();
    if (count) {
      if (savepointId == 0)
        *count = 0;
      else if (savepointId > 0 && savepointId <= *count)
        *count = savepointId - 1;
      LOG(0, "Adjusted savepoint count to %d", *count);
    }
    return -1;
  }
  pgResource *r = pgResourcePtr;
  int id = savepointId == 0 ? r->savepointCount : savepointId;
  if (id == 0) {
    LOG(3, "pgPopTransaction: nothing to do, returning SUCCESS");
    return 0;
  }
  if (id == 1) {
    int rc = commit ? pgCommit() : pgRollback();
    setSavepointCount(0);
    if (rc != 0) return -1;
    LOG(3, "pgPopTransaction was successful; %s transaction", commit ? "committed" : "rolled back");
    return 0;
  }
  if (id < 0 || id > r->savepointCount) {
    LOG(0, "Invalid savepoint identifier \"%d\"", id);
    return -1;
  }
  char sql[80];
  bool ok = true;
  if (!commit) {
    snprintf(sql, sizeof sql, "ROLLBACK TO SAVEPOINT pghelper_savepoint_%d", id);
    pgResult *res = executeTextQuery(sql);
    ok = res != nullptr;
    pgClear(res);
  }
  if (ok) {
    snprintf(sql, sizeof sql, "RELEASE SAVEPOINT pghelper_savepoint_%d", id);
    pgResult *res = executeTextQuery(sql);
    ok = res != nullptr;
    pgClear(res);
  }
  if (!ok) {
    if (commit)
      LOG(0, "Failed to %s transaction or %s savepoint", "commit", "release");
    else
      LOG(0, "Failed to %s transaction or %s savepoint", "roll back", "roll back to and release");
    return -1;
  }
  r->savepointCount = id - 1;
  LOG(3, "pgPopTransaction was successful; %sreleased savepoint %d", commit ? "" : "rolled back to and ", id);
  return 0;
}

int pgInTransaction() { return savepointCount() != 0 ? 1 : 0; }

// ---------------------------------------------------------------------------
// Column-existence cache

// Setting a pair that is already cached updates its entry in place, so a
// later answer is not hidden behind the first one.
void pgCECset(const char *table, const char *column, int exists) {
  if (!pgResourcePtr) {
    LOG(0, "no pgResourcePtr");
    return;
  }
  if (!table) {
    LOG(0, "table is NULL");
    return;
  }
  if (!column) {
    LOG(0, "column is NULL");
    return;
  }
  int tableLength = static_cast<int>(strlen(table));
  int columnLength = static_cast<int>(strlen(column));
  if (tableLength == 0 || columnLength == 0) {
    LOG(0, "table or column name length is zero");
    return;
  }
  pgCECEntry *cache = columnCache(true);
  if (!cache) {
    LOG(0, "pgCECinit failed");
    LOG(0, "pgCECinit returned NULL");
    return;
  }
  for (int i = 0; i < PG_CEC_ENTRIES; i++) {
    pgCECEntry &e = cache[i];
    if (e.tableLength != 0) {
      if (cecMatches(e, table, tableLength, column, columnLength)) {
        e.exists = exists;
        LOG(5, "storing %s.%s exists = %d", table, column, exists);
        return;
      }
      continue;
    }
    e.table = strdup(table);
    e.column = strdup(column);
    if (!e.table || !e.column) {
      free(e.table);
      free(e.column);
      e.table = e.column = nullptr;
      LOG(5, "CEC set failed for %s.%s %d", table, column, exists);
      return;
    }
    e.tableLength = tableLength;
    e.columnLength = columnLength;
    e.exists = exists;
    LOG(5, "storing %s.%s exists = %d", table, column, exists);
    return;
  }
  LOG(0, "CEC table overflow");
  LOG(5, "CEC set failed for %s.%s %d", table, column, exists);
}

int pgCECget(const char *table, const char *column) {
  if (!pgResourcePtr) {
    LOG(0, "pgResourcePtr is NULL");
    return -1;
  }
  pgCECEntry *cache = columnCache(false);
  if (!cache) {
    LOG(5, "pgCECptr is NULL");
    return -1;
  }
  if (!table || !column) return -1;
  int tableLength = static_cast<int>(strlen(table));
  int columnLength = static_cast<int>(strlen(column));
  for (int i = 0; i < PG_CEC_ENTRIES && cache[i].tableLength != 0; i++)
    if (cecMatches(cache[i], table, tableLength, column, columnLength)) return cache[i].exists;
  return -1;
}

// ---------------------------------------------------------------------------
// Escaping

int pgAEscape(char **dest, const char *src) {
  MaskGuard guard;
  if (!dest) {
    LOG(0, "pgAEscape: dest string cannot be null");
    return -1;
  }
  if (!src) src = "";
  size_t length = strlen(src);
  auto *buffer = static_cast<char *>(malloc(3 * length + 1));
  if (!buffer) {
    LOG(0, "pgAEscape: failed to allocate memory for destination string");
    return -1;
  }
  size_t n = PQescapeString(buffer, src, length);
  auto *shrunk = static_cast<char *>(realloc(buffer, n + 1));
  if (!shrunk) {
    LOG(0, "pgAEscape: failed to allocate memory to resize destination string");
    free(buffer);
    return -1;
  }
  shrunk[n] = '\0';
  *dest = shrunk;
  return 0;
}

int pgEscape(char *dest, const char *src) {
  MaskGuard guard;
  if (!dest || !src) return -1;
  PQescapeString(dest, src, strlen(src));
  return 0;
}

int pgEscapeLiteral(std::string *out, const char *src) {
  MaskGuard guard;
  if (!out || !src) {
    LOG(0, "pgEscapeLiteral: text and destination cannot be null");
    return -1;
  }
  if (pgEnsureConnection() != 0) return -1;
  PGconn *conn = pgResourcePtr->conn;
  size_t length = strlen(src);
  std::string escaped(2 * length + 1, '\0');
  int error = 0;
  size_t n = PQescapeStringConn(conn, escaped.data(), src, length, &error);
  if (error) {
    LOG(0, "pgEscapeLiteral: refused text: %s", PQerrorMessage(conn));
    return -1;
  }
  escaped.resize(n);
  *out = std::move(escaped);
  return 0;
}
