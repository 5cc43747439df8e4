#include "dialogs/dialoghooksimpl.h"

#include <cstdio>

#include "core/store/folders.h"
#include "dialogs/exitform.h"
#include "dialogs/locatorform.h"
#include "dialogs/passwordform.h"
#include "dialogs/settingsfolderform.h"
#include "dialogs/texteditorform.h"
#include "platform/messagebox.h"

namespace yux {

SettingsChoice WidgetDialogHooks::ChooseSettingsFolder() {
  if (platform::IsHeadless()) {
    SettingsFolder = TForm2::CurrentUserCandidate();
    WriteSettingsLocationReporting(SettingsFolder);
    return SettingsChoice::ChosenByDefault;
  }
  TForm2 form;
  form.exec();
  return form.Chosen() ? SettingsChoice::Chosen : SettingsChoice::NotChosen;
}

void WidgetDialogHooks::ShowPasswordDialog(const std::string& caption) {
  if (platform::IsHeadless()) {
    // The OK button with what the dialog would show: nothing when a
    // password is asked, the current one in confirm mode.
    const std::string line = "YUX - Password: " + caption + " (no display: answered with OK)\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    if (!PasswordConfirmMode) PasswordText.clear();
    PasswordAccepted = true;
    return;
  }
  TForm7 form;
  form.setWindowTitle(QString::fromStdString(caption));
  form.exec();
}

int WidgetDialogHooks::ShowExitCountdown() {
  if (platform::IsHeadless()) {
    const std::string line = "YUX - Exit: no display, the exit countdown is skipped\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    return kCountdownTimedOut;
  }
  TForm9 form;
  return form.exec();
}

std::string WidgetDialogHooks::LocateArchiver() {
  if (platform::IsHeadless()) return {};
  TForm12 form;
  form.exec();
  return LocatedWinRarPath;
}

bool WidgetDialogHooks::ShowTextFile(const std::string& file) {
  if (platform::IsHeadless()) return false;
  ShowTextFileReadOnly(file);
  return true;
}

void InstallDialogHooks() {
  static WidgetDialogHooks hooks;
  SetDialogHooks(&hooks);
}

}  // namespace yux
