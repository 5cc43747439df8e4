// Skins: the skin file reader and writer, colour texts, picture paths, the
// painting rule, "yux.ocs" at start, and screenshots of skinned windows.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QListWidget>
#include <QPainter>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <filesystem>

#include "core/store/folders.h"
#include "core/store/options.h"
#include "core/store/programlog.h"
#include "core/store/skin.h"
#include "core/window/mainform.h"
#include "core/window/scheduleform.h"
#include "platform/driveletters.h"
#include "platform/messagebox.h"
#include "tests/core/program_fixture.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

std::string Hex(const std::optional<QColor>& c) { return c ? ColorToHex(*c) : "none"; }

// A small picture in two colours, so that its placement can be read back.
void WritePicture(const fs::path& file, int w, int h, QColor colour) {
  QImage img(w, h, QImage::Format_RGB32);
  img.fill(colour);
  fs::create_directories(file.parent_path());
  ASSERT_TRUE(img.save(QString::fromStdString(file.string()), "BMP"));
}

void Pump(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

}  // namespace

TEST(SkinColours, TextsAsTheSettingsDialogAndTheWindowsReadThem) {
  struct Case {
    const char* text;
    const char* expected;  // "none": not a colour
  };
  const Case cases[] = {
      {"ff0000", "ff0000"},   {"#ff0000", "ff0000"}, {"##FF8000", "ff8000"}, {"00ff00aa", "00ff00"},
      {"fff", "000000"},      {"", "000000"},         {"#12", "000000"},     {"gg0000", "none"},
      {"12345x", "none"},     {"ff0000zz", "none"},   {"#0000Ff", "0000ff"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Hex(TryHexToColor(c.text)), c.expected);
    if (std::string(c.expected) == "none")
      EXPECT_THROW(HexToColor(c.text), std::invalid_argument);
    else
      EXPECT_EQ(ColorToHex(HexToColor(c.text)), c.expected);
  }
  EXPECT_EQ(ColorToHex(QColor(255, 0, 0)), "ff0000");
  EXPECT_EQ(ColorToHex(QColor(1, 2, 3)), "010203");
}

TEST(SkinFile, ReaderTakesKeysInAnyCaseAndTheLastLineOfAKey) {
  test::TempDir dir;
  const fs::path file = dir / "a.ocs";
  test::WriteFile(file,
                  "; a comment\r\n"
                  "mw_type=2\r\n"
                  "MW_Image=\\skins\\wood.bmp\r\n"
                  "Mw_TableBackground=#102030\r\n"
                  "MW_TABLECOLOR=abcdef\r\n"
                  "SW_Type=1\r\n"
                  "SW_Type=2\r\n"
                  ";MW_LogErrorColor=ff0000\r\n"
                  "no key here=1\r\n"
                  "PW_Type=x\r\n"
                  "LW_FileListColor=a=b\r\n"
                  "\r\n");
  tskin skin;
  skin.ListImage = "left over";
  std::vector<std::string> problems;
  LoadSkin(skin, file.string(), &problems);
  EXPECT_EQ(skin.MainType, 2);
  EXPECT_EQ(skin.MainImage, "\\skins\\wood.bmp");
  EXPECT_EQ(skin.MainTableBackground, "#102030");
  EXPECT_EQ(skin.MainTableColor, "abcdef");
  EXPECT_EQ(skin.ScheduleType, 2);
  EXPECT_EQ(skin.LogErrorColor, "");
  EXPECT_EQ(skin.PresetType, 0);  // not a number: plain, and said
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("PW_Type"), std::string::npos);
  EXPECT_EQ(skin.FileListColor, "a=b");  // the value runs from the first "="
  EXPECT_EQ(skin.ListImage, "");          // the record is cleared first

  // A missing file gives an empty skin.
  LoadSkin(skin, (dir / "missing.ocs").string());
  EXPECT_EQ(skin, tskin{});
}

TEST(SkinFile, WriterUsesTheMixedCaseKeysInOrderAndReadsBack) {
  test::TempDir dir;
  tskin skin;
  skin.MainImage = "/pictures/a.bmp";
  skin.MainType = 1;
  skin.LogErrorBackground = "ff0000";
  skin.ScheduleType = 2;
  skin.FileListColor = "#00ff00";
  const fs::path file = dir / "b.ocs";
  ASSERT_TRUE(SaveSkin(skin, file.string()));
  const std::string text = test::ReadFile(file);
  EXPECT_EQ(text.rfind("; Yux 3.00 beta 4 skin\r\n; Saved ", 0), 0u);
  const std::size_t keys = text.find("MW_Image=");
  EXPECT_EQ(text.substr(keys),
            "MW_Image=/pictures/a.bmp\r\nMW_Type=1\r\nMW_TableBackground=\r\nMW_TableColor=\r\n"
            "MW_LogNormalBackground=\r\nMW_LogNormalColor=\r\nMW_LogErrorBackground=ff0000\r\n"
            "MW_LogErrorColor=\r\nSW_Image=\r\nSW_Type=2\r\nSW_TableBackground=\r\nSW_TableColor=\r\n"
            "PW_Image=\r\nPW_Type=0\r\nLW_Image=\r\nLW_Type=0\r\nLW_FileListBackground=\r\n"
            "LW_FileListColor=#00ff00\r\n");
  tskin back;
  LoadSkin(back, file.string());
  EXPECT_EQ(back, skin);
}

