#pragma once
// The settings dialog: every program option and the active skin on eight
// pages.  The controls are filled once, when the window is first shown;
// OK checks every entry before anything changes, then applies the options
// to the main window, the bin window, the skin, the file manager verbs and
// the language, and saves "yux.opt" and "yux.ocs".  Some buttons act at
// once (the web panel, the phone book, the bin clean-up, skins).
#include <QColor>
#include <QDialog>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/store/options.h"
#include "core/store/skin.h"
#include "platform/ras.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGridLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QToolButton;

namespace yux {

class TForm1;

// The pages, in their order.
enum SettingsPage {
  kSettingsGeneral = 0,
  kSettingsInterface,
  kSettingsBin,
  kSettingsRemote,
  kSettingsDialup,
  kSettingsErrors,
  kSettingsSecurity,
  kSettingsAppearance,
  kSettingsPageCount
};

// The service companion beside the program ("yuxsvc", or "yuxsvc.exe");
// empty when there is none.
std::string ServiceCompanionPath();

class TForm4 : public QDialog {
  Q_OBJECT

 public:
  // `main` receives what OK applies (none: only the options and the skin
  // change).
  explicit TForm4(TForm1* main, QWidget* parent = nullptr);
  ~TForm4() override;

  // Shows the page of that name ("General", "Interface", "YUX-BIN",
  // "Remote Access", "Dialup", "Error management", "Security",
  // "Appearance"); the first page for any other.
  void ShowPage(const std::string& name);
  // The help topic of a page.
  static std::string PageHelpTopic(QWidget* page);

  // ---- values ----
  // Fills the controls (account box, options, skin, languages); the first
  // showing does it.
  void FormActivate();
  void ControlsFromOptions(const topt& o);
  // The options as the controls say, on top of `base`.
  topt OptionsFromControls(const topt& base) const;
  void ControlsFromSkin(const tskin& s);
  // The skin as the controls say; the list window's picture and kind are
  // taken from `base`.
  tskin SkinFromControls(const tskin& base) const;
  // The first entry that cannot be taken: an error box names it, its page
  // is shown and it gets the focus.  True when every entry is fine.
  bool CheckEntries();
  // The colour texts only (before the skin is applied).
  bool CheckColours();

  // ---- buttons ----
  // OK: false (and the dialog stays) when a check fails.
  bool okbutClick();
  void helpbutClick();
  void httpstartClick();
  void httpstopClick();
  void bnewClick();
  void beditClick();
  void bdeleteClick();
  void bdialnowClick();
  void bhangupnowClick();
  void egpassClick();
  void bfindwinrarClick();
  void bselecttempClick();
  void bgetyuxbinpathClick();
  void bselectwavClick();
  void bplaywavClick();
  void blanginfoClick();
  void bpictureClick(QLineEdit* target);
  void bcolourClick(QLineEdit* target);
  void bsaveskinClick();
  void bloadskinClick();
  void bpublishskinClick();
  void bapplyskinClick();
  // The bin clean-up: "keeper" or "recycle".
  void CleanBinArchive(const std::string& bin);
  // A start-up mode chosen by the user.
  void startupClick(int index);
  // Fills the account box from the phone book; keeps the selected entry
  // when it is still there, else selects `dac`.
  void FillAccounts();
  // Fills the language box and selects the language of the options.
  void FillLanguages();

  // ---- what a test may replace ----
  std::function<std::string(QWidget*)> PickFolder;
  // (title, folder, filter) -> the file, empty when cancelled.
  std::function<std::string(const std::string&, const std::string&, const std::string&)> PickOpenFile;
  // (title, folder, filter, default suffix) -> the file, empty when
  // cancelled.
  std::function<std::string(const std::string&, const std::string&, const std::string&, const std::string&)>
      PickSaveFile;
  std::function<std::optional<QColor>(const QColor&)> PickColour;
  // Edits a phone-book entry (a new one when its name is empty); true when
  // confirmed.
  std::function<bool(platform::RasEntry&)> EditEntry;
  std::function<void(const std::string&)> ShowHelp;

  // ---- controls ----
  QTabWidget* PageControl1 = nullptr;
  QWidget* TabSheet[kSettingsPageCount] = {};

  QLineEdit* ewinrarexe = nullptr;
  QToolButton* bfindwinrar = nullptr;
  QLineEdit* etempfolder = nullptr;
  QToolButton* bselecttemp = nullptr;
  QSpinBox* logsize = nullptr;
  QSpinBox* ewrtimeout = nullptr;
  QSpinBox* eschprecise = nullptr;
  QGroupBox* startup = nullptr;
  QButtonGroup* startupItems = nullptr;

  QSpinBox* epresetlistheight = nullptr;
  QComboBox* elanguages = nullptr;
  QToolButton* blanginfo = nullptr;
  QSpinBox* elogfontsize = nullptr;
  QSpinBox* epresetlistfontsize = nullptr;
  QCheckBox* cdisexit = nullptr;
  QCheckBox* cdisbaloon = nullptr;
  QCheckBox* cdistoolbar = nullptr;
  QCheckBox* cautocolwidth = nullptr;
  QCheckBox* cstdminimize = nullptr;
  QCheckBox* chideinsteadclose = nullptr;

  QCheckBox* ckeeper = nullptr;
  QCheckBox* crecycle = nullptr;
  QLineEdit* eobf = nullptr;
  QToolButton* bgetyuxbinpath = nullptr;
  QComboBox* eobc = nullptr;
  QLineEdit* eokp = nullptr;
  QLineEdit* eorp = nullptr;
  QSpinBox* yuxbinversions = nullptr;
  QGroupBox* obt = nullptr;
  QButtonGroup* obtItems = nullptr;
  QCheckBox* cnotification = nullptr;
  QPushButton* bkeepercln = nullptr;
  QPushButton* brecyclecln = nullptr;
  QSpinBox* eobi = nullptr;

