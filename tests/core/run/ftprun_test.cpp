// Runs of the real program that deliver by FTP to real servers on
// 127.0.0.1: every volume on the server's disk as the copy delivered it,
// the history and the run's block, the host script, the failures that end
// or retry the session, the watchdog and the FTP cleaner across runs.
#include <QDateTime>
#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <poll.h>

#include "core/run/foldercopy.h"
#include "core/store/folders.h"
#include "core/store/options.h"
#include "core/store/presets.h"
#include "tests/core/run/volume_extract.h"
#include "tests/core/yux_process.h"
#include "tests/peers/ftppeers.h"
#include "tests/peers/smtppeers.h"
#include "tests/peers/sslfixture.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

using test::CountOf;
using test::LogTexts;
using test::RunningYux;
using test::WaitForText;
using test::YuxWorld;

namespace {

constexpr int kRunMs = 90000;

// Incompressible bytes, so the archive is about as large as the source.
std::string Noise(std::size_t size, std::uint32_t seed) {
  std::string data;
  data.reserve(size);
  std::uint32_t x = seed;
  for (std::size_t i = 0; i < size; ++i) data.push_back(char((x = x * 1664525u + 1013904223u) >> 24));
  return data;
}

// The preset "Daily" archiving `source`, due at once; `configure` sets its
// delivery.  An existing ".lgf" and ".hst" are kept (runs follow each other).
void PrepareRun(YuxWorld& world, const fs::path& source, const std::function<void(tarcopt&)>& configure) {
  world.UseSettingsFolder();
  test::WriteDailyPreset(world, source, world.settings / "dest", [&](tarcopt& p) {
    p.del = false;
    p.ftp = true;
    configure(p);
  });
  test::WriteFile(world.settings / "yux.sch",
                  "<D>2020.01.01 10:00:00 </D><P>Daily</P>"
                  "<O>REPEAT=0 INTERVAL=60 PRECISE=0 ONDELAY=0 DOW=11111110</O>\r\n");
}

void WriteOptions(const YuxWorld& world, const std::vector<std::string>& lines) {
  const std::string saved = SettingsFolder;
  SettingsFolder = world.settings.str();
  std::string text = ScrambleText("ver 0") + "\r\n";
  for (const auto& l : lines) text += ScrambleText(l) + "\r\n";
  test::WriteFile(OptionsFilePath(), text);
  SettingsFolder = saved;
}

// Retries on, every `seconds`, three times.
void RetryOptions(const YuxWorld& world, int seconds = 1) {
  WriteOptions(world, {"fre 1", "fin " + std::to_string(seconds), "fti 3"});
}

std::vector<fs::path> SortedFiles(const fs::path& folder) {
  std::vector<fs::path> out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec))
    if (e.is_regular_file()) out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> Names(const fs::path& folder) {
  std::vector<std::string> out;
  for (const auto& f : SortedFiles(folder)) out.push_back(f.filename().string());
  return out;
}

// Lines beginning with these texts in this order, each after the one
// before (others may come between them).
::testing::AssertionResult InOrder(const std::vector<std::string>& texts, const std::vector<std::string>& lines) {
  auto at = texts.begin();
  for (const auto& line : lines) {
    auto found = std::find_if(at, texts.end(), [&](const std::string& t) { return t.rfind(line, 0) == 0; });
    if (found == texts.end()) return ::testing::AssertionFailure() << "missing in order: " << line;
    at = found + 1;
  }
  return ::testing::AssertionSuccess();
}

long Count(const std::vector<std::string>& texts, const std::string& prefix) {
  return std::count_if(texts.begin(), texts.end(), [&](const std::string& t) { return t.rfind(prefix, 0) == 0; });
}

// Runs "Daily" with a yux of its own until the log (after `from`) shows
// `end`; the program is then ended.
::testing::AssertionResult RunUntil(YuxWorld& world, const std::string& end, size_t from = 0) {
  RunningYux yux(world);
  const bool ended = WaitForText(world.settings / "yux.log", end, kRunMs, from);
  yux.EndSession(20000);
  if (!ended) return ::testing::AssertionFailure() << "no \"" << end << "\"\n" << world.Log() << yux.Err();
  return ::testing::AssertionSuccess();
}

bool WaitUntil(const std::function<bool()>& done, int ms = 30000) {
  QElapsedTimer t;
  t.start();
  while (!done() && t.elapsed() < ms) QThread::msleep(20);
  return done();
}

bool HavePyFtpd() { return test::HavePyFtpdlib(); }

#define REQUIRE_PYFTPDLIB()                                                 \
  do {                                                                      \
    if (!HavePyFtpd()) {                                                    \
      if (test::InCi()) FAIL() << "missing python3-pyftpdlib in CI";        \
      GTEST_SKIP() << "missing python3-pyftpdlib";                          \
    }                                                                       \
  } while (0)

// A pyftpdlib handler that writes every command it gets to `log`.
std::string RecordingHandler(const fs::path& log) {
  return "class handler(FTPHandler):\n"
         "    def pre_process_command(self, line, cmd, arg):\n"
         "        with open(" + std::string("'") + log.string() + "', 'a') as f:\n"
         "            f.write(line + '\\n')\n"
         "        return FTPHandler.pre_process_command(self, line, cmd, arg)\n";
}

