#pragma once
// What a cleaner may delete at a destination.  The produced-files lists
// hold bare names; a name alone does not say where the file went, so a
// cleaner deletes an expired name only where the delivery history places
// it: the destination as it is today.  A name of the current run is never
// deleted (archive names without a time stamp repeat from run to run).
#include <functional>
#include <string>
#include <vector>

#include <QDateTime>

namespace yux {

struct CleanerRequest {
  std::string presetName;
  int mode = 0;   // 0 by runs, 1 by days
  int limit = 0;  // runs or days kept
  char listKind = 0;            // 'c' or 'f'
  std::string historyKind;      // "4-COPY" or "3-FTP"
  // The history location a name delivered to today's destination has.
  std::function<std::string(const std::string&)> locationOf;
  std::vector<std::string> currentRun;  // names this run produced
};

// Selects the expired names of the request's list (cutting their blocks
// from it) and returns those the cleaner may delete, in list order.  Every
// name held back is logged for the current preset: a name of this run,
// a text that is no bare file name, a name the history does not place at
// this destination.  A list or history that cannot be read, or a damaged
// list, is logged as an error and selects nothing; it never throws.
std::vector<std::string> SelectCleanerFiles(const CleanerRequest& request,
                                            const QDateTime& now = QDateTime::currentDateTime());

}  // namespace yux
