// mkbackup.cpp: the appliance stand-in that makes backups.
//
// It creates, in the catalogue and on a disk device, everything an
// appliance holds for a backup: the device row, the client (node) with its
// file-level application instance, the application instance of the backed
// up application, the backup rows (backups, filesets, backup_files and the
// application's own records) and the archive file "backup_N" (or
// "backup_N.gz" when compressed) in the device directory. Archive content
// is generated from a seed: a tar stream for file-level layouts, a raw image
// for bare metal and older SQL backups. A chosen fraction of a backup's
// content is taken over from another backup (by default the chain's full
// backup), so incrementals overlap their master the way real ones do.
//
// The new backup numbers are printed on standard output, one per line.
// See usage() for the command line.
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "appliance/standin/standin.h"
#include "lib/config.h"
#include "lib/is_tar.h"
#include "lib/logger.h"
#include "lib/pghelper.h"
#include "lib/syspath.h"

using namespace standin;

namespace {

void usage(FILE *out) {
  fputs(
      "usage: mkbackup [options]          make backups; prints their numbers, one per line\n"
      "       mkbackup finish N [--status ok|failed|N]\n"
      "                                   finish an in-progress backup (default status ok)\n"
      "       mkbackup lock N | unlock N  create or remove backup N's lock marker, which makes\n"
      "                                   fileDedup answer 3 (locked)\n"
      "       mkbackup cat N              write backup N's decoded archive to standard output\n"
      "                                   (decrypted, decompressed: what a restore reads)\n"
      "Device:\n"
      "  --device NAME       dev_name of the disk device (default D2D-1); made when missing\n"
      "  --dir DIR           its dev_nr_name, where archives go (default $VXDIR/backups/D2D-1,\n"
      "                      or <RPD_SYSROOT>/backups/D2D-1)\n"
      "  --rw-dir DIR        its dev_rw_name, where the HaCTAR goes (default: --dir)\n"
      "  --no-dedup          the device is not a deduplication device\n"
      "  --capacity KIB      capacity in KiB (default 268435456, 256 GiB)\n"
      "Client and application:\n"
      "  --client NAME       client name (default client1); made when missing\n"
      "  --app APP           files (default), exchange, sql, legacysql, vmware, hyperv, oracle,\n"
      "                      sharepoint, ndmp, rae, system, baremetal, selective\n"
      "  --instance KEY      key1 of the application instance (default per application)\n"
      "Backups:\n"
      "  --chain LIST        comma-separated levels: full (or master), diff, incr (default full)\n"
      "  --type N            type code of every backup (overrides the chain's types)\n"
      "  --status S          ok (0x440, default), failed (0x1040), progress (0x200) or a number\n"
      "  --in-progress       same as --status progress\n"
      "  --locked            create the lock marker of every new backup\n"
      "  --sync N            sync_status (default 1: sync needed)\n"
      "  --properties N      extra property bits\n"
      "  --start-time T      start time of the first backup (default: now - interval x count)\n"
      "  --interval S        seconds between the backups' start times (default 3600)\n"
      "  --megs N            total_megs (default: the archive's decoded size in MiB, rounded up)\n"
      "  --snapshot          record a snapshot time (backup_snapshots)\n"
      "Content:\n"
      "  --size BYTES        decoded archive size of each backup (k, m, g suffixes; default 1m)\n"
      "  --content tar|image content layout (default: image for bare metal and legacysql)\n"
      "  --file-size BYTES   average file size of tar content (default 64k)\n"
      "  --unit BYTES        unit of image content, the granularity of sharing (default 64k;\n"
      "                      make it fileDedup's imageBlockBytes)\n"
      "  --seed N            generator seed (default 1; mixed with the backup number)\n"
      "  --share F           fraction of content taken over from the base backup (default 0.5\n"
      "                      for the later backups of a chain, 0 for the first)\n"
      "  --share-with N      base backup of the first new backup\n"
      "  --share-base first|previous  base of later chain backups (default first)\n"
      "  --compressible F    fraction of text-like (compressible) pages (default 0.5)\n"
      "  --zero F            fraction of all-zero files or units (default 0.05)\n"
      "  --compress gzip|lz4 write a compression stream with index (properties 0x2 / 0x4)\n"
      "  --encrypt           encrypt through the CryptoDaemon (properties 0x100)\n",
      out);
}

struct AppInfo {
  const char *name;
  int appId;
  uint32_t full, diff, incr;
  const char *defaultKey;  // null: the client's file-level instance
  uint64_t properties;
  bool image;
};

const AppInfo kApps[] = {
    {"files", 1, 1, 2, 3, nullptr, 0, false},
    {"exchange", 2, 5, 6, 7, "First Storage Group", 0, false},
    {"sql", 3, 9, 10, 11, "MSSQLSERVER", 0, false},
    {"legacysql", 3, 4, 4, 4, "MSSQLSERVER", PROP_LEGACY_SQL, true},
    {"vmware", 4, 12, 13, 14, "vm-1", 0, false},
    {"hyperv", 5, 1031, 1032, 1033, "hv-1", 0, false},
    {"oracle", 6, 1034, 0, 1035, "ORCL", 0, false},
    {"sharepoint", 7, 1036, 0, 1037, "farm-1", 0, false},
    {"ndmp", 8, 4098, 4099, 4100, "/vol/vol0", 0, false},
    {"rae", 1, 1039, 4096, 4097, nullptr, 0, false},
    {"system", 9, 1038, 1038, 1038, "system", 0, false},
    {"baremetal", 1, 1024, 1024, 1024, nullptr, 0, true},
    {"selective", 1, 4, 4, 4, nullptr, 0, false},
};

struct Options {
  std::string device = "D2D-1";
  std::string dir, rwDir;
  bool dedup = true;
  uint64_t capacity = 268435456;
  std::string client = "client1";
  const AppInfo *app = &kApps[0];
  std::string instanceKey;
  std::vector<int> chain{0};  // 0 full, 1 diff, 2 incr
  long type = -1;
  uint64_t status = STATUS_SUCCESS;
  bool locked = false;
  long sync = 1;
  uint64_t properties = 0;
  long long startTime = -1;
  long interval = 3600;
  long megs = -1;
  bool snapshot = false;
  uint64_t size = 1 << 20;
  int content = -1;  // -1 by application, 0 tar, 1 image
  uint64_t fileSize = 65536;
  uint64_t unit = 65536;
  uint64_t seed = 1;
  double share = -1;
  uint64_t shareWith = 0;
  bool shareFromPrevious = false;
  double compressible = 0.5;
  double zero = 0.05;
  ArchiveFormat format = ArchiveFormat::Plain;
};

int parseStatus(const char *text, uint64_t *out) {
  if (!strcmp(text, "ok")) *out = STATUS_SUCCESS;
  else if (!strcmp(text, "failed")) *out = STATUS_FAILED;
  else if (!strcmp(text, "progress")) *out = STATUS_IN_PROGRESS;
  else {
    char *end;
    *out = strtoull(text, &end, 0);
    if (*end || end == text) return -1;
  }
  return 0;
}

int parseFraction(const char *text, double *out) {
  char *end;
  double v = strtod(text, &end);
  if (*end || end == text || v < 0 || v > 1) return -1;
  *out = v;
  return 0;
}

// ---- Catalogue rows -------------------------------------------------------------

// Finds or makes the device; 0 / -1.
int ensureDevice(const Options &o) {
  PgResultPtr r(pgQuery("SELECT device_no FROM vx.devices WHERE dev_name = %s", o.device.c_str()));
  if (!r) return -1;
  if (pgTuples(r.get()) > 0) {
    PgResultPtr u(pgQuery("UPDATE vx.devices SET dev_nr_name = %s, dev_rw_name = %s WHERE dev_name = %s",
                          o.dir.c_str(), o.rwDir.c_str(), o.device.c_str()));
    return u ? 0 : -1;
  }
  PgResultPtr i(pgQuery(
      "INSERT INTO vx.devices (dev_name, dev_rw_name, dev_nr_name, device_type, capacity, dedup) "
      "VALUES (%s, %s, %s, %d, %lu, %s)",
      o.device.c_str(), o.rwDir.c_str(), o.dir.c_str(), D2D_DEVICE_TYPE,
      static_cast<unsigned long>(o.capacity), o.dedup ? "true" : "false"));
  return i ? 0 : -1;
}

// Finds or makes an instance of app on the node. Returns its id or -1.
long ensureInstance(long nodeNo, int appId, const char *key1) {
  PgResultPtr r(key1 ? pgQuery("SELECT instance_id FROM vx.application_instances WHERE node_no = %ld AND "
                               "app_id = %d AND key1 = %s",
                               nodeNo, appId, key1)
                     : pgQuery("SELECT instance_id FROM vx.application_instances WHERE node_no = %ld AND "
                               "app_id = %d AND key1 IS NULL",
                               nodeNo, appId));
  if (!r) return -1;
  if (pgTuples(r.get()) > 0) return pgLVal(r.get(), 0, "instance_id");
  PgResultPtr i(pgQuery("INSERT INTO vx.application_instances (app_id, node_no, key1) VALUES (%d, %ld, %s) "
                        "RETURNING instance_id",
                        appId, nodeNo, key1));
  if (!i || pgTuples(i.get()) < 1) return -1;
  PgResultPtr a(pgQuery("INSERT INTO vx.node_applications (node_no, app_id) VALUES (%ld, %d) ON CONFLICT DO NOTHING",
                        nodeNo, appId));
  if (!a) return -1;
  return pgLVal(i.get(), 0, "instance_id");
}

// Finds or makes the client and its file-level instance. Returns node_no or -1.
long ensureNode(const Options &o) {
  PgResultPtr r(pgQuery("SELECT node_no FROM vx.nodes WHERE node_name = %s", o.client.c_str()));
  if (!r) return -1;
  long nodeNo;
  if (pgTuples(r.get()) > 0) {
    nodeNo = pgLVal(r.get(), 0, "node_no");
  } else {
    PgResultPtr i(pgQuery("INSERT INTO vx.nodes (node_name, type, os, system_id) VALUES (%s, 1, 1, 1) RETURNING node_no",
                          o.client.c_str()));
    if (!i || pgTuples(i.get()) < 1) return -1;
    nodeNo = pgLVal(i.get(), 0, "node_no");
  }
  if (ensureInstance(nodeNo, 1, nullptr) < 0) return -1;
  if (o.app->appId == 8) {
    PgResultPtr n(pgQuery("INSERT INTO vx.ndmp_nas (node_no, address, port, vendor, version) SELECT %ld, "
                          "'10.0.0.1', '10000', 'NetApp', '4' WHERE NOT EXISTS (SELECT 1 FROM vx.ndmp_nas "
                          "WHERE node_no = %ld)",
                          nodeNo, nodeNo));
    if (!n) return -1;
  }
  return nodeNo;
}

// ---- Content -----------------------------------------------------------------------

// The base backup a new backup takes shared content from.
struct Base {
  BackupInfo info;
  std::string path;
  ArchiveReader reader;
  bool open = false;
};

int openBase(uint64_t backupNo, Base *base) {
  if (lookupBackup(backupNo, &base->info) != 0) {
    LOG(0, "Base backup %lu not found", static_cast<unsigned long>(backupNo));
    return -1;
  }
  base->path = findArchive(base->info);
  if (base->path.empty()) {
    LOG(0, "Archive of base backup %lu not found", static_cast<unsigned long>(backupNo));
    return -1;
  }
  if (base->reader.open(base->path, base->info.properties) != 0) return -1;
  base->open = true;
  return 0;
}

constexpr uint64_t kEntryTime = 1700000000;

struct TarFile {
  std::string name;
  uint64_t size;
  uint64_t headerOffset;
};

struct Generator {
  const Options &o;
  Rng rng;
  ArchiveWriter &out;
  uint64_t backupNo;
  std::vector<TarFile> files;
  uint64_t newWritten = 0;
  int fileCount = 0;
  std::vector<uint8_t> buf;

