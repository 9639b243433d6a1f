// libCryptoDaemon.h: the client library of the appliance's CryptoDaemon
// (CDlib) and the byte layouts of its state file and TCP messages.
//
// Encrypted data carries a token: a 512-byte tar header with type flag 'E'
// followed by a payload. The CryptoDaemon, a local service on 127.0.0.1,
// turns a token (or its own archive key) into a crypt context and performs
// AES-256-ECB on whole 32-byte units for its clients. A client may instead
// do the AES itself ("own cryption", store/crypto.h) with the archive key
// the daemon hands out after a successful init.
//
// The layouts below are used by both this client and the stand-in daemon
// (appliance/cryptodaemon.cpp): one encoder and one decoder per layout, all
// integers little-endian except the state file's port (network order).
#pragma once

#include <cstddef>
#include <cstdint>

// Operation codes of the requests.
enum : uint32_t {
  CD_OP_ENCRYPT = 4,
  CD_OP_DECRYPT = 5,
  CD_OP_INIT_ARCHIVE_KEY = 6,
  CD_OP_GET_TOKEN = 7,
  CD_OP_INIT_TOKEN = 8,
  CD_OP_GET_ARCHIVE_KEY = 9,
  CD_OP_STATUS = 10,
};

// Status bits answered by op 10.
enum : uint32_t {
  CD_STATUS_RUNNING = 1,
  CD_STATUS_INITIALISED = 2,
  CD_STATUS_READY = 4,
};

// Sizes and offsets of the layouts.
constexpr size_t kCDUnitSize = 32;             // AES work happens in 32-byte units
constexpr size_t kCDMaxCryptData = 65536;      // data bytes per daemon exchange
constexpr size_t kCDCredentialSize = 512;
constexpr size_t kCDTokenHeaderSize = 512;
constexpr size_t kCDMaxKeySize = 512;
constexpr size_t kCDMessageTextSize = 64;

constexpr size_t kCDResultSize = 80;           // u64 reserved, i64 code, text[64]
constexpr size_t kCDResultCodeOffset = 8;
constexpr size_t kCDResultTextOffset = 16;

constexpr size_t kCDOpOffset = 8;              // u64 op code in every request
constexpr size_t kCDShortRequestSize = 16;     // ops 7, 9
constexpr size_t kCDCredentialOffset = 16;
constexpr size_t kCDCredentialRequestSize = 528;  // ops 6, 10
constexpr size_t kCDCryptHeaderSize = 96;      // ops 4, 5 request and reply
constexpr size_t kCDCryptSeqOffset = 80;
constexpr size_t kCDCryptLengthOffset = 92;
constexpr size_t kCDTokenInitSize = 1048;      // op 8, followed by the payload
constexpr size_t kCDTokenInitLengthOffset = 528;
constexpr size_t kCDTokenInitHeaderOffset = 532;
constexpr size_t kCDTokenReplySize = 600;      // op 7, followed by the payload
constexpr size_t kCDTokenReplyLengthOffset = 80;
constexpr size_t kCDTokenReplyHeaderOffset = 84;
constexpr size_t kCDKeyReplySize = 88;         // op 9, followed by the key
constexpr size_t kCDKeyReplyLengthOffset = 80;
constexpr size_t kCDStatusReplySize = 88;      // op 10
constexpr size_t kCDStatusReplyBitsOffset = 80;

constexpr size_t kCDStateFileSize = 536;
constexpr size_t kCDStateCredentialOffset = 4;
constexpr size_t kCDStatePortOffset = 520;
constexpr const char *kCDStateFile = "/var/run/cryptoDaemonState";

static_assert(kCDResultTextOffset + kCDMessageTextSize == kCDResultSize);
static_assert(kCDCredentialOffset + kCDCredentialSize == kCDCredentialRequestSize);
static_assert(kCDTokenInitHeaderOffset + kCDTokenHeaderSize + 4 == kCDTokenInitSize);
static_assert(kCDTokenReplyHeaderOffset + kCDTokenHeaderSize + 4 == kCDTokenReplySize);
static_assert(kCDStateCredentialOffset + kCDCredentialSize + 4 == kCDStatePortOffset);

// The result record every call fills.
struct CDresult {
  uint64_t reserved;
  int64_t code;                        // 0 success, -1 failure
  char message[kCDMessageTextSize];    // NUL-terminated
};
static_assert(sizeof(CDresult) == kCDResultSize);

