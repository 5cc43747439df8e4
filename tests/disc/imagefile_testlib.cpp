#include "tests/disc/imagefile.h"

#include <algorithm>
#include <cstring>
#include <fstream>

#include "disc/commonlib.h"
#include "disc/iso9660.h"
#include "disc/md5stream.h"
#include "disc/udfbridge.h"
#include "tests/support/testsupport.h"

namespace yux::disc::test {

std::vector<uint8_t> BuildSession(TTreeContext& tree) {
  PrepareImage(tree);
  if (!GenerateImageHeader(tree)) return {};
  const auto& L = tree.layout;
  std::vector<uint8_t> image(size_t(L.imageEnd) * 2048, 0);
  std::copy(tree.imageBuffer.begin(), tree.imageBuffer.end(), image.begin());
  if (L.UDFBridge) {
    TUdfBlockGenerator gen(tree);
    gen.Generate(image.data() + size_t(L.udfAreaStart) * 2048, L.udfAreaBlocks);
    auto anchor = UdfClosingAnchor(tree);
    std::copy(anchor.begin(), anchor.end(), image.end() - 2048);
  }
  for (auto& f : tree.files) {
    if (f->IsDirectory() || f->imported || f->size == 0) continue;
    std::ifstream in(f->sourcePath, std::ios::binary);
    const size_t at = size_t(L.fileAreaStart + f->block) * 2048;
    in.read(reinterpret_cast<char*>(image.data() + at), std::streamsize(f->size));
  }
  if (!tree.bootImagePath.empty()) {
    std::ifstream in(tree.bootImagePath, std::ios::binary);
    in.read(reinterpret_cast<char*>(image.data() + size_t(L.bootImageBlock) * 2048),
            std::streamsize(tree.bootImageSize));
  }
  return image;
}

bool WriteImageFile(TTreeContext& tree, const std::string& path) {
  auto image = BuildSession(tree);
  if (image.empty()) return false;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
  return bool(out);
}

void MakeFile(const std::string& path, size_t size, unsigned seed) {
  std::string data(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1664525u + 1013904223u;
    data[i] = char(x >> 24);
  }
  yux::test::WriteFile(path, data);
}

uint32_t BurnSession(TTreeContext& tree, TSCSIDevice& dev) {
  const int m = dev.GetMediaType();
  uint32_t start = 0, base = 0;
  const bool overwrite = m == mtDVDPlusRW || m == mtDVDRAM || m == mtBDRE;
  if (overwrite) {
    start = base = dev.GetISOVolumeSize();
  } else if (dev.ReadDiscInformation() && dev.ReadTrackInformation(dev.discInfo[6])) {
    start = dev.trackInfo.nextWritableAddress;
  }
  tree.layout.sessionStart = start;
  tree.layout.volumeBase = base;
  auto image = BuildSession(tree);
  if (image.empty()) return 0;
  dev.SetWriteParameters(true);
  const uint32_t blocks = uint32_t(image.size() / 2048);
  for (uint32_t b = 0; b < blocks; b += 32) {
    const uint16_t n = uint16_t(std::min<uint32_t>(32, blocks - b));
    if (!dev.Write10(start + b, n, image.data() + size_t(b) * 2048, n * 2048u)) return 0;
  }
  // On overwritable media the descriptors at the start describe the grown volume.
  if (overwrite && start > 0 && !dev.Write10(0, 32, image.data(), 32 * 2048)) return 0;
  if (!overwrite) dev.CloseTrackSession(false, true, 0);
  return start;
}

std::string Md5Text(const std::string& bytes) {
  TMD5Stream md5;
  md5.Write(bytes.data(), bytes.size());
  return md5.DigestText();
}

std::string Md5TextOfFile(const std::filesystem::path& path) {
  return Md5Text(yux::test::ReadFile(path));
}

std::string Md5Of(const std::string& path) {
  auto r = yux::test::RunProgram({"md5sum", path});
  return r.out.substr(0, 32);
}

}  // namespace yux::disc::test

