// responder.h: a raw-socket HTTP responder that replays wire cases.
//
// A case file (tests/vault/data/*.case) lists exchanges: the exact request
// bytes the client must send and the reply bytes the responder answers,
// side by side. The responder accepts one connection per exchange, records
// the request (headers and Content-Length body), answers
// "HTTP/1.1 100 Continue" when the client asks for it, then sends the
// reply as written (or drops the connection, or trickles the reply).
//
// Case file syntax, one directive per line:
//   # ...            comment
//   --- request      start of an exchange's expected request
//   --- reply        start of its reply
//   --- drop         the responder closes without replying
//   --- slow         the reply is sent one byte at a time
//   text             the text followed by CR LF (an empty line is CR LF)
//   %hex AA BB ...   raw bytes (blanks ignored; '#' starts a comment)
//   %repeat N AA     byte AA N times
//   %text abc        the text without CR LF
//   %call, %expect   the call a test makes and its expected results (not
//                    read here; see tests/vault/wire_test.cpp)
// Variables in text: %PORT% (responder port), %PATH% (set by the test).
#pragma once

#include <map>
#include <string>
#include <thread>
#include <vector>

namespace vaulttest {

struct Exchange {
  std::string request;  // expected request bytes
  std::string reply;    // reply bytes
  bool hasRequest = false;
  bool drop = false;
  bool slow = false;
  bool replied = false;  // a reply section was seen
};

// Parses the case file at tests/vault/data/<name>.case with variables.
std::vector<Exchange> loadCase(const std::string &name, const std::map<std::string, std::string> &vars);

class Responder {
 public:
  Responder();  // binds 127.0.0.1 on a free port
  ~Responder();
  Responder(const Responder &) = delete;
  Responder &operator=(const Responder &) = delete;
  int port() const { return port_; }
  // "http://127.0.0.1:<port>"
  std::string target() const;
  // Loads the case (with %PORT% and vars) and starts serving its exchanges.
  void serve(const std::string &caseName, std::map<std::string, std::string> vars = {});
  // Waits until every exchange was served (or the wait gave up) and
  // returns the requests received, in order.
  std::vector<std::string> finish();
  const std::vector<Exchange> &exchanges() const { return exchanges_; }

 private:
  void run();
  int listenFd_ = -1;
  int port_ = 0;
  std::vector<Exchange> exchanges_;
  std::vector<std::string> received_;
  std::thread thread_;
};

// Printable rendering of bytes for failure messages (CR LF shown, binary
// as \xNN).
std::string printable(const std::string &bytes);

}  // namespace vaulttest
