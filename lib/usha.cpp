// usha.cpp: the RFC 6234 USHA interface over OpenSSL EVP digests.
#include "lib/usha.h"

#include <openssl/evp.h>

#include "lib/logger.h"

namespace {

const EVP_MD *digestOf(int whichSha) {
  switch (whichSha) {
    case SHA1: return EVP_sha1();
    case SHA224: return EVP_sha224();
    case SHA256: return EVP_sha256();
    case SHA384: return EVP_sha384();
    case SHA512: return EVP_sha512();
    default: return nullptr;
  }
}

}  // namespace

USHAContext::~USHAContext() { EVP_MD_CTX_free(ctx); }

int USHAReset(USHAContext *context, int whichSha) {
  if (context == nullptr) return shaNull;
  const EVP_MD *md = digestOf(whichSha);
  if (md == nullptr) return shaBadParam;
  if (context->ctx == nullptr) context->ctx = EVP_MD_CTX_new();
  context->whichSha = whichSha;
  context->computed = 0;
  if (context->ctx == nullptr || EVP_DigestInit_ex(context->ctx, md, nullptr) != 1) {
    LOG(0, "USHAReset: EVP_DigestInit_ex call returned an error.");
    return shaStateError;
  }
  return shaSuccess;
}

int USHAInput(USHAContext *context, const uint8_t *bytes, size_t length) {
  if (context == nullptr || context->ctx == nullptr) return shaNull;
  if (length == 0) return shaSuccess;
  if (bytes == nullptr) return shaNull;
  if (context->computed) return shaStateError;
  if (EVP_DigestUpdate(context->ctx, bytes, length) != 1) {
    LOG(0, "USHAInput: EVP_DigestUpdate call returned an error.");
    return shaStateError;
  }
  return shaSuccess;
}

int USHAResult(USHAContext *context, uint8_t digest[USHAMaxHashSize]) {
  if (context == nullptr || context->ctx == nullptr || digest == nullptr) return shaNull;
  if (context->computed) return shaStateError;
  unsigned int n = 0;
  if (EVP_DigestFinal_ex(context->ctx, digest, &n) != 1) {
    LOG(0, "USHAResult: EVP_DigestFinal_ex call returned an error.");
    return shaStateError;
  }
  context->computed = 1;
  return shaSuccess;
}

int USHAHash(int whichSha, const void *bytes, size_t length, uint8_t digest[USHAMaxHashSize]) {
  USHAContext c;
  int r = USHAReset(&c, whichSha);
  if (r == shaSuccess) r = USHAInput(&c, static_cast<const uint8_t *>(bytes), length);
  if (r == shaSuccess) r = USHAResult(&c, digest);
  return r;
}

int USHABlockSize(int whichSha) {
  switch (whichSha) {
    case SHA1:
    case SHA224:
    case SHA256: return 64;
    case SHA384:
    default: return 128;
  }
}

int USHAHashSize(int whichSha) {
  switch (whichSha) {
    case SHA1: return SHA1HashSize;
    case SHA224: return SHA224HashSize;
    case SHA256: return SHA256HashSize;
    case SHA384: return SHA384HashSize;
    default: return SHA512HashSize;
  }
}

int USHAHashSizeBits(int whichSha) { return USHAHashSize(whichSha) * 8; }
