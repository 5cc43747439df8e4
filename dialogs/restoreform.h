#pragma once
// The restore window: the delivery history of one preset, newest first, and
// restoring a delivered archive into a folder of the user's choice.
#include <QDialog>

#include <functional>
#include <string>

#include "core/store/presets.h"

class QCheckBox;
class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace yux {

class Trestoreform : public QDialog {
  Q_OBJECT

 public:
  explicit Trestoreform(const std::string& presetName, QWidget* parent = nullptr);

  // Fills the list from the preset's history; false (list untouched) when
  // the history is missing or empty.
  bool LoadRestoreHistory();
  // Fills the list; an empty or missing history is said in a box (false),
  // so that opening the window is never met with silence.
  bool LoadOrReportEmpty();
  // A copy row (or a disc row whose file can be reached) restores its
  // archive; an FTP row is downloaded first; an e-mail row says where the
  // mail is.  The row of any volume of a split backup restores its set from
  // the first volume.
  void histlistDblClick(QTreeWidgetItem* row);
  // Marks each copy row found (image 0) or missing (image 1).
  void brefrcopyClick();
  // Marks each disc row found or missing: the disc must be in the drive.
  void brefrcdClick();
  // Lists the FTP server's folder in the check window and marks each FTP
  // row found or missing.
  void brefrftpClick();

  QLabel* Label1 = nullptr;
  QPushButton* openfolder = nullptr;
  QCheckBox* only3items = nullptr;
  QTreeWidget* histlist = nullptr;
  QPushButton* brefrcopy = nullptr;
  QPushButton* brefrcd = nullptr;
  QPushButton* brefrftp = nullptr;
  QPushButton* bhelp = nullptr;
  QPushButton* bclose = nullptr;

  // Asks for the folder a restore goes into (empty: cancelled).
  std::function<std::string()> chooseFolder;
  // Shows a restored folder (empty: the desktop's file manager).
  std::function<void(const std::string&)> showFolder;
  // Shows an FTP window modally and gives its result (empty: exec).
  std::function<int(QDialog&)> execFtpDialog;

  // The state image of a row: 2 not checked, 0 found, 1 missing.
  static int RowImage(const QTreeWidgetItem* row);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void RestoreFile(const std::string& archive);
  // A disc row: the file is read off the disc into the temp folder and
  // restored from there.
  void RestoreFromDisc(const std::string& location);
  void DownloadFtpRow(const QTreeWidgetItem* row);
  int ExecFtpDialog(QDialog& dialog);
  std::string presetName_;
  tarcopt preset_;
};

}  // namespace yux
