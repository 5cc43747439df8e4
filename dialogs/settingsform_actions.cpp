// The settings dialog's buttons that act at once: the web panel, the phone
// book and its entry editor, the pickers, the language information, the
// skins, the bin clean-up and the start-up mode.
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "core/run/dialup.h"
#include "core/services/bins.h"
#include "core/services/dialoghooks.h"
#include "core/services/shellutils.h"
#include "core/services/startup.h"
#include "core/services/webpanel.h"
#include "core/store/folders.h"
#include "core/store/inifile.h"
#include "core/store/language.h"
#include "core/store/msgtable.h"
#include "core/store/programlog.h"
#include "core/window/mainform.h"
#include "dialogs/dialogwidgets.h"
#include "dialogs/settingsform.h"
#include "platform/process.h"

namespace yux {

namespace {

std::string Text(const QLineEdit* e) { return e->text().toStdString(); }
void SetText(QLineEdit* e, const std::string& s) { e->setText(QString::fromStdString(s)); }

std::string SkinsFolder() { return PathJoin(ProgramFolder, "skins"); }
constexpr char kSkinFilter[] = "YUX Skins (*.ocs)";

bool SameName(const std::string& a, const std::string& b) {
  return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

}  // namespace

// ---- web panel ----

void TForm4::httpstartClick() {
  if (main_ && main_->WebPanel) main_->WebPanel->Start();
}

void TForm4::httpstopClick() {
  if (main_ && main_->WebPanel) main_->WebPanel->Stop();
  else AddLog(MessageText("httpnotrunning"));
}

// ---- phone book ----

void TForm4::bnewClick() {
  platform::RasEntry entry;
  if (!EditEntry || !EditEntry(entry)) return;
  platform::RasEntry existing;
  // A new entry never replaces one of the same name.
  if (platform::RasGetEntry(entry.name, existing) == 0 || platform::RasSetEntry(entry) != 0) {
    AddLog(MessageText("cannotcreateconnection") + " [!]");
    return;
  }
  FillAccounts();
}

void TForm4::beditClick() {
  if (eaccounts->currentIndex() < 0) return;
  const std::string name = eaccounts->currentText().toStdString();
  platform::RasEntry entry;
  if (platform::RasGetEntry(name, entry) != 0) {
    AddLog(MessageText("errorcannotedit") + name + " [!]");
    return;
  }
  if (!EditEntry || !EditEntry(entry)) return;
  platform::RasEntry other;
  const bool renamed = !SameName(entry.name, name);
  if ((renamed && platform::RasGetEntry(entry.name, other) == 0) || platform::RasSetEntry(entry) != 0 ||
      (renamed && platform::RasDeleteEntry(name) != 0)) {
    AddLog(MessageText("errorcannotedit") + name + " [!]");
    return;
  }
  FillAccounts();
  if (renamed) eaccounts->setCurrentIndex(eaccounts->findText(QString::fromStdString(entry.name), Qt::MatchExactly));
}

void TForm4::bdeleteClick() {
  if (eaccounts->currentIndex() < 0) return;
  const std::string name = eaccounts->currentText().toStdString();
  if (!AskYes(MessageText("rasreallydelete"))) return;
  if (platform::RasDeleteEntry(name) != 0) ErrorBox(MessageText("errorcannotdelete") + name);
  else InfoBox(MessageText("rasdeleted"));
  FillAccounts();
  eaccounts->setCurrentIndex(-1);
}

void TForm4::bdialnowClick() { DialEntry(); }
void TForm4::bhangupnowClick() { Hangup(); }

// ---- pickers ----

void TForm4::egpassClick() {
  PasswordConfirmMode = true;
  PasswordText = Text(egpass);
  PasswordAccepted = false;
  if (DialogHooks* hooks = CurrentDialogHooks()) hooks->ShowPasswordDialog(MessageText("enternewpass"));
  if (PasswordAccepted) SetText(egpass, PasswordText);
}

void TForm4::bfindwinrarClick() {
  const std::string folder = QFileInfo(ewinrarexe->text()).absolutePath().toStdString();
  const std::string file = PickOpenFile("Find winrar.exe manually", folder, "WinRAR (winrar WinRAR.exe winrar.exe)");
  if (file.empty()) return;
  if (!IsArchiverName(QFileInfo(QString::fromStdString(file)).fileName().toStdString())) {
    ErrorBox("Wrong WinRAR.exe selection!");
    return;
  }
  SetText(ewinrarexe, file);
}

void TForm4::bselecttempClick() {
  const std::string folder = PickFolder ? PickFolder(this) : std::string();
  if (!folder.empty()) SetText(etempfolder, folder);
}

void TForm4::bgetyuxbinpathClick() {
  const std::string folder = PickFolder ? PickFolder(this) : std::string();
  if (!folder.empty()) SetText(eobf, folder);
}

void TForm4::bselectwavClick() {
  const std::string file = PickOpenFile("Select WAV file", std::string(), "Wave files (*.wav)");
  if (!file.empty()) SetText(eswf, file);
}

void TForm4::bplaywavClick() { PlaySoundFile(Text(eswf)); }

void TForm4::blanginfoClick() {
  if (elanguages->currentIndex() < 0) return;
  const std::string name = elanguages->currentText().toStdString();
  std::string text;
  if (name == kDefaultLanguage) {
    text = "\rThe built-in English texts of YUX.\rThey are used whenever no language file is chosen, and for every "
           "text a language file leaves out.\r";
  } else {
    const TIniFile ini(LanguageFilePath(name));
    auto value = [&ini](const char* key, const char* fallback) { return ini.ReadString("INFO", key, fallback); };
    text = "\r" + MessageText("lngname") + value("language", "Unknown Language") + "\r" + MessageText("lngdev") +
           value("developer", "Unknown Developer") + "\r" + MessageText("lngemail") +
           value("contacts", "Unknown E-mail") + "\r" + MessageText("lngdate") +
           value("updated", "Unknown update date") + "\r" + MessageText("lngyux") +
           value("compatibility", "Unknown YUX version") + "\r\r" + MessageText("lngreportmisprints") + "\r";
  }
  platform::MessageBox(text, kApplicationTitle, platform::MB_OK | platform::MB_ICONINFORMATION);
}

// ---- skins ----

void TForm4::bpictureClick(QLineEdit* target) {
  const std::string file = PickOpenFile("Select a BMP image", SkinsFolder(), "Bitmaps (*.bmp)");
  if (!file.empty()) SetText(target, file);
}

void TForm4::bcolourClick(QLineEdit* target) {
  // A text that names no colour starts the choice from black.
  const QColor initial = TryHexToColor(Text(target)).value_or(QColor(Qt::black));
  if (!PickColour) return;
  if (auto chosen = PickColour(initial)) SetText(target, ColorToHex(*chosen));
}

void TForm4::bsaveskinClick() {
  const std::string file = PickSaveFile("Save current skin", SkinsFolder(), kSkinFilter, "ocs");
  if (file.empty()) return;
  std::string reason;
  if (!SaveSkin(SkinFromControls(Skin), file, &reason)) ErrorBox("Cannot save the skin \"" + file + "\": " + reason);
}

void TForm4::bloadskinClick() {
  const std::string file = PickOpenFile("Load a skin", SkinsFolder(), kSkinFilter);
  if (file.empty()) return;
  tskin loaded;
  LoadSkin(loaded, file);
  ControlsFromSkin(loaded);
}

void TForm4::bpublishskinClick() {
  InfoBox("Made a skin others may like? Send the .ocs file and its pictures through the YUX web page, " +
          std::string(kWebsiteAddress) + ", and it may be offered there for everyone.");
}

void TForm4::bapplyskinClick() {
  if (!CheckColours()) return;
  Options.ske = eski->isChecked();
  Skin = SkinFromControls(Skin);
  skinApplied_ = true;
  if (main_) main_->ApplySkin();
  update();
}

// ---- bins ----

void TForm4::CleanBinArchive(const std::string& bin) {
  if (cleaning_) return;
  const std::string parameters =
      "d -to" + eobi->cleanText().toStdString() + "d \"" + PathJoin(BinFolder(), bin + ".rar") + "\" *.*";
  auto process = platform::Process::Start(Options.pwi, parameters);
  if (!process) return;
  cleaning_ = true;
  bkeepercln->setEnabled(false);
  brecyclecln->setEnabled(false);
  while (process->WaitPumping(500, 50) == platform::WAIT_TIMEOUT) {
  }
  const platform::DWORD code = process->ExitCode();
  process->Terminate(code, 0);
  bkeepercln->setEnabled(true);
  brecyclecln->setEnabled(true);
  cleaning_ = false;
  if (code == 0) InfoBox(MessageText("doneword"));
}

// ---- start-up mode ----

void TForm4::startupClick(int index) {
  // The companion is installed or removed by OK; here it must be there.
  if (index == 3 && ServiceCompanionPath().empty()) {
    InfoBox(MessageText("needyuxsvc"));
    if (QAbstractButton* b = startupItems->button(0)) b->setChecked(true);
  }
}

void TForm4::RunServiceCompanion(const std::string& parameter) {
  const std::string program = ServiceCompanionPath();
  if (program.empty()) {
    InfoBox(MessageText("needyuxsvc"));
    return;
  }
  if (!platform::Process::Start(program, parameter))
    ErrorBox("Cannot start \"" + program + "\": " + platform::LastStartError());
}

// ---- the phone-book entry editor ----

TPhoneBookEntryForm::TPhoneBookEntryForm(const platform::RasEntry& entry, QWidget* parent)
    : QDialog(parent), entry_(entry) {
  setObjectName("PhoneBookEntryForm");
  setWindowTitle(entry.name.empty() ? "New phonebook entry" : "Edit phonebook entry");
  setModal(true);
  auto* grid = new QGridLayout(this);
  ename = Named(new QLineEdit(QString::fromStdString(entry.name), this), "ename");
  enumber = Named(new QLineEdit(QString::fromStdString(entry.number), this), "enumber");
  euser = Named(new QLineEdit(QString::fromStdString(entry.user), this), "euser");
  epassword = Named(new QLineEdit(QString::fromStdString(entry.password), this), "epassword");
  epassword->setEchoMode(QLineEdit::Password);
  const char* captions[] = {"Entry name", "Phone number", "User name", "Password"};
  QLineEdit* edits[] = {ename, enumber, euser, epassword};
  for (int i = 0; i < 4; ++i) {
    grid->addWidget(new QLabel(captions[i], this), i, 0);
    grid->addWidget(edits[i], i, 1);
  }
  bok = BitBtn("&OK", "bok", this);
  bok->setDefault(true);
  bcancel = BitBtn("&Cancel", "bcancel", this);
  auto* row = new QHBoxLayout;
  row->addStretch();
  row->addWidget(bok);
  row->addWidget(bcancel);
  grid->addLayout(row, 4, 0, 1, 2);
  connect(bok, &QPushButton::clicked, this, [this] { okClick(); });
  connect(bcancel, &QPushButton::clicked, this, [this] { reject(); });
}

void TPhoneBookEntryForm::okClick() {
  const QString name = ename->text().trimmed();
  // The phone book keeps one section per entry: a name needs a character
  // and may not split into sections.
  if (name.isEmpty() || name.contains('/') || name.contains('\\')) {
    ErrorBox("Please enter an entry name without \"/\" and \"\\\".");
    ename->setFocus();
    return;
  }
  accept();
}

platform::RasEntry TPhoneBookEntryForm::Entry() const {
  platform::RasEntry e = entry_;
  e.name = ename->text().trimmed().toStdString();
  e.number = enumber->text().toStdString();
  e.user = euser->text().toStdString();
  e.password = epassword->text().toStdString();
  return e;
}

}  // namespace yux
