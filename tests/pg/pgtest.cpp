// pgtest.cpp: administrator session and extra service names
// for the catalogue-helper tests.
#include "pgtest.h"

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

#include "lib/syspath.h"
#include "support/files.h"

namespace pgtest {

AdminSession::AdminSession(const char *dbname) {
  // The helper's search path, so both sessions resolve names alike.
  std::string conninfo = std::string("service=localhost dbname=") + (dbname ? dbname : catalogueDbName()) +
                         " options='-c search_path=vx,public'";
  conn_ = PQconnectdb(conninfo.c_str());
}

AdminSession::~AdminSession() { PQfinish(conn_); }

bool AdminSession::ok() const { return conn_ && PQstatus(conn_) == CONNECTION_OK; }

bool AdminSession::run(const std::string &sql, std::vector<std::string> *rows) {
  PGresult *res = PQexec(conn_, sql.c_str());
  ExecStatusType st = PQresultStatus(res);
  bool good = st == PGRES_COMMAND_OK || st == PGRES_TUPLES_OK;
  error_ = good ? "" : PQresultErrorMessage(res);
  if (good && rows && st == PGRES_TUPLES_OK) {
    for (int i = 0; i < PQntuples(res); i++)
      rows->push_back(PQgetisnull(res, i, 0) ? "<null>" : PQgetvalue(res, i, 0));
  }
  PQclear(res);
  return good;
}

std::string AdminSession::value(const std::string &sql) {
  std::vector<std::string> rows;
  if (!run(sql, &rows) || rows.size() != 1) return "";
  return rows[0];
}

bool AdminSession::terminate(int pid) {
  std::string p = std::to_string(pid);
  if (value("SELECT pg_terminate_backend(" + p + ")") != "t") return false;
  // The backend leaves pg_stat_activity once it has exited; bounded wait.
  for (int i = 0; i < 1000; i++) {
    if (value("SELECT count(*) FROM pg_stat_activity WHERE pid = " + p) == "0") return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

ExtraServices::ExtraServices(const std::vector<std::string> &names) {
  const char *old = getenv("PGSERVICEFILE");
  if (!old) return;
  // Collect the body of the [localhost] section.
  std::istringstream in(rpd::test::readFile(old));
  std::string line, body;
  bool inLocal = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == '[') {
      inLocal = line == "[localhost]";
      continue;
    }
    if (inLocal && !line.empty() && line[0] != '#') body += line + "\n";
  }
  if (body.empty()) return;
  std::string text = "[localhost]\n" + body;
  for (const auto &n : names) text += "[" + n + "]\n" + body;
  box_.setEnv("PGSERVICEFILE", box_.write("pg_service.conf", text));
  ok_ = true;
}

}  // namespace pgtest
