#include "tags/AuTags.h"

#include <algorithm>

#include "platform/Text.h"

namespace tunevert {

namespace {

char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// <0, 0, >0 like strcmp, with ASCII letters folded.
int CompareIds(std::string_view A, std::string_view B) {
  const size_t n = std::min(A.size(), B.size());
  for (size_t i = 0; i < n; ++i) {
    const auto a = static_cast<unsigned char>(FoldAscii(A[i]));
    const auto b = static_cast<unsigned char>(FoldAscii(B[i]));
    if (a != b) return a < b ? -1 : 1;
  }
  return A.size() == B.size() ? 0 : (A.size() < B.size() ? -1 : 1);
}

}  // namespace

TAuTags::TAuTags() = default;
TAuTags::~TAuTags() = default;

void TAuTags::DeclareId(std::string_view Id, const TVariant& Initial) {
  if (Id.empty()) return;
  const auto it = std::lower_bound(
      FValues.begin(), FValues.end(), Id,
      [](const auto& entry, std::string_view key) { return CompareIds(entry.first, key) < 0; });
  if (it != FValues.end() && CompareIds(it->first, Id) == 0) return;
  FValues.emplace(it, std::string(Id), std::make_unique<TTagValueInfo>(TTagValueInfo{Initial}));
}

const TTagValueInfo* TAuTags::Find(std::string_view Id) const {
  const auto it = std::lower_bound(
      FValues.begin(), FValues.end(), Id,
      [](const auto& entry, std::string_view key) { return CompareIds(entry.first, key) < 0; });
  if (it == FValues.end() || CompareIds(it->first, Id) != 0) return nullptr;
  return it->second.get();
}

TVariant TAuTags::GetValue(std::string_view Id) const {
  const TTagValueInfo* info = Find(Id);
  return info != nullptr ? info->Value : TVariant();
}

void TAuTags::SetValue(std::string_view Id, const TVariant& Value) {
  auto* info = const_cast<TTagValueInfo*>(Find(Id));
  if (info == nullptr || info->Value == Value) return;
  info->Value = Value;
  FEmpty = false;
  FChanged = true;
}

std::string TAuTags::GetId(int32_t Index) const {
  if (Index < 0 || Index >= IdCount()) return {};
  return FValues[static_cast<size_t>(Index)].first;
}

int32_t TAuTags::GetAsInteger(std::string_view Id) const {
  const TTagValueInfo* info = Find(Id);
  if (info == nullptr) return 0;
  const TVariant& v = info->Value;
  if (const auto n = v.Integer()) return static_cast<int32_t>(*n);
  if (v.IsNarrow()) return ParseInt32(std::get<std::string>(v.Data())).value_or(0);
  if (v.IsWide()) return ParseInt32(Utf16ToLatin1(std::get<std::u16string>(v.Data()))).value_or(0);
  return 0;
}

std::string TAuTags::GetAsString(std::string_view Id) const {
  const TTagValueInfo* info = Find(Id);
  if (info == nullptr) return {};
  const TVariant& v = info->Value;
  if (const auto n = v.Integer()) return std::to_string(*n);
  if (v.IsNarrow()) return std::get<std::string>(v.Data());
  if (v.IsWide()) return Utf16ToLatin1(std::get<std::u16string>(v.Data()));
  return {};
}

std::u16string TAuTags::GetAsWideString(std::string_view Id) const {
  const TTagValueInfo* info = Find(Id);
  if (info == nullptr) return {};
  const TVariant& v = info->Value;
  if (v.IsWide()) return std::get<std::u16string>(v.Data());
  return Latin1ToUtf16(GetAsString(Id));
}

void TAuTags::Clear() {
  for (auto& entry : FValues) entry.second->Value = TVariant();
  FEmpty = true;
  FChanged = true;
}

void TAuTags::CopyFrom(const TAuTags& Source) {
  // Copying a container into itself would clear it first and lose every value.
  if (&Source == this) return;
  Clear();
  for (int32_t i = 0; i < Source.IdCount(); ++i) {
    const std::string id = Source.Ids(i);
    SetValue(id, Source.Values(id));
  }
}

void TAuTags::Assign(const TPersistent* Source) {
  if (const auto* tags = dynamic_cast<const TAuTags*>(Source)) {
    CopyFrom(*tags);
    return;
  }
  TPersistent::Assign(Source);
}

void TAuTags::AssignTo(TPersistent* Dest) const {
  if (auto* tags = dynamic_cast<TAuTags*>(Dest)) {
    tags->CopyFrom(*this);
    return;
  }
  TPersistent::AssignTo(Dest);
}

bool TAuTags::Presents(int InFile) {
  return InFile >= 0;
}

bool TAuTags::ReadFromFile(int InFile) {
  if (InFile < 0) return false;
  Clear();
  return true;
}

bool TAuTags::WriteToFile(int OutFile, bool /*Unicode*/) {
  return OutFile >= 0;
}

TCommonTags::TCommonTags() {
  for (const char* id : {"Title", "Album", "Artist", "Genre", "Year", "Track"})
    DeclareId(id, std::u16string());
}

// clang-format off
const std::string_view Id3v1Genres[Id3v1GenreCount] = {
    "Blues", "Classic Rock", "Country", "Dance", "Disco", "Funk", "Grunge", "Hip-Hop", "Jazz",
    "Metal", "New Age", "Oldies", "Other", "Pop", "R&B", "Rap", "Reggae", "Rock", "Techno",
    "Industrial", "Alternative", "Ska", "Death metal", "Pranks", "Soundtrack", "Euro-Techno",
    "Ambient", "Trip-Hop", "Vocal", "Jazz+Funk", "Fusion", "Trance", "Classical",
    "Instrumental", "Acid", "House", "Game", "Sound Clip", "Gospel", "Noise", "Alt. Rock",
    "Bass", "Soul", "Punk", "Space", "Meditative", "Instrumental pop", "Instrumental rock",
    "Ethnic", "Gothic", "Darkwave", "Techno-Industrial", "Electronic", "Pop-Folk", "Eurodance",
    "Dream", "Southern Rock", "Comedy", "Cult", "Gangsta", "Top 40", "Christian Rap",
    "Pop/Funk", "Jungle", "Native American", "Cabaret", "New Wave", "Psychedelic", "Rave",
    "Showtunes", "Trailer", "Lo-Fi", "Tribal", "Acid Punk", "Acid Jazz", "Polka", "Retro",
    "Musical", "Rock & Roll", "Hard Rock", "Folk", "Folk-Rock", "National Folk", "Swing",
    "Fast Fusion", "Bebob", "Latin", "Revival", "Celtic", "Bluegrass", "Avantgarde",
    "Gothic Rock", "Progressive Rock", "Psychedelic Rock", "Symphonic Rock", "Slow Rock",
    "Big Band", "Chorus", "Easy Listening", "Acoustic", "Humour", "Speech", "Chanson", "Opera",
    "Chamber music", "Sonata", "Symphony", "Booty Bass", "Primus", "Porn Groove", "Satire",
    "Slow Jam", "Club", "Tango", "Samba", "Folklore", "Ballad", "Power Ballad",
    "Rhythmic soul", "Freestyle", "Duet", "Punk Rock", "Drum Solo", "A Cappella", "Euro-House",
    "Dance Hall", "Goa", "Drum & Bass", "Club-House", "Hardcore", "Terror", "Indie", "BritPop",
    "Negerpunk", "Polsk Punk", "Beat", "Christian Gangsta Rap", "Heavy Metal", "Black Metal",
    "Crossover", "Contemporary Christian", "Christian Rock", "Merengue", "Salsa",
    "Thrash Metal", "Anime", "JPop", "Synthpop"};
// clang-format on

TId3v1Tags::TId3v1Tags() {
  DeclareId("artist", TVariant());
  DeclareId("album", TVariant());
  DeclareId("genre", static_cast<uint8_t>(12));
  DeclareId("year", TVariant());
  DeclareId("track", TVariant());
  DeclareId("title", TVariant());
  DeclareId("comment", TVariant());
}

std::string TId3v1Tags::Artist() const {
  const TVariant v = GetValue("artist");
  return v.IsText() ? AsString("artist") : std::string();
}

TId3v1TagsGenreId TId3v1Tags::GenreId() const {
  const int32_t id = AsInteger("genre");
  return (id >= 0 && id < Id3v1GenreCount) ? static_cast<TId3v1TagsGenreId>(id) : 12;
}

void TId3v1Tags::SetGenre(std::string_view Value) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= 32; };
  while (!Value.empty() && blank(Value.front())) Value.remove_prefix(1);
  while (!Value.empty() && blank(Value.back())) Value.remove_suffix(1);
  for (int i = 0; i < Id3v1GenreCount; ++i) {
    if (CompareIds(Id3v1Genres[i], Value) == 0) {
      SetGenreId(static_cast<TId3v1TagsGenreId>(i));
      return;
    }
  }
}

