// The WAV format: read by our own parser and ADPCM decoders, written as plain PCM.
#include <utility>

#include "pipeline/FormatSpec.h"
#include "wav/AuWave.h"

namespace tunevert {

void RegisterWaveFormats() {
  TFormatSpec wav;
  wav.Id = "wav";
  wav.Name = "WAV";
  wav.Extensions = {".wav"};
  wav.MimeTypes = {"audio/wav", "audio/x-wav"};
  wav.DialogLabel = "PCM Audio";
  wav.DialogOrder = 30;
  wav.InputName = "WaveIn1";
  wav.MakeInput = [](TComponent* Owner) -> TAuFileIn* {
    auto* input = new TWaveIn(Owner);
    input->SetName("WaveIn1");
    return input;
  };
  wav.Caption = ".wav";
  wav.Extension = ".wav";
  wav.Lossless = true;
  wav.TakesBits = true;
  wav.MakeOutput = [](TComponent* Owner) -> TAuFileOut* {
    auto* output = new TWaveOut(Owner);
    output->SetName("WaveOut1");
    output->SetShareMode(0);
    output->SetWavType(TWavType::wtPCM);
    output->SetBlockSize(512);
    output->SetCreateNonMsHeaders(false);
    output->SetFileMode(TFileOutputMode::foRewrite);
    return output;
  };
  wav.ApplyQuality = [](TAuFileOut&, const TQualityChoice&) {};
  wav.TagFormat = ".wav";
  RegisterFormat(20, std::move(wav));
}

}  // namespace tunevert
