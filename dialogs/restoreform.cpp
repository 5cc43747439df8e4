#include "dialogs/restoreform.h"

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QStandardPaths>
#include <QStyle>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <stdlib.h>

#include <filesystem>
#include <map>
#include <memory>

#include "core/run/foldercopy.h"
#include "core/services/dialoghooks.h"
#include "core/services/restorehistory.h"
#include "core/services/shellutils.h"
#include "core/services/startup.h"
#include "core/store/folders.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/programlog.h"
#include "dialogs/dialogwidgets.h"
#include "dialogs/ftpchkform.h"
#include "dialogs/ftpdlform.h"
#include "dialogs/presetform.h"
#include "platform/process.h"

namespace fs = std::filesystem;

namespace yux {
namespace {

constexpr int kImageRole = Qt::UserRole + 1;

void SetImage(QTreeWidgetItem* row, int image) {
  row->setData(0, kImageRole, image);
  static const QStyle::StandardPixmap icons[] = {QStyle::SP_DialogApplyButton,
                                                 QStyle::SP_MessageBoxCritical,
                                                 QStyle::SP_MessageBoxQuestion};
  if (QTreeWidget* tree = row->treeWidget())
    row->setIcon(0, tree->style()->standardIcon(icons[image]));
}

bool IsFile(const std::string& path) {
  std::error_code ec;
  return !path.empty() && fs::is_regular_file(path, ec);
}

// A split backup opens from its first volume only: any volume's file
// restores its set from there, when it is beside it.
std::string FirstVolumeBeside(const std::string& file) {
  const fs::path path(file);
  const std::string first = (path.parent_path() / FirstVolumeName(path.filename().string())).string();
  return IsFile(first) ? first : file;
}

// The desktop's file manager; where it cannot, the path is named.
void OpenInShell(const std::string& path) { ExecuteCommand(path, ""); }

// The folder a restore has just filled, in the desktop's file manager.  The
// restore has already said where its files are, so a desktop without a file
// manager is no failure of it: the log notes why no folder came up, and no
// box follows the restore's own.
void ShowRestoredFolder(const std::string& folder) {
  platform::DWORD code = 0;
  const TWatchedStart started = StartWatched(folder, "", &code);
  if (started == TWatchedStart::wsStarted) return;
  const std::string reason = started == TWatchedStart::wsNotStarted
                                 ? platform::LastStartError()
                                 : "xdg-open ended with code " + std::to_string(code);
  AddLog("The desktop could not show the restored folder \"" + folder + "\" (" + reason + ").");
}

}  // namespace

Trestoreform::Trestoreform(const std::string& presetName, QWidget* parent)
    : QDialog(parent), presetName_(presetName) {
  setObjectName("restoreform");
  setWindowTitle("Restore");
  setModal(true);
  SetPresetDefaults(preset_);
  try {
    LoadPreset(presetName_, preset_);
  } catch (const std::exception&) {
    // An unreadable preset still has a history to show; the defaults stand.
  }
  auto* column = new QVBoxLayout(this);
  Label1 = Named(new QLabel("Note: the files created in the direct raring mode are not listed here. "
                            "To find them...", this),
                 "Label1");
  openfolder = Named(new QPushButton("click here to open the backup folder", this), "openfolder");
  openfolder->setFlat(true);
  openfolder->setCursor(Qt::PointingHandCursor);
  // A link, not the dialog's default button: Enter belongs to the rows.
  openfolder->setAutoDefault(false);
  openfolder->setToolTip(QString::fromStdString(preset_.dir));
  only3items = Named(new QCheckBox("Show only the three freshest archives for each action (uncheck to "
                                   "see all backup archives created by this preset)",
                                   this),
                     "only3items");
  only3items->setChecked(true);
  histlist = Named(new QTreeWidget(this), "histlist");
  histlist->setColumnCount(4);
  histlist->setHeaderLabels({"Date", "Action", "File", ""});
  // The date column is as wide as the dates with their times.
  histlist->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
  histlist->setColumnWidth(1, 80);
  histlist->setColumnWidth(2, 430);
  histlist->setColumnHidden(3, true);
  histlist->setRootIsDecorated(false);
  histlist->setSelectionBehavior(QAbstractItemView::SelectRows);
  histlist->setEditTriggers(QAbstractItemView::NoEditTriggers);
  histlist->installEventFilter(this);
  brefrcopy = BitBtn("Refresh COPY", "brefrcopy", this);
  brefrcd = BitBtn("Refresh CDRW", "brefrcd", this);
  brefrftp = BitBtn("Refresh FTP", "brefrftp", this);
  bhelp = BitBtn("Help", "bhelp", this);
  bclose = BitBtn("&Close", "bclose", this);
  column->addWidget(Label1);
  column->addWidget(openfolder);
  column->addWidget(only3items);
  column->addWidget(histlist);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(brefrcopy);
  buttons->addWidget(brefrcd);
  buttons->addWidget(brefrftp);
  buttons->addStretch();
  buttons->addWidget(bhelp);
  buttons->addWidget(bclose);
  column->addLayout(buttons);
  resize(720, 420);

  connect(only3items, &QCheckBox::clicked, this, [this] { LoadRestoreHistory(); });
  connect(histlist, &QTreeWidget::itemDoubleClicked, this,
          [this](QTreeWidgetItem* row, int) { histlistDblClick(row); });
  connect(brefrcopy, &QPushButton::clicked, this, [this] { brefrcopyClick(); });
  connect(brefrcd, &QPushButton::clicked, this, [this] { brefrcdClick(); });
  connect(brefrftp, &QPushButton::clicked, this, [this] { brefrftpClick(); });
  connect(openfolder, &QPushButton::clicked, this,
          [this] { OpenInShell(LocalFolderPath(preset_.dir)); });
  connect(bhelp, &QPushButton::clicked, this, [] { ShowHelpTopic("restoring_backup_files.htm"); });
  connect(bclose, &QPushButton::clicked, this, &QDialog::reject);
  // Under a skin the history list takes its list colours and the window its
  // picture, like the preset window's other dialogs.
  ApplyDialogSkin(this, {}, {histlist});
  std::vector<NumberedText> columns;
  for (int i = 0; i < 3; ++i) {
    columns.push_back({"restoreformcolumn" + std::to_string(i + 1),
                       [this, i] { return histlist->headerItem()->text(i).toStdString(); },
                       [this, i](const std::string& t) { histlist->headerItem()->setText(i, QString::fromStdString(t)); }});
  }
  LoadLanguageForms(this, Options.lng, {ControlKind::TLabel, ControlKind::TBitBtn, ControlKind::TCheckBox},
                    columns);
}

bool Trestoreform::LoadRestoreHistory() {
  std::vector<RestoreRow> rows;
  if (!ReadRestoreHistory(presetName_, only3items->isChecked(), &rows)) return false;
  histlist->clear();
  for (const RestoreRow& r : rows) {
    auto* item = new QTreeWidgetItem(histlist, {QString::fromStdString(r.date), QString::fromStdString(r.kind),
                                                QString::fromStdString(r.location), "?"});
    SetImage(item, 2);
  }
  return true;
}

bool Trestoreform::LoadOrReportEmpty() {
  if (LoadRestoreHistory()) return true;
  InfoBox("The backup history of this preset is empty.");
  return false;
}

int Trestoreform::RowImage(const QTreeWidgetItem* row) { return row->data(0, kImageRole).toInt(); }

void Trestoreform::histlistDblClick(QTreeWidgetItem* row) {
  if (!row) return;
  const std::string kind = row->text(1).toStdString();
  const std::string location = row->text(2).toStdString();
  if (kind.empty()) return;
  // A disc row whose letter leads to a mounted disc reads like a copy.
  if (kind[0] == '4' || kind[0] == '1') {
    const std::string file = LocalFolderPath(location);
    if (kind[0] == '1' && !IsFile(file)) {
      RestoreFromDisc(location);
      return;
    }
    if (!IsFile(file)) {
      InfoBox(MessageText("cannotlocatefile"));
      return;
    }
    RestoreFile(FirstVolumeBeside(file));
  } else if (kind[0] == '2') {
    RestoreRow r{row->text(0).toStdString(), kind, location};
    InfoBox(RestoreEmailText(r));
  } else if (kind[0] == '3') {
    DownloadFtpRow(row);
  }
}

void Trestoreform::RestoreFile(const std::string& archive) {
  const std::string parent = chooseFolder ? chooseFolder() : BrowseForFolder(this);
  if (parent.empty()) return;
  auto ask = [](const std::string& caption) -> std::optional<std::string> {
    DialogHooks* hooks = CurrentDialogHooks();
    if (!hooks) return std::nullopt;
    PasswordConfirmMode = false;
    PasswordText.clear();
    PasswordAccepted = false;
    hooks->ShowPasswordDialog(caption);
    if (!PasswordAccepted) return std::nullopt;
    return PasswordText;
  };
  setEnabled(false);
  RestoreOutcome out = RestoreArchive(WinRarPath, archive, parent, SettingsFolder, preset_.pwd, ask);
  setEnabled(true);
  if (!out.started) {
    ErrorBox("Cannot execute command.");
    return;
  }
  if (out.exitCode == 0) {
    InfoBox("The archive was restored to " + out.folder);
  } else {
    ErrorBox("The archiver ended with code " + std::to_string(out.exitCode) + " while restoring to " +
             out.folder + "; see winrar.log in the settings folder.");
  }
  std::error_code ec;
  if (fs::is_directory(out.folder, ec)) (showFolder ? showFolder : ShowRestoredFolder)(out.folder);
}

void Trestoreform::brefrcopyClick() {
  for (int i = 0; i < histlist->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = histlist->topLevelItem(i);
    if (!row->text(1).startsWith('4')) continue;
    SetImage(row, IsFile(LocalFolderPath(row->text(2).toStdString())) ? 0 : 1);
  }
}

void Trestoreform::RestoreFromDisc(const std::string& location) {
  char letter = 0;
  std::string path;
  std::optional<DiscFile> file;
  std::unique_ptr<DiscContents> disc;
  if (SplitDiscLocation(location, &letter, &path)) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    disc = std::make_unique<DiscContents>(letter);
    file = disc->Find(path);
    QApplication::restoreOverrideCursor();
  }
  if (!file) {
    InfoBox(MessageText("cannotlocatefile"));
    return;
  }
  // The copy lives in a folder of its own, readable by this user only, and
  // goes once the restore is over.
  const std::string temp = TempFolder.empty() ? GetTempDir() : TempFolder;
  std::string pattern = (fs::path(temp) / "yuxdisc-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    ErrorBox("Cannot create a folder in " + temp);
    return;
  }
  // Named as the history has it: an ISO 9660 disc spells it in upper case.
  const std::string name = path.substr(path.find_last_of("\\/") + 1);
  std::vector<std::pair<DiscFile, std::string>> copies{{*file, name}};
  // The other volumes of a split archive come along, under the names the
  // archiver looks for beside the first (".rar" or ".zip", as it wrote them),
  // and the set is restored from its first volume.
  std::string restoreFrom = name;
  if (const auto wanted = ParseSplitVolume(name)) {
    auto same = [](const std::string& a, const std::string& b) {
      return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
    };
    for (const DiscFile& other : disc->FilesBeside(path)) {
      const auto v = ParseSplitVolume(other.name);
      if (!v || v->number == wanted->number || v->width != wanted->width || !same(v->base, wanted->base) ||
          !same(v->ext, wanted->ext))
        continue;
      copies.emplace_back(other, wanted->Name(v->number));
      if (v->number == 1) restoreFrom = wanted->Name(1);
    }
  }
  std::string error;
  bool copied = true;
  // Reading a whole disc takes a while: the window stays painted, but
  // takes no clicks meanwhile.
  setEnabled(false);
  QApplication::setOverrideCursor(Qt::WaitCursor);
  for (const auto& [from, to] : copies) {
    copied = disc->Copy(from, (fs::path(pattern) / to).string(), &error,
                        [] { QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents); });
    if (!copied) break;
  }
  QApplication::restoreOverrideCursor();
  setEnabled(true);
  const std::string copy = (fs::path(pattern) / restoreFrom).string();
  disc.reset();  // the drive is free again while the archiver works
  if (copied) {
    RestoreFile(copy);
  } else {
    ErrorBox(error);
  }
  std::error_code ec;
  fs::remove_all(pattern, ec);
}

