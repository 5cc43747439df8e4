// The settings dialog's buttons that act at once: skins applied and undone
// by Cancel, loaded and saved; the phone book through the entry editor;
// the web panel; the bin clean-up; the service companion; the archiver
// picker; the language information.
#include <QAction>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>

#include <sys/stat.h>

#include "core/services/webpanel.h"
#include "core/store/msgtable.h"
#include "core/store/programlog.h"
#include "core/window/mainform.h"
#include "tests/dialogs/settingsform_fixture.h"

using namespace yux;
using namespace yux::test;
namespace fs = std::filesystem;

namespace {

// A shell script that appends its arguments, one per line, to `record`
// and ends with `exitCode`.
void WriteRecorder(const fs::path& script, const fs::path& record, int exitCode) {
  WriteFile(script, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> '" + record.string() + "'; done\nexit " +
                        std::to_string(exitCode) + "\n");
  ::chmod(script.c_str(), 0755);
}

// Waits (pumping events) until the file exists and holds `lines` lines.
std::vector<std::string> AwaitLines(const fs::path& file, std::size_t lines) {
  QElapsedTimer clock;
  clock.start();
  std::vector<std::string> out;
  while (clock.elapsed() < 20000) {
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    if (fs::exists(file)) {
      out.clear();
      std::istringstream in(ReadFile(file));
      for (std::string l; std::getline(in, l);) out.push_back(l);
      if (out.size() >= lines) return out;
    }
  }
  return out;
}

std::string LogText(const fs::path& settings) {
  return fs::exists(settings / "yux.log") ? ReadFile(settings / "yux.log") : std::string();
}

QColor Base(QWidget* w) { return w->palette().color(QPalette::Base); }

}  // namespace

TEST_F(SettingsDialogTest, CancelAfterApplyRestoresSkinAndSkinning) {
  TForm1 main;
  Options.ske = true;
  Skin.MainTableBackground = "112233";
  main.ApplySkin();
  ASSERT_EQ(Base(main.list), QColor(0x11, 0x22, 0x33));
  const tskin opening = Skin;

  auto form = Open(&main);
  form->etb->setText("aabbcc");
  form->bapplyskin->click();
  EXPECT_EQ(Skin.MainTableBackground, "aabbcc");
  EXPECT_EQ(Base(main.list), QColor(0xaa, 0xbb, 0xcc));
  form->eski->setChecked(false);
  form->bapplyskin->click();
  EXPECT_FALSE(Options.ske);

  form->cancelbut->click();
  EXPECT_EQ(form->result(), QDialog::Rejected);
  EXPECT_EQ(Skin, opening);
  EXPECT_TRUE(Options.ske);
  EXPECT_EQ(Base(main.list), QColor(0x11, 0x22, 0x33));
  EXPECT_FALSE(fs::exists(settings / "yux.ocs"));
  EXPECT_FALSE(fs::exists(OptionsFile()));

  // A bad colour is not applied: the box names it and the skin stays.
  auto again = Open(&main);
  again->etf->setText("xyz123");
  again->bapplyskin->click();
  EXPECT_EQ(Skin, opening);
  ASSERT_FALSE(boxes->Asked().empty());
  EXPECT_NE(boxes->Asked().back().text.find("\"xyz123\" (Main window - Font color:)"), std::string::npos);

  // Applied and then kept by OK: the skin is saved and stays.
  again->etf->setText("445566");
  again->bapplyskin->click();
  ASSERT_TRUE(again->okbutClick());
  EXPECT_EQ(Skin.MainTableColor, "445566");
  EXPECT_EQ(ReadSkinFile(settings / "yux.ocs").at("MW_TableColor"), "445566");
}

