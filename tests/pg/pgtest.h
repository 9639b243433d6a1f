// pgtest.h: helpers of the catalogue-helper tests: a second ("administrator") session beside the helper's
// own, and a service file with extra service names for the same server.
#pragma once

#include "support/sandbox.h"

#include <libpq-fe.h>

#include <string>
#include <vector>

namespace pgtest {

// A plain libpq session on the test database (or `dbname`), outside the
// helper, to look at committed rows and to act on the helper's sessions
// from outside.
class AdminSession {
 public:
  explicit AdminSession(const char *dbname = nullptr);
  ~AdminSession();
  AdminSession(const AdminSession &) = delete;
  AdminSession &operator=(const AdminSession &) = delete;
  bool ok() const;
  // Runs `sql`; true when it succeeded. The first column of every row goes
  // to `rows` when given (NULL as "<null>").
  bool run(const std::string &sql, std::vector<std::string> *rows = nullptr);
  // The single value of a one-row, one-column query ("" on failure).
  std::string value(const std::string &sql);
  // Terminates backend `pid` and waits (bounded) until it has gone.
  bool terminate(int pid);
  // The server's message for the last failed run(), "" after a success.
  const std::string &error() const { return error_; }

 private:
  PGconn *conn_;
  std::string error_;
};

// Writes a service file that holds the current service file's "localhost"
// entry under each of `names` too, and makes it PGSERVICEFILE for the
// object's lifetime.
class ExtraServices {
 public:
  explicit ExtraServices(const std::vector<std::string> &names);
  ExtraServices(const ExtraServices &) = delete;
  ExtraServices &operator=(const ExtraServices &) = delete;
  bool ok() const { return ok_; }

 private:
  rpd::test::Sandbox box_{"pgtest-svc"};
  bool ok_ = false;
};

}  // namespace pgtest
