#include "dialogs/binform.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QUrl>

#include "core/services/bins.h"
#include "core/services/shellutils.h"
#include "core/services/startup.h"
#include "core/store/folders.h"
#include "core/store/options.h"
#include "core/store/skin.h"
#include "core/window/mainform.h"
#include "core/window/widgetnames.h"
#include "platform/process.h"

namespace yux {

namespace {

constexpr int kPicture = 48;

// The two bin pictures: a box taking a file in (keeper) and a bin (recycle).
QPixmap BinPicture(bool recycle) {
  QPixmap pm(kPicture, kPicture);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor body = recycle ? QColor(70, 160, 90) : QColor(220, 170, 60);
  p.setPen(QPen(body.darker(160), 2));
  p.setBrush(body);
  if (recycle) {
    p.drawRect(QRectF(10, 8, 28, 5));            // lid
    QPainterPath can;
    can.moveTo(12, 15);
    can.lineTo(36, 15);
    can.lineTo(33, 44);
    can.lineTo(15, 44);
    can.closeSubpath();
    p.drawPath(can);
    p.setPen(QPen(body.darker(160), 2));
    for (int x : {19, 24, 29}) p.drawLine(x, 19, x, 40);
  } else {
    p.drawRoundedRect(QRectF(6, 22, 36, 22), 3, 3);  // box
    p.setBrush(QColor(250, 250, 250));
    p.drawRect(QRectF(16, 4, 16, 20));               // the file going in
    p.setPen(QPen(QColor(60, 60, 60), 2));
    p.drawLine(24, 10, 24, 20);
    p.drawLine(20, 16, 24, 20);
    p.drawLine(28, 16, 24, 20);
  }
  return pm;
}

QLabel* Picture(QWidget* parent, const char* name, bool recycle) {
  auto* label = Named(new QLabel(parent), name);
  label->setPixmap(BinPicture(recycle));
  label->setFixedSize(kPicture, kPicture);
  label->setAttribute(Qt::WA_TranslucentBackground);
  return label;
}

}  // namespace

std::string BinArchivePath(int mode) {
  return PathJoin(BinFolder(), mode == 2 ? "recycle.rar" : "keeper.rar");
}

Tyuxbinform::Tyuxbinform(TForm1* mainWindow, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      main_(mainWindow) {
  setObjectName("yuxbinform");
  setWindowTitle("YUX-BIN");
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, Qt::black);
  setPalette(pal);
  resize(120, 84);
  bink = Picture(this, "bink", false);
  binr = Picture(this, "binr", true);
  binr->hide();
  for (QLabel* l : {bink, binr}) l->installEventFilter(this);
  PaintSkinBackground(this, SkinPicture::List);
}

void Tyuxbinform::FormCreate() {
  setAcceptDrops(true);
  setFixedSize(bink->size());
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect work = screen->availableGeometry();
    move(work.x() + work.width() - width(), work.y() + work.height() - height());
  }
  UpdateMode(Options.obt);
}

void Tyuxbinform::UpdateMode(int mode) {
  bink->setVisible(mode == 1);
  binr->setVisible(mode == 2);
  const bool visible = (mode == 1 && Options.obk) || (mode == 2 && Options.obr);
  setVisible(visible);
  if (visible) raise();
}

void Tyuxbinform::DropPaths(const std::vector<std::string>& paths) {
  const int mode = Options.obt;
  if (mode != 1 && mode != 2) return;
  QApplication::setOverrideCursor(Qt::WaitCursor);
  for (const std::string& p : paths) main_->TakeBinDrop(mode, p);
  QApplication::restoreOverrideCursor();
}

void Tyuxbinform::OpenArchive() {
  const int mode = Options.obt;
  if (mode != 1 && mode != 2) return;
  const std::string archive = BinArchivePath(mode);
  // The stand-in archiver has no window to show an archive in: the desktop
  // opens the archive with whatever the user has for it.
  const bool standIn = WinRarPath.empty() || WinRarPath == ProgramFilesArchiverPath();
  platform::StartOptions options;
  if (standIn) {
    platform::Process::Start(archive, "", options);
  } else {
    options.openDocuments = false;
    platform::Process::Start(WinRarPath, "\"" + archive + "\"", options);
  }
  // A start failure is left alone, as the user sees nothing open.
}

void Tyuxbinform::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void Tyuxbinform::dropEvent(QDropEvent* event) {
  std::vector<std::string> paths;
  for (const QUrl& url : event->mimeData()->urls())
    if (url.isLocalFile()) paths.push_back(url.toLocalFile().toStdString());
  event->acceptProposedAction();
  DropPaths(paths);
}

bool Tyuxbinform::eventFilter(QObject* watched, QEvent* event) {
  if ((watched == bink || watched == binr) && event->type() == QEvent::MouseButtonDblClick) {
    OpenArchive();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace yux
