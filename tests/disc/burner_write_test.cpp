#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "disc/commonlib.h"
#include "disc/iso9660.h"
#include "tests/disc/burner_fixture.h"

using namespace yux::disc;
using namespace yux::platform;
using yux::disc::test::BurnerFixture;
using yux::disc::test::Md5Of;
using yux::test::RunProgram;

namespace {

// Copies the first `blocks` blocks of the drive's image into a file of its
// own, as a reader would see a disc holding that much.
std::string CutImage(BurnerFixture& f, const std::string& name, uint32_t blocks) {
  const std::string path = (f.dir / name).string();
  const auto data = f.drive->ReadBlocks(0, blocks);
  yux::test::WriteFile(path, std::string(data.begin(), data.end()));
  return path;
}

void ExpectExtracted(const std::filesystem::path& out, const std::map<std::string, std::string>& files) {
  for (auto& [disc, src] : files) {
    const auto p = out / std::filesystem::u8path(disc);
    ASSERT_TRUE(std::filesystem::exists(p)) << disc;
    EXPECT_EQ(Md5Of(p.string()), Md5Of(src)) << disc;
  }
}

}  // namespace

TEST(BurnerWrite, TwoSessionCdrIsReadBackByEveryReader) {
  YUX_REQUIRE_PROGRAM("isoinfo");
  YUX_REQUIRE_PROGRAM("xorriso");
  YUX_REQUIRE_PROGRAM("udfinfo");
  YUX_REQUIRE_PROGRAM("7z");
  BurnerFixture f(kProfileCdR);
  auto& b = *f.burner;
  b.SetVolumeID("YUX-BACKUP");
  b.SetReplaceFile(true);
  b.SetUDFBridge(true);
  b.SetCacheSize(2);
  const auto a = f.Source("first-2024-01-01.rar", 3000000, 1);
  const auto c = f.Source("notes.txt", 777, 2);
  b.ClearFiles();
  ASSERT_NE(b.InsertFile("\\", a), nullptr);
  ASSERT_NE(b.InsertFile("\\", c), nullptr);
  b.PrepareImage();
  ASSERT_TRUE(f.Write());
  const uint32_t end1 = b.GetImageBlocks();
  EXPECT_EQ(b.GetWrittenBlocks(), end1);
  EXPECT_EQ(b.GetSessionCount(), 1);

  const auto d = f.Source("second-2024-01-02.rar", 1500000, 3);
  b.ClearFiles();
  ASSERT_NE(b.InsertFile("\\", d), nullptr);
  EXPECT_EQ(b.ImportSession(0, "\\"), 1);
  b.PrepareImage();
  ASSERT_TRUE(f.Write());
  EXPECT_EQ(b.GetSessionCount(), 2);
  const uint32_t start = b.Context().tree.layout.sessionStart;
  const uint32_t end2 = start + b.GetImageBlocks();
  ASSERT_GT(start, end1);

  const std::string img = f.ImagePath();
  auto info = RunProgram({"isoinfo", "-i", img, "-T", std::to_string(start), "-l", "-J"});
  for (const char* n : {"first-2024-01-01.rar", "notes.txt", "second-2024-01-02.rar"})
    EXPECT_NE(info.out.find(n), std::string::npos) << n << "\n" << info.out << info.err;

  const auto xo = f.dir / "xorriso";
  auto x = RunProgram({"xorriso", "-osirrox", "on", "-load", "sbsector", std::to_string(start),
                       "-indev", img, "-extract", "/", xo.string()});
  ASSERT_EQ(x.exitCode, 0) << x.err;
  ExpectExtracted(xo, {{"first-2024-01-01.rar", a}, {"notes.txt", c}, {"second-2024-01-02.rar", d}});

  // UDF: each session carries its own bridge. The strict check passes on
  // both; pointed at the second session it finds that session's volume.
  const std::string s1 = CutImage(f, "s1.img", end1), s2 = CutImage(f, "s2.img", end2);
  auto u1 = RunProgram({"udfinfo", s1});
  EXPECT_EQ(u1.exitCode, 0) << u1.out << u1.err;
  EXPECT_NE(u1.out.find("numfiles=2\n"), std::string::npos) << u1.out;
  auto u2 = RunProgram({"udfinfo", "--startblock=" + std::to_string(start), s2});
  EXPECT_EQ(u2.exitCode, 0) << u2.out << u2.err;
  EXPECT_NE(u2.out.find("startblock=" + std::to_string(start) + "\n"), std::string::npos) << u2.out;
  EXPECT_NE(u2.out.find("integrity=closed"), std::string::npos) << u2.out;
  EXPECT_NE(u2.out.find("numfiles=3\n"), std::string::npos) << u2.out;

  const auto z1 = f.dir / "7z";
  auto z = RunProgram({"7z", "x", "-tudf", "-y", "-o" + z1.string(), s1});
  ASSERT_EQ(z.exitCode, 0) << z.out << z.err;
  ExpectExtracted(z1, {{"first-2024-01-01.rar", a}, {"notes.txt", c}});
}

