// The tray icon's texts and pictures.
#include "core/window/tray.h"

#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

#include "core/store/msgtable.h"

namespace yux {

std::string CutText(const std::string& text, std::size_t maxChars) {
  std::size_t pos = 0;
  for (std::size_t chars = 0; chars < maxChars && pos < text.size(); ++chars) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    std::size_t len = 1;
    if (lead >= 0xF0 && lead < 0xF8) len = 4;
    else if (lead >= 0xE0) len = lead < 0xF0 ? 3 : 1;
    else if (lead >= 0xC0) len = 2;
    // A sequence cut short or with a bad continuation byte counts its lead
    // byte alone.
    if (pos + len > text.size()) len = 1;
    for (std::size_t k = 1; k < len; ++k)
      if ((static_cast<unsigned char>(text[pos + k]) & 0xC0) != 0x80) {
        len = 1;
        break;
      }
    pos += len;
  }
  return text.substr(0, pos);
}

std::string MiniScheduleText(bool schedulerOn, const std::vector<tschdata>& rows, bool runActive,
                             const std::string& runningPreset) {
  std::string text;
  if (!schedulerOn) {
    text = MessageText("schedulerisoff") + "\n";
  } else if (rows.empty()) {
    text = MessageText("schedulerisempty") + "\n";
  } else {
    for (std::size_t i = 0; i < rows.size() && i < 3; ++i) text += rows[i].DateText + " - " + rows[i].Name + "\n";
    if (rows.size() > 3) text += "...\n";
  }
  if (runActive) text += "\n'" + runningPreset + "'" + MessageText("isrunningnow") + "\n";
  return text;
}

namespace {
std::function<bool()> g_trayProbe;
}  // namespace

bool SystemTrayAvailable() { return g_trayProbe ? g_trayProbe() : QSystemTrayIcon::isSystemTrayAvailable(); }

void SetSystemTrayProbe(std::function<bool()> probe) { g_trayProbe = std::move(probe); }

namespace {

QIcon RoundIcon(const QColor& fill) {
  QPixmap pixmap(32, 32);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(40, 40, 40), 2));
  p.setBrush(fill);
  p.drawEllipse(3, 3, 26, 26);
  p.setPen(Qt::white);
  QFont f = p.font();
  f.setBold(true);
  f.setPixelSize(16);
  p.setFont(f);
  p.drawText(QRect(3, 3, 26, 26), Qt::AlignCenter, "Y");
  return QIcon(pixmap);
}

}  // namespace

QIcon ApplicationIcon() { return RoundIcon(QColor(30, 90, 170)); }
QIcon RunningIcon() { return RoundIcon(QColor(30, 150, 60)); }

}  // namespace yux
