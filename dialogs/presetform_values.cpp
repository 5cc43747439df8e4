// The preset dialog's values: controls to and from the preset record, the
// opening, OK with its checks and the writing of the preset's files, and
// the user's defaults.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>

#include <cstdio>
#include <filesystem>

#include "core/store/msgtable.h"
#include "core/store/textutil.h"
#include "core/window/mainform.h"
#include "dialogs/dialogwidgets.h"
#include "dialogs/presetform.h"
#include "platform/messagebox.h"

namespace yux {

namespace {

namespace fs = std::filesystem;

std::string Text(const QLineEdit* e) { return e->text().toStdString(); }
void SetText(QLineEdit* e, const std::string& s) { e->setText(QString::fromStdString(s)); }

void SetIndex(QComboBox* box, int index) {
  if (index >= 0 && index < box->count()) box->setCurrentIndex(index);
}

std::vector<std::string> MemoLines(const QPlainTextEdit* memo) {
  const QString text = memo->toPlainText();
  if (text.isEmpty()) return {};
  std::vector<std::string> lines;
  for (const QString& l : text.split('\n')) lines.push_back(l.toStdString());
  return lines;
}

void SetMemoLines(QPlainTextEdit* memo, const std::vector<std::string>& lines) {
  QStringList text;
  for (const auto& l : lines) text << QString::fromStdString(l);
  memo->setPlainText(text.join('\n'));
}

// Removes a file that exists; false when it exists and stays.
bool RemoveIfPresent(const std::string& path, std::string& reason) {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(path, ec))) return true;
  if (fs::remove(path, ec) && !ec) return true;
  reason = ec.message();
  return false;
}

}  // namespace

std::string TForm3::TypedName() const {
  if (!NewPresetFlag) return EditedPresetName;
  return epresetname->text().trimmed().toStdString();
}

void TForm3::FormCreate() {
  ApplyLanguage();
  NewPresetFlag = EditedPresetName == kNewPresetName;
  if (!NewPresetFlag) {
    SetText(epresetname, EditedPresetName);
    epresetname->setEnabled(false);
    LoadListsAndNotes(EditedPresetName);
    tarcopt record;
    SetPresetDefaults(record);
    try {
      LoadPreset(EditedPresetName, record);
    } catch (const EPresetFileError& e) {
      ErrorBox(e.what());
    }
    ControlsFromRecord(record);
  } else {
    LoadingDefaults = true;
    BitBtn2Click();
    LoadingDefaults = false;
  }
  ApplyFormatRule();
  getprior();
  NotepadWait = false;
}

void TForm3::LoadListsAndNotes(const std::string& name) {
  SetListLines(inc, ReadPresetList(name, ".inc").value_or(std::vector<std::string>{}));
  SetListLines(exc, ReadPresetList(name, ".exc").value_or(std::vector<std::string>{}));
  SetMemoLines(presnotes, ReadPresetList(name, ".not").value_or(std::vector<std::string>{}));
  SetMemoLines(arccomment, ReadPresetList(name, ".cmt").value_or(std::vector<std::string>{}));
  FilterMasks = ReadPresetList(name, ".flt").value_or(std::vector<std::string>{});
}