namespace {

std::vector<uint32_t> WriteLbas(BurnerFixture& f) {
  std::vector<uint32_t> lbas;
  for (auto& e : f.drive->Log())
    if (e.Opcode() == 0x2A) lbas.push_back(GetBe32(&e.cdb[2]));
  return lbas;
}

}  // namespace

// A DVD+RW grows one volume: the second session follows the first, and the
// descriptors at block 0 are rewritten last to describe the grown volume.
TEST(BurnerWrite, TwoSessionDvdPlusRwGrowsOneVolume) {
  YUX_REQUIRE_PROGRAM("isoinfo");
  YUX_REQUIRE_PROGRAM("xorriso");
  YUX_REQUIRE_PROGRAM("udfinfo");
  YUX_REQUIRE_PROGRAM("7z");
  BurnerFixture f(kProfileDvdPlusRw, 200000);
  auto& b = *f.burner;
  b.SetVolumeID("YUX-BACKUP");
  b.SetReplaceFile(true);
  b.SetUDFBridge(true);
  const auto a = f.Source("a.rar", 1000000, 1), c = f.Source("Überweisung 2024.txt", 5000, 2);
  ASSERT_NE(b.InsertFile("\\", a), nullptr);
  ASSERT_NE(b.InsertFile("\\", c), nullptr);
  b.PrepareImage();
  ASSERT_TRUE(f.Write());
  const uint32_t end1 = b.GetImageBlocks();
  EXPECT_EQ(b.Context().device.GetISOVolumeSize(), end1);

  const auto newA = f.Source("a.rar", 70000, 3), d = f.Source("d.rar", 400000, 4);
  b.ClearFiles();
  ASSERT_NE(b.InsertFile("\\", newA), nullptr);
  ASSERT_NE(b.InsertFile("\\", d), nullptr);
  b.ImportSession(0, "\\");
  b.PrepareImage();
  f.drive->ClearLog();
  ASSERT_TRUE(f.Write());
  const uint32_t start = b.Context().tree.layout.sessionStart;
  EXPECT_EQ(start, end1);
  const auto lbas = WriteLbas(f);
  ASSERT_FALSE(lbas.empty());
  EXPECT_EQ(lbas.front(), start);
  ASSERT_GE(lbas.size(), 2u);
  // The descriptors at block 0, then the bridge's anchor at 256, go last.
  EXPECT_EQ(lbas[lbas.size() - 2], 0u);
  EXPECT_EQ(lbas.back(), 256u);
  EXPECT_EQ(b.Context().device.GetISOVolumeSize(), start + b.GetImageBlocks());

  const std::string img = f.ImagePath();
  auto info = RunProgram({"isoinfo", "-i", img, "-l", "-J"});
  for (const char* n : {"a.rar", "d.rar"})
    EXPECT_NE(info.out.find(n), std::string::npos) << n << "\n" << info.out << info.err;
  const auto xo = f.dir / "xorriso";
  auto x = RunProgram({"xorriso", "-osirrox", "on", "-indev", img, "-extract", "/", xo.string()});
  ASSERT_EQ(x.exitCode, 0) << x.err;
  ExpectExtracted(xo, {{"a.rar", newA}, {"Überweisung 2024.txt", c}, {"d.rar", d}});

  // The bridge of the grown volume lists the carried file as well.
  const std::string whole = CutImage(f, "grown.img", start + b.GetImageBlocks());
  auto u = RunProgram({"udfinfo", whole});
  EXPECT_EQ(u.exitCode, 0) << u.out << u.err;
  EXPECT_NE(u.out.find("numfiles=3\n"), std::string::npos) << u.out;
  const auto z1 = f.dir / "7z";
  auto z = RunProgram({"7z", "x", "-tudf", "-y", "-o" + z1.string(), whole});
  ASSERT_EQ(z.exitCode, 0) << z.out << z.err;
  ExpectExtracted(z1, {{"a.rar", newA}, {"Überweisung 2024.txt", c}, {"d.rar", d}});
}

