// The archiver's command line made from a preset.
#include "core/run/winrarcmd.h"

#include <filesystem>

#include <QLocale>

#include "core/store/folders.h"
#include "core/store/msgtable.h"

namespace yux {

namespace {

bool IsFile(const std::string& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

// The volume box's "None" and "Auto" entries as the preset file holds them:
// the current language's words, and the English ones that the defaults and
// files written before a language change carry.
bool IsVolumeWord(const std::string& vol, const char* key, const char* english) {
  return vol == MessageText(key) || vol == english;
}

}  // namespace

std::string QuoteAlways(const std::string& text) {
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : text) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      // 2n+1 backslashes before a quote give n backslashes and the quote.
      out.append(backslashes * 2 + 1, '\\');
      out += '"';
    } else {
      out.append(backslashes, '\\');
      out += c;
    }
    backslashes = 0;
  }
  // Backslashes before the closing quote are doubled so they stay literal.
  out.append(backslashes * 2, '\\');
  out += '"';
  return out;
}

SwitchContext DefaultSwitchContext(const std::string& presetName) {
  SwitchContext c;
  c.presetsFolder = PresetsFolder;
  c.settingsFolder = SettingsFolder;
  c.commentFileExists = IsFile(PathJoin(PresetsFolder, presetName + ".cmt"));
  c.filterFileExists = IsFile(PathJoin(PresetsFolder, presetName + ".flt"));
  c.debugFlagExists = IsFile(PathJoin(SettingsFolder, "debug.flg"));
  return c;
}

std::string BuildWinRarSwitches(const tarcopt& p, const std::string& presetName,
                                const SwitchContext& ctx) {
  std::string s;
  if (p.irp) s += " -CFG-";
  if (!p.dtf.empty()) s += " -ag" + p.dtf;
  if (!p.vol.empty() && !IsVolumeWord(p.vol, "nonewordtranslated", "None")) {
    if (IsVolumeWord(p.vol, "autowordtranslated", "Auto")) s += " -v";
    else s += " -v" + p.vol;
  }
  if (p.dra) {
    static const char* const kUpdate[] = {"", " -u", " -f -as", " -u -as", " -f"};
    if (p.drm >= 0 && p.drm <= 4) s += kUpdate[p.drm];
  }
  if (p.fmt == 1) s += " -afzip";
  else if (p.fmt == 2) s += " -sfx";
  s += " -m" + std::to_string(p.cmp);
  if (p.dic >= 1 && p.dic <= 7) s += " -MD" + std::to_string(64 << (p.dic - 1));
  static const char* const kPaths[] = {" -ep", " -ep1", " -ep2", " -ep3"};
  if (p.fld >= 0 && p.fld <= 3) s += kPaths[p.fld];
  if (p.pas && !p.pwd.empty()) s += " " + QuoteAlways("-hp" + p.pwd);
  if (p.lck) s += " -k";
  if (p.sld) s += " -s";
  if (p.bkg) s += " -ibck";
  if (p.tst) s += " -t";
  if (p.del) s += " -df";
  if (p.wip) s += " -dw";
  if (p.osf) s += " -dh";
  if (p.rsf) s += " -r";
  if (p.efl && p.dra) s += " -vd";
  if (p.arr) s += " -rr" + std::to_string(p.rrp) + "%";
  if (p.aut) s += " -AV";
  if (ctx.commentFileExists)
    s += " " + QuoteAlways("-z" + PathJoin(ctx.presetsFolder, presetName + ".cmt"));
  if (p.wpc) s += " -ri" + std::to_string(p.wpp) + ":" + std::to_string(p.wps);
  if (!ctx.debugFlagExists) s += " -INUL";
  s += " " + QuoteAlways("-ILOG" + PathJoin(ctx.settingsFolder, "winrar.log"));
  if (!p.swt.empty()) s += " " + p.swt;
  if (!p.efa.empty()) s += " " + p.efa;
  if (ctx.filterFileExists)
    s += " " + QuoteAlways("-n@" + PathJoin(ctx.presetsFolder, presetName + ".flt"));
  return s;
}

std::string BuildWinRarCommandLine(const std::string& switches, const std::string& presetName,
                                   const std::string& presetsFolder,
                                   const std::string& targetFolder,
                                   const std::string& archiveName) {
  return " a " + switches + " " + QuoteAlways("-x@" + PathJoin(presetsFolder, presetName + ".exc")) +
         " " + QuoteAlways(PathJoin(targetFolder, archiveName)) + " " +
         QuoteAlways("@" + PathJoin(presetsFolder, presetName + ".inc"));
}

WinRarJudgement JudgeWinRarExitCode(int code, bool ignoreWarnings) {
  if (code == kWinRarSuccess) return {WinRarVerdict::GoOn, {}};
  if (code == kWinRarCanceled)
    return {WinRarVerdict::GoOnCanceled, MessageText("winrarcanceledbyuser") + " [!]"};
  if (code == kWinRarWarning && ignoreWarnings)
    return {WinRarVerdict::GoOnWarning, MessageText("winrarwarning")};
  return {WinRarVerdict::Fail, Format("winrarerror", code) + " [!]"};
}

std::string ProducedSizeText(std::uint64_t bytes) {
  if (bytes < 1024) return std::to_string(bytes) + "b";
  QLocale locale;  // the default locale: the user's unless a test sets one
  locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
  if (bytes < 1048576)
    return locale.toString(static_cast<double>(bytes) / 1024.0, 'f', 0).toStdString() + "K";
  return locale.toString(static_cast<double>(bytes) / 1048576.0, 'f', 1).toStdString() + "M";
}

std::string ProducedFilesLogText(std::size_t count, std::uint64_t bytes) {
  return Format(count < 2 ? "winrardonefile" : "winrardonefiles", count, ProducedSizeText(bytes));
}

bool IsStandInArchiver(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return (slash == std::string::npos ? path : path.substr(slash + 1)) == "winrar";
}

}  // namespace yux
