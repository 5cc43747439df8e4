#include "core/ftpdelivery.h"

#include <cctype>
#include <exception>

#include "core/flags.h"
#include "core/foldercopy.h"
#include "core/folders.h"
#include "core/msgtable.h"
#include "core/presets.h"
#include "core/programlog.h"
#include "core/rundelivery.h"
#include "net/protocols/ftpcli.h"
#include "net/protocols/httpcli.h"
#include "platform/messages.h"
#include "net/protocols/httpsrvutil.h"

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

class FtpSession {
 public:
  FtpSession(FtpJob& job, FtpHostPort where) : job_(job), c_(*job.client), where_(std::move(where)) {}

  void Start() {
    const tarcopt& p = *job_.preset;
    const FtpLogin login = FtpLoginFor(p.fus, p.fpa);
    c_.HostName = where_.host;
    c_.Port = where_.port;
    c_.UserName = login.user;
    c_.PassWord = login.password;
    c_.SetBinary(true);
    c_.SetPassive(!p.fac);
    c_.SetSslType(static_cast<net::TFtpCliSslType>(p.fss));
    c_.OnRequestDone = [this](net::TCustomFtpCli*, net::TFtpRequest rq, auto err) {
      try {
        Done(rq, err);
      } catch (const std::exception& e) {
        AddPresetLog(MessageText("ftperror") + e.what() + " [!]");
        Fail();
      }
    };
    busy = true;
    AddPresetLog(MessageText("ftpconnectingto") + where_.host + ".");
    try {
      c_.ConnectAsync();
    } catch (const std::exception& e) {
      AddPresetLog(MessageText("ftperror") + e.what() + " [!]");
      busy = false;
    }
  }

  bool busy = false;
  bool failed = false;

 private:
  void Done(net::TFtpRequest rq, int err) {
    if (AbortRequested) {
      c_.Abort();
      failed = true;
      busy = false;
      return;
    }
    if (rq == net::ftpQuitAsync) {
      AddPresetLog(failed ? MessageText("ftpdisconnectedwitherror") + lastError_ + " [!]"
                          : MessageText("ftpdisconnected"));
      busy = false;
      return;
    }
    // Every refusal counts, a refused CWD too: uploading into the login
    // folder while the history names "ffo" would record a wrong place.
    if (err != 0 && rq != net::ftpPutAsync) {
      lastError_ = c_.ErrorMessage;
      AddPresetLog(MessageText("ftperror") + lastError_ + " [!]");
      Fail();
      return;
    }
    switch (rq) {
      case net::ftpConnectAsync:
        if (job_.preset->fss != 0) {
          c_.PbszAsync();
        } else {
          AfterLogin();
        }
        break;
      case net::ftpPbszAsync:
        c_.SetProtLevel("P");
        c_.ProtAsync();
        break;
      case net::ftpProtAsync:
        AfterLogin();
        break;
      case net::ftpCwdAsync:
        c_.TypeSetAsync();
        break;
      case net::ftpTypeSetAsync:
        UploadStep();
        break;
      case net::ftpPutAsync:
        TransferResult(err);
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

  void UploadStep() {
    const std::string& name = job_.produced[index_];
    AddPresetLog(MessageText("ftpupload") + " \"" + name + "\".");
    c_.HostFileName = name;
    c_.LocalFileName = PathJoin(job_.runFolder, name);
    c_.PutAsync();
  }

  void TransferResult(int err) {
    const std::string& name = job_.produced[index_];
    if (!FtpUploadCounted(err, c_.StatusCode)) {
      lastError_ = c_.ErrorMessage;
      AddPresetLog(MessageText("ftpcantupload") + " \"" + name + "\". [!]");
      Fail();
      return;
    }
    AddPresetLog(MessageText("ftpuploaded") + " \"" + name + "\".");
    uploaded_.push_back(name);
    if (job_.deliveries) job_.deliveries->Delivered(DeliveryKind::Ftp, name);
    try {
      AddHistoryLine(job_.presetName, "3-FTP", FtpHistoryLocation(where_, job_.preset->ffo, name));
    } catch (const std::exception& e) {
      // The file arrived; a history that cannot be written never sends it again.
      AddPresetLog(std::string(e.what()) + " [!]");
      if (job_.deliveries) job_.deliveries->NoteFailure();
    }
    if (++index_ < job_.produced.size()) {
      UploadStep();
      return;
    }
    try {
      AppendProducedFiles(job_.presetName, uploaded_, 'f');
    } catch (const std::exception& e) {
      AddPresetLog(std::string(e.what()) + " [!]");
      if (job_.deliveries) job_.deliveries->NoteFailure();
    }
    c_.QuitAsync();
  }

  // Ends the session: QUIT while the control connection is open (its
  // request-done then clears the busy flag), otherwise at once.
  void Fail() {
    failed = true;
    if (c_.IsControlOpen()) {
      try {
        c_.QuitAsync();
        return;
      } catch (const std::exception&) {
        c_.Abort();
      }
    }
    busy = false;
  }

  FtpJob& job_;
  net::TSslFtpClient& c_;
  FtpHostPort where_;
  std::size_t index_ = 0;
  std::vector<std::string> uploaded_;
  std::string lastError_;
};

}  // namespace

FtpResult DeliverByFtp(FtpJob& job) {
  if (job.produced.empty()) {
    AddPresetLog(MessageText("ftpnofiles") + " [!]");
    return FtpResult::NoFiles;
  }
  const tarcopt& p = *job.preset;
  std::string hostText = p.fse;
  if (hostText.rfind("http://", 0) == 0) {
    if (!job.http) return FtpResult::HostError;
    hostText = ResolveFtpHostScript(*job.http, p.fse);
  }
  if (hostText == kFtpHostError) {
    AddPresetLog(MessageText("couldntgetftphost") + " [!]");
    return FtpResult::HostError;
  }
  FtpSession session(job, SplitFtpHost(hostText));
  session.Start();
  const auto started = platform::GetTickCount();
  while (session.busy && platform::GetTickCount() - started < job.waitMs) {
    platform::ProcessMessagesFor(20);
    if (job.pump) job.pump();
  }
  if (session.busy) {
    job.client->Abort();
    return FtpResult::Failed;
  }
  job.client->OnRequestDone = nullptr;
  return session.failed ? FtpResult::Failed : FtpResult::Done;
}

}  // namespace yux
