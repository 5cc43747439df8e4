#pragma once
// The asynchronous SMTP client engine: one control connection, single
// commands and high-level requests (a request code and a set of steps run
// in a fixed order), every result reported once through OnRequestDone.
// The message goes out line by line during DATA: header lines made here,
// body lines asked for through TriggerGetData, which the composing client
// (smtpcli.h) fills with the body and the attachments.
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "net/protocols/smtpheaders.h"
#include "net/protocols/smtpreply.h"
#include "net/socket/httptunnel.h"
#include "net/socket/netstream.h"
#include "net/socket/netwndcontrol.h"
#include "net/socket/wsocket.h"

namespace yux::net {

enum TSmtpRequest {
  smtpConnect = 0,
  smtpHelo = 1,
  smtpMailFrom = 2,
  smtpVrfy = 3,
  smtpRcptTo = 4,
  smtpData = 5,
  smtpQuit = 6,
  smtpRset = 7,
  smtpOpen = 8,
  smtpMail = 9,
  smtpEhlo = 10,
  smtpAuth = 11,
  smtpStartTls = 12,
  smtpCalcMsgSize = 13,
  smtpMailFromSIZE = 14,
  smtpToFile = 15,
  smtpCustom = 16
};

enum TSmtpState {
  smtpReady,
  smtpDnsLookup,
  smtpConnecting,
  smtpConnected,
  smtpInternalReady,
  smtpWaitingBanner,
  smtpWaitingResponse,
  smtpAbort,
  smtpInternalBusy
};

// Steps of a high-level request; the ordinal is the step's bit in
// PendingSteps.
enum TSmtpStep {
  smtpStepNone = 0,
  smtpStepHelo = 1,
  smtpStepConnect = 2,
  smtpStepMailFrom = 3,
  smtpStepRcptTo = 4,
  smtpStepData = 5,
  smtpStepVrfy = 6,
  smtpStepQuit = 7,
  smtpStepRset = 8,
  smtpStepEhlo = 9,
  smtpStepAuth = 10,
  smtpStepStartTls = 11,
  smtpStepCalcMsgSize = 12,
  smtpStepMailFromSIZE = 13
};
using TSmtpSteps = std::uint16_t;
constexpr TSmtpSteps SmtpStepBit(TSmtpStep s) { return TSmtpSteps(1u << unsigned(s)); }
constexpr TSmtpSteps SmtpSteps(std::initializer_list<TSmtpStep> l) {
  TSmtpSteps v = 0;
  for (TSmtpStep s : l) v = TSmtpSteps(v | SmtpStepBit(s));
  return v;
}

enum TSmtpAuthType {
  smtpAuthNone,
  smtpAuthPlain,
  smtpAuthLogin,
  smtpAuthCramMD5,
  smtpAuthCramSha1,
  smtpAuthNtlm,
  smtpAuthAutoSelect
};
enum TSmtpPriority {
  smtpPriorityNone,
  smtpPriorityHighest,
  smtpPriorityHigh,
  smtpPriorityNormal,
  smtpPriorityLow,
  smtpPriorityLowest
};
enum TSmtpSendMode { smtpToSocket, smtpToStream, smtpCopyToStream };
enum TSmtpProxyType { smtpNoProxy, smtpSocks4, smtpSocks4A, smtpSocks5, smtpHttpProxy };
enum TSmtpShareMode {
  smtpShareCompat,
  smtpShareExclusive,
  smtpShareDenyWrite,
  smtpShareDenyRead,
  smtpShareDenyNone
};
enum TSmtpRcptToErrorAction { srteAbort, srteRetry, srteIgnore };

class TCustomSmtpClient;
using TSmtpDisplay = std::function<void(TCustomSmtpClient* sender, const std::string& msg)>;
using TSmtpRequestDone =
    std::function<void(TCustomSmtpClient* sender, TSmtpRequest rqType, WORD errorCode)>;
using TSmtpSessionEvent = std::function<void(TCustomSmtpClient* sender, WORD errCode)>;
using TSmtpNotify = std::function<void(TCustomSmtpClient* sender)>;
using TSmtpGetData = std::function<void(TCustomSmtpClient* sender, int lineNum,
                                        std::string& msgLine, int maxLen, bool& more)>;
using TSmtpHeaderLineEvent =
    std::function<void(TCustomSmtpClient* sender, std::string& msg, int size)>;
using TSmtpProcessHeader =
    std::function<void(TCustomSmtpClient* sender, std::vector<std::string>& hdrLines)>;
using TSmtpMessageDataSent = std::function<void(TCustomSmtpClient* sender, int size)>;
using TSmtpRcptToError = std::function<void(TCustomSmtpClient* sender, int errorCode,
                                            int rcptNameIdx, TSmtpRcptToErrorAction& action)>;

class TCustomSmtpClient : public TNetWndControl {
 public:
  TCustomSmtpClient();
  ~TCustomSmtpClient() override;

