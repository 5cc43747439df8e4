// The keeper and recycle bins: collecting paths and archiving them.
#include "core/services/bins.h"

#include <QTimer>

#include <filesystem>

#include "core/run/winrarcmd.h"
#include "core/services/shellutils.h"
#include "core/services/startup.h"
#include "core/store/folders.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/programlog.h"
#include "core/store/savefile.h"
#include "platform/messagebox.h"
#include "platform/process.h"

namespace yux {

namespace fs = std::filesystem;

namespace {

bool g_archiving[2] = {false, false};

bool& Archiving(BinKind bin) { return g_archiving[bin == BinKind::Recycle ? 1 : 0]; }

std::string ListFileName(BinKind bin) { return bin == BinKind::Keeper ? "yuxbin-k.txt" : "yuxbin-r.txt"; }

void Problem(const std::string& why) {
  std::string text = "\r" + MessageText("yuxbinproblem");
  if (!why.empty()) text += "\r\n\r\n" + why;
  platform::MessageBox(text, kApplicationTitle, platform::MB_OK | platform::MB_ICONERROR);
}

// The paths go back to the head of the list: the next arrival archives
// them with its own.
void PutBack(std::vector<std::string>& list, const std::vector<std::string>& paths) {
  list.insert(list.begin(), paths.begin(), paths.end());
}

// The list is free again: what arrived meanwhile joins it and gets a tick
// (and, for the recycle bin, a question) of its own.
void LetGoOfList(BinHost& host, BinKind bin) {
  host.TakePendingBinPaths();
  QTimer* timer = host.BinTimer(bin);
  if (!host.BinList(bin).empty() && timer) {
    timer->stop();
    timer->start();
  }
}

std::string PathLines(const std::vector<std::string>& paths) {
  std::string text;
  for (const std::string& p : paths) text += "\r\n" + p;
  return text;
}

// Another archiver reads "*" and "?" in a listed name as a mask and would
// take (and for the recycle bin delete) every file that matches: such paths
// are taken out of the list and named in a box.  The stand-in archiver is
// told to read the list literally instead.
void RefuseMasks(std::vector<std::string>& list) {
  if (IsStandInArchiver(WinRarPath)) return;
  std::vector<std::string> refused;
  std::erase_if(list, [&](const std::string& p) {
    if (p.find_first_of("*?") == std::string::npos) return false;
    refused.push_back(p);
    return true;
  });
  if (refused.empty()) return;
  platform::MessageBox("\rThe archiver would read \"*\" and \"?\" as wildcards and take other files too; "
                       "these paths were not put into YUX-BIN:" + PathLines(refused),
                       kApplicationTitle, platform::MB_OK | platform::MB_ICONERROR);
}

// True when the recycle question would be answered by nobody (no display):
// the box would then take its default answer, Yes.
bool CannotAsk() {
  return dynamic_cast<platform::HeadlessMessageBoxService*>(&platform::CurrentMessageBoxService()) != nullptr;
}

// Steps 2 to 7 of a tick, once the bin's flags are set.
void Archive(BinHost& host, BinKind bin) {
  std::vector<std::string>& list = host.BinList(bin);
  bool& inUse = host.BinListInUse(bin);
  const std::vector<std::string> paths = list;
  const std::string listFile = PathJoin(SettingsFolder, ListFileName(bin));
  std::string text;
  for (const std::string& p : paths) text += p + "\r\n";
  std::string error;
  if (!SaveFileWhole(listFile, text, &error)) {
    inUse = false;
    // No new tick: it would fail the same way; the next arrival tries again.
    host.TakePendingBinPaths();
    Archiving(bin) = false;
    Problem("\"" + listFile + "\": " + error);
    return;
  }
  list.clear();
  inUse = false;
  LetGoOfList(host, bin);

  auto fail = [&](const std::string& why) {
    std::error_code ec;
    fs::remove(listFile, ec);
    PutBack(list, paths);
    Archiving(bin) = false;
    Problem(why);
  };
  std::error_code ec;
  const std::string folder = ExpandEnvVars(BinFolder());
  fs::create_directories(folder, ec);
  if (ec || !fs::is_directory(folder, ec)) return fail("\"" + folder + "\": " + ec.message());

  // The folders were expanded when the parameters were made; the password
  // is the user's text as typed, "%" and all.
  platform::StartOptions options;
  options.openDocuments = false;
  // The stand-in archiver takes the password on its standard input, where
  // other users cannot read it; other archivers need it in the switch.
  const bool onInput = IsStandInArchiver(WinRarPath) && !BinPassword(bin).empty();
  if (onInput) options.standardInput = BinPassword(bin) + "\n";
  auto process = platform::Process::Start(
      WinRarPath, BinArchiverParameters(bin, listFile, onInput, IsStandInArchiver(WinRarPath)), options);
  if (!process) return fail("\"" + WinRarPath + "\": " + platform::LastStartError());
  while (process->WaitPumping(500) == platform::WAIT_TIMEOUT) {
  }
  fs::remove(listFile, ec);
  const platform::DWORD code = process->ExitCode();
  if (process->Running()) process->Terminate();
  Archiving(bin) = false;
  if (code != 0) {
    // Which request failed and how: the archiver's own messages are off.
    Problem("The archiver ended with code " + std::to_string(code) + "; the request was about:" + PathLines(paths));
  } else if (Options.obn) {
    host.BringToFront();
    platform::MessageBox("\r" + MessageText("doneword"), kApplicationTitle,
                         platform::MB_OK | platform::MB_ICONINFORMATION);
  }
}

// Step 1 of a tick: the bin's timer stops, waiting paths join its list,
// masks are refused; false when nothing is left to archive now.
bool StartTick(BinHost& host, BinKind bin) {
  if (host.BinListInUse(bin) || Archiving(bin)) return false;
  if (QTimer* timer = host.BinTimer(bin)) timer->stop();
  host.TakePendingBinPaths();
  RefuseMasks(host.BinList(bin));
  return !host.BinList(bin).empty();
}

}  // namespace

std::string BinFolder() { return Options.obf.empty() ? PathJoin(SettingsFolder, "YUX-BIN") : Options.obf; }

std::string BinPassword(BinKind bin) { return bin == BinKind::Keeper ? Options.okp : Options.obp; }

std::string BinArchiverParameters(BinKind bin, const std::string& listFile, bool passwordOnInput, bool literalList) {
  const bool keeper = bin == BinKind::Keeper;
  const std::string password = BinPassword(bin);
  std::string p = keeper ? "a -ep3 -m" : "a -df -ep3 -m";
  p += std::to_string(Options.obc) + " -ibck -dh -r  -cfg-";
  if (literalList) p += " -listliteral";
  if (!password.empty()) p += passwordOnInput ? std::string(" -hp") : " " + QuoteAlways("-hp" + password);
  if (Options.obv != 0) p += " -ver" + std::to_string(Options.obv);
  p += " " + QuoteAlways(ExpandEnvVars(PathJoin(BinFolder(), keeper ? "keeper.rar" : "recycle.rar")));
  p += " " + QuoteAlways("@" + ExpandEnvVars(listFile));
  return p;
}

bool BinArchiving(BinKind bin) { return Archiving(bin); }

void KeeperTick(BinHost& host) {
  if (!StartTick(host, BinKind::Keeper)) return;
  host.BinListInUse(BinKind::Keeper) = true;
  Archiving(BinKind::Keeper) = true;
  Archive(host, BinKind::Keeper);
}

void RecycleTick(BinHost& host) {
  if (!StartTick(host, BinKind::Recycle)) return;
  std::vector<std::string>& list = host.BinList(BinKind::Recycle);
  bool& inUse = host.BinListInUse(BinKind::Recycle);
  if (CannotAsk()) {
    // Files are moved and deleted only on the user's own Yes.
    std::string names;
    for (const std::string& p : list) names += " \"" + p + "\"";
    AddLog("YUX-RECYCLE: nobody can be asked (no display), so nothing was moved; the paths stay where they are:" +
           names + " [!]");
    list.clear();
    return;
  }
  // While the box is open (it runs an event loop of its own) new arrivals
  // wait beside the list: the answer is about these paths only.
  inUse = true;
  host.BringToFront();
  const int answer = platform::MessageBox(
      "\r" + Format("recycleconfirm", std::to_string(list.size())), kApplicationTitle,
      platform::MB_YESNO | platform::MB_ICONQUESTION | platform::MB_DEFBUTTON1);
  if (answer != platform::IDYES) {
    list.clear();
    inUse = false;
    LetGoOfList(host, BinKind::Recycle);
    return;
  }
  Archiving(BinKind::Recycle) = true;
  Archive(host, BinKind::Recycle);
}

}  // namespace yux
