#include "dialogs/passwordform.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "core/services/dialoghooks.h"
#include "core/services/startup.h"
#include "core/store/language.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "platform/messagebox.h"

namespace yux {

TForm7::TForm7(QWidget* parent) : QDialog(parent) {
  setObjectName("Form7");
  setWindowTitle("YUX - Password");
  setModal(true);

  auto* grid = new QGridLayout(this);
  Label1 = new QLabel("Password:", this);
  Label1->setObjectName("Label1");
  Label2 = new QLabel("Confirm:", this);
  Label2->setObjectName("Label2");
  Edit1 = new QLineEdit(this);
  Edit1->setObjectName("Edit1");
  Edit1->setEchoMode(QLineEdit::Password);
  Edit2 = new QLineEdit(this);
  Edit2->setObjectName("Edit2");
  Edit2->setEchoMode(QLineEdit::Password);
  BitBtn1 = new QPushButton("OK", this);
  BitBtn1->setObjectName("BitBtn1");
  BitBtn1->setProperty("yuxClass", "TBitBtn");
  BitBtn1->setDefault(true);
  grid->addWidget(Label1, 0, 0);
  grid->addWidget(Edit1, 0, 1);
  grid->addWidget(Label2, 1, 0);
  grid->addWidget(Edit2, 1, 1);
  grid->addWidget(BitBtn1, 2, 1, Qt::AlignRight);
  connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });

  LoadLanguageForms(this, Options.lng, kPasswordDialogKinds);
  PasswordAccepted = false;
  if (PasswordConfirmMode) {
    Edit1->setText(QString::fromStdString(PasswordText));
    Edit2->setText(QString::fromStdString(PasswordText));
  } else {
    Label2->setEnabled(false);
    Edit2->setEnabled(false);
  }
}

void TForm7::BitBtn1Click() {
  if (PasswordConfirmMode && Edit1->text() != Edit2->text()) {
    platform::MessageBox("\r" + MessageText("passesdontmatch"), kApplicationTitle,
                         platform::MB_OK | platform::MB_ICONERROR);
    return;
  }
  PasswordText = Edit1->text().toStdString();
  PasswordAccepted = true;
  accept();
}

}  // namespace yux
