#include "tests/disc/imagefile.h"

#include <algorithm>
#include <fstream>

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
