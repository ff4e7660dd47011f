// The only file that includes the tag library's C++ headers.
#include "tags/TagLibMeta.h"

#include <taglib/aifffile.h>
#include <taglib/apefile.h>
#include <taglib/apeitem.h>
#include <taglib/apetag.h>
#include <taglib/asffile.h>
#include <taglib/asfpicture.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/commentsframe.h>
#include <taglib/flacfile.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mp4coverart.h>
#include <taglib/mp4file.h>
#include <taglib/mp4item.h>
#include <taglib/mp4tag.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tpropertymap.h>
#include <taglib/unsynchronizedlyricsframe.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/wavpackfile.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <iterator>
#include <utility>

#include "platform/Exception.h"
#include "platform/Text.h"
#include "tags/TagLibModule.h"
#include "tags/TagLibStream.h"

namespace tunevert {

namespace {

using TagLib::ByteVector;
using TagLib::PropertyMap;
using TagLib::String;
using TagLib::StringList;

constexpr const char* kReplayGainKeys[] = {"REPLAYGAIN_TRACK_GAIN", "REPLAYGAIN_TRACK_PEAK",
                                           "REPLAYGAIN_ALBUM_GAIN", "REPLAYGAIN_ALBUM_PEAK"};

// The ID3v2 TXXX names taggers use for these; the library's own are upper case or missing.
constexpr std::pair<const char*, const char*> kMusicBrainzTxxx[] = {
    {"MUSICBRAINZ_ALBUMID", "MusicBrainz Album Id"},
    {"MUSICBRAINZ_ARTISTID", "MusicBrainz Artist Id"},
    {"MUSICBRAINZ_ALBUMARTISTID", "MusicBrainz Album Artist Id"},
    {"MUSICBRAINZ_RELEASEGROUPID", "MusicBrainz Release Group Id"},
    {"MUSICBRAINZ_RELEASETRACKID", "MusicBrainz Release Track Id"},
    {"MUSICBRAINZ_WORKID", "MusicBrainz Work Id"},
};

std::string Utf8(const String& s) {
  return s.to8Bit(true);
}
String FromUtf8(const std::string& s) {
  return String(s, String::UTF8);
}
ByteVector Bytes(const std::string& s) {
  return ByteVector(s.data(), static_cast<unsigned>(s.size()));
}
std::string FromBytes(const ByteVector& b) {
  return std::string(b.data(), b.size());
}

bool IsCarried(const std::string& key) {
  const auto& keys = CarriedKeys();
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// "3/12" into its number and total; a total already given separately wins.
void SplitTotal(TCarriedTags& tags, const char* numberKey, const char* totalKey) {
  auto it = tags.Text.find(numberKey);
  if (it == tags.Text.end() || it->second.empty()) return;
  std::string& number = it->second.front();
  const size_t slash = number.find('/');
  if (slash == std::string::npos) return;
  std::string total = number.substr(slash + 1);
  number.erase(slash);
  if (!total.empty() && !tags.Text.count(totalKey)) tags.Text[totalKey] = {total};
  if (number.empty()) tags.Text.erase(it);
}

// Fills the carried fields from a tag library property map, names made uniform.
void TakeProperties(TCarriedTags& tags, const PropertyMap& map, bool onlyMissing = false) {
  for (const auto& [name, values] : map) {
    std::string key = Utf8(name);
    if (key == "TOTALTRACKS") key = "TRACKTOTAL";
    if (key == "TOTALDISCS") key = "DISCTOTAL";
    if (!IsCarried(key) || (onlyMissing && tags.Text.count(key))) continue;
    std::vector<std::string> out;
    for (const String& v : values)
      if (!v.isEmpty()) out.push_back(Utf8(v));
    if (!out.empty()) tags.Text[key] = std::move(out);
  }
  SplitTotal(tags, "TRACKNUMBER", "TRACKTOTAL");
  SplitTotal(tags, "DISCNUMBER", "DISCTOTAL");
}

// The property map a format with combined "n/total" numbers expects (ID3v2, ASF discs).
PropertyMap ToProperties(const TCarriedTags& tags, bool combineTrack, bool combineDisc) {
  PropertyMap map;
  for (const auto& [key, values] : tags.Text) {
    StringList list;
    for (const std::string& v : values) list.append(FromUtf8(v));
    map.insert(FromUtf8(key), list);
  }
  auto combine = [&](const char* numberKey, const char* totalKey) {
    const std::string total = tags.First(totalKey);
    map.erase(totalKey);
    if (total.empty()) return;
    map.replace(numberKey, StringList(FromUtf8(tags.First(numberKey) + "/" + total)));
  };
  if (combineTrack) combine("TRACKNUMBER", "TRACKTOTAL");
  if (combineDisc) combine("DISCNUMBER", "DISCTOTAL");
  return map;
}

void ReadId3v2(TCarriedTags& tags, TagLib::ID3v2::Tag& tag) {
  TakeProperties(tags, tag.properties());
  for (TagLib::ID3v2::Frame* frame : tag.frameList("TXXX"))
    if (auto* txxx = dynamic_cast<TagLib::ID3v2::UserTextIdentificationFrame*>(frame))
      for (const auto& [key, name] : kMusicBrainzTxxx)
        if (txxx->description().upper() == String(name).upper()) {
          std::vector<std::string> values;
          const StringList fields = txxx->fieldList();
          // The first field is the description.
          for (auto it = std::next(fields.begin()); it != fields.end(); ++it)
            if (!it->isEmpty()) values.push_back(Utf8(*it));
          if (!values.empty()) tags.Text[key] = std::move(values);
        }
  // Version 2.2 PIC frames come back from the library as APIC too.
  for (TagLib::ID3v2::Frame* frame : tag.frameList("APIC"))
    if (auto* apic = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame*>(frame))
      tags.Pictures.push_back({static_cast<int>(apic->type()), Utf8(apic->mimeType()),
                               Utf8(apic->description()), FromBytes(apic->picture())});
}

void ReadPictures(TCarriedTags& tags, const TagLib::List<TagLib::FLAC::Picture*>& pictures) {
  for (const TagLib::FLAC::Picture* p : pictures)
    tags.Pictures.push_back({static_cast<int>(p->type()), Utf8(p->mimeType()),
                             Utf8(p->description()), FromBytes(p->data())});
}

// The whole ID3v2 tag: text in UTF-8 (version 2.4 allows it), pictures as APIC frames.
void WriteId3v2(TagLib::ID3v2::Tag& tag, const TCarriedTags& tags) {
  PropertyMap map = ToProperties(tags, true, true);
  // Not a property map: its keys are upper case.
  std::vector<std::pair<String, StringList>> musicBrainz;
  for (const auto& [key, name] : kMusicBrainzTxxx)
    if (auto it = map.find(key); it != map.end()) {
      musicBrainz.emplace_back(name, it->second);
      map.erase(key);
    }
  // Before the named frames are added: setting properties drops every frame not in the map.
  tag.setProperties(map);
  for (const auto& [name, values] : musicBrainz) {
    auto* txxx = new TagLib::ID3v2::UserTextIdentificationFrame(String::UTF8);
    txxx->setDescription(name);
    txxx->setText(values);
    tag.addFrame(txxx);
  }
  // The frame factory's default encoding is process-wide and may be Latin-1; every text
  // frame is made UTF-8 here so nothing is lost whoever set it.
  for (TagLib::ID3v2::Frame* frame : tag.frameList()) {
    if (auto* text = dynamic_cast<TagLib::ID3v2::TextIdentificationFrame*>(frame))
      text->setTextEncoding(String::UTF8);
    else if (auto* comment = dynamic_cast<TagLib::ID3v2::CommentsFrame*>(frame))
      comment->setTextEncoding(String::UTF8);
    else if (auto* lyrics = dynamic_cast<TagLib::ID3v2::UnsynchronizedLyricsFrame*>(frame)) {
      lyrics->setTextEncoding(String::UTF8);
      // The library names the frame it makes for plain lyrics "LYRICS"; readers look for
      // the unnamed one.
      if (lyrics->description() == "LYRICS") lyrics->setDescription(String());
    }
  }
  for (const TCarriedPicture& p : tags.Pictures) {
    auto* apic = new TagLib::ID3v2::AttachedPictureFrame;
    apic->setTextEncoding(String::UTF8);
    apic->setType(static_cast<TagLib::ID3v2::AttachedPictureFrame::Type>(p.Type));
    apic->setMimeType(FromUtf8(p.Mime));
    apic->setDescription(FromUtf8(p.Description));
    apic->setPicture(Bytes(p.Data));
    tag.addFrame(apic);
  }
}

// ID3v1 holds ISO-8859-1 only: a character outside it becomes '?'; the tag library cuts
// each field to its fixed width.
String Latin1(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (length == 2 && i + 1 < utf8.size() && lead < 0xC4)
      out += static_cast<char>(((lead & 0x1F) << 6) | (utf8[i + 1] & 0x3F));
    else
      out += length == 1 ? static_cast<char>(lead) : '?';
    i += length;
  }
  return String(out, String::Latin1);
}

unsigned LeadingNumber(const std::string& text) {
  unsigned v = 0;
  for (char c : text) {
    if (c < '0' || c > '9' || v > 100000) break;
    v = v * 10 + unsigned(c - '0');
  }
  return v;
}

void WriteId3v1(TagLib::ID3v1::Tag& tag, const TCarriedTags& tags) {
  tag.setTitle(Latin1(tags.First("TITLE")));
  tag.setArtist(Latin1(tags.First("ARTIST")));
  tag.setAlbum(Latin1(tags.First("ALBUM")));
  tag.setComment(Latin1(tags.First("COMMENT")));
  tag.setGenre(Latin1(tags.First("GENRE")));
  tag.setYear(LeadingNumber(tags.First("DATE")));
  const unsigned track = LeadingNumber(tags.First("TRACKNUMBER"));
  tag.setTrack(track < 256 ? track : 0);
}

// Without its audio properties read, the library takes any bytes for an MP3 and would write
// a tag into them; an output is only tagged once its audio is recognised.
bool HasAudio(TagLib::File& file) {
  return file.isValid() && file.audioProperties() != nullptr &&
         file.audioProperties()->sampleRate() > 0;
}

// An MP4 sound description holds its rate in 16 bits: above 65535 Hz (96 kHz AAC) the
// library reads 0 there, though the atoms it checked are a movie with an audio track.
bool HasMp4Audio(TagLib::MP4::File& file) {
  return HasAudio(file) || (file.isValid() && file.audioProperties() != nullptr &&
                            file.audioProperties()->channels() > 0);
}

// The library reports a refused save; the stream reports a write that failed underneath it.
void Saved(bool saved, const TCheckedFileStream& stream) {
  stream.ThrowIfFailed();
  if (!saved) throw EAuException("Failed to save tags");
}

void WriteMp3(const std::string& fileName, const TCarriedTags& tags) {
  TCheckedFileStream stream(fileName);
  TagLib::MPEG::File file(&stream, TagLib::ID3v2::FrameFactory::instance());
  if (!HasAudio(file)) throw EAuException("Failed to write tags: not an MP3 file");
  // Whatever the encoder left (an empty ID3v1 record) is replaced as a whole.
  file.strip(TagLib::MPEG::File::AllTags);
  if (!tags.Empty()) {
    WriteId3v2(*file.ID3v2Tag(true), tags);
    WriteId3v1(*file.ID3v1Tag(true), tags);
  }
  Saved(file.save(TagLib::MPEG::File::AllTags, TagLib::File::StripOthers, TagLib::ID3v2::v4,
                  TagLib::File::DoNotDuplicate),
        stream);
}

void WriteWav(const std::string& fileName, const TCarriedTags& tags) {
  TCheckedFileStream stream(fileName);
  TagLib::RIFF::WAV::File file(&stream);
  if (!HasAudio(file)) throw EAuException("Failed to write tags: not a WAV file");
  // LIST INFO for the readers that know only it; the "id3 " chunk for everything INFO has no
  // field for (album artist, disc, pictures...).
  TagLib::RIFF::Info::Tag& info = *file.InfoTag();
  info.setTitle(FromUtf8(tags.First("TITLE")));
  info.setArtist(FromUtf8(tags.First("ARTIST")));
  info.setAlbum(FromUtf8(tags.First("ALBUM")));
  info.setComment(FromUtf8(tags.First("COMMENT")));
  info.setGenre(FromUtf8(tags.First("GENRE")));
  info.setFieldText("ICRD", FromUtf8(tags.First("DATE")));
  info.setFieldText("IPRT", FromUtf8(tags.First("TRACKNUMBER")));
  WriteId3v2(*file.ID3v2Tag(), tags);
  Saved(file.save(TagLib::RIFF::WAV::File::AllTags, TagLib::File::StripOthers, TagLib::ID3v2::v4),
        stream);
}

void WriteWma(const std::string& fileName, const TCarriedTags& tags) {
  TCheckedFileStream stream(fileName);
  TagLib::ASF::File file(&stream);
  if (!HasAudio(file)) throw EAuException("Failed to write tags: not a WMA file");
  TagLib::ASF::Tag& tag = *file.tag();
  // WM/PartOfSet is "disc/total"; ASF has no attribute for the number of tracks.
  PropertyMap map = ToProperties(tags, false, true);
  // Title, author and description live in a record with one string each, where the library
  // would join several values with bare spaces; "; " is how players list them there.
  for (const char* key : {"TITLE", "ARTIST", "COMMENT"})
    if (auto it = map.find(key); it != map.end() && it->second.size() > 1)
      it->second = StringList(it->second.toString("; "));
  tag.setProperties(map);
  // The library has no ASF names for ReplayGain; these are the ones taggers use.
  for (const char* key : kReplayGainKeys) {
    const std::string name = LowerAscii(key);
    tag.removeItem(name);
    if (const std::string value = tags.First(key); !value.empty())
      tag.setAttribute(name, TagLib::ASF::Attribute(FromUtf8(value)));
  }
  tag.removeItem("WM/Picture");
  for (const TCarriedPicture& p : tags.Pictures) {
    TagLib::ASF::Picture picture;
    picture.setType(static_cast<TagLib::ASF::Picture::Type>(p.Type));
    picture.setMimeType(FromUtf8(p.Mime));
    picture.setDescription(FromUtf8(p.Description));
    picture.setPicture(Bytes(p.Data));
    tag.addAttribute("WM/Picture", TagLib::ASF::Attribute(picture));
  }
  Saved(file.save(), stream);
}

// Vorbis comments: one field per value, numbers and totals apart as the format names them.
void WriteXiph(TagLib::Ogg::XiphComment& comment, const TCarriedTags& tags) {
  comment.removeAllFields();
  for (const auto& [key, values] : tags.Text)
    for (const std::string& v : values) comment.addField(FromUtf8(key), FromUtf8(v), false);
}

// A picture block, as FLAC stores it and as Ogg carries it base64-encoded in a comment.
TagLib::FLAC::Picture* FlacPicture(const TCarriedPicture& p) {
  auto* picture = new TagLib::FLAC::Picture;
  picture->setType(static_cast<TagLib::FLAC::Picture::Type>(p.Type));
  picture->setMimeType(FromUtf8(p.Mime));
  picture->setDescription(FromUtf8(p.Description));
  picture->setData(Bytes(p.Data));
  return picture;
}

void WriteFlac(const std::string& fileName, const TCarriedTags& tags) {
  TCheckedFileStream stream(fileName);
  TagLib::FLAC::File file(&stream, TagLib::ID3v2::FrameFactory::instance());
  if (!HasAudio(file)) throw EAuException("Failed to write tags: not a FLAC file");
  WriteXiph(*file.xiphComment(true), tags);
  file.removePictures();
  for (const TCarriedPicture& p : tags.Pictures) file.addPicture(FlacPicture(p));
  Saved(file.save(), stream);
}

// Ogg Vorbis and Opus carry Vorbis comments, pictures as METADATA_BLOCK_PICTURE fields.
template <class TOggFile>
void WriteOggComments(const std::string& fileName, const TCarriedTags& tags, const char* kind) {
  TCheckedFileStream stream(fileName);
  TOggFile file(&stream);
  if (!HasAudio(file) || file.tag() == nullptr)
    throw EAuException(std::string("Failed to write tags: not an ") + kind + " file");
  TagLib::Ogg::XiphComment& comment = *file.tag();
  WriteXiph(comment, tags);
  comment.removeAllPictures();
  for (const TCarriedPicture& p : tags.Pictures) comment.addPicture(FlacPicture(p));
  Saved(file.save(), stream);
}

// ---- MP4: an M4A output, and sources decoded through FFmpeg ----

constexpr const char* kFreeForm = "----:com.apple.iTunes:";

// The iTunes atoms, named as taggers name them (the library reads these names back); a field
// missing here goes into a free-form atom under its own name.
constexpr std::pair<const char*, const char*> kMp4Atoms[] = {
    {"TITLE", "\251nam"},
    {"ARTIST", "\251ART"},
    {"ALBUM", "\251alb"},
    {"ALBUMARTIST", "aART"},
    {"COMPOSER", "\251wrt"},
    {"GENRE", "\251gen"},
    {"DATE", "\251day"},
    {"COMMENT", "\251cmt"},
    {"LYRICS", "\251lyr"},
    {"MUSICBRAINZ_TRACKID", "----:com.apple.iTunes:MusicBrainz Track Id"},
    {"MUSICBRAINZ_ALBUMID", "----:com.apple.iTunes:MusicBrainz Album Id"},
    {"MUSICBRAINZ_ARTISTID", "----:com.apple.iTunes:MusicBrainz Artist Id"},
    {"MUSICBRAINZ_ALBUMARTISTID", "----:com.apple.iTunes:MusicBrainz Album Artist Id"},
    {"MUSICBRAINZ_RELEASEGROUPID", "----:com.apple.iTunes:MusicBrainz Release Group Id"},
    {"MUSICBRAINZ_RELEASETRACKID", "----:com.apple.iTunes:MusicBrainz Release Track Id"},
    {"MUSICBRAINZ_WORKID", "----:com.apple.iTunes:MusicBrainz Work Id"},
    {"REPLAYGAIN_TRACK_GAIN", "----:com.apple.iTunes:replaygain_track_gain"},
    {"REPLAYGAIN_TRACK_PEAK", "----:com.apple.iTunes:replaygain_track_peak"},
    {"REPLAYGAIN_ALBUM_GAIN", "----:com.apple.iTunes:replaygain_album_gain"},
    {"REPLAYGAIN_ALBUM_PEAK", "----:com.apple.iTunes:replaygain_album_peak"},
    {"ITUNSMPB", "----:com.apple.iTunes:iTunSMPB"},
};

struct TMp4Number {
  const char* Atom;
  const char* NumberKey;
  const char* TotalKey;
};
constexpr TMp4Number kMp4Numbers[] = {{"trkn", "TRACKNUMBER", "TRACKTOTAL"},
                                      {"disk", "DISCNUMBER", "DISCTOTAL"}};

void ReadMp4(TCarriedTags& tags, TagLib::MP4::Tag& tag) {
  TakeProperties(tags, tag.properties());
  // A number of 0 stands for none ("0/12": only the total is known).
  for (const TMp4Number& n : kMp4Numbers) {
    if (!tag.contains(n.Atom)) continue;
    const TagLib::MP4::Item::IntPair pair = tag.item(n.Atom).toIntPair();
    tags.Text.erase(n.NumberKey);
    tags.Text.erase(n.TotalKey);
    if (pair.first > 0) tags.Text[n.NumberKey] = {std::to_string(pair.first)};
    if (pair.second > 0) tags.Text[n.TotalKey] = {std::to_string(pair.second)};
  }
  // Free-form atoms in any letter case: taggers differ, and the library has no names for
  // ReplayGain or the gapless record.
  for (const auto& [atom, item] : tag.itemMap())
    for (const auto& [key, name] : kMp4Atoms) {
      if (!String(name).startsWith(kFreeForm) || atom.upper() != String(name).upper()) continue;
      std::vector<std::string> values;
      for (const String& v : item.toStringList())
        if (!v.isEmpty()) values.push_back(Utf8(v));
      if (!values.empty()) tags.Text[key] = std::move(values);
    }
  // "covr" holds bare images; iTunes shows them all as the front cover.
  if (!tag.contains("covr")) return;
  for (const TagLib::MP4::CoverArt& art : tag.item("covr").toCoverArtList()) {
    const char* mime = "image/jpeg";
    if (art.format() == TagLib::MP4::CoverArt::PNG) mime = "image/png";
    if (art.format() == TagLib::MP4::CoverArt::GIF) mime = "image/gif";
    if (art.format() == TagLib::MP4::CoverArt::BMP) mime = "image/bmp";
    tags.Pictures.push_back({3, mime, "", FromBytes(art.data())});
  }
}

// Replaces every item but the encoder's name, which stays as a Vorbis comment's vendor
// string does.
void WriteMp4(const std::string& fileName, const TCarriedTags& tags) {
  TCheckedFileStream stream(fileName);
  TagLib::MP4::File file(&stream);
  if (!HasMp4Audio(file) || file.tag() == nullptr)
    throw EAuException("Failed to write tags: not an M4A file");
  TagLib::MP4::Tag& tag = *file.tag();
  const TagLib::MP4::ItemMap before = tag.itemMap();
  for (const auto& [atom, item] : before)
    if (atom != "\251too") tag.removeItem(atom);
  for (const auto& [key, values] : tags.Text) {
    if (values.empty() || key == "TRACKNUMBER" || key == "TRACKTOTAL" || key == "DISCNUMBER" ||
        key == "DISCTOTAL")
      continue;
    String atom = String(kFreeForm) + FromUtf8(key);
    for (const auto& [carried, name] : kMp4Atoms)
      if (key == carried) atom = name;
    StringList list;
    for (const std::string& v : values) list.append(FromUtf8(v));
    tag.setItem(atom, list);
  }
  // Fitted to 1 to 65535; anything else stands for none.
  auto number = [&](const char* key) {
    const unsigned n = LeadingNumber(tags.First(key));
    return n <= 0xFFFF ? static_cast<int>(n) : 0;
  };
  for (const TMp4Number& n : kMp4Numbers)
    if (const int first = number(n.NumberKey), total = number(n.TotalKey); first || total)
      tag.setItem(n.Atom, TagLib::MP4::Item(first, total));
  TagLib::MP4::CoverArtList covers;
  for (const TCarriedPicture& p : tags.Pictures) {
    const std::string mime = M4ACoverMime(p);
    const auto format = mime == "image/png"   ? TagLib::MP4::CoverArt::PNG
                        : mime == "image/bmp" ? TagLib::MP4::CoverArt::BMP
                        : mime == "image/gif" ? TagLib::MP4::CoverArt::GIF
                                              : TagLib::MP4::CoverArt::JPEG;
    if (!mime.empty()) covers.append(TagLib::MP4::CoverArt(format, Bytes(p.Data)));
  }
  if (!covers.isEmpty()) tag.setItem("covr", covers);
  Saved(file.save(), stream);
}

// APEv2 pictures are binary items "Cover Art (Front)"/"(Back)": a file name, a zero byte, the
// image; the kind of image only its first bytes tell.
void ReadApe(TCarriedTags& tags, TagLib::APE::Tag& tag) {
  TakeProperties(tags, tag.properties());
  for (const auto& [key, item] : tag.itemListMap()) {
    const int type = key == "COVER ART (FRONT)" ? 3 : key == "COVER ART (BACK)" ? 4 : 0;
    if (type == 0 || item.type() != TagLib::APE::Item::Binary) continue;
    const std::string raw = FromBytes(item.binaryData());
    const size_t zero = raw.find('\0');
    if (zero == std::string::npos) continue;
    std::string data = raw.substr(zero + 1);
    const char* mime = data.rfind("\x89PNG", 0) == 0    ? "image/png"
                       : data.rfind("GIF8", 0) == 0     ? "image/gif"
                       : data.rfind("\xFF\xD8", 0) == 0 ? "image/jpeg"
                                                        : "";
    tags.Pictures.push_back({type, mime, raw.substr(0, zero), std::move(data)});
  }
}

template <class TFile>
void ReadApeOrId3v1(TCarriedTags& tags, TFile& file) {
  if (file.hasAPETag()) ReadApe(tags, *file.APETag());
  if (tags.Text.empty() && file.hasID3v1Tag()) TakeProperties(tags, file.ID3v1Tag()->properties());
}

// True when the extension is one of these sources; their tags are then in Tags. The audio
// properties are read too: without them the library takes any bytes for AIFF or APE.
bool ReadFFmpegSourceTags(const std::string& ext, const char* name, TCarriedTags& tags) {
  auto check = [](TagLib::File& file) {
    if (!HasAudio(file)) throw EAuException("Failed to read tags");
  };
  if (ext == ".m4a" || ext == ".mp4") {
    TagLib::MP4::File file(name);
    if (!HasMp4Audio(file)) throw EAuException("Failed to read tags");
    if (TagLib::MP4::Tag* tag = file.tag()) ReadMp4(tags, *tag);
  } else if (ext == ".aif" || ext == ".aiff" || ext == ".aifc") {
    TagLib::RIFF::AIFF::File file(name);
    check(file);
    if (file.hasID3v2Tag()) ReadId3v2(tags, *file.tag());
  } else if (ext == ".aac") {
    // ADTS has no tags of its own; taggers put an ID3v2 tag in front, as in MP3. The MP3
    // reader finds it without reading the audio, which it would not recognise.
    TagLib::MPEG::File file(name, false);
    if (!file.isValid()) throw EAuException("Failed to read tags");
    if (file.hasID3v2Tag()) ReadId3v2(tags, *file.ID3v2Tag());
  } else if (ext == ".wv") {
    TagLib::WavPack::File file(name);
    check(file);
    ReadApeOrId3v1(tags, file);
  } else if (ext == ".ape") {
    TagLib::APE::File file(name);
    check(file);
    ReadApeOrId3v1(tags, file);
  } else {
    return false;
  }
  return true;
}

}  // namespace

TCarriedTags ReadCarriedTags(const std::string& FileName) {
  TCarriedTags tags = ReadCarriedTagsAs(FileName, LowerAscii(FileExtension(FileName)));
  // The gapless record describes the source's own encoding, never an output's.
  tags.Text.erase("ITUNSMPB");
  return tags;
}

TCarriedTags ReadCarriedTagsAs(const std::string& FileName, const std::string& ext) {
  const char* name = FileName.c_str();
  TCarriedTags tags;
  auto check = [](const TagLib::File& file) {
    if (!file.isValid()) throw EAuException("Failed to read tags");
  };
  if (ext == ".flac") {
    TagLib::FLAC::File file(name, false);
    check(file);
    TakeProperties(tags, file.properties());
    ReadPictures(tags, file.pictureList());
  } else if (ext == ".ogg") {
    TagLib::Ogg::Vorbis::File file(name, false);
    check(file);
    if (TagLib::Ogg::XiphComment* comment = file.tag()) {
      TakeProperties(tags, comment->properties());
      ReadPictures(tags, comment->pictureList());
    }
  } else if (ext == ".opus") {
    TagLib::Ogg::Opus::File file(name, false);
    check(file);
    if (TagLib::Ogg::XiphComment* comment = file.tag()) {
      TakeProperties(tags, comment->properties());
      ReadPictures(tags, comment->pictureList());
    }
  } else if (ext == ".mp3") {
    TagLib::MPEG::File file(name, false);
    check(file);
    if (file.hasID3v2Tag()) ReadId3v2(tags, *file.ID3v2Tag());
    if (tags.Text.empty() && file.hasID3v1Tag())
      TakeProperties(tags, file.ID3v1Tag()->properties());
  } else if (ext == ".wma") {
    TagLib::ASF::File file(name, false);
    check(file);
    TagLib::ASF::Tag& tag = *file.tag();
    TakeProperties(tags, tag.properties());
    const auto& attributes = tag.attributeListMap();
    // FFmpeg keeps the year in an attribute named "date", not WM/Year.
    for (const char* fallback : {"date", "year"})
      for (const auto& [attribute, list] : attributes)
        if (!tags.Text.count("DATE") && attribute.upper() == String(fallback).upper() &&
            !list.isEmpty() && !list.front().toString().isEmpty())
          tags.Text["DATE"] = {Utf8(list.front().toString())};
    for (const auto& [attribute, list] : attributes)
      for (const char* key : kReplayGainKeys)
        if (attribute.upper() == key && !list.isEmpty() && !list.front().toString().isEmpty())
          tags.Text[key] = {Utf8(list.front().toString())};
    if (attributes.contains("WM/Picture"))
      for (const TagLib::ASF::Attribute& a : attributes["WM/Picture"]) {
        const TagLib::ASF::Picture p = a.toPicture();
        if (p.isValid())
          tags.Pictures.push_back({static_cast<int>(p.type()), Utf8(p.mimeType()),
                                   Utf8(p.description()), FromBytes(p.picture())});
      }
  } else if (ext == ".wav") {
    TagLib::RIFF::WAV::File file(name, false);
    check(file);
    if (file.hasID3v2Tag()) ReadId3v2(tags, *file.ID3v2Tag());
    if (file.hasInfoTag()) TakeProperties(tags, file.InfoTag()->properties(), true);
  } else if (!ReadFFmpegSourceTags(ext, name, tags)) {
    throw EAuException("Failed to read tags: unknown file type");
  }
  return tags;
}

void WriteFittedTags(const std::string& FileName, const TCarriedTags& Tags,
                     const std::string& Format) {
  if (Format == ".mp3")
    WriteMp3(FileName, Tags);
  else if (Tags.Empty())
    return;
  else if (Format == ".wav")
    WriteWav(FileName, Tags);
  else if (Format == ".wma")
    WriteWma(FileName, Tags);
  else if (Format == ".flac")
    WriteFlac(FileName, Tags);
  else if (Format == ".ogg")
    WriteOggComments<TagLib::Ogg::Vorbis::File>(FileName, Tags, "Ogg Vorbis");
  else if (Format == ".opus")
    WriteOggComments<TagLib::Ogg::Opus::File>(FileName, Tags, "Opus");
  else if (Format == ".m4a")
    WriteMp4(FileName, Tags);
  else
    throw EAuException("Failed to write tags: unknown output format " + Format);
}

}  // namespace tunevert
