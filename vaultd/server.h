// server.h: the HTTP front end of the Vault stand-in (libmicrohttpd).
//
// Every request of the Vault protocol is answered under
// "/cgi-bin/vaultServer/": POST backup-block-count, post-check-offset,
// start-backup, end-backup and backup-check; PUT multiblock, b-<block name>
// and f-<path> (the HaCTAR). Requests that break the protocol are refused
// with the reply line "HTTP/1.1 405 Bad Request" (which the client reads as
// its bad-request code); the reason is logged.
//
// Control requests for tests live under "/vaultd/":
//   POST /vaultd/fault          body: a fault rule (faults.h)
//   POST /vaultd/clear-faults   removes every rule
//   GET  /vaultd/counters       "endpoint count" lines
//   GET  /vaultd/backup?no=N    the backup's fields (state.cpp vaultDescribe)
//   GET  /vaultd/block?name=B   "1" when block B is held, else "0"
//   GET  /vaultd/blocks         the number of blocks held
//   GET  /vaultd/received       block and HaCTAR bytes received, block bytes
//                               resent, end-backup messages (faults.h)
//   POST /vaultd/mark           from now on "resent" counts the blocks held
//                               at this moment (before: held on arrival)
#pragma once

#include <cstdint>

struct ServerOptions {
  const char *listenAddress = "127.0.0.1";
  int port = 0;                // 0 = any free port
  bool strictHeaders = true;   // X- headers must come exactly as the protocol orders them
};

// Starts serving on its own threads; returns the bound port, or -1.
int serverStart(const ServerOptions &options);
// Stops serving; waits for running requests.
void serverStop();
