// recipe.cpp: the appliance stand-in that writes a backup's HaCTAR.
//
// usage: recipe -b <backup>
// Exit status: 0 the HaCTAR is written; 1 failure; 2 usage.
//
// The HaCTAR is the backup's decoded archive with every hashed range
// replaced by a reference to its block (hash type, hashed length, hash
// value), in the byte layout of vaultd/hactar.h. Whoever holds the HaCTAR
// and the referenced blocks rebuilds the archive exactly. The ranges come
// from the backup's hash list in file order (either metadata generation).
// With "[recipe] VerifyBlocks" true in master.ini (the default) each
// range's bytes are read from the archive and checked against the hash, so
// a HaCTAR never refers to a block whose bytes differ from the archive;
// false trusts the index, as the appliance's own recipe builder does, and
// only passes over the ranges (a plain archive is not even read there),
// which keeps a second SHA-512 pass over the whole backup out of the
// replication's critical path. The bytes between ranges go in as literal records of at most
// 1 MiB each. The file is written next to its final name and renamed into
// place: "%s/hactar_%ld" with the dev_rw_name of the backup's device.
// The HaCTAR of an encrypted backup is itself encrypted like the backup:
// a CryptoDaemon token, then the HaCTAR in 32-byte cipher units (the last
// padded with zero bytes); rpd decrypts it while sending.
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "appliance/standin/standin.h"
#include "dedup/hashValues.h"
#include "lib/config.h"
#include "lib/ini.h"
#include "lib/logger.h"
#include "lib/pghelper.h"
#include "vaultd/hactar.h"

using namespace standin;

namespace {

constexpr size_t kLiteralMax = 1 << 20;
constexpr long kBatch = 1024;

// Copies `length` archive bytes into literal records. 0 / -1.
int copyLiteral(ArchiveReader &reader, hactar::Writer &w, uint64_t length, std::vector<uint8_t> &buf) {
  buf.resize(kLiteralMax);
  while (length > 0) {
    size_t n = length < kLiteralMax ? size_t(length) : kLiteralMax;
    ssize_t r = reader.readFull(buf.data(), n);
    if (r != ssize_t(n)) {
      LOG(0, "Archive ends at 0x%lX, before the hashed ranges do", static_cast<unsigned long>(reader.offset()));
      return -1;
    }
    if (w.addLiteral(buf.data(), n) != 0) return -1;
    length -= n;
  }
  return 0;
}

// Copies the rest of the archive as literals. 0 / -1.
int copyRest(ArchiveReader &reader, hactar::Writer &w, std::vector<uint8_t> &buf) {
  buf.resize(kLiteralMax);
  for (;;) {
    ssize_t r = reader.readFull(buf.data(), kLiteralMax);
    if (r < 0) return -1;
    if (r == 0) return 0;
    if (w.addLiteral(buf.data(), uint64_t(r)) != 0) return -1;
  }
}

// Passes over the block's range, which must lie wholly in the archive. 0 / -1.
int skipBlock(ArchiveReader &reader, const HashListEntry &e) {
  ssize_t r = reader.skip(e.value.hashedLength);
  if (r < 0) return -1;
  if (uint64_t(r) != e.value.hashedLength) {
    LOG(0, "Archive ends inside the block at 0x%lX", static_cast<unsigned long>(e.location.fileOffset));
    return -1;
  }
  return 0;
}

// Reads the block's range and checks its SHA-512 against the record. 0 / -1.
int checkBlock(ArchiveReader &reader, const HashListEntry &e, std::vector<uint8_t> &buf) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!md || EVP_DigestInit_ex(md.get(), EVP_sha512(), nullptr) != 1) return -1;
  buf.resize(kLiteralMax);
  uint64_t left = e.value.hashedLength;
  while (left > 0) {
    size_t n = left < kLiteralMax ? size_t(left) : kLiteralMax;
    if (reader.readFull(buf.data(), n) != ssize_t(n)) {
      LOG(0, "Archive ends inside the block at 0x%lX", static_cast<unsigned long>(e.location.fileOffset));
      return -1;
    }
    EVP_DigestUpdate(md.get(), buf.data(), n);
    left -= n;
  }
  uint8_t digest[64];
  unsigned len = 0;
  EVP_DigestFinal_ex(md.get(), digest, &len);
  if (memcmp(digest, e.value.hashValue, 64) != 0) {
    LOG(0, "The archive's bytes at 0x%lX do not match hash %lu", static_cast<unsigned long>(e.location.fileOffset),
        static_cast<unsigned long>(e.value.hashID));
    return -1;
  }
  return 0;
}

// Writes the plain file `from` encrypted (token and cipher units) to the new
// file `to`. 0 / -1 (logged).
int encryptFile(const std::string &from, const std::string &to) {
  FILE *in = fopen(from.c_str(), "rb");
  if (!in) {
    LOG(0, "Can't reopen %s: %s", from.c_str(), strerror(errno));
    return -1;
  }
  ArchiveWriter w;
  int rc = w.open(to, ArchiveFormat::EncryptedFile);
  std::vector<uint8_t> buf(1 << 20);
  size_t n;
  while (rc == 0 && (n = fread(buf.data(), 1, buf.size(), in)) > 0) rc = w.write(buf.data(), n);
  if (ferror(in)) rc = -1;
  fclose(in);
  if (w.close() != 0) rc = -1;
  return rc;
}

