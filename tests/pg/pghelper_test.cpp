// pghelper_test.cpp: the catalogue helper against the real catalogue server:
// statement cache, conversions, null comparisons, getters, savepoints,
// forked children, slot exhaustion, broken sessions and a lost database.
#include "lib/pghelper.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cfloat>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/syspath.h"
#include "pgtest.h"
#include "support/catalogue.h"
#include "support/log_capture.h"

namespace {

using pgtest::AdminSession;
using rpd::test::LogCapture;

class PgHelper : public ::testing::Test {
 protected:
  void TearDown() override { pgCloseAll(); }

  // The first column of every row of `result` (NULL as "<null>").
  static std::vector<std::string> column(pgResult *result, const char *name) {
    std::vector<std::string> out;
    for (long i = 0; i < pgTuples(result); i++)
      out.push_back(pgIsNull(result, static_cast<int>(i), name) == 1 ? "<null>"
                                                                      : pgSVal(result, static_cast<int>(i), name));
    return out;
  }

  // name -> statement of the current session's prepared statements.
  static std::vector<std::string> preparedStatements() {
    PgResultPtr r(pgExec("SELECT name || ' ' || statement AS s FROM pg_prepared_statements ORDER BY name"));
    return r ? column(r.get(), "s") : std::vector<std::string>{"<query failed>"};
  }

  static int backendPid() {
    PgResultPtr r(pgQuery("SELECT pg_backend_pid() AS pid"));
    return r ? static_cast<int>(pgLVal(r.get(), 0, "pid")) : -1;
  }