void TForm3::ControlsFromRecord(const tarcopt& r) {
  loading_ = true;
  SetText(earcname, r.nam);
  SetText(eswitches, r.swt);
  SetText(eemptymask, r.ems);
  SetText(eadddate, r.dtf);
  // The file holds the English words; a file written under a language that
  // stored its own words shows them as the same entries.
  if (r.vol == "None" || r.vol == MessageText("nonewordtranslated")) evolumes->setCurrentIndex(0);
  else if (r.vol == "Auto" || r.vol == MessageText("autowordtranslated")) evolumes->setCurrentIndex(1);
  else {
    evolumes->setCurrentIndex(-1);
    evolumes->setEditText(QString::fromStdString(r.vol));
  }
  SetText(efoldername, r.dir);
  SetIndex(earcformat, r.fmt);
  SetIndex(ecompression, r.cmp);
  SetIndex(edirectraringmode, r.drm);
  SetIndex(edictionary, r.dic);
  SetIndex(epaths, r.fld);
  SetText(epass, r.pwd);
  struct Box {
    QCheckBox* box;
    bool value;
  };
  const Box boxes[] = {
      {coverwrite, r.owe}, {cempty, r.efl},  {cfolder, r.ctf},     {cpass, r.pas},      {clock, r.lck},
      {csolid, r.sld},     {cquit, r.hlt},   {cbkgnd, r.bkg},      {chide, r.hid},      {ctest, r.tst},
      {cdel, r.del},       {cwipe, r.wip},   {cshared, r.osf},     {crecurse, r.rsf},   {cerase, r.edc},
      {cauth, r.aut},      {cfac, r.fac},    {ecerase, r.cer},     {cverifycd, r.cdv},  {cnevereject, r.cne},
      {ceraseroom, r.cef}, {ccdrw, r.cdw},   {csmtp, r.smt},       {cftp, r.ftp},       {cprior, r.wpc},
      {crecovery, r.arr},  {ccopyclnr, r.cco}, {csmtpclnr, r.sco}, {cftpclnr, r.fco},   {chkftpclnrrunafter, r.fca},
      {cbeforeactive, r.eba}, {cbeforesync, r.ebs}, {cbeforehidden, r.ebh}, {cafteractive, r.eaa},
      {caftersync, r.eas}, {cafterhidden, r.eah}, {cirp, r.irp},   {cdirect, r.dra},
  };
  for (const Box& b : boxes) b.box->setChecked(b.value);
  SetText(efserver, r.fse);
  SetText(efuser, r.fus);
  SetText(efpass, r.fpa);
  SetText(effolder, r.ffo);
  SetIndex(efssl, r.fss);
  SetText(esfrom, r.sfr);
  SetText(esto, r.sto);
  SetText(esserver, r.sse);
  SetText(esuser, r.sus);
  SetText(espass, r.spa);
  SetIndex(esssl, r.sss);
  const QString letter = QString::fromStdString(r.cdr.substr(0, 1));
  ecdrive->setCurrentIndex(letter.isEmpty() ? -1 : ecdrive->findText(letter, Qt::MatchExactly));
  SetText(ecspeed, std::to_string(r.csp));
  ebufsize->setValue(r.cdb);
  prior_p->setValue(r.wpp);
  esleep->setValue(r.wps);
  SetText(efproxy, r.fpn);
  SetText(efproxyport, r.fpp);
  errsize->setValue(r.rrp);
  SetIndex(copyclnrmode, r.ccm);
  ecopyclnrlimit->setValue(r.ccv);
  SetIndex(smtpclnrmode, r.scm);
  esmtpclnrlimit->setValue(r.scv);
  SetIndex(ftpclnrmode, r.fcm);
  eftpclnrlimit->setValue(r.fcv);
  SetText(eafterexe, r.eae);
  SetText(eafterparams, r.eap);
  SetText(ebeforeexe, r.ebe);
  SetText(ebeforeparams, r.ebp);
  SetText(efastring, r.efa);
  loading_ = false;
  // Setting DIRECT RARING acts like its click; the update mode it keeps
  // was set above and survives when the box is on.
  const int mode = edirectraringmode->currentIndex();
  DirectRaringChanged();
  if (cdirect->isChecked() && edirectraringmode->isEnabled()) edirectraringmode->setCurrentIndex(mode);
  getprior();
  // The drive is looked up for every loaded letter, the defaults' too: OK
  // asks about a CD/DVD destination whose drive is no recorder, and must
  // not ask because the lookup was skipped.
  ecdriveChange();
}

