// Feeds arbitrary cue sheets to ReadCueSheet and cuts those it accepts into tracks with
// CueTrackSpans. Aborts when libcue reads a sheet our scanner accepted otherwise than the
// scanner did, when an accepted sheet breaks the order the reader promises, or when the
// spans are not the files joined, in order, whole.
//   input: one byte picking the rate and the files' lengths, then the sheet
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cue/CueSheet.h"
#include "platform/Exception.h"

using namespace tunevert;

namespace {

constexpr uint32_t kRates[] = {44100, 48000, 96000, 88200, 32000, 11025, 192000, 0};

void CheckSheet(const TCueSheet& Sheet) {
  if (Sheet.Tracks.empty()) __builtin_trap();
  int previous = 0;
  for (size_t i = 0; i < Sheet.Tracks.size(); ++i) {
    const TCueTrack& track = Sheet.Tracks[i];
    if (track.Number <= previous || track.Number > 99 || track.Index01 < 0) __builtin_trap();
    if (track.FileIndex >= Sheet.Files.size() || track.Index00FileIndex > track.FileIndex)
      __builtin_trap();
    if (i > 0 && Sheet.Tracks[i - 1].FileIndex == track.FileIndex &&
        Sheet.Tracks[i - 1].Index01 >= track.Index01)
      __builtin_trap();
    if (i > 0 && Sheet.Tracks[i - 1].FileIndex > track.FileIndex) __builtin_trap();
    previous = track.Number;
  }
}

void CheckSpans(const TCueSheet& Sheet, const std::vector<TCueTrackSpan>& Spans,
                const std::vector<int64_t>& Frames) {
  size_t file = 0, track = 0;
  int64_t at = 0;
  for (const TCueTrackSpan& span : Spans) {
    if (span.Track == kCueHiddenTrack) {
      if (&span != &Spans.front() || span.Number != 0) __builtin_trap();
    } else if (span.Track != track++ || span.Number != Sheet.Tracks[span.Track].Number) {
      __builtin_trap();
    }
    if (span.Pieces.empty()) __builtin_trap();
    for (const TCuePiece& piece : span.Pieces) {
      while (file < Frames.size() && at == Frames[file]) ++file, at = 0;
      if (file >= Frames.size() || piece.FileIndex != file || piece.FirstSample != at ||
          piece.SampleCount <= 0 || piece.SampleCount > Frames[file] - at)
        __builtin_trap();
      at += piece.SampleCount;
    }
  }
  while (file < Frames.size() && at == Frames[file]) ++file, at = 0;
  if (file != Frames.size() || track != Sheet.Tracks.size()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size == 0) return 0;
  const uint8_t pick = Data[0];
  const std::string bytes(reinterpret_cast<const char*>(Data + 1), Size - 1);
  TCueSheet sheet;
  try {
    sheet = ReadCueSheet(bytes, "fuzz.cue");
  } catch (const EAuException& e) {
    if (std::string(e.what()).starts_with("Cue sheet fuzz.cue could not be read")) __builtin_trap();
    return 0;
  }
  CheckSheet(sheet);

  // Each file a little longer than its last start, or (high bit) a little shorter.
  const uint32_t rate = kRates[pick & 7];
  const int64_t perFrame = rate / 75;
  std::vector<int64_t> frames(sheet.Files.size(), ((pick >> 3) & 7) * 1000);
  for (const TCueTrack& track : sheet.Tracks) {
    const int64_t start = track.Index01 * perFrame + ((pick >> 3) & 7) * 3;
    frames[track.FileIndex] = (pick & 0x80) ? start - 1 : start + 1;
  }
  for (int64_t& length : frames)
    if (length < 0) length = 0;
  try {
    CheckSpans(sheet, CueTrackSpans(sheet, frames, rate), frames);
  } catch (const EAuException&) {
  }
  return 0;
}
