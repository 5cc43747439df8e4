// The preset dialog's controls, their rules and the window's own events.
#include "dialogs/presetform.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWindow>

#include "core/services/dialoghooks.h"
#include "core/services/shellutils.h"
#include "core/services/startup.h"
#include "core/store/language.h"
#include "core/store/msgtable.h"
#include "core/store/options.h"
#include "core/store/skin.h"
#include "core/window/mainform.h"
#include "dialogs/dialogwidgets.h"
#include "platform/messagebox.h"

namespace yux {

std::string EditedPresetName;
bool NewPresetFlag = false;
bool LoadingDefaults = false;
bool NotepadWait = false;

void ApplyDialogSkin(QWidget* dialog, const std::vector<QWidget*>& inputs, const std::vector<QWidget*>& lists) {
  PaintSkinBackground(dialog, SkinPicture::Preset);
  if (SkinKind(Skin, SkinPicture::Preset) == kSkinPlain) return;
  for (QWidget* w : inputs) SetSkinColours(w, Skin.FileListBackground, std::string());
  for (QWidget* w : lists) SetSkinColours(w, Skin.FileListBackground, Skin.FileListColor);
}

namespace {

const char* const kPageCaptions[] = {"General", "Actions", "File lists", "Notes / Comment"};
const char* const kPageHelp[] = {
    "preset_configuration_-_general_tab.htm", "preset_configuration_-_actions_tab.htm",
    "preset_configuration_-_file_lists_tab.htm", "preset_configuration_-_notes.htm"};

QSpinBox* Spin(QWidget* parent, const char* name, int low, int high, int value) {
  auto* spin = Named(new QSpinBox(parent), name);
  spin->setRange(low, high);
  spin->setValue(value);
  return spin;
}

QLineEdit* Edit(QWidget* parent, const char* name, const char* text = "") {
  return Named(new QLineEdit(text, parent), name);
}

// A page's scroll area asks for its content's whole size: a window with room
// shows every page without scroll bars, a small screen scrolls the page.
class PageScrollArea : public QScrollArea {
 public:
  using QScrollArea::QScrollArea;
  QSize sizeHint() const override {
    const int frame = 2 * frameWidth();
    const QWidget* content = widget();
    if (!content) return QScrollArea::sizeHint();
    return content->sizeHint().expandedTo(content->minimumSizeHint()) + QSize(frame, frame);
  }
};

// The widget that carries a page's controls, inside a scroll area that fills
// the page.  The page itself stays the tab's widget.
QWidget* ScrollingContent(QWidget* page) {
  auto* area = Named(new PageScrollArea(page), "pageScroll");
  area->setFrameShape(QFrame::NoFrame);
  area->setWidgetResizable(true);
  // The skin's picture is painted by the window: nothing in between covers it.
  area->viewport()->setAutoFillBackground(false);
  auto* content = new QWidget;
  content->setAutoFillBackground(false);
  area->setWidget(content);
  auto* l = new QVBoxLayout(page);
  l->setContentsMargins(0, 0, 0, 0);
  l->addWidget(area);
  return content;
}

}  // namespace

TForm3::TForm3(disc::TLCDBurnerPro* burner, QWidget* parent) : QDialog(parent), burner_(burner) {
  setObjectName("Form3");
  setWindowTitle("YUX - Preset configuration");
  setModal(true);
  setAcceptDrops(true);

  auto* top = new QVBoxLayout(this);
  PageControl1 = Named(new QTabWidget(this), "PageControl1");
  top->addWidget(PageControl1, 1);
  BuildGeneralPage();
  BuildActionsPage();
  BuildFileListsPage();
  BuildNotesPage();
  BuildButtons();
  ConnectRules();
  std::vector<QWidget*> inputs;
  for (QWidget* w : findChildren<QWidget*>())
    if (qobject_cast<QLineEdit*>(w) || qobject_cast<QComboBox*>(w) || qobject_cast<QSpinBox*>(w)) inputs.push_back(w);
  ApplyDialogSkin(this, inputs, {inc, exc, presnotes, arccomment});
  FormCreate();
}

TForm3::~TForm3() = default;

void TForm3::BuildGeneralPage() {
  TabSheet1 = Named(new QWidget, "TabSheet1");
  PageControl1->addTab(TabSheet1, kPageCaptions[0]);
  QWidget* page = ScrollingContent(TabSheet1);
  auto* grid = new QGridLayout(page);

  auto* gname = Group(page, "GroupBox1", " Preset name ");
  epresetname = Edit(gname, "epresetname");
  (new QVBoxLayout(gname))->addWidget(epresetname);
  auto* garc = Group(page, "GroupBox2", " Archive file name ");
  auto* garcl = new QGridLayout(garc);
  earcname = Edit(garc, "earcname");
  eadddate = Edit(garc, "eadddate", "-YYMMDDHHMMSS");
  garcl->addWidget(earcname, 0, 0, 1, 2);
  garcl->addWidget(Label(garc, "Label1", "Add date/time to name"), 1, 0);
  garcl->addWidget(eadddate, 1, 1);

  auto program = [&](const char* groupName, const char* caption, const char* prefix, QCheckBox*& active,
                     QCheckBox*& sync, QCheckBox*& hidden, QLineEdit*& exe, QToolButton*& pick,
                     QLineEdit*& params, const char* labelName) {
    auto* g = Group(page, groupName, caption);
    auto* l = new QGridLayout(g);
    const std::string p = prefix;
    active = Check(g, ("c" + p + "active").c_str(), "Activate");
    sync = Check(g, ("c" + p + "sync").c_str(), "Sync mode");
    hidden = Check(g, ("c" + p + "hidden").c_str(), "Hidden");
    exe = Edit(g, ("e" + p + "exe").c_str());
    pick = Named(new QToolButton(g), ("b" + p + "exe").c_str());
    pick->setText("...");
    params = Edit(g, ("e" + p + "params").c_str());
    l->addWidget(active, 0, 0);
    l->addWidget(sync, 0, 1);
    l->addWidget(hidden, 0, 2);
    l->addWidget(exe, 1, 0, 1, 2);
    l->addWidget(pick, 1, 2);
    l->addWidget(Label(g, labelName, "Program parameters"), 2, 0);
    l->addWidget(params, 2, 1, 1, 2);
    return g;
  };
  auto* gbefore = program("GroupBox3", " Run external program BEFORE preset ", "before", cbeforeactive, cbeforesync,
                          cbeforehidden, ebeforeexe, bbeforeexe, ebeforeparams, "Label2");
  auto* gafter = program("GroupBox4", " Run external program AFTER preset ", "after", cafteractive, caftersync,
                         cafterhidden, eafterexe, bafterexe, eafterparams, "Label3");

  auto* gquick = Group(page, "GroupBox5", " Quick actions control ");
  auto* ql = new QHBoxLayout(gquick);
  c2copy = Check(gquick, "c2copy", "COPY");
  c2cd = Check(gquick, "c2cd", "CD/DVD");
  c2smtp = Check(gquick, "c2smtp", "SMTP");
  c2ftp = Check(gquick, "c2ftp", "FTP");
  for (QCheckBox* b : {c2copy, c2cd, c2smtp, c2ftp}) ql->addWidget(b);

  auto* gsw = Group(page, "GroupBox6", " WinRAR switches ");
  auto* sl = new QGridLayout(gsw);
  earcformat = List(gsw, "earcformat", {"RAR", "ZIP", "EXE"});
  ecompression = List(gsw, "ecompression", {"Store", "Fastest", "Fast", "Normal", "Good", "Best"});
  edictionary = List(gsw, "edictionary", {"Auto", "64", "128", "256", "512", "1024", "2048", "4096"});
  epaths = List(gsw, "epaths", {"No paths", "Relative paths", "Full paths", "Full paths + drive"});
  epaths->setCurrentIndex(1);
  evolumes = List(gsw, "evolumes", {"None", "Auto", "720f", "1440f"});
  evolumes->setEditable(true);
  evolumes->setInsertPolicy(QComboBox::NoInsert);
  evolumes->setCurrentIndex(1);
  eswitches = Edit(gsw, "eswitches");
  cpass = Check(gsw, "cpass", "Password");
  epass = Edit(gsw, "epass");
  epass->setReadOnly(true);
  epass->setEchoMode(QLineEdit::Password);
  int row = 0;
  auto labelled = [&](const char* name, const char* text, QWidget* w, int col) {
    sl->addWidget(Label(gsw, name, text), row, col);
    sl->addWidget(w, row, col + 1);
  };
  labelled("Label4", "Archive format", earcformat, 0);
  labelled("Label5", "Compression", ecompression, 2);
  ++row;
  labelled("Label6", "Dictionary size (KB)", edictionary, 0);
  labelled("Label7", "Store paths", epaths, 2);
  ++row;
  labelled("Label8", "Create volumes", evolumes, 0);
  labelled("Label9", "Additional switches", eswitches, 2);
  ++row;
  sl->addWidget(cpass, row, 0);
  sl->addWidget(epass, row, 1);
  ++row;
  clock = Check(gsw, "clock", "Lock archive");
  csolid = Check(gsw, "csolid", "Create solid archive", true);
  cbkgnd = Check(gsw, "cbkgnd", "Run WinRAR in background");
  chide = Check(gsw, "chide", "Hide WinRAR at all");
  ctest = Check(gsw, "ctest", "Test files after archiving");
  cdel = Check(gsw, "cdel", "Delete files after archiving");
  cwipe = Check(gsw, "cwipe", "and wipe them");
  cshared = Check(gsw, "cshared", "Open shared files", true);
  crecurse = Check(gsw, "crecurse", "Recurse subfolders", true);
  cerase = Check(gsw, "cerase", "'Insert new CD/floppy disk' dialog box");
  cauth = Check(gsw, "cauth", "Apply authenticity verification");
  cquit = Check(gsw, "cquit", "Quit when finished");
  cquit->setVisible(false);
  cquit->setEnabled(false);
  int k = 0;
  for (QCheckBox* b : {clock, csolid, cbkgnd, chide, ctest, cdel, cwipe, cshared, crecurse, cerase, cauth}) {
    sl->addWidget(b, row + k / 2, (k % 2) * 2, 1, 2);
    ++k;
  }
  row += (k + 1) / 2;
  crecovery = Check(gsw, "crecovery", "Add recovery record (% to the archive size)");
  errsize = Spin(gsw, "errsize", 0, 100, 1);
  sl->addWidget(crecovery, row, 0, 1, 2);
  sl->addWidget(errsize, row, 2);
  ++row;
  cprior = Check(gsw, "cprior", "Set WinRAR priority and sleep time");
  prior_p = Named(new QSlider(Qt::Horizontal, gsw), "prior_p");
  prior_p->setRange(0, 15);
  priorcom = Label(gsw, "priorcom", "Default");
  esleep = Spin(gsw, "esleep", 0, 1000, 0);
  sl->addWidget(cprior, row, 0, 1, 2);
  sl->addWidget(prior_p, row, 2);
  sl->addWidget(priorcom, row, 3);
  ++row;
  sl->addWidget(Label(gsw, "Label10", "Sleep time (ms):"), row, 2);
  sl->addWidget(esleep, row, 3);
  ++row;
  cirp = Check(gsw, "cirp", "Ignore default WinRAR profile - uncheck at your own risk!", true);
  sl->addWidget(cirp, row, 0, 1, 4);

  grid->addWidget(gname, 0, 0);
  grid->addWidget(garc, 1, 0);
  grid->addWidget(gbefore, 2, 0);
  grid->addWidget(gafter, 3, 0);
  grid->addWidget(gquick, 4, 0);
  grid->addWidget(gsw, 0, 1, 5, 1);
}

void TForm3::BuildActionsPage() {
  TabSheet2 = Named(new QWidget, "TabSheet2");
  PageControl1->addTab(TabSheet2, kPageCaptions[1]);
  QWidget* page = ScrollingContent(TabSheet2);
  auto* grid = new QGridLayout(page);

  auto* gcopy = Group(page, "GroupBox7", " COPY ");
  auto* cl = new QGridLayout(gcopy);
  cfolder = Check(gcopy, "cfolder", "Write archives to the folder");
  efoldername = Edit(gcopy, "efoldername");
  bfolder = Named(new QToolButton(gcopy), "bfolder");
  bfolder->setText("...");
  cempty = Check(gcopy, "cempty", "Empty this folder (mask)");
  eemptymask = Edit(gcopy, "eemptymask", "*.*");
  coverwrite = Check(gcopy, "coverwrite", "Overwrite old versions");
  cdirect = Check(gcopy, "cdirect", "DIRECT RARING");
  edirectraringmode = List(gcopy, "edirectraringmode",
                           {"Always create a new archive", "Add and update files", "Fresh existing files only",
                            "Add and update files, synchronize archive contents",
                            "Fresh existing files only, synchronize archive contents"});
  ccopyclnr = Check(gcopy, "ccopyclnr", "Activate auto-cleaner for COPY actions");
  auto* copymodeBox = Group(gcopy, "GroupBox8", " Clean by max number of ");
  copyclnrmode = List(copymodeBox, "copyclnrmode", {"backup copies", "days"});
  (new QVBoxLayout(copymodeBox))->addWidget(copyclnrmode);
  ecopyclnrlimit = Spin(gcopy, "ecopyclnrlimit", 1, 999999999, 1);
  cl->addWidget(cfolder, 0, 0, 1, 3);
  cl->addWidget(efoldername, 1, 0, 1, 2);
  cl->addWidget(bfolder, 1, 2);
  cl->addWidget(cempty, 2, 0);
  cl->addWidget(eemptymask, 2, 1, 1, 2);
  cl->addWidget(coverwrite, 3, 0, 1, 3);
  cl->addWidget(cdirect, 4, 0);
  cl->addWidget(edirectraringmode, 4, 1, 1, 2);
  cl->addWidget(ccopyclnr, 5, 0, 1, 3);
  cl->addWidget(copymodeBox, 6, 0, 1, 2);
  cl->addWidget(ecopyclnrlimit, 6, 2);

  auto* gcd = Group(page, "GroupBox9", " CD/DVD ");
  auto* dl = new QGridLayout(gcd);
  ccdrw = Check(gcd, "ccdrw", "Write to a CD-R/RW or DVD-R/RW");
  QStringList letters;
  for (char c = 'A'; c <= 'Z'; ++c) letters << QString(QChar(c));
  ecdrive = List(gcd, "ecdrive", letters);
  ecdrive->setCurrentIndex(-1);
  ecddrivename = Edit(gcd, "ecddrivename");
  ecddrivename->setReadOnly(true);
  bburnerinfo = Named(new QPushButton("?", gcd), "bburnerinfo");
  bburnerinfo->setEnabled(false);
  ecspeed = Edit(gcd, "ecspeed", "8");
  ecspeed->setVisible(false);
  ecdspeed = List(gcd, "ecdspeed", {"Max"});
  ebufsize = Spin(gcd, "ebufsize", 2, 1024, 16);
  ecerase = Check(gcd, "ecerase", "Always erase the CD-RW before writing");
  ceraseroom = Check(gcd, "ceraseroom", "Erase the CD-RW only when needed");
  cverifycd = Check(gcd, "cverifycd", "Verify files after burning");
  cnevereject = Check(gcd, "cnevereject", "Never eject dics (for notebooks)");
  dl->addWidget(ccdrw, 0, 0, 1, 4);
  dl->addWidget(Label(gcd, "Label11", "Drive"), 1, 0);
  dl->addWidget(ecdrive, 1, 1);
  dl->addWidget(ecddrivename, 1, 2);
  dl->addWidget(bburnerinfo, 1, 3);
  dl->addWidget(Label(gcd, "Label12", "Write speed:"), 2, 0);
  dl->addWidget(ecdspeed, 2, 1);
  dl->addWidget(Label(gcd, "Label13", "Buffer (MB):"), 2, 2);
  dl->addWidget(ebufsize, 2, 3);
  dl->addWidget(ecerase, 3, 0, 1, 4);
  dl->addWidget(ceraseroom, 4, 0, 1, 4);
  dl->addWidget(cverifycd, 5, 0, 1, 4);
  dl->addWidget(cnevereject, 6, 0, 1, 4);

  auto* gftp = Group(page, "GroupBox10", " FTP ");
  auto* fl = new QGridLayout(gftp);
  cftp = Check(gftp, "cftp", "Upload to FTP server");
  efserver = Edit(gftp, "efserver");
  efssl = List(gftp, "efssl", {"No SSL", "AuthTLS", "AuthSSL", "Implicit"});
  effolder = Edit(gftp, "effolder");
  efuser = Edit(gftp, "efuser");
  efpass = Edit(gftp, "efpass");
  efpass->setEchoMode(QLineEdit::Password);
  cfac = Check(gftp, "cfac", "Checked - active mode, unchecked - passive");
  efproxy = Edit(gftp, "efproxy");
  efproxyport = Edit(gftp, "efproxyport");
  efproxy->setVisible(false);
  efproxyport->setVisible(false);
  cftpclnr = Check(gftp, "cftpclnr", "Activate auto-cleaner for FTP actions");
  auto* ftpmodeBox = Group(gftp, "GroupBox11", " Clean by max number of ");
  ftpclnrmode = List(ftpmodeBox, "ftpclnrmode", {"backup copies", "days"});
  (new QVBoxLayout(ftpmodeBox))->addWidget(ftpclnrmode);
  eftpclnrlimit = Spin(gftp, "eftpclnrlimit", 1, 999999999, 1);
  chkftpclnrrunafter = Check(gftp, "chkftpclnrrunafter", "Run FTP cleaner after uploads");
  fl->addWidget(cftp, 0, 0, 1, 4);
  fl->addWidget(Label(gftp, "Label14", "Server"), 1, 0);
  fl->addWidget(efserver, 1, 1);
  fl->addWidget(efssl, 1, 2, 1, 2);
  fl->addWidget(Label(gftp, "Label15", "Folder"), 2, 0);
  fl->addWidget(effolder, 2, 1, 1, 3);
  fl->addWidget(Label(gftp, "Label16", "User"), 3, 0);
  fl->addWidget(efuser, 3, 1);
  fl->addWidget(Label(gftp, "Label17", "Pass"), 3, 2);
  fl->addWidget(efpass, 3, 3);
  fl->addWidget(cfac, 4, 0, 1, 4);
  fl->addWidget(cftpclnr, 5, 0, 1, 4);
  fl->addWidget(ftpmodeBox, 6, 0, 1, 2);
  fl->addWidget(eftpclnrlimit, 6, 2, 1, 2);
  fl->addWidget(chkftpclnrrunafter, 7, 0, 1, 4);

  auto* gsmtp = Group(page, "GroupBox12", " SMTP ");
  auto* ml = new QGridLayout(gsmtp);
  csmtp = Check(gsmtp, "csmtp", "Send as e-mail attach via SMTP server");
  esserver = Edit(gsmtp, "esserver");
  esssl = List(gsmtp, "esssl", {"No SSL", "TLS", "STARTTLS"});
  esuser = Edit(gsmtp, "esuser");
  espass = Edit(gsmtp, "espass");
  espass->setEchoMode(QLineEdit::Password);
  esfrom = Edit(gsmtp, "esfrom");
  esto = Edit(gsmtp, "esto");
  ml->addWidget(csmtp, 0, 0, 1, 4);
  ml->addWidget(Label(gsmtp, "Label18", "Server"), 1, 0);
  ml->addWidget(esserver, 1, 1);
  ml->addWidget(esssl, 1, 2, 1, 2);
  ml->addWidget(Label(gsmtp, "Label19", "User"), 2, 0);
  ml->addWidget(esuser, 2, 1);
  ml->addWidget(Label(gsmtp, "Label20", "Pass"), 2, 2);
  ml->addWidget(espass, 2, 3);
  ml->addWidget(Label(gsmtp, "Label21", "From"), 3, 0);
  ml->addWidget(esfrom, 3, 1);
  ml->addWidget(Label(gsmtp, "Label22", "To"), 3, 2);
  ml->addWidget(esto, 3, 3);

  // Kept below the pages and never shown: they carry the e-mail cleaner
  // and the attribute switch from the file to the file.
  csmtpclnr = Check(this, "csmtpclnr", "");
  smtpclnrmode = List(this, "smtpclnrmode", {"backup copies", "days"});
  esmtpclnrlimit = Spin(this, "esmtpclnrlimit", 1, 999999999, 1);
  efastring = Edit(this, "efastring");
  for (QWidget* w : std::initializer_list<QWidget*>{csmtpclnr, smtpclnrmode, esmtpclnrlimit, efastring})
    w->setVisible(false);

  grid->addWidget(gcopy, 0, 0);
  grid->addWidget(gcd, 1, 0);
  grid->addWidget(gftp, 0, 1);
  grid->addWidget(gsmtp, 1, 1);
}

void TForm3::BuildFileListsPage() {
  TabSheet3 = Named(new QWidget, "TabSheet3");
  PageControl1->addTab(TabSheet3, kPageCaptions[2]);
  QWidget* page = ScrollingContent(TabSheet3);
  auto* grid = new QGridLayout(page);
  auto* ginc = Group(page, "GroupBox13", " Include list ");
  auto* il = new QVBoxLayout(ginc);
  inc = Named(new QListWidget(ginc), "inc");
  conlyfiles = Check(ginc, "conlyfiles", "Add all the files from the dragged folder, but don't save the folder's name",
                     true);
  beditinc = BitBtn("Edit &in NotePad", "beditinc", ginc);
  il->addWidget(inc, 1);
  il->addWidget(conlyfiles);
  il->addWidget(beditinc, 0, Qt::AlignLeft);
  auto* gexc = Group(page, "GroupBox14", " Exclude list ");
  auto* el = new QVBoxLayout(gexc);
  exc = Named(new QListWidget(gexc), "exc");
  beditexc = BitBtn("Edit in Not&ePad", "beditexc", gexc);
  bexcadv = BitBtn("Advanced...", "bexcadv", gexc);
  el->addWidget(exc, 1);
  auto* eb = new QHBoxLayout;
  eb->addWidget(beditexc);
  eb->addWidget(bexcadv);
  eb->addStretch();
  el->addLayout(eb);
  for (QListWidget* l : {inc, exc}) {
    l->setSelectionMode(QAbstractItemView::ExtendedSelection);
    l->installEventFilter(this);
  }
  bexplorer = BitBtn("E&xplorer", "bexplorer", page);
  bbrowser = BitBtn("&Browser", "bbrowser", page);
  auto* bl = new QHBoxLayout;
  bl->addWidget(bexplorer);
  bl->addWidget(bbrowser);
  bl->addStretch();
  grid->addWidget(ginc, 0, 0);
  grid->addWidget(gexc, 0, 1);
  grid->addLayout(bl, 1, 0, 1, 2);
}

void TForm3::BuildNotesPage() {
  TabSheet4 = Named(new QWidget, "TabSheet4");
  PageControl1->addTab(TabSheet4, kPageCaptions[3]);
  QWidget* page = ScrollingContent(TabSheet4);
  auto* l = new QVBoxLayout(page);
  l->addWidget(Label(page, "Label23", "Preset notes (internal use only)."));
  presnotes = Named(new QPlainTextEdit(page), "presnotes");
  l->addWidget(presnotes, 1);
  l->addWidget(Label(page, "Label24", "Archive comment"));
  arccomment = Named(new QPlainTextEdit(page), "arccomment");
  l->addWidget(arccomment, 1);
}

void TForm3::BuildButtons() {
  // Two groups, side by side while the screen is wide enough for both, the
  // answers below the tools where it is not (FitToScreen).
  buttonRows_ = new QBoxLayout(QBoxLayout::LeftToRight);
  auto* tools = new QHBoxLayout;
  auto* answers = new QHBoxLayout;
  BitBtn2 = BitBtn("", "BitBtn2", this);
  BitBtn2->setToolTip("Load default settings");
  BitBtn2->setIcon(style()->standardIcon(QStyle::SP_DialogResetButton));
  BitBtn1 = BitBtn("", "BitBtn1", this);
  BitBtn1->setToolTip("Save these settings as default");
  BitBtn1->setIcon(style()->standardIcon(QStyle::SP_DialogSaveButton));
  selectglyph = BitBtn("", "selectglyph", this);
  selectglyph->setToolTip("Attach an image to the preset");
  selectglyph->setIcon(style()->standardIcon(QStyle::SP_FileDialogContentsView));
  removeglyph = BitBtn("", "removeglyph", this);
  removeglyph->setToolTip("Remove attached image");
  removeglyph->setIcon(style()->standardIcon(QStyle::SP_TrashIcon));
  bupdate = BitBtn("OK", "bupdate", this);
  bupdate->setDefault(true);
  bcancel = BitBtn("Cancel", "bcancel", this);
  bhelp = BitBtn("Help", "bhelp", this);
  for (QPushButton* b : {BitBtn2, BitBtn1, selectglyph, removeglyph}) tools->addWidget(b);
  tools->addStretch();
  answers->addStretch();
  for (QPushButton* b : {bupdate, bcancel, bhelp}) answers->addWidget(b);
  buttonRows_->addLayout(tools);
  buttonRows_->addLayout(answers);
  static_cast<QVBoxLayout*>(layout())->addLayout(buttonRows_);
}

QMargins TForm3::FrameMargins() const {
  QMargins frame = windowHandle() ? windowHandle()->frameMargins() : QMargins();
  // Before the window manager has framed the window its frame is not known:
  // a title bar and thin borders are assumed.
  if (frame.isNull()) {
    const int border = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
    frame = QMargins(border, style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this) + border, border, border);
  }
  return frame;
}

