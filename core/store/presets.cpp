// Preset files: reading, writing and listing presets.
#include "core/store/presets.h"

#include <QDir>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <variant>

#include "core/store/folders.h"
#include "core/store/inifile.h"
#include "core/store/keyedfield.h"
#include "core/store/loghook.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/savefile.h"
#include "core/store/textutil.h"
#include "net/protocols/mimeutils.h"

namespace yux {

tarcopt CurrentPreset;

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

using Field = std::variant<bool tarcopt::*, int tarcopt::*, std::string tarcopt::*>;
struct Key {
  const char* name;
  Field field;
};

// Every key in the record's order; the reader tests each line against them
// in this order.
const Key kKeys[] = {
    {"nam", &tarcopt::nam}, {"swt", &tarcopt::swt}, {"ems", &tarcopt::ems}, {"dtf", &tarcopt::dtf},
    {"vol", &tarcopt::vol}, {"dir", &tarcopt::dir}, {"fmt", &tarcopt::fmt}, {"cmp", &tarcopt::cmp},
    {"drm", &tarcopt::drm}, {"dic", &tarcopt::dic}, {"fld", &tarcopt::fld}, {"pwd", &tarcopt::pwd},
    {"owe", &tarcopt::owe}, {"efl", &tarcopt::efl}, {"ctf", &tarcopt::ctf}, {"pas", &tarcopt::pas},
    {"lck", &tarcopt::lck}, {"sld", &tarcopt::sld}, {"sfx", &tarcopt::sfx}, {"hlt", &tarcopt::hlt},
    {"bkg", &tarcopt::bkg}, {"hid", &tarcopt::hid}, {"tst", &tarcopt::tst}, {"del", &tarcopt::del},
    {"wip", &tarcopt::wip}, {"osf", &tarcopt::osf}, {"rsf", &tarcopt::rsf}, {"edc", &tarcopt::edc},
    {"aut", &tarcopt::aut}, {"fpo", &tarcopt::fpo}, {"fse", &tarcopt::fse}, {"fus", &tarcopt::fus},
    {"fpa", &tarcopt::fpa}, {"ffo", &tarcopt::ffo}, {"fac", &tarcopt::fac}, {"fss", &tarcopt::fss},
    {"sfr", &tarcopt::sfr}, {"sto", &tarcopt::sto}, {"sse", &tarcopt::sse}, {"sus", &tarcopt::sus},
    {"spa", &tarcopt::spa}, {"sss", &tarcopt::sss}, {"cdr", &tarcopt::cdr}, {"cer", &tarcopt::cer},
    {"cie", &tarcopt::cie}, {"cdv", &tarcopt::cdv}, {"cne", &tarcopt::cne}, {"cef", &tarcopt::cef},
    {"csp", &tarcopt::csp}, {"cdb", &tarcopt::cdb}, {"cdw", &tarcopt::cdw}, {"smt", &tarcopt::smt},
    {"ftp", &tarcopt::ftp}, {"wpc", &tarcopt::wpc}, {"wpp", &tarcopt::wpp}, {"wps", &tarcopt::wps},
    {"dra", &tarcopt::dra}, {"fpn", &tarcopt::fpn}, {"fpp", &tarcopt::fpp}, {"arr", &tarcopt::arr},
    {"rrp", &tarcopt::rrp}, {"cco", &tarcopt::cco}, {"sco", &tarcopt::sco}, {"fco", &tarcopt::fco},
    {"ccm", &tarcopt::ccm}, {"ccv", &tarcopt::ccv}, {"scm", &tarcopt::scm}, {"scv", &tarcopt::scv},
    {"fcm", &tarcopt::fcm}, {"fcv", &tarcopt::fcv}, {"fca", &tarcopt::fca}, {"eba", &tarcopt::eba},
    {"ebs", &tarcopt::ebs}, {"ebh", &tarcopt::ebh}, {"eaa", &tarcopt::eaa}, {"eas", &tarcopt::eas},
    {"eah", &tarcopt::eah}, {"eae", &tarcopt::eae}, {"eap", &tarcopt::eap}, {"ebe", &tarcopt::ebe},
    {"ebp", &tarcopt::ebp}, {"efa", &tarcopt::efa}, {"irp", &tarcopt::irp},
};

// The lines the preset dialog writes after "ver 0", in this order.  "aut"
// stands twice; "fpo", "sfx" and "cie" are read from older files but never
// written.
const char* const kWriterOrder[] = {
    "nam", "dir", "ems", "swt", "dtf", "fmt", "cmp", "drm", "dic", "vol", "fld", "wpc", "wpp",
    "wps", "pwd", "owe", "cef", "aut", "ctf", "efl", "pas", "lck", "sld", "hlt", "bkg", "hid",
    "tst", "del", "wip", "osf", "rsf", "edc", "aut", "arr", "rrp", "ftp", "fac", "fse", "fpn",
    "fpp", "fus", "fpa", "ffo", "fss", "smt", "sfr", "sto", "sse", "sss", "sus", "spa", "cdw",
    "cdr", "cer", "cdv", "cne", "csp", "cdb", "dra", "irp", "cco", "ccm", "ccv", "sco", "scm",
    "scv", "fco", "fcm", "fca", "fcv", "eba", "ebs", "ebh", "ebe", "ebp", "eaa", "eas", "eah",
    "eae", "eap", "efa",
};

const Key* FindKey(std::string_view name) {
  for (const auto& k : kKeys)
    if (name == k.name) return &k;
  return nullptr;
}

// Lines without their line ends; a last line without one counts too.
bool ReadRawLines(const std::string& path, std::vector<std::string>& lines) {
  std::error_code ec;
  if (!fs::is_regular_file(fs::path(path), ec)) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
  }
  return !in.bad();
}

