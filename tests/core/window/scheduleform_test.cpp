// The schedule window driven through its controls: adding, updating and
// removing rows (the list and "yux.sch" follow), the day-of-week boxes, the
// interval boxes, loading a row back into the controls, the scheduler
// switch, the day information, the scheduler timer acting through the main
// window, and a screenshot.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateEdit>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimeEdit>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "core/services/dialoghooks.h"
#include "core/services/startup.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/language.h"
#include "core/store/loghook.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/programlog.h"
#include "core/store/schedule.h"
#include "core/window/mainform.h"
#include "core/window/scheduleform.h"
#include "platform/messagebox.h"
#include "platform/namedobjects.h"
#include "tests/core/program_fixture.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

class NoDialogs : public DialogHooks {
 public:
  SettingsChoice ChooseSettingsFolder() override { return SettingsChoice::NotChosen; }
  void ShowPasswordDialog(const std::string&) override { PasswordAccepted = false; }
};

// Answers every box with `answer` after running `during` (what the event
// loop might do while a box is open).
class ActingBoxes : public platform::MessageBoxService {
 public:
  int Show(const platform::MessageBoxRequest& request) override {
    asked.push_back(request);
    if (during) during();
    return answer;
  }
  std::vector<platform::MessageBoxRequest> asked;
  std::function<void()> during;
  int answer = platform::IDYES;
};

class ScheduleWindow : public test::ProgramTest {
 protected:
  void SetUp() override {
    fs::create_directories(settings / "presets");
    boxes = std::make_shared<ActingBoxes>();
    SetUpProgram(boxes, &hooks);
    MakePreset("Alpha");
    MakePreset("Beta");
  }
  void TearDown() override {
    form5.reset();
    form1.reset();
    SetScheduleClock({});
    test::ProgramTest::TearDown();
  }

  void MakePreset(const std::string& name) {
    const fs::path presets = settings / "presets";
    test::WriteFile(presets / (name + ".pst"), ScrambleText("ver 0") + "\r\n");
    test::WriteFile(presets / (name + ".inc"), "/data\r\n");
    test::WriteFile(presets / (name + ".exc"), "");
  }
  // Both windows, created as the program creates them.
  void Create() {
    form1 = std::make_unique<TForm1>();
    form5 = std::make_unique<TForm5>(form1.get());
    ASSERT_EQ(form1->FormCreate({}), std::nullopt);
    ASSERT_EQ(form5->FormCreate({}), std::nullopt);
  }
  // Fills the controls for one entry.
  void Fill(const std::string& name, QDate date, QTime time, int repeat = -1, int d = 0, int h = 0, int m = 0) {
    TForm5& f = *form5;
    f.presetbox->setEditText(QString::fromStdString(name));
    f.datepicker->setDate(date);
    f.timepicker->setTime(time);
    f.repeat->setValue(repeat);
    f.rinterval->setChecked(true);
    f.days->setValue(d);
    f.hours->setValue(h);
    f.minutes->setValue(m);
  }
  std::vector<tschdata> ListRows() const {
    std::vector<tschdata> out;
    for (int i = 0; i < form5->sch->topLevelItemCount(); ++i) {
      const QTreeWidgetItem* item = form5->sch->topLevelItem(i);
      out.push_back({item->text(0).toStdString(), item->text(1).toStdString(), item->text(2).toStdString()});
    }
    return out;
  }
  void Select(int row) {
    QTreeWidgetItem* item = form5->sch->topLevelItem(row);
    ASSERT_NE(item, nullptr);
    form5->sch->setCurrentItem(item);
    item->setSelected(true);
  }
  std::string SchFile() const {
    return fs::exists(settings / "yux.sch") ? test::ReadFile(settings / "yux.sch") : std::string("<none>");
  }
  static std::string SchLine(const tschdata& r) {
    return "<D>" + r.DateText + "</D><P>" + r.Name + "</P><O>" + r.Options + "</O>\r\n";
  }
  // The log list's texts without their time stamps.
  std::vector<std::string> LogTexts() const {
    std::vector<std::string> out;
    for (const std::string& line : form1->LogLines()) {
      const auto pos = line.find("] ");
      out.push_back(pos == std::string::npos ? line : line.substr(pos + 2));
    }
    return out;
  }
  bool Logged(const std::string& text) const {
    const auto lines = LogTexts();
    return std::find(lines.begin(), lines.end(), text) != lines.end();
  }
  static void Press(QWidget* w) {
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(2, 2), w->mapToGlobal(QPointF(2, 2)), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &press);
  }

  NoDialogs hooks;
  std::shared_ptr<ActingBoxes> boxes;
  std::unique_ptr<TForm1> form1;
  std::unique_ptr<TForm5> form5;
};

