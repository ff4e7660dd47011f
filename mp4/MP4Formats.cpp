// MPEG-4 audio: read through the runtime's FFmpeg side, written as AAC or Apple Lossless in
// an ".m4a" file through FFmpeg's encoders and muxer.
#include <string>
#include <utility>

#include "mp4/AuMP4Out.h"
#include "pipeline/FormatSpec.h"
#include "winmedia/AuFFmpegIn.h"

namespace tunevert {

void RegisterMP4Formats() {
  TFormatSpec m4a;
  m4a.Id = "m4a";
  m4a.Name = "MPEG-4 Audio";
  m4a.Extensions = {".m4a", ".mp4"};
  m4a.MimeTypes = {"audio/mp4"};
  m4a.DialogLabel = "MPEG-4 Audio";
  m4a.DialogOrder = 70;
  m4a.InputName = "FFmpegIn1";
  m4a.MakeInput = MakeFFmpegInput;
  m4a.Caption = ".m4a";
  m4a.Extension = ".m4a";
  m4a.QualityLabel = "Bitrate:";
  std::vector<std::string> bitrates;
  for (uint32_t kbps : TM4AOut::BitratesKbps()) bitrates.push_back(std::to_string(kbps));
  m4a.Quality = {BitrateControl(std::move(bitrates), std::to_string(TM4AOut::kDefaultKbps))};
  m4a.MakeOutput = [](TComponent* Owner) -> TAuFileOut* {
    auto* output = new TM4AOut(Owner);
    output->SetName("M4AOut1");
    return output;
  };
  m4a.ApplyQuality = [](TAuFileOut& Output, const TQualityChoice& Choice) {
    static_cast<TM4AOut&>(Output).SetBitrateKbps(
        Choice.Kind == TQualityKind::Bitrate ? static_cast<uint32_t>(std::stoul(Choice.Value))
                                             : TM4AOut::kDefaultKbps);
  };
  // A rate the encoder lacks (above 96 kHz, or between its steps) becomes the next it has.
  m4a.EncoderRate = TM4AOut::EncoderRate;
  m4a.TagFormat = ".m4a";
  RegisterFormat(70, std::move(m4a));

  TFormatSpec alac;
  alac.Id = "alac";
  alac.Name = "Apple Lossless";
  alac.Caption = ".m4a (ALAC)";
  alac.Extension = ".m4a";
  alac.Lossless = true;
  alac.TakesBits = true;
  alac.MakeOutput = [](TComponent* Owner) -> TAuFileOut* {
    auto* output = new TALACOut(Owner);
    output->SetName("ALACOut1");
    return output;
  };
  alac.ApplyQuality = [](TAuFileOut&, const TQualityChoice&) {};
  alac.ReadBackAs = "m4a";
  alac.TagFormat = ".m4a";
  RegisterFormat(80, std::move(alac));
}

}  // namespace tunevert
