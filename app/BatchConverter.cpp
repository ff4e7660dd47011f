#include "app/BatchConverter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>

#include "pipeline/HeaderGain.h"
#include "platform/Interrupt.h"
#include "tags/EncoderTags.h"

namespace fs = std::filesystem;

namespace tunevert {

namespace {

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  if (fs::exists(a, ec) && fs::exists(b, ec)) return fs::equivalent(a, b, ec);
  return fs::weakly_canonical(a, ec) == fs::weakly_canonical(b, ec);
}

// Why a source cannot be read at all, or "" when it can: the inputs would only find that it
// is not audio.
std::string UnreadableSource(const std::string& FileName) {
  const int fd = open(FileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  int error = fd < 0 ? errno : 0;
  bool regular = true;
  if (fd >= 0) {
    struct stat status {};
    if (fstat(fd, &status) != 0)
      error = errno;
    else if (S_ISDIR(status.st_mode))
      error = EISDIR;
    else
      regular = S_ISREG(status.st_mode);
    close(fd);
  }
  // Sources are opened and read by the workers, where a pipe that nobody writes to would hold
  // one for good; and a pipe cannot be read twice.
  if (!regular) return "The file could not be read: it is a pipe or a device, not a file";
  if (error == 0) return {};
  if (error == ENOENT || error == ENOTDIR) return "The file does not exist";
  return "The file could not be read: " + std::generic_category().message(error);
}

}  // namespace

int TBatchConverter::RunningCount() const {
  return static_cast<int>(
      std::count_if(FLanes.begin(), FLanes.end(), [](const auto& lane) { return Busy(*lane); }));
}

bool TBatchConverter::Convert(std::vector<std::string> Files, std::string Format,
                              std::string QualityText, std::string OutputDir) {
  std::vector<TBatchSource> sources;
  sources.reserve(Files.size());
  for (std::string& file : Files) sources.push_back({std::move(file), {}});
  return ConvertSources(std::move(sources), std::move(Format), std::move(QualityText),
                        std::move(OutputDir));
}

bool TBatchConverter::ConvertSources(std::vector<TBatchSource> Sources, std::string Format,
                                     std::string QualityText, std::string OutputDir) {
  if (FRunning) return false;
  const TFormatSpec* format = FindFormat(Format);
  if (format == nullptr || !format->Writable()) {
    if (OnMessage) OnMessage("This program cannot write " + Format + " files");
    return false;
  }
  if (OutputDir.empty() || Sources.empty()) {
    if (OnMessage) OnMessage("You have to select a output folder and have some files to convert");
    return false;
  }
  if (OutputDir.back() != '/') OutputDir += '/';
  std::error_code ec;
  fs::create_directories(OutputDir, ec);
  if (!fs::is_directory(OutputDir)) {
    if (OnMessage)
      OnMessage("The output folder " + OutputDir + " could not be created" +
                (ec ? ": " + ec.message() : std::string()));
    return false;
  }
  PruneCopies(false);
  if (!FInScanReport) FScan.reset();
  if (MeasuresLoudness()) {
    // Said once, before anything is written, rather than by every entry.
    try {
      TLoudnessMeter probe(2, 48000);
    } catch (const std::exception& e) {
      if (OnMessage) OnMessage(e.what());
      return false;
    }
  }
  const TQualityChoice quality =
      QualityText.empty() ? Settings.Quality : format->ChoiceFromText(QualityText);
  TDecisions made;
  try {
    if (Mirror) FMirror = std::make_unique<TMirrorState>(OutputDir);
    made = Decide(Sources, *format, quality, OutputDir, FMirror.get());
  } catch (const std::exception& e) {
    FMirror.reset();
    if (OnMessage) OnMessage(e.what());
    return false;
  }
  FPlan = std::move(made.Plan);
  FActions.clear();
  for (const TEntryPlan& entry : made.Preview.Entries) FActions.push_back(entry.Action);
  FOwnEntries =
      static_cast<int>(FActions.size()) -
      static_cast<int>(std::count(FActions.begin(), FActions.end(), TEntryAction::OtherShard));
  FEntryRecords = std::move(made.Records);
  FormAlbums(made.Albums);
  FEntryGain.clear();
  FGainLimited.clear();
  FMeasureFailures.clear();
  FPlaced.assign(Sources.size(), false);
  FFiles.clear();
  for (TBatchSource& source : Sources) FFiles.push_back(std::move(source.File));
  FFormat = format;
  FQuality = quality;
  FOutputDir = std::move(OutputDir);
  FNext = FConvCount = FConvIndex = FFinished = FConverted = FFailed = FSkipped = 0;
  FCopied = FUnchanged = FRemoved = 0;
  if (FMirror) RemoveGoneOutputs(made);
  FLastBatchPercent = -1;
  FFoldersToSync.clear();
  const int count = static_cast<int>(FFiles.size());
  FActiveLanes = std::clamp(Jobs > 0 ? Jobs : DefaultJobs(), 1, count);
  while (static_cast<int>(FLanes.size()) < FActiveLanes)
    FLanes.push_back(std::make_unique<TLane>());
  FRunning = true;
  if (FActiveLanes == 1 && OnSelectEntry) OnSelectEntry(0);
  SetStatus(0);
  if (NormalizeLufs)
    StartLoudnessScan();
  else
    StartWaiting();
  return true;
}

void TBatchConverter::StartWaiting() {
  const int count = static_cast<int>(FFiles.size());
  for (int i = 0; i < FActiveLanes && FRunning && FNext < count; ++i) {
    TLane& lane = *FLanes[static_cast<size_t>(i)];
    // An entry that fails or is skipped before it runs frees its lane at once.
    while (!Busy(lane) && FRunning && FNext < count) StartEntry(lane, FNext++);
  }
  if (FRunning && FFinished == count) FinishBatch();
}

void TBatchConverter::StartEntry(TLane& Lane, int Index) {
  const TEntryAction action = FActions[static_cast<size_t>(Index)];
  if (action == TEntryAction::OtherShard) {
    ++FFinished;
    return;
  }
  const bool oneJob = FActiveLanes == 1;
  if (oneJob) {
    if (Index > 0 && OnSelectEntry) OnSelectEntry(Index);
    Status("Converting File: " + std::to_string(FConvCount + 1) + " of " +
           std::to_string(FOwnEntries));
  }
  FConvIndex = Index;
  ++FConvCount;
  const TPlannedOutput& planned = FPlan[static_cast<size_t>(Index)];
  if (action == TEntryAction::Skip) {
    ++FSkipped;
    ++FFinished;
    if (OnEntrySkipped) OnEntrySkipped(Index, planned.SkipReason);
  } else if (action == TEntryAction::Leave) {
    ++FUnchanged;
    ++FFinished;
    FPlaced[static_cast<size_t>(Index)] = true;
    if (OnEntryUnchanged) OnEntryUnchanged(Index, planned.FinalName);
  } else {
    // A stop asked for from OnEntryStarted leaves this entry not converted.
    FStarting = Index;
    if (OnEntryStarted) OnEntryStarted(Index);
    FStarting = -1;
    std::string failure;
    if (!FRunning) return;
    if (!TryStart(Lane, Index, failure)) {
      ++FFinished;
      Fail(Index, failure);
      AlbumEntrySettled(Index);
    }
  }
  if (!FRunning) return;
  if (oneJob) {
    if (OnProgressPosition) OnProgressPosition(0);
  } else {
    ShowBatchStatus();
  }
  ShowBatchProgress();
}

bool TBatchConverter::TryStart(TLane& Lane, int Index, std::string& Failure) {
  const std::string& fileName = FFiles[static_cast<size_t>(Index)];
  const TFormatSpec* source = FormatForFile(fileName);
  if (source == nullptr) {
    Failure = "Unsupported file type";
    return false;
  }
  Failure = UnreadableSource(fileName);
  if (!Failure.empty()) return false;
  const bool copy = FActions[static_cast<size_t>(Index)] == TEntryAction::Copy;
  TAuFileOut* output = copy ? nullptr : LaneOutput(Lane, *FFormat);
  if (!copy && output == nullptr) {
    Failure = "The " + FFormat->Caption + " output is not available in this build";
    return false;
  }
  const std::string& finalName = FPlan[static_cast<size_t>(Index)].FinalName;
  if (SameFile(finalName, fileName)) {
    Failure = "The output file would replace its source; choose another output folder or format";
    return false;
  }
  try {
    MakeOutputFolder(fs::path(finalName).parent_path().string());
  } catch (const std::exception& e) {
    Failure = e.what();
    return false;
  }
  std::unique_ptr<TPendingOutput> pending;
  try {
    pending = std::make_unique<TPendingOutput>(finalName);
  } catch (const std::exception& e) {
    Failure = "The output file " + finalName + " could not be created: " + e.what();
    return false;
  }
  if (copy) {
    BeginEntry(Lane, Index, finalName, std::move(pending));
    Lane.Copy = std::make_unique<TFileCopyJob>(
        fileName, Lane.Temp, Verify,
        [this, lane = &Lane](TFileCopyJob& Job) { CopyDone(*lane, Job); });
    return true;
  }
  if (const auto failed = FMeasureFailures.find(Index); failed != FMeasureFailures.end()) {
    Failure = "The loudness could not be measured: " + failed->second;
    return false;
  }
  try {
    TAuFileIn* input = LaneInput(Lane, *source);
    input->SetFileName(fileName);
    // An Opus output takes a normalising gain in its header, the coded audio untouched;
    // every other output's samples take it.
    const double gain = FEntryGain.empty() ? 0 : FEntryGain[static_cast<size_t>(Index)];
    auto* headerGain = dynamic_cast<THeaderGainOutput*>(output);
    if (headerGain != nullptr) headerGain->SetHeaderGain(gain);
    // Opened by the worker: a source slow to open (a long chain, a hostile file) never holds
    // up this thread, and stopping the output ends the open.
    output->SetBeforeStart([input](TAuOutput& Sender) {
      if (input->Valid()) return;
      throw EAuException(Sender.StopRequested() || InterruptRequested()
                             ? "The conversion stopped before the end of the file."
                             : "Not a valid or supported audio file");
    });
    output->SetInput(ConvertedInput(Lane, input, headerGain != nullptr ? 0 : gain));
    ApplySettings(output);
    // With nobody to show it to, a run posts no progress events: each costs the worker, the
    // dispatcher and this thread a round trip whenever the percentage moves.
    TOutputProgressEvent progress;
    if (OnProgressPosition || OnEntryProgress || OnBatchProgress)
      progress = [this, lane = &Lane](TComponent* Sender) { OutputProgress(*lane, Sender); };
    output->SetOnProgress(std::move(progress));
    // Every writer, the tag writer too, opens the file through this name, never through a
    // name in the folder.
    output->SetFileName(pending->Path());
    // The worker finishes the file itself (tags, read back, sync): long work that must not
    // hold up this thread. The lane is set up before the run starts, for the worker to read.
    BeginEntry(Lane, Index, finalName, std::move(pending));
    Lane.HeaderGainDb = headerGain != nullptr ? gain : 0;
    if (auto* tagWriter = dynamic_cast<TTagWritingOutput*>(output))
      tagWriter->SetTagSource([this, lane = &Lane, Index] { return EncoderTags(*lane, Index); });
    output->SetAfterFinish(
        [this, lane = &Lane, Index](TAuOutput& Sender) { CompleteOutput(*lane, Index, Sender); });
    output->Run();
    Lane.Running = output;
    return true;
  } catch (const std::exception& e) {
    Lane.Entry = -1;
    Lane.Pending.reset();
    Failure = e.what();
    return false;
  }
}

void TBatchConverter::BeginEntry(TLane& Lane, int Index, const std::string& Final,
                                 std::unique_ptr<TPendingOutput> Pending) {
  Lane.Entry = Index;
  Lane.Percent = 0;
  Lane.Final = Final;
  Lane.Temp = Pending->Path();
  Lane.Pending = std::move(Pending);
  Lane.Warning.clear();
  Lane.Tags = {};
  Lane.Meter.reset();
  Lane.Loudness = {};
  Lane.HeaderGainDb = 0;
}

void TBatchConverter::FinishEntry(TLane& Lane) {
  TAuFileOut* output = std::exchange(Lane.Running, nullptr);
  const int index = std::exchange(Lane.Entry, -1);
  ++FFinished;
  std::string failure = output->ExceptionMessage();
  // A run cut short (stopped while the converter winds down, say) is never put in place.
  if (failure.empty() && !output->RunComplete())
    failure = "The conversion stopped before the end of the file.";
  // Tagged and read back on the worker; put in place here, or with the rest of its album.
  // Anything not placed goes with the pending file.
  if (failure.empty() && HoldForAlbum(Lane, index)) {
    AlbumEntrySettled(index);
    return;
  }
  SettleEntry(Lane, index, std::move(failure), Lane.Warning, false);
  AlbumEntrySettled(index);
}

void TBatchConverter::SettleEntry(TEntryOutput& Output, int Index, std::string Failure,
                                  const std::string& Warning, bool Copied) {
  TPlacement placement;
  if (Failure.empty()) {
    placement = PlaceOutput(Output, Index);
    Failure = placement.Failure;
  }
  Output.Pending.reset();
  if (!Failure.empty()) {
    Fail(Index, Failure);
    return;
  }
  if (!placement.SkipReason.empty()) {
    ++FSkipped;
    if (OnEntrySkipped) OnEntrySkipped(Index, placement.SkipReason);
    return;
  }
  ++(Copied ? FCopied : FConverted);
  FPlaced[static_cast<size_t>(Index)] = true;
  if (FPlan[static_cast<size_t>(Index)].Numbered && OnEntryNumbered)
    OnEntryNumbered(Index, placement.Name);
  if (!Warning.empty() && OnEntryWarning) OnEntryWarning(Index, Warning);
  if (Output.Meter != nullptr && OnEntryLoudness) OnEntryLoudness(Index, Output.Loudness);
  if (const auto& done = Copied ? OnEntryCopied : OnEntryDone) done(Index, placement.Name);
}

void TBatchConverter::StartNext() {
  if (!FRunning) return;
  if (FActiveLanes > 1) ShowBatchStatus();
  ShowBatchProgress();
  StartWaiting();
}

void TBatchConverter::FinishBatch() {
  FRunning = false;
  if (FMirror || Playlist) UpdatePlaylists();
  SyncOutputFolders();
  CloseMirror();
  if (FActiveLanes > 1 && OnProgressPosition) OnProgressPosition(100);
  if (OnBatchProgress && FLastBatchPercent != 100) OnBatchProgress(100);
  if (FFailed == 0)
    Status("Done!");
  else
    Status("Done! " + std::to_string(FFailed) + " of " + std::to_string(FOwnEntries) +
           " files failed");
  SetStatus(-1);
  if (OnBatchDone) OnBatchDone();
}

int TBatchConverter::BatchPercent() const {
  const int count = static_cast<int>(FFiles.size());
  int sum = FFinished * 100;
  for (const auto& lane : FLanes)
    if (lane->Running != nullptr)
      sum += lane->Percent;
    else if (lane->Copy != nullptr)
      sum += lane->Copy->Percent();
  return count == 0 ? 100 : sum / count;
}

void TBatchConverter::ShowBatchProgress() {
  const int percent = BatchPercent();
  if (percent == FLastBatchPercent) return;
  FLastBatchPercent = percent;
  if (FActiveLanes > 1 && OnProgressPosition) OnProgressPosition(percent);
  if (OnBatchProgress) OnBatchProgress(percent);
}

void TBatchConverter::ShowBatchStatus() {
  const int otherShards = static_cast<int>(FFiles.size()) - FOwnEntries;
  Status("Converting: " + std::to_string(FFinished - std::min(FFinished, otherShards)) + " of " +
         std::to_string(FOwnEntries) + " done, " + std::to_string(RunningCount()) + " running");
}

void TBatchConverter::SetStatus(int Stat1) {
  if (OnControlsEnabled) OnControlsEnabled(Stat1 != 0);
}

void TBatchConverter::Fail(int Index, const std::string& Message) {
  ++FFailed;
  if (OnEntryFailed) OnEntryFailed(Index, Message);
}

void TBatchConverter::OutputDone(TLane& Lane, TComponent* Sender) {
  // A converter being destroyed reports nothing: whoever listens may be gone already.
  if (!FRunning || Sender != Lane.Running || IsDestroying()) return;
  FinishEntry(Lane);
  StartNext();
}

void TBatchConverter::OutputProgress(TLane& Lane, TComponent* Sender) {
  if (!FRunning || Sender != Lane.Running || IsDestroying()) return;
  Lane.Percent = static_cast<TAuOutput*>(Sender)->Progress();
  if (OnEntryProgress) OnEntryProgress(Lane.Entry, Lane.Percent);
  if (FActiveLanes == 1) {
    if (OnProgressPosition) OnProgressPosition(Lane.Percent);
  }
  ShowBatchProgress();
}

void TBatchConverter::Cancel() {
  if (!FRunning) return;
  FRunning = false;
  const bool report = !IsDestroying();
  std::vector<int> notConverted;
  for (const auto& lane : FLanes) {
    TAuFileOut* output = std::exchange(lane->Running, nullptr);
    // A copy is stopped and joined before its file goes: it writes through the file's name.
    std::unique_ptr<TFileCopyJob> copy = std::move(lane->Copy);
    if (output == nullptr && copy == nullptr) continue;
    if (output != nullptr) output->Stop(false);
    copy.reset();
    lane->Pending.reset();
    notConverted.push_back(std::exchange(lane->Entry, -1));
  }
  if (FScan) FScan->Stop();
  if (!FInScanReport) FScan.reset();
  // Finished outputs stay; those waiting for the rest of their album keep their track values.
  PlaceHeldOutputs(report);
  SyncOutputFolders();
  CloseMirror();
  if (!report) return;
  if (FStarting >= 0) notConverted.push_back(FStarting);
  std::sort(notConverted.begin(), notConverted.end());
  for (int i = FNext; i < static_cast<int>(FFiles.size()); ++i) notConverted.push_back(i);
  if (OnEntryNotConverted)
    for (int index : notConverted) OnEntryNotConverted(index);
  SetStatus(-1);
}

void TBatchConverter::BeforeDestruction() {
  // The outputs have already stopped (owned components wind down first); what is left is
  // the unfinished files.
  Cancel();
  PruneCopies(true);
  FScan.reset();
  TComponent::BeforeDestruction();
}

}  // namespace tunevert
