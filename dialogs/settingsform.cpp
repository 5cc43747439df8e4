// The settings dialog's controls on their eight pages, its translation,
// its keys and the help of the visible page.
#include "dialogs/settingsform.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStyle>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <filesystem>

#include "core/services/shellutils.h"
#include "core/store/folders.h"
#include "core/store/language.h"
#include "core/store/options.h"
#include "dialogs/dialogwidgets.h"
#include "dialogs/presetform.h"

namespace yux {

namespace {

QLineEdit* Edit(QWidget* parent, const char* name, bool masked = false) {
  auto* e = Named(new QLineEdit(parent), name);
  if (masked) e->setEchoMode(QLineEdit::Password);
  return e;
}

// A number box; a typed number outside the limits becomes the nearest one.
QSpinBox* Spin(QWidget* parent, const char* name, int low, int high, int value) {
  auto* s = Named(new QSpinBox(parent), name);
  s->setRange(low, high);
  s->setValue(value);
  s->setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
  s->setMinimumWidth(100);
  return s;
}

QToolButton* Tool(QWidget* parent, const char* name, const char* hint, QStyle::StandardPixmap icon) {
  auto* b = Named(new QToolButton(parent), name);
  b->setToolTip(hint);
  if (icon == QStyle::SP_CustomBase) b->setText("...");
  else b->setIcon(parent->style()->standardIcon(icon));
  return b;
}

// A radio group: a titled box of radio buttons numbered from 0.
QGroupBox* RadioGroup(QWidget* parent, const char* name, const char* title, const QStringList& items,
                      QButtonGroup*& buttons) {
  auto* box = Named(new QGroupBox(title, parent), name);
  box->setProperty("yuxClass", "TRadioGroup");
  auto* l = new QVBoxLayout(box);
  buttons = new QButtonGroup(box);
  for (int i = 0; i < items.size(); ++i) {
    auto* r = new QRadioButton(items[i], box);
    buttons->addButton(r, i);
    l->addWidget(r);
  }
  buttons->button(0)->setChecked(true);
  return box;
}

// A number with its caption before and its unit after.
void NumberRow(QGridLayout* grid, int row, QWidget* parent, const char* labelName, const char* caption,
               QSpinBox* spin, const char* unitName = nullptr, const char* unit = nullptr) {
  grid->addWidget(Label(parent, labelName, caption), row, 0);
  grid->addWidget(spin, row, 1);
  if (unitName) grid->addWidget(Label(parent, unitName, unit), row, 2);
}

const QStringList kSkinStyles = {"Plain", "Centered image", "Tiled image"};

}  // namespace

std::string ServiceCompanionPath() {
  for (const char* name : {"yuxsvc", "yuxsvc.exe"}) {
    const std::string path = PathJoin(ProgramFolder, name);
    std::error_code ec;
    if (std::filesystem::is_regular_file(path, ec)) return path;
  }
  return {};
}

TForm4::TForm4(TForm1* main, QWidget* parent) : QDialog(parent), main_(main) {
  setObjectName("Form4");
  setWindowTitle("YUX - Settings");
  setModal(true);
  PickFolder = BrowseForFolder;
  PickOpenFile = [this](const std::string& title, const std::string& folder, const std::string& filter) {
    return QFileDialog::getOpenFileName(this, QString::fromStdString(title), QString::fromStdString(folder),
                                        QString::fromStdString(filter))
        .toStdString();
  };
  PickSaveFile = [this](const std::string& title, const std::string& folder, const std::string& filter,
                        const std::string& suffix) {
    QFileDialog dialog(this, QString::fromStdString(title), QString::fromStdString(folder),
                       QString::fromStdString(filter));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QString::fromStdString(suffix));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::string();
    return dialog.selectedFiles().first().toStdString();
  };
  PickColour = [this](const QColor& initial) -> std::optional<QColor> {
    const QColor c = QColorDialog::getColor(initial, this, "Select a color");
    if (!c.isValid()) return std::nullopt;
    return c;
  };
  EditEntry = [this](platform::RasEntry& entry) {
    TPhoneBookEntryForm form(entry, this);
    if (form.exec() != QDialog::Accepted) return false;
    entry = form.Entry();
    return true;
  };
  ShowHelp = [](const std::string& topic) { ShowHelpTopic(topic); };

