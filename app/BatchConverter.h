#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/BatchPlan.h"
#include "app/FileCopyJob.h"
#include "app/LibraryPlan.h"
#include "app/LoudnessScan.h"
#include "app/MirrorState.h"
#include "loudness/LoudnessMeter.h"
#include "mp3enc/MP3BitRate.h"
#include "pipeline/AuFile.h"
#include "pipeline/FormatSpec.h"
#include "platform/PendingOutput.h"
#include "tags/TagLibMeta.h"

namespace tunevert {

class TAuDeliveryTap;
class TAuFormatStage;
class TWaveIn;
class TWaveOut;

// What the outputs are asked for beyond their format; 0 keeps the source's.
struct TOutputSettings {
  int SampleRate = 0;
  int Channels = 0;          // 1 mixes down to mono, 2 to stereo
  int BitsPerSample = 0;     // 16 or 24, for the formats that take it (reducing dithers)
  int MaxSampleRate = 0;     // lower only sources above it
  int MaxBitsPerSample = 0;  // likewise, for the formats that take a bit depth
  // Embedded pictures wider or taller than this are scaled down to it and made JPEG.
  int CoverMaxPixels = 0;
  // One of the format's quality controls and its value; Kind None: the format's default.
  // A quality text given to Convert replaces it.
  TQualityChoice Quality;
};

// What loudness tags a batch measures and writes.
enum class TReplayGain { Off, Track, Album };

// An output's loudness as written (an Opus output's header gain included), and what
// normalising did to it.
struct TOutputLoudness {
  TLoudnessResult Track;
  double AppliedGainDb = 0;  // brought to the target by this much; 0 without normalising
  bool PeakLimited = false;  // the gain stopped short of the target at -1 dBTP
};

// Converts a list of files, up to Jobs of them at once: each running file has a lane of its
// own input and output components, and the next entry starts on a lane from its output's
// OnDone. With Jobs = 1 it is the one-file-after-another batch, with its texts. No GUI in it:
// the window (or the command-line program) binds the callbacks below to what it shows.
class TBatchConverter final : public TComponent {
 public:
  // Whether the first lane's components are all made at once, as the window has them, or
  // each when a batch first needs it, so a run of one WAV file makes no WMA encoder.
  enum class TFirstLane { Built, OnDemand };

  explicit TBatchConverter(TComponent* AOwner, TFirstLane FirstLane = TFirstLane::Built);
  std::string ClassName() const override { return "TBatchConverter"; }

  // The first lane's components, owned by the converter. A format not built in is null, and
  // so is one not made yet when they are made on demand.
  TWaveIn* WaveIn1 = nullptr;
  TAuFileIn* MP3In1 = nullptr;
  TAuFileIn* WMIn1 = nullptr;
  TAuFileIn* VorbisIn1 = nullptr;
  TAuFileIn* FLACIn1 = nullptr;
  TAuFileOut* WMAOut1 = nullptr;
  TWaveOut* WaveOut1 = nullptr;
  TAuFileOut* MP3Out1 = nullptr;

  // Read when a batch starts.
  int Jobs = 0;  // files converted at once; 0 = DefaultJobs()
  TExistingOutput Existing = TExistingOutput::Overwrite;
  bool KeepTree = false;   // recreate each source's SubFolder under the output folder
  bool SkipNewer = false;  // leave entries whose output is newer than their source
  // Whether each output gets its source's tags and pictures; off, outputs get no tags.
  bool CarryTags = true;
  // Whether each finished output is read back before it is put in place.
  bool Verify = true;
  // For tests: called on the worker between the tags and the read back, with the name the
  // finished file can be opened by.
  std::function<void(int Index, const std::string& WrittenFile)> BeforeVerify;
  TOutputSettings Settings;

