#pragma once
// The asynchronous FTP client.  Every operation returns at once; its result
// arrives later as OnRequestDone with the request code and an error code,
// exactly once per request.  Single commands send one command; high-level
// requests name a set of steps that a driver runs one after the other in a
// fixed order.  Both the control and the data connection are TWSockets,
// which carry the TLS layer that TSslFtpClient switches on.
//
// ftpcli.cpp: the command table, the command sender, the reply handler,
//             the completion routine, the high-level driver, connecting.
// ftpclixfer.cpp: the reply reader, the control connection's end, the data
//             connection (passive and active), the transfers, MODE Z.
// ftpclissl.cpp: the blocking way of running a request, and TLS.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "net/protocols/ftpreply.h"
#include "net/socket/bufferedfilestream.h"
#include "net/socket/wsocket.h"

namespace yux::net {

// The most a server can make the client hold: one reply (FEAT, HELP, a
// banner) and one listing.
inline constexpr std::uint64_t kFtpMaxReplyBytes = 65536;
inline constexpr std::uint64_t kFtpMaxListingBytes = std::uint64_t(64) << 20;

class FtpException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The code OnRequestDone reports; the ordinals are fixed.
enum TFtpRequest : std::uint8_t {
  ftpNone, ftpOpenAsync, ftpUserAsync, ftpPassAsync, ftpCwdAsync, ftpConnectAsync,
  ftpReceiveAsync, ftpDirAsync, ftpLsAsync, ftpPortAsync, ftpGetAsync, ftpDirectoryAsync,
  ftpListAsync, ftpSystemAsync, ftpSystAsync, ftpQuitAsync, ftpAbortXferAsync, ftpSizeAsync,
  ftpPutAsync, ftpAppendAsync, ftpFileSizeAsync, ftpRqAbort, ftpMkdAsync, ftpRmdAsync,
  ftpRenameAsync, ftpDeleAsync, ftpRenAsync, ftpRenToAsync, ftpRenFromAsync, ftpDeleteAsync,
  ftpMkdirAsync, ftpRmdirAsync, ftpPwdAsync, ftpQuoteAsync, ftpCDupAsync, ftpDoQuoteAsync,
  ftpTransmitAsync, ftpTypeSetAsync, ftpRestAsync, ftpRestGetAsync, ftpRestartGetAsync,
  ftpRestPutAsync, ftpRestartPutAsync, ftpMlsdAsync, ftpFeatAsync, ftpMlstAsync, ftpMdtmAsync,
  ftpMdtmyyAsync, ftpAuthAsync, ftpMfmtAsync, ftpMd5Async, ftpAccountAsync, ftpProtAsync,
  ftpPbszAsync, ftpModeZAsync, ftpOptsAsync, ftpCccAsync, ftpXCrcAsync, ftpClntAsync,
  ftpSitePaswdAsync, ftpSiteExecAsync, ftpSiteIndexAsync, ftpSiteZoneAsync, ftpSiteMsgAsync,
  ftpSiteCmlsdAsync, ftpSiteDmlsdAsync, ftpAlloAsync, ftpCombAsync, ftpXMd5Async,
  ftpConnectHostAsync, ftpReinAsync, ftpHostAsync, ftpLangAsync, ftpXCmlsdAsync, ftpXDmlsdAsync,
  ftpConnectFeatAsync, ftpConnectFeatHostAsync
};

enum TFtpClientState : std::uint8_t {
  fcsNotConnected, fcsReady, fcsInternalReady, fcsLookingUp, fcsConnected, fcsAborting,
  fcsAwaitingBanner, fcsAwaitingReply, fcsPassiveReady
};

// Step ordinals: the bits of PendingSteps.
enum TFtpStep : std::uint8_t {
  ftpStepNone = 0, ftpStepOpen = 1, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepSize,
  ftpStepMkd, ftpStepRmd, ftpStepRenFrom, ftpStepRenTo, ftpStepGet, ftpStepDir, ftpStepQuit,
  ftpStepSyst, ftpStepDele, ftpStepPwd, ftpStepQuote, ftpStepPut, ftpStepTypeSet, ftpStepRest,
  ftpStepCdup, ftpStepLs, ftpStepAppend, ftpStepPort, ftpStepAbor, ftpStepMlsd, ftpStepFeat,
  ftpStepMlst, ftpStepMdtm, ftpStepMdtmYy, ftpStepAuth, ftpStepMfmt, ftpStepMd5, ftpStepAcct,
  ftpStepProt, ftpStepPbsz, ftpStepModeZ, ftpStepOpts, ftpStepCcc, ftpStepXCrc, ftpStepClnt,
  ftpStepSitePaswd, ftpStepSiteExec, ftpStepSiteIndex, ftpStepSiteZone, ftpStepSiteMsg,
  ftpStepSiteCmlsd, ftpStepSiteDmlsd, ftpStepRein = 51, ftpStepHost, ftpStepLang, ftpStepXCmlsd,
  ftpStepXDmlsd
};

class TFtpSteps {
 public:
  TFtpSteps() = default;
  TFtpSteps(std::initializer_list<TFtpStep> l) {
    for (auto s : l) Include(s);
  }
  bool Contains(TFtpStep s) const { return (bits_ >> unsigned(s)) & 1u; }
  void Include(TFtpStep s) { bits_ |= std::uint64_t(1) << unsigned(s); }
  void Exclude(TFtpStep s) { bits_ &= ~(std::uint64_t(1) << unsigned(s)); }
  bool Empty() const { return bits_ == 0; }

