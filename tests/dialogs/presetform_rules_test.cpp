// The preset dialog's smaller rules: the priority label, the questions of
// the profile and delete boxes, the password edit, drops and the Delete
// key, the empty-folder mask, the preset's picture, its language keys, and
// the opener where no window can be seen.
#include <QKeyEvent>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>
#include <QTreeView>

#include "core/store/skin.h"
#include "dialogs/addfoldersform.h"
#include "dialogs/excludeform.h"
#include "tests/dialogs/presetform_fixture.h"

using namespace yux;
using namespace yux::test;

namespace {

class PresetRules : public PresetDialogTest {};

void Key(QWidget* w, int key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, key == Qt::Key_Space ? " " : "");
  QApplication::sendEvent(w, &press);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, key == Qt::Key_Space ? " " : "");
  QApplication::sendEvent(w, &release);
}

}  // namespace

TEST_F(PresetRules, PriorityLabelFollowsTheSlider) {
  auto form = Open(kNewPresetName);
  EXPECT_FALSE(form->prior_p->isEnabled());
  form->cprior->click();
  ASSERT_TRUE(form->prior_p->isEnabled());
  const std::pair<int, const char*> steps[] = {{0, "Default"}, {1, "Low"}, {6, "Low"}, {7, "Normal"},
                                               {10, "Normal"}, {11, "High"}, {15, "High"}};
  for (const auto& [position, label] : steps) {
    form->prior_p->setValue(position);
    EXPECT_EQ(form->priorcom->text().toStdString(), label) << position;
  }
  form->esleep->setValue(40);
  form->cprior->click();
  EXPECT_EQ(form->prior_p->value(), 0);
  EXPECT_EQ(form->esleep->value(), 0);
  EXPECT_FALSE(form->esleep->isEnabled());
}

TEST_F(PresetRules, TheProfileBoxAsksOnAnyKeyAndTheDeleteBoxOnlyWhenItWouldBeChecked) {
  auto form = Open(kNewPresetName);
  boxes->Answer(platform::IDNO);
  Key(form->cirp, Qt::Key_Tab);
  EXPECT_TRUE(form->cirp->isChecked());
  EXPECT_EQ(boxes->Asked().back().Icon(), platform::MB_ICONWARNING);
  EXPECT_NE(boxes->Asked().back().text.find("Unchecking this checkbox may lead"), std::string::npos);
  boxes->Answer(platform::IDYES);
  Key(form->cirp, Qt::Key_Space);
  EXPECT_FALSE(form->cirp->isChecked());
  const auto asked = boxes->Asked().size();
  Key(form->cirp, Qt::Key_Space);  // unchecked: no question
  EXPECT_EQ(boxes->Asked().size(), asked);

  boxes->Answer(platform::IDNO);
  Key(form->cdel, Qt::Key_Space);
  EXPECT_FALSE(form->cdel->isChecked());
  EXPECT_EQ(boxes->Asked().back().text.rfind("Warning: all files will be ACTUALLY DELETED", 0), 0u)
      << "this question has no leading line break";
  boxes->Answer(platform::IDYES);
  Key(form->cdel, Qt::Key_Space);
  EXPECT_TRUE(form->cdel->isChecked());
  const auto before = boxes->Asked().size();
  Key(form->cdel, Qt::Key_Space);
  EXPECT_FALSE(form->cdel->isChecked());
  EXPECT_EQ(boxes->Asked().size(), before) << "unchecking asks nothing";
}

