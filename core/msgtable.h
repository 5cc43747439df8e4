#pragma once
// The message table: every user-visible text of the core and the dialogs,
// keyed, with its English default.  A language file replaces entries.
#include <string>
#include <string_view>

namespace yux {

// The current text of a key; an unknown key gives the key itself so a
// missing entry is visible instead of blank.
std::string MessageText(std::string_view key);
// Replaces the text of a known key; false for an unknown key.
bool SetMessageText(std::string_view key, const std::string& text);
// Restores every English default.
void ResetMessageTexts();

}  // namespace yux
