#pragma once
// System folders and names the program asks Windows for.  Folders come
// without a trailing "/".
#include <string>

namespace yux::platform {

// Folder of the running executable (from /proc/self/exe); read-only files
// such as language files and skins are looked up there.
std::string ProgramFolder();
// Where the program writes the files that it keeps beside itself on
// Windows: $YUX_HOME when set, else the executable's folder when it is
// writable, else $XDG_CONFIG_HOME/yux (default ~/.config/yux), created when
// missing.
std::string ProgramDataFolder();
// $XDG_CONFIG_HOME, default ~/.config.
std::string ConfigHomeFolder();
// $XDG_DATA_HOME, else ~/.local/share.
std::string DataHomeFolder();
// The folder that holds data every user of the machine shares:
// $YUX_SHARED_DATA when set and not empty, else /var/lib.
std::string SharedDataFolder();
// $TMPDIR when set and not empty, else /tmp.
std::string TempFolder();
std::string HomeFolder();
// True when `path` is itself a folder (not a symbolic link to one) of this
// process's user that nobody else may enter: mode 0700.
bool IsOwnPrivateFolder(const std::string& path);
std::string HostName();
std::string UserName();

}  // namespace yux::platform
