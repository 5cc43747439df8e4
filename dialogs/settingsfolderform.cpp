#include "dialogs/settingsfolderform.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <filesystem>

#include "core/folders.h"
#include "core/shellutils.h"
#include "core/startup.h"
#include "platform/folders.h"
#include "platform/messagebox.h"

namespace yux {
namespace {

namespace fs = std::filesystem;

// The base of a candidate: the XDG variable when it is set, else its
// documented default under the home folder; kept as an environment text so
// that an unset variable shows as written.
std::string Candidate(const char* xdgName, const char* homeDefault) {
  const char* v = std::getenv(xdgName);
  const std::string base = (v && *v) ? std::string("%") + xdgName + "%" : std::string("%HOME%/") + homeDefault;
  return ExpandEnvVars(base + "/Pellmor/YUX");
}

}  // namespace

std::string TForm2::AllUsersCandidate() { return Candidate("XDG_CONFIG_HOME", ".config"); }
std::string TForm2::CurrentUserCandidate() { return Candidate("XDG_DATA_HOME", ".local/share"); }

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

void TForm2::ballClick() { Take(allUsers_); }
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
