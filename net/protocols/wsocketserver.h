#pragma once
// A listening TCP socket that turns every accepted connection into a
// client socket of a configurable class, numbers the clients, greets them,
// refuses them politely above a client limit and frees them once they have
// closed.  Accept, greeting and release all run on the thread that owns the
// server's hidden window; a closed client is freed through a posted message,
// never inside its own event handlers.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/socket/nettimer.h"
#include "net/socket/wsocket.h"

namespace yux::net {

inline constexpr WORD kClientDroppedError = 10053;  // connection aborted

class TCustomWSocketServer;
class TWSocketClient;

using TWSocketClientCreateEvent =
    std::function<void(TCustomWSocketServer* sender, TWSocketClient* client)>;
using TWSocketClientConnectEvent =
    std::function<void(TCustomWSocketServer* sender, TWSocketClient* client, WORD error)>;
// A connection that could not be served: `error` is the Winsock error of
// a failed accept (10024 when the process has no descriptor left), 0 when
// a client's setting up or the handling of its close failed (`message`
// says why; that client is gone, the listener stays).
using TWSocketServerAcceptErrorEvent =
    std::function<void(TCustomWSocketServer* sender, int error, const std::string& message)>;
// Makes one client object (with new); the server owns it from then on.
using TWSocketClientClass = std::function<TWSocketClient*()>;

class TWSocketClient : public TWSocket {
 public:
  TWSocketClient() = default;
  ~TWSocketClient() override;

  std::string Banner;
  std::string Name;  // the component name the server gives it
  int SerialId = 0;
  TCustomWSocketServer* OwnerServer() const { return ownerServer_; }

  // Sends Banner and the line end; nothing for an empty Banner.
  virtual void BeginSession();

  void TriggerSessionClosed(WORD error) override;
  // Shutting the sending side or a deferred close ends the connection:
  // from then on it no longer takes one of its address's places.
  void Shutdown(int how) override;
  void CloseDeferred() override;
  // Cached at accept time, so they stay readable after the close.
  std::string PeerAddressText() override { return peerAddr_; }
  std::string GetPeerPort() override { return peerPort_; }
  void Dup(SOCKET newHandle) override;

 private:
  friend class TCustomWSocketServer;
  TCustomWSocketServer* ownerServer_ = nullptr;
  std::string peerAddr_, peerPort_;
  bool closing_ = false;
  // Ending: the server decided to close it, or its peer's end of stream
  // has arrived; its close is still to come.
  bool ending_ = false;
};

class TSslWSocketClient : public TWSocketClient {
 public:
  TSslWSocketClient() = default;
};

class TCustomWSocketServer : public TWSocket {
 public:
  TCustomWSocketServer();
  ~TCustomWSocketServer() override;

  std::string Banner = "Welcome to YUX TcpSrv";
  std::string BannerTooBusy = "Sorry, too many clients";
  std::string Name = "WSocketServer";
  TWSocketClientClass ConnectionClass;  // default: a plain TWSocketClient
  int MaxClients = 0;                   // 0: no limit
  // Connections one peer address may hold at once; one more is refused
  // as one above MaxClients is (0: no limit).  Connections that are ending
  // (closed by the server, or by the peer with the close not yet handled)
  // do not count, as long as the address has no more of them than this
  // either.
  int MaxClientsPerAddress = 0;

  TWSocketClientCreateEvent OnClientCreate;
  TWSocketClientConnectEvent OnClientConnect;
  TWSocketClientConnectEvent OnClientDisconnect;
  TWSocketServerAcceptErrorEvent OnAcceptError;

  // After a failed accept the listener stops taking connections for this
  // long, doubled for each failure in a row up to the maximum; the first
  // accept that works brings it back to the start.
  DWORD AcceptRetryMs = 100;
  DWORD AcceptRetryMaxMs = 2000;
  // A connection that leaves fewer descriptors than this to the rest of
  // the process is refused as an accept without a descriptor is (0: no
  // such margin).
  long DescriptorHeadroom = 16;
  // The pause in force now (0: accepting).
  DWORD AcceptPauseMs() const { return acceptPaused_ ? acceptDelay_ : 0; }

  virtual void TriggerClientCreate(TWSocketClient* client);
  virtual void TriggerClientConnect(TWSocketClient* client, WORD error);
  virtual void TriggerClientDisconnect(TWSocketClient* client, WORD error);
  virtual void TriggerAcceptError(int error, const std::string& message);
  virtual int ConnectionCount() const { return int(clients_.size()); }
  virtual TWSocketClient* ConnectionAt(int index) const;
  virtual void HandleClientClosing(TMessage& msg);
  // Fires OnClientDisconnect with 10053 and frees the client before it
  // returns.
  virtual void DropClient(TWSocketClient* client);
  virtual int DropAllClients();

  // The serial number last given; starts again at 1 after 2147483647.
  int LastSerial() const { return serial_; }
  void SetLastSerial(int v) { serial_ = v; }  // for tests of the wrap
  bool HasClient(const TWSocketClient* client) const;
  // Clients of the peer address `addr` that have not closed and are not
  // ending.
  int ConnectionsFrom(const std::string& addr) const;

  void TriggerSessionAvailable(WORD error) override;
  void Listen() override;
  void HandleWindowMessage(TMessage& msg) override;
  int MessageNumbersNeeded() override { return TWSocket::MessageNumbersNeeded() + 1; }
  void AllocateMessageNumbers() override;
  void FreeMessageNumbers() override;

 private:
  friend class TWSocketClient;
  void ClientGone(TWSocketClient* client);
  void PostClientClosing(TWSocketClient* client, WORD error);
  void FreeClient(TWSocketClient* client);
  void AcceptInto(TWSocketClient* client, SOCKET h, WORD error);
  void AcceptFailed(int error, const std::string& message);
  void ResumeAccepting();
  // A few descriptors held from Listen on, let go when an accept finds
  // none left: the process keeps room to log, to close and to answer while
  // the listener waits; taken again before accepting resumes.  True when
  // all are held.
  bool HoldReserve();
  void FreeReserve();
  // A client whose setting up or closing failed: gone, the listener stays.
  void DiscardClient(TWSocketClient* client, const std::exception& e);
  // Whether the newest client, of the address `addr`, is one too many for
  // that address.  Before saying so, the address's other connections are
  // looked at for an end of stream that has arrived but is not handled yet:
  // those are ending.
  bool TooManyFrom(const std::string& addr, const TWSocketClient* newest);

  std::vector<TWSocketClient*> clients_;
  std::unique_ptr<TNetTimer> acceptTimer_;
  std::vector<SOCKET> reserve_;
  bool acceptPaused_ = false;
  DWORD acceptDelay_ = 0;
  UINT msgClientClosing_ = 0;
  int serial_ = 0;
};

class TWSocketServer : public TCustomWSocketServer {
 public:
  TWSocketServer() = default;
};

}  // namespace yux::net
