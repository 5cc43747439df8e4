#include "platform/mmc_emulated.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace yux::platform {

namespace {

constexpr uint32_t kBlock = 2048;

uint32_t Be32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
uint16_t Be16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
void Put32(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v >> 24); p[1] = uint8_t(v >> 16); p[2] = uint8_t(v >> 8); p[3] = uint8_t(v);
}
void Put16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v >> 8); p[1] = uint8_t(v); }

// Copies a built answer into the caller's buffer, cut to its length.
uint32_t Deliver(const std::vector<uint8_t>& answer, uint8_t* d, uint32_t len) {
  uint32_t n = std::min<uint32_t>(len, uint32_t(answer.size()));
  if (n && d) std::memcpy(d, answer.data(), n);
  return n;
}

bool IsCd(uint16_t p) { return p >= kProfileCdRom && p <= kProfileCdRw; }

}  // namespace

EmulatedMmcDrive::EmulatedMmcDrive(std::string imagePath, uint16_t profile,
                                   uint32_t capacityBlocks)
    : path_(std::move(imagePath)), profile_(profile), capacity_(0) {
  capabilitiesPage.assign(32, 0);
  capabilitiesPage[0] = 0x2A;
  capabilitiesPage[1] = 30;
  capabilitiesPage[2] = 0x3B;  // reads CD-R, CD-RW, DVD-ROM, DVD-R, DVD-RAM
  capabilitiesPage[3] = 0x37;  // writes CD-R, CD-RW, test write, DVD-R, DVD-RAM
  capabilitiesPage[4] = 0x80;  // buffer-underrun protection
  Put16(&capabilitiesPage[8], 8467);
  Put16(&capabilitiesPage[14], 8467);
  Put16(&capabilitiesPage[18], 7056);
  Put16(&capabilitiesPage[20], 7056);
  features = {{0x002A, 0x01}, {0x002B, 0x01}, {0x002F, 0x02},
              {0x003B, 0x01}, {0x0040, 0x00}, {0x0041, 0x00}};
  writePage_.assign(52, 0);
  const uint8_t tmpl[16] = {0x05, 0x32, 0x01, 0x04, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x96};
  std::memcpy(writePage_.data(), tmpl, sizeof tmpl);
  fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  std::lock_guard lock(mutex_);
  if (!LoadState()) {
    profile_ = profile;
    capacity_ = capacityBlocks ? capacityBlocks : DefaultCapacity(profile);
    present_ = profile != kProfileNone;
    ResizeImage();
  }
}

std::string EmulatedMmcDrive::StateText() const {
  std::ostringstream out;
  out << "profile " << profile_ << "\ncapacity " << capacity_ << "\nsessions " << closedSessions_
      << "\nfinalized " << finalized_ << "\nformatted " << formatted_ << "\nintermediate "
      << intermediate_ << "\nwrittenend " << writtenEnd_ << "\n";
  for (const auto& t : tracks_)
    out << "track " << t.start << ' ' << t.recorded << ' ' << t.reservedSize << ' ' << t.session
        << ' ' << t.closed << "\n";
  return out.str();
}

bool EmulatedMmcDrive::LoadState() {
  std::ifstream in(path_ + ".state");
  if (!in) return false;
  std::string key;
  std::vector<EmulatedTrack> tracks;
  uint32_t profile = 0, capacity = 0, writtenEnd = 0;
  int sessions = 0;
  bool finalized = false, formatted = true, intermediate = false;
  while (in >> key) {
    if (key == "profile") in >> profile;
    else if (key == "capacity") in >> capacity;
    else if (key == "sessions") in >> sessions;
    else if (key == "finalized") in >> finalized;
    else if (key == "formatted") in >> formatted;
    else if (key == "intermediate") in >> intermediate;
    else if (key == "writtenend") in >> writtenEnd;
    else if (key == "track") {
      EmulatedTrack t;
      in >> t.start >> t.recorded >> t.reservedSize >> t.session >> t.closed;
      tracks.push_back(t);
    } else {
      return false;
    }
    if (!in) return false;
  }
  if (capacity == 0) return false;
  profile_ = uint16_t(profile);
  capacity_ = capacity;
  present_ = profile_ != kProfileNone;
  tracks_ = std::move(tracks);
  closedSessions_ = sessions;
  finalized_ = finalized;
  formatted_ = formatted;
  intermediate_ = intermediate;
  writtenEnd_ = writtenEnd;
  savedState_ = StateText();
  ResizeImage();
  return true;
}

// Rewrites the state file when the medium changed (through a temporary
// file, so that a process killed meanwhile leaves the old state whole).
void EmulatedMmcDrive::SaveState() {
  std::string text = StateText();
  if (text == savedState_) return;
  const std::string temp = path_ + ".state.tmp";
  {
    std::ofstream out(temp, std::ios::trunc);
    out << text;
    if (!out.flush()) return;
  }
  if (std::rename(temp.c_str(), (path_ + ".state").c_str()) == 0) savedState_ = std::move(text);
}

