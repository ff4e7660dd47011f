#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QImage>
#include <QMimeData>
#include <QRegularExpression>
#include <QSet>
#include <QSettings>
#include <QTest>
#include <QUrl>
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "AppTestFiles.h"
#include "PipelineFakes.h"
#include "app/UMessage.h"
#include "app/Unit1.h"
#include "tags/TagLibModule.h"
#include "winmedia/wmfintf.h"

// Failures show texts as text.
inline void PrintTo(const QString& Text, std::ostream* Out) {
  *Out << '"' << Text.toStdString() << '"';
}

using namespace tunevert;
using namespace tunevert::testing;
namespace fs = std::filesystem;

namespace {

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

// Every test starts from an empty configuration folder of its own.
class MainWindow : public ::testing::Test {
 protected:
  MainWindow() {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, Q(Config.Path.string()));
    // As the program does at start: MP3 and WMA outputs are read back through it.
    LoadWMRuntime(TUNEVERT_WMVCORE_DIR, false);
  }
  TempDir Config;
};

// A file manager's URL for a name of any bytes: the bytes percent-encoded.
QUrl FileUrl(const std::string& path) {
  return QUrl::fromEncoded("file://" + QByteArray::fromStdString(path).toPercentEncoding("/"));
}

void DropUrls(QWidget* target, const QList<QUrl>& urls) {
  QMimeData mime;
  mime.setUrls(urls);
  const QPoint at = target->rect().center();
  QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(target, &enter);
  QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  if (enter.isAccepted()) QApplication::sendEvent(target, &drop);
}

void Drop(QWidget* target, const QStringList& paths) {
  QList<QUrl> urls;
  for (const QString& path : paths) urls << QUrl::fromLocalFile(path);
  DropUrls(target, urls);
}

std::vector<std::string> FileNamesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void Touch(const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  WriteAll(path, {1, 2, 3});
}

int CountIn(const TFileListBox* list, TEntryState state) {
  int n = 0;
  for (int i = 0; i < list->count(); ++i) n += list->State(i) == state;
  return n;
}

// Unfinished outputs are hidden files beside the final ones.
void ExpectNoTemporaryFiles(const std::string& folder) {
  for (const auto& e : fs::recursive_directory_iterator(folder))
    if (e.path().filename().string().front() == '.') ADD_FAILURE() << "left behind: " << e.path();
}

void SetFormat(TForm1& form, const char* format) {
  form.cbKonvertTo->setCurrentIndex(form.cbKonvertTo->findText(QString::fromUtf8(format)));
  form.cbKonvertToChange();
}

// A tenth of a second of silence in FLAC, tagged by ffmpeg.
void MakeTaggedFlac(const std::string& path,
                    const std::vector<std::pair<std::string, std::string>>& tags) {
  fs::create_directories(fs::path(path).parent_path());
  std::string command =
      "ffmpeg -nostdin -v error -f lavfi -i anullsrc=r=44100:cl=stereo -t 0.1 -c:a flac";
  for (const auto& [key, value] : tags) command += " -metadata " + Quoted(key + "=" + value);
  ASSERT_EQ(std::system((command + " " + Quoted(path)).c_str()), 0) << path;
}

// What Read gives once it is Expected, or at the timeout, for the comparison to show; the
// toolkit's QTRY macros would fail without telling the test framework.
QString Eventually(const std::function<QString()>& Read, const QString& Expected) {
  static_cast<void>(QTest::qWaitFor([&] { return Read() == Expected; }, 5000));
  return Read();
}

void ReplaceText(QLineEdit* edit, const char* text) {
  edit->setFocus();
  edit->selectAll();
  QTest::keyClick(edit, Qt::Key_Delete);
  QTest::keyClicks(edit, QString::fromUtf8(text));
}

QList<QWidget*> BatchOptionControls(const TForm1& form) {
  return {form.edtNameTemplate, form.chkPortableNames, form.edtCopyFormats, form.cbMaxRate,
          form.chkMirror,       form.cbReplayGain,     form.chkNormalize,   form.spnNormalizeLufs};
}

}  // namespace

TEST_F(MainWindow, DefaultsAtFirstStartAndTheExactTitle) {
  TForm1 form;
  form.show();
  EXPECT_EQ(form.cbKonvertTo->currentText(), QStringLiteral(".mp3"));
  EXPECT_EQ(form.cbBitrate->currentText(), QStringLiteral("160"));
  EXPECT_EQ(form.OutputDirtxt->text(), TForm1::DefaultOutputFolder());
  EXPECT_TRUE(form.lblBitrate->isVisible());
  EXPECT_FALSE(form.UserUpdateClick);
  EXPECT_EQ(form.spnJobs->value(), TBatchConverter::DefaultJobs());
  EXPECT_EQ(form.cbExisting->currentIndex(), static_cast<int>(TExistingOutput::Overwrite));
  EXPECT_FALSE(form.chkKeepTree->isChecked());
  EXPECT_TRUE(form.chkCarryTags->isChecked());
  EXPECT_TRUE(form.chkVerify->isChecked());
  EXPECT_FALSE(form.btnOpenOutputFolder->isEnabled());
  EXPECT_TRUE(form.edtNameTemplate->text().isEmpty());
  EXPECT_FALSE(form.chkPortableNames->isChecked());
  EXPECT_TRUE(form.edtCopyFormats->text().isEmpty());
  EXPECT_EQ(form.cbMaxRate->currentText(), QStringLiteral("None"));
  EXPECT_FALSE(form.chkMirror->isChecked());
  EXPECT_EQ(form.cbReplayGain->currentText(), QStringLiteral("Off"));
  EXPECT_FALSE(form.chkNormalize->isChecked());
  EXPECT_EQ(form.spnNormalizeLufs->value(), -18);
  EXPECT_FALSE(form.spnNormalizeLufs->isEnabled());
  EXPECT_FALSE(form.ListBox1->LoudnessShown());
  const QString title = QStringLiteral("Tunevert 1.3 - by Quorvel Software");
  EXPECT_EQ(form.windowTitle(), title);
  ASSERT_NE(form.windowHandle(), nullptr);
  EXPECT_EQ(form.windowHandle()->title(), title);
}

TEST_F(MainWindow, TheControlBesideTheFormatOffersWhatItTakes) {
  TForm1 form;
  form.show();
  struct Expected {
    const char *Format, *Label, *Default, *First, *Last;
  };
  for (const Expected& e :
       {Expected{".flac", "Level:", "5", "0", "8"}, Expected{".mp3", "Bitrate:", "160", "48", "V9"},
        Expected{".ogg", "Quality:", "5", "-1", "10"},
        Expected{".opus", "Bitrate:", "128", "6", "256"},
        Expected{".wma", "Bitrate:", "160", "48", "320"}}) {
    SetFormat(form, e.Format);
    EXPECT_TRUE(form.cbBitrate->isVisible()) << e.Format;
    EXPECT_EQ(form.lblBitrate->text(), QString::fromUtf8(e.Label)) << e.Format;
    EXPECT_EQ(form.cbBitrate->currentText(), QString::fromUtf8(e.Default)) << e.Format;
    EXPECT_EQ(form.cbBitrate->itemText(0), QString::fromUtf8(e.First)) << e.Format;
    EXPECT_EQ(form.cbBitrate->itemText(form.cbBitrate->count() - 1), QString::fromUtf8(e.Last));
  }
  SetFormat(form, ".wav");
  EXPECT_FALSE(form.lblBitrate->isVisible());
  EXPECT_FALSE(form.cbBitrate->isVisible());
  // A choice stays with its format while the window is open.
  SetFormat(form, ".mp3");
  form.cbBitrate->setCurrentIndex(form.cbBitrate->findText(QStringLiteral("V2")));
  SetFormat(form, ".flac");
  SetFormat(form, ".mp3");
  EXPECT_EQ(form.cbBitrate->currentText(), QStringLiteral("V2"));
}

