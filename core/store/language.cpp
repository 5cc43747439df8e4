// Language files: translated texts of the windows and the message table.
#include "core/store/language.h"

#include <QAbstractButton>
#include <QAction>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QWidget>
#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include "core/store/folders.h"
#include "core/store/inifile.h"
#include "core/store/loghook.h"
#include "core/store/msgtable.h"

namespace yux {
namespace {

std::mutex g_reportMutex;
std::set<std::string> g_reported;

// Reports a file that cannot serve as a language file, once per file name:
// start-up reads the same file for the FORMS and the STRINGS step.
void ReportOnce(const std::string& fileName, const std::string& text) {
  {
    std::lock_guard lock(g_reportMutex);
    if (!g_reported.insert(fileName).second) return;
  }
  ReportLine(text);
}

// Opens the language file; nullopt when it cannot be used, after the
// report.  A file without either section is useless but harmless.
std::optional<TIniFile> OpenLanguage(const std::string& fileName) {
  TIniFile ini(LanguageFilePath(fileName));
  if (!ini.Loaded()) {
    ReportOnce(fileName, Format("langdoesntexist", fileName));
    return std::nullopt;
  }
  if (!ini.SectionExists("STRINGS") && !ini.SectionExists("FORMS")) {
    ReportOnce(fileName, Format("langfileempty", fileName));
    return std::nullopt;
  }
  return ini;
}

std::optional<ControlKind> KindFromName(std::string_view name) {
  static const std::map<std::string_view, ControlKind> names = {
      {"TButton", ControlKind::TButton},         {"TBitBtn", ControlKind::TBitBtn},
      {"TSpeedButton", ControlKind::TSpeedButton}, {"TLabel", ControlKind::TLabel},
      {"TEdit", ControlKind::TEdit},             {"TCheckBox", ControlKind::TCheckBox},
      {"TRadioButton", ControlKind::TRadioButton}, {"TGroupBox", ControlKind::TGroupBox},
      {"TRadioGroup", ControlKind::TRadioGroup}, {"TMenuItem", ControlKind::TMenuItem},
      {"TToolButton", ControlKind::TToolButton},
  };
  auto it = names.find(name);
  if (it == names.end()) return std::nullopt;
  return it->second;
}

std::optional<ControlKind> KindOf(const QObject* o) {
  QVariant declared = o->property("yuxClass");
  if (declared.isValid()) return KindFromName(declared.toString().toStdString());
  static const std::map<std::string_view, ControlKind> qtClasses = {
      {"QPushButton", ControlKind::TButton},   {"QToolButton", ControlKind::TSpeedButton},
      {"QLabel", ControlKind::TLabel},         {"QLineEdit", ControlKind::TEdit},
      {"QCheckBox", ControlKind::TCheckBox},   {"QRadioButton", ControlKind::TRadioButton},
      {"QGroupBox", ControlKind::TGroupBox},   {"QAction", ControlKind::TMenuItem},
  };
  auto it = qtClasses.find(o->metaObject()->className());
  if (it == qtClasses.end()) return std::nullopt;
  return it->second;
}

// The text the FORMS step translates for a control of the given kind.
std::optional<QString> CurrentText(QObject* o, ControlKind kind) {
  if (kind == ControlKind::TToolButton) {
    if (auto* a = qobject_cast<QAction*>(o)) return a->toolTip();
    if (auto* w = qobject_cast<QWidget*>(o)) return w->toolTip();
    return std::nullopt;
  }
  if (auto* a = qobject_cast<QAction*>(o)) return a->text();
  if (auto* b = qobject_cast<QAbstractButton*>(o)) return b->text();
  if (auto* l = qobject_cast<QLabel*>(o)) return l->text();
  if (auto* e = qobject_cast<QLineEdit*>(o)) return e->text();
  if (auto* g = qobject_cast<QGroupBox*>(o)) return g->title();
  return std::nullopt;
}

void SetText(QObject* o, ControlKind kind, const QString& text) {
  if (kind == ControlKind::TToolButton) {
    if (auto* a = qobject_cast<QAction*>(o)) a->setToolTip(text);
    else if (auto* w = qobject_cast<QWidget*>(o)) w->setToolTip(text);
    return;
  }
  if (auto* a = qobject_cast<QAction*>(o)) a->setText(text);
  else if (auto* b = qobject_cast<QAbstractButton*>(o)) b->setText(text);
  else if (auto* l = qobject_cast<QLabel*>(o)) l->setText(text);
  else if (auto* e = qobject_cast<QLineEdit*>(o)) e->setText(text);
  else if (auto* g = qobject_cast<QGroupBox*>(o)) g->setTitle(text);
}

}  // namespace

const std::vector<ControlKind> kMainWindowKinds = {
    ControlKind::TButton,      ControlKind::TLabel,    ControlKind::TEdit,
    ControlKind::TSpeedButton, ControlKind::TMenuItem, ControlKind::TToolButton};
const std::vector<ControlKind> kScheduleWindowKinds = {
    ControlKind::TLabel,    ControlKind::TBitBtn,      ControlKind::TCheckBox,
    ControlKind::TGroupBox, ControlKind::TRadioButton, ControlKind::TRadioGroup};
const std::vector<ControlKind> kPasswordDialogKinds = {ControlKind::TLabel, ControlKind::TBitBtn};

std::string StripQuotes(std::string_view t) {
  if (!t.empty() && ((t.front() == '\'' && t.back() == '\'') || (t.front() == '"' && t.back() == '"'))) {
    t.remove_prefix(1);
    if (!t.empty()) t.remove_suffix(1);
  }
  return std::string(t);
}

std::string LanguageFilePath(const std::string& fileName) { return PathJoin(ProgramFolder, fileName); }

void LoadLanguageStrings(const std::string& fileName) {
  if (fileName == kDefaultLanguage) return;
  auto ini = OpenLanguage(fileName);
  if (!ini) return;
  // Only values read from the file lose their quotes: a key the file lacks
  // keeps its current text exactly, however often a language is applied.
  for (std::string_view key : MessageKeys()) {
    std::string k(key);
    if (auto value = ini->Find("STRINGS", k)) SetMessageText(k, StripQuotes(*value));
  }
}

void LoadLanguageForms(QWidget* window, const std::string& fileName,
                       const std::vector<ControlKind>& kinds, const std::vector<NumberedText>& numbered) {
  if (!window || fileName == kDefaultLanguage || window->children().isEmpty()) return;
  auto ini = OpenLanguage(fileName);
  if (!ini) return;
  const std::string form = window->objectName().toStdString();
  window->setWindowTitle(QString::fromStdString(
      ini->ReadString("FORMS", form, window->windowTitle().toStdString())));

  for (QObject* o : window->findChildren<QObject*>()) {
    if (o->objectName().isEmpty()) continue;
    auto kind = KindOf(o);
    if (!kind || std::find(kinds.begin(), kinds.end(), *kind) == kinds.end()) continue;
    auto current = CurrentText(o, *kind);
    if (!current) continue;
    std::string key = form + o->objectName().toStdString();
    SetText(o, *kind, QString::fromStdString(ini->ReadString("FORMS", key, current->toStdString())));
  }
  for (const auto& n : numbered) {
    if (!n.current || !n.apply) continue;
    n.apply(ini->ReadString("FORMS", n.key, n.current()));
  }
}

void ResetLanguageReports() {
  std::lock_guard lock(g_reportMutex);
  g_reported.clear();
}

}  // namespace yux
