#pragma once
// The password dialog: asks for a password once (to check it) or twice (to
// set a new one).  It reads and writes the process-wide PasswordConfirmMode,
// PasswordText and PasswordAccepted.
#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

namespace yux {

class TForm7 : public QDialog {
  Q_OBJECT

 public:
  explicit TForm7(QWidget* parent = nullptr);

  // OK: in confirm mode two different entries show "Passwords are
  // different." and keep the dialog open.
  void BitBtn1Click();

  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* Edit1 = nullptr;
  QLineEdit* Edit2 = nullptr;
  QPushButton* BitBtn1 = nullptr;
};

}  // namespace yux
