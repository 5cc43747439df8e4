// The main window's preset list and the commands that act on presets.
#include <QCollator>
#include <QComboBox>
#include <QGuiApplication>
#include <QImage>
#include <QMenu>
#include <QPixmap>
#include <QScreen>
#include <QTreeWidget>

#include <algorithm>
#include <filesystem>

#include "core/services/dialoghooks.h"
#include "core/services/startup.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/presets.h"
#include "core/window/mainform.h"
#include "core/window/scheduleform.h"
#include "core/window/tray.h"
#include "platform/messagebox.h"

namespace yux {

namespace {
namespace fs = std::filesystem;

bool FileExists(const std::string& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec);
}

void ErrorBox(const std::string& text) {
  platform::MessageBox("\r" + text, kApplicationTitle, platform::MB_OK | platform::MB_ICONERROR);
}

}  // namespace

int ComparePresetRows(const QCollator& collator, const std::string& captionA, const std::string& textA,
                      const std::string& captionB, const std::string& textB, bool ascending) {
  const int byText = collator.compare(QString::fromStdString(textA), QString::fromStdString(textB));
  if (byText != 0) return ascending ? byText : -byText;
  return collator.compare(QString::fromStdString(captionA), QString::fromStdString(captionB));
}

bool& TForm1::SortAscending(int column) {
  if (column == kColumnScheduled) return Options.lt2;
  if (column == kColumnPrevious) return Options.lt3;
  return Options.lt1;
}

void TForm1::SetPresetIcon(QTreeWidgetItem* item, const std::string& name) {
  std::string file = PresetFilePath(name, ".bmp");
  if (!FileExists(file)) file = PathJoin(ProgramFolder, "defpres.bmp");
  QImage image;
  if (!image.load(QString::fromStdString(file)) || image.isNull()) return;
  // Automatic transparency: the colour of the bottom-left pixel is the
  // background.
  QPixmap pixmap = QPixmap::fromImage(image);
  pixmap.setMask(pixmap.createMaskFromColor(image.pixelColor(0, image.height() - 1), Qt::MaskInColor));
  item->setIcon(kColumnName, QIcon(pixmap));
}

void TForm1::LoadPresetList() {
  list->clear();
  if (Form5) Form5->presetbox->clear();
  for (const std::string& name : ListPresetNames(PresetsFolder)) {
    auto* item = new QTreeWidgetItem(list, {QString::fromStdString(name), QString(), QString()});
    SetPresetIcon(item, name);
    if (Form5) Form5->presetbox->addItem(QString::fromStdString(name));
  }
  LoadLastRuns();
  RefreshSchedule();
  SortPresetList();
}

void TForm1::SortPresetList() {
  const int column = std::clamp(Options.lvc, 0, 2);
  const bool ascending = SortAscending(column);
  QTreeWidgetItem* current = list->currentItem();
  QCollator collator;  // the user's locale
  std::vector<QTreeWidgetItem*> items;
  while (list->topLevelItemCount() > 0) items.push_back(list->takeTopLevelItem(0));
  std::stable_sort(items.begin(), items.end(), [&](QTreeWidgetItem* a, QTreeWidgetItem* b) {
    return ComparePresetRows(collator, a->text(kColumnName).toStdString(), a->text(column).toStdString(),
                             b->text(kColumnName).toStdString(), b->text(column).toStdString(), ascending) < 0;
  });
  for (QTreeWidgetItem* item : items) list->addTopLevelItem(item);
  if (current) list->setCurrentItem(current);
}

void TForm1::ColumnClick(int column) {
  if (column < 0 || column > 2) return;
  bool& ascending = SortAscending(column);
  ascending = !ascending;
  Options.lvc = column;
  SortPresetList();
}

std::vector<std::string> TForm1::PresetNames() const {
  std::vector<std::string> names;
  for (int i = 0; i < list->topLevelItemCount(); ++i) names.push_back(list->topLevelItem(i)->text(kColumnName).toStdString());
  return names;
}