  auto* top = new QVBoxLayout(this);
  PageControl1 = Named(new QTabWidget(this), "PageControl1");
  top->addWidget(PageControl1, 1);
  BuildGeneralPage();
  BuildInterfacePage();
  BuildBinPage();
  BuildRemotePage();
  BuildDialupPage();
  BuildErrorsPage();
  BuildSecurityPage();
  BuildAppearancePage();
  BuildButtons();
  Connect();

  // Creation: translate, remember the language and whether the service
  // mode is on, and give the input controls the skin's colours.
  ApplyLanguage();
  languageAtOpening_ = Options.lng;
  serviceAtOpening_ = Options.sta == 3;
  skinAtOpening_ = Skin;
  skinningAtOpening_ = Options.ske;
  std::vector<QWidget*> inputs;
  for (QWidget* w : findChildren<QWidget*>())
    if (qobject_cast<QLineEdit*>(w) || qobject_cast<QComboBox*>(w) || qobject_cast<QSpinBox*>(w)) inputs.push_back(w);
  if (Options.ske) ApplyDialogSkin(this, inputs, {});
}

TForm4::~TForm4() = default;

QWidget* TForm4::AddPage(SettingsPage page, const char* caption, const char* help) {
  auto* sheet = Named(new QWidget, ("TabSheet" + std::to_string(page + 1)).c_str());
  sheet->setProperty("helpTopic", help);
  TabSheet[page] = sheet;
  PageControl1->addTab(sheet, caption);
  return sheet;
}

void TForm4::BuildGeneralPage() {
  QWidget* p = AddPage(kSettingsGeneral, "&General", "settings_-_general_tab.htm");
  auto* grid = new QGridLayout(p);
  ewinrarexe = Edit(p, "ewinrarexe");
  bfindwinrar = Tool(p, "bfindwinrar", "Find winrar.exe manually", QStyle::SP_CustomBase);
  etempfolder = Edit(p, "etempfolder");
  bselecttemp = Tool(p, "bselecttemp", "Select temp folder", QStyle::SP_CustomBase);
  grid->addWidget(Label(p, "Label1", "WinRAR location"), 0, 0);
  grid->addWidget(ewinrarexe, 0, 1, 1, 2);
  grid->addWidget(bfindwinrar, 0, 3);
  grid->addWidget(Label(p, "Label2", "Temp. folder"), 1, 0);
  grid->addWidget(etempfolder, 1, 1, 1, 2);
  grid->addWidget(bselecttemp, 1, 3);
  logsize = Spin(p, "logsize", 0, 999999999, 10000);
  ewrtimeout = Spin(p, "ewrtimeout", 0, 999999999, 0);
  eschprecise = Spin(p, "eschprecise", 1, 999999999, 1);
  NumberRow(grid, 2, p, "Label3", "Max log size", logsize, "Label4", "lines (unlimited=0)");
  NumberRow(grid, 3, p, "Label5", "WinRAR timeout", ewrtimeout, "Label6", "minutes (unlimited=0)");
  NumberRow(grid, 4, p, "Label7", "Scheduler precision", eschprecise, "Label8", "seconds (max. precise=1)");
  startup = RadioGroup(p, "startup", " Initialization at Windows startup ",
                       {"Do not run at Windows startup.", "Run, complete all tasks and quit.",
                        "Run, complete all tasks and stay in memory.", "Run using YUXSVC before user logon."},
                       startupItems);
  grid->addWidget(startup, 5, 0, 1, 4);
  grid->setRowStretch(6, 1);
  grid->setColumnStretch(2, 1);
}