void TForm3::FitToScreen() {
  QScreen* on = screen();
  if (!on) return;
  const QRect area = on->availableGeometry();
  const QMargins frame = FrameMargins();
  const QSize room(area.width() - frame.left() - frame.right(), area.height() - frame.top() - frame.bottom());
  const QMargins margins = layout()->contentsMargins();
  buttonRows_->setDirection(QBoxLayout::LeftToRight);
  layout()->activate();
  const int oneRow = buttonRows_->sizeHint().width() + margins.left() + margins.right();
  buttonRows_->setDirection(oneRow <= room.width() ? QBoxLayout::LeftToRight : QBoxLayout::TopToBottom);
  layout()->activate();
  // The first showing takes the size the pages ask for (rather than the
  // share of the screen a new window gets), a later one the size the user
  // left; either within the screen.
  const QSize wanted = testAttribute(Qt::WA_Resized) ? size() : sizeHint();
  resize(wanted.boundedTo(room).expandedTo(minimumSize()));
}

void TForm3::KeepOnScreen() {
  QScreen* on = screen();
  if (!on) return;
  const QRect area = on->availableGeometry();
  const QMargins frame = FrameMargins();
  const QSize outer = size().grownBy(frame);
  const int x = std::max(area.left(), std::min(pos().x(), area.right() + 1 - outer.width()));
  const int y = std::max(area.top(), std::min(pos().y(), area.bottom() + 1 - outer.height()));
  if (QPoint(x, y) != pos()) move(x, y);
}