 private:
  std::uint64_t bits_ = 0;
};

enum TFtpOption { ftpAcceptLF, ftpNoAutoResumeAt, ftpWaitUsingSleep, ftpBandwidthControl,
                  ftpAutoDetectCodePage };
class TFtpOptions {
 public:
  TFtpOptions() = default;
  TFtpOptions(std::initializer_list<TFtpOption> l) {
    for (auto o : l) Include(o);
  }
  bool Contains(TFtpOption o) const { return (bits_ >> unsigned(o)) & 1u; }
  void Include(TFtpOption o) { bits_ |= 1u << unsigned(o); }
  void Exclude(TFtpOption o) { bits_ &= ~(1u << unsigned(o)); }

 private:
  unsigned bits_ = 0;
};

enum TFtpConnectionType { ftpDirect, ftpProxy, ftpSocks4, ftpSocks4A, ftpSocks5, ftpHttpProxy };
enum TFtpShareMode { ftpShareCompat, ftpShareExclusive, ftpShareDenyWrite, ftpShareDenyRead,
                     ftpShareDenyNone };
enum TFtpCliSslType { sslTypeNone, sslTypeAuthTls, sslTypeAuthSsl, sslTypeImplicit };
enum TFtpTransMode { ftpTransModeStream, ftpTransModeZDeflate };
enum TZStreamDirection { ftpZNone, ftpZDecompressAfterGet, ftpZCompressedPut };

class TCustomFtpCli;
using TFtpDisplay = std::function<void(TCustomFtpCli* sender, std::string& msg)>;
using TFtpNotify = std::function<void(TCustomFtpCli* sender)>;
using TFtpSessionEvent = std::function<void(TCustomFtpCli* sender, WORD errCode)>;
using TFtpRequestDone = std::function<void(TCustomFtpCli* sender, TFtpRequest rq, WORD errCode)>;
using TFtpProgress64 = std::function<void(TCustomFtpCli* sender, std::int64_t count, bool& abort)>;
using TFtpReadyToTransmit = std::function<void(TCustomFtpCli* sender, bool& cancel)>;

// One line of the command table: what a single command reports, the step
// it records, its verb and the replies that mean success (none: every code
// below 500).
struct TFtpCommandDef {
  TFtpRequest rq;
  TFtpStep step;
  const char* verb;
  std::array<int, 8> ok;
};

class TCustomFtpCli : public TNetWndControl {
 public:
  TCustomFtpCli();
  ~TCustomFtpCli() override;

