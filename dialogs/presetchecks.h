#pragma once
// What the preset dialog checks before it writes a preset, and the texts of
// its drive information box: plain functions over plain values, so that the
// rules hold without a window.
#include <cstdint>
#include <optional>
#include <string>

namespace yux {

// The entries the OK button looks at.
struct PresetEntries {
  bool copyCleaner = false;   // "Activate auto-cleaner for COPY actions"
  bool directRaring = false;  // "DIRECT RARING"
  std::string dateSuffix;     // "Add date/time to name"
  std::string presetName;     // as typed, blanks trimmed
  bool newPreset = false;
  bool ftp = false;
  std::string ftpServer;
  bool smtp = false;
  std::string smtpServer;
  std::string archiveName;
  bool copyToFolder = false;
  std::string folder;
  std::size_t includeCount = 0;
};

// The entry a failed check is about (the dialog shows it to the user).
enum class PresetField { CopyCleaner, DateSuffix, PresetName, FtpServer, SmtpServer, ArchiveName, Folder, IncludeList };

struct PresetEntryProblem {
  std::string text;  // what to show
  PresetField field;
};

// The first check that fails; nothing when all pass.  In order: the copy
// cleaner in direct mode, the copy cleaner without a date suffix, an empty
// name, FTP without a server, SMTP without a server, an empty archive name,
// the copy without a folder, an empty include list; then the name itself
// (any preset name rule; for a new preset also the rules of a name that
// must not exist yet).
std::optional<PresetEntryProblem> PresetEntryError(const PresetEntries& e);

// The checks of "Save these settings as default": FTP without a server,
// the copy without a folder.
std::optional<std::string> DefaultsEntryError(const PresetEntries& e);

// The names of the disc component's media codes as the drive information
// shows them ("mtUNKNOWN" for codes without a name).
std::string MediaTypeName(int code);

// The disc component's answers about the selected drive.
struct DriveAnswers {
  bool ready = false;
  int mediaType = 0;
  bool erasable = false;
  bool writable = false;
  int sessions = 0;
  std::uint32_t capacityBlocks = 0;
  std::uint32_t freeBlocks = 0;
  std::uint32_t maxWriteSpeed = 0;  // KB/s
  bool capability[33] = {};         // by capability number, 1..32
};

// The text of the drive information box, lines separated by a carriage
// return.
std::string DriveInfoText(const DriveAnswers& a);

// The label of the archiver priority slider's position.
std::string PriorityClassText(int position);

}  // namespace yux
