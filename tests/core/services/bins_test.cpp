// The keeper and recycle bins with the real stand-in archiver: copies and
// moves into the bin archives, passwords that must stay one argument, the
// recycle question, versions, an archiver that cannot start, a bin folder
// that cannot be made, and a running yux taking paths from messengers.
#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <utility>

#include "core/run/winrarcmd.h"
#include "core/services/bins.h"
#include "core/services/startup.h"
#include "core/store/folders.h"
#include "core/store/options.h"
#include "core/window/mainform.h"
#include "platform/broadcast.h"
#include "platform/messagebox.h"
#include "tests/core/program_fixture.h"
#include "tests/core/yux_process.h"
#include "tests/support/testsupport.h"

using namespace yux;
using test::PumpUntil;
namespace fs = std::filesystem;

namespace {

class Bins : public test::ProgramTest {
 protected:
  void SetUp() override {
    boxes = std::make_shared<platform::ScriptedMessageBoxService>();
    SetUpProgram(boxes, &hooks);
    SetUpBins();
    test::WriteFile(src / "a.txt", "alpha\n");
    fs::create_directories(src / "dir");
    test::WriteFile(src / "dir" / "b.bin", std::string(3000, 'b'));
  }
  std::vector<std::string> Listing(const fs::path& archive) {
    auto r = test::RunProgram({"bsdtar", "-tf", archive.string()});
    std::vector<std::string> out;
    std::string line;
    for (char c : r.out) {
      if (c == '\n') out.push_back(line), line.clear();
      else line += c;
    }
    return out;
  }
  // The name an entry of the source folder has in a bin archive: its full
  // path without the leading "/".
  std::string Stored(const std::string& name) const { return (src.path() / name).string().substr(1); }
  std::vector<std::string> BoxTexts() const {
    std::vector<std::string> out;
    for (const auto& r : boxes->Asked()) out.push_back(r.text);
    return out;
  }
  test::TempDir src, out;
  std::shared_ptr<platform::ScriptedMessageBoxService> boxes;
  test::FakeHooks hooks;
};

}  // namespace

TEST_F(Bins, ParametersQuoteEveryPathAndPasswordAndCarryTheVersions) {
  Options.obf = "/bins/My Bin";
  Options.obc = 3;
  Options.okp = "my \"pa ss";
  Options.obv = 0;
  EXPECT_EQ(BinArchiverParameters(BinKind::Keeper, "/s/yuxbin-k.txt"),
            "a -ep3 -m3 -ibck -dh -r  -cfg- \"-hpmy \\\"pa ss\" \"/bins/My Bin/keeper.rar\" \"@/s/yuxbin-k.txt\"");
  Options.obv = 5;
  Options.obp.clear();
  Options.okp = "x";
  EXPECT_EQ(BinArchiverParameters(BinKind::Keeper, "/s/k.txt", true),
            "a -ep3 -m3 -ibck -dh -r  -cfg- -hp -ver5 \"/bins/My Bin/keeper.rar\" \"@/s/k.txt\"");
  EXPECT_TRUE(IsStandInArchiver("/opt/yux/winrar"));
  EXPECT_FALSE(IsStandInArchiver("/opt/rar/WinRAR.exe"));
  EXPECT_EQ(BinArchiverParameters(BinKind::Recycle, "/s/yuxbin-r.txt"),
            "a -df -ep3 -m3 -ibck -dh -r  -cfg- -ver5 \"/bins/My Bin/recycle.rar\" \"@/s/yuxbin-r.txt\"");
}