void TForm4::BuildInterfacePage() {
  QWidget* p = AddPage(kSettingsInterface, "&Interface", "settings_-_interface_tab.htm");
  auto* grid = new QGridLayout(p);
  // Wider than the limits: OK brings a typed height into 40..1200.
  epresetlistheight = Spin(p, "epresetlistheight", 0, 99999, 125);
  NumberRow(grid, 0, p, "Label9", "Preset list height", epresetlistheight, "Label10", "pixels (default=125)");
  elanguages = Named(new QComboBox(p), "elanguages");
  blanginfo = Tool(p, "blanginfo", "Language information", QStyle::SP_CustomBase);
  blanginfo->setText("?");
  grid->addWidget(Label(p, "Label11", "Interface language"), 1, 0);
  grid->addWidget(elanguages, 1, 1, 1, 2);
  grid->addWidget(blanginfo, 1, 3);
  elogfontsize = Spin(p, "elogfontsize", 6, 16, 8);
  epresetlistfontsize = Spin(p, "epresetlistfontsize", 6, 16, 10);
  NumberRow(grid, 2, p, "Label12", "Log font size", elogfontsize);
  NumberRow(grid, 3, p, "Label13", "Preset list font size", epresetlistfontsize);
  cdisexit = Check(p, "cdisexit", "Disable exit confirmation with 15 sec. timeout");
  cdisbaloon = Check(p, "cdisbaloon", "Disable mini-schedule when you click on YUX tray icon");
  cdistoolbar = Check(p, "cdistoolbar", "Disable toolbar");
  cautocolwidth = Check(p, "cautocolwidth", "Preset list: auto column width sizing (recommended)", true);
  cstdminimize = Check(p, "cstdminimize", "Minimize button minimizes YUX to taskbar instead of hiding it to tray");
  chideinsteadclose = Check(p, "chideinsteadclose", "Close button hides YUX to tray (use tray icon menu to exit YUX)");
  int row = 4;
  for (QCheckBox* c : {cdisexit, cdisbaloon, cdistoolbar, cautocolwidth, cstdminimize, chideinsteadclose})
    grid->addWidget(c, row++, 0, 1, 4);
  grid->setRowStretch(row, 1);
  grid->setColumnStretch(2, 1);
}

void TForm4::BuildBinPage() {
  QWidget* p = AddPage(kSettingsBin, "YUX-&BIN", "settings_-_yux-bin_tab.htm");
  auto* grid = new QGridLayout(p);
  ckeeper = Check(p, "ckeeper", "Enable YUX-Keeper");
  crecycle = Check(p, "crecycle", "Enable YUX-Recycle");
  grid->addWidget(ckeeper, 0, 0, 1, 2);
  grid->addWidget(crecycle, 0, 2, 1, 2);
  eobf = Edit(p, "eobf");
  eobf->setText("C:\\");
  bgetyuxbinpath = Tool(p, "bgetyuxbinpath", "Select YUX-BIN folder", QStyle::SP_CustomBase);
  grid->addWidget(Label(p, "Label14", "YUX-BIN path"), 1, 0);
  grid->addWidget(eobf, 1, 1, 1, 2);
  grid->addWidget(bgetyuxbinpath, 1, 3);
  eobc = List(p, "eobc", {"Store", "Fastest", "Fast", "Normal", "Good", "Best"});
  grid->addWidget(Label(p, "Label15", "YUX-BIN Compression"), 2, 0);
  grid->addWidget(eobc, 2, 1);
  eokp = Edit(p, "eokp", true);
  eorp = Edit(p, "eorp", true);
  grid->addWidget(Label(p, "Label16", "YUX-Keeper password"), 3, 0);
  grid->addWidget(eokp, 3, 1, 1, 2);
  grid->addWidget(Label(p, "Label17", "YUX-Recycle password"), 4, 0);
  grid->addWidget(eorp, 4, 1, 1, 2);
  yuxbinversions = Spin(p, "yuxbinversions", 0, 999999999, 0);
  grid->addWidget(Label(p, "Label18", "Keep previous file versions when updating files (0-fresh versions only) "), 5,
                  0, 1, 3);
  grid->addWidget(yuxbinversions, 5, 3);
  obt = RadioGroup(p, "obt", " YUX-BIN window works as ", {"Disabled", "YUX-Keeper", "YUX-Recycle"}, obtItems);
  grid->addWidget(obt, 6, 0, 1, 2);
  cnotification = Check(p, "cnotification", "Show notification when done");
  grid->addWidget(cnotification, 6, 2, 1, 2, Qt::AlignTop);
  auto* clean = Group(p, "GroupBox1", " Clean-up YUX-BIN ");
  auto* cl = new QGridLayout(clean);
  bkeepercln = Named(new QPushButton("YUX-KEEPER: delete files modified later than", clean), "bkeepercln");
  brecyclecln = Named(new QPushButton("YUX-RECYCLE: delete files modified later than", clean), "brecyclecln");
  eobi = Spin(clean, "eobi", 1, 999999999, 60);
  cl->addWidget(bkeepercln, 0, 0);
  cl->addWidget(brecyclecln, 1, 0);
  cl->addWidget(eobi, 0, 1, 2, 1);
  cl->addWidget(Label(clean, "Label19", "days"), 0, 2, 2, 1);
  grid->addWidget(clean, 7, 0, 1, 4);
  grid->setRowStretch(8, 1);
  grid->setColumnStretch(2, 1);
}