std::string TForm1::SelectedPresetName() const {
  const auto selected = list->selectedItems();
  return selected.isEmpty() ? std::string() : selected.first()->text(kColumnName).toStdString();
}

bool TForm1::SelectPreset(const std::string& name) {
  for (int i = 0; i < list->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = list->topLevelItem(i);
    if (item->text(kColumnName).toStdString() == name) {
      list->setCurrentItem(item);
      item->setSelected(true);
      return true;
    }
  }
  return false;
}

void TForm1::RefreshScheduledColumn() {
  for (int i = 0; i < list->topLevelItemCount(); ++i) list->topLevelItem(i)->setText(kColumnScheduled, QString());
  for (std::size_t k = Schedule.Count(); k-- > 0;) {
    const tschdata& row = Schedule.Row(k);
    const QString name = QString::fromStdString(row.Name);
    for (int i = 0; i < list->topLevelItemCount(); ++i) {
      QTreeWidgetItem* item = list->topLevelItem(i);
      if (item->text(kColumnName) == name) item->setText(kColumnScheduled, QString::fromStdString(row.DateText));
    }
  }
}

std::optional<std::string> TForm1::PresetForCommand(bool complain) {
  std::string name = SelectedPresetName();
  if (!name.empty()) return name;
  if (complain)
    platform::MessageBox(MessageText("selectapreset"), kApplicationTitle, platform::MB_OK | platform::MB_ICONINFORMATION);
  return std::nullopt;
}

bool TForm1::PasswordAllows(bool protectionFlag) {
  return !protectionFlag || CheckAdminPassword(MessageText("enteradminpassword"));
}

void TForm1::RunSelectedPreset() {
  const std::string name = SelectedPresetName();
  if (name.empty() || RunActive) return;
  RunPreset(name);
}

void TForm1::New1Click() {
  if (!PasswordAllows(Options.spm)) return;
  PresetConfiguration(kNewPresetName);
}

void TForm1::baddpresetClick() {
  // The toolbar's add button is protected like the menu item: the
  // protection would mean nothing if one of them skipped it.
  New1Click();
}

void TForm1::Delete1Click() {
  const std::string name = SelectedPresetName();
  if (name.empty()) return;
  if (platform::MessageBox("\r" + MessageText("deletepreset"), kApplicationTitle,
                           platform::MB_YESNO | platform::MB_ICONQUESTION) != platform::IDYES)
    return;
  if (!PasswordAllows(Options.spm)) return;
  if (!DeletePresetFiles(name)) ErrorBox(MessageText("errorcannotdelete"));
  DeleteScheduleRowsFor(name);
  LoadPresetList();
}

namespace {

void ShowScheduleWindow(TForm5* form, const std::string& preset) {
  if (!form) return;
  const int index = form->presetbox->findText(QString::fromStdString(preset), Qt::MatchExactly | Qt::MatchCaseSensitive);
  form->presetbox->setCurrentIndex(index);
  if (index < 0) form->presetbox->setEditText(QString());
  form->show();
  form->raise();
  form->activateWindow();
}

}  // namespace

void TForm1::Scheduling1Click() {
  const std::string name = SelectedPresetName();
  if (name.empty()) return;
  if (!PasswordAllows(Options.sph)) return;
  // A running preset's log lines carry its name: leave it alone until the
  // run is over.
  if (!RunActive) CurrentPresetName = name;
  ShowScheduleWindow(Form5, name);
}

void TForm1::bschClick() {
  // The scheduler window is protected however it is reached.
  if (!PasswordAllows(Options.sph)) return;
  ShowScheduleWindow(Form5, CurrentPresetName);
}

