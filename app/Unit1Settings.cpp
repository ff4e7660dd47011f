// The window's format and quality choices, and what it remembers between runs.
#include <QSettings>
#include <algorithm>
#include <memory>

#include "app/Unit1.h"

namespace tunevert {

namespace {

// ~/.config/tunevert/tunevert.conf (or under $XDG_CONFIG_HOME).
std::unique_ptr<QSettings> OpenSettings() {
  return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                     QStringLiteral("tunevert"), QStringLiteral("tunevert"));
}

const char* const kExistingKeys[] = {"overwrite", "skip", "rename"};
const char* const kReplayGainKeys[] = {"off", "track", "album"};  // in TReplayGain's order

}  // namespace

// "All Supported Formats (*.mp3 *.wma ...)" first, then each format the program reads.
QString TForm1::OpenFileFilter() {
  QStringList all, each;
  for (const TFormatSpec* format : InputFormatSpecs()) {
    QStringList patterns;
    for (const std::string& extension : format->Extensions)
      patterns << QLatin1Char('*') + QString::fromStdString(extension);
    all << patterns;
    each << QStringLiteral("%1 (%2)").arg(QString::fromStdString(format->DialogLabel),
                                          patterns.join(QLatin1Char(' ')));
  }
  return QStringLiteral("All Supported Formats (%1);;").arg(all.join(QLatin1Char(' '))) +
         each.join(QStringLiteral(";;"));
}

void TForm1::FormShow() {
  cbBitrate->setCurrentIndex(7);
  cbKonvertTo->setCurrentIndex(2);
  FChoicesFormat = cbKonvertTo->currentText();
  UserUpdateClick = false;
  OutputDirtxt->setText(DefaultOutputFolder());
  lblBitrate->setVisible(true);
  cbBitrate->setVisible(true);
}

void TForm1::LoadSettings() {
  const auto settings = OpenSettings();
  auto pick = [&settings](QComboBox* box, const QString& key) {
    const int index = box->findText(settings->value(key).toString());
    if (index >= 0) box->setCurrentIndex(index);
    return index >= 0;
  };
  // What was chosen for each format, then the format and its choice last used.
  for (const TFormatSpec* format : OutputFormatSpecs()) {
    const QString caption = QString::fromStdString(format->Caption);
    const QString choice =
        settings->value(QStringLiteral("choices/") + QString::fromStdString(format->Id)).toString();
    if (ChoicesFor(caption).contains(choice)) FChoiceByFormat[caption] = choice;
  }
  // The list shows the current format's choices: its remembered one first.
  if (FChoiceByFormat.contains(cbKonvertTo->currentText()))
    cbBitrate->setCurrentText(FChoiceByFormat.value(cbKonvertTo->currentText()));
  if (pick(cbKonvertTo, QStringLiteral("format"))) cbKonvertToChange();
  pick(cbBitrate, QStringLiteral("bitrate"));
  const QString folder = settings->value(QStringLiteral("outputFolder")).toString();
  if (!folder.isEmpty()) OutputDirtxt->setText(folder);
  // 0 is "every core", so the choice follows the program to a bigger machine.
  const int jobs = settings->value(QStringLiteral("jobs"), 0).toInt();
  spnJobs->setValue(jobs <= 0 ? spnJobs->maximum() : jobs);
  const QString existing = settings->value(QStringLiteral("existing")).toString();
  for (int i = 0; i < cbExisting->count(); ++i)
    if (existing == QLatin1String(kExistingKeys[i])) cbExisting->setCurrentIndex(i);
  chkKeepTree->setChecked(settings->value(QStringLiteral("keepTree"), false).toBool());
  chkCarryTags->setChecked(settings->value(QStringLiteral("carryTags"), true).toBool());
  chkVerify->setChecked(settings->value(QStringLiteral("verify"), true).toBool());
  edtNameTemplate->setText(settings->value(QStringLiteral("nameTemplate")).toString());
  chkPortableNames->setChecked(settings->value(QStringLiteral("portableNames"), false).toBool());
  edtCopyFormats->setText(settings->value(QStringLiteral("copyFormats")).toString());
  const int maxRate = settings->value(QStringLiteral("maxRate"), 0).toInt();
  cbMaxRate->setCurrentIndex(std::max(0, cbMaxRate->findText(QString::number(maxRate))));
  chkMirror->setChecked(settings->value(QStringLiteral("mirror"), false).toBool());
  const QString replayGain = settings->value(QStringLiteral("replayGain")).toString();
  for (int i = 0; i < cbReplayGain->count(); ++i)
    if (replayGain == QLatin1String(kReplayGainKeys[i])) cbReplayGain->setCurrentIndex(i);
  chkNormalize->setChecked(settings->value(QStringLiteral("normalize"), false).toBool());
  spnNormalizeLufs->setValue(
      settings->value(QStringLiteral("normalizeLufs"), spnNormalizeLufs->value()).toInt());
  if (settings->contains(QStringLiteral("geometry")))
    restoreGeometry(settings->value(QStringLiteral("geometry")).toByteArray());
}

