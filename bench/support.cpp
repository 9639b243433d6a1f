// support.cpp: helpers of the benchmark programs (see support.h).
#include "bench/support.h"

#include <openssl/evp.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace bench {

double now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

void fillRandom(uint8_t *out, size_t n, uint64_t seed) {
  uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 0x2545F4914F6CDD1DULL;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    memcpy(out + i, &x, 8);
  }
  for (; i < n; i++) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    out[i] = uint8_t(x);
  }
}

void sha512(const void *data, size_t n, uint8_t out[64]) {
  unsigned int len = 0;
  EVP_Digest(data, n, out, &len, EVP_sha512(), nullptr);
}

uint64_t parseSize(const char *text) {
  char *end = nullptr;
  unsigned long long v = strtoull(text, &end, 10);
  if (end == text) return 0;
  switch (*end) {
    case 'k': case 'K': v <<= 10; end++; break;
    case 'm': case 'M': v <<= 20; end++; break;
    case 'g': case 'G': v <<= 30; end++; break;
    default: break;
  }
  return *end ? 0 : v;
}

std::string quote(const std::string &text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

int shell(const std::string &command, std::string *out) {
  FILE *p = popen(command.c_str(), "r");
  if (!p) return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0)
    if (out) out->append(buf, n);
  int status = pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double timedShell(const std::string &command) {
  double t0 = now();
  int rc = shell(command);
  double t = now() - t0;
  if (rc != 0) {
    fprintf(stderr, "bench: command failed (%d): %s\n", rc, command.c_str());
    return -1;
  }
  return t;
}

std::string buildProgram(const char *relative) { return std::string(RPD_BINARY_DIR) + "/" + relative; }

Vaultd::Vaultd(const std::string &workDir, const std::vector<std::string> &extraArgs) {
  std::string portFile = workDir + "/vaultd.port";
  unlink(portFile.c_str());
  std::vector<std::string> argv = {buildProgram("vaultd/vaultd"), "--state", workDir + "/vault",
                                   "--port-file", portFile, "--log", workDir + "/vaultd.log",
                                   "--log-level", "0"};
  argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
  pid_ = fork();
  if (pid_ == 0) {
    std::vector<char *> a;
    for (std::string &s : argv) a.push_back(s.data());
    a.push_back(nullptr);
    if (!freopen("/dev/null", "w", stdout)) _exit(127);
    execv(a[0], a.data());
    _exit(127);
  }
  if (pid_ < 0) return;
  // Listening once the port file appears; a vaultd that exits instead
  // leaves port_ at 0.
  for (;;) {
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      fprintf(stderr, "bench: vaultd exited before listening (see %s/vaultd.log)\n", workDir.c_str());
      return;
    }
    std::ifstream in(portFile);
    if (in >> port_) return;
    usleep(10000);
  }
}

Vaultd::~Vaultd() { stop(); }

void Vaultd::stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status;
  waitpid(pid_, &status, 0);
  pid_ = -1;
}

std::string Vaultd::base() const { return "http://127.0.0.1:" + std::to_string(port_); }

bool verdict(const std::string &what, const std::string &measured, const std::string &target, bool met) {
  printf("TARGET %-52s %-28s target %-18s %s\n", what.c_str(), measured.c_str(), target.c_str(),
         met ? "MET" : "NOT MET");
  fflush(stdout);
  return met;
}

double mibps(uint64_t bytes, double seconds) { return seconds > 0 ? bytes / 1048576.0 / seconds : 0; }

}  // namespace bench