const tschdata kAlpha{"2030.01.02 10:00:00 ", "Alpha", "REPEAT=3 INTERVAL=1563 PRECISE=0 ONDELAY=1 DOW=11111101"};
const tschdata kBeta{"2030.01.01 00:00:00", "Beta", "REPEAT=-1 INTERVAL=10080 PRECISE=1 ONDELAY=0 DOW=10101000"};

}  // namespace

TEST_F(ScheduleWindow, AddingAndDeletingThroughTheControlsUpdatesTheListAndTheFile) {
  Create();
  TForm5& f = *form5;

  // Interval mode, one day two hours three minutes, skip when late, not
  // precise, no Sunday, day skip on.
  Fill("Alpha", QDate(2030, 1, 2), QTime(10, 0, 0), 3, 1, 2, 3);
  f.ondelayItems[1]->setChecked(true);
  f.precise->setChecked(false);
  f.dowbox[6]->setChecked(false);
  f.dayskip->setChecked(true);
  f.bAdd->click();
  EXPECT_EQ(ListRows(), (std::vector<tschdata>{kAlpha}));
  EXPECT_EQ(SchFile(), SchLine(kAlpha));
  EXPECT_TRUE(Logged("SCHEDULER - Added: Alpha @ 2030.01.02 10:00:00 "));
  EXPECT_EQ(form1->list->topLevelItem(0)->text(kColumnScheduled).toStdString(), kAlpha.DateText);

  // "Every" mode at midnight, an earlier date: it becomes the first row, and
  // the precise box is forced on.
  Fill("Beta", QDate(2030, 1, 1), QTime(0, 0, 0), -1);
  f.revery->setChecked(true);
  EXPECT_TRUE(f.precise->isChecked());
  EXPECT_FALSE(f.precise->isEnabled());
  f.ondelayItems[0]->setChecked(true);
  f.dayskip->setChecked(false);
  for (int i = 0; i < 7; ++i) f.dowbox[i]->setChecked(i % 2 == 0 && i < 5);
  f.bAdd->click();
  EXPECT_EQ(ListRows(), (std::vector<tschdata>{kBeta, kAlpha}));
  EXPECT_EQ(SchFile(), SchLine(kBeta) + SchLine(kAlpha));
  f.rinterval->setChecked(true);
  EXPECT_TRUE(f.precise->isEnabled());

  // An empty name adds nothing; an unknown preset is refused by the
  // schedule with its log line.
  Fill("", QDate(2030, 1, 3), QTime(9, 0, 0));
  f.bAdd->click();
  Fill("Gamma", QDate(2030, 1, 3), QTime(9, 0, 0));
  f.bAdd->click();
  EXPECT_EQ(ListRows().size(), 2u);
  EXPECT_TRUE(Logged("SCHEDULER - No such preset - Gamma. [!]"));

  // Delete asks first: No keeps the row, Yes removes it.
  Select(1);
  boxes->answer = platform::IDNO;
  f.bdelete->click();
  ASSERT_EQ(boxes->asked.size(), 1u);
  EXPECT_EQ(boxes->asked[0].text, "\rThis preset will be removed from the schedule. Proceed?");
  EXPECT_EQ(ListRows().size(), 2u);
  boxes->answer = platform::IDYES;
  f.bdelete->click();
  EXPECT_EQ(ListRows(), (std::vector<tschdata>{kBeta}));
  EXPECT_EQ(SchFile(), SchLine(kBeta));
  EXPECT_TRUE(Logged("SCHEDULER - Deleted: Alpha @ 2030.01.02 10:00:00 "));
  EXPECT_EQ(form1->list->topLevelItem(0)->text(kColumnScheduled).toStdString(), "");

  // Without a selection nothing is asked; the last row takes the file.
  f.sch->clearSelection();
  f.bdelete->click();
  EXPECT_EQ(boxes->asked.size(), 2u);
  Select(0);
  f.bdelete->click();
  EXPECT_TRUE(ListRows().empty());
  EXPECT_FALSE(fs::exists(settings / "yux.sch"));
}

