// Writing and removing the bin verbs of the file managers.
#include "core/services/filemanagerverbs.h"

#include <filesystem>

#include "core/store/savefile.h"
#include "platform/folders.h"

namespace yux {

namespace fs = std::filesystem;

namespace {

constexpr char kKeeperVerb[] = "YUX-KEEPER";
constexpr char kRecycleVerb[] = "YUX-RECYCLE";

// The file managers whose script folders take executable scripts named as
// their menu entries.
std::vector<std::string> ScriptFolders() {
  const std::string data = platform::DataHomeFolder();
  return {data + "/nautilus/scripts", data + "/nemo/scripts", platform::ConfigHomeFolder() + "/caja/scripts"};
}

// A script that hands each of its arguments to the program with `verb`.
std::string VerbScript(const std::string& program, const std::string& verb) {
  return "#!/bin/sh\n"
         "# Hands every selected file or folder to YUX (" + verb + "), one path per call.\n"
         "for p in \"$@\"; do\n"
         "  " + ShellQuote(program) + " /" + verb + " \"$p\"\n"
         "done\n";
}

// The service menu's runner: its first argument names the verb.
std::string RunnerScript(const std::string& program) {
  return "#!/bin/sh\n"
         "# Called by the file manager's service menu: hands every selected path to YUX.\n"
         "verb=\"$1\"\n"
         "shift\n"
         "for p in \"$@\"; do\n"
         "  " + ShellQuote(program) + " \"/$verb\" \"$p\"\n"
         "done\n";
}

std::string ServiceMenu(const std::string& runner, bool keeper, bool recycle) {
  std::string actions;
  if (keeper) actions += "yuxkeeper;";
  if (recycle) actions += "yuxrecycle;";
  std::string text =
      "[Desktop Entry]\n"
      "Type=Service\n"
      "MimeType=all/all;\n"
      "X-KDE-ServiceTypes=KonqPopupMenu/Plugin\n"
      "Actions=" + actions + "\n";
  auto action = [&](const char* id, const char* verb) {
    text += std::string("\n[Desktop Action ") + id + "]\n";
    text += std::string("Name=") + verb + "\n";
    text += "Exec=" + DesktopExecQuote(runner) + " " + verb + " %F\n";
  };
  if (keeper) action("yuxkeeper", kKeeperVerb);
  if (recycle) action("yuxrecycle", kRecycleVerb);
  return text;
}

bool WriteExecutable(const std::string& path, const std::string& text) {
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  if (!SaveFileWhole(path, text)) return false;
  fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec, ec);
  return !ec;
}

void Remove(const std::string& path) {
  std::error_code ec;
  fs::remove(path, ec);
}

}  // namespace

std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

std::string DesktopExecQuote(const std::string& text) {
  // Inside a quoted Exec argument '"', '`', '$' and '\' take a backslash;
  // the entry file then doubles every backslash once more.
  std::string arg;
  for (char c : text) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') arg += '\\';
    arg += c;
  }
  std::string out = "\"";
  for (char c : arg) {
    if (c == '\\') out += "\\\\";
    else out += c;
  }
  // A literal percent sign is written twice.
  std::string final;
  for (char c : out) {
    final += c;
    if (c == '%') final += '%';
  }
  return final + "\"";
}

FileManagerVerbFiles FileManagerVerbPaths() {
  FileManagerVerbFiles f;
  f.serviceMenu = platform::DataHomeFolder() + "/kio/servicemenus/yux-bins.desktop";
  f.runner = platform::DataHomeFolder() + "/yux/bin-verb";
  for (const std::string& folder : ScriptFolders()) {
    f.keeperScripts.push_back(folder + "/" + kKeeperVerb);
    f.recycleScripts.push_back(folder + "/" + kRecycleVerb);
  }
  return f;
}

bool WriteFileManagerVerbs(const std::string& program, bool keeper, bool recycle) {
  const FileManagerVerbFiles f = FileManagerVerbPaths();
  bool ok = true;
  auto scripts = [&](const std::vector<std::string>& files, bool on, const char* verb) {
    for (const std::string& file : files) {
      if (on) ok = WriteExecutable(file, VerbScript(program, verb)) && ok;
      else Remove(file);
    }
  };
  scripts(f.keeperScripts, keeper, kKeeperVerb);
  scripts(f.recycleScripts, recycle, kRecycleVerb);
  if (keeper || recycle) {
    ok = WriteExecutable(f.runner, RunnerScript(program)) && ok;
    ok = WriteExecutable(f.serviceMenu, ServiceMenu(f.runner, keeper, recycle)) && ok;
  } else {
    Remove(f.serviceMenu);
    Remove(f.runner);
  }
  return ok;
}

}  // namespace yux
