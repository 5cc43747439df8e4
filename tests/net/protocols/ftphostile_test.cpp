// The FTP client where names, servers or the network try to fool it: line
// breaks smuggled into command arguments, data connections cut short,
// replies that overstay their welcome, and resumed downloads.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/socket/sslcontext.h"
#include "tests/net/protocols/ftpclient.h"
#include "tests/net/protocols/ftpscript.h"
#include "tests/peers/ftppeers.h"
#include "tests/peers/sslfixture.h"

using namespace yux;
using namespace yux::net;
using namespace yux::test;

namespace {

// A name with a line break (or NUL) in any argument field ends the request
// with 501 before anything of it reaches the server: the command after the
// refused one is the next thing the server sees.
TEST(FtpHostile, LineBreaksInArgumentsAreRefusedBeforeAnythingIsSent) {
  using Op = void (TCustomFtpCli::*)();
  struct Case {
    const char* name;
    std::function<void(TCustomFtpCli&, const std::string&)> set;
    Op op;
    TFtpRequest rq;
  };
  const Case cases[] = {
      {"DELE file", [](TCustomFtpCli& c, const std::string& v) { c.HostFileName = v; },
       &TCustomFtpCli::DeleAsync, ftpDeleAsync},
      {"SIZE file", [](TCustomFtpCli& c, const std::string& v) { c.HostFileName = v; },
       &TCustomFtpCli::SizeAsync, ftpSizeAsync},
      {"MKD folder", [](TCustomFtpCli& c, const std::string& v) { c.HostFileName = v; },
       &TCustomFtpCli::MkdAsync, ftpMkdAsync},
      {"CWD folder", [](TCustomFtpCli& c, const std::string& v) { c.HostDirName = v; },
       &TCustomFtpCli::CwdAsync, ftpCwdAsync},
      {"RNFR source", [](TCustomFtpCli& c, const std::string& v) { c.HostFileName = v; },
       &TCustomFtpCli::RenFromAsync, ftpRenFromAsync},
      {"RNTO target", [](TCustomFtpCli& c, const std::string& v) { c.LocalFileName = v; },
       &TCustomFtpCli::RenToAsync, ftpRenToAsync},
      {"rename target",
       [](TCustomFtpCli& c, const std::string& v) {
         c.HostFileName = "a.txt";
         c.LocalFileName = v;
       },
       &TCustomFtpCli::RenAsync, ftpRenAsync},
      {"USER", [](TCustomFtpCli& c, const std::string& v) { c.UserName = v; },
       &TCustomFtpCli::UserAsync, ftpUserAsync},
      {"PASS", [](TCustomFtpCli& c, const std::string& v) { c.PassWord = v; },
       &TCustomFtpCli::PassAsync, ftpPassAsync},
      {"ACCT", [](TCustomFtpCli& c, const std::string& v) { c.Account = v; },
       &TCustomFtpCli::AccountAsync, ftpAccountAsync},
      {"STOR file",
       [](TCustomFtpCli& c, const std::string& v) {
         c.HostFileName = v;
         c.LocalFileName = "/dev/null";
       },
       &TCustomFtpCli::PutAsync, ftpPutAsync},
      {"RETR file",
       [](TCustomFtpCli& c, const std::string& v) {
         c.HostFileName = v;
         c.LocalFileName = "/dev/null";
       },
       &TCustomFtpCli::GetAsync, ftpGetAsync},
      {"STOR command alone",
       [](TCustomFtpCli& c, const std::string& v) {
         c.HostFileName = v;
         c.LocalFileName = "/dev/null";
       },
       &TCustomFtpCli::StorCmdAsync, ftpPutAsync},
      {"LIST",
       [](TCustomFtpCli& c, const std::string& v) {
         c.HostFileName = v;
         c.LocalFileName = "/dev/null";
       },
       &TCustomFtpCli::DirAsync, ftpDirAsync},
  };
  const std::string evil[] = {std::string("a.txt\r\nDELE victim.txt"), "a.txt\nDELE victim.txt",
                              "a.txt\rDELE victim.txt", std::string("a.txt\0DELE victim.txt", 21)};
  Received rec;
  ScriptedServer server([&](int fd, int) {
    FtpControl w{fd, &rec};
    w.Login();
    for (;;) {
      std::string l = w.Line();
      if (l.empty()) return;
      w.Send(l == "PWD" ? "257 \"/\" is here\r\n" : "200 ok\r\n");
    }
  });
  RecordedFtp<TFtpClient> f;
  AimAtScript(f.c, server.Port());
  f.c.SetPassive(true);
  ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0) << f.c.ErrorMessage;
  for (const Case& k : cases) {
    for (const std::string& v : evil) {
      SCOPED_TRACE(std::string(k.name) + " / " + std::to_string(v.find_first_of(
                                                     std::string_view("\r\n\0", 3))));
      const size_t before = rec.Snapshot().size();
      k.set(f.c, v);
      EXPECT_EQ(f.Run(k.op), 501);
      EXPECT_EQ(f.done.back().rq, k.rq);
      EXPECT_EQ(f.c.StatusCode, 501);
      EXPECT_NE(f.c.ErrorMessage.find("line break or NUL"), std::string::npos) << f.c.ErrorMessage;
      EXPECT_TRUE(f.errors.empty());
      // The next command is the next line the server reads.
      ASSERT_EQ(f.Run(&TCustomFtpCli::PwdAsync), 0) << f.c.ErrorMessage;
      const auto lines = rec.Snapshot();
      ASSERT_EQ(lines.size(), before + 1);
      EXPECT_EQ(lines.back(), "PWD");
      f.c.UserName = "user";
      f.c.PassWord = "pass";
      f.c.Account.clear();
      f.c.HostDirName.clear();
      f.c.HostFileName.clear();
      f.c.LocalFileName.clear();
    }
  }
  for (const std::string& l : rec.Snapshot()) EXPECT_EQ(l.find("victim"), std::string::npos) << l;
}

