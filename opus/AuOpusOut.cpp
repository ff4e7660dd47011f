// The binding to libopus and the Opus output over it, which pages the packets into Ogg
// itself. libopus's multistream calls detect the processor's features on every call, which
// costs microseconds a call in a virtual machine: mono and stereo go through the plain
// encoder, and the resampling and paging are done here without per-frame library calls.
#include <opus/opus.h>
#include <opus/opus_multistream.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <vector>

#include "opus/AuOpus.h"
#include "pipeline/AuResampler.h"
#include "platform/AuFileStream.h"
#include "platform/LittleEndian.h"
#include "tags/VorbisComments.h"
#include "vorbis/OggLinks.h"

namespace tunevert {

namespace {

struct TOpusEncApi {
  decltype(&::opus_encoder_create) create = nullptr;
  decltype(&::opus_encode_float) encode = nullptr;
  decltype(&::opus_encoder_ctl) ctl = nullptr;
  decltype(&::opus_encoder_destroy) destroy = nullptr;
  decltype(&::opus_multistream_surround_encoder_create) ms_create = nullptr;
  decltype(&::opus_multistream_encode_float) ms_encode = nullptr;
  decltype(&::opus_multistream_encoder_ctl) ms_ctl = nullptr;
  decltype(&::opus_multistream_encoder_destroy) ms_destroy = nullptr;
  decltype(&::opus_get_version_string) version = nullptr;
  decltype(&::opus_strerror) strerror = nullptr;
};

TOpusEncApi Api;

constexpr uint32_t kRate = 48000;
// 20 ms, the frame every common encoder uses for music.
constexpr uint32_t kFrame = 960;
// Frames taken from the input per block: a few of the encoder's frames.
constexpr uint32_t kBlockFrames = 4096;
// Room for one packet per stream: the library's own suggestion.
constexpr size_t kPacketRoom = 4000;
// Room after the comments, so that a tag editor can grow them without rewriting the file.
constexpr size_t kCommentPadding = 512;
// A page holds up to a second of audio: seeking reads little, the overhead stays below 1%.
constexpr int64_t kPageSpan = kRate;

[[noreturn]] void WriteFailed() {
  throw EAuException("Error writing down opus file");
}

// The input's WAV channel order as the stream's: stream channel Map[j] takes WAV channel j.
void ToFloats(const uint8_t* In, uint32_t Frames, uint32_t Channels, uint32_t Bits, bool Reorder,
              float* Out) {
  const uint32_t bytes = Bits / 8;
  const uint8_t* map = Reorder ? kOpusToWav[Channels].data() : nullptr;
  for (uint32_t f = 0; f < Frames; ++f, Out += Channels) {
    for (uint32_t c = 0; c < Channels; ++c, In += bytes) {
      float v = 0;
      switch (Bits) {
        case 8:
          v = static_cast<float>(In[0] - 128) / 128.0f;
          break;
        case 16:
          v = static_cast<float>(static_cast<int16_t>(static_cast<uint16_t>(In[0] | In[1] << 8))) /
              32768.0f;
          break;
        case 24:
          v = static_cast<float>(
                  static_cast<int32_t>(static_cast<uint32_t>(In[0] << 8 | In[1] << 16 |
                                                             static_cast<uint32_t>(In[2]) << 24)) >>
                  8) /
              8388608.0f;
          break;
        default:
          v = static_cast<float>(static_cast<int32_t>(In[0] | In[1] << 8 | In[2] << 16 |
                                                      static_cast<uint32_t>(In[3]) << 24)) /
              2147483648.0f;
          break;
      }
      Out[map != nullptr ? map[c] : c] = v;
    }
  }
}

// The carried tags as the comment header, with the library's name as vendor.
std::vector<uint8_t> CommentPacket(const TCarriedTags& Tags) {
  const std::vector<std::string> comments = OggComments(Tags);
  const std::string vendor = Api.version();
  uint64_t total = 16 + vendor.size() + kCommentPadding;
  for (const std::string& comment : comments) total += 4 + comment.size();
  // Readers take the packet's lengths as signed 32-bit numbers.
  if (total > INT32_MAX - 1024) throw EAuException("The tags do not fit in an Opus comment header");
  static constexpr char kMagic[] = "OpusTags";
  std::vector<uint8_t> packet(kMagic, kMagic + 8);
  packet.reserve(total);
  AppendLE32(packet, static_cast<uint32_t>(vendor.size()));
  packet.insert(packet.end(), vendor.begin(), vendor.end());
  AppendLE32(packet, static_cast<uint32_t>(comments.size()));
  for (const std::string& comment : comments) {
    AppendLE32(packet, static_cast<uint32_t>(comment.size()));
    packet.insert(packet.end(), comment.begin(), comment.end());
  }
  // Zeros after the comments: the first byte's low bit clear marks them as padding.
  packet.resize(packet.size() + kCommentPadding, 0);
  return packet;
}

// Packs packets into the pages of one logical stream and writes each page whole.
class TOggPager {
 public:
  TOggPager(TStream& Out, uint32_t Serial) : FOut(Out), FSerial(Serial) {}

