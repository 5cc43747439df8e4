#include "disc/scsilib.h"

#include <grp.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "disc/commonlib.h"
#include "platform/driveletters.h"

namespace yux::disc {

namespace {

// The pass-through time-out: 12000 seconds, handed to SG_IO in milliseconds.
constexpr uint32_t kPassThroughTimeoutMs = 12000u * 1000u;

void Trim(std::string& s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  s.erase(0, i);
}

std::string Printable(const uint8_t* p, size_t n) {
  std::string s(reinterpret_cast<const char*>(p), n);
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 32) c = ' ';
  return s;
}

void SetDescription(TDeviceEntry& e, const std::string& text) {
  std::memset(e.description, 0, sizeof e.description);
  std::memcpy(e.description, text.data(), std::min(text.size(), sizeof e.description - 1));
}

}  // namespace

std::string OpenRefusal(const std::string& device, int err) {
  switch (err) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return device + " does not exist.";
    case EACCES:
    case EPERM: {
      std::string group;
      struct stat st;
      if (::stat(device.c_str(), &st) == 0) {
        if (const struct group* g = ::getgrgid(st.st_gid)) group = g->gr_name;
      }
      if (group.empty() || group == "root")
        return "no permission to open " + device + "; ask for access to it.";
      return "no permission to open " + device + "; join the group \"" + group +
             "\" (and log in again).";
    }
    default:
      return device + " cannot be opened (" + std::strerror(err) + ").";
  }
}

int MediaTypeFromProfile(uint16_t profile) {
  switch (profile) {
    case 0x0008: return mtCDROM;
    case 0x0009: return mtCDR;
    case 0x000A: return mtCDRW;
    case 0x0010: return mtDVDROM;
    case 0x0011: return mtDVDR;
    case 0x0012: return mtDVDRAM;
    case 0x0013: return mtDVDRWRestricted;
    case 0x0014: return mtDVDRWSequential;
    case 0x001A: return mtDVDPlusRW;
    case 0x001B: return mtDVDPlusR;
    case 0x002B: return mtDVDPlusRDL;
    case 0x0040: return mtBDROM;
    case 0x0041: return mtBDR;
    case 0x0042: return mtBDRRandom;
    case 0x0043: return mtBDRE;
    case 0x0050: return mtHDDVDROM;
    case 0x0051: return mtHDDVDR;
    case 0x0052: return mtHDDVDRAM;
    case 0x0020: return mtDDCDROM;
    case 0x0021: return mtDDCDR;
    case 0x0022: return mtDDCDRW;
    default: return mtUnknown;
  }
}

const char* TSCSIDevice::OpcodeName(uint8_t opcode) {
  switch (opcode) {
    case 0x00: return "TEST UNIT READY";
    case 0x01: return "REWIND UNIT";
    case 0x04: return "FORMAT UNIT";
    case 0x12: return "INQUIRY";
    case 0x1B: return "START STOP UNIT";
    case 0x1E: return "PREVENT ALLOW REMOVAL";
    case 0x23: return "READ FORMAT CAPACITIES";
    case 0x28: return "READ (10)";
    case 0x2A: return "WRITE (10)";
    case 0x35: return "SYNCHRONIZE CACHE";
    case 0x43: return "READ TOC/PMA/ATIP";
    case 0x46: return "GET CONFIGURATION";
    case 0x51: return "READ DISC INFORMATION";
    case 0x52: return "READ TRACK INFORMATION";
    case 0x53: return "RESERVE TRACK";
    case 0x55: return "MODE SELECT (10)";
    case 0x5A: return "MODE SENSE (10)";
    case 0x5B: return "CLOSE TRACK/SESSION";
    case 0x5C: return "READ BUFFER CAPACITY";
    case 0xA1: return "BLANK";
    case 0xB6: return "SET STREAMING";
    case 0xBB: return "SET CD SPEED";
    case 0xBF: return "SEND DVD STRUCTURE";
    default: return "UNKNOWN";
  }
}

TSCSIDevice::TSCSIDevice() : buffer(65536, 0) {
  TickCount = [] {
    return uint32_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now().time_since_epoch()).count());
  };
  PerfCounter = [] {
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch()).count());
  };
  std::error_code ec;
  defaultLogPath = (std::filesystem::temp_directory_path(ec) / "lcdbp.elg").string();
  ResetStatistics();
}

TSCSIDevice::~TSCSIDevice() { Close(); }

void TSCSIDevice::Close() {
  std::lock_guard deviceGuard(deviceLock);
  log_.reset();
  if (handle) handle->Close();
  handle.reset();
  exclusive = false;
}

bool TSCSIDevice::HoldExclusive() {
  std::lock_guard deviceGuard(deviceLock);
  lastErrorText.clear();
  if (handle) handle->Close();
  handle.reset();
  exclusive = false;
  if (!initialized || driveLetter == '?') return false;
  int err = 0;
  handle = platform::DriveLetterMap::Global().OpenOptical(driveLetter, err, true);
  if (!handle) {
    systemError = err;
    const std::string drive = std::string(1, driveLetter) + ":";
    lastErrorText = err == platform::DriveHeldElsewhereError()
                        ? "Drive " + drive + " is in use by another program, which holds it " +
                              "for itself; close that program (or unmount the disc) and try again."
                        : "Drive " + drive + " cannot be opened for writing (system error " +
                              std::to_string(err) + ").";
    if (log_) *log_ << "System Error Code: " << err << "\r\n";
    return false;
  }
  exclusive = true;
  return true;
}

