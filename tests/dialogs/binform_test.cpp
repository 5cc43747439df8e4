// The bin window: placement and pictures by bin mode, dropped paths going
// to the active bin's list, and pictures of both modes.
#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLabel>
#include <QMimeData>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

#include <filesystem>

#include "core/store/options.h"
#include "core/window/mainform.h"
#include "dialogs/binform.h"
#include "tests/support/testsupport.h"

using namespace yux;
namespace fs = std::filesystem;

namespace {

void Drop(QWidget* target, const std::vector<std::string>& paths) {
  QMimeData data;
  QList<QUrl> urls;
  for (const auto& p : paths) urls << QUrl::fromLocalFile(QString::fromStdString(p));
  data.setUrls(urls);
  // As a file manager's drag does: enter, then drop.
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &enter);
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &drop);
}

}  // namespace

TEST(BinWindow, ModesPicturesAndDrops) {
  Options = topt{};
  Options.obk = true;
  Options.obr = true;
  Options.obt = 1;
  TForm1 form;
  Tyuxbinform bin(&form);
  form.OnBinModeChanged = [&bin](int mode) { bin.UpdateMode(mode); };
  bin.FormCreate();
  EXPECT_TRUE(bin.isVisible());
  EXPECT_TRUE(bin.acceptDrops());
  EXPECT_TRUE(bin.bink->isVisibleTo(&bin));
  EXPECT_FALSE(bin.binr->isVisibleTo(&bin));
  EXPECT_EQ(bin.size(), bin.bink->size());

  // Three paths, one of them long beyond any fixed buffer, in keeper mode.
  test::TempDir dir;
  const std::string longName = (dir / std::string(200, 'n')).string() + "/" + std::string(200, 'm');
  Drop(&bin, {"/a/one file", "/b/two", longName});
  EXPECT_EQ(form.KeeperList, (std::vector<std::string>{"/a/one file", "/b/two", longName}));
  EXPECT_TRUE(form.yuxbintimerk->isActive());
  EXPECT_TRUE(form.RecycleList.empty());

  const fs::path screens = test::BuildDir() / "screens";
  fs::create_directories(screens);
  EXPECT_TRUE(bin.grab().save(QString::fromStdString((screens / "bin_window_keeper.png").string())));

  form.SetBinMode(2);
  EXPECT_TRUE(bin.isVisible());
  EXPECT_TRUE(bin.binr->isVisibleTo(&bin));
  EXPECT_FALSE(bin.bink->isVisibleTo(&bin));
  Drop(&bin, {"/c/three"});
  EXPECT_EQ(form.RecycleList, (std::vector<std::string>{"/c/three"}));
  EXPECT_TRUE(bin.grab().save(QString::fromStdString((screens / "bin_window_recycle.png").string())));

  // Off: hidden, and a drop that still arrives goes nowhere.
  form.SetBinMode(0);
  EXPECT_FALSE(bin.isVisible());
  Drop(&bin, {"/d/four"});
  EXPECT_EQ(form.KeeperList.size(), 3u);
  EXPECT_EQ(form.RecycleList.size(), 1u);

  // A mode whose bin is disabled keeps the window hidden.
  Options.obk = false;
  bin.UpdateMode(1);
  EXPECT_FALSE(bin.isVisible());
  Options = topt{};
}
