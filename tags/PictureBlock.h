#pragma once

#include <string>
#include <string_view>

#include "tags/TagLibMeta.h"

namespace tunevert {

// A picture as a FLAC PICTURE block's body: type, MIME type, description, width, height,
// depth and colours (unknown: 0), the data. Ogg Vorbis and Opus carry it base64-encoded in
// a METADATA_BLOCK_PICTURE comment.
std::string PictureBlockBody(const TCarriedPicture& Picture);

// Standard base64 with padding.
std::string Base64(std::string_view Bytes);

}  // namespace tunevert
