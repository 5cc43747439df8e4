#include "net/protocols/httpcli.h"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <cstdio>
#include <ctime>

#include "net/protocols/mimeutils.h"
#include "net/protocols/urlutils.h"
#include "net/socket/neterrors.h"
#include "net/socket/netresolve.h"
#include "net/socket/netutils.h"

namespace yux::net {

namespace {

// What the restart message restarts.
enum { kRestartRelocation = 0, kRestartAuth = 1 };
// What the internal message does.
enum { kInternalCloseConnection = 0, kInternalCloseDone = 1 };

std::string Lower(std::string s) {
  for (auto& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool StartsNoCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && Lower(text.substr(0, prefix.size())) == Lower(prefix);
}

bool IsRelocationStatus(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// "Sun, 06 Nov 1994 08:49:37" from days since 1899-12-30.
std::string Rfc1123Date(double days) {
  std::time_t t = std::time_t((days - 25569.0) * 86400.0 + 0.5);
  std::tm tm{};
  gmtime_r(&t, &tm);
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char buf[40];
  std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d", kDays[tm.tm_wday],
                tm.tm_mday, kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                tm.tm_sec);
  return buf;
}

std::string ErrorWithCode(const std::string& text, int code) {
  return text + " (Error #" + std::to_string(code) + ")";
}

const char* AuthName(THttpAuthType t) {
  switch (t) {
    case httpAuthNtlm: return "NTLM";
    case httpAuthDigest: return "Digest";
    case httpAuthBasic: return "Basic";
    default: return "";
  }
}

}  // namespace

const char* HttpStateName(THttpState s) {
  static const char* const kNames[] = {
      "httpReady",         "httpNotConnected", "httpConnected",           "httpDnsLookup",
      "httpDnsLookupDone", "httpWaitingHeader", "httpWaitingBody",        "httpBodyReceived",
      "httpWaitingProxyConnect", "httpClosing", "httpAborting"};
  if (s < httpReady || s > httpAborting) return "INVALID STATE";
  return kNames[s];
}

// ---------------------------------------------------------------------------
// The socket

THttpCliSocket::THttpCliSocket() {
  // Called while the connection object is made, before the hello goes out.
  OnSslCliGetSession = [this](TCustomWSocket*, SSL_SESSION*&, bool&) { ApplyServerName(); };
}

void THttpCliSocket::ApplyServerName() {
  const std::string& name = SslServerName;
  if (!Ssl() || name.empty() || IsDottedIPv4Text(name) || name.find(':') != std::string::npos)
    return;
  SSL_set_tlsext_host_name(Ssl(), name.c_str());
  if (SslContext() && SslContext()->SslVerifyPeer()) {
    // The layer below set up the check for the address it connects to;
    // the name of the URL is the one the certificate must carry.
    X509_VERIFY_PARAM* param = SSL_get0_param(Ssl());
    X509_VERIFY_PARAM_set1_ip(param, nullptr, 0);
    SSL_set1_host(Ssl(), name.c_str());
  }
}

// ---------------------------------------------------------------------------
// Construction and settings

THttpCli::THttpCli() {
  ownSslContext_ = std::make_unique<TSslContext>();
  socket_ = std::make_unique<THttpCliSocket>();
  socket_->SetSslContext(ownSslContext_.get());
  contCoding_ = std::make_unique<THttpContCodHandler>(
      &ResponseBody, [this](const void* data, int len) { TriggerDocData(data, len); });
  THttpCliSocket& s = *socket_;
  s.OnDnsLookupDone = [this](TCustomWSocket*, WORD e) { SocketDnsLookupDone(e); };
  s.OnSessionConnected = [this](TCustomWSocket*, WORD e) { SocketSessionConnected(e); };
  s.OnSessionClosed = [this](TCustomWSocket*, WORD e) { SocketSessionClosed(e); };
  s.OnDataAvailable = [this](TCustomWSocket*, WORD) { SocketDataAvailable(); };
  s.OnDataSent = [this](TCustomWSocket*, WORD) { SocketDataSent(); };
  s.OnSslHandshakeDone = [this](TCustomWSocket*, WORD e, TX509Base*, bool&) {
    SocketHandshakeDone(e);
  };
  s.OnSocksConnected = [this](TCustomWSocket*, WORD e) {
    if (OnSocksConnected) OnSocksConnected(this, e);
  };
  s.OnSocksError = [this](TCustomWSocket*, int e, const std::string& m) {
    if (OnSocksError) OnSocksError(this, e, m);
  };
  s.OnSocksAuthState = [this](TCustomWSocket*, TSocksAuthState st) {
    if (OnSocksAuthState) OnSocksAuthState(this, st);
  };
  s.OnError = [this](TCustomWSocket*) {
    socketError_ = true;
    if (OnSocketError) OnSocketError(this);
  };
  s.ExceptionAbortHook = [this] { AbortAfterError(); };
  AttachHiddenWindow();
}

THttpCli::~THttpCli() {
  // The socket's events must not reach a client that is going.
  THttpCliSocket& s = *socket_;
  s.OnDnsLookupDone = nullptr;
  s.OnSessionConnected = nullptr;
  s.OnSessionClosed = nullptr;
  s.OnDataAvailable = nullptr;
  s.OnDataSent = nullptr;
  s.OnSslHandshakeDone = nullptr;
  s.OnSocksConnected = nullptr;
  s.OnSocksError = nullptr;
  s.OnSocksAuthState = nullptr;
  s.OnError = nullptr;
  s.ExceptionAbortHook = nullptr;
  ReleaseWindowOnce();
}

void THttpCli::SetRequestVer(const std::string& v) {
  if (v != "1.0" && v != "1.1") throw EHttpException("Insupported HTTP version", httperrVersion);
  requestVer_ = v;
}

void THttpCli::SetOptions(THttpCliOptions v) {
  options_ = v;
  contCoding_->SetEnabled(v.Contains(httpoEnableContentCoding));
  contCoding_->SetUseQuality(v.Contains(httpoUseQuality));
}

void THttpCli::SetSslContext(TSslContext* v) {
  socket_->SetSslContext(v ? v : ownSslContext_.get());
}

void THttpCli::AllocateMessageNumbers() {
  TNetWndControl::AllocateMessageNumbers();
  msgRequestDone_ = AllocateMessage();
  msgInternalDone_ = AllocateMessage();
  msgRestart_ = AllocateMessage();
}

void THttpCli::FreeMessageNumbers() {
  TNetWndControl::FreeMessageNumbers();
  ReleaseMessage(msgRequestDone_);
  ReleaseMessage(msgInternalDone_);
  ReleaseMessage(msgRestart_);
}

void THttpCli::SetMultiThreaded(bool v) {
  TNetWndControl::SetMultiThreaded(v);
  socket_->SetMultiThreaded(v);
}

void THttpCli::SetOnBgException(TNetBgExceptionEvent v) {
  TNetWndControl::SetOnBgException(v);
  socket_->SetOnBgException(std::move(v));
}

void THttpCli::SetMessagePumpHandler(std::function<void(TNetWndControl*)> v) {
  TNetWndControl::SetMessagePumpHandler(v);
  socket_->SetMessagePumpHandler(std::move(v));
}

void THttpCli::MarkTerminated(bool v) {
  TNetWndControl::MarkTerminated(v);
  socket_->MarkTerminated(v);
}

void THttpCli::AttachToThread() {
  TNetWndControl::AttachToThread();
  socket_->AttachToThread();
}

void THttpCli::DetachFromThread() {
  socket_->DetachFromThread();
  TNetWndControl::DetachFromThread();
}

void THttpCli::AbortAfterError() {
  if (state_ != httpReady) Abort();
}

void THttpCli::HandleWindowMessage(TMessage& msg) {
  try {
    if (msgRequestDone_ && msg.Msg == msgRequestDone_) {
      if (OnRequestDone) OnRequestDone(this, THttpRequest(msg.WParam), int(msg.LParam));
      return;
    }
    if (msgInternalDone_ && msg.Msg == msgInternalDone_) {
      if (msg.WParam == kInternalCloseConnection) {
        if (msg.LParam == connectionSerial_ && socket_->State() != wsClosed) socket_->Close();
      } else if (state_ == httpClosing) {
        FinishRequest();
      }
      return;
    }
    if (msgRestart_ && msg.Msg == msgRestart_) {
      if (msg.LParam == requestSerial_ && state_ != httpReady) Restart(int(msg.WParam));
      return;
    }
  } catch (const std::exception& e) {
    ProcessBgException(e);
    return;
  }
  TNetWndControl::HandleWindowMessage(msg);
}

// ---------------------------------------------------------------------------
// State

void THttpCli::SetState(THttpState s) {
  state_ = s;
  readyFlag_ = s == httpReady ? 1 : 0;
  if (OnStateChange) OnStateChange(this);
  Log(std::string("State = ") + HttpStateName(s));
}

void THttpCli::Log(const std::string& text) {
  if (socket_->LogOptionActive(TLogOption::loProtSpecInfo))
    socket_->LogDebug(TLogOption::loProtSpecInfo, text);
}

void THttpCli::ResetAnswer() {
  ResponseHeader.clear();
  ResponseLength = -1;
  ResponseContentType.clear();
  ResponseTransferEncoding.clear();
  ResponseContentEncoding.clear();
  ResponseStatus = 0;
  ResponseReason.clear();
  acceptRanges_.clear();
  wwwAuthLines_.clear();
  proxyAuthLines_.clear();
  statusSeen_ = false;
  headerBegun_ = false;
  chunked_ = false;
  bodyReceived_ = 0;
  lineReader_.Reset();
  chunks_.Reset();
  rcv_.clear();
  rcvPos_ = 0;
  answerComplete_ = false;
  locationPending_ = false;
  statusLine_.clear();
  responseBodyStart_ = ResponseBody ? ResponseBody->Size() : 0;
}

void THttpCli::CutBackResponseBody() {
  if (!ResponseBody) return;
  ResponseBody->SetSize(responseBodyStart_);
  ResponseBody->SetPosition(responseBodyStart_);
}

// ---------------------------------------------------------------------------
// Starting a request

void THttpCli::StartRequest(THttpRequest request) {
  if (request != httpCLOSE) {
    if (state_ != httpReady)
      throw EHttpException("HTTP component " + Name + " is busy", httperrBusy);
    if ((request == httpPOST || request == httpPUT) && !RequestBody)
      throw EHttpException("HTTP component has nothing to post or put", httperrNoData);
  }
  ++requestSerial_;
  requestType_ = request;
  RequestDoneError = 0;
  errorSeen_ = false;
  if (request == httpCLOSE) {
    ResponseStatus = 200;
    ResponseReason = "OK";
    SetState(httpClosing);
    if (!ConnectionOpen())
      platform::PostMessage(Handle(), msgInternalDone_, kInternalCloseDone, 0);
    else
      CloseConnectionDeferred();
    return;
  }
  LocationChangeCurCount = 0;
  curUser_ = Username;
  curPass_ = Password;
  credOrigin_.clear();
  path_.clear();
  for (TAuthSide* side : std::initializer_list<TAuthSide*>{&serverAuth_, &proxyAuth_}) {
    side->Scheme = httpAuthNone;
    side->Step = authNone;
  }
  sendingBody_ = false;
  endAfterSend_ = false;
  restartOnClose_ = false;
  PrepareRequest();
  Connect();
}

void THttpCli::PrepareRequest() {
  ResetAnswer();
  CloseRequested = requestVer_ == "1.0";
  curConnection_ = Connection;
  curProxyConnection_ = ProxyConnection;
  bodySent_ = 0;

  std::string proto, user, pass, host, port, path = path_;
  SplitUrl(URL, proto, user, pass, host, port, path);
  if (proto.empty()) proto = "http";
  protocol_ = proto;
  targetHost_ = host;
  targetPort_ = !port.empty() ? port : proto == "https" ? "443" : "80";
  path_ = path.empty() ? "/" : path;

  // Server credentials belong to the scheme, host and port they were given
  // for: a relocation elsewhere does not carry them.
  const std::string origin = proto + "://" + Lower(host) + ":" + targetPort_;
  if (!user.empty() || !pass.empty()) {
    curUser_ = user;
    curPass_ = pass;
    credOrigin_ = origin;
  } else if (credOrigin_.empty()) {
    credOrigin_ = origin;
  } else if (credOrigin_ != origin) {
    curUser_.clear();
    curPass_.clear();
  }

  useProxy_ = !Proxy.empty();
  if (useProxy_) {
    requestPath_ = proto + "://" + host + (port.empty() ? "" : ":" + port) + path_;
    std::size_t colon = Proxy.rfind(':');
    if (colon != std::string::npos && Proxy.find(']', colon) == std::string::npos) {
      connectHost_ = Proxy.substr(0, colon);
      connectPort_ = Proxy.substr(colon + 1);
    } else {
      connectHost_ = Proxy;
      connectPort_ = ProxyPort;
    }
  } else {
    requestPath_ = path_;
    connectHost_ = targetHost_;
    connectPort_ = targetPort_;
  }

  std::string docPath = path_.substr(0, path_.find_first_of("?#"));
  if (docPath.empty() || docPath.back() == '/')
    DocumentName = "document.htm";
  else
    DocumentName = docPath.substr(docPath.rfind('/') + 1);

  if (useProxy_ && ProxyAuth != httpAuthNone && !ProxyUsername.empty() && !ProxyPassword.empty())
    StartPreemptiveAuth(proxyAuth_, ProxyAuth, true);
  if (ServerAuth != httpAuthNone && !curUser_.empty() && !curPass_.empty())
    StartPreemptiveAuth(serverAuth_, ServerAuth, false);
}

void THttpCli::StartPreemptiveAuth(TAuthSide& side, THttpAuthType scheme, bool proxy) {
  if (side.Step != authNone) return;
  if (scheme == httpAuthDigest && side.Auth.DigestInfo().Realm.empty())
    return;  // nothing to answer before the server's first challenge
  side.Scheme = scheme;
  side.Step = scheme == httpAuthNtlm ? authStarted : authFinal;
  if (scheme == httpAuthNtlm) {
    std::string& conn = proxy ? curProxyConnection_ : curConnection_;
    if (requestVer_ == "1.0" || ServerVersion.empty() || ServerVersion == "1.0")
      conn = "Keep-alive";
  }
}

std::string THttpCli::KeyFor(const std::string& proto, const std::string& host,
                             const std::string& port) const {
  // Through a proxy, plain requests to any host share the proxy connection;
  // an https tunnel leads to one host only.
  std::string key = proto + "|";
  if (useProxy_)
    key += "proxy " + Lower(connectHost_) + ":" + connectPort_ +
           (proto == "https" ? "|" + Lower(host) + ":" + port : std::string());
  else
    key += Lower(host) + ":" + port;
  if (!SocksServer.empty()) key += "|socks " + SocksServer + ":" + SocksPort;
  return key;
}

std::string THttpCli::ConnectionKey() const { return KeyFor(protocol_, targetHost_, targetPort_); }

void THttpCli::Connect() {
  if (socket_->State() == wsConnected && !connectedKey_.empty() &&
      connectedKey_ == ConnectionKey()) {
    Connected();
    return;
  }
  DropConnection();
  SetState(httpNotConnected);
  SetState(httpDnsLookup);
  socketError_ = false;
  try {
    socket_->DnsLookup(connectHost_);
  } catch (const std::exception& e) {
    Fail(0, e.what(), 404);
    return;
  }
  if (socketError_ && state_ == httpDnsLookup)
    Fail(socket_->LastError, "can't resolve hostname to IP address", 404);
}

void THttpCli::SocketDnsLookupDone(WORD error) {
  if (state_ != httpDnsLookup) return;
  if (error) {
    Fail(error, "can't resolve hostname to IP address", 404);
    return;
  }
  SetState(httpDnsLookupDone);
  THttpCliSocket& s = *socket_;
  s.SetAddr(s.LookupResult);
  s.SetLocalAddr(LocalAddr);
  s.SetPort(connectPort_);
  s.SetProto("tcp");
  s.SetSocksServer(SocksServer);
  if (!SocksServer.empty()) {
    s.SetSocksPort(SocksPort);
    s.SetSocksLevel(SocksLevel);
    s.SocksUsercode = SocksUsercode;
    s.SocksPassword = SocksPassword;
    s.SocksAuthentication = SocksAuthentication;
  }
  if (options_.Contains(httpoBandwidthControl)) {
    s.SetBandwidthSampling(BandwidthSampling);
    s.SetBandwidthLimit(BandwidthLimit);
  } else {
    s.SetBandwidthLimit(0);
  }
  s.SslEnable = protocol_ == "https" && !useProxy_;
  s.SslServerName = targetHost_;
  tunnelHandshake_ = false;
  if (protocol_ != "http" && protocol_ != "https") {
    Fail(0, "Protocol \"" + protocol_ + "\" not implemented", 501);
    return;
  }
  socketError_ = false;
  peerClosed_ = false;
  ++connectionSerial_;
  try {
    s.Connect();
  } catch (const std::exception&) {
    socketError_ = true;
  }
  if (socketError_ && state_ == httpDnsLookupDone) {
    int code = s.LastError;
    DropConnection();
    Fail(code, ErrorWithCode("can't connect: " + WinsockErrorText(code), code), 404);
  }
}

void THttpCli::SocketSessionConnected(WORD error) {
  if (OnSessionConnected) OnSessionConnected(this, error);
  if (state_ != httpDnsLookupDone) return;
  if (error) {
    DropConnection();
    Fail(error, ErrorWithCode(SocketErrorText(error), error), 404);
    return;
  }
  connectedKey_ = ConnectionKey();
  tunnelled_ = false;
  Connected();
}

void THttpCli::Connected() {
  SetState(httpConnected);
  if (useProxy_ && protocol_ == "https" && !tunnelled_) {
    SetState(httpWaitingProxyConnect);
    SendRequest("CONNECT", requestVer_);
    return;
  }
  SetState(httpWaitingHeader);
  SendRequest(MethodName(), requestVer_);
  if ((requestType_ == httpPOST || requestType_ == httpPUT) && !handshakeMessage_)
    StartSendingBody();
}

std::string THttpCli::MethodName() const {
  switch (requestType_) {
    case httpPOST: return "POST";
    case httpPUT: return "PUT";
    case httpHEAD: return "HEAD";
    case httpDELETE: return "DELETE";
    default: return "GET";
  }
}

// ---------------------------------------------------------------------------
// Sending

std::string THttpCli::AuthorizationLine(bool proxy) {
  TAuthSide& side = proxy ? proxyAuth_ : serverAuth_;
  const std::string& user = proxy ? ProxyUsername : curUser_;
  const std::string& pass = proxy ? ProxyPassword : curPass_;
  const std::string prefix = proxy ? "Proxy-Authorization: " : "Authorization: ";
  const char* who = proxy ? "Proxy" : "";
  switch (side.Scheme) {
    case httpAuthNone:
      return {};
    case httpAuthBasic:
      if (side.Step != authFinal)
        throw EHttpException(std::string("Unexpected ") + who + "AuthBasicState",
                             httperrInvalidAuthState);
      return prefix + "Basic " + EncodeBase64String(user + ":" + pass);
    case httpAuthNtlm:
      if (side.Step == authStarted) return prefix + "NTLM " + side.Auth.NtlmNegotiate();
      if (side.Step == authFinal && !side.NtlmMessage.empty())
        return prefix + "NTLM " + side.NtlmMessage;
      throw EHttpException(std::string("Unexpected ") + who + "AuthNTLMState",
                           httperrInvalidAuthState);
    case httpAuthDigest: {
      if (side.Step != authFinal)
        throw EHttpException(std::string("Unexpected ") + who + "AuthDigestState",
                             httperrInvalidAuthState);
      bool connect = proxy && state_ == httpWaitingProxyConnect;
      std::string method = connect ? "CONNECT" : MethodName();
      std::string uri = connect ? targetHost_ + ":" + targetPort_ : requestPath_;
      return prefix + "Digest " + side.Auth.DigestAuthorization(user, pass, method, uri);
    }
  }
  return {};
}

void THttpCli::SendRequest(const std::string& method, const std::string& version) {
  if (OnRequestHeaderBegin) OnRequestHeaderBegin(this);
  const bool connect = method == "CONNECT";
  const bool withBody = !connect && (requestType_ == httpPOST || requestType_ == httpPUT);
  // An NTLM type 1 message goes without the body: the body follows with
  // the type 3 message.
  handshakeMessage_ = (serverAuth_.Scheme == httpAuthNtlm && serverAuth_.Step == authStarted) ||
                      (useProxy_ && proxyAuth_.Scheme == httpAuthNtlm &&
                       proxyAuth_.Step == authStarted);
  std::vector<std::string> h;
  auto add = [&](const char* name, const std::string& value) {
    if (!value.empty()) h.push_back(name + value);
  };
  if (connect) {
    h.push_back("CONNECT " + targetHost_ + ":" + targetPort_ + " HTTP/" + version);
  } else {
    h.push_back(method + " " + requestPath_ + " HTTP/" + version);
    add("From: ", Sender);
    add("Accept: ", Accept);
    add("Referer: ", Reference);
    add("Connection: ", curConnection_);
    add("Accept-Language: ", AcceptLanguage);
    if (requestType_ != httpHEAD) add("Accept-Encoding: ", contCoding_->AcceptEncodingText());
    if (withBody) add("Content-Type: ", ContentTypePost);
  }
  add("User-Agent: ", Agent);
  add("Host: ", targetPort_ == "80" ? targetHost_ : targetHost_ + ":" + targetPort_);
  if (NoCache) h.push_back("Pragma: no-cache");
  add("Proxy-Connection: ", curProxyConnection_);
  if (withBody) {
    std::int64_t len = 0;
    if (!handshakeMessage_) {
      std::int64_t pos = RequestBody->Position();
      len = std::max<std::int64_t>(0, RequestBody->Size() - pos);
    }
    h.push_back("Content-Length: " + std::to_string(len));
  } else if (connect) {
    h.push_back("Content-Length: 0");
  }
  if (!connect) {
    if (ModifiedSince != 0) h.push_back("If-Modified-Since: " + Rfc1123Date(ModifiedSince) + " GMT");
    // The server's credentials wait while the proxy's NTLM handshake runs;
    // they never go to the proxy in a CONNECT.
    bool proxyNtlm = useProxy_ && proxyAuth_.Scheme == httpAuthNtlm && proxyAuth_.Step == authStarted;
    if (!proxyNtlm) add("", AuthorizationLine(false));
  }
  if (useProxy_) add("", AuthorizationLine(true));
  if (!connect) {
    add("Cookie: ", Cookie);
    if (!ContentRangeBegin.empty() || !ContentRangeEnd.empty()) {
      h.push_back("Range: bytes=" + ContentRangeBegin + "-" + ContentRangeEnd);
      ContentRangeBegin.clear();
      ContentRangeEnd.clear();
    }
  }
  if (OnBeforeHeaderSend) OnBeforeHeaderSend(this, method, h);
  std::string out;
  for (std::string line : h) {
    if (OnCommand) OnCommand(this, line);
    out += line + "\r\n";
  }
  if (OnRequestHeaderEnd) OnRequestHeaderEnd(this);
  out += "\r\n";
  socket_->SendString(out);
}

void THttpCli::StartSendingBody() {
  bodySent_ = 0;
  sendingBody_ = true;
  if (OnSendBegin) OnSendBegin(this);
  SendNextBlock();
}

void THttpCli::SendNextBlock() {
  if (!sendingBody_ || !RequestBody) return;
  char block[8192];
  std::int64_t n = RequestBody->Read(block, sizeof block);
  if (n <= 0) {
    sendingBody_ = false;
    if (OnSendEnd) OnSendEnd(this);
    if (endAfterSend_) {
      endAfterSend_ = false;
      RequestEnds();
    }
    return;
  }
  bodySent_ += n;
  socket_->Send(block, int(n));
  if (OnSendData) OnSendData(this, block, int(n));
}

void THttpCli::SocketDataSent() {
  if (sendingBody_) SendNextBlock();
}

// ---------------------------------------------------------------------------
// Receiving

void THttpCli::SocketDataAvailable() {
  // Large reads: a big body arrives with few events.
  if (readBuf_.empty()) readBuf_.resize(256 * 1024);
  char* buf = readBuf_.data();
  int n = socket_->Receive(buf, int(readBuf_.size()));
  if (n <= 0) return;
  switch (state_) {
    case httpWaitingHeader:
    case httpWaitingProxyConnect:
    case httpWaitingBody:
      break;
    default:
      // Nothing is expected: a server talking out of turn.
      if (OnDataPush) OnDataPush(this);
      return;
  }
  rcv_.append(buf, std::size_t(n));
  ProcessReceived();
}

void THttpCli::ProcessReceived() {
  for (;;) {
    if (state_ == httpWaitingHeader || state_ == httpWaitingProxyConnect) {
      std::size_t lineStart = rcvPos_;
      std::string line;
      switch (lineReader_.Next(rcv_, rcvPos_, line)) {
        case THttpLineReader::lineNeedMore:
          break;
        case THttpLineReader::lineTooLong:
          DropConnection();
          Fail(httperrHeaderTooLarge, "HTTP header line too long");
          return;
        case THttpLineReader::headerTooLarge:
          DropConnection();
          Fail(httperrHeaderTooLarge, "HTTP header too large");
          return;
        case THttpLineReader::lineReady:
          if (!statusSeen_ && HttpIsHeaderlessBody(line)) {
            // A document without header: the line is its first line.
            rcvPos_ = lineStart;
            ResponseContentType = "text/html";
            CloseRequested = true;
            StartBody();
          } else {
            HandleHeaderLine(line);
          }
          continue;
      }
    } else if (state_ == httpWaitingBody && rcvPos_ < rcv_.size()) {
      std::size_t before = rcvPos_;
      ReceiveBody();
      if (rcvPos_ != before) continue;
    }
    break;
  }
  if (rcvPos_ >= rcv_.size()) {
    rcv_.clear();
    rcvPos_ = 0;
  } else if (rcvPos_ > 65536) {
    rcv_.erase(0, rcvPos_);
    rcvPos_ = 0;
  }
}

bool THttpCli::HandleHeaderLine(const std::string& line) {
  if (!statusSeen_) {
    if (HttpIsStatusLine(line)) {
      HandleStatusLine(line);
      return true;
    }
    if (OnDataPush2) OnDataPush2(this);
    return false;
  }
  if (line.empty()) {
    HeaderEnds();
    return true;
  }
  HandleField(line);
  return true;
}

void THttpCli::HandleStatusLine(const std::string& line) {
  statusSeen_ = true;
  statusLine_ = line;
  THttpStatusLine s = HttpParseStatusLine(line);
  ServerVersion = s.Version;
  ResponseStatus = s.Status;
  ResponseReason = s.Reason;
  CloseRequested = requestVer_ == "1.0" || ServerVersion == "1.0";
  if (!headerBegun_) {
    headerBegun_ = true;
    if (OnHeaderBegin) OnHeaderBegin(this);
  }
  ResponseHeader.push_back(line);
  if (OnHeaderData) OnHeaderData(this);
}

void THttpCli::HandleField(const std::string& line) {
  std::string name, value;
  if (HttpSplitHeaderLine(line, name, value)) {
    if (name == "location") {
      if (value.rfind("//", 0) == 0) value = protocol_ + ":" + value;
      Location = value;
      if (requestType_ != httpPUT && FollowRelocation && IsRelocationStatus(ResponseStatus)) {
        if (StartsNoCase(value, "http://") || StartsNoCase(value, "https://")) {
          newUrl_ = value;
        } else {
          std::string origin = protocol_ + "://" + targetHost_ +
                               ((protocol_ == "https" ? "443" : "80") == targetPort_
                                    ? ""
                                    : ":" + targetPort_);
          if (value.rfind('/', 0) == 0) {
            newUrl_ = origin + value;
          } else {
            std::string p = path_.substr(0, path_.find_first_of("?#"));
            newUrl_ = origin + p.substr(0, p.rfind('/') + 1) + value;
          }
        }
        locationPending_ = true;
      }
    } else if (name == "content-length") {
      ResponseLength = HttpParseContentLength(value);
    } else if (name == "transfer-encoding") {
      ResponseTransferEncoding = Lower(value);
      chunked_ = ResponseTransferEncoding.find("chunked") != std::string::npos;
    } else if (name == "content-range") {
      std::string first, last;
      if (HttpParseContentRange(value, first, last)) {
        ContentRangeBegin = first;
        ContentRangeEnd = last;
      }
    } else if (name == "accept-ranges") {
      acceptRanges_ = value;
    } else if (name == "content-type") {
      ResponseContentType = Lower(value);
    } else if (name == "www-authenticate") {
      wwwAuthLines_.push_back(value);
    } else if (name == "proxy-authenticate") {
      proxyAuthLines_.push_back(value);
    } else if (name == "set-cookie") {
      bool accept = true;
      if (OnCookie) OnCookie(this, value, accept);
    } else if (name == "connection" || name == "proxy-connection") {
      std::string v = Lower(value);
      if (v == "close")
        CloseRequested = true;
      else if (v == "keep-alive")
        CloseRequested = false;
    } else if (name == "content-encoding") {
      ResponseContentEncoding = value;
    }
  }
  ResponseHeader.push_back(line);
  if (OnHeaderData) OnHeaderData(this);
}

void THttpCli::HeaderEnds() {
  if (ResponseStatus == 100 && ServerVersion == "1.1") {
    // An interim answer: the real one follows.
    statusSeen_ = false;
    return;
  }
  if (OnHeaderEnd) OnHeaderEnd(this);
  if (state_ == httpWaitingProxyConnect && HttpProxyConnectAccepted(statusLine_)) {
    // A proxy that answers "200 OK" with a body of its own did not open a
    // tunnel: that answer is the result.
    bool plainAnswer = (statusLine_ == "HTTP/1.1 200 OK" || statusLine_ == "HTTP/1.0 200 OK") &&
                       ResponseLength > 0;
    if (!plainAnswer) {
      StartTunnelTls();
      return;
    }
  }
  bool noBody = (ResponseLength == -1 && !chunked_ &&
                 (ResponseStatus < 200 || ResponseStatus == 204 || ResponseStatus == 301 ||
                  ResponseStatus == 302 || ResponseStatus == 304)) ||
                ResponseLength == 0 || requestType_ == httpHEAD;
  if (noBody) {
    answerComplete_ = true;
    SetState(httpBodyReceived);
    RequestEnds();
    return;
  }
  StartBody();
}

void THttpCli::StartBody() {
  if (ResponseContentType.rfind("text/html", 0) == 0) {
    std::size_t dot = DocumentName.rfind('.');
    std::string ext = dot == std::string::npos ? "" : Lower(DocumentName.substr(dot));
    if (ext.empty() || ext == ".exe")
      DocumentName = (dot == std::string::npos ? DocumentName : DocumentName.substr(0, dot)) + ".htm";
  }
  SetState(httpWaitingBody);
  bodyReceived_ = 0;
  chunks_.Reset();
  contCoding_->SetupDecoders(ResponseContentEncoding);
  if (OnDocBegin) OnDocBegin(this);
}

void THttpCli::ReceiveBody() {
  const char* p = rcv_.data() + rcvPos_;
  std::size_t n = rcv_.size() - rcvPos_;
  if (chunked_) {
    std::size_t used = 0;
    auto r = chunks_.Feed(p, n, used, [this](const char* d, std::size_t l) { WriteBody(d, l); });
    rcvPos_ += used;
    if (state_ != httpWaitingBody) return;  // ended from a data handler
    if (r == THttpChunkDecoder::chunkError) {
      DropConnection();
      Fail(httperrBadChunk, "HTTP chunk size invalid");
    } else if (r == THttpChunkDecoder::chunkDone) {
      BodyEnds();
    }
    return;
  }
  std::size_t take = n;
  if (ResponseLength >= 0)
    take = std::size_t(std::min<std::int64_t>(std::int64_t(n), ResponseLength - bodyReceived_));
  rcvPos_ += take;
  WriteBody(p, take);
  if (state_ == httpWaitingBody && ResponseLength >= 0 && bodyReceived_ >= ResponseLength)
    BodyEnds();
}

void THttpCli::WriteBody(const char* data, std::size_t len) {
  if (len == 0 || state_ != httpWaitingBody) return;
  if (MaxBodySize >= 0 && bodyReceived_ + std::int64_t(len) > MaxBodySize) {
    // An endless or oversized body ends here, not in exhausted memory.
    DropConnection();
    Fail(httperrBodyTooLarge,
         "HTTP body larger than " + std::to_string(MaxBodySize) + " bytes: request ended");
    return;
  }
  bodyReceived_ += std::int64_t(len);
  contCoding_->WriteBuffer(data, int(len));
}

void THttpCli::TriggerDocData(const void* data, int len) {
  if (OnDocData) OnDocData(this, data, len);
}

void THttpCli::BodyEnds() {
  contCoding_->FinishDecoding();
  SetState(httpBodyReceived);
  answerComplete_ = true;
  if (OnDocEnd) OnDocEnd(this);
  Log("Document received, " + std::to_string(bodyReceived_) + " bytes");
  if (state_ == httpBodyReceived) RequestEnds();
}

// ---------------------------------------------------------------------------
// Tunnel through the proxy

void THttpCli::StartTunnelTls() {
  rcv_.clear();
  rcvPos_ = 0;
  ResetAnswer();
  SetState(httpConnected);
  tunnelHandshake_ = true;
  socket_->SslEnable = true;
  socket_->SslServerName = targetHost_;
  try {
    socket_->StartSslHandshake();
  } catch (const std::exception&) {
    tunnelHandshake_ = false;
    DropConnection();
    Fail(httperrAborted, "SSL handshake failed", 404);
  }
}

void THttpCli::SocketHandshakeDone(WORD error) {
  bool tunnel = tunnelHandshake_;
  tunnelHandshake_ = false;
  if (state_ == httpReady || state_ == httpAborting || state_ == httpClosing) return;
  if (error) {
    DropConnection();
    Fail(httperrAborted, "SSL handshake failed", 404);
    return;
  }
  if (!tunnel) return;
  tunnelled_ = true;
  Connected();
}

// ---------------------------------------------------------------------------
// Closing

void THttpCli::SocketSessionClosed(WORD error) {
  peerClosed_ = true;
  if (OnSessionClosed) OnSessionClosed(this, error);
  connectedKey_.clear();
  tunnelled_ = false;
  if (dropping_) return;
  if (state_ == httpClosing) {
    FinishRequest();
    return;
  }
  if (restartOnClose_) {
    restartOnClose_ = false;
    PostRestart(restartKind_);
    return;
  }
  if (state_ == httpReady || state_ == httpAborting || answerComplete_) return;
  if (state_ == httpWaitingBody) {
    if (chunked_)
      Fail(httperrBodyIncomplete, "HTTP chunked body incomplete (connection closed prematurely)");
    else if (ResponseLength >= 0 && bodyReceived_ < ResponseLength)
      Fail(httperrBodyIncomplete, "HTTP body incomplete (connection closed prematurely)");
    else if (socket_->SslClosedWithoutNotify())
      // A TLS stream cut without its close-notify may have lost its tail:
      // the close cannot vouch for the end of the body.
      Fail(httperrBodyIncomplete, "HTTP body incomplete (TLS connection closed without close-notify)");
    else
      BodyEnds();  // the close delimits the body
    return;
  }
  if (errorSeen_) return;
  if (error) {
    Fail(error, ErrorWithCode(SocketErrorText(error), error), 404);
  } else if (!statusSeen_) {
    Fail(httperrNoStatusCode, "HTTP no status code (connection closed prematurely)");
  } else {
    Fail(httperrBodyIncomplete, "HTTP header incomplete (connection closed prematurely)");
  }
}

void THttpCli::DropConnection() {
  connectedKey_.clear();
  tunnelled_ = false;
  tunnelHandshake_ = false;
  if (socket_->State() == wsClosed) return;
  dropping_ = true;
  try {
    socket_->Abort();
  } catch (...) {
  }
  dropping_ = false;
}

bool THttpCli::ConnectionOpen() const {
  // The socket reports the far end's close before it is closed itself.
  return socket_->State() != wsClosed && !peerClosed_;
}

void THttpCli::CloseConnectionDeferred() {
  connectedKey_.clear();
  platform::PostMessage(Handle(), msgInternalDone_, kInternalCloseConnection, connectionSerial_);
}

// ---------------------------------------------------------------------------
// End of an answer: relocation, authentication, done

void THttpCli::RequestEnds() {
  if (sendingBody_) {
    if (ResponseStatus == 401 || ResponseStatus == 407) {
      endAfterSend_ = true;
      return;
    }
    sendingBody_ = false;
  }
  if (locationPending_ && StartRelocation()) return;
  if ((ResponseStatus == 401 || ResponseStatus == 407) && StartAuthRetry()) return;
  FinishRequest();
}

bool THttpCli::StartRelocation() {
  locationPending_ = false;
  ++LocationChangeCurCount;
  if (LocationChangeCurCount > LocationChangeMaxCount) {
    bool allowMore = false;
    if (OnLocationChangeExceeded) OnLocationChangeExceeded(this, LocationChangeCurCount, allowMore);
    if (!allowMore) {
      Fail(httperrTooManyRelocations, "Too many relocations");
      return true;
    }
  }
  CutBackResponseBody();
  const std::string oldKey = ConnectionKey();
  URL = newUrl_;
  if (OnLocationChange) OnLocationChange(this);
  // 307 and 308 repeat the request as it was; the others fetch the new
  // place with GET.
  if (ResponseStatus == 307 || ResponseStatus == 308) {
    if (RequestBody && bodySent_ > 0) RequestBody->Seek(-bodySent_, TSeekOrigin::soCurrent);
  } else if (requestType_ == httpPOST) {
    requestType_ = httpGET;
  }
  bodySent_ = 0;
  for (TAuthSide* side : std::initializer_list<TAuthSide*>{&serverAuth_, &proxyAuth_}) {
    side->Scheme = httpAuthNone;
    side->Step = authNone;
  }
  // Where does the new URL lead?  Prepared again on the restart.
  std::string proto, user, pass, host, port, path = path_;
  SplitUrl(URL, proto, user, pass, host, port, path);
  if (proto.empty()) proto = "http";
  if (port.empty()) port = proto == "https" ? "443" : "80";
  bool sameConnection = KeyFor(proto, host, port) == oldKey;
  restartKind_ = kRestartRelocation;
  if ((!sameConnection || CloseRequested) && ConnectionOpen()) {
    restartOnClose_ = true;
    CloseConnectionDeferred();
  } else {
    PostRestart(kRestartRelocation);
  }
  return true;
}

bool THttpCli::StartAuthRetry() {
  if (!TryAuth(ResponseStatus == 407)) return false;
  CutBackResponseBody();
  if (RequestBody && bodySent_ > 0) RequestBody->Seek(-bodySent_, TSeekOrigin::soCurrent);
  bodySent_ = 0;
  restartKind_ = kRestartAuth;
  if (CloseRequested && ConnectionOpen()) {
    restartOnClose_ = true;
    CloseConnectionDeferred();
  } else {
    PostRestart(kRestartAuth);
  }
  return true;
}

bool THttpCli::TryAuth(bool proxy) {
  TAuthSide& side = proxy ? proxyAuth_ : serverAuth_;
  const std::string& user = proxy ? ProxyUsername : curUser_;
  const std::string& pass = proxy ? ProxyPassword : curPass_;
  if (user.empty() || pass.empty()) return false;
  const std::vector<std::string>& lines = proxy ? proxyAuthLines_ : wwwAuthLines_;
  const THttpAuthType chosen = proxy ? ProxyAuth : ServerAuth;

  if (side.Scheme == httpAuthNtlm && side.Step == authStarted) {
    // The type 2 challenge to our type 1: answer with type 3.
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
      if (!StartsNoCase(*it, "NTLM ") || it->size() <= 5) continue;
      std::string msg3 = side.Auth.NtlmAuthenticate(it->substr(5), user, pass, "");
      if (msg3.empty()) return false;
      side.NtlmMessage = msg3;
      side.Step = authFinal;
      return true;
    }
    return false;
  }
  if (side.Step != authNone) return false;  // the scheme tried was refused: final