void TForm4::BuildRemotePage() {
  QWidget* p = AddPage(kSettingsRemote, "&Remote Access", "settings_-_remote_access_tab.htm");
  auto* grid = new QGridLayout(p);
  cra = Check(p, "cra", "Enable Remote Access on YUX startup");
  grid->addWidget(cra, 0, 0, 1, 3);
  eport = Spin(p, "eport", 1, 65535, 80);
  NumberRow(grid, 1, p, "Label20", "Port", eport);
  ehttplogin = Edit(p, "ehttplogin");
  ehttppass = Edit(p, "ehttppass", true);
  grid->addWidget(Label(p, "Label21", "Login"), 2, 0);
  grid->addWidget(ehttplogin, 2, 1, 1, 2);
  grid->addWidget(Label(p, "Label22", "Password"), 3, 0);
  grid->addWidget(ehttppass, 3, 1, 1, 2);
  Button1 = Named(new QPushButton("Start server", p), "Button1");
  Button2 = Named(new QPushButton("Stop server", p), "Button2");
  auto* row = new QHBoxLayout;
  row->addWidget(Button1);
  row->addWidget(Button2);
  row->addStretch();
  grid->addLayout(row, 4, 0, 1, 3);
  grid->setRowStretch(5, 1);
  grid->setColumnStretch(2, 1);
}

void TForm4::BuildDialupPage() {
  QWidget* p = AddPage(kSettingsDialup, "&Dialup", "settings_-_dialup_tab.htm");
  auto* grid = new QGridLayout(p);
  ces = Check(p, "ces", "Establish dial-up connection for FTP and SMTP tasks");
  chg = Check(p, "chg", "Hang up when finished if connection was established by YUX");
  grid->addWidget(ces, 0, 0, 1, 6);
  grid->addWidget(chg, 1, 0, 1, 6);
  eaccounts = Named(new QComboBox(p), "eaccounts");
  bnew = Tool(p, "bnew", "New", QStyle::SP_FileDialogNewFolder);
  bedit = Tool(p, "bedit", "Edit", QStyle::SP_FileDialogDetailedView);
  bdelete = Tool(p, "bdelete", "Delete", QStyle::SP_TrashIcon);
  grid->addWidget(Label(p, "Label23", "Account"), 2, 0);
  grid->addWidget(eaccounts, 2, 1, 1, 2);
  grid->addWidget(bnew, 2, 3);
  grid->addWidget(bedit, 2, 4);
  grid->addWidget(bdelete, 2, 5);
  eredial = Spin(p, "eredial", 0, 999999999, 0);
  emaxwait = Spin(p, "emaxwait", 30, 600, 30);
  NumberRow(grid, 3, p, "Label24", "Redials if BUSY:", eredial, "Label25", "times (0 = no redials)");
  NumberRow(grid, 4, p, "Label26", "Waiting for connection:", emaxwait, "Label27", "seconds");
  // Kept from the file to the file; the phone book holds what is dialled.
  euser = Edit(p, "euser");
  epass = Edit(p, "epass", true);
  bdialnow = Named(new QPushButton("Dial now", p), "bdialnow");
  bhangupnow = Named(new QPushButton("Hang up now", p), "bhangupnow");
  for (QWidget* w : std::initializer_list<QWidget*>{euser, epass, bdialnow, bhangupnow}) w->setVisible(false);
  grid->setRowStretch(5, 1);
  grid->setColumnStretch(2, 1);
}

