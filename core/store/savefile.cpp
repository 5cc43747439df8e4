// Saving a settings or list file whole, never half-written.
#include "core/store/savefile.h"

#include <QSaveFile>
#include <QString>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace yux {

namespace fs = std::filesystem;

std::optional<unsigned> SettingsFileMode(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.empty() ? "." : folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
  if (st.st_mode & S_IRWXO) return std::nullopt;
  if (!(st.st_mode & S_IRWXG)) return 0600;
  if (st.st_mode & S_ISGID) return 0660;
  return std::nullopt;
}

void ApplySettingsFileMode(const std::string& path) {
  if (const auto mode = SettingsFileMode(fs::path(path).parent_path().string()))
    ::chmod(path.c_str(), static_cast<mode_t>(*mode));
}

bool MakeSettingsFolder(const std::string& folder, unsigned mode, std::string* error) {
  std::error_code ec;
  const bool existed = fs::is_directory(folder, ec);
  if (!existed) {
    fs::create_directories(fs::path(folder).parent_path(), ec);
    if (::mkdir(folder.c_str(), static_cast<mode_t>(mode & 0777)) != 0 && errno != EEXIST) {
      if (error) *error = std::strerror(errno);
      return false;
    }
  }
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    if (error) *error = "not a folder";
    return false;
  }
  // The mode of a folder someone else owns is theirs to set; the umask
  // narrowed the one made here, and the setgid bit needs chmod.
  if (st.st_uid == ::geteuid() && (st.st_mode & 07777) != mode) ::chmod(folder.c_str(), static_cast<mode_t>(mode));
  return true;
}

std::optional<std::string> ReadFileWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

bool SaveFileWhole(const std::string& path, const std::string& data, std::string* error) {
  QSaveFile file(QString::fromStdString(path));
  // Unbuffered: a buffered write reports every byte as taken, and a short
  // write when the buffer is flushed at commit goes unnoticed, so the cut
  // file would replace the good one.
  bool ok = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
  if (ok) {
    // The mode is set on the temporary file, before any byte is in it, so
    // the new file is never readable by others even for a moment.
    if (const auto mode = SettingsFileMode(fs::path(path).parent_path().string()))
      ::fchmod(file.handle(), static_cast<mode_t>(*mode));
    const char* p = data.data();
    qint64 left = static_cast<qint64>(data.size());
    while (ok && left > 0) {
      const qint64 n = file.write(p, left);
      ok = n > 0;
      if (ok) {
        p += n;
        left -= n;
      }
    }
  }
  if (ok) ok = file.commit();
  else file.cancelWriting();
  if (!ok && error) *error = "Cannot write " + path + ": " + file.errorString().toStdString();
  return ok;
}

}  // namespace yux