  for (THttpAuthType scheme : {httpAuthNtlm, httpAuthDigest, httpAuthBasic}) {
    THttpCliOption suppress = scheme == httpAuthNtlm     ? httpoNoNTLMAuth
                              : scheme == httpAuthDigest ? httpoNoDigestAuth
                                                         : httpoNoBasicAuth;
    if (options_.Contains(suppress) && chosen == scheme) continue;
    const std::string name = AuthName(scheme);
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
      const std::string& line = *it;
      if (!StartsNoCase(line, name)) continue;
      if (line.size() > name.size() && line[name.size()] != ' ' && line[name.size()] != ',')
        continue;
      bool allow = true;
      if (OnBeforeAuth) OnBeforeAuth(this, scheme, proxy, line, allow);
      if (!allow) continue;
      if (scheme == httpAuthDigest &&
          (line.size() <= 7 || !side.Auth.DigestParseChallenge(line.substr(7))))
        continue;
      Log(std::string("Starting ") + name + " authentication");
      side.Scheme = scheme;
      side.NtlmMessage.clear();
      if (scheme == httpAuthNtlm) {
        side.Step = authStarted;
        std::string& conn = proxy ? curProxyConnection_ : curConnection_;
        if (requestVer_ == "1.0" || ServerVersion.empty() || ServerVersion == "1.0")
          conn = "Keep-alive";
      } else {
        side.Step = authFinal;
      }
      return true;
    }
  }
  return false;
}

