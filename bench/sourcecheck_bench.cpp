// What "delete after archiving" costs for checking that the archive holds
// the sources' bytes, on a large tree: 20,000 files of 1 to 64 KB and 8 of
// 64 MB (about 1.2 GB), stored by the stand-in archiver without
// compression.  Counters: "archive_ms" (the archiver storing the tree, for
// scale), "candidates_ms" (the walk before the archiver starts),
// "listing_ms" (the archive's listing with its CRCs), "bytes_ms" (every
// source read once and its CRC-32 compared with its entry's, as the
// deletion does) and "bytes_MBps".  The sources were just written, so they
// are read from the page cache: a cold cache adds the disk's read time.
// The archiver is the stand-in built beside yux (build/<preset>/app/winrar)
// unless YUX_WINRAR names another one.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "core/run/archivecrc.h"
#include "core/run/sourcedelete.h"
#include "platform/folders.h"
#include "platform/process.h"

namespace fs = std::filesystem;

namespace {

std::string ArchiverPath() {
  if (const char* env = std::getenv("YUX_WINRAR"); env && *env) return env;
  return (fs::path(yux::platform::ProgramFolder()) / ".." / "app" / "winrar").lexically_normal();
}

double Since(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

struct Tree {
  fs::path root;
  std::uint64_t bytes = 0;
  Tree() {
    root = fs::temp_directory_path() / ("yux-sourcecheck-bench-" + std::to_string(::getpid()));
    std::mt19937 gen(52);
    std::string block(64 << 20, '\0');
    for (auto& c : block) c = static_cast<char>(gen());
    for (int d = 0; d < 100; ++d) {
      const fs::path folder = root / "src" / ("dir" + std::to_string(d));
      fs::create_directories(folder);
      for (int f = 0; f < 200; ++f) {
        const std::size_t size = 1024 + gen() % (63 * 1024);
        std::ofstream(folder / ("file" + std::to_string(f) + ".dat"), std::ios::binary)
            .write(block.data() + (gen() % (block.size() - size)), static_cast<std::streamsize>(size));
        bytes += size;
      }
    }
    for (int f = 0; f < 8; ++f) {
      block[0] = static_cast<char>(f);
      std::ofstream(root / "src" / ("image" + std::to_string(f) + ".img"), std::ios::binary)
          .write(block.data(), static_cast<std::streamsize>(block.size()));
      bytes += block.size();
    }
  }
  ~Tree() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

void BM_SourceCheck(benchmark::State& state) {
  Tree tree;
  const std::string archiver = ArchiverPath();
  if (!fs::exists(archiver)) {
    state.SkipWithError(("archiver not found: " + archiver).c_str());
    return;
  }
  yux::SourceDeletion how;
  how.includes = {(tree.root / "src").string()};
  how.pathMode = 1;
  how.recurse = true;
  const fs::path archive = tree.root / "out.rar";
  double archiveMs = 0, candidatesMs = 0, listingMs = 0, bytesMs = 0;
  for (auto _ : state) {
    fs::remove(archive);
    auto t = std::chrono::steady_clock::now();
    const yux::SourceCandidates taken = yux::TakeSourceCandidates(how);
    candidatesMs += Since(t);
    t = std::chrono::steady_clock::now();
    auto proc = yux::platform::Process::Start(
        archiver, "a -ep1 -r -m0 -INUL \"" + (tree.root / "out").string() + "\" \"" + how.includes.front() + "\"");
    if (!proc || proc->Wait(yux::platform::INFINITE) != yux::platform::WAIT_OBJECT_0 || proc->ExitCode() != 0) {
      state.SkipWithError("the archiver failed");
      return;
    }
    archiveMs += Since(t);
    t = std::chrono::steady_clock::now();
    std::string why;
    const auto listing = yux::ReadArchiveListing({archive.string()}, &why);
    listingMs += Since(t);
    if (!listing) {
      state.SkipWithError(why.c_str());
      return;
    }
    t = std::chrono::steady_clock::now();
    std::size_t same = 0;
    for (const auto& e : *listing) {
      if (e.folder) continue;
      const auto it = taken.find(e.name);
      if (it == taken.end() || it->second.size() != 1) continue;
      std::uint32_t crc = 0;
      std::int64_t length = 0;
      if (yux::FileCrc32(it->second.front().path, {}, &crc, &length) && e.crc && crc == *e.crc &&
          length == e.size)
        ++same;
    }
    bytesMs += Since(t);
    if (same != 20008) {
      state.SkipWithError(("only " + std::to_string(same) + " sources matched their entries").c_str());
      return;
    }
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["files"] = 20008;
  state.counters["tree_MB"] = static_cast<double>(tree.bytes) / (1 << 20);
  state.counters["archive_ms"] = archiveMs / n;
  state.counters["candidates_ms"] = candidatesMs / n;
  state.counters["listing_ms"] = listingMs / n;
  state.counters["bytes_ms"] = bytesMs / n;
  state.counters["bytes_MBps"] = bytesMs > 0 ? static_cast<double>(tree.bytes) / (1 << 20) / (bytesMs / n / 1000) : 0;
}
BENCHMARK(BM_SourceCheck)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
