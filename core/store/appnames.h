#pragma once
// The program's fixed names: its title and version, and the names it gives
// to what other processes meet (named objects, messages, switches, files).
namespace yux {

inline constexpr char kApplicationTitle[] = "YUX for WinRAR";
inline constexpr char kVersionText[] = "3.00 beta 4";
inline constexpr char kVersionDate[] = "2013.03.10";
inline constexpr char kInstanceMutexName[] = "YUX_SECOND_INSTANCE";
inline constexpr char kParamDataMessage[] = "YUXParamData";
inline constexpr char kSchedulerEventName[] = "YUX4WINRAR_SCHEDULER";
inline constexpr char kKeeperSwitch[] = "/YUX-KEEPER";
inline constexpr char kRecycleSwitch[] = "/YUX-RECYCLE";
inline constexpr char kSettingsLocationName[] = "yuxinfo.dat";
inline constexpr char kAutostartValueName[] = "Yux";

}  // namespace yux