  // Keeping a library: all off by default, read when a batch starts.
  std::string NameTemplate;  // "" names each output after its source
  bool PortableNames = false;
  std::vector<std::string> CopyFormats;  // ids of the formats whose sources are copied as they are
  // Keeps the output folder in step with the sources: converts only what changed since the
  // last run, removes the outputs of sources that are gone (only files written here).
  bool Mirror = false;
  bool Playlist = false;  // one .m3u8 per output folder, listing its outputs in list order
  // Of the whole planned batch, this process converts the entries i with i % ShardCount ==
  // ShardIndex.
  int ShardIndex = 0, ShardCount = 1;

  // Loudness: off by default, read when a batch starts. ReplayGain 2.0 values (-18 LUFS
  // reference; R128 gains for Opus) measured on each output's audio replace the carried ones;
  // Album also writes each album's values: the entries sharing album and album artist tags,
  // or without an album tag, one source folder.
  TReplayGain ReplayGain = TReplayGain::Off;
  // Brings each output (each album, under TReplayGain::Album) to this integrated loudness,
  // LUFS, short of a true peak above -1 dBTP: as the Opus header's gain, or on the samples.
  std::optional<double> NormalizeLufs;

  // What the user sees; each may stay empty. With one job the status and the position are
  // those of the file converting; with more, of the whole batch.
  std::function<void(const std::string& Text)> OnStatusText;
  std::function<void(int Position)> OnProgressPosition;
  std::function<void(bool Enabled)> OnControlsEnabled;
  std::function<void(int Index)> OnSelectEntry;  // one job only: the entry converting
  std::function<void(int Index)> OnEntryStarted;
  std::function<void(int Index, int Percent)> OnEntryProgress;
  std::function<void(int Percent)> OnBatchProgress;  // reaches 100 when the batch ends
  std::function<void(int Index, const std::string& Message)> OnEntryFailed;
  std::function<void(int Index, const std::string& Reason)> OnEntrySkipped;
  // Before OnEntryDone of an entry written under a numbered name ("song (2).mp3").
  std::function<void(int Index, const std::string& OutputFile)> OnEntryNumbered;
  // Before OnEntryDone of an entry whose audio is complete but whose tags could not be
  // written; the entry still counts as done.
  std::function<void(int Index, const std::string& Warning)> OnEntryWarning;
  std::function<void(int Index, const std::string& OutputFile)> OnEntryDone;
  // Before OnEntryDone of an entry whose loudness was measured (ReplayGain or normalising).
  std::function<void(int Index, const TOutputLoudness& Loudness)> OnEntryLoudness;
  // Instead of OnEntryDone for an entry copied byte for byte.
  std::function<void(int Index, const std::string& OutputFile)> OnEntryCopied;
  // Mirror: an entry whose output is up to date, and an output removed with its source.
  std::function<void(int Index, const std::string& OutputFile)> OnEntryUnchanged;
  std::function<void(const std::string& OutputFile)> OnOutputRemoved;
  // After Cancel, for each entry that was running or waiting.
  std::function<void(int Index)> OnEntryNotConverted;
  std::function<void(const std::string& Message)> OnMessage;
  std::function<void()> OnBatchDone;

  // "Convert!": Format is one of OutputFormats() or a format's Id ("mp3"); QualityText a
  // text of the window's quality list for it ("160", "V2"), or "" for Settings.Quality (a
  // text the list lacks gives the format's default); OutputDir ends with "/". Returns false
  // when the batch did not start.
  bool Convert(std::vector<std::string> Files, std::string Format, std::string QualityText,
               std::string OutputDir);
  bool ConvertSources(std::vector<TBatchSource> Sources, std::string Format,
                      std::string QualityText, std::string OutputDir);
  // What ConvertSources would do with the same arguments, without doing anything. Throws
  // EAuException for a bad name template or a mirror state that cannot be read.
  TBatchPreview PreviewSources(const std::vector<TBatchSource>& Sources, const std::string& Format,
                               const std::string& QualityText, std::string OutputDir);
  bool Running() const { return FRunning; }
  // Ends a running batch at once: every running output is stopped and its unfinished file
  // removed; finished outputs stay.
  void Cancel();

