#pragma once
// The drive layer of the disc library: finds the optical drives, keeps one
// selected and sends it the Multi-Media Commands everything else is built
// on. Nothing here raises: commands answer with a Boolean or status, and the
// sense data of the last command stays readable.
#include <array>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/mmc_transport.h"

namespace yux::disc {

// Media codes answered by GetMediaType (7 is never produced).
enum TMediaType : int {
  mtUnknown = 0, mtCDROM = 1, mtCDR = 2, mtCDRW = 3, mtDVDROM = 4, mtDVDR = 5, mtDVDRAM = 6,
  mtDVDRWRestricted = 8, mtDVDRWSequential = 9, mtDVDPlusRW = 10, mtDVDPlusR = 11,
  mtDVDPlusRDL = 12, mtBDROM = 13, mtBDR = 14, mtBDRRandom = 15, mtBDRE = 16,
  mtHDDVDROM = 17, mtHDDVDR = 18, mtHDDVDRAM = 19, mtDDCDROM = 20, mtDDCDR = 21, mtDDCDRW = 22,
};
int MediaTypeFromProfile(uint16_t profile);

constexpr int kMaxDevices = 26;

// A drive of the letter map that discovery left out, and why.
struct TRefusedDevice {
  char letter = 0;
  std::string reason;  // one sentence naming the device: "/dev/sr9 does not exist."
};

// Why a device node could not be opened (the errno of the open), in words
// a user can act on: it is missing, or the group to join for permission.
std::string OpenRefusal(const std::string& device, int err);

struct TDeviceEntry {
  char letter = 0;
  uint8_t driveType = 0;
  uint8_t hostAdapter = 0, target = 0, lun = 0;
  char description[128] = {};
};

// Request-block flags and status values of the execute-command block.
enum : uint8_t { SRB_DIR_IN = 0x08, SRB_DIR_OUT = 0x10, SRB_EVENT_NOTIFY = 0x40 };
enum : uint8_t { SS_PENDING = 0, SS_COMP = 1, SS_ERR = 4 };

// The internal command block: the execute-command request of the ASPI
// interface, which both transports carry.
struct TSRB_ExecSCSICmd {
  uint8_t command = 2;  // execute
  uint8_t status = SS_PENDING;
  uint8_t hostAdapter = 0;
  uint8_t flags = 0;
  uint32_t reserved = 0;
  uint8_t target = 0;
  uint8_t lun = 0;
  uint16_t reserved2 = 0;
  uint32_t dataLength = 0;
  uint8_t* dataPointer = nullptr;
  uint8_t senseLength = 24;
  uint8_t cdbLength = 0;
  uint8_t adapterStatus = 0;
  uint8_t targetStatus = 0;
  void* event = nullptr;
  uint8_t reserved3[20] = {};
  uint8_t cdb[16] = {};
  uint8_t sense[32] = {};
};

struct TTransferStatistics {
  uint32_t startTick = 0;
  uint32_t endTick = 0;
  uint64_t totalMs = 0;
  uint64_t totalBytes = 0;
  uint32_t commands = 0;
  uint32_t speed = 0;  // KB/s
};

struct TSpeedSample {
  uint32_t bytes = 0;
  uint64_t ticks = 0;
};

// Decoded READ TRACK INFORMATION fields, host order.
struct TTrackInfo {
  uint32_t startAddress = 0;
  uint32_t nextWritableAddress = 0;
  uint32_t freeBlocks = 0;
  uint32_t fixedPacketSize = 0;
  uint32_t trackSize = 0;
  uint32_t lastRecordedAddress = 0;
  uint8_t raw[48] = {};
};

class TSCSIDevice {
 public:
  TSCSIDevice();
  ~TSCSIDevice();
  TSCSIDevice(const TSCSIDevice&) = delete;
  TSCSIDevice& operator=(const TSCSIDevice&) = delete;

  // --- discovery and selection ---
  // Fills the device table from the drive-letter map with the drives that
  // open, answer INQUIRY through the pass-through and are optical (type 5);
  // every other drive of the map goes into refusedDevices with its reason.
  // The ASPI layer does not exist on this platform: asking for it, or
  // finding no drive, fails.
  bool InitializeDevices(bool useASPI = false, const std::string& aspiLibrary = {},
                         const std::string& logFile = {});
  bool SelectDevice(int index);
  bool SelectDeviceByLetter(char letter);
  std::string GetDeviceName(int index) const;
  int GetDeviceCount() const { return deviceCount; }
  const std::vector<TRefusedDevice>& RefusedDevices() const { return refusedDevices; }
  // Why the letter has no drive in the table: the refusal, or that no
  // drive is assigned to it; empty when the letter has one.
  std::string RefusalReason(char letter) const;
  // Frees the debug log and closes the handle.
  void Close();
  // Writing and erasing hold the selected drive for themselves: the handle
  // is opened exclusively and kept open until the release (reading and
  // querying open it shared). False, with lastErrorText saying why (another
  // program holds the drive), when that open fails.
  bool HoldExclusive();
  void ReleaseExclusive();

  // --- executor ---
  uint8_t ExecuteCommand(TSRB_ExecSCSICmd& srb);