  QCheckBox* cra = nullptr;
  QSpinBox* eport = nullptr;
  QLineEdit* ehttplogin = nullptr;
  QLineEdit* ehttppass = nullptr;
  QPushButton* Button1 = nullptr;  // start the server
  QPushButton* Button2 = nullptr;  // stop the server

  QCheckBox* ces = nullptr;
  QCheckBox* chg = nullptr;
  QComboBox* eaccounts = nullptr;
  QToolButton* bnew = nullptr;
  QToolButton* bedit = nullptr;
  QToolButton* bdelete = nullptr;
  QSpinBox* eredial = nullptr;
  QSpinBox* emaxwait = nullptr;
  QLineEdit* euser = nullptr;
  QLineEdit* epass = nullptr;
  QPushButton* bdialnow = nullptr;
  QPushButton* bhangupnow = nullptr;

  QCheckBox* cer = nullptr;
  QLineEdit* esserver = nullptr;
  QComboBox* esssl = nullptr;
  QLineEdit* esuser = nullptr;
  QLineEdit* espass = nullptr;
  QLineEdit* esfrom = nullptr;
  QLineEdit* esto = nullptr;
  QCheckBox* csoe = nullptr;
  QLineEdit* eswf = nullptr;
  QToolButton* bselectwav = nullptr;
  QToolButton* bplaywav = nullptr;
  QCheckBox* cre = nullptr;
  QSpinBox* erint = nullptr;
  QSpinBox* erretr = nullptr;
  QSpinBox* esmtptimeout = nullptr;
  QSpinBox* eftptimeout = nullptr;
  QCheckBox* cms = nullptr;
  QCheckBox* cie = nullptr;

  QLineEdit* egpass = nullptr;
  QCheckBox* cpsettings = nullptr;
  QCheckBox* cpscheduler = nullptr;
  QCheckBox* cpall = nullptr;
  QCheckBox* cpmanipulate = nullptr;
  QCheckBox* cpexit = nullptr;

  QCheckBox* eski = nullptr;
  QLineEdit* emw = nullptr;
  QComboBox* tmw = nullptr;
  QLineEdit* etb = nullptr;
  QLineEdit* etf = nullptr;
  QLineEdit* elb = nullptr;
  QLineEdit* elf = nullptr;
  QLineEdit* elb1 = nullptr;
  QLineEdit* elf1 = nullptr;
  QLineEdit* esw = nullptr;
  QComboBox* tsw = nullptr;
  QLineEdit* etb1 = nullptr;
  QLineEdit* etf1 = nullptr;
  QLineEdit* epw = nullptr;
  QComboBox* tpw = nullptr;
  QLineEdit* etb3 = nullptr;
  QLineEdit* etf3 = nullptr;
  QToolButton* bsaveskin = nullptr;
  QToolButton* bloadskin = nullptr;
  QToolButton* bpublishskin = nullptr;
  QToolButton* bapplyskin = nullptr;

  QPushButton* okbut = nullptr;
  QPushButton* cancelbut = nullptr;
  QPushButton* helpbut = nullptr;

 public:
  void done(int result) override;

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct ColourField {
    QLineEdit* edit;
    QLabel* label;
    QGroupBox* group;
  };

  QWidget* AddPage(SettingsPage page, const char* caption, const char* help);
  void BuildGeneralPage();
  void BuildInterfacePage();
  void BuildBinPage();
  void BuildRemotePage();
  void BuildDialupPage();
  void BuildErrorsPage();
  void BuildSecurityPage();
  void BuildAppearancePage();
  void BuildButtons();
  void Connect();
  void ApplyLanguage();
  QLineEdit* ColourEdit(QGroupBox* group, QGridLayout* grid, int row, int column, const char* name,
                        const char* label);
  void ShowField(QWidget* field);
  void ApplyOptionsToWindows();
  void RunServiceCompanion(const std::string& parameter);

  TForm1* main_;
  std::vector<ColourField> colours_;
  std::vector<QToolButton*> colourButtons_;
  std::vector<QToolButton*> pictureButtons_;
  bool shown_ = false;
  bool loaded_ = false;
  std::string languageAtOpening_;
  bool serviceAtOpening_ = false;
  // What "Apply new color settings immediately" changed, for Cancel.
  bool skinApplied_ = false;
  tskin skinAtOpening_;
  bool skinningAtOpening_ = false;
  bool cleaning_ = false;
  int startupIndex_ = 0;
};

// What the main window's settings command opens: the dialog, modally, on
// that page.  Where no window can be seen it says so on standard error
// instead of waiting.
void ShowSettingsDialog(TForm1* main, const std::string& page);

// The small editor of one phone-book entry: name, number, user and
// password.  A name that is empty or holds "/" or "\" is refused.
class TPhoneBookEntryForm : public QDialog {
  Q_OBJECT

 public:
  TPhoneBookEntryForm(const platform::RasEntry& entry, QWidget* parent = nullptr);
  platform::RasEntry Entry() const;
  void okClick();

  QLineEdit* ename = nullptr;
  QLineEdit* enumber = nullptr;
  QLineEdit* euser = nullptr;
  QLineEdit* epassword = nullptr;
  QPushButton* bok = nullptr;
  QPushButton* bcancel = nullptr;

 private:
  platform::RasEntry entry_;
};

}  // namespace yux
