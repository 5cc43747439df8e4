#pragma once
// Presets: the preset record, its file of scrambled "key value" lines, the
// defaults preset "yux.pst", and the per-preset list files that share the
// preset's base name in the presets folder.
#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace yux {

// One preset's archiving and delivery options.  Each field carries the
// three-letter key of its line in the preset file.
struct tarcopt {
  std::string nam;          // archive name without extension (%VAR% expanded by the run)
  std::string swt;          // further archiver switches, appended verbatim
  std::string ems;          // mask of files to delete in the destination before the copy
  std::string dtf;          // archive-name time stamp format, after " -ag"
  std::string vol;          // volume size: "None", "Auto" or a size text
  std::string dir;          // destination folder (%VAR% expanded by the run)
  int fmt = 0;              // archive format: 0 RAR, 1 ZIP, 2 self-extracting
  int cmp = 0;              // compression method 0..5
  int drm = 0;              // direct-mode update mode 0..4
  int dic = 0;              // dictionary: 0 automatic, 1..7 = 64..4096 KB
  int fld = 0;              // paths: 0 none, 1 relative, 2 full, 3 full + drive
  std::string pwd;          // archive password
  bool owe = false;         // the copy may overwrite a file of the same name
  bool efl = false;         // empty the destination by the "ems" mask first
  bool ctf = false;         // destination folder (copy) on
  bool pas = false;         // password on
  bool lck = false;         // lock the archive
  bool sld = false;         // solid archive
  bool sfx = false;         // read from older files only; nothing uses it
  bool hlt = false;         // "Quit when finished"; stored, not used by the run
  bool bkg = false;         // run the archiver in the background
  bool hid = false;         // hide the archiver's window
  bool tst = false;         // test after archiving
  bool del = false;         // delete files after archiving
  bool wip = false;         // wipe files after archiving
  bool osf = false;         // open shared files
  bool rsf = false;         // recurse subfolders
  bool edc = false;         // prompt for media before burning or a diskette copy
  bool aut = false;         // authenticity verification
  std::string fpo;          // FTP port; read from older files only (the port travels in "fse")
  std::string fse;          // FTP server: "host", "host:port" or an "http://" script address
  std::string fus;          // FTP user
  std::string fpa;          // FTP password
  std::string ffo;          // FTP folder
  bool fac = false;         // FTP active mode (false: passive)
  int fss = 0;              // FTP TLS mode 0..3
  std::string sfr;          // e-mail sender
  std::string sto;          // e-mail recipient
  std::string sse;          // SMTP server "host" or "host:port"
  std::string sus;          // SMTP user (non-empty: authenticated login)
  std::string spa;          // SMTP password
  int sss = 0;              // SMTP TLS mode 0..2
  std::string cdr;          // CD/DVD drive letter (first character used)
  bool cer = false;         // always erase a rewritable disc first
  bool cie = false;         // read from older files only; nothing uses it
  bool cdv = false;         // verify the written files
  bool cne = false;         // never eject the disc
  bool cef = false;         // erase only when the free space is too small
  int csp = 0;              // disc write speed
  int cdb = 0;              // disc write cache in megabytes
  bool cdw = false;         // CD/DVD destination on
  bool smt = false;         // e-mail destination on
  bool ftp = false;         // FTP destination on
  bool wpc = false;         // set the archiver's priority and sleep time
  int wpp = 0;              // archiver priority 0..15
  int wps = 0;              // archiver sleep time in milliseconds
  bool dra = false;         // direct mode: the archiver writes into the destination
  std::string fpn;          // FTP proxy host
  std::string fpp;          // FTP proxy port
  bool arr = false;         // add a recovery record
  int rrp = 0;              // recovery record size in percent
  bool cco = false;         // copy cleaner on
  bool sco = false;         // e-mail cleaner on
  bool fco = false;         // FTP cleaner on
  int ccm = 0;              // copy cleaner mode: 0 last N runs, 1 N days
  int ccv = 0;              // copy cleaner limit N
  int scm = 0;              // e-mail cleaner mode
  int scv = 0;              // e-mail cleaner limit
  int fcm = 0;              // FTP cleaner mode
  int fcv = 0;              // FTP cleaner limit
  bool fca = false;         // run the FTP cleaner after the uploads
  bool eba = false;         // before-command on
  bool ebs = false;         // before-command awaited
  bool ebh = false;         // before-command hidden
  bool eaa = false;         // after-command on
  bool eas = false;         // after-command awaited
  bool eah = false;         // after-command hidden
  std::string eae;          // after-command program
  std::string eap;          // after-command parameters
  std::string ebe;          // before-command program
  std::string ebp;          // before-command parameters
  std::string efa;          // exclude-by-attribute switch ("-e" + letters of ARHS)
  bool irp = false;         // ignore the archiver's default profile

