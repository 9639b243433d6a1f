// pghelper.h: the catalogue helper. Every catalogue access of the daemon
// goes through it (the hash-list code keeps connections of its own). It
// owns the process's connections (30 slots, opened lazily by service name,
// reopened when broken, dropped in a forked child), turns printf-style
// formats into server-side prepared statements, wraps results with typed
// getters by column name, and keeps a transaction/savepoint stack. Every
// entry point that talks to the server blocks the daemon's signals while
// it runs.
//
// Query formats of pgQuery() take these conversions; every value is sent
// as a text parameter of a prepared statement, never pasted into the SQL:
//   %s text (char *; a null pointer is sent as SQL NULL)
//   %c int as one character      %hd %hu  int as short / unsigned short
//   %d int      %u unsigned int  %ld %lu  long / unsigned long
//   %lld %llu long long / unsigned long long
//   %f double, rounded to single precision first; %lf (also %g, %lg) double
//   %n before any of these: an int null flag comes first, then the value;
//      a flag > 0 sends SQL NULL (the value argument is still consumed).
//      After "=" or "!=" a null %n value turns the comparison into
//      "IS NULL" / "IS NOT NULL"; so in a SET list write "x = (%nd)" to
//      assign a nullable value.
//   %z consumes one int argument and produces nothing
//   %% a literal percent sign
// No widths or precisions: any other letter makes the query fail.
#pragma once

#include <libpq-fe.h>

#include <cstdarg>
#include <string>

struct pgResult;

// Number of connection slots of a process.
constexpr int PG_RESOURCE_SLOTS = 30;
// Entries of a connection's column-existence cache.
constexpr int PG_CEC_ENTRIES = 16;

// Connections.
// Opens (or reuses) the connection to service `hostname` (null = the last
// one used, "localhost" at first) and makes it current. 0 / -1.
int pgOpen(const char *hostname, int usePrepared);
// Makes sure the current connection is usable, reconnecting when it is not
// and no transaction is open. 0 / -1.
int pgEnsureConnection();
// 1 when the current connection is known good (probed at most every 15 s).
int pgConnectionGood();
// Closes the current connection (without a goodbye when it was inherited
// from a parent process) and frees its slot.
void pgClose();
// Closes every connection of the process (at exit and before a fork).
void pgCloseAll();
// The libpq connection of the current resource after pgEnsureConnection,
// or null.
PGconn *pgConnection();

// Statements without a server: with a runner installed, no connection is
// made and every statement (its text with $n placeholders, and the
// parameter texts, null for SQL NULL; no parameters for plain text
// statements and transaction control) goes to the runner instead, which
// answers with a libpq result of its own making (PQmakeEmptyPGresult and
// friends; ownership passes to the helper) or null for a failed statement.
// Lets code that turns input into statements run without a catalogue (the
// fuzz targets). Null restores the server; call it before the first query.
using PgStatementRunner = PGresult *(*)(void *context, const char *sql, int paramCount,
                                       const char *const *params);
void pgSetStatementRunner(PgStatementRunner runner, void *context);

// Queries: none (nullptr) always means failure, already logged.
pgResult *pgQuery(const char *format, ...);
pgResult *pgVQuery(const char *format, va_list args);
pgResult *pgVExec(const char *format, ...) __attribute__((format(printf, 1, 2)));
pgResult *pgExec(const char *text);
// The core of pgExec: no signal masking and no connection check.
pgResult *executeTextQuery(const char *text);

// Internals of pgQuery, exposed for the catalogue code's own diagnostics.
// Rewrites "= %n..."/"!= %n..." whose null flag is >= 1 into IS [NOT] NULL
// (see above). Returns a malloc'ed format (free() it) or null.
char *transformNullComparisons(const char *format, va_list args);
// Parses `key`, prepares it on the current connection and stores it in the
// statement cache. The statement index (its server name in decimal) or -1.
int prepareQuery(const char *key);

// Results.
int pgStatus(const pgResult *result);
long pgTuples(const pgResult *result);
long pgAffectedRows(const pgResult *result);
void pgClear(pgResult *result);
void pgClearPtr(pgResult **result);
int pgColumnNumber(const pgResult *result, const char *name);
int pgResultError(const pgResult *result);  // the sticky getter error: 0 or -1
PGresult *pgRawResult(const pgResult *result);

// Typed getters by row and column name. A failing getter returns the
// default of its kind and marks the result's error. An SQL NULL reads as
// the empty text: the converting getters then give 0 and mark the error
// without logging.
int getTextValue(const char **text, pgResult *result, int row, const char *column);
const char *pgSVal(pgResult *result, int row, const char *column);
char *pgSValDup(pgResult *result, int row, const char *column);  // free() it
int pgBVal(pgResult *result, int row, const char *column);
long pgLVal(pgResult *result, int row, const char *column);
long long pgLLVal(pgResult *result, int row, const char *column);
unsigned long pgULVal(pgResult *result, int row, const char *column);
double pgDVal(pgResult *result, int row, const char *column);
int pgIsNull(pgResult *result, int row, const char *column);

// Transactions and savepoints. pgPushTransaction returns the level's id
// (1 = the transaction itself, n > 1 = savepoint n); pgPopTransaction ends
// that level (0 = the innermost) and every level inside it.
int pgBegin();
int pgCommit();
int pgRollback();
int pgPushTransaction(int *savepointId);
int pgPopTransaction(int commit, int savepointId);
int pgInTransaction();

// Column-existence cache of the current connection.
void pgCECset(const char *table, const char *column, int exists);
// The stored answer, or -1 when not cached.
int pgCECget(const char *table, const char *column);

// Escaping for pgVExec users.
int pgAEscape(char **dest, const char *src);  // *dest is malloc'ed
int pgEscape(char *dest, const char *src);    // dest: 2 * strlen(src) + 1 bytes
// Escapes `src` for pasting between the single quotes of a pgVExec
// statement under the quoting rules of the current connection (opened
// first when there is none), so the text stays one literal whatever it
// holds: a quote, a backslash or a multibyte sequence cannot end it. Unlike
// pgEscape it never guesses the server's rules before a connection exists.
// 0 with the escaped text in *out; -1 (logged) when no connection can be
// had or the text is not valid in the connection's encoding.
int pgEscapeLiteral(std::string *out, const char *src);

// RAII owner of a pgResult: releases it with pgClear on every path.
class PgResultPtr {
 public:
  PgResultPtr() = default;
  explicit PgResultPtr(pgResult *r) : r_(r) {}
  PgResultPtr(const PgResultPtr &) = delete;
  PgResultPtr &operator=(const PgResultPtr &) = delete;
  PgResultPtr(PgResultPtr &&o) noexcept : r_(o.r_) { o.r_ = nullptr; }
  PgResultPtr &operator=(PgResultPtr &&o) noexcept {
    if (this != &o) { reset(o.r_); o.r_ = nullptr; }
    return *this;
  }
  ~PgResultPtr() { pgClear(r_); }
  void reset(pgResult *r = nullptr) { pgClear(r_); r_ = r; }
  pgResult *get() const { return r_; }
  pgResult *release() { pgResult *r = r_; r_ = nullptr; return r; }
  explicit operator bool() const { return r_ != nullptr; }
 private:
  pgResult *r_ = nullptr;
};
