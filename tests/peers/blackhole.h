#pragma once
// A loopback port whose connects never complete, for connect timeouts: a
// listener that nobody accepts from, its queue filled until one more
// connect hangs (the kernel drops the SYN of a full queue).
#include <string>
#include <vector>

namespace yux::test {

class BlackholeListener {
 public:
  BlackholeListener();
  ~BlackholeListener();
  BlackholeListener(const BlackholeListener&) = delete;
  BlackholeListener& operator=(const BlackholeListener&) = delete;
  int Port() const { return port_; }
  // Empty once a connect was seen hanging; else why not.
  const std::string& Error() const { return error_; }

 private:
  int listenFd_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
  std::string error_;
};

}  // namespace yux::test
