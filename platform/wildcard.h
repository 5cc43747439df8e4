#pragma once
// File masks with Windows rules: '*' any run of characters, '?' any one
// character, letters compared without regard to ASCII case; a mask ending in
// ".*" also matches a name without any dot ("*.*" matches every name).
#include <string_view>

namespace yux::platform {

bool MatchesMask(std::string_view name, std::string_view mask);

// True when the text holds '*' or '?'.
bool HasWildcards(std::string_view text);

}  // namespace yux::platform
