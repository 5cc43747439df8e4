// The main window's part of the skins: loading "yux.ocs" at start and
// applying the active skin to the main, schedule and bin windows.
#include <QListWidget>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTreeWidget>

#include <filesystem>

#include "core/store/folders.h"
#include "core/store/options.h"
#include "core/store/programlog.h"
#include "core/store/skin.h"
#include "core/window/mainform.h"
#include "core/window/scheduleform.h"

namespace yux {

namespace {

// Log lines while skinned: a selected line in the highlight colours, an
// error line ("[!]") in the skin's error colours, every other line in the
// list's colours, the text 2 pixels from the left.
class SkinnedLogDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const QString text = index.data(Qt::DisplayRole).toString();
    QColor background = option.palette.color(QPalette::Base);
    QColor foreground = option.palette.color(QPalette::Text);
    if (option.state & QStyle::State_Selected) {
      background = option.palette.color(QPalette::Highlight);
      foreground = option.palette.color(QPalette::HighlightedText);
    } else if (text.contains("[!]")) {
      if (auto c = TryHexToColor(Skin.LogErrorBackground); c && !Skin.LogErrorBackground.empty())
        background = *c;
      if (auto c = TryHexToColor(Skin.LogErrorColor); c && !Skin.LogErrorColor.empty()) foreground = *c;
    }
    painter->save();
    painter->fillRect(option.rect, background);
    painter->setPen(foreground);
    painter->drawText(option.rect.adjusted(2, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, text);
    painter->restore();
  }
};

}  // namespace

void TForm1::LoadActiveSkin() {
  const std::string file = PathJoin(SettingsFolder, kActiveSkinFile);
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) {
    Options.ske = false;
    Skin = tskin{};
    return;
  }
  std::vector<std::string> problems;
  LoadSkin(Skin, file, &problems);
  for (const std::string& p : SanitizeSkin(Skin)) problems.push_back(p);
  if (!problems.empty()) {
    std::string joined;
    for (const std::string& p : problems) joined += (joined.empty() ? "" : ", ") + p;
    AddLog("Skin \"" + file + "\": values ignored (" + joined + ").");
  }
}

void TForm1::ApplySkin() {
  if (!Options.ske) {
    ResetSkinColours(list);
    ResetSkinColours(loglist);
    if (skinDelegate_) {
      loglist->setItemDelegate(defaultLogDelegate_);
    }
  } else {
    LoadSkinBitmaps(Skin);
    SetSkinColours(list, Skin.MainTableBackground, Skin.MainTableColor);
    SetSkinColours(loglist, Skin.LogNormalBackground, Skin.LogNormalColor);
    if (!skinDelegate_) {
      defaultLogDelegate_ = loglist->itemDelegate();
      skinDelegate_ = new SkinnedLogDelegate(loglist);
    }
    loglist->setItemDelegate(skinDelegate_);
  }
  PaintSkinBackground(client, SkinPicture::Main);
  if (Form5) Form5->ApplySkin();
  loglist->viewport()->update();
  list->viewport()->update();
  client->update();
  update();
  if (OnSkinChanged) OnSkinChanged();
}

}  // namespace yux
