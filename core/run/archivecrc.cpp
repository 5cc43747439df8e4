#include "core/run/archivecrc.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>

#include "platform/safefile.h"
#include "zip/zipaes.h"
#include "zip/ziparchive.h"
#include "zip/zipdir.h"

namespace yux {

namespace {

std::uint32_t Crc(std::uint32_t crc, const char* data, std::size_t n) {
  while (n > 0) {
    const uInt chunk = static_cast<uInt>(std::min<std::size_t>(n, 1u << 30));
    crc = static_cast<std::uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(data), chunk));
    data += chunk;
    n -= chunk;
  }
  return crc;
}

// Reads back the entries named in `wanted` and puts the CRC of their data
// into `crcs`.
bool ReadBack(const zip::ByteSource& src, const std::string& password, const std::set<std::string>& wanted,
              const std::function<void()>& pump, std::map<std::string, std::uint32_t>& crcs,
              std::string* error) {
  zip::SourceStream stream(src);
  archive* a = archive_read_new();
  archive_read_support_format_zip(a);
  archive_read_add_passphrase(a, password.c_str());
  bool ok = stream.Open(a) == ARCHIVE_OK;
  if (!ok) *error = zip::ArchiveErrorText(a, "cannot open the archive");
  std::vector<char> block(platform::kCopyChunkBytes);
  archive_entry* entry = nullptr;
  while (ok) {
    const int rc = archive_read_next_header(a, &entry);
    if (rc == ARCHIVE_EOF) break;
    if (rc < ARCHIVE_WARN) {
      *error = zip::ArchiveErrorText(a, "damaged archive");
      ok = false;
      break;
    }
    const char* path = archive_entry_pathname(entry);
    const std::string name = path ? NormalizedEntryName(path) : std::string();
    if (!wanted.count(name)) continue;
    std::uint32_t crc = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
    for (;;) {
      const la_ssize_t n = archive_read_data(a, block.data(), block.size());
      if (n == 0) break;
      if (n < 0) {
        *error = name + ": " + zip::ArchiveErrorText(a, "cannot be read back");
        ok = false;
        break;
      }
      crc = Crc(crc, block.data(), static_cast<std::size_t>(n));
      if (pump) pump();
    }
    if (ok) crcs[name] = crc;
  }
  archive_read_free(a);
  if (ok && crcs.size() < wanted.size()) {
    *error = "an entry could not be read back";
    ok = false;
  }
  return ok;
}

}  // namespace

bool AddArchiveCrcs(const std::vector<std::string>& volumes, const std::string& password,
                    std::vector<ArchivedEntry>& entries, const std::function<void()>& pump,
                    std::string* error) {
  std::string why;
  auto fail = [&](const std::string& text) {
    if (error) *error = text;
    return false;
  };
  zip::ByteSource src;
  if (!src.Open(volumes)) return fail("cannot open " + src.error());
  zip::ZipDirectory dir;
  if (!zip::ReadZipDirectory(src, &dir, &why))
    return fail("the archive's CRCs cannot be read (" + why + ")");
  std::map<std::string, std::uint32_t> crcs;
  std::set<std::string> duplicate, hidden;
  for (const auto& e : dir.entries) {
    if (e.IsDir()) continue;
    const std::string name = NormalizedEntryName(e.name);
    if (crcs.count(name) || hidden.count(name)) duplicate.insert(name);
    if (zip::CentralCrcIsData(e)) {
      crcs[name] = e.crc;
    } else if (e.method == zip::kAesMethod && zip::AesVendorVersion(e)) {
      hidden.insert(name);
    } else {
      return fail("the encryption of " + name + " hides its CRC");
    }
  }
  if (!hidden.empty()) {
    if (password.empty()) return fail("the CRCs of small encrypted entries need the archive's password");
    if (!ReadBack(src, password, hidden, pump, crcs, &why))
      return fail("an encrypted entry cannot be read back: " + why);
  }
  for (auto& e : entries) {
    e.crc.reset();
    if (e.folder || duplicate.count(e.name)) continue;
    const auto it = crcs.find(e.name);
    if (it != crcs.end()) e.crc = it->second;
  }
  return true;
}

bool FileCrc32(const std::string& path, const std::function<void()>& pump, std::uint32_t* crc,
               std::int64_t* length) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  // Small files are the many: a block of their size, one more byte to see
  // the end in the same read.
  struct stat st {};
  const std::size_t want = ::fstat(fd, &st) == 0 && st.st_size >= 0
                               ? static_cast<std::size_t>(std::min<off_t>(st.st_size + 1, platform::kCopyChunkBytes))
                               : platform::kCopyChunkBytes;
  std::vector<char> block(want);
  std::uint32_t c = static_cast<std::uint32_t>(crc32(0, nullptr, 0));
  std::int64_t total = 0;
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd, block.data(), block.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    c = Crc(c, block.data(), static_cast<std::size_t>(n));
    total += n;
    if (pump) pump();
  }
  ::close(fd);
  if (!ok) return false;
  *crc = c;
  *length = total;
  return true;
}

}  // namespace yux