EmulatedMmcDrive::~EmulatedMmcDrive() {
  if (fd_ >= 0) ::close(fd_);
}

uint32_t EmulatedMmcDrive::DefaultCapacity(uint16_t profile) const {
  if (IsCd(profile)) return 359849;
  if (profile == kProfileDvdPlusRDl) return 4173824;
  if (profile >= kProfileBdRom && profile <= kProfileBdRe) return 12219392;
  return 2295104;
}

void EmulatedMmcDrive::ResizeImage() {
  if (fd_ < 0) return;
  off_t want = off_t(capacity_) * kBlock;
  off_t have = ::lseek(fd_, 0, SEEK_END);
  if (have < want && ::ftruncate(fd_, want) != 0) return;  // sparse growth
}

void EmulatedMmcDrive::InsertMedium(uint16_t profile, uint32_t capacityBlocks) {
  std::lock_guard lock(mutex_);
  profile_ = profile;
  capacity_ = capacityBlocks ? capacityBlocks : DefaultCapacity(profile);
  present_ = profile != kProfileNone;
  tracks_.clear();
  closedSessions_ = 0;
  finalized_ = false;
  formatted_ = true;
  intermediate_ = false;
  writtenEnd_ = 0;
  ResizeImage();
  SaveState();
}

void EmulatedMmcDrive::RemoveMedium() {
  std::lock_guard lock(mutex_);
  present_ = false;
}

uint16_t EmulatedMmcDrive::Profile() const { std::lock_guard lock(mutex_); return profile_; }
bool EmulatedMmcDrive::TrayOpen() const { std::lock_guard lock(mutex_); return trayOpen_; }
bool EmulatedMmcDrive::Locked() const { std::lock_guard lock(mutex_); return locked_; }
std::vector<EmulatedTrack> EmulatedMmcDrive::Tracks() const { std::lock_guard lock(mutex_); return tracks_; }
int EmulatedMmcDrive::ClosedSessions() const { std::lock_guard lock(mutex_); return closedSessions_; }
bool EmulatedMmcDrive::Finalized() const { std::lock_guard lock(mutex_); return finalized_; }
uint32_t EmulatedMmcDrive::Capacity() const { std::lock_guard lock(mutex_); return capacity_; }

// The holder flag is atomic, not under the drive's lock: it is asked from
// inside commands (the test clock), where the lock is already held.
bool EmulatedMmcDrive::ClaimExclusive() {
  bool expected = false;
  return heldExclusively_.compare_exchange_strong(expected, true);
}
void EmulatedMmcDrive::ReleaseExclusive() { heldExclusively_ = false; }
bool EmulatedMmcDrive::HeldExclusively() const { return heldExclusively_; }

void EmulatedMmcDrive::InjectMediumError(uint32_t lba) { std::lock_guard lock(mutex_); mediumErrors_[lba] = true; }
void EmulatedMmcDrive::SetBusy(int commands) { std::lock_guard lock(mutex_); busyLeft_ = commands; }
void EmulatedMmcDrive::FailOpcode(uint8_t opcode, int times) { std::lock_guard lock(mutex_); failing_[opcode] = times; }
void EmulatedMmcDrive::SetNotReadyPolls(int polls) { std::lock_guard lock(mutex_); notReadyPolls_ = polls; }

std::vector<EmulatedLogEntry> EmulatedMmcDrive::Log() const { std::lock_guard lock(mutex_); return log_; }
void EmulatedMmcDrive::ClearLog() { std::lock_guard lock(mutex_); log_.clear(); }

bool EmulatedMmcDrive::GetAddress(MmcAddress& a) {
  if (!addressable) return false;
  a = address;
  return true;
}

uint64_t EmulatedMmcDrive::Now() const {
  if (clock) return clock();
  return uint64_t(std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now().time_since_epoch()).count());
}

bool EmulatedMmcDrive::ReadImage(uint32_t lba, uint32_t count, uint8_t* out) const {
  size_t n = size_t(count) * kBlock;
  ssize_t got = ::pread(fd_, out, n, off_t(lba) * kBlock);
  if (got < 0) return false;
  if (size_t(got) < n) std::memset(out + got, 0, n - size_t(got));
  return true;
}

bool EmulatedMmcDrive::WriteImage(uint32_t lba, uint32_t count, const uint8_t* in) {
  size_t n = size_t(count) * kBlock;
  return ::pwrite(fd_, in, n, off_t(lba) * kBlock) == ssize_t(n);
}

std::vector<uint8_t> EmulatedMmcDrive::ReadBlocks(uint32_t lba, uint32_t count) const {
  std::lock_guard lock(mutex_);
  std::vector<uint8_t> out(size_t(count) * kBlock);
  ReadImage(lba, count, out.data());
  return out;
}

