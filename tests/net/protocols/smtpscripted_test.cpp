// The SMTP client against a scripted server, for what no real server does
// on demand: refused EHLO, odd banners, STARTTLS trouble, the AUTH 504
// chain, NTLM, refused recipients, QUIT without close, endless lines and
// silence.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "net/protocols/mimeutils.h"
#include "net/protocols/ntlmauthsession.h"
#include "net/protocols/smtpssl.h"
#include "platform/messages.h"
#include "tests/net/protocols/smtptestutil.h"
#include "tests/peers/peers.h"

using namespace yux::net;
using yux::test::Client;
using yux::test::ScriptedServer;

namespace {

// One connection as the script sees it: lines in, text out, and every line
// received recorded for the test.
class Wire {
 public:
  Wire(int fd, std::vector<std::string>& log, std::mutex& lock, std::string& data)
      : data_(data), fd_(fd), log_(log), lock_(lock) {}
  // The next line without CR LF; false at the end of the connection or
  // after ms without one.
  bool Line(std::string& line, int ms = 5000) {
    if (!yux::test::ReadSmtpLine(fd_, buf_, line, ms)) return false;
    std::lock_guard<std::mutex> g(lock_);
    log_.push_back(line);
    return true;
  }
  // Reads DATA up to the lone dot; the raw bytes.
  std::string Data() {
    std::string raw;
    std::string line;
    // Not logged: the log holds what the server took as commands.
    while (yux::test::ReadSmtpLine(fd_, buf_, line, 5000)) {
      if (line == ".") break;
      raw += line + "\r\n";
    }
    return raw;
  }
  void Send(const std::string& s) { yux::test::WriteAll(fd_, s); }
  // Answers each further line from the table (by command word); stops at
  // the end of the connection, a QUIT (answered 221) or a missing entry.
  void Serve(const std::vector<std::pair<std::string, std::string>>& answers) {
    std::string line;
    while (Line(line)) {
      std::string word = line.substr(0, line.find(' '));
      if (word == "QUIT") {
        Send("221 bye\r\n");
        return;
      }
      bool found = false;
      for (const auto& a : answers)
        if (a.first == word) {
          Send(a.second);
          found = true;
          if (word == "DATA" && a.second.starts_with("354")) {
            std::string d = Data();
            {
              std::lock_guard<std::mutex> g(lock_);
              data_ += d;
            }
            Send("250 queued\r\n");
          }
          break;
        }
      if (!found) return;
    }
  }
  // The message data received, recorded before its 250 goes out, so a
  // client that has its answer can always read it.
  std::string& data_;

