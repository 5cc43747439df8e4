// The e-mail delivery: the produced files sent as attachments.
#include "core/run/maildelivery.h"

#include <algorithm>
#include <memory>
#include <stdexcept>

#include <QTimer>

#include "core/run/deliveryhistory.h"
#include "core/run/tlsidentity.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/presets.h"
#include "core/store/programlog.h"
#include "net/protocols/smtpssl.h"
#include "platform/messages.h"

namespace yux {

namespace {

constexpr char kListMail = 's';
constexpr int kWindDownMs = 10000;

// One e-mail session of a run.  It lives for the whole run so that a late
// event of the client still finds it.
class MailSession {
 public:
  bool busy = false;

  void Start(const MailJob& job);
  void Abort();
  // The aborted client still holds its connection.
  bool WindingDown() const;

 private:
  void RequestDone(net::TSmtpRequest rq, net::WORD error);
  void SendCurrentFile();
  void FileSent();
  void Failed();
  void RetryFired();
  // Every sign of life of the session restarts the inactivity limit: a
  // command or data sent, a reply line received.
  void Alive(unsigned limitMs) {
    if (!busy || retryPending_ || limitMs == 0) return;
    idle_.start(static_cast<int>(std::min<unsigned>(limitMs, 0x7FFFFFFF)));
  }
  void IdleFired();
  void DropConnection();
  // The QUIT of a failed connection has ended: a retry that waited for it goes.
  bool QuitEnded() {
    quitEnded_ = true;
    if (!retryAfterQuit_) return false;
    retryAfterQuit_ = false;
    idle_.stop();
    retry_.start(0);
    return true;
  }
  void EndSession() {
    retry_.stop();
    idle_.stop();
    retryPending_ = false;
    retryAfterQuit_ = false;
    busy = false;
  }

