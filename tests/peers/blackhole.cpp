#include "tests/peers/blackhole.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace yux::test {

namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(std::uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

}  // namespace

BlackholeListener::BlackholeListener() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(0);
  socklen_t len = sizeof a;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(listenFd_, 0) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    error_ = std::string("listener: ") + std::strerror(errno);
    return;
  }
  port_ = ntohs(a.sin_port);
  // Connect until one stays pending: that one, and every later one, hangs.
  for (int i = 0; i < 64; ++i) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) break;
    fillers_.push_back(fd);
    sockaddr_in to = Loopback(port_);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) continue;
    if (errno != EINPROGRESS) {
      error_ = std::string("filler connect: ") + std::strerror(errno);
      return;
    }
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 300) == 0) {
      error_.clear();
      return;
    }
  }
  error_ = "every connect to a listener with a full queue completed";
}

BlackholeListener::~BlackholeListener() {
  for (int fd : fillers_) ::close(fd);
  if (listenFd_ >= 0) ::close(listenFd_);
}

}  // namespace yux::test
