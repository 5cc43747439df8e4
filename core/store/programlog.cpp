// The program log: its file, its list and the preset log lines.
#include "core/store/programlog.h"

#include <QCoreApplication>

#include <QDateTime>
#include <QElapsedTimer>
#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>

#include "core/store/datetime.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/inifile.h"
#include "core/store/loghook.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/savefile.h"
#include "core/store/textutil.h"

namespace yux {

std::string CurrentPresetName;

namespace {

namespace fs = std::filesystem;

std::mutex g_fileMutex;
// Lines of "yux.log" as this process knows them: counted when the log was
// read or cut, and one more for every line appended since, so that the
// file can be cut once it has grown without reading it for every line.
// Negative while unknown (the count is never guessed).
long long g_fileLines = -1;
std::string g_countedLog;  // the file g_fileLines counts
bool g_truncating = false;
// How far the file may grow past the limit before a running program cuts
// it: a cut rewrites the file and reloads the list, so it is not done for
// every line.
long long CutStep(int lsz) { return std::max<long long>(lsz / 10, 100); }
LogListSink* g_sink = nullptr;
ErrorSoundHook g_sound;
ErrorMailHook g_mail;
// Error lines wait here to be mailed, one report at a time, from the event
// loop: a report's blocking calls handle messages, and a line logged
// meanwhile (or inside another handler) must neither re-enter the mailer
// nor be lost.  The outcome lines are plain, so a failing mail never mails
// itself.
constexpr std::size_t kMaxQueuedMails = 50;
std::deque<std::string> g_mailQueue;
std::size_t g_notMailed = 0;
bool g_mailing = false;
bool g_mailPosted = false;
bool g_outcome = false;  // logging a report's outcome: never mailed itself
bool g_flushEnded = false;  // the mailer ended the flush in progress
bool g_lineUntried = false;  // ... without trying the line it was given
bool g_flushBounded = false;
QElapsedTimer g_flushClock;  // since the start of a bounded flush
unsigned g_flushBoundMs = 0;

void QueueErrorMail(const std::string& line) {
  if (g_mailQueue.size() >= kMaxQueuedMails) {
    ++g_notMailed;
    return;
  }
  g_mailQueue.push_back(line);
  if (g_mailing || g_mailPosted) return;
  if (QCoreApplication* app = QCoreApplication::instance()) {
    g_mailPosted = true;
    QMetaObject::invokeMethod(
        app,
        [] {
          g_mailPosted = false;
          FlushErrorMail();
        },
        Qt::QueuedConnection);
  }
}

std::string Stamp() { return "[" + FormatStamp(QDateTime::currentDateTime()) + "] "; }

bool AppendToFile(const std::string& line) {
  if (SettingsFolder.empty()) return false;
  std::lock_guard lock(g_fileMutex);
  const std::string path = LogFilePath();
  std::error_code ec;
  const bool existed = fs::exists(path, ec);
  std::ofstream out(fs::path(path), std::ios::binary | std::ios::app);
  if (!out) return false;
  if (!existed) ApplySettingsFileMode(path);
  out << line << "\r\n";
  out.close();
  if (out.fail()) return false;
  if (!existed) {  // a log cleared or removed starts again
    g_fileLines = 0;
    g_countedLog = path;
  }
  if (g_fileLines >= 0 && g_countedLog == path) ++g_fileLines;
  return true;
}

// A log line as it is stored: control characters as visible escapes, and at
// most kMaxLogText bytes (the rest cut with "..."), so that a damaged file
// quoted in a line can neither slow every later start nor write raw escape
// sequences into the log.  An error line keeps its mark.
constexpr std::size_t kMaxLogText = 4000;

std::string StoredLogText(const std::string& text, bool isError) {
  std::string out;
  out.reserve(std::min(text.size(), kMaxLogText + 8));
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) {
      static const char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
    if (out.size() > kMaxLogText) break;
  }
  if (out.size() > kMaxLogText) {
    std::size_t cut = kMaxLogText;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;  // whole characters
    out.resize(cut);
    out += "...";
    if (isError && out.find("[!]") == std::string::npos) out += " [!]";
  }
  return out;
}

// A program that runs for months without a start cuts its log itself once
// the file has grown a step past the limit, the same way the menu does.
void CutLogWhenGrown() {
  const int lsz = Options.lsz;
  if (lsz <= 0 || g_truncating || g_fileLines < 0 || g_countedLog != LogFilePath()) return;
  if (g_fileLines > lsz + CutStep(lsz)) TruncateLog();
}

bool WriteLog(const std::string& prefix, const std::string& rawText) {
  const bool isError = rawText.find("[!]") != std::string::npos;
  const std::string text = StoredLogText(prefix + rawText, isError);
  if (isError) ErrorOccurred = true;
  if (g_sink) g_sink->AppendLine(Stamp() + text);
  if (isError && Options.soe && g_sound) g_sound(Options.swf);
  const bool written = AppendToFile(Stamp() + text);
  if (isError && Options.ser && g_mail && !g_outcome) QueueErrorMail(Stamp() + text);
  if (!written) std::cerr << "yux: cannot write the log file: " << text << std::endl;
  CutLogWhenGrown();
  return written;
}

}  // namespace

