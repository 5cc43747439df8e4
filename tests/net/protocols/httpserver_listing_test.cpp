// Directory listings: the page itself, wget -r saving a listed tree and
// a headless browser reading a listing.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "net/protocols/httpserver.h"
#include "platform/messages.h"
#include "tests/peers/httppeers.h"

using namespace yux::net;
using yux::test::ReadFile;
using yux::test::RunPumping;
using yux::test::TempDir;
using yux::test::WriteFile;

namespace fs = std::filesystem;

namespace {

struct ListingFixture : ::testing::Test {
  TempDir root;
  THttpServer server;
  int port = 0;
  void SetUp() override {
    fs::create_directories(root / "www/docs/deep");
    fs::create_directories(root / "www/empty");
    WriteFile(root / "www/readme.txt", "read me");
    WriteFile(root / "www/b&<c>.txt", "odd name");
    WriteFile(root / "www/docs/a b.bin", std::string(70000, 'q'));
    WriteFile(root / "www/docs/deep/z.txt", "zzz");
    WriteFile(root / "www/.hidden", "h");
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    server.SetDocDir((root / "www").string());
    server.Options.Include(hoAllowDirList);
    server.Start();
    port = std::stoi(server.BoundPort());
  }
  std::string Url(const std::string& path) { return yux::test::LoopbackUrl(port, path); }
};

TEST_F(ListingFixture, ListingPageFoldersFirstEscapedAndTotalled) {
  YUX_REQUIRE_PROGRAM("curl");
  server.OnFilterDirEntry = [](THttpServer*, THttpConnection*, THttpDirEntry& e) {
    if (e.Name == ".hidden") e.Visible = false;
  };
  auto r = RunPumping({"curl", "-s", "-i", Url("/")});
  const std::string& page = r.out;
  EXPECT_NE(page.find("Pragma: no-cache\r\n"), std::string::npos);
  EXPECT_NE(page.find("<BODY><P>Directory of /:</P>"), std::string::npos);
  EXPECT_EQ(page.find("[To Parent Directrory]"), std::string::npos);
  EXPECT_EQ(page.find(".hidden"), std::string::npos);
  size_t docs = page.find(">docs</A>"), empty = page.find(">empty</A>"),
         odd = page.find(">b&amp;&lt;c&gt;.txt</A>"), readme = page.find(">readme.txt</A>");
  ASSERT_NE(odd, std::string::npos) << page;
  EXPECT_LT(docs, empty);
  EXPECT_LT(empty, odd);
  EXPECT_LT(odd, readme);
  EXPECT_NE(page.find("HREF=\"/b%26%3Cc%3E.txt\""), std::string::npos);
  EXPECT_NE(page.find("<TD>drw--</TD><TD ALIGN=\"right\"></TD>"), std::string::npos);
  EXPECT_NE(page.find("Total: 4 file(s), 15 byte(s)"), std::string::npos) << page;
  auto sub = RunPumping({"curl", "-s", Url("/docs/")}).out;
  EXPECT_NE(sub.find("<A HREF=\"/\">[To Parent Directrory]</A>"), std::string::npos) << sub;
  EXPECT_NE(sub.find(">70000</TD>"), std::string::npos);
  auto empty2 = RunPumping({"curl", "-s", Url("/empty")}).out;
  EXPECT_NE(empty2.find("<TR><TD>No file</TD></TR>"), std::string::npos);
  EXPECT_NE(empty2.find("<A HREF=\"/\">[To Parent Directrory]</A>"), std::string::npos);
}

TEST_F(ListingFixture, ListingYearsAreNotCutAt2107AndSizesAre64Bit) {
  YUX_REQUIRE_PROGRAM("curl");
  auto when = fs::file_time_type::clock::now() + std::chrono::hours(24 * 365 * 19);
  fs::last_write_time(root / "www/readme.txt", when);
  std::error_code ec;
  // A sparse file above 4 GB costs no disc space.
  {
    std::FILE* f = std::fopen((root / "www/docs/huge.bin").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    fs::resize_file(root / "www/docs/huge.bin", 5000000000ull, ec);
  }
  auto page = RunPumping({"curl", "-s", Url("/")}).out;
  EXPECT_NE(page.find(", 2045</TD>"), std::string::npos) << page;
  if (!ec) {
    auto sub = RunPumping({"curl", "-s", Url("/docs/")}).out;
    EXPECT_NE(sub.find(">5000000000</TD>"), std::string::npos) << sub;
  }
}

TEST_F(ListingFixture, WgetRecursiveCopiesTheListedTreeIdentically) {
  YUX_REQUIRE_PROGRAM("wget");
  fs::remove(root / "www/.hidden");
  TempDir out;
  auto r = RunPumping({"wget", "-nv", "-r", "-np", "-nH", "-e", "robots=off", "-P", out.str(),
                       Url("/")},
                      60000);
  EXPECT_EQ(r.exitCode, 0) << r.err << r.out;
  for (const char* f : {"readme.txt", "b&<c>.txt", "docs/a b.bin", "docs/deep/z.txt"}) {
    SCOPED_TRACE(f);
    EXPECT_EQ(ReadFile(out / f), ReadFile(root / "www" / f));
  }
  EXPECT_TRUE(fs::is_directory(out / "empty"));
}

TEST_F(ListingFixture, HeadlessBrowserReadsTheListing) {
  YUX_REQUIRE_PROGRAM("chromium");
  TempDir profile;
  auto r = RunPumping({"chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                       "--disable-background-networking", "--user-data-dir=" + profile.str(),
                       "--dump-dom", Url("/docs/")},
                      60000);
  EXPECT_EQ(r.exitCode, 0) << r.err.substr(0, 2000);
  EXPECT_NE(r.out.find("Directory of /docs/:"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("a b.bin</a>"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("[To Parent Directrory]"), std::string::npos);
}

}  // namespace
