#include "platform/broadcast.h"
#include "platform/namedobjects.h"
#include "platform/process.h"
#include "tests/platform/scoped_env.h"
#include "tests/support/testsupport.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include <chrono>
#include <filesystem>
#include <map>
#include <thread>
#include <vector>

using namespace yux::platform;
using yux::test::ScopedEnv;

namespace {

const std::string kHelper = YUX_PLATFORM_HELPER;

yux::test::ProcessResult Helper(const std::vector<std::string>& args, int timeoutMs = 20000) {
  std::vector<std::string> argv{kHelper};
  argv.insert(argv.end(), args.begin(), args.end());
  return yux::test::RunProgram(argv, {}, timeoutMs);
}

// Starts the helper in the background and waits for its ready file.
std::unique_ptr<Process> StartReady(const std::string& params, const std::filesystem::path& ready) {
  auto p = Process::Start(kHelper, params);
  if (!p) return nullptr;
  for (int i = 0; i < 1000 && !std::filesystem::exists(ready); ++i) {
    if (!p->Running()) return nullptr;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return std::filesystem::exists(ready) ? std::move(p) : nullptr;
}

}  // namespace

TEST(RuntimeFolder, PerUserPrivateAndSeparatedByNamespace) {
  yux::test::TempDir tmp;
  {
    ScopedEnv xdg("XDG_RUNTIME_DIR", tmp.str());
    ScopedEnv ns("YUX_NS", std::nullopt);
    EXPECT_EQ(RuntimeFolder(), tmp.str() + "/yux");
    ScopedEnv ns2("YUX_NS", "a/b");
    std::string f = RuntimeFolder();
    EXPECT_EQ(f, tmp.str() + "/yux/ns-a%2Fb");
    struct stat st{};
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
  }
  {
    ScopedEnv xdg("XDG_RUNTIME_DIR", std::nullopt);
    ScopedEnv ns("YUX_NS", std::nullopt);
    EXPECT_EQ(RuntimeFolder(), "/tmp/yux-" + std::to_string(geteuid()));
  }
  // A folder open to others is not used.
  ScopedEnv xdg("XDG_RUNTIME_DIR", tmp.str());
  ScopedEnv ns("YUX_NS", std::nullopt);
  chmod((tmp.str() + "/yux").c_str(), 0777);
  EXPECT_EQ(RuntimeFolder(), "");
}

TEST(ObjectNames, ExactCaseSensitiveAndBackslashIsNoSeparator) {
  EXPECT_EQ(ObjectFileName("YUX_SECOND_INSTANCE"), "YUX_SECOND_INSTANCE");
  EXPECT_NE(ObjectFileName("Name"), ObjectFileName("name"));
  EXPECT_EQ(ObjectFileName("a\\b/c"), "a%5Cb%2Fc");
  EXPECT_EQ(ObjectFileName(".."), "%2E.");
  yux::test::ScopedNamespace ns;
  auto a = NamedMutex::Create("Global\\X");
  auto b = NamedMutex::Create("global\\X");
  ASSERT_TRUE(a && b);
  EXPECT_FALSE(a->AlreadyExisted());
  EXPECT_FALSE(b->AlreadyExisted());
}

TEST(NamedMutex, HeldByOneProcessRefusedToAnotherFreedWhenHolderEnds) {
  yux::test::ScopedNamespace ns;
  {
    auto mine = NamedMutex::Create("YUX_SECOND_INSTANCE");
    ASSERT_TRUE(mine);
    EXPECT_FALSE(mine->AlreadyExisted());
    EXPECT_EQ(Helper({"mutex", "YUX_SECOND_INSTANCE", "0"}).out, "exists\n");
    // Within one process a second create also finds it taken.
    auto again = NamedMutex::Create("YUX_SECOND_INSTANCE");
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->AlreadyExisted());
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  }
  EXPECT_EQ(Helper({"mutex", "YUX_SECOND_INSTANCE", "0"}).out, "owned\n");

