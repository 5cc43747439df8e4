#include "disc/tree.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "disc/commonlib.h"

namespace yux::disc {

namespace {

std::mutex& TimeMutex() {
  static std::mutex m;
  return m;
}

bool IsDChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// ASCII upper case of a name; every unit outside the d-characters becomes
// '_' except the dots, which the 8.3 rules look at.
std::string ShortForm(const std::u16string& name) {
  std::string s;
  s.reserve(name.size());
  for (char16_t c : name) {
    char16_t u = WideUpper(c);
    if (u == '.') s.push_back('.');
    else if (u < 0x80 && IsDChar(char(u))) s.push_back(char(u));
    else if (u == ' ') continue;
    else s.push_back('_');
  }
  return s;
}

int64_t FileTimeUtc(const std::filesystem::path& p) {
  std::error_code ec;
  auto ft = std::filesystem::last_write_time(p, ec);
  if (ec) return 0;
  auto sys = std::chrono::file_clock::to_sys(ft);
  return std::chrono::duration_cast<std::chrono::seconds>(sys.time_since_epoch()).count();
}

}  // namespace

bool IsValidShortName(const std::string& upper, bool isDirectory) {
  if (upper.empty() || upper.size() > 12) return false;
  const auto dot = upper.find('.');
  const std::string base = upper.substr(0, dot);
  const std::string ext = dot == std::string::npos ? std::string() : upper.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3) return false;
  if (ext.find('.') != std::string::npos) return false;
  auto ok = [](const std::string& s) { return std::all_of(s.begin(), s.end(), IsDChar); };
  (void)isDirectory;
  return ok(base) && ok(ext);
}

std::vector<TExtent> ImportedExtents(const TFileEntry& e) {
  if (!e.extents.empty()) return e.extents;
  return {TExtent{e.block, uint32_t(e.size)}};
}

std::u16string FoldName(const std::u16string& name) { return WideUpper(name); }

TSystemTime LocalTimeOf(int64_t utcSeconds) {
  std::time_t t = static_cast<std::time_t>(utcSeconds);
  std::tm tmv{};
  {
    std::lock_guard lock(TimeMutex());
    if (std::tm* p = std::localtime(&t)) tmv = *p;
  }
  TSystemTime st;
  st.year = uint16_t(tmv.tm_year + 1900);
  st.month = uint16_t(tmv.tm_mon + 1);
  st.dayOfWeek = uint16_t(tmv.tm_wday);
  st.day = uint16_t(tmv.tm_mday);
  st.hour = uint16_t(tmv.tm_hour);
  st.minute = uint16_t(tmv.tm_min);
  st.second = uint16_t(tmv.tm_sec);
  return st;
}

int CurrentTimeZoneOffset() {
  std::time_t now = std::time(nullptr);
  std::tm tmv{};
  {
    std::lock_guard lock(TimeMutex());
    if (std::tm* p = std::localtime(&now)) tmv = *p;
  }
  const long seconds = tmv.tm_gmtoff;
  long q = seconds / 900;
  if (seconds % 900 != 0 && seconds < 0) --q;  // rounded down
  return int(q);
}

TTreeContext::TTreeContext() { ClearFiles(); }
TTreeContext::~TTreeContext() = default;

TFileEntry* TTreeContext::SkippedMarker() {
  static TFileEntry marker;
  return &marker;
}

void TTreeContext::ClearFiles() {
  files.clear();
  directories.clear();
  pathTable.clear();
  jolietPathTable.clear();
  imageBuffer.clear();
  imageBuffer.shrink_to_fit();
  timeZoneOffset = CurrentTimeZoneOffset();
  auto r = std::make_unique<TDirectory>();
  r->parent = r.get();
  r->shortName = "ROOT_DIR";
  root = r.get();
  directories.push_back(std::move(r));
  bootImagePath.clear();
  bootImageSize = 0;
  outputPosition = 0;
  const bool v1999 = layout.ISO9660v1999FS, joliet = layout.JolietFileSystem,
             udf = layout.UDFBridge;
  layout = TImageLayout{};
  layout.ISO9660v1999FS = v1999;
  layout.JolietFileSystem = joliet;
  layout.UDFBridge = udf;
  udfUnits.clear();
  lastError.clear();
  refused.clear();
}

TFileEntry* TTreeContext::Refuse(const std::string& source, const std::u16string& name,
                                 const std::string& reason) {
  lastError = reason;
  if (!source.empty()) refused.push_back({source, name, reason});
  return nullptr;
}

void TTreeContext::RemoveEntry(TFileEntry* e) {
  TDirectory* dir = e->parent;
  dir->files.erase(std::remove(dir->files.begin(), dir->files.end(), e), dir->files.end());
  dir->byName.erase(FoldName(e->longName));
  dir->shortNames.erase(e->shortName);
  layout.prepared = false;
  files.erase(std::remove_if(files.begin(), files.end(),
                             [e](const std::unique_ptr<TFileEntry>& f) { return f.get() == e; }),
              files.end());
}

