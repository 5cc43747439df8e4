#include "dialogs/smalldialogs.h"

#include "core/window/mainform.h"
#include "dialogs/aboutform.h"
#include "dialogs/dialogwidgets.h"
#include "dialogs/duplicateform.h"
#include "dialogs/restoreform.h"
#include "dialogs/shortcutform.h"
#include "platform/messagebox.h"

namespace yux {

void InstallSmallDialogs(TForm1& form1) {
  form1.OnDuplicateDialog = [&form1](const std::string& preset, bool rename) {
    if (platform::IsHeadless()) return;
    DuplicateMode = rename ? 1 : 0;
    TForm8 dialog(preset, &form1);
    dialog.reloadPresets = [&form1] { form1.LoadPresetList(); };
    dialog.exec();
  };
  form1.OnShortcutDialog = [&form1](const std::string& preset) {
    if (platform::IsHeadless()) return;
    TForm10 dialog(form1.PresetNames(), preset, &form1);
    dialog.exec();
  };
  form1.OnRestoreDialog = [&form1](const std::string& preset) {
    if (platform::IsHeadless()) return;
    Trestoreform dialog(preset, &form1);
    // An empty history says so instead of opening an empty window.
    if (dialog.LoadOrReportEmpty()) dialog.exec();
  };
  form1.OnAboutDialog = [&form1] {
    if (platform::IsHeadless()) return;
    TForm6 dialog(form1.splashtimer, &form1);
    dialog.exec();
  };
  // The splash closes by itself: it is shown without waiting, and it goes
  // away with its window.
  form1.OnSplashDialog = [&form1] {
    auto* splash = new TForm6(form1.splashtimer, &form1);
    splash->setAttribute(Qt::WA_DeleteOnClose);
    splash->setModal(false);
    splash->show();
  };
}

}  // namespace yux
