#include "net/protocols/wsocketserver.h"

#include <algorithm>

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

void TCustomWSocketServer::ClientGone(TWSocketClient* client) {
  auto it = std::find(clients_.begin(), clients_.end(), client);
  if (it != clients_.end()) clients_.erase(it);
}

void TCustomWSocketServer::TriggerSessionAvailable(WORD error) {
  TWSocket::TriggerSessionAvailable(error);
  if (error != 0) return;
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
  } catch (...) {
    SOCKET h = Accept();
    if (h != INVALID_SOCKET) WSocket_closesocket(h);
    delete client;
    throw;
  }
  AcceptInto(client, error);
}

void TCustomWSocketServer::AcceptInto(TWSocketClient* client, WORD error) {
  client->Name = Name + "Client" + std::to_string(serial_);
  client->Banner = Banner;
  client->SetNetLogger(NetLogger());
  client->Dup(Accept());
  TriggerClientConnect(client, error);
  if (!HasClient(client) || client->State() != wsConnected) return;
  if (MaxClients > 0 && ConnectionCount() > MaxClients) {
    client->Banner = BannerTooBusy;
    client->BeginSession();
    client->Close();
  } else {
    client->BeginSession();
  }
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
  } catch (...) {
    if (HasClient(client)) FreeClient(client);
    throw;
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
