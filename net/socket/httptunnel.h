#pragma once
// A TCP socket that reaches its destination through an HTTP proxy with the
// CONNECT method.  It authenticates with Basic, Digest or NTLM when the
// proxy asks (reconnecting when the proxy closes after its challenge) and
// reports the session as connected only on the proxy's 200.  Bytes the
// proxy passes on right behind its reply are delivered as ordinary data.
//
// Digest and NTLM values come from an authenticator that the protocol
// library provides (SetHttpTunnelAuthenticatorFactory); without one those
// schemes are not offered to the proxy.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/socket/customwsocket.h"

namespace yux::net {

enum THttpTunnelAuthType { htatDetect, htatNone, htatBasic, htatDigest, htatNtlm };
// Schemes the proxy offered: a set of these bits.
inline constexpr unsigned htsatBasic = 1;
inline constexpr unsigned htsatNtlm = 2;
inline constexpr unsigned htsatDigest = 4;
using THttpTunnelServerAuthTypes = unsigned;

using THttpTunnelErrorEvent =
    std::function<void(TCustomWSocket* sender, WORD errCode, THttpTunnelServerAuthTypes offered,
                       const std::string& reply)>;

// The Digest and NTLM computations, one object per socket.
class IHttpTunnelAuthenticator {
 public:
  virtual ~IHttpTunnelAuthenticator() = default;
  // Takes a "Proxy-Authenticate: Digest ..." value (after "Digest");
  // returns whether the challenge can be answered.
  virtual bool DigestParseChallenge(const std::string& value) = 0;
  // The value after "Digest " of the authorization header; raises the
  // nonce count itself.
  virtual std::string DigestAuthorization(const std::string& user, const std::string& password,
                                          const std::string& method, const std::string& uri) = 0;
  // The value after "NTLM " of the negotiate message.
  virtual std::string NtlmNegotiate() = 0;
  // The value after "NTLM " of the authenticate message for a challenge
  // (the text after "NTLM " of the proxy's header).  userCode may hold a
  // domain ("DOMAIN\user"); an empty domain takes the challenge's.
  virtual std::string NtlmAuthenticate(const std::string& challenge, const std::string& userCode,
                                       const std::string& password,
                                       const std::string& workstation) = 0;
};
using THttpTunnelAuthenticatorFactory = std::function<std::unique_ptr<IHttpTunnelAuthenticator>()>;
void SetHttpTunnelAuthenticatorFactory(THttpTunnelAuthenticatorFactory factory);

class TCustomHttpTunnelWSocket : public TCustomWSocket {
 public:
  TCustomHttpTunnelWSocket();
  ~TCustomHttpTunnelWSocket() override;

  THttpTunnelAuthType HttpTunnelAuthType() const { return authType_; }
  void SetHttpTunnelAuthType(THttpTunnelAuthType v);
  const std::string& HttpTunnelPassword() const { return password_; }
  void SetHttpTunnelPassword(const std::string& v);
  const std::string& HttpTunnelUsercode() const { return usercode_; }
  void SetHttpTunnelUsercode(const std::string& v);
  const std::string& HttpTunnelPort() const { return tunnelPort_; }
  void SetHttpTunnelPort(const std::string& v);
  const std::string& HttpTunnelServer() const { return tunnelServer_; }
  void SetHttpTunnelServer(const std::string& v);
  bool HttpTunnelServerAssigned() const { return tunnelServerAssigned_; }
  int HttpTunnelBufferSize = 1024;
  // A negotiation with the proxy is running.
  bool HttpTunnelNegotiating() const { return tunnelState_ != 0; }
  int HttpTunnelLastResponse() const { return status_; }

  TSessionConnected OnHttpTunnelConnected;
  THttpTunnelErrorEvent OnHttpTunnelError;

  int MessageNumbersNeeded() override { return TCustomWSocket::MessageNumbersNeeded() + 1; }
  void AllocateMessageNumbers() override;
  void FreeMessageNumbers() override;
  void HandleWindowMessage(TMessage& msg) override;
  void ResetToDefaults() override;
  void Connect() override;
  void Listen() override;
  int PendingReceiveCount() override;
  int DoRecv(void* buffer, int len, int flags) override;
  void Do_FD_CLOSE(TMessage& msg) override;
  void RaiseSocketException(const std::string& text) override;
  bool TriggerDataAvailable(WORD error) override;
  void TriggerTcpConnected(WORD error) override;
  void TriggerSessionClosed(WORD error) override;

 protected:
  // Set by the SOCKS layer: the SOCKS server is set.
  virtual bool SocksInUse() const { return false; }

 private:
  void ResetRequest();
  void ResetWorkingType();
  std::string RequestStart() const;
  void SendPlain();
  void SendBasic();
  void SendDigest();
  void SendNtlmNegotiate();
  void SendNtlmAuthenticate();
  bool HandleHeaderLine(const std::string& line);
  bool EvaluateReply();
  void TunnelError(int code);
  bool SkipBody();
  void KeepRest(int from);
  IHttpTunnelAuthenticator* Auth();

  std::string ntlmChallenge_;
  bool digestAccepted_ = false;
  bool digestChallengeValid_ = false;
  std::unique_ptr<IHttpTunnelAuthenticator> auth_;
  THttpTunnelAuthType authType_ = htatDetect;
  THttpTunnelAuthType workType_ = htatDetect;
  std::vector<char> buf_;
  bool chunked_ = false;
  std::int64_t chunkConsumed_ = 0;
  std::int64_t chunkSize_ = 0;
  int chunkState_ = 0;
  bool closedByServer_ = false;
  std::int64_t contentLength_ = 0;
  bool keepAlive_ = true;
  std::string replyText_;
  int reconnectMode_ = 0;  // 0 none, 1 Basic, 2 Digest, 3 NTLM
  std::string password_;
  std::string tunnelPort_;
  bool tunnelPortAssigned_ = false;
  bool http10_ = false;
  int bufCnt_ = 0;     // bytes in buf_
  int bufOffset_ = 0;  // first byte not yet delivered
  std::string tunnelServer_;
  bool tunnelServerAssigned_ = false;
  THttpTunnelServerAuthTypes offered_ = 0;
  int tunnelState_ = 0;
  int status_ = 21000;
  std::string usercode_;
  bool skipBody_ = false;
  bool firstLine_ = true;
  bool triedCredentials_ = false;  // a request with credentials got its answer
  UINT msgReconnect_ = 0;
  u_short destPort_ = 0;
};

}  // namespace yux::net
