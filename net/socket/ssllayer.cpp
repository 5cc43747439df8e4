#include "net/socket/ssllayer.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <typeinfo>

#include "net/socket/winsock.h"

namespace yux::net {

namespace {

using Base = TCustomSocksWSocket;

// The data path moves big pieces: plaintext goes to the library in
// chunks of 64 KB (four full records), the pair holds several of them
// encrypted in each direction, and one socket call sends or receives up to
// the pair's size. Pieces of a few KB cost a system call and an emulated
// notification each, which caps a bulk transfer well below what the
// library can encrypt.
constexpr int kPlainChunk = 65536;
constexpr int kBioPairSize = 256 * 1024;
constexpr int kMaxRecv = kBioPairSize;

// Scratch buffers of the network side, one for receiving and one for
// sending (an event handler may pump messages in between): the pair's
// whole content fits in each.
char* ReceiveScratch() {
  static thread_local std::unique_ptr<char[]> buf(new char[kBioPairSize]);
  return buf.get();
}
char* SendScratch() {
  static thread_local std::unique_ptr<char[]> buf(new char[kBioPairSize]);
  return buf.get();
}
constexpr int kWsaEWouldBlock = 10035;
constexpr int kWsaENotConn = 10057;
constexpr int kWsaEConnAborted = 10053;
constexpr int kWsaEShutdown = 10058;

std::recursive_mutex& InfoLock() {
  static std::recursive_mutex m;
  return m;
}

bool IsIpLiteral(const std::string& host) {
  ASN1_OCTET_STRING* a = a2i_IPADDRESS(host.c_str());
  if (!a) return false;
  ASN1_OCTET_STRING_free(a);
  return true;
}

void SetWsaError(int e) { WSocket_WSASetLastError(e); }

std::string Fmt(const char* f, ...) __attribute__((format(printf, 1, 2)));
std::string Fmt(const char* f, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, f);
  std::vsnprintf(buf, sizeof buf, f, ap);
  va_end(ap);
  return buf;
}

std::atomic<unsigned> g_callSequence{0};

// Printable characters as they are, every other byte as "$" and two hex
// digits and a blank.
std::string DumpBytes(const void* data, int len) {
  std::string out;
  const auto* p = static_cast<const unsigned char*>(data);
  for (int i = 0; i < len; ++i) {
    if (p[i] >= 32 && p[i] <= 126) {
      out += char(p[i]);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "$%02X ", p[i]);
      out += hex;
    }
  }
  return out;
}

}  // namespace

// The library's state callback reaches the socket through this friend.
struct TSslInfoCallbackAccess {
  static void Callback(const SSL* ssl, int where, int ret) {
    std::lock_guard<std::recursive_mutex> g(InfoLock());
    auto* target = static_cast<ISslCallbackTarget*>(SSL_get_ex_data(ssl, 0));
    // An exception cannot cross the library ("ICB> Extended data not
    // assigned fatal error!"): a connection without socket is left alone.
    if (!target) return;
    static_cast<TCustomSslWSocket*>(target)->HandleInfoCallback(where, ret);
  }
};

// ---------------------------------------------------------------------------
// Construction

TCustomSslWSocket::TCustomSslWSocket() {
  sslSendBuffer_ = std::make_unique<TNetBufferHandler>();
  sslSendBuffer_->BufSize = kPlainChunk;
}

TCustomSslWSocket::~TCustomSslWSocket() {
  destroying_ = true;
  inSslCallback_ = 0;
  sslStage_ = StageNone;
  ResetSslSession();
  sslPeerCert_.reset();
  if (sslContext_) sslContext_->UnregisterUser(this);
  sslContext_ = nullptr;
  ReleaseWindowOnce();
  sslSendBuffer_->EnterLock();
  sslSendBuffer_->DeleteAll();
  sslSendBuffer_->LeaveLock();
  if (libRefHeld_) {
    libRefHeld_ = false;
    UnloadSslLibraries();
  }
}

void TCustomSslWSocket::SetSslContext(TSslContext* v) {
  if (v == sslContext_) return;
  if (sslContext_) sslContext_->UnregisterUser(this);
  sslContext_ = v;
  if (sslContext_) sslContext_->RegisterUser(this);
}

void TCustomSslWSocket::SslContextFreed(TSslContext* context) {
  if (context == sslContext_) sslContext_ = nullptr;
}

bool TCustomSslWSocket::SslActive() const {
  return SslEnable && !SocksNegotiating() && !HttpTunnelNegotiating();
}

void TCustomSslWSocket::Log(TLogOption option, const std::string& text) {
  if (LogOptionActive(option)) LogDebug(option, HexAddress() + text);
}

void TCustomSslWSocket::SslCallbackLog(TLogOption option, const std::string& text) {
  Log(option, " " + text);
}

void TCustomSslWSocket::TakeLibRef() {
  if (libRefHeld_) return;
  LoadSslLibraries();
  libRefHeld_ = true;
}

// ---------------------------------------------------------------------------
// Messages

void TCustomSslWSocket::AllocateMessageNumbers() {
  Base::AllocateMessageNumbers();
  msgSslDataSent_ = AllocateMessage();
  msgSslSelect_ = AllocateMessage();
  msgSslResetSession_ = AllocateMessage();
  msgSslShutdown_ = AllocateMessage();
  msgSslShutdownComplete_ = AllocateMessage();
}

void TCustomSslWSocket::FreeMessageNumbers() {
  Base::FreeMessageNumbers();
  ReleaseMessage(msgSslDataSent_);
  ReleaseMessage(msgSslSelect_);
  ReleaseMessage(msgSslResetSession_);
  ReleaseMessage(msgSslShutdown_);
  ReleaseMessage(msgSslShutdownComplete_);
}

void TCustomSslWSocket::HandleWindowMessage(TMessage& msg) {
  UINT m = msg.Msg;
  if (m != 0 && (m == msgSslSelect_ || m == msgSslDataSent_ || m == msgSslResetSession_ ||
                 m == msgSslShutdown_ || m == msgSslShutdownComplete_)) {
    try {
      if (m == msgSslSelect_) {
        SslAsyncSelect(msg);
      } else if (m == msgSslDataSent_) {
        TriggerDataSent(0);
      } else if (m == msgSslResetSession_) {
        ResetSslSession();
      } else if (m == msgSslShutdown_) {
        if (SslActive() && ssl_ && shutdownStage_ == 0) {
          bidirectional_ = msg.LParam == 0;
          shutdownHow_ = int(msg.WParam);
          SslInternalShutdown(int(msg.WParam));
        }
      } else {
        TriggerSslShutDownComplete(int(msg.WParam));
      }
    } catch (const std::exception& e) {
      ProcessBgException(e);
    }
    return;
  }
  Base::HandleWindowMessage(msg);
}