  MailJob job_;
  // The client of the session; one that was aborted is retired with its
  // handlers cleared, so that its late reports reach nobody.
  std::unique_ptr<net::TSslSmtpCli> owned_ = std::make_unique<net::TSslSmtpCli>();
  std::unique_ptr<net::TSslSmtpCli> retired_;
  net::TSslSmtpCli& C() { return *owned_; }
  void Configure();
  // Aborts the client and puts a fresh one, set up alike, in its place.
  void Retire();
  QTimer retry_;
  QTimer idle_;
  std::size_t index_ = 0;
  int retries_ = 0;
  bool quitting_ = false;  // QUIT sent after all files
  // A retry is due: the session stays busy even when the failed
  // connection's QUIT (or its close) is reported meanwhile.
  bool retryPending_ = false;
  bool quitEnded_ = true;        // the failed connection's QUIT has been answered (or none was sent)
  bool retryAfterQuit_ = false;  // the retry came first: it goes once the QUIT has ended
  std::vector<std::string> sent_;
  TlsServerCheck tls_{[](const std::string& line) { AddPresetLog(line); }};
  // Why the preset's account could not be given to the client.
  std::string accountError_;
};

MailSession& Session() {
  static MailSession session;
  return session;
}

std::string Text(const char* key) { return MessageText(key); }

}  // namespace

void SplitServer(const std::string& server, const std::string& defaultPort, std::string& host,
                 std::string& port) {
  const auto colon = server.find(':');
  if (colon == std::string::npos) {
    host = server;
    port = defaultPort;
  } else {
    host = server.substr(0, colon);
    port = server.substr(colon + 1);
  }
}

void SetSmtpAccount(net::TSslSmtpCli& c, const std::string& server, const std::string& defaultPort,
                    const std::string& user, const std::string& password, int sss, TlsServerCheck& tls) {
  if (sss != net::smtpTlsNone && sss != net::smtpTlsImplicit && sss != net::smtpTlsExplicit)
    throw std::invalid_argument("Unknown SMTP TLS mode " + std::to_string(sss));
  SplitServer(server, defaultPort, c.Host, c.Port);
  if (!user.empty()) {
    c.Username = user;
    c.Password = password;
    c.AuthType = net::smtpAuthAutoSelect;
  } else {
    c.Username.clear();
    c.Password.clear();
    c.AuthType = net::smtpAuthNone;
  }
  c.SslType = static_cast<net::TSmtpSslType>(sss);
  if (sss != 0 && !c.SslContext()) c.SetSslContext(&ClientSslContext());
  // Nothing goes to a TLS server the program cannot vouch for: the client
  // ends the session when the handshake's peer is refused.
  tls.Guard(c);
}

void MailSession::Configure() {
  const tarcopt& p = *job_.preset;
  net::TSslSmtpCli& c = C();
  c.SetEmailFiles({});
  c.RcptName = {p.sto};
  c.HdrSubject = "Files for you (sent by YUX).";
  c.FromName = p.sfr;
  c.HdrFrom = p.sfr;
  c.HdrTo = p.sto;
  // The mails' texts are UTF-8 here (preset names, paths).
  c.SetCharSet("utf-8");
  c.XMailer = "Pellmor YUX";
  c.MailMessage.clear();
  try {
    SetSmtpAccount(c, p.sse, "25", p.sus, p.spa, p.sss, tls_);
    accountError_.clear();
  } catch (const std::invalid_argument& e) {
    accountError_ = e.what();
  }
  c.OnRequestDone = [this](net::TCustomSmtpClient*, net::TSmtpRequest rq, net::WORD error) {
    RequestDone(rq, error);
  };
  // The reply to the end of a message may take longer than the others.
  c.OnCommand = [this](net::TCustomSmtpClient*, const std::string& cmd) {
    Alive(cmd == "." ? job_.dataEndLimitMs : job_.replyLimitMs);
  };
  c.OnResponse = [this](net::TCustomSmtpClient*, const std::string&) { Alive(job_.replyLimitMs); };
  c.OnMessageDataSent = [this](net::TCustomSmtpClient*, int) { Alive(job_.replyLimitMs); };
}

void MailSession::Retire() {
  net::TSslSmtpCli& c = C();
  c.OnRequestDone = nullptr;
  c.OnCommand = nullptr;
  c.OnResponse = nullptr;
  c.OnMessageDataSent = nullptr;
  c.OnSslHandshakeDone = nullptr;
  if (c.State() != net::smtpReady || c.Connected) c.Abort();
  // The one retired before is done with by now (this may run inside an
  // event of the current one, which therefore lives on a while).
  retired_ = std::move(owned_);
  owned_ = std::make_unique<net::TSslSmtpCli>();
  Configure();
}

void MailSession::Start(const MailJob& job) {
  job_ = job;
  const tarcopt& p = *job.preset;
  busy = true;
  quitting_ = false;
  // A client left over from an aborted session could still report.
  Retire();
  if (!accountError_.empty()) {
    // Refused before any connection: no retry can mend the preset.
    AddPresetLog(Text("smtperror") + accountError_ + " [!]");
    EndSession();
    return;
  }
  retry_.setSingleShot(true);
  retry_.disconnect();
  QObject::connect(&retry_, &QTimer::timeout, [this] { RetryFired(); });
  idle_.setSingleShot(true);
  idle_.disconnect();
  QObject::connect(&idle_, &QTimer::timeout, [this] { IdleFired(); });
  AddPresetLog(Text("smtpconnectingto") + p.sse + ".");
  index_ = 0;
  retries_ = 0;
  sent_.clear();
  retryPending_ = false;
  quitEnded_ = true;
  retryAfterQuit_ = false;
  Alive(job_.replyLimitMs);
  C().Open();
}

void MailSession::Abort() {
  retry_.stop();
  idle_.stop();
  retryPending_ = false;
  retryAfterQuit_ = false;
  Retire();
  busy = false;
}

bool MailSession::WindingDown() const { return retired_ && retired_->Connected; }

void MailSession::DropConnection() {
  // What the dropped request would still report is answered here.
  Retire();
}

void MailSession::IdleFired() {
  if (retryAfterQuit_) {
    // The failed connection's QUIT is not answered: the retry goes without it.
    retryAfterQuit_ = false;
    quitEnded_ = true;
    DropConnection();
    retry_.start(0);
    return;
  }
  if (!busy || retryPending_) return;
  std::string line = Text("smtpnoanswer");
  const auto at = line.find("%d");
  if (at != std::string::npos) line.replace(at, 2, std::to_string(idle_.interval() / 1000));
  AddPresetLog(line + " [!]");
  // No QUIT can be sent over the dropped connection.
  quitEnded_ = true;
  DropConnection();
  if (quitting_) {
    // Every file was sent; only the goodbye went unanswered.
    EndSession();
    return;
  }
  Failed();
}

void MailSession::RequestDone(net::TSmtpRequest rq, net::WORD error) {
  if (AbortRequested) {
    Abort();
    return;
  }
  if (error != 0) {
    if (rq == net::smtpQuit) {
      // The session is over either way.
      if (!QuitEnded() && !retryPending_) EndSession();
      return;
    }
    AddPresetLog(Text("smtperror") + C().ErrorMessage + " [!]");
    const bool connected = C().Connected;
    quitEnded_ = !connected;
    Failed();
    if (connected) C().Quit();
    return;
  }
  switch (rq) {
    case net::smtpOpen:
    case net::smtpHelo:
    case net::smtpAuth:
      C().MailFrom();
      break;
    case net::smtpMailFrom:
      C().RcptTo();
      break;
    case net::smtpRcptTo:
      SendCurrentFile();
      break;
    case net::smtpData:
      FileSent();
      break;
    case net::smtpQuit:
      AddPresetLog(Text("smtpdisconnected"));
      // A QUIT after a failure leaves the session busy while a retry waits.
      if (!QuitEnded() && !retryPending_) EndSession();
      break;
    default:
      break;
  }
}

void MailSession::SendCurrentFile() {
  const std::string& name = job_.produced[index_];
  AddPresetLog(Text("smtpupload") + " " + name + ".");
  C().HdrSubject = name + " (sent by YUX).";
  C().SetEmailFiles({job_.runFolder + "/" + name});
  C().Data();
}

void MailSession::FileSent() {
  const std::string& name = job_.produced[index_];
  AddPresetLog(Text("smtpuploaded") + ": " + name);
  if (job_.deliveries) job_.deliveries->Delivered(DeliveryKind::Smtp, name);
  try {
    AddHistoryLine(job_.presetName, "2-SMTP", job_.preset->sto + "/" + name);
  } catch (const EHistoryFileError& e) {
    AddPresetLog(std::string(e.what()) + " [!]");
    if (job_.deliveries) job_.deliveries->NoteFailure();
  }
  sent_.push_back(name);
  ++index_;
  if (index_ < job_.produced.size()) {
    C().MailFrom();
    return;
  }
  AddPresetLog(Text("smtploggingoff"));
  try {
    AppendProducedFiles(job_.presetName, sent_, kListMail);
  } catch (const EHistoryFileError& e) {
    AddPresetLog(std::string(e.what()) + " [!]");
    if (job_.deliveries) job_.deliveries->NoteFailure();
  }
  quitting_ = true;
  C().Quit();
}

void MailSession::Failed() {
  if (Options.fre && retries_ < Options.fti) {
    ++retries_;
    std::string line = Text("smtptryingagain");
    const auto at = line.find("%d");
    if (at != std::string::npos) line.replace(at, 2, std::to_string(Options.fin));
    AddPresetLog(line + " (" + std::to_string(retries_) + "/" + std::to_string(Options.fti) +
                 ").");
    retryPending_ = true;
    idle_.stop();
    retry_.start(static_cast<int>(std::max(0, Options.fin) * job_.secondMs));
    return;
  }
  AddPresetLog(Text(Options.fre ? "smtpcancelnomoreretr" : "smtpcancelnoreit") + " [!]");
  // The QUIT (if any) still goes out; the session no longer counts.
  EndSession();
}

void MailSession::RetryFired() {
  if (AbortRequested) {
    Abort();
    return;
  }
  if (C().State() != net::smtpReady || C().Connected) {
    // The failed connection's QUIT is still under way (a short interval or
    // a slow server): the new session starts once it has ended and the
    // socket has closed.
    if (quitEnded_) {
      retry_.start(50);
    } else {
      // The wait for the QUIT is bounded like any other.
      retryAfterQuit_ = true;
      if (job_.replyLimitMs) idle_.start(static_cast<int>(std::min<unsigned>(job_.replyLimitMs, 0x7FFFFFFF)));
    }
    return;
  }
  retryPending_ = false;
  AddPresetLog(Text("smtpconnectingto") + C().Host + ".");
  Alive(job_.replyLimitMs);
  // The same way in as the first attempt: STARTTLS and AUTH included.
  C().Open();
}

MailResult DeliverByMail(const MailJob& job) {
  if (job.produced.empty()) {
    AddPresetLog(Text("smtpnofiles") + " [!]");
    return MailResult::NoFiles;
  }
  Session().Start(job);
  return WaitForDeliverySessions() ? MailResult::Ended : MailResult::Aborted;
}

bool MailSessionBusy() { return Session().busy; }

bool WaitForDeliverySessions() {
  while (MailSessionBusy() && !AbortRequested) platform::ProcessMessagesFor(50);
  if (!AbortRequested) return true;
  Session().Abort();
  AddLog(Text("abortreq10"));
  // The aborted client's last events are handled within a bound.
  for (int waited = 0; waited < kWindDownMs && Session().WindingDown(); waited += 100)
    platform::ProcessMessagesFor(100);
  return false;
}

}  // namespace yux
