#pragma once
// Clients for testing a server that runs on the test's own event loop:
// each client works on its own (a subprocess or a thread) while the test
// pumps messages until it is done.
#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/testsupport.h"

namespace yux::test {

// Runs a program to its end while pumping messages (exitCode -1 when it
// did not end in time; it is then killed).
ProcessResult RunPumping(const std::vector<std::string>& argv, int timeoutMs = 30000);

// curl -s -S --max-time 20 with the arguments, while pumping messages.
ProcessResult CurlPumping(const std::vector<std::string>& args);
// "http://127.0.0.1:<port><path>".
std::string LoopbackUrl(int port, const std::string& path);

// A blocking TCP connection to 127.0.0.1:port, from the loopback address
// `from` when given (any of 127.0.0.0/8); -1 when it failed.
int ConnectLoopback(int port, const char* from = nullptr);

// What a raw client got back: every byte, and whether the server closed
// (EOF or reset) before the client gave up waiting.
struct RawResult {
  std::string data;
  bool closed = false;
  bool reset = false;
};

// A raw TCP client on a thread: connects to 127.0.0.1:port, sends the
// pieces one after another, then reads until the server closes or
// nothing comes for idleMs.
class RawHttpClient {
 public:
  RawHttpClient(int port, std::vector<std::string> pieces, int idleMs = 3000,
                bool closeAfterFirstBytes = false);
  ~RawHttpClient();
  RawHttpClient(const RawHttpClient&) = delete;
  RawHttpClient& operator=(const RawHttpClient&) = delete;
  bool Done() const { return done_.load(); }
  // Pumps messages until the client is done (at most timeoutMs).
  const RawResult& Wait(int timeoutMs = 20000);

 private:
  void Run(int port, std::vector<std::string> pieces, int idleMs, bool closeEarly);
  std::atomic<bool> done_{false};
  RawResult result_;
  std::thread thread_;
};

// One exchange: sends the bytes, returns what came back.
RawResult RawExchange(int port, const std::string& request, int idleMs = 3000);

// The status code of the first (or n-th, 0-based) HTTP answer in data.
int StatusOf(const std::string& data, int n = 0);
// How many HTTP answers (status lines) data holds.
int AnswerCount(const std::string& data);

}  // namespace yux::test