  // ---- Settings ----
  std::string HostName;
  std::string Port = "ftp";
  std::string UserName, PassWord, Account;
  std::string HostDirName, HostFileName, LocalFileName;
  TFtpOptions Options{ftpAcceptLF};
  TFtpConnectionType ConnectionType = ftpDirect;
  std::string ProxyServer, ProxyPort = "ftp";
  std::string SocksServer, SocksPort, SocksUserCode, SocksPassword;
  std::string HttpTunnelServer, HttpTunnelPort, HttpTunnelUserCode, HttpTunnelPassword;
  THttpTunnelAuthType HttpTunnelAuthType = htatDetect;
  std::string LocalAddr = "0.0.0.0";
  std::string Language = "EN";
  TFtpShareMode ShareMode = ftpShareExclusive;
  bool DisplayFileFlag = false;
  int BandwidthLimit = 10000;
  int BandwidthSampling = 1000;
  std::string ClientName = "YUX FTP Client V1.00 ";
  std::string ModeZOptions = "MODE Z LEVEL 8";
  std::string TempFolder;
  // The part of HostFileName that XMD5 and XCRC hash: from HashRangeStart
  // up to HashRangeEnd, sent only when the start is 0 or more and below the
  // end; otherwise the whole file.
  std::int64_t HashRangeStart = -1, HashRangeEnd = -1;
  // MODE Z when true (the default), MODE S otherwise.
  TFtpTransMode RequestedMode = ftpTransModeZDeflate;

  bool Binary() const { return typeChar_ == 'I'; }
  void SetBinary(bool v) { typeChar_ = v ? 'I' : 'A'; }
  int CodePage() const { return codePage_; }
  void SetCodePage(int v);
  unsigned DataPortRangeStart() const { return portRangeStart_; }
  void SetDataPortRangeStart(unsigned v);
  unsigned DataPortRangeEnd() const { return portRangeEnd_; }
  void SetDataPortRangeEnd(unsigned v);
  // The data socket's send buffer for uploads; 0 (the default) keeps the
  // system's, which grows with the connection: a fixed size turns that
  // off and caps an upload at a few buffers per round trip.
  int DataSocketSndBufSize() const { return sndBufSize_; }
  void SetDataSocketSndBufSize(int v) { sndBufSize_ = v < 1024 ? 1024 : v; }
  bool Passive() const { return passive_; }
  void SetPassive(bool v);
  TNetLogger* NetLogger() const { return netLogger_; }
  void SetNetLogger(TNetLogger* v);
  void SetMultiThreaded(bool v) override;
  // A stream of the application for the next transfers: never opened,
  // closed or freed by the client.  A non-empty LocalFileName wins.
  TStream* LocalStream() const { return appStream_; }
  void SetLocalStream(TStream* s) { appStream_ = s; }
  virtual TFtpCliSslType SslType() const { return sslTypeNone; }
  virtual void SetSslType(TFtpCliSslType v);

  // ---- State ----
  TFtpClientState State() const { return state_; }
  bool Connected() const { return connected_; }
  int StatusCode = 0;
  std::string LastResponse;
  std::string LastMultiResponse;
  std::string ErrorMessage;
  int RequestResult = 0;
  TFtpRequest RequestType = ftpNone;
  std::int64_t ResumeAt = 0;
  std::int64_t SizeResult = 0;
  std::string DirResult;
  double RemoteFileTime = -1;
  std::string Md5Result, CrcResult;
  TFtpExtensions SupportedExtensions;
  std::string MlstFacts, FeatMlstFacts, ServerLanguages;
  std::string PasvReply;
  std::int64_t ByteCount = 0;
  DWORD TransferMs = 0;
  TFtpTransMode TransferMode() const { return transferMode_; }
  TFtpStep CurrentStep() const { return currentStep_; }
  bool IsControlOpen() const;
  // The sockets, for settings the client does not carry and for tests.
  TWSocket* ControlSocket() const { return control_.get(); }
  TWSocket* DataSocket() const { return data_.get(); }

