// The FTP client against scripted servers: the replies and data
// connections no real server gives on demand (bare line ends, split and
// overlong lines, silence, trickling data, foreign addresses, intruders),
// local stream failures and aborts.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/net/protocols/ftpclient.h"
#include "tests/net/protocols/ftpscript.h"
#include "tests/peers/ftppeers.h"

using namespace yux;
using namespace yux::net;
using namespace yux::test;

namespace {

TEST(FtpScripted, BareLineFeedRepliesNeedAcceptLF) {
  for (bool acceptLF : {true, false}) {
    SCOPED_TRACE(acceptLF ? "ftpAcceptLF" : "CR LF only");
    ScriptedServer server([](int fd, int) {
      FtpControl c{fd};
      c.Send("220 bare\n");
      if (c.Line().empty()) return;
      c.Send("331 bare\n");
      c.Line();
      c.Send("230 bare\n");
      c.Line();
    });
    RecordedFtp<TFtpClient> f;
    AimAtScript(f.c, server.Port());
    if (!acceptLF) f.c.Options.Exclude(ftpAcceptLF);
    f.c.Timeout = 2;
    bool ok = f.c.Connect();
    EXPECT_EQ(ok, acceptLF) << f.c.ErrorMessage;
    if (!acceptLF) EXPECT_EQ(f.c.ErrorMessage, "426 Timeout");
  }
}

TEST(FtpScripted, MultiLineReplySplitMidLine) {
  ScriptedServer server([](int fd, int) {
    FtpControl c{fd};
    c.Send("220-Welcome\r\n220-sec");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the split must arrive apart
    c.Send("ond line\r\n220 ready\r\n");
    c.Line();
    c.Send("230 in\r\n");
    c.Line();
  });
  RecordedFtp<TFtpClient> f;
  AimAtScript(f.c, server.Port());
  ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0) << f.c.ErrorMessage;
  EXPECT_TRUE(f.Traced("< 220-second line"));
  EXPECT_TRUE(f.Traced("< 220 ready"));
  // 230 to USER: no PASS, no ACCT.
  EXPECT_FALSE(f.TracedStart("> PASS"));
  EXPECT_FALSE(f.TracedStart("> ACCT"));
}

TEST(FtpScripted, OverlongReplyLineEndsTheRequestAndTheConnection) {
  ScriptedServer server([](int fd, int) {
    FtpControl c{fd};
    c.Send("220 " + std::string(40000, 'x') + "\r\n");
    c.Line();  // until the client closes
  });
  RecordedFtp<TFtpClient> f;
  AimAtScript(f.c, server.Port());
  EXPECT_EQ(f.Run(&TCustomFtpCli::ConnectAsync, 10000), 500);
  EXPECT_FALSE(f.c.Connected());
  EXPECT_EQ(f.c.State(), fcsReady);
  f.ExpectNoMoreDone(1);
}

TEST(FtpScripted, SilentServerTimesOutWithoutSpinning) {
  ScriptedServer server([](int fd, int) {
    FtpControl c{fd};
    c.Login();
    c.Line();  // PASV: never answered
    ReadExactly(fd, 1);
  });
  RecordedFtp<TFtpClient> f;
  AimAtScript(f.c, server.Port());
  f.c.Timeout = 2;
  f.c.LocalFileName = "/dev/null";
  auto t0 = std::chrono::steady_clock::now();
  std::clock_t cpu0 = std::clock();
  EXPECT_FALSE(f.c.List());
  double cpu = double(std::clock() - cpu0) / CLOCKS_PER_SEC;
  auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(f.c.ErrorMessage, "426 Timeout");
  EXPECT_EQ(f.c.StatusCode, 426);
  EXPECT_GE(waited, std::chrono::milliseconds(1900));
  // A wait that spins burns a core for the whole timeout.
  EXPECT_LT(cpu, 1.0);
}

