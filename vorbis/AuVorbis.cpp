// The binding to libvorbisfile: its loader and the Vorbis input over it.
#include "vorbis/AuVorbis.h"

#define OV_EXCLUDE_STATIC_CALLBACKS
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

#include "platform/Interrupt.h"
#include "platform/Text.h"
#include "vorbis/OggLinks.h"
#include "vorbis/VorbisChannelOrder.h"
#include "vorbis/VorbisLibs.h"

namespace tunevert {

namespace {

// The libvorbisfile calls the input makes, typed from the library's own header.
struct TVorbisFileApi {
  decltype(&::ov_test_callbacks) test_callbacks = nullptr;
  decltype(&::ov_test_open) test_open = nullptr;
  decltype(&::ov_comment) comment = nullptr;
  decltype(&::ov_info) info = nullptr;
  decltype(&::ov_pcm_total) pcm_total = nullptr;
  decltype(&::ov_read) read = nullptr;
  decltype(&::ov_pcm_seek) pcm_seek = nullptr;
  decltype(&::ov_clear) clear = nullptr;
  decltype(&::ov_seekable) seekable = nullptr;
  decltype(&::ov_streams) streams = nullptr;
  decltype(&::ov_bitrate_instant) bitrate_instant = nullptr;
};

TVorbisFileApi Api;

void VorbisToWavOrder(uint8_t* Data, uint32_t Bytes, uint32_t Channels) {
  if (Channels < 3 || Channels > 8 || Channels == 4) return;
  const auto& map = kVorbisToWav[Channels];
  const uint32_t frame = 2 * Channels;
  std::array<uint8_t, 16> in{};
  for (uint32_t at = 0; at + frame <= Bytes; at += frame) {
    std::memcpy(in.data(), Data + at, frame);
    for (uint32_t c = 0; c < Channels; ++c) std::memcpy(Data + at + 2 * c, &in[2 * map[c]], 2);
  }
}

constexpr int64_t kMaxFrames = INT64_MAX / 1024;

// libvorbis 1.3.7 cannot set up a decoder for some damaged setup headers; reading such a link
// only fails, but a second set-up (a seek makes one) divides by zero inside the library. Such
// a link is never read.
bool LinkDecodes(const vorbis_info* Info) {
  static const auto init =
      VorbisLibrary().Function<decltype(&::vorbis_synthesis_init)>("vorbis_synthesis_init");
  static const auto clear =
      VorbisLibrary().Function<decltype(&::vorbis_dsp_clear)>("vorbis_dsp_clear");
  if (init == nullptr || clear == nullptr) return true;
  vorbis_dsp_state dsp;
  std::memset(&dsp, 0, sizeof dsp);
  if (init(&dsp, const_cast<vorbis_info*>(Info)) != 0) return false;
  clear(&dsp);
  return true;
}

// A part of the source shown to the decoder as a whole file, to try one link alone.
struct TWindow {
  TStream* Stream;
  int64_t Begin, End;
};

struct TWindowCallbacks {
  static size_t Read(void* ptr, size_t size, size_t nmemb, void* datasource) {
    auto* w = static_cast<TWindow*>(datasource);
    if (size == 0) return 0;
    if (InterruptedHere()) {
      errno = EINTR;
      return 0;
    }
    try {
      const int64_t want = std::clamp<int64_t>(w->End - w->Stream->Position(), 0,
                                               static_cast<int64_t>(size * nmemb));
      const int64_t got = w->Stream->Read(ptr, want);
      return got > 0 ? static_cast<size_t>(got) / size : 0;
    } catch (...) {
      return 0;
    }
  }

  static int Seek(void* datasource, ogg_int64_t offset, int whence) {
    auto* w = static_cast<TWindow*>(datasource);
    try {
      int64_t to = offset + w->Begin;
      if (whence == SEEK_CUR) to = w->Stream->Position() + offset;
      if (whence == SEEK_END) to = w->End + offset;
      if (to < w->Begin) return -1;
      return w->Stream->Seek(to, TSeekOrigin::soBeginning) < 0 ? -1 : 0;
    } catch (...) {
      return -1;
    }
  }

