#pragma once

#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <functional>

#include "app/BatchConverter.h"
#include "app/ZEMc.h"
#include "update/WebUpdate.h"

namespace tunevert {

class TfrmMessage;
class TfrmUpdate;

// The file list: accepts files dropped from the file manager.
class TFileListBox final : public QListWidget {
 public:
  explicit TFileListBox(QWidget* parent);
  // Full names of the dropped files, in the order the desktop gives them.
  std::function<void(const QStringList& Names)> OnDrop;

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
};

// The main window: the file list, the format, bitrate and folder choices, and the batch.
class TForm1 final : public QMainWindow {
 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // Message boxes go through here so tests can see them.
  std::function<void(const QString& Text)> ShowMessage;
  // Opening a web page; the desktop's opener by default.
  std::function<void(const QString& Url)> ShellOpen;

  bool UserUpdateClick = false;
  TZemc* ZEMFUNC = nullptr;  // the check is static; no instance is needed
  TBatchConverter* Converter() const { return FConverter.get(); }
  TWebUpdate* WebUpdate1 = nullptr;
  // The secondary windows, created after this one (by main, or by a test).
  TfrmMessage* frmMessage = nullptr;
  TfrmUpdate* frmUpdate = nullptr;

  QAction* FileOpen1;
  QAction* FileExit1;
  QAction* Action1;
  QAction* Update;
  QAction* Action3;
  QPushButton* btnFileOpen;
  QPushButton* btnClearFileList;
  QComboBox* cbKonvertTo;
  QLabel* lblBitrate;
  QComboBox* cbBitrate;
  QPushButton* btnConvert;
  QProgressBar* ProgressBar1;
  QLineEdit* OutputDirtxt;
  QPushButton* btnSelectDir;
  TFileListBox* ListBox1;
  QPushButton* btnDeleteFromFileList;
  QLabel* StatusBar1;

  void FormShow();
  void cbKonvertToChange();
  void btnSelectDirClick();
  void btnConvertClick();
  void FileOpen1Accept(const QStringList& Names);
  void DragDrop1Drop(const QStringList& Names);
  void DeleteSelected();
  void btnClearFileListClick();

  void UpdateExecute();
  void WebUpdate1NoUpdateFound(TComponent* Sender);
  void WebUpdate1UpdateAvailable(TComponent* Sender, const std::u16string& ActualVersion,
                                 const std::u16string& NewVersion, bool& CanUpdate);
  void WebUpdate1BeforeShowInfo(TComponent* Sender, bool& ShowInfo, bool& CheckForUpdate);
  void WebUpdate1ClientFileExists(TComponent* Sender, std::u16string& FileName, bool& Overwrite);
  void WebUpdate1Download(TComponent* Sender, std::int32_t Total, std::int32_t Downloaded);
  void WebUpdate1AfterDownload(TComponent* Sender, const std::u16string& FileName);

  static QString DefaultOutputFolder();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void SetStatus(bool Enabled);
  void MarkFailed(int Index, const QString& Message);

  TComponentPtr<TBatchConverter> FConverter;
  TComponentPtr<TWebUpdate> FWebUpdate;
};

}  // namespace tunevert
