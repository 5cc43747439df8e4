#include "disc/lcdbpro.h"

#include <filesystem>

#include "disc/commonlib.h"
#include "disc/erase.h"
#include "disc/iso9660.h"
#include "disc/sessionimport.h"
#include "disc/verify.h"
#include "disc/writer.h"
#include "platform/threadpriority.h"

namespace yux::disc {

TLCDBurnerPro::TLCDBurnerPro(const void* owner) {
  ctx_.device.BurnProof = true;
  ctx_.device.TestWrite = false;
  ctx_.device.FinalizeDisc = false;
  ctx_.tree.ReplaceFile = false;
  ctx_.cacheBytes = CacheBytesFor(32);
  ctx_.tree.layout.JolietFileSystem = true;
  ctx_.tree.layout.ISO9660v1999FS = false;
  ctx_.tree.layout.UDFBridge = false;
  ctx_.report = [this](uint32_t msg, intptr_t w, intptr_t l) { Report(msg, w, l); };
  if (owner) {
    wnd_ = platform::CreateMessageWindow(
        [this](platform::HWND h, platform::UINT m, platform::WPARAM w, platform::LPARAM l) {
          return WindowProc(h, m, w, l);
        });
  }
}

TLCDBurnerPro::~TLCDBurnerPro() {
  {
    std::lock_guard lk(ctx_.lock);
    ctx_.stop = true;
    ctx_.changed.notify_all();
  }
  JoinWorkers();
  ctx_.device.Close();
  ctx_.tree.ClearFiles();
  if (wnd_) platform::DestroyWindow(wnd_);
}

std::string TLCDBurnerPro::Version() const {
  return "Disc burner component 1.25, built 3 December 2012";
}

void TLCDBurnerPro::SetVolumeID(const std::string& v) {
  volumeId_ = v;
  std::u16string w = Utf8ToWide(v);
  if (w.size() > 32) w.resize(32);
  volumeIdWide_ = w;
  ctx_.tree.volumeLabel = v;
}

void TLCDBurnerPro::SetImageOption(bool& option, bool value) {
  if (busy_ || option == value) return;
  option = value;
  ctx_.tree.layout.prepared = false;
}

void TLCDBurnerPro::SetCacheSize(uint32_t megabytes) { ctx_.cacheBytes = CacheBytesFor(megabytes); }

void TLCDBurnerPro::SetBootImage(const std::string& path) {
  if (path.empty()) return;
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  if (ec) return;
  if (size != 2048 && size != 1228800 && size != 1474560 && size != 2949120) return;
  if (busy_) return;
  bootImage_ = path;
  ctx_.tree.SetBootImage(path);
}

// ------------------------------------------------------------ the drive

bool TLCDBurnerPro::InitializeDevices(bool useASPI, const std::string& aspiLibrary,
                                      const std::string& logFile) {
  return ctx_.device.InitializeDevices(useASPI, aspiLibrary, logFile);
}
int TLCDBurnerPro::GetDeviceCount() { return ctx_.device.GetDeviceCount(); }
std::string TLCDBurnerPro::GetDeviceName(int index) { return ctx_.device.GetDeviceName(index); }
std::vector<TRefusedDevice> TLCDBurnerPro::RefusedDevices() {
  std::lock_guard guard(ctx_.device.deviceLock);
  return ctx_.device.RefusedDevices();
}
std::string TLCDBurnerPro::RefusalReason(char letter) {
  std::lock_guard guard(ctx_.device.deviceLock);
  return ctx_.device.RefusalReason(letter);
}
bool TLCDBurnerPro::SelectDevice(int index) { return ctx_.device.SelectDevice(index); }
bool TLCDBurnerPro::SelectDeviceByLetter(char letter) {
  return ctx_.device.SelectDeviceByLetter(letter);
}
bool TLCDBurnerPro::DeviceCapability(int index) { return ctx_.device.DeviceCapability(index); }
bool TLCDBurnerPro::IsRecorder() { return ctx_.device.IsRecorder(); }
bool TLCDBurnerPro::IsUnitReady() { return ctx_.device.IsUnitReady(); }
int TLCDBurnerPro::GetMediaType() { return ctx_.device.GetMediaType(); }
bool TLCDBurnerPro::IsDiscErasable() { return ctx_.device.IsDiscErasable(); }
bool TLCDBurnerPro::IsDiscWritable() { return ctx_.device.IsDiscWritable(); }
int TLCDBurnerPro::GetSessionCount() { return ctx_.device.GetSessionCount(); }
uint32_t TLCDBurnerPro::GetCapacityBlocks() { return ctx_.device.GetCapacityBlocks(); }
uint32_t TLCDBurnerPro::GetFreeBlocks() { return ctx_.device.GetFreeBlocks(); }
uint32_t TLCDBurnerPro::GetMaxWriteSpeed() { return ctx_.device.GetMaxWriteSpeed(); }
uint32_t TLCDBurnerPro::GetCurrentWriteSpeed() { return ctx_.device.GetCurrentWriteSpeed(); }
bool TLCDBurnerPro::LockMedium() { return ctx_.device.LockMedium(true); }
bool TLCDBurnerPro::UnlockMedium() { return ctx_.device.LockMedium(false); }
bool TLCDBurnerPro::LoadMedium(bool immediate) { return ctx_.device.LoadMedium(immediate); }
bool TLCDBurnerPro::EjectMedium(bool immediate) { return ctx_.device.EjectMedium(immediate); }

// ------------------------------------------------------ tree and image

// The cache and verify threads read the tree while they run: it is not
// changed (entries freed, layout redone) until the worker has ended.
void TLCDBurnerPro::ClearFiles() {
  if (busy_) return;
  ctx_.tree.ClearFiles();
}

TFileEntry* TLCDBurnerPro::InsertFile(const std::string& destination, const std::string& source) {
  if (busy_) return nullptr;
  if (OnAddFile) {
    ctx_.tree.OnAddFile = [this](const std::string& path, const TFindData& fd, bool& skip) {
      TFindData copy = fd;
      if (OnAddFile) OnAddFile(this, Utf8ToWide(path), copy, skip);
    };
  } else {
    ctx_.tree.OnAddFile = nullptr;
  }
  TFileEntry* e = ctx_.tree.InsertFile(destination, source);
  ctx_.tree.OnAddFile = nullptr;
  return e;
}

int TLCDBurnerPro::ImportSession(int session, const std::string& destination) {
  if (busy_) return 0;
  return disc::ImportSession(ctx_.tree, ctx_.device, session, destination);
}

std::vector<std::u16string> TLCDBurnerPro::ImportedFileNames(const std::string& destination) const {
  std::vector<std::u16string> out;
  const TDirectory* dir = busy_ ? nullptr : ctx_.tree.FindDirectory(destination);
  if (!dir) return out;
  for (const TFileEntry* e : dir->files)
    if (e->imported && !e->IsDirectory() && e->sourcePath.empty()) out.push_back(e->longName);
  return out;
}

bool TLCDBurnerPro::RemoveImportedFile(const std::string& destination, const std::u16string& name) {
  if (busy_) return false;
  return ctx_.tree.RemoveImportedFile(ctx_.tree.FindDirectory(destination), name);
}

uint32_t TLCDBurnerPro::PrepareImage() { return busy_ ? 0 : disc::PrepareImage(ctx_.tree); }
uint32_t TLCDBurnerPro::GetImageBlocks() const { return disc::GetImageBlocks(ctx_.tree); }

std::u16string TLCDBurnerPro::GetFileName(int index) const {
  if (index < 0 || size_t(index) >= ctx_.tree.files.size()) return {};
  return ctx_.tree.files[size_t(index)]->longName;
}

// -------------------------------------------------------------- workers

void TLCDBurnerPro::JoinWorkers() {
  for (std::thread* t : {&worker_, &cacheThread_}) {
    if (!t->joinable()) continue;
    // A done handler that starts the next operation runs on the worker
    // itself (no window): that thread is ending and cannot join itself.
    if (t->get_id() == std::this_thread::get_id()) t->detach();
    else t->join();
  }
}

bool TLCDBurnerPro::BeginWork() {
  bool expected = false;
  if (!busy_.compare_exchange_strong(expected, true)) return false;
  JoinWorkers();
  std::lock_guard lk(ctx_.lock);
  // Every operation starts afresh: an earlier abort must not stop it.
  ctx_.stop = false;
  ctx_.errorCode = errNone;
  ctx_.changed.notify_all();
  return true;
}

void TLCDBurnerPro::Report(uint32_t msg, intptr_t wParam, intptr_t lParam) {
  if (wnd_) {
    platform::PostMessage(wnd_, msg, platform::WPARAM(wParam), lParam);
    return;
  }
  switch (msg) {
    case WM_ERASE_DONE:
      if (eraseDone_) eraseDone_(this, 0, lParam != 0);
      break;
    case WM_WRITE_DONE:
      if (writeDone_) writeDone_(this, 0, lParam != 0);
      break;
    case WM_VERIFY_DONE: {
      uint8_t id = 0;
      for (int i = 0; i < ctx_.device.deviceCount; ++i)
        if (ctx_.device.devices[size_t(i)].letter == ctx_.device.driveLetter) id = uint8_t(i);
      if (verifyDone_) verifyDone_(this, id, int(wParam), lParam != 0);
      break;
    }
    default:
      break;
  }
}

platform::LRESULT TLCDBurnerPro::WindowProc(platform::HWND wnd, platform::UINT msg,
                                            platform::WPARAM wParam, platform::LPARAM lParam) {
  switch (msg) {
    case WM_ERASE_DONE:
      if (OnEraseDone) OnEraseDone(this, 0, lParam != 0);
      break;
    case WM_WRITE_DONE:
      if (OnWriteDone) OnWriteDone(this, 0, lParam != 0);
      break;
    case WM_VERIFY_DONE:
      if (OnVerifyDone) OnVerifyDone(this, 0, int(intptr_t(wParam)), lParam != 0);
      break;
    case WM_SMARTREF_DONE:
      if (OnGenerateSmartReferencesDone)
        OnGenerateSmartReferencesDone(this, wParam != 0, int(lParam));
      break;
    default:
      break;
  }
  return platform::DefWindowProc(wnd, msg, wParam, lParam);
}

bool TLCDBurnerPro::WriteDisc() {
  if (!BeginWork()) return false;
  writeDone_ = OnWriteDone;
  const int media = ctx_.device.GetMediaType();
  auto refuse = [&] {
    ctx_.device.ReleaseExclusive();
    ctx_.state = stIdle;
    busy_ = false;
    Report(WM_WRITE_DONE, 0, 1);
    return false;
  };
  if (!ctx_.device.HoldExclusive()) return refuse();
  if (!PrepareWrite(ctx_, media)) return refuse();
  cacheThread_ = std::thread([this] { TCacheThread(ctx_).Execute(); });
  {
    std::unique_lock lk(ctx_.lock);
    ctx_.changed.wait(lk, [&] {
      return ctx_.primed.load() || ctx_.cacheEnded.load() || ctx_.stop.load();
    });
    if (!ctx_.primed) {
      lk.unlock();
      cacheThread_.join();
      return refuse();
    }
  }
  worker_ = std::thread([this, media] {
    const bool failed = TWriteThread(ctx_, media).Execute();
    ctx_.device.ReleaseExclusive();
    busy_ = false;
    Report(WM_WRITE_DONE, 0, failed ? 1 : 0);
  });
  return true;
}

void TLCDBurnerPro::AbortWrite() {
  std::lock_guard lk(ctx_.lock);
  ctx_.errorCode = errAborted;
  ctx_.state = stAborted;
  ctx_.stop = true;
  ctx_.changed.notify_all();
}

bool TLCDBurnerPro::EraseDisc(bool quick) {
  if (!BeginWork()) return false;
  eraseDone_ = OnEraseDone;
  ctx_.state = stErasing;
  worker_ = std::thread([this, quick] {
    const bool failed = !ctx_.device.HoldExclusive() || TEraseThread(ctx_, quick).Execute();
    ctx_.device.ReleaseExclusive();
    ctx_.state = stIdle;
    busy_ = false;
    Report(WM_ERASE_DONE, 0, failed ? 1 : 0);
  });
  return true;
}

bool TLCDBurnerPro::VerifyDisc(bool flag1, bool flag2) {
  if (!BeginWork()) return false;
  verifyDone_ = OnVerifyDone;
  ctx_.state = stVerifying;
  ctx_.verifyPosition = 0;
  ctx_.device.ResetStatistics();
  worker_ = std::thread([this, flag1, flag2] {
    platform::SetThreadPriority(platform::CurrentThreadId(), platform::ThreadPriority::BelowNormal);
    TVerifyDiscThread t(ctx_, flag1, flag2);
    const bool anyFailed =
        t.Execute([this](int index, bool failed) { Report(WM_VERIFY_DONE, index, failed ? -1 : 0); });
    if (ctx_.state != stAborted) ctx_.state = stIdle;
    busy_ = false;
    // The caller waits for this one: it is sent whatever happened before.
    Report(WM_VERIFY_DONE, -1, anyFailed ? 1 : 0);
  });
  return true;
}

}  // namespace yux::disc
