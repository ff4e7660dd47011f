#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Text.h"
#include "tags/TagLibMeta.h"

namespace tunevert {

namespace {

// What each container can hold. Beyond these the length fields wrap and readers refuse the
// file (FLAC) or read garbage (ASF), so whatever does not fit is left out instead.
// A block's length has 24 bits, and libFLAC writes a block with its 4-byte header in at most
// 16 MiB.
constexpr std::uint64_t kFlacBlockMax = (std::uint64_t{1} << 24) - 4;
constexpr std::uint64_t kId3v2Max = (std::uint64_t{1} << 28) - 1;  // 28-bit synchsafe sizes
// The tag library pads an ID3v2 tag by up to 1 MiB, counted in the tag's size.
constexpr std::uint64_t kId3v2Padding = std::uint64_t{1} << 20;
// RIFF counts the whole file but its first 8 bytes in 32 bits.
constexpr std::uint64_t kRiffMax = 0xFFFFFFFF;
// libvorbis and libopusfile read comment lengths into signed 32-bit integers.
constexpr std::uint64_t kOggCommentMax = (std::uint64_t{1} << 31) - 1;
// ASF's title, author and description strings carry 16-bit byte lengths; every other
// attribute the tag library moves to the Metadata Library object (32-bit) when it is large.
constexpr std::uint64_t kAsfStringMax = 0xFFFF;
constexpr std::uint64_t kAsfValueMax = 0xFFFFFFFF;
// The encoder's vendor string stays in a Vorbis comment; room for any such name.
constexpr std::uint64_t kVendorRoom = 256;
// MP4 atoms the tag library writes have 32-bit sizes, and the tags go inside the movie atom.
constexpr std::uint64_t kMp4AtomMax = 0xFFFFFFFF;
// The "udta", "meta", "hdlr", "ilst" and "covr" atoms the tags add around their items.
constexpr std::uint64_t kMp4TagRoom = 256;
// An item's atom and its "data" atom, and for a free-form item its "mean" and "name" atoms.
constexpr std::uint64_t kMp4ItemRoom = 16 + 64;

std::string SizeText(std::uint64_t bytes) {
  char text[32];
  if (bytes < 1024)
    std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
  else if (bytes < (1u << 20))
    std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
  else
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
  return text;
}

std::string PictureName(const TCarriedPicture& p) {
  static const char* const kTypes[] = {"other",
                                       "file icon",
                                       "other file icon",
                                       "front cover",
                                       "back cover",
                                       "leaflet page",
                                       "media",
                                       "lead artist",
                                       "artist",
                                       "conductor",
                                       "band",
                                       "composer",
                                       "lyricist",
                                       "recording location",
                                       "during recording",
                                       "during performance",
                                       "screen capture",
                                       "fish",
                                       "illustration",
                                       "band logo",
                                       "publisher logo"};
  const std::string type = p.Type >= 0 && p.Type < static_cast<int>(std::size(kTypes))
                               ? kTypes[p.Type]
                               : "type " + std::to_string(p.Type);
  return "picture (" + type + ", " + SizeText(p.Data.size()) + ")";
}

// UTF-16 code units of UTF-8 text: one per character, two for those past U+FFFF.
std::uint64_t Utf16Units(const std::string& utf8) {
  std::uint64_t units = 0;
  for (unsigned char c : utf8)
    if ((c & 0xC0) != 0x80) units += c >= 0xF0 ? 2 : 1;
  return units;
}

// One thing a container stores: a picture, or one value of a field.
struct TPiece {
  bool Picture = false;
  std::string Key;    // the field
  std::size_t Index;  // into Pictures, or into the field's values
  std::uint64_t Size;
};

class TFitter {
 public:
  TFitter(const TCarriedTags& Tags, std::vector<std::string>& LeftOut)
      : FTags(Tags), FLeftOut(LeftOut) {
    for (std::size_t i = 0; i < Tags.Pictures.size(); ++i) FPieces.push_back({true, {}, i, 0});
    for (const auto& [key, values] : Tags.Text)
      for (std::size_t i = 0; i < values.size(); ++i) FPieces.push_back({false, key, i, 0});
  }

  const TCarriedPicture& PictureOf(const TPiece& p) const { return FTags.Pictures[p.Index]; }
  const std::string& ValueOf(const TPiece& p) const { return FTags.Text.at(p.Key)[p.Index]; }

