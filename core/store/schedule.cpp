// The schedule file "yux.sch", the last-run file and the request syntax.
#include "core/store/schedule.h"

#include <QLockFile>
#include <QString>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "core/store/datetime.h"
#include "core/store/folders.h"
#include "core/store/inifile.h"
#include "core/store/loghook.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/programlog.h"
#include "core/store/savefile.h"
#include "core/store/textutil.h"

namespace yux {

TScheduleList Schedule;
TDateTime NextDueTime = 0;
bool ScheduleNotEmpty = false;

namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kMsecsPerDay = 86400000;

std::function<QDateTime()> g_clock;
unsigned g_clockGeneration = 0;
PresetListRows* g_presetRows = nullptr;
std::function<void()> g_timerStarter;
std::function<void()> g_refreshed;

QDate BaseDate() { return QDate(1899, 12, 30); }

// The wall-clock fields of a value, as UTC fields, which have no daylight-saving
// gaps, so that every value has its text.
QDateTime NaiveFromDateTime(TDateTime value) {
  const auto total = static_cast<std::int64_t>(std::llround(value * static_cast<double>(kMsecsPerDay)));
  const std::int64_t days = total / kMsecsPerDay;  // toward zero, as the time part is unsigned
  const std::int64_t msecs = std::llabs(total) % kMsecsPerDay;
  return QDateTime(BaseDate().addDays(days), QTime::fromMSecsSinceStartOfDay(static_cast<int>(msecs)),
                   Qt::UTC);
}

std::string Upper(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).toUpper().toStdString();
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// The text between the first `open` and the first `close` after it.
std::optional<std::string> Between(const std::string& line, std::string_view open, std::string_view close) {
  const size_t a = line.find(open);
  if (a == std::string::npos) return std::nullopt;
  const size_t start = a + open.size();
  const size_t b = line.find(close, start);
  if (b == std::string::npos) return std::nullopt;
  return line.substr(start, b - start);
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// The fields of a line in the layout the writers use: `open`, the first
// field, `middle`, the second field, `close`.  A name may hold any of the
// tags, so it is found from the side where the other field is our own text,
// which never holds `middle`: a "yux.sch" row ends with the options, so its
// name runs to the last `middle`; a "yux.las" line starts with the date of
// the last run, so its name starts after the first one.
struct TwoFields {
  std::string first, second;
};
std::optional<TwoFields> SplitWrittenLine(const std::string& line, std::string_view open, std::string_view middle,
                                          std::string_view close, bool lastMiddle) {
  if (line.size() < open.size() + middle.size() + close.size() || !StartsWith(line, open) ||
      !EndsWith(line, close))
    return std::nullopt;
  const size_t begin = open.size();
  const size_t end = line.size() - close.size();
  const size_t at = lastMiddle ? line.rfind(middle, end - middle.size()) : line.find(middle, begin);
  if (at == std::string::npos || at < begin || at + middle.size() > end) return std::nullopt;
  return TwoFields{line.substr(begin, at - begin), line.substr(at + middle.size(), end - at - middle.size())};
}

// A "yux.sch" line: date, name and options.  Lines the writer wrote are
// split by their layout; any other line (hand-edited, fields in another
// order) by its tags as far as they are unambiguous.
std::optional<tschdata> SplitScheduleLine(const std::string& line) {
  if (StartsWith(line, "<D>")) {
    const size_t dateEnd = line.find("</D>");
    if (dateEnd != std::string::npos) {
      if (auto fields = SplitWrittenLine(line.substr(dateEnd + 4), "<P>", "</P><O>", "</O>", true))
        return tschdata{line.substr(3, dateEnd - 3), fields->first, fields->second};
    }
  }
  const auto name = Between(line, "<P>", "</P>");
  const auto options = Between(line, "<O>", "</O>");
  const auto date = Between(line, "<D>", "</D>");
  if (!name || !options || !date) return std::nullopt;
  // Written back, such options would end the name early.
  if (options->find("</P><O>") != std::string::npos) return std::nullopt;
  return tschdata{*date, *name, *options};
}

bool ReadTextLines(const std::string& path, std::vector<std::string>& lines) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(DecodeAnsiText(line));
  }
  return !in.bad();
}

