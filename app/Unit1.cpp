#include "app/Unit1.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QScreen>
#include <QStandardPaths>
#include <QStatusBar>
#include <QUrl>
#include <QVBoxLayout>

#include "app/UMessage.h"
#include "app/Version.h"
#include "platform/Text.h"
#include "update/Update.h"
#include "update/WebUpdateInfo.h"

namespace tunevert {

namespace {

const QString kDonatePage = QStringLiteral("https://quorvel.example/donate");
const QString kHomePage = QStringLiteral("https://quorvel.example/");

QStringList Utf8List(std::initializer_list<const char*> items) {
  QStringList list;
  for (const char* item : items) list << QString::fromUtf8(item);
  return list;
}

QFont LargeFont() {
  QFont font(QStringLiteral("Tahoma"));
  font.setPixelSize(24);
  return font;
}

}  // namespace

TFileListBox::TFileListBox(QWidget* parent) : QListWidget(parent) {
  setAcceptDrops(true);
  setDragDropMode(QAbstractItemView::DropOnly);
}

void TFileListBox::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TFileListBox::dragMoveEvent(QDragMoveEvent* event) {
  if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TFileListBox::dropEvent(QDropEvent* event) {
  QStringList names;
  for (const QUrl& url : event->mimeData()->urls())
    if (url.isLocalFile()) names << url.toLocalFile();
  event->acceptProposedAction();
  if (OnDrop) OnDrop(names);
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
  ShellOpen = [](const QString& url) { QDesktopServices::openUrl(QUrl(url)); };

  // Menu.
  QMenu* fileMenu = menuBar()->addMenu(QStringLiteral("&File"));
  FileExit1 = fileMenu->addAction(QStringLiteral("E&xit"));
  FileExit1->setStatusTip(QStringLiteral("Quits the application"));
  connect(FileExit1, &QAction::triggered, this, &QWidget::close);
  QMenu* makerMenu = menuBar()->addMenu(QStringLiteral("&Quorvel Software Menu"));
  Action1 = makerMenu->addAction(QStringLiteral("&Donate"));
  connect(Action1, &QAction::triggered, this, [this] { ShellOpen(kDonatePage); });
  Update = makerMenu->addAction(QStringLiteral("&Update"));
  connect(Update, &QAction::triggered, this, [this] { UpdateExecute(); });
  Action3 = makerMenu->addAction(QStringLiteral("&Quorvel Soft Web Site"));
  connect(Action3, &QAction::triggered, this, [this] { ShellOpen(kHomePage); });

  // The open action is not on the menu: the button and Ctrl+O run it.
  FileOpen1 = new QAction(QStringLiteral("&Open..."), this);
  FileOpen1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  FileOpen1->setStatusTip(QStringLiteral("Opens an existing file"));
  addAction(FileOpen1);
  connect(FileOpen1, &QAction::triggered, this, [this] {
    const QStringList names = QFileDialog::getOpenFileNames(
        this, QStringLiteral("Open"), QString(),
        QStringLiteral("All Supported Formats (*.mp3 *.wav *.wma *.ogg *.flac);;"
                       "Mp3 Files (*.mp3);;Windows Media (*.wma);;PCM Audio (*.wav);;"
                       "Ogg Vorbis (*.ogg);;Flac (*.flac)"));
    if (!names.isEmpty()) FileOpen1Accept(names);
  });

  auto* central = new QWidget(this);
  auto* column = new QVBoxLayout(central);

  auto* firstBar = new QHBoxLayout;
  btnFileOpen = new QPushButton(QStringLiteral("Add Files"), central);
  btnClearFileList = new QPushButton(QStringLiteral("Clear List"), central);
  cbKonvertTo = new QComboBox(central);
  cbKonvertTo->addItems(Utf8List({".wma", ".wav", ".mp3"}));
  cbKonvertTo->setFont(LargeFont());
  cbKonvertTo->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  cbKonvertTo->setMinimumContentsLength(5);
  lblBitrate = new QLabel(QStringLiteral("Bitrate:"), central);
  cbBitrate = new QComboBox(central);
  cbBitrate->addItems(
      Utf8List({"48", "56", "64", "80", "96", "112", "128", "160", "192", "256", "320"}));
  cbBitrate->setFont(LargeFont());
  cbBitrate->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  cbBitrate->setMinimumContentsLength(4);
  btnConvert = new QPushButton(QStringLiteral("Convert!"), central);
  ProgressBar1 = new QProgressBar(central);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  firstBar->addWidget(btnFileOpen);
  firstBar->addWidget(btnClearFileList);
  firstBar->addWidget(new QLabel(QStringLiteral("Convert to:"), central));
  firstBar->addWidget(cbKonvertTo);
  firstBar->addWidget(lblBitrate);
  firstBar->addWidget(cbBitrate);
  firstBar->addWidget(btnConvert);
  firstBar->addWidget(ProgressBar1, 1);
  column->addLayout(firstBar);

  auto* secondBar = new QHBoxLayout;
  OutputDirtxt = new QLineEdit(central);
  OutputDirtxt->setReadOnly(true);
  btnSelectDir = new QPushButton(QStringLiteral("Select"), central);
  secondBar->addWidget(new QLabel(QStringLiteral("Output Directory:"), central));
  secondBar->addWidget(OutputDirtxt, 1);
  secondBar->addWidget(btnSelectDir);
  column->addLayout(secondBar);

  ListBox1 = new TFileListBox(central);
  QFont listFont(QStringLiteral("Tahoma"));
  listFont.setPixelSize(19);
  ListBox1->setFont(listFont);
  column->addWidget(ListBox1, 1);

  btnDeleteFromFileList = new QPushButton(QStringLiteral("Delete Selected From List"), central);
  auto* deleteRow = new QHBoxLayout;
  deleteRow->addStretch(1);
  deleteRow->addWidget(btnDeleteFromFileList);
  column->addLayout(deleteRow);
  setCentralWidget(central);

  StatusBar1 = new QLabel(this);
  statusBar()->addWidget(StatusBar1, 1);
  resize(769, 604);
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());

  connect(btnFileOpen, &QPushButton::clicked, FileOpen1, &QAction::trigger);
  connect(btnClearFileList, &QPushButton::clicked, this, [this] { btnClearFileListClick(); });
  connect(cbKonvertTo, qOverload<int>(&QComboBox::activated), this,
          [this](int) { cbKonvertToChange(); });
  connect(btnSelectDir, &QPushButton::clicked, this, [this] { btnSelectDirClick(); });
  connect(btnConvert, &QPushButton::clicked, this, [this] { btnConvertClick(); });
  connect(btnDeleteFromFileList, &QPushButton::clicked, this, [this] { DeleteSelected(); });
  connect(ListBox1, &QListWidget::itemDoubleClicked, this,
          [this](QListWidgetItem*) { DeleteSelected(); });
  ListBox1->OnDrop = [this](const QStringList& names) { DragDrop1Drop(names); };

  TBatchConverter& c = *FConverter;
  c.OnStatusText = [this](const std::string& text) {
    StatusBar1->setText(QString::fromStdString(text));
  };
  c.OnProgressPosition = [this](int position) { ProgressBar1->setValue(position); };
  c.OnControlsEnabled = [this](bool enabled) { SetStatus(enabled); };
  c.OnSelectEntry = [this](int index) { ListBox1->setCurrentRow(index); };
  c.OnEntryFailed = [this](int index, const std::string& message) {
    MarkFailed(index, QString::fromStdString(message));
  };
  c.OnEntryWarning = [this](int index, const std::string& message) {
    if (QListWidgetItem* item = ListBox1->item(index))
      item->setToolTip(QString::fromStdString(message));
  };
  c.OnMessage = [this](const std::string& text) { ShowMessage(QString::fromStdString(text)); };

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

void TForm1::FormShow() {
  cbBitrate->setCurrentIndex(7);
  cbKonvertTo->setCurrentIndex(2);
  UserUpdateClick = false;
  OutputDirtxt->setText(DefaultOutputFolder());
  lblBitrate->setVisible(true);
  cbBitrate->setVisible(true);
}

void TForm1::cbKonvertToChange() {
  const QString format = cbKonvertTo->currentText();
  const bool compressed = format == QStringLiteral(".mp3") || format == QStringLiteral(".wma");
  lblBitrate->setVisible(compressed);
  cbBitrate->setVisible(compressed);
}

void TForm1::btnSelectDirClick() {
  const QString folder =
      QFileDialog::getExistingDirectory(this, QStringLiteral("Select"), OutputDirtxt->text());
  if (!folder.isEmpty())
    OutputDirtxt->setText(folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/'));
}

void TForm1::btnConvertClick() {
  std::vector<std::string> files;
  for (int i = 0; i < ListBox1->count(); ++i) {
    QListWidgetItem* item = ListBox1->item(i);
    item->setForeground(QBrush());
    item->setToolTip(QString());
    files.push_back(item->text().toStdString());
  }
  FConverter->Convert(std::move(files), cbKonvertTo->currentText().toStdString(),
                      cbBitrate->currentText().toStdString(), OutputDirtxt->text().toStdString());
}

void TForm1::FileOpen1Accept(const QStringList& Names) {
  ListBox1->addItems(Names);
}

void TForm1::DragDrop1Drop(const QStringList& Names) {
  for (const QString& name : Names)
    if (TZemc::CheckValidFileName(name.toStdString())) ListBox1->addItem(name);
}

void TForm1::DeleteSelected() {
  const int row = ListBox1->currentRow();
  if (row < 0 || FConverter->Running()) return;
  delete ListBox1->takeItem(row);
}

void TForm1::btnClearFileListClick() {
  ListBox1->clear();
}

void TForm1::SetStatus(bool Enabled) {
  for (QWidget* w : std::initializer_list<QWidget*>{btnFileOpen, btnClearFileList, cbKonvertTo,
                                                    cbBitrate, btnConvert, OutputDirtxt,
                                                    btnSelectDir, ListBox1, btnDeleteFromFileList})
    w->setEnabled(Enabled);
  FileOpen1->setEnabled(Enabled);
}

void TForm1::MarkFailed(int Index, const QString& Message) {
  QListWidgetItem* item = ListBox1->item(Index);
  if (item == nullptr) return;
  item->setForeground(QBrush(QColor(0xE0, 0x40, 0x40)));
  item->setToolTip(Message);
}

void TForm1::closeEvent(QCloseEvent* event) {
  FConverter->Cancel();
  WebUpdate1->Abort();
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
