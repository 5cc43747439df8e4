#pragma once
// Helpers for tests that restore archives: modification times set and
// read back, and what Python's zipfile makes of an archive.
#include <fcntl.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <string>

#include "tests/support/testsupport.h"

namespace yux::test {

inline std::tm Moment(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return tm;
}

// Seconds since 1970 of a moment in UTC.
inline time_t UtcTime(int year, int month, int day, int hour = 12, int minute = 0, int second = 0) {
  std::tm tm = Moment(year, month, day, hour, minute, second);
  return timegm(&tm);
}

// Seconds since 1970 of a moment in local time, as a DOS date holds it.
inline time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm = Moment(year, month, day, hour, minute, second);
  return std::mktime(&tm);
}

inline bool SetModified(const std::filesystem::path& p, time_t t) {
  const struct timespec times[2] = {{t, 0}, {t, 0}};
  return utimensat(AT_FDCWD, p.c_str(), times, 0) == 0;
}

// The modification time; -1 when the file cannot be read.
inline time_t ModifiedOf(const std::filesystem::path& p) {
  struct stat st {};
  return ::stat(p.c_str(), &st) == 0 ? st.st_mtime : time_t{-1};
}

// Opens the archive with Python's zipfile (Debian's interpreter) and, when
// `readData`, checks every entry's data.  Prints the number of entries.
inline ProcessResult PythonOpensZip(const std::filesystem::path& archive, bool readData) {
  return RunProgram({"/usr/bin/python3", "-c",
                     "import sys, zipfile\n"
                     "z = zipfile.ZipFile(sys.argv[1])\n"
                     "if sys.argv[2] == '1' and z.testzip() is not None: sys.exit('bad data')\n"
                     "print(len(z.namelist()))\n",
                     archive.string(), readData ? "1" : "0"});
}

}  // namespace yux::test
