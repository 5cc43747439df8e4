#pragma once
// The commands of the stand-in archiver: add (and move), delete by age or
// mask, open (list an archive) and extract.  Exit codes are those the backup core
// judges.
#include "tools/winrar/exitcodes.h"
#include "tools/winrar/switches.h"

struct archive;

namespace yux::winrar {

// The reader's text for its last failure; "damaged archive" when it gave
// none (it gives none for some kinds of encryption it cannot read).
inline constexpr const char* kDamagedArchive = "damaged archive";
std::string ReaderError(archive* a);

// Runs a parsed command line to its end and returns the exit code.
int RunArchiver(const Options& opt);

// Extracts the archive (the x command); defined apart from the writer.
int RunExtract(const Options& opt);

// The files an archive name stands for: its volumes in order when it names
// the first of a split set, else itself; empty when it does not exist.
// When the volumes present end no archive, `missing` (if given) is set to
// the name of the first volume that is not there.
std::vector<std::string> ArchiveVolumes(const std::string& path, std::string* missing = nullptr);

// A problem, to standard error (unless quiet) and the -ILOG file.
void LogProblem(const Options& opt, const std::string& archive, const std::string& text);

// Set by the signal handler; every long loop checks it.
void RequestStop();
bool StopRequested();

// The archive's file name after the extension rule and the time stamp.
std::string ArchiveFileName(const std::string& given, bool zipExtension,
                            const std::optional<std::string>& stamp, int64_t now);

// The volume names of a split archive: "name.part1.rar" ... zero-padded to
// the width of the count.
std::string VolumeName(const std::string& archive, size_t index, size_t count);

}  // namespace yux::winrar
