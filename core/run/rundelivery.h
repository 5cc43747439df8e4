#pragma once
// Which destination took which produced file of a run, and what becomes of
// the files that did not reach every destination the preset asks for.
//
// A run expects one delivery per destination its preset enables (disc,
// e-mail, FTP, folder copy).  Each delivery stage hands back the names it
// delivered through Delivered(); the folder copy, which moves files out of
// the run folder, also says where each one went through MovedOut().  A
// stage that cannot deliver at all simply reports nothing.  When the run
// ends, every produced file still in the run folder that some expected
// destination did not get is moved into a "kept" folder under the settings
// folder instead of being deleted, so an archive is never lost before a
// destination holds it.
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace yux {

enum class DeliveryKind { Cd, Smtp, Ftp, Copy };

class RunDeliveries {
 public:
  // A new run whose archiver produced `produced` (names without folder).
  void Start(std::vector<std::string> produced);
  // Forgets everything (no run).
  void Clear();

  // The preset asks for this destination.
  void Expect(DeliveryKind kind);
  // A stage delivered these names to its destination.
  void Delivered(DeliveryKind kind, const std::string& name);
  void Delivered(DeliveryKind kind, const std::vector<std::string>& names);
  // The file left the run folder for `path` (the folder copy moves).
  void MovedOut(const std::string& name, const std::string& path);
  // Something went wrong in a stage although its files may have arrived (a
  // history line that could not be written): the run ends as an error.
  void NoteFailure() { failed_ = true; }

  const std::vector<std::string>& Produced() const { return produced_; }
  // Every expected destination got the file.
  bool Complete(const std::string& name) const;
  // At least one destination got it.
  bool ReachedAny(const std::string& name) const;
  // Every produced file reached every expected destination and no stage
  // reported a failure.
  bool AllComplete() const;
  // Every produced file reached at least one destination (so sources may
  // go).  False when nothing was produced.
  bool EveryFileReachedOne() const;
  // Where the file went when it left the run folder.
  std::optional<std::string> MovedTo(const std::string& name) const;

 private:
  std::vector<std::string> produced_;
  std::set<DeliveryKind> expected_;
  std::map<std::string, std::set<DeliveryKind>> delivered_;
  std::map<std::string, std::string> movedTo_;
  bool failed_ = false;
};

struct tarcopt;

// What every delivery stage of a run is handed: the preset, the run folder
// and the files the archiver produced there, and where each delivery is
// recorded.
struct StageJob {
  std::string presetName;
  const tarcopt* preset = nullptr;
  std::string runFolder;
  std::vector<std::string> produced;  // names without folder, in delivery order
  RunDeliveries* deliveries = nullptr;
};

// The folder that holds undelivered files: "kept" in the settings folder.
std::string KeptFolder();

// Creates a fresh subfolder of the kept folder for one run: the preset's
// name and the time stamp, made unique.  Empty when it cannot be made.
std::string NewKeptRunFolder(const std::string& presetName);

// What became of the files of a run folder at the end of a run.
struct KeepResult {
  std::vector<std::string> kept;     // moved into `folder`
  std::vector<std::string> stuck;    // could not be moved: still in the run folder
  std::vector<std::string> deleted;  // delivered everywhere, removed
  std::string folder;                // the kept subfolder (empty: none made)
};

// Ends a run folder: every produced file that `deliveries` shows as
// complete is deleted, every other one is moved into a new kept subfolder
// (a file that cannot be moved stays where it is, and then so does the run
// folder).  Files that are not produced files are deleted.  The run folder
// itself is removed when nothing is left in it.  Logs, for the current
// preset, one error line naming the folder that holds the undelivered
// files, and one line for each undelivered file that the copy moved out,
// naming where it is.  Returns what it did; `ok` in the caller's sense is
// `kept.empty() && stuck.empty()`.
KeepResult SettleRunFolder(const std::string& runFolder, const std::string& presetName,
                           const RunDeliveries& deliveries);

// The folder run folders are made in: the temp folder option, else the
// system's, without a trailing slash.
std::string RunTempFolder();

// Run folders whose runs did not settle them: the program was killed, the
// power went, or their files could not be kept.  The file "runfolder.dat"
// in the settings folder holds one entry per such folder, with its preset
// and the folders its copy wrote into; a run adds its own entry when it
// makes its folder and takes out only its own.
//
// MarkRunFolder: the run of `presetName` made `runFolder` (and is alive
// until it unmarks it).
void MarkRunFolder(const std::string& runFolder, const std::string& presetName);
// The run's copy is about to move files into `destination`, where a copy
// cut off leaves an unfinished file.
void NoteCopyDestination(const std::string& runFolder, const std::string& destination);
// The run of `runFolder` is over; its entry goes when the folder was
// `settled` (nothing of it is left), else it stays for a later start.
void UnmarkRunFolder(const std::string& runFolder, bool settled);
// At start: every entry's folder that is a run folder as a run makes it (a
// private folder of eight capital letters directly in the temp folder) is
// reported with one log line, its finished files are moved to the kept
// folder, temporary files of its own are removed, and so are the unfinished
// copies of its files in the folders its copy wrote into; its entry goes
// once its files are out.  Any other folder gets one log line and is left
// alone, as is the folder of a run still going on.
void RecoverLeftoverRunFolder();

}  // namespace yux