  static long Tell(void* datasource) {
    auto* w = static_cast<TWindow*>(datasource);
    try {
      return static_cast<long>(w->Stream->Position() - w->Begin);
    } catch (...) {
      return -1;
    }
  }
};

// ov_read writes whole frames only and refuses room for less than one; a frame of the most
// channels a link may have takes this much.
constexpr uint32_t kMaxFrameBytes = 2 * 255;

}  // namespace

TCodecLibrary& VorbisFileLibrary() {
  static TCodecLibrary library(
      {"libvorbisfile.so.3"},
      {"ov_clear",          "ov_open_callbacks",  "ov_test_callbacks", "ov_test_open",
       "ov_bitrate",        "ov_bitrate_instant", "ov_streams",        "ov_seekable",
       "ov_serialnumber",   "ov_raw_total",       "ov_pcm_total",      "ov_time_total",
       "ov_raw_seek",       "ov_pcm_seek",        "ov_pcm_seek_page",  "ov_time_seek",
       "ov_time_seek_page", "ov_raw_tell",        "ov_pcm_tell",       "ov_time_tell",
       "ov_info",           "ov_comment",         "ov_read_float",     "ov_read"});
  return library;
}

bool LoadVorbisFileLibrary() {
  TCodecLibrary& library = VorbisFileLibrary();
  if (!library.Load()) return false;
  // The library's own flag is set before this table is filled, and by whoever maps it first;
  // only the end of this call publishes the table, to every thread that gets here.
  static std::once_flag filled;
  std::call_once(filled, [&library] {
    Api.test_callbacks = library.Function<decltype(Api.test_callbacks)>("ov_test_callbacks");
    Api.test_open = library.Function<decltype(Api.test_open)>("ov_test_open");
    Api.comment = library.Function<decltype(Api.comment)>("ov_comment");
    Api.info = library.Function<decltype(Api.info)>("ov_info");
    Api.pcm_total = library.Function<decltype(Api.pcm_total)>("ov_pcm_total");
    Api.pcm_seek = library.Function<decltype(Api.pcm_seek)>("ov_pcm_seek");
    Api.clear = library.Function<decltype(Api.clear)>("ov_clear");
    Api.seekable = library.Function<decltype(Api.seekable)>("ov_seekable");
    Api.streams = library.Function<decltype(Api.streams)>("ov_streams");
    Api.bitrate_instant = library.Function<decltype(Api.bitrate_instant)>("ov_bitrate_instant");
    Api.read = library.Function<decltype(Api.read)>("ov_read");
  });
  return true;
}

// The decoder's data source is the input; no exception may cross back into the C library.
struct TVorbisCallbacks {
  static size_t Read(void* ptr, size_t size, size_t nmemb, void* datasource) {
    auto* self = static_cast<TVorbisIn*>(datasource);
    if (self->FStream == nullptr || size == 0) return 0;
    if (InterruptedHere()) {
      errno = EINTR;  // a read error, not the file's end
      return 0;
    }
    try {
      int64_t want = static_cast<int64_t>(size * nmemb);
      if (self->FReadLimit >= 0)
        want = std::clamp<int64_t>(self->FReadLimit - self->FStream->Position(), 0, want);
      const int64_t got = self->FStream->Read(ptr, want);
      return got > 0 ? static_cast<size_t>(got) / size : 0;
    } catch (...) {
      return 0;
    }
  }

  static int Seek(void* datasource, ogg_int64_t offset, int whence) {
    auto* self = static_cast<TVorbisIn*>(datasource);
    if (!self->FSeekable || self->FStream == nullptr) return -1;
    TSeekOrigin origin = TSeekOrigin::soBeginning;
    if (whence == SEEK_CUR) origin = TSeekOrigin::soCurrent;
    if (whence == SEEK_END) origin = TSeekOrigin::soEnd;
    try {
      if (origin == TSeekOrigin::soEnd && self->FReadLimit >= 0) {
        offset += self->FReadLimit;
        origin = TSeekOrigin::soBeginning;
      }
      // 0 or -1 as fseek gives: the decoder takes any other value for a failure.
      return self->FStream->Seek(offset, origin) < 0 ? -1 : 0;
    } catch (...) {
      return -1;
    }
  }

