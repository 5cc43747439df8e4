// The password dialog in its two modes, its language texts, and the answer
// it gives where no window can be shown.
#include "dialogs/passwordform.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <gtest/gtest.h>

#include <memory>

#include "core/services/dialoghooks.h"
#include "core/store/folders.h"
#include "core/store/language.h"
#include "core/store/options.h"
#include "dialogs/dialoghooksimpl.h"
#include "platform/messagebox.h"
#include "tests/support/testsupport.h"

using namespace yux;

namespace {

class Password : public ::testing::Test {
 protected:
  void SetUp() override {
    boxes = std::make_shared<platform::ScriptedMessageBoxService>();
    platform::SetMessageBoxService(boxes);
    PasswordConfirmMode = false;
    PasswordText.clear();
    PasswordAccepted = false;
    Options = topt{};
  }
  void TearDown() override {
    platform::SetMessageBoxService(nullptr);
    PasswordConfirmMode = false;
    PasswordText.clear();
    PasswordAccepted = false;
    Options = topt{};
    ResetLanguageReports();
  }
  std::shared_ptr<platform::ScriptedMessageBoxService> boxes;
};

}  // namespace

TEST_F(Password, AskingOnceTakesTheEntry) {
  PasswordText = "left over";
  TForm7 form;
  EXPECT_EQ(form.windowTitle().toStdString(), "YUX - Password");
  EXPECT_FALSE(form.Edit2->isEnabled());
  EXPECT_FALSE(form.Label2->isEnabled());
  EXPECT_EQ(form.Edit1->echoMode(), QLineEdit::Password);
  EXPECT_EQ(form.Edit1->text().toStdString(), "");
  form.Edit1->setText("Secret 1");
  form.BitBtn1->click();
  EXPECT_TRUE(PasswordAccepted);
  EXPECT_EQ(PasswordText, "Secret 1");
  EXPECT_EQ(form.result(), QDialog::Accepted);
}

TEST_F(Password, ConfirmModeNeedsTwoEqualEntries) {
  PasswordConfirmMode = true;
  PasswordText = "old";
  TForm7 form;
  EXPECT_TRUE(form.Edit2->isEnabled());
  EXPECT_EQ(form.Edit1->text().toStdString(), "old");
  EXPECT_EQ(form.Edit2->text().toStdString(), "old");

  form.Edit1->setText("new");
  form.Edit2->setText("New");
  form.BitBtn1->click();
  EXPECT_FALSE(PasswordAccepted);
  EXPECT_EQ(PasswordText, "old");
  ASSERT_EQ(boxes->Asked().size(), 1u);
  EXPECT_EQ(boxes->Asked()[0].text, "\rPasswords are different.");
  EXPECT_EQ(boxes->Asked()[0].Icon(), platform::MB_ICONERROR);

  form.Edit2->setText("new");
  form.BitBtn1->click();
  EXPECT_TRUE(PasswordAccepted);
  EXPECT_EQ(PasswordText, "new");
}

TEST_F(Password, EscapeCancels) {
  TForm7 form;
  form.show();
  form.Edit1->setText("typed");
  form.reject();  // what Esc does
  EXPECT_FALSE(PasswordAccepted);
  EXPECT_EQ(form.result(), QDialog::Rejected);
}

TEST_F(Password, LanguageFileTranslatesLabelsAndButtonOnly) {
  test::TempDir program;
  const std::string saved = ProgramFolder;
  ProgramFolder = program.str();
  test::WriteFile(program / "Test.lng",
                  "[FORMS]\r\nForm7=Kennwort\r\nForm7Label1=Kennwort:\r\nForm7BitBtn1=Gut\r\nForm7Edit1=visible!\r\n");
  Options.lng = "Test.lng";
  TForm7 form;
  EXPECT_EQ(form.windowTitle().toStdString(), "Kennwort");
  EXPECT_EQ(form.Label1->text().toStdString(), "Kennwort:");
  EXPECT_EQ(form.BitBtn1->text().toStdString(), "Gut");
  EXPECT_EQ(form.Edit1->text().toStdString(), "");
  ProgramFolder = saved;
}

TEST_F(Password, WithoutADisplayTheDialogAnswersOk) {
  ASSERT_TRUE(platform::IsHeadless());
  WidgetDialogHooks hooks;
  SetDialogHooks(&hooks);
  PasswordText = "stale";
  Options.sgp = "";
  EXPECT_TRUE(CheckAdminPassword("Enter admin password"));
  EXPECT_TRUE(PasswordAccepted);
  EXPECT_EQ(PasswordText, "");

  Options.sgp = "secret";
  EXPECT_FALSE(CheckAdminPassword("Enter admin password"));
  ASSERT_EQ(boxes->Asked().size(), 1u);
  EXPECT_EQ(boxes->Asked()[0].text, "\rIncorrect password.");
  SetDialogHooks(nullptr);
}
