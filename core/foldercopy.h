#pragma once
// The last delivery of a run: moving the produced files into the preset's
// destination folder, the delivery history (".hst", newest first), the
// per-run blocks of delivered names (".lgc", ".lgs", ".lgf") and the
// cleaners that remove the files of runs beyond the preset's retention.
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <QDateTime>

#include "core/presets.h"
#include "core/rundelivery.h"

namespace yux {

// Delivery kinds of history lines.
inline constexpr char kHistoryCd[] = "1-CD";
inline constexpr char kHistorySmtp[] = "2-SMTP";
inline constexpr char kHistoryFtp[] = "3-FTP";
inline constexpr char kHistoryCopy[] = "4-COPY";

// Kind letters of the produced-files lists: ".lgc", ".lgs", ".lgf".
inline constexpr char kListCopy = 'c';
inline constexpr char kListSmtp = 's';
inline constexpr char kListFtp = 'f';

// A history or list file that could not be saved.
class EHistoryFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Inserts "<date text>\t<kind>\t<location>" at the top of the preset's
// ".hst" file (a missing file counts as empty).  The date text is the
// general conversion's, with its trailing blank when the time is not
// midnight.  Throws EHistoryFileError when the file cannot be saved.
void AddHistoryLine(const std::string& presetName, const std::string& kind,
                    const std::string& location,
                    const QDateTime& when = QDateTime::currentDateTime());

// Inserts a block at the top of the preset's ".lg<kind>" file: the date
// text, one line per name and an empty line.  Throws EHistoryFileError when
// the file cannot be saved.
void AppendProducedFiles(const std::string& presetName, const std::vector<std::string>& names,
                         char kind, const QDateTime& when = QDateTime::currentDateTime());

// Adds to `expired` (without duplicates) the names of every block of the
// ".lg<kind>" file beyond the retention, and cuts the file from the first
// expired block to its end.  By runs when `keepRuns` is not 0 (the block
// counted keepRuns-th or later from the top is expired), else by days (a
// block older than `keepDays` days before `now`).  A missing or empty file
// selects nothing and is left alone.  By days the newest block is never
// expired, and a block dated after `now` (a clock that ran ahead) is never
// expired and ends the walk: the blocks below it stay listed.  Throws
// EHistoryFileError, leaving the file alone, when it cannot be read or does
// not begin with a date line.
void SelectExpiredFiles(const std::string& presetName, int keepRuns, int keepDays, char kind,
                        std::vector<std::string>& expired,
                        const QDateTime& now = QDateTime::currentDateTime());

// Deletes the expired names from the destination folder, logging each one
// for the current preset.
void RunCopyCleaner(const std::string& destination, const std::vector<std::string>& expired);

// Moves a file; across file systems the file is copied under a temporary
// name, flushed, renamed to the target and only then the source deleted.
// An existing target is replaced only when `replace` is set, and then in
// one step once the new file is whole: a move that fails (or is cut off)
// leaves the old file as it was and nothing half-written under the
// target's name.  False with a reason.  `keepGoing` is asked between the
// chunks of such a copy; false cuts it off.
bool MoveFileTo(const std::string& from, const std::string& to, std::string* error = nullptr,
                bool replace = false, const std::function<bool()>& keepGoing = {});

// The folder a destination text stands for: a drive-letter text ("K:\x")
// through the drive-letter map, anything else as it is.  Empty when the
// letter is not mapped to a folder.
std::string LocalFolderPath(const std::string& destination);

// True when a destination text names drive A: or B: (a diskette).
bool IsDisketteDestination(const std::string& destination);

// How the folder copy ended.
enum class FolderCopyResult {
  Done,         // every file handled (failures logged); the run goes on
  NoFiles,      // nothing produced: logged, the run goes on
  EndRun,       // the destination could not be created: the run ends
  Aborted,      // the abort flag was found set between files
};

// `deliveries` is told of every file that reached the destination, and
// where it went.
struct FolderCopyJob : StageJob {
  std::string destinationText;  // expanded destination as the preset holds it
  std::string destination;      // the local folder it stands for
  // Handles messages between files, so that an abort can arrive.
  std::function<void()> pump;
};

// Moves the produced files into the destination: the copy cleaner first
// (when on), then per file the diskette prompt, the destination folder, the
// emptying by mask, the existing-file rule, the move, its log line and
// history line; last the block of copied names.  Errors are preset log
// lines; an unexpected failure logs "Error during the operation. [!]".
FolderCopyResult CopyProducedFiles(const FolderCopyJob& job);

}  // namespace yux