TEST_F(Bins, KeeperCopiesAndEachPasswordOpensItsArchive) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  YUX_REQUIRE_PROGRAM("7z");
  const std::vector<std::string> passwords = {"", "pa ss", "a\"b", "x\\", "my \"pa ss"};
  for (const std::string& pw : passwords) {
    SCOPED_TRACE(pw);
    fs::remove_all(Options.obf);
    Options.okp = pw;
    TForm1 form;
    form.KeeperList = {(src / "a.txt").string(), (src / "dir").string()};
    KeeperTick(form);
    const fs::path archive = fs::path(Options.obf) / "keeper.rar";
    ASSERT_TRUE(fs::exists(archive)) << test::ReadFile(settings / "winrar.log");
    EXPECT_TRUE(form.KeeperList.empty());
    EXPECT_FALSE(fs::exists(settings / "yuxbin-k.txt"));
    EXPECT_TRUE(fs::exists(src / "a.txt"));  // a copy: the source stays
    test::TempDir x;
    auto r = test::RunProgram({"7z", "x", "-y", "-p" + pw, "-o" + x.str(), archive.string()});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    // Full paths are kept ("-ep3"), without the leading "/".
    const fs::path stored = x / src.path().relative_path();
    EXPECT_EQ(test::ReadFile(stored / "a.txt"), "alpha\n");
    EXPECT_TRUE(test::ReadFile(stored / "dir" / "b.bin") == std::string(3000, 'b'));
    if (pw.empty()) {
      const auto names = Listing(archive);
      EXPECT_NE(std::find(names.begin(), names.end(), Stored("a.txt")), names.end());
    }
  }
  EXPECT_TRUE(BoxTexts().empty());
}

TEST_F(Bins, RecycleMovesAfterYesAndKeepsEverythingAfterNo) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  TForm1 form;
  form.RecycleList = {(src / "a.txt").string()};
  boxes->Answer(platform::IDNO);
  RecycleTick(form);
  EXPECT_TRUE(form.RecycleList.empty());
  EXPECT_TRUE(fs::exists(src / "a.txt"));
  EXPECT_FALSE(fs::exists(fs::path(Options.obf) / "recycle.rar"));
  ASSERT_EQ(BoxTexts().size(), 1u);
  EXPECT_EQ(BoxTexts()[0], "\rMove 1 item(s) to YUX-RECYCLE?");
  EXPECT_EQ(boxes->Asked()[0].type & 0xF, platform::MB_YESNO);

  form.RecycleList = {(src / "a.txt").string(), (src / "dir").string()};
  boxes->Answer(platform::IDYES);
  RecycleTick(form);
  const fs::path archive = fs::path(Options.obf) / "recycle.rar";
  ASSERT_TRUE(fs::exists(archive));
  EXPECT_FALSE(fs::exists(src / "a.txt"));
  EXPECT_FALSE(fs::exists(src / "dir" / "b.bin"));
  const auto names = Listing(archive);
  EXPECT_NE(std::find(names.begin(), names.end(), Stored("a.txt")), names.end());
  EXPECT_EQ(BoxTexts().size(), 2u);
}

TEST_F(Bins, AnArchiverThatCannotStartKeepsThePathsForTheNextArrival) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  TForm1 form;
  WinRarPath = (out / "no-such-archiver").string();
  form.KeeperList = {(src / "a.txt").string()};
  KeeperTick(form);
  ASSERT_EQ(BoxTexts().size(), 1u);
  EXPECT_NE(BoxTexts()[0].find("Problem occured when working with YUX-BIN"), std::string::npos);
  EXPECT_NE(BoxTexts()[0].find("no-such-archiver"), std::string::npos);
  EXPECT_EQ(form.KeeperList, (std::vector<std::string>{(src / "a.txt").string()}));

  // The next arrival archives both.
  WinRarPath = test::BuiltProgram("winrar").string();
  form.KeeperList.push_back((src / "dir").string());
  KeeperTick(form);
  const auto names = Listing(fs::path(Options.obf) / "keeper.rar");
  EXPECT_NE(std::find(names.begin(), names.end(), Stored("a.txt")), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), Stored("dir/b.bin")), names.end());
  EXPECT_EQ(BoxTexts().size(), 1u);

  // A bin folder that cannot be made: a box, the sources and paths kept.
  test::WriteFile(out / "file", "");
  Options.obf = (out / "file" / "bin").string();
  form.RecycleList = {(src / "a.txt").string()};
  boxes->Answer(platform::IDYES);
  RecycleTick(form);
  EXPECT_TRUE(fs::exists(src / "a.txt"));
  EXPECT_EQ(form.RecycleList.size(), 1u);
  ASSERT_EQ(BoxTexts().size(), 3u);
  EXPECT_NE(BoxTexts()[2].find("Problem occured"), std::string::npos);
  EXPECT_FALSE(BinArchiving(BinKind::Recycle));
}

