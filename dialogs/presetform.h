#pragma once
// The preset configuration dialog: every field of a preset as a control on
// four pages, the checks of OK, the preset file and its list files written
// through core/presets, the user's defaults ("yux.pst"), the include and
// exclude lists (drops, the file browser, the exclude options, the text
// editor), the preset's picture and the CD/DVD drive's information.
#include <QDialog>
#include <QMargins>

#include <functional>
#include <string>
#include <vector>

#include "core/store/presets.h"
#include "dialogs/presetchecks.h"

class QBoxLayout;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QSlider;
class QSpinBox;
class QTabWidget;
class QToolButton;
class QWidget;

namespace yux {

namespace disc {
class TLCDBurnerPro;
}

// The preset the dialog edits: a preset's name, or kNewPresetName for a new
// one; "//done" once the dialog has closed.
extern std::string EditedPresetName;
inline constexpr char kEditedPresetDone[] = "//done";
// True while the dialog edits a new preset.
extern bool NewPresetFlag;
// True while the dialog's creation loads the defaults (the load is silent).
extern bool LoadingDefaults;
// True while the text editor opened from the dialog is open.
extern bool NotepadWait;

// The pages, in their order.
enum PresetPage { kPageGeneral = 0, kPageActions = 1, kPageFileLists = 2, kPageNotes = 3 };

class TForm3 : public QDialog {
  Q_OBJECT

 public:
  // `burner` answers the drive lookup (none: no drive is known).
  explicit TForm3(disc::TLCDBurnerPro* burner, QWidget* parent = nullptr);
  ~TForm3() override;

  // Fired after a new preset was added and after picture changes.
  std::function<void()> OnPresetListChanged;

  // Shows the page of that caption ("General", "Actions", "File lists",
  // "Notes / Comment"); the first page for an unknown one.
  void ShowPage(const std::string& caption);

  // ---- values ----
  tarcopt RecordFromControls() const;
  void ControlsFromRecord(const tarcopt& record);
  // The entries OK checks.
  PresetEntries EntriesFromControls() const;
  // The control that holds an entry.
  QWidget* FieldControl(PresetField field) const;

  // ---- buttons ----
  // OK: checks, then writes the lists and the preset file; the dialog
  // closes with OK only when everything was written.  False when it stays.
  bool bupdateClick();
  void BitBtn1Click();  // "Save these settings as default"
  void BitBtn2Click();  // "Load default settings"
  void selectglyphClick(const std::string& chosenFile = {});
  void removeglyphClick();
  void bhelpClick();
  void bburnerinfoClick();
  void beditClick(bool include);
  void bexplorerClick();
  void bbrowserClick();
  void bexcadvClick();

  // ---- rules ----
  void ApplyFormatRule();
  void DirectRaringChanged();
  void getprior();
  void ecdriveChange();
  // Removes every entry equal byte for byte to an earlier one of its list.
  void RemoveDuplicates();
  // A dropped path on a list (true: include).
  void AddDroppedPath(const std::string& path, bool include);
  // An entry joins a list at its place in the user's locale order.
  static void AddSorted(QListWidget* list, const QString& text);
  static std::vector<std::string> ListLines(const QListWidget* list);
  static void SetListLines(QListWidget* list, const std::vector<std::string>& lines);

  // The "don't match" masks (the ".flt" file), edited by the exclude
  // options and written with OK.
  std::vector<std::string> FilterMasks;

  // ---- controls ----
  QTabWidget* PageControl1 = nullptr;
  QWidget* TabSheet1 = nullptr;
  QWidget* TabSheet2 = nullptr;
  QWidget* TabSheet3 = nullptr;
  QWidget* TabSheet4 = nullptr;

  QLineEdit* epresetname = nullptr;
  QLineEdit* earcname = nullptr;
  QLineEdit* eadddate = nullptr;
  QCheckBox* cbeforeactive = nullptr;
  QCheckBox* cbeforesync = nullptr;
  QCheckBox* cbeforehidden = nullptr;
  QLineEdit* ebeforeexe = nullptr;
  QToolButton* bbeforeexe = nullptr;
  QLineEdit* ebeforeparams = nullptr;
  QCheckBox* cafteractive = nullptr;
  QCheckBox* caftersync = nullptr;
  QCheckBox* cafterhidden = nullptr;
  QLineEdit* eafterexe = nullptr;
  QToolButton* bafterexe = nullptr;
  QLineEdit* eafterparams = nullptr;
  QCheckBox* c2copy = nullptr;
  QCheckBox* c2cd = nullptr;
  QCheckBox* c2smtp = nullptr;
  QCheckBox* c2ftp = nullptr;
  QComboBox* earcformat = nullptr;
  QComboBox* ecompression = nullptr;
  QComboBox* edictionary = nullptr;
  QComboBox* epaths = nullptr;
  QComboBox* evolumes = nullptr;
  QLineEdit* eswitches = nullptr;
  QCheckBox* cpass = nullptr;
  QLineEdit* epass = nullptr;
  QCheckBox* clock = nullptr;
  QCheckBox* csolid = nullptr;
  QCheckBox* cbkgnd = nullptr;
  QCheckBox* chide = nullptr;
  QCheckBox* ctest = nullptr;
  QCheckBox* cdel = nullptr;
  QCheckBox* cwipe = nullptr;
  QCheckBox* cshared = nullptr;
  QCheckBox* crecurse = nullptr;
  QCheckBox* cerase = nullptr;
  QCheckBox* cauth = nullptr;
  QCheckBox* cquit = nullptr;
  QCheckBox* crecovery = nullptr;
  QSpinBox* errsize = nullptr;
  QCheckBox* cprior = nullptr;
  QSlider* prior_p = nullptr;
  QLabel* priorcom = nullptr;
  QSpinBox* esleep = nullptr;
  QCheckBox* cirp = nullptr;

