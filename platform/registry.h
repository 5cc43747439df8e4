#pragma once
// The registry: a key/value store file (INI) standing where the system
// keeps its shell verbs, its autostart value and the settings it reads
// from the Windows registry.
//
// Keys are paths like "HKEY_CLASSES_ROOT\\*\\shell\\YUX-KEEPER\\command"
// ("\" separates keys; a leading "\" is ignored); key names are found
// without regard to ASCII case and keep the spelling they were created
// with.  Values are strings or 32-bit numbers under a name ("" is the
// key's default value).  Every write is saved at once and reports failure
// (an unwritable file) as false, never by crashing.
//
// The Run key's autostart value is mirrored as an XDG autostart entry:
// writing it writes yux.desktop with Exec= the command, deleting it (or its
// key) deletes the file.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace yux::platform {

inline constexpr char kRunKey[] = "HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Run";

class Registry {
 public:
  // The store at `storeFile` and autostart entries in `autostartFolder`.
  Registry(std::string storeFile, std::string autostartFolder);
  // The user's store: $XDG_CONFIG_HOME/yux/registry.ini (default
  // ~/.config/yux) and $XDG_CONFIG_HOME/autostart.
  static Registry User();
  static std::string DefaultStoreFile();
  static std::string DefaultAutostartFolder();

  // The value name in the Run key that is mirrored ("Yux" by default).
  void SetAutostartValueName(std::string name) { autostartName_ = std::move(name); }
  std::string AutostartFile() const;

  bool CreateKey(const std::string& key);
  bool KeyExists(const std::string& key) const;
  // Deletes the key with its values and subkeys; false when it is missing
  // or the store cannot be written.
  bool DeleteKey(const std::string& key);
  // Names of the direct subkeys, sorted.
  std::vector<std::string> SubKeys(const std::string& key) const;
  std::vector<std::string> ValueNames(const std::string& key) const;

  // Writing a value creates its key.
  bool SetString(const std::string& key, const std::string& name, const std::string& value);
  bool SetNumber(const std::string& key, const std::string& name, std::uint32_t value);
  // Empty when the value is missing or of the other kind.
  std::optional<std::string> GetString(const std::string& key, const std::string& name) const;
  std::optional<std::uint32_t> GetNumber(const std::string& key, const std::string& name) const;
  bool DeleteValue(const std::string& key, const std::string& name);

 private:
  std::string Resolve(const std::string& key) const;
  bool IsAutostart(const std::string& key, const std::string& name) const;
  bool WriteAutostart(const std::string& command);
  bool RemoveAutostart();

  std::string file_;
  std::string autostartFolder_;
  std::string autostartName_ = "Yux";
};

// The Exec= text of a desktop entry for a Windows-style command line.
std::string DesktopExecFromCommandLine(const std::string& commandLine);

}  // namespace yux::platform
