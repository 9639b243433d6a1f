// vault_bench.cpp: upload rate of the Vault client's multi-block PUT to a
// real vaultd on loopback, beside the curl command-line tool sending the same
// kind of bodies with the same headers to the same server; then the rate
// under a bandwidth limit, which must hold to within 5% over 10 seconds.
//
//   bench_vault [--total BYTES] [--body BYTES] [--block BYTES] [--limit BYTES]
//               [--limit-seconds N] [--dir DIR]
//
// Defaults: 256m in 10m bodies of 64k blocks; the limit is a quarter of the
// measured unlimited rate (rounded down to whole MiB/s, at least 1m) unless
// given. The client and curl each send their own blocks (different seeds),
// so vaultd stores and verifies every byte it gets in both runs.
#include <curl/curl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/support.h"
#include "lib/logger.h"
#include "vault/blockOut.h"
#include "vault/rest.h"

using namespace bench;

namespace {

struct Options {
  uint64_t total = 256ULL << 20;
  uint64_t body = 10ULL << 20;
  uint64_t block = 64ULL << 10;
  uint64_t limit = 0;
  int limitSeconds = 10;
  std::string dir;
};

// One multi-block body: count entries of header + block data.
struct Body {
  std::vector<uint8_t> bytes;
  long count = 0;
};

Body makeBody(const Options &o, uint64_t seed, uint64_t firstOffset) {
  Body b;
  size_t per = MULTI_BLOCK_HEADER_BYTES + o.block;
  b.count = long(o.body / per);
  b.bytes.resize(size_t(b.count) * per);
  for (long i = 0; i < b.count; i++) {
    uint8_t *at = b.bytes.data() + size_t(i) * per;
    uint8_t *data = at + MULTI_BLOCK_HEADER_BYTES;
    fillRandom(data, o.block, seed * 1000003 + uint64_t(i));
    HashListEntry e = {};
    snprintf(e.value.hashType, sizeof e.value.hashType, "sha512");
    e.value.hashedLength = o.block;
    sha512(data, o.block, e.value.hashValue);
    e.location.fileOffset = firstOffset + uint64_t(i) * o.block;
    encodeMultiBlockHeader(&e, at);
  }
  return b;
}

std::string metadataDocument(uint64_t startTime) {
  char doc[2048];
  snprintf(doc, sizeof doc,
           "<?xml version=\"1.0\"?>\n<backup_metadata>\n  <metadata_version>1</metadata_version>\n"
           "  <systems>\n    <name>bench</name>\n    <UUID>0f0e0d0c-0b0a-4909-8807-060504030201</UUID>\n"
           "  </systems>\n  <nodes>\n    <node_name>client1</node_name>\n  </nodes>\n"
           "  <application_instances>\n    <instance-uuid>bench-instance</instance-uuid>\n"
           "    <app_id>1</app_id>\n    <app_type>Generic</app_type>\n  </application_instances>\n"
           "  <backups>\n    <properties>0</properties>\n    <type>1</type>\n"
           "    <start_time>%lu</start_time>\n    <total_megs>1</total_megs>\n"
           "    <verify_after>0</verify_after>\n    <is_verified>0</is_verified>\n  </backups>\n"
           "</backup_metadata>\n",
           (unsigned long)startTime);
  return doc;
}

int parseArgs(int argc, char **argv, Options *o) {
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (!v) return -1;
    if (a == "--total") o->total = parseSize(v);
    else if (a == "--body") o->body = parseSize(v);
    else if (a == "--block") o->block = parseSize(v);
    else if (a == "--limit") o->limit = parseSize(v);
    else if (a == "--limit-seconds") o->limitSeconds = atoi(v);
    else if (a == "--dir") o->dir = v;
    else return -1;
    i++;
  }
  return o->total && o->body && o->block && o->block + MULTI_BLOCK_HEADER_BYTES <= o->body ? 0 : -1;
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  if (parseArgs(argc, argv, &o) != 0) {
    fprintf(stderr,
            "usage: bench_vault [--total BYTES] [--body BYTES] [--block BYTES] [--limit BYTES]\n"
            "                   [--limit-seconds N] [--dir DIR]\n");
    return 2;
  }
  log_level = 0;
  curl_global_init(CURL_GLOBAL_ALL);
  char tmpl[] = "/tmp/rpd-bench-vault-XXXXXX";
  std::string dir = o.dir.empty() ? std::string(mkdtemp(tmpl)) : o.dir;
  mkdir(dir.c_str(), 0755);
  Vaultd vaultd(dir);
  if (!vaultd.ok()) return 1;
  std::string base = vaultd.base();
  CURLcode cc;
  std::string doc = metadataDocument(1700000000);
  long backupNo = postStartBackup(base.c_str(), doc.data(), doc.size(), 0, &cc, 0);
  if (backupNo <= 0) {
    fprintf(stderr, "bench_vault: start-backup failed (%ld, curl %d)\n", backupNo, (int)cc);
    return 1;
  }

