// The options file ("yux.opt") and the scrambled text form.
#include "core/store/options.h"

#include <QGuiApplication>
#include <QScreen>

#include <charconv>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <variant>
#include <vector>

#include "core/store/folders.h"
#include "core/store/inifile.h"
#include "core/store/keyedfield.h"
#include "core/store/loghook.h"
#include "core/store/msgtable.h"
#include "core/store/savefile.h"
#include "core/store/textutil.h"
#include "net/protocols/mimeutils.h"

namespace yux {

topt Options;

namespace {

// ---- scrambled lines --------------------------------------------------

// The weighted sum is kept in a 32-bit signed integer that wraps (long
// texts only); its decimal text is padded to 6 digits and cut to its last 6
// characters.  A sign that survives the cut would make the line unreadable
// by the digit check, so it is written as a zero by writer and reader alike.
std::string FormatChecksum(std::int32_t sum) {
  std::string s = std::to_string(sum);
  if (s.size() < 6) s.insert(0, 6 - s.size(), '0');
  s = s.substr(s.size() - 6);
  for (char& c : s)
    if (c == '-') c = '0';
  return s;
}

std::int32_t WrapAdd(std::int32_t a, std::int64_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

// ---- option table -----------------------------------------------------

using Field = std::variant<bool topt::*, int topt::*, std::string topt::*>;
struct Key {
  const char* name;
  Field field;
};

// Every key, in the record's order: the reader tests them in this order.
const Key kKeys[] = {
    {"obn", &topt::obn}, {"obk", &topt::obk}, {"obr", &topt::obr}, {"okp", &topt::okp},
    {"obp", &topt::obp}, {"obf", &topt::obf}, {"obv", &topt::obv}, {"obc", &topt::obc},
    {"obi", &topt::obi}, {"obt", &topt::obt}, {"obx", &topt::obx}, {"oby", &topt::oby},
    {"px1", &topt::px1}, {"px2", &topt::px2}, {"py1", &topt::py1}, {"py2", &topt::py2},
    {"des", &topt::des}, {"dha", &topt::dha}, {"dnr", &topt::dnr}, {"dwc", &topt::dwc},
    {"dac", &topt::dac}, {"dus", &topt::dus}, {"dpa", &topt::dpa}, {"rae", &topt::rae},
    {"rap", &topt::rap}, {"rlo", &topt::rlo}, {"rpa", &topt::rpa}, {"pwi", &topt::pwi},
    {"pte", &topt::pte}, {"lsz", &topt::lsz}, {"lfs", &topt::lfs}, {"pfs", &topt::pfs},
    {"sta", &topt::sta}, {"hic", &topt::hic}, {"fre", &topt::fre}, {"fin", &topt::fin},
    {"fti", &topt::fti}, {"twr", &topt::twr}, {"tsm", &topt::tsm}, {"tft", &topt::tft},
    {"shp", &topt::shp}, {"dec", &topt::dec}, {"dtb", &topt::dtb}, {"dit", &topt::dit},
    {"acw", &topt::acw}, {"c1w", &topt::c1w}, {"c2w", &topt::c2w}, {"c3w", &topt::c3w},
    {"sgp", &topt::sgp}, {"sps", &topt::sps}, {"sph", &topt::sph}, {"spa", &topt::spa},
    {"spm", &topt::spm}, {"spe", &topt::spe}, {"son", &topt::son}, {"ske", &topt::ske},
    {"lvc", &topt::lvc}, {"lt1", &topt::lt1}, {"lt2", &topt::lt2}, {"lt3", &topt::lt3},
    {"soe", &topt::soe}, {"swf", &topt::swf}, {"lng", &topt::lng}, {"plh", &topt::plh},
    {"ser", &topt::ser}, {"cie", &topt::cie}, {"sss", &topt::sss}, {"ssr", &topt::ssr},
    {"sur", &topt::sur}, {"spd", &topt::spd}, {"sfm", &topt::sfm}, {"sto", &topt::sto},
    {"cms", &topt::cms}, {"smz", &topt::smz},
};

// The writer's order of lines after "ver 0".
const char* const kWriterOrder[] = {
    "son", "des", "dha", "dac", "dus", "dpa", "dnr", "dwc", "rpa", "rlo", "rae", "rap", "pwi",
    "pte", "lsz", "lfs", "pfs", "sta", "fre", "fin", "fti", "twr", "tft", "tsm", "shp", "dec",
    "dtb", "dit", "acw", "ser", "cie", "c1w", "c2w", "c3w", "sps", "sph", "spa", "spe", "spm",
    "cms", "sgp", "ssr", "sss", "sur", "spd", "sfm", "sto", "lvc", "lt1", "lt2", "lt3", "smz",
    "hic", "ske", "soe", "swf", "lng", "plh", "px1", "px2", "py1", "py2", "obn", "obc", "obv",
    "obt", "obx", "oby", "obi", "obf", "obp", "okp", "obr", "obk",
};

const Key* FindKey(std::string_view name) {
  for (const auto& k : kKeys)
    if (name == k.name) return &k;
  return nullptr;
}

std::function<ScreenSize()> g_screenProvider;
std::function<void(int&, int&, int&)> g_columnProvider;

ScreenSize CurrentScreen() {
  if (g_screenProvider) return g_screenProvider();
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
      QRect r = screen->geometry();
      return {r.width(), r.height()};
    }
  }
  return {1024, 768};
}

}  // namespace

