#include "net/socket/socks.h"

#include <cctype>
#include <cstring>
#include <typeinfo>

#include "net/socket/neterrors.h"
#include "net/socket/netexceptions.h"
#include "net/socket/netresolve.h"

namespace yux::net {

namespace {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

}  // namespace

TCustomSocksWSocket::TCustomSocksWSocket() {
  SocksUsercode.clear();
  SocksPassword.clear();
  TCustomSocksWSocket::ResetToDefaults();
}

void TCustomSocksWSocket::ResetToDefaults() {
  TCustomHttpTunnelWSocket::ResetToDefaults();
  socksState_ = 0;
  socksServer_.clear();
  socksPort_.clear();
  socksLevel_ = "5";
  rcvCnt_ = 0;
  socksServerAssigned_ = false;
  socksPortAssigned_ = false;
}

void TCustomSocksWSocket::SetSocksLevel(const std::string& v) {
  if (state_ != wsClosed) {
    RaiseSocketException("Can't change socks level if not closed");
    return;
  }
  if (v != "4" && v != "5" && v != "4A" && v != "4a") {
    RaiseSocketException("Invalid socks level. Must be 4, 4A or 5.");
    return;
  }
  socksLevel_ = v == "4a" ? "4A" : v;
}

void TCustomSocksWSocket::SetSocksPort(const std::string& v) {
  if (state_ != wsClosed) {
    RaiseSocketException("Can't change socks port if not closed");
    return;
  }
  socksPort_ = Trim(v);
  socksPortAssigned_ = !socksPort_.empty();
}

void TCustomSocksWSocket::SetSocksServer(const std::string& v) {
  if (state_ != wsClosed) {
    RaiseSocketException("Can't change socks server if not closed");
    return;
  }
  socksServer_ = Trim(v);
  socksServerAssigned_ = !socksServer_.empty();
  if (socksServerAssigned_ && HttpTunnelServerAssigned()) {
    socksServer_.clear();
    socksServerAssigned_ = false;
    throw std::runtime_error("Can't use Socks when HTTP proxy is used as well");
  }
}

void TCustomSocksWSocket::Listen() {
  if (socksServerAssigned_) {
    RaiseSocketException("Listening is not supported thru socks server");
    return;
  }
  TCustomHttpTunnelWSocket::Listen();
}

void TCustomSocksWSocket::Connect() {
  if (!socksServerAssigned_) {
    TCustomHttpTunnelWSocket::Connect();
    return;
  }
  std::string p = Trim(protoStr_);
  for (auto& c : p) c = char(std::tolower(static_cast<unsigned char>(c)));
  if (p != "tcp" && p != "6") {
    RaiseSocketException("TCP is the only protocol supported thru socks server");
    return;
  }
  // The requests carry lengths in one byte: longer values cannot be sent
  // and are refused here rather than cut short on the wire.
  bool v5 = socksLevel_ == "5";
  if ((v5 && addr_.size() > 255) ||
      (v5 && SocksAuthentication == socksAuthenticateUsercode &&
       (SocksUsercode.size() > 255 || SocksPassword.size() > 255))) {
    RaiseSocketException("SOCKS: host name, user code or password longer than 255 bytes");
    return;
  }
  if (!v5 && (SocksUsercode.find('\0') != std::string::npos ||
              addr_.find('\0') != std::string::npos)) {
    RaiseSocketException("SOCKS: user code or host name holds a zero byte");
    return;
  }
  try {
    if (!portResolved_) {
      portNum_ = ResolvePortText(socksPort_, "tcp");
      sin.sin_port = WSocket_htons(portNum_);
      portResolved_ = true;
    }
    if (!addrResolved_) {
      sin.sin_addr = ResolveHostText(socksServer_);
      addrResolved_ = true;
    }
    socksDestPort_ = ResolvePortText(portStr_, "tcp");
  } catch (const ESocketException& e) {
    RaiseSocketException(std::string("Connect: ") + e.what());
    return;
  }
  socksState_ = 1;
  rcvCnt_ = 0;
  TCustomHttpTunnelWSocket::Connect();
  if (state_ == wsClosed) socksState_ = 0;
}

void TCustomSocksWSocket::TriggerSocksConnected(WORD error) {
  if (OnSocksConnected) OnSocksConnected(this, error);
}

void TCustomSocksWSocket::TriggerSocksError(int error, const std::string& msg) {
  if (OnSocksError) OnSocksError(this, error, msg);
}

void TCustomSocksWSocket::TriggerSocksAuthState(TSocksAuthState s) {
  if (OnSocksAuthState) OnSocksAuthState(this, s);
}

void TCustomSocksWSocket::SocksError(int code, const std::string& msg) {
  TriggerSocksError(code, msg);
  socksState_ = 0;
  TriggerTcpConnected(WORD(code));
  CloseAndNotify(true, code);
}

void TCustomSocksWSocket::TriggerTcpConnected(WORD error) {
  if (socksState_ != 1) {
    TCustomHttpTunnelWSocket::TriggerTcpConnected(error);
    return;
  }
  TriggerSocksConnected(error);
  if (error != 0) {
    socksState_ = 0;
    TCustomHttpTunnelWSocket::TriggerTcpConnected(error);
    return;
  }
  if (socksLevel_[0] == '4') {
    SendSocksRequest();
    return;
  }
  socksAuthMethod_ = SocksAuthentication == socksAuthenticateUsercode ? 2 : 0;
  std::uint8_t greet[3] = {5, 1, std::uint8_t(socksAuthMethod_)};
  try {
    Send(greet, 3);
  } catch (...) {
  }
}

void TCustomSocksWSocket::SendSocksAuthentication() {
  socksState_ = 2;
  TriggerSocksAuthState(socksAuthStart);
  std::string b;
  b += char(1);
  b += char(SocksUsercode.size());
  b += SocksUsercode;
  b += char(SocksPassword.size());
  b += SocksPassword;
  try {
    Send(b.data(), int(b.size()));
  } catch (...) {
  }
}

void TCustomSocksWSocket::SendSocksRequest() {
  std::string b;
  if (socksLevel_[0] == '4') {
    u_long a;
    if (socksLevel_ == "4A") {
      a = WSocket_htonl(1);  // 0.0.0.1: the server resolves the name
    } else {
      try {
        a = ResolveHostText(addr_);
      } catch (const std::exception& e) {
        // Through the common failure path: the negotiation state ends
        // before the close, which would otherwise report a second error.
        SocksError(20017, std::string("ESocketException ") + e.what());
        return;
      }
    }
    b += char(4);
    b += char(1);
    b += char(socksDestPort_ >> 8);
    b += char(socksDestPort_ & 0xFF);
    b.append(reinterpret_cast<const char*>(&a), 4);
    b += SocksUsercode;
    b += char(0);
    if (socksLevel_ == "4A") {
      b += addr_;
      b += char(0);
    }
  } else {
    b += char(5);
    b += char(1);
    b += char(0);
    b += char(3);
    b += char(addr_.size());
    b += addr_;
    b += char(socksDestPort_ >> 8);
    b += char(socksDestPort_ & 0xFF);
  }
  socksState_ = 3;
  rcvCnt_ = 0;
  try {
    Send(b.data(), int(b.size()));
  } catch (...) {
  }
}

bool TCustomSocksWSocket::ReadReply(int upTo) {
  if (upTo > int(sizeof rcvBuf_) - 1) upTo = int(sizeof rcvBuf_) - 1;
  while (rcvCnt_ < upTo) {
    int n = TCustomHttpTunnelWSocket::DoRecv(rcvBuf_ + rcvCnt_, upTo - rcvCnt_, 0);
    if (n <= 0) break;
    rcvCnt_ += n;
  }
  return rcvCnt_ >= upTo;
}

void TCustomSocksWSocket::SocksGranted(int) {
  socksState_ = 0;
  rcvCnt_ = 0;
  TCustomHttpTunnelWSocket::TriggerTcpConnected(0);
  if (hSocket_ == INVALID_SOCKET) return;
  // Data the far end sent right behind the reply.
  u_long n = 0;
  if (WSocket_ioctlsocket(hSocket_, FIONREAD, &n) == 0 && n > 0) TriggerDataAvailable(0);
}

bool TCustomSocksWSocket::TriggerDataAvailable(WORD error) {
  if (socksState_ == 0) return TCustomHttpTunnelWSocket::TriggerDataAvailable(error);
  if (error != 0) {
    SocksError(error, "data receive error");
    return true;
  }
  if (socksState_ == 1) {
    if (socksLevel_[0] != '5') {
      SocksError(20001, "TWSocket logic error");
      return true;
    }
    if (!ReadReply(2)) return true;
    rcvCnt_ = 0;
    if (rcvBuf_[0] != 5) {
      SocksError(20002, "socks version error");
      return true;
    }
    if (rcvBuf_[1] == 0) {
      if (socksAuthMethod_ != 0) TriggerSocksAuthState(socksAuthNotRequired);
      SendSocksRequest();
    } else if (rcvBuf_[1] == 2) {
      SendSocksAuthentication();
    } else {
      SocksError(20003, "authentification method not acceptable");
    }
    return true;
  }
  if (socksState_ == 2) {
    if (!ReadReply(2)) return true;
    if (rcvBuf_[0] != 1 || rcvBuf_[1] != 0) {
      TriggerSocksAuthState(socksAuthFailure);
      SocksError(20015, "socks authentication failed");
      return true;
    }
    rcvCnt_ = 0;
    TriggerSocksAuthState(socksAuthSuccess);
    SendSocksRequest();
    return true;
  }
  if (socksState_ == 3) {
    if (socksLevel_[0] == '4') {
      if (!ReadReply(8)) return true;
      if (rcvBuf_[0] != 0) {
        SocksError(20002, "socks version error");
        return true;
      }
      switch (rcvBuf_[1]) {
        case 90: SocksGranted(8); break;
        case 91: SocksError(20016, "request rejected or failed"); break;
        case 92: SocksError(20008, "connection refused"); break;
        case 93: SocksError(20015, "authentification failed"); break;
        default: SocksError(20012, "unassigned error #" + std::to_string(rcvBuf_[1]));
      }
      return true;
    }
    if (!ReadReply(2)) return true;  // version and reply code decide first
    if (rcvBuf_[0] != 5) {
      SocksError(20002, "socks version error");
      return true;
    }
    if (rcvBuf_[1] != 0) {
      static const char* texts[] = {nullptr,
                                    "general SOCKS server failure",
                                    "connection not allowed by ruleset",
                                    "network unreachable",
                                    "host unreachable",
                                    "connection refused",
                                    "time to live expired",
                                    "command not supported",
                                    "address type not supported"};
      int c = rcvBuf_[1];
      if (c >= 1 && c <= 8)
        SocksError(20003 + c, texts[c]);
      else
        SocksError(20012, "unassigned error #" + std::to_string(c));
      return true;
    }
    if (!ReadReply(5)) return true;
    int len;
    if (rcvBuf_[3] == 1)
      len = 10;
    else if (rcvBuf_[3] == 3)
      len = rcvBuf_[4] + 7;
    else {
      SocksError(20011, "address type not supported");
      return true;
    }
    if (!ReadReply(len)) return true;
    if (rcvBuf_[3] == 1) {
      u_long a;
      std::memcpy(&a, rcvBuf_ + 4, 4);
      socksReplyAddr_ = WSocketCounted_inet_ntoa(&a);
      socksReplyPort_ = std::to_string((rcvBuf_[8] << 8) | rcvBuf_[9]);
    } else {
      socksReplyAddr_.assign(reinterpret_cast<const char*>(rcvBuf_ + 5), rcvBuf_[4]);
      socksReplyPort_ = std::to_string((rcvBuf_[len - 2] << 8) | rcvBuf_[len - 1]);
    }
    SocksGranted(len);
    return true;
  }
  SocksError(20013, "internal error");
  return true;
}

void TCustomSocksWSocket::TriggerSessionClosed(WORD error) {
  if (socksState_ == 2) TriggerSocksAuthState(socksAuthFailure);
  if (socksState_ != 0) SocksError(20004, SocksErrorText(20004));
  TCustomHttpTunnelWSocket::TriggerSessionClosed(error);
}

}  // namespace yux::net
