// relay.cpp: a TCP relay on loopback that counts the bytes passing through
// it, so a benchmark can report what a replication put on the wire (request
// and reply bytes at the TCP payload level, HTTP headers included).
//
//   bench_relay PORTFILE COUNTFILE TARGET_PORT
//
// Listens on a free port of 127.0.0.1 (written to PORTFILE once listening)
// and forwards every connection to 127.0.0.1:TARGET_PORT. When a connection
// opens and after it closes, COUNTFILE is replaced with three numbers: bytes sent
// by clients, bytes sent back by the target (totals since the start) and
// the connections still open, so a reader knows when the totals are final.
// Runs until SIGTERM.
//
// The relay stands in for a network, so its bookkeeping stays off the
// connections' path: a client's bytes are forwarded at once, and the count
// file is rewritten for an opened connection by the thread that carries the
// replies, before it forwards the first of them. A client therefore still
// cannot finish a request before its connection shows as open in the file,
// but it does not wait for the file either (a rewrite on a busy file system
// can take milliseconds, which clients making one connection per request
// would otherwise pay on every request).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::atomic<uint64_t> g_up{0}, g_down{0};
std::atomic<int> g_open{0};
std::mutex g_fileLock;  // guards writes of the count file
std::string g_countFile;

void writeCounts() {
  std::lock_guard<std::mutex> g(g_fileLock);
  std::string tmp = g_countFile + ".tmp";
  FILE *f = fopen(tmp.c_str(), "w");
  if (!f) return;
  fprintf(f, "%lu %lu %d\n", (unsigned long)g_up.load(), (unsigned long)g_down.load(), g_open.load());
  fclose(f);
  rename(tmp.c_str(), g_countFile.c_str());
}

// Copies from -> to until EOF, then half-closes to.
void pump(int from, int to, std::atomic<uint64_t> *counter) {
  static thread_local char buf[1 << 18];
  for (;;) {
    ssize_t n = read(from, buf, sizeof buf);
    if (n <= 0) break;
    *counter += uint64_t(n);
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(to, buf + done, size_t(n - done));
      if (w <= 0) {
        shutdown(from, SHUT_RD);
        shutdown(to, SHUT_WR);
        return;
      }
      done += w;
    }
  }
  shutdown(to, SHUT_WR);
}

// Carries the replies of one connection; the open connection is on file
// before the first reply byte moves.
void pumpReplies(int target, int client) {
  writeCounts();
  pump(target, client, &g_down);
}

void serve(int client, int targetPort) {
  g_open++;
  int target = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(targetPort));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (target < 0 || connect(target, (sockaddr *)&a, sizeof a) != 0) {
    close(client);
    if (target >= 0) close(target);
    g_open--;
    return;
  }
  int one = 1;
  setsockopt(target, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::thread back(pumpReplies, target, client);
  pump(client, target, &g_up);
  back.join();
  close(client);
  close(target);
  g_open--;
  writeCounts();
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: bench_relay PORTFILE COUNTFILE TARGET_PORT\n");
    return 2;
  }
  g_countFile = argv[2];
  int targetPort = atoi(argv[3]);
  int s = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(s, (sockaddr *)&a, sizeof a) != 0 || listen(s, 64) != 0 ||
      getsockname(s, (sockaddr *)&a, &len) != 0) {
    perror("bench_relay");
    return 1;
  }
  writeCounts();
  std::string tmp = std::string(argv[1]) + ".tmp";
  FILE *f = fopen(tmp.c_str(), "w");
  if (!f) return 1;
  fprintf(f, "%d\n", ntohs(a.sin_port));
  fclose(f);
  rename(tmp.c_str(), argv[1]);
  for (;;) {
    int c = accept(s, nullptr, nullptr);
    if (c < 0) continue;
    std::thread(serve, c, targetPort).detach();
  }
}
