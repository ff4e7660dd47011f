// The FLAC format, read and written through libFLAC.
#include <utility>

#include "flac/AuFLAC.h"
#include "flac/AuFLACOut.h"
#include "pipeline/FormatSpec.h"

namespace tunevert {

void RegisterFLACFormats() {
  TFormatSpec flac;
  flac.Id = "flac";
  flac.Name = "FLAC";
  flac.Extensions = {".flac"};
  flac.MimeTypes = {"audio/flac"};
  flac.DialogLabel = "Flac";
  flac.DialogOrder = 50;
  flac.InputName = "FLACIn1";
  flac.MakeInput = [](TComponent* Owner) -> TAuFileIn* {
    auto* input = new TFLACIn(Owner);
    input->SetName("FLACIn1");
    input->SetLoop(false);
    input->SetStartSample(0);
    input->SetEndSample(-1);
    input->SetCheckMD5Signature(false);
    return input;
  };
  flac.Caption = ".flac";
  flac.Extension = ".flac";
  flac.Lossless = true;
  flac.TakesBits = true;
  flac.QualityLabel = "Level:";
  flac.Quality = {OptionControl(TQualityKind::CompressionLevel, "--flac-level", "N",
                                NumberTexts(0, 8), "5",
                                "flac compression from 0 (fastest) to 8 (smallest; default 5)")};
  flac.MakeOutput = [](TComponent* Owner) -> TAuFileOut* {
    auto* output = new TFLACOut(Owner);
    output->SetName("FLACOut1");
    return output;
  };
  flac.ApplyQuality = [](TAuFileOut& Output, const TQualityChoice& Choice) {
    static_cast<TFLACOut&>(Output).SetCompressionLevel(Choice.Kind == TQualityKind::CompressionLevel
                                                           ? std::stoi(Choice.Value)
                                                           : TFLACOut::kDefaultCompressionLevel);
  };
  flac.TagFormat = ".flac";
  RegisterFormat(40, std::move(flac));
}

}  // namespace tunevert
