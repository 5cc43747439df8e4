#pragma once
// The UDF bridge: a UDF 1.50 file system over the same file data as the
// ISO 9660 and Joliet trees. Its volume structures are produced with the
// image header; the file entries and file identifiers are produced block by
// block while the image is written.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "disc/tree.h"

namespace yux::disc {

// Fixed blocks, counted from the session start.
constexpr uint32_t kUdfMainSequence = 32, kUdfReserveSequence = 48, kUdfIntegrity = 64,
                   kUdfAnchor = 256, kUdfFileSet = 257, kUdfFirstFree = 259;
// Longest name a UDF file identifier holds (16-bit characters plus the
// compression byte must fit 255 bytes).
constexpr size_t kMaxUdfName = 127;
// Longest extent a short allocation descriptor describes (30-bit length,
// kept a whole number of blocks).
constexpr uint32_t kMaxUdfExtent = 0x3FFFF800u;

// CRC-16 of the descriptor tags (polynomial 1021h, initial 0, MSB first).
uint16_t UdfCrc(const uint8_t* data, size_t length);
// A 12-byte timestamp of the UTC time given as seconds since 1970.
void UdfTimestamp(uint8_t out[12], int64_t utcSeconds);
// OSTA compressed Unicode: the compression byte (8 or 16) then the
// characters; empty for any other compression identifier.
std::vector<uint8_t> UdfCompress(const std::u16string& text, uint8_t compression);
// The volume label cut to what the 32-byte identifier field holds.
std::u16string UdfLabel(const std::string& label);

// Layout steps, called by the image layout.
// After the ISO descriptors: records the time and the recognition
// sequence start; returns the block where the ISO tables continue.
uint32_t UdfLayoutDescriptors(TTreeContext& tree, uint32_t terminatorBlock);
// Assigns the file-entry area from `start` on; returns its size in blocks.
uint32_t UdfLayoutEntries(TTreeContext& tree, uint32_t start);
// Once the image end and the session start are known: the partition.
void UdfBindSession(TTreeContext& tree);

// The blocks from the one after the ISO terminator up to the first free
// block (recognition sequence, volume descriptor sequences, integrity
// sequence, anchor, file set descriptor), handed out one at a time.
void UdfWriteDescriptors(const TTreeContext& tree,
                         const std::function<void(const std::vector<uint8_t>&)>& block);
// An anchor pointing at this session's volume descriptors, tagged with
// the block it is written to; the one that closes the image (its last
// block).
std::vector<uint8_t> UdfAnchorAt(const TTreeContext& tree, uint32_t location);
std::vector<uint8_t> UdfClosingAnchor(const TTreeContext& tree);

// Produces the file-entry area in layout order.
class TUdfBlockGenerator {
 public:
  explicit TUdfBlockGenerator(const TTreeContext& tree);
  // Fills up to `blocks` blocks of `buffer`; returns how many it filled
  // (0 once every block was produced).
  uint32_t Generate(uint8_t* buffer, uint32_t blocks);
  bool Done() const { return next_ >= tree_.udfUnits.size(); }

 private:
  void Block(const TUdfUnit& u, uint8_t* out);
  const TTreeContext& tree_;
  size_t next_ = 0;
  const TDirectory* idDir_ = nullptr;  // directory whose identifiers are cached
  std::vector<uint8_t> ids_;
};

}  // namespace yux::disc