TEST_F(SettingsDialogTest, SkinFilesLoadIntoTheControlsAndSaveFromThem) {
  fs::create_directories(program / "skins");
  WriteFile(program / "skins" / "night.ocs",
            "; a skin\r\nMW_Image=\\skins\\night.bmp\r\nmw_type=2\r\nMW_TableBackground=000010\r\n"
            "LW_FileListColor=#00ff00\r\n");
  Skin.MainTableBackground = "ffffff";
  auto form = Open();
  form->ehttplogin->setText("kept");
  std::string askedFolder;
  form->PickOpenFile = [&](const std::string&, const std::string& folder, const std::string& filter) {
    askedFolder = folder;
    EXPECT_EQ(filter, "YUX Skins (*.ocs)");
    return (program / "skins" / "night.ocs").string();
  };
  form->bloadskin->click();
  EXPECT_EQ(askedFolder, (program / "skins").string());
  EXPECT_EQ(form->emw->text().toStdString(), "\\skins\\night.bmp");
  EXPECT_EQ(form->tmw->currentIndex(), 2);
  EXPECT_EQ(form->etb->text().toStdString(), "000010");
  EXPECT_EQ(form->etf3->text().toStdString(), "#00ff00");
  EXPECT_EQ(form->elb->text().toStdString(), "");
  // Only the controls: the active skin and the other edits stay.
  EXPECT_EQ(Skin.MainTableBackground, "ffffff");
  EXPECT_EQ(form->ehttplogin->text().toStdString(), "kept");

  form->etf->setText("abcdef");
  form->PickSaveFile = [&](const std::string&, const std::string&, const std::string&, const std::string& suffix) {
    EXPECT_EQ(suffix, "ocs");
    return (program / "skins" / "mine.ocs").string();
  };
  form->bsaveskin->click();
  const auto saved = ReadSkinFile(program / "skins" / "mine.ocs");
  EXPECT_EQ(saved.at("MW_Type"), "2");
  EXPECT_EQ(saved.at("MW_TableColor"), "abcdef");
  EXPECT_EQ(saved.at("LW_FileListColor"), "#00ff00");
}