TEST(FtpScripted, TricklingDownloadOutlivesTheTimeout) {
  ScriptedServer server([](int fd, int) {
    FtpControl c{fd};
    c.Login();
    int lfd = c.Pasv();
    c.Until("RETR");
    c.Send("150 here\r\n");
    int d = AcceptOne(lfd);
    for (int i = 0; i < 4; ++i) {
      WriteAll(d, std::string(1000, char('a' + i)));
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    CloseFd(d);
    c.Send("226 done\r\n");
    c.Line();
  });
  TempDir dir;
  RecordedFtp<TFtpClient> f;
  AimAtScript(f.c, server.Port());
  f.c.Timeout = 2;
  ASSERT_TRUE(f.c.Connect()) << f.c.ErrorMessage;
  f.c.SetPassive(true);
  f.c.HostFileName = "slow";
  f.c.LocalFileName = (dir / "slow").string();
  EXPECT_TRUE(f.c.Get()) << f.c.ErrorMessage;
  EXPECT_EQ(ReadFile(dir / "slow").size(), 4000u);
}

// The final reply before the data connection closes, and after it.
TEST(FtpScripted, TransferEndsOnReplyAndCloseInEitherOrder) {
  for (bool replyFirst : {true, false}) {
    SCOPED_TRACE(replyFirst ? "226 first" : "close first");
    ScriptedServer server([replyFirst](int fd, int) {
      FtpControl c{fd};
      c.Login();
      int lfd = c.Pasv();
      c.Until("RETR");
      c.Send("150 here\r\n");
      int d = AcceptOne(lfd);
      WriteAll(d, "payload");
      if (replyFirst) {
        c.Send("226 done\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        CloseFd(d);
      } else {
        CloseFd(d);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        c.Send("226 done\r\n");
      }
      c.Line();
    });
    TempDir dir;
    RecordedFtp<TFtpClient> f;
    AimAtScript(f.c, server.Port());
    f.c.SetPassive(true);
    ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0);
    f.c.HostFileName = "x";
    f.c.LocalFileName = (dir / "x").string();
    EXPECT_EQ(f.Run(&TCustomFtpCli::GetAsync), 0) << f.c.ErrorMessage;
    EXPECT_EQ(ReadFile(dir / "x"), "payload");
    f.ExpectNoMoreDone(2);
  }
}

// A 227 naming another host: the data connection still goes to the host the
// control connection reached, and never leaves the loopback network.
TEST(FtpScripted, PassiveAddressOfTheReplyIsNotTrusted) {
  for (const char* named : {"127,0,0,2", "10,1,2,3", "8,8,8,8"}) {
    SCOPED_TRACE(named);
    ScriptedServer server([named](int fd, int) {
      FtpControl c{fd};
      c.Login();
      int lfd = c.Pasv(named);
      c.Until("RETR");
      c.Send("150 here\r\n");
      int d = AcceptOne(lfd);
      WriteAll(d, "safe");
      CloseFd(d);
      c.Send("226 done\r\n");
      c.Line();
    });
    TempDir dir;
    RecordedFtp<TFtpClient> f;
    AimAtScript(f.c, server.Port());
    f.c.SetPassive(true);
    ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0);
    f.c.HostFileName = "x";
    f.c.LocalFileName = (dir / "x").string();
    EXPECT_EQ(f.Run(&TCustomFtpCli::GetAsync, 10000), 0) << f.c.ErrorMessage;
    EXPECT_EQ(ReadFile(dir / "x"), "safe");
  }
}

TEST(FtpScripted, MalformedPassiveReplyFailsTheRequest) {
  for (const char* reply : {"227 Entering Passive Mode (127,0,0,300,4,1).",
                            "227 Entering Passive Mode (127,0,0,1,0,0).",
                            "227 Entering Passive Mode"}) {
    SCOPED_TRACE(reply);
    ScriptedServer server([reply](int fd, int) {
      FtpControl c{fd};
      c.Login();
      c.Until("PASV");
      c.Send(std::string(reply) + "\r\n");
      c.Line();
    });
    RecordedFtp<TFtpClient> f;
    AimAtScript(f.c, server.Port());
    f.c.SetPassive(true);
    ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0);
    f.c.HostFileName = "x";
    f.c.LocalFileName = "/dev/null";
    EXPECT_EQ(f.Run(&TCustomFtpCli::GetAsync), 550);
    f.ExpectNoMoreDone(2);
  }
}

