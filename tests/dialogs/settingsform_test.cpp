// The settings dialog's values: every option changed through its control
// reaches "yux.opt" (read back by a reader of the test's own) and the skin
// "yux.ocs", and shows again on reopening; the limits of the numbers; the
// checks that keep everything as it was; the language change; the help of
// each page.
#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>

#include "core/store/msgtable.h"
#include "tests/dialogs/settingsform_fixture.h"

using namespace yux;
using namespace yux::test;

namespace {

struct Row {
  const char* control;
  const char* value;     // as set
  const char* key;
  const char* fileValue;
  const char* again = nullptr;  // as shown on reopening, when not `value`
};

// Every option the dialog keeps, each with a value other than its default.
const Row kRows[] = {
    {"ewinrarexe", "/opt/rar/winrar", "pwi", "/opt/rar/winrar"},
    {"etempfolder", "/var/tmp/yux temp/", "pte", "/var/tmp/yux temp", "/var/tmp/yux temp"},
    {"logsize", "5000", "lsz", "5000"},
    {"ewrtimeout", "15", "twr", "15"},
    {"eschprecise", "3", "shp", "3"},
    {"epresetlistheight", "300", "plh", "300"},
    {"elanguages", "0", "lng", "Deutsch.lng"},
    {"elogfontsize", "12", "lfs", "12"},
    {"epresetlistfontsize", "14", "pfs", "14"},
    {"cdisexit", "1", "dec", "1"},
    {"cdisbaloon", "1", "dtb", "1"},
    {"cdistoolbar", "1", "dit", "1"},
    {"cautocolwidth", "0", "acw", "0"},
    {"cstdminimize", "1", "smz", "1"},
    {"chideinsteadclose", "1", "hic", "1"},
    {"ckeeper", "0", "obk", "0"},
    {"crecycle", "0", "obr", "0"},
    {"eobf", "/srv/yux bin", "obf", "/srv/yux bin"},
    {"eobc", "4", "obc", "4"},
    {"eokp", "keeper pw", "okp", "keeper pw"},
    {"eorp", "recycle pw", "obp", "recycle pw"},
    {"yuxbinversions", "2", "obv", "2"},
    {"cnotification", "0", "obn", "0"},
    {"eobi", "30", "obi", "30"},
    {"cra", "1", "rae", "1"},
    {"eport", "8081", "rap", "8081"},
    {"ehttplogin", "web", "rlo", "web"},
    {"ehttppass", "web pw", "rpa", "web pw"},
    {"ces", "1", "des", "1"},
    {"chg", "1", "dha", "1"},
    {"eaccounts", "1", "dac", "Office"},
    {"eredial", "4", "dnr", "4"},
    {"emaxwait", "90", "dwc", "90"},
    {"euser", "dial user", "dus", "dial user"},
    {"epass", "dial pw", "dpa", "dial pw"},
    {"cer", "1", "ser", "1"},
    {"esserver", "smtp.example.test:2525", "ssr", "smtp.example.test:2525"},
    {"esssl", "2", "sss", "2"},
    {"esuser", "mailer", "sur", "mailer"},
    {"espass", "mail pw", "spd", "mail pw"},
    {"esfrom", "yux@example.test", "sfm", "yux@example.test"},
    {"esto", "admin@example.test", "sto", "admin@example.test"},
    {"csoe", "0", "soe", "0"},
    {"eswf", "/usr/share/sounds/error.wav", "swf", "/usr/share/sounds/error.wav"},
    {"cre", "1", "fre", "1"},
    {"erint", "20", "fin", "20"},
    {"erretr", "7", "fti", "7"},
    {"esmtptimeout", "9", "tsm", "9"},
    {"eftptimeout", "11", "tft", "11"},
    {"cms", "0", "cms", "0"},
    {"cie", "1", "cie", "1"},
    {"cpsettings", "1", "sps", "1"},
    {"cpscheduler", "1", "sph", "1"},
    {"cpall", "1", "spa", "1"},
    {"cpmanipulate", "1", "spm", "1"},
    {"cpexit", "1", "spe", "1"},
    {"eski", "0", "ske", "0"},
};

// The skin's controls and the keys of "yux.ocs".
const Row kSkinRows[] = {
    {"emw", "/skins/main.bmp", "MW_Image", "/skins/main.bmp"},
    {"tmw", "2", "MW_Type", "2"},
    {"etb", "102030", "MW_TableBackground", "102030"},
    {"etf", "405060", "MW_TableColor", "405060"},
    {"elb", "708090", "MW_LogNormalBackground", "708090"},
    {"elf", "a0b0c0", "MW_LogNormalColor", "a0b0c0"},
    {"elb1", "#d0e0f0", "MW_LogErrorBackground", "#d0e0f0"},
    {"elf1", "010203", "MW_LogErrorColor", "010203"},
    {"esw", "/skins/schedule.bmp", "SW_Image", "/skins/schedule.bmp"},
    {"tsw", "1", "SW_Type", "1"},
    {"etb1", "0a0b0c", "SW_TableBackground", "0a0b0c"},
    {"etf1", "0d0e0f", "SW_TableColor", "0d0e0f"},
    {"epw", "/skins/preset.bmp", "PW_Image", "/skins/preset.bmp"},
    {"tpw", "2", "PW_Type", "2"},
    {"etb3", "111111", "LW_FileListBackground", "111111"},
    {"etf3", "222222", "LW_FileListColor", "222222"},
};

QWidget* Control(QWidget& form, const char* name) {
  auto* w = form.findChild<QWidget*>(name);
  EXPECT_NE(w, nullptr) << name;
  return w;
}

int CheckedRadio(QButtonGroup* group) { return group->checkedId(); }

// Types the text into a number box as keys, after selecting what it shows.
void TypeInto(QSpinBox* spin, const QString& text) {
  spin->setFocus();
  spin->selectAll();
  for (QChar c : text) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_0 + (c.unicode() - '0'), Qt::NoModifier, QString(c));
    QApplication::sendEvent(spin, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_0 + (c.unicode() - '0'), Qt::NoModifier, QString(c));
    QApplication::sendEvent(spin, &release);
  }
}