int buildHactar(uint64_t backupNo, const std::string &archive, uint64_t properties, bool verify, FILE *out) {
  ArchiveReader reader;
  if (reader.open(archive, properties) != 0) return -1;
  hactar::Writer w;
  if (w.begin(out) != 0) return -1;
  hashListHandle *list = nullptr;
  if (createHashList(&list, backupNo, nullptr, 0, 0) != 0) {
    LOG(0, "Can't list the hashes of backup %lu", static_cast<unsigned long>(backupNo));
    return -1;
  }
  std::vector<HashListEntry> batch(kBatch);
  std::vector<uint8_t> buf;
  int rc = 0;
  uint64_t blocks = 0;
  for (;;) {
    long n = getHashesFromList(&list, batch.data(), kBatch);
    if (n < 0) {
      rc = -1;
      break;
    }
    if (n == 0) break;
    for (long i = 0; i < n && rc == 0; i++) {
      const HashListEntry &e = batch[size_t(i)];
      if (!(e.value.flags & (hashValue_in | hashValue_out)) || strncmp(e.value.hashType, "sha512", 8) != 0) {
        LOG(0, "Hash %lu of backup %lu has no usable value", static_cast<unsigned long>(e.value.hashID),
            static_cast<unsigned long>(backupNo));
        rc = -1;
        break;
      }
      if (e.location.fileOffset < reader.offset()) {
        LOG(0, "Hashed ranges overlap or are out of order at 0x%lX", static_cast<unsigned long>(e.location.fileOffset));
        rc = -1;
        break;
      }
      if (copyLiteral(reader, w, e.location.fileOffset - reader.offset(), buf) != 0 ||
          (verify ? checkBlock(reader, e, buf) : skipBlock(reader, e)) != 0 ||
          w.addBlock("sha512", e.value.hashedLength, e.value.hashValue) != 0) {
        rc = -1;
        break;
      }
      blocks++;
    }
    if (rc != 0) break;
  }
  destroyHashList(&list);
  if (rc == 0) rc = copyRest(reader, w, buf);
  if (rc == 0) rc = w.finish();
  if (w.failed) LOG(0, "HaCTAR: %s", w.error.c_str());
  if (rc == 0)
    LOG(1, "HaCTAR of backup %lu: %lu bytes, %lu blocks", static_cast<unsigned long>(backupNo),
        static_cast<unsigned long>(w.archiveLength), static_cast<unsigned long>(blocks));
  return rc;
}

}  // namespace

int main(int argc, char **argv) {
  initStandin("recipe");
  uint64_t backupNo = 0;
  int c;
  while ((c = getopt(argc, argv, "b:")) != -1) {
    char *end = nullptr;
    if (c != 'b') {
      fprintf(stderr, "usage: recipe -b <backup>\n");
      return 2;
    }
    backupNo = strtoull(optarg, &end, 10);
    if (*end) backupNo = 0;
  }
  if (backupNo == 0 || optind != argc) {
    fprintf(stderr, "usage: recipe -b <backup>\n");
    return 2;
  }
  BackupInfo info;
  if (lookupBackup(backupNo, &info) != 0) {
    LOG(0, "Backup %lu not found", static_cast<unsigned long>(backupNo));
    return 1;
  }
  std::string archive = findArchive(info);
  if (archive.empty()) {
    LOG(0, "No archive file for backup %lu", static_cast<unsigned long>(backupNo));
    return 1;
  }
  PgResultPtr r(pgQuery("SELECT dev_rw_name FROM vx.devices WHERE dev_name=(SELECT tape_drive_name FROM vx.filesets  "
                        "WHERE fileset_no=(SELECT fileset_no FROM vx.backups WHERE backup_no=%ld))",
                        long(backupNo)));
  if (!r || pgTuples(r.get()) < 1) {
    LOG(0, "No device for backup %lu", static_cast<unsigned long>(backupNo));
    return 1;
  }
  char path[1024];
  int n = snprintf(path, sizeof path, "%s/hactar_%ld", pgSVal(r.get(), 0, "dev_rw_name"), long(backupNo));
  if (n < 0 || size_t(n) + 5 >= sizeof path) {
    LOG(0, "Query too long for buffer");
    return 1;
  }
  std::string temp = std::string(path) + ".new";
  FILE *out = fopen(temp.c_str(), "wb");
  if (!out) {
    LOG(0, "Can't create %s: %s", temp.c_str(), strerror(errno));
    return 1;
  }
  uint8_t verify = 1;
  iniGetBool("recipe", "VerifyBlocks", 1, &verify, g_master_ini);
  // No fsync: the HaCTAR lives only while the worker sends it, and a crash
  // in between replicates the backup again with a new one. On ext4 an
  // fsync would also force out every other dirty page of the file system.
  int rc = buildHactar(backupNo, archive, info.properties, verify != 0, out);
  if (fclose(out) != 0) rc = -1;
  std::string finished = temp;
  if (rc == 0 && (info.properties & PROP_ENCRYPTED)) {
    finished = std::string(path) + ".enc";
    unlink(finished.c_str());
    rc = encryptFile(temp, finished);
    unlink(temp.c_str());
  }
  if (rc != 0 || rename(finished.c_str(), path) != 0) {
    LOG(0, "Failed to write the HaCTAR of backup %lu", static_cast<unsigned long>(backupNo));
    unlink(finished.c_str());
    return 1;
  }
  return 0;
}
