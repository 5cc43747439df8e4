#include "dialogs/excludeform.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/services/shellutils.h"
#include "core/store/language.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "dialogs/dialogwidgets.h"
#include "dialogs/presetform.h"

namespace yux {

namespace {

const std::vector<ControlKind> kExcludeDialogKinds = {ControlKind::TLabel, ControlKind::TCheckBox,
                                                      ControlKind::TButton, ControlKind::TBitBtn};

void Plain(const std::string& text) { platform::MessageBox(text, kApplicationTitle, platform::MB_OK); }

}  // namespace

std::string AttributeSwitch(bool archive, bool readOnly, bool hidden, bool system) {
  std::string letters;
  if (archive) letters += 'A';
  if (readOnly) letters += 'R';
  if (hidden) letters += 'H';
  if (system) letters += 'S';
  return letters.empty() ? std::string() : "-e" + letters;
}

TForm13::TForm13(TForm3* presetForm, QWidget* parent)
    : QDialog(parent ? parent : presetForm), preset_(presetForm) {
  setObjectName("Form13");
  setWindowTitle("Advanced configuration of exclude list");
  setModal(true);
  auto* top = new QVBoxLayout(this);
  top->addWidget(Named(new QLabel("Exclude files with checked attributes:", this), "Label1"));
  auto* attrs = new QHBoxLayout;
  carc = Named(new QCheckBox("Archive", this), "carc");
  cro = Named(new QCheckBox("Read-Only", this), "cro");
  chid = Named(new QCheckBox("Hidden", this), "chid");
  csys = Named(new QCheckBox("System", this), "csys");
  for (QCheckBox* b : {carc, cro, chid, csys}) attrs->addWidget(b);
  top->addLayout(attrs);
  auto* quick = new QGridLayout;
  backupbut = BitBtn("Backup files (*bak, *.old)", "backupbut", this);
  tempbut = BitBtn("Temp files (*.tmp, *.~*)", "tempbut", this);
  custombut = BitBtn("Custom mask:", "custombut", this);
  ecustext = Named(new QLineEdit(this), "ecustext");
  quick->addWidget(backupbut, 0, 0);
  quick->addWidget(tempbut, 0, 1);
  quick->addWidget(custombut, 1, 0);
  quick->addWidget(ecustext, 1, 1);
  top->addLayout(quick);
  top->addWidget(
      Named(new QLabel("Exclude all files that don't match the masks (enter one mask per line):", this), "Label2"));
  efilter = Named(new QPlainTextEdit(this), "efilter");
  top->addWidget(efilter, 1);
  auto* buttons = new QHBoxLayout;
  okbut = BitBtn("&OK", "okbut", this);
  okbut->setDefault(true);
  cancelbut = BitBtn("&Cancel", "cancelbut", this);
  helpbut = BitBtn("Help", "helpbut", this);
  buttons->addStretch();
  for (QPushButton* b : {okbut, cancelbut, helpbut}) buttons->addWidget(b);
  top->addLayout(buttons);
  connect(okbut, &QPushButton::clicked, this, [this] { okbutClick(); });
  connect(cancelbut, &QPushButton::clicked, this, [this] { reject(); });
  connect(helpbut, &QPushButton::clicked, this, [] { ShowHelpTopic("preset_configuration_-_file_lists_tab.htm"); });
  connect(backupbut, &QPushButton::clicked, this, [this] { backupbutClick(); });
  connect(tempbut, &QPushButton::clicked, this, [this] { tempbutClick(); });
  connect(custombut, &QPushButton::clicked, this, [this] { custombutClick(); });

  ApplyDialogSkin(this, {}, {ecustext, efilter});
  LoadLanguageForms(this, Options.lng, kExcludeDialogKinds);
  QStringList masks;
  for (const auto& m : preset_->FilterMasks) masks << QString::fromStdString(m);
  efilter->setPlainText(masks.join('\n'));
  const QString attributes = preset_->efastring->text();
  carc->setChecked(attributes.contains('A'));
  cro->setChecked(attributes.contains('R'));
  chid->setChecked(attributes.contains('H'));
  csys->setChecked(attributes.contains('S'));
}

void TForm13::okbutClick() {
  std::vector<std::string> masks;
  const QString text = efilter->toPlainText();
  if (!text.isEmpty())
    for (const QString& line : text.split('\n')) masks.push_back(line.toStdString());
  preset_->FilterMasks = masks;
  preset_->efastring->setText(QString::fromStdString(
      AttributeSwitch(carc->isChecked(), cro->isChecked(), chid->isChecked(), csys->isChecked())));
  accept();
}

void TForm13::AddMask(const std::string& mask) {
  const QString entry = QString::fromStdString(mask);
  // The list's own search ignores case: "*.BAK" is the mask "*.bak".
  if (preset_->exc->findItems(entry, Qt::MatchFixedString).isEmpty()) {
    TForm3::AddSorted(preset_->exc, entry);
    Plain(mask + MessageText("wasaddedtoexc"));
  } else {
    Plain(mask + MessageText("isalreadyinexc"));
  }
}

void TForm13::backupbutClick() {
  AddMask("*.bak");
  AddMask("*.old");
}

void TForm13::tempbutClick() {
  AddMask("*.tmp");
  AddMask("*.~*");
}

void TForm13::custombutClick() {
  const std::string mask = ecustext->text().toStdString();
  if (mask.empty()) return;
  AddMask(mask);
  ecustext->clear();
}

void TForm13::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1) {
    ShowHelpTopic("preset_configuration_-_file_lists_tab.htm");
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace yux
