#pragma once
// The exit countdown: asks whether the program should really end, and ends
// it by itself after 15 seconds.
#include <QDialog>

class QLabel;
class QPushButton;
class QTimer;

namespace yux {

// The countdown's seconds left.
extern int ExitCountdown;

class TForm9 : public QDialog {
  Q_OBJECT

 public:
  explicit TForm9(QWidget* parent = nullptr);

  // One second passed: the count goes down and is shown; at 0 the dialog
  // closes with 1 (timed out).
  void Timer1Timer();

  QLabel* Label1 = nullptr;  // the question
  QLabel* Label2 = nullptr;  // the seconds left
  QPushButton* BitBtn1 = nullptr;  // exit: 2
  QPushButton* BitBtn2 = nullptr;  // hide to the tray: 4 (shown only where there is a tray)
  QPushButton* BitBtn3 = nullptr;  // cancel: 3
  QTimer* Timer1 = nullptr;

  void done(int result) override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace yux
