#pragma once
// The bin verbs in the file managers' menus: a KDE service menu and the
// script folders of Nautilus, Nemo and Caja.  Each hands every selected file
// or folder to `yux /YUX-KEEPER <path>` (or /YUX-RECYCLE), one call per
// path.  They exist while the program runs with the bin enabled.
#include <string>
#include <vector>

namespace yux {

// The files the verbs live in (created or not), for `program`'s bins.
struct FileManagerVerbFiles {
  std::string serviceMenu;   // the KDE service menu (both verbs)
  std::string runner;        // the script the service menu calls
  std::vector<std::string> keeperScripts;   // one per script folder
  std::vector<std::string> recycleScripts;
};
FileManagerVerbFiles FileManagerVerbPaths();

// Writes the verbs of the enabled bins for `program` and removes those of
// the disabled ones (nothing remains when both are off).  False when a file
// could not be written; what could be written stays.
bool WriteFileManagerVerbs(const std::string& program, bool keeper, bool recycle);

// `text` quoted for a POSIX shell (single quotes).
std::string ShellQuote(const std::string& text);
// `text` as one quoted argument of a desktop entry's Exec line, with the
// entry file's own escaping applied.
std::string DesktopExecQuote(const std::string& text);

}  // namespace yux
