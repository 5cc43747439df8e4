#include "core/run/ftpdelivery.h"

#include <gtest/gtest.h>

#include <chrono>

#include <string>
#include <vector>

#include "net/protocols/httpcli.h"
#include "tests/peers/peers.h"
#include "tests/support/testsupport.h"

using namespace yux;

TEST(FtpDelivery, HistoryLocationKeepsItsStoredForm) {
  struct Row {
    std::string fse, folder, name, expected;
  } rows[] = {
      {"files.example", "backup", "a.rar", "files.example:21/backup/a.rar"},
      {"files.example", "", "a.rar", "files.example:21/a.rar"},
      {"files.example:2121", "backup", "a.part2.rar", "files.example:2121/backup/a.part2.rar"},
      {"127.0.0.1:2121", "", "b.rar", "127.0.0.1:2121/b.rar"},
  };
  for (const auto& r : rows)
    EXPECT_EQ(FtpHistoryLocation(SplitFtpHost(r.fse), r.folder, r.name), r.expected) << r.fse;
}

TEST(FtpDelivery, HostTextSplitsAtTheFirstColonAndDefaultsToTheFtpService) {
  const auto plain = SplitFtpHost("files.example");
  EXPECT_EQ(plain.host, "files.example");
  EXPECT_EQ(plain.port, "ftp");
  const auto ported = SplitFtpHost("files.example:2121");
  EXPECT_EQ(ported.host, "files.example");
  EXPECT_EQ(ported.port, "2121");
}

TEST(FtpDelivery, EmptyUserAndPasswordLogInAsAnonymous) {
  EXPECT_EQ(FtpLoginFor("", "").user, "anonymous");
  EXPECT_NE(FtpLoginFor("", "").password.find('@'), std::string::npos);
  // One of the two given is an account of its own, even with an empty half.
  EXPECT_EQ(FtpLoginFor("joe", "").user, "joe");
  EXPECT_EQ(FtpLoginFor("", "pw").user, "");
  EXPECT_EQ(FtpLoginFor("", "pw").password, "pw");
}

TEST(FtpDelivery, ErrorNumberFollowsTheHash) {
  EXPECT_EQ(FtpErrorNumber("Socket error #10053 connection aborted"), "10053");
  EXPECT_EQ(FtpErrorNumber("530 Login incorrect."), "530 L");
  EXPECT_EQ(FtpErrorNumber("#12"), "12");
  EXPECT_EQ(FtpErrorNumber(""), "");
}

TEST(FtpDelivery, UploadCountsOnlyOnACleanEndWithAFinalTransferAnswer) {
  EXPECT_TRUE(FtpUploadCounted(0, 226));
  EXPECT_TRUE(FtpUploadCounted(0, 250));
  EXPECT_FALSE(FtpUploadCounted(0, 150));   // data connection opened, never finished
  EXPECT_FALSE(FtpUploadCounted(0, 451));
  EXPECT_FALSE(FtpUploadCounted(426, 226)); // aborted after a stale 226
  EXPECT_FALSE(FtpUploadCounted(550, 250));
}

TEST(FtpDelivery, HostScriptTextSplitsIntoUrlAndBody) {
  const auto withBody = SplitFtpHostScript("http://127.0.0.1:8080/host.php?id=7&k=x?y");
  EXPECT_EQ(withBody.url, "http://127.0.0.1:8080/host.php");
  EXPECT_EQ(withBody.body, "id=7&k=x?y");
  const auto noBody = SplitFtpHostScript("http://127.0.0.1/host");
  EXPECT_EQ(noBody.url, "http://127.0.0.1/host");
  EXPECT_EQ(noBody.body, "");
}

