// settings.h: the replication settings of rpd and the configuration
// initialisations that locate the installation.
//
// The settings live in one process-wide record, `g_settings`, read from
// master.ini at start-up and again at the top of every main-loop pass when
// the file's modification time has grown. Command-line options fix some of
// them through an override mask. A forked worker keeps the values it
// inherited; the block senders and the queue refresh read the record.
//
// The record, the option values and the total-bytes-sent counter are C++
// inline variables defined in this header, so code of the lower libraries
// (queue, pipeline, vault) may read them without a link dependency on the
// daemon library. The functions that fill them live in settings.cpp.
//
// Locking: the record is written only by the daemon's single main thread
// (settings re-read, option parsing, utility-mode set-up) and only before
// any sender thread of the process exists; threads only read it. It
// therefore carries no lock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

// A vault (target host) name: at most 63 characters in SyncTo and -v, under
// the vault name rule of lib/validate.h.
constexpr size_t SYNCTO_BUFFER = 64;
// A vault name buffer handed to the worker and kept in a worker record:
// room for 64 characters and the NUL.
constexpr size_t VAULT_NAME_BUFFER = 65;
// The BlockOutPeriods setting's buffer; a value of 4095 characters or more
// does not fit and is ignored.
constexpr size_t BLOCKOUT_BUFFER = 4096;

// Queue refresh schemes (QueueScheme).
constexpr int QUEUE_SCHEME_NONE = 0;
constexpr int QUEUE_SCHEME_RETENTION = 1;
constexpr int QUEUE_SCHEME_RECENCY = 2;

struct ReplicationSettings {
  char SyncTo[SYNCTO_BUFFER] = "vault";  // vault name; empty = no target (or refused)
  long TimeDelay = 60;                   // seconds between passes
  long MaxConcurrent = 5;                // worker processes at a time
  unsigned long MaxBlocks = 10485760;    // handed to the block senders
  long MetaSize = 1024;                  // handed to the block senders
  int Cluster = 1;                       // 1 = multi-block requests
  int QueueScheme = QUEUE_SCHEME_NONE;   // 0 none, 1 Retention, 2 Recency
  int RetryCount = 3;                    // identity-check and send retries
  uint8_t Checkpoint = 0;                // checkpoint system of the senders
  uint8_t LocalBlockElimination = 1;     // local block elimination allowed
  int BlockEliminationType = 2;          // 0..4
  int BlockEliminationCandidate = 2;     // 0..3
  char BlockOutPeriods[BLOCKOUT_BUFFER] = "";  // bandwidth/blackout schedule
};

inline ReplicationSettings g_settings;

// Override mask: one bit per setting fixed on the command line. The
// settings re-read does not read a setting whose bit is set.
// First byte:
constexpr uint8_t OVERRIDE_SYNCTO = 0x01;
constexpr uint8_t OVERRIDE_TIMEDELAY = 0x02;
constexpr uint8_t OVERRIDE_MAXCONCURRENT = 0x10;
constexpr uint8_t OVERRIDE_MAXBLOCKS = 0x40;
// Second byte:
constexpr uint8_t OVERRIDE_CLUSTER = 0x01;
constexpr uint8_t OVERRIDE_QUEUESCHEME = 0x02;

inline uint8_t g_overrideMask[2] = {0, 0};

// The values given on the command line for the settings of the override
// mask. The re-read copies a fixed setting from here instead of leaving the
// record alone: MaxConcurrent is forced to 0 while replication is disabled,
// and keeping the option's value here lets it come back when replication
// is enabled again.
inline ReplicationSettings g_optionSettings;

// Modification time of master.ini at the last settings read; 0 before the
// first read, -1 after a read that found the file missing.
inline time_t g_masterIniMtime = 0;

// Bytes sent to the Vault by this process (block senders, HaCTAR upload).
// Sender threads add to it concurrently, hence atomic.
inline std::atomic<uint64_t> g_totalBytesSent{0};

// Settings re-read, run at the top of every main-loop pass (and by the
// utility commands that replicate). Re-reads master.ini's replication
// settings when its modification time has grown since the last read (or
// when the file has gone missing since then: the defaults then apply), and
// on every call lets the transfer engine re-read its socket settings.
void readReplicationSettings();

// Full configuration initialisation (daemon and utility mode): locates
// the installation from VXDIR or "/etc/default/vx.ini", fills the path
// globals of lib/config.h, sets the priority, opens the configured log,
// reads the log level, creates the working directories and exports the
// VX_* environment. Uses ghAppName as the program name. Returns 0, or -1
// when a path is too long.
int initGlobals();

// Light configuration initialisation (attached mode): reads the
// installation directory from the INI file `iniName` ("/etc/default/" is
// prepended unless it starts with "/"), with `defaultDir` as default, and
// derives g_appdir, g_initdir, g_master_ini, g_logdir and g_bindir; reads
// the log level for `program`. Returns 0, or -1 when neither VXDIR nor
// APPDIR is in the file.
int initGlobalsLight(const char *program, const char *iniName, const char *defaultDir);

// The TCP port of the appliance's "vxd" service found by initGlobals()
// (1743 when the services database lacks it).
inline long g_vxdPort = 1743;
