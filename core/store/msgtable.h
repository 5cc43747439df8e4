#pragma once
// The message table: every user-visible text of the core and the dialogs,
// keyed, with its English default.  A language file replaces entries.
//
// Table texts carry no error marker: callers append " [!]" (or ". [!]")
// where a line is an error, so that a translation cannot turn an error
// line into a plain one.  The one exception is `logtoemailnotsent`, whose
// text itself ends with the marker.
#include <concepts>
#include <string>
#include <string_view>
#include <vector>

namespace yux {

// The current text of a key; an unknown key gives the key itself so a
// missing entry is visible instead of blank.
std::string MessageText(std::string_view key);
// The built-in English text of a key; an unknown key gives the key itself.
std::string EnglishMessageText(std::string_view key);
// Replaces the text of a known key; false for an unknown key.
bool SetMessageText(std::string_view key, const std::string& text);
// Restores every English default.
void ResetMessageTexts();
// Every key of the table in the order in which a language file's STRINGS
// section is read.
const std::vector<std::string_view>& MessageKeys();

// Fills the placeholders "%s" and "%d" of a format text in order with the
// given arguments; "%%" gives "%".  Placeholders beyond the arguments stay
// as they are written and surplus arguments are ignored, so a translation
// with a different number of placeholders never reads past the arguments.
// Any other "%" sequence is copied unchanged.
std::string FormatText(std::string_view format, const std::vector<std::string>& args);

namespace detail {
inline std::string FormatArg(const std::string& s) { return s; }
inline std::string FormatArg(std::string_view s) { return std::string(s); }
inline std::string FormatArg(const char* s) { return s ? std::string(s) : std::string(); }
template <std::integral T>
std::string FormatArg(T v) {
  if constexpr (std::same_as<T, bool>) return v ? "1" : "0";
  else if constexpr (std::same_as<T, char>) return std::string(1, v);
  else return std::to_string(v);
}
}  // namespace detail

// MessageText(key) formatted with the arguments (text or integers).
template <typename... Args>
std::string Format(std::string_view key, const Args&... args) {
  return FormatText(MessageText(key), std::vector<std::string>{detail::FormatArg(args)...});
}

}  // namespace yux
