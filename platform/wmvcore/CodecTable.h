#pragma once

// The formats the writer offers, fixed: opening the encoder for every combination to find
// them cost the first codec query (at every program start) a few hundred milliseconds. A
// test opens the encoder at each entry and checks what it reports.

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace tunevert::wmvcore {

// One format the encoder writes at the bitrate given, and the PCM width it is offered for
// (the writer converts any input itself).
struct TCodecFormat {
  uint16_t Channels = 0;
  uint32_t Rate = 0;
  uint32_t Bitrate = 0;     // bit/s
  uint32_t BlockAlign = 0;  // bytes per encoded superframe
  uint16_t Bits = 16;
};

struct TEncoderFormat {
  uint16_t Channels;
  uint32_t Rate;
  uint32_t Bitrate;
  uint32_t BlockAlign;
};

// WMA v2 at 8 to 48 kHz, mono and stereo, from 24 kbit/s up to four bits per sample and
// channel (beyond that the encoder only wastes space), in enumeration order.
inline constexpr TEncoderFormat EncoderFormats[] = {
    // 44100 Hz stereo
    {2, 44100, 320000, 1857},
    {2, 44100, 256000, 1486},
    {2, 44100, 192000, 1114},
    {2, 44100, 160000, 928},
    {2, 44100, 128000, 743},
    {2, 44100, 96000, 557},
    {2, 44100, 80000, 464},
    {2, 44100, 64000, 371},
    {2, 44100, 56000, 325},
    {2, 44100, 48000, 278},
    {2, 44100, 40000, 232},
    {2, 44100, 32000, 185},
    {2, 44100, 24000, 139},
    // 44100 Hz mono
    {1, 44100, 160000, 928},
    {1, 44100, 128000, 743},
    {1, 44100, 96000, 557},
    {1, 44100, 80000, 464},
    {1, 44100, 64000, 371},
    {1, 44100, 56000, 325},
    {1, 44100, 48000, 278},
    {1, 44100, 40000, 232},
    {1, 44100, 32000, 185},
    {1, 44100, 24000, 139},
    // 48000 Hz stereo
    {2, 48000, 320000, 1706},
    {2, 48000, 256000, 1365},
    {2, 48000, 192000, 1024},
    {2, 48000, 160000, 853},
    {2, 48000, 128000, 682},
    {2, 48000, 96000, 512},
    {2, 48000, 80000, 426},
    {2, 48000, 64000, 341},
    {2, 48000, 56000, 298},
    {2, 48000, 48000, 256},
    {2, 48000, 40000, 213},
    {2, 48000, 32000, 170},
    {2, 48000, 24000, 128},
    // 48000 Hz mono
    {1, 48000, 192000, 1024},
    {1, 48000, 160000, 853},
    {1, 48000, 128000, 682},
    {1, 48000, 96000, 512},
    {1, 48000, 80000, 426},
    {1, 48000, 64000, 341},
    {1, 48000, 56000, 298},
    {1, 48000, 48000, 256},
    {1, 48000, 40000, 213},
    {1, 48000, 32000, 170},
    {1, 48000, 24000, 128},
    // 32000 Hz stereo
    {2, 32000, 256000, 2048},
    {2, 32000, 192000, 1536},
    {2, 32000, 160000, 1280},
    {2, 32000, 128000, 1024},
    {2, 32000, 96000, 768},
    {2, 32000, 80000, 640},
    {2, 32000, 64000, 512},
    {2, 32000, 56000, 448},
    {2, 32000, 48000, 384},
    {2, 32000, 40000, 320},
    {2, 32000, 32000, 256},
    {2, 32000, 24000, 192},
    // 32000 Hz mono
    {1, 32000, 128000, 1024},
    {1, 32000, 96000, 768},
    {1, 32000, 80000, 640},
    {1, 32000, 64000, 512},
    {1, 32000, 56000, 448},
    {1, 32000, 48000, 384},
    {1, 32000, 40000, 320},
    {1, 32000, 32000, 256},
    {1, 32000, 24000, 192},
    // 22050 Hz stereo
    {2, 22050, 160000, 928},
    {2, 22050, 128000, 743},
    {2, 22050, 96000, 557},
    {2, 22050, 80000, 464},
    {2, 22050, 64000, 371},
    {2, 22050, 56000, 325},
    {2, 22050, 48000, 278},
    {2, 22050, 40000, 232},
    {2, 22050, 32000, 185},
    {2, 22050, 24000, 139},
    // 22050 Hz mono
    {1, 22050, 80000, 464},
    {1, 22050, 64000, 371},
    {1, 22050, 56000, 325},
    {1, 22050, 48000, 278},
    {1, 22050, 40000, 232},
    {1, 22050, 32000, 185},
    {1, 22050, 24000, 139},
    // 16000 Hz stereo
    {2, 16000, 128000, 512},
    {2, 16000, 96000, 384},
    {2, 16000, 80000, 320},
    {2, 16000, 64000, 256},
    {2, 16000, 56000, 224},
    {2, 16000, 48000, 192},
    {2, 16000, 40000, 160},
    {2, 16000, 32000, 128},
    {2, 16000, 24000, 96},
    // 16000 Hz mono
    {1, 16000, 64000, 256},
    {1, 16000, 56000, 224},
    {1, 16000, 48000, 192},
    {1, 16000, 40000, 160},
    {1, 16000, 32000, 128},
    {1, 16000, 24000, 96},
    // 11025 Hz stereo
    {2, 11025, 80000, 464},
    {2, 11025, 64000, 371},
    {2, 11025, 56000, 325},
    {2, 11025, 48000, 278},
    {2, 11025, 40000, 232},
    {2, 11025, 32000, 185},
    {2, 11025, 24000, 139},
    // 11025 Hz mono
    {1, 11025, 40000, 232},
    {1, 11025, 32000, 185},
    {1, 11025, 24000, 139},
    // 8000 Hz stereo
    {2, 8000, 64000, 512},
    {2, 8000, 56000, 448},
    {2, 8000, 48000, 384},
    {2, 8000, 40000, 320},
    {2, 8000, 32000, 256},
    {2, 8000, 24000, 192},
    // 8000 Hz mono
    {1, 8000, 32000, 256},
    {1, 8000, 24000, 192},
};

inline constexpr uint16_t InputWidths[] = {8, 16, 24, 32};

// Every encoder format once for each input width, the widths of one format next to each
// other.
constexpr auto ExpandFormats() {
  std::array<TCodecFormat, std::size(EncoderFormats) * std::size(InputWidths)> List{};
  size_t i = 0;
  for (const TEncoderFormat& F : EncoderFormats)
    for (uint16_t Bits : InputWidths)
      List[i++] = {F.Channels, F.Rate, F.Bitrate, F.BlockAlign, Bits};
  return List;
}

inline constexpr auto CodecFormatTable = ExpandFormats();

}  // namespace tunevert::wmvcore