  // ---- Events ----
  TFtpDisplay OnDisplay;
  TFtpDisplay OnCommand;
  TFtpNotify OnResponse;
  TFtpDisplay OnError;
  TFtpSessionEvent OnSessionConnected;
  TFtpSessionEvent OnSessionClosed;
  TFtpNotify OnStateChange;
  TFtpRequestDone OnRequestDone;
  TFtpProgress64 OnProgress64;
  TFtpDisplay OnDisplayFile;
  TFtpReadyToTransmit OnReadyToTransmit;

  // ---- Single commands ----
  virtual void OpenAsync();
  virtual void UserAsync();
  virtual void PassAsync();
  virtual void AccountAsync();
  virtual void QuitAsync();
  virtual void Abort();
  virtual void TypeSetAsync();
  void TypeBinaryAsync();
  void TypeAsciiAsync();
  void PwdAsync();
  void CwdAsync();
  void CDupAsync();
  void SystAsync();
  void SizeAsync();
  void MkdAsync();
  void RmdAsync();
  void DeleAsync();
  void RenFromAsync();
  void RenToAsync();
  void QuoteAsync();
  void AbortXferAsync();
  void RestAsync();
  void MlstAsync();
  void FeatAsync();
  void MdtmAsync();
  void MdtmYyAsync();
  void MfmtAsync();
  void Md5Async();
  void XMd5Async();
  void XCrcAsync();
  void ModeZAsync();
  void OptsAsync();
  void ClntAsync();
  void AlloAsync();
  void CombAsync();
  void SitePaswdAsync();
  void SiteExecAsync();
  void SiteIndexAsync();
  void SiteZoneAsync();
  void SiteMsgAsync();
  void SiteCmlsdAsync();
  void XCmlsdAsync();
  void ReinAsync();
  void HostAsync();
  void LangAsync();
  virtual void PortAsync();
  void RetrCmdAsync();
  void ListCmdAsync();
  void NlstCmdAsync();
  void MlsdCmdAsync();
  void SiteDmlsdCmdAsync();
  void XDmlsdCmdAsync();
  void StorCmdAsync();
  void AppeCmdAsync();
  virtual void AuthAsync();
  virtual void ProtAsync();
  virtual void PbszAsync();
  virtual void CccAsync();

  // ---- High-level requests ----
  void ConnectAsync();
  void ConnectFeatAsync();
  void ConnectHostAsync();
  void ConnectFeatHostAsync();
  void AuthSessionAsync();
  void ReceiveAsync();
  void RestartGetAsync();
  void GetAsync();
  void RestGetAsync();
  void TransmitAsync();
  void RestartPutAsync();
  void PutAsync();
  void RestPutAsync();
  void AppendFileAsync();
  void AppendAsync();
  void DirectoryAsync();
  void DirAsync();
  void ListAsync();
  void LsAsync();
  void SystemAsync();
  void FileSizeAsync();
  void MkdirAsync();
  void RmdirAsync();
  void DeleteAsync();
  void DoQuoteAsync();
  void RenameAsync();
  void RenAsync();
  void MlsdAsync();
  void SiteDmlsdAsync();
  void XDmlsdAsync();
  void HighLevelAsync(TFtpRequest rq, TFtpSteps steps);

  // TNetWndControl.
  void HandleWindowMessage(TMessage& msg) override;
  int MessageNumbersNeeded() override { return TNetWndControl::MessageNumbersNeeded() + 3; }
  void AllocateMessageNumbers() override;
  void FreeMessageNumbers() override;
  void AbortAfterError() override;

  // The done action of a command whose request a TLS event completes.
  void AwaitTls() {}

  // Trace and log.
  virtual void LogDebug(TLogOption option, const std::string& text);
  virtual bool LogOptionActive(TLogOption option);

 protected:
  using TAction = void (TCustomFtpCli::*)();

