// What OK refuses and what it does when writing fails, the CD/DVD question,
// the list editor of a new preset, the volume words under a language, the
// user's defaults, and the exclude options' OK against Cancel.
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>

#include <sys/resource.h>

#include <csignal>

#include "dialogs/excludeform.h"
#include "dialogs/texteditorform.h"
#include "tests/dialogs/presetform_fixture.h"

using namespace yux;
using namespace yux::test;

namespace {

class PresetChecks : public PresetDialogTest {
 protected:
  // A new preset that OK accepts as it is.
  std::unique_ptr<TForm3> ValidNew(const std::string& name = "Valid") {
    auto form = Open(kNewPresetName);
    form->epresetname->setText(QString::fromStdString(name));
    form->earcname->setText("valid");
    form->inc->addItem("/tmp/some file");
    return form;
  }
  // Every file name in the presets folder.
  std::vector<std::string> PresetFiles() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(settings / "presets", ec)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
};

struct CheckCase {
  const char* what;
  std::function<void(TForm3&)> change;
  std::string message;
  const char* field;  // the control shown with the focus
};

}  // namespace

TEST_F(PresetChecks, EveryCheckShowsItsMessageWritesNothingAndKeepsTheDialogOpen) {
  // A listed preset and the leftovers of a deleted one.
  tarcopt daily;
  SetPresetDefaults(daily);
  ASSERT_TRUE(SavePreset("Daily", daily));
  ASSERT_TRUE(WritePresetList("Daily", ".inc", {"/x"}));
  ASSERT_TRUE(WritePresetList("Daily", ".exc", {}));
  WriteFile(settings / "presets" / "Orphan.hst", "history\r\n");
  const auto before = PresetFiles();

  const std::string unusable = "cannot be used: a preset name must not contain";
  const std::vector<CheckCase> cases = {
      {"copy cleaner in direct mode",
       [](TForm3& f) {
         f.ccopyclnr->setChecked(true);
         f.cdirect->setChecked(true);
       },
       "Copy Cleaner is not available in direct raring mode.", "ccopyclnr"},
      {"copy cleaner without a date, before the empty name",
       [](TForm3& f) {
         f.ccopyclnr->setChecked(true);
         f.eadddate->clear();
         f.epresetname->clear();
       },
       "Add date/time to backup file name to use Copy Cleaner.", "eadddate"},
      {"empty name", [](TForm3& f) { f.epresetname->setText("   "); }, "Please specify the preset's name.", "epresetname"},
      {"FTP without a server", [](TForm3& f) { f.cftp->setChecked(true); }, "Please specify the name of FTP server.", "efserver"},
      {"SMTP without a server", [](TForm3& f) { f.csmtp->setChecked(true); },
       "Please specify SMTP server, FROM and TO emails for error reporting.", "esserver"},
      {"empty archive name", [](TForm3& f) { f.earcname->clear(); }, "Please specify the backup file's name.", "earcname"},
      {"copy without a folder", [](TForm3& f) { f.cfolder->setChecked(true); }, "Please specify the backuping folder.", "efoldername"},
      {"empty include list", [](TForm3& f) { f.inc->clear(); },
       "You should add at least something to the include list.", "inc"},
      {"a slash", [](TForm3& f) { f.epresetname->setText("a/b"); }, unusable, "epresetname"},
      {"two dots", [](TForm3& f) { f.epresetname->setText(".."); }, unusable, "epresetname"},
      {"the defaults name", [](TForm3& f) { f.epresetname->setText("//defaults//"); }, unusable, "epresetname"},
      {"a leading star", [](TForm3& f) { f.epresetname->setText("*Star"); }, "A preset name must not begin with \"*\".", "epresetname"},
      {"too long with .pst", [](TForm3& f) { f.epresetname->setText(QString(252, 'n')); },
       "The preset name \"" + std::string(252, 'n') + "\" is too long for a file name.", "epresetname"},
      {"an existing preset in another case", [](TForm3& f) { f.epresetname->setText("DAILY"); },
       "A preset named \"Daily\" already exists. Choose another name.", "epresetname"},
      {"files of that name", [](TForm3& f) { f.epresetname->setText("Orphan"); },
       "Files of a preset named \"Orphan\" already lie in the presets folder. Choose another name.", "epresetname"},
  };
  for (const CheckCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto form = ValidNew();
    // OK is pressed from another page than the one of the entry.
    form->show();
    form->PageControl1->setCurrentWidget(form->TabSheet4);
    form->presnotes->setFocus();
    c.change(*form);
    const auto asked = boxes->Asked().size();
    EXPECT_FALSE(form->bupdateClick());
    auto* field = form->findChild<QWidget*>(c.field);
    ASSERT_NE(field, nullptr);
    EXPECT_EQ(form->focusWidget(), field);
    EXPECT_TRUE(form->PageControl1->currentWidget()->isAncestorOf(field)) << "the page of the entry is shown";
    ASSERT_EQ(boxes->Asked().size(), asked + 1);
    const auto box = boxes->Asked().back();
    EXPECT_NE(box.text.find(c.message), std::string::npos) << box.text;
    EXPECT_EQ(box.text.substr(0, 1), "\r");
    EXPECT_EQ(box.Icon(), platform::MB_ICONERROR);
    EXPECT_NE(form->result(), QDialog::Accepted);
    EXPECT_EQ(EditedPresetName, kNewPresetName) << "the dialog is still open";
    EXPECT_EQ(PresetFiles(), before);
  }
  // A name of 251 characters still fits with ".pst".
  auto fits = ValidNew(std::string(251, 'n'));
  EXPECT_TRUE(fits->bupdateClick()) << ::testing::PrintToString(Texts());
}

