// The blocking way of running an FTP request, and the TLS client.
#include <QEventLoop>

#include <openssl/ssl.h>

#include <algorithm>

#include "net/protocols/ftpcli.h"
#include "net/socket/netutils.h"
#include "net/socket/wsocketlayers.h"

namespace yux::net {

// ---------------------------------------------------------------------------
// Blocking

bool TFtpClient::RunBlocking(void (TCustomFtpCli::*op)()) {
  try {
    (this->*op)();
    return WaitForRequestEnd();
  } catch (const std::exception&) {
    return false;
  }
}

bool TFtpClient::WaitForRequestEnd() {
  Deadline = platform::GetTickCount();
  const DWORD limit = Timeout > 0 ? DWORD(Timeout) * 1000 : 0;
  for (;;) {
    platform::ProcessMessages();
    // The request ends when its OnRequestDone is posted.
    if (donePosted_) return RequestResult == 0;
    if (IsTerminated()) break;
    DWORD left = 1000;
    if (limit != 0) {
      DWORD waited = NetTickDiff(Deadline, platform::GetTickCount());
      if (waited >= limit) break;
      left = std::min<DWORD>(left, limit - waited);
    }
    WaitForNextEvent(std::max<DWORD>(left, 1));
  }
  Abort();
  ErrorMessage = "426 Timeout";
  StatusCode = 426;
  return false;
}

bool TFtpClient::TriggerProgress64(std::int64_t count) {
  // Progress pushes the deadline back: a transfer that moves never times out.
  Deadline = platform::GetTickCount();
  return TCustomFtpCli::TriggerProgress64(count);
}

// ---------------------------------------------------------------------------
// TLS

TSslFtpClient::TSslFtpClient() = default;
TSslFtpClient::~TSslFtpClient() = default;

TSslContext* TSslFtpClient::SslContext() const { return control_->SslContext(); }
void TSslFtpClient::SetSslContext(TSslContext* v) { control_->SetSslContext(v); }
std::vector<std::string>& TSslFtpClient::SslAcceptableHosts() {
  return control_->SslAcceptableHosts;
}

void TSslFtpClient::SetProtLevel(const std::string& v) {
  if (v != "P" && v != "C") throw std::runtime_error("Protection level must be 'P' or 'C'.");
  protLevel_ = v;
}

void TSslFtpClient::OpenAsync() {
  lastProtSent_.clear();
  dataProtected_ = false;
  TCustomFtpCli::OpenAsync();
}

void TSslFtpClient::AuthAsync() {
  static constexpr TFtpCommandDef kAuth{ftpAuthAsync, ftpStepAuth, "AUTH", {234, 334}};
  if (connected_ && control_->SslEnable && control_->SslStage() == StageEstablished) {
    if (control_->SslVersionNumber < SSL3_VERSION || control_->SslSecureRenegotiationOnly()) {
      if (!CheckReady()) return;
      if (!highLevelFlag_) RequestType = ftpAuthAsync;
      currentStep_ = ftpStepAuth;
      donePosted_ = false;
      StatusCode = 234;
      LastResponse = "234 OK Secure connection already established";
      ErrorMessage.clear();
      RequestResult = 0;
      TriggerRequestDone(0);
      return;
    }
  }
  ExecAsync(kAuth, sslType_ == sslTypeAuthSsl ? "AUTH SSL" : "AUTH TLS");
}

void TSslFtpClient::PbszAsync() {
  static constexpr TFtpCommandDef kPbsz{ftpPbszAsync, ftpStepPbsz, "PBSZ", {200}};
  ExecAsync(kPbsz, "PBSZ " + std::to_string(PBSZSize));
}

void TSslFtpClient::ProtAsync() {
  static constexpr TFtpCommandDef kProt{ftpProtAsync, ftpStepProt, "PROT", {200}};
  lastProtSent_ = protLevel_;
  ExecAsync(kProt, "PROT " + protLevel_);
}

void TSslFtpClient::CccAsync() {
  static constexpr TFtpCommandDef kCcc{ftpCccAsync, ftpStepCcc, "CCC", {200}};
  ExecAsync(kCcc, "CCC");
}

// Called by the reply handler before the request completes: the TLS
// commands take over the completion where the connection changes.
void TSslFtpClient::HandleReplyTls() {
  if (pendingCommand_ == "AUTH" && (StatusCode == 234 || StatusCode == 334)) {
    AuthReply();
    return;
  }
  if (pendingCommand_ == "PROT" && StatusCode == 200) {
    dataProtected_ = lastProtSent_ == "P";
    return;
  }
  if (pendingCommand_ == "CCC" && StatusCode == 200) {
    Display("! SSL shutdown control channel started");
    shutdownPending_ = true;
    control_->OnSslShutDownComplete = [this](TCustomWSocket* s, bool b, int e) {
      SslShutDownComplete(s, b, e);
    };
    doneAction_ = &TCustomFtpCli::AwaitTls;  // the shutdown completes the request
    control_->PostSslMessage();
  }
}

void TSslFtpClient::AuthReply() {
  TWSocket& c = *control_;
  if (!(c.SslEnable && c.Ssl())) {
    if (!replyBuf_.empty()) {
      // Whatever came behind the go-ahead was not written by the TLS peer:
      // reading it after the handshake would take it as the server's word.
      FailAndDropControl(500, "500 Unexpected data after the reply to AUTH");
      return;
    }
    // The handshake completes the request.
    doneAction_ = &TCustomFtpCli::AwaitTls;
    StartControlTls();
    return;
  }
  if (c.SslVersionNumber < SSL3_VERSION) return;
  if (!c.StartSslRenegotiation()) {
    doneAction_ = &TCustomFtpCli::AwaitTls;
    UsageError("! SslStartRenegotiation failed");
    return;
  }
  renegotiating_ = true;
  doneAction_ = &TCustomFtpCli::AwaitTls;
  Display("! Re-negotiate SSL");
}

void TSslFtpClient::BindTlsEvents(TWSocket& s, bool dataSocket) {
  s.OnSslHandshakeDone = [this](TCustomWSocket* w, WORD e, TX509Base* c, bool& d) {
    SslHandshakeDone(w, e, c, d);
  };
  s.OnSslVerifyPeer = [this](TCustomWSocket* w, int& ok, TX509Base* c) {
    if (OnSslVerifyPeer) OnSslVerifyPeer(w, ok, c);
  };
  s.OnSslCliCertRequest = [this](TCustomWSocket* w, TX509Base*& c) {
    if (OnSslCliCertRequest) OnSslCliCertRequest(w, c);
  };
  s.OnSslCliNewSession = [this](TCustomWSocket* w, SSL_SESSION* sess, bool reused, bool& inc) {
    if (OnSslCliNewSession) OnSslCliNewSession(w, sess, reused, inc);
  };
  if (dataSocket) {
    // A protected data connection resumes the control connection's session:
    // servers refuse data connections that do not (they cannot otherwise
    // tell that the data comes from the same client).
    s.OnSslCliGetSession = [this](TCustomWSocket* w, SSL_SESSION*& sess, bool& freeSession) {
      if (OnSslCliGetSession) OnSslCliGetSession(w, sess, freeSession);
      if (sess) return;
      if (SSL* ctl = control_->Ssl()) {
        sess = SSL_get1_session(ctl);
        freeSession = true;
      }
    };
  } else {
    s.OnSslCliGetSession = [this](TCustomWSocket* w, SSL_SESSION*& sess, bool& freeSession) {
      if (OnSslCliGetSession) OnSslCliGetSession(w, sess, freeSession);
    };
  }
}

void TSslFtpClient::StartControlTls() {
  TWSocket& c = *control_;
  try {
    c.SslServerName = HostName;
    c.SslEnable = true;
    c.SslMode = sslModeClient;
    BindTlsEvents(c, false);
    c.StartSslHandshake();
  } catch (const std::exception& e) {
    c.SslEnable = false;
    InitTlsFailed(e.what());
  }
}

void TSslFtpClient::InitTlsFailed(const std::string& message) {
  Display("! Init SSL failed " + message);
  StatusCode = 550;
  RequestResult = 550;
  highLevelContinuation_ = false;
  LastResponse = "550 " + message;
  SetErrorMessage();
  doneAction_ = nullptr;
  TriggerRequestDone(550);
}

void TSslFtpClient::SslHandshakeDone(TCustomWSocket* sender, WORD errCode, TX509Base* peerCert,
                                     bool& disconnect) {
  if (errCode != 0) {
    LastResponse = "535 SSL handshake failed. Error #" + std::to_string(errCode);
    Display(LastResponse);
    StatusCode = 535;
    RequestResult = 535;
    SetErrorMessage();
  } else {
    Display("! SSL handshake OK");
  }
  if (OnSslHandshakeDone) OnSslHandshakeDone(this, errCode, peerCert, disconnect);
  const bool onControlSocket = sender == control_.get();
  if (errCode == 0 && !disconnect && OnSslPeerCheck &&
      !OnSslPeerCheck(this, onControlSocket ? *control_ : *data_, onControlSocket))
    disconnect = true;
  if (errCode == 0 && disconnect) {
    // Refused: not one byte more goes to this peer, the login least of all.
    renegotiating_ = false;
    if (onControlSocket) {
      Display("! TLS server refused");
      FailAndDropControl(535, "535 TLS server refused: its certificate is not the one expected");
    } else {
      LocalDataFailed(426, "TLS server of the data connection refused");
    }
    return;
  }
  if (renegotiating_) {
    renegotiating_ = false;
    TriggerRequestDone(WORD(RequestResult));
    return;
  }
  const bool onControl = sender == control_.get();
  if (onControl && sslType_ == sslTypeImplicit && errCode == 0) return;  // the banner follows
  if ((onControl && sslType_ != sslTypeImplicit) || state_ == fcsAborting || !connected_ ||
      (onControl && errCode != 0)) {
    if (errCode != 0) highLevelContinuation_ = false;
    TriggerRequestDone(WORD(RequestResult));
    return;
  }
  if (!onControl && errCode != 0) {
    // A data connection that cannot be protected ends the transfer.
    data_->Abort();
    return;
  }
  if (!onControl && closeDownPending_) {
    closeDownPending_ = false;
    platform::PostMessage(GetWindowHandle(), msgCloseDown_, 0, 0);
  }
}

bool TSslFtpClient::DataReadyForShutdown() {
  return !data_->SslEnable || data_->SslStage() == StageEstablished;
}

void TSslFtpClient::SslShutDownComplete(TCustomWSocket*, bool, int errCode) {
  Display("! Control channel SSL shutdown complete");
  control_->OnSslShutDownComplete = nullptr;
  shutdownPending_ = false;
  if (errCode > 0) {
    StatusCode = errCode;
    RequestResult = errCode;
    LastResponse = std::to_string(errCode) + " Bidirectional SSL shutdown failed";
    highLevelContinuation_ = false;
    SetErrorMessage();
  } else {
    // The connection goes on in plain text.
    control_->SslEnable = false;
  }
  TriggerRequestDone(WORD(RequestResult));
}

void TSslFtpClient::AbortPendingTlsShutdown() {
  if (shutdownPending_) SslShutDownComplete(control_.get(), true, 426);
}

void TSslFtpClient::HandleControlConnected(TCustomWSocket* sender, WORD error) {
  TCustomFtpCli::HandleControlConnected(sender, error);
  if (!connected_ || sslType_ != sslTypeImplicit) return;
  TWSocket& c = *control_;
  try {
    c.SslServerName = HostName;
    c.SslEnable = true;
    c.SslMode = sslModeClient;
    BindTlsEvents(c, false);
    c.StartSslHandshake();
  } catch (const std::exception& e) {
    c.SslEnable = false;
    Display("! Init SSL failed " + std::string(e.what()));
    StatusCode = 550;
    RequestResult = 550;
    LastResponse = "550 " + std::string(e.what());
    SetErrorMessage();
    highLevelContinuation_ = false;
    TriggerRequestDone(550);
    control_->Close();
    StateChange(fcsReady);
  }
}

void TSslFtpClient::DataTls(TWSocket& s) {
  s.SslAcceptableHosts = control_->SslAcceptableHosts;
  s.SslEnable = dataProtected_;
  if (!dataProtected_) return;
  s.SslServerName = HostName;
  s.SetSslContext(control_->SslContext());
  s.SslMode = sslModeClient;
  BindTlsEvents(s, true);
}

void TSslFtpClient::PrepareDataSocketGet() {
  TCustomFtpCli::PrepareDataSocketGet();
  DataTls(*data_);
}

void TSslFtpClient::PrepareDataSocketPut() {
  TCustomFtpCli::PrepareDataSocketPut();
  data_->OnSessionClosed = [this](TCustomWSocket* s, WORD e) { PutDataClosed(s, e); };
  if (sslType_ == sslTypeNone) {
    data_->SslEnable = false;
    return;
  }
  DataTls(*data_);
}

void TSslFtpClient::PrepareAcceptedDataSocket() { DataTls(*data_); }

}  // namespace yux::net
