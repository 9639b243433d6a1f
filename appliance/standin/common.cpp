// common.cpp: process set-up, generated data, tar headers, digests and the
// catalogue lookups of the appliance stand-ins (see standin.h).
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "appliance/standin/standin.h"
#include "lib/config.h"
#include "lib/ini.h"
#include "lib/logger.h"
#include "lib/pghelper.h"
#include "lib/syspath.h"

namespace standin {

namespace {

bool fileExists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

void setGlobal(char *dst, size_t size, const std::string &value) { snprintf(dst, size, "%s", value.c_str()); }

}  // namespace

int initStandin(const char *program) {
  attachLogStream(stderr);
  const char *level = getenv("LOG_LEVEL");
  log_level = level ? atoi(level) : 0;
  snprintf(ghAppName, sizeof ghAppName, "%s", program);

  std::string appdir;
  std::string master;
  if (const char *env = getenv("VX_MASTER_INI"); env && *env) master = env;
  if (const char *env = getenv("VXDIR"); env && *env) appdir = env;
  if (appdir.empty()) {
    std::string vxIni = sysPath("/etc/default/vx.ini");
    char dir[256] = "";
    if (iniGetString("Location Information", "VXDIR", "", dir, sizeof dir, vxIni.c_str()) == 0 && dir[0])
      appdir = dir;
  }
  if (master.empty() && !appdir.empty()) master = appdir + "/vxinit/master.ini";
  if (appdir.empty()) appdir = "/usr/vx";
  setGlobal(g_appdir, sizeof g_appdir, appdir);
  setGlobal(g_bindir, sizeof g_bindir, appdir + "/bin");
  setGlobal(g_initdir, sizeof g_initdir, appdir + "/vxinit");
  if (master.empty() || !fileExists(master)) {
    // No configuration: every setting takes its default.
    g_master_ini[0] = 0;
    return -1;
  }
  setGlobal(g_master_ini, sizeof g_master_ini, master);
  long configured = iniGetInt("debugging", program, -1, g_master_ini);
  if (!level && configured >= 0) log_level = int(configured);
  return 0;
}

int parseSize(const char *text, uint64_t *out) {
  if (!text || !*text) return -1;
  char *end = nullptr;
  errno = 0;
  unsigned long long v = strtoull(text, &end, 0);
  if (errno || end == text) return -1;
  switch (tolower(static_cast<unsigned char>(*end))) {
    case 'k': v <<= 10; end++; break;
    case 'm': v <<= 20; end++; break;
    case 'g': v <<= 30; end++; break;
    default: break;
  }
  if (*end) return -1;
  *out = v;
  return 0;
}

// ---- Rng -----------------------------------------------------------------------

uint64_t Rng::next() {
  uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

double Rng::unit() { return double(next() >> 11) / double(1ULL << 53); }

uint64_t Rng::below(uint64_t n) { return n ? next() % n : 0; }

uint64_t mixSeed(uint64_t a, uint64_t b) {
  Rng r(a * 0x100000001B3ULL ^ b);
  r.next();
  return r.next();
}

void fillData(Rng &rng, double compressible, uint8_t *buf, size_t n) {
  static const char *const kWords[] = {"backup ", "vault ", "block ", "replica ", "catalogue ", "archive ",
                                       "hash ",   "store ", "data ",  "the ",     "of ",        "and ",
                                       "queue ",  "node ",  "disk ",  "index\n"};
  constexpr size_t kPage = 4096;
  for (size_t at = 0; at < n; at += kPage) {
    size_t len = n - at < kPage ? n - at : kPage;
    uint8_t *p = buf + at;
    if (rng.unit() < compressible) {
      size_t i = 0;
      while (i < len) {
        const char *w = kWords[rng.below(16)];
        for (size_t k = 0; w[k] && i < len; k++) p[i++] = uint8_t(w[k]);
      }
    } else {
      size_t i = 0;
      for (; i + 8 <= len; i += 8) {
        uint64_t v = rng.next();
        memcpy(p + i, &v, 8);
      }
      for (; i < len; i++) p[i] = uint8_t(rng.next());
    }
  }
}

// ---- Tar -------------------------------------------------------------------------

int encodeTarHeader(uint8_t out[TAR_BLOCK], const std::string &name, uint64_t size, char typeFlag,
                    uint64_t mtime) {
  if (name.empty() || name.size() > 99) return -1;
  memset(out, 0, TAR_BLOCK);
  char *h = reinterpret_cast<char *>(out);
  memcpy(h, name.data(), name.size());
  snprintf(h + 100, 8, "%07o", typeFlag == '5' ? 0755u : 0644u);
  snprintf(h + 108, 8, "%07o", 0u);
  snprintf(h + 116, 8, "%07o", 0u);
  snprintf(h + 124, 12, "%011llo", static_cast<unsigned long long>(size));
  snprintf(h + 136, 12, "%011llo", static_cast<unsigned long long>(mtime));
  h[156] = typeFlag;
  memcpy(h + 257, "ustar", 6);
  memcpy(h + 263, "00", 2);
  memcpy(h + 265, "root", 4);
  memcpy(h + 297, "root", 4);
  // The checksum counts its own field as eight blanks; every byte written
  // above is ASCII, so signed and unsigned sums agree.
  memset(h + 148, ' ', 8);
  unsigned sum = 0;
  for (size_t i = 0; i < TAR_BLOCK; i++) sum += out[i];
  snprintf(h + 148, 8, "%06o", sum);
  h[155] = ' ';
  return 0;
}

uint64_t tarHeaderSize(const uint8_t block[TAR_BLOCK]) {
  const char *f = reinterpret_cast<const char *>(block) + 124;
  uint64_t v = 0;
  if (f[0] == '#') {
    // 6-bit digits, least significant first.
    static const char kAlphabet[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    int shift = 0;
    for (int i = 1; i < 12 && shift < 64; i++) {
      const char *d = f[i] ? strchr(kAlphabet, f[i]) : nullptr;
      if (!d) break;
      v |= uint64_t(d - kAlphabet) << shift;
      shift += 6;
    }
    return v;
  }
  int i = 0;
  while (i < 12 && (f[i] == ' ' || f[i] == '\t')) i++;
  for (; i < 12 && f[i] >= '0' && f[i] <= '7'; i++) v = v * 8 + uint64_t(f[i] - '0');
  return v;
}

// ---- Digests ------------------------------------------------------------------

void sha512(const void *data, size_t n, uint8_t out[64]) {
  unsigned len = 0;
  EVP_Digest(data, n, out, &len, EVP_sha512(), nullptr);
}

// ---- Catalogue -----------------------------------------------------------------

int lookupBackup(uint64_t backupNo, BackupInfo *info) {
  PgResultPtr r(pgQuery(
      "SELECT b.properties, b.status, b.type, d.dev_nr_name, d.dev_rw_name FROM vx.backups b "
      "LEFT JOIN vx.filesets f ON (f.fileset_no = b.fileset_no) LEFT JOIN vx.devices d ON "
      "(d.dev_name = f.tape_drive_name) WHERE b.backup_no = %lu",
      static_cast<unsigned long>(backupNo)));
  if (!r) return -1;
  if (pgTuples(r.get()) < 1) return 1;
  info->backupNo = backupNo;
  info->properties = pgULVal(r.get(), 0, "properties");
  info->status = pgULVal(r.get(), 0, "status");
  info->type = static_cast<uint32_t>(pgULVal(r.get(), 0, "type"));
  info->devNrName = pgSVal(r.get(), 0, "dev_nr_name");
  info->devRwName = pgSVal(r.get(), 0, "dev_rw_name");
  return 0;
}

std::string findArchive(const BackupInfo &info) {
  std::vector<std::string> dirs;
  if (!info.devNrName.empty()) dirs.push_back(info.devNrName);
  PgResultPtr r(pgQuery("SELECT dev_nr_name FROM vx.devices WHERE (device_type = %d) ORDER BY "
                        "octet_length(dev_nr_name) DESC",
                        D2D_DEVICE_TYPE));
  for (long i = 0; r && i < pgTuples(r.get()); i++) {
    const char *d = pgSVal(r.get(), int(i), "dev_nr_name");
    if (d && *d) dirs.push_back(d);
  }
  for (const std::string &dir : dirs) {
    std::string base = dir + (dir.back() == '/' ? "" : "/") + "backup_" + std::to_string(info.backupNo);
    if (fileExists(base + ".gz")) return base + ".gz";
    if (fileExists(base)) return base;
  }
  return "";
}

std::string lockMarkerPath(uint64_t backupNo, const std::string &dir) {
  return dir + (dir.empty() || dir.back() == '/' ? "" : "/") + "backup_" + std::to_string(backupNo) + ".lock";
}

}  // namespace standin