// Per-context data allocated by the init calls.
struct CDlibData {
  int32_t socket;                      // -1 when none
  uint8_t lastReply[kCDCryptHeaderSize];  // last 96-byte reply (sequence, length)
  int32_t doOurOwnCryption;
  int32_t archiveKeyLength;
  uint8_t archiveKey[kCDMaxKeySize];
  int32_t reserved;
};
static_assert(sizeof(CDlibData) == 624);

// A crypt context, owned by the caller (zero it before the init call).
struct CDcryptCtx {
  uint8_t *nextDataInPtr;
  int32_t dataInBytes;
  uint8_t *nextDataOutPtr;
  int32_t dataOutBytes;
  int32_t cryptUnitSize;               // always 32
  CDlibData *cdlibData;
};

// The state file: the credential block and the daemon's port.
struct CDstate {
  uint8_t credential[kCDCredentialSize];
  uint16_t port;                       // host order in memory
};
void encodeCDstate(const CDstate &s, uint8_t out[kCDStateFileSize]);
void decodeCDstate(const uint8_t in[kCDStateFileSize], CDstate *s);

// Result record on the wire.
void encodeCDresult(const CDresult &r, uint8_t out[kCDResultSize]);
void decodeCDresult(const uint8_t in[kCDResultSize], CDresult *r);
// Sets code and message (printf format) of a result record.
void setCDresult(CDresult *r, int64_t code, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// The op code of any request (u64 at 8).
void encodeCDop(uint32_t op, uint8_t *request);
uint32_t decodeCDop(const uint8_t *request);
// Ops 4 and 5 (and their replies, which also carry the result record).
struct CDcryptHeader {
  uint32_t op;
  uint32_t sequence;
  uint32_t length;
};
void encodeCDcryptHeader(const CDcryptHeader &h, uint8_t out[kCDCryptHeaderSize]);
void decodeCDcryptHeader(const uint8_t in[kCDCryptHeaderSize], CDcryptHeader *h);
// Ops 6 and 10: op code and credential block.
void encodeCDcredentialRequest(uint32_t op, const uint8_t credential[kCDCredentialSize],
                               uint8_t out[kCDCredentialRequestSize]);
// Op 8: credential, payload length and the token's header (the payload
// follows the 1048 bytes).
void encodeCDtokenInit(const uint8_t credential[kCDCredentialSize], uint32_t payloadLength,
                       const uint8_t header[kCDTokenHeaderSize], uint8_t out[kCDTokenInitSize]);
void decodeCDtokenInit(const uint8_t in[kCDTokenInitSize], uint8_t credential[kCDCredentialSize],
                       uint32_t *payloadLength, uint8_t header[kCDTokenHeaderSize]);
// u32 little-endian at an offset (reply fields).
void putCDu32(uint8_t *at, uint32_t v);
uint32_t getCDu32(const uint8_t *at);

// Sets up `ctx` from a token (header and payload, at least 513 bytes):
// the daemon derives the context, then the archive key is fetched for own
// cryption. 0, or -1 with `result` filled (and no CDlibData left).
int CDlibInitCryptWithToken(const void *token, int tokenLength, CDcryptCtx *ctx, CDresult *result);
// Sets up `ctx` with the daemon's archive key (writers). 0 or -1.
int CDlibInitCryptWithArchiveKey(CDcryptCtx *ctx, CDresult *result);
// Encrypts (CD_OP_ENCRYPT) or decrypts (CD_OP_DECRYPT) whole 32-byte units
// from nextDataInPtr to nextDataOutPtr, advancing both and their counts.
// 0 or -1; the result of the last exchange is in `result`.
int CDlibCrypt(int operation, CDcryptCtx *ctx, CDresult *result);
// Fills `buffer` (capacity *size) with a new token, header then payload,
// and sets *size to its length. 0 or -1.
int CDlibGetToken(void *buffer, int *size, CDcryptCtx *ctx, CDresult *result);
// The daemon's status bits. 0 or -1.
int CDgetStatusBitmask(uint32_t *bits, CDresult *result);
// Decides own cryption for a new CDlibData. Returns the decision (0/1).
int CDlibInit(CDlibData *data);
// Closes the context's socket and frees its CDlibData.
void CDlibReleaseCtx(CDcryptCtx *ctx);
// Forgets the process-wide copy of the state file (so the next call reads
// it again); for programs that switch daemons, such as tests.
void CDlibForgetState();
