// state.cpp: the blocks and backups held by the Vault stand-in, and their
// persistence in the state directory (layout in state.h).
#include "vaultd/state.h"

#include <dirent.h>
#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>

#include "lib/handles.h"
#include "vaultd/hactar.h"
#include "vaultd/vdlog.h"

VaultState g_vault;

namespace {

// Serialises calls of the import function: the catalogue helper keeps one
// set of connections per process and is not made for concurrent use.
std::mutex g_importLock;

constexpr size_t kRefRecordSize = 88;
static_assert(kRefRecordSize == 8 + 8 + 8 + 64, "refs record: offset, type, length, hash");

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string hexUpper(const uint8_t *p, size_t n) {
  static const char *d = "0123456789ABCDEF";
  std::string s(n * 2, '0');
  for (size_t i = 0; i < n; i++) {
    s[2 * i] = d[p[i] >> 4];
    s[2 * i + 1] = d[p[i] & 15];
  }
  return s;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

constexpr size_t kIndexRecordSize = 96;
static_assert(kIndexRecordSize == 8 + 8 + 64 + 8 + 8, "index record: type, length, hash, pack, offset");
// A pack that has grown past this is closed rather than appended to again.
constexpr uint64_t kPackRollover = uint64_t(1) << 30;

std::string packPath(uint64_t number) { return g_vault.dir + "/blocks/pack-" + std::to_string(number); }
std::string indexPath() { return g_vault.dir + "/blocks/index"; }

std::string backupDir(long number) {
  return g_vault.dir + "/backups/" + std::to_string(number);
}

int writeFileAtomic(const std::string &path, const std::string &data) {
  std::string tmp = path + ".tmp";
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    VDLOG(0, "cannot create %s: %s", tmp.c_str(), strerror(errno));
    return -1;
  }
  size_t off = 0;
  while (off < data.size()) {
    ssize_t w = ::write(fd, data.data() + off, data.size() - off);
    if (w < 0) {
      if (errno == EINTR) continue;
      VDLOG(0, "cannot write %s: %s", tmp.c_str(), strerror(errno));
      close(fd);
      unlink(tmp.c_str());
      return -1;
    }
    off += static_cast<size_t>(w);
  }
  close(fd);
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    VDLOG(0, "cannot rename %s: %s", tmp.c_str(), strerror(errno));
    unlink(tmp.c_str());
    return -1;
  }
  return 0;
}

int readFile(const std::string &path, std::string *out) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return -1;
  char buf[65536];
  size_t n;
  out->clear();
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  fclose(f);
  return 0;
}

// Keeps newlines out of one-line values of the info file.
std::string oneLine(const std::string &s) {
  std::string r = s;
  for (char &c : r)
    if (c == '\n' || c == '\r' || c == '\0') c = ' ';
  return r;
}

// Caller holds g_vault.lock.
int saveBackupLocked(const VaultBackup &b) {
  char buf[1024];
  snprintf(buf, sizeof buf,
           "number %ld\nstart_time %" PRIu64 "\ntype %" PRIu64 "\nstatus %" PRIu64
           "\nproperties %" PRIu64 "\nreserve_size %" PRIu64 "\nhactar %d\narchive_length %" PRIu64
           "\n",
           b.number, b.startTime, b.type, b.status, b.properties, b.reserveSize,
           b.hactarReceived ? 1 : 0, b.archiveLength);
  std::string text = buf;
  text += "ubi " + oneLine(b.ubi) + "\n";
  text += "instance " + oneLine(b.instance) + "\n";
  text += "source " + oneLine(b.source) + "\n";
  text += "end_message " + oneLine(b.endMessage) + "\n";
  return writeFileAtomic(backupDir(b.number) + "/info", text);
}

int saveNextNumberLocked() {
  return writeFileAtomic(g_vault.dir + "/next_number", std::to_string(g_vault.nextNumber) + "\n");
}

// Caller holds g_vault.lock. Returns the id of a block, adding it unheld.
uint32_t internLocked(const BlockKey &key) {
  auto it = g_vault.ids.find(key);
  if (it != g_vault.ids.end()) return it->second;
  uint32_t id = static_cast<uint32_t>(g_vault.blocks.size());
  g_vault.blocks.push_back(key);
  g_vault.held.push_back(0);
  g_vault.places.emplace_back();
  g_vault.ids.emplace(key, id);
  return id;
}

// Caller holds g_vault.lock.
void markHeldLocked(uint32_t id) {
  if (g_vault.held[id]) return;
  g_vault.held[id] = 1;
  auto w = g_vault.waiting.find(id);
  if (w == g_vault.waiting.end()) return;
  for (const auto &[number, offset] : w->second) {
    auto b = g_vault.backups.find(number);
    if (b == g_vault.backups.end()) continue;
    auto r = b->second.refs.find(offset);
    // A reference replaced since it was queued counts for its new block.
    if (r != b->second.refs.end() && r->second == id) b->second.heldRefs++;
  }
  g_vault.waiting.erase(w);
}

