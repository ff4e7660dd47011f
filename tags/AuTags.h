#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Component.h"
#include "tags/TagValue.h"

namespace tunevert {

// Tag readers and writers work on POSIX file descriptors; -1 is the invalid handle.
inline constexpr int InvalidFileHandle = -1;

// One declared id's value, owned by its container.
struct TTagValueInfo {
  TVariant Value;
};

// The metadata of one song as a fixed set of named values. Ids compare case-insensitively
// (ASCII letters fold) and are kept sorted; the families declare their ids when built.
class TAuTags : public TPersistent {
 public:
  TAuTags();
  TAuTags(const TAuTags&) = delete;
  TAuTags& operator=(const TAuTags&) = delete;
  ~TAuTags() override;

  std::string ClassName() const override { return "TAuTags"; }
  // Copies the values of same-named ids from another container, kinds unchanged.
  void Assign(const TPersistent* Source) override;

  // Whether the file carries this family's tag. The base only checks the handle.
  static bool Presents(int InFile);
  // Clears the container and fills it from the file; False when nothing could be read.
  virtual bool ReadFromFile(int InFile);
  // Writes the container into the file; the base writes nothing.
  virtual bool WriteToFile(int OutFile, bool Unicode);

  TVariant Values(std::string_view Id) const { return GetValue(Id); }
  void SetValues(std::string_view Id, const TVariant& Value) { SetValue(Id, Value); }
  std::string Ids(int32_t Index) const { return GetId(Index); }
  int32_t AsInteger(std::string_view Id) const { return GetAsInteger(Id); }
  std::string AsString(std::string_view Id) const { return GetAsString(Id); }
  std::u16string AsWideString(std::string_view Id) const { return GetAsWideString(Id); }
  int32_t IdCount() const { return static_cast<int32_t>(FValues.size()); }
  bool Empty() const { return FEmpty; }
  bool Changed() const { return FChanged; }

  // Every value becomes null; the ids stay.
  void Clear();

  TVariant GetValue(std::string_view Id) const;
  // Ignores undeclared ids and values equal to the stored one.
  void SetValue(std::string_view Id, const TVariant& Value);
  std::string GetId(int32_t Index) const;
  int32_t GetAsInteger(std::string_view Id) const;
  std::string GetAsString(std::string_view Id) const;
  std::u16string GetAsWideString(std::string_view Id) const;

 protected:
  void AssignTo(TPersistent* Dest) const override;
  // Adds Id with its initial value; empty and already declared ids are ignored.
  void DeclareId(std::string_view Id, const TVariant& Initial);

 private:
  const TTagValueInfo* Find(std::string_view Id) const;
  void CopyFrom(const TAuTags& Source);

  // Sorted by case-folded id.
  std::vector<std::pair<std::string, std::unique_ptr<TTagValueInfo>>> FValues;
  bool FEmpty = true;
  bool FChanged = false;
};

// The format-neutral container every tagged input fills.
class TCommonTags final : public TAuTags {
 public:
  TCommonTags();
  std::string ClassName() const override { return "TCommonTags"; }

  std::u16string Artist() const { return AsWideString("Artist"); }
  void SetArtist(std::u16string Value) { SetValue("Artist", std::move(Value)); }
  std::u16string Album() const { return AsWideString("Album"); }
  void SetAlbum(std::u16string Value) { SetValue("Album", std::move(Value)); }
  std::u16string Genre() const { return AsWideString("Genre"); }
  void SetGenre(std::u16string Value) { SetValue("Genre", std::move(Value)); }
  std::u16string Title() const { return AsWideString("Title"); }
  void SetTitle(std::u16string Value) { SetValue("Title", std::move(Value)); }
  std::string Year() const { return AsString("Year"); }
  void SetYear(std::string Value) { SetValue("Year", std::move(Value)); }
  std::string Track() const { return AsString("Track"); }
  void SetTrack(std::string Value) { SetValue("Track", std::move(Value)); }
};

// Index into the ID3v1 genre table.
using TId3v1TagsGenreId = uint8_t;

inline constexpr int Id3v1GenreCount = 148;
extern const std::string_view Id3v1Genres[Id3v1GenreCount];

// The 128-byte ID3v1/ID3v1.1 block at the end of a file.
class TId3v1Tags final : public TAuTags {
 public:
  TId3v1Tags();
  std::string ClassName() const override { return "TId3v1Tags"; }

  static bool Presents(int InFile);
  bool ReadFromFile(int InFile) override;
  // Replaces a block already at the end of the file, otherwise appends one.
  bool WriteToFile(int OutFile, bool Unicode) override;

