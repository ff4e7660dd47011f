#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "pipeline/AuClasses.h"
#include "wav/AuAdpcm.h"
#include "wav/WaveRuntimeDecoder.h"

namespace tunevert {

enum class TWavType {
  wtUnsupported,
  wtPCM,
  wtDVIADPCM,
  wtMSADPCM,
  wtACM,
  wtIEEEFloat,
  wtExtPCM,
  wtExtIEEEFloat
};

struct TDVI_ADPCM_INFO {
  uint16_t BlockLength = 0;
  uint16_t SamplesPerBlock = 0;
  int32_t DataSize = 0;  // sample frames, from "fact"
};

struct TMS_ADPCM_INFO {
  uint16_t BlockLength = 0;
  uint16_t SamplesPerBlock = 0;
  uint32_t DataSize = 0;  // sample frames, from "fact"
  uint16_t NumCoeff = 0;
  std::array<TMSADPCMCoefSet, kMaxMSCoefSets> CoefSets{};
};

// Whether four bytes spell a chunk id, ignoring letter case.
bool SameChunkId(const uint8_t* Bytes, const char* Id);
// In place: N bytes of floats become signed 32-bit integers in the first N/2 (doubles) or
// N (singles) bytes.
void ConvertFloat64ToInt32(void* Buffer, int64_t N);
void ConvertFloat32ToInt32(void* Buffer, int64_t N);

// Reads RIFF/WAVE files: PCM, extensible PCM, IEEE float, IMA and MS ADPCM, and MPEG
// Layer-3 payloads converted to PCM in memory.
class TWaveIn final : public TAuFileIn {
 public:
  static constexpr uint32_t kBufSize = 16384;

  explicit TWaveIn(TComponent* AOwner = nullptr);
  ~TWaveIn() override;
  std::string ClassName() const override { return "TWaveIn"; }

  TWavType WavType();

  // Called on the worker, under the input's lock, after each block the kernel copied into
  // the output file, with its size: how a test sees that path taken and holds a run
  // between two blocks.
  std::function<void(int64_t Bytes)> OnKernelCopy;

 protected:
  void ProduceData(void*& Buffer, uint32_t& Bytes) override;
  bool SeekToSample(int64_t& SampleNum) override;
  int64_t CopyRawData(TAuFileStream& Destination, int64_t MaxBytes) override;
  void OpenSource() override;
  void CloseSource() override;

 private:
  void ReadWaveHeader();
  // The checks a file needs beyond its header scan before any of it is decoded.
  bool CheckFormat();
  // Converts an MPEG Layer-3 payload and makes its PCM image the stream read from.
  bool ConvertACM();
  bool ReadDVIBlock(uint8_t* Payload);
  bool ReadMSBlock(uint8_t* Payload);
  // Reads up to one block of the data chunk into FBlock, zero-filling what is missing.
  bool ReadBlock(uint32_t BlockLength);
  bool MSPredictorsValid() const;
  // Frames one ADPCM block of the declared length holds; 0 when it is shorter than its header.
  uint32_t BlockCapacity() const;
  // Whether a block of the declared layout is read and decoded without leaving FBlock or buf.
  bool AdpcmLayoutValid() const;
  uint32_t FrameBytes() const { return FChan * FBPS / 8; }
  // Frames an ADPCM block of Bytes bytes holds, at most the samples per block.
  uint32_t FramesInBlock(uint32_t Bytes) const;
  // Sample frames the data chunk holds; a believable "fact" count trims the last block.
  int64_t AdpcmFrames(uint64_t FactCount) const;
  TIMARounding DetectIMARounding();
  // Bytes of the data chunk left to read, at most Count.
  int64_t DataLeft(int64_t Count);
  // Decodes the next block into buf; BufEnd is 0 when there is none.
  void DecodeNextBlock();

