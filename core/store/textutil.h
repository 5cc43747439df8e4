#pragma once
// Small text helpers shared by the readers of the settings files.
#include <string>
#include <string_view>
#include <vector>

namespace yux {

// Decimal integer as the settings files store it: optional leading blanks,
// an optional sign, digits and nothing else, within 32 bits.  False (and
// `out` untouched) for anything else.
bool ParseInt(std::string_view s, int& out);

// A flag as the settings files store it: "1" or "0"; read back, false
// only for exactly "0".
std::string BoolToDigit(bool flag);
bool DigitToBool(const std::string& text);

// The lines of a text file without their line ends (CR LF or LF); a last
// line without an end counts too.  `ok` is false when the file cannot be
// opened or read to its end.
std::vector<std::string> ReadTextLines(const std::string& path, bool& ok);

// True when the text holds a CR, an LF or a NUL: what no line of a
// line-based file can carry.
bool HoldsLineBreak(std::string_view text);
// The text with each CR, LF and NUL made a blank, to be shown in one line.
std::string OnOneLine(std::string text);

}  // namespace yux