TEST_F(PresetRules, ThePasswordEditAsksForANewPassword) {
  auto form = Open(kNewPresetName);
  hooks.entry = "first";
  QMouseEvent press(QEvent::MouseButtonPress, QPointF(2, 2), QPointF(2, 2), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QApplication::sendEvent(form->epass, &press);
  EXPECT_EQ(hooks.lastCaption, "Enter new password");
  EXPECT_TRUE(PasswordConfirmMode);
  EXPECT_EQ(form->epass->text().toStdString(), "first");
  EXPECT_TRUE(form->cpass->isChecked());
  hooks.accept = false;
  QApplication::sendEvent(form->epass, &press);
  EXPECT_EQ(form->epass->text().toStdString(), "first") << "cancelled: unchanged";
  hooks.accept = true;
  hooks.entry = "";
  QApplication::sendEvent(form->epass, &press);
  EXPECT_FALSE(form->cpass->isChecked()) << "an empty password switches the password off";
}

TEST_F(PresetRules, DropsCountOnlyOnTheFileListsPageAndDeleteRemovesTheSelection) {
  auto form = Open(kNewPresetName);
  form->resize(1100, 760);
  form->show();
  const fs::path folder = discs.path();
  form->PageControl1->setCurrentWidget(form->TabSheet4);
  QApplication::processEvents();
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(folder.string()))});
  QDropEvent elsewhere(QPointF(20, 60), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(form.get(), &elsewhere);
  EXPECT_EQ(form->inc->count() + form->exc->count(), 0);

  form->conlyfiles->setChecked(false);
  Drop(*form, form->inc, {folder});
  EXPECT_EQ(TForm3::ListLines(form->inc), std::vector<std::string>{folder.string()});
  Drop(*form, form->inc, {folder});
  EXPECT_EQ(form->inc->count(), 1) << "a path the list holds is not added again";
  form->inc->addItem("/second");
  form->inc->item(0)->setSelected(true);
  form->inc->item(1)->setSelected(true);
  Key(form->inc, Qt::Key_Delete);
  EXPECT_EQ(form->inc->count(), 0);
}

TEST_F(PresetRules, LeavingTheArchiveNameFillsAnEmptyFolderMask) {
  auto form = Open(kNewPresetName);
  form->eemptymask->clear();
  form->earcname->setText("docs");
  Key(form->earcname, Qt::Key_Return);
  EXPECT_EQ(form->eemptymask->text().toStdString(), "*docs*.*");
  form->earcname->setText("other");
  Key(form->earcname, Qt::Key_Return);
  EXPECT_EQ(form->eemptymask->text().toStdString(), "*docs*.*") << "a mask is kept";
}

TEST_F(PresetRules, PicturesAreAttachedAndRemovedForExistingPresetsOnly) {
  auto fresh = Open(kNewPresetName);
  fresh->selectglyphClick("/nonexistent.bmp");
  EXPECT_EQ(Texts().back(), MessageText("createpresfirst"));
  fresh->removeglyph->click();
  EXPECT_EQ(Texts().back(), MessageText("createpresfirst"));

  tarcopt r;
  SetPresetDefaults(r);
  ASSERT_TRUE(SavePreset("Pictured", r));
  auto form = Open("Pictured");
  int rebuilt = 0;
  form->OnPresetListChanged = [&] { ++rebuilt; };
  const fs::path bmp = discs / "icon.bmp";
  WriteFile(bmp, std::string("BM") + std::string(5000, 'x'));
  form->selectglyphClick(bmp.string());
  EXPECT_EQ(Texts().back(), "The image was attached to the preset.");
  EXPECT_EQ(ReadFile(settings / "presets" / "Pictured.bmp"), ReadFile(bmp));
  EXPECT_EQ(rebuilt, 1);
  const fs::path picture = settings / "presets" / "Pictured.bmp";
  // The preset's own picture, by its name or through a link, cannot be its
  // own source; a source that cannot be read neither.  Each time the
  // picture there was stays whole.
  fs::create_symlink(picture, discs / "link.bmp");
  for (const fs::path& source : {discs / "missing.bmp", picture, discs / "link.bmp"}) {
    SCOPED_TRACE(source.string());
    form->selectglyphClick(source.string());
    EXPECT_EQ(Texts().back(), "Couldn't copy bmp file; the image was not attached.");
    EXPECT_EQ(ReadFile(picture), ReadFile(bmp));
  }
  EXPECT_EQ(rebuilt, 1);

  boxes->Answer(platform::IDNO);
  form->removeglyph->click();
  EXPECT_TRUE(fs::exists(picture));
  boxes->Answer(platform::IDYES);
  form->removeglyph->click();
  EXPECT_EQ(Texts().back(), "Do you really want to apply default preset image?");
  EXPECT_FALSE(fs::exists(picture));
  EXPECT_EQ(rebuilt, 2);
  form->removeglyph->click();
  EXPECT_EQ(Texts().back(), "The preset doesn't have a unique image yet.");
}

