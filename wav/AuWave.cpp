#include "wav/AuWave.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <utility>
#include <vector>

#include "platform/AuFileStream.h"
#include "platform/Text.h"
#include "wav/WaveConverter.h"
#include "wav/WaveScan.h"

namespace tunevert {

namespace {

using namespace wavbytes;

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
  THeaderScan sc(*FStream, 65535);
  if (!sc.Read(4)) return;
  TWavType type = TWavType::wtUnsupported;
  int state = 0;
  while (sc.pos < 65535) {
    switch (state) {
      case 0:
      case 1: {
        const bool match = sc.Matches(state == 0 ? "RIFF" : "WAVE");
        if (!sc.Read(match ? 4 : 1)) return;
        if (match) ++state;
        break;
      }
      case 2: {
        if (!sc.Matches("fmt ")) {
          if (!sc.SkipChunk()) return;
          break;
        }
        if (!sc.Read(4)) return;
        const uint32_t size = U32(sc.Window());
        const uint32_t body = sc.pos;
        if (size < 16 || !sc.Read(size)) return;
        const uint8_t* b = sc.At(body);
        switch (U16(b)) {
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
          case 0xFFFE:
            type = TWavType::wtExtPCM;
            break;
          default:
            return;
        }
        FChan = U16(b + 2);
        FSR = U32(b + 4);
        if (type == TWavType::wtDVIADPCM)
          DVI_ADPCM_INFO.BlockLength = U16(b + 12);
        else
          MS_ADPCM_INFO.BlockLength = U16(b + 12);
        FBPS = U16(b + 14);
        if (type == TWavType::wtExtPCM) {
          const uint8_t* guid = b + size - 16;
          if (std::equal(kSubtypeFloat.begin(), kSubtypeFloat.end(), guid))
            type = TWavType::wtExtIEEEFloat;
          else if (!std::equal(kSubtypePCM.begin(), kSubtypePCM.end(), guid))
            return;
        }
        state = 4;
        if (type == TWavType::wtDVIADPCM || type == TWavType::wtMSADPCM ||
            type == TWavType::wtACM) {
          if (size < 20) return;
          if (type == TWavType::wtDVIADPCM) {
            DVI_ADPCM_INFO.SamplesPerBlock = U16(b + 18);
          } else {
            MS_ADPCM_INFO.SamplesPerBlock = U16(b + 18);
          }
          if (type == TWavType::wtMSADPCM) {
            if (size < 22) return;
            MS_ADPCM_INFO.NumCoeff = U16(b + 20);
            // Only 32 pairs are held, and every pair has to be inside the chunk.
            if (MS_ADPCM_INFO.NumCoeff > kMaxMSCoefSets || size < 22u + 4u * MS_ADPCM_INFO.NumCoeff)
              return;
            for (uint32_t i = 0; i < MS_ADPCM_INFO.NumCoeff; ++i) {
              MS_ADPCM_INFO.CoefSets[i].Coef1 = static_cast<int16_t>(U16(b + 22 + 4 * i));
              MS_ADPCM_INFO.CoefSets[i].Coef2 = static_cast<int16_t>(U16(b + 24 + 4 * i));
            }
          }
          state = 3;
        }
        if (!sc.Read(4)) return;
        break;
      }
      case 3: {
        if (!sc.Matches("fact")) {
          if (!sc.SkipChunk()) return;
          break;
        }
        if (!sc.Read(4)) return;
        const uint32_t size = U32(sc.Window());
        const uint32_t body = sc.pos;
        if (size < 4 || !sc.Read(size)) return;
        if (type == TWavType::wtDVIADPCM)
          DVI_ADPCM_INFO.DataSize = static_cast<int32_t>(U32(sc.At(body)));
        else
          MS_ADPCM_INFO.DataSize = U32(sc.At(body));
        if (!sc.Read(4)) return;
        state = 4;
        break;
      }
      default: {
        // The pad byte after an odd-sized chunk, honoured here only.
        if (sc.Window()[0] == 0 && !sc.Read(1)) return;
        if (!sc.Matches("data")) {
          if (!sc.SkipChunk()) return;
          break;
        }
        if (!sc.Read(4)) return;
        if (type == TWavType::wtPCM || type == TWavType::wtIEEEFloat ||
            type == TWavType::wtExtPCM || type == TWavType::wtExtIEEEFloat)
          FSize = U32(sc.Window());
        HeaderSize = sc.StreamOffset();
        _WavType = type;
        return;
      }
    }
    if (FSeekable && sc.AtEnd()) return;
  }
}

bool TWaveIn::MSPredictorsValid() const {
  const int channels = FChan == 1 ? 1 : 2;
  for (int ch = 0; ch < channels; ++ch)
    if (MS_ADPCM_STATE.predictor[ch] >= MS_ADPCM_INFO.NumCoeff) return false;
  return true;
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
      FSize = int64_t{DVI_ADPCM_INFO.DataSize} * 2 * FChan;
      const uint32_t bl = DVI_ADPCM_INFO.BlockLength;
      if (FChan > 2 || DVI_ADPCM_INFO.DataSize < 0 || bl <= 4 * FChan) return false;
      if (FChan == 1) return bl <= 4099 && DVI_ADPCM_INFO.SamplesPerBlock == 2 * (bl - 4) + 1;
      return bl <= 4103 && (bl - 8) % 8 == 0 && DVI_ADPCM_INFO.SamplesPerBlock == bl - 7;
    }
    case TWavType::wtMSADPCM: {
      FBPS = 16;
      FSize = int64_t{MS_ADPCM_INFO.DataSize} * 2 * FChan;
      const uint32_t bl = MS_ADPCM_INFO.BlockLength;
      const uint32_t spb = MS_ADPCM_INFO.SamplesPerBlock;
      if (FChan > 2 || MS_ADPCM_INFO.NumCoeff == 0 || spb < 2) return false;
      if (FChan == 1) {
        if (bl < 7 || spb % 2 != 0 || (spb - 2) / 2 > bl - 7 || spb * 2 > kBufSize) return false;
      } else {
        if (bl < 14 || spb - 2 > bl - 14 || spb * 4 > kBufSize) return false;
      }
      // The first block tells whether the predictors fit the table; later ones are checked
      // as they are read.
      if (FSeekable && FStream->Size() > HeaderSize) {
        FBlock.assign(bl, 0);
        const bool read = ReadMSBlock(FBlock.data());
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

bool TWaveIn::ReadDVIBlock(uint8_t* Payload) {
  const uint32_t bl = DVI_ADPCM_INFO.BlockLength;
  if (FSeekable && FStream->Position() >= FStream->Size()) return false;
  FBlock.assign(bl, 0);
  int64_t got = 0;
  while (got < bl) {
    const int64_t n = FStream->Read(FBlock.data() + got, bl - got);
    if (n <= 0) break;
    got += n;
  }
  if (got == 0) return false;
  DVI_ADPCM_STATE.valprev_l = static_cast<int16_t>(U16(FBlock.data()));
  DVI_ADPCM_STATE.index_l = FBlock[2];
  const uint32_t header = FChan == 2 ? 8 : 4;
  if (FChan == 2) {
    DVI_ADPCM_STATE.valprev_r = static_cast<int16_t>(U16(FBlock.data() + 4));
    DVI_ADPCM_STATE.index_r = FBlock[6];
  }
  std::memcpy(Payload, FBlock.data() + header, bl - header);
  return true;
}

bool TWaveIn::ReadMSBlock(uint8_t* Payload) {
  const uint32_t bl = MS_ADPCM_INFO.BlockLength;
  if (FStream->Position() >= FStream->Size()) return false;
  std::vector<uint8_t> block(bl, 0);
  int64_t got = 0;
  while (got < bl) {
    const int64_t n = FStream->Read(block.data() + got, bl - got);
    if (n <= 0) break;
    got += n;
  }
  const uint8_t* b = block.data();
  if (FChan == 1) {
    MS_ADPCM_STATE.predictor[0] = b[0];
    MS_ADPCM_STATE.Delta[0] = static_cast<int16_t>(U16(b + 1));
    MS_ADPCM_STATE.Samp1[0] = static_cast<int16_t>(U16(b + 3));
    MS_ADPCM_STATE.Samp2[0] = static_cast<int16_t>(U16(b + 5));
    std::memcpy(Payload, b + 7, bl - 7);
  } else {
    MS_ADPCM_STATE.predictor = {b[0], b[1]};
    MS_ADPCM_STATE.Delta = {static_cast<int16_t>(U16(b + 2)), static_cast<int16_t>(U16(b + 4))};
    MS_ADPCM_STATE.Samp1 = {static_cast<int16_t>(U16(b + 6)), static_cast<int16_t>(U16(b + 8))};
    MS_ADPCM_STATE.Samp2 = {static_cast<int16_t>(U16(b + 10)), static_cast<int16_t>(U16(b + 12))};
    std::memcpy(Payload, b + 14, bl - 14);
  }
  return true;
}

void TWaveIn::DecodeNextBlock() {
  BufStart = 1;
  BufEnd = 0;
  auto* out = reinterpret_cast<int16_t*>(buf.data());
  std::vector<uint8_t> payload;
  if (_WavType == TWavType::wtDVIADPCM) {
    payload.resize(DVI_ADPCM_INFO.BlockLength);
    if (!ReadDVIBlock(payload.data())) return;
    int32_t count = DVI_ADPCM_INFO.BlockLength - (FChan == 2 ? 8 : 4);
    if (FChan == 2) {
      DecodeDVIStereo(DVI_ADPCM_STATE, payload.data(), out, count);
      BufEnd = static_cast<uint32_t>(count) * 4;
    } else {
      DecodeDVIMono(DVI_ADPCM_STATE, payload.data(), out, count);
      BufEnd = static_cast<uint32_t>(count) * 2;
    }
  } else {
    payload.resize(MS_ADPCM_INFO.BlockLength);
    if (!ReadMSBlock(payload.data())) return;
    // A predictor outside the file's table has no meaning: the data ends here.
    if (!MSPredictorsValid()) return;
    int32_t count = MS_ADPCM_INFO.SamplesPerBlock - 2;
    const TMSADPCMCoefSet* coefs = MS_ADPCM_INFO.CoefSets.data();
    if (FChan == 2)
      DecodeMSStereo(MS_ADPCM_STATE, coefs, payload.data(), out, count);
    else
      DecodeMSMono(MS_ADPCM_STATE, coefs, payload.data(), out, count);
    BufEnd = static_cast<uint32_t>(count);
  }
}

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
    switch (_WavType) {
      case TWavType::wtPCM:
      case TWavType::wtExtPCM:
      case TWavType::wtACM: {
        const int64_t n = FStream->Read(buf.data(), kBufSize - kBufSize % F);
        BufEnd = static_cast<uint32_t>(n - n % F);  // a torn last frame is dropped
        break;
      }
      case TWavType::wtIEEEFloat:
      case TWavType::wtExtIEEEFloat: {
        int64_t n = FStream->Read(buf.data(), kBufSize - kBufSize % (FChan * 8));
        if (ShortIEEEFloat) {
          n -= n % (FChan * 4);
          ConvertFloat32ToInt32(buf.data(), n);
          BufEnd = static_cast<uint32_t>(n);
        } else {
          n -= n % (FChan * 8);
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
  Buffer = buf.data() + BufStart - 1;
  BufStart += Bytes;
}

bool TWaveIn::SeekToSample(int64_t& SampleNum) {
  BufStart = 1;
  BufEnd = 0;
  if (FStream == nullptr || FOpened == 0) return false;
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
