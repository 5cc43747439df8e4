#pragma once
// Replacing a settings or list file whole: the new text goes into a
// temporary file beside it, which takes the file's place only when every
// byte was written, so a full disk or a crash never leaves a cut file where
// the user's settings were.
//
// Settings files hold passwords (reversibly scrambled), so their modes
// follow their folder: a folder of one user (no group or other access)
// gets files 0600, a folder shared with its group (setgid, no other
// access) files 0660; files elsewhere keep the default mode.
#include <optional>
#include <string>

namespace yux {

// Writes `data` as the whole new content of `path`.  False (with a reason
// in `error` when given) when it could not; the old file is then as it was.
bool SaveFileWhole(const std::string& path, const std::string& data, std::string* error = nullptr);
// The whole content of `path`; none when it cannot be read.
std::optional<std::string> ReadFileWhole(const std::string& path);

// The mode a settings file in `folder` gets by the rule above; none when
// the folder is neither private nor a shared settings folder.
std::optional<unsigned> SettingsFileMode(const std::string& folder);
// Gives the file at `path` the mode of its folder's rule (nothing otherwise).
void ApplySettingsFileMode(const std::string& path);

// The mode of a settings folder: 02770 shared with its group, else 0700.
inline constexpr unsigned kSharedSettingsFolderMode = 02770;
inline constexpr unsigned kOwnSettingsFolderMode = 0700;
// Creates `folder` (missing parents with the default mode) and gives it
// `mode` when this user owns it; false when it is not a folder afterwards.
bool MakeSettingsFolder(const std::string& folder, unsigned mode, std::string* error = nullptr);

}  // namespace yux
