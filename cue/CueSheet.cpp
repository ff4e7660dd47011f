// Reading a cue sheet: our own line scanner validates it and names the line of any fault,
// then hands libcue a normalised copy to parse. libcue prints syntax errors on stderr and
// keeps going, knows upper-case keywords only, has no escapes in its quoted strings and a
// 1 KiB string buffer, and loses track of the file after one named between INDEX 00 and
// INDEX 01; so it only ever sees text it accepts: upper-case keywords, quoted values, one
// FILE before each track that starts in another file, named by its index. Values it could
// not hold exactly, and what it does not keep (REM COMMENT, gains, CATALOG, FILE types,
// PREGAP), come from the scanner.
#include "cue/CueSheet.h"

#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string_view>

#include "cue/CueLibrary.h"
#include "cue/CueText.h"
#include "platform/Exception.h"

namespace tunevert {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view Text) {
  while (!Text.empty() && IsBlank(Text.front())) Text.remove_prefix(1);
  while (!Text.empty() && IsBlank(Text.back())) Text.remove_suffix(1);
  return Text;
}

std::string Upper(std::string_view Text) {
  std::string upper(Text);
  for (char& c : upper)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return upper;
}

// The first blank-separated word of Text, removed from it.
std::string_view TakeWord(std::string_view& Text) {
  Text = Trim(Text);
  size_t end = 0;
  while (end < Text.size() && !IsBlank(Text[end])) ++end;
  const std::string_view word = Text.substr(0, end);
  Text = Trim(Text.substr(end));
  return word;
}

// A value as written, without the double quotes around it; an opening quote left unclosed
// is dropped.
std::string Unquote(std::string_view Value) {
  Value = Trim(Value);
  if (Value.starts_with('"')) {
    Value.remove_prefix(1);
    if (Value.ends_with('"')) Value.remove_suffix(1);
  }
  return std::string(Value);
}