void EmulatedMmcDrive::WriteBlocks(uint32_t lba, const std::vector<uint8_t>& data) {
  std::lock_guard lock(mutex_);
  std::vector<uint8_t> padded(data);
  padded.resize((padded.size() + kBlock - 1) / kBlock * kBlock);
  WriteImage(lba, uint32_t(padded.size() / kBlock), padded.data());
}

void EmulatedMmcDrive::SetRecordedSessions(const std::vector<uint32_t>& sessionBlocks,
                                           bool finalized) {
  std::lock_guard lock(mutex_);
  tracks_.clear();
  closedSessions_ = 0;
  for (uint32_t blocks : sessionBlocks) {
    EmulatedTrack t;
    t.start = InvisibleStart();
    t.recorded = blocks;
    t.session = closedSessions_ + 1;
    t.closed = true;
    tracks_.push_back(t);
    ++closedSessions_;
  }
  finalized_ = finalized;
  SaveState();
}

bool EmulatedMmcDrive::IsRandomWritable() const {
  return profile_ == kProfileDvdPlusRw || profile_ == kProfileDvdRwRestricted ||
         profile_ == kProfileDvdRam || profile_ == kProfileBdRe;
}
bool EmulatedMmcDrive::IsSequential() const {
  return profile_ == kProfileCdR || profile_ == kProfileCdRw || profile_ == kProfileDvdR ||
         profile_ == kProfileDvdRwSequential || profile_ == kProfileDvdPlusR ||
         profile_ == kProfileDvdPlusRDl || profile_ == kProfileBdR;
}
bool EmulatedMmcDrive::IsErasable() const {
  return profile_ == kProfileCdRw || profile_ == kProfileDvdRwRestricted ||
         profile_ == kProfileDvdRwSequential || profile_ == kProfileDvdPlusRw ||
         profile_ == kProfileDvdRam || profile_ == kProfileBdRe;
}

// Lead-out and lead-in between two sessions.
uint32_t EmulatedMmcDrive::SessionGap() const {
  if (IsCd(profile_)) return closedSessions_ <= 1 ? 11400 : 6900;
  return 12288;
}

// Start of the blank track that follows the recorded ones.
uint32_t EmulatedMmcDrive::InvisibleStart() const {
  if (tracks_.empty()) return 0;
  const EmulatedTrack& t = tracks_.back();
  uint32_t end = t.start + (t.reservedSize ? t.reservedSize : t.recorded);
  if (t.session <= closedSessions_) end += SessionGap();
  return end;
}

uint32_t EmulatedMmcDrive::NextWritableAddress() const {
  std::lock_guard lock(mutex_);
  if (!IsSequential()) return 0;
  if (!tracks_.empty() && !tracks_.back().closed)
    return tracks_.back().start + tracks_.back().recorded;
  return InvisibleStart();
}

void EmulatedMmcDrive::CloseOpenTrack() {
  if (!tracks_.empty() && !tracks_.back().closed) tracks_.back().closed = true;
}

EmulatedMmcDrive::Answer EmulatedMmcDrive::Check(uint8_t key, uint8_t asc, uint8_t ascq) const {
  Answer a;
  a.status = 2;
  a.key = key;
  a.asc = asc;
  a.ascq = ascq;
  return a;
}

MmcResult EmulatedMmcDrive::Execute(const MmcRequest& request) {
  std::lock_guard lock(mutex_);
  EmulatedLogEntry entry;
  entry.cdb.assign(request.cdb, request.cdb + request.cdbLength);
  entry.direction = request.direction;
  entry.timeMs = Now();
  if (request.direction == MmcDirection::Out && request.data && logData)
    entry.data.assign(request.data, request.data + request.length);

  uint8_t cdb[16] = {};
  std::memcpy(cdb, request.cdb, std::min(request.cdbLength, 16));
  Answer a = Dispatch(cdb, request.direction, request.data, request.length);

  MmcResult r;
  r.sent = true;
  r.scsiStatus = a.status;
  r.transferred = a.transferred;
  if (a.status == 2) SetSense(r, a.key, a.asc, a.ascq);
  entry.status = a.status;
  entry.senseKey = a.key;
  entry.asc = a.asc;
  entry.ascq = a.ascq;
  if (request.direction == MmcDirection::In && request.data && a.status == 0 && logData)
    entry.data.assign(request.data, request.data + a.transferred);
  log_.push_back(std::move(entry));
  SaveState();
  return r;
}

