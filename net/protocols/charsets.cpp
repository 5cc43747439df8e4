#include "net/protocols/charsets.h"

#include <cctype>

#include "net/socket/codepage.h"

namespace yux::net {
namespace {

struct RawEntry {
  std::uint32_t codePage;
  const char* names;
  const char* description;
};

// Entry 0's code page is filled in with the system code page at start-up.
const RawEntry kRaw[kCharsetCount] = {
    {0, "dummy", ""},
    {65536, "", ""},
    {65001, "utf-8", "Unicode (UTF-8)"},
    {1250, "windows-1250", "Central European (Windows)"},
    {1251, "windows-1251", "Cyrillic (Windows)"},
    {1252, "windows-1252", "Western European (Windows)"},
    {1253, "windows-1253", "Greek (Windows)"},
    {1254, "windows-1254", "Turkish (Windows)"},
    {1255, "windows-1255", "Hebrew (Windows)"},
    {1256, "windows-1256", "Arabic (Windows)"},
    {1257, "windows-1257", "Baltic (Windows)"},
    {1258, "windows-1258", "Vietnamese (Windows)"},
    {28591, "iso-8859-1 iso_8859-1:1987 iso-ir-100 iso_8859-1 latin1 l1 ibm819 cp819 csisoatin1",
     "Western European (ISO)"},
    {28592, "iso-8859-2 iso_8859-2:1987 iso-ir-101 iso_8859-2 latin2 l2 csisolatin2",
     "Central European (ISO)"},
    {28593, "iso-8859-3 iso_8859-3:1988 iso-ir-109 iso_8859-3 latin3 l3 csisolatin3", ""},
    {28594, "iso-8859-4 iso_8859-4:1988 iso-ir-110 iso_8859-4 latin4 l4 csisolatin4",
     "Baltic (ISO)"},
    {28595, "iso-8859-5 iso_8859-5:1988 iso-ir-144 iso_8859-5 cyrillic csisolatincyrillic",
     "Cyrillic (ISO)"},
    {28596,
     "iso-8859-6 iso_8859-6:1987 iso-ir-127 iso_8859-6 ecma-114 asmo-708 arabic csisolatinarabic",
     "Arabic (ISO)"},
    {28597,
     "iso-8859-7 iso_8859-7:1987 iso-ir-126 iso_8859-7 elot_928 ecma-118 greek greek8 "
     "csisolatingreek",
     "Greek (ISO)"},
    {28598, "iso-8859-8 iso_8859-8:1988 iso-ir-138 iso_8859-8 hebrew csisolatinhebrew",
     "Hebrew (ISO-Visual)"},
    {38598, "iso-8859-8-i csiso88598i", "Hebrew (ISO-Logical)"},
    {28599, "iso-8859-9 iso_8859-9:1989 iso-ir-148 iso_8859-9 latin5 l5 csisolatin5",
     "Turkish (ISO)"},
    {28603, "iso-8859-13", "Estonian (ISO)"},
    {28605, "iso-8859-15 iso_8859-15 latin-9", "Latin 9 (ISO)"},
    {50220, "iso-2022-jp", ""},
    {50221, "csiso2022jp", ""},
    {50222, "iso-2022-jp-2 csiso2022jp2", ""},
    {50225, "iso-2022-kr csiso2022kr", ""},
    {50229, "iso-2022-cn", ""},
    {50227, "x-cp50227", ""},
    {51932, "euc-jp cseucpkdfmtjapanese extended_unix_code_packed_format_for_japanese", ""},
    {20936, "gb_2312-80 iso-ir-58 chinese csiso58gb231280", ""},
    {936, "gb2312 csgb2312 gbk cp936 ms936 windows-936", "Chinese Simplified (GB2312)"},
    {52936, "hz-gb-2312", "Chinese Simplified (HZ)"},
    {54936, "gb18030", "Chinese Simplified (GB18030)"},
    {51936, "euc-cn", ""},
    {20866, "koi8-r cskoi8r", "Cyrillic (KOI8-R)"},
    {21866, "koi8-u", "Cyrillic (KOI8-U)"},
    {1200, "utf-16 utf-16le", ""},
    {1201, "utf-16be unicodefffe", ""},
    {65000, "utf-7 unicode-1-1-utf-7 csunicode11utf7", "Unicode (UTF-7)"},
    {932, "shift_jis ms_kanji csshiftjis", "Japanese (JIS)"},
    {950, "big5 csbig5 big-5 cp950", "Chinese Traditional (Big5)"},
    {949, "ks_c_5601-1987 iso-ir-149 ks_c_5601-1989 ksc_5601 korean csksc56011987", "Korean"},
    {51949, "euc-kr", "Korean (EUC)"},
    {874, "windows-874", "Thai (Windows)"},
    {37, "ibm037 cp037 ebcdic-cp-us ebcdic-cp-ca ebcdic-cp-wt ebcdic-cp-n csibm037", ""},
    {437, "ibm437 cp437 437 cspc8codepage437", ""},
    {500, "ibm500 cp500 ebcdic-cp-be ebcdic-cp-ch csibm500", ""},
    {850, "ibm850 cp850 cspc850multilingual", ""},
    {852, "ibm852 852 cp852 cspcp852", ""},
    {855, "ibm855 cp855 855 csibm855", ""},
    {857, "ibm857 cp857 857 csibm857", ""},
    {858, "ibm00858 ccsid00858 cp00858 pc-multilingual-850+euro", ""},
    {860, "ibm860 cp860 860 csibm860", ""},
    {861, "ibm861 cp861 861 cp-is csibm861", ""},
    {862, "ibm862 cp862 862 cspc862latinhebrew", ""},
    {863, "ibm863 cp863 863 csibm863", ""},
    {864, "ibm864 cp864 csibm864", ""},
    {865, "ibm865 cp865 865 csibm865", ""},
    {866, "ibm866 cp866 866 csibm866", ""},
    {869, "ibm869 cp869 869 cp-gr csibm869", ""},
    {870, "ibm870 cp870 ebcdic-cp-roece ebcdic-cp-yu csibm870", ""},
    {1026, "ibm1026 cp1026 csibm1026", ""},
    {1047, "ibm1047 ibm-1047", ""},
    {1140, "ibm01140 ccsid01140 cp01140 ebcdic-us-37+euro", ""},
    {1141, "ibm01141 ccsid01141 cp01141 ebcdic-de-273+euro", ""},
    {1142, "ibm01142 ccsid01142 cp01142 ebcdic-dk-277+euro ebcdic-no-277+euro", ""},
    {1143, "ibm01143 ccsid01143 cp01143 ebcdic-fi-278+euro ebcdic-se-278+euro", ""},
    {1144, "ibm01144 ccsid01144 cp01144 ebcdic-it-280+euro", ""},
    {1145, "ibm01145 ccsid01145 cp01145 ebcdic-es-284+euro", ""},
    {1146, "ibm01146 ccsid01146 cp01146 ebcdic-gb-285+euro", ""},
    {1147, "ibm01147 ccsid01147 cp01147 ebcdic-fr-297+euro", ""},
    {1148, "ibm01148 ccsid01148 cp01148 ebcdic-international-500+euro", ""},
    {1149, "ibm01149 ccsid01149 cp01149 ebcdic-is-871+euro", ""},
    {10000, "macintosh mac csmacintosh", ""},
    {12000, "utf-32 utf-32le", ""},
    {12001, "utf-32be", ""},
    {20127,
     "us-ascii ascii us ansi_x3.4-1968 iso-ir-6 ansi_x3.4-1986 iso_646.irv:1991 iso646-us ibm367 "
     "cp367 csascii",
     ""},
    {20261, "t.61-8bit t.61-7bit iso-ir-103 iso-ir-102 csiso103t618bit csiso102t617bit", ""},
};

struct Table {
  TCharsetEntry entries[kCharsetCount];
  Table() {
    for (int i = 0; i < kCharsetCount; ++i) {
      entries[i].Id = static_cast<std::uint8_t>(i);
      entries[i].CodePage = i == 0 ? NetSystemCodePage() : kRaw[i].codePage;
      entries[i].Names = kRaw[i].names;
      entries[i].Description = kRaw[i].description;
    }
  }
};

const Table& TheTable() {
  static const Table table;
  return table;
}

}  // namespace

const TCharsetEntry& CharsetEntry(int id) { return TheTable().entries[id]; }

int CodePageToCharsetId(std::uint32_t codePage) {
  if (codePage == 0) return 0;
  if (codePage == 708) codePage = 28596;
  // Entry 0 stands for the system code page only through code page 0.
  for (int i = 2; i < kCharsetCount; ++i)
    if (TheTable().entries[i].CodePage == codePage) return i;
  return 1;
}

std::string CharsetIdToName(int id) {
  id %= 128;
  if (id < 0 || id >= kCharsetCount) return {};
  const std::string& names = TheTable().entries[id].Names;
  return names.substr(0, names.find(' '));
}

std::string CodePageToCharsetName(std::uint32_t codePage) {
  return CharsetIdToName(CodePageToCharsetId(codePage));
}

const TCharsetEntry* FindCharsetEntry(std::string_view name) {
  if (name.empty()) return nullptr;
  std::string lower(name);
  for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const auto& e : TheTable().entries) {
    std::string_view names = e.Names;
    while (!names.empty()) {
      auto blank = names.find(' ');
      if (names.substr(0, blank) == lower) return &e;
      if (blank == std::string_view::npos) break;
      names.remove_prefix(blank + 1);
    }
  }
  return nullptr;
}

bool CharsetNameToCodePage(std::string_view name, std::uint32_t& codePage) {
  const TCharsetEntry* e = FindCharsetEntry(name);
  if (!e) {
    codePage = CP_UNKNOWN_CHARSET;
  } else {
    codePage = IsCodePageInstalled(e->CodePage) ? e->CodePage : CP_NOT_INSTALLED;
  }
  return codePage < CP_UNKNOWN_CHARSET;
}

bool IsCodePageInstalled(std::uint32_t codePage) { return NetIsValidCodePage(codePage); }

}  // namespace yux::net
