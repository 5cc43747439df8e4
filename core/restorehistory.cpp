#include "core/restorehistory.h"

#include <array>
#include <filesystem>

#include "core/flags.h"
#include "core/msgtable.h"
#include "core/presets.h"
#include "core/winrarcmd.h"
#include "platform/process.h"

namespace fs = std::filesystem;

namespace yux {

bool ReadRestoreHistory(const std::string& presetName, bool onlyThree,
                        std::vector<RestoreRow>* rows) {
  auto lines = ReadPresetList(presetName, ".hst");
  if (!lines || lines->empty()) return false;
  rows->clear();
  std::array<int, 4> counts{};
  for (const std::string& line : *lines) {
    size_t tab = line.find('\t');
    std::string date = line.substr(0, tab);
    std::string rest = tab == std::string::npos ? std::string() : line.substr(tab + 1);
    if (!rest.empty() && rest[0] >= '1' && rest[0] <= '4') {
      int& n = counts[static_cast<size_t>(rest[0] - '1')];
      if (++n > 3 && onlyThree) continue;
    }
    size_t next = rest.find('\t');
    RestoreRow row{date, rest.substr(0, next),
                   next == std::string::npos ? std::string() : rest.substr(next + 1)};
    rows->push_back(std::move(row));
  }
  return true;
}

std::string RestoreEmailText(const RestoreRow& row) {
  size_t slash = row.location.find('/');
  std::string recipient = row.location.substr(0, slash);
  std::string file = slash == std::string::npos ? std::string() : row.location.substr(slash + 1);
  return Format("restoreemail", recipient, file, MessageText("sentbyyux"),
                row.date.substr(0, row.date.find(' ')));
}

std::string RestoreTargetFolder(const std::string& parent, const std::string& archive) {
  std::string base = fs::path(archive).stem().string();
  if (base.empty()) base = fs::path(archive).filename().string();
  fs::path first = fs::path(parent) / base;
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(first, ec))) return first.string();
  for (int n = 2;; ++n) {
    fs::path p = fs::path(parent) / (base + " (" + std::to_string(n) + ")");
    if (!fs::exists(fs::symlink_status(p, ec))) return p.string();
  }
}

std::string RestoreArchiverParameters(const std::string& archive, const std::string& folder,
                                      const std::string& settingsFolder,
                                      const std::string& password, bool standIn) {
  std::string text = "x";
  if (!password.empty()) text += standIn ? " -hp" : " " + QuoteAlways("-hp" + password);
  text += " -ibck " + QuoteAlways("-ILOG" + (fs::path(settingsFolder) / "winrar.log").string());
  std::string dest = folder;
  if (dest.empty() || dest.back() != '/') dest += '/';
  text += " " + QuoteAlways(archive) + " " + QuoteAlways(dest);
  return text;
}

namespace {

// Restores RunActive as it was, however the wait ends.
class RunActiveHold {
 public:
  RunActiveHold() : was_(RunActive.exchange(true)) {}
  ~RunActiveHold() { RunActive = was_; }
  RunActiveHold(const RunActiveHold&) = delete;
  RunActiveHold& operator=(const RunActiveHold&) = delete;

 private:
  bool was_;
};

int RunExtract(const std::string& program, const std::string& archive, const std::string& folder,
               const std::string& settingsFolder, const std::string& password, bool* started) {
  const bool standIn = IsStandInArchiver(program);
  platform::StartOptions options;
  options.openDocuments = false;
  options.dieWithParent = true;
  // The stand-in reads the password from its standard input, out of sight
  // of other users' process lists.
  if (standIn && !password.empty()) options.standardInput = password + "\n";
  auto process = platform::Process::Start(
      program, RestoreArchiverParameters(archive, folder, settingsFolder, password, standIn), options);
  *started = process != nullptr;
  if (!process) return -1;
  process->WaitPumping(platform::INFINITE);
  return static_cast<int>(process->ExitCode());
}

}  // namespace

RestoreOutcome RestoreArchive(
    const std::string& program, const std::string& archive, const std::string& parent,
    const std::string& settingsFolder, const std::string& password,
    const std::function<std::optional<std::string>(const std::string& caption)>& askPassword) {
  RunActiveHold hold;
  RestoreOutcome out;
  out.folder = RestoreTargetFolder(parent, archive);
  out.exitCode = RunExtract(program, archive, out.folder, settingsFolder, password, &out.started);
  if (out.started && (out.exitCode == 3 || out.exitCode == 11) && askPassword) {
    if (auto again = askPassword("Enter password for " + fs::path(archive).filename().string()))
      out.exitCode = RunExtract(program, archive, out.folder, settingsFolder, *again, &out.started);
  }
  return out;
}

}  // namespace yux