tarcopt TForm3::RecordFromControls() const {
  tarcopt r;
  SetPresetDefaults(r);
  r.nam = Text(earcname);
  r.swt = Text(eswitches);
  r.ems = Text(eemptymask);
  r.dtf = Text(eadddate);
  const QString vol = evolumes->currentText();
  if (vol == QString::fromStdString(MessageText("nonewordtranslated"))) r.vol = "None";
  else if (vol == QString::fromStdString(MessageText("autowordtranslated"))) r.vol = "Auto";
  else r.vol = vol.toStdString();
  r.dir = Text(efoldername);
  r.fmt = earcformat->currentIndex();
  r.cmp = ecompression->currentIndex();
  r.drm = edirectraringmode->currentIndex();
  r.dic = edictionary->currentIndex();
  r.fld = epaths->currentIndex();
  r.pwd = Text(epass);
  r.owe = coverwrite->isChecked();
  r.efl = cempty->isChecked();
  r.ctf = cfolder->isChecked();
  r.pas = cpass->isChecked() && !r.pwd.empty();
  r.lck = clock->isChecked();
  r.sld = csolid->isChecked();
  r.hlt = cquit->isChecked();
  r.bkg = cbkgnd->isChecked();
  r.hid = chide->isChecked();
  r.tst = ctest->isChecked();
  r.del = cdel->isChecked();
  r.wip = cwipe->isChecked();
  r.osf = cshared->isChecked();
  r.rsf = crecurse->isChecked();
  r.edc = cerase->isChecked();
  r.aut = cauth->isChecked();
  r.fse = Text(efserver);
  r.fus = Text(efuser);
  r.fpa = Text(efpass);
  r.ffo = Text(effolder);
  r.fac = cfac->isChecked();
  r.fss = efssl->currentIndex();
  r.sfr = Text(esfrom);
  r.sto = Text(esto);
  r.sse = Text(esserver);
  r.sus = Text(esuser);
  r.spa = Text(espass);
  r.sss = esssl->currentIndex();
  r.cdr = ecdrive->currentIndex() < 0 ? std::string() : ecdrive->currentText().toStdString();
  r.cer = ecerase->isChecked();
  r.cdv = cverifycd->isChecked();
  r.cne = cnevereject->isChecked();
  r.cef = ceraseroom->isChecked();
  r.csp = 0;
  ParseInt(Text(ecspeed), r.csp);
  r.cdb = ebufsize->value();
  r.cdw = ccdrw->isChecked();
  r.smt = csmtp->isChecked();
  r.ftp = cftp->isChecked();
  r.wpc = cprior->isChecked();
  r.wpp = prior_p->value();
  r.wps = esleep->value();
  r.dra = cdirect->isChecked();
  r.fpn = Text(efproxy);
  r.fpp = Text(efproxyport);
  r.arr = crecovery->isChecked();
  r.rrp = errsize->value();
  r.cco = ccopyclnr->isChecked();
  r.sco = csmtpclnr->isChecked();
  r.fco = cftpclnr->isChecked();
  r.ccm = copyclnrmode->currentIndex();
  r.ccv = ecopyclnrlimit->value();
  r.scm = smtpclnrmode->currentIndex();
  r.scv = esmtpclnrlimit->value();
  r.fcm = ftpclnrmode->currentIndex();
  r.fcv = eftpclnrlimit->value();
  r.fca = chkftpclnrrunafter->isChecked();
  r.eba = cbeforeactive->isChecked();
  r.ebs = cbeforesync->isChecked();
  r.ebh = cbeforehidden->isChecked();
  r.eaa = cafteractive->isChecked();
  r.eas = caftersync->isChecked();
  r.eah = cafterhidden->isChecked();
  r.eae = Text(eafterexe);
  r.eap = Text(eafterparams);
  r.ebe = Text(ebeforeexe);
  r.ebp = Text(ebeforeparams);
  r.efa = Text(efastring);
  r.irp = cirp->isChecked();
  return r;
}

PresetEntries TForm3::EntriesFromControls() const {
  PresetEntries e;
  e.copyCleaner = ccopyclnr->isChecked();
  e.directRaring = cdirect->isChecked();
  e.dateSuffix = Text(eadddate);
  e.presetName = TypedName();
  e.newPreset = NewPresetFlag;
  e.ftp = cftp->isChecked();
  e.ftpServer = Text(efserver);
  e.smtp = csmtp->isChecked();
  e.smtpServer = Text(esserver);
  e.archiveName = Text(earcname);
  e.copyToFolder = cfolder->isChecked();
  e.folder = Text(efoldername);
  e.includeCount = static_cast<std::size_t>(inc->count());
  return e;
}

QWidget* TForm3::FieldControl(PresetField field) const {
  switch (field) {
    case PresetField::CopyCleaner: return ccopyclnr;
    case PresetField::DateSuffix: return eadddate;
    case PresetField::PresetName: return epresetname;
    case PresetField::FtpServer: return efserver;
    case PresetField::SmtpServer: return esserver;
    case PresetField::ArchiveName: return earcname;
    case PresetField::Folder: return efoldername;
    case PresetField::IncludeList: return inc;
  }
  return epresetname;
}

