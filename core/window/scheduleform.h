#pragma once
// The schedule window: the list of schedule rows, the controls that make an
// entry (adding, updating and removing rows), the scheduler switch, the day
// information, its translation and day names, the hand-over of a second
// instance (signal the first through the named event and end), and the
// placing of the main window in the first instance.
#include <QWidget>

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "core/store/schedule.h"
#include "platform/messages.h"

class QCheckBox;
class QComboBox;
class QDate;
class QDateEdit;
class QFrame;
class QGroupBox;
class QLabel;
class QMenu;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTimeEdit;
class QTreeWidget;

namespace yux {

class TForm5;

// What the schedule window asks of the main window, which implements it:
// the schedule window never includes the main window.
class ScheduleWindowHost {
 public:
  virtual ~ScheduleWindowHost() = default;
  // The schedule window came or goes (the host keeps track of the one open).
  virtual void ScheduleWindowOpened(TForm5* window) = 0;
  virtual void ScheduleWindowClosed(TForm5* window) = 0;
  // Reads the presets folder into the preset lists.
  virtual void LoadPresetList() = 0;
  // Closes the main window (its close query first); true when it closed.
  virtual bool CloseForm() = 0;
  // The language file's FORMS step for the main window.
  virtual void ApplyLanguageForms(const std::string& fileName) = 0;
  // The command line asked not to show the main window at start.
  virtual void HideAtStartRequested() = 0;
  // Starts the one-second scheduler tick.
  virtual void StartSchedulerTick() = 0;
  // Places the main window.
  virtual void PlaceWindow(int left, int top, int width, int height) = 0;
  // True when the main window has an icon in the tray.
  virtual bool HasTrayIcon() const = 0;
  // "Show / Hide" of the main window.
  virtual void ShowHide() = 0;
};

// How long a second instance keeps the scheduler event before it ends, so
// that the first instance's one-second tick sees it.
inline constexpr platform::DWORD kSchedulerEventHoldMs = 1500;

// The interval of the day-of-week ("Every") mode, and the bounds of the
// hidden interval box that every interval of the window passes.
inline constexpr int kDayOfWeekInterval = 10080;
inline constexpr int kMinWindowInterval = 1;
inline constexpr int kMaxWindowInterval = 518400;

// The interval of days, hours and minutes as the hidden interval box holds
// it: 1 .. 518400 minutes.
int WindowInterval(int days, int hours, int minutes);

class TForm5 : public QWidget {
  Q_OBJECT

 public:
  explicit TForm5(ScheduleWindowHost* mainWindow, QWidget* parent = nullptr);
  ~TForm5() override;

  // The creation steps: the schedule and the preset list are loaded, the
  // command line is examined (its requests join the schedule), and a second
  // instance hands over to the first.  An exit code when the process ends
  // here.
  std::optional<int> FormCreate(const std::vector<std::string>& args);

  // FORMS step of the window with its numbered keys.
  void ApplyLanguage(const std::string& fileName);
  // Signals the first instance: creates the scheduler event set, sets it,
  // keeps it for `holdMs`, then lets it go.  False when the event cannot be
  // made.
  static bool SignalFirstInstance(platform::DWORD holdMs = kSchedulerEventHoldMs);
  // Places the main window at the saved position and size (30, 30, 640 x 480
  // when they cannot be used).
  void PlaceMainWindow();

  // ---- the list and the controls ----
  // Fills the list from the schedule rows, keeping the selected row
  // selected when it is still there.
  void ShowRows();
  // The selected row's index in the schedule; nothing without a selection.
  std::optional<std::size_t> SelectedRow() const;
  // The entry the controls describe (without checks).
  tschopt EntryFromControls() const;
  // The day mask of the seven day boxes and the day-skip box.
  std::string DowText() const;
  // Add: the controls' entry joins the schedule.  Nothing with an empty
  // name; refused (with a box) when no day is checked.  True when added.
  bool bAddClick();
  // Update: the selected row is replaced by the controls' entry.  When the
  // schedule refuses the new entry the old row is put back.
  void bupdateClick();
  // Delete: after the confirmation the selected row goes.
  void bdeleteClick();
  // A double click on a row: its entry into the controls.
  void LoadRowIntoControls(std::size_t row);
  // "Every" (day of week) or "Interval" mode; "Every" fixes the precise box.
  void SetEveryMode(bool every);
  // The scheduler switch: toggles, or sets, SchedulerOn with its log line.
  void ToggleScheduler();
  void SetSchedulerOn(bool on);
  // The switch's images and label from SchedulerOn.
  void ShowSchedulerState();
  // What activation does: the switch's state and the day information with
  // " @ ".
  void FormActivate();
  // The day information after a change of date or time (" at ").
  void UpdateDayLabel();
  // "Now" of the pickers' pop-up menu.
  void NowClick();
  void bhelpClick();
  // The active skin's colours on the list and the input controls (system
  // colours with skinning off); the picture is painted behind the window.
  void ApplySkin();

  // Sunday first.
  std::array<std::string, 7> DayNames;

  QTreeWidget* sch = nullptr;
  QLabel* Label1 = nullptr;  // "Preset/com"
  QComboBox* presetbox = nullptr;
  QDateEdit* datepicker = nullptr;
  QTimeEdit* timepicker = nullptr;
  QLabel* daylabel = nullptr;
  QSpinBox* repeat = nullptr;
  QRadioButton* rinterval = nullptr;
  QRadioButton* revery = nullptr;
  QSpinBox* days = nullptr;
  QSpinBox* hours = nullptr;
  QSpinBox* minutes = nullptr;
  std::array<QCheckBox*, 7> dowbox{};  // Monday first
  QCheckBox* dayskip = nullptr;
  QCheckBox* precise = nullptr;
  QGroupBox* ondelay = nullptr;
  std::array<QRadioButton*, 3> ondelayItems{};
  QFrame* schpanel = nullptr;  // the scheduler switch
  QLabel* schlabel = nullptr;  // the scheduler switch's "ON"/"OFF"
  QLabel* imgon = nullptr;     // green: shown while on, a click switches off
  QLabel* imgoff = nullptr;    // red: shown while off, a click switches on
  QMenu* PopupMenu1 = nullptr; // the pickers' pop-up menu
  QPushButton* bAdd = nullptr;
  QPushButton* bupdate = nullptr;
  QPushButton* bdelete = nullptr;
  QPushButton* bclose = nullptr;
  QPushButton* bhelp = nullptr;

 protected:
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void DayBoxToggled(int index, bool checked);
  std::string DayName(const QDate& date) const;

  ScheduleWindowHost* main_;
  // Controls are being filled from a row: their own handlers keep quiet.
  bool loading_ = false;
};

}  // namespace yux
