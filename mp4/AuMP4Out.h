#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pipeline/AuFile.h"
#include "platform/AuFileStream.h"
#include "tags/EncoderTags.h"

namespace tunevert {

// An MP4 audio file (".m4a") written through FFmpeg's encoder and muxer, the muxer writing to
// the output's stream. The edit list leaves out the encoder's delay and the padding of the last
// frame, so players that honour it play the source's length exactly. The tags (and, for AAC,
// the iTunSMPB gapless record) are written by the tag module once the file is complete.
class TMP4AudioOut : public TAuTaggedFileOut, public TTagWritingOutput {
 public:
  ~TMP4AudioOut() override;
  std::string ClassName() const override { return "TMP4AudioOut"; }

  // The gapless record iTunes-style players read: " 00000000 DELAY PADDING LENGTH 00000000 ...".
  static std::string ITunSMPB(uint32_t Delay, uint32_t Padding, uint64_t Frames);

 protected:
  enum class TCodec { AAC, ALAC };
  TMP4AudioOut(TComponent* AOwner, TCodec Codec);

  bool OutputBlock(bool Abort) override;
  void FinishOutput() override;
  void PrepareOutput() override;

  // Total bits per second; AAC only.
  int64_t FBitRate = 0;

 private:
  struct TRun;

  void SetUpEncoder();
  void SetUpMuxer();
  void ConvertFrames(const uint8_t* In, uint32_t Frames);
  void SendFrame(bool Last);
  void WritePackets();
  void EndFile();
  void WriteTags();

  const TCodec FCodec;
  // Per run, on the worker thread only.
  std::unique_ptr<TRun> FRun;
  std::unique_ptr<TAuFileStream> FOwnStream;
  TCarriedTags FTags;
  bool FInputOpen = false;
};

// AAC-LC through FFmpeg's own encoder, at a fixed total bitrate.
class TM4AOut final : public TMP4AudioOut {
 public:
  static constexpr uint32_t kDefaultKbps = 192;

  explicit TM4AOut(TComponent* AOwner = nullptr);
  std::string ClassName() const override { return "TM4AOut"; }

  // The bitrates offered, in kbit/s.
  static const std::vector<uint32_t>& BitratesKbps();
  uint32_t BitrateKbps() const { return FBitrateKbps; }
  // A value not offered becomes the nearest one that is.
  void SetBitrateKbps(uint32_t Value);
  // The encoder's sample rates; the batch resamples others first.
  static bool SupportsRate(int Hz);
  // The rate audio of Hz is encoded at: Hz itself when the encoder takes it, else the next
  // rate it has, at most 96 kHz.
  static uint32_t EncoderRate(uint32_t Hz);

 private:
  uint32_t FBitrateKbps = kDefaultKbps;
};

// Apple Lossless: 16 or 24 bits as the source has them, bit for bit.
class TALACOut final : public TMP4AudioOut {
 public:
  explicit TALACOut(TComponent* AOwner = nullptr);
  std::string ClassName() const override { return "TALACOut"; }

  // The width a source of SourceBits is written with (8 becomes 16, 32 is rounded to 24); 0
  // for widths the output refuses.
  static uint32_t OutputBits(uint32_t SourceBits);
};

}  // namespace tunevert
