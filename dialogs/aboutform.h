#pragma once
// The about box: a borderless picture with the product text and a close
// button.  At start-up it is the splash: while the main window's splash
// timer runs its close button is disabled and it closes when the timer
// runs out.
#include <QDialog>
#include <QPointer>

class QLabel;
class QMenu;
class QPushButton;
class QTimer;

namespace yux {

// The product text of the about box; its second line is the build's version.
QString AboutProductText();

class TForm6 : public QDialog {
  Q_OBJECT

 public:
  // `splashTimer`: the main window's splash timer (none: a plain about box).
  explicit TForm6(QTimer* splashTimer = nullptr, QWidget* parent = nullptr);

  QLabel* softinfo = nullptr;
  QPushButton* bclose = nullptr;
  QMenu* PopupMenu1 = nullptr;

  // Every way of closing ends here; it stops the splash timer.
  void done(int result) override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPointer<QTimer> splashTimer_;
};

}  // namespace yux
