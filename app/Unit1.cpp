#include "app/Unit1.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHash>
#include <QHeaderView>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QRegularExpression>
#include <QScreen>
#include <QSet>
#include <QSettings>
#include <QStandardPaths>
#include <QStatusBar>
#include <QUrl>
#include <QVBoxLayout>
#include <filesystem>
#include <memory>

#include "app/UMessage.h"
#include "app/Version.h"
#include "platform/Exception.h"
#include "platform/Text.h"
#include "update/Update.h"
#include "update/WebUpdateInfo.h"

namespace tunevert {

namespace {

namespace fs = std::filesystem;

const QString kDonatePage = QStringLiteral("https://quorvel.example/donate");
const QString kHomePage = QStringLiteral("https://quorvel.example/");

QFont LargeFont() {
  QFont font(QStringLiteral("Tahoma"));
  font.setPixelSize(24);
  return font;
}

// What a file manager opens for a folder of any bytes.
QUrl FolderUrl(const std::string& folder) {
  return QUrl::fromEncoded("file://" + QByteArray::fromStdString(folder).toPercentEncoding("/"));
}

std::vector<TBatchSource> FolderSources(const std::string& folder) {
  return ExpandSources({folder});
}

const QString kNameTemplateTip = QStringLiteral(
    "Names each output from its tags; empty names it after its source.\n"
    "Fields: {artist} {albumartist} {album} {title} {track} {tracktotal} {disc} {disctotal} "
    "{year} {genre} {composer} {source} {folder}\n"
    "{track:02} pads with zeros; {albumartist|artist} takes the first that is set; / makes "
    "folders; {{ and }} are braces");
const QString kCopyFormatsTip = QStringLiteral(
    "Sources in these formats are copied byte for byte instead of converted (format ids, "
    "separated by commas: %1)");
const QString kReplayGainTip = QStringLiteral(
    "Measures each output's loudness and writes ReplayGain tags, which players use to play "
    "every track (Track), or every album as a whole (Album), equally loud; the audio itself "
    "is not changed");
const QString kNormalizeTip = QStringLiteral(
    "Changes the level of each output's audio (each album's, with ReplayGain Album) so it "
    "measures this loudness; an Opus output keeps its audio and gets the gain in its header. "
    "Never raised beyond a true peak of -1 dBTP");
const QString kInvalidFieldStyle = QStringLiteral("QLineEdit { border: 1px solid #d04040; }");
// Removals a mirror summary names before "and N more".
constexpr size_t kRemovalsListed = 10;

// Path below Folder, as the list and the summary show it.
QString BelowFolder(const std::string& Folder, const std::string& Path) {
  return Shown(Path.compare(0, Folder.size(), Folder) == 0 ? Path.substr(Folder.size()) : Path);
}

QString ReadFormatIds() {
  QStringList ids;
  for (const TFormatSpec* format : InputFormatSpecs()) ids << QString::fromStdString(format->Id);
  return ids.join(QStringLiteral(", "));
}

}  // namespace

void NameApplication() {
  // No display name: the toolkit would append it to every window title.
  QCoreApplication::setApplicationName(QStringLiteral("Tunevert"));
}

TForm1::TForm1(QWidget* parent)
    : QMainWindow(parent),
      FConverter(MakeComponent<TBatchConverter>(nullptr)),
      FWebUpdate(MakeComponent<TWebUpdate>(nullptr)) {
  setWindowTitle(
      QStringLiteral("Tunevert %1 - by Quorvel Software").arg(QString::fromUtf8(kTunevertVersion)));
  QFont tahoma(QStringLiteral("Tahoma"), 8);
  setFont(tahoma);

  ShowMessage = [this](const QString& text) {
    QMessageBox::information(this, QStringLiteral("Tunevert"), text);
  };
  AskQuestion = [this](const QString& text) {
    return QMessageBox::question(this, QStringLiteral("Tunevert"), text,
                                 QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::No) == QMessageBox::Yes;
  };
  ShellOpen = [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); };
  ConfirmRemovals = [this](const QString& summary) {
    return QMessageBox::warning(this, QStringLiteral("Tunevert"), summary,
                                QMessageBox::Ok | QMessageBox::Cancel,
                                QMessageBox::Cancel) == QMessageBox::Ok;
  };

  // The open action is not on the menu: the button and Ctrl+O run it.
  FileOpen1 = new QAction(QStringLiteral("&Open..."), this);
  FileOpen1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  FileOpen1->setStatusTip(QStringLiteral("Opens an existing file"));
  addAction(FileOpen1);
  connect(FileOpen1, &QAction::triggered, this, [this] {
    const QStringList names =
        QFileDialog::getOpenFileNames(this, QStringLiteral("Open"), QString(), OpenFileFilter());
    if (!names.isEmpty()) FileOpen1Accept(names);
  });

