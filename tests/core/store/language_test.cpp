#include "core/store/language.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QToolButton>
#include <QWidget>

#include "core/store/folders.h"
#include "core/store/loghook.h"
#include "core/store/msgtable.h"
#include "tests/support/testsupport.h"

using namespace yux;

namespace {

// A label class of its own: a descendant, not the translated class itself.
class FancyLabel : public QLabel {
  Q_OBJECT
 public:
  using QLabel::QLabel;
};

class Language : public ::testing::Test {
 protected:
  void SetUp() override {
    savedFolder = ProgramFolder;
    ProgramFolder = dir.str();
    ResetLanguageReports();
    SetLogHook([this](const std::string& t) { reports.push_back(t); });
  }
  void TearDown() override {
    SetLogHook(nullptr);
    ResetMessageTexts();
    ResetLanguageReports();
    ProgramFolder = savedFolder;
  }
  void Write(const std::string& name, const std::string& text) { test::WriteFile(dir / name, text); }

  test::TempDir dir;
  std::string savedFolder;
  std::vector<std::string> reports;
};

TEST(StripQuotes, OnePairOfEnclosingQuotes) {
  const std::pair<const char*, const char*> cases[] = {
      {"'Done.'", "Done."}, {"\"Done.\"", "Done."}, {"'Done.", "'Done."}, {"Done.'", "Done.'"},
      {"'x\"", "'x\""},     {"\"'x'\"", "'x'"},     {"'", ""},            {"\"", ""},
      {"''", ""},           {"", ""},               {"a 'b' c", "a 'b' c"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(StripQuotes(in), out) << in;
}

TEST_F(Language, StringsReplaceKnownKeysOnly) {
  Write("Deutsch.lng",
        "[INFO]\r\nlanguage=Deutsch\r\n"
        "[Strings]\r\n"
        "doneword='Fertig.'\r\n"
        "DOW1 = Sonntag \r\n"
        "dow2=\"Montag\"\r\n"
        "aborted='Abgebrochen.\r\n"          // a quote only at the start stays
        "abortedd=misspelt key\r\n"
        "yuxisactive=\r\n"                   // present but empty replaces the text
        "winrardonefiles=WinRAR fertig (%d Dateien, %s).\r\n");
  SetMessageText("dow4", "'quoted'");  // a key the file lacks keeps its text exactly
  LoadLanguageStrings("Deutsch.lng");
  EXPECT_EQ(MessageText("doneword"), "Fertig.");
  EXPECT_EQ(MessageText("dow1"), "Sonntag");
  EXPECT_EQ(MessageText("dow2"), "Montag");
  EXPECT_EQ(MessageText("aborted"), "'Abgebrochen.");
  EXPECT_EQ(MessageText("yuxisactive"), "");
  EXPECT_EQ(Format("winrardonefiles", 3, "2M"), "WinRAR fertig (3 Dateien, 2M).");
  // Keys not in the file keep their English text.
  EXPECT_EQ(MessageText("dow3"), "Tuesday");
  EXPECT_EQ(MessageText("dow4"), "'quoted'");
  EXPECT_EQ(MessageText("yuxhaltsword"), "YUX halts.");
  EXPECT_TRUE(reports.empty());
}

TEST_F(Language, MissingOrEmptyFileKeepsTextsAndIsReportedOnce) {
  SetMessageText("doneword", "Fertig.");  // texts of an earlier language stay too
  QWidget form;
  form.setObjectName("Form1");
  form.setWindowTitle("YUX for WinRAR");
  new QLabel("Label", &form);
  LoadLanguageForms(&form, "Missing.lng", kMainWindowKinds);
  LoadLanguageStrings("Missing.lng");
  LoadLanguageStrings("Missing.lng");
  EXPECT_EQ(MessageText("doneword"), "Fertig.");
  EXPECT_EQ(form.windowTitle(), "YUX for WinRAR");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("Missing.lng"), std::string::npos);

  Write("Empty.lng", "");
  LoadLanguageStrings("Empty.lng");
  LoadLanguageStrings("Empty.lng");
  EXPECT_EQ(reports.size(), 2u);
  EXPECT_EQ(MessageText("doneword"), "Fertig.");
}

TEST_F(Language, DefaultLanguageReadsNoFile) {
  Write(std::string(kDefaultLanguage), "[STRINGS]\r\ndoneword=Never read\r\n[FORMS]\r\nForm1=Never\r\n");
  LoadLanguageStrings(std::string(kDefaultLanguage));
  QWidget form;
  form.setObjectName("Form1");
  form.setWindowTitle("YUX for WinRAR");
  new QLabel("Label", &form);
  LoadLanguageForms(&form, std::string(kDefaultLanguage), kMainWindowKinds);
  EXPECT_EQ(MessageText("doneword"), "Done.");
  EXPECT_EQ(form.windowTitle(), "YUX for WinRAR");
  EXPECT_TRUE(reports.empty());
}

TEST_F(Language, EightBitWindows1252File) {
  Write("Francais.lng", "[STRINGS]\r\ndoneword='Termin\xe9.'\r\ndow1=Dimanche \x96 repos\r\n");
  LoadLanguageStrings("Francais.lng");
  EXPECT_EQ(MessageText("doneword"), "Termin\xc3\xa9.");
  EXPECT_EQ(MessageText("dow1"), "Dimanche \xe2\x80\x93 repos");
}

TEST_F(Language, FormsTranslateOnlyTheWindowsKinds) {
  Write("Deutsch.lng",
        "[FORMS]\r\n"
        "Form5=Zeitplan\r\n"
        "Form5Label1=Zeit\r\n"
        "Form5bAdd=Hinzuf\xc3\xbcgen\r\n"
        "Form5ehours=99\r\n"            // an edit box: not translated by this window
        "Form5bPlain=Nein\r\n"          // a plain button: neither
        "Form5Fancy=Nein\r\n"           // a descendant class does not count
        "Form5schColumn1=Datum\r\n"
        "Label1=without the window name\r\n");
  QWidget form;
  form.setObjectName("Form5");
  form.setWindowTitle("YUX - Schedule");
  auto* label = new QLabel("Time", &form);
  label->setObjectName("Label1");
  auto* add = new QPushButton("Add", &form);
  add->setObjectName("bAdd");
  add->setProperty("yuxClass", "TBitBtn");
  auto* hours = new QLineEdit("1", &form);
  hours->setObjectName("ehours");
  auto* plain = new QPushButton("Plain", &form);
  plain->setObjectName("bPlain");
  auto* fancy = new FancyLabel("Fancy", &form);
  fancy->setObjectName("Fancy");
  std::string column = "Date and time";
  std::string other = "Options";

  LoadLanguageForms(&form, "Deutsch.lng", kScheduleWindowKinds,
                    {{"Form5schColumn1", [&] { return column; }, [&](const std::string& t) { column = t; }},
                     {"Form5schColumn3", [&] { return other; }, [&](const std::string& t) { other = t; }}});
  EXPECT_EQ(form.windowTitle(), "Zeitplan");
  EXPECT_EQ(label->text(), "Zeit");
  EXPECT_EQ(add->text(), QString::fromUtf8("Hinzuf\xc3\xbcgen"));
  EXPECT_EQ(hours->text(), "1");
  EXPECT_EQ(plain->text(), "Plain");
  EXPECT_EQ(fancy->text(), "Fancy");
  EXPECT_EQ(column, "Datum");
  EXPECT_EQ(other, "Options");
}

TEST_F(Language, MainWindowMenusEditsAndHints) {
  Write("Deutsch.lng",
        "[FORMS]\r\n"
        "Form1NewPreset=&Neu\r\n"
        "Form1eSearch=Suche\r\n"
        "Form1tbRun=Ausf\xc3\xbchren\r\n"
        "Form1bOk=OK!\r\n");
  QWidget form;
  form.setObjectName("Form1");
  auto* menu = new QMenu(&form);
  QAction* item = menu->addAction("&New");
  item->setObjectName("NewPreset");
  auto* edit = new QLineEdit("search", &form);
  edit->setObjectName("eSearch");
  auto* tool = new QToolButton(&form);
  tool->setObjectName("tbRun");
  tool->setText("Run");
  tool->setToolTip("Run selected preset");
  tool->setProperty("yuxClass", "TToolButton");
  auto* ok = new QPushButton("OK", &form);
  ok->setObjectName("bOk");
  ok->setProperty("yuxClass", "TBitBtn");  // the main window does not translate these

  LoadLanguageForms(&form, "Deutsch.lng", kMainWindowKinds);
  EXPECT_EQ(item->text(), "&Neu");
  EXPECT_EQ(edit->text(), "Suche");
  EXPECT_EQ(tool->toolTip(), QString::fromUtf8("Ausf\xc3\xbchren"));
  EXPECT_EQ(tool->text(), "Run");
  EXPECT_EQ(ok->text(), "OK");
}

}  // namespace

#include "language_test.moc"
