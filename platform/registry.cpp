#include "platform/registry.h"

#include "platform/cmdline.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <unistd.h>

namespace yux::platform {
namespace {

// One key name as a settings group: '%', '/' and '\' would otherwise be
// taken apart by the settings file.
QString EncodePart(const std::string& part) {
  std::string out;
  static const char* hex = "0123456789ABCDEF";
  for (unsigned char c : part) {
    if (c == '%' || c == '/' || c == '\\') {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return QString::fromUtf8(out);
}

std::string DecodePart(const QString& q) {
  std::string s = q.toUtf8().toStdString();
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
      out.push_back(static_cast<char>(std::strtol(s.substr(i + 1, 2).c_str(), nullptr, 16)));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

std::vector<std::string> SplitKey(const std::string& key) {
  std::vector<std::string> parts;
  std::string cur;
  for (char c : key) {
    if (c == '\\') {
      if (!cur.empty()) parts.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(c);
    }
  }
  if (!cur.empty()) parts.push_back(cur);
  return parts;
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

constexpr char kMarker[] = "k";  // present in every created key

QString StringKey(const std::string& name) { return "s" + EncodePart(name); }
QString NumberKey(const std::string& name) { return "n" + EncodePart(name); }

bool Saved(QSettings& s) {
  s.sync();
  return s.status() == QSettings::NoError;
}

std::string ConfigHome() {
  const char* x = std::getenv("XDG_CONFIG_HOME");
  if (x && *x) return x;
  const char* h = std::getenv("HOME");
  return std::string(h ? h : "") + "/.config";
}

// Quoting of one argument of a desktop entry's Exec= line, followed by the
// escaping of the entry file's string values.
std::string DesktopQuote(const std::string& arg) {
  static const std::string special = " \t\n\"'\\><~|&;$*?#()`";
  std::string q;
  bool needs = arg.empty() || arg.find_first_of(special) != std::string::npos;
  if (needs) {
    q.push_back('"');
    for (char c : arg) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') q.push_back('\\');
      q.push_back(c);
    }
    q.push_back('"');
  } else {
    q = arg;
  }
  std::string out;
  for (char c : q) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else if (c == '%') out += "%%";
    else out.push_back(c);
  }
  return out;
}

}  // namespace

std::string DesktopExecFromCommandLine(const std::string& commandLine) {
  std::string out;
  for (const auto& a : SplitCommandLine(commandLine)) {
    if (!out.empty()) out.push_back(' ');
    out += DesktopQuote(a);
  }
  return out;
}

Registry::Registry(std::string storeFile, std::string autostartFolder)
    : file_(std::move(storeFile)), autostartFolder_(std::move(autostartFolder)) {}

Registry Registry::User() { return Registry(DefaultStoreFile(), DefaultAutostartFolder()); }

std::string Registry::DefaultStoreFile() { return ConfigHome() + "/yux/registry.ini"; }
std::string Registry::DefaultAutostartFolder() { return ConfigHome() + "/autostart"; }

std::string Registry::AutostartFile() const { return autostartFolder_ + "/yux.desktop"; }

std::string Registry::Resolve(const std::string& key) const {
  QSettings s(QString::fromStdString(file_), QSettings::IniFormat);
  QString path;
  for (const auto& part : SplitKey(key)) {
    QString chosen = EncodePart(part);
    if (!path.isEmpty()) s.beginGroup(path);
    for (const QString& g : s.childGroups()) {
      if (SameIgnoringCase(DecodePart(g), part)) {
        chosen = g;
        break;
      }
    }
    if (!path.isEmpty()) s.endGroup();
    path = path.isEmpty() ? chosen : path + "/" + chosen;
  }
  return path.toStdString();
}

bool Registry::CreateKey(const std::string& key) {
  if (SplitKey(key).empty()) return false;
  QDir().mkpath(QFileInfo(QString::fromStdString(file_)).absolutePath());
  QSettings s(QString::fromStdString(file_), QSettings::IniFormat);
  if (s.status() != QSettings::NoError) return false;
  // Every key on the way exists afterwards, as with the Windows call.
  QString path;
  for (const auto& part : QString::fromStdString(Resolve(key)).split('/')) {
    path = path.isEmpty() ? part : path + "/" + part;
    s.setValue(path + "/" + kMarker, 1);
  }
  return Saved(s);
}

bool Registry::KeyExists(const std::string& key) const {
  if (SplitKey(key).empty()) return false;
  QSettings s(QString::fromStdString(file_), QSettings::IniFormat);
  s.beginGroup(QString::fromStdString(Resolve(key)));
  return !s.childKeys().isEmpty() || !s.childGroups().isEmpty();
}

bool Registry::DeleteKey(const std::string& key) {
  if (!KeyExists(key)) return false;
  bool hadAutostart = false;
  auto runParts = SplitKey(kRunKey);
  auto parts = SplitKey(key);
  if (parts.size() <= runParts.size()) {
    hadAutostart = std::equal(parts.begin(), parts.end(), runParts.begin(), SameIgnoringCase);
  }
  QSettings s(QString::fromStdString(file_), QSettings::IniFormat);
  s.remove(QString::fromStdString(Resolve(key)));
  if (!Saved(s)) return false;
  if (hadAutostart) RemoveAutostart();
  return true;
}

std::vector<std::string> Registry::SubKeys(const std::string& key) const {
  QSettings s(QString::fromStdString(file_), QSettings::IniFormat);
  if (!SplitKey(key).empty()) s.beginGroup(QString::fromStdString(Resolve(key)));
  std::vector<std::string> out;
  for (const QString& g : s.childGroups()) out.push_back(DecodePart(g));
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> Registry::ValueNames(const std::string& key) const {
  QSettings s(QString::fromStdString(file_), QSettings::IniFormat);
  s.beginGroup(QString::fromStdString(Resolve(key)));
  std::vector<std::string> out;
  for (const QString& k : s.childKeys()) {
    if (k.startsWith('s') || k.startsWith('n')) out.push_back(DecodePart(k.mid(1)));
  }
  std::sort(out.begin(), out.end());
  return out;
}

bool Registry::SetString(const std::string& key, const std::string& name, const std::string& value) {
  if (!CreateKey(key)) return false;
  QSettings s(QString::fromStdString(file_), QSettings::IniFormat);
  QString path = QString::fromStdString(Resolve(key));
  s.remove(path + "/" + NumberKey(name));
  s.setValue(path + "/" + StringKey(name), QByteArray::fromStdString(value));
  if (!Saved(s)) return false;
  if (IsAutostart(key, name)) return WriteAutostart(value);
  return true;
}

bool Registry::SetNumber(const std::string& key, const std::string& name, std::uint32_t value) {
  if (!CreateKey(key)) return false;
  QSettings s(QString::fromStdString(file_), QSettings::IniFormat);
  QString path = QString::fromStdString(Resolve(key));
  s.remove(path + "/" + StringKey(name));
  s.setValue(path + "/" + NumberKey(name), QString::number(value));
  return Saved(s);
}

std::optional<std::string> Registry::GetString(const std::string& key, const std::string& name) const {
  QSettings s(QString::fromStdString(file_), QSettings::IniFormat);
  QString k = QString::fromStdString(Resolve(key)) + "/" + StringKey(name);
  if (!s.contains(k)) return std::nullopt;
  return s.value(k).toByteArray().toStdString();
}

std::optional<std::uint32_t> Registry::GetNumber(const std::string& key, const std::string& name) const {
  QSettings s(QString::fromStdString(file_), QSettings::IniFormat);
  QString k = QString::fromStdString(Resolve(key)) + "/" + NumberKey(name);
  if (!s.contains(k)) return std::nullopt;
  bool ok = false;
  uint v = s.value(k).toString().toUInt(&ok);
  if (!ok) return std::nullopt;
  return v;
}

bool Registry::DeleteValue(const std::string& key, const std::string& name) {
  QSettings s(QString::fromStdString(file_), QSettings::IniFormat);
  QString path = QString::fromStdString(Resolve(key));
  QString sk = path + "/" + StringKey(name), nk = path + "/" + NumberKey(name);
  if (!s.contains(sk) && !s.contains(nk)) return false;
  s.remove(sk);
  s.remove(nk);
  if (!Saved(s)) return false;
  if (IsAutostart(key, name)) return RemoveAutostart();
  return true;
}

bool Registry::IsAutostart(const std::string& key, const std::string& name) const {
  auto a = SplitKey(key), b = SplitKey(kRunKey);
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), SameIgnoringCase) &&
         SameIgnoringCase(name, autostartName_);
}

bool Registry::WriteAutostart(const std::string& command) {
  if (!QDir().mkpath(QString::fromStdString(autostartFolder_))) return false;
  std::string path = AutostartFile();
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out << "[Desktop Entry]\n"
        << "Type=Application\n"
        << "Name=YUX\n"
        << "Exec=" << DesktopExecFromCommandLine(command) << "\n"
        << "X-GNOME-Autostart-enabled=true\n";
    out.flush();
    if (!out) {
      std::remove(tmp.c_str());
      return false;
    }
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

bool Registry::RemoveAutostart() {
  std::string path = AutostartFile();
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace yux::platform