void TSCSIDevice::ReleaseExclusive() {
  std::lock_guard deviceGuard(deviceLock);
  if (!exclusive) return;
  if (handle) handle->Close();
  handle.reset();
  exclusive = false;
}

void TSCSIDevice::OpenLog(const std::string& path) {
  log_ = std::make_unique<std::ofstream>(path, std::ios::binary | std::ios::trunc);
  if (!*log_) {
    log_.reset();
    return;
  }
  *log_ << "GetLCDBVersion\r\n";
  log_->flush();
}

bool TSCSIDevice::InitializeDevices(bool useAspi, const std::string& aspiLibrary,
                                    const std::string& logFile) {
  std::lock_guard deviceGuard(deviceLock);
  const bool burnProof = BurnProof, finalize = FinalizeDisc;
  const std::string logPath = defaultLogPath;
  auto tick = TickCount;
  auto perf = PerfCounter;
  const uint64_t freq = perfFrequency;
  Close();
  // Everything is zeroed; only the two option flags survive.
  devices = {};
  deviceCount = 0;
  refusedDevices.clear();
  hostAdapter = target = lun = 255;
  driveLetter = '?';
  driveType = 0;
  std::memset(vendor, 0, sizeof vendor);
  std::memset(product, 0, sizeof product);
  std::memset(sense, 0, sizeof sense);
  lastError = 0;
  systemError = 0;
  initialized = passThrough = closeAfterCommand = busy = false;
  std::memset(discInfo, 0, sizeof discInfo);
  trackInfo = {};
  std::memset(capabilitiesPage, 0, sizeof capabilitiesPage);
  std::memset(capabilityFlags, 0, sizeof capabilityFlags);
  std::memset(writeParametersPage, 0, sizeof writeParametersPage);
  requestedReadSpeed = requestedWriteSpeed = 0;
  TestWrite = false;
  BurnProof = burnProof;
  FinalizeDisc = finalize;
  defaultLogPath = logPath;
  TickCount = tick;
  PerfCounter = perf;
  perfFrequency = freq;
  ResetStatistics();
  useASPI = useAspi;

  if (!logFile.empty()) OpenLog(logFile);
  if (!useAspi) {
    auto& map = platform::DriveLetterMap::Global();
    int bottom = 0, top = kMaxDevices - 1;
    for (char letter = 'C'; letter <= 'Z' && bottom <= top; ++letter) {
      if (map.DriveType(letter) != platform::kDriveCdrom) continue;
      platform::DriveMapping m;
      map.Find(letter, m);
      const std::string device = m.kind == platform::DriveKind::Optical ? m.path : "the emulated drive";
      auto refuse = [&](const std::string& reason) {
        refusedDevices.push_back({letter, reason});
        if (log_) *log_ << letter << ": " << reason << "\r\n";
      };
      int err = 0;
      auto t = map.OpenOptical(letter, err);
      if (!t) {
        if (log_) *log_ << "System Error Code: " << err << "\r\n";
        refuse(OpenRefusal(device, err));
        continue;
      }
      // Only a device that answers INQUIRY through the pass-through as an
      // optical drive is listed: a disk's generic SCSI node would pass for
      // a writer otherwise.
      uint8_t cdb[6] = {0x12, 0, 0, 0, 64, 0};
      uint8_t inq[64] = {};
      platform::MmcRequest rq{cdb, 6, platform::MmcDirection::In, inq, 64, kPassThroughTimeoutMs};
      const auto r = t->Execute(rq);
      if (!r.sent) {
        t->Close();
        refuse(device + " is not a SCSI device (SG_IO refused: " +
               std::strerror(r.systemError ? r.systemError : EIO) + ").");
        continue;
      }
      if (!r.Good()) {
        t->Close();
        char text[64];
        std::snprintf(text, sizeof text, " did not answer INQUIRY (status %d, sense key %d).",
                      r.scsiStatus, r.SenseKey());
        refuse(device + text);
        continue;
      }
      if ((inq[0] & 0x1F) != 5) {
        t->Close();
        refuse(device + " is not an optical drive (peripheral type " +
               std::to_string(inq[0] & 0x1F) + ").");
        continue;
      }
      platform::MmcAddress a;
      TDeviceEntry* e;
      if (t->GetAddress(a)) {
        e = &devices[bottom++];
        e->hostAdapter = uint8_t(a.host);
        e->target = uint8_t(a.target);
        e->lun = uint8_t(a.lun);
      } else {
        e = &devices[top--];
        e->hostAdapter = e->target = e->lun = 0;
      }
      e->letter = letter;
      e->driveType = platform::kDriveCdrom;
      char text[160];
      std::snprintf(text, sizeof text, "%d:%d:%d,%c: %s %s %s ", e->hostAdapter, e->target,
                    e->lun, letter, Printable(inq + 8, 8).c_str(),
                    Printable(inq + 16, 16).c_str(), Printable(inq + 32, 4).c_str());
      SetDescription(*e, text);
      t->Close();
    }
    const int unaddressed = kMaxDevices - 1 - top;
    if (bottom + unaddressed > 0) {
      int maxHost = 0;
      for (int i = 0; i < bottom; ++i) maxHost = std::max<int>(maxHost, devices[i].hostAdapter);
      // The drives without an address follow the addressed ones, in the
      // order they were found, with host adapter numbers above all others.
      for (int k = 0; k < unaddressed; ++k) {
        TDeviceEntry e = devices[kMaxDevices - 1 - k];
        devices[kMaxDevices - 1 - k] = TDeviceEntry{};
        e.hostAdapter = uint8_t(++maxHost);
        std::string old = e.description;
        std::string rest = old.size() > 9 ? old.substr(9) : std::string();
        Trim(rest);
        char text[160];
        std::snprintf(text, sizeof text, "%d:%d:%d,%c: ", e.hostAdapter, e.target, e.lun, e.letter);
        SetDescription(e, std::string(text) + rest);
        devices[bottom + k] = e;
      }
      deviceCount = uint8_t(bottom + unaddressed);
      initialized = true;
      passThrough = true;
      return true;
    }
  }
  // There is no ASPI layer on this platform: discovery through it fails.
  (void)aspiLibrary;
  return false;
}

