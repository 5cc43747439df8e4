#pragma once
// The about box: a borderless picture with the product text and a close
// button.
#include <QDialog>

class QLabel;
class QMenu;
class QPushButton;

namespace yux {

// The product text of the about box; its second line is the build's version.
QString AboutProductText();

class TForm6 : public QDialog {
  Q_OBJECT

 public:
  explicit TForm6(QWidget* parent = nullptr);

  QLabel* softinfo = nullptr;
  QPushButton* bclose = nullptr;
  QMenu* PopupMenu1 = nullptr;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

}  // namespace yux
