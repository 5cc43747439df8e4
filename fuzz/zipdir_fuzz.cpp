// Archives from outside: the directory reader, `x`, `d` and `a` of the
// archiver over any bytes.  Besides never crashing, for every input:
//  - `x` makes only files and folders, only inside its target, leaves no
//    temporary file, and each file it writes is an entry the listing shows
//    with the size listed;
//  - an archive whose directory cannot be read is refused by `x` (exit 2)
//    without a file written;
//  - a copy made by `d` of one entry holds exactly the other entries, each
//    with its name, size and CRC;
//  - `a` into the archive either adds the file or leaves it unchanged.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "fuzz/fuzzsupport.h"
#include "platform/safefile.h"
#include "platform/wildcard.h"
#include "tools/winrar/archiver.h"
#include "zip/zipdir.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxArchive = 1 << 20;

int Winrar(std::vector<std::string> args) {
  winrar::Options opt;
  args.insert(args.begin() + 1, "-INUL");
  const std::string error = winrar::ParseCommandLine(args, &opt);
  if (!error.empty()) fuzz::Fail("the target's own command line", error);
  return winrar::RunArchiver(opt);
}

bool List(const std::string& path, zip::ZipDirectory* dir) {
  zip::ByteSource src;
  std::string why;
  return src.Open({path}) && zip::ReadZipDirectory(src, dir, &why);
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The path an entry may land under, as `x` reduces names: "/" separates
// (also "\" in a name not made on Unix), empty and "." components go.
std::string Reduced(const zip::ZipEntry& e) {
  std::string name = e.name;
  if (!e.MadeOnUnix()) {
    std::replace(name.begin(), name.end(), '\\', '/');
    if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0])))
      name.erase(0, 2);
  }
  std::string out;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = std::min(name.find('/', start), name.size());
    const std::string part = name.substr(start, end - start);
    if (!part.empty() && part != ".") out += (out.empty() ? "" : "/") + part;
    start = end + 1;
  }
  return out;
}

// Folders `x` made may carry any mode an archive gave them; the checks
// and the clean-up below must be able to enter them.
void Unlock(const fs::path& folder) {
  chmod(folder.c_str(), 0700);
  for (auto& e : fs::directory_iterator(folder)) {
    struct stat st {};
    if (lstat(e.path().c_str(), &st) == 0 && S_ISDIR(st.st_mode)) Unlock(e.path());
  }
}

// What `x` made below `root`: files with their sizes; anything that is
// neither a file nor a folder, or a temporary name, breaks a property.
void Walk(const fs::path& root, const fs::path& folder, std::map<std::string, uint64_t>* files) {
  for (auto& e : fs::directory_iterator(folder)) {
    struct stat st {};
    if (lstat(e.path().c_str(), &st) != 0) fuzz::Fail("cannot stat what x made", e.path().string());
    const std::string rel = e.path().lexically_relative(root).string();
    YUX_FUZZ_CHECK(rel.find(".yuxtmp.") == std::string::npos, rel);
    if (S_ISDIR(st.st_mode)) {
      Walk(root, e.path(), files);
    } else {
      YUX_FUZZ_CHECK(S_ISREG(st.st_mode), rel);
      (*files)[rel] = static_cast<uint64_t>(st.st_size);
    }
  }
}

