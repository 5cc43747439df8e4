// The disc delivery: burning the produced files onto a disc, session by session.
#include "core/run/cddelivery.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>

#include <QString>

#include "core/run/deliveryhistory.h"
#include "core/run/volumesets.h"
#include "core/store/appnames.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/msgtable.h"
#include "core/store/presets.h"
#include "core/store/programlog.h"
#include "disc/lcdbpro.h"
#include "platform/messagebox.h"

namespace yux {

namespace {

// What the done events tell the waiting stage.
struct DiscEvents {
  bool busy = false;     // an erase, write or verify is running
  bool success = false;  // the last erase or write ended without failure
  bool verifyAborting = false;
  bool verifyFailed = false;
  bool verifyEnded = false;            // the verify's final result came
  std::set<std::u16string> badFiles;   // names the verify found bad
  std::set<std::u16string> goodFiles;  // names the verify read back intact
};

DiscEvents& Events() {
  static DiscEvents e;
  return e;
}

std::string Narrow(const std::u16string& s) {
  std::string out;
  for (char16_t c : s) {
    if (c < 0x80) {
      out += char(c);
    } else if (c < 0x800) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += char(0xE0 | (c >> 12));
      out += char(0x80 | ((c >> 6) & 0x3F));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

const char kBad[] = " [!]";

std::string Megabytes(uint32_t blocks) {
  char t[32];
  std::snprintf(t, sizeof t, "%.1fM", blocks / 512.0);
  return t;
}

class Stage {
 public:
  explicit Stage(const CdJob& job)
      : job_(job), p_(*job.preset), b_(*job.burner), t_(CdDeliveryTuning()) {}
  ~Stage() {
    // Whichever way the stage ends, the tray opens again.
    if (locked_) b_.UnlockMedium();
  }

  CdResult Run();

 private:
  void Pump() {
    if (job_.pump)
      job_.pump();
    else
      platform::ProcessMessages();
  }
  // Sleeps `ms` in short steps, handling messages.
  void Wait(platform::DWORD ms) {
    platform::WaitPumping([] { return false; }, ms, 20);
    Pump();
  }
  void Progress(int pos) {
    if (job_.progress) job_.progress(pos);
  }
  void Lock() {
    if (b_.LockMedium()) locked_ = true;
  }
  void Unlock() {
    b_.UnlockMedium();
    locked_ = false;
  }
  // Eject and reload, or only a pause when the disc must stay in.
  void Reload() {
    if (p_.cne) {
      Wait(t_.settleMs);
      return;
    }
    b_.EjectMedium(false);
    Wait(t_.settleMs);
    b_.LoadMedium(false);
  }
  enum class Ready { Yes, No, Aborted };
  Ready WaitReady() {
    for (int i = 0; i < t_.readyPolls; ++i) {
      if (AbortRequested) return Ready::Aborted;
      if (b_.IsUnitReady()) return Ready::Yes;
      Pump();
      Wait(t_.pollMs);
    }
    return AbortRequested ? Ready::Aborted : Ready::No;
  }
  // The done event cleared the busy flag; a worker that ended without
  // one (a lost message) also ends the wait, after its last messages
  // had their chance.
  bool BusyOver() {
    if (!Events().busy) return true;
    if (b_.Busy()) return false;
    for (int i = 0; i < 20 && Events().busy; ++i) platform::ProcessMessagesFor(10);
    if (Events().busy) {
      Events().busy = false;
      Events().success = false;
    }
    return true;
  }
  void MediumInfo() {
    AddPresetLog(Format("cdmediainfo", Megabytes(b_.GetCapacityBlocks()),
                        Megabytes(b_.GetFreeBlocks())));
  }
  // Builds the image and notes which produced files it refused; each
  // refusal is an error line once per stage.
  void Build(bool importPrevious) {
    b_.ClearFiles();
    for (const auto& name : job_.produced) b_.InsertFile("\\", PathJoin(job_.runFolder, name));
    if (importPrevious) {
      b_.ImportSession(0, "\\");
      LeaveOutStaleVolumes();
    }
    b_.PrepareImage();
    refused_.clear();
    for (const auto& r : b_.RefusedFiles()) {
      for (const auto& name : job_.produced) {
        if (PathJoin(job_.runFolder, name) != r.source) continue;
        refused_.insert(name);
        if (logged_.insert(name).second)
          AddPresetLog(Format("cdrefused", name, r.reason) + kBad);
      }
    }
  }
  // The volumes of an earlier set of a name whose new set goes on the disc
  // whole stay out of the new session: an older backup under the new one's
  // name, of its width or of another.  Names on a disc match without
  // regard to case.
  void LeaveOutStaleVolumes() {
    std::set<std::string> refused;
    for (const auto& r : b_.RefusedFiles()) refused.insert(r.source);
    std::vector<std::string> inImage;
    for (const auto& name : job_.produced)
      if (!refused.count(PathJoin(job_.runFolder, name))) inImage.push_back(name);
    if (!HasWholeVolumeSet(inImage)) return;
    std::map<std::string, std::u16string> carried;
    for (const auto& wide : b_.ImportedFileNames("\\"))
      carried[QString::fromStdU16String(wide).toStdString()] = wide;
    std::vector<std::string> names;
    for (const auto& [name, wide] : carried) names.push_back(name);
    for (const auto& name : StaleVolumes(inImage, names, true))
      if (b_.RemoveImportedFile("\\", carried[name])) AddPresetLog(Format("cdstalevolumeleftout", name));
  }
  // The produced files the image holds, in list order.
  std::vector<std::string> Written() const {
    std::vector<std::string> out;
    for (const auto& name : job_.produced)
      if (!refused_.count(name)) out.push_back(name);
    return out;
  }
  std::string SpeedText() {
    const int m = b_.GetMediaType();
    const uint32_t kbs = b_.GetCurrentWriteSpeed();
    if ((m >= 1 && m <= 3) || (m >= 20 && m <= 22))
      return std::to_string(std::lround(kbs / 176.0)) + "x.";
    if (m >= 4 && m <= 12) return std::to_string(std::lround(kbs / 1385.0)) + "x.";
    return std::to_string(kbs) + "Kb/s.";
  }
  // Stops the running worker and waits (bounded) until it ended, so that
  // the run folder it reads may go.
  CdResult Abort() {
    Events().verifyAborting = true;
    b_.AbortWrite();
    platform::WaitPumping([&] { return !b_.Busy() && !Events().busy; }, t_.abortDoneMs, 20);
    if (b_.Busy()) platform::WaitPumping([&] { return !b_.Busy(); }, t_.abortDoneMs, 20);
    Events().busy = false;
    Unlock();
    Progress(-1);
    return CdResult::Aborted;
  }
  bool Erase(bool spaceErase);
  void History();
  CdResult Verify();

  const CdJob& job_;
  const tarcopt& p_;
  disc::TLCDBurnerPro& b_;
  const CdTuning& t_;
  bool locked_ = false;
  std::set<std::string> refused_;  // by the last image built
  std::set<std::string> logged_;   // refusals already logged
};

CdResult Stage::Run() {
  AddPresetLog(MessageText("cdstarted"));
  const char letter = p_.cdr.empty() ? '?' : char(std::toupper((unsigned char)p_.cdr[0]));
  if (!b_.SelectDeviceByLetter(letter)) {
    // No drive behind the letter: nothing to wait for.
    AddPresetLog(Format("cdnodrive", std::string(1, letter), b_.RefusalReason(letter)) + kBad);
    AddPresetLog(MessageText("cdnodiscindrive") + kBad);
    return CdResult::Ended;
  }
  b_.SetCacheSize(uint32_t(std::max(p_.cdb, 1)));

  if (p_.edc) {
    // Closed by an abort (the end of the session, say), the box is no OK:
    // the stage ends and the run keeps its files.
    platform::MessageBox("\n" + MessageText("insertcd"), kApplicationTitle,
                         platform::MB_OK | platform::MB_ICONINFORMATION, [] { return AbortRequested.load(); });
    if (AbortRequested) return CdResult::Aborted;
  } else {
    Reload();
  }

  switch (WaitReady()) {
    case Ready::Aborted: return CdResult::Aborted;
    case Ready::No: AddPresetLog(MessageText("cdnodiscindrive") + kBad); return CdResult::Ended;
    case Ready::Yes: break;
  }
  Wait(t_.settleMs);
  MediumInfo();
  if (!b_.IsDiscWritable() && !b_.IsDiscErasable()) {
    AddPresetLog(MessageText("cdnodiscindrive") + kBad);
    return CdResult::Ended;
  }

  Build(true);
  if (Written().empty()) {
    // A session of old files only would use up room for nothing.
    AddPresetLog(MessageText("cdnothingtowrite") + kBad);
    return CdResult::Ended;
  }
  if (b_.GetImageBlocks() >= b_.GetCapacityBlocks()) {
    AddPresetLog(MessageText("cdcantfitfiles") + kBad);
    return CdResult::Ended;
  }
  const uint32_t freeBlocks = b_.GetFreeBlocks();
  const bool tooSmall = freeBlocks < b_.GetImageBlocks();
  const bool erasable = b_.IsDiscErasable();
  // A disc that cannot be erased has only its free room, whatever the
  // preset allows: writing past it would ruin the disc.
  if (tooSmall && (!(p_.cef || p_.cer) || !erasable)) {
    if (!erasable) AddPresetLog(MessageText("cdnotrw"));
    AddPresetLog(MessageText("cdnotenoughspace") + kBad);
    return CdResult::Ended;
  }
  const bool spaceErase = p_.cef && tooSmall;
  if (erasable) {
    if (p_.cer || spaceErase) {
      if (b_.GetSessionCount() > 0) {
        if (!Erase(spaceErase)) return AbortRequested ? CdResult::Aborted : CdResult::Ended;
      } else {
        AddPresetLog(MessageText("cdnoneedtoerase"));
      }
    }
  } else {
    AddPresetLog(MessageText("cdnotrw"));
  }
  if (AbortRequested) return CdResult::Aborted;

  // The write.
  Lock();
  AddPresetLog(MessageText("cdburning") + SpeedText());
  Events().busy = true;
  Events().success = false;
  b_.WriteDisc();
  Progress(0);
  while (!BusyOver()) {
    Pump();
    Wait(t_.loopMs);
    if (AbortRequested) return Abort();
    if (const uint32_t image = b_.GetImageBlocks())
      Progress(int(std::lround(double(b_.GetWrittenBlocks()) / image * 100)));
  }
  const bool burned = Events().success;
  Unlock();
  Reload();
  const Ready ready = WaitReady();
  if (ready == Ready::Yes) Wait(t_.settleMs);
  Progress(-1);

  if (!burned) {
    // Another program holding the drive is said plainly.
    if (!b_.LastErrorText().empty()) AddPresetLog("CD - " + b_.LastErrorText() + kBad);
    AddPresetLog(MessageText("cdcomplete") + "Error" + kBad);
    return CdResult::Ended;
  }
  AddPresetLog(MessageText("cdcomplete") + "OK.");
  History();
  if (ready == Ready::Aborted) return CdResult::Aborted;
  if (!p_.cdv) {
    if (job_.deliveries) job_.deliveries->Delivered(DeliveryKind::Cd, Written());
    return CdResult::Ended;
  }
  if (ready == Ready::No) {
    // Written, but nothing can be read back: the files are not known good.
    AddPresetLog(MessageText("cdnotverified") + kBad);
    return CdResult::Ended;
  }
  return Verify();
}

bool Stage::Erase(bool spaceErase) {
  if (spaceErase) AddPresetLog(MessageText("cdmusterase"));
  AddPresetLog(MessageText("cderasing"));
  b_.ClearFiles();
  Events().busy = true;
  Events().success = false;
  Lock();
  b_.EraseDisc(true);
  int pos = 0, step = 5;
  while (!BusyOver()) {
    Pump();
    platform::ProcessMessagesFor(t_.eraseTickMs);
    pos += step;
    if (pos >= 100 || pos <= 0) step = -step;
    Progress(std::clamp(pos, 0, 100));
  }
  Progress(-1);
  const bool ok = Events().success;
  if (!ok && !b_.LastErrorText().empty()) AddPresetLog("CD - " + b_.LastErrorText() + kBad);
  AddPresetLog(ok ? MessageText("cderasecomplete") : MessageText("cderaseerror") + kBad);
  Unlock();
  if (!ok) {
    AddPresetLog(MessageText("cdskipped") + kBad);
    return false;
  }
  Reload();
  switch (WaitReady()) {
    case Ready::Aborted: return false;
    case Ready::No: AddPresetLog(MessageText("cdnodiscindrive") + kBad); return false;
    case Ready::Yes: break;
  }
  Wait(t_.settleMs);
  Build(false);
  MediumInfo();
  return true;
}

void Stage::History() {
  const std::string drive = std::string(1, p_.cdr.empty() ? '?' : p_.cdr[0]) + ":\\";
  for (const auto& name : Written()) {
    try {
      AddHistoryLine(job_.presetName, kHistoryCd, drive + name);
    } catch (const std::exception& e) {
      AddPresetLog(Format("cdhistorywritefailed", name, e.what()) + kBad);
      if (job_.deliveries) job_.deliveries->NoteFailure();
    }
  }
}

CdResult Stage::Verify() {
  Events().busy = true;
  Events().verifyAborting = false;
  Events().verifyFailed = false;
  Events().verifyEnded = false;
  Events().badFiles.clear();
  Events().goodFiles.clear();
  AddPresetLog(MessageText("cdverifying") + "...");
  if (!b_.VerifyDisc(true, true)) {
    Events().busy = false;
    AddPresetLog(MessageText("cdverifynotstarted") + kBad);
    return CdResult::Ended;
  }
  Progress(0);
  while (!BusyOver()) {
    Pump();
    Wait(t_.loopMs);
    if (AbortRequested) return Abort();
    if (const uint32_t pos = b_.GetVerifyPosition(); pos != 0 && b_.GetVerifyTotal() != 0)
      Progress(std::clamp(int(std::lround(double(pos) / b_.GetVerifyTotal() * 100)), 0, 100));
  }
  Progress(-1);
  if (!Events().verifyEnded) {
    // Without its result the verify has shown nothing.
    AddPresetLog(MessageText("cdverifynotended") + kBad);
    return CdResult::Ended;
  }
  // Only what the verify read back intact from the written session counts.
  for (const auto& name : Written()) {
    const std::u16string wide = QString::fromStdString(name).toStdU16String();
    if (Events().goodFiles.count(wide)) {
      if (job_.deliveries) job_.deliveries->Delivered(DeliveryKind::Cd, name);
    } else if (!Events().badFiles.count(wide)) {
      AddPresetLog(Format("cdnotinsession", name) + kBad);
    }
  }
  return CdResult::Ended;
}

}  // namespace

void ConnectDiscEvents(disc::TLCDBurnerPro& burner) {
  burner.OnEraseDone = [](disc::TLCDBurnerPro*, uint8_t, bool failed) {
    Events().busy = false;
    Events().success = !failed;
  };
  burner.OnWriteDone = [](disc::TLCDBurnerPro*, uint8_t, bool failed) {
    Events().busy = false;
    Events().success = !failed;
  };
  burner.OnVerifyDone = [](disc::TLCDBurnerPro* sender, uint8_t, int file, bool failed) {
    // A verify cut short by the abort judges nothing; the abort lines say
    // what happened.
    if (Events().verifyAborting || AbortRequested) {
      if (file == -1) Events().busy = false;
      return;
    }
    if (file == -1) {
      Events().busy = false;
      Events().verifyEnded = true;
      if (failed) Events().verifyFailed = true;
      AddPresetLog(failed ? MessageText("cdverifyfailed") + kBad : MessageText("cdverifyok"));
    } else if (failed) {
      const std::u16string name = sender->GetFileName(file);
      Events().badFiles.insert(name);
      AddPresetLog(MessageText("cdverifyfailedfor") + Narrow(name) + ".");
    } else {
      Events().goodFiles.insert(sender->GetFileName(file));
    }
  };
}

void LogRefusedDrives(disc::TLCDBurnerPro& burner) {
  for (const auto& r : burner.RefusedDevices())
    AddLog(Format("drivenotused", std::string(1, r.letter), r.reason));
}

CdResult DeliverToDisc(const CdJob& job) {
  if (job.produced.empty()) {
    AddPresetLog(MessageText("cdnofilestoprecess") + kBad);
    return CdResult::NoFiles;
  }
  if (!job.burner || !job.preset) {
    AddPresetLog(MessageText("cdnoimapi") + kBad);
    return CdResult::Ended;
  }
  Stage stage(job);
  return stage.Run();
}

CdTuning& CdDeliveryTuning() {
  static CdTuning t;
  return t;
}

}  // namespace yux