bool TSCSIDevice::SelectDevice(int index) {
  std::lock_guard deviceGuard(deviceLock);
  if (index < 0 || index >= deviceCount) {
    hostAdapter = target = lun = 255;
    driveLetter = '?';
    driveType = 0;
    return false;
  }
  const TDeviceEntry& e = devices[index];
  hostAdapter = e.hostAdapter;
  target = e.target;
  lun = e.lun;
  driveLetter = e.letter;
  driveType = e.driveType;
  if (handle) handle->Close();
  handle.reset();
  exclusive = false;
  const bool ok = Inquiry();
  if (ok) {
    std::memcpy(vendor, buffer.data() + 8, 8);
    vendor[8] = 0;
    std::memcpy(product, buffer.data() + 16, 16);
    product[16] = 0;
  }
  ReadCapabilities();
  return ok;
}

bool TSCSIDevice::SelectDeviceByLetter(char letter) {
  std::lock_guard deviceGuard(deviceLock);
  if (letter >= 'a' && letter <= 'z') letter = char(letter - 32);
  for (int i = 0; i < deviceCount; ++i)
    if (devices[i].letter == letter) return SelectDevice(i);
  return false;
}

std::string TSCSIDevice::RefusalReason(char letter) const {
  if (letter >= 'a' && letter <= 'z') letter = char(letter - 32);
  for (int i = 0; i < deviceCount; ++i)
    if (devices[i].letter == letter) return {};
  for (const auto& r : refusedDevices)
    if (r.letter == letter) return r.reason;
  return "no drive is assigned to the letter.";
}

std::string TSCSIDevice::GetDeviceName(int index) const {
  if (index < 0 || index >= deviceCount) return {};
  return devices[index].description;
}

uint8_t TSCSIDevice::ExecuteCommand(TSRB_ExecSCSICmd& srb) {
  std::lock_guard deviceGuard(deviceLock);
  if (!initialized || hostAdapter == 255) {
    srb.status = SS_ERR;
    return srb.status;
  }
  srb.hostAdapter = hostAdapter;
  srb.target = target;
  srb.lun = lun;
  srb.senseLength = 24;
  srb.command = 2;
  const auto sent = std::chrono::system_clock::now();
  PassThrough(srb);
  LogCommand(srb, sent);
  std::memcpy(sense, srb.sense, sizeof sense);
  if (srb.sense[12] != 0) lastError = (uint32_t(srb.sense[12]) << 8) | srb.sense[13];
  busy = srb.status == SS_ERR && srb.targetStatus == 0x08;
  return srb.status;
}

uint8_t TSCSIDevice::PassThrough(TSRB_ExecSCSICmd& srb) {
  std::memset(srb.sense, 0, sizeof srb.sense);
  if (!handle) {
    int err = 0;
    handle = platform::DriveLetterMap::Global().OpenOptical(driveLetter, err);
    if (!handle) {
      systemError = err;
      if (log_) *log_ << "System Error Code: " << err << "\r\n";
      srb.status = SS_ERR;
      srb.targetStatus = 0;
      return srb.status;
    }
  }
  platform::MmcRequest rq;
  rq.cdb = srb.cdb;
  rq.cdbLength = srb.cdbLength;
  rq.direction = (srb.flags & SRB_DIR_IN)    ? platform::MmcDirection::In
                 : (srb.flags & SRB_DIR_OUT) ? platform::MmcDirection::Out
                                             : platform::MmcDirection::None;
  rq.data = srb.dataPointer;
  rq.length = srb.dataLength;
  rq.timeoutMs = kPassThroughTimeoutMs;
  auto r = handle->Execute(rq);
  systemError = r.systemError;
  if (r.Good()) {
    srb.status = SS_COMP;
    srb.targetStatus = 0;
  } else {
    srb.status = SS_ERR;
    std::memcpy(srb.sense, r.sense, 24);
    srb.targetStatus = r.scsiStatus;
  }
  if (closeAfterCommand && handle && !exclusive) {
    handle->Close();
    handle.reset();
  }
  return srb.status;
}

