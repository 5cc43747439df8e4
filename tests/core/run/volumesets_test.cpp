#include "core/run/volumesets.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace yux;

namespace {

using Names = std::vector<std::string>;

Names Set(const std::string& base, int count, const std::string& ext = ".rar", int width = 0) {
  Names out;
  for (int i = 1; i <= count; ++i) {
    std::string n = std::to_string(i);
    const std::size_t w = width ? std::size_t(width) : std::to_string(count).size();
    if (n.size() < w) n.insert(0, w - n.size(), '0');
    out.push_back(base + ".part" + n + ext);
  }
  return out;
}

Names Plus(Names a, const Names& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

// Which names at a destination belong to an earlier set of a name this run
// delivered whole: a longer set's tail of the same width, and every volume
// of the name numbered in another width.
TEST(VolumeSets, StaleVolumesAreEveryVolumeOfTheNameNotOfTheSet) {
  struct Case {
    const char* what;
    Names delivered, present, stale;
    bool ignoreCase = false;
  };
  const std::vector<Case> cases = {
      {"5 then 3", Set("a", 3), Plus(Set("a", 5), {"a.rar", "b.part4.rar"}), {"a.part4.rar", "a.part5.rar"}},
      {"a gap in the old set", Set("a", 3), {"a.part5.rar", "a.part9.rar"}, {"a.part5.rar", "a.part9.rar"}},
      {"another width is an earlier set", Set("a", 3), Plus(Set("a", 3), {"a.part04.rar", "a.part10.rar"}),
       {"a.part04.rar", "a.part10.rar"}},
      {"nine where eleven of two digits lay", Set("a", 9), Plus(Set("a", 9), Set("a", 11)), Set("a", 11)},
      {"eleven where nine lay", Set("a", 11), Plus(Set("a", 11), Set("a", 9)), Set("a", 9)},
      {"no number zero in a set", Set("a", 3), {"a.part0.rar"}, {"a.part0.rar"}},
      {"width 2", Set("a", 12), Plus(Set("a", 15), {"a.part5.rar", "a.part100.rar"}),
       {"a.part100.rar", "a.part13.rar", "a.part14.rar", "a.part15.rar", "a.part5.rar"}},
      {"another extension or base", Set("a", 2, ".zip"), {"a.part3.rar", "b.part3.zip", "a.part3.zip"}, {"a.part3.zip"}},
      {"no extension", Set("a", 2, ""), {"a.part3", "a.part3.rar"}, {"a.part3"}},
      {"a base with dots", Set("my.part1.x", 2), {"my.part1.x.part3.rar", "my.part3.rar"}, {"my.part1.x.part3.rar"}},
      {"one volume is no set", {"a.part1.rar"}, {"a.part2.rar"}, {}},
      {"an archive not split", {"a.rar"}, Set("a", 3), {}},
      {"a volume not delivered", {"a.part1.rar", "a.part3.rar"}, {"a.part4.rar"}, {}},
      {"numbers not as wide as the count", Set("a", 3, ".rar", 2), {"a.part04.rar"}, {}},
      {"not a volume", Set("a", 2), {"a.part3x.rar", "a.part.rar", "a.part3.", "a.part0000000003.rar"}, {}},
      {"case matters on a file system", Set("a", 2), {"A.PART3.RAR", "a.part3.rar"}, {"a.part3.rar"}},
      {"and not on a disc", Set("Daily", 2), {"DAILY.PART3.RAR", "daily.part4.rar"},
       {"DAILY.PART3.RAR", "daily.part4.rar"}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(StaleVolumes(c.delivered, c.present, c.ignoreCase), c.stale);
  }
}

// Every whole set can have stale volumes beside it, however many volumes
// its width leaves room for (the FTP delivery lists the folder only then).
TEST(VolumeSets, AWholeSet) {
  EXPECT_TRUE(HasWholeVolumeSet(Set("a", 2)));
  EXPECT_TRUE(HasWholeVolumeSet(Plus(Set("a", 12), {"x.rar"})));
  EXPECT_TRUE(HasWholeVolumeSet(Set("a", 9)));
  EXPECT_TRUE(HasWholeVolumeSet(Set("a", 99)));
  EXPECT_FALSE(HasWholeVolumeSet(Set("a", 3, ".rar", 2)));
  EXPECT_FALSE(HasWholeVolumeSet({"a.part1.rar"}));
  EXPECT_FALSE(HasWholeVolumeSet({"a.part1.rar", "a.part3.rar"}));
  EXPECT_FALSE(HasWholeVolumeSet({"a.rar", "b.rar"}));
}