// Writes the lines, or deletes the file when there are none.
bool WriteOrDelete(const std::string& path, const std::vector<std::string>& lines) {
  if (lines.empty()) {
    std::error_code ec;
    fs::remove(fs::path(path), ec);
    if (ec) ReportLine("Cannot delete " + path + ": " + ec.message() + " [!]");
    return !ec;
  }
  std::string out;
  for (const auto& l : lines) {
    out += l;
    out += "\r\n";
  }
  std::string error;
  const bool ok = SaveFileWhole(path, out, &error);
  if (!ok) ReportLine(error + " [!]");
  return ok;
}

// True when the file is certainly missing.  A path that cannot be examined
// (no search right on the folder, a link loop) is no reason to throw out of
// the scheduler's timer: the save goes on and reports what fails.
bool NothingThere(const std::string& path) {
  std::error_code ec;
  return !fs::exists(fs::path(path), ec) && !ec;
}

// A repeating entry the scheduler could never step to a next time.
bool CannotRepeat(const tschopt& e) {
  if (e.Repeat == 0) return false;
  if (e.Interval < 1) return true;
  return e.Dow.substr(0, 7).find('1') == std::string::npos;
}

void LogDamagedRow(const std::string& text) {
  AddLog("SCHEDULER - Damaged entry in yux.sch skipped: " + text + " [!]");
}

bool IsKnownCommand(const std::string& name) {
  static const char* const kExact[] = {"/EXIT",     "/SAFEEXIT", "/ABORT",     "/SHOW",
                                       "/SHOWICON", "/REBOOT",   "/SHUTDOWN",  "/LOGOFF",
                                       "/HIBERNATE", "/SUSPEND", "/TRUNCLOG",  "/EWX_LOGOFF"};
  const std::string upper = Upper(name);
  for (const char* c : kExact)
    if (upper == c) return true;
  if (StartsWith(upper, "/SENDLOG")) return true;
  if (StartsWith(upper, "/UNSCHEDULE")) {
    const size_t open = name.find('('), close = name.find(')');
    if (open != std::string::npos && close != std::string::npos && open < close) {
      int n = 0;
      if (!ParseInt(std::string_view(name).substr(open + 1, close - open - 1), n)) {
        AddLog("Command \"" + name + "\" - invalid parameter, canceled. [!]");
        return false;
      }
      AddLog(std::to_string(n));
    }
    return true;
  }
  if (StartsWith(upper, "/EXECASYNC") || StartsWith(upper, "/EXECSYNC")) {
    const size_t open = name.find('('), close = name.find(')');
    if (open != std::string::npos && close != std::string::npos && open < close) return true;
  }
  AddLog(MessageText("schedulerunknowncomm") + name + ". [!]");
  return false;
}

}  // namespace

// ---- date-times ---------------------------------------------------------

TDateTime DateTimeFromQt(const QDateTime& dt) {
  const double days = static_cast<double>(BaseDate().daysTo(dt.date()));
  const double fraction = static_cast<double>(dt.time().msecsSinceStartOfDay()) / kMsecsPerDay;
  return days >= 0 ? days + fraction : days - fraction;
}

QDateTime QtFromDateTime(TDateTime value) {
  const QDateTime naive = NaiveFromDateTime(value);
  return QDateTime(naive.date(), naive.time());
}

std::string DateTimeText(TDateTime value) { return DateTimeToText(NaiveFromDateTime(value)); }

std::optional<TDateTime> DateTimeFromText(std::string_view text) {
  auto dt = TextToDateTime(text);
  if (!dt) return std::nullopt;
  return DateTimeFromQt(*dt);
}