// Caller holds g_vault.lock. Records (offset -> block) for a backup in
// memory; true when it changed anything.
bool addReferenceLocked(VaultBackup &b, uint64_t offset, const BlockKey &key) {
  uint32_t id = internLocked(key);
  auto it = b.refs.find(offset);
  if (it != b.refs.end()) {
    if (it->second == id) return false;
    if (g_vault.held[it->second]) b.heldRefs--;
    it->second = id;
  } else {
    b.refs.emplace(offset, id);
  }
  if (g_vault.held[id])
    b.heldRefs++;
  else
    g_vault.waiting[id].emplace_back(b.number, offset);
  return true;
}

void encodeRef(uint8_t *p, uint64_t offset, const BlockKey &key) {
  hactar::encodeFixed64(p, offset);
  memcpy(p + 8, key.hashType, 8);
  hactar::encodeFixed64(p + 16, key.hashedLength);
  memcpy(p + 24, key.hashValue, 64);
}

void decodeRef(const uint8_t *p, uint64_t *offset, BlockKey *key) {
  *offset = hactar::decodeFixed64(p);
  memcpy(key->hashType, p + 8, 8);
  key->hashedLength = hactar::decodeFixed64(p + 16);
  memcpy(key->hashValue, p + 24, 64);
}

int appendRefs(long number, const std::string &records) {
  if (records.empty()) return 0;
  std::string path = backupDir(number) + "/refs";
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (fd < 0) {
    VDLOG(0, "cannot open %s: %s", path.c_str(), strerror(errno));
    return -1;
  }
  ssize_t w = ::write(fd, records.data(), records.size());
  close(fd);
  if (w != static_cast<ssize_t>(records.size())) {
    VDLOG(0, "cannot append to %s", path.c_str());
    return -1;
  }
  return 0;
}

int makeDir(const std::string &path) {
  if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
    VDLOG(0, "cannot create directory %s: %s", path.c_str(), strerror(errno));
    return -1;
  }
  return 0;
}

std::vector<std::string> listDir(const std::string &path) {
  std::vector<std::string> names;
  DIR *d = opendir(path.c_str());
  if (!d) return names;
  while (struct dirent *e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    names.emplace_back(e->d_name);
  }
  closedir(d);
  return names;
}

int loadBackup(long number) {
  std::string text;
  if (readFile(backupDir(number) + "/info", &text) < 0) {
    VDLOG(0, "backup %ld has no info file, ignored", number);
    return -1;
  }
  VaultBackup b;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(pos, nl - pos);
    pos = nl + 1;
    size_t sp = line.find(' ');
    std::string k = line.substr(0, sp);
    std::string v = sp == std::string::npos ? "" : line.substr(sp + 1);
    uint64_t u = strtoull(v.c_str(), nullptr, 10);
    if (k == "start_time") b.startTime = u;
    else if (k == "type") b.type = u;
    else if (k == "status") b.status = u;
    else if (k == "properties") b.properties = u;
    else if (k == "reserve_size") b.reserveSize = u;
    else if (k == "hactar") b.hactarReceived = u != 0;
    else if (k == "archive_length") b.archiveLength = u;
    else if (k == "ubi") b.ubi = v;
    else if (k == "instance") b.instance = v;
    else if (k == "source") b.source = v;
    else if (k == "end_message") b.endMessage = v;
  }
  b.number = number;
  VaultBackup &stored = g_vault.backups[number] = std::move(b);
  std::string refs;
  if (readFile(backupDir(number) + "/refs", &refs) == 0) {
    // A torn last record (crash mid-append) is ignored.
    for (size_t off = 0; off + kRefRecordSize <= refs.size(); off += kRefRecordSize) {
      uint64_t fileOffset;
      BlockKey key;
      decodeRef(reinterpret_cast<const uint8_t *>(refs.data()) + off, &fileOffset, &key);
      addReferenceLocked(stored, fileOffset, key);
    }
  }
  return 0;
}

// The text of the first child element `name` of `parent`, or false.
bool childText(xmlNode *parent, const char *name, std::string *out) {
  if (!parent) return false;
  for (xmlNode *c = parent->children; c; c = c->next) {
    if (c->type != XML_ELEMENT_NODE || xmlStrcmp(c->name, BAD_CAST name) != 0) continue;
    xmlChar *t = xmlNodeGetContent(c);
    if (!t) return false;
    *out = reinterpret_cast<const char *>(t);
    xmlFree(t);
    return true;
  }
  return false;
}

