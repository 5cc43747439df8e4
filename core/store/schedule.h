#pragma once
// The schedule: entries naming a preset or a scheduler command with their
// due time and repetition, kept as the ordered rows that the schedule window
// shows, saved to "yux.sch"; the last-run file "yux.las"; and the request
// syntax that the command line and the web panel use to add entries.
// Meant for the GUI thread.
#include <QDateTime>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace yux {

// A date-time as days since 1899-12-30 with the time of day as the
// fraction, in local wall-clock time (no daylight-saving jumps: adding 1.0
// keeps the clock time).  Schedule arithmetic works on it.
using TDateTime = double;

TDateTime DateTimeFromQt(const QDateTime& dt);
// Rounded to the millisecond; a local-time QDateTime.
QDateTime QtFromDateTime(TDateTime value);
// The schedule's date text of a value ("yyyy.mm.dd hh:nn:ss", a trailing
// blank unless the time is midnight).
std::string DateTimeText(TDateTime value);
// Reads a date text (trailing blank or not); nothing when it is no date.
std::optional<TDateTime> DateTimeFromText(std::string_view text);

// The current local time, from the clock installed for tests when there is
// one.
TDateTime Now();
// The same clock's time as an instant: a change of the clock shows in it,
// a daylight-saving change of the local time does not.
QDateTime ClockNow();
// Replaces the clock (tests); an empty function restores the system clock.
void SetScheduleClock(std::function<QDateTime()> clock);
// Counts the replacements, so that a watch over the clock starts afresh
// with a new one.
unsigned ScheduleClockGeneration();

// Every day allowed, a disallowed day adds the interval.
inline constexpr std::string_view kDefaultDow = "11111110";

// One schedule entry.
struct tschopt {
  TDateTime Date = 0;       // next due time
  std::string Name;         // preset name, or a scheduler command beginning with "/"
  int Repeat = 0;           // 0 once, -1 until removed, n > 0 n more times
  int Interval = 1;         // minutes between repetitions (10080: day-of-week mode)
  int OnDelay = 0;          // late entry: 0 run at once, 1 skip this time, 2 delete
  bool Precise = true;      // late entry steps from its due time (else from now)
  std::string Dow;          // "1"/"0" for Monday..Sunday, then the day-skip flag

  bool operator==(const tschopt&) const = default;
};

// The same entry as the texts of a schedule row.
struct tschdata {
  std::string DateText;     // the caption; the rows sort by it
  std::string Name;
  std::string Options;      // "REPEAT=.. INTERVAL=.. PRECISE=.. ONDELAY=.. DOW=........"

  bool operator==(const tschdata&) const = default;
};

// Entry -> row texts; a Dow shorter than 8 characters becomes kDefaultDow.
tschdata ScheduleOptionsToText(const tschopt& entry);
// Row texts -> entry.  Nothing when the date text is no date, or when one
// of REPEAT, INTERVAL, PRECISE (also spelt PRESICE) and ONDELAY is missing
// or not a number.  A missing or short DOW gives kDefaultDow.
std::optional<tschopt> ParseScheduleEntry(const tschdata& row);

// A request: a preset name or command followed by options in square
// brackets, "DATE=yyyy.mm.dd hh:nn:ss", "REPEAT=n", "INTERVAL=n",
// "ONDELAY=n", "PRECISE=0|1" (also "PRESICE=").  Bad values take their
// defaults with an error line in the log; unknown items are logged and
// skipped.  The text left after taking the bracketed items out is the name,
// untrimmed.  The Dow stays empty (filled when the entry is added).
tschopt ParseCommandParams(const std::string& request);

// The rows of the schedule, ordered by their date text (ascending, byte
// order, so the first row is the earliest entry; equal texts keep the order
// in which they came).  The schedule window displays them.
class TScheduleList {
 public:
  std::size_t Count() const { return rows_.size(); }
  bool Empty() const { return rows_.empty(); }
  const tschdata& Row(std::size_t index) const { return rows_.at(index); }
  const std::vector<tschdata>& Rows() const { return rows_; }

