// The preset dialog's include and exclude lists: locale order, duplicates,
// drops from the file manager, the text editor, the file browser and the
// exclude options; the CD/DVD drive and the preset's picture.
#include <QCollator>
#include <QComboBox>
#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QUrl>

#include <algorithm>
#include <filesystem>
#include <set>

#include "core/services/shellutils.h"
#include "core/services/startup.h"
#include "core/store/msgtable.h"
#include "core/store/savefile.h"
#include "core/window/mainform.h"
#include "dialogs/addfoldersform.h"
#include "dialogs/dialogwidgets.h"
#include "dialogs/excludeform.h"
#include "dialogs/presetform.h"
#include "dialogs/texteditorform.h"
#include "disc/lcdbpro.h"

namespace yux {

namespace {
namespace fs = std::filesystem;

bool IsFolder(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

}  // namespace

void TForm3::AddSorted(QListWidget* list, const QString& text) {
  // The user's locale orders the list, as the file manager does.
  const QCollator collator;
  int low = 0, high = list->count();
  while (low < high) {
    const int mid = (low + high) / 2;
    if (collator.compare(list->item(mid)->text(), text) <= 0) low = mid + 1;
    else high = mid;
  }
  list->insertItem(low, text);
}

std::vector<std::string> TForm3::ListLines(const QListWidget* list) {
  std::vector<std::string> lines;
  for (int i = 0; i < list->count(); ++i) lines.push_back(list->item(i)->text().toStdString());
  return lines;
}

void TForm3::SetListLines(QListWidget* list, const std::vector<std::string>& lines) {
  QStringList texts;
  for (const auto& l : lines) texts << QString::fromStdString(l);
  const QCollator collator;
  std::stable_sort(texts.begin(), texts.end(),
                   [&](const QString& a, const QString& b) { return collator.compare(a, b) < 0; });
  list->clear();
  list->addItems(texts);
}

void TForm3::RemoveDuplicates() {
  // Only entries equal byte for byte go: here two names that differ in
  // case are two files, and dropping one would drop it from the backup.
  for (QListWidget* list : {inc, exc}) {
    std::set<QString> seen;
    for (int i = 0; i < list->count();) {
      if (!seen.insert(list->item(i)->text()).second) delete list->takeItem(i);
      else ++i;
    }
  }
}

void TForm3::AddDroppedPath(const std::string& path, bool include) {
  QListWidget* list = include ? inc : exc;
  QString entry = QString::fromStdString(path);
  if (include && conlyfiles->isChecked() && IsFolder(path) && !entry.endsWith('/')) {
    AddSorted(list, entry + "/*.*");
  } else if (list->findItems(entry, Qt::MatchExactly | Qt::MatchCaseSensitive).isEmpty()) {
    AddSorted(list, entry);
  }
  RemoveDuplicates();
}

void TForm3::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TForm3::dragMoveEvent(QDragMoveEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TForm3::dropEvent(QDropEvent* event) {
  // Drops count only where the lists can be seen.
  if (PageControl1->currentWidget() != TabSheet3 || !event->mimeData()->hasUrls()) return;
  const QPoint at = event->position().toPoint();
  auto inside = [&](QListWidget* list) {
    const QRect r(list->mapTo(this, QPoint(0, 0)), list->size());
    return at.x() > r.left() && at.x() < r.right() && at.y() > r.top() && at.y() < r.bottom();
  };
  const bool onInclude = inside(inc);
  const bool onExclude = !onInclude && inside(exc);
  for (const QUrl& url : event->mimeData()->urls()) {
    if (!url.isLocalFile()) continue;
    const std::string path = url.toLocalFile().toStdString();
    if (onInclude) AddDroppedPath(path, true);
    else if (onExclude) AddDroppedPath(path, false);
  }
  event->acceptProposedAction();
  raise();
  activateWindow();
}

void TForm3::beditClick(bool include) {
  QListWidget* list = include ? inc : exc;
  QPushButton* button = include ? beditinc : beditexc;
  const char* ext = include ? ".inc" : ".exc";
  const std::string name = TypedName();
  if (NewPresetFlag && name.empty()) {
    InfoBox(MessageText("firstenterpresetname"));
    return;
  }
  if (!AskYes(MessageText(include ? "updateinclist" : "updateexclist"))) return;

  // A new preset has no files yet: its list is edited in a file of the
  // temp folder, so that nothing reaches the presets folder before OK.
  QTemporaryDir scratch(QDir::tempPath() + "/yux-list-XXXXXX");
  std::string file, error;
  bool written = false;
  if (NewPresetFlag) {
    file = (scratch.path() + "/" + QString::fromStdString(ext).mid(1) + ".txt").toStdString();
    std::string text;
    for (const auto& l : ListLines(list)) text += l + "\r\n";
    written = scratch.isValid() && SaveFileWhole(file, text, &error);
  } else {
    file = PresetFilePath(name, ext);
    written = WritePresetList(name, ext, ListLines(list), &error);
  }
  if (!written) {
    ErrorBox(Format("savepreseterror", file, error));
    return;
  }
  NotepadWait = true;
  button->setEnabled(false);
  {
    TTextEditorForm editor(file, this);
    editor.exec();
  }
  NotepadWait = false;
  button->setEnabled(true);
  if (const auto lines = ReadListFile(file, ListText::Ansi)) SetListLines(list, *lines);
}

void TForm3::bexplorerClick() { QDesktopServices::openUrl(QUrl::fromLocalFile(QDir::homePath())); }

void TForm3::bbrowserClick() {
  // The browser opens over this dialog, which stays shown: hiding a dialog
  // ends its modal loop, and with it the edit of the preset.
  Taddfoldersform browser(this, this);
  browser.exec();
}

void TForm3::bexcadvClick() {
  TForm13 form(this);
  form.exec();
}

// ---- the CD/DVD drive ----

void TForm3::ecdriveChange() {
  ecddrivename->setText("This drive is not a CD/DVD drive!");
  bburnerinfo->setEnabled(false);
  if (!burner_ || ecdrive->currentIndex() < 0) return;
  const char letter = ecdrive->currentText().toStdString().at(0);
  const int count = burner_->GetDeviceCount();
  for (int i = 0; i < count; ++i) {
    const std::string device = burner_->GetDeviceName(i);
    const std::size_t comma = device.find(',');
    if (comma == std::string::npos || device.find(letter) != comma + 1) continue;
    ecddrivename->setText(QString::fromStdString(device));
    burner_->SelectDevice(i);
    bburnerinfo->setEnabled(burner_->IsRecorder());
    return;
  }
}

void TForm3::bburnerinfoClick() {
  if (!burner_) return;
  DriveAnswers a;
  a.ready = burner_->IsUnitReady();
  a.mediaType = burner_->GetMediaType();
  a.erasable = burner_->IsDiscErasable();
  a.writable = burner_->IsDiscWritable();
  a.sessions = burner_->GetSessionCount();
  a.capacityBlocks = burner_->GetCapacityBlocks();
  a.freeBlocks = burner_->GetFreeBlocks();
  a.maxWriteSpeed = burner_->GetMaxWriteSpeed();
  for (int n = 1; n <= 32; ++n) a.capability[n] = burner_->DeviceCapability(n);
  platform::MessageBox(DriveInfoText(a), kApplicationTitle, platform::MB_OK | platform::MB_ICONINFORMATION);
}

// ---- the preset's picture ----

void TForm3::selectglyphClick(const std::string& chosenFile) {
  auto plain = [](const std::string& key) {
    platform::MessageBox(MessageText(key), kApplicationTitle, platform::MB_OK);
  };
  if (NewPresetFlag) return plain("createpresfirst");
  const std::string name = TypedName();
  if (name.empty()) return;
  std::string source = chosenFile;
  if (source.empty())
    source = QFileDialog::getOpenFileName(this, "Get Bitmap", QString(), "Bitmaps (*.bmp)").toStdString();
  if (source.empty()) return;
  const std::string target = PresetFilePath(name, ".bmp");
  // A failed copy (also one of the picture onto itself) leaves the picture
  // there was.
  if (CopyFileBlocks(source, target)) {
    plain("imagewasattached");
    if (OnPresetListChanged) OnPresetListChanged();
  } else {
    plain("errorattachimage");
  }
}

void TForm3::removeglyphClick() {
  if (NewPresetFlag) {
    platform::MessageBox(MessageText("createpresfirst"), kApplicationTitle, platform::MB_OK);
    return;
  }
  const std::string name = TypedName();
  if (name.empty()) return;
  const std::string picture = PresetFilePath(name, ".bmp");
  std::error_code ec;
  if (!fs::exists(picture, ec)) {
    platform::MessageBox(MessageText("nouniqueimage"), kApplicationTitle, platform::MB_OK);
    return;
  }
  if (platform::MessageBox(MessageText("setstdimage"), kApplicationTitle, platform::MB_YESNO | platform::MB_ICONQUESTION) !=
      platform::IDYES)
    return;
  fs::remove(picture, ec);
  if (OnPresetListChanged) OnPresetListChanged();
}

}  // namespace yux
