#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tunevert {

// One embedded picture, kept byte for byte. Type is the ID3v2/FLAC picture type (3 = front
// cover), which the ASF picture attribute shares.
struct TCarriedPicture {
  int Type = 3;
  std::string Mime, Description;
  std::string Data;
  bool operator==(const TCarriedPicture&) const = default;
};

// The metadata a conversion carries from its source to its output, free of any tag library.
// Text is UTF-8, keyed by the upper-case names below; a field may hold several values.
// Track and disc numbers are split from their totals ("3/12" becomes TRACKNUMBER 3,
// TRACKTOTAL 12) so every format can put them back its own way.
struct TCarriedTags {
  std::map<std::string, std::vector<std::string>> Text;
  std::vector<TCarriedPicture> Pictures;

  bool Empty() const { return Text.empty() && Pictures.empty(); }
  bool operator==(const TCarriedTags&) const = default;
  // The first value of a field, or "".
  std::string First(const std::string& Key) const;
};

// The field names carried; anything else a source holds is left behind.
const std::vector<std::string>& CarriedKeys();

// Reads the tags of a FLAC, Ogg Vorbis, Opus, MP3, WMA, WAV, MP4/M4A, AIFF, WavPack or APE
// file, chosen by its extension. The engine's version loads the tag library's module first,
// unless the file's structure shows it holds no tags.
// Raises EAuException when the file cannot be opened by the tag library, or the module
// cannot be loaded.
TCarriedTags ReadCarriedTags(const std::string& FileName);

// The tags of an output this program wrote, read as a file of Format (".flac") whatever its
// name, and without the shortcut for files that show no tags. An M4A file's gapless record
// (----:com.apple.iTunes:iTunSMPB) comes as ITUNSMPB, which no source carries.
TCarriedTags ReadWrittenTags(const std::string& FileName, const std::string& Format);

// Tags without what an output of Format cannot hold: a FLAC metadata block over 16 MiB - 4,
// an ID3v2 tag over 256 MiB - 1 (MP3, WAV), a Vorbis comment packet over 2 GiB - 1 (Ogg
// Vorbis, Opus), an ASF title, artist or comment over 64 KiB - 1 (WMA), a WAV file over
// 4 GiB (OutputSize: the untagged output's size, 0 if unknown), an M4A movie atom over 4 GiB
// (OutputSize: its size untagged), an M4A track or disc number other than one from 1 to
// 65535, or an M4A picture of no kind "covr" knows (M4ACoverMime). Each piece left out,
// pictures and the largest first, adds a sentence to LeftOut ("picture (front cover,
// 17.0 MiB) left out: FLAC holds at most 16 MiB in a metadata block").
// Gains come as the output's players read them: an Opus output holds R128_TRACK_GAIN and
// R128_ALBUM_GAIN (made from the ReplayGain gains when missing, 5 dB lower, in 1/256 dB) and
// no REPLAYGAIN_* field; any other holds the ReplayGain gains, made from the R128 ones when
// missing, and no R128_* field. A gain that is no number is left out and said.
TCarriedTags FitCarriedTags(const TCarriedTags& Tags, const std::string& Format,
                            std::vector<std::string>& LeftOut, std::uint64_t OutputSize = 0);

// ReplayGain 2.0's reference loudness, LUFS.
constexpr double kReplayGainReferenceLufs = -18;
// Tags without any gain or peak field (ReplayGain or R128).
void EraseGainTags(TCarriedTags& Tags);
// The gains and peaks of audio made Db louder: gains Db lower, peaks higher. A field that is
// no number is dropped.
void ShiftGainTags(TCarriedTags& Tags, double Db);
// The ReplayGain 2.0 fields of a track or an album measured at Integrated LUFS with a true
// peak of TruePeak (linear): "-7.52 dB", "0.988553". None for silence.
void AddReplayGainTags(TCarriedTags& Tags, bool Album, double Integrated, double TruePeak);

// The MIME type an M4A cover made of Picture reads back with ("image/jpeg", "image/png",
// "image/bmp" or "image/gif"): the kind its MIME type names, else the kind its first bytes
// show; "" when it is none of them. "covr" keeps no picture type or description.
std::string M4ACoverMime(const TCarriedPicture& Picture);

// Replaces the tags of a finished output (Format ".mp3", ".wma", ".wav", ".flac", ".ogg",
// ".opus" or ".m4a") with Tags; empty Tags leave the file without tags. What the format
// cannot hold is left out (FitCarriedTags), and what was is returned, one sentence each;
// Written, when given, receives what was kept. Raises EAuException when the file cannot be
// opened or saved. An M4A output keeps its encoder's name; Tags may add the gapless record
// for it as ITUNSMPB.
std::vector<std::string> WriteCarriedTags(const std::string& FileName, const TCarriedTags& Tags,
                                          const std::string& Format,
                                          TCarriedTags* Written = nullptr);

}  // namespace tunevert
