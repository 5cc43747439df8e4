#pragma once
// The main window's frame: the preset list above the program log list, the
// start-up of the process (first or second instance, settings folder,
// options, language, temp folder and archiver), the receipt of bin requests
// from messenger processes, the close with its password check, and the end
// of the session.
#include <QMainWindow>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/programlog.h"
#include "platform/messages.h"

class QAction;
class QListWidget;
class QProgressBar;
class QTimer;
class QToolBar;
class QTreeWidget;

namespace yux {

class TForm1 : public QMainWindow, public LogListSink {
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
  bool CloseForm();
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

  // Starts receiving "YUXParamData" from messenger processes.
  void RegisterParamDataReceiver();
  // The receiver of registered messages.
  void DefaultHandler(platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam);

  // The language file's FORMS step for this window, then its STRINGS step.
  void ApplyLanguage(const std::string& fileName);
  // Places the lists by the options (toolbar, list height, fonts, widths).
  void LayoutControls();

  // The log list.
  void AppendLine(const std::string& line) override;
  void ReplaceLines(const std::vector<std::string>& lines) override;
  std::vector<std::string> LogLines() const;

  // Paths handed over for the keeper and the recycle bin, and their
  // "list in use" flags.
  std::vector<std::string> KeeperList;
  std::vector<std::string> RecycleList;
  bool KeeperInUse = false;
  bool RecycleInUse = false;
  // Fired one second after the last path arrived (the bins archive then).
  std::function<void()> OnKeeperTimer;
  std::function<void()> OnRecycleTimer;

  // Controls, named as the window's components.
  QWidget* client = nullptr;
  QToolBar* ToolBar1 = nullptr;
  QTreeWidget* list = nullptr;
  QListWidget* loglist = nullptr;
  QProgressBar* pb = nullptr;
  QTimer* yuxbintimerk = nullptr;
  QTimer* yuxbintimerr = nullptr;
  QAction* abortItem = nullptr;  // "Send ABORT request" of the window menu

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void FirstActivation();
  void TakeBinPath(const std::string& path, std::vector<std::string>& binList, const bool& inUse,
                   std::vector<std::string>& pending, bool& waiting, QTimer* timer);
  void ScrollLogToEnd();
  int LogItemHeight() const;

  platform::HWND msgWindow_ = 0;
  platform::UINT paramDataMsg_ = 0;
  bool created_ = false;
  bool activated_ = false;
  bool closing_ = false;
  bool closed_ = false;
  std::vector<std::string> keeperPending_, recyclePending_;
  bool keeperWaiting_ = false;
  bool recycleWaiting_ = false;
};

}  // namespace yux