// A whole session with a refused field never connects.
TEST(FtpHostile, SessionWithARefusedFieldNeverConnects) {
  ScriptedServer server([](int fd, int) {
    FtpControl w{fd};
    w.Login();
    w.Line();
  });
  struct Case {
    const char* name;
    std::function<void(TCustomFtpCli&)> set;
  };
  const Case cases[] = {
      {"user", [](TCustomFtpCli& c) { c.UserName = "u\r\nDELE x"; }},
      {"password", [](TCustomFtpCli& c) { c.PassWord = std::string("p\0w", 3); }},
      {"account", [](TCustomFtpCli& c) { c.Account = "a\nDELE x"; }},
      {"folder", [](TCustomFtpCli& c) { c.HostDirName = "pub\r\nRMD pub"; }},
      {"file", [](TCustomFtpCli& c) { c.HostFileName = "f\r\nDELE x"; }},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    RecordedFtp<TFtpClient> f;
    AimAtScript(f.c, server.Port());
    k.set(f.c);
    f.c.LocalFileName = "/dev/null";
    EXPECT_EQ(f.Run(&TCustomFtpCli::TransmitAsync), 501);
    EXPECT_EQ(f.done.back().rq, ftpTransmitAsync);
    EXPECT_FALSE(f.c.Connected());
    EXPECT_FALSE(f.c.IsControlOpen());
    f.ExpectNoMoreDone(1);
  }
  EXPECT_EQ(server.Connections(), 0);
}

// Plain text behind the go-ahead to AUTH TLS did not come from the TLS
// peer: the session ends there, and no login follows.
TEST(FtpHostile, PlainTextBehindTheGoAheadToTlsEndsTheSession) {
  Received rec;
  ScriptedServer server([&](int fd, int) {
    FtpControl w{fd, &rec};
    w.Send("220 scripted\r\n");
    w.Line();  // AUTH TLS
    w.Send("234 go ahead\r\n230 injected in clear\r\n");
    while (!w.Line().empty()) {
    }
  });
  TSslContext ctx;
  ctx.InitContext();
  RecordedFtp<TSslFtpClient> f;
  AimAtScript(f.c, server.Port());
  f.c.SetSslContext(&ctx);
  f.c.SetSslType(sslTypeAuthTls);
  EXPECT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 500);
  EXPECT_EQ(f.c.ErrorMessage, "500 Unexpected data after the reply to AUTH");
  EXPECT_FALSE(f.c.Connected());
  ASSERT_TRUE(platform::WaitPumping([&] { return server.Connections() == 1; }, 5000, 5));
  f.ExpectNoMoreDone(1);
  for (const std::string& l : rec.Snapshot()) EXPECT_EQ(l.rfind("USER", 0), std::string::npos) << l;
}