TId3v2Tags::TId3v2Tags() {
  for (const auto& [shortId, longId] : FrameIds) {
    DeclareId(shortId, TVariant());
    DeclareId(longId, TVariant());
  }
}

TAPEv2Tags::TAPEv2Tags() {
  for (const char* id : {"Artist",       "Composer",        "Album",    "Debut album", "Publisher",
                         "Conductor",    "Copyright",       "ISBN",     "ISRC",        "EAN/UPC",
                         "LC",           "Catalog",         "Language", "Genre",       "Year",
                         "Record Date",  "Record Location", "File",     "Related",     "Abstract",
                         "Bibliography", "Track",           "Title",    "Subtitle",    "Comment"})
    DeclareId(id, TVariant());
}

std::string TAPEv2Tags::Year() const {
  return Utf16ToLatin1(AsWideString("Year"));
}

TVorbisTags::TVorbisTags() {
  for (const char* id : {"album", "artist", "date", "genre", "title", "tracknumber", "discnumber",
                         "replaygain_reference_loudness", "replaygain_track_gain",
                         "replaygain_track_peak", "replaygain_album_gain", "replaygain_album_peak"})
    DeclareId(id, TVariant());
}

void TVorbisTags::TakeComment(std::string_view Entry) {
  const size_t eq = Entry.find('=');
  if (eq == std::string_view::npos) return;
  const std::string key = LowerAscii(std::string(Entry.substr(0, eq)));
  const std::u16string value = Utf8TextToUtf16(Entry.substr(eq + 1));
  if (key == "artist") {
    SetArtist(value);
  } else if (key == "album") {
    SetAlbum(value);
  } else if (key == "title") {
    SetTitle(value);
  } else if (key == "date") {
    SetDate(value);
  } else if (key == "genre") {
    SetGenre(value);
  } else if (key == "tracknumber") {
    SetTrack(value);
  }
}

void TVorbisTags::CopyTo(TCommonTags& Common) const {
  Common.Clear();
  Common.SetArtist(Artist());
  Common.SetAlbum(Album());
  Common.SetTitle(Title());
  Common.SetYear(Utf16ToLatin1(Date()));
  Common.SetTrack(Utf16ToLatin1(Track()));
  Common.SetGenre(Genre());
}

}  // namespace tunevert
