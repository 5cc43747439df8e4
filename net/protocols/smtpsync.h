#pragma once
// Blocking forms of every SMTP request: each starts the asynchronous
// request and waits for its end on the event loop, with a time limit.
#include <cstdint>
#include <functional>
#include <string>

#include "net/protocols/smtpcli.h"

namespace yux::net {

class TSyncSmtpCli : public TSmtpCli {
 public:
  TSyncSmtpCli() = default;

  int Timeout = 15;  // seconds; 0 or less waits without limit
  DWORD Deadline = 0;

  // True when the request in progress ended with RequestResult 0.  Past
  // the deadline the request is aborted: "426 Timeout".
  virtual bool WaitForRequestEnd();
  virtual bool ConnectBlocking();
  virtual bool HeloBlocking();
  virtual bool EhloBlocking();
  virtual bool AuthBlocking();
  virtual bool VrfyBlocking();
  virtual bool MailFromBlocking();
  virtual bool RcptToBlocking();
  virtual bool DataBlocking();
  virtual bool QuitBlocking();
  virtual bool RsetBlocking();
  virtual bool AbortBlocking();
  virtual bool OpenBlocking();
  virtual bool MailBlocking();
  virtual bool SendToFileBlocking(const std::string& fileName);

  void TriggerGetData(int lineNum, std::string& msgLine, int maxLen, bool& more) override;
  void TriggerStateChange() override;

  // Runs any request blocking: false when it raised or did not succeed.
  bool Blocking(const std::function<void()>& request);


 private:
  void MoveDeadline();
  int readyFlag_ = 1;  // set while the state is smtpReady
};

}  // namespace yux::net
