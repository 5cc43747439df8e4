// The main window's menus, toolbars, keys, tray icon, timers and the
// commands of the log list.
#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCursor>
#include <QFileDialog>
#include <QHeaderView>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "core/services/shellutils.h"
#include "core/services/startup.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/window/mainform.h"
#include "core/window/tray.h"
#include "platform/messagebox.h"
#include "platform/process.h"

namespace yux {

namespace {
namespace fs = std::filesystem;

QTimer* NamedTimer(QObject* owner, const char* name, int interval) {
  auto* timer = new QTimer(owner);
  timer->setObjectName(name);
  if (interval > 0) timer->setInterval(interval);
  return timer;
}

void InfoBox(const std::string& text) {
  platform::MessageBox(text, kApplicationTitle, platform::MB_OK | platform::MB_ICONINFORMATION);
}

}  // namespace

void TForm1::CreateTimers() {
  // What the scheduler tick, the retries, the operation time-out, the
  // dial-up wait and the FTP watchdog do is connected by their owners.
  schtimer = NamedTimer(this, "schtimer", 1000);
  // The tick runs from the event loop rather than inside the timer's own
  // event: a timer is never delivered again while its event is handled, and
  // the tick must keep coming (for "/ABORT") while a preset run it started
  // pumps messages.
  connect(schtimer, &QTimer::timeout, this, [] { SchedulerTick(); }, Qt::QueuedConnection);
  // A second instance's announcement lasts 1.5 s; the tick above reaches a
  // run's waits up to a pass of messages late.  Taken in straight from this
  // timer's event (it handles no messages), it is seen within its interval.
  otherinstancetimer = NamedTimer(this, "otherinstancetimer", 250);
  connect(otherinstancetimer, &QTimer::timeout, this, [] { TakeOtherInstanceUpdate(); });
  retrytimer = NamedTimer(this, "retrytimer", 3000);
  Optimer = NamedTimer(this, "Optimer", 0);  // stage minutes x 60000, set per use
  waitfordialup = NamedTimer(this, "waitfordialup", 60000);
  ftpretrytimer = NamedTimer(this, "ftpretrytimer", 30000);
  yuxbintimerk = NamedTimer(this, "yuxbintimerk", 1000);
  connect(yuxbintimerk, &QTimer::timeout, this, [this] {
    TakePendingBinPaths();
    if (OnKeeperTimer) OnKeeperTimer();
    else yuxbintimerk->stop();
  });
  splashtimer = NamedTimer(this, "splashtimer", kSplashMs);
  splashtimer->setSingleShot(true);
  yuxbintimerr = NamedTimer(this, "yuxbintimerr", 1000);
  connect(yuxbintimerr, &QTimer::timeout, this, [this] {
    TakePendingBinPaths();
    if (OnRecycleTimer) OnRecycleTimer();
    else yuxbintimerr->stop();
  });
}

QAction* TForm1::Item(QMenu* menu, const char* text, const char* name, std::function<void()> handler) {
  auto* action = new QAction(QString::fromUtf8(text), menu);
  action->setObjectName(name);
  connect(action, &QAction::triggered, this, [handler = std::move(handler)] { handler(); });
  menu->addAction(action);
  return action;
}

void TForm1::CreateMenus() {
  auto withPreset = [this](void (TForm1::*command)()) {
    return [this, command] { (this->*command)(); };
  };
  auto bins = [this](QMenu* menu, const char* off, const char* keeper, const char* recycle) {
    auto* group = new QActionGroup(menu);
    const char* texts[3] = {"Off", "Keeper", "Recycle"};
    const char* names[3] = {off, keeper, recycle};
    for (int mode = 0; mode < 3; ++mode) {
      QAction* a = Item(menu, texts[mode], names[mode], [this, mode] { SetBinMode(mode); });
      a->setCheckable(true);
      a->setData(mode);
      a->setChecked(Options.obt == mode);
      group->addAction(a);
    }
  };
  auto settingsPages = [this](QMenu* menu, int suffix) {
    const char* pages[8] = {"General", "Interface", "YUX-BIN", "Remote Access",
                            "Dialup", "Error management", "Security", "Appearance"};
    const char* names[8] = {"General", "Interface", "YUXBIN", "RemoteAccess",
                            "Dialup", "Errormanagement", "Security", "Appearance"};
    for (int i = 0; i < 8; ++i) {
      const std::string page = pages[i];
      const std::string name = std::string(names[i]) + std::to_string(suffix);
      QAction* a = Item(menu, pages[i], "", [this, page] { OpenSettings(page); });
      a->setObjectName(QString::fromStdString(name));
    }
  };

  QMenuBar* bar = menuBar();
  bar->setObjectName("MainMenu1");
  QMenu* presets = bar->addMenu("&Presets");
  presets->setObjectName("Presets1");
  presets->menuAction()->setObjectName("Presets1");  // the title, for the language file
  Item(presets, "Run", "Run1", withPreset(&TForm1::RunSelectedPreset));
  Item(presets, "Preset configuration", "Presetconfiguration1", [this] {
    if (auto name = PresetForCommand(false)) PresetConfiguration(*name);
  });
  Item(presets, "Restore", "Restore1", withPreset(&TForm1::Restore1Click));
  Item(presets, "Schedule", "Scheduling1", withPreset(&TForm1::Scheduling1Click));
  Item(presets, "Create a shortcut", "Createashortcut1", withPreset(&TForm1::CreateShortcut1Click));
  Item(presets, "Duplicate", "Duplicate1", [this] { Duplicate1Click(false); });
  Item(presets, "Rename", "Rename1", [this] { Duplicate1Click(true); });
  Item(presets, "Delete", "Delete1", withPreset(&TForm1::Delete1Click));
  presets->addSeparator();
  Item(presets, "Add new", "New1", withPreset(&TForm1::New1Click));
  presets->addSeparator();
  Item(presets, "Exit", "Exit1", [this] { CloseForm(); });

  QMenu* tools = bar->addMenu("&Tools");
  tools->setObjectName("Tools1");
  tools->menuAction()->setObjectName("Tools1");  // the title, for the language file
  Item(tools, "&Scheduler", "Scheduler1", withPreset(&TForm1::bschClick));
  Item(tools, "Shell &Notifier", "ShellNotifier1", [this] {
    if (OnShellNotifierDialog) OnShellNotifierDialog();
  });
  QMenu* binMenu = tools->addMenu("YUX-BIN");
  binMenu->setObjectName("YUXBINmode1");
  binMenu->menuAction()->setObjectName("YUXBINmode1");  // the title, for the language file
  bins(binMenu, "Off1", "Keeper1", "Recycle1");

  QMenu* settings = bar->addMenu("&Settings");
  settings->setObjectName("Settings1");
  settings->menuAction()->setObjectName("Settings1");  // the title, for the language file
  settingsPages(settings, 1);

  QMenu* log = bar->addMenu("&Log");
  log->setObjectName("Log1");
  log->menuAction()->setObjectName("Log1");  // the title, for the language file
  Item(log, "View WinRAR log", "ViewWinRARlog1", withPreset(&TForm1::ViewWinRarLog));
  Item(log, "Export log to a text file", "Exportlog1", [this] {
    const QString file = platform::IsHeadless() ? QString()
                                                : QFileDialog::getSaveFileName(this, "Save log file", QString(),
                                                                               "Text files (*.txt);;All files (*)");
    if (!file.isEmpty()) ExportLog(file.toStdString());
  });
  Item(log, "Truncate log", "Truncatelog1", [] { TruncateLog(); });
  Item(log, "Clear log (delete all records)", "Clearlog1", withPreset(&TForm1::ClearLog));

  QMenu* help = bar->addMenu("&Help");
  help->setObjectName("Help1");
  help->menuAction()->setObjectName("Help1");  // the title, for the language file
  Item(help, "User manual", "Usermanual1", [] { ShowHelpTopic("index.htm"); });
  Item(help, "Pellmor website", "Pellmorwebsite1", withPreset(&TForm1::OpenWebsite));
  help->addSeparator();
  Item(help, "About YUX", "AboutYUX1", withPreset(&TForm1::ShowAbout));

  // The preset list's pop-up: every item but the last needs a selection.
  PopupMenu1 = new QMenu(this);
  PopupMenu1->setObjectName("PopupMenu1");
  Item(PopupMenu1, "Run", "Run2", withPreset(&TForm1::RunSelectedPreset));
  Item(PopupMenu1, "Preset configuration", "Presetconfiguration2", [this] {
    if (auto name = PresetForCommand(false)) PresetConfiguration(*name);
  });
  Item(PopupMenu1, "Restore", "Restore2", withPreset(&TForm1::Restore1Click));
  Item(PopupMenu1, "Schedule", "Scheduling2", withPreset(&TForm1::Scheduling1Click));
  Item(PopupMenu1, "Create a shortcut", "Createashortcut2", withPreset(&TForm1::CreateShortcut1Click));
  Item(PopupMenu1, "Duplicate", "Duplicate2", [this] { Duplicate1Click(false); });
  Item(PopupMenu1, "Rename", "Rename2", [this] { Duplicate1Click(true); });
  Item(PopupMenu1, "Delete", "Delete2", withPreset(&TForm1::Delete1Click));
  PopupMenu1->addSeparator();
  Item(PopupMenu1, "Add new", "New2", withPreset(&TForm1::New1Click));
  connect(list, &QWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
    PreparePresetPopup();
    PopupMenu1->popup(list->viewport()->mapToGlobal(pos));
  });

