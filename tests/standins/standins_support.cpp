// standins_support.cpp: a HaCTAR read back into its archive (see
// standins_support.h).
#include "standins_support.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "dedup/hashRead.h"
#include "dedup/hashValues.h"
#include "lib/handles.h"
#include "vaultd/hactar.h"
#include "lib/config.h"
#include "lib/logger.h"
#include "store/SIS.h"
#include "store/crypto.h"
#include "store/libCryptoDaemon.h"

FILE *openPlainHactar(const std::string &path) {
  FILE *in = fopen(path.c_str(), "rb");
  if (!in) return nullptr;
  char magic[8] = {};
  if (fread(magic, 1, sizeof magic, in) == sizeof magic && memcmp(magic, "VXHACTAR", 8) == 0) {
    rewind(in);
    return in;
  }
  rewind(in);
  std::vector<uint8_t> header(1536);
  FILE *out = tmpfile();
  CDcryptCtx ctx{};
  CDresult res{};
  bool ok = out && fread(header.data(), 1, header.size(), in) == header.size() &&
            CDlibInitCryptWithToken(header.data(), int(header.size()), &ctx, &res) == 0;
  std::vector<uint8_t> cipher(kCDUnitSize * 1024), plain(cipher.size());
  size_t n;
  while (ok && (n = fread(cipher.data(), 1, cipher.size(), in)) > 0) {
    ctx.nextDataInPtr = cipher.data();
    ctx.dataInBytes = int32_t(n);
    ctx.nextDataOutPtr = plain.data();
    ctx.dataOutBytes = int32_t(plain.size());
    ok = CDlibCrypt(CD_OP_DECRYPT, &ctx, &res) == 0 && ctx.dataInBytes == 0 &&
         fwrite(plain.data(), 1, n, out) == n;
    if (!ok) fprintf(stderr, "HaCTAR decryption failed: %.64s (left %d)\n", res.message, ctx.dataInBytes);
  }
  if (ctx.cdlibData) CDlibReleaseCtx(&ctx);
  fclose(in);
  if (!ok) {
    if (out) fclose(out);
    return nullptr;
  }
  rewind(out);
  return out;
}

std::string rebuildFromHactar(
    const std::string &path, size_t *blocks, std::string *error,
    const std::function<std::string(hashedContentsPrivate **, const HashValue &)> &readBlock) {
  UniqueFile f(openPlainHactar(path));
  if (!f) {
    *error = "no readable HaCTAR at " + path;
    return "";
  }
  hactar::Reader reader;
  if (reader.open(f.get()) != 0) {
    *error = reader.error;
    return "";
  }
  hashedContentsPrivate *priv = nullptr;
  std::string out;
  *blocks = 0;
  hactar::Record rec;
  int rc;
  while ((rc = reader.next(&rec)) == 1) {
    if (rec.tag == hactar::kTagLiteral) {
      std::string lit(rec.length, '\0');
      if (reader.readLiteral(lit.data(), lit.size()) != long(lit.size())) break;
      out += lit;
      continue;
    }
    HashValue v;
    memset(&v, 0, sizeof v);
    memcpy(v.hashType, rec.hashType, 8);
    v.hashedLength = rec.length;
    memcpy(v.hashValue, rec.hashValue, 64);
    v.flags = hashValue_in;
    out += readBlock(&priv, v);
    (*blocks)++;
  }
  if (rc != 0) *error = reader.error.empty() ? "bad record" : reader.error;
  closeHashedContents(&priv);
  return out;
}
