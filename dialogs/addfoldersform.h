#pragma once
// The preset dialog's file browser: it browses the file system from the
// home folder, collects files and folders for the include and the exclude
// list, and on OK appends them to the preset dialog's lists.
#include <QAbstractTableModel>
#include <QDialog>
#include <QFileIconProvider>
#include <QIcon>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class QComboBox;
class QListWidget;
class QPushButton;
class QSpinBox;
class QToolButton;
class QTreeView;

namespace yux {

class TForm3;

// One row of the browser.  The details are fetched when the row is first
// shown.
struct TShellItem {
  std::string ParsingName;  // the full path
  bool DetailsPending = true;
  bool IsFolder = false;
  bool IsRegular = false;  // a regular file (or a folder): only these can be collected
  QString KindName;
  QIcon Icon;
  std::uint64_t SizeKb = 0;  // whole KB rounded up, at least 1 (64-bit: no size is cut)
  unsigned AttributeBits = 0;
  QString ModifiedText;
};

// The attribute column's letters: R, H, S, A in this order.
QString AttributeLetters(unsigned bits);
// Why a path cannot be collected: nothing for a regular file or a folder
// outside /proc, /sys and /dev.
bool CanCollect(const std::string& path);

// The rows of one folder: folders first, then files, each by name.
class ShellFolderModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit ShellFolderModel(QObject* parent = nullptr);
  // Reads the folder; false (rows unchanged) when it cannot be read.
  bool Browse(const std::string& folder);
  const std::string& Folder() const { return folder_; }
  // The row with its details fetched.
  const TShellItem& Item(int row) const;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  QString Headers[5] = {"Name", "Size", "Type", "Modified", "Attributes"};

 private:
  void FetchDetails(TShellItem& item) const;

  std::string folder_;
  mutable std::vector<TShellItem> items_;
  QFileIconProvider icons_;
};

class Taddfoldersform : public QDialog {
  Q_OBJECT

 public:
  explicit Taddfoldersform(TForm3* presetForm, QWidget* parent = nullptr);
  ~Taddfoldersform() override;

  // Browses to a folder; false (with a message, staying) when it cannot.
  bool BrowseTo(const std::string& folder);
  // What Enter in the path box does: a drive letter through the drive
  // map, else the typed folder.
  void PathEntered(const QString& text);
  // One folder up; a beep at "/".
  void btnBackClick();
  // Into the row when it is a folder.
  void OpenRow(int row);
  void binclick();
  void bexcClick();
  void bokClick();
  // Adds the row of that path to the selection; false when there is none.
  bool SelectPath(const std::string& path);

  QToolButton* btnBrowse = nullptr;
  QToolButton* btnBack = nullptr;
  QComboBox* cbPath = nullptr;
  QTreeView* ListView = nullptr;
  ShellFolderModel* Rows = nullptr;
  QPushButton* binc = nullptr;
  QPushButton* bexc = nullptr;
  QListWidget* memo = nullptr;   // to be added to the include list
  QListWidget* memo1 = nullptr;  // to be added to the exclude list
  QSpinBox* SpinButton1 = nullptr;
  QPushButton* bok = nullptr;
  QPushButton* bcancel = nullptr;
  QPushButton* bhelp = nullptr;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 public:
  void done(int result) override;

 private:
  void Collect(QListWidget* target, bool include);

  TForm3* preset_;
};

}  // namespace yux
