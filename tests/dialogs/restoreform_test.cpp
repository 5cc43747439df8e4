// The restore window offscreen: the history rows, the copy refresh, the
// e-mail text, a copy row restored with the real stand-in archiver, Enter
// on a row, and Help without a manual.
#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QPushButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>

#include "core/run/foldercopy.h"
#include "core/services/startup.h"
#include "core/store/folders.h"
#include "core/store/skin.h"
#include "dialogs/restoreform.h"
#include "tests/dialogs/presetform_fixture.h"
#include "tests/dialogs/restore_fixture.h"

using namespace yux;
using namespace yux::test;
namespace fs = std::filesystem;

namespace {

class RestoreForm : public RestoreTest {
 protected:
  std::vector<std::string> Kinds(Trestoreform& f) {
    std::vector<std::string> kinds;
    for (int i = 0; i < f.histlist->topLevelItemCount(); ++i)
      kinds.push_back(f.histlist->topLevelItem(i)->text(1).toStdString());
    return kinds;
  }
};

}  // namespace

TEST_F(RestoreForm, HistoryRowsRefreshEmailAndACopyRestored) {
  const std::string winrar = BuiltProgram("winrar").string();
  WinRarPath = winrar;
  // The archive a copy delivery left, with a password the preset no longer has.
  std::map<std::string, std::string> files{{"a b.txt", "alpha"},
                                           {"sub/\xc3\xbc\xc3\xa9.bin", std::string("\0\1\xfe\xff", 4)}};
  for (auto& [n, d] : files) {
    fs::create_directories((work / "src" / n).parent_path());
    WriteFile(work / "src" / n, d);
  }
  fs::create_directories(work / "dest");
  const std::string archive = (work / "dest/P 2024.rar").string();
  ProcessResult made = RunProgram({winrar, "a", "-ep1", "-r", "-ibck", "-hpp w", archive, (work / "src").string()});
  ASSERT_EQ(made.exitCode, 0) << made.err;

  // An empty history is said in a box; the list is left alone.
  Trestoreform empty("P");
  EXPECT_FALSE(empty.LoadRestoreHistory());
  EXPECT_FALSE(empty.LoadOrReportEmpty());
  ASSERT_EQ(boxes->Asked().size(), 1u);
  EXPECT_NE(boxes->Asked()[0].text.find("The backup history of this preset is empty."), std::string::npos);
  EXPECT_EQ(empty.histlist->topLevelItemCount(), 0);

  QDateTime t(QDate(2024, 5, 6), QTime(10, 0));
  for (int i = 1; i <= 4; ++i)
    AddHistoryLine("P", kHistoryCopy, (work / ("dest/gone" + std::to_string(i) + ".rar")).string(), t.addSecs(i * 60));
  AddHistoryLine("P", kHistoryCopy, archive, t.addSecs(300));
  AddHistoryLine("P", kHistoryFtp, "f1.rar", t.addSecs(400));
  AddHistoryLine("P", kHistoryFtp, "f2.rar", t.addSecs(500));
  AddHistoryLine("P", kHistorySmtp, "me@example.org/P 2024.rar", t.addSecs(600));
  AddHistoryLine("P", kHistoryCd, archive + ".cd", t.addSecs(700));
  AddHistoryLine("P", "7-OTHER", "elsewhere.rar", t.addSecs(800));

  Trestoreform f("P");
  ASSERT_TRUE(f.LoadRestoreHistory());
  EXPECT_EQ(Kinds(f), (std::vector<std::string>{"7-OTHER", "1-CD", "2-SMTP", "3-FTP", "3-FTP", "4-COPY", "4-COPY",
                                                "4-COPY"}));
  f.only3items->click();
  EXPECT_EQ(Kinds(f), (std::vector<std::string>{"7-OTHER", "1-CD", "2-SMTP", "3-FTP", "3-FTP", "4-COPY", "4-COPY",
                                                "4-COPY", "4-COPY", "4-COPY"}));
  f.only3items->click();
  EXPECT_EQ(Kinds(f).size(), 8u);
  f.only3items->click();

  f.brefrcopy->click();
  EXPECT_EQ(Trestoreform::RowImage(Row(f, archive)), 0);
  EXPECT_EQ(Trestoreform::RowImage(Row(f, (work / "dest/gone1.rar").string())), 1);
  EXPECT_EQ(Trestoreform::RowImage(Row(f, "f1.rar")), 2);

  // A row of another kind does nothing.
  f.histlistDblClick(Row(f, "elsewhere.rar"));
  EXPECT_EQ(boxes->Asked().size(), 1u);
  f.histlistDblClick(Row(f, "me@example.org/P 2024.rar"));
  f.histlistDblClick(Row(f, (work / "dest/gone1.rar").string()));
  auto asked = boxes->Asked();
  asked.erase(asked.begin());
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_NE(asked[0].text.find(
                "Please start your e-mail client, open me@example.org account and locate a message with the subject "
            "\"P 2024.rar (sent by YUX).\". It was sent on 2024.05.06. Save the attached archive to your hard "
            "drive and doubleclick it to open it in WinRAR."),
            std::string::npos)
      << asked[0].text;
  EXPECT_NE(asked[1].text.find("Cannot locate this file"), std::string::npos);

  // The preset has no password now: the archiver refuses, the user is asked.
  hooks.entry = "p w";
  fs::create_directories(work / "to");
  f.chooseFolder = [&] { return (work / "to").string(); };
  std::vector<std::string> shown;
  f.showFolder = [&](const std::string& folder) { shown.push_back(folder); };
  f.histlistDblClick(Row(f, archive));
  EXPECT_EQ(hooks.asked, 1);
  EXPECT_EQ(shown, std::vector<std::string>{(work / "to/P 2024").string()});
  EXPECT_EQ(hooks.lastCaption, "Enter password for P 2024.rar");
  for (auto& [n, d] : files) EXPECT_EQ(ReadFile(work / "to/P 2024/src" / n), d) << n;
  asked = boxes->Asked();
  asked.erase(asked.begin());
  ASSERT_EQ(asked.size(), 3u);
  EXPECT_NE(asked[2].text.find("restored to " + (work / "to/P 2024").string()), std::string::npos)
      << asked[2].text;
  // The folder was created for this restore; a second one gets its own.
  f.histlistDblClick(Row(f, archive));
  EXPECT_EQ(ReadFile(work / "to/P 2024 (2)/src/a b.txt"), "alpha");
  // A disc row whose file can be reached restores the same way.
  fs::copy_file(archive, archive + ".cd");
  f.histlistDblClick(Row(f, archive + ".cd"));
  EXPECT_EQ(ReadFile(work / "to/P 2024.rar/src/a b.txt"), "alpha");

  const fs::path screens = BuildDir() / "screens";
  fs::create_directories(screens);
  f.show();
  QCoreApplication::processEvents();
  EXPECT_TRUE(f.grab().save(QString::fromStdString((screens / "restoreform.png").string())));
}

