// main.cpp: rpdstat, the operator's view of replication.
//
//   rpdstat [--json] [--watch SECONDS] [--stats COUNT]
//
// Prints the replication queue in order, the running workers' progress,
// the last statistics rows and the bandwidth schedule in force now, once
// or (with --watch) again every SECONDS seconds until interrupted. It only
// reads. Exit status: 0, 1 when the catalogue could not be read (one-shot
// mode), 2 for a bad command line.
#include <getopt.h>
#include <signal.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "lib/config.h"
#include "lib/logger.h"
#include "rpdstat/render.h"
#include "rpdstat/status.h"

namespace {

constexpr int EXIT_CATALOGUE = 1;
constexpr int EXIT_USAGE = 2;
constexpr int DEFAULT_STATS = 10;
constexpr int MAX_STATS = 10000;

const char USAGE[] =
    "Usage: rpdstat [--json] [--watch SECONDS] [--stats COUNT]\n"
    "Shows what replication is doing: the queue in order, the running workers,\n"
    "the last replication statistics and the bandwidth schedule in force now.\n"
    "  -j, --json           print one JSON document (one line) per report\n"
    "  -w, --watch SECONDS  redraw every SECONDS seconds until interrupted\n"
    "  -s, --stats COUNT    statistics rows to show (default 10)\n"
    "  -h, --help           print this text\n"
    "Environment: VXDIR (installation directory), PGSERVICEFILE (libpq service\n"
    "file with the service \"localhost\"), RPD_CATALOGUE_DB (database instead of vxdb).\n";

volatile sig_atomic_t g_stop = 0;

void onStop(int) { g_stop = 1; }

// Collects the log lines of the helpers for one step in memory, so that a
// failure can be reported with the helpers' own reason and nothing is
// written to log files. Logging goes back to /dev/null afterwards.
class LogCapture {
 public:
  explicit LogCapture(FILE *idle) : idle_(idle), stream_(open_memstream(&buffer_, &size_)) {
    attachLogStream(stream_ ? stream_ : idle_);
  }
  ~LogCapture() {
    attachLogStream(idle_);
    if (stream_) fclose(stream_);
    free(buffer_);
  }
  std::string text() {
    if (!stream_) return "";
    fflush(stream_);
    return std::string(buffer_, size_);
  }

 private:
  FILE *idle_;
  char *buffer_ = nullptr;
  size_t size_ = 0;
  FILE *stream_;
};

// Parses a whole positive decimal number no larger than `max`; -1 if not.
long positiveNumber(const char *text, long max) {
  char *end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || v < 1 || v > max) return -1;
  return v;
}

// One report: gathers and prints it. 0, or -1 when the catalogue could not
// be read.
int report(FILE *idle, bool json, bool watching, int statsLimit) {
  rpdstat::Status status;
  status.now = time(nullptr);
  {
    LogCapture capture(idle);
    rpdstat::readSchedule(status.schedule, status.now);
  }
  // master.ini's debugging level is the daemon's; rpdstat keeps only the
  // failures, for the message below.
  log_level = 0;
  int rc;
  {
    LogCapture capture(idle);
    rc = rpdstat::readCatalogue(status, statsLimit);
    if (rc != 0) {
      status.catalogueError = capture.text();
      if (status.catalogueError.empty()) status.catalogueError = "the catalogue could not be read";
    }
  }
  std::string out = json ? rpdstat::renderJson(status) : rpdstat::renderText(status);
  // Text frames of --watch start on a cleared screen.
  if (watching && !json) fputs("\033[H\033[2J", stdout);
  fwrite(out.data(), 1, out.size(), stdout);
  fflush(stdout);
  return rc;
}

}  // namespace

int main(int argc, char **argv) {
  bool json = false;
  long watch = 0;
  long statsLimit = DEFAULT_STATS;
  const struct option options[] = {{"json", no_argument, nullptr, 'j'},
                                   {"watch", required_argument, nullptr, 'w'},
                                   {"stats", required_argument, nullptr, 's'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "jw:s:h", options, nullptr)) != -1) {
    switch (c) {
      case 'j': json = true; break;
      case 'w':
        if ((watch = positiveNumber(optarg, 86400)) < 0) {
          fprintf(stderr, "rpdstat: --watch takes a number of seconds from 1 to 86400, not '%s'\n", optarg);
          return EXIT_USAGE;
        }
        break;
      case 's':
        if ((statsLimit = positiveNumber(optarg, MAX_STATS)) < 0) {
          fprintf(stderr, "rpdstat: --stats takes a count from 1 to %d, not '%s'\n", MAX_STATS, optarg);
          return EXIT_USAGE;
        }
        break;
      case 'h': fputs(USAGE, stdout); return 0;
      default: fputs(USAGE, stderr); return EXIT_USAGE;
    }
  }
  if (optind < argc) {
    fprintf(stderr, "rpdstat: unexpected argument '%s'\n", argv[optind]);
    fputs(USAGE, stderr);
    return EXIT_USAGE;
  }

  snprintf(ghAppName, sizeof ghAppName, "%s", "rpdstat");
  // Nothing is logged to files: the helpers' lines are captured per step
  // and otherwise dropped.
  FILE *idle = fopen("/dev/null", "w");
  if (idle == nullptr) {
    fprintf(stderr, "rpdstat: cannot open /dev/null: %s\n", strerror(errno));
    return EXIT_CATALOGUE;
  }
  attachLogStream(idle);
  rpdstat::locateMasterIni();

  if (watch == 0) return report(idle, json, false, static_cast<int>(statsLimit)) == 0 ? 0 : EXIT_CATALOGUE;

  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = onStop;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  while (!g_stop) {
    report(idle, json, true, static_cast<int>(statsLimit));
    struct timespec left = {static_cast<time_t>(watch), 0};
    while (!g_stop && nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
  }
  return 0;
}