  PopupMenu2 = new QMenu(this);
  PopupMenu2->setObjectName("PopupMenu2");
  for (QAction* a : log->actions()) PopupMenu2->addAction(a);
  connect(loglist, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { PopupMenu2->popup(loglist->viewport()->mapToGlobal(pos)); });

  // The tray's menu.
  mainmenu = new QMenu(this);
  mainmenu->setObjectName("mainmenu");
  QAction* showHide = Item(mainmenu, "Show / Hide", "ShowHide1", withPreset(&TForm1::ShowHide));
  mainmenu->setDefaultAction(showHide);
  mainmenu->addSeparator();
  Item(mainmenu, "&Scheduler", "Scheduler2", withPreset(&TForm1::bschClick));
  Item(mainmenu, "Shell &Notifier", "ShellNotifier2", [this] {
    if (OnShellNotifierDialog) OnShellNotifierDialog();
  });
  Item(mainmenu, "Settings", "Settings2", [this] { OpenSettings("General"); });
  QMenu* trayBins = mainmenu->addMenu("YUX-BIN");
  trayBins->setObjectName("YUXBINmode2");
  trayBins->menuAction()->setObjectName("YUXBINmode2");  // the title, for the language file
  bins(trayBins, "Off2", "Keeper2", "Recycle2");
  mainmenu->addSeparator();
  Item(mainmenu, "Exit", "Exit2", [this] { CloseForm(); });

