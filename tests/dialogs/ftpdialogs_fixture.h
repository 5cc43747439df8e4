#pragma once
// The FTP windows' surroundings: a program folder and a temp folder of
// their own (both must stay clean), a preset "P" whose uploads went to a
// test server, its history, and helpers that drive the windows offscreen.
#include <QCoreApplication>
#include <QDateTime>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/run/foldercopy.h"
#include "core/services/startup.h"
#include "core/store/folders.h"
#include "core/store/presets.h"
#include "dialogs/ftpchkform.h"
#include "dialogs/ftpdlform.h"
#include "dialogs/restoreform.h"
#include "platform/messages.h"
#include "tests/core/program_fixture.h"
#include "tests/peers/ftppeers.h"

namespace yux::test {

class FtpDialogTest : public ProgramTest {
 protected:
  void SetUp() override {
    boxes = std::make_shared<platform::ScriptedMessageBoxService>();
    SetUpProgram(boxes, &hooks);
    SettingsFolder = settings.str();
    PresetsFolder = (settings / "presets").string();
    std::filesystem::create_directories(PresetsFolder);
    savedProgram = ProgramFolder;
    savedTemp = TempFolder;
    ProgramFolder = program.str();
    TempFolder = temp.str();
    SetPresetDefaults(preset);
  }
  void TearDown() override {
    ProgramFolder = savedProgram;
    TempFolder = savedTemp;
    ProgramTest::TearDown();
  }

  // Handles events until `done` holds or 30 seconds passed.
  static bool WaitFor(const std::function<bool()>& done, int ms = 30000) {
    for (int waited = 0; waited < ms; waited += 10) {
      if (done()) return true;
      platform::ProcessMessagesFor(10);
    }
    return done();
  }

  // Saves the preset and adds one "3-FTP" history line per location,
  // the first one newest.
  void SavePresetWithFtpRows(const std::vector<std::string>& locations) {
    ASSERT_TRUE(SavePreset("P", preset));
    const QDateTime t(QDate(2024, 5, 6), QTime(10, 0));
    for (size_t i = locations.size(); i-- > 0;)
      AddHistoryLine("P", kHistoryFtp, locations[i], t.addSecs(60 * int(locations.size() - i)));
  }

  static QTreeWidgetItem* Row(Trestoreform& f, const std::string& location) {
    for (int i = 0; i < f.histlist->topLevelItemCount(); ++i)
      if (f.histlist->topLevelItem(i)->text(2).toStdString() == location) return f.histlist->topLevelItem(i);
    ADD_FAILURE() << "no row " << location;
    return nullptr;
  }

  // Presses "Start downloading" and waits for the download's end.
  static int Download(Tftpdl& dl) {
    dl.bstart->click();
    EXPECT_TRUE(WaitFor([&] { return !dl.Busy(); }, 60000));
    return dl.result();
  }

  static std::vector<std::string> Lines(const QPlainTextEdit* memo) {
    std::vector<std::string> lines;
    for (const QString& l : memo->toPlainText().split('\n')) lines.push_back(l.toStdString());
    return lines;
  }

  static std::vector<std::string> Entries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder)) names.push_back(e.path().filename().string());
    return names;
  }

  static void Screenshot(QWidget& w, const std::string& name) {
    const std::filesystem::path screens = BuildDir() / "screens";
    std::filesystem::create_directories(screens);
    w.show();
    QCoreApplication::processEvents();
    EXPECT_TRUE(w.grab().save(QString::fromStdString((screens / name).string())));
  }

  std::shared_ptr<platform::ScriptedMessageBoxService> boxes;
  FakeHooks hooks;
  TempDir program, temp, work;
  std::string savedProgram, savedTemp;
  tarcopt preset;
};

// Uploads a file with curl into vsftpd's "pub", as any FTP client would.
inline ::testing::AssertionResult CurlUpload(const VsftpdServer& server, const std::filesystem::path& file,
                                             bool tls = false) {
  std::vector<std::string> argv = {"curl", "-sS", "--ftp-pasv", "-T", file.string()};
  if (tls) argv.insert(argv.end(), {"--ssl-reqd", "-k"});
  argv.push_back("ftp://127.0.0.1:" + std::to_string(server.Port()) + "/pub/");
  ProcessResult r = RunProgram(argv, {}, 60000);
  if (r.exitCode == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "curl: " << r.exitCode << " " << r.err;
}

}  // namespace yux::test
