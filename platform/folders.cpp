#include "platform/folders.h"

#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace yux::platform {
namespace {

std::string WithoutTrailingSlash(std::string s) {
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

const passwd* OwnEntry() { return getpwuid(geteuid()); }

}  // namespace

std::string ProgramFolder() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return ".";
  return WithoutTrailingSlash(exe.parent_path().string());
}

std::string ConfigHomeFolder() {
  std::string x = Env("XDG_CONFIG_HOME");
  if (!x.empty()) return WithoutTrailingSlash(x);
  return HomeFolder() + "/.config";
}

std::string DataHomeFolder() {
  std::string x = Env("XDG_DATA_HOME");
  if (!x.empty()) return WithoutTrailingSlash(x);
  return HomeFolder() + "/.local/share";
}

std::string ProgramDataFolder() {
  std::string home = Env("YUX_HOME");
  if (!home.empty()) return WithoutTrailingSlash(home);
  std::string prog = ProgramFolder();
  if (access(prog.c_str(), W_OK) == 0) return prog;
  std::string cfg = ConfigHomeFolder() + "/yux";
  std::error_code ec;
  std::filesystem::create_directories(cfg, ec);
  return cfg;
}

std::string SharedDataFolder() {
  std::string shared = Env("YUX_SHARED_DATA");
  if (!shared.empty()) return WithoutTrailingSlash(shared);
  return "/var/lib";
}

std::string TempFolder() {
  std::string t = Env("TMPDIR");
  if (t.empty()) return "/tmp";
  return WithoutTrailingSlash(t);
}

std::string HomeFolder() {
  std::string h = Env("HOME");
  if (h.empty()) {
    if (const passwd* pw = OwnEntry()) h = pw->pw_dir;
  }
  return h.empty() ? "/" : WithoutTrailingSlash(h);
}

bool IsOwnPrivateFolder(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
         (st.st_mode & 0777) == 0700;
}

std::string HostName() {
  char buf[HOST_NAME_MAX + 1] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return "localhost";
  return buf;
}

std::string UserName() {
  if (const passwd* pw = OwnEntry()) return pw->pw_name;
  std::string u = Env("USER");
  return u.empty() ? std::to_string(geteuid()) : u;
}

}  // namespace yux::platform