  int ConvCount() const { return FConvCount; }  // entries started or passed over
  int ConvIndex() const { return FConvIndex; }  // the entry started last
  int ConvertedCount() const { return FConverted; }
  int FailedCount() const { return FFailed; }
  int SkippedCount() const { return FSkipped; }
  int CopiedCount() const { return FCopied; }
  int UnchangedCount() const { return FUnchanged; }
  int RemovedCount() const { return FRemoved; }
  // The entries this process handles: all of them but other shards'.
  int OwnEntryCount() const { return FOwnEntries; }
  int RunningCount() const;
  const std::vector<std::string>& Files() const { return FFiles; }
  // The last batch's plan of an entry's output: its name, and the name before numbering.
  const TPlannedOutput& Planned(int Index) const { return FPlan[static_cast<size_t>(Index)]; }

  // The window's captions of the formats written: ".wma", ".wav", ".mp3" and the rest.
  static const std::vector<std::string>& OutputFormats();
  // The cores this process may run on.
  static int DefaultJobs();
  static TMP3BitRate GetMP3BitRate(const std::string& Text);
  // The first lane's input for a source by its extension (letter case ignored), or null.
  TAuFileIn* InputFor(const std::string& FileName) const;
  // The first lane's output for a format (Id or caption), or null when none was made.
  TAuFileOut* OutputFor(const std::string& Format) const;
  static std::string OutputFileName(const std::string& OutputDir, const std::string& Source,
                                    const std::string& Format) {
    return tunevert::OutputFileName(OutputDir, Source, Format);
  }

 protected:
  void BeforeDestruction() override;

 private:
  // An entry's output file from its start until it is placed.
  struct TEntryOutput {
    std::string Final;
    // The entry's output file until it is placed; Temp is the name its writers open.
    std::unique_ptr<TPendingOutput> Pending;
    std::string Temp;
    // Written by the worker before its done event: the tag warning, the tags the output was
    // given (as fitted to its format), and what its loudness came to when it was measured.
    std::string Warning;
    TCarriedTags Tags;
    std::unique_ptr<TLoudnessMeter> Meter;
    TOutputLoudness Loudness;
    double HeaderGainDb = 0;  // the gain an Opus output's header carries
  };
  struct TLane : TEntryOutput {
    std::map<std::string, TAuFileIn*> Inputs;    // by the component's name, made when needed
    TAuFormatStage* Stage = nullptr;             // made when a setting changes the format
    TAuDeliveryTap* Tap = nullptr;               // made when outputs are read back or measured
    std::map<std::string, TAuFileOut*> Outputs;  // by format Id, made when first needed
    TAuFileOut* Running = nullptr;
    int Entry = -1;
    int Percent = 0;
    // Instead of Running, for an entry copied as it is.
    std::unique_ptr<TFileCopyJob> Copy;
  };
  // The finished outputs of an album wait for its last track, whose end gives the album's
  // values; then all of them are tagged and placed together.
  struct THeldOutput {
    int Index = -1;
    TEntryOutput Output;
  };
  struct TAlbum {
    int Waiting = 0;  // entries not settled yet
    std::vector<THeldOutput> Held;
  };
  // Everything a batch decides before it starts.
  struct TDecisions {
    std::vector<TPlannedOutput> Plan;
    TBatchPreview Preview;
    std::vector<TMirrorRecord> Records;   // per entry: what the mirror records when it is placed
    std::vector<TMirrorRecord> Removals;  // outputs of ours whose source is gone
    std::vector<std::string> Forgotten;   // records whose output is no longer ours
    std::vector<std::string> Albums;      // per entry, under album gain: its album's key
  };
  // What a batch with these arguments would do; State (a mirror's) may be null.
  TDecisions Decide(const std::vector<TBatchSource>& Sources, const TFormatSpec& Format,
                    const TQualityChoice& Quality, const std::string& OutputDir,
                    const TMirrorState* State) const;
  // What an output of a mirror was made with: when it changes, the output is made again.
  std::string SettingsKey(const TFormatSpec& Format, const TQualityChoice& Quality,
                          bool Copy) const;
  void RemoveGoneOutputs(const TDecisions& Made);
  // Removes Relative and its parents while they are empty folders this program made.
  void PruneFolders(std::string Relative);
  void MakeOutputFolder(const std::string& Folder);
  // The record that owns the output at Relative, or null.
  const TMirrorRecord* OwnerOf(const std::string& Relative) const;
  void KeepReplaced(const TMirrorRecord& Record);
  // PlaceOutput for a mirror: returns the name the file was put at.
  std::string PlaceMirrored(TEntryOutput& Output, int Index);
  // Writes the playlists (when asked) and, in a mirror, removes those of emptied folders.
  void UpdatePlaylists();
  bool StartCopy(TLane& Lane, int Index, std::string& Failure);
  void CopyDone(TLane& Lane, TFileCopyJob& Job);
  // Joins the copy threads that have finished (All: every one, for the end).
  void PruneCopies(bool All);
  void CloseMirror();
  static bool Busy(const TLane& Lane) { return Lane.Running != nullptr || Lane.Copy != nullptr; }

