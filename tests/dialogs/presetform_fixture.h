#pragma once
// The preset dialog's surroundings for its tests: the program's folders,
// scripted boxes and password dialog, an emulated recorder on drive E:, and
// helpers that drive modal windows and read preset files.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/store/folders.h"
#include "core/store/options.h"
#include "core/store/presets.h"
#include "core/window/mainform.h"
#include "dialogs/presetform.h"
#include "disc/lcdbpro.h"
#include "net/protocols/mimeutils.h"
#include "platform/driveletters.h"
#include "platform/messagebox.h"
#include "platform/mmc_emulated.h"
#include "tests/core/program_fixture.h"
#include "tests/support/testsupport.h"

namespace yux::test {

namespace fs = std::filesystem;

class PresetDialogTest : public ProgramTest {
 protected:
  void SetUp() override {
    boxes = std::make_shared<platform::ScriptedMessageBoxService>();
    SetUpProgram(boxes, &hooks);
    SettingsFolder = settings.str();
    PresetsFolder = (settings / "presets").string();
    fs::create_directories(PresetsFolder);
    EditedPresetName.clear();
    NewPresetFlag = false;
    NotepadWait = false;
  }
  void TearDown() override {
    burner.reset();
    drive.reset();
    platform::DriveLetterMap::Global().Clear();
    EditedPresetName.clear();
    PresetsFolder.clear();
    ProgramTest::TearDown();
  }

  // An emulated recorder with a medium of that profile on drive E:, known
  // to the disc component.
  void UseRecorder(uint16_t profile = 0x1A, uint32_t capacity = 0) {
    drive = std::make_shared<platform::EmulatedMmcDrive>((discs / "disc.img").string(), profile, capacity);
    auto& map = platform::DriveLetterMap::Global();
    map.Clear();
    map.AssignEmulated('E', drive);
    burner = std::make_unique<disc::TLCDBurnerPro>();
    burner->InitializeDevices(false);
  }

  std::unique_ptr<TForm3> Open(const std::string& name) {
    EditedPresetName = name;
    return std::make_unique<TForm3>(burner.get());
  }

  std::vector<std::string> Texts() const {
    std::vector<std::string> t;
    for (const auto& r : boxes->Asked()) t.push_back(r.text);
    return t;
  }

  std::shared_ptr<platform::ScriptedMessageBoxService> boxes;
  FakeHooks hooks;
  TempDir discs;
  std::shared_ptr<platform::EmulatedMmcDrive> drive;
  std::unique_ptr<disc::TLCDBurnerPro> burner;
};

// The plain lines of a preset file.
inline std::vector<std::string> PresetLines(const fs::path& file) {
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(file));
  std::string l;
  while (std::getline(in, l)) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
    lines.push_back(UnscrambleText(l));
  }
  return lines;
}

// The value of a key's first line in a preset file's plain lines.
inline std::string KeyValue(const std::vector<std::string>& lines, const std::string& key) {
  for (const auto& l : lines)
    if (l.compare(0, 4, key + " ") == 0) return l.substr(4);
  return "<missing>";
}

// Runs `act` on the first visible window of type T once it shows (inside
// the modal loop that shows it); fails the test when none shows in time.
template <typename T>
void WhenShown(std::function<void(T*)> act, int boundMs = 20000) {
  auto* timer = new QTimer;
  auto started = std::make_shared<QElapsedTimer>();
  started->start();
  QObject::connect(timer, &QTimer::timeout, [timer, act, started, boundMs] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (auto* t = qobject_cast<T*>(w); t && t->isVisible()) {
        timer->stop();
        timer->deleteLater();
        act(t);
        return;
      }
    }
    if (started->elapsed() > boundMs) {
      timer->stop();
      timer->deleteLater();
      ADD_FAILURE() << "no window of the expected type was shown";
    }
  });
  timer->start(10);
}

// Drops the paths, as the file manager does, on the middle of a list of
// the shown "File lists" page.
inline void Drop(TForm3& form, QListWidget* list, const std::vector<fs::path>& paths) {
  form.PageControl1->setCurrentWidget(form.TabSheet3);
  QApplication::processEvents();  // the page is laid out when shown
  QMimeData mime;
  QList<QUrl> urls;
  for (const auto& p : paths) urls << QUrl::fromLocalFile(QString::fromStdString(p.string()));
  mime.setUrls(urls);
  const QPointF at = list->mapTo(&form, list->rect().center());
  QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&form, &enter);
  QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&form, &drop);
}

// Sets a control the way a user would leave it.
inline void SetControl(QWidget* w, const std::string& value) {
  if (auto* c = qobject_cast<QCheckBox*>(w)) {
    if (c->isChecked() != (value == "1")) c->click();
  } else if (auto* b = qobject_cast<QComboBox*>(w)) {
    if (b->isEditable()) b->setEditText(QString::fromStdString(value));
    else b->setCurrentIndex(std::stoi(value));
  } else if (auto* s = qobject_cast<QSpinBox*>(w)) {
    s->setValue(std::stoi(value));
  } else if (auto* sl = qobject_cast<QSlider*>(w)) {
    sl->setValue(std::stoi(value));
  } else if (auto* e = qobject_cast<QLineEdit*>(w)) {
    e->setText(QString::fromStdString(value));
  } else {
    ADD_FAILURE() << "no way to set " << w->objectName().toStdString();
  }
}

// What a control shows, in the form of the table's values.
inline std::string ControlValue(QWidget* w) {
  if (auto* c = qobject_cast<QCheckBox*>(w)) return c->isChecked() ? "1" : "0";
  if (auto* b = qobject_cast<QComboBox*>(w))
    return b->isEditable() ? b->currentText().toStdString() : std::to_string(b->currentIndex());
  if (auto* s = qobject_cast<QSpinBox*>(w)) return std::to_string(s->value());
  if (auto* sl = qobject_cast<QSlider*>(w)) return std::to_string(sl->value());
  if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text().toStdString();
  return "<unknown control>";
}

}  // namespace yux::test