QDateTime ClockNow() { return g_clock ? g_clock() : QDateTime::currentDateTime(); }

TDateTime Now() { return DateTimeFromQt(ClockNow()); }

void SetScheduleClock(std::function<QDateTime()> clock) {
  g_clock = std::move(clock);
  ++g_clockGeneration;
}

unsigned ScheduleClockGeneration() { return g_clockGeneration; }

// ---- entries and rows ---------------------------------------------------

tschdata ScheduleOptionsToText(const tschopt& entry) {
  const std::string dow = entry.Dow.size() < 8 ? std::string(kDefaultDow) : entry.Dow;
  tschdata row;
  row.DateText = DateTimeText(entry.Date);
  row.Name = entry.Name;
  row.Options = "REPEAT=" + std::to_string(entry.Repeat) + " INTERVAL=" + std::to_string(entry.Interval) +
                " PRECISE=" + BoolToDigit(entry.Precise) + " ONDELAY=" + std::to_string(entry.OnDelay) +
                " DOW=" + dow;
  return row;
}

std::optional<tschopt> ParseScheduleEntry(const tschdata& row) {
  tschopt e;
  e.Interval = 1;
  e.Precise = true;
  e.Repeat = -1;
  e.Dow = kDefaultDow;
  const auto date = DateTimeFromText(row.DateText);
  if (!date) return std::nullopt;
  e.Date = *date;
  e.Name = row.Name;

  // The items in their fixed order; each value runs to the next blank, and
  // the text up to that blank is consumed.
  std::string rest = Upper(row.Options);
  auto take = [&rest](std::string_view key) -> std::optional<std::string> {
    const size_t p = rest.find(key);
    if (p == std::string::npos) return std::nullopt;
    const size_t start = p + key.size();
    const size_t blank = rest.find(' ', start);
    std::string value = rest.substr(start, blank == std::string::npos ? std::string::npos : blank - start);
    rest.erase(0, blank == std::string::npos ? std::string::npos : blank + 1);
    return value;
  };

  const auto repeat = take("REPEAT=");
  if (!repeat || !ParseInt(*repeat, e.Repeat)) return std::nullopt;
  const auto interval = take("INTERVAL=");
  if (!interval || !ParseInt(*interval, e.Interval)) return std::nullopt;
  const auto precise = take(rest.find("PRESICE=") != std::string::npos ? "PRESICE=" : "PRECISE=");
  if (!precise || precise->empty()) return std::nullopt;
  e.Precise = DigitToBool(*precise);
  const auto ondelay = take("ONDELAY=");
  if (!ondelay || !ParseInt(*ondelay, e.OnDelay)) return std::nullopt;
  if (const size_t p = rest.find("DOW="); p != std::string::npos && rest.size() - (p + 4) >= 8)
    e.Dow = rest.substr(p + 4, 8);
  return e;
}