// Counts the activations of the window it watches.
struct ActivationCounter : QObject {
  int count = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::WindowActivate) ++count;
    return false;
  }
};

// Makes the window the active one and waits until it is.
void Activate(QWidget* window) {
  window->activateWindow();
  QElapsedTimer clock;
  clock.start();
  while (QApplication::activeWindow() != window && clock.elapsed() < 20000)
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_EQ(QApplication::activeWindow(), window);
}

}  // namespace

TEST_F(SettingsDialogTest, EveryOptionAndSkinValueIsSavedAndShownAgain) {
  WritePhoneBook("[Home]\nNumber=1\nAnswers=connect\n[Office]\nNumber=2\nAnswers=connect\n");
  WriteLanguage("Deutsch.lng", "Fertig.");
  Skin.ListImage = "/skins/list.bmp";  // not shown: kept
  Skin.ListType = 1;
  hooks.entry = "admin pw";
  {
    auto form = Open();
    for (const Row& r : kRows) SetControl(Control(*form, r.control), r.value);
    for (const Row& r : kSkinRows) SetControl(Control(*form, r.control), r.value);
    form->startupItems->button(2)->click();
    form->obtItems->button(1)->click();
    form->egpassClick();
    EXPECT_EQ(hooks.lastCaption, "Enter new password");
    ASSERT_TRUE(form->okbutClick());
    EXPECT_EQ(form->result(), QDialog::Accepted);
  }

  const auto stored = ReadOptionsFile(OptionsFile());
  for (const Row& r : kRows) {
    SCOPED_TRACE(r.control);
    ASSERT_TRUE(stored.count(r.key)) << r.key;
    EXPECT_EQ(stored.at(r.key), r.fileValue);
  }
  EXPECT_EQ(stored.at("sta"), "2");
  EXPECT_EQ(stored.at("obt"), "1");
  EXPECT_EQ(stored.at("sgp"), "admin pw");
  EXPECT_EQ(stored.at("son"), "1");  // an option the dialog does not show stays
  const auto skin = ReadSkinFile(settings / "yux.ocs");
  for (const Row& r : kSkinRows) {
    SCOPED_TRACE(r.control);
    ASSERT_TRUE(skin.count(r.key)) << r.key;
    EXPECT_EQ(skin.at(r.key), r.fileValue);
  }
  EXPECT_EQ(skin.at("LW_Image"), "/skins/list.bmp");
  EXPECT_EQ(skin.at("LW_Type"), "1");

  // The new language took effect at once.
  EXPECT_EQ(MessageText("doneword"), "Fertig.");
  EXPECT_TRUE(Texts().empty()) << Texts().front();

  // Reopened, every control shows what was stored.
  topt reloaded;
  LoadOptions(reloaded);
  Options = reloaded;
  auto form = Open();
  for (const Row& r : kRows) {
    SCOPED_TRACE(r.control);
    EXPECT_EQ(ControlValue(Control(*form, r.control)), r.again ? r.again : r.value);
  }
  for (const Row& r : kSkinRows) {
    SCOPED_TRACE(r.control);
    EXPECT_EQ(ControlValue(Control(*form, r.control)), r.value);
  }
  EXPECT_EQ(CheckedRadio(form->startupItems), 2);
  EXPECT_EQ(CheckedRadio(form->obtItems), 1);
  EXPECT_EQ(form->egpass->text().toStdString(), "admin pw");
  // The language file's FORMS section named this dialog's OK button.
  EXPECT_EQ(form->okbut->text().toStdString(), "O&K Deutsch.lng");
}

