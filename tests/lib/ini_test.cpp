// ini_test.cpp: the INI readers and writer against real files.
#include "lib/ini.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/files.h"
#include "support/sandbox.h"

using rpd::test::readFile;
using rpd::test::Sandbox;
using rpd::test::writeFile;

namespace {

std::string get(const std::string &file, const char *section, const char *key,
                size_t size = 256, int *rc = nullptr) {
  std::vector<char> buf(size);
  int r = iniGetString(section, key, "DEF", buf.data(), size, file.c_str());
  if (rc) *rc = r;
  return buf.data();
}

}  // namespace

TEST(iniRead, NamesSectionsAndDefaults) {
  Sandbox sb;
  std::string f = sb.path("master.ini");
  writeFile(f,
            "; leading comment\n"
            "[Replication]\n"
            "  SyncTo = vault1\n"
            "\n"
            "# comment = not a key\n"
            "TimeDelay=30\n"
            "[other]\n"
            "SyncTo=elsewhere\n"
            "[replication]\n"
            "Late=only in the second one\n"
            "  [ Spaced ]  trailing\n"
            "k=v\n");
  int rc;
  EXPECT_EQ(get(f, "replication", "syncto", 256, &rc), "vault1");
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(get(f, "REPLICATION", "TIMEDELAY"), "30");
  EXPECT_EQ(get(f, "other", "SyncTo"), "elsewhere");
  // Only the first section of a name is searched.
  EXPECT_EQ(get(f, "Replication", "Late", 256, &rc), "DEF");
  EXPECT_EQ(rc, -1);
  EXPECT_STREQ(iniLastError(), "");
  // Comments are not keys.
  EXPECT_EQ(get(f, "Replication", "# comment"), "DEF");
  // The section name runs from "[" to the last "]", blanks included.
  EXPECT_EQ(get(f, " Spaced ", "k"), "v");

  EXPECT_EQ(get(f, "Missing", "k", 256, &rc), "DEF");
  EXPECT_EQ(rc, -1);
  EXPECT_STREQ(iniLastError(), "Section [Missing] not found ");

  std::string none = sb.root() + "/nope.ini";
  EXPECT_EQ(get(none, "Replication", "SyncTo", 256, &rc), "DEF");
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(std::string(iniLastError()), "Error opening " + none + " ");

  // The default is cut to the buffer too.
  char small[3];
  EXPECT_EQ(iniGetString("x", "y", "default", small, sizeof small, none.c_str()), -1);
  EXPECT_STREQ(small, "de");

  // Null section lists the sections, null key the keys of a section.
  char list[256];
  ASSERT_EQ(iniGetString(nullptr, nullptr, "", list, sizeof list, f.c_str()), 0);
  std::vector<std::string> names;
  for (const char *p = list; *p; p += strlen(p) + 1) names.push_back(p);
  EXPECT_EQ(names, (std::vector<std::string>{"Replication", "other", "replication", " Spaced "}));
  ASSERT_EQ(iniGetString("Replication", nullptr, "", list, sizeof list, f.c_str()), 0);
  names.clear();
  for (const char *p = list; *p; p += strlen(p) + 1) names.push_back(p);
  EXPECT_EQ(names, (std::vector<std::string>{"SyncTo", "TimeDelay"}));
}

