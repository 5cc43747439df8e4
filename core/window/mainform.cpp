// The main window: start-up, close, the preset and log lists, the bins' lists.
#include "core/window/mainform.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QListWidget>
#include <QMenu>
#include <QProgressBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>

#include <algorithm>
#include <filesystem>
#include <iostream>

#include "core/run/cddelivery.h"
#include "core/run/dialup.h"
#include "core/services/bins.h"
#include "core/services/dialoghooks.h"
#include "core/services/reportmail.h"
#include "core/services/shellnotifier.h"
#include "core/services/shellutils.h"
#include "core/services/startup.h"
#include "core/services/webpanel.h"
#include "core/store/flags.h"
#include "core/store/folders.h"
#include "core/store/language.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/textutil.h"
#include "core/window/scheduleform.h"
#include "disc/lcdbpro.h"
#include "net/protocols/ftpcli.h"
#include "net/protocols/httpcli.h"
#include "platform/atoms.h"
#include "platform/broadcast.h"
#include "platform/folders.h"
#include "platform/messagebox.h"
#include "platform/namedobjects.h"

namespace yux {

namespace {
namespace fs = std::filesystem;
// How long the close waits for the error mail still queued.
constexpr unsigned kCloseErrorMailMs = 4000;
}  // namespace

// The preset list as the schedule reads and fills it.
class TForm1::ListRows : public PresetListRows {
 public:
  explicit ListRows(QTreeWidget* list) : list_(list) {}
  std::size_t Count() const override { return static_cast<std::size_t>(list_->topLevelItemCount()); }
  std::string Caption(std::size_t row) const override { return Text(row, kColumnName); }
  std::string ScheduledText(std::size_t row) const override { return Text(row, kColumnScheduled); }
  void SetScheduledText(std::size_t row, const std::string& text) override { SetText(row, kColumnScheduled, text); }
  std::string PreviousText(std::size_t row) const override { return Text(row, kColumnPrevious); }
  void SetPreviousText(std::size_t row, const std::string& text) override { SetText(row, kColumnPrevious, text); }

