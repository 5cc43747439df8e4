#pragma once
// The non-blocking TCP/UDP socket of the network suite.  It owns one
// socket, has its events reported as window messages to its hidden window
// (WSAAsyncSelect) and turns them into events on the owning thread.
// Sending never blocks: data goes into a send queue drained as the network
// takes it.  The layers derived from it add tunnelling, SOCKS, TLS, line
// mode, synchronous waits, timeouts and throttling.
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/socket/netbuffer.h"
#include "net/socket/netlogger.h"
#include "net/socket/netwndcontrol.h"
#include "net/socket/winsock.h"

namespace yux::net {

enum TSocketState : std::uint8_t {
  wsInvalidState,
  wsOpened,
  wsBound,
  wsConnecting,
  wsSocksConnected,
  wsConnected,
  wsAccepting,
  wsListening,
  wsClosed
};
enum TSocketSendFlags { wsSendNormal, wsSendUrgent };
enum TSocketLingerOnOff { wsLingerOff, wsLingerOn, wsLingerNoSet };
enum TSocketKeepAliveOnOff { wsKeepAliveOff, wsKeepAliveOnCustom, wsKeepAliveOnSystem };
enum TWSocketOption { wsoNoReceiveLoop, wsoTcpNoDelay, wsoSIO_RCVALL, wsoNoHttp10Tunnel };

class TWSocketOptions {
 public:
  constexpr TWSocketOptions() = default;
  constexpr TWSocketOptions(std::initializer_list<TWSocketOption> l) {
    for (auto o : l) Include(o);
  }
  constexpr bool Contains(TWSocketOption o) const { return bits_ & (1u << o); }
  constexpr void Include(TWSocketOption o) { bits_ |= 1u << o; }
  constexpr void Exclude(TWSocketOption o) { bits_ &= ~(1u << o); }
  friend constexpr bool operator==(TWSocketOptions, TWSocketOptions) = default;

 private:
  unsigned bits_ = 0;
};

struct TTimeVal {
  long tv_sec = 0;
  long tv_usec = 0;
};

class TCustomWSocket;
using TDataAvailable = std::function<void(TCustomWSocket* sender, WORD errCode)>;
using TDataSent = TDataAvailable;
using TSessionClosed = TDataAvailable;
using TSessionAvailable = TDataAvailable;
using TSessionConnected = TDataAvailable;
using TDnsLookupDone = TDataAvailable;
using TSendData = std::function<void(TCustomWSocket* sender, int bytesSent)>;
using TChangeState =
    std::function<void(TCustomWSocket* sender, TSocketState oldState, TSocketState newState)>;
using TSocketNotifyEvent = std::function<void(TCustomWSocket* sender)>;

// When a connection was made and last used.
class TWSocketCounter {
 public:
  virtual ~TWSocketCounter() = default;
  virtual void SetConnected();  // the reset
  DWORD NewestActivityTick() const;
  double ConnectDT = 0;  // days since 1899-12-30
  DWORD ConnectTick = 0;
  DWORD LastRecvTick = 0;
  DWORD LastSendTick = 0;
};
using TWSocketCounterClass = std::function<std::unique_ptr<TWSocketCounter>()>;

class TCustomWSocket : public TNetWndControl, public INetLogUser {
 public:
  TCustomWSocket();
  ~TCustomWSocket() override;

