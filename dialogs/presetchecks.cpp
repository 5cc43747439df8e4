#include "dialogs/presetchecks.h"

#include <cmath>
#include <cstdio>

#include "core/store/msgtable.h"
#include "core/store/presets.h"

namespace yux {

namespace {

// A number with "," between groups of three digits and `decimals` digits
// after a "." (the pictures "#,##0" and "#,##0.00").
std::string Grouped(double value, int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  std::string digits = buffer;
  const std::size_t point = digits.find('.');
  std::string whole = digits.substr(0, point);
  const std::string fraction = point == std::string::npos ? std::string() : digits.substr(point);
  const bool negative = !whole.empty() && whole[0] == '-';
  if (negative) whole.erase(0, 1);
  std::string out;
  for (std::size_t i = 0; i < whole.size(); ++i) {
    if (i > 0 && (whole.size() - i) % 3 == 0) out += ',';
    out += whole[i];
  }
  return (negative ? "-" : "") + out + fraction;
}

std::string Flag(bool b) { return b ? "True" : "False"; }

struct Capability {
  const char* label;
  int number;
};

constexpr Capability kReadLines[] = {
    {">>> READ_CD-R? ", 1},       {">>> READ_CD-RW? ", 2},   {">>> READ_DVD-RAM? ", 3},
    {">>> READ_DVD-R? ", 4},      {">>> READ_DVD-RW? ", 5},  {">>> READ_DVD+R? ", 6},
    {">>> READ_DVD+RDL? ", 8},    {">>> READ_DVD+RW? ", 7},  {">>> READ_HDDVDROM? ", 9},
    {">>> READ_HDDVDR? ", 10},    {">>> READ_HDDVDRAM? ", 11}, {">>> READ_BDROM? ", 12},
    {">>> READ_BDR? ", 13},       {">>> READ_BDRE? ", 14},
};
constexpr Capability kWriteLines[] = {
    {">>> WRITE_CD-R? ", 21},     {">>> WRITE_CD-RW? ", 22},   {">>> WRITE_DVD-RAM? ", 23},
    {">>> WRITE_DVD-R? ", 24},    {">>> WRITE_DVD-RW? ", 25},  {">>> WRITE_DVD+R? ", 26},
    {">>> WRITE_DVD+RDL? ", 28},  {">>> WRITE_DVD+RW? ", 27},  {">>> WRITE_HDDVDR? ", 29},
    {">>> WRITE_HDDVDRAM? ", 30}, {">>> WRITE_BDR? ", 31},     {">>> WRITE_BDRE? ", 32},
};

}  // namespace

std::optional<PresetEntryProblem> PresetEntryError(const PresetEntries& e) {
  auto problem = [](const char* key, PresetField field) { return PresetEntryProblem{MessageText(key), field}; };
  if (e.copyCleaner && e.directRaring) return problem("noclnrwithdirectraring", PresetField::CopyCleaner);
  if (e.copyCleaner && e.dateSuffix.empty()) return problem("mustadddatetime", PresetField::DateSuffix);
  if (e.presetName.empty()) return problem("specpreset", PresetField::PresetName);
  if (e.ftp && e.ftpServer.empty()) return problem("specftp", PresetField::FtpServer);
  if (e.smtp && e.smtpServer.empty()) return problem("specsmtpdata", PresetField::SmtpServer);
  if (e.archiveName.empty()) return problem("specfilename", PresetField::ArchiveName);
  if (e.copyToFolder && e.folder.empty()) return problem("specbkfolder", PresetField::Folder);
  if (e.includeCount == 0) return problem("addatleastsomething", PresetField::IncludeList);
  const auto nameError = e.newPreset ? NewPresetNameError(e.presetName) : PresetNameError(e.presetName);
  if (nameError) return PresetEntryProblem{*nameError, PresetField::PresetName};
  return std::nullopt;
}

std::optional<std::string> DefaultsEntryError(const PresetEntries& e) {
  if (e.ftp && e.ftpServer.empty()) return MessageText("specftp");
  if (e.copyToFolder && e.folder.empty()) return MessageText("specbkfolder");
  return std::nullopt;
}

std::string MediaTypeName(int code) {
  static const char* const kNames[] = {
      "mtUNKNOWN",   "mtCDROM",     "mtCDR",        "mtCDRW",    "mtDVDROM",  "mtDVDR",
      "mtDVDRAM",    "mtDVDRW",     "mtDVDRWRO",    "mtDVDRWSR", "mtDVDPLUSRW", "mtDVDPLUSR",
      "mtDVDPLUSRDL", "mtBDROM",    "mtBDR",        "mtBDRRR",   "mtBDRE",    "mtHDDVDROM",
      "mtHDDVDR",    "mtHDDVDRAM",  "mtDDCDROM",    "mtDDCDR",   "mtDDCDRW",
  };
  if (code < 0 || code >= static_cast<int>(std::size(kNames))) return kNames[0];
  return kNames[code];
}

std::string DriveInfoText(const DriveAnswers& a) {
  const std::string cr = "\r";
  std::string t;
  t += ">>> Is Drive Ready? " + Flag(a.ready) + cr;
  t += ">>> Disc is " + MediaTypeName(a.mediaType) + cr;
  t += ">>> Is dics Erasable? " + Flag(a.erasable) + cr;
  t += ">>> Is disc Writable? " + Flag(a.writable) + cr;
  t += ">>> Sessions: " + std::to_string(a.sessions) + cr;
  t += ">>> Total size: " + Grouped(a.capacityBlocks / 512.0, 2) + " MB" + cr;
  t += ">>> Free size: " + Grouped(a.freeBlocks / 512.0, 2) + " MB" + cr;
  const int m = a.mediaType;
  if ((m >= 1 && m <= 3) || (m >= 20 && m <= 22))
    t += ">>> CD write speed: " + std::string(" ") + Grouped(std::round(a.maxWriteSpeed / 176.0), 0) + "x";
  else if (m >= 4 && m <= 12)
    t += ">>> DVD write speed: " + std::string(" ") + Grouped(std::round(a.maxWriteSpeed / 1385.0), 0) + "x";
  else
    t += ">>> Write raw speed: " + std::string(" ") + Grouped(a.maxWriteSpeed, 0) + " KB/s";
  t += cr + cr + cr;
  for (const auto& r : kReadLines) t += r.label + Flag(a.capability[r.number]) + cr;
  t += cr;
  for (std::size_t i = 0; i < std::size(kWriteLines); ++i) {
    t += kWriteLines[i].label + Flag(a.capability[kWriteLines[i].number]);
    if (i + 1 < std::size(kWriteLines)) t += cr;
  }
  return t;
}

std::string PriorityClassText(int position) {
  if (position <= 0) return MessageText("priordef");
  if (position <= 6) return MessageText("priorlow");
  if (position <= 10) return MessageText("priornrm");
  return MessageText("priorhigh");
}

}  // namespace yux
