#pragma once
// The archiver locator, shown at start when no archiver was found: the user
// picks the program, lets it be searched for, or postpones the choice.
#include <QDialog>

#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

namespace yux {

// The located archiver (empty when none was chosen) and the search's
// cancel flag.
extern std::string LocatedWinRarPath;
extern bool LocatorCancel;

class TForm12 : public QDialog {
  Q_OBJECT

 public:
  explicit TForm12(QWidget* parent = nullptr);

  // The file dialog beside the path box.
  void Button1Click();
  // OK: an executable file becomes the located path and the dialog closes;
  // anything else shows "Wrong WinRAR.exe selection!".
  void bokClick();
  // "I'll do it later": no path, the dialog closes.
  void LaterClick();
  // "Search automatically" searches `searchRoot`; pressed again while it
  // searches it cancels.  A found program becomes the located path; the
  // dialog then closes.
  void bsearchClick();

  std::string searchRoot = "/";

  QLabel* Label1 = nullptr;  // the search's state
  QLabel* Label2 = nullptr;  // "I'll do it later ..."
  QLineEdit* Edit1 = nullptr;
  QPushButton* Button1 = nullptr;
  QPushButton* bok = nullptr;
  QPushButton* bsearch = nullptr;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
};

}  // namespace yux