  // ---- Properties ----
  const std::string& Addr() const { return addr_; }
  void SetAddr(const std::string& v);
  const std::string& Port() const { return portStr_; }
  virtual void SetPort(const std::string& v);
  const std::string& Proto() const { return protoStr_; }
  virtual void SetProto(const std::string& v);
  // The Winsock version asked for at startup, shared by every socket of
  // the process; it can change only while Winsock is not started.
  std::uint8_t ReqVerLow() const;
  void SetReqVerLow(std::uint8_t v);
  std::uint8_t ReqVerHigh() const;
  void SetReqVerHigh(std::uint8_t v);
  const std::string& LocalPort() const { return localPortStr_; }
  void SetLocalPort(const std::string& v);
  const std::string& LocalAddr() const { return localAddr_; }
  void SetLocalAddr(const std::string& v);
  TSocketSendFlags SendFlags() const;
  void SetSendFlags(TSocketSendFlags v);
  virtual int GetBufSize();
  virtual void SetBufSize(int v);
  virtual void SetReceiveBufferSize(int size);
  virtual void SetSendBufferSize(int size);
  int SocketRcvBufSize() const { return rcvBufSize_; }
  int SocketSndBufSize() const { return sndBufSize_; }
  TNetLogger* NetLogger() const { return netLogger_; }
  virtual void SetNetLogger(TNetLogger* v);
  TSocketState State() const { return state_; }
  SOCKET HSocket() const { return hSocket_; }
  bool AllSent() const { return allSent_; }
  std::int64_t ReadCount() const { return readCount_; }
  std::int64_t WriteCount() const { return writeCount_; }
  int BufferedByteCount() const { return bufferedByteCount_; }
  bool Paused() const { return paused_; }
  TWSocketCounter* Counter() const { return counter_.get(); }
  WORD CurrentEvent() const { return curEvent_; }
  long SelectEventMask() const { return selectEvent_; }
  UINT SelectMessage() const { return msgSelect_; }

  // Plain settings.
  int LastError = 0;
  std::string LookupResult;
  std::vector<std::string> LookupResultList;
  TSocketLingerOnOff LingerOnOff = wsLingerOff;
  int LingerTimeout = 0;
  TSocketKeepAliveOnOff KeepAliveOnOff = wsKeepAliveOff;
  u_long KeepAliveTime = 0;
  u_long KeepAliveInterval = 0;
  int ListenBacklog = 5;
  int FlushTimeout = 60;  // kept for callers; the socket itself does not use it
  bool MultiCast = false;
  std::string MultiCastAddrStr;
  int MultiCastIpTTL = 1;
  bool ReuseAddr = false;
  TWSocketOptions ComponentOptions;
  TWSocketCounterClass CounterClass;

  // ---- Events ----
  TSessionAvailable OnSessionAvailable;
  TSessionConnected OnSessionConnected;
  TSessionClosed OnSessionClosed;
  TChangeState OnChangeState;
  TDataAvailable OnDataAvailable;
  TDataSent OnDataSent;
  TSendData OnSendData;
  TDnsLookupDone OnDnsLookupDone;
  TSocketNotifyEvent OnError;

