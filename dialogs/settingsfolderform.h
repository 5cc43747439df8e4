#pragma once
// The settings-folder chooser: asked at the first start, it offers a folder
// for all users, one for the current user and one typed by the user, sets
// SettingsFolder and writes the settings location file.
#include <QDialog>

#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

namespace yux {

class TForm2 : public QDialog {
  Q_OBJECT

 public:
  explicit TForm2(QWidget* parent = nullptr);

  // The two candidate folders (for all users, for the current user).
  static std::string AllUsersCandidate();
  static std::string CurrentUserCandidate();

  void ballClick();
  void buserClick();
  void bmyClick();

  // True once a folder was taken.
  bool Chosen() const { return chosen_; }

  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* Label4 = nullptr;
  QPushButton* ball = nullptr;
  QPushButton* buser = nullptr;
  QPushButton* bmy = nullptr;
  QLineEdit* myfolder = nullptr;

 private:
  void Take(const std::string& folder);

  std::string allUsers_;
  std::string currentUser_;
  bool chosen_ = false;
};

// Writes the location file; on failure shows "Error: ...yuxinfo.dat is not
// writable..." (the folder is still used for this session).
void WriteSettingsLocationReporting(const std::string& folder);

}  // namespace yux
