// TLS throughput on loopback: 1 GB (YUX_TLS_BENCH_MB to change it) sent by
// our TLS socket to `openssl s_server`, against `openssl s_client` piping
// the same amount to another s_server.  Both servers discard what they
// receive.  Both sides are timed over the same span, the whole connection:
// ours from the connect through the handshake and the sending of every
// byte to the end of the close; s_client as a whole process, which does the
// same (plus starting up) and ends when its input ends.  Counters:
// "project_ms", "reference_ms" (s_client), "ours_MBps" and "ratio" (our
// time / openssl's, lower is better; 1.0 = as fast as the library's own
// tool).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "net/socket/sslcontext.h"
#include "net/socket/ssllayer.h"
#include "platform/messages.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace yux::net;

namespace {

std::int64_t Megabytes() {
  if (const char* e = std::getenv("YUX_TLS_BENCH_MB"); e && *e) return std::atoll(e);
  return 1024;
}

// A program run through the shell, its output in a file.
struct Proc {
  pid_t pid = -1;
  std::string log;
  bool Start(const std::string& cmd, const std::string& logFile) {
    log = logFile;
    std::string line = cmd + " > '" + logFile + "' 2>&1";
    const char* argv[] = {"/bin/sh", "-c", line.c_str(), nullptr};
    // Its own process group, so that the whole pipeline can be ended.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    bool ok = posix_spawn(&pid, "/bin/sh", nullptr, &attr, const_cast<char**>(argv), environ) == 0;
    posix_spawnattr_destroy(&attr);
    return ok;
  }
  std::string Output() const {
    std::ifstream in(log);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  int Wait() {
    int st = 0;
    if (pid > 0) waitpid(pid, &st, 0);
    pid = -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  void Kill() {
    if (pid <= 0) return;
    kill(-pid, SIGTERM);
    Wait();
  }
  ~Proc() { Kill(); }
};

struct Pki {
  fs::path dir;
  Pki() {
    dir = fs::temp_directory_path() / ("yux-tls-bench-" + std::to_string(getpid()));
    fs::create_directories(dir);
    std::string cmd =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout '" +
        (dir / "k.pem").string() + "' -out '" + (dir / "c.pem").string() +
        "' -subj /CN=localhost -days 2 >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) dir.clear();
  }
  ~Pki() {
    if (!dir.empty()) fs::remove_all(dir);
  }
};

double RunOurs(int port, std::int64_t bytes) {
  TSslContext ctx;
  struct Sock : TCustomSslWSocket {
    Sock() { AllocateSocketWindow(); }
  } s;
  s.SetSslContext(&ctx);
  s.SslEnable = true;
  bool ready = false, failed = false, closing = false, done = false;
  std::int64_t queued = 0;
  const std::string chunk(256 * 1024, '\0');
  auto t0 = std::chrono::steady_clock::now();
  s.OnSslHandshakeDone = [&](TCustomWSocket*, WORD e, TX509Base*, bool&) {
    if (e) {
      std::fprintf(stderr, "handshake failed (%d)\n", int(e));
      failed = true;
    }
    ready = true;
  };
  s.OnSessionClosed = [&](TCustomWSocket*, WORD e) {
    if (closing) return;
    if (!failed)
      std::fprintf(stderr, "connection closed (error %d) after %lld bytes, ready %d\n", int(e),
                   static_cast<long long>(s.WriteCount()), int(ready));
    failed = true;
  };
  // Keep about one chunk queued: each OnDataSent hands over the next.
  s.OnDataSent = [&](TCustomWSocket*, WORD) {
    if (queued >= bytes) done = true;  // everything handed to the network
    if (queued < bytes) {
      s.Send(chunk.data(), int(chunk.size()));
      queued += std::int64_t(chunk.size());
    }
  };
  s.SetAddr("127.0.0.1");
  s.SetPort(std::to_string(port));
  s.Connect();
  yux::platform::WaitPumping([&] { return ready || failed; }, 10000, 1);
  if (!ready || failed) return -1;
  s.Send(chunk.data(), int(chunk.size()));
  queued = std::int64_t(chunk.size());
  yux::platform::WaitPumping([&] { return failed || done; }, 600000, 1);
  bool ok = done && !failed;
  closing = true;
  s.Close();
  yux::platform::WaitPumping([&] { return s.State() == wsClosed; }, 2000, 1);
  double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  return ok && s.State() == wsClosed ? ms : -1;
}

// s_server that discards what it receives (its input never ends, so it
// never closes by itself); returns its port or 0.  Only its first two output
// lines, the second naming the port, reach the log.
int StartSink(Proc& p, const std::string& cert, const std::string& key, const std::string& log) {
  p.Start("sleep 100000 | openssl s_server -accept 127.0.0.1:0 -tls1_3 -cert '" + cert +
              "' -key '" + key + "' 2>/dev/null | (head -n 2; cat > /dev/null)",
          log);
  int port = 0;
  yux::platform::WaitPumping(
      [&] {
        std::smatch m;
        std::string out = p.Output();
        static const std::regex re("ACCEPT 127\\.0\\.0\\.1:([0-9]+)");
        if (std::regex_search(out, m, re)) port = std::stoi(m[1]);
        return port != 0;
      },
      5000, 5);
  return port;
}

void BM_TlsUpload(benchmark::State& state) {
  Pki pki;
  if (pki.dir.empty()) {
    state.SkipWithError("openssl is needed to make a certificate");
    return;
  }
  const std::int64_t bytes = Megabytes() * 1024 * 1024;
  const std::string cert = (pki.dir / "c.pem").string(), key = (pki.dir / "k.pem").string();
  double oursMs = 0, theirsMs = 0;
  for (auto _ : state) {
    {
      Proc server;
      int port = StartSink(server, cert, key, (pki.dir / "ours.log").string());
      if (!port) {
        state.SkipWithError("s_server did not start");
        return;
      }
      oursMs = RunOurs(port, bytes);
      if (oursMs < 0) {
        state.SkipWithError("our TLS transfer failed");
        return;
      }
    }
    {
      Proc server;
      int port = StartSink(server, cert, key, (pki.dir / "theirs.log").string());
      if (!port) {
        state.SkipWithError("s_server did not start");
        return;
      }
      Proc client;
      auto t0 = std::chrono::steady_clock::now();
      client.Start(
          "head -c " + std::to_string(bytes) +
              " /dev/zero | openssl s_client -quiet -no_ign_eof -tls1_3 -connect 127.0.0.1:" +
              std::to_string(port),
          (pki.dir / "client.log").string());
      client.Wait();
      theirsMs =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    }
  }
  state.SetLabel("whole connections, reference: openssl s_client; ratio lower is better");
  state.counters["project_ms"] = oursMs;
  state.counters["reference_ms"] = theirsMs;
  state.counters["ours_MBps"] = double(bytes) / (1024.0 * 1024.0) / (oursMs / 1000.0);
  state.counters["ratio"] = oursMs / theirsMs;
}
BENCHMARK(BM_TlsUpload)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
