#include "dialogs/settingsfolderform.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <filesystem>

#include "core/services/shellutils.h"
#include "core/services/startup.h"
#include "core/store/folders.h"
#include "core/store/savefile.h"
#include "platform/folders.h"
#include "platform/messagebox.h"

namespace yux {

namespace fs = std::filesystem;

std::string TForm2::AllUsersCandidate() { return AllUsersSettingsFolder(); }
std::string TForm2::CurrentUserCandidate() { return CurrentUserSettingsFolder(); }

void WriteSettingsLocationReporting(const std::string& folder) {
  if (WriteSettingsLocation(folder)) return;
  platform::MessageBox("Error: " + PathJoin(platform::ProgramDataFolder(), kSettingsLocationName) +
                           " is not writable. Rus installation as administrator!",
                       kApplicationTitle, platform::MB_OK | platform::MB_ICONERROR);
}

TForm2::TForm2(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName("Form2");
  setWindowTitle("Select a folder to store your settings");
  setModal(true);

  auto* layout = new QVBoxLayout(this);
  Label1 = new QLabel("YUX keeps its options, presets, schedule and log in one settings folder.", this);
  Label1->setObjectName("Label1");
  Label2 = new QLabel("Use a folder that all users of this computer share:", this);
  Label2->setObjectName("Label2");
  Label3 = new QLabel("Or a folder of the current user only:", this);
  Label3->setObjectName("Label3");
  Label4 = new QLabel("Or a folder of your own choice:", this);
  Label4->setObjectName("Label4");
  ball = new QPushButton("Use all (only for users with admin rights)", this);
  ball->setObjectName("ball");
  buser = new QPushButton("Use all (only for current user)", this);
  buser->setObjectName("buser");
  bmy = new QPushButton("Use the folder specified below:", this);
  bmy->setObjectName("bmy");
  myfolder = new QLineEdit(QString::fromStdString(PathJoin(platform::HomeFolder(), "YUX-Settings")), this);
  myfolder->setObjectName("myfolder");

  layout->addWidget(Label1);
  layout->addWidget(Label2);
  layout->addWidget(ball);
  layout->addWidget(Label3);
  layout->addWidget(buser);
  layout->addWidget(Label4);
  layout->addWidget(bmy);
  layout->addWidget(myfolder);

  // The candidates replace the buttons' texts.
  allUsers_ = AllUsersCandidate();
  currentUser_ = CurrentUserCandidate();
  ball->setText(QString::fromStdString(allUsers_));
  buser->setText(QString::fromStdString(currentUser_));

  connect(ball, &QPushButton::clicked, this, [this] { ballClick(); });
  connect(buser, &QPushButton::clicked, this, [this] { buserClick(); });
  connect(bmy, &QPushButton::clicked, this, [this] { bmyClick(); });
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

void TForm2::Take(const std::string& folder) {
  SettingsFolder = folder;
  chosen_ = true;
  WriteSettingsLocationReporting(folder);
  accept();
}

void TForm2::ballClick() {
  // The shared folder must exist with group access before anyone can use
  // it; where this user may not make it, say so and let another be chosen.
  std::string reason;
  if (!MakeSettingsFolder(allUsers_, kSharedSettingsFolderMode, &reason)) {
    platform::MessageBox("Cannot create the folder for all users \"" + allUsers_ + "\": " + reason +
                             ". Create it as administrator (mode 2770, group of the YUX users) or choose another "
                             "folder.",
                         kApplicationTitle, platform::MB_OK | platform::MB_ICONERROR);
    return;
  }
  Take(allUsers_);
}
void TForm2::buserClick() { Take(currentUser_); }

void TForm2::bmyClick() {
  const std::string folder = myfolder->text().toStdString();
  std::error_code ec;
  bool ok = !folder.empty();
  if (ok) {
    try {
      fs::create_directories(folder, ec);
      ok = !ec && fs::is_directory(folder, ec);
    } catch (...) {
      ok = false;
    }
  }
  if (!ok) {
    platform::MessageBox("\rCannot create this folder", kApplicationTitle, platform::MB_OK | platform::MB_ICONERROR);
    return;
  }
  Take(folder);
}

}  // namespace yux