  // A holder that crashes releases it.
  auto crash = Helper({"mutex-crash", "YUX_SECOND_INSTANCE"});
  EXPECT_EQ(crash.out, "owned\n");
  EXPECT_EQ(crash.exitCode, 128 + 9);
  auto after = NamedMutex::Create("YUX_SECOND_INSTANCE");
  ASSERT_TRUE(after);
  EXPECT_FALSE(after->AlreadyExisted());
}

TEST(NamedMutex, ChildHoldsItWhileRunning) {
  yux::test::ScopedNamespace ns;
  yux::test::TempDir tmp;
  auto ready = tmp / "ready";
  auto child = StartReady("mutex M 30000 " + ready.string(), ready);
  ASSERT_TRUE(child);
  auto refused = NamedMutex::Create("M");
  ASSERT_TRUE(refused);
  EXPECT_TRUE(refused->AlreadyExisted());
  refused.reset();
  // Children do not inherit our lock: a spawned grandchild would otherwise
  // keep it after the holder ends.
  child->Terminate(0, 2000);
  auto owned = NamedMutex::Create("M");
  ASSERT_TRUE(owned);
  EXPECT_FALSE(owned->AlreadyExisted());
}

TEST(NamedMutex, DifferentNamespacesDoNotMeet) {
  yux::test::ScopedNamespace ns;
  auto mine = NamedMutex::Create("YUX_SECOND_INSTANCE");
  ASSERT_TRUE(mine && !mine->AlreadyExisted());
  std::string other = yux::test::UniqueNamespace();
  auto r = yux::test::RunProgram({kHelper, "mutex", "YUX_SECOND_INSTANCE", "0"}, {{"YUX_NS", other}});
  EXPECT_EQ(r.out, "owned\n");
  ScopedEnv cleanup("YUX_NS", other);
  std::filesystem::remove_all(RuntimeFolder());
}

TEST(NamedMutex, OnAFileMeetsProcessesOfEveryRuntimeFolder) {
  yux::test::ScopedNamespace ns;
  yux::test::TempDir tmp;
  const std::string path = (tmp / "yux.lock").string();
  // One process with a runtime folder of its own, one with none at all
  // (started from cron): both meet on the file beside the data.
  const std::map<std::string, std::string> envs[] = {
      {{"YUX_NS", yux::test::UniqueNamespace()}},
      {{"YUX_NS", yux::test::UniqueNamespace()}, {"XDG_RUNTIME_DIR", ""}},
  };
  {
    auto mine = NamedMutex::CreateAt(path);
    ASSERT_TRUE(mine);
    EXPECT_FALSE(mine->AlreadyExisted());
    struct stat st{};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    for (const auto& env : envs) EXPECT_EQ(yux::test::RunProgram({kHelper, "lockfile", path}, env).out, "exists\n");
    auto again = NamedMutex::CreateAt(path);
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->AlreadyExisted());
  }
  EXPECT_EQ(yux::test::RunProgram({kHelper, "lockfile", path}, envs[1]).out, "owned\n");
  // No file to lock: no handle, and no claim that another holds it.
  EXPECT_EQ(NamedMutex::CreateAt((tmp / "missing" / "yux.lock").string()), nullptr);
  EXPECT_EQ(NamedMutex::CreateAt(""), nullptr);
}

