#include "net/socket/wsocketlayers.h"

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>

#include "net/socket/netutils.h"

namespace yux::net {

// ---------------------------------------------------------------------------
// Sync

void WaitForNextEvent(DWORD ms) {
  QAbstractEventDispatcher* d = QAbstractEventDispatcher::instance();
  if (!d) {
    platform::ProcessMessagesFor(std::min<DWORD>(ms, 10));
    return;
  }
  QTimer bound;
  bound.setSingleShot(true);
  bound.start(int(std::min<DWORD>(ms, 0x7FFFFFFF)));
  d->processEvents(QEventLoop::WaitForMoreEvents);
}

int TCustomSyncWSocket::WaitForDoneFlag(const int& doneFlag) {
  DWORD start = platform::GetTickCount();
  while (doneFlag == 0) {
    DWORD waited = NetTickDiff(start, platform::GetTickCount());
    if (WaitTimeout != 0 && waited >= WaitTimeout) return kSyncWaitTimedOut;
    if (IsTerminated()) return kSyncWaitTimedOut;
    PumpMessages();
    if (doneFlag != 0) break;
    DWORD left = WaitTimeout != 0 ? WaitTimeout - std::min(waited, WaitTimeout) : 100;
    WaitForNextEvent(std::clamp<DWORD>(left, 1, 100));
  }
  return 0;
}

int TCustomSyncWSocket::CallAndWait(const std::function<void()>& proc, int& doneFlag) {
  doneFlag = 0;
  if (proc) proc();
  return WaitForDoneFlag(doneFlag);
}

// ---------------------------------------------------------------------------
// Timeout

TCustomTimeoutWSocket::~TCustomTimeoutWSocket() { timer_.reset(); }

void TCustomTimeoutWSocket::TriggerTimedOut(TTimeoutReason reason) {
  if (OnTimedOut) OnTimedOut(this, reason);
}

void TCustomTimeoutWSocket::StartTimer() {
  if (!timer_) {
    GetWindowHandle();
    timer_ = std::make_unique<TNetThreadTimer>(this);
    timer_->SetEnabled(false);
    timer_->SetKeepThread(KeepClockThread);
    timer_->SetOnTimer([this](TNetTimer*) { CheckTimeout(); });
  }
  if (!counter_) NewCounter();
  if (counter_) counter_->LastSendTick = platform::GetTickCount();
  if (timer_->Interval() != TimeoutCheckInterval) timer_->SetInterval(TimeoutCheckInterval);
  timer_->SetEnabled(true);
}

void TCustomTimeoutWSocket::StopTimer() {
  if (timer_ && timer_->Enabled()) timer_->SetEnabled(false);
}

void TCustomTimeoutWSocket::CheckTimeout() {
  DWORD now = platform::GetTickCount();
  // Through a SOCKS or HTTP proxy the connect lasts until the proxy granted
  // the session, not merely until the proxy took the connection.
  bool connecting = state_ != wsConnected || SocksNegotiating() || HttpTunnelNegotiating();
  if (ConnectTimeout > 0 && connecting) {
    if (NetTickDiff(connectStartTick_, now) > ConnectTimeout) {
      StopTimer();
      TriggerTimedOut(torConnect);
    }
  } else if (IdleTimeout > 0) {
    DWORD newest = counter_ ? counter_->NewestActivityTick() : now;
    if (NetTickDiff(newest, now) > IdleTimeout) {
      StopTimer();
      TriggerTimedOut(torIdle);
    }
  } else {
    StopTimer();
  }
}

void TCustomTimeoutWSocket::Connect() {
  if (ConnectTimeout > 0) {
    StartTimer();
    connectStartTick_ = platform::GetTickCount();
  } else if (IdleTimeout > 0) {
    StartTimer();
  }
  TCustomSyncWSocket::Connect();
}

void TCustomTimeoutWSocket::TriggerTcpConnected(WORD error) {
  // Once only a proxy took the connection, the connect timer runs on until
  // the negotiation below ends: its failure closes (which stops the timer),
  // its success leaves the next check to idle mode.
  bool proxyNegotiates =
      error == 0 && ConnectTimeout > 0 && (SocksNegotiating() || HttpTunnelNegotiating());
  if (proxyNegotiates) {
    if (!TimeoutTimerEnabled()) StartTimer();
  } else if (error != 0 || IdleTimeout == 0) {
    StopTimer();
  } else {
    StartTimer();
  }
  TCustomSyncWSocket::TriggerTcpConnected(error);
}

void TCustomTimeoutWSocket::DupConnected() {
  if (IdleTimeout > 0)
    StartTimer();
  else
    StopTimer();
  TCustomSyncWSocket::DupConnected();
}

void TCustomTimeoutWSocket::TriggerSessionClosed(WORD error) {
  StopTimer();
  TCustomSyncWSocket::TriggerSessionClosed(error);
}

void TCustomTimeoutWSocket::DetachFromThread() {
  if (platform::GetCurrentThreadId() == ThreadId()) {
    timerWasEnabled_ = timer_ && timer_->Enabled();
    StopTimer();
  }
  TCustomSyncWSocket::DetachFromThread();
}

void TCustomTimeoutWSocket::AttachToThread() {
  TCustomSyncWSocket::AttachToThread();
  if (timer_ && timerWasEnabled_) timer_->SetEnabled(true);
}

// ---------------------------------------------------------------------------
// Throttle

TCustomThrottledWSocket::~TCustomThrottledWSocket() { timer_.reset(); }

void TCustomThrottledWSocket::SetBandwidthLimit(std::int64_t v) {
  if (v == bandwidthLimit_) return;
  bandwidthLimit_ = v;
  if (timer_) Arm();
}

void TCustomThrottledWSocket::SetBandwidthSampling(DWORD v) {
  if (v == bandwidthSampling_) return;
  bandwidthSampling_ = std::max<DWORD>(v, 500);
  if (timer_) Arm();
}

void TCustomThrottledWSocket::Arm() {
  count_ = 0;
  if (bandwidthLimit_ > 0) {
    if (!timer_) {
      GetWindowHandle();
      timer_ = std::make_unique<TNetThreadTimer>(this);
      timer_->SetEnabled(false);
      timer_->SetKeepThread(KeepClockThread);
      timer_->SetOnTimer([this](TNetTimer*) { PeriodTick(); });
    }
    timer_->SetInterval(bandwidthSampling_);
    timer_->SetEnabled(true);
    maxPerPeriod_ = std::min<std::int64_t>(
        bandwidthLimit_ * std::int64_t(bandwidthSampling_) / 1000, 2147483647);
    throttlePaused_ = false;
    ComponentOptions.Include(wsoNoReceiveLoop);
    active_ = true;
    if (LogOptionActive(TLogOption::loWsockInfo))
      LogDebug(TLogOption::loWsockInfo,
               HexAddress() + " Bandwidth ON " + std::to_string(hSocket_));
  } else if (timer_) {
    timer_->SetEnabled(false);
    if (active_) {
      active_ = false;
      if (LogOptionActive(TLogOption::loWsockInfo))
        LogDebug(TLogOption::loWsockInfo,
                 HexAddress() + " Bandwidth OFF " + std::to_string(hSocket_));
    }
  }
}

void TCustomThrottledWSocket::Disarm() {
  if (timer_) timer_->SetEnabled(false);
  active_ = false;
  if (throttlePaused_) {
    throttlePaused_ = false;
    if (hSocket_ != INVALID_SOCKET) Resume();
  }
}

int TCustomThrottledWSocket::Limit(int len) {
  if (count_ < maxPerPeriod_ && count_ + len > maxPerPeriod_)
    return int(maxPerPeriod_ - count_ + 1);
  return len;
}

void TCustomThrottledWSocket::Count(int n, const char* what) {
  if (n <= 0) return;
  count_ += n;
  if (count_ > maxPerPeriod_ && !throttlePaused_) {
    throttlePaused_ = true;
    Pause();
    if (LogOptionActive(TLogOption::loWsockInfo))
      LogDebug(TLogOption::loWsockInfo, HexAddress() + what + std::to_string(hSocket_));
  }
}

int TCustomThrottledWSocket::RealSend(const std::uint8_t* data, int len) {
  if (!active_) return TCustomTimeoutWSocket::RealSend(data, len);
  // Over the limit already: nothing goes until the next period resumes.
  if (throttlePaused_) return 0;
  int n = TCustomTimeoutWSocket::RealSend(data, Limit(len));
  Count(n, " Bandwidth Paused on send ");
  return n;
}

int TCustomThrottledWSocket::Receive(void* buffer, int len) {
  // Bytes the line layer already holds were counted when they came in.
  if (!active_ || !ComponentOptions.Contains(wsoNoReceiveLoop) || ServesFromBuffer())
    return TCustomTimeoutWSocket::Receive(buffer, len);
  int n = TCustomTimeoutWSocket::Receive(buffer, Limit(len));
  Count(n, " Bandwidth Paused on receive ");
  return n;
}

void TCustomThrottledWSocket::PeriodTick() {
  if (throttlePaused_) {
    throttlePaused_ = false;
    count_ = std::min(count_ - maxPerPeriod_, maxPerPeriod_);
    if (hSocket_ != INVALID_SOCKET) {
      if (LogOptionActive(TLogOption::loWsockInfo))
        LogDebug(TLogOption::loWsockInfo,
                 HexAddress() + " Bandwidth Resume " + std::to_string(hSocket_));
      Resume();
    }
  } else {
    count_ = 0;
  }
}

void TCustomThrottledWSocket::TriggerTcpConnected(WORD error) {
  if (error == 0) Arm();
  TCustomTimeoutWSocket::TriggerTcpConnected(error);
  if (error != 0) Disarm();
}

void TCustomThrottledWSocket::DupConnected() {
  TCustomTimeoutWSocket::DupConnected();
  Arm();
}

void TCustomThrottledWSocket::TriggerSessionClosed(WORD error) {
  Disarm();
  TCustomTimeoutWSocket::TriggerSessionClosed(error);
}

void TCustomThrottledWSocket::DetachFromThread() {
  if (platform::GetCurrentThreadId() == ThreadId()) {
    timerWasEnabled_ = timer_ && timer_->Enabled();
    if (timer_) timer_->SetEnabled(false);
  }
  TCustomTimeoutWSocket::DetachFromThread();
}

void TCustomThrottledWSocket::AttachToThread() {
  TCustomTimeoutWSocket::AttachToThread();
  if (timer_ && timerWasEnabled_) timer_->SetEnabled(true);
}

}  // namespace yux::net