bool TCustomSslWSocket::TriggerEvent(TSslEvent event, WORD error) {
  if (!SslActive() || Paused()) return false;
  if (pendingEvents_.count(event)) return false;
  long bit = event == sslFdRead ? FD_READ : event == sslFdWrite ? FD_WRITE : FD_CLOSE;
  if (!platform::PostMessage(GetWindowHandle(), msgSslSelect_, WPARAM(hSocket_),
                             LPARAM(bit | (LPARAM(error) << 16))))
    return false;
  pendingEvents_.insert(event);
  return true;
}

void TCustomSslWSocket::SslAsyncSelect(TMessage& msg) {
  if (SOCKET(msg.WParam) != hSocket_) return;
  long ev = long(msg.LParam & 0xFFFF);
  TMessage m = msg;
  if (ev & FD_READ) {
    pendingEvents_.erase(sslFdRead);
    if (Paused()) {
      // A throttle pause holds the reading: the notification comes back
      // with Resume.
      mayFD_Read_ = mayDoRecv_ = true;
    } else {
      // The real socket's FD_READ stays off while this one is handled, and
      // comes back as the socket had chosen it, never over a pause that a
      // handler started meanwhile.
      long saved = SelectEventMask();
      bool juggle = hSocket_ != INVALID_SOCKET && (saved & FD_READ);
      if (juggle) WSocket_WSAAsyncSelect(hSocket_, GetWindowHandle(), msgSelect_, saved & ~FD_READ);
      try {
        Do_FD_READ(m);
      } catch (...) {
        if (juggle && hSocket_ != INVALID_SOCKET && !Paused())
          WSocket_WSAAsyncSelect(hSocket_, GetWindowHandle(), msgSelect_, SelectEventMask());
        throw;
      }
      if (juggle && hSocket_ != INVALID_SOCKET && !Paused())
        WSocket_WSAAsyncSelect(hSocket_, GetWindowHandle(), msgSelect_, SelectEventMask());
    }
  } else if (ev & FD_WRITE) {
    pendingEvents_.erase(sslFdWrite);
    if (Paused())
      mayFD_Write_ = true;
    else
      Do_FD_WRITE(m);
  } else if (ev & FD_CLOSE) {
    pendingEvents_.erase(sslFdClose);
    Do_FD_CLOSE(m);
  }
}

void TCustomSslWSocket::AttachToThread() {
  Base::AttachToThread();
  std::set<TSslEvent> again;
  again.swap(pendingEvents_);
  for (TSslEvent e : again) TriggerEvent(e, 0);
}

void TCustomSslWSocket::PostSslMessage() {
  localEnd_ = true;
  platform::PostMessage(GetWindowHandle(), msgSslShutdown_, 0, 0);
}

void TCustomSslWSocket::PostSslShutdownOneWay(int how) {
  localEnd_ = true;
  PostDeferredShutdown(how, true);
}

void TCustomSslWSocket::PostDeferredShutdown(int how, bool oneWay) {
  platform::PostMessage(GetWindowHandle(), msgSslShutdown_, WPARAM(how), oneWay ? 1 : 0);
}

// ---------------------------------------------------------------------------
// Small state helpers

bool TCustomSslWSocket::StateOk() const { return ssl_ && SSL_is_init_finished(ssl_); }

int TCustomSslWSocket::FilterPending() const {
  if (!sslbio_ || !ssl_) return 0;
  // Decrypted bytes, else the encrypted bytes the connection has not read
  // yet from its half of the pair (they may hold the next record).
  int n = SSL_pending(ssl_);
  if (n == 0 && ibio_) n = int(BIO_ctrl_pending(ibio_));
  return n;
}

bool TCustomSslWSocket::PlainQueueEmpty() {
  sslSendBuffer_->EnterLock();
  bool e = sslSendBuffer_->IsDrained();
  sslSendBuffer_->LeaveLock();
  return e;
}

bool TCustomSslWSocket::RawQueueEmpty() {
  bufHandler_->EnterLock();
  bool e = bufHandler_->IsDrained();
  bufHandler_->LeaveLock();
  return e;
}

void TCustomSslWSocket::FetchOpenSslError() {
  LastOpenSslError = std::uint32_t(ERR_get_error());
  if (LastOpenSslError != 0) {
    if (LogOptionActive(TLogOption::loSslErr)) {
      char buf[256];
      ERR_error_string_n(LastOpenSslError, buf, sizeof buf);
      Log(TLogOption::loSslErr, Fmt("  %d  %s", int(hSocket_), buf));
    }
  }
  ERR_clear_error();
}

bool TCustomSslWSocket::WasSessionReused() {
  return SslActive() && ssl_ && SSL_session_reused(ssl_) == 1;
}

// ---------------------------------------------------------------------------
// Logged calls of the data path: they log and change nothing else.

const char* TCustomSslWSocket::BioName(BIO* b) const {
  if (b && b == sslbio_) return "sslbio";
  if (b && b == ibio_) return "ibio";
  if (b && b == nbio_) return "nbio";
  return "bio";
}

void TCustomSslWSocket::LogCall(const char* fn, const char* target, const void* buf, int len,
                               int result) {
  unsigned seq = ++g_callSequence;
  bool dump = LogOptionActive(TLogOption::loSslDump);
  if (!dump && !LogOptionActive(TLogOption::loSslInfo)) return;
  std::string line =
      Fmt(" %s(%s, 0x%lx, %d) = %d   [%u]", fn, target,
          static_cast<unsigned long>(reinterpret_cast<std::uintptr_t>(buf)), len, result, seq);
  if (dump) {
    if (result > 0) line += " Data:" + DumpBytes(buf, result);
    Log(TLogOption::loSslDump, line);
  } else {
    Log(TLogOption::loSslInfo, line);
  }
}

int TCustomSslWSocket::LoggedBioRead(BIO* b, void* buf, int len) {
  int r = BIO_read(b, buf, len);
  LogCall("BIO_read", BioName(b), buf, len, r);
  return r;
}

int TCustomSslWSocket::LoggedBioWrite(BIO* b, const void* buf, int len) {
  int r = BIO_write(b, buf, len);
  LogCall("BIO_write", BioName(b), buf, len, r);
  return r;
}

int TCustomSslWSocket::LoggedRecv(void* buf, int len) {
  int r = Base::DoRecv(buf, len, 0);
  LogCall("Winsock recv", std::to_string(hSocket_).c_str(), buf, len, r);
  return r;
}

int TCustomSslWSocket::LoggedSend(const void* buf, int len) {
  int r = RealSend(static_cast<const std::uint8_t*>(buf), len);
  LogCall("Winsock send", std::to_string(hSocket_).c_str(), buf, len, r);
  if (r > 0) TriggerSendData(r);
  return r;
}

// ---------------------------------------------------------------------------
// Callbacks

void TCustomSslWSocket::SslCallbackEnter() { ++inSslCallback_; }