TEST(NamedEvent, SetInOneProcessIsSeenExactlyOnceByAnother) {
  yux::test::ScopedNamespace ns;
  auto ev = NamedEvent::Create("YUX4WINRAR_SCHEDULER", false);
  ASSERT_TRUE(ev);
  EXPECT_FALSE(ev->AlreadyExisted());
  EXPECT_EQ(ev->Wait(0), WAIT_TIMEOUT);

  // Child sets, we consume once.
  ASSERT_EQ(Helper({"event-set", "YUX4WINRAR_SCHEDULER"}).exitCode, 0);
  EXPECT_EQ(ev->Wait(0), WAIT_OBJECT_0);
  EXPECT_EQ(ev->Wait(0), WAIT_TIMEOUT);

  // We set, the child consumes; nothing is left for us.
  ASSERT_TRUE(ev->Set());
  EXPECT_EQ(Helper({"event-wait", "YUX4WINRAR_SCHEDULER", "0"}).out, "set\n");
  EXPECT_EQ(ev->Wait(0), WAIT_TIMEOUT);
  EXPECT_EQ(Helper({"event-wait", "YUX4WINRAR_SCHEDULER", "0"}).out, "timeout\n");

  // A timed wait in the child sees a set that comes later.
  auto waiter = Process::Start(kHelper, "event-wait YUX4WINRAR_SCHEDULER 10000");
  ASSERT_TRUE(waiter);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ev->Set();
  ASSERT_EQ(waiter->Wait(10000), WAIT_OBJECT_0);
  EXPECT_EQ(ev->Wait(0), WAIT_TIMEOUT);

  ev->Set();
  ev->Reset();
  EXPECT_EQ(ev->Wait(30), WAIT_TIMEOUT);
}