void TSCSIDevice::LogCommand(const TSRB_ExecSCSICmd& srb,
                             std::chrono::system_clock::time_point now) {
  if (!log_) return;
  std::time_t tt = std::chrono::system_clock::to_time_t(now);
  std::tm tmv{};
  localtime_r(&tt, &tmv);
  const int ms = int(std::chrono::duration_cast<std::chrono::milliseconds>(
                         now.time_since_epoch()).count() % 1000);
  char line[256];
  std::snprintf(line, sizeof line, "%.2d:%.2d:%.3d %s (%.2x) {%.2x:%.2x} - %.1x:%.1x:%.1x <%.2x> [%.5x] ",
                tmv.tm_min, tmv.tm_sec, ms, OpcodeName(srb.cdb[0]), srb.cdb[0], srb.flags,
                srb.cdbLength, srb.hostAdapter, srb.target, srb.lun, srb.status,
                unsigned(srb.dataLength));
  std::string out = line;
  char hex[8];
  for (int i = 1; i < 16; ++i) {
    std::snprintf(hex, sizeof hex, "%.2x ", srb.cdb[i]);
    out += hex;
  }
  out += "| ";
  const uint32_t shown = srb.dataPointer ? std::min<uint32_t>(srb.dataLength, 100) : 0;
  for (uint32_t i = 0; i < shown; ++i) {
    std::snprintf(hex, sizeof hex, "%.2x ", srb.dataPointer[i]);
    out += hex;
  }
  std::snprintf(line, sizeof line, "%.2x:%.2x", srb.sense[12], srb.sense[13]);
  out += line;
  if (passThrough) out += ", " + std::to_string(systemError);
  out += "\r\n";
  *log_ << out;
  log_->flush();
}

bool TSCSIDevice::Run(uint8_t flags, const uint8_t* cdb, int cdbLength, uint8_t* data,
                      uint32_t length, bool acceptPending) {
  std::lock_guard deviceGuard(deviceLock);
  TSRB_ExecSCSICmd srb;
  srb.flags = flags;
  srb.cdbLength = uint8_t(cdbLength);
  std::memcpy(srb.cdb, cdb, size_t(cdbLength));
  srb.dataLength = length;
  srb.dataPointer = data;
  if ((flags & SRB_DIR_IN) && data && length) std::memset(data, 0, length);
  const uint8_t status = ExecuteCommand(srb);
  return status == SS_COMP || (acceptPending && status == SS_PENDING);
}

// ---------------------------------------------------------------- builders

bool TSCSIDevice::TestUnitReady() {
  uint8_t cdb[6] = {0x00};
  return Run(0, cdb, 6, nullptr, 0);
}

bool TSCSIDevice::RewindUnit() {
  uint8_t cdb[6] = {0x01};
  return Run(0, cdb, 6, nullptr, 0);
}

bool TSCSIDevice::FormatUnit(uint8_t formatBits, const uint8_t* parameters, uint32_t length) {
  uint8_t cdb[6] = {0x04, formatBits};
  std::vector<uint8_t> data(parameters, parameters + length);
  return Run(SRB_DIR_OUT, cdb, 6, data.data(), length, true);
}

bool TSCSIDevice::Inquiry() {
  uint8_t cdb[6] = {0x12, 0, 0, 0, 64, 0};
  return Run(SRB_DIR_IN, cdb, 6, buffer.data(), 64);
}

bool TSCSIDevice::LoadMedium(bool immediate) {
  uint8_t cdb[6] = {0x1B, uint8_t(immediate ? 1 : 0), 0, 0, 3, 0};
  return Run(0, cdb, 6, nullptr, 0);
}

bool TSCSIDevice::EjectMedium(bool immediate) {
  uint8_t cdb[6] = {0x1B, uint8_t(immediate ? 1 : 0), 0, 0, 2, 0};
  return Run(0, cdb, 6, nullptr, 0);
}

bool TSCSIDevice::LockMedium(bool lock) {
  uint8_t cdb[6] = {0x1E, 0, 0, 0, uint8_t(lock ? 1 : 0), 0};
  return Run(0, cdb, 6, nullptr, 0);
}

bool TSCSIDevice::ReadFormatCapacities() {
  uint8_t cdb[10] = {0x23};
  PutBe16(cdb + 7, 124);
  return Run(SRB_DIR_IN, cdb, 10, buffer.data(), 124);
}

