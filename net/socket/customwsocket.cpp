#include "net/socket/customwsocket.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "net/socket/neterrors.h"
#include "net/socket/netexceptions.h"
#include "net/socket/netresolve.h"

namespace yux::net {

namespace {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

double NowAsDateTime() {
  using namespace std::chrono;
  double secs = duration<double>(system_clock::now().time_since_epoch()).count();
  return secs / 86400.0 + 25569.0;
}

std::string LowerCase(std::string s) {
  for (auto& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

// ---------------------------------------------------------------------------
// TWSocketCounter

void TWSocketCounter::SetConnected() {
  LastRecvTick = 0;
  LastSendTick = 0;
  ConnectTick = platform::GetTickCount();
  ConnectDT = NowAsDateTime();
}

DWORD TWSocketCounter::NewestActivityTick() const {
  // Ticks wrap: the newest is the one with the smallest distance to now.
  DWORD now = platform::GetTickCount();
  DWORD best = ConnectTick;
  for (DWORD t : {LastRecvTick, LastSendTick})
    if (t != 0 && DWORD(now - t) < DWORD(now - best)) best = t;
  return best;
}

// ---------------------------------------------------------------------------
// Construction

TCustomWSocket::TCustomWSocket() {
  bufHandler_ = std::make_unique<TNetBufferHandler>();
  bufHandler_->BufSize = 1460;
  CounterClass = [] { return std::make_unique<TWSocketCounter>(); };
  ResetToDefaults();
  WSocketIncrementUseCount();
}

TCustomWSocket::~TCustomWSocket() {
  destroying_ = true;
  try {
    CancelLookup();
  } catch (...) {
  }
  if (state_ != wsInvalidState) {
    try {
      if (state_ != wsClosed || hSocket_ != INVALID_SOCKET) Close();
    } catch (...) {
    }
    WSocketDecrementUseCount();
    if (WSocketUseCount() < 1) WSocketUnloadIfUnused();
  }
  if (netLogger_) netLogger_->UnregisterLogUser(this);
  netLogger_ = nullptr;
  ReleaseWindowOnce();
}

// ---------------------------------------------------------------------------
// Properties

std::uint8_t TCustomWSocket::ReqVerLow() const { return WSocketReqVerLow(); }

void TCustomWSocket::SetReqVerLow(std::uint8_t v) {
  if (!WSocketSetReqVerLow(v)) RaiseSocketException("SetReqVerLow: WinSock version can't be changed now");
}

std::uint8_t TCustomWSocket::ReqVerHigh() const { return WSocketReqVerHigh(); }

void TCustomWSocket::SetReqVerHigh(std::uint8_t v) {
  if (!WSocketSetReqVerHigh(v))
    RaiseSocketException("SetReqVerHigh: WinSock version can't be changed now");
}

void TCustomWSocket::SetAddr(const std::string& v) {
  std::string t = Trim(v);
  if (addrAssigned_ && t == addr_) return;
  if (state_ != wsClosed) {
    RaiseSocketException("Cannot change Addr if not closed");
    return;
  }
  addr_ = t;
  addrAssigned_ = !t.empty();
  addrResolved_ = false;
}

void TCustomWSocket::SetPort(const std::string& v) {
  std::string t = Trim(v);
  if (portAssigned_ && t == portStr_) return;
  if (state_ != wsClosed) {
    RaiseSocketException("Cannot change Port if not closed");
    return;
  }
  portStr_ = t;
  portAssigned_ = !t.empty();
  portResolved_ = false;
}

void TCustomWSocket::SetProto(const std::string& v) {
  std::string t = Trim(v);
  if (protoAssigned_ && t == protoStr_) return;
  if (state_ != wsClosed) {
    RaiseSocketException("Cannot change Proto if not closed");
    return;
  }
  protoStr_ = t;
  protoAssigned_ = !t.empty();
  protoResolved_ = false;
}

void TCustomWSocket::SetLocalPort(const std::string& v) {
  if (state_ != wsClosed) {
    RaiseSocketException("Cannot change LocalPort if not closed");
    return;
  }
  localPortStr_ = v;
  localPortResolved_ = false;
}

void TCustomWSocket::SetLocalAddr(const std::string& v) {
  if (state_ != wsClosed) {
    RaiseSocketException("Cannot change LocalAddr if not closed");
    return;
  }
  localAddr_ = v.empty() ? "0.0.0.0" : v;
}

TSocketSendFlags TCustomWSocket::SendFlags() const {
  if (sendFlags_ == 0) return wsSendNormal;
  if (sendFlags_ == MSG_OOB) return wsSendUrgent;
  throw ESocketException("Invalid internal SendFlags");
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags v) {
  switch (v) {
    case wsSendNormal: sendFlags_ = 0; break;
    case wsSendUrgent: sendFlags_ = MSG_OOB; break;
    default: RaiseSocketException("Invalid SendFlags");
  }
}

int TCustomWSocket::GetBufSize() { return bufHandler_->BufSize; }
void TCustomWSocket::SetBufSize(int v) { bufHandler_->BufSize = v; }

void TCustomWSocket::SetReceiveBufferSize(int size) {
  if (WSocket_setsockopt(hSocket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size),
                         sizeof size) != 0) {
    SocketError("setsockopt(SO_RCVBUF)");
    return;
  }
  rcvBufSize_ = size;
}

void TCustomWSocket::SetSendBufferSize(int size) {
  if (WSocket_setsockopt(hSocket_, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size),
                         sizeof size) != 0) {
    SocketError("setsockopt(SO_SNDBUF)");
    return;
  }
  sndBufSize_ = size;
}

void TCustomWSocket::SetNetLogger(TNetLogger* v) {
  if (v == netLogger_) return;
  if (netLogger_) netLogger_->UnregisterLogUser(this);
  netLogger_ = v;
  if (netLogger_) netLogger_->RegisterLogUser(this);
}

void TCustomWSocket::NetLoggerFreed(TNetLogger* logger) {
  if (logger == netLogger_) netLogger_ = nullptr;
}

void TCustomWSocket::LogDebug(TLogOption option, const std::string& text) {
  if (netLogger_) netLogger_->LogMessage(this, option, text);
}

bool TCustomWSocket::LogOptionActive(TLogOption option) {
  return netLogger_ && netLogger_->LogOptions().Contains(option);
}

std::string TCustomWSocket::HexAddress() const {
  char b[20];
  std::snprintf(b, sizeof b, "%08X", unsigned(reinterpret_cast<std::uintptr_t>(this)));
  return b;
}

void TCustomWSocket::SetState(TSocketState v) {
  TSocketState old = state_;
  state_ = v;
  if (old != v) TriggerChangeState(old, v);
}

void TCustomWSocket::NewCounter() { counter_ = CounterClass ? CounterClass() : nullptr; }

// ---------------------------------------------------------------------------
// Errors

void TCustomWSocket::RaiseSocketException(const std::string& text) {
  if (OnError) {
    TriggerError();
    return;
  }
  throw ESocketException(text);
}

void TCustomWSocket::SocketError(const std::string& op) {
  int code = WSocket_WSAGetLastError();
  std::string text = WinsockErrorText(code) + " (#" + std::to_string(code) + " in " + op + ")";
  if (code == WSAECONNRESET || code == WSAENOTCONN) {
    if (hSocket_ != INVALID_SOCKET) WSocket_closesocket(hSocket_);
    hSocket_ = INVALID_SOCKET;
    if (state_ != wsClosed) TriggerSessionClosed(WORD(code));
    SetState(wsClosed);
  }
  LastError = code;
  RaiseSocketException(text);
}

// ---------------------------------------------------------------------------
// Defaults

void TCustomWSocket::ResetToDefaults() {
  sin = TSockAddrIn{};
  sin.sin_family = AF_INET;
  socketFamily_ = AF_INET;
  addrAssigned_ = addrResolved_ = false;
  portAssigned_ = portResolved_ = false;
  protoAssigned_ = true;
  protoResolved_ = false;
  localPortResolved_ = false;
  proto_ = IPPROTO_TCP;
  protoStr_ = "tcp";
  type_ = SOCK_STREAM;
  localPortStr_ = "0";
  localAddr_ = "0.0.0.0";
  // A plain close is graceful: what was handed to the network still
  // arrives.  Abort is what resets the connection.
  LingerOnOff = wsLingerOff;
  LingerTimeout = 0;
  hSocket_ = INVALID_SOCKET;
  selectEvent_ = 0;
  state_ = wsClosed;
  allSent_ = true;
  paused_ = false;
  closeInvoked_ = false;
  FlushTimeout = 60;
}

// ---------------------------------------------------------------------------
// Window messages

void TCustomWSocket::AllocateMessageNumbers() {
  TNetWndControl::AllocateMessageNumbers();
  msgSelect_ = AllocateMessage();
  msgHostByName_ = AllocateMessage();
  msgHostByAddr_ = AllocateMessage();
  msgClose_ = AllocateMessage();
  msgTestException_ = AllocateMessage();
  msgLine_ = AllocateMessage();
}

void TCustomWSocket::FreeMessageNumbers() {
  TNetWndControl::FreeMessageNumbers();
  ReleaseMessage(msgSelect_);
  ReleaseMessage(msgHostByName_);
  ReleaseMessage(msgHostByAddr_);
  ReleaseMessage(msgClose_);
  ReleaseMessage(msgTestException_);
  ReleaseMessage(msgLine_);
}

void TCustomWSocket::AbortAfterError() {
  try {
    Abort();
  } catch (...) {
  }
  TNetWndControl::AbortAfterError();
}

void TCustomWSocket::AttachToThread() {
  TNetWndControl::AttachToThread();
  if (hSocket_ != INVALID_SOCKET)
    WSocket_WSAAsyncSelect(hSocket_, Handle(), msgSelect_, paused_ ? 0 : selectEvent_);
}

void TCustomWSocket::DetachFromThread() {
  if (platform::GetCurrentThreadId() == ThreadId() && hSocket_ != INVALID_SOCKET)
    WSocket_WSAAsyncSelect(hSocket_, Handle(), 0, 0);
  TNetWndControl::DetachFromThread();
}

void TCustomWSocket::HandleWindowMessage(TMessage& msg) {
  try {
    if (msgSelect_ && msg.Msg == msgSelect_) {
      if (SOCKET(msg.WParam) != hSocket_ || paused_) return;
      WORD events = WORD(msg.LParam & 0xFFFF);
      TMessage m = msg;
      // Each handler may close the socket (even free it later): stop once
      // the handle is gone.
      struct {
        long bit;
        void (TCustomWSocket::*fn)(TMessage&);
      } order[] = {{FD_CONNECT, &TCustomWSocket::Do_FD_CONNECT},
                   {FD_READ, &TCustomWSocket::Do_FD_READ},
                   {FD_WRITE, &TCustomWSocket::Do_FD_WRITE},
                   {FD_ACCEPT, &TCustomWSocket::Do_FD_ACCEPT},
                   {FD_CLOSE, &TCustomWSocket::Do_FD_CLOSE}};
      for (auto& o : order) {
        if (!(events & o.bit)) continue;
        if (hSocket_ != SOCKET(msg.WParam)) break;  // closed by an earlier handler
        curEvent_ = WORD(o.bit);
        try {
          (this->*o.fn)(m);
        } catch (...) {
          curEvent_ = 0;
          throw;
        }
        curEvent_ = 0;
      }
      return;
    }
    if (msgHostByName_ && msg.Msg == msgHostByName_) {
      HandleLookupReply(msg, true);
      return;
    }
    if (msgHostByAddr_ && msg.Msg == msgHostByAddr_) {
      HandleLookupReply(msg, false);
      return;
    }
    if (msgClose_ && msg.Msg == msgClose_) {
      Close();
      return;
    }
    if (msgTestException_ && msg.Msg == msgTestException_)
      throw ESocketException("Test exception in WSocket");
  } catch (const std::exception& e) {
    ProcessBgException(e);
    return;
  }
  TNetWndControl::HandleWindowMessage(msg);
}

void TCustomWSocket::PostSelect(long event, WORD error) {
  platform::PostMessage(GetWindowHandle(), msgSelect_, WPARAM(hSocket_),
                        LPARAM((event & 0xFFFF) | (LPARAM(error) << 16)));
}

bool TCustomWSocket::AsyncSelectNow(long mask, const std::string& op) {
  selectEvent_ = mask;
  if (WSocket_WSAAsyncSelect(hSocket_, GetWindowHandle(), msgSelect_, paused_ ? 0 : mask) != 0) {
    SocketError(op);
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Notifications

void TCustomWSocket::Do_FD_CONNECT(TMessage& msg) {
  if (state_ == wsConnected) return;
  WORD err = WORD(msg.LParam >> 16);
  SetState(wsConnected);
  TriggerTcpConnected(err);
  if (err != 0 && state_ != wsClosed) Close();
}

void TCustomWSocket::Do_FD_READ(TMessage& msg) {
  WORD err = WORD(msg.LParam >> 16);
  if (state_ != wsConnected) {
    SetState(wsConnected);
    TriggerTcpConnected(err);
  }
  ReceiveLoop(err, ComponentOptions);
}

void TCustomWSocket::Do_FD_WRITE(TMessage& msg) {
  TryToSend();
  if (allSent_) TriggerDataSent(WORD(msg.LParam >> 16));
}

void TCustomWSocket::Do_FD_ACCEPT(TMessage& msg) { TriggerSessionAvailable(WORD(msg.LParam >> 16)); }

void TCustomWSocket::Do_FD_CLOSE(TMessage& msg) {
  if (state_ == wsConnecting || hSocket_ == INVALID_SOCKET) return;
  WORD err = WORD(msg.LParam >> 16);
  TWSocketOptions opts = ComponentOptions;
  opts.Exclude(wsoNoReceiveLoop);
  ReceiveLoop(err, opts);
  FireSessionClosedOnce(err);
  if (state_ != wsClosed) Close();
}

void TCustomWSocket::FireSessionClosedOnce(WORD error) {
  if (closeInvoked_) return;
  closeInvoked_ = true;
  TriggerSessionClosed(error);
}

void TCustomWSocket::ReceiveLoop(WORD error, TWSocketOptions options) {
  for (;;) {
    if (hSocket_ == INVALID_SOCKET) return;
    LastError = 0;
    std::int64_t before = readCount_;
    int pendingBefore = -1;
    u_long pend = 0;
    // Only a loop that goes on needs to know what was waiting.
    bool loop = !options.Contains(wsoNoReceiveLoop);
    if (loop && WSocket_ioctlsocket(hSocket_, FIONREAD, &pend) == 0) pendingBefore = int(pend);
    try {
      if (!TriggerDataAvailable(error)) {
        char junk[1024];
        int n = Receive(junk, sizeof junk);
        if (n < 0 && LastError == WSAEWOULDBLOCK) {
          LastError = 0;
          return;
        }
      }
    } catch (...) {
      return;  // a handler's failure ends the loop, silently
    }
    if (!loop) return;
    if (LastError != 0) {
      if (LastError == -1) LastError = 0;
      return;
    }
    if (hSocket_ == INVALID_SOCKET) return;
    if (WSocket_ioctlsocket(hSocket_, FIONREAD, &pend) != 0) {
      LastError = WSocket_WSAGetLastError();
      return;
    }
    if (pend == 0) return;
    // A handler that reads nothing would keep this loop going for ever:
    // the next FD_READ brings it back instead.
    if (readCount_ == before && int(pend) == pendingBefore) return;
  }
}

// ---------------------------------------------------------------------------
// Triggers

void TCustomWSocket::TriggerTcpConnected(WORD error) {
  if (type_ == SOCK_STREAM && error == 0) {
    if (!counter_) NewCounter();
    if (counter_) counter_->SetConnected();
  }
  TriggerSessionConnected(error);
}

void TCustomWSocket::TriggerSessionConnected(WORD error) {
  readCount_ = 0;
  writeCount_ = 0;
  if (OnSessionConnected) OnSessionConnected(this, error);
}

bool TCustomWSocket::TriggerDataAvailable(WORD error) {
  if (!OnDataAvailable) return false;
  OnDataAvailable(this, error);
  return true;
}

void TCustomWSocket::TriggerSessionAvailable(WORD error) {
  if (OnSessionAvailable) OnSessionAvailable(this, error);
}

void TCustomWSocket::TriggerSessionClosed(WORD error) {
  if (OnSessionClosed) OnSessionClosed(this, error);
}

void TCustomWSocket::TriggerDataSent(WORD error) {
  if (LogOptionActive(TLogOption::loWsockDump))
    LogDebug(TLogOption::loWsockDump,
             HexAddress() + " TriggerDataSent " + std::to_string(hSocket_));
  if (OnDataSent) OnDataSent(this, error);
}

void TCustomWSocket::TriggerChangeState(TSocketState oldState, TSocketState newState) {
  if (OnChangeState) OnChangeState(this, oldState, newState);
}

void TCustomWSocket::TriggerDnsLookupDone(WORD error) {
  if (OnDnsLookupDone) OnDnsLookupDone(this, error);
}

void TCustomWSocket::TriggerError() {
  if (OnError) OnError(this);
}

// ---------------------------------------------------------------------------
// Socket options

void TCustomWSocket::ReadBufferSizes() {
  int v = 0, l = sizeof v;
  if (WSocket_getsockopt(hSocket_, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<char*>(&v), &l) != 0) {
    SocketError("getsockopt(SO_SNDBUF)");
    return;
  }
  sndBufSize_ = v;
  l = sizeof v;
  if (WSocket_getsockopt(hSocket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&v), &l) != 0) {
    SocketError("getsockopt(SO_RCVBUF)");
    return;
  }
  rcvBufSize_ = v;
}

void TCustomWSocket::ApplyLinger() {
  if (LingerOnOff == wsLingerNoSet || hSocket_ == INVALID_SOCKET) return;
  TLinger l{u_short(LingerOnOff == wsLingerOn ? 1 : 0), u_short(LingerTimeout)};
  if (WSocket_setsockopt(hSocket_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l),
                         sizeof l) != 0)
    SocketError("setsockopt(SO_LINGER)");
}

void TCustomWSocket::ApplyKeepAlive() {
  if (KeepAliveOnOff == wsKeepAliveOnSystem) {
    int one = 1;
    if (WSocket_setsockopt(hSocket_, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&one),
                           sizeof one) != 0)
      SocketError("setsockopt(SO_KEEPALIVE)");
  } else if (KeepAliveOnOff == wsKeepAliveOnCustom) {
    TTcpKeepAlive ka{1, KeepAliveTime, KeepAliveInterval};
    std::uint32_t ret = 0;
    if (WSocket_WSAIoctl(hSocket_, SIO_KEEPALIVE_VALS, &ka, sizeof ka, nullptr, 0, &ret, nullptr,
                         nullptr) != 0)
      SocketError("WSocket_WSAIoctl(SIO_KEEPALIVE_VALS)");
  }
}

void TCustomWSocket::BindLocalAddress() {
  TSockAddrIn la{};
  la.sin_family = AF_INET;
  la.sin_port = WSocket_htons(localPortNum_);
  la.sin_addr = ResolveHostText(localAddr_);
  if (WSocket_bind(hSocket_, reinterpret_cast<TSockAddr*>(&la), sizeof la) != 0) {
    int code = WSocket_WSAGetLastError();
    LastError = code;
    RaiseSocketException("Bind socket failed - " + WinsockErrorTextWithCode(code));
    return;
  }
  int len = sizeof la;
  if (WSocket_getsockname(hSocket_, reinterpret_cast<TSockAddr*>(&la), &len) != 0) {
    int code = WSocket_WSAGetLastError();
    LastError = code;
    RaiseSocketException("Winsock get socket name failed - " + WinsockErrorTextWithCode(code));
    return;
  }
  localPortNum_ = WSocket_ntohs(la.sin_port);
  localPortStr_ = std::to_string(localPortNum_);
}

// ---------------------------------------------------------------------------
// Connect, listen, accept

void TCustomWSocket::ResolveForConnect() {
  if (!protoResolved_) {
    proto_ = ResolveProtoText(protoStr_);
    type_ = proto_ == IPPROTO_TCP ? SOCK_STREAM : proto_ == IPPROTO_UDP ? SOCK_DGRAM : SOCK_RAW;
    protoResolved_ = true;
  }
  if (!portResolved_) {
    portNum_ = ResolvePortText(portStr_, protoStr_);
    sin.sin_port = WSocket_htons(portNum_);
    portResolved_ = true;
  }
  if (!localPortResolved_) {
    localPortNum_ = ResolvePortText(localPortStr_, protoStr_);
    localPortResolved_ = true;
  }
  if (!addrResolved_) {
    sin.sin_addr = ResolveHostText(addr_);
    addrResolved_ = true;
  }
}

void TCustomWSocket::Connect() {
  if (hSocket_ != INVALID_SOCKET && state_ != wsClosed) {
    RaiseSocketException("Connect: Socket already in use");
    return;
  }
  if (!portAssigned_) {
    RaiseSocketException("Connect: No Port Specified");
    return;
  }
  if (!addrAssigned_) {
    RaiseSocketException("Connect: No IP Address Specified");
    return;
  }
  if (!protoAssigned_) {
    RaiseSocketException("Connect: No Protocol Specified");
    return;
  }
  try {
    ResolveForConnect();
  } catch (const ESocketException& e) {
    RaiseSocketException(std::string("connect: ") + e.what());
    return;
  }
  GetWindowHandle();
  bufHandler_->EnterLock();
  bufHandler_->DeleteAll();
  bufferedByteCount_ = 0;
  bufHandler_->LeaveLock();

  hSocket_ = WSocket_socket(socketFamily_, type_, proto_);
  if (hSocket_ == INVALID_SOCKET) {
    SocketError("Connect (socket)");
    return;
  }
  if (LogOptionActive(TLogOption::loWsockInfo))
    LogDebug(TLogOption::loWsockInfo,
             HexAddress() + " Socket handle created " + std::to_string(hSocket_));
  ReadBufferSizes();
  if (hSocket_ == INVALID_SOCKET) return;
  SetState(wsOpened);
  if (state_ != wsOpened) {
    WSocket_WSASetLastError(WSAEINVAL);
    SocketError("Connect (Invalid operation in OnChangeState)");
    return;
  }
  if (type_ == SOCK_DGRAM) {
    BindLocalAddress();
    if (MultiCast) {
      if (MultiCastIpTTL != 1) {
        int ttl = MultiCastIpTTL;
        if (WSocket_setsockopt(hSocket_, IPPROTO_IP, IP_MULTICAST_TTL,
                               reinterpret_cast<const char*>(&ttl), sizeof ttl) != 0) {
          SocketError("setsockopt(IP_MULTICAST_TTL)");
          return;
        }
      }
      if (localAddr_ != "0.0.0.0") {
        u_long ifAddr = ResolveHostText(localAddr_);
        if (WSocket_setsockopt(hSocket_, IPPROTO_IP, IP_MULTICAST_IF,
                               reinterpret_cast<const char*>(&ifAddr), sizeof ifAddr) != 0) {
          SocketError("setsockopt(IP_MULTICAST_IF)");
          return;
        }
      }
    }
    if (sin.sin_addr == INADDR_NONE) {
      int one = 1;
      if (WSocket_setsockopt(hSocket_, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&one),
                             sizeof one) != 0) {
        SocketError("setsockopt(SO_BROADCAST)");
        return;
      }
    }
  } else {
    int one = 1;
    if (WSocket_setsockopt(hSocket_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one),
                           sizeof one) != 0) {
      SocketError("setsockopt(SO_REUSEADDR)");
      return;
    }
    int nd = ComponentOptions.Contains(wsoTcpNoDelay) ? 1 : 0;
    if (WSocket_setsockopt(hSocket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&nd),
                           sizeof nd) != 0) {
      SocketError("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
      return;
    }
    ApplyLinger();
    ApplyKeepAlive();
    if (hSocket_ == INVALID_SOCKET) return;
    if (localPortNum_ != 0 || localAddr_ != "0.0.0.0") BindLocalAddress();
  }
  if (hSocket_ == INVALID_SOCKET) return;
  if (!AsyncSelectNow(FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE, "WSAAsyncSelect")) return;
  if (type_ == SOCK_DGRAM) {
    SetState(wsConnected);
    TriggerTcpConnected(0);
    return;
  }
  if (LogOptionActive(TLogOption::loWsockInfo))
    LogDebug(TLogOption::loWsockInfo, "TWSocket will connect to " +
                                          WSocketCounted_inet_ntoa(&sin.sin_addr) + ":" +
                                          std::to_string(portNum_));
  int r = WSocket_connect(hSocket_, reinterpret_cast<const TSockAddr*>(&sin), sizeof sin);
  if (r == 0 || WSocket_WSAGetLastError() == WSAEWOULDBLOCK ||
      WSocket_WSAGetLastError() == WSAEINPROGRESS) {
    SetState(wsConnecting);
    return;
  }
  LastError = WSocket_WSAGetLastError();
  SocketError("Connect");
}