bool WriteWhole(const std::string& path, const std::string& data, std::string* error) {
  return SaveFileWhole(path, data, error);
}

bool IsDefaultsName(std::string_view name) { return name == kDefaultsPresetName; }

std::string UnusableNameText(std::string_view name) {
  std::string shown(name.substr(0, name.find('\0')));
  std::replace(shown.begin(), shown.end(), '\r', ' ');
  std::replace(shown.begin(), shown.end(), '\n', ' ');
  return "The preset name \"" + shown +
         "\" cannot be used: a preset name must not contain \"/\", a line break or a NUL character "
         "and must not be \".\" or \"..\".";
}

}  // namespace

void SetPresetDefaults(tarcopt& record) {
  record = tarcopt{};
  record.dtf = "-YYMMDDHHMMSS";
  record.vol = "Auto";
  record.fld = 1;
  record.sld = true;
  record.osf = true;
  record.rsf = true;
  record.fpo = "ftp";
  record.csp = 8;
  record.cdb = 16;
  record.rrp = 1;
  record.ccv = 1;
  record.scv = 1;
  record.fcv = 1;
  record.irp = true;
}

std::optional<std::string> PresetNameError(std::string_view name) {
  if (IsDefaultsName(name)) return std::nullopt;
  if (name.empty()) return MessageText("specpreset");
  // The name is also one line of "yux.sch" and "yux.las", so it cannot hold
  // a line break either.
  if (name.find_first_of(std::string_view("/\0\r\n", 4)) != std::string_view::npos || name == "." ||
      name == "..")
    return UnusableNameText(name);
  return std::nullopt;
}

std::optional<std::string> NewPresetNameError(std::string_view name) {
  if (IsDefaultsName(name)) return UnusableNameText(name);
  if (auto problem = PresetNameError(name)) return problem;
  if (name.front() == '*') return MessageText("presetnamestar");
  const std::string text(name);
  if (text.size() + 4 > kMaxPresetFileName) return Format("presetnametoolong", text);
  const QString wanted = QString::fromStdString(text);
  for (const std::string& listed : ListPresetNames(PresetsFolder))
    if (QString::fromStdString(listed).compare(wanted, Qt::CaseInsensitive) == 0)
      return Format("presetexists", listed);
  for (std::string_view ext : kPresetFileExtensions) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(fs::path(PresetFilePath(text, ext)), ec)))
      return Format("presetfilesexist", text);
  }
  return std::nullopt;
}

std::string PresetFilePath(const std::string& name, std::string_view extension) {
  if (IsDefaultsName(name)) return PathJoin(SettingsFolder, "yux.pst");
  return PathJoin(PresetsFolder, name + std::string(extension));
}

