// A yux started hidden (no window, no tray) with a long program log: how
// long the start takes and how much memory it holds, and how the memory and
// the log file grow over many runs.
//   hiddenlog_bench [starts] [runs]
// The project is the yux built beside this bench (build/<preset>/app/yux);
// the reference is the yux named by YUX_REFERENCE (another build, e.g. of
// an earlier commit), and is left out when it is not set.  Both use the
// stand-in archiver built beside the project.  The log starts with 100,000
// lines and a limit ("lsz") of 5,000 lines.
// Start-up: `starts` starts of each side, taking turns; the time from the
// process start to its start line in the log (the log is read by then),
// and the resident memory 2 s later; medians.  Runs: one program per side
// runs the preset `runs` times (rows due at once in the schedule); its
// resident memory after the start and after every tenth run, and the log
// file's lines at the end.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/store/folders.h"
#include "core/store/options.h"
#include "core/store/presets.h"
#include "platform/folders.h"

namespace fs = std::filesystem;

namespace {

constexpr int kOldLines = 100000;
constexpr int kLimit = 5000;
constexpr char kStartLine[] = "YUX started, loading settings.";

fs::path BuildApp() { return (fs::path(yux::platform::ProgramFolder()) / ".." / "app").lexically_normal(); }

std::string ReadTail(const fs::path& file, std::size_t bytes) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return {};
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  const std::streamoff from = size > static_cast<std::streamoff>(bytes) ? size - static_cast<std::streamoff>(bytes) : 0;
  in.seekg(from);
  std::string out(static_cast<std::size_t>(size - from), '\0');
  in.read(out.data(), static_cast<std::streamsize>(out.size()));
  return out;
}

