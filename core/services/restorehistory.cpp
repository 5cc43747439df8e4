// What the restore window works from: history rows and their archives.
#include "core/services/restorehistory.h"

#include <QString>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "core/run/winrarcmd.h"
#include "core/store/flags.h"
#include "core/store/msgtable.h"
#include "core/store/presets.h"
#include "disc/commonlib.h"
#include "disc/scsilib.h"
#include "disc/sessionimport.h"
#include "disc/tree.h"
#include "platform/driveletters.h"
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

bool SplitDiscLocation(const std::string& location, char* letter, std::string* path) {
  if (location.size() < 3 || location[1] != ':' || !std::isalpha(static_cast<unsigned char>(location[0])))
    return false;
  size_t start = 2;
  while (start < location.size() && (location[start] == '\\' || location[start] == '/')) ++start;
  if (start >= location.size()) return false;
  *letter = static_cast<char>(std::toupper(static_cast<unsigned char>(location[0])));
  *path = location.substr(start);
  return true;
}

DiscContents::DiscContents(char letter)
    : device_(std::make_unique<disc::TSCSIDevice>()), tree_(std::make_unique<disc::TTreeContext>()) {
  if (platform::DriveLetterMap::Global().DriveType(letter) != platform::kDriveCdrom) return;
  if (!device_->InitializeDevices(false) || !device_->SelectDeviceByLetter(letter)) return;
  // An empty drive answers "not ready"; its disc holds nothing.
  if (!device_->TestUnitReady()) return;
  disc::ImportSession(*tree_, *device_, 0, "", &joliet_);
}

DiscContents::~DiscContents() = default;

namespace {

DiscFile DiscFileOf(const disc::TFileEntry& e) {
  DiscFile file;
  file.name = disc::WideToUtf8(e.longName);
  file.size = e.size;
  if (e.extents.empty()) {
    file.extents.emplace_back(e.block, static_cast<uint32_t>(e.size));
  } else {
    for (const disc::TExtent& x : e.extents) file.extents.emplace_back(x.block, x.length);
  }
  return file;
}

}  // namespace

struct DiscContents::Found {
  const disc::TDirectory* folder = nullptr;  // the folder that holds the file
  const disc::TFileEntry* file = nullptr;
};

DiscContents::Found DiscContents::Walk(const std::string& path) const {
  std::vector<std::u16string> parts;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t end = path.find_first_of("\\/", pos);
    if (end == std::string::npos) end = path.size();
    if (end > pos) parts.push_back(disc::Utf8ToWide(path.substr(pos, end - pos)));
    pos = end + 1;
  }
  Found found;
  if (parts.empty()) return found;
  auto same = [this](const std::u16string& onDisc, const std::u16string& wanted) {
    if (joliet_) return onDisc == wanted;
    return QString::fromStdU16String(onDisc).compare(QString::fromStdU16String(wanted),
                                                     Qt::CaseInsensitive) == 0;
  };
  const disc::TDirectory* dir = tree_->root;
  for (size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    if (last) found.folder = dir;
    const disc::TFileEntry* hit = nullptr;
    for (const disc::TFileEntry* e : dir->files) {
      if (e->IsDirectory() == last || !same(e->longName, parts[i])) continue;
      hit = e;
      break;
    }
    if (!hit) return found;
    if (last) {
      found.file = hit;
      break;
    }
    if (!hit->subdir) return found;
    dir = hit->subdir;
  }
  return found;
}

std::optional<DiscFile> DiscContents::Find(const std::string& path) const {
  const Found found = Walk(path);
  if (!found.file) return std::nullopt;
  return DiscFileOf(*found.file);
}

std::vector<DiscFile> DiscContents::FilesBeside(const std::string& path) const {
  std::vector<DiscFile> files;
  const Found found = Walk(path);
  if (!found.folder) return files;
  for (const disc::TFileEntry* e : found.folder->files)
    if (!e->IsDirectory()) files.push_back(DiscFileOf(*e));
  return files;
}

bool DiscContents::Copy(const DiscFile& file, const std::string& target, std::string* error,
                        const std::function<void()>& between) const {
  constexpr uint32_t kBlock = 2048, kChunkBlocks = 32;
  std::FILE* out = std::fopen(target.c_str(), "wb");
  if (!out) {
    *error = "Cannot create " + target;
    return false;
  }
  std::vector<uint8_t> buffer(kBlock * kChunkBlocks);
  bool ok = true;
  for (const auto& [first, length] : file.extents) {
    uint32_t block = first;
    uint64_t left = length;
    while (ok && left > 0) {
      const uint64_t blocks = std::min<uint64_t>(kChunkBlocks, (left + kBlock - 1) / kBlock);
      if (!device_->Read10(block, static_cast<uint16_t>(blocks), buffer.data())) {
        *error = "The disc could not be read at block " + std::to_string(block) + ".";
        ok = false;
        break;
      }
      const size_t bytes = static_cast<size_t>(std::min<uint64_t>(left, blocks * kBlock));
      if (std::fwrite(buffer.data(), 1, bytes, out) != bytes) {
        *error = "Cannot write " + target;
        ok = false;
        break;
      }
      block += static_cast<uint32_t>(blocks);
      left -= bytes;
      if (between) between();
    }
    if (!ok) break;
  }
  if (std::fclose(out) != 0 && ok) {
    *error = "Cannot write " + target;
    ok = false;
  }
  if (!ok) std::remove(target.c_str());
  return ok;
}

}  // namespace yux
