#include "net/socket/netlogger.h"

#include <chrono>
#include <ctime>
#include <filesystem>

#include "net/socket/netexceptions.h"

namespace yux::net {

std::string NetFormatLocalTime(const std::string& format) {
  auto now = std::chrono::system_clock::now();
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  int ms = int(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm tm{};
  localtime_r(&t, &tm);
  auto pad = [](int v, int width) {
    std::string s = std::to_string(v);
    while (int(s.size()) < width) s.insert(s.begin(), '0');
    return s;
  };
  std::string out;
  bool afterHour = false;
  std::size_t i = 0;
  auto run = [&](char c) {
    std::size_t n = 0;
    while (i + n < format.size() && (format[i + n] | 0x20) == c) ++n;
    return n;
  };
  while (i < format.size()) {
    char c = char(format[i] | 0x20);
    if (format[i] == '"' || format[i] == '\'') {
      char q = format[i++];
      while (i < format.size() && format[i] != q) out += format[i++];
      if (i < format.size()) ++i;
      continue;
    }
    std::size_t n;
    switch (c) {
      case 'y':
        n = run('y');
        out += n >= 3 ? pad(tm.tm_year + 1900, 4) : pad((tm.tm_year + 1900) % 100, 2);
        i += n;
        afterHour = false;
        continue;
      case 'm':
        n = run('m');
        if (afterHour)
          out += n >= 2 ? pad(tm.tm_min, 2) : std::to_string(tm.tm_min);
        else
          out += n >= 2 ? pad(tm.tm_mon + 1, 2) : std::to_string(tm.tm_mon + 1);
        i += n;
        afterHour = false;
        continue;
      case 'd':
        n = run('d');
        out += n >= 2 ? pad(tm.tm_mday, 2) : std::to_string(tm.tm_mday);
        i += n;
        afterHour = false;
        continue;
      case 'h':
        n = run('h');
        out += n >= 2 ? pad(tm.tm_hour, 2) : std::to_string(tm.tm_hour);
        i += n;
        afterHour = true;
        continue;
      case 'n':
        n = run('n');
        out += n >= 2 ? pad(tm.tm_min, 2) : std::to_string(tm.tm_min);
        i += n;
        afterHour = false;
        continue;
      case 's':
        n = run('s');
        out += n >= 2 ? pad(tm.tm_sec, 2) : std::to_string(tm.tm_sec);
        i += n;
        afterHour = false;
        continue;
      case 'z':
        n = run('z');
        out += n >= 3 ? pad(ms, 3) : std::to_string(ms);
        i += n;
        afterHour = false;
        continue;
      default:
        out += format[i++];
    }
  }
  return out;
}

TNetLogger::TNetLogger() = default;

TNetLogger::~TNetLogger() {
  std::set<INetLogUser*> users;
  {
    std::lock_guard<std::recursive_mutex> g(lock_);
    destroying_ = true;
    CloseLogFile();
    users.swap(users_);
  }
  for (auto* u : users) u->NetLoggerFreed(this);
}

void TNetLogger::RegisterLogUser(INetLogUser* user) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (user) users_.insert(user);
}

void TNetLogger::UnregisterLogUser(INetLogUser* user) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  users_.erase(user);
}

std::string TNetLogger::Stamp() const { return NetFormatLocalTime(timeStampFormat_); }

void TNetLogger::LogMessage(const void* sender, TLogOption option, const std::string& msg) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (destroying_) return;
  bool stamp = options_.Contains(TLogOption::loAddStamp);
  auto line = [&] { return stamp ? Stamp() + timeStampSeparator_ + msg : msg; };
  if (options_.Contains(TLogOption::loDestEvent) && onNetLogEvent_)
    onNetLogEvent_(sender, option, line());
  if (options_.Contains(TLogOption::loDestOutDebug)) {
    std::string l = line() + "\n";
    std::fputs(l.c_str(), stderr);
  }
  if (options_.Contains(TLogOption::loDestFile)) {
    if (!file_) OpenLogFile();
    std::string l = line() + "\r\n";
    if (std::fwrite(l.data(), 1, l.size(), file_) != l.size() || std::fflush(file_) != 0)
      throw ELoggerException("Stream write error");
  }
}

void TNetLogger::OpenLogFile() {
  CloseLogFile();
  if (logFileName_.empty()) throw ELoggerException("File name empty");
  std::error_code ec;
  if (!std::filesystem::exists(logFileName_, ec)) {
    std::FILE* f = std::fopen(logFileName_.c_str(), "wb");
    if (!f) throw ELoggerException("Cannot create file \"" + logFileName_ + "\"");
    std::fclose(f);
  }
  std::FILE* f = std::fopen(logFileName_.c_str(),
                            logFileOption_ == TLogFileOption::lfoOverwrite ? "w+b" : "r+b");
  if (!f) throw ELoggerException("Cannot open file \"" + logFileName_ + "\"");
  if (logFileOption_ == TLogFileOption::lfoAppend) std::fseek(f, 0, SEEK_END);
  file_ = f;
}

void TNetLogger::CloseLogFile() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

TLogOptions TNetLogger::LogOptions() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return options_;
}
void TNetLogger::SetLogOptions(TLogOptions v) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  options_ = v;
}
TLogFileOption TNetLogger::LogFileOption() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return logFileOption_;
}
void TNetLogger::SetLogFileOption(TLogFileOption v) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  logFileOption_ = v;
}
std::string TNetLogger::LogFileName() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return logFileName_;
}
void TNetLogger::SetLogFileName(const std::string& v) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (v == logFileName_) return;
  logFileName_ = v;
  CloseLogFile();
}
void TNetLogger::SetOnNetLogEvent(TNetLogEvent v) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  onNetLogEvent_ = std::move(v);
}
std::string TNetLogger::TimeStampFormatString() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return timeStampFormat_;
}
void TNetLogger::SetTimeStampFormatString(const std::string& v) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  timeStampFormat_ = v;
}
std::string TNetLogger::TimeStampSeparator() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return timeStampSeparator_;
}
void TNetLogger::SetTimeStampSeparator(const std::string& v) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  timeStampSeparator_ = v;
}

}  // namespace yux::net
