#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "disc/commonlib.h"
#include "disc/tree.h"
#include "tests/disc/imagefile.h"
#include "tests/support/testsupport.h"

using namespace yux::disc;
using yux::disc::test::MakeFile;
using yux::test::TempDir;

namespace {

TFindData Folder(const std::u16string& name) {
  TFindData fd;
  fd.fileName = name;
  fd.attributes = kAttrDirectory;
  return fd;
}

TFindData File(const std::u16string& name, uint64_t size = 1) {
  TFindData fd;
  fd.fileName = name;
  fd.size = size;
  return fd;
}

}  // namespace

TEST(FileTree, SameNameKeepsOneEntryAndReplaceFileRefillsIt) {
  TempDir dir;
  TTreeContext tree;
  std::filesystem::create_directories(dir / "a");
  std::filesystem::create_directories(dir / "b");
  MakeFile((dir / "a/Data.rar").string(), 100, 1);
  MakeFile((dir / "b/DATA.RAR").string(), 200, 2);
  TFileEntry* first = tree.InsertFile("\\", (dir / "a/Data.rar").string());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(tree.InsertFile("", (dir / "b/DATA.RAR").string()), first);
  EXPECT_EQ(first->size, 100u);  // ReplaceFile off: unchanged
  tree.ReplaceFile = true;
  EXPECT_EQ(tree.InsertFile("\\", (dir / "b/DATA.RAR").string()), first);
  EXPECT_EQ(first->size, 200u);
  EXPECT_EQ(first->sourcePath, (dir / "b/DATA.RAR").string());
  EXPECT_EQ(tree.root->files.size(), 1u);
  EXPECT_EQ(tree.files.size(), 1u);
}

TEST(FileTree, ShortNames) {
  TTreeContext tree;
  struct Case {
    std::u16string name;
    bool folder;
    std::string want;
  } cases[] = {
      {u"readme.txt", false, "README.TXT"},
      {u"NOEXT", false, "NOEXT."},
      {u"NOEXTDIR", true, "NOEXTDIR"},
      {u"backup-2024-01-01.rar", false, "BACKUP~1.RAR"},
      {u"backup-2024-01-02.rar", false, "BACKUP~2.RAR"},
      {u"read me.txt", false, "README~1.TXT"},  // its 8.3 form is taken
      {u"backup~1.rar", false, "BACKUP_1.RAR"},  // '~' is no d-character
      {u"Müller.zip", false, "M_LLER.ZIP"},
      {u"a.b.c", false, "AB~1.C"},
      {u"archive.tar.gz", false, "ARCHIV~1.GZ"},
      {u".profile", false, "PROFIL~1."},
      {u"My Documents", true, "MYDOCU~1"},
  };
  for (auto& c : cases) {
    TFileEntry* e = c.folder ? tree.CreateDirectory(tree.root, Folder(c.name))->entry
                             : tree.InsertEntry(c.name, tree.root, File(c.name), 0, 0, "/x");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->shortName, c.want) << WideToUtf8(c.name);
  }
}

