// usha.h: the SHA family behind the RFC 6234 "USHA" interface, computed by
// OpenSSL's EVP digests. Block names and block checks use SHA-512 through it.
#pragma once

#include <cstddef>
#include <cstdint>

typedef struct evp_md_ctx_st EVP_MD_CTX;

enum SHAversion { SHA1 = 0, SHA224 = 1, SHA256 = 2, SHA384 = 3, SHA512 = 4 };

// Result codes of the RFC. shaStateError is also returned when OpenSSL
// reports a failure (already logged).
enum {
  shaSuccess = 0,
  shaNull = 1,         // a null pointer argument
  shaInputTooLong = 2,
  shaStateError = 3,   // input after result, or a digest failure
  shaBadParam = 4      // unknown SHA variant
};

enum {
  SHA1HashSize = 20,
  SHA224HashSize = 28,
  SHA256HashSize = 32,
  SHA384HashSize = 48,
  SHA512HashSize = 64,
  USHAMaxHashSize = SHA512HashSize,
  USHAMaxMessageBlockSize = 128
};

// One running digest. The OpenSSL context is made by USHAReset and freed
// by the destructor (or the next USHAReset reuses it).
struct USHAContext {
  int whichSha = SHA512;
  EVP_MD_CTX *ctx = nullptr;
  int computed = 0;  // 1 after USHAResult until the next reset

  USHAContext() = default;
  USHAContext(const USHAContext &) = delete;
  USHAContext &operator=(const USHAContext &) = delete;
  ~USHAContext();
};

// Starts a digest of variant `whichSha` (0..4). shaSuccess, shaNull,
// shaBadParam, or shaStateError when the digest could not start.
int USHAReset(USHAContext *context, int whichSha);
// Adds `length` bytes. shaSuccess, shaNull, shaStateError.
int USHAInput(USHAContext *context, const uint8_t *bytes, size_t length);
// Writes the digest (USHAHashSize(whichSha) bytes) into `digest`.
int USHAResult(USHAContext *context, uint8_t digest[USHAMaxHashSize]);
// One-shot digest of `length` bytes; a result code as above.
int USHAHash(int whichSha, const void *bytes, size_t length, uint8_t digest[USHAMaxHashSize]);

// Sizes of the variants; any number above 4 is treated as SHA-512.
int USHABlockSize(int whichSha);
int USHAHashSize(int whichSha);
int USHAHashSizeBits(int whichSha);
