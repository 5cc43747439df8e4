#pragma once
// The FTP download window: fetches one archive that a run uploaded (or all
// volumes of a split one), so that the restore window can restore it like a
// copied one.
#include <QDialog>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/run/tlsidentity.h"
#include "core/run/volumesets.h"
#include "core/store/presets.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QToolButton;

namespace yux {

namespace net {
class TSslFtpClient;
enum TFtpRequest : std::uint8_t;
}  // namespace net

// The parts of an FTP history location (host + ":" + port + "/" [+ folder +
// "/"] + file): the server text before the first "/", the file after the
// last one and the folder between them.
struct FtpLocationParts {
  std::string server;
  std::string folder;
  std::string file;
};
FtpLocationParts SplitFtpLocation(const std::string& location);

// A volume of a split backup: "base.partN.rar" (or ".zip"), N padded with
// zeros to the width of the set's last number, so that every volume of a
// set has the same width.
using SplitVolume = VolumeName;
// A file name (without folder) read as a volume, ".part" and the extension
// in any case; nothing for any other name.
std::optional<SplitVolume> ParseSplitVolume(const std::string& name);
// The name a restore opens for `name`: the first volume of its set, or the
// name itself when it is no volume.
std::string FirstVolumeName(const std::string& name);

class Tftpdl : public QDialog {
  Q_OBJECT

 public:
  // Login, active mode and TLS mode come from `preset`, the server, folder
  // and file from the history row's `location`.
  Tftpdl(const tarcopt& preset, const std::string& location, QWidget* parent = nullptr);
  ~Tftpdl() override;

  // Starts the download: login as the preset's uploads do, CWD, TYPE,
  // SIZE, RETR into a file of its own beside the local file, QUIT.  The
  // window closes accepted once the file arrived whole.  The first volume
  // of a split backup ("name.part1.rar") is followed by volumes 2, 3, ...
  // until the server has no file of the next number.
  void bstartClick();
  // While a download runs it is aborted and the window stays; otherwise
  // the window closes.  Esc and closing the window do the same.
  void bcancelClick() { reject(); }
  void reject() override;

  // The local file: the local folder and the remote file's name.
  std::string LocalFile() const;
  bool Downloaded() const { return downloaded_; }
  // Where the last download went (the local file when it started).
  const std::string& DownloadedFile() const { return target_; }
  bool Busy() const { return busy_; }
  // The remote file's size from SIZE; 0 when unknown.
  std::int64_t RemoteSize() const { return size_; }

  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* Label4 = nullptr;
  QLabel* Label5 = nullptr;
  QLabel* Label6 = nullptr;
  QLabel* Label7 = nullptr;
  QLineEdit* esvr = nullptr;
  QLineEdit* efld = nullptr;
  QLineEdit* eusr = nullptr;
  QLineEdit* epwd = nullptr;
  QLineEdit* efile = nullptr;
  QLineEdit* elf = nullptr;
  QToolButton* SpeedButton1 = nullptr;  // picks the local folder
  QLabel* localname = nullptr;
  QCheckBox* cactive = nullptr;
  QProgressBar* progr = nullptr;
  QPlainTextEdit* elog = nullptr;
  QPushButton* bstart = nullptr;
  QPushButton* bcancel = nullptr;
  QPushButton* bhelp = nullptr;
  std::unique_ptr<net::TSslFtpClient> dl;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void dlRequestDone(net::TFtpRequest rq, int error);
  void dlProgress64(std::int64_t count);
  void AfterLogin();
  void TransferEnded(int error);
  bool OpenPartFile(const std::string& name);
  // SIZE and RETR of the client's host file, with a log line.
  void RequestFile();
  // Asks for the set's next volume; false when there is none to ask for,
  // or its local file cannot be made (then `complete_` is false).
  bool RequestNextVolume();
  bool Refused(int error) const;
  void Failed();
  void SendQuit();
  void QuitStep();
  std::string ErrorText() const;
  void SetBusy(bool busy);
  void UpdateLocalName();
  void DropPartFile();
  void Log(const std::string& line);

  int fss_ = 0;
  bool busy_ = false;
  bool aborted_ = false;     // the user cancelled the running download
  bool complete_ = false;    // the last transfer arrived whole
  bool downloaded_ = false;
  std::int64_t size_ = 0;    // 0: unknown
  std::string lastError_;
  std::string target_;       // the first file: what the restore opens
  std::string volumeTarget_; // where the running transfer's file goes
  std::string partFile_;     // where the transfer writes until it is whole
  std::string folder_;       // the local folder, as it was at the start
  std::string remoteFolder_; // what the remote file names before its own name
  // The set being downloaded, with the number of its running volume.
  std::optional<SplitVolume> set_;
  TlsServerCheck tls_;
};

}  // namespace yux
