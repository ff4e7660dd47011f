#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/AuFileStream.h"
#include "platform/Text.h"
#include "wav/AuWave.h"
#include "wav/WaveScan.h"

namespace tunevert {

using namespace wavbytes;

TWaveOut::TWaveOut(TComponent* AOwner) : TAuFileOut(AOwner) {
  FWavType = TWavType::wtPCM;
  FBlockAlign = 512;
  FNonMsHeaders = true;
}

void TWaveOut::SetWavType(TWavType Value) {
  if (Status() != TOutputStatus::tosIdle) return;
  if (Value == TWavType::wtPCM || Value == TWavType::wtDVIADPCM) FWavType = Value;
}

void TWaveOut::SetBlockSize(uint16_t Value) {
  if (Status() != TOutputStatus::tosIdle) return;
  if (Value != 0 && Value % 4 == 0) FBlockAlign = Value;
}

uint16_t TWaveOut::SamplesPerBlock(uint32_t Channels) const {
  if (Channels == 0) return 0;
  return static_cast<uint16_t>((2 / Channels) * (FBlockAlign - 4 * Channels) + 1);
}

void TWaveOut::WriteChecked(const void* Data, int64_t Count) {
  if (FStream->Write(Data, Count) != Count) throw EAuException("Error writing wave file");
}

void TWaveOut::Put32At(int64_t Offset, uint32_t Value) {
  uint8_t b[4];
  Put32(b, Value);
  FStream->Seek(Offset, TSeekOrigin::soBeginning);
  WriteChecked(b, 4);
}

void TWaveOut::CleanUp() {
  try {
    FInput->Flush();
  } catch (...) {
  }
  if (FOwnStream) {
    FOwnStream.reset();
    FStream = nullptr;
  }
}

void TWaveOut::FillPCMHeader(uint8_t* H) {
  const uint32_t ch = FInput->Channels(), sr = FInput->SampleRate(), bits = FInput->BitsPerSample();
  const auto size = static_cast<uint32_t>(FAnnounced);
  const uint32_t ba = (bits * ch) / 8;
  PutId(H, "RIFF");
  Put32(H + 4, size + 36);
  PutId(H + 8, "WAVE");
  PutId(H + 12, "fmt ");
  Put32(H + 16, 16);
  Put16(H + 20, 1);
  Put16(H + 22, ch);
  Put32(H + 24, sr);
  Put32(H + 28, sr * ba);
  Put16(H + 32, ba);
  Put16(H + 34, bits);
  PutId(H + 36, "data");
  Put32(H + 40, size);
}

void TWaveOut::FillExtPCMHeader(uint8_t* H) {
  const uint32_t ch = FInput->Channels(), sr = FInput->SampleRate(), bits = FInput->BitsPerSample();
  const auto size = static_cast<uint32_t>(FAnnounced);
  const uint32_t ba = (bits * ch) / 8;
  uint32_t mask = 0;
  if (ch == 1) mask = 0x1;
  if (ch == 2) mask = 0x3;
  if (ch == 6) mask = 0x3F;
  if (ch == 8) mask = 0xFF;
  PutId(H, "RIFF");
  Put32(H + 4, size + 60);
  PutId(H + 8, "WAVE");
  PutId(H + 12, "fmt ");
  Put32(H + 16, 40);
  Put16(H + 20, 0xFFFE);
  Put16(H + 22, ch);
  Put32(H + 24, sr);
  Put32(H + 28, sr * ba);
  Put16(H + 32, ba);
  Put16(H + 34, bits);
  Put16(H + 36, 22);
  Put16(H + 38, bits);
  Put32(H + 40, mask);
  std::memcpy(H + 44, kSubtypePCM.data(), 16);
  PutId(H + 60, "data");
  Put32(H + 64, size);
}

void TWaveOut::FillDVIHeader(uint8_t* H) {
  const uint32_t ch = FInput->Channels(), sr = FInput->SampleRate(), bits = FInput->BitsPerSample();
  const uint16_t spb = SamplesPerBlock(ch);
  const int64_t frames = FAnnounced > 0 ? FAnnounced / (bits / 8) / ch : 0;
  const auto D =
      static_cast<uint32_t>(std::nearbyint(static_cast<double>(frames) / spb) * FBlockAlign);
  PutId(H, "RIFF");
  Put32(H + 4, D + 52);
  PutId(H + 8, "WAVE");
  PutId(H + 12, "fmt ");
  Put32(H + 16, 20);
  Put16(H + 20, 0x11);
  Put16(H + 22, ch);
  Put32(H + 24, sr);
  Put32(H + 28, (sr / spb) * FBlockAlign);
  Put16(H + 32, FBlockAlign);
  Put16(H + 34, 4);
  Put16(H + 36, 2);
  Put16(H + 38, spb);
  PutId(H + 40, "fact");
  Put32(H + 44, 4);
  Put32(H + 48, static_cast<uint32_t>(frames));
  PutId(H + 52, "data");
  Put32(H + 56, D);
}

void TWaveOut::CheckDVIBlockLayout(uint32_t Channels) const {
  if (Channels == 0 || Channels > 2)
    throw EAuException("Cannot encode more than two channels into ADPCM.");
  if (FBlockAlign <= 4 * Channels || (Channels == 2 && (FBlockAlign - 8) % 8 != 0))
    throw EAuException("The ADPCM block size does not fit " + std::to_string(Channels) +
                       " channel(s).");
}

void TWaveOut::ReadAppendHeader() {
  FPrevWavType = TWavType::wtUnsupported;
  TWaveHeader h;
  // Only the plain 32-bit little-endian layouts this writer makes can be extended.
  if (!ScanWaveHeader(*FStream, h) || h.BigEndian || h.Wide || h.Extensible) return;
  TWavType type;
  if (h.FormatTag == 1)
    type = TWavType::wtPCM;
  else if (h.FormatTag == 0x11 && h.HasFact)
    type = TWavType::wtDVIADPCM;
  else
    return;
  FPrevCh = h.Channels;
  FPrevSR = h.SampleRate;
  FPrevBPS = h.BitsPerSample;
  FLenOffs = static_cast<int32_t>(h.FactOffset);
  FPrevLen = static_cast<int32_t>(h.FactCount);
  FDataSizeOffs = static_cast<int32_t>(h.DataSizeOffset);
  FPrevDataSize = static_cast<int32_t>(h.DataSize);
  HeaderSize = static_cast<int32_t>(h.DataOffset);
  FBlockAlign = h.BlockAlign;
  FPrevWavType = type;
}

void TWaveOut::PrepareOutput() {
  EndOfInput = false;
  FPrepared = false;
  FAppending = false;
  if (!FStreamAssigned) {
    if (FWideFileName.empty()) throw EAuException("File name is not assigned.");
    std::error_code ec;
    const bool exists = std::filesystem::exists(Utf16ToUtf8(FWideFileName), ec);
    if (exists && FFileMode != TFileOutputMode::foRewrite)
      FOwnStream = std::make_unique<TAuFileStream>(FWideFileName, FShareMode | 2);
    else
      FOwnStream = std::make_unique<TAuFileStream>(FWideFileName, FShareMode | 0xFF00);
    FStream = FOwnStream.get();
  }
  FInput->Init();
  const uint32_t ch = FInput->Channels(), sr = FInput->SampleRate(), bps = FInput->BitsPerSample();
  FAnnounced = FInput->Size();
  if ((ch > 2 || bps > 16) && !FNonMsHeaders) FWavType = TWavType::wtExtPCM;
  if (FFileMode == TFileOutputMode::foAppend && FStream->Size() > 0) {
    FStream->Seek(0, TSeekOrigin::soBeginning);
    ReadAppendHeader();
    if (FPrevWavType != TWavType::wtPCM && FPrevWavType != TWavType::wtDVIADPCM) {
      CleanUp();
      throw EAuException("Cannot append data to this .wav file.");
    }
    FWavType = FPrevWavType;
    FAppending = true;
  }
  switch (FWavType) {
    case TWavType::wtPCM:
      if (FAppending) {
        if (sr != FPrevSR || bps != FPrevBPS || ch != FPrevCh) {
          CleanUp();
          throw EAuException("Cannot append data in different audio format.");
        }
        FStream->Seek(0, TSeekOrigin::soEnd);
      } else {
        uint8_t header[44];
        FillPCMHeader(header);
        WriteChecked(header, sizeof header);
      }
      break;
    case TWavType::wtDVIADPCM:
      if (bps != 16) {
        CleanUp();
        throw EAuException("Cannot encode 8 bit sound into ADPCM.");
      }
      try {
        CheckDVIBlockLayout(ch);
      } catch (...) {
        CleanUp();
        throw;
      }
      if (FAppending) {
        if (sr != FPrevSR || ch != FPrevCh) {
          CleanUp();
          throw EAuException("Cannot append data in different audio format.");
        }
        FStream->Seek(0, TSeekOrigin::soEnd);
      } else {
        uint8_t header[60];
        FillDVIHeader(header);
        WriteChecked(header, sizeof header);
        FEncodeState.Index_l = 0;
        FEncodeState.Index_r = 0;
      }
      break;
    default: {
      uint8_t header[68];
      FillExtPCMHeader(header);
      WriteChecked(header, sizeof header);
      break;
    }
  }
  FPrepared = true;
}

bool TWaveOut::OutputBlock(bool Abort) {
  if (!CanOutput) return true;
  if (Abort || EndOfInput) return false;
  if (FWavType != TWavType::wtDVIADPCM) {
    void* data = nullptr;
    uint32_t bytes = 16384;
    FInput->GetData(data, bytes);
    if (bytes > 0) WriteChecked(data, bytes);
    return bytes > 0;
  }
  const uint32_t ch = FInput->Channels();
  const int32_t pcmBytes = static_cast<int32_t>((FBlockAlign - 4 * ch) * 4 + 2 * ch);
  std::vector<int16_t> pcm(static_cast<size_t>(pcmBytes / 2), 0);
  auto* dst = reinterpret_cast<uint8_t*>(pcm.data());
  int32_t filled = 0;
  while (filled < pcmBytes) {
    const int32_t got = FInput->CopyData(dst + filled, pcmBytes - filled);
    if (got == 0) {
      EndOfInput = true;
      break;
    }
    filled += got;
  }
  std::vector<uint8_t> block(FBlockAlign);
  if (ch == 2) {
    FEncodeState.PredSamp_l = pcm[0];
    FEncodeState.PredSamp_r = pcm[1];
    EncodeDVIStereo(FEncodeState, pcm.data() + 2, block.data(), FBlockAlign);
  } else {
    FEncodeState.PredSamp_l = pcm[0];
    EncodeDVIMono(FEncodeState, pcm.data() + 1, block.data(), FBlockAlign);
  }
  WriteChecked(block.data(), FBlockAlign);
  return true;
}

void TWaveOut::FinishOutput() {
  if (!FPrepared) {
    CleanUp();
    return;
  }
  FPrepared = false;
  try {
    const int64_t L = FStream->Size();
    const int64_t headerLen = FWavType == TWavType::wtPCM      ? 44
                              : FWavType == TWavType::wtExtPCM ? 68
                                                               : 60;
    const auto size = static_cast<uint32_t>(FAnnounced);
    // Also when the input delivered more than it announced: a header that claims less data
    // than the file holds would hide the surplus from every reader.
    const bool correct = FAnnounced < 0 || FFileMode == TFileOutputMode::foAppend || FStopped ||
                         (!FAppending && L - headerLen > FAnnounced);
    if (correct) {
      switch (FWavType) {
        case TWavType::wtPCM:
          if (FAppending)
            Put32At(FDataSizeOffs, static_cast<uint32_t>(L - HeaderSize));
          else
            Put32At(40, static_cast<uint32_t>(L - 44));
          break;
        case TWavType::wtExtPCM:
          Put32At(64, static_cast<uint32_t>(L - 68));
          break;
        default:
          if (FAppending) {
            const auto D = static_cast<uint32_t>(L - HeaderSize);
            Put32At(FDataSizeOffs, D);
            Put32At(FLenOffs, (D / FBlockAlign) * SamplesPerBlock(FPrevCh));
          } else {
            uint8_t H[60];
            FStream->Seek(0, TSeekOrigin::soBeginning);
            if (FStream->Read(H, 60) != 60) throw EAuException("Error writing wave file");
            const auto D = static_cast<uint32_t>(L - 60);
            Put32(H + 56, D);
            const uint16_t ba = U16(H + 32);
            Put32(H + 48, ba == 0 ? 0 : (D / ba) * U16(H + 38));
            FStream->Seek(0, TSeekOrigin::soBeginning);
            WriteChecked(H, 60);
          }
          break;
      }
      Put32At(4, static_cast<uint32_t>(L - 8));
    } else if (FWavType == TWavType::wtDVIADPCM) {
      // The header's data size was an estimate; the frame count stays the exact one.
      Put32At(56, static_cast<uint32_t>(L - 60));
      Put32At(4, static_cast<uint32_t>(L - 8));
    } else {
      const int64_t target = headerLen + size;
      int64_t at = FStream->Seek(0, TSeekOrigin::soEnd);
      static const std::array<uint8_t, 4096> zeros{};
      while (at < target) {
        const int64_t n = std::min<int64_t>(target - at, zeros.size());
        WriteChecked(zeros.data(), n);
        at += n;
      }
    }
  } catch (...) {
    CleanUp();
    throw;
  }
  CleanUp();
}

}  // namespace tunevert
