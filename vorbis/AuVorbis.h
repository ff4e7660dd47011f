#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "pipeline/AuFile.h"
#include "pipeline/AuRemix.h"
#include "pipeline/AuResampler.h"
#include "tags/AuTags.h"

struct OggVorbis_File;

namespace tunevert {

// Decodes Ogg Vorbis files (chains of logical bitstreams included) into 16-bit PCM in WAV
// channel order through libvorbisfile, reading the input's own stream through callbacks. A
// chain is delivered whole in its first link's format: later links are remixed and resampled.
class TVorbisIn final : public TAuTaggedFileIn {
 public:
  static constexpr uint32_t kBufSize = 0x3000;

  explicit TVorbisIn(TComponent* AOwner = nullptr);
  ~TVorbisIn() override;
  std::string ClassName() const override { return "TVorbisIn"; }

  TVorbisTags* Comments();
  int32_t MaxBitrate();
  int32_t NominalBitrate();
  int32_t MinBitrate();
  // For display while a pass runs; 0 outside one.
  int32_t InstantBitRate();
  // Logical bitstreams of the file; 0 outside a pass.
  int32_t BitStreams();
  // The logical bitstream being decoded; -1 outside a pass.
  int32_t CurrentBitStream();
  // During a pass, continues from the start of logical bitstream Value.
  void SetCurrentBitStream(int32_t Value);

 protected:
  void OpenSource() override;
  void CloseSource() override;
  void ProduceData(void*& Buffer, uint32_t& Bytes) override;
  bool SeekToSample(int64_t& SampleNum) override;

 private:
  friend struct TVorbisCallbacks;

  // One logical bitstream of a chain, with where it starts in the file's own frames and in
  // the frames delivered.
  struct TLink {
    uint32_t Channels = 0;
    uint32_t Rate = 0;
    int64_t PcmStart = 0;
    int64_t OutStart = 0;
  };

  void BeginLink(int32_t Link);
  void EndLink();
  void Convert(const uint8_t* Data, uint32_t Bytes);
  void ResetConversion();

  std::unique_ptr<TVorbisTags> FComments;
  alignas(8) std::array<uint8_t, kBufSize> buf{};
  std::unique_ptr<OggVorbis_File> VFile;
  int32_t cursec = -1;
  int32_t FMaxBitrate = 0;
  int32_t FNominalBitrate = 0;
  int32_t FMinBitrate = 0;
  // The decoder stopped (end, hole or error); what is buffered is still handed out.
  bool FDecoderEnded = false;

  // Bytes of the stream the decoder sees; -1 for all. Set when only the first links open.
  int64_t FReadLimit = -1;
  std::vector<TLink> FLinks;
  // The link the last decoded data came from; -1 before the first read of a pass or seek.
  int32_t FLink = -1;
  std::unique_ptr<TAuRemix> FRemix;
  std::unique_ptr<TAuResampler> FResampler;
  // Converted frames not yet moved into buf, from FPendingPos on.
  std::vector<int16_t> FPending;
  size_t FPendingPos = 0;
  std::vector<int16_t> FLinkData;
  std::vector<int16_t> FMixed;
};

}  // namespace tunevert
