// process.h: the project's programs run as child processes of a test,
// without a shell: to their end with their output captured, or in the
// background until they print a ready line.
//
// Waits are bounded only so that a hang fails the test; nothing asserts on
// how long anything takes.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace rpd::test {

// A built program: RPD_BINARY_DIR + "/" + relative ("daemon/rpd",
// "appliance/mkbackup", "vaultd/vaultd").
std::string program(const std::string &relative);

// Changes to the environment of a child: a name mapped to its value, or
// to kUnset to remove it.
using EnvChanges = std::map<std::string, std::string>;
extern const char *const kUnset;

// Exit status (-1 when the program did not exit normally or ran past the
// bound and was killed) and standard output of a finished program.
struct Run {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs argv[0] (a path, or a name looked up in PATH) with the rest as
// arguments to its end.
Run run(const std::vector<std::string> &argv, const EnvChanges &env = {}, int boundSeconds = 300);

// Starts argv in the background, its standard output and error going to
// the given files ("" = /dev/null). Returns the pid.
pid_t spawn(const std::vector<std::string> &argv, const std::string &outFile, const std::string &errFile,
            const EnvChanges &env = {});
// Waits (bounded) for a spawned child; its exit status, or -1 when it did
// not exit normally or did not end (it is then killed).
int waitExit(pid_t pid, int boundSeconds = 60);

// A program that runs in the background for the scope and is ready once it
// has printed a line on its standard output that starts with `readyPrefix`
// ("" = the first line). Ended with SIGTERM (then SIGKILL) on destruction.
class Child {
 public:
  Child(const std::vector<std::string> &argv, const std::string &readyPrefix = "", const EnvChanges &env = {},
        int boundSeconds = 30);
  ~Child();
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;
  bool ready() const { return ready_; }
  // The ready line without its newline.
  const std::string &line() const { return line_; }
  pid_t pid() const { return pid_; }
  // Sends SIGTERM and waits; the exit status as waitExit gives it.
  int stop(int sig = 15);

 private:
  pid_t pid_ = -1;
  int fd_ = -1;
  bool ready_ = false;
  std::string line_;
};

}  // namespace rpd::test
