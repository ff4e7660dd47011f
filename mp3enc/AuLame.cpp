#include "mp3enc/AuLame.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <exception>

#include "platform/AuFileStream.h"
#include "platform/Text.h"

namespace tunevert {

namespace {

constexpr std::array<uint32_t, 16> kKbps = {0,   32,  40,  48,  56,  64,  80,  96,
                                            112, 128, 144, 160, 192, 224, 256, 320};

constexpr double kM3dB = 0.70710678118654752;
using TDownmix = std::array<std::array<double, 2>, 8>;

// Each side's weights scaled to sum to 1: a signal at full scale on every channel at once
// comes out at full scale, never above it.
constexpr TDownmix Normalised(TDownmix Weights) {
  double left = 0, right = 0;
  for (const auto& w : Weights) {
    left += w[0];
    right += w[1];
  }
  for (auto& w : Weights) {
    w[0] /= left;
    w[1] /= right;
  }
  return Weights;
}

// Left and right weights of each channel in the default WAVE speaker order, by channel count
// (3 to 8): FL FR FC LFE BL BR SL SR, with a back centre at 7. Centre and surrounds sit 3 dB
// below the fronts (ITU-R BS.775), the back centre 6 dB; the LFE is left out.
constexpr std::array<TDownmix, 9> kDownmix = {{
    {},
    {},
    {},
    Normalised({{{1, 0}, {0, 1}, {kM3dB, kM3dB}}}),
    Normalised({{{1, 0}, {0, 1}, {kM3dB, 0}, {0, kM3dB}}}),
    Normalised({{{1, 0}, {0, 1}, {kM3dB, kM3dB}, {kM3dB, 0}, {0, kM3dB}}}),
    Normalised({{{1, 0}, {0, 1}, {kM3dB, kM3dB}, {0, 0}, {kM3dB, 0}, {0, kM3dB}}}),
    Normalised({{{1, 0}, {0, 1}, {kM3dB, kM3dB}, {0, 0}, {0.5, 0.5}, {kM3dB, 0}, {0, kM3dB}}}),
    Normalised(
        {{{1, 0}, {0, 1}, {kM3dB, kM3dB}, {0, 0}, {kM3dB, 0}, {0, kM3dB}, {kM3dB, 0}, {0, kM3dB}}}),
}};

int16_t Clamp16(int64_t v) {
  return static_cast<int16_t>(std::clamp<int64_t>(v, -32768, 32767));
}

int16_t Round16(double v) {
  return Clamp16(std::llround(v));
}

// One sample as a 16-bit value, rounded (shift right with half added) and clamped.
int16_t Sample16(const uint8_t* p, uint32_t Bits) {
  switch (Bits) {
    case 8:
      return static_cast<int16_t>((p[0] - 128) * 256);
    case 16:
      return static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
    case 24: {
      const int32_t v = static_cast<int32_t>(static_cast<uint32_t>(
                            p[0] << 8 | p[1] << 16 | static_cast<uint32_t>(p[2]) << 24)) >>
                        8;
      return Clamp16((int64_t{v} + 128) >> 8);
    }
    default: {
      const auto v =
          static_cast<int32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
      return Clamp16((int64_t{v} + 32768) >> 16);
    }
  }
}

// One sample in 16-bit units with its fraction kept, for mixing.
double SampleReal(const uint8_t* p, uint32_t Bits) {
  switch (Bits) {
    case 8:
      return (p[0] - 128) * 256.0;
    case 16:
      return static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
    case 24:
      return static_cast<int32_t>(static_cast<uint32_t>(p[0] << 8 | p[1] << 16 |
                                                        static_cast<uint32_t>(p[2]) << 24)) /
             65536.0;
    default:
      return static_cast<int32_t>(p[0] | p[1] << 8 | p[2] << 16 |
                                  static_cast<uint32_t>(p[3]) << 24) /
             65536.0;
  }
}

}  // namespace

uint32_t BitRateToKbps(TMP3BitRate Value) {
  const auto i = static_cast<size_t>(Value);
  return i < kKbps.size() ? kKbps[i] : 128;
}

void ConvertToPcm16(const uint8_t* In, uint32_t Frames, uint32_t InChannels, uint32_t Bits,
                    int16_t* Out, uint32_t OutChannels) {
  const uint32_t bytes = Bits / 8;
  const uint32_t frameBytes = bytes * InChannels;
  if (InChannels <= 2) {
    for (uint32_t f = 0; f < Frames; ++f, In += frameBytes) {
      const int16_t l = Sample16(In, Bits);
      const int16_t r = InChannels == 2 ? Sample16(In + bytes, Bits) : l;
      if (OutChannels == 2) {
        *Out++ = l;
        *Out++ = r;
      } else if (InChannels == 2) {
        // Mean of both, rounded half away from zero.
        const int32_t sum = l + r;
        *Out++ = static_cast<int16_t>(sum >= 0 ? (sum + 1) / 2 : (sum - 1) / 2);
      } else {
        *Out++ = l;
      }
    }
    return;
  }
  const auto& weights = kDownmix[std::min<uint32_t>(InChannels, 8)];
  const uint32_t mixed = std::min<uint32_t>(InChannels, 8);
  for (uint32_t f = 0; f < Frames; ++f, In += frameBytes) {
    double l = 0, r = 0;
    for (uint32_t c = 0; c < mixed; ++c) {
      const double v = SampleReal(In + c * bytes, Bits);
      l += weights[c][0] * v;
      r += weights[c][1] * v;
    }
    if (OutChannels == 2) {
      *Out++ = Round16(l);
      *Out++ = Round16(r);
    } else {
      *Out++ = Round16((l + r) / 2);
    }
  }
}

// Both libraries load with the first run, not here: a program that owns an MP3 output
// but converts to other formats never maps them (the tag library alone costs milliseconds).
TMP3Out::TMP3Out(TComponent* AOwner) : TAuTaggedFileOut(AOwner) {}

TMP3Out::~TMP3Out() = default;

BE_CONFIG TMP3Out::BuildConfig(uint32_t SampleRate, uint32_t Channels) const {
  BE_CONFIG c;
  std::memset(&c, 0, sizeof c);
  c.dwConfig = BE_CONFIG_LAME;
  c.dwStructVersion = 1;
  c.dwStructSize = sizeof(BE_CONFIG);
  c.dwSampleRate1 = SampleRate;
  c.dwReSampleRate = 0;
  if (Channels == 1) {
    c.nMode = BE_MP3_MODE_MONO;
  } else {
    c.nMode = static_cast<int32_t>(FMode);
    if (c.nMode == BE_MP3_MODE_DUALCHANNEL) c.nMode = BE_MP3_MODE_STEREO;
  }
  // With quality-based VBR the record's bitrate is the encoder's floor: the constant
  // bitrate left set (128 by default) would lift V5 to V9 up to it, so the quality decides
  // alone.
  const bool QualityVbr = FEnableVBR != 0 && FAverageBitrate == TMP3BitRate::mbrAuto;
  c.dwBitrate = QualityVbr ? 0 : BitRateToKbps(FBitRate);
  c.dwMaxBitrate = BitRateToKbps(FMaximumBitrate);
  c.bCRC1 = FCRC;
  // Copyright is kept as a property only; the record always says "not copyrighted".
  c.bCopyright1 = 0;
  c.bOriginal1 = FOriginal;
  // The encoder's Xing/Info frame carries the exact length (delay and padding) for CBR as
  // well. It is written back into the file by name; in a handed-in stream its placeholder
  // would stay behind as a frame of silence, so a CBR stream goes without.
  c.bWriteVBRHeader = FEnableVBR != 0 || !FStreamAssigned ? -1 : 0;
  c.bEnableVBR = FEnableVBR;
  c.nVBRQuality = FEnableVBR != 0 ? static_cast<int32_t>(FVBRQuality) : 0;
  c.dwVbrAbr_bps = BitRateToKbps(FAverageBitrate);
  c.nVbrMethod = FAverageBitrate != TMP3BitRate::mbrAuto ? VBR_METHOD_ABR : VBR_METHOD_NEW;
  c.bNoRes = FEnableBitReservoir ? 0 : -1;
  c.bStrictIso = FStrictISO ? -1 : 0;
  return c;
}

void TMP3Out::ReleaseStream(bool Finished) {
  if (!FOwnStream) return;
  const std::unique_ptr<TAuFileStream> stream = std::move(FOwnStream);
  FStream = nullptr;
  if (Finished) stream->Close();
}

std::string TMP3Out::TargetFileName() const {
  // Only a file this output wrote itself is touched again by name.
  return FStreamAssigned ? std::string() : Utf16ToUtf8(FWideFileName);
}

void TMP3Out::PrepareOutput() {
  FEncoderStarted = false;
  FRunEnded = false;
  LoadLameLibrary();
  if (!LameLoaded()) throw EAuException(LameLibraryName() + " library could not be loaded.");
  LoadTagLibrary();
  if (!FStreamAssigned) {
    if (FWideFileName.empty()) throw EAuException("File name is not assigned.");
    FOwnStream = std::make_unique<TAuFileStream>(FWideFileName, FShareMode | 0xFF00);
    FStream = FOwnStream.get();
  }
  FInput->Init();
  FInChannels = FInput->Channels();
  FInBits = FInput->BitsPerSample();
  if (FInChannels == 0 || (FInBits != 8 && FInBits != 16 && FInBits != 24 && FInBits != 32))
    throw EAuException("The MP3 encoder takes 8-, 16-, 24- or 32-bit PCM input");
  Config = BuildConfig(FInput->SampleRate(), FInChannels);
  FEncChannels = Config.nMode == BE_MP3_MODE_MONO ? 1 : 2;

  const TLameEntryPoints& be = LameEntryPoints();
  uint32_t samples = 0;
  const BE_ERR result = be.beInitStream(&Config, &samples, &mp3buf_size, &_Stream);
  mp3buf.clear();
  Buffer.clear();
  if (result != BE_ERR_SUCCESSFUL) {
    ReleaseStream(false);
    FRunEnded = true;
    FInput->Flush();
    throw EAuException("LAME Error: " + std::to_string(result));
  }
  FEncoderStarted = true;
  // One chunk of the encoder's samples, whatever the input's width and channel count.
  const uint32_t frames = samples / FEncChannels;
  BufferSize = frames * FInChannels * (FInBits / 8);
  Buffer.resize(BufferSize);
  mp3buf.resize(mp3buf_size);
  const bool direct = FInBits == 16 && FInChannels == FEncChannels;
  FPcm16.assign(direct ? 0 : size_t{frames} * FEncChannels, 0);
}

bool TMP3Out::OutputBlock(bool Abort) {
  if (!CanOutput) return true;
  if (Abort) return false;
  bool eof = false;
  const uint32_t n = FInput->FillBuffer(Buffer.data(), BufferSize, eof);
  const uint32_t frames = n / (FInChannels * (FInBits / 8));
  if (frames == 0) return false;
  const int16_t* pcm = reinterpret_cast<const int16_t*>(Buffer.data());
  if (!FPcm16.empty()) {
    ConvertToPcm16(Buffer.data(), frames, FInChannels, FInBits, FPcm16.data(), FEncChannels);
    pcm = FPcm16.data();
  }
  uint32_t encoded = 0;
  if (const BE_ERR result = LameEntryPoints().beEncodeChunk(_Stream, frames * FEncChannels, pcm,
                                                            mp3buf.data(), &encoded);
      result != BE_ERR_SUCCESSFUL)
    throw EAuException("LAME Error: " + std::to_string(result));
  if (encoded > 0 && FStream->Write(mp3buf.data(), encoded) != encoded)
    throw EAuException("Error writing down mp3 file");
  return !eof;
}

std::array<uint8_t, 128> TMP3Out::Id3v1Record() const {
  std::array<uint8_t, 128> tag{};
  std::memcpy(tag.data(), "TAG", 3);
  auto put = [&](size_t at, const std::string& text) {
    std::memcpy(tag.data() + at, text.data(), std::min<size_t>(text.size(), 30));
  };
  const TId3v1Tags& t = *FId3v1Tags;
  put(3, t.Title());
  put(33, t.Artist());
  put(63, t.Album());
  if (const std::string year = std::to_string(t.Year()); t.Year() != 0 && year.size() == 4)
    std::memcpy(tag.data() + 93, year.data(), 4);
  put(97, t.Comment());
  // Genre 0 would read as "Blues" everywhere; 255 is the format's "no genre".
  tag[127] = 255;
  return tag;
}

void TMP3Out::RestoreId3v1Record(const std::string& FileName) const {
  // The tag library rewrites the ID3v1 block from its merged view of all tags, and drops it
  // when that view is empty; the block this output built is the one that ends the file.
  TAuFileStream file(Utf8ToUtf16(FileName), 2);
  const std::array<uint8_t, 128> record = Id3v1Record();
  std::array<uint8_t, 128> last{};
  const int64_t size = file.Size();
  if (size >= 128) {
    file.Seek(size - 128, TSeekOrigin::soBeginning);
    if (file.Read(last.data(), 128) != 128) throw EAuException("Failed to save tags");
    if (last == record) return;
    file.Seek(std::memcmp(last.data(), "TAG", 3) == 0 ? size - 128 : size,
              TSeekOrigin::soBeginning);
  } else {
    file.Seek(size, TSeekOrigin::soBeginning);
  }
  if (file.Write(record.data(), 128) != 128) throw EAuException("Failed to save tags");
  file.Close();
}

void TMP3Out::FinishOutput() {
  if (FRunEnded) {
    FRunEnded = false;
    return;
  }
  if (!FEncoderStarted) {
    ReleaseStream(false);
    try {
      FInput->Flush();
    } catch (...) {
    }
    return;
  }
  FEncoderStarted = false;
  const TLameEntryPoints& be = LameEntryPoints();
  std::exception_ptr failure;
  try {
    uint32_t flushed = 0;
    if (const BE_ERR result = be.beDeinitStream(_Stream, mp3buf.data(), &flushed);
        result != BE_ERR_SUCCESSFUL)
      throw EAuException("LAME Error: " + std::to_string(result));
    // A full disk shows first here, after every chunk went through.
    if (flushed > 0 && FStream->Write(mp3buf.data(), flushed) != flushed)
      throw EAuException("Error writing down mp3 file");
    const std::array<uint8_t, 128> record = Id3v1Record();
    if (FStream->Write(record.data(), record.size()) != static_cast<int64_t>(record.size()))
      throw EAuException("Error writing down mp3 file");
  } catch (...) {
    failure = std::current_exception();
  }
  try {
    ReleaseStream(!failure);
  } catch (...) {
    failure = std::current_exception();
  }
  be.beCloseStream(_Stream);
  const std::string target = TargetFileName();
  if (Config.bWriteVBRHeader != 0 && !target.empty() && !failure) {
    // The frame that tells players the length and the gapless trim goes over the first
    // frame; a file without it would play, with the wrong length.
    errno = 0;
    if (be.beWriteVBRHeader(target.c_str()) != BE_ERR_SUCCESSFUL) {
      const int error = errno;
      failure = std::make_exception_ptr(
          EAuException(std::string("The output file could not be written: ") +
                       (error != 0 ? std::strerror(error) : "its VBR header has no place")));
    }
  }
  mp3buf = {};
  Buffer = {};
  FPcm16 = {};
  if (!target.empty() && TagLibLoaded() && !failure) {
    try {
      const TId3v2Tags& t = *FId3v2Tags;
      WriteTagLibFields(target, TTagLibFields{Utf16ToUtf8(t.Title()), Utf16ToUtf8(t.Artist()),
                                              Utf16ToUtf8(t.Album()), Utf16ToUtf8(t.Genre()),
                                              t.Year(), t.Track()});
      RestoreId3v1Record(target);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  try {
    FInput->Flush();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace tunevert