  connect(list, &QTreeWidget::itemDoubleClicked, this, [this] { RunSelectedPreset(); });
  connect(list->header(), &QHeaderView::sectionClicked, this, [this](int column) { ColumnClick(column); });
  connect(loglist, &QListWidget::itemDoubleClicked, this,
          [this](QListWidgetItem* item) { LogDoubleClick(loglist->row(item)); });
}

QToolButton* TForm1::Button(QToolBar* bar, const char* hint, const char* name, int icon,
                            std::function<void()> handler) {
  auto* button = new QToolButton(bar);
  button->setObjectName(name);
  button->setProperty("yuxClass", "TToolButton");
  button->setToolTip(QString::fromUtf8(hint));
  if (icon >= 0) {
    button->setIcon(style()->standardIcon(static_cast<QStyle::StandardPixmap>(icon)));
    button->setToolButtonStyle(Qt::ToolButtonIconOnly);
  } else {
    // A button with a caption instead of a picture and a hint.
    button->setProperty("yuxClass", "TSpeedButton");
    button->setText(QString::fromUtf8(hint));
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
  }
  button->setAutoRaise(true);
  connect(button, &QToolButton::clicked, this, [handler = std::move(handler)] { handler(); });
  bar->addWidget(button);
  return button;
}

void TForm1::CreateToolbars() {
  // Buttons that act on a preset ask for one first.
  auto onPreset = [this](std::function<void(const std::string&)> command) {
    return [this, command = std::move(command)] {
      if (auto name = PresetForCommand(true)) command(*name);
    };
  };
  Button(ToolBar1, "Run selected preset", "brun", QStyle::SP_MediaPlay,
         onPreset([this](const std::string&) { RunSelectedPreset(); }));
  Button(ToolBar1, "New preset", "baddpreset", QStyle::SP_FileDialogNewFolder, [this] { baddpresetClick(); });
  Button(ToolBar1, "Preset configuration", "bconfig", QStyle::SP_FileDialogDetailedView,
         onPreset([this](const std::string& n) { PresetConfiguration(n); }));
  Button(ToolBar1, "Duplicate preset", "bduplicate", QStyle::SP_FileDialogContentsView,
         onPreset([this](const std::string&) { Duplicate1Click(false); }));
  Button(ToolBar1, "Rename preset", "brename", QStyle::SP_FileDialogInfoView,
         onPreset([this](const std::string&) { Duplicate1Click(true); }));
  Button(ToolBar1, "Delete preset", "bdelete", QStyle::SP_TrashIcon,
         onPreset([this](const std::string&) { Delete1Click(); }));
  ToolBar1->addSeparator();
  Button(ToolBar1, "Restore files from the archive", "brestore", QStyle::SP_BrowserReload,
         onPreset([this](const std::string&) { Restore1Click(); }));
  Button(ToolBar1, "Schedule preset", "bschpreset", QStyle::SP_FileDialogListView,
         onPreset([this](const std::string&) { Scheduling1Click(); }));
  Button(ToolBar1, "Schedule", "bsch", QStyle::SP_ComputerIcon, [this] { bschClick(); });
  Button(ToolBar1, "Shell Notifier", "bnotifier", QStyle::SP_MessageBoxInformation, [this] {
    if (OnShellNotifierDialog) OnShellNotifierDialog();
  });
  Button(ToolBar1, "Settings", "bsettings", QStyle::SP_DesktopIcon, [this] { OpenSettings("General"); });
  ToolBar1->addSeparator();
  Button(ToolBar1, "Export YUX log to a text file", "bexportlog", QStyle::SP_DialogSaveButton,
         [this] { findChild<QAction*>("Exportlog1")->trigger(); });
  Button(ToolBar1, "Truncate YUX log", "btrunclog", QStyle::SP_ArrowDown, [] { TruncateLog(); });
  Button(ToolBar1, "Clear YUX log (delete all records)", "bclearlog", QStyle::SP_DialogDiscardButton,
         [this] { ClearLog(); });
  ToolBar1->addSeparator();
  Button(ToolBar1, "Manual", "bmanual", QStyle::SP_DialogHelpButton, [] { ShowHelpTopic("index.htm"); });
  Button(ToolBar1, "Visit Pellmor Website", "bwebsite", QStyle::SP_DirHomeIcon, [this] { OpenWebsite(); });
  Button(ToolBar1, "About", "babout", QStyle::SP_TitleBarContextHelpButton, [this] { ShowAbout(); });

  // The function-key bar: its buttons do what their keys do.
  ToolBar2 = new QToolBar(client);
  ToolBar2->setObjectName("ToolBar2");
  ToolBar2->setMovable(false);
  ToolBar2->installEventFilter(this);
  struct FKey {
    const char* text;
    const char* name;
    int key;
  };
  const FKey keys[] = {{"F1-Help", "bf1", Qt::Key_F1},       {"F2-Rename", "bf2", Qt::Key_F2},
                       {"F3-Restore", "bf3", Qt::Key_F3},    {"F4-Config", "bf4", Qt::Key_F4},
                       {"F5-Duplicate", "bf5", Qt::Key_F5},  {"F7-Schedule", "bf7", Qt::Key_F7},
                       {"F8-Delete", "bf8", Qt::Key_F8},     {"F9-Settings", "bf9", Qt::Key_F9},
                       {"F10-Quit", "bf10", Qt::Key_F10},    {"INS-New", "bins", Qt::Key_Insert},
                       {"DEL-Delete", "bdel", Qt::Key_Delete}};
  for (const FKey& k : keys) {
    const int key = k.key;
    QToolButton* b = Button(ToolBar2, k.text, k.name, -1, [this, key] { FormKeyDown(key, Qt::NoModifier, this); });
    b->setToolTip(QString());
  }
  ToolBar2->hide();
}