void TForm4::BuildErrorsPage() {
  QWidget* p = AddPage(kSettingsErrors, "&Error management", "settings_-_error_management_tab.htm");
  auto* grid = new QGridLayout(p);
  cer = Check(p, "cer", "Report errors to admin e-mail address via SMTP:");
  grid->addWidget(cer, 0, 0, 1, 4);
  esserver = Edit(p, "esserver");
  esssl = List(p, "esssl", {"NO SSL", "TLS", "STARTTLS"});
  esuser = Edit(p, "esuser");
  espass = Edit(p, "espass", true);
  esfrom = Edit(p, "esfrom");
  esto = Edit(p, "esto");
  grid->addWidget(Label(p, "Label28", "Server *"), 1, 0);
  grid->addWidget(esserver, 1, 1);
  grid->addWidget(esssl, 1, 2, 1, 2);
  grid->addWidget(Label(p, "Label29", "Login"), 2, 0);
  grid->addWidget(esuser, 2, 1);
  grid->addWidget(Label(p, "Label30", "Password"), 2, 2);
  grid->addWidget(espass, 2, 3);
  grid->addWidget(Label(p, "Label31", "From"), 3, 0);
  grid->addWidget(esfrom, 3, 1);
  grid->addWidget(Label(p, "Label32", "To"), 3, 2);
  grid->addWidget(esto, 3, 3);
  grid->addWidget(Label(p, "Label33", "*This SMTP account data is also used by the /sendlog command."), 4, 0, 1, 4);
  csoe = Check(p, "csoe", "Sound on errors");
  eswf = Edit(p, "eswf");
  bselectwav = Tool(p, "bselectwav", "Select WAV file", QStyle::SP_CustomBase);
  bplaywav = Tool(p, "bplaywav", "Play WAV file", QStyle::SP_MediaPlay);
  auto* sound = new QHBoxLayout;
  sound->addWidget(eswf, 1);
  sound->addWidget(bselectwav);
  sound->addWidget(bplaywav);
  grid->addWidget(csoe, 5, 0);
  grid->addLayout(sound, 5, 1, 1, 3);
  cre = Check(p, "cre", "Enable retries on SMTP and FTP failures");
  grid->addWidget(cre, 6, 0, 1, 4);
  auto* numbers = new QGridLayout;
  erint = Spin(p, "erint", 1, 9999999, 5);
  erretr = Spin(p, "erretr", 1, 9999999, 3);
  esmtptimeout = Spin(p, "esmtptimeout", 0, 999999999, 0);
  eftptimeout = Spin(p, "eftptimeout", 0, 999999999, 0);
  NumberRow(numbers, 0, p, "Label34", "Retry interval:", erint, "Label35", "seconds");
  NumberRow(numbers, 1, p, "Label36", "Number of retries:", erretr, "Label37", "times");
  NumberRow(numbers, 2, p, "Label38", "SMTP timeout", esmtptimeout, "Label39", "minutes");
  NumberRow(numbers, 3, p, "Label40", "FTP timeout", eftptimeout, "Label41", "minutes");
  numbers->setColumnStretch(2, 1);
  grid->addLayout(numbers, 7, 0, 1, 4);
  cms = Check(p, "cms", "Keep maximum FTP/SMTP speed (higher CPU load)", true);
  cie = Check(p, "cie", "Ignore non-critical WinRAR warnings");
  grid->addWidget(cms, 8, 0, 1, 4);
  grid->addWidget(cie, 9, 0, 1, 4);
  grid->setRowStretch(10, 1);
  grid->setColumnStretch(1, 1);
  grid->setColumnStretch(3, 1);
}

void TForm4::BuildSecurityPage() {
  QWidget* p = AddPage(kSettingsSecurity, "&Security", "settings_-_security_tab.htm");
  auto* grid = new QGridLayout(p);
  egpass = Edit(p, "egpass", true);
  egpass->setReadOnly(true);
  grid->addWidget(Label(p, "Label42", "Password"), 0, 0);
  grid->addWidget(egpass, 0, 1);
  cpsettings = Check(p, "cpsettings", "Protect settings section");
  cpscheduler = Check(p, "cpscheduler", "Protect scheduler section");
  cpall = Check(p, "cpall", "Protect restore from system tray");
  cpmanipulate = Check(p, "cpmanipulate", "Protect preset manipulations");
  cpexit = Check(p, "cpexit", "Protect exit");
  int row = 1;
  for (QCheckBox* c : {cpsettings, cpscheduler, cpall, cpmanipulate, cpexit}) grid->addWidget(c, row++, 0, 1, 2);
  grid->setRowStretch(row, 1);
  grid->setColumnStretch(1, 1);
}