void TForm3::showEvent(QShowEvent* event) {
  if (!event->spontaneous()) FitToScreen();
  QDialog::showEvent(event);  // centred on the opener
  if (!event->spontaneous()) KeepOnScreen();
}

void TForm3::ConnectRules() {
  MirrorQuickBoxes(c2copy, cfolder);
  MirrorQuickBoxes(c2cd, ccdrw);
  MirrorQuickBoxes(c2smtp, csmtp);
  MirrorQuickBoxes(c2ftp, cftp);
  connect(earcformat, &QComboBox::currentIndexChanged, this, [this] {
    if (!loading_) ApplyFormatRule();
  });
  connect(cdirect, &QCheckBox::toggled, this, [this] {
    if (!loading_) DirectRaringChanged();
  });
  connect(cprior, &QCheckBox::clicked, this, [this] { getprior(); });
  connect(prior_p, &QSlider::valueChanged, this, [this] { getprior(); });
  connect(ecdrive, &QComboBox::currentIndexChanged, this, [this] {
    if (!loading_) ecdriveChange();
  });
  connect(earcname, &QLineEdit::editingFinished, this, [this] {
    if (eemptymask->text().isEmpty()) eemptymask->setText("*" + earcname->text() + "*.*");
  });
  connect(cpass, &QCheckBox::toggled, this, [this](bool on) {
    if (!loading_ && on && epass->text().isEmpty()) AskPassword();
  });
  epass->installEventFilter(this);
  cirp->installEventFilter(this);
  connect(cdel, &QCheckBox::clicked, this, [this](bool checked) {
    // The click has already checked it: ask before it stays so.
    if (!checked) return;
    const int answer = platform::MessageBox(MessageText("deleteafterwarning"), kApplicationTitle,
                                            platform::MB_YESNO | platform::MB_ICONQUESTION);
    if (answer != platform::IDYES) cdel->setChecked(false);
  });
  auto pickProgram = [this](QLineEdit* target) {
    const QString file = QFileDialog::getOpenFileName(this, "Find executables", target->text(),
                                                      "Executables (*.exe);;All files (*)");
    if (!file.isEmpty()) target->setText(file);
  };
  connect(bbeforeexe, &QToolButton::clicked, this, [this, pickProgram] { pickProgram(ebeforeexe); });
  connect(bafterexe, &QToolButton::clicked, this, [this, pickProgram] { pickProgram(eafterexe); });
  connect(bfolder, &QToolButton::clicked, this, [this] {
    const std::string folder = BrowseForFolder(this);
    if (!folder.empty()) efoldername->setText(QString::fromStdString(folder));
  });

  connect(bupdate, &QPushButton::clicked, this, [this] { bupdateClick(); });
  connect(bcancel, &QPushButton::clicked, this, [this] { reject(); });
  connect(bhelp, &QPushButton::clicked, this, [this] { bhelpClick(); });
  connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
  connect(BitBtn2, &QPushButton::clicked, this, [this] { BitBtn2Click(); });
  connect(selectglyph, &QPushButton::clicked, this, [this] { selectglyphClick(); });
  connect(removeglyph, &QPushButton::clicked, this, [this] { removeglyphClick(); });
  connect(bburnerinfo, &QPushButton::clicked, this, [this] { bburnerinfoClick(); });
  connect(beditinc, &QPushButton::clicked, this, [this] { beditClick(true); });
  connect(beditexc, &QPushButton::clicked, this, [this] { beditClick(false); });
  connect(bexplorer, &QPushButton::clicked, this, [this] { bexplorerClick(); });
  connect(bbrowser, &QPushButton::clicked, this, [this] { bbrowserClick(); });
  connect(bexcadv, &QPushButton::clicked, this, [this] { bexcadvClick(); });
}

