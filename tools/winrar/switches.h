#pragma once
// The archiver's command line: a command, switches (without regard to case),
// the archive name and the files to work on, plus the list files that carry
// paths and masks one per line.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace yux::winrar {

enum class Command { Open, Add, Delete, Move, Extract };

enum class PathMode { AsGiven, NamesOnly, RelativeToItem, FullNoRoot, Full };

struct Options {
  Command command = Command::Open;
  std::string archive;
  std::vector<std::string> items;        // paths and masks from the command line
  std::string destination;               // x: the folder to extract into (empty: here)
  std::vector<std::string> itemLists;    // "@list" files
  bool literalLists = false;             // -listliteral: "@list" lines are names, not masks
  std::vector<std::string> excludes;     // -x<mask>
  std::vector<std::string> excludeLists; // -x@<list>
  std::vector<std::string> filters;      // -n<mask>
  std::vector<std::string> filterLists;  // -n@<list>

  std::optional<std::string> stamp;      // -ag<format>
  bool volumes = false;                  // -v given
  uint64_t volumeSize = 0;               // 0: one volume, no split
  bool update = false, freshen = false, sync = false;
  bool zipExtension = false;             // -afzip
  int level = 3;                         // -m0..-m5
  PathMode paths = PathMode::AsGiven;
  std::optional<std::string> password;   // -hp<password>
  bool passwordFromInput = false;        // bare -hp: the first line of standard input
  bool lock = false, test = false, deleteSources = false, wipe = false, recurse = false;
  bool eraseDestination = false;         // -vd
  bool quiet = false;                    // -ibck, -INUL
  std::string commentFile;               // -z
  std::string logFile;                   // -ILOG
  bool excludeHidden = false, excludeReadOnly = false;
  std::optional<int> versions;           // -ver[n]; 0 keeps every version
  std::optional<int64_t> olderThan;      // -to<n><unit>, in seconds

  // Switches accepted although what they ask has no meaning here or cannot
  // be done in a ZIP archive: each noted once in the log.
  std::vector<std::string> notes;
  bool selfExtracting = false;           // -sfx: refused
};

// Parses argv[1..].  Returns an empty text on success, else what is wrong.
std::string ParseCommandLine(const std::vector<std::string>& args, Options* opt);

// Parses a volume size ("700m", "1457664b", "4.7g", "100" = 100,000 bytes).
std::optional<uint64_t> ParseVolumeSize(const std::string& text);

// Reads a list file: one entry per line, CR LF or LF, blank lines skipped,
// UTF-8 (a BOM is dropped) or else Windows-1252.  Each entry is trimmed of
// blanks, unless `literal`: then only the line end goes and every other
// character, blanks included, belongs to the name.  False when it cannot
// be read.
bool ReadListFile(const std::string& path, std::vector<std::string>* lines, bool literal = false);

// Windows-1252 bytes to UTF-8.
std::string Cp1252ToUtf8(const std::string& text);
bool IsValidUtf8(const std::string& text);

// The time stamp of -ag: Y year digits, M month (minutes after an H), D day,
// H hour, S seconds; a run of n letters gives n digits; other characters
// are copied.
std::string FormatStamp(const std::string& format, int64_t unixTime);

}  // namespace yux::winrar
