// The file browser: its rows (64-bit sizes, attributes, entries that are
// no files), drive letters through the drive map, going up, and what its
// collections give the preset dialog.
#include <QAbstractItemModel>
#include <QDir>
#include <QComboBox>
#include <QListWidget>
#include <QTimer>
#include <QPushButton>
#include <QTreeView>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "dialogs/addfoldersform.h"
#include "tests/dialogs/presetform_fixture.h"

using namespace yux;
using namespace yux::test;

namespace {

class Browser : public PresetDialogTest {
 protected:
  void SetUp() override {
    PresetDialogTest::SetUp();
    root = files.path();
    fs::create_directories(root / "folder");
    WriteFile(root / "empty.txt", "");
    WriteFile(root / "Case.txt", "upper");
    WriteFile(root / "case.txt", "lower");
    WriteFile(root / ".hidden", "h");
    WriteFile(root / "readonly.txt", "r");
    fs::permissions(root / "readonly.txt", fs::perms::owner_read | fs::perms::group_read);
    {
      std::ofstream sparse(root / "big.bin");
    }
    fs::resize_file(root / "big.bin", 5ull << 30);  // 5 GiB, sparse
    ASSERT_EQ(mkfifo((root / "pipe").c_str(), 0600), 0);
    preset = Open(kNewPresetName);
  }

  // The row of a path; -1 when it is not shown.
  int RowOf(Taddfoldersform& b, const fs::path& p) {
    for (int r = 0; r < b.Rows->rowCount(); ++r)
      if (b.Rows->Item(r).ParsingName == p.string()) return r;
    return -1;
  }
  std::string Cell(Taddfoldersform& b, const fs::path& p, int column) {
    const int row = RowOf(b, p);
    if (row < 0) return "<no row>";
    return b.Rows->data(b.Rows->index(row, column), Qt::DisplayRole).toString().toStdString();
  }

  TempDir files;
  fs::path root;
  std::unique_ptr<TForm3> preset;
};

}  // namespace

