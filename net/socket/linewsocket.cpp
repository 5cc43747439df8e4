#include "net/socket/linewsocket.h"

#include <algorithm>
#include <cstring>

namespace yux::net {

void TCustomLineWSocket::SetLineMode(bool v) {
  if (v == lineMode_) return;
  lineMode_ = v;
  // Out of line mode the rest of a half-read line is plain buffered data;
  // a pending length kept from it would later hand out bytes that are gone.
  if (!v) lineLength_ = 0;
  if ((rcvCnt_ > 0 || lineLength_ > 0) && MsgLineRedeliver())
    platform::PostMessage(GetWindowHandle(), MsgLineRedeliver(), 0, 0);
}

void TCustomLineWSocket::HandleWindowMessage(TMessage& msg) {
  if (MsgLineRedeliver() && msg.Msg == MsgLineRedeliver()) {
    try {
      int passesWithoutLine = 0;
      while (rcvCnt_ > 0) {
        size_t before = rcvCnt_;
        lineFound_ = false;
        TriggerDataAvailable(0);
        if (lineMode_ && !lineFound_ && ++passesWithoutLine > 3) break;
        if (rcvCnt_ == before && (!lineMode_ || !lineFound_)) break;  // nothing was taken
      }
    } catch (const std::exception& e) {
      ProcessBgException(e);
    }
    return;
  }
  TCustomSslWSocket::HandleWindowMessage(msg);
}

void TCustomLineWSocket::TriggerLineLimitExceeded(int rcvdLength, bool& clearData) {
  if (OnLineLimitExceeded) OnLineLimitExceeded(this, rcvdLength, clearData);
}

int TCustomLineWSocket::SendLine(const std::string& s) {
  // An empty line is a line too: its line end is sent.
  PutTextInSendBuffer(s);
  if (SendString(LineEnd) < 0) return -1;
  return int(s.size() + LineEnd.size());
}

int TCustomLineWSocket::PendingReceiveCount() {
  if (lineMode_) return lineLength_;
  return TCustomSslWSocket::PendingReceiveCount();
}

void TCustomLineWSocket::Consume(int n) {
  if (n <= 0) return;
  size_t k = std::min(size_t(n), rcvCnt_);
  std::memmove(rcvBuf_.data(), rcvBuf_.data() + k, rcvCnt_ - k);
  rcvCnt_ -= k;
  if (rcvBuf_.size() > rcvCnt_) rcvBuf_[rcvCnt_] = 0;
}

int TCustomLineWSocket::Receive(void* buffer, int len) {
  // Bytes from the line buffer were counted when they came from the socket.
  if (ServesFromBuffer()) return DoRecv(buffer, len, 0);
  return TCustomSslWSocket::Receive(buffer, len);
}

int TCustomLineWSocket::DoRecv(void* buffer, int len, int flags) {
  if (rawRead_) return TCustomSslWSocket::DoRecv(buffer, len, flags);
  if (lineMode_ && lineLength_ > 0) {
    int n = std::min({len, lineLength_, int(rcvCnt_)});
    std::memcpy(buffer, rcvBuf_.data(), size_t(n));
    Consume(n);
    lineLength_ -= n;
    return n;
  }
  if (!lineMode_ && rcvCnt_ > 0) {
    int n = int(std::min(size_t(len), rcvCnt_));
    std::memcpy(buffer, rcvBuf_.data(), size_t(n));
    Consume(n);
    return n;
  }
  return TCustomSslWSocket::DoRecv(buffer, len, flags);
}

void TCustomLineWSocket::EditLine(std::string& data) {
  std::string out;
  // The characters of the current line before the new bytes may be erased
  // too: work on the whole buffer tail.
  std::string& buf = data;
  for (char c : buf) {
    if (c == 8) {
      if (!out.empty()) {
        out.pop_back();
        if (LineEcho) SendString(std::string("\x08\x20\x08", 3));
      }
    } else if (c == 9) {
      size_t n = 8 - (out.size() % 8);
      out.append(n, ' ');
      if (LineEcho) SendString(std::string(n, ' '));
    } else {
      out += c;
      if (LineEcho) SendString(std::string(1, c));
    }
  }
  data = out;
}

bool TCustomLineWSocket::DeliverLine() {
  while (lineMode_ && lineLength_ > 0) {
    int before = lineLength_;
    if (!TCustomSslWSocket::TriggerDataAvailable(0)) {
      Consume(lineLength_);  // nobody reads: the line is dropped
      lineLength_ = 0;
      return true;
    }
    if (lineClearData_) return false;
    if (lineLength_ == before) return false;  // left unread
  }
  return true;
}

void TCustomLineWSocket::DeliverRaw() {
  while (rcvCnt_ > 0 && !lineMode_) {
    size_t before = rcvCnt_;
    if (!TCustomSslWSocket::TriggerDataAvailable(0)) {
      Consume(int(rcvCnt_));
      return;
    }
    if (rcvCnt_ == before) return;
  }
}

bool TCustomLineWSocket::TriggerDataAvailable(WORD error) {
  if (!lineMode_ || LineEnd.empty() || SocksNegotiating() || HttpTunnelNegotiating())
    return TCustomSslWSocket::TriggerDataAvailable(error);
  int n = TCustomSslWSocket::PendingReceiveCount();
  if (n < 0) return true;
  if (n == 0) n = 255;
  size_t oldCnt = rcvCnt_;
  if (rcvBuf_.size() < rcvCnt_ + size_t(n) + 1) rcvBuf_.resize(rcvCnt_ + size_t(n) + 1);
  // Through Receive, so that the layers above (throttling) see the read;
  // the line buffer itself is bypassed for it.
  rawRead_ = true;
  int r;
  try {
    r = Receive(rcvBuf_.data() + rcvCnt_, n);
  } catch (...) {
    rawRead_ = false;
    throw;
  }
  rawRead_ = false;
  if (r < 1) {
    if (rcvCnt_ == 0) return true;
    r = 0;
  }
  if (r > 0) {
    if (LineEdit) {
      std::string fresh(rcvBuf_.data() + rcvCnt_, size_t(r));
      EditLine(fresh);
      if (rcvBuf_.size() < rcvCnt_ + fresh.size() + 1) rcvBuf_.resize(rcvCnt_ + fresh.size() + 1);
      std::memcpy(rcvBuf_.data() + rcvCnt_, fresh.data(), fresh.size());
      rcvCnt_ += fresh.size();
    } else {
      if (LineEcho) SendString(std::string(rcvBuf_.data() + rcvCnt_, size_t(r)));
      rcvCnt_ += size_t(r);
    }
    rcvBuf_[rcvCnt_] = 0;
  }
  size_t searchFrom = oldCnt > LineEnd.size() ? oldCnt - LineEnd.size() : 0;
  // A line left unread before is still the next line: it is offered again
  // as it is, and the search for the following one starts behind it.
  if (lineMode_ && lineLength_ > 0) {
    if (DeliverLine()) {
      lineFound_ = true;
      searchFrom = 0;
      if (!lineMode_) DeliverRaw();
    } else {
      searchFrom = std::string::npos;  // still unread: nothing after it goes out
    }
  }
  while (lineMode_ && rcvCnt_ > 0 && searchFrom != std::string::npos) {
    std::string_view view(rcvBuf_.data(), rcvCnt_);
    size_t pos = view.find(LineEnd, searchFrom);
    if (pos == std::string_view::npos) break;
    lineLength_ = int(pos + LineEnd.size());
    lineReceived_ = true;
    lineFound_ = true;
    if (!DeliverLine()) break;
    searchFrom = 0;
    if (!lineMode_) {
      DeliverRaw();
      break;
    }
  }
  if (LineLimit > 0 && rcvCnt_ > size_t(LineLimit)) {
    bool clearData = true;
    TriggerLineLimitExceeded(int(rcvCnt_), clearData);
    if (clearData) {
      rcvCnt_ = 0;
      lineLength_ = 0;
      if (!rcvBuf_.empty()) rcvBuf_[0] = 0;
    }
  }
  return true;
}

void TCustomLineWSocket::TriggerSessionClosed(WORD error) {
  lineReceived_ = true;
  if (lineMode_ && rcvCnt_ > 0 && !lineClearData_) {
    // What is left is the last line, even without its line end.
    lineLength_ = int(rcvCnt_);
    DeliverLine();
  }
  rcvBuf_.clear();
  rcvBuf_.shrink_to_fit();
  rcvCnt_ = 0;
  lineLength_ = 0;
  lineClearData_ = false;
  TCustomSslWSocket::TriggerSessionClosed(error);
}

void TCustomLineWSocket::AbortWithError(int error) {
  lineClearData_ = true;
  TCustomSslWSocket::AbortWithError(error);
  lineClearData_ = false;
}

}  // namespace yux::net
