#pragma once
// The image builder: lays the file tree out as one session of an ISO 9660
// volume with Joliet (and El Torito when a boot image is set) and produces
// every block that precedes the file data.
#include <cstdint>
#include <string>
#include <vector>

#include "disc/tree.h"

namespace yux::disc {

// Joliet identifiers longer than this do not fit a directory record.
constexpr size_t kMaxJolietName = 110;
// ISO 9660:1999 identifiers are at most this many bytes.
constexpr size_t kMaxIso1999Name = 207;

// Lays the image out; returns its size in blocks (file area start + file
// blocks) and marks the tree prepared.
uint32_t PrepareImage(TTreeContext& tree);
// Writes the system area, descriptors, path tables, directories, boot
// catalog and padding: into tree.outputStream when set, else into
// tree.imageBuffer (file area start x 2048 bytes). False when the tree was
// not prepared.
bool GenerateImageHeader(TTreeContext& tree);
// The image end, rounded up to 32 blocks.
uint32_t GetImageBlocks(const TTreeContext& tree);
// The absolute block of a file's data (0 for empty files).
uint32_t FileExtent(const TTreeContext& tree, const TFileEntry& e);

// The identifier an entry gets in the ISO 9660 tree (8.3 or long ANSI).
std::string IsoIdentifier(const TTreeContext& tree, const TFileEntry& e);

}  // namespace yux::disc