// A protected download counts only when the data connection ended with the
// TLS close-notify: a stream the network cut may have lost its tail, even
// when the server's 226 follows.
TEST(FtpHostile, ProtectedDownloadCutWithoutCloseNotifyFails) {
  YUX_REQUIRE_PROGRAM("/usr/bin/python3");
  const TestPki& pki = TestPki::Get();
  ASSERT_TRUE(pki.Ok()) << pki.Error();
  TempDir tmp;
  const std::string script = (tmp / "ftps.py").string();
  WriteFile(script, R"(import socket, ssl, sys
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.load_cert_chain(sys.argv[1], sys.argv[2])
mode = sys.argv[3]
ls = socket.socket()
ls.bind(("127.0.0.1", 0))
ls.listen(1)
print("PORT", ls.getsockname()[1], flush=True)
conn, _ = ls.accept()
conn.settimeout(20)
buf = b""
def line(s):
    global buf
    while b"\r\n" not in buf:
        d = s.recv(1000)
        if not d:
            return ""
        buf += d
    l, buf = buf.split(b"\r\n", 1)
    return l.decode()
conn.sendall(b"220 py\r\n")
line(conn)
conn.sendall(b"234 go\r\n")
t = ctx.wrap_socket(conn, server_side=True)
payload = b"".join(b"line %06d of the file\r\n" % i for i in range(4000))
while True:
    l = line(t)
    if not l or l.startswith("QUIT"):
        t.sendall(b"221 bye\r\n")
        break
    verb = l.split(" ")[0]
    if verb == "USER":
        t.sendall(b"331 pass\r\n")
    elif verb == "PASS":
        t.sendall(b"230 in\r\n")
    elif verb == "PASV":
        dl = socket.socket()
        dl.bind(("127.0.0.1", 0))
        dl.listen(1)
        p = dl.getsockname()[1]
        t.sendall(("227 Entering Passive Mode (127,0,0,1,%d,%d)\r\n" % (p >> 8, p & 255)).encode())
    elif verb == "RETR":
        t.sendall(b"150 here\r\n")
        d, _ = dl.accept()
        d.settimeout(20)
        dt = ctx.wrap_socket(d, server_side=True)
        dt.sendall(payload)
        if mode == "notify":
            dt.unwrap().close()
        else:
            dt.shutdown(socket.SHUT_RDWR)  # a FIN without the close-notify
            dt.close()
        t.sendall(b"226 done\r\n")
    else:
        t.sendall(b"200 ok\r\n")
print("ENDED", flush=True)
)");
  for (const char* mode : {"notify", "cut"}) {
    SCOPED_TRACE(mode);
    PipedPeer py;
    const int port = yux::test::StartPythonTlsServer(py, script, {mode});
    ASSERT_NE(port, 0) << py.Output();
    TSslContext ctx;
    ctx.InitContext();
    RecordedFtp<TSslFtpClient> f;
    AimAtScript(f.c, port);
    f.c.SetSslContext(&ctx);
    f.c.SetSslType(sslTypeAuthTls);
    f.c.SetPassive(true);
    ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0) << f.c.ErrorMessage;
    f.c.SetProtLevel("P");
    ASSERT_EQ(f.Run(&TCustomFtpCli::ProtAsync), 0) << f.c.ErrorMessage;
    f.c.HostFileName = "file";
    f.c.LocalFileName = (tmp / (std::string(mode) + ".out")).string();
    const int result = f.Run(&TCustomFtpCli::GetAsync);
    if (std::string(mode) == "notify") {
      EXPECT_EQ(result, 0) << f.c.ErrorMessage;
      EXPECT_EQ(ReadFile(f.c.LocalFileName).size(), 4000u * 25);
    } else {
      EXPECT_EQ(result, 426);
      EXPECT_NE(f.c.ErrorMessage.find("close-notify"), std::string::npos) << f.c.ErrorMessage;
    }
  }
}