TEST_F(SettingsDialogTest, EditsSurviveAFolderPickerAndAColourDialog) {
  Options.lsz = 1000;
  auto form = std::make_unique<TForm4>(nullptr);
  ActivationCounter activations;
  form->installEventFilter(&activations);
  // The folder picker is a window of its own that takes the activation
  // and gives it back, as the desktop does.
  form->PickFolder = [](QWidget* owner) {
    QDialog picker(owner);
    picker.setWindowTitle("Please specify a folder");
    QTimer::singleShot(50, &picker, [&picker] {
      Activate(&picker);
      picker.accept();
    });
    picker.exec();
    return std::string("/picked/temp");
  };
  bool checked = false;
  WhenShown<TForm4>([&](TForm4* f) {
    Activate(f);
    f->logsize->setValue(777);
    f->ehttplogin->setText("edited");
    const int before = activations.count;
    f->bselecttemp->click();
    Activate(f);
    // The real colour dialog, answered with pure red.
    WhenShown<QColorDialog>([](QColorDialog* d) {
      Activate(d);
      d->setCurrentColor(QColor(255, 0, 0));
      d->accept();
    });
    f->findChild<QToolButton*>("betb")->click();
    Activate(f);
    EXPECT_GE(activations.count, before + 2);  // it did become active again
    EXPECT_EQ(f->logsize->value(), 777);
    EXPECT_EQ(f->ehttplogin->text().toStdString(), "edited");
    EXPECT_EQ(f->etempfolder->text().toStdString(), "/picked/temp");
    EXPECT_EQ(f->etb->text().toStdString(), "ff0000");
    checked = true;
    f->okbutClick();
  });
  EXPECT_EQ(form->exec(), QDialog::Accepted);
  ASSERT_TRUE(checked);
  const auto stored = ReadOptionsFile(OptionsFile());
  EXPECT_EQ(stored.at("lsz"), "777");
  EXPECT_EQ(stored.at("rlo"), "edited");
  EXPECT_EQ(stored.at("pte"), "/picked/temp");
  EXPECT_EQ(ReadSkinFile(settings / "yux.ocs").at("MW_TableBackground"), "ff0000");
}

