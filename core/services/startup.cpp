// Start-up and instances: the messenger, the locks, the settings folder.
#include "core/services/startup.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDate>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <ostream>

#include "core/services/dialoghooks.h"
#include "core/services/filemanagerverbs.h"
#include "core/services/shellutils.h"
#include "core/store/folders.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/programlog.h"
#include "core/store/savefile.h"
#include "core/store/textutil.h"
#include "platform/atoms.h"
#include "platform/broadcast.h"
#include "platform/cmdline.h"
#include "platform/filesearch.h"
#include "platform/folders.h"
#include "platform/messagebox.h"
#include "platform/namedobjects.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace yux {

namespace {

namespace fs = std::filesystem;

std::unique_ptr<platform::NamedMutex> g_instanceLock;
std::unique_ptr<platform::NamedMutex> g_settingsLock;

bool IsFile(const std::string& path) {
  std::error_code ec;
  return !path.empty() && fs::is_regular_file(path, ec);
}

std::string WithoutTrailingSlash(std::string s) {
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

// Renames unless the target exists: an older copy never replaces the
// settings folder's own file.
void MoveIfFree(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  if (!fs::is_regular_file(from, ec) || fs::exists(to, ec)) return;
  fs::rename(from, to, ec);
}

}  // namespace

std::optional<int> RunMessenger(const std::vector<std::string>& args, std::ostream& err,
                                const std::function<void(const std::string&)>& tellUser) {
  if (args.empty() || (args[0] != kKeeperSwitch && args[0] != kRecycleSwitch)) return std::nullopt;
  // A file manager shows no standard error: what went wrong is also told
  // where the request came from.
  auto problem = [&](const std::string& text, int code) {
    err << "yux: " << text << std::endl;
    if (tellUser) tellUser(text);
    return code;
  };
  std::string path = args.size() > 1 ? args[1] : std::string();
  if (path.empty()) return problem("no path was given to hand over to the running YUX", 2);
  // The bins hand their paths to the archiver in a list of one path a line:
  // a line break would split this one in two, a NUL would cut it short.
  if (HoldsLineBreak(path))
    return problem("cannot hand the path over to the running YUX: it holds a line break, which no bin can take: " +
                       OnOneLine(path),
                   2);
  if (path[0] != '/') {
    // The running YUX has a working folder of its own: a relative name is
    // made whole here, where it was meant (a file manager's scripts pass
    // the selected names as they are, in the browsed folder).
    std::error_code ec;
    const fs::path whole = fs::absolute(path, ec);
    if (ec) return problem("cannot tell which file \"" + path + "\" is: " + ec.message(), 2);
    path = whole.string();
  }
  platform::RegisterWindowMessage(kParamDataMessage);
  const std::string text = std::string(1, args[0][5]) + path;
  if (text.size() > platform::kMaxAtomLength)
    return problem("cannot hand the path over to the running YUX: it is " + std::to_string(path.size()) +
                       " bytes long, at most " + std::to_string(platform::kMaxAtomLength - 1) + " fit: " + path,
                   2);
  const platform::ATOM atom = platform::GlobalAddAtom(text);
  if (!atom) return problem("cannot hand the path over to the running YUX: " + path, 2);
  const int reached = platform::BroadcastAtomMessage(kParamDataMessage, 0, atom);
  platform::GlobalDeleteAtom(atom);
  if (reached < 0)
    return problem("cannot reach the running YUX (error " + std::to_string(platform::GetLastError()) + "): " + path,
                   2);
  // Nobody took the path: said, never dropped silently.
  if (reached == 0) return problem("YUX is not running, so nothing received the path: " + path, 3);
  return 0;
}

void ShowMessengerProblem(const std::string& text) {
  // A desktop notification where the desktop has a notifier ...
  platform::StartOptions options;
  options.openDocuments = false;
  auto notifier = platform::Process::Start(
      "notify-send", "-a yux " + platform::QuoteArgument(kApplicationTitle) + " " + platform::QuoteArgument(text),
      options);
  if (notifier && notifier->Wait(10000) == platform::WAIT_OBJECT_0 && notifier->ExitCode() == 0) return;
  if (notifier && notifier->Running()) notifier->Terminate();
  // ... else a message box, when there is a display to show it on.
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  if ((!x || !*x) && (!w || !*w)) return;
  std::unique_ptr<QApplication> app;
  if (!QCoreApplication::instance()) {
    static int argc = 1;
    static char name[] = "yux";
    static char* argv[] = {name, nullptr};
    app = std::make_unique<QApplication>(argc, argv);
  }
  platform::MessageBox("\r" + text, kApplicationTitle, platform::MB_OK | platform::MB_ICONERROR);
}

bool SingleInstanceCheck(const std::string& name) {
  std::string n = name;
  for (char& c : n)
    if (c == '\\') c = '_';
  g_instanceLock = platform::NamedMutex::Create(n);
  return g_instanceLock && !g_instanceLock->AlreadyExisted();
}

void ReleaseSingleInstance() {
  g_instanceLock.reset();
  g_settingsLock.reset();
}

bool LockSettingsFolder() {
  if (SettingsFolder.empty()) return true;
  const std::string path = PathJoin(SettingsFolder, "yux.lock");
  auto lock = platform::NamedMutex::CreateAt(path);
  if (!lock) {
    std::cerr << "yux: cannot lock " << path << " (error " << platform::GetLastError()
              << "); another YUX on this settings folder would not be noticed" << std::endl;
    return true;
  }
  if (lock->AlreadyExisted()) return false;
  g_settingsLock = std::move(lock);
  return true;
}

bool IsWindowsVistaOrLater() { return true; }

std::string ExecutablePath() {
  if (QCoreApplication::instance()) {
    const QString p = QCoreApplication::applicationFilePath();
    if (!p.isEmpty()) return p.toStdString();
  }
  std::error_code ec;
  return fs::read_symlink("/proc/self/exe", ec).string();
}

std::string SettingsLocationFile() { return PathJoin(platform::ProgramDataFolder(), kSettingsLocationName); }

std::string ReadSettingsLocation() {
  std::ifstream in(SettingsLocationFile(), std::ios::binary);
  if (!in) return {};
  std::string line;
  if (!std::getline(in, line)) return {};
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  return line;
}

bool WriteSettingsLocation(const std::string& folder) {
  // The file is the one pointer to the user's settings: it is replaced
  // whole or not at all.
  return SaveFileWhole(SettingsLocationFile(), folder + "\r\n");
}

std::string AllUsersSettingsFolder() { return PathJoin(platform::SharedDataFolder(), "Pellmor/YUX"); }

std::string CurrentUserSettingsFolder() {
  // Kept as an environment text so that an unset variable shows as written.
  const char* v = std::getenv("XDG_DATA_HOME");
  return ExpandEnvVars(v && *v ? "%XDG_DATA_HOME%/Pellmor/YUX" : "%HOME%/.local/share/Pellmor/YUX");
}

unsigned SettingsFolderMode(const std::string& folder) {
  std::error_code ec;
  const std::string shared = AllUsersSettingsFolder();
  const bool isShared = WithoutTrailingSlash(folder) == shared || fs::equivalent(folder, shared, ec);
  return isShared ? kSharedSettingsFolderMode : kOwnSettingsFolderMode;
}

SettingsChoice LocateSettingsFolder() {
  SettingsChoice choice = SettingsChoice::Chosen;
  std::string folder = IsWindowsVistaOrLater() ? ReadSettingsLocation() : ProgramFolder;
  if (!folder.empty() && folder[0] != '/') {
    // A relative folder would mean whatever the working folder is at each
    // start: it is asked for again instead.
    std::cerr << "yux: " << SettingsLocationFile() << " names the relative folder \"" << folder
              << "\"; choose the settings folder again" << std::endl;
    folder.clear();
  }
  if (!folder.empty()) {
    SettingsFolder = WithoutTrailingSlash(folder);
  } else {
    SettingsFolder.clear();
    DialogHooks* hooks = CurrentDialogHooks();
    choice = hooks ? hooks->ChooseSettingsFolder() : SettingsChoice::NotChosen;
    if (choice == SettingsChoice::NotChosen || SettingsFolder.empty()) return SettingsChoice::NotChosen;
    SettingsFolder = WithoutTrailingSlash(SettingsFolder);
  }
  // Settings files hold passwords: the folder is private, or shared with
  // its group only for the all-users folder.
  const unsigned mode = SettingsFolderMode(SettingsFolder);
  if (MakeSettingsFolder(SettingsFolder, mode)) MakeSettingsFolder(PathJoin(SettingsFolder, "presets"), mode);
  MoveOldSettingsFiles(platform::ProgramDataFolder());
  // Files written before the folder had its mode (or moved in above) are
  // narrowed to it now, not only when they are next saved.
  for (const std::string& folder : {SettingsFolder, PathJoin(SettingsFolder, "presets")}) {
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
      if (it->is_regular_file(ec)) ApplySettingsFileMode(it->path().string());
  }
  return choice;
}

void MoveOldSettingsFiles(const std::string& oldFolder) {
  std::error_code ec;
  if (oldFolder.empty() || SettingsFolder.empty() || fs::equivalent(oldFolder, SettingsFolder, ec)) return;
  for (const char* name : {"yux.ocs", "yux.log", "yux.opt", "yux.sch", "yux.las", "yux.pst", "winrar.log"})
    MoveIfFree(PathJoin(oldFolder, name), PathJoin(SettingsFolder, name));
  const std::string oldPresets = PathJoin(oldFolder, "presets");
  const std::string newPresets = PathJoin(SettingsFolder, "presets");
  for (const auto& e : platform::FindFiles(PathJoin(oldPresets, "*.*"))) {
    if (e.isFolder) continue;
    MoveIfFree(PathJoin(oldPresets, e.name), PathJoin(newPresets, e.name));
  }
}

bool SettingsFolderWriteTest() {
  if (SettingsFolder.empty()) return false;
  const std::string path = PathJoin(SettingsFolder, "yux.run");
  std::ofstream out(fs::path(path), std::ios::binary | std::ios::trunc);
  if (!out) return false;
  ApplySettingsFileMode(path);
  out << QDate::currentDate().toString("yyyy.MM.dd").toStdString() << "\r\n";
  out.close();
  return !out.fail();
}

std::string NotWritableMessage() {
  const std::string q = "\"";
  const std::string crlf = "\r\n";
  const std::string program = platform::ProgramDataFolder();
  return "The folder " + q + SettingsFolder + q + " is not writeable under this user account." + crlf + crlf +
         "Solutions: 1) Fast, all settings will be lost: delete " + q + program + q +
         ", reinstall YUX with admin rights and select a writeable folder for YUX settings." + crlf + crlf +
         "OR 2) Manual, all settings will be kept: edit " + PathJoin(program, kSettingsLocationName) +
         ", write a correct folder name in the first line and copy all the files from old settings folder (" + q +
         SettingsFolder + q + ") to the new one manually.";
}

void SetUpTempFolder() {
  std::error_code ec;
  const auto toDefault = [](const std::string& key) {
    TempFolder = WithoutTrailingSlash(GetTempDir());
    // Kept in the options, so the change is reported once and not at every
    // start.
    Options.pte = TempFolder;
    AddLog(MessageText(key) + " - \"" + TempFolder + "\". [!]");
  };
  if (Options.pte.empty()) {
    toDefault("tempfoldertodefault");
    return;
  }
  fs::create_directories(Options.pte, ec);
  if (ec || !fs::is_directory(Options.pte, ec)) {
    toDefault("invalidfolder");
    return;
  }
  TempFolder = WithoutTrailingSlash(Options.pte);
}

void SetUpArchiverPath() {
  if (IsFile(Options.pwi)) {
    WinRarPath = Options.pwi;
    return;
  }
  const std::string standIn = ProgramFilesArchiverPath();
  if (IsFile(standIn)) {
    WinRarPath = standIn;
    Options.pwi = standIn;
    AddLog(MessageText("winrarpathsetto") + "\"" + standIn + "\".");
    return;
  }
  DialogHooks* hooks = CurrentDialogHooks();
  const std::string located = hooks ? hooks->LocateArchiver() : std::string();
  if (!located.empty()) {
    WinRarPath = located;
    Options.pwi = located;
    AddLog(MessageText("winrarpathsetto") + "\"" + located + "\".");
    return;
  }
  WinRarPath = Options.pwi;
  AddLog(MessageText("nowinrarexe") + " [!]");
}

void RegisterShellVerbs() {
  platform::Registry reg = platform::Registry::User();
  const std::string exe = ExecutablePath();
  struct Verb {
    const char* name;
    bool enabled;
  };
  for (const Verb& v : {Verb{"YUX-RECYCLE", Options.obr}, Verb{"YUX-KEEPER", Options.obk}}) {
    for (const char* root : {"HKEY_CLASSES_ROOT\\*\\shell\\", "HKEY_CLASSES_ROOT\\Directory\\shell\\"}) {
      const std::string key = std::string(root) + v.name;
      if (v.enabled)
        reg.SetString(key + "\\command", "", "\"" + exe + "\" /" + v.name + " \"%1\"");
      else
        reg.DeleteKey(key);
    }
  }
  // The registry store above is this program's own; the file managers read
  // their menus from files.
  WriteFileManagerVerbs(exe, Options.obk, Options.obr);
}

void WriteAutostartValue(int mode) {
  platform::Registry reg = platform::Registry::User();
  reg.SetAutostartValueName(kAutostartValueName);
  if (!reg.CreateKey(platform::kRunKey)) return;
  const std::string exe = "\"" + ExecutablePath() + "\"";
  switch (mode) {
    case 1:
      reg.SetString(platform::kRunKey, kAutostartValueName, exe + " /hide /exit");
      break;
    case 2:
      reg.SetString(platform::kRunKey, kAutostartValueName, exe + " /hide");
      break;
    default:
      reg.DeleteValue(platform::kRunKey, kAutostartValueName);
      break;
  }
}

bool PlaySoundFile(const std::string& soundFile) {
  if (!IsFile(soundFile)) return false;
  platform::StartOptions options;
  options.openDocuments = false;
  for (const char* player : {"paplay", "aplay"}) {
    const std::string params = std::string(player) == "aplay" ? "-q " + platform::QuoteArgument(soundFile)
                                                              : platform::QuoteArgument(soundFile);
    if (platform::Process::Start(player, params, options)) return true;
  }
  return false;
}

void InstallErrorSoundPlayer() {
  SetErrorSoundHook([](const std::string& soundFile) { PlaySoundFile(soundFile); });
}

}  // namespace yux
