#pragma once

#include <functional>
#include <string>
#include <vector>

#include "mp3enc/MP3BitRate.h"
#include "pipeline/AuFile.h"

namespace tunevert {

class TWaveIn;
class TWaveOut;

// Converts a list of files one after another: picks the input by extension, names the
// output, runs the chosen output and starts the next file from its OnDone. No GUI in it:
// the window (or the command-line program) binds the callbacks below to what it shows.
class TBatchConverter final : public TComponent {
 public:
  explicit TBatchConverter(TComponent* AOwner);
  std::string ClassName() const override { return "TBatchConverter"; }

  // The components, owned by the converter. A format not built into this program is null.
  TWaveIn* WaveIn1 = nullptr;
  TAuFileIn* MP3In1 = nullptr;
  TAuFileIn* WMIn1 = nullptr;
  TAuFileIn* VorbisIn1 = nullptr;
  TAuFileIn* FLACIn1 = nullptr;
  TAuFileOut* WMAOut1 = nullptr;
  TWaveOut* WaveOut1 = nullptr;
  TAuFileOut* MP3Out1 = nullptr;

  // What the user sees; each may stay empty.
  std::function<void(const std::string& Text)> OnStatusText;
  std::function<void(int Position)> OnProgressPosition;
  std::function<void(bool Enabled)> OnControlsEnabled;
  std::function<void(int Index)> OnSelectEntry;
  std::function<void(int Index, const std::string& Message)> OnEntryFailed;
  std::function<void(int Index, const std::string& OutputFile)> OnEntryDone;
  // Before OnEntryDone of an entry whose audio is complete but whose tags could not be
  // written; the entry still counts as done.
  std::function<void(int Index, const std::string& Warning)> OnEntryWarning;
  std::function<void(const std::string& Message)> OnMessage;
  std::function<void()> OnBatchDone;

  // "Convert!": Format is ".wma", ".wav" or ".mp3"; BitrateText one of the bitrate list's
  // texts; OutputDir ends with "/". Returns false when the batch did not start.
  bool Convert(std::vector<std::string> Files, std::string Format, std::string BitrateText,
               std::string OutputDir);
  bool Running() const { return FRunning; }
  // Whether each output gets its source's tags and pictures; off, outputs get no tags.
  bool CarryTags = true;
  // Ends a running batch at once: the running output is stopped and its unfinished file
  // removed. Used when the window closes.
  void Cancel();

  int ConvCount() const { return FConvCount; }
  int ConvIndex() const { return FConvIndex; }
  int FailedCount() const { return FFailed; }
  const std::vector<std::string>& Files() const { return FFiles; }

  static TMP3BitRate GetMP3BitRate(const std::string& Text);
  // The input for a source by its extension (letter case ignored), or null.
  TAuFileIn* InputFor(const std::string& FileName) const;
  // The output for a format, or null when this program has none.
  TAuFileOut* OutputFor(const std::string& Format) const;
  // Output folder + the source's name with its extension replaced by (or given) Format.
  static std::string OutputFileName(const std::string& OutputDir, const std::string& Source,
                                    const std::string& Format);
  // Where the output is written until it is complete: beside the final file, same extension.
  static std::string TemporaryFileName(const std::string& FinalName);

 protected:
  void BeforeDestruction() override;

 private:
  void AudioConvert(const std::string& FileName);
  void ConvDoneNext();
  void SetStatus(int Stat1);
  // Starts the entry at ConvIndex; an entry that fails before it runs is reported and the
  // next one tried, until one runs or the list ends.
  void StartCurrentOrFinish();
  bool TryStart(const std::string& FileName, std::string& Failure);
  void FinishCurrent();
  // Into the temporary output, before it is renamed; a failure comes back as the warning.
  std::string CarryTagsInto(const std::string& Source, const std::string& Output) const;
  void Fail(const std::string& Message);
  void OutputDone(TComponent* Sender);
  void OutputProgress(TComponent* Sender);
  void Status(const std::string& Text) {
    if (OnStatusText) OnStatusText(Text);
  }

  std::vector<std::string> FFiles;
  std::string FFormat, FBitrateText, FOutputDir;
  int FConvCount = 0;
  int FConvIndex = 0;
  int FFailed = 0;
  bool FRunning = false;
  TAuFileOut* FCurrentOutput = nullptr;
  std::string FCurrentFinal, FCurrentTemp;
};

}  // namespace tunevert
