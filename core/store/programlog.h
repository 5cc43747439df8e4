#pragma once
// The program log: time-stamped lines shown in the main window's log list
// and appended to "yux.log" in the settings folder (CRLF lines, oldest
// first).  A text containing "[!]" is an error line: it sets ErrorOccurred
// and, when the options ask for it, plays the error sound and is mailed.
// Meant for the GUI thread.
#include <functional>
#include <string>
#include <vector>

namespace yux {

// The main window's log list, reached without a widget include.  The
// window installs its own sink at start.
class LogListSink {
 public:
  virtual ~LogListSink() = default;
  // Adds one line at the end (and keeps the last line in view).
  virtual void AppendLine(const std::string& line) = 0;
  // Replaces every line (and shows the last one).
  virtual void ReplaceLines(const std::vector<std::string>& lines) = 0;
};
// Installs the log list; nullptr removes it.  The sink must outlive its
// installation.
void SetLogListSink(LogListSink* sink);

// Plays the error sound file (option swf) without waiting.
using ErrorSoundHook = std::function<void(const std::string& soundFile)>;
void SetErrorSoundHook(ErrorSoundHook hook);
// Mails one error line to the administrator; true when it was sent.  Until
// a mailer is installed no error mail is sent and none is claimed.
// Error lines are queued (at most 50; the rest counted in one plain line)
// and mailed from the event loop, one report at a time.
using ErrorMailHook = std::function<bool(const std::string& line)>;
void SetErrorMailHook(ErrorMailHook hook);
// Mails the queued error lines now, one report each.  A mailer that finds
// no server to talk to ends the flush (EndErrorMailFlush): the lines left
// wait for the next flush.
void FlushErrorMail();
// The flush of the close, before "YUX halts.": the same, bounded by `ms`;
// each line not mailed then is named in the log.
void FlushErrorMailWithin(unsigned ms);
// For the mailer: the time the flush in progress has left, or 0 when it
// has no bound of its own.
unsigned ErrorMailTimeLeftMs();
// For the mailer: the flush in progress ends after this report.  When the
// report was not even tried (`tried` false), its line goes back to the
// front of the queue and no outcome is logged for it.
void EndErrorMailFlush(bool tried = true);

// Name of the running preset, the prefix of AddPresetLog's lines.
extern std::string CurrentPresetName;

// "<settings folder>/yux.log".
std::string LogFilePath();

// Writes a log line.  The list line, the error flag and the sound take
// effect first; the result is false when the file line could not be
// written (or no settings folder is known yet).
bool AddLog(const std::string& text);
// The same with CurrentPresetName + ": " before the text.
bool AddPresetLog(const std::string& text);

// Keeps the last `lsz` lines of "yux.log" (adding the "Log has been reduced"
// line when lines were dropped) and reloads the log list.  Does nothing
// without a log file or with `lsz` 0 (or below).  RunActive is set while it
// works and afterwards is as it was before.  False when the file could not
// be rewritten (it is then left as it was).
bool TruncateLog();

// Loads "yux.log" into the log list (the first instance's start).
void LoadLogIntoList();

// Routes ReportLine of core/store/loghook.h into the program log.  Start-up calls
// it once the settings folder is known and the options are loaded, so
// that earlier reports still reach standard error.
void InstallProgramLogHook();

}  // namespace yux
