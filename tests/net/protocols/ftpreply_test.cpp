// The FTP reply readers on their own: codes, 227, 257, MDTM, FEAT and the
// size texts of the transfer trace.
#include <gtest/gtest.h>

#include "net/protocols/ftpreply.h"

using namespace yux::net;

namespace {

TEST(FtpReply, PassiveReplies) {
  struct Case {
    const char* reply;
    bool ok;
    const char* ip;
    int port;
  } cases[] = {
      {"227 Entering Passive Mode (192,168,1,2,19,137)", true, "192.168.1.2", 5001},
      {"227 Entering Passive Mode (127,0,0,1,0,21).", true, "127.0.0.1", 21},
      {"227 =(1, 2, 3, 4, 255, 255)", true, "1.2.3.4", 65535},
      {"227 Entering Passive Mode (127,0,0,256,4,1)", false, "", 0},
      {"227 Entering Passive Mode (127,0,0,1,0,0)", false, "", 0},
      {"227 Entering Passive Mode (127,0,0,1,4)", false, "", 0},
      {"227 Entering Passive Mode 127,0,0,1,4,1", false, "", 0},
      {"227 (-1,0,0,1,4,1)", false, "", 0},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.reply);
    TFtpPasvAddress a;
    ASSERT_EQ(FtpParsePasvReply(c.reply, a), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(a.IpText(), c.ip);
    EXPECT_EQ(a.port, c.port);
  }
}

TEST(FtpReply, CodesQuotedNamesAndWords) {
  EXPECT_EQ(FtpReplyCode("220-Welcome").code, 220);
  EXPECT_TRUE(FtpReplyCode("220-Welcome").continuation);
  EXPECT_FALSE(FtpReplyCode("220 ready").continuation);
  EXPECT_FALSE(FtpReplyCode(" 220 indented").hasCode);
  EXPECT_EQ(FtpQuotedName("257 \"/a \"\"b\"\" c\" created"), "/a \"b\" c");
  EXPECT_EQ(FtpQuotedName("257 no quote"), "");
  EXPECT_EQ(FtpQuotedName("257 \"open"), "open");
  EXPECT_EQ(FtpSizeAfterCode("213 123456789012"), 123456789012);
  EXPECT_EQ(FtpSizeAfterCode("213 -5"), -5);
  EXPECT_EQ(FtpSizeAfterCode("213 99999999999999999999999"), 0);
  EXPECT_EQ(FtpWordAfterCode("250 XCRC 1234ABCD", 1), "1234ABCD");
}

TEST(FtpReply, ModificationTimes) {
  EXPECT_EQ(FtpMdtmToDateTime("2024"), 0);
  EXPECT_EQ(FtpMdtmToDateTime("20241301000000"), 0);  // month 13
  EXPECT_EQ(FtpMdtmToDateTime("20240132000000"), 0);  // day 32
  EXPECT_EQ(FtpMdtmToDateTime("20230229000000"), -1);  // no 29 February in 2023
  EXPECT_EQ(FtpMdtmToDateTime("20240101250000"), -1);
  // 2024-02-29 12:00:00 is day 45351.5 after 1899-12-30.
  EXPECT_DOUBLE_EQ(FtpMdtmToDateTime("20240229120000"), 45351.5);
  EXPECT_NEAR(FtpMdtmToDateTime("20240229120000.5"), 45351.5 + 0.5 / 86400, 1e-9);
  EXPECT_NEAR(FtpMdtmToDateTime("20240229120000.005"), 45351.5 + 0.005 / 86400, 1e-9);
  EXPECT_EQ(FtpDateTimeToMdtm(45351.5), "20240229120000");
}

TEST(FtpReply, FeatLines) {
  TFtpExtensions ext;
  std::string facts, langs;
  for (const char* l : {" MDTM", " SIZE", " REST STREAM", " MLST type*;size*;modify*;", " AUTH TLS",
                        " PROT C;P", " PBSZ", " LANG en;fr", " SITE PSWD;EXEC", " MODE Z", " UTF8"})
    FtpFeatLine(l, ext, facts, langs);
  for (auto e : {ftpFeatMdtm, ftpFeatSize, ftpFeatRest, ftpFeatMlst, ftpFeatAuthTls, ftpFeatProtC,
                 ftpFeatProtP, ftpFeatPbsz, ftpFeatLang, ftpFeatSitePswd, ftpFeatSiteExec,
                 ftpFeatModeZ, ftpFeatUtf8})
    EXPECT_TRUE(ext.Contains(e)) << int(e);
  EXPECT_FALSE(ext.Contains(ftpFeatAuthSsl));
  EXPECT_FALSE(ext.Contains(ftpFeatSiteIndex));
  EXPECT_EQ(facts, "type*;size*;modify*;");
  EXPECT_EQ(langs, "en;fr");
}

TEST(FtpReply, SizeTextsAndTempNames) {
  EXPECT_EQ(FtpSizeText(0), "0");
  EXPECT_EQ(FtpSizeText(1023), "1023");
  EXPECT_EQ(FtpSizeText(1536), "1.50K");
  EXPECT_EQ(FtpSizeText(20480), "20.0K");
  EXPECT_EQ(FtpSizeText(5 * 1048576), "5.00M");
  EXPECT_EQ(FtpSizeText(std::int64_t(3) << 30), "3.00G");
  // Every separator of a full path goes, or the name names a folder.
  EXPECT_EQ(FtpCompressTempName("/Home/a.b/File.TXT", 1234567), "_home_a_b_file_txt_234567.zlib");
  EXPECT_EQ(FtpCompressTempName("", 42), "temp_12342.zlib");
}

}  // namespace
