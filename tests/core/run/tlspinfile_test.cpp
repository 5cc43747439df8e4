// The file of the TLS servers seen, as it may be found at its path: what
// stands there is read and written only when it is a regular file of its
// own, never through a symbolic link, and nothing in its place holds the
// program up.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/run/tlsidentity.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

unsigned ModeOf(const fs::path& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

}  // namespace

// A symbolic link planted at the file's path: the server is refused with a
// line naming the link, and the file it points to is neither read (its
// line would let a server through), nor written, nor made private, nor
// made where it is missing.
TEST(TlsServersFileLink, IsRefusedAndNeverFollowed) {
  const TlsPeer peer{"k:1", "F1", false, "no authority"};
  const struct {
    const char* name;
    const char* target;  // what the link points to holds; nullptr: nothing
  } cases[] = {{"to a file that remembers the server", "k:1 F1\n"},
               {"to a file without the server", "other:1 F9\n"},
               {"to nothing", nullptr}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const fs::path target = dir / "elsewhere.txt";
    const std::string file = (dir / "tlsservers.txt").string();
    if (c.target) {
      test::WriteFile(target, c.target);
      ASSERT_EQ(::chmod(target.c_str(), 0644), 0);
    }
    fs::create_symlink(target, file);
    std::vector<std::string> lines;
    EXPECT_FALSE(AcceptTlsPeer(peer, file, [&](const std::string& l) { lines.push_back(l); }));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind(file + " is a symbolic link (to " + target.string() + "), not a regular file: the "
                                    "certificate of TLS server k:1 cannot be checked, session ended before the "
                                    "login. [!]",
                             0),
              0u)
        << lines[0];
    EXPECT_EQ(lines[0].find("Too many levels"), std::string::npos) << lines[0];
    if (c.target) {
      EXPECT_EQ(test::ReadFile(target), c.target);
      EXPECT_EQ(ModeOf(target), 0644u);
    } else {
      EXPECT_FALSE(fs::exists(target));
    }
    EXPECT_TRUE(fs::is_symlink(file));
    // Written to directly, the same.
    EXPECT_THROW(AppendTlsPin(file, "", "k:1", "F1"), std::runtime_error);
    EXPECT_EQ(c.target ? test::ReadFile(target) : std::string(), c.target ? c.target : "");
  }
}

// Adding a server to what stands at the path: a regular file gets its line
// and is made private; a folder or a FIFO is refused at once (a FIFO
// without a reader would block the open for ever).
TEST(TlsServersFileAppend, OnlyARegularFileTakesALine) {
  const struct {
    const char* name;
    std::function<void(const fs::path&)> make;
    bool written;
  } cases[] = {
      {"a file open to all",
       [](const fs::path& p) {
         test::WriteFile(p, "other:1 F9\n");
         ::chmod(p.c_str(), 0666);
       },
       true},
      {"no file", [](const fs::path&) {}, true},
      {"a folder", [](const fs::path& p) { fs::create_directory(p); }, false},
      {"a FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    const fs::path file = dir / "tlsservers.txt";
    c.make(file);
    const std::string before = fs::is_regular_file(file) ? test::ReadFile(file) : "";
    if (c.written) {
      AppendTlsPin(file.string(), before, "k:1", "F1");
      EXPECT_EQ(test::ReadFile(file), before + "k:1 F1\n");
      EXPECT_EQ(ModeOf(file), 0600u);
    } else {
      try {
        AppendTlsPin(file.string(), before, "k:1", "F1");
        ADD_FAILURE() << "written";
      } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), file.string() + " is not a regular file");
      }
    }
  }
}