  bool operator==(const tarcopt&) const = default;
};

// The current preset, filled by a run at its start.
extern tarcopt CurrentPreset;

// The reserved name under which the defaults preset "yux.pst" of the
// settings folder is read and written.
inline constexpr std::string_view kDefaultsPresetName = "//defaults//";

// Every per-preset file extension, in the order in which deleting a preset
// removes them.
inline constexpr std::string_view kPresetFileExtensions[] = {
    ".inc", ".exc", ".flt", ".pst", ".not", ".cmt", ".lgc", ".lgf", ".lgs", ".hst", ".bmp"};

// The file that `LoadPreset` could not read.
class EPresetFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Every field to its default: strings empty except dtf "-YYMMDDHHMMSS",
// vol "Auto" and fpo "ftp"; fld 1, csp 8, cdb 16, rrp 1, ccv/scv/fcv 1; sld, osf, rsf and
// irp set; everything else 0 or false.
void SetPresetDefaults(tarcopt& record);

// A preset name becomes a file name and a line of the schedule and
// last-run files: it must not be empty, hold "/", a NUL byte, CR or LF, or
// be "." or "..".  Returns the message to show for a name
// that is refused, nothing for a good one.  The reserved defaults name is
// always good.
std::optional<std::string> PresetNameError(std::string_view name);

// The longest file name the presets folder takes, in bytes.
inline constexpr std::size_t kMaxPresetFileName = 255;

// The check of a name for a preset that does not exist yet (a new one, or a
// duplicate or rename target), after PresetNameError: the defaults name, a
// leading "*" (the main window strips it as the list-editor marker), a name
// too long once ".pst" is added, a listed preset of that name in any case
// (the scheduler finds presets in any case), and files of exactly that name
// in the presets folder (their history and cleaner lists would be
// inherited).  The caller trims the name first.
std::optional<std::string> NewPresetNameError(std::string_view name);

// Full path of a preset's file with the given extension (".pst", ".inc",
// ...) in the presets folder.  The defaults name gives "yux.pst" in the
// settings folder, whatever the extension.  The name is not checked here.
std::string PresetFilePath(const std::string& name, std::string_view extension = ".pst");

// Reads the preset file of `name` (or "yux.pst" for the defaults name) into
// `record`: defaults first, then every known key line in file order, later
// lines winning.  A damaged line, or a non-number under an integer key,
// leaves that field as it was and is reported once per file.  A refused
// name or a file that cannot be read throws EPresetFileError and leaves
// the record untouched.
void LoadPreset(const std::string& name, tarcopt& record);

// The plain lines of a preset file: "ver 0" and then every key in the
// writer's order ("aut" twice).
std::vector<std::string> PresetFileLines(const tarcopt& record);

// Writes the preset file of `name` (or "yux.pst" for the defaults name),
// each line scrambled, CRLF line ends, through a new file and a rename.
// A refused name writes nothing.  False with `error` set on failure.
bool SavePreset(const std::string& name, const tarcopt& record, std::string* error = nullptr);

// The preset names of a folder: every regular file "<name>.pst" whose
// "<name>.inc" and "<name>.exc" both exist and whose name is a good preset
// name, in directory order.
std::vector<std::string> ListPresetNames(const std::string& folder);

// How the lines of a list file are read: as 8-bit text, each line UTF-8
// or, where that fails, Windows-1252 (the lists users write, which older
// files hold in that code page); or as the bytes written (the lists of
// names this program writes itself, ".hst", ".lgc", ".lgs", ".lgf", whose
// names must match the files they name byte for byte).
enum class ListText { Ansi, Bytes };

// The lines of a list file without their line ends, read as `how` says; a
// byte-order mark at the start of the file is dropped.  Nothing when the
// file cannot be read.
std::optional<std::vector<std::string>> ReadListFile(const std::string& path, ListText how);
// A list file of a preset (".inc", ".exc", ".flt", ".not", ".cmt", ".hst",
// ...) through ReadListFile.  Nothing for a refused name.
std::optional<std::vector<std::string>> ReadPresetList(const std::string& name, std::string_view extension,
                                                       ListText how = ListText::Ansi);
// Writes a list file with CRLF line ends through a new file and a rename; a
// first line that begins with the bytes of a byte-order mark gets a mark of
// its own before it, so that it reads back whole.  A refused name writes
// nothing.  False with `error` set on failure.
bool WritePresetList(const std::string& name, std::string_view extension,
                     const std::vector<std::string>& lines, std::string* error = nullptr);

// Deletes every file of the preset that exists (all extensions above).
// Nothing is deleted for a refused name or the defaults name.  False when
// an existing file could not be deleted.
bool DeletePresetFiles(const std::string& name);

}  // namespace yux
