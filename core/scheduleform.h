#pragma once
// The schedule window's frame: its controls, translation and day names, the
// hand-over of a second instance (signal the first through the named event
// and end), and the placing of the main window in the first instance.
#include <QWidget>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "platform/messages.h"

class QCheckBox;
class QComboBox;
class QDateEdit;
class QGroupBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTimeEdit;
class QTreeWidget;

namespace yux {

class TForm1;

// How long a second instance keeps the scheduler event before it ends, so
// that the first instance's one-second tick sees it.
inline constexpr platform::DWORD kSchedulerEventHoldMs = 1500;

class TForm5 : public QWidget {
  Q_OBJECT

 public:
  explicit TForm5(TForm1* mainWindow, QWidget* parent = nullptr);
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
  QLabel* schlabel = nullptr;  // the scheduler switch's "ON"/"OFF"
  QPushButton* bAdd = nullptr;
  QPushButton* bupdate = nullptr;
  QPushButton* bdelete = nullptr;
  QPushButton* bclose = nullptr;
  QPushButton* bhelp = nullptr;

 private:
  TForm1* main_;
};

}  // namespace yux