  size_t bodies = size_t((o.total + o.body - 1) / o.body);
  printf("== Vault client: multi-block PUT to vaultd on loopback ==\n");
  printf("   %zu bodies of %lu bytes (%lu-byte blocks) each way; vaultd state in %s\n", bodies,
         (unsigned long)o.body, (unsigned long)o.block, dir.c_str());
  fflush(stdout);

  // Bodies for the client (in memory) and for curl (files), made before
  // any clock starts.
  std::vector<Body> mine;
  std::vector<std::string> files;
  uint64_t offset = 0;
  long count = 0;
  size_t used = 0;
  for (size_t i = 0; i < bodies; i++) {
    mine.push_back(makeBody(o, 2 * i + 1, offset));
    Body theirs = makeBody(o, 2 * i + 2, offset + o.body);
    offset += 2 * o.body;
    std::string f = dir + "/body." + std::to_string(i);
    FILE *fp = fopen(f.c_str(), "wb");
    if (!fp || fwrite(theirs.bytes.data(), 1, theirs.bytes.size(), fp) != theirs.bytes.size()) return 1;
    fclose(fp);
    files.push_back(f);
    count = theirs.count;
    used = theirs.bytes.size();
  }
  shell("sync");

  // curl: one process, one connection, every body as its own PUT with the
  // client's headers in the client's order.
  std::string url = base + "/cgi-bin/vaultServer/multiblock";
  std::string cmd = "curl -sS --fail -o /dev/null";
  for (const char *h : {"X-Offset: 1", "X-Time: 5"}) cmd += " -H " + quote(h);
  cmd += " -H " + quote("X-BackupNo: " + std::to_string(backupNo));
  cmd += " -H " + quote("X-BackupSize: " + std::to_string(used));
  cmd += " -H " + quote("X-ClusterAmt: " + std::to_string(count));
  cmd += " -H " + quote("X-Protocol: 1");
  for (const std::string &f : files) cmd += " -T " + quote(f) + " " + quote(url);
  double curlSeconds = timedShell(cmd);
  if (curlSeconds <= 0) return 1;
  uint64_t curlBytes = uint64_t(used) * files.size();

  double t0 = now();
  uint64_t mineBytes = 0;
  for (Body &b : mine) {
    if (putMultiBlocks(base.c_str(), b.bytes.data(), b.bytes.size(), b.count, backupNo, &cc) != 0) {
      fprintf(stderr, "bench_vault: putMultiBlocks failed (curl %d)\n", (int)cc);
      return 1;
    }
    mineBytes += b.bytes.size();
  }
  double mineSeconds = now() - t0;

  double curlRate = mibps(curlBytes, curlSeconds), mineRate = mibps(mineBytes, mineSeconds);
  printf("   curl -T          %8.1f MiB/s  (%lu bytes in %.2f s)\n", curlRate, (unsigned long)curlBytes, curlSeconds);
  printf("   putMultiBlocks   %8.1f MiB/s  (%lu bytes in %.2f s)\n", mineRate, (unsigned long)mineBytes, mineSeconds);
  char m[64];
  snprintf(m, sizeof m, "%.0f%% of curl", 100 * mineRate / curlRate);
  bool ok = verdict("putMultiBlocks unlimited vs curl -T", m, ">= 80%", mineRate >= 0.8 * curlRate);