void TSCSIDevice::Account(TTransferStatistics& s, uint32_t before, uint32_t after,
                          uint32_t bytes, uint16_t pageSpeedOffset) {
  if (s.speed == 0) s.speed = GetBe16(capabilitiesPage + pageSpeedOffset);
  if (s.commands == 0) s.startTick = before;
  s.endTick = after;
  s.totalMs += uint32_t(after - before);  // tick difference survives the wrap
  s.totalBytes += bytes;
  ++s.commands;
  if (s.totalMs > 0)
    s.speed = uint32_t(std::lround(double(s.totalBytes) / 1024.0 / (double(s.totalMs) / 1000.0)));
  AddSample(bytes);
}

void TSCSIDevice::AddSample(uint32_t bytes) {
  if (sampleIndex < 0 || sampleIndex > 63) sampleIndex = 0;
  samples[size_t(sampleIndex)] = {bytes, PerfCounter()};
  ++sampleIndex;
}

void TSCSIDevice::ResetStatistics() {
  std::lock_guard deviceGuard(deviceLock);
  samples = {};
  sampleIndex = 0;
  readStats = {};
  writeStats = {};
  msPerTick = perfFrequency ? 1000.0 / double(perfFrequency) : 0;
}

bool TSCSIDevice::Read10(uint32_t lba, uint16_t blocks, uint8_t* dest) {
  std::lock_guard deviceGuard(deviceLock);
  if (!dest) {
    if (blocks > 32) return false;
    dest = buffer.data();
  }
  uint8_t cdb[10] = {0x28};
  PutBe32(cdb + 2, lba);
  PutBe16(cdb + 7, blocks);
  const uint32_t bytes = uint32_t(blocks) * 2048;
  const uint32_t before = TickCount();
  const bool ok = Run(SRB_DIR_IN, cdb, 10, dest, bytes);
  Account(readStats, before, TickCount(), bytes, 14);
  return ok;
}

bool TSCSIDevice::Write10(uint32_t lba, uint16_t blocks, const uint8_t* data, uint32_t length) {
  std::lock_guard deviceGuard(deviceLock);
  uint8_t cdb[10] = {0x2A};
  PutBe32(cdb + 2, lba);
  PutBe16(cdb + 7, blocks);
  const uint32_t before = TickCount();
  const bool ok = Run(SRB_DIR_OUT, cdb, 10, const_cast<uint8_t*>(data), length);
  Account(writeStats, before, TickCount(), length, 20);
  return ok;
}

bool TSCSIDevice::SynchronizeCache(bool immediate) {
  uint8_t cdb[10] = {0x35, uint8_t(immediate ? 2 : 0)};
  return Run(0, cdb, 10, nullptr, 0, true);
}

bool TSCSIDevice::ReadTocPmaAtip(bool msf, uint8_t format, uint8_t track, uint16_t length) {
  uint8_t cdb[10] = {0x43, uint8_t(msf ? 2 : 0), format, 0, 0, 0, track};
  PutBe16(cdb + 7, length);
  return Run(SRB_DIR_IN, cdb, 10, buffer.data(), std::min<uint32_t>(length, 65536));
}

bool TSCSIDevice::GetConfiguration(uint16_t feature, uint16_t length) {
  uint8_t cdb[10] = {0x46, 2};
  PutBe16(cdb + 2, feature);
  PutBe16(cdb + 7, length);
  return Run(SRB_DIR_IN, cdb, 10, buffer.data(), length);
}

bool TSCSIDevice::ReadDiscInformation(uint16_t length) {
  std::lock_guard deviceGuard(deviceLock);
  uint8_t cdb[10] = {0x51};
  PutBe16(cdb + 7, length);
  const bool ok = Run(SRB_DIR_IN, cdb, 10, buffer.data(), length);
  if (ok) std::memcpy(discInfo, buffer.data(), sizeof discInfo);
  return ok;
}

bool TSCSIDevice::ReadTrackInformation(uint8_t track) {
  std::lock_guard deviceGuard(deviceLock);
  uint8_t cdb[10] = {0x52, 1, 0, 0, 0, track};
  PutBe16(cdb + 7, 38);
  const bool ok = Run(SRB_DIR_IN, cdb, 10, buffer.data(), 38);
  if (ok) {
    std::memset(trackInfo.raw, 0, sizeof trackInfo.raw);
    std::memcpy(trackInfo.raw, buffer.data(), 38);
    trackInfo.startAddress = GetBe32(buffer.data() + 8);
    trackInfo.nextWritableAddress = GetBe32(buffer.data() + 12);
    trackInfo.freeBlocks = GetBe32(buffer.data() + 16);
    trackInfo.fixedPacketSize = GetBe32(buffer.data() + 20);
    trackInfo.trackSize = GetBe32(buffer.data() + 24);
    trackInfo.lastRecordedAddress = GetBe32(buffer.data() + 28);
  }
  return ok;
}

bool TSCSIDevice::ReserveTrack(uint32_t size) {
  uint8_t cdb[10] = {0x53};
  PutBe32(cdb + 5, size);
  return Run(0, cdb, 10, nullptr, 0);
}

