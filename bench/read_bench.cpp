// read_bench.cpp: sequential read throughput of backup data through the
// archive filter (plain, gzip, LZ4 and encrypted archives made by mkbackup)
// and through the block reader (readHashedContents, walking a backup's hash
// list with its blocks in the single instance store), each beside a raw tool
// reading the same bytes: cat for the plain archive and the store's files,
// gzip -dc, lz4 -dc and openssl enc -d for the same decoded bytes in each
// tool's own format (compressed or encrypted by that tool first).
//
//   bench_read --dev DIR --key KEYFILE [--size BYTES] [--passes N]
//
// Runs inside the appliance sandbox that bench/run prepares: RPD_SYSROOT,
// VXDIR, VX_MASTER_INI, the catalogue (RPD_CATALOGUE_DB) and a running
// cryptodaemon whose key file is KEYFILE. The data is read warm (the page
// cache holds it) so the figures compare decoding, not the disk; each
// figure is the best of --passes (default 3).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench/support.h"
#include "dedup/hashRead.h"
#include "dedup/hashValues.h"
#include "lib/config.h"
#include "lib/logger.h"
#include "store/SIS.h"
#include "store/archiverw.h"

using namespace bench;

namespace {

struct Options {
  std::string dev, key;
  uint64_t size = 256ULL << 20;
  int passes = 3;
};
Options g_opt;

// Best wall time of `passes` runs of fn (which returns false on failure).
double bestOf(const std::function<bool()> &fn) {
  double best = 1e30;
  for (int i = 0; i < g_opt.passes; i++) {
    double t0 = now();
    if (!fn()) return -1;
    best = std::min(best, now() - t0);
  }
  return best;
}

double bestShell(const std::string &cmd) {
  return bestOf([&] { return shell(cmd) == 0; });
}

// Decoded bytes of an archive through the filter; -1 on failure. With
// copyTo, the bytes are also written there.
int64_t readArchive(const std::string &path, uint64_t properties, const char *copyTo = nullptr) {
  archiveFilter *f = archive_open(path.c_str(), "r", properties);
  if (!f) {
    fprintf(stderr, "bench_read: archive_open %s: %s\n", path.c_str(), strerror(errno));
    return -1;
  }
  static std::vector<uint8_t> buf(1 << 20);
  FILE *out = copyTo ? fopen(copyTo, "wb") : nullptr;
  int64_t total = 0;
  ssize_t n;
  while ((n = archive_read(f, buf.data(), buf.size())) > 0) {
    total += n;
    if (out) fwrite(buf.data(), 1, size_t(n), out);
  }
  archive_close(f);
  if (out) fclose(out);
  return n < 0 ? -1 : total;
}

// Makes one backup with mkbackup; its archive path, "" on failure.
std::string makeBackup(const std::string &extra, uint64_t *backupNo) {
  std::string out;
  std::string cmd = quote(buildProgram("appliance/mkbackup")) + " --dir " + quote(g_opt.dev) + " --size " +
                    std::to_string(g_opt.size) + " " + extra;
  if (shell(cmd, &out) != 0) {
    fprintf(stderr, "bench_read: %s failed\n", cmd.c_str());
    return "";
  }
  *backupNo = strtoull(out.c_str(), nullptr, 10);
  std::string base = g_opt.dev + "/backup_" + std::to_string(*backupNo);
  return access((base + ".gz").c_str(), F_OK) == 0 ? base + ".gz" : base;
}

std::string keyHex() {
  FILE *f = fopen(g_opt.key.c_str(), "rb");
  uint8_t k[32];
  if (!f || fread(k, 1, 32, f) != 32) {
    if (f) fclose(f);
    return "";
  }
  fclose(f);
  char hex[65];
  for (int i = 0; i < 32; i++) snprintf(hex + 2 * i, 3, "%02x", k[i]);
  return hex;
}

struct Case {
  const char *name;
  const char *mkArgs;
  uint64_t properties;
  const char *tool;  // what the reference is
  double limit;      // target ratio filter/tool; 0 = no target
};

}  // namespace

