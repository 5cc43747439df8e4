#pragma once
// A plain-text editor for one list file, shown modally so that the caller
// can wait for it: the file is read as UTF-8 (Windows-1252 where that
// fails) and written back as UTF-8 with its line ends (CRLF unless it had
// plain LF).  Read-only, it is the program's own viewer of a text file.
#include <QDialog>

#include <string>

class QPlainTextEdit;
class QPushButton;

namespace yux {

class TTextEditorForm : public QDialog {
  Q_OBJECT

 public:
  // `readOnly`: the text cannot be changed and there is no Save button.
  explicit TTextEditorForm(const std::string& file, QWidget* parent = nullptr, bool readOnly = false);

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

// Shows a text file read-only in the editor, modally.
void ShowTextFileReadOnly(const std::string& file, QWidget* parent = nullptr);

}  // namespace yux