 private:
  QTreeWidgetItem* At(std::size_t row) const { return list_->topLevelItem(static_cast<int>(row)); }
  std::string Text(std::size_t row, int column) const {
    QTreeWidgetItem* item = At(row);
    return item ? item->text(column).toStdString() : std::string();
  }
  void SetText(std::size_t row, int column, const std::string& text) {
    if (QTreeWidgetItem* item = At(row)) item->setText(column, QString::fromStdString(text));
  }
  QTreeWidget* list_;
};

TForm1::TForm1(QWidget* parent) : QMainWindow(parent) {
  setObjectName("Form1");
  setWindowTitle(kApplicationTitle);
  resize(620, 440);
  burner = std::make_unique<disc::TLCDBurnerPro>(this);
  burner->SetVolumeID("YUX-BACKUP");
  // ReplaceFile stays off: the disc delivery inserts the new archives
  // first and imports the disc's last session after them, and an entry of
  // that session must never take the place of a new archive of the same
  // name (the new one would not be written, yet count as delivered).
  burner->SetReplaceFile(false);
  sftp = std::make_unique<net::TSslFtpClient>();
  HttpC = std::make_unique<net::THttpCli>();
  ConnectDiscEvents(*burner);

  client = new QWidget(this);
  client->setObjectName("client");
  setCentralWidget(client);
  client->installEventFilter(this);

  ToolBar1 = new QToolBar(client);
  ToolBar1->setObjectName("ToolBar1");
  ToolBar1->setMovable(false);
  ToolBar1->setMinimumHeight(28);

  list = new QTreeWidget(client);
  list->setObjectName("list");
  list->setRootIsDecorated(false);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list->setColumnCount(3);
  list->setHeaderLabels({"Preset name", "Scheduled execution", "Previous execution"});
  list->setIconSize(QSize(16, 16));
  list->header()->setSectionsClickable(true);
  // The widths are the window's to set: a date column may be 0 wide.
  list->header()->setStretchLastSection(false);
  list->header()->setMinimumSectionSize(0);
  list->header()->setSortIndicatorShown(false);
  list->setContextMenuPolicy(Qt::CustomContextMenu);
  list->installEventFilter(this);
  rows_ = std::make_unique<ListRows>(list);

  loglist = new QListWidget(client);
  loglist->setObjectName("loglist");
  loglist->setSelectionMode(QAbstractItemView::SingleSelection);
  loglist->setContextMenuPolicy(Qt::CustomContextMenu);
  loglist->installEventFilter(this);

  pb = new QProgressBar(client);
  pb->setObjectName("pb");
  pb->hide();

  CreateTimers();
  CreateMenus();
  CreateToolbars();

  // The window menu's abort item takes the text of this moment: the
  // language file comes later and does not change it.
  auto* separator = new QAction(this);
  separator->setSeparator(true);
  addAction(separator);
  abortItem = new QAction(QString::fromStdString(MessageText("sendabortrequest")), this);
  connect(abortItem, &QAction::triggered, this, [this] { SystemCommand(kAbortCommandId); });
  addAction(abortItem);
  setContextMenuPolicy(Qt::ActionsContextMenu);

  SetColumnWidthProvider([this](int& c1, int& c2, int& c3) {
    c1 = list->columnWidth(0);
    c2 = list->columnWidth(1);
    c3 = list->columnWidth(2);
  });
  LayoutControls();
}

TForm1::~TForm1() {
  if (GetPresetListRows() == rows_.get()) SetPresetListRows(nullptr);
  if (created_) {
    SetSchedulerActions(nullptr);
    SetSchedulerTimerStarter(nullptr);
    Schedule.OnChange = nullptr;
    SetRunHooks(nullptr);
    SetReportLogSource(nullptr);
    SetErrorMailHook(nullptr);
    SetLogMailer(nullptr);
  }
  DeleteIcon();
  SetColumnWidthProvider(nullptr);
  SetLogListSink(nullptr);
  SetApplicationWindow(nullptr);
  if (msgWindow_) {
    platform::UnregisterBroadcastReceiver(msgWindow_);
    platform::DestroyWindow(msgWindow_);
  }
}

std::optional<int> TForm1::FormCreate(const std::vector<std::string>& args) {
  ServiceMode = false;
  SecondInstance = !SingleInstanceCheck(kInstanceMutexName);
  if (SecondInstance && args.empty()) {
    platform::MessageBox("\r" + MessageText("yuxisactive"), kApplicationTitle, platform::MB_OK);
    return 0;
  }

  KeeperList.clear();
  RecycleList.clear();
  paramDataMsg_ = platform::RegisterWindowMessage(kParamDataMessage);
  ProgramFolder = platform::ProgramFolder();
  SetLogListSink(this);

  const SettingsChoice choice = LocateSettingsFolder();
  if (choice == SettingsChoice::NotChosen) {
    std::cerr << "yux: no settings folder was chosen; YUX cannot start without one." << std::endl;
    return 1;
  }
  if (!SettingsFolderWriteTest()) {
    platform::MessageBox(NotWritableMessage(), kApplicationTitle, platform::MB_OK | platform::MB_ICONERROR);
    return 1;
  }
  // The instance lock lives in the session's runtime folder; a first
  // instance of another session (started from cron, say) is found by the
  // settings folder's own lock.  Its run folders and files are not ours.
  if (!SecondInstance && !LockSettingsFolder()) {
    std::cerr << "yux: another YUX already runs on the settings folder \"" << SettingsFolder << "\"";
    if (!args.empty()) std::cerr << "; the request was not handed over to it";
    std::cerr << std::endl;
    platform::MessageBox("\r" + MessageText("yuxisactive"), kApplicationTitle, platform::MB_OK);
    return args.empty() ? 0 : 1;
  }
  // Only the first instance takes bin requests: a second one ends within
  // seconds and would take the paths with it.
  if (!SecondInstance) RegisterParamDataReceiver();

  PresetsFolder = PathJoin(SettingsFolder, "presets");
  topt fresh;
  LoadOptions(fresh);
  Options = fresh;
  InstallProgramLogHook();
  InstallErrorSoundPlayer();
  if (choice == SettingsChoice::ChosenByDefault)
    AddLog("Settings folder has been set to default - \"" + SettingsFolder + "\".");

  if (!SecondInstance) RegisterShellVerbs();
  if (!SecondInstance) {
    OnKeeperTimer = [this] { KeeperTick(*this); };
    OnRecycleTimer = [this] { RecycleTick(*this); };
  }
  if (!SecondInstance) {
    LoadActiveSkin();
    if (Options.ske) ApplySkin();
  }
  if (!SecondInstance) {
    WebPanel = std::make_unique<TWebPanel>([this] { return LogLines(); });
    if (Options.rae) WebPanel->Start();
  }

  ForcedClose = false;
  RunActive = false;

  LayoutControls();
  std::error_code ec;

  if (!SecondInstance) {
    ApplyLanguage(Options.lng);
    // The log is cut here, whatever becomes of the window: a program started
    // hidden may never be activated, and its log would grow at every start.
    // The cut loads the lines it keeps; without a limit all are loaded.
    if (fs::exists(LogFilePath(), ec)) {
      if (Options.lsz > 0) TruncateLog();
      else LoadLogIntoList();
    }
    AddLog(MessageText("yuxloadingsettings") + " (v." + kVersionText + " [" + kVersionDate + "]).");
  }

  SetUpTempFolder();
  SetUpArchiverPath();
  fs::create_directories(TempFolder, ec);
  fs::create_directories(PresetsFolder, ec);

  // The schedule fills the preset list's columns and switches the
  // scheduler tick on; the run shows itself in the window.
  SetPresetListRows(rows_.get());
  SetSchedulerTimerStarter([this] {
    if (!schtimer->isActive()) schtimer->start();
  });
  Schedule.OnChange = [this] {
    RefreshScheduledColumn();
    if (Form5) Form5->ShowRows();
  };
  SetRunHooks(this);
  SetSchedulerActions(this);
  SetReportLogSource([this] { return LogLines(); });
  InstallReportMailers();
  if (!SecondInstance) {
    otherinstancetimer->start();
    CreateIcon();
    burner->InitializeDevices(false);
    LogRefusedDrives(*burner);
  }

  SetApplicationWindow(this);
  created_ = true;
  return std::nullopt;
}

void TForm1::RegisterParamDataReceiver() {
  if (!paramDataMsg_) paramDataMsg_ = platform::RegisterWindowMessage(kParamDataMessage);
  if (msgWindow_) return;
  msgWindow_ = platform::CreateMessageWindow(
      [this](platform::HWND wnd, platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam) {
        DefaultHandler(msg, wParam, lParam);
        return platform::DefWindowProc(wnd, msg, wParam, lParam);
      });
  if (!platform::RegisterBroadcastReceiver(msgWindow_))
    std::cerr << "yux: cannot receive bin requests (error " << platform::GetLastError() << ")" << std::endl;
}

void TForm1::DefaultHandler(platform::UINT msg, platform::WPARAM, platform::LPARAM lParam) {
  if (!paramDataMsg_ || msg != paramDataMsg_) return;
  std::string text;
  if (!platform::GlobalGetAtomName(static_cast<platform::ATOM>(lParam), &text) || text.empty()) return;
  if (text.size() > 1023) text.resize(1023);
  const std::string path = text.substr(1);
  if (text[0] == 'K') TakeBinPath(path, keeperPending_, yuxbintimerk);
  else if (text[0] == 'R') TakeBinPath(path, recyclePending_, yuxbintimerr);
}

void TForm1::TakeBinDrop(int mode, const std::string& path) {
  if (mode == 1) TakeBinPath(path, keeperPending_, yuxbintimerk);
  else if (mode == 2) TakeBinPath(path, recyclePending_, yuxbintimerr);
}

void TForm1::TakeBinPath(const std::string& path, std::vector<std::string>& pending, QTimer* timer) {
  // The archiver's list holds one path a line: a line break would make two
  // paths of it (archiving, and for the recycle bin deleting, a file the
  // user never named), and a NUL would cut it short.
  if (HoldsLineBreak(path)) {
    AddLog("YUX-BIN: the path \"" + OnOneLine(path) +
           "\" was refused; it holds a line break or a NUL character, which the archiver's list cannot carry. [!]");
    return;
  }
  // A relative name means a file of whatever folder the sender was in, which
  // this process cannot know: taken against our own folder it would archive
  // (and for the recycle bin delete) another file of the same name.
  if (path.empty() || path[0] != '/') {
    AddLog("YUX-BIN: the relative path \"" + path + "\" was refused; it does not say which file it means. [!]");
    return;
  }
  // An arrival never waits for its list: the recycle question holds the
  // list while its box runs an event loop of its own, in which this handler
  // runs, and a wait here would keep that box from ever returning.  The
  // path waits beside the list instead, in order of arrival.
  pending.push_back(path);
  TakePendingBinPaths();
  timer->stop();
  timer->start();
}

void TForm1::TakePendingBinPaths() {
  auto take = [](std::vector<std::string>& pending, std::vector<std::string>& list, bool inUse) {
    if (inUse) return;
    for (auto& p : pending) list.push_back(std::move(p));
    pending.clear();
  };
  take(keeperPending_, KeeperList, KeeperInUse);
  take(recyclePending_, RecycleList, RecycleInUse);
}

std::vector<std::string>& TForm1::BinList(BinKind bin) { return bin == BinKind::Keeper ? KeeperList : RecycleList; }

bool& TForm1::BinListInUse(BinKind bin) { return bin == BinKind::Keeper ? KeeperInUse : RecycleInUse; }

QTimer* TForm1::BinTimer(BinKind bin) { return bin == BinKind::Keeper ? yuxbintimerk : yuxbintimerr; }

void TForm1::BringToFront() {
  raise();
  activateWindow();
}

void TForm1::ScheduleWindowOpened(TForm5* window) { Form5 = window; }

void TForm1::ScheduleWindowClosed(TForm5* window) {
  if (Form5 == window) Form5 = nullptr;
}

void TForm1::HideAtStartRequested() { HideAtStart = true; }

void TForm1::StartSchedulerTick() { schtimer->start(); }

void TForm1::PlaceWindow(int left, int top, int width, int height) { setGeometry(left, top, width, height); }

bool TForm1::HasTrayIcon() const { return TrayIcon != nullptr; }

void TForm1::ApplyLanguage(const std::string& fileName) {
  ApplyLanguageForms(fileName);
  LoadLanguageStrings(fileName);
}

void TForm1::ApplyLanguageForms(const std::string& fileName) {
  std::vector<NumberedText> columns;
  for (int i = 0; i < 3; ++i) {
    columns.push_back({"Form1ListColumn" + std::to_string(i + 1),
                       [this, i] { return list->headerItem()->text(i).toStdString(); },
                       [this, i](const std::string& t) { list->headerItem()->setText(i, QString::fromStdString(t)); }});
  }
  LoadLanguageForms(this, fileName, kMainWindowKinds, columns);
}

void TForm1::LayoutControls() {
  const int w = client->width();
  const int h = client->height();
  const int tb = Options.dit ? 0 : ToolBar1->sizeHint().height();
  ToolBar1->setVisible(!Options.dit);
  ToolBar1->setGeometry(0, 0, w, tb);

  QFont logFont = loglist->font();
  if (Options.lfs > 0) logFont.setPointSize(Options.lfs);
  loglist->setFont(logFont);
  QFont listFont = list->font();
  if (Options.pfs > 0) listFont.setPointSize(Options.pfs);
  list->setFont(listFont);

  // The function-key bar, when shown, takes the bottom of the window.
  const int fb = ToolBar2->isVisibleTo(this) ? ToolBar2->sizeHint().height() : 0;
  ToolBar2->setGeometry(0, std::max(h - fb, 0), w, fb);

  const int listTop = tb + 10;
  const int listWidth = std::max(w - 20, 0);
  list->setGeometry(10, listTop, listWidth, std::max(Options.plh, 0));
  loglist->setGeometry(10, listTop + Options.plh + 10, listWidth, std::max(h - tb - fb - Options.plh - 40, 0));
  pb->setGeometry(10, std::max(h - fb - 25, 0), listWidth, 15);

  if (Options.acw) {
    const int dateWidth = width() < 530 ? 0 : 160;
    list->setColumnWidth(1, dateWidth);
    list->setColumnWidth(2, dateWidth);
    list->setColumnWidth(0, std::max(listWidth - 2 * dateWidth - 30, 0));
  } else {
    list->setColumnWidth(0, Options.c1w);
    list->setColumnWidth(1, Options.c2w);
    list->setColumnWidth(2, Options.c3w);
  }
}

int TForm1::LogItemHeight() const { return loglist->fontMetrics().height() + 3; }

void TForm1::AppendLine(const std::string& line) {
  const QString text = QString::fromStdString(line);
  auto* item = new QListWidgetItem(text);
  item->setSizeHint(QSize(loglist->fontMetrics().horizontalAdvance(text) + 4, LogItemHeight()));
  loglist->setUpdatesEnabled(false);
  loglist->addItem(item);
  // A program that runs hidden for months would keep every line it ever
  // logged: the list keeps the log's size, the file keeps the rest.
  if (Options.lsz > 0)
    while (loglist->count() > Options.lsz) delete loglist->takeItem(0);
  loglist->setUpdatesEnabled(true);
  if (loglist->count() > 1) loglist->scrollToItem(item, QAbstractItemView::PositionAtTop);
}

void TForm1::ReplaceLines(const std::vector<std::string>& lines) {
  loglist->setUpdatesEnabled(false);
  loglist->clear();
  const int height = LogItemHeight();
  const std::size_t keep = Options.lsz > 0 ? static_cast<std::size_t>(Options.lsz) : lines.size();
  for (std::size_t i = lines.size() - std::min(keep, lines.size()); i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const QString text = QString::fromStdString(line);
    auto* item = new QListWidgetItem(text);
    item->setSizeHint(QSize(loglist->fontMetrics().horizontalAdvance(text) + 4, height));
    loglist->addItem(item);
  }
  loglist->setUpdatesEnabled(true);
  ScrollLogToEnd();
}

std::vector<std::string> TForm1::LogLines() const {
  std::vector<std::string> lines;
  for (int i = 0; i < loglist->count(); ++i) lines.push_back(loglist->item(i)->text().toStdString());
  return lines;
}

void TForm1::ScrollLogToEnd() {
  if (loglist->count() > 1) loglist->scrollToBottom();
}

bool TForm1::FormCloseQuery() {
  if (RunActive) return false;
  if (!SecondInstance && Options.spe && !CheckAdminPassword(MessageText("enteradminpassword"))) return false;
  if (SecondInstance || ForcedClose || Options.dec) return true;
  DialogHooks* hooks = CurrentDialogHooks();
  const int result = hooks ? hooks->ShowExitCountdown() : DialogHooks::kCountdownTimedOut;
  // A run that started while the countdown was shown keeps the program.
  if (RunActive) return false;
  if (result == DialogHooks::kCountdownCancel) return false;
  if (result == DialogHooks::kCountdownHide) {
    MoveToTray();
    return false;
  }
  return true;
}

void TForm1::FormClose() {
  if (SecondInstance) return;
  KeeperList.clear();
  RecycleList.clear();
  SaveSchedule();
  StopShellNotifiers();
  Hangup();
  const QRect g = geometry();
  Options.px1 = g.x();
  Options.px2 = g.width();
  Options.py1 = g.y();
  Options.py2 = g.height();
  SaveOptions(Options);
  DeleteIcon();
  WriteAutostartValue(Options.sta);
  // The verbs exist only while the program runs; the saved options keep
  // the user's choice.
  Options.obk = false;
  Options.obr = false;
  RegisterShellVerbs();
  // Error lines still waiting are mailed before the program says it
  // halts, within a few seconds: a silent server must not hold the close.
  FlushErrorMailWithin(kCloseErrorMailMs);
  AddLog(MessageText("yuxhaltsword"));
  AddLog("");
}

bool TForm1::CloseForm() {
  if (closed_) return true;
  if (closing_) return false;
  closing_ = true;
  const bool allowed = FormCloseQuery();
  if (allowed) {
    FormClose();
    closed_ = true;
    hide();
    QCoreApplication::exit(0);
  }
  closing_ = false;
  return allowed;
}

bool TForm1::QueryEndSession() const { return !RunActive; }

void TForm1::EndSession() {
  AddLog("Windows is shutting down.");
  ForcedClose = true;
  if (CloseForm()) return;
  // The program goes on: a later close is an ordinary one again.
  ForcedClose = false;
  AddLog(MessageText("sessionendrefused"));
}

void TForm1::SessionEnding(platform::DWORD windDownMs) {
  if (closed_ || closing_) return;
  if (!QueryEndSession()) {
    AbortRequested = true;
    platform::WaitPumping([] { return !RunActive; }, windDownMs, 50);
    if (closed_) return;
  }
  EndSession();
}

void TForm1::TerminationSignal() {
  if (sessionEndPending_ || closed_) return;
  sessionEndPending_ = true;
  RefuseRunsForSessionEnd();
  if (RunActive) AbortRequested = true;
  auto* poll = new QTimer(this);
  connect(poll, &QTimer::timeout, this, [this, poll] {
    // Other run-active work (a waited-for program) also ends on the abort.
    if (RunActive) {
      AbortRequested = true;
      return;
    }
    // A run still unwinding, or a close already asking its questions.
    if (RunInProgress() || closing_) return;
    poll->stop();
    poll->deleteLater();
    SessionEnding();
    if (closed_) return;
    sessionEndPending_ = false;
    AllowRunsAgain();
  });
  poll->start(50);
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (closed_) {
    event->accept();
    return;
  }
  // The close box (not a close of the program's own) goes through the
  // window menu's rules.
  if (!closing_ && event->spontaneous() && SystemCommand(SC_CLOSE)) {
    event->ignore();
    return;
  }
  if (CloseForm()) event->accept();
  else event->ignore();
}

void TForm1::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow() && created_ && !activated_) FirstActivation();
  if (event->type() == QEvent::WindowStateChange && isMinimized() && created_ &&
      !(static_cast<QWindowStateChangeEvent*>(event)->oldState() & Qt::WindowMinimized)) {
    // The minimise box goes to the tray unless the options keep it in the
    // task bar; the state change is undone once the window system is done.
    QTimer::singleShot(0, this, [this] {
      if (isMinimized() && SystemCommand(SC_MINIMIZE)) setWindowState(windowState() & ~Qt::WindowMinimized);
    });
  }
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (watched == client && event->type() == QEvent::Resize) {
    LayoutControls();
    ScrollLogToEnd();
  }
  if ((watched == list || watched == loglist) && event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (FormKeyDown(key->key(), key->modifiers(), watched)) return true;
  }
  if (watched == ToolBar2 && event->type() == QEvent::Enter) {
    ToolBar2->hide();
    LayoutControls();
  }
  return QMainWindow::eventFilter(watched, event);
}

void TForm1::keyPressEvent(QKeyEvent* event) {
  if (FormKeyDown(event->key(), event->modifiers(), this)) return;
  QMainWindow::keyPressEvent(event);
}

void TForm1::CloseMainWindow() { CloseForm(); }

void TForm1::ShowMainWindow() {
  showNormal();
  raise();
  activateWindow();
}

void TForm1::RecreateTrayIcon() {
  DeleteIcon();
  CreateIcon();
}

void TForm1::RunPresetRow(const std::string& name) {
  const auto row = FindPresetRow(name);
  if (!row) return;
  QTreeWidgetItem* item = list->topLevelItem(static_cast<int>(*row));
  if (!item) return;
  list->setCurrentItem(item);
  item->setSelected(true);
  RunPreset(item->text(kColumnName).toStdString());
}

void TForm1::FirstActivation() {
  activated_ = true;
  TruncateLog();
  ScrollLogToEnd();
  if (!SecondInstance) AddLog(MessageText("yuxisreadynow"));
}

}  // namespace yux
