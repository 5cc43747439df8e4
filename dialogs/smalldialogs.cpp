#include "dialogs/smalldialogs.h"

#include "core/mainform.h"
#include "dialogs/duplicateform.h"
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
}

}  // namespace yux
