// The Ogg Vorbis output over libvorbisenc, libvorbis and libogg, loaded with the Vorbis
// input's loaders.
#include "vorbis/AuVorbisOut.h"

#include <ogg/ogg.h>
#include <vorbis/codec.h>
#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <random>

#include "platform/AuFileStream.h"
#include "platform/LittleEndian.h"
#include "tags/VorbisComments.h"
#include "vorbis/VorbisChannelOrder.h"
#include "vorbis/VorbisLibs.h"

namespace tunevert {

namespace {

// The encoding calls the output makes, typed from the libraries' own headers.
struct TVorbisEncApi {
  decltype(&::ogg_stream_init) stream_init = nullptr;
  decltype(&::ogg_stream_clear) stream_clear = nullptr;
  decltype(&::ogg_stream_packetin) stream_packetin = nullptr;
  decltype(&::ogg_stream_pageout) stream_pageout = nullptr;
  decltype(&::ogg_stream_flush) stream_flush = nullptr;
  decltype(&::vorbis_info_init) info_init = nullptr;
  decltype(&::vorbis_info_clear) info_clear = nullptr;
  decltype(&::vorbis_comment_init) comment_init = nullptr;
  decltype(&::vorbis_comment_clear) comment_clear = nullptr;
  decltype(&::vorbis_analysis_init) analysis_init = nullptr;
  decltype(&::vorbis_block_init) block_init = nullptr;
  decltype(&::vorbis_block_clear) block_clear = nullptr;
  decltype(&::vorbis_dsp_clear) dsp_clear = nullptr;
  decltype(&::vorbis_analysis_headerout) analysis_headerout = nullptr;
  decltype(&::vorbis_analysis_buffer) analysis_buffer = nullptr;
  decltype(&::vorbis_analysis_wrote) analysis_wrote = nullptr;
  decltype(&::vorbis_analysis_blockout) analysis_blockout = nullptr;
  decltype(&::vorbis_analysis) analysis = nullptr;
  decltype(&::vorbis_bitrate_addblock) bitrate_addblock = nullptr;
  decltype(&::vorbis_bitrate_flushpacket) bitrate_flushpacket = nullptr;
  decltype(&::vorbis_encode_init) encode_init = nullptr;
  decltype(&::vorbis_encode_init_vbr) encode_init_vbr = nullptr;
};

TVorbisEncApi V;

// Loads the three libraries encoding needs; the message names the first one missing.
void LoadEncoderLibraries() {
  const bool loaded[] = {LoadOggLibrary(), LoadVorbisLibrary(), LoadVorbisEncLibrary()};
  TCodecLibrary* libraries[] = {&OggLibrary(), &VorbisLibrary(), &VorbisEncLibrary()};
  for (size_t i = 0; i < std::size(loaded); ++i)
    if (!loaded[i]) throw EAuException(libraries[i]->LoadFailureMessage());
  static std::once_flag filled;
  std::call_once(filled, [] {
    const TCodecLibrary& ogg = OggLibrary();
    const TCodecLibrary& vorbis = VorbisLibrary();
    const TCodecLibrary& enc = VorbisEncLibrary();
    V.stream_init = ogg.Function<decltype(V.stream_init)>("ogg_stream_init");
    V.stream_clear = ogg.Function<decltype(V.stream_clear)>("ogg_stream_clear");
    V.stream_packetin = ogg.Function<decltype(V.stream_packetin)>("ogg_stream_packetin");
    V.stream_pageout = ogg.Function<decltype(V.stream_pageout)>("ogg_stream_pageout");
    V.stream_flush = ogg.Function<decltype(V.stream_flush)>("ogg_stream_flush");
    V.info_init = vorbis.Function<decltype(V.info_init)>("vorbis_info_init");
    V.info_clear = vorbis.Function<decltype(V.info_clear)>("vorbis_info_clear");
    V.comment_init = vorbis.Function<decltype(V.comment_init)>("vorbis_comment_init");
    V.comment_clear = vorbis.Function<decltype(V.comment_clear)>("vorbis_comment_clear");
    V.analysis_init = vorbis.Function<decltype(V.analysis_init)>("vorbis_analysis_init");
    V.block_init = vorbis.Function<decltype(V.block_init)>("vorbis_block_init");
    V.block_clear = vorbis.Function<decltype(V.block_clear)>("vorbis_block_clear");
    V.dsp_clear = vorbis.Function<decltype(V.dsp_clear)>("vorbis_dsp_clear");
    V.analysis_headerout =
        vorbis.Function<decltype(V.analysis_headerout)>("vorbis_analysis_headerout");
    V.analysis_buffer = vorbis.Function<decltype(V.analysis_buffer)>("vorbis_analysis_buffer");
    V.analysis_wrote = vorbis.Function<decltype(V.analysis_wrote)>("vorbis_analysis_wrote");
    V.analysis_blockout =
        vorbis.Function<decltype(V.analysis_blockout)>("vorbis_analysis_blockout");
    V.analysis = vorbis.Function<decltype(V.analysis)>("vorbis_analysis");
    V.bitrate_addblock = vorbis.Function<decltype(V.bitrate_addblock)>("vorbis_bitrate_addblock");
    V.bitrate_flushpacket =
        vorbis.Function<decltype(V.bitrate_flushpacket)>("vorbis_bitrate_flushpacket");
    V.encode_init = enc.Function<decltype(V.encode_init)>("vorbis_encode_init");
    V.encode_init_vbr = enc.Function<decltype(V.encode_init_vbr)>("vorbis_encode_init_vbr");
  });
  if (V.encode_init == nullptr || V.encode_init_vbr == nullptr || V.analysis == nullptr ||
      V.stream_pageout == nullptr)
    throw EAuException(VorbisEncLibrary().FileName() + " lacks the encoder's entry points.");
}

constexpr uint32_t kBlockFrames = 4096;

// The comment header with the carried tags, each comment with its length (a value may hold any
// byte), after the vendor string of the header the library made. Made here in one pass: the
// library's packer grows its buffer a few hundred bytes at a time, which takes minutes for a
// header with large pictures.
std::string CommentHeader(const ogg_packet& Made, const TCarriedTags& Tags) {
  const auto* made = reinterpret_cast<const char*>(Made.packet);
  const auto madeBytes = static_cast<size_t>(Made.bytes);
  if (madeBytes < 11 || std::memcmp(made, "\x03vorbis", 7) != 0)
    throw EAuException("The Vorbis encoder made no comment header");
  const uint32_t vendor = ReadLE32(Made.packet + 7);
  if (vendor > madeBytes - 11) throw EAuException("The Vorbis encoder made no comment header");
  const std::vector<std::string> comments = OggComments(Tags);
  size_t size = 11 + vendor + 4 + 1;
  for (const std::string& comment : comments) size += 4 + comment.size();
  // Readers take the packet's lengths as signed 32-bit numbers.
  if (size > INT32_MAX) throw EAuException("The tags do not fit in an Ogg Vorbis comment header");
  std::string header;
  header.reserve(size);
  header.append(made, 11 + vendor);
  AppendLE32(header, comments.size());
  for (const std::string& comment : comments) {
    AppendLE32(header, comment.size());
    header.append(comment);
  }
  header += '\x01';  // the framing bit
  return header;
}

}  // namespace

// The libraries' encoder states, cleared in the reverse order of their set-up.
struct TVorbisOut::TEncoder {
  vorbis_info Info{};
  vorbis_comment Comment{};
  vorbis_dsp_state Dsp{};
  vorbis_block Block{};
  ogg_stream_state Ogg{};
  bool HaveInfo = false, HaveComment = false, HaveDsp = false, HaveBlock = false, HaveOgg = false;

