#include "platform/messagebox.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace yux::platform {
namespace {

std::mutex gMu;
std::shared_ptr<MessageBoxService> gInstalled;

// Boxes of the core start their text with "\r" to lay it out on Windows.
std::string ShownText(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == '\r' || text[i] == '\n')) ++i;
  return text.substr(i);
}

}  // namespace

std::vector<int> MessageBoxRequest::ButtonIds() const {
  switch (Buttons()) {
    case MB_OKCANCEL: return {IDOK, IDCANCEL};
    case MB_ABORTRETRYIGNORE: return {IDABORT, IDRETRY, IDIGNORE};
    case MB_YESNOCANCEL: return {IDYES, IDNO, IDCANCEL};
    case MB_YESNO: return {IDYES, IDNO};
    case MB_RETRYCANCEL: return {IDRETRY, IDCANCEL};
    default: return {IDOK};
  }
}

int MessageBoxRequest::DefaultAnswer() const {
  auto ids = ButtonIds();
  size_t index = (type & 0xF00) >> 8;
  return index < ids.size() ? ids[index] : ids.front();
}

int HeadlessMessageBoxService::Show(const MessageBoxRequest& request) {
  std::string line = request.caption + ": " + ShownText(request.text) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  return request.DefaultAnswer();
}

int QtMessageBoxService::Show(const MessageBoxRequest& request) {
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (!app) return HeadlessMessageBoxService().Show(request);
  if (QThread::currentThread() != app->thread()) {
    int answer = request.DefaultAnswer();
    QMetaObject::invokeMethod(
        app, [&] { answer = Show(request); }, Qt::BlockingQueuedConnection);
    return answer;
  }
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  switch (request.Icon()) {
    case MB_ICONERROR: icon = QMessageBox::Critical; break;
    case MB_ICONQUESTION: icon = QMessageBox::Question; break;
    case MB_ICONWARNING: icon = QMessageBox::Warning; break;
    case MB_ICONINFORMATION: icon = QMessageBox::Information; break;
    default: break;
  }
  QMessageBox box(icon, QString::fromStdString(request.caption), QString::fromStdString(ShownText(request.text)));
  static const std::map<int, QMessageBox::StandardButton> kButtons = {
      {IDOK, QMessageBox::Ok},        {IDCANCEL, QMessageBox::Cancel}, {IDABORT, QMessageBox::Abort},
      {IDRETRY, QMessageBox::Retry},  {IDIGNORE, QMessageBox::Ignore}, {IDYES, QMessageBox::Yes},
      {IDNO, QMessageBox::No}};
  std::map<QAbstractButton*, int> ids;
  for (int id : request.ButtonIds()) {
    QAbstractButton* b = box.addButton(kButtons.at(id));
    ids[b] = id;
    if (id == request.DefaultAnswer()) box.setDefaultButton(static_cast<QPushButton*>(b));
  }
  // A box nobody answers must not outlive the reason it was shown for.
  QTimer watch;
  if (request.closeWhen) {
    if (request.closeWhen()) return request.DefaultAnswer();
    QObject::connect(&watch, &QTimer::timeout, &box, [&] {
      if (request.closeWhen()) box.done(0);
    });
    watch.start(100);
  }
  box.exec();
  watch.stop();
  if (request.closeWhen && !box.clickedButton()) return request.DefaultAnswer();
  auto it = ids.find(box.clickedButton());
  if (it != ids.end()) return it->second;
  // Closed without a button: Windows answers Cancel where there is one.
  auto all = request.ButtonIds();
  for (int id : all)
    if (id == IDCANCEL) return IDCANCEL;
  return all.size() == 1 ? all.front() : request.DefaultAnswer();
}

void ScriptedMessageBoxService::Answer(int id) {
  std::lock_guard lk(mu_);
  answers_.push_back(id);
}

int ScriptedMessageBoxService::Show(const MessageBoxRequest& request) {
  std::lock_guard lk(mu_);
  asked_.push_back(request);
  if (answers_.empty()) return request.DefaultAnswer();
  int a = answers_.front();
  answers_.pop_front();
  return a;
}

std::vector<MessageBoxRequest> ScriptedMessageBoxService::Asked() const {
  std::lock_guard lk(mu_);
  return asked_;
}

bool IsHeadless() {
  const char* qpa = std::getenv("QT_QPA_PLATFORM");
  if (qpa && (std::strncmp(qpa, "offscreen", 9) == 0 || std::strncmp(qpa, "minimal", 7) == 0)) return true;
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  if ((!x || !*x) && (!w || !*w)) return true;
  return qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr;
}

MessageBoxService& CurrentMessageBoxService() {
  {
    std::lock_guard lk(gMu);
    if (gInstalled) return *gInstalled;
  }
  static HeadlessMessageBoxService headless;
  static QtMessageBoxService qt;
  if (IsHeadless()) return headless;
  return qt;
}

void SetMessageBoxService(std::shared_ptr<MessageBoxService> service) {
  std::lock_guard lk(gMu);
  gInstalled = std::move(service);
}

int MessageBox(const std::string& text, const std::string& caption, UINT type, std::function<bool()> closeWhen) {
  std::shared_ptr<MessageBoxService> keep;
  {
    std::lock_guard lk(gMu);
    keep = gInstalled;
  }
  MessageBoxRequest r{text, caption, type, std::move(closeWhen)};
  if (keep) return keep->Show(r);
  return CurrentMessageBoxService().Show(r);
}

}  // namespace yux::platform
