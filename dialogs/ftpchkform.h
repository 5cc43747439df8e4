#pragma once
// The FTP check window: lists the folder of the restored preset's FTP
// server, so that the restore window can mark which uploaded archives are
// still there.
#include <QDialog>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/run/tlsidentity.h"
#include "core/store/presets.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace yux {

namespace net {
class TSslFtpClient;
}  // namespace net

// The client settings of both FTP windows: 15 seconds for a blocking
// request, binary, exclusive local files, bare LF accepted, direct
// connection, no data port range.
void SetFtpDialogClientDefaults(net::TSslFtpClient& client);

// Where the TLS server check of both windows speaks: every line goes to
// the program log, and a refusal also to the window's own log (`memo`).
TlsLogLine FtpDialogTlsLog(std::function<void(const std::string&)> memo);

// Whether a name listing holds the file of an FTP history location (the
// text after its last "/", "*" when it has none), in any letter case.
bool FtpListingHolds(const std::vector<std::string>& listing, const std::string& location);

class Tftpchk : public QDialog {
  Q_OBJECT

 public:
  // Server, folder, login, active mode and TLS mode come from `preset`.
  explicit Tftpchk(const tarcopt& preset, QWidget* parent = nullptr);
  ~Tftpchk() override;

  // Logs in as the preset's uploads do, lists the folder into a file of
  // its own in the temp folder and shows the names.  On success the window
  // closes accepted; on failure it stays open for another try.  The
  // listing file is removed in every case.
  void getlistClick();

  // The names of the last successful listing.
  const std::vector<std::string>& Listing() const { return listing_; }
  bool Busy() const { return busy_; }

  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QLabel* Label4 = nullptr;
  QLineEdit* esvr = nullptr;
  QLineEdit* efld = nullptr;
  QLineEdit* eusr = nullptr;
  QLineEdit* epwd = nullptr;
  QCheckBox* cactive = nullptr;
  QPlainTextEdit* elog = nullptr;
  QPushButton* getlist = nullptr;
  std::unique_ptr<net::TSslFtpClient> ch;

  // Esc and closing: while the listing runs they abort it and the window
  // stays; otherwise they close it.
  void reject() override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;

 private:
  bool List(const std::string& server, const std::string& listFile);
  void Log(const std::string& line);

  int fss_ = 0;
  bool busy_ = false;
  std::vector<std::string> listing_;
  TlsServerCheck tls_;
};

}  // namespace yux
