#include "app/FileListBox.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QMimeData>
#include <QPainter>
#include <QSet>
#include <filesystem>

namespace tunevert {

namespace {

namespace fs = std::filesystem;

constexpr int kSubFolderRole = Qt::UserRole + 1;

// A row that keeps its source's name fields once they were read: tags are read once per file,
// not each time a name template is typed.
class TListEntry final : public QTreeWidgetItem {
 public:
  std::optional<TNameFields> Fields;
};

// The folder as a file manager shows it: the home folder as "~".
QString ShortFolder(const QString& folder) {
  const QString home = QDir::homePath();
  if (folder == home) return QStringLiteral("~");
  if (home.size() > 1 && folder.startsWith(home + QLatin1Char('/')))
    return QLatin1Char('~') + folder.mid(home.size());
  return folder;
}

}  // namespace

// A name is bytes; its QString only shows it, with U+FFFD for bytes that are not UTF-8.
QString Shown(const std::string& name) {
  return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

namespace {

// Qt hands names as text (dialogs, typed folders, file URLs it built from text), and text has
// lost the bytes that are not UTF-8. Where such a name is not on disk, each of its parts that
// shows U+FFFD is matched against its folder's entries as they show; a part that matches one
// entry only is that entry.
std::string FindShownName(const std::string& bytes) {
  std::error_code ec;
  if (bytes.find("\xEF\xBF\xBD") == std::string::npos || fs::exists(fs::symlink_status(bytes, ec)))
    return bytes;
  fs::path found;
  for (const fs::path& part : fs::path(bytes)) {
    fs::path next = found / part;
    const QString shown = Shown(part.string());
    if (shown.contains(QChar(0xFFFD)) && !fs::exists(fs::symlink_status(next, ec))) {
      int matches = 0;
      fs::directory_iterator it(found.empty() ? fs::path(".") : found, ec);
      for (; !ec && it != fs::directory_iterator(); it.increment(ec))
        if (Shown(it->path().filename().string()) == shown && ++matches == 1)
          next = found / it->path().filename();
      if (matches != 1) next = found / part;
    }
    found = std::move(next);
  }
  return found.string();
}

}  // namespace

std::string LocalName(const QString& path) {
  return FindShownName(path.toStdString());
}

// A file URL's path carries a name's bytes percent-encoded, whatever they are.
std::string LocalName(const QUrl& url) {
  const QString host = url.host();
  if (!host.isEmpty() && host != QStringLiteral("localhost")) return LocalName(url.toLocalFile());
  return FindShownName(
      QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()).toStdString());
}

TFileListBox::TFileListBox(QWidget* parent) : QTreeWidget(parent) {
  setColumnCount(5);
  setHeaderLabels({QStringLiteral("File"), QStringLiteral("Folder"), QStringLiteral("Status"),
                   QStringLiteral("Preview"), QStringLiteral("Loudness")});
  setRootIsDecorated(false);
  setUniformRowHeights(true);
  setAllColumnsShowFocus(true);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  // The ends of long paths are what tells folders apart.
  setTextElideMode(Qt::ElideMiddle);
  header()->setStretchLastSection(false);
  header()->setSectionResizeMode(colFile, QHeaderView::Interactive);
  header()->setSectionResizeMode(colFolder, QHeaderView::Interactive);
  header()->setSectionResizeMode(colStatus, QHeaderView::Interactive);
  header()->setSectionResizeMode(colLoudness, QHeaderView::Interactive);
  // Output names hold folders of their own: they get what the other columns leave.
  header()->setSectionResizeMode(colPreview, QHeaderView::Stretch);
  // The output's name reads next to the source's folder; the state stays at the right edge,
  // the loudness just before it.
  header()->moveSection(colPreview, colStatus);
  header()->moveSection(header()->visualIndex(colLoudness), header()->visualIndex(colStatus));
  setColumnHidden(colLoudness, true);
  header()->resizeSection(colFile, 200);
  header()->resizeSection(colFolder, 150);
  header()->resizeSection(colStatus, 175);
  setAcceptDrops(true);
  setDragDropMode(QAbstractItemView::DropOnly);
  // clear() resets the model; deleting rows removes them.
  const auto hideWhenEmpty = [this] {
    if (count() == 0) ShowLoudness(false);
  };
  FHideWhenEmpty = {connect(model(), &QAbstractItemModel::rowsRemoved, this, hideWhenEmpty),
                    connect(model(), &QAbstractItemModel::modelReset, this, hideWhenEmpty)};
}

TFileListBox::~TFileListBox() {
  // The base class's destructor still removes the rows.
  for (const QMetaObject::Connection& connection : FHideWhenEmpty) disconnect(connection);
}

std::string TFileListBox::LocalFileName(int Row) const {
  const QTreeWidgetItem* entry = item(Row);
  return entry == nullptr ? std::string()
                          : entry->data(colFile, Qt::UserRole).toByteArray().toStdString();
}

std::string TFileListBox::LocalSubFolder(int Row) const {
  const QTreeWidgetItem* entry = item(Row);
  return entry == nullptr ? std::string()
                          : entry->data(colFile, kSubFolderRole).toByteArray().toStdString();
}

QString TFileListBox::FileName(int Row) const {
  return Shown(LocalFileName(Row));
}

QString TFileListBox::SubFolder(int Row) const {
  return Shown(LocalSubFolder(Row));
}

QStringList TFileListBox::FileNames() const {
  QStringList names;
  for (int i = 0; i < count(); ++i) names << FileName(i);
  return names;
}

int TFileListBox::AddEntries(const std::vector<TBatchSource>& Sources) {
  QSet<QByteArray> listed;
  for (int i = 0; i < count(); ++i) listed.insert(QByteArray::fromStdString(LocalFileName(i)));
  QList<QTreeWidgetItem*> added;
  for (const TBatchSource& source : Sources) {
    std::error_code ec;
    fs::path path = fs::absolute(source.File, ec).lexically_normal();
    if (!path.has_filename() && path.has_relative_path()) path = path.parent_path();
    const QByteArray file = QByteArray::fromStdString(path.string());
    if (listed.contains(file)) continue;
    listed.insert(file);
    auto* entry = new TListEntry;
    entry->setText(colFile, Shown(path.filename().string()));
    entry->setText(colFolder, ShortFolder(Shown(path.parent_path().string())));
    entry->setData(colFile, Qt::UserRole, file);
    entry->setData(colFile, kSubFolderRole, QByteArray::fromStdString(source.SubFolder));
    entry->setData(colStatus, Qt::UserRole, static_cast<int>(TEntryState::Waiting));
    entry->setToolTip(colFile, Shown(path.string()));
    entry->setToolTip(colFolder, Shown(path.string()));
    added << entry;
  }
  addTopLevelItems(added);
  return static_cast<int>(added.size());
}

TBatchSource TFileListBox::Source(int Row) const {
  return {LocalFileName(Row), LocalSubFolder(Row)};
}

const TNameFields& TFileListBox::NameFields(int Row) {
  // Every row is made by AddEntries.
  auto* entry = static_cast<TListEntry*>(item(Row));
  if (!entry->Fields) entry->Fields = ReadNameFields(Source(Row));
  return *entry->Fields;
}

QString TFileListBox::Preview(int Row) const {
  const QTreeWidgetItem* entry = item(Row);
  return entry == nullptr ? QString() : entry->text(colPreview);
}

void TFileListBox::SetPreview(int Row, const QString& Text) {
  QTreeWidgetItem* entry = item(Row);
  if (entry == nullptr || entry->text(colPreview) == Text) return;
  entry->setText(colPreview, Text);
  entry->setToolTip(colPreview, Text);
}

TEntryState TFileListBox::State(int Row) const {
  const QTreeWidgetItem* entry = item(Row);
  return entry == nullptr ? TEntryState::Waiting
                          : static_cast<TEntryState>(entry->data(colStatus, Qt::UserRole).toInt());
}

QString TFileListBox::StatusText(int Row) const {
  const QTreeWidgetItem* entry = item(Row);
  return entry == nullptr ? QString() : entry->text(colStatus);
}

void TFileListBox::SetState(int Row, TEntryState State, const QString& Text,
                            const QString& Tooltip) {
  QTreeWidgetItem* entry = item(Row);
  if (entry == nullptr) return;
  entry->setData(colStatus, Qt::UserRole, static_cast<int>(State));
  entry->setText(colStatus, Text);
  entry->setToolTip(colStatus, Tooltip);
  const QString file = FileName(Row);
  entry->setToolTip(colFile, Tooltip.isEmpty() ? file : file + QLatin1Char('\n') + Tooltip);
  if (State != TEntryState::Converting && State != TEntryState::Done &&
      State != TEntryState::DoneWithWarning)
    SetLoudness(Row, {}, {});
  QBrush brush;
  if (State == TEntryState::Failed) brush = QBrush(QColor(0xE0, 0x40, 0x40));
  if (State == TEntryState::DoneWithWarning) brush = QBrush(QColor(0xD0, 0x90, 0x20));
  for (int column = 0; column < columnCount(); ++column) entry->setForeground(column, brush);
}

void TFileListBox::ShowLoudness(bool Show) {
  if (Show == LoudnessShown()) return;
  setColumnHidden(colLoudness, !Show);
  // Wide enough for "-88.88 LUFS" in the list's font, which is set after construction.
  if (Show)
    header()->resizeSection(colLoudness,
                            fontMetrics().horizontalAdvance(QStringLiteral("-88.88 LUFS")) + 16);
}

bool TFileListBox::LoudnessShown() const {
  return !isColumnHidden(colLoudness);
}

QString TFileListBox::Loudness(int Row) const {
  const QTreeWidgetItem* entry = item(Row);
  return entry == nullptr ? QString() : entry->text(colLoudness);
}

void TFileListBox::SetLoudness(int Row, const QString& Text, const QString& Tooltip) {
  QTreeWidgetItem* entry = item(Row);
  if (entry == nullptr) return;
  entry->setText(colLoudness, Text);
  entry->setToolTip(colLoudness, Tooltip);
  if (!Text.isEmpty()) ShowLoudness(true);
}

void TFileListBox::dragEnterEvent(QDragEnterEvent* event) {
  if (!Locked && event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TFileListBox::dragMoveEvent(QDragMoveEvent* event) {
  if (!Locked && event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TFileListBox::dropEvent(QDropEvent* event) {
  if (Locked) return;
  std::vector<std::string> names;
  for (const QUrl& url : event->mimeData()->urls())
    if (url.isLocalFile()) names.push_back(LocalName(url));
  event->acceptProposedAction();
  if (OnDrop) OnDrop(names);
}

void TFileListBox::paintEvent(QPaintEvent* event) {
  QTreeWidget::paintEvent(event);
  if (count() > 0 || EmptyText.isEmpty()) return;
  QPainter painter(viewport());
  painter.setPen(palette().color(QPalette::PlaceholderText));
  painter.drawText(viewport()->rect().adjusted(16, 16, -16, -16),
                   Qt::AlignCenter | Qt::TextWordWrap, EmptyText);
}

}  // namespace tunevert
