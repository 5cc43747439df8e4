#pragma once
// The exclude options of the preset dialog: the attribute switch, the
// "don't match" masks and quick buttons that add masks to the exclude
// list.  The switch and the masks stay in the preset dialog and are written
// with its OK; the quick buttons act on its exclude list at once.
#include <QDialog>

#include <string>

class QCheckBox;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace yux {

class TForm3;

// The attribute switch of the checked letters ("-e" + A R H S in this
// order); empty when none is checked.
std::string AttributeSwitch(bool archive, bool readOnly, bool hidden, bool system);

class TForm13 : public QDialog {
  Q_OBJECT

 public:
  explicit TForm13(TForm3* presetForm, QWidget* parent = nullptr);

  // OK stores the masks and the switch in the preset dialog; Cancel stores
  // nothing.
  void okbutClick();
  // Adds a mask to the preset dialog's exclude list unless it holds it,
  // with one message either way.
  void AddMask(const std::string& mask);
  void backupbutClick();
  void tempbutClick();
  void custombutClick();

  QCheckBox* carc = nullptr;
  QCheckBox* cro = nullptr;
  QCheckBox* chid = nullptr;
  QCheckBox* csys = nullptr;
  QPushButton* backupbut = nullptr;
  QPushButton* tempbut = nullptr;
  QPushButton* custombut = nullptr;
  QLineEdit* ecustext = nullptr;
  QPlainTextEdit* efilter = nullptr;
  QPushButton* okbut = nullptr;
  QPushButton* cancelbut = nullptr;
  QPushButton* helpbut = nullptr;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  TForm3* preset_;
};

}  // namespace yux
