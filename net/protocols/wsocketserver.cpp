#include "net/protocols/wsocketserver.h"

#include <algorithm>

#include "net/socket/neterrors.h"
#include "net/socket/winsock.h"

namespace yux::net {

// ---------------------------------------------------------------------------
// TWSocketClient

TWSocketClient::~TWSocketClient() {
  if (ownerServer_) ownerServer_->ClientGone(this);
}

void TWSocketClient::BeginSession() {
  if (!Banner.empty()) SendString(Banner + LineEnd);
}

void TWSocketClient::TriggerSessionClosed(WORD error) {
  if (closing_) return;
  closing_ = true;
  if (ownerServer_) ownerServer_->PostClientClosing(this, error);
  TWSocket::TriggerSessionClosed(error);
}

void TWSocketClient::Shutdown(int how) {
  if (how != 0) ending_ = true;
  TWSocket::Shutdown(how);
}

void TWSocketClient::CloseDeferred() {
  ending_ = true;
  TWSocket::CloseDeferred();
}

void TWSocketClient::Dup(SOCKET newHandle) {
  TWSocket::Dup(newHandle);
  peerAddr_ = TWSocket::PeerAddressText();
  peerPort_ = TWSocket::GetPeerPort();
}

// ---------------------------------------------------------------------------
// TCustomWSocketServer

TCustomWSocketServer::TCustomWSocketServer() {
  // The window was attached by the base before this class could ask for
  // its own message number: attach again, now counting it.
  DetachHiddenWindow();
  AttachHiddenWindow();
  ConnectionClass = [] { return new TWSocketClient; };
}

TCustomWSocketServer::~TCustomWSocketServer() {
  acceptTimer_.reset();
  FreeReserve();
  while (!clients_.empty()) {
    TWSocketClient* c = clients_.back();
    clients_.pop_back();
    c->ownerServer_ = nullptr;
    try {
      delete c;
    } catch (...) {
    }
  }
  ReleaseWindowOnce();
}

void TCustomWSocketServer::AllocateMessageNumbers() {
  TWSocket::AllocateMessageNumbers();
  msgClientClosing_ = AllocateMessage();
}

void TCustomWSocketServer::FreeMessageNumbers() {
  TWSocket::FreeMessageNumbers();
  ReleaseMessage(msgClientClosing_);
}

void TCustomWSocketServer::TriggerClientCreate(TWSocketClient* client) {
  if (OnClientCreate) OnClientCreate(this, client);
}

void TCustomWSocketServer::TriggerClientConnect(TWSocketClient* client, WORD error) {
  if (OnClientConnect) OnClientConnect(this, client, error);
}

void TCustomWSocketServer::TriggerClientDisconnect(TWSocketClient* client, WORD error) {
  if (OnClientDisconnect) OnClientDisconnect(this, client, error);
}

TWSocketClient* TCustomWSocketServer::ConnectionAt(int index) const {
  if (index < 0 || index >= int(clients_.size())) return nullptr;
  return clients_[size_t(index)];
}

bool TCustomWSocketServer::HasClient(const TWSocketClient* client) const {
  return std::find(clients_.begin(), clients_.end(), client) != clients_.end();
}

int TCustomWSocketServer::ConnectionsFrom(const std::string& addr) const {
  return int(std::count_if(clients_.begin(), clients_.end(),
                           [&addr](const TWSocketClient* c) {
                             return !c->closing_ && !c->ending_ && c->peerAddr_ == addr;
                           }));
}

bool TCustomWSocketServer::TooManyFrom(const std::string& addr, const TWSocketClient* newest) {
  if (MaxClientsPerAddress <= 0) return false;
  int live = 0, ending = 0;
  const auto count = [&] {
    live = ending = 0;
    for (const TWSocketClient* c : clients_)
      if (!c->closing_ && c->peerAddr_ == addr) ++(c->ending_ ? ending : live);
  };
  count();
  if (live > MaxClientsPerAddress) {
    // A client that closes one connection and opens the next at once (one
    // at its keep-alive limit) may be heard of before its close is.
    for (TWSocketClient* c : clients_)
      if (c != newest && !c->closing_ && !c->ending_ && c->peerAddr_ == addr && WSocket_PeerHasEnded(c->HSocket()))
        c->ending_ = true;
    count();
  }
  // Ending connections whose peers never close must not let one address
  // take every place either.
  return live > MaxClientsPerAddress || ending > MaxClientsPerAddress;
}

void TCustomWSocketServer::ClientGone(TWSocketClient* client) {
  auto it = std::find(clients_.begin(), clients_.end(), client);
  if (it != clients_.end()) clients_.erase(it);
}

void TCustomWSocketServer::TriggerAcceptError(int error, const std::string& message) {
  if (OnAcceptError) OnAcceptError(this, error, message);
}

void TCustomWSocketServer::TriggerSessionAvailable(WORD error) {
  TWSocket::TriggerSessionAvailable(error);
  if (error != 0 || hSocket_ == INVALID_SOCKET) return;
  // The connection is taken first: a client object exists only for a
  // connection that was accepted, and a failed accept (no descriptor left,
  // a peer that reset meanwhile) costs the listener nothing.
  int len = sizeof sin;
  aSocket_ = WSocket_accept(hSocket_, reinterpret_cast<TSockAddr*>(&sin), &len);
  if (aSocket_ == INVALID_SOCKET) {
    int code = WSocket_WSAGetLastError();
    LastError = code;
    // Nothing was pending after all, or the peer gave up before it was
    // taken: the next connection is told as usual.
    if (code == WSAEWOULDBLOCK || code == WSAECONNABORTED || code == WSAECONNRESET || code == WSAEINTR)
      return;
    AcceptFailed(code, WinsockErrorText(code) + " (#" + std::to_string(code) + " in Accept)");
    return;
  }
  SOCKET h = aSocket_;
  if (DescriptorHeadroom > 0 && WSocket_DescriptorsLeftAbove(h) < DescriptorHeadroom) {
    // The connection took one of the process's last descriptors: the rest
    // of the program (its log, the archiver's pipes, a delivery's
    // connections) needs them more than one more client does.  Refused as
    // though none had been left.
    WSocket_closesocket(h);
    aSocket_ = INVALID_SOCKET;
    AcceptFailed(WSAEMFILE, WinsockErrorText(WSAEMFILE) + " (#" + std::to_string(WSAEMFILE) + " in Accept)");
    return;
  }
  if (LogOptionActive(TLogOption::loWsockInfo))
    LogDebug(TLogOption::loWsockInfo, "Socket accepted " + std::to_string(h));
  acceptDelay_ = 0;
  if (serial_ > 0x7FFFFFFE) serial_ = 0;
  ++serial_;
  TWSocketClient* client = nullptr;
  try {
    client = ConnectionClass();
    client->ownerServer_ = this;
    clients_.push_back(client);
    client->SerialId = serial_;
    client->SetBandwidthLimit(BandwidthLimit());
    client->SetBandwidthSampling(BandwidthSampling());
    TriggerClientCreate(client);
  } catch (const std::exception& e) {
    WSocket_closesocket(h);
    if (client) {
      ClientGone(client);
      client->ownerServer_ = nullptr;
      delete client;
    }
    TriggerAcceptError(0, e.what());
    return;
  }
  AcceptInto(client, h, error);
}

void TCustomWSocketServer::AcceptInto(TWSocketClient* client, SOCKET h, WORD error) {
  client->Name = Name + "Client" + std::to_string(serial_);
  client->Banner = Banner;
  client->SetNetLogger(NetLogger());
  try {
    client->Dup(h);
  } catch (const std::exception& e) {
    // Not set up: the handle is the client's only when Dup took it.
    if (client->HSocket() != h) WSocket_closesocket(h);
    DiscardClient(client, e);
    return;
  }
  try {
    TriggerClientConnect(client, error);
    if (!HasClient(client) || client->State() != wsConnected) return;
    // One address alone must not take every place.
    if ((MaxClients > 0 && ConnectionCount() > MaxClients) || TooManyFrom(client->peerAddr_, client)) {
      client->Banner = BannerTooBusy;
      client->BeginSession();
      client->Close();
    } else {
      client->BeginSession();
    }
  } catch (const std::exception& e) {
    if (HasClient(client)) DiscardClient(client, e);
  }
}

void TCustomWSocketServer::DiscardClient(TWSocketClient* client, const std::exception& e) {
  client->closing_ = true;  // no close notice for a client that goes now
  if (HasClient(client)) FreeClient(client);
  TriggerAcceptError(0, e.what());
}

void TCustomWSocketServer::AcceptFailed(int error, const std::string& message) {
  bool noDescriptor = error == WSAEMFILE || error == WSAENOBUFS;
  if (noDescriptor) FreeReserve();
  // The pending connection stays in the backlog, so the listener would be
  // told of it again at once: it stops listening for a while instead.
  acceptDelay_ = acceptDelay_ == 0 ? std::max<DWORD>(AcceptRetryMs, 1)
                                   : std::min<DWORD>(acceptDelay_ * 2, std::max(AcceptRetryMaxMs, AcceptRetryMs));
  Pause();
  acceptPaused_ = true;
  if (!acceptTimer_) {
    acceptTimer_ = std::make_unique<TNetTimer>(this);
    acceptTimer_->SetOnTimer([this](TNetTimer*) { ResumeAccepting(); });
  }
  acceptTimer_->SetEnabled(false);
  acceptTimer_->SetInterval(acceptDelay_);
  acceptTimer_->SetEnabled(true);
  TriggerAcceptError(error, message);
}

void TCustomWSocketServer::ResumeAccepting() {
  if (acceptTimer_) acceptTimer_->SetEnabled(false);
  if (!acceptPaused_) return;
  if (State() == wsListening && !HoldReserve()) {
    // Still no room: wait another while.
    FreeReserve();
    acceptTimer_->SetEnabled(true);
    return;
  }
  acceptPaused_ = false;
  Resume();
}

bool TCustomWSocketServer::HoldReserve() {
  constexpr size_t kReserve = 4;
  while (reserve_.size() < kReserve) {
    SOCKET s = WSocket_socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return false;
    reserve_.push_back(s);
  }
  return true;
}

void TCustomWSocketServer::FreeReserve() {
  for (SOCKET s : reserve_) WSocket_closesocket(s);
  reserve_.clear();
}

void TCustomWSocketServer::Listen() {
  // A pause of the previous listening ends with it.
  if (acceptPaused_) ResumeAccepting();
  acceptDelay_ = 0;
  TWSocket::Listen();
  if (State() == wsListening) HoldReserve();
}

void TCustomWSocketServer::PostClientClosing(TWSocketClient* client, WORD error) {
  // The serial travels with the reference so that a stale message (the
  // memory reused by a newer client) is recognised.
  WPARAM w = (WPARAM(std::uint32_t(client->SerialId)) << 16) | error;
  platform::PostMessage(GetWindowHandle(), msgClientClosing_, w, LPARAM(client));
}

void TCustomWSocketServer::FreeClient(TWSocketClient* client) {
  ClientGone(client);
  client->ownerServer_ = nullptr;
  if (client->DispatchState() && client->DispatchState()->depth > 0) {
    // Inside one of its own handlers (a pumping wait): free it afterwards.
    client->Abort();
    client->ReleaseDeferred();
    return;
  }
  delete client;
}

void TCustomWSocketServer::HandleClientClosing(TMessage& msg) {
  auto* client = reinterpret_cast<TWSocketClient*>(msg.LParam);
  int serial = int(std::uint32_t(msg.WParam >> 16));
  WORD error = WORD(msg.WParam & 0xFFFF);
  if (!HasClient(client) || client->SerialId != serial) return;
  try {
    TriggerClientDisconnect(client, error);
  } catch (const std::exception& e) {
    // The client goes all the same; the listener is not concerned.
    if (HasClient(client)) FreeClient(client);
    TriggerAcceptError(0, e.what());
    return;
  }
  if (HasClient(client)) FreeClient(client);
}

void TCustomWSocketServer::DropClient(TWSocketClient* client) {
  if (!client) return;
  TMessage m;
  m.Msg = msgClientClosing_;
  m.WParam = (WPARAM(std::uint32_t(client->SerialId)) << 16) | kClientDroppedError;
  m.LParam = LPARAM(client);
  // Its own close must not post a second notice.
  client->closing_ = true;
  HandleClientClosing(m);
}

int TCustomWSocketServer::DropAllClients() {
  while (ConnectionCount() > 0) {
    int before = ConnectionCount();
    DropClient(ConnectionAt(0));
    if (ConnectionCount() == before) break;  // not ours any more
  }
  return ConnectionCount();
}

void TCustomWSocketServer::HandleWindowMessage(TMessage& msg) {
  if (msgClientClosing_ && msg.Msg == msgClientClosing_) {
    try {
      HandleClientClosing(msg);
    } catch (const std::exception& e) {
      ProcessBgException(e);
    }
    return;
  }
  TWSocket::HandleWindowMessage(msg);
}

}  // namespace yux::net
