#include "dialogs/addfoldersform.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QSpinBox>
#include <QStyle>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>
#include <filesystem>

#include "core/services/shellutils.h"
#include "core/store/language.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "dialogs/dialogwidgets.h"
#include "dialogs/presetform.h"
#include "platform/driveletters.h"
#include "platform/filesearch.h"

namespace yux {

namespace {

namespace fs = std::filesystem;

// The two tool buttons are known by their hints.
const std::vector<ControlKind> kBrowserKinds = {ControlKind::TLabel, ControlKind::TBitBtn, ControlKind::TToolButton};
constexpr char kHelpTopic[] = "preset_configuration_-_file_lists_tab.htm";

bool Under(const std::string& path, const char* root) {
  const std::string r = root;
  return path == r || (path.size() > r.size() && path.compare(0, r.size(), r) == 0 && path[r.size()] == '/');
}

std::string Parent(const std::string& folder) {
  const fs::path p(folder);
  return p.has_parent_path() && p != p.root_path() ? p.parent_path().string() : std::string();
}

}  // namespace

QString AttributeLetters(unsigned bits) {
  QString letters;
  if (bits & platform::FILE_ATTRIBUTE_READONLY) letters += 'R';
  if (bits & platform::FILE_ATTRIBUTE_HIDDEN) letters += 'H';
  if (bits & 0x04) letters += 'S';  // never set here: there are no system files
  if (bits & platform::FILE_ATTRIBUTE_ARCHIVE) letters += 'A';
  return letters;
}

bool CanCollect(const std::string& path) {
  // The kernel's own trees hold no files to back up, and reading some of
  // their entries never ends.
  for (const char* root : {"/proc", "/sys", "/dev"})
    if (Under(path, root)) return false;
  std::error_code ec;
  const auto status = fs::status(path, ec);
  return !ec && (fs::is_regular_file(status) || fs::is_directory(status));
}

// ---- the rows ----

ShellFolderModel::ShellFolderModel(QObject* parent) : QAbstractTableModel(parent) {}

bool ShellFolderModel::Browse(const std::string& folder) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return false;
  std::vector<TShellItem> rows;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    TShellItem item;
    item.ParsingName = it->path().string();
    std::error_code te;
    item.IsFolder = it->is_directory(te);
    rows.push_back(std::move(item));
  }
  std::sort(rows.begin(), rows.end(), [](const TShellItem& a, const TShellItem& b) {
    if (a.IsFolder != b.IsFolder) return a.IsFolder;
    return a.ParsingName < b.ParsingName;
  });
  beginResetModel();
  folder_ = folder;
  items_ = std::move(rows);
  endResetModel();
  return true;
}

void ShellFolderModel::FetchDetails(TShellItem& item) const {
  if (!item.DetailsPending) return;
  item.DetailsPending = false;
  const fs::path p(item.ParsingName);
  const QFileInfo info(QString::fromStdString(item.ParsingName));
  item.Icon = icons_.icon(info);
  item.KindName = icons_.type(info);
  platform::FindEntry entry;
  if (platform::DescribeEntry(p.parent_path().string(), p.filename().string(), &entry)) {
    item.IsFolder = entry.isFolder;
    item.SizeKb = std::max<std::uint64_t>(1, (entry.size + 1023) / 1024);
    item.AttributeBits = entry.attributes;
    if (entry.mtime != 0)
      item.ModifiedText = QDateTime::fromSecsSinceEpoch(entry.mtime).toString("yyyy.MM.dd hh:mm:ss");
  }
  item.IsRegular = CanCollect(item.ParsingName);
}

const TShellItem& ShellFolderModel::Item(int row) const {
  FetchDetails(items_.at(static_cast<std::size_t>(row)));
  return items_[static_cast<std::size_t>(row)];
}

int ShellFolderModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(items_.size());
}

int ShellFolderModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 5; }

QVariant ShellFolderModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const TShellItem& item = Item(index.row());
  if (role == Qt::DecorationRole && index.column() == 0) return item.Icon;
  if (role == Qt::TextAlignmentRole && (index.column() == 1 || index.column() == 4))
    return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
  if (role != Qt::DisplayRole) return {};
  switch (index.column()) {
    case 0: return QString::fromStdString(item.ParsingName);
    case 1: return item.IsFolder ? QString() : QString::number(item.SizeKb) + "KB";
    case 2: return item.KindName;
    case 3: return item.ModifiedText;
    case 4: return AttributeLetters(item.AttributeBits);
    default: return {};
  }
}

QVariant ShellFolderModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section > 4) return {};
  return Headers[section];
}

// ---- the window ----

