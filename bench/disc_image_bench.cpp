// Building a disc image of (a) 100,000 small files in 2,000 folders and
// (b) 10,000 files in one folder, against `xorriso -as mkisofs -J -o` on the
// same trees. The bench walks each tree once beforehand, so that only the
// project's own work (tree, layout, image with the file data) is timed;
// the project's and xorriso's runs alternate within each iteration. Each
// run reports project_ms, reference_ms and "ratio" (project / xorriso;
// below 1: faster), and the peak memory of each builder (measured in a
// child process so that the trees built here do not count).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
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

// A tree walked once: each entry's parent folder in the project's form,
// and its name or source path. Walking and converting paths is the
// bench's business, not the image builder's.
struct Item {
  std::string parent;
  std::u16string dirName;  // for a folder
  std::string source;      // for a file
};

using ItemSink = std::function<void(const Item&)>;

void Walk(const fs::path& root, const ItemSink& sink) {
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    fs::path rel = fs::relative(entry.path(), root);
    Item it;
    it.parent = "\\" + rel.parent_path().string();
    for (char& ch : it.parent)
      if (ch == '/') ch = '\\';
    if (entry.is_directory())
      it.dirName = Utf8ToWide(rel.filename().string());
    else
      it.source = entry.path().string();
    sink(it);
  }
}

const std::vector<Item>& Items(int which) {
  static std::map<int, std::vector<Item>> walked;
  auto it = walked.find(which);
  if (it == walked.end()) {
    std::vector<Item> items;
    Walk(GetCorpus(which).root, [&](const Item& i) { items.push_back(i); });
    it = walked.emplace(which, std::move(items)).first;
  }
  return it->second;
}

// Our builder: tree, layout, header, then the whole image with file data.
// `each` hands every entry of the tree to the sink given.
void BuildOurs(const std::function<void(const ItemSink&)>& each, const std::string& out) {
  TTreeContext tree;
  tree.volumeLabel = "YUX-BACKUP";
  each([&](const Item& item) {
    TDirectory* dir = tree.FindDirectory(item.parent);
    if (item.source.empty()) {
      TFindData fd;
      fd.fileName = item.dirName;
      fd.attributes = kAttrDirectory;
      tree.CreateDirectory(dir, fd);
    } else {
      tree.InsertFile(item.parent, item.source);
    }
  });
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

std::map<std::string, double> g_ratio;
std::map<std::string, long> g_peak;

double Seconds(const std::function<void()>& f) {
  auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Each iteration builds with both, the order alternating.
void BM_ImageVsXorriso(benchmark::State& state) {
  const int which = int(state.range(0));
  const Corpus& c = GetCorpus(which);
  const std::vector<Item>& items = Items(which);
  const std::string k = which == 0 ? "/a" : "/b";
  const std::string ours = (BenchDir() / "ours.iso").string();
  const std::string theirs = (BenchDir() / "xorriso.iso").string();
  double project = 0, reference = 0;
  bool oursFirst = true;
  for (auto _ : state) {
    auto build = [&] {
      BuildOurs([&](const ItemSink& sink) {
        for (const Item& item : items) sink(item);
      }, ours);
    };
    if (oursFirst) project += Seconds(build);
    reference += Seconds([&] { BuildXorriso(c, theirs); });
    if (!oursFirst) project += Seconds(build);
    oursFirst = !oursFirst;
  }
  const double n = double(state.iterations());
  state.counters["project_ms"] = project / n * 1e3;
  state.counters["reference_ms"] = reference / n * 1e3;
  state.counters["ratio"] = reference > 0 ? project / reference : 0;
  state.counters["project_peak_kb"] = double(g_peak["yux" + k]);
  state.counters["reference_peak_kb"] = double(g_peak["xorriso" + k]);
  state.counters["image_kb"] = double(fs::file_size(ours) / 1024);
  g_ratio[k] = reference > 0 ? project / reference : 0;
}

}  // namespace

BENCHMARK(BM_ImageVsXorriso)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Iterations(4)->UseRealTime();

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--build-child") {
    // Walked while built: no list of the entries adds to the peak.
    const fs::path root = argv[2];
    BuildOurs([&](const ItemSink& sink) { Walk(root, sink); }, argv[4]);
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
    if (!g_ratio.count(k)) continue;
    std::printf("%s: time yux/xorriso = %.2f, peak memory yux %ld KB, xorriso %ld KB\n",
                k[1] == 'a' ? "100000 files in 2000 folders" : "10000 files in one folder",
                g_ratio[k], g_peak[std::string("yux") + k], g_peak[std::string("xorriso") + k]);
  }
  std::error_code ec;
  fs::remove_all(BenchDir(), ec);
  return 0;
}