long CountOf(const std::string& hay, const std::string& needle) {
  long n = 0;
  for (auto p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

long FileLines(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return static_cast<long>(std::count(all.begin(), all.end(), '\n'));
}

// Resident memory of a process in KB.
long ResidentKb(qint64 pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// The folders of one program's world, its settings (the limit, the
// archiver, the preset "Daily") and its environment.
struct World {
  explicit World(const fs::path& root) : root(root) {
    for (const fs::path& d : {home(), config(), data(), settings(), temp(), source(), dest()})
      fs::create_directories(d);
    std::ofstream(home() / "yuxinfo.dat", std::ios::binary) << settings().string() << "\r\n";
    std::ofstream(source() / "notes.txt", std::ios::binary) << std::string(20000, 'n');
    yux::SettingsFolder = settings().string();
    yux::PresetsFolder = (settings() / "presets").string();
    yux::topt o;
    yux::SetOptionDefaults(o);
    o.lsz = kLimit;
    o.pwi = (BuildApp() / "winrar").string();
    yux::SaveOptions(o);
    yux::tarcopt p;
    yux::SetPresetDefaults(p);
    p.nam = "Daily";
    p.dtf.clear();
    p.vol = "None";
    p.ctf = true;
    p.owe = true;
    p.dir = dest().string();
    yux::SavePreset("Daily", p);
    yux::WritePresetList("Daily", ".inc", {source().string()});
    yux::WritePresetList("Daily", ".exc", {});
  }
  ~World() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  fs::path home() const { return root / "home"; }
  fs::path config() const { return root / "config"; }
  fs::path data() const { return root / "data"; }
  fs::path settings() const { return root / "settings"; }
  fs::path temp() const { return root / "temp"; }
  fs::path source() const { return root / "source"; }
  fs::path dest() const { return root / "dest"; }
  fs::path log() const { return settings() / "yux.log"; }

  void WriteOldLog() const {
    std::ofstream out(log(), std::ios::binary | std::ios::trunc);
    for (int i = 1; i <= kOldLines; ++i)
      out << "[2013.03.10 10:00:00] Daily: an old line of the log, number " << i << "\r\n";
  }
  // `runs` rows of "Daily", all due.
  void WriteDueRuns(int runs) const {
    std::ofstream out(settings() / "yux.sch", std::ios::binary | std::ios::trunc);
    for (int i = 0; i < runs; ++i) {
      char date[32];
      std::snprintf(date, sizeof date, "2020.01.01 10:%02d:%02d ", i / 60, i % 60);
      out << "<D>" << date << "</D><P>Daily</P><O>REPEAT=0 INTERVAL=60 PRECISE=0 ONDELAY=0 DOW=11111110</O>\r\n";
    }
  }
  QProcessEnvironment Env() const {
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("YUX_HOME", QString::fromStdString(home().string()));
    env.insert("YUX_NS", QString::fromStdString("bench-" + root.filename().string()));
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(config().string()));
    env.insert("XDG_DATA_HOME", QString::fromStdString(data().string()));
    env.insert("TMPDIR", QString::fromStdString(temp().string()));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    return env;
  }

  fs::path root;
};

// A hidden yux of one world, ended by SIGTERM.
class Program {
 public:
  Program(const fs::path& yux, const World& world) {
    proc_.setProcessEnvironment(world.Env());
    proc_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    clock_.start();
    proc_.start(QString::fromStdString(yux.string()), {"/hide"});
    proc_.waitForStarted(30000);
  }
  ~Program() {
    proc_.terminate();
    if (!proc_.waitForFinished(60000)) proc_.kill();
    proc_.waitForFinished(10000);
  }
  // Waits until the log's tail holds `text` `count` times; the milliseconds
  // since the start, or -1.
  // Only the last `tail` bytes are read, every `pollMs`.
  qint64 AwaitInLog(const World& world, const std::string& text, long count, int ms, std::size_t tail, int pollMs,
                    const std::function<void(long)>& seen = {}) {
    long last = 0;
    while (clock_.elapsed() < ms && proc_.state() == QProcess::Running) {
      const long n = CountOf(ReadTail(world.log(), tail), text);
      if (n != last && seen) seen(n);
      last = n;
      if (n >= count) return clock_.elapsed();
      QThread::msleep(static_cast<unsigned long>(pollMs));
    }
    return -1;
  }
  qint64 Pid() const { return proc_.processId(); }

 private:
  QProcess proc_;
  QElapsedTimer clock_;
};

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct Side {
  Side(std::string n, fs::path y) : name(std::move(n)), yux(std::move(y)) {}
  std::string name;
  fs::path yux;
  std::vector<double> startMs, startKb;
  std::vector<long> runKb;  // after the start, then after every tenth run
  long endLines = 0;
};

void MeasureStart(Side& side, const fs::path& scratch, int i) {
  World world(scratch / (side.name + "-start-" + std::to_string(i)));
  world.WriteOldLog();
  Program yux(side.yux, world);
  const qint64 ms = yux.AwaitInLog(world, kStartLine, 1, 120000, 64u << 10, 5);
  QThread::msleep(2000);
  side.startMs.push_back(static_cast<double>(ms));
  side.startKb.push_back(static_cast<double>(ResidentKb(yux.Pid())));
}

void MeasureRuns(Side& side, const fs::path& scratch, int runs) {
  World world(scratch / (side.name + "-runs"));
  world.WriteOldLog();
  world.WriteDueRuns(runs);
  Program yux(side.yux, world);
  if (yux.AwaitInLog(world, kStartLine, 1, 120000, 64u << 10, 5) < 0) return;
  side.runKb.push_back(ResidentKb(yux.Pid()));
  // A run logs a few hundred bytes: 2 MB of the tail hold every line since the start.
  long next = 10;
  yux.AwaitInLog(world, "Daily: Done.", runs, 1800000, 2u << 20, 100, [&](long done) {
    if (done < next) return;
    side.runKb.push_back(ResidentKb(yux.Pid()));
    next = (done / 10 + 1) * 10;
  });
  side.endLines = FileLines(world.log());
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const int starts = argc > 1 ? std::atoi(argv[1]) : 5;
  const int runs = argc > 2 ? std::atoi(argv[2]) : 50;
  std::vector<Side> sides;
  sides.emplace_back("project", BuildApp() / "yux");
  if (const char* ref = std::getenv("YUX_REFERENCE"); ref && *ref) sides.emplace_back("reference", ref);
  const fs::path scratch = fs::temp_directory_path() / ("yux-hiddenlog-bench-" + std::to_string(app.applicationPid()));
  fs::create_directories(scratch);

  for (int i = 0; i < starts; ++i)
    for (Side& s : sides) MeasureStart(s, scratch, i);
  for (Side& s : sides) MeasureRuns(s, scratch, runs);

  std::cout << "hidden start, " << kOldLines << "-line log, limit " << kLimit << " lines, " << starts << " starts, "
            << runs << " runs\n";
  for (const Side& s : sides) {
    std::cout << s.name << " (" << s.yux.string() << "):\n"
              << "  start to the start line: median " << Median(s.startMs) << " ms\n"
              << "  resident memory 2 s after it: median " << Median(s.startKb) / 1024.0 << " MB\n"
              << "  resident memory after the start and every 10 runs (MB):";
    for (long kb : s.runKb) std::cout << " " << kb / 1024.0;
    std::cout << "\n  log file lines after " << runs << " runs: " << s.endLines << "\n";
  }
  if (sides.size() == 2) {
    auto ratio = [](double a, double b) { return b > 0 ? a / b : 0; };
    std::cout << "ratio project / reference: start time " << ratio(Median(sides[0].startMs), Median(sides[1].startMs))
              << ", start memory " << ratio(Median(sides[0].startKb), Median(sides[1].startKb)) << "\n";
  }
  std::error_code ec;
  fs::remove_all(scratch, ec);
  return 0;
}