  // Sizes every piece as the container stores it.
  template <class TSize>
  void Measure(TSize Size) {
    for (TPiece& p : FPieces) p.Size = Size(p);
  }

  // Leaves out each piece that alone is over Limit.
  void EachAtMost(std::uint64_t Limit, const std::string& Why, bool Pictures = true,
                  bool Text = true) {
    std::erase_if(FPieces, [&](const TPiece& p) {
      if (p.Size <= Limit || (p.Picture ? !Pictures : !Text)) return false;
      Drop(p, Why);
      return true;
    });
  }

  // Leaves out each piece Unfit finds the container cannot store.
  template <class TUnfit>
  void EachUnless(TUnfit Unfit, const std::string& Why) {
    std::erase_if(FPieces, [&](const TPiece& p) {
      if (!Unfit(p)) return false;
      Drop(p, Why);
      return true;
    });
  }

  // Leaves out the largest pieces, pictures first, until those Counted sum to at most Limit
  // (Fixed being what the container needs besides).
  template <class TCounted>
  void TogetherAtMost(std::uint64_t Limit, std::uint64_t Fixed, TCounted Counted,
                      const std::string& Why) {
    std::uint64_t total = Fixed;
    for (const TPiece& p : FPieces)
      if (Counted(p)) total += p.Size;
    while (total > Limit) {
      auto largest = FPieces.end();
      for (auto it = FPieces.begin(); it != FPieces.end(); ++it)
        if (Counted(*it) && (largest == FPieces.end() || it->Picture > largest->Picture ||
                             (it->Picture == largest->Picture && it->Size > largest->Size)))
          largest = it;
      if (largest == FPieces.end()) return;
      total -= largest->Size;
      Drop(*largest, Why);
      FPieces.erase(largest);
    }
  }

  // What is kept, in its first order: the pictures as listed, the values within each field.
  TCarriedTags Result() const {
    std::vector<std::size_t> pictures;
    std::map<std::string, std::vector<std::size_t>> values;
    for (const TPiece& p : FPieces) (p.Picture ? pictures : values[p.Key]).push_back(p.Index);
    TCarriedTags fitted;
    std::sort(pictures.begin(), pictures.end());
    for (std::size_t i : pictures) fitted.Pictures.push_back(FTags.Pictures[i]);
    for (auto& [key, kept] : values) {
      std::sort(kept.begin(), kept.end());
      for (std::size_t i : kept) fitted.Text[key].push_back(FTags.Text.at(key)[i]);
    }
    return fitted;
  }

 private:
  void Drop(const TPiece& p, const std::string& Why) {
    FLeftOut.push_back(
        (p.Picture ? PictureName(PictureOf(p)) : p.Key + " (" + SizeText(ValueOf(p).size()) + ")") +
        " left out: " + Why);
  }