  QCheckBox* cfolder = nullptr;
  QLineEdit* efoldername = nullptr;
  QToolButton* bfolder = nullptr;
  QCheckBox* cempty = nullptr;
  QLineEdit* eemptymask = nullptr;
  QCheckBox* coverwrite = nullptr;
  QCheckBox* cdirect = nullptr;
  QComboBox* edirectraringmode = nullptr;
  QCheckBox* ccopyclnr = nullptr;
  QComboBox* copyclnrmode = nullptr;
  QSpinBox* ecopyclnrlimit = nullptr;
  QCheckBox* ccdrw = nullptr;
  QComboBox* ecdrive = nullptr;
  QLineEdit* ecddrivename = nullptr;
  QPushButton* bburnerinfo = nullptr;
  QLineEdit* ecspeed = nullptr;
  QComboBox* ecdspeed = nullptr;
  QSpinBox* ebufsize = nullptr;
  QCheckBox* ecerase = nullptr;
  QCheckBox* ceraseroom = nullptr;
  QCheckBox* cverifycd = nullptr;
  QCheckBox* cnevereject = nullptr;
  QCheckBox* cftp = nullptr;
  QLineEdit* efserver = nullptr;
  QComboBox* efssl = nullptr;
  QLineEdit* effolder = nullptr;
  QLineEdit* efuser = nullptr;
  QLineEdit* efpass = nullptr;
  QCheckBox* cfac = nullptr;
  QLineEdit* efproxy = nullptr;
  QLineEdit* efproxyport = nullptr;
  QCheckBox* cftpclnr = nullptr;
  QComboBox* ftpclnrmode = nullptr;
  QSpinBox* eftpclnrlimit = nullptr;
  QCheckBox* chkftpclnrrunafter = nullptr;
  QCheckBox* csmtp = nullptr;
  QLineEdit* esserver = nullptr;
  QComboBox* esssl = nullptr;
  QLineEdit* esuser = nullptr;
  QLineEdit* espass = nullptr;
  QLineEdit* esfrom = nullptr;
  QLineEdit* esto = nullptr;
  QCheckBox* csmtpclnr = nullptr;
  QComboBox* smtpclnrmode = nullptr;
  QSpinBox* esmtpclnrlimit = nullptr;
  QLineEdit* efastring = nullptr;

  QListWidget* inc = nullptr;
  QCheckBox* conlyfiles = nullptr;
  QPushButton* beditinc = nullptr;
  QListWidget* exc = nullptr;
  QPushButton* beditexc = nullptr;
  QPushButton* bexcadv = nullptr;
  QPushButton* bexplorer = nullptr;
  QPushButton* bbrowser = nullptr;

  QPlainTextEdit* presnotes = nullptr;
  QPlainTextEdit* arccomment = nullptr;

  QPushButton* bupdate = nullptr;
  QPushButton* bcancel = nullptr;
  QPushButton* bhelp = nullptr;
  QPushButton* BitBtn2 = nullptr;
  QPushButton* BitBtn1 = nullptr;
  QPushButton* selectglyph = nullptr;
  QPushButton* removeglyph = nullptr;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void showEvent(QShowEvent* event) override;

 public:
  void done(int result) override;

 private:
  void BuildGeneralPage();
  void BuildActionsPage();
  void BuildFileListsPage();
  void BuildNotesPage();
  void BuildButtons();
  // The window within the available area of its screen: no larger than it
  // (the pages scroll, the buttons take two rows where one does not fit)
  // and placed inside it.
  void FitToScreen();
  void KeepOnScreen();
  // The window manager's frame around the window, or a guess before it is known.
  QMargins FrameMargins() const;
  void ConnectRules();
  void ApplyLanguage();
  void FormCreate();
  void LoadListsAndNotes(const std::string& name);
  bool WritePreset(const std::string& name, std::string& failedFile, std::string& reason);
  void AskPassword();
  void MirrorQuickBoxes(QCheckBox* a, QCheckBox* b);
  std::string TypedName() const;

  disc::TLCDBurnerPro* burner_;
  QBoxLayout* buttonRows_ = nullptr;
  bool loading_ = false;
};

class TForm1;

// What the main window's preset configuration opens: the dialog, modally,
// on that page, for the preset's name or kNewPresetName.  Where no window
// can be seen it says so on standard error instead of waiting.
void ShowPresetDialog(TForm1* main, const std::string& name, const std::string& page);

// A dialog of the preset window's family under the active skin: the
// preset-window picture behind its controls, and, when that picture is
// shown, the skin's file-list colours on the given input controls
// (background only) and lists (background and text).
void ApplyDialogSkin(QWidget* dialog, const std::vector<QWidget*>& inputs, const std::vector<QWidget*>& lists);

}  // namespace yux
