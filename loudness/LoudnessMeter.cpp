#include "loudness/LoudnessMeter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "loudness/EBUR128Library.h"
#include "loudness/TruePeak.h"
#include "pipeline/AuFile.h"
#include "pipeline/AuFormatStage.h"
#include "pipeline/FormatSpec.h"
#include "platform/Exception.h"

namespace tunevert {

namespace {

void Check(int Status, const char* What) {
  if (Status != EBUR128_SUCCESS)
    throw EAuException(std::string("The loudness could not be ") + What + " (libebur128 error " +
                       std::to_string(Status) + ").");
}

// The weight each channel of a WAV-ordered stream takes. Side surrounds (60 to 120 degrees)
// weigh 1.41, the rear ones of 7.1 and the centre back 1; channels beyond 7.1 count plainly.
channel ChannelAt(uint32_t Count, uint32_t Index) {
  static const channel kQuad[] = {EBUR128_LEFT, EBUR128_RIGHT, EBUR128_LEFT_SURROUND,
                                  EBUR128_RIGHT_SURROUND};
  static const channel kFive[] = {EBUR128_LEFT, EBUR128_RIGHT, EBUR128_CENTER,
                                  EBUR128_LEFT_SURROUND, EBUR128_RIGHT_SURROUND};
  static const channel kSixOne[] = {EBUR128_LEFT,  EBUR128_RIGHT, EBUR128_CENTER, EBUR128_UNUSED,
                                    EBUR128_Mp180, EBUR128_Mp090, EBUR128_Mm090};
  static const channel kSevenOne[] = {EBUR128_LEFT,  EBUR128_RIGHT, EBUR128_CENTER, EBUR128_UNUSED,
                                      EBUR128_Mp135, EBUR128_Mm135, EBUR128_Mp090,  EBUR128_Mm090};
  static const channel kFiveOne[] = {EBUR128_LEFT,   EBUR128_RIGHT,         EBUR128_CENTER,
                                     EBUR128_UNUSED, EBUR128_LEFT_SURROUND, EBUR128_RIGHT_SURROUND};
  switch (Count) {
    case 4:
      return kQuad[Index];
    case 5:
      return kFive[Index];
    case 6:
      return kFiveOne[Index];
    case 7:
      return kSixOne[Index];
    default:
      if (Count >= 8 && Index < 8) return kSevenOne[Index];
      // Mono, stereo, L R C, and what lies beyond 7.1.
      return Index < 3 ? kFive[Index] : EBUR128_LEFT;
  }
}

// Samples converted per call into the library.
constexpr size_t kScratchFrames = 4096;

float Sample(const uint8_t* p, uint32_t Bits) {
  switch (Bits) {
    case 8:
      return (static_cast<float>(p[0]) - 128.0f) / 128.0f;
    case 16:
      return static_cast<float>(static_cast<int16_t>(p[0] | p[1] << 8)) / 32768.0f;
    case 24: {
      const int32_t v = static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 8 |
                                             static_cast<uint32_t>(p[1]) << 16 |
                                             static_cast<uint32_t>(p[2]) << 24) >>
                        8;
      return static_cast<float>(v) / 8388608.0f;
    }
    default: {
      const int32_t v = static_cast<int32_t>(
          static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
          static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24);
      return static_cast<float>(static_cast<double>(v) / 2147483648.0);
    }
  }
}

}  // namespace

double PeakDecibels(double Linear) {
  return Linear > 0 ? 20 * std::log10(Linear) : -std::numeric_limits<double>::infinity();
}

struct TLoudnessMeter::TState {
  explicit TState(ebur128_state* AHandle) : Handle(AHandle) {}
  ~TState() { LoadEBUR128Api().destroy(&Handle); }
  TState(const TState&) = delete;
  TState& operator=(const TState&) = delete;
  ebur128_state* Handle;
};

TLoudnessMeter::TLoudnessMeter(uint32_t Channels, uint32_t SampleRate)
    : FChannels(Channels), FSampleRate(SampleRate) {
  const TEBUR128Api& api = LoadEBUR128Api();
  if (Channels == 0 || SampleRate == 0)
    throw EAuException("The loudness of audio without channels or rate cannot be measured.");
  // Whole-track statistics; no histogram, whose 0.1 LU bins would round the result. The peaks
  // are measured here, in a fraction of the time the library's take.
  ebur128_state* handle = nullptr;
  {
    // The library fills tables of its own on every init: files measured on several threads
    // at once must not write them together.
    static std::mutex initLock;
    std::lock_guard lock(initLock);
    handle = api.init(Channels, SampleRate, EBUR128_MODE_I | EBUR128_MODE_LRA);
  }
  if (handle == nullptr)
    throw EAuException("The loudness of " + std::to_string(Channels) + " channels at " +
                       std::to_string(SampleRate) + " Hz cannot be measured.");
  FState = std::make_unique<TState>(handle);
  FPeaks = std::make_unique<TTruePeakMeter>(Channels, SampleRate);
  for (uint32_t i = 0; i < Channels; ++i)
    Check(api.set_channel(handle, i, ChannelAt(Channels, i)), "set up");
}

TLoudnessMeter::~TLoudnessMeter() = default;

void TLoudnessMeter::AddFrames(const float* Interleaved, size_t Frames) {
  if (Frames == 0) return;
  Check(LoadEBUR128Api().add_frames_float(FState->Handle, Interleaved, Frames), "measured");
  FPeaks->AddFrames(Interleaved, Frames);
  FFrames += Frames;
}

