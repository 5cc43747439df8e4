// Dial-up before the network deliveries, on a scripted phone book: what
// each answer of the line leads to, redials, waits that run out, a line
// that was already up, aborts, and reports of abandoned dials.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>

#include "core/run/dialup.h"
#include "core/store/options.h"
#include "core/store/programlog.h"
#include "platform/messagebox.h"
#include "platform/ras.h"
#include "tests/core/program_fixture.h"
#include "tests/core/yux_process.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

class DialUpStageTest : public test::ProgramTest {
 protected:
  void SetUp() override {
    boxes = std::make_shared<platform::ScriptedMessageBoxService>();
    SetUpProgram(boxes, &hooks);
    SettingsFolder = settings.str();
    platform::RasResetEmulation();
    SetDialUpTuning({10});
    DialUp = DialUpState{};
  }
  void TearDown() override {
    platform::RasResetEmulation();
    SetDialUpTuning({});
    DialUp = DialUpState{};
    test::ProgramTest::TearDown();
  }
  void PhoneBook(const std::string& text) {
    fs::create_directories(config / "yux");
    test::WriteFile(config / "yux" / "phonebook.ini", text);
  }
  std::vector<std::string> LogLines() const {
    std::vector<std::string> out;
    for (const std::string& l : test::LogTexts(test::ReadFile(settings / "yux.log")))
      if (!l.empty()) out.push_back(l);
    return out;
  }
  QTimer wait;
  std::shared_ptr<platform::ScriptedMessageBoxService> boxes;
  test::FakeHooks hooks;
};

const char* kOffice = "[Office]\nNumber=0123\nUser=alice\nPassword=secret\n";

}  // namespace

