#include "dialogs/ftpchkform.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryFile>
#include <QVBoxLayout>

#include <exception>
#include <fstream>

#include "core/run/foldercopy.h"
#include "core/run/ftpdelivery.h"
#include "core/services/shellutils.h"
#include "core/services/startup.h"
#include "core/store/folders.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/programlog.h"
#include "dialogs/dialogwidgets.h"
#include "dialogs/presetform.h"
#include "net/protocols/ftpcli.h"
#include "net/protocols/httpcli.h"

namespace yux {

void SetFtpDialogClientDefaults(net::TSslFtpClient& c) {
  c.Timeout = 15;
  c.SetMultiThreaded(false);
  c.Port = "ftp";
  c.ShareMode = net::ftpShareExclusive;
  c.Options = net::TFtpOptions{net::ftpAcceptLF};
  c.ConnectionType = net::ftpDirect;
  c.Language = "EN";
  c.LocalAddr = "0.0.0.0";
  c.SetDataPortRangeStart(0);
  c.SetDataPortRangeEnd(0);
}

TlsLogLine FtpDialogTlsLog(std::function<void(const std::string&)> memo) {
  return [memo = std::move(memo)](const std::string& line) {
    AddLog(line);
    // Error lines say why the session ended; what was remembered at a
    // first contact stays in the program log.
    if (line.find("[!]") != std::string::npos) memo(line);
  };
}

namespace {

std::vector<std::string> ReadLines(const std::string& file) {
  std::vector<std::string> lines;
  std::ifstream in(file, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

bool FtpListingHolds(const std::vector<std::string>& listing, const std::string& location) {
  const auto slash = location.rfind('/');
  const QString name = QString::fromStdString(slash == std::string::npos ? "*" : location.substr(slash + 1));
  for (const std::string& line : listing)
    if (QString::fromStdString(line).compare(name, Qt::CaseInsensitive) == 0) return true;
  return false;
}

Tftpchk::Tftpchk(const tarcopt& preset, QWidget* parent)
    : QDialog(parent),
      ch(std::make_unique<net::TSslFtpClient>()),
      fss_(preset.fss),
      tls_(FtpDialogTlsLog([this](const std::string& line) { Log(line); })) {
  setObjectName("ftpchk");
  setWindowTitle("Checking FTP server");
  setModal(true);
  Label1 = Named(new QLabel("Server and port:", this), "Label1");
  Label2 = Named(new QLabel("Remote folder:", this), "Label2");
  Label3 = Named(new QLabel("User name:", this), "Label3");
  Label4 = Named(new QLabel("Password:", this), "Label4");
  esvr = Named(new QLineEdit(this), "esvr");
  efld = Named(new QLineEdit(this), "efld");
  eusr = Named(new QLineEdit(this), "eusr");
  epwd = Named(new QLineEdit(this), "epwd");
  epwd->setEchoMode(QLineEdit::Password);
  cactive = Named(new QCheckBox("Active mode", this), "cactive");
  elog = Named(new QPlainTextEdit(this), "elog");
  elog->setReadOnly(true);
  getlist = Named(new QPushButton("Get file list", this), "getlist");
  getlist->setDefault(true);

  auto* column = new QVBoxLayout(this);
  auto* grid = new QGridLayout;
  QLabel* labels[] = {Label1, Label2, Label3, Label4};
  QLineEdit* edits[] = {esvr, efld, eusr, epwd};
  for (int i = 0; i < 4; ++i) {
    grid->addWidget(labels[i], i, 0);
    grid->addWidget(edits[i], i, 1);
  }
  column->addLayout(grid);
  column->addWidget(cactive);
  column->addWidget(elog, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(getlist);
  column->addLayout(buttons);
  resize(420, 360);

  SetFtpDialogClientDefaults(*ch);
  // The listing is awaited where it is asked for; no event drives it.
  ch->OnRequestDone = [](net::TCustomFtpCli*, net::TFtpRequest, auto) {};
  connect(getlist, &QPushButton::clicked, this, [this] { getlistClick(); });
  ApplyDialogSkin(this, {}, {esvr, efld, eusr, epwd, elog});
  LoadLanguageForms(this, Options.lng,
                    {ControlKind::TLabel, ControlKind::TCheckBox, ControlKind::TEdit, ControlKind::TButton});
  // The preset's values, after the texts: a language never replaces them.
  esvr->setText(QString::fromStdString(preset.fse));
  efld->setText(QString::fromStdString(preset.ffo));
  eusr->setText(QString::fromStdString(preset.fus));
  epwd->setText(QString::fromStdString(preset.fpa));
  cactive->setChecked(preset.fac);
}

Tftpchk::~Tftpchk() {
  ch->OnRequestDone = nullptr;
  ch->OnSslPeerCheck = nullptr;
  if (ch->IsControlOpen()) ch->Abort();
}

void Tftpchk::Log(const std::string& line) { elog->appendPlainText(QString::fromStdString(line)); }

void Tftpchk::getlistClick() {
  if (busy_) return;
  busy_ = true;
  getlist->setEnabled(false);
  std::string server = esvr->text().toStdString();
  Log(MessageText("ftpconnectingto") + server + ".");
  // A host script names the server the uploads went to.
  if (server.rfind("http://", 0) == 0) {
    net::THttpCli http;
    server = ResolveFtpHostScript(http, server);
    if (server == kFtpHostError) Log(MessageText("couldntgetftphost"));
  }
  // A listing file of its own in the temp folder: the program folder may
  // be read-only, and two windows never share one.
  QTemporaryFile listFile(QString::fromStdString(PathJoin(TempFolder, "ftpdir-XXXXXX.txt")));
  bool ok = server != kFtpHostError && listFile.open();
  if (ok) {
    listFile.close();
    ok = List(server, listFile.fileName().toStdString());
  }
  if (ok) {
    listing_ = ReadLines(listFile.fileName().toStdString());
    elog->clear();
    for (const std::string& line : listing_) Log(line);
  } else {
    Log(MessageText("ftpcantdownload"));
  }
  listFile.remove();
  busy_ = false;
  getlist->setEnabled(true);
  if (ok) accept();
}

bool Tftpchk::List(const std::string& server, const std::string& listFile) {
  net::TSslFtpClient& c = *ch;
  try {
    PrepareFtpClient(c, {SplitFtpHost(server), FtpLoginFor(eusr->text().toStdString(), epwd->text().toStdString()),
                         cactive->isChecked(), fss_},
                     tls_);
  } catch (const std::exception& e) {
    Log(MessageText("ftperror") + e.what());
    return false;
  }
  c.HostDirName = efld->text().toStdString();
  c.LocalFileName = listFile;
  bool ok = c.Connect();
  for (net::TFtpRequest done = net::ftpConnectAsync; ok; done = c.RequestType) {
    try {
      if (!NextFtpLoginStep(c, done, fss_)) break;
    } catch (const std::exception&) {
      ok = false;
      break;
    }
    ok = c.WaitForRequestEnd();
  }
  if (ok && !c.HostDirName.empty()) ok = c.Cwd();
  if (ok) ok = c.Ls();
  if (c.IsControlOpen()) c.Quit();
  c.LocalFileName.clear();
  return ok;
}

void Tftpchk::reject() {
  if (busy_) {
    ch->Abort();
    return;
  }
  QDialog::reject();
}

void Tftpchk::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1) {
    ShowHelpTopic("restoring_backup_files.htm");
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace yux