  rpd::test::ScopedTestDatabase db_;
};

TEST_F(PgHelper, SameFormatReusesItsStatementAndNewFormatsTakeTheNextIndex) {
  LogCapture log(5);
  PgResultPtr a(pgQuery("SELECT %d::int AS v", 1));
  PgResultPtr b(pgQuery("SELECT %d::int AS v", 2));
  PgResultPtr c(pgQuery("SELECT %s::text AS t", "x"));
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(pgLVal(a.get(), 0, "v"), 1);
  EXPECT_EQ(pgLVal(b.get(), 0, "v"), 2);
  EXPECT_STREQ(pgSVal(c.get(), 0, "t"), "x");
  EXPECT_EQ(preparedStatements(),
            (std::vector<std::string>{"0 SELECT $1::int AS v", "1 SELECT $1::text AS t"}));
  EXPECT_TRUE(log.contains("Query parsed and stored successfully, index '1'"));
  EXPECT_FALSE(log.contains("index '2'"));

  // A new session starts with an empty cache: numbering starts again.
  pgCloseAll();
  PgResultPtr d(pgQuery("SELECT %s::text AS t", "y"));
  ASSERT_TRUE(d);
  EXPECT_EQ(preparedStatements(), (std::vector<std::string>{"0 SELECT $1::text AS t"}));
}

TEST_F(PgHelper, EveryConversionSendsItsTextAsAParameter) {
  PgResultPtr r(pgQuery(
      "SELECT %s::text AS s, %c::text AS c, %hd::text AS hd, %hu::text AS hu, %d::text AS d,"
      " %u::text AS u, %ld::text AS ld, %lu::text AS lu, %f::text AS f, %lf::text AS lf,"
      " %g::text AS g, %lld::text AS lld, %llu::text AS llu, '100%%' AS pct %z,"
      " %nd::text AS nnull, %nd::text AS nval, %ns::text AS snull, %s::text AS nullptr_s",
      "it's; \"quoted\" \\", 'Q', 70000, -1, INT_MIN, UINT_MAX, LONG_MIN, ULONG_MAX, 16777217.0,
      16777217.0, 0.5, LLONG_MIN, ULLONG_MAX, 12345, 1, 99, 0, 42, 1, "ignored",
      static_cast<const char *>(nullptr)));
  ASSERT_TRUE(r);
  EXPECT_STREQ(pgSVal(r.get(), 0, "s"), "it's; \"quoted\" \\");
  EXPECT_STREQ(pgSVal(r.get(), 0, "c"), "Q");
  EXPECT_STREQ(pgSVal(r.get(), 0, "hd"), "4464");  // 70000 as a short
  EXPECT_STREQ(pgSVal(r.get(), 0, "hu"), "65535");
  EXPECT_STREQ(pgSVal(r.get(), 0, "d"), "-2147483648");
  EXPECT_STREQ(pgSVal(r.get(), 0, "u"), "4294967295");
  EXPECT_STREQ(pgSVal(r.get(), 0, "ld"), "-9223372036854775808");
  EXPECT_STREQ(pgSVal(r.get(), 0, "lu"), "18446744073709551615");
  EXPECT_STREQ(pgSVal(r.get(), 0, "f"), "16777216.000000");  // through single precision
  EXPECT_STREQ(pgSVal(r.get(), 0, "lf"), "16777217.000000");
  EXPECT_STREQ(pgSVal(r.get(), 0, "g"), "0.500000");
  EXPECT_STREQ(pgSVal(r.get(), 0, "lld"), "-9223372036854775808");
  EXPECT_STREQ(pgSVal(r.get(), 0, "llu"), "18446744073709551615");
  EXPECT_STREQ(pgSVal(r.get(), 0, "pct"), "100%");
  EXPECT_EQ(pgIsNull(r.get(), 0, "nnull"), 1);
  EXPECT_STREQ(pgSVal(r.get(), 0, "nval"), "42");
  EXPECT_EQ(pgIsNull(r.get(), 0, "snull"), 1);
  EXPECT_EQ(pgIsNull(r.get(), 0, "nullptr_s"), 1);
  EXPECT_EQ(pgResultError(r.get()), 0);

  // %z and the literal percent leave no placeholder; numbering runs on.
  std::vector<std::string> prepared = preparedStatements();
  ASSERT_EQ(prepared.size(), 1u);
  EXPECT_NE(prepared[0].find("$13::text AS llu, '100%' AS pct , $14::text AS nnull"), std::string::npos)
      << prepared[0];
  EXPECT_NE(prepared[0].find("$17::text AS nullptr_s"), std::string::npos) << prepared[0];

  // Long texts go through whole, not cut at the scratch size.
  std::string big(5000, 'b');
  PgResultPtr l(pgQuery("SELECT length(%s::text) AS n, %s::text AS t", big.c_str(), big.c_str()));
  ASSERT_TRUE(l);
  EXPECT_EQ(pgLVal(l.get(), 0, "n"), 5000);
  EXPECT_EQ(std::string(pgSVal(l.get(), 0, "t")), big);
}

TEST_F(PgHelper, NullFlagsTurnEqualityIntoIsNull) {
  LogCapture log(5);
  PgResultPtr setup(pgExec(
      "CREATE TABLE pgh_null (id int, v int, w float8);"
      "INSERT INTO pgh_null VALUES (1, NULL, NULL), (2, 5, 2.5)"));
  ASSERT_TRUE(setup);
  auto ids = [](pgResult *r) {
    std::vector<std::string> out;
    for (long i = 0; i < pgTuples(r); i++) out.push_back(pgSVal(r, static_cast<int>(i), "id"));
    return out;
  };
  using V = std::vector<std::string>;
  PgResultPtr eqNull(pgQuery("SELECT id FROM pgh_null WHERE v = %nd ORDER BY id", 1, 0));
  PgResultPtr eqVal(pgQuery("SELECT id FROM pgh_null WHERE v = %nd ORDER BY id", 0, 5));
  PgResultPtr neNull(pgQuery("SELECT id FROM pgh_null WHERE v != \t%nd ORDER BY id", 1, 0));
  PgResultPtr neVal(pgQuery("SELECT id FROM pgh_null WHERE v != %nd ORDER BY id", 0, 5));
  PgResultPtr tight(pgQuery("SELECT id FROM pgh_null WHERE v=%nd ORDER BY id", 1, 0));
  // Only equality is rewritten: ">=" keeps its parameter, which is NULL.
  PgResultPtr ge(pgQuery("SELECT id FROM pgh_null WHERE v >= %nd ORDER BY id", 1, 0));
  // A skipped floating-point value must not shift the arguments after it.
  PgResultPtr dbl(pgQuery("SELECT id FROM pgh_null WHERE w = %nlf AND id < %d AND %s = 'k' ORDER BY id",
                          1, 2.5, 10, "k"));
  ASSERT_TRUE(eqNull && eqVal && neNull && neVal && tight && ge && dbl);
  EXPECT_EQ(ids(eqNull.get()), V{"1"});
  EXPECT_EQ(ids(eqVal.get()), V{"2"});
  EXPECT_EQ(ids(neNull.get()), V{"2"});
  EXPECT_EQ(ids(neVal.get()), V{});
  EXPECT_EQ(ids(tight.get()), V{"1"});
  EXPECT_EQ(ids(ge.get()), V{});
  EXPECT_EQ(ids(dbl.get()), V{"1"});

  // The null and non-null forms are distinct statements, while
  // "v=%nd" with a null flag rewrites to the same statement as "v = %nd".
  std::vector<std::string> prepared = preparedStatements();
  ASSERT_EQ(prepared.size(), 6u);
  EXPECT_EQ(prepared[0], "0 SELECT id FROM pgh_null WHERE v IS NULL  ORDER BY id");
  EXPECT_EQ(prepared[1], "1 SELECT id FROM pgh_null WHERE v = $1 ORDER BY id");
  EXPECT_EQ(prepared[2], "2 SELECT id FROM pgh_null WHERE v IS NOT NULL  ORDER BY id");
  EXPECT_EQ(prepared[4], "4 SELECT id FROM pgh_null WHERE v >= $1 ORDER BY id");
  EXPECT_EQ(prepared[5], "5 SELECT id FROM pgh_null WHERE w IS NULL  AND id < $1 AND $2 = 'k' ORDER BY id");
  EXPECT_TRUE(log.contains("Output format string: SELECT id FROM pgh_null WHERE v IS NULL %z%z ORDER BY id"));
}

TEST_F(PgHelper, UnknownConversionsAreRefusedAndNamed) {
  LogCapture log(0);
  EXPECT_EQ(pgQuery("SELECT %x AS v", 1), nullptr);
  EXPECT_TRUE(log.contains("Invalid format code: %x"));
  EXPECT_TRUE(log.contains("No modifier for format code"));
  EXPECT_TRUE(log.contains("Call to prepareQuery failed"));
  log.mark();
  EXPECT_EQ(pgQuery("SELECT %lx AS v", 1L), nullptr);
  EXPECT_TRUE(log.contains("Invalid format code: %x"));
  EXPECT_TRUE(log.contains("Modifier was: l"));
  log.mark();
  EXPECT_EQ(pgQuery("SELECT %5d AS v", 1), nullptr);  // no widths
  EXPECT_TRUE(log.contains("Invalid format code: %5"));
  EXPECT_EQ(pgQuery(""), nullptr);
  EXPECT_EQ(pgQuery(nullptr), nullptr);
  EXPECT_TRUE(log.contains("Null format string"));

  // Nothing was prepared, and the session is still fine.
  EXPECT_EQ(preparedStatements(), std::vector<std::string>{});
  PgResultPtr ok(pgQuery("SELECT %d AS v", 7));
  ASSERT_TRUE(ok);
  EXPECT_EQ(pgLVal(ok.get(), 0, "v"), 7);
}

TEST_F(PgHelper, ServerErrorsFailTheCallAndLogTheStatement) {
  LogCapture log(0);
  EXPECT_EQ(pgQuery("SELEC %d AS v", 1), nullptr);
  EXPECT_TRUE(log.contains("Postgres error: ERROR:  syntax error"));
  log.mark();
  EXPECT_EQ(pgQuery("SELECT 1 / %d AS v", 0), nullptr);
  EXPECT_TRUE(log.contains("Execution of statement with index 0 failed: ERROR:  division by zero."));
  EXPECT_TRUE(log.contains("Query string was: SELECT 1 / %d AS v"));
  EXPECT_TRUE(log.contains("Query parameters [1]: $1: \"0\""));
  log.mark();
  EXPECT_EQ(pgExec("SELECT nonsense FROM nowhere"), nullptr);
  EXPECT_TRUE(log.contains("Execution of statement failed: ERROR:  relation \"nowhere\" does not exist"));
  EXPECT_TRUE(log.contains("executeTextQuery returned null result"));

  // The same statement still runs with a good value.
  PgResultPtr r(pgQuery("SELECT 10 / %d AS v", 5));
  ASSERT_TRUE(r);
  EXPECT_EQ(pgLVal(r.get(), 0, "v"), 2);
}

TEST_F(PgHelper, GettersConvertOrMarkTheResult) {
  LogCapture log(0);
  const char *sql =
      "SELECT 't'::text AS tb, 'f'::text AS fb, 'x'::text AS xb, '12ab'::text AS la, ''::text AS e,"
      " NULL::int AS n, '-42'::text AS neg, '18446744073709551615'::text AS big,"
      " '99999999999999999999'::text AS over, '2.5e3'::text AS dbl, 'abc'::text AS word";
  auto fresh = [&] { return PgResultPtr(pgExec(sql)); };

  PgResultPtr good = fresh();
  ASSERT_TRUE(good);
  EXPECT_EQ(pgBVal(good.get(), 0, "tb"), 1);
  EXPECT_EQ(pgBVal(good.get(), 0, "fb"), 0);
  EXPECT_EQ(pgLVal(good.get(), 0, "la"), 12);  // trailing characters are accepted
  EXPECT_EQ(pgLLVal(good.get(), 0, "neg"), -42);
  EXPECT_EQ(pgULVal(good.get(), 0, "big"), ULONG_MAX);
  EXPECT_DOUBLE_EQ(pgDVal(good.get(), 0, "dbl"), 2500.0);
  EXPECT_EQ(pgIsNull(good.get(), 0, "n"), 1);
  EXPECT_EQ(pgIsNull(good.get(), 0, "tb"), 0);
  char *dup = pgSValDup(good.get(), 0, "word");
  ASSERT_NE(dup, nullptr);
  EXPECT_STREQ(dup, "abc");
  free(dup);
  EXPECT_EQ(pgColumnNumber(good.get(), "e"), 4);
  EXPECT_EQ(pgColumnNumber(good.get(), "missing"), -1);
  EXPECT_EQ(pgTuples(good.get()), 1);
  EXPECT_EQ(pgResultError(good.get()), 0);
  EXPECT_TRUE(log.text().empty()) << log.text();

  PgResultPtr bad = fresh();
  EXPECT_EQ(pgBVal(bad.get(), 0, "xb"), 0);
  EXPECT_EQ(pgResultError(bad.get()), -1);
  EXPECT_TRUE(log.contains("Could not retrieve value for row 0, col xb: invalid value(x) in result"));

  // Empty and NULL values give 0 and mark the result without a message.
  log.mark();
  PgResultPtr empty = fresh();
  EXPECT_EQ(pgLVal(empty.get(), 0, "e"), 0);
  EXPECT_EQ(pgResultError(empty.get()), -1);
  PgResultPtr null = fresh();
  EXPECT_EQ(pgLVal(null.get(), 0, "n"), 0);
  EXPECT_EQ(pgResultError(null.get()), -1);
  EXPECT_TRUE(log.text().empty()) << log.text();

  PgResultPtr word = fresh();
  EXPECT_EQ(pgLVal(word.get(), 0, "word"), 0);
  EXPECT_EQ(pgResultError(word.get()), -1);
  EXPECT_TRUE(log.contains("Could not retrieve value for row 0, col word: strtol(abc) failed with errno 0"));
  PgResultPtr over = fresh();
  EXPECT_EQ(pgLVal(over.get(), 0, "over"), 0);
  EXPECT_EQ(pgResultError(over.get()), -1);
  EXPECT_TRUE(log.contains("strtol(99999999999999999999) failed with errno 34"));

  log.mark();
  PgResultPtr missing = fresh();
  EXPECT_EQ(pgSVal(missing.get(), 0, "nope"), nullptr);
  EXPECT_EQ(pgResultError(missing.get()), -1);
  EXPECT_TRUE(log.contains("Invalid column name: 'nope'"));
  EXPECT_TRUE(log.contains("Could not retrieve value for row 0, col nope: getTextValue() failed"));
  PgResultPtr row = fresh();
  EXPECT_EQ(pgDVal(row.get(), 1, "dbl"), 0.0);
  EXPECT_EQ(pgIsNull(row.get(), 1, "dbl"), -1);
  EXPECT_EQ(pgResultError(row.get()), -1);

  EXPECT_EQ(pgSVal(nullptr, 0, "x"), nullptr);
  EXPECT_EQ(pgTuples(nullptr), 0);
  EXPECT_EQ(pgStatus(nullptr), -1);
  EXPECT_TRUE(log.contains("Cannot return tuple count for null query result!"));

  PgResultPtr made(pgExec("CREATE TABLE pgh_rows AS SELECT generate_series(1, 3) AS i"));
  PgResultPtr upd(pgQuery("UPDATE pgh_rows SET i = i + %d WHERE i > %d", 10, 1));
  ASSERT_TRUE(made && upd);
  EXPECT_EQ(pgAffectedRows(upd.get()), 2);
  EXPECT_EQ(pgStatus(upd.get()), 0);
}

TEST_F(PgHelper, SavepointStackCommitsAndRollsBackByLevel) {
  LogCapture log(0);
  AdminSession admin;
  ASSERT_TRUE(admin.ok());
  ASSERT_TRUE(admin.run("CREATE TABLE pgh_sp (i int)")) << admin.error();
  auto insert = [](int i) { PgResultPtr r(pgQuery("INSERT INTO pgh_sp VALUES (%d)", i)); return bool(r); };
  auto committed = [&] {
    std::vector<std::string> rows;
    admin.run("SELECT string_agg(i::text, ',' ORDER BY i) FROM pgh_sp", &rows);
    return rows.empty() ? std::string("?") : rows[0];
  };

  EXPECT_EQ(pgPopTransaction(1, 0), 0);  // nothing open: nothing to do
  int outer = 0, second = 0, third = 0;
  ASSERT_EQ(pgPushTransaction(&outer), 0);
  EXPECT_EQ(outer, 1);
  EXPECT_EQ(pgInTransaction(), 1);
  ASSERT_TRUE(insert(1));
  ASSERT_EQ(pgPushTransaction(&second), 0);
  EXPECT_EQ(second, 2);
  ASSERT_TRUE(insert(2));
  ASSERT_EQ(pgPushTransaction(&third), 0);
  EXPECT_EQ(third, 3);
  ASSERT_TRUE(insert(3));
  EXPECT_EQ(pgPopTransaction(0, 3), 0);  // roll back to and release 3
  EXPECT_EQ(pgPopTransaction(1, 4), -1);
  EXPECT_TRUE(log.contains("Invalid savepoint identifier \"4\""));
  EXPECT_EQ(pgPopTransaction(1, 2), 0);  // release 2: row 2 stays
  int again = 0;
  ASSERT_EQ(pgPushTransaction(&again), 0);
  EXPECT_EQ(again, 2);
  ASSERT_TRUE(insert(4));
  EXPECT_EQ(pgPopTransaction(0, 0), 0);  // innermost: rolls back row 4
  EXPECT_EQ(committed(), "<null>");      // nothing visible outside yet
  EXPECT_EQ(pgPopTransaction(1, outer), 0);
  EXPECT_EQ(pgInTransaction(), 0);
  EXPECT_EQ(committed(), "1,2");

  // Rolling back the outermost level discards every savepoint inside it.
  ASSERT_EQ(pgPushTransaction(&outer), 0);
  ASSERT_TRUE(insert(5));
  ASSERT_EQ(pgPushTransaction(&second), 0);
  ASSERT_TRUE(insert(6));
  EXPECT_EQ(pgPopTransaction(0, 1), 0);
  EXPECT_EQ(pgInTransaction(), 0);
  EXPECT_EQ(committed(), "1,2");

  // A commit that the server turned into a rollback is a failure.
  ASSERT_EQ(pgBegin(), 0);
  ASSERT_TRUE(insert(7));
  EXPECT_EQ(pgQuery("INSERT INTO pgh_sp VALUES (%s)", "not a number"), nullptr);
  EXPECT_EQ(pgCommit(), -1);
  EXPECT_TRUE(log.contains("Failed to commit transaction; rollback performed"));
  EXPECT_EQ(pgInTransaction(), 0);
  EXPECT_EQ(committed(), "1,2");

  ASSERT_EQ(pgBegin(), 0);
  ASSERT_TRUE(insert(8));
  EXPECT_EQ(pgCommit(), 0);
  EXPECT_EQ(committed(), "1,2,8");
}

TEST_F(PgHelper, ForkedChildOpensItsOwnSessionAndLeavesTheParentsAlone) {
  AdminSession admin;
  ASSERT_TRUE(admin.ok());
  ASSERT_TRUE(admin.run("CREATE TABLE pgh_fork (i int)")) << admin.error();
  ASSERT_EQ(pgBegin(), 0);
  PgResultPtr ins(pgQuery("INSERT INTO pgh_fork VALUES (%d)", 1));
  ASSERT_TRUE(ins);
  int parentPid = backendPid();
  ASSERT_GT(parentPid, 0);

  // Child 1 works in the catalogue; child 2 only closes what it inherited.
  // Exit codes tell the parent what each child saw.
  for (int mode = 0; mode < 2; mode++) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (mode == 1) {
        pgCloseAll();
        _exit(0);
      }
      int pid = backendPid();
      if (pid <= 0) _exit(10);
      if (pid == parentPid) _exit(11);
      if (pgInTransaction()) _exit(12);
      PgResultPtr seen(pgQuery("SELECT count(*) AS n FROM pgh_fork"));
      if (!seen || pgLVal(seen.get(), 0, "n") != 0) _exit(13);  // parent's row is uncommitted
      PgResultPtr own(pgQuery("INSERT INTO pgh_fork VALUES (%d)", 2));
      if (!own) _exit(14);
      pgCloseAll();
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "child mode " << mode;
  }

