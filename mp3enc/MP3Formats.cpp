// The MP3 format: read by the Windows Media runtime's decoder, written by LAME.
#include <algorithm>
#include <array>
#include <utility>

#include "mp3enc/AuLame.h"
#include "pipeline/AuDeliveryTap.h"
#include "pipeline/FormatSpec.h"
#include "winmedia/AuMpegIn.h"

namespace tunevert {

TMP3BitRate MP3BitRateFromText(const std::string& Text) {
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

void RegisterMP3Formats() {
  TFormatSpec mp3;
  mp3.Id = "mp3";
  mp3.Name = "MP3";
  mp3.Extensions = {".mp3"};
  mp3.MimeTypes = {"audio/mpeg"};
  mp3.DialogLabel = "Mp3 Files";
  mp3.DialogOrder = 10;
  mp3.InputName = "MP3In1";
  mp3.MakeInput = [](TComponent* Owner) -> TAuFileIn* {
    auto* input = new TMP3In(Owner);
    input->SetName("MP3In1");
    UseRuntimeDefaults(*input);
    return input;
  };
  mp3.Caption = ".mp3";
  mp3.Extension = ".mp3";
  mp3.QualityLabel = "Bitrate:";
  mp3.Quality = {
      BitrateControl(CommonBitrates(), "160"),
      OptionControl(TQualityKind::VBRLevel, "--mp3-vbr", "N", NumberTexts(0, 9), "2",
                    "mp3 at a variable bitrate, quality N from 0 (best) to 9", "V"),
  };
  mp3.MakeOutput = [](TComponent* Owner) -> TAuFileOut* {
    auto* output = new TMP3Out(Owner);
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
  };
  mp3.ApplyQuality = [](TAuFileOut& Output, const TQualityChoice& Choice) {
    auto& mp3Out = static_cast<TMP3Out&>(Output);
    const bool vbr = Choice.Kind == TQualityKind::VBRLevel;
    mp3Out.SetEnableVBR(vbr);
    if (vbr) {
      mp3Out.SetVBRQuality(static_cast<TMP3Quality>(std::stoi(Choice.Value)));
    } else {
      mp3Out.SetBitRate(
          MP3BitRateFromText(Choice.Kind == TQualityKind::Bitrate ? Choice.Value : "160"));
    }
  };
  // LAME's delay and padding in its Info frame make it exact from half a second on; below,
  // the record overstates the length (1 frame reads back as 1199).
  mp3.ExcessAllowed = [](const TDeliveredAudio& Delivered, uint32_t) -> int64_t {
    return Delivered.Frames < int64_t{Delivered.SampleRate} / 2 ? 1199 : 0;
  };
  // MP3 holds mono or stereo: wider sources are mixed down before the encoder.
  mp3.EncoderChannels = [](uint32_t Channels) { return std::min(Channels, 2u); };
  mp3.TagFormat = ".mp3";
  RegisterFormat(30, std::move(mp3));
}

}  // namespace tunevert
