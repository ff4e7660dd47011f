// The format registry against everything derived from it: the window's lists and labels, the
// open dialog's filter, tunevert-cli's usage text and options, and the manual pages. A format
// added to the registry but missed in one of them fails here.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSettings>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "app/Unit1.h"
#include "pipeline/FormatSpec.h"
#include "platform/Text.h"
#include "tests/AppTestFiles.h"
#include "tests/PipelineFakes.h"
#include "winmedia/wmfintf.h"

using namespace tunevert;
using namespace tunevert::testing;
namespace fs = std::filesystem;

namespace {

QString Q(const std::string& s) {
  return QString::fromStdString(s);
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A name as a manual page writes it: every '-' escaped.
std::string InManPage(std::string text) {
  for (size_t at = 0; (at = text.find('-', at)) != std::string::npos; at += 2)
    text.insert(at, 1, '\\');
  return text;
}

class FormatRegistry : public ::testing::Test {
 protected:
  FormatRegistry() {
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, Q(Config.Path.string()));
    LoadWMRuntime(TUNEVERT_WMVCORE_DIR, false);
  }
  TempDir Config;
};

TEST_F(FormatRegistry, EveryFormatIsDescribedWhole) {
  std::set<std::string> ids, captions, extensions;
  for (const TFormatSpec& format : Formats()) {
    SCOPED_TRACE(format.Id);
    EXPECT_TRUE(ids.insert(format.Id).second) << "two formats share an id";
    EXPECT_FALSE(format.Name.empty());
    EXPECT_TRUE(format.Readable() || format.Writable());
    if (format.Readable()) {
      EXPECT_FALSE(format.DialogLabel.empty());
      EXPECT_FALSE(format.InputName.empty());
      EXPECT_FALSE(format.MimeTypes.empty());
      for (const std::string& extension : format.Extensions) {
        EXPECT_EQ(extension[0], '.');
        EXPECT_EQ(LowerAscii(extension), extension);
        EXPECT_TRUE(extensions.insert(extension).second) << extension << " is read twice";
      }
    }
    if (!format.Writable()) continue;
    EXPECT_TRUE(captions.insert(format.Caption).second) << "two outputs share a caption";
    EXPECT_FALSE(format.Extension.empty());
    EXPECT_TRUE(format.ApplyQuality != nullptr);
    EXPECT_FALSE(format.TagFormat.empty());
    // A written file is read back by some format's input.
    const TFormatSpec* reader =
        FindFormat(format.ReadBackAs.empty() ? format.Id : format.ReadBackAs);
    ASSERT_NE(reader, nullptr);
    EXPECT_TRUE(reader->Readable());
    EXPECT_EQ(FormatForFile("x" + format.Extension), reader);
    EXPECT_EQ(format.WindowChoices().empty(), format.QualityLabel.empty());
    std::set<TQualityKind> kinds;
    for (const TQualityControl& control : format.Quality) {
      EXPECT_TRUE(kinds.insert(control.Kind).second) << "two controls of one kind";
      EXPECT_TRUE(control.Takes(control.Default)) << control.Option;
      EXPECT_FALSE(control.Option.empty());
      EXPECT_EQ(control.Option == "-b", control.Kind == TQualityKind::Bitrate);
      EXPECT_EQ(control.Help.empty(), control.Option == "-b") << control.Option;
      const TQualityChoice choice = format.ChoiceFromText(control.Prefix + control.Default);
      if (control.InWindow) {
        EXPECT_EQ(choice.Kind, control.Kind) << control.Option;
      }
    }
  }
}

TEST_F(FormatRegistry, TheWindowListsEveryOutputWithItsChoices) {
  TForm1 form;
  form.FormShow();
  std::vector<std::string> listed;
  for (int i = 0; i < form.cbKonvertTo->count(); ++i)
    listed.push_back(form.cbKonvertTo->itemText(i).toStdString());
  ASSERT_EQ(listed, TBatchConverter::OutputFormats());
  ASSERT_GE(listed.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(listed.begin(), listed.begin() + 3),
            (std::vector<std::string>{".wma", ".wav", ".mp3"}));
  for (const TFormatSpec* format : OutputFormatSpecs()) {
    SCOPED_TRACE(format->Caption);
    form.cbKonvertTo->setCurrentText(Q(format->Caption));
    form.cbKonvertToChange();
    std::vector<std::string> choices;
    for (int i = 0; i < form.cbBitrate->count(); ++i)
      choices.push_back(form.cbBitrate->itemText(i).toStdString());
    EXPECT_EQ(choices, format->WindowChoices());
    EXPECT_EQ(form.cbBitrate->currentText().toStdString(), format->DefaultWindowChoice());
    EXPECT_EQ(form.cbBitrate->isVisibleTo(&form), !choices.empty());
    if (!choices.empty()) {
      EXPECT_EQ(form.lblBitrate->text().toStdString(), format->QualityLabel);
    }
  }
  const std::string filter = TForm1::OpenFileFilter().toStdString();
  for (const TFormatSpec* format : InputFormatSpecs()) {
    EXPECT_NE(filter.find(format->DialogLabel + " ("), std::string::npos) << format->Id;
    for (const std::string& extension : format->Extensions)
      EXPECT_NE(filter.find("*" + extension), std::string::npos) << extension;
  }
}

TEST_F(FormatRegistry, TheCommandLineAndTheManualPagesNameEveryOutputAndOption) {
  int status = -1;
  const std::string usage = CommandOutput(std::string(TUNEVERT_CLI) + " --help", &status);
  ASSERT_EQ(status, 0);
  const std::string cliPage =
      ReadText(std::string(TUNEVERT_SOURCE_DIR) + "/data/man/tunevert-cli.1");
  const std::string windowPage =
      ReadText(std::string(TUNEVERT_SOURCE_DIR) + "/data/man/tunevert.1");
  ASSERT_FALSE(cliPage.empty());
  ASSERT_FALSE(windowPage.empty());
  // Usage lines wrap: compare them with their words joined by single spaces.
  std::string words, word;
  for (std::istringstream in(usage); in >> word;) words += word + " ";
  const size_t formatLine = words.find("-f FORMAT output format:");
  ASSERT_NE(formatLine, std::string::npos);
  const std::string formatList =
      words.substr(formatLine, words.find("(default", formatLine) - formatLine);
  for (const TFormatSpec* format : OutputFormatSpecs()) {
    SCOPED_TRACE(format->Id);
    EXPECT_NE(formatList.find(" " + format->Id), std::string::npos);
    // ".B ogg" or ".BR ogg ," in the list of -f.
    EXPECT_TRUE(cliPage.find(".B " + format->Id + "\n") != std::string::npos ||
                cliPage.find(".BR " + format->Id + " ") != std::string::npos);
    EXPECT_NE(windowPage.find(format->Name), std::string::npos);
    for (const TQualityControl& control : format->Quality) {
      std::string values;
      for (const std::string& value : control.Values) values += (values.empty() ? "" : " ") + value;
      if (control.Option == "-b") {
        EXPECT_NE(words.find(values + " (default " + control.Default + ")"), std::string::npos);
      } else {
        EXPECT_NE(words.find(control.Option + " " + control.Metavar + " " + control.Help),
                  std::string::npos);
        EXPECT_NE(cliPage.find(".BI " + InManPage(control.Option)), std::string::npos);
      }
      EXPECT_NE(cliPage.find(format->Name), std::string::npos);
    }
  }
  for (const TFormatSpec* format : InputFormatSpecs()) {
    EXPECT_NE(words.find(format->Name), std::string::npos) << format->Id;
    EXPECT_NE(windowPage.find(format->Name), std::string::npos) << format->Id;
  }
}

// Each output converts a short file, read back, through the command line by its id and
// through the window's driver by its caption, with nothing but the registry to go by.
TEST_F(FormatRegistry, EveryOutputConvertsThroughTheCommandLineAndTheWindow) {
  TempDir dir;
  const std::string source = (dir.Path / "tone.wav").string();
  ASSERT_EQ(std::system(
                ("sox -n -r 44100 -c 2 -b 16 '" + source + "' synth 0.5 sine 440 gain -6").c_str()),
            0);
  for (const TFormatSpec* format : OutputFormatSpecs()) {
    SCOPED_TRACE(format->Id);
    const fs::path cliOut = dir.Path / ("cli-" + format->Id);
    int status = -1;
    CommandOutput(std::string(TUNEVERT_CLI) + " -q -f " + format->Id + " -o '" + cliOut.string() +
                      "' '" + source + "'",
                  &status);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(fs::is_regular_file(cliOut / ("tone" + format->Extension)));

    TForm1 form;
    form.FormShow();
    form.ShowMessage = [](const QString& text) { ADD_FAILURE() << text.toStdString(); };
    form.cbKonvertTo->setCurrentText(Q(format->Caption));
    form.cbKonvertToChange();
    const fs::path windowOut = dir.Path / ("window-" + format->Id);
    form.OutputDirtxt->setText(Q(windowOut.string()));
    form.AddPaths({source});
    form.btnConvertClick();
    EXPECT_TRUE(PumpUntil([&] { return !form.Converter()->Running(); }, 60000));
    EXPECT_EQ(form.Converter()->ConvertedCount(), 1) << form.ListBox1->StatusText(0).toStdString();
    EXPECT_TRUE(fs::is_regular_file(windowOut / ("tone" + format->Extension)));
  }
}

}  // namespace
