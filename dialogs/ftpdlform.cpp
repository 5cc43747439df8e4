#include "dialogs/ftpdlform.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryFile>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <exception>
#include <filesystem>

#include "core/run/ftpdelivery.h"
#include "core/services/shellutils.h"
#include "core/services/startup.h"
#include "core/store/folders.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "dialogs/dialogwidgets.h"
#include "dialogs/ftpchkform.h"
#include "dialogs/presetform.h"
#include "net/protocols/ftpcli.h"
#include "net/protocols/ftpreply.h"

namespace fs = std::filesystem;

namespace yux {

namespace {

constexpr const char* kHelpTopic = "restoring_backup_files.htm";

// The name a remote file gets locally: its last path component; nothing
// for a name that would leave the local folder.
std::string LocalName(const std::string& remote) {
  const std::string name = fs::path(remote).filename().string();
  if (name == "." || name == "..") return {};
  return name;
}

}  // namespace

std::optional<SplitVolume> ParseSplitVolume(const std::string& name) {
  auto v = ParseVolumeName(name, true);
  const QString ext = v ? QString::fromStdString(v->ext) : QString();
  if (ext.compare(".rar", Qt::CaseInsensitive) != 0 && ext.compare(".zip", Qt::CaseInsensitive) != 0)
    return std::nullopt;
  return v;
}

std::string FirstVolumeName(const std::string& name) {
  const auto volume = ParseSplitVolume(name);
  return volume ? volume->Name(1) : name;
}

FtpLocationParts SplitFtpLocation(const std::string& location) {
  const auto first = location.find('/');
  if (first == std::string::npos) return {location, "", ""};
  const auto last = location.rfind('/');
  FtpLocationParts parts;
  parts.server = location.substr(0, first);
  parts.file = location.substr(last + 1);
  if (last > first) parts.folder = location.substr(first + 1, last - first - 1);
  return parts;
}

Tftpdl::Tftpdl(const tarcopt& preset, const std::string& location, QWidget* parent)
    : QDialog(parent),
      dl(std::make_unique<net::TSslFtpClient>()),
      fss_(preset.fss),
      tls_(FtpDialogTlsLog([this](const std::string& line) { Log(line); })) {
  setObjectName("ftpdl");
  setWindowTitle("Download from FTP server");
  setModal(true);
  const FtpLocationParts parts = SplitFtpLocation(location);
  Label1 = Named(new QLabel("Before you are able to restore your files, YUX has to download the archive from "
                            "the FTP server. Please confirm the following data to start the download process:",
                            this),
                 "Label1");
  Label1->setWordWrap(true);
  Label2 = Named(new QLabel("Server and port:", this), "Label2");
  Label3 = Named(new QLabel("Remote folder:", this), "Label3");
  Label4 = Named(new QLabel("User name:", this), "Label4");
  Label5 = Named(new QLabel("Password:", this), "Label5");
  Label6 = Named(new QLabel("Remote file:", this), "Label6");
  Label7 = Named(new QLabel("Local folder for the downloaded file:", this), "Label7");
  esvr = Named(new QLineEdit(this), "esvr");
  efld = Named(new QLineEdit(this), "efld");
  eusr = Named(new QLineEdit(this), "eusr");
  epwd = Named(new QLineEdit(this), "epwd");
  epwd->setEchoMode(QLineEdit::Password);
  efile = Named(new QLineEdit(this), "efile");
  elf = Named(new QLineEdit(this), "elf");
  SpeedButton1 = Named(new QToolButton(this), "SpeedButton1");
  SpeedButton1->setText("...");
  localname = Named(new QLabel("Local filename", this), "localname");
  cactive = Named(new QCheckBox("Active mode", this), "cactive");
  progr = Named(new QProgressBar(this), "progr");
  progr->setRange(0, 100);
  progr->setValue(0);
  elog = Named(new QPlainTextEdit(this), "elog");
  elog->setReadOnly(true);
  bstart = BitBtn("Start downloading", "bstart", this);
  bstart->setDefault(true);
  bcancel = BitBtn("&Cancel", "bcancel", this);
  bhelp = BitBtn("Help", "bhelp", this);

  auto* column = new QVBoxLayout(this);
  column->addWidget(Label1);
  auto* grid = new QGridLayout;
  QLabel* labels[] = {Label2, Label3, Label4, Label5, Label6, Label7};
  QLineEdit* edits[] = {esvr, efld, eusr, epwd, efile, elf};
  for (int i = 0; i < 6; ++i) {
    grid->addWidget(labels[i], i, 0);
    grid->addWidget(edits[i], i, 1);
  }
  grid->addWidget(SpeedButton1, 5, 2);
  grid->addWidget(localname, 6, 1, 1, 2);
  column->addLayout(grid);
  column->addWidget(cactive);
  column->addWidget(progr);
  column->addWidget(elog, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(bstart);
  buttons->addStretch();
  buttons->addWidget(bhelp);
  buttons->addWidget(bcancel);
  column->addLayout(buttons);
  resize(480, 480);

  SetFtpDialogClientDefaults(*dl);
  dl->OnRequestDone = [this](net::TCustomFtpCli*, net::TFtpRequest rq, auto error) { dlRequestDone(rq, error); };
  dl->OnProgress64 = [this](net::TCustomFtpCli*, std::int64_t count, bool&) { dlProgress64(count); };
  connect(elf, &QLineEdit::textChanged, this, [this] { UpdateLocalName(); });
  connect(efile, &QLineEdit::textChanged, this, [this] { UpdateLocalName(); });
  connect(SpeedButton1, &QToolButton::clicked, this, [this] {
    const std::string folder = BrowseForFolder(this);
    if (!folder.empty()) elf->setText(QString::fromStdString(folder));
  });
  connect(bstart, &QPushButton::clicked, this, [this] { bstartClick(); });
  connect(bcancel, &QPushButton::clicked, this, [this] { bcancelClick(); });
  connect(bhelp, &QPushButton::clicked, this, [] { ShowHelpTopic(kHelpTopic); });
  ApplyDialogSkin(this, {}, {esvr, efld, eusr, epwd, efile, elf, elog});
  LoadLanguageForms(this, Options.lng,
                    {ControlKind::TLabel, ControlKind::TCheckBox, ControlKind::TEdit, ControlKind::TBitBtn});
  // The values, after the texts: a language never replaces them.
  elf->setText(QString::fromStdString(TempFolder));
  esvr->setText(QString::fromStdString(parts.server));
  efld->setText(QString::fromStdString(parts.folder));
  efile->setText(QString::fromStdString(parts.file));
  eusr->setText(QString::fromStdString(preset.fus));
  epwd->setText(QString::fromStdString(preset.fpa));
  cactive->setChecked(preset.fac);
  UpdateLocalName();
}

Tftpdl::~Tftpdl() {
  dl->OnRequestDone = nullptr;
  dl->OnProgress64 = nullptr;
  dl->OnSslPeerCheck = nullptr;
  if (dl->IsControlOpen()) dl->Abort();
  DropPartFile();
}

std::string Tftpdl::LocalFile() const {
  return PathJoin(elf->text().toStdString(), LocalName(efile->text().toStdString()));
}

void Tftpdl::UpdateLocalName() { localname->setText(QString::fromStdString(LocalFile())); }

void Tftpdl::Log(const std::string& line) { elog->appendPlainText(QString::fromStdString(line)); }

void Tftpdl::SetBusy(bool busy) {
  busy_ = busy;
  bstart->setEnabled(!busy);
  SpeedButton1->setEnabled(!busy);
}

void Tftpdl::bstartClick() {
  if (busy_) return;
  const std::string server = esvr->text().toStdString();
  const std::string remote = efile->text().toStdString();
  const std::string name = LocalName(remote);
  folder_ = elf->text().toStdString();
  complete_ = false;
  downloaded_ = false;
  size_ = 0;
  lastError_.clear();
  progr->setValue(0);
  Log(MessageText("ftpconnectingto") + server + ".");
  if (name.empty() || !OpenPartFile(name)) {
    if (name.empty()) lastError_ = "no remote file";
    Log(MessageText("ftperror") + lastError_);
    return;
  }
  target_ = volumeTarget_;
  // A first volume brings the rest of its set along, from the same remote
  // folder into the same local one: the archiver opens a set only whole.
  remoteFolder_ = remote.substr(0, remote.size() - name.size());
  set_ = ParseSplitVolume(name);
  if (set_ && set_->number != 1) set_.reset();
  aborted_ = false;
  SetBusy(true);
  try {
    PrepareFtpClient(*dl, {SplitFtpHost(server), FtpLoginFor(eusr->text().toStdString(), epwd->text().toStdString()),
                           cactive->isChecked(), fss_},
                     tls_);
    dl->HostDirName = efld->text().toStdString();
    dl->HostFileName = remote;
    dl->LocalFileName = partFile_;
    dl->ConnectAsync();
  } catch (const std::exception& e) {
    lastError_ = e.what();
    Log(MessageText("ftperror") + lastError_);
    QuitStep();
  }
}

// The transfer writes into a file of its own beside the local file; only a
// whole file takes the local file's name.
bool Tftpdl::OpenPartFile(const std::string& name) {
  std::error_code ec;
  QTemporaryFile part(QString::fromStdString(PathJoin(folder_, "." + name + ".XXXXXX")));
  part.setAutoRemove(false);
  if (!fs::is_directory(folder_, ec) || !part.open()) {
    lastError_ = "cannot write into " + folder_;
    return false;
  }
  partFile_ = part.fileName().toStdString();
  part.close();
  volumeTarget_ = PathJoin(folder_, name);
  return true;
}

void Tftpdl::RequestFile() {
  Log(MessageText("ftpdownload") + " \"" + dl->HostFileName + "\".");
  dl->SizeAsync();
}

void Tftpdl::dlRequestDone(net::TFtpRequest rq, int error) {
  if (!busy_) return;
  // A request that finished just before an abort ends the download too.
  if (aborted_ && error == 0 && rq != net::ftpQuitAsync) error = 426;
  try {
    switch (rq) {
      case net::ftpConnectAsync:
      case net::ftpPbszAsync:
      case net::ftpProtAsync:
        if (error != 0) return Failed();
        if (!NextFtpLoginStep(*dl, rq, fss_)) AfterLogin();
        break;
      case net::ftpCwdAsync:
        // A missing folder ends here: a file of the same name elsewhere is
        // not the archive the history names.
        if (error != 0) return Failed();
        dl->TypeSetAsync();
        break;
      case net::ftpTypeSetAsync:
        if (error != 0) return Failed();
        RequestFile();
        break;
      case net::ftpSizeAsync:
        // A refused SIZE leaves the size unknown; the download goes on.
        if (error == 0) {
          size_ = std::max<std::int64_t>(0, dl->SizeResult);
        } else if (!dl->IsControlOpen() || aborted_) {
          return Failed();
        }
        dl->GetAsync();
        break;
      case net::ftpGetAsync:
        TransferEnded(error);
        break;
      case net::ftpQuitAsync:
        QuitStep();
        break;
      default:
        Log(MessageText("ftpunknownreq") + std::to_string(int(rq)) + " [!]");
        break;
    }
  } catch (const std::exception& e) {
    lastError_ = e.what();
    Log(MessageText("ftperror") + lastError_);
    SendQuit();
  }
}

void Tftpdl::AfterLogin() {
  const std::string& folder = dl->HostDirName;
  if (folder.empty()) {
    dl->TypeSetAsync();
    return;
  }
  Log(MessageText("ftpchangingfolder") + " \"" + folder + "\".");
  dl->CwdAsync();
}

void Tftpdl::TransferEnded(int error) {
  const std::string name = dl->HostFileName;
  std::error_code ec;
  const auto got = static_cast<std::int64_t>(fs::file_size(partFile_, ec));
  complete_ = error == 0 && (dl->StatusCode == 226 || dl->StatusCode == 250) && !ec &&
              (size_ == 0 || got == size_);
  if (error != 0) {
    lastError_ = ErrorText();
  } else if (!complete_ && size_ != 0 && got != size_) {
    lastError_ = std::to_string(got) + " of " + std::to_string(size_) + " bytes received";
  } else if (!complete_) {
    lastError_ = dl->LastResponse;
  }
  if (complete_) {
    fs::rename(partFile_, volumeTarget_, ec);
    if (ec) {
      complete_ = false;
      lastError_ = ec.message();
    } else {
      partFile_.clear();
    }
  }
  if (complete_) {
    progr->setValue(100);
    Log(MessageText("ftpdownloaded") + " \"" + name + "\".");
    if (set_ && RequestNextVolume()) return;
    downloaded_ = complete_;
  } else {
    DropPartFile();
    Log(MessageText("ftpcantdownload") + " \"" + name + "\".");
    // The first number the server has no file for ends the set.  Whether
    // the volumes before it hold the whole set is the archiver's to say.
    if (set_ && set_->number > 1 && Refused(error)) {
      complete_ = true;
      downloaded_ = true;
      lastError_.clear();
    }
  }
  SendQuit();
}

bool Tftpdl::RequestNextVolume() {
  const std::string name = set_->Name(set_->number + 1);
  // No further number fits the set's width: all of it is here.
  if (name.empty()) return false;
  ++set_->number;
  complete_ = false;
  size_ = 0;
  progr->setValue(0);
  if (!OpenPartFile(name)) {
    Log(MessageText("ftperror") + lastError_);
    return false;
  }
  dl->HostFileName = remoteFolder_ + name;
  dl->LocalFileName = partFile_;
  RequestFile();
  return true;
}

// The server's own "no such file" for RETR, on a connection still open:
// not a local write error (which the client reports with the same code),
// a lost connection or a cancel.
bool Tftpdl::Refused(int error) const {
  return error != 0 && !aborted_ && dl->IsControlOpen() && net::FtpReplyCode(dl->LastResponse).code == 550;
}

std::string Tftpdl::ErrorText() const {
  if (aborted_ && (dl->ErrorMessage.empty() || dl->StatusCode != 426)) return "426 Operation aborted.";
  return dl->ErrorMessage;
}

void Tftpdl::Failed() {
  lastError_ = ErrorText();
  Log(MessageText("ftperror") + lastError_);
  SendQuit();
}

void Tftpdl::SendQuit() {
  if (dl->IsControlOpen() && !aborted_) {
    try {
      dl->QuitAsync();
      return;
    } catch (const std::exception&) {
      dl->Abort();
    }
  }
  QuitStep();
}

void Tftpdl::QuitStep() {
  std::string why = lastError_;
  if (!why.empty() && why.back() == '.') why.pop_back();
  Log(complete_ ? MessageText("ftpdisconnected") : MessageText("ftpdisconnectedwitherror") + why + ".");
  if (!downloaded_) DropPartFile();
  SetBusy(false);
  std::error_code ec;
  if (downloaded_ && fs::is_regular_file(target_, ec)) accept();
}

void Tftpdl::dlProgress64(std::int64_t count) {
  if (size_ <= 0) return;
  progr->setValue(static_cast<int>(std::clamp<std::int64_t>(count * 100 / size_, 0, 100)));
}

void Tftpdl::DropPartFile() {
  if (partFile_.empty()) return;
  std::error_code ec;
  fs::remove(partFile_, ec);
  partFile_.clear();
}

void Tftpdl::reject() {
  if (busy_) {
    aborted_ = true;
    dl->Abort();
    return;
  }
  QDialog::reject();
}

void Tftpdl::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1) {
    ShowHelpTopic(kHelpTopic);
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace yux