TEST(FileTree, DirectoryPathsAndLookups) {
  TTreeContext tree;
  TDirectory* a = tree.CreateDirectory(tree.root, Folder(u"Archives"));
  TDirectory* b = tree.CreateDirectory(a, Folder(u"2024"));
  EXPECT_EQ(tree.CreateDirectory(tree.root, Folder(u"ARCHIVES")), a);  // existing path
  EXPECT_EQ(tree.FindDirectory(std::string("\\")), tree.root);
  EXPECT_EQ(tree.FindDirectory(std::string("")), tree.root);
  EXPECT_EQ(tree.FindDirectory(std::string("\\archives\\2024")), b);
  EXPECT_EQ(tree.FindDirectory(std::string("archives\\2024\\")), b);
  EXPECT_EQ(tree.FindDirectory(std::string("\\archives\\2025")), nullptr);
  EXPECT_EQ(tree.DirectoryPath(tree.root), u"\\");
  EXPECT_EQ(tree.DirectoryPath(b), u"\\Archives\\2024\\");
  EXPECT_EQ(tree.root->parent, tree.root);
  EXPECT_EQ(tree.root->shortName, "ROOT_DIR");

  TempDir dir;
  auto src = (dir / "f.bin").string();
  MakeFile(src, 10, 1);
  EXPECT_NE(tree.InsertFile("\\Archives\\2024\\", src), nullptr);
  EXPECT_EQ(tree.InsertFile("\\Missing", src), nullptr);
  EXPECT_EQ(tree.InsertFile("\\", (dir / "nothing.bin").string()), nullptr);
  EXPECT_EQ(tree.InsertFile("\\", dir.str()), nullptr);  // a folder is no file
  // A file may not take a folder's name, nor a folder a file's.
  EXPECT_EQ(tree.InsertEntry(u"archives", tree.root, File(u"archives"), 0, 0, src), nullptr);
  tree.ReplaceFile = true;
  EXPECT_EQ(tree.InsertEntry(u"archives", tree.root, File(u"archives"), 0, 0, src), nullptr);
  EXPECT_EQ(a->entry->subdir, a);
  ASSERT_NE(tree.InsertEntry(u"plain", tree.root, File(u"plain"), 0, 0, src), nullptr);
  EXPECT_EQ(tree.CreateDirectory(tree.root, Folder(u"PLAIN")), nullptr);
}

TEST(FileTree, SkipsLongNamesAndWhatTheHandlerRefuses) {
  TTreeContext tree;
  auto name217 = std::u16string(213, u'x') + u".rar";
  auto name218 = std::u16string(214, u'x') + u".rar";
  EXPECT_NE(tree.InsertEntry(name217, tree.root, File(name217), 0, 0, "/s"), TTreeContext::SkippedMarker());
  // A source file with a name that long is refused (and listed), not skipped.
  EXPECT_EQ(tree.InsertEntry(name218, tree.root, File(name218), 0, 0, "/s"), nullptr);
  ASSERT_EQ(tree.refused.size(), 1u);
  EXPECT_EQ(tree.refused[0].name, name218);
  std::string seen;
  tree.OnAddFile = [&](const std::string& source, const TFindData& fd, bool& skip) {
    seen = source;
    skip = fd.fileName == u"skip.me";
  };
  EXPECT_EQ(tree.InsertEntry(u"skip.me", tree.root, File(u"skip.me"), 0, 0, "/src/skip.me"),
            TTreeContext::SkippedMarker());
  EXPECT_EQ(seen, "/src/skip.me");
  EXPECT_NE(tree.InsertEntry(u"keep.me", tree.root, File(u"keep.me"), 0, 0, "/src/keep.me"), nullptr);
  EXPECT_EQ(tree.root->files.size(), 2u);
  EXPECT_EQ(tree.refused.size(), 1u);  // what the handler skips is no refusal
}

TEST(FileTree, FilesOf4GiBAreRefusedWithAReason) {
  TempDir dir;
  TTreeContext tree;
  auto big = dir / "huge.rar";
  yux::test::WriteFile(big, "");
  std::filesystem::resize_file(big, (uint64_t(1) << 32));  // sparse
  EXPECT_EQ(tree.InsertFile("\\", big.string()), nullptr);
  EXPECT_NE(tree.lastError.find("4 GB"), std::string::npos) << tree.lastError;
  std::filesystem::resize_file(big, (uint64_t(1) << 32) - 1);
  EXPECT_NE(tree.InsertFile("\\", big.string()), nullptr);
  EXPECT_TRUE(tree.lastError.empty());
}

