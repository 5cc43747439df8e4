#pragma once
// Real yux processes for tests: the folders and namespace they share, a
// running instance, and readers of the program log they write.
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>

#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "core/store/folders.h"
#include "core/store/presets.h"
#include "platform/namedobjects.h"
#include "tests/support/testsupport.h"

namespace yux::test {

namespace fs = std::filesystem;

// The folders and namespace one test's yux processes share.
class YuxWorld {
 public:
  YuxWorld() : ns_(UniqueNamespace()) {}
  ~YuxWorld() {
    // The test process uses the same namespace to watch the processes.
    if (nsSet_) {
      std::string dir = platform::RuntimeFolder();
      std::error_code ec;
      if (!dir.empty()) fs::remove_all(dir, ec);
      unsetenv("YUX_NS");
    }
  }
  // Makes the test process itself a member of the namespace.
  void JoinNamespace() {
    setenv("YUX_NS", ns_.c_str(), 1);
    nsSet_ = true;
  }
  QProcessEnvironment Env() const {
    auto env = QProcessEnvironment::systemEnvironment();
    env.insert("YUX_HOME", QString::fromStdString(home.str()));
    env.insert("YUX_NS", QString::fromStdString(ns_));
    env.insert("XDG_CONFIG_HOME", QString::fromStdString(config.str()));
    env.insert("XDG_DATA_HOME", QString::fromStdString(data.str()));
    // Run folders go into a temp folder of the test's own.
    env.insert("TMPDIR", QString::fromStdString(temp.str()));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    return env;
  }
  std::map<std::string, std::string> EnvMap() const {
    std::map<std::string, std::string> m;
    auto env = Env();
    for (const QString& k : env.keys()) m[k.toStdString()] = env.value(k).toStdString();
    m["DISPLAY"] = "";
    m["WAYLAND_DISPLAY"] = "";
    return m;
  }
  // Points the location file at the settings folder.
  void UseSettingsFolder() { WriteFile(home / "yuxinfo.dat", settings.str() + "\r\n"); }
  std::string Log() const { return ReadFile(settings / "yux.log"); }
  std::string DefaultFolder() const { return (data.path() / "Pellmor" / "YUX").string(); }

  TempDir home, config, data, settings, temp;

 private:
  std::string ns_;
  bool nsSet_ = false;
};

// A yux process that runs until the test ends it.
class RunningYux {
 public:
  // `env`: the environment instead of the world's own.
  RunningYux(const YuxWorld& world, const QStringList& args = {}, const QProcessEnvironment* env = nullptr) {
    proc_.setProcessEnvironment(env ? *env : world.Env());
    // With the signals a desktop leaves it: QProcess hands its child
    // SIGPIPE blocked, which would hide what a write to a closed
    // connection does to the program.
    proc_.setChildProcessModifier([] {
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      signal(SIGPIPE, SIG_DFL);
    });
    proc_.start(QString::fromStdString(BuiltProgram("yux").string()), args);
    proc_.waitForStarted(10000);
  }
  ~RunningYux() {
    if (proc_.state() != QProcess::NotRunning) {
      proc_.kill();
      proc_.waitForFinished(5000);
    }
  }
  QProcess& proc() { return proc_; }
  // Ends the session as a desktop does (SIGTERM) and waits at most `ms` for
  // the program to end; true when it ended.  `took` gets the milliseconds
  // from the signal to the end.
  bool EndSession(int ms = 20000, qint64* took = nullptr) {
    QElapsedTimer t;
    t.start();
    proc_.terminate();
    const bool ended = proc_.waitForFinished(ms);
    if (took) *took = t.elapsed();
    return ended;
  }
  std::string Err() { return err_ += proc_.readAllStandardError().toStdString(); }

 private:
  QProcess proc_;
  std::string err_;
};

// Writes the preset "Daily" of the world's settings folder as the preset
// dialog writes it: `source` archived under that name (no time stamp, one
// volume) and copied into `dest`; `configure` changes it before it is saved.
inline void WriteDailyPreset(const YuxWorld& world, const fs::path& source, const fs::path& dest,
                             const std::function<void(tarcopt&)>& configure = {}) {
  const std::string savedPresets = PresetsFolder;
  PresetsFolder = (world.settings / "presets").string();
  fs::create_directories(PresetsFolder);
  tarcopt preset;
  SetPresetDefaults(preset);
  preset.nam = "Daily";
  preset.dtf.clear();
  preset.vol = "None";
  preset.ctf = true;
  preset.dir = dest.string();
  if (configure) configure(preset);
  EXPECT_TRUE(SavePreset("Daily", preset));
  EXPECT_TRUE(WritePresetList("Daily", ".inc", {source.string()}));
  EXPECT_TRUE(WritePresetList("Daily", ".exc", {}));
  PresetsFolder = savedPresets;
}

// Waits until the file holds the text (after its first `from` bytes).
inline bool WaitForText(const fs::path& file, const std::string& text, int ms = 15000, size_t from = 0) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) {
    const std::string all = ReadFile(file);
    if (all.size() > from && all.find(text, from) != std::string::npos) return true;
    QThread::msleep(50);
  }
  return false;
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string l;
  while (std::getline(in, l)) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
    out.push_back(l);
  }
  return out;
}

// The texts of the log's lines, without their time stamps.
inline std::vector<std::string> LogTexts(const std::string& log) {
  std::vector<std::string> out;
  for (const auto& l : Lines(log)) out.push_back(l.size() >= 22 ? l.substr(22) : l);
  return out;
}

inline int CountOf(const std::string& hay, const std::string& needle) {
  int n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

}  // namespace yux::test