EmulatedMmcDrive::Answer EmulatedMmcDrive::Dispatch(const uint8_t* cdb, MmcDirection dir,
                                                    uint8_t* d, uint32_t len) {
  const uint8_t op = cdb[0];
  if (busyLeft_ > 0) {
    --busyLeft_;
    Answer a;
    a.status = 8;
    return a;
  }
  auto f = failing_.find(op);
  if (f != failing_.end() && f->second != 0) {
    if (f->second > 0) --f->second;
    return Check(0x05, 0x20, 0x00);
  }
  // INQUIRY and the configuration queries answer whatever the medium does.
  const bool anyState = op == 0x12 || op == 0x03 || op == 0x46 || op == 0x5A || op == 0x1B ||
                        op == 0x1E || op == 0xBB || op == 0x55;
  if (unitAttention_ && op != 0x12 && op != 0x03) {
    unitAttention_ = false;
    return Check(0x06, 0x28, 0x00);  // medium may have changed
  }
  if (!anyState) {
    if (trayOpen_) return Check(0x02, 0x3A, 0x02);
    if (!present_) return Check(0x02, 0x3A, 0x01);
    if (notReadyLeft_ > 0) {
      --notReadyLeft_;
      return Check(0x02, 0x04, 0x01);  // becoming ready
    }
  }
  Answer ok;
  switch (op) {
    case 0x00: return ok;                           // TEST UNIT READY
    case 0x12: return Inquiry(cdb, d, len);
    case 0x1B: return StartStop(cdb);
    case 0x1E: locked_ = cdb[4] & 1; return ok;      // PREVENT ALLOW MEDIUM REMOVAL
    case 0x23: return ReadFormatCapacities(d, len);
    case 0x28: return Read10(cdb, d, len);
    case 0x2A: return Write10(cdb, d, len);
    case 0x35:                                       // SYNCHRONIZE CACHE
      if (cdb[1] & 2) notReadyLeft_ = notReadyPolls_;
      return ok;
    case 0x04: return Format(cdb, d, len);
    case 0x43: return ReadToc(cdb, d, len);
    case 0x46: return GetConfiguration(cdb, d, len);
    case 0x51: return ReadDiscInformation(d, len);
    case 0x52: return ReadTrackInformation(cdb, d, len);
    case 0x53: return ReserveTrack(cdb);
    case 0x55: return ModeSelect(cdb, d, len);
    case 0x5A: return ModeSense(cdb, d, len);
    case 0x5B: return CloseTrackSession(cdb);
    case 0x5C: {                                     // READ BUFFER CAPACITY
      std::vector<uint8_t> b(12, 0);
      Put16(&b[0], 10);
      Put32(&b[4], 2u << 20);
      Put32(&b[8], 2u << 20);
      ok.transferred = Deliver(b, d, len);
      return ok;
    }
    case 0xA1: return Blank(cdb);
    case 0xB6:                                       // SET STREAMING
      if (dir != MmcDirection::Out || len < 28) return Check(0x05, 0x24, 0x00);
      return ok;
    case 0xBB:                                       // SET CD SPEED
      readSpeed_ = Be16(cdb + 2);
      writeSpeed_ = Be16(cdb + 4);
      return ok;
    case 0xBF:                                       // SEND DVD STRUCTURE
      if (IsCd(profile_)) return Check(0x05, 0x30, 0x02);
      return ok;
    default:
      return Check(0x05, 0x20, 0x00);  // invalid command operation code
  }
}

EmulatedMmcDrive::Answer EmulatedMmcDrive::Inquiry(const uint8_t* cdb, uint8_t* d, uint32_t len) {
  std::vector<uint8_t> b(96, 0);
  b[0] = peripheralType;
  b[1] = 0x80;  // removable
  b[2] = 0x05;
  b[3] = 0x32;
  b[4] = 91;
  auto put = [&](size_t at, const std::string& s, size_t w) {
    for (size_t i = 0; i < w; ++i) b[at + i] = i < s.size() ? uint8_t(s[i]) : ' ';
  };
  put(8, vendor, 8);
  put(16, product, 16);
  put(32, revision, 4);
  Answer a;
  a.transferred = Deliver(b, d, std::min<uint32_t>(len, cdb[4] | (cdb[3] << 8)));
  return a;
}

EmulatedMmcDrive::Answer EmulatedMmcDrive::StartStop(const uint8_t* cdb) {
  const bool immediate = cdb[1] & 1;
  const uint8_t bits = cdb[4] & 3;
  Answer ok;
  if (bits == 2) {  // eject
    if (locked_) return Check(0x05, 0x53, 0x02);  // medium removal prevented
    trayOpen_ = true;
    return ok;
  }
  if (bits == 3) {  // load
    if (trayOpen_) {
      trayOpen_ = false;
      if (present_) unitAttention_ = true;
    }
    if (immediate && present_) notReadyLeft_ = notReadyPolls_;
    return ok;
  }
  if (trayOpen_) return Check(0x02, 0x3A, 0x02);
  return ok;
}

