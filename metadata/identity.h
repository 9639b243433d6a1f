// identity.h: Universal Backup Identities and group ordering.
//
// A backup's catalogue number is local to the appliance that made it, so
// both sides of replication name a backup by its UBI: "<instance
// identity>_<start time>_<type>", where the instance identity is a random
// lower-case UUID. This module builds UBIs, resolves them back to local
// backup numbers, generates and recognises identity texts, and keeps the
// backups of one instance in start-time order on the receiving side.
#pragma once

#include <cstddef>
#include <cstdint>

// Length of an identity text without its NUL.
constexpr size_t UUID_TEXT_LEN = 36;

// UBI of a backup. 0 with *identity a malloc'ed UBI (free() it); 0 with
// *identity null when the backup's instance has never replicated (no
// identity yet); -1 on failure, a zero backup number / null pointer, or a
// stored instance identity that is not a UUID.
int getUniversalBackupIdentity(uint64_t backupNo, char **identity);

// Newest backup received by replication that matches the UBI. 0 with
// *backupNo set (0 when none matches); -1 for a malformed UBI or a failed
// query. The identity part is compared without regard to case.
int UBIstringToBackupNumber(const char *ubi, uint64_t *backupNo);

// Writes a new random lower-case identity text into buf (size >= 37). 0/-1.
int genUUID(char *buf, size_t size);

// True when text has the identity form: 36 characters, hyphens at
// positions 8, 13, 18 and 23 and hexadecimal digits (either case)
// everywhere else.
bool isUUIDString(const char *text);

// Most digits of the start time and of the type in a UBI.
constexpr size_t UBI_NUMBER_DIGITS = 20;

// True when text has the UBI form: an identity (isUUIDString), "_", 1 to
// UBI_NUMBER_DIGITS decimal digits, "_", 1 to UBI_NUMBER_DIGITS decimal
// digits, and nothing after. Every UBI taken from outside is held to it
// before it is used.
bool isUBIString(const char *text);

// Finds usable backups of instanceId that started after startTime (group
// types only, never types 4 and 1024). Without mark: returns their number.
// With mark: sets each one's status to 5184 (failed, out of order) and
// returns the number that could not be marked (0 normally). -1 on failure.
int enforceGroupOrdering(long instanceId, long startTime, int mark);
