// FTP throughput on loopback against vsftpd on tmpfs: 1 GB
// (YUX_FTP_BENCH_MB to change it) uploaded and downloaded by our client and
// by curl (-T, -o), in plain text and with AUTH TLS and PROT P (curl
// --ssl-reqd).  The runs of the two sides are interleaved.
// Both sides are timed over the same span, the whole session: ours from the
// connect to the end of QUIT (login, AUTH TLS, PBSZ, PROT, CWD, TYPE, the
// transfer), curl as a whole process (which does the same, plus starting
// up).  Counters: "project_ms", "reference_ms" (curl), "ratio" (our time /
// curl's, lower is better; 1.0 = as fast as curl).  Beside them, the
// transfer alone: "project_xfer_ms" (from the transfer's command to its
// end) and curl's own "curl_xfer_ms" (its time_total - time_starttransfer).
// And the processor time of a blocking wait on a server that never
// answers ("cpu_ms" over "wait_ms"; about 0 expected).
#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>

#include "net/protocols/ftpcli.h"
#include "net/socket/sslcontext.h"
#include "platform/messages.h"
#include "tests/peers/ftppeers.h"
#include "tests/peers/sslfixture.h"

namespace fs = std::filesystem;
using namespace yux;
using namespace yux::net;
using namespace yux::test;

