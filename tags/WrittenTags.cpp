// What an output's tags look like when they are read back, layout by layout.
#include "tags/WrittenTags.h"

#include <algorithm>
#include <tuple>

namespace tunevert {

namespace {

// An ID3v1 genre number ("17", "(17)"), which ID3v2 readers give back as the genre's name.
bool GenreNumber(const std::string& Value) {
  const size_t open = Value.starts_with('(') ? 1 : 0;
  const size_t digits = Value.size() - 2 * open;
  if (digits == 0 || digits > 3 || (open == 1 && !Value.ends_with(')'))) return false;
  return std::all_of(Value.begin() + open, Value.begin() + open + digits,
                     [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::vector<std::string> FieldsOutputsAdd(const std::string& Format) {
  if (Format == ".m4a") return {"ITUNSMPB"};
  return {};
}

// The fields as Format stores them, for comparing what was written with what reads back.
std::map<std::string, std::vector<std::string>> StoredFields(const TCarriedTags& Tags,
                                                             const std::string& Format) {
  std::map<std::string, std::vector<std::string>> fields = Tags.Text;
  if (Format == ".mp3" || Format == ".wav") {
    // ID3v2.4 timestamps read back with a space where the time starts.
    if (auto date = fields.find("DATE"); date != fields.end())
      for (std::string& value : date->second) std::replace(value.begin(), value.end(), 'T', ' ');
  } else if (Format == ".wma") {
    // ASF has no attribute for the number of tracks.
    fields.erase("TRACKTOTAL");
    for (auto& [key, values] : fields) {
      // The title, artist and comment are single strings: several values are joined.
      std::string joined;
      for (const std::string& value : values) joined += (joined.empty() ? "" : "; ") + value;
      values = {joined};
    }
  } else if (Format == ".m4a") {
    // Track and disc numbers are stored as numbers: "03" reads back as "3".
    for (const char* key : {"TRACKNUMBER", "TRACKTOTAL", "DISCNUMBER", "DISCTOTAL"})
      if (auto number = fields.find(key); number != fields.end())
        for (std::string& value : number->second)
          value.erase(0, std::min(value.find_first_not_of('0'), value.size() - 1));
  }
  return fields;
}

// The pictures as Format stores them, in an order of their own: WMA keeps its pictures so,
// and the order means nothing to a player. An M4A cover is a bare image of one of four kinds,
// which iTunes shows as the front cover.
std::vector<TCarriedPicture> StoredPictures(std::vector<TCarriedPicture> List,
                                            const std::string& Format) {
  if (Format == ".m4a")
    for (TCarriedPicture& picture : List) {
      picture.Mime = M4ACoverMime(picture);
      picture.Type = 3;
      picture.Description.clear();
    }
  std::sort(List.begin(), List.end(), [](const TCarriedPicture& a, const TCarriedPicture& b) {
    return std::tie(a.Type, a.Mime, a.Description, a.Data) <
           std::tie(b.Type, b.Mime, b.Description, b.Data);
  });
  return List;
}

bool SameStoredValues(const std::string& Key, const std::vector<std::string>& Written,
                      const std::vector<std::string>& Read, const std::string& Format) {
  if (Written.size() != Read.size()) return false;
  const bool id3 = Format == ".mp3" || Format == ".wav";
  for (size_t i = 0; i < Written.size(); ++i)
    if (Written[i] != Read[i] &&
        !(id3 && Key == "GENRE" && GenreNumber(Written[i]) && !Read[i].empty()))
      return false;
  return true;
}

}  // namespace tunevert