TEST_F(Bins, AFailedRequestNamesItsPathsAndTheArchiversCode) {
  const std::string missing = (src / "gone.txt").string();
  const std::string present = (src / "a.txt").string();
  struct Case {
    const char* what;
    BinKind bin;
    std::vector<std::string> paths;
    int code;  // the stand-in archiver's: 10 nothing to archive, 1 a warning
  } const cases[] = {
      {"recycle, a file no longer there", BinKind::Recycle, {missing}, 10},
      {"keeper, one of two gone", BinKind::Keeper, {missing, present}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TForm1 form;
    const size_t asked = boxes->Asked().size();
    if (c.bin == BinKind::Recycle) {
      form.RecycleList = c.paths;
      boxes->Answer(platform::IDYES);
      RecycleTick(form);
    } else {
      form.KeeperList = c.paths;
      KeeperTick(form);
    }
    std::string expected = "\rProblem occured when working with YUX-BIN\r\n\r\nThe archiver ended with code " +
                           std::to_string(c.code) + "; the request was about:";
    for (const std::string& p : c.paths) expected += "\r\n" + p;
    ASSERT_EQ(BoxTexts().size(), asked + (c.bin == BinKind::Recycle ? 2 : 1));
    EXPECT_EQ(BoxTexts().back(), expected);
  }
}

TEST_F(Bins, PathsArrivingWithinASecondMakeOneArchiverCall) {
  // A recording archiver, to count the calls and see the list file while it
  // exists.
  const fs::path rec = out / "rec.sh";
  test::WriteFile(rec, "#!/bin/sh\necho \"$@\" >> \"" + (out / "calls").string() +
                           "\"\nfor a; do case \"$a\" in @*) cat \"${a#@}\" >> \"" + (out / "lists").string() +
                           "\";; esac; done\n");
  chmod(rec.c_str(), 0755);
  WinRarPath = rec.string();
  TForm1 form;
  form.OnKeeperTimer = [&form] { KeeperTick(form); };
  for (const char* n : {"one", "two", "three"}) form.TakeBinDrop(1, (src / n).string());
  QElapsedTimer t;
  t.start();
  while (!fs::exists(out / "calls") && t.elapsed() < 15000) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  ASSERT_TRUE(fs::exists(out / "calls"));
  // Give a second call, if one were made, the time to come.
  t.restart();
  while (t.elapsed() < 2500) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  EXPECT_EQ(test::CountOf(test::ReadFile(out / "calls"), "keeper.rar"), 1);
  EXPECT_EQ(test::ReadFile(out / "lists"),
            (src / "one").string() + "\r\n" + (src / "two").string() + "\r\n" + (src / "three").string() + "\r\n");
  EXPECT_FALSE(form.yuxbintimerk->isActive());
}

namespace {

bool Has(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Pumps events until `done` or the bound (ms) passes.
}  // namespace

// A path that comes while the recycle question is open (the box runs an
// event loop of its own) waits beside the list and gets its own question
// once the first is answered: the real box, clicked as a user clicks it.
TEST_F(Bins, ASecondBatchDuringTheRecycleQuestionGetsItsOwnQuestion) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  platform::SetMessageBoxService(std::make_shared<platform::QtMessageBoxService>());
  for (const char* n : {"c.txt", "d.txt"}) test::WriteFile(src / n, n);
  TForm1 form;
  form.RegisterParamDataReceiver();
  form.OnRecycleTimer = [&form] { RecycleTick(form); };
  std::vector<std::string> questions;
  bool secondBatchSent = false;
  QTimer clicker;
  QObject::connect(&clicker, &QTimer::timeout, [&] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    if (questions.empty() && !secondBatchSent) {
      // The first question is open: a messenger's path and a drop arrive.
      ASSERT_GE(platform::BroadcastTextMessage(kParamDataMessage, 0, "R" + (src / "c.txt").string()), 1);
      secondBatchSent = true;
      return;
    }
    // The messenger's path has been taken once its arrival restarted the
    // timer (the tick stopped it before asking).
    if (questions.empty() && !form.yuxbintimerr->isActive()) return;
    if (questions.empty()) form.TakeBinDrop(2, (src / "d.txt").string());
    questions.push_back(box->text().toStdString());
    box->button(QMessageBox::Yes)->click();
  });
  clicker.start(20);
  form.RecycleList = {(src / "a.txt").string(), (src / "dir").string()};
  form.yuxbintimerr->start();
  const fs::path archive = fs::path(Options.obf) / "recycle.rar";
  ASSERT_TRUE(PumpUntil(
      [&] { return questions.size() == 2 && !BinArchiving(BinKind::Recycle) && fs::exists(archive); }, 60000))
      << questions.size();
  EXPECT_EQ(questions, (std::vector<std::string>{"Move 2 item(s) to YUX-RECYCLE?", "Move 2 item(s) to YUX-RECYCLE?"}));
  const auto names = Listing(archive);
  for (const char* n : {"a.txt", "dir/b.bin", "c.txt", "d.txt"}) {
    EXPECT_TRUE(Has(names, Stored(n))) << n;
    EXPECT_FALSE(fs::exists(src / n)) << n;
  }
  EXPECT_TRUE(form.RecycleList.empty());
  EXPECT_FALSE(form.RecycleInUse);
}

