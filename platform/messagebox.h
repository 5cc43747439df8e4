#pragma once
// Message boxes and modal questions, all through one service so that a
// box nobody can see never blocks: without a display a box writes its
// caption and text to standard error and takes its default answer, and
// tests install scripted answers and read what was asked.
#include "platform/messages.h"

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace yux::platform {

// Buttons (low 4 bits of the type).
inline constexpr UINT MB_OK = 0x0;
inline constexpr UINT MB_OKCANCEL = 0x1;
inline constexpr UINT MB_ABORTRETRYIGNORE = 0x2;
inline constexpr UINT MB_YESNOCANCEL = 0x3;
inline constexpr UINT MB_YESNO = 0x4;
inline constexpr UINT MB_RETRYCANCEL = 0x5;
// Icons.
inline constexpr UINT MB_ICONERROR = 0x10;
inline constexpr UINT MB_ICONQUESTION = 0x20;
inline constexpr UINT MB_ICONWARNING = 0x30;
inline constexpr UINT MB_ICONINFORMATION = 0x40;
// Default button (first when none is named).
inline constexpr UINT MB_DEFBUTTON1 = 0x000;
inline constexpr UINT MB_DEFBUTTON2 = 0x100;
inline constexpr UINT MB_DEFBUTTON3 = 0x200;
inline constexpr UINT MB_DEFBUTTON4 = 0x300;
// Answers.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDABORT = 3;
inline constexpr int IDRETRY = 4;
inline constexpr int IDIGNORE = 5;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

struct MessageBoxRequest {
  std::string text;
  std::string caption;
  UINT type = MB_OK;  // buttons | icon | default button
  // Asked while the box is shown: true closes it without an answer of the
  // user's (the caller then looks at why).  None: the box waits.
  std::function<bool()> closeWhen;

  UINT Buttons() const { return type & 0x0F; }
  UINT Icon() const { return type & 0xF0; }
  // The answers of the buttons, in their order on the box.
  std::vector<int> ButtonIds() const;
  // The answer of the default button (the first one when the named default
  // does not exist).
  int DefaultAnswer() const;
};

class MessageBoxService {
 public:
  virtual ~MessageBoxService() = default;
  virtual int Show(const MessageBoxRequest& request) = 0;
};

// Writes "caption: text" to standard error and answers with the default.
class HeadlessMessageBoxService : public MessageBoxService {
 public:
  int Show(const MessageBoxRequest& request) override;
};

// A modal box of the widget toolkit, shown on the GUI thread (a call from
// another thread waits for it).
class QtMessageBoxService : public MessageBoxService {
 public:
  int Show(const MessageBoxRequest& request) override;
};

// For tests: records every request and answers from a script; when the
// script is used up, the default answer.  Thread-safe.
class ScriptedMessageBoxService : public MessageBoxService {
 public:
  void Answer(int id);
  int Show(const MessageBoxRequest& request) override;
  std::vector<MessageBoxRequest> Asked() const;

 private:
  mutable std::mutex mu_;
  std::deque<int> answers_;
  std::vector<MessageBoxRequest> asked_;
};

// True when no box can be seen: QT_QPA_PLATFORM is offscreen or minimal,
// there is neither DISPLAY nor WAYLAND_DISPLAY, or the process has no
// widget application.
bool IsHeadless();

// The service in use: the one installed, else the headless one when
// IsHeadless(), else the Qt one.
MessageBoxService& CurrentMessageBoxService();
// Installs a service for the whole process; nullptr goes back to choosing
// automatically.
void SetMessageBoxService(std::shared_ptr<MessageBoxService> service);

// Shows a box through the current service; returns the answer (IDOK ...).
// With `closeWhen`, a shown box also closes once it returns true; the
// answer is then the default one, so the caller must check its condition.
int MessageBox(const std::string& text, const std::string& caption, UINT type,
               std::function<bool()> closeWhen = {});

}  // namespace yux::platform
