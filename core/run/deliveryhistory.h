#pragma once
// The delivery history of a preset (".hst", newest first), the per-run
// blocks of delivered names (".lgc", ".lgs", ".lgf"), and the cleaners
// that remove the files of runs beyond the preset's retention; used by
// every delivery.
//
// What a cleaner may delete at a destination.  The produced-files lists
// hold bare names; a name alone does not say where the file went, so a
// cleaner deletes an expired name only where the delivery history places
// it: the destination as it is today.  A name of the current run, or of a
// run the cleaner keeps, is never deleted (archive names without a time
// stamp, or stamped to the minute or the weekday, repeat from run to run).
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <QDateTime>

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
// ".lg<kind>" file beyond the retention, and cuts the expired blocks from
// the file.  By runs when `keepRuns` is not 0 (the block counted
// keepRuns-th or later from the top is expired), else by days (a block
// older than `keepDays` days before `now`).  A name that a kept block lists
// too is never selected: it names that run's archive as well.  A missing
// or empty file selects nothing and is left alone.  By days the newest
// block is never expired, and a block dated after `now` (a clock that ran
// ahead) is never expired and ends the walk: the blocks below it stay
// listed.  Blocks are newest first: a block is judged by the latest date
// among itself and the blocks below it (up to a block dated after `now`),
// so runs dated back by a wrong clock never go before the runs made
// earlier.  Throws EHistoryFileError, leaving the file alone, when it cannot
// be read or does not begin with a date line.
void SelectExpiredFiles(const std::string& presetName, int keepRuns, int keepDays, char kind,
                        std::vector<std::string>& expired,
                        const QDateTime& now = QDateTime::currentDateTime());

// Deletes the expired names from the destination folder, logging each one
// for the current preset.
void RunCopyCleaner(const std::string& destination, const std::vector<std::string>& expired);

struct CleanerRequest {
  std::string presetName;
  int mode = 0;   // 0 by runs, 1 by days
  int limit = 0;  // runs or days kept
  char listKind = 0;            // 'c' or 'f'
  std::string historyKind;      // "4-COPY" or "3-FTP"
  // The history location a name delivered to today's destination has.
  std::function<std::string(const std::string&)> locationOf;
  std::vector<std::string> currentRun;  // names this run produced
};

// Selects the expired names of the request's list (cutting their blocks
// from it) and returns those the cleaner may delete, in list order.  Every
// name held back is logged for the current preset: a name of this run,
// a text that is no bare file name, a name the history does not place at
// this destination.  A list or history that cannot be read, or a damaged
// list, is logged as an error and selects nothing; it never throws.
std::vector<std::string> SelectCleanerFiles(const CleanerRequest& request,
                                            const QDateTime& now = QDateTime::currentDateTime());

}  // namespace yux
