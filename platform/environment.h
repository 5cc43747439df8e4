#pragma once
// Environment strings with Windows "%NAME%" references.
#include <optional>
#include <string>

namespace yux::platform {

// The value of an environment variable, its name matched without regard
// to ASCII case (an exact match wins); empty when unset.
std::optional<std::string> GetEnvironmentVariable(const std::string& name);

// Replaces every %NAME% whose variable is set by its value.  As on
// Windows, a reference to an unset name stays as written, "%%" stays "%%",
// and a lone "%" is an ordinary character.
std::string ExpandEnvironmentStrings(const std::string& text);

}  // namespace yux::platform