  // Same backend, same transaction: the uncommitted row is still there.
  EXPECT_EQ(backendPid(), parentPid);
  EXPECT_EQ(pgInTransaction(), 1);
  PgResultPtr mine(pgQuery("SELECT string_agg(i::text, ',' ORDER BY i) AS s FROM pgh_fork"));
  ASSERT_TRUE(mine);
  EXPECT_STREQ(pgSVal(mine.get(), 0, "s"), "1,2");
  EXPECT_EQ(pgCommit(), 0);
  EXPECT_EQ(admin.value("SELECT count(*) FROM pgh_fork"), "2");
}

TEST_F(PgHelper, ThirtySlotsInTransactionsLeaveNoRoomUntilOneEnds) {
  std::vector<std::string> names;
  for (int i = 0; i <= PG_RESOURCE_SLOTS; i++) names.push_back("slot" + std::to_string(i));
  pgtest::ExtraServices services(names);
  ASSERT_TRUE(services.ok());
  LogCapture log(4);

  for (int i = 0; i < PG_RESOURCE_SLOTS; i++) {
    ASSERT_EQ(pgOpen(names[i].c_str(), 1), 0) << names[i];
    ASSERT_EQ(pgBegin(), 0);
  }
  log.mark();
  EXPECT_EQ(pgOpen(names[PG_RESOURCE_SLOTS].c_str(), 1), -1);
  EXPECT_TRUE(log.contains("No connection resource slots available"));

  // Reopening a known service finds its slot; once its transaction ends
  // it is the one evicted for the newcomer.
  ASSERT_EQ(pgOpen("slot7", 1), 0);
  EXPECT_EQ(pgInTransaction(), 1);
  ASSERT_EQ(pgRollback(), 0);
  log.mark();
  ASSERT_EQ(pgOpen(names[PG_RESOURCE_SLOTS].c_str(), 1), 0);
  EXPECT_TRUE(log.contains("Closing old connection resource to slot7"));
  PgResultPtr r(pgQuery("SELECT %d AS v", 30));
  ASSERT_TRUE(r);
  EXPECT_EQ(pgLVal(r.get(), 0, "v"), 30);

  // Later connections default to the last service used: make that one
  // that outlives this test's service file.
  pgCloseAll();
  EXPECT_EQ(pgOpen("localhost", 1), 0);
}

