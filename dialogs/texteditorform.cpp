#include "dialogs/texteditorform.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <fstream>
#include <sstream>

#include "core/store/inifile.h"
#include "core/store/msgtable.h"
#include "core/store/savefile.h"
#include "dialogs/dialogwidgets.h"

namespace yux {

TTextEditorForm::TTextEditorForm(const std::string& file, QWidget* parent, bool readOnly)
    : QDialog(parent), file_(file) {
  setObjectName("TextEditorForm");
  setWindowTitle(QString::fromStdString(file));
  setModal(true);
  resize(560, 420);
  auto* top = new QVBoxLayout(this);
  memo = Named(new QPlainTextEdit(this), "memo");
  memo->setLineWrapMode(QPlainTextEdit::NoWrap);
  top->addWidget(memo, 1);
  auto* row = new QHBoxLayout;
  bsave = Named(new QPushButton("&Save", this), "bsave");
  bclose = Named(new QPushButton("&Close", this), "bclose");
  row->addStretch();
  row->addWidget(bsave);
  row->addWidget(bclose);
  top->addLayout(row);
  connect(bsave, &QPushButton::clicked, this, [this] { Save(); });
  connect(bclose, &QPushButton::clicked, this, [this] { reject(); });

  std::ifstream in(file, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  std::string text = DecodeAnsiText(bytes.str());
  crlf_ = text.find('\n') == std::string::npos || text.find("\r\n") != std::string::npos;
  QString shown = QString::fromStdString(text);
  shown.replace("\r\n", "\n");
  memo->setPlainText(shown);
  memo->document()->setModified(false);
  if (readOnly) {
    memo->setReadOnly(true);
    bsave->hide();
  }
}

bool TTextEditorForm::Save() {
  QString text = memo->toPlainText();
  if (crlf_) text.replace("\n", "\r\n");
  std::string error;
  if (!SaveFileWhole(file_, text.toStdString(), &error)) {
    ErrorBox(Format("savepreseterror", file_, error));
    return false;
  }
  memo->document()->setModified(false);
  return true;
}

void ShowTextFileReadOnly(const std::string& file, QWidget* parent) {
  TTextEditorForm viewer(file, parent, true);
  viewer.exec();
}

void TTextEditorForm::reject() {
  if (memo->document()->isModified()) {
    const int answer = platform::MessageBox("\r" + Format("savechangesto", file_), kApplicationTitle,
                                            platform::MB_YESNOCANCEL | platform::MB_ICONQUESTION);
    if (answer == platform::IDCANCEL) return;
    if (answer == platform::IDYES && !Save()) return;
  }
  QDialog::reject();
}

}  // namespace yux