namespace {

std::int64_t Megabytes() {
  if (const char* e = std::getenv("YUX_FTP_BENCH_MB"); e && *e) return std::atoll(e);
  return 1024;
}

double Seconds(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// A file of the benchmark's size, made once.
const fs::path& SourceFile() {
  static TempDir dir;
  static fs::path file;
  if (!file.empty()) return file;
  file = dir / "source.bin";
  std::ofstream out(file, std::ios::binary);
  std::string block(1 << 20, '\0');
  unsigned x = 12345;
  for (auto& c : block) c = char(x = x * 1103515245u + 12345u);
  for (std::int64_t i = 0; i < Megabytes(); ++i) out.write(block.data(), std::streamsize(block.size()));
  return file;
}

struct Run {
  bool ok = false;
  double seconds = 0;          // the whole session
  double transferSeconds = 0;  // the transfer alone
};

// Our client: the whole session, from the connect to the end of QUIT.
Run Ours(int port, bool tls, bool upload, const fs::path& local, const std::string& remote) {
  TSslContext ctx;
  ctx.SetSslVerifyPeer(false);
  TSslFtpClient c;
  c.SetSslContext(&ctx);
  c.HostName = "127.0.0.1";
  c.Port = std::to_string(port);
  c.UserName = "anonymous";
  c.PassWord = "bench@example.org";
  c.SetPassive(true);
  c.Timeout = 600;
  if (const char* e = std::getenv("YUX_FTP_SNDBUF")) c.SetDataSocketSndBufSize(std::atoi(e));
  c.RequestedMode = ftpTransModeStream;
  if (tls) c.SetSslType(sslTypeAuthTls);
  Run r;
  const auto session = std::chrono::steady_clock::now();
  if (!c.Connect()) return r;
  if (tls) {
    c.SetProtLevel("P");
    if (!c.RunBlocking(&TCustomFtpCli::PbszAsync) || !c.RunBlocking(&TCustomFtpCli::ProtAsync))
      return r;
  }
  c.HostDirName = "pub";
  if (!c.Cwd() || !c.TypeSet()) return r;
  c.HostFileName = remote;
  c.LocalFileName = local.string();
  auto t0 = std::chrono::steady_clock::now();
  r.ok = upload ? c.Put() : c.Get();
  r.transferSeconds = Seconds(t0);
  c.Quit();
  r.seconds = Seconds(session);
  return r;
}

Run Curl(int port, bool tls, bool upload, const fs::path& local, const std::string& remote) {
  std::vector<std::string> argv = {"curl", "-s", "-S", "-w", "%{time_starttransfer} %{time_total}"};
  if (tls) argv.insert(argv.end(), {"--ssl-reqd", "-k"});
  std::string url = "ftp://127.0.0.1:" + std::to_string(port) + "/pub/" + remote;
  if (upload)
    argv.insert(argv.end(), {"-T", local.string(), url});
  else
    argv.insert(argv.end(), {"-o", local.string(), url});
  auto t0 = std::chrono::steady_clock::now();
  ProcessResult p = RunProgram(argv, {}, 600000);
  Run r{p.exitCode == 0, Seconds(t0), 0};
  double start = 0, total = 0;
  if (std::sscanf(p.out.c_str(), "%lf %lf", &start, &total) == 2) r.transferSeconds = total - start;
  return r;
}

void Transfer(benchmark::State& state, bool tls, bool upload) {
  if (FindProgram("vsftpd").empty() || FindProgram("curl").empty()) {
    state.SkipWithError("vsftpd or curl missing");
    return;
  }
  VsftpdServer server;
  if (!server.Start(tls ? FtpTls::Explicit : FtpTls::None)) {
    state.SkipWithError(server.Error().c_str());
    return;
  }
  TempDir work;
  const fs::path& src = SourceFile();
  if (!upload) server.PutFile("down.bin", "");
  if (!upload) fs::copy_file(src, server.Pub() / "down.bin", fs::copy_options::overwrite_existing);
  double ours = 0, curl = 0, oursXfer = 0, curlXfer = 0;
  for (auto _ : state) {
    Run a = Ours(server.Port(), tls, upload, upload ? src : work / "ours.bin", upload ? "ours.bin" : "down.bin");
    Run b = Curl(server.Port(), tls, upload, upload ? src : work / "curl.bin", upload ? "curl.bin" : "down.bin");
    if (!a.ok || !b.ok) {
      state.SkipWithError(!a.ok ? "our transfer failed" : "curl failed");
      return;
    }
    ours += a.seconds;
    curl += b.seconds;
    oursXfer += a.transferSeconds;
    curlXfer += b.transferSeconds;
    state.SetIterationTime(a.seconds);
    std::error_code ec;
    fs::remove(work / "ours.bin", ec);
    fs::remove(work / "curl.bin", ec);
    fs::remove(server.Pub() / "ours.bin", ec);
    fs::remove(server.Pub() / "curl.bin", ec);
  }
  state.SetLabel("whole sessions, time ratio project/curl, lower is better");
  state.counters["project_ms"] = ours * 1000 / double(state.iterations());
  state.counters["reference_ms"] = curl * 1000 / double(state.iterations());
  state.counters["ratio"] = curl > 0 ? ours / curl : 0;
  state.counters["project_xfer_ms"] = oursXfer * 1000 / double(state.iterations());
  state.counters["curl_xfer_ms"] = curlXfer * 1000 / double(state.iterations());
  state.counters["ours_MBps"] = ours > 0 ? double(Megabytes()) * double(state.iterations()) / ours : 0;
}

void BM_FtpUpload(benchmark::State& s) { Transfer(s, false, true); }
void BM_FtpDownload(benchmark::State& s) { Transfer(s, false, false); }
void BM_FtpUploadProtP(benchmark::State& s) { Transfer(s, true, true); }
void BM_FtpDownloadProtP(benchmark::State& s) { Transfer(s, true, false); }

// A blocking List on a server that logs in and then never answers.
void BM_FtpBlockingWaitCpu(benchmark::State& state) {
  ScriptedServer server([](int fd, int) {
    WriteAll(fd, "220 hi\r\n");
    ReadHeaders(fd);  // whatever comes, until the client gives up
  });
  double cpu = 0, wall = 0;
  for (auto _ : state) {
    TFtpClient c;
    c.HostName = "127.0.0.1";
    c.Port = std::to_string(server.Port());
    c.UserName = "u";
    c.PassWord = "p";
    c.Timeout = 5;
    c.LocalFileName = "/dev/null";
    std::clock_t c0 = std::clock();
    auto t0 = std::chrono::steady_clock::now();
    c.List();
    cpu += double(std::clock() - c0) / CLOCKS_PER_SEC;
    wall += Seconds(t0);
    state.SetIterationTime(Seconds(t0));
  }
  state.counters["cpu_ms"] = cpu * 1000 / double(state.iterations());
  state.counters["wait_ms"] = wall * 1000 / double(state.iterations());
}

}  // namespace

BENCHMARK(BM_FtpUpload)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FtpDownload)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FtpUploadProtP)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FtpDownloadProtP)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FtpBlockingWaitCpu)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  // vsftpd and the files live on tmpfs, so the disc does not set the pace.
  if (fs::is_directory("/dev/shm")) setenv("TMPDIR", "/dev/shm", 1);
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