TEST_F(ScheduleWindow, IntervalBoxesAreHeldWithinOneMinuteAndThreeHundredSixtyDays) {
  Create();
  struct Case {
    int d, h, m, interval;
  };
  for (const Case& c : {Case{0, 0, 0, 1}, Case{0, 1, 30, 90}, Case{2, 0, 0, 2880}, Case{360, 0, 0, 518400},
                        Case{360, 0, 1, 518400}, Case{3650, 23, 59, 518400}}) {
    Fill("Alpha", QDate(2030, 1, 2), QTime(10, 0, 0), -1, c.d, c.h, c.m);
    EXPECT_EQ(form5->EntryFromControls().Interval, c.interval) << c.d << " " << c.h << " " << c.m;
  }
}

TEST_F(ScheduleWindow, ADayMaskWithoutAnyDayIsRefused) {
  Create();
  TForm5& f = *form5;
  const std::string noDay = "You should select at least one day of week to add the task.";

  // Clearing the last day brings the box back with the message.
  for (int i = 0; i < 6; ++i) f.dowbox[i]->setChecked(false);
  EXPECT_TRUE(boxes->asked.empty());
  f.dowbox[6]->click();
  ASSERT_EQ(boxes->asked.size(), 1u);
  EXPECT_EQ(boxes->asked[0].text, noDay);
  EXPECT_TRUE(f.dowbox[6]->isChecked());

  // A mask that got empty all the same is refused at the add and the
  // update, and nothing changes.
  Fill("Alpha", QDate(2030, 1, 2), QTime(10, 0, 0));
  ASSERT_TRUE(f.bAddClick());
  Select(0);
  {
    const QSignalBlocker quiet(f.dowbox[6]);
    f.dowbox[6]->setChecked(false);
  }
  EXPECT_EQ(f.DowText().substr(0, 7), "0000000");
  EXPECT_FALSE(f.bAddClick());
  f.bupdate->click();
  ASSERT_EQ(boxes->asked.size(), 3u);
  EXPECT_EQ(boxes->asked[1].text, noDay);
  EXPECT_EQ(boxes->asked[2].text, noDay);
  ASSERT_EQ(ListRows().size(), 1u);
  EXPECT_EQ(ListRows()[0].Options, "REPEAT=-1 INTERVAL=1 PRECISE=1 ONDELAY=0 DOW=00000010");
  EXPECT_FALSE(Logged("SCHEDULER - Deleted: Alpha @ 2030.01.02 10:00:00 "));
}

