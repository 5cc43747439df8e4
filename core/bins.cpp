#include "core/bins.h"

#include <QTimer>

#include <filesystem>

#include "core/folders.h"
#include "core/mainform.h"
#include "core/msgtable.h"
#include "core/options.h"
#include "core/savefile.h"
#include "core/shellutils.h"
#include "core/startup.h"
#include "core/winrarcmd.h"
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

// Steps 2 to 7 of a tick, once the bin's flags are set.
void Archive(TForm1& form, BinKind bin, std::vector<std::string>& list, bool& inUse) {
  const std::vector<std::string> paths = list;
  const std::string listFile = PathJoin(SettingsFolder, ListFileName(bin));
  std::string text;
  for (const std::string& p : paths) text += p + "\r\n";
  std::string error;
  if (!SaveFileWhole(listFile, text, &error)) {
    inUse = false;
    Archiving(bin) = false;
    Problem("\"" + listFile + "\": " + error);
    return;
  }
  list.clear();
  inUse = false;

  auto fail = [&](const std::string& why) {
    std::error_code ec;
    fs::remove(listFile, ec);
    PutBack(list, paths);
    Archiving(bin) = false;
    Problem(why);
  };
  std::error_code ec;
  const std::string folder = BinFolder();
  fs::create_directories(folder, ec);
  if (ec || !fs::is_directory(folder, ec)) return fail("\"" + folder + "\": " + ec.message());

  platform::StartOptions options;
  options.expandEnvironment = true;
  options.openDocuments = false;
  // The stand-in archiver takes the password on its standard input, where
  // other users cannot read it; other archivers need it in the switch.
  const bool onInput = IsStandInArchiver(WinRarPath) && !BinPassword(bin).empty();
  if (onInput) options.standardInput = BinPassword(bin) + "\n";
  auto process = platform::Process::Start(WinRarPath, BinArchiverParameters(bin, listFile, onInput), options);
  if (!process) return fail("\"" + WinRarPath + "\": " + platform::LastStartError());
  while (process->WaitPumping(500) == platform::WAIT_TIMEOUT) {
  }
  fs::remove(listFile, ec);
  const platform::DWORD code = process->ExitCode();
  if (process->Running()) process->Terminate();
  Archiving(bin) = false;
  if (code != 0) {
    Problem("");
  } else if (Options.obn) {
    form.raise();
    form.activateWindow();
    platform::MessageBox("\r" + MessageText("doneword"), kApplicationTitle,
                         platform::MB_OK | platform::MB_ICONINFORMATION);
  }
}

}  // namespace

std::string BinFolder() { return Options.obf.empty() ? PathJoin(SettingsFolder, "YUX-BIN") : Options.obf; }

std::string BinPassword(BinKind bin) { return bin == BinKind::Keeper ? Options.okp : Options.obp; }

std::string BinArchiverParameters(BinKind bin, const std::string& listFile, bool passwordOnInput) {
  const bool keeper = bin == BinKind::Keeper;
  const std::string password = BinPassword(bin);
  std::string p = keeper ? "a -ep3 -m" : "a -df -ep3 -m";
  p += std::to_string(Options.obc) + " -ibck -dh -r  -cfg-";
  if (!password.empty()) p += passwordOnInput ? std::string(" -hp") : " " + QuoteAlways("-hp" + password);
  if (Options.obv != 0) p += " -ver" + std::to_string(Options.obv);
  p += " " + QuoteAlways(PathJoin(BinFolder(), keeper ? "keeper.rar" : "recycle.rar"));
  p += " " + QuoteAlways("@" + listFile);
  return p;
}

bool BinArchiving(BinKind bin) { return Archiving(bin); }

void KeeperTick(TForm1& form) {
  if (form.KeeperInUse || Archiving(BinKind::Keeper)) return;
  form.yuxbintimerk->stop();
  form.KeeperInUse = true;
  Archiving(BinKind::Keeper) = true;
  Archive(form, BinKind::Keeper, form.KeeperList, form.KeeperInUse);
}

void RecycleTick(TForm1& form) {
  if (form.RecycleInUse || Archiving(BinKind::Recycle)) return;
  form.yuxbintimerr->stop();
  form.RecycleInUse = true;
  form.raise();
  form.activateWindow();
  const int answer = platform::MessageBox(
      "\r" + Format("recycleconfirm", std::to_string(form.RecycleList.size())), kApplicationTitle,
      platform::MB_YESNO | platform::MB_ICONQUESTION | platform::MB_DEFBUTTON1);
  if (answer != platform::IDYES) {
    form.RecycleList.clear();
    form.RecycleInUse = false;
    return;
  }
  Archiving(BinKind::Recycle) = true;
  Archive(form, BinKind::Recycle, form.RecycleList, form.RecycleInUse);
}

}  // namespace yux