void THttpCli::PostRestart(int kind) {
  platform::PostMessage(Handle(), msgRestart_, WPARAM(kind), LPARAM(requestSerial_));
}

void THttpCli::Restart(int kind) {
  if (kind == kRestartRelocation) {
    PrepareRequest();
  } else {
    ResetAnswer();
  }
  Connect();
}

void THttpCli::Fail(int error, const std::string& reason, int status) {
  errorSeen_ = true;
  RequestDoneError = error;
  ResponseReason = reason;
  if (status) ResponseStatus = status;
  locationPending_ = false;
  restartOnClose_ = false;
  FinishRequest();
}

void THttpCli::FinishRequest() {
  if (state_ == httpReady) return;
  sendingBody_ = false;
  endAfterSend_ = false;
  if (CloseRequested && ConnectionOpen()) CloseConnectionDeferred();
  SetState(httpReady);
  PostDone();
}

void THttpCli::PostDone() {
  platform::PostMessage(Handle(), msgRequestDone_, WPARAM(requestType_), LPARAM(RequestDoneError));
}

// ---------------------------------------------------------------------------
// Abort and blocking use

void THttpCli::Abort() {
  if (state_ == httpReady) {
    ResponseStatus = 200;
    ResponseReason = "OK";
    RequestDoneError = 0;
    if (OnRequestDone) OnRequestDone(this, httpABORT, 0);
    return;
  }
  StopRequest(httperrAborted, "Connection aborted on request");
  PostDone();
}