void TCustomSslWSocket::SslCallbackLeave() {
  if (inSslCallback_ > 0) --inSslCallback_;
  if (inSslCallback_ == 0 && hSocket_ == INVALID_SOCKET && ssl_ && msgSslResetSession_)
    platform::PostMessage(GetWindowHandle(), msgSslResetSession_, 0, 0);
}

void TCustomSslWSocket::SslCallbackPause() {
  // A socket the throttle paused already stays paused; only our own pause
  // is lifted again afterwards.
  if (Paused()) return;
  callbackPaused_ = true;
  Pause();
}

void TCustomSslWSocket::SslCallbackResume() {
  if (!callbackPaused_) return;
  callbackPaused_ = false;
  // The plain resume: the layer's own follow-up would run inside the
  // library's call.
  Base::Resume();
}

void TCustomSslWSocket::TriggerSslVerifyPeer(int& ok, TX509Base* cert) {
  Log(TLogOption::loSslInfo, " TriggerSslVerifyPeer");
  if (OnSslVerifyPeer) OnSslVerifyPeer(this, ok, cert);
}

TX509Base* TCustomSslWSocket::TriggerSslCliCertRequest() {
  TX509Base* cert = nullptr;
  if (OnSslCliCertRequest) OnSslCliCertRequest(this, cert);
  return cert;
}

bool TCustomSslWSocket::TriggerSslSvrNewSession(SSL_SESSION* session, const unsigned char* id,
                                               int idLen) {
  bool add = false;
  if (OnSslSvrNewSession) OnSslSvrNewSession(this, session, id, idLen, add);
  return add;
}

SSL_SESSION* TCustomSslWSocket::TriggerSslSvrGetSession(const unsigned char* id, int idLen,
                                                       bool& incRefCount) {
  SSL_SESSION* s = nullptr;
  if (OnSslSvrGetSession) OnSslSvrGetSession(this, s, id, idLen, incRefCount);
  return s;
}

void TCustomSslWSocket::HandleInfoCallback(int where, int ret) {
  SslCallbackEnter();
  struct Leave {
    TCustomSslWSocket* s;
    ~Leave() { s->SslCallbackLeave(); }
  } leave{this};
  if (LogOptionActive(TLogOption::loSslInfo) || LogOptionActive(TLogOption::loSslErr)) {
    int st = where & ~SSL_ST_MASK;
    std::string pre = (st & SSL_ST_CONNECT)  ? "SSL_connect: "
                      : (st & SSL_ST_ACCEPT) ? "SSL_accept: "
                                             : "undefined: ";
    if (where & SSL_CB_LOOP) {
      Log(TLogOption::loSslInfo, " ICB> " + pre + SSL_state_string_long(ssl_));
    } else if (where & SSL_CB_ALERT) {
      Log(TLogOption::loSslInfo,
          std::string(" ICB> SSL3 alert ") + ((where & SSL_CB_READ) ? "read " : "write ") +
              SSL_alert_type_string_long(ret) + " " + SSL_alert_desc_string_long(ret));
    } else if (where & SSL_CB_EXIT) {
      if (ret == 0)
        Log(TLogOption::loSslErr, " ICB> " + pre + "failed in " + SSL_state_string_long(ssl_));
      else if (ret < 0)
        Log(TLogOption::loSslInfo, " ICB> " + pre + "error in " + SSL_state_string_long(ssl_));
    }
  }
  if (where & SSL_CB_HANDSHAKE_START) {
    handshakeInProgress_ = true;
    ++handshakeCount_;
    if (handshakeCount_ > 1 && SslSecureRenegotiationOnly()) {
      CloseDeferred();
      Log(TLogOption::loSslErr,
          " Renegotiaton not supported or not allowed. Connection closed delayed");
    }
    if (handshakeCount_ > 1) renegotiationSeen_ = true;
  } else if (where & SSL_CB_HANDSHAKE_DONE) {
    handshakeInProgress_ = false;
    handshakeDone_ = true;
    Log(TLogOption::loSslInfo,
        Fmt(" ICB> SSL_CB_HANDSHAKE_DONE Error: %ld", SSL_get_verify_result(ssl_)));
  }
}

// ---------------------------------------------------------------------------
// Handshake

void TCustomSslWSocket::StartSslHandshake() { StartHandshake(true); }
void TCustomSslWSocket::AcceptSslHandshake() { StartHandshake(false); }

void TCustomSslWSocket::StartHandshake(bool client) {
  Log(TLogOption::loSslInfo, client ? " StartSslHandshake " : " AcceptSslHandshake ");
  if (!SslEnable) return;
  if (!sslContext_) throw ESslContextException("SSL requires a context object");
  if (ssl_) ResetSslSession();
  sslStage_ = StageStarting;
  SslMode = client ? sslModeClient : sslModeServer;
  try {
    {
      std::lock_guard<std::recursive_mutex> g(sslContext_->Lock());
      if (!sslContext_->SslCTX()) sslContext_->InitContext();
    }
    InitSSLConnection(client, sslContext_->SslCTX());
  } catch (const std::exception& e) {
    sslStage_ = StageNone;
    Log(TLogOption::loSslInfo,
        std::string(" Fatal error SSL handshake ") + typeid(e).name() + " " + e.what());
    throw;
  }
}