bool TForm1::FormKeyDown(int key, Qt::KeyboardModifiers modifiers, QObject* target) {
  const Qt::KeyboardModifiers held = modifiers & ~Qt::KeypadModifier;
  if (held == Qt::AltModifier || held == Qt::ControlModifier) return false;
  const bool selected = !SelectedPresetName().empty();
  if (target == list && (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space)) {
    RunSelectedPreset();
    return true;
  }
  switch (key) {
    case Qt::Key_F1:
      ShowHelpTopic("index.htm");
      return true;
    case Qt::Key_Delete:
    case Qt::Key_F8:
      if (selected) Delete1Click();
      return true;
    case Qt::Key_Insert:
      New1Click();
      return true;
    case Qt::Key_F11:
      ToolBar2->setVisible(!ToolBar2->isVisibleTo(this));
      LayoutControls();
      return true;
    case Qt::Key_F2:
    case Qt::Key_F6:
      if (selected) Duplicate1Click(true);
      return true;
    case Qt::Key_F3:
      if (selected) Restore1Click();
      return true;
    case Qt::Key_F4:
      if (selected) PresetConfiguration(SelectedPresetName());
      return true;
    case Qt::Key_F5:
      if (selected) Duplicate1Click(false);
      return true;
    case Qt::Key_F7:
      if (selected) Scheduling1Click();
      return true;
    case Qt::Key_F9:
      OpenSettings("General");
      return true;
    case Qt::Key_F10:
      CloseForm();
      return true;
    default:
      return false;
  }
}

