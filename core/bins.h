#pragma once
// The keeper and recycle bins: paths handed over (by the file managers'
// verbs or dropped on the bin window) are collected for a second after the
// last one and then archived in one archiver call into "keeper.rar" (a
// copy) or "recycle.rar" (a move, after a question) in the bin folder.
// Results are reported in message boxes.
#include <string>
#include <vector>

namespace yux {

class TForm1;

enum class BinKind { Keeper, Recycle };

// The bin folder: "obf", or the settings folder's "YUX-BIN" when the
// options name none.
std::string BinFolder();

// The bin's password ("okp" or "obp").
std::string BinPassword(BinKind bin);
// The archiver's parameters for a bin (the list file holds the paths).  A
// password travels quoted as one argument, never bare, or (for the
// stand-in archiver) as a bare "-hp" with the password on standard input.
std::string BinArchiverParameters(BinKind bin, const std::string& listFile, bool passwordOnInput = false);

// The timer ticks.  Each archives the bin's list as the system does; a
// tick while the bin's list is in use or the archiver still runs does
// nothing.
void KeeperTick(TForm1& form);
void RecycleTick(TForm1& form);

// True while the bin's archiver runs.
bool BinArchiving(BinKind bin);

}  // namespace yux
