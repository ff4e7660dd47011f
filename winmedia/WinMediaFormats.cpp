// The formats the Windows Media runtime reads: WMA, which it also writes, and the containers
// its FFmpeg side decodes beyond it.
#include <algorithm>
#include <string>
#include <utility>

#include "pipeline/AuDeliveryTap.h"
#include "pipeline/FormatSpec.h"
#include "winmedia/AuFFmpegIn.h"
#include "winmedia/AuWMAOut.h"
#include "winmedia/AuWinMedia.h"

namespace tunevert {

TAuFileIn* MakeFFmpegInput(TComponent* Owner) {
  // At its default high precision: 24-bit sources stay 24-bit.
  auto* input = new TFFmpegIn(Owner);
  input->SetName("FFmpegIn1");
  input->SetLoop(false);
  input->SetStartSample(0);
  input->SetEndSample(-1);
  input->SetOutputChannels(TChannelsNumber::cnMonoOrStereo);
  return input;
}

namespace {

void RegisterReadOnly(int Order, const char* Id, const char* Name,
                      std::vector<std::string> Extensions, std::vector<std::string> MimeTypes,
                      int DialogOrder) {
  TFormatSpec spec;
  spec.Id = Id;
  spec.Name = Name;
  spec.Extensions = std::move(Extensions);
  spec.MimeTypes = std::move(MimeTypes);
  spec.DialogLabel = Name;
  spec.DialogOrder = DialogOrder;
  spec.InputName = "FFmpegIn1";
  spec.MakeInput = MakeFFmpegInput;
  spec.TagFormat = spec.Extensions.front();
  RegisterFormat(Order, std::move(spec));
}

}  // namespace

void RegisterWinMediaFormats() {
  TFormatSpec wma;
  wma.Id = "wma";
  wma.Name = "WMA";
  wma.Extensions = {".wma"};
  wma.MimeTypes = {"audio/x-ms-wma"};
  wma.DialogLabel = "Windows Media";
  wma.DialogOrder = 20;
  wma.InputName = "WMIn1";
  wma.MakeInput = [](TComponent* Owner) -> TAuFileIn* {
    auto* input = new TWMIn(Owner);
    input->SetName("WMIn1");
    UseRuntimeDefaults(*input);
    return input;
  };
  wma.Caption = ".wma";
  wma.Extension = ".wma";
  wma.QualityLabel = "Bitrate:";
  wma.Quality = {BitrateControl(CommonBitrates(), "160")};
  wma.MakeOutput = [](TComponent* Owner) -> TAuFileOut* {
    auto* output = new TWMAOut(Owner);
    output->SetName("WMAOut1");
    output->SetShareMode(0);
    output->SetDesiredBitrate(0);
    output->SetLossless(false);
    output->SetVBR(false);
    output->SetVBRQuality(0);
    return output;
  };
  wma.ApplyQuality = [](TAuFileOut& Output, const TQualityChoice& Choice) {
    static_cast<TWMAOut&>(Output).SetDesiredBitrate(static_cast<uint32_t>(
        std::stoul(Choice.Kind == TQualityKind::Bitrate ? Choice.Value : "160")));
  };
  // ASF keeps no record of the length: the output completes its last codec frame with
  // silence, so one frame more may read back.
  wma.ExcessAllowed = [](const TDeliveredAudio&, uint32_t ReadRate) -> int64_t {
    return (ReadRate <= 16000 ? 512 : ReadRate <= 22050 ? 1024 : 2048) - 1;
  };
  // The WMA encoder takes mono or stereo: wider sources are mixed down before it.
  wma.EncoderChannels = [](uint32_t Channels) { return std::min(Channels, 2u); };
  wma.TagFormat = ".wma";
  RegisterFormat(10, std::move(wma));

  // ADTS streams keep their tags, if any, in an ID3v2 tag in front.
  RegisterReadOnly(105, "aac", "AAC", {".aac"}, {"audio/aac"}, 75);
  RegisterReadOnly(110, "aiff", "AIFF", {".aif", ".aiff", ".aifc"}, {"audio/aiff"}, 80);
  RegisterReadOnly(120, "wavpack", "WavPack", {".wv"}, {"audio/x-wavpack"}, 90);
  RegisterReadOnly(130, "ape", "APE", {".ape"}, {"audio/x-ape"}, 100);
}

}  // namespace tunevert
