#include "tests/peers/peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <random>
#include <utility>

extern char** environ;

namespace yux::test {

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

bool WaitReadable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, ms) > 0;
}

}  // namespace

std::pair<int, int> OutgoingPortRange() {
  int low = 32768, high = 60999;
  std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low >> high;
  return {low, high};
}

int FreeLoopbackPort() {
  // Below the range outgoing connections take their ports from: a port
  // in it can be taken by any client's connection (of this test or of
  // another running at the same time) before the server that is to listen
  // there has bound it.
  const int below = OutgoingPortRange().first;
  const int from = std::max(1024, below - 16384);
  static std::mt19937 pick(std::random_device{}() ^ unsigned(getpid()));
  for (int attempt = 0; below - from >= 1024 && attempt < 100; ++attempt) {
    const int port = from + int(pick() % unsigned(below - from));
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_ANY);  // free on every address
    const bool free = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (fd >= 0) ::close(fd);
    if (free) return port;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(0);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t l = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l);
  ::close(fd);
  return ntohs(a.sin_port);
}

bool Listening(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = Loopback(port);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

bool WaitForListener(int port) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < end) {
    if (Listening(port)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // polling a starting program
  }
  return false;
}

bool PeerProcess::Start(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (auto& s : argv) args.push_back(const_cast<char*>(s.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return false;
  pid_ = pid;
  return true;
}

void PeerProcess::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

bool PeerProcess::Exited() {
  if (pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
  return pid_ <= 0;
}

bool StartSocatEcho(PeerProcess& p, int& port) {
  port = FreeLoopbackPort();
  if (!p.Start({"socat", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork",
                "PIPE"}))
    return false;
  return WaitForListener(port);
}

bool StartSocatSink(PeerProcess& p, int& port, const std::string& file) {
  port = FreeLoopbackPort();
  // One connection only: the probe of WaitForListener must not count, so
  // the sink accepts in a loop and appends.
  if (!p.Start({"socat", "-u", "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr,fork",
                "OPEN:" + file + ",creat,append"}))
    return false;
  return WaitForListener(port);
}

bool StartMicrosocks(PeerProcess& p, int& port, const std::string& user,
                     const std::string& password) {
  port = FreeLoopbackPort();
  if (!p.Start({"microsocks", "-i", "127.0.0.1", "-p", std::to_string(port), "-u", user, "-P",
                password}))
    return false;
  return WaitForListener(port);
}

bool StartDante(PeerProcess& p, int& port, const TempDir& conf) {
  port = FreeLoopbackPort();
  std::string file = (conf / "danted.conf").string();
  WriteFile(file,
            "logoutput: stderr\n"
            "internal: 127.0.0.1 port = " + std::to_string(port) + "\n"
            "external: 127.0.0.1\n"
            "socksmethod: none\n"
            "clientmethod: none\n"
            "user.privileged: root\n"
            "user.unprivileged: nobody\n"
            "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
            "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 protocol: tcp }\n");
  if (!p.Start({"danted", "-f", file, "-p", (conf / "danted.pid").string()})) return false;
  return WaitForListener(port);
}

bool StartTinyproxy(PeerProcess& p, int& port, const TempDir& conf, const std::string& user,
                    const std::string& password, int connectPort) {
  port = FreeLoopbackPort();
  std::string file = (conf / "tinyproxy.conf").string();
  WriteFile(file, "User nobody\nGroup nogroup\nPort " + std::to_string(port) +
                      "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\n"
                      "Allow 127.0.0.1\nLogLevel Critical\n"
                      "BasicAuth " + user + " " + password + "\n"
                      "ConnectPort " + std::to_string(connectPort) + "\n");
  if (!p.Start({"tinyproxy", "-d", "-c", file})) return false;
  return WaitForListener(port);
}

ScriptedServer::ScriptedServer(Script script) : script_(std::move(script)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = Loopback(0);
  ::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(listenFd_, 16);
  socklen_t l = sizeof a;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &l);
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] {
    while (!stop_) {
      if (!WaitReadable(listenFd_, 50)) continue;
      int fd = ::accept(listenFd_, nullptr, nullptr);
      if (fd < 0) continue;
      int index = count_++;
      current_ = fd;
      if (!stop_) script_(fd, index);
      current_ = -1;
      ::close(fd);
    }
  });
}

ScriptedServer::~ScriptedServer() {
  stop_ = true;
  int fd = current_.load();
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);  // ends a script waiting on its client
  thread_.join();
  ::close(listenFd_);
}

std::string ReadExactly(int fd, size_t n) {
  std::string out;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (out.size() < n && std::chrono::steady_clock::now() < end) {
    if (!WaitReadable(fd, 50)) continue;
    char buf[4096];
    ssize_t k = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
    if (k <= 0) break;
    out.append(buf, size_t(k));
  }
  return out;
}

std::string ReadHeaders(int fd) {
  std::string out;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (out.find("\r\n\r\n") == std::string::npos && std::chrono::steady_clock::now() < end) {
    if (!WaitReadable(fd, 50)) continue;
    char c;
    ssize_t k = ::recv(fd, &c, 1, 0);
    if (k <= 0) break;
    out += c;
  }
  return out;
}

void WriteAll(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t k = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (k <= 0) return;
    off += size_t(k);
  }
}

}  // namespace yux::test