void TForm1::SaveSettings() const {
  const auto settings = OpenSettings();
  settings->setValue(QStringLiteral("format"), cbKonvertTo->currentText());
  settings->setValue(QStringLiteral("bitrate"), cbBitrate->currentText());
  QHash<QString, QString> choices = FChoiceByFormat;
  if (cbBitrate->count() > 0) choices[cbKonvertTo->currentText()] = cbBitrate->currentText();
  for (auto it = choices.cbegin(); it != choices.cend(); ++it)
    if (const TFormatSpec* format = FindFormat(it.key().toStdString()))
      settings->setValue(QStringLiteral("choices/") + QString::fromStdString(format->Id),
                         it.value());
  settings->setValue(QStringLiteral("outputFolder"), OutputDirtxt->text());
  settings->setValue(QStringLiteral("jobs"),
                     spnJobs->value() == spnJobs->maximum() ? 0 : spnJobs->value());
  settings->setValue(QStringLiteral("existing"),
                     QLatin1String(kExistingKeys[std::clamp(cbExisting->currentIndex(), 0, 2)]));
  settings->setValue(QStringLiteral("keepTree"), chkKeepTree->isChecked());
  settings->setValue(QStringLiteral("carryTags"), chkCarryTags->isChecked());
  settings->setValue(QStringLiteral("verify"), chkVerify->isChecked());
  settings->setValue(QStringLiteral("nameTemplate"), edtNameTemplate->text());
  settings->setValue(QStringLiteral("portableNames"), chkPortableNames->isChecked());
  settings->setValue(QStringLiteral("copyFormats"), edtCopyFormats->text());
  settings->setValue(QStringLiteral("maxRate"), cbMaxRate->currentText().toInt());
  settings->setValue(QStringLiteral("mirror"), chkMirror->isChecked());
  settings->setValue(
      QStringLiteral("replayGain"),
      QLatin1String(kReplayGainKeys[std::clamp(cbReplayGain->currentIndex(), 0, 2)]));
  settings->setValue(QStringLiteral("normalize"), chkNormalize->isChecked());
  settings->setValue(QStringLiteral("normalizeLufs"), spnNormalizeLufs->value());
  settings->setValue(QStringLiteral("geometry"), saveGeometry());
}

const TFormatSpec* TForm1::ChosenFormat() const {
  return FindFormat(cbKonvertTo->currentText().toStdString());
}

QStringList TForm1::ChoicesFor(const QString& Format) {
  QStringList choices;
  if (const TFormatSpec* format = FindFormat(Format.toStdString()))
    for (const std::string& choice : format->WindowChoices())
      choices << QString::fromStdString(choice);
  return choices;
}

void TForm1::cbKonvertToChange() {
  const QString format = cbKonvertTo->currentText();
  if (format == FChoicesFormat) return;
  // Each format keeps what was chosen for it.
  if (!FChoicesFormat.isEmpty() && cbBitrate->count() > 0)
    FChoiceByFormat[FChoicesFormat] = cbBitrate->currentText();
  FChoicesFormat = format;
  const TFormatSpec* spec = ChosenFormat();
  const QStringList choices = ChoicesFor(format);
  cbBitrate->clear();
  cbBitrate->addItems(choices);
  const QString chosen = FChoiceByFormat.value(
      format, QString::fromStdString(spec == nullptr ? "" : spec->DefaultWindowChoice()));
  cbBitrate->setCurrentIndex(std::max(0, static_cast<int>(choices.indexOf(chosen))));
  if (spec != nullptr && !spec->QualityLabel.empty())
    lblBitrate->setText(QString::fromStdString(spec->QualityLabel));
  lblBitrate->setVisible(!choices.isEmpty());
  cbBitrate->setVisible(!choices.isEmpty());
}

std::string TForm1::QualityChoice() const {
  return cbBitrate->count() == 0 ? std::string() : cbBitrate->currentText().toStdString();
}

}  // namespace tunevert