  // ---- Settings ----
  std::string Host;
  std::string Port = "smtp";
  std::string LocalAddr = "0.0.0.0";
  std::string SignOn;  // empty: the computer's name
  std::string Username;
  std::string Password;
  TSmtpAuthType AuthType = smtpAuthNone;
  std::string FromName;
  std::vector<std::string> RcptName;
  std::vector<std::string> MailMessage;
  std::string HdrFrom, HdrTo, HdrCc, HdrReplyTo, HdrReturnPath, HdrSubject, HdrSender;
  TSmtpPriority HdrPriority = smtpPriorityNone;
  bool ConfirmReceipt = false;
  bool ConvertToCharset = false;
  TSmtpDefaultEncoding DefaultEncoding = smtpEnc7bit;
  bool Allow8bitChars = true;
  bool FoldHeaders = false;
  bool WrapMessageText = false;
  TSmtpSendMode SendMode = smtpToSocket;
  bool OwnHeaders = false;
  std::string ErrorMessage;
  std::string LastResponse;
  std::string XMailer = "YUX SMTP Component V%VER%";
  TSmtpProxyType ProxyType = smtpNoProxy;
  std::string ProxyServer, ProxyPort, ProxyUserCode, ProxyPassword;
  THttpTunnelAuthType ProxyHttpAuthType = htatDetect;
  TSmtpShareMode ShareMode = smtpShareDenyWrite;

  const std::string& CharSet() const { return charSet_; }
  // Trimmed; empty selects the system code page.  An unknown name selects
  // the system code page and raises SmtpException.
  void SetCharSet(const std::string& v);
  std::uint32_t CodePage() const { return codePage_; }
  bool IsMultiByte() const { return multiByte_; }
  int WrapMsgMaxLineLen() const { return wrapMsgMaxLineLen_; }
  void SetWrapMsgMaxLineLen(int v);  // clamped to 16..1022
  TSmtpContentType ContentType() const { return contentType_; }
  virtual void SetContentType(TSmtpContentType v) { contentType_ = v; }
  const std::vector<std::string>& EmailFiles() const { return emailFiles_; }
  // Trims each entry and skips empty ones; a missing file raises
  // SmtpException "File not found '<name>'".
  void SetEmailFiles(const std::vector<std::string>& files);

  // ---- State ----
  TSmtpState State() const { return state_; }
  int StatusCode = 0;
  int RequestResult = 0;
  TSmtpRequest RequestType = smtpConnect;
  bool Connected = false;
  bool EsmtpSupported = false;
  std::vector<std::string> AuthTypesOffered;
  bool SizeSupported = false;
  std::int64_t MaxMessageSize = 0;
  TSmtpStep CurrentStep = smtpStepNone;
  TSmtpSteps PendingSteps = 0;
  bool HighLevelFlag = false;
  int HighLevelResult = 0;
  std::string MessageId;
  std::int64_t MessageSize = 0;
  TWSocket* CtrlSocket() const { return ctrlSocket_.get(); }

  // ---- Events ----
  TSmtpDisplay OnDisplay;
  TSmtpDisplay OnCommand;
  TSmtpDisplay OnResponse;
  TSmtpRequestDone OnRequestDone;
  TSmtpSessionEvent OnSessionConnected;
  TSmtpSessionEvent OnSessionClosed;
  TSmtpNotify OnStateChange;
  TSmtpGetData OnGetData;
  TSmtpHeaderLineEvent OnHeaderLine;
  TSmtpProcessHeader OnProcessHeader;
  TSmtpMessageDataSent OnMessageDataSent;
  TSmtpRcptToError OnRcptToError;

  // ---- Triggers ----
  virtual void TriggerDisplay(const std::string& msg);
  virtual void TriggerCommand(const std::string& msg);
  virtual void TriggerResponse(const std::string& msg);
  virtual void TriggerRequestDone(WORD errorCode);
  virtual void TriggerStateChange();
  virtual void TriggerGetData(int lineNum, std::string& msgLine, int maxLen, bool& more);
  virtual void TriggerHeaderLine(std::string& line);
  virtual void TriggerMessageDataSent(int size);
  virtual void TriggerProcessHeader(std::vector<std::string>& hdrLines);
  virtual void TriggerSessionConnected(WORD errCode);
  virtual void TriggerSessionClosed(WORD errCode);

  // ---- Requests ----
  virtual void Connect();
  virtual void Helo();
  virtual void Ehlo();
  virtual void Auth();
  virtual void Vrfy();
  virtual void MailFrom();
  virtual void RcptTo();
  virtual void Data();
  virtual void Quit();
  virtual void Rset();
  virtual void Abort();
  virtual void Open();
  virtual void Mail();
  virtual void MailFromSIZE();
  virtual void SendToFile(const std::string& fileName);
  virtual void CalcMsgSize();

