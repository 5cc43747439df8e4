#include "dialogs/exitform.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "core/services/dialoghooks.h"
#include "core/store/language.h"
#include "core/store/options.h"
#include "core/window/tray.h"
#include "core/window/widgetnames.h"

namespace yux {

int ExitCountdown = 15;

namespace {
QString SecondsText(int n) {
  return QString::asprintf("YUX will automatically exit in %d seconds.", n);
}
}  // namespace

TForm9::TForm9(QWidget* parent) : QDialog(parent) {
  setObjectName("Form9");
  setWindowTitle("YUX - Exit");
  setModal(true);
  ExitCountdown = 15;
  auto* column = new QVBoxLayout(this);
  Label1 = Named(new QLabel("YUX automatization will become inactive. Really exit?", this), "Label1");
  Label2 = Named(new QLabel(SecondsText(ExitCountdown), this), "Label2");
  BitBtn1 = BitBtn("E&xit", "BitBtn1", this);
  BitBtn2 = BitBtn("&Hide to the system tray", "BitBtn2", this);
  BitBtn3 = BitBtn("&Cancel", "BitBtn3", this);
  BitBtn1->setDefault(true);
  // Hidden without a tray there would be no way back to the window.
  BitBtn2->setVisible(SystemTrayAvailable());
  column->addWidget(Label1);
  column->addWidget(Label2);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(BitBtn1);
  buttons->addWidget(BitBtn2);
  buttons->addWidget(BitBtn3);
  column->addLayout(buttons);
  connect(BitBtn1, &QPushButton::clicked, this, [this] { done(DialogHooks::kCountdownExit); });
  connect(BitBtn2, &QPushButton::clicked, this, [this] { done(DialogHooks::kCountdownHide); });
  connect(BitBtn3, &QPushButton::clicked, this, [this] { done(DialogHooks::kCountdownCancel); });
  Timer1 = Named(new QTimer(this), "Timer1");
  Timer1->setInterval(1000);
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
  Timer1->start();
  LoadLanguageForms(this, Options.lng, kPasswordDialogKinds);
}

void TForm9::Timer1Timer() {
  if (ExitCountdown > 0) --ExitCountdown;
  Label2->setText(SecondsText(ExitCountdown));
  if (ExitCountdown == 0) done(DialogHooks::kCountdownTimedOut);
}

void TForm9::done(int result) {
  Timer1->stop();
  QDialog::done(result);
}

void TForm9::keyPressEvent(QKeyEvent* event) {
  // Esc means exit, like the first button.
  if (event->key() == Qt::Key_Escape) {
    done(DialogHooks::kCountdownExit);
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace yux
