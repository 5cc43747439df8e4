// Desktop services for the windows: programs, documents, folders, shortcuts.
#include "core/services/shellutils.h"

#include <QFileDialog>
#include <QLibrary>
#include <QMimeDatabase>
#include <QWidget>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "core/services/dialoghooks.h"
#include "core/store/folders.h"
#include "core/store/msgtable.h"
#include "core/store/savefile.h"
#include "platform/cmdline.h"
#include "platform/environment.h"
#include "platform/filesearch.h"
#include "platform/folders.h"
#include "platform/messagebox.h"
#include "platform/messages.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace yux {
namespace {

namespace fs = std::filesystem;

QWidget* g_appWindow = nullptr;

void ErrorBox(const std::string& text) {
  platform::MessageBox("\r" + text, "YUX for WinRAR", platform::MB_OK | platform::MB_ICONERROR);
}

std::string Upper(std::string s) {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return s;
}

bool IsSystemTree(const fs::path& p) {
  const std::string s = p.lexically_normal().string();
  for (const char* skip : {"/proc", "/sys", "/dev"})
    if (s == skip || s == std::string(skip) + "/") return true;
  return false;
}

// One folder of the archiver search; true when the search is over (found
// or cancelled).
bool SearchFolder(const fs::path& folder, const std::function<bool()>& cancelled, std::string& found) {
  std::error_code ec;
  std::vector<fs::directory_entry> entries;
  for (fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
       !ec && it != end; it.increment(ec))
    entries.push_back(*it);
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.path().filename().string() < b.path().filename().string(); });
  for (const auto& e : entries) {
    std::error_code sec;
    const fs::file_status st = e.symlink_status(sec);
    if (sec) continue;
    const std::string name = e.path().filename().string();
    if (fs::is_directory(st)) {
      if (IsSystemTree(e.path())) continue;
      if (SearchFolder(e.path(), cancelled, found)) return true;
    } else if (fs::is_regular_file(st) && IsArchiverName(name)) {
      found = e.path().string();
      return true;
    } else {
      // Symbolic links and other files: the search stays responsive and can
      // be cancelled between them.
      platform::ProcessMessages();
      if (cancelled && cancelled()) {
        found.clear();
        return true;
      }
    }
  }
  return false;
}

// A file of a text type (by its name and content): the program's own text
// window can show it.
bool IsTextFile(const std::string& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return false;
  return QMimeDatabase().mimeTypeForFile(QString::fromStdString(path)).inherits("text/plain");
}

// The desktop's opener could not open the path: a text file is still shown,
// anything else is named so that the user can open it another way.
void ShowUnopened(const std::string& path, platform::DWORD exitCode) {
  DialogHooks* hooks = CurrentDialogHooks();
  if (IsTextFile(path) && hooks && hooks->ShowTextFile(path)) return;
  std::error_code ec;
  const std::string what = fs::is_directory(path, ec) ? "the folder " : "";
  ErrorBox("The desktop could not open " + what + "\"" + path + "\" (xdg-open ended with code " +
           std::to_string(exitCode) + ").");
}

int g_openerGraceMs = 5000;

}  // namespace

std::string ExpandEnvVars(const std::string& text) {
  std::string expanded = platform::ExpandEnvironmentStrings(text);
  if (expanded.size() + 1 > kExpandBufferSize) return text;
  return expanded;
}

std::string ExpandEnvStr(const std::string& text) { return ExpandEnvVars(text); }

TWatchedStart StartWatched(const std::string& program, const std::string& parameters,
                           std::uint32_t* openerExitCode) {
  platform::StartOptions options;
  options.openDocuments = true;
  auto process = platform::Process::Start(program, parameters, options);
  if (!process) return TWatchedStart::wsNotStarted;
  if (!process->ThroughOpener()) return TWatchedStart::wsStarted;
  // Without a program for the type the opener ends with an error at once;
  // one that still runs has handed the document to its program.
  if (process->WaitPumping(static_cast<platform::DWORD>(g_openerGraceMs)) != platform::WAIT_OBJECT_0 ||
      process->ExitCode() == 0)
    return TWatchedStart::wsStarted;
  *openerExitCode = process->ExitCode();
  return TWatchedStart::wsOpenerFailed;
}

bool ExecuteCommand(const std::string& program, const std::string& parameters) {
  platform::DWORD code = 0;
  switch (StartWatched(program, "\"" + parameters + "\"", &code)) {
    case TWatchedStart::wsStarted: return true;
    case TWatchedStart::wsNotStarted: ErrorBox("Cannot execute command."); return false;
    case TWatchedStart::wsOpenerFailed: ShowUnopened(program, code); return false;
  }
  return false;
}

int& DocumentOpenerGraceMs() { return g_openerGraceMs; }