  // What became of a finished file: put at Name, left out (SkipReason), or Failure.
  struct TPlacement {
    std::string Name, SkipReason, Failure;
  };

  TAuFileIn* LaneInput(TLane& Lane, const TFormatSpec& Format);
  TAuFileOut* LaneOutput(TLane& Lane, const TFormatSpec& Format);
  // Points WaveIn1 ... MP3Out1 at what the first lane holds.
  void NameFirstLane();
  // Between input and output: the settings that apply to this output, or the input itself.
  // Gain (dB) is applied to the samples, for normalising.
  TAuInput* ConvertedInput(TLane& Lane, TAuFileIn* Input, double Gain);
  TAuInput* FormatStageFor(TLane& Lane, TAuFileIn* Input, double Gain);
  // Whether the outputs of Format take a format stage, and how it is set up.
  static bool ChangesFormat(const TOutputSettings& Settings, const TFormatSpec& Format);
  static void ShapeStage(TAuFormatStage& Stage, const TOutputSettings& Settings,
                         const TFormatSpec& Format);
  void ApplySettings(TAuFileOut* Output) const;

  // Starts waiting entries on idle lanes; ends the batch when nothing is left.
  void StartWaiting();
  void StartEntry(TLane& Lane, int Index);
  bool TryStart(TLane& Lane, int Index, std::string& Failure);
  // Points the lane at its entry's output file, which it owns until the entry settles.
  void BeginEntry(TLane& Lane, int Index, const std::string& Final,
                  std::unique_ptr<TPendingOutput> Pending);
  void FinishEntry(TLane& Lane);
  // Puts a finished file in place (unless it failed) and reports what became of its entry.
  void SettleEntry(TEntryOutput& Output, int Index, std::string Failure, const std::string& Warning,
                   bool Copied);
  // After an entry settled: what the user sees, and the next entries started.
  void StartNext();
  // Puts the lane's finished file at its entry's name, as Existing says.
  TPlacement PlaceOutput(TEntryOutput& Output, int Index);
  // Makes the names of the files placed so far survive a crash.
  void SyncOutputFolders();
  void FinishBatch();
  // On the worker, once the run has finished the lane's file: tags, read back, sync. Raises
  // when the file must not be put in place.
  void CompleteOutput(TLane& Lane, int Index, TAuOutput& Output);
  // The entry's source tags when they are carried; a source whose tags cannot be read gives
  // none and a warning.
  TCarriedTags SourceTags(int Index, std::string& Warning) const;
  // For an encoder that writes the tags itself: the source's, fitted to the format.
  TCarriedTags EncoderTags(TLane& Lane, int Index);
  // Into the pending output, for the formats whose tags are written after the audio; raises
  // when they could not be written.
  void TagOutput(TLane& Lane, int Index, const TCarriedTags& Measured);
  // Replaces the gain fields of Output's finished file with Gains, the rest as it was
  // written; raises when they could not be written.
  void RewriteGains(TEntryOutput& Output, const TCarriedTags& Gains);
  void Fail(int Index, const std::string& Message);