QLineEdit* TForm4::ColourEdit(QGroupBox* group, QGridLayout* grid, int row, int column, const char* name,
                              const char* label) {
  auto* caption = Named(new QLabel(label, group), (std::string("L") + name).c_str());
  auto* edit = Edit(group, name);
  edit->setMaximumWidth(90);
  auto* button = Tool(group, (std::string("b") + name).c_str(), "Select a color", QStyle::SP_CustomBase);
  grid->addWidget(caption, row, column);
  grid->addWidget(edit, row, column + 1);
  grid->addWidget(button, row, column + 2);
  colours_.push_back({edit, caption, group});
  colourButtons_.push_back(button);
  // The button shows the colour the text names.
  connect(edit, &QLineEdit::textChanged, button, [button](const QString& text) {
    QPixmap swatch(16, 16);
    const auto colour = TryHexToColor(text.toStdString());
    if (!colour || text.isEmpty()) {
      button->setIcon(QIcon());
      button->setText("...");
      return;
    }
    swatch.fill(*colour);
    button->setIcon(QIcon(swatch));
  });
  connect(button, &QToolButton::clicked, this, [this, edit] { bcolourClick(edit); });
  return edit;
}

void TForm4::BuildAppearancePage() {
  QWidget* p = AddPage(kSettingsAppearance, "&Appearance", "settings_-_appearance_tab.htm");
  auto* top = new QGridLayout(p);
  eski = Check(p, "eski", "Enable skinning");
  top->addWidget(eski, 0, 0, 1, 2);
  auto picture = [this](QGroupBox* g, QGridLayout* l, const char* editName, const char* kindName, QLineEdit*& edit,
                        QComboBox*& kind) {
    edit = Edit(g, editName);
    auto* pick = Tool(g, (std::string("b") + editName).c_str(), "Select a BMP image", QStyle::SP_CustomBase);
    kind = List(g, kindName, kSkinStyles);
    l->addWidget(edit, 0, 0, 1, 4);
    l->addWidget(pick, 0, 4);
    l->addWidget(kind, 0, 5);
    pictureButtons_.push_back(pick);
    QLineEdit* target = edit;
    connect(pick, &QToolButton::clicked, this, [this, target] { bpictureClick(target); });
  };
  auto* gmain = Group(p, "GroupBox2", "Main window");
  auto* ml = new QGridLayout(gmain);
  picture(gmain, ml, "emw", "tmw", emw, tmw);
  etb = ColourEdit(gmain, ml, 1, 0, "etb", "Table bg color:");
  etf = ColourEdit(gmain, ml, 1, 3, "etf", "Font color:");
  elb = ColourEdit(gmain, ml, 2, 0, "elb", "Log bg color:");
  elf = ColourEdit(gmain, ml, 2, 3, "elf", "Font color:");
  elb1 = ColourEdit(gmain, ml, 3, 0, "elb1", "Log error bg color:");
  elf1 = ColourEdit(gmain, ml, 3, 3, "elf1", "Error font color:");
  auto* gsch = Group(p, "GroupBox3", "Scheduler window");
  auto* sl = new QGridLayout(gsch);
  picture(gsch, sl, "esw", "tsw", esw, tsw);
  etb1 = ColourEdit(gsch, sl, 1, 0, "etb1", "Table bg color:");
  etf1 = ColourEdit(gsch, sl, 1, 3, "etf1", "Font color:");
  auto* gconf = Group(p, "GroupBox4", "Configuration windows");
  auto* cl = new QGridLayout(gconf);
  picture(gconf, cl, "epw", "tpw", epw, tpw);
  auto* ggen = Group(p, "GroupBox5", "General");
  auto* gl = new QGridLayout(ggen);
  etb3 = ColourEdit(ggen, gl, 0, 0, "etb3", "Controls bg color:");
  etf3 = ColourEdit(ggen, gl, 0, 3, "etf3", "Font color:");
  top->addWidget(gmain, 1, 0, 1, 2);
  top->addWidget(gsch, 2, 0);
  top->addWidget(gconf, 2, 1);
  top->addWidget(ggen, 3, 0, 1, 2);
  bsaveskin = Tool(p, "bsaveskin", "Save current skin", QStyle::SP_DialogSaveButton);
  bloadskin = Tool(p, "bloadskin", "Load a skin", QStyle::SP_DialogOpenButton);
  bpublishskin = Tool(p, "bpublishskin", "Publish in internet", QStyle::SP_DriveNetIcon);
  bapplyskin = Tool(p, "bapplyskin", "Apply new color settings immediately", QStyle::SP_DialogApplyButton);
  auto* row = new QHBoxLayout;
  for (QToolButton* b : {bsaveskin, bloadskin, bpublishskin, bapplyskin}) row->addWidget(b);
  row->addStretch();
  top->addLayout(row, 4, 0, 1, 2);
  top->setRowStretch(5, 1);
}

