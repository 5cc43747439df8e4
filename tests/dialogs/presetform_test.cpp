// The preset dialog: a preset made through the controls, every key written
// as the controls say, shown again on reopening and written again byte for
// byte; its lists filled by drops, the browser and the exclude options.
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QListWidget>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeView>
#include <QTabWidget>
#include <QMouseEvent>
#include <QUrl>

#include "dialogs/addfoldersform.h"
#include "dialogs/excludeform.h"
#include "tests/dialogs/presetform_fixture.h"

using namespace yux;
using namespace yux::test;

namespace {

struct Row {
  const char* control;
  const char* value;     // as set and as shown again
  const char* key;
  const char* fileValue;
};

// Every key the dialog writes, with a value other than its default, in an
// order that respects the rules between controls (the format before the
// recovery record, the drive before the CD/DVD box).
const Row kRows[] = {
    {"earcname", "docs", "nam", "docs"},
    {"efoldername", "/srv/backup/docs", "dir", "/srv/backup/docs"},
    {"eemptymask", "*.old", "ems", "*.old"},
    {"eswitches", "-ms", "swt", "-ms"},
    {"eadddate", "-YYYYMMDD", "dtf", "-YYYYMMDD"},
    {"earcformat", "2", "fmt", "2"},
    {"ecompression", "5", "cmp", "5"},
    {"edictionary", "3", "dic", "3"},
    {"evolumes", "100m", "vol", "100m"},
    {"epaths", "3", "fld", "3"},
    {"cprior", "1", "wpc", "1"},
    {"prior_p", "9", "wpp", "9"},
    {"esleep", "25", "wps", "25"},
    {"coverwrite", "1", "owe", "1"},
    {"ceraseroom", "1", "cef", "1"},
    {"cauth", "1", "aut", "1"},
    {"cfolder", "1", "ctf", "1"},
    {"cempty", "1", "efl", "1"},
    {"clock", "1", "lck", "1"},
    {"csolid", "0", "sld", "0"},
    {"cbkgnd", "1", "bkg", "1"},
    {"chide", "1", "hid", "1"},
    {"ctest", "1", "tst", "1"},
    {"cdel", "1", "del", "1"},
    {"cwipe", "1", "wip", "1"},
    {"cshared", "0", "osf", "0"},
    {"crecurse", "0", "rsf", "0"},
    {"cerase", "1", "edc", "1"},
    {"crecovery", "1", "arr", "1"},
    {"errsize", "3", "rrp", "3"},
    {"cftp", "1", "ftp", "1"},
    {"cfac", "1", "fac", "1"},
    {"efserver", "ftp.example.test:2121", "fse", "ftp.example.test:2121"},
    {"efuser", "ftpuser", "fus", "ftpuser"},
    {"efpass", "ftp pass", "fpa", "ftp pass"},
    {"effolder", "/up", "ffo", "/up"},
    {"efssl", "2", "fss", "2"},
    {"csmtp", "1", "smt", "1"},
    {"esfrom", "a@example.test", "sfr", "a@example.test"},
    {"esto", "b@example.test", "sto", "b@example.test"},
    {"esserver", "smtp.example.test:2525", "sse", "smtp.example.test:2525"},
    {"esssl", "2", "sss", "2"},
    {"esuser", "mailuser", "sus", "mailuser"},
    {"espass", "mail pass", "spa", "mail pass"},
    {"ecdrive", "4", "cdr", "E"},
    {"ccdrw", "1", "cdw", "1"},
    {"ecerase", "1", "cer", "1"},
    {"cverifycd", "1", "cdv", "1"},
    {"cnevereject", "1", "cne", "1"},
    {"ebufsize", "64", "cdb", "64"},
    {"ccopyclnr", "1", "cco", "1"},
    {"copyclnrmode", "1", "ccm", "1"},
    {"ecopyclnrlimit", "5", "ccv", "5"},
    {"cftpclnr", "1", "fco", "1"},
    {"ftpclnrmode", "1", "fcm", "1"},
    {"eftpclnrlimit", "4", "fcv", "4"},
    {"chkftpclnrrunafter", "1", "fca", "1"},
    {"cbeforeactive", "1", "eba", "1"},
    {"cbeforesync", "1", "ebs", "1"},
    {"cbeforehidden", "1", "ebh", "1"},
    {"ebeforeexe", "/usr/bin/env", "ebe", "/usr/bin/env"},
    {"ebeforeparams", "-0", "ebp", "-0"},
    {"cafteractive", "1", "eaa", "1"},
    {"caftersync", "1", "eas", "1"},
    {"cafterhidden", "1", "eah", "1"},
    {"eafterexe", "/bin/echo", "eae", "/bin/echo"},
    {"eafterparams", "done", "eap", "done"},
};

// Keys only the loaded defaults (or another window) can set: they come in
// through "yux.pst" and must come out unchanged.
struct HiddenRow {
  const char* control;
  const char* key;
  const char* fileValue;
};
const HiddenRow kHiddenRows[] = {
    {"cquit", "hlt", "1"},          {"efproxy", "fpn", "proxy.test"}, {"efproxyport", "fpp", "8021"},
    {"csmtpclnr", "sco", "1"},      {"smtpclnrmode", "scm", "1"},     {"esmtpclnrlimit", "scv", "7"},
    {"ecspeed", "csp", "12"},
};

void SaveHiddenDefaults() {
  tarcopt d;
  SetPresetDefaults(d);
  d.hlt = true;
  d.fpn = "proxy.test";
  d.fpp = "8021";
  d.sco = true;
  d.scm = 1;
  d.scv = 7;
  d.csp = 12;
  d.efa = "-eS";
  ASSERT_TRUE(SavePreset(std::string(kDefaultsPresetName), d));
}

std::vector<std::string> Items(const QListWidget* list) { return TForm3::ListLines(list); }

// The lines of a list file, which must end every line with CR LF.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      ADD_FAILURE() << "a line without CR LF: " << text.substr(start);
      break;
    }
    out.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return out;
}