bool TSCSIDevice::ModeSelect10(const uint8_t* data, uint16_t length) {
  uint8_t cdb[10] = {0x55, 0x10};
  PutBe16(cdb + 7, length);
  std::vector<uint8_t> copy(data, data + length);
  return Run(SRB_DIR_OUT, cdb, 10, copy.data(), length, true);
}

bool TSCSIDevice::ModeSense10(uint8_t page, bool defaults, uint16_t length) {
  uint8_t cdb[10] = {0x5A, 0, uint8_t(defaults ? page + 0x80 : page)};
  PutBe16(cdb + 7, length);
  return Run(SRB_DIR_IN, cdb, 10, buffer.data(), length, true);
}

bool TSCSIDevice::CloseTrackSession(bool immediate, bool closeSession, uint16_t track) {
  return CloseFunction(immediate, closeSession ? 2 : 1, track);
}

bool TSCSIDevice::CloseFunction(bool immediate, uint8_t function, uint16_t track) {
  uint8_t cdb[10] = {0x5B, uint8_t(immediate ? 1 : 0), uint8_t(function & 7)};
  PutBe16(cdb + 4, track);
  return Run(0, cdb, 10, nullptr, 0);
}

bool TSCSIDevice::ReadBufferCapacity() {
  std::lock_guard deviceGuard(deviceLock);
  uint8_t cdb[10] = {0x5C};
  PutBe16(cdb + 7, 32);
  const bool ok = Run(SRB_DIR_IN, cdb, 10, buffer.data(), 32);
  if (ok) {
    bufferLength = GetBe32(buffer.data() + 4);
    bufferFree = GetBe32(buffer.data() + 8);
  }
  return ok;
}

bool TSCSIDevice::Blank(bool minimal) {
  uint8_t cdb[12] = {0xA1, uint8_t(minimal ? 0x11 : 0x10)};
  return Run(0, cdb, 12, nullptr, 0, true);
}

bool TSCSIDevice::SetStreaming(const uint8_t descriptor[28]) {
  uint8_t cdb[12] = {0xB6};
  PutBe16(cdb + 9, 28);
  uint8_t data[28];
  std::memcpy(data, descriptor, 28);
  return Run(SRB_DIR_OUT, cdb, 12, data, 28);
}

bool TSCSIDevice::SetCDSpeed(uint16_t readSpeed, uint16_t writeSpeed) {
  uint8_t cdb[12] = {0xBB, 1};
  PutBe16(cdb + 2, readSpeed ? readSpeed : 0xFFFF);
  PutBe16(cdb + 4, writeSpeed ? writeSpeed : 0xFFFF);
  return Run(0, cdb, 12, nullptr, 0);
}

bool TSCSIDevice::SendDVDStructure(uint8_t format, const uint8_t* data, uint16_t length) {
  uint8_t cdb[12] = {0xBF};
  cdb[7] = format;
  PutBe16(cdb + 8, length);
  std::vector<uint8_t> copy(data, data + length);
  return Run(SRB_DIR_OUT, cdb, 12, copy.data(), length);
}

// ----------------------------------------------------------------- queries

int TSCSIDevice::GetMediaType() {
  std::lock_guard deviceGuard(deviceLock);
  if (GetConfiguration(0, 114)) return MediaTypeFromProfile(GetBe16(buffer.data() + 6));
  if (ReadTocPmaAtip(true, 4, 0, 30)) {
    const uint8_t b6 = buffer[6];
    if (!BitSet(b6, 7)) return mtCDROM;
    return BitSet(b6, 6) ? mtCDRW : mtCDR;
  }
  if (ReadDiscInformation(64)) return BitSet(discInfo[2], 4) ? mtCDRW : mtCDR;
  return TestUnitReady() ? mtCDROM : mtUnknown;
}

int TSCSIDevice::GetSessionCount() {
  std::lock_guard deviceGuard(deviceLock);
  if (ReadDiscInformation(64)) {
    int n = discInfo[4];
    if (((discInfo[2] >> 2) & 3) == 0) --n;
    return n;
  }
  return GetMediaType() == mtDVDRAM ? 1 : 0;
}

int TSCSIDevice::GetLastTrack() {
  std::lock_guard deviceGuard(deviceLock);
  if (!ReadDiscInformation(64)) return 0;
  return discInfo[6];
}

bool TSCSIDevice::IsDiscErasable() {
  std::lock_guard deviceGuard(deviceLock);
  const int m = GetMediaType();
  if (m >= 6 && m <= 10) return true;
  return ReadDiscInformation(64) && BitSet(discInfo[2], 4);
}

bool TSCSIDevice::IsDiscWritable() {
  std::lock_guard deviceGuard(deviceLock);
  const int m = GetMediaType();
  if (m == mtDVDRAM || m == mtDVDRWRestricted || m == mtDVDPlusRW || m == mtBDRE) return true;
  uint8_t last = 0;
  if (ReadDiscInformation(64)) {
    const int status = discInfo[2] & 3;
    if (status == 0 || status == 1) return true;
    if (status == 2) return false;
    last = discInfo[6];
  }
  SetWriteParameters(false);
  if (ReadTrackInformation(255) || ReadTrackInformation(uint8_t(last + 1)))
    return trackInfo.freeBlocks != 0;
  return false;
}

