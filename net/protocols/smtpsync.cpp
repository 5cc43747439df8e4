#include "net/protocols/smtpsync.h"

#include <algorithm>

#include "platform/messages.h"

namespace yux::net {

void TSyncSmtpCli::MoveDeadline() {
  Deadline = platform::GetTickCount() + DWORD(std::max(Timeout, 0)) * 1000u;
}

void TSyncSmtpCli::TriggerStateChange() {
  readyFlag_ = State() == smtpReady ? 1 : 0;
  TSmtpCli::TriggerStateChange();
}

void TSyncSmtpCli::TriggerGetData(int lineNum, std::string& msgLine, int maxLen, bool& more) {
  MoveDeadline();
  TSmtpCli::TriggerGetData(lineNum, msgLine, maxLen, more);
}

bool TSyncSmtpCli::WaitForRequestEnd() {
  MoveDeadline();
  TWSocket* s = CtrlSocket();
  const DWORD savedWait = s->WaitTimeout;
  for (;;) {
    if (State() == smtpReady) {
      s->WaitTimeout = savedWait;
      return RequestResult == 0;
    }
    if (IsTerminated()) break;
    DWORD wait = 1000;
    if (Timeout > 0) {
      const std::int32_t left = std::int32_t(Deadline - platform::GetTickCount());
      if (left <= 0) break;
      wait = std::min<DWORD>(wait, DWORD(left));
    }
    // Sleeps until a message arrives (at most `wait`), handling them; the
    // flag ends the wait at once when the request is done.
    s->WaitTimeout = wait;
    s->WaitForDoneFlag(readyFlag_);
  }
  s->WaitTimeout = savedWait;
  Abort();
  ErrorMessage = "426 Timeout";
  LastResponse = "426 Timeout";
  StatusCode = 426;
  RequestResult = 426;
  return false;
}

bool TSyncSmtpCli::Blocking(const std::function<void()>& request) {
  try {
    request();
    return WaitForRequestEnd();
  } catch (const std::exception&) {
    return false;
  }
}

bool TSyncSmtpCli::ConnectBlocking() { return Blocking([this] { Connect(); }); }
bool TSyncSmtpCli::HeloBlocking() { return Blocking([this] { Helo(); }); }
bool TSyncSmtpCli::EhloBlocking() { return Blocking([this] { Ehlo(); }); }
bool TSyncSmtpCli::AuthBlocking() { return Blocking([this] { Auth(); }); }
bool TSyncSmtpCli::VrfyBlocking() { return Blocking([this] { Vrfy(); }); }
bool TSyncSmtpCli::MailFromBlocking() { return Blocking([this] { MailFrom(); }); }
bool TSyncSmtpCli::RcptToBlocking() { return Blocking([this] { RcptTo(); }); }
bool TSyncSmtpCli::DataBlocking() { return Blocking([this] { Data(); }); }
bool TSyncSmtpCli::QuitBlocking() { return Blocking([this] { Quit(); }); }
bool TSyncSmtpCli::RsetBlocking() { return Blocking([this] { Rset(); }); }
bool TSyncSmtpCli::AbortBlocking() { return Blocking([this] { Abort(); }); }
bool TSyncSmtpCli::OpenBlocking() { return Blocking([this] { Open(); }); }
bool TSyncSmtpCli::MailBlocking() { return Blocking([this] { Mail(); }); }

bool TSyncSmtpCli::SendToFileBlocking(const std::string& fileName) {
  if (State() != smtpReady) throw SmtpException("SMTP component not ready");
  if (fileName.empty()) throw SmtpException("File name not specified");
  const TSmtpSendMode saved = SendMode;
  SendMode = smtpToStream;
  const bool ok = Blocking([&] { SendToFile(fileName); });
  SendMode = saved;
  return ok;
}

}  // namespace yux::net
