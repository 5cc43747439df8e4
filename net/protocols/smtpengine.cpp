#include "net/protocols/smtpengine.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <typeinfo>

#include "net/hashes/md5.h"
#include "net/hashes/sha1.h"
#include "net/protocols/charsets.h"
#include "net/protocols/mimeutils.h"
#include "net/protocols/tunnelauth.h"
#include "net/socket/bufferedfilestream.h"
#include "net/socket/codepage.h"
#include "net/socket/neterrors.h"
#include "net/socket/netresolve.h"

namespace yux::net {

namespace {

constexpr int kConnectionLost = 10004;

std::string LowerHex(std::string_view bytes) {
  static const char* const kHex = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

std::string ReplaceVersion(std::string text) {
  std::string lower = text;
  for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
  for (std::size_t p = lower.find("%ver%"); p != std::string::npos; p = lower.find("%ver%", p)) {
    text.replace(p, 5, "1.00");
    lower.replace(p, 5, "1.00");
  }
  return text;
}

std::string Trimmed(const std::string& s) {
  std::size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return {};
  std::size_t b = s.find_last_not_of(" \t");
  return s.substr(a, b - a + 1);
}

}  // namespace

std::string TCustomSmtpClient::ExceptionClassName(const std::exception& e) {
  const char* mangled = typeid(e).name();
  int status = 0;
  char* d = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string name = status == 0 && d ? d : mangled;
  std::free(d);
  std::size_t colon = name.rfind("::");
  return colon == std::string::npos ? name : name.substr(colon + 2);
}

// ---------------------------------------------------------------------------
// Construction

TCustomSmtpClient::TCustomSmtpClient() {
  RegisterHttpTunnelAuthenticators();
  SetCharSet("");
  AttachHiddenWindow();
  InstallControlSocket();
}

TCustomSmtpClient::~TCustomSmtpClient() {
  if (ctrlSocket_) {
    ctrlSocket_->OnSessionClosed = nullptr;
    ctrlSocket_->OnDataAvailable = nullptr;
    ctrlSocket_->OnDataSent = nullptr;
    ctrlSocket_->OnSessionConnected = nullptr;
    ctrlSocket_->OnDnsLookupDone = nullptr;
  }
  ctrlSocket_.reset();
  outStream_.reset();
  ReleaseWindowOnce();
}

std::unique_ptr<TWSocket> TCustomSmtpClient::BuildControlSocket() {
  return std::make_unique<TWSocket>();
}

void TCustomSmtpClient::InstallControlSocket() {
  ctrlSocket_ = BuildControlSocket();
  TWSocket* s = ctrlSocket_.get();
  s->OnSessionClosed = [this](TCustomWSocket*, WORD e) { SocketSessionClosed(e); };
  s->OnDnsLookupDone = [this](TCustomWSocket*, WORD e) { SocketDnsLookupDone(e); };
  s->OnSessionConnected = [this](TCustomWSocket*, WORD e) { HandleSocketConnected(e); };
  s->OnDataAvailable = [this](TCustomWSocket*, WORD) { SocketDataAvailable(); };
  s->OnDataSent = [this](TCustomWSocket*, WORD) { SocketDataSent(); };
  s->ExceptionAbortHook = [this] {
    try {
      Abort();
    } catch (...) {
    }
  };
}

void TCustomSmtpClient::AllocateMessageNumbers() {
  TNetWndControl::AllocateMessageNumbers();
  msgRequestDone_ = AllocateMessage();
  msgNextLine_ = AllocateMessage();
  msgSpare_ = AllocateMessage();
}

void TCustomSmtpClient::FreeMessageNumbers() {
  TNetWndControl::FreeMessageNumbers();
  ReleaseMessage(msgRequestDone_);
  ReleaseMessage(msgNextLine_);
  ReleaseMessage(msgSpare_);
}

void TCustomSmtpClient::HandleWindowMessage(TMessage& msg) {
  try {
    if (msgRequestDone_ && msg.Msg == msgRequestDone_) {
      HandleSmtpRequestDoneMessage(msg);
      return;
    }
    if (msgNextLine_ && msg.Msg == msgNextLine_) {
      if (transferActive_) DataNextLine();
      return;
    }
  } catch (const std::exception& e) {
    ProcessBgException(e);
    return;
  }
  TNetWndControl::HandleWindowMessage(msg);
}

void TCustomSmtpClient::AbortAfterError() {
  try {
    Abort();
  } catch (...) {
  }
}

// ---------------------------------------------------------------------------
// Settings

void TCustomSmtpClient::SetCharSet(const std::string& v) {
  std::string name = Trimmed(v);
  const std::uint32_t sys = NetSystemCodePage();
  std::uint32_t cp = sys;
  bool unknown = false;
  if (name.empty()) {
    name = CodePageToCharsetName(sys);
  } else if (!CharsetNameToCodePage(name, cp)) {
    unknown = true;
    cp = sys;
  }
  if (unknown) {
    charSet_ = CodePageToCharsetName(sys);
    codePage_ = sys;
    multiByte_ = !NetIsSingleByteCodePage(sys);
    throw SmtpException("Charset \"" + name + "\" is not supported");
  }
  charSet_ = name;
  codePage_ = cp;
  multiByte_ = !NetIsSingleByteCodePage(cp);
}

void TCustomSmtpClient::SetWrapMsgMaxLineLen(int v) {
  wrapMsgMaxLineLen_ = std::clamp(v, 16, 1022);
}

void TCustomSmtpClient::SetEmailFiles(const std::vector<std::string>& files) {
  std::vector<std::string> out;
  for (const std::string& f : files) {
    std::string name = Trimmed(f);
    if (name.empty()) continue;
    std::error_code ec;
    if (!std::filesystem::is_regular_file(name, ec))
      throw SmtpException("File not found '" + name + "'");
    out.push_back(name);
  }
  emailFiles_ = std::move(out);
}

// ---------------------------------------------------------------------------
// Triggers

void TCustomSmtpClient::TriggerDisplay(const std::string& msg) {
  if (OnDisplay) OnDisplay(this, msg);
}
void TCustomSmtpClient::TriggerCommand(const std::string& msg) {
  if (OnCommand) OnCommand(this, msg);
}
void TCustomSmtpClient::TriggerResponse(const std::string& msg) {
  if (CurrentStep == smtpStepEhlo) {
    // Only the names this line added are new: the list is never searched
    // or copied again line after line.
    const std::size_t known = ehlo_.AuthTypes.size();
    SmtpParseEhloLine(msg, ehlo_);
    for (std::size_t i = known; i < ehlo_.AuthTypes.size(); ++i)
      if (std::find(AuthTypesOffered.begin(), AuthTypesOffered.end(), ehlo_.AuthTypes[i]) ==
          AuthTypesOffered.end())
        AuthTypesOffered.push_back(ehlo_.AuthTypes[i]);
    SizeSupported = ehlo_.SizeSupported;
    MaxMessageSize = ehlo_.MaxMessageSize;
  }
  if (OnResponse) OnResponse(this, msg);
}
void TCustomSmtpClient::TriggerStateChange() {
  if (OnStateChange) OnStateChange(this);
}
void TCustomSmtpClient::TriggerGetData(int lineNum, std::string& msgLine, int maxLen, bool& more) {
  if (OnGetData)
    OnGetData(this, lineNum, msgLine, maxLen, more);
  else
    more = false;
}
void TCustomSmtpClient::TriggerHeaderLine(std::string& line) {
  if (OnHeaderLine) OnHeaderLine(this, line, int(line.size()));
}
void TCustomSmtpClient::TriggerMessageDataSent(int size) {
  if (OnMessageDataSent) OnMessageDataSent(this, size);
}
void TCustomSmtpClient::TriggerProcessHeader(std::vector<std::string>& hdrLines) {
  if (OnProcessHeader) OnProcessHeader(this, hdrLines);
}
void TCustomSmtpClient::TriggerSessionConnected(WORD errCode) {
  if (OnSessionConnected) OnSessionConnected(this, errCode);
}
void TCustomSmtpClient::TriggerSessionClosed(WORD errCode) {
  if (OnSessionClosed) OnSessionClosed(this, errCode);
}

void TCustomSmtpClient::SetState(TSmtpState s) {
  if (state_ == s) return;
  state_ = s;
  TriggerStateChange();
}

void TCustomSmtpClient::CheckReady() const {
  if (state_ != smtpReady && state_ != smtpInternalReady)
    throw SmtpException("SMTP component not ready");
}

// ---------------------------------------------------------------------------
// Completion

void TCustomSmtpClient::TriggerRequestDone(WORD errorCode) {
  if (donePosted_) return;
  donePosted_ = true;
  if (highLevelNext_) {
    if (state_ != smtpAbort) SetState(smtpInternalReady);
    TDoneAction next = highLevelNext_;
    next();
    return;
  }
  SetState(smtpReady);
  HighLevelFlag = false;
  PostRequestDone(errorCode);
}

void TCustomSmtpClient::PostRequestDone(WORD errorCode) {
  platform::PostMessage(GetWindowHandle(), msgRequestDone_, WPARAM(errorCode),
                        LPARAM(RequestType));
}

void TCustomSmtpClient::HandleSmtpRequestDoneMessage(TMessage& msg) {
  // A copy: the handler may free the client, and with it OnRequestDone.
  const TSmtpRequestDone handler = OnRequestDone;
  if (handler) handler(this, TSmtpRequest(msg.LParam), WORD(msg.WParam));
}

void TCustomSmtpClient::SetFailure(int code, const std::string& text) {
  if (!text.empty()) LastResponse = text;
  StatusCode = code == 0 ? 500 : (code >= 1000 ? 500 : code);
  RequestResult = code;
  if (ErrorMessage.empty()) ErrorMessage = LastResponse;
}

void TCustomSmtpClient::FailAndAbort(int code, const std::string& text) {
  const bool pending = !donePosted_;
  SetFailure(code, text);
  transferActive_ = false;
  donePosted_ = true;
  if (ctrlSocket_) ctrlSocket_->Abort();
  if (!pending) return;  // no request to end
  donePosted_ = false;
  highLevelNext_ = nullptr;
  TriggerRequestDone(WORD(code));
}

// ---------------------------------------------------------------------------
// Commands

void TCustomSmtpClient::ExecAsync(TSmtpRequest rq, const std::string& cmd,
                                  std::initializer_list<int> ok, TDoneAction done, bool internal) {
  if (!internal) CheckReady();
  if (!Connected) throw SmtpException("SMTP component not connected");
  SmtpCheckNoLineBreak("A command", cmd);
  if (!HighLevelFlag) RequestType = rq;
  okReplies_.assign(ok.begin(), ok.end());
  donePosted_ = false;
  doneAction_ = std::move(done);
  SetState(smtpWaitingResponse);
  SendCommand(cmd);
}

void TCustomSmtpClient::SendCommand(const std::string& cmd) {
  TriggerCommand(cmd);
  TriggerDisplay("> " + cmd);
  if (ctrlSocket_ && ctrlSocket_->State() == wsConnected) ctrlSocket_->SendString(cmd + "\r\n");
}

std::string TCustomSmtpClient::SignOnText() const {
  std::string s = SignOn;
  if (s.empty()) {
    try {
      s = LocalComputerName();
    } catch (const std::exception&) {
      s = "localhost";
    }
  }
  std::replace(s.begin(), s.end(), ' ', '_');
  return s;
}

void TCustomSmtpClient::Helo() {
  CurrentStep = smtpStepHelo;
  SizeSupported = false;
  MaxMessageSize = 0;
  ExecAsync(smtpHelo, "HELO " + SignOnText(), {250});
}

void TCustomSmtpClient::Ehlo() {
  CurrentStep = smtpStepEhlo;
  SizeSupported = false;
  MaxMessageSize = 0;
  AuthTypesOffered.clear();
  ehlo_ = TSmtpEhloInfo{};
  ExecAsync(smtpEhlo, "EHLO " + SignOnText(), {250}, [this] {
    EsmtpSupported = RequestResult == 0;
    TriggerRequestDone(WORD(RequestResult));
  });
}

void TCustomSmtpClient::Vrfy() {
  CurrentStep = smtpStepVrfy;
  ExecAsync(smtpVrfy, "VRFY " + HdrTo, {250});
}

void TCustomSmtpClient::MailFrom() {
  CurrentStep = smtpStepMailFrom;
  ExecAsync(smtpMailFrom, "MAIL FROM:<" + SmtpAddressOf(FromName) + ">", {250});
}

void TCustomSmtpClient::MailFromSIZE() {
  CurrentStep = smtpStepMailFromSIZE;
  ExecAsync(smtpMailFromSIZE,
            "MAIL FROM:<" + SmtpAddressOf(FromName) + "> SIZE=" + std::to_string(MessageSize),
            {250});
}

void TCustomSmtpClient::Rset() {
  CurrentStep = smtpStepRset;
  ExecAsync(smtpRset, "RSET", {250});
}

void TCustomSmtpClient::Quit() {
  CheckReady();
  CurrentStep = smtpStepQuit;
  if (!Connected) {
    if (!HighLevelFlag) RequestType = smtpQuit;
    RequestResult = 0;
    donePosted_ = false;
    TriggerRequestDone(0);
    return;
  }
  ExecAsync(smtpQuit, "QUIT", {221});
}

void TCustomSmtpClient::RcptTo() {
  CheckReady();
  if (RcptName.empty()) throw SmtpException("RcptName list is empty");
  for (const std::string& r : RcptName) SmtpCheckNoLineBreak("A recipient", r);
  CurrentStep = smtpStepRcptTo;
  rcptIdx_ = 0;
  RcptToStep(false);
}

void TCustomSmtpClient::RcptToStep(bool internal) {
  const bool last = std::size_t(rcptIdx_) + 1 >= RcptName.size();
  ExecAsync(smtpRcptTo, "RCPT TO:<" + SmtpAddressOf(RcptName[std::size_t(rcptIdx_)]) + ">",
            {250, 251}, last ? TDoneAction() : TDoneAction([this] { RcptToDone(); }), internal);
}

void TCustomSmtpClient::RcptToDone() {
  if (RequestResult != 0 && OnRcptToError) {
    TSmtpRcptToErrorAction action = srteAbort;
    OnRcptToError(this, RequestResult, rcptIdx_, action);
    if (action == srteAbort) {
      TriggerRequestDone(WORD(RequestResult));
      return;
    }
    if (action == srteRetry) {
      RcptToStep(true);
      return;
    }
  }
  ++rcptIdx_;
  RcptToStep(true);
}

// ---------------------------------------------------------------------------
// Connection

void TCustomSmtpClient::ConfigureProxy() {
  TWSocket* s = ctrlSocket_.get();
  if (ProxyType != smtpHttpProxy) s->SetHttpTunnelServer("");
  s->SetSocksServer("");
  s->OnSocksError = nullptr;
  s->OnHttpTunnelError = nullptr;
  switch (ProxyType) {
    case smtpSocks4:
    case smtpSocks4A:
    case smtpSocks5:
      s->SetSocksLevel(ProxyType == smtpSocks4 ? "4" : ProxyType == smtpSocks4A ? "4A" : "5");
      s->SocksAuthentication = socksAuthenticateUsercode;
      s->SetSocksServer(ProxyServer);
      s->SetSocksPort(ProxyPort);
      s->SocksUsercode = ProxyUserCode;
      s->SocksPassword = ProxyPassword;
      s->OnSocksError = [this](TCustomWSocket*, int, const std::string& msg) {
        LastResponse = msg;
      };
      break;
    case smtpHttpProxy:
      s->SetHttpTunnelAuthType(ProxyHttpAuthType);
      s->SetHttpTunnelServer(ProxyServer);
      s->SetHttpTunnelPort(ProxyPort);
      s->SetHttpTunnelUsercode(ProxyUserCode);
      s->SetHttpTunnelPassword(ProxyPassword);
      s->OnHttpTunnelError = [this](TCustomWSocket*, WORD code, THttpTunnelServerAuthTypes,
                                    const std::string& reply) {
        LastResponse = reply.empty() ? HttpTunnelErrorText(code) : reply;
      };
      break;
    default:
      break;
  }
}

void TCustomSmtpClient::Connect() {
  CheckReady();
  if (Connected) throw SmtpException("SMTP component already connected");
  if (!HighLevelFlag) RequestType = smtpConnect;
  CurrentStep = smtpStepConnect;
  donePosted_ = false;
  replyBuf_.Clear();
  replyLines_ = replyBytes_ = 0;
  RequestResult = 0;
  EsmtpSupported = false;
  ErrorMessage.clear();
  LastResponse.clear();
  quitClosing_ = false;
  transferActive_ = false;
  ConfigureProxy();
  SetState(smtpDnsLookup);
  ctrlSocket_->DnsLookup(Host);
}

void TCustomSmtpClient::SocketDnsLookupDone(WORD error) {
  TWSocket* s = ctrlSocket_.get();
  if (error != 0) {
    SetFailure(error, "500 " + WinsockErrorText(error) + " (Winsock error #" +
                          std::to_string(error) + ")");
    StatusCode = 500;
    TriggerSessionConnected(error);
    TriggerSessionClosed(error);
    TriggerRequestDone(error);
    return;
  }
  try {
    s->SetAddr(s->LookupResult);
    s->SetLocalAddr(LocalAddr);
    s->SetProto("tcp");
    s->SetPort(Port);
    SetState(smtpConnecting);
    s->Connect();
  } catch (const std::exception& e) {
    SetFailure(500, "500 " + ExceptionClassName(e) + ": " + e.what());
    TriggerRequestDone(WORD(s->LastError != 0 ? s->LastError : 500));
  }
}

void TCustomSmtpClient::HandleSocketConnected(WORD error) {
  if (error == 0) {
    Connected = true;
    SetState(smtpWaitingBanner);
    return;
  }
  std::string why;
  if ((error >= 20000 && error <= 20017) || (error >= 21000 && error <= 21599))
    why = LastResponse;
  else if (error == kSmtpNoReplyCode)
    why = "SMTP Protocol Error";
  else
    why = WinsockErrorText(error);
  Connected = false;
  LastResponse = "500 Connect error - " + why + " (#" + std::to_string(error) + ")";
  SetFailure(500, "");
  TriggerRequestDone(error);
  donePosted_ = true;
  ctrlSocket_->Close();
  SetState(smtpReady);
}

void TCustomSmtpClient::SocketSessionClosed(WORD error) {
  Connected = false;
  transferActive_ = false;
  TriggerSessionClosed(error);
  if (quitClosing_ || RequestType == smtpQuit) {
    quitClosing_ = false;
    TriggerRequestDone(WORD(RequestResult));
    return;
  }
  if (!donePosted_ && RequestResult == 0) {
    // The server went away in the middle of a request.
    SetFailure(kConnectionLost, "");
    if (ErrorMessage.empty()) ErrorMessage = "Connection closed by the server";
  }
  TriggerRequestDone(kConnectionLost);
}

// ---------------------------------------------------------------------------
// Replies

void TCustomSmtpClient::SocketDataAvailable() {
  char buf[4096];
  const std::size_t room = replyBuf_.Room();
  if (room > 0) {
    int n = ctrlSocket_->Receive(buf, int(std::min(room, sizeof buf)));
    if (n > 0) replyBuf_.Append(std::string_view(buf, std::size_t(n)));
  }
  std::string line;
  while (ctrlSocket_->State() == wsConnected && replyBuf_.NextLine(line)) HandleReplyLine(line);
  if (replyBuf_.Overflow())
    FailAndAbort(kSmtpNoReplyCode, "500 SMTP Protocol Error - reply line longer than " +
                                       std::to_string(kSmtpReplyBufferSize) + " bytes");
}

void TCustomSmtpClient::HandleReplyLine(const std::string& line) {
  // Every line counts towards the reply it belongs to; a reply beyond its
  // bounds ends the request before the lines pile up.
  replyBytes_ += line.size() + 2;
  if (++replyLines_ > kSmtpMaxReplyLines || replyBytes_ > kSmtpMaxReplyBytes) {
    FailAndAbort(kSmtpNoReplyCode, "500 SMTP Protocol Error - reply longer than " +
                                       std::to_string(kSmtpMaxReplyBytes) + " bytes or " +
                                       std::to_string(kSmtpMaxReplyLines) + " lines");
    return;
  }
  bool more = false;
  SmtpReplyCode(line, more);
  if (!more) replyLines_ = replyBytes_ = 0;
  LastResponse = line;
  TriggerResponse(line);
  if (state_ == smtpWaitingBanner) {
    TriggerDisplay("< " + line);
    if (state_ != smtpWaitingBanner) return;  // aborted by the display handler
    bool cont = false;
    int code = SmtpReplyCode(line, cont);
    if (cont) return;
    StatusCode = code == 0 ? kSmtpNoReplyCode : code;
    if (code != 220) {
      RequestResult = StatusCode;
      if (ErrorMessage.empty()) ErrorMessage = line;
      ctrlSocket_->Close();
      return;
    }
    RequestResult = 0;
    SetState(smtpConnected);
    TriggerSessionConnected(0);
    TriggerRequestDone(0);
    return;
  }
  if (state_ == smtpWaitingResponse) {
    ReplyHandler();
    return;
  }
  TriggerDisplay("< " + line);
}

void TCustomSmtpClient::ReplyHandler() {
  TriggerDisplay("< " + LastResponse);
  if (state_ != smtpWaitingResponse) return;  // aborted by the display handler
  bool cont = false;
  int code = SmtpReplyCode(LastResponse, cont);
  if (cont) return;
  StatusCode = code == 0 ? kSmtpNoReplyCode : code;
  bool ok;
  if (okReplies_.empty())
    ok = StatusCode < 500;
  else
    ok = std::find(okReplies_.begin(), okReplies_.end(), StatusCode) != okReplies_.end();
  if (ok) {
    RequestResult = 0;
  } else {
    RequestResult = StatusCode;
    if (ErrorMessage.empty()) ErrorMessage = LastResponse;
  }
  if (doneAction_) {
    TDoneAction done = std::move(doneAction_);
    doneAction_ = nullptr;
    done();
    return;
  }
  if (CurrentStep == smtpStepQuit && Connected) {
    // The session is over once QUIT is answered, whether or not the server
    // closes: the client closes, and for a QUIT of its own that ends it.
    if (RequestType == smtpQuit) {
      quitClosing_ = true;
      ctrlSocket_->Close();
      return;
    }
    TriggerRequestDone(WORD(RequestResult));
    if (Connected && ctrlSocket_) ctrlSocket_->Close();
    return;
  }
  TriggerRequestDone(WORD(RequestResult));
}

// ---------------------------------------------------------------------------
// AUTH

void TCustomSmtpClient::Auth() {
  CheckReady();
  CurrentStep = smtpStepAuth;
  if (!HighLevelFlag) RequestType = smtpAuth;
  if (!EsmtpSupported) {
    donePosted_ = false;
    SetFailure(500, "500 ESMTP not supported.");
    TriggerRequestDone(500);
    return;
  }
  TSmtpAuthType mech = AuthType;
  if (mech == smtpAuthAutoSelect) {
    auto offered = [this](const char* n) {
      return std::find(AuthTypesOffered.begin(), AuthTypesOffered.end(), n) !=
             AuthTypesOffered.end();
    };
    mech = offered("CRAM-MD5")   ? smtpAuthCramMD5
           : offered("CRAM-SHA1") ? smtpAuthCramSha1
           : offered("LOGIN")     ? smtpAuthLogin
           : offered("PLAIN")     ? smtpAuthPlain
                                  : smtpAuthCramMD5;
    if (offered("NTLM") || offered("GSSAPI NTLM")) mech = smtpAuthNtlm;
  }
  if (mech == smtpAuthNone) {
    donePosted_ = false;
    SetFailure(500, "500 No Authentication Type Selected.");
    TriggerRequestDone(500);
    return;
  }
  AuthStart(mech);
}

void TCustomSmtpClient::AuthStart(TSmtpAuthType mech) {
  authMech_ = mech;
  const bool internal = state_ == smtpWaitingResponse;
  if (internal) SetState(smtpInternalReady);
  switch (mech) {
    case smtpAuthPlain: {
      // RFC 4616: authorization identity (none), authentication identity,
      // password.
      std::string msg = std::string(1, '\0') + Username + std::string(1, '\0') + Password;
      ExecAsync(smtpAuth, "AUTH PLAIN " + EncodeBase64String(msg), {235},
                [this] {
                  if (RequestResult != 0)
                    AuthFirstReplyFailed(smtpAuthPlain);
                  else
                    TriggerRequestDone(0);
                },
                true);
      break;
    }
    case smtpAuthLogin:
      ExecAsync(smtpAuth, "AUTH LOGIN", {334}, [this] {
        if (RequestResult != 0) return AuthFirstReplyFailed(smtpAuthLogin);
        ExecAsync(smtpAuth, EncodeBase64String(Username), {334}, [this] {
          if (RequestResult != 0) return TriggerRequestDone(WORD(RequestResult));
          ExecAsync(smtpAuth, EncodeBase64String(Password), {235}, nullptr, true);
        }, true);
      }, true);
      break;
    case smtpAuthCramMD5:
    case smtpAuthCramSha1: {
      const bool md5 = mech == smtpAuthCramMD5;
      ExecAsync(smtpAuth, md5 ? "AUTH CRAM-MD5" : "AUTH CRAM-SHA1", {334}, [this, md5, mech] {
        if (RequestResult != 0) return AuthFirstReplyFailed(mech);
        if (LastResponse.size() <= 4) {
          SetFailure(500, std::string(md5 ? "500 Malformed MD5 Challenge: "
                                          : "500 Malformed SHA1 Challenge: ") +
                              LastResponse);
          return TriggerRequestDone(500);
        }
        const std::string challenge = DecodeBase64String(LastResponse.substr(4));
        std::string mac;
        if (md5) {
          Md5Digest d{};
          HmacMD5(challenge.data(), challenge.size(), Password.data(), Password.size(), d);
          mac = std::string(reinterpret_cast<const char*>(d.data()), d.size());
        } else {
          mac = HmacSha1(challenge, Password);
        }
        ExecAsync(smtpAuth, EncodeBase64String(Username + " " + LowerHex(mac)), {235}, nullptr,
                  true);
      }, true);
      break;
    }
    case smtpAuthNtlm:
      ExecAsync(smtpAuth, "AUTH NTLM " + TunnelAuthenticator().NtlmNegotiate(), {334}, [this] {
        if (RequestResult != 0) return AuthFirstReplyFailed(smtpAuthNtlm);
        if (LastResponse.size() <= 4) {
          SetFailure(500, "500 Malformed NtlmMsg2: " + LastResponse);
          return TriggerRequestDone(500);
        }
        std::string workstation;
        try {
          workstation = LocalComputerName();
        } catch (const std::exception&) {
        }
        const std::string answer = TunnelAuthenticator().NtlmAuthenticate(
            LastResponse.substr(4), Username, Password, workstation);
        if (answer.empty()) {
          SetFailure(500, "500 Malformed NtlmMsg2: " + LastResponse);
          return TriggerRequestDone(500);
        }
        ExecAsync(smtpAuth, answer, {235}, nullptr, true);
      }, true);
      break;
    default:
      break;
  }
}

void TCustomSmtpClient::AuthFirstReplyFailed(TSmtpAuthType mech) {
  if (AuthType == smtpAuthAutoSelect) {
    if (StatusCode == 504 && mech != smtpAuthPlain) {
      const TSmtpAuthType next = mech == smtpAuthNtlm       ? smtpAuthCramMD5
                                 : mech == smtpAuthCramMD5  ? smtpAuthCramSha1
                                 : mech == smtpAuthCramSha1 ? smtpAuthLogin
                                                            : smtpAuthPlain;
      // The refusal of one mechanism is no failure of the request.
      ErrorMessage.clear();
      AuthStart(next);
      return;
    }
    if (StatusCode != 504) ErrorMessage = "500 Authentication Type could not be determined.";
  }
  TriggerRequestDone(WORD(RequestResult));
}

// ---------------------------------------------------------------------------
// High-level requests

void TCustomSmtpClient::Open() {
  if (AuthType == smtpAuthNone)
    HighLevelAsync(smtpOpen, SmtpSteps({smtpStepConnect, smtpStepHelo}));
  else
    HighLevelAsync(smtpOpen, SmtpSteps({smtpStepConnect, smtpStepEhlo, smtpStepAuth}));
}

void TCustomSmtpClient::Mail() {
  HighLevelAsync(smtpMail, SmtpSteps({smtpStepMailFrom, smtpStepRcptTo, smtpStepData}));
}

void TCustomSmtpClient::HighLevelAsync(TSmtpRequest rq, TSmtpSteps steps) {
  if (Connected && (steps & SmtpStepBit(smtpStepConnect)))
    throw SmtpException("SMTP component already connected");
  CheckReady();
  RequestType = rq;
  RequestResult = 0;
  PendingSteps = steps;
  CurrentStep = smtpStepNone;
  HighLevelResult = 0;
  HighLevelFlag = true;
  LastResponse.clear();
  ErrorMessage.clear();
  NextHighLevelStep();
}

std::vector<TSmtpStep> TCustomSmtpClient::HighLevelOrder() const {
  return {smtpStepConnect, smtpStepHelo,   smtpStepEhlo,        smtpStepAuth,
          smtpStepVrfy,    smtpStepMailFrom, smtpStepRcptTo,    smtpStepData,
          smtpStepQuit,    smtpStepCalcMsgSize, smtpStepMailFromSIZE};
}

void TCustomSmtpClient::StartStep(TSmtpStep step) {
  switch (step) {
    case smtpStepConnect: Connect(); break;
    case smtpStepHelo: Helo(); break;
    case smtpStepEhlo: Ehlo(); break;
    case smtpStepAuth: Auth(); break;
    case smtpStepVrfy: Vrfy(); break;
    case smtpStepMailFrom: MailFrom(); break;
    case smtpStepRcptTo: RcptTo(); break;
    case smtpStepData: Data(); break;
    case smtpStepQuit: Quit(); break;
    case smtpStepRset: Rset(); break;
    case smtpStepCalcMsgSize: CalcMsgSize(); break;
    case smtpStepMailFromSIZE: MailFromSIZE(); break;
    default: break;
  }
}

void TCustomSmtpClient::StartHighLevelStep(TSmtpStep step) {
  PendingSteps = TSmtpSteps(PendingSteps & ~SmtpStepBit(step));
  CurrentStep = step;
  StartStep(step);
}

void TCustomSmtpClient::NextHighLevelStep() {
  if (state_ == smtpAbort) {
    PendingSteps = 0;
    HighLevelResult = 426;
    RequestResult = 426;
    ErrorMessage = "426 Operation aborted.";
  }
  highLevelNext_ = [this] { NextHighLevelStep(); };
  if (RequestResult != 0) {
    // A refused EHLO ends the request like any other failure: going on
    // with HELO would drop what EHLO was sent for (STARTTLS, AUTH).
    HighLevelResult = RequestResult;
    const bool quitPending = PendingSteps & SmtpStepBit(smtpStepQuit);
    PendingSteps = quitPending && CurrentStep != smtpStepQuit ? SmtpStepBit(smtpStepQuit) : 0;
  }
  for (TSmtpStep step : HighLevelOrder()) {
    if (!(PendingSteps & SmtpStepBit(step))) continue;
    try {
      StartHighLevelStep(step);
      return;
    } catch (const std::exception& e) {
      HighLevelResult = 500;
      RequestResult = 500;
      ErrorMessage = "500 Internal client error " + ExceptionClassName(e) + ": \"" + e.what() + "\"";
      break;
    }
  }
  PendingSteps = 0;
  highLevelNext_ = nullptr;
  donePosted_ = false;
  TriggerRequestDone(WORD(HighLevelResult));
}

// ---------------------------------------------------------------------------
// DATA

void TCustomSmtpClient::BuildHeaderLines() {
  hdrLines_.Clear();
  hdrLines_.CodePage = codePage_;
  hdrLines_.CharSet = charSet_;
  hdrLines_.MultiByte = multiByte_;
  hdrLines_.FoldHeaders = FoldHeaders;
  hdrLines_.Allow8bitChars = Allow8bitChars;
  hdrLines_.ConvertToCharset = ConvertToCharset;
  hdrLines_.EncType = DefaultEncoding == smtpEncBase64 ? "B" : "Q";
  if (OwnHeaders) return;
  auto addr = [this](const char* name, const std::string& v) {
    std::string t = Trimmed(v);
    if (!t.empty()) hdrLines_.AddAddrHdr(name, t);
  };
  addr("Reply-To: ", HdrReplyTo);
  addr("Return-Path: ", HdrReturnPath);
  addr("From: ", HdrFrom);
  addr("To: ", HdrTo);
  addr("Cc: ", HdrCc);
  hdrLines_.AddHdr("Subject: ", Trimmed(HdrSubject));
  if (!Trimmed(HdrSender).empty())
    addr("Sender: ", HdrSender);
  else
    addr("Sender: ", HdrFrom);
  hdrLines_.Add("Mime-Version: 1.0");
  hdrLines_.Add("Content-Type: " + SmtpContentTypeName(contentType_) + "; charset=\"" + charSet_ +
                "\"");
  hdrLines_.Add("Date: " + SmtpDateNow());
  if (HdrPriority != smtpPriorityNone) {
    hdrLines_.Add("X-Priority: " + std::to_string(int(HdrPriority)));
    if (HdrPriority <= smtpPriorityHigh) {
      hdrLines_.Add("Priority: urgent");
      hdrLines_.Add("X-MSMail-Priority: High");
    } else if (HdrPriority == smtpPriorityNormal) {
      hdrLines_.Add("Priority: Normal");
      hdrLines_.Add("X-MSMail-Priority: Normal");
    } else {
      hdrLines_.Add("Priority: non-urgent");
      hdrLines_.Add("X-MSMail-Priority: Low");
    }
  }
  MessageId = SmtpNewMessageId();
  hdrLines_.Add("Message-ID: <" + MessageId + ">");
  if (ConfirmReceipt && !Trimmed(HdrFrom).empty())
    hdrLines_.AddAddrHdr("Disposition-Notification-To: ", Trimmed(HdrFrom));
  if (!XMailer.empty()) {
    SmtpCheckNoLineBreak("X-Mailer", XMailer);
    hdrLines_.Add("X-Mailer: " + ReplaceVersion(XMailer));
  }
  TriggerProcessHeader(hdrLines_.Lines);
  hdrLines_.Add("");
}

void TCustomSmtpClient::Data() {
  const bool toStream = SendMode == smtpToStream;
  if (!(toStream && state_ == smtpInternalBusy)) CheckReady();
  if (!toStream && !Connected) throw SmtpException("SMTP component not connected");
  bodyLineNum_ = 0;
  moreLines_ = true;
  if (!toStream) sizeCount_ = false;
  BuildHeaderLines();
  hdrIndex_ = 0;
  CurrentStep = smtpStepData;
  if (toStream) {
    donePosted_ = false;
    transferActive_ = true;
    SetState(smtpInternalBusy);
    DataNextLine();
    return;
  }
  ExecAsync(smtpData, "DATA", {354}, [this] {
    if (RequestResult != 0) return TriggerRequestDone(WORD(RequestResult));
    transferActive_ = true;
    SetState(smtpInternalBusy);
    DataNextLine();
  });
}

void TCustomSmtpClient::DataNextLine() {
  if (!transferActive_) return;
  std::string line;
  if (hdrIndex_ < hdrLines_.Lines.size()) {
    line = hdrLines_.Lines[hdrIndex_++];
    TriggerHeaderLine(line);
    TriggerDisplay("> " + line);
  } else {
    bool more = moreLines_;
    if (more) {
      ++bodyLineNum_;
      try {
        TriggerGetData(bodyLineNum_, line, 2046, more);
      } catch (const std::exception& e) {
        // A part that cannot be read (an attachment that does not open)
        // fails the message: it never goes out incomplete.
        FailData("500 " + ExceptionClassName(e) + " " + e.what());
        return;
      }
      if (!transferActive_) return;  // aborted meanwhile
    }
    if (!more) {
      moreLines_ = false;
      FinishData();
      return;
    }
  }
  ShipLine(line);
}

void TCustomSmtpClient::ShipLine(const std::string& line) {
  const std::vector<std::string> lines = SmtpDataLines(line);
  std::string wire;
  for (const std::string& l : lines) wire += l + "\r\n";
  lastLineSize_ = int(wire.size());
  if (sizeCount_) MessageSize += std::int64_t(wire.size());
  if (SendMode != smtpToSocket && outStream_) {
    WriteToFile(lines);
    if (!transferActive_) return;
  }
  if (SendMode == smtpToStream) {
    platform::PostMessage(GetWindowHandle(), msgNextLine_, 0, 0);
    return;
  }
  if (!ctrlSocket_ || ctrlSocket_->State() != wsConnected) {
    transferActive_ = false;
    return;
  }
  awaitingSent_ = true;
  ctrlSocket_->SendString(wire);
}

void TCustomSmtpClient::FailData(const std::string& text) {
  transferActive_ = false;
  if (SendMode == smtpToStream) {
    SetFailure(500, text);
    EndStreamRequest();
  } else {
    AbortMessageParts();
    FailAndAbort(500, text);
  }
}

void TCustomSmtpClient::SocketDataSent() {
  if (!transferActive_ || !awaitingSent_) return;
  awaitingSent_ = false;
  SetState(smtpInternalReady);
  TriggerMessageDataSent(lastLineSize_);
  DataNextLine();
}

void TCustomSmtpClient::WriteToFile(const std::vector<std::string>& lines) {
  try {
    for (const std::string& l : lines) {
      // The file holds the message itself, without the dot-stuffing.
      std::string_view v(l);
      if (v.starts_with("..")) v.remove_prefix(1);
      std::string out = std::string(v) + "\r\n";
      if (outStream_->Write(out.data(), std::int64_t(out.size())) != std::int64_t(out.size()))
        throw EStreamError("Write error");
    }
  } catch (const std::exception& e) {
    SetFailure(500, "500 " + ExceptionClassName(e) + " " + e.what());
    StatusCode = 500;
    transferActive_ = false;
    outFailed_ = true;
    if (SendMode == smtpToStream) {
      EndStreamRequest();
    } else {
      AbortMessageParts();
      TriggerResponse(LastResponse);
      TriggerRequestDone(500);
      if (ctrlSocket_) ctrlSocket_->Abort();
    }
  }
}

void TCustomSmtpClient::FinishData() {
  transferActive_ = false;
  if (SendMode == smtpToStream) {
    EndStreamRequest();
    return;
  }
  SetState(smtpInternalReady);
  ExecAsync(smtpData, ".", {250}, nullptr, true);
}

void TCustomSmtpClient::EndStreamRequest() {
  TDoneAction done = std::move(streamDone_);
  streamDone_ = nullptr;
  if (done) done();
}

void TCustomSmtpClient::CalcMsgSize() {
  CheckReady();
  if (!HighLevelFlag) RequestType = smtpCalcMsgSize;
  okReplies_ = {200};
  CurrentStep = smtpStepCalcMsgSize;
  savedSendMode_ = SendMode;
  savedDisplay_ = OnDisplay;
  MessageSize = 0;
  sizeCount_ = true;
  SendMode = smtpToStream;
  SetState(smtpInternalBusy);
  TriggerCommand("CalcMsgSize");
  TriggerDisplay("> CalcMsgSize");
  OnDisplay = nullptr;
  auto restore = [this] {
    SendMode = savedSendMode_;
    OnDisplay = savedDisplay_;
    savedDisplay_ = nullptr;
    sizeCount_ = false;
  };
  streamDone_ = [this, restore] {
    restore();
    if (RequestResult != 0) return TriggerRequestDone(WORD(RequestResult));
    LastResponse = "200 MessageSize=" + std::to_string(MessageSize);
    StatusCode = 200;
    RequestResult = 0;
    TriggerResponse(LastResponse);
    TriggerRequestDone(0);
  };
  RequestResult = 0;
  try {
    Data();
  } catch (...) {
    streamDone_ = nullptr;
    restore();
    SetState(smtpReady);
    throw;
  }
}

void TCustomSmtpClient::SendToFile(const std::string& fileName) {
  if (state_ != smtpReady) throw SmtpException("SMTP component not ready");
  if (SendMode != smtpToStream) throw SmtpException("SendToFile requires SendMode smtpToStream");
  if (fileName.empty()) throw SmtpException("File name not specified");
  outStream_ = std::make_unique<TBufferedFileStream>(fileName, fmCreate, 65536);
  outFailed_ = false;
  RequestType = smtpToFile;
  okReplies_ = {200};
  RequestResult = 0;
  SetState(smtpInternalBusy);
  TriggerCommand("SendToFile");
  TriggerDisplay("> SendToFile");
  streamDone_ = [this] {
    try {
      outStream_.reset();  // writes the last buffer back
    } catch (const std::exception& e) {
      if (RequestResult == 0) SetFailure(500, "500 " + ExceptionClassName(e) + " " + e.what());
    }
    if (RequestResult == 0) {
      LastResponse = "200 Message sent to file";
      StatusCode = 200;
    } else if (ErrorMessage.empty()) {
      ErrorMessage = LastResponse;
    }
    TriggerResponse(LastResponse);
    TriggerRequestDone(WORD(RequestResult));
  };
  try {
    Data();
  } catch (...) {
    streamDone_ = nullptr;
    outStream_.reset();
    SetState(smtpReady);
    throw;
  }
}

// ---------------------------------------------------------------------------
// Abort

void TCustomSmtpClient::Abort() {
  AbortMessageParts();
  if (streamDone_) {
    streamDone_ = nullptr;
    if (sizeCount_) {
      SendMode = savedSendMode_;
      OnDisplay = savedDisplay_;
      sizeCount_ = false;
    }
    outStream_.reset();
  }
  transferActive_ = false;
  SetState(smtpAbort);
  if (ctrlSocket_) ctrlSocket_->Abort();
  SetState(smtpReady);
}

}  // namespace yux::net
