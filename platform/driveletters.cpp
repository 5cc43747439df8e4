#include "platform/driveletters.h"

#include <cerrno>
#include <cstdlib>

#include "platform/mmc_emulated.h"
#include "platform/mmc_sgio.h"

namespace yux::platform {

namespace {

// Emulated drives are shared objects; a transport handed out for one keeps
// it alive and forwards to it.
class EmulatedHandle : public MmcTransport {
 public:
  EmulatedHandle(std::shared_ptr<EmulatedMmcDrive> d, bool exclusive)
      : drive_(std::move(d)), exclusive_(exclusive) {}
  ~EmulatedHandle() override { Close(); }
  MmcResult Execute(const MmcRequest& r) override { return drive_->Execute(r); }
  bool GetAddress(MmcAddress& a) override { return drive_->GetAddress(a); }
  void Close() override {
    if (exclusive_) drive_->ReleaseExclusive();
    exclusive_ = false;
  }

 private:
  std::shared_ptr<EmulatedMmcDrive> drive_;
  bool exclusive_;
};

char Upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

}  // namespace

int DriveLetterMap::Index(char letter) {
  char c = Upper(letter);
  return (c >= 'A' && c <= 'Z') ? c - 'A' : -1;
}

DriveLetterMap& DriveLetterMap::Global() {
  static DriveLetterMap* map = [] {
    auto* m = new DriveLetterMap;
    if (const char* env = std::getenv("YUX_DRIVES")) m->Load(env);
    m->AssignDiscovered('D');
    return m;
  }();
  return *map;
}

int DriveLetterMap::Load(const std::string& text) {
  static const std::map<std::string, uint16_t> kProfiles = {
      {"CD-ROM", kProfileCdRom}, {"CD-R", kProfileCdR}, {"CD-RW", kProfileCdRw},
      {"DVD-ROM", kProfileDvdRom}, {"DVD-R", kProfileDvdR}, {"DVD-RAM", kProfileDvdRam},
      {"DVD-RW", kProfileDvdRwSequential}, {"DVD-RW-RO", kProfileDvdRwRestricted},
      {"DVD+RW", kProfileDvdPlusRw}, {"DVD+R", kProfileDvdPlusR}, {"DVD+R-DL", kProfileDvdPlusRDl},
      {"BD-ROM", kProfileBdRom}, {"BD-R", kProfileBdR}, {"BD-RE", kProfileBdRe}};
  int taken = 0;
  size_t i = 0;
  while (i <= text.size()) {
    size_t j = text.find(';', i);
    if (j == std::string::npos) j = text.size();
    const std::string item = text.substr(i, j - i);
    i = j + 1;
    if (item.size() < 3 || item[1] != '=' || Index(item[0]) < 0) continue;
    const std::string target = item.substr(2);
    if (target.rfind("emulated:", 0) == 0) {
      const size_t colon = target.find(':', 9);
      if (colon == std::string::npos) continue;
      std::string kind = target.substr(9, colon - 9);
      // An optional capacity in blocks after the profile: "CD-RW/4000".
      uint32_t capacity = 0;
      if (const size_t slash = kind.find('/'); slash != std::string::npos) {
        const std::string digits = kind.substr(slash + 1);
        kind.resize(slash);
        if (digits.empty() || digits.size() > 9 ||
            digits.find_first_not_of("0123456789") != std::string::npos)
          continue;
        capacity = uint32_t(std::stoul(digits));
        if (capacity == 0) continue;
      }
      for (char& c : kind) c = Upper(c);
      auto p = kProfiles.find(kind);
      const std::string image = target.substr(colon + 1);
      if (p == kProfiles.end() || image.empty()) continue;
      taken += AssignEmulated(item[0], std::make_shared<EmulatedMmcDrive>(image, p->second, capacity));
    } else if (target.rfind("/dev/", 0) == 0) {
      taken += AssignOptical(item[0], target);
    } else if (!target.empty()) {
      taken += AssignFolder(item[0], target);
    }
  }
  return taken;
}

void DriveLetterMap::Clear() {
  std::lock_guard lock(mutex_);
  map_.clear();
}

bool DriveLetterMap::AssignOptical(char letter, const std::string& devicePath) {
  if (Index(letter) < 0) return false;
  std::lock_guard lock(mutex_);
  map_[Upper(letter)] = DriveMapping{Upper(letter), DriveKind::Optical, devicePath, nullptr};
  return true;
}

bool DriveLetterMap::AssignEmulated(char letter, std::shared_ptr<EmulatedMmcDrive> drive) {
  if (Index(letter) < 0 || !drive) return false;
  std::lock_guard lock(mutex_);
  map_[Upper(letter)] = DriveMapping{Upper(letter), DriveKind::EmulatedOptical, {}, std::move(drive)};
  return true;
}

bool DriveLetterMap::AssignFolder(char letter, const std::string& folder) {
  if (Index(letter) < 0) return false;
  std::lock_guard lock(mutex_);
  map_[Upper(letter)] = DriveMapping{Upper(letter), DriveKind::Folder, folder, nullptr};
  return true;
}

void DriveLetterMap::Remove(char letter) {
  std::lock_guard lock(mutex_);
  map_.erase(Upper(letter));
}

void DriveLetterMap::AssignDiscovered(char first) {
  auto drives = DiscoverOpticalDrives();
  std::lock_guard lock(mutex_);
  char next = Upper(first);
  for (const auto& d : drives) {
    while (next <= 'Z' && map_.count(next)) ++next;
    if (next > 'Z') break;
    map_[next] = DriveMapping{next, DriveKind::Optical, d.device, nullptr};
  }
}

bool DriveLetterMap::Find(char letter, DriveMapping& out) const {
  std::lock_guard lock(mutex_);
  auto it = map_.find(Upper(letter));
  if (it == map_.end()) return false;
  out = it->second;
  return true;
}

std::vector<DriveMapping> DriveLetterMap::All() const {
  std::lock_guard lock(mutex_);
  std::vector<DriveMapping> v;
  for (auto& [k, m] : map_) v.push_back(m);
  return v;
}

unsigned DriveLetterMap::DriveType(char letter) const {
  DriveMapping m;
  if (!Find(letter, m)) return kDriveNoRootDir;
  return m.kind == DriveKind::Folder ? kDriveFixed : kDriveCdrom;
}

char DriveLetterMap::LetterOf(const std::string& path) const {
  std::lock_guard lock(mutex_);
  for (auto& [k, m] : map_)
    if (m.kind != DriveKind::EmulatedOptical && m.path == path) return k;
  return 0;
}

std::string DriveLetterMap::ToLocalPath(const std::string& windowsPath) const {
  if (windowsPath.size() < 2 || windowsPath[1] != ':' || Index(windowsPath[0]) < 0)
    return windowsPath;
  DriveMapping m;
  if (!Find(windowsPath[0], m) || m.kind != DriveKind::Folder) return {};
  std::string rest = windowsPath.substr(2);
  for (char& c : rest)
    if (c == '\\') c = '/';
  std::string base = m.path;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (rest.empty() || rest == "/") return base;
  if (rest[0] != '/') rest.insert(rest.begin(), '/');
  return base + rest;
}

std::shared_ptr<MmcTransport> DriveLetterMap::OpenOptical(char letter, int& systemError,
                                                          bool exclusive) const {
  DriveMapping m;
  if (!Find(letter, m) || m.kind == DriveKind::Folder) {
    systemError = ENODEV;
    return nullptr;
  }
  systemError = 0;
  if (m.kind == DriveKind::EmulatedOptical) {
    if (exclusive && !m.emulated->ClaimExclusive()) {
      systemError = DriveHeldElsewhereError();
      return nullptr;
    }
    return std::make_shared<EmulatedHandle>(m.emulated, exclusive);
  }
  return SgIoTransport::Open(m.path, systemError, {}, exclusive);
}

}  // namespace yux::platform