void Trestoreform::brefrcdClick() {
  std::map<char, std::unique_ptr<DiscContents>> discs;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  for (int i = 0; i < histlist->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = histlist->topLevelItem(i);
    if (!row->text(1).startsWith('1')) continue;
    const std::string location = row->text(2).toStdString();
    bool found = IsFile(LocalFolderPath(location));
    char letter = 0;
    std::string path;
    if (!found && SplitDiscLocation(location, &letter, &path)) {
      auto& disc = discs[letter];
      if (!disc) disc = std::make_unique<DiscContents>(letter);
      found = disc->Find(path).has_value();
    }
    SetImage(row, found ? 0 : 1);
  }
  QApplication::restoreOverrideCursor();
}

int Trestoreform::ExecFtpDialog(QDialog& dialog) {
  return execFtpDialog ? execFtpDialog(dialog) : dialog.exec();
}

void Trestoreform::brefrftpClick() {
  Tftpchk check(preset_, this);
  if (ExecFtpDialog(check) != QDialog::Accepted || check.Listing().empty()) return;
  for (int i = 0; i < histlist->topLevelItemCount(); ++i) {
    QTreeWidgetItem* row = histlist->topLevelItem(i);
    if (!row->text(1).startsWith('3')) continue;
    SetImage(row, FtpListingHolds(check.Listing(), row->text(2).toStdString()) ? 0 : 1);
  }
}

// A downloaded archive is restored like a copied one; a volume's row
// downloads its set from the first volume on.
void Trestoreform::DownloadFtpRow(const QTreeWidgetItem* row) {
  std::string location = row->text(2).toStdString();
  const auto slash = location.rfind('/');
  if (slash != std::string::npos)
    location = location.substr(0, slash + 1) + FirstVolumeName(location.substr(slash + 1));
  Tftpdl download(preset_, location, this);
  if (ExecFtpDialog(download) == QDialog::Accepted && download.Downloaded()) RestoreFile(download.DownloadedFile());
}

bool Trestoreform::eventFilter(QObject* watched, QEvent* event) {
  // Return or Enter on the rows acts on the selected row as a double click
  // does, and goes no further (no button of the dialog takes it).
  if (watched == histlist && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      const QList<QTreeWidgetItem*> selected = histlist->selectedItems();
      if (!selected.isEmpty()) histlistDblClick(selected.first());
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void Trestoreform::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1) {
    ShowHelpTopic("restoring_backup_files.htm");
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace yux
