#pragma once
// Drive letters as presets and history lines store them ("E:") mean nothing
// on Linux. This one map turns a letter into the drive it stands for: an
// optical drive (/dev/sr*), an emulated optical drive, or a folder.
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/mmc_transport.h"

namespace yux::platform {

class EmulatedMmcDrive;

// Windows drive types that callers switch on.
enum : unsigned {
  kDriveUnknown = 0,
  kDriveNoRootDir = 1,
  kDriveFixed = 3,
  kDriveCdrom = 5,
};

enum class DriveKind { Optical, EmulatedOptical, Folder };

struct DriveMapping {
  char letter = 0;
  DriveKind kind = DriveKind::Folder;
  std::string path;  // device or folder; the image file of an emulated drive
  std::shared_ptr<EmulatedMmcDrive> emulated;
};

class DriveLetterMap {
 public:
  // The process-wide map. On first use it takes the assignments of the
  // YUX_DRIVES environment variable (see Load), then gives the machine's
  // optical drives the free letters from D: upward in discovery order.
  static DriveLetterMap& Global();

  // Assignments separated by ';': "E=/dev/sr0" (an optical drive),
  // "F=emulated:DVD+RW:/path/disc.img" (an emulated drive over that image
  // file; a new image holds a blank medium of the named kind, one that has
  // its ".state" file beside it the medium kept there; "DVD+RW/4000" gives
  // the blank medium 4000 blocks), "K=/srv/backup" (a folder). Returns the number of assignments
  // taken; malformed ones are skipped.
  int Load(const std::string& text);

  void Clear();
  // Letters are A to Z (lower case accepted); false for anything else.
  bool AssignOptical(char letter, const std::string& devicePath);
  bool AssignEmulated(char letter, std::shared_ptr<EmulatedMmcDrive> drive);
  bool AssignFolder(char letter, const std::string& folder);
  void Remove(char letter);
  // Gives the discovered optical drives the free letters from `first` on.
  void AssignDiscovered(char first = 'D');

  bool Find(char letter, DriveMapping& out) const;
  std::vector<DriveMapping> All() const;  // in letter order
  unsigned DriveType(char letter) const;  // kDrive* as GetDriveType gives them
  // The letter a device path or emulated drive is mapped to, or 0.
  char LetterOf(const std::string& path) const;
  // "E:\dir\file" -> the mapped folder + "/dir/file"; optical letters map to
  // nothing (empty). Text without a drive letter is returned unchanged.
  std::string ToLocalPath(const std::string& windowsPath) const;
  // A transport to the optical or emulated drive of the letter; null with
  // the errno in systemError when it cannot be opened or is no optical drive.
  // Exclusive (for writing and erasing), no other program may hold the
  // drive at the same time, and none can take it while the transport lives.
  std::shared_ptr<MmcTransport> OpenOptical(char letter, int& systemError,
                                            bool exclusive = false) const;

 private:
  static int Index(char letter);
  mutable std::mutex mutex_;
  std::map<char, DriveMapping> map_;
};

}  // namespace yux::platform
