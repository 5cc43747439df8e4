// Folder watches: which changes each filter reports, subtrees (also folders
// made after the start), one report per burst, and the end of a watch
// whose folder vanished.
#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "platform/dirwatch.h"
#include "tests/support/testsupport.h"

using namespace yux;
using test::PumpUntil;
namespace fs = std::filesystem;

namespace {

// Pumps until `done` or the bound.
// Gives a report that should not come the time to arrive.
void Settle(int ms = 400) { PumpUntil([] { return false; }, ms); }

struct Case {
  const char* name;
  platform::DirWatchFilters filters;
  bool subtree;
  std::function<void(const fs::path&)> prepare;  // before the watch starts
  std::function<void(const fs::path&)> act;
  bool reported;
};

platform::DirWatchFilters Only(bool fn, bool dn, bool sz, bool lw, bool at) { return {fn, dn, sz, lw, at}; }

}  // namespace

TEST(DirectoryWatch, EachFilterSeesItsOwnChanges) {
  auto none = [](const fs::path&) {};
  auto existing = [](const fs::path& d) { test::WriteFile(d / "f.txt", "x"); };
  auto write = [](const fs::path& d) { test::WriteFile(d / "f.txt", "more"); };
  const Case cases[] = {
      {"new file, names", Only(1, 0, 0, 0, 0), false, none, [](const fs::path& d) { test::WriteFile(d / "n", ""); }, true},
      {"new file, folder names only", Only(0, 1, 0, 0, 0), false, none,
       [](const fs::path& d) { test::WriteFile(d / "n", ""); }, false},
      {"new folder, folder names", Only(0, 1, 0, 0, 0), false, none,
       [](const fs::path& d) { fs::create_directory(d / "sub"); }, true},
      {"write, names only", Only(1, 0, 0, 0, 0), false, existing, write, false},
      {"write, last write", Only(0, 0, 0, 1, 0), false, existing, write, true},
      {"write, size", Only(0, 0, 1, 0, 0), false, existing, write, true},
      {"chmod, attributes", Only(0, 0, 0, 0, 1), false, existing,
       [](const fs::path& d) { chmod((d / "f.txt").c_str(), 0600); }, true},
      {"chmod, last write only", Only(0, 0, 0, 1, 0), false, existing,
       [](const fs::path& d) { chmod((d / "f.txt").c_str(), 0600); }, false},
      {"rename, names", Only(1, 0, 0, 0, 0), false, existing,
       [](const fs::path& d) { fs::rename(d / "f.txt", d / "g.txt"); }, true},
      {"delete, names", Only(1, 0, 0, 0, 0), false, existing, [](const fs::path& d) { fs::remove(d / "f.txt"); }, true},
      {"file in a subfolder, no subtree", Only(1, 1, 1, 1, 1), false,
       [](const fs::path& d) { fs::create_directory(d / "a"); },
       [](const fs::path& d) { test::WriteFile(d / "a" / "n", "x"); }, false},
      {"file in a subfolder, subtree", Only(1, 1, 1, 1, 1), true,
       [](const fs::path& d) { fs::create_directories(d / "a" / "b"); },
       [](const fs::path& d) { test::WriteFile(d / "a" / "b" / "n", "x"); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    c.prepare(dir.path());
    int reports = 0;
    platform::DirectoryWatch watch(dir.str(), c.subtree, c.filters, [&] { ++reports; });
    std::string error;
    ASSERT_TRUE(watch.Start(&error)) << error;
    c.act(dir.path());
    if (c.reported)
      EXPECT_TRUE(PumpUntil([&] { return reports > 0; }));
    else {
      Settle();
      EXPECT_EQ(reports, 0);
    }
  }
}

TEST(DirectoryWatch, FoldersMadeAfterTheStartAreWatchedInASubtree) {
  test::TempDir dir;
  int reports = 0;
  platform::DirectoryWatch watch(dir.str(), true, Only(1, 0, 0, 0, 0), [&] { ++reports; });
  ASSERT_TRUE(watch.Start());
  fs::create_directories(dir / "new" );
  // The folder itself is no file-name change; wait until the watch has
  // taken it by looking for a file made in it.
  int probe = 0;
  EXPECT_TRUE(PumpUntil([&] {
    test::WriteFile(dir / "new" / ("probe" + std::to_string(++probe)), "");
    QElapsedTimer t;
    t.start();
    while (reports == 0 && t.elapsed() < 300) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    return reports > 0;
  }));
}

TEST(DirectoryWatch, ABurstIsOneReportAndAVanishedFolderEndsTheWatch) {
  test::TempDir parent;
  const fs::path dir = parent / "watched";
  fs::create_directory(dir);
  int reports = 0;
  std::string gone;
  platform::DirectoryWatch watch(dir.string(), false, Only(1, 1, 1, 1, 1), [&] { ++reports; },
                                 [&](const std::string& why) { gone = why; });
  ASSERT_TRUE(watch.Start());
  {
    // Many changes written before the watch thread can read them.
    for (int i = 0; i < 50; ++i) test::WriteFile(dir / ("f" + std::to_string(i)), "x");
  }
  ASSERT_TRUE(PumpUntil([&] { return reports > 0; }));

  fs::remove_all(dir);
  EXPECT_TRUE(PumpUntil([&] { return !gone.empty(); }));
  EXPECT_NE(gone.find("watched"), std::string::npos);

  platform::DirectoryWatch missing((parent / "nothing").string(), false, {}, [] {});
  std::string error;
  EXPECT_FALSE(missing.Start(&error));
  EXPECT_NE(error.find("nothing"), std::string::npos);
}

// A symbolic link as the root is followed, unless the watch is told to
// refuse one: then only a folder of that name is watched.
TEST(DirectoryWatch, ALinkAsTheRootIsFollowedUnlessRefused) {
  test::TempDir parent;
  const fs::path target = parent / "target";
  const fs::path link = parent / "link";
  fs::create_directory(target);
  fs::create_directory_symlink(target, link);
  int reports = 0;
  platform::DirectoryWatch watch(link.string(), false, Only(1, 1, 1, 1, 1), [&] { ++reports; });
  ASSERT_TRUE(watch.Start());
  test::WriteFile(target / "a.txt", "x");
  EXPECT_TRUE(PumpUntil([&] { return reports > 0; }));

  std::string error;
  EXPECT_FALSE(watch.Start(&error, false));
  EXPECT_FALSE(watch.Running());
  EXPECT_NE(error.find(link.string()), std::string::npos) << error;
  fs::remove(link);
  fs::create_directory(link);
  ASSERT_TRUE(watch.Start(&error, false)) << error;
  reports = 0;
  test::WriteFile(link / "b.txt", "x");
  EXPECT_TRUE(PumpUntil([&] { return reports > 0; }));
}
