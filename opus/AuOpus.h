#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "pipeline/AuFile.h"
#include "pipeline/AuRemix.h"
#include "platform/AuFileStream.h"
#include "platform/CodecLibrary.h"
#include "tags/AuTags.h"
#include "tags/EncoderTags.h"

struct OggOpusFile;
struct OggOpusEnc;

namespace tunevert {

TCodecLibrary& OpusFileLibrary();
TCodecLibrary& OpusEncLibrary();
bool LoadOpusFileLibrary();
bool LoadOpusEncLibrary();

// Opus streams of 3 to 8 channels (mapping family 1) keep the Vorbis channel order: WAV
// channel j of a frame is stream channel kOpusToWav[n][j] (5.1 is FL, FC, FR, RL, RR, LFE
// in the stream, FL, FR, FC, LFE, BL, BR in WAV).
inline constexpr std::array<std::array<uint8_t, 8>, 9> kOpusToWav = {{
    {},
    {0},
    {0, 1},
    {0, 2, 1},
    {0, 1, 2, 3},
    {0, 2, 1, 3, 4},
    {0, 2, 1, 5, 3, 4},
    {0, 2, 1, 6, 5, 3, 4},
    {0, 2, 1, 7, 5, 6, 3, 4},
}};

// Decodes Ogg Opus files through libopusfile into 16-bit PCM at 48 kHz, channels as in the
// file (3 to 8 in WAV order). Samples are rounded from the decoder's floats without dither,
// so a decode is repeatable. A chain whose links change channel count comes out in the
// first link's layout.
class TOpusIn final : public TAuTaggedFileIn {
 public:
  static constexpr uint32_t kBufSize = 0x4000;

  explicit TOpusIn(TComponent* AOwner = nullptr);
  ~TOpusIn() override;
  std::string ClassName() const override { return "TOpusIn"; }

  TVorbisTags* Comments();
  // The rate the encoder was given, from the stream header; 0 when it was not recorded.
  uint32_t OriginalSampleRate();

 protected:
  void OpenSource() override;
  void CloseSource() override;
  void ProduceData(void*& Buffer, uint32_t& Bytes) override;
  bool SeekToSample(int64_t& SampleNum) override;

 private:
  friend struct TOpusFileCallbacks;

  void Decode();

  struct TFileDeleter {
    void operator()(OggOpusFile* File) const;
  };

  std::unique_ptr<TVorbisTags> FComments;
  std::unique_ptr<OggOpusFile, TFileDeleter> FFile;
  alignas(8) std::array<uint8_t, kBufSize> buf{};
  std::vector<float> FFloats;
  std::vector<int16_t> FLinkPcm;
  // Decoded frames not yet moved into buf, from FPendingPos on.
  std::vector<int16_t> FPending;
  size_t FPendingPos = 0;
  std::unique_ptr<TAuRemix> FRemix;
  uint32_t FOriginalRate = 0;
  // Bytes of the stream the decoder sees; -1 for all. Set when only the first links open.
  int64_t FReadLimit = -1;
  // The decoder stopped (end or error); what is buffered is still handed out.
  bool FDecoderEnded = false;
};

enum class TOpusVBR { ovVBR, ovConstrainedVBR, ovCBR };

// Encodes its input to an Ogg Opus file through libopusenc, which resamples any rate to
// 48 kHz. Mono and stereo use mapping family 0; 3 to 8 channels family 1 (the input's WAV
// order is put into the stream's order); more channels family 255, in the input's order.
class TOpusOut final : public TAuFileOut, public TTagWritingOutput {
 public:
  static constexpr uint32_t kMinKbps = 6;
  static constexpr uint32_t kMaxKbps = 256;
  static constexpr uint32_t kDefaultKbps = 128;

  explicit TOpusOut(TComponent* AOwner = nullptr);
  ~TOpusOut() override;
  std::string ClassName() const override { return "TOpusOut"; }

  // The bitrates a user is offered, in kbit/s.
  static const std::vector<uint32_t>& BitratesKbps();
  // The whole stream's bitrate; values outside 6..256 are clamped into it.
  uint32_t BitrateKbps() const { return FBitrateKbps; }
  void SetBitrateKbps(uint32_t Value);
  TOpusVBR VBR() const { return FVBR; }
  void SetVBR(TOpusVBR Value) { FVBR = Value; }
  // 0 (fastest) to 10 (best, the default).
  int32_t Complexity() const { return FComplexity; }
  void SetComplexity(int32_t Value);

 protected:
  bool OutputBlock(bool Abort) override;
  void FinishOutput() override;
  void PrepareOutput() override;

 private:
  friend struct TOpusEncCallbacks;

  struct TEncDeleter {
    void operator()(OggOpusEnc* Enc) const;
  };

  // Finished: the stream was ended, so a failing close fails the run.
  void ReleaseAll(bool Finished);
  void CheckWrite(int Code, const char* What);

  uint32_t FBitrateKbps = kDefaultKbps;
  TOpusVBR FVBR = TOpusVBR::ovVBR;
  int32_t FComplexity = 10;

  // Per run, on the worker thread only.
  std::unique_ptr<OggOpusEnc, TEncDeleter> FEnc;
  std::unique_ptr<TAuFileStream> FOwnStream;
  bool FInputOpen = false;
  bool FPrepared = false;            // the encoder started: FinishOutput ends the stream
  bool FWriteFailed = false;         // set by the write callback, which may not throw
  std::exception_ptr FWriteFailure;  // what the stream raised in the write callback
  uint32_t FInChannels = 0;
  uint32_t FInBits = 0;
  std::vector<uint8_t> FBlock;
  std::vector<float> FFloats;
};

}  // namespace tunevert