void TCustomSslWSocket::InitSSLConnection(bool client, SSL_CTX* ctx) {
  if (!SslEnable) return;
  Log(TLogOption::loSslInfo, " InitSSLConnection ");
  sslCertChain_.Clear();
  sslCertChain_.SetX509Class(SslX509Class);
  sslCertChain_.LastVerifyResult = 0;
  if (!sslPeerCert_) sslPeerCert_ = SslX509Class ? SslX509Class() : DefaultX509Class()();
  sslPeerCert_->Clear();
  shutdownHow_ = 1;
  shutdownStage_ = 0;
  networkError_ = 0;
  LastOpenSslError = 0;
  bidirectional_ = false;
  closeCalled_ = false;
  localEnd_ = false;
  awaitPeerEnd_ = false;
  peerEnded_ = false;
  closedWithoutNotify_ = false;
  pendingEvents_.clear();
  mayFD_Read_ = mayDoRecv_ = mayFD_Write_ = maySslTryToSend_ = true;
  lastCliSession_ = nullptr;
  lastCliSessionResumable_ = false;
  TakeLibRef();
  try {
    {
      std::lock_guard<std::recursive_mutex> g(SslLibraryLock());
      ssl_ = SSL_new(ctx);
      if (!ssl_)
        RaiseLastOpenSslError<ESslGeneralException>(true, "Error on creating the Ssl object");
      ibioOwnedBySsl_ = false;
      sslbio_ = BIO_new(BIO_f_ssl());
      if (BIO_new_bio_pair(&ibio_, kBioPairSize, &nbio_, kBioPairSize) != 1)
        ibio_ = nbio_ = nullptr;
      if (!sslbio_ || !ibio_ || !nbio_)
        RaiseLastOpenSslError<ESslGeneralException>(true, "Creating BIOs failed");
      if (SSL_set_ex_data(ssl_, 0, static_cast<ISslCallbackTarget*>(this)) != 1)
        RaiseLastOpenSslError<ESslGeneralException>(true, "SSL_set_ex_data failed");
    }
    // A write that must be retried is presented again with the same
    // length, but the queue may have moved its bytes meanwhile.
    SSL_set_mode(ssl_, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (client) {
      if (sslContext_ && sslContext_->SslCertFile().empty() && OnSslCliCertRequest &&
          !sslContext_->ClientCertCallbackInstalled())
        sslContext_->InstallClientCertCallback();
      // The server name goes out with the hello (not for an address), and
      // with verification on the certificate must be the one of that name.
      const std::string host = SslServerName.empty() ? Addr() : SslServerName;
      bool ip = !host.empty() && IsIpLiteral(host);
      if (!host.empty() && !ip) SSL_set_tlsext_host_name(ssl_, host.c_str());
      if (sslContext_ && sslContext_->SslVerifyPeer() && !host.empty()) {
        if (ip)
          X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host.c_str());
        else
          SSL_set1_host(ssl_, host.c_str());
      }
      SSL_SESSION* sess = nullptr;
      bool freeSession = true;
      if (OnSslCliGetSession) OnSslCliGetSession(this, sess, freeSession);
      if (sess && SSL_set_session(ssl_, sess) == 1) {
        Log(TLogOption::loSslInfo, Fmt(" Reuse session [%p]", static_cast<void*>(sess)));
      } else {
        SSL_set_session(ssl_, nullptr);
      }
      if (sess && freeSession) SSL_SESSION_free(sess);
      SSL_set_connect_state(ssl_);
    } else {
      if (OnSslSetSessionIDContext) {
        std::string sid;
        OnSslSetSessionIDContext(this, sid);
        if (!sid.empty()) {
          sid = sid.substr(0, SSL_MAX_SID_CTX_LENGTH);
          if (SSL_set_session_id_context(ssl_, reinterpret_cast<const unsigned char*>(sid.data()),
                                         unsigned(sid.size())) != 1)
            Log(TLogOption::loSslErr, " ssl_set_session_id_context failed");
        }
      }
      SSL_set_accept_state(ssl_);
    }
    // From here the connection owns its half of the pair.
    SSL_set_bio(ssl_, ibio_, ibio_);
    ibioOwnedBySsl_ = true;
    SSL_set_info_callback(ssl_, TSslInfoCallbackAccess::Callback);
    ERR_clear_error();
    BIO_set_ssl(sslbio_, ssl_, BIO_NOCLOSE);
    char dummy = 0;
    int r = LoggedBioRead(sslbio_, &dummy, 0);
    if (r < 0 && !BIO_should_retry(sslbio_))
      throw EOpenSslError("InitSSLConnection: " + SslErrorQueueText(true));
    if (State() == wsConnected) {
      TriggerEvent(sslFdRead, 0);
      TriggerEvent(sslFdWrite, 0);
    }
    LastError = -1;
    sslStage_ = StageInitialised;
  } catch (...) {
    sslStage_ = StageFailed;
    ResetSslSession();
    sslStage_ = StageFailed;
    throw;
  }
}

void TCustomSslWSocket::TriggerSessionConnected(WORD error) {
  Base::TriggerSessionConnected(error);
  if (SslEnable && error == 0 && !ssl_) StartTlsAfterConnect();
}

void TCustomSslWSocket::StartTlsAfterConnect() {
  try {
    if (SslMode == sslModeServer)
      AcceptSslHandshake();
    else
      StartSslHandshake();
  } catch (const std::exception& e) {
    SslEnable = false;
    ResetSslSession();
    CloseAndNotify(false, kWsaEConnAborted);
    ProcessBgException(e);
  }
}

void TCustomSslWSocket::Dup(SOCKET newHandle) {
  Base::Dup(newHandle);
  if (hSocket_ == INVALID_SOCKET) return;
  SetState(wsConnected);
  if (!SslEnable) return;
  if (SslMode != sslModeClient && SslMode != sslModeServer) {
    SslEnable = false;
    CloseAndNotify(false, kWsaEConnAborted);
    ProcessBgException(ESocketException("Invalid SslMode"));
    return;
  }
  StartTlsAfterConnect();
}

void TCustomSslWSocket::DupConnected() {
  Log(TLogOption::loSslInfo, " DupConnected");
  Base::DupConnected();
}

void TCustomSslWSocket::TriggerSslHandshakeDone(WORD errCode) {
  if (hSocket_ == INVALID_SOCKET) errCode = 1;
  sslStage_ = (errCode != 0 || !ssl_) ? StageFailed : StageEstablished;
  X509* peer = nullptr;
  if (sslStage_ == StageEstablished) {
    peerSecureReneg_ = SSL_get_secure_renegotiation_support(ssl_) != 0;
    SslVersion = SSL_get_version(ssl_);
    SslVersionNumber = SSL_version(ssl_);
    const SSL_CIPHER* c = SSL_get_current_cipher(ssl_);
    if (c) {
      SslCipher = SSL_CIPHER_get_name(c);
      SslSecretBits = SSL_CIPHER_get_bits(c, &SslTotalBits);
    }
    if (sslContext_ && sslContext_->SslVerifyPeer()) peer = SSL_get1_peer_certificate(ssl_);
  }
  Log(TLogOption::loSslInfo,
      Fmt(" SslHandshakeDone(%d) %d. Secure connection with %s, cipher %s, %d secret bits "
          "(%d total), session reused=%s",
          int(errCode), int(hSocket_), SslVersion.c_str(), SslCipher.c_str(), SslSecretBits,
          SslTotalBits, (ssl_ && SSL_session_reused(ssl_)) ? "true" : "false"));
  if (!sslPeerCert_) sslPeerCert_ = SslX509Class ? SslX509Class() : DefaultX509Class()();
  sslPeerCert_->AssignX509(peer);
  if (peer) {
    if (TX509Base* e = sslCertChain_.Find(peer)) {
      sslPeerCert_->VerifyResult = e->VerifyResult;
      sslPeerCert_->VerifyDepth = e->VerifyDepth;
      sslPeerCert_->FirstVerifyResult = e->FirstVerifyResult;
    } else {
      sslPeerCert_->VerifyResult = int(SSL_get_verify_result(ssl_));
    }
    X509_free(peer);
  }
  bool disconnect = false;
  if (OnSslHandshakeDone) OnSslHandshakeDone(this, errCode, sslPeerCert_.get(), disconnect);
  if (errCode != 0) return;
  if (disconnect)
    Close();
  else
    TriggerSslCliNewSession();
}