  virtual std::unique_ptr<TWSocket> CreateSocket();
  virtual void TriggerDisplay(const std::string& msg);
  virtual void TriggerDisplayFile(std::string& msg);
  virtual void TriggerError(const std::string& msg);
  virtual void TriggerResponse();
  virtual bool TriggerProgress64(std::int64_t count);
  virtual void TriggerReadyToTransmit(bool& cancel);
  virtual void HandleControlConnected(TCustomWSocket* sender, WORD error);
  virtual void PrepareDataSocketPut();
  virtual void PrepareDataSocketGet();
  // Gives a freshly accepted active-mode connection its settings (TLS).
  virtual void PrepareAcceptedDataSocket() {}
  virtual void HandleReplyTls() {}
  // False while the data connection's TLS handshake still runs: an end of
  // data then would cut the handshake.
  virtual bool DataReadyForShutdown() { return true; }
  // A TLS shutdown of the control channel that Abort ends as failed.
  virtual void AbortPendingTlsShutdown() {}
  virtual void ShowTransferStats();
  virtual void HandleFtpRequestDoneMessage(TMessage& msg);
  virtual void HandleFtpSendDataMessage(TMessage& msg);
  virtual void HandleFtpCloseDownMessage(TMessage& msg);
  virtual void SetResumeFromLocalFile();
  virtual void SendCommand(const std::string& cmd);

  // The sender of every single command.
  void ExecAsync(const TFtpCommandDef& def, const std::string& text, TAction done = nullptr);
  bool CheckReady();
  void Display(const std::string& msg);
  void Note(TLogOption option, const std::string& msg);
  void StateChange(TFtpClientState s);
  // A refusal before a request starts: OnError or FtpException.
  void Refuse(const std::string& msg);
  // A usage error: ends the running request with 500, else a refusal.
  void UsageError(const std::string& msg);
  // Ends the request with a failure of the client's own.
  void FailRequest(int code, const std::string& response);
  // True (and the request rq ends with 501, nothing sent) when a text bound
  // for the control connection holds CR, LF or NUL: such a text would let
  // whoever chose a name end the command and write the next one.
  bool ArgumentRefused(TFtpRequest rq, const char* what, const std::string& text);
  void SetErrorMessage();
  void TriggerRequestDone(WORD errCode);
  void NextHighLevelStep();
  void SingleReplyHandler();
  void ParseResult();
  void RunDone();
  void DoneQuit();
  void DoneRest();

  // Replies and transfers.
  void ControlDataAvailable(TCustomWSocket* sender, WORD error);
  // Ends the running request with code and drops the control connection
  // at once: what the server sent can no longer be trusted.
  void FailAndDropControl(int code, const std::string& response);
  bool TakeReplyLine(std::string& line);
  void HandleReplyLine();
  void ControlSessionClosed(TCustomWSocket* sender, WORD error);
  void ControlDnsLookupDone(TCustomWSocket* sender, WORD error);
  void StartReceiveTransfer(TFtpRequest rq);
  void StartSendTransfer();
  bool DataAddress(std::string& addr, std::string& port);
  void DataPrepareCommon(TWSocket& s);
  void GetFirstReply();
  void GetSecondReply();
  void GetConnected(TCustomWSocket* sender, WORD error);
  void AcceptGet(TCustomWSocket* sender, WORD error);
  void AcceptPut(TCustomWSocket* sender, WORD error);
  bool AcceptDataConnection();
  void BindGetData();
  void DataAvailable(TCustomWSocket* sender, WORD error);
  void GetDataClosed(TCustomWSocket* sender, WORD error);
  void CheckGetEnd();
  void PutConnected(TCustomWSocket* sender, WORD error);
  void PutDataAvailable(TCustomWSocket* sender, WORD error);
  void PutDataSent(TCustomWSocket* sender, WORD error);
  void PutDataClosed(TCustomWSocket* sender, WORD error);
  void SendStor();
  void StorFirstReply();
  void StorSecondReply();
  void SendNextBlock();
  void CheckPutEnd();
  void LocalDataFailed(int code, const std::string& why);
  void EndTransfer(WORD code, bool sending);
  void TransferFailed(int code, bool display, const char* note);
  void CloseDataSocket();
  void CloseLocalStreams();
  void OpenCompressTemp();
  TStream* LocalOut() const;
  std::uint16_t ShareModeBits() const;
  void ResetTransfer();

