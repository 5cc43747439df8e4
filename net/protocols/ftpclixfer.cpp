// The FTP client's byte side: the reply reader, the end of the control
// connection, the data connection in passive and active mode, the
// receiving and sending transfers, compressed mode and the statistics.
#include <cstdio>
#include <filesystem>
#include <typeinfo>

#include "net/protocols/ftpcli.h"
#include "net/protocols/zlibstreams.h"
#include "net/socket/codepage.h"
#include "net/socket/neterrors.h"
#include "net/socket/netutils.h"

namespace yux::net {

namespace {

constexpr int kBlockSize = 32768;
// An upload hands the socket up to this many bytes (whole blocks) per
// data-sent event: one block per event spends more on the event loop's
// round trip than on the block.
constexpr int kBatchSize = 32 * kBlockSize;
// The data socket keeps the system's receive buffer: shrinking it on a
// connection already set up (to the 8192 bytes of old) stalls Linux TCP
// once the peer has been granted a larger window.

// The temporary file of a compressed transfer: created exclusively, so an
// existing file or a planted symlink is never written through.
class TFtpTempFile : public TStream {
 public:
  explicit TFtpTempFile(const std::string& name) : name_(name) {
    f_ = std::fopen(name.c_str(), "w+bx");
    if (!f_) throw EFCreateError("Cannot create file \"" + name + "\"");
  }
  ~TFtpTempFile() override {
    if (f_) std::fclose(f_);
  }
  std::int64_t Read(void* buffer, std::int64_t count) override {
    return std::int64_t(std::fread(buffer, 1, size_t(count), f_));
  }
  std::int64_t Write(const void* buffer, std::int64_t count) override {
    size_t n = std::fwrite(buffer, 1, size_t(count), f_);
    if (n != size_t(count)) throw EStreamError("Error writing \"" + name_ + "\"");
    return std::int64_t(n);
  }
  std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override {
    int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
                 : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                    : SEEK_END;
    if (fseeko(f_, off_t(offset), whence) != 0) return -1;
    return std::int64_t(ftello(f_));
  }
  void SetSize(std::int64_t newSize) override {
    std::fflush(f_);
    std::filesystem::resize_file(name_, std::uintmax_t(newSize));
  }