void TCustomSslWSocket::TriggerSslCliNewSession() {
  if (SslMode != sslModeClient || !OnSslCliNewSession || !ssl_) return;
  SSL_SESSION* s = sslStage_ == StageEstablished ? SSL_get_session(ssl_) : nullptr;
  lastCliSession_ = s;
  lastCliSessionResumable_ = s && SSL_SESSION_is_resumable(s);
  std::lock_guard<std::recursive_mutex> g(SslLibraryLock());
  bool inc = false;
  OnSslCliNewSession(this, s, WasSessionReused(), inc);
  if (inc && s && ssl_) SSL_get1_session(ssl_);
}

void TCustomSslWSocket::CheckNewClientSession() {
  // TLS 1.3 hands out its tickets after the handshake: the session the
  // handshake left cannot be resumed, the one a ticket brings can.  The
  // application hears of each resumable session as it arrives.
  if (SslMode != sslModeClient || !OnSslCliNewSession || !ssl_ || sslStage_ != StageEstablished)
    return;
  SSL_SESSION* s = SSL_get_session(ssl_);
  if (!s) return;
  bool resumable = SSL_SESSION_is_resumable(s) == 1;
  if (!resumable) return;
  if (s == lastCliSession_ && lastCliSessionResumable_) return;
  TriggerSslCliNewSession();
}

void TCustomSslWSocket::TriggerSslShutDownComplete(int errCode) {
  Log(TLogOption::loSslInfo, Fmt(" TriggerSslShutDownComplete(%d) %d", errCode, int(hSocket_)));
  if (OnSslShutDownComplete) OnSslShutDownComplete(this, bidirectional_, errCode);
}

bool TCustomSslWSocket::SslSecureRenegotiationOnly() {
  unsigned long v = SslLibraryVersionNumber();
  if (v >= 0x009080CFul && v < 0x009080EFul) return true;
  if (v >= 0x009080EFul) {
    bool unsafeAllowed =
        ssl_ && (SSL_get_options(ssl_) & SSL_OP_ALLOW_UNSAFE_LEGACY_RENEGOTIATION) != 0;
    return !peerSecureReneg_ && !unsafeAllowed;
  }
  return false;
}

bool TCustomSslWSocket::StartSslRenegotiation() {
  if (!ssl_ || SslSecureRenegotiationOnly() || !StateOk() || SSL_version(ssl_) < 0x0300 ||
      SSL_renegotiate_pending(ssl_)) {
    Log(TLogOption::loSslErr,
        Fmt(" ! Cannot start re-negotiation  State %d Version (0x%x) RenegotiatePending %d "
            "NO_RENEGOTIATION %d HSocket %d",
            ssl_ ? int(SSL_get_state(ssl_)) : 0, ssl_ ? SSL_version(ssl_) : 0,
            ssl_ ? int(SSL_renegotiate_pending(ssl_)) : 0, int(SslSecureRenegotiationOnly()),
            int(hSocket_)));
    return false;
  }
  ERR_clear_error();
  if (SSL_renegotiate(ssl_) != 1) {
    FetchOpenSslError();
    Log(TLogOption::loSslErr, " ! SSL_renegotiate() failed");
    return false;
  }
  int r = int(BIO_do_handshake(sslbio_));
  sslWritePending_ = -1;
  if (r == -1 && !BIO_should_retry(sslbio_)) {
    Log(TLogOption::loSslErr, " ! Re-negotiation failed");
    networkError_ = kWsaEConnAborted;
    TriggerEvent(sslFdClose, 0);
  }
  Log(TLogOption::loSslInfo, " ! Re-negotiation started ");
  if (mayFD_Write_ && TriggerEvent(sslFdWrite, 0)) mayFD_Write_ = false;
  return true;
}

void TCustomSslWSocket::ResetSslSession() {
  if (inSslCallback_ > 0 || sslStage_ == StageStarting) return;
  Log(TLogOption::loSslInfo, " ResetSslSession");
  sslSendBuffer_->EnterLock();
  sslSendBuffer_->DeleteAll();
  sslSendBuffer_->LeaveLock();
  sslAllSent_ = true;
  SslVersion = "Unknown";
  SslCipher = "Unknown";
  SslSecretBits = SslTotalBits = 0;
  SslVersionNumber = 0;
  handshakeInProgress_ = handshakeDone_ = false;
  sslWritePending_ = -1;
  renegotiationSeen_ = false;
  networkError_ = 0;
  sslStage_ = StageNone;
  handshakeCount_ = 0;
  peerSecureReneg_ = false;
  lastCliSession_ = nullptr;
  lastCliSessionResumable_ = false;
  // No close-notify goes out when the connection is freed.
  if (ssl_) SSL_set_shutdown(ssl_, SSL_SENT_SHUTDOWN);
  // The filter holds a reference on the connection's half of the pair:
  // freeing the chain gives it back.  The connection frees that half.
  if (sslbio_) BIO_free_all(sslbio_);
  if (nbio_) BIO_free(nbio_);
  if (ibio_ && !ibioOwnedBySsl_) BIO_free(ibio_);
  if (ssl_) SSL_free(ssl_);
  sslbio_ = nbio_ = ibio_ = nullptr;
  ibioOwnedBySsl_ = false;
  ssl_ = nullptr;
}

// ---------------------------------------------------------------------------
// The emulated notifications

void TCustomSslWSocket::TriggerEvents() {
  if (!SslActive() || !ssl_) return;
  bool ok = StateOk();
  if (handshakeDone_) {
    handshakeDone_ = false;
    TriggerSslHandshakeDone(0);
    renegotiationSeen_ = false;
    if (!SslActive() || !ssl_) return;
    ok = StateOk();
  }
  CheckNewClientSession();
  if (!SslActive() || !ssl_) return;
  // Write side.
  if (BIO_ctrl_pending(nbio_) == 0) {
    if (RawQueueEmpty() || !ok || BIO_ctrl_get_write_guarantee(sslbio_) <= 0 || !mayFD_Write_) {
      if (!PlainQueueEmpty() && ok && maySslTryToSend_) {
        maySslTryToSend_ = false;
        TryToSend();
      } else if (RawQueueEmpty() && PlainQueueEmpty() && dataSentPending_ && ok) {
        dataSentPending_ = false;
        TriggerDataSent(0);
      }
    } else if (TriggerEvent(sslFdWrite, 0)) {
      mayFD_Write_ = false;
    }
  } else if (mayFD_Write_ && TriggerEvent(sslFdWrite, 0)) {
    mayFD_Write_ = false;
  }
  if (!SslActive() || !ssl_) return;
  ok = StateOk();
  // Read side.
  if (!ok || FilterPending() == 0) {
    if (BIO_ctrl_get_write_guarantee(nbio_) > 0 && mayFD_Read_ && TriggerEvent(sslFdRead, 0))
      mayFD_Read_ = false;
  } else if (mayDoRecv_ && TriggerEvent(sslFdRead, 0)) {
    mayDoRecv_ = false;
  }
  // Close side.
  if (((closeCalled_ && shutdownStage_ == 0) || (shutdownStage_ == 2 && OneWayEndDue())) && ok &&
      FilterPending() == 0)
    TriggerEvent(sslFdClose, 0);
}