  // A packet ending at Granule; a page closes first when the packet would not fit it or
  // the page already spans a second. Packets of 255 segments and more continue on the next.
  void Add(const uint8_t* Data, size_t Bytes, int64_t Granule) {
    if (!FLacing.empty() &&
        (FLacing.size() + Bytes / 255 + 1 > 255 || Granule - FPageStart > kPageSpan))
      Emit(false);
    for (;;) {
      if (FLacing.size() == 255) Emit(false);
      const size_t take = std::min<size_t>(Bytes, 255);
      FLacing.push_back(static_cast<uint8_t>(take));
      FBody.insert(FBody.end(), Data, Data + take);
      Data += take;
      Bytes -= take;
      if (take < 255) break;
    }
    FGranule = Granule;
  }

  // Closes the page; Last marks the stream's end on it.
  void Flush(bool Last) {
    if (!FLacing.empty() || Last) Emit(Last);
  }

 private:
  void Emit(bool Last) {
    FPage.assign({'O', 'g', 'g', 'S', 0});
    FPage.push_back(
        static_cast<uint8_t>((FContinued ? 1 : 0) | (FPageNo == 0 ? 2 : 0) | (Last ? 4 : 0)));
    const auto granule = static_cast<uint64_t>(FGranule);
    AppendLE32(FPage, static_cast<uint32_t>(granule));
    AppendLE32(FPage, static_cast<uint32_t>(granule >> 32));
    AppendLE32(FPage, FSerial);
    AppendLE32(FPage, FPageNo++);
    AppendLE32(FPage, 0);
    FPage.push_back(static_cast<uint8_t>(FLacing.size()));
    FPage.insert(FPage.end(), FLacing.begin(), FLacing.end());
    FPage.insert(FPage.end(), FBody.begin(), FBody.end());
    const uint32_t crc = OggPageChecksum(FPage.data(), FPage.size());
    for (int b = 0; b < 4; ++b) FPage[22 + b] = static_cast<uint8_t>(crc >> (8 * b));
    const auto size = static_cast<int64_t>(FPage.size());
    if (FOut.Write(FPage.data(), size) != size) WriteFailed();
    // A page that ends inside a packet has no granule of its own, and the next continues it.
    FContinued = !FLacing.empty() && FLacing.back() == 255;
    if (FGranule >= 0) FPageStart = FGranule;
    FGranule = -1;
    FLacing.clear();
    FBody.clear();
  }