tschopt ParseCommandParams(const std::string& request) {
  tschopt e;
  e.Date = Now();
  e.Name = request;
  e.Repeat = 0;
  e.Interval = 1;
  e.OnDelay = 0;
  e.Precise = true;
  if (request.find('[') == std::string::npos) return e;

  std::vector<std::string> items;
  std::string rest = request;
  for (;;) {
    const size_t open = rest.find('[');
    const size_t close = rest.find(']');
    if (open == std::string::npos || close == std::string::npos) break;
    // A "]" before the first "[" opens no item: the rest belongs to the
    // name (taking nothing out here would never end).
    if (close < open) break;
    items.push_back(rest.substr(open + 1, close - open - 1));
    rest.erase(open, close - open + 1);
  }
  e.Name = rest;

  for (const std::string& raw : items) {
    const std::string item = Upper(raw);
    if (StartsWith(item, "DATE=")) {
      if (auto d = DateTimeFromText(std::string_view(item).substr(5))) {
        e.Date = *d;
      } else {
        e.Date = Now();
        AddLog(MessageText("schedulererrordate") + " [!]");
      }
    } else if (StartsWith(item, "REPEAT=")) {
      int v = 0;
      if (!ParseInt(std::string_view(item).substr(7), v) || v < -1) {
        v = 0;
        AddLog(MessageText("schedulererrorrepeat") + " [!]");
      }
      e.Repeat = v;
    } else if (StartsWith(item, "INTERVAL=")) {
      int v = 0;
      if (!ParseInt(std::string_view(item).substr(9), v) || v <= 0) {
        v = 1;
        AddLog(MessageText("schedulererrorinterval") + " [!]");
      }
      e.Interval = v;
    } else if (StartsWith(item, "ONDELAY=")) {
      int v = 0;
      if (!ParseInt(std::string_view(item).substr(8), v) || v < 0 || v > 2) {
        v = 0;
        AddLog(MessageText("schedulererrorondelay") + " [!]");
      }
      e.OnDelay = v;
    } else if (StartsWith(item, "PRESICE=") || StartsWith(item, "PRECISE=")) {
      e.Precise = DigitToBool(item.substr(8));
    } else {
      AddLog(Format("schedulerunrecognizedparam", item) + " [!]");
    }
  }
  return e;
}

std::size_t TScheduleList::Add(const tschdata& row) {
  auto pos = std::upper_bound(rows_.begin(), rows_.end(), row, [](const tschdata& a, const tschdata& b) {
    return a.DateText < b.DateText;
  });
  const auto index = static_cast<std::size_t>(pos - rows_.begin());
  rows_.insert(pos, row);
  Changed();
  return index;
}

std::size_t TScheduleList::Replace(std::size_t index, const tschdata& row) {
  rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(index));
  return Add(row);
}

void TScheduleList::Delete(std::size_t index) {
  if (index >= rows_.size()) return;
  rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(index));
  Changed();
}

void TScheduleList::Clear() {
  rows_.clear();
  Changed();
}

// ---- the preset list ----------------------------------------------------

void SetPresetListRows(PresetListRows* rows) { g_presetRows = rows; }
PresetListRows* GetPresetListRows() { return g_presetRows; }

std::optional<std::size_t> FindPresetRow(const std::string& name) {
  if (!g_presetRows) return std::nullopt;
  const QString wanted = QString::fromStdString(name);
  for (std::size_t i = 0; i < g_presetRows->Count(); ++i)
    if (QString::fromStdString(g_presetRows->Caption(i)).compare(wanted, Qt::CaseInsensitive) == 0) return i;
  return std::nullopt;
}

void SetSchedulerTimerStarter(std::function<void()> starter) { g_timerStarter = std::move(starter); }
void SetScheduleRefreshedHook(std::function<void()> hook) { g_refreshed = std::move(hook); }

// ---- files --------------------------------------------------------------

std::string ScheduleFilePath() { return PathJoin(SettingsFolder, "yux.sch"); }
std::string LastRunsFilePath() { return PathJoin(SettingsFolder, "yux.las"); }

// Set while the schedule file exists but could not be read: an empty
// schedule then says nothing about the file, which must not be deleted for
// it (the user's entries are still in it).
bool g_scheduleUnreadable = false;

