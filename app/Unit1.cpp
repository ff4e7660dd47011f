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
  c.OnEntryDone = [this](int index, const std::string& output) { EntryDone(index, Shown(output)); };
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
  for (int i = 0; i < ListBox1->count(); ++i)
    sources.push_back({ListBox1->LocalFileName(i), ListBox1->LocalSubFolder(i)});
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
  const int count = ListBox1->count();
  for (int i = 0; i < count; ++i)
    ListBox1->SetState(i, TEntryState::Waiting, QStringLiteral("Waiting"));
  FNumbered.assign(static_cast<size_t>(count), {});
  FWarnings.assign(static_cast<size_t>(count), {});
  ProgressBar1->setValue(0);
  TBatchConverter& c = *FConverter;
  c.Jobs = spnJobs->value();
  c.Existing = static_cast<TExistingOutput>(std::clamp(cbExisting->currentIndex(), 0, 2));
  c.KeepTree = chkKeepTree->isChecked();
  c.CarryTags = chkCarryTags->isChecked();
  c.Verify = chkVerify->isChecked();
  SaveSettings();
  FBatchOutputFolder = LocalName(folder);
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
  SetStatus(true);
}

void TForm1::EntryFailed(int Index, const QString& Message) {
  ListBox1->SetState(Index, TEntryState::Failed, QStringLiteral("Failed: ") + Message, Message);
}

void TForm1::EntryDone(int Index, const QString& OutputFile) {
  const auto at = static_cast<size_t>(Index);
  const QString numbered = at < FNumbered.size() ? FNumbered[at] : QString();
  const QString warning = at < FWarnings.size() ? FWarnings[at] : QString();
  QString text = numbered.isEmpty() ? QStringLiteral("Done")
                                    : QStringLiteral("Done as ") + QFileInfo(numbered).fileName();
  if (warning.isEmpty()) {
    ListBox1->SetState(Index, TEntryState::Done, text, OutputFile);
    return;
  }
  ListBox1->SetState(Index, TEntryState::DoneWithWarning, text + QStringLiteral("; ") + warning,
                     OutputFile + QLatin1Char('\n') + warning);
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
  for (QWidget* w :
       std::initializer_list<QWidget*>{btnFileOpen, btnAddFolder, btnClearFileList, cbKonvertTo,
                                       cbBitrate, OutputDirtxt, btnSelectDir, btnDeleteFromFileList,
                                       spnJobs, cbExisting, chkKeepTree, chkCarryTags, chkVerify})
    w->setEnabled(Enabled);
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
