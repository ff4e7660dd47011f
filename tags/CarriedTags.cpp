#include "tags/TagLibMeta.h"

namespace tunevert {

std::string TCarriedTags::First(const std::string& Key) const {
  auto it = Text.find(Key);
  return it == Text.end() || it->second.empty() ? std::string() : it->second.front();
}

const std::vector<std::string>& CarriedKeys() {
  static const std::vector<std::string> kKeys = {
      "TITLE",
      "ARTIST",
      "ALBUM",
      "ALBUMARTIST",
      "COMPOSER",
      "GENRE",
      "DATE",
      "TRACKNUMBER",
      "TRACKTOTAL",
      "DISCNUMBER",
      "DISCTOTAL",
      "COMMENT",
      "LYRICS",
      "MUSICBRAINZ_TRACKID",
      "MUSICBRAINZ_ALBUMID",
      "MUSICBRAINZ_ARTISTID",
      "MUSICBRAINZ_ALBUMARTISTID",
      "MUSICBRAINZ_RELEASEGROUPID",
      "MUSICBRAINZ_RELEASETRACKID",
      "MUSICBRAINZ_WORKID",
      "REPLAYGAIN_TRACK_GAIN",
      "REPLAYGAIN_TRACK_PEAK",
      "REPLAYGAIN_ALBUM_GAIN",
      "REPLAYGAIN_ALBUM_PEAK",
  };
  return kKeys;
}

}  // namespace tunevert