TEST_F(MainWindow, ConvertsToTheNewFormatsWithTheirChoices) {
  TempDir dir;
  const auto pcm = RampPcm(20000, 2, 16);
  WriteWav(dir / "a.wav", pcm, 2, 16, 44100);
  TForm1 form;
  form.show();
  form.OutputDirtxt->setText(Q(dir / "out"));
  form.FileOpen1Accept({Q(dir / "a.wav")});
  for (const char* format : {".flac", ".opus"}) {
    SetFormat(form, format);
    QTest::mouseClick(form.btnConvert, Qt::LeftButton);
    ASSERT_TRUE(PumpUntil([&] { return !form.Converter()->Running(); }, 30000));
    EXPECT_EQ(form.StatusBar1->text(), QStringLiteral("Done!")) << format;
  }
  ASSERT_EQ(
      std::system(
          ("flac -d -s -f -o '" + (dir / "dec.wav") + "' '" + (dir / "out/a.flac") + "'").c_str()),
      0);
  EXPECT_EQ(WavPayload(dir / "dec.wav"), pcm);
  EXPECT_EQ(ProbeAudio(dir / "out/a.opus").substr(0, 13), "opus,48000,2,");
}

TEST_F(MainWindow, EmptyListShowsTheMessageAndTheHint) {
  TForm1 form;
  form.show();
  QStringList shown;
  form.ShowMessage = [&](const QString& text) { shown << text; };
  QTest::mouseClick(form.btnConvert, Qt::LeftButton);
  ASSERT_EQ(shown.size(), 1);
  EXPECT_EQ(shown[0],
            QStringLiteral("You have to select a output folder and have some files to convert"));
  EXPECT_FALSE(form.Converter()->Running());

  // The hint is painted on the empty list only: an empty viewport is otherwise one colour.
  EXPECT_EQ(form.ListBox1->EmptyText,
            QStringLiteral("Drop audio files or folders here, or use Add Files"));
  auto colours = [&] {
    const QImage image = form.ListBox1->viewport()->grab().toImage();
    QSet<QRgb> seen;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) seen.insert(image.pixel(x, y));
    return seen.size();
  };
  EXPECT_GT(colours(), 1);
  form.ListBox1->EmptyText.clear();
  EXPECT_EQ(colours(), 1);
}

TEST_F(MainWindow, DropsAndFoldersAreFilteredSortedAndNotListedTwice) {
  TForm1 form;
  form.show();
  Drop(form.ListBox1->viewport(),
       {QStringLiteral("/m/a.mp3"), QStringLiteral("/m/b.txt"), QStringLiteral("/m/d.FLAC"),
        QStringLiteral("/m/folder"), QStringLiteral("/m/x.mp3.bak"), QStringLiteral("/m/a.mp3")});
  EXPECT_EQ(form.ListBox1->FileNames(),
            (QStringList{QStringLiteral("/m/a.mp3"), QStringLiteral("/m/d.FLAC")}));
  EXPECT_EQ(form.ListBox1->item(1)->text(TFileListBox::colFile), QStringLiteral("d.FLAC"));
  EXPECT_EQ(form.ListBox1->item(1)->text(TFileListBox::colFolder), QStringLiteral("/m"));
  form.FileOpen1Accept(
      {QStringLiteral("/m//./d.FLAC"), QDir::homePath() + QStringLiteral("/M/x.ogg")});
  EXPECT_EQ(form.ListBox1->count(), 3);
  EXPECT_EQ(form.ListBox1->item(2)->text(TFileListBox::colFolder), QStringLiteral("~/M"));

  TempDir dir;
  for (const char* name : {"root/b.wav", "root/a.MP3", "root/sub/deeper/c.flac", "root/sub/x.txt",
                           "root/.hidden/h.wav", "root/sub/.d.ogg", "other/z.ogg"})
    Touch(dir / name);
  const QString root = Q(dir / "root");
  const QStringList expected = {root + QStringLiteral("/a.MP3"), root + QStringLiteral("/b.wav"),
                                root + QStringLiteral("/sub/deeper/c.flac")};
  form.btnClearFileListClick();
  Drop(form.ListBox1->viewport(), {Q(dir / "other/z.ogg"), root, Q(dir / "root/b.wav")});
  EXPECT_EQ(form.ListBox1->FileNames(), QStringList{Q(dir / "other/z.ogg")} + expected);
  EXPECT_EQ(form.ListBox1->SubFolder(3), QStringLiteral("sub/deeper/"));
  form.AddFolder1Accept(root + QStringLiteral("/sub"));  // already listed
  EXPECT_EQ(form.ListBox1->count(), 4);
}

TEST_F(MainWindow, FilesAndFoldersFromTheCommandLine) {
  TempDir dir;
  Touch(dir / "music/one.wav");
  Touch(dir / "music/cd2/two.flac");
  Touch(dir / "notes.txt");
  const QString before = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(Q(dir.Path.string())));
  TForm1 form;
  // Relative names are the caller's: they are made full against the current folder.
  form.AddPaths({"music", "notes.txt", "music/one.wav"});
  QDir::setCurrent(before);
  EXPECT_EQ(
      form.ListBox1->FileNames(),
      (QStringList{Q(dir / "music/cd2/two.flac"), Q(dir / "music/one.wav"), Q(dir / "notes.txt")}));
}

