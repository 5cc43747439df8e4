#pragma once
// An emulated MMC optical drive over a sparse image file. It answers the
// commands the disc library sends the way a real writer does for the media
// profile it holds: disc and track information, write-once rules, tray and
// readiness conditions, and faults injected by tests. Every command and its
// data are logged so that tests can check the exact bytes sent.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/mmc_transport.h"

namespace yux::platform {

// MMC profile numbers of the media the emulation knows.
enum MmcProfile : uint16_t {
  kProfileNone = 0x0000,
  kProfileCdRom = 0x0008,
  kProfileCdR = 0x0009,
  kProfileCdRw = 0x000A,
  kProfileDvdRom = 0x0010,
  kProfileDvdR = 0x0011,
  kProfileDvdRam = 0x0012,
  kProfileDvdRwRestricted = 0x0013,
  kProfileDvdRwSequential = 0x0014,
  kProfileDvdPlusRw = 0x001A,
  kProfileDvdPlusR = 0x001B,
  kProfileDvdPlusRDl = 0x002B,
  kProfileBdRom = 0x0040,
  kProfileBdR = 0x0041,
  kProfileBdRe = 0x0043,
};

struct EmulatedTrack {
  uint32_t start = 0;
  uint32_t recorded = 0;      // blocks written so far
  uint32_t reservedSize = 0;  // non-zero for a reserved (fixed-size) track
  int session = 1;
  bool closed = false;
};

struct EmulatedLogEntry {
  std::vector<uint8_t> cdb;
  MmcDirection direction = MmcDirection::None;
  std::vector<uint8_t> data;  // data sent (Out) or returned (In)
  uint8_t status = 0;
  uint8_t senseKey = 0, asc = 0, ascq = 0;
  uint64_t timeMs = 0;
  uint8_t Opcode() const { return cdb.empty() ? 0 : cdb[0]; }
};

class EmulatedMmcDrive : public MmcTransport {
 public:
  // A drive holding a blank medium of the profile, backed by imagePath
  // (created sparse at the medium's capacity). capacityBlocks 0 takes the
  // usual capacity of the medium. The medium's state (profile, capacity,
  // tracks, sessions, finalized) is kept in imagePath + ".state", rewritten
  // on every change: when that file exists the drive holds that medium
  // again, so a later process continues the same disc.
  EmulatedMmcDrive(std::string imagePath, uint16_t profile, uint32_t capacityBlocks = 0);
  ~EmulatedMmcDrive() override;

  MmcResult Execute(const MmcRequest& request) override;
  bool GetAddress(MmcAddress& address) override;

  // --- identity and capabilities ---
  std::string vendor = "YUXEMU";
  std::string product = "EMULATED WRITER";
  std::string revision = "1.00";
  bool addressable = true;           // GetAddress answers
  MmcAddress address;
  uint8_t peripheralType = 5;
  // Capabilities page 2Ah, from byte 0 (page code) on.
  std::vector<uint8_t> capabilitiesPage;
  bool hasPage30 = false;            // answers MODE SENSE page 30h
  // Features answered by GET CONFIGURATION (code -> byte 4 of the descriptor).
  std::map<uint16_t, uint8_t> features;

  // --- medium and tray ---
  uint16_t Profile() const;
  void InsertMedium(uint16_t profile, uint32_t capacityBlocks = 0);  // blank medium
  void RemoveMedium();
  bool TrayOpen() const;
  bool Locked() const;
  // Tracks of the medium, the invisible (still blank) track excluded.
  std::vector<EmulatedTrack> Tracks() const;
  int ClosedSessions() const;
  bool Finalized() const;
  uint32_t Capacity() const;
  uint32_t NextWritableAddress() const;

  // --- holders ---
  // One holder at a time may have the drive for itself (as O_EXCL gives it
  // on a real drive); tests claim it to play another program.
  bool ClaimExclusive();
  void ReleaseExclusive();
  bool HeldExclusively() const;

  // --- faults ---
  void InjectMediumError(uint32_t lba);          // READ/WRITE of this block fail
  void SetBusy(int commands);                    // next N commands answer BUSY
  void FailOpcode(uint8_t opcode, int times = -1);  // CHECK CONDITION (illegal request)
  void SetNotReadyPolls(int polls);              // immediate commands: not ready for N polls

