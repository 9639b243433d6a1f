// catalogue.cpp: per-test clones of the test catalogue.
#include "catalogue.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>

#include "lib/pghelper.h"

namespace rpd::test {

namespace {

constexpr const char *kTemplate = "vxdb_template";
constexpr const char *kPrefix = "rpdtest_";

std::string quoteIdent(const std::string &name) { return "\"" + name + "\""; }

// A connection to a maintenance database of the test catalogue.
PGconn *connectAdmin() {
  PGconn *c = PQconnectdb("service=localhost dbname=postgres");
  if (PQstatus(c) != CONNECTION_OK) {
    std::string msg = PQerrorMessage(c);
    PQfinish(c);
    throw std::runtime_error(
        "the test catalogue is not reachable (run: eval \"$(scripts/catalogue start)\"): " + msg);
  }
  return c;
}

bool run(PGconn *c, const std::string &sql, std::string *err) {
  PGresult *r = PQexec(c, sql.c_str());
  ExecStatusType st = PQresultStatus(r);
  bool ok = st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
  if (!ok && err) *err = PQerrorMessage(c);
  PQclear(r);
  return ok;
}

// Drops clones left behind by test processes that died before their
// destructors ran (a crash, a kill by ctest's timeout). Clone names carry
// the creating pid; only clones whose process is gone are dropped, and only
// once per process.
void dropOrphans(PGconn *c) {
  static std::atomic<bool> done{false};
  if (done.exchange(true)) return;
  PGresult *r = PQexec(c, "SELECT datname FROM pg_database WHERE datname LIKE 'rpdtest\\_%'");
  std::vector<std::string> orphans;
  if (PQresultStatus(r) == PGRES_TUPLES_OK) {
    for (int i = 0; i < PQntuples(r); i++) {
      std::string name = PQgetvalue(r, i, 0);
      long pid = atol(name.c_str() + strlen(kPrefix));
      if (pid > 0 && pid != getpid() && kill((pid_t)pid, 0) != 0 && errno == ESRCH)
        orphans.push_back(name);
    }
  }
  PQclear(r);
  for (const auto &name : orphans)
    run(c, "DROP DATABASE IF EXISTS " + quoteIdent(name) + " WITH (FORCE)", nullptr);
}

std::string uniqueName() {
  static std::atomic<unsigned> counter{0};
  std::random_device rd;
  char buf[64];
  snprintf(buf, sizeof buf, "%s%ld_%u_%08x", kPrefix, (long)getpid(), counter++, rd());
  return buf;
}

}  // namespace

void useTestCatalogueService() {
  const char *file = getenv("PGSERVICEFILE");
  if (file && *file) return;
  const char *dir = getenv("RPD_CATALOGUE_DIR");
  std::string candidate = dir && *dir ? std::string(dir)
                                      : "/tmp/rpd-catalogue-" + std::to_string(getuid());
  candidate += "/pg_service.conf";
  struct stat st;
  if (stat(candidate.c_str(), &st) == 0) setenv("PGSERVICEFILE", candidate.c_str(), 1);
}

// ---- SqlResult -------------------------------------------------------------

SqlResult &SqlResult::operator=(SqlResult &&o) noexcept {
  if (this != &o) {
    PQclear(r_);
    r_ = o.r_;
    o.r_ = nullptr;
  }
  return *this;
}

bool SqlResult::ok() const {
  if (!r_) return false;
  ExecStatusType st = PQresultStatus(r_);
  return st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
}

std::string SqlResult::text(int row, int column) const {
  if (!r_ || row < 0 || row >= PQntuples(r_) || column < 0 || column >= PQnfields(r_) ||
      PQgetisnull(r_, row, column))
    return "";
  return PQgetvalue(r_, row, column);
}

std::string SqlResult::text(int row, const char *column) const {
  return r_ ? text(row, PQfnumber(r_, column)) : "";
}

bool SqlResult::isNull(int row, const char *column) const {
  if (!r_) return true;
  int c = PQfnumber(r_, column);
  if (c < 0 || row < 0 || row >= PQntuples(r_)) return true;
  return PQgetisnull(r_, row, c);
}

long long SqlResult::number(int row, const char *column) const {
  return atoll(text(row, column).c_str());
}

std::string SqlResult::error() const {
  return r_ ? PQresultErrorMessage(r_) : "no result";
}

// ---- ScopedTestDatabase ----------------------------------------------------

ScopedTestDatabase::ScopedTestDatabase() {
  useTestCatalogueService();
  PGconn *admin = nullptr;
  try {
    admin = connectAdmin();
  } catch (const std::exception &e) {
    ADD_FAILURE() << e.what();
    throw;
  }
  dropOrphans(admin);
  name_ = uniqueName();
  // CREATE DATABASE refuses to copy a template that another session is
  // connected to at that moment (the catalogue script loading a changed
  // schema, a developer's psql), and the template is missing for a moment
  // while a new one is renamed into place; both pass, so retry a while.
  std::string err;
  bool created = false;
  for (int attempt = 0; attempt < 100 && !created; attempt++) {
    created = run(admin, "CREATE DATABASE " + quoteIdent(name_) + " TEMPLATE " + kTemplate, &err);
    if (!created && err.find("is being accessed by other users") == std::string::npos &&
        err.find("does not exist") == std::string::npos)
      break;
    if (!created) usleep(100 * 1000);
  }
  PQfinish(admin);
  if (!created) {
    ADD_FAILURE() << "cannot clone " << kTemplate << ": " << err;
    throw std::runtime_error("cannot clone the test catalogue: " + err);
  }
  const char *old = getenv("RPD_CATALOGUE_DB");
  hadSavedDb_ = old != nullptr;
  if (old) savedDb_ = old;
  setenv("RPD_CATALOGUE_DB", name_.c_str(), 1);
}

ScopedTestDatabase::~ScopedTestDatabase() {
  // The code under test keeps its connections open; they must go before
  // the database can be dropped (FORCE would cut them anyway, but then the
  // helper would log broken sessions into the next test).
  pgCloseAll();
  if (conn_) PQfinish(conn_);
  conn_ = nullptr;
  if (hadSavedDb_)
    setenv("RPD_CATALOGUE_DB", savedDb_.c_str(), 1);
  else
    unsetenv("RPD_CATALOGUE_DB");
  try {
    PGconn *admin = connectAdmin();
    std::string err;
    if (!run(admin, "DROP DATABASE IF EXISTS " + quoteIdent(name_) + " WITH (FORCE)", &err))
      ADD_FAILURE() << "cannot drop test database " << name_ << ": " << err;
    PQfinish(admin);
  } catch (const std::exception &e) {
    ADD_FAILURE() << e.what();
  }
}

std::string ScopedTestDatabase::conninfo() const {
  return "service=localhost dbname=" + name_ +
         " options='-c search_path=vx,public -c client_encoding=UTF8'";
}

PGconn *ScopedTestDatabase::connection() {
  if (conn_ && PQstatus(conn_) == CONNECTION_OK) return conn_;
  if (conn_) PQfinish(conn_);
  conn_ = PQconnectdb(conninfo().c_str());
  if (PQstatus(conn_) != CONNECTION_OK)
    ADD_FAILURE() << "cannot connect to " << name_ << ": " << PQerrorMessage(conn_);
  return conn_;
}

SqlResult ScopedTestDatabase::tryExec(const std::string &sql) {
  return SqlResult(PQexec(connection(), sql.c_str()));
}

SqlResult ScopedTestDatabase::exec(const std::string &sql) {
  SqlResult r = tryExec(sql);
  if (!r.ok()) ADD_FAILURE() << "SQL failed: " << sql << "\n  " << r.error();
  return r;
}

std::string ScopedTestDatabase::value(const std::string &sql) {
  SqlResult r = exec(sql);
  if (r.rows() < 1 || r.columns() < 1) return "";
  return PQgetisnull(r.get(), 0, 0) ? "<null>" : PQgetvalue(r.get(), 0, 0);
}

long long ScopedTestDatabase::number(const std::string &sql) {
  return atoll(value(sql).c_str());
}

std::vector<std::vector<std::string>> ScopedTestDatabase::rows(const std::string &sql) {
  SqlResult r = exec(sql);
  std::vector<std::vector<std::string>> out;
  for (int i = 0; i < r.rows(); i++) {
    std::vector<std::string> row;
    for (int j = 0; j < r.columns(); j++)
      row.push_back(PQgetisnull(r.get(), i, j) ? "<null>" : PQgetvalue(r.get(), i, j));
    out.push_back(std::move(row));
  }
  return out;
}

}  // namespace rpd::test
