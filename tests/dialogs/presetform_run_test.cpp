// A preset made in the dialog, run by the real program from a command-line
// request through the stand-in archiver: the archive holds what the lists
// include and nothing that the exclude list, the masks or the attributes
// leave out, opens only with the password and carries the comment.
#include <QCheckBox>
#include <QElapsedTimer>
#include <QDropEvent>
#include <QListWidget>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QTabWidget>
#include <QThread>
#include <QTreeView>
#include <QUrl>

#include <algorithm>
#include <set>
#include <sstream>

#include "dialogs/addfoldersform.h"
#include "dialogs/excludeform.h"
#include "tests/dialogs/presetform_fixture.h"

using namespace yux;
using namespace yux::test;

namespace {

class PresetRun : public PresetDialogTest {
 protected:
  TempDir files;
};

std::set<std::string> ArchiveNames(const fs::path& archive) {
  auto listed = RunProgram({"bsdtar", "-tf", archive.string()}, {}, 20000);
  EXPECT_EQ(listed.exitCode, 0) << listed.err;
  std::set<std::string> names;
  std::istringstream in(listed.out);
  for (std::string l; std::getline(in, l);)
    if (!l.empty() && l.back() != '/') names.insert(l);
  return names;
}

}  // namespace

TEST_F(PresetRun, APresetMadeInTheDialogRunsFromTheCommandLine) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  YUX_REQUIRE_PROGRAM("7z");
  const fs::path src = files.path() / "src";
  const fs::path other = files.path() / "other";
  const fs::path dest = files.path() / "dest";
  fs::create_directories(src / "skip");
  fs::create_directories(other);
  fs::create_directories(dest);
  WriteFile(src / "keep.txt", "keep me\n");
  WriteFile(src / "B.txt", "upper\n");
  WriteFile(src / "b.txt", "lower\n");
  WriteFile(src / "photo.jpg", "not a text\n");     // left out by the masks
  WriteFile(src / ".hidden.txt", "hidden\n");       // left out by the attribute
  WriteFile(src / "skip" / "inner.txt", "inner\n");  // left out by the exclude list
  WriteFile(other / "extra.txt", "from the browser\n");

  auto form = Open(kNewPresetName);
  form->show();
  form->epresetname->setText("Run Me");
  form->earcname->setText("runme");
  form->eadddate->clear();
  form->evolumes->setCurrentIndex(0);  // no volumes
  form->cfolder->click();
  form->efoldername->setText(QString::fromStdString(dest.string()));
  hooks.entry = "Secret 7";
  form->cpass->click();

  Drop(*form, form->inc, {src});
  Drop(*form, form->exc, {src / "skip"});
  ASSERT_EQ(form->inc->count(), 1);
  ASSERT_EQ(form->exc->count(), 1);
  WhenShown<Taddfoldersform>([&](Taddfoldersform* browser) {
    ASSERT_TRUE(browser->BrowseTo(other.string()));
    browser->ListView->clearSelection();
    ASSERT_TRUE(browser->SelectPath((other / "extra.txt").string()));
    browser->binclick();
    browser->bok->click();
  });
  form->bbrowser->click();
  WhenShown<TForm13>([](TForm13* advanced) {
    advanced->chid->setChecked(true);
    advanced->efilter->setPlainText("*.txt");
    advanced->okbut->click();
  });
  form->bexcadv->click();
  form->presnotes->setPlainText("Made for the run.");
  form->arccomment->setPlainText("Made by the dialog");
  ASSERT_TRUE(form->bupdateClick()) << ::testing::PrintToString(Texts());
  form.reset();

  // The real program, first instance, with the preset's name as its
  // request: it is due at once.
  QProcess yux;
  auto env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  env.remove("DISPLAY");
  env.remove("WAYLAND_DISPLAY");
  yux.setProcessEnvironment(env);
  yux.start(QString::fromStdString(BuiltProgram("yux").string()), {"Run Me"});
  ASSERT_TRUE(yux.waitForStarted(10000));
  const fs::path archive = dest / "runme.rar";
  const fs::path log = settings / "yux.log";
  QElapsedTimer t;
  t.start();
  while (ReadFile(log).find("Run Me: Done.") == std::string::npos && t.elapsed() < 60000) QThread::msleep(100);
  yux.terminate();
  yux.waitForFinished(20000);
  ASSERT_TRUE(fs::exists(archive)) << ReadFile(log) << yux.readAllStandardError().toStdString();

  SCOPED_TRACE(ReadFile(log) + ReadFile(settings / "winrar.log"));
  const auto names = ArchiveNames(archive);
  for (const char* included : {"keep.txt", "B.txt", "b.txt", "extra.txt"})
    EXPECT_TRUE(names.count(included)) << included << " in " << ::testing::PrintToString(names);
  for (const char* left : {"photo.jpg", ".hidden.txt", "skip/inner.txt"})
    EXPECT_FALSE(names.count(left)) << left << " in " << ::testing::PrintToString(names);

  const fs::path out = files.path() / "out";
  auto wrong = RunProgram({"7z", "x", "-pWrong", "-y", "-o" + out.string(), archive.string()}, {}, 20000);
  EXPECT_NE(wrong.exitCode, 0);
  auto right = RunProgram({"7z", "x", "-pSecret 7", "-y", "-o" + out.string(), archive.string()}, {}, 20000);
  EXPECT_EQ(right.exitCode, 0) << right.out << right.err;
  EXPECT_EQ(ReadFile(out / "keep.txt"), "keep me\n");
  EXPECT_EQ(ReadFile(out / "b.txt"), "lower\n");

  auto listing = RunProgram({BuiltProgram("winrar").string(), archive.string()}, {}, 20000);
  EXPECT_NE(listing.out.find("Comment: Made by the dialog"), std::string::npos) << listing.out << listing.err;
}
