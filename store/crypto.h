// crypto.h: own cryption for CDlib clients: the decision whether this
// process encrypts and decrypts by itself, and the local AES-256-ECB engine
// (OpenSSL EVP) that does it with the daemon's archive key.
//
// The decision and the OpenSSL set-up are process-wide and made once.
#pragma once

#include <cstddef>
#include <cstdint>

// The inlineCryption switch: the boolean key of section "Configuration
// Options" in master.ini (default true). When this process has not loaded
// its configuration (g_master_ini empty), the appliance's vxutil is asked
// instead when it exists. 1 or 0.
int cryptoInlineCryptionEnabled();

// What the platform offers for own cryption, decided once per process:
// 2 a usable crypto card (the daemon does the work), 1 software (two or
// more CPU threads, or "encryption" in the platform capability file),
// 0 neither.
int cryptoLocalCapability();

// 1 when this process should do its own cryption in software: inline
// cryption on and the software engine chosen.
int cryptoDecideOwnCryption();

// AES-256-ECB without padding over `length` bytes (a multiple of 32) with
// the first 32 bytes of `key`. Return the bytes produced (== length) or -1
// after logging the failure.
int softwareEncryptChunk(const uint8_t *key, int keyLength, const void *in, void *out, int length);
int softwareDecryptChunk(const uint8_t *key, int keyLength, const void *in, void *out, int length);

// Forgets the once-per-process decisions (capability, configuration), so
// a program that changes its sandbox (tests) decides again.
void cryptoResetProcessState();
