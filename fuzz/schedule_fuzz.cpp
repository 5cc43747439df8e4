// The schedule: the request syntax that the command line and the web panel
// pass in ("name [DATE=..][REPEAT=..]..."), and the rows of "yux.sch".  The
// first line of the input is a request, the rest is the schedule file.
// Entries must survive their row texts, and a loaded schedule must be in
// order, readable row by row, and the same after a save and a reload.
#include <QDateTime>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "core/store/folders.h"
#include "core/store/loghook.h"
#include "core/store/programlog.h"
#include "core/store/schedule.h"
#include "fuzz/coresetup.h"
#include "fuzz/fuzzsupport.h"

using namespace yux;

namespace {

void Setup() {
  static bool done = [] {
    fuzz::UseScratchSettings();
    // A fixed clock keeps every run of an input the same.
    SetScheduleClock([] { return QDateTime(QDate(2024, 5, 17), QTime(10, 30, 15)); });
    return true;
  }();
  (void)done;
}

std::string Describe(const tschdata& r) { return r.DateText + " | " + r.Name + " | " + r.Options; }

void CheckRowsRoundTrip(const tschopt& e) {
  const tschdata row = ScheduleOptionsToText(e);
  auto back = ParseScheduleEntry(row);
  YUX_FUZZ_CHECK(back.has_value(), Describe(row));
  YUX_FUZZ_CHECK(back->Name == e.Name && back->Repeat == e.Repeat && back->Interval == e.Interval &&
                     back->OnDelay == e.OnDelay && back->Precise == e.Precise,
                 Describe(row));
  YUX_FUZZ_CHECK(DateTimeText(back->Date) == row.DateText, Describe(row));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > fuzz::kMaxTextInput) return 0;
  Setup();
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  const std::string request(fuzz::NextLine(rest));

  const tschopt entry = ParseCommandParams(request);
  CheckRowsRoundTrip(entry);

  fuzz::WriteBytes(ScheduleFilePath(), rest);
  LoadSchedule();
  const auto first = Schedule.Rows();
  for (std::size_t i = 0; i < first.size(); ++i) {
    if (i > 0) YUX_FUZZ_CHECK(first[i - 1].DateText <= first[i].DateText, Describe(first[i]));
    auto e = ParseScheduleEntry(first[i]);
    YUX_FUZZ_CHECK(e.has_value(), Describe(first[i]));
  }
  YUX_FUZZ_CHECK(SaveSchedule(), "saving the schedule failed");
  LoadSchedule();
  YUX_FUZZ_CHECK(Schedule.Rows() == first, "rows changed across a save and a load");
  Schedule.Clear();

  // The damaged-row lines land in the program log: keep it from growing
  // across inputs.
  std::error_code ec;
  std::filesystem::remove(LogFilePath(), ec);
  return 0;
}
