// Sending a 50 MB attachment (YUX_SMTP_BENCH_MB to change it) to aiosmtpd
// on loopback: our TSslSmtpCli against Python's smtplib sending the same
// file as a MIME attachment to the same server, runs interleaved.  The
// server keeps nothing.  Counters: "project_ms", "reference_ms" (smtplib)
// and "ratio" (ours / smtplib; below 1.0 = faster than smtplib).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "net/protocols/smtpssl.h"
#include "platform/messages.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace yux::net;

namespace {

constexpr const char* kPython = "/usr/bin/python3";

constexpr const char* kServer = R"PY(
import os, sys, time
from aiosmtpd.controller import Controller
class Sink:
    async def handle_DATA(self, server, session, envelope):
        return "250 OK %d bytes" % len(envelope.original_content)
c = Controller(Sink(), hostname="127.0.0.1", port=int(sys.argv[1]), data_size_limit=0)
c.start()
open(sys.argv[2], "w").write("ok")
parent = os.getppid()
while os.getppid() == parent:
    time.sleep(0.5)
)PY";

constexpr const char* kClient = R"PY(
import os, smtplib, sys, time
from email.message import EmailMessage
t0 = time.monotonic()
msg = EmailMessage()
msg["From"] = "bench@example.com"
msg["To"] = "sink@example.org"
msg["Subject"] = "bench"
msg.set_content("The attachment follows.")
with open(sys.argv[2], "rb") as f:
    msg.add_attachment(f.read(), maintype="application", subtype="octet-stream",
                       filename=os.path.basename(sys.argv[2]))
with smtplib.SMTP("127.0.0.1", int(sys.argv[1])) as s:
    s.send_message(msg)
print("%.3f" % ((time.monotonic() - t0) * 1000))
)PY";

std::int64_t Megabytes() {
  if (const char* e = std::getenv("YUX_SMTP_BENCH_MB"); e && *e) return std::atoll(e);
  return 50;
}

struct Folder {
  fs::path dir;
  Folder() {
    char tmpl[] = "/tmp/yux-smtp-bench-XXXXXX";
    if (mkdtemp(tmpl)) dir = tmpl;
  }
  ~Folder() {
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }
};

int FreePort() {
  // Python picks it: bind to 0 and read it back.
  std::string cmd = std::string(kPython) +
                    " -c \"import socket; s=socket.socket(); s.bind(('127.0.0.1',0)); "
                    "print(s.getsockname()[1])\"";
  FILE* p = popen(cmd.c_str(), "r");
  int port = 0;
  if (p) {
    if (std::fscanf(p, "%d", &port) != 1) port = 0;
    pclose(p);
  }
  return port;
}

struct Server {
  pid_t pid = -1;
  ~Server() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
  }
  bool Start(const fs::path& dir, int port) {
    const std::string script = (dir / "server.py").string(), ready = (dir / "ready").string();
    std::ofstream(script) << kServer;
    const std::string portText = std::to_string(port);
    const char* argv[] = {kPython, script.c_str(), portText.c_str(), ready.c_str(), nullptr};
    if (posix_spawn(&pid, kPython, nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
      return false;
    for (int i = 0; i < 200 && !fs::exists(ready); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return fs::exists(ready);
  }
};

double RunOurs(int port, const std::string& file) {
  TSslSmtpCli c;
  c.Host = "127.0.0.1";
  c.Port = std::to_string(port);
  c.Timeout = 120;
  c.HdrFrom = c.FromName = "bench@example.com";
  c.HdrTo = "sink@example.org";
  c.RcptName = {"sink@example.org"};
  c.HdrSubject = "bench";
  c.MailMessage = {"The attachment follows."};
  c.SetEmailFiles({file});
  const auto t0 = std::chrono::steady_clock::now();
  if (!c.OpenBlocking() || !c.MailBlocking() || !c.QuitBlocking()) {
    std::fprintf(stderr, "our send failed: %s\n", c.ErrorMessage.c_str());
    return -1;
  }
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

double RunSmtplib(const fs::path& dir, int port, const std::string& file) {
  const std::string script = (dir / "client.py").string();
  std::ofstream(script) << kClient;
  const std::string cmd = std::string(kPython) + " " + script + " " + std::to_string(port) + " '" +
                          file + "'";
  FILE* p = popen(cmd.c_str(), "r");
  double ms = -1;
  if (p) {
    if (std::fscanf(p, "%lf", &ms) != 1) ms = -1;
    pclose(p);
  }
  return ms;
}

void BM_SmtpAttachment(benchmark::State& state) {
  Folder folder;
  if (folder.dir.empty() || !fs::exists(kPython)) {
    state.SkipWithError("needs /usr/bin/python3 with aiosmtpd");
    return;
  }
  const std::string file = (folder.dir / "payload.bin").string();
  {
    std::mt19937_64 rng(42);
    std::ofstream out(file, std::ios::binary);
    std::vector<std::uint64_t> block(8192);
    const std::int64_t total = Megabytes() * 1024 * 1024;
    for (std::int64_t done = 0; done < total; done += std::int64_t(block.size() * 8)) {
      for (auto& v : block) v = rng();
      out.write(reinterpret_cast<const char*>(block.data()),
                std::streamsize(std::min<std::int64_t>(total - done, std::int64_t(block.size() * 8))));
    }
  }
  const int port = FreePort();
  Server server;
  if (!port || !server.Start(folder.dir, port)) {
    state.SkipWithError("aiosmtpd did not start");
    return;
  }
  double ours = 0, theirs = 0;
  int runs = 0;
  for (auto _ : state) {
    const double o = RunOurs(port, file);
    const double t = RunSmtplib(folder.dir, port, file);
    if (o < 0 || t < 0) {
      state.SkipWithError("a send failed");
      return;
    }
    ours += o;
    theirs += t;
    ++runs;
  }
  state.SetLabel("reference: smtplib");
  state.counters["project_ms"] = ours / runs;
  state.counters["reference_ms"] = theirs / runs;
  state.counters["ratio"] = ours / theirs;
}
BENCHMARK(BM_SmtpAttachment)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