TEST_F(PgHelper, BrokenSessionInsideATransactionIsNotReplacedUntilRollback) {
  LogCapture log(0);
  AdminSession admin;
  ASSERT_TRUE(admin.ok());
  ASSERT_TRUE(admin.run("CREATE TABLE pgh_broken (i int)")) << admin.error();
  ASSERT_EQ(pgBegin(), 0);
  PgResultPtr ins(pgQuery("INSERT INTO pgh_broken VALUES (%d)", 1));
  ASSERT_TRUE(ins);
  int pid = backendPid();
  ASSERT_TRUE(admin.terminate(pid));

  EXPECT_EQ(pgQuery("SELECT %d AS v", 1), nullptr);  // the dead session fails
  log.mark();
  EXPECT_EQ(pgQuery("SELECT %d AS v", 2), nullptr);
  EXPECT_EQ(pgExec("SELECT 3"), nullptr);
  int id = 0;
  EXPECT_EQ(pgPushTransaction(&id), -1);
  EXPECT_TRUE(log.contains("Connection bad; reset not attempted from within a transaction block"));
  EXPECT_FALSE(log.contains("connected to:"));
  EXPECT_EQ(pgInTransaction(), 1);

  EXPECT_EQ(pgRollback(), -1);
  EXPECT_TRUE(log.contains("Resetting savepoint count to 0"));
  EXPECT_EQ(pgInTransaction(), 0);
  int newPid = backendPid();
  EXPECT_GT(newPid, 0);
  EXPECT_NE(newPid, pid);
  EXPECT_EQ(admin.value("SELECT count(*) FROM pgh_broken"), "0");
}