  // Sockets and window messages.
  std::unique_ptr<TWSocket> control_;
  std::unique_ptr<TWSocket> data_;
  UINT msgRequestDone_ = 0, msgSendData_ = 0, msgCloseDown_ = 0;

  // State.
  TFtpClientState state_ = fcsReady;
  bool connected_ = false;
  char typeChar_ = 'I';
  int codePage_ = 0;
  unsigned portRangeStart_ = 0, portRangeEnd_ = 0, nextDataPort_ = 0;
  int sndBufSize_ = 0;
  bool passive_ = false;
  TNetLogger* netLogger_ = nullptr;
  TStream* appStream_ = nullptr;
  std::array<int, 17> okList_{};
  void (TCustomFtpCli::*fNext_)() = nullptr;
  TAction doneAction_ = nullptr;
  bool highLevelContinuation_ = false;
  bool highLevelFlag_ = false;
  int highLevelResult_ = 0;
  std::string savedResponse_;
  int savedStatus_ = -1;
  TFtpSteps pendingSteps_;
  TFtpStep currentStep_ = ftpStepNone;
  bool donePosted_ = true;     // no request is running
  bool restAccepted_ = false;  // the last command was a REST answered with 350
  std::string resolvedAddr_;
  std::string pendingCommand_;  // the verb of the command awaiting its reply

  // Reply buffer.
  static constexpr int kReplyBufSize = 32768;
  std::string replyBuf_;
  std::uint64_t replyBytes_ = 0;  // of the reply being read
  int abandonedReplies_ = 0;      // final replies owed to requests already ended

  // Transfers.
  std::string dataCommand_;
  bool appending_ = false;
  bool transferReplyDone_ = false, getDataClosed_ = false, putDataClosed_ = false;
  bool putReply150_ = false, putDataConnected_ = false, putStarted_ = false, eofSent_ = false;
  bool closeDownPending_ = false;
  WORD dataCloseError_ = 0;
  int localError_ = 0;  // 426 or 550 after a local read or write error
  std::string localErrorMessage_;
  std::string putBuf_;  // the batch of an upload being handed to the socket
  DWORD startTick_ = 0, endTick_ = 0;
  std::unique_ptr<TStream> localStream_;
  std::unique_ptr<TStream> zStream_;
  std::string zFileName_;
  TZStreamDirection zDirection_ = ftpZNone;
  TFtpTransMode transferMode_ = ftpTransModeStream;
  std::string controlPeer_;  // the address the control connection reached
  // The size an answered SIZE gave, for the next download of that name:
  // a binary download that ends short of it was cut.
  std::int64_t announcedSize_ = -1;
  std::string announcedName_;
  // Why a download whose data connection ended cannot count as complete.
  std::string dataEndFailure_;
};

// Adds the blocking way of running a request.
class TFtpClient : public TCustomFtpCli {
 public:
  int Timeout = 15;  // seconds; 0 or less: no limit
  DWORD Deadline = 0;

  // Calls the operation, then waits for the request's end: true when it
  // ended with RequestResult 0.  An exception from either gives false.
  virtual bool RunBlocking(void (TCustomFtpCli::*op)());
  virtual bool WaitForRequestEnd();

