// A child process for the platform tests: holds named objects, listens for
// broadcasts, reports its arguments, descriptors and folder.
#include "platform/broadcast.h"
#include "platform/messages.h"
#include "platform/namedobjects.h"

#include <QCoreApplication>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

using namespace yux::platform;

namespace {

void WriteText(const std::string& path, const std::string& text) {
  std::string tmp = path + ".part";
  {
    std::ofstream(tmp, std::ios::binary) << text;
  }
  std::rename(tmp.c_str(), path.c_str());
}

void Sleep(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 100;
  std::string mode = argv[1];
  if (mode == "argv" && argc >= 3) {
    std::string all;
    for (int i = 3; i < argc; ++i) {
      all += argv[i];
      all.push_back('\0');
    }
    WriteText(argv[2], all);
    return 0;
  }
  if (mode == "exit" && argc >= 3) return std::atoi(argv[2]);
  if (mode == "sleep" && argc >= 3) {
    Sleep(std::atoi(argv[2]));
    return 0;
  }
  if (mode == "ignore-term" && argc >= 3) {
    signal(SIGTERM, SIG_IGN);
    WriteText(argv[2], "ready");
    Sleep(30000);
    return 0;
  }
  if (mode == "cwd" && argc >= 3) {
    char buf[4096];
    WriteText(argv[2], getcwd(buf, sizeof buf) ? buf : "");
    return 0;
  }
  if (mode == "fds" && argc >= 3) {
    std::string list;
    if (DIR* d = opendir("/proc/self/fd")) {
      int own = dirfd(d);
      while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.' || std::atoi(e->d_name) == own) continue;
        list += std::string(e->d_name) + " ";
      }
      closedir(d);
    }
    WriteText(argv[2], list);
    return 0;
  }
  // mutex <name> <hold ms> [ready file] | mutex-crash <name>
  if ((mode == "mutex" && argc >= 4) || (mode == "mutex-crash" && argc >= 3)) {
    auto m = NamedMutex::Create(argv[2]);
    if (!m) return 101;
    std::printf("%s\n", m->AlreadyExisted() ? "exists" : "owned");
    std::fflush(stdout);
    if (mode == "mutex-crash") raise(SIGKILL);
    if (argc >= 5) WriteText(argv[4], "ready");
    Sleep(std::atoi(argv[3]));
    return 0;
  }
  // lockfile <path>: takes the lock on that file, says whether it was free.
  if (mode == "lockfile" && argc >= 3) {
    auto m = NamedMutex::CreateAt(argv[2]);
    if (!m) return 101;
    std::printf("%s\n", m->AlreadyExisted() ? "exists" : "owned");
    return 0;
  }
  // event-set <name>: opens the parent's event and sets it once.
  if (mode == "event-set" && argc >= 3) {
    auto ev = NamedEvent::Open(argv[2]);
    if (!ev) return 102;
    return ev->Set() ? 0 : 103;
  }
  // event-wait <name> <ms>: opens the event, waits once, prints the outcome.
  if (mode == "event-wait" && argc >= 4) {
    auto ev = NamedEvent::Open(argv[2]);
    if (!ev) return 102;
    DWORD r = ev->Wait(static_cast<DWORD>(std::atoi(argv[3])));
    std::printf("%s\n", r == WAIT_OBJECT_0 ? "set" : r == WAIT_TIMEOUT ? "timeout" : "failed");
    return 0;
  }
  // event-create <name> <set 0|1> <hold ms> [ready file]
  if (mode == "event-create" && argc >= 5) {
    auto ev = NamedEvent::Create(argv[2], std::atoi(argv[3]) != 0);
    if (!ev) return 102;
    if (argc >= 6) WriteText(argv[5], "ready");
    Sleep(std::atoi(argv[4]));
    return 0;
  }
  // listen <message name> <ready file> <out file> <ms>: writes the texts of
  // the broadcasts it gets, one a line, and ends after the first or at the
  // time limit.
  if (mode == "listen" && argc >= 6) {
    QCoreApplication app(argc, argv);
    UINT msg = RegisterWindowMessage(argv[2]);
    std::string got;
    bool done = false;
    HWND w = CreateMessageWindow([&](HWND, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
      std::string text;
      if (m == msg && GlobalGetAtomName(static_cast<ATOM>(lp), &text)) {
        got += std::to_string(wp) + ":" + text + "\n";
        done = true;
      }
      return 0;
    });
    if (!RegisterBroadcastReceiver(w)) return 104;
    WriteText(argv[3], "ready");
    WaitPumping([&] { return done; }, static_cast<DWORD>(std::atoi(argv[5])), 10);
    WriteText(argv[4], got);
    return done ? 0 : 105;
  }
  return 100;
}