  // Menu.
  QMenu* fileMenu = menuBar()->addMenu(QStringLiteral("&File"));
  FileAddFolder1 = fileMenu->addAction(QStringLiteral("Add &Folder..."));
  FileAddFolder1->setStatusTip(QStringLiteral("Adds every audio file below a folder"));
  connect(FileAddFolder1, &QAction::triggered, this, [this] {
    const QString folder = QFileDialog::getExistingDirectory(this, QStringLiteral("Add Folder"));
    if (!folder.isEmpty()) AddFolder1Accept(folder);
  });
  OpenOutputFolder1 = fileMenu->addAction(QStringLiteral("Open Output &Folder"));
  OpenOutputFolder1->setEnabled(false);
  connect(OpenOutputFolder1, &QAction::triggered, this, [this] { OpenOutputFolderClick(); });
  fileMenu->addSeparator();
  FileExit1 = fileMenu->addAction(QStringLiteral("E&xit"));
  FileExit1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  FileExit1->setStatusTip(QStringLiteral("Quits the application"));
  connect(FileExit1, &QAction::triggered, this, &QWidget::close);
  QMenu* makerMenu = menuBar()->addMenu(QStringLiteral("&Quorvel Software Menu"));
  Action1 = makerMenu->addAction(QStringLiteral("&Donate"));
  connect(Action1, &QAction::triggered, this, [this] { ShellOpen(kDonatePage); });
  Update = makerMenu->addAction(QStringLiteral("&Update"));
  connect(Update, &QAction::triggered, this, [this] { UpdateExecute(); });
  Action3 = makerMenu->addAction(QStringLiteral("&Quorvel Soft Web Site"));
  connect(Action3, &QAction::triggered, this, [this] { ShellOpen(kHomePage); });

