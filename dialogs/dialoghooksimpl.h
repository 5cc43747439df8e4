#pragma once
// The dialogs behind the core's dialog hooks.  Where no window can be seen
// they take their default answers instead of waiting: the chooser the
// current user's folder, the password dialog its OK button with the shown
// entry.
#include "core/services/dialoghooks.h"

namespace yux {

class WidgetDialogHooks : public DialogHooks {
 public:
  SettingsChoice ChooseSettingsFolder() override;
  void ShowPasswordDialog(const std::string& caption) override;
  // Without a window the countdown is skipped as if it had run out (a line
  // on standard error says so) and the locator answers "later".
  int ShowExitCountdown() override;
  std::string LocateArchiver() override;
  // Without a window: false, so that the caller names the file instead.
  bool ShowTextFile(const std::string& file) override;
};

// Installs one process-wide instance.
void InstallDialogHooks();

}  // namespace yux