void SetLogListSink(LogListSink* sink) { g_sink = sink; }
void SetErrorSoundHook(ErrorSoundHook hook) { g_sound = std::move(hook); }
void SetErrorMailHook(ErrorMailHook hook) { g_mail = std::move(hook); }

namespace {

// Logs the queued lines the close could not mail, and forgets them.
void LogUnsentErrorMail() {
  g_outcome = true;
  for (const std::string& line : g_mailQueue) AddLog(MessageText("emailreportnotsent") + line);
  g_outcome = false;
  g_mailQueue.clear();
}

void Flush(bool bounded, unsigned boundMs) {
  if (g_mailing) return;
  g_mailing = true;
  g_flushEnded = false;
  g_flushBounded = bounded;
  g_flushBoundMs = boundMs;
  if (bounded) g_flushClock.start();
  // Lines logged during a report are mailed after it, but a report that
  // keeps causing new error lines ends after one queue's worth.
  std::size_t reports = 0;
  while (!g_mailQueue.empty() && g_mail && !g_flushEnded) {
    if (bounded && g_flushClock.elapsed() >= static_cast<qint64>(boundMs)) break;
    if (++reports > kMaxQueuedMails) {
      g_notMailed += g_mailQueue.size();
      g_mailQueue.clear();
      break;
    }
    const std::string line = g_mailQueue.front();
    g_mailQueue.pop_front();
    bool sent = false;
    g_lineUntried = false;
    try {
      sent = g_mail(line);
    } catch (const std::exception& e) {
      AddLog(e.what());
    }
    if (g_lineUntried) {
      g_lineUntried = false;
      g_mailQueue.push_front(line);
      break;
    }
    g_outcome = true;
    AddLog(MessageText(sent ? "emailreportok" : "emailreportbad") + Options.sto);
    g_outcome = false;
  }
  // Without a mailer the lines are of no use; at the close they are named.
  if (!g_mail) g_mailQueue.clear();
  if (bounded) LogUnsentErrorMail();
  if (g_notMailed) {
    AddLog(std::to_string(g_notMailed) + MessageText("emailreportdropped"));
    g_notMailed = 0;
  }
  g_flushBounded = false;
  g_flushEnded = false;
  g_mailing = false;
}

}  // namespace

void FlushErrorMail() { Flush(false, 0); }

void FlushErrorMailWithin(unsigned ms) { Flush(true, std::max(ms, 1u)); }

unsigned ErrorMailTimeLeftMs() {
  if (!g_flushBounded) return 0;
  const qint64 left = static_cast<qint64>(g_flushBoundMs) - g_flushClock.elapsed();
  // 0 means "no bound": a spent bound is the smallest time left.
  return left > 1 ? static_cast<unsigned>(left) : 1;
}

