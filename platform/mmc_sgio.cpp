#include "platform/mmc_sgio.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace yux::platform {

int SgIoTransport::OpenDevice(const std::string& path, bool exclusive,
                              const OpenFunction& openFn, int& systemError) {
  auto open = [&](int flags) {
    return openFn ? openFn(path.c_str(), flags) : ::open(path.c_str(), flags);
  };
  int fd;
  if (exclusive) {
    fd = open(O_RDWR | O_NONBLOCK | O_CLOEXEC | O_EXCL);
  } else {
    fd = open(O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) fd = open(O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  }
  systemError = fd < 0 ? errno : 0;
  return fd;
}

std::shared_ptr<SgIoTransport> SgIoTransport::Open(const std::string& devicePath,
                                                   int& systemError, IoctlFunction ioctlFn,
                                                   bool exclusive, OpenFunction openFn) {
  const int fd = OpenDevice(devicePath, exclusive, openFn, systemError);
  if (fd < 0) return nullptr;
  auto t = std::make_shared<SgIoTransport>(fd, devicePath, std::move(ioctlFn));
  t->exclusive_ = exclusive;
  t->open_ = std::move(openFn);
  return t;
}

SgIoTransport::SgIoTransport(int fd, std::string devicePath, IoctlFunction ioctlFn)
    : fd_(fd), path_(std::move(devicePath)), ioctl_(std::move(ioctlFn)) {
  if (!ioctl_) {
    ioctl_ = [](int f, unsigned long req, void* arg) { return ::ioctl(f, req, arg); };
  } else if (fd_ < 0) {
    ownsFd_ = false;  // an injected ioctl needs no real descriptor
  }
}

SgIoTransport::~SgIoTransport() { Close(); }

void SgIoTransport::Close() {
  if (fd_ >= 0 && ownsFd_) ::close(fd_);
  if (ownsFd_) fd_ = -1;
}

bool SgIoTransport::EnsureOpen(int& systemError) {
  if (fd_ >= 0 || !ownsFd_) return true;
  fd_ = OpenDevice(path_, exclusive_, open_, systemError);
  return fd_ >= 0;
}

MmcResult SgIoTransport::Execute(const MmcRequest& request) {
  MmcResult result;
  if (!EnsureOpen(result.systemError)) return result;
  sg_io_hdr_t hdr;
  std::memset(&hdr, 0, sizeof hdr);
  hdr.interface_id = 'S';
  switch (request.direction) {
    case MmcDirection::In: hdr.dxfer_direction = SG_DXFER_FROM_DEV; break;
    case MmcDirection::Out: hdr.dxfer_direction = SG_DXFER_TO_DEV; break;
    default: hdr.dxfer_direction = SG_DXFER_NONE; break;
  }
  if (request.length == 0) hdr.dxfer_direction = SG_DXFER_NONE;
  hdr.cmd_len = static_cast<unsigned char>(request.cdbLength);
  hdr.cmdp = const_cast<unsigned char*>(request.cdb);
  hdr.dxfer_len = request.length;
  hdr.dxferp = request.length ? request.data : nullptr;
  hdr.mx_sb_len = sizeof result.sense;
  hdr.sbp = result.sense;
  hdr.timeout = request.timeoutMs;
  if (ioctl_(fd_, SG_IO, &hdr) < 0) {
    result.systemError = errno;
    return result;
  }
  result.sent = true;
  result.scsiStatus = hdr.status;
  result.senseLength = hdr.sb_len_wr;
  const int residual = hdr.resid > 0 ? hdr.resid : 0;
  result.transferred = request.length > static_cast<uint32_t>(residual)
                           ? request.length - static_cast<uint32_t>(residual) : 0;
  // A transport or host failure without a SCSI status still failed.
  if (result.scsiStatus == 0 && (hdr.host_status != 0 || (hdr.driver_status & 0x0F) != 0)) {
    result.scsiStatus = 2;
    if (result.senseLength == 0) SetSense(result, 0x0B, 0, 0);  // aborted command
  }
  return result;
}

namespace {

bool ParseAddress(const std::string& text, MmcAddress& a) {
  int h, c, t, l;
  char tail;
  if (std::sscanf(text.c_str(), "%d:%d:%d:%d%c", &h, &c, &t, &l, &tail) != 4) return false;
  a = {h, c, t, l};
  return true;
}

bool AddressFromLink(const std::string& deviceLink, MmcAddress& a) {
  std::error_code ec;
  auto link = std::filesystem::read_symlink(deviceLink, ec);
  if (ec) return false;
  return ParseAddress(link.filename().string(), a);
}

bool AddressFromSysfs(const std::string& sysRoot, const std::string& name, MmcAddress& a) {
  return AddressFromLink(sysRoot + "/block/" + name + "/device", a);
}

// "/dev/sr0" -> "sr0"
std::string BaseName(const std::string& path) {
  auto p = path.rfind('/');
  return p == std::string::npos ? path : path.substr(p + 1);
}

}  // namespace

bool SgIoTransport::GetAddress(MmcAddress& address) {
  return DeviceAddress(path_, address);
}

bool DeviceAddress(const std::string& devicePath, MmcAddress& address,
                   const std::string& sysRoot) {
  // "/dev/cdrom" and the like are links to the device itself.
  std::error_code ec;
  std::string name = BaseName(devicePath);
  const auto target = std::filesystem::canonical(devicePath, ec);
  if (!ec) name = target.filename().string();
  // Block devices (sr*) have their link under block/, the generic SCSI
  // devices (sg*) only under class/scsi_generic/.
  const std::string block = sysRoot + "/block/" + name + "/device";
  const std::string generic = sysRoot + "/class/scsi_generic/" + name + "/device";
  if (name.rfind("sg", 0) == 0)
    return AddressFromLink(generic, address) || AddressFromLink(block, address);
  return AddressFromLink(block, address) || AddressFromLink(generic, address);
}

std::vector<OpticalDrive> DiscoverOpticalDrives(const std::string& sysRoot,
                                                const std::string& procRoot,
                                                const std::string& devRoot) {
  std::set<std::string> names;
  {
    std::ifstream info(procRoot + "/sys/dev/cdrom/info");
    std::string line;
    while (std::getline(info, line)) {
      if (line.rfind("drive name:", 0) != 0) continue;
      std::istringstream words(line.substr(11));
      std::string w;
      while (words >> w) names.insert(w);
    }
  }
  std::error_code ec;
  for (auto it = std::filesystem::directory_iterator(sysRoot + "/block", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    std::string n = it->path().filename().string();
    if (n.size() > 2 && n.compare(0, 2, "sr") == 0 &&
        std::all_of(n.begin() + 2, n.end(), [](char c) { return c >= '0' && c <= '9'; }))
      names.insert(n);
  }
  std::vector<OpticalDrive> drives;
  for (const auto& n : names) {
    OpticalDrive d;
    d.name = n;
    d.device = devRoot + "/" + n;
    d.hasAddress = AddressFromSysfs(sysRoot, n, d.address);
    drives.push_back(d);
  }
  // sr2 before sr10
  std::sort(drives.begin(), drives.end(), [](const OpticalDrive& a, const OpticalDrive& b) {
    auto num = [](const std::string& s) {
      return std::strtol(s.c_str() + 2, nullptr, 10);
    };
    bool ar = a.name.rfind("sr", 0) == 0, br = b.name.rfind("sr", 0) == 0;
    if (ar && br) return num(a.name) < num(b.name);
    return a.name < b.name;
  });
  return drives;
}

}  // namespace yux::platform
