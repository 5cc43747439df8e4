#pragma once
// The disc-writing component: the one object through which the program
// reaches drives, media, the file tree, the image and the write, erase and
// verify threads. With an owner, the threads' results come back as
// messages to a hidden window and the events run on the owner's thread;
// without one, the events run on the worker thread.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "disc/burncontext.h"
#include "platform/messages.h"

namespace yux::disc {

class TLCDBurnerPro;

using TAddFileEvent =
    std::function<void(TLCDBurnerPro* sender, const std::u16string& path, TFindData& fd, bool& skip)>;
using TWriteDoneEvent = std::function<void(TLCDBurnerPro* sender, uint8_t deviceId, bool writeFailed)>;
using TEraseDoneEvent = std::function<void(TLCDBurnerPro* sender, uint8_t deviceId, bool eraseFailed)>;
using TVerifyDoneEvent =
    std::function<void(TLCDBurnerPro* sender, uint8_t deviceId, int fileId, bool failed)>;
using TSmartRefGenDoneEvent =
    std::function<void(TLCDBurnerPro* sender, bool failed, int canSaveBytes)>;

class TLCDBurnerPro {
 public:
  // Any non-null owner gives the component its hidden message window, on
  // the thread that creates it.
  explicit TLCDBurnerPro(const void* owner = nullptr);
  ~TLCDBurnerPro();
  TLCDBurnerPro(const TLCDBurnerPro&) = delete;
  TLCDBurnerPro& operator=(const TLCDBurnerPro&) = delete;

  // --- published properties ---
  bool BurnProof() const { return ctx_.device.BurnProof; }
  void SetBurnProof(bool v) { ctx_.device.BurnProof = v; }
  bool TestWrite() const { return ctx_.device.TestWrite; }
  void SetTestWrite(bool v) { ctx_.device.TestWrite = v; }
  bool FinalizeDisc() const { return ctx_.device.FinalizeDisc; }
  void SetFinalizeDisc(bool v) { ctx_.device.FinalizeDisc = v; }
  bool ReplaceFile() const { return ctx_.tree.ReplaceFile; }
  void SetReplaceFile(bool v) { ctx_.tree.ReplaceFile = v; }
  const std::string& VolumeID() const { return volumeId_; }
  void SetVolumeID(const std::string& v);
  const std::u16string& VolumeIDWide() const { return volumeIdWide_; }
  uint32_t CacheSize() const { return uint32_t(ctx_.cacheBytes / 1048576u); }
  void SetCacheSize(uint32_t megabytes);
  // The three image options change the layout: a change after
  // PrepareImage needs a new one. While a worker runs they stay as they
  // are (the cache thread reads them).
  bool JolietFileSystem() const { return ctx_.tree.layout.JolietFileSystem; }
  void SetJolietFileSystem(bool v) { SetImageOption(ctx_.tree.layout.JolietFileSystem, v); }
  bool ISO9660v1999FS() const { return ctx_.tree.layout.ISO9660v1999FS; }
  void SetISO9660v1999FS(bool v) { SetImageOption(ctx_.tree.layout.ISO9660v1999FS, v); }
  bool UDFBridge() const { return ctx_.tree.layout.UDFBridge; }
  void SetUDFBridge(bool v) { SetImageOption(ctx_.tree.layout.UDFBridge, v); }
  std::string Version() const;
  const std::string& BootImage() const { return bootImage_; }
  void SetBootImage(const std::string& path);

  // --- events ---
  TAddFileEvent OnAddFile;
  TWriteDoneEvent OnWriteDone;
  TEraseDoneEvent OnEraseDone;
  TVerifyDoneEvent OnVerifyDone;
  TSmartRefGenDoneEvent OnGenerateSmartReferencesDone;

  // --- drives and media ---
  bool InitializeDevices(bool useASPI, const std::string& aspiLibrary = {},
                         const std::string& logFile = {});
  int GetDeviceCount();
  std::string GetDeviceName(int index);
  // The drives the last InitializeDevices left out, each with its reason.
  std::vector<TRefusedDevice> RefusedDevices();
  // Why the letter has no drive in the table; empty when it has one.
  std::string RefusalReason(char letter);
  bool SelectDevice(int index);
  bool SelectDeviceByLetter(char letter);
  bool DeviceCapability(int index);
  bool IsRecorder();
  bool IsUnitReady();
  int GetMediaType();
  bool IsDiscErasable();
  bool IsDiscWritable();
  int GetSessionCount();
  uint32_t GetCapacityBlocks();
  uint32_t GetFreeBlocks();
  uint32_t GetMaxWriteSpeed();
  uint32_t GetCurrentWriteSpeed();
  bool LockMedium();
  bool UnlockMedium();
  bool LoadMedium(bool immediate);
  bool EjectMedium(bool immediate);

  // --- file tree and image ---
  // While a write, erase or verify runs these leave the tree alone (no
  // entry, session 0, 0 blocks): its threads are reading it.
  void ClearFiles();
  TFileEntry* InsertFile(const std::string& destination, const std::string& source);
  int ImportSession(int session, const std::string& destination);
  // The files an imported session carried into the folder `destination`,
  // and taking one of them out of the new session (false when the folder
  // has no such file).
  std::vector<std::u16string> ImportedFileNames(const std::string& destination) const;
  bool RemoveImportedFile(const std::string& destination, const std::u16string& name);
  uint32_t PrepareImage();
  uint32_t GetImageBlocks() const;
  uint32_t GetWrittenBlocks() const { return ctx_.writtenBlocks; }
  std::u16string GetFileName(int index) const;
  int GetFileCount() const { return int(ctx_.tree.files.size()); }
  // The source files the tree refused since ClearFiles, each with why.
  const std::vector<TRefusedFile>& RefusedFiles() const { return ctx_.tree.refused; }

  // --- the workers (one at a time) ---
  // False when another write, erase or verify is still running, or the
  // write could not start (reported through write done as well).
  bool WriteDisc();
  void AbortWrite();
  bool EraseDisc(bool quick);
  bool VerifyDisc(bool flag1, bool flag2);
  uint32_t GetVerifyPosition() const { return ctx_.verifyPosition; }
  uint32_t GetVerifyTotal() const { return ctx_.fileBlocksQueued; }
  bool Busy() const { return busy_; }
  // Why the last write or erase could not have the drive (another program
  // holds it); empty when it could.
  std::string LastErrorText() const { return ctx_.device.lastErrorText; }
  int State() const { return ctx_.state; }
  int ErrorCode() const { return ctx_.errorCode; }

  // The shared record, for the tests and the preset dialog's media view.
  TBurnerContext& Context() { return ctx_; }
  platform::HWND Window() const { return wnd_; }

 private:
  void SetImageOption(bool& option, bool value);
  bool BeginWork();
  void JoinWorkers();
  void Report(uint32_t msg, intptr_t wParam, intptr_t lParam);
  platform::LRESULT WindowProc(platform::HWND wnd, platform::UINT msg, platform::WPARAM wParam,
                               platform::LPARAM lParam);

  TBurnerContext ctx_;
  platform::HWND wnd_ = 0;
  std::string volumeId_;
  std::u16string volumeIdWide_;
  std::string bootImage_;
  std::atomic<bool> busy_{false};
  std::thread cacheThread_;
  std::thread worker_;
  // The handlers handed to the running worker.
  TWriteDoneEvent writeDone_;
  TEraseDoneEvent eraseDone_;
  TVerifyDoneEvent verifyDone_;
};

}  // namespace yux::disc
