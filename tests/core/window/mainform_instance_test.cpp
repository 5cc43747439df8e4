// The main window takes in what a second instance wrote to the schedule
// while that instance holds its announcement, even when no scheduler tick
// comes in that time (a run's waits deliver the tick late).
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <gtest/gtest.h>

#include <string>

#include "core/store/appnames.h"
#include "core/store/folders.h"
#include "core/store/schedule.h"
#include "core/window/mainform.h"
#include "platform/messagebox.h"
#include "platform/namedobjects.h"
#include "tests/core/program_fixture.h"
#include "tests/support/testsupport.h"

using namespace yux;

namespace {

class SecondInstanceRequest : public test::ProgramTest {
 protected:
  void SetUp() override {
    boxes = std::make_shared<platform::ScriptedMessageBoxService>();
    SetUpProgram(boxes, &hooks);
  }
  test::FakeHooks hooks;
  std::shared_ptr<platform::ScriptedMessageBoxService> boxes;
};

}  // namespace

TEST_F(SecondInstanceRequest, IsTakenInWhileItIsAnnouncedWithoutATick) {
  TForm1 form;
  ASSERT_EQ(form.FormCreate({}), std::nullopt);
  form.schtimer->stop();  // no tick comes
  // What a second instance does: a row in the file, then the announcement,
  // held for 1.5 s.
  test::WriteFile(settings / "yux.sch",
                  "<D>2099.01.01 10:00:00 </D><P>/ABORT</P>"
                  "<O>REPEAT=0 INTERVAL=1 PRECISE=1 ONDELAY=0 DOW=11111110</O>\r\n");
  auto event = platform::NamedEvent::Create(kSchedulerEventName, true);
  ASSERT_TRUE(event);
  ASSERT_TRUE(event->Set());
  QElapsedTimer held;
  held.start();
  while (Schedule.Empty() && held.elapsed() < 1500) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  event.reset();
  ASSERT_EQ(Schedule.Count(), 1u);
  EXPECT_EQ(Schedule.Row(0).Name, "/ABORT");
  EXPECT_NE(test::ReadFile(settings / "yux.log").find("Another instance of YUX has updated the scheduler."),
            std::string::npos);
}
