#pragma once
// Program-wide options ("yux.opt") and the scrambled text-line form shared
// by the options and preset files.
#include <functional>
#include <string>

namespace yux {

// The program options.  Field order and defaults as the options file knows
// them; window geometry and folder-based defaults are set by
// SetOptionDefaults.
struct topt {
  bool obn = true;   // notify when a bin has archived its paths
  bool obk = true;   // keeper bin enabled
  bool obr = true;   // recycle bin enabled
  std::string okp;   // keeper archive password
  std::string obp;   // recycle archive password
  std::string obf;   // bin folder
  int obv = 0;       // file versions kept by the bins
  int obc = 0;       // bin compression index 0..5
  int obi = 90;      // age in days for the bin clean-up
  int obt = 0;       // bin window: 0 disabled, 1 keeper, 2 recycle
  int obx = 0, oby = 0;                  // bin window position
  int px1 = 0, px2 = 620, py1 = 0, py2 = 440;  // main window left, width, top, height
  bool des = false;  // dial up for FTP and e-mail deliveries
  bool dha = false;  // hang up when finished if we dialled
  int dnr = 3;       // redials when busy
  int dwc = 60;      // seconds to wait for a connection
  std::string dac;   // phone-book entry
  std::string dus, dpa;  // dial-up user and password
  bool rae = false;  // start the web control panel at start-up
  std::string rap = "80";  // web control panel port
  std::string rlo, rpa;    // web control panel login and password
  std::string pwi;   // archiver path
  std::string pte;   // temp folder (empty = system temp folder)
  int lsz = 1000;    // maximum log lines (0 = unlimited)
  int lfs = 8;       // log font size
  int pfs = 10;      // preset list font size
  int sta = 0;       // autostart mode 0..3
  bool hic = false;  // close button hides to the tray
  bool fre = false;  // retries after SMTP and FTP failures
  int fin = 5;       // retry interval in seconds
  int fti = 3;       // number of retries
  int twr = 0;       // archiver stage timeout, minutes
  int tsm = 0;       // SMTP stage timeout, minutes
  int tft = 0;       // FTP stage timeout, minutes
  int shp = 1;       // scheduler tolerance in seconds
  bool dec = false;  // no exit countdown
  bool dtb = false;  // no mini-schedule balloon
  bool dit = false;  // no toolbar
  bool acw = true;   // automatic column widths
  int c1w = 150, c2w = 150, c3w = 150;  // preset list column widths
  std::string sgp;   // password of the protected functions
  bool sps = false, sph = false, spa = false, spm = false, spe = false;  // protections
  bool son = true;   // scheduler switched on
  bool ske = true;   // skinning enabled
  int lvc = 0;       // last sort column
  bool lt1 = true, lt2 = true, lt3 = true;  // sort directions
  bool soe = true;   // error sound
  std::string swf;   // error sound file
  std::string lng = "English (default).lng";  // language file
  int plh = 125;     // preset list height
  bool ser = false;  // mail error lines to the administrator
  bool cie = false;  // ignore non-critical archiver warnings
  int sss = 0;       // error-report SMTP security
  std::string ssr;   // error-report SMTP server
  std::string sur, spd;  // error-report SMTP user and password
  std::string sfm, sto;  // error-report sender and recipient
  bool cms = true;   // keep maximum FTP/SMTP speed
  bool smz = false;  // minimise to the taskbar instead of the tray

  bool operator==(const topt&) const = default;
};

// The one global instance.
extern topt Options;

// Scrambled lines: a 6-digit checksum and a 3-digit group per byte, then
// Base64.  The unscramblers give an empty text on any damage.
std::string ScrambleDigits(const std::string& text);
std::string UnscrambleDigits(const std::string& digits);
std::string ScrambleText(const std::string& text);
std::string UnscrambleText(const std::string& stored);

// Screen size used for the default window position; replaceable in tests.
struct ScreenSize {
  int width = 0, height = 0;
};
void SetScreenSizeProvider(std::function<ScreenSize()> provider);

// Sets every field to its default (folder-based ones from the current
// SettingsFolder and ProgramFolder, the window centred on the screen).
void SetOptionDefaults(topt& record);

// The preset list's current column widths, written instead of the record's
// c1w..c3w when a list exists; unset, the record's values are written.
void SetColumnWidthProvider(std::function<void(int& c1, int& c2, int& c3)> provider);

// Fills the record from "yux.opt" in the settings folder.  Damaged lines
// keep their options' defaults and are reported once; an unreadable file
// gives all defaults.
void LoadOptions(topt& record);
// Writes "yux.opt" through a new file and a rename, so a crash while saving
// never leaves a half-written file.  False (and a report) on failure.
bool SaveOptions(const topt& record);

// Full path of "yux.opt" in the settings folder.
std::string OptionsFilePath();

}  // namespace yux
