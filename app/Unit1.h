#pragma once

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStringList>
#include <QTimer>
#include <QTreeWidget>
#include <functional>

#include "app/BatchConverter.h"
#include "app/FileListBox.h"
#include "app/ZEMc.h"
#include "update/WebUpdate.h"

namespace tunevert {

class TfrmMessage;
class TfrmUpdate;

// The main window: the file list, the format, bitrate and folder choices, and the batch.
class TForm1 final : public QMainWindow {
 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // Message boxes go through here so tests can see them.
  std::function<void(const QString& Text)> ShowMessage;
  // A yes/no question; true for yes.
  std::function<bool(const QString& Text)> AskQuestion;
  // Opening a web page or a folder; the desktop's opener by default.
  std::function<void(const QString& Url)> ShellOpen;
  // What a mirrored batch would remove, before it starts; true goes ahead.
  std::function<bool(const QString& Summary)> ConfirmRemovals;

  bool UserUpdateClick = false;
  TZemc* ZEMFUNC = nullptr;  // the check is static; no instance is needed
  TBatchConverter* Converter() const { return FConverter.get(); }
  TWebUpdate* WebUpdate1 = nullptr;
  // The secondary windows, created after this one (by main, or by a test).
  TfrmMessage* frmMessage = nullptr;
  TfrmUpdate* frmUpdate = nullptr;

  QAction* FileOpen1;
  QAction* FileAddFolder1;
  QAction* OpenOutputFolder1;
  QAction* FileExit1;
  QAction* ConvertAction;  // Ctrl+Return
  QAction* StopAction;     // Esc
  QAction* SelectAll1;
  QAction* DeleteAction;
  QAction* Action1;
  QAction* Update;
  QAction* Action3;
  QPushButton* btnFileOpen;
  QPushButton* btnAddFolder;
  QPushButton* btnClearFileList;
  QComboBox* cbKonvertTo;
  QLabel* lblBitrate;
  QComboBox* cbBitrate;
  QPushButton* btnConvert;
  QProgressBar* ProgressBar1;
  QLineEdit* OutputDirtxt;
  QPushButton* btnSelectDir;
  QPushButton* btnOpenOutputFolder;
  QSpinBox* spnJobs;
  QComboBox* cbExisting;  // in TExistingOutput's order
  QCheckBox* chkKeepTree;
  QCheckBox* chkCarryTags;
  QCheckBox* chkVerify;
  QLineEdit* edtNameTemplate;  // "" names each output after its source
  QCheckBox* chkPortableNames;
  QLineEdit* edtCopyFormats;  // format ids: "mp3, ogg"
  QComboBox* cbMaxRate;       // "None", then the rates in Hz
  QCheckBox* chkMirror;
  QComboBox* cbReplayGain;  // in TReplayGain's order
  QCheckBox* chkNormalize;
  QSpinBox* spnNormalizeLufs;  // the target, LUFS; used while chkNormalize is checked
  TFileListBox* ListBox1;
  QPushButton* btnDeleteFromFileList;
  QLabel* StatusBar1;

  void FormShow();
  void cbKonvertToChange();
  // What the control beside the format offers, as its format declares it: bitrates (and
  // V0..V9 for MP3), a quality or a level; nothing for WAV.
  static QStringList ChoicesFor(const QString& Format);
  void btnSelectDirClick();
  // Starts the batch, or stops the running one.
  void btnConvertClick();
  void StopClick();
  void FileOpen1Accept(const QStringList& Names);
  void AddFolder1Accept(const QString& Folder);
  void DragDrop1Drop(const std::vector<std::string>& Names);
  // Files and folders named on the command line (bytes): files as given, folders expanded.
  void AddPaths(const std::vector<std::string>& Paths);
  void DeleteSelected();
  void btnClearFileListClick();
  void OpenOutputFolderClick();

  void LoadSettings();
  void SaveSettings() const;

  void UpdateExecute();
  void WebUpdate1NoUpdateFound(TComponent* Sender);
  void WebUpdate1UpdateAvailable(TComponent* Sender, const std::u16string& ActualVersion,
                                 const std::u16string& NewVersion, bool& CanUpdate);
  void WebUpdate1BeforeShowInfo(TComponent* Sender, bool& ShowInfo, bool& CheckForUpdate);
  void WebUpdate1ClientFileExists(TComponent* Sender, std::u16string& FileName, bool& Overwrite);
  void WebUpdate1Download(TComponent* Sender, std::int32_t Total, std::int32_t Downloaded);
  void WebUpdate1AfterDownload(TComponent* Sender, const std::u16string& FileName);

  // The open dialog's name filters: every format the batch reads, then one per format.
  static QString OpenFileFilter();
  static QString DefaultOutputFolder();
  // The output folder as typed, made absolute and ending with '/'; empty with Error set when
  // it cannot be one.
  static QString CheckOutputFolder(const QString& Text, QString& Error);
  // The loudness column's text and tooltip for an output's loudness.
  static QString LoudnessText(const TOutputLoudness& Loudness);
  static QString LoudnessTooltip(const TOutputLoudness& Loudness);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void SetStatus(bool Enabled);
  void EntryFailed(int Index, const QString& Message);
  void EntryDone(int Index, const QString& OutputFile, bool Copied);
  void AddSources(const std::vector<TBatchSource>& Sources);
  void BatchEnded(bool Stopped);
  // The preview column fills after a pause in typing (SchedulePreview), or now.
  void SchedulePreview();
  void UpdatePreview();
  // The ids of the formats typed ("MP3, .ogg" -> mp3, ogg); empty with Error set when one is
  // not a format read.
  static std::vector<std::string> ParseCopyFormats(const QString& Text, QString& Error);
  // The name template and copy list, checked; the first problem in Error and the field that
  // has it marked.
  bool CheckLibraryOptions(QString& Error);
  static void MarkField(QLineEdit* Field, const QString& Error, const QString& Tip);
  // Mirror: what the batch will do, shown for confirming when it removes files. False when
  // the batch must not start.
  bool ConfirmMirror(const std::vector<TBatchSource>& Sources, const std::string& OutputFolder);

  TComponentPtr<TBatchConverter> FConverter;
  TComponentPtr<TWebUpdate> FWebUpdate;
  std::string FBatchOutputFolder;             // the folder of the batch that ran last
  std::vector<QString> FNumbered, FWarnings;  // per entry of the running batch
  // The bitrate text for the driver; the other choices go into its settings.
  const TFormatSpec* ChosenFormat() const;
  // The quality list's text for the batch; "" where the format offers none.
  std::string QualityChoice() const;
  QString FChoicesFormat;
  QHash<QString, QString> FChoiceByFormat;
  QTimer* FPreviewTimer = nullptr;
  int FRemoved = 0;  // outputs the running batch removed
  bool FStatusShowsOptionsError = false;
};

// The application's names, set once at start (main, and tests that need them).
void NameApplication();

}  // namespace tunevert