void LoadPreset(const std::string& name, tarcopt& record) {
  if (auto problem = PresetNameError(name)) throw EPresetFileError(*problem);
  const std::string path = PresetFilePath(name);
  std::vector<std::string> raw;
  if (!ReadRawLines(path, raw)) {
    std::error_code ec;
    const bool exists = fs::exists(fs::path(path), ec);
    throw EPresetFileError("Cannot open file \"" + path + "\". " +
                           (exists ? "The file cannot be read." : "The file does not exist."));
  }

  std::vector<std::string> lines;
  lines.reserve(raw.size());
  int damaged = 0;
  for (const std::string& stored : raw) {
    if (stored.empty()) continue;
    const std::string digits = net::DecodeBase64String(stored);
    std::string line = UnscrambleDigits(digits);
    if (line.empty()) {
      if (digits != ScrambleDigits("")) ++damaged;  // a scrambled empty line is no damage
      continue;
    }
    lines.push_back(std::move(line));
  }

  SetPresetDefaults(record);
  for (const std::string& stored : lines) {
    // The line is cut into key and value as bytes, before its text is
    // decoded: a character made from the separator byte would otherwise be
    // cut in two.
    std::string_view line = stored;
    if (line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
    for (const auto& key : kKeys) {
      if (line.compare(0, 3, key.name) != 0) continue;
      // Files written on other systems hold their texts in Windows-1252.
      // The value is decoded behind the key and a blank, so that it is
      // taken as UTF-8 exactly when the whole line is, and a byte-order
      // mark at its start stays part of it.
      const std::string value =
          line.size() > 4 ? DecodeAnsiText(std::string(key.name, 3) + ' ' + std::string(line.substr(4))).substr(4)
                          : std::string();
      // A non-number keeps the default or an earlier good value.
      if (!AssignFieldText(record, key.field, value)) ++damaged;
    }
  }
  if (damaged > 0)
    ReportLine("Preset file \"" + path + "\" is damaged: " + std::to_string(damaged) +
               " line(s) could not be read; their settings keep their defaults.");
}

std::vector<std::string> PresetFileLines(const tarcopt& record) {
  std::vector<std::string> lines;
  lines.reserve(std::size(kWriterOrder) + 1);
  lines.emplace_back("ver 0");
  for (const char* name : kWriterOrder) {
    const Key* key = FindKey(name);
    std::string value = FieldText(record, key->field);
    lines.push_back(std::string(name) + " " + value);
  }
  return lines;
}

bool SavePreset(const std::string& name, const tarcopt& record, std::string* error) {
  if (auto problem = PresetNameError(name)) {
    if (error) *error = *problem;
    return false;
  }
  std::string out;
  for (const std::string& line : PresetFileLines(record)) {
    out += ScrambleText(line);
    out += "\r\n";
  }
  const std::string path = PresetFilePath(name);
  if (!IsDefaultsName(name)) QDir().mkpath(QString::fromStdString(PresetsFolder));
  return WriteWhole(path, out, error);
}

std::vector<std::string> ListPresetNames(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  fs::directory_iterator it(fs::path(folder), ec);
  if (ec) return names;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string file = it->path().filename().string();
    // Only the exact extension: the preset is loaded as name + ".pst", and
    // on this file system "X.PST" is another file.
    if (file.size() < 4 || file.compare(file.size() - 4, 4, ".pst") != 0) continue;
    std::error_code fe;
    if (!it->is_regular_file(fe)) continue;
    const std::string name = file.substr(0, file.size() - 4);
    if (PresetNameError(name) || IsDefaultsName(name)) continue;
    const fs::path base = fs::path(folder);
    if (!fs::exists(base / (name + ".inc"), fe) || !fs::exists(base / (name + ".exc"), fe)) continue;
    names.push_back(name);
  }
  return names;
}

std::optional<std::vector<std::string>> ReadListFile(const std::string& path, ListText how) {
  std::vector<std::string> lines;
  if (!ReadRawLines(path, lines)) return std::nullopt;
  if (!lines.empty() && lines[0].starts_with(kByteOrderMark)) lines[0].erase(0, kByteOrderMark.size());
  if (how == ListText::Ansi)
    for (auto& l : lines) l = DecodeAnsiLine(l);
  return lines;
}

std::optional<std::vector<std::string>> ReadPresetList(const std::string& name, std::string_view extension,
                                                       ListText how) {
  if (PresetNameError(name) || IsDefaultsName(name)) return std::nullopt;
  return ReadListFile(PresetFilePath(name, extension), how);
}

bool WritePresetList(const std::string& name, std::string_view extension,
                     const std::vector<std::string>& lines, std::string* error) {
  if (auto problem = PresetNameError(name)) {
    if (error) *error = *problem;
    return false;
  }
  if (IsDefaultsName(name)) {
    if (error) *error = "The defaults preset has no list files.";
    return false;
  }
  std::string out;
  // Read back, a mark at the start of the file is dropped: this one is, and
  // the line's own bytes stay.
  if (!lines.empty() && lines[0].starts_with(kByteOrderMark)) out = kByteOrderMark;
  for (const auto& l : lines) {
    out += l;
    out += "\r\n";
  }
  QDir().mkpath(QString::fromStdString(PresetsFolder));
  return WriteWhole(PresetFilePath(name, extension), out, error);
}

bool DeletePresetFiles(const std::string& name) {
  if (PresetNameError(name) || IsDefaultsName(name)) return false;
  bool ok = true;
  for (std::string_view ext : kPresetFileExtensions) {
    const fs::path p = PresetFilePath(name, ext);
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(p, ec))) continue;
    if (!fs::remove(p, ec) || ec) ok = false;
  }
  return ok;
}

}  // namespace yux
