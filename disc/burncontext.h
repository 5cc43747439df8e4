#pragma once
// What the burner component shares with its worker threads: the file tree
// and its layout, the drive, the write queue with the one lock that guards
// it, the progress counters, the state and error codes, and the way the
// threads report their results.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "disc/scsilib.h"
#include "disc/tree.h"

namespace yux::disc {

constexpr uint32_t kQueueBlockBytes = 65536;
constexpr uint64_t kMinCacheBytes = 2u * 1048576u;
constexpr uint32_t kMaxQueueBlocks = 10000;  // entries of the queue, whatever the cache size

// Messages of the component's hidden window.
constexpr uint32_t WM_ERASE_DONE = 0x0400 + 101;    // 1125
constexpr uint32_t WM_WRITE_DONE = 0x0400 + 102;    // 1126
constexpr uint32_t WM_VERIFY_DONE = 0x0400 + 103;   // 1127
constexpr uint32_t WM_SMARTREF_DONE = 0x0400 + 104; // 1128

// State codes.
enum : int {
  stIdle = 0, stWriting = 1, stErasing = 2, stErasingLong = 3, stClosing = 4, stPreparing = 6,
  stAborted = 7, stImporting = 8, stFailed = 9, stVerifying = 10,
};
// Error codes.
enum : int { errNone = 0, errStopped = 1, errSourceFile = 2, errAborted = 4 };

struct TQueueEntry {
  std::unique_ptr<uint8_t[]> block;  // 64 KB
  uint32_t bytes = 0;
  int32_t fileIndex = -1;  // the file whose data ends in this block
};

struct TBurnerContext {
  TTreeContext tree;
  TSCSIDevice device;

  // The component's lock: the cache thread appends to the queue and the
  // write thread takes from it under it; `changed` wakes whoever waits
  // for room, for a block or for the end.
  std::mutex lock;
  std::condition_variable changed;
  std::deque<TQueueEntry> queue;
  uint32_t capacityBlocks = 0;
  uint64_t cacheBytes = 32u * 1048576u;

  // Progress, read by the UI thread while the workers run.
  std::atomic<uint64_t> remainingBytes{0}, remainingBlocks{0}, bytesQueued{0};
  std::atomic<uint32_t> writtenBlocks{0};
  std::atomic<uint32_t> fileBlocksQueued{0};  // the verify total
  std::atomic<uint32_t> verifyPosition{0};
  uint32_t currentBlock = 0;
  // The block runs [first, end) the last write put on the disc: the
  // session, and on grown volumes the descriptors at block 0 and the UDF
  // anchor. Files carried over from earlier sessions must lie outside them.
  std::vector<std::pair<uint32_t, uint32_t>> writtenRuns;

  // Kernel ids of the running cache and write threads (0 when none), so
  // that their priority can be read back.
  std::atomic<int> cacheThreadId{0}, writeThreadId{0};

  std::atomic<bool> stop{false};
  std::atomic<bool> primed{false};        // queue full, or the whole image queued
  std::atomic<bool> cacheFinished{false}; // everything queued
  std::atomic<bool> cacheEnded{true};     // the cache thread has left
  std::atomic<int> errorCode{errNone};
  std::atomic<int> state{stIdle};

  // How long the threads wait between polls of a drive that is becoming
  // ready (5 s against a real drive), and between write retries.
  uint32_t notReadyPollMs = 5000;
  uint32_t writeRetryMs = 100;
  uint32_t blockZeroRetryMs = 200;

  // Delivers a result: posts it to the component's window, or calls the
  // event on the worker thread when the component has no window.
  std::function<void(uint32_t msg, intptr_t wParam, intptr_t lParam)> report;

  // Sleeps up to `ms`, waking early when the stop flag is set.
  void Pause(uint32_t ms);
  // Polls `command` every notReadyPollMs while the drive answers "not
  // ready" (a bounded number of times, and no longer once the stop flag is
  // set); returns the last result.
  bool WhileNotReady(const std::function<bool()>& command, int maxPolls = 720);
  // The additional sense code of the last command.
  uint8_t LastAsc() const { return device.sense[12]; }
  bool LastNotReadyOrBusy() const { return device.busy || device.sense[12] == 0x04; }
};

}  // namespace yux::disc