std::string HelpTopicPath(const std::string& topic) { return PathJoin(PathJoin(ProgramFolder, "manual"), topic); }

bool ShowHelpTopic(const std::string& topic) {
  const std::string page = HelpTopicPath(topic);
  std::error_code ec;
  if (!fs::is_regular_file(page, ec)) {
    // No manual ships with the program: Help says so rather than nothing.
    platform::MessageBox("\rNo user manual is installed: \"" + page + "\" does not exist.", "YUX for WinRAR",
                         platform::MB_OK | platform::MB_ICONINFORMATION);
    return false;
  }
  platform::StartOptions options;
  options.openDocuments = true;
  return platform::Process::Start(page, "", options) != nullptr;
}

std::string GetProgramFilesDir() {
  auto value = platform::Registry::User().GetString(
      "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir");
  return value ? *value : std::string();
}

std::string ProgramFilesArchiverPath() { return PathJoin(ProgramFolder, "winrar"); }

std::string GetTempDir() { return platform::TempFolder() + "/"; }

std::string BrowseForFolder(QWidget* owner) {
  if (platform::IsHeadless()) return {};
  const QString chosen = QFileDialog::getExistingDirectory(
      owner, QString::fromStdString(MessageText("specifyfolder")), QString(), QFileDialog::ShowDirsOnly);
  return chosen.toStdString();
}

bool IsArchiverName(const std::string& fileName) {
  const std::string u = Upper(fileName);
  return u == "WINRAR.EXE" || u == "WINRAR";
}

std::string FindWinRarExe(const std::string& folder, const std::function<bool()>& cancelled) {
  std::string found;
  if (folder.empty() || IsSystemTree(folder)) return found;
  SearchFolder(fs::path(folder), cancelled, found);
  return found;
}

bool MakeShortcut(const std::string& program, const std::string& linkFile, const std::string& arguments) {
  fs::path link(linkFile);
  if (link.extension() == ".lnk" || link.extension() == ".LNK") link.replace_extension(".desktop");
  else if (link.extension() != ".desktop") link += ".desktop";
  std::string command = platform::QuoteArgument(program);
  if (!arguments.empty()) command += " " + arguments;
  std::error_code ec;
  if (link.has_parent_path()) fs::create_directories(link.parent_path(), ec);
  std::ofstream out(link, std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out << "[Desktop Entry]\n"
      << "Type=Application\n"
      << "Name=" << link.stem().string() << "\n"
      << "Exec=" << platform::DesktopExecFromCommandLine(command) << "\n"
      << "Terminal=false\n";
  out.close();
  if (out.fail()) return false;
  fs::permissions(link, fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::add, ec);
  return true;
}

bool RunSmHelper(const std::string& parameters) {
  std::vector<std::string> args = platform::SplitCommandLine(parameters);
  if (args.size() < 2 || args[0].empty() || args[1].empty()) {
    ErrorBox(MessageText("notsmexe"));
    return false;
  }
  const std::vector<std::string> rest(args.begin() + 2, args.end());
  return MakeShortcut(args[0], args[1], platform::JoinCommandLine(rest));
}

std::int64_t GetFilesSize(const std::string& nameOrMask) {
  auto found = platform::FindFiles(nameOrMask);
  if (found.empty()) return 0;
  return static_cast<std::int64_t>(found.front().size);
}

bool CopyFileBlocks(const std::string& source, const std::string& target) {
  std::error_code ec;
  if (fs::is_directory(source, ec)) return false;
  // Onto itself (by another name, a link or a hard link) the copy would
  // empty the very file it reads.
  if (fs::equivalent(source, target, ec)) return false;
  const fs::path t(target);
  if (t.has_parent_path()) fs::create_directories(t.parent_path(), ec);
  std::ifstream in(source, std::ios::binary);
  if (!in) return false;
  std::string data;
  char block[2048];
  for (;;) {
    in.read(block, sizeof block);
    const std::streamsize got = in.gcount();
    if (in.bad()) return false;
    if (got == 0) break;
    data.append(block, static_cast<std::size_t>(got));
    if (got < static_cast<std::streamsize>(sizeof block)) break;
  }
  if (in.bad()) return false;
  // Through a new file that takes the target's place only when complete:
  // a failed copy leaves the target as it was.
  return SaveFileWhole(target, data);
}

void SetApplicationWindow(QWidget* window) { g_appWindow = window; }

void HideApplicationWindow() {
  if (g_appWindow) g_appWindow->hide();
}

void ShowApplicationWindow() {
  if (g_appWindow) g_appWindow->show();
}

void* GetProcFromLibrary(const std::string& library, const std::string& function) {
  // The library stays loaded, so the address stays valid for the life of
  // the process.
  return reinterpret_cast<void*>(QLibrary::resolve(QString::fromStdString(library), function.c_str()));
}

}  // namespace yux
