// The program's date-time texts, read from the schedule, last-run, history
// and notifier files: whatever is read must print back to a text that reads
// as the same moment.
#include <cstdint>
#include <string>
#include <string_view>

#include "core/store/datetime.h"
#include "core/store/schedule.h"
#include "fuzz/fuzzsupport.h"

using namespace yux;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 256) return 0;  // dates are short; longer texts only repeat blanks
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (auto dt = TextToDateTime(text)) {
    YUX_FUZZ_CHECK(dt->isValid(), text);
    const std::string printed = DateTimeToText(*dt);
    auto again = TextToDateTime(printed);
    YUX_FUZZ_CHECK(again.has_value(), printed);
    YUX_FUZZ_CHECK(*again == *dt, printed);
    YUX_FUZZ_CHECK(TextToDateTime(FormatStamp(*dt)) == dt, FormatStamp(*dt));
  }
  // The schedule's reading of the same texts, as days since 1899-12-30.
  if (auto d = DateTimeFromText(text)) {
    const std::string printed = DateTimeText(*d);
    auto again = DateTimeFromText(printed);
    YUX_FUZZ_CHECK(again.has_value(), printed);
    YUX_FUZZ_CHECK(DateTimeText(*again) == printed, printed);
  }
  return 0;
}
