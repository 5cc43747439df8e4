#pragma once
// Real outside servers on 127.0.0.1 for the socket tests: each is started
// on a free port by the test and stopped with the object.  And a scripted
// server for the exchanges no real server offers on demand.
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/testsupport.h"

namespace yux::test {

// A free TCP port on 127.0.0.1 (bound, released), outside the range the
// system takes outgoing connections' ports from, so that no client can
// take it before a server binds it.
int FreeLoopbackPort();
// The first and last port of that range.
std::pair<int, int> OutgoingPortRange();
// True once something accepts connections on 127.0.0.1:port (within 5 s).
bool WaitForListener(int port);
// One try: does something accept connections on 127.0.0.1:port now?
bool Listening(int port);

// A background program, killed (SIGTERM, then SIGKILL) with the object.
class PeerProcess {
 public:
  PeerProcess() = default;
  ~PeerProcess() { Stop(); }
  PeerProcess(const PeerProcess&) = delete;
  PeerProcess& operator=(const PeerProcess&) = delete;
  // Starts argv; false when it could not be started.
  bool Start(const std::vector<std::string>& argv);
  void Stop();
  bool Running() const { return pid_ > 0; }
  // True (and no longer running) once the program has ended by itself.
  bool Exited();

 private:
  int pid_ = -1;
};

// socat as an echo server, or as a sink that writes what it gets to a file.
bool StartSocatEcho(PeerProcess& p, int& port);
bool StartSocatSink(PeerProcess& p, int& port, const std::string& file);

// microsocks with user and password (SOCKS 5).
bool StartMicrosocks(PeerProcess& p, int& port, const std::string& user,
                     const std::string& password);
// dante without authentication (SOCKS 4 and 5); conf is a folder for its
// configuration.
bool StartDante(PeerProcess& p, int& port, const TempDir& conf);
// tinyproxy with Basic authentication, CONNECT allowed to connectPort.
bool StartTinyproxy(PeerProcess& p, int& port, const TempDir& conf, const std::string& user,
                    const std::string& password, int connectPort);

// A server on a thread: each accepted connection is given, blocking, to
// the script, one after another.
class ScriptedServer {
 public:
  using Script = std::function<void(int fd, int index)>;
  explicit ScriptedServer(Script script);
  ~ScriptedServer();
  int Port() const { return port_; }
  int Connections() const { return count_.load(); }

 private:
  Script script_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> count_{0};
  std::atomic<int> current_{-1};  // the connection the script works on
  std::thread thread_;
};

// Blocking helpers for scripts (with a 5 s limit).
std::string ReadExactly(int fd, size_t n);
// Up to and including the first "\r\n\r\n" (or what came before EOF).
std::string ReadHeaders(int fd);
void WriteAll(int fd, const std::string& data);

}  // namespace yux::test
