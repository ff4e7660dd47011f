#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/AuFileStream.h"
#include "platform/LittleEndian.h"
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
  WriteLE32(b, Value);
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

namespace {

// "JUNK" with room for the 28-byte body of "ds64", which it becomes when the sizes
// outgrow 32 bits.
constexpr uint32_t kReservedChunk = 36;

uint32_t Clamp32(uint64_t Value) {
  return static_cast<uint32_t>(std::min<uint64_t>(Value, 0xFFFFFFFF));
}

}  // namespace

uint32_t TWaveOut::AnnouncedField(int64_t Value, uint32_t Length) const {
  if (FAnnounced <= 0 || Value < 0) return 0xFFFFFFFF;
  const uint64_t riff =
      static_cast<uint64_t>(Value) + Length - 8 + (FReserved ? kReservedChunk : 0);
  return riff > FRiffSizeLimit ? 0xFFFFFFFF : static_cast<uint32_t>(Value);
}

void TWaveOut::FillPCMHeader(uint8_t* H) {
  const uint32_t ch = FInput->Channels(), sr = FInput->SampleRate(), bits = FInput->BitsPerSample();
  const uint32_t size = AnnouncedField(FAnnounced, 44);
  const uint32_t ba = (bits * ch) / 8;
  PutId(H, "RIFF");
  WriteLE32(H + 4, size == 0xFFFFFFFF ? size : size + 36);
  PutId(H + 8, "WAVE");
  PutId(H + 12, "fmt ");
  WriteLE32(H + 16, 16);
  WriteLE16(H + 20, 1);
  WriteLE16(H + 22, ch);
  WriteLE32(H + 24, sr);
  WriteLE32(H + 28, sr * ba);
  WriteLE16(H + 32, ba);
  WriteLE16(H + 34, bits);
  PutId(H + 36, "data");
  WriteLE32(H + 40, size);
}

void TWaveOut::FillExtPCMHeader(uint8_t* H) {
  const uint32_t ch = FInput->Channels(), sr = FInput->SampleRate(), bits = FInput->BitsPerSample();
  const uint32_t size = AnnouncedField(FAnnounced, 68);
  const uint32_t ba = (bits * ch) / 8;
  uint32_t mask = 0;
  if (ch == 1) mask = 0x1;
  if (ch == 2) mask = 0x3;
  if (ch == 6) mask = 0x3F;
  if (ch == 8) mask = 0xFF;
  PutId(H, "RIFF");
  WriteLE32(H + 4, size == 0xFFFFFFFF ? size : size + 60);
  PutId(H + 8, "WAVE");
  PutId(H + 12, "fmt ");
  WriteLE32(H + 16, 40);
  WriteLE16(H + 20, 0xFFFE);
  WriteLE16(H + 22, ch);
  WriteLE32(H + 24, sr);
  WriteLE32(H + 28, sr * ba);
  WriteLE16(H + 32, ba);
  WriteLE16(H + 34, bits);
  WriteLE16(H + 36, 22);
  WriteLE16(H + 38, bits);
  WriteLE32(H + 40, mask);
  std::memcpy(H + 44, kSubtypePCM.data(), 16);
  PutId(H + 60, "data");
  WriteLE32(H + 64, size);
}

void TWaveOut::FillDVIHeader(uint8_t* H) {
  const uint32_t ch = FInput->Channels(), sr = FInput->SampleRate(), bits = FInput->BitsPerSample();
  const uint16_t spb = SamplesPerBlock(ch);
  const int64_t frames = FAnnounced > 0 ? FAnnounced / (bits / 8) / ch : 0;
  const auto blocks = static_cast<int64_t>(std::nearbyint(static_cast<double>(frames) / spb));
  const uint32_t D = AnnouncedField(blocks * FBlockAlign, 60);
  PutId(H, "RIFF");
  WriteLE32(H + 4, D == 0xFFFFFFFF ? D : D + 52);
  PutId(H + 8, "WAVE");
  PutId(H + 12, "fmt ");
  WriteLE32(H + 16, 20);
  WriteLE16(H + 20, 0x11);
  WriteLE16(H + 22, ch);
  WriteLE32(H + 24, sr);
  WriteLE32(H + 28, (sr / spb) * FBlockAlign);
  WriteLE16(H + 32, FBlockAlign);
  WriteLE16(H + 34, 4);
  WriteLE16(H + 36, 2);
  WriteLE16(H + 38, spb);
  PutId(H + 40, "fact");
  WriteLE32(H + 44, 4);
  WriteLE32(H + 48, Clamp32(static_cast<uint64_t>(frames)));
  PutId(H + 52, "data");
  WriteLE32(H + 56, D);
}

