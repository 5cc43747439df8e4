// Skin files: pictures and colours of the windows.
#include "core/store/skin.h"

#include <QEvent>
#include <QPainter>
#include <QPalette>
#include <QPointer>
#include <QWidget>

#include <algorithm>
#include <array>
#include <cctype>
#include <stdexcept>

#include "core/store/datetime.h"
#include "core/store/folders.h"
#include "core/store/inifile.h"
#include "core/store/options.h"
#include "core/store/savefile.h"
#include "core/store/textutil.h"
#include "platform/driveletters.h"

namespace yux {

tskin Skin;

namespace {

enum class FieldKind { Text, Colour, Kind };

struct SkinField {
  const char* key;  // as the writer spells it; the reader matches upper case
  FieldKind kind;
  std::string tskin::* text = nullptr;
  int tskin::* number = nullptr;
};

SkinField TextField(const char* key, std::string tskin::* m, FieldKind kind = FieldKind::Text) {
  return {key, kind, m, nullptr};
}
SkinField KindField(const char* key, int tskin::* m) { return {key, FieldKind::Kind, nullptr, m}; }

// The eighteen keys in the order the writer puts them.
const std::array<SkinField, 18>& Fields() {
  static const std::array<SkinField, 18> fields = {
      TextField("MW_Image", &tskin::MainImage),
      KindField("MW_Type", &tskin::MainType),
      TextField("MW_TableBackground", &tskin::MainTableBackground, FieldKind::Colour),
      TextField("MW_TableColor", &tskin::MainTableColor, FieldKind::Colour),
      TextField("MW_LogNormalBackground", &tskin::LogNormalBackground, FieldKind::Colour),
      TextField("MW_LogNormalColor", &tskin::LogNormalColor, FieldKind::Colour),
      TextField("MW_LogErrorBackground", &tskin::LogErrorBackground, FieldKind::Colour),
      TextField("MW_LogErrorColor", &tskin::LogErrorColor, FieldKind::Colour),
      TextField("SW_Image", &tskin::ScheduleImage),
      KindField("SW_Type", &tskin::ScheduleType),
      TextField("SW_TableBackground", &tskin::ScheduleTableBackground, FieldKind::Colour),
      TextField("SW_TableColor", &tskin::ScheduleTableColor, FieldKind::Colour),
      TextField("PW_Image", &tskin::PresetImage),
      KindField("PW_Type", &tskin::PresetType),
      TextField("LW_Image", &tskin::ListImage),
      KindField("LW_Type", &tskin::ListType),
      TextField("LW_FileListBackground", &tskin::FileListBackground, FieldKind::Colour),
      TextField("LW_FileListColor", &tskin::FileListColor, FieldKind::Colour),
  };
  return fields;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::array<QPixmap, 4>& Bitmaps() {
  static std::array<QPixmap, 4> bitmaps;
  return bitmaps;
}

std::string SkinImage(const tskin& skin, SkinPicture which) {
  switch (which) {
    case SkinPicture::Main: return skin.MainImage;
    case SkinPicture::Schedule: return skin.ScheduleImage;
    case SkinPicture::Preset: return skin.PresetImage;
    case SkinPicture::List: return skin.ListImage;
  }
  return {};
}

int& SkinKindRef(tskin& skin, SkinPicture which) {
  switch (which) {
    case SkinPicture::Main: return skin.MainType;
    case SkinPicture::Schedule: return skin.ScheduleType;
    case SkinPicture::Preset: return skin.PresetType;
    case SkinPicture::List: break;
  }
  return skin.ListType;
}

// Paints the window's skin picture before the window draws itself.
class SkinBackground : public QObject {
 public:
  SkinBackground(QWidget* window, SkinPicture which) : QObject(window), which_(which) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && Options.ske) {
      auto* w = static_cast<QWidget*>(watched);
      const QPixmap& picture = SkinBitmap(which_);
      if (!picture.isNull()) {
        QPainter painter(w);
        PaintSkinPicture(painter, picture, SkinKind(Skin, which_), w->size());
      }
    }
    return false;
  }

 private:
  SkinPicture which_;
};

}  // namespace

void LoadSkin(tskin& skin, const std::string& fileName, std::vector<std::string>* problems) {
  skin = tskin{};
  bool ok = false;
  const std::vector<std::string> lines = ReadTextLines(fileName, ok);
  if (!ok) return;
  for (const std::string& raw : lines) {
    const std::string line = DecodeAnsiText(raw);
    if (line.empty() || line[0] == ';') continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string upper = Upper(line);
    for (const SkinField& f : Fields()) {
      const std::string key = Upper(f.key);
      if (upper.compare(0, key.size(), key) != 0) continue;
      const std::string value = line.substr(eq + 1);
      if (f.kind == FieldKind::Kind) {
        int kind = kSkinPlain;
        if (!ParseInt(value, kind)) {
          if (problems) problems->push_back(std::string(f.key) + " \"" + value + "\" is not a number");
          kind = kSkinPlain;
        }
        skin.*(f.number) = kind;
      } else {
        skin.*(f.text) = value;
      }
      break;
    }
  }
}