xmlNode *childElement(xmlNode *parent, const char *name) {
  if (!parent) return nullptr;
  for (xmlNode *c = parent->children; c; c = c->next)
    if (c->type == XML_ELEMENT_NODE && xmlStrcmp(c->name, BAD_CAST name) == 0) return c;
  return nullptr;
}

struct DocumentFacts {
  std::string instance, source;
  uint64_t startTime = 0, type = 0;
};

// Reads what the Vault needs from a start-backup document: the instance
// identity, start time and type (the UBI) and the source system's name.
int readDocument(const std::string &document, DocumentFacts *facts) {
  struct DocFree {
    void operator()(xmlDoc *d) const { xmlFreeDoc(d); }
  };
  std::unique_ptr<xmlDoc, DocFree> doc(
      xmlReadMemory(document.data(), static_cast<int>(document.size()), "noname.xml", nullptr,
                    XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING));
  if (!doc) {
    VDLOG(0, "start-backup: the metadata document is not XML");
    return -1;
  }
  xmlNode *root = xmlDocGetRootElement(doc.get());
  if (!root || xmlStrcmp(root->name, BAD_CAST "backup_metadata") != 0) {
    VDLOG(0, "start-backup: the document's root is not backup_metadata");
    return -1;
  }
  std::string start, type;
  if (!childText(childElement(root, "application_instances"), "instance-uuid", &facts->instance) ||
      !childText(childElement(root, "backups"), "start_time", &start) ||
      !childText(childElement(root, "backups"), "type", &type)) {
    VDLOG(0, "start-backup: the document lacks instance-uuid, start_time or type");
    return -1;
  }
  childText(childElement(root, "systems"), "name", &facts->source);
  char *end = nullptr;
  facts->startTime = strtoull(start.c_str(), &end, 10);
  if (start.empty() || *end) {
    VDLOG(0, "start-backup: bad start_time \"%s\"", start.c_str());
    return -1;
  }
  facts->type = strtoull(type.c_str(), &end, 10);
  if (type.empty() || *end) {
    VDLOG(0, "start-backup: bad type \"%s\"", type.c_str());
    return -1;
  }
  facts->instance = lower(facts->instance);
  return 0;
}

// Whether a backup of this type belongs to a group whose order matters:
// type mask 0x140F, but not bare-metal (1024) or SQL (4).
bool orderedType(uint64_t type) { return (type & 0x140F) != 0 && type != 1024 && type != 4; }

VaultBackup *newestByIdentityLocked(const std::string &ubi) {
  std::string want = lower(ubi);
  for (auto it = g_vault.backups.rbegin(); it != g_vault.backups.rend(); ++it)
    if (it->second.ubi == want) return &it->second;
  return nullptr;
}

