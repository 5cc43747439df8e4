#pragma once
// The pass-through to real optical drives: SG_IO on /dev/sr*, and discovery
// of the drives from /sys/block and /proc/sys/dev/cdrom.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/mmc_transport.h"

namespace yux::platform {

// The ioctl call, replaceable so that the request can be checked without a
// drive. Returns -1 and sets errno on failure, like ioctl(2).
using IoctlFunction = std::function<int(int fd, unsigned long request, void* arg)>;
// The open call, replaceable likewise (returns -1 and sets errno, like
// open(2)).
using OpenFunction = std::function<int(const char* path, int flags)>;

class SgIoTransport : public MmcTransport {
 public:
  // Opens the device for reading and writing, else read-only (both
  // non-blocking so that an empty tray does not stall the open), shared
  // with other programs. Exclusive, it is opened for reading and writing
  // with O_EXCL only, as writing and erasing need it: another program that
  // holds the drive makes it fail with DriveHeldElsewhereError(). Returns
  // null and the errno in systemError when no open works.
  static std::shared_ptr<SgIoTransport> Open(const std::string& devicePath, int& systemError,
                                             IoctlFunction ioctlFn = {}, bool exclusive = false,
                                             OpenFunction openFn = {});
  // Wraps an already open descriptor (or -1 for a transport that only
  // talks to an injected ioctl).
  SgIoTransport(int fd, std::string devicePath, IoctlFunction ioctlFn);
  ~SgIoTransport() override;

  MmcResult Execute(const MmcRequest& request) override;
  bool GetAddress(MmcAddress& address) override;
  void Close() override;

  const std::string& DevicePath() const { return path_; }

 private:
  bool EnsureOpen(int& systemError);
  static int OpenDevice(const std::string& path, bool exclusive, const OpenFunction& openFn,
                        int& systemError);
  int fd_ = -1;
  bool exclusive_ = false;
  OpenFunction open_;
  bool ownsFd_ = true;
  std::string path_;
  IoctlFunction ioctl_;
};

// The SCSI address of a device node ("/dev/sr0", "/dev/sg1", or a link to
// one) from the sysfs device link "H:C:T:L": block devices have it under
// block/, generic SCSI devices under class/scsi_generic/. False when
// neither has it.
bool DeviceAddress(const std::string& devicePath, MmcAddress& address,
                   const std::string& sysRoot = "/sys");

struct OpticalDrive {
  std::string device;      // "/dev/sr0"
  std::string name;        // "sr0"
  bool hasAddress = false;
  MmcAddress address;      // from the sysfs device link "H:C:T:L"
};

// Optical drives of the machine in name order (sr0, sr1, ...): the names
// listed by /proc/sys/dev/cdrom/info and the sr* entries of /sys/block.
// The roots are parameters so that tests can point them at a fixture.
std::vector<OpticalDrive> DiscoverOpticalDrives(const std::string& sysRoot = "/sys",
                                                const std::string& procRoot = "/proc",
                                                const std::string& devRoot = "/dev");

}  // namespace yux::platform
