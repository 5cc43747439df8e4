#pragma once
// The program's own reports by mail, sent with a client of their own and
// blocking calls (never the run's delivery client): one message per error
// line when error reporting is on, and the log digest of "/SENDLOG".
#include <functional>
#include <string>
#include <vector>

#include <QDateTime>

namespace yux {

// Mails one error line to the report recipient; true when it was sent.
bool SendErrorByMail(const std::string& text);
// Mails the log lines of the last `hours` hours; true when it was sent.
bool SendLogByMail(int hours);

// Where the log digest reads the log list (the main window's lines, oldest
// first); none gives an empty log.
void SetReportLogSource(std::function<std::vector<std::string>()> source);

// The body of the log digest over `lines` (oldest first, each with its
// "[yyyy.mm.dd hh:nn:ss]" stamp) for the `hours` before `now`.
std::vector<std::string> LogReportBody(const std::vector<std::string>& lines, int hours, const QDateTime& now);

// Installs both mailers (error lines and "/SENDLOG").
void InstallReportMailers();

}  // namespace yux
