// support.h: small helpers shared by the benchmark programs: a monotonic
// clock, child processes (vaultd and the reference tools), pseudo-random
// data, SHA-512 digests and the one-line verdicts every benchmark prints.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Seconds on the monotonic clock.
double now();

// Fills n bytes with a fast xorshift stream seeded by seed (incompressible).
void fillRandom(uint8_t *out, size_t n, uint64_t seed);

// SHA-512 of n bytes into out (64 bytes).
void sha512(const void *data, size_t n, uint8_t out[64]);

// Parses "123", "10k", "10m", "1g" (powers of 1024). 0 when malformed.
uint64_t parseSize(const char *text);

// Runs a shell command line; its exit status (-1 when it did not exit).
// With out non-null, standard output is collected there.
int shell(const std::string &command, std::string *out = nullptr);
// Runs a shell command line and returns the wall-clock seconds it took,
// or -1 when it failed.
double timedShell(const std::string &command);
// 'text' quoted for the shell.
std::string quote(const std::string &text);

// A vaultd child with its own state directory under workDir. The port is
// read from its port file; stop() (also the destructor) sends SIGTERM.
class Vaultd {
 public:
  Vaultd(const std::string &workDir, const std::vector<std::string> &extraArgs = {});
  ~Vaultd();
  Vaultd(const Vaultd &) = delete;
  Vaultd &operator=(const Vaultd &) = delete;
  bool ok() const { return port_ > 0; }
  std::string base() const;
  void stop();

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

// Path of a program of this build ("vaultd/vaultd", "appliance/mkbackup").
std::string buildProgram(const char *relative);

// Prints "  <what>: <measured> vs target <target>: MET|NOT MET" and returns
// met. All verdict lines start with "TARGET" so a run can be grepped.
bool verdict(const std::string &what, const std::string &measured, const std::string &target, bool met);

// MiB/s of bytes over seconds.
double mibps(uint64_t bytes, double seconds);

}  // namespace bench
