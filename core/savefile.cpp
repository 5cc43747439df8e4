#include "core/savefile.h"

#include <QSaveFile>
#include <QString>

namespace yux {

bool SaveFileWhole(const std::string& path, const std::string& data, std::string* error) {
  QSaveFile file(QString::fromStdString(path));
  // Unbuffered: a buffered write reports every byte as taken, and a short
  // write when the buffer is flushed at commit goes unnoticed, so the cut
  // file would replace the good one.
  bool ok = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
  if (ok) {
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