uint32_t TSCSIDevice::GetCapacityBlocks() {
  std::lock_guard deviceGuard(deviceLock);
  SetWriteParameters(false);
  if (ReadDiscInformation(64) && ReadTrackInformation(discInfo[6])) {
    if (!BitSet(trackInfo.raw[6], 4)) return trackInfo.trackSize + trackInfo.startAddress;
    if (trackInfo.trackSize == 0xFFFFFFFFu) return 0;
    return GetFormattedCapacity();
  }
  return GetFormattedCapacity();
}

uint32_t TSCSIDevice::GetFreeBlocks() {
  std::lock_guard deviceGuard(deviceLock);
  if (!IsDiscWritable()) return 0;
  const int m = GetMediaType();
  SetWriteParameters(false);
  // A volume larger than the track would wrap to a huge free count.
  auto minus = [](uint32_t a, uint32_t b) { return a > b ? a - b : 0u; };
  if (ReadDiscInformation(64) && ReadTrackInformation(discInfo[6])) {
    if (trackInfo.trackSize == 0xFFFFFFFFu) return 0;
    const TTrackInfo t = trackInfo;
    if (m == mtDVDRAM || m == mtDVDPlusRW || m == mtBDRE) return minus(t.trackSize, GetISOVolumeSize());
    if (m == mtDVDRWRestricted) return minus(GetFormattedCapacity(), t.trackSize);
    return std::max(t.freeBlocks, t.trackSize);
  }
  if (m == mtDVDRAM || m == mtDVDPlusRW) return minus(GetFormattedCapacity(), GetISOVolumeSize());
  return 0;
}

uint32_t TSCSIDevice::GetFormattedCapacity() {
  std::lock_guard deviceGuard(deviceLock);
  if (!ReadFormatCapacities()) return 0;
  const uint8_t* b = buffer.data();
  const int listed = std::min(4, int(b[3] / 8));
  for (int i = 0; i < listed; ++i) {
    const uint8_t* d = b + 4 + 8 * i;
    if (GetLe32(d + 4) == 0x00080000u) return GetBe32(d);
  }
  return GetBe32(b + 4);
}

uint32_t TSCSIDevice::GetISOVolumeSize() {
  std::lock_guard deviceGuard(deviceLock);
  std::vector<uint8_t> block(2048);
  for (uint8_t type : {uint8_t(2), uint8_t(1)}) {
    for (uint32_t s = 16; s <= 31; ++s) {
      if (!Read10(s, 1, block.data())) continue;
      if (block[0] == type && std::memcmp(block.data() + 1, "CD001", 5) == 0)
        return GetLe32(block.data() + 80);
    }
  }
  return 0;
}

bool TSCSIDevice::FeaturePresent(uint16_t feature, bool requireCode) {
  if (!GetConfiguration(feature, 112)) return false;
  const bool carries = GetBe16(buffer.data() + 8) == feature && GetBe32(buffer.data()) >= 8;
  if (requireCode) return carries;
  return GetBe16(buffer.data() + 6) == 0 || carries;
}

uint8_t TSCSIDevice::FeatureByte4(uint16_t feature) {
  if (!GetConfiguration(feature, 112)) return 0;
  if (GetBe16(buffer.data() + 8) != feature || GetBe32(buffer.data()) < 8) return 0;
  return buffer[12];
}

void TSCSIDevice::ReadCapabilities() {
  std::lock_guard deviceGuard(deviceLock);
  for (bool defaults : {true, false}) {
    if (!ModeSense10(0x2A, defaults, 80)) continue;
    const int at = (buffer[8] & 0x3F) == 0x2A ? 8 : ((buffer[16] & 0x3F) == 0x2A ? 16 : -1);
    if (at >= 0) std::memcpy(capabilitiesPage, buffer.data() + at, sizeof capabilitiesPage);
  }
  std::memset(capabilityFlags, 0, sizeof capabilityFlags);
  const uint8_t r = capabilitiesPage[2], w = capabilitiesPage[3];
  capabilityFlags[1] = BitSet(r, 0);
  capabilityFlags[2] = BitSet(r, 1);
  capabilityFlags[3] = BitSet(r, 5);
  capabilityFlags[4] = BitSet(r, 4);
  capabilityFlags[21] = BitSet(w, 0);
  capabilityFlags[22] = BitSet(w, 1);
  capabilityFlags[23] = BitSet(w, 5);
  capabilityFlags[24] = BitSet(w, 4);
  capabilityFlags[41] = BitSet(w, 2);
  capabilityFlags[42] = BitSet(capabilitiesPage[4], 7) || ModeSense10(0x30, true, 64);
  const uint8_t f2f = FeatureByte4(0x002F);
  capabilityFlags[5] = capabilityFlags[25] = BitSet(f2f, 1);
  capabilityFlags[6] = capabilityFlags[7] = FeaturePresent(0x002A, false);
  const uint8_t f2a = FeatureByte4(0x002A);
  capabilityFlags[26] = capabilityFlags[27] = BitSet(f2a, 0);
  capabilityFlags[8] = FeaturePresent(0x003B, true);
  capabilityFlags[28] = BitSet(FeatureByte4(0x003B), 0);
  capabilityFlags[9] = capabilityFlags[10] = capabilityFlags[11] = FeaturePresent(0x0050, false);
  capabilityFlags[12] = capabilityFlags[13] = capabilityFlags[14] = FeaturePresent(0x0040, false);
  capabilityFlags[29] = capabilityFlags[30] = FeaturePresent(0x0051, false);
  capabilityFlags[31] = capabilityFlags[32] = FeaturePresent(0x0041, false);
}