EmulatedMmcDrive::Answer EmulatedMmcDrive::ModeSense(const uint8_t* cdb, uint8_t* d, uint32_t len) {
  const uint8_t page = cdb[2] & 0x3F;
  const uint8_t pc = cdb[2] >> 6;
  std::vector<uint8_t> body;
  if (page == 0x2A) {
    body = capabilitiesPage;
    if (pc == 0) {  // current speeds as set
      if (readSpeed_ != 0xFFFF && body.size() > 15) Put16(&body[14], readSpeed_);
      if (writeSpeed_ != 0xFFFF && body.size() > 21) Put16(&body[20], writeSpeed_);
    }
  } else if (page == 0x05) {
    if (pc == 2) {
      body.assign(52, 0);
      const uint8_t tmpl[16] = {0x05, 0x32, 0x01, 0x04, 0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x96};
      std::memcpy(body.data(), tmpl, sizeof tmpl);
    } else {
      body = writePage_;
    }
  } else if (page == 0x30 && hasPage30) {
    body = {0x30, 0x06, 0x01, 0, 0, 0, 0, 0};
  } else {
    return Check(0x05, 0x24, 0x00);
  }
  std::vector<uint8_t> b(8, 0);
  b.insert(b.end(), body.begin(), body.end());
  Put16(&b[0], uint16_t(b.size() - 2));
  Answer a;
  a.transferred = Deliver(b, d, std::min<uint32_t>(len, Be16(cdb + 7)));
  return a;
}

EmulatedMmcDrive::Answer EmulatedMmcDrive::ModeSelect(const uint8_t* cdb, const uint8_t* d,
                                                      uint32_t len) {
  uint32_t n = std::min<uint32_t>(len, Be16(cdb + 7));
  if (!d || n < 10) return Check(0x05, 0x1A, 0x00);  // parameter list length error
  uint32_t at = 8 + Be16(d + 6);
  if (at + 2 > n || (d[at] & 0x3F) != 0x05) return Check(0x05, 0x26, 0x00);
  uint32_t pageLen = std::min<uint32_t>(d[at + 1] + 2u, n - at);
  writePage_.assign(d + at, d + at + pageLen);
  if (writePage_.size() < 52) writePage_.resize(52, 0);
  return Answer{};
}

EmulatedMmcDrive::Answer EmulatedMmcDrive::GetConfiguration(const uint8_t* cdb, uint8_t* d,
                                                            uint32_t len) {
  const uint8_t rt = cdb[1] & 3;
  const uint16_t start = Be16(cdb + 2);
  const uint16_t current = (present_ && !trayOpen_) ? profile_ : 0;
  std::vector<uint8_t> b(8, 0);
  Put16(&b[6], current);
  auto profileList = [&] {
    static const uint16_t all[] = {kProfileCdRom, kProfileCdR, kProfileCdRw, kProfileDvdRom,
                                   kProfileDvdR, kProfileDvdRam, kProfileDvdRwRestricted,
                                   kProfileDvdRwSequential, kProfileDvdPlusRw, kProfileDvdPlusR,
                                   kProfileDvdPlusRDl, kProfileBdRom, kProfileBdR, kProfileBdRe};
    std::vector<uint8_t> f = {0x00, 0x00, 0x03, uint8_t(4 * std::size(all))};
    for (uint16_t p : all) {
      uint8_t e[4] = {uint8_t(p >> 8), uint8_t(p), uint8_t(p == current ? 1 : 0), 0};
      f.insert(f.end(), e, e + 4);
    }
    return f;
  };
  auto feature = [&](uint16_t code, uint8_t byte4) {
    return std::vector<uint8_t>{uint8_t(code >> 8), uint8_t(code), 0x01, 4, byte4, 0, 0, 0};
  };
  auto append = [&](const std::vector<uint8_t>& f) { b.insert(b.end(), f.begin(), f.end()); };
  if (rt == 2) {
    if (start == 0) append(profileList());
    else if (auto it = features.find(start); it != features.end()) append(feature(start, it->second));
  } else {
    if (start == 0) append(profileList());
    for (auto& [code, byte4] : features)
      if (code >= start) append(feature(code, byte4));
  }
  Put32(&b[0], uint32_t(b.size() - 4));
  Answer a;
  a.transferred = Deliver(b, d, std::min<uint32_t>(len, Be16(cdb + 7)));
  return a;
}

