#pragma once
// The bin window: a small window on top of the others, in the bottom-right
// corner of the work area, showing the active bin (keeper or recycle).
// Files and folders dropped on it go to that bin; a double click opens the
// bin's archive.
#include <QWidget>

#include <string>
#include <vector>

class QDragEnterEvent;
class QDropEvent;
class QLabel;

namespace yux {

class TForm1;

// The archive of a bin mode (1 keeper, 2 recycle) in the bin folder.
std::string BinArchivePath(int mode);

class Tyuxbinform : public QWidget {
  Q_OBJECT

 public:
  explicit Tyuxbinform(TForm1* mainWindow, QWidget* parent = nullptr);

  // The creation steps: placement, size and the mode's picture.
  void FormCreate();
  // Shows the picture of the mode and the window when that bin is enabled
  // (mode 0 hides it).
  void UpdateMode(int mode);
  // Paths dropped on the window, in order.
  void DropPaths(const std::vector<std::string>& paths);
  // The double click on the picture: opens the bin's archive.
  void OpenArchive();

  QLabel* bink = nullptr;
  QLabel* binr = nullptr;

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  TForm1* main_;
};

}  // namespace yux
