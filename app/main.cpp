// The one executable: a messenger for the file manager's bin verbs, or the
// program with its main window, a second instance that hands its requests
// to the first, or the first instance that runs until it is closed.
#include <QApplication>
#include <QTimer>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "core/run/presetrun.h"
#include "core/run/rundelivery.h"
#include "core/services/startup.h"
#include "core/store/flags.h"
#include "core/window/mainform.h"
#include "core/window/scheduleform.h"
#include "core/window/tray.h"
#include "dialogs/binform.h"
#include "dialogs/dialoghooksimpl.h"
#include "dialogs/presetform.h"
#include "dialogs/settingsform.h"
#include "dialogs/shellnotifierform.h"
#include "dialogs/smalldialogs.h"
#include "net/protocols/tunnelauth.h"
#include "platform/messagebox.h"
#include "platform/termsignal.h"

namespace {

// Shows every exception that escapes an event handler in a message box and
// lets the program go on.
class YuxApplication : public QApplication {
 public:
  using QApplication::QApplication;
  bool notify(QObject* receiver, QEvent* event) override {
    try {
      return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
      yux::platform::MessageBox(e.what(), yux::kApplicationTitle,
                                yux::platform::MB_OK | yux::platform::MB_ICONERROR);
    } catch (...) {
      yux::platform::MessageBox("Unknown error.", yux::kApplicationTitle,
                                yux::platform::MB_OK | yux::platform::MB_ICONERROR);
    }
    return false;
  }
};

bool NoDisplay() {
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (!x || !*x) && (!w || !*w);
}

}  // namespace

int main(int argc, char** argv) {
  // A client that hangs up in the middle of a download must not end the
  // program: no write to a socket may raise a deadly SIGPIPE.
  yux::platform::IgnoreBrokenPipes();
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (auto rc = yux::RunMessenger(args, std::cerr, yux::ShowMessengerProblem)) return *rc;

  if (NoDisplay() && !std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  YuxApplication app(argc, argv);
  QApplication::setApplicationName("yux");
  yux::InstallDialogHooks();
  // Proxies that ask for Digest or NTLM are answered by the protocol
  // library's routines, which the socket layer cannot reach by itself.
  yux::net::RegisterHttpTunnelAuthenticators();

  yux::TForm1 form1;
  form1.OnPresetDialog = [&form1](const std::string& preset, const std::string& page) {
    yux::ShowPresetDialog(&form1, preset, page);
  };
  form1.OnSettingsDialog = [&form1](const std::string& page) { yux::ShowSettingsDialog(&form1, page); };
  // The end of the session may come at any time; it is handled on the event
  // loop once the windows exist.
  bool ready = false;
  bool pendingEnd = false;
  yux::platform::OnTerminationSignal([&](int) {
    if (ready) form1.TerminationSignal();
    else pendingEnd = true;
  });
  if (auto rc = form1.FormCreate(args)) return *rc;
  // The bin window comes between the main and the schedule window; a
  // second instance has none.
  yux::Tyuxbinform binform(&form1);
  if (!yux::SecondInstance) {
    binform.FormCreate();
    form1.OnBinModeChanged = [&binform](int mode) { binform.UpdateMode(mode); };
    form1.OnSkinChanged = [&binform] { binform.update(); };
  }
  // A headless program has nobody to close a dialog: it opens none.
  form1.OnShellNotifierDialog = [&form1] {
    if (yux::platform::IsHeadless()) return;
    yux::Tshellnotifierform dialog(form1.PresetNames(), &form1);
    dialog.exec();
  };
  yux::InstallSmallDialogs(form1);
  yux::TForm5 form5(&form1);
  if (auto rc = form5.FormCreate(args)) return *rc;
  if (form1.Closed()) return 0;

  // A run cut off by a kill or a power cut left its folder behind.
  if (!yux::SecondInstance) yux::RecoverLeftoverRunFolder();
  ready = true;
  if (!form1.HideAtStart) {
    form1.show();
    form1.activateWindow();
    if (!yux::platform::IsHeadless()) form1.ShowSplash();
  } else if (!yux::platform::IsHeadless() && !yux::SystemTrayAvailable()) {
    // Hidden where the desktop has no tray, the window could never be shown
    // again (and a new start only says that yux runs): it starts minimised.
    form1.showMinimized();
  }
  if (pendingEnd) QTimer::singleShot(0, &form1, [&] { form1.TerminationSignal(); });
  app.exec();
  return 0;
}