TEST_F(RestoreForm, TheDateColumnShowsTheWholeDateAndTime) {
  const QDateTime t(QDate(2026, 12, 28), QTime(23, 58, 59));
  AddHistoryLine("P", kHistoryCopy, "/srv/backup/P 2026.rar", t);
  AddHistoryLine("P", kHistoryFtp, "P 2026.rar", t.addSecs(60));
  Trestoreform f("P");
  ASSERT_TRUE(f.LoadRestoreHistory());
  f.show();
  QCoreApplication::processEvents();
  ASSERT_EQ(f.histlist->topLevelItemCount(), 2);
  EXPECT_EQ(f.histlist->topLevelItem(0)->text(0).left(19).toStdString(), "2026.12.28 23:59:59");
  // The room the widest date needs, its picture included, is there: sized
  // to its contents the column grows no wider.
  const int shown = f.histlist->columnWidth(0);
  f.histlist->header()->setSectionResizeMode(0, QHeaderView::Interactive);
  f.histlist->resizeColumnToContents(0);
  EXPECT_GE(shown, f.histlist->columnWidth(0));
}

TEST_F(RestoreForm, ASkinColoursTheHistoryList) {
  const tskin saved = Skin;
  Skin.PresetType = kSkinTiled;
  Skin.FileListBackground = "102030";
  Skin.FileListColor = "f0e0d0";
  Trestoreform skinned("P");
  EXPECT_EQ(skinned.histlist->palette().color(QPalette::Base), QColor(0x10, 0x20, 0x30));
  EXPECT_EQ(skinned.histlist->palette().color(QPalette::Text), QColor(0xf0, 0xe0, 0xd0));
  EXPECT_NE(skinned.findChild<QObject*>("skinBackground"), nullptr);
  Skin = saved;
  Trestoreform plain("P");
  EXPECT_NE(plain.histlist->palette().color(QPalette::Base), QColor(0x10, 0x20, 0x30));
}