// Names in Latin-1 arrive dropped, from the folder dialog (as text, their bytes shown as
// U+FFFD) and on the command line; each row converts the file of its bytes.
TEST_F(MainWindow, NamesThatAreNotUtf8AreShownReplacedAndConvertedByTheirBytes) {
  TempDir dir;
  const auto pcm = RampPcm(3000, 2, 16);
  const std::string dropped = dir / "caf\xE9.wav";
  const std::string folder = dir / "d\xE9j\xE0";
  const std::string argument = dir / "cr\xE8me.wav";
  fs::create_directories(folder);
  for (const std::string& path : {dropped, folder + "/vu\xFF.wav", argument})
    WriteWav(path, pcm, 2, 16, 44100);
  TForm1 form;
  form.show();
  SetFormat(form, ".wav");
  form.OutputDirtxt->setText(Q(dir / "out"));
  DropUrls(form.ListBox1->viewport(), {FileUrl(dropped)});
  form.AddFolder1Accept(QString::fromUtf8(folder));
  form.AddPaths({argument});
  ASSERT_EQ(form.ListBox1->count(), 3);
  const QChar replaced(0xFFFD);
  EXPECT_EQ(form.ListBox1->item(0)->text(TFileListBox::colFile),
            QStringLiteral("caf") + replaced + QStringLiteral(".wav"));
  EXPECT_EQ(form.ListBox1->item(1)->text(TFileListBox::colFile),
            QStringLiteral("vu") + replaced + QStringLiteral(".wav"));
  EXPECT_TRUE(form.ListBox1->item(1)
                  ->text(TFileListBox::colFolder)
                  .endsWith(QStringLiteral("/d") + replaced + QStringLiteral("j") + replaced));

  form.btnConvertClick();
  ASSERT_TRUE(PumpUntil([&] { return !form.Converter()->Running(); }, 30000));
  EXPECT_EQ(CountIn(form.ListBox1, TEntryState::Done), 3)
      << form.ListBox1->StatusText(0).toStdString();
  const std::vector<std::string> outputs = {"caf\xE9.wav", "cr\xE8me.wav", "vu\xFF.wav"};
  EXPECT_EQ(FileNamesIn(dir / "out"), outputs);
  for (const std::string& name : outputs) EXPECT_EQ(WavPayload(dir / ("out/" + name)), pcm);
}

TEST_F(MainWindow, DeleteDoubleClickAndClear) {
  TForm1 form;
  form.show();
  form.FileOpen1Accept({QStringLiteral("/t/1.wav"), QStringLiteral("/t/2.wav"),
                        QStringLiteral("/t/3.wav"), QStringLiteral("/t/4.txt")});
  form.ListBox1->clearSelection();
  QTest::mouseClick(form.btnDeleteFromFileList, Qt::LeftButton);
  EXPECT_EQ(form.ListBox1->count(), 4);  // nothing selected: nothing happens
  form.ListBox1->setCurrentItem(form.ListBox1->item(1));
  QTest::mouseClick(form.btnDeleteFromFileList, Qt::LeftButton);
  EXPECT_EQ(form.ListBox1->FileNames(),
            (QStringList{QStringLiteral("/t/1.wav"), QStringLiteral("/t/3.wav"),
                         QStringLiteral("/t/4.txt")}));
  const QRect first = form.ListBox1->visualItemRect(form.ListBox1->item(0));
  QTest::mouseClick(form.ListBox1->viewport(), Qt::LeftButton, {}, first.center());
  QTest::mouseDClick(form.ListBox1->viewport(), Qt::LeftButton, {}, first.center());
  EXPECT_EQ(form.ListBox1->FileNames(),
            (QStringList{QStringLiteral("/t/3.wav"), QStringLiteral("/t/4.txt")}));
  QTest::mouseClick(form.btnClearFileList, Qt::LeftButton);
  EXPECT_EQ(form.ListBox1->count(), 0);
  QTest::mouseClick(form.btnClearFileList, Qt::LeftButton);
  EXPECT_EQ(form.ListBox1->count(), 0);
}

TEST_F(MainWindow, EveryEntryShowsItsResultAndTheBarEndsAtOneHundred) {
  TempDir dir;
  WriteWav(dir / "good.wav", RampPcm(200000, 2, 16), 2, 16, 44100);
  WriteAll(dir / "corrupt.wav", std::vector<uint8_t>(3000, 0x5A));
  WriteWav(dir / "kept.wav", RampPcm(1000, 2, 16), 2, 16, 44100);
  Touch(dir / "out/kept.wav");
  TForm1 form;
  form.show();
  QStringList shown, opened;
  form.ShowMessage = [&](const QString& text) { shown << text; };
  form.ShellOpen = [&](const QString& url) { opened << url; };
  SetFormat(form, ".wav");
  form.cbExisting->setCurrentIndex(static_cast<int>(TExistingOutput::Skip));
  form.OutputDirtxt->setText(Q(dir / "out"));
  form.FileOpen1Accept({Q(dir / "good.wav"), Q(dir / "corrupt.wav"), Q(dir / "kept.wav")});
  QTest::mouseClick(form.btnConvert, Qt::LeftButton);
  EXPECT_TRUE(form.Converter()->Running());
  EXPECT_EQ(form.btnConvert->text(), QStringLiteral("Stop"));
  EXPECT_TRUE(form.btnConvert->isEnabled());
  EXPECT_FALSE(form.btnAddFolder->isEnabled());
  EXPECT_FALSE(form.spnJobs->isEnabled());
  for (QWidget* control : BatchOptionControls(form))
    EXPECT_FALSE(control->isEnabled()) << control->accessibleName().toStdString();
  ASSERT_TRUE(PumpUntil([&] { return !form.Converter()->Running(); }, 30000));
  EXPECT_TRUE(shown.isEmpty()) << shown.join(QLatin1Char('\n')).toStdString();
  EXPECT_EQ(form.OutputDirtxt->text(), Q(dir / "out/"));  // as the batch used it
  EXPECT_EQ(form.btnConvert->text(), QStringLiteral("Convert!"));
  EXPECT_EQ(form.StatusBar1->text(), QStringLiteral("Done! 1 of 3 files failed"));
  EXPECT_EQ(form.ProgressBar1->value(), 100);

  const TFileListBox* list = form.ListBox1;
  EXPECT_EQ(list->State(0), TEntryState::Done);
  EXPECT_EQ(list->item(0)->toolTip(TFileListBox::colStatus), Q(dir / "out/good.wav"));
  EXPECT_EQ(WavPayload(dir / "out/good.wav"), RampPcm(200000, 2, 16));
  EXPECT_EQ(list->State(1), TEntryState::Failed);
  EXPECT_TRUE(list->StatusText(1).startsWith(QStringLiteral("Failed: ")));
  EXPECT_FALSE(list->item(1)->toolTip(TFileListBox::colStatus).isEmpty());
  EXPECT_EQ(list->State(2), TEntryState::Skipped);
  EXPECT_TRUE(list->StatusText(2).startsWith(QStringLiteral("Skipped: ")));
  EXPECT_EQ(ReadAll(dir / "out/kept.wav"), (std::vector<uint8_t>{1, 2, 3}));

  ASSERT_TRUE(form.btnOpenOutputFolder->isEnabled());
  QTest::mouseClick(form.btnOpenOutputFolder, Qt::LeftButton);
  EXPECT_EQ(opened, QStringList{QUrl::fromLocalFile(Q(dir / "out/")).toString()});
}

TEST_F(MainWindow, FolderTreeKeptOrNamesNumbered) {
  TempDir dir;
  for (const char* name : {"in/a/song.wav", "in/b/song.wav"}) {
    fs::create_directories(fs::path(dir / name).parent_path());
    WriteWav(dir / name, RampPcm(2000, 2, 16), 2, 16, 44100);
  }
  for (bool keepTree : {true, false}) {
    SCOPED_TRACE(keepTree);
    const std::string out = dir / (keepTree ? "tree/" : "flat/");
    TForm1 form;
    SetFormat(form, ".wav");
    form.chkKeepTree->setChecked(keepTree);
    form.OutputDirtxt->setText(Q(out));
    form.AddFolder1Accept(Q(dir / "in"));
    ASSERT_EQ(form.ListBox1->count(), 2);
    form.btnConvertClick();
    ASSERT_TRUE(PumpUntil([&] { return !form.Converter()->Running(); }, 30000));
    EXPECT_EQ(CountIn(form.ListBox1, TEntryState::Done), 2);
    if (keepTree) {
      EXPECT_TRUE(fs::exists(out + "a/song.wav"));
      EXPECT_TRUE(fs::exists(out + "b/song.wav"));
    } else {
      EXPECT_EQ(form.ListBox1->StatusText(1), QStringLiteral("Done as song (2).wav"));
      EXPECT_TRUE(fs::exists(out + "song (2).wav"));
    }
  }
}

