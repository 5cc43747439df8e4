#include "core/programlog.h"

#include <QDateTime>
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
  std::ofstream out(fs::path(LogFilePath()), std::ios::binary | std::ios::app);
  if (!out) return false;
  out << line << "\r\n";
  out.close();
  return !out.fail();
}

bool WriteLog(const std::string& prefix, const std::string& text) {
  const bool isError = text.find("[!]") != std::string::npos;
  if (isError) ErrorOccurred = true;
  if (g_sink) g_sink->AppendLine(Stamp() + prefix + text);
  if (isError && Options.soe && g_sound) g_sound(Options.swf);
  const bool written = AppendToFile(Stamp() + prefix + text);
  if (isError && Options.ser && g_mail && !g_mailing) {
    g_mailing = true;
    bool sent = false;
    try {
      sent = g_mail(Stamp() + prefix + text);
    } catch (...) {
      g_mailing = false;
      throw;
    }
    AddLog(MessageText(sent ? "emailreportok" : "emailreportbad") + Options.sto);
    g_mailing = false;
  }
  if (!written) std::cerr << "yux: cannot write the log file: " << prefix << text << std::endl;
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