Taddfoldersform::Taddfoldersform(TForm3* presetForm, QWidget* parent)
    : QDialog(parent ? parent : presetForm), preset_(presetForm) {
  setObjectName("addfoldersform");
  setWindowTitle("Add files and folders");
  setModal(true);
  resize(900, 560);
  auto* top = new QVBoxLayout(this);
  auto* bar = new QHBoxLayout;
  btnBrowse = Named(new QToolButton(this), "btnBrowse");
  btnBrowse->setProperty("yuxClass", "TToolButton");
  btnBrowse->setToolTip("Select a starting folder for browsing");
  btnBrowse->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
  btnBack = Named(new QToolButton(this), "btnBack");
  btnBack->setProperty("yuxClass", "TToolButton");
  btnBack->setToolTip("Back");
  btnBack->setIcon(style()->standardIcon(QStyle::SP_FileDialogToParent));
  cbPath = Named(new QComboBox(this), "cbPath");
  cbPath->setEditable(true);
  cbPath->setInsertPolicy(QComboBox::NoInsert);
  bar->addWidget(btnBrowse);
  bar->addWidget(btnBack);
  bar->addWidget(cbPath, 1);
  top->addLayout(bar);

  Rows = new ShellFolderModel(this);
  ListView = Named(new QTreeView(this), "ListView");
  ListView->setModel(Rows);
  ListView->setRootIsDecorated(false);
  ListView->setUniformRowHeights(true);
  ListView->setSelectionMode(QAbstractItemView::ExtendedSelection);
  ListView->setSelectionBehavior(QAbstractItemView::SelectRows);
  ListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
  const int widths[] = {310, 75, 145, 135, 70};
  for (int i = 0; i < 5; ++i) ListView->setColumnWidth(i, widths[i]);
  ListView->installEventFilter(this);
  top->addWidget(ListView, 3);

  auto* collect = new QGridLayout;
  binc = BitBtn("Add to the INCLUDE list", "binc", this);
  bexc = BitBtn("Add to the EXCLUDE list", "bexc", this);
  memo = Named(new QListWidget(this), "memo");
  memo1 = Named(new QListWidget(this), "memo1");
  for (QListWidget* l : {memo, memo1}) {
    l->setSelectionMode(QAbstractItemView::ExtendedSelection);
    QFont f("Arial");
    f.setPointSize(8);
    l->setFont(f);
    l->installEventFilter(this);
  }
  collect->addWidget(Named(new QLabel("Files to be added to the include list", this), "Label1"), 0, 0);
  collect->addWidget(Named(new QLabel("Files to be added to the exclude list", this), "Label2"), 0, 1);
  collect->addWidget(memo, 1, 0);
  collect->addWidget(memo1, 1, 1);
  collect->addWidget(binc, 2, 0);
  collect->addWidget(bexc, 2, 1);
  top->addLayout(collect, 2);

  auto* buttons = new QHBoxLayout;
  SpinButton1 = Named(new QSpinBox(this), "SpinButton1");
  SpinButton1->setRange(4, 10);
  SpinButton1->setValue(8);
  bok = BitBtn("&OK", "bok", this);
  bok->setDefault(true);
  bcancel = BitBtn("&Cancel", "bcancel", this);
  bhelp = BitBtn("Help", "bhelp", this);
  buttons->addWidget(SpinButton1);
  buttons->addStretch();
  for (QPushButton* b : {bok, bcancel, bhelp}) buttons->addWidget(b);
  top->addLayout(buttons);

  connect(btnBack, &QToolButton::clicked, this, [this] { btnBackClick(); });
  connect(btnBrowse, &QToolButton::clicked, this, [this] {
    const std::string folder = BrowseForFolder(this);
    if (!folder.empty()) BrowseTo(folder);
  });
  connect(cbPath->lineEdit(), &QLineEdit::returnPressed, this, [this] { PathEntered(cbPath->currentText()); });
  connect(cbPath, &QComboBox::activated, this, [this](int i) { PathEntered(cbPath->itemText(i)); });
  connect(ListView, &QTreeView::doubleClicked, this, [this](const QModelIndex& i) { OpenRow(i.row()); });
  connect(binc, &QPushButton::clicked, this, [this] { binclick(); });
  connect(bexc, &QPushButton::clicked, this, [this] { bexcClick(); });
  connect(bok, &QPushButton::clicked, this, [this] { bokClick(); });
  connect(bcancel, &QPushButton::clicked, this, [this] { reject(); });
  connect(bhelp, &QPushButton::clicked, this, [] { ShowHelpTopic(kHelpTopic); });
  connect(SpinButton1, &QSpinBox::valueChanged, this, [this](int size) {
    for (QListWidget* l : {memo, memo1}) {
      QFont f = l->font();
      f.setPointSize(size);
      l->setFont(f);
    }
  });

  std::vector<NumberedText> numbered;
  for (int i = 0; i < 5; ++i)
    numbered.push_back({"addfoldersformlist" + std::to_string(i + 1),
                        [this, i] { return Rows->Headers[i].toStdString(); },
                        [this, i](const std::string& t) { Rows->Headers[i] = QString::fromStdString(t); }});
  ApplyDialogSkin(this, {}, {ListView, cbPath, memo, memo1});
  LoadLanguageForms(this, Options.lng, kBrowserKinds, numbered);
  BrowseTo(QDir::homePath().toStdString());
  cbPath->setFocus();
  cbPath->lineEdit()->selectAll();
}

Taddfoldersform::~Taddfoldersform() = default;