  int writeEntry(const std::string &name, uint64_t size, char type, const uint8_t *data) {
    uint8_t h[TAR_BLOCK];
    // A fixed time stamp keeps archives a pure function of their content,
    // so a backup made with --share 1 is byte for byte its base.
    if (encodeTarHeader(h, name, size, type, kEntryTime) != 0) return -1;
    files.push_back({name, size, out.written()});
    if (out.write(h, sizeof h) != 0) return -1;
    if (size && out.write(data, size) != 0) return -1;
    static const uint8_t zeros[TAR_BLOCK] = {};
    return out.write(zeros, tarPadding(size));
  }

  // A new file of generated (or all-zero) content.
  int newFile() {
    uint64_t size;
    bool zero = rng.unit() < o.zero;
    if (zero)
      size = o.unit;  // equal size, so zero files share one block
    else
      size = 1 + rng.below(2 * o.fileSize);
    if (buf.size() < size) buf.resize(size);
    if (zero)
      memset(buf.data(), 0, size);
    else
      fillData(rng, o.compressible, buf.data(), size);
    char name[100];
    snprintf(name, sizeof name, "data/b%lu/f%06d.dat", static_cast<unsigned long>(backupNo), fileCount++);
    newWritten += size;
    return writeEntry(name, size, '0', buf.data());
  }

