// The schedule window.
#include "core/window/scheduleform.h"

#include <QCalendarWidget>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTimeEdit>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <thread>

#include "core/schedule/cmdline_args.h"
#include "core/services/shellnotifier.h"
#include "core/services/shellutils.h"
#include "core/services/startup.h"
#include "core/store/flags.h"
#include "core/store/language.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/programlog.h"
#include "core/store/schedule.h"
#include "core/store/skin.h"
#include "core/window/widgetnames.h"
#include "platform/messagebox.h"
#include "platform/namedobjects.h"

namespace yux {
namespace {

// One of the scheduler switch's lamps.  A picture, not a text: the
// language step must not touch it.
QLabel* Lamp(const QColor& colour, const char* name, QWidget* parent) {
  QPixmap pixmap(18, 18);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(colour.darker(160), 1.5));
  p.setBrush(colour);
  p.drawEllipse(QRectF(1.5, 1.5, 15, 15));
  p.end();
  auto* lamp = Named(new QLabel(parent), name);
  lamp->setProperty("yuxClass", "TImage");
  lamp->setPixmap(pixmap);
  lamp->setCursor(Qt::PointingHandCursor);
  return lamp;
}

// The picked time without milliseconds: the row's date text keeps whole
// seconds, and so must the entry.
QTime WholeSeconds(const QTime& t) { return QTime(t.hour(), t.minute(), t.second()); }

std::string ItemText(const QTreeWidgetItem* item, int column) { return item->text(column).toStdString(); }

}  // namespace

int WindowInterval(int days, int hours, int minutes) {
  const long long total = static_cast<long long>(days) * 1440 + static_cast<long long>(hours) * 60 + minutes;
  return static_cast<int>(std::clamp<long long>(total, kMinWindowInterval, kMaxWindowInterval));
}

TForm5::TForm5(ScheduleWindowHost* mainWindow, QWidget* parent) : QWidget(parent, Qt::Window), main_(mainWindow) {
  setObjectName("Form5");
  setWindowTitle("YUX - Schedule");

  auto* top = new QVBoxLayout(this);

  sch = Named(new QTreeWidget(this), "sch");
  sch->setRootIsDecorated(false);
  sch->setColumnCount(3);
  sch->setHeaderLabels({"Date/time", "Preset", "Options"});
  sch->setSortingEnabled(false);
  sch->setSelectionMode(QAbstractItemView::SingleSelection);
  sch->setSelectionBehavior(QAbstractItemView::SelectRows);
  sch->setEditTriggers(QAbstractItemView::NoEditTriggers);
  top->addWidget(sch, 1);

  auto* grid = new QGridLayout;
  top->addLayout(grid);
  Label1 = Named(new QLabel("Preset/com", this), "Label1");
  presetbox = Named(new QComboBox(this), "presetbox");
  presetbox->setEditable(true);
  grid->addWidget(Label1, 0, 0);
  grid->addWidget(presetbox, 0, 1, 1, 3);

  datepicker = Named(new QDateEdit(QDate::currentDate(), this), "datepicker");
  datepicker->setCalendarPopup(true);
  datepicker->setDisplayFormat("yyyy.MM.dd");
  timepicker = Named(new QTimeEdit(QTime::currentTime(), this), "timepicker");
  timepicker->setDisplayFormat("hh:mm:ss");
  daylabel = Named(new QLabel(this), "daylabel");
  grid->addWidget(datepicker, 1, 0);
  grid->addWidget(timepicker, 1, 1);
  grid->addWidget(daylabel, 1, 2, 1, 2);
  PopupMenu1 = Named(new QMenu(this), "PopupMenu1");
  QAction* nowItem = PopupMenu1->addAction("Now");
  nowItem->setObjectName("Now1");
  connect(nowItem, &QAction::triggered, this, [this] { NowClick(); });
  for (QWidget* picker : {static_cast<QWidget*>(datepicker), static_cast<QWidget*>(timepicker)}) {
    picker->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(picker, &QWidget::customContextMenuRequested, this,
            [this, picker](const QPoint& pos) { PopupMenu1->popup(picker->mapToGlobal(pos)); });
  }
  connect(datepicker, &QDateEdit::dateChanged, this, [this] { UpdateDayLabel(); });
  connect(timepicker, &QTimeEdit::timeChanged, this, [this] { UpdateDayLabel(); });
  if (QCalendarWidget* calendar = datepicker->calendarWidget())
    connect(calendar, &QCalendarWidget::clicked, this, [this] { UpdateDayLabel(); });

  auto* repeatLabel = Named(new QLabel("Repeat", this), "Label2");
  repeat = Named(new QSpinBox(this), "repeat");
  repeat->setRange(-1, 99999999);
  repeat->setValue(-1);
  grid->addWidget(repeatLabel, 2, 0);
  grid->addWidget(repeat, 2, 1);

  rinterval = Named(new QRadioButton("Interval", this), "rinterval");
  revery = Named(new QRadioButton("Every", this), "revery");
  rinterval->setChecked(true);
  days = Named(new QSpinBox(this), "days");
  days->setRange(0, 3650);
  days->setSuffix(" d");
  hours = Named(new QSpinBox(this), "hours");
  hours->setRange(0, 23);
  hours->setSuffix(" h");
  minutes = Named(new QSpinBox(this), "minutes");
  minutes->setRange(0, 59);
  minutes->setSuffix(" min");
  grid->addWidget(rinterval, 3, 0);
  grid->addWidget(days, 3, 1);
  grid->addWidget(hours, 3, 2);
  grid->addWidget(minutes, 3, 3);

  auto* dowRow = new QHBoxLayout;
  grid->addWidget(revery, 4, 0);
  grid->addLayout(dowRow, 4, 1, 1, 3);
  const char* dowText[7] = {"M", "T", "W", "T", "F", "S", "S"};
  const char* dowNames[7] = {"dow1box", "dow2box", "dow3box", "dow4box", "dow5box", "dow6box", "dow7box"};
  for (int i = 0; i < 7; ++i) {
    dowbox[i] = Named(new QCheckBox(dowText[i], this), dowNames[i]);
    dowbox[i]->setChecked(true);
    dowRow->addWidget(dowbox[i]);
    connect(dowbox[i], &QCheckBox::toggled, this, [this, i](bool checked) { DayBoxToggled(i, checked); });
  }
  dayskip = Named(new QCheckBox("Day skip: [v] - add 24 hours; [ ] - add interval", this), "dayskip");
  grid->addWidget(dayskip, 5, 0, 1, 4);
  precise = Named(new QCheckBox("Precise interval if delayed", this), "precise");
  precise->setChecked(true);
  grid->addWidget(precise, 6, 0, 1, 4);

  ondelay = Named(new QGroupBox("If delayed", this), "ondelay");
  ondelay->setProperty("yuxClass", "TRadioGroup");
  auto* delayLayout = new QVBoxLayout(ondelay);
  const char* delayText[3] = {"Run as soon as possible", "Skip this execution and run next time",
                              "Delete from the schedule"};
  for (int i = 0; i < 3; ++i) {
    // Items of a radio group are no components of their own: numbered keys.
    ondelayItems[i] = new QRadioButton(delayText[i], ondelay);
    delayLayout->addWidget(ondelayItems[i]);
  }
  ondelayItems[0]->setChecked(true);
  grid->addWidget(ondelay, 7, 0, 1, 4);
  connect(revery, &QRadioButton::toggled, this, [this](bool every) { SetEveryMode(every); });

  auto* buttons = new QHBoxLayout;
  top->addLayout(buttons);
  schpanel = Named(new QFrame(this), "schpanel");
  schpanel->setFrameShape(QFrame::StyledPanel);
  schpanel->setCursor(Qt::PointingHandCursor);
  auto* switchLayout = new QHBoxLayout(schpanel);
  switchLayout->setContentsMargins(4, 2, 6, 2);
  imgoff = Lamp(QColor(210, 40, 40), "imgoff", schpanel);
  imgon = Lamp(QColor(40, 180, 60), "imgon", schpanel);
  schlabel = Named(new QLabel(Options.son ? "ON" : "OFF", schpanel), "schlabel");
  switchLayout->addWidget(imgoff);
  switchLayout->addWidget(imgon);
  switchLayout->addWidget(schlabel);
  for (QWidget* w : {static_cast<QWidget*>(schpanel), static_cast<QWidget*>(schlabel),
                     static_cast<QWidget*>(imgon), static_cast<QWidget*>(imgoff)})
    w->installEventFilter(this);
  bAdd = BitBtn("Add", "bAdd", this);
  bupdate = BitBtn("Update", "bupdate", this);
  bdelete = BitBtn("Delete", "bdelete", this);
  bhelp = BitBtn("Help", "bhelp", this);
  bclose = BitBtn("Close", "bclose", this);
  buttons->addWidget(schpanel);
  buttons->addStretch(1);
  for (QPushButton* b : {bAdd, bupdate, bdelete, bhelp, bclose}) buttons->addWidget(b);
  connect(bAdd, &QPushButton::clicked, this, [this] { bAddClick(); });
  connect(bupdate, &QPushButton::clicked, this, [this] { bupdateClick(); });
  connect(bdelete, &QPushButton::clicked, this, [this] { bdeleteClick(); });
  connect(bhelp, &QPushButton::clicked, this, [this] { bhelpClick(); });
  connect(bclose, &QPushButton::clicked, this, &QWidget::close);
  connect(sch, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
    const int row = sch->indexOfTopLevelItem(item);
    if (row >= 0) LoadRowIntoControls(static_cast<std::size_t>(row));
  });

  ShowSchedulerState();
  ShowRows();
  resize(640, 520);
  if (main_) main_->ScheduleWindowOpened(this);
  ApplySkin();
}

TForm5::~TForm5() {
  if (main_) main_->ScheduleWindowClosed(this);
}

std::optional<int> TForm5::FormCreate(const std::vector<std::string>& args) {
  if (!SecondInstance) {
    ApplyLanguage(Options.lng);
    for (int i = 0; i < 7; ++i) DayNames[i] = MessageText("dow" + std::to_string(i + 1));
  }

  LoadSchedule();
  RefreshSchedule();
  const QDateTime now = QtFromDateTime(Now());
  datepicker->setDate(now.date());
  timepicker->setTime(WholeSeconds(now.time()));
  if (main_) main_->LoadPresetList();
  // The list spans the window less its margins; before the window is first
  // laid out the list itself has no width yet.
  const int w = sch->isVisible() ? sch->width() : std::max(width() - 20, 200);
  sch->setColumnWidth(0, w / 4 + 5);
  sch->setColumnWidth(1, w / 4 + 70);
  sch->setColumnWidth(2, std::max(2 * w / 4 - 105, 0));
  RefreshSchedule();

  const CommandLineActions actions = ExamineCommandLine(args);
  if (actions.closeNow) {
    // A second instance may not switch the running one's scheduler.
    ForcedClose = true;
    if (main_) main_->CloseForm();
    return 0;
  }
  if (actions.applyLanguageForms && !SecondInstance) {
    if (main_) main_->ApplyLanguageForms(Options.lng);
    ApplyLanguage(Options.lng);
  }
  if (actions.hideAtStart) {
    if (main_) main_->HideAtStartRequested();
    HideApplicationWindow();
  }

  if (SecondInstance) {
    SignalFirstInstance();
    ForcedClose = true;
    if (main_) main_->CloseForm();
    return 0;
  }
  // The tick also notices a second instance's hand-over, so it runs with
  // an empty schedule too.
  if (main_) main_->StartSchedulerTick();
  for (tsnopt& task : ShellNotifierTasks) task.InactiveTill = 0;
  LoadShellNotifierTasks(ShellNotifierTasks);
  StartShellNotifiers();
  PlaceMainWindow();
  return std::nullopt;
}

void TForm5::ApplyLanguage(const std::string& fileName) {
  std::vector<NumberedText> numbered;
  for (int i = 0; i < 3; ++i) {
    numbered.push_back({"Form5schColumn" + std::to_string(i + 1),
                        [this, i] { return sch->headerItem()->text(i).toStdString(); },
                        [this, i](const std::string& t) { sch->headerItem()->setText(i, QString::fromStdString(t)); }});
    numbered.push_back({"Form5ondelay" + std::to_string(i + 1),
                        [this, i] { return ondelayItems[i]->text().toStdString(); },
                        [this, i](const std::string& t) { ondelayItems[i]->setText(QString::fromStdString(t)); }});
  }
  LoadLanguageForms(this, fileName, kScheduleWindowKinds, numbered);
}

bool TForm5::SignalFirstInstance(platform::DWORD holdMs) {
  auto event = platform::NamedEvent::Create(kSchedulerEventName, true);
  if (!event) return false;
  event->Set();
  std::this_thread::sleep_for(std::chrono::milliseconds(holdMs));
  return true;
}

void TForm5::PlaceMainWindow() {
  if (!main_) return;
  const topt& o = Options;
  if (o.px2 > 0 && o.py2 > 0 && o.px2 < 100000 && o.py2 < 100000)
    main_->PlaceWindow(o.px1, o.py1, o.px2, o.py2);
  else
    main_->PlaceWindow(30, 30, 640, 480);
}

// ---- the list and the controls ----------------------------------------------

void TForm5::ShowRows() {
  // The selection follows its row: the rows move as the tick and other
  // callers change the schedule, and an update or delete must act on the
  // row the user picked, never on whatever took its place.
  std::optional<tschdata> selected;
  if (QTreeWidgetItem* item = sch->currentItem(); item && item->isSelected())
    selected = tschdata{ItemText(item, 0), ItemText(item, 1), ItemText(item, 2)};

  const QSignalBlocker blocker(sch);
  sch->clear();
  QTreeWidgetItem* keep = nullptr;
  for (const tschdata& row : Schedule.Rows()) {
    auto* item = new QTreeWidgetItem(
        sch, {QString::fromStdString(row.DateText), QString::fromStdString(row.Name), QString::fromStdString(row.Options)});
    if (!keep && selected && row == *selected) keep = item;
  }
  if (keep) {
    sch->setCurrentItem(keep);
    keep->setSelected(true);
  } else {
    sch->setCurrentItem(nullptr);
    sch->clearSelection();
  }
}

std::optional<std::size_t> TForm5::SelectedRow() const {
  QTreeWidgetItem* item = sch->currentItem();
  if (!item || !item->isSelected()) return std::nullopt;
  const int row = sch->indexOfTopLevelItem(item);
  if (row < 0 || static_cast<std::size_t>(row) >= Schedule.Count()) return std::nullopt;
  return static_cast<std::size_t>(row);
}

std::string TForm5::DowText() const {
  std::string dow;
  for (QCheckBox* box : dowbox) dow += box->isChecked() ? '1' : '0';
  dow += dayskip->isChecked() ? '1' : '0';
  return dow;
}

tschopt TForm5::EntryFromControls() const {
  tschopt e;
  e.Name = presetbox->currentText().toStdString();
  e.Interval = revery->isChecked() ? kDayOfWeekInterval
                                   : WindowInterval(days->value(), hours->value(), minutes->value());
  e.Date = DateTimeFromQt(QDateTime(datepicker->date(), WholeSeconds(timepicker->time())));
  e.Repeat = repeat->value();
  e.OnDelay = 0;
  for (int i = 0; i < 3; ++i)
    if (ondelayItems[i]->isChecked()) e.OnDelay = i;
  e.Precise = precise->isChecked();
  e.Dow = DowText();
  return e;
}

namespace {

// An entry whose mask allows no day could never be stepped to its next
// time.
bool NoDayChecked(const std::string& dow) { return dow.substr(0, 7).find('1') == std::string::npos; }

void NoDayBox() {
  platform::MessageBox(MessageText("select1dow"), kApplicationTitle, platform::MB_OK | platform::MB_ICONWARNING);
}

}  // namespace

bool TForm5::bAddClick() {
  if (presetbox->currentText().isEmpty()) return false;
  const tschopt entry = EntryFromControls();
  if (NoDayChecked(entry.Dow)) {
    NoDayBox();
    return false;
  }
  return AddToSchedule(entry);
}

void TForm5::bupdateClick() {
  if (presetbox->currentText().isEmpty()) return;
  const auto row = SelectedRow();
  if (!row) return;
  if (NoDayChecked(DowText())) {
    NoDayBox();
    return;
  }
  const tschdata old = Schedule.Row(*row);
  AddLog(MessageText("schedulerdeleted") + old.Name + " @ " + old.DateText);
  Schedule.Delete(*row);
  RefreshSchedule();
  if (!bAddClick()) {
    // The schedule refused the new entry (an unknown preset or command):
    // the row that was there comes back rather than being lost.
    Schedule.Add(old);
    AddLog(MessageText("scheduleradded") + old.Name + " @ " + old.DateText);
  }
  RefreshSchedule();
}

void TForm5::bdeleteClick() {
  const auto row = SelectedRow();
  if (!row) return;
  const tschdata picked = Schedule.Row(*row);
  if (platform::MessageBox("\r" + MessageText("removefromsch"), kApplicationTitle,
                           platform::MB_YESNO | platform::MB_ICONQUESTION) != platform::IDYES)
    return;
  // The scheduler ticks while the question is open: the row may have moved
  // or gone in the meantime.
  const auto& rows = Schedule.Rows();
  const auto it = std::find(rows.begin(), rows.end(), picked);
  if (it == rows.end()) return;
  AddLog(MessageText("schedulerdeleted") + picked.Name + " @ " + picked.DateText);
  Schedule.Delete(static_cast<std::size_t>(it - rows.begin()));
  RefreshSchedule();
}

void TForm5::LoadRowIntoControls(std::size_t row) {
  if (row >= Schedule.Count()) return;
  const tschdata texts = Schedule.Row(row);
  const auto entry = ParseScheduleEntry(texts);
  if (!entry) return;
  loading_ = true;
  const QString name = QString::fromStdString(entry->Name);
  const int index = presetbox->findText(name, Qt::MatchExactly | Qt::MatchCaseSensitive);
  if (index >= 0) presetbox->setCurrentIndex(index);
  else presetbox->setEditText(name);
  const QDateTime date = QtFromDateTime(entry->Date);
  datepicker->setDate(date.date());
  timepicker->setTime(WholeSeconds(date.time()));
  repeat->setValue(entry->Repeat);

  const int interval = entry->Interval;
  const bool every = interval == kDayOfWeekInterval;
  const int d = every || interval < 1440 ? 0 : interval / 1440;
  const int rest = interval - d * 1440;
  const int h = every || rest < 60 ? 0 : rest / 60;
  days->setValue(d);
  hours->setValue(h);
  minutes->setValue(every ? 0 : rest - h * 60);
  SetEveryMode(every);
  precise->setChecked(entry->Precise);
  ondelayItems[static_cast<std::size_t>(std::clamp(entry->OnDelay, 0, 2))]->setChecked(true);

  for (QCheckBox* box : dowbox) box->setChecked(true);
  dayskip->setChecked(false);
  for (std::size_t k = 0; k < 7 && k < entry->Dow.size(); ++k) dowbox[k]->setChecked(entry->Dow[k] == '1');
  if (entry->Dow.size() >= 8) dayskip->setChecked(entry->Dow[7] == '1');
  loading_ = false;
}

void TForm5::SetEveryMode(bool every) {
  if (revery->isChecked() != every) revery->setChecked(every);
  if (rinterval->isChecked() == every) rinterval->setChecked(!every);
  if (every) precise->setChecked(true);
  precise->setEnabled(!every);
}

void TForm5::DayBoxToggled(int index, bool checked) {
  if (checked || loading_) return;
  for (QCheckBox* box : dowbox)
    if (box->isChecked()) return;
  NoDayBox();
  const QSignalBlocker blocker(dowbox[static_cast<std::size_t>(index)]);
  dowbox[static_cast<std::size_t>(index)]->setChecked(true);
}

void TForm5::ToggleScheduler() { SetSchedulerOn(!Options.son); }

void TForm5::SetSchedulerOn(bool on) {
  Options.son = on;
  AddLog(MessageText(on ? "scheduleron" : "scheduleroff"));
  ShowSchedulerState();
}

void TForm5::ShowSchedulerState() {
  imgon->setVisible(Options.son);
  imgoff->setVisible(!Options.son);
  schlabel->setText(QString::fromStdString(MessageText(Options.son ? "schonword" : "schoffword")));
}

std::string TForm5::DayName(const QDate& date) const {
  // Qt counts Monday as 1 and Sunday as 7; the names begin with Sunday.
  const int index = date.dayOfWeek() % 7;
  if (index < 0) return {};
  const std::string& name = DayNames[static_cast<std::size_t>(index)];
  return name.empty() ? MessageText("dow" + std::to_string(index + 1)) : name;
}

void TForm5::FormActivate() {
  ShowSchedulerState();
  daylabel->setText(QString::fromStdString(DayName(datepicker->date()) + " @ ") +
                    timepicker->time().toString("hh:mm:ss"));
}

void TForm5::UpdateDayLabel() {
  daylabel->setText(QString::fromStdString(DayName(datepicker->date()) + " at ") +
                    timepicker->time().toString("hh:mm:ss"));
}

void TForm5::NowClick() {
  const QDateTime now = QtFromDateTime(Now());
  datepicker->setDate(now.date());
  timepicker->setTime(WholeSeconds(now.time()));
}

void TForm5::bhelpClick() { ShowHelpTopic("configuring_the_scheduler.htm"); }

void TForm5::ApplySkin() {
  std::vector<QWidget*> inputs = {presetbox, datepicker, timepicker, repeat, days, hours, minutes};
  for (QCheckBox* box : dowbox) inputs.push_back(box);
  if (!Options.ske) {
    ResetSkinColours(sch);
    for (QWidget* w : inputs) ResetSkinColours(w);
  } else {
    SetSkinColours(sch, Skin.ScheduleTableBackground, Skin.ScheduleTableColor);
    // An empty controls colour means "not set": the system painted such
    // controls black on black, which left them unreadable.
    for (QWidget* w : inputs) SetSkinColours(w, Skin.FileListBackground, Skin.FileListColor);
  }
  PaintSkinBackground(this, SkinPicture::Schedule);
  sch->viewport()->update();
  update();
}

void TForm5::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) FormActivate();
  // Without a tray the main window would have no way back: then minimising
  // keeps its normal meaning.
  const bool trayUsable = main_ && main_->HasTrayIcon() && QSystemTrayIcon::isSystemTrayAvailable();
  if (event->type() == QEvent::WindowStateChange && isMinimized() && !Options.smz && trayUsable &&
      !(static_cast<QWindowStateChangeEvent*>(event)->oldState() & Qt::WindowMinimized)) {
    // Minimising hides the window and sends the main window to the tray;
    // the state change is undone once the window system is done with it.
    QTimer::singleShot(0, this, [this] {
      if (!isMinimized()) return;
      setWindowState(windowState() & ~Qt::WindowMinimized);
      hide();
      if (main_) main_->ShowHide();
    });
  }
}

void TForm5::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  // Without a window system nothing is ever activated; showing is when the
  // window comes up.
  FormActivate();
}

void TForm5::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    close();
    return;
  }
  if (event->key() == Qt::Key_F1) {
    bhelpClick();
    return;
  }
  QWidget::keyPressEvent(event);
}

bool TForm5::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonPress &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    if (watched == imgoff) {
      SetSchedulerOn(true);
      return true;
    }
    if (watched == imgon) {
      SetSchedulerOn(false);
      return true;
    }
    if (watched == schpanel || watched == schlabel) {
      ToggleScheduler();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace yux