bool TSCSIDevice::DeviceCapability(int index) {
  std::lock_guard deviceGuard(deviceLock);
  if (index == 72) {
    OpenLog(defaultLogPath);
    return log_ != nullptr;
  }
  if (index == 73) {
    log_.reset();
    return true;
  }
  if (index < 1 || index > 42) return false;
  return capabilityFlags[index];
}

bool TSCSIDevice::IsRecorder() { return capabilitiesPage[3] != 0; }

uint32_t TSCSIDevice::PageWord(int offset) const { return GetBe16(capabilitiesPage + offset); }

uint32_t TSCSIDevice::GetMaxReadSpeed() {
  std::lock_guard deviceGuard(deviceLock);
  ReadCapabilities(); return PageWord(8); }
uint32_t TSCSIDevice::GetCurrentReadSpeed() {
  std::lock_guard deviceGuard(deviceLock);
  ReadCapabilities(); return PageWord(14); }
uint32_t TSCSIDevice::GetMaxWriteSpeed() {
  std::lock_guard deviceGuard(deviceLock);
  ReadCapabilities(); return PageWord(18); }
uint32_t TSCSIDevice::GetCurrentWriteSpeed() {
  std::lock_guard deviceGuard(deviceLock);
  ReadCapabilities(); return PageWord(20); }

bool TSCSIDevice::SetWriteParameters(bool leaveSessionOpen) {
  std::lock_guard deviceGuard(deviceLock);
  if (!ModeSense10(0x05, false, 512)) return false;
  const int at = (buffer[8] & 0x3F) == 0x05 ? 8 : 16;
  const uint8_t drivePageLength = buffer[size_t(at) + 1];
  uint8_t page[72] = {0x05, 0x32, 0x42, 0xC4, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x96};
  page[1] = drivePageLength;
  const int m = GetMediaType();

  int writeType = 1, trackMode = 4, multiSession = page[3] >> 6;
  bool fixedPacket = false, linkSizeValid = false, bufe = false;
  uint32_t packetSize = 0;
  uint8_t linkSize = 0;
  if (m == mtDDCDR || m == mtDDCDRW) { writeType = 2; trackMode = 5; }
  if (m == mtDVDR || m == mtDVDRWRestricted || m == mtDVDRWSequential) { writeType = 0; trackMode = 5; }
  if (!TestWrite) multiSession = leaveSessionOpen ? 3 : 0;
  if (m == mtDVDR) {
    multiSession = 3; fixedPacket = true; packetSize = 16; linkSize = 16; linkSizeValid = true;
  } else if (m == mtDVDRWRestricted || m == mtDVDRWSequential) {
    multiSession = 3; fixedPacket = false; packetSize = 16; linkSize = 16; linkSizeValid = true;
  }
  if (m == mtDVDPlusRW || m == mtDVDPlusR) {
    writeType = 2; trackMode = 4; linkSizeValid = true; linkSize = 16;
    if (m == mtDVDPlusRW) { fixedPacket = false; packetSize = 0; }
    else { fixedPacket = true; packetSize = 16; }
    if (m == mtDVDPlusR && !leaveSessionOpen) { fixedPacket = false; packetSize = 0; linkSize = 0; }
  } else if (m == mtDVDPlusRDL) {
    writeType = 2; trackMode = 4; linkSizeValid = true; linkSize = 0; fixedPacket = false;
    packetSize = 0; multiSession = leaveSessionOpen ? 3 : 0;
  } else if (BurnProof && BitSet(capabilitiesPage[4], 7)) {
    bufe = true;
  }
  page[2] = uint8_t(writeType | (TestWrite ? 0x10 : 0) | (linkSizeValid ? 0x20 : 0) | (bufe ? 0x40 : 0));
  page[3] = uint8_t((multiSession << 6) | (fixedPacket ? 0x20 : 0) | trackMode);
  page[4] = 8;
  page[5] = linkSize;
  page[6] = 0;
  page[8] = 0;
  PutBe32(page + 10, packetSize);
  PutBe16(page + 14, 150);
  std::memcpy(writeParametersPage, page, sizeof page);

  const uint32_t pageBytes = std::min<uint32_t>(drivePageLength + 2u, sizeof page);
  std::vector<uint8_t> out(8 + pageBytes, 0);
  std::memcpy(out.data() + 8, page, pageBytes);
  return ModeSelect10(out.data(), uint16_t(out.size()));
}

}  // namespace yux::disc