// True when a connection waits on the listener.
bool ConnectionPending(int listener) {
  pollfd p{listener, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// The upload table: every volume of a split archive reaches the server.

namespace {

struct UploadRow {
  const char* name;
  enum Server { Vsftpd, Pyftpd } server;
  bool active;
  test::FtpTls tls;
  int fss;
  const char* extra;      // vsftpd configuration
  const char* user;       // "" for anonymous
  const char* folder;     // "ffo"
};

void PrintTo(const UploadRow& row, std::ostream* os) { *os << row.name; }

class FtpRunUploads : public ::testing::TestWithParam<UploadRow> {};

}  // namespace

INSTANTIATE_TEST_SUITE_P(
    Servers, FtpRunUploads,
    ::testing::Values(
        UploadRow{"VsftpdPassive", UploadRow::Vsftpd, false, test::FtpTls::None, 0, "", "", "pub"},
        UploadRow{"VsftpdActive", UploadRow::Vsftpd, true, test::FtpTls::None, 0, "", "", "pub"},
        // The server refuses clear-text data and a new TLS session on the
        // data connection: only PROT P with a reused session passes.
        UploadRow{"VsftpdAuthTlsForcedData", UploadRow::Vsftpd, false, test::FtpTls::Explicit, 1,
                  "force_anon_data_ssl=YES\nforce_anon_logins_ssl=YES\nrequire_ssl_reuse=YES\n", "", "pub"},
        UploadRow{"VsftpdImplicitTls", UploadRow::Vsftpd, false, test::FtpTls::Implicit, 3,
                  "force_anon_data_ssl=YES\n", "", "pub"},
        UploadRow{"PyftpdNoFolder", UploadRow::Pyftpd, false, test::FtpTls::None, 0, "", "user", ""},
        UploadRow{"PyftpdAnonymous", UploadRow::Pyftpd, false, test::FtpTls::None, 0, "", "", "up"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(FtpRunUploads, EveryVolumeArrivesWithItsHistory) {
  const UploadRow& row = GetParam();
  test::VsftpdServer vsftpd;
  test::PyFtpServer py;
  test::TempDir pyRoot, pyLog;
  fs::path landing;
  int port = 0;
  if (row.server == UploadRow::Vsftpd) {
    YUX_REQUIRE_PROGRAM("vsftpd");
    if (row.tls != test::FtpTls::None) {
      ASSERT_TRUE(test::TestPki::Get().Ok());
    }
    ASSERT_TRUE(vsftpd.Start(row.tls, row.extra)) << vsftpd.Error();
    port = vsftpd.Port();
    landing = vsftpd.Pub();
  } else {
    REQUIRE_PYFTPDLIB();
    ASSERT_TRUE(py.Start(RecordingHandler(pyLog / "commands.log"), pyRoot.path()));
    port = py.Port();
    landing = pyRoot.path() / row.folder;
    fs::create_directories(landing);
  }
  YuxWorld world;
  const fs::path source = world.settings / "source";
  fs::create_directories(source);
  test::WriteFile(source / "noise.bin", Noise(50000, 11));
  test::WriteFile(source / "notes.txt", std::string("upload row ") + row.name);
  PrepareRun(world, source, [&](tarcopt& p) {
    p.vol = "20k";
    p.fse = "127.0.0.1:" + std::to_string(port);
    p.ffo = row.folder;
    p.fac = row.active;
    p.fss = row.fss;
    p.fus = row.user;
    p.fpa = *row.user ? "pass" : "";
  });
  ASSERT_TRUE(RunUntil(world, "Daily: Done."));

  const auto volumes = SortedFiles(world.settings / "dest");
  ASSERT_GE(volumes.size(), 3u) << world.Log();
  std::vector<std::string> names;
  for (const auto& v : volumes) names.push_back(v.filename().string());
  EXPECT_EQ(Names(landing), names) << world.Log();
  const std::string where = "127.0.0.1:" + std::to_string(port) + (*row.folder ? std::string("/") + row.folder + "/" : "/");
  const std::string hst = test::ReadFile(world.settings / "presets" / "Daily.hst");
  std::vector<std::string> expected = {"Daily: FTP - Connecting to 127.0.0.1."};
  if (*row.folder) expected.push_back(std::string("Daily: FTP - Changing folder to \"") + row.folder + "\".");
  std::string block;
  for (const auto& v : volumes) {
    const std::string name = v.filename().string();
    SCOPED_TRACE(name);
    EXPECT_EQ(test::ReadFile(landing / name), test::ReadFile(v));
    EXPECT_EQ(CountOf(hst, "\t3-FTP\t" + where + name + "\r\n"), 1) << hst;
    expected.push_back("Daily: FTP - Trying to upload \"" + name + "\".");
    expected.push_back("Daily: FTP - Successfully uploaded \"" + name + "\".");
    block += name + "\r\n";
  }
  EXPECT_EQ(CountOf(hst, "\t3-FTP\t"), static_cast<int>(volumes.size())) << hst;
  expected.push_back("Daily: FTP - Disconnected.");
  // The run's block: its date line, every volume in upload order, an empty line.
  const std::string lgf = test::ReadFile(world.settings / "presets" / "Daily.lgf");
  EXPECT_NE(lgf.find("\r\n" + block + "\r\n"), std::string::npos) << lgf;
  EXPECT_EQ(CountOf(lgf, "\r\n\r\n"), 1) << lgf;
  // The FTP lines of the log are exactly these, in this order.
  std::vector<std::string> ftpLines;
  for (const auto& t : LogTexts(world.Log()))
    if (t.rfind("Daily: FTP", 0) == 0) ftpLines.push_back(t);
  EXPECT_EQ(ftpLines, expected) << world.Log();
  if (row.server == UploadRow::Pyftpd) {
    const std::string commands = test::ReadFile(pyLog / "commands.log");
    EXPECT_NE(commands.find(*row.user ? "USER user\n" : "USER anonymous\n"), std::string::npos) << commands;
  }
}

// ---------------------------------------------------------------------------
// The host script: a page answers with the host the upload goes to.

namespace {

// A Python http.server on 127.0.0.1: POST /host answers "127.0.0.1:<ftp>"
// (the FTP port is the script's second argument); /empty an empty body;
// /missing a 404 and /locked a 401 whose pages carry that same host line;
// /hop<n> relocates to /hop<n+1>, and /hop6 answers the host.  Each
// request's path and body go to the log file (third argument).
class HostScriptServer {
 public:
  bool Start(int ftpPort) {
    const std::string script =
        "import sys\n"
        "from http.server import BaseHTTPRequestHandler, HTTPServer\n"
        "host = ('127.0.0.1:%s\\r\\nsecond line\\r\\n' % sys.argv[2]).encode()\n"
        "class H(BaseHTTPRequestHandler):\n"
        "    def log_message(self, *a):\n"
        "        pass\n"
        "    def answer(self, code, body, extra={}):\n"
        "        self.send_response(code)\n"
        "        for k, v in extra.items():\n"
        "            self.send_header(k, v)\n"
        "        self.send_header('Content-Length', str(len(body)))\n"
        "        self.end_headers()\n"
        "        self.wfile.write(body)\n"
        "    def do_POST(self):\n"
        "        body = self.rfile.read(int(self.headers.get('Content-Length') or 0))\n"
        "        with open(sys.argv[3], 'a') as f:\n"
        "            f.write(self.path + ' ' + body.decode() + '\\n')\n"
        "        p = self.path\n"
        "        if p == '/host':\n"
        "            self.answer(200, host)\n"
        "        elif p == '/empty':\n"
        "            self.answer(200, b'')\n"
        "        elif p == '/missing':\n"
        "            self.answer(404, host)\n"
        "        elif p == '/locked':\n"
        "            self.answer(401, host, {'WWW-Authenticate': 'Basic realm=\"ftp\"'})\n"
        "        elif p.startswith('/hop'):\n"
        "            n = int(p[4:])\n"
        "            if n >= 6:\n"
        "                self.answer(200, host)\n"
        "            else:\n"
        "                self.answer(302, b'', {'Location': 'http://127.0.0.1:%s/hop%d' % (sys.argv[1], n + 1)})\n"
        "        else:\n"
        "            self.answer(500, b'')\n"
        "    do_GET = do_POST\n"
        "HTTPServer(('127.0.0.1', int(sys.argv[1])), H).serve_forever()\n";
    test::WriteFile(dir_ / "host.py", script);
    port_ = test::FreeLoopbackPort();
    if (!proc_.Start({test::kDebianPython, (dir_ / "host.py").string(), std::to_string(port_),
                      std::to_string(ftpPort), (dir_ / "requests.log").string()}))
      return false;
    return test::WaitForListener(port_);
  }
  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }
  std::string Requests() const { return test::ReadFile(dir_ / "requests.log"); }

 private:
  test::TempDir dir_;
  test::PeerProcess proc_;
  int port_ = 0;
};

}  // namespace

TEST(FtpRunHostScript, TheAnsweredHostTakesTheUpload) {
  YUX_REQUIRE_PROGRAM("vsftpd");
  YUX_REQUIRE_PROGRAM(test::kDebianPython);
  test::VsftpdServer server;
  ASSERT_TRUE(server.Start()) << server.Error();
  HostScriptServer script;
  ASSERT_TRUE(script.Start(server.Port()));
  YuxWorld world;
  const fs::path source = world.settings / "source";
  fs::create_directories(source);
  test::WriteFile(source / "a.txt", "host script run");
  PrepareRun(world, source, [&](tarcopt& p) {
    p.fse = script.Url("/host?box=7&site=main");
    p.ffo = "pub";
  });
  ASSERT_TRUE(RunUntil(world, "Daily: Done."));
  EXPECT_EQ(test::ReadFile(server.Pub() / "Daily.rar"), test::ReadFile(world.settings / "dest" / "Daily.rar"));
  EXPECT_EQ(script.Requests(), "/host box=7&site=main\n");
  const auto texts = LogTexts(world.Log());
  EXPECT_TRUE(InOrder(texts, {"Daily: FTP - Connecting to 127.0.0.1.", "Daily: FTP - Successfully uploaded \"Daily.rar\"."}))
      << world.Log();
  const std::string hst = test::ReadFile(world.settings / "presets" / "Daily.hst");
  EXPECT_EQ(CountOf(hst, "\t3-FTP\t127.0.0.1:" + std::to_string(server.Port()) + "/pub/Daily.rar"), 1) << hst;
}

// An answer that names no host cancels the stage before any connection:
// the pages of the failures name a listening port, which must stay untouched.
TEST(FtpRunHostScript, AnswersWithoutAHostCancelTheStage) {
  YUX_REQUIRE_PROGRAM(test::kDebianPython);
  int ftpPort = 0;
  const int listener = test::LoopbackListener(ftpPort);
  ASSERT_GE(listener, 0);
  HostScriptServer script;
  ASSERT_TRUE(script.Start(ftpPort));
  struct Row {
    const char* what;
    const char* path;
  };
  for (const Row& row : {Row{"empty body", "/empty"}, Row{"404", "/missing"}, Row{"401", "/locked"},
                         Row{"six relocations", "/hop0"}}) {
    SCOPED_TRACE(row.what);
    YuxWorld world;
    const fs::path source = world.settings / "source";
    fs::create_directories(source);
    test::WriteFile(source / "a.txt", row.what);
    PrepareRun(world, source, [&](tarcopt& p) {
      p.ctf = false;
      p.fse = script.Url(row.path);
    });
    ASSERT_TRUE(RunUntil(world, "Daily: Undelivered files were kept in"));
    const auto texts = LogTexts(world.Log());
    EXPECT_EQ(Count(texts, "Daily: Couldn't accuire real FTP host from a HTTP script, cancelled [!]"), 1)
        << world.Log();
    EXPECT_EQ(Count(texts, "Daily: FTP - Connecting to"), 0) << world.Log();
    EXPECT_EQ(test::ReadFile(world.settings / "presets" / "Daily.hst").find("3-FTP"), std::string::npos);
    EXPECT_FALSE(ConnectionPending(listener));
  }
  // The relocations were followed up to their limit and no further.
  const std::string requests = script.Requests();
  EXPECT_NE(requests.find("/hop5"), std::string::npos) << requests;
  EXPECT_EQ(requests.find("/hop6"), std::string::npos) << requests;
  test::CloseFd(listener);
}

// ---------------------------------------------------------------------------
// Failures: what ends the session, and what a retry resumes.

TEST(FtpRunFailures, RefusalsEndTheStageWithoutHistory) {
  YUX_REQUIRE_PROGRAM("vsftpd");
  REQUIRE_PYFTPDLIB();
  test::VsftpdServer vsftpd;
  ASSERT_TRUE(vsftpd.Start()) << vsftpd.Error();
  test::TempDir pyRoot;
  test::PyFtpServer py;
  ASSERT_TRUE(py.Start("class handler(FTPHandler):\n    pass\n", pyRoot.path()));

  {
    SCOPED_TRACE("wrong password: refused at once, never retried");
    YuxWorld world;
    const fs::path source = world.settings / "source";
    fs::create_directories(source);
    test::WriteFile(source / "a.txt", "wrong password");
    PrepareRun(world, source, [&](tarcopt& p) {
      p.ctf = false;
      p.fse = "127.0.0.1:" + std::to_string(py.Port());
      p.fus = "user";
      p.fpa = "wrong";
    });
    RetryOptions(world);
    ASSERT_TRUE(RunUntil(world, "Daily: Undelivered files were kept in"));
    const auto texts = LogTexts(world.Log());
    EXPECT_TRUE(InOrder(texts, {"Daily: FTP - Connecting to 127.0.0.1.", "Daily: FTP - Error 530",
                                "Daily: FTP - All FTP tasks have been canceled (no more retries allowed). [!]"}))
        << world.Log();
    EXPECT_EQ(Count(texts, "Daily: FTP - Error 530"), 1) << world.Log();
    EXPECT_EQ(Count(texts, "Daily: FTP - Trying again"), 0);
    EXPECT_EQ(Count(texts, "Daily: FTP - Connecting to"), 1);
    EXPECT_TRUE(Names(pyRoot.path()).empty());
    EXPECT_EQ(test::ReadFile(world.settings / "presets" / "Daily.hst").find("3-FTP"), std::string::npos);
  }
  {
    SCOPED_TRACE("missing folder: nothing lands in the login folder");
    YuxWorld world;
    const fs::path source = world.settings / "source";
    fs::create_directories(source);
    test::WriteFile(source / "a.txt", "missing folder");
    PrepareRun(world, source, [&](tarcopt& p) {
      p.ctf = false;
      p.fse = "127.0.0.1:" + std::to_string(vsftpd.Port());
      p.ffo = "pub/missing";
    });
    ASSERT_TRUE(RunUntil(world, "Daily: Undelivered files were kept in"));
    const auto texts = LogTexts(world.Log());
    EXPECT_TRUE(InOrder(texts, {"Daily: FTP - Changing folder to \"pub/missing\".", "Daily: FTP - Error 550",
                                "Daily: FTP - All FTP tasks have been canceled (reiteration feature is off). [!]"}))
        << world.Log();
    EXPECT_EQ(Count(texts, "Daily: FTP - Trying to upload"), 0) << world.Log();
    EXPECT_EQ(test::ReadFile(world.settings / "presets" / "Daily.hst").find("3-FTP"), std::string::npos);
    EXPECT_TRUE(Names(vsftpd.Pub()).empty());
    EXPECT_TRUE(Names(vsftpd.Root()).empty());
  }
}

namespace {

// The vsftpd protocol log of a test: every command the server got.
std::string ProtocolLogConfig(const fs::path& log) {
  return "xferlog_enable=YES\nxferlog_std_format=NO\nlog_ftp_protocol=YES\nvsftpd_log_file=" + log.string() + "\n";
}

// The commands of the log (AUTH, USER, STOR ... without arguments), in order.
std::vector<std::string> LoggedCommands(const std::string& log) {
  std::vector<std::string> out;
  for (const auto& l : test::Lines(log)) {
    static const std::string kCommand = "FTP command: Client \"127.0.0.1\", \"";
    const auto at = l.find(kCommand);
    if (at == std::string::npos) continue;
    std::string cmd = l.substr(at + kCommand.size());
    cmd = cmd.substr(0, cmd.find_first_of(" \""));
    out.push_back(cmd);
  }
  return out;
}

}  // namespace

// The server dies in the middle of an upload and comes back on its port:
// the retry reconnects as the first attempt did (with AUTH before the
// login under TLS), and the same file then arrives whole, recorded once.
static void KilledMidUpload(bool tls) {
  {
    if (tls) {
      ASSERT_TRUE(test::TestPki::Get().Ok());
    }
    test::TempDir logs;
    const fs::path protocol = logs / "vsftpd.log";
    test::VsftpdServer server;
    ASSERT_TRUE(server.Start(tls ? test::FtpTls::Explicit : test::FtpTls::None,
                             "anon_max_rate=131072\n" + ProtocolLogConfig(protocol) +
                                 (tls ? "force_anon_logins_ssl=YES\nforce_anon_data_ssl=YES\n" : "")))
        << server.Error();
    YuxWorld world;
    const fs::path source = world.settings / "source";
    fs::create_directories(source);
    test::WriteFile(source / "noise.bin", Noise(1200000, tls ? 5 : 6));
    PrepareRun(world, source, [&](tarcopt& p) {
      p.fse = "127.0.0.1:" + std::to_string(server.Port());
      p.ffo = "pub";
      p.fss = tls ? 1 : 0;
    });
    RetryOptions(world, 3);
    RunningYux yux(world);
    // Part of the archive has reached the server's disk.
    std::error_code ec;
    ASSERT_TRUE(WaitUntil([&] { return fs::file_size(server.Pub() / "Daily.rar", ec) > 150000 && !ec; }, kRunMs))
        << world.Log() << yux.Err();
    server.Kill();
    ASSERT_TRUE(WaitForText(world.settings / "yux.log", "Daily: FTP - Trying again in 3 seconds (1/3).", 30000))
        << world.Log();
    ASSERT_TRUE(server.Restart()) << server.Error();
    ASSERT_TRUE(WaitForText(world.settings / "yux.log", "Daily: Done.", kRunMs)) << world.Log() << yux.Err();
    yux.EndSession(20000);

    const std::string copied = test::ReadFile(world.settings / "dest" / "Daily.rar");
    ASSERT_GT(copied.size(), 1000000u);
    EXPECT_EQ(test::ReadFile(server.Pub() / "Daily.rar"), copied);
    const auto texts = LogTexts(world.Log());
    EXPECT_TRUE(InOrder(texts, {"Daily: FTP - Trying to upload \"Daily.rar\".",
                                "Daily: FTP - Trying again in 3 seconds (1/3).", "Daily: FTP - Connecting to 127.0.0.1.",
                                "Daily: FTP - Trying to upload \"Daily.rar\".",
                                "Daily: FTP - Successfully uploaded \"Daily.rar\".", "Daily: FTP - Disconnected."}))
        << world.Log();
    EXPECT_EQ(Count(texts, "Daily: FTP - Successfully uploaded"), 1);
    EXPECT_EQ(Count(texts, "Daily: FTP - Trying again"), 1) << world.Log();
    const std::string hst = test::ReadFile(world.settings / "presets" / "Daily.hst");
    EXPECT_EQ(CountOf(hst, "\t3-FTP\t127.0.0.1:" + std::to_string(server.Port()) + "/pub/Daily.rar"), 1) << hst;
    EXPECT_EQ(CountOf(hst, "3-FTP"), 1) << hst;
    // Both sessions log in the same way: under TLS, AUTH before USER.
    std::vector<std::string> logins;
    for (const auto& c : LoggedCommands(test::ReadFile(protocol)))
      if (c == "AUTH" || c == "USER" || c == "PROT") logins.push_back(c);
    const std::vector<std::string> expected =
        tls ? std::vector<std::string>{"AUTH", "USER", "PROT", "AUTH", "USER", "PROT"}
            : std::vector<std::string>{"USER", "USER"};
    EXPECT_EQ(logins, expected) << test::ReadFile(protocol);
  }
}

TEST(FtpRunFailures, ServerKilledMidUploadIsRetriedAndTheFileArrivesWhole) {
  YUX_REQUIRE_PROGRAM("vsftpd");
  KilledMidUpload(false);
}

TEST(FtpRunFailures, TlsServerKilledMidUploadIsRetriedWithAuthBeforeTheLogin) {
  YUX_REQUIRE_PROGRAM("vsftpd");
  KilledMidUpload(true);
}

// ---------------------------------------------------------------------------
// The TLS server's identity across runs.

namespace {

// "Daily" uploading into "pub" of the server at `key` under AUTH TLS, with
// retries on; due at once again, and its copy lands in an empty folder.
void PrepareTlsRun(YuxWorld& world, const fs::path& source, const std::string& key) {
  fs::remove(world.settings / "dest" / "Daily.rar");
  PrepareRun(world, source, [&](tarcopt& p) {
    p.fse = key;
    p.ffo = "pub";
    p.fss = 1;
  });
  RetryOptions(world);
}

// The protocol log of vsftpd after its first `from` bytes shows AUTH, and
// neither USER nor PASS.
::testing::AssertionResult AuthWithoutLogin(const fs::path& protocol, size_t from) {
  const std::string log = test::ReadFile(protocol);
  const auto commands = LoggedCommands(log.substr(std::min(from, log.size())));
  const auto sent = [&](const char* c) { return std::find(commands.begin(), commands.end(), c) != commands.end(); };
  if (!sent("AUTH") || sent("USER") || sent("PASS")) return ::testing::AssertionFailure() << log;
  return ::testing::AssertionSuccess();
}

}  // namespace

// A self-signed server is remembered at the first run and accepted at the
// next; when another self-signed certificate answers on its port, the
// session ends before the login (the server never sees USER), the archive
// stays, and the log says how to accept the new certificate.
TEST(FtpRunTls, SelfSignedServerIsRememberedAndAnotherOneRefusedBeforeTheLogin) {
  YUX_REQUIRE_PROGRAM("vsftpd");
  YUX_REQUIRE_PROGRAM("openssl");
  ASSERT_TRUE(test::TestPki::Get().Ok());
  test::TempDir certs, logs;
  ASSERT_TRUE(test::MakeSelfSigned(certs.path(), "first"));
  ASSERT_TRUE(test::MakeSelfSigned(certs.path(), "second"));
  const std::string first = test::CertFingerprint((certs / "first.pem").string());
  const std::string second = test::CertFingerprint((certs / "second.pem").string());
  ASSERT_FALSE(first.empty());
  ASSERT_NE(first, second);
  const fs::path protocol = logs / "vsftpd.log";
  test::VsftpdServer server;
  ASSERT_TRUE(server.Start(test::FtpTls::Explicit,
                           ProtocolLogConfig(protocol) + "force_anon_logins_ssl=YES\nforce_anon_data_ssl=YES\n"))
      << server.Error();
  ASSERT_TRUE(server.RestartWithCertificate((certs / "first.pem").string(), (certs / "first.key").string()))
      << server.Error();
  YuxWorld world;
  const fs::path source = world.settings / "source";
  fs::create_directories(source);
  test::WriteFile(source / "a.txt", "pinned");
  const std::string key = "127.0.0.1:" + std::to_string(server.Port());
  const fs::path pins = world.settings / "tlsservers.txt";
  const std::string remembered = "Daily: TLS server " + key + " seen for the first time";

  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    PrepareTlsRun(world, source, key);
    const size_t from = world.Log().size();
    ASSERT_TRUE(RunUntil(world, "Daily: Done.", from));
    EXPECT_TRUE(fs::exists(server.Pub() / "Daily.rar")) << world.Log();
    fs::remove(server.Pub() / "Daily.rar");
    EXPECT_EQ(Count(LogTexts(world.Log()), remembered), 1) << world.Log();
    EXPECT_EQ(test::ReadFile(pins), key + " " + first + "\n");
    EXPECT_EQ(fs::status(pins).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  }

  ASSERT_TRUE(server.RestartWithCertificate((certs / "second.pem").string(), (certs / "second.key").string()))
      << server.Error();
  const size_t protocolFrom = test::ReadFile(protocol).size();
  PrepareTlsRun(world, source, key);
  const size_t from = world.Log().size();
  ASSERT_TRUE(RunUntil(world, "Daily: Daily.rar did not reach every destination", from));
  const std::string log = world.Log().substr(from);
  EXPECT_NE(log.find("Daily: TLS server " + key + " presents the certificate " + second +
                     " instead of the one remembered, " + first),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("remove the line of " + key + " from " + pins.string() + " to accept the new one"),
            std::string::npos)
      << log;
  // Refused like a login: no retry, nothing uploaded, nothing recorded.
  EXPECT_EQ(CountOf(log, "Daily: FTP - Trying again"), 0) << log;
  EXPECT_EQ(CountOf(log, "Daily: FTP - Trying to upload"), 0) << log;
  EXPECT_TRUE(Names(server.Pub()).empty());
  EXPECT_EQ(test::ReadFile(pins), key + " " + first + "\n");
  EXPECT_TRUE(AuthWithoutLogin(protocol, protocolFrom));
}

// A server whose certificate an authority vouches for is recorded as such
// at the first run.  When a self-made certificate answers on its host and
// port later, the session ends before the login (the server never sees
// USER), though no fingerprint of that server was ever remembered.
TEST(FtpRunTls, AuthorityVouchedServerIsRecordedAndASelfMadeOneRefusedLater) {
  YUX_REQUIRE_PROGRAM("vsftpd");
  YUX_REQUIRE_PROGRAM("openssl");
  const test::TestPki& pki = test::TestPki::Get();
  ASSERT_TRUE(pki.Ok());
  test::TempDir certs, logs;
  ASSERT_TRUE(test::MakeSelfSigned(certs.path(), "impostor"));
  const std::string impostor = test::CertFingerprint((certs / "impostor.pem").string());
  ASSERT_FALSE(impostor.empty());
  const fs::path protocol = logs / "vsftpd.log";
  test::VsftpdServer server;
  ASSERT_TRUE(server.Start(test::FtpTls::Explicit,
                           ProtocolLogConfig(protocol) + "force_anon_logins_ssl=YES\nforce_anon_data_ssl=YES\n"))
      << server.Error();
  YuxWorld world;
  const fs::path source = world.settings / "source";
  fs::create_directories(source);
  test::WriteFile(source / "a.txt", "vouched");
  const std::string key = "127.0.0.1:" + std::to_string(server.Port());
  // The yux processes trust the test authority (and only it).
  test::ScopedEnvVar trust("SSL_CERT_FILE", pki.Cert("ca"));
  const fs::path pins = world.settings / "tlsservers.txt";
  PrepareTlsRun(world, source, key);
  ASSERT_TRUE(RunUntil(world, "Daily: Done."));
  EXPECT_TRUE(fs::exists(server.Pub() / "Daily.rar")) << world.Log();
  fs::remove(server.Pub() / "Daily.rar");
  EXPECT_EQ(CountOf(world.Log(), "Daily: TLS server " + key +
                                     " seen for the first time, with a certificate a certificate authority vouches "
                                     "for: from now on only such a certificate is accepted there"),
            1)
      << world.Log();
  EXPECT_EQ(test::ReadFile(pins), key + " CA\n");

  ASSERT_TRUE(server.RestartWithCertificate((certs / "impostor.pem").string(), (certs / "impostor.key").string()))
      << server.Error();
  const size_t protocolFrom = test::ReadFile(protocol).size();
  PrepareTlsRun(world, source, key);
  const size_t from = world.Log().size();
  ASSERT_TRUE(RunUntil(world, "Daily: Daily.rar did not reach every destination", from));
  const std::string log = world.Log().substr(from);
  EXPECT_NE(log.find("Daily: TLS server " + key + " presents the certificate " + impostor +
                     ", which no certificate authority vouches for"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("remove the line of " + key + " from " + pins.string() + " to accept the new one"),
            std::string::npos)
      << log;
  EXPECT_EQ(CountOf(log, "Daily: FTP - Trying again"), 0) << log;
  EXPECT_TRUE(Names(server.Pub()).empty());
  EXPECT_EQ(test::ReadFile(pins), key + " CA\n");
  EXPECT_TRUE(AuthWithoutLogin(protocol, protocolFrom));
}

// ---------------------------------------------------------------------------
// The watchdog: a server that stops taking the upload's data.

TEST(FtpRunWatchdog, AStalledUploadIsAbortedAndRetried) {
  REQUIRE_PYFTPDLIB();
  test::TempDir root;
  test::PyFtpServer py;
  // The first upload's data channel is dropped from the server's loop
  // after 256 KB: the server neither reads nor closes it.
  ASSERT_TRUE(py.Start("from pyftpdlib.handlers import DTPHandler\n"
                       "class Stalling(DTPHandler):\n"
                       "    stalled = [False]\n"
                       "    def handle_read(self):\n"
                       "        DTPHandler.handle_read(self)\n"
                       "        if not Stalling.stalled[0] and self.tot_bytes_received > 262144:\n"
                       "            Stalling.stalled[0] = True\n"
                       "            self.ioloop.unregister(self._fileno)\n"
                       "    handle_read_event = handle_read\n"
                       "class handler(FTPHandler):\n"
                       "    dtp_handler = Stalling\n",
                       root.path()));
  YuxWorld world;
  const fs::path source = world.settings / "source";
  fs::create_directories(source);
  test::WriteFile(source / "noise.bin", Noise(6000000, 9));
  PrepareRun(world, source, [&](tarcopt& p) {
    p.fse = "127.0.0.1:" + std::to_string(py.Port());
    p.fus = "user";
    p.fpa = "pass";
  });
  RetryOptions(world);
  ASSERT_TRUE(RunUntil(world, "Daily: Done."));
  const auto texts = LogTexts(world.Log());
  EXPECT_TRUE(InOrder(texts, {"Daily: FTP - Trying to upload \"Daily.rar\".",
                              "Daily: FTP Server is hanging, aborting the transfer [!]",
                              "Daily: FTP - Trying again in 1 seconds (1/3).", "Daily: FTP - Connecting to 127.0.0.1.",
                              "Daily: FTP - Successfully uploaded \"Daily.rar\".", "Daily: FTP - Disconnected."}))
      << world.Log();
  EXPECT_EQ(Count(texts, "Daily: FTP Server is hanging"), 1) << world.Log();
  EXPECT_EQ(test::ReadFile(root.path() / "Daily.rar"), test::ReadFile(world.settings / "dest" / "Daily.rar"));
  EXPECT_EQ(CountOf(test::ReadFile(world.settings / "presets" / "Daily.hst"), "3-FTP"), 1);
}

// ---------------------------------------------------------------------------
// The FTP cleaner across runs; the server's folder after each run.

namespace {

struct CleanerWorld {
  test::TempDir root;
  test::PyFtpServer py;
  YuxWorld world;
  fs::path source;
  bool Start() {
    source = world.settings / "source";
    fs::create_directories(source);
    return py.Start("class handler(FTPHandler):\n    pass\n", root.path());
  }
  // One run archiving under `archive` with the cleaner as given.
  ::testing::AssertionResult Run(const std::string& archive, int fcm, int fcv, bool fca) {
    test::WriteFile(source / "a.txt", "run of " + archive + " " + std::to_string(++runs));
    PrepareRun(world, source, [&](tarcopt& p) {
      p.nam = archive;
      p.owe = true;  // the copy replaces the previous run's archive
      p.fse = "127.0.0.1:" + std::to_string(py.Port());
      p.fus = "user";
      p.fpa = "pass";
      p.fco = true;
      p.fcm = fcm;
      p.fcv = fcv;
      p.fca = fca;
    });
    from = world.Log().size();
    return RunUntil(world, "Daily: Done.", from);
  }
  std::vector<std::string> RunTexts() const { return LogTexts(world.Log().substr(from)); }
  // Blocks of the ".lgf" file dated `daysAgo` days back, with the history
  // lines of their uploads to this server.
  void AddBlock(const std::vector<std::string>& names, int daysAgo) {
    const std::string saved = PresetsFolder;
    PresetsFolder = (world.settings / "presets").string();
    fs::create_directories(PresetsFolder);
    AppendProducedFiles("Daily", names, kListFtp, QDateTime::currentDateTime().addDays(-daysAgo));
    for (const auto& name : names)
      AddHistoryLine("Daily", kHistoryFtp, "127.0.0.1:" + std::to_string(py.Port()) + "/" + name);
    PresetsFolder = saved;
  }
  int runs = 0;
  size_t from = 0;
};

}  // namespace

// By runs, before the uploads, with archive names that repeat: the runs
// beyond the limit go, a name this run uploads stays.
TEST(FtpRunCleaner, ByRunsBeforeTheUploads) {
  REQUIRE_PYFTPDLIB();
  CleanerWorld w;
  ASSERT_TRUE(w.Start());
  const fs::path server = w.root.path();

  ASSERT_TRUE(w.Run("A", 0, 2, false));
  EXPECT_EQ(Names(server), (std::vector<std::string>{"A.rar"}));
  ASSERT_TRUE(w.Run("B", 0, 2, false));
  EXPECT_EQ(Names(server), (std::vector<std::string>{"A.rar", "B.rar"}));
  EXPECT_EQ(Count(w.RunTexts(), "Daily: FTP - Cleaner"), 0);

  ASSERT_TRUE(w.Run("C", 0, 2, false));
  EXPECT_EQ(Names(server), (std::vector<std::string>{"B.rar", "C.rar"}));
  EXPECT_TRUE(InOrder(w.RunTexts(), {"Daily: FTP - Cleaner is trying to delete A.rar.",
                                     "Daily: FTP - Cleaner successfully deleted A.rar.",
                                     "Daily: FTP - Trying to upload \"C.rar\"."}))
      << w.world.Log();

  // The same name again: the expired run of B goes, C is uploaded anew.
  ASSERT_TRUE(w.Run("C", 0, 2, false));
  EXPECT_EQ(Names(server), (std::vector<std::string>{"C.rar"}));
  EXPECT_EQ(test::ReadFile(server / "C.rar"), test::ReadFile(w.world.settings / "dest" / "C.rar"));

  // Keeping one run: every earlier block names C, which this run uploads.
  ASSERT_TRUE(w.Run("C", 0, 1, false));
  const auto texts = w.RunTexts();
  EXPECT_TRUE(InOrder(texts, {"Daily: FTP - Cleaner keeps a file this run uploaded: C.rar.",
                              "Daily: FTP - Successfully uploaded \"C.rar\"."}))
      << w.world.Log();
  EXPECT_EQ(Count(texts, "Daily: FTP - Cleaner is trying"), 0);
  EXPECT_EQ(Names(server), (std::vector<std::string>{"C.rar"}));
  EXPECT_EQ(test::ReadFile(server / "C.rar"), test::ReadFile(w.world.settings / "dest" / "C.rar"));
  const std::string lgf = test::ReadFile(w.world.settings / "presets" / "Daily.lgf");
  EXPECT_EQ(CountOf(lgf, "\r\n\r\n"), 1) << lgf;
}

// By days, with runs dated back: before the uploads the blocks older than
// the limit go; after the uploads the cleaner runs once the files are up
// and never takes the name just uploaded, though an expired run named it.
TEST(FtpRunCleaner, ByDaysBeforeAndAfterTheUploads) {
  REQUIRE_PYFTPDLIB();
  CleanerWorld w;
  ASSERT_TRUE(w.Start());
  const fs::path server = w.root.path();
  test::WriteFile(server / "old.rar", "ten days");
  test::WriteFile(server / "mid.rar", "three days");
  test::WriteFile(server / "Daily.rar", "three days");
  w.AddBlock({"old.rar"}, 10);
  w.AddBlock({"Daily.rar", "mid.rar"}, 3);

  ASSERT_TRUE(w.Run("Daily", 1, 5, false));
  EXPECT_EQ(Names(server), (std::vector<std::string>{"Daily.rar", "mid.rar"}));
  EXPECT_EQ(test::ReadFile(server / "Daily.rar"), test::ReadFile(w.world.settings / "dest" / "Daily.rar"));
  auto texts = w.RunTexts();
  EXPECT_TRUE(InOrder(texts, {"Daily: FTP - Cleaner is trying to delete old.rar.",
                              "Daily: FTP - Cleaner successfully deleted old.rar.",
                              "Daily: FTP - Trying to upload \"Daily.rar\"."}))
      << w.world.Log();
  EXPECT_EQ(Count(texts, "Daily: FTP - Cleaner"), 2) << w.world.Log();

  // Two days back from today: the run of three days ago goes, after the
  // upload, but for the name the kept run of today lists (and this run
  // uploaded).
  ASSERT_TRUE(w.Run("Daily", 1, 2, true));
  EXPECT_EQ(Names(server), (std::vector<std::string>{"Daily.rar"}));
  EXPECT_EQ(test::ReadFile(server / "Daily.rar"), test::ReadFile(w.world.settings / "dest" / "Daily.rar"));
  texts = w.RunTexts();
  EXPECT_TRUE(InOrder(texts, {"Daily: FTP - Successfully uploaded \"Daily.rar\".",
                              "Daily: FTP - Cleaner successfully deleted mid.rar.", "Daily: FTP - Disconnected."}))
      << w.world.Log();
  EXPECT_EQ(Count(texts, "Daily: FTP - Cleaner is trying"), 1) << w.world.Log();
  const std::string lgf = test::ReadFile(w.world.settings / "presets" / "Daily.lgf");
  EXPECT_EQ(CountOf(lgf, "\r\n\r\n"), 2) << lgf;
  EXPECT_EQ(lgf.find("mid.rar"), std::string::npos) << lgf;
}

// The cleaner after the uploads with a list it cannot read, retries on:
// the cleaner ends with a logged error, the session neither fails nor
// retries (a retry once restarted the uploads past the end of the list),
// and the archive is on the server once.
TEST(FtpRunCleaner, UnreadableListAfterTheUploadsEndsOnlyTheCleaner) {
  YUX_REQUIRE_PROGRAM("vsftpd");
  test::VsftpdServer server;
  ASSERT_TRUE(server.Start()) << server.Error();
  YuxWorld world;
  const fs::path source = world.settings / "source";
  fs::create_directories(source);
  test::WriteFile(source / "a.txt", "cleaner after the uploads");
  PrepareRun(world, source, [&](tarcopt& p) {
    p.fse = "127.0.0.1:" + std::to_string(server.Port());
    p.ffo = "pub";
    p.fco = true;
    p.fca = true;
    p.fcm = 0;
    p.fcv = 1;
  });
  RetryOptions(world);
  // A folder where the list should be: it exists and cannot be read.
  const fs::path lgf = world.settings / "presets" / "Daily.lgf";
  fs::create_directories(lgf);
  ASSERT_TRUE(RunUntil(world, "Daily: COPY - Successfully copied Daily.rar."));
  const auto texts = LogTexts(world.Log());
  EXPECT_TRUE(InOrder(texts, {"Daily: FTP - Successfully uploaded \"Daily.rar\".",
                              "Daily: FTP - Cleaner stopped: Cannot read file \"" + lgf.string() + "\". [!]",
                              "Daily: FTP - Disconnected.", "Daily: COPY - Successfully copied Daily.rar."}))
      << world.Log();
  EXPECT_EQ(Count(texts, "Daily: FTP - Trying again"), 0) << world.Log();
  EXPECT_EQ(Count(texts, "Daily: FTP - Trying to upload"), 1) << world.Log();
  EXPECT_EQ(Names(server.Pub()), (std::vector<std::string>{"Daily.rar"}));
  EXPECT_EQ(test::ReadFile(server.Pub() / "Daily.rar"), test::ReadFile(world.settings / "dest" / "Daily.rar"));
  EXPECT_EQ(CountOf(test::ReadFile(world.settings / "presets" / "Daily.hst"), "3-FTP"), 1);
  EXPECT_TRUE(fs::is_directory(lgf));
}

// ---------------------------------------------------------------------------
// A split archive over earlier sets of the same name.

// Five volumes, then three of the same name with overwrite on: the copy's
// folder and the FTP server's each keep only the new set, which extracts
// to the new data.
TEST(FtpRunVolumes, AShorterSetOverALongerOneExtractsToTheNewData) {
  YUX_REQUIRE_PROGRAM("vsftpd");
  test::VsftpdServer server;
  ASSERT_TRUE(server.Start()) << server.Error();
  YuxWorld world;
  const fs::path source = world.settings / "source";
  const fs::path dest = world.settings / "dest";
  fs::create_directories(source);
  const std::vector<std::string> five = {"Daily.part1.rar", "Daily.part2.rar", "Daily.part3.rar",
                                         "Daily.part4.rar", "Daily.part5.rar"};
  const std::vector<std::string> three(five.begin(), five.begin() + 3);
  std::size_t from = 0;
  std::string data;
  for (const auto& [size, volumes] : {std::pair{std::size_t(92000), five}, std::pair{std::size_t(51000), three}}) {
    SCOPED_TRACE(volumes.size());
    data = Noise(size, static_cast<std::uint32_t>(size));
    test::WriteFile(source / "noise.bin", data);
    PrepareRun(world, source, [&](tarcopt& p) {
      p.vol = "20k";
      p.owe = true;
      p.fse = "127.0.0.1:" + std::to_string(server.Port());
      p.ffo = "pub";
    });
    from = world.Log().size();
    ASSERT_TRUE(RunUntil(world, "Daily: Done.", from));
    EXPECT_EQ(Names(dest), volumes) << world.Log();
    EXPECT_EQ(Names(server.Pub()), volumes) << world.Log();
  }
  const auto texts = LogTexts(world.Log().substr(from));
  EXPECT_TRUE(InOrder(texts, {"Daily: FTP - Successfully uploaded \"Daily.part3.rar\".",
                              "Daily: FTP - Deleted Daily.part4.rar: a volume of an earlier set of the same name.",
                              "Daily: FTP - Deleted Daily.part5.rar: a volume of an earlier set of the same name.",
                              "Daily: FTP - Disconnected.", "Daily: COPY - Successfully copied Daily.part3.rar.",
                              "Daily: COPY - Deleted " + (dest / "Daily.part4.rar").string() +
                                  ": a volume of an earlier set of the same name.",
                              "Daily: COPY - Deleted " + (dest / "Daily.part5.rar").string() +
                                  ": a volume of an earlier set of the same name.",
                              "Daily: Done."}))
      << world.Log();
  for (const fs::path& folder : {dest, server.Pub()}) {
    SCOPED_TRACE(folder.string());
    std::string why;
    const std::string extracted = test::ExtractedFile(folder / "Daily.part1.rar", "noise.bin", &why);
    EXPECT_TRUE(extracted == data) << why << " (" << extracted.size() << " of " << data.size() << " bytes)";
  }
}

// A split backup uploaded into a folder the server lets one upload into but
// not list (pyftpdlib's permissions without "l"): the look for volumes of
// an earlier set is refused, which one plain line says, naming the folder,
// and the run ends "Done." without an error line.
TEST(FtpRunVolumes, AnUploadOnlyFolderIsNamedOnceAndTheRunIsDone) {
  REQUIRE_PYFTPDLIB();
  test::TempDir root;
  fs::create_directories(root.path() / "incoming");
  test::PyFtpServer py;
  ASSERT_TRUE(py.Start("import os\n"
                       "class handler(FTPHandler):\n"
                       "    def on_login(self, username):\n"
                       "        home = self.authorizer.get_home_dir(username)\n"
                       "        self.authorizer.override_perm(username, os.path.join(home, 'incoming'), 'ew',\n"
                       "                                      recursive=True)\n",
                       root.path()));
  YuxWorld world;
  const fs::path source = world.settings / "source";
  fs::create_directories(source);
  test::WriteFile(source / "noise.bin", Noise(50000, 41));
  PrepareRun(world, source, [&](tarcopt& p) {
    p.vol = "20k";
    p.fse = "127.0.0.1:" + std::to_string(py.Port());
    p.ffo = "incoming";
    p.fus = "user";
    p.fpa = "pass";
  });
  ASSERT_TRUE(RunUntil(world, "Daily: Done."));
  const auto names = Names(world.settings / "dest");
  ASSERT_GE(names.size(), 3u) << world.Log();
  EXPECT_EQ(Names(root.path() / "incoming"), names) << world.Log();
  const auto texts = LogTexts(world.Log());
  EXPECT_EQ(Count(texts, "Daily: FTP - Cannot look for volumes of an earlier set of the same name in 127.0.0.1:" +
                             std::to_string(py.Port()) + "/incoming/: 550"),
            1)
      << world.Log();
  // No line of the run is an error line.
  EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                          [](const std::string& t) {
                            return t.rfind("Daily: ", 0) == 0 && t.find("[!]") != std::string::npos;
                          }),
            0)
      << world.Log();
}
