// The settings-folder chooser: its candidates, its three buttons, the
// location file and the answer it gives where no window can be shown.
#include "dialogs/settingsfolderform.h"

#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>

#include "core/services/startup.h"
#include "core/store/folders.h"
#include "dialogs/dialoghooksimpl.h"
#include "platform/messagebox.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

class ScopedVar {
 public:
  ScopedVar(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* v = std::getenv(name)) old_ = v;
    if (value) setenv(name, value->c_str(), 1);
    else unsetenv(name);
  }
  ~ScopedVar() {
    if (old_) setenv(name_.c_str(), old_->c_str(), 1);
    else unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

class Chooser : public ::testing::Test {
 protected:
  void SetUp() override {
    boxes = std::make_shared<platform::ScriptedMessageBoxService>();
    platform::SetMessageBoxService(boxes);
    SettingsFolder.clear();
  }
  void TearDown() override {
    platform::SetMessageBoxService(nullptr);
    SettingsFolder.clear();
  }
  std::string Location() { return test::ReadFile(home / "yuxinfo.dat"); }

  test::TempDir home, config, data, shared;
  ScopedVar yuxHome{"YUX_HOME", home.str()};
  ScopedVar sharedData{"YUX_SHARED_DATA", shared.str()};
  ScopedVar xdgConfig{"XDG_CONFIG_HOME", config.str()};
  ScopedVar xdgData{"XDG_DATA_HOME", data.str()};
  std::shared_ptr<platform::ScriptedMessageBoxService> boxes;
};

}  // namespace

TEST_F(Chooser, CandidatesAreASharedFolderAndTheUsersDataFolder) {
  TForm2 form;
  // The all-users folder is one every user shares, never a user's own.
  EXPECT_EQ(form.ball->text().toStdString(), shared.str() + "/Pellmor/YUX");
  {
    ScopedVar noShared("YUX_SHARED_DATA", std::nullopt);
    EXPECT_EQ(TForm2::AllUsersCandidate(), "/var/lib/Pellmor/YUX");
  }
  EXPECT_EQ(form.buser->text().toStdString(), data.str() + "/Pellmor/YUX");
  EXPECT_EQ(form.windowTitle().toStdString(), "Select a folder to store your settings");
  // No close box.
  EXPECT_FALSE(form.windowFlags() & Qt::WindowCloseButtonHint);

  {
    ScopedVar noData("XDG_DATA_HOME", std::nullopt);
    ScopedVar home("HOME", "/home/someone");
    EXPECT_EQ(TForm2::CurrentUserCandidate(), "/home/someone/.local/share/Pellmor/YUX");
  }
  {
    // Without the variables the candidate is offered as written.
    ScopedVar noData("XDG_DATA_HOME", std::nullopt);
    ScopedVar noHome("HOME", std::nullopt);
    EXPECT_EQ(TForm2::CurrentUserCandidate(), "%HOME%/.local/share/Pellmor/YUX");
  }

  const fs::path screens = test::BuildDir() / "screens";
  fs::create_directories(screens);
  form.show();
  ASSERT_TRUE(form.grab().save(QString::fromStdString((screens / "settingsfolderchooser.png").string())));
  form.hide();
}

TEST_F(Chooser, CandidateButtonsTakeTheirFolder) {
  for (int which = 0; which < 2; ++which) {
    SettingsFolder.clear();
    TForm2 form;
    (which == 0 ? form.ball : form.buser)->click();
    const std::string expected = which == 0 ? shared.str() + "/Pellmor/YUX" : data.str() + "/Pellmor/YUX";
    EXPECT_TRUE(form.Chosen());
    EXPECT_EQ(form.result(), QDialog::Accepted);
    EXPECT_EQ(SettingsFolder, expected);
    EXPECT_EQ(Location(), expected + "\r\n");
    EXPECT_EQ(ReadSettingsLocation(), expected);
  }
  EXPECT_TRUE(boxes->Asked().empty());
}

TEST_F(Chooser, AllUsersFolderIsMadeWithGroupAccessOrTheChooserSaysWhyNot) {
  // A shared data folder this user cannot make anything in (a plain file
  // stands where it should be: refused even for root).
  {
    test::WriteFile(home / "not-a-folder", "x");
    ScopedVar blocked("YUX_SHARED_DATA", (home / "not-a-folder").string());
    TForm2 form;
    form.ball->click();
    EXPECT_FALSE(form.Chosen());
    EXPECT_EQ(SettingsFolder, "");
    EXPECT_FALSE(fs::exists(home / "yuxinfo.dat"));
    ASSERT_EQ(boxes->Asked().size(), 1u);
    EXPECT_EQ(boxes->Asked()[0].text.rfind("Cannot create the folder for all users \"" + home.str() +
                                               "/not-a-folder/Pellmor/YUX\": ", 0),
              0u)
        << boxes->Asked()[0].text;
  }
  TForm2 form;
  form.ball->click();
  EXPECT_TRUE(form.Chosen());
  const fs::path folder = shared.path() / "Pellmor" / "YUX";
  EXPECT_EQ(SettingsFolder, folder.string());
  ASSERT_TRUE(fs::is_directory(folder));
  EXPECT_EQ(static_cast<unsigned>(fs::status(folder).permissions()) & 07777, 02770u);
}

TEST_F(Chooser, OwnFolderIsCreatedOrTheChooserStaysOpen) {
  test::WriteFile(home / "plain-file", "x");
  TForm2 form;
  form.myfolder->setText(QString::fromStdString((home / "plain-file" / "settings").string()));
  form.bmy->click();
  EXPECT_FALSE(form.Chosen());
  EXPECT_EQ(SettingsFolder, "");
  EXPECT_FALSE(fs::exists(home / "yuxinfo.dat"));
  ASSERT_EQ(boxes->Asked().size(), 1u);
  EXPECT_EQ(boxes->Asked()[0].text, "\rCannot create this folder");

  const fs::path own = home / "my" / "YUX Settings";
  form.myfolder->setText(QString::fromStdString(own.string()));
  form.bmy->click();
  EXPECT_TRUE(form.Chosen());
  EXPECT_TRUE(fs::is_directory(own));
  EXPECT_EQ(SettingsFolder, own.string());
  EXPECT_EQ(ReadSettingsLocation(), own.string());
}

TEST_F(Chooser, UnwritableLocationIsReportedAndTheChoiceStillHolds) {
  fs::create_directories(home / "yuxinfo.dat");  // a folder where the file goes
  TForm2 form;
  form.buser->click();
  EXPECT_TRUE(form.Chosen());
  EXPECT_EQ(SettingsFolder, data.str() + "/Pellmor/YUX");
  ASSERT_EQ(boxes->Asked().size(), 1u);
  EXPECT_EQ(boxes->Asked()[0].text,
            "Error: " + home.str() + "/yuxinfo.dat is not writable. Rus installation as administrator!");
}

TEST_F(Chooser, WithoutADisplayTheCurrentUsersFolderIsTaken) {
  ASSERT_TRUE(platform::IsHeadless());  // tests run offscreen
  WidgetDialogHooks hooks;
  EXPECT_EQ(hooks.ChooseSettingsFolder(), SettingsChoice::ChosenByDefault);
  EXPECT_EQ(SettingsFolder, data.str() + "/Pellmor/YUX");
  EXPECT_EQ(ReadSettingsLocation(), SettingsFolder);
}
