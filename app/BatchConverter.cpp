#include "app/BatchConverter.h"

#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "flac/AuFLAC.h"
#include "mp3enc/AuLame.h"
#include "platform/Text.h"
#include "tags/TagLibMeta.h"
#include "vorbis/AuVorbis.h"
#include "wav/AuWave.h"
#include "winmedia/AuMpegIn.h"
#include "winmedia/AuWMAOut.h"
#include "winmedia/AuWinMedia.h"

namespace fs = std::filesystem;

namespace tunevert {

namespace {

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code ec;
  if (fs::exists(a, ec) && fs::exists(b, ec)) return fs::equivalent(a, b, ec);
  return fs::weakly_canonical(a, ec) == fs::weakly_canonical(b, ec);
}

}  // namespace

TBatchConverter::TBatchConverter(TComponent* AOwner) : TComponent(AOwner) {
  // Inputs first, then outputs; each format adds its component here.
  WaveIn1 = new TWaveIn(this);
  WaveIn1->SetName("WaveIn1");
  auto* vorbisIn = new TVorbisIn(this);
  vorbisIn->SetName("VorbisIn1");
  vorbisIn->SetLoop(false);
  vorbisIn->SetStartSample(0);
  vorbisIn->SetEndSample(-1);
  VorbisIn1 = vorbisIn;
  auto* flacIn = new TFLACIn(this);
  flacIn->SetName("FLACIn1");
  flacIn->SetLoop(false);
  flacIn->SetStartSample(0);
  flacIn->SetEndSample(-1);
  flacIn->SetCheckMD5Signature(false);
  FLACIn1 = flacIn;

  // Both decode through the Windows Media runtime with its defaults: the file's own
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
  MP3In1 = setUpWMInput(new TMP3In(this), "MP3In1");
  WMIn1 = setUpWMInput(new TWMIn(this), "WMIn1");

  auto* wmaOut = new TWMAOut(this);
  wmaOut->SetName("WMAOut1");
  wmaOut->SetShareMode(0);
  wmaOut->SetDesiredBitrate(0);
  wmaOut->SetLossless(false);
  wmaOut->SetVBR(false);
  wmaOut->SetVBRQuality(0);
  WMAOut1 = wmaOut;

  WaveOut1 = new TWaveOut(this);
  WaveOut1->SetName("WaveOut1");
  WaveOut1->SetShareMode(0);
  WaveOut1->SetWavType(TWavType::wtPCM);
  WaveOut1->SetBlockSize(512);
  WaveOut1->SetCreateNonMsHeaders(false);
  WaveOut1->SetFileMode(TFileOutputMode::foRewrite);

  auto* mp3 = new TMP3Out(this);
  mp3->SetName("MP3Out1");
  mp3->SetBitRate(TMP3BitRate::mbr128);
  mp3->SetEnableBitReservoir(false);
  mp3->SetStrictISO(false);
  mp3->SetVBRQuality(TMP3Quality::mp3ql0);
  mp3->SetEnableVBR(false);
  mp3->SetAverageBitrate(TMP3BitRate::mbrAuto);
  mp3->SetMaximumBitrate(TMP3BitRate::mbrAuto);
  mp3->SetShareMode(0);
  MP3Out1 = mp3;

  for (TAuFileOut* output : {WMAOut1, static_cast<TAuFileOut*>(WaveOut1), MP3Out1}) {
    if (output == nullptr) continue;
    output->SetOnDone([this](TComponent* Sender) { OutputDone(Sender); });
  }
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
  const std::string ext = LowerAscii(FileExtension(FileName));
  if (ext == ".mp3") return MP3In1;
  if (ext == ".ogg") return VorbisIn1;
  if (ext == ".flac") return FLACIn1;
  if (ext == ".wav") return WaveIn1;
  if (ext == ".wma") return WMIn1;
  return nullptr;
}

