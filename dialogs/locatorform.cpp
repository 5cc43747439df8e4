#include "dialogs/locatorform.h"

#include <QCloseEvent>
#include <QFileDialog>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <unistd.h>

#include <filesystem>

#include "core/services/shellutils.h"
#include "core/services/startup.h"
#include "core/window/widgetnames.h"
#include "platform/messagebox.h"

namespace yux {

std::string LocatedWinRarPath;
bool LocatorCancel = false;

TForm12::TForm12(QWidget* parent) : QDialog(parent) {
  setObjectName("Form12");
  setWindowTitle("Please specify WinRAR.exe location:");
  setModal(true);
  LocatedWinRarPath.clear();
  auto* grid = new QGridLayout(this);
  Edit1 = Named(new QLineEdit(this), "Edit1");
  Button1 = Named(new QPushButton("...", this), "Button1");
  bok = Named(new QPushButton("OK", this), "bok");
  bsearch = Named(new QPushButton("Search automatically", this), "bsearch");
  Label1 = Named(new QLabel(this), "Label1");
  Label2 = Named(new QLabel("<a href=\"later\">I'll do it later in the Options/General window (not recommended)</a>", this),
                 "Label2");
  grid->addWidget(Edit1, 0, 0);
  grid->addWidget(Button1, 0, 1);
  grid->addWidget(bok, 0, 2);
  grid->addWidget(bsearch, 1, 0);
  grid->addWidget(Label1, 2, 0, 1, 3);
  grid->addWidget(Label2, 3, 0, 1, 3);
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(bok, &QPushButton::clicked, this, [this] { bokClick(); });
  connect(bsearch, &QPushButton::clicked, this, [this] { bsearchClick(); });
  connect(Label2, &QLabel::linkActivated, this, [this] { LaterClick(); });
  resize(460, sizeHint().height());
}

void TForm12::Button1Click() {
  const QString file = QFileDialog::getOpenFileName(this, "Find WinRAR.exe", Edit1->text());
  if (!file.isEmpty()) Edit1->setText(file);
}

void TForm12::bokClick() {
  const std::string path = Edit1->text().toStdString();
  std::error_code ec;
  if (!path.empty() && std::filesystem::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0) {
    LocatedWinRarPath = path;
    accept();
    return;
  }
  platform::MessageBox("Wrong WinRAR.exe selection!", kApplicationTitle, platform::MB_OK | platform::MB_ICONERROR);
}

void TForm12::LaterClick() {
  LocatedWinRarPath.clear();
  reject();
}

void TForm12::bsearchClick() {
  if (bsearch->text() == "Cancel") {
    LocatorCancel = true;
    return;
  }
  Label1->setText("Please wait...");
  bsearch->setText("Cancel");
  LocatorCancel = false;
  const std::string found = FindWinRarExe(searchRoot, [] { return LocatorCancel; });
  bsearch->setText("Done");
  Label1->setText(found.empty() ? QString("WinRAR.exe not found.") : QString::fromStdString(found));
  LocatedWinRarPath = found;
  done(1);
}

void TForm12::keyPressEvent(QKeyEvent* event) {
  // Only an answer ends this window.
  if (event->key() == Qt::Key_Escape) return;
  QDialog::keyPressEvent(event);
}

void TForm12::closeEvent(QCloseEvent* event) {
  // Closed during a search: the search ends first.
  if (bsearch->text() == "Cancel") {
    LocatorCancel = true;
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

}  // namespace yux