bool TForm3::bupdateClick() {
  if (epass->text().isEmpty()) cpass->setChecked(false);
  if (auto problem = PresetEntryError(EntriesFromControls())) {
    ErrorBox(problem->text);
    ShowFieldOnPage(PageControl1, FieldControl(problem->field));
    return false;
  }
  // A CD/DVD destination on a drive that is no recorder would be switched
  // off without a word; the user decides instead.
  if (ccdrw->isChecked() && !bburnerinfo->isEnabled()) {
    const std::string letter = ecdrive->currentIndex() < 0 ? std::string("?") : ecdrive->currentText().toStdString();
    if (!AskYes(Format("cdnotrecorder", letter))) {
      ShowFieldOnPage(PageControl1, ecdrive);
      return false;
    }
    ccdrw->setChecked(false);
  }
  const std::string name = TypedName();
  std::string failedFile, reason;
  if (!WritePreset(name, failedFile, reason)) {
    // A new preset leaves nothing half written behind; the name was free.
    if (NewPresetFlag) DeletePresetFiles(name);
    platform::MessageBox(Format("savepreseterror", failedFile, reason), kApplicationTitle,
                         platform::MB_OK | platform::MB_ICONERROR);
    return false;
  }
  if (NewPresetFlag) {
    InfoBox(MessageText("presetwasadded"));
    if (OnPresetListChanged) OnPresetListChanged();
  }
  accept();
  return true;
}

bool TForm3::WritePreset(const std::string& name, std::string& failedFile, std::string& reason) {
  // The lists go first and the preset file last: a preset is listed only
  // once its ".pst" exists, so a failure never leaves a listed preset
  // with lists missing.
  struct ListFile {
    const char* ext;
    std::vector<std::string> lines;
  };
  const ListFile lists[] = {{".inc", ListLines(inc)}, {".exc", ListLines(exc)}, {".not", MemoLines(presnotes)}};
  for (const ListFile& l : lists) {
    if (!WritePresetList(name, l.ext, l.lines, &reason)) {
      failedFile = PresetFilePath(name, l.ext);
      return false;
    }
  }
  const std::vector<std::string> comment = MemoLines(arccomment);
  const std::pair<const char*, const std::vector<std::string>*> optional[] = {{".cmt", &comment},
                                                                              {".flt", &FilterMasks}};
  for (const auto& [ext, lines] : optional) {
    failedFile = PresetFilePath(name, ext);
    const bool ok = lines->empty() ? RemoveIfPresent(failedFile, reason) : WritePresetList(name, ext, *lines, &reason);
    if (!ok) return false;
  }
  failedFile = PresetFilePath(name);
  return SavePreset(name, RecordFromControls(), &reason);
}

void TForm3::BitBtn1Click() {
  if (auto problem = DefaultsEntryError(EntriesFromControls())) {
    ErrorBox(*problem);
    return;
  }
  if (!AskYes(MessageText("saveasdefault"))) return;
  std::string reason;
  if (!SavePreset(std::string(kDefaultsPresetName), RecordFromControls(), &reason))
    platform::MessageBox(Format("savepreseterror", PresetFilePath(std::string(kDefaultsPresetName)), reason),
                         kApplicationTitle, platform::MB_OK | platform::MB_ICONERROR);
}

void TForm3::BitBtn2Click() {
  const std::string defaults(kDefaultsPresetName);
  std::error_code ec;
  if (!fs::is_regular_file(PresetFilePath(defaults), ec)) {
    if (!LoadingDefaults) ErrorBox(MessageText("firstsavethenrestore"));
    return;
  }
  if (!LoadingDefaults && !AskYes(MessageText("replacesettingsdef"))) return;
  SetText(epresetname, EditedPresetName == kNewPresetName ? std::string() : EditedPresetName);
  tarcopt record;
  SetPresetDefaults(record);
  try {
    LoadPreset(defaults, record);
  } catch (const EPresetFileError& e) {
    ErrorBox(e.what());
    return;
  }
  ControlsFromRecord(record);
}

void ShowPresetDialog(TForm1* main, const std::string& name, const std::string& page) {
  EditedPresetName = name;
  if (platform::IsHeadless()) {
    const std::string line = "YUX - Preset configuration: " + name + " (no display: not shown)\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    EditedPresetName = kEditedPresetDone;
    return;
  }
  TForm3 form(main ? main->burner.get() : nullptr, main);
  if (main) form.OnPresetListChanged = [main] { main->LoadPresetList(); };
  form.ShowPage(page);
  form.exec();
}

}  // namespace yux