  int newFilesUpTo(uint64_t target) {
    while (newWritten < target)
      if (newFile() != 0) return -1;
    return 0;
  }

  // Counts the regular-file bytes of the base's tar stream.
  static int64_t baseContentBytes(const std::string &path, uint64_t properties) {
    ArchiveReader r;
    if (r.open(path, properties) != 0) return -1;
    int64_t total = 0;
    uint8_t h[TAR_BLOCK];
    std::vector<uint8_t> skip(65536);
    for (;;) {
      if (r.readFull(h, TAR_BLOCK) != ssize_t(TAR_BLOCK) || !is_tar(reinterpret_cast<char *>(h))) break;
      uint64_t size = tarHeaderSize(h), left = size + tarPadding(size);
      if (h[156] == '0' || h[156] == 0) total += int64_t(size);
      while (left) {
        size_t k = left < skip.size() ? size_t(left) : skip.size();
        if (r.readFull(skip.data(), k) != ssize_t(k)) return total;
        left -= k;
      }
    }
    return total;
  }

  int tar(Base *base, double share) {
    if (writeEntry("data/", 0, '5', nullptr) != 0) return -1;
    // Without a base (the first backup of a chain) nothing can be shared:
    // the whole size is new content, whatever --share says.
    if (!base || !base->open) share = 0;
    double sharedTarget = share * double(o.size);
    uint64_t newTarget = uint64_t(double(o.size) - sharedTarget);
    if (base && base->open && sharedTarget > 0) {
      int64_t baseBytes = baseContentBytes(base->path, base->info.properties);
      double p = baseBytes > 0 ? std::min(1.0, sharedTarget / double(baseBytes)) : 0;
      if (share >= 1) {
        // Everything the base holds, whatever its size.
        p = 1;
        sharedTarget = 1e300;
      }
      double shared = 0;
      uint8_t h[TAR_BLOCK];
      for (;;) {
        if (base->reader.readFull(h, TAR_BLOCK) != ssize_t(TAR_BLOCK) || !is_tar(reinterpret_cast<char *>(h))) break;
        uint64_t size = tarHeaderSize(h);
        bool regular = (h[156] == '0' || h[156] == 0) && size > 0;
        bool take = regular && shared < sharedTarget && rng.unit() < p;
        if (buf.size() < size + tarPadding(size)) buf.resize(size + tarPadding(size));
        if (base->reader.readFull(buf.data(), size + tarPadding(size)) != ssize_t(size + tarPadding(size))) break;
        if (!take) continue;
        char name[101] = {};
        memcpy(name, h, 100);
        if (writeEntry(name, size, '0', buf.data()) != 0) return -1;
        shared += double(size);
        if (newTarget && newFilesUpTo(uint64_t(double(newTarget) * std::min(1.0, shared / sharedTarget))) != 0)
          return -1;
      }
    }
    if (newFilesUpTo(newTarget) != 0) return -1;
    static const uint8_t end[2 * TAR_BLOCK] = {};
    return out.write(end, sizeof end);
  }