// A binary download that brings fewer bytes than the server's SIZE reply
// announced was cut short; the announcement holds only for that name.
TEST(FtpHostile, DownloadShorterThanItsAnnouncedSizeFails) {
  struct Case {
    const char* name;
    const char* sizeReply;
    std::string sizedName;
    int expected;
  };
  const Case cases[] = {
      {"short", "213 1000", "file", 426},
      {"whole", "213 600", "file", 0},
      {"other name sized", "213 1000", "other", 0},
      {"size refused", "550 no size", "file", 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    ScriptedServer server([&](int fd, int) {
      FtpControl w{fd};
      w.Login();
      w.Until("SIZE");
      w.Send(std::string(k.sizeReply) + "\r\n");
      int lfd = w.Pasv();
      w.Until("RETR");
      w.Send("150 here\r\n");
      int d = AcceptOne(lfd);
      WriteAll(d, std::string(600, 'x'));
      CloseFd(d);
      w.Send("226 done\r\n");
      w.Line();
    });
    TempDir dir;
    RecordedFtp<TFtpClient> f;
    AimAtScript(f.c, server.Port());
    f.c.SetPassive(true);
    ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0) << f.c.ErrorMessage;
    f.c.HostFileName = k.sizedName;
    f.Run(&TCustomFtpCli::SizeAsync);
    f.c.HostFileName = "file";
    f.c.LocalFileName = (dir / "file").string();
    EXPECT_EQ(f.Run(&TCustomFtpCli::GetAsync), k.expected) << f.c.ErrorMessage;
    if (k.expected != 0)
      EXPECT_EQ(f.c.ErrorMessage,
                "426 Download ended after 600 of the 1000 bytes SIZE announced: the download is "
                "incomplete");
    EXPECT_EQ(ReadFile(dir / "file").size(), 600u);
  }
}

// A reply that never ends (FEAT here) ends the request at its bound, at
// once, with an error that names it.
TEST(FtpHostile, EndlessMultiLineReplyEndsAtItsBound) {
  ScriptedServer server([](int fd, int) {
    FtpControl w{fd};
    w.Login();
    w.Line();  // FEAT
    w.Send("211-Features\r\n");
    std::string block;
    while (block.size() < 65536) block += " EXTENSION-OF-A-SERVER-THAT-NEVER-STOPS\r\n";
    SendUntilRefused(fd, block, 64);  // up to 4 MB
  });
  RecordedFtp<TFtpClient> f;
  AimAtScript(f.c, server.Port());
  ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0) << f.c.ErrorMessage;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(f.Run(&TCustomFtpCli::FeatAsync), 500);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  EXPECT_EQ(f.c.ErrorMessage, "500 Reply longer than 65536 bytes: connection dropped");
  EXPECT_FALSE(f.c.Connected());
  EXPECT_LE(f.c.LastMultiResponse.size(), 65536u + 512);
}

// Takes every byte and keeps none.
class DiscardStream : public TStream {
 public:
  std::int64_t Read(void*, std::int64_t) override { return 0; }
  std::int64_t Write(const void*, std::int64_t n) override {
    size_ += n;
    return n;
  }
  std::int64_t Seek(std::int64_t o, TSeekOrigin origin) override {
    return origin == TSeekOrigin::soEnd ? size_ + o : origin == TSeekOrigin::soBeginning ? o : size_;
  }
  void SetSize(std::int64_t n) override { size_ = n; }

 private:
  std::int64_t size_ = 0;
};

// A listing is bounded too: beyond 64 MB the transfer ends.
TEST(FtpHostile, EndlessListingEndsAtItsBound) {
  ScriptedServer server([](int fd, int) {
    FtpControl w{fd};
    w.Login();
    int lfd = w.Pasv();
    w.Until("LIST");
    w.Send("150 here\r\n");
    int d = AcceptOne(lfd);
    std::string block;
    while (block.size() < (1 << 20)) block += "-rw-r--r-- 1 ftp ftp 0 Jan 01 00:00 name\r\n";
    SendUntilRefused(d, block, 100);
    CloseFd(d);
    w.Send("226 done\r\n");
    w.Line();
  });
  RecordedFtp<TFtpClient> f;
  AimAtScript(f.c, server.Port());
  f.c.SetPassive(true);
  ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0) << f.c.ErrorMessage;
  DiscardStream sink;
  f.c.SetLocalStream(&sink);
  EXPECT_EQ(f.Run(&TCustomFtpCli::DirAsync, 120000), 552);
  EXPECT_EQ(f.c.ErrorMessage, "552 Listing longer than 67108864 bytes: transfer ended");
  EXPECT_LE(f.c.ByteCount, std::int64_t(kFtpMaxListingBytes));
}

