#include "net/protocols/mimetypes.h"

#include <gtest/gtest.h>

#include "tests/support/testsupport.h"

using namespace yux::net;

TEST(MimeTypesList, BuiltInTable) {
  TMimeTypesList list;
  list.LoadOSonDemand = false;
  const std::pair<const char*, const char*> cases[] = {
      {".htm", "text/html"},       {".HTML", "text/html"},           {".jpeg", "image/jpeg"},
      {".xhtml", "application/xhtml+xml"}, {".msi", "application/x-msdownload"},
      {".iso", "application/octet-stream"}, {".wmlscriptc", "application/vnd.wap.wmlscriptc"},
      {".mp3", "application/octet-stream"},  // unknown, and no system lookup
      {"", "application/octet-stream"},
  };
  for (auto [ext, type] : cases) EXPECT_EQ(list.ContentTypeForExt(ext), type) << ext;
  EXPECT_EQ(list.ContentTypeForFile("/srv/www/Index.Html"), "text/html");
  EXPECT_EQ(list.ContentTypeForFile("/srv/www.d/README"), "application/octet-stream");
  EXPECT_EQ(list.ExtensionCount(), 26u);
  list.UnknownType = "x/unknown";
  EXPECT_EQ(list.ContentTypeForExt(".nothing"), "x/unknown");
}

TEST(MimeTypesList, AddContentTypeRules) {
  TMimeTypesList list;
  list.LoadOSonDemand = false;
  list.ContentTypeForExt(".htm");  // loads the table
  list.AddContentType(".LOG", "Text/Plain");
  list.AddContentType("log2", "text/plain");  // no dot: ignored
  list.AddContentType(".bad", "noslash");     // no "/": ignored
  list.AddContentType(".htm", "application/x-old-html");  // re-pointed
  EXPECT_EQ(list.ContentTypeForExt(".log"), "text/plain");
  EXPECT_EQ(list.ContentTypeForExt(".log2"), "application/octet-stream");
  EXPECT_EQ(list.ContentTypeForExt(".bad"), "application/octet-stream");
  EXPECT_EQ(list.ContentTypeForExt(".htm"), "application/x-old-html");
  // Setting a different default list reloads from it.
  list.SetDefaultTypes({".abc=application/x-abc", "=bad", ".long=" + std::string(150, 'a') + "/b"});
  EXPECT_EQ(list.ContentTypeForExt(".abc"), "application/x-abc");
  EXPECT_EQ(list.ContentTypeForExt(".htm"), "application/octet-stream");
  EXPECT_EQ(list.ContentTypeForExt(".long"), "application/octet-stream");  // cut to 99: no "/"
}

TEST(MimeTypesList, SystemDatabaseOnDemand) {
  ASSERT_TRUE(std::filesystem::exists(kSystemMimeTypesFile)) << "package media-types";
  TMimeTypesList list;
  EXPECT_TRUE(list.LoadOSonDemand);
  EXPECT_EQ(list.ContentTypeForExt(".gif"), "image/gif");  // from the table
  EXPECT_EQ(list.ContentTypeForExt(".mp3"), "audio/mpeg");  // from the system database
  EXPECT_FALSE(list.LoadOSonDemand);
  // The database wins where it knows the extension; the table fills in
  // what it lacks.
  EXPECT_EQ(list.ContentTypeForExt(".exe"), "application/x-msdos-program");
  EXPECT_EQ(list.ContentTypeForExt(".wmlscriptc"), "application/vnd.wap.wmlscriptc");
  EXPECT_EQ(list.ContentTypeForExt(".no-such-ext"), "application/octet-stream");
}

// Without a readable system database the table in use stays: an unknown
// extension must not cost the known ones.
TEST(MimeTypesList, FailedSystemLoadKeepsTheTable) {
  yux::test::TempDir dir;
  TMimeTypesList list;
  list.SystemTypesFile = (dir / "no-such-mime.types").string();
  EXPECT_EQ(list.ContentTypeForExt(".html"), "text/html");
  EXPECT_EQ(list.ContentTypeForExt(".mp3"), "application/octet-stream");  // the load fails
  EXPECT_FALSE(list.LoadOSonDemand);  // tried once, not at every lookup
  EXPECT_EQ(list.ContentTypeForExt(".html"), "text/html");
  EXPECT_EQ(list.ExtensionCount(), 26u);

  TMimeTypesList os;
  os.MimeTypeSrc = TMimeTypeSrc::MTypeOS;
  os.SystemTypesFile = list.SystemTypesFile;
  EXPECT_FALSE(os.LoadTypeList());
  EXPECT_EQ(os.ContentTypeForExt(".png"), "image/png");  // the built-in list
}

TEST(MimeTypesList, FilesOfBothForms) {
  yux::test::TempDir dir;
  yux::test::WriteFile(dir / "mime.types",
                       "# comment line text/x-no  no\n"
                       "text/x-yux\tyux  yx\r\n"
                       "application/x-thing thing # trailing comment\n"
                       "\n"
                       "image/x-alone\n");
  yux::test::WriteFile(dir / "keys.txt", ".k1=text/k1\r\n.k2=Image/K2\nnot a line\n");

  TMimeTypesList m;
  m.MimeTypeSrc = TMimeTypeSrc::MTypeMimeFile;
  m.MimeTypesFile = (dir / "mime.types").string();
  EXPECT_TRUE(m.LoadTypeList());
  EXPECT_FALSE(m.LoadOSonDemand);
  EXPECT_EQ(m.ContentTypeForExt(".YUX"), "text/x-yux");
  EXPECT_EQ(m.ContentTypeForExt(".yx"), "text/x-yux");
  EXPECT_EQ(m.ContentTypeForExt(".thing"), "application/octet-stream");  // line with "#"
  EXPECT_EQ(m.ContentTypeForExt(".no"), "application/octet-stream");
  EXPECT_EQ(m.ContentTypeForExt(".htm"), "application/octet-stream");  // lists were cleared

  TMimeTypesList k;
  k.LoadOSonDemand = false;
  k.MimeTypeSrc = TMimeTypeSrc::MTypeKeyFile;
  k.MimeTypesFile = (dir / "keys.txt").string();
  EXPECT_EQ(k.ContentTypeForExt(".k2"), "image/k2");
  EXPECT_EQ(k.ExtensionCount(), 2u);

  TMimeTypesList missing;
  missing.MimeTypesFile = (dir / "none").string();
  EXPECT_FALSE(missing.LoadMimeFile(missing.MimeTypesFile));
  EXPECT_EQ(missing.ExtensionCount(), 0u);
  EXPECT_FALSE(missing.LoadFromResource("MIMETYPES"));
}