TEST_F(PresetChecks, AFailedSaveNamesTheFileKeepsTheDialogOpenAndLeavesNothingBehind) {
  // The presets folder is a file: nothing can be written into it.
  fs::remove_all(settings / "presets");
  WriteFile(settings / "presets", "not a folder");
  auto form = ValidNew("Broken");
  int listRebuilt = 0;
  form->OnPresetListChanged = [&] { ++listRebuilt; };
  EXPECT_FALSE(form->bupdateClick());
  const auto box = boxes->Asked().back();
  EXPECT_EQ(box.text.rfind("Save preset error! The file \"" + (settings / "presets" / "Broken.inc").string() + "\"", 0),
            0u)
      << box.text;
  EXPECT_NE(form->result(), QDialog::Accepted);
  EXPECT_EQ(listRebuilt, 0);
  EXPECT_EQ(ReadFile(settings / "presets"), "not a folder");

  // A preset file that cannot be written after its small lists were (the
  // process may write no file beyond 300 bytes): the lists of the new
  // preset go again.
  fs::remove(settings / "presets");
  fs::create_directories(settings / "presets");
  auto half = ValidNew("Half");
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 300;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool saved = half->bupdateClick();
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldSignal);
  EXPECT_FALSE(saved);
  EXPECT_NE(boxes->Asked().back().text.find("Half.pst"), std::string::npos);
  EXPECT_FALSE(fs::exists(settings / "presets" / "Half.inc"));
  EXPECT_FALSE(fs::exists(settings / "presets" / "Half.exc"));
  EXPECT_FALSE(fs::exists(settings / "presets" / "Half.not"));
}

TEST_F(PresetChecks, CdDestinationWithoutARecorderAsksAndEitherStaysOrSavesItOff) {
  UseRecorder();
  auto form = ValidNew("Disc");
  form->ecdrive->setCurrentIndex(form->ecdrive->findText("F"));
  EXPECT_EQ(form->ecddrivename->text().toStdString(), "This drive is not a CD/DVD drive!");
  EXPECT_FALSE(form->bburnerinfo->isEnabled());
  form->ccdrw->setChecked(true);
  form->show();
  form->PageControl1->setCurrentWidget(form->TabSheet1);
  boxes->Answer(platform::IDNO);
  EXPECT_FALSE(form->bupdateClick());
  EXPECT_EQ(boxes->Asked().back().text,
            "\rDrive F: is not a CD/DVD recorder here. Save with the CD/DVD destination switched off?");
  EXPECT_TRUE(form->ccdrw->isChecked());
  EXPECT_EQ(form->focusWidget(), form->ecdrive) << "the drive is shown to be changed";
  EXPECT_TRUE(form->PageControl1->currentWidget()->isAncestorOf(form->ecdrive));
  EXPECT_FALSE(fs::exists(settings / "presets" / "Disc.pst"));

  boxes->Answer(platform::IDYES);
  EXPECT_TRUE(form->bupdateClick());
  const auto lines = PresetLines(settings / "presets" / "Disc.pst");
  EXPECT_EQ(KeyValue(lines, "cdw"), "0");
  EXPECT_EQ(KeyValue(lines, "cdr"), "F");

  // E: is the recorder: no question.
  auto recorder = ValidNew("Disc E");
  recorder->ecdrive->setCurrentIndex(recorder->ecdrive->findText("E"));
  EXPECT_TRUE(recorder->bburnerinfo->isEnabled());
  EXPECT_NE(recorder->ecddrivename->text().toStdString().find(",E: "), std::string::npos);
  recorder->ccdrw->setChecked(true);
  const auto asked = boxes->Asked().size();
  EXPECT_TRUE(recorder->bupdateClick());
  EXPECT_EQ(boxes->Asked().size(), asked + 1) << "only the notice of the new preset";
  EXPECT_EQ(KeyValue(PresetLines(settings / "presets" / "Disc E.pst"), "cdw"), "1");
}