void TForm4::BuildButtons() {
  okbut = BitBtn("&OK", "okbut", this);
  okbut->setDefault(true);
  cancelbut = BitBtn("&Cancel", "cancelbut", this);
  helpbut = BitBtn("Help", "helpbut", this);
  auto* row = new QHBoxLayout;
  row->addStretch();
  for (QPushButton* b : {okbut, cancelbut, helpbut}) row->addWidget(b);
  static_cast<QVBoxLayout*>(layout())->addLayout(row);
}

void TForm4::Connect() {
  connect(okbut, &QPushButton::clicked, this, [this] { okbutClick(); });
  connect(cancelbut, &QPushButton::clicked, this, [this] { reject(); });
  connect(helpbut, &QPushButton::clicked, this, [this] { helpbutClick(); });
  connect(Button1, &QPushButton::clicked, this, [this] { httpstartClick(); });
  connect(Button2, &QPushButton::clicked, this, [this] { httpstopClick(); });
  connect(bnew, &QToolButton::clicked, this, [this] { bnewClick(); });
  connect(bedit, &QToolButton::clicked, this, [this] { beditClick(); });
  connect(bdelete, &QToolButton::clicked, this, [this] { bdeleteClick(); });
  connect(bdialnow, &QPushButton::clicked, this, [this] { bdialnowClick(); });
  connect(bhangupnow, &QPushButton::clicked, this, [this] { bhangupnowClick(); });
  connect(bfindwinrar, &QToolButton::clicked, this, [this] { bfindwinrarClick(); });
  connect(bselecttemp, &QToolButton::clicked, this, [this] { bselecttempClick(); });
  connect(bgetyuxbinpath, &QToolButton::clicked, this, [this] { bgetyuxbinpathClick(); });
  connect(bselectwav, &QToolButton::clicked, this, [this] { bselectwavClick(); });
  connect(bplaywav, &QToolButton::clicked, this, [this] { bplaywavClick(); });
  connect(blanginfo, &QToolButton::clicked, this, [this] { blanginfoClick(); });
  connect(bsaveskin, &QToolButton::clicked, this, [this] { bsaveskinClick(); });
  connect(bloadskin, &QToolButton::clicked, this, [this] { bloadskinClick(); });
  connect(bpublishskin, &QToolButton::clicked, this, [this] { bpublishskinClick(); });
  connect(bapplyskin, &QToolButton::clicked, this, [this] { bapplyskinClick(); });
  connect(bkeepercln, &QPushButton::clicked, this, [this] { CleanBinArchive("keeper"); });
  connect(brecyclecln, &QPushButton::clicked, this, [this] { CleanBinArchive("recycle"); });
  connect(startupItems, &QButtonGroup::idClicked, this, [this](int id) { startupClick(id); });
  egpass->installEventFilter(this);
}

