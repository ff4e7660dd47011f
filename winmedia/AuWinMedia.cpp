#include "winmedia/AuWinMedia.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <utility>

#include "platform/Text.h"

namespace tunevert {

TWMIn::TWMIn(TComponent* AOwner) : TAuTaggedFileIn(AOwner) {
  FOutputChannels = TChannelsNumber::cnMonoOrStereo;
}

TWMIn::~TWMIn() = default;

void TWMIn::ReadFormatFromReader() {
  FDuration = SyncReaderDuration(reader);
  uint16_t Channels = 0, Bits = 0;
  uint32_t Rate = 0;
  SyncReaderGetFormat(reader, Channels, Bits, Rate);
  FChan = Channels;
  FBPS = Bits;
  FSR = Rate;
  // Exact in integers: hundredths times rate, truncated.
  FTotalSamples = int64_t{FDuration} * FSR / 100;
  FSize = FTotalSamples * FChan * (FBPS / 8);
}

void TWMIn::OpenSource() {
  std::lock_guard lock(*OpenCS);
  if (FOpened != 0) return;
  if (NoSource()) throw EAuException("File name is not assigned");
  // Reset forgets an open source without closing it; that reader still reads the old stream,
  // which must not be replaced under it.
  if (reader.reader) SyncReaderClose(reader);
  // A failed open must not leave the previous file's figures behind.
  FDuration = 0;
  FChan = FBPS = FSR = 0;
  FTotalSamples = 0;
  FSize = 0;
  ForgetLookahead();
  if (!FStreamAssigned) OpenOwnStream();
  SyncReaderOpen(reader, FStream, FHighPrecision, ChannelRequest(FOutputChannels));
  FValid = reader.has_audio;
  if (!reader.reader) {
    ReleaseSourceStream();
    return;
  }
  if (reader._protected) {
    SyncReaderClose(reader);
    ReleaseSourceStream();
    FValid = false;
    throw EAuException("File is protected");
  }
  ReadFormatFromReader();
  FSeekable = true;

  FId3v2Tags->Clear();
  FCommonTags->Clear();
  const std::u16string Artist = SyncReaderAuthor(reader);
  const std::u16string Title = SyncReaderTitle(reader);
  const std::u16string Album = SyncReaderAlbum(reader);
  const std::u16string Genre = SyncReaderGenre(reader);
  const std::string Track = Utf16ToLatin1(SyncReaderTrack(reader));
  const std::string Year = Utf16ToLatin1(SyncReaderYear(reader));
  FId3v2Tags->SetArtist(Artist);
  FId3v2Tags->SetTitle(Title);
  FId3v2Tags->SetAlbum(Album);
  FId3v2Tags->SetGenre(Genre);
  FId3v2Tags->SetTrack(Track);
  FId3v2Tags->SetYear(Year);
  FId3v2Tags->SetComment(SyncReaderCopyright(reader));
  FCommonTags->SetArtist(Artist);
  FCommonTags->SetTitle(Title);
  FCommonTags->SetAlbum(Album);
  FCommonTags->SetGenre(Genre);
  FCommonTags->SetTrack(Track);
  FCommonTags->SetYear(Year);

  FOpened = FOpened + 1;
}

void TWMIn::CloseSource() {
  std::lock_guard lock(*OpenCS);
  if (FOpened <= 0) return;
  FLookahead.Clear();
  SyncReaderClose(reader);
  FOpened = 0;
  // The runtime has read from a handed-in stream; the next open starts from its beginning.
  ReleaseSourceStream();
}

void TWMIn::GetData(void*& Buffer, uint32_t& Bytes) {
  std::lock_guard lock(*DataCS);
  // A range's end was asked for, and a loop replays the range: both end at Size.
  if (FEndSample != -1 || FLoop) {
    TAuStreamedInput::GetData(Buffer, Bytes);
    return;
  }
  Buffer = nullptr;
  if (_EndOfStream) {
    Bytes = 0;
    return;
  }
  const int64_t Size = FSize;
  // Up to the announced end; there the next sample, if any, shows whether it is the real end.
  if (FEndUndecided && Size > 0) {
    if (const int64_t Left = Size - FPosition; Left > 0) {
      Bytes = static_cast<uint32_t>(std::min<int64_t>(Bytes, Left));
    } else {
      FEndUndecided = false;
      if (!NextSampleFollows()) {
        Bytes = 0;
        _EndOfStream = true;
        return;
      }
    }
  }
  ProduceData(Buffer, Bytes);
  if (Bytes == 0) {
    _EndOfStream = true;
    return;
  }
  FPosition += Bytes;
  // Past an estimate, progress follows the audio rather than passing 100 %.
  if (Size > 0 && FPosition > Size) FSize = FPosition.load();
}

void TWMIn::ProduceData(void*& Buffer, uint32_t& Bytes) {
  const int64_t Size = FSize;
  if (FEndSample != -1 && Size > 0) {
    const int64_t Left = std::max<int64_t>(0, Size - FPosition);
    if (Bytes > Left) Bytes = static_cast<uint32_t>(Left);
  }
  // An odd request must not split a frame: the runtime cuts only at the request.
  const uint32_t Frame = FChan * (FBPS / 8);
  if (Frame > 0 && Bytes >= Frame) Bytes -= Bytes % Frame;
  if (FLookahead) {
    uint8_t* Data = nullptr;
    uint32_t Length = 0;
    if (!reader.buffer || reader.buffer->GetBufferAndLength(&Data, &Length) != S_OK ||
        reader.offset >= Length) {
      reader.buffer = std::move(FLookahead);
      reader.offset = 0;
    }
  }
  SyncReaderGetData(reader, Buffer, Bytes);
}

bool TWMIn::NextSampleFollows() {
  if (!reader.reader || !reader.has_audio) return false;
  return reader.reader->GetNextSample(reader.stream, FLookahead.Receive(), nullptr, nullptr,
                                      nullptr, nullptr, nullptr) == S_OK &&
         FLookahead;
}

void TWMIn::ForgetLookahead() {
  FLookahead.Clear();
  FEndUndecided = FTrimAtAnnouncedEnd;
}

bool TWMIn::SeekToSample(int64_t& SampleNum) {
  if (!Busy || FSR == 0) return false;
  ForgetLookahead();
  // From the rate rather than the pass's totals: those are estimates and, inside a range,
  // count from its start, while SampleNum is a frame of the whole file.
  const double Cs = std::nearbyint(static_cast<double>(SampleNum) * 100.0 / FSR);
  const auto TimeCs = static_cast<uint32_t>(
      std::clamp(Cs, 0.0, static_cast<double>(std::numeric_limits<uint32_t>::max())));
  SyncReaderSeek(reader, TimeCs);
  return true;
}

void TWMIn::Reopen() {
  std::lock_guard data(*DataCS);
  std::lock_guard open(*OpenCS);
  if (FOpened <= 0) return;
  CloseSource();
  OpenSource();
}

void TWMIn::SetHighPrecision(bool Value) {
  if (Busy || FOutputChannels != TChannelsNumber::cnMonoOrStereo) return;
  FHighPrecision = Value;
  Reopen();
}

void TWMIn::SetOutputChannels(TChannelsNumber Value) {
  if (Busy) return;
  if (Value != TChannelsNumber::cnMonoOrStereo) FHighPrecision = true;
  FOutputChannels = Value;
  Reopen();
}

bool TWMIn::HasAudio() {
  OpenSource();
  return reader.has_audio;
}

bool TWMIn::IsProtected() {
  OpenSource();
  return reader._protected;
}

uint32_t TWMIn::Bitrate() {
  OpenSource();
  return SyncReaderBitrate(reader);
}

bool TWMIn::IsVBR() {
  OpenSource();
  return SyncReaderIsVBR(reader);
}

TId3v2Tags* TWMIn::Id3v2Tags() {
  OpenSource();
  return FId3v2Tags.get();
}

uint32_t TWMIn::FormatsCount() {
  if (Busy || NoSource()) return 0;
  OpenSource();
  return reader.reader ? SyncReaderFormatCount(reader, FHighPrecision) : 0;
}

TWMAFormatSpec TWMIn::GetFormatSpec(int32_t Index) {
  if (Busy || NoSource()) return {};
  OpenSource();
  if (Index < 0 || !reader.reader) return {};
  return SyncReaderFormatSpec(reader, FHighPrecision, static_cast<uint32_t>(Index));
}

void TWMIn::SetFormatSelected(int32_t Value) {
  if (Busy) return;
  std::lock_guard lock(*OpenCS);
  OpenSource();
  if (Value == -2) {
    SyncReaderSelectFormat(reader, true, 0);
    FFormat = 0;
  } else if (Value >= 0) {
    SyncReaderSelectFormat(reader, FHighPrecision, static_cast<uint32_t>(Value));
    FFormat = Value;
  }
  ReadFormatFromReader();
}

void UseRuntimeDefaults(TWMIn& Input) {
  Input.SetLoop(false);
  Input.SetStartSample(0);
  Input.SetEndSample(-1);
  Input.SetOutputChannels(TChannelsNumber::cnMonoOrStereo);
  Input.SetHighPrecision(false);
}

}  // namespace tunevert
