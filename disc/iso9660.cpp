#include "disc/iso9660.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <type_traits>
#include <utility>
#include <unordered_set>

#include "disc/commonlib.h"
#include "disc/udfbridge.h"

namespace yux::disc {

namespace {

constexpr uint32_t kBlock = 2048;

uint32_t Blocks(uint64_t bytes) { return uint32_t(BytesToSectors(bytes)); }

// Cuts UTF-8 text to at most n bytes without splitting a character.
std::string CutUtf8(const std::string& s, size_t n) {
  if (s.size() <= n) return s;
  size_t i = n;
  while (i > 0 && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) --i;
  return s.substr(0, i);
}

std::string DirIsoIdentifier(const TTreeContext& tree, const TDirectory* d) {
  return IsoIdentifier(tree, *d->entry);
}

// Directory records an entry takes: one per extent of its data.
size_t RecordCount(const TFileEntry& e) { return e.extents.empty() ? 1 : e.extents.size(); }

size_t IsoRecordSize(size_t idLen) { return 33 + idLen + (idLen % 2 == 0 ? 1 : 0); }
size_t JolietRecordSize(size_t chars) { return 34 + 2 * chars; }

// Blocks a directory needs when its records never cross a block boundary.
uint32_t DirectoryBlocks(const std::vector<size_t>& recordSizes) {
  uint32_t blocks = 1;
  size_t pos = 68;  // "." and ".."
  for (size_t r : recordSizes) {
    if (pos + r > kBlock) {
      ++blocks;
      pos = 0;
    }
    pos += r;
  }
  return blocks;
}

// The name a Joliet record can hold: the characters Joliet forbids
// (control characters, "*", "/", ":", ";", "?" and "\") become "_", so
// that a reader never takes a ";" for the start of a version number and the
// name reads back as written.
std::u16string JolietForm(const std::u16string& name) {
  std::u16string out = name;
  for (char16_t& c : out)
    if (c < 0x20 || c == u'*' || c == u'/' || c == u':' || c == u';' || c == u'?' || c == u'\\')
      c = u'_';
  return out;
}

// Joliet names are cut to what a record can hold; a name that had to be
// changed and meets another one in the same directory gets a number before
// its extension.
void AssignJolietNames(TDirectory* dir) {
  std::unordered_set<std::u16string> used;
  auto fits = [](const TFileEntry* e) {
    return e->longName.size() <= kMaxJolietName && JolietForm(e->longName) == e->longName;
  };
  for (TFileEntry* e : dir->files)
    if (fits(e)) used.insert(FoldName(e->longName));
  for (TFileEntry* e : dir->files) {
    if (fits(e)) {
      e->jolietName = e->longName;
      continue;
    }
    const std::u16string name = JolietForm(e->longName);
    std::u16string ext;
    const auto dot = name.rfind(u'.');
    if (dot != std::u16string::npos && name.size() - dot <= 16 && !e->IsDirectory())
      ext = name.substr(dot);
    for (int n = 0;; ++n) {
      std::u16string candidate = name;
      if (n > 0 || candidate.size() > kMaxJolietName) {
        std::u16string tail = n ? u"~" + Utf8ToWide(std::to_string(n)) : u"";
        const size_t keep =
            std::min(name.size() - ext.size(), kMaxJolietName - ext.size() - tail.size());
        std::u16string base = name.substr(0, keep);
        // never split a surrogate pair
        if (!base.empty() && base.back() >= 0xD800 && base.back() <= 0xDBFF) base.pop_back();
        candidate = base + tail + ext;
      }
      if (used.insert(FoldName(candidate)).second) {
        e->jolietName = candidate;
        break;
      }
    }
  }
}

// The order of identifiers in directories and path tables: the part up to
// the first "." compared unit by unit as if padded with blanks, then the
// rest likewise.
template <class S>
int CompareIdentifiers(const S& a, const S& b) {
  using U = std::make_unsigned_t<typename S::value_type>;
  auto split = [](const S& s) {
    const auto dot = s.find(typename S::value_type('.'));
    return dot == S::npos ? std::pair<S, S>{s, S()}
                          : std::pair<S, S>{s.substr(0, dot), s.substr(dot + 1)};
  };
  auto padded = [](const S& x, const S& y) {
    for (size_t i = 0; i < std::max(x.size(), y.size()); ++i) {
      const U u = i < x.size() ? U(x[i]) : U(' '), v = i < y.size() ? U(y[i]) : U(' ');
      if (u != v) return u < v ? -1 : 1;
    }
    return 0;
  };
  const auto [an, ae] = split(a);
  const auto [bn, be] = split(b);
  const int c = padded(an, bn);
  return c != 0 ? c : padded(ae, be);
}

// Numbers the directories breadth first: the root is 1, the children of
// each directory follow in the order of its records.
void NumberPathTable(TDirectory* root, std::vector<TDirectory*>& table,
                     std::vector<TFileEntry*> TDirectory::*records, uint32_t TDirectory::*number,
                     uint32_t TDirectory::*parentNumber) {
  table.clear();
  root->*number = 1;
  root->*parentNumber = 1;
  table.push_back(root);
  for (size_t i = 0; i < table.size(); ++i) {
    TDirectory* d = table[i];
    for (TFileEntry* e : d->*records) {
      if (!e->subdir) continue;
      e->subdir->*parentNumber = d->*number;
      e->subdir->*number = uint32_t(table.size() + 1);
      table.push_back(e->subdir);
    }
  }
}

// Output of the header: a buffer or a stream, written in sequence.
class Sink {
 public:
  Sink(TTreeContext& t, uint64_t limit) : tree_(t), limit_(limit) {}
  // Anything past the laid-out header is dropped and marks the output
  // overrun: the layout did not match what was to be written.
  void Write(const uint8_t* p, size_t n) {
    if (n == 0) return;
    if (tree_.outputPosition + n > limit_) {
      overrun_ = true;
      return;
    }
    if (tree_.outputStream) {
      tree_.outputStream->write(reinterpret_cast<const char*>(p), std::streamsize(n));
    } else {
      std::memcpy(tree_.imageBuffer.data() + tree_.outputPosition, p, n);
    }
    tree_.outputPosition += n;
  }
  bool Overrun() const { return overrun_; }
  void MarkOverrun() { overrun_ = true; }
  void Block(const std::vector<uint8_t>& b) { Write(b.data(), b.size()); }
  void Zeros(uint32_t blocks) {
    static const std::vector<uint8_t> zero(kBlock, 0);
    for (uint32_t i = 0; i < blocks; ++i) Block(zero);
  }

