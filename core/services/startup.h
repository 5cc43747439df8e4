#pragma once
// The life cycle of the process outside the windows: the messenger that
// hands a file manager's bin request to the running instance, the
// single-instance lock, finding and checking the settings folder, the temp
// folder and archiver path, the file manager verbs and the autostart value.
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "core/services/dialoghooks.h"
#include "core/store/appnames.h"
#include "core/store/folders.h"

namespace yux {

// Messenger mode: when the first argument is exactly "/YUX-KEEPER" or
// "/YUX-RECYCLE", broadcasts "YUXParamData" with the text K or R followed by
// the second argument, made absolute against the working folder, and gives
// the exit code (0; non-zero after a report on `err` and to `tellUser` when
// the text cannot be handed over, or when the path holds a line break, which
// the bins' lists cannot carry).  Nothing for any other command line.
std::optional<int> RunMessenger(const std::vector<std::string>& args, std::ostream& err,
                                const std::function<void(const std::string&)>& tellUser = {});
// Tells the user of a messenger's problem: a desktop notification through
// notify-send, else a message box when there is a display.
void ShowMessengerProblem(const std::string& text);

// Takes the named lock (every "\" of the name becomes "_") for the rest of
// the process; true only when this process is the first to hold it.
bool SingleInstanceCheck(const std::string& name);
// Lets the locks go (tests only; the program keeps them until it ends).
void ReleaseSingleInstance();

// Takes the lock of the settings folder ("yux.lock" in it) for the rest of
// the process.  The instance lock above lives in the runtime folder, which
// depends on the session's environment (a program started from cron has
// none of the desktop's); this one lives with the data, so one settings
// folder never has two first instances.  False only when another process
// holds it; a folder that cannot be locked at all is reported on standard
// error and not held against the start.
bool LockSettingsFolder();

// Always true here: the settings folder is read from its location file.
bool IsWindowsVistaOrLater();

// Full path of the running program.
std::string ExecutablePath();

// "yuxinfo.dat" in the writable program-data folder.
std::string SettingsLocationFile();
// Its first line, without line end; empty when it cannot be read.
std::string ReadSettingsLocation();
// Writes the folder as the file's one line; false when it cannot.
bool WriteSettingsLocation(const std::string& folder);

// The settings-folder candidates: one that all users of the machine share
// (under the shared data folder) and one of the current user only (under
// $XDG_DATA_HOME, shown as "%HOME%/.local/share/..." when neither is set).
std::string AllUsersSettingsFolder();
std::string CurrentUserSettingsFolder();
// The mode the settings folder `folder` must have: shared for the all-users
// candidate, private for any other.
unsigned SettingsFolderMode(const std::string& folder);

// Finds the settings folder: the location file, else the chooser (through
// the dialog hooks).  Creates it and its "presets" folder with the
// settings-folder mode and moves settings files
// left in the program-data folder into it.  Sets SettingsFolder.
SettingsChoice LocateSettingsFolder();
// Moves the known settings files and the presets from `oldFolder` into the
// settings folder; a file that exists at the target stays where it is.
void MoveOldSettingsFiles(const std::string& oldFolder);

// Writes "yux.run" in the settings folder; false when it cannot.
bool SettingsFolderWriteTest();
// The explanation shown when the settings folder is not writable.
std::string NotWritableMessage();

// Sets TempFolder from the options (logging a change to the default).
void SetUpTempFolder();
// Sets WinRarPath: the options' archiver when it exists, else the stand-in
// beside the program (logged), else a logged error.
void SetUpArchiverPath();

// Writes or removes the file manager verbs by the bin options (obk, obr).
void RegisterShellVerbs();
// The autostart value by mode: 0 and 3 remove it, 1 "/hide /exit", 2 "/hide".
void WriteAutostartValue(int mode);

// Plays a sound file through paplay or aplay, without waiting; false when
// the file is missing or neither player could be started.
bool PlaySoundFile(const std::string& soundFile);
// Plays the error sound through PlaySoundFile.
void InstallErrorSoundPlayer();

}  // namespace yux
