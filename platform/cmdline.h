#pragma once
// Windows-style command lines: the archiver, the before/after commands and
// the scheduler's EXEC commands all carry their parameters as one text that
// is split the way a Windows program's runtime splits it.
#include <string>
#include <vector>

namespace yux::platform {

// Splits a parameter text into arguments by the Windows runtime's rules:
// blanks and tabs separate arguments outside quotes; 2n backslashes before a
// quote give n backslashes and the quote toggles quoting; 2n+1 backslashes
// before a quote give n backslashes and a literal quote; backslashes not
// followed by a quote are literal; inside quotes, "" gives a literal quote.
std::vector<std::string> SplitCommandLine(const std::string& text);

// Quotes one argument so that SplitCommandLine gives it back unchanged
// (an empty argument becomes ""; an argument without blanks, tabs or quotes
// is returned as it is).
std::string QuoteArgument(const std::string& arg);

// Joins arguments, each quoted as needed, with single blanks.
std::string JoinCommandLine(const std::vector<std::string>& args);

}  // namespace yux::platform