TEST(iniRead, ValueSyntax) {
  struct Case {
    const char *raw;  // text after "Key="
    const char *expected;
  } cases[] = {
      {"vault.example.com # the target", "vault.example.com"},
      {"\"vault # not a comment\"", "vault # not a comment"},
      {"\"quoted\" tail ; comment", "quoted tail"},
      {"   spaced out   ", "spaced out"},
      {"\"keep trailing  \"   ", "keep trailing  "},
      {"a\\#b\\;c", "a#b;c"},
      {"x\\ny\\tz", "x\ny\tz"},
      {"back\\\\slash", "back\\slash"},
      {"\"say \\\"hi\\\"\"", "say \"hi\""},
      {"'c:\\dir#1;x'", "'c:\\dir#1;x'"},
      {"it's \\t", "it's \\t"},
      {"other\\qescape", "other\\qescape"},
      {"; only a comment", ""},
      {"", ""},
  };
  Sandbox sb;
  std::string f = sb.path("v.ini");
  for (const Case &c : cases) {
    writeFile(f, std::string("[S]\nKey=") + c.raw + "\r\nNext=1\n");
    int rc;
    EXPECT_EQ(get(f, "S", "Key", 256, &rc), c.expected) << "raw: " << c.raw;
    EXPECT_EQ(rc, 0) << "raw: " << c.raw;
  }

  // A tab also ends the key.
  writeFile(f, "[S]\nKey\tvalue here\n");
  EXPECT_EQ(get(f, "S", "key"), "value here");

  // Continuation lines, also when the file ends right after the backslash.
  writeFile(f, "[S]\nKey=first \\\nsecond\nOther=x\n");
  EXPECT_EQ(get(f, "S", "Key"), "first second");
  EXPECT_EQ(get(f, "S", "Other"), "x");
  writeFile(f, "[S]\nKey=last\\");
  EXPECT_EQ(get(f, "S", "Key"), "last");

  // The value is cut at the buffer size minus one.
  writeFile(f, "[S]\nKey=abcdefgh\n");
  EXPECT_EQ(get(f, "S", "Key", 5), "abcd");
}

TEST(iniRead, OverLongLinesAreReadInPieces) {
  Sandbox sb;
  std::string f = sb.path("long.ini");
  std::string longValue(20000, 'a');
  writeFile(f, "[S]\nKey=" + longValue + "\nAfter=ok\n");
  std::string v = get(f, "S", "Key", 30000);
  // The first piece is 16383 bytes: "Key=" and 16379 value characters.
  EXPECT_EQ(v.size(), 16379u);
  EXPECT_EQ(get(f, "S", "After"), "ok");
}

TEST(iniRead, IntegersAndBooleans) {
  Sandbox sb;
  std::string f = sb.path("n.ini");
  writeFile(f,
            "[N]\nplain=42\ntrail=17abc\nletters=abc\nneg= -5\nempty=\n"
            "[B]\nb1=Yes\nb2=0ff\nb3=maybe\nb4=TRUE\nb5=off\nb6=N\nb7=1\nb8=y\nb9=On\n"
            "b10=False\nb11=2\nb12=nothing\n");
  EXPECT_EQ(iniGetInt("N", "plain", 9, f.c_str()), 42);
  EXPECT_EQ(iniGetInt("N", "trail", 9, f.c_str()), 17);
  EXPECT_EQ(iniGetInt("N", "letters", 9, f.c_str()), 0);
  EXPECT_EQ(iniGetInt("N", "neg", 9, f.c_str()), -5);
  EXPECT_EQ(iniGetInt("N", "empty", 9, f.c_str()), 0);
  EXPECT_EQ(iniGetInt("N", "missing", 9, f.c_str()), 9);
  EXPECT_EQ(iniGetInt("Missing", "plain", 9, f.c_str()), 9);

  struct Case {
    const char *key;
    int def;
    int rc;
    int value;
  } cases[] = {
      {"b1", 0, 0, 1},  {"b2", 1, 0, 0},  {"b3", 1, 0, 1},  {"b3", 0, 0, 0},
      {"b4", 0, 0, 1},  {"b5", 1, 0, 0},  {"b6", 1, 0, 0},  {"b7", 0, 0, 1},
      {"b8", 0, 0, 1},  {"b9", 0, 0, 1},  {"b10", 1, 0, 0}, {"b11", 1, 0, 1}, {"b11", 0, 0, 0}, {"b12", 1, 0, 0},
      {"gone", 1, -1, 1}, {"gone", 0, -1, 0},
  };
  for (const Case &c : cases) {
    uint8_t out = 77;
    EXPECT_EQ(iniGetBool("B", c.key, c.def, &out, f.c_str()), c.rc) << c.key;
    EXPECT_EQ(out, c.value) << c.key << " default " << c.def;
  }
}

