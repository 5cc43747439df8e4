#include "disc/sessionimport.h"

#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <vector>

#include "disc/commonlib.h"

namespace yux::disc {

namespace {

struct Importer {
  TTreeContext& tree;
  TSCSIDevice& dev;
  bool joliet = false;  // names are UCS-2 big-endian
  // Blocks already taken by a directory, as [start, end) runs. Directories
  // never share blocks on a sound disc; extents that overlap (or loop back)
  // would read the same records again for every directory covering them.
  std::map<uint64_t, uint64_t> taken;

  bool Take(uint32_t extent, uint32_t blocks) {
    const uint64_t start = extent, end = start + blocks;
    auto next = taken.upper_bound(start);
    if (next != taken.end() && next->first < end) return false;
    if (next != taken.begin() && std::prev(next)->second > start) return false;
    taken.emplace(start, end);
    return true;
  }

  std::u16string DecodeName(const uint8_t* id, size_t len, bool isDirectory) const {
    std::u16string name;
    if (joliet) {
      for (size_t i = 0; i + 1 < len; i += 2) name.push_back(char16_t((id[i] << 8) | id[i + 1]));
    } else {
      std::string s(reinterpret_cast<const char*>(id), len);
      name = Utf8ToWide(s);
    }
    const auto semi = name.find(u';');
    if (semi != std::u16string::npos) name.resize(semi);
    // "NAME." is how ISO 9660 spells a file name without extension.
    if (!joliet && !isDirectory && !name.empty() && name.back() == u'.') name.pop_back();
    return name;
  }

  static int64_t RecordTime(const uint8_t* p) {
    std::tm t{};
    t.tm_year = p[0];
    t.tm_mon = p[1] ? p[1] - 1 : 0;
    t.tm_mday = p[2] ? p[2] : 1;
    t.tm_hour = p[3];
    t.tm_min = p[4];
    t.tm_sec = p[5];
    const int offset = int8_t(p[6]);
    // The fields are local time at the recorded offset from GMT.
    return int64_t(timegm(&t)) - int64_t(offset) * 900;
  }

  // A file recorded in several extents (flag 80h on every record but its
  // last) is carried over whole: all of its extents, in order.
  struct Pending {
    std::vector<uint8_t> id;
    std::vector<TExtent> extents;
  };

  void File(TDirectory* dir, TFindData fd, std::vector<TExtent> extents) {
    uint64_t size = 0;
    for (const TExtent& x : extents) size += x.length;
    fd.attributes = kAttrNormal;
    fd.size = size;
    // A file inserted for this session wins over its old copy: the new
    // backup must not be dropped for the previous one.
    if (TFileEntry* existing = tree.FindEntry(dir, fd.fileName))
      if (!existing->imported && existing->origin == 0 && !existing->IsDirectory()) return;
    tree.InsertEntry(fd.fileName, dir, fd, 1, extents.front().block, {}, &extents);
  }

  void Directory(TDirectory* dir, uint32_t extent, uint32_t length, int depth) {
    if (depth > kMaxImportDepth || length == 0 || length > kMaxImportDirectoryBytes) return;
    const uint32_t blocks = uint32_t(BytesToSectors(length));
    if (!Take(extent, blocks)) return;  // blocks already read for another directory
    std::vector<uint8_t> block(2048);
    Pending pending;
    for (uint32_t b = 0; b < blocks; ++b) {
      if (!dev.Read10(extent + b, 1, block.data())) return;
      size_t off = 0;
      while (off + 33 < 2048) {
        const uint8_t len = block[off];
        if (len == 0) break;  // rest of the block is padding
        const uint8_t idLen = block[off + 32];
        if (len < 34 || off + len > 2048 || size_t(33) + idLen > len) break;
        const uint8_t* r = &block[off];
        off += len;
        const uint8_t* id = r + 33;
        if (idLen == 1 && (id[0] == 0 || id[0] == 1)) continue;  // "." and ".."
        const uint8_t flags = r[25];
        const uint32_t childExtent = GetLe32(r + 2);
        const uint32_t childLength = GetLe32(r + 10);
        const bool isDir = flags & 0x02;
        const std::vector<uint8_t> rawId(id, id + idLen);
        // A record that does not continue the pending file's extents ends
        // that file as it stands (a disc cut short of its last record).
        if (!pending.extents.empty() && (isDir || rawId != pending.id)) pending = {};
        if (flags & 0x04) continue;  // associated file
        if (!isDir && (flags & 0x80)) {
          pending.id = rawId;
          pending.extents.push_back({childExtent, childLength});
          continue;
        }
        TFindData fd;
        fd.fileName = DecodeName(id, idLen, isDir);
        if (fd.fileName.empty()) {
          pending = {};
          continue;
        }
        fd.lastWriteUtc = RecordTime(r + 18);
        if (isDir) {
          fd.attributes = kAttrDirectory;
          // Unlike a file, a folder of the old session is not given up for
          // a new file: its files would vanish from the disc's last session.
          tree.YieldToImportedFolder(dir, fd.fileName);
          TDirectory* sub = tree.CreateDirectory(dir, fd);
          if (sub) Directory(sub, childExtent, childLength, depth + 1);
          continue;
        }
        std::vector<TExtent> extents = std::move(pending.extents);
        pending = {};
        extents.push_back({childExtent, childLength});
        File(dir, std::move(fd), std::move(extents));
      }
    }
  }
};

}  // namespace

int ImportSession(TTreeContext& tree, TSCSIDevice& device, int session,
                  const std::string& destination, bool* jolietNames) {
  if (jolietNames) *jolietNames = false;
  tree.layout.state = 8;
  if (session == 0) session = device.GetSessionCount();
  TDirectory* dest = tree.FindDirectory(destination);
  if (!dest) dest = tree.root;

  device.SetWriteParameters(false);
  if (session > 0 && session < 256 && device.ReadTrackInformation(uint8_t(session))) {
    const uint32_t start = device.trackInfo.startAddress;
    std::vector<uint8_t> vd(2048);
    bool found = false, joliet = false;
    for (uint8_t type : {uint8_t(2), uint8_t(1)}) {
      for (uint32_t s = 16; s <= 31 && !found; ++s) {
        if (!device.Read10(start + s, 1, vd.data())) continue;
        if (vd[0] == 255 && std::memcmp(&vd[1], "CD001", 5) == 0) break;  // terminator
        if (vd[0] != type || std::memcmp(&vd[1], "CD001", 5) != 0) continue;
        // A supplementary descriptor is Joliet only with a UCS-2 escape.
        if (type == 2) {
          if (vd[88] != 0x25 || vd[89] != 0x2F || (vd[90] != 0x40 && vd[90] != 0x43 && vd[90] != 0x45))
            continue;
          joliet = true;
        }
        found = true;
      }
      if (found) break;
    }
    if (found) {
      if (jolietNames) *jolietNames = joliet;
      Importer imp{tree, device, joliet, {}};
      imp.Directory(dest, GetLe32(&vd[158]), GetLe32(&vd[166]), 0);
    }
  }
  tree.layout.state = 0;
  return session;
}

}  // namespace yux::disc
