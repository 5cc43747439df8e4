// The FTP delivery: uploads, retries, the host script and the FTP cleaner.
#include "core/run/ftpdelivery.h"

#include <QTimer>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <exception>
#include <memory>
#include <stdexcept>

#include "core/run/deliveryhistory.h"
#include "core/run/rundelivery.h"
#include "core/run/tlsidentity.h"
#include "core/run/volumesets.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/presets.h"
#include "core/store/programlog.h"
#include "net/protocols/ftpcli.h"
#include "net/protocols/httpcli.h"
#include "net/protocols/httpsrvutil.h"
#include "net/socket/neterrors.h"
#include "platform/messages.h"

namespace yux {

namespace {

bool IsHostChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

bool IsHostName(const std::string& s) {
  if (s.empty() || s.size() > 253 || s.front() == '-' || s.front() == '.' || s.back() == '-')
    return false;
  for (char c : s)
    if (!IsHostChar(c)) return false;
  return s.find("..") == std::string::npos;
}

bool IsPort(const std::string& s) {
  if (s.empty() || s.size() > 5) return false;
  long v = 0;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    v = v * 10 + (c - '0');
  }
  return v >= 1 && v <= 65535;
}

std::string Trimmed(const std::string& s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  std::size_t b = 0, e = s.size();
  while (b < e && blank(s[b])) ++b;
  while (e > b && blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

}  // namespace

FtpLogin FtpLoginFor(const std::string& fus, const std::string& fpa) {
  if (!fus.empty() || !fpa.empty()) return {fus, fpa};
  return {"anonymous", "yux@localhost"};
}

FtpHostPort SplitFtpHost(const std::string& text) {
  const auto colon = text.find(':');
  if (colon == std::string::npos) return {text, "ftp"};
  return {text.substr(0, colon), text.substr(colon + 1)};
}

void PrepareFtpClient(net::TSslFtpClient& client, const FtpConnection& how, TlsServerCheck& tls) {
  // An unknown mode could mean a login in clear text to a server the
  // preset only reaches over TLS.
  if (how.fss < net::sslTypeNone || how.fss > net::sslTypeImplicit)
    throw std::invalid_argument("Unknown FTP TLS mode " + std::to_string(how.fss));
  client.HostName = how.where.host;
  client.Port = how.where.port;
  client.UserName = how.login.user;
  client.PassWord = how.login.password;
  client.ConnectionType = net::ftpDirect;
  client.SetBinary(true);
  client.SetPassive(!how.active);
  client.SetSslType(static_cast<net::TFtpCliSslType>(how.fss));
  if (how.fss != 0 && !client.SslContext()) client.SetSslContext(&ClientSslContext());
  tls.Guard(client);
}

bool NextFtpLoginStep(net::TSslFtpClient& client, net::TFtpRequest done, int fss) {
  if (fss == 0) return false;
  switch (done) {
    case net::ftpConnectAsync:
      client.PbszAsync();
      return true;
    case net::ftpPbszAsync:
      client.SetProtLevel("P");
      client.ProtAsync();
      return true;
    default:
      return false;
  }
}

std::string FtpHistoryLocation(const FtpHostPort& where, const std::string& folder,
                               const std::string& name) {
  std::string out = where.host;
  out += where.port == "ftp" ? ":21" : ":" + where.port;
  out += folder.empty() ? "/" : "/" + folder + "/";
  return out + name;
}

std::string FtpErrorNumber(const std::string& errorMessage) {
  const auto hash = errorMessage.find('#');
  if (hash == std::string::npos) return errorMessage.substr(0, 5);
  return errorMessage.substr(hash + 1, 5);
}

bool FtpUploadCounted(int requestError, int statusCode) {
  return requestError == 0 && (statusCode == 226 || statusCode == 250);
}

FtpHostScript SplitFtpHostScript(const std::string& fse) {
  const auto q = fse.find('?');
  if (q == std::string::npos) return {fse, ""};
  return {fse.substr(0, q), fse.substr(q + 1)};
}

std::string FtpHostFromScriptReply(int httpStatus, const std::vector<std::string>& lines) {
  if (httpStatus < 200 || httpStatus > 299 || lines.empty()) return kFtpHostError;
  const std::string first = Trimmed(lines.front());
  const auto colon = first.find(':');
  const std::string host = first.substr(0, colon);
  if (!IsHostName(host)) return kFtpHostError;
  if (colon != std::string::npos && !IsPort(first.substr(colon + 1))) return kFtpHostError;
  return first;
}

std::string ResolveFtpHostScript(net::THttpCli& http, const std::string& fse) {
  const FtpHostScript script = SplitFtpHostScript(fse);
  net::TSrvMemoryStream request(script.body);
  net::TSrvMemoryStream reply;
  http.Timeout = 30;
  // The answer needs one short line: a server that sends more, or keeps
  // the request going, is cut off at these bounds.
  http.TotalTimeout = kFtpHostScriptSeconds;
  http.MaxBodySize = kFtpHostScriptMaxBytes;
  http.SetRequestVer("1.0");
  http.ContentTypePost = "application/x-www-form-urlencoded";
  http.Agent = "Mozilla/4.0 (compatible; YUX)";
  http.FollowRelocation = true;
  http.LocationChangeMaxCount = 5;
  http.BandwidthLimit = 10000;
  http.URL = script.url;
  http.RequestBody = &request;
  http.ResponseBody = &reply;
  bool posted = true;
  try {
    http.Post();
  } catch (const std::exception&) {
    // Refused, timed out, 400 and above, or too many relocations.
    posted = false;
  }
  http.RequestBody = nullptr;
  http.ResponseBody = nullptr;
  if (!posted) return kFtpHostError;
  std::vector<std::string> lines;
  const std::string& body = reply.Data();
  std::size_t start = 0;
  while (start < body.size()) {
    const auto end = body.find('\n', start);
    lines.push_back(body.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return FtpHostFromScriptReply(http.ResponseStatus, lines);
}

namespace {

// One FTP session of a run, driven by the client's request-done event:
// connect (with PBSZ 0 and PROT P under TLS), CWD, TYPE, the cleaner
// before or after the uploads, one STOR per produced file, QUIT.  A
// failure sends QUIT and, when the options allow, reconnects after the
// retry interval exactly as the first attempt did, resuming with the file
// that failed.  A watchdog aborts any request that makes no progress.
class FtpSession {
 public:
  FtpSession(FtpJob& job, FtpHostPort where) : job_(job), c_(*job.client), where_(std::move(where)) {
    retry_.setSingleShot(true);
    QObject::connect(&retry_, &QTimer::timeout, [this] { RetryFired(); });
    watchdog_.setSingleShot(true);
    QObject::connect(&watchdog_, &QTimer::timeout, [this] { WatchdogFired(); });
  }
  ~FtpSession() {
    c_.OnRequestDone = nullptr;
    c_.OnProgress64 = nullptr;
    c_.OnSslPeerCheck = nullptr;
    c_.SetLocalStream(nullptr);  // the listing's stream goes with the session
  }

  void Start() {
    const tarcopt& p = *job_.preset;
    try {
      PrepareFtpClient(c_, {where_, FtpLoginFor(p.fus, p.fpa), p.fac, p.fss}, tls_);
    } catch (const std::exception& e) {
      lastError_ = e.what();
      AddPresetLog(MessageText("ftperror") + lastError_ + " [!]");
      failed = true;
      return;
    }
    c_.OnRequestDone = [this](net::TCustomFtpCli*, net::TFtpRequest rq, auto err) {
      try {
        Done(rq, err);
      } catch (const std::exception& e) {
        lastError_ = e.what();
        AddPresetLog(MessageText("ftperror") + lastError_ + " [!]");
        Fail(0);
      }
    };
    c_.OnProgress64 = [this](net::TCustomFtpCli*, std::int64_t count, bool&) { Progress(count); };
    busy = true;
    phase_ = p.fco && !p.fca ? Phase::CleanBefore : Phase::Upload;
    if (job_.progress) job_.progress(0);
    Connect();
  }

  // The abort flag ends the session: the client is aborted, a pending
  // retry dropped.  Its last events are awaited by the caller.
  void Abort() {
    retry_.stop();
    watchdog_.stop();
    retryPending_ = false;
    if (c_.IsControlOpen() || (c_.State() != net::fcsNotConnected && c_.State() != net::fcsReady)) c_.Abort();
    busy = false;
  }
  bool WindingDown() const { return c_.IsControlOpen(); }

  bool busy = false;
  bool failed = false;

 private:
  void Connect() {
    AddPresetLog(MessageText("ftpconnectingto") + where_.host + ".");
    finished_ = false;
    lastSuccess_ = false;
    try {
      // A client still busy from a failed session is ended first: a
      // connection dropped under a TLS transfer can leave the data socket
      // open after the control connection closed, and a connect then fails.
      const net::TWSocket* data = c_.DataSocket();
      if (c_.IsControlOpen() || (data && data->State() != net::wsClosed)) c_.Abort();
      Arm();
      c_.ConnectAsync();
    } catch (const std::exception& e) {
      lastError_ = e.what();
      AddPresetLog(MessageText("ftperror") + lastError_ + " [!]");
      Fail(0);
    }
  }

  // (Re)starts the watchdog: every request must show progress within it.
  void Arm() {
    if (job_.watchdogMs) watchdog_.start(static_cast<int>(job_.watchdogMs));
    lastArm_ = platform::GetTickCount();
  }

  void Progress(std::int64_t sent) {
    if (job_.progress && size_ > 0) job_.progress(static_cast<int>(sent * 100 / size_));
    if (platform::GetTickCount() - lastArm_ > 1000) Arm();
  }

  void WatchdogFired() {
    if (!busy || retryPending_) return;
    AddPresetLog(MessageText("ftphanging") + " [!]");
    // The client ends the running request with 426, which reaches the
    // failure path through the request-done event.
    c_.Abort();
  }

  void Done(net::TFtpRequest rq, int err) {
    watchdog_.stop();
    if (AbortRequested) {
      Abort();
      failed = true;
      return;
    }
    if (!busy) return;
    if (rq == net::ftpQuitAsync) {
      AddPresetLog(lastSuccess_ ? MessageText("ftpdisconnected")
                                : MessageText("ftpdisconnectedwitherror") + lastError_ + " [!]");
      if (!retryPending_) End();
      return;
    }
    if (err != 0 && finished_ && FtpErrorNumber(c_.ErrorMessage) == "10053") {
      // Everything arrived; the server only hung up before our QUIT.
      AddPresetLog(MessageText("ftpctrlconnclosed"));
      End();
      return;
    }
    // Every refusal counts, a refused CWD too: uploading into the login
    // folder while the history names "ffo" would record a wrong place.
    // Only the cleaner's DELE, the upload and the look for stale volumes
    // (NLST and DELE) judge their own result.
    if (err != 0 && rq != net::ftpPutAsync && rq != net::ftpDeleAsync && rq != net::ftpLsAsync) {
      lastError_ = c_.ErrorMessage;
      AddPresetLog(MessageText("ftperror") + lastError_ + " [!]");
      // A refused server is treated as a refused login: no retry.
      Fail(tls_.Refused() ? 530 : c_.StatusCode);
      return;
    }
    Arm();
    switch (rq) {
      case net::ftpConnectAsync:
      case net::ftpPbszAsync:
      case net::ftpProtAsync:
        if (!NextFtpLoginStep(c_, rq, job_.preset->fss)) AfterLogin();
        break;
      case net::ftpCwdAsync:
        c_.TypeSetAsync();
        break;
      case net::ftpTypeSetAsync:
        Resume();
        break;
      case net::ftpPutAsync:
        TransferResult(err);
        break;
      case net::ftpDeleAsync:
        if (phase_ == Phase::StaleVolumes)
          StaleVolumeResult(err);
        else
          CleanerResult(err);
        break;
      case net::ftpLsAsync:
        StaleVolumesListed(err);
        break;
      default:
        AddPresetLog(MessageText("ftpunknownreq") + std::to_string(int(rq)) + " [!]");
        break;
    }
  }

  void AfterLogin() {
    const std::string& folder = job_.preset->ffo;
    if (folder.empty()) {
      c_.TypeSetAsync();
      return;
    }
    AddPresetLog(MessageText("ftpchangingfolder") + " \"" + folder + "\".");
    c_.HostDirName = folder;
    c_.CwdAsync();
  }

  // Goes on with the phase the session is in: after the login of the first
  // attempt and of every retry, and after each step of a phase.  A retry so
  // resumes the phase that failed: a cleaner with the names it has left, the
  // uploads with the file that failed, the end with its QUIT.
  void Resume() {
    const tarcopt& p = *job_.preset;
    const Phase afterUploads = p.fco && p.fca ? Phase::CleanAfter : Phase::End;
    for (;;) {
      switch (phase_) {
        case Phase::CleanBefore:
        case Phase::CleanAfter:
          if (!cleanerSelected_) {
            cleanerSelected_ = true;
            SelectExpired();
          }
          if (!expired_.empty()) {
            CleanerStep();
            return;
          }
          phase_ = phase_ == Phase::CleanBefore ? Phase::Upload : Phase::End;
          break;
        case Phase::Upload:
          if (index_ < job_.produced.size()) {
            UploadStep();
            return;
          }
          phase_ = HasWholeVolumeSet(uploaded_) ? Phase::StaleVolumes : afterUploads;
          break;
        case Phase::StaleVolumes:
          if (!staleListed_) {
            ListForStaleVolumes();
            return;
          }
          if (!stale_.empty()) {
            StaleVolumeStep();
            return;
          }
          phase_ = afterUploads;
          break;
        case Phase::End:
          Finish();
          return;
      }
    }
  }

  void UploadStep() {
    const std::string& name = job_.produced[index_];
    AddPresetLog(MessageText("ftpupload") + " \"" + name + "\".");
    c_.HostFileName = name;
    c_.LocalFileName = PathJoin(job_.runFolder, name);
    std::error_code ec;
    size_ = static_cast<std::int64_t>(std::filesystem::file_size(c_.LocalFileName, ec));
    if (ec) size_ = 0;
    if (job_.progress) job_.progress(0);
    Arm();
    c_.PutAsync();
  }

  void TransferResult(int err) {
    const std::string& name = job_.produced[index_];
    lastSuccess_ = FtpUploadCounted(err, c_.StatusCode);
    if (!lastSuccess_) {
      // A data connection cut by the network ends the request without a
      // message: the socket's error says what happened.
      lastError_ = c_.ErrorMessage.empty() && err != 0 ? net::WinsockErrorTextWithCode(err) : c_.ErrorMessage;
      AddPresetLog(MessageText("ftpcantupload") + " \"" + name + "\". [!]");
      Fail(c_.StatusCode);
      return;
    }
    AddPresetLog(MessageText("ftpuploaded") + " \"" + name + "\".");
    uploaded_.push_back(name);
    if (job_.deliveries) job_.deliveries->Delivered(DeliveryKind::Ftp, name);
    try {
      AddHistoryLine(job_.presetName, kHistoryFtp, FtpHistoryLocation(where_, job_.preset->ffo, name));
    } catch (const std::exception& e) {
      // The file arrived; a history that cannot be written never sends it again.
      AddPresetLog(std::string(e.what()) + " [!]");
      if (job_.deliveries) job_.deliveries->NoteFailure();
    }
    ++index_;
    Resume();
  }

  // The volumes of an earlier set of a name whose new set is now uploaded
  // whole go before anything else: an older backup under the new one's
  // name, of its width or of another.  The folder's names come from NLST.
  void ListForStaleVolumes() {
    listing_ = std::make_unique<net::TSrvMemoryStream>();
    c_.HostFileName.clear();
    c_.LocalFileName.clear();
    c_.SetLocalStream(listing_.get());
    size_ = 0;
    Arm();
    c_.LsAsync();
  }

  void StaleVolumesListed(int err) {
    c_.SetLocalStream(nullptr);
    if (ConnectionLost(err)) return;
    staleListed_ = true;
    if (err != 0 || (c_.StatusCode != 226 && c_.StatusCode != 250)) {
      // An upload-only folder refuses every listing: no error of the run,
      // which would sound and mail on every run (the new set reads as
      // itself whatever lies beside it).
      AddPresetLog(Format("ftpstalevolumesnotlisted", FtpHistoryLocation(where_, job_.preset->ffo, ""),
                          c_.ErrorMessage));
    } else {
      std::vector<std::string> names;
      const std::string& text = listing_->Data();
      for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // Some servers answer with paths.
        const auto slash = line.rfind('/');
        if (slash != std::string::npos) line.erase(0, slash + 1);
        if (!line.empty()) names.push_back(line);
        at = end + 1;
      }
      stale_ = StaleVolumes(uploaded_, names);
    }
    listing_.reset();
    Resume();
  }

  // A request that failed with the control connection gone failed for the
  // connection, not for its file: the attempt fails, and the retry asks
  // again.
  bool ConnectionLost(int err) {
    if (err == 0 || c_.IsControlOpen()) return false;
    lastError_ = c_.ErrorMessage;
    AddPresetLog(MessageText("ftperror") + lastError_ + " [!]");
    Fail(c_.StatusCode);
    return true;
  }

  void StaleVolumeStep() {
    c_.HostFileName = stale_.front();
    Arm();
    c_.DeleAsync();
  }

  void StaleVolumeResult(int err) {
    const std::string name = stale_.front();
    if (ConnectionLost(err)) return;
    if (err == 0) {
      AddPresetLog(Format("ftpstalevolumedeleted", name));
    } else {
      // Tidying that failed: worth an error line, not a failed delivery.
      AddPresetLog(Format("ftpstalevolumecannotdelete", name, c_.ErrorMessage) + " [!]");
    }
    stale_.erase(stale_.begin());
    Resume();
  }

  void Finish() {
    // Once per session, though a retry may come back here for the QUIT.
    if (!blockSaved_) {
      blockSaved_ = true;
      try {
        AppendProducedFiles(job_.presetName, uploaded_, kListFtp);
      } catch (const std::exception& e) {
        AddPresetLog(std::string(e.what()) + " [!]");
        if (job_.deliveries) job_.deliveries->NoteFailure();
      }
    }
    finished_ = true;
    lastSuccess_ = true;
    Arm();
    c_.QuitAsync();
  }

  // The names the cleaner deletes: expired, placed by the history in this
  // folder of this server, none of this run.  A list or history that cannot
  // be read ends the cleaner only.
  void SelectExpired() {
    const tarcopt& p = *job_.preset;
    CleanerRequest request;
    request.presetName = job_.presetName;
    request.mode = p.fcm;
    request.limit = p.fcv;
    request.listKind = kListFtp;
    request.historyKind = kHistoryFtp;
    request.locationOf = [this](const std::string& name) {
      return FtpHistoryLocation(where_, job_.preset->ffo, name);
    };
    request.currentRun = job_.produced;
    expired_ = SelectCleanerFiles(request);
  }

  void CleanerStep() {
    const std::string& name = expired_.front();
    AddPresetLog(MessageText("ftpcleanerdelete") + name + ".");
    c_.HostFileName = name;
    Arm();
    c_.DeleAsync();
  }

  void CleanerResult(int err) {
    const std::string name = expired_.front();
    // The connection went, not the file: the retry deletes it again.
    if (ConnectionLost(err)) return;
    AddPresetLog(err == 0 ? MessageText("ftpcleanerdeleted") + name + "."
                          : MessageText("ftpcleanercannotdelete") + name + ". [!]");
    expired_.erase(expired_.begin());
    Resume();
  }

  // Ends this attempt; retries when the options allow and the login was
  // not refused.
  void Fail(int status) {
    failed = true;
    lastSuccess_ = false;
    watchdog_.stop();
    if (Options.fre) {
      if (retries_ < Options.fti && status != 530) {
        ++retries_;
        std::string line = MessageText("ftptryingagain");
        const auto at = line.find("%d");
        if (at != std::string::npos) line.replace(at, 2, std::to_string(Options.fin));
        AddPresetLog(line + " (" + std::to_string(retries_) + "/" + std::to_string(Options.fti) + ").");
        retryPending_ = true;
        retry_.start(static_cast<int>(std::max(0, Options.fin) * job_.secondMs));
      } else {
        AddPresetLog(MessageText("ftpcancelnomoreretr") + " [!]");
      }
    } else {
      AddPresetLog(MessageText("ftpcancelnoreit") + " [!]");
    }
    if (c_.IsControlOpen()) {
      try {
        c_.QuitAsync();
        return;
      } catch (const std::exception&) {
        c_.Abort();
      }
    }
    if (!retryPending_) End();
  }

  void RetryFired() {
    retryPending_ = false;
    if (AbortRequested) {
      Abort();
      return;
    }
    failed = false;
    Connect();
  }

  void End() {
    watchdog_.stop();
    busy = false;
    if (job_.progress) job_.progress(-1);
  }

  FtpJob& job_;
  net::TSslFtpClient& c_;
  FtpHostPort where_;
  std::size_t index_ = 0;
  std::vector<std::string> uploaded_;
  std::vector<std::string> expired_;
  std::string lastError_;
  std::int64_t size_ = 0;
  std::uint64_t lastArm_ = 0;
  int retries_ = 0;
  bool retryPending_ = false;
  bool finished_ = false;
  bool lastSuccess_ = false;
  enum class Phase { CleanBefore, Upload, StaleVolumes, CleanAfter, End };
  Phase phase_ = Phase::Upload;
  bool staleListed_ = false;
  std::vector<std::string> stale_;  // still to delete
  std::unique_ptr<net::TSrvMemoryStream> listing_;
  bool cleanerSelected_ = false;
  bool blockSaved_ = false;
  // Judges the server of every TLS connection (the control connection's
  // and each data connection's).
  TlsServerCheck tls_{[](const std::string& line) { AddPresetLog(line); }};
  QTimer retry_;
  QTimer watchdog_;
};

constexpr int kWindDownMs = 10000;

}  // namespace

FtpResult DeliverByFtp(FtpJob& job) {
  if (job.produced.empty()) {
    AddPresetLog(MessageText("ftpnofiles") + " [!]");
    return FtpResult::NoFiles;
  }
  const tarcopt& p = *job.preset;
  std::string hostText = p.fse;
  if (hostText.rfind("http://", 0) == 0) {
    hostText = job.http ? ResolveFtpHostScript(*job.http, p.fse) : std::string(kFtpHostError);
  }
  if (hostText == kFtpHostError) {
    AddPresetLog(MessageText("couldntgetftphost") + " [!]");
    return FtpResult::HostError;
  }
  if (AbortRequested) {
    AddLog(MessageText("abortreq10"));
    return FtpResult::Aborted;
  }
  FtpSession session(job, SplitFtpHost(hostText));
  session.Start();
  const auto started = platform::GetTickCount();
  while (session.busy && !AbortRequested &&
         (job.waitMs == 0 || platform::GetTickCount() - started < job.waitMs)) {
    platform::ProcessMessagesFor(20);
    if (job.pump) job.pump();
  }
  if (AbortRequested || session.busy) {
    // The abort wind-down: the client's last events are handled within a
    // bound, and no retry outlives it.
    session.Abort();
    AddLog(MessageText("abortreq10"));
    for (int waited = 0; waited < kWindDownMs && session.WindingDown(); waited += 100)
      platform::ProcessMessagesFor(100);
    return FtpResult::Aborted;
  }
  return session.failed ? FtpResult::Failed : FtpResult::Done;
}

}  // namespace yux
