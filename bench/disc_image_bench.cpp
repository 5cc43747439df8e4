// Building a disc image of (a) 100,000 small files in 2,000 folders and
// (b) 10,000 files in one folder, against `xorriso -as mkisofs -J -o` on the
// same trees. Prints the time ratio and the peak memory of each builder
// (measured in a child process so that the trees built here do not count).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "disc/commonlib.h"
#include "disc/iso9660.h"
#include "disc/tree.h"

namespace fs = std::filesystem;
using namespace yux::disc;

namespace {

struct Corpus {
  fs::path root;
  int folders;
  int filesPerFolder;
};

fs::path BenchDir() {
  static fs::path dir = [] {
    fs::path d = fs::temp_directory_path() / ("yux-disc-bench-" + std::to_string(getpid()));
    fs::create_directories(d);
    return d;
  }();
  return dir;
}

const Corpus& GetCorpus(int which) {
  static std::map<int, Corpus> made;
  auto it = made.find(which);
  if (it != made.end()) return it->second;
  Corpus c;
  c.root = BenchDir() / (which == 0 ? "many-folders" : "one-folder");
  c.folders = which == 0 ? 2000 : 1;
  c.filesPerFolder = which == 0 ? 50 : 10000;
  std::string data(300, 'x');
  for (int f = 0; f < c.folders; ++f) {
    fs::path dir = which == 0 ? c.root / ("folder " + std::to_string(f)) : c.root;
    fs::create_directories(dir);
    for (int i = 0; i < c.filesPerFolder; ++i) {
      std::ofstream out(dir / ("backup file number " + std::to_string(i) + ".rar"), std::ios::binary);
      data[0] = char(i);
      out << data;
    }
  }
  return made.emplace(which, c).first->second;
}

// Our builder: tree, layout, header, then the whole image with file data.
void BuildOurs(const Corpus& c, const std::string& out) {
  TTreeContext tree;
  tree.volumeLabel = "YUX-BACKUP";
  for (const auto& entry : fs::recursive_directory_iterator(c.root)) {
    fs::path rel = fs::relative(entry.path(), c.root);
    std::string parent = "\\" + rel.parent_path().string();
    for (char& ch : parent)
      if (ch == '/') ch = '\\';
    TDirectory* dir = tree.FindDirectory(parent);
    if (entry.is_directory()) {
      TFindData fd;
      fd.fileName = Utf8ToWide(rel.filename().string());
      fd.attributes = kAttrDirectory;
      tree.CreateDirectory(dir, fd);
    } else {
      tree.InsertFile(parent, entry.path().string());
    }
  }
  PrepareImage(tree);
  GenerateImageHeader(tree);
  std::ofstream img(out, std::ios::binary | std::ios::trunc);
  img.write(reinterpret_cast<const char*>(tree.imageBuffer.data()), std::streamsize(tree.imageBuffer.size()));
  std::vector<char> buf;
  for (auto& f : tree.files) {
    if (f->IsDirectory() || f->size == 0) continue;
    img.seekp(std::streamoff(tree.layout.fileAreaStart + f->block) * 2048);
    buf.resize(size_t(f->size));
    std::ifstream in(f->sourcePath, std::ios::binary);
    in.read(buf.data(), std::streamsize(buf.size()));
    img.write(buf.data(), std::streamsize(buf.size()));
  }
  img.seekp(std::streamoff(GetImageBlocks(tree)) * 2048 - 1);
  img.put('\0');
}

void BuildXorriso(const Corpus& c, const std::string& out) {
  std::string cmd = "xorriso -as mkisofs -quiet -J -o '" + out + "' '" + c.root.string() + "' >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "xorriso failed\n");
}

// Runs one build in a fresh process (this program re-executed, or xorriso
// itself) and returns that process's peak resident set in KB.
long PeakKb(bool ours, int which, const std::string& out) {
  const Corpus& c = GetCorpus(which);
  pid_t pid = fork();
  if (pid == 0) {
    int null = ::open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    if (ours) {
      execl("/proc/self/exe", "disc_image_bench", "--build-child", c.root.string().c_str(),
            std::to_string(which).c_str(), out.c_str(), (char*)nullptr);
    } else {
      execlp("xorriso", "xorriso", "-as", "mkisofs", "-quiet", "-J", "-o", out.c_str(),
             c.root.string().c_str(), (char*)nullptr);
    }
    _exit(127);
  }
  int status = 0;
  rusage ru{};
  wait4(pid, &status, 0, &ru);
  return ru.ru_maxrss;
}

std::map<std::string, double> g_seconds;
std::map<std::string, long> g_peak;

void Run(benchmark::State& state, bool ours) {
  const Corpus& c = GetCorpus(int(state.range(0)));
  const std::string name = std::string(ours ? "yux" : "xorriso") + (state.range(0) == 0 ? "/a" : "/b");
  const std::string out = (BenchDir() / (ours ? "ours.iso" : "xorriso.iso")).string();
  double total = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    if (ours) BuildOurs(c, out); else BuildXorriso(c, out);
    total += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  }
  g_seconds[name] = total / double(state.iterations());
  state.counters["peak_rss_kb"] = double(g_peak[name]);
  state.counters["image_kb"] = double(fs::file_size(out) / 1024);
}

void BM_YuxImage(benchmark::State& s) { Run(s, true); }
void BM_XorrisoImage(benchmark::State& s) { Run(s, false); }

}  // namespace

BENCHMARK(BM_YuxImage)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_XorrisoImage)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--build-child") {
    Corpus c{argv[2], 0, 0};
    BuildOurs(c, argv[4]);
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  // Peak memory first, while this process is still small: a child's peak
  // starts from the size of the process it was forked from.
  for (int which : {0, 1}) {
    const std::string k = which == 0 ? "/a" : "/b";
    g_peak["yux" + k] = PeakKb(true, which, (BenchDir() / "ours.iso").string());
    g_peak["xorriso" + k] = PeakKb(false, which, (BenchDir() / "xorriso.iso").string());
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const char* k : {"/a", "/b"}) {
    const std::string y = std::string("yux") + k, x = std::string("xorriso") + k;
    if (!g_seconds.count(y) || !g_seconds.count(x) || g_seconds[x] <= 0) continue;
    std::printf("%s: time yux/xorriso = %.2f, peak memory yux %ld KB, xorriso %ld KB\n",
                k[1] == 'a' ? "100000 files in 2000 folders" : "10000 files in one folder",
                g_seconds[y] / g_seconds[x], g_peak[y], g_peak[x]);
  }
  std::error_code ec;
  fs::remove_all(BenchDir(), ec);
  return 0;
}
