#pragma once
// The top layers of the socket chain: a message-pumping wait, connect and
// idle timeouts, and bandwidth throttling in both directions.
#include <cstdint>
#include <functional>
#include <memory>

#include "net/socket/linewsocket.h"
#include "net/socket/nettimer.h"

namespace yux::net {

inline constexpr int kSyncWaitTimedOut = 12001;

// Sleeps until the thread's next event (a posted message, a socket, a
// timer), at most ms: a wait that costs no processor time.
void WaitForNextEvent(DWORD ms);

class TCustomSyncWSocket : public TCustomLineWSocket {
 public:
  // Milliseconds; 0 waits without limit.
  DWORD WaitTimeout = 0;

  // Pumps messages until doneFlag is set: 0, or 12001 when the wait
  // timeout passed or the control was terminated.  Between checks it
  // sleeps until the next event arrives (at most a short while), so a
  // long wait costs no processor time.
  virtual int WaitForDoneFlag(const int& doneFlag);
  virtual int CallAndWait(const std::function<void()>& proc, int& doneFlag);
};

enum TTimeoutReason { torConnect = 0, torIdle = 1 };
using TTimeoutEvent = std::function<void(TCustomWSocket* sender, TTimeoutReason reason)>;

class TCustomTimeoutWSocket : public TCustomSyncWSocket {
 public:
  ~TCustomTimeoutWSocket() override;
  DWORD ConnectTimeout = 0;        // ms, 0 none
  DWORD IdleTimeout = 0;           // ms, 0 none
  DWORD TimeoutCheckInterval = 5000;
  bool KeepClockThread = true;
  TTimeoutEvent OnTimedOut;
  bool TimeoutTimerEnabled() const { return timer_ && timer_->Enabled(); }

  virtual void TriggerTimedOut(TTimeoutReason reason);
  void Connect() override;
  void TriggerTcpConnected(WORD error) override;
  void DupConnected() override;
  void TriggerSessionClosed(WORD error) override;
  void DetachFromThread() override;
  void AttachToThread() override;

 protected:
  void StartTimer();
  void StopTimer();
  void CheckTimeout();

 private:
  std::unique_ptr<TNetThreadTimer> timer_;
  DWORD connectStartTick_ = 0;
  bool timerWasEnabled_ = false;
};

class TCustomThrottledWSocket : public TCustomTimeoutWSocket {
 public:
  ~TCustomThrottledWSocket() override;
  std::int64_t BandwidthLimit() const { return bandwidthLimit_; }
  void SetBandwidthLimit(std::int64_t v);
  DWORD BandwidthSampling() const { return bandwidthSampling_; }
  void SetBandwidthSampling(DWORD v);
  bool KeepClockThread = true;
  bool ThrottlingActive() const { return active_; }
  bool ThrottlePaused() const { return throttlePaused_; }
  std::int64_t BandwidthCount() const { return count_; }

  int RealSend(const std::uint8_t* data, int len) override;
  int Receive(void* buffer, int len) override;
  void TriggerTcpConnected(WORD error) override;
  void DupConnected() override;
  void TriggerSessionClosed(WORD error) override;
  void DetachFromThread() override;
  void AttachToThread() override;

 private:
  void Arm();
  void Disarm();
  void PeriodTick();
  int Limit(int len);
  void Count(int n, const char* what);

  std::int64_t bandwidthLimit_ = 0;
  DWORD bandwidthSampling_ = 1000;
  std::int64_t count_ = 0;
  std::int64_t maxPerPeriod_ = 0;
  std::unique_ptr<TNetThreadTimer> timer_;
  bool throttlePaused_ = false;
  bool active_ = false;
  bool timerWasEnabled_ = false;
};

}  // namespace yux::net
