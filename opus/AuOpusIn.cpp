// The binding to libopusfile: its loader and the Opus input over it.
#include <opus/opusfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

#include "opus/AuOpus.h"
#include "platform/Interrupt.h"
#include "platform/Text.h"
#include "vorbis/OggLinks.h"

namespace tunevert {

namespace {

// The libopusfile calls the input makes, typed from the library's own header.
struct TOpusFileApi {
  decltype(&::op_open_callbacks) open_callbacks = nullptr;
  decltype(&::op_free) free = nullptr;
  decltype(&::op_seekable) seekable = nullptr;
  decltype(&::op_head) head = nullptr;
  decltype(&::op_tags) tags = nullptr;
  decltype(&::op_channel_count) channel_count = nullptr;
  decltype(&::op_pcm_total) pcm_total = nullptr;
  decltype(&::op_read_float) read_float = nullptr;
  decltype(&::op_pcm_seek) pcm_seek = nullptr;
  decltype(&::op_set_decode_callback) set_decode_callback = nullptr;
};

TOpusFileApi Api;

constexpr uint32_t kRate = 48000;
// A granule position is a claim: a total past any real file is held where byte counts
// cannot overflow.
constexpr int64_t kMaxFrames = INT64_MAX / 1024;
// 120 ms, the longest packet, of eight channels: one call takes a whole packet of the
// usual layouts.
constexpr size_t kFloatsPerRead = 5760 * 8;
// A damaged file can report hole after hole; past this many in a row it has ended.
constexpr int kMaxHolesInARow = 64;

int16_t ToPcm16(float Value) {
  const float scaled = std::clamp(Value * 32768.0f, -32768.0f, 32767.0f);
  return static_cast<int16_t>(std::lrint(scaled));
}

void OpusToWavOrder(int16_t* Pcm, size_t Frames, uint32_t Channels) {
  if (Channels < 3 || Channels > 8 || Channels == 4) return;
  const auto& map = kOpusToWav[Channels];
  std::array<int16_t, 8> in{};
  for (size_t f = 0; f < Frames; ++f, Pcm += Channels) {
    std::copy(Pcm, Pcm + Channels, in.begin());
    for (uint32_t c = 0; c < Channels; ++c) Pcm[c] = in[map[c]];
  }
}

// A part of the source shown to the decoder as a whole file, to try one link alone.
struct TWindow {
  TStream* Stream;
  int64_t Begin, End;
};

struct TWindowCallbacks {
  static int Read(void* Window, unsigned char* Ptr, int Bytes) {
    auto* w = static_cast<TWindow*>(Window);
    if (Bytes < 0 || InterruptedHere()) return -1;
    try {
      const int64_t want = std::clamp<int64_t>(w->End - w->Stream->Position(), 0, Bytes);
      return static_cast<int>(w->Stream->Read(Ptr, want));
    } catch (...) {
      return -1;
    }
  }

  static int Seek(void* Window, opus_int64 Offset, int Whence) {
    auto* w = static_cast<TWindow*>(Window);
    try {
      int64_t to = Offset + w->Begin;
      if (Whence == SEEK_CUR) to = w->Stream->Position() + Offset;
      if (Whence == SEEK_END) to = w->End + Offset;
      if (to < w->Begin) return -1;
      return w->Stream->Seek(to, TSeekOrigin::soBeginning) < 0 ? -1 : 0;
    } catch (...) {
      return -1;
    }
  }