TEST_F(SettingsDialogTest, ABadColourChangesNothingAndShowsItsField) {
  Options.lsz = 1000;
  Skin.MainTableBackground = "112233";
  ASSERT_TRUE(SaveOptions(Options));
  const std::string before = ReadFile(OptionsFile());
  const topt optionsBefore = Options;
  const tskin skinBefore = Skin;

  auto form = Open();
  form->PageControl1->setCurrentIndex(kSettingsGeneral);
  form->logsize->setValue(42);
  form->etb->setText("#ff00aa");  // a leading "#" is fine
  form->elb1->setText("12zz56");
  EXPECT_FALSE(form->okbutClick());

  ASSERT_EQ(Texts().size(), 1u);
  EXPECT_NE(Texts()[0].find("12zz56"), std::string::npos) << Texts()[0];
  EXPECT_NE(Texts()[0].find("Main window - Log error bg color:"), std::string::npos) << Texts()[0];
  EXPECT_EQ(form->PageControl1->currentIndex(), kSettingsAppearance);
  EXPECT_EQ(form->focusWidget(), form->elb1);
  EXPECT_EQ(ReadFile(OptionsFile()), before);
  EXPECT_FALSE(std::filesystem::exists(settings / "yux.ocs"));
  EXPECT_EQ(Options, optionsBefore);
  EXPECT_EQ(Skin, skinBefore);
  EXPECT_TRUE(form->isVisible());

  // Mended, the same OK goes through.
  form->elb1->setText("123456");
  EXPECT_TRUE(form->okbutClick());
  EXPECT_EQ(ReadOptionsFile(OptionsFile()).at("lsz"), "42");
}

TEST_F(SettingsDialogTest, ErrorReportingNeedsServerSenderAndRecipient) {
  struct Case {
    bool report;
    const char* server;
    const char* from;
    const char* to;
    bool accepted;
  };
  const Case cases[] = {
      {true, "", "a@example.test", "b@example.test", false},
      {true, "smtp.example.test", "", "b@example.test", false},
      {true, "smtp.example.test", "a@example.test", "", false},
      {true, "smtp.example.test", "a@example.test", "b@example.test", true},
      {false, "", "", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.server) + "|" + c.from + "|" + c.to);
    std::filesystem::remove(OptionsFile());
    const std::size_t asked = boxes->Asked().size();
    auto form = Open();
    form->cer->setChecked(c.report);
    form->esserver->setText(c.server);
    form->esfrom->setText(c.from);
    form->esto->setText(c.to);
    EXPECT_EQ(form->okbutClick(), c.accepted);
    EXPECT_EQ(std::filesystem::exists(OptionsFile()), c.accepted);
    if (!c.accepted) {
      ASSERT_EQ(boxes->Asked().size(), asked + 1);
      EXPECT_EQ(boxes->Asked().back().text,
                "\rPlease specify SMTP server, FROM and TO emails for error reporting.");
      EXPECT_EQ(form->PageControl1->currentIndex(), kSettingsErrors);
    }
  }
}

TEST_F(SettingsDialogTest, NumberLimits) {
  // The preset list height is brought into 40..1200 when kept.
  for (const auto& [typed, kept] : {std::pair{20, "40"}, {5000, "1200"}, {40, "40"}, {1200, "1200"}}) {
    SCOPED_TRACE(typed);
    auto form = Open();
    form->epresetlistheight->setValue(typed);
    ASSERT_TRUE(form->okbutClick());
    EXPECT_EQ(ReadOptionsFile(OptionsFile()).at("plh"), kept);
    EXPECT_EQ(Options.plh, std::stoi(kept));
  }

  // A port beyond 65535 cannot be typed: its last digit is refused.
  auto form = Open();
  EXPECT_EQ(form->eport->maximum(), 65535);
  EXPECT_EQ(form->eport->minimum(), 1);
  TypeInto(form->eport, "70000");
  EXPECT_EQ(form->eport->value(), 7000);
  TypeInto(form->eport, "65535");
  EXPECT_EQ(form->eport->value(), 65535);
  TypeInto(form->eport, "70000");
  ASSERT_TRUE(form->okbutClick());
  EXPECT_EQ(ReadOptionsFile(OptionsFile()).at("rap"), "7000");
}

