// A cue sheet's tracks as stretches of its audio files, and as tags.
#include <algorithm>

#include "cue/CueSheet.h"
#include "platform/Exception.h"

namespace tunevert {

namespace {

// A file's length as the sheet writes times, in whole frames.
std::string LengthText(int64_t Samples, int64_t SamplesPerFrame) {
  return CueTimeText(Samples / SamplesPerFrame);
}

}  // namespace

int64_t TCueTrackSpan::SampleCount() const {
  int64_t count = 0;
  for (const TCuePiece& piece : Pieces) count += piece.SampleCount;
  return count;
}

std::vector<TCueTrackSpan> CueTrackSpans(const TCueSheet& Sheet,
                                         const std::vector<int64_t>& FileFrames,
                                         uint32_t SampleRate) {
  const std::string sheet = "Cue sheet " + Sheet.Name;
  if (SampleRate == 0 || SampleRate % 75 != 0)
    throw EAuException(sheet + ": its times, in 1/75 s, fall between samples at " +
                       std::to_string(SampleRate) + " Hz.");
  if (FileFrames.size() != Sheet.Files.size())
    throw EAuException(sheet + " names " + std::to_string(Sheet.Files.size()) + " files, not " +
                       std::to_string(FileFrames.size()) + ".");
  const int64_t samplesPerFrame = SampleRate / 75;

  // The files as one image: where each begins in it.
  std::vector<int64_t> fileStart(FileFrames.size() + 1, 0);
  for (size_t i = 0; i < FileFrames.size(); ++i) {
    if (FileFrames[i] < 0) throw EAuException(sheet + ": a file of negative length.");
    fileStart[i + 1] = fileStart[i] + FileFrames[i];
  }
  const int64_t imageEnd = fileStart.back();

  struct TStart {
    size_t Track;
    int Number;
    int64_t At;  // in the image
  };
  std::vector<TStart> starts;
  for (size_t i = 0; i < Sheet.Tracks.size(); ++i) {
    const TCueTrack& track = Sheet.Tracks[i];
    const TCueFile& file = Sheet.Files.at(track.FileIndex);
    const int64_t length = FileFrames[track.FileIndex];
    const int64_t first = track.Index01 * samplesPerFrame;
    const std::string where = sheet + ", line " + std::to_string(track.Index01Line) + ": track " +
                              std::to_string(track.Number) + " starts at " +
                              CueTimeText(track.Index01);
    if (first > length)
      throw EAuException(where + ", past the end of \"" + file.Name + "\" (" +
                         LengthText(length, samplesPerFrame) + ").");
    starts.push_back({i, track.Number, fileStart[track.FileIndex] + first});
  }
  if (starts.empty()) throw EAuException(sheet + " holds no TRACK.");

  // Audio before track 1 is a track of its own when it is long enough to be one.
  if (starts.front().At > 2 * static_cast<int64_t>(SampleRate))
    starts.insert(starts.begin(), {kCueHiddenTrack, 0, 0});
  else
    starts.front().At = 0;

  std::vector<TCueTrackSpan> spans;
  for (size_t i = 0; i < starts.size(); ++i) {
    const int64_t from = starts[i].At;
    const int64_t to = i + 1 < starts.size() ? starts[i + 1].At : imageEnd;
    if (to <= from) {
      const TCueTrack& track = Sheet.Tracks[starts[i].Track];
      throw EAuException(sheet + ", line " + std::to_string(track.Index01Line) + ": track " +
                         std::to_string(track.Number) + " starts at " + CueTimeText(track.Index01) +
                         ", the end of \"" + Sheet.Files[track.FileIndex].Name +
                         "\"; it holds no audio.");
    }
    TCueTrackSpan span{starts[i].Track, starts[i].Number, {}};
    for (size_t file = 0; file < FileFrames.size(); ++file) {
      const int64_t pieceFrom = std::max(from, fileStart[file]);
      const int64_t pieceTo = std::min(to, fileStart[file + 1]);
      if (pieceTo > pieceFrom)
        span.Pieces.push_back({file, pieceFrom - fileStart[file], pieceTo - pieceFrom});
    }
    spans.push_back(std::move(span));
  }
  return spans;
}

TCarriedTags CueTrackTags(const TCueSheet& Sheet, size_t Track) {
  TCarriedTags tags;
  const auto set = [&](const char* Key, const std::string& Value) {
    if (!Value.empty()) tags.Text[Key] = {Value};
  };
  int highest = 0;
  for (const TCueTrack& track : Sheet.Tracks) highest = std::max(highest, track.Number);
  const TCueTrack* track = Track == kCueHiddenTrack ? nullptr : &Sheet.Tracks.at(Track);

  set("ALBUM", Sheet.Title);
  set("ALBUMARTIST", Sheet.Performer);
  set("ARTIST", track && !track->Performer.empty() ? track->Performer : Sheet.Performer);
  set("COMPOSER", track && !track->Songwriter.empty() ? track->Songwriter : Sheet.Songwriter);
  set("DATE", Sheet.Date);
  set("GENRE", Sheet.Genre);
  set("COMMENT", Sheet.Comment);
  set("DISCNUMBER", Sheet.DiscNumber);
  set("DISCTOTAL", Sheet.TotalDiscs);
  set("TRACKNUMBER", std::to_string(track ? track->Number : 0));
  set("TRACKTOTAL", std::to_string(highest));
  set("REPLAYGAIN_ALBUM_GAIN", Sheet.ReplayGainAlbumGain);
  set("REPLAYGAIN_ALBUM_PEAK", Sheet.ReplayGainAlbumPeak);
  if (track) {
    set("TITLE", track->Title);
    set("REPLAYGAIN_TRACK_GAIN", track->ReplayGainTrackGain);
    set("REPLAYGAIN_TRACK_PEAK", track->ReplayGainTrackPeak);
  }
  return tags;
}

TCarriedTags MergeCueTags(const TCarriedTags& Image, const TCarriedTags& Cue) {
  // What the image says of itself as one track is not true of any part of it.
  static const char* const kWholeImageOnly[] = {"TITLE",
                                                "TRACKNUMBER",
                                                "TRACKTOTAL",
                                                "LYRICS",
                                                "R128_TRACK_GAIN",
                                                "REPLAYGAIN_TRACK_GAIN",
                                                "REPLAYGAIN_TRACK_PEAK",
                                                "MUSICBRAINZ_TRACKID",
                                                "MUSICBRAINZ_RELEASETRACKID",
                                                "MUSICBRAINZ_WORKID"};
  TCarriedTags merged = Image;
  for (const char* key : kWholeImageOnly) merged.Text.erase(key);
  for (const auto& [key, values] : Cue.Text) merged.Text[key] = values;
  return merged;
}

}  // namespace tunevert