namespace {

// A box whose Show runs `during` (an arrival while the question is open)
// before it answers.
class AnsweringBox : public platform::MessageBoxService {
 public:
  int Show(const platform::MessageBoxRequest& request) override {
    asked.push_back(request.text);
    if (during) std::exchange(during, nullptr)();
    const int a = answers.front();
    answers.erase(answers.begin());
    return a;
  }
  std::function<void()> during;
  std::vector<int> answers;
  std::vector<std::string> asked;
};

}  // namespace

TEST_F(Bins, NoDropsOnlyWhatTheQuestionWasAbout) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  auto box = std::make_shared<AnsweringBox>();
  platform::SetMessageBoxService(box);
  test::WriteFile(src / "c.txt", "c");
  TForm1 form;
  form.RecycleList = {(src / "a.txt").string()};
  box->during = [&] { form.TakeBinDrop(2, (src / "c.txt").string()); };
  box->answers = {platform::IDNO, platform::IDYES};
  RecycleTick(form);
  // The path that came during the question waits for a question of its own.
  EXPECT_EQ(form.RecycleList, (std::vector<std::string>{(src / "c.txt").string()}));
  EXPECT_TRUE(form.yuxbintimerr->isActive());
  RecycleTick(form);
  EXPECT_EQ(box->asked, (std::vector<std::string>{"\rMove 1 item(s) to YUX-RECYCLE?", "\rMove 1 item(s) to YUX-RECYCLE?"}));
  EXPECT_TRUE(fs::exists(src / "a.txt"));
  EXPECT_FALSE(fs::exists(src / "c.txt"));
  const auto names = Listing(fs::path(Options.obf) / "recycle.rar");
  EXPECT_TRUE(Has(names, Stored("c.txt")));
  EXPECT_FALSE(Has(names, Stored("a.txt")));
}

// Without a display nobody can answer the question: nothing is moved, and
// the log names what was not.
TEST_F(Bins, WithoutADisplayTheRecycleBinMovesNothing) {
  platform::SetMessageBoxService(nullptr);
  ASSERT_TRUE(platform::IsHeadless());
  TForm1 form;
  form.RecycleList = {(src / "a.txt").string(), (src / "dir").string()};
  RecycleTick(form);
  EXPECT_TRUE(fs::exists(src / "a.txt"));
  EXPECT_TRUE(fs::exists(src / "dir" / "b.bin"));
  EXPECT_FALSE(fs::exists(fs::path(Options.obf) / "recycle.rar"));
  EXPECT_TRUE(form.RecycleList.empty());
  const std::string log = test::ReadFile(settings / "yux.log");
  EXPECT_EQ(test::CountOf(log, "nothing was moved"), 1) << log;
  EXPECT_NE(log.find("\"" + (src / "a.txt").string() + "\" \"" + (src / "dir").string() + "\""), std::string::npos)
      << log;
}