bool SaveSkin(const tskin& skin, const std::string& fileName, std::string* error) {
  std::string text = "; Yux 3.00 beta 4 skin\r\n; Saved " + DateTimeToText(QDateTime::currentDateTime()) + "\r\n";
  for (const SkinField& f : Fields()) {
    text += f.key;
    text += '=';
    text += f.kind == FieldKind::Kind ? std::to_string(skin.*(f.number)) : skin.*(f.text);
    text += "\r\n";
  }
  return SaveFileWhole(fileName, text, error);
}

std::optional<QColor> TryHexToColor(std::string_view text) {
  std::string digits;
  if (!text.empty() && text.front() == '#') {
    for (char c : text)
      if (c != '#') digits += c;
  } else {
    digits = std::string(text);
  }
  if (digits.size() < 6) return QColor(0, 0, 0);
  int v[6];
  for (int i = 0; i < 6; ++i) {
    v[i] = HexDigit(digits[i]);
    if (v[i] < 0) return std::nullopt;
  }
  // Only the first six characters carry the colour; the system read more
  // digits into a larger number, of which the colour kept the low bytes.
  for (std::size_t i = 6; i < digits.size(); ++i)
    if (HexDigit(digits[i]) < 0) return std::nullopt;
  return QColor(v[0] * 16 + v[1], v[2] * 16 + v[3], v[4] * 16 + v[5]);
}

QColor HexToColor(std::string_view text) {
  if (auto c = TryHexToColor(text)) return *c;
  throw std::invalid_argument("'" + std::string(text) + "' is not a valid colour (six hexadecimal digits)");
}

std::string ColorToHex(const QColor& colour) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%.2x%.2x%.2x", colour.red() & 0xFF, colour.green() & 0xFF,
                colour.blue() & 0xFF);
  return buf;
}

std::vector<std::string> SanitizeSkin(tskin& skin) {
  std::vector<std::string> dropped;
  for (const SkinField& f : Fields()) {
    if (f.kind == FieldKind::Colour) {
      std::string& v = skin.*(f.text);
      if (!v.empty() && !TryHexToColor(v)) {
        dropped.push_back(std::string(f.key) + " \"" + v + "\"");
        v.clear();
      }
    } else if (f.kind == FieldKind::Kind) {
      int& k = skin.*(f.number);
      if (k < kSkinPlain || k > kSkinTiled) {
        dropped.push_back(std::string(f.key) + " " + std::to_string(k));
        k = kSkinPlain;
      }
    }
  }
  return dropped;
}

std::string SkinPicturePath(const std::string& value) {
  if (value.empty()) return {};
  if (value[0] == '/') return value;
  if (value.size() >= 2 && value[1] == ':' && std::isalpha(static_cast<unsigned char>(value[0])))
    return platform::DriveLetterMap::Global().ToLocalPath(value);
  std::string rel = value;
  std::replace(rel.begin(), rel.end(), '\\', '/');
  if (rel[0] != '/') rel.insert(rel.begin(), '/');
  return ProgramFolder + rel;
}

void LoadSkinBitmaps(tskin& skin) {
  for (int i = 0; i < 4; ++i) {
    const auto which = static_cast<SkinPicture>(i);
    QPixmap& bitmap = Bitmaps()[i];
    bitmap = QPixmap();
    const std::string path = SkinPicturePath(SkinImage(skin, which));
    if (!path.empty()) bitmap.load(QString::fromStdString(path));
    if (bitmap.isNull()) SkinKindRef(skin, which) = kSkinPlain;
  }
}

const QPixmap& SkinBitmap(SkinPicture which) { return Bitmaps()[static_cast<int>(which)]; }

int SkinKind(const tskin& skin, SkinPicture which) { return SkinKindRef(const_cast<tskin&>(skin), which); }

void PaintSkinPicture(QPainter& painter, const QPixmap& picture, int kind, const QSize& area) {
  if (picture.isNull()) return;
  const int pw = picture.width(), ph = picture.height();
  if (kind == kSkinCentred) {
    painter.drawPixmap((area.width() - pw) / 2, (area.height() - ph) / 2, picture);
  } else if (kind == kSkinTiled && pw > 0 && ph > 0) {
    for (int y = 0; y < area.height(); y += ph)
      for (int x = 0; x < area.width(); x += pw) painter.drawPixmap(x, y, picture);
  }
}

void PaintSkinBackground(QWidget* window, SkinPicture which) {
  if (!window || window->findChild<QObject*>("skinBackground", Qt::FindDirectChildrenOnly)) return;
  auto* filter = new SkinBackground(window, which);
  filter->setObjectName("skinBackground");
  window->installEventFilter(filter);
}

void SetSkinColours(QWidget* control, const std::string& background, const std::string& text,
                    bool emptyIsBlack) {
  if (!control) return;
  QPalette pal = control->palette();
  auto apply = [&](const std::string& value, std::initializer_list<QPalette::ColorRole> roles) {
    std::optional<QColor> c;
    if (!value.empty()) c = TryHexToColor(value);
    else if (emptyIsBlack) c = QColor(0, 0, 0);
    if (!c) return;
    for (auto role : roles) pal.setColor(role, *c);
  };
  apply(background, {QPalette::Base, QPalette::Window});
  apply(text, {QPalette::Text, QPalette::WindowText});
  control->setPalette(pal);
}

void ResetSkinColours(QWidget* control) {
  if (!control) return;
  control->setPalette(QPalette());
}

}  // namespace yux