void TWaveOut::WriteFreshHeader(const uint8_t* H, uint32_t Length) {
  FDataStart = Length;
  if (!FReserved) {
    WriteChecked(H, Length);
    return;
  }
  std::vector<uint8_t> out(H, H + Length);
  std::array<uint8_t, kReservedChunk> junk{};
  PutId(junk.data(), "JUNK");
  WriteLE32(junk.data() + 4, kReservedChunk - 8);
  out.insert(out.begin() + 12, junk.begin(), junk.end());
  if (const uint32_t riff = ReadLE32(out.data() + 4); riff != 0xFFFFFFFF)
    WriteLE32(out.data() + 4, riff + kReservedChunk);
  FDataStart += kReservedChunk;
  WriteChecked(out.data(), static_cast<int64_t>(out.size()));
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
  // New samples go at the end of the file and the sizes are fixed at their usual places, so
  // "RIFF" must open the file and "data" must close it: appending after a trailing chunk
  // would bury that chunk inside the audio.
  const auto dataEnd = static_cast<uint64_t>(h.DataOffset) + h.DataSize;
  const auto fileEnd = static_cast<uint64_t>(FStream->Size());
  if (h.RiffSizeOffset != 4 || (dataEnd != fileEnd && dataEnd + (h.DataSize & 1) != fileEnd))
    return;
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
    FPrevBytes = FStream->Size() - HeaderSize;
  }
  FDataBytes = 0;
  FFrames = 0;
  // A header whose sizes may not fit 32 bits keeps room for their 64-bit record; the
  // usual exact layouts stay for every size known to fit.
  FReserved =
      !FAppending && (FAnnounced <= 0 || static_cast<uint64_t>(FAnnounced) + 1024 > FRiffSizeLimit);
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
        WriteFreshHeader(header, sizeof header);
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
        WriteFreshHeader(header, sizeof header);
        FEncodeState.Index_l = 0;
        FEncodeState.Index_r = 0;
      }
      break;
    default: {
      uint8_t header[68];
      FillExtPCMHeader(header);
      WriteFreshHeader(header, sizeof header);
      break;
    }
  }
  // PCM goes out byte for byte, so two plain files need not pass it through our memory.
  FCopySource = dynamic_cast<TAuFileStream*>(FStream) != nullptr
                    ? dynamic_cast<TAuStreamedInput*>(FInput)
                    : nullptr;
  FPrepared = true;
}