  ~TEncoder() {
    if (HaveOgg) V.stream_clear(&Ogg);
    if (HaveBlock) V.block_clear(&Block);
    if (HaveDsp) V.dsp_clear(&Dsp);
    if (HaveComment) V.comment_clear(&Comment);
    if (HaveInfo) V.info_clear(&Info);
  }
};

TVorbisOut::TVorbisOut(TComponent* AOwner) : TAuTaggedFileOut(AOwner) {}

TVorbisOut::~TVorbisOut() = default;

void TVorbisOut::SetQuality(double Value) {
  FQuality = std::clamp(Value, -1.0, 10.0);
}

void TVorbisOut::ReleaseStream(bool Finished) {
  if (!FOwnStream) return;
  const std::unique_ptr<TAuFileStream> stream = std::move(FOwnStream);
  FStream = nullptr;
  if (Finished) stream->Close();
}

void TVorbisOut::WritePages(bool Flush) {
  ogg_page page;
  while ((Flush ? V.stream_flush : V.stream_pageout)(&FEncoder->Ogg, &page) != 0) {
    if (FStream->Write(page.header, page.header_len) != page.header_len ||
        FStream->Write(page.body, page.body_len) != page.body_len)
      throw EAuException("Error writing down Ogg Vorbis file");
  }
}

void TVorbisOut::Drain() {
  TEncoder& e = *FEncoder;
  ogg_packet packet;
  while (V.analysis_blockout(&e.Dsp, &e.Block) == 1) {
    V.analysis(&e.Block, nullptr);
    V.bitrate_addblock(&e.Block);
    while (V.bitrate_flushpacket(&e.Dsp, &packet) == 1) {
      V.stream_packetin(&e.Ogg, &packet);
      WritePages(false);
    }
  }
}

void TVorbisOut::PrepareOutput() {
  FEncoder.reset();
  LoadEncoderLibraries();
  if (!FStreamAssigned) {
    if (FWideFileName.empty()) throw EAuException("File name is not assigned.");
    FOwnStream = std::make_unique<TAuFileStream>(FWideFileName, FShareMode | 0xFF00);
    FStream = FOwnStream.get();
  }
  FInput->Init();
  FInChannels = FInput->Channels();
  FInBits = FInput->BitsPerSample();
  const uint32_t rate = FInput->SampleRate();
  if (FInChannels < 1 || FInChannels > 8)
    throw EAuException("Ogg Vorbis output takes 1 to 8 channels, not " +
                       std::to_string(FInChannels));
  if (FInBits != 8 && FInBits != 16 && FInBits != 24 && FInBits != 32)
    throw EAuException("The Vorbis encoder takes 8-, 16-, 24- or 32-bit PCM input");

  auto e = std::make_unique<TEncoder>();
  V.info_init(&e->Info);
  e->HaveInfo = true;
  const auto channels = static_cast<long>(FInChannels);
  const int set = FBitrateKbps != 0 ? V.encode_init(&e->Info, channels, static_cast<long>(rate), -1,
                                                    static_cast<long>(FBitrateKbps) * 1000, -1)
                                    : V.encode_init_vbr(&e->Info, channels, static_cast<long>(rate),
                                                        static_cast<float>(FQuality / 10));
  if (set != 0) {
    const std::string what = FBitrateKbps != 0 ? std::to_string(FBitrateKbps) + " kbit/s"
                                               : "quality " + std::to_string(FQuality);
    throw EAuException("The Vorbis encoder cannot encode " + std::to_string(FInChannels) +
                       " channels at " + std::to_string(rate) + " Hz with " + what + " (error " +
                       std::to_string(set) + ")");
  }
  V.comment_init(&e->Comment);
  e->HaveComment = true;
  if (V.analysis_init(&e->Dsp, &e->Info) != 0)
    throw EAuException("Failed to set up the Vorbis encoder");
  e->HaveDsp = true;
  V.block_init(&e->Dsp, &e->Block);
  e->HaveBlock = true;
  // A serial number of its own, so that the file can be chained with others.
  std::random_device random;
  V.stream_init(&e->Ogg, static_cast<int>(random() & 0x7FFFFFFF));
  e->HaveOgg = true;
  FEncoder = std::move(e);

  ogg_packet id, comment, codebooks;
  if (V.analysis_headerout(&FEncoder->Dsp, &FEncoder->Comment, &id, &comment, &codebooks) != 0)
    throw EAuException("The Vorbis encoder could not make its headers");
  std::string tagged = CommentHeader(comment, RunTags());
  comment.packet = reinterpret_cast<unsigned char*>(tagged.data());
  comment.bytes = static_cast<long>(tagged.size());
  V.stream_packetin(&FEncoder->Ogg, &id);
  V.stream_packetin(&FEncoder->Ogg, &comment);
  V.stream_packetin(&FEncoder->Ogg, &codebooks);
  // The audio starts on a page of its own, as the format asks.
  WritePages(true);
  FBuffer.resize(size_t{kBlockFrames} * FInChannels * (FInBits / 8));
}

bool TVorbisOut::OutputBlock(bool Abort) {
  if (!CanOutput) return true;
  if (Abort) return false;
  bool eof = false;
  const uint32_t bytes = FInBits / 8;
  const uint32_t frameBytes = FInChannels * bytes;
  const uint32_t n = FInput->FillBuffer(FBuffer.data(), static_cast<uint32_t>(FBuffer.size()), eof);
  const uint32_t frames = n / frameBytes;
  if (frames == 0) return false;
  float** planes = V.analysis_buffer(&FEncoder->Dsp, static_cast<int>(frames));
  const auto& order = kVorbisToWav[FInChannels];
  for (uint32_t c = 0; c < FInChannels; ++c) {
    float* out = planes[order[c]];
    const uint8_t* p = FBuffer.data() + c * bytes;
    switch (FInBits) {
      case 8:
        for (uint32_t f = 0; f < frames; ++f, p += frameBytes) out[f] = (p[0] - 128) / 128.0f;
        break;
      case 16:
        for (uint32_t f = 0; f < frames; ++f, p += frameBytes)
          out[f] = static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8)) / 32768.0f;
        break;
      case 24:
        for (uint32_t f = 0; f < frames; ++f, p += frameBytes)
          out[f] = static_cast<float>(static_cast<int32_t>(static_cast<uint32_t>(p[0]) << 8 |
                                                           static_cast<uint32_t>(p[1]) << 16 |
                                                           static_cast<uint32_t>(p[2]) << 24) /
                                      2147483648.0);
        break;
      default:
        for (uint32_t f = 0; f < frames; ++f, p += frameBytes) {
          int32_t v;
          std::memcpy(&v, p, 4);
          out[f] = static_cast<float>(v / 2147483648.0);
        }
        break;
    }
  }
  V.analysis_wrote(&FEncoder->Dsp, static_cast<int>(frames));
  Drain();
  return !eof;
}

void TVorbisOut::FinishOutput() {
  std::exception_ptr failure;
  if (FEncoder && FEncoder->HaveOgg && FStream != nullptr) {
    try {
      // The end of the audio: the encoder emits its last packets, the final page is marked.
      V.analysis_wrote(&FEncoder->Dsp, 0);
      Drain();
      WritePages(true);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  const bool finished = FEncoder && FEncoder->HaveOgg && !failure;
  FEncoder.reset();
  FBuffer = {};
  try {
    ReleaseStream(finished);
  } catch (...) {
    failure = std::current_exception();
  }
  try {
    FInput->Flush();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace tunevert
