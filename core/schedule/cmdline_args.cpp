// The requests of a command line, joined to the schedule.
#include "core/schedule/cmdline_args.h"

#include <QString>

#include <filesystem>

#include "core/store/flags.h"
#include "core/store/language.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/programlog.h"
#include "core/store/schedule.h"

namespace yux {

namespace {

constexpr std::string_view kLanguageSwitch = "/LANGUAGE(";

std::string Upper(const std::string& text) { return QString::fromStdString(text).toUpper().toStdString(); }

// "/LANGUAGE(<file>)": the file is looked up in the program folder.
void SetLanguageFromSwitch(const std::string& arg, CommandLineActions& actions) {
  if (SecondInstance) {
    // The running instance owns "yux.opt": a second one saving it would
    // undo that instance's later changes, or be undone by its next save.
    AddLog(MessageText("langcantchange") + " [!]");
    return;
  }
  std::string name = arg.substr(kLanguageSwitch.size());
  if (!name.empty() && name.back() == ')') name.pop_back();

  bool exists = name == kDefaultLanguage;
  // A language is a file of the program folder, never a path elsewhere.
  if (!exists && !name.empty() && name.find('/') == std::string::npos) {
    std::error_code ec;
    exists = std::filesystem::is_regular_file(std::filesystem::path(LanguageFilePath(name)), ec);
  }
  if (!exists) {
    AddLog(Format("langdoesntexist", name) + " [!]");
    return;
  }
  Options.lng = name;
  SaveOptions(Options);
  LoadLanguageStrings(name);
  actions.applyLanguageForms = true;
  if (name == kDefaultLanguage)
    AddLog("Default English language was set. Please restart to apply changes.");
  else
    AddLog(MessageText("langwassetto") + name + ".");
}

}  // namespace

bool AddScheduleRequest(const std::string& request) { return AddToSchedule(ParseCommandParams(request)); }

CommandLineActions ExamineCommandLine(const std::vector<std::string>& args) {
  CommandLineActions actions;
  for (const std::string& arg : args) {
    const std::string upper = Upper(arg);
    const bool language = upper.rfind(kLanguageSwitch, 0) == 0;
    if (language) SetLanguageFromSwitch(arg, actions);
    if (upper == "/HIDE") actions.hideAtStart = true;
    if (upper == "/SVC") {
      actions.hideAtStart = true;
      ServiceMode = true;
    }
    if (upper == "/SCHON" || upper == "/SCHOFF") {
      const bool on = upper == "/SCHON";
      if (SecondInstance) {
        // Only the running instance may switch its scheduler; this process
        // ends here, before it signals anything.
        AddLog(MessageText(on ? "schcantturnon" : "schcantturnoff") + " [!]");
        ForcedClose = true;
        actions.closeNow = true;
        return actions;
      }
      Options.son = on;
      AddLog(MessageText(on ? "schturnedon" : "schturnedoff"));
    }
    if (!language && upper != "/HIDE" && upper != "/SVC" && upper != "/SCHON" && upper != "/SCHOFF") {
      if (AddScheduleRequest(arg)) ++actions.requestsAdded;
      else ++actions.requestsRefused;
    }
  }
  return actions;
}

}  // namespace yux