void TCustomWSocket::Listen() {
  if (!portAssigned_) {
    WSocket_WSASetLastError(WSAEINVAL);
    SocketError("listen: port not assigned");
    return;
  }
  if (!protoAssigned_) {
    WSocket_WSASetLastError(WSAEINVAL);
    SocketError("listen: protocol not assigned");
    return;
  }
  if (!addrAssigned_) {
    WSocket_WSASetLastError(WSAEINVAL);
    SocketError("listen: address not assigned");
    return;
  }
  try {
    if (!protoResolved_) {
      std::string lp = LowerCase(protoStr_);
      if (lp.rfind("raw_", 0) != 0) {
        proto_ = ResolveProtoText(protoStr_);
        type_ = proto_ == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
      } else {
        type_ = SOCK_RAW;
        proto_ = ResolveProtoText(protoStr_.substr(4));
      }
      protoResolved_ = true;
    }
    if (!portResolved_) {
      portNum_ = ResolvePortText(portStr_, protoStr_);
      sin.sin_port = WSocket_htons(portNum_);
      portResolved_ = true;
    }
    if (!addrResolved_) {
      sin.sin_addr = ResolveHostText(addr_);
      addrResolved_ = true;
    }
  } catch (const ESocketException& e) {
    RaiseSocketException(std::string("listen: ") + e.what());
    return;
  }
  GetWindowHandle();
  bufHandler_->EnterLock();
  bufHandler_->DeleteAll();
  bufferedByteCount_ = 0;
  bufHandler_->LeaveLock();
  hSocket_ = WSocket_socket(socketFamily_, type_, proto_);
  if (hSocket_ == INVALID_SOCKET) {
    SocketError("socket");
    return;
  }
  int one = 1;
  if (type_ == SOCK_STREAM) {
    // A listener must be able to start again on its port at once.
    WSocket_setsockopt(hSocket_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one),
                       sizeof one);
  } else if (ReuseAddr) {
    if (WSocket_setsockopt(hSocket_, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one),
                           sizeof one) != 0) {
      SocketError("setsockopt(SO_REUSEADDR)");
      return;
    }
  }
  if (WSocket_bind(hSocket_, reinterpret_cast<const TSockAddr*>(&sin), sizeof sin) != 0) {
    SocketError("Bind");
    return;
  }
  SetState(wsBound);
  if (type_ == SOCK_STREAM) {
    if (WSocket_listen(hSocket_, ListenBacklog) != 0) {
      SocketError("Listen");
      return;
    }
    SetState(wsListening);
  } else if (type_ == SOCK_DGRAM || type_ == SOCK_RAW) {
    if (type_ == SOCK_DGRAM && MultiCast) {
      TIpMreq mreq{ResolveHostText(MultiCastAddrStr), sin.sin_addr};
      if (WSocket_setsockopt(hSocket_, IPPROTO_IP, IP_ADD_MEMBERSHIP,
                             reinterpret_cast<const char*>(&mreq), sizeof mreq) != 0) {
        SocketError("setsockopt(IP_ADD_MEMBERSHIP)");
        return;
      }
    }
    if (type_ == SOCK_RAW && ComponentOptions.Contains(wsoSIO_RCVALL)) {
      u_long v = 1;
      std::uint32_t ret = 0;
      if (WSocket_WSAIoctl(hSocket_, SIO_RCVALL, &v, sizeof v, nullptr, 0, &ret, nullptr,
                           nullptr) != 0) {
        SocketError("WSAIoctl(SIO_RCVALL)");
        return;
      }
    }
    SetState(wsListening);
    SetState(wsConnected);
    TriggerTcpConnected(0);
  } else {
    SocketError("Listen: unexpected protocol.");
    return;
  }
  if (hSocket_ == INVALID_SOCKET) return;
  ReadBufferSizes();
  if (hSocket_ == INVALID_SOCKET) return;
  AsyncSelectNow(type_ == SOCK_STREAM ? (FD_ACCEPT | FD_CLOSE)
                                      : (FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE),
                 "WSAASyncSelect");
}

