// FTP server replies as the client reads them: lines cut at LF, the status
// code and continuation mark, FEAT lines, the 227 address, 257 quoting,
// SIZE and MDTM values.  Whatever a server sends, the readers stay within
// the line and give values in range.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzzsupport.h"
#include "net/protocols/ftpreply.h"

using namespace yux;
using namespace yux::net;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  std::string_view all(reinterpret_cast<const char*>(data), size);
  TFtpExtensions ext;
  std::string facts, langs;
  while (!all.empty()) {
    size_t end = all.find('\n');
    std::string_view line = all.substr(0, end);
    all = end == std::string_view::npos ? std::string_view() : all.substr(end + 1);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
    const std::string l(line);

    TFtpReplyCode rc = FtpReplyCode(l);
    YUX_FUZZ_CHECK(rc.code >= 0, l);
    YUX_FUZZ_CHECK(rc.hasCode || (!rc.continuation && rc.code == 0), l);

    FtpFeatLine(l, ext, facts, langs);
    YUX_FUZZ_CHECK(facts.size() <= 99 && langs.size() <= 99, l);

    TFtpPasvAddress pasv;
    if (FtpParsePasvReply(l, pasv)) {
      for (int b : pasv.ip) YUX_FUZZ_CHECK(b >= 0 && b <= 255, l);
      YUX_FUZZ_CHECK(pasv.port > 0 && pasv.port <= 65535, l);
      YUX_FUZZ_CHECK(pasv.IpText().size() <= 15, l);
    }

    YUX_FUZZ_CHECK(FtpQuotedName(l).size() <= l.size(), l);
    YUX_FUZZ_CHECK(FtpWordAfterCode(l, 0).size() <= l.size(), l);
    YUX_FUZZ_CHECK(FtpWordAfterCode(l, 1).size() <= l.size(), l);
    (void)FtpSizeAfterCode(l);

    const std::string word = FtpWordAfterCode(l, 0);
    double t = FtpMdtmToDateTime(word);
    YUX_FUZZ_CHECK(t == 0 || t == -1 || t > -700000, word);
    if (t > 0 && word.size() >= 14) {
      // A valid time written back gives the same seconds.
      YUX_FUZZ_CHECK(FtpDateTimeToMdtm(t) == word.substr(0, 14) || t - double(int64_t(t)) > 0.99998,
                     word);
    }
  }
  (void)FtpSizeText(int64_t(size) * 1000003);
  return 0;
}
