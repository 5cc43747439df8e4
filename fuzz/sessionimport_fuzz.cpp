// A disc's existing session read back into the file tree, as a new backup
// session does before it is written.  The input is the start of the disc's
// image (volume descriptors from block 16, directories after them) on an
// emulated rewritable DVD; the import must end, within the bounds it sets
// itself, whatever the directory records claim.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disc/scsilib.h"
#include "disc/sessionimport.h"
#include "disc/tree.h"
#include "fuzz/fuzzsupport.h"
#include "platform/driveletters.h"
#include "platform/mmc_emulated.h"

using namespace yux;
using namespace yux::disc;

namespace {

constexpr std::size_t kBlock = 2048;
constexpr std::size_t kMaxImage = 1 << 20;
// A little room past the largest input, so that extents just beyond it
// read zeros rather than fail.
constexpr uint32_t kCapacity = uint32_t(kMaxImage / kBlock) + 32;

// The emulated drive logs every command with its data; over a long import
// that log would grow without end, so it is dropped after each command.
class ForgetfulDrive : public platform::EmulatedMmcDrive {
 public:
  using EmulatedMmcDrive::EmulatedMmcDrive;
  platform::MmcResult Execute(const platform::MmcRequest& request) override {
    platform::MmcResult r = EmulatedMmcDrive::Execute(request);
    ClearLog();
    return r;
  }
};

struct Rig {
  std::shared_ptr<ForgetfulDrive> drive;
  TSCSIDevice dev;
  Rig() {
    drive = std::make_shared<ForgetfulDrive>(fuzz::ScratchFolder() + "/disc.img",
                                             platform::kProfileDvdPlusRw, kCapacity);
    auto& map = platform::DriveLetterMap::Global();
    map.Clear();
    map.AssignEmulated('E', drive);
    if (!dev.InitializeDevices() || !dev.SelectDevice(0)) fuzz::Fail("the emulated drive did not answer");
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxImage) return 0;
  static Rig rig;

  // The whole medium is rewritten so that no earlier input shows through.
  std::vector<uint8_t> image(std::size_t(kCapacity) * kBlock, 0);
  std::copy(data, data + size, image.begin());
  rig.drive->WriteBlocks(0, image);

  TTreeContext tree;
  ImportSession(tree, rig.dev, 0, "\\");
  for (const auto& f : tree.files) YUX_FUZZ_CHECK(f != nullptr, "null entry in the file table");
  return 0;
}