  alignas(8) std::array<uint8_t, kBufSize> buf{};
  // Plain PCM goes out as read, in pieces larger than a decoded block: a sixteenth of the
  // system calls per second of audio.
  static constexpr uint32_t kPcmReadSize = 1 << 18;
  std::unique_ptr<uint8_t[]> FPcm;    // allocated with the first PCM read
  uint8_t* FBlockStart = buf.data();  // what BufStart counts from: buf or FPcm
  TWavType _WavType = TWavType::wtUnsupported;
  TDVI_ADPCM_INFO DVI_ADPCM_INFO;
  TDVI_ADPCM_STATE_STEREO DVI_ADPCM_STATE;
  TMS_ADPCM_INFO MS_ADPCM_INFO;
  TMSADPCMBlockHeaderStereo MS_ADPCM_STATE;
  int64_t HeaderSize = 0;              // stream offset of the first data byte
  std::unique_ptr<TMemoryStream> _MS;  // PCM image of a wtACM file
  TStream* OldStream = nullptr;        // the source while _MS stands in for it
  bool OldStreamAssigned = false;
  bool ShortIEEEFloat = false;
  std::vector<uint8_t> FBlock;  // one encoded ADPCM block
  uint32_t FBlockBytes = 0;     // how much of FBlock the data really held
  uint64_t FDataBytes = 0;      // the data chunk, clamped to the stream
  int64_t FDataEnd = 0;         // stream offset just past the data chunk
  bool FHasFact = false;
  bool FBigEndian = false;  // samples are swapped to little-endian as they are read
  TIMARounding FRounding = TIMARounding::irShifted;
  // What the reader cannot decode itself.
  TWaveRuntimeDecoder FRuntime;
};

// Writes RIFF/WAVE files: 44-byte PCM, 68-byte extensible PCM or 60-byte IMA ADPCM, and
// appends to existing PCM and IMA ADPCM files of the same format. The sizes in the header
// are those of the data really written; a file whose sizes may not fit 32 bits gets a
// reserved chunk that becomes the 64-bit size record when they do not.
class TWaveOut final : public TAuFileOut {
 public:
  explicit TWaveOut(TComponent* AOwner = nullptr);
  std::string ClassName() const override { return "TWaveOut"; }

  TWavType WavType() const { return FWavType; }
  void SetWavType(TWavType Value);
  uint16_t BlockSize() const { return FBlockAlign; }
  void SetBlockSize(uint16_t Value);
  bool CreateNonMsHeaders() const { return FNonMsHeaders; }
  void SetCreateNonMsHeaders(bool Value) { FNonMsHeaders = Value; }
  void SetFileMode(TFileOutputMode Value) override { FFileMode = Value; }
  // The largest value a 32-bit RIFF size may take; tests lower it to reach the 64-bit
  // layout with small files.
  void SetRiffSizeLimit(uint64_t Value) { FRiffSizeLimit = Value; }

 protected:
  bool OutputBlock(bool Abort) override;
  void FinishOutput() override;
  void PrepareOutput() override;

 private:
  void FillPCMHeader(uint8_t* Header);
  void FillExtPCMHeader(uint8_t* Header);
  void FillDVIHeader(uint8_t* Header);
  // Writes the header of a fresh file, with the reserved chunk when the sizes may grow
  // past 32 bits.
  void WriteFreshHeader(const uint8_t* Header, uint32_t Length);
  // The announced size as a 32-bit header field: 0xFFFFFFFF ("to the end") when unknown
  // or too large for the header of Length bytes.
  uint32_t AnnouncedField(int64_t Value, uint32_t Length) const;
  void CorrectFreshHeader();
  void CorrectAppendedHeader();
  // Turns the reserved chunk into the 64-bit size record and marks the 32-bit sizes as
  // superseded; FactAt < 0 for a file without "fact".
  void WriteSizes64(uint64_t Riff, uint64_t Data, uint64_t Frames, int64_t DataSizeAt,
                    int64_t FactAt);
  bool HasReservedChunk();
  void ReadAppendHeader();
  void CleanUp();
  void WriteChecked(const void* Data, int64_t Count);
  void Put32At(int64_t Offset, uint32_t Value);
  uint16_t SamplesPerBlock(uint32_t Channels) const;
  void CheckDVIBlockLayout(uint32_t Channels) const;

  bool EndOfInput = false;
  TWavType FWavType = TWavType::wtPCM;
  TDVI_ADPCM_ENCODE_STATE_STEREO FEncodeState;
  uint32_t FPrevSR = 0;
  uint16_t FPrevCh = 0;
  uint16_t FPrevBPS = 0;
  int32_t FPrevLen = 0;
  int32_t FLenOffs = 0;
  int32_t FPrevDataSize = 0;
  int32_t FDataSizeOffs = 0;
  TWavType FPrevWavType = TWavType::wtUnsupported;
  int32_t HeaderSize = 0;
  uint16_t FBlockAlign = 512;
  bool FNonMsHeaders = true;

  bool FPrepared = false;   // PrepareOutput completed; FinishOutput only cleans up otherwise
  bool FAppending = false;  // this run adds to a file that had content
  int64_t FAnnounced = 0;   // the input's announced byte size at the start of the run
  int64_t FDataBytes = 0;   // bytes of "data" this run wrote
  int64_t FFrames = 0;      // sample frames this run took from the input
  int64_t FPrevBytes = 0;   // bytes of "data" the appended file already held
  uint32_t FDataStart = 0;  // offset of the first data byte of a fresh file
  bool FReserved = false;   // a fresh file carries the reserved 64-bit size chunk
  uint64_t FRiffSizeLimit = 0xFFFFFFFF;
  std::unique_ptr<TStream> FOwnStream;
  // Set for a run whose PCM the kernel can copy from the source file to ours; cleared when
  // it cannot after all.
  TAuStreamedInput* FCopySource = nullptr;
};

}  // namespace tunevert