  // Inserts in order; returns the new row's index.
  std::size_t Add(const tschdata& row);
  // Changes a row; it moves to its place in the order.  Returns its new index.
  std::size_t Replace(std::size_t index, const tschdata& row);
  void Delete(std::size_t index);
  void Clear();

  // Fires after every change (for the window showing the rows).
  std::function<void()> OnChange;

 private:
  void Changed() {
    if (OnChange) OnChange();
  }
  std::vector<tschdata> rows_;
};

// The schedule of this process.
extern TScheduleList Schedule;
// The first row's due time, and whether there is a first row; both follow
// the rows after every RefreshSchedule.
extern TDateTime NextDueTime;
extern bool ScheduleNotEmpty;

// The main window's preset list as the schedule sees it: rows with a
// caption (the preset name), a scheduled-execution text and a
// previous-execution text.
class PresetListRows {
 public:
  virtual ~PresetListRows() = default;
  virtual std::size_t Count() const = 0;
  virtual std::string Caption(std::size_t row) const = 0;
  virtual std::string ScheduledText(std::size_t row) const = 0;
  virtual void SetScheduledText(std::size_t row, const std::string& text) = 0;
  virtual std::string PreviousText(std::size_t row) const = 0;
  virtual void SetPreviousText(std::size_t row, const std::string& text) = 0;
};

// A plain preset list (tests, and a model a view may show).
class TPresetRowList : public PresetListRows {
 public:
  struct Row {
    std::string Caption, Scheduled, Previous;
  };
  std::vector<Row> rows;

  std::size_t Count() const override { return rows.size(); }
  std::string Caption(std::size_t r) const override { return rows.at(r).Caption; }
  std::string ScheduledText(std::size_t r) const override { return rows.at(r).Scheduled; }
  void SetScheduledText(std::size_t r, const std::string& t) override { rows.at(r).Scheduled = t; }
  std::string PreviousText(std::size_t r) const override { return rows.at(r).Previous; }
  void SetPreviousText(std::size_t r, const std::string& t) override { rows.at(r).Previous = t; }
};

// Installs the main window's preset list (nullptr: none; the list must
// outlive its installation).
void SetPresetListRows(PresetListRows* rows);
PresetListRows* GetPresetListRows();
// The first preset row whose caption equals `name` without regard to case,
// or nothing.
std::optional<std::size_t> FindPresetRow(const std::string& name);

// Called whenever the schedule gets a first row, to enable the scheduler
// timer.
void SetSchedulerTimerStarter(std::function<void()> starter);

// Called at the end of every RefreshSchedule, once the rows have settled,
// for those that follow rows they added (nullptr: none).
void SetScheduleRefreshedHook(std::function<void()> hook);

std::string ScheduleFilePath();   // "<settings folder>/yux.sch"
std::string LastRunsFilePath();   // "<settings folder>/yux.las"

// Replaces the rows with the lines of "yux.sch".  A line that cannot be
// read as an entry, or a repeating entry that could never be stepped (an
// interval below one minute, or no allowed day), is skipped with one error
// line in the log.
void LoadSchedule();
// Rewrites "yux.sch" from the rows (CRLF lines, through a new file and a
// rename), or deletes it when there are none.  False (and a report) on
// failure.
bool SaveSchedule();
// Writes "yux.las" from the preset rows (deleted when there are none).
bool SaveLastRuns();
// Fills the previous-execution texts of the preset rows from "yux.las".
void LoadLastRuns();

// Checks an entry and adds it as a row: a command must be one the scheduler
// knows, any other name must be a preset row's caption (any case).  Logs
// the addition or the refusal; true when added.
bool AddToSchedule(const tschopt& entry);
// After every change of the rows: the preset rows' scheduled-execution
// texts, NextDueTime, ScheduleNotEmpty, the timer, and "yux.sch".
void RefreshSchedule();
// Removes every row whose name equals `name` exactly and, when the schedule
// had rows, refreshes it.  Returns the number removed.
std::size_t DeleteScheduleRowsFor(const std::string& name);

}  // namespace yux