 private:
  int fd_;
  std::vector<std::string>& log_;
  std::mutex& lock_;
  std::string buf_;
};

// A scripted SMTP server and the lines it received.
struct Scripted {
  std::mutex lock;
  std::vector<std::string> received;
  std::string data;
  std::function<void(Wire&)> script;
  ScriptedServer server{[this](int fd, int) {
    Wire w(fd, received, lock, data);
    script(w);
  }};
  explicit Scripted(std::function<void(Wire&)> s) : script(std::move(s)) {}
  std::vector<std::string> Words() {
    std::lock_guard<std::mutex> g(lock);
    std::vector<std::string> out;
    for (const std::string& l : received) {
      std::string w = l.substr(0, l.find(' '));
      if (w == "AUTH") w = l.substr(0, l.find(' ', 5));
      out.push_back(w);
    }
    return out;
  }
};

using Answers = std::vector<std::pair<std::string, std::string>>;
const Answers kOk = {{"HELO", "250 hello\r\n"},     {"EHLO", "250 hello\r\n"},
                     {"MAIL", "250 sender ok\r\n"}, {"RCPT", "250 rcpt ok\r\n"},
                     {"DATA", "354 go\r\n"},        {"RSET", "250 reset\r\n"}};

void Banner(Wire& w) { w.Send("220 scripted ESMTP\r\n"); }

// Lets a server's late lines arrive before the transcript is read.
void Settle() { yux::platform::ProcessMessagesFor(200); }

TEST(SmtpScripted, OpenVariantsAndEhloRefusals) {
  struct Case {
    const char* name;
    TSmtpAuthType auth;
    TSmtpSslType ssl;
    const char* ehlo;  // the server's answer to EHLO
    int result;
    std::vector<std::string> words;  // what the server received
  };
  const Case cases[] = {
      {"nothing asked", smtpAuthNone, smtpTlsNone, "250 hi\r\n", 0, {"HELO"}},
      {"EHLO refused with AUTH", smtpAuthLogin, smtpTlsNone, "500 what\r\n", 500, {"EHLO"}},
      {"EHLO refused with STARTTLS", smtpAuthNone, smtpTlsExplicit, "502 no\r\n", 502, {"EHLO"}},
      {"STARTTLS not offered", smtpAuthNone, smtpTlsExplicit, "250-hi\r\n250 SIZE 100\r\n", 500,
       {"EHLO"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Scripted s([&](Wire& w) {
      Banner(w);
      Answers a = kOk;
      a[1].second = k.ehlo;
      w.Serve(a);
    });
    Client c(s.server.Port(), k.ssl);
    c.c.AuthType = k.auth;
    c.c.Username = "u";
    c.c.Password = "p";
    EXPECT_EQ(c.Run([&] { c.c.Open(); }), k.result) << c.Transcript();
    Settle();
    EXPECT_EQ(s.Words(), k.words) << c.Transcript();
    if (std::string(k.name) == "STARTTLS not offered")
      EXPECT_EQ(c.c.ErrorMessage, "500 STARTTLS is not available.");
    if (k.result != 0) EXPECT_FALSE(c.c.ErrorMessage.empty());
  }
}

TEST(SmtpScripted, BannersAndReplyLines) {
  struct Case {
    const char* name;
    std::string greeting;
    int result;
    const char* error;
  };
  const Case cases[] = {
      {"multi-line banner", "220-first\r\n220-second\r\n220 third\r\n", 0, ""},
      {"banner other than 220", "554 go away\r\n", 554, "554 go away"},
      {"endless reply line", std::string(9000, 'x'), kSmtpNoReplyCode,
       "500 SMTP Protocol Error - reply line longer than 4096 bytes"},
      {"reply without a number", "hello there\r\n", kSmtpNoReplyCode, "hello there"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Scripted s([&](Wire& w) {
      w.Send(k.greeting);
      w.Serve(kOk);
    });
    Client c(s.server.Port());
    EXPECT_EQ(c.Run([&] { c.c.Open(); }), k.result) << c.Transcript();
    EXPECT_EQ(c.c.ErrorMessage, k.error);
    if (k.result == 0) {
      Settle();
      EXPECT_EQ(s.Words(), std::vector<std::string>{"HELO"});
    }
  }
}

// A line break or NUL in a sender or recipient never reaches the server:
// the command is refused before it is sent, and the session goes on.
TEST(SmtpScripted, LineBreaksAndNulInCommandsAreNotSent) {
  Scripted s([&](Wire& w) {
    Banner(w);
    w.Serve(kOk);
  });
  Client c(s.server.Port());
  ASSERT_EQ(c.Run([&] { c.c.Open(); }), 0) << c.Transcript();
  struct Case {
    const char* name;
    std::function<void(TSslSmtpCli&)> set;
    bool rcpt;
  };
  const Case cases[] = {
      {"sender CR LF", [](TSslSmtpCli& x) { x.FromName = "<a@b.c\r\nRSET>"; }, false},
      {"sender NUL", [](TSslSmtpCli& x) { x.FromName = std::string("<a@b.c\0RSET>", 12); }, false},
      {"recipient LF", [](TSslSmtpCli& x) { x.RcptName = {"<r@x.y\nDATA>"}; }, true},
      {"recipient NUL", [](TSslSmtpCli& x) { x.RcptName = {std::string("<r@x.y\0DATA>", 12)}; },
       true},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    TSslSmtpCli& x = c.c;
    x.FromName = "sender@example.com";
    x.RcptName = {"rcpt@example.org"};
    k.set(x);
    if (k.rcpt) ASSERT_EQ(c.Run([&] { x.MailFrom(); }), 0) << c.Transcript();
    try {
      if (k.rcpt)
        x.RcptTo();
      else
        x.MailFrom();
      ADD_FAILURE() << "not refused";
    } catch (const SmtpException& e) {
      EXPECT_NE(std::string(e.what()).find("line break or NUL"), std::string::npos) << e.what();
    }
    ASSERT_EQ(c.Run([&] { x.Rset(); }), 0) << c.Transcript();
  }
  Settle();
  const std::vector<std::string> want = {"HELO", "RSET", "RSET", "MAIL", "RSET", "MAIL", "RSET"};
  EXPECT_EQ(s.Words(), want);
}

// The processor time the calling thread has used.
std::chrono::nanoseconds ThreadCpu() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return std::chrono::seconds(t.tv_sec) + std::chrono::nanoseconds(t.tv_nsec);
}

// A flood of EHLO lines (1 MB, sent in clear before STARTTLS) ends the
// request at the reply's bound, using well under a second of the client's
// thread, not seconds of sorting names.
TEST(SmtpScripted, HugeEhloReplyEndsAtItsBound) {
  Scripted s([&](Wire& w) {
    Banner(w);
    std::string line;
    w.Line(line);  // EHLO
    std::string reply;
    for (int i = 0; reply.size() < (1u << 20); ++i) {
      std::string l = "250-AUTH";
      for (int n = 0; n < 40; ++n) l += " MECH" + std::to_string(i * 40 + n);
      reply += l + "\r\n";
    }
    w.Send(reply + "250 SIZE 1000\r\n");
    w.Line(line, 3000);
  });
  Client c(s.server.Port(), smtpTlsExplicit);
  const auto cpu0 = ThreadCpu();
  EXPECT_EQ(c.Run([&] { c.c.Open(); }), kSmtpNoReplyCode) << c.c.ErrorMessage;
  EXPECT_LT(ThreadCpu() - cpu0, std::chrono::seconds(1));
  EXPECT_EQ(c.c.ErrorMessage,
            "500 SMTP Protocol Error - reply longer than 65536 bytes or 1000 lines");
  EXPECT_LE(c.c.AuthTypesOffered.size(), kSmtpMaxAuthTypes);
  EXPECT_FALSE(c.c.Connected);
}

TEST(SmtpScripted, DataIsDotStuffedAndCannotEndEarly) {
  Scripted s([&](Wire& w) {
    Banner(w);
    w.Serve(kOk);
  });
  Client c(s.server.Port());
  c.c.MailMessage = {".starts with a dot", ".", "quoted reply: 550 x\r\n.\r\nMAIL FROM:<evil@x>",
                     "bare\nlf and bare\rcr"};
  c.c.OnGetData = [](TCustomSmtpClient*, int n, std::string& line, int, bool& more) {
    if (n == 1) line = "app line\n.\nRCPT TO:<evil@x>";
    more = n == 1;
  };
  ASSERT_EQ(c.Run([&] { c.c.Open(); }), 0);
  ASSERT_EQ(c.Run([&] { c.c.Mail(); }), 0) << c.Transcript();
  ASSERT_EQ(c.Run([&] { c.c.Quit(); }), 0);
  std::string body;
  {
    std::lock_guard<std::mutex> g(s.lock);
    body = s.data.substr(s.data.find("\r\n\r\n") + 4);
  }
  EXPECT_EQ(body,
            "..starts with a dot\r\n..\r\nquoted reply: 550 x\r\n..\r\nMAIL FROM:<evil@x>\r\n"
            "bare\r\nlf and bare\r\ncr\r\napp line\r\n..\r\nRCPT TO:<evil@x>\r\n");
  // One message: a single MAIL and a single RCPT reached the server.
  std::vector<std::string> want = {"HELO", "MAIL", "RCPT", "DATA", "QUIT"};
  std::vector<std::string> words = s.Words();
  EXPECT_EQ(words, want);
}

TEST(SmtpScripted, StartTlsReplyWithBytesBehindItFails) {
  Scripted s([&](Wire& w) {
    Banner(w);
    std::string line;
    w.Line(line);  // EHLO
    w.Send("250-hi\r\n250 STARTTLS\r\n");
    w.Line(line);  // STARTTLS
    w.Send("220 go ahead\r\n250-planted\r\n250 AUTH PLAIN\r\n");
    w.Line(line, 2000);
  });
  Client c(s.server.Port(), smtpTlsExplicit);
  c.c.AuthType = smtpAuthAutoSelect;
  EXPECT_EQ(c.Run([&] { c.c.Open(); }), 500) << c.Transcript();
  EXPECT_EQ(c.c.ErrorMessage, "500 Unexpected data after the reply to STARTTLS");
  EXPECT_FALSE(c.c.Connected);
  Settle();
  EXPECT_EQ(s.Words(), (std::vector<std::string>{"EHLO", "STARTTLS"}));
}

TEST(SmtpScripted, AuthAutoSelectFollowsThe504Chain) {
  struct Case {
    const char* plainAnswer;
    int result;
  };
  for (const Case& k : {Case{"235 ok\r\n", 0}, Case{"504 no\r\n", 504}}) {
    Scripted s([&](Wire& w) {
      Banner(w);
      std::string line;
      w.Line(line);
      w.Send("250-hi\r\n250 AUTH NTLM CRAM-MD5 CRAM-SHA1 LOGIN PLAIN\r\n");
      while (w.Line(line)) {
        if (line.starts_with("AUTH PLAIN"))
          w.Send(k.plainAnswer);
        else if (line.starts_with("AUTH"))
          w.Send("504 not today\r\n");
        else
          break;
      }
    });
    Client c(s.server.Port());
    c.c.AuthType = smtpAuthAutoSelect;
    c.c.Username = "u";
    c.c.Password = "p";
    EXPECT_EQ(c.Run([&] { c.c.Open(); }), k.result) << c.Transcript();
    Settle();
    const std::vector<std::string> want = {"EHLO",           "AUTH NTLM",  "AUTH CRAM-MD5",
                                           "AUTH CRAM-SHA1", "AUTH LOGIN", "AUTH PLAIN"};
    EXPECT_EQ(s.Words(), want);
  }
}

TEST(SmtpScripted, NtlmExchangeIsCheckedByAnAcceptor) {
  for (const char* password : {"right", "wrong"}) {
    SCOPED_TRACE(password);
    std::string user;
    Scripted s([&](Wire& w) {
      Banner(w);
      std::string line;
      w.Line(line);
      w.Send("250-hi\r\n250 AUTH NTLM\r\n");
      TNtlmAuthSession acceptor;
      acceptor.OnAuthGetPassword = [](TNtlmAuthSession&, std::string& p) { p = "right"; };
      if (!w.Line(line) || !line.starts_with("AUTH NTLM ")) return;
      acceptor.ProcessMessage(line.substr(10));
      w.Send("334 " + acceptor.NtlmMessage() + "\r\n");
      if (!w.Line(line)) return;
      const bool ok = acceptor.ProcessMessage(line);
      user = acceptor.User();
      w.Send(ok ? "235 welcome\r\n" : "535 no\r\n");
      w.Line(line, 2000);
    });
    Client c(s.server.Port());
    c.c.AuthType = smtpAuthNtlm;
    c.c.Username = "ntlmuser";
    c.c.Password = password;
    const int r = c.Run([&] { c.c.Open(); });
    EXPECT_EQ(r, std::string(password) == "right" ? 0 : 535) << c.Transcript();
    c.c.Abort();
    Settle();
    EXPECT_EQ(user, "ntlmuser");
  }
}

TEST(SmtpScripted, RefusedRecipientAndEachRcptToErrorAnswer) {
  struct Case {
    const char* name;
    bool handler;
    TSmtpRcptToErrorAction action;
    int result;
    std::vector<std::string> rcpts;
  };
  const Case cases[] = {
      {"abort", true, srteAbort, 550, {"RCPT TO:<a@x.org>"}},
      {"retry", true, srteRetry, 0, {"RCPT TO:<a@x.org>", "RCPT TO:<a@x.org>", "RCPT TO:<b@x.org>"}},
      {"ignore", true, srteIgnore, 0, {"RCPT TO:<a@x.org>", "RCPT TO:<b@x.org>"}},
      {"no handler", false, srteAbort, 0, {"RCPT TO:<a@x.org>", "RCPT TO:<b@x.org>"}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Scripted s([&](Wire& w) {
      Banner(w);
      std::string line;
      int rcpt = 0;
      while (w.Line(line)) {
        if (line.starts_with("RCPT"))
          w.Send(rcpt++ == 0 ? "550 no such user\r\n" : "250 ok\r\n");
        else
          w.Send("250 ok\r\n");
      }
    });
    Client c(s.server.Port());
    c.c.RcptName = {"a@x.org", "B <b@x.org>"};
    int asked = 0;
    if (k.handler)
      c.c.OnRcptToError = [&](TCustomSmtpClient*, int code, int idx, TSmtpRcptToErrorAction& a) {
        EXPECT_EQ(code, 550);
        EXPECT_EQ(idx, 0);
        ++asked;
        a = k.action;
      };
    ASSERT_EQ(c.Run([&] { c.c.Open(); }), 0);
    int dones = 0;
    c.c.OnRequestDone = [&](TCustomSmtpClient*, TSmtpRequest rq, WORD e) {
      EXPECT_EQ(rq, smtpRcptTo);
      c.done = e;
      ++dones;
    };
    EXPECT_EQ(c.Run([&] { c.c.RcptTo(); }), k.result);
    Settle();
    EXPECT_EQ(dones, 1);
    EXPECT_EQ(asked, k.handler ? 1 : 0);
    std::vector<std::string> rcpts;
    {
      std::lock_guard<std::mutex> g(s.lock);
      for (const std::string& l : s.received)
        if (l.starts_with("RCPT")) rcpts.push_back(l);
    }
    EXPECT_EQ(rcpts, k.rcpts);
  }
}

TEST(SmtpScripted, QuitAnsweredWithoutCloseStillEnds) {
  bool sawEnd = false;
  Scripted s([&](Wire& w) {
    Banner(w);
    std::string line;
    while (w.Line(line)) {
      if (line == "QUIT") {
        w.Send("221 bye, but I stay\r\n");
        // Keeps the connection until the client goes.
        sawEnd = !w.Line(line, 10000);
        return;
      }
      w.Send("250 ok\r\n");
    }
  });
  Client c(s.server.Port());
  ASSERT_EQ(c.Run([&] { c.c.Open(); }), 0);
  EXPECT_EQ(c.Run([&] { c.c.Quit(); }), 0) << c.Transcript();
  EXPECT_EQ(c.doneRq, smtpQuit);
  EXPECT_FALSE(c.c.Connected);
  EXPECT_EQ(c.c.State(), smtpReady);
  ASSERT_TRUE(yux::platform::WaitPumping([&] { return s.server.Connections() == 1 && sawEnd; },
                                         5000, 5));
}

TEST(SmtpScripted, SilentServerTimesOutTheBlockingOpen) {
  Scripted s([&](Wire& w) {
    std::string line;
    w.Line(line, 8000);  // never says a word
  });
  Client c(s.server.Port());
  c.c.OnRequestDone = nullptr;
  c.c.Timeout = 1;
  const DWORD before = yux::platform::GetTickCount();
  EXPECT_FALSE(c.c.OpenBlocking());
  const DWORD waited = yux::platform::GetTickCount() - before;
  EXPECT_GE(waited, 1000u);
  EXPECT_LT(waited, 8000u);
  EXPECT_EQ(c.c.ErrorMessage, "426 Timeout");
  EXPECT_EQ(c.c.StatusCode, 426);
  EXPECT_FALSE(c.c.Connected);
  EXPECT_EQ(c.c.State(), smtpReady);
  // Unreachable: nothing listens on the port.
  Client gone(yux::test::FreeLoopbackPort());
  gone.c.OnRequestDone = nullptr;
  EXPECT_FALSE(gone.c.OpenBlocking());
  EXPECT_NE(gone.c.ErrorMessage.find("Connect error"), std::string::npos) << gone.c.ErrorMessage;
}

}  // namespace

namespace {

// A blocking call waits on the event loop: a second of waiting costs
// almost no processor time.
TEST(SmtpScripted, BlockingWaitSleepsInsteadOfSpinning) {
  Scripted s([&](Wire& w) {
    std::string line;
    w.Line(line, 5000);
  });
  Client c(s.server.Port());
  c.c.OnRequestDone = nullptr;
  c.c.Timeout = 2;
  const std::clock_t cpu0 = std::clock();
  EXPECT_FALSE(c.c.OpenBlocking());
  const double cpuSeconds = double(std::clock() - cpu0) / CLOCKS_PER_SEC;
  EXPECT_LT(cpuSeconds, 0.8);
  EXPECT_EQ(c.c.ErrorMessage, "426 Timeout");
}

}  // namespace

namespace {

// A server that speaks plain text where TLS is expected: the handshake
// fails and the request ends with 500, nothing left pending.
TEST(SmtpScripted, FailedHandshakeEndsTheRequest) {
  for (TSmtpSslType ssl : {smtpTlsImplicit, smtpTlsExplicit}) {
    SCOPED_TRACE(int(ssl));
    Scripted s([&](Wire& w) {
      Banner(w);
      std::string line;
      if (ssl == smtpTlsExplicit) {
        w.Line(line);
        w.Send("250-hi\r\n250 STARTTLS\r\n");
        w.Line(line);
        w.Send("220 go ahead\r\n");
        yux::platform::ProcessMessagesFor(100);
        w.Send("this is no TLS record at all\r\n");
      }
      w.Line(line, 3000);
    });
    Client c(s.server.Port(), ssl);
    c.c.Timeout = 10;
    EXPECT_EQ(c.Run([&] { c.c.Open(); }), 500) << c.Transcript();
    EXPECT_EQ(c.c.ErrorMessage.substr(0, 20), "SSL Handshake failed") << c.c.ErrorMessage;
    EXPECT_EQ(c.c.State(), smtpReady);
    EXPECT_FALSE(c.c.Connected);
  }
}

}  // namespace

namespace {

// The delivery aborts the client from its display handler when the user
// asks: whatever the client was doing, the request ends once.
TEST(SmtpScripted, AbortFromTheDisplayHandler) {
  for (const char* trigger : {"< 354 go", "> RCPT TO:<rcpt@example.org>", "< 250 sender ok"}) {
    SCOPED_TRACE(trigger);
    Scripted s([&](Wire& w) {
      Banner(w);
      w.Serve(kOk);
    });
    Client c(s.server.Port());
    ASSERT_EQ(c.Run([&] { c.c.Open(); }), 0);
    int dones = 0;
    c.c.OnRequestDone = [&](TCustomSmtpClient*, TSmtpRequest, WORD e) {
      ++dones;
      c.done = e;
    };
    c.c.OnDisplay = [&](TCustomSmtpClient* sender, const std::string& m) {
      if (m == trigger) sender->Abort();
    };
    EXPECT_NE(c.Run([&] { c.c.Mail(); }), 0);
    yux::platform::ProcessMessagesFor(200);
    EXPECT_EQ(dones, 1);
    EXPECT_EQ(c.c.State(), smtpReady);
    EXPECT_FALSE(c.c.Connected);
  }
}

}  // namespace