  // ---- Operations ----
  virtual void LogDebug(TLogOption option, const std::string& text);
  virtual bool LogOptionActive(TLogOption option);
  virtual void AllocateSocketWindow() { AttachHiddenWindow(); }
  virtual void FreeSocketWindow() { DetachHiddenWindow(); }
  virtual void TryToSend();
  virtual void ResetToDefaults();
  virtual void CloseAndNotify(bool doShutdown, int error);
  virtual void AbortWithError(int error);
  virtual int PendingReceiveCount();
  virtual void BindLocalAddress();
  // Hands bytes to Winsock; OnSendData is fired by the caller once the
  // bytes have left its queue (TriggerSendData).
  virtual int RealSend(const std::uint8_t* data, int len);
  void TriggerSendData(int bytesSent);
  virtual void RaiseSocketException(const std::string& text);
  virtual bool TriggerDataAvailable(WORD error);
  virtual void TriggerSessionAvailable(WORD error);
  virtual void TriggerTcpConnected(WORD error);
  virtual void TriggerSessionConnected(WORD error);
  virtual void TriggerSessionClosed(WORD error);
  virtual void TriggerDataSent(WORD error);
  virtual void TriggerChangeState(TSocketState oldState, TSocketState newState);
  virtual void TriggerDnsLookupDone(WORD error);
  virtual void TriggerError();
  virtual int DoRecv(void* buffer, int len, int flags);
  virtual int DoRecvDatagram(void* buffer, int len, TSockAddr* from, int* fromLen);
  virtual void Do_FD_CONNECT(TMessage& msg);
  virtual void Do_FD_READ(TMessage& msg);
  virtual void Do_FD_WRITE(TMessage& msg);
  virtual void Do_FD_ACCEPT(TMessage& msg);
  virtual void Do_FD_CLOSE(TMessage& msg);
  virtual void DupConnected();
  virtual void Connect();
  virtual void Close();
  virtual void CloseDeferred();
  virtual void Abort();
  virtual void Flush();
  virtual void WaitUntilClosed();
  virtual void Listen();
  virtual SOCKET Accept();
  virtual int Receive(void* buffer, int len);
  virtual std::string ReceiveAsString();
  virtual int ReceiveIntoString(std::string& s);
  virtual int ReceiveFrom(void* buffer, int len, TSockAddr* from, int* fromLen);
  virtual int Send(const void* data, int len);
  // Sends what is queued, then up to len bytes of the open file fileFd
  // from offset straight from the file to the network (they never enter
  // the queue; the queue leaves marked as followed by more, so a header and
  // the file's first bytes go out together).  For a plain TCP connection
  // only: a layer that changes what is sent (TLS, throttling) is not
  // passed.  Returns the file bytes sent; 0 when the network took none
  // (AllSent() false: OnDataSent follows once it has room) or, with
  // AllSent() true, when the file had nothing left from offset; -1 when
  // the connection is gone (closed and reported as TryToSend does) or the
  // file could not be sent this way (LastError; the connection stays and
  // the caller may send the bytes itself).  No FD_WRITE is posted: the
  // caller goes on until the network is full or its data ends.
  int SendFile(int fileFd, std::int64_t offset, int len);
  // Sends what is queued (marked as followed by more), then data straight
  // from the caller's buffer as far as the network takes it; the rest is
  // queued.  Unlike Send, no FD_WRITE is posted when all went out: the
  // caller goes on while AllSent() and waits for OnDataSent otherwise.
  // Returns len, or -1 as Send.
  int SendDirect(const void* data, int len);
  virtual int SendByte(std::uint8_t b);
  virtual int SendTo(const TSockAddrIn& dest, const void* data, int len);
  virtual int SendString(const std::string& s);
  virtual void DnsLookup(const std::string& hostName);
  virtual void LookupNameOfAddress(const std::string& address);
  virtual void LookupNameOfAddressBlocking(const std::string& address);
  virtual void CancelLookup();
  virtual std::string PeerAddressText();
  virtual std::string GetPeerPort();
  virtual int GetPeerName(TSockAddrIn& name, int& len);
  virtual std::string BoundPortText();
  virtual std::string BoundAddrText();
  virtual bool TimevalIsSet(const TTimeVal& t) const { return t.tv_sec != 0 || t.tv_usec != 0; }
  virtual void TimevalClear(TTimeVal& t) const { t = TTimeVal{}; }
  // Equal selects equality, else inequality.
  virtual bool TimevalCmp(const TTimeVal& a, const TTimeVal& b, bool equal) const {
    bool same = a.tv_sec == b.tv_sec && a.tv_usec == b.tv_usec;
    return equal ? same : !same;
  }
  virtual int GetSockName(TSockAddrIn& name, int& len);
  virtual void Dup(SOCKET newHandle);
  virtual void Shutdown(int how);
  virtual void Pause();
  virtual void Resume();
  virtual void PutDataInSendBuffer(const void* data, int len);
  void PutTextInSendBuffer(const std::string& s) { PutDataInSendBuffer(s.data(), int(s.size())); }
  virtual void NewCounter();

  // The Winsock error of the last failed call, as text, then raised or
  // reported through OnError.
  void SocketError(const std::string& op);

