#include "disc/udfbridge.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <unordered_set>

#include "disc/commonlib.h"

namespace yux::disc {

namespace {

constexpr uint32_t kBlock = 2048;

const uint16_t* CrcTable() {
  static uint16_t table[256];
  static bool ready = [] {
    for (int i = 0; i < 256; ++i) {
      uint16_t c = uint16_t(i << 8);
      for (int k = 0; k < 8; ++k) c = uint16_t((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
      table[i] = c;
    }
    return true;
  }();
  (void)ready;
  return table;
}

void Put16(uint8_t* p, uint32_t v) { PutLe16(p, uint16_t(v)); }
void Put32(uint8_t* p, uint32_t v) { PutLe32(p, v); }
void Put64(uint8_t* p, uint64_t v) {
  PutLe32(p, uint32_t(v));
  PutLe32(p + 4, uint32_t(v >> 32));
}

// Fills the 16-byte tag of a descriptor of `length` bytes at `p`.
void Tag(uint8_t* p, uint16_t id, size_t length, uint32_t location) {
  Put16(p, id);
  Put16(p + 2, 2);
  p[5] = 0;
  Put16(p + 6, 1);
  const size_t crcLength = length - 16;
  Put16(p + 8, UdfCrc(p + 16, crcLength));
  Put16(p + 10, uint32_t(crcLength));
  Put32(p + 12, location);
  uint8_t sum = 0;
  for (int i = 0; i < 16; ++i)
    if (i != 4) sum = uint8_t(sum + p[i]);
  p[4] = sum;
}

void CharSpec(uint8_t* p) {
  p[0] = 0;  // CS0
  const char* name = "OSTA Compressed Unicode";
  std::memcpy(p + 1, name, std::strlen(name));
}

// A registered identifier: flags, up to 23 identifier bytes, suffix.
void RegId(uint8_t* p, const char* id, std::initializer_list<uint8_t> suffix) {
  p[0] = 0;
  std::memcpy(p + 1, id, std::min<size_t>(23, std::strlen(id)));
  size_t i = 24;
  for (uint8_t b : suffix) p[i++] = b;
}

void ImplementationId(uint8_t* p) { RegId(p, "*Varnholtzen LodraUDF", {6}); }
void UdfDomain(uint8_t* p, bool withFlags) {
  if (withFlags) RegId(p, "*OSTA UDF Compliant", {0x50, 0x01, 0x03});
  else RegId(p, "*OSTA UDF Compliant", {0x50, 0x01});
}

// A d-string field of `width` bytes: the compressed text, zero bytes, and
// its length in the last byte.
void DString(uint8_t* p, size_t width, const std::vector<uint8_t>& cs0) {
  const size_t n = std::min(cs0.size(), width - 1);
  if (n) std::memcpy(p, cs0.data(), n);  // an empty label has no text at all
  p[width - 1] = uint8_t(n);
}

void LongAd(uint8_t* p, uint32_t length, uint32_t lbn, uint32_t uniqueId = 0) {
  Put32(p, length);
  Put32(p + 4, lbn);
  Put16(p + 8, 0);  // partition reference
  // implementation use: flags (2) and the UDF unique ID (4)
  Put32(p + 12, uniqueId);
}

void ExtentAd(uint8_t* p, uint32_t length, uint32_t location) {
  Put32(p, length);
  Put32(p + 4, location);
}

std::vector<uint8_t> LabelCs0(const TTreeContext& tree) {
  const std::u16string label = UdfLabel(tree.volumeLabel);
  if (label.empty()) return {};
  return UdfCompress(label, 16);
}

uint32_t FidSize(size_t nameUnits, bool parent) {
  const uint32_t l = parent ? 0 : uint32_t(2 * nameUnits + 1);
  return (38 + l + 3) / 4 * 4;
}

// Names cut to fit an identifier; a cut name that meets another one gets a
// number before its extension.
void AssignUdfNames(TDirectory* dir) {
  std::unordered_set<std::u16string> used;
  for (TFileEntry* e : dir->files)
    if (e->longName.size() <= kMaxUdfName) used.insert(FoldName(e->longName));
  for (TFileEntry* e : dir->files) {
    if (e->longName.size() <= kMaxUdfName) {
      e->udfName = e->longName;
      continue;
    }
    std::u16string ext;
    const auto dot = e->longName.rfind(u'.');
    if (dot != std::u16string::npos && e->longName.size() - dot <= 16 && !e->IsDirectory())
      ext = e->longName.substr(dot);
    for (int n = 0;; ++n) {
      std::u16string tail = n ? u"~" + Utf8ToWide(std::to_string(n)) : u"";
      std::u16string base = e->longName.substr(0, kMaxUdfName - ext.size() - tail.size());
      if (!base.empty() && base.back() >= 0xD800 && base.back() <= 0xDBFF) base.pop_back();
      std::u16string candidate = base + tail + ext;
      if (used.insert(FoldName(candidate)).second) {
        e->udfName = candidate;
        break;
      }
    }
  }
}

struct Sizer {
  TTreeContext& tree;
  uint32_t next;
  uint32_t uniqueId = 16;

  void Directory(TDirectory* d) {
    TImageLayout& L = tree.layout;
    ++L.udfDirectories;
    d->udfBlock = next++;
    if (d->entry) d->entry->udfBlock = d->udfBlock;
    tree.udfUnits.push_back({TUdfUnit::DirectoryEntry, d, nullptr, 0});
    AssignUdfNames(d);
    uint32_t size = FidSize(0, true);
    for (TFileEntry* e : d->files) {
      size += FidSize(e->udfName.size(), false);
      if (e->imported && e->size > 0 && !e->IsDirectory())
        for (const TExtent& x : ImportedExtents(*e))
          if (x.block != 0) L.udfLowestImported = std::min(L.udfLowestImported, x.block);
    }
    d->udfLength = size;
    d->udfIdBlock = next;
    const uint32_t blocks = uint32_t(BytesToSectors(size));
    for (uint32_t i = 0; i < blocks; ++i)
      tree.udfUnits.push_back({TUdfUnit::Identifiers, d, nullptr, i});
    next += blocks;
    for (TFileEntry* e : d->files) {
      e->udfUniqueId = uniqueId++;
      if (e->subdir) {
        Directory(e->subdir);
      } else {
        ++L.udfFiles;
        e->udfBlock = next++;
        tree.udfUnits.push_back({TUdfUnit::FileEntry, nullptr, e, 0});
      }
    }
  }
};

// A block counted from the session start, as a block of the partition.
uint32_t PartitionRelative(const TImageLayout& L, uint32_t sessionBlock) {
  return L.sessionStart + sessionBlock - L.udfPartitionStart;
}

}  // namespace

uint16_t UdfCrc(const uint8_t* data, size_t length) {
  const uint16_t* t = CrcTable();
  uint16_t crc = 0;
  for (size_t i = 0; i < length; ++i) crc = uint16_t((crc << 8) ^ t[((crc >> 8) ^ data[i]) & 0xFF]);
  return crc;
}

void UdfTimestamp(uint8_t out[12], int64_t utcSeconds) {
  // Days since 1970 to a Gregorian date.
  int64_t days = utcSeconds / 86400;
  int64_t secs = utcSeconds % 86400;
  if (secs < 0) {
    secs += 86400;
    --days;
  }
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t year = yoe + era * 400;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  if (month <= 2) ++year;
  std::memset(out, 0, 12);
  Put16(out, 0x1000);  // type 1, offset 0 from UTC
  Put16(out + 2, uint32_t(year));
  out[4] = uint8_t(month);
  out[5] = uint8_t(day);
  out[6] = uint8_t(secs / 3600);
  out[7] = uint8_t(secs / 60 % 60);
  out[8] = uint8_t(secs % 60);
}

std::vector<uint8_t> UdfCompress(const std::u16string& text, uint8_t compression) {
  std::vector<uint8_t> out;
  if (compression != 8 && compression != 16) return out;
  out.push_back(compression);
  for (char16_t c : text) {
    if (compression == 16) out.push_back(uint8_t(c >> 8));
    out.push_back(uint8_t(c));
  }
  return out;
}

std::u16string UdfLabel(const std::string& label) {
  // 32 bytes: the compression byte, 15 characters, the length byte.
  std::u16string w = Utf8ToWide(label);
  if (w.size() > 15) {
    w.resize(15);
    if (w.back() >= 0xD800 && w.back() <= 0xDBFF) w.pop_back();
  }
  return w;
}

uint32_t UdfLayoutDescriptors(TTreeContext& tree, uint32_t terminatorBlock) {
  TImageLayout& L = tree.layout;
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch()).count();
  UdfTimestamp(L.udfTime, now);
  L.udfVrsStart = terminatorBlock + 1;
  L.udfLowestImported = 0xFFFFFFFFu;
  return kUdfFirstFree;
}

uint32_t UdfLayoutEntries(TTreeContext& tree, uint32_t start) {
  TImageLayout& L = tree.layout;
  tree.udfUnits.clear();
  L.udfDirectories = L.udfFiles = 0;
  L.udfAreaStart = start;
  Sizer s{tree, start};
  s.Directory(tree.root);
  L.udfAreaBlocks = s.next - start;
  return L.udfAreaBlocks;
}

void UdfBindSession(TTreeContext& tree) {
  TImageLayout& L = tree.layout;
  // Files carried over from earlier sessions keep their data where it is;
  // the partition reaches back to them so that the UDF tree lists them too.
  L.udfPartitionStart = std::min(L.sessionStart + kUdfFileSet, L.udfLowestImported);
  L.udfPartitionLength = (L.sessionStart + L.imageEnd - 1) - L.udfPartitionStart;
}

void UdfWriteDescriptors(const TTreeContext& tree,
                         const std::function<void(const std::vector<uint8_t>&)> & emit) {
  const TImageLayout& L = tree.layout;
  const uint32_t s0 = L.sessionStart;
  const std::vector<uint8_t> label = LabelCs0(tree);
  uint32_t block = L.udfVrsStart;
  auto zerosUpTo = [&](uint32_t b) {
    while (block < b) {
      emit(std::vector<uint8_t>(kBlock, 0));
      ++block;
    }
  };
  for (const char* id : {"BEA01", "NSR02", "TEA01"}) {
    std::vector<uint8_t> b(kBlock, 0);
    std::memcpy(&b[1], id, 5);
    b[6] = 1;
    emit(b);
    ++block;
  }
  for (uint32_t seq : {kUdfMainSequence, kUdfReserveSequence}) {
    zerosUpTo(seq);
    const uint32_t at = s0 + seq;
    {  // primary volume descriptor
      std::vector<uint8_t> b(kBlock, 0);
      Put32(&b[16], 1);
      Put32(&b[20], 0);
      DString(&b[24], 32, label);
      Put16(&b[56], 1);
      Put16(&b[58], 1);
      Put16(&b[60], 2);
      Put16(&b[62], 3);
      Put32(&b[64], 1);
      Put32(&b[68], 1);
      std::vector<uint8_t> vs = {8};
      for (char c : std::string("0CFE90CB")) vs.push_back(uint8_t(c));
      DString(&b[72], 128, vs);
      CharSpec(&b[200]);
      CharSpec(&b[264]);
      std::memcpy(&b[376], L.udfTime, 12);
      ImplementationId(&b[388]);
      Put16(&b[488], 0);
      Tag(b.data(), 1, 512, at);
      emit(b);
    }
    {  // logical volume descriptor
      std::vector<uint8_t> b(kBlock, 0);
      Put32(&b[16], 2);
      CharSpec(&b[20]);
      DString(&b[84], 128, label);
      Put32(&b[212], kBlock);
      UdfDomain(&b[216], true);
      LongAd(&b[248], 4096, PartitionRelative(L, kUdfFileSet));
      Put32(&b[264], 6);
      Put32(&b[268], 1);
      ImplementationId(&b[272]);
      ExtentAd(&b[432], 8192, s0 + kUdfIntegrity);
      b[440] = 1;
      b[441] = 6;
      Put16(&b[442], 1);
      Put16(&b[444], 0);
      Tag(b.data(), 6, 446, at + 1);
      emit(b);
    }
    {  // partition descriptor
      std::vector<uint8_t> b(kBlock, 0);
      Put32(&b[16], 3);
      Put16(&b[20], 1);
      Put16(&b[22], 0);
      RegId(&b[24], "+NSR02", {});
      Put32(&b[184], 1);  // read-only
      Put32(&b[188], L.udfPartitionStart);
      Put32(&b[192], L.udfPartitionLength);
      ImplementationId(&b[196]);
      Tag(b.data(), 5, 512, at + 2);
      emit(b);
    }
    {  // unallocated space descriptor
      std::vector<uint8_t> b(kBlock, 0);
      Put32(&b[16], 4);
      Put32(&b[20], 0);
      Tag(b.data(), 7, 24, at + 3);
      emit(b);
    }
    {  // implementation use volume descriptor
      std::vector<uint8_t> b(kBlock, 0);
      Put32(&b[16], 5);
      RegId(&b[20], "*UDF LV Info", {0x50, 0x01});
      CharSpec(&b[52]);
      DString(&b[116], 128, label);
      ImplementationId(&b[352]);
      Tag(b.data(), 4, 512, at + 4);
      emit(b);
    }
    {  // terminating descriptor
      std::vector<uint8_t> b(kBlock, 0);
      Tag(b.data(), 8, 512, at + 5);
      emit(b);
    }
    block += 6;
  }
  zerosUpTo(kUdfIntegrity);
  {  // logical volume integrity descriptor
    std::vector<uint8_t> b(kBlock, 0);
    std::memcpy(&b[16], L.udfTime, 12);
    Put32(&b[28], 1);  // close
    Put64(&b[40], uint64_t(L.udfFiles) + L.udfDirectories + 16);
    Put32(&b[72], 1);
    Put32(&b[76], 48);
    Put32(&b[80], 0);                      // free space
    Put32(&b[84], L.udfPartitionLength);   // size
    uint8_t* iu = &b[88];
    ImplementationId(iu);
    Put32(iu + 32, L.udfFiles);
    Put32(iu + 36, L.udfDirectories);
    Put16(iu + 40, 0x0150);
    Put16(iu + 42, 0x0150);
    Put16(iu + 44, 0x0150);
    Tag(b.data(), 9, 88 + 48, s0 + kUdfIntegrity);
    emit(b);
    std::vector<uint8_t> t(kBlock, 0);
    Tag(t.data(), 8, 512, s0 + kUdfIntegrity + 1);
    emit(t);
    block += 2;
  }
  zerosUpTo(kUdfAnchor);
  {
    std::vector<uint8_t> b(kBlock, 0);
    ExtentAd(&b[16], 32768, s0 + kUdfMainSequence);
    ExtentAd(&b[24], 32768, s0 + kUdfReserveSequence);
    Tag(b.data(), 2, 512, s0 + kUdfAnchor);
    emit(b);
    ++block;
  }
  {  // file set descriptor and its terminator, inside the partition
    std::vector<uint8_t> b(kBlock, 0);
    std::memcpy(&b[16], L.udfTime, 12);
    Put16(&b[28], 3);
    Put16(&b[30], 3);
    Put32(&b[32], 1);
    Put32(&b[36], 1);
    CharSpec(&b[48]);
    DString(&b[112], 128, label);
    CharSpec(&b[240]);
    DString(&b[304], 32, label);
    LongAd(&b[400], kBlock, PartitionRelative(L, tree.root->udfBlock));
    UdfDomain(&b[416], false);
    Tag(b.data(), 256, 512, PartitionRelative(L, kUdfFileSet));
    emit(b);
    std::vector<uint8_t> t(kBlock, 0);
    Tag(t.data(), 8, 512, PartitionRelative(L, kUdfFileSet + 1));
    emit(t);
    block += 2;
  }
}

std::vector<uint8_t> UdfAnchorAt(const TTreeContext& tree, uint32_t location) {
  const TImageLayout& L = tree.layout;
  std::vector<uint8_t> b(kBlock, 0);
  ExtentAd(&b[16], 32768, L.sessionStart + kUdfMainSequence);
  ExtentAd(&b[24], 32768, L.sessionStart + kUdfReserveSequence);
  Tag(b.data(), 2, 512, location);
  return b;
}

std::vector<uint8_t> UdfClosingAnchor(const TTreeContext& tree) {
  return UdfAnchorAt(tree, tree.layout.sessionStart + tree.layout.imageEnd - 1);
}

TUdfBlockGenerator::TUdfBlockGenerator(const TTreeContext& tree) : tree_(tree) {}

uint32_t TUdfBlockGenerator::Generate(uint8_t* buffer, uint32_t blocks) {
  uint32_t n = 0;
  while (n < blocks && next_ < tree_.udfUnits.size()) {
    Block(tree_.udfUnits[next_++], buffer + size_t(n) * kBlock);
    ++n;
  }
  return n;
}

void TUdfBlockGenerator::Block(const TUdfUnit& u, uint8_t* out) {
  const TImageLayout& L = tree_.layout;
  std::memset(out, 0, kBlock);
  if (u.kind == TUdfUnit::Identifiers) {
    if (idDir_ != u.dir) {
      // The whole identifier stream of the directory; an identifier may
      // run on into the next block.
      const TDirectory* d = u.dir;
      ids_.assign(size_t(BytesToSectors(d->udfLength)) * kBlock, 0);
      size_t pos = 0;
      auto fid = [&](uint8_t characteristics, const std::vector<uint8_t>& name, uint32_t feBlock,
                     uint32_t uniqueId) {
        uint8_t* p = &ids_[pos];
        const size_t size = (38 + name.size() + 3) / 4 * 4;
        Put16(p + 16, 1);
        p[18] = characteristics;
        p[19] = uint8_t(name.size());
        LongAd(p + 20, kBlock, PartitionRelative(L, feBlock), uniqueId);
        Put16(p + 36, 0);
        if (!name.empty()) std::memcpy(p + 38, name.data(), name.size());
        Tag(p, 257, size, PartitionRelative(L, d->udfIdBlock + uint32_t(pos / kBlock)));
        pos += size;
      };
      const TDirectory* parent = d->parent ? d->parent : d;
      fid(8, {}, parent->udfBlock, parent->entry ? parent->entry->udfUniqueId : 0);
      for (const TFileEntry* e : d->files) {
        fid(e->subdir ? 2 : 0, UdfCompress(e->udfName, 16),
            e->subdir ? e->subdir->udfBlock : e->udfBlock, e->udfUniqueId);
      }
      idDir_ = d;
    }
    std::memcpy(out, &ids_[size_t(u.index) * kBlock], kBlock);
    return;
  }
  // A file entry: a directory's or a file's.
  const bool dir = u.kind == TUdfUnit::DirectoryEntry;
  const TDirectory* d = u.dir;
  const TFileEntry* e = dir ? d->entry : u.file;
  const uint32_t self = dir ? d->udfBlock : e->udfBlock;
  // ICB tag
  Put16(out + 16 + 4, 4);   // strategy 4
  Put16(out + 16 + 8, 1);   // maximum entries
  out[16 + 11] = dir ? 4 : 5;
  Put16(out + 16 + 18, 0);  // short allocation descriptors
  Put32(out + 36, 0xFFFFFFFFu);
  Put32(out + 40, 0xFFFFFFFFu);
  Put32(out + 44, 0x14A5);
  uint32_t links = 1;
  uint64_t size;
  if (dir) {
    for (const TFileEntry* c : d->files)
      if (c->subdir) ++links;
    size = d->udfLength;
  } else {
    size = e->size;
  }
  Put16(out + 48, links);
  Put64(out + 56, size);
  Put64(out + 64, BytesToSectors(size));
  std::memcpy(out + 72, L.udfTime, 12);
  std::memcpy(out + 84, L.udfTime, 12);
  std::memcpy(out + 96, L.udfTime, 12);
  Put32(out + 108, 1);
  ImplementationId(out + 128);
  Put64(out + 160, (dir && d == tree_.root) ? 0 : e->udfUniqueId);
  Put32(out + 168, 0);
  // Allocation descriptors: extents of at most 1 GiB - 2 KB, so that a
  // large file never overflows the 30-bit extent length.
  uint32_t adLength = 0;
  uint8_t* ad = out + 176;
  auto extent = [&](uint64_t left, uint32_t position) {
    while (left > 0 && adLength + 8 <= 1872) {
      const uint32_t piece = uint32_t(std::min<uint64_t>(left, kMaxUdfExtent));
      Put32(ad + adLength, piece);
      Put32(ad + adLength + 4, position);
      adLength += 8;
      left -= piece;
      position += piece / kBlock;
    }
  };
  if (dir) {
    extent(size, PartitionRelative(L, d->udfIdBlock));
  } else if (e->imported) {
    // Data of an earlier session (in one or several extents) where it lies;
    // data the partition does not reach has no place in it.
    for (const TExtent& x : ImportedExtents(*e))
      extent(x.length, x.block >= L.udfPartitionStart ? x.block - L.udfPartitionStart : 0);
  } else {
    extent(size, PartitionRelative(L, L.fileAreaStart + e->block));
  }
  Put32(out + 172, adLength);
  Tag(out, 261, 176 + adLength, PartitionRelative(L, self));
}

}  // namespace yux::disc