namespace yux::disc::test {

namespace {

// An identifier as ISO 9660 orders it: the name (up to the first ".") and
// the extension, each padded with blanks to the longest possible length,
// so that plain comparison of the keys gives the prescribed order.
std::u16string OrderKey(const std::u16string& id) {
  const auto dot = id.find(u'.');
  std::u16string name = id.substr(0, dot), ext;
  if (dot != std::u16string::npos) ext = id.substr(dot + 1);
  name.resize(256, u' ');
  ext.resize(256, u' ');
  return name + ext;
}

struct VolumeTrees {
  bool joliet = false;
  uint32_t pathTableSize = 0, lTable = 0, mTable = 0;
};

std::u16string DecodeId(const uint8_t* p, size_t n, bool joliet) {
  std::u16string s;
  if (joliet) {
    for (size_t i = 0; i + 1 < n; i += 2) s.push_back(char16_t(p[i] << 8 | p[i + 1]));
  } else {
    for (size_t i = 0; i < n; ++i) s.push_back(char16_t(p[i]));
  }
  const auto semi = s.find(u';');  // the version number is not part of the order
  if (semi != std::u16string::npos) s.resize(semi);
  return s;
}

std::string Show(const std::u16string& s) { return WideToUtf8(s); }

void CheckTree(const BlockReader& read, const VolumeTrees& v, std::vector<std::string>& faults) {
  const std::string tree = v.joliet ? "Joliet" : "ISO";
  const uint32_t blocks = (v.pathTableSize + 2047) / 2048;
  const auto l = read(v.lTable, blocks), m = read(v.mTable, blocks);
  struct Entry {
    std::u16string id;
    uint32_t extent = 0, parent = 0;
    int level = 0;
  };
  std::vector<Entry> table;
  for (size_t pos = 0; pos + 8 <= v.pathTableSize;) {
    const uint8_t n = l[pos];
    if (n == 0) break;
    Entry e;
    e.extent = GetLe32(&l[pos + 2]);
    e.parent = uint32_t(l[pos + 6] | l[pos + 7] << 8);
    if (GetBe32(&m[pos + 2]) != e.extent || uint32_t(m[pos + 6] << 8 | m[pos + 7]) != e.parent ||
        !std::equal(&l[pos + 8], &l[pos + 8 + n], &m[pos + 8]))
      faults.push_back(tree + ": M path table differs from L at byte " + std::to_string(pos));
    e.id = table.empty() ? u"" : DecodeId(&l[pos + 8], n, v.joliet);
    if (e.parent == 0 || e.parent > table.size() + 1) {
      faults.push_back(tree + ": path table record with parent " + std::to_string(e.parent));
      return;
    }
    e.level = table.empty() ? 1 : table[e.parent - 1].level + 1;
    if (!table.empty()) {
      const Entry& prev = table.back();
      if (e.level < prev.level) faults.push_back(tree + ": path table level falls at " + Show(e.id));
      if (e.parent < prev.parent && table.size() > 1)
        faults.push_back(tree + ": path table parent falls at " + Show(e.id));
      if (e.parent == prev.parent && table.size() > 1 && OrderKey(prev.id) >= OrderKey(e.id))
        faults.push_back(tree + ": path table " + Show(prev.id) + " before " + Show(e.id));
    }
    table.push_back(e);
    pos += 8 + n + (n % 2);
  }
  for (const Entry& dir : table) {
    const auto first = read(dir.extent, 1);
    const uint32_t length = GetLe32(&first[10]);
    const auto data = read(dir.extent, (length + 2047) / 2048);
    std::u16string prev;
    bool prevMore = false;
    int index = 0;
    for (size_t off = 0; off < data.size();) {
      const uint8_t len = data[off];
      if (len == 0) {
        off = (off / 2048 + 1) * 2048;  // the rest of the block is padding
        continue;
      }
      const std::u16string id = DecodeId(&data[off + 33], data[off + 32], v.joliet);
      const bool more = data[off + 25] & 0x80;
      if (index >= 2) {
        const bool sameFile = prevMore && id == prev;
        if (index > 2 && !sameFile && OrderKey(prev) >= OrderKey(id))
          faults.push_back(tree + ": record " + Show(prev) + " before " + Show(id) + " in " +
                           Show(dir.id));
        prev = id;
        prevMore = more;
      }
      ++index;
      off += len;
    }
  }
}

}  // namespace

std::vector<std::string> IsoOrderFaults(const BlockReader& read, uint32_t sessionStart) {
  std::vector<std::string> faults;
  for (uint32_t b = sessionStart + 16; b < sessionStart + 32; ++b) {
    const auto d = read(b, 1);
    if (std::memcmp(&d[1], "CD001", 5) != 0 || d[0] == 255) break;
    if (d[0] != 1 && d[0] != 2) continue;
    VolumeTrees v;
    v.joliet = d[0] == 2 && d[88] == 0x25 && d[89] == 0x2F;
    if (d[0] == 2 && !v.joliet) continue;
    v.pathTableSize = GetLe32(&d[132]);
    v.lTable = GetLe32(&d[140]);
    v.mTable = GetBe32(&d[148]);
    CheckTree(read, v, faults);
  }
  return faults;
}

}  // namespace yux::disc::test