TEST(iniWrite, RewritesInPlaceAndGrowsWhenNeeded) {
  Sandbox sb;
  std::string f = sb.path("w.ini");
  std::string original = "[A]\n  k=old   # note\n[B]\nx=1\n";
  writeFile(f, original);

  // Equal or shorter values keep the file length, and the comment.
  ASSERT_EQ(iniPutString("a", "K", "new", f.c_str()), 0);
  EXPECT_EQ(readFile(f), "[A]\n  K=new   # note\n[B]\nx=1\n");
  ASSERT_EQ(iniPutString("A", "k", "n", f.c_str()), 0);
  EXPECT_EQ(readFile(f).size(), original.size());
  EXPECT_EQ(get(f, "A", "k"), "n");

  // A longer value moves the rest of the file; the comment follows.
  ASSERT_EQ(iniPutString("A", "k", "longer12", f.c_str()), 0);
  EXPECT_EQ(readFile(f), "[A]\n  k=longer12 # note\n[B]\nx=1\n");
  EXPECT_EQ(get(f, "B", "x"), "1");

  // A comment that leaves no room goes on the next line.
  std::string big(70, 'v');
  ASSERT_EQ(iniPutString("A", "k", big.c_str(), f.c_str()), 0);
  EXPECT_EQ(readFile(f), "[A]\n  k=" + big + "\n# note\n[B]\nx=1\n");
  EXPECT_EQ(get(f, "A", "k"), big);

  // A new key goes at the end of its section, padded to 77 characters.
  ASSERT_EQ(iniPutString("A", "z", "v", f.c_str()), 0);
  EXPECT_EQ(readFile(f),
            "[A]\n  k=" + big + "\n# note\n  z=v" + std::string(72, ' ') + "\n[B]\nx=1\n");
  // And a padded line takes longer values in place later.
  off_t before = rpd::test::fileSize(f);
  ASSERT_EQ(iniPutString("A", "z", "a much longer value than before", f.c_str()), 0);
  EXPECT_EQ(rpd::test::fileSize(f), before);
  EXPECT_EQ(get(f, "A", "z"), "a much longer value than before");

  // A key of the last section is appended at the end of the file.
  ASSERT_EQ(iniPutString("B", "y", "2", f.c_str()), 0);
  std::string text = readFile(f);
  EXPECT_EQ(text.substr(text.size() - 78), "  y=2" + std::string(72, ' ') + "\n");
  EXPECT_EQ(get(f, "B", "y"), "2");
}

TEST(iniWrite, CreatesFilesAndSections) {
  Sandbox sb;
  std::string f = sb.root() + "/new.ini";
  ASSERT_EQ(iniPutString("Location Information", "rpd", "/logs/rpd-0.log", f.c_str()), 0);
  std::string line = "  rpd=/logs/rpd-0.log";
  EXPECT_EQ(readFile(f), "\n[Location Information]\n" + line +
                             std::string(77 - line.size(), ' ') + "\n");
  EXPECT_EQ(get(f, "location information", "RPD"), "/logs/rpd-0.log");

  // A file without a final newline gets one before the new section.
  writeFile(f, "[X]\na=1");
  ASSERT_EQ(iniPutString("Y", "b", "2", f.c_str()), 0);
  EXPECT_EQ(get(f, "X", "a"), "1");
  EXPECT_EQ(get(f, "Y", "b"), "2");
  EXPECT_EQ(readFile(f).substr(0, 12), "[X]\na=1\n\n[Y]");

  // Unwritable location.
  std::string bad = sb.root() + "/no/such/dir/x.ini";
  EXPECT_EQ(iniPutString("S", "k", "v", bad.c_str()), -1);
}
