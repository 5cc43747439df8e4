#include "net/socket/httptunnel.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <mutex>

#include "net/socket/neterrors.h"
#include "net/socket/netexceptions.h"
#include "net/socket/netresolve.h"

namespace yux::net {

namespace {

std::mutex g_factoryLock;
THttpTunnelAuthenticatorFactory g_factory;

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

bool StartsNoCase(const std::string& s, const char* prefix) {
  size_t n = std::strlen(prefix);
  if (s.size() < n) return false;
  for (size_t i = 0; i < n; ++i)
    if (std::tolower(static_cast<unsigned char>(s[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i])))
      return false;
  return true;
}

std::string AfterColon(const std::string& line) {
  size_t p = line.find(':');
  if (p == std::string::npos) return {};
  ++p;
  while (p < line.size() && (line[p] == ' ' || line[p] == '\t')) ++p;
  return line.substr(p);
}

std::string Base64(const std::string& in) {
  static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
    out += t[v >> 18];
    out += t[(v >> 12) & 63];
    out += t[(v >> 6) & 63];
    out += t[v & 63];
  }
  if (i + 1 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16;
    out += t[v >> 18];
    out += t[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
    out += t[v >> 18];
    out += t[(v >> 12) & 63];
    out += t[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

}  // namespace

void SetHttpTunnelAuthenticatorFactory(THttpTunnelAuthenticatorFactory factory) {
  std::lock_guard<std::mutex> lk(g_factoryLock);
  g_factory = std::move(factory);
}

TCustomHttpTunnelWSocket::TCustomHttpTunnelWSocket() {
  HttpTunnelBufferSize = 1024;
  TCustomHttpTunnelWSocket::ResetToDefaults();
}

TCustomHttpTunnelWSocket::~TCustomHttpTunnelWSocket() { ReleaseWindowOnce(); }

IHttpTunnelAuthenticator* TCustomHttpTunnelWSocket::Auth() {
  if (!auth_) {
    std::lock_guard<std::mutex> lk(g_factoryLock);
    if (g_factory) auth_ = g_factory();
  }
  return auth_.get();
}

// ---- Properties ----

void TCustomHttpTunnelWSocket::ResetWorkingType() {
  workType_ = authType_;
  digestAccepted_ = false;
  digestChallengeValid_ = false;
}

void TCustomHttpTunnelWSocket::SetHttpTunnelAuthType(THttpTunnelAuthType v) {
  if (state_ != wsClosed) {
    RaiseSocketException("Can't change HTTP proxy authentication if not closed");
    return;
  }
  authType_ = v;
  ResetWorkingType();
}

void TCustomHttpTunnelWSocket::SetHttpTunnelPassword(const std::string& v) {
  if (state_ != wsClosed) {
    RaiseSocketException("Can't change HTTP proxy password if not closed");
    return;
  }
  if (v != password_) ResetWorkingType();
  password_ = v;
}

void TCustomHttpTunnelWSocket::SetHttpTunnelUsercode(const std::string& v) {
  if (state_ != wsClosed) {
    RaiseSocketException("Can't change HTTP proxy usercode if not closed");
    return;
  }
  if (v != usercode_) ResetWorkingType();
  usercode_ = v;
}

void TCustomHttpTunnelWSocket::SetHttpTunnelPort(const std::string& v) {
  if (state_ != wsClosed) {
    RaiseSocketException("Can't change HTTP proxy port if not closed");
    return;
  }
  std::string t = Trim(v);
  if (t != tunnelPort_) ResetWorkingType();
  tunnelPort_ = t;
  tunnelPortAssigned_ = !t.empty();
}

void TCustomHttpTunnelWSocket::SetHttpTunnelServer(const std::string& v) {
  if (state_ != wsClosed) {
    RaiseSocketException("Can't change HTTP proxy if not closed");
    return;
  }
  std::string t = Trim(v);
  if (t != tunnelServer_) ResetWorkingType();
  tunnelServer_ = t;
  tunnelServerAssigned_ = !t.empty();
  if (tunnelServerAssigned_ && SocksInUse()) {
    tunnelServer_.clear();
    tunnelServerAssigned_ = false;
    throw std::runtime_error("Can't use HTTP proxy when Socks is used as well");
  }
}

// ---- Messages ----

void TCustomHttpTunnelWSocket::AllocateMessageNumbers() {
  TCustomWSocket::AllocateMessageNumbers();
  msgReconnect_ = AllocateMessage();
}

void TCustomHttpTunnelWSocket::FreeMessageNumbers() {
  TCustomWSocket::FreeMessageNumbers();
  ReleaseMessage(msgReconnect_);
}

void TCustomHttpTunnelWSocket::HandleWindowMessage(TMessage& msg) {
  if (msgReconnect_ && msg.Msg == msgReconnect_) {
    try {
      if (reconnectMode_ != 0) {
        Connect();
      } else {
        replyText_ = "THttpTunnelWSocket - Fatal: Internal error in WMHttpTunnelReconnect";
        TunnelError(status_);
      }
    } catch (const std::exception& e) {
      ProcessBgException(e);
    }
    return;
  }
  TCustomWSocket::HandleWindowMessage(msg);
}

// ---- Defaults ----

void TCustomHttpTunnelWSocket::ResetRequest() {
  status_ = 21000;
  keepAlive_ = true;
  contentLength_ = 0;
  http10_ = false;
  bufCnt_ = 0;
  bufOffset_ = 0;
  skipBody_ = false;
  firstLine_ = true;
  chunked_ = false;
  replyText_.clear();
  reconnectMode_ = 0;
  digestAccepted_ = false;
}

void TCustomHttpTunnelWSocket::ResetToDefaults() {
  if (reconnectMode_ != 0) {
    // Reconnecting: keep the resolved proxy address and the settings.
    hSocket_ = INVALID_SOCKET;
    selectEvent_ = 0;
    state_ = wsClosed;
    allSent_ = true;
    paused_ = false;
    closeInvoked_ = false;
  } else {
    TCustomWSocket::ResetToDefaults();
  }
  tunnelState_ = 0;
  bufCnt_ = 0;
  bufOffset_ = 0;
}

void TCustomHttpTunnelWSocket::RaiseSocketException(const std::string& text) {
  ResetRequest();
  TCustomWSocket::RaiseSocketException(text);
}

// ---- Connect ----

void TCustomHttpTunnelWSocket::Listen() {
  if (tunnelServerAssigned_) {
    RaiseSocketException("Listening is not supported thru HTTP proxy servers");
    return;
  }
  TCustomWSocket::Listen();
}

void TCustomHttpTunnelWSocket::Connect() {
  if (!tunnelServerAssigned_) {
    TCustomWSocket::Connect();
    return;
  }
  std::string p = Trim(protoStr_);
  for (auto& c : p) c = char(std::tolower(static_cast<unsigned char>(c)));
  if (p != "tcp" && p != "6") {
    RaiseSocketException("TCP is the only protocol supported by HTTP proxies");
    return;
  }
  try {
    if (!portResolved_) {
      portNum_ = ResolvePortText(tunnelPort_, "tcp");
      sin.sin_port = WSocket_htons(portNum_);
      portResolved_ = true;
    }
    if (!addrResolved_) {
      sin.sin_addr = ResolveHostText(tunnelServer_);
      addrResolved_ = true;
    }
    destPort_ = ResolvePortText(portStr_, "tcp");
  } catch (const ESocketException& e) {
    RaiseSocketException(std::string("Connect: ") + e.what());
    return;
  }
  closedByServer_ = false;
  bufCnt_ = bufOffset_ = 0;
  offered_ = 0;
  replyText_.clear();
  status_ = 21000;
  buf_.assign(size_t(std::max(HttpTunnelBufferSize, 64)), 0);
  if (reconnectMode_ == 0) triedCredentials_ = false;
  tunnelState_ = 1;
  TCustomWSocket::Connect();
}

void TCustomHttpTunnelWSocket::TriggerTcpConnected(WORD error) {
  if (tunnelState_ != 1) {
    TCustomWSocket::TriggerTcpConnected(error);
    return;
  }
  if (error != 0) {
    tunnelState_ = 0;
    reconnectMode_ = 0;
    TCustomWSocket::TriggerTcpConnected(error);
    return;
  }
  tunnelState_ = 2;
  if (OnHttpTunnelConnected) OnHttpTunnelConnected(this, error);
  if (hSocket_ == INVALID_SOCKET) return;
  switch (reconnectMode_) {
    case 1: SendBasic(); return;
    case 2: SendDigest(); return;
    case 3: SendNtlmNegotiate(); return;
    default: break;
  }
  if (usercode_.empty())
    workType_ = htatNone;
  else if (authType_ != htatDetect)
    workType_ = authType_;
  switch (workType_) {
    case htatBasic: SendBasic(); break;
    case htatDigest:
      if (digestAccepted_ && Auth())
        SendDigest();
      else
        SendPlain();
      break;
    case htatNtlm:
      if (Auth())
        SendNtlmNegotiate();
      else
        SendPlain();
      break;
    default: SendPlain(); break;
  }
}

// ---- Requests ----

std::string TCustomHttpTunnelWSocket::RequestStart() const {
  std::string hp = addr_ + ":" + std::to_string(destPort_);
  // HTTP/1.1 requires a Host header on every request.
  return "CONNECT " + hp + " HTTP/1.1\r\nHost: " + hp;
}

void TCustomHttpTunnelWSocket::SendPlain() {
  ResetRequest();
  tunnelState_ = 3;
  SendString(RequestStart() + "\r\nProxy-Connection: Keep-Alive\r\n\r\n");
}

void TCustomHttpTunnelWSocket::SendBasic() {
  ResetRequest();
  workType_ = htatBasic;
  tunnelState_ = 4;
  triedCredentials_ = true;
  SendString(RequestStart() + "\r\nProxy-Authorization: Basic " +
             Base64(usercode_ + ":" + password_) + "\r\n\r\n");
}

void TCustomHttpTunnelWSocket::SendDigest() {
  ResetRequest();
  workType_ = htatDigest;
  tunnelState_ = 5;
  triedCredentials_ = true;
  std::string v = Auth() ? Auth()->DigestAuthorization(usercode_, password_, "CONNECT", "/") : "";
  SendString(RequestStart() + "\r\nProxy-Authorization: Digest " + v + "\r\n\r\n");
}

void TCustomHttpTunnelWSocket::SendNtlmNegotiate() {
  ResetRequest();
  workType_ = htatNtlm;
  tunnelState_ = 4;
  std::string s = RequestStart() + "\r\nProxy-Authorization: NTLM " +
                  (Auth() ? Auth()->NtlmNegotiate() : std::string());
  if (!ComponentOptions.Contains(wsoNoHttp10Tunnel)) s += "\r\nProxy-Connection: Keep-Alive";
  SendString(s + "\r\n\r\n");
}

void TCustomHttpTunnelWSocket::SendNtlmAuthenticate() {
  std::string challenge = ntlmChallenge_;
  ResetRequest();
  tunnelState_ = 5;
  triedCredentials_ = true;
  std::string ws;
  try {
    ws = LocalComputerName();
  } catch (...) {
  }
  std::string v =
      Auth() ? Auth()->NtlmAuthenticate(challenge, usercode_, password_, ws) : std::string();
  SendString(RequestStart() + "\r\nProxy-Authorization: NTLM " + v + "\r\n\r\n");
}

// ---- The reply ----

void TCustomHttpTunnelWSocket::TunnelError(int code) {
  if (code < 599) code += 21000;
  if (OnHttpTunnelError) OnHttpTunnelError(this, WORD(code), offered_, replyText_);
  tunnelState_ = 0;
  reconnectMode_ = 0;
  workType_ = authType_;
  TriggerSessionConnected(WORD(code));
  CloseAndNotify(true, code);
}

bool TCustomHttpTunnelWSocket::HandleHeaderLine(const std::string& line) {
  if (LogOptionActive(TLogOption::loWsockDump)) LogDebug(TLogOption::loWsockDump, line);
  if (line.empty()) {
    if (contentLength_ > 0 || chunked_) {
      skipBody_ = true;
      chunkState_ = 0;
      chunkSize_ = chunkConsumed_ = 0;
    }
    return true;  // the caller evaluates the reply once it is complete
  }
  if (firstLine_) {
    firstLine_ = false;
    if (line.size() <= 11 || line.compare(0, 7, "HTTP/1.") != 0) {
      replyText_ = line;
      TunnelError(21000);
      return false;
    }
    chunked_ = false;
    if (line[7] == '0') {
      http10_ = true;
      if (ComponentOptions.Contains(wsoNoHttp10Tunnel)) {
        replyText_ = "Proxy server must support HTTP/1.1";
        TunnelError(21002);
        return false;
      }
    }
    keepAlive_ = !http10_;
    replyText_ = line;
    size_t p = 8;
    while (p < line.size() && line[p] == ' ') ++p;
    int st = 0, digits = 0;
    while (p < line.size() && std::isdigit(static_cast<unsigned char>(line[p]))) {
      st = st * 10 + (line[p++] - '0');
      if (++digits > 3) break;  // a status has three digits
    }
    if (st < 100 || digits > 3) {
      TunnelError(21000);
      return false;
    }
    status_ = st;
    return true;
  }
  if (line.size() >= 26 && StartsNoCase(line, "Transfer-Encoding:")) {
    chunked_ = StartsNoCase(AfterColon(line), "chunked");
  } else if (line.size() >= 23 && StartsNoCase(line, "Proxy-Connection:")) {
    std::string v = AfterColon(line);
    if (StartsNoCase(v, "keep-alive")) keepAlive_ = true;
    if (StartsNoCase(v, "close")) keepAlive_ = false;
  } else if (line.size() > 15 && StartsNoCase(line, "Content-Length:")) {
    contentLength_ = std::atoll(AfterColon(line).c_str());
  } else if (status_ == 407 && line.size() > 23 && StartsNoCase(line, "Proxy-Authenticate:")) {
    std::string v = AfterColon(line);
    if (v.size() >= 20 && StartsNoCase(v, "Digest")) {
      if (Auth()) {
        digestChallengeValid_ = Auth()->DigestParseChallenge(Trim(v.substr(6)));
        offered_ |= htsatDigest;
      }
    } else if (StartsNoCase(v, "Basic")) {
      offered_ |= htsatBasic;
    } else if (StartsNoCase(v, "NTLM")) {
      if (Auth()) {
        offered_ |= htsatNtlm;
        if (tunnelState_ == 4 && line.size() > 100) ntlmChallenge_ = Trim(v.substr(4));
      }
    }
  }
  return true;
}

bool TCustomHttpTunnelWSocket::EvaluateReply() {
  skipBody_ = false;
  if (status_ == 200) {
    tunnelState_ = 0;
    digestAccepted_ = workType_ == htatDigest;
    TCustomWSocket::TriggerTcpConnected(0);
    return true;
  }
  if (status_ == 407 &&
      (workType_ == htatDetect || workType_ == htatDigest || workType_ == htatNtlm ||
       workType_ == htatNone) &&
      !usercode_.empty()) {
    bool digestOk = (offered_ & htsatDigest) && digestChallengeValid_;
    if (!keepAlive_) {
      int mode = 0;
      // Credentials that were refused once are not tried again: a proxy
      // that closes after each 407 would otherwise be asked for ever.
      if (tunnelState_ == 3 && !triedCredentials_) {
        if (workType_ == htatDetect || workType_ == htatNone) {
          if (offered_ & htsatBasic)
            mode = 1;
          else if (digestOk)
            mode = 2;
          else if (offered_ & htsatNtlm)
            mode = 3;
        } else if (workType_ == htatDigest && digestOk) {
          mode = 2;
        }
      }
      if (mode != 0) {
        reconnectMode_ = mode;
        tunnelState_ = 0;
        status_ = 21000;
        if (!closedByServer_) CloseAndNotify(true, 0);
        return false;
      }
    } else {
      if ((workType_ == htatDetect || workType_ == htatNone) && !triedCredentials_) {
        if (offered_ & htsatBasic) {
          SendBasic();
          return false;
        }
        if (digestOk) {
          SendDigest();
          return false;
        }
        if (offered_ & htsatNtlm) {
          SendNtlmNegotiate();
          return false;
        }
      } else if (workType_ == htatNtlm && tunnelState_ == 4 && (offered_ & htsatNtlm) &&
                 !ntlmChallenge_.empty()) {
        SendNtlmAuthenticate();
        return false;
      } else if (workType_ == htatDigest && (tunnelState_ == 3 || tunnelState_ == 4) &&
                 digestOk) {
        SendDigest();
        return false;
      }
    }
  }
  TunnelError(status_);
  return false;
}

// Skips the reply body; true when it is over (the reply was evaluated).
bool TCustomHttpTunnelWSocket::SkipBody() {
  while (bufOffset_ < bufCnt_) {
    if (!chunked_) {
      std::int64_t take = std::min<std::int64_t>(contentLength_, bufCnt_ - bufOffset_);
      bufOffset_ += int(take);
      contentLength_ -= take;
      if (contentLength_ <= 0) return true;
      continue;
    }
    char c = buf_[size_t(bufOffset_)];
    switch (chunkState_) {
      case 0:  // the size in hex
        if (std::isxdigit(static_cast<unsigned char>(c))) {
          if (chunkSize_ > (std::int64_t(1) << 58)) {
            // No count holds this size: the body cannot be skipped, and the
            // connection cannot carry another request.
            keepAlive_ = false;
            bufOffset_ = bufCnt_;
            return true;
          }
          chunkSize_ = chunkSize_ * 16 + (std::isdigit(static_cast<unsigned char>(c))
                                              ? c - '0'
                                              : std::tolower(c) - 'a' + 10);
          ++bufOffset_;
          break;
        }
        chunkState_ = 1;
        break;
      case 1:  // the rest of the size line
        ++bufOffset_;
        if (c == '\n') {
          chunkConsumed_ = 0;
          chunkState_ = chunkSize_ == 0 ? 3 : 2;
        }
        break;
      case 2: {  // chunk data and its CRLF
        std::int64_t take =
            std::min<std::int64_t>(chunkSize_ + 2 - chunkConsumed_, bufCnt_ - bufOffset_);
        bufOffset_ += int(take);
        chunkConsumed_ += take;
        if (chunkConsumed_ >= chunkSize_ + 2) {
          chunkState_ = 0;
          chunkSize_ = 0;
        }
        break;
      }
      case 3: {  // trailer lines until an empty one
        ++bufOffset_;
        if (c == '\n') {
          if (chunkConsumed_ == 0) {
            chunkState_ = 4;
            return true;
          }
          chunkConsumed_ = 0;
        } else if (c != '\r') {
          ++chunkConsumed_;
        }
        break;
      }
      default: return true;
    }
  }
  return false;
}

void TCustomHttpTunnelWSocket::KeepRest(int from) {
  int rest = bufCnt_ - from;
  if (rest > 0 && from > 0) std::memmove(buf_.data(), buf_.data() + from, size_t(rest));
  bufCnt_ = std::max(rest, 0);
  bufOffset_ = 0;
}

bool TCustomHttpTunnelWSocket::TriggerDataAvailable(WORD error) {
  if (tunnelState_ == 0) return TCustomWSocket::TriggerDataAvailable(error);
  if (tunnelState_ < 3 || tunnelState_ > 5) {
    replyText_ = "THttpTunnelWSocket - Fatal: Invalid state in TriggerDataAvailable";
    TunnelError(status_);
    return true;
  }
  if (error != 0) {
    replyText_ = "THttpTunnelWSocket - DataAvailable error";
    TunnelError(error);
    return true;
  }
  int room = int(buf_.size()) - bufCnt_;
  int n = room > 0 ? TCustomWSocket::DoRecv(buf_.data() + bufCnt_, room, 0) : 0;
  if (n <= 0 && room > 0) return true;
  if (n > 0) bufCnt_ += n;
  for (;;) {
    if (skipBody_) {
      if (!SkipBody()) {
        KeepRest(bufOffset_);
        return true;
      }
    } else {
      char* start = buf_.data() + bufOffset_;
      char* lf = static_cast<char*>(std::memchr(start, '\n', size_t(bufCnt_ - bufOffset_)));
      if (!lf) {
        KeepRest(bufOffset_);
        if (bufCnt_ >= int(buf_.size())) {
          replyText_ = "Received header line too long. Increase HttpTunnelBufferSize.";
          TunnelError(21000);
        }
        return true;
      }
      int len = int(lf - start);
      std::string line(start, size_t(len));
      if (!line.empty() && line.back() == '\r') line.pop_back();
      bufOffset_ += len + 1;
      if (!HandleHeaderLine(line)) return true;  // the reply failed
      if (!line.empty() || skipBody_) continue;
    }
    // The reply is complete.  What follows it stays in the buffer: after a
    // 200 it belongs to the application; a new request empties it.
    KeepRest(bufOffset_);
    // The application's bytes behind a 200 get their FD_READ also when the
    // connect handler raises.
    auto offerRest = [this] {
      if (tunnelState_ == 0 && hSocket_ != INVALID_SOCKET && state_ == wsConnected && bufCnt_ > 0)
        PostSelect(FD_READ, 0);
    };
    try {
      EvaluateReply();
    } catch (...) {
      offerRest();
      throw;
    }
    offerRest();
    return true;
  }
}

int TCustomHttpTunnelWSocket::PendingReceiveCount() {
  if (tunnelState_ == 0 && bufCnt_ - bufOffset_ > 0) return bufCnt_ - bufOffset_;
  return TCustomWSocket::PendingReceiveCount();
}

int TCustomHttpTunnelWSocket::DoRecv(void* buffer, int len, int flags) {
  if (tunnelState_ == 0 && bufCnt_ - bufOffset_ > 0) {
    int avail = bufCnt_ - bufOffset_;
    int n = std::min(len, avail);
    std::memcpy(buffer, buf_.data() + bufOffset_, size_t(n));
    bufOffset_ += n;
    if (bufOffset_ >= bufCnt_) {
      bufCnt_ = bufOffset_ = 0;
    } else if (state_ == wsConnected) {
      PostSelect(FD_READ, 0);
    }
    return n;
  }
  return TCustomWSocket::DoRecv(buffer, len, flags);
}

void TCustomHttpTunnelWSocket::Do_FD_CLOSE(TMessage& msg) {
  closedByServer_ = true;
  TCustomWSocket::Do_FD_CLOSE(msg);
}

void TCustomHttpTunnelWSocket::TriggerSessionClosed(WORD error) {
  if (reconnectMode_ != 0) {
    platform::PostMessage(GetWindowHandle(), msgReconnect_, 0, 0);
    return;
  }
  if (tunnelState_ != 0) {
    replyText_ = SocketErrorText(21001);
    TunnelError(21001);
  }
  TCustomWSocket::TriggerSessionClosed(error);
}

}  // namespace yux::net
