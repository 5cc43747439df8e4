#include "net/protocols/urlutils.h"

#include <gtest/gtest.h>

using namespace yux::net;

namespace {

struct UrlCase {
  const char* url;
  const char* current;  // the current path on entry
  const char* proto;
  const char* user;
  const char* pass;
  const char* host;
  const char* port;
  const char* path;
};

}  // namespace

TEST(SplitUrl, TableOfUrls) {
  const UrlCase cases[] = {
      {"http://u:p@h:8080/a/b?x=1", "", "http", "u", "p", "h", "8080", "/a/b?x=1"},
      {"host.example/x", "", "", "", "", "host.example", "", "/x"},
      {"HTTPS://Example.COM", "", "https", "", "", "Example.COM", "", ""},
      // The last "@" ends the user info; the first ":" in it ends the user.
      {"ftp://me:p@ss:w@srv:21/f", "", "ftp", "me", "p@ss:w", "srv", "21", "/f"},
      {"http://user@h/", "", "http", "user", "", "h", "", "/"},
      // IPv6 literals keep their brackets; colons inside are not the port.
      {"http://[::1]:8080/x", "", "http", "", "", "[::1]", "8080", "/x"},
      {"http://[fe80::1%25eth0]/", "", "http", "", "", "[fe80::1%25eth0]", "", "/"},
      {"http://u:p@[2001:db8::7]/", "", "http", "u", "p", "[2001:db8::7]", "", "/"},
      // Query and fragment end the host part and stay in the path.
      {"http://h?q=a@b:c", "", "http", "", "", "h", "", "?q=a@b:c"},
      {"http://h:81#top", "", "http", "", "", "h", "81", "#top"},
      {"http://h/p?q=1#frag", "", "http", "", "", "h", "", "/p?q=1#frag"},
      // Relative forms against the current path.
      {"../c", "/a/b/d", "", "", "", "", "", "/a/c"},
      {"../../../../c", "/a/b/d", "", "", "", "", "", "/c"},
      {"./x.html", "/dir/page.html", "", "", "", "", "", "/dir/x.html"},
      {"./x", "nofolder", "", "", "", "", "", "/x"},
      {"/abs/path?y", "/old", "http", "", "", "", "", "/abs/path?y"},
      {"/", "", "http", "", "", "", "", "/"},
      {"//cdn.example:8443/lib.js", "", "http", "", "", "cdn.example", "8443", "/lib.js"},
      {"http:rel/page", "", "http", "", "", "", "", "rel/page"},
      {"mailto:joe@example.com", "", "mailto", "joe", "", "example.com", "", ""},
      // Text before "://" that is no scheme: parsed from the start as http.
      {"a b://h/x", "", "http", "", "", "a b", "", "//h/x"},
      {"", "/keep", "", "", "", "", "", ""},
  };
  for (const auto& c : cases) {
    std::string proto = "junk", user = "junk", pass = "junk", host = "junk", port = "junk";
    std::string path = c.current;
    SplitUrl(c.url, proto, user, pass, host, port, path);
    SCOPED_TRACE(c.url);
    EXPECT_EQ(proto, c.proto);
    EXPECT_EQ(user, c.user);
    EXPECT_EQ(pass, c.pass);
    EXPECT_EQ(host, c.host);
    EXPECT_EQ(port, c.port);
    EXPECT_EQ(path, c.path);
  }
}

TEST(NetNthPos, FromStartAndFromEnd) {
  EXPECT_EQ(NetNthPos("/", "/a/b", -1), 3);
  EXPECT_EQ(NetNthPos("/", "/a/b", -2), 1);
  EXPECT_EQ(NetNthPos("/", "/a/b", -3), 0);
  EXPECT_EQ(NetNthPos("/", "/a/b", 1), 1);
  EXPECT_EQ(NetNthPos("/", "/a/b", 2), 3);
  EXPECT_EQ(NetNthPos("ab", "xabyab", 2), 6);  // just after the second "ab"
  EXPECT_EQ(NetNthPos("ab", "xabyab", -2), 2);
  EXPECT_EQ(NetNthPos("/", "/a/b", 3), 0);
  EXPECT_EQ(NetNthPos("/", "/a/b", 0), 0);
  EXPECT_EQ(NetNthPos("", "/a/b", 1), 0);
}