 private:
  std::string name_;
  std::FILE* f_ = nullptr;
};

std::string StepVerb(TFtpRequest rq) {
  switch (rq) {
    case ftpDirAsync: return "LIST";
    case ftpLsAsync: return "NLST";
    case ftpMlsdAsync: return "MLSD";
    case ftpSiteDmlsdAsync: return "SITE DMLSD";
    case ftpXDmlsdAsync: return "XDMLSD";
    default: return "RETR";
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// The reply reader

void TCustomFtpCli::ControlDataAvailable(TCustomWSocket*, WORD) {
  if (RequestType == ftpRqAbort) {
    char junk[1024];
    control_->Receive(junk, sizeof junk);
    return;
  }
  const int room = kReplyBufSize - 1 - int(replyBuf_.size());
  if (room <= 0) {
    // A line that does not fit the buffer can never be completed: waiting
    // for its end would stall the request for good.
    char junk[1024];
    control_->Receive(junk, sizeof junk);
    FailAndDropControl(500, "500 Reply line too long");
    return;
  }
  std::string chunk(size_t(room), '\0');
  int n = control_->Receive(chunk.data(), room);
  if (n <= 0) return;
  replyBuf_.append(chunk.data(), size_t(n));
  std::string line;
  while (!replyBuf_.empty() && TakeReplyLine(line)) {
    LastResponse = line;
    HandleReplyLine();
    if (!control_ || control_->State() != wsConnected) break;
  }
  if (int(replyBuf_.size()) >= kReplyBufSize - 1) ControlDataAvailable(control_.get(), 0);
}

void TCustomFtpCli::FailAndDropControl(int code, const std::string& response) {
  replyBuf_.clear();
  replyBytes_ = 0;
  if (donePosted_ && !highLevelFlag_) {
    control_->Abort();
    return;
  }
  highLevelContinuation_ = false;
  pendingSteps_ = {};
  control_->OnSessionClosed = nullptr;
  control_->Abort();
  control_->OnSessionClosed = [this](TCustomWSocket* s, WORD e) { ControlSessionClosed(s, e); };
  connected_ = false;
  FailRequest(code, response);
}

bool TCustomFtpCli::TakeReplyLine(std::string& line) {
  size_t end;
  size_t len;
  if (Options.Contains(ftpAcceptLF)) {
    end = replyBuf_.find('\n');
    len = end + 1;
  } else {
    end = replyBuf_.find("\r\n");
    len = end + 2;
  }
  if (end == std::string::npos) return false;
  line = replyBuf_.substr(0, len);
  replyBuf_.erase(0, len);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
  if (codePage_ != 0)
    line = NetRecodeString(line, std::uint32_t(codePage_), NetSystemCodePage());
  else if (Options.Contains(ftpAutoDetectCodePage) && DetectUtf8String(line) == 1)
    line = NetRecodeString(line, CP_UTF8, NetSystemCodePage());
  return true;
}

void TCustomFtpCli::HandleReplyLine() {
  const bool listStep = currentStep_ == ftpStepSiteIndex || currentStep_ == ftpStepSiteCmlsd ||
                        currentStep_ == ftpStepXCmlsd;
  TFtpReplyCode rc = FtpReplyCode(LastResponse);
  // A reply (FEAT, HELP, a banner) or a listing sent over the control
  // connection is bounded: a server that never ends one ends the request.
  replyBytes_ += LastResponse.size() + 2;
  const std::uint64_t bound = listStep ? kFtpMaxListingBytes : kFtpMaxReplyBytes;
  if (replyBytes_ > bound) {
    if (listStep) CloseLocalStreams();
    return FailAndDropControl(500, "500 Reply longer than " + std::to_string(bound) +
                                       " bytes: connection dropped");
  }
  if (rc.hasCode && !rc.continuation) replyBytes_ = 0;
  if (!listStep && LastMultiResponse.size() < 65536) LastMultiResponse += LastResponse + "\r\n";
  TriggerResponse();
  Note(TLogOption::loProtSpecDump, ">|" + LastResponse + "|\r\n");
  if (state_ == fcsAwaitingBanner) {
    Display("< " + LastResponse);
    if (!rc.hasCode || rc.continuation) return;
    StatusCode = rc.code;
    if (rc.code != 220) {
      SetErrorMessage();
      RequestResult = rc.code;
      control_->Close();
      return;
    }
    StateChange(fcsConnected);
    if (OnSessionConnected) OnSessionConnected(this, 0);
    TriggerRequestDone(0);
    return;
  }
  if (abandonedReplies_ > 0 && rc.hasCode && !rc.continuation) {
    // The answer to a command whose request already ended: preliminary
    // replies are passed over, the final one is dropped.
    Display("< " + LastResponse);
    if (rc.code / 100 != 1) --abandonedReplies_;
    return;
  }
  if (state_ != fcsAwaitingReply) {
    Display("< " + LastResponse);
    return;
  }
  if (currentStep_ == ftpStepFeat) FtpFeatLine(LastResponse, SupportedExtensions, FeatMlstFacts,
                                               ServerLanguages);
  if (currentStep_ == ftpStepMlst && StatusCode == 250 && LastResponse.size() > 4 &&
      LastResponse[0] == ' ')
    MlstFacts = std::string(LastResponse.substr(1));
  if (listStep && rc.hasCode && rc.continuation && (rc.code == 200 || rc.code == 250)) {
    if (TStream* out = LocalOut()) {
      std::string text = LastResponse.size() > 4 ? LastResponse.substr(4) : std::string();
      text += "\r\n";
      try {
        out->Write(text.data(), std::int64_t(text.size()));
      } catch (const std::exception&) {
        Display("! Error writing local file");
      }
    }
    Display("< " + LastResponse);
    return;
  }
  if (!rc.hasCode || rc.continuation) {
    if (rc.hasCode && currentStep_ == ftpStepMlst) StatusCode = rc.code;
    Display("< " + LastResponse);
    return;
  }
  if (listStep) CloseLocalStreams();
  if (!fNext_) return UsageError("Program error: FNext is nil");
  (this->*fNext_)();
}

// ---------------------------------------------------------------------------
// The control connection's end

void TCustomFtpCli::ControlSessionClosed(TCustomWSocket*, WORD error) {
  const TFtpClientState before = state_;
  if (state_ == fcsInternalReady && (RequestType == ftpQuitAsync || currentStep_ == ftpStepQuit))
    error = 0;
  if (connected_) {
    connected_ = false;
    if (state_ != fcsAborting) StateChange(fcsNotConnected);
    if (OnSessionClosed) OnSessionClosed(this, error);
  }
  if (state_ != fcsAborting) StateChange(fcsInternalReady);
  if (RequestType == ftpRqAbort) return;
  if (before == fcsAborting) return TriggerRequestDone(WORD(RequestResult));
  if (error != 0 || (RequestType != ftpQuitAsync &&
                     (before == fcsAwaitingBanner || before == fcsAwaitingReply))) {
    if (RequestResult == 0 || error != 0) {
      LastResponse = "500 Control connection closed - " + WinsockErrorTextWithCode(error);
      StatusCode = 500;
      RequestResult = 500;
      SetErrorMessage();
    }
  }
  // The connection is gone: what was still to do cannot be done.
  if (RequestResult != 0) highLevelContinuation_ = false;
  CloseLocalStreams();
  TriggerRequestDone(WORD(RequestResult));
}

// ---------------------------------------------------------------------------
// The data connection

void TCustomFtpCli::DataPrepareCommon(TWSocket& s) {
  s.SetProto("tcp");
  s.OnSessionAvailable = nullptr;
  s.OnSessionClosed = nullptr;
  s.OnDataAvailable = nullptr;
  s.OnDataSent = nullptr;
  s.OnSessionConnected = nullptr;
  if (Options.Contains(ftpBandwidthControl)) {
    s.SetBandwidthSampling(DWORD(BandwidthSampling));
    s.SetBandwidthLimit(BandwidthLimit);
  } else {
    s.SetBandwidthLimit(0);
  }
}

void TCustomFtpCli::PortAsync() {
  if (!CheckReady()) return;
  if (!connected_) return UsageError("FTP component not connected");
  TWSocket& d = *data_;
  if (d.State() != wsClosed) CloseDataSocket();
  DataPrepareCommon(d);
  putStarted_ = false;
  std::string command;
  if (passive_) {
    command = "PASV";
  } else {
    // Listen where the control connection is, never on every interface.
    std::string local = control_->BoundAddrText();
    if (local == "error") return UsageError("FTP component not connected");
    d.SetAddr(local);
    d.LingerOnOff = wsLingerOn;
    d.LingerTimeout = 10;
    if (portRangeStart_ == 0 && portRangeEnd_ == 0) {
      d.SetPort("0");
      try {
        d.Listen();
      } catch (const std::exception& e) {
        return UsageError("Data connection winsock bind failed - " + std::string(e.what()));
      }
    } else {
      if (portRangeEnd_ < portRangeStart_)
        return UsageError("DataPortRangeEnd must be greater than DataPortRangeStart");
      if (nextDataPort_ < portRangeStart_ || nextDataPort_ > portRangeEnd_)
        nextDataPort_ = portRangeStart_;
      const unsigned first = nextDataPort_;
      for (;;) {
        const unsigned tried = nextDataPort_;
        nextDataPort_ = tried >= portRangeEnd_ ? portRangeStart_ : tried + 1;
        d.SetAddr(local);
        d.SetPort(std::to_string(tried));
        d.LastError = 0;
        int err = 0;
        try {
          d.Listen();
        } catch (const std::exception&) {
          err = d.LastError ? d.LastError : 10048;
        }
        if (err == 0 && d.State() == wsListening) break;
        if (err == 0) err = d.LastError;
        d.Close();
        if (err != 10048)
          return UsageError("Data connection winsock bind failed - " +
                            WinsockErrorTextWithCode(err));
        if (nextDataPort_ == first) return UsageError("All ports in DataPortRange are in use");
      }
    }
    int port = std::atoi(d.BoundPortText().c_str());
    std::string ip = local;
    for (char& c : ip)
      if (c == '.') c = ',';
    command = "PORT " + ip + "," + std::to_string(port >> 8) + "," + std::to_string(port & 255);
  }
  ByteCount = 0;
  static constexpr TFtpCommandDef kPort{ftpPortAsync, ftpStepPort, "PORT", {200, 227}};
  ExecAsync(kPort, command);
}

bool TCustomFtpCli::DataAddress(std::string& addr, std::string& port) {
  TFtpPasvAddress a;
  if (!FtpParsePasvReply(PasvReply, a)) return false;
  // The data connection goes to the host the control connection reached.
  addr = controlPeer_.empty() ? resolvedAddr_ : controlPeer_;
  port = std::to_string(a.port);
  return !addr.empty();
}

void TCustomFtpCli::PrepareDataSocketGet() {
  TWSocket& d = *data_;
  d.SslEnable = false;
  d.SetLocalAddr(LocalAddr);
  d.LingerOnOff = wsLingerOff;
  d.LingerTimeout = 0;
  d.ComponentOptions.Include(wsoNoReceiveLoop);
  if (ConnectionType == ftpSocks4 || ConnectionType == ftpSocks4A || ConnectionType == ftpSocks5) {
    d.SetSocksLevel(control_->SocksLevel());
    d.SocksAuthentication = control_->SocksAuthentication;
    d.SetSocksServer(SocksServer);
    d.SetSocksPort(SocksPort);
    d.SocksUsercode = SocksUserCode;
    d.SocksPassword = SocksPassword;
  } else {
    d.SetSocksServer("");
  }
  if (ConnectionType == ftpHttpProxy) {
    d.SetHttpTunnelAuthType(HttpTunnelAuthType);
    d.SetHttpTunnelServer(HttpTunnelServer);
    d.SetHttpTunnelPort(HttpTunnelPort);
    d.SetHttpTunnelUsercode(HttpTunnelUserCode);
    d.SetHttpTunnelPassword(HttpTunnelPassword);
  } else {
    d.SetHttpTunnelServer("");
  }
}

void TCustomFtpCli::PrepareDataSocketPut() { PrepareDataSocketGet(); }

std::uint16_t TCustomFtpCli::ShareModeBits() const {
  switch (ShareMode) {
    case ftpShareExclusive: return fmShareExclusive;
    case ftpShareDenyWrite: return fmShareDenyWrite;
    case ftpShareDenyNone: return fmShareDenyNone;
    default: return 0;
  }
}

TStream* TCustomFtpCli::LocalOut() const {
  if (localStream_) return localStream_.get();
  return LocalFileName.empty() ? appStream_ : nullptr;
}

void TCustomFtpCli::ResetTransfer() {
  transferReplyDone_ = getDataClosed_ = putDataClosed_ = false;
  putReply150_ = putDataConnected_ = putStarted_ = eofSent_ = false;
  closeDownPending_ = false;
  ByteCount = 0;
  startTick_ = 0;
  TransferMs = 0;
  dataCloseError_ = 0;
  localError_ = 0;
  localErrorMessage_.clear();
  dataEndFailure_.clear();
}

void TCustomFtpCli::OpenCompressTemp() {
  // A fresh name each time: the file is created exclusively.
  for (int attempt = 0;; ++attempt) {
    zFileName_ = TempFolder + FtpCompressTempName(LocalFileName, platform::GetTickCount() + attempt);
    try {
      zStream_ = std::make_unique<TFtpTempFile>(zFileName_);
      return;
    } catch (const EStreamError&) {
      if (attempt >= 20) {
        zFileName_.clear();
        throw;
      }
    }
  }
}

void TCustomFtpCli::CloseLocalStreams() {
  if (zStream_) {
    std::unique_ptr<TStream> z = std::move(zStream_);
    std::string err;
    if (zDirection_ == ftpZDecompressAfterGet && z->Size() > 0 && LocalOut() && localError_ == 0) {
      try {
        z->SetPosition(0);
        TStream* out = LocalOut();
        std::int64_t before = out->Position();
        ZlibDecompressStream(*z, *out, this);
        Display("! Download size, compressed " + FtpSizeText(z->Size()) + " bytes, Uncompressed " +
                FtpSizeText(out->Position() - before) + "bytes");
      } catch (const std::exception& e) {
        err = e.what();
      }
    }
    z.reset();
    std::error_code ec;
    if (!zFileName_.empty()) std::filesystem::remove(zFileName_, ec);
    zFileName_.clear();
    zDirection_ = ftpZNone;
    if (!err.empty()) {
      localStream_.reset();
      return UsageError("Failed to Decompress Stream - " + err);
    }
  }
  localStream_.reset();
}

void TCustomFtpCli::CloseDataSocket() {
  data_->OnSessionClosed = nullptr;
  data_->OnDataAvailable = nullptr;
  data_->OnDataSent = nullptr;
  data_->OnSessionAvailable = nullptr;
  data_->OnSessionConnected = nullptr;
  if (data_->State() != wsClosed) data_->Close();
}

void TCustomFtpCli::TransferFailed(int code, bool display, const char* note) {
  if (display && note) Display(note);
  fNext_ = nullptr;
  CloseDataSocket();
  CloseLocalStreams();
  ResumeAt = 0;
  RequestResult = code;
  highLevelContinuation_ = false;
  TriggerRequestDone(WORD(code));
}

// A local read or write error: the data connection is reset, so the server
// never keeps a cut file as complete, and the request ends with the code
// whatever the server answers next.
void TCustomFtpCli::LocalDataFailed(int code, const std::string& why) {
  if (localError_ != 0) return;
  localError_ = code;
  localErrorMessage_ = std::to_string(code) + " " + why;
  StatusCode = code;
  RequestResult = code;
  ErrorMessage = localErrorMessage_;
  Display("! " + localErrorMessage_);
  data_->OnDataSent = nullptr;
  data_->OnDataAvailable = nullptr;
  data_->Abort();
}

void TCustomFtpCli::EndTransfer(WORD code, bool) {
  ShowTransferStats();
  ResumeAt = 0;
  if (localError_ != 0) {
    code = WORD(localError_);
    StatusCode = localError_;
    LastResponse = localErrorMessage_;
    ErrorMessage = localErrorMessage_;
  }
  if (code == 0 && !dataEndFailure_.empty()) {
    code = 426;
    StatusCode = 426;
    LastResponse = dataEndFailure_;
    ErrorMessage = dataEndFailure_;
    Display("! " + dataEndFailure_);
  }
  RequestResult = code;
  if (code != 0) highLevelContinuation_ = false;
  CloseLocalStreams();
  TriggerRequestDone(code);
}

// ---------------------------------------------------------------------------
// Receiving

void TCustomFtpCli::StartReceiveTransfer(TFtpRequest rq) {
  dataCommand_ = StepVerb(rq);
  if (!CheckReady()) return;
  if (!connected_) return UsageError(dataCommand_ + ": not connected");
  if (LocalFileName.empty() && !DisplayFileFlag && !appStream_)
    return UsageError("LocalFileName empty");
  if (ArgumentRefused(highLevelFlag_ ? RequestType : rq, "The host file name", HostFileName))
    return;
  if (!highLevelFlag_) RequestType = rq;
  currentStep_ = rq == ftpDirAsync ? ftpStepDir
                 : rq == ftpLsAsync ? ftpStepLs
                 : rq == ftpMlsdAsync ? ftpStepMlsd
                 : rq == ftpSiteDmlsdAsync ? ftpStepSiteDmlsd
                 : rq == ftpXDmlsdAsync ? ftpStepXDmlsd
                                       : ftpStepGet;
  if (rq != ftpGetAsync || !restAccepted_) ResumeAt = 0;
  ResetTransfer();
  donePosted_ = false;
  data_->OnSessionAvailable = [this](TCustomWSocket* s, WORD e) { AcceptGet(s, e); };
  if (!DisplayFileFlag) {
    CloseLocalStreams();
    try {
      if (!LocalFileName.empty()) {
        if (ResumeAt > 0) {
          auto f = std::make_unique<TBufferedFileStream>(LocalFileName,
                                                         fmOpenWrite | ShareModeBits());
          std::int64_t pos = f->FileSize() >= ResumeAt ? f->Seek(ResumeAt, TSeekOrigin::soBeginning)
                                                       : -1;
          localStream_ = std::move(f);
          if (pos != ResumeAt) {
            localStream_.reset();
            LastResponse = "Unable to set resume position in local file";
            StatusCode = 550;
            return TransferFailed(550, false, nullptr);
          }
          // What lay beyond the resume position is not the server's file:
          // a shorter download must not leave the old tail behind it.
          localStream_->SetSize(ResumeAt);
        } else {
          localStream_ = std::make_unique<TBufferedFileStream>(LocalFileName, fmCreate);
        }
      } else if (appStream_ && ResumeAt > 0) {
        appStream_->SetPosition(ResumeAt);
        if (appStream_->Size() > ResumeAt) appStream_->SetSize(ResumeAt);
      }
      if (transferMode_ == ftpTransModeZDeflate) {
        OpenCompressTemp();
        zDirection_ = ftpZDecompressAfterGet;
      }
    } catch (const std::exception& e) {
      zStream_.reset();
      std::error_code ec;
      if (!zFileName_.empty()) std::filesystem::remove(zFileName_, ec);
      zFileName_.clear();
      localStream_.reset();
      LastResponse = "Unable to open local file " + LocalFileName + ": " + e.what();
      StatusCode = 550;
      SetErrorMessage();
      return TransferFailed(550, false, nullptr);
    }
  }
  if (passive_) {
    std::string addr, port;
    if (!DataAddress(addr, port)) {
      LastResponse = "550 Invalid passive reply: " + PasvReply;
      StatusCode = 550;
      SetErrorMessage();
      return TransferFailed(550, false, nullptr);
    }
    try {
      TWSocket& d = *data_;
      d.SetAddr(addr);
      d.SetPort(port);
      PrepareDataSocketGet();
      d.OnSessionConnected = [this](TCustomWSocket* s, WORD e) { GetConnected(s, e); };
      Note(TLogOption::loProtSpecInfo, "! Data Socket Connect");
      d.Connect();
    } catch (const std::exception& e) {
      LastResponse = "550 " + std::string(typeid(e).name()) + ": " + e.what();
      StatusCode = 550;
      SetErrorMessage();
      return TransferFailed(550, false, nullptr);
    }
  }
  StateChange(fcsAwaitingReply);
  fNext_ = &TCustomFtpCli::GetFirstReply;
  pendingCommand_ = dataCommand_;
  LastMultiResponse.clear();
  SendCommand(HostFileName.empty() ? dataCommand_ : dataCommand_ + " " + HostFileName);
}

void TCustomFtpCli::GetConnected(TCustomWSocket*, WORD error) {
  if (error != 0) {
    // The command went out with the connect: its answer is still to come
    // and belongs to no later command.
    if (fNext_ && !transferReplyDone_) ++abandonedReplies_;
    LastResponse = "Unable to establish data connection - " + WinsockErrorTextWithCode(error);
    StatusCode = 550;
    SetErrorMessage();
    return TransferFailed(550, false, nullptr);
  }
  Note(TLogOption::loProtSpecInfo, "! Data Session Connected (Get)");
  BindGetData();
}

void TCustomFtpCli::BindGetData() {
  data_->OnSessionClosed = [this](TCustomWSocket* s, WORD e) { GetDataClosed(s, e); };
  data_->OnDataAvailable = [this](TCustomWSocket* s, WORD e) { DataAvailable(s, e); };
  startTick_ = platform::GetTickCount();
}

// Takes an incoming active-mode connection, if it comes from the server.
bool TCustomFtpCli::AcceptDataConnection() {
  Note(TLogOption::loProtSpecInfo, "! Data Session requested");
  TWSocket& d = *data_;
  SOCKET h = d.Accept();
  if (h == INVALID_SOCKET) return false;
  std::string from = WSocketCounted_inet_ntoa(&d.sin.sin_addr);
  if (from != controlPeer_) {
    // Only the server may connect to the data port.
    WSocket_closesocket(h);
    Display("! Data connection from " + from + " refused: not the server");
    return false;
  }
  d.OnSessionAvailable = nullptr;
  d.Close();
  PrepareAcceptedDataSocket();
  d.Dup(h);
  return d.State() == wsConnected;
}

void TCustomFtpCli::AcceptGet(TCustomWSocket*, WORD error) {
  if (error != 0) return;
  if (!AcceptDataConnection()) return;
  BindGetData();
  TransferMs = 0;
  Note(TLogOption::loProtSpecInfo, "! Data Session opened");
}

void TCustomFtpCli::GetFirstReply() {
  Display("< " + LastResponse);
  StatusCode = FtpReplyCode(LastResponse).code;
  if (StatusCode / 10 == 15 || StatusCode == 125) {
    fNext_ = &TCustomFtpCli::GetSecondReply;
    return;
  }
  SetErrorMessage();
  if (localError_ != 0) return EndTransfer(0, false);
  TransferFailed(StatusCode, false, nullptr);
}

void TCustomFtpCli::GetSecondReply() {
  Display("< " + LastResponse);
  StatusCode = FtpReplyCode(LastResponse).code;
  if (localError_ != 0) {
    transferReplyDone_ = true;
    return CheckGetEnd();
  }
  if (StatusCode == 125 || StatusCode == 226 || StatusCode == 250) {
    transferReplyDone_ = true;
    return CheckGetEnd();
  }
  SetErrorMessage();
  TransferFailed(StatusCode, true, "! RETR/LIST/NLST Failed");
}

void TCustomFtpCli::DataAvailable(TCustomWSocket*, WORD) {
  if (!TriggerProgress64(ByteCount + ResumeAt)) return;
  std::string buf(kBlockSize, '\0');
  int n = data_->Receive(buf.data(), kBlockSize);
  if (n < 0) {
    int e = data_->LastError;
    if (e != WSAEWOULDBLOCK && data_->State() == wsConnected) {
      Display("! Data: Receive Error - " + WinsockErrorTextWithCode(e));
      data_->Shutdown(2);
    }
    return;
  }
  if (n == 0) return;
  if (state_ == fcsAborting) {
    Display("! Data ignored while aborting");
    return;
  }
  if (localError_ != 0) return;
  buf.resize(size_t(n));
  if (currentStep_ != ftpStepGet && std::uint64_t(ByteCount + n) > kFtpMaxListingBytes)
    return LocalDataFailed(552, "Listing longer than " + std::to_string(kFtpMaxListingBytes) +
                                    " bytes: transfer ended");
  try {
    if (zDirection_ == ftpZDecompressAfterGet && zStream_) {
      zStream_->Write(buf.data(), n);
    } else if (TStream* out = LocalOut()) {
      if (out->Write(buf.data(), n) != n) throw EStreamError("Write error");
    }
  } catch (const std::exception& e) {
    Display("! Error writing local file");
    return LocalDataFailed(550, e.what());
  }
  ByteCount += n;
  if (DisplayFileFlag) {
    std::uint32_t cp = std::uint32_t(codePage_);
    if (Options.Contains(ftpAutoDetectCodePage) && DetectUtf8String(buf) != 2) cp = CP_UTF8;
    size_t i = 0;
    while (i < buf.size()) {
      size_t j = buf.find_first_of("\r\n", i);
      if (j == std::string::npos) j = buf.size();
      if (j > i) {
        std::string line = buf.substr(i, j - i);
        if (cp != 0) line = NetRecodeString(line, cp, NetSystemCodePage());
        TriggerDisplayFile(line);
      }
      i = buf.find_first_not_of("\r\n", j);
      if (i == std::string::npos) break;
    }
  }
}

void TCustomFtpCli::GetDataClosed(TCustomWSocket*, WORD error) {
  Note(TLogOption::loProtSpecInfo, "! Data Session closed");
  // What is still queued in the socket belongs to the transfer.
  while (localError_ == 0 && data_->State() == wsConnected) {
    std::int64_t before = ByteCount;
    DataAvailable(data_.get(), 0);
    if (ByteCount == before) break;
  }
  if (localError_ == 0 && dataEndFailure_.empty()) {
    if (data_->SslClosedWithoutNotify()) {
      // A protected stream cut without its close-notify may have lost its
      // tail, whatever the server's final reply claims.
      dataEndFailure_ =
          "426 Data connection closed without its TLS close-notify: the download is incomplete";
    } else if (currentStep_ == ftpStepGet && Binary() &&
               transferMode_ == ftpTransModeStream && announcedSize_ >= 0 &&
               announcedName_ == HostFileName && ResumeAt + ByteCount < announcedSize_) {
      dataEndFailure_ = "426 Download ended after " + std::to_string(ResumeAt + ByteCount) +
                        " of the " + std::to_string(announcedSize_) +
                        " bytes SIZE announced: the download is incomplete";
    }
  }
  CloseLocalStreams();
  getDataClosed_ = true;
  dataCloseError_ = error;
  CheckGetEnd();
}

void TCustomFtpCli::CheckGetEnd() {
  Note(TLogOption::loProtSpecDump, "! Next3GetAsync");
  if (!(transferReplyDone_ && getDataClosed_)) return;
  EndTransfer(dataCloseError_, false);
}

// ---------------------------------------------------------------------------
// Sending

void TCustomFtpCli::StartSendTransfer() {
  if (!CheckReady()) return;
  if (!connected_) return UsageError("STOR/APPE: not connected");
  if (!appStream_ && LocalFileName.empty()) return UsageError("LocalFileName empty");
  if (ArgumentRefused(RequestType, "The host file name", HostFileName)) return;
  currentStep_ = appending_ ? ftpStepAppend : ftpStepPut;
  announcedSize_ = -1;  // the upload changes the file
  if (!appending_ && !restAccepted_) ResumeAt = 0;
  ResetTransfer();
  donePosted_ = false;
  bool cancel = false;
  TriggerReadyToTransmit(cancel);
  if (cancel) {
    ErrorMessage = "426 Transmit cancelled by application";
    StatusCode = 426;
    RequestResult = 426;
    LastResponse = ErrorMessage;
    Display("! " + ErrorMessage);
    highLevelContinuation_ = false;
    return TriggerRequestDone(426);
  }
  data_->OnSessionAvailable = [this](TCustomWSocket* s, WORD e) { AcceptPut(s, e); };
  CloseLocalStreams();
  std::int64_t toSend = 0;
  try {
    TStream* in = appStream_;
    if (!LocalFileName.empty()) {
      localStream_ = std::make_unique<TBufferedFileStream>(LocalFileName,
                                                           fmOpenRead | ShareModeBits());
      in = localStream_.get();
    }
    if (ResumeAt > 0 && in->Seek(ResumeAt, TSeekOrigin::soBeginning) != ResumeAt) {
      LastResponse = "Unable to set resume position in local file";
      StatusCode = 550;
      return TransferFailed(550, false, nullptr);
    }
    toSend = in->Size() - in->Position();
  } catch (const std::exception& e) {
    LastResponse = "Unable to open local file " + LocalFileName + ": " + e.what();
    StatusCode = 426;
    SetErrorMessage();
    Display("! " + ErrorMessage);
    return TransferFailed(426, false, nullptr);
  }
  if (transferMode_ == ftpTransModeZDeflate) {
    try {
      OpenCompressTemp();
      zDirection_ = ftpZCompressedPut;
      ZlibCompressStreamEx(*LocalOut(), *zStream_, 1,
                           TZStreamType::zsZLib, false,
                           [this](void*, bool& abort, std::int64_t) {
                             abort = !TriggerProgress64(0);
                           },
                           this);
      zStream_->SetPosition(0);
      Display("! Upload Size, compressed " + FtpSizeText(zStream_->Size()) +
              " bytes, Uncompressed " + FtpSizeText(toSend) + "bytes");
    } catch (const std::exception& e) {
      zStream_.reset();
      std::error_code ec;
      if (!zFileName_.empty()) std::filesystem::remove(zFileName_, ec);
      zFileName_.clear();
      zDirection_ = ftpZNone;
      localStream_.reset();
      StatusCode = 426;
      CloseDataSocket();
      return UsageError("Failed to Compress Stream - " + std::string(e.what()));
    }
  } else {
    Display("! Upload Size " + FtpSizeText(toSend));
  }
  if (passive_) {
    std::string addr, port;
    if (!DataAddress(addr, port)) {
      LastResponse = "426 Invalid passive reply: " + PasvReply;
      StatusCode = 426;
      SetErrorMessage();
      return TransferFailed(426, false, nullptr);
    }
    try {
      TWSocket& d = *data_;
      d.SetAddr(addr);
      d.SetPort(port);
      PrepareDataSocketPut();
      d.OnSessionConnected = [this](TCustomWSocket* s, WORD e) { PutConnected(s, e); };
      d.Connect();
    } catch (const std::exception& e) {
      LastResponse = "426 " + std::string(typeid(e).name()) + ": " + e.what();
      StatusCode = 426;
      SetErrorMessage();
      return TransferFailed(426, false, nullptr);
    }
    StateChange(fcsAwaitingReply);  // the command follows the connection
    return;
  }
  SendStor();
}

void TCustomFtpCli::SendStor() {
  StateChange(fcsAwaitingReply);
  fNext_ = &TCustomFtpCli::StorFirstReply;
  pendingCommand_ = appending_ ? "APPE" : "STOR";
  LastMultiResponse.clear();
  SendCommand(pendingCommand_ + " " + HostFileName);
}

void TCustomFtpCli::PutConnected(TCustomWSocket*, WORD error) {
  if (error != 0) {
    LastResponse = "Unable to establish data connection - " + WinsockErrorTextWithCode(error);
    StatusCode = 550;
    SetErrorMessage();
    return TransferFailed(550, false, nullptr);
  }
  Note(TLogOption::loProtSpecInfo, "! Data Session opened (Put)");
  data_->OnSessionClosed = [this](TCustomWSocket* s, WORD e) { PutDataClosed(s, e); };
  data_->OnDataAvailable = [this](TCustomWSocket* s, WORD e) { PutDataAvailable(s, e); };
  putDataConnected_ = true;
  startTick_ = platform::GetTickCount();
  if (sndBufSize_ > 0) data_->SetSendBufferSize(sndBufSize_);
  SendStor();
}

void TCustomFtpCli::AcceptPut(TCustomWSocket*, WORD error) {
  if (error != 0) return;
  if (!AcceptDataConnection()) return;
  TWSocket& d = *data_;
  d.OnSessionClosed = [this](TCustomWSocket* s, WORD e) { PutDataClosed(s, e); };
  d.OnDataAvailable = [this](TCustomWSocket* s, WORD e) { PutDataAvailable(s, e); };
  d.OnDataSent = [this](TCustomWSocket* s, WORD e) { PutDataSent(s, e); };
  if (sndBufSize_ > 0) d.SetSendBufferSize(sndBufSize_);
  d.ComponentOptions.Include(wsoNoReceiveLoop);
  putDataConnected_ = true;
  if (putReply150_ && startTick_ == 0)
    platform::PostMessage(GetWindowHandle(), msgSendData_, 0, 0);
  Note(TLogOption::loProtSpecInfo, "! Data Session opened");
}

void TCustomFtpCli::PutDataAvailable(TCustomWSocket*, WORD) {
  char junk[2048];
  data_->Receive(junk, sizeof junk);
}

void TCustomFtpCli::StorFirstReply() {
  Display("< " + LastResponse);
  StatusCode = FtpReplyCode(LastResponse).code;
  if (StatusCode == 150 || StatusCode == 125) {
    fNext_ = &TCustomFtpCli::StorSecondReply;
    putReply150_ = true;
    if (passive_) {
      Note(TLogOption::loProtSpecInfo, "! Send first block");
      data_->OnDataSent = [this](TCustomWSocket* s, WORD e) { PutDataSent(s, e); };
      SendNextBlock();
    } else if (putDataConnected_ && startTick_ == 0) {
      platform::PostMessage(GetWindowHandle(), msgSendData_, 0, 0);
    }
    return;
  }
  SetErrorMessage();
  if (localError_ != 0) return EndTransfer(0, true);
  TransferFailed(StatusCode, false, nullptr);
}

void TCustomFtpCli::StorSecondReply() {
  Display("< " + LastResponse);
  StatusCode = FtpReplyCode(LastResponse).code;
  if (localError_ != 0 || StatusCode == 226 || StatusCode == 250) {
    transferReplyDone_ = true;
    return CheckPutEnd();
  }
  SetErrorMessage();
  TransferFailed(StatusCode, true, "! STOR Failed");
}

void TCustomFtpCli::HandleFtpSendDataMessage(TMessage&) {
  startTick_ = platform::GetTickCount();
  TransferMs = 0;
  if (!putStarted_) SendNextBlock();
}

void TCustomFtpCli::PutDataSent(TCustomWSocket*, WORD error) {
  if (error != 0) {
    Display("! Error sending data - " + WinsockErrorTextWithCode(error));
    data_->Close();
    return;
  }
  if (closeDownPending_) {
    // Every queued byte has reached the kernel: now the end may follow.
    closeDownPending_ = false;
    platform::PostMessage(GetWindowHandle(), msgCloseDown_, 0, 0);
    return;
  }
  SendNextBlock();
}

void TCustomFtpCli::SendNextBlock() {
  TStream* in = zDirection_ == ftpZCompressedPut ? zStream_.get() : LocalOut();
  if (!in || localError_ != 0) return;
  if (eofSent_ || closeDownPending_ || !putReply150_ || !putDataConnected_) return;
  if (!TriggerProgress64(ByteCount + ResumeAt)) return;
  putStarted_ = true;
  // What the network does not take at once waits in the socket's queue,
  // kept in pieces of this size: a batch then goes out in one system call
  // rather than in segment-sized ones.
  if (data_->GetBufSize() < kBatchSize) data_->SetBufSize(kBatchSize);
  putBuf_.resize(kBatchSize);
  int batch = 0;
  std::int64_t n = 0;
  for (;;) {
    // Progress is told before every block, as the application may abort.
    if (batch > 0 && !TriggerProgress64(ByteCount + ResumeAt)) return;
    try {
      n = in->Read(putBuf_.data() + batch, kBlockSize);
    } catch (const std::exception& e) {
      Display("! Error reading file " + std::string(typeid(e).name()) + ": " + e.what());
      return LocalDataFailed(426, e.what());
    }
    Note(TLogOption::loProtSpecInfo, "DataSocketPutDataSent " + std::to_string(n));
    if (n <= 0) break;
    ByteCount += n;
    batch += int(n);
    if (batch + kBlockSize > kBatchSize) break;
  }
  if (batch > 0) {
    data_->Send(putBuf_.data(), batch);
    return;
  }
  // The end of the file: the shutdown waits until the socket has handed
  // every queued byte to the network, however long a slow peer takes.
  if (data_->AllSent())
    platform::PostMessage(GetWindowHandle(), msgCloseDown_, 0, 0);
  else
    closeDownPending_ = true;
}

void TCustomFtpCli::HandleFtpCloseDownMessage(TMessage&) {
  if (eofSent_ || data_->State() != wsConnected) return;
  if (!data_->AllSent() || !DataReadyForShutdown()) {
    closeDownPending_ = true;
    return;
  }
  data_->Shutdown(1);
  eofSent_ = true;
}

void TCustomFtpCli::PutDataClosed(TCustomWSocket*, WORD error) {
  Note(TLogOption::loProtSpecInfo, "! Data Session closed");
  CloseLocalStreams();
  putDataClosed_ = true;
  dataCloseError_ = error;
  CheckPutEnd();
}

void TCustomFtpCli::CheckPutEnd() {
  Note(TLogOption::loProtSpecDump, "! Next3PutAsync");
  if (!(transferReplyDone_ && putDataClosed_)) return;
  EndTransfer(dataCloseError_, true);
}

// ---------------------------------------------------------------------------
// Progress and statistics

bool TCustomFtpCli::TriggerProgress64(std::int64_t count) {
  if (!OnProgress64) return true;
  bool abort = false;
  OnProgress64(this, count, abort);
  if (abort) Abort();
  return !abort;
}

void TCustomFtpCli::ShowTransferStats() {
  endTick_ = platform::GetTickCount();
  DWORD ms = startTick_ == 0 ? 0 : NetTickDiff(startTick_, endTick_);
  std::string text = FtpSizeText(ByteCount) + "bytes received/sent in ";
  if (ms > 4999) {
    text += std::to_string(ms / 1000) + " seconds";
    std::int64_t speed = ByteCount < 32768 ? ByteCount * 1000 / ms : ByteCount / ms * 1000;
    text += " (" + FtpSizeText(speed) + "bytes/sec)";
  } else {
    text += std::to_string(ms) + " milliseconds";
  }
  TransferMs = ms;
  Display("! " + text);
}

}  // namespace yux::net
