#pragma once
// Remote access (dial-up) in the shape the program calls it: phone-book
// entries, active connections, stored dial parameters, an asynchronous dial
// whose progress a worker thread reports, hang-up and error texts.
//
// Linux has no such service: the back end here is an emulated phone book,
// an ini file "phonebook.ini" in the configuration folder.  One section per
// entry:
//   [Office]
//   Number=0123456
//   User=alice
//   Password=secret
//   Answers=busy,busy,connect:300
//   Connected=1
// Each dial of an entry takes the next answer of its list (the last one
// repeats): "connect[:ms]" connects after ms milliseconds (default 100),
// "busy" reports error 676, "silence" never reports, "error:<code>" reports
// that error, "drop:<ms>" connects and drops the line ms milliseconds
// later.  "Connected=1" makes the entry start as an active connection.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace yux::platform {

using HRASCONN = std::uintptr_t;

// Connection states the dial reports.
inline constexpr unsigned RASCS_OpenPort = 0;
inline constexpr unsigned RASCS_Connected = 0x2000;     // 8192
inline constexpr unsigned RASCS_Disconnected = 0x2001;  // 8193

// Error codes the emulation gives.
inline constexpr unsigned ERROR_CANNOT_FIND_PHONEBOOK_ENTRY = 623;
inline constexpr unsigned ERROR_PORT_NOT_AVAILABLE = 633;
inline constexpr unsigned ERROR_LINE_BUSY = 676;
inline constexpr unsigned ERROR_NO_ANSWER = 678;
inline constexpr unsigned ERROR_AUTHENTICATION_FAILURE = 691;
inline constexpr unsigned ERROR_CANNOT_OPEN_PHONEBOOK = 621;
inline constexpr unsigned ERROR_INVALID_HANDLE_RAS = 6;

struct RasEntry {
  std::string name;
  std::string number;
  std::string user;
  std::string password;
  std::string answers;  // comma-separated script
  bool connected = false;
};

struct RasConnection {
  HRASCONN handle = 0;
  std::string entryName;
};

struct RasDialParams {
  std::string entryName;
  std::string phoneNumber;
  std::string callbackNumber;
  std::string userName;
  std::string password;
  std::string domain;
};

// Called on a worker thread with the dial's handle, the connection state
// and an error code.
using RasDialFunc = std::function<void(HRASCONN handle, unsigned state, unsigned error)>;

// The phone book file (in the configuration folder).
std::string PhoneBookPath();

// 0 on success, else an error code.
unsigned RasEnumEntries(std::vector<std::string>& names);
unsigned RasEnumConnections(std::vector<RasConnection>& connections);
unsigned RasGetEntryDialParams(RasDialParams& params);
// Starts dialling; `handle` is set at once (also when the dial fails later).
unsigned RasDial(const RasDialParams& params, RasDialFunc notify, HRASCONN& handle);
// Ends a connection or a dial in progress; no report comes after it.
unsigned RasHangUp(HRASCONN handle);
std::string RasGetErrorString(unsigned error);

// The phone book's entries for the settings dialog's buttons.
unsigned RasGetEntry(const std::string& name, RasEntry& entry);
unsigned RasSetEntry(const RasEntry& entry);  // creates or replaces
unsigned RasDeleteEntry(const std::string& name);

// Forgets every connection, pending dial and answer position (tests).
void RasResetEmulation();

}  // namespace yux::platform
