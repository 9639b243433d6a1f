// metadata_import_fuzz.cpp: a replication metadata document, turned into
// catalogue statements without a catalogue.
//
// Input: one control byte, then the document. The catalogue helper hands
// every statement to a runner here instead of a server; the runner answers
// each SELECT with one row or none as a bit of the control byte chosen by
// the statement's text says (so the fuzzer steers the import through its
// modes), with "1" in every column ("f" in is_* flags), and every other
// statement with success. Values pasted into statement texts come from the
// document, so every text statement must hold whole quoted literals: an
// odd number of quote marks means document text broke out of its literal.
#include <libpq-fe.h>

#include <cctype>
#include <functional>
#include <cstring>
#include <string>
#include <vector>

#include "lib/pghelper.h"
#include "metadata/replication.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

uint8_t g_control;

// Column names of "SELECT a, b AS c, f(x) AS d FROM ...".
std::vector<std::string> selectColumns(const std::string &sql) {
  std::vector<std::string> names;
  size_t from = sql.find(" FROM ");
  std::string list = sql.substr(7, (from == std::string::npos ? sql.size() : from) - 7);
  int depth = 0;
  std::string item;
  auto flush = [&] {
    size_t as = item.rfind(" AS ");
    std::string name = as != std::string::npos ? item.substr(as + 4) : item;
    size_t b = name.find_first_not_of(' '), e = name.find_last_not_of(' ');
    name = b == std::string::npos ? "" : name.substr(b, e - b + 1);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos) name = name.substr(dot + 1);
    names.push_back(name);
    item.clear();
  };
  for (char c : list) {
    if (c == '(') depth++;
    if (c == ')') depth--;
    if (c == ',' && depth == 0)
      flush();
    else
      item += c;
  }
  flush();
  return names;
}

PGresult *answer(void *, const char *sql, int paramCount, const char *const *) {
  std::string text(sql);
  if (paramCount == 0) {
    size_t quotes = 0;
    for (char c : text) quotes += c == '\'';
    FUZZ_CHECK(quotes % 2 == 0);
  }
  if (text.compare(0, 7, "SELECT ") != 0) return PQmakeEmptyPGresult(nullptr, PGRES_COMMAND_OK);
  PGresult *res = PQmakeEmptyPGresult(nullptr, PGRES_TUPLES_OK);
  std::vector<std::string> names = selectColumns(text);
  std::vector<PGresAttDesc> attrs(names.size());
  for (size_t i = 0; i < names.size(); i++) {
    attrs[i] = PGresAttDesc{};
    attrs[i].name = const_cast<char *>(names[i].c_str());
    attrs[i].typid = 25;  // text
    attrs[i].typlen = -1;
  }
  PQsetResultAttrs(res, (int)attrs.size(), attrs.data());
  unsigned bit = std::hash<std::string>{}(text) % 8;
  if (g_control & (1u << bit)) {
    for (size_t i = 0; i < names.size(); i++) {
      const char *v = names[i].compare(0, 3, "is_") == 0 ? "f" : "1";
      PQsetvalue(res, 0, (int)i, const_cast<char *>(v), 1);
    }
  }
  return res;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = false;
  if (!ready) {
    fuzz::quietLog();
    pgSetStatementRunner(answer, nullptr);
    ready = true;
  }
  if (size < 1) return 0;
  g_control = data[0];
  std::string document(reinterpret_cast<const char *>(data + 1), size - 1);
  long backupNo = 0;
  int rc = importReplicationMetadata(document.c_str(), 1, &backupNo, (int)(size & 1));
  FUZZ_CHECK(rc == 0 || rc == -1);
  if (rc == 0) FUZZ_CHECK(backupNo > 0);
  if (rc != 0) FUZZ_CHECK(backupNo == 0 || backupNo == -1);
  // A failed import may leave nothing open.
  FUZZ_CHECK(pgInTransaction() == 0);
  return 0;
}
