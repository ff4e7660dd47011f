#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tags/TagLibMeta.h"

namespace tunevert {

// One FILE line: the audio file as the sheet names it, and its type word upper-cased
// ("WAVE", "FLAC", "" when the line gives none).
struct TCueFile {
  std::string Name;
  std::string Type;
  int Line = 0;
};

// Positions are CD frames (1/75 s) from the start of the file that holds them; -1 when the
// sheet does not give one.
struct TCueTrack {
  int Number = 0;
  // The FILE that holds INDEX 01, an index into TCueSheet::Files.
  size_t FileIndex = 0;
  std::string Title, Performer, Songwriter, Isrc;
  // The FLAGS words the sheet gives, upper-cased ("DCP", "4CH", "PRE", "SCMS").
  std::vector<std::string> Flags;
  std::string ReplayGainTrackGain, ReplayGainTrackPeak;
  int64_t Index00 = -1;
  size_t Index00FileIndex = 0;  // INDEX 00 may lie in the FILE before INDEX 01's
  int64_t Index01 = -1;
  int64_t Pregap = -1, Postgap = -1;
  // Where the track and its INDEX 01 are written, for messages.
  int Line = 0, Index01Line = 0;
};

struct TCueSheet {
  // The name messages give the sheet ("album.cue").
  std::string Name;
  std::string Title, Performer, Songwriter, Catalog;
  // REM lines before the first TRACK.
  std::string Date, Genre, Comment, DiscId, DiscNumber, TotalDiscs;
  std::string ReplayGainAlbumGain, ReplayGainAlbumPeak;
  std::vector<TCueFile> Files;
  std::vector<TCueTrack> Tracks;  // in the sheet's order, numbers increasing
};

// Reads a cue sheet from its bytes: UTF-8 (with or without a byte order mark) as it is, any
// other character set as the detector recognises it; LF, CRLF or CR line ends; keywords in
// any case; values quoted or not. SheetName is what messages call it.
// Raises EAuException with a message naming the sheet and the line ("Cue sheet album.cue,
// line 14: ...") for a TRACK before any FILE, an index time that is malformed or out of
// range, a track whose INDEX 01 does not come after the previous track's in the same file,
// a track without INDEX 01, a track number repeated or lower than the one before; and for a
// sheet without tracks, or text in no recognisable character set.
TCueSheet ReadCueSheet(const std::string& Bytes, const std::string& SheetName);

// A position as a sheet writes it: "04:00:17" (minutes, seconds, frames).
std::string CueTimeText(int64_t Frames);

// One stretch of one file: FileIndex into TCueSheet::Files, samples from FirstSample on.
struct TCuePiece {
  size_t FileIndex = 0;
  int64_t FirstSample = 0;
  int64_t SampleCount = 0;
  bool operator==(const TCuePiece&) const = default;
};

// CueTrackSpans's Track for audio before track 1 kept as a track of its own.
constexpr size_t kCueHiddenTrack = static_cast<size_t>(-1);

// One output track: the sheet's track (an index into Tracks, or kCueHiddenTrack, numbered
// 0) and the audio it takes, in one piece or, when it runs on into the next file, several.
struct TCueTrackSpan {
  size_t Track = 0;
  int Number = 0;
  std::vector<TCuePiece> Pieces;
  int64_t SampleCount() const;
};

// The output tracks of a sheet whose files hold FileFrames[i] sample frames at SampleRate,
// gaps appended: a track runs from its INDEX 01 to the next track's INDEX 01, so a pregap
// (INDEX 00) belongs to the track before it. The files are taken as one image in the
// sheet's order: a track whose successor starts in a later file runs to the end of its own
// file and on through the next file's audio up to that INDEX 01; the last track runs to the
// end of the last file. Audio before track 1's INDEX 01 (a hidden first track) becomes a
// track 0 when it lasts more than 2 seconds; shorter, it is prepended to track 1, so no
// audio is ever dropped: the spans joined are exactly the files joined.
// Raises EAuException for a rate that is not a multiple of 75 (1/75 s would fall between
// samples), a FileFrames of another length than Files, a track starting past the end of
// its file (naming its INDEX 01 line) or one left without audio.
std::vector<TCueTrackSpan> CueTrackSpans(const TCueSheet& Sheet,
                                         const std::vector<int64_t>& FileFrames,
                                         uint32_t SampleRate);

// The tags of track Track (an index into Tracks, or kCueHiddenTrack): TITLE, ARTIST (the
// track's performer, else the disc's), ALBUMARTIST, ALBUM, COMPOSER (songwriter, the
// track's else the disc's), DATE, GENRE, COMMENT, TRACKNUMBER, TRACKTOTAL (the highest track
// number), DISCNUMBER, DISCTOTAL and the ReplayGain fields the sheet gives. Empty values are
// left out; ISRC and CATALOG are not carried.
TCarriedTags CueTrackTags(const TCueSheet& Sheet, size_t Track);

// The tags of a track cut from an image tagged Image: Cue's fields win, the image's other
// fields and its pictures are kept, except those that describe one track and so cannot be
// true of a part of the image (title, track number, track gain, lyrics, track identifiers).
TCarriedTags MergeCueTags(const TCarriedTags& Image, const TCarriedTags& Cue);

}  // namespace tunevert
