// main.cpp: entry of vaultd, the Vault stand-in.
//
//   vaultd --state DIR [--listen ADDR] [--port N] [--port-file FILE]
//          [--fault RULE]... [--log FILE] [--log-level N] [--first-number N]
//          [--lenient] [--no-order-check] [--catalogue DEVICE]
//          [--trust-hashes]
//   vaultd export DIR BACKUP OUT      rebuilt byte stream of a complete
//                                     backup to file OUT ("-" = stdout)
//   vaultd describe DIR BACKUP        the backup's fields, one per line
//
// Server mode serves until SIGTERM or SIGINT. With port 0 (the default) it
// binds a free port; the port is printed on standard output as
// "vaultd listening on ADDR:PORT" and, with --port-file, written to FILE
// (created atomically, so a reader never sees it half written).
// --lenient accepts X- headers in any order; --no-order-check accepts
// backups out of start-time order; --catalogue imports each start-backup
// document into the catalogue with device DEVICE (catalogue.h);
// --trust-hashes stores arriving blocks without checking their SHA-512
// (lengths are still checked), which takes the Vault's hashing off the
// machine's CPUs when the client's own speed is measured (bench/).
// Exit status: 0 after a clean stop or a successful command, 1 on usage
// errors, 2 when the state cannot be opened or the port not bound, 3 when
// an export or describe fails.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vaultd/catalogue.h"
#include "vaultd/faults.h"
#include "vaultd/server.h"
#include "vaultd/state.h"
#include "vaultd/vdlog.h"

namespace {

void usage() {
  fprintf(stderr,
          "Usage: vaultd --state DIR [--listen ADDR] [--port N] [--port-file FILE]\n"
          "              [--fault RULE]... [--log FILE] [--log-level N] [--first-number N]\n"
          "              [--lenient] [--no-order-check] [--catalogue DEVICE] [--trust-hashes]\n"
          "       vaultd export DIR BACKUP OUT\n"
          "       vaultd describe DIR BACKUP\n");
}

int writePortFile(const char *path, int port) {
  std::string tmp = std::string(path) + ".tmp";
  FILE *f = fopen(tmp.c_str(), "w");
  if (!f) return -1;
  fprintf(f, "%d\n", port);
  if (fclose(f) != 0) return -1;
  return rename(tmp.c_str(), path);
}

int offlineCommand(int argc, char **argv) {
  bool isExport = strcmp(argv[1], "export") == 0;
  if ((isExport && argc != 5) || (!isExport && argc != 4)) {
    usage();
    return 1;
  }
  long backup = strtol(argv[3], nullptr, 10);
  if (vaultOpen(argv[2], 1, true) < 0) return 2;
  if (isExport) return vaultExport(backup, argv[4]) == 0 ? 0 : 3;
  std::string d = vaultDescribe(backup);
  if (d.empty()) {
    fprintf(stderr, "vaultd: no backup %ld\n", backup);
    return 3;
  }
  fputs(d.c_str(), stdout);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 2 && (strcmp(argv[1], "export") == 0 || strcmp(argv[1], "describe") == 0))
    return offlineCommand(argc, argv);

  ServerOptions options;
  const char *stateDir = nullptr;
  const char *portFile = nullptr;
  long firstNumber = 1;
  long catalogueDevice = 0;
  std::vector<std::string> faults;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&](void) -> const char * {
      if (i + 1 >= argc) {
        fprintf(stderr, "vaultd: %s needs a value\n", a.c_str());
        exit(1);
      }
      return argv[++i];
    };
    if (a == "--state") stateDir = value();
    else if (a == "--listen") options.listenAddress = value();
    else if (a == "--port") options.port = atoi(value());
    else if (a == "--port-file") portFile = value();
    else if (a == "--fault") faults.emplace_back(value());
    else if (a == "--log") {
      const char *p = value();
      if (vdLogOpen(p) < 0) {
        fprintf(stderr, "vaultd: cannot open log %s\n", p);
        return 1;
      }
    } else if (a == "--log-level") g_vdLogLevel = atoi(value());
    else if (a == "--first-number") firstNumber = atol(value());
    else if (a == "--lenient") options.strictHeaders = false;
    else if (a == "--no-order-check") g_vault.orderCheck = false;
    else if (a == "--trust-hashes") g_vault.checkBlockHashes = false;
    else if (a == "--catalogue") catalogueDevice = atol(value());
    else {
      usage();
      return 1;
    }
  }
  if (!stateDir || firstNumber < 1) {
    usage();
    return 1;
  }
  for (const std::string &f : faults) {
    std::string error;
    if (faultAdd(f, &error) < 0) {
      fprintf(stderr, "vaultd: bad fault rule \"%s\": %s\n", f.c_str(), error.c_str());
      return 1;
    }
  }
  if (catalogueDevice) {
    g_vault.importFn = catalogueImportFunction();
    g_vault.importDevice = catalogueDevice;
    if (!g_vault.importFn) {
      fprintf(stderr, "vaultd: --catalogue: no catalogue import in this build\n");
      return 1;
    }
  }
  if (vaultOpen(stateDir, firstNumber) < 0) return 2;

  // Block the stop signals before the server threads start, so that only
  // this thread receives them (in sigwait below).
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
  signal(SIGPIPE, SIG_IGN);

  int port = serverStart(options);
  if (port < 0) return 2;
  printf("vaultd listening on %s:%d\n", options.listenAddress, port);
  fflush(stdout);
  VDLOG(0, "listening on %s:%d, state %s", options.listenAddress, port, stateDir);
  if (portFile && writePortFile(portFile, port) < 0) {
    VDLOG(0, "cannot write port file %s", portFile);
    serverStop();
    return 2;
  }
  int sig = 0;
  sigwait(&stop, &sig);
  VDLOG(0, "signal %d, stopping", sig);
  serverStop();
  return 0;
}