void TCustomSslWSocket::DeliverPlaintext(const char* where) {
  Log(TLogOption::loSslInfo, std::string(" TriggerDataAvailable (") + where + ")");
  if (!TriggerDataAvailable(0)) {
    // Nobody reads: the data is dropped as the plain socket drops it.
    char junk[1024];
    Receive(junk, sizeof junk);
  }
}

void TCustomSslWSocket::AfterNetworkStep() {
  if (shutdownStage_ == 1 && SslShutdownCompleted(shutdownHow_) && OneWayEndDue())
    TriggerEvent(sslFdClose, 0);
  else
    TriggerEvents();
}

void TCustomSslWSocket::Do_FD_READ(TMessage& msg) {
  if (!SslActive() || !ssl_) {
    Base::Do_FD_READ(msg);
    return;
  }
  Log(TLogOption::loSslInfo, " TCustomSslWSocket.Do_FD_READ ");
  if (networkError_) return;
  WORD notifError = WORD(msg.LParam >> 16);
  if (StateOk() && sslWritePending_ < 0 && FilterPending() > 0) {
    // The socket was not read for this notification, so the real FD_READ
    // does not come again by itself: once the application has taken the
    // plaintext, an emulated one must fetch what waits on the socket.
    mayFD_Read_ = true;
    DeliverPlaintext("Do_FD_READ_1");
    return;
  }
  mayFD_Read_ = false;
  int size = int(BIO_ctrl_get_read_request(nbio_));
  if (size == 0) size = int(BIO_ctrl_get_write_guarantee(nbio_));
  size = std::min(size, kMaxRecv);
  if (size <= 0) {
    mayFD_Read_ = true;
    TriggerEvents();
    return;
  }
  char* buf = ReceiveScratch();
  int n = LoggedRecv(buf, size);
  if (n == 0 && State() == wsConnected) {
    peerEnded_ = true;
    TriggerEvent(sslFdClose, notifError);
  } else if (n < 0) {
    int err = WSocket_WSAGetLastError();
    if (err > 10000 && err != kWsaEWouldBlock && err != kWsaENotConn) {
      networkError_ = err;
      LastError = err;
      TriggerEvent(sslFdClose, 0);
      return;
    }
  } else if (n > 0) {
    LoggedBioWrite(nbio_, buf, n);
    (void)BIO_flush(nbio_);
    if (sslWritePending_ < 0) {
      ERR_clear_error();
      char dummy = 0;
      int r = LoggedBioRead(sslbio_, &dummy, 0);
      if (r < 0) {
        if (!BIO_should_retry(sslbio_)) {
          FetchOpenSslError();
          networkError_ = LastError = kWsaEConnAborted;
          TriggerEvent(sslFdClose, 0);
          return;
        }
        mayDoRecv_ = true;
        SetWsaError(kWsaEWouldBlock);
      } else {
        if (SSL_version(ssl_) >= 0x0300 && SSL_get_error(ssl_, r) == SSL_ERROR_ZERO_RETURN) {
          // The peer's close-notify.
          if (sslStage_ < StageShutdownReceived) sslStage_ = StageShutdownReceived;
          if (!bidirectional_ && shutdownStage_ == 0) {
            PostDeferredShutdown(1, true);
            SetWsaError(kWsaEWouldBlock);
            return;
          }
          if (!bidirectional_ && shutdownStage_ == 2) TriggerEvent(sslFdClose, 0);
        }
        SetWsaError(kWsaEWouldBlock);
        mayDoRecv_ = true;
      }
    } else {
      mayDoRecv_ = true;
      SetWsaError(kWsaEWouldBlock);
      Log(TLogOption::loSslInfo, Fmt("SslBio write operation pending: %d", sslWritePending_));
    }
  }
  if (!ssl_) return;
  if (StateOk() && sslWritePending_ < 0 && FilterPending() > 0) {
    DeliverPlaintext("Do_FD_READ_2");
    if (!ssl_) return;
  }
  AfterNetworkStep();
}

void TCustomSslWSocket::Do_FD_WRITE(TMessage& msg) {
  if (!SslActive() || !ssl_) {
    Base::Do_FD_WRITE(msg);
    return;
  }
  if (networkError_) return;
  mayFD_Write_ = false;
  Base::TryToSend();
  if (hSocket_ == INVALID_SOCKET) {
    Log(TLogOption::loSslInfo, " INVALID_SOCKET");
    return;
  }
  if (!RawQueueEmpty()) {
    Log(TLogOption::loSslInfo, " * Not bAllSent ");
    mayFD_Write_ = true;
    return;
  }
  char* buf = SendScratch();
  for (;;) {
    int pending = int(BIO_ctrl_pending(nbio_));
    if (pending <= 0) {
      mayFD_Write_ = true;
      break;
    }
    int n = LoggedBioRead(nbio_, buf, std::min(pending, kBioPairSize));
    if (n <= 0) {
      mayFD_Write_ = true;
      break;
    }
    int sent = LoggedSend(buf, n);
    if (sent < 0) {
      int err = WSocket_WSAGetLastError();
      if (err > 10000 && err != kWsaEWouldBlock && err != kWsaENotConn) {
        networkError_ = err;
        LastError = err;
        TriggerEvent(sslFdClose, 0);
        Log(TLogOption::loSslErr, Fmt(" Winsock Error %d", err));
        return;
      }
      sent = 0;
    }
    // A send that takes nothing (the throttle's pause) is not the peer's
    // close: the bytes wait in the raw buffer like any short send.
    if (sent < n) {
      Base::PutDataInSendBuffer(buf + sent, n - sent);
      break;
    }
  }
  if (StateOk()) {
    if (!PlainQueueEmpty()) {
      TryToSend();
    } else if (RawQueueEmpty() && BIO_ctrl_pending(nbio_) == 0 && dataSentPending_) {
      dataSentPending_ = false;
      TriggerDataSent(0);
    }
  }
  if (!ssl_) return;
  AfterNetworkStep();
}

// ---------------------------------------------------------------------------
// Plaintext out

void TCustomSslWSocket::PutDataInSendBuffer(const void* data, int len) {
  if (!SslActive()) {
    Base::PutDataInSendBuffer(data, len);
    return;
  }
  if (len <= 0 || !data) return;
  sslAllSent_ = false;
  sslSendBuffer_->EnterLock();
  sslSendBuffer_->Write(data, len);
  sslSendBuffer_->LeaveLock();
  dataSentPending_ = true;
}

