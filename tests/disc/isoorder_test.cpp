// The order ISO 9660 prescribes for path tables and directory records,
// checked by a reader of our own (the common checkers do not look at it).
#include <gtest/gtest.h>

#include <filesystem>

#include "disc/commonlib.h"
#include "disc/iso9660.h"
#include "disc/tree.h"
#include "tests/disc/imagefile.h"
#include "tests/support/testsupport.h"

using namespace yux::disc;
using yux::disc::test::BuildSession;
using yux::disc::test::IsoOrderFaults;
using yux::disc::test::MakeFile;
using yux::test::TempDir;

namespace {

std::string Join(const std::vector<std::string>& lines) {
  std::string s;
  for (auto& l : lines) s += l + "\n";
  return s;
}

}  // namespace

// Names whose 8.3 form, long form and Joliet form sort differently: each
// tree is ordered by the identifiers it holds itself.
TEST(IsoOrder, PathTablesAndRecordsFollowTheIdentifiersWritten) {
  for (bool longIsoNames : {false, true}) {
    SCOPED_TRACE(longIsoNames ? "ISO 9660:1999 names" : "8.3 names");
    TempDir dir;
    TTreeContext tree;
    tree.layout.ISO9660v1999FS = longIsoNames;
    auto folder = [&](TDirectory* parent, const std::u16string& name) {
      TFindData fd;
      fd.fileName = name;
      fd.attributes = kAttrDirectory;
      TDirectory* d = tree.CreateDirectory(parent, fd);
      EXPECT_NE(d, nullptr);
      return d;
    };
    unsigned seed = 1;
    auto file = [&](const std::string& at, const std::string& name) {
      const auto src = dir / std::to_string(seed) / name;
      std::filesystem::create_directories(src.parent_path());
      MakeFile(src.string(), 100 + seed, seed);
      ++seed;
      EXPECT_NE(tree.InsertFile(at, src.string()), nullptr) << name;
    };
    // Inserted in an order no tree keeps.
    TDirectory* zeta = folder(tree.root, u"Zeta");
    folder(tree.root, u"ab.c");
    folder(tree.root, u"ab-c");
    folder(tree.root, u"alpha");
    folder(zeta, u"b-sub");
    folder(zeta, u"a sub");
    folder(tree.FindDirectory(std::string("\\ab-c")), u"inner");
    for (const char* name : {"zz.txt", "a.txt", "_b.txt", "a b.txt", "a.b.txt", "B.TXT", "ab",
                             "a long name that is no 8.3 name.rar", "a long name.rar"})
      file("\\", name);
    file("\\Zeta", "x-1.rar");
    file("\\Zeta", "x.1.rar");
    file("\\Zeta", "X_1.rar");
    const auto image = BuildSession(tree);
    ASSERT_FALSE(image.empty());
    auto read = [&](uint32_t lba, uint32_t count) {
      std::vector<uint8_t> out(size_t(count) * 2048, 0);
      const size_t at = size_t(lba) * 2048;
      if (at < image.size())
        std::copy(image.begin() + at, image.begin() + std::min(image.size(), at + out.size()),
                  out.begin());
      return out;
    };
    const auto faults = IsoOrderFaults(read, 0);
    EXPECT_TRUE(faults.empty()) << Join(faults);
  }
}
