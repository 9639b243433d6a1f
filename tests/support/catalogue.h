// catalogue.h: a private copy of the catalogue for one test.
//
// The test catalogue (scripts/catalogue) holds the template database
// "vxdb_template" with the appliance schema. ScopedTestDatabase clones it
// into a fresh, uniquely named database, points every catalogue connection
// of this process at the clone (RPD_CATALOGUE_DB, read by
// catalogueDbName()), and drops it again at the end of the scope, so tests
// never see each other's rows and may run in parallel.
//
// Connections are made through the libpq service "localhost". When
// PGSERVICEFILE is not set, the service file of this user's running test
// catalogue (/tmp/rpd-catalogue-$UID, or $RPD_CATALOGUE_DIR) is used, so a
// test binary also runs by hand after "scripts/catalogue start".
//
// A catalogue that cannot be reached fails the test: the constructor
// records a failure and throws, which GoogleTest reports as a failed test
// (never as a skip).
#pragma once

#include <libpq-fe.h>

#include <string>
#include <vector>

namespace rpd::test {

// Owner of one libpq result: PQclear on every path.
class SqlResult {
 public:
  SqlResult() = default;
  explicit SqlResult(PGresult *r) : r_(r) {}
  SqlResult(const SqlResult &) = delete;
  SqlResult &operator=(const SqlResult &) = delete;
  SqlResult(SqlResult &&o) noexcept : r_(o.r_) { o.r_ = nullptr; }
  SqlResult &operator=(SqlResult &&o) noexcept;
  ~SqlResult() { PQclear(r_); }

  PGresult *get() const { return r_; }
  // True for a command that completed (with or without rows).
  bool ok() const;
  int rows() const { return r_ ? PQntuples(r_) : 0; }
  int columns() const { return r_ ? PQnfields(r_) : 0; }
  // Text of a cell by position or column name; "" for NULL or out of range.
  std::string text(int row, int column) const;
  std::string text(int row, const char *column) const;
  bool isNull(int row, const char *column) const;
  long long number(int row, const char *column) const;
  // The server's error text, "" when none.
  std::string error() const;

 private:
  PGresult *r_ = nullptr;
};

class ScopedTestDatabase {
 public:
  ScopedTestDatabase();
  ~ScopedTestDatabase();
  ScopedTestDatabase(const ScopedTestDatabase &) = delete;
  ScopedTestDatabase &operator=(const ScopedTestDatabase &) = delete;

  // Name of the cloned database.
  const std::string &name() const { return name_; }
  // A libpq connection string that reaches the clone.
  std::string conninfo() const;

  // Runs SQL on the test's own connection to the clone (search path
  // "vx,public"). exec() records a test failure naming the statement when
  // it does not succeed; tryExec() leaves judging the result to the caller.
  SqlResult exec(const std::string &sql);
  SqlResult tryExec(const std::string &sql);
  // First cell of a query that must succeed, as rows() gives it: "<null>"
  // for NULL, "" when there is no row. number() reads it as an integer
  // (0 for NULL or no row).
  std::string value(const std::string &sql);
  long long number(const std::string &sql);
  // Every row of a query that must succeed, cells as text ("<null>" for
  // NULL).
  std::vector<std::vector<std::string>> rows(const std::string &sql);

  // The test's own connection to the clone (opened on first use, owned by
  // this object), for libpq calls the helpers above do not cover, such as
  // PQexecParams with binary values.
  PGconn *connection();

 private:
  std::string name_;
  std::string savedDb_;  // RPD_CATALOGUE_DB before this scope
  bool hadSavedDb_ = false;
  PGconn *conn_ = nullptr;
};

// Points PGSERVICEFILE at the running test catalogue when it is unset.
// Called by ScopedTestDatabase; tests that reach the catalogue without a
// clone may call it themselves.
void useTestCatalogueService();

}  // namespace rpd::test
