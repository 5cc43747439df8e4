// The settings dialog's values: options and skin to and from the controls,
// the checks, OK with what it applies and saves, and Cancel.
#include <QButtonGroup>
#include <QCheckBox>
#include <QCollator>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <QTabWidget>

#include <algorithm>
#include <cstdio>

#include "core/run/dialup.h"
#include "core/services/startup.h"
#include "core/store/folders.h"
#include "core/store/language.h"
#include "core/store/msgtable.h"
#include "core/store/textutil.h"
#include "core/window/mainform.h"
#include "core/window/scheduleform.h"
#include "dialogs/dialogwidgets.h"
#include "dialogs/settingsform.h"

namespace yux {

namespace {

std::string Text(const QLineEdit* e) { return e->text().toStdString(); }
void SetText(QLineEdit* e, const std::string& s) { e->setText(QString::fromStdString(s)); }

void SetIndex(QComboBox* box, int index) {
  if (index >= 0 && index < box->count()) box->setCurrentIndex(index);
}

void SetRadio(QButtonGroup* group, int index) {
  if (QAbstractButton* b = group->button(index)) b->setChecked(true);
}

int Radio(const QButtonGroup* group) { return std::max(group->checkedId(), 0); }

std::string WithoutTrailingSeparator(std::string path) {
  while (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  return path;
}

}  // namespace

// The controls that carry one option each.
#define YUX_SETTINGS_CHECKS(X)                                                                              \
  X(cdisexit, dec) X(cdisbaloon, dtb) X(cdistoolbar, dit) X(cautocolwidth, acw) X(cstdminimize, smz)        \
  X(chideinsteadclose, hic) X(ckeeper, obk) X(crecycle, obr) X(cnotification, obn) X(cra, rae) X(ces, des) \
  X(chg, dha) X(cer, ser) X(csoe, soe) X(cre, fre) X(cms, cms) X(cie, cie) X(cpsettings, sps)                \
  X(cpscheduler, sph) X(cpall, spa) X(cpmanipulate, spm) X(cpexit, spe) X(eski, ske)
#define YUX_SETTINGS_SPINS(X)                                                                               \
  X(logsize, lsz) X(ewrtimeout, twr) X(eschprecise, shp) X(epresetlistheight, plh) X(elogfontsize, lfs)    \
  X(epresetlistfontsize, pfs) X(yuxbinversions, obv) X(eobi, obi) X(eredial, dnr) X(emaxwait, dwc)         \
  X(erint, fin) X(erretr, fti) X(esmtptimeout, tsm) X(eftptimeout, tft)
#define YUX_SETTINGS_EDITS(X)                                                                               \
  X(ewinrarexe, pwi) X(etempfolder, pte) X(eobf, obf) X(eokp, okp) X(eorp, obp) X(ehttplogin, rlo)         \
  X(ehttppass, rpa) X(euser, dus) X(epass, dpa) X(esserver, ssr) X(esuser, sur) X(espass, spd)             \
  X(esfrom, sfm) X(esto, sto) X(eswf, swf) X(egpass, sgp)

void TForm4::ControlsFromOptions(const topt& o) {
#define X(control, key) control->setChecked(o.key);
  YUX_SETTINGS_CHECKS(X)
#undef X
#define X(control, key) control->setValue(o.key);
  YUX_SETTINGS_SPINS(X)
#undef X
#define X(control, key) SetText(control, o.key);
  YUX_SETTINGS_EDITS(X)
#undef X
  SetIndex(eobc, o.obc);
  SetIndex(esssl, o.sss);
  SetRadio(obtItems, o.obt);
  SetRadio(startupItems, o.sta);
  startupIndex_ = Radio(startupItems);
  int port = 0;
  if (ParseInt(o.rap, port)) eport->setValue(port);
}

topt TForm4::OptionsFromControls(const topt& base) const {
  topt o = base;
#define X(control, key) o.key = control->isChecked();
  YUX_SETTINGS_CHECKS(X)
#undef X
#define X(control, key) o.key = control->value();
  YUX_SETTINGS_SPINS(X)
#undef X
#define X(control, key) o.key = Text(control);
  YUX_SETTINGS_EDITS(X)
#undef X
  o.obc = eobc->currentIndex();
  o.sss = esssl->currentIndex();
  o.obt = Radio(obtItems);
  o.sta = Radio(startupItems);
  o.rap = std::to_string(eport->value());
  o.pte = WithoutTrailingSeparator(o.pte);
  o.dac = eaccounts->currentIndex() >= 0 ? eaccounts->currentText().toStdString() : std::string();
  // Without a selection (the language file has gone) the language stays.
  if (elanguages->currentIndex() >= 0) o.lng = elanguages->currentText().toStdString();
  return o;
}

void TForm4::ControlsFromSkin(const tskin& s) {
  const std::pair<QLineEdit*, std::string tskin::*> texts[] = {
      {emw, &tskin::MainImage},          {etb, &tskin::MainTableBackground},
      {etf, &tskin::MainTableColor},     {elb, &tskin::LogNormalBackground},
      {elf, &tskin::LogNormalColor},     {elb1, &tskin::LogErrorBackground},
      {elf1, &tskin::LogErrorColor},     {esw, &tskin::ScheduleImage},
      {etb1, &tskin::ScheduleTableBackground}, {etf1, &tskin::ScheduleTableColor},
      {epw, &tskin::PresetImage},        {etb3, &tskin::FileListBackground},
      {etf3, &tskin::FileListColor},
  };
  for (const auto& [edit, field] : texts) SetText(edit, s.*field);
  SetIndex(tmw, s.MainType);
  SetIndex(tsw, s.ScheduleType);
  SetIndex(tpw, s.PresetType);
}

tskin TForm4::SkinFromControls(const tskin& base) const {
  tskin s = base;
  s.MainImage = Text(emw);
  s.MainType = tmw->currentIndex();
  s.MainTableBackground = Text(etb);
  s.MainTableColor = Text(etf);
  s.LogNormalBackground = Text(elb);
  s.LogNormalColor = Text(elf);
  s.LogErrorBackground = Text(elb1);
  s.LogErrorColor = Text(elf1);
  s.ScheduleImage = Text(esw);
  s.ScheduleType = tsw->currentIndex();
  s.ScheduleTableBackground = Text(etb1);
  s.ScheduleTableColor = Text(etf1);
  s.PresetImage = Text(epw);
  s.PresetType = tpw->currentIndex();
  s.FileListBackground = Text(etb3);
  s.FileListColor = Text(etf3);
  return s;
}

void TForm4::FormActivate() {
  FillAccounts();
  ControlsFromOptions(Options);
  ControlsFromSkin(Skin);
  FillLanguages();
  loaded_ = true;
}

void TForm4::FillAccounts() {
  const QString keep = eaccounts->currentIndex() >= 0 ? eaccounts->currentText() : QString();
  eaccounts->clear();
  for (const std::string& name : GetEntries()) eaccounts->addItem(QString::fromStdString(name));
  int index = keep.isEmpty() ? -1 : eaccounts->findText(keep, Qt::MatchExactly);
  if (index < 0) index = eaccounts->findText(QString::fromStdString(Options.dac), Qt::MatchExactly);
  eaccounts->setCurrentIndex(index);
}

void TForm4::FillLanguages() {
  QStringList names{QString::fromStdString(std::string(kDefaultLanguage))};
  const QDir folder(QString::fromStdString(ProgramFolder));
  for (const QString& f : folder.entryList({"*.lng"}, QDir::Files))
    if (!names.contains(f)) names << f;
  QCollator collator;
  collator.setCaseSensitivity(Qt::CaseInsensitive);
  std::sort(names.begin(), names.end(), [&](const QString& a, const QString& b) { return collator.compare(a, b) < 0; });
  elanguages->clear();
  elanguages->addItems(names);
  elanguages->setCurrentIndex(elanguages->findText(QString::fromStdString(Options.lng), Qt::MatchExactly));
}

void TForm4::ShowField(QWidget* field) { ShowFieldOnPage(PageControl1, field); }

bool TForm4::CheckColours() {
  for (const ColourField& f : colours_) {
    const std::string text = Text(f.edit);
    if (TryHexToColor(text)) continue;
    QString label = f.label->text();
    label.remove('&');
    const std::string field = f.group->title().trimmed().toStdString() + " - " + label.trimmed().toStdString();
    ErrorBox("\"" + text + "\" (" + field + ") is not a colour: write six hexadecimal digits RRGGBB, for example ff8000.");
    ShowField(f.edit);
    return false;
  }
  return true;
}

bool TForm4::CheckEntries() {
  if (!CheckColours()) return false;
  if (cer->isChecked() && (esserver->text().isEmpty() || esfrom->text().isEmpty() || esto->text().isEmpty())) {
    ErrorBox(MessageText("specsmtpdata"));
    ShowField(esserver->text().isEmpty() ? esserver : esfrom->text().isEmpty() ? esfrom : esto);
    return false;
  }
  return true;
}

bool TForm4::okbutClick() {
  // Nothing changes unless every entry can be taken.
  if (!CheckEntries()) return false;
  if (elanguages->currentIndex() >= 0 && elanguages->currentText().toStdString() == kDefaultLanguage &&
      languageAtOpening_ != kDefaultLanguage)
    InfoBox(MessageText("needtorestart"));

  topt next = OptionsFromControls(Options);
  next.plh = std::clamp(next.plh, 40, 1200);
  Options = next;
  if (main_) main_->LayoutControls();

  Skin = SkinFromControls(Skin);
  if (main_) main_->ApplySkin();
  const std::string skinFile = PathJoin(SettingsFolder, kActiveSkinFile);
  std::string reason;
  if (!SaveSkin(Skin, skinFile, &reason)) ErrorBox("Cannot save the skin \"" + skinFile + "\": " + reason);
  SaveOptions(Options);
  ApplyOptionsToWindows();

  // The service companion follows the start-up mode once it is kept.
  const bool service = Options.sta == 3;
  if (service && !serviceAtOpening_) RunServiceCompanion("/install");
  else if (!service && serviceAtOpening_) RunServiceCompanion("/uninstall");
  skinApplied_ = false;  // kept now
  accept();
  return true;
}

void TForm4::ApplyOptionsToWindows() {
  if (main_) {
    main_->ShowBinMode(Options.obt);
    // The log lines take the height of the new font.
    main_->ReplaceLines(main_->LogLines());
  }
  RegisterShellVerbs();
  if (Options.lng != languageAtOpening_) {
    if (main_) {
      main_->ApplyLanguageForms(Options.lng);
      if (main_->Form5) main_->Form5->ApplyLanguage(Options.lng);
    }
    LoadLanguageStrings(Options.lng);
  }
}

void TForm4::done(int result) {
  // Cancel (Esc, the close box) leaves the skin as it was at opening, also
  // after "Apply new color settings immediately".
  if (result != QDialog::Accepted && skinApplied_) {
    Skin = skinAtOpening_;
    Options.ske = skinningAtOpening_;
    if (main_) main_->ApplySkin();
    skinApplied_ = false;
  }
  QDialog::done(result);
}

void ShowSettingsDialog(TForm1* main, const std::string& page) {
  if (platform::IsHeadless()) {
    const std::string line = "YUX - Settings: " + page + " (no display: not shown)\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    return;
  }
  TForm4 form(main, main);
  form.ShowPage(page);
  form.exec();
}

}  // namespace yux
