#pragma once
// The TLS layer of the socket chain.  The library never sees the socket:
// a connection object runs over an in-memory BIO pair and this layer moves
// the encrypted bytes between the pair and the real socket itself.  Since
// the real socket's readiness no longer says whether plaintext can be read
// or written, the layer posts its own FD_READ, FD_WRITE and FD_CLOSE
// notifications for the layers above, which see the same calls and events
// as on a plain socket.  While TLS is off (SslEnable false, or a SOCKS or
// HTTP-tunnel negotiation still running below) every operation is the
// layer below's.
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "net/socket/netbuffer.h"
#include "net/socket/socks.h"
#include "net/socket/sslcerts.h"
#include "net/socket/sslcontext.h"

typedef struct bio_st BIO;

namespace yux::net {

enum TSslMode { sslModeClient = 0, sslModeServer = 1 };

enum TSslStage {
  StageNone,
  StageStarting,
  StageInitialised,
  StageFailed,
  StageEstablished,
  StageShutdownReceived,
  StageShutdownComplete
};

enum TSslEvent { sslFdRead, sslFdWrite, sslFdClose };

using TSslVerifyPeerEvent = std::function<void(TCustomWSocket* sender, int& ok, TX509Base* cert)>;
using TSslHandshakeDoneEvent = std::function<void(TCustomWSocket* sender, WORD errCode,
                                                  TX509Base* peerCert, bool& disconnect)>;
using TSslCliGetSession =
    std::function<void(TCustomWSocket* sender, SSL_SESSION*& session, bool& freeSession)>;
using TSslCliNewSession = std::function<void(TCustomWSocket* sender, SSL_SESSION* session,
                                             bool wasReused, bool& incRefCount)>;
using TSslSvrNewSession =
    std::function<void(TCustomWSocket* sender, SSL_SESSION* session, const void* sessId, int idLen,
                       bool& addToInternalCache)>;
using TSslSvrGetSession = std::function<void(TCustomWSocket* sender, SSL_SESSION*& session,
                                             const void* sessId, int idLen, bool& incRefCount)>;
using TSslSetSessionIDContext =
    std::function<void(TCustomWSocket* sender, std::string& sessionIdContext)>;
using TSslCliCertRequest = std::function<void(TCustomWSocket* sender, TX509Base*& cert)>;
using TSslShutDownComplete =
    std::function<void(TCustomWSocket* sender, bool bidirectional, int errCode)>;

class TCustomSslWSocket : public TCustomSocksWSocket,
                         public ISslCallbackTarget,
                         public ISslContextUser {
 public:
  TCustomSslWSocket();
  ~TCustomSslWSocket() override;

  // ---- Properties ----
  TSslContext* SslContext() const { return sslContext_; }
  void SetSslContext(TSslContext* v);
  bool SslEnable = false;
  std::vector<std::string> SslAcceptableHosts;
  // The name a client asks for (SNI) and, with peer verification on, the
  // name the certificate must carry; empty: the address connected to.
  // Clients that connect by a resolved address set the host name here.
  std::string SslServerName;
  TSslMode SslMode = sslModeClient;
  TX509Class SslX509Class = DefaultX509Class();

  TSslVerifyPeerEvent OnSslVerifyPeer;
  TSslHandshakeDoneEvent OnSslHandshakeDone;
  TSslCliGetSession OnSslCliGetSession;
  TSslCliNewSession OnSslCliNewSession;
  TSslSvrNewSession OnSslSvrNewSession;
  TSslSvrGetSession OnSslSvrGetSession;
  TSslSetSessionIDContext OnSslSetSessionIDContext;
  TSslShutDownComplete OnSslShutDownComplete;
  TSslCliCertRequest OnSslCliCertRequest;

  // ---- Read-only state ----
  TX509Base* SslPeerCert() const { return sslPeerCert_.get(); }
  TX509List& SslCertChain() { return sslCertChain_; }
  std::string SslVersion = "Unknown";
  std::string SslCipher = "Unknown";
  int SslSecretBits = 0;
  int SslTotalBits = 0;
  int SslVersionNumber = 0;
  int HandshakeCount() const { return handshakeCount_; }
  bool RenegotiationSeen() const { return renegotiationSeen_; }
  bool PeerSupportsSecureRenegotiation() const { return peerSecureReneg_; }
  TSslStage SslStage() const { return sslStage_; }
  int SslShutdownStage() const { return shutdownStage_; }
  int NetworkError() const { return networkError_; }
  // The peer ended the TLS session without its close-notify (the stream
  // may have been cut); kept after the close until the next session.
  bool SslClosedWithoutNotify() const { return closedWithoutNotify_; }
  int LastSslVerifyResult() const { return lastVerifyResult_; }
  std::uint32_t LastOpenSslError = 0;
  SSL* Ssl() const { return ssl_; }
  bool SslActive() const;

  // ---- Operations ----
  void StartSslHandshake();
  void AcceptSslHandshake();
  virtual void InitSSLConnection(bool client, SSL_CTX* ctx);
  bool StartSslRenegotiation();
  bool SslSecureRenegotiationOnly();
  void ResetSslSession();
  // The deferred bidirectional TLS shutdown (the connection continues in
  // plain text), or a one-way shutdown with the given "how".
  void PostSslMessage();
  void PostSslShutdownOneWay(int how);
  bool WasSessionReused();
  bool TriggerEvent(TSslEvent event, WORD error);
  void TriggerEvents();

  template <class E>
  [[noreturn]] void RaiseLastOpenSslError(bool dumpAll, const std::string& message) {
    throw E(OpenSslErrorMessageText(dumpAll, message, LastOpenSslError));
  }
  virtual void TriggerSslHandshakeDone(WORD errCode);
  void TriggerSslVerifyPeer(int& ok, TX509Base* cert) override;
  virtual void TriggerSslCliNewSession();
  virtual void TriggerSslShutDownComplete(int errCode);

  // ---- Overrides of the layers below ----
  void HandleWindowMessage(TMessage& msg) override;
  void AttachToThread() override;
  int MessageNumbersNeeded() override { return TCustomSocksWSocket::MessageNumbersNeeded() + 5; }
  void AllocateMessageNumbers() override;
  void FreeMessageNumbers() override;
  void TryToSend() override;
  void ResetToDefaults() override;
  void CloseAndNotify(bool doShutdown, int error) override;
  void AbortWithError(int error) override;
  int PendingReceiveCount() override;
  int DoRecv(void* buffer, int len, int flags) override;
  void Do_FD_CONNECT(TMessage& msg) override;
  void Do_FD_READ(TMessage& msg) override;
  void Do_FD_WRITE(TMessage& msg) override;
  void Do_FD_ACCEPT(TMessage& msg) override;
  void Do_FD_CLOSE(TMessage& msg) override;
  void DupConnected() override;
  void Close() override;
  void Listen() override;
  void Dup(SOCKET newHandle) override;
  void Shutdown(int how) override;
  void Resume() override;
  void PutDataInSendBuffer(const void* data, int len) override;
  void TriggerSessionConnected(WORD error) override;

  // ISslContextUser
  void SslContextFreed(TSslContext* context) override;

 protected:
  // ISslCallbackTarget
  void SslCallbackEnter() override;
  void SslCallbackLeave() override;
  void SslCallbackPause() override;
  void SslCallbackResume() override;
  TX509List& SslCallbackCertChain() override { return sslCertChain_; }
  void SetSslLastVerifyResult(int result) override { lastVerifyResult_ = result; }
  TX509Base* TriggerSslCliCertRequest() override;
  bool TriggerSslSvrNewSession(SSL_SESSION* session, const unsigned char* id, int idLen) override;
  SSL_SESSION* TriggerSslSvrGetSession(const unsigned char* id, int idLen,
                                       bool& incRefCount) override;
  void SslCallbackLog(TLogOption option, const std::string& text) override;
  bool SslCallbackLogActive(TLogOption option) override { return LogOptionActive(option); }

  void SslInternalShutdown(int how);
  bool SslShutdownCompleted(int how);
  // A finished one-way shutdown may close the connection now.
  bool OneWayEndDue() const;
  void SslAsyncSelect(TMessage& msg);

 private:
  friend struct TSslInfoCallbackAccess;
  void StartHandshake(bool client);
  void StartTlsAfterConnect();
  void HandleInfoCallback(int where, int ret);
  bool StateOk() const;
  int FilterPending() const;
  bool PlainQueueEmpty();
  bool RawQueueEmpty();
  void FetchOpenSslError();
  void Log(TLogOption option, const std::string& text);
  void DeliverPlaintext(const char* where);
  void CheckNewClientSession();
  void PostDeferredShutdown(int how, bool oneWay);
  void AfterNetworkStep();
  void TakeLibRef();
  const char* BioName(BIO* b) const;
  void LogCall(const char* fn, const char* target, const void* buf, int len, int result);
  int LoggedBioRead(BIO* b, void* buf, int len);
  int LoggedBioWrite(BIO* b, const void* buf, int len);
  int LoggedRecv(void* buf, int len);
  int LoggedSend(const void* buf, int len);

  TSslContext* sslContext_ = nullptr;
  std::unique_ptr<TX509Base> sslPeerCert_;
  TX509List sslCertChain_{this};
  std::unique_ptr<TNetBufferHandler> sslSendBuffer_;

  SSL* ssl_ = nullptr;
  BIO* sslbio_ = nullptr;  // the "ssl" filter: plaintext in and out
  BIO* ibio_ = nullptr;    // the pair's half the connection reads and writes
  BIO* nbio_ = nullptr;    // the pair's half this layer moves to the socket
  bool ibioOwnedBySsl_ = false;

  bool mayFD_Read_ = true;
  bool mayDoRecv_ = true;
  bool mayFD_Write_ = true;
  bool maySslTryToSend_ = true;
  bool sslAllSent_ = true;
  bool dataSentPending_ = false;
  bool closeCalled_ = false;
  std::set<TSslEvent> pendingEvents_;
  int shutdownHow_ = 1;
  int shutdownStage_ = 0;
  bool localEnd_ = false;  // the end was started by this side
  bool awaitPeerEnd_ = false;  // Shutdown(1): the close waits for the peer's end
  bool peerEnded_ = false;     // the peer closed the connection (or its sending)
  bool closedWithoutNotify_ = false;
  bool bidirectional_ = false;
  int networkError_ = 0;
  int sslWritePending_ = -1;
  bool handshakeInProgress_ = false;
  bool handshakeDone_ = false;
  int handshakeCount_ = 0;
  bool renegotiationSeen_ = false;
  bool peerSecureReneg_ = false;
  int inSslCallback_ = 0;
  bool callbackPaused_ = false;
  TSslStage sslStage_ = StageNone;
  int lastVerifyResult_ = 0;
  bool libRefHeld_ = false;
  SSL_SESSION* lastCliSession_ = nullptr;
  bool lastCliSessionResumable_ = false;

  UINT msgSslDataSent_ = 0, msgSslSelect_ = 0, msgSslResetSession_ = 0, msgSslShutdown_ = 0,
       msgSslShutdownComplete_ = 0;
};

}  // namespace yux::net
