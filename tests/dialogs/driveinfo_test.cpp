// The drive lookup of the preset dialog and the "?" box for emulated drives,
// against the texts kept in fixtures; and the media names of every code.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "dialogs/presetchecks.h"
#include "tests/dialogs/presetform_fixture.h"

using namespace yux;
using namespace yux::test;

namespace {

class DriveInfo : public PresetDialogTest {
 protected:
  // The "?" box's text for drive E:, its line breaks as new lines.
  std::string InfoText() {
    auto form = Open(kNewPresetName);
    form->ecdrive->setCurrentIndex(form->ecdrive->findText("E"));
    EXPECT_TRUE(form->bburnerinfo->isEnabled());
    form->bburnerinfo->click();
    std::string text = boxes->Asked().back().text;
    std::replace(text.begin(), text.end(), '\r', '\n');
    return text + "\n";
  }
  // Writes the fixture instead of comparing when YUX_WRITE_FIXTURES is set.
  void ExpectFixture(const std::string& text, const std::string& name) {
    const fs::path file = SourceDir() / "tests" / "dialogs" / "fixtures" / name;
    if (std::getenv("YUX_WRITE_FIXTURES")) WriteFile(file, text);
    EXPECT_EQ(text, ReadFile(file));
  }
};

}  // namespace

TEST_F(DriveInfo, RewritableDvdInEmulatedDrive) {
  UseRecorder(0x1A);  // DVD+RW
  ExpectFixture(InfoText(), "driveinfo_dvdplusrw.txt");
}

TEST_F(DriveInfo, BlankCdRecordable) {
  UseRecorder(0x09);  // CD-R
  ExpectFixture(InfoText(), "driveinfo_blank_cdr.txt");
}

TEST_F(DriveInfo, MediaNamesCoverEveryCode) {
  EXPECT_EQ(MediaTypeName(0), "mtUNKNOWN");
  EXPECT_EQ(MediaTypeName(10), "mtDVDPLUSRW");
  EXPECT_EQ(MediaTypeName(16), "mtBDRE");
  EXPECT_EQ(MediaTypeName(17), "mtHDDVDROM");
  EXPECT_EQ(MediaTypeName(18), "mtHDDVDR");
  EXPECT_EQ(MediaTypeName(19), "mtHDDVDRAM");
  EXPECT_EQ(MediaTypeName(20), "mtDDCDROM");
  EXPECT_EQ(MediaTypeName(22), "mtDDCDRW");
  EXPECT_EQ(MediaTypeName(23), "mtUNKNOWN");
  DriveAnswers raw;
  raw.mediaType = 13;  // BD-ROM: no CD or DVD factor
  raw.maxWriteSpeed = 1234567;
  raw.capacityBlocks = 12345678;
  EXPECT_NE(DriveInfoText(raw).find(">>> Write raw speed:  1,234,567 KB/s\r"), std::string::npos);
  EXPECT_NE(DriveInfoText(raw).find(">>> Total size: 24,112.65 MB\r"), std::string::npos);
}

TEST_F(DriveInfo, AnEmptyDriveLetterSelectsNoDrive) {
  UseRecorder();
  tarcopt r;
  SetPresetDefaults(r);
  r.nam = "x";
  ASSERT_TRUE(SavePreset("NoDrive", r));
  auto form = Open("NoDrive");
  EXPECT_EQ(form->ecdrive->currentIndex(), -1);
  EXPECT_FALSE(form->bburnerinfo->isEnabled());
  EXPECT_EQ(form->RecordFromControls().cdr, "");
}

TEST_F(DriveInfo, TheDefaultsDriveIsLookedUpSoANewPresetKeepsItsRecorder) {
  UseRecorder();
  tarcopt d;
  SetPresetDefaults(d);
  d.cdr = "E";
  d.cdw = true;
  d.nam = "disc";
  ASSERT_TRUE(SavePreset(std::string(kDefaultsPresetName), d));
  auto form = Open(kNewPresetName);
  EXPECT_TRUE(form->bburnerinfo->isEnabled());
  form->epresetname->setText("To disc");
  form->inc->addItem("/x");
  ASSERT_TRUE(form->bupdateClick());
  EXPECT_EQ(Texts().size(), 1u) << "only the notice: " << ::testing::PrintToString(Texts());
  EXPECT_EQ(KeyValue(PresetLines(settings / "presets" / "To disc.pst"), "cdw"), "1");
}