// A session just verified is not probed again for a while; one the server
// ended in that time is still replaced before the next statement, which
// then runs.
TEST_F(PgHelper, SessionEndedOutsideATransactionIsReplacedBeforeTheNextStatement) {
  AdminSession admin;
  ASSERT_TRUE(admin.ok());
  int pid = backendPid();
  ASSERT_TRUE(admin.terminate(pid));
  PgResultPtr r(pgQuery("SELECT %d AS v", 1));
  ASSERT_TRUE(r);
  EXPECT_EQ(pgLVal(r.get(), 0, "v"), 1);
  EXPECT_NE(backendPid(), pid);
}

TEST_F(PgHelper, LostDatabaseFailsCallsAndTheFirstCallAfterItsReturnWorks) {
  LogCapture log(0);
  // A database cannot shut its own door: act from the maintenance database.
  AdminSession admin("postgres");
  ASSERT_TRUE(admin.ok());
  int pid = backendPid();
  ASSERT_GT(pid, 0);
  std::string db = catalogueDbName();
  ASSERT_TRUE(admin.run("ALTER DATABASE \"" + db + "\" ALLOW_CONNECTIONS false")) << admin.error();
  bool terminated = admin.terminate(pid);
  EXPECT_TRUE(terminated);

  EXPECT_EQ(pgQuery("SELECT %d AS v", 1), nullptr);
  EXPECT_EQ(pgQuery("SELECT %d AS v", 2), nullptr);
  EXPECT_TRUE(log.contains("Tried connecting 2 times"));
  EXPECT_TRUE(log.contains("pgOpen failed, cannot open connection"));
  EXPECT_EQ(pgBegin(), -1);

  ASSERT_TRUE(admin.run("ALTER DATABASE \"" + db + "\" ALLOW_CONNECTIONS true"));
  PgResultPtr r(pgQuery("SELECT %d AS v", 3));
  ASSERT_TRUE(r);
  EXPECT_EQ(pgLVal(r.get(), 0, "v"), 3);
  EXPECT_NE(backendPid(), pid);
}