TEST_F(MainWindow, StopMidBatchKeepsFinishedOutputsAndLeavesNoTemporaryFile) {
  if (TBatchConverter::DefaultJobs() < 2) GTEST_SKIP() << "needs two cores";
  TempDir dir;
  WriteWav(dir / "a.wav", RampPcm(4000, 2, 16), 2, 16, 44100);
  for (const char* name : {"b.wav", "c.wav", "d.wav"})
    WriteWav(dir / name, RampPcm(44100 * 40, 2, 16), 2, 16, 44100);
  TForm1 form;
  form.show();
  form.spnJobs->setValue(2);
  form.OutputDirtxt->setText(Q(dir / "out/"));
  form.FileOpen1Accept({Q(dir / "a.wav"), Q(dir / "b.wav"), Q(dir / "c.wav"), Q(dir / "d.wav")});
  form.btnConvertClick();
  // Two files running at once, each with a percentage of its own.
  ASSERT_TRUE(PumpUntil(
      [&] {
        return form.ListBox1->State(0) == TEntryState::Done &&
               CountIn(form.ListBox1, TEntryState::Converting) == 2 &&
               form.ListBox1->StatusText(1) != QStringLiteral("Converting 0%");
      },
      60000));
  EXPECT_EQ(form.ListBox1->State(3), TEntryState::Waiting);
  const int bar = form.ProgressBar1->value();
  EXPECT_GE(bar, 25);
  EXPECT_LT(bar, 100);

  QTest::mouseClick(form.btnConvert, Qt::LeftButton);  // "Stop"
  EXPECT_FALSE(form.Converter()->Running());
  EXPECT_EQ(form.btnConvert->text(), QStringLiteral("Convert!"));
  EXPECT_EQ(form.StatusBar1->text(), QStringLiteral("Stopped: 1 of 4 files converted"));
  for (int i = 1; i < 4; ++i) EXPECT_EQ(form.ListBox1->State(i), TEntryState::NotConverted);
  DrainEvents();
  ExpectNoTemporaryFiles(dir / "out");
  // Complete: every source frame, plus at most the encoder's delay and padding.
  const size_t frames = DecodedFrames(dir / "out/a.mp3", 2);
  EXPECT_GE(frames, 4000u);
  EXPECT_LE(frames, 4000u + 2 * 1152u);
  for (const char* name : {"b.mp3", "c.mp3", "d.mp3"})
    EXPECT_FALSE(fs::exists(dir / ("out/" + std::string(name))));
  EXPECT_TRUE(form.btnOpenOutputFolder->isEnabled());
}

TEST_F(MainWindow, ClosingDuringABatchAsksFirst) {
  TempDir dir;
  WriteWav(dir / "a.wav", RampPcm(44100 * 40, 2, 16), 2, 16, 44100);
  QStringList asked;
  bool answer = false;
  {
    TForm1 form;
    form.show();
    form.AskQuestion = [&](const QString& text) {
      asked << text;
      return answer;
    };
    form.OutputDirtxt->setText(Q(dir / "out/"));
    form.FileOpen1Accept({Q(dir / "a.wav")});
    form.btnConvertClick();
    ASSERT_TRUE(form.Converter()->Running());
    EXPECT_FALSE(form.close());
    EXPECT_EQ(asked, QStringList{QStringLiteral("A conversion is running. Stop it and quit?")});
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(form.Converter()->Running());
    answer = true;
    EXPECT_TRUE(form.close());
    EXPECT_FALSE(form.Converter()->Running());
    EXPECT_EQ(form.ListBox1->State(0), TEntryState::NotConverted);
  }
  EXPECT_EQ(asked.size(), 2);
  ExpectNoTemporaryFiles(dir / "out");
  EXPECT_FALSE(fs::exists(dir / "out/a.mp3"));

  TForm1 idle;
  idle.show();
  idle.AskQuestion = [&](const QString& text) {
    asked << text;
    return false;
  };
  EXPECT_TRUE(idle.close());
  EXPECT_EQ(asked.size(), 2);  // nothing to ask about
}

TEST_F(MainWindow, OutputFolderIsTypedAndCheckedBeforeTheBatch) {
  TempDir dir;
  WriteWav(dir / "a.wav", RampPcm(2000, 2, 16), 2, 16, 44100);
  Touch(dir / "afile");
  TForm1 form;
  form.show();
  EXPECT_FALSE(form.OutputDirtxt->isReadOnly());
  QStringList shown;
  form.ShowMessage = [&](const QString& text) { shown << text; };
  SetFormat(form, ".wav");
  form.FileOpen1Accept({Q(dir / "a.wav")});
  for (const std::string& bad : {std::string("relative/out"), dir / "afile", dir / "afile/x"}) {
    SCOPED_TRACE(bad);
    shown.clear();
    form.OutputDirtxt->setText(Q(bad));
    form.btnConvertClick();
    EXPECT_EQ(shown.size(), 1);
    EXPECT_FALSE(form.Converter()->Running());
    EXPECT_TRUE(form.ListBox1->StatusText(0).isEmpty());
  }
  // Typed, with spaces around it and no closing slash, three levels deep.
  shown.clear();
  form.OutputDirtxt->setText(QStringLiteral("  ") + Q(dir / "x/y/z") + QStringLiteral(" "));
  form.btnConvertClick();
  ASSERT_TRUE(PumpUntil([&] { return !form.Converter()->Running(); }, 30000));
  EXPECT_TRUE(shown.isEmpty());
  EXPECT_TRUE(fs::exists(dir / "x/y/z/a.wav"));
  QString error;
  EXPECT_EQ(TForm1::CheckOutputFolder(QStringLiteral("~/Out"), error),
            QDir::homePath() + QStringLiteral("/Out/"));
  EXPECT_EQ(TForm1::CheckOutputFolder(QStringLiteral("/a/./b//"), error), QStringLiteral("/a/b/"));
}