// ---- Tray ----

void TForm1::CreateIcon() {
  if (TrayIcon) return;
  // Recreated during a run ("/SHOW", "/SHOWICON"), it keeps the run's icon.
  TrayIcon = new QSystemTrayIcon(RunInProgress() ? RunningIcon() : ApplicationIcon(), this);
  TrayIcon->setObjectName("TrayIcon");
  TrayIcon->setToolTip(kTrayTip);
  TrayIcon->setContextMenu(mainmenu);
  connect(TrayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::DoubleClick) ShowHide();
    else if (reason == QSystemTrayIcon::Trigger && !Options.dtb) ShowMiniSchedule();
    else if (reason == QSystemTrayIcon::Context && isVisible()) {
      raise();
      activateWindow();
    }
  });
  // Where the desktop has no tray the program goes on without an icon.
  if (SystemTrayAvailable()) TrayIcon->show();
}

void TForm1::DeleteIcon() {
  if (!TrayIcon) return;
  TrayIcon->hide();
  delete TrayIcon;
  TrayIcon = nullptr;
}

std::string TForm1::BalloonTitle() const { return balloonTitle_; }
std::string TForm1::BalloonText() const { return balloonText_; }

void TForm1::ShowMiniSchedule() {
  balloonTitle_ = CutText(MessageText("yuxschedulertip"), kBalloonTitleLimit);
  balloonText_ = CutText(MiniScheduleText(Options.son, Schedule.Rows(), RunActive, CurrentPresetName), kBalloonTextLimit);
  if (TrayIcon && TrayIcon->isVisible())
    TrayIcon->showMessage(QString::fromStdString(balloonTitle_), QString::fromStdString(balloonText_),
                          QSystemTrayIcon::Information, kBalloonTimeoutMs);
}

void TForm1::SetRunIcon(bool running) {
  if (TrayIcon) TrayIcon->setIcon(running ? RunningIcon() : ApplicationIcon());
}

void TForm1::HideProgress() { pb->hide(); }

