// The dialogs the core opens through hooks, and the password check.
#include "core/services/dialoghooks.h"

#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "platform/messagebox.h"

namespace yux {
namespace {
DialogHooks* g_hooks = nullptr;
}  // namespace

bool PasswordConfirmMode = false;
std::string PasswordText;
bool PasswordAccepted = false;

void SetDialogHooks(DialogHooks* hooks) { g_hooks = hooks; }
DialogHooks* CurrentDialogHooks() { return g_hooks; }

bool CheckAdminPassword(const std::string& caption) {
  PasswordConfirmMode = false;
  PasswordAccepted = false;
  PasswordText.clear();
  if (!g_hooks) return false;
  g_hooks->ShowPasswordDialog(caption);
  if (!PasswordAccepted) return false;
  if (PasswordText != Options.sgp) {
    platform::MessageBox("\r" + MessageText("incorrectpassword"), "YUX for WinRAR",
                         platform::MB_OK | platform::MB_ICONERROR);
    return false;
  }
  return true;
}

}  // namespace yux
