// process.cpp: child processes of the tests (see process.h).
#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "files.h"

namespace rpd::test {

const char *const kUnset = "\x01unset";

std::string program(const std::string &relative) { return std::string(RPD_BINARY_DIR) + "/" + relative; }

namespace {

// In the child after fork: applies env, redirects, execs; never returns.
[[noreturn]] void execChild(const std::vector<std::string> &argv, const EnvChanges &env, int in, int out,
                            int err) {
  for (const auto &[name, value] : env) {
    if (value == kUnset)
      unsetenv(name.c_str());
    else
      setenv(name.c_str(), value.c_str(), 1);
  }
  if (in >= 0) dup2(in, 0);
  if (out >= 0) dup2(out, 1);
  if (err >= 0) dup2(err, 2);
  std::vector<char *> args;
  for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

int openOutput(const std::string &file) {
  return open(file.empty() ? "/dev/null" : file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

}  // namespace

Run run(const std::vector<std::string> &argv, const EnvChanges &env, int boundSeconds) {
  Run r;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) return r;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return r;
  }
  int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_t pid = fork();
  if (pid == 0) execChild(argv, env, null, out[1], err[1]);
  close(null);
  close(out[1]);
  close(err[1]);
  // Both pipes are drained together so a chatty child never blocks.
  struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string *sink[2] = {&r.out, &r.err};
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(boundSeconds);
  int open = 2;
  bool killed = false;
  while (open > 0) {
    if (std::chrono::steady_clock::now() > end && !killed) {
      kill(pid, SIGKILL);
      killed = true;
    }
    if (poll(fds, 2, 200) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[8192];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sink[i]->append(buf, (size_t)n);
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        open--;
      }
    }
  }
  for (auto &f : fds)
    if (f.fd >= 0) close(f.fd);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = !killed && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

pid_t spawn(const std::vector<std::string> &argv, const std::string &outFile, const std::string &errFile,
            const EnvChanges &env) {
  int out = openOutput(outFile), err = openOutput(errFile);
  pid_t pid = fork();
  if (pid == 0) execChild(argv, env, -1, out, err);
  close(out);
  close(err);
  return pid;
}

int waitExit(pid_t pid, int boundSeconds) {
  int status = 0;
  bool ended = eventually([&] { return waitpid(pid, &status, WNOHANG) == pid; }, boundSeconds);
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Child::Child(const std::vector<std::string> &argv, const std::string &readyPrefix, const EnvChanges &env,
             int boundSeconds) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return;
  pid_ = fork();
  if (pid_ == 0) execChild(argv, env, -1, fds[1], -1);
  close(fds[1]);
  // Read line by line until the ready line. The pipe stays open for the
  // child's life so later output does not kill it with SIGPIPE.
  std::string pending;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(boundSeconds);
  while (!ready_ && std::chrono::steady_clock::now() < end) {
    struct pollfd p = {fds[0], POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char c;
    if (read(fds[0], &c, 1) != 1) break;
    if (c != '\n') {
      pending += c;
      continue;
    }
    if (pending.compare(0, readyPrefix.size(), readyPrefix) == 0) {
      ready_ = true;
      line_ = pending;
    }
    pending.clear();
  }
  fd_ = fds[0];
}

Child::~Child() {
  if (pid_ > 0) stop();
}

int Child::stop(int sig) {
  if (pid_ <= 0) return -1;
  kill(pid_, sig);
  int status = waitExit(pid_, 30);
  pid_ = -1;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  return status;
}

}  // namespace rpd::test
