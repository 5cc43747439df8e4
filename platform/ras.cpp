#include "platform/ras.h"

#include <QFile>
#include <QSettings>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/folders.h"

namespace yux::platform {

namespace {

constexpr unsigned kPortDisconnected = 628;

struct Dial {
  std::mutex m;
  std::condition_variable cv;
  bool cancelled = false;
};

struct Connection {
  HRASCONN handle = 0;
  std::string entry;
  bool up = false;  // connected (else still dialling)
  std::shared_ptr<Dial> dial;
};

struct Emulation {
  std::mutex m;
  std::map<std::string, std::size_t> nextAnswer;  // by entry name
  std::vector<Connection> connections;
  HRASCONN nextHandle = 0x1000;
  bool startConnectedTaken = false;  // "Connected=1" entries made active
};

Emulation& State() {
  static Emulation* e = new Emulation;  // never destroyed: dial threads may outlive main
  return *e;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

std::vector<RasEntry> ReadPhoneBook(bool& ok) {
  std::vector<RasEntry> out;
  QSettings ini(Q(PhoneBookPath()), QSettings::IniFormat);
  ok = ini.status() == QSettings::NoError;
  for (const QString& group : ini.childGroups()) {
    ini.beginGroup(group);
    RasEntry e;
    e.name = group.toStdString();
    e.number = ini.value("Number").toString().toStdString();
    e.user = ini.value("User").toString().toStdString();
    e.password = ini.value("Password").toString().toStdString();
    const QVariant answers = ini.value("Answers");
    e.answers = answers.typeId() == QMetaType::QStringList ? answers.toStringList().join(",").toStdString()
                                                           : answers.toString().toStdString();
    e.connected = ini.value("Connected").toString() == "1";
    ini.endGroup();
    out.push_back(e);
  }
  return out;
}

std::optional<RasEntry> FindEntry(const std::string& name) {
  bool ok = false;
  for (const RasEntry& e : ReadPhoneBook(ok))
    if (Lower(e.name) == Lower(name)) return e;
  return std::nullopt;
}

// Entries marked as connected become active connections the first time
// anyone looks.
void TakeStartConnected(Emulation& s) {
  if (s.startConnectedTaken) return;
  s.startConnectedTaken = true;
  bool ok = false;
  for (const RasEntry& e : ReadPhoneBook(ok))
    if (e.connected) s.connections.push_back({s.nextHandle++, e.name, true, nullptr});
}

struct Answer {
  enum Kind { Connect, Busy, Silence, Error, Drop } kind = Connect;
  int ms = 100;
  unsigned error = 0;
};

Answer ParseAnswer(const std::string& text) {
  std::string word = Lower(text);
  word.erase(std::remove(word.begin(), word.end(), ' '), word.end());
  const auto colon = word.find(':');
  const std::string head = word.substr(0, colon);
  const std::string arg = colon == std::string::npos ? "" : word.substr(colon + 1);
  auto number = [&](int def) {
    try {
      return arg.empty() ? def : std::stoi(arg);
    } catch (...) {
      return def;
    }
  };
  Answer a;
  if (head == "busy") a.kind = Answer::Busy, a.ms = number(100);
  else if (head == "silence") a.kind = Answer::Silence;
  else if (head == "error") a.kind = Answer::Error, a.error = static_cast<unsigned>(number(ERROR_NO_ANSWER)), a.ms = 100;
  else if (head == "drop") a.kind = Answer::Drop, a.ms = number(1000);
  else a.kind = Answer::Connect, a.ms = number(100);
  return a;
}

std::vector<std::string> SplitAnswers(const std::string& text) {
  std::vector<std::string> out;
  std::string cur;
  for (char c : text) {
    if (c == ',') out.push_back(cur), cur.clear();
    else cur += c;
  }
  if (!cur.empty() || out.empty()) out.push_back(cur);
  return out;
}

// Waits `ms` unless the dial is cancelled first; true when cancelled.
bool WaitCancelled(Dial& d, int ms) {
  std::unique_lock lock(d.m);
  if (ms < 0) {
    d.cv.wait(lock, [&] { return d.cancelled; });
    return true;
  }
  return d.cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return d.cancelled; });
}

void MarkUp(HRASCONN handle, bool up) {
  Emulation& s = State();
  std::lock_guard lock(s.m);
  for (Connection& c : s.connections)
    if (c.handle == handle) c.up = up;
  if (!up)
    s.connections.erase(std::remove_if(s.connections.begin(), s.connections.end(),
                                       [&](const Connection& c) { return c.handle == handle; }),
                        s.connections.end());
}

}  // namespace

std::string PhoneBookPath() { return ConfigHomeFolder() + "/yux/phonebook.ini"; }

unsigned RasEnumEntries(std::vector<std::string>& names) {
  names.clear();
  bool ok = false;
  const auto entries = ReadPhoneBook(ok);
  if (!ok) return ERROR_CANNOT_OPEN_PHONEBOOK;
  for (const RasEntry& e : entries) names.push_back(e.name);
  return 0;
}

unsigned RasEnumConnections(std::vector<RasConnection>& connections) {
  connections.clear();
  Emulation& s = State();
  std::lock_guard lock(s.m);
  TakeStartConnected(s);
  for (const Connection& c : s.connections)
    if (c.up) connections.push_back({c.handle, c.entry});
  return 0;
}

unsigned RasGetEntryDialParams(RasDialParams& params) {
  const auto e = FindEntry(params.entryName);
  if (!e) return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
  params.userName = e->user;
  params.password = e->password;
  return 0;
}