std::string ScrambleDigits(const std::string& text) {
  std::string groups;
  groups.reserve(text.size() * 3);
  std::int32_t sum = 0;
  char buf[4];
  for (std::size_t k = 0; k < text.size(); ++k) {
    const std::size_t i = k + 1;
    const unsigned c = static_cast<unsigned char>(text[k]);
    const unsigned v = c + (i % 2 == 1 ? 32 : 16);
    buf[0] = static_cast<char>('0' + v / 100);
    buf[1] = static_cast<char>('0' + v / 10 % 10);
    buf[2] = static_cast<char>('0' + v % 10);
    groups.append(buf, 3);
    sum = WrapAdd(sum, static_cast<std::int64_t>(i) * c);
  }
  return FormatChecksum(sum) + groups;
}

std::string UnscrambleDigits(const std::string& s) {
  if (s.size() % 3 != 0 || s.size() < 6) return {};
  for (char c : s)
    if (c < '0' || c > '9') return {};
  const std::string stored = s.substr(0, 6);
  std::string text;
  text.reserve((s.size() - 6) / 3);
  std::int32_t sum = 0;
  for (std::size_t pos = 6, i = 1; pos < s.size(); pos += 3, ++i) {
    int v = (s[pos] - '0') * 100 + (s[pos + 1] - '0') * 10 + (s[pos + 2] - '0');
    int code = v - (i % 2 == 1 ? 32 : 16);
    unsigned char ch = static_cast<unsigned char>(((code % 256) + 256) % 256);
    text.push_back(static_cast<char>(ch));
    sum = WrapAdd(sum, static_cast<std::int64_t>(i) * ch);
  }
  if (FormatChecksum(sum) != stored) return {};
  return text;
}

std::string ScrambleText(const std::string& text) {
  return net::EncodeBase64String(ScrambleDigits(text));
}

std::string UnscrambleText(const std::string& stored) {
  return UnscrambleDigits(net::DecodeBase64String(stored));
}

void SetScreenSizeProvider(std::function<ScreenSize()> provider) {
  g_screenProvider = std::move(provider);
}

void SetColumnWidthProvider(std::function<void(int&, int&, int&)> provider) {
  g_columnProvider = std::move(provider);
}

void SetOptionDefaults(topt& record) {
  record = topt{};
  record.obf = PathJoin(SettingsFolder, "YUX-BIN");
  record.swf = PathJoin(ProgramFolder, "error.wav");
  const ScreenSize screen = CurrentScreen();
  record.px2 = 620;
  record.py2 = 440;
  record.px1 = (screen.width - 620) / 2;
  record.py1 = (screen.height - 440) / 2;
}

std::string OptionsFilePath() { return PathJoin(SettingsFolder, "yux.opt"); }

void LoadOptions(topt& record) {
  bool ok = false;
  std::vector<std::string> raw = ReadTextLines(OptionsFilePath(), ok);
  if (!ok) {
    ReportLine(MessageText("pleasecheckthesettings"));
    raw.clear();
  }

  SetOptionDefaults(record);
  int damaged = 0;
  for (const std::string& stored : raw) {
    if (stored.empty()) continue;
    const std::string digits = net::DecodeBase64String(stored);
    const std::string line = UnscrambleDigits(digits);
    if (line.empty()) {
      if (digits != ScrambleDigits("")) ++damaged;  // an empty line is no damage
      continue;
    }
    for (const auto& key : kKeys) {
      if (line.compare(0, 3, key.name) != 0) continue;
      // Texts are decoded as a preset's are: UTF-8, else Windows-1252 (files
      // written on other systems), the value decoded behind its key.
      const std::string value =
          line.size() > 4 ? DecodeAnsiText(std::string(key.name, 3) + ' ' + line.substr(4)).substr(4) : std::string();
      // A non-number keeps the default or an earlier good value.
      if (!AssignFieldText(record, key.field, value)) ++damaged;
    }
  }
  if (damaged > 0) {
    std::string text = MessageText("optionsdamaged");
    if (auto p = text.find("%d"); p != std::string::npos) text.replace(p, 2, std::to_string(damaged));
    ReportLine(text);
  }
}

bool SaveOptions(const topt& record) {
  topt r = record;
  if (g_columnProvider) g_columnProvider(r.c1w, r.c2w, r.c3w);

  std::string out;
  auto add = [&out](const std::string& line) {
    out += ScrambleText(line);
    out += "\r\n";
  };
  add("ver 0");
  for (const char* name : kWriterOrder) {
    const Key* key = FindKey(name);
    std::string value = FieldText(r, key->field);
    add(std::string(name) + " " + value);
  }

  std::string error;
  const bool ok = SaveFileWhole(OptionsFilePath(), out, &error);
  if (!ok) ReportLine(error + " [!]");
  return ok;
}

}  // namespace yux
