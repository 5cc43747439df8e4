#pragma once
// The keeper and recycle bins: paths handed over (by the file managers'
// verbs or dropped on the bin window) are collected for a second after the
// last one and then archived in one archiver call into "keeper.rar" (a
// copy) or "recycle.rar" (a move, after a question) in the bin folder.
// Results are reported in message boxes.
#include <string>
#include <vector>

class QTimer;

namespace yux {

enum class BinKind { Keeper, Recycle };

// What the bins need of the window that collects their paths (the main
// window implements it): each bin's list of paths with its "in use" flag,
// its one-second timer, the paths that wait while a list is in use, and a
// way to come to the front before a box about the bin.
class BinHost {
 public:
  virtual ~BinHost() = default;
  virtual std::vector<std::string>& BinList(BinKind bin) = 0;
  virtual bool& BinListInUse(BinKind bin) = 0;
  virtual QTimer* BinTimer(BinKind bin) = 0;
  virtual void TakePendingBinPaths() = 0;
  virtual void BringToFront() = 0;
};

// The bin folder: "obf", or the settings folder's "YUX-BIN" when the
// options name none.
std::string BinFolder();

// The bin's password ("okp" or "obp").
std::string BinPassword(BinKind bin);
// The archiver's parameters for a bin (the list file holds the paths).  A
// password travels quoted as one argument, never bare, or (for the
// stand-in archiver) as a bare "-hp" with the password on standard input.
// `literalList` (the stand-in archiver only) has the list's lines read as
// names, never as masks.  The folders' %NAME% references are expanded here,
// the password's never.
std::string BinArchiverParameters(BinKind bin, const std::string& listFile, bool passwordOnInput = false,
                                  bool literalList = false);

// The timer ticks.  Each archives the bin's list as the system does; a
// tick while the bin's list is in use or the archiver still runs does
// nothing.  Paths with "*" or "?" are refused (in a box) unless the
// archiver is the stand-in.  The recycle tick asks first and, when nobody
// can be asked (no display), drops the request with a log line instead.
void KeeperTick(BinHost& host);
void RecycleTick(BinHost& host);

// True while the bin's archiver runs.
bool BinArchiving(BinKind bin);

}  // namespace yux
