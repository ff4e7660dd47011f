#include "app/BatchConverter.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>

#include "app/OutputVerifier.h"
#include "flac/AuFLAC.h"
#include "flac/AuFLACOut.h"
#include "mp3enc/AuLame.h"
#include "opus/AuOpus.h"
#include "pipeline/AuDeliveryTap.h"
#include "pipeline/AuFormatStage.h"
#include "platform/Interrupt.h"
#include "platform/Text.h"
#include "tags/EncoderTags.h"
#include "tags/TagLibMeta.h"
#include "vorbis/AuVorbis.h"
#include "vorbis/AuVorbisOut.h"
#include "wav/AuWave.h"
#include "winmedia/AuFFmpegIn.h"
#include "winmedia/AuMpegIn.h"
#include "winmedia/AuWMAOut.h"
#include "winmedia/AuWinMedia.h"

namespace fs = std::filesystem;

namespace tunevert {

namespace {

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  if (fs::exists(a, ec) && fs::exists(b, ec)) return fs::equivalent(a, b, ec);
  return fs::weakly_canonical(a, ec) == fs::weakly_canonical(b, ec);
}

size_t KindIndex(TSourceKind Kind) {
  return static_cast<size_t>(Kind);
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

TBatchConverter::TBatchConverter(TComponent* AOwner, TFirstLane FirstLane) : TComponent(AOwner) {
  auto& lane = *FLanes.emplace_back(std::make_unique<TLane>());
  if (FirstLane == TFirstLane::OnDemand) return;
  // Inputs first, then outputs, as each format adds its component.
  for (TSourceKind kind : {TSourceKind::Wave, TSourceKind::Vorbis, TSourceKind::FLAC,
                           TSourceKind::MP3, TSourceKind::WindowsMedia})
    LaneInput(lane, kind);
  for (const char* format : {".wma", ".wav", ".mp3"}) LaneOutput(lane, format);
}

void TBatchConverter::NameFirstLane() {
  const TLane& lane = *FLanes.front();
  WaveIn1 = static_cast<TWaveIn*>(lane.Inputs[KindIndex(TSourceKind::Wave)]);
  VorbisIn1 = lane.Inputs[KindIndex(TSourceKind::Vorbis)];
  FLACIn1 = lane.Inputs[KindIndex(TSourceKind::FLAC)];
  MP3In1 = lane.Inputs[KindIndex(TSourceKind::MP3)];
  WMIn1 = lane.Inputs[KindIndex(TSourceKind::WindowsMedia)];
  const auto output = [&lane](const char* format) {
    const auto found = lane.Outputs.find(format);
    return found == lane.Outputs.end() ? nullptr : found->second;
  };
  WMAOut1 = output(".wma");
  WaveOut1 = static_cast<TWaveOut*>(output(".wav"));
  MP3Out1 = output(".mp3");
}

TAuFileIn* TBatchConverter::MakeInput(TSourceKind Kind) {
  // The Windows Media inputs decode through the runtime with its defaults: the file's own
  // channels and rate.
  auto setUpWMInput = [](TWMIn* input, const char* name) {
    input->SetName(name);
    input->SetLoop(false);
    input->SetStartSample(0);
    input->SetEndSample(-1);
    input->SetOutputChannels(TChannelsNumber::cnMonoOrStereo);
    input->SetHighPrecision(false);
    return input;
  };
  switch (Kind) {
    case TSourceKind::Wave: {
      auto* input = new TWaveIn(this);
      input->SetName("WaveIn1");
      return input;
    }
    case TSourceKind::Vorbis: {
      auto* input = new TVorbisIn(this);
      input->SetName("VorbisIn1");
      input->SetLoop(false);
      input->SetStartSample(0);
      input->SetEndSample(-1);
      return input;
    }
    case TSourceKind::FLAC: {
      auto* input = new TFLACIn(this);
      input->SetName("FLACIn1");
      input->SetLoop(false);
      input->SetStartSample(0);
      input->SetEndSample(-1);
      input->SetCheckMD5Signature(false);
      return input;
    }
    case TSourceKind::Opus: {
      auto* input = new TOpusIn(this);
      input->SetName("OpusIn1");
      return input;
    }
    case TSourceKind::FFmpeg: {
      // At its default high precision: 24-bit sources stay 24-bit.
      auto* input = new TFFmpegIn(this);
      input->SetName("FFmpegIn1");
      input->SetLoop(false);
      input->SetStartSample(0);
      input->SetEndSample(-1);
      input->SetOutputChannels(TChannelsNumber::cnMonoOrStereo);
      return input;
    }
    case TSourceKind::MP3:
      return setUpWMInput(new TMP3In(this), "MP3In1");
    case TSourceKind::WindowsMedia:
      return setUpWMInput(new TWMIn(this), "WMIn1");
  }
  return nullptr;
}

TAuFileOut* TBatchConverter::MakeOutput(const std::string& Format) {
  if (Format == ".wma") {
    auto* output = new TWMAOut(this);
    output->SetName("WMAOut1");
    output->SetShareMode(0);
    output->SetDesiredBitrate(0);
    output->SetLossless(false);
    output->SetVBR(false);
    output->SetVBRQuality(0);
    return output;
  }
  if (Format == ".wav") {
    auto* output = new TWaveOut(this);
    output->SetName("WaveOut1");
    output->SetShareMode(0);
    output->SetWavType(TWavType::wtPCM);
    output->SetBlockSize(512);
    output->SetCreateNonMsHeaders(false);
    output->SetFileMode(TFileOutputMode::foRewrite);
    return output;
  }
  if (Format == ".mp3") {
    auto* output = new TMP3Out(this);
    output->SetName("MP3Out1");
    output->SetBitRate(TMP3BitRate::mbr128);
    output->SetEnableBitReservoir(false);
    output->SetStrictISO(false);
    output->SetVBRQuality(TMP3Quality::mp3ql0);
    output->SetEnableVBR(false);
    output->SetAverageBitrate(TMP3BitRate::mbrAuto);
    output->SetMaximumBitrate(TMP3BitRate::mbrAuto);
    output->SetShareMode(0);
    return output;
  }
  if (Format == ".flac") {
    auto* output = new TFLACOut(this);
    output->SetName("FLACOut1");
    return output;
  }
  if (Format == ".ogg") {
    auto* output = new TVorbisOut(this);
    output->SetName("VorbisOut1");
    return output;
  }
  if (Format == ".opus") {
    auto* output = new TOpusOut(this);
    output->SetName("OpusOut1");
    return output;
  }
  return nullptr;
}

const std::vector<std::string>& TBatchConverter::OutputFormats() {
  static const std::vector<std::string> kFormats = {".wma",  ".wav", ".mp3",
                                                    ".flac", ".ogg", ".opus"};
  return kFormats;
}

void TBatchConverter::ApplySettings(TAuFileOut* Output) const {
  const auto kbps = static_cast<uint32_t>(std::strtoul(FBitrateText.c_str(), nullptr, 10));
  if (auto* mp3 = dynamic_cast<TMP3Out*>(Output)) {
    mp3->SetBitRate(GetMP3BitRate(FBitrateText));
    mp3->SetEnableVBR(Settings.MP3VBRQuality >= 0);
    if (Settings.MP3VBRQuality >= 0)
      mp3->SetVBRQuality(static_cast<TMP3Quality>(std::clamp(Settings.MP3VBRQuality, 0, 9)));
  } else if (auto* wma = dynamic_cast<TWMAOut*>(Output)) {
    wma->SetDesiredBitrate(kbps);
  } else if (auto* flac = dynamic_cast<TFLACOut*>(Output)) {
    flac->SetCompressionLevel(Settings.FLACLevel);
  } else if (auto* vorbis = dynamic_cast<TVorbisOut*>(Output)) {
    vorbis->SetQuality(Settings.VorbisQuality);
    vorbis->SetBitrateKbps(Settings.VorbisByBitrate ? kbps : 0);
  } else if (auto* opus = dynamic_cast<TOpusOut*>(Output)) {
    opus->SetBitrateKbps(kbps == 0 ? TOpusOut::kDefaultKbps : kbps);
  }
}

TAuInput* TBatchConverter::ConvertedInput(TLane& Lane, TAuFileIn* Input, TAuFileOut* Output) {
  TAuInput* converted = FormatStageFor(Lane, Input, Output);
  if (!Verify) return converted;
  // What the output receives is what its file must give back.
  if (Lane.Tap == nullptr) {
    Lane.Tap = new TAuDeliveryTap(this);
    Lane.Tap->SetName("DeliveryTap1");
  }
  Lane.Tap->SetInput(converted);
  return Lane.Tap;
}

TAuInput* TBatchConverter::FormatStageFor(TLane& Lane, TAuFileIn* Input, TAuFileOut* Output) {
  // Bit depth is a choice of the PCM outputs only; the encoders take what they are given.
  const bool pcm =
      dynamic_cast<TWaveOut*>(Output) != nullptr || dynamic_cast<TFLACOut*>(Output) != nullptr;
  const int bits = pcm ? Settings.BitsPerSample : 0;
  if (Settings.SampleRate == 0 && Settings.Channels == 0 && bits == 0) return Input;
  if (Lane.Stage == nullptr) {
    Lane.Stage = new TAuFormatStage(this);
    Lane.Stage->SetName("FormatStage1");
  }
  Lane.Stage->SetInput(Input);
  Lane.Stage->SetSampleRate(Settings.SampleRate);
  Lane.Stage->SetChannels(Settings.Channels);
  Lane.Stage->SetBitsPerSample(bits);
  return Lane.Stage;
}

TAuFileIn* TBatchConverter::LaneInput(TLane& Lane, TSourceKind Kind) {
  TAuFileIn*& input = Lane.Inputs[KindIndex(Kind)];
  if (input == nullptr) {
    input = MakeInput(Kind);
    if (&Lane == FLanes.front().get()) NameFirstLane();
  }
  return input;
}

TAuFileOut* TBatchConverter::LaneOutput(TLane& Lane, const std::string& Format) {
  auto found = Lane.Outputs.find(Format);
  if (found != Lane.Outputs.end()) return found->second;
  TAuFileOut* output = MakeOutput(Format);
  if (output != nullptr)
    output->SetOnDone([this, lane = &Lane](TComponent* Sender) { OutputDone(*lane, Sender); });
  Lane.Outputs.emplace(Format, output);
  if (&Lane == FLanes.front().get()) NameFirstLane();
  return output;
}

int TBatchConverter::DefaultJobs() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return 1;
  return std::max(1, CPU_COUNT(&set));
}

TMP3BitRate TBatchConverter::GetMP3BitRate(const std::string& Text) {
  static constexpr std::array<std::pair<const char*, TMP3BitRate>, 11> kRates = {{
      {"48", TMP3BitRate::mbr48},
      {"56", TMP3BitRate::mbr56},
      {"64", TMP3BitRate::mbr64},
      {"80", TMP3BitRate::mbr80},
      {"96", TMP3BitRate::mbr96},
      {"112", TMP3BitRate::mbr112},
      {"128", TMP3BitRate::mbr128},
      {"160", TMP3BitRate::mbr160},
      {"192", TMP3BitRate::mbr192},
      {"256", TMP3BitRate::mbr256},
      {"320", TMP3BitRate::mbr320},
  }};
  for (const auto& [text, rate] : kRates)
    if (Text == text) return rate;
  return TMP3BitRate::mbrAuto;
}

TAuFileIn* TBatchConverter::InputFor(const std::string& FileName) const {
  TSourceKind kind;
  return SourceKindOf(FileName, kind) ? FLanes.front()->Inputs[KindIndex(kind)] : nullptr;
}

TAuFileOut* TBatchConverter::OutputFor(const std::string& Format) const {
  const auto& outputs = FLanes.front()->Outputs;
  const auto found = outputs.find(Format);
  return found == outputs.end() ? nullptr : found->second;
}

int TBatchConverter::RunningCount() const {
  return static_cast<int>(std::count_if(FLanes.begin(), FLanes.end(),
                                        [](const auto& lane) { return lane->Running != nullptr; }));
}

bool TBatchConverter::Convert(std::vector<std::string> Files, std::string Format,
                              std::string BitrateText, std::string OutputDir) {
  std::vector<TBatchSource> sources;
  sources.reserve(Files.size());
  for (std::string& file : Files) sources.push_back({std::move(file), {}});
  return ConvertSources(std::move(sources), std::move(Format), std::move(BitrateText),
                        std::move(OutputDir));
}

bool TBatchConverter::ConvertSources(std::vector<TBatchSource> Sources, std::string Format,
                                     std::string BitrateText, std::string OutputDir) {
  if (FRunning) return false;
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
  FPlan = PlanOutputs(Sources, {OutputDir, Format, KeepTree, Existing, SkipNewer});
  FFiles.clear();
  for (TBatchSource& source : Sources) FFiles.push_back(std::move(source.File));
  FFormat = std::move(Format);
  FBitrateText = std::move(BitrateText);
  FOutputDir = std::move(OutputDir);
  FNext = FConvCount = FConvIndex = FFinished = FConverted = FFailed = FSkipped = 0;
  FLastBatchPercent = -1;
  FFoldersToSync.clear();
  const int count = static_cast<int>(FFiles.size());
  FActiveLanes = std::clamp(Jobs > 0 ? Jobs : DefaultJobs(), 1, count);
  while (static_cast<int>(FLanes.size()) < FActiveLanes)
    FLanes.push_back(std::make_unique<TLane>());
  FRunning = true;
  if (FActiveLanes == 1 && OnSelectEntry) OnSelectEntry(0);
  SetStatus(0);
  StartWaiting();
  return true;
}

void TBatchConverter::StartWaiting() {
  const int count = static_cast<int>(FFiles.size());
  for (int i = 0; i < FActiveLanes && FRunning && FNext < count; ++i) {
    TLane& lane = *FLanes[static_cast<size_t>(i)];
    // An entry that fails or is skipped before it runs frees its lane at once.
    while (lane.Running == nullptr && FRunning && FNext < count) StartEntry(lane, FNext++);
  }
  if (FRunning && FFinished == count) FinishBatch();
}

void TBatchConverter::StartEntry(TLane& Lane, int Index) {
  const int count = static_cast<int>(FFiles.size());
  const bool oneJob = FActiveLanes == 1;
  if (oneJob) {
    if (Index > 0 && OnSelectEntry) OnSelectEntry(Index);
    Status("Converting File: " + std::to_string(FConvCount + 1) + " of " + std::to_string(count));
  }
  FConvIndex = Index;
  ++FConvCount;
  const TPlannedOutput& planned = FPlan[static_cast<size_t>(Index)];
  if (!planned.SkipReason.empty()) {
    ++FSkipped;
    ++FFinished;
    if (OnEntrySkipped) OnEntrySkipped(Index, planned.SkipReason);
  } else {
    if (OnEntryStarted) OnEntryStarted(Index);
    std::string failure;
    if (!FRunning) return;
    if (!TryStart(Lane, Index, failure)) {
      ++FFinished;
      Fail(Index, failure);
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
  TSourceKind kind;
  if (!SourceKindOf(fileName, kind)) {
    Failure = "Unsupported file type";
    return false;
  }
  Failure = UnreadableSource(fileName);
  if (!Failure.empty()) return false;
  TAuFileOut* output = LaneOutput(Lane, FFormat);
  if (output == nullptr) {
    Failure = "The " + FFormat + " output is not available in this build";
    return false;
  }
  const std::string& finalName = FPlan[static_cast<size_t>(Index)].FinalName;
  if (SameFile(finalName, fileName)) {
    Failure = "The output file would replace its source; choose another output folder or format";
    return false;
  }
  std::error_code ec;
  const std::string folder = fs::path(finalName).parent_path().string();
  fs::create_directories(folder, ec);
  if (!fs::is_directory(folder)) {
    Failure = "The output folder " + folder + " could not be created" +
              (ec ? ": " + ec.message() : std::string());
    return false;
  }
  std::unique_ptr<TPendingOutput> pending;
  try {
    pending = std::make_unique<TPendingOutput>(finalName);
  } catch (const std::exception& e) {
    Failure = "The output file " + finalName + " could not be created: " + e.what();
    return false;
  }
  try {
    TAuFileIn* input = LaneInput(Lane, kind);
    input->SetFileName(fileName);
    // Opened by the worker: a source slow to open (a long chain, a hostile file) never holds
    // up this thread, and stopping the output ends the open.
    output->SetBeforeStart([input](TAuOutput& Sender) {
      if (input->Valid()) return;
      throw EAuException(Sender.StopRequested() || InterruptRequested()
                             ? "The conversion stopped before the end of the file."
                             : "Not a valid or supported audio file");
    });
    output->SetInput(ConvertedInput(Lane, input, output));
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
    Lane.Entry = Index;
    Lane.Percent = 0;
    Lane.Final = finalName;
    Lane.Temp = pending->Path();
    Lane.Pending = std::move(pending);
    Lane.Warning.clear();
    Lane.Tags = {};
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

void TBatchConverter::CompleteOutput(TLane& Lane, int Index, TAuOutput& Output) {
  if (dynamic_cast<TTagWritingOutput*>(&Output) == nullptr) TagOutput(Lane, Index);
  if (Verify) {
    if (BeforeVerify) BeforeVerify(Index, Lane.Temp);
    VerifyOutput(Lane.Temp, FFormat, Lane.Tap->Delivered(),
                 [&Output] { return Output.StopRequested(); });
    VerifyWrittenTags(Lane.Temp, FFormat, Lane.Tags);
  }
  // A file that will replace another must be on the disk first; syncing it here keeps that
  // wait off the thread that places it.
  struct stat existing {};
  if (Existing == TExistingOutput::Overwrite && ::lstat(Lane.Final.c_str(), &existing) == 0)
    Lane.Pending->Sync();
}

void TBatchConverter::FinishEntry(TLane& Lane) {
  TAuFileOut* output = std::exchange(Lane.Running, nullptr);
  const int index = std::exchange(Lane.Entry, -1);
  ++FFinished;
  std::string failure = output->ExceptionMessage();
  // A run cut short (stopped while the converter winds down, say) is never put in place.
  if (failure.empty() && !output->RunComplete())
    failure = "The conversion stopped before the end of the file.";
  // Tagged and read back on the worker; put in place here. Anything not placed goes with the
  // pending file.
  const std::string warning = std::move(Lane.Warning);
  TPlacement placement;
  if (failure.empty()) {
    placement = PlaceOutput(Lane, index);
    failure = placement.Failure;
  }
  Lane.Pending.reset();
  if (!failure.empty()) {
    Fail(index, failure);
    return;
  }
  if (!placement.SkipReason.empty()) {
    ++FSkipped;
    if (OnEntrySkipped) OnEntrySkipped(index, placement.SkipReason);
    return;
  }
  ++FConverted;
  if (FPlan[static_cast<size_t>(index)].Numbered && OnEntryNumbered)
    OnEntryNumbered(index, placement.Name);
  if (!warning.empty() && OnEntryWarning) OnEntryWarning(index, warning);
  if (OnEntryDone) OnEntryDone(index, placement.Name);
}

TBatchConverter::TPlacement TBatchConverter::PlaceOutput(TLane& Lane, int Index) {
  // Numbered names run out only when other programs keep taking each one we pick.
  constexpr int kRenumberings = 1000;
  TPlannedOutput& planned = FPlan[static_cast<size_t>(Index)];
  TPlacement result;
  std::string name = Lane.Final;
  try {
    if (Existing == TExistingOutput::Overwrite) {
      // Only a replacing placement waits for the disk; a new name is synced with its folder
      // when the batch ends.
      if (!Lane.Pending->PlaceNew(name)) Lane.Pending->PlaceReplacing(name);
    } else {
      // The plan saw the folder when the batch started; other programs may have written
      // there since, and what they wrote stays.
      for (int renumbered = 0; !Lane.Pending->PlaceNew(name); ++renumbered) {
        if (Existing == TExistingOutput::Skip) {
          result.SkipReason = name + " already exists";
          return result;
        }
        if (renumbered == kRenumberings) throw EAuException("every numbered name is taken");
        name = RenumberedOutput(FFiles, FPlan, static_cast<size_t>(Index), FFormat);
        planned.FinalName = name;
        planned.Numbered = true;
      }
    }
  } catch (const std::exception& e) {
    result.Failure = "The output file " + name + " could not be written: " + e.what();
    return result;
  }
  Lane.Final = name;
  FFoldersToSync.insert(fs::path(name).parent_path().string());
  result.Name = std::move(name);
  return result;
}

void TBatchConverter::SyncOutputFolders() {
  // New names are on the disk once their folder is synced; each folder once per batch. A
  // failure here would come after the entries were reported, and the files themselves are
  // complete, so it is not reported.
  for (const std::string& folder : FFoldersToSync) SyncFolder(folder.empty() ? "." : folder);
  FFoldersToSync.clear();
}

void TBatchConverter::FinishBatch() {
  FRunning = false;
  SyncOutputFolders();
  const int count = static_cast<int>(FFiles.size());
  if (FActiveLanes > 1 && OnProgressPosition) OnProgressPosition(100);
  if (OnBatchProgress && FLastBatchPercent != 100) OnBatchProgress(100);
  if (FFailed == 0)
    Status("Done!");
  else
    Status("Done! " + std::to_string(FFailed) + " of " + std::to_string(count) + " files failed");
  SetStatus(-1);
  if (OnBatchDone) OnBatchDone();
}

int TBatchConverter::BatchPercent() const {
  const int count = static_cast<int>(FFiles.size());
  int sum = FFinished * 100;
  for (const auto& lane : FLanes)
    if (lane->Running != nullptr) sum += lane->Percent;
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
  Status("Converting: " + std::to_string(FFinished) + " of " + std::to_string(FFiles.size()) +
         " done, " + std::to_string(RunningCount()) + " running");
}

void TBatchConverter::SetStatus(int Stat1) {
  if (OnControlsEnabled) OnControlsEnabled(Stat1 != 0);
}

void TBatchConverter::Fail(int Index, const std::string& Message) {
  ++FFailed;
  if (OnEntryFailed) OnEntryFailed(Index, Message);
}

TCarriedTags TBatchConverter::SourceTags(int Index, std::string& Warning) const {
  if (!CarryTags) return {};
  // A source whose tags cannot be read still converts, without them, and says so: the output
  // may lack what the source holds.
  try {
    return ReadCarriedTags(FFiles[static_cast<size_t>(Index)]);
  } catch (const std::exception& e) {
    Warning = std::string("tags not read: ") + e.what();
    return {};
  }
}

namespace {

void AddWarnings(std::string& Warning, const std::vector<std::string>& More) {
  for (const std::string& sentence : More) Warning += (Warning.empty() ? "" : "; ") + sentence;
}

}  // namespace

TCarriedTags TBatchConverter::EncoderTags(TLane& Lane, int Index) {
  // What the output's format cannot hold is left out, and said.
  std::vector<std::string> leftOut;
  Lane.Tags = FitCarriedTags(SourceTags(Index, Lane.Warning), FFormat, leftOut);
  AddWarnings(Lane.Warning, leftOut);
  return Lane.Tags;
}

void TBatchConverter::TagOutput(TLane& Lane, int Index) {
  const TCarriedTags tags = SourceTags(Index, Lane.Warning);
  // Runs with empty tags too: the output then loses whatever empty record its encoder left.
  // A file whose tags could not be written is no finished output: it would replace an earlier
  // tagged one with bare audio.
  try {
    AddWarnings(Lane.Warning, WriteCarriedTags(Lane.Temp, tags, FFormat, &Lane.Tags));
  } catch (const std::exception& e) {
    throw EAuException(std::string("The tags could not be written: ") + e.what());
  }
}

void TBatchConverter::OutputDone(TLane& Lane, TComponent* Sender) {
  // A converter being destroyed reports nothing: whoever listens may be gone already.
  if (!FRunning || Sender != Lane.Running || IsDestroying()) return;
  FinishEntry(Lane);
  if (!FRunning) return;
  if (FActiveLanes > 1) ShowBatchStatus();
  ShowBatchProgress();
  StartWaiting();
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
    if (output == nullptr) continue;
    output->Stop(false);
    lane->Pending.reset();
    notConverted.push_back(std::exchange(lane->Entry, -1));
  }
  SyncOutputFolders();
  if (!report) return;
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
  TComponent::BeforeDestruction();
}

}  // namespace tunevert