EmulatedMmcDrive::Answer EmulatedMmcDrive::ReadDiscInformation(uint8_t* d, uint32_t len) {
  std::vector<uint8_t> b(34, 0);
  Put16(&b[0], 32);
  uint8_t status, lastState;
  int sessions, firstInLast, lastInLast;
  if (IsRandomWritable()) {
    status = 2; lastState = 3; sessions = 1; firstInLast = 1; lastInLast = 1;
  } else {
    const int n = int(tracks_.size());
    const bool openTracks = n && tracks_.back().session > closedSessions_;
    if (n == 0) {
      status = 0; lastState = 0; sessions = 1; firstInLast = 1; lastInLast = 1;
    } else if (finalized_) {
      status = 2; lastState = 3; sessions = closedSessions_;
      lastInLast = n;
      firstInLast = n;
      while (firstInLast > 1 && tracks_[firstInLast - 2].session == closedSessions_) --firstInLast;
    } else {
      status = 1;
      lastState = openTracks ? 1 : 0;
      sessions = closedSessions_ + 1;
      if (openTracks) {
        firstInLast = n;
        while (firstInLast > 1 && tracks_[firstInLast - 2].session == sessions) --firstInLast;
        lastInLast = tracks_.back().closed ? n + 1 : n;
      } else {
        firstInLast = lastInLast = n + 1;
      }
    }
  }
  b[2] = uint8_t((IsErasable() ? 0x10 : 0) | (lastState << 2) | status);
  b[3] = 1;
  b[4] = uint8_t(sessions);
  b[5] = uint8_t(firstInLast);
  b[6] = uint8_t(lastInLast);
  b[7] = 0x20;  // unrestricted use
  b[8] = 0x00;  // disc type: CD-DA or CD-ROM / DVD / BD
  b[9] = uint8_t(sessions >> 8);
  b[10] = uint8_t(firstInLast >> 8);
  b[11] = uint8_t(lastInLast >> 8);
  // last possible lead-out start
  Put32(&b[20], capacity_);
  Answer a;
  a.transferred = Deliver(b, d, len);
  return a;
}

EmulatedMmcDrive::Answer EmulatedMmcDrive::ReadTrackInformation(const uint8_t* cdb, uint8_t* d,
                                                                uint32_t len) {
  if ((cdb[1] & 3) != 1) return Check(0x05, 0x24, 0x00);
  uint32_t number = Be32(cdb + 2);
  std::vector<uint8_t> b(36, 0);
  Put16(&b[0], 34);
  uint32_t start, nwa = 0, freeBlocks, size, lra;
  bool nwaValid, blank = false;
  int session;
  if (IsRandomWritable()) {
    if (number != 1 && number != 0xFF) return Check(0x05, 0x24, 0x00);
    number = 1;
    session = 1;
    start = 0; size = capacity_; freeBlocks = capacity_; nwaValid = false; lra = 0;
    if (profile_ == kProfileDvdRwRestricted && intermediate_) {
      nwaValid = true;
      nwa = writtenEnd_;
      freeBlocks = capacity_ > nwa ? capacity_ - nwa : 0;
      lra = writtenEnd_ ? writtenEnd_ - 1 : 0;
    }
  } else {
    const uint32_t n = uint32_t(tracks_.size());
    const bool hasInvisible = !finalized_ && (n == 0 || tracks_.back().closed);
    const uint32_t count = n + (hasInvisible ? 1 : 0);
    if (number == 0xFF) {
      if (finalized_) return Check(0x05, 0x24, 0x00);
      number = count;
    }
    if (number == 0 || number > count) return Check(0x05, 0x24, 0x00);
    if (number <= n) {
      const EmulatedTrack& t = tracks_[number - 1];
      session = t.session;
      start = t.start;
      if (t.closed) {
        size = t.reservedSize ? t.reservedSize : t.recorded;
        freeBlocks = t.reservedSize ? t.reservedSize - t.recorded : 0;
        nwaValid = t.reservedSize && t.recorded < t.reservedSize;
        nwa = start + t.recorded;
      } else if (t.reservedSize) {
        size = t.reservedSize;
        nwa = start + t.recorded;
        freeBlocks = t.reservedSize - t.recorded;
        nwaValid = true;
      } else {
        nwa = start + t.recorded;
        size = capacity_ > start ? capacity_ - start : 0;
        freeBlocks = capacity_ > nwa ? capacity_ - nwa : 0;
        nwaValid = true;
      }
      lra = t.recorded ? start + t.recorded - 1 : 0;
    } else {
      session = closedSessions_ + 1;
      start = InvisibleStart();
      nwa = start;
      size = freeBlocks = capacity_ > start ? capacity_ - start : 0;
      nwaValid = true;
      blank = true;
      lra = 0;
    }
  }
  b[2] = uint8_t(number);
  b[3] = uint8_t(session);
  b[5] = 0x04;  // data track, recorded uninterrupted
  b[6] = uint8_t((blank ? 0x40 : 0) | (IsSequential() ? 0x20 : 0) | 0x01);
  b[7] = nwaValid ? 1 : 0;
  Put32(&b[8], start);
  Put32(&b[12], nwaValid ? nwa : 0);
  Put32(&b[16], freeBlocks);
  Put32(&b[20], 0);
  Put32(&b[24], size);
  Put32(&b[28], lra);
  b[32] = uint8_t(number >> 8);
  b[33] = uint8_t(session >> 8);
  Answer a;
  a.transferred = Deliver(b, d, std::min<uint32_t>(len, Be16(cdb + 7)));
  return a;
}

