#pragma once

#include <cstdint>
#include <optional>

#include "platform/wmvcore/wmvcore.h"

namespace tunevert::wmvcore {

// Both scans read the source from Base and leave its position wherever they stopped.

// True when the ASF header at Base carries a content-encryption object.
bool AsfHeaderIsEncrypted(IStream& Source, uint64_t Base);

// True when the first MPEG audio frame after an ID3v2 tag at Base carries a "Xing" or
// "VBRI" header, which encoders write only for variable bitrate.
bool MpegHasVbrHeader(IStream& Source, uint64_t Base);

// Where the MPEG audio frames of a file lie between the tags around them. Offsets count from
// Base.
struct TMpegLayout {
  uint64_t Size = 0;        // the whole source
  uint64_t TagsEnd = 0;     // end of the ID3v2 tags at the start (any number in a row)
  uint64_t FirstFrame = 0;  // the first frame; bytes from TagsEnd up to it are junk
  uint64_t AudioEnd = 0;    // where the trailing tags (APEv2, Lyrics3, ID3v1) begin
  // A Lyrics3 block between the audio and the ID3v1 tag, which demuxers take for audio;
  // LyricsStart == LyricsEnd when there is none.
  uint64_t LyricsStart = 0;
  uint64_t LyricsEnd = 0;
  uint8_t FirstHeader[4] = {};
  uint32_t FrameSamples = 0;  // decoded samples per frame
  bool LoneFrame = false;     // the first frame is the only one
};

// The layout when the source holds a chain of MPEG Layer III frames (or one frame that ends
// where the trailing tags begin); nothing otherwise.
std::optional<TMpegLayout> ScanMpegLayout(IStream& Source, uint64_t Base);

// The length of an ADTS AAC stream at Base in 100-ns units, counted from its frame headers
// (the demuxer guesses it from the bitrate of the first frames); -1 when the source does not
// start with ADTS frames, after any ID3v2 tags.
int64_t AdtsDurationCns(IStream& Source, uint64_t Base);

}  // namespace tunevert::wmvcore