TEST_F(ScheduleWindow, UpdateReplacesTheSelectedRowAndKeepsItWhenTheNewEntryIsRefused) {
  test::WriteFile(settings / "yux.sch", SchLine(kBeta) + SchLine(kAlpha));
  Create();
  TForm5& f = *form5;
  ASSERT_EQ(ListRows(), (std::vector<tschdata>{kBeta, kAlpha}));

  // Alpha moves to an earlier time with other options.
  Select(1);
  Fill("Alpha", QDate(2029, 6, 1), QTime(8, 30, 0), 0, 0, 0, 45);
  f.bupdate->click();
  const tschdata moved{"2029.06.01 08:30:00 ", "Alpha", "REPEAT=0 INTERVAL=45 PRECISE=1 ONDELAY=0 DOW=11111110"};
  EXPECT_EQ(ListRows(), (std::vector<tschdata>{moved, kBeta}));
  EXPECT_EQ(SchFile(), SchLine(moved) + SchLine(kBeta));
  EXPECT_TRUE(Logged("SCHEDULER - Deleted: Alpha @ 2030.01.02 10:00:00 "));
  EXPECT_TRUE(Logged("SCHEDULER - Added: Alpha @ 2029.06.01 08:30:00 "));

  // A name the schedule refuses: Beta's row stays as it was.
  Select(1);
  Fill("Nobody", QDate(2031, 1, 1), QTime(1, 0, 0));
  f.bupdate->click();
  EXPECT_TRUE(Logged("SCHEDULER - No such preset - Nobody. [!]"));
  EXPECT_EQ(ListRows(), (std::vector<tschdata>{moved, kBeta}));
  EXPECT_EQ(SchFile(), SchLine(moved) + SchLine(kBeta));

  // Without a selection, or with an empty name, nothing happens.
  f.sch->clearSelection();
  Fill("Alpha", QDate(2031, 1, 1), QTime(1, 0, 0));
  f.bupdate->click();
  Select(0);
  Fill("", QDate(2031, 1, 1), QTime(1, 0, 0));
  f.bupdate->click();
  EXPECT_EQ(ListRows(), (std::vector<tschdata>{moved, kBeta}));
}

TEST_F(ScheduleWindow, TheSelectionFollowsItsRowWhileTheScheduleChanges) {
  test::WriteFile(settings / "yux.sch", SchLine(kBeta) + SchLine(kAlpha));
  Create();
  TForm5& f = *form5;
  Select(1);  // Alpha

  // A row added elsewhere (a command, a second instance) comes first.
  tschopt early;
  early.Date = DateTimeFromQt(QDateTime(QDate(2029, 1, 1), QTime(0, 0)));
  early.Name = "Beta";
  ASSERT_TRUE(AddToSchedule(early));
  ASSERT_EQ(f.SelectedRow(), std::optional<std::size_t>(2));

  // While the confirmation is open the tick takes the first row away: the
  // delete still removes Alpha.
  boxes->during = [] {
    Schedule.Delete(0);
    RefreshSchedule();
  };
  f.bdelete->click();
  EXPECT_EQ(ListRows(), (std::vector<tschdata>{kBeta}));

  // When the picked row itself went during the question, nothing else goes.
  Select(0);
  f.bdelete->click();
  EXPECT_TRUE(ListRows().empty());
  boxes->during = nullptr;
}

