#pragma once
// The restore window's tests: scripted boxes and password answers, a
// settings folder with its presets, the rows of the window, and the files
// a restore left.
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "core/services/startup.h"
#include "core/store/folders.h"
#include "dialogs/restoreform.h"
#include "tests/core/program_fixture.h"

namespace yux::test {

class RestoreTest : public ProgramTest {
 protected:
  void SetUp() override {
    boxes = std::make_shared<platform::ScriptedMessageBoxService>();
    SetUpProgram(boxes, &hooks);
    SettingsFolder = settings.str();
    PresetsFolder = (settings / "presets").string();
    std::filesystem::create_directories(PresetsFolder);
    std::filesystem::create_directories(work / "tmp");
    TempFolder = (work / "tmp").string();
  }
  void TearDown() override {
    TempFolder.clear();
    ProgramTest::TearDown();
  }
  // The row with that location; a failure when there is none.
  static QTreeWidgetItem* Row(Trestoreform& f, const std::string& location) {
    for (int i = 0; i < f.histlist->topLevelItemCount(); ++i)
      if (f.histlist->topLevelItem(i)->text(2).toStdString() == location) return f.histlist->topLevelItem(i);
    ADD_FAILURE() << "no row " << location;
    return nullptr;
  }
  std::shared_ptr<platform::ScriptedMessageBoxService> boxes;
  FakeHooks hooks;
  TempDir work;
};

// Every regular file below `root` with its bytes, by relative path.
inline std::map<std::string, std::string> FilesBelow(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  std::map<std::string, std::string> files;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator(); ++it)
    if (it->is_regular_file()) files[fs::relative(it->path(), root).string()] = ReadFile(it->path());
  return files;
}

}  // namespace yux::test
