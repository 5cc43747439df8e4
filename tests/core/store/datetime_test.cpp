#include "core/store/datetime.h"

#include <gtest/gtest.h>

using namespace yux;

namespace {

QDateTime At(int y, int mo, int d, int h, int mi, int s, int ms = 0) {
  return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms));
}

TEST(DateTimeText, TrailingBlankOnlyWhenNotMidnight) {
  EXPECT_EQ(DateTimeToText(At(2013, 3, 10, 0, 0, 0)), "2013.03.10 00:00:00");
  EXPECT_EQ(DateTimeToText(At(2013, 3, 10, 10, 5, 7)), "2013.03.10 10:05:07 ");
  EXPECT_EQ(DateTimeToText(At(2013, 3, 10, 0, 0, 1)), "2013.03.10 00:00:01 ");
  // Half a second past midnight is not midnight, though it prints as such.
  EXPECT_EQ(DateTimeToText(At(2013, 3, 10, 0, 0, 0, 500)), "2013.03.10 00:00:00 ");
  EXPECT_EQ(FormatStamp(At(2013, 3, 10, 10, 5, 7)), "2013.03.10 10:05:07");
  EXPECT_EQ(FormatStamp(At(1999, 12, 31, 23, 59, 59)), "1999.12.31 23:59:59");
}

TEST(DateTimeText, ReadsBothFormsBack) {
  for (const QDateTime& dt : {At(2013, 3, 10, 10, 5, 7), At(2013, 3, 10, 0, 0, 0), At(2000, 2, 29, 23, 59, 59)}) {
    auto general = TextToDateTime(DateTimeToText(dt));
    auto stamp = TextToDateTime(FormatStamp(dt));
    ASSERT_TRUE(general && stamp) << FormatStamp(dt);
    EXPECT_EQ(*general, dt);
    EXPECT_EQ(*stamp, dt);
  }
}

TEST(DateTimeText, ReaderTable) {
  struct Case {
    const char* text;
    bool ok;
    QDateTime expected;
  } cases[] = {
      {"2013.03.10 10:05:07 ", true, At(2013, 3, 10, 10, 5, 7)},
      {"  2013.03.10 10:05:07", true, At(2013, 3, 10, 10, 5, 7)},
      {"2013.3.5 7:04", true, At(2013, 3, 5, 7, 4, 0)},
      {"2013.03.10", true, At(2013, 3, 10, 0, 0, 0)},
      {"2000.01.01 00:00:00", true, At(2000, 1, 1, 0, 0, 0)},
      {"", false, {}},
      {"   ", false, {}},
      {"garbage", false, {}},
      {"2013-03-10 10:05:07", false, {}},
      {"2013.02.30 10:05:07", false, {}},
      {"2013.03.10 24:00:00", false, {}},
      {"2013.03.10 10:60:00", false, {}},
      {"2013.03.10 10:05:07x", false, {}},
      {"2013.03.10 10", false, {}},
      {"2013.03.101 10:05:07", false, {}},
      {"13.03.10 10:05:07", false, {}},
      {"2013.03.10 10:05:007", false, {}},
  };
  for (const auto& c : cases) {
    auto got = TextToDateTime(c.text);
    EXPECT_EQ(got.has_value(), c.ok) << '"' << c.text << '"';
    if (got && c.ok) EXPECT_EQ(*got, c.expected) << c.text;
  }
}

}  // namespace