  // TNetWndControl.
  void HandleWindowMessage(TMessage& msg) override;
  int MessageNumbersNeeded() override { return TNetWndControl::MessageNumbersNeeded() + 6; }
  void AllocateMessageNumbers() override;
  void FreeMessageNumbers() override;
  void AbortAfterError() override;
  void AttachToThread() override;
  void DetachFromThread() override;
  void NetLoggerFreed(TNetLogger* logger) override;

  // The remote address record (network order).
  TSockAddrIn sin{};
  // The sixth message number: line re-delivery, for the line layer.
  UINT MsgLineRedeliver() const { return msgLine_; }

 protected:
  void SetState(TSocketState v);
  void SetSocketHandle(SOCKET h) { hSocket_ = h; }
  void ReceiveLoop(WORD error, TWSocketOptions options);
  void ApplyLinger();
  void ApplyKeepAlive();
  void ReadBufferSizes();
  bool AsyncSelectNow(long mask, const std::string& op);
  void PostSelect(long event, WORD error);
  std::string HexAddress() const;
  void FireSessionClosedOnce(WORD error);
  // A send that failed with err: a lost connection is closed and
  // reported, would-block waits for FD_WRITE, anything else is raised.
  void SendFailed(int err);
  // The connection went while sending (err): closed and reported.
  void SendLost(int err);
  // False (after reporting "not connected" as Send does) unless the socket
  // is connected.
  bool RefuseUnlessConnected();
  // Sends the queue before bytes that bypass it, marked as followed by
  // more; false when not connected or the connection went.
  bool SendQueueFirst();
  void ResolveForConnect();

  SOCKET hSocket_ = INVALID_SOCKET;
  SOCKET aSocket_ = INVALID_SOCKET;
  std::string addr_;
  bool addrAssigned_ = false, addrResolved_ = false;
  std::string protoStr_ = "tcp";
  int proto_ = 6;
  bool protoAssigned_ = true, protoResolved_ = false;
  std::string portStr_;
  bool portAssigned_ = false, portResolved_ = false;
  u_short portNum_ = 0;
  std::string localPortStr_ = "0";
  u_short localPortNum_ = 0;
  bool localPortResolved_ = false;
  std::string localAddr_ = "0.0.0.0";
  int socketFamily_ = AF_INET;
  int type_ = SOCK_STREAM;
  int sendFlags_ = 0;
  int extraSendFlags_ = 0;  // added to sendFlags_ by RealSend (MSG_MORE)
  std::unique_ptr<TNetBufferHandler> bufHandler_;
  bool allSent_ = true;
  std::int64_t readCount_ = 0;
  std::int64_t writeCount_ = 0;
  bool paused_ = false;
  bool closeInvoked_ = false;  // OnSessionClosed fired in this session
  int bufferedByteCount_ = 0;
  TSocketState state_ = wsClosed;
  bool rcvdFlag_ = false;
  long selectEvent_ = 0;
  WORD curEvent_ = 0;
  int sndBufSize_ = 0;
  int rcvBufSize_ = 0;
  TNetLogger* netLogger_ = nullptr;
  std::unique_ptr<TWSocketCounter> counter_;
  bool destroying_ = false;

  // Message numbers.
  UINT msgSelect_ = 0, msgHostByName_ = 0, msgHostByAddr_ = 0, msgClose_ = 0,
       msgTestException_ = 0, msgLine_ = 0;

  // Lookups.
  std::uintptr_t dnsLookupHandle_ = 0;
  std::vector<char> dnsLookupBuffer_ = std::vector<char>(1025);
  bool haveEarlyReply_ = false;
  TMessage earlyReply_;
  void HandleLookupReply(TMessage& msg, bool byName);
  // Cancels the outstanding lookup before a new one starts.
  void ReplaceLookup();
};

}  // namespace yux::net