TEST_F(ScheduleWindow, ADoubleClickedRowComesBackIntoTheControlsUnchanged) {
  const std::vector<tschdata> rows = {
      kAlpha,
      kBeta,
      {"2030.01.03 07:05:09 ", "/EXIT", "REPEAT=0 INTERVAL=1439 PRECISE=1 ONDELAY=2 DOW=00000011"},
      {"2030.01.04 23:59:59 ", "Alpha", "REPEAT=99999999 INTERVAL=518400 PRECISE=0 ONDELAY=0 DOW=11111110"},
      {"2030.01.05 12:00:00 ", "Beta", "REPEAT=-1 INTERVAL=61 PRECISE=1 ONDELAY=1 DOW=01000001"},
  };
  std::string file;
  for (const auto& r : rows) file += SchLine(r);
  test::WriteFile(settings / "yux.sch", file);
  Create();
  TForm5& f = *form5;
  ASSERT_EQ(ListRows().size(), rows.size());

  for (std::size_t i = 0; i < rows.size(); ++i) {
    // The controls start from something else each time.
    Fill("Beta", QDate(2040, 5, 5), QTime(5, 5, 5), 7, 9, 9, 9);
    for (QCheckBox* box : f.dowbox) box->setChecked(true);
    f.dayskip->setChecked(true);
    f.precise->setChecked(true);

    emit f.sch->itemDoubleClicked(f.sch->topLevelItem(static_cast<int>(i)), 0);
    const tschdata row = ListRows()[i];
    SCOPED_TRACE(row.Name + " " + row.Options);
    EXPECT_EQ(ScheduleOptionsToText(f.EntryFromControls()), row);
    EXPECT_TRUE(boxes->asked.empty());
  }
  // The split of an interval and the "Every" mode as the controls show them.
  emit f.sch->itemDoubleClicked(f.sch->topLevelItem(3), 0);  // INTERVAL=518400
  EXPECT_EQ(f.days->value(), 360);
  EXPECT_EQ(f.hours->value(), 0);
  EXPECT_EQ(f.minutes->value(), 0);
  emit f.sch->itemDoubleClicked(f.sch->topLevelItem(2), 0);  // INTERVAL=1439
  EXPECT_EQ(f.days->value(), 0);
  EXPECT_EQ(f.hours->value(), 23);
  EXPECT_EQ(f.minutes->value(), 59);
  emit f.sch->itemDoubleClicked(f.sch->topLevelItem(0), 0);  // Beta, INTERVAL=10080
  EXPECT_TRUE(f.revery->isChecked());
  EXPECT_FALSE(f.precise->isEnabled());
  EXPECT_EQ(f.days->value() + f.hours->value() + f.minutes->value(), 0);
}

TEST_F(ScheduleWindow, SchedulerSwitchAndDayInformation) {
  SetScheduleClock([] { return QDateTime(QDate(2026, 12, 10), QTime(14, 30, 15, 400)); });
  Create();
  TForm5& f = *form5;
  ASSERT_TRUE(Options.son);

  f.FormActivate();
  EXPECT_EQ(f.schlabel->text(), "ON");
  EXPECT_FALSE(f.imgon->isHidden());
  EXPECT_TRUE(f.imgoff->isHidden());
  // The pickers start at now; a Thursday.
  EXPECT_EQ(f.daylabel->text(), "Thursday @ 14:30:15");

  Press(f.schlabel);
  EXPECT_FALSE(Options.son);
  EXPECT_EQ(f.schlabel->text(), "OFF");
  EXPECT_TRUE(f.imgon->isHidden());
  EXPECT_FALSE(f.imgoff->isHidden());
  EXPECT_TRUE(Logged("SCHEDULER - turned OFF."));
  Press(f.imgoff);  // red: on
  EXPECT_TRUE(Options.son);
  Press(f.imgon);  // green: off
  EXPECT_FALSE(Options.son);
  Press(f.schpanel);
  EXPECT_TRUE(Options.son);
  EXPECT_TRUE(Logged("SCHEDULER - turned ON."));

  f.datepicker->setDate(QDate(2026, 12, 13));
  EXPECT_EQ(f.daylabel->text(), "Sunday at 14:30:15");
  f.timepicker->setTime(QTime(7, 0, 1));
  EXPECT_EQ(f.daylabel->text(), "Sunday at 07:00:01");
  f.NowClick();
  EXPECT_EQ(f.datepicker->date(), QDate(2026, 12, 10));
  EXPECT_EQ(f.timepicker->time(), QTime(14, 30, 15));
}

