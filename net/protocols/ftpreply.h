#pragma once
// What the FTP client reads out of a server's reply lines: the status code,
// the passive-mode address, a quoted folder name, a modification time, the
// extensions a FEAT reply announces, and the size texts of the transfer
// trace.  Pure functions over the line, so that they can be fuzzed.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace yux::net {

// The extensions a FEAT reply can announce.
enum TFtpExtension : std::uint8_t {
  ftpFeatNone,
  ftpFeatMdtmYy,
  ftpFeatMdtm,
  ftpFeatSize,
  ftpFeatRest,
  ftpFeatMlst,
  ftpFeatMfmt,
  ftpFeatMd5,
  ftpFeatXmd5,
  ftpFeatAuthSsl,
  ftpFeatAuthTls,
  ftpFeatProtC,
  ftpFeatProtP,
  ftpFeatPbsz,
  ftpFeatCcc,
  ftpFeatXCrc,
  ftpFeatModeZ,
  ftpFeatClnt,
  ftpFeatComb,
  ftpFeatSitePswd,
  ftpFeatSiteExec,
  ftpFeatSiteIndex,
  ftpFeatSiteZone,
  ftpFeatSiteMsg,
  ftpFeatSiteCmlsd,
  ftpFeatSiteDmlsd,
  ftpFeatUtf8,
  ftpFeatHost,
  ftpFeatLang,
  ftpFeatXCmlsd,
  ftpFeatXDmlsd,
};

class TFtpExtensions {
 public:
  bool Contains(TFtpExtension e) const { return (bits_ >> unsigned(e)) & 1u; }
  void Include(TFtpExtension e) { bits_ |= std::uint64_t(1) << unsigned(e); }
  void Clear() { bits_ = 0; }
  bool Empty() const { return bits_ == 0; }

 private:
  std::uint64_t bits_ = 0;
};

// The number at the start of a reply line: leading blanks skipped, an
// optional sign, decimal digits.  `continuation` tells whether a "-"
// follows the number; `hasCode` whether the line began with a digit.
struct TFtpReplyCode {
  int code = 0;
  bool hasCode = false;
  bool continuation = false;
};
TFtpReplyCode FtpReplyCode(std::string_view line);

// The address and port of a 227 reply: the six numbers after the first
// "(".  False when they are missing, a number lies outside 0..255 or the
// port is 0: such a reply cannot open a data connection.
struct TFtpPasvAddress {
  std::array<int, 4> ip{};
  int port = 0;
  std::string IpText() const;
};
bool FtpParsePasvReply(std::string_view reply, TFtpPasvAddress& out);

// The text inside the first pair of double quotes after the code, a
// doubled quote standing for one; empty when no quote follows the code.
std::string FtpQuotedName(std::string_view line);

// A 64-bit number after the status code (a sign is honoured).
std::int64_t FtpSizeAfterCode(std::string_view line);

// The first and second blank-separated words after the status code.
std::string FtpWordAfterCode(std::string_view line, int index);

// A modification time "yyyymmddhhnnss[.f[f[f]]]" as a date-time (days since
// 1899-12-30): 0 when shorter than 14 characters or the month or day is out
// of range, -1 when not a valid date or time.
double FtpMdtmToDateTime(std::string_view text);
// The reverse, "yyyymmddhhnnss".
std::string FtpDateTimeToMdtm(double dateTime);

// Feeds one line of a FEAT reply.
void FtpFeatLine(std::string_view line, TFtpExtensions& ext, std::string& mlstFacts,
                 std::string& languages);

// A byte count as the trace shows it: "1.50M", "32.0K", "12"...
std::string FtpSizeText(std::int64_t count);

// The temporary file name of a compressed transfer (without folder).
std::string FtpCompressTempName(std::string_view localFileName, std::uint32_t tick);

}  // namespace yux::net
