#pragma once
// Controls carry their component names as objectName, so that language
// files and tests find them.
#include <QPushButton>
#include <QString>

namespace yux {

template <typename T>
T* Named(T* w, const char* name) {
  w->setObjectName(name);
  return w;
}

// A push button that the language files know as a bit button.
inline QPushButton* BitBtn(const char* text, const char* name, QWidget* parent) {
  auto* b = Named(new QPushButton(QString::fromUtf8(text), parent), name);
  b->setProperty("yuxClass", "TBitBtn");
  return b;
}

}  // namespace yux
