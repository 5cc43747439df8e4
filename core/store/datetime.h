#pragma once
// The program's own date-time texts: "yyyy.mm.dd hh:nn:ss" in local time,
// used in the schedule, last-run, history and notifier files and the log.
#include <optional>
#include <string>
#include <string_view>

#include <QDateTime>

namespace yux {

// The general conversion: the pattern's text followed by one blank when the
// time of day is not exactly midnight.  Files written this way carry that
// blank, so every reader must accept it.
std::string DateTimeToText(const QDateTime& dt);
// The same pattern without the trailing blank (the log's time stamp).
std::string FormatStamp(const QDateTime& dt);
// Reads a date-time text: "yyyy.mm.dd hh:nn:ss" with or without trailing
// (or leading) blanks; the seconds may be left out, and a date alone means
// midnight.  Month, day and time fields may have one or two digits, the
// year has four.  Anything else, or a date or time that does not exist,
// gives nothing.
std::optional<QDateTime> TextToDateTime(std::string_view text);

}  // namespace yux