void TCustomSslWSocket::TryToSend() {
  if (!SslActive()) {
    Base::TryToSend();
    return;
  }
  sslSendBuffer_->EnterLock();
  struct Unlock {
    TNetBufferHandler* h;
    ~Unlock() { h->LeaveLock(); }
  } unlock{sslSendBuffer_.get()};
  if (hSocket_ == INVALID_SOCKET || sslSendBuffer_->IsDrained()) {
    sslAllSent_ = true;
    return;
  }
  bool wrote = false;
  for (;;) {
    const std::uint8_t* p = nullptr;
    int len = sslSendBuffer_->PeekUnread(p);
    if (len <= 0) break;
    // A write the library asked to retry goes again with exactly its
    // length, though more bytes may have joined its block since.
    if (sslWritePending_ >= 0) len = std::min(len, sslWritePending_);
    if (networkError_) {
      SetWsaError(networkError_);
      TriggerEvent(sslFdClose, 0);
      return;
    }
    if (closeCalled_) {
      TriggerEvent(sslFdClose, 0);
      return;
    }
    if (shutdownStage_ > 0) {
      SetWsaError(kWsaEShutdown);
      if (!bidirectional_) TriggerEvent(sslFdClose, 0);
      return;
    }
    if (!ssl_ || !StateOk() || SSL_renegotiate_pending(ssl_)) {
      maySslTryToSend_ = true;
      SetWsaError(kWsaEWouldBlock);
      return;
    }
    ERR_clear_error();
    int n = LoggedBioWrite(sslbio_, p, len);
    if (n == 0) {
      sslWritePending_ = -1;
      (void)BIO_flush(sslbio_);
      SetWsaError(kWsaEConnAborted);
      maySslTryToSend_ = true;
      TriggerEvents();
      return;
    }
    if (n < 0) {
      if (BIO_should_retry(sslbio_)) {
        sslWritePending_ = len;
        if (State() == wsConnected) {
          maySslTryToSend_ = true;
          TriggerEvents();
          SetWsaError(kWsaEWouldBlock);
        }
        return;
      }
      FetchOpenSslError();
      if (State() == wsConnected) {
        SetWsaError(kWsaEConnAborted);
        TriggerEvent(sslFdClose, 0);
      }
      return;
    }
    (void)BIO_flush(sslbio_);
    sslWritePending_ = -1;
    sslSendBuffer_->Remove(n);
    wrote = true;
    if (n < len) break;
  }
  if (sslSendBuffer_->IsDrained()) sslAllSent_ = true;
  // The encrypted bytes wait in the pair: an FD_WRITE takes them out.
  if (wrote && ssl_ && mayFD_Write_ && BIO_ctrl_pending(nbio_) > 0 && TriggerEvent(sslFdWrite, 0))
    mayFD_Write_ = false;
}

// ---------------------------------------------------------------------------
// Plaintext in

int TCustomSslWSocket::PendingReceiveCount() {
  if (SslActive() && ssl_) return FilterPending();
  return Base::PendingReceiveCount();
}

int TCustomSslWSocket::DoRecv(void* buffer, int len, int flags) {
  if (!SslActive()) return Base::DoRecv(buffer, len, flags);
  if (networkError_) {
    if (FilterPending() == 0 || shutdownStage_ > 0 || !sslbio_) {
      SetWsaError(networkError_);
      return -1;
    }
    return LoggedBioRead(sslbio_, buffer, len);
  }
  if (shutdownStage_ == 1) {
    SetWsaError(kWsaEShutdown);
    return -1;
  }
  if (len == 0) return 0;
  auto wouldBlock = [&]() -> int {
    if (State() == wsClosed) return 0;
    if (closeCalled_) {
      TriggerEvent(sslFdClose, 0);
      return 0;
    }
    if (State() == wsConnected) {
      mayDoRecv_ = true;
      TriggerEvents();
      SetWsaError(kWsaEWouldBlock);
      return -1;
    }
    SetWsaError(networkError_ ? networkError_ : kWsaENotConn);
    return -1;
  };
  if (!ssl_ || !StateOk() || FilterPending() == 0) return wouldBlock();
  ERR_clear_error();
  int n = LoggedBioRead(sslbio_, buffer, len);
  if (n > 0) {
    mayDoRecv_ = true;
    TriggerEvents();
    return n;
  }
  if (n < 0) {
    if (BIO_should_retry(sslbio_)) return wouldBlock();
    FetchOpenSslError();
    networkError_ = kWsaEConnAborted;
    SetWsaError(kWsaEConnAborted);
    TriggerEvent(sslFdClose, 0);
    Log(TLogOption::loSslErr, Fmt(" NetworkError #%d", networkError_));
    return -1;
  }
  // n == 0: the peer's close-notify, or nothing yet.
  if (SSL_version(ssl_) >= 0x0300 && SSL_get_error(ssl_, n) == SSL_ERROR_ZERO_RETURN) {
    if (sslStage_ < StageShutdownReceived) sslStage_ = StageShutdownReceived;
    if (!bidirectional_ && shutdownStage_ == 0) {
      PostDeferredShutdown(1, true);
      SetWsaError(kWsaEWouldBlock);
      return -1;
    }
    if (!bidirectional_ && shutdownStage_ == 2) TriggerEvent(sslFdClose, 0);
  }
  return wouldBlock();
}

// ---------------------------------------------------------------------------
// Closing and shutdown

void TCustomSslWSocket::Do_FD_CLOSE(TMessage& msg) {
  if (!SslActive() || !ssl_) {
    Base::Do_FD_CLOSE(msg);
    return;
  }
  if (State() == wsListening || hSocket_ == INVALID_SOCKET) return;
  Log(TLogOption::loSslInfo, " TCustomSslWSocket.Do_FD_CLOSE ");
  if (msg.Msg != msgSslSelect_) peerEnded_ = true;  // the real one: the peer ended
  bool ok = StateOk();
  closeCalled_ = true;
  WORD err = WORD(msg.LParam >> 16);
  if (networkError_ == 0) {
    if (ok && FilterPending() > 0) {
      // The application reads what is left first.
      TriggerEvents();
      return;
    }
    u_long waiting = 0;
    if (WSocket_ioctlsocket(hSocket_, FIONREAD, &waiting) == 0 && waiting > 0) return;
    if (err > 10000) networkError_ = err;
    if (ok && shutdownStage_ < 2) {
      bidirectional_ = false;
      SslInternalShutdown(1);
      return;
    }
  }
  if (err == 0) err = WORD(networkError_);
  if ((sslStage_ == StageInitialised || sslStage_ == StageStarting) && !destroying_) {
    TriggerSslHandshakeDone(1);
    if (State() == wsConnected && err == 0 && shutdownStage_ < 2) Base::Shutdown(1);
  }
  // An established session that the peer ended without its close-notify
  // may have lost its tail: the caller decides what that means for it.
  if (!localEnd_ && ssl_ && sslStage_ >= StageEstablished &&
      !(SSL_get_shutdown(ssl_) & SSL_RECEIVED_SHUTDOWN))
    closedWithoutNotify_ = true;
  if (!closeInvoked_ && !destroying_) {
    closeInvoked_ = true;
    TriggerSessionClosed(err);
  }
  SslEnable = false;
  ResetSslSession();
  if (State() != wsClosed) Base::CloseAndNotify(false, err);
}

