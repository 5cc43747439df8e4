#pragma once
// The archiver's side of a preset run: the switches made from a preset
// record, the parameter text of an "a" command, the judgement of the exit
// code and the size text of what was produced.
#include <cstdint>
#include <string>

#include "core/store/presets.h"

namespace yux {

// Exit codes the run tells apart.
inline constexpr int kWinRarSuccess = 0;
inline constexpr int kWinRarWarning = 1;
inline constexpr int kWinRarCanceled = 255;

// Wraps a text in double quotes so that the Windows command-line rules give
// it back unchanged: a quote inside becomes \" and backslashes before a
// quote or before the closing quote are doubled.  A text without quotes and
// without trailing backslashes comes out as plain "text".
std::string QuoteAlways(const std::string& text);
// True for the stand-in archiver ("winrar" beside the program or
// elsewhere), which takes a bare "-hp" password on its standard input.
bool IsStandInArchiver(const std::string& path);

// What the switches depend on beyond the record; taken from the files of
// the settings and presets folders by DefaultSwitchContext.
struct SwitchContext {
  std::string presetsFolder;
  std::string settingsFolder;
  bool commentFileExists = false;  // <preset>.cmt
  bool filterFileExists = false;   // <preset>.flt
  bool debugFlagExists = false;    // debug.flg in the settings folder
};
SwitchContext DefaultSwitchContext(const std::string& presetName);

// The switches of a preset in their fixed order, each item beginning with
// a blank.  The password travels quoted by the Windows rules, so a quote or
// a trailing backslash in it cannot split the command line.
std::string BuildWinRarSwitches(const tarcopt& preset, const std::string& presetName,
                                const SwitchContext& context);

// The parameter text of the run: " a " + switches + the exclude list, the
// archive path (target folder + archive name, no extension) and the include
// list.
std::string BuildWinRarCommandLine(const std::string& switches, const std::string& presetName,
                                   const std::string& presetsFolder,
                                   const std::string& targetFolder,
                                   const std::string& archiveName);

// How a run goes on after the archiver's exit code.
enum class WinRarVerdict {
  GoOn,         // 0
  GoOnWarning,  // 1 with the warnings option on: a plain line
  GoOnCanceled, // 255: an error line, the run still delivers
  Fail,         // every other code: an error line, the run ends
};
struct WinRarJudgement {
  WinRarVerdict verdict = WinRarVerdict::GoOn;
  std::string logText;  // the preset log line to write; empty for 0
};
WinRarJudgement JudgeWinRarExitCode(int code, bool ignoreWarnings);

// "1023b", "1K", "1,464K", "2.4M": bytes below 1024, kilobytes with
// thousands separators below a megabyte, megabytes with one decimal above,
// in the user's locale.
std::string ProducedSizeText(std::uint64_t bytes);
// "WinRAR - Done (n file(s), size)."
std::string ProducedFilesLogText(std::size_t count, std::uint64_t bytes);

}  // namespace yux
