// The shortcut maker: names and arguments of the launchers, where they go,
// and launchers that pass the desktop-entry check and start a recording
// program with exactly the lines of the list.
#include "dialogs/shortcutform.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QThread>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "tests/core/program_fixture.h"

using namespace yux;
using namespace yux::test;
namespace fs = std::filesystem;

namespace {

// The launched program runs on its own: wait for what it writes.
bool WaitForFile(const fs::path& p) {
  QElapsedTimer t;
  t.start();
  while (!fs::exists(p)) {
    if (t.elapsed() > 30000) return false;
    QThread::msleep(20);
  }
  return true;
}

class Shortcuts : public ProgramTest {
 protected:
  void SetUp() override {
    boxes = std::make_shared<platform::ScriptedMessageBoxService>();
    SetUpProgram(boxes, &hooks);
    SettingsFolder = settings.str();
    ShortcutFolder.clear();
    // The desktop folder lies in the home folder.
    if (const char* h = std::getenv("HOME")) savedHome = h;
    setenv("HOME", home.str().c_str(), 1);
  }
  void TearDown() override {
    ShortcutFolder.clear();
    setenv("HOME", savedHome.c_str(), 1);
    ProgramTest::TearDown();
  }
  std::vector<std::string> Entries(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(folder, ec)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::shared_ptr<platform::ScriptedMessageBoxService> boxes;
  FakeHooks hooks;
  TempDir out;
  std::string savedHome;
};

TEST_F(Shortcuts, NamesAndArgumentsOfTheLines) {
  struct Case {
    std::vector<std::string> lines;
    std::string file, arguments;
  } const cases[] = {
      {{"Daily", "Weekly", "/safeexit"}, "YUX - Daily, Weekly, SAFEEXIT.lnk", "\"Daily\" \"Weekly\" \"/safeexit\""},
      {{"/hide", "Daily", "/shutdown"}, "YUX - HIDE, Daily, SHUTDOWN.lnk", "\"/hide\" \"Daily\" \"/shutdown\""},
      {{"/EXIT", "a/b\tc"}, "YUX - /EXIT, a_b_c.lnk", "\"/EXIT\" \"a/b\tc\""},
      {{"say \"hi\""}, "YUX - say \"hi\".lnk", "\"say \\\"hi\\\"\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    std::string expectedFile = c.file;
    if (c.file == "YUX - /EXIT, a_b_c.lnk") expectedFile = "YUX - _EXIT, a_b_c.lnk";
    EXPECT_EQ(ShortcutFileName(c.lines), expectedFile);
    EXPECT_EQ(ShortcutArguments(c.lines), c.arguments);
  }
}

TEST_F(Shortcuts, OkPlacesTheLauncherAndLeavesTheListAsItWas) {
  TForm10 form({"Daily", "Weekly"}, "Weekly", nullptr);
  EXPECT_EQ(form.ComboBox1->currentText().toStdString(), "Weekly");
  EXPECT_EQ(form.ComboBox2->currentText().toStdString(), "/safeexit");
  form.programPath = "/usr/bin/true";
  form.BitBtn1->click();
  ASSERT_EQ(boxes->Asked().size(), 1u);
  EXPECT_EQ(boxes->Asked()[0].text, "\rPlease add at least one preset.");
  EXPECT_EQ(form.result(), 0);

  form.ComboBox1->setCurrentIndex(0);
  form.Button1->click();
  form.ComboBox1->setCurrentIndex(1);
  form.Button1->click();
  form.CheckBox2->setChecked(true);
  const std::string menu = (data / "applications" / "YUX Presets").string();
  form.BitBtn1->click();
  EXPECT_EQ(form.result(), QDialog::Accepted);
  EXPECT_EQ(Entries(menu), (std::vector<std::string>{"YUX - HIDE, Daily, Weekly, SAFEEXIT.desktop"}));
  EXPECT_EQ(form.Memo1->toPlainText().toStdString(), "Daily\nWeekly");
  // A second press makes the same launcher again, not a longer one.
  form.BitBtn1->click();
  EXPECT_EQ(Entries(menu).size(), 1u);

  // A chosen folder serves every later shortcut.
  TForm10 second({"Daily"}, "Daily", nullptr);
  second.programPath = "/usr/bin/true";
  second.Button1->click();
  second.CheckBox1->setChecked(false);
  second.browseForFolder = [this] { return (out / "chosen").string(); };
  second.BitBtn3->click();
  EXPECT_EQ(Entries(out / "chosen"), (std::vector<std::string>{"YUX - Daily.desktop"}));
  TForm10 third({"Weekly"}, "Weekly", nullptr);
  third.programPath = "/usr/bin/true";
  third.Button1->click();
  third.RadioItems[2]->setChecked(true);
  third.BitBtn1->click();
  EXPECT_EQ(Entries(out / "chosen"),
            (std::vector<std::string>{"YUX - Daily.desktop", "YUX - Weekly, SAFEEXIT.desktop"}));
}

TEST_F(Shortcuts, LaunchersPassTheCheckAndGiveEveryLineBackExactly) {
  YUX_REQUIRE_PROGRAM("desktop-file-validate");
  YUX_REQUIRE_PROGRAM("gio");
  const std::string validate = FindProgram("desktop-file-validate");
  const std::string gio = FindProgram("gio");
  // The recording program writes each argument followed by a NUL.
  const fs::path recorder = out / "bin" / "record yux";
  const fs::path record = out / "args";
  fs::create_directories(recorder.parent_path());
  WriteFile(recorder, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\0' \"$a\"; done > \"" + record.string() +
                          ".tmp\" && mv \"" + record.string() + ".tmp\" \"" + record.string() + "\"\n");
  fs::permissions(recorder, fs::perms::owner_all);

  const std::vector<std::string> presets = {"Daily run", "say \"hi\" 'now'", "100% $HOME", "back\\slash\\",
                                            "semi;colon & `tick` ~x"};
  TForm10 form(presets, presets[0], nullptr);
  form.programPath = recorder.string();
  for (int i = 0; i < static_cast<int>(presets.size()); ++i) {
    form.ComboBox1->setCurrentIndex(i);
    form.Button1->click();
  }
  form.RadioItems[2]->setChecked(true);
  form.BitBtn1->click();
  ASSERT_EQ(form.result(), QDialog::Accepted) << (boxes->Asked().empty() ? "" : boxes->Asked()[0].text);
  std::vector<fs::path> launchers;
  for (const fs::path& folder : {data / "applications" / "YUX Presets", home.path() / "Desktop"})
    for (auto& e : fs::directory_iterator(folder)) launchers.push_back(e.path());
  ASSERT_EQ(launchers.size(), 2u);
  std::string expected;
  for (const std::string& p : presets) expected += p + '\0';
  expected += std::string("/safeexit") + '\0';
  for (const fs::path& launcher : launchers) {
    SCOPED_TRACE(launcher.string());
    const auto check = RunProgram({validate, launcher.string()});
    EXPECT_EQ(check.exitCode, 0) << check.out << check.err << "\n" << ReadFile(launcher);
    fs::remove(record);
    const auto launch = RunProgram({gio, "launch", launcher.string()});
    EXPECT_EQ(launch.exitCode, 0) << launch.out << launch.err;
    ASSERT_TRUE(WaitForFile(record));
    EXPECT_EQ(ReadFile(record), expected) << ReadFile(launcher);
  }
}

}  // namespace
