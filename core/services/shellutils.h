#pragma once
// Small routines shared by the main window and the dialogs that wrap the
// desktop's services: environment strings, starting programs, documents and
// help pages, system folders, the folder picker, the archiver search, the
// shortcut maker, file copies and sizes, hiding the application and binding
// an optional function at run time.
#include <cstdint>
#include <functional>
#include <string>

class QWidget;

namespace yux {

// Size of the expansion buffer: a result that needs more (with its
// terminating zero) is given back unexpanded.
inline constexpr std::size_t kExpandBufferSize = 4097;

// %NAME% references replaced from the environment; the input unchanged when
// the expansion would not fit the buffer.
std::string ExpandEnvVars(const std::string& text);
std::string ExpandEnvStr(const std::string& text);

// Starts a program (or opens a document) with the parameters handed over as
// one quoted argument, without waiting for a program.  On failure shows
// "Cannot execute command." and returns false.  A document or a folder
// goes to the desktop's opener, which is watched for DocumentOpenerGraceMs
// (pumping messages): when it ends with an error meanwhile (the desktop has
// no program for the type) a text file is shown in the program's own text
// window, read-only, and anything else is named in a box; false then.  An
// opener still running at the end has opened the document.
bool ExecuteCommand(const std::string& program, const std::string& parameters);
// The start and watch of ExecuteCommand without its boxes: whether the
// program (or the opener of a document) started and, for an opener that
// ended with an error within DocumentOpenerGraceMs, its exit code.
enum class TWatchedStart { wsStarted, wsNotStarted, wsOpenerFailed };
TWatchedStart StartWatched(const std::string& program, const std::string& parameters,
                           std::uint32_t* openerExitCode);
// How long the opener of a document is watched (5 s; tests shorten it).
int& DocumentOpenerGraceMs();

// The page of a help topic: "<program folder>/manual/<topic>".
std::string HelpTopicPath(const std::string& topic);
// Opens a help topic in the desktop's viewer when the manual is installed;
// when it is not, a box says so, naming the page looked for, and the result
// is false.
bool ShowHelpTopic(const std::string& topic);

// The registry's "ProgramFilesDir" value; empty when absent.
std::string GetProgramFilesDir();
// Where the program-files archiver lives here: the stand-in archiver
// "winrar" beside the executable.
std::string ProgramFilesArchiverPath();
// The system temp folder with a trailing "/".
std::string GetTempDir();

// The folder picker titled "Please specify a folder"; empty when cancelled
// or when no window can be shown.
std::string BrowseForFolder(QWidget* owner);

// True for the names the archiver search stops at: "WinRAR.exe" in any case,
// and the stand-in "winrar" in any case.
bool IsArchiverName(const std::string& fileName);
// Depth-first search of `folder` for the archiver: entries in name order,
// sub-folders searched as they come, symbolic links not followed, /proc,
// /sys and /dev skipped.  Messages are pumped after every other file; a
// `cancelled` that returns true ends the search with an empty result.
std::string FindWinRarExe(const std::string& folder, const std::function<bool()>& cancelled = {});

// Writes a desktop entry at `linkFile` (".lnk" becomes ".desktop") that
// starts `program` with `arguments`; false when it cannot be written.
bool MakeShortcut(const std::string& program, const std::string& linkFile, const std::string& arguments);
// The shortcut maker's parameters: the quoted program, the quoted link file
// and the link's arguments.  Shows "Cannot find \"sm.exe\"..." when they do
// not name a program and a link, and returns false.
bool RunSmHelper(const std::string& parameters);

// Size of the first file the name or mask finds; 0 when none.
std::int64_t GetFilesSize(const std::string& nameOrMask);
// Copies a file, read in 2,048-byte blocks, creating the target's folder
// first; true only when every block was read and written.  The target is
// replaced whole (a failure leaves it as it was); a copy onto itself is
// refused.
bool CopyFileBlocks(const std::string& source, const std::string& target);

// The window that stands for the application (the main window).
void SetApplicationWindow(QWidget* window);
void HideApplicationWindow();
void ShowApplicationWindow();

// The address of a function of a shared library, loading the library when
// needed (it stays loaded); nullptr when either is missing.
void* GetProcFromLibrary(const std::string& library, const std::string& function);

}  // namespace yux
