#include "dialogs/aboutform.h"

#include <QAction>
#include <QGuiApplication>
#include <QLabel>
#include <QLinearGradient>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include "core/services/startup.h"
#include "core/store/language.h"
#include "core/store/options.h"
#include "core/window/mainform.h"
#include "core/window/widgetnames.h"

namespace yux {

QString AboutProductText() {
  return QString("Yux for WinRAR\nVer. %1 (2003.04.21-%2)\n\n%3")
      .arg(kVersionText, kVersionDate, kWebsiteAddress);
}

TForm6::TForm6(QTimer* splashTimer, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::FramelessWindowHint), splashTimer_(splashTimer) {
  setObjectName("Form6");
  setWindowTitle("About");
  setModal(true);
  setFixedSize(479, 359);
  softinfo = Named(new QLabel(AboutProductText(), this), "softinfo");
  softinfo->setGeometry(24, 200, 431, 120);
  softinfo->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  softinfo->setStyleSheet("color: white; font-weight: bold;");
  auto* title = Named(new QLabel("YUX", this), "Label1");
  title->setGeometry(24, 40, 431, 120);
  title->setStyleSheet("color: white; font-size: 64px; font-weight: bold;");
  bclose = Named(new QPushButton("X", this), "bclose");
  bclose->setGeometry(479 - 30, 6, 24, 24);
  bclose->setToolTip("Close this window");
  connect(bclose, &QPushButton::clicked, this, &QDialog::accept);
  PopupMenu1 = Named(new QMenu(this), "PopupMenu1");
  QAction* close = PopupMenu1->addAction("Close this window");
  close->setObjectName("Closethiswindow1");
  connect(close, &QAction::triggered, this, &QDialog::accept);
  setContextMenuPolicy(Qt::CustomContextMenu);
  connect(this, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { PopupMenu1->popup(mapToGlobal(pos)); });
  // As the splash the box stays until the timer runs out (Esc and the menu
  // still close it).
  if (splashTimer_ && splashTimer_->isActive()) {
    bclose->setEnabled(false);
    connect(splashTimer_, &QTimer::timeout, this, [this] { done(QDialog::Accepted); });
  }
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  LoadLanguageForms(this, Options.lng, {ControlKind::TLabel},
                    {{"Form6closehint", [this] { return bclose->toolTip().toStdString(); },
                      [this](const std::string& t) { bclose->setToolTip(QString::fromStdString(t)); }}});
}

void TForm6::done(int result) {
  if (splashTimer_) splashTimer_->stop();
  QDialog::done(result);
}

void TForm6::paintEvent(QPaintEvent*) {
  // The picture: stretched over the whole window.
  QPainter painter(this);
  QLinearGradient g(0, 0, width(), height());
  g.setColorAt(0, QColor(0x1f, 0x3c, 0x78));
  g.setColorAt(1, QColor(0x08, 0x12, 0x2c));
  painter.fillRect(rect(), g);
}

}  // namespace yux