TEST_F(SettingsDialogTest, PhoneBookButtonsRefillOnlyTheAccountBox) {
  WritePhoneBook("[Home]\nNumber=1\nUser=me\nPassword=pw\nAnswers=busy,connect\n");
  Options.dac = "Home";
  auto form = Open();
  ASSERT_EQ(form->eaccounts->count(), 1);
  EXPECT_EQ(form->eaccounts->currentText().toStdString(), "Home");
  form->ehttplogin->setText("edited");
  form->logsize->setValue(4321);

  // New, through the entry editor.
  WhenShown<TPhoneBookEntryForm>([](TPhoneBookEntryForm* e) {
    e->ename->setText("Office");
    e->enumber->setText("555");
    e->euser->setText("office user");
    e->epassword->setText("office pw");
    e->okClick();
  });
  form->bnew->click();
  platform::RasEntry office;
  ASSERT_EQ(platform::RasGetEntry("Office", office), 0u);
  EXPECT_EQ(office.number, "555");
  EXPECT_EQ(office.user, "office user");
  EXPECT_EQ(office.password, "office pw");
  // It holds passwords: its owner's alone.
  EXPECT_EQ(fs::status(platform::PhoneBookPath()).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(form->eaccounts->count(), 2);
  EXPECT_EQ(form->eaccounts->currentText().toStdString(), "Home");
  EXPECT_EQ(form->ehttplogin->text().toStdString(), "edited");
  EXPECT_EQ(form->logsize->value(), 4321);

  // A name that is taken is not replaced; a bad name is refused by the
  // editor.
  WhenShown<TPhoneBookEntryForm>([](TPhoneBookEntryForm* e) {
    e->ename->setText("a/b");
    e->okClick();
    EXPECT_TRUE(e->isVisible());
    e->ename->setText("home");
    e->okClick();
  });
  form->bnew->click();
  EXPECT_NE(LogText(settings.path()).find("Error - cannot create a new phonebook entry [!]"), std::string::npos);
  platform::RasEntry home;
  ASSERT_EQ(platform::RasGetEntry("Home", home), 0u);
  EXPECT_EQ(home.number, "1");

  // Edit renames the selected entry and keeps its script.
  WhenShown<TPhoneBookEntryForm>([](TPhoneBookEntryForm* e) {
    EXPECT_EQ(e->ename->text().toStdString(), "Home");
    EXPECT_EQ(e->euser->text().toStdString(), "me");
    e->ename->setText("House");
    e->okClick();
  });
  form->bedit->click();
  EXPECT_NE(platform::RasGetEntry("Home", home), 0u);
  platform::RasEntry house;
  ASSERT_EQ(platform::RasGetEntry("House", house), 0u);
  EXPECT_EQ(house.answers, "busy,connect");
  EXPECT_EQ(form->eaccounts->currentText().toStdString(), "House");

  // Delete asks; No keeps it, Yes removes it and clears the selection.
  boxes->Answer(platform::IDNO);
  form->bdelete->click();
  EXPECT_EQ(platform::RasGetEntry("House", house), 0u);
  boxes->Answer(platform::IDYES);
  form->bdelete->click();
  EXPECT_NE(platform::RasGetEntry("House", house), 0u);
  EXPECT_EQ(boxes->Asked().back().text, "\rThe entry has been deleted.");
  EXPECT_EQ(form->eaccounts->count(), 1);
  EXPECT_EQ(form->eaccounts->currentIndex(), -1);
  EXPECT_EQ(form->ehttplogin->text().toStdString(), "edited");

  // Without a selection the account is kept empty.
  ASSERT_TRUE(form->okbutClick());
  EXPECT_EQ(ReadOptionsFile(OptionsFile()).at("dac"), "");
}

TEST_F(SettingsDialogTest, ServerButtonsStartAndStopTheWebPanel) {
  TForm1 main;
  main.WebPanel = std::make_unique<TWebPanel>([] { return std::vector<std::string>{}; });
  Options.rap = "0";
  Options.rlo = "admin";
  Options.rpa = "secret";
  auto form = Open(&main);
  form->Button2->click();
  EXPECT_NE(LogText(settings.path()).find("HTTP - Server is not running now."), std::string::npos);
  form->Button1->click();
  EXPECT_TRUE(main.WebPanel->Running());
  form->Button2->click();
  EXPECT_FALSE(main.WebPanel->Running());
  EXPECT_NE(LogText(settings.path()).find("HTTP - Stopped."), std::string::npos);
  // Cancel does not undo what the buttons did.
  form->Button1->click();
  form->cancelbut->click();
  EXPECT_TRUE(main.WebPanel->Running());
  main.WebPanel->Stop();
}

TEST_F(SettingsDialogTest, BinCleanUpRunsTheArchiverAndSaysDoneOnlyOnSuccess) {
  Options.obf = (settings / "bins").string();
  for (const auto& [exitCode, bin, button] :
       {std::tuple{0, "keeper", "bkeepercln"}, {3, "recycle", "brecyclecln"}}) {
    SCOPED_TRACE(bin);
    const fs::path record = settings / (std::string(bin) + ".args");
    WriteRecorder(program / "winrar", record, exitCode);
    Options.pwi = (program / "winrar").string();
    const std::size_t asked = boxes->Asked().size();
    auto form = Open();
    form->eobi->setValue(60);
    form->findChild<QPushButton*>(button)->click();
    const auto args = AwaitLines(record, 4);
    ASSERT_EQ(args.size(), 4u);
    EXPECT_EQ(args[0], "d");
    EXPECT_EQ(args[1], "-to60d");
    EXPECT_EQ(args[2], (settings / "bins" / (std::string(bin) + ".rar")).string());
    EXPECT_EQ(args[3], "*.*");
    if (exitCode == 0) {
      ASSERT_EQ(boxes->Asked().size(), asked + 1);
      EXPECT_EQ(boxes->Asked().back().text, "\rDone.");
    } else {
      EXPECT_EQ(boxes->Asked().size(), asked);
    }
    EXPECT_TRUE(form->bkeepercln->isEnabled());
  }
}

TEST_F(SettingsDialogTest, ServiceCompanionIsInstalledAndRemovedByOk) {
  const std::string need = "\r" + MessageText("needyuxsvc");
  // Without the companion the service mode cannot be chosen.
  {
    auto form = Open();
    form->startupItems->button(3)->click();
    EXPECT_EQ(form->startupItems->checkedId(), 0);
    ASSERT_FALSE(boxes->Asked().empty());
    EXPECT_EQ(boxes->Asked().back().text, need);
  }

  const fs::path record = settings / "svc.args";
  WriteRecorder(program / "yuxsvc", record, 0);
  // Chosen twice and cancelled: nothing runs.
  {
    auto form = Open();
    form->startupItems->button(3)->click();
    form->startupItems->button(3)->click();
    EXPECT_EQ(form->startupItems->checkedId(), 3);
    form->cancelbut->click();
  }
  // Chosen twice and kept: installed once.
  {
    auto form = Open();
    form->startupItems->button(3)->click();
    form->startupItems->button(1)->click();
    form->startupItems->button(3)->click();
    ASSERT_TRUE(form->okbutClick());
  }
  EXPECT_EQ(AwaitLines(record, 1), std::vector<std::string>{"/install"});
  EXPECT_EQ(Options.sta, 3);
  // Another mode, kept: removed.
  {
    auto form = Open();
    EXPECT_EQ(form->startupItems->checkedId(), 3);
    form->startupItems->button(2)->click();
    ASSERT_TRUE(form->okbutClick());
  }
  EXPECT_EQ(AwaitLines(record, 2), (std::vector<std::string>{"/install", "/uninstall"}));
  EXPECT_EQ(ReadOptionsFile(OptionsFile()).at("sta"), "2");
}

TEST_F(SettingsDialogTest, ArchiverPickerTakesOnlyTheArchiversNames) {
  auto form = Open();
  form->ewinrarexe->setText("/usr/bin/winrar");
  const std::pair<const char*, const char*> picks[] = {
      {"/opt/rar/7z", "/usr/bin/winrar"},
      {"/opt/rar/WinRAR.exe", "/opt/rar/WinRAR.exe"},
      {"/opt/other/winrar", "/opt/other/winrar"},
      {"/opt/other/winrar.sh", "/opt/other/winrar"},
      {"", "/opt/other/winrar"},
  };
  for (const auto& [picked, shown] : picks) {
    SCOPED_TRACE(picked);
    const std::size_t asked = boxes->Asked().size();
    form->PickOpenFile = [&](const std::string&, const std::string&, const std::string&) { return std::string(picked); };
    form->bfindwinrar->click();
    EXPECT_EQ(form->ewinrarexe->text().toStdString(), shown);
    const bool refused = std::string(picked).size() > 0 && std::string(shown) != picked;
    EXPECT_EQ(boxes->Asked().size(), asked + (refused ? 1 : 0));
  }
}

TEST_F(SettingsDialogTest, LanguageInformation) {
  WriteFile(program / "Deutsch.lng",
            "[INFO]\r\nlanguage=Deutsch\r\ndeveloper=Jemand\r\nupdated=2026.01.02\r\n[STRINGS]\r\n");
  Options.lng = "Deutsch.lng";
  auto form = Open();
  form->blanginfo->click();
  ASSERT_EQ(boxes->Asked().size(), 1u);
  EXPECT_EQ(boxes->Asked()[0].text,
            "\rLanguage: Deutsch\rDeveloper: Jemand\rContacts: Unknown E-mail\rLast modified: 2026.01.02\r"
            "Compatibility: Unknown YUX version\r\rPlease report misprints and translation inaccuracy to the "
            "developer.\r");
  form->elanguages->setCurrentIndex(form->elanguages->findText("English (default).lng"));
  form->blanginfo->click();
  ASSERT_EQ(boxes->Asked().size(), 2u);
  EXPECT_NE(boxes->Asked()[1].text.find("built-in English texts"), std::string::npos);
}

TEST_F(SettingsDialogTest, OkAppliesTheOptionsToTheMainWindow) {
  WriteFile(program / "Deutsch.lng", "[FORMS]\r\nForm1Run1=Ausfuehren\r\n[STRINGS]\r\ndoneword=Fertig.\r\n");
  TForm1 main;
  main.resize(800, 600);
  main.show();
  QApplication::processEvents();
  main.AppendLine("[2026.01.01 10:00:00] a line");
  std::vector<int> binModes;
  main.OnBinModeChanged = [&](int mode) { binModes.push_back(mode); };
  Options.obk = true;
  Options.obr = true;

  auto form = Open(&main);
  form->cdistoolbar->setChecked(true);
  form->epresetlistheight->setValue(300);
  form->elogfontsize->setValue(14);
  form->obtItems->button(2)->click();
  form->elanguages->setCurrentIndex(form->elanguages->findText("Deutsch.lng"));
  ASSERT_TRUE(form->okbutClick());

  EXPECT_TRUE(main.ToolBar1->isHidden());
  EXPECT_EQ(main.list->height(), 300);
  EXPECT_EQ(main.loglist->font().pointSize(), 14);
  ASSERT_EQ(main.loglist->count(), 1);
  EXPECT_EQ(main.loglist->item(0)->sizeHint().height(), main.loglist->fontMetrics().height() + 3);
  EXPECT_EQ(binModes, std::vector<int>{2});
  EXPECT_EQ(main.findChild<QAction*>("Run1")->text().toStdString(), "Ausfuehren");
  EXPECT_EQ(MessageText("doneword"), "Fertig.");
}
