#pragma once
// Skins: background pictures for the windows and colours for the lists.
// The active skin lives in "yux.ocs" in the settings folder; other skin
// files are lists of "KEY=value" lines that the settings dialog loads and
// saves.  Skinning as a whole is switched by the option "ske".
#include <QColor>
#include <QPixmap>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QPainter;
class QSize;
class QWidget;

namespace yux {

// Picture kinds: nothing, one picture centred, the picture tiled.
inline constexpr int kSkinPlain = 0;
inline constexpr int kSkinCentred = 1;
inline constexpr int kSkinTiled = 2;

struct tskin {
  std::string MainImage;
  int MainType = kSkinPlain;
  std::string MainTableBackground;
  std::string MainTableColor;
  std::string LogNormalBackground;
  std::string LogNormalColor;
  std::string LogErrorBackground;
  std::string LogErrorColor;
  std::string ScheduleImage;
  int ScheduleType = kSkinPlain;
  std::string ScheduleTableBackground;
  std::string ScheduleTableColor;
  std::string PresetImage;
  int PresetType = kSkinPlain;
  std::string ListImage;
  int ListType = kSkinPlain;
  std::string FileListBackground;
  std::string FileListColor;

  bool operator==(const tskin&) const = default;
};

// The active skin.
extern tskin Skin;

// The name of the active skin's file in the settings folder.
inline constexpr char kActiveSkinFile[] = "yux.ocs";

// Reads a skin file into `skin` (cleared first; a missing file leaves it
// empty).  Keys match without regard to case; a later line for a key wins.
// A kind that is not a whole number becomes plain; each such value is
// described in `problems` when given.
void LoadSkin(tskin& skin, const std::string& fileName, std::vector<std::string>* problems = nullptr);
// Writes a skin file (header, then the eighteen keys); false with a reason
// when it cannot.
bool SaveSkin(const tskin& skin, const std::string& fileName, std::string* error = nullptr);

// Colour texts: six hexadecimal digits RRGGBB, optionally after "#".
// Fewer than six characters give black.  Nothing for a text with other
// characters than hexadecimal digits in its first six.
std::optional<QColor> TryHexToColor(std::string_view text);
// As above, but a text that is not hexadecimal raises std::invalid_argument
// (callers that check first use TryHexToColor).
QColor HexToColor(std::string_view text);
// Six lower-case hexadecimal digits of red, green and blue.
std::string ColorToHex(const QColor& colour);

// Clears every colour text of the skin that is not hexadecimal and every
// kind outside 0..2; returns a description of each value dropped.
std::vector<std::string> SanitizeSkin(tskin& skin);

// Where a picture value points: "/..." as it stands, a drive letter through
// the drive-letter map, anything else below the program folder ("\skins\a.bmp"
// is the program folder's skins/a.bmp).
std::string SkinPicturePath(const std::string& value);

// The four pictures of the skin, by window.
enum class SkinPicture { Main = 0, Schedule = 1, Preset = 2, List = 3 };
// Loads the active skin's pictures; a picture whose file is missing or
// unreadable sets its window's kind to plain.
void LoadSkinBitmaps(tskin& skin);
const QPixmap& SkinBitmap(SkinPicture which);
int SkinKind(const tskin& skin, SkinPicture which);

// Draws a picture over an area of the given size: centred once (kind 1),
// tiled from the top left (kind 2), or nothing.
void PaintSkinPicture(QPainter& painter, const QPixmap& picture, int kind, const QSize& area);

// Makes a window paint the active skin's picture for `which` behind its
// controls while skinning is on ("ske").  Safe to call once per window.
void PaintSkinBackground(QWidget* window, SkinPicture which);

// Gives a control the colours of two skin texts (background, text); an
// empty or non-hexadecimal text leaves that colour as it is unless
// `emptyIsBlack`, which paints empty texts black as the system always did
// for the schedule window's input controls.
void SetSkinColours(QWidget* control, const std::string& background, const std::string& text,
                    bool emptyIsBlack = false);
// Gives a control the system's window and window-text colours back.
void ResetSkinColours(QWidget* control);

}  // namespace yux