TEST_F(PresetChecks, TheListEditorOfANewPresetWritesNothingIntoThePresetsFolder) {
  auto form = Open(kNewPresetName);
  form->beditinc->click();
  EXPECT_EQ(boxes->Asked().back().text,
            "\rYou must enter a preset name before you can edit file lists in Notepad.");

  form->epresetname->setText("Fresh");
  form->inc->addItem("/home/one");
  WhenShown<TTextEditorForm>([&](TTextEditorForm* editor) {
    EXPECT_TRUE(NotepadWait);
    EXPECT_FALSE(form->beditinc->isEnabled());
    form->reject();  // refused while the editor is open
    EXPECT_EQ(EditedPresetName, kNewPresetName);
    EXPECT_EQ(editor->memo->toPlainText().toStdString(), "/home/one\n");
    editor->memo->setPlainText("/home/one\n/home/two\n/home/Two\n");
    ASSERT_TRUE(editor->Save());
    editor->bclose->click();
  });
  boxes->Answer(platform::IDYES);  // "Update your include list ...?"
  form->beditinc->click();
  EXPECT_FALSE(NotepadWait);
  EXPECT_TRUE(form->beditinc->isEnabled());
  auto items = TForm3::ListLines(form->inc);
  std::sort(items.begin(), items.end());
  EXPECT_EQ(items, (std::vector<std::string>{"/home/Two", "/home/one", "/home/two"}));
  EXPECT_EQ(EditedPresetName, kNewPresetName);
  EXPECT_TRUE(PresetFiles().empty());
  for (const auto& r : boxes->Asked()) EXPECT_EQ(r.text.find("Accept"), std::string::npos) << r.text;
}

TEST_F(PresetChecks, VolumeWordsAreStoredInEnglishUnderAnyLanguage) {
  const struct {
    const char* language;  // empty: English
    const char* none;
    const char* autoWord;
  } languages[] = {{"", "None", "Auto"}, {"Deutsch.lng", "Keine", "Automatisch"}};
  TempDir program;
  WriteFile(program / "Deutsch.lng",
            "[STRINGS]\r\nnonewordtranslated=\"Keine\"\r\nautowordtranslated=\"Automatisch\"\r\n");
  ProgramFolder = program.str();
  for (const auto& l : languages) {
    SCOPED_TRACE(l.none);
    ResetMessageTexts();
    Options.lng = *l.language ? l.language : std::string(kDefaultLanguage);
    if (*l.language) LoadLanguageStrings(l.language);
    auto form = ValidNew(std::string("Vol ") + l.none);
    EXPECT_EQ(form->evolumes->itemText(0).toStdString(), l.none);
    EXPECT_EQ(form->evolumes->itemText(1).toStdString(), l.autoWord);
    EXPECT_EQ(form->edictionary->itemText(0).toStdString(), l.autoWord);
    form->evolumes->setCurrentIndex(0);
    ASSERT_TRUE(form->bupdateClick());
    const std::string name = std::string("Vol ") + l.none;
    EXPECT_EQ(KeyValue(PresetLines(settings / "presets" / (name + ".pst")), "vol"), "None");
    // Stored "Auto", the translated word and a size each show as they mean.
    for (const auto& [stored, shown] :
         std::vector<std::pair<std::string, std::string>>{{"Auto", l.autoWord}, {l.autoWord, l.autoWord}, {"5m", "5m"}}) {
      tarcopt r;
      LoadPreset(name, r);
      r.vol = stored;
      ASSERT_TRUE(SavePreset(name, r));
      auto again = Open(name);
      EXPECT_EQ(again->evolumes->currentText().toStdString(), shown) << stored;
      ASSERT_TRUE(again->bupdateClick());
      EXPECT_EQ(KeyValue(PresetLines(settings / "presets" / (name + ".pst")), "vol"),
                stored == "5m" ? "5m" : "Auto");
    }
  }
  ResetMessageTexts();
  ProgramFolder.clear();
}

