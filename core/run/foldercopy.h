#pragma once
// The folder copy, the last delivery of a run: moving the produced files
// into the preset's destination folder.  What it delivered goes to the
// delivery history (core/run/deliveryhistory.h).
#include <functional>
#include <string>
#include <vector>

#include <QDateTime>

#include "core/run/deliveryhistory.h"
#include "core/run/rundelivery.h"
#include "core/store/presets.h"

namespace yux {

// The folder a destination text stands for: a drive-letter text ("K:\x")
// through the drive-letter map, anything else as it is.  Empty when the
// letter is not mapped to a folder.
std::string LocalFolderPath(const std::string& destination);

// True when a destination text names drive A: or B: (a diskette).
bool IsDisketteDestination(const std::string& destination);

// How the folder copy ended.
enum class FolderCopyResult {
  Done,         // every file handled (failures logged); the run goes on
  NoFiles,      // nothing produced: logged, the run goes on
  EndRun,       // the destination could not be created: the run ends
  Aborted,      // the abort flag was found set between files
};

// `deliveries` is told of every file that reached the destination, and
// where it went.
struct FolderCopyJob : StageJob {
  std::string destinationText;  // expanded destination as the preset holds it
  std::string destination;      // the local folder it stands for
  // Handles messages between files, so that an abort can arrive.
  std::function<void()> pump;
};

// Moves the produced files into the destination: the copy cleaner first
// (when on), then per file the diskette prompt, the destination folder, the
// emptying by mask, the existing-file rule, the move, its log line and
// history line; last the block of copied names.  Errors are preset log
// lines; an unexpected failure logs "Error during the operation. [!]".
FolderCopyResult CopyProducedFiles(const FolderCopyJob& job);

}  // namespace yux