  const TCarriedTags& FTags;
  std::vector<std::string>& FLeftOut;
  std::vector<TPiece> FPieces;
};

// A FLAC picture block's body: type, MIME type, description, four numbers, the data.
std::uint64_t PictureBlockSize(const TCarriedPicture& p) {
  return 32 + p.Mime.size() + p.Description.size() + p.Data.size();
}

// "trkn" and "disk" hold 16-bit numbers, 0 standing for none.
bool Mp4Number(const std::string& Text) {
  const size_t start = Text.find_first_not_of('0');
  if (start == std::string::npos || Text.size() - start > 5 ||
      !std::all_of(Text.begin(), Text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return false;
  return std::stoul(Text.substr(start)) <= 0xFFFF;
}

bool StartsWith(const std::string& Data, std::string_view Magic) {
  return Data.compare(0, Magic.size(), Magic) == 0;
}

// ReplayGain 2.0 measures against -18 LUFS, the R128 gains of an Opus file against -23 LUFS.
constexpr double kR128BelowReplayGainDb = 5.0;

struct TGainFields {
  const char* ReplayGain;
  const char* R128;
};
constexpr TGainFields kGainFields[] = {{"REPLAYGAIN_TRACK_GAIN", "R128_TRACK_GAIN"},
                                       {"REPLAYGAIN_ALBUM_GAIN", "R128_ALBUM_GAIN"}};

std::string_view Trimmed(std::string_view Text) {
  const size_t start = Text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  return Text.substr(start, Text.find_last_not_of(" \t") - start + 1);
}

// "-7.52 dB", "+1.5dB", "3": taggers write the unit or not. from_chars reads the point the
// same in every locale; the window's locale may use a comma.
std::optional<double> ReplayGainDb(std::string_view Text) {
  Text = Trimmed(Text);
  if (Text.size() >= 2 && LowerAscii(std::string(Text.substr(Text.size() - 2))) == "db")
    Text = Trimmed(Text.substr(0, Text.size() - 2));
  if (Text.starts_with('+') && !Text.starts_with("+-")) Text.remove_prefix(1);
  double db = 0;
  const auto [end, error] =
      std::from_chars(Text.data(), Text.data() + Text.size(), db, std::chars_format::fixed);
  if (error != std::errc() || end != Text.data() + Text.size() || !std::isfinite(db))
    return std::nullopt;
  return db;
}

// A Q7.8 number: a whole number of 1/256 dB that fits in 16 bits.
std::optional<int> R128Gain(std::string_view Text) {
  Text = Trimmed(Text);
  if (Text.starts_with('+') && !Text.starts_with("+-")) Text.remove_prefix(1);
  int gain = 0;
  const auto [end, error] = std::from_chars(Text.data(), Text.data() + Text.size(), gain);
  if (error != std::errc() || end != Text.data() + Text.size() ||
      gain < std::numeric_limits<std::int16_t>::min() ||
      gain > std::numeric_limits<std::int16_t>::max())
    return std::nullopt;
  return gain;
}

std::string R128FromReplayGain(double Db) {
  const double q78 = std::clamp(std::round((Db - kR128BelowReplayGainDb) * 256),
                                double{std::numeric_limits<std::int16_t>::min()},
                                double{std::numeric_limits<std::int16_t>::max()});
  return std::to_string(static_cast<int>(q78));
}

std::string Fixed(double Value, int Decimals) {
  // Rounded first, so that a value just below zero shows as "0.00", not "-0.00".
  const double scale = std::pow(10.0, Decimals);
  Value = std::round(Value * scale) / scale;
  if (Value == 0) Value = 0;
  char text[48];
  const auto end =
      std::to_chars(text, text + sizeof text, Value, std::chars_format::fixed, Decimals).ptr;
  return std::string(text, end);
}

std::string ReplayGainFromR128(int Q78) {
  return Fixed(Q78 / 256.0 + kR128BelowReplayGainDb, 2) + " dB";
}

// Players of an Opus file read its R128 gains (and the header's output gain, written as 0
// here) and never ReplayGain comments, which the Opus format forbids; players of every
// other format read ReplayGain. Each output gets its own kind, made from the other kind
// where the source lacks it; a gain already of the output's kind wins. The peaks have no
// Opus counterpart and say nothing true of the re-encoded audio, so an Opus output drops
// them without a word: a warning on every file would tell the user nothing to act on.
TCarriedTags WithGainsOfFormat(const TCarriedTags& Tags, const std::string& Format,
                               std::vector<std::string>& LeftOut) {
  const bool opus = Format == ".opus";
  TCarriedTags tags = Tags;
  if (opus) {
    tags.Text.erase("REPLAYGAIN_TRACK_PEAK");
    tags.Text.erase("REPLAYGAIN_ALBUM_PEAK");
  }
  const auto leaveOut = [&](const std::string& Key, const std::string& Why) {
    LeftOut.push_back(Key + " (" + SizeText(tags.First(Key).size()) + ") left out: " + Why);
  };
  const std::string range = "a whole number of 1/256 dB from -32768 to 32767";
  for (const auto& [replayGain, r128] : kGainFields) {
    const std::string own = opus ? r128 : replayGain, other = opus ? replayGain : r128;
    // The first value is the one players go by.
    if (opus && tags.Text.count(own) && !R128Gain(tags.First(own))) {
      leaveOut(own, "not " + range);
      tags.Text.erase(own);
    }
    if (!tags.Text.count(own) && tags.Text.count(other)) {
      if (opus) {
        if (const auto db = ReplayGainDb(tags.First(other)))
          tags.Text[own] = {R128FromReplayGain(*db)};
        else
          leaveOut(other, "not a gain in dB, which Opus would hold as " + own);
      } else {
        if (const auto q78 = R128Gain(tags.First(other)))
          tags.Text[own] = {ReplayGainFromR128(*q78)};
        else
          leaveOut(other, "not " + range + ", which would give " + own);
      }
    }
    tags.Text.erase(other);
  }
  return tags;
}

}  // namespace

std::string M4ACoverMime(const TCarriedPicture& Picture) {
  const std::string mime = LowerAscii(Picture.Mime);
  if (mime == "image/jpeg" || mime == "image/jpg" || mime == "image/pjpeg") return "image/jpeg";
  if (mime == "image/png") return "image/png";
  if (mime == "image/bmp" || mime == "image/x-bmp" || mime == "image/x-ms-bmp") return "image/bmp";
  if (mime == "image/gif") return "image/gif";
  const std::string& data = Picture.Data;
  if (StartsWith(data, "\xFF\xD8\xFF")) return "image/jpeg";
  if (StartsWith(data, "\x89PNG")) return "image/png";
  if (StartsWith(data, "BM")) return "image/bmp";
  if (StartsWith(data, "GIF8")) return "image/gif";
  return "";
}

std::string TCarriedTags::First(const std::string& Key) const {
  auto it = Text.find(Key);
  return it == Text.end() || it->second.empty() ? std::string() : it->second.front();
}

void EraseGainTags(TCarriedTags& Tags) {
  for (const auto& [replayGain, r128] : kGainFields) {
    Tags.Text.erase(replayGain);
    Tags.Text.erase(r128);
  }
  Tags.Text.erase("REPLAYGAIN_TRACK_PEAK");
  Tags.Text.erase("REPLAYGAIN_ALBUM_PEAK");
}

void ShiftGainTags(TCarriedTags& Tags, double Db) {
  if (Db == 0) return;
  for (const auto& [replayGain, r128] : kGainFields) {
    if (const auto it = Tags.Text.find(replayGain); it != Tags.Text.end()) {
      if (const auto db = ReplayGainDb(Tags.First(replayGain)))
        it->second = {Fixed(*db - Db, 2) + " dB"};
      else
        Tags.Text.erase(it);
    }
    if (const auto it = Tags.Text.find(r128); it != Tags.Text.end()) {
      if (const auto q78 = R128Gain(Tags.First(r128)))
        it->second = {R128FromReplayGain(*q78 / 256.0 + kR128BelowReplayGainDb - Db)};
      else
        Tags.Text.erase(it);
    }
  }
  for (const char* peak : {"REPLAYGAIN_TRACK_PEAK", "REPLAYGAIN_ALBUM_PEAK"}) {
    const auto it = Tags.Text.find(peak);
    if (it == Tags.Text.end()) continue;
    double value = 0;
    const std::string text(Trimmed(Tags.First(peak)));
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error == std::errc() && end == text.data() + text.size() && std::isfinite(value))
      it->second = {Fixed(value * std::pow(10.0, Db / 20), 6)};
    else
      Tags.Text.erase(it);
  }
}

void AddReplayGainTags(TCarriedTags& Tags, bool Album, double Integrated, double TruePeak) {
  // Nothing to bring to the reference in silence.
  if (!std::isfinite(Integrated)) return;
  const std::string kind = Album ? "ALBUM" : "TRACK";
  Tags.Text["REPLAYGAIN_" + kind + "_GAIN"] = {Fixed(kReplayGainReferenceLufs - Integrated, 2) +
                                               " dB"};
  Tags.Text["REPLAYGAIN_" + kind + "_PEAK"] = {Fixed(TruePeak, 6)};
}

TCarriedTags FitCarriedTags(const TCarriedTags& Tags, const std::string& Format,
                            std::vector<std::string>& LeftOut, std::uint64_t OutputSize) {
  const TCarriedTags withGains = WithGainsOfFormat(Tags, Format, LeftOut);
  TFitter fit(withGains, LeftOut);
  const auto all = [](const TPiece&) { return true; };
  const auto text = [](const TPiece& p) { return !p.Picture; };
  if (Format == ".flac") {
    // Each picture is a block of its own; the comments share one.
    fit.Measure([&](const TPiece& p) {
      return p.Picture ? PictureBlockSize(fit.PictureOf(p))
                       : 4 + p.Key.size() + 1 + fit.ValueOf(p).size();
    });
    const std::string why = "FLAC holds at most 16 MiB in a metadata block";
    fit.EachAtMost(kFlacBlockMax, why, true, false);
    fit.TogetherAtMost(kFlacBlockMax, 8 + kVendorRoom, text, why);
  } else if (Format == ".ogg" || Format == ".opus") {
    // One comment packet holds everything, pictures base64-encoded (a third larger).
    fit.Measure([&](const TPiece& p) {
      return p.Picture ? 4 + std::uint64_t{23} + (PictureBlockSize(fit.PictureOf(p)) + 2) / 3 * 4
                       : 4 + p.Key.size() + 1 + fit.ValueOf(p).size();
    });
    fit.TogetherAtMost(kOggCommentMax, 16 + kVendorRoom, all,
                       (Format == ".ogg" ? "Ogg Vorbis" : "Opus") +
                           std::string(" holds at most 2 GiB of comments"));
  } else if (Format == ".mp3" || Format == ".wav") {
    // ID3v2.4 frames in UTF-8: an encoding byte, the values with their terminators, and for
    // the named frames (TXXX, COMM, USLT) a name of a few dozen bytes.
    fit.Measure([&](const TPiece& p) {
      if (!p.Picture) return 10 + 64 + fit.ValueOf(p).size() + 1;
      const TCarriedPicture& picture = fit.PictureOf(p);
      return 10 + 4 + picture.Mime.size() + picture.Description.size() + picture.Data.size();
    });
    // The whole tag is bounded like each frame, so bounding the tag is enough.
    fit.TogetherAtMost(kId3v2Max, kId3v2Padding, all, "an ID3v2 tag holds at most 256 MiB");
    if (Format == ".wav" && OutputSize >= 8) {
      // The chunks go after the audio, and the RIFF size counts them all in 32 bits: the LIST
      // INFO chunk (a copy of seven first values) and the "id3 " chunk's header come first.
      std::uint64_t fixed = OutputSize - 8 + 12 + 9 + kId3v2Padding + 10;
      for (const char* key :
           {"TITLE", "ARTIST", "ALBUM", "COMMENT", "GENRE", "DATE", "TRACKNUMBER"})
        fixed += 10 + Tags.First(key).size();
      fit.TogetherAtMost(kRiffMax, fixed, all, "a WAV file holds at most 4 GiB");
    }
  } else if (Format == ".wma") {
    // Several values of the title, artist or comment are joined by "; " into one string with
    // a terminator: each value counts with a separator, and the one separator too many makes
    // up for the terminator, within 2 bytes.
    fit.Measure([&](const TPiece& p) {
      if (p.Picture) {
        const TCarriedPicture& picture = fit.PictureOf(p);
        return 5 + 2 * (Utf16Units(picture.Mime) + Utf16Units(picture.Description) + 2) +
               picture.Data.size();
      }
      return 2 * (Utf16Units(fit.ValueOf(p)) + 2);
    });
    for (const char* key : {"TITLE", "ARTIST", "COMMENT"})
      fit.TogetherAtMost(
          kAsfStringMax + 2, 0, [&](const TPiece& p) { return !p.Picture && p.Key == key; },
          "WMA holds at most 64 KiB for the title, the artist and the comment");
    fit.EachAtMost(kAsfValueMax, "WMA holds at most 4 GiB in an attribute");
  } else if (Format == ".m4a") {
    fit.EachUnless(
        [&](const TPiece& p) { return p.Picture && M4ACoverMime(fit.PictureOf(p)).empty(); },
        "M4A holds JPEG, PNG, BMP and GIF pictures only");
    fit.EachUnless(
        [&](const TPiece& p) {
          return !p.Picture &&
                 (p.Key == "TRACKNUMBER" || p.Key == "TRACKTOTAL" || p.Key == "DISCNUMBER" ||
                  p.Key == "DISCTOTAL") &&
                 (p.Index > 0 || !Mp4Number(fit.ValueOf(p)));
        },
        "M4A holds one number from 1 to 65535 for each of the track, the disc and their totals");
    // Everything goes into the movie atom with the track tables already there.
    fit.Measure([&](const TPiece& p) {
      return p.Picture ? 16 + fit.PictureOf(p).Data.size()
                       : kMp4ItemRoom + p.Key.size() + fit.ValueOf(p).size();
    });
    fit.TogetherAtMost(kMp4AtomMax, OutputSize + kMp4TagRoom, all,
                       "an M4A file holds at most 4 GiB in its movie atom");
  }
  return fit.Result();
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
      "R128_TRACK_GAIN",
      "R128_ALBUM_GAIN",
  };
  return kKeys;
}

}  // namespace tunevert