// Only the server may connect to the active-mode data port.
TEST(FtpScripted, ActiveDataPortRefusesAnIntruder) {
  std::atomic<bool> intruderClosed{false};
  ScriptedServer server([&](int fd, int) {
    FtpControl c{fd};
    c.Login();
    std::string port = c.Until("PORT");
    c.Send("200 port ok\r\n");
    c.Until("RETR");
    int intruder = ConnectFrom("127.0.0.2", port);
    intruderClosed = intruder >= 0 && PeerClosed(intruder);
    if (intruder >= 0) CloseFd(intruder);
    c.Send("150 here\r\n");
    int d = ConnectFrom("127.0.0.1", port);
    WriteAll(d, "genuine");
    CloseFd(d);
    c.Send("226 done\r\n");
    c.Line();
  });
  TempDir dir;
  RecordedFtp<TFtpClient> f;
  AimAtScript(f.c, server.Port());
  f.c.SetPassive(false);
  ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0);
  f.c.HostFileName = "x";
  f.c.LocalFileName = (dir / "x").string();
  EXPECT_EQ(f.Run(&TCustomFtpCli::GetAsync, 10000), 0) << f.c.ErrorMessage;
  EXPECT_EQ(ReadFile(dir / "x"), "genuine");
  EXPECT_TRUE(intruderClosed);
  EXPECT_TRUE(f.TracedStart("! Data connection from 127.0.0.2 refused"));
  EXPECT_TRUE(f.TracedStart("> PORT 127,0,0,1,"));
}

// A busy port of the range is passed over; the next transfer starts the
// range again.
TEST(FtpScripted, ActiveDataPortRangeSkipsABusyPort) {
  int first = 0, busy = -1;
  for (int tries = 0; tries < 50 && busy < 0; ++tries) {
    first = FreeLoopbackPort();
    if (first >= 65535) continue;
    busy = LoopbackListenerOn(first);
    int probe = LoopbackListenerOn(first + 1);
    if (probe < 0) {
      CloseFd(busy);
      busy = -1;
    }
    CloseFd(probe);
  }
  ASSERT_GE(busy, 0);
  std::vector<std::string> ports;
  std::mutex lock;
  ScriptedServer server([&](int fd, int) {
    FtpControl c{fd};
    c.Login();
    for (int i = 0; i < 2; ++i) {
      std::string port = c.Until("PORT");
      {
        std::lock_guard<std::mutex> g(lock);
        ports.push_back(port);
      }
      c.Send("200 port ok\r\n");
      c.Until("RETR");
      c.Send("150 here\r\n");
      int d = ConnectFrom("127.0.0.1", port);
      WriteAll(d, "x");
      CloseFd(d);
      c.Send("226 done\r\n");
    }
    c.Line();
  });
  TempDir dir;
  RecordedFtp<TFtpClient> f;
  AimAtScript(f.c, server.Port());
  f.c.SetPassive(false);
  f.c.SetDataPortRangeStart(unsigned(first));
  f.c.SetDataPortRangeEnd(unsigned(first + 1));
  ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0);
  f.c.HostFileName = "x";
  f.c.LocalFileName = (dir / "x").string();
  EXPECT_EQ(f.Run(&TCustomFtpCli::GetAsync), 0) << f.c.ErrorMessage;
  CloseFd(busy);
  EXPECT_EQ(f.Run(&TCustomFtpCli::GetAsync), 0) << f.c.ErrorMessage;
  auto portText = [](int p) {
    return "PORT 127,0,0,1," + std::to_string(p >> 8) + "," + std::to_string(p & 255);
  };
  std::lock_guard<std::mutex> g(lock);
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[0], portText(first + 1));
  EXPECT_EQ(ports[1], portText(first));
}

// An application stream that fails after some bytes.
class FailingStream : public TStream {
 public:
  FailingStream(std::string data, std::int64_t failAt) : data_(std::move(data)), failAt_(failAt) {}
  std::int64_t Read(void* b, std::int64_t n) override {
    if (pos_ >= failAt_) throw EStreamError("disk read failed");
    n = std::min<std::int64_t>(n, std::int64_t(data_.size()) - pos_);
    std::memcpy(b, data_.data() + pos_, size_t(n));
    pos_ += n;
    return n;
  }
  std::int64_t Write(const void*, std::int64_t n) override {
    if (pos_ + n > failAt_) throw EStreamError("disk full");
    pos_ += n;
    return n;
  }
  std::int64_t Seek(std::int64_t o, TSeekOrigin origin) override {
    if (origin == TSeekOrigin::soEnd) pos_ = std::int64_t(data_.size()) + o;
    else if (origin == TSeekOrigin::soBeginning) pos_ = o;
    else pos_ += o;
    return pos_;
  }
  void SetSize(std::int64_t) override {}

 private:
  std::string data_;
  std::int64_t failAt_;
  std::int64_t pos_ = 0;
};

