#include "dialogs/shellnotifierform.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>

#include "core/services/shellutils.h"
#include "core/services/startup.h"
#include "core/store/language.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/skin.h"
#include "core/window/widgetnames.h"
#include "platform/messagebox.h"

namespace yux {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

Tshellnotifierform::Tshellnotifierform(const std::vector<std::string>& presets, QWidget* parent)
    : QDialog(parent), PickFolder(BrowseForFolder) {
  setObjectName("shellnotifierform");
  setWindowTitle("Shell Notifier");
  setModal(true);

  auto* top = new QHBoxLayout(this);
  CheckListBox1 = Named(new QListWidget(this), "CheckListBox1");
  CheckListBox1->setMinimumWidth(140);
  top->addWidget(CheckListBox1);

  auto* right = new QVBoxLayout;
  top->addLayout(right, 1);
  auto* grid = new QGridLayout;
  right->addLayout(grid);
  Label1 = Named(new QLabel("Task name", this), "Label1");
  ename = Named(new QLineEdit(this), "ename");
  Label2 = Named(new QLabel("Folder to trace", this), "Label2");
  efolder = Named(new QLineEdit(this), "efolder");
  bgetpath = BitBtn("...", "bgetpath", this);
  bgetpath->setToolTip("Find a folder");
  Label3 = Named(new QLabel("Preset/command to run", this), "Label3");
  epreset = Named(new QComboBox(this), "epreset");
  epreset->setEditable(true);
  for (const std::string& p : presets) epreset->addItem(Q(p));
  esubfolders = Named(new QCheckBox("Watch subfolders", this), "esubfolders");
  grid->addWidget(Label1, 0, 0);
  grid->addWidget(ename, 0, 1, 1, 2);
  grid->addWidget(Label2, 1, 0);
  grid->addWidget(efolder, 1, 1);
  grid->addWidget(bgetpath, 1, 2);
  grid->addWidget(Label3, 2, 0);
  grid->addWidget(epreset, 2, 1, 1, 2);
  grid->addWidget(esubfolders, 3, 1, 1, 2);

  GroupBox1 = Named(new QGroupBox(" Scheduling policy: ", this), "GroupBox1");
  auto* g1 = new QGridLayout(GroupBox1);
  Label4 = Named(new QLabel("Pre-execution delay (seconds)", GroupBox1), "Label4");
  eexecdelay = Named(new QSpinBox(GroupBox1), "eexecdelay");
  eexecdelay->setRange(0, 99999);
  Label5 = Named(new QLabel("Make inactive for (minutes)", GroupBox1), "Label5");
  einactivedelay = Named(new QSpinBox(GroupBox1), "einactivedelay");
  einactivedelay->setRange(1, 99999);
  Label6 = Named(new QLabel("Now it is inactive till", GroupBox1), "Label6");
  einactivetill = Named(new QLineEdit(GroupBox1), "einactivetill");
  einactivetill->setReadOnly(true);
  BitBtn5 = BitBtn("Make it active right now", "BitBtn5", GroupBox1);
  BitBtn5->setToolTip("Make it active right now");
  g1->addWidget(Label4, 0, 0);
  g1->addWidget(eexecdelay, 0, 1);
  g1->addWidget(Label5, 1, 0);
  g1->addWidget(einactivedelay, 1, 1);
  g1->addWidget(Label6, 2, 0);
  g1->addWidget(einactivetill, 2, 1);
  g1->addWidget(BitBtn5, 3, 1);
  right->addWidget(GroupBox1);

  GroupBox2 = Named(new QGroupBox(" Shell notifier filters: ", this), "GroupBox2");
  auto* g2 = new QVBoxLayout(GroupBox2);
  cfn = Named(new QCheckBox("CHANGE_FILE_NAME", GroupBox2), "cfn");
  cdn = Named(new QCheckBox("CHANGE_DIR_NAME", GroupBox2), "cdn");
  csz = Named(new QCheckBox("CHANGE_SIZE", GroupBox2), "csz");
  clw = Named(new QCheckBox("CHANGE_LAST_WRITE", GroupBox2), "clw");
  cat = Named(new QCheckBox("CHANGE_ATTRIBUTES", GroupBox2), "cat");
  for (QCheckBox* c : {cfn, cdn, csz, clw, cat}) g2->addWidget(c);
  right->addWidget(GroupBox2);

  auto* buttons = new QHBoxLayout;
  right->addLayout(buttons);
  bupdate = BitBtn("Update task info", "bupdate", this);
  BitBtn1 = BitBtn("OK", "BitBtn1", this);
  BitBtn2 = BitBtn("Cancel", "BitBtn2", this);
  BitBtn3 = BitBtn("Help", "BitBtn3", this);
  buttons->addWidget(bupdate);
  buttons->addStretch(1);
  for (QPushButton* b : {BitBtn1, BitBtn2, BitBtn3}) buttons->addWidget(b);
  BitBtn1->setDefault(true);

  // Translation: the controls, then the two hints.
  LoadLanguageForms(this, Options.lng,
                    {ControlKind::TLabel, ControlKind::TEdit, ControlKind::TBitBtn, ControlKind::TCheckBox,
                     ControlKind::TGroupBox},
                    {{"shellnotifierformbgetpath", [this] { return bgetpath->toolTip().toStdString(); },
                      [this](const std::string& t) { bgetpath->setToolTip(Q(t)); }},
                     {"shellnotifierformBitBtn5", [this] { return BitBtn5->toolTip().toStdString(); },
                      [this](const std::string& t) { BitBtn5->setToolTip(Q(t)); }}});
  if (Options.ske) {
    for (QWidget* w : std::initializer_list<QWidget*>{CheckListBox1, ename, efolder, epreset, einactivetill})
      SetSkinColours(w, Skin.MainTableBackground, Skin.MainTableColor);
  }
  PaintSkinBackground(this, SkinPicture::List);

  LoadShellNotifierTasks(ShellNotifierTasks);
  work_ = ShellNotifierTasks;
  for (const tsnopt& t : work_) {
    auto* item = new QListWidgetItem(Q(t.Name), CheckListBox1);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(t.Enabled ? Qt::Checked : Qt::Unchecked);
  }
  CheckListBox1->setCurrentRow(0);

  // The fired handler keeps the open dialog's working copy in step.
  SetShellNotifierHooks({nullptr, [this](int n, TDateTime till) {
                           work_[n - 1].InactiveTill = till;
                           if (SelectedTask() == n) ShowInactiveTill(till);
                         }});

  connect(CheckListBox1, &QListWidget::currentRowChanged, this, [this](int row) {
    if (!loading_ && row >= 0) ShowTask(row + 1);
  });
  connect(CheckListBox1, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
    if (loading_) return;
    const int row = CheckListBox1->row(item);
    if (row >= 0 && row == CheckListBox1->currentRow()) work_[row].Enabled = item->checkState() == Qt::Checked;
  });
  for (QLineEdit* e : {ename, efolder}) connect(e, &QLineEdit::editingFinished, this, [this] { UpdateTaskInfo(); });
  connect(epreset->lineEdit(), &QLineEdit::editingFinished, this, [this] { UpdateTaskInfo(); });
  for (QSpinBox* s : {eexecdelay, einactivedelay})
    connect(s, &QSpinBox::editingFinished, this, [this] { UpdateTaskInfo(); });
  for (QCheckBox* c : {esubfolders, cfn, cdn, csz, clw, cat})
    connect(c, &QCheckBox::toggled, this, [this] {
      if (!loading_) UpdateTaskInfo();
    });
  connect(bgetpath, &QPushButton::clicked, this, [this] {
    const std::string folder = PickFolder ? PickFolder(this) : std::string();
    if (folder.empty()) return;
    efolder->setText(Q(folder));
    UpdateTaskInfo();
  });
  connect(BitBtn5, &QPushButton::clicked, this, [this] { MakeActiveNow(); });
  connect(bupdate, &QPushButton::clicked, this, [this] { UpdateTaskInfo(); });
  connect(BitBtn1, &QPushButton::clicked, this, [this] { OkClick(); });
  connect(BitBtn2, &QPushButton::clicked, this, [this] { reject(); });
  connect(BitBtn3, &QPushButton::clicked, this, [] { ShowHelpTopic("using_shell_notifier.htm"); });
}