  ConvertAction = new QAction(QStringLiteral("Convert"), this);
  ConvertAction->setShortcuts(
      {QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter)});
  addAction(ConvertAction);
  connect(ConvertAction, &QAction::triggered, this, [this] {
    if (!FConverter->Running()) btnConvertClick();
  });
  StopAction = new QAction(QStringLiteral("Stop"), this);
  StopAction->setShortcut(QKeySequence(Qt::Key_Escape));
  StopAction->setEnabled(false);
  addAction(StopAction);
  connect(StopAction, &QAction::triggered, this, [this] { StopClick(); });

  auto* central = new QWidget(this);
  auto* column = new QVBoxLayout(central);
  auto label = [central](const char* text, QWidget* buddy) {
    auto* l = new QLabel(QString::fromUtf8(text), central);
    l->setBuddy(buddy);
    return l;
  };

  auto* firstBar = new QHBoxLayout;
  btnFileOpen = new QPushButton(QStringLiteral("Add Files"), central);
  btnAddFolder = new QPushButton(QStringLiteral("Add Folder"), central);
  btnClearFileList = new QPushButton(QStringLiteral("Clear List"), central);
  cbKonvertTo = new QComboBox(central);
  for (const std::string& caption : TBatchConverter::OutputFormats())
    cbKonvertTo->addItem(QString::fromStdString(caption));
  cbKonvertTo->setFont(LargeFont());
  cbKonvertTo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  cbKonvertTo->setMinimumContentsLength(5);
  cbBitrate = new QComboBox(central);
  cbBitrate->addItems(ChoicesFor(QStringLiteral(".mp3")));
  cbBitrate->setFont(LargeFont());
  cbBitrate->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  cbBitrate->setMinimumContentsLength(4);
  lblBitrate = label("Bitrate:", cbBitrate);
  btnConvert = new QPushButton(QStringLiteral("Convert!"), central);
  ProgressBar1 = new QProgressBar(central);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  firstBar->addWidget(btnFileOpen);
  firstBar->addWidget(btnAddFolder);
  firstBar->addWidget(btnClearFileList);
  firstBar->addWidget(label("Convert to:", cbKonvertTo));
  firstBar->addWidget(cbKonvertTo);
  firstBar->addWidget(lblBitrate);
  firstBar->addWidget(cbBitrate);
  firstBar->addWidget(btnConvert);
  firstBar->addWidget(ProgressBar1, 1);
  column->addLayout(firstBar);

  auto* secondBar = new QHBoxLayout;
  OutputDirtxt = new QLineEdit(central);
  btnSelectDir = new QPushButton(QStringLiteral("Select"), central);
  btnOpenOutputFolder = new QPushButton(QStringLiteral("Open Output Folder"), central);
  btnOpenOutputFolder->setEnabled(false);
  secondBar->addWidget(label("Output Directory:", OutputDirtxt));
  secondBar->addWidget(OutputDirtxt, 1);
  secondBar->addWidget(btnSelectDir);
  secondBar->addWidget(btnOpenOutputFolder);
  column->addLayout(secondBar);

  auto* optionsBar = new QHBoxLayout;
  spnJobs = new QSpinBox(central);
  spnJobs->setRange(1, TBatchConverter::DefaultJobs());
  spnJobs->setValue(spnJobs->maximum());
  spnJobs->setToolTip(QStringLiteral("How many files are converted at once"));
  cbExisting = new QComboBox(central);
  cbExisting->addItems(
      {QStringLiteral("Overwrite"), QStringLiteral("Skip"), QStringLiteral("Numbered name")});
  chkKeepTree = new QCheckBox(QStringLiteral("Keep folder tree"), central);
  chkKeepTree->setToolTip(
      QStringLiteral("Files from an added folder keep their subfolders under the output folder"));
  chkCarryTags = new QCheckBox(QStringLiteral("Carry tags"), central);
  chkCarryTags->setToolTip(QStringLiteral("Copy each source's tags and pictures to its output"));
  chkVerify = new QCheckBox(QStringLiteral("Read back outputs"), central);
  chkVerify->setToolTip(QStringLiteral(
      "Decode each finished output before it is put in place, so a damaged file never replaces "
      "anything"));
  optionsBar->addWidget(label("Parallel jobs:", spnJobs));
  optionsBar->addWidget(spnJobs);
  optionsBar->addSpacing(12);
  optionsBar->addWidget(label("Existing outputs:", cbExisting));
  optionsBar->addWidget(cbExisting);
  optionsBar->addSpacing(12);
  optionsBar->addWidget(chkKeepTree);
  optionsBar->addWidget(chkCarryTags);
  optionsBar->addWidget(chkVerify);
  optionsBar->addStretch(1);
  column->addLayout(optionsBar);

  auto* namesBar = new QHBoxLayout;
  edtNameTemplate = new QLineEdit(central);
  edtNameTemplate->setPlaceholderText(
      QStringLiteral("{albumartist|artist}/{album}/{track:02} {title}"));
  edtNameTemplate->setClearButtonEnabled(true);
  edtNameTemplate->setToolTip(kNameTemplateTip);
  chkPortableNames = new QCheckBox(QStringLiteral("Portable names"), central);
  chkPortableNames->setToolTip(QStringLiteral(
      "Names that FAT, exFAT and NTFS drives take: no \\ : * ? \" < > |, no reserved names"));
  namesBar->addWidget(label("File names:", edtNameTemplate));
  namesBar->addWidget(edtNameTemplate, 1);
  namesBar->addWidget(chkPortableNames);
  column->addLayout(namesBar);

  auto* libraryBar = new QHBoxLayout;
  edtCopyFormats = new QLineEdit(central);
  edtCopyFormats->setPlaceholderText(QStringLiteral("mp3, ogg, opus, m4a"));
  edtCopyFormats->setToolTip(kCopyFormatsTip.arg(ReadFormatIds()));
  cbMaxRate = new QComboBox(central);
  cbMaxRate->addItems({QStringLiteral("None"), QStringLiteral("44100"), QStringLiteral("48000"),
                       QStringLiteral("96000")});
  cbMaxRate->setToolTip(QStringLiteral(
      "Sources above this sample rate (Hz) are brought down to it; the others keep theirs"));
  chkMirror = new QCheckBox(QStringLiteral("Mirror into the output folder"), central);
  chkMirror->setToolTip(QStringLiteral(
      "Converts only what changed since the last mirrored run, and removes the outputs it "
      "wrote for sources that are gone; asks before removing anything"));
  libraryBar->addWidget(label("Copy as is:", edtCopyFormats));
  libraryBar->addWidget(edtCopyFormats, 1);
  libraryBar->addSpacing(12);
  libraryBar->addWidget(label("Max. rate:", cbMaxRate));
  libraryBar->addWidget(cbMaxRate);
  libraryBar->addSpacing(12);
  libraryBar->addWidget(chkMirror);
  libraryBar->addStretch(1);
  column->addLayout(libraryBar);

  auto* loudnessBar = new QHBoxLayout;
  cbReplayGain = new QComboBox(central);
  cbReplayGain->addItems({QStringLiteral("Off"), QStringLiteral("Track"), QStringLiteral("Album")});
  cbReplayGain->setToolTip(kReplayGainTip);
  chkNormalize = new QCheckBox(QStringLiteral("Normalize to:"), central);
  chkNormalize->setToolTip(kNormalizeTip);
  spnNormalizeLufs = new QSpinBox(central);
  spnNormalizeLufs->setRange(-30, -5);
  spnNormalizeLufs->setValue(-18);
  spnNormalizeLufs->setSuffix(QStringLiteral(" LUFS"));
  spnNormalizeLufs->setToolTip(kNormalizeTip);
  spnNormalizeLufs->setEnabled(false);
  connect(chkNormalize, &QCheckBox::toggled, spnNormalizeLufs, &QWidget::setEnabled);
  loudnessBar->addWidget(label("ReplayGain:", cbReplayGain));
  loudnessBar->addWidget(cbReplayGain);
  loudnessBar->addSpacing(12);
  loudnessBar->addWidget(chkNormalize);
  loudnessBar->addWidget(spnNormalizeLufs);
  loudnessBar->addStretch(1);
  column->addLayout(loudnessBar);

  ListBox1 = new TFileListBox(central);
  QFont listFont(QStringLiteral("Tahoma"));
  listFont.setPixelSize(19);
  ListBox1->setFont(listFont);
  ListBox1->header()->setFont(tahoma);
  column->addWidget(ListBox1, 1);

  btnDeleteFromFileList = new QPushButton(QStringLiteral("Delete Selected From List"), central);
  auto* deleteRow = new QHBoxLayout;
  deleteRow->addStretch(1);
  deleteRow->addWidget(btnDeleteFromFileList);
  column->addLayout(deleteRow);
  setCentralWidget(central);

  // Delete belongs to the list; the output folder's edit keeps its own.
  DeleteAction = new QAction(QStringLiteral("Delete"), ListBox1);
  DeleteAction->setShortcut(QKeySequence(QKeySequence::Delete));
  DeleteAction->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  ListBox1->addAction(DeleteAction);
  connect(DeleteAction, &QAction::triggered, this, [this] { DeleteSelected(); });
  // Window-wide; an edit with the focus takes Ctrl+A for its own text first.
  SelectAll1 = new QAction(QStringLiteral("Select All"), this);
  SelectAll1->setShortcut(QKeySequence(QKeySequence::SelectAll));
  addAction(SelectAll1);
  connect(SelectAll1, &QAction::triggered, ListBox1, &QTreeWidget::selectAll);

  const std::initializer_list<std::pair<QWidget*, const char*>> named = {
      {btnFileOpen, "Add files"},
      {btnAddFolder, "Add folder"},
      {btnClearFileList, "Clear list"},
      {cbKonvertTo, "Output format"},
      {cbBitrate, "Bitrate in kilobits per second"},
      {btnConvert, "Convert"},
      {OutputDirtxt, "Output folder"},
      {btnSelectDir, "Select output folder"},
      {btnOpenOutputFolder, "Open output folder"},
      {spnJobs, "Parallel jobs"},
      {cbExisting, "Existing outputs"},
      {chkKeepTree, "Keep folder tree"},
      {chkCarryTags, "Carry tags"},
      {chkVerify, "Read back outputs"},
      {edtNameTemplate, "File names"},
      {chkPortableNames, "Portable names"},
      {edtCopyFormats, "Copy as is"},
      {cbMaxRate, "Maximum sample rate"},
      {chkMirror, "Mirror into the output folder"},
      {cbReplayGain, "ReplayGain"},
      {chkNormalize, "Normalize"},
      {spnNormalizeLufs, "Normalize to, in LUFS"},
      {ListBox1, "Files to convert"},
      {btnDeleteFromFileList, "Delete selected from list"},
  };
  QWidget* previous = nullptr;
  for (const auto& [widget, name] : named) {
    widget->setAccessibleName(QString::fromUtf8(name));
    if (previous != nullptr) setTabOrder(previous, widget);
    previous = widget;
  }
  ProgressBar1->setAccessibleName(QStringLiteral("Batch progress"));
  cbReplayGain->setAccessibleDescription(kReplayGainTip);
  chkNormalize->setAccessibleDescription(kNormalizeTip);
  spnNormalizeLufs->setAccessibleDescription(kNormalizeTip);

  StatusBar1 = new QLabel(this);
  StatusBar1->setAccessibleName(QStringLiteral("Status"));
  statusBar()->addWidget(StatusBar1, 1);
  resize(769, 604);
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());

  connect(btnFileOpen, &QPushButton::clicked, FileOpen1, &QAction::trigger);
  connect(btnAddFolder, &QPushButton::clicked, FileAddFolder1, &QAction::trigger);
  connect(btnClearFileList, &QPushButton::clicked, this, [this] { btnClearFileListClick(); });
  connect(cbKonvertTo, qOverload<int>(&QComboBox::activated), this,
          [this](int) { cbKonvertToChange(); });
  connect(btnSelectDir, &QPushButton::clicked, this, [this] { btnSelectDirClick(); });
  connect(btnOpenOutputFolder, &QPushButton::clicked, this, [this] { OpenOutputFolderClick(); });
  connect(btnConvert, &QPushButton::clicked, this, [this] { btnConvertClick(); });
  connect(btnDeleteFromFileList, &QPushButton::clicked, this, [this] { DeleteSelected(); });
  connect(ListBox1, &QTreeWidget::itemDoubleClicked, this,
          [this](QTreeWidgetItem*, int) { DeleteSelected(); });
  ListBox1->OnDrop = [this](const std::vector<std::string>& names) { DragDrop1Drop(names); };

  // The preview follows typing after a pause, so tags and names are not worked out per key.
  FPreviewTimer = new QTimer(this);
  FPreviewTimer->setSingleShot(true);
  FPreviewTimer->setInterval(150);
  connect(FPreviewTimer, &QTimer::timeout, this, [this] { UpdatePreview(); });
  for (QLineEdit* edit : {edtNameTemplate, edtCopyFormats, OutputDirtxt})
    connect(edit, &QLineEdit::textChanged, this, [this] { SchedulePreview(); });
  for (QCheckBox* box : {chkPortableNames, chkKeepTree, chkMirror})
    connect(box, &QCheckBox::toggled, this, [this] { SchedulePreview(); });
  for (QComboBox* box : {cbKonvertTo, cbExisting})
    connect(box, &QComboBox::currentIndexChanged, this, [this] { SchedulePreview(); });
  // Rows added or removed change the numbering of names that collide.
  connect(ListBox1->model(), &QAbstractItemModel::rowsInserted, this,
          [this] { SchedulePreview(); });
  connect(ListBox1->model(), &QAbstractItemModel::rowsRemoved, this, [this] { SchedulePreview(); });

  TBatchConverter& c = *FConverter;
  c.OnStatusText = [this](const std::string& text) {
    StatusBar1->setText(QString::fromStdString(text));
  };
  // The bar shows the whole batch, however many files run at once.
  c.OnBatchProgress = [this](int percent) { ProgressBar1->setValue(percent); };
  c.OnControlsEnabled = [this](bool enabled) { SetStatus(enabled); };
  c.OnSelectEntry = [this](int index) {
    if (QTreeWidgetItem* entry = ListBox1->item(index)) ListBox1->setCurrentItem(entry);
  };
  c.OnEntryStarted = [this](int index) {
    ListBox1->SetState(index, TEntryState::Converting, QStringLiteral("Converting 0%"));
    if (QTreeWidgetItem* entry = ListBox1->item(index)) ListBox1->scrollToItem(entry);
  };
  c.OnEntryProgress = [this](int index, int percent) {
    ListBox1->SetState(index, TEntryState::Converting,
                       QStringLiteral("Converting %1%").arg(percent));
  };
  c.OnEntryFailed = [this](int index, const std::string& message) {
    EntryFailed(index, QString::fromStdString(message));
  };
  c.OnEntrySkipped = [this](int index, const std::string& reason) {
    const QString text = QString::fromStdString(reason);
    ListBox1->SetState(index, TEntryState::Skipped, QStringLiteral("Skipped: ") + text, text);
  };
  c.OnEntryNumbered = [this](int index, const std::string& output) {
    if (index >= 0 && index < static_cast<int>(FNumbered.size()))
      FNumbered[static_cast<size_t>(index)] = Shown(output);
  };
  c.OnEntryWarning = [this](int index, const std::string& warning) {
    if (index >= 0 && index < static_cast<int>(FWarnings.size()))
      FWarnings[static_cast<size_t>(index)] = QString::fromStdString(warning);
  };
  c.OnEntryLoudness = [this](int index, const TOutputLoudness& loudness) {
    ListBox1->SetLoudness(index, LoudnessText(loudness), LoudnessTooltip(loudness));
  };
  c.OnEntryDone = [this](int index, const std::string& output) {
    EntryDone(index, Shown(output), false);
  };
  c.OnEntryCopied = [this](int index, const std::string& output) {
    EntryDone(index, Shown(output), true);
  };
  c.OnEntryUnchanged = [this](int index, const std::string& output) {
    ListBox1->SetState(index, TEntryState::Unchanged, QStringLiteral("Unchanged"), Shown(output));
  };
  c.OnOutputRemoved = [this](const std::string&) { ++FRemoved; };
  c.OnEntryNotConverted = [this](int index) {
    ListBox1->SetState(index, TEntryState::NotConverted, QStringLiteral("Not converted"));
  };
  c.OnMessage = [this](const std::string& text) { ShowMessage(QString::fromStdString(text)); };
  c.OnBatchDone = [this] { BatchEnded(false); };

  WebUpdate1 = FWebUpdate.get();
  WebUpdate1->SetName("WebUpdate1");
  WebUpdate1->ProductInfo().SetVersion(Utf8ToUtf16(kTunevertVersion));
  WebUpdate1->ProductInfo().SetVersionFormat(TWuVersionFormat::vfStandard);
  WebUpdate1->ProductInfo().SetURL(Utf8ToUtf16(UpdateInfoPageURL()));
  WebUpdate1->SetOptions({TWuUpdateOption::uoRunUpdate});
  WebUpdate1->SetHTTPPort(80);
  WebUpdate1->ProcessMessages = [] { QCoreApplication::processEvents(); };
  WebUpdate1->TerminateApplication = [] { QCoreApplication::quit(); };
  WebUpdate1->InfoWindowFactory = [] { return CreateShowInfoUpdateWindow(); };
  using namespace std::placeholders;
  WebUpdate1->OnNoUpdateFound = [this](TComponent* s) { WebUpdate1NoUpdateFound(s); };
  WebUpdate1->OnUpdateAvailable =
      std::bind(&TForm1::WebUpdate1UpdateAvailable, this, _1, _2, _3, _4);
  WebUpdate1->OnBeforeShowInfo = std::bind(&TForm1::WebUpdate1BeforeShowInfo, this, _1, _2, _3);
  WebUpdate1->OnClientFileExists = std::bind(&TForm1::WebUpdate1ClientFileExists, this, _1, _2, _3);
  WebUpdate1->OnDownload = std::bind(&TForm1::WebUpdate1Download, this, _1, _2, _3);
  WebUpdate1->OnAfterDownload = std::bind(&TForm1::WebUpdate1AfterDownload, this, _1, _2);

  FormShow();
  LoadSettings();
}