  std::string Title() const { return AsString("title"); }
  void SetTitle(std::string Value) { SetValue("title", std::move(Value)); }
  std::string Artist() const;
  void SetArtist(std::string Value) { SetValue("artist", std::move(Value)); }
  std::string Album() const { return AsString("album"); }
  void SetAlbum(std::string Value) { SetValue("album", std::move(Value)); }
  uint16_t Year() const { return static_cast<uint16_t>(AsInteger("year")); }
  void SetYear(uint16_t Value) { SetValue("year", Value); }
  std::string Comment() const { return AsString("comment"); }
  void SetComment(std::string Value) { SetValue("comment", std::move(Value)); }
  uint8_t Track() const { return static_cast<uint8_t>(AsInteger("track")); }
  void SetTrack(uint8_t Value) { SetValue("track", Value); }
  std::string Genre() const { return std::string(Id3v1Genres[GenreId()]); }
  // Looks the name up in the genre table (blanks trimmed, case ignored); unknown names
  // change nothing.
  void SetGenre(std::string_view Value);
  TId3v1TagsGenreId GenreId() const;
  void SetGenreId(TId3v1TagsGenreId Value) { SetValue("genre", Value); }
};

// ID3v2 tags: versions 2, 3 and 4 are read, version 4 is written.
class TId3v2Tags final : public TAuTags {
 public:
  static constexpr int FrameRows = 12;
  static constexpr int CommentRow = 6;
  // Per row: the ID3v2.2 id and the ID3v2.3/2.4 id.
  static constexpr std::pair<const char*, const char*> FrameIds[FrameRows] = {
      {"TAL", "TALB"}, {"TP1", "TPE1"}, {"TCO", "TCON"}, {"TT2", "TIT2"},
      {"TRK", "TRCK"}, {"TYE", "TYER"}, {"COM", "COMM"}, {"TCM", "TCOM"},
      {"TEN", "TENC"}, {"TCR", "TCOP"}, {"TLA", "TLAN"}, {"WXX", "WXXX"}};

  TId3v2Tags();
  std::string ClassName() const override { return "TId3v2Tags"; }

  // Whether a valid ID3v2 header stands at the current position; the position is kept.
  static bool Presents(int InFile);
  // Reads the tag at the current position and leaves the position after it.
  bool ReadFromFile(int InFile) override;
  // Puts a version-4 tag at the start of the file, replacing an ID3v2 tag already there.
  bool WriteToFile(int OutFile, bool Unicode) override;

  // True: the properties use the four-letter ids; False (after reading a version-2 tag):
  // the three-letter ones.
  bool New() const { return FNew; }

  std::u16string Album() const { return Wide(0); }
  void SetAlbum(std::u16string Value) { SetWide(0, std::move(Value)); }
  std::u16string Artist() const { return Wide(1); }
  void SetArtist(std::u16string Value) { SetWide(1, std::move(Value)); }
  std::u16string Genre() const { return Wide(2); }
  void SetGenre(std::u16string Value) { SetWide(2, std::move(Value)); }
  std::u16string Title() const { return Wide(3); }
  void SetTitle(std::u16string Value) { SetWide(3, std::move(Value)); }
  std::string Track() const { return AsString(Id(4)); }
  void SetTrack(std::string Value) { SetValue(Id(4), std::move(Value)); }
  std::string Year() const { return AsString(Id(5)); }
  void SetYear(std::string Value) { SetValue(Id(5), std::move(Value)); }
  std::u16string Comment() const { return Wide(6); }
  void SetComment(std::u16string Value) { SetWide(6, std::move(Value)); }
  std::u16string Composer() const { return Wide(7); }
  void SetComposer(std::u16string Value) { SetWide(7, std::move(Value)); }
  std::u16string Encoder() const { return Wide(8); }
  void SetEncoder(std::u16string Value) { SetWide(8, std::move(Value)); }
  std::u16string Copyright() const { return Wide(9); }
  void SetCopyright(std::u16string Value) { SetWide(9, std::move(Value)); }
  std::u16string Language() const { return Wide(10); }
  void SetLanguage(std::u16string Value) { SetWide(10, std::move(Value)); }
  std::u16string Link() const { return Wide(11); }
  void SetLink(std::u16string Value) { SetWide(11, std::move(Value)); }

