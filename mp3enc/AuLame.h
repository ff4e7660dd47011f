#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mp3enc/LameEnc.h"
#include "mp3enc/MP3BitRate.h"
#include "mp3enc/TagLibC.h"
#include "pipeline/AuFile.h"
#include "platform/AuFileStream.h"

namespace tunevert {

enum class TMP3Mode { mmStereo, mmJointStereo, mmDual, mmMono };
enum class TMP3Quality {
  mp3ql0,
  mp3ql1,
  mp3ql2,
  mp3ql3,
  mp3ql4,
  mp3ql5,
  mp3ql6,
  mp3ql7,
  mp3ql8,
  mp3ql9
};

// 0 for mbrAuto, otherwise the number in the value's name; 128 for a value outside the type.
uint32_t BitRateToKbps(TMP3BitRate Value);

// Interleaved PCM of any width the pipeline carries (8-bit unsigned, 16/24/32-bit signed) and
// any channel count to 16-bit signed samples with OutChannels (1 or 2) channels. Wider
// samples are rounded and clamped; more than two channels are folded into stereo (centre
// and surrounds 3 dB below the fronts, LFE dropped, each side's weights summing to 1, so
// the fold cannot clip); mono output is the mean of left and right.
void ConvertToPcm16(const uint8_t* In, uint32_t Frames, uint32_t InChannels, uint32_t Bits,
                    int16_t* Out, uint32_t OutChannels);

// Encodes its input to an MP3 file through the encoder library, ends the file with an ID3v1
// record and then writes the ID3v2 fields through the tag library.
class TMP3Out final : public TAuTaggedFileOut {
 public:
  explicit TMP3Out(TComponent* AOwner = nullptr);
  ~TMP3Out() override;
  std::string ClassName() const override { return "TMP3Out"; }

  TMP3BitRate BitRate() const { return FBitRate; }
  void SetBitRate(TMP3BitRate Value) { FBitRate = Value; }
  TMP3Mode Mode() const { return FMode; }
  void SetMode(TMP3Mode Value) { FMode = Value; }
  bool CRC() const { return FCRC != 0; }
  void SetCRC(bool Value) { FCRC = Value ? -1 : 0; }
  bool Copyright() const { return FCopyright != 0; }
  void SetCopyright(bool Value) { FCopyright = Value ? -1 : 0; }
  bool Original() const { return FOriginal != 0; }
  void SetOriginal(bool Value) { FOriginal = Value ? -1 : 0; }
  bool EnableBitReservoir() const { return FEnableBitReservoir; }
  void SetEnableBitReservoir(bool Value) { FEnableBitReservoir = Value; }
  bool StrictISO() const { return FStrictISO; }
  void SetStrictISO(bool Value) { FStrictISO = Value; }
  TMP3Quality VBRQuality() const { return FVBRQuality; }
  void SetVBRQuality(TMP3Quality Value) { FVBRQuality = Value; }
  bool EnableVBR() const { return FEnableVBR != 0; }
  void SetEnableVBR(bool Value) { FEnableVBR = Value ? -1 : 0; }
  TMP3BitRate AverageBitrate() const { return FAverageBitrate; }
  void SetAverageBitrate(TMP3BitRate Value) { FAverageBitrate = Value; }
  TMP3BitRate MaximumBitrate() const { return FMaximumBitrate; }
  void SetMaximumBitrate(TMP3BitRate Value) { FMaximumBitrate = Value; }
  using TAuTaggedFileOut::Id3v1Tags;
  using TAuTaggedFileOut::Id3v2Tags;
  using TAuTaggedFileOut::SetId3v1Tags;
  using TAuTaggedFileOut::SetId3v2Tags;

  // The settings record for an input of this rate and channel count, as PrepareOutput
  // hands it to the encoder.
  BE_CONFIG BuildConfig(uint32_t SampleRate, uint32_t Channels) const;

 protected:
  bool OutputBlock(bool Abort) override;
  void FinishOutput() override;
  void PrepareOutput() override;

 private:
  // Finished: the audio is complete, so a failing close fails the run.
  void ReleaseStream(bool Finished);
  std::array<uint8_t, 128> Id3v1Record() const;
  void RestoreId3v1Record(const std::string& FileName) const;
  std::string TargetFileName() const;

  std::vector<uint8_t> Buffer;  // one chunk of input frames
  uint32_t BufferSize = 0;
  TMP3BitRate FBitRate = TMP3BitRate::mbr128;
  BE_CONFIG Config{};
  HBE_STREAM _Stream = 0;
  std::vector<uint8_t> mp3buf;
  uint32_t mp3buf_size = 0;
  TMP3Quality FVBRQuality = TMP3Quality::mp3ql0;
  int32_t FCopyright = 0;
  int32_t FOriginal = -1;
  int32_t FEnableVBR = 0;
  int32_t FCRC = 0;
  TMP3Mode FMode = TMP3Mode::mmStereo;
  TMP3BitRate FAverageBitrate = TMP3BitRate::mbrAuto;
  TMP3BitRate FMaximumBitrate = TMP3BitRate::mbrAuto;
  bool FEnableBitReservoir = false;
  bool FStrictISO = false;

  // Per run, on the worker thread only.
  bool FEncoderStarted = false;  // the encoder stream exists: FinishOutput flushes and tags
  bool FRunEnded = false;        // PrepareOutput already released everything
  uint32_t FInChannels = 0;
  uint32_t FInBits = 0;
  uint32_t FEncChannels = 0;
  std::vector<int16_t> FPcm16;  // the chunk converted, when the input is not 16-bit as encoded
  std::unique_ptr<TAuFileStream> FOwnStream;
};

}  // namespace tunevert