void TForm3::MirrorQuickBoxes(QCheckBox* a, QCheckBox* b) {
  connect(a, &QCheckBox::toggled, b, [b](bool on) { b->setChecked(on); });
  connect(b, &QCheckBox::toggled, a, [a](bool on) { a->setChecked(on); });
}

void TForm3::ApplyLanguage() {
  std::vector<NumberedText> numbered;
  auto item = [&](const std::string& key, QComboBox* box, int index) {
    numbered.push_back({key, [box, index] { return box->itemText(index).toStdString(); },
                        [box, index](const std::string& t) { box->setItemText(index, QString::fromStdString(t)); }});
  };
  auto hint = [&](const std::string& key, QWidget* w) {
    numbered.push_back({key, [w] { return w->toolTip().toStdString(); },
                        [w](const std::string& t) { w->setToolTip(QString::fromStdString(t)); }});
  };
  QWidget* sheets[] = {TabSheet1, TabSheet2, TabSheet3, TabSheet4};
  for (int i = 0; i < 4; ++i) {
    QWidget* sheet = sheets[i];
    numbered.push_back({"Form3" + sheet->objectName().toStdString(),
                        [this, i] { return PageControl1->tabText(i).toStdString(); },
                        [this, i](const std::string& t) { PageControl1->setTabText(i, QString::fromStdString(t)); }});
  }
  hint("Form3loaddefaultsettings", BitBtn2);
  hint("Form3savedefaultsettings", BitBtn1);
  hint("Form3selectglyph", selectglyph);
  hint("Form3removeglyph", removeglyph);
  auto* copyGroup = findChild<QGroupBox*>("GroupBox8");
  auto* ftpGroup = findChild<QGroupBox*>("GroupBox11");
  numbered.push_back({"Form3copyclnrmode", [copyGroup] { return copyGroup->title().toStdString(); },
                      [copyGroup](const std::string& t) { copyGroup->setTitle(QString::fromStdString(t)); }});
  numbered.push_back({"Form3ftpclnrmode", [ftpGroup] { return ftpGroup->title().toStdString(); },
                      [ftpGroup](const std::string& t) { ftpGroup->setTitle(QString::fromStdString(t)); }});
  for (int i = 0; i < 2; ++i) {
    item("Form3copyclnrmode" + std::to_string(i + 1), copyclnrmode, i);
    item("Form3ftpclnrmode" + std::to_string(i + 1), ftpclnrmode, i);
  }
  for (int i = 0; i < 5; ++i) item("Form3edirectraringmode" + std::to_string(i + 1), edirectraringmode, i);
  for (int i = 0; i < 6; ++i) item("Form3ecompression" + std::to_string(i + 1), ecompression, i);
  for (int i = 0; i < 4; ++i) item("Form3epaths" + std::to_string(i + 1), epaths, i);
  LoadLanguageForms(this, Options.lng, kPresetDialogKinds, numbered);
  // The words of the message table, whichever language is in use.
  edictionary->setItemText(0, QString::fromStdString(MessageText("autowordtranslated")));
  evolumes->setItemText(0, QString::fromStdString(MessageText("nonewordtranslated")));
  evolumes->setItemText(1, QString::fromStdString(MessageText("autowordtranslated")));
}

