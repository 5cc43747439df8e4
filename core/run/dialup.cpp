// Dialling up before the network deliveries and hanging up after them.
#include "core/run/dialup.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/programlog.h"

namespace yux {

DialUpState DialUp;

namespace {

DialUpTuning& Tuning() {
  static DialUpTuning tuning;
  return tuning;
}

void Pause() { std::this_thread::sleep_for(std::chrono::milliseconds(Tuning().pauseMs)); }

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

void LogRasError(unsigned error) {
  AddLog(MessageText("dialupword") + platform::RasGetErrorString(error) + " [!]");
}

// The window the dial's worker thread posts its reports to.  The report
// carries the state in wParam and the error in lParam's low half; the high
// half names the dial, so that a report of an abandoned dial is known.
platform::HWND NotificationWindow() {
  static platform::HWND wnd = 0;
  if (!wnd) {
    wnd = platform::CreateMessageWindow(
        [](platform::HWND w, platform::UINT msg, platform::WPARAM wParam, platform::LPARAM lParam) {
          if (msg != kRasDialNotification) return platform::DefWindowProc(w, msg, wParam, lParam);
          const auto bits = static_cast<std::uint64_t>(lParam);
          RasDialNotification(static_cast<platform::HRASCONN>(bits >> 32), static_cast<unsigned>(wParam),
                              static_cast<unsigned>(bits & 0xFFFFFFFFu));
          return platform::LRESULT(0);
        });
  }
  return wnd;
}

void EndAttempts() {
  DialUp.RedialCounter = -1;
  DialUp.DialAttemptOver = true;
}

}  // namespace

void SetDialUpTuning(DialUpTuning tuning) { Tuning() = tuning; }

std::vector<std::string> GetEntries() {
  std::vector<std::string> names;
  if (const unsigned err = platform::RasEnumEntries(names)) {
    LogRasError(err);
    names.clear();
  }
  return names;
}

std::vector<platform::RasConnection> GetActiveConn() {
  std::vector<platform::RasConnection> conns;
  if (const unsigned err = platform::RasEnumConnections(conns)) {
    LogRasError(err);
    conns.clear();
  }
  return conns;
}

platform::HRASCONN GetActiveConnHandle(const std::string& entry) {
  for (const auto& c : GetActiveConn())
    if (Lower(c.entryName) == Lower(entry)) return c.handle;
  return 0;
}

void DialEntry() {
  const std::string& entry = Options.dac;
  if (entry.empty()) {
    AddLog(MessageText("dialupnotestablished") + " [!]");
    EndAttempts();
    return;
  }
  if (const platform::HRASCONN active = GetActiveConnHandle(entry)) {
    DialUp.DialHandle = active;
    // Someone else brought the line up meanwhile: the run may use it.
    DialUp.ConnectionAvailable = true;
    AddLog(MessageText("dialupalreadyactive"));
    return;
  }
  platform::RasDialParams params;
  params.entryName = entry;
  params.callbackNumber = "*";
  params.domain = "*";
  if (const unsigned err = platform::RasGetEntryDialParams(params)) {
    AddLog(Format("dialupcantgetparams", std::to_string(err)) + " [!]");
    EndAttempts();
    return;
  }
  // A dial still pending from an attempt that ran out would hold a line
  // nobody hangs up, and its late "connected" would count for this one.
  Hangup();
  const platform::HWND target = NotificationWindow();
  platform::HRASCONN handle = 0;
  const unsigned err = platform::RasDial(
      params,
      [target](platform::HRASCONN h, unsigned state, unsigned error) {
        const std::uint64_t bits = (static_cast<std::uint64_t>(h) << 32) | error;
        platform::PostMessage(target, kRasDialNotification, state, static_cast<platform::LPARAM>(bits));
      },
      handle);
  DialUp.DialHandle = handle;
  if (err) {
    LogRasError(err);
    DialUp.RedialCounter = -1;
    Hangup();
    DialUp.DialAttemptOver = true;
    return;
  }
  if (DialUp.RedialCounter == Options.dnr)
    AddLog(MessageText("dialupdialing") + entry + ".");
  else
    AddLog(MessageText("dialupredialing") + entry + " [" + std::to_string(Options.dnr - DialUp.RedialCounter) + "/" +
           std::to_string(Options.dnr) + "].");
}

void Hangup() {
  if (!DialUp.DialHandle) return;
  AddLog(MessageText("dialuphangingup"));
  platform::RasHangUp(DialUp.DialHandle);
  DialUp.DialHandle = 0;
  Pause();
}

void RasDialNotification(platform::HRASCONN handle, unsigned state, unsigned error) {
  // Reports of a dial this program has given up on mean nothing now.
  if (!handle || handle != DialUp.DialHandle) return;
  if (state == platform::RASCS_Connected) {
    DialUp.ConnectionMadeHere = true;
    DialUp.ConnectionAvailable = true;
    DialUp.RedialCounter = -1;
    AddLog(MessageText("dialupconnected"));
  }
  if (state == platform::RASCS_Disconnected || error != 0) {
    LogRasError(error);
    Hangup();
    if (error == platform::ERROR_LINE_BUSY) --DialUp.RedialCounter;
    else DialUp.RedialCounter = -1;
    Pause();
    DialUp.DialAttemptOver = true;
  }
}

DialUpResult DialUpStage(QTimer* waitTimer, const std::function<bool()>& aborted) {
  DialUp.ConnectionMadeHere = false;
  DialUp.ConnectionAvailable = false;
  DialUp.RedialCounter = Options.dnr;
  if (!Options.dac.empty() && GetActiveConnHandle(Options.dac)) {
    AddLog(Format("dialupalreadyestablished", Options.dac));
    DialUp.ConnectionAvailable = true;
    DialUp.DialHandle = 0;  // never hung up: it is not ours
    return DialUpResult::Available;
  }
  // A wait that runs out is a failed attempt, counted like a busy line:
  // otherwise a line that never answers is redialled for ever.
  const int waitSeconds = std::max(Options.dwc, 0);
  const auto timeout = QObject::connect(waitTimer, &QTimer::timeout, waitTimer, [waitTimer, waitSeconds] {
    waitTimer->stop();
    if (DialUp.DialAttemptOver || DialUp.ConnectionAvailable) return;
    AddLog(Format("dialuptimeout", waitSeconds) + " [!]");
    Hangup();
    --DialUp.RedialCounter;
    DialUp.DialAttemptOver = true;
  });
  DialUpResult result = DialUpResult::NotAvailable;
  while (DialUp.RedialCounter >= 0) {
    DialUp.DialAttemptOver = false;
    DialEntry();
    if (!DialUp.DialAttemptOver && !DialUp.ConnectionAvailable) {
      AddLog(Format("dialupwaiting", waitSeconds));
      waitTimer->setSingleShot(true);
      waitTimer->start(waitSeconds * 1000);
      while (!DialUp.ConnectionAvailable && !DialUp.DialAttemptOver) {
        if (aborted && aborted()) {
          waitTimer->stop();
          Hangup();
          QObject::disconnect(timeout);
          return DialUpResult::Aborted;
        }
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 100) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      }
      waitTimer->stop();
    }
    if (DialUp.ConnectionAvailable) break;
    if (DialUp.DialAttemptOver && DialUp.RedialCounter < 0) AddLog(MessageText("dialupnoconnection") + " [!]");
  }
  QObject::disconnect(timeout);
  if (DialUp.ConnectionAvailable) result = DialUpResult::Available;
  return result;
}

void DialUpAfterDeliveries() {
  if (Options.des && Options.dha && DialUp.ConnectionAvailable && DialUp.ConnectionMadeHere) Hangup();
}

}  // namespace yux
