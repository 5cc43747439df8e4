#include "dialogs/duplicateform.h"

#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "core/services/presetcopy.h"
#include "core/services/shellutils.h"
#include "core/services/startup.h"
#include "core/store/language.h"
#include "core/store/options.h"
#include "core/store/programlog.h"
#include "core/store/schedule.h"
#include "core/window/widgetnames.h"
#include "platform/messagebox.h"

namespace yux {

int DuplicateMode = 0;

TForm8::TForm8(const std::string& source, QWidget* parent) : QDialog(parent) {
  setObjectName("Form8");
  setWindowTitle(DuplicateMode == 1 ? "YUX - Rename preset" : "YUX - Duplicate preset");
  setModal(true);
  auto* grid = new QGridLayout(this);
  Label1 = Named(new QLabel("Source preset:", this), "Label1");
  Label2 = Named(new QLabel("New preset:", this), "Label2");
  Edit1 = Named(new QLineEdit(QString::fromStdString(source), this), "Edit1");
  Edit1->setReadOnly(true);
  Edit2 = Named(new QLineEdit(this), "Edit2");
  BitBtn1 = BitBtn("OK", "BitBtn1", this);
  BitBtn1->setDefault(true);
  BitBtn2 = BitBtn("Cancel", "BitBtn2", this);
  BitBtn3 = BitBtn("Help", "BitBtn3", this);
  grid->addWidget(Label1, 0, 0);
  grid->addWidget(Edit1, 0, 1, 1, 3);
  grid->addWidget(Label2, 1, 0);
  grid->addWidget(Edit2, 1, 1, 1, 3);
  grid->addWidget(BitBtn1, 2, 1);
  grid->addWidget(BitBtn2, 2, 2);
  grid->addWidget(BitBtn3, 2, 3);
  connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
  connect(BitBtn2, &QPushButton::clicked, this, &QDialog::reject);
  connect(BitBtn3, &QPushButton::clicked, this, [this] { BitBtn3Click(); });
  resize(420, sizeHint().height());
  LoadLanguageForms(this, Options.lng, kPasswordDialogKinds);
}

void TForm8::BitBtn1Click() {
  const std::string target = Edit2->text().trimmed().toStdString();
  if (target.empty()) return;
  const std::string source = Edit1->text().toStdString();
  const bool rename = DuplicateMode == 1;
  if (auto problem = CopyPresetFiles(source, target, rename)) {
    AddLog(std::string(rename ? "Unable to rename the preset. Invalid filename?"
                              : "Unable to duplicate the preset. Invalid filename?") +
           " [!]");
    platform::MessageBox("\r" + *problem, kApplicationTitle, platform::MB_OK | platform::MB_ICONERROR);
    return;
  }
  std::string previous;
  if (rename) {
    MovePresetReferences(source, target);
    if (PresetListRows* rows = GetPresetListRows())
      for (std::size_t r = 0; r < rows->Count(); ++r)
        if (rows->Caption(r) == source) previous = rows->PreviousText(r);
  }
  if (reloadPresets) reloadPresets();
  if (rename && !previous.empty()) {
    // The previous execution follows the preset to its new name.
    if (PresetListRows* rows = GetPresetListRows()) {
      for (std::size_t r = 0; r < rows->Count(); ++r)
        if (rows->Caption(r) == target) rows->SetPreviousText(r, previous);
      SaveLastRuns();
    }
  }
  accept();
}

void TForm8::BitBtn3Click() {
  ShowHelpTopic(DuplicateMode == 1 ? "renaming_a_preset.htm" : "duplicating_a_preset.htm");
}

void TForm8::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1) {
    BitBtn3Click();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace yux