// A press and a release of the left button in the middle of the widget.
void MouseClick(QWidget* w) {
  const QPointF at = w->rect().center();
  const QPointF global = w->mapToGlobal(at);
  QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(w, &press);
  QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(w, &release);
}

class PresetForm : public PresetDialogTest {};

}  // namespace

TEST_F(PresetForm, ANewPresetMadeThroughTheControlsIsWrittenShownAgainAndRewrittenUnchanged) {
  UseRecorder();
  SaveHiddenDefaults();
  const fs::path src = discs / "src";
  fs::create_directories(src / "photos");
  WriteFile(src / "a.txt", "a");
  WriteFile(src / "B.txt", "b");
  WriteFile(src / "b.txt", "b2");

  auto form = Open(kNewPresetName);
  form->resize(1100, 760);
  form->show();
  for (const HiddenRow& h : kHiddenRows)
    EXPECT_EQ(ControlValue(form->findChild<QWidget*>(h.control)), h.fileValue) << h.control;
  EXPECT_EQ(form->epresetname->text().toStdString(), "");

  hooks.entry = "Secret 7";
  form->cpass->click();
  EXPECT_EQ(hooks.lastCaption, "Enter new password");
  EXPECT_EQ(form->epass->text().toStdString(), "Secret 7");
  for (const Row& r : kRows) {
    SCOPED_TRACE(r.control);
    auto* w = form->findChild<QWidget*>(r.control);
    ASSERT_NE(w, nullptr);
    SetControl(w, r.value);
  }
  EXPECT_TRUE(form->bburnerinfo->isEnabled()) << "E: is a recorder";
  // Unchecking the profile box asks first; the answer is Yes.
  boxes->Answer(platform::IDYES);
  MouseClick(form->cirp);
  EXPECT_FALSE(form->cirp->isChecked());

  // The lists: drops on each list, the browser, and the exclude options.
  form->PageControl1->setCurrentWidget(form->TabSheet3);
  Drop(*form, form->inc, {src / "photos", src / "a.txt"});
  Drop(*form, form->inc, {src / "photos"});  // the duplicate pass keeps one
  Drop(*form, form->exc, {src / "photos"});
  EXPECT_EQ(Items(form->inc),
            (std::vector<std::string>{(src / "a.txt").string(), (src / "photos").string() + "/*.*"}));
  EXPECT_EQ(Items(form->exc), (std::vector<std::string>{(src / "photos").string()}));

  WhenShown<Taddfoldersform>([&](Taddfoldersform* browser) {
    ASSERT_TRUE(browser->BrowseTo(src.string()));
    browser->ListView->clearSelection();
    ASSERT_TRUE(browser->SelectPath((src / "B.txt").string()));
    ASSERT_TRUE(browser->SelectPath((src / "b.txt").string()));
    browser->binclick();
    browser->bok->click();
  });
  form->bbrowser->click();
  EXPECT_TRUE(form->isVisible());

  WhenShown<TForm13>([&](TForm13* advanced) {
    EXPECT_TRUE(advanced->csys->isChecked()) << "the loaded switch -eS";
    advanced->csys->setChecked(false);
    advanced->carc->setChecked(true);
    advanced->chid->setChecked(true);
    advanced->efilter->setPlainText("*.txt\n*.jpg");
    advanced->okbut->click();
  });
  form->bexcadv->click();
  EXPECT_EQ(form->efastring->text().toStdString(), "-eAH");

  form->presnotes->setPlainText("Runs every night.\nKeep two copies.");
  form->arccomment->setPlainText("Documents of the night");
  form->epresetname->setText("  Nightly Docs  ");
  form->PageControl1->setCurrentIndex(0);
  ASSERT_TRUE(form->bupdateClick()) << ::testing::PrintToString(Texts());
  EXPECT_EQ(form->result(), QDialog::Accepted);
  EXPECT_EQ(EditedPresetName, "//done");
  EXPECT_EQ(Texts().back(), "\rPreset has been added.");

  const fs::path pst = settings / "presets" / "Nightly Docs.pst";
  ASSERT_TRUE(fs::exists(pst)) << "the name is trimmed";
  const auto lines = PresetLines(pst);
  ASSERT_EQ(lines.size(), 82u);  // "ver 0", 80 keys, "aut" twice
  EXPECT_EQ(lines[0], "ver 0");
  for (const Row& r : kRows) EXPECT_EQ(KeyValue(lines, r.key), r.fileValue) << r.key;
  for (const HiddenRow& h : kHiddenRows) EXPECT_EQ(KeyValue(lines, h.key), h.fileValue) << h.key;
  EXPECT_EQ(KeyValue(lines, "pwd"), "Secret 7");
  EXPECT_EQ(KeyValue(lines, "pas"), "1");
  EXPECT_EQ(KeyValue(lines, "irp"), "0");
  EXPECT_EQ(KeyValue(lines, "efa"), "-eAH");
  EXPECT_EQ(KeyValue(lines, "dra"), "0");
  // Two names that differ only in case are two files: both stay.
  auto included = Lines(ReadFile(settings / "presets" / "Nightly Docs.inc"));
  std::sort(included.begin(), included.end());
  EXPECT_EQ(included, (std::vector<std::string>{(src / "B.txt").string(), (src / "a.txt").string(),
                                                (src / "b.txt").string(), (src / "photos").string() + "/*.*"}));
  EXPECT_EQ(ReadFile(settings / "presets" / "Nightly Docs.exc"), (src / "photos").string() + "\r\n");
  EXPECT_EQ(ReadFile(settings / "presets" / "Nightly Docs.flt"), "*.txt\r\n*.jpg\r\n");
  EXPECT_EQ(ReadFile(settings / "presets" / "Nightly Docs.not"), "Runs every night.\r\nKeep two copies.\r\n");
  EXPECT_EQ(ReadFile(settings / "presets" / "Nightly Docs.cmt"), "Documents of the night\r\n");
  form.reset();

  // Reopened, every control shows what it was given.
  const std::string before = ReadFile(pst);
  auto again = Open("Nightly Docs");
  EXPECT_FALSE(again->epresetname->isEnabled());
  EXPECT_EQ(again->epresetname->text().toStdString(), "Nightly Docs");
  for (const Row& r : kRows) EXPECT_EQ(ControlValue(again->findChild<QWidget*>(r.control)), r.value) << r.control;
  for (const HiddenRow& h : kHiddenRows)
    EXPECT_EQ(ControlValue(again->findChild<QWidget*>(h.control)), h.fileValue) << h.control;
  EXPECT_EQ(again->epass->text().toStdString(), "Secret 7");
  EXPECT_TRUE(again->cpass->isChecked());
  EXPECT_FALSE(again->cirp->isChecked());
  EXPECT_EQ(again->efastring->text().toStdString(), "-eAH");
  EXPECT_EQ(Items(again->inc).size(), 4u);
  EXPECT_EQ(again->presnotes->toPlainText().toStdString(), "Runs every night.\nKeep two copies.");
  EXPECT_EQ(again->arccomment->toPlainText().toStdString(), "Documents of the night");
  EXPECT_TRUE(again->bburnerinfo->isEnabled());
  const auto asked = boxes->Asked().size();
  ASSERT_TRUE(again->bupdateClick());
  EXPECT_EQ(boxes->Asked().size(), asked) << "an existing preset is saved without a notice";
  EXPECT_EQ(ReadFile(pst), before);
}

