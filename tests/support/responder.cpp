// responder.cpp: the raw-socket responder and the case file reader.
#include "responder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vaulttest {

namespace {

std::string substitute(std::string line, const std::map<std::string, std::string> &vars) {
  for (const auto &[k, v] : vars) {
    std::string key = "%" + k + "%";
    for (size_t pos; (pos = line.find(key)) != std::string::npos;) line.replace(pos, key.size(), v);
  }
  return line;
}

std::string hexBytes(const std::string &text) {
  std::string out;
  std::string digits;
  for (char c : text) {
    if (c == '#') break;
    if (isxdigit((unsigned char)c)) digits += c;
  }
  if (digits.size() % 2) throw std::runtime_error("odd hex digit count: " + text);
  for (size_t i = 0; i < digits.size(); i += 2)
    out += (char)strtoul(digits.substr(i, 2).c_str(), nullptr, 16);
  return out;
}

// Waits until fd is readable; false after about 20 s of silence so a
// client that never comes does not hang the test run.
bool waitReadable(int fd) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 20000) > 0;
}

void sendAll(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return;
    p += w;
    n -= (size_t)w;
  }
}

// Reads one request: header block and Content-Length body.
std::string readRequest(int fd) {
  std::string data;
  char buf[65536];
  size_t headerEnd = std::string::npos;
  bool continued = false;
  size_t need = 0;
  for (;;) {
    if (headerEnd == std::string::npos) {
      headerEnd = data.find("\r\n\r\n");
      if (headerEnd != std::string::npos) {
        headerEnd += 4;
        std::string head = data.substr(0, headerEnd);
        size_t cl = head.find("Content-Length: ");
        need = cl == std::string::npos ? 0 : strtoul(head.c_str() + cl + 16, nullptr, 10);
        if (!continued && head.find("Expect: 100-continue\r\n") != std::string::npos) {
          static const char cont[] = "HTTP/1.1 100 Continue\r\n\r\n";
          sendAll(fd, cont, sizeof cont - 1);
          continued = true;
        }
      }
    }
    if (headerEnd != std::string::npos && data.size() >= headerEnd + need) return data;
    if (!waitReadable(fd)) return data;
    ssize_t r = recv(fd, buf, sizeof buf, 0);
    if (r <= 0) return data;
    data.append(buf, (size_t)r);
  }
}

}  // namespace

std::vector<Exchange> loadCase(const std::string &name, const std::map<std::string, std::string> &vars) {
  std::string path = std::string(RPD_SOURCE_DIR) + "/tests/vault/data/" + name + ".case";
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::vector<Exchange> out;
  std::string *section = nullptr;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == '#') continue;
    // What the test calls and expects is read by the test itself.
    if (line.rfind("%call", 0) == 0 || line.rfind("%expect", 0) == 0) continue;
    if (line == "--- request") {
      out.emplace_back();
      out.back().hasRequest = true;
      section = &out.back().request;
      continue;
    }
    if (line == "--- reply" || line == "--- drop" || line == "--- slow") {
      // A reply belongs to the request before it unless that one already
      // has its reply; otherwise it starts a reply-only exchange.
      if (out.empty() || out.back().replied) out.emplace_back();
      out.back().replied = true;
      if (line == "--- drop") out.back().drop = true;
      if (line == "--- slow") out.back().slow = true;
      section = &out.back().reply;
      continue;
    }
    if (!section) throw std::runtime_error("data before a section in " + path);
    line = substitute(line, vars);
    if (line.rfind("%hex", 0) == 0) {
      *section += hexBytes(line.substr(4));
    } else if (line.rfind("%repeat ", 0) == 0) {
      std::istringstream ss(line.substr(8));
      size_t n;
      std::string byte;
      ss >> n >> byte;
      *section += std::string(n, hexBytes(byte)[0]);
    } else if (line.rfind("%text ", 0) == 0) {
      *section += line.substr(6);
    } else {
      *section += line + "\r\n";
    }
  }
  return out;
}

Responder::Responder() {
  listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(listenFd_, (struct sockaddr *)&a, sizeof a) < 0 || listen(listenFd_, 16) < 0)
    throw std::runtime_error("responder: bind/listen failed");
  socklen_t len = sizeof a;
  getsockname(listenFd_, (struct sockaddr *)&a, &len);
  port_ = ntohs(a.sin_port);
}

Responder::~Responder() {
  if (thread_.joinable()) thread_.join();
  close(listenFd_);
}

std::string Responder::target() const { return "http://127.0.0.1:" + std::to_string(port_); }

void Responder::serve(const std::string &caseName, std::map<std::string, std::string> vars) {
  vars["PORT"] = std::to_string(port_);
  exchanges_ = loadCase(caseName, vars);
  received_.clear();
  thread_ = std::thread([this] { run(); });
}

void Responder::run() {
  for (const Exchange &ex : exchanges_) {
    if (!waitReadable(listenFd_)) return;
    int fd = accept(listenFd_, nullptr, nullptr);
    if (fd < 0) return;
    received_.push_back(readRequest(fd));
    if (!ex.drop) {
      if (ex.slow) {
        for (char c : ex.reply) {
          sendAll(fd, &c, 1);
          usleep(2000);
        }
      } else {
        sendAll(fd, ex.reply.data(), ex.reply.size());
      }
    }
    shutdown(fd, SHUT_WR);
    // Let the client close first so the reply is not cut by a reset.
    char sink[4096];
    while (waitReadable(fd) && recv(fd, sink, sizeof sink, 0) > 0) {
    }
    close(fd);
  }
}

std::vector<std::string> Responder::finish() {
  if (thread_.joinable()) thread_.join();
  return received_;
}

std::string printable(const std::string &bytes) {
  std::string out;
  char tmp[8];
  for (unsigned char c : bytes) {
    if (c == '\r') out += "\\r";
    else if (c == '\n') out += "\\n\n";
    else if (c >= 32 && c < 127) out += (char)c;
    else {
      snprintf(tmp, sizeof tmp, "\\x%02X", c);
      out += tmp;
    }
  }
  return out;
}

}  // namespace vaulttest