  // Loudness (BatchLoudness.cpp).
  bool MeasuresLoudness() const { return ReplayGain != TReplayGain::Off || NormalizeLufs; }
  // Groups the entries converted into albums, from Albums (per entry, "" for none).
  void FormAlbums(const std::vector<std::string>& Albums);
  // An album's key for a source: its album and album artist tags, else its folder.
  static std::string AlbumKey(const TBatchSource& Source);
  // Normalising first measures the entries to convert; the batch goes on when that ends.
  void StartLoudnessScan();
  void LoudnessScanned(std::vector<TLoudnessScan::TMeasured>& Measured);
  // On the worker, once the audio is complete: the measured values, into Tags.
  void MeasuredTrack(TLane& Lane, int Index, TCarriedTags& Tags);
  // Whether the finished entry waits for the rest of its album (then Lane's file is held).
  bool HoldForAlbum(TLane& Lane, int Index);
  // An entry of an album settled (held, failed or skipped); the album's last one places it.
  void AlbumEntrySettled(int Index);
  void FinishAlbum(TAlbum& Album);
  // Places every held output with the values it has (a stopped batch).
  void PlaceHeldOutputs(bool Report);
  void OutputDone(TLane& Lane, TComponent* Sender);
  void OutputProgress(TLane& Lane, TComponent* Sender);
  int BatchPercent() const;
  void ShowBatchProgress();
  void ShowBatchStatus();
  void SetStatus(int Stat1);
  void Status(const std::string& Text) {
    if (OnStatusText) OnStatusText(Text);
  }

  std::vector<std::string> FFiles;
  std::vector<TPlannedOutput> FPlan;
  std::vector<TEntryAction> FActions;
  std::vector<TMirrorRecord> FEntryRecords;
  std::vector<bool> FPlaced;  // the entry's output is in place (written, copied or unchanged)
  std::vector<int> FAlbumOf;  // per entry: its album in FAlbums, or -1
  std::vector<TAlbum> FAlbums;
  // Normalising: the gain each entry is converted with, and whether the peak limited it.
  std::vector<double> FEntryGain;
  std::vector<bool> FGainLimited;
  std::unique_ptr<TLoudnessScan> FScan;
  bool FInScanReport = false;  // FScan's report runs: it cannot be joined now
  std::map<int, std::string> FMeasureFailures;
  std::unique_ptr<TMirrorState> FMirror;
  std::vector<std::unique_ptr<TFileCopyJob>> FRetiredCopies;
  const TFormatSpec* FFormat = nullptr;
  TQualityChoice FQuality;
  std::string FOutputDir;
  std::vector<std::unique_ptr<TLane>> FLanes;
  std::set<std::string> FFoldersToSync;
  int FActiveLanes = 1;
  int FNext = 0;
  int FConvCount = 0;
  int FConvIndex = 0;
  int FFinished = 0;
  int FConverted = 0;
  int FFailed = 0;
  int FSkipped = 0;
  int FCopied = 0;
  int FUnchanged = 0;
  int FRemoved = 0;
  int FOwnEntries = 0;
  int FStarting = -1;  // the entry whose OnEntryStarted runs
  int FLastBatchPercent = -1;
  bool FRunning = false;
};

}  // namespace tunevert