TEST(FtpDelivery, OnlyAWellFormedHostFromASuccessfulScriptIsTaken) {
  struct Row {
    int status;
    std::vector<std::string> lines;
    std::string expected;
  } rows[] = {
      {200, {"127.0.0.1:2121"}, "127.0.0.1:2121"},
      {200, {"  files.example \r", "ignored"}, "files.example"},
      {204, {"files.example:21"}, "files.example:21"},
      {200, {}, kFtpHostError},
      {200, {""}, kFtpHostError},
      {404, {"files.example"}, kFtpHostError},  // an error page never names the host
      {401, {"127.0.0.1"}, kFtpHostError},
      {301, {"127.0.0.1"}, kFtpHostError},
      {200, {"<html><body>Not here</body></html>"}, kFtpHostError},
      {200, {"127.0.0.1:0"}, kFtpHostError},
      {200, {"127.0.0.1:65536"}, kFtpHostError},
      {200, {"127.0.0.1:21x"}, kFtpHostError},
      {200, {"127.0.0.1:"}, kFtpHostError},
      {200, {"files example"}, kFtpHostError},
      {200, {"-x.example"}, kFtpHostError},
      {200, {"127.0.0.1:65535"}, "127.0.0.1:65535"},
  };
  for (const auto& r : rows)
    EXPECT_EQ(FtpHostFromScriptReply(r.status, r.lines), r.expected)
        << r.status << " " << (r.lines.empty() ? "<none>" : r.lines.front());
}

namespace {

// A host script server: /host answers the FTP host given on its command
// line; the other paths give the answers a broken script gives.
constexpr const char* kHostScript = R"PY(
import sys
from http.server import BaseHTTPRequestHandler, HTTPServer

ftp_host = sys.argv[2]

class Handler(BaseHTTPRequestHandler):
    def answer(self, status, body=b"", headers=()):
        self.send_response(status)
        for k, v in headers:
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        form = self.rfile.read(length).decode()
        if self.path == "/host" and form == "id=7":
            self.answer(200, (ftp_host + "\r\nsecond line\r\n").encode())
        elif self.path == "/empty":
            self.answer(200)
        elif self.path == "/missing":
            self.answer(404, b"127.0.0.1\n")
        elif self.path == "/locked":
            self.answer(401, b"127.0.0.1\n", [("WWW-Authenticate", 'Basic realm="x"')])
        elif self.path.startswith("/loop"):
            self.answer(302, b"", [("Location", self.path + "x")])
        elif self.path == "/endless":
            # A usable first line, then no end: only the bound stops it.
            self.send_response(200)
            self.end_headers()
            try:
                while True:
                    self.wfile.write(b"127.0.0.1\n" * 1000)
            except OSError:
                pass
        else:
            self.answer(400, b"unexpected " + self.path.encode() + b" " + form.encode())

    def do_GET(self):
        # A 302 turns the post into a get.
        if self.path.startswith("/loop"):
            self.answer(302, b"", [("Location", self.path + "x")])
        else:
            self.answer(400)

    def log_message(self, *args):
        pass

HTTPServer(("127.0.0.1", int(sys.argv[1])), Handler).serve_forever()
)PY";

}  // namespace

TEST(FtpDelivery, HostScriptNamesTheHostOnlyWithAUsableAnswer) {
  test::TempDir dir;
  test::WriteFile(dir.path() / "script.py", kHostScript);
  const int port = test::FreeLoopbackPort();
  test::PeerProcess server;
  ASSERT_TRUE(server.Start({"/usr/bin/python3", (dir.path() / "script.py").string(),
                            std::to_string(port), "127.0.0.1:2121"}));
  bool listening = false;
  for (int i = 0; i < 6 && !listening; ++i) listening = test::WaitForListener(port);
  ASSERT_TRUE(listening);

  const std::string base = "http://127.0.0.1:" + std::to_string(port);
  struct Row {
    std::string fse, expected;
  } rows[] = {
      {base + "/host?id=7", "127.0.0.1:2121"},
      {base + "/host", kFtpHostError},  // the script answers 400 without its form
      {base + "/empty", kFtpHostError},
      {base + "/missing", kFtpHostError},
      {base + "/locked", kFtpHostError},
      {base + "/loop", kFtpHostError},  // relocated more than five times
      {base + "/endless", kFtpHostError},  // an answer that never ends
  };
  for (const auto& r : rows) {
    net::THttpCli http;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ResolveFtpHostScript(http, r.fse), r.expected) << r.fse;
    if (r.fse.ends_with("/loop")) EXPECT_GE(http.LocationChangeCurCount, 5);
    if (r.fse.ends_with("/endless")) {
      EXPECT_EQ(http.RequestDoneError, net::httperrBodyTooLarge) << http.ResponseReason;
      EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
    }
  }
}