void EndErrorMailFlush(bool tried) {
  g_flushEnded = true;
  if (!tried) g_lineUntried = true;
}

std::string LogFilePath() { return PathJoin(SettingsFolder, "yux.log"); }

bool AddLog(const std::string& text) { return WriteLog("", text); }

bool AddPresetLog(const std::string& text) { return WriteLog(CurrentPresetName + ": ", text); }

namespace {

// The lines of `in` without their line ends (CR LF or LF), a last line
// without an end included; `keep` (above 0) keeps only the last that many.
// The number of lines read goes to `count`; false when the file could not
// be read to its end.
bool ReadLastLines(std::istream& in, std::size_t keep, std::deque<std::string>& lines, long long& count) {
  count = 0;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ++count;
    if (keep > 0 && lines.size() == keep) lines.pop_front();
    lines.push_back(std::move(line));
  }
  return in.eof() && !in.bad();
}

// Reads the last `keep` lines of the log (all with 0); false when it
// cannot be read.  Holds the file's lock.
bool ReadLogTail(std::size_t keep, std::deque<std::string>& lines) {
  std::lock_guard lock(g_fileMutex);
  std::ifstream in(fs::path(LogFilePath()), std::ios::binary);
  if (!in) return false;
  long long count = 0;
  if (!ReadLastLines(in, keep, lines, count)) return false;
  g_fileLines = count;
  g_countedLog = LogFilePath();
  return true;
}

// Copies the last `lsz` lines of the log through "yux.lo_" over the log;
// `reduced` tells whether lines were dropped.  Holds the file's lock.
bool CutLogFile(int lsz, bool& reduced) {
  std::lock_guard lock(g_fileMutex);
  const fs::path log = LogFilePath();
  std::deque<std::string> kept;
  long long n = 0;
  {
    std::ifstream in(log, std::ios::binary);
    if (!in || !ReadLastLines(in, static_cast<std::size_t>(lsz), kept, n)) return false;
  }
  g_fileLines = n;
  g_countedLog = log.string();
  if (n <= lsz) return true;
  const fs::path tmp = PathJoin(SettingsFolder, "yux.lo_");
  bool ok = false;
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    ApplySettingsFileMode(tmp.string());
    for (const std::string& line : kept) {
      if (!out) break;
      out << line << "\r\n";
    }
    out.close();
    ok = !out.fail();
  }
  // Renaming over the old file replaces it in one step, so readers never
  // find the log missing.
  std::error_code ec;
  if (ok) fs::rename(tmp, log, ec);
  if (!ok || ec) {
    fs::remove(tmp, ec);
    return false;
  }
  g_fileLines = static_cast<long long>(kept.size());
  reduced = true;
  return true;
}

}  // namespace

void LoadLogIntoList() {
  if (!g_sink || SettingsFolder.empty()) return;
  std::deque<std::string> tail;
  if (!ReadLogTail(0, tail)) return;
  std::vector<std::string> lines;
  lines.reserve(tail.size());
  for (auto& l : tail) lines.push_back(DecodeAnsiText(l));
  g_sink->ReplaceLines(lines);
}

bool TruncateLog() {
  const int lsz = Options.lsz;
  if (SettingsFolder.empty() || lsz <= 0) return true;
  std::error_code ec;
  if (!fs::is_regular_file(fs::path(LogFilePath()), ec)) return true;

  // A truncation may happen during a run (the scheduler's "/TRUNCLOG" while
  // waits pump messages): the run's flag must survive it.
  struct FlagRestore {
    bool was;
    ~FlagRestore() { RunActive = was; }
  } restore{RunActive.exchange(true)};
  struct Guard {
    Guard() { g_truncating = true; }
    ~Guard() { g_truncating = false; }
  } guard;
  bool reduced = false;
  const bool ok = CutLogFile(lsz, reduced);
  if (reduced) AddLog(Format("logwasreducedtolines", lsz));
  LoadLogIntoList();
  return ok;
}

void InstallProgramLogHook() {
  SetLogHook([](const std::string& text) { AddLog(text); });
}

}  // namespace yux
