// The Ogg Vorbis format, read and written through libvorbis.
#include <cstdlib>
#include <utility>

#include "pipeline/FormatSpec.h"
#include "vorbis/AuVorbis.h"
#include "vorbis/AuVorbisOut.h"

namespace tunevert {

void RegisterVorbisFormats() {
  TFormatSpec ogg;
  ogg.Id = "ogg";
  ogg.Name = "Ogg Vorbis";
  ogg.Extensions = {".ogg"};
  ogg.MimeTypes = {"audio/ogg", "audio/vorbis"};
  ogg.DialogLabel = "Ogg Vorbis";
  ogg.DialogOrder = 40;
  ogg.InputName = "VorbisIn1";
  ogg.MakeInput = [](TComponent* Owner) -> TAuFileIn* {
    auto* input = new TVorbisIn(Owner);
    input->SetName("VorbisIn1");
    input->SetLoop(false);
    input->SetStartSample(0);
    input->SetEndSample(-1);
    return input;
  };
  ogg.Caption = ".ogg";
  ogg.Extension = ".ogg";
  ogg.QualityLabel = "Quality:";
  // The quality scale is the window's; a bitrate replaces it on the command line.
  ogg.Quality = {
      OptionControl(TQualityKind::QualityScale, "--ogg-quality", "Q", NumberTexts(-1, 10), "5",
                    "ogg quality from -1 to 10 (default 5)"),
      BitrateControl(CommonBitrates(), "160", false),
  };
  ogg.MakeOutput = [](TComponent* Owner) -> TAuFileOut* {
    auto* output = new TVorbisOut(Owner);
    output->SetName("VorbisOut1");
    return output;
  };
  ogg.ApplyQuality = [](TAuFileOut& Output, const TQualityChoice& Choice) {
    auto& vorbis = static_cast<TVorbisOut&>(Output);
    const bool byBitrate = Choice.Kind == TQualityKind::Bitrate;
    vorbis.SetQuality(Choice.Kind == TQualityKind::QualityScale
                          ? std::strtod(Choice.Value.c_str(), nullptr)
                          : TVorbisOut::kDefaultQuality);
    vorbis.SetBitrateKbps(byBitrate ? static_cast<uint32_t>(std::stoul(Choice.Value)) : 0);
  };
  ogg.TagFormat = ".ogg";
  RegisterFormat(50, std::move(ogg));
}

}  // namespace tunevert