// Bin paths are names.  The stand-in archiver is told so; another archiver
// would read "*" and "?" as masks, so such paths are refused with a box
// and the rest goes on.
TEST_F(Bins, PathsWithWildcardCharactersAreNamesNeverMasks) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  for (const char* n : {"report?.txt", "reportA.txt", "reportB.txt", " padded "}) test::WriteFile(src / n, n);
  TForm1 form;
  form.KeeperList = {(src / "report?.txt").string(), (src / " padded ").string()};
  KeeperTick(form);
  const auto kept = Listing(fs::path(Options.obf) / "keeper.rar");
  EXPECT_TRUE(Has(kept, Stored("report?.txt")));
  EXPECT_TRUE(Has(kept, Stored(" padded ")));
  EXPECT_FALSE(Has(kept, Stored("reportA.txt")));
  EXPECT_FALSE(Has(kept, Stored("reportB.txt")));
  boxes->Answer(platform::IDYES);
  form.RecycleList = {(src / "report?.txt").string()};
  RecycleTick(form);
  EXPECT_FALSE(fs::exists(src / "report?.txt"));
  EXPECT_TRUE(fs::exists(src / "reportA.txt"));
  EXPECT_TRUE(fs::exists(src / "reportB.txt"));
  const auto recycled = Listing(fs::path(Options.obf) / "recycle.rar");
  EXPECT_TRUE(Has(recycled, Stored("report?.txt")));
  EXPECT_FALSE(Has(recycled, Stored("reportA.txt")));

  // Another archiver (it records its arguments and its list).
  const fs::path rec = out / "rec.sh";
  test::WriteFile(rec, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> \"" + (out / "args").string() +
                           "\"\nfor a; do case \"$a\" in @*) cat \"${a#@}\" >> \"" + (out / "lists").string() +
                           "\";; esac; done\n");
  chmod(rec.c_str(), 0755);
  WinRarPath = rec.string();
  const size_t boxesBefore = BoxTexts().size();
  form.KeeperList = {(src / "rep*.txt").string(), (src / "a.txt").string(), (src / "report?.txt").string()};
  KeeperTick(form);
  EXPECT_EQ(test::ReadFile(out / "lists"), (src / "a.txt").string() + "\r\n");
  EXPECT_EQ(test::ReadFile(out / "args").find("-listliteral"), std::string::npos);
  ASSERT_EQ(BoxTexts().size(), boxesBefore + 1);
  EXPECT_NE(BoxTexts().back().find((src / "rep*.txt").string()), std::string::npos) << BoxTexts().back();
  EXPECT_NE(BoxTexts().back().find((src / "report?.txt").string()), std::string::npos) << BoxTexts().back();
  // Nothing left to ask about: no question, no archiver call.
  fs::remove(out / "args");
  form.RecycleList = {(src / "reportA?txt").string()};
  RecycleTick(form);
  EXPECT_FALSE(fs::exists(out / "args"));
  EXPECT_EQ(BoxTexts().size(), boxesBefore + 2);
  EXPECT_TRUE(fs::exists(src / "reportA.txt"));
}

// The bin passwords are the user's text: "%NAME%" in them is not expanded
// (the folders' references still are).
TEST_F(Bins, PasswordsAreNotExpandedButFoldersAre) {
  const fs::path rec = out / "rec.sh";
  test::WriteFile(rec, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"" + (out / "args").string() + "\"\n");
  chmod(rec.c_str(), 0755);
  WinRarPath = rec.string();
  setenv("YUX_BIN_TEST", out.str().c_str(), 1);
  Options.obf = "%YUX_BIN_TEST%/bin";
  Options.okp = "pw%HOME%x";
  TForm1 form;
  form.KeeperList = {(src / "a.txt").string()};
  KeeperTick(form);
  unsetenv("YUX_BIN_TEST");
  const std::string args = test::ReadFile(out / "args");
  EXPECT_NE(args.find("\n-hppw%HOME%x\n"), std::string::npos) << args;
  EXPECT_NE(args.find("\n" + (out / "bin" / "keeper.rar").string() + "\n"), std::string::npos) << args;
  EXPECT_TRUE(fs::is_directory(out / "bin"));
}