TEST_F(DialUpStageTest, EachLineAnswerAsTheLogTellsIt) {
  struct Case {
    std::string name;
    std::string answers;
    std::string dac;
    int dnr, dwc;
    DialUpResult result;
    std::vector<std::string> lines;
  };
  const std::vector<Case> cases = {
      {"connect", "connect:300", "Office", 2, 30, DialUpResult::Available,
       {"DIALUP - Dialing Office.", "DIALUP - Waiting for connection (30 seconds max).", "DIALUP - Connected."}},
      {"busy three times", "busy,busy,busy", "Office", 2, 30, DialUpResult::NotAvailable,
       {"DIALUP - Dialing Office.", "DIALUP - Waiting for connection (30 seconds max).",
        "DIALUP - The phone line is busy. [!]", "DIALUP - Hanging up.", "DIALUP - Redialing Office [1/2].",
        "DIALUP - Waiting for connection (30 seconds max).", "DIALUP - The phone line is busy. [!]",
        "DIALUP - Hanging up.", "DIALUP - Redialing Office [2/2].",
        "DIALUP - Waiting for connection (30 seconds max).", "DIALUP - The phone line is busy. [!]",
        "DIALUP - Hanging up.", "DIALUP - No connection. [!]"}},
      {"busy then connect", "busy,connect", "office", 3, 30, DialUpResult::Available,
       {"DIALUP - Dialing office.", "DIALUP - Waiting for connection (30 seconds max).",
        "DIALUP - The phone line is busy. [!]", "DIALUP - Hanging up.", "DIALUP - Redialing office [1/3].",
        "DIALUP - Waiting for connection (30 seconds max).", "DIALUP - Connected."}},
      {"silence", "silence", "Office", 1, 1, DialUpResult::NotAvailable,
       {"DIALUP - Dialing Office.", "DIALUP - Waiting for connection (1 seconds max).",
        "DIALUP - No connection within 1 seconds. [!]", "DIALUP - Hanging up.", "DIALUP - Redialing Office [1/1].",
        "DIALUP - Waiting for connection (1 seconds max).", "DIALUP - No connection within 1 seconds. [!]",
        "DIALUP - Hanging up.", "DIALUP - No connection. [!]"}},
      {"access denied", "error:691", "Office", 3, 30, DialUpResult::NotAvailable,
       {"DIALUP - Dialing Office.", "DIALUP - Waiting for connection (30 seconds max).",
        "DIALUP - Access was denied because the username and/or password was invalid on the domain. [!]",
        "DIALUP - Hanging up.", "DIALUP - No connection. [!]"}},
      {"no entry chosen", "connect", "", 3, 30, DialUpResult::NotAvailable,
       {"DIALUP - Dialup account has not been selected yet. [!]", "DIALUP - No connection. [!]"}},
      {"unknown entry", "connect", "Home", 3, 30, DialUpResult::NotAvailable,
       {"DIALUP - Can't get account params (err. 623) [!]", "DIALUP - No connection. [!]"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::RasResetEmulation();
    DialUp = DialUpState{};
    fs::remove(settings / "yux.log");
    PhoneBook(std::string(kOffice) + "Answers=" + c.answers + "\n");
    Options.dac = c.dac;
    Options.dnr = c.dnr;
    Options.dwc = c.dwc;
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(DialUpStage(&wait, [] { return false; }), c.result);
    EXPECT_LT(t.elapsed(), 20000);
    EXPECT_EQ(LogLines(), c.lines);
    EXPECT_FALSE(wait.isActive());
    // What this program dialled and got is the one active connection.
    std::vector<platform::RasConnection> conns;
    platform::RasEnumConnections(conns);
    EXPECT_EQ(conns.size(), c.result == DialUpResult::Available ? 1u : 0u);
  }
}

TEST_F(DialUpStageTest, OnlyAConnectionMadeHereIsHungUpAfterTheDeliveries) {
  Options.des = true;
  Options.dha = true;
  Options.dac = "Office";
  PhoneBook(std::string(kOffice) + "Answers=connect\n");
  ASSERT_EQ(DialUpStage(&wait, [] { return false; }), DialUpResult::Available);
  EXPECT_TRUE(DialUp.ConnectionMadeHere);
  DialUpAfterDeliveries();
  EXPECT_EQ(LogLines().back(), "DIALUP - Hanging up.");
  std::vector<platform::RasConnection> conns;
  platform::RasEnumConnections(conns);
  EXPECT_TRUE(conns.empty());

  // A line that was up before the run is used and never hung up.
  platform::RasResetEmulation();
  fs::remove(settings / "yux.log");
  PhoneBook(std::string(kOffice) + "Answers=connect\nConnected=1\n");
  ASSERT_EQ(DialUpStage(&wait, [] { return false; }), DialUpResult::Available);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"DIALUP - Connection Office is already established."}));
  DialUpAfterDeliveries();
  Hangup();
  EXPECT_EQ(LogLines().size(), 1u);
  platform::RasEnumConnections(conns);
  EXPECT_EQ(conns.size(), 1u);
}

TEST_F(DialUpStageTest, AnAbortDuringTheWaitHangsUpTheDial) {
  Options.dac = "Office";
  Options.dwc = 60;
  PhoneBook(std::string(kOffice) + "Answers=silence\n");
  QElapsedTimer t;
  t.start();
  EXPECT_EQ(DialUpStage(&wait, [&] { return t.elapsed() > 300; }), DialUpResult::Aborted);
  EXPECT_LT(t.elapsed(), 10000);
  EXPECT_EQ(DialUp.DialHandle, 0u);
  EXPECT_EQ(LogLines().back(), "DIALUP - Hanging up.");
  EXPECT_FALSE(wait.isActive());
}

TEST_F(DialUpStageTest, ReportsOfADialGivenUpOnAreIgnored) {
  Options.dac = "Office";
  PhoneBook(std::string(kOffice) + "Answers=silence\n");
  DialUp.RedialCounter = Options.dnr;
  DialEntry();
  const platform::HRASCONN first = DialUp.DialHandle;
  ASSERT_NE(first, 0u);
  // A second dial hangs up the pending one first.
  DialEntry();
  const platform::HRASCONN second = DialUp.DialHandle;
  EXPECT_NE(second, first);
  RasDialNotification(first, platform::RASCS_Connected, 0);
  EXPECT_FALSE(DialUp.ConnectionAvailable);
  RasDialNotification(second, platform::RASCS_Connected, 0);
  EXPECT_TRUE(DialUp.ConnectionAvailable);
  Hangup();
}
