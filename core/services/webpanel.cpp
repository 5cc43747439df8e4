// The web control panel: pages, login and commands over HTTP.
#include "core/services/webpanel.h"

#include <QDateTime>
#include <QTimer>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>

#include "core/schedule/cmdline_args.h"
#include "core/schedule/scheduler.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/inifile.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/programlog.h"
#include "core/store/schedule.h"
#include "core/store/textutil.h"
#include "net/protocols/httpsrvutil.h"
#include "net/protocols/mimeutils.h"
#include "net/socket/netexceptions.h"
#include "net/socket/netresolve.h"
#include "platform/folders.h"
#include "platform/power.h"

namespace yux {

namespace fs = std::filesystem;
using net::THttpGetFlag;

namespace {

constexpr char kPageType[] = "text/html; charset=utf-8";
constexpr char kRealmHeader[] = "WWW-Authenticate: Basic realm=\"YUX\"\r\n";

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

std::string Esc(const std::string& s) { return net::HtmlEscapeText(s); }

std::string NowText() { return DateTimeText(DateTimeFromQt(QDateTime::currentDateTime())); }

// The value of a header line of the request, or nothing.
std::optional<std::string> HeaderValue(const std::vector<std::string>& lines, const std::string& name) {
  const std::string prefix = Upper(name) + ":";
  for (const std::string& l : lines)
    if (Upper(l.substr(0, prefix.size())) == prefix) return Trim(l.substr(prefix.size()));
  return std::nullopt;
}

// "host[:port]" of a URL or a Host value, lower-cased, with the default
// port of its scheme made explicit.
std::string Authority(std::string text, bool isUrl) {
  std::string defaultPort = "80";
  if (isUrl) {
    const auto scheme = text.find("://");
    if (scheme == std::string::npos) return {};
    if (Lower(text.substr(0, scheme)) == "https") defaultPort = "443";
    text = text.substr(scheme + 3);
    text = text.substr(0, text.find_first_of("/?#"));
  }
  text = Lower(Trim(text));
  const auto colon = text.rfind(':');
  const auto bracket = text.rfind(']');
  if (colon == std::string::npos || (bracket != std::string::npos && colon < bracket)) text += ":" + defaultPort;
  return text;
}

// Whether a posted form may come from where its headers say it comes from.
// A browser sends Origin with every form it posts: it must name this
// panel; "null" (a sandboxed frame, a file, a redirect) is nobody's, and a
// second Origin line makes the first one worth nothing.  Without Origin,
// a Referer must name this panel too; with neither header it is no
// browser's form (a script, curl) and is let through.
bool SameOriginPost(const std::vector<std::string>& lines, const std::string& host) {
  int origins = 0;
  for (const std::string& l : lines)
    if (Upper(l.substr(0, 7)) == "ORIGIN:") ++origins;
  const std::string self = Authority(host, false);
  if (origins > 1) return false;
  if (origins == 1) {
    const std::string origin = *HeaderValue(lines, "Origin");
    return origin != "null" && Authority(origin, true) == self;
  }
  const auto referer = HeaderValue(lines, "Referer");
  return !referer || Authority(*referer, true) == self;
}

// The short page that sends the browser back to the command form.
std::string BackToCommandPage(const std::string& text) {
  return "<HTML><HEAD><TITLE>YUX</TITLE><META http-equiv=\"refresh\" content=\"1;URL=/command.htm\"></HEAD>\r\n"
         "<BODY bgcolor=\"#FFFFFF\" text=\"#000000\"><P>" +
         text + "<BR></P></BODY></HTML>";
}

std::int64_t NowMs() { return QDateTime::currentMSecsSinceEpoch(); }

std::int64_t SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

// ---------------------------------------------------------------------------
// The penalty for guessing

std::string LoginClientOf(const std::string& peer) {
  // An IPv4 address may come in its IPv6-mapped form.
  const std::string mapped = "::ffff:";
  std::string v4 = peer;
  if (Lower(peer.substr(0, mapped.size())) == mapped) v4 = peer.substr(mapped.size());
  return v4.rfind("127.", 0) == 0 ? "127.0.0.0/8" : peer;
}

TLoginPenalty::TLoginPenalty(TClock clock) : clock_(clock ? std::move(clock) : TClock(SteadyMs)) {}

void TLoginPenalty::Forget(std::int64_t now) {
  const auto stale = [now](const TAddress& a) { return now - a.lastFailure >= kForgetLoginAddressMs; };
  for (auto it = addresses_.begin(); it != addresses_.end();)
    it = stale(it->second) ? addresses_.erase(it) : std::next(it);
  if (newcomers_.failures > 0 && stale(newcomers_)) newcomers_ = TAddress{};
}

TLoginPenalty::TAddress* TLoginPenalty::Find(const std::string& client) {
  auto it = addresses_.find(client);
  if (it != addresses_.end()) return &it->second;
  if (addresses_.size() < kMaxLoginAddresses) return nullptr;
  const bool allPenalised = std::all_of(addresses_.begin(), addresses_.end(),
                                        [](const auto& a) { return a.second.Penalised(); });
  return allPenalised ? &newcomers_ : nullptr;
}

TLoginPenalty::TAddress& TLoginPenalty::Add(const std::string& client) {
  if (addresses_.size() >= kMaxLoginAddresses) {
    // Find() found an address that is not penalised: the least recently
    // heard of such goes.
    auto victim = addresses_.end();
    for (auto it = addresses_.begin(); it != addresses_.end(); ++it)
      if (!it->second.Penalised() && (victim == addresses_.end() || it->second.lastHeard < victim->second.lastHeard))
        victim = it;
    addresses_.erase(victim);
  }
  return addresses_.emplace(client, TAddress{}).first->second;
}

TLoginPenalty::TVerdict TLoginPenalty::Check(const std::string& peer, const std::function<bool()>& matches) {
  const std::int64_t now = clock_();
  Forget(now);
  const std::string client = LoginClientOf(peer);
  TAddress* a = Find(client);
  if (a) {
    a->lastHeard = now;
    if (now < a->until) return lpRefused;
  }
  if (matches()) {
    // The right password clears its own address; the newcomers' shared
    // record stays, as the others sharing it are still guessing.
    if (a && a != &newcomers_) addresses_.erase(client);
    return lpAdmitted;
  }
  if (!a) a = &Add(client);
  a->lastHeard = a->lastFailure = now;
  if (++a->failures >= kFreeLoginFailures) {
    a->penaltyMs = a->penaltyMs == 0 ? kFirstLoginPenaltyMs : std::min(a->penaltyMs * 2, kMaxLoginPenaltyMs);
    a->until = now + a->penaltyMs;
  }
  return lpWrong;
}

std::int64_t TLoginPenalty::PenaltyLeftMs(const std::string& peer) {
  const std::int64_t now = clock_();
  Forget(now);
  const TAddress* a = Find(LoginClientOf(peer));
  return a ? std::max<std::int64_t>(a->until - now, 0) : 0;
}

// ---------------------------------------------------------------------------
// The connection

void TMyHttpConnection::CheckAuthentication() {
  // Every request is checked, whatever its method or path.  A connection
  // authorised once stays so, but a request that brings credentials has
  // them judged all the same: refused, the request gets the 401 answer
  // and the connection ends.
  WrongCredentials = false;
  std::vector<std::string> offered;
  for (const std::string& line : HeaderLines)
    if (Upper(line.substr(0, 20)) == "AUTHORIZATION: BASIC") offered.push_back(line.substr(14));
  if (!offered.empty()) {
    if (panel_ && panel_->CredentialsAdmitted(PeerAddressText(), offered)) Authorised = true;
    else WrongCredentials = true;
  }
  Authenticated = Authorised && !WrongCredentials;
}

void TMyHttpConnection::SendUnauthorizedPage() {
  const std::string body =
      "<html><head><title>Unauthorized</title></head><font size=\"2\" face=\"Arial, Helvetica, sans-serif\">"
      "<body><B>Error 401</B><br><br>You are not authorized to use this resource.</font></body></html>";
  THttpGetFlag flags = net::hgWillSendMySelf;
  AnswerWithText(flags, "401 Unauthorized", "text/html", kRealmHeader, body);
}

// ---------------------------------------------------------------------------
// The panel

TWebPanel::TWebPanel(std::function<std::vector<std::string>()> logLines)
    : logLines_(std::move(logLines)), http_(std::make_unique<net::THttpServer>()) {
  net::THttpServer& h = *http_;
  h.SetAddr("0.0.0.0");
  h.ListenBacklog = 5;
  // It listens on every address: a flood of slow clients must neither
  // hold every descriptor nor keep its connections for ever, and one
  // address alone never takes every place.
  h.MaxClients = kPanelMaxClients;
  h.MaxClientsPerAddress = kPanelMaxClientsPerAddress;
  h.RequestTimeoutSec = kPanelRequestTimeoutSec;
  h.SetKeepAliveTimeSec(10);
  h.MaxRequestsKeepAlive = 100;
  h.SizeCompressMin = 5000;
  h.SizeCompressMax = 5000000;
  h.MaxBlkSize = 8192;
  h.DefaultDoc = "index.htm";
  h.ConnectionClass = [this]() -> net::THttpConnection* { return new TMyHttpConnection(this); };
  h.OnGetDocument = [this](net::THttpServer*, net::THttpConnection* c, THttpGetFlag& flags) {
    GetDocument(static_cast<TMyHttpConnection*>(c), flags);
  };
  // HEAD answers as GET does, without the body (the connection leaves it).
  h.OnHeadDocument = h.OnGetDocument;
  h.OnAcceptError = [this](net::THttpServer*, int error, const std::string& message) {
    ConnectionTrouble(error, message);
  };
  h.OnPostDocument = [this](net::THttpServer*, net::THttpConnection* c, THttpGetFlag& flags) {
    PostDocument(static_cast<TMyHttpConnection*>(c), flags);
  };
  h.OnPostedData = [this](net::THttpServer*, net::THttpConnection* c, net::WORD) {
    PostedData(static_cast<TMyHttpConnection*>(c));
  };
  h.OnServerStarted = [this](net::THttpServer*) { running_ = true; };
  h.OnServerStopped = [this](net::THttpServer*) { running_ = false; };
}

TWebPanel::~TWebPanel() {
  if (http_) http_->Stop();
}

bool TWebPanel::CredentialsMatch(const std::string& authorization) {
  const std::string value = Trim(authorization);
  if (Upper(value.substr(0, 6)) != "BASIC ") return false;
  // Empty credentials never open the panel: "Og==" (":") would match them.
  if (Options.rlo.empty() || Options.rpa.empty()) return false;
  return net::DecodeBase64String(Trim(value.substr(6))) == Options.rlo + ":" + Options.rpa;
}

void TWebPanel::AuthorisationFailed(const std::string& peer) {
  const std::int64_t now = NowMs();
  // Addresses quiet for an hour are forgotten; the table stays bounded.
  for (auto it = failedLogins_.begin(); it != failedLogins_.end();)
    it = now - it->second.last > 3600000 ? failedLogins_.erase(it) : std::next(it);
  // Counted per client, as the penalty is: a guesser that cycles through
  // the loopback addresses leaves one line a minute, not one per address.
  const std::string client = LoginClientOf(peer);
  if (failedLogins_.size() >= 4096 && !failedLogins_.count(client)) {
    auto oldest = std::min_element(failedLogins_.begin(), failedLogins_.end(),
                                   [](const auto& a, const auto& b) { return a.second.last < b.second.last; });
    failedLogins_.erase(oldest);
  }
  FailedLogins& f = failedLogins_[client];
  ++f.count;
  f.last = now;
  // One line per peer and minute, with the count: guessing must not flood
  // the log (nor, with error mail on, the administrator's mailbox).
  if (f.logged != 0 && now - f.logged < 60000) return;
  f.logged = now;
  AddLog(MessageText("httpnotauthorized") + " (" + peer + ", " + std::to_string(f.count) +
         (f.count == 1 ? " failure" : " failures") + "). [!]");
}

void TWebPanel::AuthorisationSucceeded(const std::string& peer) {
  auto it = failedLogins_.find(LoginClientOf(peer));
  if (it == failedLogins_.end()) return;
  // The count of a guessing run that ended stays in the log.
  if (it->second.logged != 0 && it->second.last > it->second.logged)
    AddLog(MessageText("httpnotauthorized") + " (" + peer + ", " + std::to_string(it->second.count) +
           " failures). [!]");
  failedLogins_.erase(it);
}

bool TWebPanel::CredentialsAdmitted(const std::string& peer, const std::vector<std::string>& offered) {
  // Every line must match: a request is one guess however many it brings.
  const auto verdict = loginPenalty_.Check(peer, [&offered] {
    return std::all_of(offered.begin(), offered.end(), [](const std::string& a) { return CredentialsMatch(a); });
  });
  if (verdict == TLoginPenalty::lpAdmitted) {
    AuthorisationSucceeded(peer);
    return true;
  }
  AuthorisationFailed(peer);
  return false;
}

void TWebPanel::SendLoginRefusal(TMyHttpConnection* c) {
  // Refused credentials are answered at once and end their connection:
  // nothing behind them on it is looked at.
  c->KeepAlive = false;
  c->PrepareGracefulClose();
  c->SendUnauthorizedPage();
}

void TWebPanel::ConnectionTrouble(int error, const std::string& message) {
  // A flood makes many of these: the first is logged at once, then at
  // most one line every ten seconds, counting those between.
  ++troubleCount_;
  const std::int64_t now = NowMs();
  if (troubleLogged_ != 0 && now - troubleLogged_ < 10000) return;
  troubleLogged_ = now;
  const std::string what = error != 0 ? "HTTP - Unable to accept a connection: " : "HTTP - A connection failed: ";
  AddLog(what + message + " (" + std::to_string(troubleCount_) + (troubleCount_ == 1 ? " connection" : " connections") +
         " refused or failed since the last report). [!]");
  troubleCount_ = 0;
}

std::string TWebPanel::BoundPort() const { return http_->BoundPort(); }

void TWebPanel::Start() {
  if (running_) {
    AddLog(MessageText("httpisrunning"));
    return;
  }
  if (Options.rlo.empty() || Options.rpa.empty()) {
    AddLog(MessageText("httpneedscredentials") + " [!]");
    return;
  }
  const std::string port = Options.rap;
  AddLog(MessageText("httpstartingonport") + port + ".");
  net::THttpServer& h = *http_;
  h.SetPort(port);
  // Paths no page answers come from the "wwwroot" of the settings folder.
  h.SetDocDir(PathJoin(SettingsFolder, "wwwroot"));
  try {
    h.Start();
  } catch (const std::exception& e) {
    AddLog(MessageText("httpunabletostart") + " [!]");
    const int error = h.SrvSocket() ? h.SrvSocket()->LastError : 0;
    if (error == 10048)
      AddLog(Format("httpportused", port) + " [!]");
    else
      AddLog(MessageText("httpword") + "ESocketException: " + e.what() + ". [!]");
    return;
  }
  running_ = true;
  AddLog(MessageText("httpstarted"));
  const std::string suffix = (port == "80" ? "" : ":" + port) + "/";
  AddLog(MessageText("httpavailas") + " http://" + Lower(platform::HostName()) + suffix);
  for (const std::string& a : net::LocalIPv4Addresses()) AddLog(MessageText("httpavailas") + " http://" + a + suffix);
}

void TWebPanel::Stop() {
  if (!running_) {
    AddLog(MessageText("httpnotrunning"));
    return;
  }
  http_->Stop();
  running_ = false;
  AddLog(MessageText("httpstopped"));
}

// ---------------------------------------------------------------------------
// Pages

std::string TWebPanel::PageHead(const std::string& title, bool logPage) const {
  std::string h = "<HTML><HEAD><TITLE>" + title + "</TITLE>";
  h += "<META http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">";
  if (Refresh != "0") h += "<META http-equiv=\"refresh\" content=\"" + Esc(Refresh) + "\">";
  h += "</HEAD><body bgcolor=\"#FFFFFF\" text=\"#000000\"><H2>" + title + "</H2>";
  h += MessageText("localservertime") + NowText() + ". " + MessageText("refreshinterval") + Esc(Refresh) + " " +
       MessageText("secondsword");
  h += logPage ? ".<BR><BR><font size=\"-1\">" : ".<BR><BR>";
  return h;
}

std::string TWebPanel::ColouredLines(const std::vector<std::string>& lines) const {
  const std::size_t n = static_cast<std::size_t>(std::max(Lines, 0));
  const std::size_t from = lines.size() > n ? lines.size() - n : 0;
  std::string out;
  for (std::size_t i = from; i < lines.size(); ++i) {
    const bool error = lines[i].find("[!]") != std::string::npos;
    out += std::string("<FONT color=\"") + (error ? "#CC0000" : "#000000") + "\">" + Esc(lines[i]) + "</FONT><BR>";
  }
  return out;
}

std::string TWebPanel::RootPage() const {
  const std::string title = MessageText("yuxremotecontrol");
  std::string p = "<HTML><HEAD><TITLE>" + title +
                  "</TITLE><META http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\"></HEAD><BODY><H2>" +
                  title + "</H2>";
  p += MessageText("localservertime") + NowText() + ". " + MessageText("refreshinterval") + Esc(Refresh) + " " +
       MessageText("secondsword") + ".<BR><BR>";
  p += "<b><A HREF=\"/cp.htm\" target=\"_blank\">" + MessageText("httpcontrolpanel") + "</A><BR>";
  p += "<A HREF=\"/schedule.htm\" target=\"_blank\">" + MessageText("httpviewpreslist") + "</A><BR>";
  p += "<A HREF=\"/rarlog.htm\" target=\"_blank\">" + MessageText("httpwinrarlog") + "</A></b><BR><BR>";
  p += "<A HREF=\"/command.htm\" target=\"_blank\">" + MessageText("httpcmdonly") + "</A><BR>";
  p += "<A HREF=\"/log.htm\" target=\"_blank\">" + MessageText("httplogonly") + "</A><BR>";
  return p + "</BODY></HTML>";
}

std::string TWebPanel::FramePage() const {
  return "<html><head><title>" + MessageText("yuxremoteaccess") +
         "</title><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\"></head>"
         "<frameset rows=\"60,*\" frameborder=\"YES\" border=\"0\" framespacing=\"0\">"
         "<frame name=\"mainFrame\" src=\"command.htm\"><frame name=\"bottomFrame\" scrolling=\"YES\" "
         "src=\"log.htm\"></frameset><noframes><body bgcolor=\"#FFFFFF\" text=\"#000000\"></body></noframes></html>";
}

std::string TWebPanel::CommandPage() const {
  return "<html><head><title>" + MessageText("yuxcontrolpanel") +
         "</title><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\"></head>"
         "<body bgcolor=\"#FFFFFF\" text=\"#000000\"><table width=\"100%\" border=\"0\">  <tr>    "
         "<td width=\"50%\" height=\"26\"><FORM METHOD=\"POST\" ACTION=\"/cgi-bin/command\">        &nbsp;" +
         MessageText("commandword") +
         " &nbsp;        <input type=\"TEXT\" name=\"Command\" size=\"20\">&nbsp; <input type=\"SUBMIT\" "
         "name=\"Submit\" value=\"" +
         MessageText("sendword") +
         "\"></FORM></td><td width=\"50%\" height=\"0\"><FORM METHOD=\"POST\" ACTION=\"/cgi-bin/logsetup\">     "
         "   <div align=\"right\">" +
         MessageText("linesword") + " &nbsp;<input type=\"TEXT\" name=\"Lines\" maxlength=\"5\" value=\"" +
         Esc(std::to_string(Lines)) + "\" size=\"5\"> &nbsp;" + MessageText("refreshword") +
         " &nbsp;<input type=\"TEXT\" name=\"Refresh\" maxlength=\"5\" value=\"" + Esc(Refresh) +
         "\" size=\"5\"> &nbsp;<input type=\"SUBMIT\" name=\"Submit2\" value=\"" + MessageText("updateword") +
         "\">          &nbsp; </div>      </FORM>    </td>    </tr>  </table>  </BODY></HTML>";
}

std::string TWebPanel::LogPage() const {
  return PageHead(MessageText("yuxlogfile"), true) + ColouredLines(logLines_ ? logLines_() : std::vector<std::string>{}) +
         "</BODY></HTML>";
}

std::string TWebPanel::RarLogPage() const {
  std::string p = PageHead(MessageText("winrarlogfile"), true);
  const std::string file = PathJoin(SettingsFolder, "winrar.log");
  bool ok = false;
  std::vector<std::string> lines = ReadTextLines(file, ok);
  if (ok) {
    for (std::string& l : lines) l = DecodeAnsiText(l);
    p += ColouredLines(lines);
  } else {
    p += MessageText("nowinrarlogfile");
  }
  return p + "</BODY></HTML>";
}

std::string TWebPanel::SchedulePage() const {
  std::string p = PageHead(MessageText("yuxschedule"), false);
  const auto& rows = Schedule.Rows();
  if (rows.empty()) {
    p += MessageText("scheduleisempty");
  } else {
    p += "<BR>" + MessageText("thefollowingpresetsscheduled") +
         "<BR><BR><table width=\"100%\" border=\"1\"><tr><td width=\"5%\"><div align=\"center\"><b>#</b></div></td>"
         "<td width=\"20%\"><div align=\"center\"><b>" +
         MessageText("dateandtimeword") + "</b></div></td><td width=\"25%\"><div align=\"center\"><b>" +
         MessageText("presetnameword") + "</b></div></td><td width=\"50%\"><div align=\"center\"><b>" +
         MessageText("optionsword") + "</b></div></td></tr>";
    for (std::size_t i = 0; i < rows.size(); ++i)
      p += "<tr><td width=\"5%\">" + std::to_string(i + 1) + "<td width=\"20%\">" + Esc(rows[i].DateText) +
           "</td><td width=\"25%\">" + Esc(rows[i].Name) + "</td><td width=\"50%\">" + Esc(rows[i].Options) +
           "</td></tr>";
    p += "</table>";
  }
  const PresetListRows* presets = GetPresetListRows();
  if (!presets || presets->Count() == 0) {
    p += MessageText("therearenopresets");
  } else {
    p += "<BR>" + MessageText("presetsforscheduling") +
         "<BR><BR><table width=\"100%\" border=\"1\"><tr><td width=\"60%\"><div align=\"center\"><b>" +
         MessageText("presetnameword") + "</b></div></td><td width=\"20%\"><div align=\"center\"><b>" +
         MessageText("scheduledexecutionword") + "</b></div></td><td width=\"20%\"><div align=\"center\"><b>" +
         MessageText("previousexecutionword") + "</b></div></td></tr>";
    for (std::size_t i = 0; i < presets->Count(); ++i)
      p += "<tr><td width=\"60%\">" + Esc(presets->Caption(i)) + "</td><td width=\"20%\">" +
           Esc(presets->ScheduledText(i)) + "</td><td width=\"20%\">" + Esc(presets->PreviousText(i)) + "</td></tr>";
    p += "</table>";
  }
  return p + "</BODY></HTML>";
}

// ---------------------------------------------------------------------------
// Requests

void TWebPanel::Answer(TMyHttpConnection* c, const std::string& body, const std::string& status) {
  THttpGetFlag flags = net::hgWillSendMySelf;
  c->AnswerWithText(flags, status, kPageType, "", body);
}

bool TWebPanel::Admitted(TMyHttpConnection* c, THttpGetFlag& flags) {
  if (c->WrongCredentials) {
    flags = net::hgWillSendMySelf;
    SendLoginRefusal(c);
    return false;
  }
  if (flags == net::hg401 || !c->Authorised) {
    flags = net::hg401;
    return false;
  }
  return true;
}

void TWebPanel::GetDocument(TMyHttpConnection* c, THttpGetFlag& flags) {
  if (!Admitted(c, flags)) return;
  const std::string path = Lower(c->Path);
  std::string page;
  if (path == "/") page = RootPage();
  else if (path == "/log.htm") page = LogPage();
  else if (path == "/cp.htm") page = FramePage();
  else if (path == "/command.htm") page = CommandPage();
  else if (path == "/rarlog.htm") page = RarLogPage();
  else if (path == "/schedule.htm") page = SchedulePage();
  else return;  // the document folder, or 404
  flags = net::hgWillSendMySelf;
  Answer(c, page);
}

void TWebPanel::PostDocument(TMyHttpConnection* c, THttpGetFlag& flags) {
  if (!Admitted(c, flags)) return;
  const std::string path = Lower(c->Path);
  if (path != "/cgi-bin/logsetup" && path != "/cgi-bin/command") return;  // 404
  if (!SameOriginPost(c->HeaderLines, c->HeaderHost)) {
    Answer(c, "<HTML><BODY>403 Forbidden</BODY></HTML>", "403 Forbidden");
    flags = net::hgWillSendMySelf;
    return;
  }
  if (c->ContentLength > kMaxPostedForm) {
    c->KeepAlive = false;
    c->PrepareGracefulClose();
    Answer(c, "<HTML><BODY>413 Payload Too Large</BODY></HTML>", "413 Payload Too Large");
    flags = net::hgWillSendMySelf;
    return;
  }
  c->PostedData.clear();
  c->PostedCount = 0;
  if (c->ContentLength == 0) {
    // No body follows: the form is answered at once.
    flags = net::hgWillSendMySelf;
    if (path == "/cgi-bin/logsetup") LogSetup(c);
    else Command(c);
    return;
  }
  flags = net::hgAcceptData;
  c->PostedData.reserve(static_cast<std::size_t>(c->ContentLength));
}

void TWebPanel::PostedData(TMyHttpConnection* c) {
  char buf[4096];
  while (c->PostedCount < c->ContentLength) {
    const int want = static_cast<int>(std::min<std::int64_t>(sizeof buf, c->ContentLength - c->PostedCount));
    const int n = c->Receive(buf, want);
    if (n <= 0) return;
    c->PostedData.append(buf, static_cast<std::size_t>(n));
    c->PostedCount += n;
  }
  c->EndPostedData();
  const std::string path = Lower(c->Path);
  if (path == "/cgi-bin/logsetup") LogSetup(c);
  else if (path == "/cgi-bin/command") Command(c);
  else c->SendNotFoundPage();
}

void TWebPanel::LogSetup(TMyHttpConnection* c) {
  std::string lines, refresh;
  net::ExtractUrlEncodedField(c->PostedData, "Lines", lines);
  net::ExtractUrlEncodedField(c->PostedData, "Refresh", refresh);
  int n = 0;
  Refresh = ParseInt(refresh, n) && n >= 0 && n <= 86400 ? std::to_string(n) : "10";
  Lines = ParseInt(lines, n) && n >= 1 && n <= 10000 ? n : 40;
  Answer(c, BackToCommandPage(MessageText("httpupdatedparams")));
}

void TWebPanel::Command(TMyHttpConnection* c) {
  std::string text;
  net::ExtractUrlEncodedField(c->PostedData, "Command", text);
  text = Trim(text);
  if (text.empty()) {
    Answer(c, BackToCommandPage(""));
    return;
  }
  const std::string up = Upper(text);
  if (up == "/FORCEREBOOT") {
    // The page goes first: the reboot ends everything.
    AddLog(MessageText("httpforcereboot") + " (" + c->PeerAddressText() + ")");
    AddLog("");
    Answer(c, BackToCommandPage(MessageText("httpcommandwassent")));
    QTimer::singleShot(0, [] { ExitWindowsPrivileged(platform::EWX_REBOOT | platform::EWX_FORCE); });
    return;
  }
  if (up == "/ABORT") {
    AddLog(MessageText("httpabortrequest"));
    AbortRequested = true;
  } else {
    AddLog(MessageText("httpreceivedcommand") + " \"" + text + "\".");
    AddScheduleRequest(text);
  }
  Answer(c, BackToCommandPage(MessageText("httpcommandwassent")));
}

}  // namespace yux
