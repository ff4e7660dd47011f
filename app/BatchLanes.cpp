// The components of the batch's lanes: made from the format registry when first needed.
#include <sched.h>

#include <algorithm>

#include "app/BatchConverter.h"
#include "pipeline/AuDeliveryTap.h"
#include "pipeline/AuFormatStage.h"
#include "wav/AuWave.h"

namespace tunevert {

TBatchConverter::TBatchConverter(TComponent* AOwner, TFirstLane FirstLane) : TComponent(AOwner) {
  auto& lane = *FLanes.emplace_back(std::make_unique<TLane>());
  if (FirstLane == TFirstLane::OnDemand) return;
  // Inputs first, then outputs, as each format adds its component.
  for (const char* id : {"wav", "ogg", "flac", "mp3", "wma"})
    if (const TFormatSpec* format = FindFormat(id)) LaneInput(lane, *format);
  for (const char* id : {"wma", "wav", "mp3"})
    if (const TFormatSpec* format = FindFormat(id)) LaneOutput(lane, *format);
}

void TBatchConverter::NameFirstLane() {
  const TLane& lane = *FLanes.front();
  const auto input = [&lane](const char* name) {
    const auto found = lane.Inputs.find(name);
    return found == lane.Inputs.end() ? nullptr : found->second;
  };
  WaveIn1 = static_cast<TWaveIn*>(input("WaveIn1"));
  VorbisIn1 = input("VorbisIn1");
  FLACIn1 = input("FLACIn1");
  MP3In1 = input("MP3In1");
  WMIn1 = input("WMIn1");
  const auto output = [&lane](const char* id) {
    const auto found = lane.Outputs.find(id);
    return found == lane.Outputs.end() ? nullptr : found->second;
  };
  WMAOut1 = output("wma");
  WaveOut1 = static_cast<TWaveOut*>(output("wav"));
  MP3Out1 = output("mp3");
}

const std::vector<std::string>& TBatchConverter::OutputFormats() {
  static const std::vector<std::string> kCaptions = [] {
    std::vector<std::string> captions;
    for (const TFormatSpec* format : OutputFormatSpecs()) captions.push_back(format->Caption);
    return captions;
  }();
  return kCaptions;
}

void TBatchConverter::ApplySettings(TAuFileOut* Output) const {
  FFormat->ApplyQuality(*Output, FQuality);
}

TAuInput* TBatchConverter::ConvertedInput(TLane& Lane, TAuFileIn* Input, double Gain) {
  TAuInput* converted = FormatStageFor(Lane, Input, Gain);
  const bool measure = MeasuresLoudness();
  if (!Verify && !measure) return converted;
  // What the output receives is what its file must give back, and what is measured.
  if (Lane.Tap == nullptr) {
    Lane.Tap = new TAuDeliveryTap(this);
    Lane.Tap->SetName("DeliveryTap1");
  }
  Lane.Tap->SetInput(converted);
  Lane.Tap->SetMeasureLoudness(measure);
  return Lane.Tap;
}

bool TBatchConverter::ChangesFormat(const TOutputSettings& Settings, const TFormatSpec& Format) {
  return Settings.SampleRate != 0 || Settings.MaxSampleRate != 0 || Settings.Channels != 0 ||
         (Format.TakesBits && (Settings.BitsPerSample != 0 || Settings.MaxBitsPerSample != 0)) ||
         Format.EncoderRate || Format.EncoderChannels;
}

void TBatchConverter::ShapeStage(TAuFormatStage& Stage, const TOutputSettings& Settings,
                                 const TFormatSpec& Format) {
  // Bit depth is a choice of some lossless outputs only; the encoders take what they are given.
  Stage.SetSampleRate(Settings.SampleRate);
  Stage.SetChannels(Settings.Channels);
  Stage.SetBitsPerSample(Format.TakesBits ? Settings.BitsPerSample : 0);
  // Limits are weighed against each source's own format when its pass starts.
  Stage.SetMaxSampleRate(Settings.MaxSampleRate);
  Stage.SetMaxBitsPerSample(Format.TakesBits ? Settings.MaxBitsPerSample : 0);
  // A rate the encoder does not take is resampled here, with the rest of the conversion.
  Stage.SetRateFor(Format.EncoderRate);
  Stage.SetChannelsFor(Format.EncoderChannels);
}

TAuInput* TBatchConverter::FormatStageFor(TLane& Lane, TAuFileIn* Input, double Gain) {
  if (!ChangesFormat(Settings, *FFormat) && Gain == 0) return Input;
  if (Lane.Stage == nullptr) {
    Lane.Stage = new TAuFormatStage(this);
    Lane.Stage->SetName("FormatStage1");
  }
  Lane.Stage->SetInput(Input);
  ShapeStage(*Lane.Stage, Settings, *FFormat);
  Lane.Stage->SetGain(Gain);
  return Lane.Stage;
}

TAuFileIn* TBatchConverter::LaneInput(TLane& Lane, const TFormatSpec& Format) {
  TAuFileIn*& input = Lane.Inputs[Format.InputName];
  if (input == nullptr) {
    input = Format.MakeInput(this);
    if (&Lane == FLanes.front().get()) NameFirstLane();
  }
  return input;
}

TAuFileOut* TBatchConverter::LaneOutput(TLane& Lane, const TFormatSpec& Format) {
  auto found = Lane.Outputs.find(Format.Id);
  if (found != Lane.Outputs.end()) return found->second;
  TAuFileOut* output = Format.Writable() ? Format.MakeOutput(this) : nullptr;
  if (output != nullptr)
    output->SetOnDone([this, lane = &Lane](TComponent* Sender) { OutputDone(*lane, Sender); });
  Lane.Outputs.emplace(Format.Id, output);
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
  return MP3BitRateFromText(Text);
}

TAuFileIn* TBatchConverter::InputFor(const std::string& FileName) const {
  const TFormatSpec* format = FormatForFile(FileName);
  if (format == nullptr) return nullptr;
  const auto& inputs = FLanes.front()->Inputs;
  const auto found = inputs.find(format->InputName);
  return found == inputs.end() ? nullptr : found->second;
}

TAuFileOut* TBatchConverter::OutputFor(const std::string& Format) const {
  const TFormatSpec* format = FindFormat(Format);
  if (format == nullptr) return nullptr;
  const auto& outputs = FLanes.front()->Outputs;
  const auto found = outputs.find(format->Id);
  return found == outputs.end() ? nullptr : found->second;
}

}  // namespace tunevert
