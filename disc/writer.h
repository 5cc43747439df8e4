#pragma once
// Writing an image: the cache thread reads the image (header, UDF file
// entries, source files, boot image, closing anchor) ahead into a queue of
// 64 KB blocks; the write thread sends them to the drive and closes the
// track or session as the medium needs.
#include <cstdint>

#include "disc/burncontext.h"
#include "platform/threadpriority.h"

namespace yux::disc {

class TCacheThread {
 public:
  explicit TCacheThread(TBurnerContext& ctx) : ctx_(ctx) {}
  void Execute();

 private:
  bool Emit(const uint8_t* data, size_t length, int32_t fileIndex = -1);
  bool EmitZeros(uint64_t length);
  bool Flush(int32_t fileIndex);
  bool Push(TQueueEntry entry);
  // Follows the queue's fill level: reads ahead eagerly while the queue
  // runs low, yields to the program as it fills, idles while it is full.
  void Adapt(platform::ThreadPriority level);
  TBurnerContext& ctx_;
  platform::ThreadPriority priority_ = platform::ThreadPriority::BelowNormal;
  std::unique_ptr<uint8_t[]> cur_;
  uint32_t fill_ = 0;
  int32_t lastFile_ = -1;
};

class TWriteThread {
 public:
  TWriteThread(TBurnerContext& ctx, int mediaType) : ctx_(ctx), media_(mediaType) {}
  // Writes, closes, waits for the cache thread; returns true when failed.
  bool Execute();

 private:
  // Copies the head of the queue into `buffer`; the byte count, or 0 when
  // the image is complete or the write is stopped.
  uint32_t TakeBlock(uint8_t* buffer);
  bool WriteWithRetries(uint32_t lba, const uint8_t* data, uint32_t bytes);
  uint32_t BlockZeroBytes(uint32_t pieceBytes) const;
  bool CarriedFileAt(uint32_t block) const;
  bool WriteBlockZero(const uint8_t* data, uint32_t bytes);
  bool Close(int sessions);
  TBurnerContext& ctx_;
  int media_;
  int writes_ = 0;
};

// The part of a write that runs on the caller's thread before the threads
// start: statistics, write parameters, DVD-RW formatting, the session
// start and the image header. False (nothing started) on failure.
bool PrepareWrite(TBurnerContext& ctx, int mediaType);
// Cache size in bytes for a size in megabytes (at least 2 MB).
uint64_t CacheBytesFor(uint64_t megabytes);
// How many 64 KB blocks the queue holds for a cache of that many bytes.
uint32_t QueueCapacityFor(uint64_t cacheBytes);
// The cache thread's priority once the queue holds `queued` of
// `capacity` blocks.
platform::ThreadPriority CachePriorityFor(size_t queued, uint32_t capacity);

}  // namespace yux::disc
