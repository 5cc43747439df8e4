#pragma once
// The main window: the preset list above the program log list, the menus,
// toolbars and keys, the tray icon, the timers, the start-up of the process
// (first or second instance, settings folder, options, language, temp
// folder and archiver), the receipt of bin requests from messenger
// processes, the close with its password check, and the end of the session.
#include <QMainWindow>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/run/presetrun.h"
#include "core/schedule/scheduler.h"
#include "core/store/programlog.h"
#include "core/store/schedule.h"
#include "core/services/bins.h"
#include "core/window/scheduleform.h"
#include "platform/messages.h"

class QAbstractItemDelegate;
class QAction;
class QCollator;
class QListWidget;
class QMenu;
class QProgressBar;
class QSystemTrayIcon;
class QTimer;
class QToolBar;
class QToolButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace yux {

namespace disc {
class TLCDBurnerPro;
}

class TForm5;
class TWebPanel;

// System commands of the window menu.
inline constexpr int kAbortCommandId = 1147;
inline constexpr int SC_MINIMIZE = 0xF020;
inline constexpr int SC_MAXIMIZE = 0xF030;
inline constexpr int SC_CLOSE = 0xF060;

// The name that tells the preset dialog to create a new preset.
inline constexpr char kNewPresetName[] = "**new**?**new**";

// How long the about box stays as the start-up splash.
inline constexpr int kSplashMs = 3000;

// Where the "website" item leads.
inline constexpr char kWebsiteAddress[] = "https://pellmor.example/yux/";

// The preset list's columns.
enum PresetColumn { kColumnName = 0, kColumnScheduled = 1, kColumnPrevious = 2 };

// Two rows of the preset list compared by one column's texts in the user's
// locale: unequal texts in the column's direction, equal texts by their
// captions ascending.  Negative, zero or positive.
int ComparePresetRows(const QCollator& collator, const std::string& captionA, const std::string& textA,
                      const std::string& captionB, const std::string& textB, bool ascending);

// What a double click on a log line shows.
struct LogLineDetails {
  std::string text;  // the message
  bool error = false;  // shown as an error (the line held "[!]", now removed)
};
// The details of a log line ("[yyyy.mm.dd hh:nn:ss] text") seen at `now`.
LogLineDetails DescribeLogLine(const std::string& line, TDateTime now);

class TForm1 : public QMainWindow,
               public LogListSink,
               public RunHooks,
               public SchedulerActions,
               public ScheduleWindowHost,
               public BinHost {
  Q_OBJECT

 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // The creation steps.  Gives an exit code when the process must end now
  // (already running without arguments, no settings folder, a settings
  // folder that cannot be written).
  std::optional<int> FormCreate(const std::vector<std::string>& args);

  // Closes the window: the close query, then the close steps.  True when
  // the window closed.
  bool CloseForm() override;
  // The close query: false refuses the close.
  bool FormCloseQuery();
  // The close steps (first instance only).
  void FormClose();
  bool Closed() const { return closed_; }

  // The session's end query: true ("may end") exactly while no run is active.
  bool QueryEndSession() const;
  // The session ends: logs it and closes without the countdown (the exit
  // password still applies).
  void EndSession();
  // A termination signal: during a run the run is aborted and its
  // wind-down awaited (at most `windDownMs`), then the session ends.
  void SessionEnding(platform::DWORD windDownMs = 30000);
  // A termination signal as it arrives on the event loop, perhaps inside a
  // wait of a run far below on the stack: new runs are refused, the run in
  // progress is aborted, and once it has unwound the session ends.  When
  // that close is refused (the exit password), the program goes on as
  // before: runs start again and the next signal is handled anew.
  void TerminationSignal();

  // Starts receiving "YUXParamData" from messenger processes.
  void RegisterParamDataReceiver();
  // The receiver of registered messages.
  void DefaultHandler(platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam);

  // The language file's FORMS step for this window, then its STRINGS step.
  void ApplyLanguage(const std::string& fileName);
  // Only the FORMS step.
  void ApplyLanguageForms(const std::string& fileName) override;
  // Places the controls by the options and the window's size.
  void LayoutControls();

  // The log list.
  void AppendLine(const std::string& line) override;
  void ReplaceLines(const std::vector<std::string>& lines) override;
  std::vector<std::string> LogLines() const;

  // ---- The preset list ----
  // Reads the presets folder into the list (and the schedule window's
  // drop-down), with pictures, previous and scheduled executions, sorted;
  // for the schedule window and for the scheduler alike.
  void LoadPresetList() override;
  // Sorts by the saved column and directions.
  void SortPresetList();
  // A click on a column header (0 = the names): flips that column's
  // direction, remembers the column and sorts.
  void ColumnClick(int column);
  // The captions in list order.
  std::vector<std::string> PresetNames() const;
  // The selected row's caption; empty without a selection.
  std::string SelectedPresetName() const;
  // Selects the row of that caption (exact); false when there is none.
  bool SelectPreset(const std::string& name);
  // Writes every schedule row's date into the scheduled-execution column of
  // its preset (the earliest row wins); the schedule calls it on changes.
  void RefreshScheduledColumn();

  // ---- Commands ----
  // Runs the selected preset when there is one and no run is active.
  void RunSelectedPreset();
  // "Add new" (protected) and the add button.
  void New1Click();
  void baddpresetClick();
  // "Delete": confirmation, password, then the preset's files, its
  // schedule rows and the list reload.
  void Delete1Click();
  // "Schedule": (protected) the selected preset in the schedule window.
  void Scheduling1Click();
  // The scheduler window with the current preset (protected).
  void bschClick();
  // Preset configuration of the selected preset (or a new one for the
  // reserved name): its archive password first, then the preset dialog.
  void PresetConfiguration(const std::string& name, const std::string& page = "General");
  void Restore1Click();
  void CreateShortcut1Click();
  void Duplicate1Click(bool rename);
  // A settings page (protected).
  void OpenSettings(const std::string& page);
  // Bin modes: 0 off, 1 keeper, 2 recycle.
  void SetBinMode(int mode);
  // Shows a bin mode already in the options: the menus' marks and the bin
  // window.
  void ShowBinMode(int mode);
  // "Show / Hide": hides a visible window, shows a hidden one (protected).
  void ShowHide() override;
  void ViewWinRarLog();
  // Writes the log list's lines to a file (CRLF); false when it cannot.
  bool ExportLog(const std::string& fileName);
  // "Clear log": asks, then removes "yux.log" and empties the log list.
  void ClearLog();
  // A double click on a log line: its details in a box.
  void LogDoubleClick(int row);
  void ShowAbout();
  // The start-up splash: starts the splash timer and shows the about box
  // over the window until it runs out.
  void ShowSplash();
  void OpenWebsite();
  // A command of the window menu; false for the normal handling.
  bool SystemCommand(int command);
  // A key of the window's key preview; true when it was used.
  bool FormKeyDown(int key, Qt::KeyboardModifiers modifiers, QObject* target = nullptr);
  // Enables the preset list's pop-up items by the selection.
  void PreparePresetPopup();
  // A protected action: true when the flag is clear or the right password
  // was entered.
  bool PasswordAllows(bool protectionFlag);
  // The sort directions, by column.
  bool& SortAscending(int column);

  // ---- Tray ----
  void CreateIcon();
  void DeleteIcon();
  // The mini-schedule balloon (title and text as shown).
  void ShowMiniSchedule();
  std::string BalloonTitle() const;
  std::string BalloonText() const;
  // RunHooks.
  void SetRunIcon(bool running) override;
  void HideProgress() override;
  void ShowProgress(int pos) override;
  disc::TLCDBurnerPro* Burner() override { return burner.get(); }
  net::TSslFtpClient* FtpClient() override { return sftp.get(); }
  net::THttpCli* HttpClient() override { return HttpC.get(); }
  QTimer* DialUpTimer() override { return waitfordialup; }

  // The web control panel (started at start when "rae" is set).
  std::unique_ptr<TWebPanel> WebPanel;

  // ---- Skins ----
  // First instance at start: "yux.ocs" becomes the active skin; without it
  // skinning is off for this session.  Values that cannot be used are
  // dropped with one log line.
  void LoadActiveSkin();
  // Applies the active skin (or, with skinning off, the system colours) to
  // this window, the schedule window and, through OnSkinChanged, the bin
  // window.
  void ApplySkin();
  std::function<void()> OnSkinChanged;

  // ---- What the scheduler's commands do to the window ----
  void CloseMainWindow() override;
  void ShowMainWindow() override;
  void RecreateTrayIcon() override;
  // Selects the preset's row (the first whose caption equals the name in
  // any case) and runs it.
  void RunPresetRow(const std::string& name) override;

  // Windows of later parts of the program: each fires only when set.
  std::function<void(const std::string& preset, const std::string& page)> OnPresetDialog;
  std::function<void(const std::string& page)> OnSettingsDialog;
  std::function<void(const std::string& preset)> OnRestoreDialog;
  std::function<void(const std::string& preset)> OnShortcutDialog;
  std::function<void(const std::string& preset, bool rename)> OnDuplicateDialog;
  std::function<void()> OnShellNotifierDialog;
  std::function<void()> OnAboutDialog;
  // Shows the about box as the splash (without waiting for it).
  std::function<void()> OnSplashDialog;
  std::function<void(int mode)> OnBinModeChanged;

  // Paths handed over for the keeper and the recycle bin, and their
  // "list in use" flags.
  std::vector<std::string> KeeperList;
  std::vector<std::string> RecycleList;
  bool KeeperInUse = false;
  bool RecycleInUse = false;
  // A path dropped on the bin window in bin mode 1 (keeper) or 2 (recycle):
  // it joins that bin's list and restarts its timer.
  void TakeBinDrop(int mode, const std::string& path);
  // Paths that arrived while their list was in use join it once it is free
  // (called by the timers and by the bins when they let go of a list).
  void TakePendingBinPaths() override;
  // Fired one second after the last path arrived (the bins archive then).
  std::function<void()> OnKeeperTimer;
  std::function<void()> OnRecycleTimer;

  // BinHost.
  std::vector<std::string>& BinList(BinKind bin) override;
  bool& BinListInUse(BinKind bin) override;
  QTimer* BinTimer(BinKind bin) override;
  void BringToFront() override;

  // ScheduleWindowHost (the rest is above).
  void ScheduleWindowOpened(TForm5* window) override;
  void ScheduleWindowClosed(TForm5* window) override;
  void HideAtStartRequested() override;
  void StartSchedulerTick() override;
  void PlaceWindow(int left, int top, int width, int height) override;
  bool HasTrayIcon() const override;

  // The schedule window (set by it).
  TForm5* Form5 = nullptr;
  // The disc component: its drives come from the drive-letter map and are
  // initialised when the first instance starts.
  std::unique_ptr<disc::TLCDBurnerPro> burner;
  // The FTP delivery's client and the HTTP client of its host script.
  std::unique_ptr<net::TSslFtpClient> sftp;
  std::unique_ptr<net::THttpCli> HttpC;
  // The command line asked not to show the window at start.
  bool HideAtStart = false;

  // Controls, named as the window's components.
  QWidget* client = nullptr;
  QToolBar* ToolBar1 = nullptr;
  QToolBar* ToolBar2 = nullptr;  // the function-key bar
  QTreeWidget* list = nullptr;
  QListWidget* loglist = nullptr;
  QProgressBar* pb = nullptr;
  QMenu* PopupMenu1 = nullptr;  // preset list
  QMenu* PopupMenu2 = nullptr;  // log list
  QMenu* mainmenu = nullptr;    // tray
  QSystemTrayIcon* TrayIcon = nullptr;
  QTimer* schtimer = nullptr;
  QTimer* otherinstancetimer = nullptr;  // a second instance's requests (first instance)
  QTimer* retrytimer = nullptr;
  QTimer* Optimer = nullptr;
  QTimer* waitfordialup = nullptr;
  QTimer* yuxbintimerk = nullptr;
  QTimer* yuxbintimerr = nullptr;
  QTimer* ftpretrytimer = nullptr;
  QTimer* splashtimer = nullptr;  // single shot: how long the splash stays
  QAction* abortItem = nullptr;  // "Send ABORT request" of the window menu

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  class ListRows;

  void FirstActivation();
  void TakeBinPath(const std::string& path, std::vector<std::string>& pending, QTimer* timer);
  void ScrollLogToEnd();
  int LogItemHeight() const;
  void CreateTimers();
  void CreateMenus();
  void CreateToolbars();
  QAction* Item(QMenu* menu, const char* text, const char* name, std::function<void()> handler);
  QToolButton* Button(QToolBar* bar, const char* hint, const char* name, int icon, std::function<void()> handler);
  // The selected preset for a command; nothing (after "Please select a
  // preset first." when `complain`) without a selection.
  std::optional<std::string> PresetForCommand(bool complain);
  void SetPresetIcon(QTreeWidgetItem* item, const std::string& name);
  void MoveToTray();

  std::unique_ptr<ListRows> rows_;
  platform::HWND msgWindow_ = 0;
  platform::UINT paramDataMsg_ = 0;
  bool created_ = false;
  bool activated_ = false;
  bool closing_ = false;
  bool closed_ = false;
  bool sessionEndPending_ = false;
  std::vector<std::string> keeperPending_, recyclePending_;
  std::string balloonTitle_, balloonText_;
  QAbstractItemDelegate* defaultLogDelegate_ = nullptr;
  QAbstractItemDelegate* skinDelegate_ = nullptr;
};

}  // namespace yux