TForm1::~TForm1() {
  // Stop a running batch while every widget its handlers touch still exists.
  FConverter->Cancel();
  FConverter.reset();
}

QString TForm1::DefaultOutputFolder() {
  QString music = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
  if (music.isEmpty()) music = QDir::homePath() + QStringLiteral("/Music");
  return music + QLatin1Char('/');
}

QString TForm1::CheckOutputFolder(const QString& Text, QString& Error) {
  QString folder = Text.trimmed();
  if (folder == QStringLiteral("~") || folder.startsWith(QStringLiteral("~/")))
    folder = QDir::homePath() + folder.mid(1);
  if (!QDir::isAbsolutePath(folder)) {
    Error = QStringLiteral(
                "The output folder \"%1\" is not a full path: type one that starts "
                "with / or choose one with Select")
                .arg(folder);
    return {};
  }
  folder = QDir::cleanPath(folder);
  if (!folder.endsWith(QLatin1Char('/'))) folder += QLatin1Char('/');
  const QFileInfo info(folder.chopped(1).isEmpty() ? folder : folder.chopped(1));
  if (info.exists() && !info.isDir()) {
    Error = QStringLiteral("The output folder \"%1\" is a file, not a folder").arg(folder);
    return {};
  }
  return folder;
}

QString TForm1::LoudnessText(const TOutputLoudness& Loudness) {
  if (Loudness.Track.Silent()) return QStringLiteral("silent");
  return QStringLiteral("%1 LUFS").arg(Loudness.Track.Integrated, 0, 'f', 2);
}

