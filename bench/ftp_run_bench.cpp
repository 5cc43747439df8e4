// The FTP stage of a run against curl: a 1 GB archive (YUX_FTP_BENCH_MB to
// change it) in a run folder on tmpfs delivered by the stage (connect,
// login, CWD, TYPE, the upload, its history line and the run's block,
// QUIT) to vsftpd on tmpfs, and the same file sent by `curl -T` into the
// same folder.  The runs of the two sides are interleaved.  Counters:
// "stage_ms", "curl_ms" and "ratio" (stage time / curl's, lower is better;
// 1.0 = as fast as curl).
#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/run/ftpdelivery.h"
#include "core/run/rundelivery.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/options.h"
#include "core/store/presets.h"
#include "net/protocols/ftpcli.h"
#include "tests/peers/ftppeers.h"

namespace fs = std::filesystem;
using namespace yux;

namespace {

std::int64_t Megabytes() {
  if (const char* e = std::getenv("YUX_FTP_BENCH_MB"); e && *e) return std::atoll(e);
  return 1024;
}

double Seconds(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The run folder with its one archive, made once.
const fs::path& RunFolder() {
  static test::TempDir dir;
  static fs::path folder;
  if (!folder.empty()) return folder;
  folder = dir / "run";
  fs::create_directories(folder);
  std::ofstream out(folder / "Daily.rar", std::ios::binary);
  std::string block(1 << 20, '\0');
  unsigned x = 4711;
  for (auto& c : block) c = char(x = x * 1103515245u + 12345u);
  for (std::int64_t i = 0; i < Megabytes(); ++i) out.write(block.data(), std::streamsize(block.size()));
  return folder;
}

bool Stage(int port, const test::TempDir& settings) {
  tarcopt preset;
  SetPresetDefaults(preset);
  preset.fse = "127.0.0.1:" + std::to_string(port);
  preset.ffo = "pub";
  RunDeliveries deliveries;
  FtpJob job;
  job.presetName = "Daily";
  job.preset = &preset;
  job.runFolder = RunFolder().string();
  job.produced = {"Daily.rar"};
  deliveries.Start(job.produced);
  deliveries.Expect(DeliveryKind::Ftp);
  job.deliveries = &deliveries;
  net::TSslFtpClient client;
  job.client = &client;
  SettingsFolder = settings.str();
  PresetsFolder = (settings / "presets").string();
  fs::create_directories(PresetsFolder);
  return DeliverByFtp(job) == FtpResult::Done;
}

bool Curl(int port) {
  const std::string url = "ftp://127.0.0.1:" + std::to_string(port) + "/pub/curl.rar";
  test::ProcessResult p = test::RunProgram({"curl", "-s", "-S", "-T", (RunFolder() / "Daily.rar").string(), url}, {}, 600000);
  return p.exitCode == 0;
}

void BM_FtpStageUpload(benchmark::State& state) {
  if (test::FindProgram("vsftpd").empty() || test::FindProgram("curl").empty()) {
    state.SkipWithError("vsftpd or curl missing");
    return;
  }
  test::VsftpdServer server;
  if (!server.Start()) {
    state.SkipWithError(server.Error().c_str());
    return;
  }
  test::TempDir settings;
  Options = topt{};
  AbortRequested = false;
  RunFolder();
  double stage = 0, curl = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    const bool a = Stage(server.Port(), settings);
    const double s = Seconds(t0);
    t0 = std::chrono::steady_clock::now();
    const bool b = Curl(server.Port());
    const double c = Seconds(t0);
    std::error_code ec;
    const bool whole = fs::file_size(server.Pub() / "Daily.rar", ec) == fs::file_size(RunFolder() / "Daily.rar", ec);
    if (!a || !b || !whole) {
      state.SkipWithError(!a ? "the stage failed" : !b ? "curl failed" : "the upload is not whole");
      return;
    }
    stage += s;
    curl += c;
    state.SetIterationTime(s);
    fs::remove(server.Pub() / "Daily.rar", ec);
    fs::remove(server.Pub() / "curl.rar", ec);
  }
  const double n = double(state.iterations());
  state.counters["stage_ms"] = stage * 1000 / n;
  state.counters["curl_ms"] = curl * 1000 / n;
  state.counters["ratio"] = curl > 0 ? stage / curl : 0;
  state.SetLabel("time ratio stage/curl, lower is better");
}

}  // namespace

BENCHMARK(BM_FtpStageUpload)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  // vsftpd and the run folder live on tmpfs, so the disc does not set the pace.
  if (fs::is_directory("/dev/shm")) setenv("TMPDIR", "/dev/shm", 1);
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