  bool Open() { return RunBlocking(&TCustomFtpCli::OpenAsync); }
  bool User() { return RunBlocking(&TCustomFtpCli::UserAsync); }
  bool Pass() { return RunBlocking(&TCustomFtpCli::PassAsync); }
  bool Connect() { return RunBlocking(&TCustomFtpCli::ConnectAsync); }
  bool Cwd() { return RunBlocking(&TCustomFtpCli::CwdAsync); }
  bool Quit() { return RunBlocking(&TCustomFtpCli::QuitAsync); }
  bool Get() { return RunBlocking(&TCustomFtpCli::GetAsync); }
  bool Put() { return RunBlocking(&TCustomFtpCli::PutAsync); }
  bool Append() { return RunBlocking(&TCustomFtpCli::AppendAsync); }
  bool Dir() { return RunBlocking(&TCustomFtpCli::DirAsync); }
  bool Ls() { return RunBlocking(&TCustomFtpCli::LsAsync); }
  bool List() { return RunBlocking(&TCustomFtpCli::ListAsync); }
  bool Size() { return RunBlocking(&TCustomFtpCli::SizeAsync); }
  bool Feat() { return RunBlocking(&TCustomFtpCli::FeatAsync); }
  bool Mdtm() { return RunBlocking(&TCustomFtpCli::MdtmAsync); }
  bool Dele() { return RunBlocking(&TCustomFtpCli::DeleAsync); }
  bool Mkd() { return RunBlocking(&TCustomFtpCli::MkdAsync); }
  bool Rmd() { return RunBlocking(&TCustomFtpCli::RmdAsync); }
  bool Ren() { return RunBlocking(&TCustomFtpCli::RenAsync); }
  bool TypeSet() { return RunBlocking(&TCustomFtpCli::TypeSetAsync); }
  bool RestGet() { return RunBlocking(&TCustomFtpCli::RestGetAsync); }
  bool RestPut() { return RunBlocking(&TCustomFtpCli::RestPutAsync); }

 protected:
  bool TriggerProgress64(std::int64_t count) override;
};

// Explicit (AUTH, PBSZ, PROT, CCC) and implicit TLS.
class TSslFtpClient : public TFtpClient {
 public:
  TSslFtpClient();
  ~TSslFtpClient() override;

  TFtpCliSslType SslType() const override { return sslType_; }
  void SetSslType(TFtpCliSslType v) override { sslType_ = v; }
  TSslContext* SslContext() const;
  void SetSslContext(TSslContext* v);
  std::vector<std::string>& SslAcceptableHosts();
  const std::string& ProtLevel() const { return protLevel_; }
  void SetProtLevel(const std::string& v);
  int PBSZSize = 0;
  const std::string& LastProtSent() const { return lastProtSent_; }
  bool DataProtected() const { return dataProtected_; }
  bool Renegotiating() const { return renegotiating_; }

  TSslVerifyPeerEvent OnSslVerifyPeer;
  TSslCliGetSession OnSslCliGetSession;
  TSslCliNewSession OnSslCliNewSession;
  TSslCliCertRequest OnSslCliCertRequest;
  std::function<void(TCustomFtpCli* sender, WORD errCode, TX509Base* peerCert, bool& disconnect)>
      OnSslHandshakeDone;
  // Asked once the TLS handshake of the control connection (control true)
  // or of a data connection succeeded, before anything more goes over it:
  // false refuses the server, and the request ends at once with 535 (the
  // control connection dropped) or 426 (the transfer ended).
  std::function<bool(TCustomFtpCli* sender, TWSocket& socket, bool control)> OnSslPeerCheck;

  void OpenAsync() override;
  void AuthAsync() override;
  void ProtAsync() override;
  void PbszAsync() override;
  void CccAsync() override;

 protected:
  void HandleControlConnected(TCustomWSocket* sender, WORD error) override;
  void PrepareDataSocketPut() override;
  void PrepareDataSocketGet() override;
  void PrepareAcceptedDataSocket() override;
  void HandleReplyTls() override;
  void AbortPendingTlsShutdown() override;
  bool DataReadyForShutdown() override;
  virtual void SslShutDownComplete(TCustomWSocket* sender, bool bidirectional, int errCode);
  virtual void SslHandshakeDone(TCustomWSocket* sender, WORD errCode, TX509Base* peerCert,
                                bool& disconnect);

 private:
  void BindTlsEvents(TWSocket& s, bool dataSocket);
  void StartControlTls();
  void DataTls(TWSocket& s);
  void InitTlsFailed(const std::string& message);
  void AuthReply();

  TFtpCliSslType sslType_ = sslTypeNone;
  std::string protLevel_ = "C";
  std::string lastProtSent_;
  bool dataProtected_ = false;
  bool renegotiating_ = false;
  bool shutdownPending_ = false;
};

}  // namespace yux::net