  static opus_int64 Tell(void* Window) {
    auto* w = static_cast<TWindow*>(Window);
    try {
      return w->Stream->Position() - w->Begin;
    } catch (...) {
      return -1;
    }
  }
};

}  // namespace

TCodecLibrary& OpusFileLibrary() {
  static TCodecLibrary library(
      {"libopusfile.so.0"},
      {"op_open_callbacks", "op_free", "op_seekable", "op_head", "op_tags", "op_channel_count",
       "op_pcm_total", "op_read_float", "op_pcm_seek", "op_set_decode_callback"});
  return library;
}

bool LoadOpusFileLibrary() {
  TCodecLibrary& library = OpusFileLibrary();
  if (!library.Load()) return false;
  // Published by the end of this call to every thread that gets here, whoever mapped the
  // library first.
  static std::once_flag filled;
  std::call_once(filled, [&library] {
    Api.open_callbacks = library.Function<decltype(Api.open_callbacks)>("op_open_callbacks");
    Api.free = library.Function<decltype(Api.free)>("op_free");
    Api.seekable = library.Function<decltype(Api.seekable)>("op_seekable");
    Api.head = library.Function<decltype(Api.head)>("op_head");
    Api.tags = library.Function<decltype(Api.tags)>("op_tags");
    Api.channel_count = library.Function<decltype(Api.channel_count)>("op_channel_count");
    Api.pcm_total = library.Function<decltype(Api.pcm_total)>("op_pcm_total");
    Api.read_float = library.Function<decltype(Api.read_float)>("op_read_float");
    Api.pcm_seek = library.Function<decltype(Api.pcm_seek)>("op_pcm_seek");
    Api.set_decode_callback =
        library.Function<decltype(Api.set_decode_callback)>("op_set_decode_callback");
  });
  return true;
}

// The decoder's data source is the input; no exception may cross back into the C library.
// The decoder never closes the stream: CloseSource releases it.
struct TOpusFileCallbacks {
  static int Read(void* Stream, unsigned char* Ptr, int Bytes) {
    auto* self = static_cast<TOpusIn*>(Stream);
    if (self->FStream == nullptr || Bytes < 0) return -1;
    if (InterruptedHere()) return -1;
    try {
      int64_t want = Bytes;
      if (self->FReadLimit >= 0)
        want = std::clamp<int64_t>(self->FReadLimit - self->FStream->Position(), 0, want);
      return static_cast<int>(self->FStream->Read(Ptr, want));
    } catch (...) {
      return -1;
    }
  }

  static int Seek(void* Stream, opus_int64 Offset, int Whence) {
    auto* self = static_cast<TOpusIn*>(Stream);
    if (self->FStream == nullptr) return -1;
    TSeekOrigin origin = TSeekOrigin::soBeginning;
    if (Whence == SEEK_CUR) origin = TSeekOrigin::soCurrent;
    if (Whence == SEEK_END) origin = TSeekOrigin::soEnd;
    try {
      if (origin == TSeekOrigin::soEnd && self->FReadLimit >= 0) {
        Offset += self->FReadLimit;
        origin = TSeekOrigin::soBeginning;
      }
      return self->FStream->Seek(Offset, origin) < 0 ? -1 : 0;
    } catch (...) {
      return -1;
    }
  }