// Caller holds g_vault.lock. Reads blocks/index: every record whose data
// lies wholly in its pack makes its block held. Packs get numbers above
// every pack present. Unless read-only, a torn last record is cut off and
// the index opened for appending.
int loadIndexLocked(bool readOnly) {
  std::map<uint64_t, uint64_t> packSize;
  for (const std::string &n : listDir(g_vault.dir + "/blocks")) {
    if (n.compare(0, 5, "pack-") != 0) continue;
    char *end = nullptr;
    uint64_t number = strtoull(n.c_str() + 5, &end, 10);
    struct stat st;
    if (*end || number == 0 || stat(packPath(number).c_str(), &st) != 0) continue;
    packSize[number] = static_cast<uint64_t>(st.st_size);
    g_vault.nextPack = std::max(g_vault.nextPack, number + 1);
  }
  std::string index;
  readFile(indexPath(), &index);
  size_t whole = index.size() - index.size() % kIndexRecordSize;
  size_t ignored = 0;
  for (size_t at = 0; at < whole; at += kIndexRecordSize) {
    const uint8_t *r = reinterpret_cast<const uint8_t *>(index.data() + at);
    BlockKey key;
    memcpy(key.hashType, r, 8);
    key.hashedLength = hactar::decodeFixed64(r + 8);
    memcpy(key.hashValue, r + 16, 64);
    BlockPlace place{hactar::decodeFixed64(r + 80), hactar::decodeFixed64(r + 88)};
    auto size = packSize.find(place.pack);
    if (size == packSize.end() || place.offset > size->second ||
        key.hashedLength > size->second - place.offset) {
      ignored++;
      continue;
    }
    uint32_t id = internLocked(key);
    g_vault.held[id] = 1;
    g_vault.places[id] = place;
  }
  if (ignored) VDLOG(1, "%zu index records refer to data no pack holds; ignored", ignored);
  if (readOnly) return 0;
  if (whole != index.size() && truncate(indexPath().c_str(), static_cast<off_t>(whole)) != 0) {
    VDLOG(0, "cannot cut the torn record off %s: %s", indexPath().c_str(), strerror(errno));
    return -1;
  }
  if (g_vault.indexFd >= 0) close(g_vault.indexFd);
  g_vault.indexFd = open(indexPath().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (g_vault.indexFd < 0) {
    VDLOG(0, "cannot open %s: %s", indexPath().c_str(), strerror(errno));
    return -1;
  }
  return 0;
}

// A pack to append to: an idle one, or a new one. 0 or -1 (errno set).
int acquirePack(PackFile *pack) {
  std::lock_guard<std::mutex> g(g_vault.lock);
  if (!g_vault.idlePacks.empty()) {
    *pack = g_vault.idlePacks.back();
    g_vault.idlePacks.pop_back();
    return 0;
  }
  uint64_t number = g_vault.nextPack++;
  int fd = open(packPath(number).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  *pack = PackFile{number, fd, 0};
  return 0;
}

// Gives a pack back to the pool, or closes it once it is large.
void releasePack(PackFile *pack) {
  if (pack->fd < 0) return;
  if (pack->length >= kPackRollover) {
    close(pack->fd);
  } else {
    std::lock_guard<std::mutex> g(g_vault.lock);
    g_vault.idlePacks.push_back(*pack);
  }
  pack->fd = -1;
}

}  // namespace

bool BlockKey::operator==(const BlockKey &o) const {
  return hashedLength == o.hashedLength && memcmp(hashType, o.hashType, 8) == 0 &&
         memcmp(hashValue, o.hashValue, 64) == 0;
}

size_t BlockKeyHash::operator()(const BlockKey &k) const {
  // The hash value is already uniformly distributed.
  uint64_t h;
  memcpy(&h, k.hashValue, 8);
  return static_cast<size_t>(h ^ k.hashedLength);
}

std::string blockKeyName(const BlockKey &key) {
  char type[9] = {};
  memcpy(type, key.hashType, 8);
  return "b-" + std::string(type) + "-" + std::to_string(key.hashedLength) + "-" +
         hexUpper(key.hashValue, 64);
}

int parseBlockKeyName(const char *name, BlockKey *key) {
  *key = BlockKey{};
  if (strncmp(name, "b-", 2) != 0) return -1;
  const char *p = name + 2;
  const char *dash = strchr(p, '-');
  if (!dash || dash == p || dash - p > 8) return -1;
  memcpy(key->hashType, p, static_cast<size_t>(dash - p));
  p = dash + 1;
  if (*p < '0' || *p > '9') return -1;
  char *end = nullptr;
  errno = 0;
  key->hashedLength = strtoull(p, &end, 10);
  if (errno || *end != '-') return -1;
  p = end + 1;
  if (strlen(p) != 128) return -1;
  for (int i = 0; i < 64; i++) {
    int hi = hexValue(p[2 * i]), lo = hexValue(p[2 * i + 1]);
    if (hi < 0 || lo < 0) return -1;
    key->hashValue[i] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return 0;
}

std::string vaultTempPath() {
  std::lock_guard<std::mutex> g(g_vault.lock);
  return g_vault.dir + "/tmp/" + std::to_string(getpid()) + "." +
         std::to_string(++g_vault.tmpSerial);
}

int vaultOpen(const char *dir, long firstNumber, bool readOnly) {
  std::lock_guard<std::mutex> g(g_vault.lock);
  g_vault.dir = dir;
  if (readOnly) {
    struct stat st;
    if (stat((g_vault.dir + "/backups").c_str(), &st) != 0) {
      VDLOG(0, "%s is not a vaultd state directory", dir);
      return -1;
    }
  } else {
    if (makeDir(g_vault.dir) < 0 || makeDir(g_vault.dir + "/blocks") < 0 ||
        makeDir(g_vault.dir + "/backups") < 0 || makeDir(g_vault.dir + "/tmp") < 0)
      return -1;
    // Left over from uploads cut short by a stop.
    for (const std::string &n : listDir(g_vault.dir + "/tmp"))
      unlink((g_vault.dir + "/tmp/" + n).c_str());
  }
  if (loadIndexLocked(readOnly) < 0) return -1;
  long maxNumber = 0;
  for (const std::string &n : listDir(g_vault.dir + "/backups")) {
    char *end = nullptr;
    long number = strtol(n.c_str(), &end, 10);
    if (*end || number < 1) continue;
    if (loadBackup(number) == 0 && number > maxNumber) maxNumber = number;
  }
  std::string next;
  long stored = 0;
  if (readFile(g_vault.dir + "/next_number", &next) == 0) stored = strtol(next.c_str(), nullptr, 10);
  g_vault.nextNumber = std::max({firstNumber, stored, maxNumber + 1});
  VDLOG(1, "state %s: %zu blocks, %zu backups, next backup number %ld", dir,
        g_vault.blocks.size(), g_vault.backups.size(), g_vault.nextNumber);
  return 0;
}

int vaultStartBackup(const std::string &document, uint64_t reserveSize, bool force, long *number) {
  DocumentFacts facts;
  if (readDocument(document, &facts) < 0) return -6;
  long assigned = 0;
  if (g_vault.importFn) {
    std::lock_guard<std::mutex> ig(g_importLock);
    long imported = 0;
    std::string text = document;  // the import wants a NUL-terminated text
    if (g_vault.importFn(text.c_str(), g_vault.importDevice, &imported, force ? 1 : 0) != 0) {
      VDLOG(0, "start-backup: catalogue import failed (%s)",
            imported == -1 ? "out of order" : "refused");
      return imported == -1 ? -5 : -6;
    }
    assigned = imported;
  }
  std::lock_guard<std::mutex> g(g_vault.lock);
  if (!g_vault.importFn) {
    if (g_vault.orderCheck) {
      std::vector<VaultBackup *> later;
      for (auto &[n, b] : g_vault.backups) {
        if (b.instance != facts.instance || b.startTime <= facts.startTime) continue;
        if (b.status & (VAULT_STATUS_FAILED | VAULT_STATUS_CANCELLED)) continue;
        if (!orderedType(b.type)) continue;
        later.push_back(&b);
      }
      if (!later.empty() && !force) {
        VDLOG(0, "start-backup: %zu later backups of instance %s exist (first %ld); out of order",
              later.size(), facts.instance.c_str(), later.front()->number);
        return -5;
      }
      for (VaultBackup *b : later) {
        VDLOG(0, "start-backup: forced; marking later backup %ld failed", b->number);
        b->status = VAULT_STATUS_FAILED;
        saveBackupLocked(*b);
      }
    }
    assigned = g_vault.nextNumber++;
    if (saveNextNumberLocked() < 0) return -6;
  } else if (assigned < 1 || g_vault.backups.count(assigned)) {
    VDLOG(0, "start-backup: import gave unusable backup number %ld", assigned);
    return -6;
  }
  VaultBackup b;
  b.number = assigned;
  b.instance = facts.instance;
  b.startTime = facts.startTime;
  b.type = facts.type;
  b.ubi = facts.instance + "_" + std::to_string(facts.startTime) + "_" + std::to_string(facts.type);
  b.status = VAULT_STATUS_BUILDING;
  b.reserveSize = reserveSize;
  b.source = facts.source;
  if (makeDir(backupDir(assigned)) < 0 ||
      writeFileAtomic(backupDir(assigned) + "/metadata.xml", document) < 0 ||
      saveBackupLocked(b) < 0)
    return -6;
  g_vault.backups[assigned] = std::move(b);
  *number = assigned;
  VDLOG(1, "start-backup: backup %ld is %s", assigned, g_vault.backups[assigned].ubi.c_str());
  return 0;
}

long vaultCheckBackup(const std::string &ubi, long number, uint64_t *status, uint64_t *properties) {
  std::lock_guard<std::mutex> g(g_vault.lock);
  *status = *properties = 0;
  VaultBackup *b = nullptr;
  if (number > 0) {
    auto it = g_vault.backups.find(number);
    if (it == g_vault.backups.end()) return -1;
    b = &it->second;
  } else {
    b = newestByIdentityLocked(ubi);
    if (!b) return 0;
  }
  if (b->buildPolls > 0) {
    b->buildPolls--;
    *status = VAULT_STATUS_BUILDING;
    return b->number;
  }
  *status = b->status;
  *properties = b->properties;
  return b->number;
}

int vaultEndBackup(const std::string &ubi, const std::string &message) {
  std::lock_guard<std::mutex> g(g_vault.lock);
  VaultBackup *b = newestByIdentityLocked(ubi);
  if (!b) return 1;
  b->endMessage = message;
  // Only a backup still being received or built can end here; a finished
  // one (complete, failed or cancelled) keeps its outcome, so that the
  // client's failure notice after a cancelled build leaves it cancelled.
  if (b->status & (VAULT_STATUS_COMPLETE | VAULT_STATUS_FAILED | VAULT_STATUS_CANCELLED)) {
    saveBackupLocked(*b);
    return 1;
  }
  bool terminated = message.rfind("backup operation terminated", 0) == 0;
  b->status = terminated ? VAULT_STATUS_CANCELLED : VAULT_STATUS_FAILED;
  b->buildPolls = 0;
  VDLOG(1, "end-backup: backup %ld %s (%s)", b->number, terminated ? "cancelled" : "failed",
        oneLine(message).c_str());
  saveBackupLocked(*b);
  return 0;
}

int vaultCheckOffsets(long backup, const uint8_t *body, size_t n, std::string *answer) {
  answer->assign(n, '0');
  std::string records;
  std::lock_guard<std::mutex> g(g_vault.lock);
  auto it = backup > 0 ? g_vault.backups.find(backup) : g_vault.backups.end();
  for (size_t i = 0; i < n; i++) {
    const uint8_t *e = body + i * 88;
    BlockKey key;
    memcpy(key.hashType, e, 8);
    key.hashedLength = hactar::decodeFixed64(e + 8);
    memcpy(key.hashValue, e + 16, 64);
    uint64_t offset = hactar::decodeFixed64(e + 80);
    auto id = g_vault.ids.find(key);
    if (id != g_vault.ids.end() && g_vault.held[id->second]) (*answer)[i] = '1';
    if (it != g_vault.backups.end() && addReferenceLocked(it->second, offset, key)) {
      uint8_t rec[kRefRecordSize];
      encodeRef(rec, offset, key);
      records.append(reinterpret_cast<const char *>(rec), sizeof rec);
    }
  }
  if (it != g_vault.backups.end() && appendRefs(backup, records) < 0) return -1;
  return 0;
}

uint64_t vaultBlockCount(long backup) {
  std::lock_guard<std::mutex> g(g_vault.lock);
  if (backup == 0) {
    uint64_t n = 0;
    for (uint8_t h : g_vault.held) n += h;
    return n;
  }
  auto it = g_vault.backups.find(backup);
  return it == g_vault.backups.end() ? 0 : it->second.heldRefs;
}

void vaultAddReference(long backup, uint64_t offset, const BlockKey &key) {
  std::lock_guard<std::mutex> g(g_vault.lock);
  auto it = g_vault.backups.find(backup);
  if (it == g_vault.backups.end()) return;
  if (addReferenceLocked(it->second, offset, key)) {
    uint8_t rec[kRefRecordSize];
    encodeRef(rec, offset, key);
    appendRefs(backup, std::string(reinterpret_cast<const char *>(rec), sizeof rec));
  }
}

bool vaultHasBlock(const BlockKey &key) {
  std::lock_guard<std::mutex> g(g_vault.lock);
  auto id = g_vault.ids.find(key);
  return id != g_vault.ids.end() && g_vault.held[id->second];
}

BlockSink::~BlockSink() {
  abort();
  releasePack(&pack_);
}

void BlockSink::dropData() {
  if (!writing_) return;
  writing_ = false;
  if (ftruncate(pack_.fd, static_cast<off_t>(start_)) == 0) {
    pack_.length = start_;
  } else {
    // The pack cannot be cut back: leave the stray bytes unreferenced and
    // never append to this pack again.
    VDLOG(0, "cannot truncate pack %" PRIu64 ": %s", pack_.number, strerror(errno));
    close(pack_.fd);
    pack_.fd = -1;
  }
}

void BlockSink::abort() {
  active_ = false;
  dropData();
  if (md_) {
    EVP_MD_CTX_free(md_);
    md_ = nullptr;
  }
}

int BlockSink::begin(const BlockKey &key, bool discard) {
  abort();
  key_ = key;
  received_ = 0;
  discard_ = discard;
  error_.clear();
  if (strncmp(key.hashType, "sha512", 8) != 0) {
    error_ = "unsupported hash type";
    return -1;
  }
  active_ = true;
  if (g_vault.checkBlockHashes) {
    md_ = EVP_MD_CTX_new();
    if (!md_ || EVP_DigestInit_ex(md_, EVP_sha512(), nullptr) != 1) {
      error_ = "cannot start SHA-512";
      return -1;
    }
  }
  // A block already held is only checked, not written again.
  if (discard_ || vaultHasBlock(key)) return 0;
  if (pack_.fd < 0 && acquirePack(&pack_) < 0) {
    error_ = std::string("cannot create a pack: ") + strerror(errno);
    return -1;
  }
  start_ = pack_.length;
  writing_ = true;
  return 0;
}

int BlockSink::write(const uint8_t *data, size_t n) {
  received_ += n;
  if (!active_) {
    error_ = "no block in progress";
    return -1;
  }
  if (md_ && EVP_DigestUpdate(md_, data, n) != 1) {
    error_ = "hashing failed";
    return -1;
  }
  while (writing_ && n > 0) {
    ssize_t w = ::pwrite(pack_.fd, data, n, static_cast<off_t>(pack_.length));
    if (w < 0) {
      if (errno == EINTR) continue;
      error_ = std::string("cannot write block: ") + strerror(errno);
      return -1;
    }
    data += w;
    n -= static_cast<size_t>(w);
    pack_.length += static_cast<uint64_t>(w);
  }
  return 0;
}

int BlockSink::commit() {
  if (!active_) {
    if (error_.empty()) error_ = "no block in progress";
    return -1;
  }
  if (received_ != key_.hashedLength) {
    error_ = "block length " + std::to_string(received_) + " does not match its name (" +
             std::to_string(key_.hashedLength) + ")";
    abort();
    return -1;
  }
  if (md_) {
    uint8_t digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(md_, digest, &len);
    EVP_MD_CTX_free(md_);
    md_ = nullptr;
    if (len != 64 || memcmp(digest, key_.hashValue, 64) != 0) {
      error_ = "SHA-512 of the data does not match " + blockKeyName(key_);
      abort();
      return -1;
    }
  }
  active_ = false;
  if (discard_ || !writing_) return 0;
  std::lock_guard<std::mutex> g(g_vault.lock);
  uint32_t id = internLocked(key_);
  if (g_vault.held[id]) {
    dropData();  // another upload stored it meanwhile
    return 0;
  }
  uint8_t rec[kIndexRecordSize];
  memcpy(rec, key_.hashType, 8);
  hactar::encodeFixed64(rec + 8, key_.hashedLength);
  memcpy(rec + 16, key_.hashValue, 64);
  hactar::encodeFixed64(rec + 80, pack_.number);
  hactar::encodeFixed64(rec + 88, start_);
  if (::write(g_vault.indexFd, rec, sizeof rec) != static_cast<ssize_t>(sizeof rec)) {
    error_ = std::string("cannot record block: ") + strerror(errno);
    dropData();
    return -1;
  }
  writing_ = false;
  g_vault.places[id] = BlockPlace{pack_.number, start_};
  markHeldLocked(id);
  return 0;
}

int vaultReceiveHactar(long backup, const std::string &tmpPath, BuildOutcome outcome,
                       int waitPolls) {
  std::string path = backupDir(backup) + "/hactar";
  {
    std::lock_guard<std::mutex> g(g_vault.lock);
    auto it = g_vault.backups.find(backup);
    if (it == g_vault.backups.end() ||
        (it->second.status & (VAULT_STATUS_FAILED | VAULT_STATUS_CANCELLED))) {
      VDLOG(0, "HaCTAR for backup %ld refused: %s", backup,
            it == g_vault.backups.end() ? "unknown backup" : "backup failed or cancelled");
      unlink(tmpPath.c_str());
      return -1;
    }
    if (rename(tmpPath.c_str(), path.c_str()) != 0) {
      VDLOG(0, "cannot store HaCTAR of backup %ld: %s", backup, strerror(errno));
      unlink(tmpPath.c_str());
      return -1;
    }
    it->second.hactarReceived = true;
    it->second.status = VAULT_STATUS_BUILDING;
    saveBackupLocked(it->second);
  }
  // Read the HaCTAR without the lock: it can be large.
  std::vector<BlockKey> refs;
  std::string problem;
  uint64_t archiveLength = 0;
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) {
    problem = "cannot open the HaCTAR";
  } else {
    hactar::Reader reader;
    hactar::Record rec;
    int r = reader.open(f);
    // r: 0 = header read / valid end, 1 = a record, -1 = malformed.
    while (r == 0 || r == 1) {
      if ((r = reader.next(&rec)) != 1) break;
      if (rec.tag != hactar::kTagBlock) continue;
      BlockKey key;
      memcpy(key.hashType, rec.hashType, 8);
      key.hashedLength = rec.length;
      memcpy(key.hashValue, rec.hashValue, 64);
      refs.push_back(key);
    }
    if (r < 0) problem = reader.error;
    archiveLength = reader.archiveLength;
    fclose(f);
  }
  std::lock_guard<std::mutex> g(g_vault.lock);
  auto it = g_vault.backups.find(backup);
  if (it == g_vault.backups.end()) return -1;
  VaultBackup &b = it->second;
  size_t missing = 0;
  std::string firstMissing;
  for (const BlockKey &key : refs) {
    auto id = g_vault.ids.find(key);
    if (id == g_vault.ids.end() || !g_vault.held[id->second]) {
      if (!missing++) firstMissing = blockKeyName(key);
    }
  }
  if (problem.empty() && missing)
    problem = std::to_string(missing) + " referenced blocks are missing, first " + firstMissing;
  if (outcome == BuildOutcome::Fail) problem = "build failure injected";
  if (outcome == BuildOutcome::Cancel) {
    b.status = VAULT_STATUS_CANCELLED;
    VDLOG(0, "build of backup %ld cancelled (injected)", backup);
  } else if (!problem.empty()) {
    b.status = VAULT_STATUS_FAILED;
    VDLOG(0, "build of backup %ld failed: %s", backup, problem.c_str());
  } else {
    b.status = VAULT_STATUS_COMPLETE;
    b.properties = VAULT_PROPERTY_HASHED;
    b.archiveLength = archiveLength;
    VDLOG(1, "backup %ld built: %zu block references, %" PRIu64 " bytes", backup, refs.size(),
          archiveLength);
  }
  b.buildPolls = waitPolls;
  saveBackupLocked(b);
  return 0;
}

int vaultExport(long backup, const char *out) {
  std::string hactarPath;
  {
    std::lock_guard<std::mutex> g(g_vault.lock);
    auto it = g_vault.backups.find(backup);
    if (it == g_vault.backups.end()) {
      VDLOG(0, "export: no backup %ld", backup);
      return -1;
    }
    if (!(it->second.status & VAULT_STATUS_COMPLETE)) {
      VDLOG(0, "export: backup %ld is not complete (status 0x%" PRIx64 ")", backup,
            it->second.status);
      return -1;
    }
    hactarPath = backupDir(backup) + "/hactar";
  }
  FILE *in = fopen(hactarPath.c_str(), "rb");
  if (!in) {
    VDLOG(0, "export: cannot open %s", hactarPath.c_str());
    return -1;
  }
  bool toStdout = strcmp(out, "-") == 0;
  FILE *o = toStdout ? stdout : fopen(out, "wb");
  if (!o) {
    VDLOG(0, "export: cannot create %s: %s", out, strerror(errno));
    fclose(in);
    return -1;
  }
  int result = 0;
  std::map<uint64_t, UniqueFd> packs;  // pack number -> read descriptor
  hactar::Reader reader;
  hactar::Record rec;
  std::vector<uint8_t> buf(1 << 20);
  int r = reader.open(in);
  while (r == 0 || r == 1) {
    if ((r = reader.next(&rec)) != 1) break;
    if (rec.tag == hactar::kTagLiteral) {
      long n;
      while ((n = reader.readLiteral(buf.data(), buf.size())) > 0)
        if (fwrite(buf.data(), 1, static_cast<size_t>(n), o) != static_cast<size_t>(n)) n = -1;
      if (n < 0) r = -1;
      continue;
    }
    BlockKey key;
    memcpy(key.hashType, rec.hashType, 8);
    key.hashedLength = rec.length;
    memcpy(key.hashValue, rec.hashValue, 64);
    BlockPlace place;
    bool isHeld = false;
    {
      std::lock_guard<std::mutex> g(g_vault.lock);
      auto id = g_vault.ids.find(key);
      if (id != g_vault.ids.end() && g_vault.held[id->second]) {
        isHeld = true;
        place = g_vault.places[id->second];
      }
    }
    int pf = -1;
    if (isHeld) {
      auto open = packs.find(place.pack);
      if (open == packs.end())
        open = packs.emplace(place.pack, UniqueFd(::open(packPath(place.pack).c_str(), O_RDONLY | O_CLOEXEC))).first;
      pf = open->second.get();
    }
    if (pf < 0) {
      VDLOG(0, "export: block %s is missing", blockKeyName(key).c_str());
      r = -1;
      break;
    }
    uint64_t left = rec.length;
    uint64_t at = place.offset;
    while (left > 0) {
      size_t want = left < buf.size() ? static_cast<size_t>(left) : buf.size();
      ssize_t got = pread(pf, buf.data(), want, static_cast<off_t>(at));
      if (got != static_cast<ssize_t>(want) || fwrite(buf.data(), 1, want, o) != want) break;
      left -= want;
      at += want;
    }
    if (left) {
      VDLOG(0, "export: block %s could not be copied", blockKeyName(key).c_str());
      r = -1;
      break;
    }
  }
  if (r < 0) {
    if (!reader.error.empty()) VDLOG(0, "export: %s", reader.error.c_str());
    result = -1;
  }
  fclose(in);
  if (toStdout ? fflush(o) != 0 : fclose(o) != 0) result = -1;
  return result;
}

std::string vaultDescribe(long backup) {
  std::lock_guard<std::mutex> g(g_vault.lock);
  auto it = g_vault.backups.find(backup);
  if (it == g_vault.backups.end()) return "";
  const VaultBackup &b = it->second;
  char buf[1024];
  snprintf(buf, sizeof buf,
           "number %ld\nubi %s\nstatus %" PRIu64 "\nproperties %" PRIu64 "\nreserve_size %" PRIu64
           "\nhactar %d\narchive_length %" PRIu64 "\nrefs %zu\nheld_refs %" PRIu64 "\n",
           b.number, b.ubi.c_str(), b.status, b.properties, b.reserveSize,
           b.hactarReceived ? 1 : 0, b.archiveLength, b.refs.size(), b.heldRefs);
  return std::string(buf) + "end_message " + oneLine(b.endMessage) + "\n";
}