void TForm3::ShowPage(const std::string& caption) {
  for (int i = 0; i < 4; ++i)
    if (caption == kPageCaptions[i]) {
      PageControl1->setCurrentIndex(i);
      return;
    }
  PageControl1->setCurrentIndex(0);
}

void TForm3::bhelpClick() {
  const int page = std::clamp(PageControl1->currentIndex(), 0, 3);
  ShowHelpTopic(kPageHelp[page]);
}

void TForm3::getprior() {
  const bool on = cprior->isChecked();
  if (!on) {
    const QSignalBlocker block(prior_p);
    prior_p->setValue(0);
    esleep->setValue(0);
  }
  prior_p->setEnabled(on);
  esleep->setEnabled(on);
  priorcom->setText(QString::fromStdString(PriorityClassText(prior_p->value())));
}

void TForm3::ApplyFormatRule() {
  const bool zip = earcformat->currentIndex() == 1;
  crecovery->setEnabled(!zip);
  errsize->setEnabled(!zip);
  edictionary->setEnabled(!zip);
  if (zip) {
    crecovery->setChecked(false);
    edictionary->setCurrentIndex(0);
    edirectraringmode->setCurrentIndex(0);
    edirectraringmode->setEnabled(false);
  } else {
    edirectraringmode->setEnabled(cdirect->isChecked());
  }
  if (!cdirect->isChecked()) {
    edirectraringmode->setCurrentIndex(0);
    edirectraringmode->setEnabled(false);
  }
}