  // --- command builders (True when the command completed) ---
  bool TestUnitReady();
  bool IsUnitReady() { return TestUnitReady(); }
  bool RewindUnit();
  bool FormatUnit(uint8_t formatBits, const uint8_t* parameters, uint32_t length);
  bool Inquiry();
  bool LoadMedium(bool immediate);
  bool EjectMedium(bool immediate);
  bool LockMedium(bool lock);
  bool ReadFormatCapacities();
  // Reads into `buffer`, or into the data buffer when it is null (then at
  // most 32 blocks).
  bool Read10(uint32_t lba, uint16_t blocks, uint8_t* buffer = nullptr);
  bool Write10(uint32_t lba, uint16_t blocks, const uint8_t* data, uint32_t length);
  bool SynchronizeCache(bool immediate);
  bool ReadTocPmaAtip(bool msf, uint8_t format, uint8_t track, uint16_t length);
  bool GetConfiguration(uint16_t feature, uint16_t length);
  bool ReadDiscInformation(uint16_t length = 64);
  bool ReadTrackInformation(uint8_t track);
  bool ReserveTrack(uint32_t size);
  bool ModeSelect10(const uint8_t* data, uint16_t length);
  bool ModeSense10(uint8_t page, bool defaults, uint16_t length);
  bool CloseTrackSession(bool immediate, bool closeSession, uint16_t track);
  // CLOSE TRACK/SESSION with any close function (1 track, 2 session,
  // 3 DVD+RW de-icing, 5 and 6 the closings of double-layer discs).
  bool CloseFunction(bool immediate, uint8_t function, uint16_t track);
  bool ReadBufferCapacity();
  bool Blank(bool minimal);
  bool SetStreaming(const uint8_t descriptor[28]);
  bool SetCDSpeed(uint16_t readSpeed, uint16_t writeSpeed);
  bool SendDVDStructure(uint8_t format, const uint8_t* data, uint16_t length);

  // --- queries ---
  int GetMediaType();
  int GetSessionCount();
  int GetLastTrack();
  bool IsDiscErasable();
  bool IsDiscWritable();
  uint32_t GetCapacityBlocks();
  uint32_t GetFreeBlocks();
  uint32_t GetFormattedCapacity();
  uint32_t GetISOVolumeSize();
  void ReadCapabilities();
  bool DeviceCapability(int index);
  bool IsRecorder();
  uint32_t GetMaxReadSpeed();
  uint32_t GetCurrentReadSpeed();
  uint32_t GetMaxWriteSpeed();
  uint32_t GetCurrentWriteSpeed();
  // Builds mode page 05h for the loaded medium and sends it.
  bool SetWriteParameters(bool leaveSessionOpen);

  // --- statistics ---
  void ResetStatistics();

  // Held by every command, and by every query around the commands whose
  // answers it reads, so that the UI thread may ask while a worker writes.
  std::recursive_mutex deviceLock;

  // --- the device record ---
  std::shared_ptr<platform::MmcTransport> handle;  // null when closed
  std::vector<uint8_t> buffer;                      // 64 KB data buffer
  std::array<TDeviceEntry, kMaxDevices> devices{};
  std::vector<TRefusedDevice> refusedDevices;
  uint8_t deviceCount = 0;
  uint8_t hostAdapter = 255, target = 255, lun = 255;
  char driveLetter = '?';
  uint8_t driveType = 0;
  char vendor[9] = {};
  char product[17] = {};
  uint8_t sense[32] = {};
  uint32_t lastError = 0;  // additional sense code << 8 | qualifier
  int systemError = 0;
  bool initialized = false;
  bool passThrough = false;
  bool useASPI = false;
  bool closeAfterCommand = false;
  bool exclusive = false;      // the handle holds the drive for itself
  std::string lastErrorText;   // why the drive could not be held
  bool busy = false;
  uint8_t discInfo[64] = {};
  TTrackInfo trackInfo;
  uint8_t capabilitiesPage[64] = {};
  bool capabilityFlags[100] = {};
  uint8_t writeParametersPage[72] = {};
  uint16_t requestedReadSpeed = 0, requestedWriteSpeed = 0;
  bool TestWrite = false;
  bool BurnProof = false;
  bool FinalizeDisc = false;
  uint32_t bufferLength = 0, bufferFree = 0;  // READ BUFFER CAPACITY
  TTransferStatistics readStats, writeStats;
  std::array<TSpeedSample, 64> samples{};
  int sampleIndex = 0;
  double msPerTick = 0;

  // Time sources: milliseconds (GetTickCount) and a high-resolution
  // counter with its frequency. Tests replace them.
  std::function<uint32_t()> TickCount;
  std::function<uint64_t()> PerfCounter;
  uint64_t perfFrequency = 1000000000ull;
  // Where the debug log of capability 72 goes.
  std::string defaultLogPath;

  static const char* OpcodeName(uint8_t opcode);

 private:
  bool Run(uint8_t flags, const uint8_t* cdb, int cdbLength, uint8_t* data, uint32_t length,
           bool acceptPending = false);
  uint8_t PassThrough(TSRB_ExecSCSICmd& srb);
  void OpenLog(const std::string& path);
  void LogCommand(const TSRB_ExecSCSICmd& srb, std::chrono::system_clock::time_point sent);
  void AddSample(uint32_t bytes);
  void Account(TTransferStatistics& s, uint32_t before, uint32_t after, uint32_t bytes,
               uint16_t pageSpeedOffset);
  bool FeaturePresent(uint16_t feature, bool requireCode);
  uint8_t FeatureByte4(uint16_t feature);
  uint32_t PageWord(int offset) const;
  std::unique_ptr<std::ofstream> log_;
};

}  // namespace yux::disc