  // TNetWndControl
  int MessageNumbersNeeded() override { return TNetWndControl::MessageNumbersNeeded() + 3; }
  void AllocateMessageNumbers() override;
  void FreeMessageNumbers() override;
  void HandleWindowMessage(TMessage& msg) override;
  void AbortAfterError() override;

 protected:
  using TDoneAction = std::function<void()>;

  virtual std::unique_ptr<TWSocket> BuildControlSocket();
  // Makes the control socket and binds its events to this client.
  void InstallControlSocket();
  virtual void SendCommand(const std::string& cmd);
  virtual void HandleSocketConnected(WORD error);
  virtual void NextHighLevelStep();
  virtual void HandleSmtpRequestDoneMessage(TMessage& msg);
  // The order in which a high-level request runs its steps, and the start
  // of one step.
  virtual std::vector<TSmtpStep> HighLevelOrder() const;
  virtual void StartStep(TSmtpStep step);
  // Called by Abort before the connection goes: attachment streams close.
  virtual void AbortMessageParts() {}

  void SetState(TSmtpState s);
  void CheckReady() const;
  // The command sender: records the request (unless a high-level request
  // runs), the accepted codes and what follows the reply, then sends.
  // `internal` continues a request in progress (no state check).
  void ExecAsync(TSmtpRequest rq, const std::string& cmd, std::initializer_list<int> ok,
                 TDoneAction done = nullptr, bool internal = false);
  void HighLevelAsync(TSmtpRequest rq, TSmtpSteps steps);
  // Fills the failure fields (LastResponse when text is not empty).
  void SetFailure(int code, const std::string& text);
  // Ends the request with `code` after aborting the connection; no
  // continuation of a high-level request runs.
  void FailAndAbort(int code, const std::string& text);
  void ClearHighLevelContinuation() { highLevelNext_ = nullptr; }
  bool DonePosted() const { return donePosted_; }
  void SetDonePosted(bool v) { donePosted_ = v; }
  // Bytes waiting in the reply buffer (not yet a complete line).
  bool ReplyBufferEmpty() const { return replyBuf_.Empty(); }
  void StartHighLevelStep(TSmtpStep step);
  bool SizeCountMode() const { return sizeCount_; }
  static std::string ExceptionClassName(const std::exception& e);

  std::unique_ptr<TWSocket> ctrlSocket_;
  TSmtpHeaderLines hdrLines_;
  std::vector<int> okReplies_;
  TDoneAction doneAction_;
  TDoneAction highLevelNext_;

 private:
  void SocketDnsLookupDone(WORD error);
  void SocketSessionConnected(WORD error);
  void SocketSessionClosed(WORD error);
  void SocketDataAvailable();
  void SocketDataSent();
  void HandleReplyLine(const std::string& line);
  void ReplyHandler();
  void ConfigureProxy();
  void BuildHeaderLines();
  void AuthStart(TSmtpAuthType mech);
  void AuthFirstReplyFailed(TSmtpAuthType mech);
  void AuthComplete();
  void RcptToStep(bool internal);
  void RcptToDone();
  void DataNextLine();
  void ShipLine(const std::string& line);
  void FinishData();
  void FailData(const std::string& text);
  void WriteToFile(const std::vector<std::string>& lines);
  void EndStreamRequest();
  std::string SignOnText() const;
  void PostRequestDone(WORD errorCode);

  TSmtpState state_ = smtpReady;
  std::string charSet_;
  std::uint32_t codePage_ = 0;
  bool multiByte_ = false;
  int wrapMsgMaxLineLen_ = 76;
  TSmtpContentType contentType_ = smtpPlainText;
  std::vector<std::string> emailFiles_;

  bool donePosted_ = true;
  TSmtpReplyBuffer replyBuf_;
  std::size_t replyLines_ = 0, replyBytes_ = 0;  // of the reply being read
  TSmtpEhloInfo ehlo_;
  TSmtpAuthType authMech_ = smtpAuthNone;
  int rcptIdx_ = -1;

  // DATA transfer.
  std::size_t hdrIndex_ = 0;
  int bodyLineNum_ = 0;
  bool moreLines_ = false;
  bool transferActive_ = false;
  bool awaitingSent_ = false;  // a line is on its way to the network
  bool quitClosing_ = false;   // closed by us after the reply to QUIT
  int lastLineSize_ = 0;
  bool sizeCount_ = false;

  // The output file of SendToFile (and of a copy while sending).
  std::unique_ptr<TStream> outStream_;
  bool outFailed_ = false;
  TSmtpSendMode savedSendMode_ = smtpToSocket;
  TSmtpDisplay savedDisplay_;
  // What ends a request that only writes or counts the message.
  TDoneAction streamDone_;

  UINT msgRequestDone_ = 0, msgNextLine_ = 0, msgSpare_ = 0;

  friend class TSyncSmtpCli;
};

}  // namespace yux::net
