#include "dialogs/shortcutform.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStandardPaths>
#include <QVBoxLayout>

#include <filesystem>

#include "core/run/winrarcmd.h"
#include "core/services/shellutils.h"
#include "core/services/startup.h"
#include "core/store/language.h"
#include "core/store/options.h"
#include "core/window/widgetnames.h"
#include "platform/messagebox.h"

namespace yux {

std::string ShortcutFolder;

namespace {

constexpr const char* kCommands[] = {"/exit", "/safeexit", "/shutdown", "/hibernate", "/suspend", "/reboot"};

std::string TitleWord(const std::string& line) {
  for (const char* c : kCommands)
    if (line == c) return QString::fromUtf8(c + 1).toUpper().toStdString();
  if (line == "/hide") return "HIDE";
  return line;
}

void ErrorText(const std::string& text) {
  platform::MessageBox("\r" + text, kApplicationTitle, platform::MB_OK | platform::MB_ICONERROR);
}

}  // namespace

std::string ShortcutArguments(const std::vector<std::string>& lines) {
  std::string arguments;
  for (const std::string& line : lines) {
    if (!arguments.empty()) arguments += ' ';
    arguments += QuoteAlways(line);
  }
  return arguments;
}

std::string ShortcutFileName(const std::vector<std::string>& lines) {
  std::string title;
  for (const std::string& line : lines) {
    if (!title.empty()) title += ", ";
    title += TitleWord(line);
  }
  std::string name = "YUX - " + title + ".lnk";
  for (char& c : name)
    if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '_';
  return name;
}

TForm10::TForm10(const std::vector<std::string>& presets, const std::string& selected, QWidget* parent)
    : QDialog(parent) {
  setObjectName("Form10");
  setWindowTitle("YUX - Create a shortcut");
  setModal(true);
  programPath = QCoreApplication::applicationFilePath().toStdString();
  browseForFolder = [this] { return BrowseForFolder(this); };

  auto* grid = new QGridLayout(this);
  ComboBox1 = Named(new QComboBox(this), "ComboBox1");
  for (const std::string& p : presets) ComboBox1->addItem(QString::fromStdString(p));
  ComboBox1->setCurrentIndex(ComboBox1->findText(QString::fromStdString(selected), Qt::MatchExactly));
  Button1 = Named(new QPushButton("+", this), "Button1");
  Memo1 = Named(new QPlainTextEdit(this), "Memo1");
  CheckBox1 = Named(new QCheckBox("Add an advanced command after all presets:", this), "CheckBox1");
  CheckBox1->setChecked(true);
  ComboBox2 = Named(new QComboBox(this), "ComboBox2");
  for (const char* c : kCommands) ComboBox2->addItem(c);
  ComboBox2->setCurrentIndex(1);
  CheckBox2 = Named(new QCheckBox("Add \"/hide\" at the beginning", this), "CheckBox2");
  RadioGroup1 = Named(new QGroupBox(" Add the shortcut to ", this), "RadioGroup1");
  RadioGroup1->setProperty("yuxClass", "TRadioGroup");
  auto* radios = new QVBoxLayout(RadioGroup1);
  const char* items[] = {"Start menu", "Desktop", "Both"};
  for (int i = 0; i < 3; ++i) {
    RadioItems[i] = new QRadioButton(items[i], RadioGroup1);
    radios->addWidget(RadioItems[i]);
  }
  RadioItems[0]->setChecked(true);
  BitBtn1 = BitBtn("OK", "BitBtn1", this);
  BitBtn2 = BitBtn("Cancel", "BitBtn2", this);
  BitBtn3 = BitBtn("&Save to folder", "BitBtn3", this);
  BitBtn4 = BitBtn("Help", "BitBtn4", this);
  grid->addWidget(ComboBox1, 0, 0, 1, 3);
  grid->addWidget(Button1, 0, 3);
  grid->addWidget(Memo1, 1, 0, 1, 4);
  grid->addWidget(CheckBox1, 2, 0, 1, 2);
  grid->addWidget(ComboBox2, 2, 2, 1, 2);
  grid->addWidget(CheckBox2, 3, 0, 1, 4);
  grid->addWidget(RadioGroup1, 4, 0, 1, 4);
  grid->addWidget(BitBtn1, 5, 0);
  grid->addWidget(BitBtn2, 5, 1);
  grid->addWidget(BitBtn3, 5, 2);
  grid->addWidget(BitBtn4, 5, 3);
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
  connect(BitBtn2, &QPushButton::clicked, this, &QDialog::reject);
  connect(BitBtn3, &QPushButton::clicked, this, [this] { BitBtn3Click(); });
  connect(BitBtn4, &QPushButton::clicked, this, [this] { BitBtn4Click(); });
  LoadLanguageForms(this, Options.lng, kScheduleWindowKinds,
                    {{"Form10shortcutdest1", [this] { return RadioItems[0]->text().toStdString(); },
                      [this](const std::string& t) { RadioItems[0]->setText(QString::fromStdString(t)); }},
                     {"Form10shortcutdest2", [this] { return RadioItems[1]->text().toStdString(); },
                      [this](const std::string& t) { RadioItems[1]->setText(QString::fromStdString(t)); }},
                     {"Form10shortcutdest3", [this] { return RadioItems[2]->text().toStdString(); },
                      [this](const std::string& t) { RadioItems[2]->setText(QString::fromStdString(t)); }}});
}

void TForm10::Button1Click() {
  if (ComboBox1->currentText().isEmpty()) return;
  Memo1->appendPlainText(ComboBox1->currentText());
}

std::vector<std::string> TForm10::ShortcutLines() const {
  std::vector<std::string> lines;
  for (const QString& line : Memo1->toPlainText().split('\n'))
    if (!line.isEmpty()) lines.push_back(line.toStdString());
  if (lines.empty()) return lines;
  if (CheckBox1->isChecked()) lines.push_back(ComboBox2->currentText().toStdString());
  if (CheckBox2->isChecked()) lines.insert(lines.begin(), "/hide");
  return lines;
}

void TForm10::BitBtn1Click() {
  const std::vector<std::string> lines = ShortcutLines();
  if (lines.empty()) {
    ErrorText("Please add at least one preset.");
    return;
  }
  std::vector<std::string> folders;
  if (!ShortcutFolder.empty()) {
    folders.push_back(ShortcutFolder);
  } else {
    const std::string menu =
        QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation).toStdString() + "/YUX Presets";
    const std::string desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation).toStdString();
    if (!RadioItems[1]->isChecked()) folders.push_back(menu);
    if (!RadioItems[0]->isChecked()) folders.push_back(desktop);
  }
  const std::string arguments = ShortcutArguments(lines);
  const std::string file = ShortcutFileName(lines);
  for (const std::string& folder : folders) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    const std::string link = folder + "/" + file;
    if (!MakeShortcut(programPath, link, arguments)) {
      ErrorText("Cannot create \"" + link + "\".");
      return;
    }
  }
  accept();
}

void TForm10::BitBtn3Click() {
  if (ShortcutLines().empty()) {
    ErrorText("Please add at least one preset.");
    return;
  }
  const std::string folder = browseForFolder ? browseForFolder() : std::string();
  if (folder.empty()) return;
  ShortcutFolder = folder;
  BitBtn1Click();
}

void TForm10::BitBtn4Click() { ShowHelpTopic("making_a_windows_shortcut_to_run_a_preset.htm"); }

void TForm10::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1) {
    BitBtn4Click();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace yux