std::string TTreeContext::MakeShortName(TDirectory* dir, const TFindData& fd,
                                        bool isDirectory) const {
  auto finish = [&](std::string s) {
    if (!isDirectory && s.find('.') == std::string::npos) s.push_back('.');
    return s;
  };
  if (!fd.alternateFileName.empty()) {
    std::string alt = ShortForm(fd.alternateFileName.substr(0, 12));
    if (!dir->shortNames.count(finish(alt))) return finish(alt);
  }
  const std::string full = ShortForm(fd.fileName);
  if (IsValidShortName(full, isDirectory) && !dir->shortNames.count(finish(full)))
    return finish(full);
  // Not an 8.3 name (or taken): derive BASIS~N.EXT as a file system does.
  std::u16string base16 = fd.fileName, ext16;
  const auto dot = fd.fileName.rfind(u'.');
  if (dot != std::u16string::npos && dot > 0) {
    base16 = fd.fileName.substr(0, dot);
    ext16 = fd.fileName.substr(dot + 1);
  }
  std::string base = ShortForm(base16), ext = ShortForm(ext16);
  base.erase(std::remove(base.begin(), base.end(), '.'), base.end());
  ext.erase(std::remove(ext.begin(), ext.end(), '.'), ext.end());
  if (base.empty()) base = "_";
  if (ext.size() > 3) ext.resize(3);
  if (base.size() > 6) base.resize(6);
  const std::string key = base + "." + ext;
  auto& tails = const_cast<TDirectory*>(dir)->shortTails;
  uint32_t n = tails.count(key) ? tails[key] : 1;
  for (;; ++n) {
    const std::string tail = "~" + std::to_string(n);
    if (tail.size() >= 8) break;
    std::string b = base.substr(0, std::min(base.size(), 8 - tail.size())) + tail;
    std::string candidate = ext.empty() ? b : b + "." + ext;
    candidate = finish(candidate);
    if (!dir->shortNames.count(candidate)) {
      tails[key] = n + 1;
      return candidate;
    }
  }
  return isDirectory ? "________.___" : "________.___";
}

TFileEntry* TTreeContext::FindEntry(const TDirectory* dir, const std::u16string& name) const {
  auto it = dir->byName.find(FoldName(name));
  return it == dir->byName.end() ? nullptr : it->second;
}

TFileEntry* TTreeContext::InsertEntry(const std::u16string& name, TDirectory* dir,
                                      const TFindData& fd, uint8_t origin,
                                      uint32_t importedBlock, const std::string& source,
                                      const std::vector<TExtent>* importedExtents) {
  if (!dir) return nullptr;
  if (OnAddFile) {
    bool skip = false;
    OnAddFile(source, fd, skip);
    if (skip) return SkippedMarker();
  }
  if (name.size() >= kMaxNameLength) {
    // Folders and files of an imported session with such names were never
    // readable here; a source file must not vanish without a word.
    if (source.empty()) return SkippedMarker();
    return Refuse(source, name,
                  "its name is " + std::to_string(name.size()) + " characters long; the disc takes "
                  "names of at most " + std::to_string(kMaxNameLength - 1) + " characters");
  }
  const bool isDir = fd.attributes & kAttrDirectory;
  if (!isDir && !source.empty() && fd.size >= (uint64_t(1) << 32)) {
    // The directory records of this image hold 32-bit lengths.
    return Refuse(source, name, "it is 4 GB or larger; the disc takes files below 4 GB");
  }
  TFileEntry* e = FindEntry(dir, name);
  if (e) {
    // A file must never overwrite a folder's entry (or the other way round):
    // the folder's contents would be lost.
    if (e->IsDirectory() != isDir)
      return Refuse(source, name, e->IsDirectory() ? "a folder on the disc has the same name"
                                                   : "a file on the disc has the same name");
    if (!ReplaceFile) return e;
  } else {
    if (files.size() >= kMaxFiles)
      return Refuse(source, name,
                    "the disc takes at most " + std::to_string(kMaxFiles) + " files and folders");
    auto owned = std::make_unique<TFileEntry>();
    e = owned.get();
    files.push_back(std::move(owned));
    e->parent = dir;
    e->shortName = MakeShortName(dir, fd, isDir);
    dir->shortNames.insert(e->shortName);
    dir->byName[FoldName(name)] = e;
    dir->files.push_back(e);
  }
  // The layout no longer matches the tree: it must be worked out again
  // before a header is written from it.
  layout.prepared = false;
  e->longName = name;
  e->jolietName = name;
  e->modified = LocalTimeOf(fd.lastWriteUtc);
  e->size = fd.size;
  e->attributes = fd.attributes;
  e->origin = origin;
  e->block = importedBlock;
  e->imported = importedBlock != 0;
  e->extents.clear();
  if (importedExtents && !importedExtents->empty()) {
    e->imported = true;
    e->block = importedExtents->front().block;
    if (importedExtents->size() > 1) e->extents = *importedExtents;
  }
  e->sourcePath = source;
  e->md5.clear();
  e->udfName.clear();
  return e;
}

