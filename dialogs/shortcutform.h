#pragma once
// The shortcut maker: a launcher that runs presets (and a closing command)
// in the applications menu, on the desktop or in a chosen folder.
#include <QDialog>

#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

namespace yux {

// The folder chosen with "Save to folder" (empty until one is chosen); it
// serves every later shortcut of the process.
extern std::string ShortcutFolder;

// What a shortcut for these lines starts and is called: the arguments, each
// quoted so that it comes back exactly, and the file name ("YUX - " + the
// lines joined by ", ", commands in capitals, + ".lnk"; "/" and control
// characters become "_").
std::string ShortcutArguments(const std::vector<std::string>& lines);
std::string ShortcutFileName(const std::vector<std::string>& lines);

class TForm10 : public QDialog {
  Q_OBJECT

 public:
  TForm10(const std::vector<std::string>& presets, const std::string& selected, QWidget* parent = nullptr);

  // "+": the preset box's text becomes a new line of the list.
  void Button1Click();
  // OK: with an empty list "Please add at least one preset."; otherwise the
  // shortcuts are made and the dialog closes.
  void BitBtn1Click();
  // "Save to folder": asks for a folder, keeps it, then OK.
  void BitBtn3Click();
  // Help, also F1.
  void BitBtn4Click();

  // The lines of the list, the command and "/hide" as the shortcut gets
  // them (the list itself is left as it is).
  std::vector<std::string> ShortcutLines() const;

  // The program the shortcuts start (this program).
  std::string programPath;
  // The folder picker (BrowseForFolder); tests replace it.
  std::function<std::string()> browseForFolder;

  QComboBox* ComboBox1 = nullptr;
  QPushButton* Button1 = nullptr;
  QPlainTextEdit* Memo1 = nullptr;
  QCheckBox* CheckBox1 = nullptr;
  QComboBox* ComboBox2 = nullptr;
  QCheckBox* CheckBox2 = nullptr;
  QGroupBox* RadioGroup1 = nullptr;
  QRadioButton* RadioItems[3] = {};
  QPushButton* BitBtn1 = nullptr;
  QPushButton* BitBtn2 = nullptr;
  QPushButton* BitBtn3 = nullptr;
  QPushButton* BitBtn4 = nullptr;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace yux
