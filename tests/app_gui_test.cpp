#include <gtest/gtest.h>

#include <QApplication>
#include <QMimeData>
#include <QTest>
#include <QUrl>

#include "AppTestFiles.h"
#include "PipelineFakes.h"
#include "app/UMessage.h"
#include "app/Unit1.h"

using namespace tunevert;
using namespace tunevert::testing;

namespace {

QStringList Items(const QListWidget* list) {
  QStringList items;
  for (int i = 0; i < list->count(); ++i) items << list->item(i)->text();
  return items;
}

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

}  // namespace

TEST(MainWindow, DefaultsAtShow) {
  TForm1 form;
  form.show();
  EXPECT_EQ(form.cbKonvertTo->currentText(), QStringLiteral(".mp3"));
  EXPECT_EQ(form.cbBitrate->currentText(), QStringLiteral("160"));
  EXPECT_EQ(form.cbKonvertTo->count(), 3);
  EXPECT_EQ(form.cbBitrate->count(), 11);
  EXPECT_TRUE(form.OutputDirtxt->text().endsWith(QLatin1Char('/')));
  EXPECT_TRUE(form.OutputDirtxt->isReadOnly());
  EXPECT_TRUE(form.lblBitrate->isVisible());
  EXPECT_FALSE(form.UserUpdateClick);
  EXPECT_TRUE(form.windowTitle().startsWith(QStringLiteral("Tunevert 1.3")));
  EXPECT_EQ(form.ProgressBar1->maximum(), 100);
  EXPECT_EQ(form.FileOpen1->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_O));
}

TEST(MainWindow, BitrateIsHiddenExactlyForWav) {
  TForm1 form;
  form.show();
  for (int i : {1, 0, 1, 2}) {
    form.cbKonvertTo->setCurrentIndex(i);
    form.cbKonvertToChange();
    const bool wav = form.cbKonvertTo->currentText() == QStringLiteral(".wav");
    EXPECT_EQ(form.lblBitrate->isVisible(), !wav);
    EXPECT_EQ(form.cbBitrate->isVisible(), !wav);
  }
}

TEST(MainWindow, EmptyListShowsTheMessage) {
  TForm1 form;
  QStringList shown;
  form.ShowMessage = [&](const QString& text) { shown << text; };
  QTest::mouseClick(form.btnConvert, Qt::LeftButton);
  ASSERT_EQ(shown.size(), 1);
  EXPECT_EQ(shown[0],
            QStringLiteral("You have to select a output folder and have some files to convert"));
}

TEST(MainWindow, DroppedFilesAreFilteredByExtension) {
  TForm1 form;
  form.show();
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(QStringLiteral("/m/a.mp3")),
                QUrl::fromLocalFile(QStringLiteral("/m/b.txt")),
                QUrl::fromLocalFile(QStringLiteral("/m/d.FLAC")),
                QUrl::fromLocalFile(QStringLiteral("/m/folder")),
                QUrl::fromLocalFile(QStringLiteral("/m/x.mp3.bak")),
                QUrl::fromLocalFile(QStringLiteral("/m/a.mp3"))});
  const QPoint at = form.ListBox1->viewport()->rect().center();
  QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(form.ListBox1->viewport(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(form.ListBox1->viewport(), &drop);
  EXPECT_EQ(Items(form.ListBox1),
            (QStringList{QStringLiteral("/m/a.mp3"), QStringLiteral("/m/d.FLAC"),
                         QStringLiteral("/m/a.mp3")}));
}

TEST(MainWindow, DeleteDoubleClickAndClear) {
  TForm1 form;
  form.show();
  form.FileOpen1Accept({QStringLiteral("1.wav"), QStringLiteral("2.wav"), QStringLiteral("3.wav"),
                        QStringLiteral("4.txt")});
  form.ListBox1->setCurrentRow(-1);
  QTest::mouseClick(form.btnDeleteFromFileList, Qt::LeftButton);
  EXPECT_EQ(form.ListBox1->count(), 4);  // nothing selected: nothing happens
  form.ListBox1->setCurrentRow(1);
  QTest::mouseClick(form.btnDeleteFromFileList, Qt::LeftButton);
  EXPECT_EQ(Items(form.ListBox1), (QStringList{QStringLiteral("1.wav"), QStringLiteral("3.wav"),
                                               QStringLiteral("4.txt")}));
  const QRect first = form.ListBox1->visualItemRect(form.ListBox1->item(0));
  QTest::mouseClick(form.ListBox1->viewport(), Qt::LeftButton, {}, first.center());
  QTest::mouseDClick(form.ListBox1->viewport(), Qt::LeftButton, {}, first.center());
  EXPECT_EQ(Items(form.ListBox1), (QStringList{QStringLiteral("3.wav"), QStringLiteral("4.txt")}));
  QTest::mouseClick(form.btnClearFileList, Qt::LeftButton);
  EXPECT_EQ(form.ListBox1->count(), 0);
  QTest::mouseClick(form.btnClearFileList, Qt::LeftButton);
  EXPECT_EQ(form.ListBox1->count(), 0);
}

TEST(MainWindow, ControlsAreDisabledDuringABatchAndFailuresAreMarked) {
  TempDir dir;
  WriteWav(dir / "a.wav", RampPcm(400000, 2, 16), 2, 16, 44100);
  TForm1 form;
  form.show();
  form.cbKonvertTo->setCurrentIndex(1);  // .wav
  form.OutputDirtxt->setText(Q(dir / "out/"));
  form.FileOpen1Accept({Q(dir / "a.wav"), Q(dir / "bad.txt")});
  QTest::mouseClick(form.btnConvert, Qt::LeftButton);
  EXPECT_FALSE(form.btnConvert->isEnabled());
  EXPECT_FALSE(form.ListBox1->isEnabled());
  EXPECT_FALSE(form.btnDeleteFromFileList->isEnabled());
  EXPECT_FALSE(form.btnFileOpen->isEnabled());
  ASSERT_TRUE(PumpUntil([&] { return form.btnConvert->isEnabled(); }, 20000));
  EXPECT_TRUE(form.ListBox1->isEnabled());
  EXPECT_TRUE(form.btnDeleteFromFileList->isEnabled());
  EXPECT_EQ(form.StatusBar1->text(), QStringLiteral("Done! 1 of 2 files failed"));
  EXPECT_EQ(form.ListBox1->item(1)->toolTip(), QStringLiteral("Unsupported file type"));
  EXPECT_TRUE(form.ListBox1->item(0)->toolTip().isEmpty());
  EXPECT_EQ(form.ProgressBar1->value(), 0);  // reset for the last (failed) entry
}

TEST(MainWindow, ClosingDuringABatchStopsIt) {
  TempDir dir;
  WriteWav(dir / "a.wav", RampPcm(3000000, 2, 16), 2, 16, 44100);
  {
    TForm1 form;
    form.show();
    form.cbKonvertTo->setCurrentIndex(1);
    form.OutputDirtxt->setText(Q(dir / "out/"));
    form.FileOpen1Accept({Q(dir / "a.wav")});
    QTest::mouseClick(form.btnConvert, Qt::LeftButton);
    form.close();
    EXPECT_FALSE(form.Converter()->Running());
  }
  EXPECT_FALSE(std::filesystem::exists(dir / "out/a.wav"));
  for (const auto& e : std::filesystem::directory_iterator(dir / "out"))
    ADD_FAILURE() << "left behind: " << e.path();
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
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