TEST_F(PgHelper, EscapingAndColumnCacheAndSignalMask) {
  LogCapture log(5);
  char *escaped = nullptr;
  ASSERT_EQ(pgAEscape(&escaped, "O'Brien \\ x"), 0);
  PgResultPtr r(pgVExec("SELECT '%s'::text AS n", escaped));
  free(escaped);
  ASSERT_TRUE(r);
  EXPECT_STREQ(pgSVal(r.get(), 0, "n"), "O'Brien \\ x");
  char buf[32];
  ASSERT_EQ(pgEscape(buf, "a'b"), 0);
  EXPECT_STREQ(buf, "a''b");
  EXPECT_EQ(pgAEscape(nullptr, "x"), -1);

  // The cache belongs to the current session; updates replace, and the
  // seventeenth pair has no room.
  EXPECT_EQ(pgCECget("backups", "sync_status"), -1);
  pgCECset("backups", "sync_status", 1);
  pgCECset("backups", "sync", 0);
  EXPECT_EQ(pgCECget("backups", "sync_status"), 1);
  EXPECT_EQ(pgCECget("backups", "sync"), 0);
  EXPECT_EQ(pgCECget("backup", "sync"), -1);
  pgCECset("backups", "sync", 1);
  EXPECT_EQ(pgCECget("backups", "sync"), 1);
  for (int i = 2; i < PG_CEC_ENTRIES; i++) pgCECset("t", ("c" + std::to_string(i)).c_str(), i);
  EXPECT_FALSE(log.contains("CEC table overflow"));
  pgCECset("t", "extra", 1);
  EXPECT_TRUE(log.contains("CEC table overflow"));
  EXPECT_EQ(pgCECget("t", "extra"), -1);
  EXPECT_EQ(pgCECget("t", "c15"), 15);

  // Calls restore the caller's mask exactly, on success and failure paths.
  sigset_t before, after;
  sigemptyset(&before);
  sigaddset(&before, SIGUSR2);
  ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &before, nullptr), 0);
  pgClear(pgQuery("SELECT %d AS v", 1));
  pgClear(pgQuery("SELECT %x"));
  pgClear(pgExec("SELECT broken syntax("));
  int id = 0;
  pgPushTransaction(&id);
  pgPopTransaction(0, id);
  ASSERT_EQ(pthread_sigmask(SIG_SETMASK, nullptr, &after), 0);
  EXPECT_EQ(sigismember(&after, SIGUSR2), 1);
  EXPECT_EQ(sigismember(&after, SIGTERM), 0);
  EXPECT_EQ(sigismember(&after, SIGCHLD), 0);
  sigemptyset(&before);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace
