#include "core/scheduleform.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTimeEdit>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <chrono>
#include <thread>

#include "core/cmdline_args.h"
#include "core/flags.h"
#include "core/language.h"
#include "core/mainform.h"
#include "core/msgtable.h"
#include "core/options.h"
#include "core/schedule.h"
#include "core/shellutils.h"
#include "core/startup.h"
#include "platform/namedobjects.h"

namespace yux {
namespace {

template <typename T>
T* Named(T* w, const char* name) {
  w->setObjectName(name);
  return w;
}

QPushButton* BitBtn(const char* text, const char* name, QWidget* parent) {
  auto* b = Named(new QPushButton(text, parent), name);
  b->setProperty("yuxClass", "TBitBtn");
  return b;
}

}  // namespace

TForm5::TForm5(TForm1* mainWindow, QWidget* parent) : QWidget(parent, Qt::Window), main_(mainWindow) {
  setObjectName("Form5");
  setWindowTitle("YUX - Schedule");

  auto* top = new QVBoxLayout(this);

  sch = Named(new QTreeWidget(this), "sch");
  sch->setRootIsDecorated(false);
  sch->setColumnCount(3);
  sch->setHeaderLabels({"Date/time", "Preset", "Options"});
  sch->setSortingEnabled(false);
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
  hours = Named(new QSpinBox(this), "hours");
  hours->setRange(0, 23);
  minutes = Named(new QSpinBox(this), "minutes");
  minutes->setRange(0, 59);
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

  auto* buttons = new QHBoxLayout;
  top->addLayout(buttons);
  schlabel = Named(new QLabel(Options.son ? "ON" : "OFF", this), "schlabel");
  bAdd = BitBtn("Add", "bAdd", this);
  bupdate = BitBtn("Update", "bupdate", this);
  bdelete = BitBtn("Delete", "bdelete", this);
  bhelp = BitBtn("Help", "bhelp", this);
  bclose = BitBtn("Close", "bclose", this);
  buttons->addWidget(schlabel);
  buttons->addStretch(1);
  for (QPushButton* b : {bAdd, bupdate, bdelete, bhelp, bclose}) buttons->addWidget(b);
  connect(bclose, &QPushButton::clicked, this, &QWidget::close);

  resize(560, 520);
  if (main_) main_->Form5 = this;
}

TForm5::~TForm5() {
  if (main_ && main_->Form5 == this) main_->Form5 = nullptr;
}

std::optional<int> TForm5::FormCreate(const std::vector<std::string>& args) {
  if (!SecondInstance) {
    ApplyLanguage(Options.lng);
    for (int i = 0; i < 7; ++i) DayNames[i] = MessageText("dow" + std::to_string(i + 1));
  }

  LoadSchedule();
  RefreshSchedule();
  datepicker->setDate(QDate::currentDate());
  timepicker->setTime(QTime::currentTime());
  if (main_) main_->LoadPresetList();
  const int w = sch->viewport()->width() > 0 ? sch->width() : 540;
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
    if (main_) main_->HideAtStart = true;
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
  if (main_) main_->schtimer->start();
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
    main_->setGeometry(o.px1, o.py1, o.px2, o.py2);
  else
    main_->setGeometry(30, 30, 640, 480);
}

}  // namespace yux