int main(int argc, char **argv) {
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--dev") g_opt.dev = argv[i + 1];
    else if (a == "--key") g_opt.key = argv[i + 1];
    else if (a == "--size") g_opt.size = parseSize(argv[i + 1]);
    else if (a == "--passes") g_opt.passes = atoi(argv[i + 1]);
  }
  if (g_opt.dev.empty() || g_opt.key.empty() || !g_opt.size || g_opt.passes < 1) {
    fprintf(stderr, "usage: bench_read --dev DIR --key KEYFILE [--size BYTES] [--passes N]\n");
    return 2;
  }
  log_level = 0;
  const char *ini = getenv("VX_MASTER_INI");
  if (ini) snprintf(g_master_ini, sizeof g_master_ini, "%s", ini);
  std::string work = g_opt.dev + "/readbench";
  shell("mkdir -p " + quote(work));
  std::string hex = keyHex();

  printf("== Data access: sequential reads, %lu decoded bytes per archive, warm cache, best of %d ==\n",
         (unsigned long)g_opt.size, g_opt.passes);
  printf("   %-10s %14s %14s %10s   %s\n", "archive", "filter MiB/s", "tool MiB/s", "time ratio", "reference");
  fflush(stdout);
  const Case cases[] = {
      {"plain", "", 0, "cat", 1.5},
      {"gzip", "--compress gzip", ARCH_PROP_COMPRESSED, "gzip -dc", 1.2},
      {"lz4", "--compress lz4", ARCH_PROP_COMPRESSED, "lz4 -dc", 1.5},
      {"encrypted", "--encrypt", ARCH_PROP_ENCRYPTED, "openssl enc -d", 0},
  };
  bool ok = true;
  for (const Case &c : cases) {
    uint64_t b = 0;
    std::string path = makeBackup(std::string("--content image --unit 64k ") + c.mkArgs, &b);
    if (path.empty()) return 1;
    std::string decoded = work + "/decoded." + c.name;
    int64_t bytes = readArchive(path, c.properties, decoded.c_str());
    if (bytes <= 0) return 1;
    std::string ref, cmd;
    if (std::string(c.name) == "plain") {
      cmd = "cat " + quote(path) + " >/dev/null";
    } else if (std::string(c.name) == "gzip") {
      ref = work + "/ref.gz";
      shell("gzip -c " + quote(decoded) + " >" + quote(ref));
      cmd = "gzip -dc " + quote(ref) + " >/dev/null";
    } else if (std::string(c.name) == "lz4") {
      ref = work + "/ref.lz4";
      shell("lz4 -z -q -c " + quote(decoded) + " >" + quote(ref));
      cmd = "lz4 -q -dc " + quote(ref) + " >/dev/null";
    } else {
      // Whole AES blocks, as the archive holds them.
      ref = work + "/ref.enc";
      shell("truncate -s " + std::to_string((bytes + 31) / 32 * 32) + " " + quote(decoded));
      shell("openssl enc -aes-256-ecb -nopad -K " + hex + " -in " + quote(decoded) + " -out " + quote(ref));
      cmd = "openssl enc -d -aes-256-ecb -nopad -K " + hex + " -in " + quote(ref) + " -out /dev/null";
    }
    shell("cat " + quote(path) + " " + (ref.empty() ? "" : quote(ref)) + " >/dev/null");
    // The reference must really produce the decoded bytes (checked once,
    // untimed), or its time means nothing.
    std::string check = cmd, counted;
    size_t at = check.find(" >/dev/null");
    if (at != std::string::npos) check.replace(at, strlen(" >/dev/null"), " | wc -c");
    else check.replace(check.find("-out /dev/null"), strlen("-out /dev/null"), "| wc -c");
    if (shell(check, &counted) != 0 || strtoll(counted.c_str(), nullptr, 10) < bytes) {
      fprintf(stderr, "bench_read: %s gave %s bytes, not %ld\n", check.c_str(), counted.c_str(), (long)bytes);
      return 1;
    }
    double tTool = bestShell(cmd);
    double tMine = bestOf([&] { return readArchive(path, c.properties) == bytes; });
    if (tTool <= 0 || tMine <= 0) return 1;
    double ratio = tMine / tTool;
    printf("   %-10s %14.1f %14.1f %10.2f   %s\n", c.name, mibps(uint64_t(bytes), tMine), mibps(uint64_t(bytes), tTool),
           ratio, c.tool);
    char m[64], t[32];
    snprintf(m, sizeof m, "%.2fx %s's time", ratio, c.tool);
    if (c.limit > 0) {
      snprintf(t, sizeof t, "<= %.1fx", c.limit);
      ok &= verdict(std::string("archive filter, ") + c.name + " archive", m, t, ratio <= c.limit);
    } else {
      printf("   (no target for %s archives)\n", c.name);
    }
    unlink(decoded.c_str());
    if (!ref.empty()) unlink(ref.c_str());
  }

  // The block reader: a backup whose blocks all went into the store
  // (uncompressed there, so cat of the store's files reads the same bytes).
  if (SIScreateInfoFile(0, 1ULL << 30) != 0) return 1;
  uint64_t b = 0;
  // File-level (tar) content: the hashing program cuts its files into blocks.
  std::string path = makeBackup("--file-size 256k --share 0 --zero 0", &b);
  if (path.empty()) return 1;
  std::string cmd = quote(buildProgram("appliance/fileDedup")) + " -s -H" + std::to_string(b);
  if (shell(cmd) != 0) {
    fprintf(stderr, "bench_read: %s failed\n", cmd.c_str());
    return 1;
  }
  unlink(path.c_str());  // every read must come from the store
  uint64_t total = 0;
  auto walkAndRead = [&]() {
    hashListHandle *h = nullptr;
    hashedContentsPrivate *priv = nullptr;
    static std::vector<uint8_t> data(16 << 20);
    std::vector<HashListEntry> batch(1000);
    total = 0;
    if (createHashList(&h, b, nullptr, 0, 0) != 0) return false;
    bool good = true;
    long n;
    while (good && (n = getHashesFromList(&h, batch.data(), long(batch.size()))) > 0) {
      for (long i = 0; i < n && good; i++) {
        HashValue rec = batch[size_t(i)].value;
        if (rec.hashedLength > data.size()) data.resize(rec.hashedLength);
        ssize_t got = readHashedContents(&priv, &rec, data.data(), int64_t(rec.hashedLength), 0, 0);
        good = got == ssize_t(rec.hashedLength);
        total += uint64_t(got > 0 ? got : 0);
      }
    }
    closeHashedContents(&priv);
    destroyHashList(&h);
    return good;
  };
  std::string sisFiles = "find " + quote(getenv("RPD_SYSROOT") ? getenv("RPD_SYSROOT") : "/") +
                         " -path '*SIS/*' -type f -print0 | xargs -0 cat >/dev/null";
  shell(sisFiles);
  double tTool = bestShell(sisFiles);
  double tMine = bestOf(walkAndRead);
  if (tTool <= 0 || tMine <= 0 || total == 0) {
    fprintf(stderr, "bench_read: reading the blocks of backup %lu from the store failed%s\n", (unsigned long)b,
            total == 0 ? " (its hash list is empty)" : "");
    return 1;
  }
  double ratio = tMine / tTool;
  printf("   %-10s %14.1f %14.1f %10.2f   %s\n", "SIS blocks", mibps(total, tMine), mibps(total, tTool), ratio,
         "cat of the store's files");
  char m[64];
  snprintf(m, sizeof m, "%.2fx cat's time", ratio);
  ok &= verdict("readHashedContents from the store", m, "<= 1.5x", ratio <= 1.5);
  shell("rm -rf " + quote(work));
  return ok ? 0 : 3;
}