 private:
  TTreeContext& tree_;
  uint64_t limit_;
  bool overrun_ = false;
};

void PutDate(uint8_t* p, const TSystemTime& t, int offset) {
  p[0] = uint8_t(t.year >= 1900 ? t.year - 1900 : 0);
  p[1] = uint8_t(t.month);
  p[2] = uint8_t(t.day);
  p[3] = uint8_t(t.hour);
  p[4] = uint8_t(t.minute);
  p[5] = uint8_t(t.second);
  p[6] = uint8_t(int8_t(offset));
}

std::vector<uint8_t> Ucs2Be(const std::u16string& s) {
  std::vector<uint8_t> out;
  out.reserve(s.size() * 2);
  for (char16_t c : s) {
    out.push_back(uint8_t(c >> 8));
    out.push_back(uint8_t(c));
  }
  return out;
}

// One directory record; returns its length.
size_t Record(uint8_t* p, uint32_t extent, uint32_t length, const TSystemTime* date, int offset,
              uint8_t flags, const uint8_t* id, size_t idLen) {
  const size_t len = 33 + idLen + (idLen % 2 == 0 ? 1 : 0);
  std::memset(p, 0, len);
  p[0] = uint8_t(len);
  PutBoth32(p + 2, extent);
  PutBoth32(p + 10, length);
  if (date) PutDate(p + 18, *date, offset);
  p[25] = flags;
  PutBoth16(p + 28, 1);
  p[32] = uint8_t(idLen);
  std::memcpy(p + 33, id, idLen);
  return len;
}

}  // namespace

std::string IsoIdentifier(const TTreeContext& tree, const TFileEntry& e) {
  if (tree.layout.ISO9660v1999FS) return CutUtf8(WideToUtf8(e.longName), kMaxIso1999Name);
  return e.shortName;
}

uint32_t FileExtent(const TTreeContext& tree, const TFileEntry& e) {
  if (e.size == 0) return 0;
  if (e.imported) return e.block;
  return tree.layout.fileAreaStart + e.block + tree.layout.sessionStart;
}

uint32_t PrepareImage(TTreeContext& tree) {
  TImageLayout& L = tree.layout;
  L.state = 6;
  L.prepared = false;
  const bool joliet = L.JolietFileSystem;

  // Names first: the orders below follow the identifiers written.
  for (auto& d : tree.directories) AssignJolietNames(d.get());
  // Directory records in the order of their identifiers, each tree by its
  // own; path tables level by level, by parent number, then by identifier.
  auto isoOrder = [&](const TFileEntry* a, const TFileEntry* b) {
    return CompareIdentifiers(IsoIdentifier(tree, *a), IsoIdentifier(tree, *b)) < 0;
  };
  auto jolietOrder = [](const TFileEntry* a, const TFileEntry* b) {
    return CompareIdentifiers(a->jolietName, b->jolietName) < 0;
  };
  for (auto& d : tree.directories) {
    std::stable_sort(d->files.begin(), d->files.end(), isoOrder);
    d->jolietFiles = d->files;
    std::stable_sort(d->jolietFiles.begin(), d->jolietFiles.end(), jolietOrder);
  }
  NumberPathTable(tree.root, tree.pathTable, &TDirectory::files, &TDirectory::number,
                  &TDirectory::parentNumber);
  NumberPathTable(tree.root, tree.jolietPathTable, &TDirectory::jolietFiles,
                  &TDirectory::jolietNumber, &TDirectory::jolietParentNumber);
  for (TDirectory* d : tree.pathTable) d->depth = d == tree.root ? 0 : d->parent->depth + 1;

  uint32_t next = 16;
  L.primaryBlock = next++;
  L.enhancedBlock = L.ISO9660v1999FS ? next++ : 0;
  L.bootRecordBlock = tree.bootImagePath.empty() ? 0 : next++;
  L.jolietBlock = joliet ? next++ : 0;
  L.terminatorBlock = next++;
  // The UDF bridge keeps its descriptors, anchor and file set in the fixed
  // blocks that follow; the ISO tables continue behind them.
  if (L.UDFBridge) next = UdfLayoutDescriptors(tree, L.terminatorBlock);

  L.isoPathTableSize = 10;
  L.jolietPathTableSize = 10;
  for (size_t i = 1; i < tree.pathTable.size(); ++i) {
    const size_t n = DirIsoIdentifier(tree, tree.pathTable[i]).size();
    L.isoPathTableSize += uint32_t(8 + n + (n % 2));
    L.jolietPathTableSize += uint32_t(8 + 2 * tree.pathTable[i]->entry->jolietName.size());
  }
  L.isoLTable = next;
  next += Blocks(L.isoPathTableSize);
  L.isoMTable = next;
  next += Blocks(L.isoPathTableSize);
  if (joliet) {
    L.jolietLTable = next;
    next += Blocks(L.jolietPathTableSize);
    L.jolietMTable = next;
    next += Blocks(L.jolietPathTableSize);
  } else {
    L.jolietLTable = L.jolietMTable = 0;
  }

  L.isoDirStart = next;
  uint32_t running = 0;
  for (auto& d : tree.directories) {
    std::vector<size_t> sizes;
    sizes.reserve(d->files.size());
    for (TFileEntry* e : d->files)
      sizes.insert(sizes.end(), RecordCount(*e), IsoRecordSize(IsoIdentifier(tree, *e).size()));
    const uint32_t b = DirectoryBlocks(sizes);
    d->isoExtent = running;
    d->isoLength = b * kBlock;
    running += b;
  }
  L.isoDirBlocks = running;
  next += running;

  L.jolietDirStart = joliet ? next : 0;
  running = 0;
  if (joliet) {
    for (auto& d : tree.directories) {
      std::vector<size_t> sizes;
      sizes.reserve(d->jolietFiles.size());
      for (TFileEntry* e : d->jolietFiles)
        sizes.insert(sizes.end(), RecordCount(*e), JolietRecordSize(e->jolietName.size()));
      const uint32_t b = DirectoryBlocks(sizes);
      d->jolietExtent = running;
      d->jolietLength = b * kBlock;
      running += b;
    }
  }
  L.jolietDirBlocks = running;
  next += running;

  L.bootCatalogBlock = tree.bootImagePath.empty() ? 0 : next++;
  L.paddingBlocks = next < 150 ? 150 - next : 0;
  next += L.paddingBlocks;
  L.headerBlocks = next;
  if (L.UDFBridge) {
    next += UdfLayoutEntries(tree, next);
  } else {
    tree.udfUnits.clear();
    L.udfAreaStart = L.udfAreaBlocks = 0;
  }
  L.fileAreaStart = next;

  uint32_t fileBlocks = 0;
  for (auto& f : tree.files) {
    TFileEntry* e = f.get();
    if (e->IsDirectory()) continue;
    if (e->size == 0) {
      if (!e->imported) e->block = 0;
      continue;
    }
    if (e->imported) continue;
    e->block = fileBlocks;
    fileBlocks += Blocks(e->size);
  }
  if (!tree.bootImagePath.empty()) {
    L.bootImageBlock = L.fileAreaStart + fileBlocks;
    fileBlocks += Blocks(tree.bootImageSize);
  } else {
    L.bootImageBlock = 0;
  }
  L.totalFileBlocks = fileBlocks;
  uint32_t end = L.fileAreaStart + fileBlocks;
  // The bridge closes the image with a second anchor in its last block; a
  // data end on a 64 KB boundary takes a whole further 64 KB for it.
  L.udfEndAligned = L.UDFBridge && end % 32 == 0;
  if (L.UDFBridge) ++end;
  L.imageEnd = (end + 31) / 32 * 32;
  if (L.UDFBridge) UdfBindSession(tree);
  L.state = 0;
  L.prepared = true;
  return end;
}

uint32_t GetImageBlocks(const TTreeContext& tree) { return tree.layout.imageEnd; }

namespace {

std::vector<uint8_t> VolumeDescriptor(const TTreeContext& tree, uint8_t type, uint8_t version,
                                      bool jolietTree) {
  const TImageLayout& L = tree.layout;
  std::vector<uint8_t> b(kBlock, 0);
  b[0] = type;
  std::memcpy(&b[1], "CD001", 5);
  b[6] = version;
  if (jolietTree) {
    std::u16string label = Utf8ToWide(tree.volumeLabel).substr(0, 16);
    auto ucs = Ucs2Be(label);
    if (!ucs.empty()) std::memcpy(&b[40], ucs.data(), ucs.size());
  } else {
    std::string label = tree.volumeLabel.substr(0, 32);
    for (char& c : label)
      if (c >= 'a' && c <= 'z') c = char(c - 32);
    std::memcpy(&b[40], label.data(), label.size());
  }
  // Extents below hold absolute addresses, so the volume must reach past
  // the session's last block on every medium.
  PutBoth32(&b[80], L.imageEnd + std::max(L.volumeBase, L.sessionStart));
  // The UCS-2 escape belongs to the Joliet descriptor only: in the primary
  // one it makes readers take the 8.3 names for UCS-2 text.
  if (jolietTree) {
    b[88] = 0x25; b[89] = 0x2F; b[90] = 0x40;
  }
  PutBoth16(&b[120], 1);
  PutBoth16(&b[124], 1);
  PutBoth16(&b[128], kBlock);
  const uint32_t ptSize = jolietTree ? L.jolietPathTableSize : L.isoPathTableSize;
  PutBoth32(&b[132], ptSize);
  PutLe32(&b[140], (jolietTree ? L.jolietLTable : L.isoLTable) + L.sessionStart);
  PutBe32(&b[148], (jolietTree ? L.jolietMTable : L.isoMTable) + L.sessionStart);
  const TDirectory* root = tree.root;
  const uint32_t extent = jolietTree ? L.jolietDirStart + root->jolietExtent
                                     : L.isoDirStart + root->isoExtent;
  const uint32_t length = jolietTree ? root->jolietLength : root->isoLength;
  const uint8_t id = 0;
  Record(&b[156], extent + L.sessionStart, length, nullptr, 0, 2, &id, 1);
  b[881] = version;
  return b;
}

// Empty when the records do not fit the laid-out size.
std::vector<uint8_t> PathTable(const TTreeContext& tree, bool joliet, bool bigEndian) {
  const TImageLayout& L = tree.layout;
  const uint32_t size = joliet ? L.jolietPathTableSize : L.isoPathTableSize;
  std::vector<uint8_t> t(size_t(Blocks(size)) * kBlock, 0);
  size_t pos = 0;
  const uint32_t area = joliet ? L.jolietDirStart : L.isoDirStart;
  const auto& order = joliet ? tree.jolietPathTable : tree.pathTable;
  for (size_t i = 0; i < order.size(); ++i) {
    const TDirectory* d = order[i];
    std::vector<uint8_t> id;
    if (i == 0) {
      id = {0};
    } else if (joliet) {
      id = Ucs2Be(d->entry->jolietName);
    } else {
      std::string s = DirIsoIdentifier(tree, d);
      id.assign(s.begin(), s.end());
    }
    if (pos + 8 + id.size() > size) return {};
    uint8_t* p = t.data() + pos;
    p[0] = uint8_t(id.size());
    p[1] = 0;
    const uint32_t extent = area + (joliet ? d->jolietExtent : d->isoExtent) + L.sessionStart;
    if (bigEndian) {
      PutBe32(p + 2, extent);
      PutBe16(p + 6, uint16_t(joliet ? d->jolietParentNumber : d->parentNumber));
    } else {
      PutLe32(p + 2, extent);
      PutLe16(p + 6, uint16_t(joliet ? d->jolietParentNumber : d->parentNumber));
    }
    std::memcpy(p + 8, id.data(), id.size());
    pos += 8 + id.size() + (id.size() % 2);
  }
  return t;
}

void Directories(TTreeContext& tree, Sink& out, bool joliet) {
  const TImageLayout& L = tree.layout;
  const uint32_t area = joliet ? L.jolietDirStart : L.isoDirStart;
  for (auto& dp : tree.directories) {
    const TDirectory* d = dp.get();
    const uint32_t length = joliet ? d->jolietLength : d->isoLength;
    std::vector<uint8_t> buf(length, 0);
    auto extentOf = [&](const TDirectory* x) {
      return area + (joliet ? x->jolietExtent : x->isoExtent) + L.sessionStart;
    };
    auto lengthOf = [&](const TDirectory* x) { return joliet ? x->jolietLength : x->isoLength; };
    size_t pos = 0;
    const uint8_t dot = 0, dotdot = 1;
    if (buf.size() < 68) {
      out.MarkOverrun();
      return;
    }
    pos += Record(&buf[pos], extentOf(d), length, nullptr, 0, 2, &dot, 1);
    pos += Record(&buf[pos], extentOf(d->parent), lengthOf(d->parent), nullptr, 0, 2, &dotdot, 1);
    for (const TFileEntry* e : joliet ? d->jolietFiles : d->files) {
      std::vector<uint8_t> id;
      if (joliet) {
        id = Ucs2Be(e->jolietName);
      } else {
        std::string s = IsoIdentifier(tree, *e);
        id.assign(s.begin(), s.end());
      }
      const size_t r = 33 + id.size() + (id.size() % 2 == 0 ? 1 : 0);
      std::vector<TExtent> extents;
      uint8_t flags = 0;
      if (e->subdir) {
        extents = {{extentOf(e->subdir), lengthOf(e->subdir)}};
        flags = 2;
      } else if (e->imported && e->size > 0) {
        extents = ImportedExtents(*e);
      } else {
        extents = {{FileExtent(tree, *e), uint32_t(e->size)}};
      }
      const uint32_t attrs = e->attributes;
      if (attrs == 0 || attrs == kAttrHidden) flags |= 1;
      for (size_t i = 0; i < extents.size(); ++i) {
        if (pos % kBlock + r > kBlock) pos = (pos / kBlock + 1) * kBlock;
        if (pos + r > buf.size()) {
          out.MarkOverrun();  // the entries no longer match the layout
          return;
        }
        // Every record of a file in several extents but its last says more follow.
        const uint8_t more = i + 1 < extents.size() ? 0x80 : 0;
        pos += Record(&buf[pos], extents[i].block, extents[i].length, &e->modified,
                      tree.timeZoneOffset, uint8_t(flags | more), id.data(), id.size());
      }
    }
    out.Block(buf);
  }
}

std::vector<uint8_t> BootCatalog(const TTreeContext& tree) {
  std::vector<uint8_t> b(kBlock, 0);
  b[0] = 1;  // header
  b[1] = 0;  // x86
  const char* id = "Lodra CD/DVD Burner";
  std::memcpy(&b[4], id, std::strlen(id));
  b[30] = 0x55;
  b[31] = 0xAA;
  uint32_t sum = 0;
  for (int i = 0; i < 32; i += 2) sum += uint32_t(b[size_t(i)] | (b[size_t(i) + 1] << 8));
  const uint16_t check = uint16_t(0x10000 - (sum & 0xFFFF));
  PutLe16(&b[28], check);
  uint8_t* e = &b[32];
  e[0] = 0x88;
  uint8_t media = 4;
  uint16_t sectors = 1;
  switch (tree.bootImageSize) {
    case 2048: media = 0; sectors = 4; break;
    case 1228800: media = 1; break;
    case 1474560: media = 2; break;
    case 2949120: media = 3; break;
    default: break;
  }
  e[1] = media;
  PutLe16(e + 6, sectors);
  PutLe32(e + 8, tree.layout.bootImageBlock + tree.layout.sessionStart);
  return b;
}

}  // namespace

bool GenerateImageHeader(TTreeContext& tree) {
  TImageLayout& L = tree.layout;
  if (!L.prepared) return false;
  tree.outputPosition = 0;
  if (L.UDFBridge) UdfBindSession(tree);  // the session start is known by now
  if (!tree.outputStream) tree.imageBuffer.assign(size_t(L.headerBlocks) * kBlock, 0);
  Sink out(tree, uint64_t(L.headerBlocks) * kBlock);
  out.Zeros(16);
  out.Block(VolumeDescriptor(tree, 1, 1, false));
  if (L.ISO9660v1999FS) {
    auto b = VolumeDescriptor(tree, 2, 2, false);
    b[881] = 2;
    out.Block(b);
  }
  if (L.bootRecordBlock) {
    std::vector<uint8_t> b(kBlock, 0);
    b[0] = 0;
    std::memcpy(&b[1], "CD001", 5);
    b[6] = 1;
    const char* sys = "EL TORITO SPECIFICATION";
    std::memcpy(&b[7], sys, std::strlen(sys));
    PutLe32(&b[71], L.bootCatalogBlock + L.sessionStart);
    out.Block(b);
  }
  if (L.JolietFileSystem) out.Block(VolumeDescriptor(tree, 2, 1, true));
  {
    std::vector<uint8_t> b(kBlock, 0);
    b[0] = 255;
    std::memcpy(&b[1], "CD001", 5);
    b[6] = 1;
    out.Block(b);
  }
  if (L.UDFBridge) UdfWriteDescriptors(tree, [&](const std::vector<uint8_t>& b) { out.Block(b); });
  auto table = [&](bool joliet, bool bigEndian) {
    const auto t = PathTable(tree, joliet, bigEndian);
    if (t.empty()) out.MarkOverrun();
    out.Block(t);
  };
  table(false, false);
  table(false, true);
  if (L.JolietFileSystem) {
    table(true, false);
    table(true, true);
  }
  Directories(tree, out, false);
  if (L.JolietFileSystem) Directories(tree, out, true);
  if (L.bootCatalogBlock) out.Block(BootCatalog(tree));
  out.Zeros(L.paddingBlocks);
  return !out.Overrun() && tree.outputPosition == uint64_t(L.headerBlocks) * kBlock;
}

}  // namespace yux::disc