TEST_F(PresetChecks, DefaultsAreSavedAndLoadedWithoutTouchingNameOrLists) {
  auto form = ValidNew("Kept");
  form->BitBtn2->click();
  EXPECT_EQ(boxes->Asked().back().text, "\rTo restore defaults you should save them first!");

  form->cftp->setChecked(true);
  form->BitBtn1->click();
  EXPECT_EQ(boxes->Asked().back().text, "\rPlease specify the name of FTP server.");
  form->efserver->setText("ftp.example.test");
  form->ecompression->setCurrentIndex(4);
  boxes->Answer(platform::IDYES);
  form->BitBtn1->click();
  EXPECT_EQ(boxes->Asked().back().text, "\rSave current settings as default?");
  const auto defaults = PresetLines(settings / "yux.pst");
  EXPECT_EQ(defaults, PresetFileLines(form->RecordFromControls()));
  EXPECT_TRUE(PresetFiles().empty()) << "no list, notes or comment";
  ASSERT_TRUE(form->bupdateClick());

  // An existing preset takes the defaults but keeps its name and lists.
  auto existing = Open("Kept");
  existing->ecompression->setCurrentIndex(1);
  existing->cftp->setChecked(false);
  boxes->Answer(platform::IDNO);
  existing->BitBtn2->click();
  EXPECT_EQ(existing->ecompression->currentIndex(), 1) << "No keeps the settings";
  boxes->Answer(platform::IDYES);
  existing->BitBtn2->click();
  EXPECT_EQ(boxes->Asked().back().text, "\rReplace current settings with defaults?");
  EXPECT_EQ(existing->ecompression->currentIndex(), 4);
  EXPECT_TRUE(existing->cftp->isChecked());
  EXPECT_EQ(existing->epresetname->text().toStdString(), "Kept");
  EXPECT_EQ(existing->inc->count(), 1);

  // A new preset starts from them, silently, with an empty name.
  const auto asked = boxes->Asked().size();
  auto fresh = Open(kNewPresetName);
  EXPECT_EQ(boxes->Asked().size(), asked);
  EXPECT_EQ(fresh->ecompression->currentIndex(), 4);
  EXPECT_EQ(fresh->efserver->text().toStdString(), "ftp.example.test");
  EXPECT_EQ(fresh->epresetname->text().toStdString(), "");
}

TEST_F(PresetChecks, ExcludeOptionsStoreOnOkOnlyAndTheirQuickButtonsActAtOnce) {
  auto form = ValidNew("Masks");
  form->efastring->setText("-eAS");
  form->FilterMasks = {"*.doc"};
  {
    TForm13 cancelled(form.get());
    EXPECT_TRUE(cancelled.carc->isChecked());
    EXPECT_FALSE(cancelled.cro->isChecked());
    EXPECT_FALSE(cancelled.chid->isChecked());
    EXPECT_TRUE(cancelled.csys->isChecked());
    EXPECT_EQ(cancelled.efilter->toPlainText().toStdString(), "*.doc");
    cancelled.chid->setChecked(true);
    cancelled.efilter->setPlainText("*.xls");
    cancelled.backupbut->click();  // acts at once, Cancel or not
    cancelled.backupbut->click();
    cancelled.cancelbut->click();
  }
  EXPECT_EQ(form->efastring->text().toStdString(), "-eAS");
  EXPECT_EQ(form->FilterMasks, std::vector<std::string>{"*.doc"});
  EXPECT_EQ(TForm3::ListLines(form->exc), (std::vector<std::string>{"*.bak", "*.old"}));
  std::vector<std::string> texts = Texts();
  EXPECT_EQ(std::vector<std::string>(texts.end() - 4, texts.end()),
            (std::vector<std::string>{"*.bak mask was added to the exclude list.",
                                      "*.old mask was added to the exclude list.",
                                      "*.bak mask is already in the exclude list.",
                                      "*.old mask is already in the exclude list."}));
  EXPECT_TRUE(PresetFiles().empty()) << "nothing is written before OK, under no name";

  {
    TForm13 ok(form.get());
    for (QCheckBox* b : {ok.carc, ok.cro, ok.chid, ok.csys}) b->setChecked(false);
    ok.cro->setChecked(true);
    ok.chid->setChecked(true);
    ok.efilter->clear();
    ok.ecustext->setText("*.tmp");
    ok.custombut->click();
    EXPECT_TRUE(ok.ecustext->text().isEmpty());
    ok.okbut->click();
  }
  EXPECT_EQ(form->efastring->text().toStdString(), "-eRH");
  EXPECT_TRUE(form->FilterMasks.empty());
  ASSERT_TRUE(form->bupdateClick());
  EXPECT_FALSE(fs::exists(settings / "presets" / "Masks.flt")) << "empty masks: no file";
  EXPECT_EQ(KeyValue(PresetLines(settings / "presets" / "Masks.pst"), "efa"), "-eRH");
  EXPECT_FALSE(fs::exists(settings / "presets" / (std::string(kNewPresetName) + ".flt")));
}
