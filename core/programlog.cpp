#include "core/programlog.h"

#include <QDateTime>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>

#include "core/datetime.h"
#include "core/flags.h"
#include "core/folders.h"
#include "core/textutil.h"
#include "core/inifile.h"
#include "core/loghook.h"
#include "core/msgtable.h"
#include "core/options.h"
#include "core/savefile.h"

namespace yux {

std::string CurrentPresetName;

namespace {

namespace fs = std::filesystem;

std::mutex g_fileMutex;
LogListSink* g_sink = nullptr;
ErrorSoundHook g_sound;
ErrorMailHook g_mail;
// Set while an error line is being mailed.  The mailer's own outcome line,
// or any error line logged while the mail session pumps messages, is not
// mailed again: a recipient or a translated text containing "[!]" would
// otherwise mail its own report without end.
bool g_mailing = false;

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
  return !out.fail();
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

bool WriteLog(const std::string& prefix, const std::string& rawText) {
  const bool isError = rawText.find("[!]") != std::string::npos;
  const std::string text = StoredLogText(prefix + rawText, isError);
  if (isError) ErrorOccurred = true;
  if (g_sink) g_sink->AppendLine(Stamp() + text);
  if (isError && Options.soe && g_sound) g_sound(Options.swf);
  const bool written = AppendToFile(Stamp() + text);
  if (isError && Options.ser && g_mail && !g_mailing) {
    g_mailing = true;
    bool sent = false;
    try {
      sent = g_mail(Stamp() + text);
    } catch (...) {
      g_mailing = false;
      throw;
    }
    AddLog(MessageText(sent ? "emailreportok" : "emailreportbad") + Options.sto);
    g_mailing = false;
  }
  if (!written) std::cerr << "yux: cannot write the log file: " << text << std::endl;
  return written;
}

}  // namespace

void SetLogListSink(LogListSink* sink) { g_sink = sink; }
void SetErrorSoundHook(ErrorSoundHook hook) { g_sound = std::move(hook); }
void SetErrorMailHook(ErrorMailHook hook) { g_mail = std::move(hook); }

std::string LogFilePath() { return PathJoin(SettingsFolder, "yux.log"); }

bool AddLog(const std::string& text) { return WriteLog("", text); }

bool AddPresetLog(const std::string& text) { return WriteLog(CurrentPresetName + ": ", text); }

void LoadLogIntoList() {
  if (!g_sink || SettingsFolder.empty()) return;
  bool ok = false;
  std::vector<std::string> lines;
  {
    std::lock_guard lock(g_fileMutex);
    lines = ReadTextLines(LogFilePath(), ok);
  }
  if (!ok) return;
  for (auto& l : lines) l = DecodeAnsiText(l);
  g_sink->ReplaceLines(lines);
}

bool TruncateLog() {
  const int lsz = Options.lsz;
  if (SettingsFolder.empty() || lsz <= 0) return true;
  const fs::path log = LogFilePath();
  std::error_code ec;
  if (!fs::is_regular_file(log, ec)) return true;

  // A truncation may happen during a run (the scheduler's "/TRUNCLOG" while
  // waits pump messages): the run's flag must survive it.
  struct FlagRestore {
    bool was;
    ~FlagRestore() { RunActive = was; }
  } restore{RunActive.exchange(true)};
  bool ok = true;
  bool reduced = false;
  {
    std::lock_guard lock(g_fileMutex);
    bool readOk = false;
    std::vector<std::string> lines = ReadTextLines(fs::path(log).string(), readOk);
    if (!readOk) {
      ok = false;
    } else if (lines.size() > static_cast<size_t>(lsz)) {
      const fs::path tmp = PathJoin(SettingsFolder, "yux.lo_");
      {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        ApplySettingsFileMode(tmp.string());
        for (size_t i = lines.size() - lsz; out && i < lines.size(); ++i) out << lines[i] << "\r\n";
        out.close();
        ok = !out.fail();
      }
      // Renaming over the old file replaces it in one step, so readers
      // never find the log missing.
      if (ok) fs::rename(tmp, log, ec);
      if (!ok || ec) {
        ok = false;
        fs::remove(tmp, ec);
      } else {
        reduced = true;
      }
    }
  }
  if (reduced) AddLog(Format("logwasreducedtolines", lsz));
  LoadLogIntoList();
  return ok;
}

void InstallProgramLogHook() {
  SetLogHook([](const std::string& text) { AddLog(text); });
}

}  // namespace yux
