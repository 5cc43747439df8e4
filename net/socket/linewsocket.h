#pragma once
// Line mode: received data is handed to the application line by line
// (each Receive returns at most the ready line, line end included).
#include <functional>
#include <string>
#include <vector>

#include "net/socket/sslwsocket.h"

namespace yux::net {

using TLineLimitEvent =
    std::function<void(TCustomWSocket* sender, int rcvdLength, bool& clearData)>;

class TCustomLineWSocket : public TCustomSslWSocket {
 public:
  TCustomLineWSocket() = default;

  bool LineMode() const { return lineMode_; }
  virtual void SetLineMode(bool v);
  std::string LineEnd = "\r\n";
  int LineLimit = 65536;
  bool LineEcho = false;
  bool LineEdit = false;
  TLineLimitEvent OnLineLimitExceeded;
  // Bytes held in the line buffer and the length of the ready line.
  int RcvdCount() const { return int(rcvCnt_); }
  int LineLength() const { return lineLength_; }
  bool LineReceived() const { return lineReceived_; }

  virtual void TriggerLineLimitExceeded(int rcvdLength, bool& clearData);
  virtual void EditLine(std::string& data);
  virtual int SendLine(const std::string& s);

  // The next Receive is served from the line buffer, not the socket.
  bool ServesFromBuffer() const {
    return !rawRead_ && (lineMode_ ? lineLength_ > 0 : rcvCnt_ > 0);
  }

  int PendingReceiveCount() override;
  int Receive(void* buffer, int len) override;
  int DoRecv(void* buffer, int len, int flags) override;
  bool TriggerDataAvailable(WORD error) override;
  void TriggerSessionClosed(WORD error) override;
  void AbortWithError(int error) override;
  void HandleWindowMessage(TMessage& msg) override;

 private:
  void Consume(int n);
  // Hands the ready line to the application until it is read; false when
  // the application left it unread.
  bool DeliverLine();
  void DeliverRaw();

  std::vector<char> rcvBuf_;
  size_t rcvCnt_ = 0;
  bool lineMode_ = false;
  int lineLength_ = 0;
  bool lineReceived_ = false;
  bool lineFound_ = false;
  bool lineClearData_ = false;
  bool rawRead_ = false;  // the line layer itself reads from the socket
};

}  // namespace yux::net