// A resumed download replaces what lay beyond the resume position: a local
// file longer than that keeps no stale tail.
TEST(FtpHostile, ResumedDownloadCutsTheLocalFileAtTheResumePosition) {
  ScriptedServer server([](int fd, int) {
    FtpControl w{fd};
    w.Login();
    int lfd = w.Pasv();
    w.Until("REST");
    w.Send("350 restarting\r\n");
    w.Until("RETR");
    w.Send("150 here\r\n");
    int d = AcceptOne(lfd);
    WriteAll(d, std::string(20, 'n'));
    CloseFd(d);
    w.Send("226 done\r\n");
    w.Line();
  });
  TempDir dir;
  const auto local = dir / "part";
  WriteFile(local.string(), std::string(100, 'o'));
  RecordedFtp<TFtpClient> f;
  AimAtScript(f.c, server.Port());
  f.c.SetPassive(true);
  f.c.Options.Include(ftpNoAutoResumeAt);
  ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0) << f.c.ErrorMessage;
  f.c.HostFileName = "part";
  f.c.LocalFileName = local.string();
  f.c.ResumeAt = 10;
  EXPECT_EQ(f.Run(&TCustomFtpCli::RestGetAsync), 0) << f.c.ErrorMessage;
  EXPECT_EQ(ReadFile(local), std::string(10, 'o') + std::string(20, 'n'));
}

// A passive data connection that cannot be opened ends the download, but
// the server's answer to the command already sent is still read as that:
// it never becomes the answer to the next command.
TEST(FtpHostile, AnswerToAnAbandonedTransferIsNotTakenForTheNextOne) {
  const int deadPort = FreeLoopbackPort();
  ScriptedServer server([&](int fd, int) {
    FtpControl w{fd};
    w.Login();
    w.Until("PASV");
    w.Send("227 Entering Passive Mode (127,0,0,1," + std::to_string(deadPort >> 8) + "," +
           std::to_string(deadPort & 255) + ").\r\n");
    w.Line();  // RETR
    w.Line();  // PWD, sent once the download failed
    w.Send("425 Can't open data connection\r\n257 \"/home\" is current\r\n");
    w.Line();
  });
  RecordedFtp<TFtpClient> f;
  AimAtScript(f.c, server.Port());
  f.c.SetPassive(true);
  ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0) << f.c.ErrorMessage;
  f.c.HostFileName = "x";
  f.c.LocalFileName = "/dev/null";
  EXPECT_EQ(f.Run(&TCustomFtpCli::GetAsync), 550);
  EXPECT_EQ(f.Run(&TCustomFtpCli::PwdAsync), 0) << f.c.ErrorMessage;
  EXPECT_EQ(f.c.DirResult, "/home");
  EXPECT_EQ(f.c.StatusCode, 257);
}

// XMD5 and XCRC hash a range of the file when one is set.
TEST(FtpHostile, HashCommandsCarryTheRangeWhenOneIsSet) {
  struct Case {
    bool crc;
    std::int64_t start, end;
    const char* sent;
  };
  const Case cases[] = {
      {false, -1, -1, "XMD5 \"f\""},
      {false, 0, 100, "XMD5 \"f\" 0 100"},
      {false, 100, 100, "XMD5 \"f\""},
      {true, 5, 10, "XCRC \"f\" 5 10"},
      {true, -1, 10, "XCRC \"f\""},
  };
  Received rec;
  ScriptedServer server([&](int fd, int) {
    FtpControl w{fd, &rec};
    w.Login();
    while (!w.Line().empty()) w.Send("250 0123abcd\r\n");
  });
  RecordedFtp<TFtpClient> f;
  AimAtScript(f.c, server.Port());
  ASSERT_EQ(f.Run(&TCustomFtpCli::ConnectAsync), 0) << f.c.ErrorMessage;
  f.c.HostFileName = "f";
  for (const Case& k : cases) {
    SCOPED_TRACE(k.sent);
    f.c.HashRangeStart = k.start;
    f.c.HashRangeEnd = k.end;
    EXPECT_EQ(f.Run(k.crc ? &TCustomFtpCli::XCrcAsync : &TCustomFtpCli::XMd5Async), 0);
    EXPECT_EQ(rec.Snapshot().back(), k.sent);
  }
}

}  // namespace