EmulatedMmcDrive::Answer EmulatedMmcDrive::ReadToc(const uint8_t* cdb, uint8_t* d, uint32_t len) {
  const uint8_t format = cdb[2] & 0x0F;
  std::vector<uint8_t> b;
  if (format == 4) {  // ATIP, CD-R and CD-RW only
    if (profile_ != kProfileCdR && profile_ != kProfileCdRw) return Check(0x05, 0x24, 0x00);
    b.assign(28, 0);
    Put16(&b[0], 26);
    b[4] = 0x50;
    b[6] = profile_ == kProfileCdRw ? 0xC0 : 0x80;
    b[8] = 97; b[9] = 27; b[10] = 0;   // lead-in start (MSF)
    b[12] = 79; b[13] = 59; b[14] = 74;  // last possible lead-out (MSF)
  } else if (format == 0) {
    std::vector<const EmulatedTrack*> recorded;
    for (auto& t : tracks_) if (t.closed) recorded.push_back(&t);
    if (recorded.empty()) return Check(0x05, 0x24, 0x00);
    const bool msf = cdb[1] & 2;
    b.assign(4, 0);
    b[2] = 1;
    b[3] = uint8_t(recorded.size());
    auto entry = [&](uint8_t no, uint32_t lba) {
      uint8_t e[8] = {0, 0x14, no, 0, 0, 0, 0, 0};
      if (msf) {
        uint32_t f = lba + 150;
        e[5] = uint8_t(f / 4500); e[6] = uint8_t(f / 75 % 60); e[7] = uint8_t(f % 75);
      } else {
        Put32(e + 4, lba);
      }
      b.insert(b.end(), e, e + 8);
    };
    for (size_t i = 0; i < recorded.size(); ++i) entry(uint8_t(i + 1), recorded[i]->start);
    const EmulatedTrack& last = *recorded.back();
    entry(0xAA, last.start + (last.reservedSize ? last.reservedSize : last.recorded));
    Put16(&b[0], uint16_t(b.size() - 2));
  } else {
    return Check(0x05, 0x24, 0x00);
  }
  Answer a;
  a.transferred = Deliver(b, d, std::min<uint32_t>(len, Be16(cdb + 7)));
  return a;
}

EmulatedMmcDrive::Answer EmulatedMmcDrive::ReadFormatCapacities(uint8_t* d, uint32_t len) {
  std::vector<uint8_t> b(4, 0);
  uint8_t cur[8] = {};
  Put32(cur, capacity_);
  cur[4] = (IsRandomWritable() && formatted_) ? 2 : 1;
  cur[6] = 0x08;  // 2048-byte blocks
  b.insert(b.end(), cur, cur + 8);
  if (IsErasable()) {
    uint8_t full[8] = {};
    Put32(full, capacity_);
    full[4] = 0x00;  // format type 00h: full format
    full[6] = 0x08;
    b.insert(b.end(), full, full + 8);
  }
  b[3] = uint8_t(b.size() - 4);
  Answer a;
  a.transferred = Deliver(b, d, len);
  return a;
}

EmulatedMmcDrive::Answer EmulatedMmcDrive::Read10(const uint8_t* cdb, uint8_t* d, uint32_t len) {
  const uint32_t lba = Be32(cdb + 2);
  const uint32_t count = Be16(cdb + 7);
  if (uint64_t(lba) + count > capacity_) return Check(0x05, 0x21, 0x00);
  if (uint64_t(count) * kBlock > len || !d) return Check(0x05, 0x24, 0x00);
  for (uint32_t i = 0; i < count; ++i) {
    if (mediumErrors_.count(lba + i)) return Check(0x03, 0x11, 0x00);
    if (IsSequential()) {
      bool inside = false;
      for (auto& t : tracks_)
        if (lba + i >= t.start && lba + i < t.start + t.recorded) { inside = true; break; }
      if (!inside) return Check(0x05, 0x21, 0x00);  // blank area
    }
  }
  if (!ReadImage(lba, count, d)) return Check(0x03, 0x11, 0x00);
  Answer a;
  a.transferred = count * kBlock;
  return a;
}