  int image(Base *base, double share) {
    uint64_t size = (o.size + TAR_BLOCK - 1) / TAR_BLOCK * TAR_BLOCK;
    std::vector<uint8_t> unit(o.unit), fromBase(o.unit);
    for (uint64_t at = 0; at < size; at += o.unit) {
      size_t n = size - at < o.unit ? size_t(size - at) : size_t(o.unit);
      ssize_t got = 0;
      if (base && base->open) got = base->reader.readFull(fromBase.data(), n);
      double roll = rng.unit();
      if (got == ssize_t(n) && roll < share) {
        memcpy(unit.data(), fromBase.data(), n);
      } else if (rng.unit() < o.zero) {
        memset(unit.data(), 0, n);
      } else {
        fillData(rng, o.compressible, unit.data(), n);
      }
      if (out.write(unit.data(), n) != 0) return -1;
    }
    return 0;
  }
};

// ---- One backup ------------------------------------------------------------------------

struct Made {
  uint64_t backupNo;
  uint64_t decodedSize;
};

int makeBackup(const Options &o, long nodeNo, long instanceId, int level, long long startTime, uint64_t baseNo,
               double share, Made *made) {
  uint32_t type = o.type >= 0 ? uint32_t(o.type) : level == 0 ? o.app->full : level == 1 ? o.app->diff : o.app->incr;
  if (type == 0) {
    LOG(0, "Application %s has no differential backups", o.app->name);
    return -1;
  }
  uint64_t properties = o.properties | o.app->properties;
  if (o.format == ArchiveFormat::Gzip) properties |= PROP_GZIP;
  if (o.format == ArchiveFormat::Lz4) properties |= PROP_LZ4;
  if (o.format == ArchiveFormat::Encrypted) properties |= PROP_ENCRYPTED;

  PgResultPtr r(pgQuery("INSERT INTO vx.backups (node_no, instance_id, properties, type, start_time, tape_no, "
                        "server_name, operator_name, status, sync_status, x_command_short, elapsed_time, pid) "
                        "VALUES (%ld, %ld, %lu, %lu, %lld, 0, %s, 'mkbackup', %lu, %ld, %s, 60, %d) "
                        "RETURNING backup_no",
                        nodeNo, instanceId, static_cast<unsigned long>(properties), static_cast<unsigned long>(type),
                        startTime, "appliance", static_cast<unsigned long>(STATUS_IN_PROGRESS), o.sync,
                        "mkbackup", int(getpid())));
  if (!r || pgTuples(r.get()) < 1) return -1;
  uint64_t backupNo = pgULVal(r.get(), 0, "backup_no");

  std::string path = o.dir + "/backup_" + std::to_string(backupNo) +
                     (o.format == ArchiveFormat::Gzip || o.format == ArchiveFormat::Lz4 ? ".gz" : "");
  Base base;
  if (baseNo && share > 0 && openBase(baseNo, &base) != 0) return -1;

  ArchiveWriter writer;
  bool image = o.content >= 0 ? o.content == 1 : o.app->image;
  Generator gen{o, Rng(mixSeed(o.seed, backupNo)), writer, backupNo, {}, 0, 0, {}};
  int rc = writer.open(path, o.format);
  if (rc == 0) rc = image ? gen.image(&base, share) : gen.tar(&base, share);
  if (writer.close() != 0) rc = -1;
  if (rc != 0) {
    unlink(path.c_str());
    PgResultPtr d(pgQuery("DELETE FROM vx.backups WHERE backup_no = %lu", static_cast<unsigned long>(backupNo)));
    return -1;
  }
  uint64_t megs = o.megs >= 0 ? uint64_t(o.megs) : (writer.written() + 1048575) / 1048576;

  PgResultPtr f(pgQuery("INSERT INTO vx.filesets (backup_no, tape_drive_name, start_time, server_name, total_megs, "
                        "fileset_megs, is_encrypted, is_compressed) VALUES (%lu, %s, %lld, 'appliance', %lu, %lu, %s, "
                        "%s) RETURNING fileset_no",
                        static_cast<unsigned long>(backupNo), o.device.c_str(), startTime,
                        static_cast<unsigned long>(megs), static_cast<unsigned long>(megs),
                        o.format == ArchiveFormat::Encrypted ? "true" : "false",
                        o.format == ArchiveFormat::Gzip || o.format == ArchiveFormat::Lz4 ? "true" : "false"));
  if (!f || pgTuples(f.get()) < 1) return -1;
  long filesetNo = pgLVal(f.get(), 0, "fileset_no");
  for (const TarFile &t : gen.files) {
    PgResultPtr bf(pgQuery("INSERT INTO vx.backup_files (backup_no, fname, size, blk_offset) VALUES (%lu, %s, %lu, %lu)",
                           static_cast<unsigned long>(backupNo), t.name.c_str(), static_cast<unsigned long>(t.size),
                           static_cast<unsigned long>(t.headerOffset / TAR_BLOCK)));
    if (!bf) return -1;
  }
  if (o.app->appId == 4) {
    char change[64];
    snprintf(change, sizeof change, "52 %016lx/%lu", static_cast<unsigned long>(mixSeed(o.seed, backupNo)),
             static_cast<unsigned long>(backupNo));
    PgResultPtr v(pgQuery("INSERT INTO vx.vmware_snapshots (backup_no, change_id) VALUES (%lu, %s)",
                          static_cast<unsigned long>(backupNo), change));
    PgResultPtr w(pgQuery("INSERT INTO vx.vmware_hardware_hashes (backup_no, hardware_hash) VALUES (%lu, %s)",
                          static_cast<unsigned long>(backupNo), "hw-0001"));
    if (!v || !w) return -1;
  }
  if (properties & PROP_LEGACY_SQL) {
    PgResultPtr s(pgQuery("INSERT INTO vx.sql_backups (sql_ref, node_no, sql_type, server_instance_name, "
                          "database_name) VALUES (%lu, %ld, %d, %s, 'db1')",
                          static_cast<unsigned long>(backupNo), nodeNo, level + 1,
                          o.instanceKey.empty() ? o.app->defaultKey : o.instanceKey.c_str()));
    if (!s) return -1;
  }
  if (o.snapshot) {
    PgResultPtr s(pgQuery("INSERT INTO vx.backup_snapshots (backup_no, snapshot_time) VALUES (%lu, %lld)",
                          static_cast<unsigned long>(backupNo), startTime + 30));
    if (!s) return -1;
  }
  PgResultPtr u(pgQuery("UPDATE vx.backups SET fileset_no = %ld, total_megs = %lu, total_kilo = %lu, status = %lu "
                        "WHERE backup_no = %lu",
                        filesetNo, static_cast<unsigned long>(megs),
                        static_cast<unsigned long>((writer.written() + 1023) / 1024),
                        static_cast<unsigned long>(o.status), static_cast<unsigned long>(backupNo)));
  if (!u) return -1;
  if (o.locked) {
    FILE *m = fopen(lockMarkerPath(backupNo, o.dir).c_str(), "w");
    if (!m) {
      LOG(0, "Can't create lock marker of backup %lu: %s", static_cast<unsigned long>(backupNo), strerror(errno));
      return -1;
    }
    fclose(m);
  }
  made->backupNo = backupNo;
  made->decodedSize = writer.written();
  return 0;
}

int mkdirs(const std::string &path) {
  std::string p;
  for (size_t i = 0; i <= path.size(); i++) {
    if (i == path.size() || (path[i] == '/' && i > 0)) {
      p = path.substr(0, i);
      if (mkdir(p.c_str(), 0755) != 0 && errno != EEXIST) return -1;
    }
  }
  return 0;
}

// ---- Commands on existing backups ------------------------------------------------------

int finishOrLock(const char *command, int argc, char **argv) {
  if (argc < 1) {
    usage(stderr);
    return 2;
  }
  char *end;
  unsigned long backupNo = strtoul(argv[0], &end, 10);
  if (*end || backupNo == 0) {
    fprintf(stderr, "mkbackup: bad backup number %s\n", argv[0]);
    return 2;
  }
  BackupInfo info;
  if (lookupBackup(backupNo, &info) != 0) {
    fprintf(stderr, "mkbackup: backup %lu not found\n", backupNo);
    return 1;
  }
  std::string dir = info.devNrName;
  std::string marker = lockMarkerPath(backupNo, dir);
  if (!strcmp(command, "lock")) {
    FILE *m = fopen(marker.c_str(), "w");
    if (!m) return 1;
    fclose(m);
    return 0;
  }
  if (unlink(marker.c_str()) != 0 && errno != ENOENT) return 1;
  if (!strcmp(command, "unlock")) return 0;
  uint64_t status = STATUS_SUCCESS;
  if (argc >= 3 && !strcmp(argv[1], "--status") && parseStatus(argv[2], &status) != 0) {
    usage(stderr);
    return 2;
  }
  PgResultPtr u(pgQuery("UPDATE vx.backups SET status = %lu WHERE backup_no = %lu",
                        static_cast<unsigned long>(status), backupNo));
  return u ? 0 : 1;
}

// Writes the decoded byte stream of a backup's archive to standard output,
// so scripts can compare it with what the Vault rebuilt. 0, or 1 when the
// backup or its archive cannot be read.
int catBackup(int argc, char **argv) {
  if (argc < 1) {
    usage(stderr);
    return 2;
  }
  char *end;
  unsigned long backupNo = strtoul(argv[0], &end, 10);
  BackupInfo info;
  if (*end || backupNo == 0 || lookupBackup(backupNo, &info) != 0) {
    fprintf(stderr, "mkbackup: backup %s not found\n", argv[0]);
    return 1;
  }
  std::string path = findArchive(info);
  ArchiveReader reader;
  if (path.empty() || reader.open(path, info.properties) != 0) {
    fprintf(stderr, "mkbackup: cannot open the archive of backup %lu\n", backupNo);
    return 1;
  }
  std::vector<uint8_t> buf(1 << 20);
  for (;;) {
    ssize_t n = reader.read(buf.data(), buf.size());
    if (n < 0) return 1;
    if (n == 0) break;
    if (fwrite(buf.data(), 1, static_cast<size_t>(n), stdout) != static_cast<size_t>(n)) return 1;
  }
  return fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  initStandin("mkbackup");
  if (argc >= 2 && !strcmp(argv[1], "cat")) return catBackup(argc - 2, argv + 2);
  if (argc >= 2 && (!strcmp(argv[1], "finish") || !strcmp(argv[1], "lock") || !strcmp(argv[1], "unlock")))
    return finishOrLock(argv[1], argc - 2, argv + 2);

  Options o;
  enum {
    O_DEVICE = 256, O_DIR, O_RWDIR, O_NODEDUP, O_CAPACITY, O_CLIENT, O_APP, O_INSTANCE, O_CHAIN, O_TYPE,
    O_STATUS, O_INPROGRESS, O_LOCKED, O_SYNC, O_PROPERTIES, O_START, O_INTERVAL, O_MEGS, O_SNAPSHOT, O_SIZE,
    O_CONTENT, O_FILESIZE, O_UNIT, O_SEED, O_SHARE, O_SHAREWITH, O_SHAREBASE, O_COMPRESSIBLE, O_ZERO,
    O_COMPRESS, O_ENCRYPT, O_HELP
  };
  static const option longOptions[] = {
      {"device", 1, nullptr, O_DEVICE},     {"dir", 1, nullptr, O_DIR},
      {"rw-dir", 1, nullptr, O_RWDIR},      {"no-dedup", 0, nullptr, O_NODEDUP},
      {"capacity", 1, nullptr, O_CAPACITY}, {"client", 1, nullptr, O_CLIENT},
      {"app", 1, nullptr, O_APP},           {"instance", 1, nullptr, O_INSTANCE},
      {"chain", 1, nullptr, O_CHAIN},       {"type", 1, nullptr, O_TYPE},
      {"status", 1, nullptr, O_STATUS},     {"in-progress", 0, nullptr, O_INPROGRESS},
      {"locked", 0, nullptr, O_LOCKED},     {"sync", 1, nullptr, O_SYNC},
      {"properties", 1, nullptr, O_PROPERTIES}, {"start-time", 1, nullptr, O_START},
      {"interval", 1, nullptr, O_INTERVAL}, {"megs", 1, nullptr, O_MEGS},
      {"snapshot", 0, nullptr, O_SNAPSHOT}, {"size", 1, nullptr, O_SIZE},
      {"content", 1, nullptr, O_CONTENT},   {"file-size", 1, nullptr, O_FILESIZE},
      {"unit", 1, nullptr, O_UNIT},         {"seed", 1, nullptr, O_SEED},
      {"share", 1, nullptr, O_SHARE},       {"share-with", 1, nullptr, O_SHAREWITH},
      {"share-base", 1, nullptr, O_SHAREBASE}, {"compressible", 1, nullptr, O_COMPRESSIBLE},
      {"zero", 1, nullptr, O_ZERO},         {"compress", 1, nullptr, O_COMPRESS},
      {"encrypt", 0, nullptr, O_ENCRYPT},   {"help", 0, nullptr, O_HELP},
      {nullptr, 0, nullptr, 0}};
  int c;
  bool bad = false;
  while ((c = getopt_long(argc, argv, "h", longOptions, nullptr)) != -1) {
    char *end = nullptr;
    switch (c) {
      case O_DEVICE: o.device = optarg; break;
      case O_DIR: o.dir = optarg; break;
      case O_RWDIR: o.rwDir = optarg; break;
      case O_NODEDUP: o.dedup = false; break;
      case O_CAPACITY: bad |= parseSize(optarg, &o.capacity) != 0; break;
      case O_CLIENT: o.client = optarg; break;
      case O_APP: {
        o.app = nullptr;
        for (const AppInfo &a : kApps)
          if (!strcmp(a.name, optarg)) o.app = &a;
        if (!o.app) {
          fprintf(stderr, "mkbackup: unknown application %s\n", optarg);
          return 2;
        }
        break;
      }
      case O_INSTANCE: o.instanceKey = optarg; break;
      case O_CHAIN: {
        o.chain.clear();
        std::string list = optarg;
        size_t at = 0;
        while (at <= list.size()) {
          size_t comma = list.find(',', at);
          std::string level = list.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
          if (level == "full" || level == "master") o.chain.push_back(0);
          else if (level == "diff" || level == "differential") o.chain.push_back(1);
          else if (level == "incr" || level == "incremental") o.chain.push_back(2);
          else bad = true;
          if (comma == std::string::npos) break;
          at = comma + 1;
        }
        break;
      }
      case O_TYPE: o.type = strtol(optarg, &end, 0); bad |= *end != 0; break;
      case O_STATUS: bad |= parseStatus(optarg, &o.status) != 0; break;
      case O_INPROGRESS: o.status = STATUS_IN_PROGRESS; break;
      case O_LOCKED: o.locked = true; break;
      case O_SYNC: o.sync = strtol(optarg, &end, 0); bad |= *end != 0; break;
      case O_PROPERTIES: o.properties = strtoull(optarg, &end, 0); bad |= *end != 0; break;
      case O_START: o.startTime = strtoll(optarg, &end, 0); bad |= *end != 0; break;
      case O_INTERVAL: o.interval = strtol(optarg, &end, 0); bad |= *end != 0; break;
      case O_MEGS: o.megs = strtol(optarg, &end, 0); bad |= *end != 0; break;
      case O_SNAPSHOT: o.snapshot = true; break;
      case O_SIZE: bad |= parseSize(optarg, &o.size) != 0; break;
      case O_CONTENT:
        if (!strcmp(optarg, "tar")) o.content = 0;
        else if (!strcmp(optarg, "image")) o.content = 1;
        else bad = true;
        break;
      case O_FILESIZE: bad |= parseSize(optarg, &o.fileSize) != 0 || o.fileSize == 0; break;
      case O_UNIT: bad |= parseSize(optarg, &o.unit) != 0 || o.unit < 512; break;
      case O_SEED: o.seed = strtoull(optarg, &end, 0); bad |= *end != 0; break;
      case O_SHARE: bad |= parseFraction(optarg, &o.share) != 0; break;
      case O_SHAREWITH: o.shareWith = strtoull(optarg, &end, 10); bad |= *end != 0; break;
      case O_SHAREBASE:
        if (!strcmp(optarg, "first")) o.shareFromPrevious = false;
        else if (!strcmp(optarg, "previous")) o.shareFromPrevious = true;
        else bad = true;
        break;
      case O_COMPRESSIBLE: bad |= parseFraction(optarg, &o.compressible) != 0; break;
      case O_ZERO: bad |= parseFraction(optarg, &o.zero) != 0; break;
      case O_COMPRESS:
        if (!strcmp(optarg, "gzip")) o.format = ArchiveFormat::Gzip;
        else if (!strcmp(optarg, "lz4")) o.format = ArchiveFormat::Lz4;
        else bad = true;
        break;
      case O_ENCRYPT:
        if (o.format != ArchiveFormat::Plain) bad = true;
        o.format = ArchiveFormat::Encrypted;
        break;
      case O_HELP:
      case 'h': usage(stdout); return 0;
      default: bad = true;
    }
  }
  if (bad || optind != argc || o.chain.empty()) {
    fprintf(stderr, "mkbackup: bad arguments (compression and encryption do not go together)\n");
    usage(stderr);
    return 2;
  }
  if (o.dir.empty()) {
    const char *vxdir = getenv("VXDIR");
    o.dir = vxdir && *vxdir ? std::string(vxdir) + "/backups/" + o.device : sysPath(("/backups/" + o.device).c_str());
  }
  if (o.rwDir.empty()) o.rwDir = o.dir;
  if (mkdirs(o.dir) != 0 || mkdirs(o.rwDir) != 0) {
    fprintf(stderr, "mkbackup: cannot create %s: %s\n", o.dir.c_str(), strerror(errno));
    return 1;
  }
  if (ensureDevice(o) != 0) return 1;
  long nodeNo = ensureNode(o);
  if (nodeNo < 0) return 1;
  const char *key = o.instanceKey.empty() ? o.app->defaultKey : o.instanceKey.c_str();
  long instanceId = ensureInstance(nodeNo, o.app->appId, o.app->appId == 1 && o.instanceKey.empty() ? nullptr : key);
  if (instanceId < 0) return 1;

  long long start = o.startTime >= 0 ? o.startTime : (long long)time(nullptr) - o.interval * (long long)o.chain.size();
  uint64_t first = 0, previous = 0;
  for (size_t i = 0; i < o.chain.size(); i++) {
    uint64_t baseNo = i == 0 ? o.shareWith : (o.shareFromPrevious ? previous : first);
    double share = o.share >= 0 ? o.share : (i == 0 ? (o.shareWith ? 0.5 : 0.0) : 0.5);
    Made made{};
    if (makeBackup(o, nodeNo, instanceId, o.chain[i], start + (long long)i * o.interval, baseNo, share, &made) != 0) {
      fprintf(stderr, "mkbackup: failed to make backup %zu of the chain\n", i + 1);
      return 1;
    }
    if (i == 0) first = made.backupNo;
    previous = made.backupNo;
    printf("%lu\n", static_cast<unsigned long>(made.backupNo));
    fflush(stdout);
  }
  return 0;
}
