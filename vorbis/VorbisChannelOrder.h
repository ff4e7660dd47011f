#pragma once

#include <array>
#include <cstdint>

namespace tunevert {

// WAV channel j of a frame is Vorbis channel kVorbisToWav[n][j]: Vorbis puts the centre
// between the front pair and LFE last (5.1 is FL, FC, FR, RL, RR, LFE; FL, FR, FC, LFE, BL,
// BR in WAV). Other counts keep their order. Opus mapping family 1 uses the same order.
inline constexpr std::array<std::array<uint8_t, 8>, 9> kVorbisToWav = {{
    {},
    {0},
    {0, 1},
    {0, 2, 1},
    {0, 1, 2, 3},
    {0, 2, 1, 3, 4},
    {0, 2, 1, 5, 3, 4},
    {0, 2, 1, 6, 5, 3, 4},
    {0, 2, 1, 7, 5, 6, 3, 4},
}};

}  // namespace tunevert
