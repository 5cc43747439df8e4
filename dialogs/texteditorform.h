#pragma once
// A plain-text editor for one list file, shown modally so that the caller
// can wait for it: the file is read as UTF-8 (Windows-1252 where that
// fails) and written back as UTF-8 with its line ends (CRLF unless it had
// plain LF).
#include <QDialog>

#include <string>

class QPlainTextEdit;
class QPushButton;

namespace yux {

class TTextEditorForm : public QDialog {
  Q_OBJECT

 public:
  explicit TTextEditorForm(const std::string& file, QWidget* parent = nullptr);

  // Writes the text to the file; false (after an error box) when it cannot.
  bool Save();

  QPlainTextEdit* memo = nullptr;
  QPushButton* bsave = nullptr;
  QPushButton* bclose = nullptr;

 protected:
  void reject() override;

 private:
  std::string file_;
  bool crlf_ = true;
};

}  // namespace yux