void TForm1::PresetConfiguration(const std::string& presetName, const std::string& page) {
  std::string name = presetName;
  if (name != kNewPresetName) {
    // The list editors name their preset with a leading "*" and skip the
    // preset's password.
    const bool listEditor = !name.empty() && name[0] == '*';
    if (listEditor) name.erase(0, 1);
    if (name.empty()) return;
    if (!listEditor) {
      tarcopt preset;
      try {
        LoadPreset(name, preset);
      } catch (const EPresetFileError& e) {
        ErrorBox(e.what());
        return;
      }
      if (!preset.pwd.empty()) {
        PasswordConfirmMode = false;
        PasswordAccepted = false;
        PasswordText.clear();
        if (DialogHooks* hooks = CurrentDialogHooks()) hooks->ShowPasswordDialog(MessageText("enterpasswordfor") + name);
        if (!PasswordAccepted) return;
        if (PasswordText != preset.pwd) {
          ErrorBox(MessageText("incorrectpassword"));
          return;
        }
      }
    }
  }
  if (OnPresetDialog) OnPresetDialog(name, page);
}

void TForm1::Restore1Click() {
  const std::string name = SelectedPresetName();
  if (name.empty()) return;
  if (OnRestoreDialog) OnRestoreDialog(name);
}

void TForm1::CreateShortcut1Click() {
  const std::string name = SelectedPresetName();
  if (name.empty() || !PasswordAllows(Options.spm)) return;
  if (OnShortcutDialog) OnShortcutDialog(name);
}

void TForm1::Duplicate1Click(bool rename) {
  const std::string name = SelectedPresetName();
  if (name.empty() || !PasswordAllows(Options.spm)) return;
  if (OnDuplicateDialog) OnDuplicateDialog(name, rename);
}

void TForm1::OpenSettings(const std::string& page) {
  if (!PasswordAllows(Options.sps)) return;
  if (OnSettingsDialog) OnSettingsDialog(page);
}

void TForm1::SetBinMode(int mode) {
  if (mode == 1 && !Options.obk) {
    platform::MessageBox(MessageText("nokeeperenabled"), kApplicationTitle, platform::MB_OK | platform::MB_ICONINFORMATION);
    return;
  }
  if (mode == 2 && !Options.obr) {
    platform::MessageBox(MessageText("norecycleenabled"), kApplicationTitle, platform::MB_OK | platform::MB_ICONINFORMATION);
    return;
  }
  Options.obt = mode;
  ShowBinMode(mode);
}

void TForm1::ShowBinMode(int mode) {
  for (const char* item : {"Off1", "Keeper1", "Recycle1", "Off2", "Keeper2", "Recycle2"})
    if (auto* a = findChild<QAction*>(item)) a->setChecked(a->data().toInt() == mode);
  if (OnBinModeChanged) OnBinModeChanged(mode);
}

void TForm1::ShowHide() {
  if (isVisible() && !isMinimized()) {
    hide();
    return;
  }
  if (!PasswordAllows(Options.spa)) return;
  showNormal();
  raise();
  activateWindow();
}

void TForm1::MoveToTray() {
  // Without a tray a hidden window could never be shown again (and a new
  // start only says that the program runs): it is minimised instead.
  if (!TrayIcon || !SystemTrayAvailable()) {
    showMinimized();
    return;
  }
  ShowHide();
}

void TForm1::PreparePresetPopup() {
  const auto items = PopupMenu1->actions();
  if (items.size() < 2) return;
  const bool selected = !SelectedPresetName().empty();
  for (int i = 0; i + 1 < items.size(); ++i) items[i]->setEnabled(selected);
}

bool TForm1::SystemCommand(int command) {
  // Without a tray the window would have no way back: then minimise and
  // close keep their normal meaning.
  const bool trayUsable = TrayIcon && SystemTrayAvailable();
  switch (command) {
    case kAbortCommandId:
      AbortRequested = true;
      return true;
    case SC_MINIMIZE:
      if (Options.smz || !trayUsable) return false;
      MoveToTray();
      return true;
    case SC_CLOSE:
      if (!Options.hic || !trayUsable) return false;
      MoveToTray();
      return true;
    case SC_MAXIMIZE: {
      if (QScreen* s = screen()) {
        const QRect area = s->availableGeometry();
        if (area.width() < width() + 30)
          setGeometry(area.x() + (area.width() - 620) / 2, area.y() + (area.height() - 440) / 2, 620, 440);
      }
      showMaximized();
      return true;
    }
    default:
      return false;
  }
}

}  // namespace yux