// The rows as "yux.sch" held them when this process last read or wrote it,
// each as the line it is written as.  A row in the file that is not among
// them was added by another instance since, and is kept when this process
// saves; a row among them that this process no longer has was removed here.
namespace {

std::map<std::string, int> g_knownRows;

std::string RowLine(const tschdata& r) {
  return "<D>" + r.DateText + "</D><P>" + r.Name + "</P><O>" + r.Options + "</O>";
}

// The row of a file line as the loader would take it; nothing for a line
// the loader would skip.
std::optional<tschdata> ReadRow(const std::string& line) {
  if (line.empty()) return std::nullopt;
  const auto row = SplitScheduleLine(line);
  if (!row) return std::nullopt;
  const auto entry = ParseScheduleEntry(*row);
  if (!entry || CannotRepeat(*entry)) return std::nullopt;
  return tschdata{DateTimeText(entry->Date), row->Name, row->Options};
}

void RememberRows() {
  g_knownRows.clear();
  for (const auto& r : Schedule.Rows()) ++g_knownRows[RowLine(r)];
}

// Two instances never write "yux.sch" at once: each read-modify-write holds
// this lock file beside it.
class ScheduleFileLock {
 public:
  ScheduleFileLock() : lock_(QString::fromStdString(ScheduleFilePath() + ".lck")) {
    lock_.setStaleLockTime(30000);
    // A holder that hangs longer than this is not waited for: the save goes
    // on, as it always did.
    lock_.tryLock(10000);
  }

 private:
  QLockFile lock_;
};

// Adds the rows another instance put into the file since this process last
// read or wrote it.  True when there were any.
bool MergeRowsOfOthers() {
  std::vector<std::string> lines;
  std::error_code ec;
  if (!fs::exists(fs::path(ScheduleFilePath()), ec) || !ReadTextLines(ScheduleFilePath(), lines)) return false;
  std::map<std::string, int> known = g_knownRows;
  bool added = false;
  for (const std::string& line : lines) {
    const auto row = ReadRow(line);
    if (!row) continue;
    if (int& n = known[RowLine(*row)]; n > 0) {
      --n;
      continue;
    }
    Schedule.Add(*row);
    added = true;
  }
  return added;
}

}  // namespace

void LoadSchedule() {
  Schedule.Clear();
  g_scheduleUnreadable = false;
  const std::string path = ScheduleFilePath();
  std::error_code ec;
  if (!fs::exists(fs::path(path), ec) && !ec) return;
  std::vector<std::string> lines;
  if (ec || !ReadTextLines(path, lines)) {
    g_scheduleUnreadable = true;
    ReportLine("Cannot read " + path + " [!]");
    return;
  }
  for (const std::string& line : lines) {
    if (line.empty()) continue;
    const auto row = SplitScheduleLine(line);
    std::optional<tschopt> entry;
    if (row) entry = ParseScheduleEntry(*row);
    // A row that cannot be read would stop the scheduler at the moment it
    // becomes the first row; it goes now, with a line saying so.
    if (!entry || CannotRepeat(*entry)) {
      LogDamagedRow(line);
      continue;
    }
    Schedule.Add({DateTimeText(entry->Date), row->Name, row->Options});
  }
  RememberRows();
}

bool SaveSchedule() {
  bool merged = false;
  bool saved = false;
  {
    ScheduleFileLock lock;
    merged = !g_scheduleUnreadable && MergeRowsOfOthers();
    std::vector<std::string> lines;
    for (const auto& r : Schedule.Rows()) lines.push_back(RowLine(r));
    if (lines.empty() && (g_scheduleUnreadable || NothingThere(ScheduleFilePath()))) {
      saved = true;
    } else if (WriteOrDelete(ScheduleFilePath(), lines)) {
      g_scheduleUnreadable = false;
      saved = true;
    }
    if (saved) RememberRows();
  }
  // Rows taken from another instance change the first row and the preset
  // list's texts (and save once more, finding nothing new).
  if (merged) RefreshSchedule();
  return saved;
}

bool SaveLastRuns() {
  std::vector<std::string> lines;
  if (g_presetRows)
    for (std::size_t i = 0; i < g_presetRows->Count(); ++i)
      lines.push_back("<D>" + g_presetRows->PreviousText(i) + "</D><P>" + g_presetRows->Caption(i) + "</P>");
  if (lines.empty() && NothingThere(LastRunsFilePath())) return true;
  return WriteOrDelete(LastRunsFilePath(), lines);
}