void TForm4::ApplyLanguage() {
  std::vector<NumberedText> numbered;
  auto item = [&](const std::string& key, QComboBox* box, int index) {
    numbered.push_back({key, [box, index] { return box->itemText(index).toStdString(); },
                        [box, index](const std::string& t) { box->setItemText(index, QString::fromStdString(t)); }});
  };
  auto radio = [&](const std::string& key, QButtonGroup* group, int index) {
    QAbstractButton* b = group->button(index);
    numbered.push_back({key, [b] { return b->text().toStdString(); },
                        [b](const std::string& t) { b->setText(QString::fromStdString(t)); }});
  };
  auto hint = [&](const std::string& key, QWidget* w) {
    numbered.push_back({key, [w] { return w->toolTip().toStdString(); },
                        [w](const std::string& t) { w->setToolTip(QString::fromStdString(t)); }});
  };
  for (int i = 0; i < kSettingsPageCount; ++i) {
    numbered.push_back({"Form4" + TabSheet[i]->objectName().toStdString(),
                        [this, i] { return PageControl1->tabText(i).toStdString(); },
                        [this, i](const std::string& t) { PageControl1->setTabText(i, QString::fromStdString(t)); }});
  }
  hint("Form4findwinrarexe", bfindwinrar);
  hint("Form4selecttempfolder", bselecttemp);
  hint("Form4selectwavfile", bselectwav);
  hint("Form4playwavfile", bplaywav);
  hint("Form4languageinfo", blanginfo);
  hint("Form4newhint", bnew);
  hint("Form4edithint", bedit);
  hint("Form4deletehint", bdelete);
  hint("Form4loadaskin", bloadskin);
  hint("Form4savecurrentskin", bsaveskin);
  hint("Form4publishskin", bpublishskin);
  hint("Form4applychanges", bapplyskin);
  hint("Form4getyuxbinpath", bgetyuxbinpath);
  for (QToolButton* b : pictureButtons_) hint("Form4selectbmpimage", b);
  for (QToolButton* b : colourButtons_) hint("Form4selectacolor", b);
  for (int i = 0; i < 3; ++i) radio("Form4yuxbintask" + std::to_string(i + 1), obtItems, i);
  for (int i = 0; i < 6; ++i) item("Form3ecompression" + std::to_string(i + 1), eobc, i);
  for (int i = 0; i < 4; ++i) radio("Form4startup" + std::to_string(i + 1), startupItems, i);
  for (QComboBox* kinds : {tmw, tsw, tpw})
    for (int i = 0; i < 3; ++i) item("Form4skinstyle" + std::to_string(i + 1), kinds, i);
  static const std::vector<ControlKind> kinds = {
      ControlKind::TLabel,  ControlKind::TCheckBox, ControlKind::TEdit,      ControlKind::TButton,
      ControlKind::TBitBtn, ControlKind::TGroupBox, ControlKind::TRadioGroup};
  LoadLanguageForms(this, Options.lng, kinds, numbered);
}

void TForm4::ShowPage(const std::string& name) {
  for (int i = 0; i < kSettingsPageCount; ++i) {
    QString caption = PageControl1->tabText(i);
    caption.remove('&');
    // The menu's names are the English captions, whatever the language.
    static const char* const kNames[] = {"General", "Interface",        "YUX-BIN",  "Remote Access",
                                         "Dialup",  "Error management", "Security", "Appearance"};
    if (name == kNames[i] || caption.toStdString() == name) {
      PageControl1->setCurrentIndex(i);
      return;
    }
  }
  PageControl1->setCurrentIndex(0);
}

std::string TForm4::PageHelpTopic(QWidget* page) {
  return page ? page->property("helpTopic").toString().toStdString() : std::string();
}

void TForm4::helpbutClick() {
  const std::string topic = PageHelpTopic(PageControl1->currentWidget());
  if (!topic.empty() && ShowHelp) ShowHelp(topic);
}

void TForm4::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1) {
    helpbutClick();
    return;
  }
  QDialog::keyPressEvent(event);  // Esc rejects
}

bool TForm4::eventFilter(QObject* watched, QEvent* event) {
  if (watched == egpass && event->type() == QEvent::MouseButtonPress) {
    egpassClick();
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

void TForm4::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // Filled once: a window that becomes active again (after a folder
  // picker, a colour dialog or a message box) keeps the user's edits.
  if (!shown_) {
    shown_ = true;
    FormActivate();
  }
}

}  // namespace yux