 private:
  const char* Id(int Row) const { return FNew ? FrameIds[Row].second : FrameIds[Row].first; }
  std::u16string Wide(int Row) const { return AsWideString(Id(Row)); }
  void SetWide(int Row, std::u16string Value) { SetValue(Id(Row), std::move(Value)); }
  void ReadFrames(int InFile, uint8_t Version, int64_t TagSize);
  void StoreId3v2Frame(std::string_view FrameId, std::span<const uint8_t> Body);

  bool FNew = true;
};

// APEv2 item names; no byte format of its own here.
class TAPEv2Tags final : public TAuTags {
 public:
  TAPEv2Tags();
  std::string ClassName() const override { return "TAPEv2Tags"; }

#define TUNEVERT_WIDE_TAG(Name, TagId)   \
  std::u16string Name() const {          \
    return AsWideString(TagId);          \
  }                                      \
  void Set##Name(std::u16string Value) { \
    SetValue(TagId, std::move(Value));   \
  }
#define TUNEVERT_NARROW_TAG(Name, TagId) \
  std::string Name() const {             \
    return AsString(TagId);              \
  }                                      \
  void Set##Name(std::string Value) {    \
    SetValue(TagId, std::move(Value));   \
  }

  TUNEVERT_WIDE_TAG(Artist, "Artist")
  TUNEVERT_WIDE_TAG(Composer, "Composer")
  TUNEVERT_WIDE_TAG(Album, "Album")
  TUNEVERT_WIDE_TAG(DebutAlbum, "Debut album")
  TUNEVERT_WIDE_TAG(Publisher, "Publisher")
  TUNEVERT_WIDE_TAG(Conductor, "Conductor")
  TUNEVERT_WIDE_TAG(Copyright, "Copyright")
  TUNEVERT_NARROW_TAG(ISBN, "ISBN")
  TUNEVERT_NARROW_TAG(ISRC, "ISRC")
  TUNEVERT_NARROW_TAG(BarCode, "EAN/UPC")
  TUNEVERT_NARROW_TAG(LabelCode, "LC")
  TUNEVERT_NARROW_TAG(Catalog, "Catalog")
  TUNEVERT_WIDE_TAG(Language, "Language")
  TUNEVERT_WIDE_TAG(Genre, "Genre")
  // Read through the wide form, so numbers and wide text both come out as narrow text.
  std::string Year() const;
  void SetYear(std::string Value) {
    SetValue("Year", std::move(Value));
  }
  TUNEVERT_NARROW_TAG(RecordDate, "Record Date")
  TUNEVERT_WIDE_TAG(RecordLocation, "Record Location")
  TUNEVERT_WIDE_TAG(File_, "File")
  TUNEVERT_WIDE_TAG(Related, "Related")
  TUNEVERT_WIDE_TAG(Abstract, "Abstract")
  TUNEVERT_WIDE_TAG(Bibliography, "Bibliography")
  TUNEVERT_NARROW_TAG(Track, "Track")
  TUNEVERT_WIDE_TAG(Title, "Title")
  TUNEVERT_WIDE_TAG(SubTitle, "Subtitle")
  TUNEVERT_WIDE_TAG(Comment, "Comment")
};

// Vorbis comment fields, all wide text.
class TVorbisTags final : public TAuTags {
 public:
  TVorbisTags();
  std::string ClassName() const override { return "TVorbisTags"; }

  // Keeps a stream's "KEY=value" comment when it names the artist, album, title, date,
  // genre or track number.
  void TakeComment(std::string_view Entry);
  // Those fields into the tags every input shows.
  void CopyTo(TCommonTags& Common) const;

  TUNEVERT_WIDE_TAG(Album, "album")
  TUNEVERT_WIDE_TAG(Artist, "artist")
  TUNEVERT_WIDE_TAG(Date, "date")
  TUNEVERT_WIDE_TAG(Genre, "genre")
  TUNEVERT_WIDE_TAG(Title, "title")
  TUNEVERT_WIDE_TAG(Track, "tracknumber")
  TUNEVERT_WIDE_TAG(Disc, "discnumber")
  TUNEVERT_WIDE_TAG(Reference, "replaygain_reference_loudness")
  TUNEVERT_WIDE_TAG(TrackGain, "replaygain_track_gain")
  TUNEVERT_WIDE_TAG(TrackPeak, "replaygain_track_peak")
  TUNEVERT_WIDE_TAG(AlbumGain, "replaygain_album_gain")
  TUNEVERT_WIDE_TAG(AlbumPeak, "replaygain_album_peak")

#undef TUNEVERT_WIDE_TAG
#undef TUNEVERT_NARROW_TAG
};

}  // namespace tunevert
