#pragma once
// What the FTP client tests share: a client whose events are recorded, and
// running one request to its end.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "net/protocols/ftpcli.h"
#include "platform/messages.h"

namespace yux::test {

struct FtpDone {
  net::TFtpRequest rq;
  int error;
};

// Records every OnRequestDone and the trace of a client.
template <class Client>
struct RecordedFtp {
  Client c;
  std::vector<FtpDone> done;
  std::vector<std::string> trace;
  std::vector<std::string> errors;

  RecordedFtp() {
    c.OnRequestDone = [this](net::TCustomFtpCli*, net::TFtpRequest rq, net::WORD e) {
      done.push_back({rq, e});
    };
    c.OnDisplay = [this](net::TCustomFtpCli*, std::string& m) { trace.push_back(m); };
    c.OnError = [this](net::TCustomFtpCli*, std::string& m) { errors.push_back(m); };
  }

  // Starts the operation and waits for its one OnRequestDone; the error.
  int Run(void (net::TCustomFtpCli::*op)(), unsigned ms = 30000) {
    size_t before = done.size();
    (c.*op)();
    if (!platform::WaitPumping([&] { return done.size() > before; }, ms, 5)) {
      std::string tail;
      for (size_t i = trace.size() > 12 ? trace.size() - 12 : 0; i < trace.size(); ++i)
        tail += trace[i] + "\n";
      ADD_FAILURE() << "no OnRequestDone; trace ends:\n" << tail;
      return -1;
    }
    EXPECT_EQ(done.size(), before + 1);
    return done.back().error;
  }

  bool Traced(const std::string& line) const {
    for (auto& t : trace)
      if (t == line) return true;
    return false;
  }
  bool TracedStart(const std::string& start) const {
    for (auto& t : trace)
      if (t.rfind(start, 0) == 0) return true;
    return false;
  }
  // Nothing more arrives once the messages waiting now are handled.
  void ExpectNoMoreDone(size_t count) {
    platform::ProcessMessagesFor(50);
    EXPECT_EQ(done.size(), count);
  }
};

inline std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 g(seed);
  std::string s(n, '\0');
  for (auto& ch : s) ch = char(g());
  return s;
}

}  // namespace yux::test