  static opus_int64 Tell(void* Stream) {
    auto* self = static_cast<TOpusIn*>(Stream);
    if (self->FStream == nullptr) return -1;
    try {
      return self->FStream->Position();
    } catch (...) {
      return -1;
    }
  }
};

// Packets checked, not decoded: each must split into the link's streams as the decoder
// splits it; the audio is silence of the packet's length.
struct TOpusCheckOnly {
  static int Packet(void* Input, OpusMSDecoder* /*Decoder*/, void* Pcm, const ogg_packet* Op,
                    int Samples, int Channels, int Format, int Link) {
    auto* self = static_cast<TOpusIn*>(Input);
    const OpusHead* head = Api.head(self->FFile.get(), Link);
    if (head == nullptr || Op->bytes <= 0) return OPUS_INVALID_PACKET;
    // Unpadding rewrites the packet in place, so it works on a copy.
    self->FPacketCopy.assign(Op->packet, Op->packet + Op->bytes);
    if (self->FUnpad(self->FPacketCopy.data(), static_cast<opus_int32>(Op->bytes),
                     head->stream_count) < 0)
      return OPUS_INVALID_PACKET;
    const size_t count = static_cast<size_t>(Samples) * static_cast<size_t>(Channels);
    std::memset(Pcm, 0, count * (Format == OP_DEC_FORMAT_FLOAT ? sizeof(float) : sizeof(int16_t)));
    return 0;
  }
};

void TOpusIn::TFileDeleter::operator()(OggOpusFile* File) const {
  if (File != nullptr && Api.free != nullptr) Api.free(File);
}

TOpusIn::TOpusIn(TComponent* AOwner)
    : TAuTaggedFileIn(AOwner), FComments(std::make_unique<TVorbisTags>()) {}

TOpusIn::~TOpusIn() {
  try {
    TOpusIn::CloseSource();
  } catch (...) {
  }
}

void TOpusIn::OpenSource() {
  std::lock_guard lock(*OpenCS);
  if (FOpened != 0) return;
  const TInterruptibleScope opening;
  if (!LoadOpusFileLibrary()) throw EAuException(OpusFileLibrary().LoadFailureMessage());
  FValid = false;
  if (!FStreamAssigned) {
    try {
      OpenOwnStream();
    } catch (...) {
      throw EAuException("Failed to open stream");
    }
  }
  if (FStream == nullptr) throw EAuException("Failed to open stream");
  const OpusFileCallbacks callbacks = {&TOpusFileCallbacks::Read, &TOpusFileCallbacks::Seek,
                                       &TOpusFileCallbacks::Tell, nullptr};
  const auto open = [&] {
    FStream->Seek(0, TSeekOrigin::soBeginning);
    int code = 0;
    FFile.reset(Api.open_callbacks(this, &callbacks, nullptr, 0, &code));
    return code;
  };
  FReadLimit = -1;
  const int error = open();
  try {
    if (!FFile && InterruptedHere()) throw EAuException("Opening the file was interrupted");
    if (!FFile) {
      // A chain damaged or cut in a later link fails as a whole: open the links before that
      // one, as other decoders play them.
      const std::vector<int64_t> starts = OggLinkStarts(*FStream);
      const int64_t size = FStream->Size();
      const OpusFileCallbacks alone = {&TWindowCallbacks::Read, &TWindowCallbacks::Seek,
                                       &TWindowCallbacks::Tell, nullptr};
      int64_t limit = OggOpenablePrefix(starts, size, [&](int64_t Begin, int64_t End) {
        TWindow window{FStream, Begin, End};
        FStream->Seek(Begin, TSeekOrigin::soBeginning);
        OggOpusFile* probe = Api.open_callbacks(&window, &alone, nullptr, 0, nullptr);
        if (probe == nullptr) return false;
        Api.free(probe);
        return true;
      });
      // Links that each open but not together: the last one goes.
      if (limit == size) limit = starts.empty() ? 0 : starts.back();
      if (limit > 0) {
        FReadLimit = limit;
        open();
      }
      if (!FFile) FReadLimit = -1;
    }
  } catch (...) {
    ReleaseSourceStream();
    throw;
  }
  const OpusHead* head = FFile ? Api.head(FFile.get(), 0) : nullptr;
  if (!FFile || head == nullptr || head->channel_count <= 0) {
    FFile.reset();
    ReleaseSourceStream();
    throw EAuException("Failed to open an opus file: " + std::to_string(error));
  }
  FSeekable = Api.seekable(FFile.get()) != 0;
  if (!FDecodeAudio) {
    // Without the decoder's library (or an old one) the audio is decoded after all.
    FUnpad = LoadOpusEncLibrary()
                 ? OpusEncLibrary().Function<decltype(FUnpad)>("opus_multistream_packet_unpad")
                 : nullptr;
    if (FUnpad != nullptr && Api.set_decode_callback != nullptr)
      Api.set_decode_callback(FFile.get(), &TOpusCheckOnly::Packet, this);
  }
  FChan = static_cast<uint32_t>(head->channel_count);
  FOriginalRate = head->input_sample_rate;
  FSR = kRate;
  FBPS = 16;
  const ogg_int64_t total = FSeekable ? Api.pcm_total(FFile.get(), -1) : -1;
  FSize = total < 0 ? -1 : std::min<int64_t>(total, kMaxFrames) * 2 * FChan;

  FComments->Clear();
  if (const OpusTags* tags = Api.tags(FFile.get(), 0)) {
    for (int i = 0; i < tags->comments; ++i) {
      if (tags->user_comments[i] == nullptr) break;
      FComments->TakeComment(std::string_view(
          tags->user_comments[i], static_cast<size_t>(std::max(0, tags->comment_lengths[i]))));
    }
  }
  FComments->CopyTo(*FCommonTags);

  FValid = true;
  FDecoderEnded = false;
  FPending.clear();
  FPendingPos = 0;
  FOpened = FOpened + 1;
}

void TOpusIn::CloseSource() {
  std::lock_guard lock(*OpenCS);
  if (FOpened <= 0) return;
  FFile.reset();
  ReleaseSourceStream();
  FRemix.reset();
  FOpened = 0;
}

void TOpusIn::Decode() {
  FFloats.resize(kFloatsPerRead);
  for (int holes = 0; holes < kMaxHolesInARow; ++holes) {
    int link = -1;
    const int got =
        Api.read_float(FFile.get(), FFloats.data(), static_cast<int>(FFloats.size()), &link);
    // A lost or damaged page: its audio is dropped and decoding goes on, as elsewhere.
    if (got == OP_HOLE) continue;
    if (got <= 0) break;
    const int channels = Api.channel_count(FFile.get(), link);
    const OpusHead* head = Api.head(FFile.get(), link);
    if (channels <= 0 || head == nullptr) break;
    const auto frames = static_cast<size_t>(got);
    const auto count = static_cast<uint32_t>(channels);
    FLinkPcm.resize(frames * count);
    for (size_t i = 0; i < FLinkPcm.size(); ++i) FLinkPcm[i] = ToPcm16(FFloats[i]);
    if (head->mapping_family == 1) OpusToWavOrder(FLinkPcm.data(), frames, count);
    if (count == FChan) {
      FPending.insert(FPending.end(), FLinkPcm.begin(), FLinkPcm.end());
      return;
    }
    // A later link of a chain with another layout is mixed into the first link's.
    if (!FRemix || FRemix->InChannels() != count) FRemix = std::make_unique<TAuRemix>(count, FChan);
    FRemix->Process(FLinkPcm.data(), frames, FPending);
    return;
  }
  // The end, or damage the decoder cannot pass: what was decoded is all there is.
  FDecoderEnded = true;
}

void TOpusIn::ProduceData(void*& Buffer, uint32_t& Bytes) {
  if (!Busy) throw EAuException("The Stream is not opened");
  if (BufStart > BufEnd) {
    BufStart = 1;
    BufEnd = 0;
    const uint32_t frame = 2 * FChan;
    const uint32_t room = kBufSize - kBufSize % frame;
    while (BufEnd < room) {
      if (FPendingPos < FPending.size()) {
        BufEnd += MovePending(FPending, FPendingPos, buf.data() + BufEnd, room - BufEnd);
      } else if (FDecoderEnded) {
        break;
      } else {
        Decode();
      }
      // Nothing past the range's end, which FillBufferUnprotected would not clip.
      if (FEndSample != -1 && FSize > 0 && FPosition + BufEnd >= FSize) {
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
  Bytes -= Bytes % (2 * FChan);
  Buffer = buf.data() + (BufStart - 1);
  BufStart += Bytes;
}

bool TOpusIn::SeekToSample(int64_t& SampleNum) {
  OpenSource();
  const int sought = Api.pcm_seek(FFile.get(), SampleNum);
  BufStart = 1;
  BufEnd = 0;
  FDecoderEnded = false;
  FPending.clear();
  FPendingPos = 0;
  return sought == 0;
}

TVorbisTags* TOpusIn::Comments() {
  OpenSource();
  return FComments.get();
}

uint32_t TOpusIn::OriginalSampleRate() {
  OpenSource();
  return FOriginalRate;
}

}  // namespace tunevert