QString TForm1::LoudnessTooltip(const TOutputLoudness& Loudness) {
  const TLoudnessResult& track = Loudness.Track;
  QString tip = QStringLiteral("%1, range %2 LU, true peak %3 dBTP")
                    .arg(LoudnessText(Loudness))
                    .arg(track.Range, 0, 'f', 2)
                    .arg(PeakDecibels(track.TruePeak), 0, 'f', 2);
  if (Loudness.AppliedGainDb != 0) {
    tip += QStringLiteral("\ngain applied: %1%2 dB")
               .arg(Loudness.AppliedGainDb > 0 ? QStringLiteral("+") : QString())
               .arg(Loudness.AppliedGainDb, 0, 'f', 2);
    if (Loudness.PeakLimited) tip += QStringLiteral(" (limited by the peak)");
  }
  return tip;
}

void TForm1::btnSelectDirClick() {
  const QString folder =
      QFileDialog::getExistingDirectory(this, QStringLiteral("Select"), OutputDirtxt->text());
  if (!folder.isEmpty())
    OutputDirtxt->setText(folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/'));
}

void TForm1::btnConvertClick() {
  if (FConverter->Running()) {
    StopClick();
    return;
  }
  std::vector<TBatchSource> sources;
  for (int i = 0; i < ListBox1->count(); ++i) sources.push_back(ListBox1->Source(i));
  QString folder = OutputDirtxt->text().trimmed();
  // An empty list or folder gets the driver's own message.
  if (!folder.isEmpty() && !sources.empty()) {
    QString error;
    folder = CheckOutputFolder(folder, error);
    if (folder.isEmpty()) {
      ShowMessage(error);
      return;
    }
    OutputDirtxt->setText(folder);
  }
  QString optionsError;
  if (!CheckLibraryOptions(optionsError)) {
    ShowMessage(optionsError);
    return;
  }
  TBatchConverter& c = *FConverter;
  c.Jobs = spnJobs->value();
  c.Existing = static_cast<TExistingOutput>(std::clamp(cbExisting->currentIndex(), 0, 2));
  c.KeepTree = chkKeepTree->isChecked();
  c.CarryTags = chkCarryTags->isChecked();
  c.Verify = chkVerify->isChecked();
  c.NameTemplate = edtNameTemplate->text().trimmed().toStdString();
  c.PortableNames = chkPortableNames->isChecked();
  c.CopyFormats = ParseCopyFormats(edtCopyFormats->text(), optionsError);
  c.Mirror = chkMirror->isChecked();
  c.Settings.MaxSampleRate = cbMaxRate->currentText().toInt();  // "None" is 0
  c.ReplayGain = static_cast<TReplayGain>(std::clamp(cbReplayGain->currentIndex(), 0, 2));
  c.NormalizeLufs =
      chkNormalize->isChecked() ? std::optional<double>(spnNormalizeLufs->value()) : std::nullopt;
  SaveSettings();
  const std::string outputFolder = LocalName(folder);
  // A list or folder left empty gets ConvertSources' message instead of a summary.
  if (c.Mirror && !sources.empty() && !outputFolder.empty() &&
      !ConfirmMirror(sources, outputFolder))
    return;
  const int count = ListBox1->count();
  for (int i = 0; i < count; ++i)
    ListBox1->SetState(i, TEntryState::Waiting, QStringLiteral("Waiting"));
  ListBox1->ShowLoudness(false);
  FNumbered.assign(static_cast<size_t>(count), {});
  FWarnings.assign(static_cast<size_t>(count), {});
  FRemoved = 0;
  ProgressBar1->setValue(0);
  FBatchOutputFolder = outputFolder;
  if (!c.ConvertSources(std::move(sources), cbKonvertTo->currentText().toStdString(),
                        QualityChoice(), FBatchOutputFolder)) {
    for (int i = 0; i < count; ++i) ListBox1->SetState(i, TEntryState::Waiting, QString());
  }
}

void TForm1::StopClick() {
  if (!FConverter->Running()) return;
  FConverter->Cancel();
  BatchEnded(true);
}

void TForm1::BatchEnded(bool Stopped) {
  if (Stopped)
    StatusBar1->setText(QStringLiteral("Stopped: %1 of %2 files converted")
                            .arg(FConverter->ConvertedCount())
                            .arg(FConverter->Files().size()));
  if (FRemoved > 0) {
    const QString text = StatusBar1->text();
    StatusBar1->setText(
        text + (text.endsWith(QLatin1Char('!')) ? QStringLiteral(" ") : QStringLiteral("; ")) +
        (FRemoved == 1 ? QStringLiteral("1 output removed")
                       : QStringLiteral("%1 outputs removed").arg(FRemoved)));
  }
  SetStatus(true);
}

void TForm1::EntryFailed(int Index, const QString& Message) {
  ListBox1->SetState(Index, TEntryState::Failed, QStringLiteral("Failed: ") + Message, Message);
}

void TForm1::EntryDone(int Index, const QString& OutputFile, bool Copied) {
  const auto at = static_cast<size_t>(Index);
  const QString numbered = at < FNumbered.size() ? FNumbered[at] : QString();
  const QString warning = at < FWarnings.size() ? FWarnings[at] : QString();
  const QString done = Copied ? QStringLiteral("Copied") : QStringLiteral("Done");
  QString text =
      numbered.isEmpty() ? done : done + QStringLiteral(" as ") + QFileInfo(numbered).fileName();
  if (warning.isEmpty()) {
    ListBox1->SetState(Index, Copied ? TEntryState::Copied : TEntryState::Done, text, OutputFile);
    return;
  }
  ListBox1->SetState(Index, TEntryState::DoneWithWarning, text + QStringLiteral("; ") + warning,
                     OutputFile + QLatin1Char('\n') + warning);
}

void TForm1::SchedulePreview() {
  FPreviewTimer->start();
}

std::vector<std::string> TForm1::ParseCopyFormats(const QString& Text, QString& Error) {
  std::vector<std::string> ids;
  static const QRegularExpression separators(QStringLiteral("[\\s,;]+"));
  for (QString id : Text.split(separators, Qt::SkipEmptyParts)) {
    id = id.toLower();
    if (id.startsWith(QLatin1Char('.'))) id.remove(0, 1);
    // A caption or an extension names its format too: ".m4a", "mp4".
    const TFormatSpec* format = FindFormat(id.toStdString());
    if (format == nullptr) format = FormatForFile("name." + id.toStdString());
    if (format == nullptr || !format->Readable()) {
      Error = QStringLiteral("\"%1\" is not a format Tunevert reads; these are: %2")
                  .arg(id, ReadFormatIds());
      return {};
    }
    if (std::find(ids.begin(), ids.end(), format->Id) == ids.end()) ids.push_back(format->Id);
  }
  return ids;
}

void TForm1::MarkField(QLineEdit* Field, const QString& Error, const QString& Tip) {
  Field->setToolTip(Error.isEmpty() ? Tip : Error);
  Field->setStyleSheet(Error.isEmpty() ? QString() : kInvalidFieldStyle);
}

bool TForm1::CheckLibraryOptions(QString& Error) {
  QString templateError, copyError;
  const std::string text = edtNameTemplate->text().trimmed().toStdString();
  if (!text.empty()) {
    try {
      TNameTemplate checked(text);
    } catch (const EAuException& e) {
      templateError = QString::fromStdString(e.Message());
    }
  }
  ParseCopyFormats(edtCopyFormats->text(), copyError);
  MarkField(edtNameTemplate, templateError, kNameTemplateTip);
  MarkField(edtCopyFormats, copyError, kCopyFormatsTip.arg(ReadFormatIds()));
  Error = templateError.isEmpty() ? copyError : templateError;
  return Error.isEmpty();
}

void TForm1::UpdatePreview() {
  FPreviewTimer->stop();
  // During a batch the names on disk are its own outputs arriving.
  if (FConverter->Running()) return;
  QString error;
  const bool usable = CheckLibraryOptions(error);
  // The status line says what is wrong while it is.
  if (!usable) {
    StatusBar1->setText(error);
  } else if (FStatusShowsOptionsError) {
    StatusBar1->clear();
  }
  FStatusShowsOptionsError = !usable;
  const TFormatSpec* format = ChosenFormat();
  const int count = ListBox1->count();
  if (!usable || format == nullptr) {
    for (int i = 0; i < count; ++i) ListBox1->SetPreview(i, {});
    return;
  }
  QString folderError;
  const QString folder = CheckOutputFolder(OutputDirtxt->text(), folderError);
  TOutputPlanOptions options;
  // A folder that cannot be one yet still shows the names below it.
  options.OutputDir = folder.isEmpty() ? std::string("/") : LocalName(folder);
  options.Extension = format->Extension;
  options.KeepTree = chkKeepTree->isChecked();
  // A mirror replaces the outputs it wrote itself, so their names do not count as taken.
  options.Existing =
      folder.isEmpty() || chkMirror->isChecked()
          ? TExistingOutput::Overwrite
          : static_cast<TExistingOutput>(std::clamp(cbExisting->currentIndex(), 0, 2));
  options.NameTemplate = edtNameTemplate->text().trimmed().toStdString();
  options.PortableNames = chkPortableNames->isChecked();
  options.CopyFormats = ParseCopyFormats(edtCopyFormats->text(), error);
  std::vector<TBatchSource> sources;
  std::vector<TNameFields> fields;
  sources.reserve(static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) sources.push_back(ListBox1->Source(i));
  if (!options.NameTemplate.empty()) {
    const bool usesTags = TNameTemplate(options.NameTemplate).UsesTags();
    fields.reserve(sources.size());
    for (int i = 0; i < count; ++i)
      fields.push_back(usesTags ? ListBox1->NameFields(i)
                                : NameFieldsFor(sources[static_cast<size_t>(i)], {}));
  }
  std::vector<TPlannedOutput> plan;
  try {
    plan = PlanOutputs(sources, options, options.NameTemplate.empty() ? nullptr : &fields);
  } catch (const EAuException& e) {
    StatusBar1->setText(QString::fromStdString(e.Message()));
    return;
  }
  for (int i = 0; i < count && static_cast<size_t>(i) < plan.size(); ++i)
    ListBox1->SetPreview(i, BelowFolder(options.OutputDir, plan[static_cast<size_t>(i)].FinalName));
}

bool TForm1::ConfirmMirror(const std::vector<TBatchSource>& Sources,
                           const std::string& OutputFolder) {
  TBatchPreview preview;
  try {
    preview = FConverter->PreviewSources(Sources, cbKonvertTo->currentText().toStdString(),
                                         QualityChoice(), OutputFolder);
  } catch (const EAuException& e) {
    ShowMessage(QString::fromStdString(e.Message()));
    return false;
  }
  if (preview.Removals.empty()) return true;
  int convert = 0, copy = 0, unchanged = 0, skipped = 0;
  for (const TEntryPlan& entry : preview.Entries) {
    convert += entry.Action == TEntryAction::Convert;
    copy += entry.Action == TEntryAction::Copy;
    unchanged += entry.Action == TEntryAction::Leave;
    skipped += entry.Action == TEntryAction::Skip;
  }
  const auto removals = preview.Removals.size();
  QString summary = QStringLiteral("%1 to convert, %2 to copy, %3 unchanged, %4 to remove")
                        .arg(convert)
                        .arg(copy)
                        .arg(unchanged)
                        .arg(removals);
  if (skipped > 0) summary += QStringLiteral(", %1 skipped").arg(skipped);
  summary += QStringLiteral(".\n\nRemoved from %1:").arg(Shown(OutputFolder));
  for (size_t i = 0; i < std::min(removals, kRemovalsListed); ++i)
    summary += QStringLiteral("\n") + BelowFolder(OutputFolder, preview.Removals[i]);
  if (removals > kRemovalsListed)
    summary += QStringLiteral("\n... and %1 more").arg(removals - kRemovalsListed);
  return ConfirmRemovals(summary);
}

void TForm1::AddSources(const std::vector<TBatchSource>& Sources) {
  if (FConverter->Running()) return;
  ListBox1->AddEntries(Sources);
}

void TForm1::FileOpen1Accept(const QStringList& Names) {
  std::vector<TBatchSource> sources;
  for (const QString& name : Names) sources.push_back({LocalName(name), {}});
  AddSources(sources);
}

void TForm1::AddFolder1Accept(const QString& Folder) {
  AddSources(FolderSources(LocalName(Folder)));
}

void TForm1::DragDrop1Drop(const std::vector<std::string>& Names) {
  std::vector<TBatchSource> sources;
  for (const std::string& name : Names) {
    std::error_code ec;
    if (fs::is_directory(name, ec)) {
      for (TBatchSource& source : FolderSources(name)) sources.push_back(std::move(source));
    } else if (TZemc::CheckValidFileName(name)) {
      sources.push_back({name, {}});
    }
  }
  AddSources(sources);
}

void TForm1::AddPaths(const std::vector<std::string>& Paths) {
  std::vector<TBatchSource> sources;
  for (const std::string& path : Paths) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
      for (TBatchSource& source : FolderSources(path)) sources.push_back(std::move(source));
    } else {
      sources.push_back({path, {}});
    }
  }
  AddSources(sources);
}

