#pragma once
// The windows of the dialogs library that the core must open (the
// settings-folder chooser, the password dialog).  The core calls them
// through this interface, which the executable fills at start, so that the
// core never depends on the dialogs.
#include <string>

namespace yux {

// How the settings folder was chosen.
enum class SettingsChoice {
  Chosen,           // by the user, in the chooser
  ChosenByDefault,  // no window could be shown: the current user's default
  NotChosen,        // the chooser was closed without a choice
};

class DialogHooks {
 public:
  virtual ~DialogHooks() = default;
  // Shows the settings-folder chooser modally.  It sets SettingsFolder and
  // writes the settings location file.
  virtual SettingsChoice ChooseSettingsFolder() = 0;
  // Shows the password dialog modally with the given caption; it reads
  // PasswordConfirmMode and PasswordText and sets PasswordText and
  // PasswordAccepted.
  virtual void ShowPasswordDialog(const std::string& caption) = 0;
  // Shows the exit countdown modally and gives its result: 1 timed out,
  // 2 exit, 3 cancel, 4 hide to the tray.  Without a window: as timed out.
  virtual int ShowExitCountdown() { return kCountdownTimedOut; }
  // Shows the archiver locator modally: the chosen program, or empty for
  // "later".  Without a window: later.
  virtual std::string LocateArchiver() { return {}; }
  // Shows a text file read-only in the program's own text window, modally;
  // false when no window can be shown.
  virtual bool ShowTextFile(const std::string& /*file*/) { return false; }

  static constexpr int kCountdownTimedOut = 1;
  static constexpr int kCountdownExit = 2;
  static constexpr int kCountdownCancel = 3;
  static constexpr int kCountdownHide = 4;
};

// Installs the dialogs (nullptr removes them).  The object must outlive its
// installation.
void SetDialogHooks(DialogHooks* hooks);
DialogHooks* CurrentDialogHooks();

// The password dialog's process-wide values.
extern bool PasswordConfirmMode;  // in: ask twice (a new password)
extern std::string PasswordText;  // in: the value shown in confirm mode; out: the entry
extern bool PasswordAccepted;     // out: the dialog ended with OK

// The check of a protected action: asks for the password with the caption
// and compares the entry exactly with the options' password.  A cancelled
// dialog gives false silently; a wrong entry shows "Incorrect password." and
// gives false.  Without installed dialogs nothing can be asked: false.
bool CheckAdminPassword(const std::string& caption);

}  // namespace yux
