#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "pipeline/AuFile.h"
#include "pipeline/AuRemix.h"
#include "pipeline/HeaderGain.h"
#include "platform/AuFileStream.h"
#include "platform/CodecLibrary.h"
#include "tags/AuTags.h"
#include "tags/EncoderTags.h"
#include "vorbis/VorbisChannelOrder.h"

struct OggOpusFile;

namespace tunevert {

TCodecLibrary& OpusFileLibrary();
// libopus itself: the output encodes with it, the input's checking without decoding uses it.
TCodecLibrary& OpusEncLibrary();
bool LoadOpusFileLibrary();
bool LoadOpusEncLibrary();

// Opus streams of 3 to 8 channels (mapping family 1) keep the Vorbis channel order: WAV
// channel j of a frame is stream channel kOpusToWav[n][j].
inline constexpr const auto& kOpusToWav = kVorbisToWav;

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
  // Off: every page and packet is checked as the decoder reads it, but nothing is decoded,
  // and the audio comes out as silence of the file's exact length, at a tenth of the cost.
  // For reading back a file just written, where its integrity and length are in question,
  // not its sound. Takes effect when the file opens.
  bool DecodeAudio() const { return FDecodeAudio; }
  void SetDecodeAudio(bool Value) { FDecodeAudio = Value; }

 protected:
  void OpenSource() override;
  void CloseSource() override;
  void ProduceData(void*& Buffer, uint32_t& Bytes) override;
  bool SeekToSample(int64_t& SampleNum) override;

 private:
  friend struct TOpusFileCallbacks;
  friend struct TOpusCheckOnly;

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
  bool FDecodeAudio = true;
  int (*FUnpad)(unsigned char*, int32_t, int) = nullptr;  // libopus's, when only checking
  std::vector<unsigned char> FPacketCopy;
};

enum class TOpusVBR { ovVBR, ovConstrainedVBR, ovCBR };

// Encodes its input to an Ogg Opus file through libopus; other rates than 48 kHz are
// resampled to it first. Mono and stereo use mapping family 0; 3 to 8 channels family 1 (the
// input's WAV order is put into the stream's order); more channels family 255, in the
// input's order. A header gain goes into the stream header's output gain, which decoders apply.
class TOpusOut final : public TAuFileOut, public TTagWritingOutput, public THeaderGainOutput {
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
  // The rate the header names as the original, which decoders may give back: set it to the
  // source's rate when a stage before this output resampled it. 0 (the default): the rate
  // of the input.
  uint32_t OriginalSampleRate() const { return FOriginalRate; }
  void SetOriginalSampleRate(uint32_t Value) { FOriginalRate = Value; }

 protected:
  bool OutputBlock(bool Abort) override;
  void FinishOutput() override;
  void PrepareOutput() override;

 private:
  struct TWriter;

  // Finished: the stream was ended, so a failing close fails the run.
  void ReleaseAll(bool Finished);

  uint32_t FBitrateKbps = kDefaultKbps;
  TOpusVBR FVBR = TOpusVBR::ovVBR;
  int32_t FComplexity = 10;
  uint32_t FOriginalRate = 0;

  // Per run, on the worker thread only.
  std::unique_ptr<TWriter> FWriter;
  std::unique_ptr<TAuFileStream> FOwnStream;
  bool FInputOpen = false;
  bool FPrepared = false;  // the encoder started: FinishOutput ends the stream
  uint32_t FInChannels = 0;
  uint32_t FInBits = 0;
  std::vector<uint8_t> FBlock;
  std::vector<float> FFloats;
};

}  // namespace tunevert