TEST(FileTree, BootImageSizes) {
  TempDir dir;
  TTreeContext tree;
  struct Case { size_t size; bool ok; } cases[] = {
      {2048, true}, {1228800, true}, {1474560, true}, {2949120, true},
      {1474561, false}, {0, false}, {4096, false},
  };
  auto good = (dir / "good.img").string();
  MakeFile(good, 2048, 1);
  for (auto& c : cases) {
    ASSERT_TRUE(tree.SetBootImage(good));
    auto p = (dir / "boot.img").string();
    MakeFile(p, c.size, 2);
    EXPECT_EQ(tree.SetBootImage(p), c.ok) << c.size;
    EXPECT_EQ(tree.bootImagePath, c.ok ? p : std::string()) << c.size;  // a refusal clears the earlier one
  }
  EXPECT_FALSE(tree.SetBootImage((dir / "missing.img").string()));
  ASSERT_TRUE(tree.SetBootImage(good));
  EXPECT_TRUE(tree.SetBootImage(""));
  EXPECT_TRUE(tree.bootImagePath.empty());
}

TEST(FileTree, TablesRefuseInsertionsBeyondTheirCapacity) {
  TTreeContext tree;
  for (size_t i = 1; i < kMaxDirectories; ++i)
    ASSERT_NE(tree.CreateDirectory(tree.root, Folder(u"d" + Utf8ToWide(std::to_string(i)))), nullptr) << i;
  EXPECT_EQ(tree.CreateDirectory(tree.root, Folder(u"one-more")), nullptr);
  EXPECT_EQ(tree.directories.size(), kMaxDirectories);
  TDirectory* last = tree.directories.back().get();
  size_t n = tree.files.size();
  for (; n < kMaxFiles; ++n)
    ASSERT_NE(tree.InsertEntry(u"f" + Utf8ToWide(std::to_string(n)), last, File(u"x"), 0, 0, "/s"), nullptr);
  EXPECT_EQ(tree.InsertEntry(u"too-many", last, File(u"x"), 0, 0, "/s"), nullptr);
  EXPECT_EQ(tree.files.size(), kMaxFiles);
  ASSERT_EQ(tree.refused.size(), 1u);
  EXPECT_EQ(tree.refused[0].name, u"too-many");
  EXPECT_NE(tree.refused[0].reason.find("200000"), std::string::npos) << tree.refused[0].reason;
  tree.ClearFiles();
  EXPECT_EQ(tree.files.size(), 0u);
  EXPECT_EQ(tree.directories.size(), 1u);
  EXPECT_TRUE(tree.refused.empty());
}

// Every source file the image cannot take is listed with its source, its
// name and a reason that says what is wrong, however it was refused.
TEST(FileTree, EveryRefusedSourceFileIsListedWithItsReason) {
  TempDir dir;
  const std::string longName = std::string(214, 'x') + ".rar";  // 218 units
  struct Case {
    const char* what;
    std::string file;
    std::function<void(TTreeContext&, const std::string& path)> make;
    std::string reasonHas;
  } cases[] = {
      {"name of 218 units", longName,
       [](TTreeContext&, const std::string& p) { MakeFile(p, 10, 1); }, "218 characters"},
      {"4 GiB", "huge.rar",
       [](TTreeContext&, const std::string& p) {
         yux::test::WriteFile(p, "");
         std::filesystem::resize_file(p, uint64_t(1) << 32);  // sparse
       },
       "4 GB"},
      {"folder of that name", "taken.rar",
       [](TTreeContext& t, const std::string& p) {
         MakeFile(p, 10, 2);
         t.CreateDirectory(t.root, Folder(u"TAKEN.RAR"));
       },
       "folder"},
      {"no file", "gone.rar", [](TTreeContext&, const std::string&) {}, "not a file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TTreeContext tree;
    const std::string path = (dir / c.file).string();
    c.make(tree, path);
    EXPECT_EQ(tree.InsertFile("\\", path), nullptr);
    ASSERT_EQ(tree.refused.size(), 1u);
    EXPECT_EQ(tree.refused[0].source, path);
    EXPECT_EQ(tree.refused[0].name, Utf8ToWide(c.file));
    EXPECT_NE(tree.refused[0].reason.find(c.reasonHas), std::string::npos) << tree.refused[0].reason;
    EXPECT_EQ(tree.lastError, tree.refused[0].reason);
    for (const auto& f : tree.files) EXPECT_NE(f->sourcePath, path);
  }
}