TFileEntry* TTreeContext::InsertFile(const std::string& destination, const std::string& source) {
  lastError.clear();
  std::error_code ec;
  const std::filesystem::path src(source);
  const std::u16string fileName = Utf8ToWide(src.filename().string());
  auto st = std::filesystem::status(src, ec);
  if (ec || !std::filesystem::is_regular_file(st))
    return Refuse(source, fileName, "it is not a file that can be read");
  std::string dest = destination;
  if (dest.size() > 1 && dest.back() == '\\') dest.pop_back();
  TDirectory* dir = FindDirectory(dest);
  if (!dir) return Refuse(source, fileName, "the disc has no folder " + destination);
  TFindData fd;
  fd.fileName = fileName;
  fd.size = std::filesystem::file_size(src, ec);
  if (ec) return Refuse(source, fileName, "its size cannot be read");
  fd.attributes = kAttrArchive;
  if ((st.permissions() & std::filesystem::perms::owner_write) == std::filesystem::perms::none)
    fd.attributes |= kAttrReadOnly;
  fd.lastWriteUtc = FileTimeUtc(src);
  return InsertEntry(fd.fileName, dir, fd, 0, 0, source);
}

void TTreeContext::YieldToImportedFolder(TDirectory* dir, const std::u16string& name) {
  TFileEntry* e = dir ? FindEntry(dir, name) : nullptr;
  if (!e || e->IsDirectory() || e->imported || e->sourcePath.empty()) return;
  Refuse(e->sourcePath, e->longName, "a folder on the disc has the same name");
  RemoveEntry(e);
}

bool TTreeContext::RemoveImportedFile(TDirectory* dir, const std::u16string& name) {
  TFileEntry* e = dir ? FindEntry(dir, name) : nullptr;
  if (!e || e->IsDirectory() || !e->imported || !e->sourcePath.empty()) return false;
  RemoveEntry(e);
  return true;
}

TDirectory* TTreeContext::CreateDirectory(TDirectory* parent, const TFindData& fd) {
  if (!parent) return nullptr;
  if (TFileEntry* e = FindEntry(parent, fd.fileName)) {
    if (e->subdir) return e->subdir;
    lastError = "A file and a folder cannot share the name " + WideToUtf8(fd.fileName);
    return nullptr;
  }
  if (fd.fileName.empty() || fd.fileName.size() >= kMaxNameLength) return nullptr;
  if (directories.size() >= kMaxDirectories || files.size() >= kMaxFiles) {
    lastError = "The disc holds at most 65000 folders.";
    return nullptr;
  }
  layout.prepared = false;  // see InsertEntry
  auto d = std::make_unique<TDirectory>();
  auto owned = std::make_unique<TFileEntry>();
  TFileEntry* e = owned.get();
  TDirectory* dir = d.get();
  e->parent = parent;
  e->longName = e->jolietName = fd.fileName;
  e->shortName = MakeShortName(parent, fd, true);
  e->attributes = fd.attributes | kAttrDirectory;
  e->origin = 1;
  e->modified = LocalTimeOf(fd.lastWriteUtc);
  e->subdir = dir;
  dir->parent = parent;
  dir->entry = e;
  dir->longName = fd.fileName;
  dir->shortName = e->shortName.size() <= 12 ? e->shortName : "________.___";
  parent->shortNames.insert(e->shortName);
  parent->byName[FoldName(fd.fileName)] = e;
  parent->files.push_back(e);
  files.push_back(std::move(owned));
  directories.push_back(std::move(d));
  return dir;
}

TDirectory* TTreeContext::FindDirectory(const std::u16string& path) const {
  TDirectory* cur = root;
  size_t i = 0;
  while (i < path.size()) {
    while (i < path.size() && path[i] == u'\\') ++i;
    if (i >= path.size()) break;
    size_t j = path.find(u'\\', i);
    if (j == std::u16string::npos) j = path.size();
    TFileEntry* e = FindEntry(cur, path.substr(i, j - i));
    if (!e || !e->subdir) return nullptr;
    cur = e->subdir;
    i = j;
  }
  return cur;
}

TDirectory* TTreeContext::FindDirectory(const std::string& path) const {
  return FindDirectory(Utf8ToWide(path));
}

std::u16string TTreeContext::DirectoryPath(const TDirectory* dir) const {
  if (!dir || dir == root) return u"\\";
  std::vector<const TDirectory*> chain;
  for (const TDirectory* d = dir; d && d != root; d = d->parent) {
    chain.push_back(d);
    if (chain.size() > directories.size()) break;  // never loops on a broken tree
  }
  std::u16string p;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) p += u"\\" + (*it)->longName;
  return p + u"\\";
}

bool TTreeContext::SetBootImage(const std::string& path) {
  layout.prepared = false;  // the boot record and the image take blocks
  bootImagePath.clear();
  bootImageSize = 0;
  if (path.empty()) return true;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return false;
  const uint64_t size = std::filesystem::file_size(path, ec);
  if (ec) return false;
  if (size == 2048 || size == 1228800 || size == 1474560 || size == 2949120) {
    bootImagePath = path;
    bootImageSize = size;
    return true;
  }
  return false;
}

}  // namespace yux::disc