EmulatedMmcDrive::Answer EmulatedMmcDrive::Write10(const uint8_t* cdb, const uint8_t* d,
                                                   uint32_t len) {
  const uint32_t lba = Be32(cdb + 2);
  const uint32_t count = Be16(cdb + 7);
  if (uint64_t(count) * kBlock > len || !d) return Check(0x05, 0x24, 0x00);
  if (uint64_t(lba) + count > capacity_) return Check(0x05, 0x21, 0x00);
  if (profile_ == kProfileCdRom || profile_ == kProfileDvdRom || profile_ == kProfileBdRom)
    return Check(0x05, 0x30, 0x05);
  for (uint32_t i = 0; i < count; ++i)
    if (mediumErrors_.count(lba + i)) return Check(0x03, 0x0C, 0x00);
  if (IsSequential()) {
    if (finalized_) return Check(0x05, 0x21, 0x02);
    EmulatedTrack* open = (!tracks_.empty() && !tracks_.back().closed) ? &tracks_.back() : nullptr;
    const uint32_t nwa = open ? open->start + open->recorded : InvisibleStart();
    if (lba != nwa) return Check(0x05, 0x21, 0x02);  // invalid address for write
    if (open && open->reservedSize && open->recorded + count > open->reservedSize)
      return Check(0x05, 0x21, 0x02);
    if (!open) {
      EmulatedTrack t;
      t.start = nwa;
      t.session = closedSessions_ + 1;
      tracks_.push_back(t);
      open = &tracks_.back();
    }
    if (!WriteImage(lba, count, d)) return Check(0x03, 0x0C, 0x00);
    open->recorded += count;
  } else if (!WriteImage(lba, count, d)) {
    return Check(0x03, 0x0C, 0x00);
  } else {
    writtenEnd_ = std::max(writtenEnd_, lba + count);
  }
  Answer a;
  a.transferred = count * kBlock;
  return a;
}

EmulatedMmcDrive::Answer EmulatedMmcDrive::CloseTrackSession(const uint8_t* cdb) {
  const uint8_t function = cdb[2] & 7;
  if (cdb[1] & 1) notReadyLeft_ = notReadyPolls_;
  if (!IsSequential()) return Answer{};
  if (finalized_) return Check(0x05, 0x2C, 0x00);
  if (function == 1) {
    CloseOpenTrack();
  } else if (function == 2 || function == 5 || function == 6) {
    CloseOpenTrack();
    if (!tracks_.empty() && tracks_.back().session > closedSessions_) {
      ++closedSessions_;
      // multi-session field of the write parameters: 11b keeps the disc open
      finalized_ = function == 6 || (writePage_[3] >> 6) != 3;
    }
  } else {
    return Check(0x05, 0x24, 0x00);
  }
  return Answer{};
}

EmulatedMmcDrive::Answer EmulatedMmcDrive::ReserveTrack(const uint8_t* cdb) {
  const uint32_t size = Be32(cdb + 5);
  if (!IsSequential() || finalized_ || (!tracks_.empty() && !tracks_.back().closed))
    return Check(0x05, 0x2C, 0x00);  // command sequence error
  EmulatedTrack t;
  t.start = InvisibleStart();
  if (size == 0 || uint64_t(t.start) + size > capacity_) return Check(0x05, 0x24, 0x00);
  t.reservedSize = size;
  t.session = closedSessions_ + 1;
  tracks_.push_back(t);
  return Answer{};
}

EmulatedMmcDrive::Answer EmulatedMmcDrive::Blank(const uint8_t* cdb) {
  if (profile_ != kProfileCdRw && profile_ != kProfileDvdRwSequential &&
      profile_ != kProfileDvdRwRestricted)
    return Check(0x05, 0x30, 0x05);  // cannot blank this medium
  const bool full = (cdb[1] & 7) == 0;
  tracks_.clear();
  closedSessions_ = 0;
  finalized_ = false;
  intermediate_ = false;
  writtenEnd_ = 0;
  if (profile_ == kProfileDvdRwRestricted) profile_ = kProfileDvdRwSequential;
  if (full && fd_ >= 0 && ::ftruncate(fd_, 0) == 0) ResizeImage();
  if (cdb[1] & 0x10) notReadyLeft_ = notReadyPolls_;
  return Answer{};
}

EmulatedMmcDrive::Answer EmulatedMmcDrive::Format(const uint8_t* cdb, const uint8_t* d,
                                                  uint32_t len) {
  if (!(profile_ == kProfileDvdPlusRw || profile_ == kProfileDvdRwSequential ||
        profile_ == kProfileDvdRwRestricted || profile_ == kProfileBdRe ||
        profile_ == kProfileDvdRam))
    return Check(0x05, 0x30, 0x05);
  // Format type and block count of the descriptor behind the list header.
  const bool withList = (cdb[1] & 0x10) && d && len >= 12;
  const uint8_t type = withList ? d[8] >> 2 : 0;
  const uint32_t blocks = withList ? Be32(d + 4) : 0;
  if (profile_ == kProfileDvdRwSequential) {
    profile_ = kProfileDvdRwRestricted;
    tracks_.clear();
    closedSessions_ = 0;
    finalized_ = false;
    // A quick format leaves the disc in the intermediate state with the
    // formatted blocks as its written area; a full one formats it all.
    intermediate_ = type == 0x15;
    writtenEnd_ = intermediate_ ? blocks : 0;
  } else if (profile_ == kProfileDvdRwRestricted && type == 0x00) {
    intermediate_ = false;
  }
  formatted_ = true;
  return Answer{};
}

}  // namespace yux::platform
