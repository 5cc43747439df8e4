#include "tests/peers/httppeers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <fstream>
#include <sstream>

#include "platform/messages.h"

extern char** environ;

namespace yux::test {

ProcessResult RunPumping(const std::vector<std::string>& argv, int timeoutMs) {
  ProcessResult r;
  TempDir tmp;
  std::string outFile = tmp.str() + "/out", errFile = tmp.str() + "/err";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) {
    r.err = "cannot start " + argv[0];
    return r;
  }
  int status = 0;
  bool ended = yux::platform::WaitPumping(
      [&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, unsigned(timeoutMs), 5);
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    r.exitCode = -1;
  } else {
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  r.out = ReadFile(outFile);
  r.err = ReadFile(errFile);
  return r;
}

ProcessResult CurlPumping(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"curl", "-s", "-S", "--max-time", "20"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunPumping(argv);
}

std::string LoopbackUrl(int port, const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(port) + path;
}

RawHttpClient::RawHttpClient(int port, std::vector<std::string> pieces, int idleMs,
                             bool closeAfterFirstBytes)
    : thread_([this, port, p = std::move(pieces), idleMs, closeAfterFirstBytes]() mutable {
        Run(port, std::move(p), idleMs, closeAfterFirstBytes);
      }) {}

RawHttpClient::~RawHttpClient() {
  if (thread_.joinable()) thread_.join();
}

int ConnectLoopback(int port, const char* from) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd >= 0 && from) {
    sockaddr_in b{};
    b.sin_family = AF_INET;
    if (inet_pton(AF_INET, from, &b.sin_addr) != 1 || ::bind(fd, reinterpret_cast<sockaddr*>(&b), sizeof b) != 0) {
      ::close(fd);
      return -1;
    }
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

void RawHttpClient::Run(int port, std::vector<std::string> pieces, int idleMs, bool closeEarly) {
  int fd = ConnectLoopback(port);
  if (fd < 0) {
    result_.closed = true;
    done_ = true;
    return;
  }
  auto readSome = [&](int waitMs) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0) return 0;
    char buf[65536];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      result_.data.append(buf, size_t(n));
      return 1;
    }
    if (n < 0 && errno == ECONNRESET) result_.reset = true;
    result_.closed = true;
    return -1;
  };
  for (const std::string& piece : pieces) {
    size_t off = 0;
    while (off < piece.size()) {
      // Read meanwhile, so a server that answers early never blocks us.
      pollfd p{fd, POLLOUT | POLLIN, 0};
      if (::poll(&p, 1, idleMs) <= 0) break;
      if (p.revents & POLLIN) {
        if (readSome(0) < 0) break;
        continue;
      }
      ssize_t n = ::send(fd, piece.data() + off, piece.size() - off, MSG_NOSIGNAL);
      if (n <= 0) break;
      off += size_t(n);
    }
    if (result_.closed) break;
  }
  while (!result_.closed) {
    int r = readSome(idleMs);
    if (r == 0) break;
    if (closeEarly && !result_.data.empty()) break;
  }
  ::close(fd);
  done_ = true;
}

const RawResult& RawHttpClient::Wait(int timeoutMs) {
  yux::platform::WaitPumping([&] { return done_.load(); }, unsigned(timeoutMs), 5);
  if (thread_.joinable() && done_) thread_.join();
  return result_;
}

RawResult RawExchange(int port, const std::string& request, int idleMs) {
  RawHttpClient c(port, {request}, idleMs);
  return c.Wait(idleMs + 20000);
}

int StatusOf(const std::string& data, int n) {
  size_t pos = 0;
  for (int i = 0;; ++i) {
    pos = data.find("HTTP/1.", pos);
    if (pos == std::string::npos || pos + 12 > data.size()) return 0;
    if (i == n) return std::atoi(data.c_str() + pos + 9);
    pos += 12;
  }
}

int AnswerCount(const std::string& data) {
  int n = 0;
  size_t pos = 0;
  while ((pos = data.find("HTTP/1.", pos)) != std::string::npos) {
    // "HTTP/1.x NNN "
    if (pos + 13 <= data.size() && data[pos + 8] == ' ' && std::isdigit(data[pos + 9]) &&
        data[pos + 12] == ' ')
      ++n;
    pos += 7;
  }
  return n;
}

}  // namespace yux::test
