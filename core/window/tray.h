#pragma once
// The tray icon's texts and pictures: the mini-schedule balloon that a click
// on the icon shows, the limits of its texts, and the program's two icons
// (the normal one and the one shown while a preset runs).
#include <QIcon>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "core/store/schedule.h"

namespace yux {

// The longest texts a balloon carries (the rest is cut off).
inline constexpr std::size_t kBalloonTextLimit = 255;
inline constexpr std::size_t kBalloonTitleLimit = 63;
// How long the balloon stays.
inline constexpr int kBalloonTimeoutMs = 3000;
// The tray icon's tip.
inline constexpr char kTrayTip[] = "Yux";

// The first `maxChars` characters of a UTF-8 text (a character is never
// split; invalid bytes count as one character each).
std::string CutText(const std::string& text, std::size_t maxChars = kBalloonTextLimit);

// The mini-schedule: with the scheduler on, up to the first three rows as
// "date - preset" lines and "..." when there are more, or "Schedule is
// empty"; with it off "Scheduler is turned off"; while a run is active a
// line naming the running preset follows.  Not yet cut to the limit.
std::string MiniScheduleText(bool schedulerOn, const std::vector<tschdata>& rows, bool runActive,
                             const std::string& runningPreset);

// Whether the desktop has a tray to show the icon in.  Without one a
// window hidden "to the tray" could never be shown again.
bool SystemTrayAvailable();
// Replaces the platform's answer (tests); an empty function restores it.
void SetSystemTrayProbe(std::function<bool()> probe);

// The program's icon, and the one shown while a preset runs.
QIcon ApplicationIcon();
QIcon RunningIcon();

}  // namespace yux
