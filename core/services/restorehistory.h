#pragma once
// What the restore window works from: the rows of a preset's delivery
// history, the text that says where a mailed archive is, the folder an
// archive is restored into and the archiver call that restores it.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace yux {

namespace disc {
class TSCSIDevice;
class TTreeContext;
}  // namespace disc

struct RestoreRow {
  std::string date;      // the line's date text
  std::string kind;      // "1-CD", "2-SMTP", "3-FTP", "4-COPY" or another text
  std::string location;  // everything after the kind
};

// The rows of the preset's ".hst" file, newest first.  With `onlyThree`
// each of the four known kinds is cut to its three newest rows; rows of
// other kinds always stay.  False (rows untouched) when the file is missing
// or holds no line.
bool ReadRestoreHistory(const std::string& presetName, bool onlyThree,
                        std::vector<RestoreRow>* rows);

// How to find the mail of an e-mail row ("recipient/file name").
std::string RestoreEmailText(const RestoreRow& row);

// A new folder inside `parent` named after the archive (without its
// extension), with " (2)", " (3)" ... when the name is taken.
std::string RestoreTargetFolder(const std::string& parent, const std::string& archive);

// The archiver's parameters that extract `archive` into `folder`: the stand-in
// reads a password from its standard input (bare "-hp"), other archivers
// take it in the switch; no switch without a password.
std::string RestoreArchiverParameters(const std::string& archive, const std::string& folder,
                                      const std::string& settingsFolder,
                                      const std::string& password, bool standIn);

struct RestoreOutcome {
  bool started = false;  // false: the archiver could not be started
  int exitCode = -1;
  std::string folder;    // where the archive went
};

// Extracts `archive` with the archiver `program` into a new folder inside
// `parent` (RestoreTargetFolder), waiting with messages handled and
// RunActive held as for any awaited program.  When the archiver says the
// password is wrong (3, or 11 from other archivers) `askPassword` is asked
// with the caption "Enter password for <file name>" and, when it answers,
// the extraction is tried once more.
RestoreOutcome RestoreArchive(
    const std::string& program, const std::string& archive, const std::string& parent,
    const std::string& settingsFolder, const std::string& password,
    const std::function<std::optional<std::string>(const std::string& caption)>& askPassword);

// Splits a disc row's location ("E:\dir\file.rar") into its drive letter
// (upper case) and the path on the disc ("dir\file.rar"); false when it
// starts with no drive letter or names no file.
bool SplitDiscLocation(const std::string& location, char* letter, std::string* path);

// A file on the disc in a drive: where its data lies.
struct DiscFile {
  std::string name;  // as the disc spells it
  uint64_t size = 0;
  std::vector<std::pair<uint32_t, uint32_t>> extents;  // absolute block, bytes
};

// The newest session of the disc in an optical (or emulated) drive, its
// directory read once so that every disc row of that letter is looked up
// in it without reading the disc again.
class DiscContents {
 public:
  // Reads the directory of the disc in the drive of `letter`. No optical
  // drive behind the letter, no disc in it, or a blank or unreadable one
  // leave it holding nothing.
  explicit DiscContents(char letter);
  ~DiscContents();
  DiscContents(const DiscContents&) = delete;
  DiscContents& operator=(const DiscContents&) = delete;

  // Looks a path on the disc up: Joliet names must match exactly, ISO 9660
  // names (which the disc keeps in upper case) match without regard to case.
  std::optional<DiscFile> Find(const std::string& path) const;
  // The files of the folder that holds `path` (its volumes, for a split
  // archive), found the same way; empty when that folder is not there.
  std::vector<DiscFile> FilesBeside(const std::string& path) const;
  // Copies the file's data into `target` with READ(10); false with the
  // reason in `error`, leaving no partial file. `between`, when given, runs
  // after every piece read (to keep a window painted).
  bool Copy(const DiscFile& file, const std::string& target, std::string* error,
            const std::function<void()>& between = {}) const;

 private:
  struct Found;
  Found Walk(const std::string& path) const;
  std::unique_ptr<disc::TSCSIDevice> device_;
  std::unique_ptr<disc::TTreeContext> tree_;
  bool joliet_ = false;
};

}  // namespace yux
