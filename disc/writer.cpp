#include "disc/writer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "disc/commonlib.h"
#include "disc/iso9660.h"
#include "disc/udfbridge.h"

namespace yux::disc {

namespace {

constexpr uint32_t kBlock = 2048;

bool IsDvdOrBd(int m) {
  switch (m) {
    case mtDVDR: case mtDVDRWRestricted: case mtDVDRWSequential: case mtDVDPlusRW:
    case mtDVDPlusR: case mtDVDPlusRDL: case mtBDR: case mtBDRRandom: case mtBDRE:
    case mtHDDVDR: case mtHDDVDRAM:
      return true;
    default:
      return false;
  }
}

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

// ------------------------------------------------------------ the context

void TBurnerContext::Pause(uint32_t ms) {
  std::unique_lock lk(lock);
  changed.wait_for(lk, std::chrono::milliseconds(ms), [&] { return stop.load(); });
}

bool TBurnerContext::WhileNotReady(const std::function<bool()>& command, int maxPolls) {
  for (int i = 0;; ++i) {
    std::unique_lock guard(device.deviceLock);
    const bool ok = command();
    const bool notReady = LastAsc() == 0x04;
    guard.unlock();
    if (ok || !notReady || i >= maxPolls || stop) return ok;
    Pause(notReadyPollMs);
  }
}

uint64_t CacheBytesFor(uint64_t megabytes) {
  return std::max<uint64_t>(megabytes * 1048576u, kMinCacheBytes);
}

uint32_t QueueCapacityFor(uint64_t cacheBytes) {
  return uint32_t(std::clamp<uint64_t>(cacheBytes / kQueueBlockBytes, 2, kMaxQueueBlocks));
}

platform::ThreadPriority CachePriorityFor(size_t queued, uint32_t capacity) {
  using P = platform::ThreadPriority;
  if (queued + 1 >= capacity) return P::Idle;
  if (queued < capacity / 4) return P::Highest;
  if (queued < capacity / 2) return P::Normal;
  return P::Lowest;
}

// ------------------------------------------------------- start of a write

bool PrepareWrite(TBurnerContext& ctx, int media) {
  TSCSIDevice& dev = ctx.device;
  TImageLayout& L = ctx.tree.layout;
  if (!L.prepared) return false;
  dev.ResetStatistics();
  dev.SetWriteParameters(false);
  dev.ReadDiscInformation();
  if (media == mtDVDRWSequential) {
    static const uint8_t quick[12] = {0x00, 0xA2, 0x00, 0x08, 0x00, 0x00, 0x03, 0xE8,
                                      0x54, 0x00, 0x00, 0x10};
    static const uint8_t grow[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00,
                                     0x54, 0x00, 0x00, 0x10};
    if (!dev.FormatUnit(0x11, quick, 12)) dev.FormatUnit(0x11, grow, 12);
    ctx.WhileNotReady([&] { return dev.ReadDiscInformation(); });
  } else if (media == mtDVDRWRestricted) {
    static const uint8_t grow[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00,
                                     0x4C, 0x00, 0x00, 0x10};
    dev.FormatUnit(0x11, grow, 12);
    ctx.WhileNotReady([&] { return dev.ReadDiscInformation(); });
  }
  if (media == mtDVDPlusRW || media == mtDVDRAM || media == mtBDRE) {
    // Overwritable media grow one volume: the new session follows it.
    L.sessionStart = L.volumeBase = dev.GetISOVolumeSize();
  } else if (media == mtDVDRWRestricted) {
    // A restricted-overwrite disc grows one volume as well. In its
    // intermediate state the drive knows where the written area ends;
    // without a valid next writable address the volume tells.
    std::lock_guard guard(dev.deviceLock);
    const bool nwaValid = dev.ReadDiscInformation() && dev.ReadTrackInformation(dev.discInfo[6]) &&
                          (dev.trackInfo.raw[7] & 1);
    L.sessionStart = nwaValid ? dev.trackInfo.nextWritableAddress : dev.GetISOVolumeSize();
    L.volumeBase = L.sessionStart;
  } else {
    L.volumeBase = 0;
    std::lock_guard guard(dev.deviceLock);
    if (dev.ReadDiscInformation() && dev.ReadTrackInformation(dev.discInfo[6])) {
      const uint32_t nwa = dev.trackInfo.nextWritableAddress;
      L.sessionStart = nwa == 1000 ? 0 : nwa;
    } else {
      L.sessionStart = dev.ReadTrackInformation(1) ? dev.trackInfo.startAddress : 0;
    }
  }
  ctx.tree.outputStream = nullptr;
  if (!GenerateImageHeader(ctx.tree)) return false;

  std::lock_guard lk(ctx.lock);
  ctx.queue.clear();
  ctx.capacityBlocks = QueueCapacityFor(ctx.cacheBytes);
  ctx.remainingBlocks = L.imageEnd;
  ctx.remainingBytes = uint64_t(L.imageEnd) * kBlock;
  ctx.bytesQueued = 0;
  ctx.writtenBlocks = 0;
  ctx.fileBlocksQueued = 0;
  ctx.currentBlock = L.sessionStart;
  ctx.writtenRuns.clear();
  ctx.primed = false;
  ctx.cacheFinished = false;
  ctx.cacheEnded = false;
  return true;
}

// --------------------------------------------------------- cache thread

void TCacheThread::Adapt(platform::ThreadPriority level) {
  if (level == priority_) return;
  // A refused raise (no right to lower nice values) keeps the old level.
  if (platform::SetThreadPriority(platform::CurrentThreadId(), level)) priority_ = level;
}

bool TCacheThread::Push(TQueueEntry entry) {
  std::unique_lock lk(ctx_.lock);
  auto stopped = [&] {
    int expected = errNone;
    ctx_.errorCode.compare_exchange_strong(expected, errStopped);
    return false;
  };
  if (ctx_.stop) return stopped();
  ctx_.bytesQueued += entry.bytes;
  ctx_.queue.push_back(std::move(entry));
  ctx_.changed.notify_all();
  const platform::ThreadPriority level = CachePriorityFor(ctx_.queue.size(), ctx_.capacityBlocks);
  lk.unlock();
  Adapt(level);
  if (level != platform::ThreadPriority::Idle) return true;
  // Full: the write thread has enough for now.
  lk.lock();
  ctx_.primed = true;
  ctx_.changed.notify_all();
  ctx_.changed.wait(lk, [&] {
    return ctx_.stop.load() || ctx_.queue.size() + 1 < ctx_.capacityBlocks;
  });
  if (ctx_.stop) return stopped();
  return true;
}

bool TCacheThread::Flush(int32_t fileIndex) {
  TQueueEntry e;
  e.block = std::move(cur_);
  e.bytes = kQueueBlockBytes;
  e.fileIndex = fileIndex;
  cur_.reset(new uint8_t[kQueueBlockBytes]);
  fill_ = 0;
  return Push(std::move(e));
}

bool TCacheThread::Emit(const uint8_t* data, size_t length, int32_t fileIndex) {
  while (length > 0) {
    const size_t n = std::min<size_t>(length, kQueueBlockBytes - fill_);
    std::memcpy(cur_.get() + fill_, data, n);
    fill_ += uint32_t(n);
    data += n;
    length -= n;
    if (length == 0 && fileIndex >= 0) lastFile_ = fileIndex;
    if (fill_ == kQueueBlockBytes) {
      const int32_t ends = lastFile_;
      lastFile_ = -1;
      if (!Flush(ends)) return false;
    }
  }
  return true;
}

bool TCacheThread::EmitZeros(uint64_t length) {
  static const uint8_t zero[kBlock] = {};
  while (length > 0) {
    const size_t n = size_t(std::min<uint64_t>(length, kBlock));
    if (!Emit(zero, n)) return false;
    length -= n;
  }
  return true;
}

void TCacheThread::Execute() {
  ctx_.cacheThreadId = platform::CurrentThreadId();
  platform::SetThreadPriority(ctx_.cacheThreadId, priority_);
  TTreeContext& tree = ctx_.tree;
  const TImageLayout& L = tree.layout;
  uint64_t emitted = 0;
  bool ok = true;
  auto fail = [&](int code) {
    int expected = errNone;
    ctx_.errorCode.compare_exchange_strong(expected, code);
    std::lock_guard lk(ctx_.lock);
    ctx_.stop = true;
    ctx_.changed.notify_all();
    ok = false;
  };
  try {
    cur_.reset(new uint8_t[kQueueBlockBytes]);
    std::vector<uint8_t> piece(kQueueBlockBytes);
    // Reads a source file into the stream, padded to a whole block.
    auto file = [&](const std::string& path, uint64_t size, int32_t index) {
      FilePtr f(std::fopen(path.c_str(), "rb"));
      if (!f) return fail(errSourceFile);
      uint64_t left = size;
      while (left > 0 && ok) {
        const size_t want = size_t(std::min<uint64_t>(left, piece.size()));
        const size_t got = std::fread(piece.data(), 1, want, f.get());
        // A file that shrank since the layout would shift every later file.
        if (got != want) return fail(errSourceFile);
        left -= got;
        if (!Emit(piece.data(), got, left == 0 ? index : -1)) ok = false;
      }
      if (!ok) return;
      const uint64_t pad = (kBlock - size % kBlock) % kBlock;
      if (!EmitZeros(pad)) ok = false;
      emitted += size + pad;
    };

    ok = Emit(tree.imageBuffer.data(), tree.imageBuffer.size());
    emitted = tree.imageBuffer.size();
    if (ok && L.UDFBridge) {
      TUdfBlockGenerator gen(tree);
      uint32_t n;
      while (ok && (n = gen.Generate(piece.data(), kQueueBlockBytes / kBlock)) > 0) {
        ok = Emit(piece.data(), size_t(n) * kBlock);
        emitted += uint64_t(n) * kBlock;
      }
    }
    for (size_t i = 0; ok && i < tree.files.size(); ++i) {
      const TFileEntry& e = *tree.files[i];
      if (e.IsDirectory() || e.sourcePath.empty() || e.size == 0 || e.imported) continue;
      file(e.sourcePath, e.size, int32_t(i));
      if (ok) ctx_.fileBlocksQueued += uint32_t(BytesToSectors(e.size));
    }
    if (ok && !tree.bootImagePath.empty()) file(tree.bootImagePath, tree.bootImageSize, -1);
    if (ok) {
      // Zeros up to the image end; with the bridge its last block is the
      // closing anchor.
      const uint64_t end = uint64_t(L.imageEnd) * kBlock - (L.UDFBridge ? kBlock : 0);
      if (emitted < end) ok = EmitZeros(end - emitted);
      if (ok && L.UDFBridge) {
        const auto anchor = UdfClosingAnchor(tree);
        ok = Emit(anchor.data(), anchor.size());
      }
      if (ok && fill_ > 0) {
        std::memset(cur_.get() + fill_, 0, kQueueBlockBytes - fill_);
        ok = Flush(lastFile_);
      }
    }
  } catch (const std::bad_alloc&) {
    fail(errStopped);
  }
  std::unique_lock lk(ctx_.lock);
  if (ok) {
    ctx_.primed = true;
    ctx_.cacheFinished = true;
    ctx_.changed.notify_all();
    ctx_.changed.wait(lk, [&] { return ctx_.stop.load() || ctx_.queue.empty(); });
  }
  ctx_.queue.clear();  // blocks a stopped write never took
  ctx_.cacheThreadId = 0;
  ctx_.cacheEnded = true;
  ctx_.changed.notify_all();
}

// --------------------------------------------------------- write thread

uint32_t TWriteThread::TakeBlock(uint8_t* buffer) {
  std::unique_lock lk(ctx_.lock);
  ctx_.changed.wait(lk, [&] {
    return ctx_.stop.load() || !ctx_.queue.empty() || ctx_.cacheFinished.load() ||
           ctx_.cacheEnded.load();
  });
  if (ctx_.stop || ctx_.queue.empty()) return 0;
  TQueueEntry e = std::move(ctx_.queue.front());
  ctx_.queue.pop_front();
  std::memcpy(buffer, e.block.get(), e.bytes);
  ctx_.remainingBytes -= std::min<uint64_t>(ctx_.remainingBytes, e.bytes);
  ctx_.remainingBlocks -= std::min<uint64_t>(ctx_.remainingBlocks, BytesToSectors(e.bytes));
  ctx_.changed.notify_all();
  return e.bytes;
}

bool TWriteThread::WriteWithRetries(uint32_t lba, const uint8_t* data, uint32_t bytes) {
  TSCSIDevice& dev = ctx_.device;
  const uint16_t blocks = uint16_t(BytesToSectors(bytes));
  for (int attempt = 0; attempt < 5000; ++attempt) {
    std::unique_lock guard(dev.deviceLock);
    if (dev.Write10(lba, blocks, data, bytes)) return true;
    const bool retry = ctx_.LastNotReadyOrBusy();
    guard.unlock();
    if (!retry || ctx_.stop) return false;
    ctx_.Pause(ctx_.writeRetryMs);
  }
  return false;
}

// How much of the session's first piece goes to block 0 as well: the
// system area and the descriptors, and the blocks behind them up to the
// first file an earlier session left there (another program may have put
// file data right behind its descriptors).
uint32_t TWriteThread::BlockZeroBytes(uint32_t pieceBytes) const {
  const TImageLayout& L = ctx_.tree.layout;
  const uint32_t descriptors = L.UDFBridge ? L.udfVrsStart + 3 : L.terminatorBlock + 1;
  uint32_t blocks = pieceBytes / kBlock;
  for (const auto& f : ctx_.tree.files) {
    if (!f->imported || f->IsDirectory() || f->size == 0) continue;
    for (const TExtent& x : ImportedExtents(*f))
      if (x.block != 0 && x.block < blocks) blocks = x.block;
  }
  return std::max(blocks, descriptors) * kBlock;
}

bool TWriteThread::CarriedFileAt(uint32_t block) const {
  for (const auto& f : ctx_.tree.files) {
    if (!f->imported || f->IsDirectory() || f->size == 0) continue;
    for (const TExtent& x : ImportedExtents(*f))
      if (x.block != 0 && block >= x.block && block - x.block < BytesToSectors(x.length))
        return true;
  }
  return false;
}

bool TWriteThread::WriteBlockZero(const uint8_t* data, uint32_t bytes) {
  TSCSIDevice& dev = ctx_.device;
  const uint16_t blocks = uint16_t(BytesToSectors(bytes));
  bool formatted = false;
  int others = 0;
  for (int attempt = 0; attempt < 5000; ++attempt) {
    std::unique_lock guard(dev.deviceLock);
    if (dev.Write10(0, blocks, data, bytes)) return true;
    const uint8_t asc = dev.sense[12], ascq = dev.sense[13];
    const bool notReady = ctx_.LastNotReadyOrBusy();
    guard.unlock();
    if (ctx_.stop) return false;
    if (media_ == mtDVDPlusRW && asc == 0x30 && ascq == 0x05) {
      // An unformatted DVD+RW: format it and, the first time, retry at once.
      static const uint8_t list[12] = {0x00, 0x82, 0x00, 0x08, 0x00, 0x23, 0x05, 0x40,
                                       0x98, 0x00, 0x00, 0x00};
      dev.FormatUnit(0x11, list, 12);
      ctx_.WhileNotReady([&] { return dev.ReadDiscInformation(); });
      if (!formatted) {
        formatted = true;
        continue;
      }
    } else if (notReady) {
      ctx_.Pause(ctx_.blockZeroRetryMs);
      continue;
    } else if (asc != 0 && asc != 0x29) {
      return false;
    }
    if (asc == 0x29) ctx_.Pause(1000);
    ctx_.Pause(ctx_.blockZeroRetryMs);
    if (++others >= 100) return false;
  }
  return false;
}

bool TWriteThread::Close(int r) {
  TSCSIDevice& dev = ctx_.device;
  const bool finalize = dev.FinalizeDisc;
  auto discInfo = [&] { return dev.ReadDiscInformation(); };
  bool ok = true;
  switch (media_) {
    case mtDVDR:
      ok = dev.SynchronizeCache(false);
      ok = dev.CloseTrackSession(false, false, uint16_t(r + 1)) && ok;
      ok = dev.CloseTrackSession(false, false, uint16_t(r + 2)) && ok;
      ok = dev.CloseFunction(false, 2, uint16_t(r + 3)) && ok;
      break;
    case mtDVDPlusR:
      ok = dev.SynchronizeCache(false);
      ok = dev.CloseTrackSession(false, false, uint16_t(r + 1)) && ok;
      ok = dev.CloseFunction(false, 2, 0xFF) && ok;
      break;
    case mtDVDPlusRDL:
      ok = dev.SynchronizeCache(false);
      ok = dev.CloseTrackSession(false, false, uint16_t(r + 1)) && ok;
      ok = dev.CloseFunction(false, finalize ? 6 : 2, 0) && ok;
      break;
    case mtDVDPlusRW:
      ok = dev.SynchronizeCache(false);
      ok = dev.CloseFunction(false, 3, 0xFF) && ok;
      break;
    case mtDVDRWRestricted:
    case mtDVDRWSequential:
      ok = dev.SynchronizeCache(false);
      ok = dev.CloseTrackSession(false, false, 1) && ok;
      ok = dev.CloseTrackSession(true, true, 0) && ok;
      ctx_.WhileNotReady(discInfo);
      break;
    default: {
      ok = dev.SynchronizeCache(true);
      if (media_ != mtDVDRAM) {
        ctx_.WhileNotReady(discInfo);
        ctx_.WhileNotReady([&] { return dev.TestUnitReady(); });
      }
      const bool cd = media_ == mtCDR || media_ == mtCDRW;
      if (!cd && !dev.CloseTrackSession(false, false, 0) &&
          !dev.CloseTrackSession(true, false, 0))
        ok = false;
      dev.SetWriteParameters(!finalize);
      if (!dev.CloseTrackSession(true, true, 0)) {
        const bool again = cd ? dev.CloseTrackSession(true, false, 0)
                              : dev.CloseTrackSession(false, true, 0);
        if (!again) ok = false;
      }
      break;
    }
  }
  if (media_ != mtDVDRAM) ctx_.WhileNotReady(discInfo);
  dev.LockMedium(false);
  dev.LoadMedium(false);
  dev.RewindUnit();
  dev.TestUnitReady();
  return ok;
}

bool TWriteThread::Execute() {
  // The drive's own buffer bridges the gaps: the program stays responsive.
  ctx_.writeThreadId = platform::CurrentThreadId();
  platform::SetThreadPriority(ctx_.writeThreadId, platform::ThreadPriority::BelowNormal);
  TSCSIDevice& dev = ctx_.device;
  const TImageLayout& L = ctx_.tree.layout;
  ctx_.state = stWriting;
  {
    std::lock_guard guard(dev.deviceLock);
    dev.closeAfterCommand = false;
  }
  dev.SynchronizeCache(false);
  dev.RewindUnit();
  dev.SetWriteParameters(false);
  dev.ReadDiscInformation();
  dev.ReadBufferCapacity();
  dev.SetWriteParameters(!dev.FinalizeDisc);
  dev.SetCDSpeed(dev.requestedReadSpeed, dev.requestedWriteSpeed);
  if (IsDvdOrBd(media_)) {
    uint32_t end = L.imageEnd + L.sessionStart;
    {
      std::lock_guard guard(dev.deviceLock);
      if (dev.ReadDiscInformation() && dev.ReadTrackInformation(dev.discInfo[6]))
        end = dev.trackInfo.trackSize;
    }
    uint8_t d[28] = {};
    PutBe32(d + 8, end);
    PutBe32(d + 12, 1000);  // read size (KB)
    PutBe32(d + 16, 1000);  // read time (ms)
    PutBe32(d + 20, dev.GetCurrentWriteSpeed());
    PutBe32(d + 24, 1000);  // write time (ms)
    dev.SetStreaming(d);
  }
  const int sessions = dev.GetSessionCount();
  if (media_ == mtDVDR) {
    uint8_t t[12];
    UdfTimestamp(t, std::chrono::duration_cast<std::chrono::seconds>(
                        std::chrono::system_clock::now().time_since_epoch()).count());
    char text[32];
    std::snprintf(text, sizeof text, "%04u%02u%02u%02u%02u%02u", unsigned(t[2] | (t[3] << 8)),
                  t[4], t[5], t[6], t[7], t[8]);
    uint8_t ts[22] = {};
    PutBe16(ts, 20);
    std::memcpy(ts + 8, text, 14);
    dev.SendDVDStructure(0x0F, ts, sizeof ts);
    dev.ReserveTrack(L.imageEnd);
  }

  // On overwritable media a later session also rewrites the volume
  // descriptors at block 0. That happens last, after every other block is
  // on the disc: an aborted or failed write leaves the earlier volume whole.
  const bool blockZero = (media_ == mtDVDPlusRW || media_ == mtDVDRWRestricted ||
                          media_ == mtDVDRWSequential || media_ == mtDVDRAM ||
                          media_ == mtBDRE) &&
                         L.sessionStart != 0;
  std::vector<uint8_t> first;
  std::vector<uint8_t> buffer(kQueueBlockBytes);
  bool failed = false;
  auto ran = [&](uint32_t from, uint32_t blocks) {
    std::lock_guard lk(ctx_.lock);
    ctx_.writtenRuns.emplace_back(from, from + blocks);
  };
  for (;;) {
    const uint32_t n = TakeBlock(buffer.data());
    if (n == 0) break;
    if (blockZero && first.empty())
      first.assign(buffer.begin(), buffer.begin() + BlockZeroBytes(n));
    if (!WriteWithRetries(ctx_.currentBlock, buffer.data(), n)) {
      failed = true;
      break;
    }
    ++writes_;
    if (writes_ == 3 || (writes_ > 3 && (writes_ - 3) % 6 == 0)) dev.ReadBufferCapacity();
    const uint32_t blocks = uint32_t(BytesToSectors(n));
    ctx_.currentBlock += blocks;
    ctx_.writtenBlocks += blocks;
  }
  ran(L.sessionStart, ctx_.writtenBlocks);
  // Everything of the image must have gone to the disc.
  if (ctx_.stop || ctx_.remainingBlocks.load() != 0) failed = true;
  if (!failed && blockZero) {
    if (!WriteBlockZero(first.data(), uint32_t(first.size()))) failed = true;
    else ran(0, uint32_t(first.size() / kBlock));
  }
  // The bridge's readers look for the anchor at block 256 of the disc: on a
  // grown volume it must lead to this session's descriptors as well, unless
  // that block holds data of a file carried over (the closing anchor at the
  // session's end still leads there).
  if (!failed && blockZero && L.UDFBridge && !CarriedFileAt(kUdfAnchor)) {
    const auto anchor = UdfAnchorAt(ctx_.tree, kUdfAnchor);
    if (!WriteWithRetries(kUdfAnchor, anchor.data(), uint32_t(anchor.size()))) failed = true;
    else ran(kUdfAnchor, 1);
  }
  if (failed) {
    std::lock_guard lk(ctx_.lock);
    ctx_.stop = true;
    if (ctx_.state != stAborted) ctx_.state = stFailed;
    ctx_.changed.notify_all();
  } else {
    ctx_.state = stClosing;
    if (!Close(sessions)) failed = true;
  }
  {
    std::unique_lock lk(ctx_.lock);
    ctx_.changed.wait(lk, [&] { return ctx_.cacheEnded.load(); });
    if (ctx_.errorCode != errNone) failed = true;
  }
  {
    std::lock_guard guard(dev.deviceLock);
    dev.closeAfterCommand = true;
  }
  ctx_.writeThreadId = 0;
  ctx_.state = stIdle;
  return failed;
}

}  // namespace yux::disc