void TForm3::DirectRaringChanged() {
  const bool direct = cdirect->isChecked();
  for (QCheckBox* quick : {c2cd, c2smtp, c2ftp}) {
    if (direct) quick->setChecked(false);
    quick->setEnabled(!direct);
  }
  for (QCheckBox* box : {cftp, ccdrw, csmtp, coverwrite}) box->setEnabled(!direct);
  if (direct) {
    cempty->setText(QString::fromStdString(MessageText("cemptyerasedisk")));
    eemptymask->setText("*.*");
    eemptymask->setEnabled(false);
    edirectraringmode->setEnabled(earcformat->currentIndex() != 1);
  } else {
    edirectraringmode->setCurrentIndex(0);
    edirectraringmode->setEnabled(false);
    eemptymask->setEnabled(true);
    cempty->setText(QString::fromStdString(MessageText("cemptymask")));
  }
}

void TForm3::AskPassword() {
  PasswordConfirmMode = true;
  PasswordText = epass->text().toStdString();
  PasswordAccepted = false;
  if (DialogHooks* hooks = CurrentDialogHooks()) hooks->ShowPasswordDialog(MessageText("enternewpass"));
  if (PasswordAccepted) epass->setText(QString::fromStdString(PasswordText));
  const QSignalBlocker block(cpass);
  cpass->setChecked(!epass->text().isEmpty());
}