TEST(SkinFile, SanitizingDropsWhatNoWindowCanUse) {
  tskin skin;
  skin.MainTableColor = "redish";
  skin.LogNormalBackground = "#a0b0c0";
  skin.ScheduleType = 7;
  const auto dropped = SanitizeSkin(skin);
  EXPECT_EQ(dropped.size(), 2u);
  EXPECT_EQ(skin.MainTableColor, "");
  EXPECT_EQ(skin.LogNormalBackground, "#a0b0c0");
  EXPECT_EQ(skin.ScheduleType, 0);
}

TEST(SkinPictures, PathsAndMissingFiles) {
  test::TempDir program, pictures;
  const std::string savedProgram = ProgramFolder;
  ProgramFolder = program.str();
  platform::DriveLetterMap::Global().AssignFolder('K', pictures.str());

  EXPECT_EQ(SkinPicturePath("\\skins\\x.bmp"), program.str() + "/skins/x.bmp");
  EXPECT_EQ(SkinPicturePath("skins\\x.bmp"), program.str() + "/skins/x.bmp");
  EXPECT_EQ(SkinPicturePath("/srv/x.bmp"), "/srv/x.bmp");
  EXPECT_EQ(SkinPicturePath("K:\\p\\x.bmp"), pictures.str() + "/p/x.bmp");
  EXPECT_EQ(SkinPicturePath(""), "");

  WritePicture(program / "skins" / "x.bmp", 8, 8, Qt::red);
  WritePicture(pictures / "p" / "x.bmp", 4, 4, Qt::blue);
  tskin skin;
  skin.MainImage = "\\skins\\x.bmp";
  skin.MainType = 2;
  skin.ScheduleImage = "K:\\p\\x.bmp";
  skin.ScheduleType = 1;
  skin.PresetImage = "\\skins\\missing.bmp";
  skin.PresetType = 1;
  LoadSkinBitmaps(skin);
  EXPECT_EQ(skin.MainType, 2);
  EXPECT_EQ(SkinBitmap(SkinPicture::Main).width(), 8);
  EXPECT_EQ(skin.ScheduleType, 1);
  EXPECT_EQ(SkinBitmap(SkinPicture::Schedule).width(), 4);
  EXPECT_EQ(skin.PresetType, 0);  // missing picture: plain
  EXPECT_TRUE(SkinBitmap(SkinPicture::Preset).isNull());

  platform::DriveLetterMap::Global().Remove('K');
  ProgramFolder = savedProgram;
}

TEST(SkinPictures, CentredOnceOrTiledOverTheWholeArea) {
  QImage picture(10, 6, QImage::Format_RGB32);
  picture.fill(Qt::red);
  const QPixmap pixmap = QPixmap::fromImage(picture);
  struct Case {
    int kind;
    QPoint point;
    bool red;
  };
  const Case cases[] = {
      {kSkinCentred, {25, 17}, true},  {kSkinCentred, {0, 0}, false},  {kSkinCentred, {19, 16}, false},
      {kSkinCentred, {20, 17}, true},  {kSkinTiled, {0, 0}, true},     {kSkinTiled, {49, 39}, true},
      {kSkinTiled, {33, 22}, true},    {kSkinPlain, {25, 17}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.kind) + " at " + std::to_string(c.point.x()) + "," + std::to_string(c.point.y()));
    QImage area(50, 40, QImage::Format_RGB32);
    area.fill(Qt::white);
    {
      QPainter p(&area);
      PaintSkinPicture(p, pixmap, c.kind, area.size());
    }
    EXPECT_EQ(area.pixelColor(c.point) == QColor(Qt::red), c.red);
  }
}

namespace {

class SkinnedWindows : public test::ProgramTest {
 protected:
  void SetUp() override {
    boxes = std::make_shared<platform::ScriptedMessageBoxService>();
    SetUpProgram(boxes, &hooks);
    fs::create_directories(settings / "presets");
    savedProgram_ = ProgramFolder;
  }
  void TearDown() override {
    Skin = tskin{};
    ProgramFolder = savedProgram_;
    test::ProgramTest::TearDown();
  }
  std::shared_ptr<platform::ScriptedMessageBoxService> boxes;
  test::FakeHooks hooks;
  std::string savedProgram_;
};

}  // namespace

TEST_F(SkinnedWindows, StartWithoutYuxOcsSwitchesSkinningOff) {
  Options = topt{};
  TForm1 form;
  ASSERT_EQ(form.FormCreate({}), std::nullopt);
  EXPECT_FALSE(Options.ske);
  EXPECT_EQ(Skin, tskin{});
}

