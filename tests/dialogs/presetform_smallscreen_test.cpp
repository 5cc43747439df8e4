// The preset dialog on a netbook's screen: the window and its seven buttons
// lie inside the screen's available area, whatever the font, and OK saves.
// Qt's offscreen platform takes its screens from a configuration file named
// when the application starts (QT_QPA_PLATFORM=offscreen:configfile=...), so
// each screen gets a child process of this test program that runs the check.
#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QFont>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>

#include <cstdio>
#include <cstdlib>

#include "tests/dialogs/presetform_fixture.h"

using namespace yux;
using namespace yux::test;

namespace {

// The screen (and font) of the child and the rows its buttons should take:
// "<width>x<height>@<point size>#<rows>", a point size of 0 keeping the
// application's font.
constexpr char kScreenVariable[] = "YUX_TEST_PRESET_SCREEN";

using PresetSmallScreen = PresetDialogTest;

QRect GlobalRect(const QWidget* w) { return QRect(w->mapToGlobal(QPoint(0, 0)), w->size()); }

// A left click where the user sees the button: it must be the widget found
// at that point of the window.  False (nothing clicked) when it is not.
bool ClickAsUser(QWidget* window, QPushButton* button) {
  const QPoint centre = button->mapToGlobal(button->rect().center());
  QWidget* hit = window->childAt(window->mapFromGlobal(centre));
  if (hit != button) {
    ADD_FAILURE() << "something covers " << button->objectName().toStdString();
    return false;
  }
  const QPointF local = button->mapFromGlobal(QPointF(centre));
  QMouseEvent press(QEvent::MouseButtonPress, local, QPointF(centre), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QMouseEvent release(QEvent::MouseButtonRelease, local, QPointF(centre), Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QApplication::sendEvent(button, &press);
  QApplication::sendEvent(button, &release);
  return true;
}

}  // namespace

// Runs inside the child that the test below starts for each screen.
TEST_F(PresetSmallScreen, InsideTheChildTheDialogFitsTheScreenAndOkSaves) {
  const char* spec = std::getenv(kScreenVariable);
  if (!spec) GTEST_SKIP() << "runs in a child with a small screen (FitsSmallScreensWhateverTheFont)";
  int width = 0, height = 0, points = 0, rows = 0;
  ASSERT_EQ(std::sscanf(spec, "%dx%d@%d#%d", &width, &height, &points, &rows), 4) << spec;
  QScreen* screen = QGuiApplication::primaryScreen();
  ASSERT_TRUE(screen);
  ASSERT_EQ(screen->geometry().size(), QSize(width, height)) << "the platform did not take the screen";
  if (points > 0) {
    QFont font = QApplication::font();
    font.setPointSize(points);
    QApplication::setFont(font);
  }
  const QRect available = screen->availableGeometry();

  auto form = Open(kNewPresetName);
  bool seen = false;
  WhenShown<TForm3>([&](TForm3* f) {
    seen = true;
    const QRect frame = f->frameGeometry();
    EXPECT_TRUE(available.contains(frame)) << "window " << frame.x() << "," << frame.y() << " " << frame.width()
                                           << "x" << frame.height();
    for (QPushButton* b : {f->bupdate, f->bcancel, f->bhelp, f->BitBtn2, f->BitBtn1, f->selectglyph,
                           f->removeglyph}) {
      SCOPED_TRACE(b->objectName().toStdString());
      EXPECT_TRUE(b->isVisible());
      EXPECT_TRUE(available.contains(GlobalRect(b)));
      EXPECT_TRUE(GlobalRect(f).contains(GlobalRect(b)));
      EXPECT_GT(b->width(), 0);
    }
    // One row while it fits: a second is room the pages lose.
    const QRect tool = GlobalRect(f->BitBtn2), ok = GlobalRect(f->bupdate);
    if (rows == 1) EXPECT_LT(ok.top(), tool.bottom());
    else EXPECT_GT(ok.top(), tool.bottom());
    f->epresetname->setText("Netbook");
    f->earcname->setText("netbook");
    TForm3::AddSorted(f->inc, "/home/user/*.*");
    // The dialog ends either way, so that a failure does not wait for ever.
    if (!ClickAsUser(f, f->bupdate)) f->reject();
  });
  EXPECT_EQ(form->exec(), QDialog::Accepted);
  EXPECT_TRUE(seen);
  const auto lines = PresetLines(fs::path(PresetsFolder) / "Netbook.pst");
  EXPECT_EQ(KeyValue(lines, "nam"), "netbook");
  EXPECT_EQ(ReadPresetList("Netbook", ".inc").value_or(std::vector<std::string>{"<none>"}),
            std::vector<std::string>{"/home/user/*.*"});
}

TEST(PresetSmallScreenParent, FitsSmallScreensWhateverTheFont) {
  struct Case {
    int width, height, points, rows;
  } cases[] = {{800, 600, 0, 1}, {1024, 600, 0, 1}, {800, 600, 16, 1}, {640, 480, 36, 1}, {360, 640, 0, 2}};
  TempDir configs;
  for (const Case& c : cases) {
    const std::string spec = std::to_string(c.width) + "x" + std::to_string(c.height) + "@" +
                             std::to_string(c.points) + "#" + std::to_string(c.rows);
    SCOPED_TRACE(spec);
    const fs::path config = configs / (std::to_string(c.width) + "x" + std::to_string(c.height) + ".json");
    WriteFile(config, "{\"screens\": [{\"name\": \"netbook\", \"x\": 0, \"y\": 0, \"width\": " +
                          std::to_string(c.width) + ", \"height\": " + std::to_string(c.height) +
                          ", \"logicalDpi\": 96, \"logicalBaseDpi\": 96, \"dpr\": 1}]}");
    const ProcessResult child =
        RunProgram({QCoreApplication::applicationFilePath().toStdString(),
                    "--gtest_filter=PresetSmallScreen.InsideTheChildTheDialogFitsTheScreenAndOkSaves"},
                   {{"QT_QPA_PLATFORM", "offscreen:configfile=" + config.string()}, {kScreenVariable, spec}},
                   120000);
    EXPECT_EQ(child.exitCode, 0) << child.out << child.err;
    EXPECT_NE(child.out.find("[  PASSED  ] 1 test."), std::string::npos) << child.out << child.err;
    EXPECT_EQ(child.out.find("SKIPPED"), std::string::npos) << child.out;
  }
}

// Where a check of OK fails, the page that holds the field is shown and
// scrolled so that the field can be seen, however small the window.
TEST_F(PresetSmallScreen, TheFieldACheckFailsOnIsScrolledIntoView) {
  auto form = Open(kNewPresetName);
  form->resize(420, 320);
  form->show();
  form->epresetname->setText("Netbook");
  form->earcname->setText("netbook");
  TForm3::AddSorted(form->inc, "/home/user/*.*");
  form->cftp->setChecked(true);
  form->ShowPage("General");
  QApplication::processEvents();
  EXPECT_FALSE(form->bupdateClick());
  ASSERT_EQ(Texts().size(), 1u);
  EXPECT_NE(Texts()[0].find("Please specify the name of FTP server."), std::string::npos) << Texts()[0];
  QApplication::processEvents();
  EXPECT_EQ(form->PageControl1->currentWidget(), form->TabSheet2);
  EXPECT_EQ(QApplication::focusWidget(), form->efserver);
  QWidget* viewport = form->efserver->parentWidget();
  while (viewport && viewport->objectName() != "qt_scrollarea_viewport") viewport = viewport->parentWidget();
  ASSERT_TRUE(viewport);
  const QRect field(form->efserver->mapTo(viewport, QPoint(0, 0)), form->efserver->size());
  EXPECT_TRUE(viewport->rect().contains(field))
      << field.x() << "," << field.y() << " " << field.width() << "x" << field.height() << " in "
      << viewport->width() << "x" << viewport->height();
}