  // Under a limit: the calling thread's own table (nothing attached) holds
  // the rate, so the client throttles exactly as a sending thread does.
  uint64_t limit = o.limit;
  if (!limit) {
    limit = uint64_t(mineRate / 4) << 20;
    if (limit < (1ULL << 20)) limit = 1ULL << 20;
  }
  char periods[64];
  snprintf(periods, sizeof periods, "=%lu", (unsigned long)limit);
  if (parseBlockOutPeriods(periods) != 0) {
    fprintf(stderr, "bench_vault: parseBlockOutPeriods(%s) failed\n", periods);
    return 1;
  }
  printf("   limit %s (%.1f MiB/s) for %d s ...\n", periods, limit / 1048576.0, o.limitSeconds);
  fflush(stdout);
  // The first second's allowance is granted whole whenever the transfer
  // starts within it, so the first body is a warm-up; the rate is judged
  // from its end over the next limitSeconds (the whole window is printed
  // too). The throttle hands each second's allowance over at full speed
  // and then waits, and the rate is only seen where a body ends, so the
  // window is off by up to one body: bodies of at most a twentieth of a
  // second's allowance keep that well inside the 5% tolerance.
  Options lo = o;
  uint64_t per = MULTI_BLOCK_HEADER_BYTES + o.block;
  if (lo.body > limit / 20) lo.body = std::max(limit / 20 / per, uint64_t(1)) * per;
  std::vector<Body> limited;
  if (lo.body == o.body) {
    limited.swap(mine);
  } else {
    for (size_t k = 0; k < 8; k++) limited.push_back(makeBody(lo, 2 * bodies + 2 * k + 1, offset + k * lo.body));
    printf("   limited bodies of %lu bytes\n", (unsigned long)limited[0].bytes.size());
  }
  CURLcode rc;
  double start = now();
  size_t i = 0;
  uint64_t sent = 0, warm = 0;
  double warmAt = 0, lowest = 1e30, highest = 0;
  for (;;) {
    Body &b = limited[i++ % limited.size()];
    if (putMultiBlocks(base.c_str(), b.bytes.data(), b.bytes.size(), b.count, backupNo, &rc) != 0) {
      fprintf(stderr, "bench_vault: putMultiBlocks failed under the limit (curl %d)\n", (int)rc);
      return 1;
    }
    sent += b.bytes.size();
    double t = now();
    if (warmAt == 0) {
      warmAt = t;
      warm = sent;
      continue;
    }
    // Running rate after each body, once two seconds have passed.
    if (t - warmAt >= 2) {
      double r = (sent - warm) / (t - warmAt);
      lowest = std::min(lowest, r);
      highest = std::max(highest, r);
    }
    if (t - warmAt >= o.limitSeconds) break;
  }
  double end = now();
  double rate = (sent - warm) / (end - warmAt);
  double whole = sent / (end - start);
  double dev = (rate - double(limit)) / double(limit);
  printf("   limited          %8.2f MiB/s over %.1f s after the first body (running %.2f..%.2f MiB/s);\n"
         "                    %8.2f MiB/s over the whole %.1f s\n",
         rate / 1048576.0, end - warmAt, lowest / 1048576.0, highest / 1048576.0, whole / 1048576.0, end - start);
  snprintf(m, sizeof m, "%+.1f%% of the limit", 100 * dev);
  ok &= verdict("putMultiBlocks under a limit, over 10 s", m, "within 5%", dev <= 0.05 && dev >= -0.05);
  vaultd.stop();
  if (o.dir.empty()) shell("rm -rf " + quote(dir));
  curl_global_cleanup();
  return ok ? 0 : 3;
}