SOCKET TCustomWSocket::Accept() {
  if (state_ != wsListening) {
    WSocket_WSASetLastError(WSAEINVAL);
    SocketError("not a listening socket");
    return INVALID_SOCKET;
  }
  int len = sizeof sin;
  aSocket_ = WSocket_accept(hSocket_, reinterpret_cast<TSockAddr*>(&sin), &len);
  if (aSocket_ == INVALID_SOCKET) {
    SocketError("Accept");
    return INVALID_SOCKET;
  }
  if (LogOptionActive(TLogOption::loWsockInfo))
    LogDebug(TLogOption::loWsockInfo,
             HexAddress() + " Socket accepted " + std::to_string(aSocket_));
  return aSocket_;
}

void TCustomWSocket::Dup(SOCKET newHandle) {
  if (newHandle == 0 || newHandle == INVALID_SOCKET) {
    WSocket_WSASetLastError(WSAEINVAL);
    SocketError("Dup");
    return;
  }
  if (state_ != wsClosed) {
    if (hSocket_ != INVALID_SOCKET && WSocket_closesocket(hSocket_) != 0) {
      SocketError("Dup (closesocket)");
      return;
    }
    hSocket_ = INVALID_SOCKET;
    SetState(wsClosed);
  }
  hSocket_ = newHandle;
  ReadBufferSizes();
  if (hSocket_ == INVALID_SOCKET) return;
  if (ComponentOptions.Contains(wsoTcpNoDelay)) {
    int one = 1;
    if (WSocket_setsockopt(hSocket_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                           sizeof one) != 0) {
      SocketError("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
      return;
    }
  }
  ApplyLinger();
  ApplyKeepAlive();
  if (hSocket_ == INVALID_SOCKET) return;
  if (!AsyncSelectNow(FD_READ | FD_WRITE | FD_CLOSE, "WSAAsyncSelect")) return;
  DupConnected();
}

void TCustomWSocket::DupConnected() {
  if (!counter_) NewCounter();
  if (counter_) counter_->SetConnected();
  readCount_ = 0;
  writeCount_ = 0;
  SetState(wsConnected);
}

// ---------------------------------------------------------------------------
// Closing

void TCustomWSocket::Close() { CloseAndNotify(true, 0); }

void TCustomWSocket::CloseDeferred() {
  platform::PostMessage(GetWindowHandle(), msgClose_, 0, 0);
}

void TCustomWSocket::Abort() { AbortWithError(0); }

void TCustomWSocket::AbortWithError(int error) {
  try {
    CancelLookup();
  } catch (...) {
  }
  bufHandler_->EnterLock();
  bufHandler_->DeleteAll();
  bufferedByteCount_ = 0;
  bufHandler_->LeaveLock();
  if (hSocket_ != INVALID_SOCKET && type_ == SOCK_STREAM && state_ == wsConnected) {
    // An abort resets the connection: linger on with no time.
    LingerOnOff = wsLingerOn;
    LingerTimeout = 0;
    ApplyLinger();
  }
  CloseAndNotify(false, error);
}

void TCustomWSocket::CloseAndNotify(bool doShutdown, int error) {
  if (hSocket_ != INVALID_SOCKET) {
    if (state_ == wsClosed) return;
    if (doShutdown && (state_ == wsConnected || state_ == wsSocksConnected)) {
      // No more sends: what the network took is delivered, then the end.
      WSocket_shutdown(hSocket_, SD_SEND);
    }
    for (;;) {
      if (WSocket_closesocket(hSocket_) == 0) break;
      LastError = WSocket_WSAGetLastError();
      if (LastError == WSAEWOULDBLOCK) {
        PumpMessages();
        continue;
      }
      if (LastError == WSANOTINITIALISED) break;
      hSocket_ = INVALID_SOCKET;
      SocketError("Disconnect (closesocket)");
      break;
    }
    hSocket_ = INVALID_SOCKET;
    SetState(wsClosed);
    if (!destroying_) FireSessionClosedOnce(WORD(error));
    try {
      ResetToDefaults();
    } catch (...) {
    }
  } else if (state_ != wsClosed) {
    SetState(wsClosed);
    try {
      ResetToDefaults();
    } catch (...) {
    }
  }
}

void TCustomWSocket::Shutdown(int how) {
  if (LogOptionActive(TLogOption::loWsockInfo))
    LogDebug(TLogOption::loWsockInfo, HexAddress() + " TCustomWSocket.Shutdown " +
                                          std::to_string(how) + " " + std::to_string(hSocket_));
  if (hSocket_ != INVALID_SOCKET) WSocket_shutdown(hSocket_, how);
}

void TCustomWSocket::Flush() {
  while (hSocket_ != INVALID_SOCKET && !allSent_) {
    TryToSend();
    if (allSent_ || hSocket_ == INVALID_SOCKET) break;
    // Wait for room (FD_WRITE) rather than spinning.
    platform::WaitPumping([&] { return hSocket_ == INVALID_SOCKET || allSent_; }, 50, 50);
  }
}

void TCustomWSocket::WaitUntilClosed() {
  while (hSocket_ != INVALID_SOCKET && state_ != wsClosed) {
    PumpMessages();
    if (hSocket_ == INVALID_SOCKET) break;
    u_long n = 0;
    if (WSocket_ioctlsocket(hSocket_, FIONREAD, &n) != 0) break;
    if (n > 0) TriggerDataAvailable(0);
    if (hSocket_ == INVALID_SOCKET) break;
    char c;
    int r = WSocket_recv(hSocket_, &c, 1, 0);
    if (r < 1 && WSocket_WSAGetLastError() != WSAEWOULDBLOCK) break;
    PumpMessages();
    if (r < 1) platform::ProcessMessagesFor(5);  // nothing came: do not spin
  }
}

void TCustomWSocket::Pause() {
  paused_ = true;
  if (hSocket_ != INVALID_SOCKET) WSocket_WSAAsyncSelect(hSocket_, GetWindowHandle(), 0, 0);
}

void TCustomWSocket::Resume() {
  paused_ = false;
  if (hSocket_ != INVALID_SOCKET)
    WSocket_WSAAsyncSelect(hSocket_, GetWindowHandle(), msgSelect_, selectEvent_);
}

// ---------------------------------------------------------------------------
// Sending

void TCustomWSocket::PutDataInSendBuffer(const void* data, int len) {
  if (len <= 0 || !data) return;
  bufHandler_->EnterLock();
  bufHandler_->Write(data, len);
  bufferedByteCount_ += len;
  allSent_ = false;
  bufHandler_->LeaveLock();
}

bool TCustomWSocket::RefuseUnlessConnected() {
  if (state_ == wsConnected || state_ == wsSocksConnected) return true;
  // The socket itself is fine (it may still be connecting): report the
  // misuse without closing it.
  WSocket_WSASetLastError(WSAENOTCONN);
  LastError = WSAENOTCONN;
  RaiseSocketException(WinsockErrorText(WSAENOTCONN) + " (#" + std::to_string(WSAENOTCONN) +
                       " in Send)");
  return false;
}

int TCustomWSocket::Send(const void* data, int len) {
  if (!RefuseUnlessConnected()) return -1;
  allSent_ = false;
  if (len > 0)
    PutDataInSendBuffer(data, len);
  else
    len = 0;
  TryToSend();
  if (allSent_ && hSocket_ != INVALID_SOCKET) PostSelect(FD_WRITE, 0);
  return len;
}

int TCustomWSocket::SendString(const std::string& s) {
  if (s.empty()) return 0;
  return Send(s.data(), int(s.size()));
}

int TCustomWSocket::SendByte(std::uint8_t b) { return Send(&b, 1); }

void TCustomWSocket::TryToSend() {
  bufHandler_->EnterLock();
  struct Unlock {
    TNetBufferHandler* h;
    ~Unlock() { h->LeaveLock(); }
  } unlock{bufHandler_.get()};
  if (hSocket_ == INVALID_SOCKET || bufHandler_->IsDrained()) {
    allSent_ = true;
    return;
  }
  for (;;) {
    const std::uint8_t* p = nullptr;
    int len = bufHandler_->PeekUnread(p);
    if (len <= 0) {
      allSent_ = true;
      return;
    }
    int count = RealSend(p, len);
    if (count > 0) {
      // The sent bytes leave the queue before OnSendData fires: a handler
      // that sends again must find only what is still unsent.
      bufferedByteCount_ = std::max(0, bufferedByteCount_ - count);
      bufHandler_->Remove(count);
      TriggerSendData(count);
      if (hSocket_ == INVALID_SOCKET) return;  // closed by the handler
      if (count < len) return;  // the network is full: FD_WRITE will come
      continue;
    }
    if (count == 0) return;
    SendFailed(WSocket_WSAGetLastError());
    return;
  }
}

void TCustomWSocket::SendLost(int err) {
  if (LogOptionActive(TLogOption::loWsockErr))
    LogDebug(TLogOption::loWsockErr,
             "TCustomWSocket Winsock Send failed - " + WinsockErrorTextWithCode(err));
  closeInvoked_ = true;
  Close();
  TriggerSessionClosed(WORD(err));
}

void TCustomWSocket::SendFailed(int err) {
  if (err == WSAECONNRESET || err == WSAENOTSOCK || err == WSAENOTCONN || err == WSAEINVAL ||
      err == WSAECONNABORTED) {
    SendLost(err);
    return;
  }
  if (err == WSAEWOULDBLOCK) return;
  WSocket_WSASetLastError(err);
  SocketError("TryToSend failed");
}

int TCustomWSocket::SendDirect(const void* data, int len) {
  if (!SendQueueFirst()) return -1;
  if (len <= 0 || !data) return 0;
  const auto* p = static_cast<const std::uint8_t*>(data);
  int sent = 0;
  if (allSent_) {
    sent = RealSend(p, len);
    if (sent > 0) {
      TriggerSendData(sent);
      if (hSocket_ == INVALID_SOCKET) return -1;
    } else {
      int err = WSocket_WSAGetLastError();
      sent = 0;
      if (err != WSAEWOULDBLOCK) {
        SendFailed(err);
        return -1;
      }
    }
  }
  // The wrapper has asked for FD_WRITE when the network took less.
  if (sent < len) PutDataInSendBuffer(p + sent, len - sent);
  return len;
}

bool TCustomWSocket::SendQueueFirst() {
  if (!RefuseUnlessConnected()) return false;
  extraSendFlags_ = kMsgMore;
  try {
    TryToSend();
  } catch (...) {
    extraSendFlags_ = 0;
    throw;
  }
  extraSendFlags_ = 0;
  return hSocket_ != INVALID_SOCKET;
}

int TCustomWSocket::SendFile(int fileFd, std::int64_t offset, int len) {
  if (!SendQueueFirst()) return -1;
  if (len <= 0) return 0;
  if (!allSent_) return 0;  // the queue waits for room: the file after it
  int r = WSocket_sendfile(hSocket_, fileFd, offset, len);
  if (r > 0) {
    writeCount_ += r;
    if (counter_) counter_->LastSendTick = platform::GetTickCount();
    // The wrapper has asked for FD_WRITE when the network took less.
    if (r < len) allSent_ = false;
    TriggerSendData(r);
    return r;
  }
  if (r == 0) return 0;  // nothing left in the file
  int err = WSocket_WSAGetLastError();
  if (err == WSAEWOULDBLOCK) {
    allSent_ = false;
    return 0;
  }
  // Unlike a send, an invalid argument here is the file's: not a lost
  // connection.
  if (err == WSAECONNRESET || err == WSAENOTCONN || err == WSAECONNABORTED ||
      err == WSAESHUTDOWN || err == WSAENOTSOCK) {
    SendLost(err);
    return -1;
  }
  LastError = err;
  return -1;
}

int TCustomWSocket::RealSend(const std::uint8_t* data, int len) {
  int r;
  if (type_ == SOCK_DGRAM)
    r = WSocket_sendto(hSocket_, reinterpret_cast<const char*>(data), len, sendFlags_,
                       reinterpret_cast<const TSockAddr*>(&sin), sizeof sin);
  else
    r = WSocket_send(hSocket_, reinterpret_cast<const char*>(data), len,
                     sendFlags_ | extraSendFlags_);
  if (r > 0) {
    writeCount_ += r;
    if (counter_) counter_->LastSendTick = platform::GetTickCount();
  }
  return r;
}

void TCustomWSocket::TriggerSendData(int bytesSent) {
  if (OnSendData) OnSendData(this, bytesSent);
}

int TCustomWSocket::SendTo(const TSockAddrIn& dest, const void* data, int len) {
  TSockAddrIn d = dest;
  int r = WSocket_sendto(hSocket_, static_cast<const char*>(data), len, sendFlags_,
                         reinterpret_cast<const TSockAddr*>(&d), sizeof d);
  if (r > 0) {
    writeCount_ += r;
    TriggerSendData(r);
  }
  if (allSent_ && type_ == SOCK_DGRAM) PostSelect(FD_WRITE, 0);
  return r;
}

// ---------------------------------------------------------------------------
// Receiving

int TCustomWSocket::DoRecv(void* buffer, int len, int flags) {
  int r = WSocket_recv(hSocket_, static_cast<char*>(buffer), len, flags);
  rcvdFlag_ = r >= len;
  if (r > 0 && counter_) counter_->LastRecvTick = platform::GetTickCount();
  return r;
}

int TCustomWSocket::Receive(void* buffer, int len) {
  int r = DoRecv(buffer, len, 0);
  if (r < 0)
    LastError = WSocket_WSAGetLastError();
  else
    readCount_ += r;
  return r;
}

int TCustomWSocket::DoRecvDatagram(void* buffer, int len, TSockAddr* from, int* fromLen) {
  int r = WSocket_recvfrom(hSocket_, static_cast<char*>(buffer), len, 0, from, fromLen);
  rcvdFlag_ = r >= len;
  if (r > 0 && counter_) counter_->LastRecvTick = platform::GetTickCount();
  return r;
}

int TCustomWSocket::ReceiveFrom(void* buffer, int len, TSockAddr* from, int* fromLen) {
  int r = DoRecvDatagram(buffer, len, from, fromLen);
  if (r < 0)
    LastError = WSocket_WSAGetLastError();
  else
    readCount_ += r;
  return r;
}

int TCustomWSocket::ReceiveIntoString(std::string& s) {
  int n = PendingReceiveCount();
  if (n < 0) {
    s.clear();
    return 0;
  }
  if (n == 0) n = 255;
  s.assign(size_t(n), '\0');
  int r = Receive(s.data(), n);
  s.resize(r > 0 ? size_t(r) : 0);
  return int(s.size());
}

std::string TCustomWSocket::ReceiveAsString() {
  std::string s;
  ReceiveIntoString(s);
  return s;
}

int TCustomWSocket::PendingReceiveCount() {
  u_long n = 0;
  if (WSocket_ioctlsocket(hSocket_, FIONREAD, &n) != 0) {
    SocketError("ioctlSocket");
    return -1;
  }
  return int(n);
}

// ---------------------------------------------------------------------------
// Addresses

std::string TCustomWSocket::PeerAddressText() {
  if (state_ != wsConnected) return "error";
  TSockAddrIn a{};
  int len = sizeof a;
  if (WSocket_getpeername(hSocket_, reinterpret_cast<TSockAddr*>(&a), &len) != 0) {
    SocketError("GetPeerName");
    return "error";
  }
  return WSocketCounted_inet_ntoa(&a.sin_addr);
}

std::string TCustomWSocket::GetPeerPort() {
  if (state_ != wsConnected) return "error";
  TSockAddrIn a{};
  int len = sizeof a;
  if (WSocket_getpeername(hSocket_, reinterpret_cast<TSockAddr*>(&a), &len) != 0) {
    SocketError("GetPeerPort");
    return "error";
  }
  return std::to_string(WSocket_ntohs(a.sin_port));
}

int TCustomWSocket::GetPeerName(TSockAddrIn& name, int& len) {
  if (state_ != wsConnected) return -1;
  return WSocket_getpeername(hSocket_, reinterpret_cast<TSockAddr*>(&name), &len);
}

std::string TCustomWSocket::BoundAddrText() {
  if (state_ != wsBound && state_ != wsConnected && state_ != wsListening) return "error";
  TSockAddrIn a{};
  int len = sizeof a;
  if (WSocket_getsockname(hSocket_, reinterpret_cast<TSockAddr*>(&a), &len) != 0) return "error";
  return WSocketCounted_inet_ntoa(&a.sin_addr);
}

std::string TCustomWSocket::BoundPortText() {
  if (state_ != wsBound && state_ != wsConnected && state_ != wsListening) return "error";
  TSockAddrIn a{};
  int len = sizeof a;
  if (WSocket_getsockname(hSocket_, reinterpret_cast<TSockAddr*>(&a), &len) != 0) return "error";
  return std::to_string(WSocket_ntohs(a.sin_port));
}

int TCustomWSocket::GetSockName(TSockAddrIn& name, int& len) {
  return WSocket_getsockname(hSocket_, reinterpret_cast<TSockAddr*>(&name), &len);
}

// ---------------------------------------------------------------------------
// Name lookups

void TCustomWSocket::DnsLookup(const std::string& hostName) {
  if (hostName.empty()) {
    RaiseSocketException("DNS lookup: invalid host name.");
    TriggerDnsLookupDone(WSAEINVAL);
    return;
  }
  ReplaceLookup();
  LookupResult.clear();
  LookupResultList.clear();
  if (IsDottedIPv4Text(hostName)) {
    u_long a = WSocket_inet_addr(Trim(hostName).c_str());
    if (a != INADDR_NONE || Trim(hostName) == "255.255.255.255") {
      LookupResult = WSocketCounted_inet_ntoa(&a);
      LookupResultList.push_back(LookupResult);
      TriggerDnsLookupDone(0);
      return;
    }
  }
  HWND w = GetWindowHandle();
  if (!w) {
    RaiseSocketException("DnsLookup: Window not assigned");
    return;
  }
  haveEarlyReply_ = false;
  std::uintptr_t h = WSocket_WSAAsyncGetHostByName(w, msgHostByName_, hostName.c_str(),
                                                   dnsLookupBuffer_.data(),
                                                   int(dnsLookupBuffer_.size()));
  if (h == 0) {
    int code = WSocket_WSAGetLastError();
    RaiseSocketException(hostName + ": can't start DNS lookup - " + WinsockErrorTextWithCode(code));
    return;
  }
  dnsLookupHandle_ = h;
  if (haveEarlyReply_) {
    haveEarlyReply_ = false;
    HandleLookupReply(earlyReply_, true);
  }
}

void TCustomWSocket::LookupNameOfAddress(const std::string& address) {
  if (address.empty()) {
    RaiseSocketException("Reverse DNS Lookup: Invalid host name.");
    TriggerDnsLookupDone(WSAEINVAL);
    return;
  }
  ReplaceLookup();
  LookupResult.clear();
  LookupResultList.clear();
  HWND w = GetWindowHandle();
  if (!w) {
    RaiseSocketException("Reverse DNS Lookup: Window not assigned");
    return;
  }
  u_long a = WSocket_inet_addr(Trim(address).c_str());
  haveEarlyReply_ = false;
  std::uintptr_t h =
      WSocket_WSAAsyncGetHostByAddr(w, msgHostByAddr_, reinterpret_cast<const char*>(&a), 4,
                                    AF_INET, dnsLookupBuffer_.data(), int(dnsLookupBuffer_.size()));
  if (h == 0) {
    int code = WSocket_WSAGetLastError();
    RaiseSocketException(address + ": can't start reverse DNS lookup - " +
                         WinsockErrorTextWithCode(code));
    return;
  }
  dnsLookupHandle_ = h;
  if (haveEarlyReply_) {
    haveEarlyReply_ = false;
    HandleLookupReply(earlyReply_, false);
  }
}

void TCustomWSocket::LookupNameOfAddressBlocking(const std::string& address) {
  if (address.empty() || address.size() > 256) {
    RaiseSocketException("Reverse DNS Lookup: Invalid host name.");
    TriggerDnsLookupDone(WSAEINVAL);
    return;
  }
  LookupResult.clear();
  LookupResultList.clear();
  u_long a = WSocket_inet_addr(Trim(address).c_str());
  THostEnt* he = WSocket_gethostbyaddr(reinterpret_cast<const char*>(&a), 4, AF_INET);
  if (!he) {
    TriggerDnsLookupDone(WORD(WSocket_WSAGetLastError()));
    return;
  }
  LookupResult = he->h_name ? he->h_name : "";
  LookupResultList.push_back(LookupResult);
  for (char** p = he->h_aliases; p && *p; ++p) LookupResultList.emplace_back(*p);
  TriggerDnsLookupDone(0);
}

void TCustomWSocket::CancelLookup() {
  if (!dnsLookupHandle_) return;
  std::uintptr_t h = dnsLookupHandle_;
  int r = WSocket_WSACancelAsyncRequest(h);
  if (r == 0 || destroying_) {
    dnsLookupHandle_ = 0;
    if (!destroying_) TriggerDnsLookupDone(WSAEINTR);
    return;
  }
  // Too late: the lookup finished and its reply is queued. The handle stays
  // so that the reply reports the result as usual.
  if (WSocket_WSAGetLastError() == WSAEALREADY) return;
  dnsLookupHandle_ = 0;
  SocketError("WSACancelAsyncRequest");
}

void TCustomWSocket::ReplaceLookup() {
  CancelLookup();
  if (!dnsLookupHandle_) return;
  // The replaced lookup had already finished: it ends as cancelled all the
  // same and its queued reply no longer matches.
  dnsLookupHandle_ = 0;
  TriggerDnsLookupDone(WSAEINTR);
}

void TCustomWSocket::HandleLookupReply(TMessage& msg, bool byName) {
  if (dnsLookupHandle_ == 0) {
    // The reply came before the call that started it returned.
    haveEarlyReply_ = true;
    earlyReply_ = msg;
    return;
  }
  if (msg.WParam != dnsLookupHandle_) return;
  dnsLookupHandle_ = 0;
  WORD err = WORD((msg.LParam >> 16) & 0xFFFF);
  if (err == 0) {
    auto* he = reinterpret_cast<THostEnt*>(dnsLookupBuffer_.data());
    if (byName) {
      for (char** p = he->h_addr_list; p && *p; ++p) {
        u_long a;
        std::memcpy(&a, *p, 4);
        LookupResultList.push_back(WSocketCounted_inet_ntoa(&a));
      }
      if (!LookupResultList.empty()) LookupResult = LookupResultList.front();
    } else {
      LookupResult = he->h_name ? he->h_name : "";
      LookupResultList.push_back(LookupResult);
      for (char** p = he->h_aliases; p && *p; ++p) LookupResultList.emplace_back(*p);
    }
  }
  TriggerDnsLookupDone(err);
}

}  // namespace yux::net