Tshellnotifierform::~Tshellnotifierform() { SetShellNotifierHooks({}); }

int Tshellnotifierform::SelectedTask() const {
  const int row = CheckListBox1->currentRow();
  return row >= 0 && row < kShellNotifierTasks ? row + 1 : 0;
}

void Tshellnotifierform::SelectTask(int n) { CheckListBox1->setCurrentRow(n - 1); }

void Tshellnotifierform::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Filled on the first showing only: the dialog becomes active again
  // after every folder picker or message box, and refilling then would put
  // the picked folder into task 1 and drop the user's edits.
  if (shown_) return;
  shown_ = true;
  loading_ = true;
  for (int i = 0; i < kShellNotifierTasks; ++i) {
    QListWidgetItem* item = CheckListBox1->item(i);
    item->setText(Q(work_[i].Name));
    item->setCheckState(work_[i].Enabled ? Qt::Checked : Qt::Unchecked);
  }
  CheckListBox1->setCurrentRow(0);
  loading_ = false;
  ShowTask(1);
}

void Tshellnotifierform::ShowInactiveTill(TDateTime when) {
  einactivetill->setText(QtFromDateTime(when).toString("yyyy.MM.dd hh:mm:ss"));
}

void Tshellnotifierform::ShowTask(int n) {
  if (n < 1 || n > kShellNotifierTasks) return;
  const tsnopt& t = work_[n - 1];
  loading_ = true;
  QListWidgetItem* item = CheckListBox1->item(n - 1);
  item->setCheckState(t.Enabled ? Qt::Checked : Qt::Unchecked);
  ename->setText(t.Name.empty() ? item->text() : Q(t.Name));
  esubfolders->setChecked(t.Subfolders);
  efolder->setText(Q(t.Folder));
  epreset->setEditText(Q(t.Preset));
  ShowInactiveTill(t.InactiveTill);
  cfn->setChecked(t.CFN);
  cdn->setChecked(t.CDN);
  csz->setChecked(t.CSZ);
  clw->setChecked(t.CLW);
  cat->setChecked(t.CAT);
  einactivedelay->setValue(t.InactiveDelay);
  eexecdelay->setValue(t.ExecDelay);
  loading_ = false;
}