std::optional<int64_t> Digits(std::string_view Text, size_t MaxDigits) {
  if (Text.empty() || Text.size() > MaxDigits) return std::nullopt;
  int64_t value = 0;
  for (const char c : Text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

// libcue's buffer for a value is 1 KiB; its quoted strings cannot hold a quote, and a
// backslash before the closing quote would let the string run on into the next lines.
constexpr size_t kLibcueValueMax = 1000;

bool LibcueCanQuote(std::string_view Value) {
  if (Value.size() >= kLibcueValueMax) return false;
  for (const char c : Value)
    if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  return true;
}

class TScanner {
 public:
  TScanner(TCueSheet& Sheet) : FSheet(Sheet) {}

  void Line(int Number, std::string_view Text) {
    FLine = Number;
    std::string_view rest = Trim(Text);
    if (rest.empty()) return;
    const std::string keyword = Upper(TakeWord(rest));
    if (keyword == "FILE")
      File(rest);
    else if (keyword == "TRACK")
      Track(rest);
    else if (keyword == "INDEX")
      Index(rest);
    else if (keyword == "PREGAP" || keyword == "POSTGAP")
      Gap(keyword, rest);
    else if (keyword == "TITLE" || keyword == "PERFORMER" || keyword == "SONGWRITER")
      CdText(keyword, Unquote(rest));
    else if (keyword == "CATALOG")
      FSheet.Catalog = Unquote(rest);
    else if (keyword == "ISRC")
      Isrc(Unquote(rest));
    else if (keyword == "FLAGS")
      Flags(rest);
    else if (keyword == "REM")
      Rem(rest);
    // Anything else (CDTEXTFILE, words of other programs) says nothing about the audio.
  }

  void End() {
    RequireIndex01();
    if (FSheet.Tracks.empty()) throw EAuException("Cue sheet " + FSheet.Name + " holds no TRACK.");
  }

 private:
  [[noreturn]] void Fail(const std::string& Message, int Line = 0) const {
    throw EAuException("Cue sheet " + FSheet.Name + ", line " +
                       std::to_string(Line ? Line : FLine) + ": " + Message);
  }

  TCueTrack* Current() { return FSheet.Tracks.empty() ? nullptr : &FSheet.Tracks.back(); }

  // mm:ss:ff, minutes as many as a long image needs.
  int64_t Time(std::string_view Text, const std::string& What) {
    const std::string shown(Text);
    const size_t first = Text.find(':');
    const size_t second = first == std::string_view::npos ? first : Text.find(':', first + 1);
    std::optional<int64_t> minutes, seconds, frames;
    if (second != std::string_view::npos) {
      minutes = Digits(Text.substr(0, first), 6);
      seconds = Digits(Text.substr(first + 1, second - first - 1), 2);
      frames = Digits(Text.substr(second + 1), 2);
    }
    if (!minutes || !seconds || !frames)
      Fail(What + " \"" + shown + "\" is not a time (minutes:seconds:frames).");
    if (*seconds >= 60)
      Fail(What + " " + shown + " has " + std::to_string(*seconds) + " seconds; a minute has 60.");
    if (*frames >= 75)
      Fail(What + " " + shown + " has " + std::to_string(*frames) + " frames; a second has 75.");
    return (*minutes * 60 + *seconds) * 75 + *frames;
  }

  void RequireIndex01() {
    const TCueTrack* track = Current();
    if (track != nullptr && track->Index01 < 0)
      Fail("track " + std::to_string(track->Number) + " has no INDEX 01.", track->Line);
  }

  void File(std::string_view Rest) {
    TCueFile file;
    file.Line = FLine;
    if (Rest.starts_with('"') && Rest.find('"', 1) != std::string_view::npos) {
      const size_t close = Rest.rfind('"');
      file.Name = Rest.substr(1, close - 1);
      file.Type = Upper(Trim(Rest.substr(close + 1)));
    } else {
      const size_t lastBlank = Rest.find_last_of(" \t");
      if (lastBlank == std::string_view::npos) {
        file.Name = Unquote(Rest);
      } else {
        file.Name = Unquote(Rest.substr(0, lastBlank));
        file.Type = Upper(Rest.substr(lastBlank + 1));
      }
    }
    if (file.Name.empty()) Fail("FILE names no file.");
    FSheet.Files.push_back(std::move(file));
  }

  void Track(std::string_view Rest) {
    const std::string_view word = TakeWord(Rest);
    const std::optional<int64_t> number = Digits(word, 2);
    if (!number || *number < 1 || *number > 99)
      Fail("\"" + std::string(word) + "\" is not a track number from 1 to 99.");
    const std::string name = "TRACK " + std::string(word);
    if (FSheet.Files.empty()) Fail(name + " comes before any FILE.");
    RequireIndex01();
    if (const auto seen = FTrackLines.find(static_cast<int>(*number)); seen != FTrackLines.end())
      Fail("track " + std::to_string(*number) + " appears a second time (first on line " +
           std::to_string(seen->second) + ").");
    if (const TCueTrack* previous = Current(); previous != nullptr && previous->Number > *number)
      Fail("track " + std::to_string(*number) + " follows track " +
           std::to_string(previous->Number) + "; track numbers must increase.");
    FTrackLines[static_cast<int>(*number)] = FLine;
    TCueTrack track;
    track.Number = static_cast<int>(*number);
    track.Line = FLine;
    track.FileIndex = FSheet.Files.size() - 1;
    FSheet.Tracks.push_back(std::move(track));
  }

  void Index(std::string_view Rest) {
    const std::string_view word = TakeWord(Rest);
    const std::optional<int64_t> number = Digits(word, 2);
    if (!number) Fail("\"" + std::string(word) + "\" is not an index number from 0 to 99.");
    TCueTrack* track = Current();
    if (track == nullptr) Fail("INDEX " + std::string(word) + " comes before any TRACK.");
    const int64_t frames = Time(TakeWord(Rest), "index time");
    const size_t file = FSheet.Files.size() - 1;
    const std::string trackName = "track " + std::to_string(track->Number);
    if (*number == 0) {
      if (track->Index01 >= 0) Fail("INDEX 00 of " + trackName + " comes after its INDEX 01.");
      if (track->Index00 >= 0) Fail(trackName + " has a second INDEX 00.");
      track->Index00 = frames;
      track->Index00FileIndex = file;
    } else if (*number == 1) {
      if (track->Index01 >= 0) Fail(trackName + " has a second INDEX 01.");
      if (track->Index00 >= 0 && track->Index00FileIndex == file && track->Index00 > frames)
        Fail("INDEX 01 of " + trackName + " (" + CueTimeText(frames) +
             ") comes before its INDEX 00 (" + CueTimeText(track->Index00) + ").");
      if (FSheet.Tracks.size() >= 2) {
        const TCueTrack& previous = FSheet.Tracks[FSheet.Tracks.size() - 2];
        if (previous.FileIndex == file && previous.Index01 >= frames)
          Fail(trackName + " starts at " + CueTimeText(frames) +
               (previous.Index01 == frames ? ", where track " : ", before track ") +
               std::to_string(previous.Number) +
               (previous.Index01 == frames ? " does" : " (" + CueTimeText(previous.Index01) + ")") +
               " in the same file.");
      }
      track->Index01 = frames;
      track->Index01Line = FLine;
      track->FileIndex = file;
    }
    // Later indexes mark places inside a track; the split ignores them.
  }

  void Gap(const std::string& Keyword, std::string_view Rest) {
    const int64_t frames = Time(TakeWord(Rest), Keyword);
    TCueTrack* track = Current();
    if (track == nullptr) return;
    (Keyword == "PREGAP" ? track->Pregap : track->Postgap) = frames;
  }

  void CdText(const std::string& Keyword, std::string Value) {
    TCueTrack* track = Current();
    std::string& field = Keyword == "TITLE"       ? (track ? track->Title : FSheet.Title)
                         : Keyword == "PERFORMER" ? (track ? track->Performer : FSheet.Performer)
                                                  : (track ? track->Songwriter : FSheet.Songwriter);
    field = std::move(Value);
  }

  void Isrc(std::string Value) {
    TCueTrack* track = Current();
    if (track == nullptr) return;
    track->Isrc = std::move(Value);
  }

  void Flags(std::string_view Rest) {
    TCueTrack* track = Current();
    if (track == nullptr) return;
    for (std::string_view word = TakeWord(Rest); !word.empty(); word = TakeWord(Rest))
      track->Flags.push_back(Upper(word));
  }

  void Rem(std::string_view Rest) {
    const std::string key = Upper(TakeWord(Rest));
    std::string value = Unquote(Rest);
    TCueTrack* track = Current();
    if (track != nullptr) {
      if (key == "REPLAYGAIN_TRACK_GAIN") track->ReplayGainTrackGain = value;
      if (key == "REPLAYGAIN_TRACK_PEAK") track->ReplayGainTrackPeak = value;
      return;
    }
    static const std::map<std::string, std::string TCueSheet::*> kDiscFields = {
        {"DATE", &TCueSheet::Date},
        {"GENRE", &TCueSheet::Genre},
        {"COMMENT", &TCueSheet::Comment},
        {"DISCID", &TCueSheet::DiscId},
        {"DISCNUMBER", &TCueSheet::DiscNumber},
        {"TOTALDISCS", &TCueSheet::TotalDiscs},
        {"REPLAYGAIN_ALBUM_GAIN", &TCueSheet::ReplayGainAlbumGain},
        {"REPLAYGAIN_ALBUM_PEAK", &TCueSheet::ReplayGainAlbumPeak}};
    if (const auto field = kDiscFields.find(key); field != kDiscFields.end())
      FSheet.*(field->second) = std::move(value);
  }

  TCueSheet& FSheet;
  int FLine = 0;
  std::map<int, int> FTrackLines;
};

// Lines split at LF, CRLF or a lone CR, numbered from 1.
template <class TVisit>
void EachLine(std::string_view Text, TVisit Visit) {
  int number = 1;
  while (!Text.empty()) {
    const size_t end = Text.find_first_of("\r\n");
    Visit(number++, Text.substr(0, end));
    if (end == std::string_view::npos) break;
    Text.remove_prefix(end + (Text.substr(end, 2) == "\r\n" ? 2 : 1));
  }
}

// The sheet as libcue is to read it: only what it keeps, only what it can hold exactly.
std::string LibcueFeed(const TCueSheet& Sheet) {
  std::string feed;
  const auto text = [&](const char* Keyword, const std::string& Value) {
    if (!Value.empty() && LibcueCanQuote(Value)) feed += Keyword + (" \"" + Value + "\"\n");
  };
  text("TITLE", Sheet.Title);
  text("PERFORMER", Sheet.Performer);
  text("SONGWRITER", Sheet.Songwriter);
  text("REM DATE", Sheet.Date);
  text("REM GENRE", Sheet.Genre);
  for (size_t i = 0; i < Sheet.Tracks.size(); ++i) {
    const TCueTrack& track = Sheet.Tracks[i];
    if (i == 0 || Sheet.Tracks[i - 1].FileIndex != track.FileIndex)
      feed += "FILE \"" + std::to_string(track.FileIndex) + "\" WAVE\n";
    feed += "TRACK " + std::to_string(track.Number) + " AUDIO\n";
    text("TITLE", track.Title);
    text("PERFORMER", track.Performer);
    text("SONGWRITER", track.Songwriter);
    // A track's ISRC is one bare word to libcue.
    if (!track.Isrc.empty() && LibcueCanQuote(track.Isrc) &&
        track.Isrc.find_first_of(" \t") == std::string::npos)
      feed += "ISRC " + track.Isrc + "\n";
    if (track.Index00 >= 0 && track.Index00FileIndex == track.FileIndex)
      feed += "INDEX 00 " + CueTimeText(track.Index00) + "\n";
    feed += "INDEX 01 " + CueTimeText(track.Index01) + "\n";
  }
  return feed;
}

// The sheet as libcue reads Feed, over what the scanner found: libcue's values where it was
// given them, and a check that it sees the same tracks in the same files.
void ReadWithLibcue(TCueSheet& Sheet, const std::string& Feed) {
  const TCueApi& api = LoadCueApi();
  const std::lock_guard lock(CueParseLock());
  const std::unique_ptr<Cd, decltype(api.cd_delete)> cd(api.parse_string(Feed.c_str()),
                                                        api.cd_delete);
  const auto fail = [&](const std::string& What) {
    throw EAuException("Cue sheet " + Sheet.Name + " could not be read: the cue parser " + What +
                       ".");
  };
  if (!cd) fail("refused it");
  if (api.cd_get_ntrack(cd.get()) != static_cast<int>(Sheet.Tracks.size()))
    fail("found another number of tracks");
  const auto text = [&](Pti Kind, const Cdtext* From, std::string& Field) {
    if (const char* value = From ? api.cdtext_get(Kind, From) : nullptr) Field = value;
  };
  const Cdtext* discText = api.cd_get_cdtext(cd.get());
  text(PTI_TITLE, discText, Sheet.Title);
  text(PTI_PERFORMER, discText, Sheet.Performer);
  text(PTI_SONGWRITER, discText, Sheet.Songwriter);
  text(PTI_GENRE, discText, Sheet.Genre);
  if (const char* date = api.rem_get(REM_DATE, api.cd_get_rem(cd.get()))) Sheet.Date = date;
  for (size_t i = 0; i < Sheet.Tracks.size(); ++i) {
    TCueTrack& ours = Sheet.Tracks[i];
    const Track* track = api.cd_get_track(cd.get(), static_cast<int>(i + 1));
    if (track == nullptr) fail("lost track " + std::to_string(ours.Number));
    const char* file = api.track_get_filename(track);
    if (file == nullptr || file != std::to_string(ours.FileIndex))
      fail("put track " + std::to_string(ours.Number) + " in another file");
    ours.Index01 = api.track_get_index(track, 1);
    if (ours.Index01 < 0) fail("lost INDEX 01 of track " + std::to_string(ours.Number));
    if (ours.Index00FileIndex == ours.FileIndex) ours.Index00 = api.track_get_index(track, 0);
    const Cdtext* trackText = api.track_get_cdtext(track);
    text(PTI_TITLE, trackText, ours.Title);
    text(PTI_PERFORMER, trackText, ours.Performer);
    text(PTI_SONGWRITER, trackText, ours.Songwriter);
    if (const char* isrc = api.track_get_isrc(track)) ours.Isrc = isrc;
  }
}

}  // namespace

std::string CueTimeText(int64_t Frames) {
  char text[32];
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", static_cast<long long>(Frames / 75 / 60),
                static_cast<long long>(Frames / 75 % 60), static_cast<long long>(Frames % 75));
  return text;
}

TCueSheet ReadCueSheet(const std::string& Bytes, const std::string& SheetName) {
  TCueSheet sheet;
  sheet.Name = SheetName;
  const std::string text = CueSheetUtf8(Bytes, SheetName);
  if (text.find('\0') != std::string::npos)
    throw EAuException("Cue sheet " + SheetName + " holds a zero byte; it is no text.");
  TScanner scanner(sheet);
  EachLine(text, [&](int Number, std::string_view Line) { scanner.Line(Number, Line); });
  scanner.End();
  ReadWithLibcue(sheet, LibcueFeed(sheet));
  return sheet;
}

}  // namespace tunevert
