#pragma once
// What the restore window works from: the rows of a preset's delivery
// history, the text that says where a mailed archive is, the folder an
// archive is restored into and the archiver call that restores it.
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace yux {

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

}  // namespace yux
