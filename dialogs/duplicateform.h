#pragma once
// The duplicate and rename preset dialog: the selected preset's files go
// to a new name, copied or renamed.
#include <QDialog>

#include <functional>
#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

namespace yux {

// 0 duplicate, 1 rename; set by the caller before the dialog opens.
extern int DuplicateMode;

class TForm8 : public QDialog {
  Q_OBJECT

 public:
  // `source` is the selected preset; the caption follows DuplicateMode.
  explicit TForm8(const std::string& source, QWidget* parent = nullptr);

  // OK: an empty new name keeps the dialog open; a refused name or a failed
  // file shows why, logs the failure and keeps it open; otherwise the files
  // go to the new name (a rename also moves the schedule rows, the
  // previous execution and the shell-notifier tasks), `reloadPresets` runs
  // and the dialog closes.
  void BitBtn1Click();
  // Help, also F1.
  void BitBtn3Click();

  // Rebuilds the main preset list after a change.
  std::function<void()> reloadPresets;

  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* Edit1 = nullptr;
  QLineEdit* Edit2 = nullptr;
  QPushButton* BitBtn1 = nullptr;
  QPushButton* BitBtn2 = nullptr;
  QPushButton* BitBtn3 = nullptr;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace yux
