// What a preset run costs around the archiver: a preset of 1,000 small
// files run end to end (archiver, produced-files list, copy, history,
// clean-up) against the archiver alone on the same command line.
// Counters: "reference_ms" (the archiver by itself), "project_ms" (the
// whole run) and "ratio" (run / archiver; 1.0 = no overhead at all).
// The archiver is the stand-in built beside yux (build/<preset>/app/winrar)
// unless YUX_WINRAR names another one.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include <QCoreApplication>

#include "core/run/presetrun.h"
#include "core/run/winrarcmd.h"
#include "core/services/startup.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/options.h"
#include "core/store/presets.h"
#include "core/store/programlog.h"
#include "platform/folders.h"
#include "platform/namedobjects.h"
#include "platform/process.h"

namespace fs = std::filesystem;

namespace {

std::string ArchiverPath() {
  if (const char* env = std::getenv("YUX_WINRAR"); env && *env) return env;
  return (fs::path(yux::platform::ProgramFolder()) / ".." / "app" / "winrar").lexically_normal();
}

struct Workspace {
  fs::path root;
  Workspace() {
    root = fs::temp_directory_path() / ("yux-run-bench-" + std::to_string(QCoreApplication::applicationPid()));
    fs::create_directories(root / "presets");
    fs::create_directories(root / "temp");
    fs::create_directories(root / "direct");
    for (int d = 0; d < 10; ++d) {
      const fs::path folder = root / "src" / ("dir" + std::to_string(d));
      fs::create_directories(folder);
      for (int f = 0; f < 100; ++f) {
        std::ofstream out(folder / ("file" + std::to_string(f) + ".txt"), std::ios::binary);
        out << std::string(200 + f, static_cast<char>('a' + d));
      }
    }
    yux::SettingsFolder = root.string();
    yux::PresetsFolder = (root / "presets").string();
    yux::TempFolder = (root / "temp").string();
    yux::WinRarPath = ArchiverPath();
    yux::Options = yux::topt{};
  }
  ~Workspace() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

void BM_PresetRunOverhead(benchmark::State& state) {
  Workspace ws;
  if (!fs::is_regular_file(yux::WinRarPath)) {
    state.SkipWithError(("archiver not found: " + yux::WinRarPath).c_str());
    return;
  }
  yux::tarcopt preset;
  yux::SetPresetDefaults(preset);
  preset.nam = "Bench";
  preset.dtf.clear();
  preset.vol = "None";
  preset.ctf = true;
  preset.owe = true;
  preset.dir = (ws.root / "dest").string();
  yux::SavePreset("Bench", preset);
  yux::WritePresetList("Bench", ".inc", {(ws.root / "src").string()});
  yux::WritePresetList("Bench", ".exc", {});

  const std::string direct = yux::BuildWinRarCommandLine(
      yux::BuildWinRarSwitches(preset, "Bench", yux::DefaultSwitchContext("Bench")), "Bench",
      yux::PresetsFolder, (ws.root / "direct").string(), "Bench");

  double archiverSeconds = 0, runSeconds = 0;
  for (auto _ : state) {
    fs::remove(ws.root / "direct" / "Bench.rar");
    auto t0 = std::chrono::steady_clock::now();
    auto proc = yux::platform::Process::Start(yux::WinRarPath, direct);
    if (!proc || proc->Wait(yux::platform::INFINITE) != yux::platform::WAIT_OBJECT_0) {
      state.SkipWithError("archiver did not run");
      return;
    }
    auto t1 = std::chrono::steady_clock::now();
    const yux::RunOutcome outcome = yux::RunPreset("Bench");
    auto t2 = std::chrono::steady_clock::now();
    if (outcome != yux::RunOutcome::Done) {
      state.SkipWithError("the run did not end with Done");
      return;
    }
    archiverSeconds += std::chrono::duration<double>(t1 - t0).count();
    runSeconds += std::chrono::duration<double>(t2 - t1).count();
  }
  const double n = static_cast<double>(state.iterations());
  state.SetLabel("reference: the archiver alone");
  state.counters["reference_ms"] = archiverSeconds * 1000 / n;
  state.counters["project_ms"] = runSeconds * 1000 / n;
  state.counters["ratio"] = archiverSeconds > 0 ? runSeconds / archiverSeconds : 0;
}
BENCHMARK(BM_PresetRunOverhead)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