void TCustomSslWSocket::Close() {
  localEnd_ = true;
  if (!closeCalled_) {
    closeCalled_ = true;
    bidirectional_ = false;
  }
  if (SslActive() && ssl_ && StateOk() && FilterPending() > 0) {
    // The close completes once the application has read the rest.
    TriggerEvents();
    return;
  }
  Base::Close();
}

void TCustomSslWSocket::Shutdown(int how) {
  if (hSocket_ != INVALID_SOCKET && SslActive() && ssl_) {
    localEnd_ = true;
    shutdownHow_ = how;
    bidirectional_ = false;
    // As on a plain socket, the end of sending leaves receiving open: the
    // connection closes when the peer ends it (or its close-notify comes).
    // Closing at once would answer whatever the peer still sends (a TLS 1.3
    // session ticket written after the handshake, say) with a reset: the
    // system then drops what it still holds for the peer, and the peer
    // reads a reset instead of the end of the data.
    if (how == 1 && shutdownStage_ == 0) awaitPeerEnd_ = true;
    SslInternalShutdown(how);
    return;
  }
  Base::Shutdown(how);
}

void TCustomSslWSocket::SslInternalShutdown(int how) {
  if (hSocket_ == INVALID_SOCKET || !SslActive() || !ssl_ || sslStage_ == StageShutdownComplete)
    return;
  Log(TLogOption::loSslInfo, Fmt(" SslInternalShutdown %d", how));
  if (shutdownStage_ == 0) {
    shutdownStage_ = 1;
    ERR_clear_error();
    int r;
    if (bidirectional_)
      r = SSL_shutdown(ssl_);
    else
      r = (SSL_get_shutdown(ssl_) & SSL_RECEIVED_SHUTDOWN) ? 1 : SSL_shutdown(ssl_);
    if (r < 0) {
      int e = SSL_get_error(ssl_, r);
      ERR_clear_error();
      if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE || !SslShutdownCompleted(how)) {
        TriggerEvents();
        SetWsaError(kWsaEWouldBlock);
      }
      return;
    }
    if (r == 0) {
      sslStage_ = StageShutdownReceived;
      SSL_shutdown(ssl_);
      ERR_clear_error();
    }
    if (!SslShutdownCompleted(how)) {
      mayFD_Write_ = true;
      TriggerEvents();
      SetWsaError(kWsaEWouldBlock);
    }
    return;
  }
  if (!SslShutdownCompleted(how)) {
    TriggerEvents();
    SetWsaError(kWsaEWouldBlock);
  }
}

bool TCustomSslWSocket::OneWayEndDue() const {
  if (bidirectional_ || shutdownStage_ != 2) return false;
  return !awaitPeerEnd_ || peerEnded_ || networkError_ != 0 ||
         (ssl_ && (SSL_get_shutdown(ssl_) & SSL_RECEIVED_SHUTDOWN));
}

bool TCustomSslWSocket::SslShutdownCompleted(int how) {
  if (SslEnable && ssl_) {
    if (networkError_ == 0 && (shutdownStage_ == 0 || !RawQueueEmpty())) return false;
    if (bidirectional_ && networkError_ == 0 &&
        (SSL_get_shutdown(ssl_) & (SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN)) !=
            (SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN))
      return false;
    char junk[1024];
    ERR_clear_error();
    while (FilterPending() > 0 && LoggedBioRead(sslbio_, junk, sizeof junk) > 0) {
    }
    ERR_clear_error();
    if (BIO_ctrl_pending(nbio_) == 0 || networkError_) {
      if (shutdownStage_ < 2) {
        shutdownStage_ = 2;
        sslStage_ = StageShutdownComplete;
        int ne = networkError_;
        if (bidirectional_) {
          // The connection goes on in plain text.
          SslEnable = false;
          ResetSslSession();
          TriggerSslShutDownComplete(ne);
        } else {
          TriggerSslShutDownComplete(ne);
          Base::Shutdown(how);
          if (OneWayEndDue()) TriggerEvent(sslFdClose, 0);
        }
      }
      Log(TLogOption::loSslInfo, " SslShutdownCompleted *");
      return true;
    }
    return false;
  }
  if (shutdownStage_ < 2) {
    bidirectional_ = false;
    shutdownStage_ = 2;
    int ne = networkError_;
    if (ssl_) ResetSslSession();
    TriggerSslShutDownComplete(ne);
    if (State() != wsClosed) {
      Base::Shutdown(how);
      Base::CloseAndNotify(false, 0);
    }
  }
  return true;
}

void TCustomSslWSocket::CloseAndNotify(bool doShutdown, int error) {
  Log(TLogOption::loSslInfo, " SslInternalClose ");
  if (!(SslEnable && ssl_)) {
    Base::CloseAndNotify(doShutdown, error);
    return;
  }
  if (hSocket_ == INVALID_SOCKET) {
    if (State() != wsClosed) {
      SetState(wsClosed);
      ResetToDefaults();
    }
    return;
  }
  if (State() == wsClosed) return;
  if (!doShutdown) {
    Base::CloseAndNotify(false, error);
    return;
  }
  if (destroying_ || shutdownStage_ > 0) {
    if (shutdownStage_ == 0) Base::Shutdown(1);
    Base::CloseAndNotify(false, error);
    return;
  }
  // The TLS shutdown runs first; the close follows from it.
  Shutdown(1);
}

void TCustomSslWSocket::AbortWithError(int error) {
  SslEnable = false;
  ResetSslSession();
  Base::AbortWithError(error);
}

void TCustomSslWSocket::ResetToDefaults() {
  ResetSslSession();
  Base::ResetToDefaults();
}

void TCustomSslWSocket::Do_FD_CONNECT(TMessage& msg) {
  closeCalled_ = false;
  closedWithoutNotify_ = false;
  awaitPeerEnd_ = false;
  peerEnded_ = false;
  shutdownStage_ = 0;
  Base::Do_FD_CONNECT(msg);
}

void TCustomSslWSocket::Do_FD_ACCEPT(TMessage& msg) {
  Log(TLogOption::loSslInfo, " TCustomSslWSocket.Do_FD_ACCEPT");
  Base::Do_FD_ACCEPT(msg);
}

void TCustomSslWSocket::Listen() {
  Log(TLogOption::loSslInfo, " TCustomSslWSocket.Listen");
  Base::Listen();
}

void TCustomSslWSocket::Resume() {
  Base::Resume();
  TriggerEvents();
}

}  // namespace yux::net
