// The FTP client's commands and its high-level driver.
#include <algorithm>
#include <filesystem>
#include <iterator>
#include <string_view>
#include <typeinfo>

#include "net/protocols/ftpcli.h"
#include "net/protocols/otp.h"
#include "net/socket/codepage.h"
#include "net/socket/neterrors.h"

namespace yux::net {

namespace {

// Every single command: what it reports, the step it records, its verb and
// the replies that mean success (empty: every code below 500).
constexpr TFtpCommandDef kUser{ftpUserAsync, ftpStepUser, "USER", {331, 230}};
constexpr TFtpCommandDef kPass{ftpPassAsync, ftpStepPass, "PASS", {230, 332}};
constexpr TFtpCommandDef kAcct{ftpAccountAsync, ftpStepAcct, "ACCT", {230, 202}};
constexpr TFtpCommandDef kQuit{ftpQuitAsync, ftpStepQuit, "QUIT", {221}};
constexpr TFtpCommandDef kType{ftpTypeSetAsync, ftpStepTypeSet, "TYPE", {200}};
constexpr TFtpCommandDef kPwd{ftpPwdAsync, ftpStepPwd, "PWD", {250, 257}};
constexpr TFtpCommandDef kCwd{ftpCwdAsync, ftpStepCwd, "CWD", {200, 250, 257}};
constexpr TFtpCommandDef kCdup{ftpCDupAsync, ftpStepCdup, "CDUP", {250, 257}};
constexpr TFtpCommandDef kSyst{ftpSystAsync, ftpStepSyst, "SYST", {215}};
constexpr TFtpCommandDef kSize{ftpSizeAsync, ftpStepSize, "SIZE", {213}};
constexpr TFtpCommandDef kMkd{ftpMkdAsync, ftpStepMkd, "MKD", {200, 250, 257}};
constexpr TFtpCommandDef kRmd{ftpRmdAsync, ftpStepRmd, "RMD", {200, 250, 257}};
constexpr TFtpCommandDef kDele{ftpDeleAsync, ftpStepDele, "DELE", {200, 250, 257}};
constexpr TFtpCommandDef kRnfr{ftpRenFromAsync, ftpStepRenFrom, "RNFR", {350}};
constexpr TFtpCommandDef kRnto{ftpRenToAsync, ftpStepRenTo, "RNTO", {200, 250, 257}};
constexpr TFtpCommandDef kQuote{ftpQuoteAsync, ftpStepQuote, "", {}};
constexpr TFtpCommandDef kAbor{ftpAbortXferAsync, ftpStepAbor, "ABOR", {}};
constexpr TFtpCommandDef kRest{ftpRestAsync, ftpStepRest, "REST", {}};
constexpr TFtpCommandDef kMlst{ftpMlstAsync, ftpStepMlst, "MLST", {250}};
constexpr TFtpCommandDef kFeat{ftpFeatAsync, ftpStepFeat, "FEAT", {211}};
constexpr TFtpCommandDef kMdtm{ftpMdtmAsync, ftpStepMdtm, "MDTM", {213}};
constexpr TFtpCommandDef kMdtmYy{ftpMdtmyyAsync, ftpStepMdtmYy, "MDTM", {213, 253}};
constexpr TFtpCommandDef kMfmt{ftpMfmtAsync, ftpStepMfmt, "MFMT", {213}};
constexpr TFtpCommandDef kMd5{ftpMd5Async, ftpStepMd5, "MD5", {251}};
constexpr TFtpCommandDef kXMd5{ftpMd5Async, ftpStepMd5, "XMD5", {250}};
constexpr TFtpCommandDef kXCrc{ftpXCrcAsync, ftpStepXCrc, "XCRC", {250}};
constexpr TFtpCommandDef kModeZ{ftpModeZAsync, ftpStepModeZ, "MODE", {200}};
constexpr TFtpCommandDef kOpts{ftpOptsAsync, ftpStepOpts, "OPTS", {200}};
constexpr TFtpCommandDef kClnt{ftpClntAsync, ftpStepClnt, "CLNT", {200, 215}};
constexpr TFtpCommandDef kAllo{ftpAlloAsync, ftpStepNone, "ALLO", {200}};
constexpr TFtpCommandDef kComb{ftpCombAsync, ftpStepNone, "COMB", {200}};
constexpr TFtpCommandDef kSitePaswd{ftpSitePaswdAsync, ftpStepSitePaswd, "SITE PSWD", {200}};
constexpr TFtpCommandDef kSiteExec{ftpSiteExecAsync, ftpStepSiteExec, "SITE EXEC", {200}};
constexpr TFtpCommandDef kSiteIndex{ftpSiteIndexAsync, ftpStepSiteIndex, "SITE INDEX", {200}};
constexpr TFtpCommandDef kSiteZone{ftpSiteZoneAsync, ftpStepSiteZone, "SITE ZONE", {210}};
constexpr TFtpCommandDef kSiteMsg{ftpSiteMsgAsync, ftpStepSiteMsg, "SITE MSG", {200}};
constexpr TFtpCommandDef kSiteCmlsd{ftpSiteCmlsdAsync, ftpStepSiteCmlsd, "SITE CMLSD", {200, 250}};
constexpr TFtpCommandDef kXCmlsd{ftpXCmlsdAsync, ftpStepXCmlsd, "XCMLSD", {200, 250}};
constexpr TFtpCommandDef kRein{ftpReinAsync, ftpStepRein, "REIN", {220}};
constexpr TFtpCommandDef kHost{
    ftpHostAsync, ftpStepHost, "HOST", {200, 220, 421, 500, 502, 504, 530, 550}};
constexpr TFtpCommandDef kLang{ftpLangAsync, ftpStepLang, "LANG", {200}};

std::string WithArg(const char* verb, const std::string& arg) { return std::string(verb) + " " + arg; }

bool SameNoCase(const std::string& a, const char* b) {
  std::string l;
  for (char c : a) l += char(std::tolower(static_cast<unsigned char>(c)));
  return l == b;
}

}  // namespace

// ---------------------------------------------------------------------------
// Life

TCustomFtpCli::TCustomFtpCli() {
  GetWindowHandle();
  control_ = CreateSocket();
  data_ = CreateSocket();
  control_->OnDataAvailable = [this](TCustomWSocket* s, WORD e) { ControlDataAvailable(s, e); };
  control_->OnSessionClosed = [this](TCustomWSocket* s, WORD e) { ControlSessionClosed(s, e); };
  control_->OnDnsLookupDone = [this](TCustomWSocket* s, WORD e) { ControlDnsLookupDone(s, e); };
  std::error_code ec;
  TempFolder = std::filesystem::temp_directory_path(ec).string();
  if (TempFolder.empty()) TempFolder = "/tmp";
  if (TempFolder.back() != '/') TempFolder += '/';
}

TCustomFtpCli::~TCustomFtpCli() {
  try {
    CloseLocalStreams();
  } catch (...) {
  }
  if (control_) control_->OnSessionClosed = nullptr;
  if (data_) data_->OnSessionClosed = nullptr;
  data_.reset();
  control_.reset();
  ReleaseWindowOnce();
}

std::unique_ptr<TWSocket> TCustomFtpCli::CreateSocket() { return std::make_unique<TWSocket>(); }

void TCustomFtpCli::AllocateMessageNumbers() {
  TNetWndControl::AllocateMessageNumbers();
  msgRequestDone_ = AllocateMessage();
  msgSendData_ = AllocateMessage();
  msgCloseDown_ = AllocateMessage();
}

void TCustomFtpCli::FreeMessageNumbers() {
  TNetWndControl::FreeMessageNumbers();
  ReleaseMessage(msgRequestDone_);
  ReleaseMessage(msgSendData_);
  ReleaseMessage(msgCloseDown_);
}

void TCustomFtpCli::HandleWindowMessage(TMessage& msg) {
  TNetWndDispatchScope scope(this);
  try {
    if (msg.Msg == msgRequestDone_)
      HandleFtpRequestDoneMessage(msg);
    else if (msg.Msg == msgSendData_)
      HandleFtpSendDataMessage(msg);
    else if (msg.Msg == msgCloseDown_)
      HandleFtpCloseDownMessage(msg);
    else
      TNetWndControl::HandleWindowMessage(msg);
  } catch (const std::exception& e) {
    ProcessBgException(e);
  }
}

void TCustomFtpCli::AbortAfterError() {
  try {
    Abort();
  } catch (...) {
  }
}

// ---------------------------------------------------------------------------
// Properties

void TCustomFtpCli::SetCodePage(int v) {
  codePage_ = (v == int(CP_UTF8) && v != int(NetSystemCodePage())) ? v : 0;
}

void TCustomFtpCli::SetDataPortRangeStart(unsigned v) {
  if (v > 65535) return Refuse("DataPortRangeStart must be in the range 0..65535");
  portRangeStart_ = v;
}

void TCustomFtpCli::SetDataPortRangeEnd(unsigned v) {
  if (v > 65535) return Refuse("DataPortRangeEnd must be in the range 0..65535");
  portRangeEnd_ = v;
}

void TCustomFtpCli::SetPassive(bool v) {
  passive_ = (ConnectionType == ftpDirect || ConnectionType == ftpProxy) ? v : true;
}

void TCustomFtpCli::SetNetLogger(TNetLogger* v) {
  netLogger_ = v;
  control_->SetNetLogger(v);
  data_->SetNetLogger(v);
}

void TCustomFtpCli::SetMultiThreaded(bool v) {
  TNetWndControl::SetMultiThreaded(v);
  control_->SetMultiThreaded(v);
  data_->SetMultiThreaded(v);
}

void TCustomFtpCli::SetSslType(TFtpCliSslType v) {
  if (v != sslTypeNone) throw FtpException("SSL requires SSL-enabled version");
}

void TCustomFtpCli::AuthAsync() { throw FtpException("AUTH SSL/TLS requires SSL-enabled version"); }
void TCustomFtpCli::ProtAsync() { throw FtpException("PROT require SSL-enabled version"); }
void TCustomFtpCli::PbszAsync() { throw FtpException("PBSZ require SSL-enabled version"); }
void TCustomFtpCli::CccAsync() { throw FtpException("CCC require SSL-enabled version"); }

bool TCustomFtpCli::IsControlOpen() const { return control_->State() != wsClosed; }

// ---------------------------------------------------------------------------
// Trace, errors, state

bool TCustomFtpCli::LogOptionActive(TLogOption option) {
  return netLogger_ && netLogger_->LogOptions().Contains(option);
}

void TCustomFtpCli::LogDebug(TLogOption option, const std::string& text) {
  if (netLogger_) netLogger_->LogMessage(this, option, text);
}

void TCustomFtpCli::Display(const std::string& msg) {
  if (msg.rfind("! ", 0) == 0 && LogOptionActive(TLogOption::loProtSpecInfo))
    LogDebug(TLogOption::loProtSpecInfo, msg);
  TriggerDisplay(msg);
}

void TCustomFtpCli::Note(TLogOption option, const std::string& msg) {
  if (LogOptionActive(option)) LogDebug(option, msg);
}

void TCustomFtpCli::TriggerDisplay(const std::string& msg) {
  if (!OnDisplay) return;
  std::string m = msg;
  OnDisplay(this, m);
}

void TCustomFtpCli::TriggerDisplayFile(std::string& msg) {
  if (OnDisplayFile) OnDisplayFile(this, msg);
}

void TCustomFtpCli::TriggerError(const std::string& msg) {
  std::string m = msg;
  if (OnError) OnError(this, m);
}

void TCustomFtpCli::TriggerResponse() {
  if (OnResponse) OnResponse(this);
}

void TCustomFtpCli::TriggerReadyToTransmit(bool& cancel) {
  if (OnReadyToTransmit) OnReadyToTransmit(this, cancel);
}

void TCustomFtpCli::StateChange(TFtpClientState s) {
  if (state_ == s) return;
  state_ = s;
  if (OnStateChange) OnStateChange(this);
}

bool TCustomFtpCli::CheckReady() {
  if (state_ == fcsReady || state_ == fcsInternalReady || state_ == fcsPassiveReady) return true;
  Refuse("FTP component not ready");
  return false;
}

void TCustomFtpCli::Refuse(const std::string& msg) {
  if (donePosted_) {  // a running request is not disturbed by a refused call
    pendingSteps_ = {};
    LastResponse.clear();
    ErrorMessage.clear();
    highLevelContinuation_ = false;
  }
  if (OnError) {
    TriggerError(msg);
    return;
  }
  throw FtpException(msg);
}

void TCustomFtpCli::UsageError(const std::string& msg) {
  // Met inside a running request (a step of the driver, a reply handler),
  // the request must still end, once: it ends with 500.
  if (highLevelFlag_ || !donePosted_) return FailRequest(500, "500 " + msg);
  Refuse(msg);
}

void TCustomFtpCli::FailRequest(int code, const std::string& response) {
  StatusCode = code;
  RequestResult = code;
  LastResponse = response;
  SetErrorMessage();
  pendingSteps_ = {};
  highLevelContinuation_ = false;
  doneAction_ = nullptr;
  fNext_ = nullptr;
  CloseLocalStreams();
  TriggerRequestDone(WORD(code));
}

bool TCustomFtpCli::ArgumentRefused(TFtpRequest rq, const char* what, const std::string& text) {
  if (text.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos) return false;
  if (donePosted_ && !highLevelFlag_) {
    // A single command refused before it starts still ends as a request.
    RequestType = rq;
    donePosted_ = false;
  }
  ErrorMessage.clear();
  FailRequest(501, std::string("501 ") + what +
                       " holds a line break or NUL character: refused, nothing sent");
  return true;
}

void TCustomFtpCli::SetErrorMessage() {
  if (ErrorMessage.empty()) ErrorMessage = LastResponse;
}

// ---------------------------------------------------------------------------
// The command sender

void TCustomFtpCli::ExecAsync(const TFtpCommandDef& def, const std::string& text, TAction done) {
  const bool always = text == "ABOR" || text == "STAT" || text == "QUIT";
  if (!always) {
    if (!CheckReady()) return;
    if (!connected_) return UsageError("FTP component not connected");
  }
  if (ArgumentRefused(highLevelFlag_ ? RequestType : def.rq,
                      def.verb[0] ? (std::string("The ") + def.verb + " argument").c_str()
                                  : "The quoted command",
                      text))
    return;
  if (def.step != ftpStepNone) currentStep_ = def.step;
  if (!highLevelFlag_) RequestType = def.rq;
  // A SIZE answer stays meaningful only across commands that change no
  // file and no folder.
  static constexpr const char* kKeepsSize[] = {"SIZE", "TYPE", "PORT", "REST", "MDTM", "MLST",
                                               "MODE", "OPTS", "PBSZ", "PROT", "PWD",  "SYST",
                                               "FEAT", "MD5",  "XMD5", "XCRC", "CLNT", "ABOR"};
  if (std::find_if(std::begin(kKeepsSize), std::end(kKeepsSize), [&](const char* v) {
        return std::string_view(v) == def.verb;
      }) == std::end(kKeepsSize))
    announcedSize_ = -1;
  okList_.fill(0);
  for (size_t i = 0; i < def.ok.size(); ++i) okList_[i] = def.ok[i];
  LastMultiResponse.clear();
  fNext_ = &TCustomFtpCli::SingleReplyHandler;
  doneAction_ = done;
  donePosted_ = false;
  restAccepted_ = false;
  pendingCommand_ = def.verb;
  StateChange(fcsAwaitingReply);
  SendCommand(text);
  if (control_->State() == wsConnected) return;
  // Nothing can be sent: the request ends here.
  StatusCode = text == "QUIT" ? 200 : 550;
  highLevelContinuation_ = false;
  doneAction_ = nullptr;
  connected_ = false;
  RequestResult = StatusCode == 200 ? 0 : StatusCode;
  LastResponse = std::to_string(StatusCode) + " not connected";
  if (StatusCode == 550) SetErrorMessage();
  TriggerRequestDone(WORD(RequestResult));
}

void TCustomFtpCli::SendCommand(const std::string& cmd) {
  std::string c = cmd;
  if (OnCommand) OnCommand(this, c);
  Display("> " + c);
  if (codePage_ != 0) c = NetRecodeString(c, NetSystemCodePage(), std::uint32_t(codePage_));
  if (control_->State() == wsConnected) control_->SendString(c + "\r\n");
}

// ---------------------------------------------------------------------------
// The single-command reply handler

void TCustomFtpCli::SingleReplyHandler() {
  if (LastResponse.find("Will attempt to restart") != std::string::npos) Display("< DEBUG !");
  Display("< " + LastResponse);
  TFtpReplyCode rc = FtpReplyCode(LastResponse);
  if (rc.hasCode) {
    StatusCode = rc.code;
    if (rc.continuation) return;
  }
  bool ok;
  if (okList_[0] != 0) {
    ok = false;
    for (size_t i = 0; i < 16 && okList_[i] != 0; ++i)
      if (okList_[i] == StatusCode) ok = true;
  } else {
    ok = StatusCode < 500;
  }
  if (ok) {
    RequestResult = 0;
  } else {
    RequestResult = StatusCode;
    SetErrorMessage();
  }
  if (passive_ && StatusCode == 227) {
    StateChange(fcsPassiveReady);
    PasvReply = LastResponse;
  }
  if (StatusCode == 200 && currentStep_ == ftpStepModeZ && pendingCommand_ == "MODE")
    transferMode_ = RequestedMode;
  if (RequestResult == 0) ParseResult();
  HandleReplyTls();
  RunDone();
}

void TCustomFtpCli::RunDone() {
  if (doneAction_) {
    TAction a = doneAction_;
    doneAction_ = nullptr;
    (this->*a)();
    return;
  }
  TriggerRequestDone(WORD(RequestResult));
}

void TCustomFtpCli::ParseResult() {
  switch (currentStep_) {
    case ftpStepSize:
      SizeResult = FtpSizeAfterCode(LastResponse);
      if (StatusCode == 213 && SizeResult >= 0) {
        announcedSize_ = SizeResult;
        announcedName_ = HostFileName;
      }
      break;
    case ftpStepMdtm:
      RemoteFileTime = StatusCode == 213 ? FtpMdtmToDateTime(FtpWordAfterCode(LastResponse, 0)) : -1;
      break;
    case ftpStepCwd:
    case ftpStepMkd:
    case ftpStepPwd:
    case ftpStepCdup:
      DirResult = FtpQuotedName(LastResponse);
      break;
    case ftpStepMd5:
      DirResult.clear();
      Md5Result.clear();
      if (StatusCode == 251) {
        std::string q = FtpQuotedName(LastResponse);
        DirResult = q.empty() ? FtpWordAfterCode(LastResponse, 0) : q;
        Md5Result = FtpWordAfterCode(LastResponse, 1);
      } else if (StatusCode == 220 || StatusCode == 250) {
        Md5Result = FtpWordAfterCode(LastResponse, 0);
      }
      break;
    case ftpStepXCrc:
      CrcResult.clear();
      if (StatusCode == 250) {
        CrcResult = FtpWordAfterCode(LastResponse, 0);
        if (CrcResult == "XCRC") CrcResult = FtpWordAfterCode(LastResponse, 1);
      }
      break;
    default:
      break;
  }
}

// ---------------------------------------------------------------------------
// Completion

void TCustomFtpCli::TriggerRequestDone(WORD errCode) {
  if (donePosted_) return;
  if (errCode == 0 && highLevelContinuation_) {
    if (state_ != fcsAborting && state_ != fcsPassiveReady) StateChange(fcsInternalReady);
    NextHighLevelStep();
    return;
  }
  donePosted_ = true;
  StateChange(fcsReady);
  if (data_->State() != wsClosed) CloseDataSocket();
  if (highLevelFlag_ && savedStatus_ >= 0) {
    LastResponse = savedResponse_;
    StatusCode = savedStatus_;
  }
  highLevelFlag_ = false;
  highLevelContinuation_ = false;
  platform::PostMessage(GetWindowHandle(), msgRequestDone_, WPARAM(errCode), 0);
}

void TCustomFtpCli::HandleFtpRequestDoneMessage(TMessage& msg) {
  if (OnRequestDone) OnRequestDone(this, RequestType, WORD(msg.WParam));
}

// ---------------------------------------------------------------------------
// The high-level driver

void TCustomFtpCli::HighLevelAsync(TFtpRequest rq, TFtpSteps steps) {
  if (connected_ && steps.Contains(ftpStepOpen)) return Refuse("FTP component already connected");
  if (!CheckReady()) return;
  // Every field a step would send is checked before the first step runs,
  // so a refused name never leaves a half-done session behind.
  struct Field {
    const char* what;
    const std::string& text;
    bool used;
  };
  const bool login = steps.Contains(ftpStepUser);
  const Field fields[] = {
      {"The user name", UserName, login},
      {"The password", PassWord, login},
      {"The account", Account, login},
      {"The host folder name", HostDirName, steps.Contains(ftpStepCwd)},
      {"The host file name", HostFileName, true},
      {"The rename target", LocalFileName, steps.Contains(ftpStepRenTo)},
      {"The quoted command", LocalFileName, steps.Contains(ftpStepQuote)},
  };
  for (const Field& f : fields)
    if (f.used && ArgumentRefused(rq, f.what, f.text)) return;
  savedResponse_ = LastResponse;
  savedStatus_ = -1;
  RequestType = rq;
  RequestResult = 0;
  pendingSteps_ = steps;
  currentStep_ = ftpStepNone;
  highLevelResult_ = 0;
  highLevelFlag_ = true;
  donePosted_ = false;
  LastResponse.clear();
  ErrorMessage.clear();
  highLevelContinuation_ = false;
  NextHighLevelStep();
}

void TCustomFtpCli::NextHighLevelStep() {
  Note(TLogOption::loProtSpecDump, "! HighLevelAsync " + std::to_string(RequestResult));
  if (state_ == fcsAborting) {
    Note(TLogOption::loProtSpecInfo, "! Abort detected");
    pendingSteps_ = {};
    highLevelResult_ = 426;
    ErrorMessage = "426 Operation aborted.";
  }
  highLevelContinuation_ = true;
  if (RequestResult != 0) {
    highLevelResult_ = RequestResult;
    bool quit = pendingSteps_.Contains(ftpStepQuit) && currentStep_ != ftpStepQuit;
    pendingSteps_ = {};
    if (quit) pendingSteps_.Include(ftpStepQuit);
  }
  const TFtpStep justDone = currentStep_;
  const int justStatus = StatusCode;
  struct Entry {
    TFtpStep step;
    void (TCustomFtpCli::*run)();
  };
  static const Entry kOrder[] = {
      {ftpStepOpen, &TCustomFtpCli::OpenAsync},       {ftpStepHost, &TCustomFtpCli::HostAsync},
      {ftpStepAuth, &TCustomFtpCli::AuthAsync},       {ftpStepPbsz, &TCustomFtpCli::PbszAsync},
      {ftpStepProt, &TCustomFtpCli::ProtAsync},       {ftpStepCcc, &TCustomFtpCli::CccAsync},
      {ftpStepUser, &TCustomFtpCli::UserAsync},       {ftpStepPass, &TCustomFtpCli::PassAsync},
      {ftpStepAcct, &TCustomFtpCli::AccountAsync},    {ftpStepCwd, &TCustomFtpCli::CwdAsync},
      {ftpStepFeat, &TCustomFtpCli::FeatAsync},       {ftpStepCdup, &TCustomFtpCli::CDupAsync},
      {ftpStepTypeSet, &TCustomFtpCli::TypeSetAsync}, {ftpStepPort, &TCustomFtpCli::PortAsync},
      {ftpStepRest, &TCustomFtpCli::RestAsync},       {ftpStepGet, &TCustomFtpCli::RetrCmdAsync},
      {ftpStepPut, &TCustomFtpCli::StorCmdAsync},     {ftpStepAppend, &TCustomFtpCli::AppeCmdAsync},
      {ftpStepDir, &TCustomFtpCli::ListCmdAsync},     {ftpStepLs, &TCustomFtpCli::NlstCmdAsync},
      {ftpStepSyst, &TCustomFtpCli::SystAsync},       {ftpStepMkd, &TCustomFtpCli::MkdAsync},
      {ftpStepRmd, &TCustomFtpCli::RmdAsync},         {ftpStepRenFrom, &TCustomFtpCli::RenFromAsync},
      {ftpStepRenTo, &TCustomFtpCli::RenToAsync},     {ftpStepSize, &TCustomFtpCli::SizeAsync},
      {ftpStepDele, &TCustomFtpCli::DeleAsync},       {ftpStepPwd, &TCustomFtpCli::PwdAsync},
      {ftpStepAbor, &TCustomFtpCli::AbortXferAsync},  {ftpStepQuote, &TCustomFtpCli::QuoteAsync},
      {ftpStepQuit, &TCustomFtpCli::QuitAsync},       {ftpStepMlsd, &TCustomFtpCli::MlsdCmdAsync},
      {ftpStepModeZ, &TCustomFtpCli::ModeZAsync},     {ftpStepOpts, &TCustomFtpCli::OptsAsync},
      {ftpStepSiteDmlsd, &TCustomFtpCli::SiteDmlsdCmdAsync},
      {ftpStepXDmlsd, &TCustomFtpCli::XDmlsdCmdAsync}, {ftpStepClnt, &TCustomFtpCli::ClntAsync},
  };
  for (const Entry& e : kOrder) {
    if (!pendingSteps_.Contains(e.step)) continue;
    if (e.step == ftpStepAuth && SslType() != sslTypeAuthTls && SslType() != sslTypeAuthSsl)
      continue;  // stays pending, never started
    pendingSteps_.Exclude(e.step);
    // A 230 to USER needs no PASS; a PASS not answered with 332 needs no ACCT.
    if (e.step == ftpStepPass && justDone == ftpStepUser && justStatus != 331) continue;
    if (e.step == ftpStepAcct && (justDone == ftpStepPass || justDone == ftpStepUser) &&
        justStatus != 332)
      continue;
    if (e.step == ftpStepCwd && HostDirName.empty()) continue;
    // Only a REST answered with 350 lets the transfer start inside the file.
    if ((e.step == ftpStepGet || e.step == ftpStepPut) &&
        !(justDone == ftpStepRest && restAccepted_ && ResumeAt > 0))
      ResumeAt = 0;
    if (e.step == ftpStepQuit) {
      savedResponse_ = LastResponse;
      savedStatus_ = StatusCode;
    }
    currentStep_ = e.step;
    try {
      (this->*e.run)();
    } catch (const std::exception& ex) {
      FailRequest(500, "500 Internal client error " + std::string(typeid(ex).name()) + ": \"" +
                           ex.what() + "\"");
    }
    return;
  }
  Note(TLogOption::loProtSpecDump, "! HighLevelAsync done");
  pendingSteps_ = {};
  highLevelContinuation_ = false;
  donePosted_ = false;
  TriggerRequestDone(WORD(highLevelResult_));
}

// ---------------------------------------------------------------------------
// Connecting

void TCustomFtpCli::OpenAsync() {
  if (!CheckReady()) return;
  if (connected_) return Refuse("FTP component already connected");
  if (!highLevelFlag_) RequestType = ftpOpenAsync;
  currentStep_ = ftpStepOpen;
  donePosted_ = false;
  replyBuf_.clear();
  replyBytes_ = 0;
  abandonedReplies_ = 0;
  RequestResult = 0;
  resolvedAddr_.clear();
  controlPeer_.clear();
  announcedSize_ = -1;
  FeatMlstFacts.clear();
  SupportedExtensions.Clear();
  ServerLanguages.clear();
  LastResponse.clear();
  ErrorMessage.clear();
  StatusCode = 0;
  transferMode_ = ftpTransModeStream;
  TWSocket& c = *control_;
  c.SocksAuthentication = socksNoAuthentication;
  if (ConnectionType != ftpHttpProxy) {
    c.SetHttpTunnelServer("");
    data_->SetHttpTunnelServer("");
  }
  c.SetSocksServer("");
  if (ConnectionType == ftpSocks4 || ConnectionType == ftpSocks4A || ConnectionType == ftpSocks5) {
    c.SetSocksLevel(ConnectionType == ftpSocks4 ? "4" : ConnectionType == ftpSocks4A ? "4A" : "5");
    c.SocksAuthentication = socksAuthenticateUsercode;
    c.SetSocksServer(SocksServer);
    c.SetSocksPort(SocksPort);
    c.SocksUsercode = SocksUserCode;
    c.SocksPassword = SocksPassword;
    c.OnSocksError = [this](TCustomWSocket*, int, const std::string& m) { LastResponse = m; };
    passive_ = true;
  } else if (ConnectionType == ftpHttpProxy) {
    c.SetHttpTunnelAuthType(HttpTunnelAuthType);
    c.SetHttpTunnelServer(HttpTunnelServer);
    c.SetHttpTunnelPort(HttpTunnelPort);
    c.SetHttpTunnelUsercode(HttpTunnelUserCode);
    c.SetHttpTunnelPassword(HttpTunnelPassword);
    c.OnHttpTunnelError = [this](TCustomWSocket*, WORD, THttpTunnelServerAuthTypes,
                                 const std::string& m) { LastResponse = m; };
    passive_ = true;
  }
  StateChange(fcsLookingUp);
  try {
    c.DnsLookup(ConnectionType == ftpProxy ? ProxyServer : HostName);
  } catch (const std::exception& e) {
    FailRequest(500, "500 DNS lookup error - " + std::string(e.what()));
  }
}

void TCustomFtpCli::ControlDnsLookupDone(TCustomWSocket*, WORD error) {
  if (state_ != fcsLookingUp) return;
  if (error != 0) {
    LastResponse = "500 DNS lookup error - " + WinsockErrorTextWithCode(error);
    StatusCode = 500;
    RequestResult = 500;
    SetErrorMessage();
    highLevelContinuation_ = false;
    TriggerRequestDone(error);
    return;
  }
  resolvedAddr_ = control_->LookupResult;
  TWSocket& c = *control_;
  try {
    c.SetAddr(resolvedAddr_);
    c.SetLocalAddr(LocalAddr);
    c.SetProto("tcp");
    c.SslEnable = false;
    c.SetPort(ConnectionType == ftpProxy && !ProxyPort.empty() ? ProxyPort : Port);
    c.OnSessionConnected = [this](TCustomWSocket* s, WORD e) { HandleControlConnected(s, e); };
    StateChange(fcsAwaitingBanner);
    c.Connect();
  } catch (const std::exception& e) {
    highLevelContinuation_ = false;
    FailRequest(500, "500 " + std::string(typeid(e).name()) + ": " + e.what());
  }
}

void TCustomFtpCli::HandleControlConnected(TCustomWSocket*, WORD error) {
  if (error == 0) {
    connected_ = true;
    // Data connections go where the control connection went: the address
    // a 227 names is never trusted.
    controlPeer_ = resolvedAddr_;
    return;
  }
  if (error >= 10000 && error <= 19999)
    LastResponse = "500 Connect error - " + WinsockErrorTextWithCode(error);
  else if (IsProxyErrorCode(error))
    LastResponse = "500 Connect error - " + LastResponse + " (#" + std::to_string(error) + ")";
  else
    LastResponse = "500 Connect Unknown Error (#" + std::to_string(error) + ")";
  StatusCode = 500;
  RequestResult = 500;
  SetErrorMessage();
  highLevelContinuation_ = false;
  TriggerRequestDone(error);
  control_->Close();
  StateChange(fcsReady);
}

// ---------------------------------------------------------------------------
// Single commands

void TCustomFtpCli::UserAsync() {
  if (UserName.empty()) return UsageError("UserName empty");
  std::string text = "USER " + UserName;
  if (ConnectionType == ftpProxy) {
    text += "@" + HostName;
    if (!SameNoCase(Port, "ftp") && !SameNoCase(Port, "21")) text += ":" + Port;
  }
  ExecAsync(kUser, text);
}

void TCustomFtpCli::PassAsync() {
  if (PassWord.empty()) return UsageError("Password empty");
  std::string pw = PassWord;
  std::string otp;
  if (OtpProcessChallenge(LastResponse, PassWord, false, otp)) {
    pw = otp;
    Display("! Generated One Time Password: " + otp);
  }
  ExecAsync(kPass, "PASS " + pw);
}

void TCustomFtpCli::AccountAsync() {
  if (Account.empty()) return UsageError("Account empty!");
  ExecAsync(kAcct, "ACCT " + Account);
}

void TCustomFtpCli::QuitAsync() {
  CloseLocalStreams();
  ResumeAt = 0;
  ExecAsync(kQuit, "QUIT", &TCustomFtpCli::DoneQuit);
}

void TCustomFtpCli::DoneQuit() {
  StateChange(fcsInternalReady);
  control_->CloseDeferred();
}

void TCustomFtpCli::TypeSetAsync() { ExecAsync(kType, std::string("TYPE ") + typeChar_); }
void TCustomFtpCli::TypeBinaryAsync() {
  SetBinary(true);
  TypeSetAsync();
}
void TCustomFtpCli::TypeAsciiAsync() {
  SetBinary(false);
  TypeSetAsync();
}
void TCustomFtpCli::PwdAsync() { ExecAsync(kPwd, "PWD"); }
void TCustomFtpCli::CwdAsync() {
  if (HostDirName.empty()) return UsageError("HostDirName empty");
  ExecAsync(kCwd, WithArg("CWD", HostDirName));
}
void TCustomFtpCli::CDupAsync() { ExecAsync(kCdup, "CDUP"); }
void TCustomFtpCli::SystAsync() { ExecAsync(kSyst, "SYST"); }
void TCustomFtpCli::SizeAsync() {
  SizeResult = 0;
  ExecAsync(kSize, WithArg("SIZE", HostFileName));
}
void TCustomFtpCli::MkdAsync() { ExecAsync(kMkd, WithArg("MKD", HostFileName)); }
void TCustomFtpCli::RmdAsync() { ExecAsync(kRmd, WithArg("RMD", HostFileName)); }
void TCustomFtpCli::DeleAsync() { ExecAsync(kDele, WithArg("DELE", HostFileName)); }
void TCustomFtpCli::RenFromAsync() { ExecAsync(kRnfr, WithArg("RNFR", HostFileName)); }
void TCustomFtpCli::RenToAsync() { ExecAsync(kRnto, WithArg("RNTO", LocalFileName)); }
void TCustomFtpCli::QuoteAsync() { ExecAsync(kQuote, LocalFileName); }
void TCustomFtpCli::AbortXferAsync() { ExecAsync(kAbor, "ABOR"); }

void TCustomFtpCli::RestAsync() {
  SetResumeFromLocalFile();
  if (ResumeAt <= 0) {
    if (!CheckReady()) return;
    currentStep_ = ftpStepRest;
    restAccepted_ = false;
    if (!highLevelFlag_) RequestType = ftpRestAsync;
    donePosted_ = false;
    ResumeAt = 0;
    RequestResult = 0;
    TriggerRequestDone(0);
    return;
  }
  ExecAsync(kRest, "REST " + std::to_string(ResumeAt), &TCustomFtpCli::DoneRest);
}

void TCustomFtpCli::DoneRest() {
  // A server that cannot restart gets the whole transfer: anything but a
  // 350 drops the restart position instead of ending the request.
  if (StatusCode == 350) {
    restAccepted_ = true;
  } else {
    ResumeAt = 0;
    RequestResult = 0;
    if (ErrorMessage == LastResponse) ErrorMessage.clear();
  }
  TriggerRequestDone(WORD(RequestResult));
}

void TCustomFtpCli::SetResumeFromLocalFile() {
  if (RequestType == ftpRestPutAsync || RequestType == ftpRestartPutAsync ||
      Options.Contains(ftpNoAutoResumeAt))
    return;
  std::error_code ec;
  auto size = std::filesystem::file_size(LocalFileName, ec);
  ResumeAt = ec ? -1 : std::int64_t(size);
}

void TCustomFtpCli::MlstAsync() {
  MlstFacts.clear();
  ExecAsync(kMlst, WithArg("MLST", HostFileName));
}
void TCustomFtpCli::FeatAsync() { ExecAsync(kFeat, "FEAT"); }
void TCustomFtpCli::MdtmAsync() { ExecAsync(kMdtm, WithArg("MDTM", HostFileName)); }
void TCustomFtpCli::MdtmYyAsync() {
  if (RemoteFileTime < 10) return UsageError("Modification date empty");
  ExecAsync(kMdtmYy, "MDTM " + FtpDateTimeToMdtm(RemoteFileTime) + " " + HostFileName);
}
void TCustomFtpCli::MfmtAsync() {
  if (RemoteFileTime < 10) return UsageError("Modification date empty");
  ExecAsync(kMfmt, "MFMT " + FtpDateTimeToMdtm(RemoteFileTime) + " " + HostFileName);
}
void TCustomFtpCli::Md5Async() { ExecAsync(kMd5, WithArg("MD5", HostFileName)); }

namespace {
std::string QuotedRange(const std::string& name, std::int64_t start, std::int64_t end) {
  std::string s = "\"" + name + "\"";
  if (start >= 0 && start < end) s += " " + std::to_string(start) + " " + std::to_string(end);
  return s;
}
}  // namespace

void TCustomFtpCli::XMd5Async() {
  ExecAsync(kXMd5, "XMD5 " + QuotedRange(HostFileName, HashRangeStart, HashRangeEnd));
}
void TCustomFtpCli::XCrcAsync() {
  ExecAsync(kXCrc, "XCRC " + QuotedRange(HostFileName, HashRangeStart, HashRangeEnd));
}
void TCustomFtpCli::ModeZAsync() {
  ExecAsync(kModeZ, RequestedMode == ftpTransModeZDeflate ? "MODE Z" : "MODE S");
}
void TCustomFtpCli::OptsAsync() { ExecAsync(kOpts, WithArg("OPTS", ModeZOptions)); }
void TCustomFtpCli::ClntAsync() { ExecAsync(kClnt, WithArg("CLNT", ClientName)); }
void TCustomFtpCli::AlloAsync() { ExecAsync(kAllo, "ALLO " + std::to_string(ResumeAt)); }
void TCustomFtpCli::CombAsync() { ExecAsync(kComb, WithArg("COMB", HostFileName)); }
void TCustomFtpCli::SitePaswdAsync() {
  ExecAsync(kSitePaswd, "SITE PSWD " + PassWord + " " + HostFileName);
}
void TCustomFtpCli::SiteExecAsync() { ExecAsync(kSiteExec, WithArg("SITE EXEC", HostFileName)); }
void TCustomFtpCli::SiteZoneAsync() { ExecAsync(kSiteZone, "SITE ZONE"); }
void TCustomFtpCli::SiteMsgAsync() { ExecAsync(kSiteMsg, WithArg("SITE MSG", HostFileName)); }

namespace {
// The commands whose reply lines go to the local file.
bool OpenListFile(TCustomFtpCli*, std::unique_ptr<TStream>& stream, const std::string& name,
                  TStream* app) {
  if (app) return true;
  stream = std::make_unique<TBufferedFileStream>(name, fmCreate);
  return true;
}
}  // namespace

void TCustomFtpCli::SiteIndexAsync() {
  CloseLocalStreams();
  try {
    OpenListFile(this, localStream_, LocalFileName, appStream_);
  } catch (const std::exception& e) {
    return UsageError("Unable to open local file " + LocalFileName + ": " + e.what());
  }
  ExecAsync(kSiteIndex, WithArg("SITE INDEX", HostFileName));
}
void TCustomFtpCli::SiteCmlsdAsync() {
  CloseLocalStreams();
  try {
    OpenListFile(this, localStream_, LocalFileName, appStream_);
  } catch (const std::exception& e) {
    return UsageError("Unable to open local file " + LocalFileName + ": " + e.what());
  }
  ExecAsync(kSiteCmlsd, WithArg("SITE CMLSD", HostFileName));
}
void TCustomFtpCli::XCmlsdAsync() {
  CloseLocalStreams();
  try {
    OpenListFile(this, localStream_, LocalFileName, appStream_);
  } catch (const std::exception& e) {
    return UsageError("Unable to open local file " + LocalFileName + ": " + e.what());
  }
  ExecAsync(kXCmlsd, WithArg("XCMLSD", HostFileName));
}
void TCustomFtpCli::ReinAsync() { ExecAsync(kRein, "REIN"); }
void TCustomFtpCli::HostAsync() {
  bool literal = !resolvedAddr_.empty() && HostName == resolvedAddr_;
  ExecAsync(kHost, literal ? "HOST [" + HostName + "]" : "HOST " + HostName);
}
void TCustomFtpCli::LangAsync() { ExecAsync(kLang, WithArg("LANG", Language)); }

void TCustomFtpCli::RetrCmdAsync() { StartReceiveTransfer(ftpGetAsync); }
void TCustomFtpCli::ListCmdAsync() { StartReceiveTransfer(ftpDirAsync); }
void TCustomFtpCli::NlstCmdAsync() { StartReceiveTransfer(ftpLsAsync); }
void TCustomFtpCli::MlsdCmdAsync() { StartReceiveTransfer(ftpMlsdAsync); }
void TCustomFtpCli::SiteDmlsdCmdAsync() { StartReceiveTransfer(ftpSiteDmlsdAsync); }
void TCustomFtpCli::XDmlsdCmdAsync() { StartReceiveTransfer(ftpXDmlsdAsync); }
void TCustomFtpCli::StorCmdAsync() {
  appending_ = false;
  if (!highLevelFlag_) RequestType = ftpPutAsync;
  StartSendTransfer();
}
void TCustomFtpCli::AppeCmdAsync() {
  appending_ = true;
  if (!highLevelFlag_) RequestType = ftpAppendAsync;
  StartSendTransfer();
}

// ---------------------------------------------------------------------------
// High-level requests

namespace {
const TFtpSteps kLogin{ftpStepOpen, ftpStepAuth, ftpStepUser, ftpStepPass, ftpStepAcct};
TFtpSteps Login(std::initializer_list<TFtpStep> more) {
  TFtpSteps s = kLogin;
  for (auto m : more) s.Include(m);
  return s;
}
}  // namespace

void TCustomFtpCli::ConnectAsync() { HighLevelAsync(ftpConnectAsync, kLogin); }
void TCustomFtpCli::ConnectFeatAsync() { HighLevelAsync(ftpConnectAsync, Login({ftpStepFeat})); }
void TCustomFtpCli::ConnectHostAsync() {
  HighLevelAsync(ftpConnectHostAsync, Login({ftpStepHost}));
}
void TCustomFtpCli::ConnectFeatHostAsync() {
  HighLevelAsync(ftpConnectHostAsync, Login({ftpStepHost, ftpStepFeat}));
}
void TCustomFtpCli::AuthSessionAsync() {
  HighLevelAsync(ftpAuthAsync, {ftpStepOpen, ftpStepAuth, ftpStepQuit});
}
void TCustomFtpCli::ReceiveAsync() {
  HighLevelAsync(ftpReceiveAsync,
                 Login({ftpStepCwd, ftpStepTypeSet, ftpStepPort, ftpStepGet, ftpStepQuit}));
}
void TCustomFtpCli::RestartGetAsync() {
  HighLevelAsync(ftpRestartGetAsync, Login({ftpStepCwd, ftpStepTypeSet, ftpStepPort, ftpStepRest,
                                            ftpStepGet, ftpStepQuit}));
}
void TCustomFtpCli::GetAsync() { HighLevelAsync(ftpGetAsync, {ftpStepPort, ftpStepGet}); }
void TCustomFtpCli::RestGetAsync() {
  HighLevelAsync(ftpRestGetAsync, {ftpStepPort, ftpStepRest, ftpStepGet});
}
void TCustomFtpCli::TransmitAsync() {
  HighLevelAsync(ftpTransmitAsync,
                 Login({ftpStepCwd, ftpStepTypeSet, ftpStepPort, ftpStepPut, ftpStepQuit}));
}
void TCustomFtpCli::RestartPutAsync() {
  HighLevelAsync(ftpRestartPutAsync, Login({ftpStepCwd, ftpStepTypeSet, ftpStepPort, ftpStepRest,
                                            ftpStepPut, ftpStepQuit}));
}
void TCustomFtpCli::PutAsync() {
  data_->LastError = 0;
  HighLevelAsync(ftpPutAsync, {ftpStepPort, ftpStepPut});
  if (data_->LastError != 0)
    throw FtpException("Socket Error - " + WinsockErrorTextWithCode(data_->LastError));
}
void TCustomFtpCli::RestPutAsync() {
  HighLevelAsync(ftpRestPutAsync, {ftpStepPort, ftpStepRest, ftpStepPut});
}
void TCustomFtpCli::AppendFileAsync() {
  HighLevelAsync(ftpTransmitAsync,
                 Login({ftpStepCwd, ftpStepTypeSet, ftpStepPort, ftpStepAppend, ftpStepQuit}));
}
void TCustomFtpCli::AppendAsync() { HighLevelAsync(ftpAppendAsync, {ftpStepPort, ftpStepAppend}); }
void TCustomFtpCli::DirectoryAsync() {
  HighLevelAsync(ftpDirectoryAsync, Login({ftpStepCwd, ftpStepPort, ftpStepDir, ftpStepQuit}));
}
void TCustomFtpCli::DirAsync() { HighLevelAsync(ftpDirAsync, {ftpStepPort, ftpStepDir}); }
void TCustomFtpCli::ListAsync() {
  HighLevelAsync(ftpListAsync, Login({ftpStepCwd, ftpStepPort, ftpStepLs, ftpStepQuit}));
}
void TCustomFtpCli::LsAsync() { HighLevelAsync(ftpLsAsync, {ftpStepPort, ftpStepLs}); }
void TCustomFtpCli::SystemAsync() {
  HighLevelAsync(ftpSystemAsync, Login({ftpStepSyst, ftpStepQuit}));
}
void TCustomFtpCli::FileSizeAsync() {
  HighLevelAsync(ftpSizeAsync, Login({ftpStepCwd, ftpStepSize, ftpStepQuit}));
}
void TCustomFtpCli::MkdirAsync() {
  HighLevelAsync(ftpMkdirAsync, Login({ftpStepCwd, ftpStepMkd, ftpStepQuit}));
}
void TCustomFtpCli::RmdirAsync() {
  HighLevelAsync(ftpRmdirAsync, Login({ftpStepCwd, ftpStepRmd, ftpStepQuit}));
}
void TCustomFtpCli::DeleteAsync() {
  HighLevelAsync(ftpDeleteAsync, Login({ftpStepCwd, ftpStepDele, ftpStepQuit}));
}
void TCustomFtpCli::DoQuoteAsync() {
  HighLevelAsync(ftpDoQuoteAsync, Login({ftpStepCwd, ftpStepQuote, ftpStepQuit}));
}
void TCustomFtpCli::RenameAsync() {
  HighLevelAsync(ftpRenameAsync, Login({ftpStepCwd, ftpStepRenFrom, ftpStepRenTo, ftpStepQuit}));
}
void TCustomFtpCli::RenAsync() { HighLevelAsync(ftpRenAsync, {ftpStepRenFrom, ftpStepRenTo}); }
void TCustomFtpCli::MlsdAsync() { HighLevelAsync(ftpMlsdAsync, {ftpStepPort, ftpStepMlsd}); }
void TCustomFtpCli::SiteDmlsdAsync() {
  HighLevelAsync(ftpSiteDmlsdAsync, {ftpStepPort, ftpStepSiteDmlsd});
}
void TCustomFtpCli::XDmlsdAsync() { HighLevelAsync(ftpXDmlsdAsync, {ftpStepPort, ftpStepXDmlsd}); }

// ---------------------------------------------------------------------------
// Abort

void TCustomFtpCli::Abort() {
  Note(TLogOption::loProtSpecInfo, "! Aborting");
  const bool running = !donePosted_;
  StateChange(fcsAborting);
  AbortPendingTlsShutdown();
  if (running) {
    StatusCode = 426;
    RequestResult = 426;
    LastResponse = "426 Operation aborted.";
    ErrorMessage = LastResponse;
    highLevelContinuation_ = false;
    pendingSteps_ = {};
    doneAction_ = nullptr;
    fNext_ = nullptr;
  }
  CloseLocalStreams();
  ResumeAt = 0;
  control_->Abort();
  data_->Abort();
  connected_ = false;
  if (running && !donePosted_) {
    // Posted now, delivered after Abort returns.
    savedStatus_ = -1;
    TriggerRequestDone(426);
  }
  StateChange(fcsReady);
}

}  // namespace yux::net
