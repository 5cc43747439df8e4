#pragma once
// A TCP socket that reaches its destination through a SOCKS server of
// version 4, 4A or 5: Connect goes to the server, the negotiation runs on
// that connection, and the application hears of the session only when the
// server granted it.  Bytes the server sends right behind its reply stay
// in the socket and are delivered as ordinary data.
#include <cstdint>
#include <functional>
#include <string>

#include "net/socket/httptunnel.h"

namespace yux::net {

enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState { socksAuthStart, socksAuthSuccess, socksAuthFailure, socksAuthNotRequired };

using TSocksErrorEvent = std::function<void(TCustomWSocket* sender, int error, const std::string& msg)>;
using TSocksAuthStateEvent = std::function<void(TCustomWSocket* sender, TSocksAuthState state)>;

class TCustomSocksWSocket : public TCustomHttpTunnelWSocket {
 public:
  TCustomSocksWSocket();

  const std::string& SocksServer() const { return socksServer_; }
  virtual void SetSocksServer(const std::string& v);
  const std::string& SocksPort() const { return socksPort_; }
  virtual void SetSocksPort(const std::string& v);
  const std::string& SocksLevel() const { return socksLevel_; }
  void SetSocksLevel(const std::string& v);
  std::string SocksUsercode;
  std::string SocksPassword;
  TSocksAuthentication SocksAuthentication = socksNoAuthentication;
  const std::string& SocksReplyAddr() const { return socksReplyAddr_; }
  const std::string& SocksReplyPort() const { return socksReplyPort_; }
  bool SocksServerAssigned() const { return socksServerAssigned_; }
  // A negotiation with the server is running.
  bool SocksNegotiating() const { return socksState_ != 0; }

  TSocksErrorEvent OnSocksError;
  TSessionConnected OnSocksConnected;
  TSocksAuthStateEvent OnSocksAuthState;

  virtual void TriggerSocksConnected(WORD error);
  virtual void TriggerSocksError(int error, const std::string& msg);

  void ResetToDefaults() override;
  bool TriggerDataAvailable(WORD error) override;
  void TriggerTcpConnected(WORD error) override;
  void TriggerSessionClosed(WORD error) override;
  void Connect() override;
  void Listen() override;

 protected:
  bool SocksInUse() const override { return socksServerAssigned_; }
  void SocksError(int code, const std::string& msg);
  void SendSocksRequest();
  void SendSocksAuthentication();
  void SocksGranted(int replyLen);
  void TriggerSocksAuthState(TSocksAuthState s);
  // Reads up to `upTo` bytes in all into the reply buffer; false while
  // fewer are there.
  bool ReadReply(int upTo);

  int socksState_ = 0;  // 0 idle, 1 greeting, 2 authenticating, 3 connect reply
  std::string socksServer_;
  std::string socksPort_;
  std::string socksLevel_ = "5";
  bool socksPortAssigned_ = false;
  bool socksServerAssigned_ = false;
  int socksAuthMethod_ = 0;
  std::string socksReplyAddr_;
  std::string socksReplyPort_;
  // The longest reply: a version 5 one naming a 255-byte domain (262 bytes).
  std::uint8_t rcvBuf_[264] = {};
  int rcvCnt_ = 0;
  u_short socksDestPort_ = 0;
};

}  // namespace yux::net