  TStream& FOut;
  uint32_t FSerial;
  uint32_t FPageNo = 0;
  bool FContinued = false;
  int64_t FGranule = -1;   // of the last packet that ends on the page
  int64_t FPageStart = 0;  // the granule the page's audio starts at
  std::vector<uint8_t> FLacing, FBody, FPage;
};

}  // namespace

// One run's encoder, resampler and pages.
struct TOpusOut::TWriter {
  OpusEncoder* Plain = nullptr;
  OpusMSEncoder* Multi = nullptr;
  std::unique_ptr<TAuResampler> Resampler;
  std::unique_ptr<TOggPager> Pager;
  uint32_t Channels = 0;
  uint32_t InRate = 0;
  int64_t FramesIn = 0;  // input frames taken, at the input's rate
  int64_t Encoded = 0;   // 48 kHz frames given to the encoder, the pre-skip included
  int64_t PreSkip = 0;
  std::vector<float> Pending;  // 48 kHz frames not encoded yet, from PendingPos on
  size_t PendingPos = 0;
  std::vector<float> Resampled;
  std::vector<float> Frame;
  std::vector<uint8_t> Packet;

  ~TWriter() {
    if (Plain != nullptr) Api.destroy(Plain);
    if (Multi != nullptr) Api.ms_destroy(Multi);
  }

  template <class... TArgs>
  int Ctl(int Request, TArgs... Args) {
    return Plain != nullptr ? Api.ctl(Plain, Request, Args...)
                            : Api.ms_ctl(Multi, Request, Args...);
  }

  void Check(int Code, const char* What) {
    if (Code < 0)
      throw EAuException(std::string("Opus encoder error (") + What + "): " + Api.strerror(Code));
  }

  // Encodes one frame of 48 kHz audio ending the stream's audio at EndGranule (-1: not yet).
  void EncodeFrame(const float* Pcm, int64_t EndGranule) {
    const int bytes = Plain != nullptr ? Api.encode(Plain, Pcm, kFrame, Packet.data(),
                                                    static_cast<opus_int32>(Packet.size()))
                                       : Api.ms_encode(Multi, Pcm, kFrame, Packet.data(),
                                                       static_cast<opus_int32>(Packet.size()));
    Check(bytes, "encode");
    Encoded += kFrame;
    const int64_t granule = EndGranule >= 0 ? std::min(Encoded, EndGranule) : Encoded;
    Pager->Add(Packet.data(), static_cast<size_t>(bytes), granule);
  }

  // Takes 48 kHz audio in; encodes every whole frame.
  void Take(const float* Pcm, size_t Frames) {
    Pending.insert(Pending.end(), Pcm, Pcm + Frames * Channels);
    const size_t frameSamples = size_t{kFrame} * Channels;
    while (Pending.size() - PendingPos >= frameSamples) {
      EncodeFrame(Pending.data() + PendingPos, -1);
      PendingPos += frameSamples;
    }
    Pending.erase(Pending.begin(), Pending.begin() + static_cast<ptrdiff_t>(PendingPos));
    PendingPos = 0;
  }

