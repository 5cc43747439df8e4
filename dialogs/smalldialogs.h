#pragma once
// Connects the main window's commands to the small dialogs: duplicate and
// rename, the shortcut maker and the about box.
namespace yux {

class TForm1;

// Fills the window's dialog entries.  Where no window can be seen the
// dialogs that wait for the user stay closed.
void InstallSmallDialogs(TForm1& form1);

}  // namespace yux
