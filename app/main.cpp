// The one executable.  Until the full start-up sequence exists the program
// keeps its options in $YUX_HOME (else the user's configuration folder),
// shows its main window (offscreen when there is no display) and saves its
// options when it is closed or told to end.
#include <QApplication>
#include <QDir>
#include <QMainWindow>
#include <QStandardPaths>

#include <cstdlib>
#include <iostream>

#include "core/folders.h"
#include "core/options.h"
#include "platform/termsignal.h"

namespace {

bool NoDisplay() {
  return !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY");
}

std::string ChooseSettingsFolder() {
  if (const char* home = std::getenv("YUX_HOME"); home && *home) return home;
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation).toStdString() + "/yux";
}

}  // namespace

int main(int argc, char** argv) {
  if (NoDisplay() && !std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  QApplication::setApplicationName("yux");
  QApplication::setApplicationDisplayName("YUX for WinRAR");

  yux::ProgramFolder = QCoreApplication::applicationDirPath().toStdString();
  yux::SettingsFolder = ChooseSettingsFolder();
  yux::PresetsFolder = yux::PathJoin(yux::SettingsFolder, "presets");
  if (!QDir().mkpath(QString::fromStdString(yux::SettingsFolder))) {
    std::cerr << "yux: cannot create the settings folder " << yux::SettingsFolder << std::endl;
    return 1;
  }
  yux::LoadOptions(yux::Options);

  QMainWindow window;
  window.setObjectName("Form1");
  window.setWindowTitle("YUX for WinRAR");
  window.setGeometry(yux::Options.px1, yux::Options.py1, yux::Options.px2, yux::Options.py2);
  window.show();

  yux::platform::OnTerminationSignal([](int) { QApplication::quit(); });
  const int rc = app.exec();
  const QRect g = window.geometry();
  yux::Options.px1 = g.x();
  yux::Options.py1 = g.y();
  yux::Options.px2 = g.width();
  yux::Options.py2 = g.height();
  yux::SaveOptions(yux::Options);
  return rc;
}