void TForm1::ShowProgress(int pos) {
  if (pos < 0) {
    pb->hide();
    return;
  }
  pb->setRange(0, 100);
  pb->setValue(pos);
  pb->show();
}

// ---- Log list ----

void TForm1::ViewWinRarLog() {
  const std::string file = PathJoin(SettingsFolder, "winrar.log");
  std::error_code ec;
  if (!fs::is_regular_file(file, ec)) {
    InfoBox(MessageText("nowinrarlogfile"));
    return;
  }
  // The desktop's text viewer stands for the editor; without one the
  // program shows the log itself.
  ExecuteCommand(file, "");
}

bool TForm1::ExportLog(const std::string& fileName) {
  std::ofstream out(fs::path(fileName), std::ios::binary | std::ios::trunc);
  for (const std::string& line : LogLines()) out << line << "\r\n";
  out.flush();
  if (out) return true;
  platform::MessageBox("Cannot write the log to \"" + fileName + "\".", kApplicationTitle,
                       platform::MB_OK | platform::MB_ICONERROR);
  return false;
}

void TForm1::ClearLog() {
  std::error_code ec;
  if (!fs::exists(LogFilePath(), ec)) return;
  if (platform::MessageBox(MessageText("deletelog"), kApplicationTitle,
                           platform::MB_YESNO | platform::MB_ICONQUESTION) != platform::IDYES)
    return;
  // Kept as it was: a run in progress must not lose its flag.
  const bool wasActive = RunActive.exchange(true);
  fs::remove(LogFilePath(), ec);
  loglist->clear();
  RunActive = wasActive;
}

LogLineDetails DescribeLogLine(const std::string& line, TDateTime now) {
  LogLineDetails details;
  const std::string text = line.size() > 22 ? line.substr(22) : std::string();
  if (text.empty()) {
    details.text = "         :-)";
    return details;
  }
  details.error = text.find("[!]") != std::string::npos;
  std::string shown = text;
  for (std::size_t p; (p = shown.find("[!]")) != std::string::npos;) shown.erase(p, 3);

  const std::optional<TDateTime> when = line.size() >= 20 ? DateTimeFromText(line.substr(1, 19)) : std::nullopt;
  if (!when) {
    // A line without its time stamp (an old or edited file): only the text.
    details.text = shown;
    return details;
  }
  const int dayOfWeek = QtFromDateTime(*when).date().dayOfWeek() % 7;  // Sunday 0
  const std::string dayName = MessageText("dow" + std::to_string(dayOfWeek + 1));
  const auto days = static_cast<long long>(std::floor(std::fabs(now - *when) + 0.5 / 86400000.0));
  std::string message;
  if (days == 0) message = MessageText("eventoccuredtoday") + " (" + MessageText("eventonword") + dayName + ").";
  else if (days == 1) message = MessageText("eventoccuredyesterday") + " (" + MessageText("eventonword") + dayName + ").";
  else message = MessageText("eventoccuredon") + " " + dayName + ", " + std::to_string(days) + MessageText("daysago");
  details.text = message + "\n\n" + shown;
  return details;
}

void TForm1::LogDoubleClick(int row) {
  if (row < 0 || row >= loglist->count()) return;
  const LogLineDetails d = DescribeLogLine(loglist->item(row)->text().toStdString(), Now());
  platform::MessageBox(d.text, kApplicationTitle,
                       platform::MB_OK | (d.error ? platform::MB_ICONERROR : platform::MB_ICONINFORMATION));
}

void TForm1::ShowAbout() {
  if (OnAboutDialog) {
    OnAboutDialog();
    return;
  }
  InfoBox(std::string(kApplicationTitle) + "\nv." + kVersionText + " [" + kVersionDate + "]");
}

void TForm1::ShowSplash() {
  splashtimer->start();
  if (OnSplashDialog) OnSplashDialog();
}

void TForm1::OpenWebsite() {
  if (!platform::Process::Start("xdg-open", kWebsiteAddress, platform::StartOptions{}))
    platform::MessageBox("Cannot execute command.", kApplicationTitle, platform::MB_OK | platform::MB_ICONERROR);
}

}  // namespace yux