TAuFileOut* TBatchConverter::OutputFor(const std::string& Format) const {
  if (Format == ".wma") return WMAOut1;
  if (Format == ".wav") return WaveOut1;
  if (Format == ".mp3") return MP3Out1;
  return nullptr;
}

std::string TBatchConverter::OutputFileName(const std::string& OutputDir, const std::string& Source,
                                            const std::string& Format) {
  std::string name = BaseName(Source);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.erase(dot);
  return OutputDir + name + Format;
}

std::string TBatchConverter::TemporaryFileName(const std::string& FinalName) {
  const size_t slash = FinalName.rfind('/');
  const std::string dir =
      slash == std::string::npos ? std::string() : FinalName.substr(0, slash + 1);
  std::string name = BaseName(FinalName);
  const std::string ext = FileExtension(name);
  name.erase(name.size() - ext.size());
  return dir + "." + name + ".tunevert-" + std::to_string(getpid()) + ext;
}

bool TBatchConverter::Convert(std::vector<std::string> Files, std::string Format,
                              std::string BitrateText, std::string OutputDir) {
  if (FRunning) return false;
  if (OutputDir.empty() || Files.empty()) {
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
  FFiles = std::move(Files);
  FFormat = std::move(Format);
  FBitrateText = std::move(BitrateText);
  FOutputDir = std::move(OutputDir);
  FConvCount = 0;
  FConvIndex = 0;
  FFailed = 0;
  FRunning = true;
  // With nobody to show it to, a run posts no progress events: each costs the worker, the
  // dispatcher and this thread a round trip whenever the percentage moves.
  TOutputProgressEvent progress;
  if (OnProgressPosition) progress = [this](TComponent* Sender) { OutputProgress(Sender); };
  for (TAuFileOut* output : {WMAOut1, static_cast<TAuFileOut*>(WaveOut1), MP3Out1})
    if (output != nullptr) output->SetOnProgress(progress);
  if (OnSelectEntry) OnSelectEntry(0);
  SetStatus(0);
  AudioConvert(FFiles[FConvIndex]);
  if (FCurrentOutput == nullptr) ConvDoneNext();
  return true;
}

void TBatchConverter::AudioConvert(const std::string& FileName) {
  const int count = static_cast<int>(FFiles.size());
  Status("Converting File: " + std::to_string(FConvCount + 1) + " of " + std::to_string(count));
  if (FConvCount >= count) return;
  std::string failure;
  if (!TryStart(FileName, failure)) Fail(failure);
  ++FConvCount;
  if (OnProgressPosition) OnProgressPosition(0);
}

bool TBatchConverter::TryStart(const std::string& FileName, std::string& Failure) {
  TAuFileIn* input = InputFor(FileName);
  if (input == nullptr) {
    Failure = "Unsupported file type";
    return false;
  }
  TAuFileOut* output = OutputFor(FFormat);
  if (output == nullptr) {
    Failure = "The " + FFormat + " output is not available in this build";
    return false;
  }
  const std::string finalName = OutputFileName(FOutputDir, FileName, FFormat);
  if (SameFile(finalName, FileName)) {
    Failure = "The output file would replace its source; choose another output folder or format";
    return false;
  }
  try {
    input->SetFileName(FileName);
    for (TAuFileOut* o : {static_cast<TAuFileOut*>(WaveOut1), MP3Out1, WMAOut1})
      if (o != nullptr) o->SetInput(input);
    if (!input->Valid()) {
      Failure = "Not a valid or supported audio file";
      return false;
    }
    if (output == MP3Out1) static_cast<TMP3Out*>(MP3Out1)->SetBitRate(GetMP3BitRate(FBitrateText));
    if (auto* wma = dynamic_cast<TWMAOut*>(output))
      wma->SetDesiredBitrate(
          static_cast<uint32_t>(std::strtoul(FBitrateText.c_str(), nullptr, 10)));
    const std::string temp = TemporaryFileName(finalName);
    output->SetFileName(temp);
    output->Run();
    FCurrentOutput = output;
    FCurrentFinal = finalName;
    FCurrentTemp = temp;
    return true;
  } catch (const std::exception& e) {
    Failure = e.what();
    return false;
  }
}

void TBatchConverter::ConvDoneNext() {
  const int count = static_cast<int>(FFiles.size());
  // An entry that fails before its run starts has no OnDone: go on with the next at once.
  while (FConvCount < count) {
    ++FConvIndex;
    if (OnSelectEntry) OnSelectEntry(FConvIndex);
    AudioConvert(FFiles[FConvIndex]);
    if (FCurrentOutput != nullptr) return;
  }
  FRunning = false;
  if (FFailed == 0)
    Status("Done!");
  else
    Status("Done! " + std::to_string(FFailed) + " of " + std::to_string(count) + " files failed");
  SetStatus(-1);
  if (OnBatchDone) OnBatchDone();
}

void TBatchConverter::SetStatus(int Stat1) {
  if (OnControlsEnabled) OnControlsEnabled(Stat1 != 0);
}

void TBatchConverter::Fail(const std::string& Message) {
  ++FFailed;
  if (OnEntryFailed) OnEntryFailed(FConvIndex, Message);
}

void TBatchConverter::FinishCurrent() {
  TAuFileOut* output = std::exchange(FCurrentOutput, nullptr);
  std::string failure = output->ExceptionMessage();
  // A run cut short (stopped while the converter winds down, say) is never put in place.
  if (failure.empty() && !output->RunComplete())
    failure = "The conversion stopped before the end of the file.";
  std::error_code ec;
  std::string warning;
  if (failure.empty()) {
    warning = CarryTagsInto(FFiles[FConvIndex], FCurrentTemp);
    fs::rename(FCurrentTemp, FCurrentFinal, ec);
    if (ec) failure = "The output file " + FCurrentFinal + " could not be written: " + ec.message();
  }
  if (failure.empty()) {
    if (!warning.empty() && OnEntryWarning) OnEntryWarning(FConvIndex, warning);
    if (OnEntryDone) OnEntryDone(FConvIndex, FCurrentFinal);
    return;
  }
  fs::remove(FCurrentTemp, ec);
  Fail(failure);
}

std::string TBatchConverter::CarryTagsInto(const std::string& Source,
                                           const std::string& Output) const {
  TCarriedTags tags;
  if (CarryTags) {
    // A source whose tags cannot be read still converts, just without them.
    try {
      tags = ReadCarriedTags(Source);
    } catch (const std::exception&) {
    }
  }
  try {
    // Runs with empty tags too: the output then loses whatever empty record its encoder left.
    WriteCarriedTags(Output, tags, FFormat);
    return {};
  } catch (const std::exception& e) {
    return std::string("tags not written: ") + e.what();
  }
}

void TBatchConverter::OutputDone(TComponent* Sender) {
  // A converter being destroyed reports nothing: whoever listens may be gone already.
  if (!FRunning || Sender != FCurrentOutput || IsDestroying()) return;
  FinishCurrent();
  ConvDoneNext();
}

void TBatchConverter::OutputProgress(TComponent* Sender) {
  if (OnProgressPosition && Sender == FCurrentOutput && !IsDestroying())
    OnProgressPosition(static_cast<TAuOutput*>(Sender)->Progress());
}

void TBatchConverter::Cancel() {
  if (!FRunning) return;
  FRunning = false;
  if (TAuFileOut* output = std::exchange(FCurrentOutput, nullptr)) {
    output->Stop(false);
    std::error_code ec;
    fs::remove(FCurrentTemp, ec);
  }
  if (!IsDestroying()) SetStatus(-1);
}

void TBatchConverter::BeforeDestruction() {
  // The outputs have already stopped (owned components wind down first); what is left is
  // the unfinished file.
  Cancel();
  TComponent::BeforeDestruction();
}

}  // namespace tunevert