void CheckExtract(const std::string& scratch, const std::string& archive, bool listed,
                  const zip::ZipDirectory& dir) {
  const fs::path target = fs::path(scratch) / "a" / "b" / "out";
  const int rc = Winrar({"x", archive, target.string() + "/"});
  // Beside the target only the archive and the folders above the target.
  for (auto& e : fs::recursive_directory_iterator(scratch)) {
    const std::string rel = e.path().lexically_relative(scratch).string();
    if (rel.rfind("a/b/out", 0) == 0) continue;
    YUX_FUZZ_CHECK(rel == "in.zip" || rel == "a" || rel == "a/b", rel);
  }
  std::map<std::string, uint64_t> files;
  if (fs::exists(target)) {
    Unlock(target);
    Walk(target, target, &files);
  }
  if (!listed) {
    YUX_FUZZ_CHECK(rc == winrar::kFatal, std::to_string(rc));
    YUX_FUZZ_CHECK(files.empty(), files.begin()->first);
    return;
  }
  // A name of another system that is not ASCII comes out in the reader's
  // conversion of its code page: only its size can be matched.
  std::map<std::string, std::set<uint64_t>> shown;
  std::multiset<uint64_t> converted;
  for (auto& e : dir.entries) {
    const bool ascii = std::all_of(e.name.begin(), e.name.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (e.MadeOnUnix() || ascii) shown[Reduced(e)].insert(e.size);
    else converted.insert(e.size);
  }
  for (auto& [name, size] : files) {
    auto it = shown.find(name);
    if (it != shown.end() && it->second.count(size)) continue;
    auto other = converted.find(size);
    YUX_FUZZ_CHECK(other != converted.end(), "written but not listed: " + name + " of " + std::to_string(size));
    converted.erase(other);
  }
}

void CheckDelete(const std::string& scratch, const std::string& archive, const zip::ZipDirectory& dir) {
  // The last file entry's name, as a mask, removes the file entries whose
  // names it matches; folder entries follow rules of their own, and so an
  // archive with any is left to `x`.
  const zip::ZipEntry* victim = nullptr;
  for (auto& e : dir.entries) {
    if (e.IsDir()) return;
    if (!e.name.empty() && e.name.find_first_of("*?/\\;") == std::string::npos &&
        e.name.find('\0') == std::string::npos)
      victim = &e;
  }
  if (!victim) return;
  const std::string mask = victim->name;
  std::multiset<std::tuple<std::string, uint64_t, uint32_t>> expected, kept;
  for (auto& e : dir.entries)
    if (!platform::MatchesMask(platform::PathNameOf(e.name), mask)) expected.insert({e.name, e.size, e.crc});
  if (expected.size() == dir.entries.size()) return;
  const std::string copy = (fs::path(scratch) / "copy.zip").string();
  fs::copy_file(archive, copy, fs::copy_options::overwrite_existing);
  if (Winrar({"d", copy, mask}) != winrar::kSuccess) return;
  zip::ZipDirectory after;
  YUX_FUZZ_CHECK(List(copy, &after), "d wrote an archive it cannot read");
  for (auto& e : after.entries) kept.insert({e.name, e.size, e.crc});
  YUX_FUZZ_CHECK(kept == expected, mask);
  fs::remove(copy);
}

void CheckAdd(const std::string& scratch, const std::string& archive) {
  const std::string copy = (fs::path(scratch) / "add.zip").string();
  const std::string file = (fs::path(scratch) / "added.txt").string();
  fs::copy_file(archive, copy, fs::copy_options::overwrite_existing);
  fuzz::WriteBytes(file, "added");
  const std::string before = Slurp(copy);
  const int rc = Winrar({"a", "-ep", copy, file});
  if (rc != winrar::kSuccess && rc != winrar::kWarning) {
    YUX_FUZZ_CHECK(Slurp(copy) == before, std::to_string(rc));
  }
  fs::remove(copy);
  fs::remove(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxArchive) return 0;
  const std::string scratch = (fs::path(fuzz::ScratchFolder()) / "zipdir").string();
  fs::remove_all(scratch);
  fs::create_directories(scratch);
  const std::string archive = (fs::path(scratch) / "in.zip").string();
  fuzz::WriteBytes(archive, std::string_view(reinterpret_cast<const char*>(data), size));

  zip::ZipDirectory dir;
  const bool listed = List(archive, &dir);
  CheckExtract(scratch, archive, listed, dir);
  fs::remove_all(fs::path(scratch) / "a");
  if (listed) CheckDelete(scratch, archive, dir);
  CheckAdd(scratch, archive);
  fs::remove_all(scratch);
  return 0;
}