TEST_F(MainWindow, ChoicesAreRememberedInTheConfigFolder) {
  QSize saved;
  {
    TForm1 form;
    form.show();
    // Each format's choice is kept, not only the last format's.
    SetFormat(form, ".m4a");
    form.cbBitrate->setCurrentText(QStringLiteral("256"));
    SetFormat(form, ".mp3");
    form.cbBitrate->setCurrentText(QStringLiteral("V3"));
    SetFormat(form, ".flac");
    form.cbBitrate->setCurrentIndex(2);
    form.OutputDirtxt->setText(QStringLiteral("/srv/music/out/"));
    form.spnJobs->setValue(1);
    form.cbExisting->setCurrentIndex(static_cast<int>(TExistingOutput::Rename));
    form.chkKeepTree->setChecked(true);
    form.chkCarryTags->setChecked(false);
    form.chkVerify->setChecked(false);
    form.edtNameTemplate->setText(QStringLiteral("{artist}/{title}"));
    form.chkPortableNames->setChecked(true);
    form.edtCopyFormats->setText(QStringLiteral("mp3, opus"));
    form.cbMaxRate->setCurrentText(QStringLiteral("48000"));
    form.chkMirror->setChecked(true);
    form.cbReplayGain->setCurrentText(QStringLiteral("Album"));
    form.chkNormalize->setChecked(true);
    form.spnNormalizeLufs->setValue(-14);
    form.resize(700, 520);
    saved = form.size();
    EXPECT_TRUE(form.close());
  }
  EXPECT_TRUE(fs::exists(Config.Path / "tunevert/tunevert.conf"));
  {
    TForm1 form;
    EXPECT_EQ(form.cbKonvertTo->currentText(), QStringLiteral(".flac"));
    EXPECT_EQ(form.lblBitrate->text(), QStringLiteral("Level:"));
    EXPECT_EQ(form.cbBitrate->currentText(), QStringLiteral("2"));
    EXPECT_EQ(form.OutputDirtxt->text(), QStringLiteral("/srv/music/out/"));
    EXPECT_EQ(form.spnJobs->value(), 1);
    EXPECT_EQ(form.cbExisting->currentIndex(), static_cast<int>(TExistingOutput::Rename));
    EXPECT_TRUE(form.chkKeepTree->isChecked());
    EXPECT_FALSE(form.chkCarryTags->isChecked());
    EXPECT_FALSE(form.chkVerify->isChecked());
    EXPECT_EQ(form.edtNameTemplate->text(), QStringLiteral("{artist}/{title}"));
    EXPECT_TRUE(form.chkPortableNames->isChecked());
    EXPECT_EQ(form.edtCopyFormats->text(), QStringLiteral("mp3, opus"));
    EXPECT_EQ(form.cbMaxRate->currentText(), QStringLiteral("48000"));
    EXPECT_TRUE(form.chkMirror->isChecked());
    EXPECT_EQ(form.cbReplayGain->currentText(), QStringLiteral("Album"));
    EXPECT_TRUE(form.chkNormalize->isChecked());
    EXPECT_EQ(form.spnNormalizeLufs->value(), -14);
    EXPECT_TRUE(form.spnNormalizeLufs->isEnabled());
    EXPECT_EQ(form.size(), saved);
    SetFormat(form, ".m4a");
    EXPECT_EQ(form.cbBitrate->currentText(), QStringLiteral("256"));
    SetFormat(form, ".mp3");
    EXPECT_EQ(form.cbBitrate->currentText(), QStringLiteral("V3"));
    SetFormat(form, ".opus");  // never chosen: its default
    EXPECT_EQ(form.cbBitrate->currentText(), QStringLiteral("128"));
    SetFormat(form, ".flac");
    form.spnJobs->setValue(form.spnJobs->maximum());
    form.SaveSettings();
  }
  // "Every core" is kept as such, not as this machine's count.
  QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("tunevert"),
                     QStringLiteral("tunevert"));
  EXPECT_EQ(settings.value(QStringLiteral("jobs")).toInt(), 0);
  settings.setValue(QStringLiteral("format"), QStringLiteral(".aac"));  // not an output
  settings.sync();
  EXPECT_EQ(TForm1().cbKonvertTo->currentText(), QStringLiteral(".mp3"));
}