void TLoudnessMeter::AddPcm(const void* Data, size_t Bytes, uint32_t BitsPerSample) {
  if (BitsPerSample != 8 && BitsPerSample != 16 && BitsPerSample != 24 && BitsPerSample != 32)
    throw EAuException("The loudness of " + std::to_string(BitsPerSample) +
                       "-bit samples cannot be measured.");
  const size_t sampleBytes = BitsPerSample / 8, frameBytes = sampleBytes * FChannels;
  const auto* p = static_cast<const uint8_t*>(Data);
  size_t frames = Bytes / frameBytes;
  FScratch.resize(kScratchFrames * FChannels);
  while (frames > 0) {
    const size_t now = std::min(frames, kScratchFrames);
    for (size_t i = 0; i < now * FChannels; ++i, p += sampleBytes)
      FScratch[i] = Sample(p, BitsPerSample);
    AddFrames(FScratch.data(), now);
    frames -= now;
  }
}

double TLoudnessMeter::Integrated() const {
  double value = 0;
  Check(LoadEBUR128Api().loudness_global(FState->Handle, &value), "computed");
  return value;
}

double TLoudnessMeter::Range() const {
  double value = 0;
  Check(LoadEBUR128Api().loudness_range(FState->Handle, &value), "computed");
  return value;
}

double TLoudnessMeter::TruePeak() const {
  return FPeaks->TruePeak();
}

double TLoudnessMeter::SamplePeak() const {
  return FPeaks->SamplePeak();
}

TLoudnessResult TLoudnessMeter::Result() const {
  return {Integrated(), Range(), TruePeak(), SamplePeak()};
}

TLoudnessResult TLoudnessMeter::Album(const std::vector<const TLoudnessMeter*>& Tracks) {
  TLoudnessResult album;
  if (Tracks.empty()) return album;
  const TEBUR128Api& api = LoadEBUR128Api();
  std::vector<ebur128_state*> states;
  for (const TLoudnessMeter* track : Tracks) {
    states.push_back(track->FState->Handle);
    album.TruePeak = std::max(album.TruePeak, track->TruePeak());
    album.SamplePeak = std::max(album.SamplePeak, track->SamplePeak());
  }
  Check(api.loudness_global_multiple(states.data(), states.size(), &album.Integrated), "computed");
  Check(api.loudness_range_multiple(states.data(), states.size(), &album.Range), "computed");
  return album;
}

std::unique_ptr<TLoudnessMeter> MeasureFileLoudness(const std::string& FileName) {
  return MeasureFileLoudness(FileName, nullptr, nullptr);
}

std::unique_ptr<TLoudnessMeter> MeasureFileLoudness(
    const std::string& FileName, const std::function<void(TAuFormatStage&)>& Shape,
    const std::atomic<bool>* Stop) {
  const TFormatSpec* format = FormatForFile(FileName);
  if (format == nullptr || !format->Readable())
    throw EAuException("Not a format this program reads");
  std::error_code error;
  const auto status = std::filesystem::status(FileName, error);
  if (!std::filesystem::exists(status)) throw EAuException("The file does not exist");
  // A pipe that nobody writes to would hold the read for good.
  if (!std::filesystem::is_regular_file(status))
    throw EAuException("The file could not be read: it is not a regular file");
  TComponentPtr<TAuFileIn> in(format->MakeInput(nullptr));
  in->SetFileName(FileName);
  if (!in->Valid() || in->SampleRate() == 0 || in->Channels() * (in->BitsPerSample() / 8) == 0)
    throw EAuException("Not a valid or supported audio file");
  // Declared after the input, so it lets go of it first.
  TComponentPtr<TAuFormatStage> stage;
  TAuInput* source = in.get();
  if (Shape) {
    stage = MakeComponent<TAuFormatStage>(nullptr);
    stage->SetInput(in.get());
    Shape(*stage);
    source = stage.get();
  }
  source->Init();
  // What the pass delivers, which a stage settles only once it has opened its source.
  const uint32_t rate = source->SampleRate(), channels = source->Channels();
  const uint32_t bits = source->BitsPerSample(), frameBytes = channels * (bits / 8);
  std::unique_ptr<TLoudnessMeter> meter;
  try {
    if (frameBytes == 0 || rate == 0) throw EAuException("Not a valid or supported audio file");
    meter = std::make_unique<TLoudnessMeter>(channels, rate);
  } catch (...) {
    source->Reset();
    throw;
  }
  bool stopped = false;
  try {
    // Large requests: every call has a cost, and the inputs hand out what they hold.
    constexpr uint32_t kReadBytes = 1 << 20;
    for (;;) {
      if (Stop != nullptr && Stop->load()) {
        stopped = true;
        break;
      }
      void* block = nullptr;
      uint32_t bytes = kReadBytes / frameBytes * frameBytes;
      source->GetData(block, bytes);
      if (bytes == 0) break;
      meter->AddPcm(block, bytes, bits);
    }
  } catch (const std::exception& e) {
    source->Reset();
    char at[32];
    std::snprintf(at, sizeof at, "%.1f s", static_cast<double>(meter->Frames()) / rate);
    throw EAuException(std::string("Decoding failed at ") + at + ": " + e.what());
  }
  source->Reset();
  if (stopped) throw EAuException("The measuring was stopped");
  return meter;
}

}  // namespace tunevert
