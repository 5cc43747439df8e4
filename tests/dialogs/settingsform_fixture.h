#pragma once
// The settings dialog's surroundings for its tests: the program's folders,
// scripted boxes and password dialog, a phone book, language files, and an
// independent reader of "yux.opt" and of skin files.
#include <QApplication>
#include <QByteArray>
#include <QTabWidget>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/store/folders.h"
#include "core/store/options.h"
#include "core/store/skin.h"
#include "dialogs/settingsform.h"
#include "platform/messagebox.h"
#include "platform/ras.h"
#include "tests/core/program_fixture.h"
#include "tests/dialogs/presetform_fixture.h"
#include "tests/support/testsupport.h"

namespace yux::test {

// The text of a stored options line, decoded here without the program's
// own routines: Base64, then one 3-digit group per character after the
// 6-digit checksum (odd positions +32, even +16).
inline std::string DecodeStoredLine(const std::string& stored) {
  const std::string digits = QByteArray::fromBase64(QByteArray::fromStdString(stored)).toStdString();
  if (digits.size() < 6 || digits.size() % 3 != 0) return "<damaged>";
  std::string text;
  int position = 1;
  for (std::size_t i = 6; i < digits.size(); i += 3, ++position)
    text += static_cast<char>((std::stoi(digits.substr(i, 3)) - (position % 2 ? 32 : 16)) & 0xFF);
  return text;
}

// "yux.opt" as key -> value, read line by line.
inline std::map<std::string, std::string> ReadOptionsFile(const std::filesystem::path& file) {
  std::map<std::string, std::string> values;
  const std::string data = ReadFile(file);
  std::size_t start = 0;
  while (start < data.size()) {
    std::size_t end = data.find("\r\n", start);
    if (end == std::string::npos) end = data.size();
    const std::string line = DecodeStoredLine(data.substr(start, end - start));
    if (line.size() >= 3) values[line.substr(0, 3)] = line.size() > 4 ? line.substr(4) : std::string();
    start = end + 2;
  }
  return values;
}

// A skin file as key -> value (comment lines left out).
inline std::map<std::string, std::string> ReadSkinFile(const std::filesystem::path& file) {
  std::map<std::string, std::string> values;
  const std::string data = ReadFile(file);
  std::size_t start = 0;
  while (start < data.size()) {
    std::size_t end = data.find('\n', start);
    if (end == std::string::npos) end = data.size();
    std::string line = data.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto eq = line.find('=');
    if (!line.empty() && line[0] != ';' && eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    start = end + 1;
  }
  return values;
}

class SettingsDialogTest : public ProgramTest {
 protected:
  void SetUp() override {
    boxes = std::make_shared<platform::ScriptedMessageBoxService>();
    SetUpProgram(boxes, &hooks);
    SettingsFolder = settings.str();
    savedProgramFolder_ = ProgramFolder;
    ProgramFolder = program.str();
    Skin = tskin{};
    platform::RasResetEmulation();
  }
  void TearDown() override {
    platform::RasResetEmulation();
    Skin = tskin{};
    ProgramFolder = savedProgramFolder_;
    ProgramTest::TearDown();
  }

  // The dialog, shown (which fills it).
  std::unique_ptr<TForm4> Open(TForm1* main = nullptr) {
    auto form = std::make_unique<TForm4>(main);
    form->show();
    QApplication::processEvents();
    return form;
  }

  void WritePhoneBook(const std::string& text) {
    const std::filesystem::path book = platform::PhoneBookPath();
    std::filesystem::create_directories(book.parent_path());
    WriteFile(book, text);
  }

  // A language file in the program folder whose STRINGS section gives
  // "doneword" its own text.
  void WriteLanguage(const std::string& name, const std::string& done) {
    WriteFile(program / name, "[INFO]\r\nlanguage=Test " + name + "\r\n[STRINGS]\r\ndoneword=\"" + done +
                                  "\"\r\n[FORMS]\r\nForm4okbut=O&K " + name + "\r\n");
  }

  std::vector<std::string> Texts() const {
    std::vector<std::string> t;
    for (const auto& r : boxes->Asked()) t.push_back(r.text);
    return t;
  }

  std::filesystem::path OptionsFile() const { return settings / "yux.opt"; }

  std::shared_ptr<platform::ScriptedMessageBoxService> boxes;
  FakeHooks hooks;
  TempDir program;

 private:
  std::string savedProgramFolder_;
};

}  // namespace yux::test
