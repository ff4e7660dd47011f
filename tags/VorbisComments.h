#pragma once

#include <string>
#include <vector>

#include "tags/TagLibMeta.h"

namespace tunevert {

// The carried fields as Vorbis comments, "KEY=value", one per value in the order carried, as
// FLAC, Ogg Vorbis and Opus files hold them.
std::vector<std::string> CommentEntries(const TCarriedTags& Tags);

// As Ogg Vorbis and Opus hold them: the fields, then each picture as "METADATA_BLOCK_PICTURE="
// and the base64 of a FLAC PICTURE block's body (type, MIME type, description, width, height,
// depth and colours, which are unknown and 0, then the data).
std::vector<std::string> OggComments(const TCarriedTags& Tags);

}  // namespace tunevert
