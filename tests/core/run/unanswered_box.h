#pragma once
// A box of a run that nobody answers, as a user sees it: a while after it
// is made, the text of the modal box then shown is noted and the run's
// abort is requested (as the end of the session does).  Should the box
// stay, a click on its OK ends the wait later, so that a test fails
// instead of hanging.  Make it right before the stage that shows the box
// and call Stop() once the stage returned.
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <string>

#include "core/store/flags.h"

namespace yux::test {

class UnansweredBox {
 public:
  explicit UnansweredBox(int abortAfterMs = 300, int rescueAfterMs = 15000) {
    abort_.setSingleShot(true);
    QObject::connect(&abort_, &QTimer::timeout, [this] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
        shown = box->text().toStdString();
      AbortRequested = true;
    });
    abort_.start(abortAfterMs);
    rescue_.setSingleShot(true);
    QObject::connect(&rescue_, &QTimer::timeout, [this] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        clicked = true;
        box->button(QMessageBox::Ok)->click();
      }
    });
    rescue_.start(rescueAfterMs);
  }
  void Stop() { rescue_.stop(); }

  std::string shown;     // the text of the box shown when the abort came
  bool clicked = false;  // the box stayed and had to be clicked away

 private:
  QTimer abort_;
  QTimer rescue_;
};

}  // namespace yux::test