TEST_F(SettingsDialogTest, LanguageChanges) {
  WriteLanguage("Deutsch.lng", "Fertig.");
  WriteLanguage("Dansk.lng", "Faerdig.");
  const std::string restart = "\rYou must restart YUX to apply default language settings.";
  struct Case {
    const char* from;
    const char* to;
    bool restartNote;
    const char* done;  // "doneword" afterwards
  };
  const Case cases[] = {
      {"Deutsch.lng", "English (default).lng", true, "Fertig."},
      {"English (default).lng", "Deutsch.lng", false, "Fertig."},
      {"Deutsch.lng", "Dansk.lng", false, "Faerdig."},
      {"English (default).lng", "English (default).lng", false, "Done."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.from) + " -> " + c.to);
    ResetMessageTexts();
    Options.lng = c.from;
    LoadLanguageStrings(c.from);
    const std::size_t asked = boxes->Asked().size();
    auto form = Open();
    EXPECT_EQ(form->elanguages->currentText().toStdString(), c.from);
    form->elanguages->setCurrentIndex(form->elanguages->findText(c.to));
    ASSERT_TRUE(form->okbutClick());
    EXPECT_EQ(ReadOptionsFile(OptionsFile()).at("lng"), c.to);
    EXPECT_EQ(boxes->Asked().size(), asked + (c.restartNote ? 1 : 0));
    if (c.restartNote) {
      EXPECT_EQ(boxes->Asked().back().text, restart);
    }
    EXPECT_EQ(MessageText("doneword"), c.done);
  }

  // A language whose file has gone is not in the box: OK keeps it.
  Options.lng = "Gone.lng";
  auto form = Open();
  EXPECT_EQ(form->elanguages->currentIndex(), -1);
  EXPECT_EQ(form->elanguages->count(), 3);
  ASSERT_TRUE(form->okbutClick());
  EXPECT_EQ(ReadOptionsFile(OptionsFile()).at("lng"), "Gone.lng");
}

TEST_F(SettingsDialogTest, HelpOpensTheTopicOfTheVisiblePage) {
  const std::pair<const char*, const char*> pages[] = {
      {"General", "settings_-_general_tab.htm"},
      {"Interface", "settings_-_interface_tab.htm"},
      {"YUX-BIN", "settings_-_yux-bin_tab.htm"},
      {"Remote Access", "settings_-_remote_access_tab.htm"},
      {"Dialup", "settings_-_dialup_tab.htm"},
      {"Error management", "settings_-_error_management_tab.htm"},
      {"Security", "settings_-_security_tab.htm"},
      {"Appearance", "settings_-_appearance_tab.htm"},
  };
  auto form = Open();
  std::vector<std::string> shown;
  form->ShowHelp = [&](const std::string& topic) { shown.push_back(topic); };
  for (const auto& [page, topic] : pages) {
    SCOPED_TRACE(page);
    form->ShowPage(page);
    form->helpbut->click();
    QKeyEvent f1(QEvent::KeyPress, Qt::Key_F1, Qt::NoModifier);
    QApplication::sendEvent(form.get(), &f1);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0], topic);
    EXPECT_EQ(shown[1], topic);
    shown.clear();
  }
  form->ShowPage("No such page");
  EXPECT_EQ(form->PageControl1->currentIndex(), kSettingsGeneral);
}