TEST_F(PresetRules, LanguageFilesReachPagesItemsHintsAndTheOtherWindows) {
  TempDir program;
  WriteFile(program / "Test.lng",
            "[FORMS]\r\nForm3=Voreinstellung\r\nForm3TabSheet2=Aktionen\r\nForm3cfolder=In den Ordner\r\n"
            "Form3ecompression6=Beste\r\nForm3loaddefaultsettings=Standard laden\r\n"
            "Form3copyclnrmode2=Tage\r\nForm3GroupBox7=KOPIE\r\nForm13carc=Archiv\r\n"
            "addfoldersformlist2=Gr\xC3\xB6\xC3\x9F" "e\r\naddfoldersformbinc=Aufnehmen\r\naddfoldersformbtnBack=Zur\xC3\xBC" "ck\r\n");
  ProgramFolder = program.str();
  Options.lng = "Test.lng";
  auto form = Open(kNewPresetName);
  EXPECT_EQ(form->windowTitle().toStdString(), "Voreinstellung");
  EXPECT_EQ(form->PageControl1->tabText(1).toStdString(), "Aktionen");
  EXPECT_EQ(form->cfolder->text().toStdString(), "In den Ordner");
  EXPECT_EQ(form->ecompression->itemText(5).toStdString(), "Beste");
  EXPECT_EQ(form->BitBtn2->toolTip().toStdString(), "Standard laden");
  EXPECT_EQ(form->copyclnrmode->itemText(1).toStdString(), "Tage");
  EXPECT_EQ(form->findChild<QGroupBox*>("GroupBox7")->title().toStdString(), "KOPIE");
  TForm13 exclude(form.get());
  EXPECT_EQ(exclude.carc->text().toStdString(), "Archiv");
  Taddfoldersform browser(form.get());
  EXPECT_EQ(browser.Rows->headerData(1, Qt::Horizontal, Qt::DisplayRole).toString().toStdString(),
            "Gr\xC3\xB6\xC3\x9F" "e");
  EXPECT_EQ(browser.binc->text().toStdString(), "Aufnehmen");
  EXPECT_EQ(browser.btnBack->toolTip().toStdString(), "Zur\xC3\xBC" "ck");
  ProgramFolder.clear();
}

TEST_F(PresetRules, WithoutADisplayTheOpenerShowsNothingAndEndsTheEdit) {
  ShowPresetDialog(nullptr, "Anything", "Actions");
  EXPECT_EQ(EditedPresetName, "//done");
}

TEST_F(PresetRules, ASkinnedPresetWindowColoursInputsAndLists) {
  const tskin saved = Skin;
  Skin.PresetType = kSkinTiled;
  Skin.FileListBackground = "102030";
  Skin.FileListColor = "f0e0d0";
  auto form = Open(kNewPresetName);
  EXPECT_EQ(form->earcname->palette().color(QPalette::Base), QColor(0x10, 0x20, 0x30));
  EXPECT_EQ(form->inc->palette().color(QPalette::Base), QColor(0x10, 0x20, 0x30));
  EXPECT_EQ(form->inc->palette().color(QPalette::Text), QColor(0xf0, 0xe0, 0xd0));
  EXPECT_NE(form->findChild<QObject*>("skinBackground"), nullptr);
  Skin = saved;
  auto plain = Open(kNewPresetName);
  EXPECT_NE(plain->inc->palette().color(QPalette::Base), QColor(0x10, 0x20, 0x30));
}