bool TWaveOut::OutputBlock(bool Abort) {
  if (!CanOutput) return true;
  if (Abort || EndOfInput) return false;
  if (FWavType != TWavType::wtDVIADPCM) {
    if (FCopySource != nullptr) {
      // Blocks of 2 MiB keep progress and Stop as prompt as reading and writing does.
      int64_t moved = -1;
      try {
        moved = FCopySource->CopyDataTo(*static_cast<TAuFileStream*>(FStream), 1 << 21);
      } catch (const EAuException&) {
        throw;  // it names the failing side and the reason
      } catch (const std::exception&) {
        throw EAuException("Error writing wave file");
      }
      if (moved >= 0) {
        FDataBytes += moved;
        return moved > 0;
      }
      FCopySource = nullptr;
    }
    void* data = nullptr;
    uint32_t bytes = 1 << 18;  // inputs hand out what they hold, up to this
    FInput->GetData(data, bytes);
    if (bytes > 0) WriteChecked(data, bytes);
    FDataBytes += bytes;
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
  // A block of nothing but padding would add silence the source does not hold.
  if (filled == 0) return false;
  FFrames += filled / (2 * static_cast<int32_t>(ch));
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
  FDataBytes += FBlockAlign;
  return true;
}

void TWaveOut::WriteSizes64(uint64_t Riff, uint64_t Data, uint64_t Frames, int64_t DataSizeAt,
                            int64_t FactAt) {
  uint8_t ds[kReservedChunk];
  PutId(ds, "ds64");
  WriteLE32(ds + 4, kReservedChunk - 8);
  WriteLE64(ds + 8, Riff);
  WriteLE64(ds + 16, Data);
  WriteLE64(ds + 24, Frames);
  WriteLE32(ds + 32, 0);  // no table of other chunk sizes
  FStream->Seek(12, TSeekOrigin::soBeginning);
  WriteChecked(ds, sizeof ds);
  uint8_t id[4];
  PutId(id, "RF64");
  FStream->Seek(0, TSeekOrigin::soBeginning);
  WriteChecked(id, 4);
  Put32At(4, 0xFFFFFFFF);
  Put32At(DataSizeAt, 0xFFFFFFFF);
  if (FactAt >= 0) Put32At(FactAt, 0xFFFFFFFF);
}

bool TWaveOut::HasReservedChunk() {
  uint8_t h[8];
  FStream->Seek(12, TSeekOrigin::soBeginning);
  return FStream->Read(h, 8) == 8 && std::memcmp(h, "JUNK", 4) == 0 &&
         ReadLE32(h + 4) >= kReservedChunk - 8;
}

void TWaveOut::CorrectFreshHeader() {
  const bool dvi = FWavType == TWavType::wtDVIADPCM;
  const int64_t factAt = dvi ? int64_t{48} + (FReserved ? kReservedChunk : 0) : -1;
  const uint64_t data = static_cast<uint64_t>(FDataBytes);
  // An odd-sized chunk is followed by a pad byte that the RIFF size counts.
  const uint64_t pad = data & 1;
  if (pad != 0) {
    const uint8_t zero = 0;
    FStream->Seek(FDataStart + FDataBytes, TSeekOrigin::soBeginning);
    WriteChecked(&zero, 1);
  }
  const uint64_t riff = FDataStart - 8 + data + pad;
  const uint64_t frameBytes = uint64_t{FInput->Channels()} * (FInput->BitsPerSample() / 8);
  const uint64_t frames =
      dvi ? static_cast<uint64_t>(FFrames) : (frameBytes == 0 ? 0 : data / frameBytes);
  if ((riff > FRiffSizeLimit || frames > 0xFFFFFFFF) && FReserved) {
    WriteSizes64(riff, data, frames, FDataStart - 4, factAt);
    return;
  }
  // Without the reserved chunk an oversized file can only say "to the end".
  Put32At(4, Clamp32(riff));
  Put32At(FDataStart - 4, Clamp32(data));
  if (dvi) Put32At(factAt, Clamp32(frames));
}

void TWaveOut::CorrectAppendedHeader() {
  const bool dvi = FWavType == TWavType::wtDVIADPCM;
  const int64_t L = FStream->Size();
  const auto data = static_cast<uint64_t>(L - HeaderSize);
  const auto riff = static_cast<uint64_t>(L - 8);
  const uint64_t frameBytes = uint64_t{FPrevCh} * (FPrevBPS / 8);
  // The old file's last ADPCM block was padded to its end, so it now counts whole.
  const uint64_t frames =
      dvi ? static_cast<uint64_t>(FPrevBytes / FBlockAlign) * SamplesPerBlock(FPrevCh) +
                static_cast<uint64_t>(FFrames)
          : (frameBytes == 0 ? 0 : data / frameBytes);
  if ((riff > FRiffSizeLimit || frames > 0xFFFFFFFF) && HasReservedChunk()) {
    WriteSizes64(riff, data, frames, FDataSizeOffs, dvi ? FLenOffs : -1);
    return;
  }
  Put32At(FDataSizeOffs, Clamp32(data));
  if (dvi) Put32At(FLenOffs, Clamp32(frames));
  Put32At(4, Clamp32(riff));
}

void TWaveOut::FinishOutput() {
  if (!FPrepared) {
    CleanUp();
    return;
  }
  FPrepared = false;
  // The header was written from the announced size; the sizes written now are those of
  // the data the run really wrote, however it ended.
  try {
    if (FAppending)
      CorrectAppendedHeader();
    else
      CorrectFreshHeader();
    // Our own stream is always a file; a close that loses data fails the run too.
    if (FOwnStream) static_cast<TAuFileStream&>(*FOwnStream).Close();
  } catch (...) {
    CleanUp();
    throw;
  }
  CleanUp();
}

}  // namespace tunevert
