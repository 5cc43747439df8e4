#pragma once
// The diagnostic log sink of the network suite.  Components ask whether an
// option is active before building a message, then hand the message over;
// the logger stamps it and sends it to an event, a file and the debug
// output.  One logger may serve several components and threads.
#include <cstdint>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <set>
#include <string>

namespace yux::net {

enum class TLogOption : std::uint8_t {
  loDestEvent,
  loDestFile,
  loDestOutDebug,
  loAddStamp,
  loWsockErr,
  loWsockInfo,
  loWsockDump,
  loSslErr,
  loSslInfo,
  loSslDump,
  loProtSpecErr,
  loProtSpecInfo,
  loProtSpecDump,
};

class TLogOptions {
 public:
  constexpr TLogOptions() = default;
  constexpr TLogOptions(std::initializer_list<TLogOption> options) {
    for (auto o : options) bits_ |= Bit(o);
  }
  constexpr bool Contains(TLogOption o) const { return (bits_ & Bit(o)) != 0; }
  constexpr void Include(TLogOption o) { bits_ |= Bit(o); }
  constexpr void Exclude(TLogOption o) { bits_ &= std::uint16_t(~Bit(o)); }
  constexpr std::uint16_t Bits() const { return bits_; }
  friend constexpr bool operator==(TLogOptions, TLogOptions) = default;

 private:
  static constexpr std::uint16_t Bit(TLogOption o) { return std::uint16_t(1u << unsigned(o)); }
  std::uint16_t bits_ = 0;
};

enum class TLogFileOption { lfoAppend, lfoOverwrite };

class TNetLogger;

// A component that holds a reference to a logger and must forget it when
// the logger goes away.
class INetLogUser {
 public:
  virtual void NetLoggerFreed(TNetLogger* logger) = 0;

 protected:
  ~INetLogUser() = default;
};

using TNetLogEvent =
    std::function<void(const void* sender, TLogOption option, const std::string& msg)>;

class TNetLogger {
 public:
  TNetLogger();
  ~TNetLogger();
  TNetLogger(const TNetLogger&) = delete;
  TNetLogger& operator=(const TNetLogger&) = delete;

  void RegisterLogUser(INetLogUser* user);
  void UnregisterLogUser(INetLogUser* user);

  // The caller has tested the option already; the logger does not.
  void LogMessage(const void* sender, TLogOption option, const std::string& msg);

  TLogOptions LogOptions();
  void SetLogOptions(TLogOptions v);
  TLogFileOption LogFileOption();
  void SetLogFileOption(TLogFileOption v);
  std::string LogFileName();
  // A different name closes the open file; the next file message opens it.
  void SetLogFileName(const std::string& v);
  void SetOnNetLogEvent(TNetLogEvent v);
  std::string TimeStampFormatString();
  void SetTimeStampFormatString(const std::string& v);
  std::string TimeStampSeparator();
  void SetTimeStampSeparator(const std::string& v);

 private:
  void OpenLogFile();
  void CloseLogFile();
  std::string Stamp() const;

  std::recursive_mutex lock_;
  TLogOptions options_;
  TNetLogEvent onNetLogEvent_;
  std::string logFileName_;
  std::FILE* file_ = nullptr;
  TLogFileOption logFileOption_ = TLogFileOption::lfoAppend;
  std::string timeStampFormat_ = "hh:nn:ss:zzz";
  std::string timeStampSeparator_ = " ";
  std::set<INetLogUser*> users_;
  bool destroying_ = false;
};

// The current local time in the date-time format of the suite's logs:
// yyyy, yy, mm (month, or minutes right after an hour), dd, hh, nn, ss, zzz
// and their one-letter forms; other characters are copied, text in double
// or single quotes is copied without the quotes.
std::string NetFormatLocalTime(const std::string& format);

}  // namespace yux::net