void TForm1::DeleteSelected() {
  if (FConverter->Running()) return;
  qDeleteAll(ListBox1->selectedItems());
}

void TForm1::btnClearFileListClick() {
  if (FConverter->Running()) return;
  ListBox1->clear();
}

void TForm1::OpenOutputFolderClick() {
  if (!FBatchOutputFolder.empty()) ShellOpen(FolderUrl(FBatchOutputFolder).toString());
}

void TForm1::SetStatus(bool Enabled) {
  for (QWidget* w : std::initializer_list<QWidget*>{
           btnFileOpen, btnAddFolder, btnClearFileList, cbKonvertTo, cbBitrate, OutputDirtxt,
           btnSelectDir, btnDeleteFromFileList, spnJobs, cbExisting, chkKeepTree, chkCarryTags,
           chkVerify, edtNameTemplate, chkPortableNames, edtCopyFormats, cbMaxRate, chkMirror})
    w->setEnabled(Enabled);
  cbReplayGain->setEnabled(Enabled);
  chkNormalize->setEnabled(Enabled);
  spnNormalizeLufs->setEnabled(Enabled && chkNormalize->isChecked());
  for (QAction* a : {FileOpen1, FileAddFolder1, DeleteAction, ConvertAction})
    a->setEnabled(Enabled);
  StopAction->setEnabled(!Enabled);
  ListBox1->Locked = !Enabled;
  btnConvert->setText(Enabled ? QStringLiteral("Convert!") : QStringLiteral("Stop"));
  btnConvert->setAccessibleName(Enabled ? QStringLiteral("Convert") : QStringLiteral("Stop"));
  const bool canOpen = Enabled && !FBatchOutputFolder.empty();
  btnOpenOutputFolder->setEnabled(canOpen);
  OpenOutputFolder1->setEnabled(canOpen);
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (FConverter->Running()) {
    if (!AskQuestion(QStringLiteral("A conversion is running. Stop it and quit?"))) {
      event->ignore();
      return;
    }
    StopClick();
  }
  WebUpdate1->Abort();
  SaveSettings();
  QMainWindow::closeEvent(event);
}

