#pragma once
// The SMTP client over TLS: STARTTLS (RFC 3207) on a plain connection, or
// TLS from the first byte (implicit TLS), on the TLS socket layer.
#include <string>

#include "net/protocols/smtpsync.h"
#include "net/socket/sslwsocket.h"

namespace yux::net {

enum TSmtpSslType { smtpTlsNone, smtpTlsImplicit, smtpTlsExplicit };

class TSslSmtpCli : public TSyncSmtpCli {
 public:
  TSslSmtpCli();

  TSmtpSslType SslType = smtpTlsNone;
  bool StartTlsOffered = false;  // the last EHLO reply listed STARTTLS
  // Fires with the socket as sender.
  TSslHandshakeDoneEvent OnSslHandshakeDone;

  TSslContext* SslContext() const { return CtrlSocket()->SslContext(); }
  void SetSslContext(TSslContext* v) { CtrlSocket()->SetSslContext(v); }
  // These events live on the socket.
  const TSslVerifyPeerEvent& OnSslVerifyPeer() const { return CtrlSocket()->OnSslVerifyPeer; }
  void SetOnSslVerifyPeer(TSslVerifyPeerEvent v) { CtrlSocket()->OnSslVerifyPeer = std::move(v); }
  const TSslCliGetSession& OnSslCliGetSession() const { return CtrlSocket()->OnSslCliGetSession; }
  void SetOnSslCliGetSession(TSslCliGetSession v) {
    CtrlSocket()->OnSslCliGetSession = std::move(v);
  }
  const TSslCliNewSession& OnSslCliNewSession() const { return CtrlSocket()->OnSslCliNewSession; }
  void SetOnSslCliNewSession(TSslCliNewSession v) {
    CtrlSocket()->OnSslCliNewSession = std::move(v);
  }
  const TSslCliCertRequest& OnSslCliCertRequest() const {
    return CtrlSocket()->OnSslCliCertRequest;
  }
  void SetOnSslCliCertRequest(TSslCliCertRequest v) {
    CtrlSocket()->OnSslCliCertRequest = std::move(v);
  }

  virtual void StartTls();
  void Open() override;
  void Connect() override;
  void Ehlo() override;
  void TriggerResponse(const std::string& msg) override;

 protected:
  std::unique_ptr<TWSocket> BuildControlSocket() override;
  void HandleSocketConnected(WORD error) override;
  std::vector<TSmtpStep> HighLevelOrder() const override;
  void StartStep(TSmtpStep step) override;

 private:
  void StartTlsReplied();
  void BeginHandshake();
  void HandshakeDone(TCustomWSocket* sender, WORD errCode, TX509Base* peerCert, bool& disconnect);
};

}  // namespace yux::net
