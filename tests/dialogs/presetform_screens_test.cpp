// Pictures of the preset dialog's pages, the exclude options, the file
// browser and the drive information box, saved to build/screens/ for review.
#include <QMessageBox>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>

#include "dialogs/addfoldersform.h"
#include "dialogs/excludeform.h"
#include "tests/dialogs/presetform_fixture.h"

using namespace yux;
using namespace yux::test;

namespace {

class PresetScreens : public PresetDialogTest {
 protected:
  void Save(QWidget& w, const std::string& name) {
    const fs::path screens = BuildDir() / "screens";
    fs::create_directories(screens);
    const QPixmap picture = w.grab();
    EXPECT_FALSE(picture.isNull());
    EXPECT_TRUE(picture.save(QString::fromStdString((screens / name).string()))) << name;
  }
};

}  // namespace

TEST_F(PresetScreens, FilledPresetExcludeOptionsBrowserAndDriveInformation) {
  UseRecorder();
  tarcopt r;
  SetPresetDefaults(r);
  r.nam = "docs";
  r.dir = "/srv/backup/docs";
  r.ctf = true;
  r.cmp = 4;
  r.vol = "650m";
  r.pwd = "secret";
  r.pas = true;
  r.tst = true;
  r.arr = true;
  r.rrp = 3;
  r.wpc = true;
  r.wpp = 8;
  r.wps = 20;
  r.cdr = "E";
  r.cdw = true;
  r.cdv = true;
  r.ftp = true;
  r.fse = "ftp.example.test";
  r.fus = "backup";
  r.ffo = "/nightly";
  r.smt = true;
  r.sse = "smtp.example.test";
  r.sfr = "yux@example.test";
  r.sto = "admin@example.test";
  r.cco = true;
  r.ccv = 7;
  r.eba = true;
  r.ebs = true;
  r.ebe = "/usr/local/bin/prepare-backup";
  r.efa = "-eH";
  ASSERT_TRUE(SavePreset("Documents", r));
  ASSERT_TRUE(WritePresetList("Documents", ".inc", {"/home/user/Documents/*.*", "/home/user/notes.txt"}));
  ASSERT_TRUE(WritePresetList("Documents", ".exc", {"/home/user/Documents/cache", "*.tmp"}));
  ASSERT_TRUE(WritePresetList("Documents", ".not", {"Nightly copy of the documents.", "Two copies are kept."}));
  ASSERT_TRUE(WritePresetList("Documents", ".cmt", {"Documents of the night"}));
  ASSERT_TRUE(WritePresetList("Documents", ".flt", {"*.odt", "*.txt"}));

  auto form = Open("Documents");
  form->resize(1100, 760);
  form->show();
  const char* pages[] = {"preset_general.png", "preset_actions.png", "preset_filelists.png", "preset_notes.png"};
  for (int i = 0; i < 4; ++i) {
    form->PageControl1->setCurrentIndex(i);
    QApplication::processEvents();
    Save(*form, pages[i]);
  }

  TForm13 exclude(form.get());
  exclude.resize(520, 420);
  exclude.show();
  QApplication::processEvents();
  Save(exclude, "exclude_options.png");

  Taddfoldersform browser(form.get());
  browser.show();
  ASSERT_TRUE(browser.BrowseTo(SourceDir().string()));
  QApplication::processEvents();
  Save(browser, "file_browser.png");

  form->PageControl1->setCurrentIndex(1);
  form->bburnerinfo->click();
  QString text = QString::fromStdString(boxes->Asked().back().text);
  text.replace('\r', '\n');
  QMessageBox box(QMessageBox::Information, "YUX for WinRAR", text, QMessageBox::Ok);
  box.show();
  QApplication::processEvents();
  Save(box, "drive_information.png");
}
