#include "tags/VorbisComments.h"

#include <cstdint>
#include <string_view>

namespace tunevert {

namespace {

void PutU32(std::string& Out, uint64_t Value) {
  for (int shift = 24; shift >= 0; shift -= 8) Out += static_cast<char>((Value >> shift) & 0xFF);
}

std::string PictureBlockBody(const TCarriedPicture& Picture) {
  std::string body;
  body.reserve(32 + Picture.Mime.size() + Picture.Description.size() + Picture.Data.size());
  PutU32(body, static_cast<uint32_t>(Picture.Type));
  PutU32(body, Picture.Mime.size());
  body += Picture.Mime;
  PutU32(body, Picture.Description.size());
  body += Picture.Description;
  for (int unknown = 0; unknown < 4; ++unknown) PutU32(body, 0);
  PutU32(body, Picture.Data.size());
  body += Picture.Data;
  return body;
}

// Standard base64 with padding.
std::string Base64(std::string_view Bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  text.reserve((Bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  const auto byte = [&](size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(Bytes[at]));
  };
  for (; i + 3 <= Bytes.size(); i += 3) {
    const uint32_t v = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    text += kDigits[v >> 18];
    text += kDigits[(v >> 12) & 63];
    text += kDigits[(v >> 6) & 63];
    text += kDigits[v & 63];
  }
  if (const size_t left = Bytes.size() - i; left > 0) {
    const uint32_t v = byte(i) << 16 | (left == 2 ? byte(i + 1) << 8 : 0);
    text += kDigits[v >> 18];
    text += kDigits[(v >> 12) & 63];
    text += left == 2 ? kDigits[(v >> 6) & 63] : '=';
    text += '=';
  }
  return text;
}

}  // namespace

std::vector<std::string> CommentEntries(const TCarriedTags& Tags) {
  std::vector<std::string> entries;
  for (const auto& [key, values] : Tags.Text)
    for (const std::string& value : values) entries.push_back(key + "=" + value);
  return entries;
}

std::vector<std::string> OggComments(const TCarriedTags& Tags) {
  std::vector<std::string> comments = CommentEntries(Tags);
  for (const TCarriedPicture& picture : Tags.Pictures)
    comments.push_back("METADATA_BLOCK_PICTURE=" + Base64(PictureBlockBody(picture)));
  return comments;
}

}  // namespace tunevert
