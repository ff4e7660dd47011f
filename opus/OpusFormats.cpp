// The Opus format, read through libopusfile and written through libopus.
#include <string>
#include <utility>

#include "opus/AuOpus.h"
#include "pipeline/FormatSpec.h"

namespace tunevert {

void RegisterOpusFormats() {
  TFormatSpec opus;
  opus.Id = "opus";
  opus.Name = "Opus";
  opus.Extensions = {".opus"};
  opus.MimeTypes = {"audio/ogg", "audio/opus"};
  opus.DialogLabel = "Opus";
  opus.DialogOrder = 60;
  opus.InputName = "OpusIn1";
  opus.MakeInput = [](TComponent* Owner) -> TAuFileIn* {
    auto* input = new TOpusIn(Owner);
    input->SetName("OpusIn1");
    return input;
  };
  opus.Caption = ".opus";
  opus.Extension = ".opus";
  opus.QualityLabel = "Bitrate:";
  std::vector<std::string> bitrates;
  for (uint32_t kbps : TOpusOut::BitratesKbps()) bitrates.push_back(std::to_string(kbps));
  opus.Quality = {BitrateControl(std::move(bitrates), std::to_string(TOpusOut::kDefaultKbps))};
  opus.MakeOutput = [](TComponent* Owner) -> TAuFileOut* {
    auto* output = new TOpusOut(Owner);
    output->SetName("OpusOut1");
    return output;
  };
  opus.ApplyQuality = [](TAuFileOut& Output, const TQualityChoice& Choice) {
    static_cast<TOpusOut&>(Output).SetBitrateKbps(
        Choice.Kind == TQualityKind::Bitrate ? static_cast<uint32_t>(std::stoul(Choice.Value))
                                             : TOpusOut::kDefaultKbps);
  };
  // Every page and packet is checked, and the length counted, without decoding: what a
  // read back asks of a lossy file, at a tenth of the cost.
  opus.PrepareReadBack = [](TAuFileIn& Reader) {
    static_cast<TOpusIn&>(Reader).SetDecodeAudio(false);
  };
  opus.TagFormat = ".opus";
  RegisterFormat(60, std::move(opus));
}

}  // namespace tunevert
