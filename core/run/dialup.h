#pragma once
// Dial-up before the network deliveries: the phone-book entry "dac" is
// dialled (redialled "dnr" times while the line is busy), each attempt
// waits "dwc" seconds, and the connection made here is hung up afterwards
// with "dha".  The dial's reports arrive on a worker thread and are posted
// as message 52429 to a window of the GUI thread, where every decision is
// taken.
#include <functional>
#include <string>
#include <vector>

#include "platform/messages.h"
#include "platform/ras.h"

class QTimer;

namespace yux {

inline constexpr platform::UINT kRasDialNotification = 52429;

struct DialUpState {
  platform::HRASCONN DialHandle = 0;  // the connection dialled here; 0 none
  int RedialCounter = -1;             // attempts left; -1 ends them
  bool DialAttemptOver = false;
  bool ConnectionMadeHere = false;
  bool ConnectionAvailable = false;
};
extern DialUpState DialUp;

// The phone book's entry names; an error is logged and gives none.
std::vector<std::string> GetEntries();
// The active connections; an error is logged and gives none.
std::vector<platform::RasConnection> GetActiveConn();
// The first active connection of that entry (any case), or 0.
platform::HRASCONN GetActiveConnHandle(const std::string& entry);
// Starts dialling "dac".
void DialEntry();
// Hangs up DialHandle when set (also a dial still in progress).
void Hangup();
// A dial report (on the GUI thread).
void RasDialNotification(platform::HRASCONN handle, unsigned state, unsigned error);

enum class DialUpResult { Available, NotAvailable, Aborted };

// Tuning for tests: the pause after a failure and after a hang-up (the
// system waits a second so that the port is released).
struct DialUpTuning {
  int pauseMs = 1000;
};
void SetDialUpTuning(DialUpTuning tuning);

// The run's dial-up stage.  `waitTimer` is the main window's wait timer;
// `aborted` is asked while waiting.  With Aborted the caller ends the run
// (the dial is already hung up).
DialUpResult DialUpStage(QTimer* waitTimer, const std::function<bool()>& aborted);
// After the deliveries: hangs up when this program made the connection and
// the options ask for it.
void DialUpAfterDeliveries();

}  // namespace yux