TEST(FtpScripted, LocalReadErrorResetsTheUploadAndEndsWith426) {
  std::atomic<bool> reset{false};
  ScriptedServer server([&](int fd, int) {
    FtpControl c{fd};
    c.Login();
    int lfd = c.Pasv();
    int d = AcceptOne(lfd);
    c.Until("STOR");
    c.Send("150 send\r\n");
    reset = ReadUntilEnd(d) == EndReset;
    CloseFd(d);
    c.Send("226 stored\r\n");  // the server thinks all is well
    c.Line();
  });
  RecordedFtp<TFtpClient> f;
  AimAtScript(f.c, server.Port());
  f.c.SetPassive(true);
  ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0);
  FailingStream s(std::string(300000, 'u'), 100000);
  f.c.SetLocalStream(&s);
  f.c.HostFileName = "up";
  EXPECT_EQ(f.Run(&TCustomFtpCli::PutAsync), 426);
  EXPECT_EQ(f.c.RequestResult, 426);
  EXPECT_EQ(f.c.StatusCode, 426);
  EXPECT_EQ(f.c.ErrorMessage, "426 disk read failed");
  EXPECT_TRUE(reset);
  f.ExpectNoMoreDone(2);
}

TEST(FtpScripted, LocalWriteErrorResetsTheDownloadAndEndsWith550) {
  ScriptedServer server([&](int fd, int) {
    FtpControl c{fd};
    c.Login();
    int lfd = c.Pasv();
    c.Until("RETR");
    c.Send("150 here\r\n");
    int d = AcceptOne(lfd);
    SendUntilRefused(d, std::string(65536, 'd'), 16);
    CloseFd(d);
    c.Send("226 sent\r\n");
    c.Line();
  });
  RecordedFtp<TFtpClient> f;
  AimAtScript(f.c, server.Port());
  f.c.SetPassive(true);
  ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0);
  FailingStream s({}, 100000);
  f.c.SetLocalStream(&s);
  f.c.HostFileName = "down";
  EXPECT_EQ(f.Run(&TCustomFtpCli::GetAsync), 550);
  EXPECT_EQ(f.c.RequestResult, 550);
  EXPECT_EQ(f.c.StatusCode, 550);
  EXPECT_EQ(f.c.ErrorMessage, "550 disk full");
  f.ExpectNoMoreDone(2);
}

TEST(FtpScripted, UsageErrorInsideARequestEndsItWith500) {
  ScriptedServer server([](int fd, int) {
    FtpControl c{fd};
    c.Send("220 hi\r\n");
    c.Line();
    c.Send("331 pass\r\n");
    c.Line();
    c.Send("332 account needed\r\n");
    c.Line();
  });
  RecordedFtp<TFtpClient> f;
  AimAtScript(f.c, server.Port());
  EXPECT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 500);
  EXPECT_EQ(f.done.back().rq, ftpConnectAsync);
  EXPECT_EQ(f.c.ErrorMessage, "500 Account empty!");
  EXPECT_EQ(f.c.State(), fcsReady);
  EXPECT_TRUE(f.errors.empty());
  f.ExpectNoMoreDone(1);
  // Refused before any request starts: OnError, and no OnRequestDone.
  f.c.Account.clear();
  f.c.AccountAsync();
  ASSERT_EQ(f.errors.size(), 1u);
  EXPECT_EQ(f.errors[0], "Account empty!");
  f.ExpectNoMoreDone(1);
}

TEST(FtpScripted, AbortEndsTheRunningRequestOnceAfterItReturns) {
  ScriptedServer server([](int fd, int) {
    FtpControl c{fd};
    c.Login();
    c.Line();  // never answered
    ReadExactly(fd, 1);
  });
  RecordedFtp<TFtpClient> f;
  AimAtScript(f.c, server.Port());
  ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0);
  f.c.SystAsync();
  ASSERT_TRUE(platform::WaitPumping([&] { return f.Traced("> SYST"); }, 5000, 5));
  f.c.Abort();
  EXPECT_EQ(f.done.size(), 1u);  // posted, not yet delivered
  ASSERT_TRUE(platform::WaitPumping([&] { return f.done.size() == 2; }, 5000, 5));
  EXPECT_EQ(f.done[1].rq, ftpSystAsync);
  EXPECT_EQ(f.done[1].error, 426);
  EXPECT_EQ(f.c.StatusCode, 426);
  EXPECT_EQ(f.c.ErrorMessage, "426 Operation aborted.");
  // Nothing runs now: an Abort raises no OnRequestDone.
  f.c.Abort();
  f.ExpectNoMoreDone(2);
}

}  // namespace
