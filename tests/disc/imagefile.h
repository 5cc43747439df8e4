#pragma once
// Test helpers: turn a prepared file tree into a whole image (header, file
// data, boot image, padding) the way the writer lays it on the disc.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "disc/scsilib.h"
#include "disc/tree.h"

namespace yux::disc::test {

// The blocks of the session, from its first block to the image end.
std::vector<uint8_t> BuildSession(TTreeContext& tree);
// Prepares the tree and writes the session to a file; false on failure.
bool WriteImageFile(TTreeContext& tree, const std::string& path);
// A file of the given size with varied bytes (seeded by `seed`).
void MakeFile(const std::string& path, size_t size, unsigned seed);
std::string Md5Of(const std::string& path);  // via md5sum
// The MD5 of some bytes, and of a file's bytes, as verify writes it.
std::string Md5Text(const std::string& bytes);
std::string Md5TextOfFile(const std::filesystem::path& path);
// Writes the tree as the next session of the selected drive the way the
// writer does (session start from the medium, blocks written there, the
// session closed and left open for more); returns the session start.
uint32_t BurnSession(TTreeContext& tree, TSCSIDevice& dev);

}  // namespace yux::disc::test

namespace yux::disc::test {

// Reads `count` blocks from absolute block `lba` of a disc or image.
using BlockReader = std::function<std::vector<uint8_t>(uint32_t lba, uint32_t count)>;
// A small reader that checks the order ISO 9660 prescribes in the volume
// whose descriptors start at `sessionStart` + 16, for the primary and the
// Joliet tree: path tables by level, parent number and identifier (the M
// table the same as the L table), and the records of every directory by
// identifier. Returns one line per fault found; empty when all is in order.
std::vector<std::string> IsoOrderFaults(const BlockReader& read, uint32_t sessionStart);

}  // namespace yux::disc::test