  static int Close(void* datasource) {
    auto* self = static_cast<TVorbisIn*>(datasource);
    try {
      if (self->OwnsStream()) {
        self->FreeOwnStream();
      } else if (self->FStreamAssigned && self->FStream != nullptr) {
        self->FStream->Seek(0, TSeekOrigin::soBeginning);
      }
    } catch (...) {
    }
    return 0;
  }

  static long Tell(void* datasource) {
    auto* self = static_cast<TVorbisIn*>(datasource);
    if (self->FStream == nullptr) return -1;
    try {
      return static_cast<long>(self->FStream->Position());
    } catch (...) {
      return -1;
    }
  }
};

TVorbisIn::TVorbisIn(TComponent* AOwner)
    : TAuTaggedFileIn(AOwner),
      FComments(std::make_unique<TVorbisTags>()),
      VFile(std::make_unique<OggVorbis_File>()) {
  std::memset(VFile.get(), 0, sizeof(OggVorbis_File));
}

TVorbisIn::~TVorbisIn() {
  try {
    TVorbisIn::CloseSource();
  } catch (...) {
  }
}

void TVorbisIn::OpenSource() {
  std::lock_guard lock(*OpenCS);
  if (FOpened != 0) return;
  const TInterruptibleScope opening;
  // All four are tried, so each retries its load, before the first missing one is named.
  const bool loaded[] = {LoadOggLibrary(), LoadVorbisLibrary(), LoadVorbisFileLibrary(),
                         LoadVorbisEncLibrary()};
  TCodecLibrary* libraries[] = {&OggLibrary(), &VorbisLibrary(), &VorbisFileLibrary(),
                                &VorbisEncLibrary()};
  for (size_t i = 0; i < 4; ++i)
    if (!loaded[i]) throw EAuException(libraries[i]->LoadFailureMessage());

  FValid = true;
  if (!FStreamAssigned) {
    try {
      OpenOwnStream();
    } catch (...) {
      FValid = false;
      throw EAuException("Failed to open stream");
    }
  }
  if (FStream == nullptr) {
    FValid = false;
    throw EAuException("Failed to open stream");
  }
  const ov_callbacks callbacks = {&TVorbisCallbacks::Read, &TVorbisCallbacks::Seek,
                                  &TVorbisCallbacks::Close, &TVorbisCallbacks::Tell};
  FReadLimit = -1;
  // A failed test or open leaves the stream to us: the decoder has not taken it over.
  const auto test = [&] {
    FStream->Seek(0, TSeekOrigin::soBeginning);
    std::memset(VFile.get(), 0, sizeof(OggVorbis_File));
    const int tested = Api.test_callbacks(this, VFile.get(), nullptr, 0, callbacks);
    return tested != 0 ? tested : Api.test_open(VFile.get());
  };
  const int code = test();
  try {
    if (code != 0 && InterruptedHere()) throw EAuException("Opening the file was interrupted");
    if (code != 0 && FSeekable) {
      // A chain cut or damaged in a later link's headers fails as a whole: open the links
      // before that one, as other decoders play them.
      const std::vector<int64_t> starts = OggLinkStarts(*FStream);
      const int64_t size = FStream->Size();
      const ov_callbacks alone = {&TWindowCallbacks::Read, &TWindowCallbacks::Seek, nullptr,
                                  &TWindowCallbacks::Tell};
      int64_t limit = OggOpenablePrefix(starts, size, [&](int64_t Begin, int64_t End) {
        TWindow window{FStream, Begin, End};
        FStream->Seek(Begin, TSeekOrigin::soBeginning);
        OggVorbis_File probe;
        std::memset(&probe, 0, sizeof probe);
        if (Api.test_callbacks(&window, &probe, nullptr, 0, alone) != 0) return false;
        if (Api.test_open(&probe) != 0) return false;
        Api.clear(&probe);
        return true;
      });
      // Links that each open but not together: the last one goes.
      if (limit == size) limit = starts.empty() ? 0 : starts.back();
      if (limit > 0) {
        FReadLimit = limit;
        if (test() != 0) FReadLimit = -1;
      }
      if (FReadLimit < 0) FStream->Seek(0, TSeekOrigin::soBeginning);
    }
  } catch (...) {
    if (OwnsStream()) FreeOwnStream();
    throw;
  }
  if (code != 0 && FReadLimit < 0) {
    if (OwnsStream()) FreeOwnStream();
    throw EAuException("Failed to open an ogg file: " + std::to_string(code));
  }
  bool seekable = false;
  long links = 0;
  int64_t outStart = 0;
  for (;;) {
    seekable = Api.seekable(VFile.get()) != 0;
    links = seekable ? Api.streams(VFile.get()) : 1;
    FLinks.clear();
    int64_t pcmStart = 0;
    outStart = 0;
    ogg_int64_t failure = 0;
    int64_t cutAt = -1;
    for (long i = 0; i < std::max(links, 1L) && failure == 0; ++i) {
      const vorbis_info* link = Api.info(VFile.get(), seekable ? static_cast<int>(i) : -1);
      const ogg_int64_t frames = Api.pcm_total(VFile.get(), seekable ? static_cast<int>(i) : -1);
      if (frames < 0) failure = frames;
      // Headers that parse but give no usable format: refuse like a damaged file.
      if (link == nullptr || link->channels <= 0 || link->channels > 255 || link->rate <= 0)
        failure = OV_EBADHEADER;
      if (failure != 0) break;
      if (!LinkDecodes(link)) {
        // The chain ends before a link no decoder can be set up for, as a cut file would.
        if (i == 0 || !seekable)
          failure = OV_EBADLINK;
        else
          cutAt = VFile->offsets[i];
        break;
      }
      TLink l;
      l.Channels = static_cast<uint32_t>(link->channels);
      l.Rate = static_cast<uint32_t>(link->rate);
      l.PcmStart = pcmStart;
      l.OutStart = outStart;
      FLinks.push_back(l);
      // Granule positions are claims: a total past any real file is held where the byte
      // count cannot overflow.
      pcmStart = std::min(kMaxFrames, pcmStart + std::min<int64_t>(frames, kMaxFrames));
      outStart = std::min(
          kMaxFrames, outStart + std::min(kMaxFrames, TAuResampler::ScaledFrames(
                                                          frames, l.Rate, FLinks.front().Rate)));
    }
    if (failure != 0) {
      Api.clear(VFile.get());
      FLinks.clear();
      throw EAuException("Failed to open an ogg file: " + std::to_string(failure));
    }
    if (cutAt < 0) break;
    // A failed set-up leaves that link's codebooks half built, and the library would later
    // take them as ready and crash decoding them: open again without that link.
    Api.clear(VFile.get());
    FLinks.clear();
    if (!FStreamAssigned) OpenOwnStream();
    FReadLimit = cutAt;
    const int again = test();
    if (again != 0) {
      if (OwnsStream()) FreeOwnStream();
      throw EAuException("Failed to open an ogg file: " + std::to_string(again));
    }
  }
  // libvorbisfile 1.3.7 leaves a chained file positioned at its last link after opening.
  if (seekable && links > 1) Api.pcm_seek(VFile.get(), 0);
  const vorbis_info* info = Api.info(VFile.get(), seekable ? 0 : -1);

  FComments->Clear();
  if (const vorbis_comment* vc = Api.comment(VFile.get(), -1)) {
    for (int i = 0; i < vc->comments; ++i) {
      if (vc->user_comments[i] == nullptr) break;
      FComments->TakeComment(std::string_view(
          vc->user_comments[i], static_cast<size_t>(std::max(0, vc->comment_lengths[i]))));
    }
  }
  FComments->CopyTo(*FCommonTags);

  FChan = static_cast<uint32_t>(info->channels);
  FSR = static_cast<uint32_t>(info->rate);
  FBPS = 16;
  FMaxBitrate = static_cast<int32_t>(info->bitrate_upper);
  FNominalBitrate = static_cast<int32_t>(info->bitrate_nominal);
  FMinBitrate = static_cast<int32_t>(info->bitrate_lower);
  // The whole chain in the first link's format: each later link counts as what it becomes.
  FSize = outStart * 2 * FChan;
  cursec = -1;
  FDecoderEnded = false;
  ResetConversion();
  FOpened = FOpened + 1;
}

void TVorbisIn::CloseSource() {
  std::lock_guard lock(*OpenCS);
  if (FOpened <= 0) return;
  Api.clear(VFile.get());  // closes or rewinds the stream through the close callback
  FOpened = 0;
}

void TVorbisIn::ResetConversion() {
  FLink = -1;
  FRemix.reset();
  FResampler.reset();
  FPending.clear();
  FPendingPos = 0;
}

void TVorbisIn::BeginLink(int32_t Link) {
  FLink = Link;
  if (Link < 0 || static_cast<size_t>(Link) >= FLinks.size()) {
    // Unseekable sources name no links: their data is taken as the first link's.
    FRemix.reset();
    FResampler.reset();
    return;
  }
  const TLink& link = FLinks[static_cast<size_t>(Link)];
  if (link.Channels != FChan)
    FRemix = std::make_unique<TAuRemix>(link.Channels, FChan);
  else
    FRemix.reset();
  if (link.Rate == FSR) {
    FResampler.reset();
  } else if (!FResampler || FResampler->InRate() != link.Rate) {
    FResampler = std::make_unique<TAuResampler>(FChan, link.Rate, FSR);
  }
}

void TVorbisIn::EndLink() {
  // The filter holds the last few milliseconds of the link; they belong before the next one.
  if (FResampler) FResampler->Flush(FPending);
}

void TVorbisIn::Convert(const uint8_t* Data, uint32_t Bytes) {
  FLinkData.resize(Bytes / 2);
  std::memcpy(FLinkData.data(), Data, Bytes);
  const uint32_t channels = FRemix ? FRemix->InChannels() : FChan;
  const size_t frames = FLinkData.size() / channels;
  const int16_t* pcm = FLinkData.data();
  if (FRemix) {
    FMixed.clear();
    FRemix->Process(pcm, frames, FMixed);
    pcm = FMixed.data();
  }
  if (FResampler)
    FResampler->Process(pcm, frames, FPending);
  else
    FPending.insert(FPending.end(), pcm, pcm + frames * FChan);
}

void TVorbisIn::ProduceData(void*& Buffer, uint32_t& Bytes) {
  if (!Busy) throw EAuException("The Stream is not opened");
  if (BufStart > BufEnd) {
    BufStart = 1;
    BufEnd = 0;
    const uint32_t frame = 2 * FChan;
    const uint32_t room = kBufSize - kBufSize % frame;
    while (BufEnd < room) {
      if (FPendingPos < FPending.size()) {
        BufEnd += MovePending(FPending, FPendingPos, buf.data() + BufEnd, room - BufEnd);
      } else if (FDecoderEnded || room - BufEnd < kMaxFrameBytes) {
        break;
      } else {
        int section = cursec;
        uint8_t* at = buf.data() + BufEnd;
        const long got = Api.read(VFile.get(), reinterpret_cast<char*>(at),
                                  static_cast<int>(room - BufEnd), 0, 2, 1, &section);
        // A lost or damaged page: other decoders drop its audio and go on, so the input does.
        if (got == OV_HOLE) continue;
        if (got <= 0) {
          // A truncated or damaged file stops short of its announced length: what was
          // decoded, the resampler's tail included, is still delivered.
          FDecoderEnded = true;
          EndLink();
          continue;
        }
        if (section >= static_cast<int>(FLinks.size()) && FSeekable) {
          // A link left out at opening: the chain ends here.
          FDecoderEnded = true;
          EndLink();
          continue;
        }
        cursec = section;
        if (section != FLink) {
          EndLink();
          BeginLink(section);
        }
        const uint32_t linkChannels = FLink >= 0 && static_cast<size_t>(FLink) < FLinks.size()
                                          ? FLinks[static_cast<size_t>(FLink)].Channels
                                          : FChan;
        VorbisToWavOrder(at, static_cast<uint32_t>(got), linkChannels);
        if (FRemix || FResampler || FPendingPos < FPending.size()) {
          // Converted, or queued behind the previous link's tail: it goes through FPending.
          Convert(at, static_cast<uint32_t>(got));
          continue;
        }
        BufEnd += static_cast<uint32_t>(got);
      }
      // Only a range's end ends the pass early; FillBufferUnprotected would not clip it.
      if (FEndSample != -1 && FPosition + BufEnd >= FSize) {
        BufEnd = static_cast<uint32_t>(std::max<int64_t>(0, FSize - FPosition));
        if (BufEnd == 0) FDecoderEnded = true;
        break;
      }
    }
    // Outside a range the stream's claimed length (-1 on the last page, or short of the
    // audio) only feeds progress: the decoder's end ends the pass.
    if (FEndSample == -1)
      FSize = SizeAheadOfClaim(FSize, FPosition + BufEnd,
                               FDecoderEnded && FPendingPos >= FPending.size(), room);
  }
  const uint32_t available = BufEnd - BufStart + 1;
  Bytes = std::min(Bytes, available);
  Buffer = buf.data() + (BufStart - 1);
  BufStart += Bytes;
}

bool TVorbisIn::SeekToSample(int64_t& SampleNum) {
  OpenSource();
  // SampleNum counts delivered frames; a link at another rate has its own frame numbers.
  int64_t target = SampleNum;
  for (auto link = FLinks.rbegin(); link != FLinks.rend(); ++link) {
    if (link->OutStart <= SampleNum) {
      target =
          link->PcmStart + TAuResampler::ScaledFrames(SampleNum - link->OutStart, FSR, link->Rate);
      break;
    }
  }
  const int sought = Api.pcm_seek(VFile.get(), target);
  BufStart = 1;
  BufEnd = 0;
  FDecoderEnded = false;
  ResetConversion();
  return sought == 0;
}

TVorbisTags* TVorbisIn::Comments() {
  OpenSource();
  return FComments.get();
}

int32_t TVorbisIn::MaxBitrate() {
  OpenSource();
  return FMaxBitrate;
}

int32_t TVorbisIn::NominalBitrate() {
  OpenSource();
  return FNominalBitrate;
}

int32_t TVorbisIn::MinBitrate() {
  OpenSource();
  return FMinBitrate;
}

// The decoder queries below take DataCS: the worker changes the decoder state they read.
int32_t TVorbisIn::InstantBitRate() {
  std::lock_guard lock(*DataCS);
  if (!Busy || FOpened == 0) return 0;
  return static_cast<int32_t>(Api.bitrate_instant(VFile.get()));
}

int32_t TVorbisIn::BitStreams() {
  std::lock_guard lock(*DataCS);
  if (!Busy || FOpened == 0 || Api.seekable(VFile.get()) == 0) return 0;
  return static_cast<int32_t>(Api.streams(VFile.get()));
}

int32_t TVorbisIn::CurrentBitStream() {
  std::lock_guard lock(*DataCS);
  if (!Busy || FOpened == 0 || Api.seekable(VFile.get()) == 0) return -1;
  return VFile->current_link;
}

void TVorbisIn::SetCurrentBitStream(int32_t Value) {
  std::lock_guard lock(*DataCS);
  if (!Busy || FOpened == 0 || Api.seekable(VFile.get()) == 0) return;
  if (Value < 0 || Value >= Api.streams(VFile.get())) return;
  // Moving the stream under the decoder would desynchronise it; seek the decoder instead,
  // to the first sample of that bitstream.
  if (static_cast<size_t>(Value) >= FLinks.size()) return;
  const int64_t first = FLinks[static_cast<size_t>(Value)].OutStart;
  if (first >= FStartSample) Seek(first - FStartSample);
}

}  // namespace tunevert