bool Taddfoldersform::BrowseTo(const std::string& folder) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec) || !Rows->Browse(folder)) {
    ErrorBox(Format("foldernotfound", folder));
    return false;
  }
  const QString path = QString::fromStdString(folder);
  const int known = cbPath->findText(path, Qt::MatchExactly | Qt::MatchCaseSensitive);
  if (known < 0) cbPath->insertItem(0, path);
  cbPath->setCurrentIndex(known < 0 ? 0 : known);
  cbPath->setEditText(path);
  ListView->clearSelection();
  if (Rows->rowCount() > 0) {
    const QModelIndex first = Rows->index(0, 0);
    ListView->setCurrentIndex(first);
    ListView->selectionModel()->select(first, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    ListView->scrollTo(first);
  }
  return true;
}

void Taddfoldersform::PathEntered(const QString& typed) {
  const QString text = typed.trimmed();
  static const QRegularExpression drive("^([A-Za-z]):([\\\\/].*)?$");
  const auto match = drive.match(text);
  if (!match.hasMatch()) {
    BrowseTo(text.toStdString());
    return;
  }
  const char letter = static_cast<char>(match.captured(1).toUpper().at(0).toLatin1());
  platform::DriveMapping mapping;
  auto& map = platform::DriveLetterMap::Global();
  if (!map.Find(letter, mapping)) {
    ErrorBox(Format("drivenotmapped", std::string(1, letter)));
    return;
  }
  if (mapping.kind != platform::DriveKind::Folder) {
    ErrorBox(Format("driveisoptical", std::string(1, letter)));
    return;
  }
  std::string windowsPath = text.toStdString();
  if (windowsPath.back() == ':') windowsPath += '\\';
  BrowseTo(map.ToLocalPath(windowsPath));
}

void Taddfoldersform::btnBackClick() {
  ListView->clearSelection();
  const std::string up = Parent(Rows->Folder());
  if (up.empty()) {
    QApplication::beep();
    return;
  }
  BrowseTo(up);
}

void Taddfoldersform::OpenRow(int row) {
  if (row < 0 || row >= Rows->rowCount()) return;
  const TShellItem& item = Rows->Item(row);
  if (!item.IsFolder) return;
  const std::string folder = item.ParsingName;
  if (BrowseTo(folder)) ListView->clearSelection();
}

bool Taddfoldersform::SelectPath(const std::string& path) {
  for (int row = 0; row < Rows->rowCount(); ++row) {
    if (Rows->Item(row).ParsingName != path) continue;
    const QModelIndex i = Rows->index(row, 0);
    ListView->selectionModel()->select(i, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    ListView->selectionModel()->setCurrentIndex(i, QItemSelectionModel::NoUpdate);
    return true;
  }
  return false;
}

void Taddfoldersform::Collect(QListWidget* target, bool include) {
  if (cbPath->currentText().isEmpty()) return;
  std::vector<int> rows;
  for (const QModelIndex& i : ListView->selectionModel()->selectedRows()) rows.push_back(i.row());
  std::sort(rows.begin(), rows.end());
  for (int row : rows) {
    const TShellItem& item = Rows->Item(row);
    if (!item.IsRegular) {
      ErrorBox(Format("cannotaddlocation", item.ParsingName));
      continue;
    }
    QString entry = QString::fromStdString(item.ParsingName);
    if (include && preset_->conlyfiles->isChecked() && item.IsFolder && !entry.endsWith('/')) entry += "/*.*";
    if (target->findItems(entry, Qt::MatchExactly | Qt::MatchCaseSensitive).isEmpty()) target->addItem(entry);
  }
}

void Taddfoldersform::binclick() { Collect(memo, true); }
void Taddfoldersform::bexcClick() { Collect(memo1, false); }

void Taddfoldersform::bokClick() {
  for (int i = 0; i < memo->count(); ++i) TForm3::AddSorted(preset_->inc, memo->item(i)->text());
  for (int i = 0; i < memo1->count(); ++i) TForm3::AddSorted(preset_->exc, memo1->item(i)->text());
  preset_->RemoveDuplicates();
  accept();
}

void Taddfoldersform::done(int result) {
  preset_->RemoveDuplicates();
  QDialog::done(result);
}

bool Taddfoldersform::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return QDialog::eventFilter(watched, event);
  const int key = static_cast<QKeyEvent*>(event)->key();
  if (watched == ListView && (key == Qt::Key_Return || key == Qt::Key_Enter)) {
    OpenRow(ListView->currentIndex().row());
    return true;
  }
  if (watched == ListView && key == Qt::Key_Backspace) {
    btnBackClick();
    return true;
  }
  if ((watched == memo || watched == memo1) && key == Qt::Key_Delete) {
    qDeleteAll(static_cast<QListWidget*>(watched)->selectedItems());
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

void Taddfoldersform::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1) {
    ShowHelpTopic(kHelpTopic);
    return;
  }
  // Enter belongs to the path box and the list, not to the default button.
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && cbPath->hasFocus()) return;
  QDialog::keyPressEvent(event);
}

}  // namespace yux