TEST_F(ScheduleWindow, TheSchedulerTimerActsThroughTheMainWindow) {
  TDateTime now = DateTimeFromQt(QDateTime(QDate(2026, 12, 10), QTime(14, 0, 0)));
  SetScheduleClock([&now] { return QtFromDateTime(now); });
  test::WriteFile(settings / "yux.sch", SchLine({"2026.12.10 14:00:00 ", "/SHOW",
                                                 "REPEAT=0 INTERVAL=1 PRECISE=1 ONDELAY=0 DOW=11111110"}));
  Create();
  ASSERT_TRUE(form1->schtimer->isActive());
  ASSERT_FALSE(form1->isVisible());
  ASSERT_EQ(ListRows().size(), 1u);

  QElapsedTimer t;
  t.start();
  while (t.elapsed() < 5000 && !form1->isVisible()) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  EXPECT_TRUE(form1->isVisible());
  EXPECT_TRUE(ListRows().empty());
  EXPECT_TRUE(Logged("/SHOW: Called by the scheduler."));
}

// The timer keeps ticking while an entry it started pumps messages: a due
// "/ABORT" ends the wait of "/EXECSYNC" long before its program would end.
TEST_F(ScheduleWindow, TheSchedulerTimerTicksInsideAWaitItStarted) {
  const std::string shell = test::FindProgram("sh");
  ASSERT_FALSE(shell.empty());
  TDateTime now = DateTimeFromQt(QDateTime(QDate(2026, 12, 10), QTime(14, 0, 0)));
  SetScheduleClock([&now] { return QtFromDateTime(now); });
  const std::string once = "REPEAT=0 INTERVAL=1 PRECISE=1 ONDELAY=0 DOW=11111110";
  test::WriteFile(settings / "yux.sch",
                  SchLine({"2026.12.10 14:00:00 ", "/EXECSYNC(" + shell + "|-c \"exec sleep 8 >/dev/null 2>&1\")", once}) +
                      SchLine({"2026.12.10 14:00:00 ", "/ABORT", once}));
  Create();
  ASSERT_EQ(ListRows().size(), 2u);

  auto started = [this, &shell] {
    for (const std::string& line : LogTexts())
      if (line.find("Sync execution:") != std::string::npos && line.find(shell) != std::string::npos) return true;
    return false;
  };
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < 5000 && !(Schedule.Empty() && !RunActive && started()))
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  EXPECT_TRUE(started()) << ::testing::PrintToString(LogTexts());
  EXPECT_TRUE(Schedule.Empty());
  EXPECT_TRUE(AbortRequested);
  EXPECT_FALSE(RunActive);
  AbortRequested = false;
}

TEST_F(ScheduleWindow, Screenshot) {
  for (const char* name : {"Weekly archive", "Photos", "Mail folders"}) MakePreset(name);
  test::WriteFile(settings / "yux.sch",
                  SchLine({"2026.12.11 22:00:00 ", "Weekly archive", "REPEAT=-1 INTERVAL=10080 PRECISE=1 ONDELAY=0 DOW=11111000"}) +
                      SchLine({"2026.12.12 03:30:00 ", "Photos", "REPEAT=-1 INTERVAL=1440 PRECISE=1 ONDELAY=1 DOW=11111110"}) +
                      SchLine({"2026.12.12 08:00:00 ", "Mail folders", "REPEAT=5 INTERVAL=120 PRECISE=0 ONDELAY=0 DOW=11111110"}) +
                      SchLine({"2026.12.31 23:59:00 ", "/SHUTDOWN", "REPEAT=0 INTERVAL=1 PRECISE=1 ONDELAY=2 DOW=11111110"}));
  Create();
  TForm5& f = *form5;
  ASSERT_EQ(ListRows().size(), 4u);
  emit f.sch->itemDoubleClicked(f.sch->topLevelItem(1), 0);
  Select(1);
  f.show();
  QCoreApplication::processEvents();
  const fs::path screens = test::BuildDir() / "screens";
  fs::create_directories(screens);
  ASSERT_TRUE(f.grab().save(QString::fromStdString((screens / "schedule_window.png").string())));

  // Esc closes the window.
  QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QCoreApplication::sendEvent(&f, &esc);
  EXPECT_FALSE(f.isVisible());
}
