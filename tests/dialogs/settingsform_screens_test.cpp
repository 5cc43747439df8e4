// Pictures of the settings dialog's eight pages and of the phone-book
// entry editor, saved to build/screens/ for review.
#include <QPixmap>
#include <QTabWidget>

#include "tests/dialogs/settingsform_fixture.h"

using namespace yux;
using namespace yux::test;
namespace fs = std::filesystem;

namespace {

void Save(QWidget& w, const std::string& name) {
  const fs::path screens = BuildDir() / "screens";
  fs::create_directories(screens);
  const QPixmap picture = w.grab();
  EXPECT_FALSE(picture.isNull());
  EXPECT_TRUE(picture.save(QString::fromStdString((screens / name).string()))) << name;
}

}  // namespace

TEST_F(SettingsDialogTest, ScreensOfEveryPage) {
  WritePhoneBook("[Office]\nNumber=555\n[Home]\nNumber=1\n");
  WriteFile(program / "Deutsch.lng", "[STRINGS]\r\n");
  SetOptionDefaults(Options);
  Options.pwi = "/usr/local/bin/winrar";
  Options.pte = "/var/tmp/yux";
  Options.obf = "/home/user/YUX-BIN";
  Options.obt = 1;
  Options.rae = true;
  Options.rlo = "admin";
  Options.rpa = "secret";
  Options.des = true;
  Options.dac = "Office";
  Options.ser = true;
  Options.ssr = "smtp.example.test:587";
  Options.sss = 2;
  Options.sfm = "yux@example.test";
  Options.sto = "admin@example.test";
  Options.fre = true;
  Options.sgp = "secret";
  Options.sps = true;
  Options.ske = true;
  Skin.MainImage = "\\skins\\main.bmp";
  Skin.MainType = 2;
  Skin.MainTableBackground = "fff8e0";
  Skin.MainTableColor = "202020";
  Skin.LogNormalBackground = "ffffff";
  Skin.LogNormalColor = "000000";
  Skin.LogErrorBackground = "ffd0d0";
  Skin.LogErrorColor = "a00000";
  Skin.ScheduleTableBackground = "e0f0ff";
  Skin.ScheduleTableColor = "003060";
  Skin.FileListBackground = "ffffff";
  Skin.FileListColor = "101010";
  auto form = Open();
  form->resize(760, 560);
  const char* names[kSettingsPageCount] = {"settings_general.png",  "settings_interface.png", "settings_bin.png",
                                           "settings_remote.png",   "settings_dialup.png",    "settings_errors.png",
                                           "settings_security.png", "settings_appearance.png"};
  for (int i = 0; i < kSettingsPageCount; ++i) {
    form->PageControl1->setCurrentIndex(i);
    QApplication::processEvents();
    Save(*form, names[i]);
  }

  platform::RasEntry entry;
  entry.name = "Office";
  entry.number = "555";
  entry.user = "office";
  TPhoneBookEntryForm editor(entry, form.get());
  editor.show();
  QApplication::processEvents();
  Save(editor, "settings_phonebook_entry.png");
}
