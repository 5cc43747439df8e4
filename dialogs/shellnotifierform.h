#pragma once
// The shell notifier's dialog: the nine tasks in a check list and the
// selected task's folder, preset, delays and filters.  It edits a working
// copy; the live tasks change on OK (and through "Make it active right
// now").
#include <QDialog>

#include <functional>
#include <string>
#include <vector>

#include "core/services/shellnotifier.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;

namespace yux {

class Tshellnotifierform : public QDialog {
  Q_OBJECT

 public:
  // `presets`: the captions of the main window's preset list.
  explicit Tshellnotifierform(const std::vector<std::string>& presets, QWidget* parent = nullptr);
  ~Tshellnotifierform() override;

  // The task whose working copy the controls show (1..9), 0 for none.
  int SelectedTask() const;
  void SelectTask(int n);
  // "Update task info": controls -> working copy of the selected task.
  void UpdateTaskInfo();
  // "Make it active right now".
  void MakeActiveNow();
  // OK: only with a task selected.
  void OkClick();
  const ShellNotifierArray& WorkingCopy() const { return work_; }

  // The folder picker; tests replace it.
  std::function<std::string(QWidget*)> PickFolder;

  QListWidget* CheckListBox1 = nullptr;
  QLabel* Label1 = nullptr;
  QLineEdit* ename = nullptr;
  QLabel* Label2 = nullptr;
  QLineEdit* efolder = nullptr;
  QPushButton* bgetpath = nullptr;
  QLabel* Label3 = nullptr;
  QComboBox* epreset = nullptr;
  QCheckBox* esubfolders = nullptr;
  QGroupBox* GroupBox1 = nullptr;
  QLabel* Label4 = nullptr;
  QSpinBox* eexecdelay = nullptr;
  QLabel* Label5 = nullptr;
  QSpinBox* einactivedelay = nullptr;
  QLabel* Label6 = nullptr;
  QLineEdit* einactivetill = nullptr;
  QPushButton* BitBtn5 = nullptr;
  QGroupBox* GroupBox2 = nullptr;
  QCheckBox* cfn = nullptr;
  QCheckBox* cdn = nullptr;
  QCheckBox* csz = nullptr;
  QCheckBox* clw = nullptr;
  QCheckBox* cat = nullptr;
  QPushButton* bupdate = nullptr;
  QPushButton* BitBtn1 = nullptr;  // OK
  QPushButton* BitBtn2 = nullptr;  // Cancel
  QPushButton* BitBtn3 = nullptr;  // help

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void done(int result) override;

 private:
  void ShowTask(int n);
  void ShowInactiveTill(TDateTime when);

  ShellNotifierArray work_;
  bool shown_ = false;
  bool loading_ = false;  // the controls are being filled: no write-back
  bool accepted_ = false;
};

}  // namespace yux
