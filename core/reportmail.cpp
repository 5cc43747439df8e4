#include "core/reportmail.h"

#include <deque>
#include <exception>
#include <memory>

#include "core/datetime.h"
#include "core/flags.h"
#include "core/maildelivery.h"
#include "core/msgtable.h"
#include "core/options.h"
#include "core/programlog.h"
#include "core/scheduler.h"
#include "net/protocols/smtpssl.h"
#include "net/socket/sslcontext.h"

namespace yux {

namespace {

std::function<std::vector<std::string>()> g_logSource;

net::TSslSmtpCli& ReportClient() {
  static net::TSslSmtpCli client;
  return client;
}


std::string Replace(std::string text, const std::string& with) {
  const auto at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, with);
  return text;
}

// One report: open, mail, and QUIT in any case.  Never raises; what went
// wrong is the result false (and a plain line for an exception).
bool SendReport(const std::string& subject, const std::vector<std::string>& body,
                const std::string& defaultPort) {
  const topt& o = Options;
  net::TSslSmtpCli& c = ReportClient();
  c.Timeout = 30;
  c.SetEmailFiles({});
  c.RcptName = {o.sto};
  c.HdrSubject = subject;
  c.FromName = o.sfm;
  c.HdrFrom = o.sfm;
  c.HdrTo = o.sto;
  c.SetCharSet("utf-8");
  c.XMailer = "Pellmor YUX";
  c.MailMessage = body;
  SetSmtpAccount(c, o.ssr, defaultPort, o.sur, o.spd, o.sss);
  bool sent = false;
  try {
    if (c.OpenBlocking()) sent = c.MailBlocking();
  } catch (const std::exception& e) {
    AddLog(std::string("SMTP - ") + e.what());
  }
  try {
    c.QuitBlocking();
  } catch (const std::exception& e) {
    AddLog(std::string("SMTP - ") + e.what());
  }
  return sent;
}

}  // namespace

bool SendErrorByMail(const std::string& text) {
  AddLog(MessageText("emailreportsend"));
  // No run starts while the report goes out; the flag is restored, never
  // cleared, so a run in progress stays one.
  const bool was = RunActive;
  RunActive = true;
  const bool sent = SendReport("YUX error report.", {text}, "25");
  RunActive = was;
  return sent;
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
                    LogReportBody(lines, hours, QDateTime::currentDateTime()), "smtp");
}

void InstallReportMailers() {
  SetErrorMailHook(SendErrorByMail);
  SetLogMailer(SendLogByMail);
}

}  // namespace yux