void Tshellnotifierform::UpdateTaskInfo() {
  if (loading_) return;
  const int n = SelectedTask();
  if (n == 0) {
    platform::MessageBox("\rPlease select a task", kApplicationTitle, platform::MB_OK | platform::MB_ICONINFORMATION);
    return;
  }
  tsnopt& t = work_[n - 1];
  t.Name = ename->text().toStdString();
  t.Folder = efolder->text().toStdString();
  t.Preset = epreset->currentText().toStdString();
  t.Enabled = CheckListBox1->item(n - 1)->checkState() == Qt::Checked;
  t.Subfolders = esubfolders->isChecked();
  t.CFN = cfn->isChecked();
  t.CDN = cdn->isChecked();
  t.CSZ = csz->isChecked();
  t.CLW = clw->isChecked();
  t.CAT = cat->isChecked();
  t.InactiveDelay = einactivedelay->value();
  t.ExecDelay = eexecdelay->value();
  const QSignalBlocker block(CheckListBox1);
  CheckListBox1->item(n - 1)->setText(Q(t.Name));
}

void Tshellnotifierform::MakeActiveNow() {
  const int n = SelectedTask();
  if (n == 0) return;
  const TDateTime now = DateTimeFromQt(QDateTime::currentDateTime());
  ShellNotifierTasks[n - 1].InactiveTill = now;
  work_[n - 1].InactiveTill = now;
  ShowInactiveTill(now);
  UpdateTaskInfo();
}

void Tshellnotifierform::OkClick() {
  if (SelectedTask() == 0) return;
  UpdateTaskInfo();
  ShellNotifierTasks = work_;
  SaveShellNotifierTasks(ShellNotifierTasks);
  StartShellNotifiers();
  accepted_ = true;
  accept();
}

void Tshellnotifierform::done(int result) {
  // Closed without OK: the live tasks are what the file holds.
  if (!accepted_) LoadShellNotifierTasks(ShellNotifierTasks);
  QDialog::done(result);
}

void Tshellnotifierform::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1) {
    ShowHelpTopic("using_shell_notifier.htm");
    return;
  }
  QDialog::keyPressEvent(event);  // Esc closes
}

}  // namespace yux