void THttpCli::StopRequest(int error, const std::string& reason) {
  SetState(httpAborting);
  ++requestSerial_;  // a restart on its way is void
  try {
    socket_->CancelLookup();
  } catch (...) {
  }
  ResponseStatus = 404;
  ResponseReason = reason;
  RequestDoneError = error;
  errorSeen_ = true;
  locationPending_ = false;
  restartOnClose_ = false;
  sendingBody_ = false;
  endAfterSend_ = false;
  DropConnection();
  SetState(httpReady);
}

void THttpCli::RunRequestBlocking(THttpRequest request) {
  StartRequest(request);
  if (!socket_->Counter()) socket_->NewCounter();
  if (socket_->Counter()) socket_->Counter()->LastSendTick = platform::GetTickCount();
  socket_->WaitTimeout = 1000;
  const DWORD started = platform::GetTickCount();
  while (state_ != httpReady) {
    socket_->WaitForDoneFlag(readyFlag_);
    if (state_ == httpReady) break;
    DWORD now = platform::GetTickCount();
    TWSocketCounter* c = socket_->Counter();
    DWORD newest = c ? c->NewestActivityTick() : now;
    const bool overTotal =
        TotalTimeout > 0 && NetTickDiff(started, now) >= DWORD(TotalTimeout) * 1000u;
    if (!IsTerminated() && !overTotal && NetTickDiff(newest, now) < DWORD(Timeout) * 1000u)
      continue;
    if (IsTerminated())
      StopRequest(httperrAborted, "Request aborted");
    else if (overTotal)
      StopRequest(httperrCustomTimeOut, "Request aborted: it took longer than " +
                                            std::to_string(TotalTimeout) + " seconds");
    else
      StopRequest(httperrCustomTimeOut, "Request aborted on timeout");
  }
  if (RequestDoneError != 0) throw EHttpException(ResponseReason, RequestDoneError);
  if (ResponseStatus >= 400) throw EHttpException(ResponseReason, ResponseStatus);
}

void THttpCli::Post() {
  LocationChangeCurCount = 0;
  RunRequestBlocking(httpPOST);
}

}  // namespace yux::net