unsigned RasDial(const RasDialParams& params, RasDialFunc notify, HRASCONN& handle) {
  handle = 0;
  const auto entry = FindEntry(params.entryName);
  if (!entry) return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
  Emulation& s = State();
  Answer answer;
  auto dial = std::make_shared<Dial>();
  {
    std::lock_guard lock(s.m);
    TakeStartConnected(s);
    const auto answers = SplitAnswers(entry->answers);
    std::size_t& next = s.nextAnswer[Lower(entry->name)];
    answer = ParseAnswer(answers[std::min(next, answers.size() - 1)]);
    ++next;
    handle = s.nextHandle++;
    s.connections.push_back({handle, entry->name, false, dial});
  }
  const HRASCONN h = handle;
  std::thread([dial, answer, notify, h] {
    auto report = [&](unsigned state, unsigned error) {
      // A hang-up that came first silences the report.
      std::lock_guard lock(dial->m);
      if (!dial->cancelled && notify) notify(h, state, error);
    };
    switch (answer.kind) {
      case Answer::Silence:
        WaitCancelled(*dial, -1);
        return;
      case Answer::Busy:
        if (WaitCancelled(*dial, answer.ms)) return;
        report(RASCS_Disconnected, ERROR_LINE_BUSY);
        return;
      case Answer::Error:
        if (WaitCancelled(*dial, answer.ms)) return;
        report(RASCS_Disconnected, answer.error);
        return;
      case Answer::Connect:
      case Answer::Drop:
        if (WaitCancelled(*dial, answer.kind == Answer::Drop ? 100 : answer.ms)) return;
        MarkUp(h, true);
        report(RASCS_Connected, 0);
        if (answer.kind == Answer::Connect) return;
        if (WaitCancelled(*dial, answer.ms)) return;
        MarkUp(h, false);
        report(RASCS_Disconnected, kPortDisconnected);
        return;
    }
  }).detach();
  return 0;
}

unsigned RasHangUp(HRASCONN handle) {
  Emulation& s = State();
  std::shared_ptr<Dial> dial;
  {
    std::lock_guard lock(s.m);
    auto it = std::find_if(s.connections.begin(), s.connections.end(),
                           [&](const Connection& c) { return c.handle == handle; });
    if (it == s.connections.end()) return ERROR_INVALID_HANDLE_RAS;
    dial = it->dial;
    s.connections.erase(it);
  }
  if (dial) {
    std::lock_guard lock(dial->m);
    dial->cancelled = true;
    dial->cv.notify_all();
  }
  return 0;
}

std::string RasGetErrorString(unsigned error) {
  switch (error) {
    case 0: return "The operation completed successfully.";
    case ERROR_INVALID_HANDLE_RAS: return "The handle is invalid.";
    case ERROR_CANNOT_OPEN_PHONEBOOK: return "The system could not open the phone book file.";
    case ERROR_CANNOT_FIND_PHONEBOOK_ENTRY: return "The system could not find the phone book entry for this connection.";
    case kPortDisconnected: return "The connection was terminated.";
    case ERROR_PORT_NOT_AVAILABLE: return "The modem (or other connecting device) is already in use or is not configured properly.";
    case ERROR_LINE_BUSY: return "The phone line is busy.";
    case ERROR_NO_ANSWER: return "The remote computer did not respond.";
    case ERROR_AUTHENTICATION_FAILURE:
      return "Access was denied because the username and/or password was invalid on the domain.";
    default: return "Remote access error " + std::to_string(error) + ".";
  }
}

unsigned RasGetEntry(const std::string& name, RasEntry& entry) {
  const auto e = FindEntry(name);
  if (!e) return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
  entry = *e;
  return 0;
}

unsigned RasSetEntry(const RasEntry& entry) {
  if (entry.name.empty()) return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
  // The phone book holds passwords: only its owner may read it, from before
  // the first password is written.
  const QString path = Q(PhoneBookPath());
  constexpr auto kOwnerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
  {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(PhoneBookPath()).parent_path(), ec);
    QFile file(path);
    if (!file.exists() && file.open(QIODevice::WriteOnly)) file.close();
    file.setPermissions(kOwnerOnly);
  }
  QSettings ini(path, QSettings::IniFormat);
  ini.beginGroup(Q(entry.name));
  ini.setValue("Number", Q(entry.number));
  ini.setValue("User", Q(entry.user));
  ini.setValue("Password", Q(entry.password));
  ini.setValue("Answers", Q(entry.answers.empty() ? "connect" : entry.answers));
  ini.setValue("Connected", entry.connected ? "1" : "0");
  ini.endGroup();
  ini.sync();
  QFile::setPermissions(path, kOwnerOnly);
  return ini.status() == QSettings::NoError ? 0 : ERROR_CANNOT_OPEN_PHONEBOOK;
}

unsigned RasDeleteEntry(const std::string& name) {
  QSettings ini(Q(PhoneBookPath()), QSettings::IniFormat);
  for (const QString& g : ini.childGroups())
    if (Lower(g.toStdString()) == Lower(name)) {
      ini.remove(g);
      ini.sync();
      return 0;
    }
  return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
}

void RasResetEmulation() {
  Emulation& s = State();
  std::vector<std::shared_ptr<Dial>> dials;
  {
    std::lock_guard lock(s.m);
    for (Connection& c : s.connections)
      if (c.dial) dials.push_back(c.dial);
    s.connections.clear();
    s.nextAnswer.clear();
    s.startConnectedTaken = false;
  }
  for (auto& d : dials) {
    std::lock_guard lock(d->m);
    d->cancelled = true;
    d->cv.notify_all();
  }
}

}  // namespace yux::platform
