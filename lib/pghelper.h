// pghelper.h: the catalogue helper. Every catalogue access of the daemon
// goes through it (the hash-list code keeps connections of its own). It
// owns the process's connections (30 slots, opened lazily by service name,
// reopened when broken, dropped in a forked child), turns printf-style
// formats into server-side prepared statements, wraps results with typed
// getters by column name, and keeps a transaction/savepoint stack. Every
// entry point that talks to the server blocks the daemon's signals while
// it runs.
#pragma once

#include <libpq-fe.h>

struct pgResult;

// Connections.
int pgOpen(const char *hostname, int usePrepared);
int pgEnsureConnection();
int pgConnectionGood();
void pgClose();
void pgCloseAll();
PGconn *pgConnection();

// Queries: none (nullptr) always means failure, already logged.
pgResult *pgQuery(const char *format, ...);
pgResult *pgVExec(const char *format, ...) __attribute__((format(printf, 1, 2)));
pgResult *pgExec(const char *text);
pgResult *executeTextQuery(const char *text);

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
// default of its kind and marks the result's error.
int getTextValue(const char **text, pgResult *result, int row, const char *column);
const char *pgSVal(pgResult *result, int row, const char *column);
char *pgSValDup(pgResult *result, int row, const char *column);  // free() it
int pgBVal(pgResult *result, int row, const char *column);
long pgLVal(pgResult *result, int row, const char *column);
long long pgLLVal(pgResult *result, int row, const char *column);
unsigned long pgULVal(pgResult *result, int row, const char *column);
double pgDVal(pgResult *result, int row, const char *column);
int pgIsNull(pgResult *result, int row, const char *column);

// Transactions and savepoints.
int pgBegin();
int pgCommit();
int pgRollback();
int pgPushTransaction(int *savepointId);
int pgPopTransaction(int commit, int savepointId);
int pgInTransaction();

// Column-existence cache.
void pgCECset(const char *table, const char *column, int exists);
int pgCECget(const char *table, const char *column);

// Escaping for pgVExec users.
int pgAEscape(char **dest, const char *src);  // *dest is malloc'ed
int pgEscape(char *dest, const char *src);

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
