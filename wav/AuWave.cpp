#include "wav/AuWave.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <utility>
#include <vector>

#include "platform/AuFileStream.h"
#include "platform/LittleEndian.h"
#include "platform/Text.h"
#include "wav/WaveConverter.h"
#include "wav/WaveScan.h"

namespace tunevert {

namespace {

int32_t FloatToInt32(long double x) {
  if (std::isnan(x)) return 0;
  if (x >= 1.0L) return std::numeric_limits<int32_t>::max();
  if (!(x > -1.0L)) return std::numeric_limits<int32_t>::min();
  if (x == 0) return 0;
  return static_cast<int32_t>(std::floor(x * 2147483647.0L));
}

}  // namespace

bool SameChunkId(const uint8_t* Bytes, const char* Id) {
  for (int i = 0; i < 4; ++i) {
    const auto d = static_cast<uint8_t>(Bytes[i] - static_cast<uint8_t>(Id[i]));
    if (d != 0 && d != 32 && d != 224) return false;
  }
  return true;
}

void ConvertFloat64ToInt32(void* Buffer, int64_t N) {
  auto* p = static_cast<uint8_t*>(Buffer);
  for (int64_t i = 0; i < N / 8; ++i) {
    double x;
    std::memcpy(&x, p + 8 * i, 8);
    const int32_t v = FloatToInt32(x);
    std::memcpy(p + 4 * i, &v, 4);
  }
}

void ConvertFloat32ToInt32(void* Buffer, int64_t N) {
  auto* p = static_cast<uint8_t*>(Buffer);
  for (int64_t i = 0; i < N / 4; ++i) {
    float x;
    std::memcpy(&x, p + 4 * i, 4);
    const int32_t v = FloatToInt32(x);
    std::memcpy(p + 4 * i, &v, 4);
  }
}

// ---------------------------------------------------------------------------------------
// TWaveIn

TWaveIn::TWaveIn(TComponent* AOwner) : TAuFileIn(AOwner) {
  _WavType = TWavType::wtUnsupported;
}

TWaveIn::~TWaveIn() {
  // Normally closed by BeforeDestruction; a plain delete still must not leak the file.
  try {
    TWaveIn::CloseSource();
  } catch (...) {
  }
}

TWavType TWaveIn::WavType() {
  OpenSource();
  return _WavType;
}

void TWaveIn::ReadWaveHeader() {
  FSize = 0;
  FBPS = 0;
  FChan = 0;
  FSR = 0;
  _WavType = TWavType::wtUnsupported;
  FDataBytes = 0;
  FDataEnd = 0;
  FHasFact = false;
  FBigEndian = false;
  TWaveHeader h;
  if (!ScanWaveHeader(*FStream, h)) return;
  TWavType type = TWavType::wtUnsupported;
  if (h.Extensible) {
    if (!h.KnownSubformat) return;
    type = h.FormatTag == 3 ? TWavType::wtExtIEEEFloat : TWavType::wtExtPCM;
  } else {
    switch (h.FormatTag) {
      case 1:
        type = TWavType::wtPCM;
        break;
      case 2:
        type = TWavType::wtMSADPCM;
        break;
      case 3:
        type = TWavType::wtIEEEFloat;
        break;
      case 0x11:
        type = TWavType::wtDVIADPCM;
        break;
      case 0x55:
        type = TWavType::wtACM;
        break;
      default:
        return;
    }
  }
  const bool pcm = type == TWavType::wtPCM || type == TWavType::wtExtPCM;
  const bool flt = type == TWavType::wtIEEEFloat || type == TWavType::wtExtIEEEFloat;
  // Big-endian files are only known to hold PCM and float.
  if (h.BigEndian && !pcm && !flt) return;
  FChan = h.Channels;
  FSR = h.SampleRate;
  FBPS = h.BitsPerSample;
  FBigEndian = h.BigEndian;
  HeaderSize = h.DataOffset;
  FDataBytes = h.DataSize;
  FDataEnd = h.DataOffset + static_cast<int64_t>(h.DataSize);
  FHasFact = h.HasFact;
  if (type == TWavType::wtDVIADPCM) {
    DVI_ADPCM_INFO.BlockLength = h.BlockAlign;
    DVI_ADPCM_INFO.SamplesPerBlock = h.SamplesPerBlock;
    DVI_ADPCM_INFO.DataSize = static_cast<int32_t>(std::min<uint64_t>(h.FactCount, INT32_MAX));
  } else {
    MS_ADPCM_INFO.BlockLength = h.BlockAlign;
    MS_ADPCM_INFO.SamplesPerBlock = h.SamplesPerBlock;
    MS_ADPCM_INFO.DataSize = static_cast<uint32_t>(std::min<uint64_t>(h.FactCount, UINT32_MAX));
    MS_ADPCM_INFO.NumCoeff = h.NumCoeff;
    MS_ADPCM_INFO.CoefSets = h.CoefSets;
  }
  if (pcm && FChan != 0) {
    // 12 bits in 16, 20 in 24: samples are delivered in their container, whose width the
    // block alignment tells.
    uint32_t container = (FBPS + 7u) / 8u * 8u;
    const uint32_t perChannel = h.BlockAlign % FChan == 0 ? h.BlockAlign / FChan * 8u : 0;
    if (FBPS % 8 != 0 && perChannel >= FBPS && perChannel <= 32) container = perChannel;
    FBPS = container;
  }
  if (pcm || flt) {
    const uint64_t frame = uint64_t{FChan} * FBPS / 8;
    if (frame != 0) FSize = static_cast<int64_t>(FDataBytes - FDataBytes % frame);
  }
  _WavType = type;
}

bool TWaveIn::MSPredictorsValid() const {
  const int channels = FChan == 1 ? 1 : 2;
  for (int ch = 0; ch < channels; ++ch)
    if (MS_ADPCM_STATE.predictor[ch] >= std::min<uint32_t>(MS_ADPCM_INFO.NumCoeff, kMaxMSCoefSets))
      return false;
  return true;
}

uint32_t TWaveIn::BlockCapacity() const {
  const uint32_t ch = FChan;
  if (ch == 0 || ch > 2) return 0;
  if (_WavType == TWavType::wtDVIADPCM) {
    const uint32_t bl = DVI_ADPCM_INFO.BlockLength;
    return bl < 8 * ch ? 0 : 1 + 8 * ((bl - 4 * ch) / (4 * ch));
  }
  if (_WavType == TWavType::wtMSADPCM) {
    const uint32_t bl = MS_ADPCM_INFO.BlockLength;
    if (bl < 7 * ch) return 0;
    return ch == 1 ? 2 + 2 * (bl - 7) : 2 + (bl - 14);
  }
  return 0;
}

bool TWaveIn::AdpcmLayoutValid() const {
  const uint32_t holds = BlockCapacity();
  if (holds == 0) return false;
  if (_WavType == TWavType::wtDVIADPCM) {
    const uint32_t spb = DVI_ADPCM_INFO.SamplesPerBlock;
    // The decoders expand every code of the block, whatever the samples per block say.
    return spb >= 1 && spb <= holds && uint64_t{holds} * 2 * FChan <= kBufSize;
  }
  const uint32_t spb = MS_ADPCM_INFO.SamplesPerBlock;
  // One sample more than a block holds may be decoded before it is cut.
  return MS_ADPCM_INFO.NumCoeff >= 1 && MS_ADPCM_INFO.NumCoeff <= kMaxMSCoefSets && spb >= 2 &&
         spb <= holds && (uint64_t{spb} + 1) * 2 * FChan <= kBufSize;
}

uint32_t TWaveIn::FramesInBlock(uint32_t Bytes) const {
  const uint32_t ch = FChan;
  uint32_t frames = 0;
  if (_WavType == TWavType::wtDVIADPCM) {
    // Codes come in groups of four bytes per channel; a torn group is not decoded.
    if (Bytes >= 4 * ch) frames = 1 + 8 * ((Bytes - 4 * ch) / (4 * ch));
    return std::min<uint32_t>(frames, DVI_ADPCM_INFO.SamplesPerBlock);
  }
  if (Bytes >= 7 * ch) frames = ch == 1 ? 2 + 2 * (Bytes - 7) : 2 + (Bytes - 14);
  return std::min<uint32_t>(frames, MS_ADPCM_INFO.SamplesPerBlock);
}

int64_t TWaveIn::AdpcmFrames(uint64_t FactCount) const {
  const uint32_t bl =
      _WavType == TWavType::wtDVIADPCM ? DVI_ADPCM_INFO.BlockLength : MS_ADPCM_INFO.BlockLength;
  const int64_t spb = FramesInBlock(bl);
  const auto whole = static_cast<int64_t>(FDataBytes / bl);
  const int64_t held = whole * spb + FramesInBlock(static_cast<uint32_t>(FDataBytes % bl));
  // A count beyond the data, or one that leaves whole blocks undecoded, is not the data's.
  const auto fact = static_cast<int64_t>(std::min<uint64_t>(FactCount, INT64_MAX));
  if (FHasFact && fact > 0 && fact <= held && fact > held - spb) return fact;
  return held;
}

TIMARounding TWaveIn::DetectIMARounding() {
  // Each block header holds the encoder's exact sample, so a block decoded with the wrong
  // rounding ends with a jump into the next one. The jump is measured by fitting a cubic
  // through five samples each side of the boundary, with a step between them; these are
  // the least-squares weights of that step, in 270ths.
  static constexpr std::array<int32_t, 10> kJump = {54, -96, -71, 79, 304, -304, -79, 71, 96, -54};
  const uint32_t bl = DVI_ADPCM_INFO.BlockLength;
  const uint32_t payload = bl - 4 * FChan;
  std::array<std::vector<int16_t>, 2> prev, next;
  int32_t frames = 0;
  int64_t jump[2] = {0, 0};
  FStream->Seek(HeaderSize, TSeekOrigin::soBeginning);
  for (int k = 0; k < 257 && ReadBlock(bl) && FBlockBytes == bl; ++k) {
    TDVI_ADPCM_STATE_STEREO st;
    st.valprev_l = static_cast<int16_t>(ReadLE16(FBlock.data()));
    st.index_l = FBlock[2];
    st.valprev_r = static_cast<int16_t>(ReadLE16(FBlock.data() + 4));
    st.index_r = FBlock[6];
    for (int r = 0; r < 2; ++r) {
      const auto rounding = r == 0 ? TIMARounding::irShifted : TIMARounding::irMultiplied;
      next[r].assign(kBufSize / 2, 0);
      frames = static_cast<int32_t>(FChan == 2 ? payload / 8 * 8 : payload);
      if (FChan == 2)
        DecodeDVIStereo(st, FBlock.data() + 8, next[r].data(), frames, rounding);
      else
        DecodeDVIMono(st, FBlock.data() + 4, next[r].data(), frames, rounding);
      // Every block decodes to at least nine frames here, whatever the header claims.
      for (uint32_t c = 0; k > 0 && c < FChan; ++c) {
        int64_t j = 0;
        for (int i = 0; i < 5; ++i) {
          j += kJump[i] * prev[r][(frames - 5 + i) * FChan + c];
          j += kJump[5 + i] * next[r][i * FChan + c];
        }
        jump[r] += std::abs(j);
      }
    }
    prev.swap(next);
  }
  FStream->Seek(HeaderSize, TSeekOrigin::soBeginning);
  // Where both end alike (loud audio, or writers whose headers are not the next sample)
  // the reference rounding is kept.
  return 10 * jump[1] < 9 * jump[0] ? TIMARounding::irMultiplied : TIMARounding::irShifted;
}

bool TWaveIn::CheckFormat() {
  if (FChan == 0 || FSR == 0) return false;
  switch (_WavType) {
    case TWavType::wtPCM:
    case TWavType::wtExtPCM:
      return (FBPS == 8 || FBPS == 16 || FBPS == 24 || FBPS == 32) && FrameBytes() <= kBufSize;
    case TWavType::wtIEEEFloat:
    case TWavType::wtExtIEEEFloat:
      if (FBPS == 32) {
        ShortIEEEFloat = true;
      } else if (FBPS == 64) {
        FSize = FSize / 2;
      } else {
        return false;  // no other float width exists; reading it as doubles would be noise
      }
      FBPS = 32;
      return FChan * 8 <= kBufSize;
    case TWavType::wtDVIADPCM: {
      if (FBPS != 4) return false;
      FBPS = 16;
      const uint32_t holds = BlockCapacity();
      // What the block holds decides; a header value beyond it is not believed.
      const uint32_t spb = DVI_ADPCM_INFO.SamplesPerBlock;
      DVI_ADPCM_INFO.SamplesPerBlock = static_cast<uint16_t>(spb >= 1 && spb < holds ? spb : holds);
      if (!AdpcmLayoutValid()) return false;
      FSize = AdpcmFrames(static_cast<uint32_t>(DVI_ADPCM_INFO.DataSize)) * 2 * FChan;
      FRounding = FSeekable ? DetectIMARounding() : TIMARounding::irShifted;
      return true;
    }
    case TWavType::wtMSADPCM: {
      FBPS = 16;
      const uint32_t bl = MS_ADPCM_INFO.BlockLength;
      const uint32_t holds = BlockCapacity();
      const uint32_t spb = MS_ADPCM_INFO.SamplesPerBlock;
      MS_ADPCM_INFO.SamplesPerBlock = static_cast<uint16_t>(spb >= 2 && spb < holds ? spb : holds);
      if (!AdpcmLayoutValid()) return false;
      FSize = AdpcmFrames(MS_ADPCM_INFO.DataSize) * 2 * FChan;
      // The first block tells whether the predictors fit the table; later ones are checked
      // as they are read.
      if (FSeekable && FDataBytes > 0) {
        std::vector<uint8_t> payload(bl);
        const bool read = ReadMSBlock(payload.data());
        FStream->Seek(HeaderSize, TSeekOrigin::soBeginning);
        if (read && !MSPredictorsValid()) return false;
      }
      return true;
    }
    case TWavType::wtACM:
      // The converted image; its header scan already found PCM.
      return FBPS == 16 && FChan <= 2;
    default:
      return false;
  }
}

bool TWaveIn::ConvertACM() {
  TWaveConverter converter;
  FStream->Seek(0, TSeekOrigin::soBeginning);
  converter.LoadStream(*FStream);
  converter.NewFormat.Format().wFormatTag = WAVE_FORMAT_PCM;
  const bool converted =
      acmFormatSuggest(nullptr, &converter.CurrentFormat.Format(), &converter.NewFormat.Format(),
                       TACMWaveFormat::kSize, ACM_FORMATSUGGESTF_WFORMATTAG) == 0 &&
      converter.Convert() == 0;
  if (!converted) {
    // Left where a second open scans it from.
    FStream->Seek(0, TSeekOrigin::soBeginning);
    return false;
  }
  _MS = std::make_unique<TMemoryStream>();
  OldStream = FStream;
  OldStreamAssigned = FStreamAssigned;
  FStream = _MS.get();
  converter.SaveWavToStream(*_MS);
  _MS->Seek(0, TSeekOrigin::soBeginning);
  ReadWaveHeader();
  const bool pcm = _WavType == TWavType::wtPCM;
  _WavType = TWavType::wtACM;
  return pcm && CheckFormat();
}

void TWaveIn::OpenSource() {
  std::lock_guard lock(*OpenCS);
  if (FOpened != 0) return;
  FValid = true;
  ShortIEEEFloat = false;
  _WavType = TWavType::wtUnsupported;
  if (!FStreamAssigned) OpenOwnStream();
  try {
    ReadWaveHeader();
    // A failed conversion still counts as an open, like any file that is not valid, so
    // CloseSource releases the source and property reads do not convert again.
    if (_WavType == TWavType::wtACM)
      FValid = ConvertACM();
    else
      FValid = CheckFormat();
  } catch (...) {
    FValid = false;
    if (_MS) {
      _MS.reset();
      FStream = std::exchange(OldStream, nullptr);
    }
    if (OwnsStream()) FreeOwnStream();
    throw;
  }
  // Payloads without a decoder here go through the runtime, when it is there.
  if (!FValid && !_MS && FRuntime.Open(FStream)) {
    FChan = FRuntime.Channels();
    FBPS = FRuntime.BitsPerSample();
    FSR = FRuntime.SampleRate();
    FSize = FRuntime.TotalSamples() * FrameBytes();
    FValid = true;
  }
  FOpened = FOpened + 1;
}

void TWaveIn::CloseSource() {
  std::lock_guard lock(*OpenCS);
  if (FOpened <= 0) return;
  FOpened = 0;
  FRuntime.Close();
  // The source comes back from behind the PCM image and is released or rewound below.
  if (_MS) {
    _MS.reset();
    FStream = std::exchange(OldStream, nullptr);
  }
  if (OwnsStream()) {
    FreeOwnStream();
  } else if (FStream != nullptr && FSeekable) {
    FStream->Seek(0, TSeekOrigin::soBeginning);
  }
}

int64_t TWaveIn::DataLeft(int64_t Count) {
  return std::clamp<int64_t>(FDataEnd - FStream->Position(), 0, Count);
}

bool TWaveIn::ReadBlock(uint32_t BlockLength) {
  FBlock.assign(BlockLength, 0);
  FBlockBytes = 0;
  const int64_t want = DataLeft(BlockLength);
  int64_t got = 0;
  while (got < want) {
    const int64_t n = FStream->Read(FBlock.data() + got, want - got);
    if (n <= 0) break;
    got += n;
  }
  FBlockBytes = static_cast<uint32_t>(got);
  return got > 0;
}

bool TWaveIn::ReadDVIBlock(uint8_t* Payload) {
  const uint32_t bl = DVI_ADPCM_INFO.BlockLength;
  if (_WavType != TWavType::wtDVIADPCM || !AdpcmLayoutValid() || !ReadBlock(bl)) return false;
  DVI_ADPCM_STATE.valprev_l = static_cast<int16_t>(ReadLE16(FBlock.data()));
  DVI_ADPCM_STATE.index_l = FBlock[2];
  const uint32_t header = FChan == 2 ? 8 : 4;
  if (FChan == 2) {
    DVI_ADPCM_STATE.valprev_r = static_cast<int16_t>(ReadLE16(FBlock.data() + 4));
    DVI_ADPCM_STATE.index_r = FBlock[6];
  }
  std::memcpy(Payload, FBlock.data() + header, bl - header);
  return true;
}

bool TWaveIn::ReadMSBlock(uint8_t* Payload) {
  const uint32_t bl = MS_ADPCM_INFO.BlockLength;
  if (_WavType != TWavType::wtMSADPCM || !AdpcmLayoutValid() || !ReadBlock(bl)) return false;
  const uint8_t* b = FBlock.data();
  if (FChan == 1) {
    MS_ADPCM_STATE.predictor[0] = b[0];
    MS_ADPCM_STATE.Delta[0] = static_cast<int16_t>(ReadLE16(b + 1));
    MS_ADPCM_STATE.Samp1[0] = static_cast<int16_t>(ReadLE16(b + 3));
    MS_ADPCM_STATE.Samp2[0] = static_cast<int16_t>(ReadLE16(b + 5));
    std::memcpy(Payload, b + 7, bl - 7);
  } else {
    MS_ADPCM_STATE.predictor = {b[0], b[1]};
    MS_ADPCM_STATE.Delta = {static_cast<int16_t>(ReadLE16(b + 2)),
                            static_cast<int16_t>(ReadLE16(b + 4))};
    MS_ADPCM_STATE.Samp1 = {static_cast<int16_t>(ReadLE16(b + 6)),
                            static_cast<int16_t>(ReadLE16(b + 8))};
    MS_ADPCM_STATE.Samp2 = {static_cast<int16_t>(ReadLE16(b + 10)),
                            static_cast<int16_t>(ReadLE16(b + 12))};
    std::memcpy(Payload, b + 14, bl - 14);
  }
  return true;
}

void TWaveIn::DecodeNextBlock() {
  BufStart = 1;
  BufEnd = 0;
  FBlockStart = buf.data();
  auto* out = reinterpret_cast<int16_t*>(buf.data());
  std::vector<uint8_t> payload;
  if (_WavType == TWavType::wtDVIADPCM) {
    payload.resize(DVI_ADPCM_INFO.BlockLength);
    if (!ReadDVIBlock(payload.data())) return;
    const int32_t bytes = DVI_ADPCM_INFO.BlockLength - (FChan == 2 ? 8 : 4);
    int32_t count = FChan == 2 ? bytes / 8 * 8 : bytes;
    if (FChan == 2)
      DecodeDVIStereo(DVI_ADPCM_STATE, payload.data(), out, count, FRounding);
    else
      DecodeDVIMono(DVI_ADPCM_STATE, payload.data(), out, count, FRounding);
  } else {
    payload.resize(MS_ADPCM_INFO.BlockLength);
    if (!ReadMSBlock(payload.data())) return;
    // A predictor outside the file's table has no meaning: the data ends here.
    if (!MSPredictorsValid()) return;
    // A mono block with an odd sample count decodes one sample more than is kept.
    int32_t count = MS_ADPCM_INFO.SamplesPerBlock - 2;
    if (FChan == 1) count += MS_ADPCM_INFO.SamplesPerBlock & 1;
    const TMSADPCMCoefSet* coefs = MS_ADPCM_INFO.CoefSets.data();
    if (FChan == 2)
      DecodeMSStereo(MS_ADPCM_STATE, coefs, payload.data(), out, count);
    else
      DecodeMSMono(MS_ADPCM_STATE, coefs, payload.data(), out, count);
  }
  BufEnd = FramesInBlock(FBlockBytes) * FrameBytes();
}

namespace {

void SwapSamples(uint8_t* p, int64_t Bytes, uint32_t Width) {
  if (Width < 2) return;
  for (int64_t i = 0; i + Width <= Bytes; i += Width) std::reverse(p + i, p + i + Width);
}

}  // namespace

void TWaveIn::ProduceData(void*& Buffer, uint32_t& Bytes) {
  if (!Busy) throw EAuException("The Stream is not opened");
  const uint32_t F = FrameBytes();
  // An invalid source delivers nothing, whatever its header scan found; a source closed
  // under the pass (a new file name) ends it.
  if (!FValid || FOpened == 0 || FStream == nullptr || F == 0) {
    Buffer = nullptr;
    Bytes = 0;
    return;
  }
  if (FRuntime.IsOpen()) return FRuntime.GetData(Buffer, Bytes);
  if (BufStart > BufEnd) {
    FBlockStart = buf.data();
    switch (_WavType) {
      case TWavType::wtPCM:
      case TWavType::wtExtPCM:
      case TWavType::wtACM: {
        if (!FPcm) FPcm = std::make_unique_for_overwrite<uint8_t[]>(kPcmReadSize);
        FBlockStart = FPcm.get();
        const int64_t n = FStream->Read(FPcm.get(), DataLeft(kPcmReadSize - kPcmReadSize % F));
        BufEnd = static_cast<uint32_t>(std::max<int64_t>(0, n - n % F));  // a torn frame is dropped
        if (FBigEndian) SwapSamples(FPcm.get(), BufEnd, FBPS / 8);
        break;
      }
      case TWavType::wtIEEEFloat:
      case TWavType::wtExtIEEEFloat: {
        int64_t n = std::max<int64_t>(
            0, FStream->Read(buf.data(), DataLeft(kBufSize - kBufSize % (FChan * 8))));
        const uint32_t width = ShortIEEEFloat ? 4 : 8;
        n -= n % (FChan * width);
        if (FBigEndian) SwapSamples(buf.data(), n, width);
        if (ShortIEEEFloat) {
          ConvertFloat32ToInt32(buf.data(), n);
          BufEnd = static_cast<uint32_t>(n);
        } else {
          ConvertFloat64ToInt32(buf.data(), n);
          BufEnd = static_cast<uint32_t>(n / 2);
        }
        break;
      }
      case TWavType::wtDVIADPCM:
        DecodeNextBlock();
        if (BufEnd == 0 && !FSeekable) {
          Buffer = nullptr;
          Bytes = 0;
          return;
        }
        break;
      case TWavType::wtMSADPCM:
        DecodeNextBlock();
        break;
      default:
        BufEnd = 0;
        break;
    }
    BufStart = 1;
  }
  Bytes -= Bytes % F;
  const int64_t left = std::max<int64_t>(0, int64_t{BufEnd} - BufStart + 1);
  if (left < Bytes) Bytes = static_cast<uint32_t>(left);
  Buffer = FBlockStart + BufStart - 1;
  BufStart += Bytes;
}

int64_t TWaveIn::CopyRawData(TAuFileStream& Destination, int64_t MaxBytes) {
  // Only plain little-endian PCM goes out exactly as the file holds it, and only once the
  // block read last has been delivered.
  const bool plain = _WavType == TWavType::wtPCM || _WavType == TWavType::wtExtPCM;
  auto* source = dynamic_cast<TAuFileStream*>(FStream);
  const uint32_t F = FrameBytes();
  if (!Busy || !FValid || FOpened == 0 || source == nullptr || F == 0 || !plain || FBigEndian ||
      FRuntime.IsOpen() || BufStart <= BufEnd)
    return -1;
  int64_t want = DataLeft(MaxBytes);
  want -= want % F;  // a torn last frame is dropped, as when read
  if (want == 0) return 0;
  int64_t moved = Destination.CopyFrom(*source, want);
  if (moved < 0) return -1;
  if (const int64_t torn = moved % F; torn != 0) {
    // The file shrank under us: keep whole frames only.
    Destination.SetSize(Destination.Seek(-torn, TSeekOrigin::soCurrent));
    moved -= torn;
  }
  if (OnKernelCopy && moved > 0) OnKernelCopy(moved);
  return moved;
}

bool TWaveIn::SeekToSample(int64_t& SampleNum) {
  BufStart = 1;
  BufEnd = 0;
  // A refused source stays open through a pass and must not be decoded by a seek either.
  if (FStream == nullptr || FOpened == 0 || !FValid) return false;
  if (SampleNum < 0) SampleNum = 0;
  if (FRuntime.IsOpen()) return FRuntime.SeekToSample(SampleNum);
  switch (_WavType) {
    case TWavType::wtPCM:
    case TWavType::wtExtPCM:
    case TWavType::wtACM:  // the PCM image in memory
      FStream->Seek(HeaderSize + SampleNum * FrameBytes(), TSeekOrigin::soBeginning);
      return true;
    case TWavType::wtIEEEFloat:
    case TWavType::wtExtIEEEFloat:
      FStream->Seek(HeaderSize + SampleNum * FChan * (ShortIEEEFloat ? 4 : 8),
                    TSeekOrigin::soBeginning);
      return true;
    case TWavType::wtDVIADPCM:
    case TWavType::wtMSADPCM: {
      if (!AdpcmLayoutValid()) return false;
      const bool dvi = _WavType == TWavType::wtDVIADPCM;
      const int64_t spb = dvi ? DVI_ADPCM_INFO.SamplesPerBlock : MS_ADPCM_INFO.SamplesPerBlock;
      const int64_t bl = dvi ? DVI_ADPCM_INFO.BlockLength : MS_ADPCM_INFO.BlockLength;
      FStream->Seek(HeaderSize + (SampleNum / spb) * bl, TSeekOrigin::soBeginning);
      // Decode the block that holds the frame and skip to it, so seeks are frame-exact.
      DecodeNextBlock();
      const int64_t skip = (SampleNum % spb) * FrameBytes();
      BufStart = static_cast<uint32_t>(std::min<int64_t>(skip, BufEnd) + 1);
      return true;
    }
    default:
      return false;
  }
}

}  // namespace tunevert
