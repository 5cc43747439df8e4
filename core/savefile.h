#pragma once
// Replacing a settings or list file whole: the new text goes into a
// temporary file beside it, which takes the file's place only when every
// byte was written, so a full disk or a crash never leaves a cut file where
// the user's settings were.
#include <string>

namespace yux {

// Writes `data` as the whole new content of `path`.  False (with a reason
// in `error` when given) when it could not; the old file is then as it was.
bool SaveFileWhole(const std::string& path, const std::string& data, std::string* error = nullptr);

}  // namespace yux
