#pragma once
// What the scripted FTP servers of the client tests share: the control
// connection as a script sees it (command lines in, replies out, the lines
// recorded for the test when asked), the passive-mode answer, and a client
// aimed at such a server.
#include <mutex>
#include <string>
#include <vector>

#include "net/protocols/ftpcli.h"
#include "tests/peers/ftppeers.h"
#include "tests/peers/peers.h"

namespace yux::test {

// The lines a scripted server received, shared with the test.
struct Received {
  std::mutex lock;
  std::vector<std::string> lines;
  void Add(const std::string& l) {
    std::lock_guard<std::mutex> g(lock);
    lines.push_back(l);
  }
  std::vector<std::string> Snapshot() {
    std::lock_guard<std::mutex> g(lock);
    return lines;
  }
};

// One control connection of a script.
struct FtpControl {
  int fd;
  Received* rec = nullptr;  // records every command line when set
  std::string buf;

  // A command line without its line end; empty at the end of the stream.
  std::string Line() {
    while (buf.find('\n') == std::string::npos) {
      std::string c = ReadExactly(fd, 1);
      if (c.empty()) return {};
      buf += c;
    }
    size_t p = buf.find('\n');
    std::string l = buf.substr(0, p);
    buf.erase(0, p + 1);
    if (!l.empty() && l.back() == '\r') l.pop_back();
    if (rec) rec->Add(l);
    return l;
  }
  // Reads commands, answering each with 200, up to the one starting with verb.
  std::string Until(const std::string& verb) {
    for (;;) {
      std::string l = Line();
      if (l.empty() || l.rfind(verb, 0) == 0) return l;
      Send("200 ok\r\n");
    }
  }
  void Send(const std::string& s) { WriteAll(fd, s); }
  // Greets and logs the client in.
  void Login() {
    Send("220 scripted\r\n");
    Line();
    Send("331 password\r\n");
    Line();
    Send("230 in\r\n");
  }
  // Answers a PASV already read with the given address and a data port
  // listening on 127.0.0.1 only; returns the listening socket.
  int AnswerPasv(const std::string& addr = "127,0,0,1") {
    int port = 0;
    int listener = LoopbackListener(port);
    Send("227 Entering Passive Mode (" + addr + "," + std::to_string(port >> 8) + "," +
         std::to_string(port & 255) + ").\r\n");
    return listener;
  }
  // Reads commands up to PASV and answers it.
  int Pasv(const std::string& addr = "127,0,0,1") {
    Until("PASV");
    return AnswerPasv(addr);
  }
};

// A client aimed at a scripted server: user "user", password "pass",
// stream mode.
inline void AimAtScript(net::TCustomFtpCli& c, int port) {
  c.HostName = "127.0.0.1";
  c.Port = std::to_string(port);
  c.UserName = "user";
  c.PassWord = "pass";
  c.RequestedMode = net::ftpTransModeStream;
}

}  // namespace yux::test
