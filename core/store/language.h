#pragma once
// Language files: ini files in the program folder whose STRINGS section
// replaces message-table texts and whose FORMS section replaces window
// captions and control texts.  The name "English (default).lng" stands for
// the built-in texts and reads no file at all.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class QWidget;

namespace yux {

inline constexpr std::string_view kDefaultLanguage = "English (default).lng";

// Removes one pair of enclosing single or double quotes; a text of a single
// quote character counts as enclosed and becomes empty.
std::string StripQuotes(std::string_view text);

// Full path of a language file: the program folder and the name.
std::string LanguageFilePath(const std::string& fileName);

// STRINGS step: every key of the message table, in table order, takes the
// file's value (quotes stripped) or keeps its current text.  Nothing is read
// for the default language.  A missing file, or one holding neither a
// STRINGS nor a FORMS section, keeps every text and is reported once.
void LoadLanguageStrings(const std::string& fileName);

// The control classes of the original windows that the FORMS step knows.
// A Qt control stands for one of them by its exact Qt class (QPushButton ->
// TButton, QToolButton -> TSpeedButton, QLabel -> TLabel, QLineEdit ->
// TEdit, QCheckBox -> TCheckBox, QRadioButton -> TRadioButton, QGroupBox ->
// TGroupBox, QAction -> TMenuItem), or by the dynamic property "yuxClass"
// naming the class ("TBitBtn", "TToolButton", "TRadioGroup", ...) where one
// Qt class stands for several.  Subclasses of these Qt classes do not count.
enum class ControlKind {
  TButton,
  TBitBtn,
  TSpeedButton,
  TLabel,
  TEdit,
  TCheckBox,
  TRadioButton,
  TGroupBox,
  TRadioGroup,
  TMenuItem,
  TToolButton,
};

// The kinds each window translates.
extern const std::vector<ControlKind> kMainWindowKinds;      // buttons, labels, edits, menus, hints
extern const std::vector<ControlKind> kScheduleWindowKinds;  // labels, bit buttons, boxes, radios
extern const std::vector<ControlKind> kPasswordDialogKinds;  // labels, bit buttons

// A numbered key of a window (list columns, item lists): its current text
// and how to set a new one.
struct NumberedText {
  std::string key;
  std::function<std::string()> current;
  std::function<void(const std::string&)> apply;
};

// FORMS step for one window: the caption from the key objectName, then
// each named child (depth first, in creation order) whose kind is in
// `kinds` from objectName + child name (a TToolButton's hint is its tool
// tip, a group's text its title), then the numbered keys.  Missing keys
// keep the current texts.  Nothing happens for the default language or a
// window without children; a missing file is reported once.
void LoadLanguageForms(QWidget* window, const std::string& fileName,
                       const std::vector<ControlKind>& kinds,
                       const std::vector<NumberedText>& numbered = {});

// Forgets which files were already reported (for tests).
void ResetLanguageReports();

}  // namespace yux