TEST_F(SkinnedWindows, StartLoadsYuxOcsDropsBadColoursAndPaintsTheWindows) {
  test::TempDir program;
  WritePicture(program / "skins" / "tile.bmp", 24, 24, QColor(40, 90, 160));
  WritePicture(program / "skins" / "centre.bmp", 120, 80, QColor(200, 160, 40));
  // The program folder is where the pictures are looked up; FormCreate sets
  // it from the executable, so the skin names absolute paths here.
  tskin skin;
  skin.MainImage = (program / "skins" / "centre.bmp").string();
  skin.MainType = kSkinCentred;
  skin.MainTableBackground = "203040";
  skin.MainTableColor = "f0f0f0";
  skin.LogNormalBackground = "fafae0";
  skin.LogNormalColor = "202020";
  skin.LogErrorBackground = "ffd0d0";
  skin.LogErrorColor = "c00000";
  skin.ScheduleImage = (program / "skins" / "tile.bmp").string();
  skin.ScheduleType = kSkinTiled;
  skin.ScheduleTableBackground = "zz9999";  // not hexadecimal: dropped at start
  ASSERT_TRUE(SaveSkin(skin, (settings / "yux.ocs").string()));

  Options = topt{};
  TForm1 form;
  ASSERT_EQ(form.FormCreate({}), std::nullopt);
  TForm5 schedule(&form);
  EXPECT_TRUE(Options.ske);
  EXPECT_EQ(Skin.ScheduleTableBackground, "");
  EXPECT_EQ(Skin.MainTableBackground, "203040");
  const std::string log = test::ReadFile(settings / "yux.log");
  EXPECT_NE(log.find("SW_TableBackground \"zz9999\""), std::string::npos) << log;

  AddLog("Documents: WinRAR - Done (12 files, 3.4 MB).");
  AddLog("Photos: FTP - Unable to upload photos.zip [!]");
  form.resize(720, 480);
  form.show();
  schedule.show();
  Pump(200);

  EXPECT_EQ(form.list->palette().color(QPalette::Base), QColor(0x20, 0x30, 0x40));
  const QImage shot = form.grab().toImage();
  // The error line is drawn in the skin's error colours.
  const auto found = form.loglist->findItems("photos.zip [!]", Qt::MatchContains);
  ASSERT_EQ(found.size(), 1);
  form.loglist->clearSelection();
  form.loglist->setCurrentItem(nullptr);
  Pump(50);
  const QRect r = form.loglist->visualItemRect(found[0]);
  const QPoint inLog = form.loglist->viewport()->mapTo(&form, QPoint(r.left() + 1, r.center().y()));
  EXPECT_EQ(shot.pixelColor(inLog), QColor(0xff, 0xd0, 0xd0));

  const QImage sched = schedule.grab().toImage();
  EXPECT_EQ(sched.pixelColor(1, 1), QColor(40, 90, 160));  // tiled from the top left

  const fs::path screens = test::BuildDir() / "screens";
  fs::create_directories(screens);
  EXPECT_TRUE(form.grab().save(QString::fromStdString((screens / "skin_main_centred.png").string())));
  EXPECT_TRUE(schedule.grab().save(QString::fromStdString((screens / "skin_schedule_tiled.png").string())));
  // The main window's picture tiled: it shows between the lists.
  Skin.MainType = kSkinTiled;
  Skin.MainImage = (program / "skins" / "tile.bmp").string();
  form.ApplySkin();
  Pump(100);
  const QImage tiled = form.grab().toImage();
  const QPoint between = form.client->mapTo(&form, QPoint(form.client->width() - 3, form.list->geometry().bottom() + 5));
  EXPECT_EQ(tiled.pixelColor(between), QColor(40, 90, 160));
  EXPECT_TRUE(form.grab().save(QString::fromStdString((screens / "skin_main_tiled.png").string())));

  // Switched off, the lists get the system colours back.
  Options.ske = false;
  form.ApplySkin();
  EXPECT_NE(form.list->palette().color(QPalette::Base), QColor(0x20, 0x30, 0x40));
  form.hide();
  schedule.hide();
}

TEST(SkinFile, TheShippedSkinLoadsWithItsPicturesBesideTheProgram) {
  tskin skin;
  std::vector<std::string> problems;
  LoadSkin(skin, (test::SourceDir() / "skins" / "Slate.ocs").string(), &problems);
  EXPECT_TRUE(problems.empty());
  EXPECT_TRUE(SanitizeSkin(skin).empty());
  EXPECT_EQ(skin.MainType, kSkinTiled);
  const std::string saved = ProgramFolder;
  ProgramFolder = test::BuiltProgram("yux").parent_path().string();
  LoadSkinBitmaps(skin);
  EXPECT_EQ(skin.MainType, kSkinTiled) << SkinPicturePath(skin.MainImage);
  EXPECT_FALSE(SkinBitmap(SkinPicture::Main).isNull());
  ProgramFolder = saved;
}
