// harness.h: helpers of the daemon tests: a sandbox directory tree that
// RPD_SYSROOT and VXDIR point at, spawning the real rpd binary in it, and
// waiting for what it writes. Waits are bounded only to turn a hang into a
// failure; no test asserts on how long anything takes.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace rpdtest {

inline std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void writeFile(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

inline bool fileExists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

inline size_t countOf(const std::string &text, const std::string &needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
  return n;
}

// Polls `done` until it holds; false when it did not within a generous
// bound (a hung daemon must fail the test, not stall it).
inline bool eventually(const std::function<bool()> &done, int boundSeconds = 60) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(boundSeconds);
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

// Sets a file's modification time to `seconds` since the epoch.
inline void setMtime(const std::string &path, time_t seconds) {
  struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// Replaces `path` with `text` carrying the modification time `seconds`,
// atomically: a reader sees either the old file or the new one with its
// final time, never the new contents with the time of the write.
inline void replaceFile(const std::string &path, const std::string &text, time_t seconds) {
  std::string tmp = path + ".new";
  writeFile(tmp, text);
  setMtime(tmp, seconds);
  rename(tmp.c_str(), path.c_str());
}

inline time_t mtimeOf(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mtime : 0;
}

// A directory tree standing in for the appliance's root: etc/default
// (vx.ini), var/run (pid file), tmp, proc, and the installation directory
// vx with vxinit/master.ini.
struct Sandbox {
  std::string root;
  std::string vx;

  Sandbox() {
    char tmpl[] = "/tmp/rpd-daemon-test-XXXXXX";
    root = mkdtemp(tmpl);
    vx = root + "/vx";
    for (const char *d : {"/etc", "/etc/default", "/var", "/var/run", "/tmp", "/proc", "/vx", "/vx/vxinit"})
      mkdir((root + d).c_str(), 0755);
    writeFile(root + "/etc/default/vx.ini", "[Location Information]\nVXDIR=" + vx + "\n");
  }
  ~Sandbox() {
    std::string cmd = "rm -rf '" + root + "'";
    if (system(cmd.c_str()) != 0) {
    }
  }
  std::string masterIni() const { return vx + "/vxinit/master.ini"; }
  std::string pidFile() const { return root + "/var/run/rpd.pid"; }
  std::string path(const std::string &rel) const { return root + "/" + rel; }

  // The environment of a process run in this sandbox: the caller's, with
  // the sandbox variables set and the log variables of the caller removed.
  std::vector<std::string> environment(const std::map<std::string, std::string> &extra = {}) const {
    std::map<std::string, std::string> env;
    for (char **e = environ; *e; ++e) {
      std::string kv = *e;
      size_t eq = kv.find('=');
      if (eq != std::string::npos) env[kv.substr(0, eq)] = kv.substr(eq + 1);
    }
    env.erase("LOG_LEVEL");
    env.erase("VXLOGNAME");
    env["RPD_SYSROOT"] = root;
    // No catalogue: these runs must never touch a shared database, and a
    // daemon without its catalogue must keep looping all the same.
    env["PGSERVICEFILE"] = root + "/no-such-pg_service.conf";
    env.erase("PGSERVICE");
    env.erase("RPD_CATALOGUE_DB");
    env["VXDIR"] = vx;
    for (const auto &kv : extra) env[kv.first] = kv.second;
    std::vector<std::string> out;
    for (const auto &kv : env) out.push_back(kv.first + "=" + kv.second);
    return out;
  }
};

inline std::string rpdBinary() { return std::string(RPD_BINARY_DIR) + "/daemon/rpd"; }

// Starts rpd with `args` (argv[1]...) in the sandbox's environment, its
// standard output and error going to the given files. Returns the pid.
inline pid_t spawnRpd(const Sandbox &box, const std::vector<std::string> &args, const std::string &outFile,
                      const std::string &errFile, const std::map<std::string, std::string> &extraEnv = {}) {
  std::vector<std::string> env = box.environment(extraEnv);
  std::string bin = rpdBinary();
  pid_t pid = fork();
  if (pid != 0) return pid;
  int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(out, 1);
  dup2(err, 2);
  std::vector<char *> argv{const_cast<char *>(bin.c_str())};
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char *> envp;
  for (const auto &e : env) envp.push_back(const_cast<char *>(e.c_str()));
  envp.push_back(nullptr);
  execve(bin.c_str(), argv.data(), envp.data());
  _exit(127);
}

// Waits for the child `pid` to end (bounded); its exit status, or -1 when
// it did not exit normally or did not end at all (it is then killed).
inline int waitExit(pid_t pid, int boundSeconds = 60) {
  int status = 0;
  bool ended = eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, boundSeconds);
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs rpd to completion; fills stdout/stderr texts and returns the status.
inline int runRpd(const Sandbox &box, const std::vector<std::string> &args, std::string *out = nullptr,
                  std::string *err = nullptr) {
  std::string outFile = box.path("stdout.txt"), errFile = box.path("stderr.txt");
  int status = waitExit(spawnRpd(box, args, outFile, errFile));
  if (out) *out = readFile(outFile);
  if (err) *err = readFile(errFile);
  return status;
}

}  // namespace rpdtest