namespace {

// The options of a real yux whose bins show no "done" box.
void SaveOptionsWithoutDoneBox(const test::YuxWorld& world) {
  const std::string savedFolder = SettingsFolder;
  SettingsFolder = world.settings.str();
  topt o;
  SetOptionDefaults(o);
  o.obn = false;
  SaveOptions(o);
  SettingsFolder = savedFolder;
}

}  // namespace

TEST(BinsProgram, AKeeperRequestArchivesWithTheStandIn) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  test::YuxWorld world;
  world.UseSettingsFolder();
  test::TempDir src;
  test::WriteFile(src / "report.txt", "quarterly\n");
  SaveOptionsWithoutDoneBox(world);
  test::RunningYux yux(world);
  ASSERT_TRUE(test::WaitForText(world.settings / "yux.log", "YUX is ready now.")) << yux.Err();
  auto r = test::RunProgram({test::BuiltProgram("yux").string(), "/YUX-KEEPER", (src / "report.txt").string()},
                            world.EnvMap(), 20000);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const fs::path archive = world.settings / "YUX-BIN" / "keeper.rar";
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < 20000 && !fs::exists(archive)) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  ASSERT_TRUE(fs::exists(archive)) << world.Log() << yux.Err();
  // The archiver writes through a temporary name: wait for its end.
  QElapsedTimer t2;
  t2.start();
  std::string listing;
  while (t2.elapsed() < 20000) {
    listing = test::RunProgram({"bsdtar", "-tf", archive.string()}).out;
    if (listing.find("report.txt") != std::string::npos) break;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
  }
  EXPECT_NE(listing.find("report.txt"), std::string::npos);
  test::TempDir x;
  ASSERT_EQ(test::RunProgram({"bsdtar", "-xf", archive.string(), "-C", x.str()}).exitCode, 0);
  EXPECT_EQ(test::ReadFile(x / src.path().relative_path() / "report.txt"), "quarterly\n");
  EXPECT_TRUE(fs::exists(src / "report.txt"));
}

// A path ending in a line feed, beside a file of the name before it: the
// archiver's list would read it as that file's name and an empty line, and
// the keeper would take a file the user never named.  The messenger refuses
// it; a later request is archived alone.
TEST(BinsProgram, AKeeperRequestWithALineBreakTakesNoOtherFile) {
  YUX_REQUIRE_PROGRAM("bsdtar");
  test::YuxWorld world;
  world.UseSettingsFolder();
  test::TempDir src;
  test::WriteFile(src / "report", "not named by the user\n");
  test::WriteFile(src / "asked.txt", "named\n");
  SaveOptionsWithoutDoneBox(world);
  test::RunningYux yux(world);
  ASSERT_TRUE(test::WaitForText(world.settings / "yux.log", "YUX is ready now.")) << yux.Err();
  const std::string program = test::BuiltProgram("yux").string();
  auto r = test::RunProgram({program, "/YUX-KEEPER", (src / "report").string() + "\n"}, world.EnvMap(), 20000);
  EXPECT_EQ(r.exitCode, 2) << r.err;
  EXPECT_NE(r.err.find("line break"), std::string::npos) << r.err;
  r = test::RunProgram({program, "/YUX-KEEPER", (src / "asked.txt").string()}, world.EnvMap(), 20000);
  ASSERT_EQ(r.exitCode, 0) << r.err;

  // The archiver writes through a temporary name: wait until the archive
  // lists the asked file.
  const fs::path archive = world.settings / "YUX-BIN" / "keeper.rar";
  QElapsedTimer t;
  t.start();
  const std::string asked = (src / "asked.txt").relative_path().string();  // -ep3: the path without its "/"
  std::vector<std::string> names;
  while (t.elapsed() < 20000) {
    names = test::Lines(test::RunProgram({"bsdtar", "-tf", archive.string()}).out);
    if (std::find(names.begin(), names.end(), asked) != names.end()) break;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 100);
  }
  EXPECT_EQ(names, std::vector<std::string>{asked}) << world.Log() << yux.Err();
  EXPECT_TRUE(fs::exists(src / "report"));
}
