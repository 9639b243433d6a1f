// support_test.cpp: the shared test support itself: catalogue clones are
// private, point the process at themselves and vanish; sandboxes set and
// restore the environment and remove their tree.
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <sys/stat.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "catalogue.h"
#include "lib/syspath.h"
#include "sandbox.h"

namespace rpd::test {
namespace {

std::optional<std::string> env(const char *name) {
  const char *v = getenv(name);
  return v ? std::optional<std::string>(v) : std::nullopt;
}

bool databaseExists(ScopedTestDatabase &probe, const std::string &name) {
  return probe.number("SELECT count(*) FROM pg_database WHERE datname = '" + name + "'") == 1;
}

TEST(ScopedTestDatabase, ClonesArePrivateAndDroppedAndRestoreTheCatalogueName) {
  const auto before = env("RPD_CATALOGUE_DB");
  ScopedTestDatabase probe;  // also the observer of the others
  std::string outerName, innerName;
  {
    ScopedTestDatabase outer;
    outerName = outer.name();
    EXPECT_EQ(std::string(catalogueDbName()), outerName);
    outer.exec("INSERT INTO vx.nodes (node_name) VALUES ('only-in-outer')");
    {
      ScopedTestDatabase inner;
      innerName = inner.name();
      EXPECT_NE(innerName, outerName);
      EXPECT_EQ(std::string(catalogueDbName()), innerName);
      EXPECT_EQ(inner.number("SELECT count(*) FROM vx.nodes WHERE node_name = 'only-in-outer'"), 0);
      // The clone carries the schema and the shipped rows, and its own
      // connection uses the catalogue's search path.
      EXPECT_EQ(inner.value("SELECT type FROM application_lookup WHERE app_id = 1"), "File Level");
      EXPECT_EQ(inner.value("SELECT NULL"), "<null>");
      EXPECT_EQ(inner.value("SELECT 1 WHERE false"), "");
      EXPECT_FALSE(inner.tryExec("SELECT * FROM no_such_table").ok());
      // Connections of the code under test reach the clone by its name.
      PGconn *c = PQconnectdb(("service=localhost dbname=" + std::string(catalogueDbName())).c_str());
      ASSERT_EQ(PQstatus(c), CONNECTION_OK) << PQerrorMessage(c);
      PQfinish(c);
    }
    EXPECT_EQ(std::string(catalogueDbName()), outerName);
    EXPECT_FALSE(databaseExists(probe, innerName));
    EXPECT_EQ(outer.number("SELECT count(*) FROM vx.nodes WHERE node_name = 'only-in-outer'"), 1);
  }
  EXPECT_FALSE(databaseExists(probe, outerName));
  EXPECT_EQ(std::string(catalogueDbName()), probe.name());
  (void)before;
}

TEST(ScopedTestDatabase, OpenConnectionsDoNotKeepTheCloneAlive) {
  std::string name;
  ScopedTestDatabase probe;
  {
    ScopedTestDatabase db;
    name = db.name();
    // A connection left open by someone else (a forked worker, say).
    PGconn *c = PQconnectdb(db.conninfo().c_str());
    ASSERT_EQ(PQstatus(c), CONNECTION_OK);
    db.exec("SELECT 1");
    // Dropped with FORCE: the session is ended, not waited for.
    struct Closer {
      PGconn *c;
      ~Closer() { PQfinish(c); }
    } closer{c};
    (void)closer;
  }
  EXPECT_FALSE(databaseExists(probe, name));
}

TEST(Sandbox, SetsAndRestoresEnvironmentAndRemovesItsTree) {
  setenv("RPD_SYSROOT", "/previous/root", 1);
  unsetenv("RPD_TEST_SUPPORT_VAR");
  std::string root;
  {
    Sandbox box("rpd-support");
    root = box.root();
    EXPECT_EQ(env("RPD_SYSROOT"), root);
    EXPECT_EQ(sysPath("/etc/default/vx.ini"), root + "/etc/default/vx.ini");
    EXPECT_EQ(box.path("/etc/default/vx.ini"), root + "/etc/default/vx.ini");
    EXPECT_EQ(box.path("var/run"), root + "/var/run");

    std::string f = box.write("etc/default/vx.ini", "[Configuration]\nVXDIR=/x\n");
    EXPECT_EQ(f, root + "/etc/default/vx.ini");
    EXPECT_EQ(box.read("/etc/default/vx.ini"), "[Configuration]\nVXDIR=/x\n");
    EXPECT_EQ(box.read("missing"), "");
    struct stat st;
    EXPECT_EQ(stat(box.mkdirs("backups/SIS").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    box.setEnv("RPD_TEST_SUPPORT_VAR", "one");
    box.setEnv("RPD_TEST_SUPPORT_VAR", "two");
    EXPECT_EQ(env("RPD_TEST_SUPPORT_VAR"), "two");
  }
  struct stat st;
  EXPECT_NE(stat(root.c_str(), &st), 0);
  EXPECT_EQ(env("RPD_SYSROOT"), "/previous/root");
  EXPECT_EQ(env("RPD_TEST_SUPPORT_VAR"), std::nullopt);
  unsetenv("RPD_SYSROOT");
}

}  // namespace
}  // namespace rpd::test