void LoadLastRuns() {
  if (!g_presetRows || g_presetRows->Count() == 0) return;
  std::vector<std::string> lines;
  std::error_code ec;
  if (!fs::exists(fs::path(LastRunsFilePath()), ec) || !ReadTextLines(LastRunsFilePath(), lines)) return;
  for (const std::string& line : lines) {
    std::optional<std::string> name, text;
    if (auto fields = SplitWrittenLine(line, "<D>", "</D><P>", "</P>", false)) {
      text = fields->first;
      name = fields->second;
    } else {
      name = Between(line, "<P>", "</P>");
      text = Between(line, "<D>", "</D>");
    }
    if (!name || !text) continue;
    if (auto row = FindPresetRow(*name)) g_presetRows->SetPreviousText(*row, *text);
  }
}

// ---- adding and refreshing ------------------------------------------------

bool AddToSchedule(const tschopt& entry) {
  // Each row is one line of "yux.sch": a line break inside a name (an
  // argument can hold one) would split it into rows nobody asked for.
  if (entry.Name.find_first_of("\r\n") != std::string::npos) {
    std::string shown = entry.Name;
    std::replace(shown.begin(), shown.end(), '\r', ' ');
    std::replace(shown.begin(), shown.end(), '\n', ' ');
    AddLog(MessageText(shown.front() == '/' ? "schedulerunknowncomm" : "schedulernosuchpreset") + shown +
           ". [!]");
    return false;
  }
  if (!entry.Name.empty() && entry.Name.front() == '/') {
    if (!IsKnownCommand(entry.Name)) return false;
  } else if (!FindPresetRow(entry.Name)) {
    AddLog(MessageText("schedulernosuchpreset") + entry.Name + ". [!]");
    return false;
  }
  const tschdata row = ScheduleOptionsToText(entry);  // fills a short Dow
  Schedule.Add(row);
  RefreshSchedule();
  AddLog(MessageText("scheduleradded") + entry.Name + " @ " + row.DateText);
  return true;
}

void RefreshSchedule() {
  if (g_presetRows)
    for (std::size_t i = 0; i < g_presetRows->Count(); ++i) g_presetRows->SetScheduledText(i, "");

  // Rows come from the add and the loader, which both check them; a row
  // that still cannot be read is dropped rather than left to stop the
  // scheduler.
  std::optional<tschopt> first;
  while (!Schedule.Empty() && !(first = ParseScheduleEntry(Schedule.Row(0)))) {
    const tschdata& r = Schedule.Row(0);
    LogDamagedRow("<D>" + r.DateText + "</D><P>" + r.Name + "</P><O>" + r.Options + "</O>");
    Schedule.Delete(0);
  }

  if (Schedule.Empty()) {
    ScheduleNotEmpty = false;
  } else {
    NextDueTime = first->Date;
    ScheduleNotEmpty = true;
    if (g_timerStarter) g_timerStarter();
    if (g_presetRows) {
      // From the last row to the first, so that the earliest entry of a
      // preset is the one left in its column.
      for (std::size_t k = Schedule.Count(); k-- > 0;) {
        const tschdata& r = Schedule.Row(k);
        for (std::size_t i = 0; i < g_presetRows->Count(); ++i)
          if (g_presetRows->Caption(i) == r.Name) g_presetRows->SetScheduledText(i, r.DateText);
      }
    }
  }
  SaveSchedule();
  if (g_refreshed) g_refreshed();
}

std::size_t DeleteScheduleRowsFor(const std::string& name) {
  const bool hadRows = !Schedule.Empty();
  std::size_t removed = 0;
  for (std::size_t k = Schedule.Count(); k-- > 0;) {
    if (Schedule.Row(k).Name == name) {
      Schedule.Delete(k);
      ++removed;
    }
  }
  if (hadRows) RefreshSchedule();
  return removed;
}

}  // namespace yux
