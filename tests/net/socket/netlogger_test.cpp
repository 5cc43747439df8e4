// The logger's destinations, stamp and file handling.
#include <gtest/gtest.h>

#include <regex>

#include "net/socket/netexceptions.h"
#include "net/socket/netlogger.h"
#include "tests/support/testsupport.h"

using namespace yux::net;

TEST(NetLogger, EventGetsStampBlankAndMessageAndNoFileIsTouched) {
  yux::test::TempDir dir;
  TNetLogger log;
  log.SetLogFileName((dir / "never.log").string());
  log.SetLogOptions({TLogOption::loDestEvent, TLogOption::loAddStamp});
  std::vector<std::string> lines;
  int sender = 0;
  log.SetOnNetLogEvent([&](const void* s, TLogOption o, const std::string& m) {
    EXPECT_EQ(s, &sender);
    EXPECT_EQ(o, TLogOption::loWsockInfo);
    lines.push_back(m);
  });
  log.LogMessage(&sender, TLogOption::loWsockInfo, "hello");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\d\d:\d\d:\d\d:\d\d\d hello)"))) << lines[0];
  EXPECT_FALSE(std::filesystem::exists(dir / "never.log"));

  log.SetLogOptions({TLogOption::loDestEvent});
  log.LogMessage(&sender, TLogOption::loWsockInfo, "plain");
  EXPECT_EQ(lines.back(), "plain");
}

TEST(NetLogger, FileOverwriteAppendAndRename) {
  yux::test::TempDir dir;
  auto a = (dir / "a.log").string();
  auto b = (dir / "b.log").string();
  yux::test::WriteFile(a, "old\r\n");
  {
    TNetLogger log;
    log.SetLogOptions({TLogOption::loDestFile});
    log.SetLogFileName(a);
    log.SetLogFileOption(TLogFileOption::lfoOverwrite);
    log.LogMessage(nullptr, TLogOption::loWsockErr, "one");
    log.LogMessage(nullptr, TLogOption::loWsockErr, "two");
    EXPECT_EQ(yux::test::ReadFile(a), "one\r\ntwo\r\n");
    // A new name closes the file; the next line goes to the new one.
    log.SetLogFileName(b);
    log.LogMessage(nullptr, TLogOption::loWsockErr, "three");
    EXPECT_EQ(yux::test::ReadFile(b), "three\r\n");
  }
  {
    TNetLogger log;
    log.SetLogOptions({TLogOption::loDestFile});
    log.SetLogFileName(a);  // append is the default
    log.LogMessage(nullptr, TLogOption::loWsockErr, "four");
  }
  EXPECT_EQ(yux::test::ReadFile(a), "one\r\ntwo\r\nfour\r\n");
}

TEST(NetLogger, EmptyFileNameFails) {
  TNetLogger log;
  log.SetLogOptions({TLogOption::loDestFile});
  try {
    log.LogMessage(nullptr, TLogOption::loWsockErr, "x");
    FAIL();
  } catch (const ELoggerException& e) {
    EXPECT_STREQ(e.what(), "File name empty");
  }
}

TEST(NetLogger, UsersLearnWhenTheLoggerGoes) {
  struct User : INetLogUser {
    TNetLogger* logger = nullptr;
    void NetLoggerFreed(TNetLogger* l) override {
      if (l == logger) logger = nullptr;
    }
  } kept, dropped;
  auto* log = new TNetLogger;
  kept.logger = dropped.logger = log;
  log->RegisterLogUser(&kept);
  log->RegisterLogUser(&dropped);
  log->UnregisterLogUser(&dropped);
  delete log;
  EXPECT_EQ(kept.logger, nullptr);
  EXPECT_NE(dropped.logger, nullptr);
}