TEST_F(Browser, RowsShowSizesAttributesAndFoldersFirst) {
  Taddfoldersform browser(preset.get());
  EXPECT_EQ(browser.Rows->Folder(), QDir::homePath().toStdString()) << "it starts at home";
  ASSERT_TRUE(browser.BrowseTo(root.string()));
  EXPECT_EQ(browser.cbPath->currentText().toStdString(), root.string());
  EXPECT_EQ(browser.Rows->Item(0).ParsingName, (root / "folder").string());
  EXPECT_EQ(browser.ListView->selectionModel()->selectedRows().size(), 1) << "the first row is selected";

  const struct {
    const char* name;
    const char* size;
    const char* attributes;
  } rows[] = {
      {"big.bin", "5242880KB", "A"}, {"empty.txt", "1KB", "A"}, {"folder", "", ""},
      {".hidden", "1KB", "HA"},      {"readonly.txt", "1KB", "RA"}, {"Case.txt", "1KB", "A"},
      {"case.txt", "1KB", "A"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(Cell(browser, root / r.name, 0), (root / r.name).string());
    EXPECT_EQ(Cell(browser, root / r.name, 1), r.size);
    EXPECT_EQ(Cell(browser, root / r.name, 4), r.attributes);
    EXPECT_FALSE(Cell(browser, root / r.name, 3).empty()) << "modified";
  }
  EXPECT_FALSE(Cell(browser, root / "folder", 2).empty()) << "a kind name";
  EXPECT_GE(RowOf(browser, root / "pipe"), 0);
  EXPECT_EQ(browser.Rows->headerData(1, Qt::Horizontal, Qt::DisplayRole).toString().toStdString(), "Size");
}

TEST_F(Browser, CollectsFilesAndFoldersAndRefusesWhatIsNoFile) {
  Taddfoldersform browser(preset.get());
  ASSERT_TRUE(browser.BrowseTo(root.string()));
  browser.ListView->clearSelection();
  for (const char* name : {"folder", "Case.txt", "case.txt", "pipe"})
    ASSERT_TRUE(browser.SelectPath((root / name).string())) << name;
  browser.binc->click();
  browser.bexc->click();
  browser.binc->click();  // a second time adds nothing
  const std::string refused = "\rCannot add \"" + (root / "pipe").string() + "\". Try dragging it from Explorer.";
  const auto texts = Texts();
  EXPECT_EQ(std::count(texts.begin(), texts.end(), refused), 3);
  auto lines = [](QListWidget* l) { return TForm3::ListLines(l); };
  // In the rows' order: folders first.
  EXPECT_EQ(lines(browser.memo), (std::vector<std::string>{(root / "folder").string() + "/*.*",
                                                          (root / "Case.txt").string(), (root / "case.txt").string()}));
  EXPECT_EQ(lines(browser.memo1), (std::vector<std::string>{(root / "folder").string(), (root / "Case.txt").string(),
                                                           (root / "case.txt").string()}));

  // The kernel's trees are refused however they look.
  ASSERT_TRUE(browser.BrowseTo("/proc"));
  browser.ListView->clearSelection();
  ASSERT_TRUE(browser.SelectPath("/proc/self"));
  const auto before = browser.memo->count();
  browser.binc->click();
  EXPECT_EQ(browser.memo->count(), before);
  EXPECT_EQ(Texts().back(), "\rCannot add \"/proc/self\". Try dragging it from Explorer.");

  // OK hands the collections to the preset dialog's lists.
  preset->inc->addItem(QString::fromStdString((root / "case.txt").string()));
  browser.bok->click();
  auto inc = lines(preset->inc);
  std::sort(inc.begin(), inc.end());
  EXPECT_EQ(inc, (std::vector<std::string>{(root / "Case.txt").string(), (root / "case.txt").string(),
                                           (root / "folder").string() + "/*.*"}));
  EXPECT_EQ(preset->exc->count(), 3);
}

TEST_F(Browser, CancelAddsNothing) {
  Taddfoldersform browser(preset.get());
  ASSERT_TRUE(browser.BrowseTo(root.string()));
  browser.ListView->clearSelection();
  ASSERT_TRUE(browser.SelectPath((root / "empty.txt").string()));
  browser.binc->click();
  EXPECT_EQ(browser.memo->count(), 1);
  browser.bcancel->click();
  EXPECT_EQ(preset->inc->count(), 0);
}

TEST_F(Browser, DriveLettersGoThroughTheDriveMapAndBackStopsAtTheRoot) {
  UseRecorder();  // E: is an emulated optical drive
  platform::DriveLetterMap::Global().AssignFolder('K', root.string());
  Taddfoldersform browser(preset.get());
  browser.PathEntered("k:");
  EXPECT_EQ(browser.Rows->Folder(), root.string());
  browser.PathEntered("K:\\folder");
  EXPECT_EQ(browser.Rows->Folder(), (root / "folder").string());

  const struct {
    const char* typed;
    std::string message;
  } refused[] = {
      {"Q:", "\rDrive Q: is not assigned to a folder here."},
      {"E:", "\rDrive E: is a CD/DVD drive; its files cannot be browsed here."},
      {"K:\\missing", "\rThe folder \"" + (root / "missing").string() + "\" does not exist."},
  };
  for (const auto& r : refused) {
    browser.PathEntered(r.typed);
    EXPECT_EQ(Texts().back(), r.message);
    EXPECT_EQ(browser.Rows->Folder(), (root / "folder").string()) << "the browser stays";
  }

  browser.btnBackClick();
  EXPECT_EQ(browser.Rows->Folder(), root.string());
  ASSERT_TRUE(browser.BrowseTo("/"));
  browser.btnBackClick();
  EXPECT_EQ(browser.Rows->Folder(), "/");
  browser.OpenRow(RowOf(browser, "/tmp"));
  EXPECT_EQ(browser.Rows->Folder(), "/tmp");
}

TEST_F(Browser, ThePresetDialogStaysOpenUnderTheBrowserAndOkSavesWhatItCollected) {
  const std::string folder = (root / "folder").string() + "/*.*";
  const std::string empty = (root / "empty.txt").string();
  const std::string hidden = (root / ".hidden").string();
  const struct {
    const char* preset;
    bool browserOk;
    std::vector<std::string> include;  // in the dialog and in the saved file
    std::vector<std::string> exclude;
  } cases[] = {
      {kNewPresetName, true, {empty, folder}, {hidden}},
      {"Daily", true, {"/srv/kept", empty, folder}, {hidden}},
      {"Daily", false, {"/srv/kept"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.preset) + (c.browserOk ? " OK" : " Cancel"));
    DeletePresetFiles("Sources");
    // An existing preset whose include list holds one entry already.
    tarcopt daily;
    SetPresetDefaults(daily);
    daily.nam = "daily";
    ASSERT_TRUE(SavePreset("Daily", daily));
    ASSERT_TRUE(WritePresetList("Daily", ".inc", {"/srv/kept"}));
    ASSERT_TRUE(WritePresetList("Daily", ".exc", {}));
    auto form = Open(c.preset);
    form->conlyfiles->setChecked(true);
    bool okClicked = false;
    std::vector<std::string> shownInclude;
    // Everything happens inside the dialog's own modal loop, as in the
    // program.
    WhenShown<TForm3>([&](TForm3* f) {
      if (std::string(c.preset) == kNewPresetName) {
        f->epresetname->setText("Sources");
        f->earcname->setText("sources");
      }
      f->ShowPage("File lists");
      WhenShown<Taddfoldersform>([&](Taddfoldersform* b) {
        ASSERT_TRUE(b->BrowseTo(root.string()));
        b->ListView->clearSelection();
        ASSERT_TRUE(b->SelectPath((root / "folder").string()));
        ASSERT_TRUE(b->SelectPath(empty));
        b->binc->click();
        b->ListView->clearSelection();
        ASSERT_TRUE(b->SelectPath(hidden));
        b->bexc->click();
        (c.browserOk ? b->bok : b->bcancel)->click();
      });
      f->bbrowser->click();
      // OK comes in a later turn of the dialog's loop, which must still run.
      QTimer::singleShot(0, f, [&, f] {
        shownInclude = TForm3::ListLines(f->inc);
        okClicked = true;
        f->bupdate->click();
      });
    });
    EXPECT_EQ(form->exec(), QDialog::Accepted);
    EXPECT_TRUE(okClicked) << "the dialog's loop ended under the browser";
    EXPECT_EQ(shownInclude, c.include);
    const std::string saved = std::string(c.preset) == kNewPresetName ? "Sources" : c.preset;
    EXPECT_EQ(ReadPresetList(saved, ".inc").value_or(std::vector<std::string>{"<none>"}), c.include);
    EXPECT_EQ(ReadPresetList(saved, ".exc").value_or(std::vector<std::string>{"<none>"}), c.exclude);
  }
}