  // --- clock and log ---
  std::function<uint64_t()> clock;   // milliseconds for log stamps; steady clock when unset
  // Whether log entries keep the data of their commands (long writes of
  // whole images turn it off to keep memory flat).
  bool logData = true;
  std::vector<EmulatedLogEntry> Log() const;
  void ClearLog();
  // Raw image access for tests.
  std::vector<uint8_t> ReadBlocks(uint32_t lba, uint32_t count) const;
  void WriteBlocks(uint32_t lba, const std::vector<uint8_t>& data);
  // Seeds a medium with already written, closed sessions of the given sizes
  // (the data is taken from the image file as it is).
  void SetRecordedSessions(const std::vector<uint32_t>& sessionBlocks, bool finalized = false);

 private:
  struct Answer {
    uint8_t status = 0;
    uint8_t key = 0, asc = 0, ascq = 0;
    uint32_t transferred = 0;
  };
  Answer Dispatch(const uint8_t* cdb, MmcDirection dir, uint8_t* data, uint32_t len);
  Answer Check(uint8_t key, uint8_t asc, uint8_t ascq) const;
  bool IsSequential() const;
  bool IsErasable() const;
  bool IsRandomWritable() const;
  uint32_t DefaultCapacity(uint16_t profile) const;
  uint32_t InvisibleStart() const;
  uint32_t SessionGap() const;
  void CloseOpenTrack();
  void ResizeImage();
  bool ReadImage(uint32_t lba, uint32_t count, uint8_t* out) const;
  bool WriteImage(uint32_t lba, uint32_t count, const uint8_t* in);
  uint64_t Now() const;
  std::string StateText() const;
  bool LoadState();
  void SaveState();

  Answer Inquiry(const uint8_t* cdb, uint8_t* d, uint32_t len);
  Answer ModeSense(const uint8_t* cdb, uint8_t* d, uint32_t len);
  Answer ModeSelect(const uint8_t* cdb, const uint8_t* d, uint32_t len);
  Answer GetConfiguration(const uint8_t* cdb, uint8_t* d, uint32_t len);
  Answer ReadDiscInformation(uint8_t* d, uint32_t len);
  Answer ReadTrackInformation(const uint8_t* cdb, uint8_t* d, uint32_t len);
  Answer ReadToc(const uint8_t* cdb, uint8_t* d, uint32_t len);
  Answer ReadFormatCapacities(uint8_t* d, uint32_t len);
  Answer Read10(const uint8_t* cdb, uint8_t* d, uint32_t len);
  Answer Write10(const uint8_t* cdb, const uint8_t* d, uint32_t len);
  Answer StartStop(const uint8_t* cdb);
  Answer Blank(const uint8_t* cdb);
  Answer Format(const uint8_t* cdb, const uint8_t* d, uint32_t len);
  Answer CloseTrackSession(const uint8_t* cdb);
  Answer ReserveTrack(const uint8_t* cdb);

  mutable std::mutex mutex_;
  std::string path_;
  int fd_ = -1;
  uint16_t profile_;
  uint32_t capacity_;
  bool present_ = true;
  bool trayOpen_ = false;
  bool locked_ = false;
  bool unitAttention_ = false;
  bool formatted_ = true;
  // A restricted-overwrite DVD-RW that was quick-formatted stays in the
  // intermediate state: it reports the end of its written area as the next
  // writable address. A fully formatted one reports none.
  bool intermediate_ = false;
  uint32_t writtenEnd_ = 0;
  int notReadyLeft_ = 0;
  int notReadyPolls_ = 0;
  int busyLeft_ = 0;
  std::atomic<bool> heldExclusively_{false};
  std::vector<EmulatedTrack> tracks_;
  int closedSessions_ = 0;
  bool finalized_ = false;
  std::vector<uint8_t> writePage_;  // mode page 05h as last selected
  std::map<uint32_t, bool> mediumErrors_;
  std::map<uint8_t, int> failing_;
  uint16_t readSpeed_ = 0xFFFF, writeSpeed_ = 0xFFFF;
  std::vector<EmulatedLogEntry> log_;
  std::string savedState_;
};

}  // namespace yux::platform