// An abort in the middle of a second session on a DVD+RW leaves the first
// session readable (block 0 untouched), and the next write works.
TEST(BurnerWrite, AbortMidWriteThenWriteAgain) {
  YUX_REQUIRE_PROGRAM("isoinfo");
  BurnerFixture f(kProfileDvdPlusRw, 200000);
  auto& b = *f.burner;
  b.SetReplaceFile(true);
  b.SetCacheSize(2);
  const auto a = f.Source("a.rar", 300000, 1);
  ASSERT_NE(b.InsertFile("\\", a), nullptr);
  b.PrepareImage();
  ASSERT_TRUE(f.Write());
  const auto head = f.drive->ReadBlocks(0, 32);

  b.ClearFiles();
  ASSERT_NE(b.InsertFile("\\", f.Source("big.rar", 6000000, 2)), nullptr);
  b.ImportSession(0, "\\");
  b.PrepareImage();
  bool aborted = false;
  // The drive's clock runs at every command: abort once 128 blocks are down.
  f.drive->clock = [&]() -> uint64_t {
    if (!aborted && b.GetWrittenBlocks() >= 128) {
      aborted = true;
      b.AbortWrite();
    }
    return 0;
  };
  EXPECT_FALSE(f.Write());
  f.drive->clock = nullptr;
  ASSERT_TRUE(aborted);
  EXPECT_TRUE(f.writeFailed);
  EXPECT_LT(b.GetWrittenBlocks(), b.GetImageBlocks());
  EXPECT_EQ(b.ErrorCode(), errAborted);
  EXPECT_EQ(f.drive->ReadBlocks(0, 32), head);
  auto info = RunProgram({"isoinfo", "-i", f.ImagePath(), "-l", "-J"});
  EXPECT_NE(info.out.find("a.rar"), std::string::npos) << info.out << info.err;
  EXPECT_EQ(info.out.find("big.rar"), std::string::npos) << info.out;

  // The stop flag does not outlive the aborted write.
  ASSERT_TRUE(f.Write());
  EXPECT_EQ(b.GetWrittenBlocks(), b.GetImageBlocks());
  const auto v = f.Verify();
  EXPECT_FALSE(v.failed);
  EXPECT_EQ(v.files.size(), 1u);  // big.rar; a.rar came from the first session
  info = RunProgram({"isoinfo", "-i", f.ImagePath(), "-l", "-J"});
  EXPECT_NE(info.out.find("big.rar"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("a.rar"), std::string::npos) << info.out;
}

// The write reports failure when the drive refuses to flush or close, and
// when a source vanished after the layout.
TEST(BurnerWrite, FailuresAreReportedAsFailures) {
  struct Case {
    const char* what;
    uint16_t profile;
    uint8_t failOpcode;  // 0: none
    bool deleteSource;
  };
  const Case cases[] = {
      {"SYNCHRONIZE CACHE refused", kProfileCdR, 0x35, false},
      {"CLOSE TRACK/SESSION refused", kProfileCdR, 0x5B, false},
      {"DVD+RW close refused", kProfileDvdPlusRw, 0x5B, false},
      {"WRITE refused", kProfileDvdPlusRw, 0x2A, false},
      {"source deleted", kProfileCdR, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BurnerFixture f(c.profile, 100000);
    auto& b = *f.burner;
    const auto src = f.Source("x.rar", 200000, 1);
    ASSERT_NE(b.InsertFile("\\", src), nullptr);
    b.PrepareImage();
    if (c.failOpcode) f.drive->FailOpcode(c.failOpcode);
    if (c.deleteSource) std::filesystem::remove(src);
    EXPECT_FALSE(f.Write());
    EXPECT_TRUE(f.writeDone);
    EXPECT_TRUE(f.writeFailed);
    EXPECT_FALSE(b.Busy());
  }
}

TEST(BurnerWrite, LargestCacheHoldsAndSmallCacheIsRaised) {
  BurnerFixture f(kProfileDvdPlusRw, 100000);
  auto& b = *f.burner;
  EXPECT_EQ(b.CacheSize(), 32u);
  b.SetCacheSize(1);
  EXPECT_EQ(b.CacheSize(), 2u);
  b.SetCacheSize(1024);
  EXPECT_EQ(b.CacheSize(), 1024u);
  const auto src = f.Source("x.rar", 3000000, 1);
  ASSERT_NE(b.InsertFile("\\", src), nullptr);
  b.PrepareImage();
  ASSERT_TRUE(f.Write());
  EXPECT_EQ(b.Context().capacityBlocks, 10000u);  // the queue's entry cap
  EXPECT_EQ(b.GetWrittenBlocks(), b.GetImageBlocks());
  EXPECT_EQ(b.GetVerifyTotal(), uint32_t(BytesToSectors(3000000)));
}

// One worker at a time; without an owner the events run on the worker.
TEST(BurnerWrite, OneWorkerAtATimeAndEventsWithoutOwner) {
  BurnerFixture f(kProfileCdRw, 100000, /*withOwner=*/false);
  auto& b = *f.burner;
  EXPECT_EQ(b.Window(), 0u);
  std::atomic<bool> done{false};
  std::thread::id eventThread;
  bool secondStarted = true;
  b.OnWriteDone = [&](TLCDBurnerPro*, uint8_t id, bool failed) {
    EXPECT_EQ(id, 0);
    EXPECT_FALSE(failed);
    eventThread = std::this_thread::get_id();
    done = true;
  };
  f.drive->clock = [&]() -> uint64_t {
    if (b.State() == stWriting && secondStarted) secondStarted = b.EraseDisc(true);
    return 0;
  };
  ASSERT_NE(b.InsertFile("\\", f.Source("x.rar", 100000, 1)), nullptr);
  b.PrepareImage();
  ASSERT_TRUE(b.WriteDisc());
  for (int i = 0; i < 2000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  f.drive->clock = nullptr;
  ASSERT_TRUE(done);
  EXPECT_FALSE(secondStarted);
  EXPECT_NE(eventThread, std::this_thread::get_id());
}

TEST(BurnerComponent, PropertiesAndFileNames) {
  BurnerFixture f(kProfileCdR);
  auto& b = *f.burner;
  EXPECT_TRUE(b.BurnProof());
  EXPECT_FALSE(b.TestWrite());
  EXPECT_TRUE(b.JolietFileSystem());
  EXPECT_FALSE(b.UDFBridge());
  EXPECT_NE(b.Version().find("1.25"), std::string::npos);

  const auto boot = f.Source("boot.img", 2048, 1), bad = f.Source("bad.img", 2000, 2);
  b.SetBootImage(boot);
  b.SetBootImage(bad);
  EXPECT_EQ(b.BootImage(), boot);
  b.SetBootImage("");
  EXPECT_EQ(b.BootImage(), boot);

  b.SetVolumeID(std::string(40, 'v'));
  EXPECT_EQ(b.VolumeIDWide().size(), 32u);

  ASSERT_NE(b.InsertFile("\\", f.Source("one.rar", 10, 3)), nullptr);
  ASSERT_NE(b.InsertFile("\\", f.Source("two.rar", 10, 4)), nullptr);
  EXPECT_EQ(b.GetFileName(1), u"two.rar");
  EXPECT_EQ(b.GetFileName(b.GetFileCount()), u"");
  EXPECT_EQ(b.GetFileName(-1), u"");

  bool asked = false;
  b.OnAddFile = [&](TLCDBurnerPro*, const std::u16string& path, TFindData&, bool& skip) {
    asked = true;
    skip = path.find(u"skip") != std::u16string::npos;
  };
  EXPECT_EQ(b.InsertFile("\\", f.Source("skip.rar", 10, 5)), TTreeContext::SkippedMarker());
  EXPECT_TRUE(asked);
}

// Every writable medium takes a session that verifies, with the closing
// its kind needs.
TEST(BurnerWrite, EveryWritableMediumTakesAVerifiedSession) {
  struct Case {
    const char* what;
    uint16_t profile;
    uint8_t closeFunction;  // the last CLOSE TRACK/SESSION function sent
  };
  const Case cases[] = {
      {"CD-R", kProfileCdR, 2},          {"CD-RW", kProfileCdRw, 2},
      {"DVD-R", kProfileDvdR, 2},        {"DVD+R", kProfileDvdPlusR, 2},
      {"DVD+R DL", kProfileDvdPlusRDl, 2}, {"DVD+RW", kProfileDvdPlusRw, 3},
      {"DVD-RW", kProfileDvdRwSequential, 2}, {"DVD-RAM", kProfileDvdRam, 2},
      {"BD-R", kProfileBdR, 2},          {"BD-RE", kProfileBdRe, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BurnerFixture f(c.profile, 100000);
    auto& b = *f.burner;
    ASSERT_NE(b.InsertFile("\\", f.Source("x.rar", 250000, 1)), nullptr);
    b.PrepareImage();
    f.drive->ClearLog();
    ASSERT_TRUE(f.Write());
    uint8_t lastClose = 0;
    for (auto& e : f.drive->Log())
      if (e.Opcode() == 0x5B) lastClose = e.cdb[2] & 7;
    EXPECT_EQ(lastClose, c.closeFunction);
    const auto v = f.Verify();
    EXPECT_FALSE(v.failed);
    EXPECT_EQ(v.files.size(), 1u);
  }
}

// The cache and verify threads read the file tree while they run: clearing
// or growing it then would free entries under them and change the image
// being written. The tree stays as it is until the worker has ended.
TEST(BurnerWrite, TreeIsLeftAloneWhileAWorkerRuns) {
  BurnerFixture f(kProfileDvdPlusRw, 200000);
  auto& b = *f.burner;
  b.SetCacheSize(2);
  const auto big = f.Source("big.rar", 6000000, 1);
  const auto late = f.Source("late.rar", 1000, 2);
  ASSERT_NE(b.InsertFile("\\", big), nullptr);
  b.PrepareImage();
  const uint32_t blocks = b.GetImageBlocks();
  bool tried = false;
  TFileEntry* inserted = reinterpret_cast<TFileEntry*>(1);
  uint32_t prepared = 1;
  f.drive->clock = [&]() -> uint64_t {
    if (!tried && b.GetWrittenBlocks() >= 64) {
      tried = true;
      inserted = b.InsertFile("\\", late);
      b.ClearFiles();
      prepared = b.PrepareImage();
    }
    return 0;
  };
  EXPECT_TRUE(f.Write());
  f.drive->clock = nullptr;
  ASSERT_TRUE(tried);
  EXPECT_EQ(inserted, nullptr);
  EXPECT_EQ(prepared, 0u);
  EXPECT_FALSE(f.writeFailed);
  ASSERT_EQ(b.GetFileCount(), 1);
  EXPECT_EQ(b.GetFileName(0), u"big.rar");
  EXPECT_EQ(b.GetImageBlocks(), blocks);
  EXPECT_EQ(b.GetWrittenBlocks(), blocks);
  const auto v = f.Verify();
  EXPECT_FALSE(v.failed);
  EXPECT_EQ(v.files.size(), 1u);
  // Once the worker has ended the tree takes changes again.
  EXPECT_NE(b.InsertFile("\\", late), nullptr);
  EXPECT_EQ(b.GetFileCount(), 2);
}

// The image options and the boot image shape the layout: changed after
// PrepareImage they need a new layout before a write, as a new file does.
TEST(BurnerComponent, ImageOptionChangedAfterPrepareNeedsANewLayout) {
  struct Case {
    const char* what;
    std::function<void(BurnerFixture&)> change;
  };
  const Case cases[] = {
      {"Joliet off", [](BurnerFixture& f) { f.burner->SetJolietFileSystem(false); }},
      {"long ISO names", [](BurnerFixture& f) { f.burner->SetISO9660v1999FS(true); }},
      {"UDF bridge", [](BurnerFixture& f) { f.burner->SetUDFBridge(true); }},
      {"boot image",
       [](BurnerFixture& f) { f.burner->SetBootImage(f.Source("boot.img", 2048, 9)); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BurnerFixture f(kProfileDvdPlusRw, 60000);
    auto& b = *f.burner;
    for (int i = 0; i < 40; ++i)
      ASSERT_NE(b.InsertFile(
                    "\\", f.Source("a long name that is no 8.3 name " + std::to_string(i) + ".rar",
                                   100, unsigned(i))),
                nullptr);
    b.PrepareImage();
    b.SetJolietFileSystem(true);  // unchanged: the layout still holds
    EXPECT_TRUE(b.Context().tree.layout.prepared);
    c.change(f);
    EXPECT_FALSE(b.Context().tree.layout.prepared);
    EXPECT_FALSE(f.Write());
    EXPECT_TRUE(f.writeFailed);
    b.PrepareImage();
    ASSERT_TRUE(f.Write());
    EXPECT_FALSE(f.Verify().failed);
  }
}
