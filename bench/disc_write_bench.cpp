// Writing a 700 MB image into the emulated drive with 2, 8 and 32 MB read
// caches, against `cp` of the same image; and verifying the written files
// against `md5sum` of the sources. Each result reports project_ms,
// reference_ms (the tool) and "ratio" (lower is better; 1.0 is as fast as
// the tool). A verify digests both the sources and the bytes read back,
// twice the data md5sum reads, on two threads.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "disc/lcdbpro.h"
#include "platform/driveletters.h"
#include "platform/mmc_emulated.h"

namespace fs = std::filesystem;
using namespace yux::disc;

namespace {

constexpr int kFiles = 7;
constexpr size_t kFileBytes = 100u << 20;  // 7 x 100 MB = 700 MB of sources
constexpr uint32_t kCapacity = 400000;     // blocks: room for the image

fs::path BenchDir() {
  static fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / ("yux-disc-write-bench-" + std::to_string(getpid()));
    fs::create_directories(d);
    return d;
  }();
  return dir;
}

const std::vector<std::string>& Sources() {
  static std::vector<std::string> files = [] {
    std::vector<std::string> out;
    std::vector<char> data(1 << 20);
    uint32_t x = 12345;
    for (int f = 0; f < kFiles; ++f) {
      const std::string p = (BenchDir() / ("backup-" + std::to_string(f) + ".rar")).string();
      std::ofstream o(p, std::ios::binary);
      for (size_t done = 0; done < kFileBytes; done += data.size()) {
        for (char& c : data) {
          x = x * 1664525u + 1013904223u;
          c = char(x >> 24);
        }
        o.write(data.data(), std::streamsize(data.size()));
      }
      out.push_back(p);
    }
    return out;
  }();
  return files;
}

double Seconds(const std::function<void()>& f) {
  const auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

int Shell(const std::string& cmd) { return std::system(cmd.c_str()); }

// One burner over a fresh emulated DVD+RW holding the sources' image.
struct Burn {
  std::shared_ptr<yux::platform::EmulatedMmcDrive> drive;
  std::unique_ptr<TLCDBurnerPro> burner;
  std::mutex m;
  std::condition_variable cv;
  bool done = false, failed = false;

  explicit Burn(uint32_t cacheMb) {
    const fs::path img = BenchDir() / "disc.img";
    fs::remove(img);
    drive = std::make_shared<yux::platform::EmulatedMmcDrive>(img.string(),
                                                              yux::platform::kProfileDvdPlusRw, kCapacity);
    drive->logData = false;
    auto& map = yux::platform::DriveLetterMap::Global();
    map.Clear();
    map.AssignEmulated('E', drive);
    burner = std::make_unique<TLCDBurnerPro>();  // no owner: events on the worker
    burner->InitializeDevices(false);
    burner->SelectDeviceByLetter('E');
    burner->SetCacheSize(cacheMb);
    auto finish = [this](bool f) {
      std::lock_guard lk(m);
      failed = f;
      done = true;
      cv.notify_all();
    };
    burner->OnWriteDone = [finish](TLCDBurnerPro*, uint8_t, bool f) { finish(f); };
    burner->OnVerifyDone = [finish](TLCDBurnerPro*, uint8_t, int id, bool f) {
      if (id == -1) finish(f);
    };
    for (auto& s : Sources()) burner->InsertFile("\\", s);
    burner->PrepareImage();
  }
  bool Wait() {
    std::unique_lock lk(m);
    cv.wait(lk, [&] { return done; });
    done = false;
    return !failed;
  }
};

double CpSeconds() {
  static double s = [] {
    Burn b(32);
    b.burner->WriteDisc();
    b.Wait();
    const std::string img = (BenchDir() / "disc.img").string();
    const std::string copy = (BenchDir() / "copy.img").string();
    const uint64_t bytes = uint64_t(b.burner->GetImageBlocks()) * 2048;
    // The image part of the (sparse) drive file, then its copy by cp.
    const std::string iso = (BenchDir() / "image.iso").string();
    Shell("head -c " + std::to_string(bytes) + " '" + img + "' > '" + iso + "'");
    // The best of three copies, as the writes below are timed warm as well.
    double best = 1e9;
    for (int i = 0; i < 3; ++i) {
      best = std::min(best, Seconds([&] { Shell("cp '" + iso + "' '" + copy + "'"); }));
      fs::remove(copy);
    }
    return best;
  }();
  return s;
}

double Md5sumSeconds() {
  static double s = [] {
    std::string cmd = "md5sum";
    for (auto& f : Sources()) cmd += " '" + f + "'";
    cmd += " > /dev/null";
    double best = 1e9;
    for (int i = 0; i < 2; ++i) best = std::min(best, Seconds([&] { Shell(cmd); }));
    return best;
  }();
  return s;
}

void BM_WriteImage(benchmark::State& state) {
  const uint32_t cacheMb = uint32_t(state.range(0));
  const double cp = CpSeconds();
  double total = 0;
  for (auto _ : state) {
    state.PauseTiming();
    Burn b(cacheMb);
    state.ResumeTiming();
    const double t = Seconds([&] {
      if (!b.burner->WriteDisc() || !b.Wait()) state.SkipWithError("write failed");
    });
    total += t;
  }
  const double project = total / double(state.iterations());
  state.counters["project_ms"] = project * 1e3;
  state.counters["reference_ms"] = cp * 1e3;
  state.counters["ratio"] = project / cp;
  state.SetLabel("reference: cp");
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFiles) * int64_t(kFileBytes));
}
BENCHMARK(BM_WriteImage)->Arg(2)->Arg(8)->Arg(32)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_VerifyImage(benchmark::State& state) {
  const double md5sum = Md5sumSeconds();
  Burn b(32);
  if (!b.burner->WriteDisc() || !b.Wait()) {
    state.SkipWithError("write failed");
    return;
  }
  double total = 0;
  for (auto _ : state) {
    // Every verify digests the sources afresh, as a first verify does.
    for (auto& e : b.burner->Context().tree.files) e->md5.clear();
    const double t = Seconds([&] {
      if (!b.burner->VerifyDisc(true, true) || !b.Wait()) state.SkipWithError("verify failed");
    });
    total += t;
  }
  const double project = total / double(state.iterations());
  state.counters["project_ms"] = project * 1e3;
  state.counters["reference_ms"] = md5sum * 1e3;
  state.counters["ratio"] = project / md5sum;
  state.SetLabel("reference: md5sum of the sources");
}
BENCHMARK(BM_VerifyImage)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  yux::platform::DriveLetterMap::Global().Clear();
  fs::remove_all(BenchDir(), ec);
  return 0;
}