void TForm1::UpdateExecute() {
  if constexpr (!TUNEVERT_SELF_UPDATE) {
    // A packaged copy is replaced by its package manager, never by an installer of ours.
    ShowMessage(QStringLiteral("Tunevert is updated through the system's package manager."));
    return;
  }
  UserUpdateClick = true;
  WebUpdate1->CheckForAnUpdate();
  // A page without a length never reaches its total: do not leave "Downloading.." up.
  if (frmMessage != nullptr) frmMessage->close();
  // A failed check says why instead of ending silently.
  if (!WebUpdate1->ErrorMessage().empty())
    ShowMessage(QStringLiteral("The update did not succeed: %1")
                    .arg(QString::fromStdString(WebUpdate1->ErrorMessage())));
}

void TForm1::WebUpdate1NoUpdateFound(TComponent*) {
  if (UserUpdateClick) ShowMessage(QStringLiteral("You are using the current version"));
}

void TForm1::WebUpdate1UpdateAvailable(TComponent*, const std::u16string&, const std::u16string&,
                                       bool& CanUpdate) {
  if (frmUpdate == nullptr) {
    CanUpdate = false;
    return;
  }
  frmUpdate->exec();
  CanUpdate = frmUpdate->CanUpdate;
}

void TForm1::WebUpdate1BeforeShowInfo(TComponent*, bool& ShowInfo, bool&) {
  ShowInfo = false;
}

void TForm1::WebUpdate1ClientFileExists(TComponent*, std::u16string&, bool& Overwrite) {
  Overwrite = true;
}

void TForm1::WebUpdate1Download(TComponent*, std::int32_t Total, std::int32_t Downloaded) {
  if (frmMessage == nullptr) return;
  frmMessage->panel_message->setText(QStringLiteral("Downloading.."));
  frmMessage->show();
  frmMessage->raise();
  frmMessage->ProgressBar1->setMaximum(Total);
  frmMessage->ProgressBar1->setValue(Downloaded);
  if (Total == Downloaded) frmMessage->close();
}

void TForm1::WebUpdate1AfterDownload(TComponent*, const std::u16string&) {
  if (frmMessage != nullptr) frmMessage->close();
}

}  // namespace tunevert