TEST_F(PresetForm, DirectModeKeepsItsUpdateModeAndSwitchesTheOtherDestinationsOff) {
  auto form = Open(kNewPresetName);
  form->cftp->click();
  EXPECT_TRUE(form->c2ftp->isChecked()) << "the quick box mirrors the destination";
  form->cdirect->click();
  EXPECT_FALSE(form->cftp->isChecked());
  EXPECT_FALSE(form->cftp->isEnabled());
  EXPECT_EQ(form->eemptymask->text().toStdString(), "*.*");
  EXPECT_EQ(form->cempty->text().toStdString(), "Erase floppy disk contents");
  ASSERT_TRUE(form->edirectraringmode->isEnabled());
  form->edirectraringmode->setCurrentIndex(2);
  form->epresetname->setText("Direct");
  form->earcname->setText("direct");
  form->inc->addItem("/tmp/x");
  ASSERT_TRUE(form->bupdateClick());
  const auto lines = PresetLines(settings / "presets" / "Direct.pst");
  EXPECT_EQ(KeyValue(lines, "dra"), "1");
  EXPECT_EQ(KeyValue(lines, "drm"), "2");
  EXPECT_EQ(KeyValue(lines, "ftp"), "0");
  auto again = Open("Direct");
  EXPECT_EQ(again->edirectraringmode->currentIndex(), 2);
  EXPECT_TRUE(again->edirectraringmode->isEnabled());
  // ZIP takes the update mode and the recovery record away.
  again->earcformat->setCurrentIndex(1);
  EXPECT_EQ(again->edirectraringmode->currentIndex(), 0);
  EXPECT_FALSE(again->edirectraringmode->isEnabled());
  EXPECT_FALSE(again->crecovery->isEnabled());
}