bool TForm3::eventFilter(QObject* watched, QEvent* event) {
  if (watched == epass && event->type() == QEvent::MouseButtonPress) {
    AskPassword();
    return true;
  }
  if (watched == cirp && cirp->isChecked() &&
      (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::KeyPress)) {
    const int answer = platform::MessageBox("\r" + MessageText("reallyallowdefaults"), kApplicationTitle,
                                            platform::MB_YESNO | platform::MB_ICONWARNING);
    if (answer == platform::IDYES) cirp->setChecked(false);
    // A key other than Space still does its work (Tab moves on); the press
    // that would toggle the box has been answered here.
    if (event->type() == QEvent::KeyPress) return static_cast<QKeyEvent*>(event)->key() == Qt::Key_Space;
    return true;
  }
  if ((watched == inc || watched == exc) && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Delete) {
    auto* list = static_cast<QListWidget*>(watched);
    qDeleteAll(list->selectedItems());
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

void TForm3::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1) {
    bhelpClick();
    return;
  }
  QDialog::keyPressEvent(event);  // Esc rejects
}

void TForm3::closeEvent(QCloseEvent* event) {
  if (NotepadWait) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void TForm3::done(int result) {
  if (NotepadWait) return;
  EditedPresetName = kEditedPresetDone;
  QDialog::done(result);
}

}  // namespace yux
