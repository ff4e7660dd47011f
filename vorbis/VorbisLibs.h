#pragma once

#include "platform/CodecLibrary.h"

namespace tunevert {

// The four Ogg/Vorbis libraries. Decoding calls only libvorbisfile, but a file opens only
// when all four are present.
TCodecLibrary& OggLibrary();
TCodecLibrary& VorbisLibrary();
TCodecLibrary& VorbisFileLibrary();
TCodecLibrary& VorbisEncLibrary();

bool LoadOggLibrary();
bool LoadVorbisLibrary();
bool LoadVorbisFileLibrary();
bool LoadVorbisEncLibrary();

}  // namespace tunevert