namespace {
// A key pressed on a widget of a shown window (what the focus widget gets).
void Press(QWidget* w, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  QKeyEvent press(QEvent::KeyPress, key, modifiers);
  QApplication::sendEvent(w, &press);
  QKeyEvent release(QEvent::KeyRelease, key, modifiers);
  QApplication::sendEvent(w, &release);
}
}  // namespace

TEST_F(RestoreForm, EnterOnARowDoesWhatTheDoubleClickDoesAndNotTheLink) {
  const std::string here = (work / "dest" / "here.rar").string();
  const std::string gone = (work / "dest" / "gone.rar").string();
  WriteFile(here, "x");
  const QDateTime t(QDate(2024, 5, 6), QTime(10, 0));
  AddHistoryLine("P", kHistoryCopy, here, t);
  AddHistoryLine("P", kHistoryCopy, gone, t.addSecs(60));
  Trestoreform f("P");
  ASSERT_TRUE(f.LoadRestoreHistory());
  // A row whose archive is there asks for the folder to restore into
  // (cancelled here); one whose archive is gone says so.
  int asked = 0;
  f.chooseFolder = [&] {
    ++asked;
    return std::string();
  };
  int linkClicks = 0;
  QObject::connect(f.openfolder, &QPushButton::clicked, [&] { ++linkClicks; });
  bool shown = false;
  WhenShown<Trestoreform>([&](Trestoreform* d) {
    shown = true;
    d->histlist->setFocus();
    // Nothing selected: nothing happens.
    d->histlist->clearSelection();
    Press(d->histlist, Qt::Key_Return);
    EXPECT_EQ(asked, 0);
    EXPECT_TRUE(boxes->Asked().empty());

    d->histlist->setCurrentItem(Row(*d, here));
    Press(d->histlist, Qt::Key_Return);
    EXPECT_EQ(asked, 1);
    d->histlist->setCurrentItem(Row(*d, gone));
    Press(d->histlist, Qt::Key_Enter, Qt::KeypadModifier);
    const auto said = boxes->Asked();
    EXPECT_EQ(said.size(), 1u);
    EXPECT_TRUE(!said.empty() && said.back().text.find("Cannot locate this file") != std::string::npos);
    EXPECT_TRUE(d->isVisible()) << "Enter on a row does not close the window";
    d->bclose->click();  // also after a failure: the modal loop must end
  });
  f.exec();
  EXPECT_TRUE(shown);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(linkClicks, 0);
  EXPECT_EQ(boxes->Asked().size(), 1u);
  EXPECT_FALSE(f.openfolder->autoDefault());
}

TEST_F(RestoreForm, HelpSaysThatNoManualIsInstalled) {
  const std::string savedProgram = ProgramFolder;
  ProgramFolder = (work / "program").string();
  AddHistoryLine("P", kHistoryCopy, (work / "dest" / "a.rar").string(), QDateTime(QDate(2024, 5, 6), QTime(10, 0)));
  Trestoreform f("P");
  ASSERT_TRUE(f.LoadRestoreHistory());
  WhenShown<Trestoreform>([&](Trestoreform* d) {
    Press(d, Qt::Key_F1);
    d->bhelp->click();
    d->bclose->click();
  });
  f.exec();
  const std::string text = "\rNo user manual is installed: \"" +
                           (work / "program" / "manual" / "restoring_backup_files.htm").string() + "\" does not exist.";
  ASSERT_EQ(boxes->Asked().size(), 2u);
  EXPECT_EQ(boxes->Asked()[0].text, text);
  EXPECT_EQ(boxes->Asked()[1].text, text);
  ProgramFolder = savedProgram;
}