  // Encodes the rest, padded with silence past the input's end and the encoder's delay, and
  // ends the stream where the input's audio ends.
  void Finish() {
    if (Resampler) {
      Resampled.clear();
      Resampler->Flush(Resampled);
      Take(Resampled.data(), Resampled.size() / Channels);
    }
    // Rounded up: a decoder that returns to the input's rate rounds down.
    const int64_t frames48 = InRate == kRate ? FramesIn : (FramesIn * kRate + InRate - 1) / InRate;
    const int64_t end = frames48 + PreSkip;
    Frame.assign(size_t{kFrame} * Channels, 0.0f);
    std::copy(Pending.begin(), Pending.end(), Frame.begin());
    Pending.clear();
    do {
      EncodeFrame(Frame.data(), end);
      std::fill(Frame.begin(), Frame.end(), 0.0f);
    } while (Encoded < end);
    Pager->Flush(true);
  }
};

TCodecLibrary& OpusEncLibrary() {
  static TCodecLibrary library(
      {"libopus.so.0"},
      {"opus_encoder_create", "opus_encode_float", "opus_encoder_ctl", "opus_encoder_destroy",
       "opus_multistream_surround_encoder_create", "opus_multistream_encode_float",
       "opus_multistream_encoder_ctl", "opus_multistream_encoder_destroy",
       "opus_get_version_string", "opus_strerror", "opus_multistream_packet_unpad"});
  return library;
}

bool LoadOpusEncLibrary() {
  TCodecLibrary& library = OpusEncLibrary();
  if (!library.Load()) return false;
  static std::once_flag filled;
  std::call_once(filled, [&library] {
    Api.create = library.Function<decltype(Api.create)>("opus_encoder_create");
    Api.encode = library.Function<decltype(Api.encode)>("opus_encode_float");
    Api.ctl = library.Function<decltype(Api.ctl)>("opus_encoder_ctl");
    Api.destroy = library.Function<decltype(Api.destroy)>("opus_encoder_destroy");
    Api.ms_create =
        library.Function<decltype(Api.ms_create)>("opus_multistream_surround_encoder_create");
    Api.ms_encode = library.Function<decltype(Api.ms_encode)>("opus_multistream_encode_float");
    Api.ms_ctl = library.Function<decltype(Api.ms_ctl)>("opus_multistream_encoder_ctl");
    Api.ms_destroy = library.Function<decltype(Api.ms_destroy)>("opus_multistream_encoder_destroy");
    Api.version = library.Function<decltype(Api.version)>("opus_get_version_string");
    Api.strerror = library.Function<decltype(Api.strerror)>("opus_strerror");
  });
  return true;
}

const std::vector<uint32_t>& TOpusOut::BitratesKbps() {
  static const std::vector<uint32_t> kList = {6,  8,  12,  16,  24,  32,  48,  64,
                                              80, 96, 112, 128, 160, 192, 224, 256};
  return kList;
}

// The library loads with the first run: a program that owns this output but converts to
// other formats never maps it.
TOpusOut::TOpusOut(TComponent* AOwner) : TAuFileOut(AOwner) {}

TOpusOut::~TOpusOut() = default;

void TOpusOut::SetBitrateKbps(uint32_t Value) {
  FBitrateKbps = std::clamp(Value, kMinKbps, kMaxKbps);
}

void TOpusOut::SetComplexity(int32_t Value) {
  FComplexity = std::clamp(Value, 0, 10);
}

void TOpusOut::ReleaseAll(bool Finished) {
  FWriter.reset();
  FBlock = {};
  FFloats = {};
  if (!FOwnStream) return;
  const std::unique_ptr<TAuFileStream> stream = std::move(FOwnStream);
  FStream = nullptr;
  if (Finished) stream->Close();
}

void TOpusOut::PrepareOutput() {
  FInputOpen = false;
  FPrepared = false;
  if (!LoadOpusEncLibrary()) throw EAuException(OpusEncLibrary().LoadFailureMessage());
  if (!FStreamAssigned) {
    if (FWideFileName.empty()) throw EAuException("File name is not assigned.");
    FOwnStream = std::make_unique<TAuFileStream>(FWideFileName, FShareMode | 0xFF00);
    FStream = FOwnStream.get();
  }
  // A failed start is flushed as well, which ends whatever half-started pass it left.
  FInputOpen = true;
  FInput->Init();
  FInChannels = FInput->Channels();
  FInBits = FInput->BitsPerSample();
  const uint32_t rate = FInput->SampleRate();
  if (FInChannels == 0 || FInChannels > 255 ||
      (FInBits != 8 && FInBits != 16 && FInBits != 24 && FInBits != 32) || rate == 0)
    throw EAuException("The Opus encoder takes 1 to 255 channels of 8-, 16-, 24- or 32-bit PCM");
  const int family = FInChannels <= 2 ? 0 : FInChannels <= 8 ? 1 : 255;

  auto writer = std::make_unique<TWriter>();
  TWriter& w = *writer;
  w.Channels = FInChannels;
  w.InRate = rate;
  int error = OPUS_OK;
  int streams = 1;
  int coupled = FInChannels == 2 ? 1 : 0;
  std::array<uint8_t, 255> mapping{};
  if (family == 0) {
    w.Plain = Api.create(kRate, static_cast<int>(FInChannels), OPUS_APPLICATION_AUDIO, &error);
  } else {
    w.Multi = Api.ms_create(kRate, static_cast<int>(FInChannels), family, &streams, &coupled,
                            mapping.data(), OPUS_APPLICATION_AUDIO, &error);
  }
  if (w.Plain == nullptr && w.Multi == nullptr)
    w.Check(error < 0 ? error : OPUS_ALLOC_FAIL, "start");
  w.Check(w.Ctl(OPUS_SET_BITRATE(static_cast<opus_int32>(FBitrateKbps * 1000))), "bitrate");
  w.Check(w.Ctl(OPUS_SET_VBR(FVBR == TOpusVBR::ovCBR ? 0 : 1)), "VBR");
  w.Check(w.Ctl(OPUS_SET_VBR_CONSTRAINT(FVBR == TOpusVBR::ovConstrainedVBR ? 1 : 0)), "VBR");
  w.Check(w.Ctl(OPUS_SET_COMPLEXITY(FComplexity)), "complexity");
  opus_int32 lookahead = 0;
  w.Check(w.Ctl(OPUS_GET_LOOKAHEAD(&lookahead)), "start");
  w.PreSkip = lookahead;
  w.Packet.resize(kPacketRoom * static_cast<size_t>(streams));
  if (rate != kRate)
    w.Resampler =
        std::make_unique<TAuResampler>(FInChannels, rate, kRate, TResampleQuality::rqHigh);

  std::vector<uint8_t> head = {'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1};
  head.push_back(static_cast<uint8_t>(FInChannels));
  AppendLE16(head, static_cast<uint32_t>(lookahead));
  AppendLE32(head, FOriginalRate != 0 ? FOriginalRate : rate);
  AppendLE16(head, static_cast<uint16_t>(HeaderGainQ78()));  // output gain
  head.push_back(static_cast<uint8_t>(family));
  if (family != 0) {
    head.push_back(static_cast<uint8_t>(streams));
    head.push_back(static_cast<uint8_t>(coupled));
    head.insert(head.end(), mapping.begin(), mapping.begin() + FInChannels);
  }
  const std::vector<uint8_t> comments = CommentPacket(RunTags());
  // Serial numbers from the process's generator, as other Ogg writers here take them.
  w.Pager = std::make_unique<TOggPager>(*FStream, static_cast<uint32_t>(rand()));
  FWriter = std::move(writer);
  w.Pager->Add(head.data(), head.size(), 0);
  w.Pager->Flush(false);
  w.Pager->Add(comments.data(), comments.size(), 0);
  w.Pager->Flush(false);
  FBlock.resize(size_t{kBlockFrames} * FInChannels * (FInBits / 8));
  FFloats.resize(size_t{kBlockFrames} * FInChannels);
  FPrepared = true;
}

bool TOpusOut::OutputBlock(bool Abort) {
  if (!CanOutput) return true;
  if (Abort) return false;
  bool eof = false;
  const uint32_t frameBytes = FInChannels * (FInBits / 8);
  const uint32_t n = FInput->FillBuffer(FBlock.data(), static_cast<uint32_t>(FBlock.size()), eof);
  const uint32_t frames = n / frameBytes;
  if (frames == 0) return false;
  ToFloats(FBlock.data(), frames, FInChannels, FInBits, FInChannels >= 3 && FInChannels <= 8,
           FFloats.data());
  TWriter& w = *FWriter;
  w.FramesIn += frames;
  if (w.Resampler) {
    w.Resampled.clear();
    w.Resampler->Process(FFloats.data(), frames, w.Resampled);
    w.Take(w.Resampled.data(), w.Resampled.size() / FInChannels);
  } else {
    w.Take(FFloats.data(), frames);
  }
  return !eof;
}

void TOpusOut::FinishOutput() {
  std::exception_ptr failure;
  // Only a run whose set-up went through has a stream to end; a stopped run still ends its
  // file properly.
  if (FWriter && FPrepared) {
    try {
      FWriter->Finish();
    } catch (...) {
      failure = std::current_exception();
    }
  }
  const bool finished = FWriter && FPrepared && !failure;
  FPrepared = false;
  try {
    ReleaseAll(finished);
  } catch (...) {
    failure = std::current_exception();
  }
  if (FInputOpen) {
    FInputOpen = false;
    try {
      FInput->Flush();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace tunevert
