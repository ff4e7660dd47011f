#pragma once

#include <QString>
#include <QStringList>
#include <QTreeWidget>
#include <QUrl>
#include <array>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/BatchPlan.h"
#include "app/NameTemplate.h"

namespace tunevert {

// A name is bytes; its QString only shows it, with U+FFFD for bytes that are not UTF-8.
QString Shown(const std::string& name);
// The bytes of a name Qt hands as text (a dialog's, a typed folder) or as a file URL.
std::string LocalName(const QString& path);
std::string LocalName(const QUrl& url);

// Where an entry of the list stands in the batch.
enum class TEntryState {
  Waiting,
  Converting,
  Done,
  DoneWithWarning,
  Skipped,
  Failed,
  NotConverted,
  Copied,     // byte for byte: done
  Unchanged,  // mirror: its output was up to date
};

// The file list: one row per source (name, folder, state, output name, the output's loudness);
// accepts files and folders dropped from the file manager.
class TFileListBox final : public QTreeWidget {
 public:
  enum Column { colFile, colFolder, colStatus, colPreview, colLoudness };

  explicit TFileListBox(QWidget* parent);
  ~TFileListBox() override;
  // Full names (bytes) of the dropped files and folders, in the order the desktop gives them.
  std::function<void(const std::vector<std::string>& Names)> OnDrop;
  // Drawn over an empty list.
  QString EmptyText = QStringLiteral("Drop audio files or folders here, or use Add Files");
  // While a batch runs the rows are its entries: nothing may be dropped in between.
  bool Locked = false;

  int count() const { return topLevelItemCount(); }
  QTreeWidgetItem* item(int Row) const { return topLevelItem(Row); }
  // A row keeps its file's name as bytes; the QStrings only show them (U+FFFD for bytes that
  // are not UTF-8), and no name is ever made from them.
  std::string LocalFileName(int Row) const;
  QString FileName(int Row) const;
  // Where the file was found below a folder the user added ("" or "a/b/").
  std::string LocalSubFolder(int Row) const;
  QString SubFolder(int Row) const;
  QStringList FileNames() const;
  // Appends the entries whose files are not listed yet; returns how many were added.
  int AddEntries(const std::vector<TBatchSource>& Sources);

  TBatchSource Source(int Row) const;
  // The row's tags as names can use them, read from its file the first time they are asked
  // for and kept with the row.
  const TNameFields& NameFields(int Row);
  // The output's name relative to the output folder, as the batch would write it.
  QString Preview(int Row) const;
  void SetPreview(int Row, const QString& Text);

  TEntryState State(int Row) const;
  QString StatusText(int Row) const;
  // Tooltip: the output's path, or the whole reason of a failure. A row's loudness stays only
  // while it converts or is done: any other state is about another output or none.
  void SetState(int Row, TEntryState State, const QString& Text, const QString& Tooltip = {});

  // The loudness column is there only while some row has a loudness: a loudness shows it; a
  // batch starting (which clears every row) and an emptied list hide it.
  void ShowLoudness(bool Show);
  bool LoudnessShown() const;
  QString Loudness(int Row) const;
  void SetLoudness(int Row, const QString& Text, const QString& Tooltip);

 protected:
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  std::array<QMetaObject::Connection, 2> FHideWhenEmpty;
};

}  // namespace tunevert