TEST(NamedEvent, SecondInstanceSignalReachesOpenerAndDiesWithItsHolders) {
  yux::test::ScopedNamespace ns;
  yux::test::TempDir tmp;
  EXPECT_EQ(NamedEvent::Open("YUX4WINRAR_SCHEDULER"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  // The second instance creates it signalled and holds it for a while.
  auto ready = tmp / "ready";
  auto second = StartReady("event-create YUX4WINRAR_SCHEDULER 1 30000 " + ready.string(), ready);
  ASSERT_TRUE(second);
  {
    auto ev = NamedEvent::Open("YUX4WINRAR_SCHEDULER");
    ASSERT_TRUE(ev);
    EXPECT_EQ(ev->Wait(0), WAIT_OBJECT_0);
    EXPECT_EQ(ev->Wait(0), WAIT_TIMEOUT);
    ev->Set();  // left set when every holder goes
  }
  second->Terminate(0, 2000);
  EXPECT_EQ(NamedEvent::Open("YUX4WINRAR_SCHEDULER"), nullptr);
  // The next start does not inherit the stale "set".
  auto fresh = NamedEvent::Create("YUX4WINRAR_SCHEDULER", false);
  ASSERT_TRUE(fresh);
  EXPECT_FALSE(fresh->AlreadyExisted());
  EXPECT_EQ(fresh->Wait(0), WAIT_TIMEOUT);
}

TEST(Broadcast, ReachesAListeningProcessWithItsAtomText) {
  yux::test::ScopedNamespace ns;
  yux::test::TempDir tmp;
  auto ready = tmp / "ready";
  auto out = tmp / "out";
  auto listener = StartReady("listen YUXParamData " + ready.string() + " " + out.string() + " 10000", ready);
  ASSERT_TRUE(listener);

  // A stale socket of a process that is gone is skipped and removed.
  std::string stale = RuntimeFolder() + "/bc-999999999";
  {
    int s = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, stale.c_str(), sizeof a.sun_path - 1);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    close(s);
  }

  std::string text = "K/home/user/My Documents/report (1).txt";
  ATOM atom = GlobalAddAtom(text);
  ASSERT_NE(atom, 0);
  EXPECT_EQ(BroadcastAtomMessage("YUXParamData", 0, atom), 1);
  EXPECT_EQ(GlobalDeleteAtom(atom), 0);
  EXPECT_FALSE(std::filesystem::exists(stale));
  ASSERT_EQ(listener->Wait(10000), WAIT_OBJECT_0);
  EXPECT_EQ(listener->ExitCode(), 0u);
  EXPECT_EQ(yux::test::ReadFile(out), "0:" + text + "\n");

  // Other namespaces hear nothing.
  {
    yux::test::ScopedNamespace other;
    EXPECT_EQ(BroadcastTextMessage("YUXParamData", 0, "Rx"), 0);
  }
  EXPECT_EQ(BroadcastTextMessage("YUXParamData", 0, std::string(256, 'x')), -1);
}

TEST(Broadcast, ReceiverInThisProcessGetsAPostedMessage) {
  yux::test::ScopedNamespace ns;
  UINT msg = RegisterWindowMessage("YUXParamData");
  std::string got;
  HWND w = CreateMessageWindow([&](HWND, UINT m, WPARAM, LPARAM lp) -> LRESULT {
    if (m == msg) GlobalGetAtomName(static_cast<ATOM>(lp), &got);
    return 0;
  });
  ASSERT_TRUE(RegisterBroadcastReceiver(w));
  EXPECT_GE(BroadcastTextMessage("YUXParamData", 0, "R/tmp/x"), 1);
  EXPECT_TRUE(WaitPumping([&] { return !got.empty(); }, 5000, 5));
  EXPECT_EQ(got, "R/tmp/x");
  UnregisterBroadcastReceiver(w);
  DestroyWindow(w);
}

// Datagrams the listener cannot turn into a message (no name) must not
// leave their text in the atom table: a peer sending them repeatedly would
// otherwise fill it.
TEST(Broadcast, UnusableDatagramsLeaveNoAtomBehind) {
  yux::test::ScopedNamespace ns;
  UINT msg = RegisterWindowMessage("YUXParamData");
  std::vector<std::string> got;
  HWND w = CreateMessageWindow([&](HWND, UINT m, WPARAM, LPARAM lp) -> LRESULT {
    std::string t;
    if (m == msg && GlobalGetAtomName(static_cast<ATOM>(lp), &t)) got.push_back(t);
    return 0;
  });
  ASSERT_TRUE(RegisterBroadcastReceiver(w));
  std::string path = RuntimeFolder() + "/bc-" + std::to_string(getpid());
  int s = socket(AF_UNIX, SOCK_DGRAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  const std::string bad = std::string("YUXB1") + '\0' + "" + '\0' + "0" + '\0' + "Tunusable";
  ASSERT_EQ(sendto(s, bad.data(), bad.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a), ssize_t(bad.size()));
  close(s);
  // A good one behind it shows that the bad one was read.
  EXPECT_GE(BroadcastTextMessage("YUXParamData", 0, "Tgood"), 1);
  EXPECT_TRUE(WaitPumping([&] { return !got.empty(); }, 5000, 5));
  EXPECT_EQ(got, std::vector<std::string>{"Tgood"});
  ATOM t = GlobalAddAtom("Tunusable");
  ASSERT_NE(t, 0);
  GlobalDeleteAtom(t);
  EXPECT_FALSE(GlobalGetAtomName(t, nullptr)) << "the unusable datagram's atom was kept";
  UnregisterBroadcastReceiver(w);
  DestroyWindow(w);
}

TEST(Atoms, AddGetDeleteAndLengthLimit) {
  ATOM a = GlobalAddAtom("Kpath");
  ASSERT_GE(a, 0xC000);
  EXPECT_EQ(GlobalAddAtom("Kpath"), a);  // a second reference
  EXPECT_NE(GlobalAddAtom("KPATH"), a);   // paths differ by case here
  std::string t;
  ASSERT_TRUE(GlobalGetAtomName(a, &t));
  EXPECT_EQ(t, "Kpath");
  EXPECT_EQ(GlobalDeleteAtom(a), 0);
  EXPECT_TRUE(GlobalGetAtomName(a, &t));  // one reference left
  EXPECT_EQ(GlobalDeleteAtom(a), 0);
  EXPECT_FALSE(GlobalGetAtomName(a, &t));
  EXPECT_EQ(GlobalDeleteAtom(a), a);

  std::string max(255, 'x');
  ATOM m = GlobalAddAtom(max);
  ASSERT_NE(m, 0);
  ASSERT_TRUE(GlobalGetAtomName(m, &t));
  EXPECT_EQ(t, max);
  SetLastError(0);
  EXPECT_EQ(GlobalAddAtom(max + "y"), 0);  // refused, never cut short
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GlobalAddAtom(""), 0);
}
