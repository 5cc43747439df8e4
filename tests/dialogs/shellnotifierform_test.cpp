// The shell notifier's dialog: tasks shown and edited in a working copy,
// a picked folder landing in the selected task, OK and closing without it.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QKeyEvent>

#include <gtest/gtest.h>

#include <filesystem>

#include "core/services/shellnotifier.h"
#include "core/store/options.h"
#include "dialogs/shellnotifierform.h"
#include "platform/messagebox.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

class NotifierDialog : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("YUX_HOME", home.str().c_str(), 1);
    platform::SetMessageBoxService(boxes);
    Options = topt{};
    ShellNotifierArray tasks;
    for (int n = 1; n <= kShellNotifierTasks; ++n) tasks[n - 1] = DefaultShellNotifierTask(n);
    tasks[0].Name = "Mail";
    tasks[2].Name = "Photos";
    tasks[2].Folder = "/old";
    ASSERT_TRUE(SaveShellNotifierTasks(tasks));
  }
  void TearDown() override {
    StopShellNotifiers();
    platform::SetMessageBoxService(nullptr);
    unsetenv("YUX_HOME");
  }
  test::TempDir home;
  std::shared_ptr<platform::ScriptedMessageBoxService> boxes = std::make_shared<platform::ScriptedMessageBoxService>();
};

}  // namespace

TEST_F(NotifierDialog, APickedFolderLandsInTheSelectedTaskAndOkSavesAndStarts) {
  test::TempDir watched;
  Tshellnotifierform dialog({"Daily", "Weekly"});
  dialog.PickFolder = [&](QWidget*) { return watched.str(); };
  dialog.show();
  QApplication::processEvents();
  EXPECT_EQ(dialog.SelectedTask(), 1);
  EXPECT_EQ(dialog.ename->text(), "Mail");
  EXPECT_EQ(dialog.CheckListBox1->item(2)->text(), "Photos");

  dialog.SelectTask(3);
  EXPECT_EQ(dialog.efolder->text(), "/old");
  dialog.epreset->setEditText("Weekly");
  dialog.eexecdelay->setValue(7);
  dialog.UpdateTaskInfo();
  // The picker makes the dialog inactive and active again; the task stays.
  dialog.bgetpath->click();
  dialog.hide();
  dialog.show();
  QApplication::processEvents();
  EXPECT_EQ(dialog.SelectedTask(), 3);
  EXPECT_EQ(dialog.efolder->text().toStdString(), watched.str());
  EXPECT_EQ(dialog.WorkingCopy()[2].Folder, watched.str());
  EXPECT_EQ(dialog.WorkingCopy()[2].Preset, "Weekly");
  EXPECT_EQ(dialog.WorkingCopy()[0].Folder, "");

  dialog.CheckListBox1->item(2)->setCheckState(Qt::Checked);
  EXPECT_TRUE(dialog.WorkingCopy()[2].Enabled);
  // The live tasks change only on OK.
  EXPECT_EQ(ShellNotifierTasks[2].Folder, "/old");
  dialog.BitBtn1->click();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(ShellNotifierTasks[2].Folder, watched.str());
  EXPECT_EQ(ShellNotifierTasks[2].ExecDelay, 7);
  EXPECT_TRUE(ShellNotifierWatching(3));
  ShellNotifierArray saved;
  LoadShellNotifierTasks(saved);
  EXPECT_EQ(saved[2], ShellNotifierTasks[2]);
}

TEST_F(NotifierDialog, ClosingWithoutOkKeepsWhatTheFileHolds) {
  {
    Tshellnotifierform dialog({});
    dialog.show();
    QApplication::processEvents();
    dialog.SelectTask(3);
    dialog.MakeActiveNow();  // touches the live task too
    dialog.ename->setText("Renamed");
    dialog.UpdateTaskInfo();
    QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(&dialog, &esc);
    EXPECT_EQ(dialog.result(), QDialog::Rejected);
  }
  EXPECT_EQ(ShellNotifierTasks[2].Name, "Photos");
  EXPECT_EQ(ShellNotifierTasks[2].InactiveTill, DefaultShellNotifierTask(3).InactiveTill);

  Tshellnotifierform shot({"Daily"});
  shot.resize(640, 420);
  shot.show();
  QApplication::processEvents();
  const fs::path screens = test::BuildDir() / "screens";
  fs::create_directories(screens);
  EXPECT_TRUE(shot.grab().save(QString::fromStdString((screens / "shell_notifier.png").string())));
}
