#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tags/TagLibMeta.h"

namespace tunevert {

// Picture scaled so that neither side exceeds MaxPixels (the longer one becomes MaxPixels,
// the aspect is kept) and made a JPEG, keeping its type and description. Nothing when it stays
// as it is, byte for byte: it fits already, MaxPixels is 0, or it cannot be read as an image,
// which Warning then says ("front cover not scaled down: ..."). JPEG, PNG, GIF, BMP and WebP
// pictures are read, by FFmpeg's decoders loaded at run time.
std::optional<TCarriedPicture> ShrinkCover(const TCarriedPicture& Picture, int MaxPixels,
                                           std::string& Warning);

// ShrinkCover on each of Tags' pictures, in place; one sentence for each that could not be
// read.
std::vector<std::string> ShrinkCovers(TCarriedTags& Tags, int MaxPixels);

}  // namespace tunevert
