// rest.h: the ten requests of the Vault protocol.
//
// Each function builds one HTTP request to "<target>/cgi-bin/vaultServer/
// <endpoint>", sends it on the calling thread through the transfer engine,
// and interprets the reply. Results: 0 accepted, -1 failure, -3 bad
// request, -4 service unavailable, -5 metadata refused for an out-of-order
// backup, -6 metadata refused. The libcurl result of the transfer is
// returned separately through *curlResult (CURLE_OK when nothing was sent).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include <curl/curl.h>

#include "pipeline/common.h"
#include "vault/transfer.h"

constexpr int VAULT_PROTOCOL_VERSION = 1;
constexpr int VAULT_X_TIME = 5;
// Wire record sizes.
constexpr size_t CHECK_OFFSET_ENTRY_BYTES = 88;
constexpr size_t MULTI_BLOCK_HEADER_BYTES = 84;
constexpr size_t BACKUP_CHECK_MIN_REPLY = 16;
constexpr size_t BACKUP_CHECK_PROPS_REPLY = 24;

// Writes the 88-byte check-offset entry of e at out.
void encodeCheckOffsetEntry(const HashListEntry *e, uint8_t *out);
// Writes the 84-byte multi-block header of e at out (the data follows it).
void encodeMultiBlockHeader(const HashListEntry *e, uint8_t *out);
// Writes the wire block name "b-%s-%d-%s" (length as signed 32-bit). 0/-1.
int wireBlockName(const HashValue *record, char *out, size_t size);

// Asks how many unique blocks the Vault holds for backupNo (0: no header).
// 0 with *count set, -1, or a Vault error code.
int postBlockCount(const char *target, uint64_t backupNo, uint64_t *count, CURLcode *curlResult);

// Asks which of count blocks the Vault holds. 0 with *reply = a malloc'ed
// array of count bytes ('1' = held, anything else = must be sent; the
// caller frees it), -1 or a Vault error code with *reply null.
int postCheckOffset(const char *target, const HashListEntry *entries, int count, char **reply,
                    long backupNo, CURLcode *curlResult);

// Announces a backup with its metadata document. Returns the Vault's
// backup number, 0 when the non-empty reply does not parse, -1 or a Vault
// error code.
long postStartBackup(const char *target, const char *metadata, size_t length,
                     uint64_t reserveSize, CURLcode *curlResult, int force);

// Tells the Vault a backup operation ended; sends length bytes of message.
int postEndBackup(const char *target, const char *identity, const char *message, size_t length,
                  CURLcode *curlResult);

// Asks for the Vault's backup with identity (identityLength bytes sent,
// normally including the NUL). Returns the reply's result field (the
// Vault's backup number, or negative) with status and properties, or -1.
long postBackupCheck(const char *target, const char *identity, size_t identityLength,
                     uint64_t backupNo, uint64_t *status, uint64_t *properties,
                     CURLcode *curlResult);

// Interprets a backup-check reply of len bytes to a request that sent amt
// identity bytes: with requireChecksum the CRC-32 after the amt further
// bytes must match. 0 with *result (the Vault's backup number, or
// negative), *status and *properties (0 for a 16-byte reply); -1 (logged)
// for a reply too short or with a wrong checksum.
int parseBackupCheckReply(const uint8_t *reply, size_t len, uint64_t amt, bool requireChecksum,
                          long *result, uint64_t *status, uint64_t *properties);

// Sends count multi-block entries (used bytes of buffer) in one PUT.
int putMultiBlocks(const char *target, const uint8_t *buffer, size_t used, long count,
                   long backupNo, CURLcode *curlResult);

// Sends blocks one per PUT. slots[i] holds entry i's data (length 0 =
// skip). With verify 1 each block's SHA-512 is checked first. Returns the
// number of entries processed (count when all were handled); *curlResult
// holds the last failed transfer's code.
int putBlocks(const char *target, SendTableSlot *slots, const HashListEntry *entries, int count,
              int verify, long backupNo, CURLcode *curlResult);

// Streams one block from the store through buffer (bufferSize bytes per
// piece), holding storeLock (may be null) around each store read.
int putLargeBlock(const char *target, HashListEntry *entry, uint8_t *buffer, size_t bufferSize,
                  long backupNo, std::mutex *storeLock, BlockSource *source, CURLcode *curlResult);

// Sends a whole file as "f-<path>".
int putFiles(const char *target, const char *path, long backupNo, CURLcode *curlResult,
             uint64_t elapsed);

// Sends an encrypted file's content after its 1536-byte header, decrypted
// through cipher, as "f-<path>".
int putEncryptedFiles(const char *target, const char *path, long backupNo, CURLcode *curlResult,
                      uint64_t elapsed, FileDecryptor *cipher);
