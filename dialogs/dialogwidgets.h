#pragma once
// Small helpers the dialogs share to make named controls: every control
// carries its component name as objectName, for the language files and
// for tests.
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QString>
#include <QStringList>
#include <QTabWidget>

#include <vector>

#include "core/services/startup.h"
#include "core/store/language.h"
#include "platform/messagebox.h"

namespace yux {

template <typename T>
T* Named(T* w, const char* name) {
  w->setObjectName(name);
  return w;
}

// A button that the language files know as a bit button.
inline QPushButton* BitBtn(const char* text, const char* name, QWidget* parent) {
  auto* b = Named(new QPushButton(text, parent), name);
  b->setProperty("yuxClass", "TBitBtn");
  return b;
}

inline QGroupBox* Group(QWidget* parent, const char* name, const char* title) {
  return Named(new QGroupBox(title, parent), name);
}

inline QLabel* Label(QWidget* parent, const char* name, const char* text) {
  return Named(new QLabel(text, parent), name);
}

inline QCheckBox* Check(QWidget* parent, const char* name, const char* text, bool checked = false) {
  auto* box = Named(new QCheckBox(text, parent), name);
  box->setChecked(checked);
  return box;
}

// A drop-down list with its first item chosen.
inline QComboBox* List(QWidget* parent, const char* name, const QStringList& items) {
  auto* box = Named(new QComboBox(parent), name);
  box->addItems(items);
  box->setCurrentIndex(0);
  return box;
}

// Where a check of OK failed: the page of `pages` that holds `field` is
// shown, scrolled to the field where the page scrolls, and the field gets
// the focus, an edit with its text selected.
inline void ShowFieldOnPage(QTabWidget* pages, QWidget* field) {
  QScrollArea* scrolled = nullptr;
  for (QWidget* w = field; w; w = w->parentWidget()) {
    if (!scrolled) scrolled = qobject_cast<QScrollArea*>(w);
    const int index = pages->indexOf(w);
    if (index >= 0) {
      pages->setCurrentIndex(index);
      break;
    }
  }
  if (scrolled && scrolled->widget()) {
    // The page just shown lays itself out first: the field's place and the
    // scroll bars are known after that.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    // The whole field where it fits, not only its text cursor.
    const QRect r(field->mapTo(scrolled->widget(), QPoint(0, 0)), field->size());
    scrolled->ensureVisible(r.center().x(), r.center().y(), r.width() / 2 + 4, r.height() / 2 + 4);
  }
  field->setFocus(Qt::OtherFocusReason);
  if (auto* e = qobject_cast<QLineEdit*>(field)) e->selectAll();
}

// The kinds the preset dialog translates: labels, check boxes, edits, bit
// buttons and group boxes (its pages by their own keys).
inline const std::vector<ControlKind> kPresetDialogKinds = {
    ControlKind::TLabel, ControlKind::TCheckBox, ControlKind::TEdit, ControlKind::TBitBtn, ControlKind::TGroupBox};

// The dialogs' boxes: the text after one carriage return, as the program's
// boxes show it.
inline void ErrorBox(const std::string& text) {
  platform::MessageBox("\r" + text, kApplicationTitle, platform::MB_OK | platform::MB_ICONERROR);
}
inline void InfoBox(const std::string& text) {
  platform::MessageBox("\r" + text, kApplicationTitle, platform::MB_OK | platform::MB_ICONINFORMATION);
}
inline bool AskYes(const std::string& text) {
  return platform::MessageBox("\r" + text, kApplicationTitle, platform::MB_YESNO | platform::MB_ICONQUESTION) ==
         platform::IDYES;
}

}  // namespace yux
