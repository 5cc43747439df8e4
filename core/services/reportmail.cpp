// The program's own report mails: error lines and the "/SENDLOG" digest.
#include "core/services/reportmail.h"

#include <deque>
#include <exception>
#include <memory>
#include <stdexcept>

#include "core/run/maildelivery.h"
#include "core/run/presetrun.h"
#include "core/run/tlsidentity.h"
#include "core/schedule/scheduler.h"
#include "core/store/datetime.h"
#include "core/store/flags.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/programlog.h"
#include "net/protocols/smtpssl.h"
#include "platform/messages.h"

namespace yux {

namespace {

std::function<std::vector<std::string>()> g_logSource;

// The report client's blocking waits end early when the report is to
// stop: they ask this between their slices of waiting.
class ReportSmtpClient : public net::TSslSmtpCli {
 public:
  std::function<bool()> stop;
  bool IsTerminated() override { return net::TSslSmtpCli::IsTerminated() || (stop && stop()); }
};

ReportSmtpClient& ReportClient() {
  static ReportSmtpClient client;
  return client;
}

// The reports have no preset: the check's lines go to the program log.
TlsServerCheck& ReportTlsCheck() {
  static TlsServerCheck check([](const std::string& line) { AddLog(line); });
  return check;
}

constexpr int kReportTimeoutSeconds = 30;


std::string Replace(std::string text, const std::string& with) {
  const auto at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, with);
  return text;
}

// How one report went: sent, refused by the server, or no session at all
// (the server was not reached, did not answer in time, or `stop` cut it).
enum class ReportResult { Sent, Refused, NoSession };

// One report: open, mail, and QUIT while the connection stands.  Never
// raises; what went wrong is the result (and a plain line for an
// exception).  `stop` is asked while it waits and ends it at once.
ReportResult SendReport(const std::string& subject, const std::vector<std::string>& body,
                        const std::string& defaultPort, int timeoutSeconds = kReportTimeoutSeconds,
                        std::function<bool()> stop = {}) {
  const topt& o = Options;
  ReportSmtpClient& c = ReportClient();
  c.Timeout = timeoutSeconds;
  c.stop = std::move(stop);
  c.SetEmailFiles({});
  c.RcptName = {o.sto};
  c.HdrSubject = subject;
  c.FromName = o.sfm;
  c.HdrFrom = o.sfm;
  c.HdrTo = o.sto;
  c.SetCharSet("utf-8");
  c.XMailer = "Pellmor YUX";
  c.MailMessage = body;
  try {
    SetSmtpAccount(c, o.ssr, defaultPort, o.sur, o.spd, o.sss, ReportTlsCheck());
  } catch (const std::invalid_argument& e) {
    AddLog(MessageText("smtperror") + e.what() + " [!]");
    c.stop = nullptr;
    return ReportResult::NoSession;
  }
  ReportResult result = ReportResult::NoSession;
  try {
    if (c.OpenBlocking()) result = c.MailBlocking() ? ReportResult::Sent : ReportResult::Refused;
  } catch (const std::exception& e) {
    AddLog(std::string("SMTP - ") + e.what());
  }
  // A session cut off or timed out has no connection left to say goodbye on.
  if (result == ReportResult::Refused && (c.stop && c.stop())) result = ReportResult::NoSession;
  if (c.Connected && !(c.stop && c.stop())) {
    try {
      c.QuitBlocking();
    } catch (const std::exception& e) {
      AddLog(std::string("SMTP - ") + e.what());
    }
  }
  if (c.Connected) c.Abort();
  c.stop = nullptr;
  return result;
}

}  // namespace

bool SendErrorByMail(const std::string& text) {
  const unsigned bound = ErrorMailTimeLeftMs();
  if (bound == 0 && RunsRefusedForSessionEnd()) {
    // The session is ending: the line waits for the close's own flush.
    EndErrorMailFlush(false);
    return false;
  }
  AddLog(MessageText("emailreportsend"));
  // No run starts while the report goes out; the flag is restored, never
  // cleared, so a run in progress stays one.
  const bool was = RunActive;
  RunActive = true;
  // An abort that comes while the report waits, or the end of the session,
  // cuts it: the report must not hold up the run's way out.  At the close
  // the flush's own bound takes over.
  std::function<bool()> stop;
  int timeout = kReportTimeoutSeconds;
  if (bound > 0) {
    const platform::DWORD deadline = platform::GetTickCount() + bound;
    stop = [deadline] { return static_cast<std::int32_t>(deadline - platform::GetTickCount()) <= 0; };
    timeout = std::min<int>(timeout, static_cast<int>((bound + 999) / 1000));
  } else {
    const bool abortedBefore = AbortRequested;
    stop = [abortedBefore] { return (!abortedBefore && AbortRequested) || RunsRefusedForSessionEnd(); };
  }
  const ReportResult result = SendReport("YUX error report.", {text}, "25", timeout, stop);
  RunActive = was;
  // A server that cannot be reached now will not be for the next line
  // either: the rest of the queue waits for the next flush.
  if (result == ReportResult::NoSession) EndErrorMailFlush();
  return result == ReportResult::Sent;
}

void SetReportLogSource(std::function<std::vector<std::string>()> source) { g_logSource = std::move(source); }

std::vector<std::string> LogReportBody(const std::vector<std::string>& lines, int hours, const QDateTime& now) {
  const std::string subject = Replace(MessageText("logtoemailsubj"), std::to_string(hours));
  const QDateTime start = now.addSecs(-static_cast<qint64>(hours) * 3600);
  std::deque<std::string> accepted;
  int errors = 0;
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    const std::string& line = *it;
    QDateTime when = now;
    if (line.size() >= 20)
      if (auto t = TextToDateTime(std::string_view(line).substr(1, 19))) when = *t;
    if (when < start) break;
    accepted.push_front(line);
    if (line.find("[!]") != std::string::npos) ++errors;
  }
  const std::vector<std::string> footer = {"", "--", "Yux for WinRAR, v.3.00 beta 4 (2013.03.10)."};
  std::vector<std::string> body;
  if (lines.empty()) {
    // An empty log: the footer, then the note in place of the digest.
    body = footer;
    body.push_back(MessageText("logtoemaillogempty"));
    return body;
  }
  body.push_back(subject);
  body.push_back(MessageText("logtoemailperiodof") + DateTimeToText(start) + "- " + DateTimeToText(now) + ".");
  body.push_back(errors == 0 ? MessageText("logtoemailnoerr")
                             : std::to_string(errors) + MessageText("logtoemailwaserr"));
  body.push_back("");
  body.insert(body.end(), accepted.begin(), accepted.end());
  body.insert(body.end(), footer.begin(), footer.end());
  return body;
}

bool SendLogByMail(int hours) {
  AddLog(MessageText("logtoemailsending") + Options.sto);
  const std::vector<std::string> lines = g_logSource ? g_logSource() : std::vector<std::string>{};
  return SendReport(Replace(MessageText("logtoemailsubj"), std::to_string(hours)),
                    LogReportBody(lines, hours, QDateTime::currentDateTime()), "smtp") == ReportResult::Sent;
}

void InstallReportMailers() {
  SetErrorMailHook(SendErrorByMail);
  SetLogMailer(SendLogByMail);
}

}  // namespace yux