TEST_F(MainWindow, KeyboardShortcuts) {
  TempDir dir;
  WriteWav(dir / "long.wav", RampPcm(44100 * 40, 2, 16), 2, 16, 44100);
  TForm1 form;
  form.show();
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  QStringList shown;
  form.ShowMessage = [&](const QString& text) { shown << text; };
  form.FileOpen1Accept(
      {QStringLiteral("/k/1.wav"), QStringLiteral("/k/2.wav"), QStringLiteral("/k/3.wav")});
  form.OutputDirtxt->setFocus();
  QTest::keyClick(form.OutputDirtxt, Qt::Key_A, Qt::ControlModifier);
  EXPECT_TRUE(form.ListBox1->selectedItems().isEmpty());  // the edit's own select-all
  form.ListBox1->setFocus();
  QTest::keyClick(form.ListBox1, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(form.ListBox1->selectedItems().size(), 3);
  QTest::keyClick(form.ListBox1, Qt::Key_Delete);
  EXPECT_EQ(form.ListBox1->count(), 0);

  form.OutputDirtxt->setText(Q(dir / "out/"));
  form.FileOpen1Accept({Q(dir / "long.wav")});
  QTest::keyClick(form.ListBox1, Qt::Key_Return, Qt::ControlModifier);
  EXPECT_TRUE(form.Converter()->Running());
  QTest::keyClick(form.ListBox1, Qt::Key_Delete);  // the batch's entries stay
  EXPECT_EQ(form.ListBox1->count(), 1);
  QTest::keyClick(form.ListBox1, Qt::Key_Escape);
  EXPECT_FALSE(form.Converter()->Running());
  EXPECT_EQ(form.ListBox1->State(0), TEntryState::NotConverted);
  EXPECT_TRUE(shown.isEmpty());
  QTest::keyClick(form.ListBox1, Qt::Key_Q, Qt::ControlModifier);
  EXPECT_FALSE(form.isVisible());
}

TEST_F(MainWindow, EveryControlIsReachedWithTabAndNamed) {
  TForm1 form;
  form.show();
  const QList<QWidget*> controls = {
      form.btnFileOpen,      form.btnAddFolder,   form.btnClearFileList,
      form.cbKonvertTo,      form.cbBitrate,      form.btnConvert,
      form.OutputDirtxt,     form.btnSelectDir,   form.btnOpenOutputFolder,
      form.spnJobs,          form.cbExisting,     form.chkKeepTree,
      form.chkCarryTags,     form.chkVerify,      form.edtNameTemplate,
      form.chkPortableNames, form.edtCopyFormats, form.cbMaxRate,
      form.chkMirror,        form.cbReplayGain,   form.chkNormalize,
      form.spnNormalizeLufs, form.ListBox1,       form.btnDeleteFromFileList};
  form.btnOpenOutputFolder->setEnabled(true);
  QList<QWidget*> reached;
  QWidget* w = form.btnFileOpen;
  do {
    // A spin box hands its focus to its edit: the box is the control.
    QWidget* control = w;
    if (QWidget* up = w->parentWidget(); up != nullptr && up->focusProxy() == w) control = up;
    if ((w->focusPolicy() & Qt::TabFocus) && w->isVisibleTo(&form) && w->focusProxy() == nullptr &&
        (reached.isEmpty() || reached.back() != control))
      reached << control;
    w = w->nextInFocusChain();
  } while (w != form.btnFileOpen);
  EXPECT_EQ(reached, controls);
  for (QWidget* control : controls)
    EXPECT_FALSE(control->accessibleName().isEmpty()) << control->metaObject()->className();
  for (QWidget* control : BatchOptionControls(form))
    EXPECT_FALSE(control->toolTip().isEmpty()) << control->accessibleName().toStdString();
  for (QWidget* control :
       std::initializer_list<QWidget*>{form.cbReplayGain, form.chkNormalize, form.spnNormalizeLufs})
    EXPECT_FALSE(control->accessibleDescription().isEmpty())
        << control->accessibleName().toStdString();
}

// Every extension the batch reads, in either letter case, is taken from a drop and offered
// by the open dialog in its first filter and in exactly one of its own; nothing else is.
TEST_F(MainWindow, EveryReadableExtensionIsTakenFromADropAndOfferedToOpen) {
  const QStringList extensions = {
      QStringLiteral("mp3"), QStringLiteral("wav"),  QStringLiteral("wma"),
      QStringLiteral("ogg"), QStringLiteral("flac"), QStringLiteral("opus"),
      QStringLiteral("m4a"), QStringLiteral("mp4"),  QStringLiteral("aac"),
      QStringLiteral("aif"), QStringLiteral("aiff"), QStringLiteral("aifc"),
      QStringLiteral("wv"),  QStringLiteral("ape")};
  const QStringList filters = TForm1::OpenFileFilter().split(QStringLiteral(";;"));
  auto patternsOf = [](const QString& filter) {
    const qsizetype open = filter.indexOf(QLatin1Char('('));
    return filter.mid(open + 1, filter.lastIndexOf(QLatin1Char(')')) - open - 1)
        .split(QLatin1Char(' '), Qt::SkipEmptyParts);
  };
  // As the dialog matches names: the file's own name by wildcard, letter case ignored.
  auto offers = [&](const QString& filter, const QString& path) {
    const QString name = QFileInfo(path).fileName();
    for (const QString& pattern : patternsOf(filter))
      if (QRegularExpression(QRegularExpression::wildcardToRegularExpression(pattern),
                             QRegularExpression::CaseInsensitiveOption)
              .match(name)
              .hasMatch())
        return true;
    return false;
  };
  ASSERT_GT(filters.size(), 1);
  QStringList dropped, taken;
  QSet<QString> ownPatterns;
  for (const QString& ext : extensions) {
    SCOPED_TRACE(ext.toStdString());
    const QString lower = QStringLiteral("/m/song.") + ext;
    const QString upper = QStringLiteral("/m/SONG.") + ext.toUpper();
    dropped << lower << upper << lower + QStringLiteral(".part");
    taken << lower << upper;
    EXPECT_TRUE(offers(filters[0], upper));
    int own = 0;
    for (qsizetype i = 1; i < filters.size(); ++i) own += offers(filters[i], lower);
    EXPECT_EQ(own, 1);
  }
  for (qsizetype i = 1; i < filters.size(); ++i)
    for (const QString& pattern : patternsOf(filters[i])) ownPatterns.insert(pattern);
  const QStringList all = patternsOf(filters[0]);
  EXPECT_EQ(all.size(), extensions.size()) << filters[0].toStdString();
  EXPECT_EQ(QSet<QString>(all.begin(), all.end()), ownPatterns);
  for (const char* other : {"/m/song.m4b", "/m/song.mka", "/m/song.mp2", "/m/song.txt"}) {
    dropped << QString::fromUtf8(other);
    EXPECT_FALSE(offers(filters[0], QString::fromUtf8(other))) << other;
  }

  TForm1 form;
  form.show();
  Drop(form.ListBox1->viewport(), dropped);
  EXPECT_EQ(form.ListBox1->FileNames(), taken);
}

// A non-default choice beside each format reaches its encoder.
TEST_F(MainWindow, EachFormatsChoiceReachesItsOutput) {
  TempDir dir;
  ASSERT_EQ(std::system(("sox -D -n -r 44100 -c 2 -b 16 " + Quoted(dir / "src.wav") +
                         " synth 2 sine 440 pinknoise vol 0.4")
                            .c_str()),
            0);
  TForm1 form;
  form.show();
  QStringList shown;
  form.ShowMessage = [&](const QString& text) { shown << text; };
  form.FileOpen1Accept({Q(dir / "src.wav")});
  auto convert = [&](const char* format, const char* choice) {
    SetFormat(form, format);
    form.cbBitrate->setCurrentIndex(form.cbBitrate->findText(QString::fromUtf8(choice)));
    EXPECT_EQ(form.cbBitrate->currentText(), QString::fromUtf8(choice)) << format;
    const std::string out = dir / (std::string(format + 1) + choice);
    form.OutputDirtxt->setText(Q(out));
    form.btnConvertClick();
    EXPECT_TRUE(PumpUntil([&] { return !form.Converter()->Running(); }, 30000)) << format;
    EXPECT_EQ(form.StatusBar1->text(), QStringLiteral("Done!")) << format << " " << choice;
    return out + "/src" + format;
  };
  auto probe = [](const std::string& file) {
    return CommandOutput(
        "ffprobe -v error -select_streams a:0 -show_entries stream=codec_name,bit_rate "
        "-of csv=p=0 " +
        Quoted(file));
  };
  EXPECT_EQ(probe(convert(".mp3", "96")), "mp3,96000\n");
  // LAME heads a variable-bitrate file with a "Xing" frame, a constant one with "Info".
  const auto vbr = ReadAll(convert(".mp3", "V4"));
  EXPECT_NE(std::search(vbr.begin(), vbr.end(), std::begin("Xing"), std::end("Xing") - 1),
            vbr.end());
  EXPECT_EQ(probe(convert(".wma", "96")), "wmav2,96000\n");
  EXPECT_EQ(probe(convert(".ogg", "0")), "vorbis,64000\n");  // the encoder's nominal for q0
  // Level 0 codes blocks of 1152 frames; the default level, 4096.
  EXPECT_EQ(CommandOutput("metaflac --show-max-blocksize " + Quoted(convert(".flac", "0"))),
            "1152\n");
  const double kbps = static_cast<double>(fs::file_size(convert(".opus", "64"))) * 8 / 2.0 / 1000;
  EXPECT_GT(kbps, 40);
  EXPECT_LT(kbps, 96);  // the default, 128, is far above
  EXPECT_TRUE(shown.isEmpty()) << shown.join(QLatin1Char('\n')).toStdString();
}

// Without the tag module a tagged source converts, and its row says its tags were lost.
TEST_F(MainWindow, ARowShowsThatTagsCouldNotBeCarried) {
  TempDir dir;
  struct ModuleNowhere {
    explicit ModuleNowhere(const std::string& Folder) { SetTagModuleFolder(Folder); }
    ~ModuleNowhere() { SetTagModuleFolder({}); }
  } nowhere(dir / "no-module");
  TForm1 form;
  form.show();
  SetFormat(form, ".flac");
  form.OutputDirtxt->setText(Q(dir / "out"));
  form.FileOpen1Accept({Q(std::string(TUNEVERT_TEST_DATA) + "/carry/tagged.flac"),
                        Q(std::string(TUNEVERT_TEST_DATA) + "/carry/plain.flac")});
  form.btnConvertClick();
  ASSERT_TRUE(PumpUntil([&] { return !form.Converter()->Running(); }, 30000));
  EXPECT_EQ(form.StatusBar1->text(), QStringLiteral("Done!"));
  const QString warning =
      QStringLiteral("tags not read: libtvtaglib.so library could not be loaded.");
  const TFileListBox* list = form.ListBox1;
  EXPECT_EQ(list->State(0), TEntryState::DoneWithWarning);
  EXPECT_EQ(list->StatusText(0), QStringLiteral("Done; ") + warning);
  EXPECT_EQ(list->item(0)->toolTip(TFileListBox::colStatus),
            Q(dir / "out/tagged.flac") + QLatin1Char('\n') + warning);
  EXPECT_EQ(list->State(1), TEntryState::Done);  // it had no tags to lose
  EXPECT_GT(fs::file_size(dir / "out/tagged.flac"), 1000u);
}

// The preview column shows each row's output below the output folder, from tags read once
// per file, and follows the template as it is typed; a bad one is shown and starts nothing.
TEST_F(MainWindow, ThePreviewFollowsTheNameTemplate) {
  TempDir dir;
  const std::vector<std::pair<std::string, std::string>> intro = {
      {"artist", "Ærø Band"}, {"album", "First"}, {"track", "3"}, {"title", "In/Out"}};
  MakeTaggedFlac(dir / "in/one.flac", intro);
  MakeTaggedFlac(dir / "in/two.flac", intro);
  MakeTaggedFlac(dir / "in/three.flac", {{"album", "First"}, {"track", "4"}, {"title", "Why?"}});
  TForm1 form;
  form.show();
  QStringList shown;
  form.ShowMessage = [&](const QString& text) { shown << text; };
  form.OutputDirtxt->setText(Q(dir / "out"));
  form.AddFolder1Accept(Q(dir / "in"));  // sorted: one, three, two
  TFileListBox* list = form.ListBox1;
  auto previews = [list] {
    QStringList names;
    for (int i = 0; i < list->count(); ++i) names << list->Preview(i);
    return names.join(QLatin1Char('|'));
  };
  const QString plain = QStringLiteral("one.mp3|three.mp3|two.mp3");
  EXPECT_EQ(Eventually(previews, plain), plain);

  ReplaceText(form.edtNameTemplate, "{artist}/{album}/{track:02} {title}");
  // The same tags twice: the second is numbered, as the batch would name it.
  const QString templated = QStringLiteral(
      "\u00C6r\u00F8 Band/First/03 In_Out.mp3|Unknown Artist/First/04 Why?.mp3|"
      "\u00C6r\u00F8 Band/First/03 In_Out (2).mp3");
  EXPECT_EQ(Eventually(previews, templated), templated);
  form.chkPortableNames->setChecked(true);
  form.edtCopyFormats->setText(QStringLiteral("flac"));
  auto second = [list] { return list->Preview(1); };
  const QString portableCopy = QStringLiteral("Unknown Artist/First/04 Why_.flac");
  EXPECT_EQ(Eventually(second, portableCopy), portableCopy);

  // Tags are kept with their rows: with the files gone, a new template still has them.
  fs::remove_all(dir / "in");
  ReplaceText(form.edtNameTemplate, "{album} - {title}");
  const QString cached = QStringLiteral("First - Why_.flac");
  EXPECT_EQ(Eventually(second, cached), cached);

  const QString tip = form.edtNameTemplate->toolTip();
  ReplaceText(form.edtNameTemplate, "{album}/{nosuchfield}");
  EXPECT_EQ(Eventually(previews, QStringLiteral("||")), QStringLiteral("||"));
  EXPECT_TRUE(form.edtNameTemplate->toolTip().contains(QStringLiteral("nosuchfield")));
  EXPECT_EQ(form.StatusBar1->text(), form.edtNameTemplate->toolTip());
  form.btnConvertClick();
  EXPECT_FALSE(form.Converter()->Running());
  ASSERT_EQ(shown.size(), 1);
  EXPECT_TRUE(shown[0].contains(QStringLiteral("nosuchfield")));
  EXPECT_TRUE(list->StatusText(0).isEmpty());

  form.edtNameTemplate->clear();
  form.edtCopyFormats->clear();
  SetFormat(form, ".ogg");
  const QString ogg = QStringLiteral("one.ogg|three.ogg|two.ogg");
  EXPECT_EQ(Eventually(previews, ogg), ogg);
  EXPECT_EQ(form.edtNameTemplate->toolTip(), tip);
  EXPECT_TRUE(form.StatusBar1->text().isEmpty());
}

// A mirrored run converts and copies; after a source is gone the next run says what it would
// remove, and removes it only when told to.
TEST_F(MainWindow, AMirrorSaysWhatItRemovesFirst) {
  TempDir dir;
  const auto pcm = RampPcm(3000, 2, 16);
  fs::create_directories(dir / "in");
  WriteWav(dir / "in/a.wav", pcm, 2, 16, 96000);
  WriteWav(dir / "in/b.wav", pcm, 2, 16, 44100);
  MakeTaggedFlac(dir / "in/c.flac", {{"title", "Kept"}});
  TForm1 form;
  form.show();
  QStringList shown, summaries;
  bool proceed = false;
  form.ShowMessage = [&](const QString& text) { shown << text; };
  form.ConfirmRemovals = [&](const QString& text) {
    summaries << text;
    return proceed;
  };
  SetFormat(form, ".wav");
  form.chkMirror->setChecked(true);
  form.edtCopyFormats->setText(QStringLiteral("flac"));
  form.cbMaxRate->setCurrentText(QStringLiteral("48000"));
  form.OutputDirtxt->setText(Q(dir / "out"));
  auto convert = [&] {
    form.btnConvertClick();
    return PumpUntil([&] { return !form.Converter()->Running(); }, 30000);
  };
  form.AddFolder1Accept(Q(dir / "in"));
  ASSERT_EQ(form.ListBox1->count(), 3);
  ASSERT_TRUE(convert());
  EXPECT_TRUE(summaries.isEmpty());  // nothing to remove: nothing to ask
  EXPECT_EQ(form.ListBox1->State(2), TEntryState::Copied);
  EXPECT_EQ(ReadAll(dir / "out/c.flac"), ReadAll(dir / "in/c.flac"));
  EXPECT_EQ(WavPayload(dir / "out/b.wav"), pcm);  // at or below the maximum rate: as it was
  EXPECT_EQ(CommandOutput("ffprobe -v error -show_entries stream=sample_rate -of csv=p=0 " +
                          Quoted(dir / "out/a.wav")),
            "48000\n");

  fs::remove(dir / "in/b.wav");
  form.btnClearFileListClick();
  form.AddFolder1Accept(Q(dir / "in"));
  form.btnConvertClick();
  EXPECT_FALSE(form.Converter()->Running());
  ASSERT_EQ(summaries.size(), 1);
  EXPECT_TRUE(
      summaries[0].startsWith(QStringLiteral("0 to convert, 0 to copy, 2 unchanged, 1 to remove")))
      << summaries[0].toStdString();
  EXPECT_TRUE(summaries[0].endsWith(QStringLiteral("\nb.wav"))) << summaries[0].toStdString();
  EXPECT_TRUE(fs::exists(dir / "out/b.wav"));
  EXPECT_TRUE(form.ListBox1->StatusText(0).isEmpty());

  proceed = true;
  ASSERT_TRUE(convert());
  EXPECT_FALSE(fs::exists(dir / "out/b.wav"));
  EXPECT_TRUE(fs::exists(dir / "out/a.wav"));
  EXPECT_EQ(CountIn(form.ListBox1, TEntryState::Unchanged), 2);
  EXPECT_EQ(form.StatusBar1->text(), QStringLiteral("Done! 1 output removed"));
  EXPECT_TRUE(shown.isEmpty()) << shown.join(QLatin1Char('\n')).toStdString();
}

// An output's loudness fills its row's column, readable at the window's size; the row's next
// state takes it away, as an emptied list takes the column.
TEST_F(MainWindow, TheLoudnessColumnShowsEachOutputsMeasure) {
  TForm1 form;
  form.show();
  form.FileOpen1Accept(
      {QStringLiteral("/l/1.wav"), QStringLiteral("/l/2.wav"), QStringLiteral("/l/3.wav")});
  TFileListBox* list = form.ListBox1;
  auto tip = [list](int row) { return list->item(row)->toolTip(TFileListBox::colLoudness); };
  auto report = [&form](int row, double lufs, double peakDb, double gainDb, bool limited) {
    TOutputLoudness l{{lufs, 5.214, std::pow(10.0, peakDb / 20), 0}, gainDb, limited};
    form.Converter()->OnEntryLoudness(row, l);
  };
  report(0, -16.634, -0.42, 0, false);
  report(1, -20.3, -1, -3.2, true);
  report(2, -std::numeric_limits<double>::infinity(), -300, 2.5, false);
  report(3, -10, -1, 0, false);  // no such row: nothing happens
  EXPECT_EQ(list->Loudness(0), QStringLiteral("-16.63 LUFS"));
  EXPECT_EQ(tip(0), QStringLiteral("-16.63 LUFS, range 5.21 LU, true peak -0.42 dBTP"));
  EXPECT_EQ(tip(1), QStringLiteral("-20.30 LUFS, range 5.21 LU, true peak -1.00 dBTP\n"
                                   "gain applied: -3.20 dB (limited by the peak)"));
  EXPECT_EQ(list->Loudness(2), QStringLiteral("silent"));
  EXPECT_TRUE(tip(2).endsWith(QStringLiteral("\ngain applied: +2.50 dB"))) << tip(2).toStdString();

  DrainEvents();
  const QHeaderView* header = list->header();
  EXPECT_GE(header->sectionSize(TFileListBox::colLoudness),
            QFontMetrics(list->font()).horizontalAdvance(list->Loudness(1)));
  EXPECT_LE(header->length(), list->viewport()->width());
  EXPECT_GE(header->sectionSize(TFileListBox::colPreview), 80);

  list->SetState(0, TEntryState::Failed, QStringLiteral("Failed: gone"));
  list->SetState(1, TEntryState::Done, QStringLiteral("Done"));
  EXPECT_TRUE(list->Loudness(0).isEmpty());
  EXPECT_TRUE(tip(0).isEmpty());
  EXPECT_EQ(list->Loudness(1), QStringLiteral("-20.30 LUFS"));
  EXPECT_TRUE(list->LoudnessShown());
  form.btnClearFileListClick();
  EXPECT_FALSE(list->LoudnessShown());
}

// The loudness choices reach the batch: normalised and tagged, the column shows what ffmpeg's
// meter reads on the output and the gain that took the source there; then a batch without
// them clears the column.
TEST_F(MainWindow, TheLoudnessChoicesReachTheBatch) {
  TempDir dir;
  ASSERT_EQ(std::system(("sox -D -n -r 44100 -c 2 -b 16 " + Quoted(dir / "src.wav") +
                         " synth 3 sine 440 pinknoise vol 0.3")
                            .c_str()),
            0);
  // ffmpeg's gated integrated loudness, to its one decimal: the summary's, printed last.
  auto measured = [](const std::string& file) {
    const std::string out = CommandOutput("ffmpeg -nostdin -hide_banner -i " + Quoted(file) +
                                          " -af ebur128 -f null - 2>&1");
    const size_t at = out.rfind("I:");
    return at == std::string::npos ? NAN : std::strtod(out.c_str() + at + 2, nullptr);
  };
  const double source = measured(dir / "src.wav");
  ASSERT_GT(source, -20);  // loud enough that -23 is a cut the peak never limits
  TForm1 form;
  form.show();
  SetFormat(form, ".wav");
  form.OutputDirtxt->setText(Q(dir / "out"));
  form.FileOpen1Accept({Q(dir / "src.wav")});
  const TFileListBox* list = form.ListBox1;
  auto convert = [&] {
    form.btnConvertClick();
    return PumpUntil([&] { return !form.Converter()->Running(); }, 30000);
  };
  form.cbReplayGain->setCurrentText(QStringLiteral("Track"));
  form.chkNormalize->setChecked(true);
  form.spnNormalizeLufs->setValue(-23);
  ASSERT_TRUE(convert());
  EXPECT_EQ(form.Converter()->ReplayGain, TReplayGain::Track);
  EXPECT_EQ(form.Converter()->NormalizeLufs, std::optional<double>(-23));
  ASSERT_EQ(list->State(0), TEntryState::Done) << list->StatusText(0).toStdString();
  const QString text = list->Loudness(0);
  ASSERT_TRUE(text.endsWith(QStringLiteral(" LUFS"))) << text.toStdString();
  const double output = measured(dir / "out/src.wav");
  EXPECT_NEAR(text.chopped(5).toDouble(), output, 0.15);
  EXPECT_NEAR(output, -23, 0.15);
  static const QRegularExpression gain(QStringLiteral("\ngain applied: ([-+][0-9.]+) dB$"));
  const QString tip = list->item(0)->toolTip(TFileListBox::colLoudness);
  const QRegularExpressionMatch match = gain.match(tip);
  ASSERT_TRUE(match.hasMatch()) << tip.toStdString();
  EXPECT_NEAR(match.captured(1).toDouble(), output - source, 0.2);

  form.cbReplayGain->setCurrentText(QStringLiteral("Off"));
  form.chkNormalize->setChecked(false);
  ASSERT_TRUE(convert());
  EXPECT_EQ(form.Converter()->ReplayGain, TReplayGain::Off);
  EXPECT_FALSE(form.Converter()->NormalizeLufs.has_value());
  EXPECT_TRUE(list->Loudness(0).isEmpty());
  EXPECT_FALSE(list->LoudnessShown());
  EXPECT_FALSE(form.spnNormalizeLufs->isEnabled());  // also once the batch gave it back
}

TEST(MessageWindow, CreatedHiddenBorderlessAndOnTop) {
  TfrmMessage message;
  EXPECT_FALSE(message.isVisible());
  EXPECT_TRUE(message.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_TRUE(message.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_EQ(message.size(), QSize(281, 172));
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  // No test may read or write the user's own settings.
  TempDir config;
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(config.Path.string()));
  QApplication app(argc, argv);
  NameApplication();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
